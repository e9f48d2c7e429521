#pragma once
// The packet firewall of one slave: static rules per protocol, copied from
// the IDS configuration, and dynamic blocks of attacking addresses kept in
// one table shared by all slaves and mirrored into each slave's own copy.
// A firewall is used only on its slave's capture thread; only the shared
// table is locked, and a copy is taken only when the shared table has
// changed since the last one.  Checks allocate nothing.

#include <cstdint>
#include <memory>
#include <string>

#include "Common/InputBounds.h"
#include "IDS/Firewall/FireConf.h"

// One static rule as a firewall checks it.
struct fwslot {
    uint32_t address;
    uint32_t mask;
};

struct fwrule {
    uint32_t eventID = 0;
    uint32_t dport = 0;     // 0 matches every port
    uint8_t allow = 0;      // 1: the slots list the allowed addresses
    uint8_t report = 0;     // 1: report only
    uint16_t numIPs = 0;
    fwslot ip[kFwMaxAddresses]{};
};

// A protocol's static rules; assignment copies the rules.
class FwRuleTable {
public:
    FwRuleTable() = default;
    FwRuleTable(const FwRuleTable& other) { *this = other; }
    FwRuleTable& operator=(const FwRuleTable& other);

    // Room for `wCount` fresh rules; false when it cannot be had (the table
    // is then empty).
    bool Resize(uint16_t wCount);

    uint16_t num_entries = 0;
    std::unique_ptr<fwrule[]> rules;
};

// A dynamic block; address 0 marks a free slot.
struct DynamicRule {
    uint32_t address;
    uint32_t timestamp;
    uint32_t blockPeriod;
};

// Fills `dest` from the configuration table: rules beyond 65,535 and
// address slots beyond 15 are not taken, ports only for TCP and UDP.
// Traces each rule and slot with the slave's name and the label.  False
// when the source names more rules than it has room for or the destination
// cannot be sized (the destination is then empty).
bool FireconfToFwrules(FwRuleTable& dest, const fireconf& source, const char* pszSlave,
                       const char* pszLabel);

// "a.b.c.d", first octet first, into the caller's buffer.
const char* IPv4ToText(uint32_t dwAddress, char (&szText)[16]);
std::string IPv4ToText(uint32_t dwAddress);

class CFirewall {
public:
    static constexpr uint32_t kDynamicRules = 50;
    static constexpr uint32_t kLocalAddresses = 40;

    CFirewall();
    ~CFirewall();
    CFirewall(const CFirewall&) = delete;
    CFirewall& operator=(const CFirewall&) = delete;

    bool SetIPRules(const FwRuleTable& table);
    bool SetICMPRules(const FwRuleTable& table);
    bool SetTCPRules(const FwRuleTable& table);
    bool SetUDPRules(const FwRuleTable& table);

    // True blocks the packet.  `pRule` is the static rule that decided, or
    // null when a dynamic block or nothing decided.  Only the IP check
    // refreshes this firewall's copy of the dynamic blocks and consults them
    // after a static allow.
    bool IsBlockIPPacket(uint32_t dwAddress, const fwrule*& pRule);
    bool IsBlockICMPPacket(uint32_t dwAddress, const fwrule*& pRule);
    bool IsBlockTCPPacket(uint32_t dwAddress, uint32_t dwPort, const fwrule*& pRule);
    bool IsBlockUDPPacket(uint32_t dwAddress, uint32_t dwPort, const fwrule*& pRule);

    // Blocks the address for `dwPeriod` seconds in the shared table (0 does
    // nothing); a live block at least as long, set by another slave, is
    // kept.  The host's own addresses are never blocked.  A block that
    // finds the table full of live blocks is not recorded: that is said
    // and counted as the table's bound.
    void SetDynamicRule(uint32_t dwAddress, uint32_t dwPeriod);

    // One of the host's addresses, never to be blocked dynamically; more
    // than 40 are ignored.
    static void AddLocalAddress(uint32_t dwAddress, const char* pszName);

    // Empties the shared table and the local address list, for a network
    // side started afresh in the same process.
    static void ResetSharedState();

    void DumpStaticIPRules() const;
    void DumpStaticICMPRules() const;
    void DumpStaticTCPRules() const;
    void DumpStaticUDPRules() const;
    void DumpDynamicRules(uint32_t dwCount) const;
    static void DumpSharedDynamicRules(uint32_t dwCount);

    // This firewall's copy of the shared table.
    const DynamicRule* GetDynamicRules() const { return m_dynamicRules; }

private:
    bool IsBlockPortPacket(const char* pszLabel, const FwRuleTable& table, uint32_t dwAddress,
                           uint32_t dwPort, const fwrule*& pRule);
    bool IsBlockXXPacket(uint32_t dwAddress);
    void SynchLocalDynamicRules();
    // SetDynamicRule under the shared-table lock; false when the block
    // could not be recorded for want of a free entry.
    bool SetSharedDynamicRule(uint32_t dwAddress, uint32_t dwPeriod);
    // Copies the shared table; the caller holds the shared-table lock.
    void TakeSharedCopy();
    static bool IsExpired(uint32_t dwTimestamp, uint32_t dwPeriod);
    static bool SearchSharedDynamicRule(uint32_t dwAddress, uint32_t dwPeriod);
    static void RefreshDynamicRules(DynamicRule* pTable);
    // False when the table had no free entry for the address.
    static bool AddDynamicRule(DynamicRule* pTable, uint32_t dwAddress, uint32_t dwPeriod);

    bool m_bShared = true;
    DynamicRule m_dynamicRules[kDynamicRules]{};
    // The shared table's bound, once a block found it full.
    InputBoundHandle m_BlockBound;
    uint32_t m_dwGeneration = 0;
    FwRuleTable m_IPRules;
    FwRuleTable m_ICMPRules;
    FwRuleTable m_TCPRules;
    FwRuleTable m_UDPRules;
};
