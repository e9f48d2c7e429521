#include "AlertPipeline.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>

#include "Common/AgentEventInfo.h"
#include "hostwarden/ICSFAlertEvent.h"
#include "hostwarden/IPolicyEventInterface.h"
#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFAlertMessage.h"
#include "qorEventLib/CQorEvent.h"
#include "qorToolsLib/CountText.h"

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

using Clock = std::chrono::steady_clock;

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

AlertPipeline::AlertPipeline(HostServices& services)
    : m_services(services), m_say([this](uint32_t dwLevel, const std::string& text) {
          PIPELINE_LOG(dwLevel, "%s", text.c_str());
      }) {
    SetStopWait(kDefaultStopWait);
    SetCommandQueueLimit(kDefaultCommandQueueLimit);
    for (KeptOutput* pOutput : {&m_alertsOut, &m_messagesOut}) {
        pOutput->SetFindingEnded([this](const std::string& text) { m_services.EndFinding(text); });
    }
}

AlertPipeline::~AlertPipeline() {
    Stop();
}

void AlertPipeline::SetStopWait(std::chrono::milliseconds wait) {
    m_alertsOut.SetStopClock(&m_llStopBegan, wait);
    m_messagesOut.SetStopClock(&m_llStopBegan, wait);
}

void AlertPipeline::SetQueueLimit(size_t limit) {
    m_nQueueLimit = limit == 0 ? 1 : limit;
    MakeCommandBound();
}

void AlertPipeline::SetCommandQueueLimit(size_t limit) {
    m_nCommandQueueLimit = limit;
    MakeCommandBound();
}

void AlertPipeline::SetQueueBytes(size_t bytes) {
    m_nQueueBytes = bytes;
    MakeCommandBound();
}

void AlertPipeline::MakeCommandBound() {
    m_pCommandBound = std::make_unique<HostBound>(
        &m_services, "hwhost's alert queue",
        "at most " + CountText(CommandQueueLimit(), "alert", "alerts") + " or " + BoundSizeText(m_nQueueBytes) +
            " queued while a command or the stop runs, when no engine waits for room",
        "alerts");
}

size_t AlertPipeline::QueuedBytes(const AgentEventInfo& record) {
    constexpr size_t kAlertBytes = 4096;
    size_t bytes = kAlertBytes;
    for (const InfoPairList* pPairs : {&record.GetInfoPairs(), &record.GetScriptVariables()}) {
        for (const InfoPair& pair : *pPairs) {
            bytes += 2 * (pair.m_strName.size() + pair.m_strValue.size());
        }
    }
    return bytes;
}

void AlertPipeline::SetKeptLimit(size_t bytes) {
    m_alertsOut.SetKeptLimit(bytes);
    m_messagesOut.SetKeptLimit(bytes);
}

bool AlertPipeline::Open(const std::string& alertsPath, const std::string& messagesPath,
                         std::string& error) {
    // A name another account took in a shared folder is taken back: the
    // operator learns that someone tried.
    const auto sayTakenBack = [this](const std::string& text) {
        PIPELINE_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", text.c_str());
    };
    m_alertsOut.File().SetTakeBackReport(sayTakenBack);
    m_messagesOut.File().SetTakeBackReport(sayTakenBack);
    m_alertsOut.File().SetNonBlocking(true);
    m_messagesOut.File().SetNonBlocking(true);
    const Clock::time_point now = ReportLimiter::Now();
    std::string problem;
    if (alertsPath.empty()) {
        m_alertsOut.OpenStandardOutput();
    } else if (!m_alertsOut.OpenFile(alertsPath, problem, now)) {
        error = "cannot open the alert file: " + problem;
        return false;
    }
    if (!messagesPath.empty() && !m_messagesOut.OpenFile(messagesPath, problem, now)) {
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
        // What the queue's limit kept the host's memory to in this run.
        PIPELINE_LOG(kCSFLogInfo,
                     "hwhost: the alert queue held at most %s while it held the engines (bound %zu), at most "
                     "%zu while a command or the stop ran (bound %zu)",
                     CountText(MostQueued(), "alert", "alerts").c_str(), m_nQueueLimit, MostQueuedInCommands(),
                     CommandQueueLimit());
    }
    {
        // The last events written go now, while the plug-in that made them
        // is certainly loaded.
        std::lock_guard<std::mutex> guard(m_lock);
        m_spent.clear();
    }
    const uint64_t qwNotWritten = CountNotWritten(m_alertsOut);
    CountNotWritten(m_messagesOut);
    m_qwNotWritten.fetch_add(qwNotWritten);
    m_qwWritten.fetch_sub(qwNotWritten);
}

