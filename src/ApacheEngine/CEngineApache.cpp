#include "ApacheEngine/CEngineApache.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>
#include <vector>

#include "ApacheEngine/WebShmConfig.h"
#include "Common/AgentEventInfoDefault.h"
#include "Common/InputBounds.h"
#include "IDS/IDSConfig.h"
#include "IDS/IDSRule.h"
#include "hostwarden/CSFIdentifiers.h"
#include "hostwarden/ICSFClassFactory.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/SafeText.h"
#include "qorToolsLib/CountText.h"

namespace {

// A turn that could not look at the ring (not open, its lock not had, an
// area or a lock found cut short) is followed by the next one after a
// second: each such turn may be said and counted, and costs its wait.
constexpr uint32_t kFailedTurnMs = 1000;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

const char* SkipBlanks(const char* psz) {
    while (IsBlank(*psz))
        ++psz;
    return psz;
}

// "name=value" items separated by commas (empty items skipped); a name
// seen again in the same text gets "|" and the new value appended.  At most
// `nMaxNames` names are taken; the items of further names are counted in
// `nLeftOut`.  The text is read by its length: a NUL the module left in it
// is a byte of its item, and hides none of the items after it.
void ParseClassText(std::string_view svText, size_t nMaxNames,
                    std::vector<std::pair<std::string, std::string>>& pairs, size_t& nLeftOut) {
    size_t at = 0;
    while (at < svText.size()) {
        const size_t comma = svText.find(',', at);
        const size_t length = (comma != std::string_view::npos ? comma : svText.size()) - at;
        std::string_view item = svText.substr(at, length);
        at += length + 1;
        size_t equals = item.find('=');
        if (item.empty() || equals == std::string_view::npos)
            continue;
        std::string strName(item.substr(0, equals));
        std::string strValue(item.substr(equals + 1));
        strName.erase(0, static_cast<size_t>(SkipBlanks(strName.c_str()) - strName.c_str()));
        strValue.erase(0, static_cast<size_t>(SkipBlanks(strValue.c_str()) - strValue.c_str()));
        bool bJoined = false;
        for (auto& pair : pairs) {
            if (pair.first == strName) {
                pair.second += "|" + strValue;
                bJoined = true;
                break;
            }
        }
        if (bJoined)
            continue;
        if (pairs.size() < nMaxNames)
            pairs.emplace_back(std::move(strName), std::move(strValue));
        else
            ++nLeftOut;
    }
}

}  // namespace

void CEngineApache::ClassTextPairs(const char* pClassText, int32_t nClassLength,
                                   std::vector<std::pair<std::string, std::string>>& pairs,
                                   size_t& nLeftOut) {
    if (pClassText == nullptr || nClassLength <= 0) {
        return;
    }
    // The last byte is the text's terminator; a module that pads the text
    // with more NULs adds nothing to it.
    std::string_view svClass(pClassText, static_cast<size_t>(nClassLength - 1));
    while (!svClass.empty() && svClass.back() == '\0') {
        svClass.remove_suffix(1);
    }
    ParseClassText(svClass, kMaxClassNames, pairs, nLeftOut);
}

CEngineApache::CEngineApache(ICSFClassFactory* pFactory)
    : CEngineBase("WebPlugin"), m_pClassFactory(pFactory), m_pClassText(new char[kWebMaxClassLength]) {}

CEngineApache::~CEngineApache() {
    StopAndWait();
    m_pRuleMap.reset();
    m_pIdMap.reset();
}

bool CEngineApache::DescribeInput(std::string& strInput) {
    if (!IsEnabled()) {
        strInput = "off: network monitoring (\"Nodekeeper\") is off";
        return true;
    }
    std::lock_guard<std::mutex> guard(m_ProblemLock);
    if (!m_strRingLost.empty()) {
        strInput =
            "the web-server event ring was cut short by another account and could not be mapped "
            "again (" +
            m_strRingLost +
            "); it is opened afresh at the next reload";
        return false;
    }
    if (m_nInitialized == 0 && m_strRingProblem.empty()) {
        // Closed by a reload while the host holds the sensor paused: the
        // resume opens it.
        strInput = "web-server event ring, opened when the engine resumes";
        return true;
    }
    if (m_nInitialized == 0) {
        // Not the ring it would read: what kept it from reading one.
        strInput = "the web-server event ring could not be opened (" + m_strRingProblem + ")";
        return false;
    }
    const size_t nMapped = m_pRuleMap ? m_pRuleMap->size() : 0;
    strInput = "web-server event ring, " + std::to_string(nMapped) + " signature rule" +
               (nMapped == 1 ? "" : "s") + " mapped";
    return true;
}

