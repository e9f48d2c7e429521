#include "IDS/Firewall/Firewall.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "Common/InputBounds.h"
#include "IDS/IDSClock.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/jsFastLock.h"
#include "qorToolsLib/jsSync.h"

namespace {

constexpr uint32_t kDetail = 0x1009;

struct LocalAddress {
    char szName[64];
    uint32_t address;
};

// What all slaves share: the dynamic blocks, their generation and the
// host's own addresses, under one lock.  The generation is read without the
// lock on every IP check.
struct SharedFirewallState {
    jsFastSync lock;
    DynamicRule rules[CFirewall::kDynamicRules]{};
    std::atomic<uint32_t> generation{0};
    LocalAddress locals[CFirewall::kLocalAddresses]{};
    uint32_t localCount = 0;
};

SharedFirewallState& Shared() {
    static SharedFirewallState state;
    return state;
}

enum class Verdict { kNone, kAllow, kBlock };

struct WalkResult {
    Verdict verdict = Verdict::kNone;
    const fwrule* pRule = nullptr;
    bool bFound = false;
};

// The first rule that decides, in table order.  In the IP table a mask of 0
// names one host; elsewhere it matches every address.
WalkResult WalkStaticRules(const FwRuleTable& table, uint32_t dwAddress, bool bPorts,
                           uint32_t dwPort, bool bZeroMaskIsHost) {
    WalkResult result;
    for (uint16_t i = 0; i < table.num_entries; ++i) {
        const fwrule& rule = table.rules[i];
        if (bPorts && rule.dport != 0 && rule.dport != dwPort) {
            continue;
        }
        bool bFound = false;
        const uint16_t wSlots = std::min<uint16_t>(rule.numIPs, kFwMaxAddresses);
        for (uint16_t s = 0; s < wSlots && !bFound; ++s) {
            uint32_t dwMask = rule.ip[s].mask;
            if (bZeroMaskIsHost && dwMask == 0) {
                dwMask = 0xFFFFFFFFu;
            }
            bFound = rule.ip[s].address == (dwMask & dwAddress);
        }
        if (rule.allow != 0) {
            result.verdict = bFound ? Verdict::kAllow : Verdict::kBlock;
        } else if (bFound) {
            result.verdict = Verdict::kBlock;
        } else {
            CSF_TRACE(kDetail, "%s Rule ( NOT ALLOW)%d . IP not found = %d", "Static", i, 1);
            continue;
        }
        result.pRule = &rule;
        result.bFound = bFound;
        return result;
    }
    return result;
}

void DumpStaticRules(const char* pszLabel, const char* pszEntries, const FwRuleTable& table,
                     bool bPorts) {
    if (!IsDebugLoggingEnabled()) {
        return;
    }
    CSF_TRACE(kDetail, "%s: [%d Firewall Rules]\n", pszLabel, table.num_entries);
    for (uint16_t i = 0; i < table.num_entries; ++i) {
        CSF_TRACE(kDetail, "%s: Firewall Rule [%d] contains [%d] %s\n", pszLabel, i,
                  table.rules[i].numIPs, pszEntries);
    }
    CSF_TRACE(kDetail, "%s: Dumping each Firewall rule\n", pszLabel);
    for (uint16_t i = 0; i < table.num_entries; ++i) {
        const fwrule& rule = table.rules[i];
        const char* pszType = rule.allow != 0 ? "Allow" : "Block";
        const char* pszReport = rule.report != 0 ? "Yes" : "No";
        if (bPorts) {
            CSF_TRACE(kDetail,
                      "\tFirewall Rule[%d]: eventID(%d), type(%s), reportOnly(%s), destPort(%u) \n",
                      i, rule.eventID, pszType, pszReport, rule.dport);
        } else {
            CSF_TRACE(kDetail, "\tFirewall Rule[%d]: eventID(%d), type(%s), reportOnly(%s) \n", i,
                      rule.eventID, pszType, pszReport);
        }
        for (uint16_t s = 0; s < std::min<uint16_t>(rule.numIPs, kFwMaxAddresses); ++s) {
            CSF_TRACE(kDetail, "\t\tIP slot[%d]: IP(%u:%#X), SubnetMask (%u:%#X)\n", s,
                      rule.ip[s].address, rule.ip[s].address, rule.ip[s].mask, rule.ip[s].mask);
        }
    }
}

void DumpDynamic(const char* pszName, const DynamicRule* pTable, uint32_t dwCount) {
    for (uint32_t i = 0; i < std::min(dwCount, CFirewall::kDynamicRules); ++i) {
        CSF_TRACE(kDetail, "%s[%d]: address(%u:%#X), timestamp(%u), blockPeriod(%u)\n", pszName, i,
                  pTable[i].address, pTable[i].address, pTable[i].timestamp, pTable[i].blockPeriod);
    }
}

}  // namespace

