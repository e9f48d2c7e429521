#include "IDS/IDSRule.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Common/AlertTypes.h"
#include "Common/InputBounds.h"
#include "IDS/BastionPolicyEvent.h"
#include "IDS/PolicyFixture.h"
#include "IDS/TestClock.h"

namespace {

constexpr const char kBastionTCP[] = "\\Advanced\\Rules\\Bastion\\TCP Incoming";
constexpr const char kBastionIP[] = "\\Advanced\\Rules\\Bastion\\IP Incoming";

std::map<std::string, CIDSRule*> ByName(const RuleContainer& rules) {
    std::map<std::string, CIDSRule*> byName;
    for (Rule* pRule : rules) {
        byName[pRule->GetName()] = dynamic_cast<CIDSRule*>(pRule);
    }
    return byName;
}

class IDSRuleTest : public ::testing::Test {
protected:
    PolicyFixture m_Fixture;
};

TEST_F(IDSRuleTest, BastionRulesNeedShortNameAndAreNumberedInSectionOrder) {
    m_Fixture.AddRule(kBastionIP, "NoShort");
    m_Fixture.Set(m_Fixture.AddRule(kBastionIP, "Spoof"), "shrt", "SPF");
    const std::string strTelnet = m_Fixture.AddRule(kBastionTCP, "NoTelnet");
    m_Fixture.Set(strTelnet, "shrt", "TEL");
    m_Fixture.Set(strTelnet, "Allow", true);
    m_Fixture.Set(strTelnet, "Addresses", "10.0.0.0/8");
    m_Fixture.Set(m_Fixture.AddRule(kBastionTCP, "BadPort"), "shrt", "BAD");
    m_Fixture.Set(std::string(kBastionTCP) + "\\BadPort", "Port", 70000);

    for (int nReading = 0; nReading < 2; ++nReading) {
        auto rules = ByName(*m_Fixture.ReadAll());
        ASSERT_EQ(2u, rules.size());
        CIDSRule* pSpoof = rules["IP Incoming_Spoof"];
        CIDSRule* pTelnet = rules["TCP Incoming_NoTelnet"];
        ASSERT_NE(nullptr, pSpoof);
        ASSERT_NE(nullptr, pTelnet);
        EXPECT_EQ(1000u, pSpoof->m_dwEventId);
        EXPECT_EQ(1001u, pTelnet->m_dwEventId);
        EXPECT_EQ(kIDSRuleBastion, pTelnet->m_dwRuleKind);
        EXPECT_EQ(3u, pTelnet->m_dwProtocolType);
        EXPECT_EQ(std::string(g_szSuspiciousTCP), pTelnet->GetAlertTypeName());
        EXPECT_EQ(65535u, pTelnet->m_wPort);
        EXPECT_EQ(1u, pTelnet->m_wAllow);
        EXPECT_EQ("10.0.0.0/8", pTelnet->m_strAddresses);
        EXPECT_EQ("TEL", pTelnet->m_strShortName);
    }
    EXPECT_TRUE(m_Fixture.m_HostLog.Contains("Bastion rule TCP Incoming_BadPort: Port 70000 out of range, rule dropped\n"));
}

TEST_F(IDSRuleTest, IdsReaderRetypesHostAlertsAndReadsUserRulesOnlyWithTid) {
    const std::string strLand = m_Fixture.AddRule(PolicyFixture::kIDSTable, "Land_Attack");
    m_Fixture.Set(strLand, "Alert Type", "LoginEvent");
    m_Fixture.Set(strLand, "DynamicBlock", true);
    m_Fixture.Set(strLand, "NoiseThreshold", -4);
    const std::string strUser = "\\Advanced\\userdefinedsignatures\\Nodekeeper Rules";
    m_Fixture.Set(m_Fixture.AddRule(strUser, "NoTid"), "UseEngineDefault", 0);
    const std::string strTid = m_Fixture.AddRule(strUser, "WithTid");
    m_Fixture.Set(strTid, "TID", "42");
    m_Fixture.Set(strTid, "TValue", "depth=4");
    m_Fixture.Set(strTid, "IgnoreInterval", 60);

    auto rules = ByName(*m_Fixture.ReadAll());
    CIDSRule* pLand = rules["Land_Attack"];
    ASSERT_NE(nullptr, pLand);
    EXPECT_EQ(std::string(g_szSuspiciousNetworkActivity), pLand->GetAlertTypeName());
    EXPECT_EQ(1u, pLand->m_dwParameters[0]);
    EXPECT_EQ(-1, pLand->m_nTID);
    EXPECT_EQ(0u, pLand->m_Filter.NoiseThreshold);
    EXPECT_EQ(0u, pLand->m_Filter.OwnFilter);

    CIDSRule* pNoTid = rules["NoTid"];
    ASSERT_NE(nullptr, pNoTid);
    EXPECT_EQ(0u, pNoTid->m_Filter.UseEngineDefault);
    EXPECT_EQ(0u, pNoTid->m_Filter.OwnFilter);

    CIDSRule* pWithTid = rules["WithTid"];
    ASSERT_NE(nullptr, pWithTid);
    EXPECT_EQ(42, pWithTid->m_nTID);
    EXPECT_EQ(std::vector<std::string>{"depth=4"}, pWithTid->m_TValues);
    EXPECT_EQ(1u, pWithTid->m_Filter.OwnFilter);
}

class RepeatFilterTest : public ::testing::Test {
protected:
    std::pair<bool, bool> Match(uint32_t dwSrc = 0x0A000001) {
        bool bFiltered = true;
        bool bNonFiltered = true;
        m_Rule.Filter(dwSrc, 0x0A000002, 1234, 80, bFiltered, bNonFiltered);
        return {bFiltered, bNonFiltered};
    }
    void Settings(uint32_t dwEngineDefault, uint32_t dwInterval, uint32_t dwThreshold) {
        m_Rule.m_Filter.UseEngineDefault = dwEngineDefault;
        m_Rule.m_Filter.IgnoreInterval = dwInterval;
        m_Rule.m_Filter.NoiseThreshold = dwThreshold;
        m_Rule.m_Filter.OwnFilter = 1;
    }

