#include "Common/AgentEventInfo.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TestEngine.h"
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
