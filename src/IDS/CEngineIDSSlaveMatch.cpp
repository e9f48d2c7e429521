// Match handling of the IDS slave: from a signature match or a Bastion rule
// hit to an alert record on the master's queue, with the blocking the
// event's configuration asks for.

#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "Common/AgentEventInfoDefault.h"
#include "Common/AlertTypes.h"
#include "Common/InputBounds.h"
#include "IDS/CEngineIDSSlave.h"
#include "IDS/IDSClock.h"
#include "IDS/IDSEventQueue.h"
#include "IDS/IDSRule.h"
#include "IDS/SlaveRuleMaps.h"
#include "qorCSFLib/CSFLog.h"
#include "qorPacketLogLib/qorPacketLog.h"
#include "rawpacket/Address.h"

namespace {

// The first FindConfig of the process dumps the configuration map.
std::atomic<uint32_t> g_dwFindConfigCalls{1};

constexpr const char* kFloodNames[] = {"IP_PingOfDeath_Jolt2", "IP_PingOfDeath_Jolt"};

int32_t AlertTypeOf(uint32_t dwProtocol) {
    switch (dwProtocol) {
        case 1: return kAlertSuspiciousICMP;
        case 6: return kAlertSuspiciousTCP;
        case 17: return kAlertSuspiciousUDP;
        default: return kAlertSuspiciousNetworkActivity;
    }
}

std::string Dotted(uint32_t dwAddress) { return rp::IpAddress(dwAddress, true).toString(); }

void DumpConfigMap(const char* pszAdapter, const CIDSConfig::ConfigMap& map) {
    CSF_TRACE(kCSFLogInfo, "%s: m_pMapIDSConfig", pszAdapter);
    for (const auto& [name, pEntry] : map) {
        if (pEntry == nullptr) {
            CSF_TRACE(kCSFLogInfo, "m_pMapIDSConfig entry pconfig NULL ptr");
            continue;
        }
        CSF_TRACE(kCSFLogInfo, "%s Entry: %s enabled %d response %x", pszAdapter, name.c_str(),
                  static_cast<int32_t>(pEntry->enabled), pEntry->response);
        if (pEntry->response != 0) {
            CSF_TRACE(kCSFLogInfo, "Entry response_ip.num_ips %d response_ip.allow %d",
                      pEntry->response_ip.num_ips, pEntry->response_ip.allow);
            for (uint32_t i = 0; i < kFwMaxAddresses; ++i) {
                CSF_TRACE(kCSFLogInfo, "Response_ip [%d] ip=%x : mask=%x", static_cast<int32_t>(i),
                          pEntry->response_ip.ip[i].address, pEntry->response_ip.ip[i].mask);
            }
        }
    }
    CSF_TRACE(kCSFLogInfo,
              map.count("Land_Attack") != 0 ? "FOUND MapIDSConfig entry EventName %s"
                                             : "NOT FOUND MapIDSConfig entry EventName %s",
              "Land_Attack");
}

}  // namespace

const char* CEngineIDSSlave::FindEventName(uint32_t dwIssueId) const {
    const IssueNameMap& names = SlaveRuleMaps::Get().issueNames;
    auto it = names.find(static_cast<int32_t>(dwIssueId));
    return it != names.end() ? it->second.c_str() : nullptr;
}

const IDSConfigEntry* CEngineIDSSlave::FindConfig(const std::string& strEventName) {
    CSF_TRACE(kCSFLogInfo, "%s: FindConfig EventName %s", m_strAdapterName.c_str(),
              strEventName.c_str());
    const CIDSConfig::ConfigMap* pMap =
        m_pIDSConfig != nullptr ? m_pIDSConfig->GetConfigMap(false) : nullptr;
    if (g_dwFindConfigCalls.fetch_add(1) == 1 && pMap != nullptr && IsDebugLoggingEnabled()) {
        DumpConfigMap(m_strAdapterName.c_str(), *pMap);
    }
    if (pMap == nullptr) {
        CSF_TRACE(kCSFLogInfo, "Config map null");
        return nullptr;
    }
    auto it = pMap->find(strEventName);
    if (it == pMap->end()) {
        CSF_TRACE(kCSFLogInfo, "No match for eventname found set to NULL %s", strEventName.c_str());
        return nullptr;
    }
    CSF_TRACE(kCSFLogInfo, "Got match for event name %s", strEventName.c_str());
    return it->second;
}

