#include "qorToolsLib/SnmpTrapMessage.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes EncodeAll(const ASN1Object& object) {
    Bytes out(object.EncodedLength() + 8, 0xEE);
    uint32_t written = object.Encode(out.data(), static_cast<uint32_t>(out.size()));
    EXPECT_EQ(object.EncodedLength(), written);
    out.resize(written);
    return out;
}

Bytes Header(const ASN1Object& object) {
    Bytes all = EncodeAll(object);
    size_t headerSize = all.size() - object.ContentLength();
    return Bytes(all.begin(), all.begin() + static_cast<long>(headerSize));
}

}  // namespace

TEST(Asn1Length, LengthFieldUsesFewestOctets) {
    std::string text127(127, 'x'), text128(128, 'x'), text300(300, 'x'), text70000(70000, 'x');
    ASN1DisplayString s127(text127), s128(text128), s300(text300), s70000(text70000);
    EXPECT_EQ((Bytes{0x04, 0x7F}), Header(s127));
    EXPECT_EQ((Bytes{0x04, 0x81, 0x80}), Header(s128));
    EXPECT_EQ((Bytes{0x04, 0x82, 0x01, 0x2C}), Header(s300));
    EXPECT_EQ((Bytes{0x04, 0x83, 0x01, 0x11, 0x70}), Header(s70000));
}

TEST(Asn1Integer, ValuesUseFewestTwosComplementOctets) {
    EXPECT_EQ((Bytes{0x02, 0x01, 0x00}), EncodeAll(ASN1Integer(0)));
    EXPECT_EQ((Bytes{0x02, 0x01, 0x06}), EncodeAll(ASN1Integer(6)));
    EXPECT_EQ((Bytes{0x02, 0x02, 0x00, 0xC8}), EncodeAll(ASN1Integer(200)));
    EXPECT_EQ((Bytes{0x02, 0x01, 0xFF}), EncodeAll(ASN1Integer(-1)));
    EXPECT_EQ((Bytes{0x02, 0x02, 0xFF, 0x7F}), EncodeAll(ASN1Integer(-129)));
    EXPECT_EQ((Bytes{0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}), EncodeAll(ASN1Integer(0x7FFFFFFF)));
    EXPECT_EQ((Bytes{0x02, 0x04, 0x80, 0x00, 0x00, 0x00}), EncodeAll(ASN1Integer(INT32_MIN)));
}

TEST(Asn1Integer, TicksAreUnsignedAndTakeAFifthOctetWhenTheTopBitIsSet) {
    EXPECT_EQ((Bytes{0x43, 0x01, 0x00}), EncodeAll(ASN1TimeTicks(0)));
    EXPECT_EQ((Bytes{0x43, 0x02, 0x00, 0x80}), EncodeAll(ASN1TimeTicks(128)));
    EXPECT_EQ((Bytes{0x43, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}),
              EncodeAll(ASN1TimeTicks(0xFFFFFFFFu)));
}

TEST(Asn1Integer, AddressKeepsItsNetworkOrderOctets) {
    EXPECT_EQ((Bytes{0x40, 0x04, 0x0A, 0x01, 0x02, 0x03}),
              EncodeAll(ASN1IpAddress(inet_addr("10.1.2.3"))));
    EXPECT_EQ((Bytes{0x40, 0x04, 0x00, 0x00, 0x00, 0x00}), EncodeAll(ASN1IpAddress(0)));
}

TEST(Asn1OctetString, EmptyTextBecomesNullAndAssignmentCopiesTagAndBytes) {
    EXPECT_EQ((Bytes{0x05, 0x00}), EncodeAll(ASN1DisplayString("")));
    EXPECT_EQ((Bytes{0x05, 0x00}), EncodeAll(ASN1OctetString(nullptr, 5)));
    ASN1OctetString text;
    text = "ab";
    EXPECT_EQ((Bytes{0x04, 0x02, 'a', 'b'}), EncodeAll(text));
    ASN1OctetString copy;
    copy = text;
    EXPECT_EQ(EncodeAll(text), EncodeAll(copy));
    text = std::string();
    EXPECT_EQ((Bytes{0x05, 0x00}), EncodeAll(text));
    const uint8_t binary[] = {0x00, 0xFF, 0x00};
    EXPECT_EQ((Bytes{0x04, 0x03, 0x00, 0xFF, 0x00}), EncodeAll(ASN1OctetString(binary, 3)));
}