bool CEngineApache::IsEnabled() const { return m_pIDSConfig != nullptr && m_pIDSConfig->IsIDSEnabled(); }

int32_t CEngineApache::ConfigureEventSections(CSFEventRegistry* /*pRegistry*/) { return 0; }

int32_t CEngineApache::PopulateRuleContainer(RuleContainer* /*pContainer*/, IPolicyContainer* /*pPolicy*/) {
    return 0;
}

int32_t CEngineApache::Oninit(uint32_t dwArgument) {
    int32_t nResult = CEngineBase::Oninit(dwArgument);
    CSF_TRACE(kCSFLogInfo, "Oninit called.");
    if (m_pIDSConfig == nullptr) {
        void* pObject = nullptr;
        if (m_pClassFactory != nullptr)
            m_pClassFactory->CreateInstance(CLSID_IDSConfig, &pObject);
        m_pIDSConfig = static_cast<IIDSConfig*>(pObject);
        if (m_pIDSConfig == nullptr)
            nResult = 1;
    }
    CSF_TRACE(kCSFLogInfo, "Leaving Ininit.");
    return nResult;
}

int32_t CEngineApache::OnStart(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogInfo, "CEngineApache::OnStart called");
    WebShmLockTriesOnly triesOnly;
    if (IsEnabled()) {
        CSF_TRACE(kCSFLogInfo, "Apache Component of Host Warden starting....");
        if (Initialize() == 0)
            CSF_TRACE(kCSFLogInfo, "Apache Component initialization complete....");
        else
            CSF_LOG(kCSFLogError, "Error in initializing Apache Component of Host Warden.");
    } else {
        CSF_LOG(kCSFLogInfo, "Apache Component of Host Warden is DISABLED.");
    }
    CSF_TRACE(kCSFLogInfo, "CEngineApache::OnStart leaving");
    m_bPaused = false;
    return CEngineBase::OnStart(dwArgument);
}

int32_t CEngineApache::Initialize() {
    CSF_TRACE(kCSFLogInfo, "Entered CEngineApache::Initialize");
    if (m_nInitialized != 0) {
        CSF_LOG(kCSFLogInfo, "CEngineApache::Initialize already done");
        return 0;
    }
    if (!IsEnabled())
        CSF_LOG(kCSFLogInfo, "Network Monitoring Apache Component of Host Warden is DISABLED.");
    CSF_TRACE(kCSFLogError, "about to attach to shared memory...");
    uint32_t dwCleared = 0;
    std::string strProblem;
    const int nAttached = WebShmAttach(true, &dwCleared, &strProblem);
    if (nAttached != 0 && strProblem.empty()) {
        strProblem = "the shared memory could not be made";
    }
    std::string strLostSaid;
    {
        std::lock_guard<std::mutex> guard(m_ProblemLock);
        m_strRingProblem = strProblem;
        m_strRingLost.clear();
        if (nAttached == 0)
            strLostSaid.swap(m_strLostSaid);
    }
    // The ring opened afresh: what was said of the one lost holds no longer.
    if (!strLostSaid.empty())
        CSFNoticeFindingEnded(strLostSaid.c_str());
    if (nAttached != 0) {
        CSF_LOG(kCSFLogError, "Error attaching to shared memory...");
        CSF_LOG(kCSFLogError, "The web-server event ring could not be opened: %s", strProblem.c_str());
        return 1;
    }
    if (dwCleared != 0) {
        ReportDrop(kCSFLogWarning, CountText(dwCleared, "web-server event", "web-server events") +
                                       " dropped: " + (dwCleared == 1 ? "it was" : "they were") +
                                       " still waiting in the "
                                       "event ring when the engine opened it afresh (at a start, "
                                       "or at a reload after it had let the ring go)");
    }
    CSF_TRACE(kCSFLogError, "about to attach to shared memory done...");
    if (m_pRuleMap != nullptr || m_pIdMap != nullptr) {
        CSF_LOG(kCSFLogError, "deleting the rules object");
        m_pRuleMap.reset();
        m_pIdMap.reset();
    }
    auto* pConfig = dynamic_cast<CIDSConfig*>(m_pIDSConfig);
    InitializeRuleMap(pConfig != nullptr ? &pConfig->GetIDSRules() : nullptr);
    m_nInitialized = 1;
    CSF_TRACE(kCSFLogInfo, "Leaving CEngineApache::Initialize");
    return 0;
}

