#include "Decoy/CEngineDecoy.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

#include "Common/RuleContainer.h"
#include "Common/SensorSettings.h"
#include "Decoy/CDecoyRule.h"
#include "Decoy/DecoyClock.h"
#include "Decoy/DecoyedCnxn.h"
#include "Decoy/InitializeDecoyRules.h"
#include "platform/Console.h"
#include "platform/Environment.h"
#include "platform/LastError.h"
#include "platform/PortHolder.h"
#include "qorCSFLib/CSFEventRegistry.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/CountText.h"

namespace {

// Set while the library is loaded and no engine thread has run yet.
std::atomic<bool> g_bFirstRun{true};
std::atomic<uint32_t> g_dwFirstRunWaitMs{CEngineDecoy::kFirstRunWaitMs};

// A whole run of the host under test cannot sit out a 20-second start or a
// one-minute hold; these let it shorten both.
bool ReadOverride(const char* pszName, uint32_t dwMax, uint32_t& dwValue) {
    std::string strText;
    if (!plat::GetEnvironmentText(pszName, strText) || strText.empty()) {
        return false;
    }
    char* pszEnd = nullptr;
    const unsigned long ulValue = std::strtoul(strText.c_str(), &pszEnd, 10);
    if (*pszEnd != '\0' || ulValue > dwMax) {
        return false;
    }
    dwValue = static_cast<uint32_t>(ulValue);
    return true;
}

void ReadOverrides() {
    uint32_t dwValue = 0;
    if (ReadOverride("HW_DECOY_FIRST_WAIT_MS", CEngineDecoy::kFirstRunWaitMs, dwValue)) {
        CEngineDecoy::SetFirstRunWaitMs(dwValue);
    }
    if (ReadOverride("HW_DECOY_HOLD_SECONDS", DecoyedCnxn::kHoldSeconds, dwValue)) {
        DecoyedCnxn::SetHoldSeconds(dwValue);
    }
}

}  // namespace

void CEngineDecoy::SetFirstRunWaitMs(uint32_t dwMs) {
    g_dwFirstRunWaitMs.store(dwMs);
}

void CEngineDecoy::ResetFirstRun() {
    g_bFirstRun.store(true);
}

bool CEngineDecoy::IsFirstRunPending() {
    return g_bFirstRun.load();
}

CEngineDecoy::CEngineDecoy(IPolicyEventInterface* pPrototype)
    : CEngineBase("Decoy Engine"),
      m_pPrototype(pPrototype),
      m_pDefaultReader(std::make_unique<CInitializeDecoyRules>()),
      m_pUserReader(std::make_unique<CInitializeUserDecoyRules>()) {
    ReadOverrides();
}

CEngineDecoy::~CEngineDecoy() {
    // The thread uses the ports and the destination: it ends before they go.
    m_Wake.Signal();
    StopAndWait();
    m_pPorts.reset();
    m_pDestination.reset();
}

int32_t CEngineDecoy::ConfigureEventSections(CSFEventRegistry* pRegistry) {
    if (pRegistry == nullptr) {
        return 0;
    }
    pRegistry->RegisterSection(m_pDefaultReader->GetRulesSectionPath().c_str(), m_pPrototype, 1);
    pRegistry->RegisterSection(m_pUserReader->GetRulesSectionPath().c_str(), m_pPrototype, 1);
    return 0;
}

int32_t CEngineDecoy::PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) {
    m_pDefaultReader->ReadRules(pContainer, pPolicy);
    m_pUserReader->ReadRules(pContainer, pPolicy);
    return 0;
}

int32_t CEngineDecoy::Oninit(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::Oninit(dwArgument);
    CSF_TRACE(kCSFLogInfo, "done with base class' Oninit");
    m_pPorts.reset(new (std::nothrow) ListeningPort[kPortTableSize]);
    if (!m_pPorts) {
        CSF_LOG(kCSFLogError, "failed to allocate the decoy port table");
    }
    m_pDestination.reset(new (std::nothrow) DecoyDestination);
    CSF_TRACE(kCSFLogInfo, "\tdone with our Oninit");
    return nResult;
}