TEST(Asn1ObjectId, ArcsAreBase128WithContinuationBits) {
    EXPECT_EQ((Bytes{0x06, 0x05, 0x2B, 0x06, 0x01, 0x02, 0x01}),
              EncodeAll(ASN1ObjectId("1.3.6.1.2.1")));
    EXPECT_EQ((Bytes{0x06, 0x03, 0x2B, 0x81, 0x48}), EncodeAll(ASN1ObjectId("1.3.200")));
    EXPECT_EQ((Bytes{0x06, 0x04, 0x2B, 0x81, 0x9C, 0x20}), EncodeAll(ASN1ObjectId("1.3.20000")));
    EXPECT_EQ((Bytes{0x06, 0x06, 0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}),
              EncodeAll(ASN1ObjectId("1.3.4294967295")));
    EXPECT_EQ((Bytes{0x06, 0x00}), EncodeAll(ASN1ObjectId("")));
    ASN1ObjectId copy;
    copy = ASN1ObjectId("1.3.6");
    EXPECT_EQ("1.3.6", copy.Text());
    EXPECT_EQ((Bytes{0x06, 0x02, 0x2B, 0x06}), EncodeAll(copy));
}

TEST(Asn1ObjectId, OverlongTextIsCutBeforeEncoding) {
    // The cut leaves "1.3", 702 arcs of "1" and a trailing empty arc.
    std::string text = "1.3";
    while (text.size() < 2000) {
        text += ".1";
    }
    ASN1ObjectId oid(text);
    EXPECT_EQ(ASN1ObjectId::kMaxTextLength, oid.Text().size());
    EXPECT_EQ(text.substr(0, ASN1ObjectId::kMaxTextLength), oid.Text());
    EXPECT_EQ(1u + 703u, oid.ContentLength());
    // Empty arcs read as 0 and still take one octet each.
    EXPECT_EQ((Bytes{0x06, 0x03, 0x2B, 0x00, 0x00}), EncodeAll(ASN1ObjectId("1.3..")));
}

class SnmpTrapMessageEncoding : public ::testing::Test {
protected:
    SnmpTrapMessageEncoding() : m_message("public"), m_hello("hi") {
        m_message.Pdu().m_agentAddress.SetAddress(inet_addr("10.1.2.3"));
        m_message.SpecificTrap().SetValue(42);
    }

    SnmpTrapMessage m_message;
    ASN1DisplayString m_hello;
};

TEST_F(SnmpTrapMessageEncoding, MessageMatchesTheTrapLayoutByteForByte) {
    m_message.AddVarBind("1.3.6.1.4.1.32473.1.1", &m_hello);
    const Bytes expected = {
        0x30, 0x3A,                                                  // message
        0x02, 0x01, 0x00,                                            // version 1
        0x04, 0x06, 'p',  'u',  'b',  'l',  'i',  'c',               // community
        0xA4, 0x2D,                                                  // Trap-PDU
        0x06, 0x08, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59,  // enterprise
        0x40, 0x04, 0x0A, 0x01, 0x02, 0x03,                          // agent address
        0x02, 0x01, 0x06,                                            // generic trap
        0x02, 0x01, 0x2A,                                            // specific trap
        0x43, 0x01, 0x00,                                            // time stamp
        0x30, 0x12,                                                  // bindings
        0x30, 0x10,                                                  // one binding
        0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59,
        0x01, 0x01, 0x04, 0x02, 'h',  'i'};
    EXPECT_EQ(expected, EncodeAll(m_message));
}

