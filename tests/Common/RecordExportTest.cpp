#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Common/AgentEventInfoDefault.h"
#include "Common/CADFEvent.h"
#include "Common/CQgEvent.h"
#include "FakeSensorCore.h"
#include "TestEngine.h"
#include "platform/Console.h"

namespace {

std::vector<std::string> Names(const CQorEvent& event, uint32_t dwSection) {
    std::vector<std::string> names;
    for (const EventAVP& record : event.GetSection(dwSection)) {
        names.push_back(record.m_sName);
    }
    return names;
}

const AlertValue* Value(const CQorEvent& event, const char* pszName, uint32_t dwSection) {
    const EventAVP* pRecord = event.GetRecord(event.Find(pszName, dwSection));
    return pRecord != nullptr ? &pRecord->m_Value : nullptr;
}

class RecordExportTest : public ::testing::Test {
protected:
    RecordExportTest() {
        m_Rule.SetName("Login");
        AgentEventInfo::SetDefaultSourceAddress("192.0.2.1");
    }
    ~RecordExportTest() override { AgentEventInfo::SetDefaultSourceAddress(""); }

    // A record with every field the export knows.
    AgentEventInfoDefault FullRecord(int32_t nAlertType) {
        AgentEventInfoDefault record(&m_Rule, 1000);
        record.SetAlertType(nAlertType);
        record.m_dwEventId = 7;
        record.m_nSourcePort = 4000;
        record.m_nDestinationPort = 80;
        record.m_dwIANAProtocolId = 6;
        record.m_bIANAProtocolIdSet = true;
        record.m_dwSourceAddress = 0x0100000Au;
        record.m_bSourceAddressSet = true;
        record.m_dwDestinationAddress = 0x0200000Au;
        record.m_bDestinationAddressSet = true;
        record.SetSourceEthernetText("00:11:22:33:44:55");
        record.SetDestinationEthernetText("66:77:88:99:aa:bb");
        record.m_nAttackSuccessful = 1;
        record.SetAttackOriginText("outside");
        record.m_nResourceId = 5;
        record.SetApplicationText("app");
        record.SetResourceSubIDText("sub");
        record.SetUserNameText("alice");
        record.SetUserDomainText("corp");
        record.AddInfoPair("Host", "web1");
        return record;
    }

    FakeSensorCore m_Sensor;
    ScopedHostLog m_Log;
    TestRule m_Rule;
};

}  // namespace

