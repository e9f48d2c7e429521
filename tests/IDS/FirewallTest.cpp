#include "IDS/Firewall/Firewall.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "Common/InputBounds.h"

#include "IDS/TestClock.h"

namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

fwrule Rule(uint32_t dwEventId, bool bAllow, uint32_t dwPort, std::initializer_list<fwslot> slots) {
    fwrule rule;
    rule.eventID = dwEventId;
    rule.allow = bAllow ? 1 : 0;
    rule.dport = dwPort;
    for (const fwslot& slot : slots) {
        rule.ip[rule.numIPs++] = slot;
    }
    return rule;
}

FwRuleTable Table(std::initializer_list<fwrule> rules) {
    FwRuleTable table;
    table.Resize(static_cast<uint16_t>(rules.size()));
    uint16_t i = 0;
    for (const fwrule& rule : rules) {
        table.rules[i++] = rule;
    }
    return table;
}

class FirewallTest : public ::testing::Test {
protected:
    FirewallTest() { CFirewall::ResetSharedState(); }
    ~FirewallTest() override { CFirewall::ResetSharedState(); }

    ScopedTestClock m_Clock;
    CFirewall m_Firewall;
    const fwrule* m_pRule = nullptr;
};

TEST_F(FirewallTest, ZeroMaskNamesOneHostInTheIpTableButMatchesAllElsewhere) {
    m_Firewall.SetIPRules(Table({Rule(1000, false, 0, {{Ip(10, 0, 0, 5), 0}})}));
    m_Firewall.SetICMPRules(Table({Rule(1001, false, 0, {{Ip(10, 0, 0, 5), 0}})}));
    EXPECT_TRUE(m_Firewall.IsBlockIPPacket(Ip(10, 0, 0, 5), m_pRule));
    ASSERT_NE(nullptr, m_pRule);
    EXPECT_EQ(1000u, m_pRule->eventID);
    EXPECT_FALSE(m_Firewall.IsBlockIPPacket(Ip(10, 0, 0, 6), m_pRule));
    EXPECT_EQ(nullptr, m_pRule);
    // 10.0.0.5 & 0 is never 10.0.0.5: the slot matches nothing.
    EXPECT_FALSE(m_Firewall.IsBlockICMPPacket(Ip(10, 0, 0, 5), m_pRule));

    m_Firewall.SetICMPRules(Table({Rule(1002, false, 0, {{0, 0}})}));
    EXPECT_TRUE(m_Firewall.IsBlockICMPPacket(Ip(203, 0, 113, 9), m_pRule));
    EXPECT_EQ(1002u, m_pRule->eventID);
}

TEST_F(FirewallTest, AllowRuleBlocksUnlistedSourcesOnItsPortOnly) {
    m_Firewall.SetTCPRules(Table({Rule(1003, true, 80, {{Ip(10, 0, 0, 0), 0xFF000000u}})}));
    EXPECT_TRUE(m_Firewall.IsBlockTCPPacket(Ip(192, 168, 1, 1), 80, m_pRule));
    EXPECT_EQ(1003u, m_pRule->eventID);
    EXPECT_FALSE(m_Firewall.IsBlockTCPPacket(Ip(10, 1, 2, 3), 80, m_pRule));
    EXPECT_FALSE(m_Firewall.IsBlockTCPPacket(Ip(192, 168, 1, 1), 25, m_pRule));
    EXPECT_EQ(nullptr, m_pRule);
    // The UDP table is its own: empty, it decides nothing.
    EXPECT_FALSE(m_Firewall.IsBlockUDPPacket(Ip(192, 168, 1, 1), 80, m_pRule));
}

TEST_F(FirewallTest, DynamicBlockOverridesStaticAllowForIpOnly) {
    const uint32_t dwAttacker = Ip(10, 9, 9, 9);
    const FwRuleTable allow = Table({Rule(1004, true, 0, {{Ip(10, 0, 0, 0), 0xFF000000u}})});
    m_Firewall.SetIPRules(allow);
    m_Firewall.SetTCPRules(allow);
    m_Firewall.SetDynamicRule(dwAttacker, 30);
    EXPECT_TRUE(m_Firewall.IsBlockIPPacket(dwAttacker, m_pRule));
    EXPECT_EQ(nullptr, m_pRule);
    EXPECT_FALSE(m_Firewall.IsBlockTCPPacket(dwAttacker, 22, m_pRule));
    // Undecided by static rules, the dynamic block decides.
    EXPECT_TRUE(m_Firewall.IsBlockUDPPacket(dwAttacker, 53, m_pRule));
}

