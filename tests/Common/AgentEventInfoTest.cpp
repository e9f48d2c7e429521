#include "Common/AgentEventInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>
#include <string>

#include "Common/InputBounds.h"
#include "TestEngine.h"
#include "qorCSFLib/FakeHost.h"
#include "platform/ScopedTimeZone.h"

TEST(AgentEventInfo, SourceIpPairSetsTheAddressOnlyUnderItsExactName) {
    TestRule rule;
    TestRecord record(&rule, 1);
    record.AddInfoPair("sourceip", "0x0100007f");
    EXPECT_STREQ(record.GetSourceAddressText(), "0.0.0.0");
    record.AddInfoPair("SourceIP", "0x0100007f");
    EXPECT_TRUE(record.m_bSourceAddressSet);
    EXPECT_STREQ(record.GetSourceAddressText(), "127.0.0.1");
    // A dotted text reads as far as a number goes; a huge one saturates.
    record.AddInfoPair("SourceIP", "10.0.0.1");
    EXPECT_EQ(record.m_dwSourceAddress, 10u);
    record.AddInfoPair("SourceIP", "99999999999");
    EXPECT_EQ(record.m_dwSourceAddress, 0x7FFFFFFFu);
    EXPECT_EQ(TestRecord(nullptr, 1).GetRuleName(), "Rule Error");
}

// A value longer than an alert carries is cut there, never inside a UTF-8
// character, and the cut is said as a bound naming the rule and the pair,
// with the bytes left out; the next cut of the pair counts on.
TEST(AgentEventInfo, ValueLongerThanAnAlertCarriesIsCutAndTheCutSaidAndCounted) {
    ScopedHostLog log;
    InputBounds::Instance().ForgetForTest();
    constexpr size_t kMost = AgentEventInfo::kMaxInfoValueBytes;
    TestRule rule;
    rule.SetName("Long values");
    TestRecord record(&rule, 1);
    record.AddInfoPair("Whole", std::string(kMost, 'w'));
    record.AddInfoPair("Request", std::string(kMost + 905, 'r'));
    // Two-byte and three-byte characters across the bound, and bytes that
    // are no UTF-8, which are cut at the bound itself.
    record.AddInfoPair("Two", std::string(kMost - 1, 'a') + "\xC3\xA9tail");
    record.AddInfoPair("Three", std::string(kMost - 2, 'a') + "\xE2\x82\xACtail");
    record.AddInfoPair("Raw", std::string(kMost - 1, 'a') + "\x80\x80\x80\x80");
    record.AddInfoPair("SourceIP", "0x0100007f" + std::string(kMost, ' '));
    std::string strValue;
    ASSERT_EQ(record.GetInfoPairValue("Whole", strValue), 0);
    EXPECT_EQ(strValue, std::string(kMost, 'w'));
    ASSERT_EQ(record.GetInfoPairValue("Request", strValue), 0);
    EXPECT_EQ(strValue, std::string(kMost, 'r'));
    ASSERT_EQ(record.GetInfoPairValue("Two", strValue), 0);
    EXPECT_EQ(strValue, std::string(kMost - 1, 'a'));
    ASSERT_EQ(record.GetInfoPairValue("Three", strValue), 0);
    EXPECT_EQ(strValue, std::string(kMost - 2, 'a'));
    ASSERT_EQ(record.GetInfoPairValue("Raw", strValue), 0);
    EXPECT_EQ(strValue, std::string(kMost - 1, 'a') + "\x80");
    EXPECT_STREQ(record.GetSourceAddressText(), "127.0.0.1");

    const std::string strBound =
        "Bound reached: rule Long values, information pair Request: at most 4095 bytes a value, "
        "the rest cut off; ";
    EXPECT_TRUE(log.Contains(strBound +
                             "905 bytes left out (said again at most once a minute while it lasts)"));
    TestRecord(&rule, 1).AddInfoPair("Request", std::string(kMost + 95, 'r'));
    TestRecord(nullptr, 1).AddInfoPair("Request", std::string(kMost + 1, 'r'));
    const std::vector<std::string> bounds = InputBounds::Instance().Describe();
    EXPECT_NE(std::find(bounds.begin(), bounds.end(), strBound + "1000 bytes left out"), bounds.end());
    EXPECT_NE(std::find(bounds.begin(), bounds.end(),
                        "Bound reached: rule Rule Error, information pair Request: at most 4095 "
                        "bytes a value, the rest cut off; 1 byte left out"),
              bounds.end());
    EXPECT_EQ(std::count_if(bounds.begin(), bounds.end(),
                            [](const std::string& s) { return s.find("pair Whole") != s.npos; }),
              0);
    InputBounds::Instance().ForgetForTest();
}

TEST(AgentEventInfo, RepeatedPairNamesAreKeptAndTheFirstAnswers) {
    TestRule rule;
    TestRecord record(&rule, 1);
    record.AddInfoPair("Host", "a");
    record.AddInfoPair("Host", "b");
    ASSERT_EQ(record.GetInfoPairs().size(), 2u);
    std::string strValue = "untouched";
    EXPECT_EQ(record.GetInfoPairValue("host", strValue), -1);
    EXPECT_EQ(strValue, "untouched");
    EXPECT_EQ(record.GetInfoPairValue("Host", strValue), 0);
    EXPECT_EQ(strValue, "a");

    record.AddScriptVariable("x", "1");
    record.AddScriptVariable("x", "2");
    record.RemoveScriptVariable("x");
    record.RemoveScriptVariable("absent");
    EXPECT_EQ(record.GetScriptVariableValue("x", strValue), 0);
    EXPECT_EQ(strValue, "2");
}

TEST(AgentEventInfo, AssignmentAndCloneLeaveSeparateCopies) {
    TestRule rule;
    rule.SetName("Scan");
    TestRecord source(&rule, 100);
    source.SetAttackOriginHost("gateway");
    source.AddInfoPair("Host", "web1");
    TestRecord target(nullptr, 200);
    target.SetApplicationText("old");
    target = source;
    EXPECT_EQ(*target.GetAttackOrigin(), "NTHost: gateway");
    EXPECT_FALSE(target.GetApplication().has_value());

    std::unique_ptr<AgentEventInfo> pClone(source.Clone());
    source.GetInfoPairs()[0].m_strValue = "changed";
    EXPECT_EQ(pClone->GetInfoPairs()[0].m_strValue, "web1");
    AgentEventInfo& self = source;
    static_cast<AgentEventInfo&>(source) = self;
    EXPECT_EQ(source.GetInfoPairs().size(), 1u);
}

TEST(AgentEventInfo, TextFormsUseLocalTimeAndDottedAddresses) {
    ScopedTimeZone zone("UTC0");
    TestRule rule;
    TestRecord record(&rule, 86400 + 3661);
    record.m_dwDestinationAddress = 0x0100007Fu;
    record.m_bDestinationAddressSet = true;
    EXPECT_STREQ(record.GetTimeText(), "Fri Jan  2 01:01:01 1970");
    EXPECT_EQ(record.GetSummaryText(), "Fri Jan  2 01:01:01 1970: from 0.0.0.0 to 127.0.0.1");
    EXPECT_EQ(record.GetCsvText(), "\"90061\",\"0.0.0.0\",\"127.0.0.1\"");
    EXPECT_EQ(record.GetShortText(), "90061 0.0.0.0 127.0.0.1");
}
