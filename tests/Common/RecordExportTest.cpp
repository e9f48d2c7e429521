#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Common/AgentEventInfoDefault.h"
#include "Common/CADFEvent.h"
#include "Common/CQgEvent.h"
#include "FakeSensorCore.h"
#include "TestEngine.h"

namespace {

using Names = std::vector<std::string>;

Names NamesOf(const CQorEvent& event, uint32_t dwSection) {
    Names names;
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
    // The record of one alert type exported without a pair.
    CADFEvent& Export(AgentEventInfoDefault& record) {
        record.FillADFEvent(m_Event);
        return m_Event;
    }

    FakeSensorCore m_Sensor;
    ScopedHostLog m_Log;
    TestRule m_Rule;
    CADFEvent m_Event;
};

}  // namespace

TEST_F(RecordExportTest, EachAlertTypeExportsItsAttributesInTheirOrder) {
    const Names addresses = {"SourceAddress", "SourceEthernetAddress", "DestinationAddress",
                             "DestinationEthernetAddress"};
    auto join = [](std::initializer_list<Names> lists) {
        Names all = {"SystemAgent"};
        for (const Names& list : lists) {
            all.insert(all.end(), list.begin(), list.end());
        }
        return all;
    };
    const Names ports = {"SourcePort", "SourcePortName", "DestinationPort", "DestinationPortName"};
    const Names user = {"UserName", "SourceAddress", "DestinationAddress", "AttackOrigin"};
    const std::map<int32_t, Names> expected = {
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
        // An unknown type writes the pairs and no identity.
        {0, {"SystemAgent"}},
    };
    for (const auto& [nType, names] : expected) {
        AgentEventInfoDefault record = FullRecord(nType);
        CADFEvent adf;
        record.FillADFEvent(adf);
        EXPECT_EQ(NamesOf(adf, 1), names) << nType;
        EXPECT_EQ(NamesOf(adf, 2), Names{"Host"}) << nType;
        EXPECT_EQ(adf.GetEventId(), nType != 0 ? 7u : 0u) << nType;
    }
    EXPECT_TRUE(m_Log.Contains("Got an unknown event type"));

    AgentEventInfoDefault full = FullRecord(101);
    CADFEvent& adf = Export(full);
    EXPECT_EQ(Value(adf, "SourcePort", 1)->GetUint32(), 4000u);
    EXPECT_EQ(Value(adf, "DestinationPortName", 1)->Text(), "http");
    EXPECT_EQ(Value(adf, "DestinationAddress", 1)->Text(), "10.0.0.2");
    EXPECT_EQ(Value(adf, "AttackSuccessful", 1)->Type(), VTypeUint8);
    CQgEvent qg;
    full.FillQgEvent(qg);
    EXPECT_EQ(qg.GetPairs().size(), 1u);
    EXPECT_EQ(qg.GetSourceAddressText(), "10.0.0.1");
    EXPECT_EQ(qg.GetDestinationAddress(), 0x0200000Au);
    EXPECT_EQ(qg.GetPortName(), "http");
    EXPECT_EQ(qg.GetProtocol(), 6u);
    // A network alert does not know whether the attack succeeded: it goes
    // without the attribute, and the log says nothing of it.
    AgentEventInfoDefault network(&m_Rule, 1);
    network.SetAlertType(101);
    CADFEvent unjudged;
    network.FillADFEvent(unjudged);
    EXPECT_EQ(Value(unjudged, "AttackSuccessful", 1), nullptr);
    EXPECT_FALSE(m_Log.Contains("AttackSuccessful must be set"));
    // An unset port is named as port 65535.
    AgentEventInfoDefault bare(&m_Rule, 1);
    CQgEvent unset;
    bare.FillQgEvent(unset);
    EXPECT_EQ(unset.GetPortName(), "Port# 65535");
}

TEST_F(RecordExportTest, UserPairsNameTheUserAndMissingValuesAreReported) {
    AgentEventInfoDefault record(&m_Rule, 1);
    record.SetAlertType(203);
    record.m_dwEventId = 7;
    record.AddInfoPair("User", "alice");
    record.AddInfoPair("User's Domain", "corp");
    CADFEvent& event = Export(record);
    EXPECT_EQ(Value(event, "User", 2)->Text(), "alice");
    EXPECT_EQ(Value(event, "UserName", 1)->Text(), "corp\\alice");
    // Without a source address the sensor's own address is exported, silently.
    EXPECT_EQ(Value(event, "SourceAddress", 1)->Text(), "192.0.2.1");
    EXPECT_EQ(Value(event, "AttackOrigin", 1)->Text(), "Unknown");
    EXPECT_TRUE(m_Log.Contains("(EventID: 7, Rule: Login) DestinationAddress must be set, either in an info "
                               "pair or explicitly"));

    AgentEventInfoDefault nobody(&m_Rule, 1);
    nobody.SetAlertType(203);
    CADFEvent bare;
    nobody.FillADFEvent(bare);
    EXPECT_EQ(Value(bare, "UserName", 1), nullptr);
    const std::string strNoUser =
        "(EventID: 0, Rule: Login) UserName must be set, either in an info pair or explicitly";
    EXPECT_TRUE(m_Log.Contains(strNoUser));

    // Every record of the rule would say the same: the first one says it,
    // as a warning.  A copy of the rule (a reload) says it again.
    for (int i = 0; i < 3; ++i) {
        CADFEvent again;
        nobody.FillADFEvent(again);
    }
    auto said = [&] {
        size_t nSaid = 0;
        for (const LoggedLine& line : m_Log.m_Services.Lines()) {
            if (line.text == strNoUser) {
                ++nSaid;
                EXPECT_EQ(kCSFLogWarning, line.dwLevel);
            }
        }
        return nSaid;
    };
    EXPECT_EQ(1u, said());
    TestRule copy(m_Rule);
    AgentEventInfoDefault reloaded(&copy, 1);
    reloaded.SetAlertType(203);
    CADFEvent fresh;
    reloaded.FillADFEvent(fresh);
    EXPECT_EQ(2u, said());
}