FwRuleTable& FwRuleTable::operator=(const FwRuleTable& other) {
    if (this == &other) {
        return *this;
    }
    if (!Resize(other.num_entries)) {
        return *this;
    }
    std::copy(other.rules.get(), other.rules.get() + other.num_entries, rules.get());
    return *this;
}

bool FwRuleTable::Resize(uint16_t wCount) {
    rules.reset();
    num_entries = 0;
    if (wCount == 0) {
        return true;
    }
    rules.reset(new (std::nothrow) fwrule[wCount]);
    if (!rules) {
        return false;
    }
    num_entries = wCount;
    return true;
}

bool FireconfToFwrules(FwRuleTable& dest, const fireconf& source, const char* pszSlave,
                       const char* pszLabel) {
    const bool bPorts = source.protocol == kFwProtocolTCP || source.protocol == kFwProtocolUDP;
    if (source.num_entries > source.capacity || (source.num_entries != 0 && source.entries == nullptr)) {
        dest.Resize(0);
        return false;
    }
    const uint16_t wCount = static_cast<uint16_t>(std::min<uint32_t>(source.num_entries, 0xFFFF));
    if (!dest.Resize(wCount)) {
        return false;
    }
    for (uint16_t i = 0; i < wCount; ++i) {
        const fwconfrule& from = source.entries[i];
        fwrule& to = dest.rules[i];
        to.eventID = from.eventID;
        to.dport = bPorts ? from.dport : 0;
        to.report = from.report != 0 ? 1 : 0;
        to.allow = from.allow != 0 ? 1 : 0;
        to.numIPs = std::min<uint16_t>(from.numIPs, kFwMaxAddresses);
        if (bPorts) {
            CSF_TRACE(kDetail, "%s: %s fwrule[%d] event[%d] dport[%d] report[%d] allow[%d] numIPs[%d]",
                      pszSlave, pszLabel, i, to.eventID, to.dport, to.report, to.allow, to.numIPs);
        } else {
            CSF_TRACE(kDetail, "%s: %s fwrule[%d] eventID[%d] report[%d] allow[%d] numIPs[%d]",
                      pszSlave, pszLabel, i, to.eventID, to.report, to.allow, to.numIPs);
        }
        for (uint16_t s = 0; s < to.numIPs; ++s) {
            to.ip[s].address = from.ip[s].address;
            to.ip[s].mask = from.ip[s].mask;
            CSF_TRACE(kDetail, bPorts ? "%s: %s fwnumIPs[%d] address[%d] mask[%d]"
                                      : "%s:%s fwnumIPs[%d] address[%d] mask[%d]",
                      pszSlave, pszLabel, s, to.ip[s].address, to.ip[s].mask);
        }
    }
    return true;
}

const char* IPv4ToText(uint32_t dwAddress, char (&szText)[16]) {
    std::snprintf(szText, sizeof szText, "%u.%u.%u.%u", (dwAddress >> 24) & 0xFF,
                  (dwAddress >> 16) & 0xFF, (dwAddress >> 8) & 0xFF, dwAddress & 0xFF);
    return szText;
}

std::string IPv4ToText(uint32_t dwAddress) {
    char szText[16];
    return IPv4ToText(dwAddress, szText);
}

CFirewall::CFirewall() = default;

CFirewall::~CFirewall() = default;

bool CFirewall::SetIPRules(const FwRuleTable& table) {
    m_IPRules = table;
    return true;
}

bool CFirewall::SetICMPRules(const FwRuleTable& table) {
    m_ICMPRules = table;
    return true;
}