CIDSRule* CEngineIDSSlave::FindRule(const std::string& strEventName) const {
    CSF_TRACE(kCSFLogInfo, "%s: FindRule EventName %s", m_strAdapterName.c_str(),
              strEventName.c_str());
    const IDSRuleMap& rules = SlaveRuleMaps::Get().idsRules;
    auto it = rules.find(strEventName);
    return it != rules.end() ? it->second : nullptr;
}

void CEngineIDSSlave::HandleFloodAttack(const std::string& strEventName, uint32_t, uint32_t,
                                        uint32_t, uint32_t dwPeriod) {
    if (!m_bFloodProtection) {
        return;
    }
    for (const char* pszFlood : kFloodNames) {
        if (strEventName == pszFlood) {
            CSF_TRACE(kCSFLogInfo, "Handling flood attack %s for %d seconds\n", pszFlood,
                      static_cast<int32_t>(dwPeriod));
            return;
        }
    }
}

bool CEngineIDSSlave::IsInResponseList(const IDSResponseIP& list, uint32_t dwIntruder,
                                       const char* pszWho) {
    const uint32_t nSlots = list.num_ips < kFwMaxAddresses ? list.num_ips : kFwMaxAddresses;
    for (uint32_t i = 0; i < nSlots; ++i) {
        const fwaddrslot& slot = list.ip[i];
        CSF_TRACE(kCSFLogInfo, "%saddr %x mask %x ip %x", pszWho, slot.address, slot.mask,
                  dwIntruder);
        if ((dwIntruder & slot.mask) == slot.address) {
            CSF_TRACE(kCSFLogInfo, "found entry for %s%x in response list", pszWho, dwIntruder);
            return true;
        }
    }
    return false;
}

void CEngineIDSSlave::FillEventInfo(AgentEventInfo& record, const EventParameter* pParams,
                                    uint32_t dwProtocol, uint32_t dwIntruder,
                                    uint32_t dwIntruderPort, uint32_t dwVictim,
                                    uint32_t dwVictimPort, uint32_t dwEventId, bool bTraceParams) {
    for (uint32_t i = 0; pParams != nullptr && i < kMaxEventParameters && pParams[i].name[0] != '\0';
         ++i) {
        if (bTraceParams) {
            CSF_TRACE(kCSFLogInfo, "%d: %s=%s", static_cast<int32_t>(i), pParams[i].name,
                      pParams[i].value);
        }
        record.AddInfoPair(pParams[i].name, pParams[i].value);
    }
    record.m_dwIANAProtocolId = dwProtocol;
    record.m_bIANAProtocolIdSet = true;
    record.SetAlertType(AlertTypeOf(dwProtocol));
    record.m_dwSourceAddress = rp::toNetworkOrder(dwIntruder, true);
    record.m_bSourceAddressSet = true;
    record.m_dwDestinationAddress = rp::toNetworkOrder(dwVictim, true);
    record.m_bDestinationAddressSet = true;
    record.m_nSourcePort = static_cast<int32_t>(dwIntruderPort & 0xFFFF);
    record.m_nDestinationPort = static_cast<int32_t>(dwVictimPort & 0xFFFF);
    record.m_dwEventId = dwEventId;
    CSF_TRACE(kCSFLogInfo,
              "EventInfo - SetSrcIP %x, SetDstIP %x,SetSrcPort %d,SetDstPort %d ,SetEventID %d, "
              "NonSequitur %d",
              record.m_dwSourceAddress, record.m_dwDestinationAddress, record.m_nSourcePort,
              record.m_nDestinationPort, static_cast<int32_t>(dwEventId), m_bNonSequitur ? 1 : 0);
}