int32_t CEngineApache::InitializeRuleMap(const RuleContainer* pContainer) {
    CSF_TRACE(kCSFLogInfo, "CEngineApache::InitializeRuleMap called %x....",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(pContainer)));
    m_pRuleMap = std::make_unique<std::map<std::string, CIDSRule*>>();
    m_pIdMap = std::make_unique<std::map<int32_t, const std::string*>>();
    if (pContainer != nullptr) {
        for (Rule* pRule : *pContainer) {
            auto* pIDSRule = dynamic_cast<CIDSRule*>(pRule);
            if (pIDSRule == nullptr || !pIDSRule->IsEnabled() || pIDSRule->m_dwRuleKind != kIDSRuleSignature)
                continue;
            auto inserted = m_pRuleMap->emplace(pIDSRule->GetName(), pIDSRule);
            if (pIDSRule->m_nTID > 0)
                m_pIdMap->emplace(pIDSRule->m_nTID, &inserted.first->second->GetName());
        }
    }
    CSF_TRACE(kCSFLogInfo, "Leaving CEngineApache::InitializeRuleMap part one");
    return WriteConfiguration();
}

int32_t CEngineApache::WriteConfiguration(bool bRetry) {
    auto* pConfig = dynamic_cast<CIDSConfig*>(m_pIDSConfig);
    std::string strProblem;
    const int32_t nResult =
        pConfig == nullptr ? WebShmWriteConfig(nullptr, nullptr, &strProblem)
                           : WebShmWriteConfig(pConfig->GetConfigTable(), pConfig->GetTuningBlock(), &strProblem);
    // Said as a finding of the start-up, reload or resume that wrote it:
    // the module then works with less than the rules ask.
    const std::string strText = strProblem.empty() ? std::string() : "WebPlugin: " + strProblem;
    if (!strText.empty() && !(bRetry && strText == m_strConfigSaid))
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", strText.c_str());
    if (strText != m_strConfigSaid) {
        if (!m_strConfigSaid.empty())
            CSFNoticeFindingEnded(m_strConfigSaid.c_str());
        m_strConfigSaid = strText;
    }
    // Only a write the lock or a cut kept out is tried again; what the
    // area cannot hold stays so until the rules change.
    m_bConfigWanted = nResult != 0 && WebShmIsAttached();
    m_NextConfigTry = std::chrono::steady_clock::now() + kConfigRetry;
    return nResult;
}

void CEngineApache::MapAgainAfterCut() {
    bool bConfigCut = false;
    std::string strProblem;
    if (WebShmMapAgain(bConfigCut, &strProblem) != 0) {
        const std::string strText =
            "The web-server shared memory cut short by another account could not be mapped "
            "again (" +
            strProblem +
            "): web-server events are read again after the next reload";
        CSF_LOG(kCSFLogError | kCSFLogConsoleFlag, "%s", strText.c_str());
        m_bConfigWanted = false;
        std::lock_guard<std::mutex> guard(m_ProblemLock);
        m_strRingLost = strProblem;
        m_strLostSaid = strText;
        return;
    }
    if (bConfigCut)
        WriteConfiguration();
    CSF_LOG(kCSFLogNotice | kCSFLogConsoleFlag,
            "The web-server shared memory cut short by another account is mapped again%s: web-server events are "
            "read again",
            bConfigCut ? ", and the configuration area written again" : "");
}

