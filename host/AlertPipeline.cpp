#include "AlertPipeline.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>

#include "Common/AgentEventInfo.h"
#include "hostwarden/ICSFAlertEvent.h"
#include "hostwarden/IPolicyEventInterface.h"
#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFAlertMessage.h"
#include "platform/Files.h"
#include "qorEventLib/CQorEvent.h"

#define PIPELINE_LOG(level, ...) \
    m_services.Log(nullptr, kCSFLogCategory, (level), __LINE__, __FILE__, __VA_ARGS__)

namespace {

// The policy level the host asks for: the full response list.
constexpr uint32_t kPolicyLevel = 1;
// A long batch is written in pieces of about this size.
constexpr size_t kFlushBytes = 256 * 1024;
// How long a batch gathers alerts at most, and how many end it at once.
constexpr std::chrono::milliseconds kGatherTime{10};
constexpr size_t kGatherCount = 256;
// How often what an output file did not take is tried again.
constexpr std::chrono::seconds kRetryTime{1};
// An output still taking alerts at a stop is given up this many stop waits
// after the stop began.
constexpr int kStopWaitsAtMost = 6;
// How often a writer waiting for an output looks whether a stop began.
constexpr int kRoomSliceMs = 100;

using Clock = std::chrono::steady_clock;

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

// The record is an object of the plug-in: its virtual destructor runs the
// plug-in's own code.  Its dynamic type cannot be checked here, since the
// type's identity lives inside the plug-in.
__attribute__((no_sanitize("vptr"))) void DisposeRecord(AgentEventInfo* pRecord) {
    delete pRecord;
}

// The XML form of an event whose message is of type 600: such a message is
// written only by the tagged-stream form, so the event is one, and its own
// rendering (the plug-in's code, reached through its virtual table) is the
// document of what the message carries.  The type's identity lives inside
// the plug-in, where the host cannot check it.
__attribute__((no_sanitize("vptr"))) uint32_t RenderXml(ICSFAlertEvent& event, std::string& xml) {
    return static_cast<ADFGenericEvent&>(event).ToXml(xml);
}

}  // namespace

void AlertPipeline::AlertEventDestroyer::operator()(ICSFAlertEvent* pEvent) const {
    pEvent->Destroy();
}

AlertPipeline::AlertPipeline(HostServices& services) : m_services(services) {}

AlertPipeline::~AlertPipeline() {
    Stop();
}

AlertPipeline::Output::~Output() {
    if (m_bOwnFd) {
        ::close(m_nStandardFd);
    }
}

bool AlertPipeline::Open(const std::string& alertsPath, const std::string& messagesPath,
                         std::string& error) {
    // A name another account took in a shared folder is taken back: the
    // operator learns that someone tried.
    const auto sayTakenBack = [this](const std::string& text) {
        PIPELINE_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", text.c_str());
    };
    m_alertsOut.m_file.SetTakeBackReport(sayTakenBack);
    m_messagesOut.m_file.SetTakeBackReport(sayTakenBack);
    m_alertsOut.m_bWanted = true;
    m_alertsOut.m_bStandardOutput = alertsPath.empty();
    std::string problem;
    if (alertsPath.empty()) {
        OpenStandardOutput(m_alertsOut);
    }
    m_alertsOut.m_file.SetNonBlocking(true);
    if (!alertsPath.empty() && !m_alertsOut.m_file.Open(alertsPath, problem)) {
        error = "cannot open the alert file: " + problem;
        return false;
    }
    m_messagesOut.m_bWanted = !messagesPath.empty();
    m_messagesOut.m_file.SetNonBlocking(true);
    if (!messagesPath.empty() && !m_messagesOut.m_file.Open(messagesPath, problem)) {
        error = "cannot open the message file: " + problem;
        return false;
    }
    return true;
}

void AlertPipeline::Start() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bRunning = true;
    }
    m_thread = std::thread([this] { Run(); });
}

