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

// The whole layout is proven by the mail hwhost writes; here the lines
// whose shape depends on the values.
TEST_F(FormatEmailResponseTest, PortNameIsFollowedByItsNumberOnlyWhenTheyDiffer) {
    auto event = MakeAdfEvent("Port_Probe", 2, 202);
    event->Add("SourcePort", AlertValue::Uint32(80), 1);
    event->Add("SourcePortName", AlertValue::String("80"), 1);
    event->Add("DestinationPort", AlertValue::Uint32(443), 1);
    event->Add("DestinationPortName", AlertValue::String("https"), 1);
    event->Add("IANAProtocolId", AlertValue::Uint32(6), 1);
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    const std::string body = m_pMail->GetBody(nullptr);
    EXPECT_NE(std::string::npos, body.find("\tSource Port: 80\n")) << body;
    EXPECT_NE(std::string::npos, body.find("\tDestination Port: https(443)\n")) << body;
    EXPECT_NE(std::string::npos, body.find("\tProtocol: TCP(6)\n")) << body;
    // Built from the tags again, not appended to the last body.
    EXPECT_EQ(body, std::string(m_pMail->GetBody(nullptr)));
}

// Each tag takes a field only of the kind it expects, and the resource and
// application fields follow the formatted event's own alert type.
TEST_F(FormatEmailResponseTest, TagsTakeFieldsOfTheRightKindOnly) {
    using V = AlertValue;
    const struct {
        uint32_t dwAlertType;
        const char* pszField;
        AlertValue value;
        const char* pszTemplate;
        const char* pszExpected;
    } kCases[] = {
        {210, "IANAProtocolId", V::Uint32(255), "<ProtocolName>(<Protocol>)", "ARP(N/A)"},
        {210, "IANAProtocolId", V::Uint32(0), "<ProtocolName>(<Protocol>)", "HOPOPT(0)"},
        {210, "IANAProtocolId", V::Integer(17), "<ProtocolName>(<Protocol>)", "N/A(N/A)"},
        {210, "SourcePort", V::String("80"), "<SourcePort>", "N/A"},
        {210, "Other", V::String("x"), "<UserName>", "spaced"},
        {210, "UserName", V::String("joined"), "<UserName>", "joined"},
        {104, "Other", V::String("x"), "<AlertType>", "SuspiciousARP"},
        {201, "Other", V::String("x"), "<AlertType>", "unknown"},
        {208, "Other", V::String("x"), "<ResourceID> <Application>", "12 N/A"},
        {211, "Other", V::String("x"), "<ResourceID> <Application>", "N/A db"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszTemplate);
        auto event = MakeAdfEvent("x", 1, c.dwAlertType);
        event->Add("User Name", V::String("spaced"), 1);
        event->Add("ResourceID", V::Uint32(12), 1);
        event->Add("Application", V::String("db"), 1);
        event->Add(c.pszField, c.value, 1);
        FormatterPtr<CFormatEmailResponse> pMail(new CFormatEmailResponse());
        ASSERT_TRUE(pMail->ExtractEventData(event.get()));
        EXPECT_STREQ(c.pszExpected, pMail->GetSubject(c.pszTemplate));
    }
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
    // A returned text passed back as the template is read before it is
    // rebuilt.
    const char* pszSubject = m_pMail->GetSubject("<UserName> on <SensorName> (<Priority>) <x>");
    EXPECT_STREQ("root on web1 (high) <x>", m_pMail->GetSubject(pszSubject));
    const char* pszBody = m_pMail->GetBody("<AlertName>");
    EXPECT_STREQ("Login_Failure", m_pMail->GetBody(pszBody));
}

// The host reads subject and body up to their first NUL: a NUL in a value
// (a byte of a datagram) is shown as U+FFFD and takes nothing with it.
TEST_F(FormatEmailResponseTest, NulInAValueHidesNothingAfterIt) {
    auto event = MakeAdfEvent("Login_Failure", 1, 203);
    event->Add("UserName", AlertValue::String(std::string_view("ro\0ot", 5)), 1);
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    EXPECT_STREQ("ro\xEF\xBF\xBDot on web1", m_pMail->GetSubject("<UserName> on <SensorName>"));
    const std::string body = m_pMail->GetBody(nullptr);
    EXPECT_NE(std::string::npos, body.find("\tUser Name: ro\xEF\xBF\xBDot\n")) << body;
    EXPECT_NE(std::string::npos, body.find("\tPriority: high\n")) << body;
}

