#pragma once
// Follows a file that other programs append to: each read takes the bytes
// written since the previous one.  A file cut in place shows as a file
// shorter than the place reached (or than it was seen to be), or, for one
// written to that place or past it again before the reader looked, as the
// bytes before the place (those last read, or those there when the reader
// was placed) no longer being there.  Reading then goes on where the file
// still holds what was read: at its new end when all it kept is what was
// read there, at the last line end that still holds when it was written
// again after the cut, at its beginning when what it holds is not what was
// read; what the cut took is noted for the caller.  Positions are 64-bit,
// so files past 2 GiB are followed too.
//
// A writer that opened its log without O_APPEND goes on writing at its own
// offset after a cut, so the file is sparse from the new end to there:
// where the file system tells, that hole is passed over without reading it
// (the reader of lines passes over the NULs it may still read there).  So
// is any hole met in reading (a writer that seeks far ahead, a truncate
// that makes the file longer): read, it would be gigabytes of NULs.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
    // What the reader keeps to know, after a cut, whether what the file
    // still holds is what was read: fingerprints of the bytes before some
    // line ends, each of at most kMarkWindow bytes: the ends of the file's
    // first kHeadLines lines within its first kHeadBytes (a file cut back to
    // its first lines goes on exactly there), and the first line end past
    // each power of two.  What
    // was there when the reader was placed (at the end, or at a place kept)
    // is marked so too, from the first kHeadBytes and a look at each power
    // of two below the place.
    static constexpr int32_t kMarkWindow = 64;
    static constexpr size_t kHeadLines = 64;
    static constexpr int32_t kHeadBytes = 8192;

    // A file found cut.
    struct Cut {
        int64_t m_llReached = 0;  // the place reached before
        // Bytes past the place that an earlier look saw in the file and
        // that were not read before the cut.
        int64_t m_llSeenUnread = 0;
        // Bytes before the place that a reader of lines held as the start
        // of a line not yet finished and that the cut took (qorTextReader).
        int64_t m_llUnfinished = 0;
        // The file's size when the cut was seen, and where reading went
        // on: 0, or the place up to which the file holds what was read.
        int64_t m_llSize = 0;
        int64_t m_llKept = 0;
        // Where the writer's bytes began again after the run of NULs the
        // cut left, when there was one by then (0: none seen).
        int64_t m_llWrittenAgainAt = 0;
        // What the cut is known to have taken, in bytes.
        int64_t Lost() const;
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
    // True once after a read that found the file cut and went on where it
    // still holds what was read; `cut` says what was found.
    bool TakeRewound(Cut& cut);
    // A line handed out ends at `llEnd` with `lastBytes` (its last bytes, as
    // many as kMarkWindow): kept as a fingerprint.
    void NoteLineEnd(int64_t llEnd, std::string_view lastBytes);

private:
    struct Mark {
        uint64_t m_qwHash = 0;
        int64_t m_llOffset = 0;
        int32_t m_nWindow = 0;
        bool m_bLineEnd = false;
    };

    // The open file's size and change time (which its writer cannot set
    // back, as it can the modification time): one status query.
    bool Look(int64_t& llSize, int64_t& llChangedNs) const;
    // Whether the bytes before the position are still those read there,
    // and the first and the last fingerprint before them still hold.
    bool TailIsThere() const;
    void KeepTail(const char* pRead, int32_t nRead);
    // Marks for what lies before the place the reader was put at.
    void MarkWhatIsBefore(int64_t llPosition);
    void AddMark(int64_t llEnd, std::string_view lastBytes, bool bLineEnd);
    // Whether the file still holds the bytes `mark` was taken of.
    bool MarkHolds(const Mark& mark) const;
    // Where reading goes on after a cut the file of `llSize` bytes shows:
    // at its end, up to the place, when every fingerprint and byte of the
    // tail below it still holds and what is known reaches that far;
    // otherwise at the last line end below the first that does not hold; 0
    // when none holds.  `bLineEnd`: it is the end of a line.
    int64_t KeptPlace(int64_t llSize, bool& bLineEnd) const;
    // Puts the reader where it goes on after a cut, keeping the
    // fingerprints of what the file kept.
    bool PlaceAfterCut(int64_t llKept, bool bLineEnd);
    // Passes over the hole at the position, where the file system tells
    // of one, up to the data after it or the file's end; false when the
    // reader cannot be moved.
    bool SkipHole();

    std::string m_strPath;
    plat::FileHandle m_hFile = plat::kInvalidFile;
    int64_t m_llPosition = 0;
    // The largest size a read has found since the position was set.
    int64_t m_llSeenSize = 0;
    uint64_t m_qwIdentity = 0;
    bool m_bRewound = false;
    // A hole at the position is passed over before the next bytes are read
    // (right after a cut, at the file's first byte, and after a read that
    // ended in a NUL).
    bool m_bHoleAhead = false;
    Cut m_Cut;
    // The last bytes read, just before the position (none after a seek).
    std::array<char, kTailSize> m_Tail{};
    int32_t m_nTail = 0;
    // In the order of their places; line ends after m_llNextMark are marked
    // (the next, while the head's are, then the first past the next power
    // of two).
    std::vector<Mark> m_Marks;
    int64_t m_llNextMark = 1;
    size_t m_nHeadMarks = 0;
    // The file's change time at the last look (0: unknown): a file changed
    // since may have been truncated and written again to the place or past
    // it, whether the reader had reached its end or not.
    int64_t m_llLookedNs = 0;
    std::string m_strOpenProblem;
};
