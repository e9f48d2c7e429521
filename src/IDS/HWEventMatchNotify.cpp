#include "IDS/HWEventMatchNotify.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "Common/InputBounds.h"
#include "IDS/CEngineIDSSlave.h"
#include "qorCSFLib/CSFLog.h"
#include "qorZamSensorLib/IZamSensor.h"
#include "qorZamSensorLib/qorZamSensorMgr.h"
#include "rawpacket/Address.h"

namespace {

// The consolidation notice is written once per process, by whichever slave
// asks first.
std::atomic<bool> g_bFirstCoalescerQuery{true};

// Reports type 4 carry no trustworthy source at all, 7 no source port.
// The entries every match gets after its text's: victim address and port,
// intruder address and port, issue id, repeat count.
constexpr size_t kFixedEntries = 6;
constexpr size_t kMaxTextItems = CEngineIDSSlave::kMaxEventParameters - kFixedEntries;
constexpr uint32_t kReportNoSource = 4;
constexpr uint32_t kReportNoSourcePort = 7;

std::string DottedAddress(uint32_t dwAddress) { return rp::IpAddress(dwAddress, true).toString(); }

void SetEntry(EventParameter& entry, std::string_view name, std::string_view value) {
    const size_t nName = std::min(name.size(), EventParameter::kNameSize - 1);
    const size_t nValue = std::min(value.size(), EventParameter::kValueSize - 1);
    std::memcpy(entry.name, name.data(), nName);
    entry.name[nName] = '\0';
    std::memcpy(entry.value, value.data(), nValue);
    entry.value[nValue] = '\0';
}

std::unique_ptr<ParsedFrameInfo> CopyFrame(const ParsedFrameInfo& frame) {
    return std::unique_ptr<ParsedFrameInfo>(new (std::nothrow) ParsedFrameInfo(frame));
}

}  // namespace

HWEventMatchNotify::HWEventMatchNotify() {
    CSF_TRACE(kCSFLogInfo, "Create ZAM event notification interface");
}

void HWEventMatchNotify::EnableCoalescer(bool bEnable) {
    IZamCoalescer* pCoalescer = m_pSlave != nullptr ? m_pSlave->GetCoalescer() : nullptr;
    if (pCoalescer == nullptr) {
        return;
    }
    pCoalescer->SetParameter("combine", bEnable ? "on" : "off");
    m_bCoalescerEnabled = bEnable;
}

bool HWEventMatchNotify::IsCoalescerEnabled() {
    if (g_bFirstCoalescerQuery.exchange(false)) {
        if (m_bCoalescerEnabled) {
            CSF_LOG(kCSFLogInfo,
                    "The Advanced Event Consolidation feature has been enabled. In order to prevent "
                    "flooding of the management console, certain types of events will be "
                    "consolidated; thus expect slight delays for event responses to be executed.");
        } else {
            CSF_LOG(kCSFLogInfo,
                    "The Advanced Event Consolidation feature has been disabled. The detected "
                    "events will not be merged which can result in high number of events being "
                    "generated.");
        }
    }
    return m_bCoalescerEnabled;
}

int32_t HWEventMatchNotify::OnParsedIp(uint32_t dwSource, uint32_t dwDestination,
                                       uint32_t dwValue3, uint32_t dwValue4) {
    if (m_pSlave == nullptr) {
        return 1;
    }
    ParsedFrameInfo& frame = m_pSlave->GetParsedFrameInfo();
    frame.protocol = 0;
    frame.srcAddress = dwSource;
    frame.dstAddress = dwDestination;
    frame.value3 = dwValue3;
    frame.value4 = dwValue4;
    return m_pSlave->CheckInputFilterIP() > 0 ? 0 : 1;
}

int32_t HWEventMatchNotify::OnParsedIcmp(uint32_t dwType, uint32_t dwCode, uint32_t dwValue3,
                                         uint32_t dwValue4) {
    CSF_TRACE(kCSFLogInfo, "OnParsedIcmp called");
    return OnParsedTransport(1, dwType, dwCode, dwValue3, dwValue4);
}

int32_t HWEventMatchNotify::OnParsedTcp(uint32_t dwSourcePort, uint32_t dwDestinationPort,
                                        uint32_t dwValue3, uint32_t dwValue4) {
    CSF_TRACE(kCSFLogInfo, "OnParsedTcp called");
    return OnParsedTransport(6, dwSourcePort, dwDestinationPort, dwValue3, dwValue4);
}

