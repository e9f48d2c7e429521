#include "TclHandler/tclHandler.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "Common/AgentEventInfo.h"
#include "Common/EngineBase.h"
#include "Common/InputBounds.h"
#include "Common/ISensorCore.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "Common/RuleScript.h"
#include "Common/ScriptOutcomes.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Wait.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/SharedMemoryStore.h"
#include "qorToolsLib/jsFastLock.h"
#include "qorToolsLib/CountText.h"

namespace {

constexpr int64_t kRegisterSettleSeconds = 5;
constexpr int64_t kReloadSettleSeconds = 7;
constexpr uint32_t kSettleStepMs = 900;
constexpr uint32_t kStartPauseStepMs = 20;
constexpr uint32_t kCatchUpLookMs = 50;
// What a summary waits for the end of a catch-up beyond its own bound: the
// handler thread may be slow to look on a loaded machine.
constexpr uint32_t kCatchUpSlackMs = 3000;
constexpr int64_t kReportIntervalSeconds = 60;
constexpr int64_t kProcessEndGraceSeconds = 2;
constexpr uint32_t kProcessEndWaitMs = 1000;

qorFastSync g_instanceLock;
tclHandler* g_pInstance = nullptr;

int64_t WallClock() { return plat::ReadClock().m_iSeconds; }

// What became of alerts the scripts did not answer, each count with its
// own verb: "1 goes on unvalidated, 2 are dropped (their rule ...)".
std::string UnansweredText(uint64_t qwUnvalidated, uint64_t qwDropped) {
    return std::to_string(qwUnvalidated) + (qwUnvalidated == 1 ? " goes" : " go") + " on unvalidated, " +
           std::to_string(qwDropped) + (qwDropped == 1 ? " is dropped (its" : " are dropped (their") +
           " rule requires its script)";
}

}  // namespace

tclHandler::tclHandler(const char* pszStoreName)
    : qorThread("tclHandler", 2),
      m_Clock(WallClock),
      m_strStoreName(pszStoreName != nullptr ? pszStoreName : kStoreName) {}

tclHandler::~tclHandler() {
    ShutDown();
    // The reply thread uses the queues and the connection, which go first.
    StopProcess();
    m_ReplyHandler.WaitForExit(plat::kInfinite);
    // A run queued as the thread ended is finished like the others.
    FinishQueued();
    m_Pending.clear();
}

tclHandler& tclHandler::GetInstance() {
    qorFastLock guard(g_instanceLock, true);
    if (g_pInstance == nullptr) {
        g_pInstance = new tclHandler();
    }
    return *g_pInstance;
}

void tclHandler::DeleteInstance() {
    qorFastLock guard(g_instanceLock, true);
    delete g_pInstance;
    g_pInstance = nullptr;
}

uint32_t tclHandler::SetRequestQueueSize(uint32_t dwSize) {
    m_dwRequestQueueSize = dwSize <= kDefaultQueueSize ? kDefaultQueueSize : dwSize;
    return m_dwRequestQueueSize;
}

// ---- Engines and their rule containers -------------------------------------

uint32_t tclHandler::RegisterEngine(CEngineBase* pEngine, uint32_t dwFlag) {
    qorFastLock guard(m_EngineLock, true);
    CSF_TRACE(9, "Registered Engine : %s", pEngine != nullptr ? pEngine->GetName() : "");
    if (dwFlag != 0) {
        m_Engines.try_emplace(pEngine);
        m_tSettle = Now() + kRegisterSettleSeconds;
    } else {
        m_Engines.erase(pEngine);
    }
    return 1;
}

uint32_t tclHandler::ReloadRuleContainer(CEngineBase* pEngine,
                                         std::unique_ptr<RuleContainer> pContainer) {
    qorFastLock guard(m_EngineLock, true);
    CSF_TRACE(9, "Reloaded RuleContainer for Engine : %s",
              pEngine != nullptr ? pEngine->GetName() : "");
    auto found = m_Engines.find(pEngine);
    if (found == m_Engines.end()) {
        return 0;
    }
    found->second.m_nState = 1;
    found->second.m_pCopy = std::move(pContainer);
    m_tSettle = Now() + kReloadSettleSeconds;
    return 1;
}

void tclHandler::SetResponseScripts(const std::vector<std::pair<std::string, std::string>>& scripts) {
    {
        qorFastLock guard(m_EngineLock, true);
        m_ResponseScripts.clear();
        for (const auto& [name, text] : scripts) {
            m_ResponseScripts[name] = text;
        }
    }
    InitScripts();
}

void tclHandler::ResetEngineEntries() {
    qorFastLock guard(m_EngineLock, true);
    for (auto& [pEngine, entry] : m_Engines) {
        entry.m_nState = 0;
        entry.m_pCopy.reset();
    }
}

// ---- Queueing --------------------------------------------------------------

uint32_t tclHandler::QueueScript(RuleScript* pScript, const char* pszPart,
                                 const std::string& strText) {
    return pScript != nullptr
               ? QueueScript(pScript->GetRuleName(), pszPart, strText, pScript->GetOwningRule())
               : 0;
}

uint32_t tclHandler::QueueRun(RuleScript* pScript, const char* pszPart, AgentEventInfo* pRecord) {
    return pScript != nullptr ? QueueRun(pScript->GetRuleName(), pszPart, pRecord) : 0;
}

int32_t tclHandler::AcceptedScriptType(const char* pszType) {
    if (!IsEnabled()) {
        CSF_TRACE(9, "RULEWEAVE is disabled");
        return qorTclCommand::kWrongScriptType;
    }
    int32_t nType = qorTclCommand::ParseScriptType(pszType != nullptr ? pszType : "");
    if (nType == qorTclCommand::kWrongScriptType) {
        CSF_LOG(1, "Unknown script type: %s", pszType != nullptr ? pszType : "");
    }
    return nType;
}