TEST_F(RecordExportTest, EachAlertTypeExportsItsAttributesInTheirOrder) {
    using List = std::vector<std::string>;
    const List addresses = {"SourceAddress", "SourceEthernetAddress", "DestinationAddress",
                            "DestinationEthernetAddress"};
    auto join = [](std::initializer_list<List> lists) {
        List all = {"SystemAgent"};
        for (const List& list : lists) {
            all.insert(all.end(), list.begin(), list.end());
        }
        return all;
    };
    const List ports = {"SourcePort", "SourcePortName", "DestinationPort", "DestinationPortName"};
    const List user = {"UserName", "SourceAddress", "DestinationAddress", "AttackOrigin"};
    const std::map<int32_t, List> expected = {
        {101, join({ports, {"IANAProtocolId"}, addresses, {"AttackSuccessful"}})},
        {102, join({ports, {"IANAProtocolId"}, addresses, {"AttackSuccessful"}})},
        {103, join({addresses, {"IANAProtocolId", "AttackSuccessful"}})},
        {104, join({addresses, {"AttackSuccessful"}})},
        {105, join({{"IANAProtocolId"}, addresses, {"AttackSuccessful"}})},
        {202, join({{"SourceAddress", "SourcePort", "SourcePortName", "DestinationAddress", "DestinationPort",
                     "DestinationPortName", "IANAProtocolId", "AttackSuccessful", "AttackOrigin"}})},
        {203, join({user})}, {204, join({user})}, {205, join({user})}, {206, join({user})}, {207, join({user})},
        {208, join({{"SourceAddress", "DestinationAddress", "ResourceID", "ResourceSubID"}})},
        {209, join({{"SourceAddress", "DestinationAddress", "AttackOrigin"}})},
        {210, join({{"SourceAddress", "DestinationAddress", "AttackOrigin"}})},
        {211, join({{"SourceAddress", "DestinationAddress", "Application", "AttackOrigin"}})},
    };
    for (const auto& [nType, names] : expected) {
        AgentEventInfoDefault record = FullRecord(nType);
        CADFEvent adf;
        record.FillADFEvent(adf);
        EXPECT_EQ(Names(adf, 1), names) << nType;
        EXPECT_EQ(Names(adf, 2), List{"Host"}) << nType;
        EXPECT_EQ(adf.GetEventId(), 7u);
        EXPECT_EQ(adf.GetRuleName(), "Login");
        EXPECT_EQ(adf.GetRule(), &m_Rule);

        CQgEvent qg;
        record.FillQgEvent(qg);
        ASSERT_EQ(qg.GetPairs().size(), 1u) << nType;
        EXPECT_EQ(qg.GetPairs()[0].m_strValue, "web1");
        EXPECT_EQ(qg.GetSourceAddressText(), "10.0.0.1");
        EXPECT_EQ(qg.GetDestinationAddress(), 0x0200000Au);
        EXPECT_EQ(qg.GetPortName(), "http");
        EXPECT_EQ(qg.GetProtocol(), 6u);
        EXPECT_EQ(qg.GetEventId(), 7u);
        EXPECT_EQ(qg.GetRuleName(), "Login");
    }
    EXPECT_TRUE(m_Log.m_Services.Texts().empty());

    AgentEventInfoDefault full = FullRecord(101);
    CADFEvent adf;
    full.FillADFEvent(adf);
    EXPECT_EQ(Value(adf, "SourcePort", 1)->GetUint32(), 4000u);
    EXPECT_EQ(Value(adf, "DestinationPortName", 1)->Text(), "http");
    EXPECT_EQ(Value(adf, "IANAProtocolId", 1)->GetUint32(), 6u);
    EXPECT_EQ(Value(adf, "DestinationAddress", 1)->Text(), "10.0.0.2");
    EXPECT_EQ(Value(adf, "AttackSuccessful", 1)->Type(), VTypeUint8);
    EXPECT_EQ(Value(adf, "SystemAgent", 1)->Text(), AgentEventInfo::GetHostNameText());
}

TEST_F(RecordExportTest, UnknownAlertTypeWritesThePairsAndNoIdentity) {
    AgentEventInfoDefault record = FullRecord(0);
    CADFEvent event;
    record.FillADFEvent(event);
    EXPECT_EQ(Names(event, 1), std::vector<std::string>{"SystemAgent"});
    EXPECT_EQ(Names(event, 2), std::vector<std::string>{"Host"});
    EXPECT_EQ(event.GetEventId(), 0u);
    EXPECT_EQ(event.GetRule(), nullptr);
    EXPECT_TRUE(m_Log.Contains("Got an unknown event type"));
}

TEST_F(RecordExportTest, UserPairsNameTheUserAndMissingUserIsReported) {
    AgentEventInfoDefault record(&m_Rule, 1);
    record.SetAlertType(203);
    record.m_dwEventId = 7;
    record.AddInfoPair("User", "alice");
    record.AddInfoPair("User's Domain", "corp");
    CADFEvent event;
    record.FillADFEvent(event);
    EXPECT_EQ(Value(event, "User", 2)->Text(), "alice");
    EXPECT_EQ(Value(event, "User's Domain", 2)->Text(), "corp");
    EXPECT_EQ(Value(event, "UserName", 1)->Text(), "corp\\alice");
    // Without a source address the sensor's own address is exported, silently.
    EXPECT_EQ(Value(event, "SourceAddress", 1)->Text(), "192.0.2.1");
    EXPECT_EQ(Value(event, "AttackOrigin", 1)->Text(), "Unknown");
    EXPECT_EQ(*record.GetAttackOrigin(), "Unknown");
    EXPECT_TRUE(m_Log.Contains("(EventID: 7, Rule: Login) DestinationAddress must be set, either in an info "
                               "pair or explicitly"));

    AgentEventInfoDefault nobody(&m_Rule, 1);
    nobody.SetAlertType(203);
    CADFEvent bare;
    nobody.FillADFEvent(bare);
    EXPECT_EQ(Value(bare, "UserName", 1), nullptr);
    EXPECT_TRUE(m_Log.Contains("(EventID: 0, Rule: Login) UserName must be set, either in an info pair or "
                               "explicitly"));
}

