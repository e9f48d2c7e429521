#include "Responses/ResponseFieldReader.h"

#include <gtest/gtest.h>

#include "qorEventLib/CQorEvent.h"

namespace {

class ResponseFieldReaderTest : public ::testing::Test {
protected:
    ResponseFieldReaderTest() {
        FillAlertTypeNameMap(m_AlertTypes);
        RegisterResponseTags(m_Tags, ResponseTag::kDerivedTags);
        for (const char* alias : {ResponseTag::kSrcAddr, ResponseTag::kSrcPort, ResponseTag::kDestAddr,
                                  ResponseTag::kDestPort}) {
            m_Tags[alias] = ResponseTag::kNotAvailable;
        }
    }

    void AddField(const char* pszName, const AlertValue& value) {
        ASSERT_EQ(0u, m_Event.Add(pszName, value, EventField::kAlertSection));
    }

    ResponseFieldReader Reader(bool bAliases = true) {
        return ResponseFieldReader(m_Tags, m_Event, m_AlertTypes, bAliases);
    }

    const std::string& Tag(const char* pszTag) { return m_Tags[pszTag]; }

    CQorEvent m_Event;
    ResponseTagMap m_Tags;
    AlertTypeNameMap m_AlertTypes;
};

}  // namespace

TEST_F(ResponseFieldReaderTest, ProtocolNeedsUnsignedNumberAndArpHasNoNumber) {
    AddField("IANAProtocolId", AlertValue::Uint32(6));
    Reader().SetProtocol();
    EXPECT_EQ("TCP", Tag("<ProtocolName>"));
    EXPECT_EQ("6", Tag("<Protocol>"));

    m_Event.Reset();
    AddField("IANAProtocolId", AlertValue::Uint32(255));
    m_Tags["<Protocol>"] = "N/A";
    Reader().SetProtocol();
    EXPECT_EQ("ARP", Tag("<ProtocolName>"));
    EXPECT_EQ("N/A", Tag("<Protocol>"));

    m_Event.Reset();
    AddField("IANAProtocolId", AlertValue::Integer(17));
    Reader().SetProtocol();
    EXPECT_EQ("ARP", Tag("<ProtocolName>"));

    m_Event.Reset();
    AddField("IANAProtocolId", AlertValue::Uint32(0));
    Reader().SetProtocol();
    EXPECT_EQ("0", Tag("<Protocol>"));
}

TEST_F(ResponseFieldReaderTest, UserNameIsPreferredToSpacedFormAndPortsMustBeUnsigned) {
    AddField("SourcePort", AlertValue::String("80"));
    Reader().SetSourcePort();
    EXPECT_EQ("N/A", Tag("<SourcePort>"));
    EXPECT_EQ("N/A", Tag("<srcport>"));
    AddField("User Name", AlertValue::String("spaced"));
    Reader().SetUserName();
    EXPECT_EQ("spaced", Tag("<UserName>"));
    AddField("UserName", AlertValue::String("joined"));
    Reader().SetUserName();
    EXPECT_EQ("joined", Tag("<UserName>"));
}

TEST_F(ResponseFieldReaderTest, AlertTypeIsNamedFromTheHeader) {
    Reader().SetAlertType();
    EXPECT_EQ("N/A", Tag("<AlertType>"));
    ASSERT_EQ(0u, m_Event.SetHeaderValue(kAlertType, AlertValue::Uint32(104)));
    Reader().SetAlertType();
    EXPECT_EQ("SuspiciousARP", Tag("<AlertType>"));
    ASSERT_EQ(0u, m_Event.SetHeaderValue(kAlertType, AlertValue::Uint32(201)));
    Reader().SetAlertType();
    EXPECT_EQ("unknown", Tag("<AlertType>"));
    ASSERT_EQ(0u, m_Event.SetHeaderValue(kAlertType, AlertValue::String("210")));
    Reader().SetAlertType();
    EXPECT_EQ("unknown", Tag("<AlertType>"));
}