uint32_t tclHandler::QueueScript(const std::string& strName, const char* pszType,
                                 const std::string& strText, Rule* pRule) {
    const int32_t nType = AcceptedScriptType(pszType);
    if (nType == qorTclCommand::kWrongScriptType) {
        return 0;
    }
    std::unique_ptr<tclRequest> pRequest(new (std::nothrow) tclRequest);
    if (!pRequest) {
        return 0;
    }
    pRequest->m_strName = strName;
    pRequest->m_nCommandType = qorTclCommand::kScript;
    pRequest->m_nScriptType = nType;
    pRequest->m_strText = strText;
    pRequest->m_nAction = tclRequest::kSend;
    pRequest->m_pRule = pRule;
    if (!m_Queues.Push(tclQueueSet::kScripts, pRequest.get())) {
        return 0;
    }
    pRequest.release();
    return 1;
}

uint32_t tclHandler::QueueRun(const std::string& strName, const char* pszType,
                              AgentEventInfo* pRecord) {
    // While the process answers what waits for it before it ends, an alert
    // one of those answers raises (a correlation rule with a script) is
    // answered with them: it is raised on the handler's own thread, which
    // sends Exit only once nothing waits.
    const bool bAnswering =
        m_bAnswering != 0 && std::this_thread::get_id() == m_HandlerThread;
    if (!bAnswering && (StopRequested() != 0 || m_bRunning == 0)) {
        // No process takes the run: a reload or the stop has shut it
        // down, or scripting is off.  The caller keeps the alert and it
        // goes on unvalidated or is dropped, which the bound counts, so
        // that no such alert is dropped without a line.
        if (pRecord != nullptr && pRecord->GetRule() != nullptr && pszType != nullptr &&
            qorTclCommand::ParseScriptType(pszType) == qorTclCommand::kValidation && IsEnabled()) {
            CountAtBound(strName, pRecord->GetRule(), Bound::kNoProcess);
        }
        return 0;
    }
    const int32_t nType = AcceptedScriptType(pszType);
    if (nType == qorTclCommand::kWrongScriptType) {
        return 0;
    }
    const bool bWithRecord = nType == qorTclCommand::kValidation || nType == qorTclCommand::kResponse;
    if (bWithRecord && (pRecord == nullptr ||
                        (nType == qorTclCommand::kValidation && pRecord->GetRule() == nullptr))) {
        return 0;
    }
    std::unique_ptr<tclRequest> pRequest(new (std::nothrow) tclRequest);
    bool bQueued = false;
    if (pRequest) {
        pRequest->m_strName = strName;
        pRequest->m_nCommandType = qorTclCommand::kRun;
        pRequest->m_nScriptType = nType;
        pRequest->m_nAction = tclRequest::kSend;
        if (bWithRecord) {
            pRequest->m_pRule = pRecord->GetRule();
            pRequest->m_pRecord.reset(nType == qorTclCommand::kResponse ? pRecord->Clone() : pRecord);
        }
        const int nQueue = bWithRecord ? tclQueueSet::kRuns : tclQueueSet::kScripts;
        bQueued = (nType != qorTclCommand::kResponse || pRequest->m_pRecord) &&
                  m_Queues.Push(nQueue, pRequest.get());
        if (bQueued) {
            pRequest.release();
        } else if (nType == qorTclCommand::kValidation) {
            // The caller keeps a record that was not queued, and reports or
            // drops it by its rule as a full table of waiting runs would.
            // Whether a process is being started is decided as the run is
            // noted, under the catch-up's lock: a run left out just as the
            // catch-up ends is said by that catch-up's line or by the bound
            // of the queue's usual size, never by neither.
            const bool bStarting = NoteLeftOutWhileStarting(*pRequest);
            ReportFullTable(*pRequest, bStarting ? Bound::kStartQueue : Bound::kQueue);
            (void)pRequest->m_pRecord.release();
        }
    }
    CountQueued(bQueued);
    return bQueued ? 1 : 0;
}

void tclHandler::CountQueued(bool bQueued) {
    qorFastLock guard(m_StatisticsLock, true);
    ++(bQueued ? m_nQueueSuccesses : m_nQueueFailures);
    const int64_t tNow = Now();
    if (tNow - m_tLastReport < kReportIntervalSeconds) {
        return;
    }
    if (m_nQueueFailures > 0) {
        CSF_LOG(3, "TclHandler: %d Failure and %d Success to Q requests in last minute",
                m_nQueueFailures, m_nQueueSuccesses);
    } else {
        CSF_TRACE(9, "TclHandler: %d Failure and %d Success to Q requests in last minute",
                  m_nQueueFailures, m_nQueueSuccesses);
    }
    m_nQueueFailures = 0;
    m_nQueueSuccesses = 0;
    m_tLastReport = tNow;
}

void tclHandler::QueueHold(int32_t nSeconds) {
    std::unique_ptr<tclRequest> pHold(new (std::nothrow) tclRequest);
    if (!pHold) {
        return;
    }
    pHold->m_nAction = tclRequest::kHold;
    pHold->m_nHoldSeconds = nSeconds;
    if (m_Queues.Push(tclQueueSet::kScripts, pHold.get())) {
        pHold.release();
    }
}

// ---- Life cycle -------------------------------------------------------------

void tclHandler::ReadTuning() {
    ISensorCore* pSensor = GetSensorCore();
    IPolicyContainer* pPolicy = pSensor != nullptr ? pSensor->GetCurrentPolicy() : nullptr;
    auto read = [pPolicy](const char* pszName, int32_t nDefault) {
        return pPolicy != nullptr ? pPolicy->GetLong("\\config\\tuning\\", pszName, &nDefault)
                                  : nDefault;
    };
    // A size of 0 or less would refuse every run: it keeps the default.
    int32_t nQueueSize = read("TclCmdQSize", static_cast<int32_t>(kDefaultQueueSize));
    m_dwRequestQueueSize = nQueueSize > 0 ? static_cast<uint32_t>(nQueueSize) : kDefaultQueueSize;
    m_nMinWorkers = read("TclMinWorkers", 2);
    m_nMaxWorkers = read("TclMaxWorkers", 16);
    m_nCmdQThreshold = read("TclCmdQThreshold", 5);
    m_nCmdWaitTimeout = read("TclCmdWaitTimeout", 2);
}

bool tclHandler::OpenStore() {
    if (m_pStore) {
        return true;
    }
    // No thread of the handler runs while it has no store, so none uses
    // the one that failed; and nothing keeps hold of what that one did
    // open (its lock, say) until the next try.
    auto pStore = std::make_unique<SharedMemoryStore>(m_strStoreName.c_str());
    if (!pStore->Open(true, kStoreSize)) {
        m_strStoreProblem = pStore->Problem();
        return false;
    }
    m_strStoreProblem.clear();
    m_pStore = std::move(pStore);
    return true;
}

