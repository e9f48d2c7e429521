#pragma once
// Follows a file that other programs append to: each read takes the bytes
// written since the previous one, and a file that was truncated or
// rewritten in place is read again from its beginning, what the truncation
// took noted for the caller.  A truncation shows as a file shorter than the
// place reached, or, for one written to that place or past it again before
// the reader looked, as the bytes before the place (those last read, or
// those there when the reader was placed) no longer being there.  Positions
// are 64-bit, so files past 2 GiB are followed too.

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/Files.h"

class qorFileReader {
public:
    // The position that stands for the end of the file.
    static constexpr int64_t kEndOfFile = 0x7FFFFFFF;

    // The last bytes read, looked for again before a file that had no more
    // is read on.  They span several lines of a usual log, so they hold
    // something that changes from line to line (a time, a counter): the
    // last few bytes alone are the same words at the end of every line of
    // many a program, which a file written past the place again after a
    // truncation would match whenever a line ends there again.
    static constexpr int32_t kTailSize = 1024;

    // A file found truncated.
    struct Cut {
        int64_t m_llReached = 0;  // the place reached before
        // Bytes past the place that an earlier look saw in the file and
        // that were not read before the cut.
        int64_t m_llSeenUnread = 0;
        // Bytes before the place that a reader of lines held as the start
        // of a line not yet finished (qorTextReader).
        int64_t m_llUnfinished = 0;
    };

    explicit qorFileReader(std::string strPath);
    virtual ~qorFileReader();
    qorFileReader(const qorFileReader&) = delete;
    qorFileReader& operator=(const qorFileReader&) = delete;

    // Opens the path afresh (closing what was open, so a reopened reader
    // follows whatever file the path names now) and places it at
    // `llPosition`; 0, or -1 when the file cannot be opened.  Only a
    // regular file is opened, and no link another account could have
    // planted is followed (plat::OpenFileToRead, of any account's file).
    virtual int32_t Open(int64_t llPosition);
    virtual void Close();
    // The new position; kEndOfFile moves to the end.  -1 when the file
    // pointer cannot be moved (the position stays).
    virtual int64_t Seek(int64_t llPosition);
    // The bytes read into `pBuffer`, 0 when the file holds nothing beyond
    // the position, -1 without an open file, with bad arguments or when
    // the read fails (the thread's last error says why).
    virtual int32_t Read(char* pBuffer, int32_t nCount);

    bool IsOpen() const { return m_hFile != plat::kInvalidFile; }
    const std::string& GetPath() const { return m_strPath; }
    // The name the next open opens by; an open file is read on, whatever
    // name it has now.
    void SetPath(std::string strPath) { m_strPath = std::move(strPath); }
    int64_t GetPosition() const { return m_llPosition; }
    // The identity of the file the last successful open found under the
    // path (it stays after a close); 0 before one.
    uint64_t GetIdentity() const { return m_qwIdentity; }
    // Why the last open failed, in words: for a name refused for what is
    // there (last error kErrBadFileType, kErrStoppedOnSymlink or
    // kErrAccessDenied) the path, what is there, its owner and that it is
    // not read (platform/Refusal.h).
    const std::string& GetOpenProblem() const { return m_strOpenProblem; }
    // The open file's size; false when there is none or it cannot be read.
    bool GetSize(int64_t& llSize) const;
    // Up to `nCount` bytes at `llOffset`, the position left alone; the
    // number read, or -1 without an open file or when the read fails.
    int32_t ReadAt(int64_t llOffset, char* pBuffer, int32_t nCount) const;
    // Whether the `nCount` bytes (at most kTailSize) just before `llEnd`
    // are those of `pBytes`: the file still holds what was read there.
    bool HoldsBefore(int64_t llEnd, const char* pBytes, int32_t nCount) const;

    // Whether the open file holds nothing beyond the position, as a read
    // would find (one status query, and nothing read); false when it holds
    // more, or cannot be looked at.
    bool HoldsNothingNew();

protected:
    // True once after a read that found the file truncated and started
    // again at its beginning; `cut` says what was found.
    bool TakeRewound(Cut& cut);

private:
    // The open file's size and change time (which its writer cannot set
    // back, as it can the modification time): one status query.
    bool Look(int64_t& llSize, int64_t& llChangedNs) const;
    // Whether the bytes before the position are still those read there.
    bool TailIsThere() const;
    void KeepTail(const char* pRead, int32_t nRead);

    std::string m_strPath;
    plat::FileHandle m_hFile = plat::kInvalidFile;
    int64_t m_llPosition = 0;
    // The largest size a read has found since the position was set.
    int64_t m_llSeenSize = 0;
    uint64_t m_qwIdentity = 0;
    bool m_bRewound = false;
    Cut m_Cut;
    // The last bytes read, just before the position (none after a seek).
    std::array<char, kTailSize> m_Tail{};
    int32_t m_nTail = 0;
    // The file's change time at the last look (0: unknown): a file changed
    // since may have been truncated and written again to the place or past
    // it, whether the reader had reached its end or not.
    int64_t m_llLookedNs = 0;
    std::string m_strOpenProblem;
};
