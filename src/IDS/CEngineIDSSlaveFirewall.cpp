// The IDS slave's firewall: the static Bastion tables copied from the IDS
// configuration, and the pass/block answers to the module's parsed-header
// callbacks.

#include <cstring>

#include "IDS/CEngineIDSSlave.h"
#include "qorCSFLib/CSFLog.h"

namespace {

struct ProtocolCheck {
    const char* pszLabel;       // table label and trace prefix
    const char* pszCheckName;   // "CheckInputFilterIP" and the like
    const char* pszDetail;      // detail text of the Bastion alert
    uint32_t dwFireconf;        // the configuration's table code
    bool bPorts;
};

const ProtocolCheck kChecks[] = {
    {"IP", "CheckInputFilterIP", "Bastion IP Inbound", kFwProtocolIP, false},
    {"ICMP", "CheckInputFilterICMP", "Bastion ICMP Inbound", kFwProtocolICMP, false},
    {"TCP", "CheckInputFilterTCP", "Bastion TCP Inbound", kFwProtocolTCP, true},
    {"UDP", "CheckInputFilterUDP", "Bastion UDP Inbound", kFwProtocolUDP, true},
};

const ProtocolCheck& CheckOf(uint32_t dwProtocol) {
    switch (dwProtocol) {
        case 1: return kChecks[1];
        case 6: return kChecks[2];
        case 17: return kChecks[3];
        default: return kChecks[0];
    }
}

constexpr uint32_t kEthernetHeader = 14;
constexpr uint8_t kTcpSyn = 0x02;
constexpr uint8_t kTcpAck = 0x10;
constexpr uint32_t kHighPortStart = 1024;

}  // namespace

bool CEngineIDSSlave::ConfigureFirewall() {
    const char* pszAdapter = m_strAdapterName.c_str();
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::ConfigureFirewall called....", pszAdapter);
    for (const ProtocolCheck& check : kChecks) {
        const fireconf* pConf =
            m_pIDSConfig != nullptr ? m_pIDSConfig->GetFireconf(check.dwFireconf) : nullptr;
        CSF_TRACE(kCSFLogInfo, "%s: %s fireconf = %p", pszAdapter, check.pszLabel,
                  static_cast<const void*>(pConf));
        FwRuleTable table;
        if (pConf != nullptr) {
            CSF_TRACE(kCSFLogInfo, "%s: %s fireconf->num_entries = %d", pszAdapter,
                      check.pszLabel, static_cast<int32_t>(pConf->num_entries));
            FireconfToFwrules(table, *pConf, pszAdapter, check.pszLabel);
        } else {
            CSF_TRACE(kCSFLogInfo, "%s: NO %s fireconf->num_entries = 0", pszAdapter,
                      check.pszLabel);
        }
        bool bResult = false;
        switch (check.dwFireconf) {
            case kFwProtocolIP: bResult = m_pFirewall->SetIPRules(table); break;
            case kFwProtocolICMP: bResult = m_pFirewall->SetICMPRules(table); break;
            case kFwProtocolTCP: bResult = m_pFirewall->SetTCPRules(table); break;
            default: bResult = m_pFirewall->SetUDPRules(table); break;
        }
        CSF_TRACE(kCSFLogInfo, "Setting Firewall Rules:: %d", bResult ? 1 : 0);
    }
    DumpFirewall();
    return true;
}

void CEngineIDSSlave::DumpFirewall() {
    if (!IsDebugLoggingEnabled()) {
        return;
    }
    CSF_TRACE(kCSFLogInfo, "Within CEngineIDSSlave::DumpFirewall");
    m_pFirewall->DumpStaticIPRules();
    m_pFirewall->DumpStaticICMPRules();
    m_pFirewall->DumpStaticTCPRules();
    m_pFirewall->DumpStaticUDPRules();
    CFirewall::DumpSharedDynamicRules(100);
    m_pFirewall->DumpDynamicRules(100);
}