bool tclHandler::Init(const char* pszDirectory) {
    // Only an Init that starts the thread sends scripts for a summary.
    const bool bSummary = m_bSummaryExpected.exchange(0) != 0;
    {
        qorFastLock guard(m_EngineLock, true);
        m_strDirectory = pszDirectory != nullptr ? pszDirectory : "";
        m_strOffReason.clear();
    }
    if (!IsEnabled()) {
        {
            // Off by the policy's choice: nothing comes back that was off.
            qorFastLock guard(m_EngineLock, true);
            m_bStoreWasShut = false;
        }
        CSF_LOG(3, "RULEWEAVE is disabled globally.");
        return false;
    }
    ReadTuning();
    {
        qorFastLock boundsGuard(m_FullTableLock, true);
        m_RuleBounds.clear();
    }
    qorFastLock guard(m_EngineLock, true);
    if (!OpenStore()) {
        m_strOffReason = std::string("the shared store ") + m_strStoreName +
                         " could not be opened: " + m_strStoreProblem;
        m_bStoreWasShut = true;
        CSF_LOG(1, "RULEWEAVE will be disabled due to initialization problem.");
        return false;
    }
    if (m_bRunning != 0) {
        CSF_LOG(12, "Started TclHandler thread...");
        return true;
    }
    if (IsRunning()) {
        // A thread that ended by itself may still be clearing up, which
        // takes the engine lock.
        guard.Unlock();
        WaitForExit(plat::kInfinite);
        guard.Lock();
        if (m_bRunning != 0) {
            return true;
        }
    }
    m_pStore->Clear();
    Reset();
    m_tSettle = 0;
    m_Queues.SetCapacity(m_dwRequestQueueSize);
    BeginCatchUp();
    m_ScriptReport.BeginLoad(bSummary);
    if (!HasScriptsLocked()) {
        // Nothing for the process to refuse: no summary waits for it.
        m_ScriptReport.Publish();
    }
    m_bRunning = 1;
    if (!Start()) {
        m_strOffReason = "the script handler's thread could not be started";
        CSF_LOG(1, "Failed to start the TclHandler Thread");
        m_bRunning = 0;
        m_ScriptReport.Publish();
        EndCatchUp();
        return false;
    }
    CSF_LOG(12, "Started TclHandler thread...");
    // The thread tries to start the program all the same, and gives up
    // after its restarts; the summary says now what that will come to.
    const std::string strProgram = ProgramPath();
    if (!plat::PathExists(strProgram.c_str())) {
        m_strOffReason = std::string("there is no script program: neither ") + kProgramName +
                         " in the sensor directory nor " + strProgram;
    }
    return true;
}

std::string tclHandler::DescribeScripting(bool bStatusOnly) {
    if (!IsEnabled()) {
        return "off, as the policy has it (ScriptEnabled)";
    }
    qorFastLock guard(m_EngineLock, true);
    std::string strNote;
    if (m_strOffReason.empty()) {
        // The process's answers come on the handler thread, which takes
        // the engine lock.
        guard.Unlock();
        if (bStatusOnly) {
            strNote = m_ScriptReport.Peek();
        } else {
            bool bTaken = false;
            strNote = m_ScriptReport.Describe(std::chrono::milliseconds(kDescribeWaitMs), &bTaken);
            // The alerts that came while the process started are sent to it
            // within kCatchUpSeconds of its taking the scripts: whatever of
            // them this load left out is said before its summary.
            if (bTaken) {
                WaitCaughtUp(static_cast<uint32_t>(kCatchUpSeconds) * 1000 + kCatchUpSlackMs);
            }
        }
        guard.Lock();
    }
    if (m_strOffReason.empty()) {
        return strNote.empty() ? std::string("on") : "on; " + strNote;
    }
    return OffText();
}

std::string tclHandler::OffText() const {
    return std::string(kScriptsOff) + ": " + m_strOffReason +
           "; the alerts of rules with a script go on unvalidated, or are dropped when their "
           "rule requires it";
}

bool tclHandler::HasScriptsLocked() {
    if (!m_ResponseScripts.empty()) {
        return true;
    }
    for (const auto& [pEngine, entry] : m_Engines) {
        if (entry.m_nState != 1 || !entry.m_pCopy) {
            continue;
        }
        for (Rule* pRule : *entry.m_pCopy) {
            const RuleScript* pScript = pRule != nullptr ? pRule->GetScript() : nullptr;
            if (pScript != nullptr &&
                (!pScript->GetProcedure().empty() || !pScript->GetInitial().empty() ||
                 !pScript->GetValidation().empty())) {
                return true;
            }
        }
    }
    return false;
}

bool tclHandler::EveryEngineHandedOver() {
    qorFastLock guard(m_EngineLock, true);
    if (m_Engines.empty()) {
        return false;
    }
    for (const auto& [pEngine, entry] : m_Engines) {
        if (entry.m_nState == 0) {
            return false;
        }
    }
    return true;
}

void tclHandler::ShutDown() {
    m_bRunning = 0;
    // An idle main loop waits on the queues' event, which the thread's own
    // stop does not set: woken here, it sends Exit at once instead of at
    // the end of its wait.
    m_Queues.m_Wake.Set();
    uint32_t dwStopped = 1;
    if (IsRunning()) {
        CSF_TRACE(3, "About to stop tclHandler");
        dwStopped = Stop(2000, false);
        if (dwStopped == 1) {
            CSF_TRACE(3, "tclhandler stoped within two seconds");
        } else {
            CSF_TRACE(3, "tclHandler did not stop in two seconds");
        }
    } else {
        CSF_TRACE(3, "In ShutDown, Tcl is not running");
    }
    WaitForExit(plat::kInfinite);
    CSF_TRACE(3, "tclHandler joined, b=%d", static_cast<int>(dwStopped));
}

