#pragma once
// Follows a file that other programs append to: each read takes the bytes
// written since the previous one.  Positions are 64-bit, so files past
// 2 GiB are followed too.
//
// "Already read" is decided on every byte read, never on a sample.  The
// reader keeps a keyed digest of all it read (ReadChain), so that when the
// file is cut in place it can show how much of what it read the file still
// holds: it reads the file again from its first byte, once, as far as the
// cut and the place reached allow, and goes on after the last place up to
// which every byte is shown to be what was read: at the cut itself when it
// fell within the last bytes read or at the end of one of the file's first
// lines, at the last line end shown otherwise, and at the file's first byte
// when nothing is shown.  What the cut took, and bytes after the place
// gone on at that could not be told from those read (lines that may be read
// again), are noted for the caller.  The reading again is done within the
// share of a call (kRereadPerCall), over as many calls as it takes: the
// caller's other files have their turns in between (IsRereading).
//
// A cut shows as a file shorter than the place reached or than a look saw
// it; a file cut and written again to that place or past it before the
// reader looked shows in the change time, which no account can set back:
// a file changed since the last look is looked at (its first line and the
// last bytes read), and a change that falls in the same tick of the file
// clock as the look before it is looked at all the same.  A file written
// again between two looks with its first line and the last bytes read as
// they were is taken for the file read.
//
// Bytes before a place the reader is put at without reading them (the end
// of a file met at a start, a place kept) were never read: of those the
// reader reads the first kPlaceProofBytes at once, so a cut of the file
// back to its first lines is still known; a file longer than that, cut
// further on, is read again from the last place shown.
//
// A writer that opened its log without O_APPEND goes on writing at its own
// offset after a cut, so the file is sparse from the new end to there:
// where the file system tells, that hole is passed over without reading
// it, and so is any hole met in reading (a writer that seeks far ahead, a
// truncate that makes the file longer).  A run of NULs written as data is
// passed over at the speed of memory (PassOverNuls).

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "TextLogs/PrefixDigest.h"
#include "TextLogs/ReadChain.h"
#include "platform/Files.h"

