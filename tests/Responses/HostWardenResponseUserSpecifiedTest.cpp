#include "Responses/HostWardenResponseUserSpecified.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "Common/AgentEventInfoDefault.h"
#include "Common/CADFEvent.h"
#include "Common/CPolicyEvent.h"
#include "Common/Rule.h"
#include "ResponseTestEvents.h"

using namespace responsetest;

namespace {

class PlainRule : public Rule {
public:
    Rule* Clone() const override { return new PlainRule(*this); }
    bool IsRule() const override { return true; }
};

class HostWardenResponseUserSpecifiedTest : public ::testing::Test {
protected:
    HostWardenResponseUserSpecifiedTest() {
        m_Sensor.SetSensorName("web1");
        m_Sensor.SetSensorAddress("192.0.2.10");
        m_Rule.SetName("Port Scan");
        m_Rule.SetOrigin(kRuleOriginStandard);
    }

    // A record of the rule as an engine makes it, turned into the sensor's
    // alert event by the rule's policy event.
    std::unique_ptr<ICSFAlertEvent, EventDeleter> Convert(AgentEventInfoDefault* pRecord) {
        return std::unique_ptr<ICSFAlertEvent, EventDeleter>(
            m_Policy.CreateAlertEvent(nullptr, pRecord, 1));
    }

    // The record takes its alert type from the rule when it is made.
    AgentEventInfoDefault* Record(const char* pszAlertType) {
        m_Rule.SetAlertType(pszAlertType);
        auto* pRecord = new AgentEventInfoDefault(&m_Rule, 1);
        pRecord->m_dwSourceAddress = inet_addr("10.1.2.3");
        pRecord->m_bSourceAddressSet = true;
        pRecord->m_nSourcePort = 4242;
        pRecord->m_dwDestinationAddress = inet_addr("192.0.2.10");
        pRecord->m_bDestinationAddressSet = true;
        pRecord->m_nDestinationPort = 23;
        pRecord->m_dwIANAProtocolId = 6;
        pRecord->m_bIANAProtocolIdSet = true;
        return pRecord;
    }

    const char* Line(const char* pszTemplate, ICSFAlertEvent* pEvent) {
        return m_pFormatter->GetParameters(pszTemplate, pEvent);
    }

    CSFSensor m_Sensor;
    PlainRule m_Rule;
    CPolicyEvent m_Policy;
    FormatterPtr<CHostWardenResponseUserSpecified> m_pFormatter{
        new CHostWardenResponseUserSpecified()};
};

}  // namespace

// Only whole words that are tags become quoted values, each word followed
// by one blank; the resource and application values follow the record's
// own alert type.
TEST_F(HostWardenResponseUserSpecifiedTest, TagWordsBecomeQuotedValuesAndOtherWordsStay) {
    const struct {
        const char* pszAlertType;
        const char* pszTemplate;
        const char* pszLine;
    } kCases[] = {
        {"SuspectPortConnection",
         "-n <event> <srcaddr> <srcport> <destaddr> <destport> <ProtocolName> <AlertType>",
         "-n \"Port Scan\" \"10.1.2.3\" \"4242\" \"192.0.2.10\" \"23\" \"TCP\" \"SuspectPortConnection\" "},
        {"SuspectPortConnection", "<SensorName> <MeldVulnStatus> <SourcePort>,",
         "\"web1\" \"N/A\" <SourcePort>, "},
        {"ResourceShortage", "<ResourceID> <Application>", "\"77\" \"N/A\" "},
        {"ApplicationEvent", "<ResourceID> <Application>", "\"N/A\" \"db\" "},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszTemplate);
        AgentEventInfoDefault* pRecord = Record(c.pszAlertType);
        pRecord->m_nResourceId = 77;
        pRecord->SetApplicationText("db");
        auto event = Convert(pRecord);
        ASSERT_NE(nullptr, event);
        FormatterPtr<CHostWardenResponseUserSpecified> pFormatter(
            new CHostWardenResponseUserSpecified());
        EXPECT_STREQ(c.pszLine, pFormatter->GetParameters(c.pszTemplate, event.get()));
    }
}

TEST_F(HostWardenResponseUserSpecifiedTest, PlainFirstFormEventRefreshesOnlyTheCommonTags) {
    auto event = MakeAdfEvent("Plain", 1, 202);
    event->Add("SourceAddress", AlertValue::String("10.9.9.9"), 1);
    event->Add(":Remote", AlertValue::String("x"), 2);
    EXPECT_STREQ("\"Plain\" \"high\" \"N/A\" \" :Remote: x;\" ",
                 Line("<event> <Priority> <srcaddr> <OtherParameters>", event.get()));
}

// The host splits the line as read up to its first NUL: a NUL in a value
// is a blank there, and the arguments after it are all there.
TEST_F(HostWardenResponseUserSpecifiedTest, NulInAValueHidesNoArgumentAfterIt) {
    auto event = MakeAdfEvent("Plain", 1, 202);
    event->Add(":Remote", AlertValue::String(std::string_view("x\0y", 3)), 2);
    EXPECT_STREQ("\" :Remote: x y;\" \"Plain\" ",
                 Line("<OtherParameters> <event>", event.get()));
}

TEST_F(HostWardenResponseUserSpecifiedTest, LegacyUnreadableAndUnsupportedEvents) {
    auto legacy = MakeLegacyEvent("", 1029, 3, {{"Line", "a;b"}});
    EXPECT_STREQ("\"\" \"\" \"0x405\" \" Line: a;b;\" \"low\" ",
                 Line("<event> <AlertName> <Action> <OtherParameters> <Priority>", legacy.get()));
    // A priority that cannot be read is "unknown", not an exception
    // through the host.
    std::unique_ptr<UnreadablePriorityEvent, EventDeleter> odd(new UnreadablePriorityEvent());
    odd->SetHeaderValue(kAlertName, AlertValue::String("Odd"));
    EXPECT_STREQ("\"unknown\" \"Odd\" ", Line("<Priority> <event>", odd.get()));
    ForeignEvent foreign;
    EXPECT_EQ(nullptr, Line("<event>", &foreign));
    EXPECT_EQ(nullptr, Line("<event>", nullptr));
}

TEST_F(HostWardenResponseUserSpecifiedTest,
       ReturnedLinePassedBackAsTemplateIsReadBeforeItIsRebuilt) {
    auto event = Convert(Record("SuspectPortConnection"));
    ASSERT_NE(nullptr, event);
    const char* pszLine = Line("-n <event>", event.get());
    EXPECT_STREQ("-n \"Port Scan\" ", Line(pszLine, event.get()));
}