uint32_t tclHandler::_doWork() {
    m_HandlerThread = std::this_thread::get_id();
    if (!IsEnabled()) {
        CSF_LOG(3, "RULEWEAVE is disabled");
        return 0;
    }
    m_bScriptsInitialised = 0;
    int32_t nAttempts = 0;
    int64_t tWindowStart = Now();
    // Set when the restarts are used up (not at a stop or reload), with
    // whether the last attempt started a process.
    bool bGivenUp = false;
    bool bStarted = false;
    PauseForEngines();
    do {
        bStarted = false;
        while (m_bRunning != 0 && nAttempts < m_nRestartLimit) {
            ++nAttempts;
            if (StartProcess(nAttempts)) {
                bStarted = true;
                break;
            }
            if (m_bRunning != 0) {
                CSF_LOG(1, "Failed to start TclProc, attempt #%d", nAttempts);
            }
        }
        if (m_bRunning != 0 && !bStarted) {
            CSF_LOG(1, "Maximum restart limit (%d) reached. Stoped RULEWEAVE Script processing",
                    static_cast<int>(m_nRestartLimit));
            m_bRunning = 0;
            bGivenUp = true;
            // The runs queued meanwhile go on unvalidated or are dropped
            // now, not at the next start.
            FinishQueued();
            break;
        }
        if (m_bRunning != 0) {
            NoteBackAfterGivingUp();
            InitScripts();
            MainLoop();
            // However the loop ended, nothing is answered any more.
            m_bAnswering = 0;
        }
        StopProcess();
        if (Now() - tWindowStart > kRestartWindowSeconds) {
            tWindowStart = Now();
            nAttempts = 0;
        }
        if (nAttempts >= m_nRestartLimit && m_bRunning != 0) {
            // No process will take requests again until the next Init: the
            // engines must hear so from QueueRun and decide for their
            // records themselves, rather than queue them to no reader.
            m_bRunning = 0;
            bGivenUp = true;
        }
        ClearAfterStop();
        if (m_bRunning != 0) {
            // The alerts raised until the next process has its scripts
            // wait for it, as at a reload.
            BeginCatchUp();
        }
    } while (m_bRunning != 0 && nAttempts < m_nRestartLimit);
    EndCatchUp();
    if (bGivenUp) {
        GiveUp(nAttempts, bStarted);
    }
    // A summary that waits for the scripts' answers waits no longer.
    m_ScriptReport.Publish();
    ResetEngineEntries();
    CSF_LOG(1, "TclHandler exiting...");
    return 0;
}

void tclHandler::GiveUp(int32_t nAttempts, bool bLastStarted) {
    qorFastLock guard(m_EngineLock, true);
    if (m_strOffReason.empty()) {
        const std::string strWindow =
            " within " + std::to_string(kRestartWindowSeconds) + " s";
        m_strOffReason =
            bLastStarted ? "the script process ended " + CountText(nAttempts, "time", "times") +
                               strWindow + " (the last time: " +
                               (m_strLastEnd.empty() ? "its connection closed" : m_strLastEnd) +
                               "); it is started again at the next reload"
                         : "the script process could not be started: " +
                               CountText(nAttempts, "attempt", "attempts") + strWindow +
                               "; it is tried again at the next reload";
    }
    const std::string strLine = std::string(kScriptsLine) + OffText();
    m_strGivenUp = strLine;
    guard.Unlock();
    // Learnt long after the load: said at once, and the host asked to
    // show it where it keeps the description of what runs.
    CSF_LOG(kCSFLogError | kCSFLogConsoleFlag, "%s", strLine.c_str());
    CSFNoticeDescriptionChanged("rule scripts given up");
}

void tclHandler::NoteBackAfterGivingUp() {
    std::string strGivenUp;
    bool bStoreWasShut = false;
    {
        qorFastLock guard(m_EngineLock, true);
        strGivenUp.swap(m_strGivenUp);
        bStoreWasShut = std::exchange(m_bStoreWasShut, false);
    }
    if (strGivenUp.empty() && !bStoreWasShut) {
        return;
    }
    // What was said when they were given up holds no longer.  That the
    // store could not be opened the sensor said of the load, which the
    // host's look at the description now takes back.
    if (bStoreWasShut) {
        CSF_LOG(kCSFLogNotice | kCSFLogConsoleFlag,
                "Rule scripts: on again: the shared store %s was opened and the script process started",
                m_strStoreName.c_str());
    } else {
        CSF_LOG(kCSFLogNotice | kCSFLogConsoleFlag,
                "Rule scripts: on again: the script process was started again after it was given up");
    }
    if (!strGivenUp.empty()) {
        CSFNoticeFindingEnded(strGivenUp.c_str());
    }
    CSFNoticeDescriptionChanged("rule scripts back");
}

void tclHandler::WaitSettled() {
    // The sensor registers its engines and hands over their rules before
    // it starts the handler: once all have, there is nothing to wait for.
    while (m_bRunning != 0 && StopRequested() == 0 && Now() < m_tSettle &&
           !EveryEngineHandedOver()) {
        Sleep(kSettleStepMs);
    }
}

void tclHandler::PauseForEngines() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartPauseMs);
    while (m_bRunning != 0 && !EveryEngineHandedOver() && std::chrono::steady_clock::now() < end) {
        if (Sleep(kStartPauseStepMs)) {
            return;
        }
    }
}

uint32_t tclHandler::StartQueueSize() const {
    return std::max<uint32_t>(kStartQueueSize, m_dwRequestQueueSize);
}

void tclHandler::NoteEnginesResumed() {
    m_nEnginesResumedNs = std::chrono::steady_clock::now().time_since_epoch().count();
}

void tclHandler::BeginCatchUp() {
    std::lock_guard<std::mutex> guard(m_CatchUpLock);
    if (m_bCatchingUp == 0) {
        m_LeftOutWhileStarting = Unanswered();
        m_nCatchUpBeganNs = std::chrono::steady_clock::now().time_since_epoch().count();
    }
    m_bCatchingUp = 1;
    m_Queues.Queue(tclQueueSet::kRuns).SetCapacity(StartQueueSize());
    if (!m_ReloadCatchUp.Pending()) {
        m_ReloadCatchUp.Begin("script runs waiting for the script process");
    }
}

bool tclHandler::NoteLeftOutWhileStarting(const tclRequest& request) {
    std::lock_guard<std::mutex> guard(m_CatchUpLock);
    if (m_bCatchingUp == 0) {
        return false;
    }
    m_LeftOutWhileStarting.Note(request, request.m_pRule != nullptr && !request.m_pRule->GetNeedTcl());
    return true;
}