CIDSRule* CEngineApache::LookupRuleByName(const char* pszName) const {
    if (m_pRuleMap == nullptr || pszName == nullptr)
        return nullptr;
    auto found = m_pRuleMap->find(pszName);
    return found != m_pRuleMap->end() ? found->second : nullptr;
}

const char* CEngineApache::LookupNameById(int32_t nId) const {
    if (m_pIdMap == nullptr)
        return nullptr;
    auto found = m_pIdMap->find(nId);
    return found != m_pIdMap->end() ? found->second->c_str() : nullptr;
}

void CEngineApache::ProcessEvent(const WebEventRecord& record, char* pClassText, int32_t nClassLength) {
    CSF_TRACE(kCSFLogInfo, "Processing event id %ld name %s", static_cast<long>(record.nEventId),
              record.szEventName);
    if (record.nEventId < 1) {
        CSF_TRACE(kCSFLogInfo, "event ID is not valid");
        std::string strText = "Web-server event ";
        AppendPrintable(strText, record.szEventName);
        ReportDrop(kCSFLogWarning, strText + " dropped: event ID " + std::to_string(record.nEventId) +
                                       " is not valid (every event needs a number of 1 or more, also with a "
                                       "rule name)");
        return;
    }
    const bool bNamed = record.szEventName[0] != '\0';
    const char* pszName = bNamed ? record.szEventName : LookupNameById(record.nEventId);
    CIDSRule* pRule = LookupRuleByName(pszName);
    if (pRule == nullptr) {
        std::string strText = "Apache Engine Rule object not found for reported event ";
        AppendPrintable(strText, record.szEventName);
        strText += " issueId " + std::to_string(record.nEventId);
        strText += bNamed ? std::string(": no enabled signature rule is named so")
                          : ": no enabled user-defined signature rule has the TID " + std::to_string(record.nEventId) +
                                " (other signature rules are found by name only)";
        ReportDrop(kCSFLogError, strText);
        return;
    }
    auto* pInfo = new (std::nothrow) AgentEventInfoDefault(pRule, static_cast<int64_t>(std::time(nullptr)));
    if (pInfo == nullptr) {
        CSF_TRACE(kCSFLogError, "insufficient memory to allocate event object");
        return;
    }
    if (nClassLength > 0 && pClassText != nullptr) {
        std::vector<std::pair<std::string, std::string>> pairs;
        size_t nLeftOut = 0;
        ClassTextPairs(pClassText, nClassLength, pairs, nLeftOut);
        for (const auto& pair : pairs)
            pInfo->AddInfoPair(pair.first, pair.second);
        if (nLeftOut != 0) {
            m_ClassNamesBound.LeftOut(
                []() -> InputBound& {
                    return InputBounds::Instance().Bound(
                        "web-server events",
                        "at most " + std::to_string(kMaxClassNames) + " names taken from an event's class text",
                        "class-text items");
                },
                nLeftOut);
        }
    }
    pInfo->AddInfoPair("algorithm-id", std::to_string(record.nEventId));
    if (record.nOutcome == 1)
        pInfo->AddInfoPair("AttackBlocked", "1");
    if (record.nOutcome == 1 || record.nOutcome == 2) {
        pInfo->m_nAttackSuccessful = 0;
        pInfo->AddInfoPair("VulnStatus", "10");
    } else {
        pInfo->m_nAttackSuccessful = record.nOutcome == 5 ? 1 : 2;
    }
    if (record.szIntruderMac[0] != '\0')
        pInfo->SetSourceEthernetText(record.szIntruderMac);
    if (record.szVictimMac[0] != '\0')
        pInfo->SetDestinationEthernetText(record.szVictimMac);

    uint32_t dwProtocol = record.dwProtocol & 0xFF;
    pInfo->m_dwIANAProtocolId = dwProtocol != 0 ? dwProtocol : 256;
    pInfo->m_bIANAProtocolIdSet = true;
    switch (dwProtocol) {
        case 1:
            pInfo->SetAlertType(103);  // SuspiciousICMP
            break;
        case 6:
            pInfo->SetAlertType(101);  // SuspiciousTCP
            break;
        case 17:
            pInfo->SetAlertType(102);  // SuspiciousUDP
            break;
        default:
            pInfo->SetAlertType(105);  // SuspiciousNetworkActivity
            break;
    }
    pInfo->m_dwSourceAddress = htonl(record.dwIntruderAddress);
    pInfo->m_bSourceAddressSet = true;
    pInfo->m_dwDestinationAddress = htonl(record.dwVictimAddress);
    pInfo->m_bDestinationAddressSet = true;
    pInfo->m_nSourcePort = record.wIntruderPort;
    pInfo->m_nDestinationPort = record.wVictimPort;
    // The module leaves the ports' upper halves 0; the texts read all four
    // bytes as the module's own code does.
    uint32_t dwIntruderPort = record.wIntruderPort | (static_cast<uint32_t>(record.wIntruderPortHigh) << 16);
    uint32_t dwVictimPort = record.wVictimPort | (static_cast<uint32_t>(record.wVictimPortHigh) << 16);
    pInfo->AddInfoPair("victim-port", std::to_string(dwVictimPort));
    pInfo->AddInfoPair("victim-ip-addr", pInfo->GetDestinationAddressText());
    pInfo->AddInfoPair("intruder-port", std::to_string(dwIntruderPort));
    pInfo->AddInfoPair("intruder-ip-addr", pInfo->GetSourceAddressText());
    ExecuteResponses(pInfo);
}