int32_t CEngineDecoy::OnReloadPolicy(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::OnReloadPolicy(dwArgument);
    // The ports were opened for the rules just replaced, which are gone:
    // the resumed thread gives each port it keeps the new rule of its port.
    m_PortReport.Forget();
    if (m_pPorts) {
        for (size_t n = 0; n < kPortTableSize; ++n) {
            m_pPorts[n].m_pRule = nullptr;
        }
    }
    CSF_TRACE(kCSFLogInfo, "done with base class' OnReloadPolicy");
    CSF_TRACE(kCSFLogInfo, "creating new DecoyDestination");
    // The old destination goes with every connection it holds.
    m_pDestination.reset();
    m_pDestination.reset(new (std::nothrow) DecoyDestination);
    DecoyDestination::EndStaleBounds(!EnabledPorts().empty());
    CSF_TRACE(kCSFLogInfo, "destination = 0x%lx, starting engine",
              reinterpret_cast<unsigned long>(m_pDestination.get()));
    CSF_TRACE(kCSFLogInfo, "\tdone with ourOnReloadPolicy");
    return nResult;
}

int32_t CEngineDecoy::OnStart(uint32_t dwArgument) {
    // A wake-up left from an earlier stop must not end the new run's waits.
    if (!IsRunning()) {
        m_Wake.Clear();
        m_PortReport.BeginRun();
    }
    const int32_t nResult = CEngineBase::OnStart(dwArgument);
    if (nResult != 0) {
        m_PortReport.Forget();
    }
    return nResult;
}

int32_t CEngineDecoy::OnStopInit(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::OnStopInit(dwArgument);
    m_Wake.Signal();
    CSF_TRACE(kCSFLogInfo, "done with base class' OnStopInit");
    if (m_pDestination) {
        CSF_TRACE(kCSFLogInfo, "shutting down the destination");
    }
    CSF_TRACE(kCSFLogInfo, "\tdone with our OnStopInit");
    return nResult;
}

int32_t CEngineDecoy::OnStop(uint32_t dwArgument) {
    m_Wake.Signal();
    const int32_t nResult = CEngineBase::OnStop(dwArgument);
    CSF_TRACE(kCSFLogInfo, "done with base class' OnStop");
    // A thread left running (said by the base) still takes connections on
    // the ports and hands them to the destination: both stay its own.
    if (IsRunning()) {
        return nResult;
    }
    // The connections made before the stop and still in the backlogs are
    // the stop's to take; those made while the host had the engine paused
    // are refused, as at a resume.
    if (m_bPaused.load() == 0) {
        TakeWaitingAtEnd(m_TakeAtEnd);
    }
    m_pDestination.reset();
    // The host's tally of the stop counts what the stop left.
    CSFNoticeLostAtStop(ClosePorts("at a stop"), "decoy connections left in the backlog");
    m_pPorts.reset();
    m_nOpenPorts = 0;
    m_PortReport.Forget();
    CSF_TRACE(kCSFLogInfo, "\tdone with our OnStop");
    return nResult;
}

void CEngineDecoy::NotePause(uint32_t dwArgument) {
    // The host's pause refuses what the ending thread still meets, and the
    // resume opens every port afresh.  A reload's leaves the connections
    // waiting on their ports for the resumed thread, which keeps the ports
    // the new rules still name.
    if (!IsReload(dwArgument)) {
        m_bPaused = 1;
        m_bReopenPorts = true;
    }
}

int32_t CEngineDecoy::OnPauseInit(uint32_t dwArgument) {
    NotePause(dwArgument);
    RequestStop();
    m_Wake.Signal();
    return 0;
}

int32_t CEngineDecoy::OnPause(uint32_t dwArgument) {
    NotePause(dwArgument);
    m_Wake.Signal();
    StopAndWait();
    // Holds that ran out while the thread was ending are not kept through
    // the pause; the resumed thread closes the rest as they run out.
    if (!IsRunning()) {
        CloseExpiredHolds();
        // The resume opens every port afresh, resetting what waits on it:
        // what came before the host's pause is taken now.  A reload's pause
        // leaves it to the resumed thread, on the ports it keeps.
        if (!IsReload(dwArgument)) {
            TakeWaitingAtEnd(m_TakeAtEnd);
        }
    }
    return 0;
}