TEST_F(RecordExportTest, ValueGivenByPairAndFieldIsReportedAndThePairKept) {
    AgentEventInfoDefault named(&m_Rule, 1);
    named.SetAlertType(203);
    named.AddInfoPair("UserName", "from-pair");
    named.SetUserNameText("field");
    CADFEvent& both = Export(named);
    EXPECT_EQ(Value(both, "UserName", 1), nullptr);
    EXPECT_EQ(Value(both, "UserName", 2)->Text(), "from-pair");
    EXPECT_TRUE(m_Log.Contains("(EventID: 0, Rule: Login) UserName must not be set in an info pair and also "
                               "explicitly"));

    AgentEventInfoDefault ethernet = FullRecord(103);
    CADFEvent event;
    event.Add("DestinationEthernetAddress", AlertValue::String("x"), 1);
    event.Add("SourceEthernetAddress", AlertValue::String("y"), 1);
    ethernet.FillADFEvent(event);
    EXPECT_TRUE(m_Log.Contains("(EventID: 7, Rule: Login) Destination Ethernet must not be set in both an info "
                               "pari and explicitly"));
    EXPECT_TRUE(m_Log.Contains("(EventID: 7, Rule: Login) Source Ethernet must not be set in both an info pari "
                               "and explicitly"));
}

TEST_F(RecordExportTest, SpecialPairsSetRecordFieldsAndVulnStatusIsEightBits) {
    AgentEventInfoDefault record(&m_Rule, 1);
    record.SetAlertType(208);
    record.AddInfoPair("VulnStatus", "300");
    record.AddInfoPair("INTERNAL_Resource_Identifier", "  -12x");
    record.AddInfoPair("INTERNAL_Resource_Sub_Identifier", "disk0");
    CADFEvent& event = Export(record);
    EXPECT_EQ(Value(event, "VulnStatus", 1)->GetUint8(), 44);
    EXPECT_EQ(Value(event, "ResourceID", 1)->GetUint32(), static_cast<uint32_t>(-12));
    EXPECT_EQ(Value(event, "ResourceSubID", 1)->Text(), "disk0");
    EXPECT_TRUE(NamesOf(event, 2).empty());
}

TEST_F(RecordExportTest, SecondAlgorithmIdReplacesTheFirstWhileTheEventIsOpen) {
    AgentEventInfoDefault record(&m_Rule, 1);
    record.SetAlertType(210);
    record.AddInfoPair("algorithm-id", "first");
    record.AddInfoPair("algorithm-id", "second");
    EXPECT_EQ(Value(Export(record), "algorithm-id", 1)->Text(), "second");
    EXPECT_FALSE(m_Log.Contains("Failed to update algorithm-id second"));
}

TEST_F(RecordExportTest, RepeatedPairsStayApartUntilExportedAsParameters) {
    AgentEventInfoDefault record(&m_Rule, 1);
    record.SetAlertType(210);
    record.AddInfoPair("Host", "a");
    record.AddInfoPair("Host", "b");
    EXPECT_EQ(NamesOf(Export(record), 2), (Names{"Host", "Host"}));
    CADFEvent parameters;
    record.ExportAlertParameters(parameters);
    EXPECT_EQ(NamesOf(parameters, 2), Names{"Host"});
    EXPECT_EQ(Value(parameters, "Host", 2)->Text(), "b");
}

// Plain templates and text fields are proved end to end by the syslog host
// test; these are the matches a naive scan gets wrong.
TEST(InfoTemplate, PrefixMarkerAndSuffixCutTheValueOutOfTheText) {
    const char* const cases[][3] = {
        {"Host: {!} port", "Host: alpha port 80\n", "alpha"},
        {"user=*,{!}", "user=bob,carol,dave", "carol,dave"},
        {"a{!}|b{!}", "xb1", "1"},
        {"a{!}|b{!}", "nothing here", ""},
        {"end{!}", "the end", ""},
        // The character that breaks a match can start the next one.
        {"Host: {!}", "HHost: x", "x"},
        {"aab{!}", "aaab!", "!"},
    };
    for (const auto& [pszTemplate, pszText, pszExpected] : cases) {
        std::string strOut = "stale";
        AgentEventInfo::ResolveInfoTemplate(pszTemplate, pszText, strOut);
        EXPECT_EQ(strOut, pszExpected) << pszTemplate << " in " << pszText;
    }
}
