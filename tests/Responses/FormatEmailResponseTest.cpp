#include "Responses/FormatEmailResponse.h"

#include <gtest/gtest.h>

#include "ResponseTestEvents.h"

using namespace responsetest;

namespace {

class FormatEmailResponseTest : public ::testing::Test {
protected:
    FormatEmailResponseTest() {
        m_Sensor.SetSensorName("web1");
        m_Sensor.SetSensorAddress("192.0.2.10");
    }

    CSFSensor m_Sensor;
    FormatterPtr<CFormatEmailResponse> m_pMail{new CFormatEmailResponse()};
};

}  // namespace

TEST_F(FormatEmailResponseTest, FreshObjectGivesNotAvailableAndNoPriorityLine) {
    EXPECT_STREQ("Quellguard(R) event: N/A", m_pMail->GetSubject(nullptr));
    const std::string body = m_pMail->GetBody(nullptr);
    EXPECT_EQ(0u, body.find("'N/A' event detected by Quellguard(R) HostWarden '' at ''.\n"
                            "Details:\n\tTime: N/A UTC\n\tAlert Type: N/A\n"))
        << body;
    EXPECT_NE(std::string::npos, body.find("\tProtocol: N/A(N/A)\n")) << body;
}

TEST_F(FormatEmailResponseTest, DefaultBodyListsTheAlertsFields) {
    auto event = MakeAdfEvent("Port_Probe", 2, 202);
    event->Add("SourceAddress", AlertValue::String("198.51.100.7"), 1);
    event->Add("SourcePort", AlertValue::Uint32(40000), 1);
    event->Add("DestinationAddress", AlertValue::String("192.0.2.10"), 1);
    event->Add("DestinationPort", AlertValue::Uint32(443), 1);
    event->Add("DestinationPortName", AlertValue::String("https"), 1);
    event->Add("IANAProtocolId", AlertValue::Uint32(6), 1);
    event->Add("ICMPType", AlertValue::Uint32(3), 1);
    event->Add("AttackOrigin", AlertValue::String("IPAddr: 198.51.100.7"), 1);
    event->Add("ResponseList", AlertValue::String("EMAIL=Admins:0"), 1);
    event->Add(":Remote", AlertValue::String("198.51.100.7"), 2);
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    EXPECT_STREQ("Quellguard(R) event: Port_Probe", m_pMail->GetSubject(nullptr));
    const std::string expected =
        "'Port_Probe' event detected by Quellguard(R) HostWarden 'web1' at '192.0.2.10'.\n"
        "Details:\n"
        "\tTime: Tue, 14 Mar 2006 10:15:20 +0000 UTC\n"
        "\tPriority: medium\n"
        "\tAlert Type: SuspectPortConnection\n"
        "\tSource IP Address: 198.51.100.7\n"
        "\tSource Port: N/A(40000)\n"
        "\tDestination IP Address: 192.0.2.10\n"
        "\tDestination Port: https(443)\n"
        "\tProtocol: TCP(6)\n"
        "\tAttack Origin: IPAddr: 198.51.100.7\n"
        "\tUser Name: N/A\n"
        "\tResourceID: N/A\n"
        "\tResourceSubID: N/A\n"
        "\tApplication Name: N/A\n"
        "\tActions: EMAIL=Admins:0\n"
        "\tEvent Specific Information:\n"
        "\t\t:Remote: 198.51.100.7\n"
        "\t\tICMPType: 3\n"
        "\n";
    EXPECT_EQ(expected, std::string(m_pMail->GetBody(nullptr)));
    // Built from the tags again, not appended to the last body.
    EXPECT_EQ(expected, std::string(m_pMail->GetBody(nullptr)));
}

TEST_F(FormatEmailResponseTest, PortNameEqualToNumberIsWrittenOnce) {
    auto event = MakeAdfEvent("x", 1, 210);
    event->Add("SourcePort", AlertValue::Uint32(80), 1);
    event->Add("SourcePortName", AlertValue::String("80"), 1);
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    EXPECT_NE(std::string::npos, std::string(m_pMail->GetBody(nullptr)).find("\tSource Port: 80\n"));
}

TEST_F(FormatEmailResponseTest, TemplateReplacesEveryRegisteredTag) {
    auto event = MakeAdfEvent("Login_Failure", 1, 203);
    event->Add("UserName", AlertValue::String("root"), 1);
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    std::string allTags;
    for (const auto& [tag, value] : m_pMail->Tags()) {
        allTags += tag + "|";
    }
    const std::string subject = m_pMail->GetSubject(allTags.c_str());
    EXPECT_EQ(std::string::npos, subject.find('<')) << subject;
    EXPECT_EQ(subject, std::string(m_pMail->GetBody(allTags.c_str())));
    EXPECT_STREQ("root on web1 (high) <Unknown>",
                 m_pMail->GetSubject("<UserName> on <SensorName> (<Priority>) <Unknown>"));
}