uint64_t CEngineDecoy::TakeWaitingAtEnd(std::chrono::milliseconds share) {
    // Between a reload's reading of the policy and its resume, the ports
    // have no rule and the destination no engine to report with: what
    // waits is reset and counted rather than taken without an alert.
    if (!m_pPorts || !m_pDestination || m_pDestination->GetEngine() != this) {
        return 0;
    }
    // In turns, as at a wake: one flooded port leaves the others theirs.
    const auto tEnd = std::chrono::steady_clock::now() + share;
    const uint32_t dwNow = DecoyTimeNow();
    uint64_t qwTaken = 0;
    std::vector<bool> spent(kPortTableSize, false);
    for (bool bMore = true; bMore && std::chrono::steady_clock::now() < tEnd;) {
        bMore = false;
        for (size_t n = 0; n < kPortTableSize && m_pPorts[n].IsOpen(); ++n) {
            spent[n] = spent[n] || m_pPorts[n].m_pRule == nullptr;
            for (uint32_t dwTurn = 0; !spent[n] && dwTurn < kMaxTakenPerTurn; ++dwTurn) {
                const int32_t nResult = m_pDestination->Accept(&m_pPorts[n], dwNow);
                // None left, or one that cannot be taken (no descriptor):
                // what is left there is reset with the port, and counted.
                spent[n] = nResult != 0;
                qwTaken += nResult == 0 ? 1 : 0;
            }
            bMore = bMore || !spent[n];
        }
    }
    return qwTaken;
}

int32_t CEngineDecoy::OnResume(uint32_t /*dwArgument*/) {
    m_bPaused = 0;
    if (!IsRunning()) {
        m_Wake.Clear();
        m_PortReport.BeginRun();
    }
    if (StartThread() != 0) {
        m_PortReport.Forget();
    }
    return 0;
}

bool CEngineDecoy::InputMayComeBack() { return m_PortReport.MissesAPortThatMayOpen(); }

std::vector<uint16_t> CEngineDecoy::EnabledPorts() {
    std::vector<uint16_t> ports;
    if (RuleContainer* pRules = GetRuleContainer()) {
        for (Rule* pRule : *pRules) {
            auto* pDecoy = dynamic_cast<CDecoyRule*>(pRule);
            if (pDecoy != nullptr && pDecoy->IsEnabled() &&
                std::find(ports.begin(), ports.end(), pDecoy->GetPort()) == ports.end()) {
                ports.push_back(pDecoy->GetPort());
            }
        }
    }
    return ports;
}

bool CEngineDecoy::DescribeInput(std::string& strInput) {
    const std::vector<uint16_t> ports = EnabledPorts();
    if (ports.empty()) {
        strInput = "no decoy rule: no port is opened";
        return true;
    }
    // Called once the engine's thread was started: a run that opens the
    // ports at once is waited for, so the summary says what it opened.
    return m_PortReport.Describe(ports, std::chrono::milliseconds(kDescribeWaitMs), strInput);
}

const ListeningPort* CEngineDecoy::GetPort(size_t nIndex) const {
    return m_pPorts && nIndex < kPortTableSize ? &m_pPorts[nIndex] : nullptr;
}

const ListeningPort* CEngineDecoy::FindOpenPort(uint16_t wPort, size_t nEnd) const {
    for (size_t n = 0; n < nEnd; ++n) {
        if (m_pPorts[n].IsOpen() && m_pPorts[n].m_wPort == wPort) {
            return &m_pPorts[n];
        }
    }
    return nullptr;
}

DecoyPortOutcome CEngineDecoy::OpenRulePort(CDecoyRule* pRule, size_t& nIndex, ListeningPort* pKept) {
    DecoyPortOutcome outcome;
    outcome.m_wPort = pRule->GetPort();
    outcome.m_strRule = pRule->GetName();
    if (nIndex >= kPortTableSize) {
        CSF_LOG(kCSFLogWarning, "no room for the port of rule %s: at most %d decoy ports",
                pRule->GetName().c_str(), static_cast<int>(kPortTableSize));
        outcome.m_Kind = DecoyPortOutcome::Kind::kNoRoom;
        return outcome;
    }
    // Probing a port this engine already listens on would connect to it,
    // and that connection would later be taken as an attack.
    if (const ListeningPort* pOpen = FindOpenPort(outcome.m_wPort, nIndex)) {
        CSF_LOG(kCSFLogError, "Port %d already in use on system.\n", outcome.m_wPort);
        outcome.m_Kind = DecoyPortOutcome::Kind::kShared;
        outcome.m_strDetail = pOpen->m_pRule != nullptr ? pOpen->m_pRule->GetName() : "";
        return outcome;
    }
    ListeningPort& entry = m_pPorts[nIndex];
    entry.m_wPort = outcome.m_wPort;
    entry.m_pRule = pRule;
    // A port kept through a reload goes on listening, with the connections
    // waiting on it.
    for (size_t n = 0; pKept != nullptr && n < kPortTableSize; ++n) {
        if (pKept[n].IsOpen() && pKept[n].m_wPort == outcome.m_wPort) {
            entry.m_hSocket = std::exchange(pKept[n].m_hSocket, plat::kInvalidSocket);
            ++nIndex;
            return outcome;
        }
    }
    if (entry.Open(&outcome) == 1) {
        ++nIndex;
        return outcome;
    }
    entry.m_pRule = nullptr;
    if (outcome.m_Kind == DecoyPortOutcome::Kind::kInUse) {
        outcome.m_strDetail = plat::DescribePortHolders(plat::PortProtocol::kTcp, outcome.m_wPort);
    }
    return outcome;
}