uint64_t AlertPipeline::CountNotWritten(KeptOutput& output) {
    std::string line;
    const uint64_t count = output.CountNotWritten(line);
    if (count != 0) {
        m_notWrittenReports.push_back(line);
    }
    return count;
}

void AlertPipeline::Run() {
    for (;;) {
        bool bStop = false;
        {
            std::unique_lock<std::mutex> guard(m_lock);
            const auto woken = [this] { return m_bStop || !m_queue.empty(); };
            if (m_alertsOut.NextTry() == Clock::time_point::max() &&
                m_messagesOut.NextTry() == Clock::time_point::max()) {
                m_wake.wait(guard, woken);
            } else {
                // What an output could not take is tried again when it is
                // due, also when no new alert comes.
                m_wake.wait_for(guard, RetryWait(), woken);
            }
            // The first alert starts a batch: more that come meanwhile go
            // with it, so a steady stream costs a wake-up a batch rather
            // than one an alert.
            m_wake.wait_for(guard, kGatherTime,
                            [this] { return m_bStop || m_queue.size() >= GatherCount(); });
            bStop = m_bStop;
            // This drain is the last: what comes after it is never written.
            m_bEnded = bStop;
        }
        // A stop comes after the sensor's: this drain writes the last of it,
        // and gives an output that failed its last try.
        Drain(bStop);
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
        // Weighed while the record is certainly the host's.
        finished.m_nBytes = QueuedBytes(*pRecord);
        if (!Finish(pRecord, pszName, pPolicyEvent.get(), finished)) {
            m_qwDropped.fetch_add(1);
            return;
        }
        size_t queued = 0;
        bool bQueued = false;
        bool bEnded = false;
        std::vector<AlertEventPtr> spent;
        {
            std::unique_lock<std::mutex> guard(m_lock);
            WaitForRoom(guard);
            bEnded = m_bEnded;
            // Past its limit only while it holds nobody, and never past
            // the bound of that time.
            if (!bEnded && (LimitHolds() || HasRoomUnheld(finished.m_nBytes))) {
                m_nQueuedBytes += finished.m_nBytes;
                m_queue.push_back(std::move(finished));
                bQueued = true;
                queued = m_queue.size();
                size_t& most = LimitHolds() ? m_nMostQueued : m_nMostQueuedInCommands;
                most = std::max(most, queued);
            }
            spent.swap(m_spent);
        }
        // Events the pipeline is done with go on a thread that makes them:
        // memory is given back where it is taken, without the allocator's
        // lock between the threads.
        spent.clear();
        if (bEnded) {
            // An engine the stop could not end still finds alerts.
            finished = FinishedAlert();
            m_problems.Note(std::string("the alert \"") + pszName +
                            "\" is dropped: it came after the stop had written the last alerts");
            m_qwDropped.fetch_add(1);
            return;
        }
        if (!bQueued) {
            // Nobody waits for room while a command runs: the alert goes
            // (with its record) here and now, counted.  The bound is listed
            // before the drop is counted, as an output's is.
            finished = FinishedAlert();
            m_pCommandBound->LeftOut();
            m_qwDropped.fetch_add(1);
            return;
        }
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

size_t AlertPipeline::CommandQueueLimit() const {
    return std::max(m_nCommandQueueLimit, m_nQueueLimit);
}

bool AlertPipeline::HasRoomUnheld(size_t bytes) const {
    return m_queue.empty() ||
           (m_queue.size() < CommandQueueLimit() && m_nQueuedBytes + bytes <= m_nQueueBytes);
}

size_t AlertPipeline::GatherCount() const {
    // A queue that cannot hold a whole batch ends the gathering when full.
    return std::min(kGatherCount, m_nQueueLimit);
}

void AlertPipeline::WaitForRoom(std::unique_lock<std::mutex>& guard) {
    const auto mayGoOn = [this] {
        return (m_queue.size() < m_nQueueLimit && m_nQueuedBytes < m_nQueueBytes) || !LimitHolds();
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
                     "hwhost: the alert queue is full (%s or %s): engines wait for the alerts "
                     "to be written, and their input queues drop what does not fit meanwhile "
                     "(%s so far)",
                     CountText(m_nQueueLimit, "alert", "alerts").c_str(), BoundSizeText(m_nQueueBytes).c_str(),
                     CountText(qwWaits, "wait", "waits").c_str());
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

size_t AlertPipeline::MostQueued() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_nMostQueued;
}

size_t AlertPipeline::MostQueuedInCommands() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_nMostQueuedInCommands;
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

std::chrono::milliseconds AlertPipeline::RetryWait() const {
    const Clock::time_point due = std::min(m_alertsOut.NextTry(), m_messagesOut.NextTry());
    const Clock::time_point now = ReportLimiter::Now();
    // Never longer than a retry: the time a test moves by hand is not the
    // one the wait goes by.
    if (due <= now) {
        return std::chrono::milliseconds(0);
    }
    return std::min<std::chrono::milliseconds>(
        KeptOutput::kRetryInterval, std::chrono::ceil<std::chrono::milliseconds>(due - now));
}

uint32_t AlertPipeline::Drain(bool bLastTry) {
    bool bWaiting = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        // The emptied batch hands its storage back to the queue.
        m_batch.swap(m_queue);
        m_nQueuedBytes = 0;
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
        if (m_alertsOut.BytesKept() >= kFlushBytes) {
            Flush();
        }
    }
    Flush(bLastTry);
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
    if (!m_alertsOut.HasRoom() || (m_messagesOut.IsWanted() && !m_messagesOut.HasRoom())) {
        // The files have not taken what was kept for them for a long while:
        // the alert is counted as dropped rather than memory grown without
        // end.  A flood drops thousands a second, which is said at once and
        // then once a minute: the log may well be on the disk that is full.
        // The bound is listed before the drop is counted, so that whoever
        // sees the count also finds the bound that made it.
        finished.m_responses.clear();
        (m_alertsOut.HasRoom() ? m_messagesOut : m_alertsOut).LeftOut();
        m_qwDropped.fetch_add(1);
        return false;
    }
    std::string& xml = m_alertsOut.Pending();
    const size_t start = xml.size();
    if (RenderXml(event, xml) != 0) {
        xml.resize(start);
        PIPELINE_LOG(kCSFLogError, "hwhost: the alert \"%s\" cannot be written as XML",
                     finished.m_strName.c_str());
        m_qwDropped.fetch_add(1);
        finished.m_responses.clear();
        return false;
    }
    if (xml.size() > start && xml.back() != '\n') {
        xml += '\n';
    }
    xml += '\n';
    m_alertsOut.Made(xml.size() - start);
    if (m_messagesOut.IsWanted()) {
        m_messagesOut.Pending().append(reinterpret_cast<const char*>(message.GetData()),
                                       message.GetLength());
        m_messagesOut.Made(message.GetLength());
    }
    return true;
}

void AlertPipeline::Flush(bool bLastTry) {
    if (m_bReopenAsked.exchange(false)) {
        m_alertsOut.AskReopen();
        m_messagesOut.AskReopen();
    }
    const Clock::time_point now = ReportLimiter::Now();
    m_alertsOut.Write(now, bLastTry);
    m_messagesOut.Write(now, bLastTry);
}

std::vector<std::string> AlertPipeline::BoundsReached() const {
    std::vector<std::string> lines;
    if (m_pCommandBound->Total() != 0) {
        lines.push_back(m_pCommandBound->Describe());
    }
    for (const KeptOutput* pOutput : {&m_alertsOut, &m_messagesOut}) {
        std::string line = pOutput->BoundReached();
        if (!line.empty()) {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

#undef PIPELINE_LOG
