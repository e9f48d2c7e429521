#include "Common/AgentEventInfo.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FakeSensorCore.h"
#include "TestEngine.h"
#include "platform/Clock.h"
#include "platform/ScopedTimeZone.h"

TEST(AgentEventInfo, NewRecordHasNothingSetAndTheCurrentTime) {
    TestRule rule;
    rule.SetAlertType("LoginEvent");
    const int64_t tBefore = plat::ReadClock().m_iSeconds;
    TestRecord record(&rule, 0);
    EXPECT_GE(record.GetTime(), tBefore);
    EXPECT_EQ(record.m_wPriorityOverride, 999);
    EXPECT_EQ(record.m_nSourcePort, -1);
    EXPECT_EQ(record.m_nDestinationPort, -1);
    EXPECT_EQ(record.m_nAttackSuccessful, -1);
    EXPECT_EQ(record.m_nResourceId, -1);
    EXPECT_EQ(record.m_dwEventId, 0u);
    EXPECT_EQ(record.GetAlertType(), 203);
    EXPECT_FALSE(record.GetUserName().has_value());
    EXPECT_FALSE(record.GetAttackOrigin().has_value());
    EXPECT_STREQ(record.GetSourceAddressText(), "0.0.0.0");
    EXPECT_TRUE(AgentEventInfo::IsRecord(&record));
    EXPECT_FALSE(AgentEventInfo::IsRecord(nullptr));
    EXPECT_FALSE(AgentEventInfo::GetHostNameText().empty());
}

TEST(AgentEventInfo, SourceIpPairSetsTheAddressOnlyUnderItsExactName) {
    TestRule rule;
    TestRecord record(&rule, 1);
    record.AddInfoPair("sourceip", "0x0100007f");
    EXPECT_FALSE(record.m_bSourceAddressSet);
    EXPECT_STREQ(record.GetSourceAddressText(), "0.0.0.0");
    record.AddInfoPair("SourceIP", "0x0100007f");
    EXPECT_TRUE(record.m_bSourceAddressSet);
    EXPECT_EQ(record.m_dwSourceAddress, 0x0100007Fu);
    EXPECT_STREQ(record.GetSourceAddressText(), "127.0.0.1");
    std::string strValue;
    EXPECT_EQ(record.GetInfoPairValue("SourceIP", strValue), 0);
    EXPECT_EQ(strValue, "0x0100007f");
    // A dotted text reads as far as a number goes; a huge one saturates.
    record.AddInfoPair("SourceIP", "10.0.0.1");
    EXPECT_EQ(record.m_dwSourceAddress, 10u);
    record.AddInfoPair("SourceIP", "99999999999");
    EXPECT_EQ(record.m_dwSourceAddress, 0x7FFFFFFFu);
}

TEST(AgentEventInfo, RepeatedPairNamesAreKeptAndTheFirstAnswers) {
    TestRule rule;
    TestRecord record(&rule, 1);
    record.AddInfoPair("Host", "a");
    record.AddInfoPair(std::string("Host"), std::string("b"));
    ASSERT_EQ(record.GetInfoPairs().size(), 2u);
    std::string strValue = "untouched";
    EXPECT_EQ(record.GetInfoPairValue("host", strValue), -1);
    EXPECT_EQ(strValue, "untouched");
    EXPECT_EQ(record.GetInfoPairValue("Host", strValue), 0);
    EXPECT_EQ(strValue, "a");

    record.AddScriptVariable("x", "1");
    record.AddScriptVariable("x", "2");
    record.RemoveScriptVariable("x");
    EXPECT_EQ(record.GetScriptVariableValue("x", strValue), 0);
    EXPECT_EQ(strValue, "2");
    record.RemoveScriptVariable("absent");
    EXPECT_EQ(record.GetScriptVariables().size(), 1u);
}

TEST(AgentEventInfo, AssignmentReplacesEverythingWithSeparateCopies) {
    TestRule rule;
    rule.SetName("Scan");
    TestRecord source(&rule, 100);
    source.SetUserNameText("alice");
    source.SetAttackOriginHost("gateway");
    source.AddInfoPair("Host", "web1");
    source.m_nDestinationPort = 80;
    auto pTarget = std::make_unique<TestRecord>(nullptr, 200);
    pTarget->SetApplicationText("old");
    pTarget->AddInfoPair("Old", "1");
    pTarget->AddScriptVariable("v", "1");
    *pTarget = source;
    EXPECT_EQ(pTarget->GetRuleName(), "Scan");
    EXPECT_EQ(pTarget->GetTime(), 100);
    EXPECT_EQ(*pTarget->GetUserName(), "alice");
    EXPECT_EQ(*pTarget->GetAttackOrigin(), "NTHost: gateway");
    EXPECT_FALSE(pTarget->GetApplication().has_value());
    ASSERT_EQ(pTarget->GetInfoPairs().size(), 1u);
    EXPECT_TRUE(pTarget->GetScriptVariables().empty());
    EXPECT_EQ(pTarget->m_nDestinationPort, 80);

    std::unique_ptr<AgentEventInfo> pClone(source.Clone());
    pTarget.reset();
    source.GetInfoPairs()[0].m_strValue = "changed";
    EXPECT_EQ(pClone->GetInfoPairs()[0].m_strValue, "web1");
    AgentEventInfo& self = source;
    static_cast<AgentEventInfo&>(source) = self;
    EXPECT_EQ(source.GetInfoPairs().size(), 1u);
}

TEST(AgentEventInfo, RuleNameReadsRuleErrorWithoutARule) {
    TestRule unnamed;
    EXPECT_EQ(TestRecord(&unnamed, 1).GetRuleName(), "");
    EXPECT_EQ(TestRecord(nullptr, 1).GetRuleName(), "Rule Error");
}

TEST(AgentEventInfo, PortNamesComeFromTheServicesDatabase) {
    std::string strName;
    AgentEventInfo::GetPortName(80, strName, "tcp");
    EXPECT_EQ(strName, "http");
    AgentEventInfo::GetPortName(65001, strName, "tcp");
    EXPECT_EQ(strName, "Port# 65001");
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