uint32_t CEngineDecoy::ClosePorts(const char* pszWhen) { return ClosePorts(m_pPorts.get(), pszWhen); }

uint32_t CEngineDecoy::ClosePorts(ListeningPort* pTable, const char* pszWhen) {
    if (pTable == nullptr) {
        return 0;
    }
    uint32_t dwReset = 0;
    for (size_t n = 0; n < kPortTableSize; ++n) {
        dwReset += pTable[n].ResetAllWaiting(kMaxResetAtClose, &m_Spare);
        pTable[n].Close();
        pTable[n].m_pRule = nullptr;
    }
    if (dwReset != 0) {
        CSF_LOG(kCSFLogWarning, "Decoy Engine reset %s waiting on its ports %s, without an alert",
                CountText(dwReset, "connection", "connections").c_str(), pszWhen);
    }
    return dwReset;
}

void CEngineDecoy::AnnouncePorts() {
    std::string strText;
    for (size_t n = 0; n < kPortTableSize && m_pPorts[n].IsOpen(); ++n) {
        strText += strText.empty() ? "Now waiting for connections on ports: " : ", ";
        strText += std::to_string(m_pPorts[n].m_wPort);
        m_WatchSet.Add(m_pPorts[n].m_hSocket);
    }
    m_nOpenPorts = static_cast<int32_t>(m_WatchSet.Count());
    if (!strText.empty()) {
        plat::ConsoleWrite(strText + "\n");
    }
}

int32_t CEngineDecoy::SetupListener() {
    CSF_TRACE(kCSFLogInfo, "entering SetupListener");
    m_nOpenPorts = 0;
    m_WatchSet.Clear();
    std::vector<DecoyPortOutcome> outcomes;
    if (!m_pPorts || !m_pDestination) {
        m_PortReport.Publish(std::move(outcomes), m_bFirstOpening);
        return 0;
    }
    m_Spare.Take();
    // Ports left open since the last run: what waits on them came during
    // the host's pause, which takes no connection, and every port is opened
    // afresh.  After a reload the ports its rules still name stay open, and
    // what waits on them is taken now; the others close.
    // Entries keep their place: held connections point at them.
    std::unique_ptr<ListeningPort[]> pKept;
    if (!m_bReopenPorts.exchange(false)) {
        pKept.reset(new (std::nothrow) ListeningPort[kPortTableSize]);
    }
    if (pKept) {
        for (size_t n = 0; n < kPortTableSize; ++n) {
            pKept[n].m_wPort = m_pPorts[n].m_wPort;
            pKept[n].m_hSocket = std::exchange(m_pPorts[n].m_hSocket, plat::kInvalidSocket);
            m_pPorts[n].m_pRule = nullptr;
        }
    } else {
        ClosePorts("after a pause");
    }
    size_t nIndex = 0;
    RuleContainer* pRules = GetRuleContainer();
    if (pRules != nullptr) {
        for (Rule* pRule : *pRules) {
            auto* pDecoyRule = dynamic_cast<CDecoyRule*>(pRule);
            if (pDecoyRule == nullptr) {
                break;
            }
            if (pDecoyRule->IsEnabled()) {
                outcomes.push_back(OpenRulePort(pDecoyRule, nIndex, pKept.get()));
            }
        }
    }
    // The connections made to a port no rule names now have no rule to be
    // reported with.
    ClosePorts(pKept.get(), "that the reload closed");
    CSF_TRACE(kCSFLogInfo, "initializing decoy destination for %d threads",
              SensorSettings::Instance().m_nMaxCnxnThreads);
    m_pDestination->SetEngine(this);
    AnnouncePorts();
    m_PortReport.Publish(std::move(outcomes), m_bFirstOpening);
    return 0;
}