void CEngineIDSSlave::OnMatch(uint32_t dwIssueId, const char* pszEventName, uint32_t dwVictim,
                              uint32_t dwIntruder, uint32_t dwVictimPort, uint32_t dwIntruderPort,
                              uint32_t dwFlags, uint32_t, uint32_t dwProtocol,
                              const EventParameter* pParams) {
    const char* pszAdapter = m_strAdapterName.c_str();
    m_bNonSequitur = (dwFlags & 0x1000) != 0;
    const std::string strGiven = pszEventName != nullptr ? pszEventName : "";
    if (!strGiven.empty()) {
        m_strEventName = strGiven;
    } else {
        const char* pszMapped = FindEventName(dwIssueId);
        m_strEventName = pszMapped != nullptr ? pszMapped : "";
    }
    m_pCurrentConfig = FindConfig(m_strEventName);
    if (m_pCurrentConfig == nullptr) {
        CSF_TRACE(kCSFLogInfo, "%s: Config data not found for reported event %s", pszAdapter,
                  strGiven.c_str());
        return;
    }
    WriteEvidence();
    const int32_t nPeriod = DynamicBlockPeriod;
    HandleFloodAttack(m_strEventName, dwIntruder, dwIntruderPort, dwProtocol,
                      static_cast<uint32_t>(nPeriod > 0 ? nPeriod : 0));

    bool bDynamicBlock = false;
    const uint32_t dwResponse = m_pCurrentConfig->response;
    if ((dwResponse & kIDSResponseDynamicBlock) != 0 && nPeriod > 0) {
        m_dwLastDynamicBlock = dwIntruder;
        m_pFirewall->SetDynamicRule(dwIntruder, static_cast<uint32_t>(nPeriod));
        if (IsDebugLoggingEnabled()) {
            CSF_TRACE(kCSFLogInfo, "set Dynamic Block for intruder_ip=%s",
                      Dotted(dwIntruder).c_str());
        }
        m_pFrame->setBlocked(true);
        bDynamicBlock = true;
    } else if ((dwResponse & kIDSResponseBlockList) != 0) {
        CSF_TRACE(kCSFLogInfo, "intruder_ip %x in response list", dwIntruder);
        // A consistent copy: the host may be replacing the list right now.
        IDSResponseIP list;
        m_pIDSConfig->GetResponseIP(*m_pCurrentConfig, list);
        CSF_TRACE(kCSFLogInfo, "intruder_ip %x in response list with %d entries", dwIntruder,
                  list.num_ips);
        m_bFoundConfigEntry = IsInResponseList(list, dwIntruder, "");
        CSF_TRACE(kCSFLogInfo, " Allow = %d , m_foundConfigEntry=%d", list.allow,
                  m_bFoundConfigEntry ? 1 : 0);
        if ((list.allow != 0) != m_bFoundConfigEntry) {
            m_pFrame->setBlocked(true);
            if (IsDebugLoggingEnabled()) {
                CSF_TRACE(kCSFLogInfo,
                          "set Block for intruder_ip=%s (response_ip->allow=%d,foundConfigEntry=%d)",
                          Dotted(dwIntruder).c_str(), list.allow, m_bFoundConfigEntry ? 1 : 0);
            }
        }
    }
    if (m_bConsolidation) {
        CSF_TRACE(kCSFLogInfo, "leaving");
        return;
    }
    CIDSRule* pRule = FindRule(m_strEventName);
    if (pRule == nullptr) {
        CSF_LOG(kCSFLogError, "%s: Rule object not found for reported event %s issueId %d",
                pszAdapter, strGiven.c_str(), static_cast<int32_t>(dwIssueId));
        return;
    }
    pRule->Filter(dwIntruder, dwVictim, dwIntruderPort, dwVictimPort, m_bFiltered, m_bNonFiltered);
    if (m_bFiltered) {
        CSF_TRACE(kCSFLogInfo, "This event has been filtered - leaving OnMatch for Interface %s..",
                  pszAdapter);
        return;
    }
    m_pCurrentRecord = new (std::nothrow) AgentEventInfoDefault(pRule, 0);
    if (m_pCurrentRecord == nullptr) {
        return;
    }
    FillEventInfo(*m_pCurrentRecord, pParams, dwProtocol, dwIntruder, dwIntruderPort, dwVictim,
                  dwVictimPort, dwIssueId, false);
    if (m_pFrame->blocked()) {
        m_pCurrentRecord->AddInfoPair("VulnStatus", bDynamicBlock ? "49" : "10");
    }
    if (!LogEvent(m_pCurrentRecord)) {
        delete m_pCurrentRecord;
    }
    m_pCurrentRecord = nullptr;
    CSF_TRACE(kCSFLogInfo, "leaving");
}