void CEngineApache::ReportDrop(uint32_t dwLevel, const std::string& strText) {
    if (!m_DropReports.Allow(ReportLimiter::Clock::now())) {
        ++m_qwDropsUnreported;
        return;
    }
    std::string strLeftOut;
    if (m_qwDropsUnreported != 0) {
        strLeftOut = " (" + CountText(m_qwDropsUnreported, "dropped event", "dropped events") +
                     (m_qwDropsUnreported == 1 ? " was" : " were") + " not reported before it)";
        m_qwDropsUnreported = 0;
    }
    CSF_LOG(dwLevel, "%s%s", strText.c_str(), strLeftOut.c_str());
}

bool CEngineApache::TakeAndReport(bool& bReached) {
    int32_t nClassLength = 0;
    bool bOverflowed = false;
    uint32_t dwDropped = 0;
    const bool bTaken =
        WebShmReadEvent(m_Record, m_pClassText.get(), nClassLength, &bReached, &bOverflowed, &dwDropped);
    if (bOverflowed) {
        // The module's own count when it keeps one; one that only sets the
        // flag has lost at least one event.
        m_RingOverflowBound.LeftOut(
            []() -> InputBound& {
                return InputBounds::Instance().Bound(
                    "web-server event ring",
                    "a ring of " + std::to_string(kWebEvCapacity) + " bytes shared with the web-server module",
                    "events", std::string(),
                    "the module could not write for want of room (as it counts them; a module that does not "
                    "count them, once each time it says the ring overflowed)");
            },
            dwDropped != 0 ? dwDropped : 1);
    }
    if (bTaken) {
        CSF_TRACE(kCSFLogInfo, "Got an event record from the apache plugin tid = %d eventName= %s",
                  m_Record.nEventId, m_Record.szEventName);
        ProcessEvent(m_Record, m_pClassText.get(), nClassLength);
    }
    return bTaken;
}