void AlertPipeline::OpenStandardOutput(Output& output) {
    output.m_nStandardFd = STDOUT_FILENO;
    struct stat status {};
    if (::fstat(STDOUT_FILENO, &status) != 0) {
        // Closed: the writes fail and say so.
        return;
    }
    if (S_ISSOCK(status.st_mode)) {
        output.m_bSocket = true;
        return;
    }
    if (!S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)) {
        // A file keeps no write waiting for a reader.
        return;
    }
    // The open file behind standard output is shared with whoever started
    // hwhost (a shell's terminal): it stays blocking, and the pipeline
    // writes through an open file of its own.
    const int fd = plat::ReopenDescriptor(STDOUT_FILENO, O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
        output.m_nStandardFd = fd;
        output.m_bOwnFd = true;
        return;
    }
    PIPELINE_LOG(kCSFLogWarning,
                 "hwhost: standard output cannot be opened to be written without waiting (%s); "
                 "a stop waits for as long as its reader takes nothing",
                 std::strerror(errno));
}

void AlertPipeline::BeginStop() {
    int64_t llNotYet = 0;
    m_llStopBegan.compare_exchange_strong(llNotYet, Clock::now().time_since_epoch().count());
}

void AlertPipeline::Stop() {
    BeginStop();
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_bStop = true;
        }
        m_wake.notify_all();
        m_room.notify_all();
        m_thread.join();
    }
    {
        // The last events written go now, while the plug-in that made them
        // is certainly loaded.
        std::lock_guard<std::mutex> guard(m_lock);
        m_spent.clear();
    }
    const uint64_t qwNotWritten = CountNotWritten(m_alertsOut, m_xml, "alert", "alerts");
    CountNotWritten(m_messagesOut, m_messages, "message", "host messages");
    m_qwNotWritten.fetch_add(qwNotWritten);
    m_qwWritten.fetch_sub(qwNotWritten);
}

uint64_t AlertPipeline::CountNotWritten(Output& output, std::string& pending, const char* pszWhat,
                                        const char* pszWhats) {
    const uint64_t count = output.m_ends.size() + output.m_qwDiscarded;
    pending.clear();
    output.m_ends.clear();
    output.m_qwDiscarded = 0;
    if (count == 0) {
        return 0;
    }
    std::string why;
    if (!output.m_strGivenUp.empty()) {
        why = output.m_strGivenUp;
    } else if (!output.m_strProblem.empty()) {
        why = std::string("the ") + pszWhat + " file cannot be opened: " + output.m_strProblem;
    } else if (output.m_bFailing) {
        why = std::string("the ") + pszWhat + " output cannot be written (" + output.m_strFailure +
              ")";
    } else {
        why = "the stop came before they were written";
    }
    const std::string line =
        "hwhost: " + std::to_string(count) + " " + pszWhats + " not written: " + why;
    PIPELINE_LOG(kCSFLogError, "%s", line.c_str());
    m_notWrittenReports.push_back(line);
    return count;
}

void AlertPipeline::Run() {
    for (;;) {
        bool bStop = false;
        {
            std::unique_lock<std::mutex> guard(m_lock);
            const auto woken = [this] { return m_bStop || !m_queue.empty(); };
            if (m_xml.empty() && m_messages.empty()) {
                m_wake.wait(guard, woken);
            } else {
                // What a full disk kept back is tried again now and then,
                // also when no new alert comes.
                m_wake.wait_for(guard, kRetryTime, woken);
            }
            // The first alert starts a batch: more that come meanwhile go
            // with it, so a steady stream costs a wake-up a batch rather
            // than one an alert.
            m_wake.wait_for(guard, kGatherTime,
                            [this] { return m_bStop || m_queue.size() >= GatherCount(); });
            bStop = m_bStop;
        }
        // A stop comes after the sensor's: this drain writes the last of it.
        Drain();
        if (bStop) {
            return;
        }
    }
}

