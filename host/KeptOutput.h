#pragma once
// One of hwhost's outputs (the alert file, the host message file, the log)
// with what waits for it.  What is made for the output comes in whole
// pieces (a document, a message, a line); each is written whole, once, in
// the order made.  What the output cannot take now is kept, up to a bound,
// and written when it can.  The state of an output, and what is said of it,
// lives here alone:
//
//   writing   the output takes what is made, at each Write.
//   failing   an open or a write failed (a folder replaced by a file, a
//             file system full, out of inodes or read-only, a name
//             refused).  The path is kept (FollowedFile.h) and the output
//             is tried again once a second: at the first Write due after
//             the failure and never more often, whatever comes meanwhile.
//             The owner calls Write at least that often while something is
//             kept (NextTry says when), so it comes back without a signal.
//             A piece a full disk cut short is cut off the file's end again
//             (CutWrittenPiece) and kept whole.  The failure is said at
//             once with the system's reason, as a finding about the policy
//             in force; while it lasts a count is said at most once a
//             minute, as a notice.
//   back      everything kept is written: said once, with how many pieces
//             waited and for how long.
//   given up  an output whose reader closed it, or one that takes nothing
//             for the stop wait once a stop began: what is made for it is
//             let go and counted, not kept.
//
// A regular file cut under the output (its size fell below what the output
// wrote to it: a copy-and-truncate rotation, a truncate by hand) is said at
// the first write after the cut, once per cut, with what the output can
// know of its loss: the bytes and pieces it wrote that the file no longer
// holds.  What a copy made before the cut kept of them cannot be known
// here.  Each write tells where it landed (the offset an O_APPEND write
// ends at), so looking for a cut costs one lseek a write call; a file
// written at its own offset (standard output sent with ">") is looked at
// with one fstat a Write, and written on at the cut.
//
// Past the bound (64 MiB unless set) further pieces are left out and said
// as a bound (HostBound.h).  At the end, CountNotWritten says and counts
// what is still kept.
//
// Standard output, a pipe, a FIFO, a terminal or a socket cannot give back
// what it took: the rest of a piece goes to it before anything else.  They
// are written without ever blocking in a write; one that takes nothing yet
// is waited for (as long as it takes while the sensor runs; for the stop
// wait once a stop began, see SetStopClock).
//
// It has no lock: its owner serialises the calls.  Times are the caller's
// (ReportLimiter::Now() in hwhost, which a test may move).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "FollowedFile.h"
#include "HostBound.h"
#include "qorToolsLib/ReportLimiter.h"

class KeptOutput {
public:
    using Clock = std::chrono::steady_clock;
    // Says a line at a level that may carry kCSFLogConsoleFlag.
    using Say = HostBound::Say;

    // How the output and its pieces are named in what is said.
    struct Names {
        // "alert": "the alert file PATH", "the alert output".
        std::string m_strFile;
        // What is said before the reason when the file cannot be opened
        // ("cannot open the alert file"), and before the path and the
        // reason when it cannot be written ("cannot write the alert file").
        std::string m_strOpenFailed;
        std::string m_strWriteFailed;
        // "alert file": the bound's input, before the path.
        std::string m_strBound;
        // What the bound leaves out ("alerts").
        std::string m_strLeftOut;
        // What is kept and not written ("alerts", "host messages").
        std::string m_strPieces;
    };

    KeptOutput(Names names, Say say);
    // Told the text of the failure said (as Say had it) once the output
    // is written again, so that the finding it made can be withdrawn.
    using Ended = std::function<void(const std::string& text)>;
    void SetFindingEnded(Ended ended) { m_ended = std::move(ended); }
    ~KeptOutput();
    KeptOutput(const KeptOutput&) = delete;
    KeptOutput& operator=(const KeptOutput&) = delete;

    // The output is the file at `path`, followed by it.  False with
    // `problem` set when it cannot be opened now (the path is kept all the
    // same).
    bool OpenFile(const std::string& path, std::string& problem, Clock::time_point now);
    // The output is standard output, written through an open file of its
    // own when it is a pipe, FIFO or terminal (the one hwhost was started
    // with is shared with whoever started it).
    void OpenStandardOutput();
    FollowedFile& File() { return m_file; }
    // Lets go of the file and forgets its path: nothing is wanted of the
    // output any more.
    void Close();
    bool IsWanted() const { return m_bWanted; }
    const std::string& Path() const { return m_file.Path(); }

    // What may be kept before further pieces are left out.
    static constexpr size_t kDefaultKeptLimit = 64 * 1024 * 1024;
    void SetKeptLimit(size_t bytes) { m_nKeptLimit = bytes; }
    // How often an output that failed is tried again.
    static constexpr std::chrono::milliseconds kRetryInterval{1000};
    // The steady clock's count when a stop began (0 before), which the
    // owner sets from any thread, and how long a stop waits for an output
    // that takes nothing (at most six such waits in all).
    void SetStopClock(const std::atomic<int64_t>* pStopBegan, std::chrono::milliseconds wait) {
        m_pStopBegan = pStopBegan;
        m_stopWait = wait;
    }

    // A piece is made by appending its bytes to Pending() and calling
    // Made with their count.  Whether one more piece may be kept; one that
    // may not is LeftOut.
    std::string& Pending() { return m_pending; }
    void Made(size_t bytes);
    bool HasRoom() const { return m_pending.size() < m_nKeptLimit; }
    void LeftOut(uint64_t qwPieces = 1);