void tclHandler::EndCatchUp() {
    Unanswered leftOut;
    {
        std::lock_guard<std::mutex> guard(m_CatchUpLock);
        if (m_bCatchingUp == 0) {
            return;
        }
        m_bCatchingUp = 0;
        m_bSayingCatchUp = true;
        // What is queued beyond it still goes out; no more is taken until
        // the queue is back within it.
        m_Queues.Queue(tclQueueSet::kRuns).SetCapacity(m_dwRequestQueueSize);
        leftOut = m_LeftOutWhileStarting;
        m_LeftOutWhileStarting = Unanswered();
    }
    const uint64_t qwLeftOut = leftOut.m_qwUnvalidated + leftOut.m_qwDropped;
    if (qwLeftOut > 0) {
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag,
                "Rule scripts: %s while the script process was started and found the %u runs queued for it "
                "full: %s",
                CountText(qwLeftOut, "alert came", "alerts came").c_str(), StartQueueSize(),
                UnansweredText(leftOut.m_qwUnvalidated, leftOut.m_qwDropped).c_str());
    }
    // Those waiting for the end go on once it is said: it is their load's.
    {
        std::lock_guard<std::mutex> guard(m_CatchUpLock);
        m_bSayingCatchUp = false;
    }
    m_CaughtUp.notify_all();
    m_ReloadCatchUp.End();
}

bool tclHandler::CaughtUp(std::chrono::steady_clock::time_point scriptsTaken) {
    using Clock = std::chrono::steady_clock;
    // The engines' resume counts when it came after the catch-up began: a
    // start without a pause of the engines (a process started again) has
    // no burst to wait for.
    Clock::time_point since = scriptsTaken;
    const int64_t qwResumed = m_nEnginesResumedNs;
    if (qwResumed >= m_nCatchUpBeganNs) {
        since = std::max(since, Clock::time_point(Clock::duration(qwResumed)));
    }
    const Clock::time_point now = Clock::now();
    if (now >= since + std::chrono::seconds(kCatchUpSeconds)) {
        return true;
    }
    return now >= since + std::chrono::milliseconds(kCatchUpQuietMs) &&
           m_Queues.Queue(tclQueueSet::kRuns).Size() == 0;
}

bool tclHandler::WaitCaughtUp(uint32_t dwWaitMs) {
    std::unique_lock<std::mutex> lock(m_CatchUpLock);
    return m_CaughtUp.wait_for(lock, std::chrono::milliseconds(dwWaitMs),
                               [this] { return m_bCatchingUp == 0 && !m_bSayingCatchUp; });
}

void tclHandler::QueueRuleScripts(RuleContainer& container) {
    for (Rule* pRule : container) {
        RuleScript* pScript = pRule != nullptr ? pRule->GetScript() : nullptr;
        if (pScript == nullptr) {
            continue;
        }
        const std::string& strName = pScript->GetRuleName();
        const std::pair<const char*, const std::string*> parts[] = {
            {RuleScript::kProcedure, &pScript->GetProcedure()},
            {RuleScript::kInitial, &pScript->GetInitial()},
            {RuleScript::kValidation, &pScript->GetValidation()}};
        for (const auto& [pszPart, pText] : parts) {
            if (!pText->empty()) {
                QueueScript(strName, pszPart, *pText, pRule);
            }
        }
        if (!pScript->GetProcedure().empty()) {
            QueueRun(strName, RuleScript::kProcedure, nullptr);
        }
        if (pRule->IsEnabled() && !pScript->GetInitial().empty()) {
            QueueRun(strName, RuleScript::kInitial, nullptr);
        }
    }
}

void tclHandler::InitScripts() {
    CSF_LOG(12, "Initializing Tcl scripts...");
    qorFastLock guard(m_EngineLock, true);
    for (;;) {
        if (m_bRunning == 0 || StopRequested() != 0) {
            return;
        }
        m_tSettle = Now() + kRegisterSettleSeconds;
        guard.Unlock();
        WaitSettled();
        guard.Lock();
        if (!m_Engines.empty()) {
            break;
        }
    }
    // A stop or reload that came while the engines settled ends it here:
    // nothing will be sent.
    if (m_bRunning == 0 || StopRequested() != 0) {
        return;
    }
    m_ScriptReport.BeginSending();
    m_RefusedParts.clear();
    m_FailedRuns.clear();
    // Every script of the policy must reach the process, however many
    // rules carry one: the scripts queue takes them all (they come from
    // the policy, not from any input) and gets its bound back after; the
    // replies queue has room for an answer to each besides the runs.
    BoundedQueue<tclRequest>& scripts = m_Queues.Queue(tclQueueSet::kScripts);
    scripts.SetCapacity(0);
    // One pass: an engine that registered but never handed over its rules
    // (its reload failed) is passed over rather than waited for.
    int nWithoutRules = 0;
    for (auto& [pEngine, entry] : m_Engines) {
        if (entry.m_nState == 0) {
            ++nWithoutRules;
        } else if (entry.m_nState == 1) {
            if (entry.m_pCopy) {
                QueueRuleScripts(*entry.m_pCopy);
            }
            entry.m_nState = 2;
        }
    }
    if (nWithoutRules > 0) {
        CSF_LOG(3, "%d registered engine(s) handed over no rules; their scripts are not sent",
                nWithoutRules);
    }
    for (const auto& [name, text] : m_ResponseScripts) {
        QueueScript(name, "Response", text);
    }
    QueueHold(kHoldSeconds);
    const uint32_t dwBound = m_dwRequestQueueSize;
    m_Queues.Queue(tclQueueSet::kReplies)
        .SetCapacity(dwBound + static_cast<uint32_t>(scripts.Size()));
    scripts.SetCapacity(dwBound);
    m_bScriptsInitialised = 1;
    CSF_LOG(12, "Completed tcl script initialization!");
}