TEST_F(FormatEmailResponseTest, UnreadablePriorityIsUnknownAndReadingGoesOn) {
    FormatterPtr<CFormatEmailResponse> pMail(new CFormatEmailResponse());
    std::unique_ptr<UnreadablePriorityEvent, EventDeleter> event(new UnreadablePriorityEvent());
    event->SetHeaderValue(kAlertName, AlertValue::String("Odd"));
    event->Add("UserName", AlertValue::String("bob"), 1);
    ASSERT_TRUE(pMail->ExtractEventData(event.get()));
    EXPECT_EQ("unknown", pMail->Tags().at("<Priority>"));
    EXPECT_EQ("Odd", pMail->Tags().at("<AlertName>"));
    EXPECT_EQ("bob", pMail->Tags().at("<UserName>"));
}

TEST_F(FormatEmailResponseTest, ResourceAndApplicationFollowTheEventsOwnType) {
    auto resource = MakeAdfEvent("Disk_Full", 3, 208);
    resource->Add("ResourceID", AlertValue::Uint32(12), 1);
    resource->Add("Application", AlertValue::String("db"), 1);
    ASSERT_TRUE(m_pMail->ExtractEventData(resource.get()));
    EXPECT_EQ("12", m_pMail->Tags().at("<ResourceID>"));
    EXPECT_EQ("N/A", m_pMail->Tags().at("<Application>"));

    FormatterPtr<CFormatEmailResponse> pOther(new CFormatEmailResponse());
    auto application = MakeAdfEvent("App_Error", 3, 211);
    application->Add("ResourceID", AlertValue::Uint32(12), 1);
    application->Add("Application", AlertValue::String("db"), 1);
    ASSERT_TRUE(pOther->ExtractEventData(application.get()));
    EXPECT_EQ("N/A", pOther->Tags().at("<ResourceID>"));
    EXPECT_EQ("db", pOther->Tags().at("<Application>"));
}

TEST_F(FormatEmailResponseTest, EventOfNeitherFormIsRefusedAndObjectStaysUsable) {
    ForeignEvent foreign;
    EXPECT_FALSE(m_pMail->ExtractEventData(&foreign));
    EXPECT_FALSE(m_pMail->ExtractEventData(nullptr));
    EXPECT_EQ("web1", m_pMail->Tags().at("<SensorName>"));
    EXPECT_STREQ("Quellguard(R) event: N/A", m_pMail->GetSubject(nullptr));
}

TEST_F(FormatEmailResponseTest, LegacyEventLeavesTheSensorsFieldsAlone) {
    auto event = MakeLegacyEvent("Legacy", 44, 3, {{"Line", "x y"}, {"", "skipped"}});
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    const std::string body = m_pMail->GetBody(nullptr);
    EXPECT_NE(std::string::npos, body.find("\tPriority: low\n\tAlert Type: N/A\n")) << body;
    EXPECT_NE(std::string::npos, body.find("\tProtocol: N/A(N/A)\n")) << body;
    EXPECT_NE(std::string::npos,
              body.find("\tActions: 0x2c\n\tEvent Specific Information:\n\t\tLine: x y\n\n"))
        << body;
    EXPECT_EQ(event->GetTimeText(), m_pMail->Tags().at("<AlertDateTime>"));
}

TEST_F(FormatEmailResponseTest, EmptyLegacyNameIsEmptyInLayoutAndNotAvailableInTemplate) {
    auto event = MakeLegacyEvent("", 0, 1);
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    EXPECT_STREQ("Quellguard(R) event: ", m_pMail->GetSubject(nullptr));
    EXPECT_EQ(0u, std::string(m_pMail->GetBody(nullptr)).find("'' event detected by"));
    EXPECT_STREQ("[N/A] 0x0", m_pMail->GetSubject("[<AlertName>] <Action>"));
}

TEST_F(FormatEmailResponseTest, ReturnedTextPassedBackAsTemplateIsReadBeforeItIsRebuilt) {
    auto event = MakeAdfEvent("Port_Probe", 2, 202);
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    const char* pszSubject = m_pMail->GetSubject("<AlertName> on <SensorName>");
    EXPECT_STREQ("Port_Probe on web1", m_pMail->GetSubject(pszSubject));
    const char* pszBody = m_pMail->GetBody("<Priority>: <AlertName>");
    EXPECT_STREQ("medium: Port_Probe", m_pMail->GetBody(pszBody));
}