uint32_t CEngineApache::_doWork() {
    if (!IsEnabled()) {
        m_CatchUp.End();
        CSF_LOG(kCSFLogInfo, "IDS not enabled: Web Server Monitoring is OFF");
        return 0;
    }
    CSF_TRACE(kCSFLogInfo, "Entering doWork loop");
    // A start or resume reads what waits at once, and looks again soon.
    m_dwRingLookMs.store(kBusyRingLookMs, std::memory_order_relaxed);
    m_dwEmptyLooks = 0;
    m_dwFruitlessWakes = 0;
    while (StopRequested() == 0) {
        // A cut found at an earlier turn, or now, costs that turn only.
        const bool bCut = WebShmIsCut();
        if (bCut)
            MapAgainAfterCut();
        if (m_bConfigWanted && std::chrono::steady_clock::now() >= m_NextConfigTry)
            WriteConfiguration(true);
        bool bReached = false;
        if (TakeAndReport(bReached)) {
            m_dwEmptyLooks = 0;
            m_dwFruitlessWakes = 0;
            m_dwRingLookMs.store(kBusyRingLookMs, std::memory_order_relaxed);
        } else if (bReached && !bCut) {
            // Read to its end, and its overflow looked at: what a reload
            // kept is handled, and lost if it overflowed meanwhile.
            m_CatchUp.End();
            const uint32_t dwLook = m_dwRingLookMs.load(std::memory_order_relaxed);
            // The stop, a pause or a reload ends either wait at once (the
            // sleep on the ring is woken by OnStopInit and OnPauseInit).
            plat::SharedWordWait wait = plat::SharedWordWait::kFailed;
            if (m_dwFruitlessWakes < kFruitlessWakesInARow)
                wait = WebShmAwaitWrite(dwLook);
            if (wait == plat::SharedWordWait::kFailed) {
                m_dwFruitlessWakes = 0;
                Sleep(dwLook);
            } else if (wait == plat::SharedWordWait::kWoken) {
                // Fruitless unless the next read takes an event.
                ++m_dwFruitlessWakes;
            }
            if (m_dwEmptyLooks < kBusyEmptyLooks) {
                ++m_dwEmptyLooks;
            } else {
                m_dwRingLookMs.store(std::min(dwLook * 2, kQuietRingLookMs), std::memory_order_relaxed);
            }
        } else {
            // A ring that cannot be read now holds no reload back.
            m_CatchUp.End();
            Sleep(kFailedTurnMs);
        }
    }
    m_CatchUp.End();
    CSF_TRACE(kCSFLogInfo, "Exit doWork loop");
    return 0;
}

int32_t CEngineApache::OnStopInit(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogInfo, "ApacheEngine OnStopInit");
    const int32_t nResult = CEngineBase::OnStopInit(dwArgument);
    // Told after the flag is set: a sleep begun before it ends now, one
    // begun after it ends within its look.
    WebShmWakeReader();
    return nResult;
}

int32_t CEngineApache::OnPauseInit(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::OnPauseInit(dwArgument);
    WebShmWakeReader();
    return nResult;
}

int32_t CEngineApache::OnStop(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogInfo, "ApacheEngine OnStop");
    WebShmLockTriesOnly triesOnly;
    RequestStop();
    WebShmWakeReader();
    int32_t nResult = CEngineBase::OnStop(dwArgument);
    // A thread that did not end may still read the areas.
    if (nResult == 0) {
        if (!m_bPaused)
            ReadAtStop();
        Shutdown();
    }
    return nResult;
}

void CEngineApache::ReadAtStop() {
    // Nothing reads the ring after the stop: what the module wrote last is
    // reported now, for as long as the stop's share of time lasts, and
    // what is left then is counted as the ring is let go.  Read only under
    // the rules in force (none between a reload's rule reading and its
    // resume).
    if (m_nInitialized == 0 || !IsEnabled() || !WebShmIsAttached())
        return;
    const auto tDeadline = std::chrono::steady_clock::now() + m_StopReading;
    bool bReached = true;
    while (bReached && std::chrono::steady_clock::now() < tDeadline && TakeAndReport(bReached)) {
    }
}

void CEngineApache::Shutdown() {
    CSF_LOG(kCSFLogInfo, "Shutting down Apache engine.");
    m_pRuleMap.reset();
    m_pIdMap.reset();
    // Attached also when a reload came while the host held the sensor
    // paused, and no resume followed.
    if (WebShmIsAttached()) {
        WebShmWriteConfig(nullptr, nullptr);
        LetRingGo(m_bPaused ? "at the stop (the engine was paused)" : "at the stop", true);
    }
    m_nInitialized = 0;
}

