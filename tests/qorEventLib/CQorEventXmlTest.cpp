#include <gtest/gtest.h>

#include <string>

#include "platform/ScopedTimeZone.h"
#include "qorEventLib/AdfXmlUtils.h"
#include "qorEventLib/CQorEvent.h"
#include "qorEventLib/EventTestUtil.h"
#include "qorEventLib/qorEventStatus.h"
#include "support/TestUtil.h"

using evtest::FillHeader;

namespace {

// Runs xmllint over one document; true when it is well-formed.
bool WellFormed(const std::string& xml, std::string& complaint) {
    if (hwtest::FindProgram("xmllint").empty()) {
        complaint = "xmllint is not installed (scripts/install-deps)";
        return false;
    }
    hwtest::ScratchDirectory scratch;
    std::string file = scratch.File("event.xml");
    hwtest::WriteWholeFile(file, xml);
    return evtest::RunTool({"xmllint", "--noout", file}, complaint) == 0;
}

}  // namespace

TEST(CQorEventXml, EventWithEmptySectionsRendersHeaderAttributesAndThreeEmptyElements) {
    CQorEvent event;
    FillHeader(event);
    std::string xml = "prefix|";
    ASSERT_EQ(QOR_S_OK, event.ToXml(xml));
    EXPECT_TRUE(event.IsFrozen());
    const std::string expected =
        "prefix|<event alert-format-version='85' alert-name-type='1' alert-name='PortScan' "
        "alert-date-time='2023-11-14T22:13:20' local-timezone-offset='-3600' "
        "alert-time-precision='500000000' alert-time-sequence-id='0' alert-id='" +
        event.GetAlertIdText() +
        "' sensor-address='192.0.2.7' sensor-name='sensor-1' product-id='3' alert-type='101' "
        "alert-priority='2' alert-flags='0' >\n"
        "<sensor-parameters>\n</sensor-parameters>\n"
        "<alert-parameters>\n</alert-parameters>\n"
        "<updated-parameters>\n</updated-parameters>\n"
        "</event>\n";
    EXPECT_EQ(expected, xml);
    EXPECT_EQ(QOR_S_OK, event.ValidateIntegrity());
}

TEST(CQorEventXml, RecordsRenderAsParamElementsWithTheirXmlTypes) {
    CQorEvent event;
    FillHeader(event);
    ASSERT_EQ(QOR_S_OK, event.Add("Message", AlertValue::String("hi"), 1));
    ASSERT_EQ(QOR_S_OK, event.Add("Code", AlertValue::Integer(-1), 1));
    ASSERT_EQ(QOR_S_OK, event.Add("Raw", AlertValue::Blob("\0\0\0", 3), 2));
    ASSERT_EQ(QOR_S_OK, event.Add("When", AlertValue::Date(0), 2));
    std::string xml;
    ASSERT_EQ(QOR_S_OK, event.ToXml(xml));
    ASSERT_EQ(QOR_S_OK, event.Update("Code", AlertValue::Integer(5), 1));
    ASSERT_EQ(QOR_S_OK, event.Update("Fresh", AlertValue::Uint8(1), 1));
    std::string updated;
    ASSERT_EQ(QOR_S_OK, event.ToXml(updated));

    EXPECT_NE(std::string::npos, xml.find("<param name='Message' type='string' value='hi' />\n"));
    EXPECT_NE(std::string::npos, xml.find("<param name='Code' type='int' value='-1' />\n"));
    EXPECT_NE(std::string::npos, xml.find("<param name='Raw' type='base64Binary' value='....' />\n"));
    EXPECT_NE(std::string::npos,
              xml.find("<param name='When' type='dateTime' value='1970-01-01T00:00:00' />\n"));
    EXPECT_NE(std::string::npos, updated.find("<updated-parameters>\n"
                                              "<param name='Code' type='int' value='-1' />\n"
                                              "<param name='Fresh' />\n"
                                              "</updated-parameters>\n"));
    std::string complaint;
    EXPECT_TRUE(WellFormed(updated, complaint)) << complaint;
}

