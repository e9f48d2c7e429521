#include "KeptOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "hostwarden/ICSFHostServices.h"
#include "platform/Files.h"
#include "qorToolsLib/CountText.h"

namespace {

// An output still taking pieces at a stop is given up this many stop
// waits after the stop began.
constexpr int kStopWaitsAtMost = 6;
// How often a writer waiting for an output looks whether a stop began.
constexpr int kRoomSliceMs = 100;

// "10 s", "1.5 s".
std::string SecondsText(std::chrono::milliseconds time) {
    char text[32];
    if (time.count() % 1000 == 0) {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(time.count() / 1000));
    } else {
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(time.count()) / 1000.0);
    }
    return text;
}

std::string WholeSeconds(KeptOutput::Clock::duration time) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(time).count()) + " s";
}

}  // namespace

KeptOutput::KeptOutput(Names names, Say say) : m_names(std::move(names)), m_say(std::move(say)) {
    // What the host writes is never the sensor's input, under whatever name
    // a rotation gives it.
    m_file.SetOwnOutput(m_names.m_strFile);
}

KeptOutput::~KeptOutput() {
    if (m_bOwnFd) {
        ::close(m_nStandardFd);
    }
}

bool KeptOutput::OpenFile(const std::string& path, std::string& problem, Clock::time_point now) {
    m_bWanted = true;
    return m_file.Open(path, problem, now);
}

void KeptOutput::Close() {
    m_file.Close();
    m_bWanted = false;
}

void KeptOutput::OpenStandardOutput() {
    m_bWanted = true;
    m_bStandardOutput = true;
    m_nStandardFd = STDOUT_FILENO;
    struct stat status {};
    if (::fstat(STDOUT_FILENO, &status) != 0) {
        // Closed: the writes fail and say so.
        return;
    }
    if (S_ISSOCK(status.st_mode)) {
        m_bSocket = true;
        return;
    }
    if (!S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)) {
        // A file keeps no write waiting for a reader.
        FollowCuts(STDOUT_FILENO);
        return;
    }
    // The open file behind standard output is shared with whoever started
    // hwhost (a shell's terminal): it stays blocking, and the output is
    // written through an open file of its own.
    const int fd = plat::ReopenDescriptor(STDOUT_FILENO, O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
        m_nStandardFd = fd;
        m_bOwnFd = true;
        return;
    }
    m_say(kCSFLogWarning,
          std::string("hwhost: standard output cannot be opened to be written without waiting (") +
              std::strerror(errno) + "); a stop waits for as long as its reader takes nothing");
}

void KeptOutput::Made(size_t bytes) {
    m_qwMade += bytes;
    m_ends.push_back(m_qwMade);
}

void KeptOutput::LeftOut(uint64_t qwPieces) {
    Bound().LeftOut(qwPieces);
}

HostBound& KeptOutput::Bound() {
    if (m_pBound == nullptr) {
        const std::string input =
            m_bStandardOutput ? std::string("standard output") : m_names.m_strBound + " " + m_file.Path();
        m_pBound = std::make_unique<HostBound>(
            m_say, input, "at most " + BoundSizeText(m_nKeptLimit) + " kept while it cannot be written",
            m_names.m_strLeftOut);
        m_pBoundMade.store(m_pBound.get(), std::memory_order_release);
    }
    return *m_pBound;
}

std::string KeptOutput::BoundReached() const {
    const HostBound* pBound = m_pBoundMade.load(std::memory_order_acquire);
    return pBound != nullptr && pBound->Total() != 0 ? pBound->Describe() : std::string();
}

std::string KeptOutput::Named() const {
    return m_bStandardOutput ? std::string("standard output")
                             : "the " + m_names.m_strFile + " file " + m_file.Path();
}

KeptOutput::Clock::time_point KeptOutput::NextTry() const {
    if (!m_bFailing || !m_strGivenUp.empty()) {
        return Clock::time_point::max();
    }
    return m_nextTry;
}

int KeptOutput::Descriptor(Clock::time_point now) {
    if (m_bStandardOutput) {
        // Whatever else went through the stream (the console's lines) goes
        // before.
        std::fflush(stdout);
        return m_nStandardFd;
    }
    if (PieceTaken() != 0 && m_file.Fd() >= 0) {
        // A FIFO or device that took part of a piece (or a file whose piece
        // could not be cut off) gets its rest first, whatever the path
        // names now: a piece is never continued elsewhere nor broken into
        // by another.
        return m_file.Fd();
    }
    std::string problem;
    const bool bReopen = m_bReopenAsked;
    m_bReopenAsked = false;
    const bool bOpen = bReopen ? m_file.Reopen(problem, now) : m_file.Follow(problem, now);
    if (!bOpen) {
        m_strReason = problem;
        return -1;
    }
    if (m_file.Opens() != m_qwOpensFollowed) {
        m_qwOpensFollowed = m_file.Opens();
        FollowCuts(m_file.Fd());
    }
    return m_file.Fd();
}