void CEngineDecoy::Pause(uint32_t dwMs) {
    bool bWoken = false;
    m_NoSockets.Wait(static_cast<int>(dwMs), &m_Wake, bWoken);
}

void CEngineDecoy::HandleReady(int nReady) {
    CSF_TRACE(kCSFLogInfo, "connect on %d sockets", nReady);
    const uint32_t dwNow = DecoyTimeNow();
    for (size_t n = 0; n < kPortTableSize && m_pPorts[n].IsOpen() && nReady > 0; ++n) {
        ListeningPort& entry = m_pPorts[n];
        if (!m_WatchSet.IsReady(entry.m_hSocket)) {
            continue;
        }
        CSF_TRACE(kCSFLogInfo, "connect on port %d, socket %d", entry.m_wPort, entry.m_hSocket);
        --nReady;
        if (!TakeWaiting(entry, dwNow)) {
            m_bLookAfterAPass = true;
        }
    }
}

bool CEngineDecoy::TakeWaiting(ListeningPort& entry, uint32_t dwNow) {
    for (uint32_t n = 0; n < kMaxTakenPerTurn && StopRequested() == 0; ++n) {
        const int32_t nResult = m_bPaused.load() != 0 ? m_pDestination->Reject(&entry, dwNow)
                                                      : m_pDestination->Accept(&entry, dwNow);
        if (nResult == DecoyDestination::kNoneWaiting) {
            break;
        }
        if (nResult != 0) {
            return false;
        }
    }
    return true;
}

void CEngineDecoy::CloseExpiredHolds() {
    if (!m_pDestination) {
        return;
    }
    const uint32_t dwClosed = m_pDestination->CloseExpired();
    if (dwClosed > 0) {
        CSF_TRACE(kCSFLogInfo, "closed %u connections whose hold was over",
                  static_cast<unsigned>(dwClosed));
    }
}

void CEngineDecoy::WatchOnce() {
    int nTimeoutMs = kPassWaitMs;
    const int32_t nHoldLeftMs = m_pDestination ? m_pDestination->GetTimeoutMs() : -1;
    if (nHoldLeftMs >= 0 && nHoldLeftMs < nTimeoutMs) {
        nTimeoutMs = nHoldLeftMs;
    }
    bool bWoken = false;
    const int nReady = m_WatchSet.Wait(nTimeoutMs, &m_Wake, bWoken);
    if (nReady == 0 || StopRequested() != 0) {
        return;
    }
    if (nReady < 0) {
        const uint32_t dwError = plat::GetLastError();
        const int nError = static_cast<int>(dwError);
        CSF_TRACE(kCSFLogInfo, "Error %d waiting for connections. (%s)\n", nError,
                  ErrorWords(dwError).c_str());
        if (m_WaitErrorReports.Allow(ReportLimiter::Now())) {
            CSF_LOG(kCSFLogError, "error(%d) in select() (%s)%s", nError,
                    ErrorWords(dwError).c_str(),
                    m_WaitErrorReports.LeftOutNote("failed waits").c_str());
        }
        // A wait that failed fails again at once.
        m_bLookAfterAPass = true;
        return;
    }
    HandleReady(nReady);
}

uint32_t CEngineDecoy::_doWork() {
    CSF_TRACE(kCSFLogInfo, "starting _doWork");
    // Only an opening long after the command that started the run is said
    // by this thread: that command's summary could not wait for it.
    m_bFirstOpening = false;
    m_bLookAfterAPass = false;
    if (g_bFirstRun.exchange(false)) {
        const uint32_t dwWaitMs = g_dwFirstRunWaitMs.load();
        if (dwWaitMs > 0) {
            m_PortReport.BeginFirstWait(dwWaitMs);
            m_bFirstOpening = true;
        }
        Pause(dwWaitMs);
    }
    // Told to stop during the first wait: no port is worth opening now.
    if (StopRequested() == 0) {
        SetupListener();
    } else {
        m_PortReport.Forget();
    }
    while (StopRequested() == 0) {
        m_PortReport.SayUnclaimed();
        CloseExpiredHolds();
        if (m_nOpenPorts == 0) {
            Pause(kIdleWaitMs);
        } else if (std::exchange(m_bLookAfterAPass, false)) {
            Pause(kPassWaitMs);
        } else {
            WatchOnce();
        }
    }
    CSF_TRACE(kCSFLogInfo, "Leaving AcceptListener()");
    return 0;
}