int32_t CEngineIDSSlave::CheckInputFilterIP() { return CheckInputFilter(0); }
int32_t CEngineIDSSlave::CheckInputFilterICMP() { return CheckInputFilter(1); }
int32_t CEngineIDSSlave::CheckInputFilterTcp() { return CheckInputFilter(6); }
int32_t CEngineIDSSlave::CheckInputFilterUdp() { return CheckInputFilter(17); }

int32_t CEngineIDSSlave::CheckInputFilter(uint32_t dwProtocol) {
    const ProtocolCheck& check = CheckOf(dwProtocol);
    const ParsedFrameInfo& frame = *m_pParsedFrameInfo;
    CSF_TRACE(kCSFLogInfo, "%s called", check.pszCheckName);
    if (m_dwDirection == kOutbound) {
        CSF_TRACE(kCSFLogInfo, check.bPorts ? "OUTBOUND packet" : "Outbound Packet");
        return 0;
    }
    const fwrule* pRule = nullptr;
    bool bMatch = false;
    switch (dwProtocol) {
        case 1: bMatch = m_pFirewall->IsBlockICMPPacket(frame.srcAddress, pRule); break;
        case 6: bMatch = m_pFirewall->IsBlockTCPPacket(frame.srcAddress, frame.dstPort, pRule); break;
        case 17: bMatch = m_pFirewall->IsBlockUDPPacket(frame.srcAddress, frame.dstPort, pRule); break;
        default: bMatch = m_pFirewall->IsBlockIPPacket(frame.srcAddress, pRule); break;
    }
    if (!bMatch) {
        return 0;
    }
    if (dwProtocol == 6) {
        CSF_TRACE(kCSFLogInfo, "CheckInputFilterTCP:ACK Packet");
        if (m_pIDSConfig != nullptr && m_pIDSConfig->GetAllowAllAcknowledgementPackets() &&
            !IsTcpConnectionOpening() && frame.dstPort >= kHighPortStart) {
            CSF_TRACE(kCSFLogInfo, "High Port , hence allowed");
            return 0;
        }
    }
    if (pRule == nullptr) {
        CSF_TRACE(kCSFLogInfo, "%s: Dynamic Blocking", check.pszCheckName);
        m_pFrame->setBlocked(true);
        return 1;
    }
    const bool bBlock = pRule->report == 0;
    if (bBlock) {
        m_pFrame->setBlocked(true);
    }
    ProcessBastionEvent(frame, pRule->eventID, check.pszDetail, dwProtocol);
    if (bBlock) {
        CSF_TRACE(kCSFLogInfo, "%s: Blocking", check.pszCheckName);
        return 1;
    }
    return 0;
}

bool CEngineIDSSlave::IsTcpConnectionOpening() const {
    // Hostile frames may be short or not IPv4 over Ethernet at all; what
    // cannot be read counts as an opening, so the rule applies.
    const rp::PacketRecord& packet = m_pFrame->packet();
    const uint8_t* pData = packet.m_pData;
    const uint32_t dwLength = packet.m_dwCapturedLength;
    CSF_TRACE(kCSFLogInfo, "length of whole data structure is %d", static_cast<int32_t>(dwLength));
    if (pData == nullptr || dwLength < kEthernetHeader + 20) {
        return true;
    }
    if (pData[12] != 0x08 || pData[13] != 0x00 || (pData[kEthernetHeader] >> 4) != 4) {
        return true;
    }
    const uint32_t dwIpHeader = 4u * (pData[kEthernetHeader] & 0x0F);
    const uint32_t dwTcp = kEthernetHeader + dwIpHeader;
    if (dwIpHeader < 20 || dwTcp + 14 > dwLength) {
        return true;
    }
    const uint8_t bControl = pData[dwTcp + 13];
    CSF_TRACE(kCSFLogInfo, "controlBits %x ", bControl);
    return (bControl & kTcpSyn) != 0 && (bControl & kTcpAck) == 0;
}