    ScopedTestClock m_Clock;
    CIDSRule m_Rule;
    const std::pair<bool, bool> kNothing{false, false};
    const std::pair<bool, bool> kFiltered{true, false};
    const std::pair<bool, bool> kNonFiltered{false, true};
};

TEST_F(RepeatFilterTest, NoiseThresholdHoldsBackMatchesBelowItThenStartsAgain) {
    Settings(1, 0, 3);
    EXPECT_EQ(kNonFiltered, Match());
    EXPECT_EQ(kNonFiltered, Match());
    EXPECT_EQ(kNothing, Match());
    EXPECT_EQ(kNonFiltered, Match());
}

TEST_F(RepeatFilterTest, IgnoreIntervalFiltersRepeatsUntilItHasPassed) {
    Settings(1, 60, 0);
    EXPECT_EQ(kNothing, Match());
    m_Clock.Advance(59);
    EXPECT_EQ(kFiltered, Match());
    m_Clock.Advance(1);
    EXPECT_EQ(kNothing, Match());
}

TEST_F(RepeatFilterTest, FloodAnswerNeedsAHistoryThatSurvives) {
    Settings(0, 0, 0);
    m_Rule.m_Filter.UseSourceAddress = 1;
    m_Rule.m_Filter.FloodProtection = 1;
    EXPECT_EQ(kNothing, Match());
    EXPECT_EQ(kNothing, Match());
    m_Rule.m_Filter.OwnFilter = 0;
    EXPECT_EQ(kNothing, Match());
}

TEST_F(RepeatFilterTest, HistoryOfDistinctSourcesIsBoundedCountedAndSharedSafelyWithClones) {
    InputBounds::Instance().ForgetForTest();
    Settings(0, 0, 1000);
    m_Rule.SetName("Scan_Flood");
    m_Rule.m_Filter.UseSourceAddress = 1;
    for (uint32_t i = 1; i <= CIDSRule::kMaxHistory + 10; ++i) {
        Match(i);
    }
    EXPECT_EQ(CIDSRule::kMaxHistory, m_Rule.HistorySize());
    // The sources forgotten to make room are said and counted.
    EXPECT_EQ((std::vector<std::string>{"Bound reached: rule Scan_Flood: repeat filter of 1024 packets; 10 "
                                        "remembered packets left out"}),
              InputBounds::Instance().Describe());
    {
        std::unique_ptr<Rule> pClone(m_Rule.Clone());
        auto* pCopy = dynamic_cast<CIDSRule*>(pClone.get());
        ASSERT_NE(nullptr, pCopy);
        EXPECT_EQ(CIDSRule::kMaxHistory, pCopy->HistorySize());
        bool bFiltered = false;
        bool bNonFiltered = false;
        pCopy->Filter(CIDSRule::kMaxHistory + 10, 0x0A000002, 1234, 80, bFiltered, bNonFiltered);
    }
    // The clone is gone; the entries it shared are still the rule's.
    EXPECT_EQ(kNonFiltered, Match(CIDSRule::kMaxHistory + 10));
}

TEST(BastionPolicyEventTest, LabelIsShortNameAndFilterKeysFormTheMask) {
    PolicyFixture fixture;
    const std::string strKey = fixture.AddRule(kBastionTCP, "NoTelnet");
    fixture.Set(strKey, "UseEngineDefault", 0);
    fixture.Set(strKey, "UseSourceAddress", 1);
    fixture.Set(strKey, "FloodProtection", 1);
    CBastionPolicyEvent prototype;
    std::unique_ptr<IPolicyEventInterface, void (*)(IPolicyEventInterface*)> pEvent(
        prototype.CreatePolicyEvent(), [](IPolicyEventInterface* p) { p->Release(); });
    auto* pBastion = dynamic_cast<CBastionPolicyEvent*>(pEvent.get());
    ASSERT_NE(nullptr, pBastion);
    pBastion->Init(fixture.m_pPolicy, "TCP Incoming_NoTelnet", strKey.c_str());
    EXPECT_EQ("NA", pBastion->GetShortName());
    EXPECT_EQ(kBastionKeySourceAddress | kBastionKeyFloodProtection, pBastion->GetEventCode());

    CIDSRule rule;
    rule.m_strShortName = "TEL";
    EXPECT_STREQ("TEL", pBastion->GetAlertName(&rule));
    EXPECT_STREQ("", pBastion->GetAlertName(nullptr));
}

}  // namespace