int32_t HWEventMatchNotify::OnParsedUdp(uint32_t dwSourcePort, uint32_t dwDestinationPort,
                                        uint32_t dwValue3, uint32_t dwValue4) {
    CSF_TRACE(kCSFLogInfo, "OnParsedUdp called");
    return OnParsedTransport(17, dwSourcePort, dwDestinationPort, dwValue3, dwValue4);
}

int32_t HWEventMatchNotify::OnParsedTransport(uint32_t dwProtocol, uint32_t dwFirst,
                                              uint32_t dwSecond, uint32_t dwValue3,
                                              uint32_t dwValue4) {
    if (m_pSlave == nullptr) {
        return 1;
    }
    ParsedFrameInfo& frame = m_pSlave->GetParsedFrameInfo();
    frame.protocol = dwProtocol;
    frame.srcPort = dwFirst;
    frame.dstPort = dwSecond;
    frame.value3 = dwValue3;
    frame.value4 = dwValue4;
    switch (dwProtocol) {
        case 1: return m_pSlave->CheckInputFilterICMP() > 0 ? 0 : 1;
        case 6: return m_pSlave->CheckInputFilterTcp() != 0 ? 0 : 1;
        default: return m_pSlave->CheckInputFilterUdp() > 0 ? 0 : 1;
    }
}

int32_t HWEventMatchNotify::OnParsedRpc(uint32_t, uint32_t dw2, uint32_t dw3, uint32_t dw4,
                                        uint32_t, uint32_t) {
    if (m_pSlave != nullptr) {
        ParsedFrameInfo& frame = m_pSlave->GetParsedFrameInfo();
        frame.rpc2 = dw2;
        frame.rpc3 = dw3;
        frame.rpc4 = dw4;
        frame.rpcSeen = 1;
    }
    return 1;
}

int32_t HWEventMatchNotify::OnReassembledIp(uint32_t dw1, uint32_t dw2) {
    if (m_pSlave != nullptr) {
        ParsedFrameInfo& frame = m_pSlave->GetParsedFrameInfo();
        frame.reassembled2 = dw2;
        frame.reassembled1 = dw1;
    }
    return 1;
}

int32_t HWEventMatchNotify::OnUserDefined(uint32_t, uint32_t) {
    CSF_TRACE(kCSFLogInfo, "OnUserDefined called");
    return 0;
}

void HWEventMatchNotify::OnMacReporting(const uint8_t* pSource, const uint8_t* pDestination) {
    if (m_pSlave == nullptr || pSource == nullptr || pDestination == nullptr) {
        return;
    }
    ParsedFrameInfo& frame = m_pSlave->GetParsedFrameInfo();
    // Every frame passes here: formatting "%02X-%02X-..." by snprintf cost
    // more than the rest of the frame's analysis.
    auto format = [](char (&text)[ParsedFrameInfo::kMacTextSize], const uint8_t* mac) {
        static_assert(ParsedFrameInfo::kMacTextSize >= 18);
        constexpr char kDigits[] = "0123456789ABCDEF";
        for (size_t i = 0; i < 6; ++i) {
            text[i * 3] = kDigits[mac[i] >> 4];
            text[i * 3 + 1] = kDigits[mac[i] & 0x0F];
            text[i * 3 + 2] = i < 5 ? '-' : '\0';
        }
    };
    format(frame.szSrcMac, pSource);
    format(frame.szDstMac, pDestination);
    frame.bMacSeen = true;
}

void HWEventMatchNotify::Interpret(uint32_t dwVictim, uint32_t dwIntruder, uint32_t dwVictimPort,
                                   uint32_t dwIntruderPort, uint32_t dwFlags,
                                   uint32_t dwPacketFlags, uint32_t dwReportType,
                                   MatchInterpretation& interp) {
    qorZamSensorMgr* pMgr = m_pSlave != nullptr ? m_pSlave->GetZamSensorMgr() : nullptr;
    if (pMgr != nullptr) {
        pMgr->EventInterpret(dwVictim, dwIntruder, dwVictimPort, dwIntruderPort, dwFlags,
                             dwPacketFlags, dwReportType, interp.Words());
    }
}