void KeptOutput::FollowCuts(int fd) {
    m_cutFollow = CutFollow::kNone;
    m_llFileFirst = -1;
    m_llFileEnd = -1;
    m_fileEnds.clear();
    m_qwPiecesInFile = 0;
    m_qwBytesInFile = 0;
    struct stat status {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || flags < 0) {
        return;
    }
    m_cutFollow = (flags & O_APPEND) != 0 ? CutFollow::kAppend : CutFollow::kOffset;
}

void KeptOutput::LookForCutBefore(int fd) {
    struct stat status {};
    if (m_cutFollow != CutFollow::kOffset || m_llFileEnd < 0 || ::fstat(fd, &status) != 0 ||
        status.st_size >= m_llFileEnd) {
        return;
    }
    SayCut(status.st_size);
    // Written on at the old offset, the file would hold a hole of zeros
    // where the cut took its bytes.
    if (::lseek(fd, status.st_size, SEEK_SET) == status.st_size) {
        m_llFileEnd = status.st_size;
    }
}

void KeptOutput::Landed(int fd, size_t bytes) {
    if (m_cutFollow == CutFollow::kNone) {
        return;
    }
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end < static_cast<off_t>(bytes)) {
        return;
    }
    const int64_t llLanded = static_cast<int64_t>(end) - static_cast<int64_t>(bytes);
    if (m_llFileEnd >= 0 && llLanded < m_llFileEnd) {
        SayCut(llLanded);
    }
    if (m_llFileFirst < 0) {
        m_llFileFirst = llLanded;
    }
    m_llFileEnd = static_cast<int64_t>(end);
    m_qwBytesInFile += bytes;
    m_llStreamToFile = llLanded - static_cast<int64_t>(m_qwTaken);
}

void KeptOutput::SayCut(int64_t llCutAt) {
    ++m_qwCuts;
    // Only what this output wrote since the file was opened (or last cut)
    // is its own to count: bytes before its first write were there
    // already, and another writer's lines are not its.
    uint64_t qwBytes = m_qwBytesInFile;
    uint64_t qwPieces = m_qwPiecesInFile;
    bool bAtLeast = false;
    if (llCutAt > m_llFileFirst) {
        qwBytes = std::min<uint64_t>(qwBytes,
                                     m_llFileEnd > llCutAt ? static_cast<uint64_t>(m_llFileEnd - llCutAt) : 0);
        qwPieces = static_cast<uint64_t>(std::count_if(m_fileEnds.begin(), m_fileEnds.end(),
                                                       [&](int64_t llEnd) { return llEnd > llCutAt; }));
        bAtLeast = qwPieces == m_fileEnds.size() && m_qwPiecesInFile > m_fileEnds.size();
    }
    m_say(kCSFLogWarning | kCSFLogConsoleFlag,
          "hwhost: " + Named() + " was cut under it: it held " + CountText(m_llFileEnd, "byte", "bytes") +
              " when hwhost last wrote to it, and " + CountText(llCutAt, "byte", "bytes") + " now; the last " +
              CountText(qwBytes, "byte", "bytes") + " hwhost wrote there (" + (bAtLeast ? "at least " : "") +
              CountText(qwPieces, m_names.m_strPieces) + ") " + (qwBytes == 1 ? "is" : "are") +
              " no longer in it, and what a copy made before the cut does not hold of them is lost "
              "(rotate it by renaming it and sending a SIGHUP)");
    // The file holds none of what was counted: it is counted afresh.
    m_llFileFirst = llCutAt;
    m_fileEnds.clear();
    m_qwPiecesInFile = 0;
    m_qwBytesInFile = 0;
}