void CEngineApache::LetRingGo(const char* pszWhen, bool bStop) {
    // Without a module that holds the ring, it goes with the sensor's
    // hold, and with it the events nobody read: they are counted now, and
    // taken out of a ring a module keeps, so that no later opening counts
    // them again.
    const uint32_t dwLeft = WebShmEmptyRing();
    if (dwLeft != kWebRingNotEmptied && dwLeft != 0) {
        const std::string strText = CountText(dwLeft, "web-server event", "web-server events") + " dropped: " +
                                    (dwLeft == 1 ? "it was" : "they were") + " still waiting in the event ring " +
                                    pszWhen;
        if (bStop) {
            // Once a stop, whatever the drops said before it.
            CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", strText.c_str());
            CSFNoticeLostAtStop(dwLeft, "web-server events left in the ring");
        } else {
            ReportDrop(kCSFLogWarning, strText);
        }
    }
    WebShmDetach();
}

int32_t CEngineApache::OnReloadPolicy(uint32_t dwArgument) {
    // The resume that follows tries afresh.
    {
        std::lock_guard<std::mutex> guard(m_ProblemLock);
        m_strRingProblem.clear();
        m_strRingLost.clear();
    }
    // The maps point at the rules the reload replaced.  The ring stays
    // open, the same objects whether or not a module holds them, so what
    // the module writes while the policy is read waits there for the
    // resume; only one lost to a cut was let go, and is opened afresh.
    m_pRuleMap.reset();
    m_pIdMap.reset();
    m_nInitialized = 0;
    m_bConfigWanted = false;
    return CEngineBase::OnReloadPolicy(dwArgument);
}

void CEngineApache::EndRingFindings() {
    m_ClassNamesBound.End();
    std::string strLostSaid;
    {
        std::lock_guard<std::mutex> guard(m_ProblemLock);
        strLostSaid.swap(m_strLostSaid);
    }
    for (std::string* pSaid : {&strLostSaid, &m_strConfigSaid}) {
        if (!pSaid->empty()) {
            CSFNoticeFindingEnded(pSaid->c_str());
            pSaid->clear();
        }
    }
}

bool CEngineApache::InputMayComeBack() {
    if (!IsEnabled()) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_ProblemLock);
    return !m_strRingLost.empty() || (m_nInitialized == 0 && !m_strRingProblem.empty());
}

int32_t CEngineApache::OnPause(uint32_t dwArgument) {
    RequestStop();
    WebShmWakeReader();
    const int32_t nResult = CEngineBase::OnPause(dwArgument);
    if (nResult == 0)
        m_bPaused = true;
    bool bLost = false;
    {
        std::lock_guard<std::mutex> guard(m_ProblemLock);
        bLost = !m_strRingLost.empty();
    }
    // A ring that could not be mapped again is let go, its thread ended,
    // so that the resume opens it afresh.
    if (nResult == 0 && bLost && m_nInitialized != 0) {
        m_pRuleMap.reset();
        m_pIdMap.reset();
        WebShmDetach();
        m_nInitialized = 0;
        m_bConfigWanted = false;
    }
    return nResult;
}

int32_t CEngineApache::OnResume(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogError, "CEngineApache::OnResume called ........");
    WebShmLockTriesOnly triesOnly;
    if (!IsEnabled()) {
        CSF_LOG(kCSFLogInfo, "Apache Component of Host Warden is DISABLED.");
        // Switched off by the reload: nothing reads the ring now.
        if (WebShmIsAttached()) {
            LetRingGo("when network monitoring was switched off");
        }
        EndRingFindings();
    } else if (Initialize() == 0) {
        CSF_TRACE(kCSFLogInfo, "Apache Component of Host Warden starting....");
        // The ring filled while the reload kept the rules from it: the
        // reload reports once it is read, with any overflow it found.
        if (IsReload(dwArgument) && WebShmIsAttached()) {
            m_CatchUp.Begin("web-server event ring");
        }
    } else {
        CSF_LOG(kCSFLogError, "Error in initializing Apache Component of Host Warden.");
    }
    m_bPaused = false;
    return CEngineBase::OnResume(dwArgument);
}