bool CFirewall::SetTCPRules(const FwRuleTable& table) {
    m_TCPRules = table;
    return true;
}

bool CFirewall::SetUDPRules(const FwRuleTable& table) {
    m_UDPRules = table;
    return true;
}

bool CFirewall::IsBlockIPPacket(uint32_t dwAddress, const fwrule*& pRule) {
    char szAddress[16];
    CSF_TRACE(kDetail, "Enter IsBlockIPPacket");
    pRule = nullptr;
    SynchLocalDynamicRules();
    const WalkResult result = WalkStaticRules(m_IPRules, dwAddress, false, 0, true);
    if (result.verdict == Verdict::kBlock) {
        if (result.bFound) {
            CSF_TRACE(kDetail, "CFirewall::IsBlockIPPacket found IP %s in static block rule %d",
                      IPv4ToText(dwAddress, szAddress), result.pRule->eventID);
        }
        CSF_TRACE(kDetail, "CFirewall::IsBlockIPPacket IP %s Rule !ALLOW or IP not found, hence Block",
                  IPv4ToText(dwAddress, szAddress));
        pRule = result.pRule;
        return true;
    }
    if (result.verdict == Verdict::kAllow) {
        CSF_TRACE(kDetail, "CFirewall::IsBlockIPPacket ALLOW found IP %s in static block rule %d",
                  IPv4ToText(dwAddress, szAddress), result.pRule->eventID);
    } else {
        CSF_TRACE(kDetail, "CFirewall::IsBlockIPPacket did not find any Static Rules set up");
    }
    if (IsBlockXXPacket(dwAddress)) {
        return true;
    }
    CSF_TRACE(kDetail, "CFirewall::IsBlockIPPacket  do NOT Block Packet");
    return false;
}

bool CFirewall::IsBlockICMPPacket(uint32_t dwAddress, const fwrule*& pRule) {
    CSF_TRACE(kDetail, "Entering ISBlockICMPPacket");
    pRule = nullptr;
    const WalkResult result = WalkStaticRules(m_ICMPRules, dwAddress, false, 0, false);
    if (result.verdict == Verdict::kBlock) {
        pRule = result.pRule;
        return true;
    }
    if (result.verdict == Verdict::kAllow) {
        return false;
    }
    if (IsBlockXXPacket(dwAddress)) {
        return true;
    }
    CSF_TRACE(kDetail, "Leave IsBlockICMPPacket");
    return false;
}

bool CFirewall::IsBlockTCPPacket(uint32_t dwAddress, uint32_t dwPort, const fwrule*& pRule) {
    return IsBlockPortPacket("TCP Packet", m_TCPRules, dwAddress, dwPort, pRule);
}

bool CFirewall::IsBlockUDPPacket(uint32_t dwAddress, uint32_t dwPort, const fwrule*& pRule) {
    return IsBlockPortPacket("UDP Packet", m_UDPRules, dwAddress, dwPort, pRule);
}

bool CFirewall::IsBlockPortPacket(const char* pszLabel, const FwRuleTable& table,
                                  uint32_t dwAddress, uint32_t dwPort, const fwrule*& pRule) {
    pRule = nullptr;
    const WalkResult result = WalkStaticRules(table, dwAddress, true, dwPort, false);
    if (result.verdict == Verdict::kAllow) {
        CSF_TRACE(kDetail, "%s Allow Rule:Do Not Block Packet", pszLabel);
        return false;
    }
    if (result.verdict == Verdict::kBlock) {
        CSF_TRACE(kDetail, "%s Return True/Block", pszLabel);
        pRule = result.pRule;
        return true;
    }
    return IsBlockXXPacket(dwAddress);
}

bool CFirewall::IsBlockXXPacket(uint32_t dwAddress) {
    if (dwAddress == 0) {
        return false;
    }
    for (uint32_t i = 0; i < kDynamicRules; ++i) {
        DynamicRule& rule = m_dynamicRules[i];
        if (rule.address != dwAddress) {
            continue;
        }
        if (IsDebugLoggingEnabled()) {
            char szAddress[16];
            CSF_TRACE(kDetail, "CFirewall::IsBlockXXPacket Check dynamic rule %d for Address %s", i,
                      IPv4ToText(dwAddress, szAddress));
        }
        if (!IsExpired(rule.timestamp, rule.blockPeriod)) {
            CSF_TRACE(kDetail, "CFirewall::IsBlockXXPacket  Block Packet");
            return true;
        }
        rule = DynamicRule{};
    }
    return false;
}