// What a full disk or another write error keeps back stays at the front of
// what is pending, to go first at the next try: the file holds the pieces
// whole and in order, and one that could not be written yet is late, not
// lost.  A piece the file took only part of is cut off it again and kept
// whole, so that the file ends with a whole piece and whichever file is
// written next (the same, or a new one at its path) begins with one.  An
// output that takes nothing for now (a pipe whose reader is behind) is
// waited for, until a stop gives it up; nothing is written to an output
// given up.  A pipe or socket whose reader closed its end is given up at
// once, for good: what was made for it, and is made from then on, is let
// go and counted as not written, not kept.
void KeptOutput::Write(Clock::time_point now, bool bLastTry) {
    if (m_bClosed) {
        DiscardPending();
        return;
    }
    if (!m_bWanted || !m_strGivenUp.empty() || (m_pending.empty() && !m_bReopenAsked && !m_bFailing)) {
        return;
    }
    if (m_bFailing && !m_bReopenAsked && !bLastTry && now < m_nextTry) {
        SayStillFailing(now);
        return;
    }
    const int fd = Descriptor(now);
    if (fd < 0) {
        Failed(now, true);
        return;
    }
    if (m_pending.empty()) {
        // Opened again, with nothing kept.
        if (m_bFailing) {
            Back(now);
        }
        return;
    }
    size_t done = 0;
    int error = 0;
    LookForCutBefore(fd);
    while (done < m_pending.size()) {
        const char* pData = m_pending.data() + done;
        const size_t count = m_pending.size() - done;
        const ssize_t n = m_bSocket ? ::send(fd, pData, count, MSG_DONTWAIT | MSG_NOSIGNAL)
                                    : ::write(fd, pData, count);
        if (n > 0) {
            done += static_cast<size_t>(n);
            Landed(fd, static_cast<size_t>(n));
            Taken(static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!AwaitRoom(fd)) {
                break;
            }
        } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            // The reader closed its end: nothing will ever be taken again.
            GiveUpClosed(errno);
            break;
        } else {
            error = n == 0 ? ENOSPC : errno;
            break;
        }
    }
    if (error != 0) {
        done -= TakeBackPiece(fd, done);
    }
    m_pending.erase(0, done);
    if (m_bClosed) {
        DiscardPending();
        return;
    }
    if (error != 0) {
        m_strReason = std::strerror(error);
        Failed(now, false);
    } else if (m_bFailing && m_pending.empty()) {
        Back(now);
    }
}

void KeptOutput::Taken(size_t bytes) {
    m_qwTaken += bytes;
    while (!m_ends.empty() && m_ends.front() <= m_qwTaken) {
        m_qwWholeEnd = m_ends.front();
        m_ends.pop_front();
        if (m_cutFollow != CutFollow::kNone && m_llFileEnd >= 0) {
            m_fileEnds.push_back(static_cast<int64_t>(m_qwWholeEnd) + m_llStreamToFile);
            ++m_qwPiecesInFile;
            if (m_fileEnds.size() > kCutPiecesKept) {
                m_fileEnds.pop_front();
            }
        }
        m_qwTakenWhileFailing += m_bFailing ? 1 : 0;
    }
    // The stop wait is a wait in real time, whatever clock the caller
    // goes by.
    m_lastTaken = Clock::now();
}

size_t KeptOutput::TakeBackPiece(int fd, size_t done) {
    const uint64_t piece = PieceTaken();
    if (piece == 0) {
        return 0;
    }
    std::string problem;
    if (piece <= done && CutWrittenPiece(fd, piece, problem)) {
        m_qwTaken -= piece;
        // The file ends where this output cut it, which is no cut of
        // another's.
        m_llFileEnd -= m_llFileEnd >= static_cast<int64_t>(piece) ? static_cast<int64_t>(piece) : 0;
        m_qwBytesInFile -= std::min<uint64_t>(m_qwBytesInFile, piece);
        return static_cast<size_t>(piece);
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        m_say(kCSFLogError, "hwhost: the piece of a document the " + m_names.m_strFile +
                                " file took before it failed cannot be cut off its end (" + problem +
                                "): the rest of the document is written there first");
    }
    return 0;
}