void AlertPipeline::Accept(AgentEventInfo* pRecord, const CSFEventInfo& info,
                           const PolicyEventRef& pPolicyEvent) {
    const char* pszName = info.m_pszName != nullptr ? info.m_pszName : "";
    try {
        FinishedAlert finished;
        if (!Finish(pRecord, pszName, pPolicyEvent.get(), finished)) {
            m_qwDropped.fetch_add(1);
            return;
        }
        size_t queued = 0;
        std::vector<AlertEventPtr> spent;
        {
            std::unique_lock<std::mutex> guard(m_lock);
            WaitForRoom(guard);
            m_queue.push_back(std::move(finished));
            queued = m_queue.size();
            spent.swap(m_spent);
        }
        // Events the pipeline is done with go on a thread that makes them:
        // memory is given back where it is taken, without the allocator's
        // lock between the threads.
        spent.clear();
        // The pipeline is woken to start a batch and when one is full; a
        // pipeline that has not yet emptied the queue looks at it again.
        if (queued == 1 || queued == GatherCount()) {
            m_wake.notify_one();
        }
    } catch (const std::exception& error) {
        // The record went with its alert event, or was disposed of.
        m_problems.Note(std::string("the alert \"") + pszName + "\" is dropped", error.what());
        m_qwDropped.fetch_add(1);
    }
}

size_t AlertPipeline::GatherCount() const {
    // A queue that cannot hold a whole batch ends the gathering when full.
    return std::min(kGatherCount, m_nQueueLimit);
}

void AlertPipeline::WaitForRoom(std::unique_lock<std::mutex>& guard) {
    const auto mayGoOn = [this] {
        return m_queue.size() < m_nQueueLimit || !m_bRunning || m_bStop || m_bCommandRunning;
    };
    if (mayGoOn()) {
        return;
    }
    const uint64_t qwWaits = m_qwWaits.fetch_add(1) + 1;
    if (m_waitReports.Allow(ReportLimiter::Clock::now())) {
        // Written without the lock, which the pipeline's thread needs; the
        // wait below looks at the queue afresh.
        guard.unlock();
        PIPELINE_LOG(kCSFLogWarning,
                     "hwhost: the alert queue is full (%zu alerts): engines wait for the alerts "
                     "to be written, and their input queues drop what does not fit meanwhile "
                     "(%llu waits so far)",
                     m_nQueueLimit, static_cast<unsigned long long>(qwWaits));
        guard.lock();
    }
    // The pipeline's thread is certainly awake: the queue it is woken for
    // is full.
    ++m_nWaiting;
    m_room.wait(guard, mayGoOn);
    --m_nWaiting;
}

void AlertPipeline::BeginCommand() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bCommandRunning = true;
    }
    m_room.notify_all();
}

void AlertPipeline::EndCommand() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bCommandRunning = false;
}

size_t AlertPipeline::Queued() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_queue.size();
}

size_t AlertPipeline::Waiting() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_nWaiting;
}

bool AlertPipeline::Finish(AgentEventInfo* pRecord, const char* pszName,
                           IPolicyEventInterface* pPolicyEvent, FinishedAlert& finished) {
    ICSFAlertEvent* made = pPolicyEvent != nullptr
                               ? pPolicyEvent->CreateAlertEvent(nullptr, pRecord, kPolicyLevel)
                               : nullptr;
    if (made == nullptr) {
        // Without an alert event the record is still the host's.  Known
        // only now, it is said as a load's findings are.
        m_problems.Note(std::string("the alert \"") + pszName + "\" is dropped: " +
                        (pPolicyEvent == nullptr ? "no policy event is registered under its name"
                                                 : "its policy event made no alert event of it"));
        DisposeRecord(pRecord);
        return false;
    }
    finished.m_pEvent.reset(made);
    finished.m_strName = pszName;
    if (m_pResponses != nullptr) {
        m_pResponses->Prepare(*pPolicyEvent, *made, finished.m_responses);
    }
    return true;
}