// A Bastion rule is read as written, but one whose addresses do not say
// what its author meant is warned about: without any, a refusing rule
// refuses nothing and an allowing rule lets nothing through; an item that
// is no address matches nothing; items past the fifteenth are ignored.
// A rule without its short name is left out, and says so.
TEST_F(IDSRuleTest, BastionRuleWhoseAddressesMatchNothingIsWarnedAbout) {
    const std::string strBastion = "\\Advanced\\Rules\\Bastion\\";
    const std::string strOpen = m_Fixture.AddRule(strBastion + "TCP Incoming", "Open");
    m_Fixture.Set(strOpen, "shrt", "OPN");
    const std::string strShut = m_Fixture.AddBastion("TCP Incoming", "Shut", "SHT", " , ");
    m_Fixture.Set(strShut, "Allow", true);
    const std::string strTypo = m_Fixture.AddBastion("UDP Incoming", "Typo", "TYP",
                                                     "10.0.0.300, 192.0.2.0/33,198.51.100.7");
    std::string strMany;
    for (int n = 1; n <= 17; ++n) {
        strMany += (n == 1 ? "" : ",") + std::string("10.0.0.") + std::to_string(n);
    }
    const std::string strLong = m_Fixture.AddBastion("IP Incoming", "Long", "LNG", strMany.c_str());
    m_Fixture.AddBastion("ICMP Incoming", "Fine", "FIN", "0.0.0.0,255.255.255.255");
    const std::string strNoShort = m_Fixture.AddRule(strBastion + "IP Incoming", "Unnamed");

    const auto rules = ByName(*m_Fixture.ReadAll());
    EXPECT_EQ(5u, rules.size());
    const std::vector<std::string> expected = {
        "Rule " + strOpen +
            " has no \"Addresses\": it names no remote address, so it refuses and reports nothing",
        "Rule " + strShut +
            " has no \"Addresses\": it lets no remote address through, so it refuses and reports "
            "all the traffic it covers",
        "Rule " + strTypo +
            ": \"Addresses\" holds \"10.0.0.300\", \"192.0.2.0/33\", not an address (a.b.c.d or "
            "a.b.c.d/n): it matches no remote address",
        "Rule " + strLong +
            ": \"Addresses\" lists more than 15 addresses; \"10.0.0.16\", \"10.0.0.17\" are ignored",
        "Rule " + strNoShort + " has no \"shrt\": it is left out"};
    for (const std::string& strWarning : expected) {
        EXPECT_TRUE(m_Fixture.m_HostLog.Contains(strWarning)) << strWarning;
    }
    EXPECT_EQ(0u, m_Fixture.m_HostLog.m_Services.CountStartingWith(
                      "Rule \\Advanced\\Rules\\Bastion\\ICMP Incoming\\Fine"));
}