class qorFileReader {
public:
    // The position that stands for the end of the file.
    static constexpr int64_t kEndOfFile = 0x7FFFFFFF;
    // Of the bytes before a place the reader is put at, this many at most
    // are read at once (holes not counted).
    static constexpr int64_t kPlaceProofBytes = int64_t{1} << 20;
    // Bytes a call may read without handing out any (a run of NULs passed
    // over, a file read again to show what it holds after a cut), the
    // file's share of a pass; the rest waits for the next call.
    static constexpr int64_t kPassOverPerCall = int64_t{512} << 20;
    // Bytes a call reads again of a file cut (or put at a place kept) to
    // show what it still holds: what a turn of lines can hold (256 lines of
    // 64 KiB), so a file read again takes no more of a pass than one read
    // line by line.  Each byte is also fed to the digest, which makes these
    // slower than a run of NULs passed over.
    static constexpr int64_t kRereadPerCall = int64_t{16} << 20;

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
        // on: 0, or the place up to which the file is shown to hold what
        // was read.
        int64_t m_llSize = 0;
        int64_t m_llKept = 0;
        // Bytes after m_llKept that could not be told from those read there:
        // lines among them may be read again.
        int64_t m_llUnshown = 0;
        // Where the writer's bytes began again after the run of NULs the
        // cut left, when there was one by then (0: none seen).
        int64_t m_llWrittenAgainAt = 0;
        // What the cut is known to have taken, in bytes.
        int64_t Lost() const;
        // Whether anything tells how much the cut took: a look that saw the
        // file past the place, or a writer that went on at its own offset.
        bool LossKnown() const { return m_llSeenUnread > 0 || m_llWrittenAgainAt > 0; }
    };

    // Where a closed reader's reading stood, and the digest that shows
    // whether a file still holds what was read before it.
    struct Place {
        int64_t m_llPosition = 0;
        // The digest is of the bytes from m_llFrom up to m_llShownTo (at or
        // past the position: bytes read and not yet handed out).
        bool m_bShown = false;
        int64_t m_llFrom = 0;
        int64_t m_llShownTo = 0;
        PrefixDigest::Value m_Digest;
        // Where the history the reader was put after ends, past the
        // position (0: none): see SeekAfterHistory.
        int64_t m_llHistoryEnd = 0;
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
    // The new position; kEndOfFile moves to the end.  -1 when there is no
    // open file (the position stays).
    virtual int64_t Seek(int64_t llPosition);
    // Puts the reader after the history that ends at `llEnd` (kEndOfFile:
    // the file's end now), bytes that are never to be handed out as lines
    // of their own: at the start of the line still unfinished there, when
    // it began no more than `llLookBack` bytes before, so that the line is
    // handed out whole once its writer ends it; otherwise at `llEnd`.
    // The new position; -1 when there is no open file.
    int64_t SeekAfterHistory(int64_t llEnd, int64_t llLookBack);
    // Where the history the reader was put after ends, when that is past
    // the start of the line it stands at (0 otherwise): an unfinished line
    // that ends there is history, not a line to hand out.  A cut ends it.
    int64_t GetHistoryEnd() const { return m_llHistoryEnd; }
    // The bytes read into `pBuffer`, 0 when the file holds nothing beyond
    // the position (or a cut is still being looked into), -1 without an
    // open file, with bad arguments or when the read fails (the thread's
    // last error says why).
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

    // The share of a call (kPassOverPerCall unless a test sets another).
    void SetPassOverShare(int64_t llBytes) { m_llPassOverShare = llBytes; }
    // The share of a call in reading again (kRereadPerCall unless a test
    // sets another).
    void SetRereadShare(int64_t llBytes) { m_llRereadShare = std::max<int64_t>(1, llBytes); }
    // Whether the reader still looks into a cut, or a place to go on at:
    // a call found no line, yet the file has more to give at the next.
    bool IsRereading() const { return m_pShowing != nullptr; }
    // How far the reading again has come (the position when there is none).
    int64_t GetRereadAt() const;

    // Whether the open file holds nothing beyond the position, as a read
    // would find (one status query, and nothing read); false when it holds
    // more, or cannot be looked at.
    bool HoldsNothingNew();

    // The place of `llPosition` (the start of a line, at or before the
    // position read to), for a later Resume.
    Place PlaceOf(int64_t llPosition) const;
    // Puts the reader, opened at the file's first byte, at `place`: at
    // once for a place without a digest (a size met: nothing was read
    // before it), else once the file is shown to hold what was read there
    // (reads before that find nothing new), otherwise not: the file is read
    // from its first byte.
    void Resume(const Place& place);

protected:
    // True once after a read that found the file cut and went on where it
    // still holds what was read; `cut` says what was found.
    bool TakeRewound(Cut& cut);
    // A new call's share of bytes read without handing any out.
    void GrantPassOver() {
        m_llPassOverLeft = m_llPassOverShare;
        m_llRereadLeft = m_llRereadShare;
    }
    int64_t PassOverLeft() const { return m_llPassOverLeft; }
    // Passes over the NULs at the position, as many as the call's share
    // allows (the buffer of lines holds nothing then); the count passed.
    int64_t PassOverNuls();

private:
    struct Showing;

    // The open file's size and change time (which its writer cannot set
    // back, as it can the modification time): one status query, after the
    // file clock is read.
    bool Look(int64_t& llSize, int64_t& llChangedNs, int64_t& llClockNs) const;
    // Notes a look at the change time `llChangedNs`, made at `llClockNs`.
    void Looked(int64_t llChangedNs, int64_t llClockNs);
    // Whether a look at the change time `llChangedNs` must look at the
    // bytes too: the file changed since the last look, or could have
    // within the tick of that look.
    bool MustLookAtBytes(int64_t llChangedNs) const;
    // Whether the file still holds its first line and the last bytes read
    // as they were read.
    bool StillHoldsWhatWasRead() const;
    // Puts the reader at `llPosition` without reading what lies before:
    // the first kPlaceProofBytes of that are read to know them.
    void PlaceAt(int64_t llPosition);
    // A cut of the file, now `llSize` bytes long, was found: what it still
    // holds is looked into from the next step on.
    void BeginCut(int64_t llSize, bool bCutAhead);
    // Goes on looking into a cut or a place, within the call's share;
    // false while that is not done (or a read failed: `bFailed`).
    bool ContinueShowing(int64_t llSize, bool& bFailed);
    void FinishCut();
    void FinishResume();
    // Passes over the hole at the position, where the file system tells
    // of one, up to the data after it or the file's end.
    void SkipHole();

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
    // What was read, from the file's first byte (or the place it was put
    // at) to the position.
    ReadChain m_Chain;
    // The file's change time at the last look (0: unknown), and whether
    // that look fell within the tick of the file clock that stamped it.
    int64_t m_llLookedNs = 0;
    bool m_bLookedInItsTick = false;
    // A cut being looked into, or a place being shown.
    std::unique_ptr<Showing> m_pShowing;
    int64_t m_llPassOverShare = kPassOverPerCall;
    int64_t m_llPassOverLeft = kPassOverPerCall;
    int64_t m_llRereadShare = kRereadPerCall;
    int64_t m_llRereadLeft = kRereadPerCall;
    std::string m_strOpenProblem;
    // See GetHistoryEnd.
    int64_t m_llHistoryEnd = 0;
};