uint32_t AlertPipeline::Drain() {
    bool bWaiting = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        // The emptied batch hands its storage back to the queue.
        m_batch.swap(m_queue);
        bWaiting = m_nWaiting != 0;
    }
    // The queue has room again for the handing threads held by it.
    if (bWaiting) {
        m_room.notify_all();
    }
    uint32_t written = 0;
    for (FinishedAlert& finished : m_batch) {
        if (Render(finished)) {
            ++written;
        }
        if (m_xml.size() >= kFlushBytes) {
            Flush();
        }
    }
    Flush();
    // What a response does may take a while (a mail to write, a program to
    // start): the documents of the batch are out first.
    for (FinishedAlert& finished : m_batch) {
        for (PreparedResponse& response : finished.m_responses) {
            m_pResponses->CarryOut(response);
        }
    }
    {
        // The events (and their records) go back to the handing threads
        // to be let go.
        std::lock_guard<std::mutex> guard(m_lock);
        for (FinishedAlert& finished : m_batch) {
            if (finished.m_pEvent) {
                m_spent.push_back(std::move(finished.m_pEvent));
            }
        }
    }
    m_batch.clear();
    m_qwWritten.fetch_add(written);
    return written;
}

bool AlertPipeline::Render(FinishedAlert& finished) {
    ICSFAlertEvent& event = *finished.m_pEvent;
    CSFAlertMessage message;
    const uint32_t status = event.WriteMessage(&message);
    if (status != 0 || message.GetLength() < CSFAlertMessage::kHeaderSize) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08x", status);
        m_problems.Note("the alert \"" + finished.m_strName + "\" is dropped: it cannot be serialised",
                        code);
        m_qwDropped.fetch_add(1);
        finished.m_responses.clear();
        return false;
    }
    const uint32_t dwType = message.GetMessageType();
    if (dwType != ADFGenericEvent::kMessageType) {
        m_problems.Note("the alert \"" + finished.m_strName + "\" came as a message of type " +
                        std::to_string(dwType) + "; hwhost writes only type " +
                        std::to_string(ADFGenericEvent::kMessageType) + " and drops it");
        m_qwDropped.fetch_add(1);
        finished.m_responses.clear();
        return false;
    }
    if (!HasRoom()) {
        // The files have not taken what was kept for them for a long while:
        // the alert is counted as dropped rather than memory grown without
        // end.  A flood drops thousands a second, which is said at once and
        // then once a minute: the log may well be on the disk that is full.
        m_qwDropped.fetch_add(1);
        finished.m_responses.clear();
        const bool bAlerts = m_xml.size() >= m_nKeptLimit;
        KeptBound(bAlerts ? m_alertsOut : m_messagesOut, bAlerts ? "alert" : "host message").LeftOut();
        return false;
    }
    const size_t start = m_xml.size();
    if (RenderXml(event, m_xml) != 0) {
        m_xml.resize(start);
        PIPELINE_LOG(kCSFLogError, "hwhost: the alert \"%s\" cannot be written as XML",
                     finished.m_strName.c_str());
        m_qwDropped.fetch_add(1);
        finished.m_responses.clear();
        return false;
    }
    if (m_xml.size() > start && m_xml.back() != '\n') {
        m_xml += '\n';
    }
    m_xml += '\n';
    Made(m_alertsOut, m_xml.size() - start);
    if (m_messagesOut.m_bWanted) {
        m_messages.append(reinterpret_cast<const char*>(message.GetData()), message.GetLength());
        Made(m_messagesOut, message.GetLength());
    }
    return true;
}

void AlertPipeline::Flush() {
    if (m_bReopenAsked.exchange(false)) {
        m_alertsOut.m_bReopenWanted = true;
        m_messagesOut.m_bReopenWanted = true;
    }
    WriteOut(m_alertsOut, m_xml, "alert");
    if (m_messagesOut.m_bWanted) {
        WriteOut(m_messagesOut, m_messages, "message");
    }
}