void HWEventMatchNotify::CopyInterpretation(ParsedFrameInfo& frame,
                                            const MatchInterpretation& interp,
                                            uint32_t dwReportType) {
    frame.srcAddress = dwReportType == kReportNoSource ? 0 : interp.srcAddress;
    frame.dstAddress = interp.dstAddress;
    frame.srcPort = 0;
    frame.dstPort = 0;
    if (interp.ethertype == MatchInterpretation::kEthertypeIPv4) {
        frame.protocol = interp.protocol;
        if (interp.protocol == 1) {
            frame.srcPort = interp.icmpType;
            frame.dstPort = interp.icmpCode;
        } else if (interp.protocol == 6 || interp.protocol == 17) {
            const bool bNoSourcePort =
                dwReportType == kReportNoSource || dwReportType == kReportNoSourcePort;
            frame.srcPort = bNoSourcePort ? 0 : interp.srcPort;
            frame.dstPort = interp.dstPort;
        }
    } else if (interp.ethertype == MatchInterpretation::kEthertypeARP) {
        frame.protocol = 255;
    }
}

std::unique_ptr<EventParameter[]> HWEventMatchNotify::BuildEventParameters(
    uint32_t dwIssueId, const char* pszParams, uint32_t dwVictim, uint32_t dwIntruder,
    uint32_t dwVictimPort, uint32_t dwIntruderPort, uint32_t dwCount) {
    CSF_TRACE(kCSFLogInfo, "parms [%s]", pszParams != nullptr ? pszParams : "NULL");
    const std::string_view text = pszParams != nullptr ? pszParams : "";
    // The alert takes the first 50 entries: the text's items leave room for
    // the fixed entries, so a text of many items can neither push them out
    // nor make a block of its own size for every match.
    const size_t nItems = std::min<size_t>(std::count(text.begin(), text.end(), ',') + 1, kMaxTextItems);
    std::unique_ptr<EventParameter[]> pBlock(new (std::nothrow) EventParameter[nItems + kFixedEntries + 1]);
    if (!pBlock) {
        return nullptr;
    }
    size_t n = 0;
    uint64_t qwLeftOut = 0;
    for (size_t start = 0; start <= text.size() && !text.empty();) {
        size_t end = text.find(',', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view item = text.substr(start, end - start);
        const size_t eq = item.find('=');
        if (eq != std::string_view::npos && eq > 0 && eq + 1 < item.size()) {
            if (n < kMaxTextItems) {
                SetEntry(pBlock[n++], item.substr(0, eq), item.substr(eq + 1));
            } else {
                ++qwLeftOut;
            }
        }
        start = end + 1;
    }
    if (qwLeftOut != 0) {
        InputBounds::Instance()
            .Bound("the signature module's matches", std::to_string(kMaxTextItems) + " parameters of a match",
                   "parameters")
            .LeftOut(qwLeftOut);
    }
    SetEntry(pBlock[n++], "victim-ip-addr", DottedAddress(dwVictim));
    if (dwVictimPort != 0) {
        SetEntry(pBlock[n++], "victim-port", std::to_string(static_cast<int32_t>(dwVictimPort)));
    }
    SetEntry(pBlock[n++], "intruder-ip-addr", DottedAddress(dwIntruder));
    if (dwIntruderPort != 0) {
        SetEntry(pBlock[n++], "intruder-port",
                 std::to_string(static_cast<int32_t>(dwIntruderPort)));
    }
    SetEntry(pBlock[n++], "algorithm-id", std::to_string(static_cast<int32_t>(dwIssueId)));
    if (dwCount > 1) {
        SetEntry(pBlock[n++], "repeat-count", std::to_string(static_cast<int32_t>(dwCount)));
    }
    SetEntry(pBlock[n], "", "");
    return pBlock;
}

std::unique_ptr<EventParameter[]> HWEventMatchNotify::InterpretAndBuild(
    ParsedFrameInfo& frame, uint32_t dwIssueId, const char* pszParams, uint32_t dwCount,
    uint32_t dwFlags, uint32_t dwVictim, uint32_t dwIntruder, uint32_t dwVictimPort,
    uint32_t dwIntruderPort, uint32_t dwPacketFlags, uint32_t dwReportType) {
    MatchInterpretation interp;
    Interpret(dwVictim, dwIntruder, dwVictimPort, dwIntruderPort, dwFlags, dwPacketFlags,
              dwReportType, interp);
    CopyInterpretation(frame, interp, dwReportType);
    const bool bIcmp =
        interp.ethertype == MatchInterpretation::kEthertypeIPv4 && interp.protocol == 1;
    return BuildEventParameters(dwIssueId, pszParams, dwVictim, dwIntruder,
                                bIcmp ? 0 : dwVictimPort, bIcmp ? 0 : dwIntruderPort, dwCount);
}

void HWEventMatchNotify::OnMatch(uint32_t dwIssueId, const char* pszEventName, uint32_t dwCount,
                                 uint32_t dwFlags, uint32_t dwVictim, uint32_t dwIntruder,
                                 uint32_t dwVictimPort, uint32_t dwIntruderPort,
                                 uint32_t dwPacketFlags, const char* pszParams, void* pUserData,
                                 uint32_t dwReportType) {
    if (IsDebugLoggingEnabled()) {
        CSF_TRACE(kCSFLogInfo,
                  "MN OnMatch... id=%d EventName=%s cnt=%d flags=%x victim_ip=%s intruder_ip=%s "
                  "victim_port=%d intruder_port=%d pflags=%d parms %s userData %s ReportType=%d",
                  static_cast<int32_t>(dwIssueId), pszEventName != nullptr ? pszEventName : "",
                  static_cast<int32_t>(dwCount), dwFlags, DottedAddress(dwVictim).c_str(),
                  DottedAddress(dwIntruder).c_str(), static_cast<int32_t>(dwVictimPort),
                  static_cast<int32_t>(dwIntruderPort), static_cast<int32_t>(dwPacketFlags),
                  pszParams != nullptr ? "present" : "NULL",
                  pUserData != nullptr ? "present" : "NULL", static_cast<int32_t>(dwReportType));
    }
    if (m_pSlave == nullptr) {
        return;
    }
    std::unique_ptr<ParsedFrameInfo> pCopy = CopyFrame(m_pSlave->GetParsedFrameInfo());
    if (pCopy) {
        const uint32_t dwMatchProtocol = pCopy->protocol;
        if (m_bCoalescerEnabled) {
            IZamCoalescer* pCoalescer = m_pSlave->GetCoalescer();
            std::unique_ptr<CoalescerEventData> pRecord(
                new (std::nothrow) CoalescerEventData(dwIssueId, pszEventName, std::move(pCopy)));
            bool bTaken = false;
            if (pRecord && pCoalescer != nullptr) {
                // The groups are aged on the same clock (the capture loop).
                const int64_t tNow = m_pSlave->GetConsolidationTime();
                CSF_TRACE(kCSFLogInfo, "MN OnMatch Passing %d %s protocol %d to Coalescer",
                          static_cast<int32_t>(dwIssueId),
                          pszEventName != nullptr ? pszEventName : "",
                          static_cast<int32_t>(dwMatchProtocol));
                bTaken = pCoalescer->Process(static_cast<uint32_t>(tNow), dwIssueId, dwCount,
                                             dwFlags, dwVictim, dwIntruder, dwVictimPort,
                                             dwIntruderPort, dwReportType, dwPacketFlags,
                                             pszParams, pRecord.get()) != 0;
            }
            if (bTaken) {
                pRecord.release();  // the coalescer gives it back in its callback
            } else {
                // A record the coalescer did not take is still ours: its
                // frame copy serves the direct report below.
                if (pRecord) {
                    pCopy = std::move(pRecord->m_pFrame);
                }
                m_bCoalescerEnabled = false;
                m_pSlave->SetConsolidationEnabled(false);
                CSF_LOG(kCSFLogError,
                        "Failed to pass event to Advanced Event Consolidation. The Advanced Event "
                        "Consolidation feature has now been disabled, which means detected events "
                        "will not be merged and which can result in high number of events being "
                        "generated.");
            }
        }
        if (!m_bCoalescerEnabled) {
            std::unique_ptr<EventParameter[]> pParams;
            if (pCopy) {
                pParams = InterpretAndBuild(*pCopy, dwIssueId, pszParams, dwCount, dwFlags,
                                            dwVictim, dwIntruder, dwVictimPort, dwIntruderPort,
                                            dwPacketFlags, dwReportType);
            }
            m_pSlave->OnMatch(dwIssueId, pszEventName, dwVictim, dwIntruder, dwVictimPort,
                              dwIntruderPort, dwFlags, dwPacketFlags, dwMatchProtocol,
                              pParams.get());
        } else {
            m_pSlave->OnMatch(dwIssueId, pszEventName, dwVictim, dwIntruder, dwVictimPort,
                              dwIntruderPort, dwFlags, dwPacketFlags, dwMatchProtocol, nullptr);
        }
    }
    CSF_TRACE(kCSFLogInfo, "MN OnMatch ...leaving");
}

void HWEventMatchNotify::OnCoalescerCallback(uint32_t dwStart, uint32_t dwEnd,
                                             uint32_t dwIssueId, uint32_t dwCount,
                                             uint32_t dwFlags, uint32_t dwVictim,
                                             uint32_t dwVictim2, uint32_t dwIntruder,
                                             uint32_t dwVictimPort, uint32_t dwIntruderPort,
                                             uint32_t dwReportType, uint32_t dwPacketFlags,
                                             const char* pszParams, uint32_t dwRecordCount,
                                             void** ppRecords) {
    if (IsDebugLoggingEnabled()) {
        CSF_TRACE(kCSFLogInfo,
                  "MN OnCoalescerCallback... s=%d e=%d id=%d cnt=%d flags=%d victim_ip=%s "
                  "victim_ip2=%s intruder_ip=%s victim_port=%d intruder_port=%d pflags=%d "
                  "ReportType=%d parms %s uDataCnt=%d uData %s",
                  static_cast<int32_t>(dwStart), static_cast<int32_t>(dwEnd),
                  static_cast<int32_t>(dwIssueId), static_cast<int32_t>(dwCount),
                  static_cast<int32_t>(dwFlags), DottedAddress(dwVictim).c_str(),
                  DottedAddress(dwVictim2).c_str(), DottedAddress(dwIntruder).c_str(),
                  static_cast<int32_t>(dwVictimPort), static_cast<int32_t>(dwIntruderPort),
                  static_cast<int32_t>(dwPacketFlags), static_cast<int32_t>(dwReportType),
                  pszParams != nullptr ? "present" : "NULL", static_cast<int32_t>(dwRecordCount),
                  ppRecords != nullptr ? "present" : "NULL");
        CSF_TRACE(kCSFLogInfo, "MN OnCoalescerCallback parms=[%s]",
                  pszParams != nullptr ? pszParams : "NULL");
    }
    if (ppRecords != nullptr && dwRecordCount > 0) {
        CoalescerEventData* pRecord = nullptr;
        for (uint32_t i = 0; i < dwRecordCount && pRecord == nullptr; ++i) {
            auto* pCandidate = static_cast<CoalescerEventData*>(ppRecords[i]);
            if (pCandidate != nullptr && pCandidate->m_dwIssueId == dwIssueId) {
                pRecord = pCandidate;
            }
        }
        if (pRecord == nullptr) {
            pRecord = static_cast<CoalescerEventData*>(ppRecords[dwRecordCount - 1]);
        }
        if (pRecord != nullptr && pRecord->m_pFrame && m_pSlave != nullptr) {
            ParsedFrameInfo& frame = *pRecord->m_pFrame;
            std::unique_ptr<EventParameter[]> pParams =
                InterpretAndBuild(frame, dwIssueId, pszParams, dwCount, dwFlags, dwVictim,
                                  dwIntruder, dwVictimPort, dwIntruderPort, dwPacketFlags,
                                  dwReportType);
            CSF_TRACE(kCSFLogInfo, "OnCoalescerCallback for issueId %d EventName %s protocol %d",
                      static_cast<int32_t>(dwIssueId), pRecord->m_strEventName.c_str(),
                      static_cast<int32_t>(frame.protocol));
            m_pSlave->OnCoalescerCallback(dwIssueId, pRecord->m_strEventName.c_str(), dwVictim,
                                          dwIntruder, dwVictimPort, dwIntruderPort, dwFlags,
                                          dwPacketFlags, frame.protocol, pParams.get());
        }
        for (uint32_t i = 0; i < dwRecordCount; ++i) {
            delete static_cast<CoalescerEventData*>(ppRecords[i]);
            ppRecords[i] = nullptr;
        }
    }
    CSF_TRACE(kCSFLogInfo, "MN OnCoalescerCallback ...leaving");
}