bool KeptOutput::AwaitRoom(int fd) {
    for (;;) {
        int timeoutMs = kRoomSliceMs;
        const int64_t llStopBegan = m_pStopBegan != nullptr ? m_pStopBegan->load() : 0;
        if (llStopBegan != 0) {
            const Clock::time_point began{Clock::duration(llStopBegan)};
            const Clock::time_point idleEnd = std::max(began, m_lastTaken) + m_stopWait;
            const Clock::time_point lastEnd = began + kStopWaitsAtMost * m_stopWait;
            const Clock::time_point now = Clock::now();
            if (now >= idleEnd || now >= lastEnd) {
                const std::string output = "the " + m_names.m_strFile + " output ";
                m_strGivenUp = idleEnd <= lastEnd
                                   ? output + "took nothing for " + SecondsText(m_stopWait)
                                   : output + "was still taking them " +
                                         SecondsText(kStopWaitsAtMost * m_stopWait) +
                                         " after the stop began";
                return false;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(std::min(idleEnd, lastEnd) - now);
            timeoutMs = static_cast<int>(std::min<int64_t>(timeoutMs, left.count()));
        }
        pollfd ready{fd, POLLOUT, 0};
        // Ready, or failed (the reader gone): the next write tells which.
        if (::poll(&ready, 1, timeoutMs) > 0) {
            return true;
        }
    }
}

void KeptOutput::GiveUpClosed(int error) {
    m_bClosed = true;
    m_strGivenUp = "the " + m_names.m_strFile + " output is closed";
    m_say(kCSFLogError | kCSFLogConsoleFlag,
          "hwhost: the " + m_names.m_strFile + " output is closed (" + std::strerror(error) +
              "): its reader is gone, so the " + m_names.m_strFile +
              "s from now on are counted as not written");
}

void KeptOutput::DiscardPending() {
    m_qwDiscarded += m_ends.size();
    m_ends.clear();
    m_pending.clear();
}

void KeptOutput::Failed(Clock::time_point now, bool bOpening) {
    m_nextTry = now + kRetryInterval;
    m_bOpenFailed = bOpening;
    if (m_bFailing) {
        SayStillFailing(now);
        return;
    }
    m_bFailing = true;
    m_failingSince = now;
    m_qwTakenWhileFailing = 0;
    // The count comes a minute after the failure is said.
    m_stillReports = ReportLimiter();
    m_stillReports.Allow(now);
    // Said where the operator looks: what is not written is what a sensor
    // is for.
    if (bOpening) {
        SayFailure("hwhost: " + m_names.m_strOpenFailed + ": " + m_strReason +
                   "; what is not written yet is kept and written when it can be opened");
    } else {
        SayFailure("hwhost: " + m_names.m_strWriteFailed + (m_bStandardOutput ? "" : " " + m_file.Path()) +
                   " (" + m_strReason + "); " + CountText(m_pending.size(), "byte", "bytes") +
                   (m_pending.size() == 1 ? " is" : " are") + " kept and written when it can be written again");
    }
}

void KeptOutput::SayFailure(const std::string& text) {
    m_strFailureSaid = text;
    m_say(kCSFLogError | kCSFLogConsoleFlag, text);
}

void KeptOutput::SayStillFailing(Clock::time_point now) {
    if (!m_stillReports.Allow(now)) {
        return;
    }
    m_say(kCSFLogNotice | kCSFLogConsoleFlag,
          "hwhost: " + Named() + " is still not written (" +
              (m_bOpenFailed ? "it cannot be opened: " : "") + m_strReason + "), for " +
              WholeSeconds(now - m_failingSince) + ": " + CountText(m_ends.size(), m_names.m_strPieces) +
              " kept (" + CountText(m_pending.size(), "byte", "bytes") + "), tried again every second");
}

void KeptOutput::Back(Clock::time_point now) {
    m_bFailing = false;
    m_bOpenFailed = false;
    const std::string after = "hwhost: " + Named() + " is written again after " + WholeSeconds(now - m_failingSince);
    m_strReason.clear();
    // The failure no longer holds: it leaves the findings about the
    // policy in force, before the line that says so, so that whoever reads
    // the line finds the findings as it tells.
    if (m_ended && !m_strFailureSaid.empty()) {
        m_ended(m_strFailureSaid);
    }
    m_strFailureSaid.clear();
    m_say(kCSFLogNotice | kCSFLogConsoleFlag,
          m_qwTakenWhileFailing == 0 ? after + "; nothing was kept meanwhile"
                                     : after + ": the " + CountText(m_qwTakenWhileFailing, m_names.m_strPieces) +
                                           " kept meanwhile " + (m_qwTakenWhileFailing == 1 ? "is" : "are") +
                                           " written");
}

uint64_t KeptOutput::CountNotWritten(std::string& line) {
    line.clear();
    const uint64_t count = m_ends.size() + m_qwDiscarded;
    m_pending.clear();
    m_ends.clear();
    m_qwDiscarded = 0;
    if (count == 0) {
        return 0;
    }
    std::string why;
    if (!m_strGivenUp.empty()) {
        why = m_strGivenUp;
    } else if (m_bFailing && m_bOpenFailed) {
        why = "the " + m_names.m_strFile + " file cannot be opened: " + m_strReason;
    } else if (m_bFailing) {
        why = "the " + m_names.m_strFile + " output cannot be written (" + m_strReason + ")";
    } else {
        why = "the stop came before they were written";
    }
    line = "hwhost: " + CountText(count, m_names.m_strPieces) + " not written: " + why;
    m_say(kCSFLogError, line);
    return count;
}