TEST_F(FirewallTest, DynamicBlockLastsExactlyItsPeriodAndZeroPeriodBlocksNothing) {
    const uint32_t dwAttacker = Ip(198, 51, 100, 7);
    m_Firewall.SetDynamicRule(dwAttacker, 0);
    EXPECT_FALSE(m_Firewall.IsBlockIPPacket(dwAttacker, m_pRule));
    m_Firewall.SetDynamicRule(dwAttacker, 30);
    m_Clock.Advance(30);
    EXPECT_TRUE(m_Firewall.IsBlockIPPacket(dwAttacker, m_pRule));
    m_Clock.Advance(1);
    EXPECT_FALSE(m_Firewall.IsBlockIPPacket(dwAttacker, m_pRule));
}

TEST_F(FirewallTest, FullTableAndLocalAddressesRecordNoNewBlock) {
    InputBounds::Instance().ForgetForTest();
    CFirewall::AddLocalAddress(Ip(192, 0, 2, 1), "eth0");
    m_Firewall.SetDynamicRule(Ip(192, 0, 2, 1), 60);
    EXPECT_FALSE(m_Firewall.IsBlockIPPacket(Ip(192, 0, 2, 1), m_pRule));
    for (uint32_t i = 1; i <= CFirewall::kDynamicRules; ++i) {
        m_Firewall.SetDynamicRule(Ip(203, 0, 113, i), 60);
    }
    EXPECT_TRUE(m_Firewall.IsBlockIPPacket(Ip(203, 0, 113, 50), m_pRule));
    EXPECT_TRUE(InputBounds::Instance().Describe().empty()) << "the host's own address is no block left out";
    m_Firewall.SetDynamicRule(Ip(203, 0, 113, 51), 60);
    EXPECT_FALSE(m_Firewall.IsBlockIPPacket(Ip(203, 0, 113, 51), m_pRule));
    // The block the full table could not hold is said and counted.
    EXPECT_EQ((std::vector<std::string>{"Bound reached: network intruders: dynamic block table of 50 addresses; "
                                        "1 block left out"}),
              InputBounds::Instance().Describe());
    // Expired blocks make room again.
    m_Clock.Advance(61);
    m_Firewall.SetDynamicRule(Ip(203, 0, 113, 51), 60);
    EXPECT_TRUE(m_Firewall.IsBlockIPPacket(Ip(203, 0, 113, 51), m_pRule));
    EXPECT_EQ(1u, InputBounds::Instance().Describe().size());
}

TEST_F(FirewallTest, StaleSlaveKeepsLongerSharedBlockAndReplacesShorterOne) {
    CFirewall other;
    const uint32_t dwAttacker = Ip(198, 51, 100, 20);
    other.SetDynamicRule(dwAttacker, 60);
    // This firewall's copy predates the other slave's block.
    m_Firewall.SetDynamicRule(dwAttacker, 30);
    auto entries = [&] {
        uint32_t dwCount = 0;
        uint32_t dwPeriod = 0;
        for (uint32_t i = 0; i < CFirewall::kDynamicRules; ++i) {
            if (m_Firewall.GetDynamicRules()[i].address == dwAttacker) {
                ++dwCount;
                dwPeriod = m_Firewall.GetDynamicRules()[i].blockPeriod;
            }
        }
        return std::make_pair(dwCount, dwPeriod);
    };
    EXPECT_EQ(std::make_pair(1u, 60u), entries());

    CFirewall third;
    third.SetDynamicRule(Ip(198, 51, 100, 21), 10);  // moves the generation on
    m_Firewall.SetDynamicRule(dwAttacker, 120);
    EXPECT_EQ(std::make_pair(1u, 120u), entries());
}

TEST_F(FirewallTest, InconsistentConfigurationTableIsRefusedAndSlotsAreBounded) {
    auto pSource = fireconf::Make(kFwProtocolTCP, 1);
    ASSERT_TRUE(pSource);
    pSource->num_entries = 2;  // claims more rules than it holds
    FwRuleTable table = Table({Rule(1, false, 0, {})});
    EXPECT_FALSE(FireconfToFwrules(table, *pSource, "eth0", "TCP"));
    EXPECT_EQ(0u, table.num_entries);

    pSource->num_entries = 1;
    fwconfrule& rule = pSource->entries[0];
    rule.eventID = 1005;
    rule.dport = 23;
    rule.allow = 7;
    rule.numIPs = 200;
    rule.ip[0] = {Ip(10, 0, 0, 0), 0xFF000000u, {0, 0}};
    ASSERT_TRUE(FireconfToFwrules(table, *pSource, "eth0", "TCP"));
    ASSERT_EQ(1u, table.num_entries);
    EXPECT_EQ(23u, table.rules[0].dport);
    EXPECT_EQ(1u, table.rules[0].allow);
    EXPECT_EQ(kFwMaxAddresses, table.rules[0].numIPs);
    EXPECT_EQ(Ip(10, 0, 0, 0), table.rules[0].ip[0].address);
}

}  // namespace