// A value is whoever sent it's choice: a line break in it must not start a
// line that reads as one of the mail's own details.
TEST_F(FormatEmailResponseTest, LineBreakInAValueStartsNoLineOfTheMail) {
    auto event = MakeAdfEvent("Login_Failure", 1, 203);
    event->Add("UserName", AlertValue::String("bob\n\tPriority: low"), 1);
    event->Add("Note", AlertValue::String("a\r\n\t\tVerdict: harmless"), 1);
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    EXPECT_STREQ("bob \tPriority: low on web1", m_pMail->GetSubject("<UserName> on <SensorName>"));
    const std::string body = m_pMail->GetBody(nullptr);
    EXPECT_NE(std::string::npos, body.find("\tUser Name: bob \tPriority: low\n")) << body;
    EXPECT_EQ(std::string::npos, body.find("\n\tPriority: low")) << body;
    EXPECT_NE(std::string::npos, body.find("\t\tNote: a  \t\tVerdict: harmless\n")) << body;
    EXPECT_EQ(std::string::npos, body.find("\n\t\tVerdict")) << body;

    auto legacy = MakeLegacyEvent("Login_Failure", 0, 1, {{"User", "eve\nAction: none"}});
    ASSERT_TRUE(m_pMail->ExtractEventData(legacy.get()));
    const std::string legacyBody = m_pMail->GetBody(nullptr);
    EXPECT_NE(std::string::npos, legacyBody.find("User: eve Action: none\n")) << legacyBody;
}

TEST_F(FormatEmailResponseTest, UnreadablePriorityIsUnknownAndReadingGoesOn) {
    std::unique_ptr<UnreadablePriorityEvent, EventDeleter> event(new UnreadablePriorityEvent());
    event->SetHeaderValue(kAlertName, AlertValue::String("Odd"));
    event->Add("UserName", AlertValue::String("bob"), 1);
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    EXPECT_STREQ("unknown Odd bob", m_pMail->GetSubject("<Priority> <AlertName> <UserName>"));
}

TEST_F(FormatEmailResponseTest, EventOfNeitherFormIsRefusedAndTheTagsStayNotAvailable) {
    ForeignEvent foreign;
    EXPECT_FALSE(m_pMail->ExtractEventData(&foreign));
    EXPECT_FALSE(m_pMail->ExtractEventData(nullptr));
    EXPECT_STREQ("Quellguard(R) event: N/A", m_pMail->GetSubject(nullptr));
    // No priority line before an event was read.
    const std::string body = m_pMail->GetBody(nullptr);
    EXPECT_EQ(0u, body.find("'N/A' event detected by Quellguard(R) HostWarden 'web1' at "
                            "'192.0.2.10'.\nDetails:\n\tTime: N/A UTC\n\tAlert Type: N/A\n"))
        << body;
}

// The legacy form's empty name is empty in the layout but "N/A" in a
// template; its fixed fields leave the sensor's tags alone.
TEST_F(FormatEmailResponseTest, LegacyEventFillsOnlyItsOwnFields) {
    auto event = MakeLegacyEvent("", 44, 3, {{"Line", "x y"}, {"", "skipped"}});
    ASSERT_TRUE(m_pMail->ExtractEventData(event.get()));
    EXPECT_STREQ("Quellguard(R) event: ", m_pMail->GetSubject(nullptr));
    EXPECT_STREQ("[N/A] 0x2c", m_pMail->GetSubject("[<AlertName>] <Action>"));
    const std::string body = m_pMail->GetBody(nullptr);
    EXPECT_EQ(0u, body.find("'' event detected by")) << body;
    EXPECT_NE(std::string::npos, body.find("\tPriority: low\n\tAlert Type: N/A\n")) << body;
    EXPECT_NE(std::string::npos, body.find("\tProtocol: N/A(N/A)\n")) << body;
    EXPECT_NE(std::string::npos,
              body.find("\tActions: 0x2c\n\tEvent Specific Information:\n\t\tLine: x y\n\n"))
        << body;
    EXPECT_EQ(event->GetTimeText(), m_pMail->Tags().at("<AlertDateTime>"));
}