int AlertPipeline::OutputFd(Output& output, const char* pszWhat) {
    if (output.m_bStandardOutput) {
        // Whatever else went through the stream (the console's lines) goes
        // before.
        std::fflush(stdout);
        return output.m_nStandardFd;
    }
    if (output.PieceTaken() != 0 && output.m_file.Fd() >= 0) {
        // A FIFO or device that took part of a document (or a file whose
        // piece could not be cut off) gets its rest first, whatever the path
        // names now: a document is never continued elsewhere nor broken
        // into by another.
        return output.m_file.Fd();
    }
    std::string problem;
    const bool bReopen = output.m_bReopenWanted;
    output.m_bReopenWanted = false;
    const bool bOpen = bReopen ? output.m_file.Reopen(problem) : output.m_file.Follow(problem);
    // Said where the operator looks: alerts that are not written are what
    // a sensor is for.
    if (!bOpen && problem != output.m_strProblem) {
        PIPELINE_LOG(kCSFLogError | kCSFLogConsoleFlag,
                     "hwhost: cannot open the %s file: %s; what is not written yet is kept and "
                     "written when it can be opened",
                     pszWhat, problem.c_str());
    } else if (bOpen && !output.m_strProblem.empty()) {
        PIPELINE_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "hwhost: the %s file %s is open again", pszWhat,
                     output.m_file.Path().c_str());
    }
    output.m_strProblem = bOpen ? std::string() : problem;
    return bOpen ? output.m_file.Fd() : -1;
}

void AlertPipeline::Made(Output& output, size_t bytes) {
    output.m_qwMade += bytes;
    output.m_ends.push_back(output.m_qwMade);
}

void AlertPipeline::Taken(Output& output, size_t bytes) {
    output.m_qwTaken += bytes;
    while (!output.m_ends.empty() && output.m_ends.front() <= output.m_qwTaken) {
        output.m_qwWholeEnd = output.m_ends.front();
        output.m_ends.pop_front();
    }
    output.m_lastTaken = Clock::now();
}

bool AlertPipeline::AwaitRoom(Output& output, int fd, const char* pszWhat) {
    for (;;) {
        int timeoutMs = kRoomSliceMs;
        const int64_t llStopBegan = m_llStopBegan.load();
        if (llStopBegan != 0) {
            const Clock::time_point began{Clock::duration(llStopBegan)};
            const Clock::time_point idleEnd = std::max(began, output.m_lastTaken) + m_stopWait;
            const Clock::time_point lastEnd = began + kStopWaitsAtMost * m_stopWait;
            const Clock::time_point now = Clock::now();
            if (now >= idleEnd || now >= lastEnd) {
                output.m_strGivenUp =
                    idleEnd <= lastEnd
                        ? std::string("the ") + pszWhat + " output took nothing for " +
                              SecondsText(m_stopWait)
                        : std::string("the ") + pszWhat + " output was still taking them " +
                              SecondsText(kStopWaitsAtMost * m_stopWait) +
                              " after the stop began";
                return false;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                std::min(idleEnd, lastEnd) - now);
            timeoutMs = static_cast<int>(std::min<int64_t>(timeoutMs, left.count()));
        }
        pollfd ready{fd, POLLOUT, 0};
        // Ready, or failed (the reader gone): the next write tells which.
        if (::poll(&ready, 1, timeoutMs) > 0) {
            return true;
        }
    }
}