void CEngineIDSSlave::OnCoalescerCallback(uint32_t dwIssueId, const char* pszEventName,
                                          uint32_t dwVictim, uint32_t dwIntruder,
                                          uint32_t dwVictimPort, uint32_t dwIntruderPort,
                                          uint32_t, uint32_t, uint32_t dwProtocol,
                                          const EventParameter* pParams) {
    const char* pszAdapter = m_strAdapterName.c_str();
    const std::string strGiven = pszEventName != nullptr ? pszEventName : "";
    std::string strName = strGiven;
    if (strName.empty()) {
        const char* pszMapped = FindEventName(dwIssueId);
        strName = pszMapped != nullptr ? pszMapped : "";
    }
    const IDSConfigEntry* pConfig = FindConfig(strName);
    if (pConfig == nullptr) {
        CSF_LOG(kCSFLogError, "%s: Config data not found for reported event %s", pszAdapter,
                strGiven.c_str());
        return;
    }
    const int32_t nPeriod = DynamicBlockPeriod;
    const uint32_t dwPeriod = static_cast<uint32_t>(nPeriod > 0 ? nPeriod : 0);
    HandleFloodAttack(strName, dwIntruder, dwIntruderPort, dwProtocol, dwPeriod);

    bool bBlocked = false;
    bool bDynamic = false;
    if ((pConfig->response & kIDSResponseDynamicBlock) != 0 && dwPeriod > 0) {
        bBlocked = bDynamic = true;
    } else if ((pConfig->response & kIDSResponseBlockList) != 0) {
        CSF_TRACE(kCSFLogInfo, "Coalesced Event intruder_ip %x in response list", dwIntruder);
        IDSResponseIP list;
        m_pIDSConfig->GetResponseIP(*pConfig, list);
        const bool bFound = IsInResponseList(list, dwIntruder, "Coalesced ");
        bBlocked = (list.allow != 0) != bFound;
        if (bBlocked) {
            CSF_TRACE(kCSFLogInfo,
                      "set Block for Coalesced Event intruder_ip=%x "
                      "(response_ip->allow=%d,foundConfigEntry=%d)",
                      dwIntruder, list.allow, bFound ? 1 : 0);
        } else {
            CSF_TRACE(kCSFLogInfo, "set Allow for Coalesced Event intruder_ip=%x", dwIntruder);
        }
    }
    CIDSRule* pRule = FindRule(strName);
    if (pRule == nullptr) {
        CSF_LOG(kCSFLogError, "%s: Rule data not found for reported issueId=%d Name=%s",
                pszAdapter, static_cast<int32_t>(dwIssueId), strGiven.c_str());
        CSF_TRACE(kCSFLogInfo, "leaving");
        return;
    }
    bool bFiltered = false;
    bool bNonFiltered = false;
    pRule->Filter(dwIntruder, dwVictim, dwIntruderPort, dwVictimPort, bFiltered, bNonFiltered);
    if (bFiltered) {
        CSF_TRACE(kCSFLogInfo, "%s: Leaving %s with Return Value %d....", pszAdapter,
                  "OnCoalescerCallback", 1);
        return;
    }
    auto* pRecord = new (std::nothrow) AgentEventInfoDefault(pRule, 0);
    if (pRecord == nullptr) {
        return;
    }
    FillEventInfo(*pRecord, pParams, dwProtocol, dwIntruder, dwIntruderPort, dwVictim,
                  dwVictimPort, dwIssueId, true);
    if (bBlocked) {
        pRecord->AddInfoPair("VulnStatus", bDynamic ? "49" : "10");
    }
    if (!LogEvent(pRecord)) {
        delete pRecord;
    }
    CSF_TRACE(kCSFLogInfo, "leaving");
}