    // Asks for the file to be opened again by its path (a rotation's
    // SIGHUP), at the next Write, whatever the rhythm of retries.
    void AskReopen() { m_bReopenAsked = true; }
    // Writes what is kept, when the output is due: at once while it
    // works, once a second while it fails.  `bLastTry` (at a stop): now,
    // whatever the rhythm.
    void Write(Clock::time_point now, bool bLastTry = false);
    // When a Write is next due to try a failed output again (also with
    // nothing kept: its end is said when it comes); Clock::time_point::max()
    // when none is due.
    Clock::time_point NextTry() const;

    // At the end: counts and says what was never written (the line is
    // also in `line`), and lets it go.  0 (and `line` empty) when nothing
    // waited.
    uint64_t CountNotWritten(std::string& line);

    // The pieces kept (not yet taken whole) and their bytes.
    size_t PiecesKept() const { return m_ends.size(); }
    size_t BytesKept() const { return m_pending.size(); }
    bool IsFailing() const { return m_bFailing; }
    // The cuts of the output's files said so far.
    uint64_t CutsSeen() const { return m_qwCuts; }
    // How many of the last pieces written to a file are remembered where
    // they end, to count those a cut took.
    static constexpr size_t kCutPiecesKept = 16384;
    // The bound's line, for hwhost.status and the stop; "" when it left
    // nothing out.  Unlike the rest, any thread may ask.
    std::string BoundReached() const;

private:
    // The descriptor to write to, the file opened again first when asked
    // or gone; -1 when it cannot be opened (m_strReason says why).  A file
    // holding a piece of a document is not left before its rest.
    int Descriptor(Clock::time_point now);
    void Taken(size_t bytes);
    // A file opened (or standard output, at its open) begins anew: where
    // its writes land is followed when it is a regular file.
    void FollowCuts(int fd);
    // Before a Write's bytes go to a file written at its own offset: a
    // file now shorter than what was written to it was cut.
    void LookForCutBefore(int fd);
    // After a write of `bytes` landed: a write that landed before the end
    // of the last one (O_APPEND puts it at the file's end) follows a cut.
    void Landed(int fd, size_t bytes);
    void SayCut(int64_t llCutAt);
    uint64_t PieceTaken() const { return m_qwTaken - m_qwWholeEnd; }
    // After a failed write: cuts the piece the file took off its end
    // again; answers how many bytes of what was written go back to be
    // written.
    size_t TakeBackPiece(int fd, size_t done);
    // Waits until `fd` can take more: true when it can, false when the
    // output is given up at a stop (m_strGivenUp then says why).
    bool AwaitRoom(int fd);
    void GiveUpClosed(int error);
    void DiscardPending();
    void Failed(Clock::time_point now, bool bOpening);
    void SayStillFailing(Clock::time_point now);
    void Back(Clock::time_point now);
    void SayFailure(const std::string& text);
    HostBound& Bound();
    // "the alert file PATH", or "standard output".
    std::string Named() const;

    const Names m_names;
    Say m_say;
    Ended m_ended;
    // The failure said last, withdrawn when the output is back.
    std::string m_strFailureSaid;
    bool m_bWanted = false;
    bool m_bStandardOutput = false;
    // Standard output's descriptor to write to: its own when it could be
    // opened anew (m_bOwnFd), else standard output itself.
    int m_nStandardFd = -1;
    bool m_bOwnFd = false;
    // Standard output is a socket, sent to without waiting.
    bool m_bSocket = false;
    FollowedFile m_file;
    size_t m_nKeptLimit = kDefaultKeptLimit;

    // What waits, and, counted from the first byte ever made, the bytes
    // made and taken so far, where each piece not yet taken whole ends,
    // and where the last one taken whole ended.  Between that end and the
    // bytes taken lies the piece the output holds part of; its rest goes
    // there before anything else.
    std::string m_pending;
    uint64_t m_qwMade = 0;
    uint64_t m_qwTaken = 0;
    std::deque<uint64_t> m_ends;
    uint64_t m_qwWholeEnd = 0;

    bool m_bReopenAsked = false;
    // Cuts, for the regular file written now: how it is written, the file
    // opened it was set for, where the output's writes to it began and
    // ended (-1 before the first), where byte 0 of what was made lies in
    // it, and where each of its last pieces written whole ends in it
    // (m_qwPiecesInFile counts them all, m_qwBytesInFile their bytes).
    enum class CutFollow { kNone, kAppend, kOffset };
    CutFollow m_cutFollow = CutFollow::kNone;
    uint64_t m_qwOpensFollowed = 0;
    int64_t m_llFileFirst = -1;
    int64_t m_llFileEnd = -1;
    int64_t m_llStreamToFile = 0;
    std::deque<int64_t> m_fileEnds;
    uint64_t m_qwPiecesInFile = 0;
    uint64_t m_qwBytesInFile = 0;
    uint64_t m_qwCuts = 0;
    // Failing: since when, why (the system's words), and when the next
    // try is due; the pieces taken whole since it began.
    bool m_bFailing = false;
    bool m_bOpenFailed = false;
    std::string m_strReason;
    Clock::time_point m_failingSince{};
    Clock::time_point m_nextTry{};
    uint64_t m_qwTakenWhileFailing = 0;
    ReportLimiter m_stillReports;
    // When the output last took something.
    Clock::time_point m_lastTaken{};

    const std::atomic<int64_t>* m_pStopBegan = nullptr;
    std::chrono::milliseconds m_stopWait{10000};
    // Why the output was given up (at a stop, or closed by its reader); ""
    // while it is not.
    std::string m_strGivenUp;
    // Its reader closed it: what is made for it is let go at once, and
    // counted here until the end reports it.
    bool m_bClosed = false;
    uint64_t m_qwDiscarded = 0;
    // Pieces left out for what is kept (the kept limit), made with the
    // first, by the owner's thread; published for BoundReached once made.
    std::unique_ptr<HostBound> m_pBound;
    std::atomic<const HostBound*> m_pBoundMade{nullptr};
};