// Writes `pending` to the output's end.  What a full disk or another write
// error keeps back stays at the front of `pending`, to go first on the next
// flush: the file holds the alerts whole and in order, and one that could
// not be written yet is late, not lost.  A document the file took only part
// of is cut off it again and kept whole, so that the file ends with a whole
// document and whichever file is written next (the same, or a new one at
// its path) begins with one.  So does what waits for a file that cannot be
// opened.  An output that takes nothing for now (a pipe whose reader is
// behind) is waited for, until a stop gives it up; nothing is written to an
// output given up.  A pipe or socket whose reader closed its end is given
// up at once, for good: what was made for it, and is made from then on, is
// let go and counted as not written, not kept.
void AlertPipeline::WriteOut(Output& output, std::string& pending, const char* pszWhat) {
    if (output.m_bClosed) {
        DiscardPending(output, pending);
        return;
    }
    if ((pending.empty() && !output.m_bReopenWanted) || !output.m_strGivenUp.empty()) {
        return;
    }
    const int fd = OutputFd(output, pszWhat);
    if (fd < 0 || pending.empty()) {
        return;
    }
    bool& bFailing = output.m_bFailing;
    size_t done = 0;
    int error = 0;
    while (done < pending.size()) {
        const char* pData = pending.data() + done;
        const size_t count = pending.size() - done;
        const ssize_t n = output.m_bSocket ? ::send(fd, pData, count, MSG_DONTWAIT | MSG_NOSIGNAL)
                                           : ::write(fd, pData, count);
        if (n > 0) {
            done += static_cast<size_t>(n);
            Taken(output, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!AwaitRoom(output, fd, pszWhat)) {
                break;
            }
        } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            // The reader closed its end: nothing will ever be taken again.
            GiveUpClosed(output, pszWhat, errno);
            break;
        } else {
            error = n == 0 ? ENOSPC : errno;
            break;
        }
    }
    if (error != 0) {
        done -= TakeBackPiece(output, fd, done, pszWhat);
    }
    pending.erase(0, done);
    if (!output.m_strGivenUp.empty() && output.m_bClosed) {
        DiscardPending(output, pending);
        return;
    }
    if (error != 0 && !bFailing) {
        bFailing = true;
        output.m_strFailure = std::strerror(error);
        PIPELINE_LOG(kCSFLogError,
                     "hwhost: cannot write the %s file (%s); %zu bytes are kept and written "
                     "when it can be written again",
                     pszWhat, output.m_strFailure.c_str(), pending.size());
    } else if (error == 0 && bFailing && output.m_strGivenUp.empty()) {
        bFailing = false;
        output.m_strFailure.clear();
        PIPELINE_LOG(kCSFLogWarning, "hwhost: the %s file is written again", pszWhat);
    }
}

size_t AlertPipeline::TakeBackPiece(Output& output, int fd, size_t done, const char* pszWhat) {
    const uint64_t piece = output.PieceTaken();
    if (piece == 0) {
        return 0;
    }
    std::string problem;
    if (piece <= done && CutWrittenPiece(fd, piece, problem)) {
        output.m_qwTaken -= piece;
        return static_cast<size_t>(piece);
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        PIPELINE_LOG(kCSFLogError,
                     "hwhost: the piece of a document the %s file took before it failed cannot "
                     "be cut off its end (%s): the rest of the document is written there first",
                     pszWhat, problem.c_str());
    }
    return 0;
}

void AlertPipeline::GiveUpClosed(Output& output, const char* pszWhat, int error) {
    output.m_bClosed = true;
    output.m_strGivenUp = std::string("the ") + pszWhat + " output is closed";
    PIPELINE_LOG(kCSFLogError | kCSFLogConsoleFlag,
                 "hwhost: the %s output is closed (%s): its reader is gone, so the %ss from now "
                 "on are counted as not written",
                 pszWhat, std::strerror(error), pszWhat);
}

void AlertPipeline::DiscardPending(Output& output, std::string& pending) {
    output.m_qwDiscarded += output.m_ends.size();
    output.m_ends.clear();
    pending.clear();
}

HostBound& AlertPipeline::KeptBound(Output& output, const char* pszWhat) {
    if (output.m_pKeptBound == nullptr) {
        const std::string input = output.m_bStandardOutput
                                      ? std::string("standard output")
                                      : std::string(pszWhat) + " file " + output.m_file.Path();
        output.m_pKeptBound = std::make_unique<HostBound>(
            &m_services, input, "at most " + BoundSizeText(m_nKeptLimit) + " kept while it cannot be written",
            "alerts");
    }
    return *output.m_pKeptBound;
}

std::vector<std::string> AlertPipeline::BoundsReached() const {
    std::vector<std::string> lines;
    for (const Output* pOutput : {&m_alertsOut, &m_messagesOut}) {
        if (pOutput->m_pKeptBound != nullptr && pOutput->m_pKeptBound->Total() != 0) {
            lines.push_back(pOutput->m_pKeptBound->Describe());
        }
    }
    return lines;
}

bool AlertPipeline::HasRoom() const {
    return m_xml.size() < m_nKeptLimit && m_messages.size() < m_nKeptLimit;
}