void CEngineIDSSlave::ProcessBastionEvent(const ParsedFrameInfo& frame, uint32_t dwEventId,
                                          const char* pszDetail, uint32_t dwProtocol) {
    const char* pszAdapter = m_strAdapterName.c_str();
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::ProcessBastionEvent called.... eventId %d",
              pszAdapter, static_cast<int32_t>(dwEventId));
    const FWRuleMap& rules = SlaveRuleMaps::Get().fwRules;
    auto it = rules.find(static_cast<int32_t>(dwEventId));
    if (it == rules.end() || it->second == nullptr) {
        CSF_TRACE(kCSFLogInfo, "%s: BastionEvent NOT FOUND for eventId %d", pszAdapter,
                  static_cast<int32_t>(dwEventId));
        return;
    }
    CIDSRule* pRule = it->second;
    bool bFiltered = false;
    bool bNonFiltered = false;
    pRule->Filter(frame.srcAddress, frame.dstAddress, frame.srcPort, frame.dstPort, bFiltered,
                  bNonFiltered);
    CSF_TRACE(kCSFLogInfo,
              "event Propogation parameters after calling...SrcIP :%d, DestIP :%d,SPort %d "
              "DPort:%d,filtered:%d,nonfiltered %d",
              static_cast<int32_t>(frame.srcAddress), static_cast<int32_t>(frame.dstAddress),
              static_cast<int32_t>(frame.srcPort), static_cast<int32_t>(frame.dstPort),
              bFiltered ? 1 : 0, bNonFiltered ? 1 : 0);
    if (bFiltered || bNonFiltered) {
        return;
    }
    auto* pRecord = new (std::nothrow) AgentEventInfoDefault(pRule, 0);
    if (pRecord == nullptr) {
        CSF_TRACE(kCSFLogInfo, "%s: BastionEvent: could not allocate memory!", pszAdapter);
        return;
    }
    pRecord->m_dwIANAProtocolId = dwProtocol;
    pRecord->m_bIANAProtocolIdSet = true;
    pRecord->SetAlertType(AlertTypeOf(dwProtocol));
    pRecord->AddInfoPair("Detail", pszDetail != nullptr ? pszDetail : "");
    pRecord->m_dwSourceAddress = rp::toNetworkOrder(frame.srcAddress, true);
    pRecord->m_bSourceAddressSet = true;
    pRecord->m_dwDestinationAddress = rp::toNetworkOrder(frame.dstAddress, true);
    pRecord->m_bDestinationAddressSet = true;
    pRecord->m_nSourcePort = static_cast<int32_t>(frame.srcPort & 0xFFFF);
    pRecord->m_nDestinationPort = static_cast<int32_t>(frame.dstPort & 0xFFFF);
    pRecord->m_dwEventId = dwEventId;
    if (m_pFrame->blocked()) {
        pRecord->AddInfoPair("VulnStatus", "10");
    }
    if (!LogEvent(pRecord)) {
        delete pRecord;
    }
}

void CEngineIDSSlave::WriteEvidence() {
    if (!m_bEvidenceLogging || !m_pEvidenceLog) {
        return;
    }
    // As the packet log: on, closed, and tried again.
    if (!m_pEvidenceLog->Write(m_pFrame->packet()) && m_pEvidenceLog->FailureBegan()) {
        CSF_LOG(kCSFLogError,
                "%s: Failed to write frame to evidence log -- disabling evidence logging until it can be written "
                "again: it is tried once a second, and goes on in the same file",
                m_strAdapterName.c_str());
    }
}