void tclHandler::MainLoop() {
    int32_t nCount = 0;
    int64_t tLastCountReport = Now();
    bool bHold = false;
    int64_t tHoldDeadline = 0;
    bool bExitSent = false;
    // From the shut-down on, until Exit goes out: what the process was
    // asked, or is still to be asked, is answered first (bounded).
    bool bDraining = false;
    std::chrono::steady_clock::time_point drainEnd;
    int64_t tLastScan = 0;
    int64_t tProcessEnded = 0;
    int64_t tLastProcessCheck = 0;
    // When the hold after the scripts ended: the runs queued while the
    // process started go out from then on.
    std::optional<std::chrono::steady_clock::time_point> scriptsTaken;
    // The runs the start queue still held when the catch-up ended: they
    // were taken to wait for the process, and still do.
    uint64_t qwStartBacklog = 0;
    // Whatever this thread raises from here on is answered before Exit goes
    // out, even when the shut-down comes while it handles the answer that
    // raises it.
    m_bAnswering = 1;
    while (m_bRunning != 0 || bDraining || !bExitSent) {
        tclRequest* pTaken = nullptr;
        if (m_bRunning != 0 || bDraining) {
            // The runs queued for a starting or ending process wait for
            // room among those waiting for an answer, which the answers
            // make, rather than being left out for the want of it.
            const bool bWithRuns =
                !((m_bCatchingUp != 0 || bDraining || qwStartBacklog != 0) &&
                  m_Pending.size() >= m_dwRequestQueueSize);
            if (!m_Queues.HasWork(bWithRuns)) {
                // What was taken so far goes out before the loop waits.
                m_Outgoing.Send(m_Connection);
                // While catching up the loop looks for its end often.
                uint32_t dwWaitMs = m_bCatchingUp != 0 ? kCatchUpLookMs : 1000;
                if (bDraining) {
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        drainEnd - std::chrono::steady_clock::now());
                    if (left.count() < static_cast<int64_t>(dwWaitMs)) {
                        dwWaitMs = left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
                    }
                }
                m_Queues.m_Wake.Wait(dwWaitMs);
            }
            pTaken = m_Queues.PopAny(bWithRuns);
        }
        std::unique_ptr<tclRequest> pRequest(pTaken);
        const int64_t tNow = Now();
        if (pRequest) {
            ++nCount;
        }
        if (tNow - tLastCountReport >= kReportIntervalSeconds) {
            CSF_TRACE(9, "TclHandler Loop, get %d request since last report", nCount);
            nCount = 0;
            tLastCountReport = tNow;
        }
        if (pRequest) {
            switch (pRequest->m_nAction) {
                case tclRequest::kSend:
                    // Only the runs queue carries runs with a record.
                    if (qwStartBacklog != 0 && pRequest->m_nCommandType == qorTclCommand::kRun &&
                        pRequest->m_pRecord) {
                        --qwStartBacklog;
                    }
                    SendRequest(pRequest.release());
                    break;
                case tclRequest::kReply:
                    HandleReply(pRequest.release());
                    break;
                case tclRequest::kHold:
                    if (bDraining) {
                        // Nothing waits behind the scripts any more.
                        break;
                    }
                    bHold = true;
                    m_Queues.Hold(tclQueueSet::kScripts);
                    m_Queues.Hold(tclQueueSet::kRuns);
                    tHoldDeadline = pRequest->m_nHoldSeconds > 0 ? tNow + pRequest->m_nHoldSeconds : 0;
                    break;
                case tclRequest::kConnectionFailed:
                    CSF_LOG(1, "Socket error (%s), Will stop the TclProc", pRequest->m_strText.c_str());
                    plat::ConsolePrintf("Socket error (%s), Will stop the TclProc\n",
                                        pRequest->m_strText.c_str());
                    // A process that closed the connection by ending is
                    // reported with how it ended.
                    if (tProcessEnded == 0) {
                        ProcessEnded(kProcessEndWaitMs);
                    }
                    return;
                default: {
                    char szText[257];
                    CSF_LOG(1, "Get a illegal request, %s", pRequest->Format(szText, sizeof szText));
                    break;
                }
            }
        }
        SendDueLines();
        if (m_bRunning == 0 && !bDraining && !bExitSent) {
            // The alerts waiting for this process were raised under the
            // rules whose scripts it holds, which go with the reload or
            // stop that shuts it down: it answers them before it is ended.
            bDraining = true;
            drainEnd =
                std::chrono::steady_clock::now() + std::chrono::seconds(m_nShutDownAnswerSeconds.load());
            m_Queues.Release(tclQueueSet::kScripts);
            m_Queues.Release(tclQueueSet::kRuns);
        }
        if (bDraining && (NothingToAnswer() || std::chrono::steady_clock::now() >= drainEnd)) {
            if (!NothingToAnswer()) {
                ReportUnanswered();
            }
            std::unique_ptr<tclRequest> pExit(new (std::nothrow) tclRequest);
            if (pExit) {
                pExit->m_nCommandType = qorTclCommand::kExit;
                pExit->m_nAction = tclRequest::kSend;
                SendRequest(pExit.release());
            }
            bDraining = false;
            bExitSent = true;
            m_bAnswering = 0;
            m_Queues.Hold(tclQueueSet::kScripts);
            m_Queues.Hold(tclQueueSet::kRuns);
        }
        if (m_nRequestTimeout > 0 && tNow > tLastScan) {
            tLastScan = tNow;
            ExpirePending(tNow);
        }
        // An ended process normally shows as a closed connection at once.
        // Should its end stay open (a program it started holds it), the
        // loop still ends, after the replies it wrote have had time to come
        // in.
        if (tProcessEnded == 0) {
            if ((m_bRunning != 0 || bDraining) && tNow != tLastProcessCheck && ProcessEnded()) {
                tProcessEnded = tNow;
            }
            tLastProcessCheck = tNow;
        } else if (tNow - tProcessEnded >= kProcessEndGraceSeconds) {
            return;
        }
        if (bHold && (m_Pending.empty() || (tHoldDeadline != 0 && tNow >= tHoldDeadline))) {
            m_Queues.Release(tclQueueSet::kScripts);
            m_Queues.Release(tclQueueSet::kRuns);
            tHoldDeadline = 0;
            bHold = false;
            PublishScriptAnswers();
            scriptsTaken = std::chrono::steady_clock::now();
        }
        if (scriptsTaken && m_bCatchingUp != 0 && CaughtUp(*scriptsTaken)) {
            EndCatchUp();
            // A catch-up that ran out of time leaves its backlog queued: it
            // goes out as answers make room, as during the catch-up, not
            // into a table still full of the runs sent ahead of it.
            qwStartBacklog = m_Queues.Queue(tclQueueSet::kRuns).Size();
        }
    }
}