bool CFirewall::IsExpired(uint32_t dwTimestamp, uint32_t dwPeriod) {
    const uint32_t dwNow = static_cast<uint32_t>(IDSNow());
    const bool bExpired =
        static_cast<int32_t>(dwNow - dwTimestamp) > static_cast<int32_t>(dwPeriod);
    CSF_TRACE(kDetail, bExpired ? "CFirewall::IsExpired.. Expired"
                                : "CFirewall::IsExpired.. Not Expired yet");
    return bExpired;
}

void CFirewall::SynchLocalDynamicRules() {
    CSF_TRACE(kDetail, "SynchLocalDynamicRules start");
    SharedFirewallState& shared = Shared();
    if (m_dwGeneration != shared.generation.load(std::memory_order_acquire)) {
        jsFastLock guard(shared.lock, true);
        TakeSharedCopy();
    }
    CSF_TRACE(kDetail, "SynchLocalDynamicRules end");
}

void CFirewall::TakeSharedCopy() {
    SharedFirewallState& shared = Shared();
    std::memcpy(m_dynamicRules, shared.rules, sizeof m_dynamicRules);
    m_dwGeneration = shared.generation.load(std::memory_order_relaxed);
}

void CFirewall::SetDynamicRule(uint32_t dwAddress, uint32_t dwPeriod) {
    CSF_TRACE(kDetail, "Entering Set Dynamic Rule");
    if (dwPeriod == 0) {
        CSF_TRACE(kDetail, "Bail out-Dynamic Block NOT active");
        return;
    }
    SharedFirewallState& shared = Shared();
    bool bRecorded = true;
    {
        jsFastLock guard(shared.lock, true);
        bRecorded = SetSharedDynamicRule(dwAddress, dwPeriod);
    }
    if (!bRecorded) {
        // Said outside the table's lock, which every slave's checks take.
        m_BlockBound.LeftOut([]() -> InputBound& {
            return InputBounds::Instance().Bound(
                "network intruders", "dynamic block table of " + std::to_string(kDynamicRules) + " addresses",
                "blocks");
        });
    }
}

bool CFirewall::SetSharedDynamicRule(uint32_t dwAddress, uint32_t dwPeriod) {
    SharedFirewallState& shared = Shared();
    CSF_TRACE(kDetail, "Entering Set Dynamic Rule Lock region");
    if (m_dwGeneration != shared.generation.load(std::memory_order_relaxed)) {
        CSF_TRACE(kDetail, "#1 else");
        if (SearchSharedDynamicRule(dwAddress, dwPeriod)) {
            CSF_TRACE(kDetail, "#2 IF");
            TakeSharedCopy();
            CSF_TRACE(kDetail, "return from SetDynamicRule");
            return true;
        }
        CSF_TRACE(kDetail, "#2 else");
    } else {
        CSF_TRACE(kDetail, "#1 IF");
    }
    RefreshDynamicRules(shared.rules);
    const bool bRecorded = AddDynamicRule(shared.rules, dwAddress, dwPeriod);
    shared.generation.fetch_add(1, std::memory_order_release);
    TakeSharedCopy();
    CSF_TRACE(kDetail, "return from SetDynamicRule");
    return bRecorded;
}