bool CEngineIDSSlave::LogEvent(AgentEventInfo* pRecord) {
    if (m_pQueue == nullptr) {
        CSF_TRACE(kCSFLogInfo, "see timestamp to your left : About to call LogEvent");
        ExecuteResponses(pRecord);
        CSF_TRACE(kCSFLogInfo,
                  "use timestamp to your left to calculate duration: Finished calling LogEvent");
        return true;
    }
    bool bAccepted = m_pQueue->Push(pRecord);
    const bool bDelayed = !bAccepted;
    if (bDelayed) {
        bAccepted = PushAfterRefusal(pRecord);
    }
    if (!bAccepted) {
        ++m_dwQueueFailure;
        m_qwQueueFailures.fetch_add(1, std::memory_order_relaxed);
        // Said at once and counted for the summaries, not only in the
        // minute's line, which comes with the next record, if ever.
        m_QueueBound.LeftOut([&]() -> InputBound& {
            return InputBounds::Instance().Bound("adapter " + m_strAdapterName,
                                                 "alert queue of " + std::to_string(m_pQueue->GetCapacity()),
                                                 "alerts");
        });
    } else {
        ++m_dwQueueSuccess;
        if (bDelayed) {
            ++m_dwQueueDelay;
        }
    }
    ReportQueueCounts();
    return bAccepted;
}

bool CEngineIDSSlave::PushAfterRefusal(AgentEventInfo* pRecord) {
    int64_t tWaitFrom = IDSNow();
    m_bWaitingForRoom.store(true);
    for (uint32_t nPushes = 1;; ++nPushes) {
        if (m_bEnding.load()) {
            m_bWaitingForRoom.store(false);
            // The master's thread may have ended already; it takes what
            // its queue holds once the slaves have.
            return m_pQueue->PushPastCapacity(pRecord);
        }
        if (!m_bRecordedInput && nPushes >= kMaxQueuePushes) {
            Sleep(kQueueRetryMs);
            m_bWaitingForRoom.store(false);
            return false;
        }
        Sleep(m_bRecordedInput ? kReplayRetryMs : kQueueRetryMs);
        DiscountWait(tWaitFrom);
        if (m_pQueue->Push(pRecord)) {
            m_bWaitingForRoom.store(false);
            return true;
        }
    }
}

void CEngineIDSSlave::DiscountWait(int64_t& tFrom) {
    const int64_t tNow = IDSNow();
    if (tNow <= tFrom) {
        return;
    }
    // Only this slave's capture thread sets the start; elsewhere it is 0.
    const int64_t tStart = m_tReceiveStart.load(std::memory_order_seq_cst);
    if (tStart > 0) {
        m_tReceiveStart.store(tStart + (tNow - tFrom), std::memory_order_seq_cst);
    }
    tFrom = tNow;
}

void CEngineIDSSlave::ReportQueueCounts() {
    const int64_t tNow = IDSNow();
    if (tNow - m_tQueueReport < kQueueReportSeconds) {
        return;
    }
    if (m_dwQueueFailure > 0) {
        CSF_LOG(kCSFLogWarning,
                "IDSSlave %s: %d Success (%d Delay) and %d Failure to Q events in last minute",
                m_strAdapterName.c_str(), static_cast<int32_t>(m_dwQueueSuccess),
                static_cast<int32_t>(m_dwQueueDelay), static_cast<int32_t>(m_dwQueueFailure));
    } else {
        CSF_TRACE(kCSFLogInfo,
                  "IDSSlave %s: %d Success (%d Delay) and %d Failure to Q events in last minute",
                  m_strAdapterName.c_str(), static_cast<int32_t>(m_dwQueueSuccess),
                  static_cast<int32_t>(m_dwQueueDelay), static_cast<int32_t>(m_dwQueueFailure));
    }
    m_tQueueReport = tNow;
    m_dwQueueSuccess = m_dwQueueDelay = m_dwQueueFailure = 0;
}