TEST(CQorEventXml, HostileNamesAndValuesAreEscapedAndTheDocumentStaysWellFormed) {
    CQorEvent event;
    FillHeader(event);
    ASSERT_EQ(QOR_S_OK, event.SetHeaderValue(kAlertName, AlertValue::String("a'b\"c<d>e&f")));
    ASSERT_EQ(QOR_S_OK, event.SetHeaderValue(kSensorName, AlertValue::String("x' evil='1")));
    ASSERT_EQ(QOR_S_OK, event.Add("Message", AlertValue::String("line1\nline2\ttab\r\x01\x1b[0m"), 1));
    ASSERT_EQ(QOR_S_OK, event.Add("na'me<&>", AlertValue::String("bad utf8 \xFF\xC3 and \xED\xA0\x80 ok \xC3\xA9"), 2));
    ASSERT_EQ(QOR_S_OK, event.Add("</alert-parameters><x>", AlertValue::String("]]>"), 2));
    std::string xml;
    ASSERT_EQ(QOR_S_OK, event.ToXml(xml));

    EXPECT_NE(std::string::npos, xml.find("alert-name='a&apos;b&quot;c&lt;d&gt;e&amp;f'"));
    EXPECT_NE(std::string::npos, xml.find("sensor-name='x&apos; evil=&apos;1'"));
    EXPECT_NE(std::string::npos, xml.find("value='line1&#xA;line2&#x9;tab&#xD;\xEF\xBF\xBD\xEF\xBF\xBD[0m'"));
    EXPECT_NE(std::string::npos, xml.find("name='na&apos;me&lt;&amp;&gt;'"));
    EXPECT_NE(std::string::npos, xml.find("ok \xC3\xA9'"));
    EXPECT_EQ(std::string::npos, xml.find("\xFF"));
    std::string complaint;
    EXPECT_TRUE(WellFormed(xml, complaint)) << complaint << "\n" << xml;
}

TEST(CQorEventXml, FailureIsAnsweredAsAStatusNotRaised) {
    CQorEvent incomplete;
    std::string xml = "kept";
    EXPECT_EQ(EVL_ALERT_HEADER_INCOMPLETE, incomplete.ToXml(xml));
    EXPECT_EQ("kept", xml);

    // A frozen event whose header value lost its required kind.
    CQorEvent event;
    FillHeader(event);
    ASSERT_EQ(QOR_S_OK, event.ToXml(xml));
    ASSERT_EQ(QOR_S_OK, event.UpdateHeaderValue(kAlertType, AlertValue::String("not a number")));
    std::string again;
    EXPECT_EQ(EVL_ALERT_INVALID_REQUIRED_PARAMETER, event.ToXml(again));
    EXPECT_EQ("", again);
}

TEST(AdfXmlUtils, DatesRenderInUtcWhateverTheZone) {
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ("1970-01-01T00:00:00", AdfXmlUtils::XmlDateText(0));
    EXPECT_EQ("2021-07-15T12:00:00", AdfXmlUtils::XmlDateText(1626350400));
    int64_t seconds = 0;
    ASSERT_EQ(QOR_S_OK, AdfXmlUtils::ParseXmlDateText("2021-07-15T12:00:00", seconds));
    EXPECT_EQ(1626350400, seconds);
    EXPECT_EQ(EVL_ALERT_XML_BAD_DATETIME_VALUE, AdfXmlUtils::ParseXmlDateText("2021-07-15 12:00:00", seconds));
    EXPECT_EQ(EVL_ALERT_XML_BAD_DATETIME_VALUE, AdfXmlUtils::ParseXmlDateText("2021-13-15T12:00:00", seconds));
    EXPECT_EQ(EVL_ALERT_XML_BAD_DATETIME_VALUE, AdfXmlUtils::ParseXmlDateText("2021-07", seconds));
}

TEST(AdfXmlUtils, BlobTextBreaksLinesAfter62AndThenEvery70Characters) {
    uint8_t bytes[3] = {0xFF, 0x00, 0x01};
    AlertBlob* small = new AlertBlob(bytes, 3);
    AlertValue keep = AlertValue::Blob(small);
    // Six bits at a time, low bits first: 63 'z', 3 '1', 16 'E', then the
    // last 6 bits, 0 '.'.
    EXPECT_EQ("z1E.", AdfXmlUtils::BlobText(small));

    uint8_t zeros[150] = {};
    AlertValue big = AlertValue::Blob(zeros, sizeof zeros);
    std::string text = AdfXmlUtils::BlobText(big.GetBlob());
    // 150 bytes are 200 characters: breaks after 62, 132 and 202 (not reached).
    ASSERT_EQ(200u + 2u, text.size());
    EXPECT_EQ('\n', text[62]);
    EXPECT_EQ('\n', text[62 + 1 + 70]);
    EXPECT_EQ("", AdfXmlUtils::BlobText(nullptr));
}