bool tclHandler::NothingToAnswer() {
    return m_Pending.empty() && m_Outgoing.IsEmpty() &&
           m_Queues.Queue(tclQueueSet::kScripts).Size() == 0 &&
           m_Queues.Queue(tclQueueSet::kRuns).Size() == 0;
}

void tclHandler::Unanswered::Note(const tclRequest& request, bool bReported) {
    if (request.m_nScriptType == qorTclCommand::kValidation) {
        ++(bReported ? m_qwUnvalidated : m_qwDropped);
    }
}

void tclHandler::ReportUnanswered() {
    Unanswered tally;
    // The pending ones are finished once the process has ended, as at any
    // end of it; the queued ones now.
    for (const auto& [name, pRequest] : m_Pending) {
        if (pRequest->m_pRecord) {
            tally.Note(*pRequest, pRequest->m_pRule != nullptr && !pRequest->m_pRule->GetNeedTcl());
        }
    }
    m_bPendingSaid = true;
    FinishQueued(&tally);
    SayUnanswered(tally, "when the script process was ended, " + std::to_string(m_nShutDownAnswerSeconds.load()) +
                             " s after it was told to end");
}

void tclHandler::SayUnanswered(const Unanswered& tally, const std::string& strWhen) {
    if (tally.m_qwUnvalidated + tally.m_qwDropped == 0) {
        return;
    }
    const uint64_t qwWaiting = tally.m_qwUnvalidated + tally.m_qwDropped;
    CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "Rule scripts: %s waiting for %s validation %s: %s",
            CountText(qwWaiting, "alert was still", "alerts were still").c_str(), qwWaiting == 1 ? "its" : "their",
            strWhen.c_str(), UnansweredText(tally.m_qwUnvalidated, tally.m_qwDropped).c_str());
}

void tclHandler::ExpirePending(int64_t tNow) {
    const int32_t nTimeout = m_nRequestTimeout;
    for (auto it = m_Pending.begin(); it != m_Pending.end();) {
        tclRequest& request = *it->second;
        if (tNow - request.m_tSent < nTimeout) {
            ++it;
            continue;
        }
        CSF_LOG(3, "TCL request timed out: %s", request.m_strName.c_str());
        if (request.m_nScriptType == qorTclCommand::kValidation && request.m_pRecord) {
            CountAtBound(request.m_strName, request.m_pRule, Bound::kAnswerTime);
        }
        FinishUnvalidated(request);
        if (request.m_nCommandType == qorTclCommand::kRun && request.m_pRecord) {
            DeleteSection(request.m_nTransactionId);
        }
        it = m_Pending.erase(it);
    }
}

bool tclHandler::FinishUnvalidated(tclRequest& request) {
    // Only a validation's record is an alert; a response run carries a copy.
    const bool bAlert = request.m_nScriptType == qorTclCommand::kValidation && request.m_pRecord;
    const bool bReport = bAlert && request.m_pRule != nullptr && !request.m_pRule->GetNeedTcl();
    ISensorCore* pSensor = bReport ? GetSensorCore() : nullptr;
    if (pSensor == nullptr) {
        if (bAlert) {
            ScriptOutcomes::Instance().Count(ScriptOutcome::kDropped);
        }
        request.m_pRecord.reset();
        return false;
    }
    ScriptOutcomes::Instance().Count(ScriptOutcome::kUnvalidated);
    pSensor->ReportEvent(request.m_pRecord.release());
    return true;
}

void tclHandler::FinishQueued(Unanswered* pTally) {
    for (int nIndex = 0; nIndex < tclQueueSet::kQueueCount; ++nIndex) {
        m_Queues.Release(nIndex);
        while (tclRequest* pTaken = m_Queues.Queue(nIndex).Pop(0)) {
            std::unique_ptr<tclRequest> pRequest(pTaken);
            if (pRequest->m_nAction == tclRequest::kSend) {
                const bool bAlert = pRequest->m_pRecord != nullptr;
                const bool bReported = FinishUnvalidated(*pRequest);
                if (bAlert && pTally != nullptr) {
                    pTally->Note(*pRequest, bReported);
                }
            }
        }
    }
}

void tclHandler::ClearAfterStop() {
    // Queued and pending validations of rules that do not require their
    // script go on unvalidated rather than being lost with the process,
    // the others are dropped; either is said, with its count, unless the
    // process was told to end and said its pending ones then.
    Unanswered tally;
    FinishQueued(&tally);
    const bool bPendingSaid = std::exchange(m_bPendingSaid, false);
    for (auto& [name, pRequest] : m_Pending) {
        CSF_LOG(3, "TclRequest <%s.%s> is pending when the TclProc is ended", name.c_str(),
                qorTclCommand::ScriptTypeName(pRequest->m_nScriptType));
        if (pRequest->m_nCommandType == qorTclCommand::kRun && pRequest->m_pRecord) {
            DeleteSection(pRequest->m_nTransactionId);
        }
        const bool bAlert = pRequest->m_pRecord != nullptr;
        const bool bReported = FinishUnvalidated(*pRequest);
        if (bAlert && !bPendingSaid) {
            tally.Note(*pRequest, bReported);
        }
    }
    SayUnanswered(tally, "when the script process ended");
    m_Pending.clear();
    m_RuleIds.clear();
    m_RuleNames.clear();
    if (m_pStore) {
        m_pStore->Clear();
    }
    m_bScriptsInitialised = 0;
    qorFastLock guard(m_EngineLock, true);
    for (auto& [pEngine, entry] : m_Engines) {
        entry.m_nState = 1;
    }
}

// ---- Requests ---------------------------------------------------------------

int32_t tclHandler::RuleId(const std::string& strName) {
    auto [it, bNew] = m_RuleIds.try_emplace(strName, static_cast<int32_t>(m_RuleIds.size() + 1));
    if (bNew) {
        m_RuleNames[it->second] = strName;
    }
    return it->second;
}

const std::string& tclHandler::RuleName(int32_t nRuleId) const {
    static const std::string kNone;
    auto found = m_RuleNames.find(nRuleId);
    return found != m_RuleNames.end() ? found->second : kNone;
}