TEST_F(RecordExportTest, ValueGivenByPairAndFieldIsReportedOnceAndThePairKept) {
    AgentEventInfoDefault named(&m_Rule, 1);
    named.SetAlertType(203);
    named.AddInfoPair("UserName", "from-pair");
    CADFEvent pairOnly;
    named.FillADFEvent(pairOnly);
    EXPECT_EQ(Value(pairOnly, "UserName", 1), nullptr);
    EXPECT_FALSE(m_Log.Contains("(EventID: 0, Rule: Login) UserName must be set, either in an info pair or "
                                "explicitly"));

    named.SetUserNameText("field");
    CADFEvent both;
    named.FillADFEvent(both);
    EXPECT_EQ(Value(both, "UserName", 1), nullptr);
    EXPECT_EQ(Value(both, "UserName", 2)->Text(), "from-pair");
    EXPECT_TRUE(m_Log.Contains("(EventID: 0, Rule: Login) UserName must not be set in an info pair and also "
                               "explicitly"));

    // Other attributes are looked up in the sensor parameters only.
    AgentEventInfoDefault ports = FullRecord(101);
    ports.AddInfoPair("SourcePort", "9");
    CADFEvent twice;
    ports.FillADFEvent(twice);
    EXPECT_EQ(Value(twice, "SourcePort", 2)->Text(), "9");
    EXPECT_EQ(Value(twice, "SourcePort", 1)->GetUint32(), 4000u);
}

TEST_F(RecordExportTest, EthernetConflictsUseTheirOwnWording) {
    AgentEventInfoDefault record = FullRecord(103);
    CADFEvent event;
    event.Add("DestinationEthernetAddress", AlertValue::String("x"), 1);
    event.Add("SourceEthernetAddress", AlertValue::String("y"), 1);
    record.FillADFEvent(event);
    EXPECT_TRUE(m_Log.Contains("(EventID: 7, Rule: Login) Destination Ethernet must not be set in both an info "
                               "pari and explicitly"));
    EXPECT_TRUE(m_Log.Contains("(EventID: 7, Rule: Login) Source Ethernet must not be set in both an info pari "
                               "and explicitly"));
    AgentEventInfoDefault bare(&m_Rule, 1);
    CADFEvent empty;
    bare.ExportSourceEthernetAddress(empty);
    EXPECT_TRUE(m_Log.Contains("(EventID: 0, Rule: Login) Source MAC address must be set, either in an info pari "
                               "or explicitly"));
}

TEST_F(RecordExportTest, SpecialPairsSetRecordFieldsAndVulnStatusIsEightBits) {
    AgentEventInfoDefault record(&m_Rule, 1);
    record.SetAlertType(208);
    record.AddInfoPair("VulnStatus", "300");
    record.AddInfoPair("INTERNAL_Resource_Identifier", "  -12x");
    record.AddInfoPair("INTERNAL_Resource_Sub_Identifier", "disk0");
    CADFEvent event;
    record.FillADFEvent(event);
    EXPECT_EQ(Value(event, "VulnStatus", 1)->GetUint8(), 44);
    EXPECT_EQ(record.m_nResourceId, -12);
    EXPECT_EQ(Value(event, "ResourceID", 1)->GetUint32(), static_cast<uint32_t>(-12));
    EXPECT_EQ(Value(event, "ResourceSubID", 1)->Text(), "disk0");
    EXPECT_TRUE(Names(event, 2).empty());
}

TEST_F(RecordExportTest, SecondAlgorithmIdReplacesTheFirstWhileTheEventIsOpen) {
    AgentEventInfoDefault record(&m_Rule, 1);
    record.SetAlertType(210);
    record.AddInfoPair("algorithm-id", "first");
    record.AddInfoPair("algorithm-id", "second");
    CADFEvent event;
    record.FillADFEvent(event);
    EXPECT_EQ(Value(event, "algorithm-id", 1)->Text(), "second");
    EXPECT_TRUE(m_Log.Contains("updating algorithm-id to second"));
    EXPECT_FALSE(m_Log.Contains("Failed to update algorithm-id second"));
}