TEST_F(SnmpTrapMessageEncoding, EmptyCommunityStaysAnOctetString) {
    m_message.Community() = "";
    Bytes all = EncodeAll(m_message);
    EXPECT_EQ((Bytes{0x02, 0x01, 0x00, 0x04, 0x00}), Bytes(all.begin() + 2, all.begin() + 7));
    // Without bindings the message still carries an empty binding list.
    EXPECT_EQ((Bytes{0x43, 0x01, 0x00, 0x30, 0x00}), Bytes(all.end() - 5, all.end()));
    m_message.Community() = ASN1OctetString();
    EXPECT_EQ(kAsn1TagOctetString, m_message.Community().Tag());
    m_message.Community() = "ravine";
    all = EncodeAll(m_message);
    EXPECT_EQ((Bytes{0x04, 0x06, 'r', 'a', 'v', 'i', 'n', 'e'}),
              Bytes(all.begin() + 5, all.begin() + 13));
}

TEST_F(SnmpTrapMessageEncoding, RoomOneOctetShortWritesNothingAndAnswersZero) {
    ASN1Integer big(123456);
    m_message.AddVarBind("1.3.6.1.4.1.32473.1.1", &m_hello);
    m_message.AddVarBind("1.3.6.1.4.1.32473.1.2", &big);
    const uint32_t length = m_message.EncodedLength();
    for (uint32_t room : {length - 1, length / 2, 1u, 0u}) {
        Bytes out(length, 0xEE);
        EXPECT_EQ(0u, m_message.Encode(out.data(), room)) << "room " << room;
    }
    for (const ASN1Object* part : std::initializer_list<const ASN1Object*>{
             &big, &m_hello, &m_message.Pdu(), &m_message.Pdu().m_varBinds}) {
        Bytes out(part->EncodedLength(), 0xEE);
        EXPECT_EQ(0u, part->Encode(out.data(), part->EncodedLength() - 1));
    }
    EXPECT_EQ(0u, m_message.Encode(nullptr, length));
}

// Text values an alert filled past what one trap carries are cut to fit,
// the longest first and between characters, so the trap can be sent with
// whatever time stamp it gets; a short value, a value that is no text and
// a message that fits are left as they are.
TEST_F(SnmpTrapMessageEncoding, LongTextValuesAreCutToFitTheLongestFirst) {
    std::string euros;
    for (int i = 0; i < 1365; ++i) {
        euros += "\xe2\x82\xac";
    }
    ASN1DisplayString user(std::string(4095, 'u'));
    ASN1DisplayString free(euros);
    ASN1Integer number(-2);
    const ASN1DisplayString fixed(std::string(300, 'f'));
    m_message.AddVarBind("1.3.6.1.4.1.32473.1.1", &m_hello);
    m_message.AddVarBind("1.3.6.1.4.1.32473.1.2", &user);
    m_message.AddVarBind("1.3.6.1.4.1.32473.1.3", &number);
    m_message.AddVarBind("1.3.6.1.4.1.32473.1.4", &free);
    m_message.AddVarBind("1.3.6.1.4.1.32473.1.5", &fixed);
    m_message.TimeStamp().SetTicks(7);
    const Bytes whole = EncodeAll(m_message);

    const SnmpTrapCut cut = m_message.CutToFit(1500);
    EXPECT_EQ(2u, cut.m_nValues);
    EXPECT_EQ(4095u + 4095u - user.Bytes().size() - free.Bytes().size(), cut.m_qwBytes);
    EXPECT_EQ(7u, m_message.TimeStamp().Ticks());
    m_message.TimeStamp().SetTicks(UINT32_MAX);
    const uint32_t length = m_message.EncodedLength();
    EXPECT_LE(length, 1500u);
    // No more is cut than needs to be: a byte more of each would not fit.
    EXPECT_GT(length + 2, 1500u);
    EXPECT_EQ((Bytes{'h', 'i'}), m_hello.Bytes());
    EXPECT_EQ(-2, number.Value());
    EXPECT_EQ(300u, fixed.Bytes().size());
    const size_t userKept = user.Bytes().size();
    EXPECT_EQ(std::string(userKept, 'u'), std::string(user.Bytes().begin(), user.Bytes().end()));
    EXPECT_EQ(euros.substr(0, userKept - userKept % 3), std::string(free.Bytes().begin(), free.Bytes().end()));

    EXPECT_EQ(0u, m_message.CutToFit(1500).m_qwBytes);
    EXPECT_EQ(length, m_message.EncodedLength());
    EXPECT_NE(whole.size(), length);
}