void tclHandler::WriteRequest(tclRequest& request) {
    m_Outgoing.Add(request);
    request.m_tSent = Now();
    char szText[257];
    CSF_TRACE(9, "Send a tcl request: %s", request.Format(szText, sizeof szText));
}

void tclHandler::SendDueLines() {
    // With the table of waiting runs full nothing more is sent until
    // replies come, and none come for lines not yet sent.  A failed write
    // shows up as a broken connection on the reply thread.
    if (m_Outgoing.IsDue(qorTclBatch::Clock::now()) ||
        (!m_Outgoing.IsEmpty() && m_Pending.size() >= m_dwRequestQueueSize)) {
        m_Outgoing.Send(m_Connection);
    }
}

InputBound* tclHandler::BoundOf(const std::string& strName, const Rule* pRule, Bound bound) {
    if (pRule == nullptr) {
        return nullptr;
    }
    const bool bNeedTcl = pRule->GetNeedTcl();
    auto found = m_RuleBounds.find(strName);
    if (found == m_RuleBounds.end()) {
        found = m_RuleBounds.emplace(strName, std::array<InputBound*, 2 * kBoundKinds>{}).first;
    }
    InputBound*& pBound = found->second[static_cast<size_t>(bound) * 2 + (bNeedTcl ? 1 : 0)];
    if (pBound == nullptr) {
        const std::string strSize = std::to_string(m_dwRequestQueueSize.load());
        std::string strLimit;
        switch (bound) {
            case Bound::kQueue:
                strLimit = "at most " + strSize + " runs queued for the script process";
                break;
            case Bound::kStartQueue:
                strLimit = "at most " + std::to_string(StartQueueSize()) +
                           " runs queued for the script process while it is started";
                break;
            case Bound::kTable:
                strLimit = "at most " + strSize + " runs waiting for the script process's answer";
                break;
            case Bound::kStore:
                strLimit = "the values of the alerts waiting for their script fill the store " +
                           m_strStoreName + " (" + std::to_string(kStoreSize) + " bytes)";
                break;
            case Bound::kNoProcess:
                strLimit = "a script process to take the run (none while a reload or the stop has "
                           "shut it down, or while scripts are off)";
                break;
            case Bound::kAnswerTime:
                strLimit = "at most " + std::to_string(m_nRequestTimeout.load()) +
                           " s for the script process's answer";
                break;
            case Bound::kTakeBack:
                strLimit = "what the script set taken back from the store " + m_strStoreName +
                           " in time";
                break;
        }
        strLimit += bNeedTcl ? ", the alerts past it are dropped (the rule requires its script)"
                             : ", the alerts past it go on unvalidated";
        // Past the bound an alert goes on unvalidated, written, or is
        // dropped and counted with the scripted alerts: no loss of its own.
        pBound = &InputBounds::Instance().Bound("script of rule " + strName, strLimit, "alerts", strName,
                                               nullptr, InputBound::Fate::kNotLost);
    }
    return pBound;
}

void tclHandler::CountAtBound(const std::string& strName, const Rule* pRule, Bound bound) {
    qorFastLock guard(m_FullTableLock, true);
    if (InputBound* pBound = BoundOf(strName, pRule, bound)) {
        pBound->LeftOut();
    }
}

void tclHandler::ReportFullTable(const tclRequest& request, Bound bound) {
    qorFastLock guard(m_FullTableLock, true);
    if (request.m_nScriptType != qorTclCommand::kValidation) {
        // Only a validation carries an alert.
    } else if (InputBound* pBound = BoundOf(request.m_strName, request.m_pRule, bound)) {
        pBound->LeftOut();
    }
    if (!m_FullTableReports.Allow(ReportLimiter::Now())) {
        return;
    }
    const char* pszName = request.m_strName.c_str();
    const std::string strLeftOut = m_FullTableReports.LeftOutNote("events that found the table full");
    if (request.m_pRule == nullptr || request.m_pRule->GetNeedTcl()) {
        CSF_LOG(3, "Too many pending tcl requests. Event %s dropped%s", pszName, strLeftOut.c_str());
    } else if (request.m_nScriptType == qorTclCommand::kValidation) {
        CSF_LOG(3, "Too many pending tcl requests. Event %s reported without validation%s", pszName,
                strLeftOut.c_str());
    } else {
        CSF_LOG(3, "Too many pending tcl requests. Event %s skipped%s", pszName, strLeftOut.c_str());
    }
}

void tclHandler::SendRequest(tclRequest* pTaken) {
    std::unique_ptr<tclRequest> pRequest(pTaken);
    switch (pRequest->m_nCommandType) {
        case qorTclCommand::kScript: {
            pRequest->m_nRuleId = RuleId(pRequest->m_strName);
            WriteRequest(*pRequest);
            std::string strName = pRequest->m_strName;
            m_Pending.emplace(std::move(strName), std::move(pRequest));
            break;
        }
        case qorTclCommand::kRun: {
            if (m_Pending.size() >= m_dwRequestQueueSize) {
                ReportFullTable(*pRequest, Bound::kTable);
                FinishUnvalidated(*pRequest);
                break;
            }
            pRequest->m_nRuleId = RuleId(pRequest->m_strName);
            if (!pRequest->m_pRecord) {
                pRequest->m_nTransactionId =
                    m_pStore ? static_cast<int32_t>(m_pStore->NextId()) : 0;
            } else if (!CreateSection(*pRequest->m_pRecord, pRequest->m_nTransactionId)) {
                // The store has no room for the alert's values: a script run
                // without them would judge an alert it cannot see, so the
                // alert fares as one that finds the table full.
                ReportFullTable(*pRequest, Bound::kStore);
                FinishUnvalidated(*pRequest);
                break;
            }
            WriteRequest(*pRequest);
            std::string strName = pRequest->m_strName;
            m_Pending.emplace(std::move(strName), std::move(pRequest));
            break;
        }
        case qorTclCommand::kExit: {
            // The process may end before the reply thread is told to stop:
            // the closed connection is then what was asked for.
            m_ReplyHandler.ExpectEnd();
            m_Outgoing.Add(*pRequest);
            m_Outgoing.Send(m_Connection);
            CSF_TRACE(9, "Send the Exit command");
            break;
        }
        default:
            break;
    }
}