bool CFirewall::SearchSharedDynamicRule(uint32_t dwAddress, uint32_t dwPeriod) {
    DynamicRule* pTable = Shared().rules;
    char szAddress[16];
    for (uint32_t i = 0; i < kDynamicRules; ++i) {
        DynamicRule& rule = pTable[i];
        if (rule.address == 0 || rule.address != dwAddress) {
            continue;
        }
        if (IsExpired(rule.timestamp, rule.blockPeriod)) {
            CSF_TRACE(kDetail,
                      "CFirewall::SearchSharedDynamicRule.. Expiring #%d TS:%d Period %d Address %s", i,
                      rule.timestamp, rule.blockPeriod, IPv4ToText(rule.address, szAddress));
            rule = DynamicRule{};
            continue;
        }
        if (rule.blockPeriod >= dwPeriod) {
            CSF_TRACE(kDetail,
                      "CFirewall::SearchSharedDynamicRule identified an unexpired rule - return true");
            return true;
        }
        CSF_TRACE(kDetail,
                  "CFirewall::SearchSharedDynamicRule.. rule.blockPeriod < blockPeriod Eliminating #%d "
                  "TS:%d Period %d Address %s",
                  i, rule.timestamp, rule.blockPeriod, IPv4ToText(rule.address, szAddress));
        rule = DynamicRule{};
        return false;
    }
    return false;
}

void CFirewall::RefreshDynamicRules(DynamicRule* pTable) {
    CSF_TRACE(kDetail, "CFirewall::RefreshDynamicRules..1");
    char szAddress[16];
    for (uint32_t i = 0; i < kDynamicRules; ++i) {
        DynamicRule& rule = pTable[i];
        if (rule.address != 0 && IsExpired(rule.timestamp, rule.blockPeriod)) {
            CSF_TRACE(kDetail, "CFirewall::RefreshDynamicRules.. Expiring #%d TS:%d Period %d Address %s",
                      i, rule.timestamp, rule.blockPeriod, IPv4ToText(rule.address, szAddress));
            rule = DynamicRule{};
        }
    }
}

bool CFirewall::AddDynamicRule(DynamicRule* pTable, uint32_t dwAddress, uint32_t dwPeriod) {
    if (dwAddress == 0) {
        return true;
    }
    const SharedFirewallState& shared = Shared();
    for (uint32_t i = 0; i < shared.localCount; ++i) {
        if (shared.locals[i].address == dwAddress) {
            return true;
        }
    }
    for (uint32_t i = 0; i < kDynamicRules; ++i) {
        DynamicRule& rule = pTable[i];
        if (rule.address == 0) {
            rule = DynamicRule{dwAddress, static_cast<uint32_t>(IDSNow()), dwPeriod};
            char szAddress[16];
            CSF_TRACE(kDetail, "CFirewall::SetDynamicRule.. #%d TS:%d Period %d Address %s", i,
                      rule.timestamp, rule.blockPeriod, IPv4ToText(dwAddress, szAddress));
            return true;
        }
    }
    return false;
}

void CFirewall::AddLocalAddress(uint32_t dwAddress, const char* pszName) {
    SharedFirewallState& shared = Shared();
    jsFastLock guard(shared.lock, true);
    if (shared.localCount >= kLocalAddresses) {
        return;
    }
    LocalAddress& entry = shared.locals[shared.localCount++];
    std::snprintf(entry.szName, sizeof entry.szName, "%s", pszName != nullptr ? pszName : "");
    entry.address = dwAddress;
}

void CFirewall::ResetSharedState() {
    SharedFirewallState& shared = Shared();
    jsFastLock guard(shared.lock, true);
    std::memset(shared.rules, 0, sizeof shared.rules);
    shared.localCount = 0;
    shared.generation.fetch_add(1, std::memory_order_release);
}

void CFirewall::DumpStaticIPRules() const {
    DumpStaticRules("DumpStaticIPRules", "IP entries", m_IPRules, false);
}

void CFirewall::DumpStaticICMPRules() const {
    DumpStaticRules("DumpStaticICMPRules", "ICMP entries", m_ICMPRules, false);
}

void CFirewall::DumpStaticTCPRules() const {
    DumpStaticRules("DumpStaticTCPRules", "TCP entries", m_TCPRules, true);
}

void CFirewall::DumpStaticUDPRules() const {
    DumpStaticRules("DumpStaticUDPRules", "UDP entries", m_UDPRules, true);
}

void CFirewall::DumpDynamicRules(uint32_t dwCount) const {
    DumpDynamic("m_dynamicRules", m_dynamicRules, dwCount);
}

void CFirewall::DumpSharedDynamicRules(uint32_t dwCount) {
    SharedFirewallState& shared = Shared();
    jsFastLock guard(shared.lock, true);
    DumpDynamic("m_sharedDynamicRules", shared.rules, dwCount);
}