TEST_F(RecordExportTest, RepeatedPairsStayApartUntilExportedAsParameters) {
    AgentEventInfoDefault record(&m_Rule, 1);
    record.SetAlertType(210);
    record.AddInfoPair("Host", "a");
    record.AddInfoPair("Host", "b");
    CADFEvent filled;
    record.FillADFEvent(filled);
    EXPECT_EQ(Names(filled, 2), (std::vector<std::string>{"Host", "Host"}));
    CADFEvent parameters;
    record.ExportAlertParameters(parameters);
    EXPECT_EQ(Names(parameters, 2), std::vector<std::string>{"Host"});
    EXPECT_EQ(Value(parameters, "Host", 2)->Text(), "b");
}

TEST_F(RecordExportTest, UnsetPortIsNamedAsPort65535) {
    AgentEventInfoDefault record(&m_Rule, 1);
    CQgEvent event;
    record.FillQgEvent(event);
    EXPECT_EQ(event.GetPortName(), "Port# 65535");
}

TEST_F(RecordExportTest, DumpPrintsTheRuleAndEachPair) {
    std::string strOut;
    plat::ConsoleSink previous = plat::SetConsoleSink([&](std::string_view text) { strOut += text; });
    AgentEventInfoDefault record(&m_Rule, 1);
    record.AddInfoPair("Host", "web1");
    record.Dump();
    plat::SetConsoleSink(std::move(previous));
    EXPECT_EQ(strOut, "AEI: Name=Login iPair=1 \n0 : Host - web1 \n");
}

TEST(InfoTemplate, PrefixMarkerAndSuffixCutTheValueOutOfTheText) {
    std::string strOut;
    AgentEventInfo::ResolveInfoTemplate("Host: {!} port", "Host: alpha port 80\n", strOut);
    EXPECT_EQ(strOut, "alpha");
    AgentEventInfo::ResolveInfoTemplate("user=*,{!}", "user=bob,carol,dave", strOut);
    EXPECT_EQ(strOut, "carol,dave");
    AgentEventInfo::ResolveInfoTemplate("fixed", "anything", strOut);
    EXPECT_EQ(strOut, "fixed");
    AgentEventInfo::ResolveInfoTemplate("a{!}|b{!}", "xb1", strOut);
    EXPECT_EQ(strOut, "1");
    AgentEventInfo::ResolveInfoTemplate("tail{!}", "line tail value\n", strOut);
    EXPECT_EQ(strOut, " value");
    AgentEventInfo::ResolveInfoTemplate("a{!}|b{!}", "nothing here", strOut);
    EXPECT_EQ(strOut, "");
    AgentEventInfo::ResolveInfoTemplate("end{!}", "the end", strOut);
    EXPECT_EQ(strOut, "");
}

TEST(InfoTemplate, CharacterThatBreaksAMatchCanStartTheNextOne) {
    std::string strOut;
    AgentEventInfo::ResolveInfoTemplate("Host: {!}", "HHost: x", strOut);
    EXPECT_EQ(strOut, "x");
    AgentEventInfo::ResolveInfoTemplate("aab{!}", "aaab!", strOut);
    EXPECT_EQ(strOut, "!");
}

TEST(InfoTemplate, TextFieldsAreSplitAtBlanksLineEndsAndPercent) {
    std::string strOut;
    AgentEventInfo::GetTextField(0, "  first second%third\r\n", strOut);
    EXPECT_EQ(strOut, "first");
    AgentEventInfo::GetTextField(-3, "  first second", strOut);
    EXPECT_EQ(strOut, "first");
    AgentEventInfo::GetTextField(2, "  first second%third\r\n", strOut);
    EXPECT_EQ(strOut, "third");
    AgentEventInfo::GetTextField(2, "  first second", strOut);
    EXPECT_EQ(strOut, "");
}
