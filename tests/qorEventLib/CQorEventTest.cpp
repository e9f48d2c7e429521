#include "qorEventLib/CQorEvent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "qorEventLib/EventTestUtil.h"
#include "qorEventLib/qorEventStatus.h"

using evtest::Bytes;
using evtest::BytesOf;
using evtest::FillHeader;
using evtest::Serialized;

namespace {

// The digest body of the event FillHeader makes plus the section 1 text
// attribute Message = "hi", worked out item by item.
Bytes HandWorkedBody() {
    return {
        0x70, 0x00, 0x00, 0x00, 0x64,                                   // header structure, 100 bytes
        0x13, 0x00, 0x00, 0x00, 0x00, 0x55,                             // 0 format version 85
        0x10, 0x01, 0x01,                                               // 1 name type
        0x54, 0x02, 0x09, 'P', 'o', 'r', 't', 'S', 'c', 'a', 'n', 0x00,  // 2 alert name
        0x17, 0x03, 0x00, 0x00, 0x00, 0x00, 0x65, 0x53, 0xF1, 0x00,     // 3 date
        0x23, 0x04, 0xFF, 0xFF, 0xF1, 0xF0,                             // 4 offset -3600
        0x13, 0x05, 0x1D, 0xCD, 0x65, 0x00,                             // 5 precision
        0x13, 0x06, 0x00, 0x00, 0x00, 0x00,                             // 6 sequence
        0x54, 0x08, 0x0A, '1', '9', '2', '.', '0', '.', '2', '.', '7', 0x00,  // 8 address
        0x54, 0x09, 0x09, 's', 'e', 'n', 's', 'o', 'r', '-', '1', 0x00,  // 9 name
        0x13, 0x0A, 0x00, 0x00, 0x00, 0x03,                             // 10 product
        0x13, 0x0B, 0x00, 0x00, 0x00, 0x65,                             // 11 alert type
        0x13, 0x0C, 0x00, 0x00, 0x00, 0x02,                             // 12 priority
        0x13, 0x0D, 0x00, 0x00, 0x00, 0x00,                             // 13 flags
        0x08, 0x00,                                                     // end of header
        0x70, 0x01, 0x00, 0x00, 0x10,                                   // section 1, 16 bytes
        0xD4, 0x08, 'M', 'e', 's', 's', 'a', 'g', 'e', 0x00, 0x03, 'h', 'i', 0x00,
        0x08, 0x01,
    };
}

class CQorEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        FillHeader(m_event);
        ASSERT_EQ(QOR_S_OK, m_event.Add("Message", AlertValue::String("hi"), 1));
    }

    const EventAVP& Record(const EventIterator& it) { return *m_event.GetRecord(it); }

    CQorEvent m_event;
};

}  // namespace

TEST_F(CQorEventTest, StreamMatchesTheHandWorkedBytesAndItsDigestIsMd5sumOfTheBody) {
    const Bytes body = HandWorkedBody();
    const std::string digest = evtest::Md5sumOf(body);
    ASSERT_EQ(32u, digest.size());

    Bytes stream = Serialized(m_event);
    ASSERT_TRUE(m_event.IsFrozen());
    const AlertBlob* alertId = m_event.GetSection(0)[kAlertID].m_Value.GetBlob();
    EXPECT_EQ(digest, evtest::Hex(alertId->Data(), 16));

    Bytes expected = body;
    const Bytes idHeader = {0x70, 0x00, 0x00, 0x00, 0x15, 0x50, 0x07, 0x10};
    expected.insert(expected.end(), idHeader.begin(), idHeader.end());
    expected.insert(expected.end(), alertId->Data(), alertId->Data() + 16);
    const Bytes tail = {0x08, 0x00, 0x08, 0xC0, 0xFF, 0xFF};
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(expected, stream);
    EXPECT_EQ(QOR_S_OK, m_event.ValidateIntegrity());
}

TEST(CQorEvent, HeaderOnlyEventLeavesOutEmptySections) {
    CQorEvent event;
    FillHeader(event);
    Bytes stream = Serialized(event);
    // Structure 0 (105 bytes), the AlertID structure (26), the end item (4).
    ASSERT_EQ(105u + 26u + 4u, stream.size());
    EXPECT_EQ(0x70, stream[105]);
    EXPECT_EQ(0x00, stream[106]);
    Bytes body(stream.begin(), stream.begin() + 105);
    const AlertBlob* alertId = event.GetSection(0)[kAlertID].m_Value.GetBlob();
    EXPECT_EQ(evtest::Md5sumOf(body), evtest::Hex(alertId->Data(), 16));
    EXPECT_EQ(QOR_S_OK, event.ValidateIntegrity());
}

TEST_F(CQorEventTest, FrozenEventLoadsBackEqualAndIntact) {
    ASSERT_EQ(QOR_S_OK, m_event.Add(":Source", AlertValue::String("10.0.0.1"), 2));
    ASSERT_EQ(QOR_S_OK, m_event.Add("Count", AlertValue::Uint16(7), 2));
    ASSERT_EQ(QOR_S_OK, m_event.Add("Raw", AlertValue::Blob("\x01\x02", 2), 2));
    qorStreamBufferOwner owner(true);
    ASSERT_EQ(QOR_S_OK, m_event.Serialize(nullptr, owner));

    CQorEvent loaded;
    ASSERT_EQ(QOR_S_OK, loaded.Load(owner));
    EXPECT_TRUE(loaded.IsFrozen());
    EXPECT_TRUE(loaded.Equals(m_event));
    EXPECT_TRUE(m_event.Equals(loaded));
    EXPECT_EQ(QOR_S_OK, loaded.ValidateIntegrity());
    // A loaded event goes on as exactly the bytes it came from.
    EXPECT_EQ(BytesOf(owner), Serialized(loaded));
}

TEST_F(CQorEventTest, FirstUpdateKeepsTheOriginalAndTheDigestStaysValid) {
    Serialized(m_event);
    const std::string id = m_event.GetAlertIdText();

    ASSERT_EQ(QOR_S_OK, m_event.UpdateHeaderValue(kAlertPriority, AlertValue::Uint32(3)));
    ASSERT_EQ(1u, m_event.GetSection(3).size());
    EXPECT_EQ("AlertPriority", m_event.GetSection(3)[0].m_sName);
    EXPECT_EQ(0x30000u, m_event.GetSection(3)[0].m_uId);
    EXPECT_EQ(2u, m_event.GetSection(3)[0].m_Value.GetUint32());
    ASSERT_EQ(QOR_S_OK, m_event.UpdateHeaderValue(kAlertPriority, AlertValue::Uint32(1)));
    EXPECT_EQ(1u, m_event.GetSection(3).size());
    EXPECT_EQ(1u, m_event.GetSection(0)[kAlertPriority].m_Value.GetUint32());
    EXPECT_EQ(QOR_S_OK, m_event.ValidateIntegrity());

    ASSERT_EQ(QOR_S_OK, m_event.Update("Message", AlertValue::String("changed"), 1));
    ASSERT_EQ(QOR_S_OK, m_event.Update("Added", AlertValue::Uint32(9), 1));
    EXPECT_EQ(3u, m_event.GetSection(3).size());
    EXPECT_EQ(QOR_S_OK, m_event.ValidateIntegrity());
    EXPECT_EQ(id, m_event.GetAlertIdText());

    EventAVP original = m_event.GetOriginal(m_event.Find("Message", 1));
    EXPECT_EQ("hi", original.m_Value.Text());
    EventAVP header = m_event.GetOriginal(m_event.Find("AlertPriority", 0));
    EXPECT_EQ(uint32_t{kAlertPriority}, header.m_uId);
    EXPECT_EQ(2u, header.m_Value.GetUint32());

    // The rebuilt stream carries the history and still checks out when read.
    qorStreamBufferOwner owner(true);
    ASSERT_EQ(QOR_S_OK, m_event.Serialize(nullptr, owner));
    CQorEvent loaded;
    ASSERT_EQ(QOR_S_OK, loaded.Load(owner));
    EXPECT_EQ(3u, loaded.GetSection(3).size());
    EXPECT_EQ(1u, loaded.GetSection(0)[kAlertPriority].m_Value.GetUint32());
    EXPECT_EQ(QOR_S_OK, loaded.ValidateIntegrity());
    EXPECT_EQ(id, loaded.GetAlertIdText());
}

TEST_F(CQorEventTest, TamperedValueFailsTheIntegrityCheck) {
    Bytes stream = Serialized(m_event);
    // The last byte of the priority value (index 12) in the header structure.
    const Bytes priority = {0x13, 0x0C, 0x00, 0x00, 0x00, 0x02};
    auto at = std::search(stream.begin(), stream.end(), priority.begin(), priority.end());
    ASSERT_NE(stream.end(), at);
    at[5] = 0x03;
    qorStreamBufferOwner owner(true);
    ASSERT_EQ(QOR_S_OK, owner.CreateReadBuffer(stream.data(), static_cast<uint32_t>(stream.size())));
    CQorEvent loaded;
    ASSERT_EQ(QOR_S_OK, loaded.Load(owner));
    EXPECT_EQ(EVL_ALERT_INTEGRITY_FAILED, loaded.ValidateIntegrity());
}

TEST_F(CQorEventTest, BuildingAFrozenEventAndUpdatingAnOpenOneAreRefused) {
    EXPECT_EQ(EVL_ALERT_ILLEGAL_UPDATE, m_event.Update("Message", AlertValue::String("x"), 1));
    EXPECT_EQ(EVL_ALERT_ILLEGAL_UPDATE, m_event.UpdateHeaderValue(kAlertType, AlertValue::Uint32(1)));
    Serialized(m_event);
    EXPECT_EQ(EVL_ALERT_ILLEGAL_RESET, m_event.Add("Other", AlertValue::Uint32(1), 1));
    EXPECT_EQ(EVL_ALERT_ILLEGAL_RESET, m_event.SetHeaderValue(kAlertType, AlertValue::Uint32(1)));
    EXPECT_EQ(EVL_ALERT_ILLEGAL_SECTION, m_event.Update("Message", AlertValue::Uint32(1), 3));
    EXPECT_EQ(EVL_ALERT_ILLEGAL_SECTION, m_event.Add("Message", AlertValue::Uint32(1), 0));
    EXPECT_EQ(EVL_ALERT_OFFSET_NOT_VALID, m_event.UpdateHeaderValue(14, AlertValue::Uint32(1)));
    EXPECT_EQ(EVL_ALERT_OFFSET_NOT_VALID, m_event.SetHeaderValue(14, AlertValue::Uint32(1)));
    EXPECT_EQ(EVL_ALERT_INVALID_ITERATOR, m_event.UpdateAt(EventIterator(), AlertValue::Uint32(1)));
    EXPECT_EQ(EVL_ALERT_ILLEGAL_ITERATOR, m_event.UpdateAt(m_event.End(1), AlertValue::Uint32(1)));
    ASSERT_EQ(QOR_S_OK, m_event.Update("Message", AlertValue::String("x"), 1));
    EXPECT_EQ(EVL_ALERT_ILLEGAL_ITERATOR, m_event.UpdateAt(m_event.Begin(3), AlertValue::Uint32(1)));
    EXPECT_EQ(CMNERR_INTERNAL_ERROR, m_event.Update("", AlertValue::Uint32(1), 1));
}

TEST_F(CQorEventTest, FindLocatesHeaderValuesAndAttributes) {
    EventIterator name = m_event.Find("AlertName", 0);
    ASSERT_TRUE(name.IsValid());
    EXPECT_EQ(2, name.m_iIndex);
    EXPECT_EQ("PortScan", Record(name).m_Value.Text());
    EXPECT_FALSE(m_event.Find("alertname", 0).IsValid());

    StatusCode status = QOR_S_OK;
    EXPECT_FALSE(m_event.Find("", 1, status).IsValid());
    EXPECT_EQ(CMNERR_INTERNAL_ERROR, status);
    EXPECT_FALSE(m_event.Find("Message", 7, status).IsValid());
    EXPECT_EQ(EVL_ALERT_ILLEGAL_SECTION, status);

    EXPECT_EQ(0x10000u, Record(m_event.Find("Message", 1)).m_uId);
    EventIterator it = m_event.Begin(1);
    ++it;
    EXPECT_TRUE(it == m_event.End(1));
    EXPECT_FALSE(m_event.Begin(4).IsValid());
}

TEST(CQorEvent, AddReplacesAnExistingAttributeAndNumbersNewOnes) {
    CQorEvent event;
    ASSERT_EQ(QOR_S_OK, event.Add("a", AlertValue::Uint32(1), 2));
    ASSERT_EQ(QOR_S_OK, event.Add("b", AlertValue::Uint32(2), 2));
    ASSERT_EQ(QOR_S_OK, event.Add("a", AlertValue::Uint32(3), 2));
    ASSERT_EQ(2u, event.GetSection(2).size());
    EXPECT_EQ(0x20000u, event.GetSection(2)[0].m_uId);
    EXPECT_EQ(0x20001u, event.GetSection(2)[1].m_uId);
    EXPECT_EQ(3u, event.GetSection(2)[0].m_Value.GetUint32());
    EXPECT_EQ(CMNERR_INTERNAL_ERROR, event.Add("", AlertValue::Uint32(1), 2));
}

TEST(CQorEvent, IncompleteOrMalformedHeaderFailsSerialisationAndCachesNothing) {
    CQorEvent event;
    qorStreamBufferOwner owner(true);
    EXPECT_EQ(EVL_ALERT_HEADER_INCOMPLETE, event.Serialize(nullptr, owner));

    FillHeader(event);
    ASSERT_EQ(QOR_S_OK, event.SetHeaderValue(kAlertFormatVersion, AlertValue::Uint32(84)));
    EXPECT_EQ(EVL_ALERT_INVALID_REQUIRED_PARAMETER, event.Serialize(nullptr, owner));
    ASSERT_EQ(QOR_S_OK, event.SetHeaderValue(kAlertFormatVersion, AlertValue::Uint32(85)));
    ASSERT_EQ(QOR_S_OK, event.SetHeaderValue(kAlertType, AlertValue::Uint16(101)));
    EXPECT_EQ(EVL_ALERT_INVALID_REQUIRED_PARAMETER, event.Serialize(nullptr, owner));
    EXPECT_FALSE(event.IsFrozen());
    EXPECT_EQ(0u, owner.GetLength());

    ASSERT_EQ(QOR_S_OK, event.SetHeaderValue(kAlertType, AlertValue::Uint32(101)));
    ASSERT_EQ(QOR_S_OK, event.Serialize(nullptr, owner));
    EXPECT_EQ(QOR_S_OK, event.ValidateIntegrity());
}

TEST(CQorEvent, AlertIdTextRoundTripsAndFreezesTheEvent) {
    uint8_t zero[16] = {};
    char zeroText[27];
    CQorEvent::DigestToText(zero, zeroText);
    EXPECT_STREQ("AAAAAAAAAAAAAAAAAAAAAAAAAY", zeroText);
    uint8_t digest[16];
    for (int i = 0; i < 16; ++i) {
        digest[i] = static_cast<uint8_t>(0x11 * i + 7);
    }
    char text[27];
    CQorEvent::DigestToText(digest, text);

    CQorEvent event;
    EXPECT_EQ(QOR_E_INVALID_DATA, event.SetAlertIdText("AAAA"));
    std::string bad(text);
    bad[3] = '1';
    EXPECT_EQ(QOR_E_INVALID_DATA, event.SetAlertIdText(bad));
    EXPECT_EQ("", event.GetAlertIdText());
    ASSERT_EQ(QOR_S_OK, event.SetAlertIdText(text));
    EXPECT_TRUE(event.IsFrozen());
    EXPECT_EQ(text, event.GetAlertIdText());
    EXPECT_EQ(0, std::memcmp(digest, event.GetSection(0)[kAlertID].m_Value.GetBlob()->Data(), 16));
    EXPECT_EQ(EVL_ALERT_ID_ALREADY_SET, event.SetAlertIdText(text));
}

namespace {

// One item in structure `first`, then in structure `second` an item of a
// type events do not hold followed by one they do.
void WriteTwoStructures(qorStreamEncode& encoder, uint32_t first, const char* name, uint32_t second) {
    uint32_t v = 85;
    uint8_t wide[16] = {};
    ASSERT_EQ(QOR_S_OK, encoder.BeginStructure(nullptr, first));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(name, 0, ET_UINT32, &v, 4));
    ASSERT_EQ(QOR_S_OK, encoder.EndStructure());
    ASSERT_EQ(QOR_S_OK, encoder.BeginStructure(nullptr, second));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem("Wide", 0, ET_UINT128, wide, 16));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem("Kept", 0, ET_UINT32, &v, 4));
    ASSERT_EQ(QOR_S_OK, encoder.EndStructure());
    ASSERT_EQ(QOR_S_OK, encoder.InsertEndItem(nullptr, 65535));
}

}  // namespace

TEST(CQorEvent, LoadReportsUnknownSectionsAndItemTypes) {
    qorStreamEncode typedStream(true);
    WriteTwoStructures(typedStream, 0, nullptr, 1);
    CQorEvent typed;
    EXPECT_EQ(EVL_ALERT_UNSUPPORTED_TYPE, typed.Load(typedStream));
    EXPECT_TRUE(typed.Find("Kept", 1).IsValid());
    EXPECT_EQ(1u, typed.GetCount(0));

    qorStreamEncode sectioned(true);
    WriteTwoStructures(sectioned, 5, "Lost", 2);
    CQorEvent event;
    EXPECT_EQ(EVL_ALERT_UNSUPPORTED_SECTION, event.Load(sectioned));
    EXPECT_TRUE(event.Find("Kept", 2).IsValid());
    EXPECT_FALSE(event.Find("Lost", 1).IsValid());
}

TEST(CQorEvent, UpdatedParameterNamingTwoAttributesOrGivenTwiceIsRejected) {
    const struct {
        std::vector<uint32_t> sections;  // one "Twice" item each; 3 holds the updates
        StatusCode status;
    } cases[] = {{{1, 2, 3}, EVL_ALERT_INVALID_UPDATED_AVP}, {{1, 3, 3}, EVL_ALERT_ILLEGAL_RESET}};
    for (const auto& c : cases) {
        qorStreamEncode encoder(true);
        uint32_t v = 1;
        for (size_t i = 0; i < c.sections.size(); ++i) {
            if (i == 0 || c.sections[i] != c.sections[i - 1]) {
                if (i != 0) {
                    ASSERT_EQ(QOR_S_OK, encoder.EndStructure());
                }
                ASSERT_EQ(QOR_S_OK, encoder.BeginStructure(nullptr, c.sections[i]));
            }
            ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem("Twice", 0, ET_UINT32, &v, 4));
        }
        ASSERT_EQ(QOR_S_OK, encoder.EndStructure());
        CQorEvent event;
        EXPECT_EQ(c.status, event.Load(encoder));
    }
}

TEST_F(CQorEventTest, TruncatedStreamIsRejectedAtEveryCut) {
    Bytes stream = Serialized(m_event);
    for (size_t cut = 0; cut + 1 < stream.size(); ++cut) {
        qorStreamBufferOwner owner(true);
        ASSERT_EQ(QOR_S_OK, owner.CreateReadBuffer(stream.data(), static_cast<uint32_t>(cut)));
        CQorEvent event;
        StatusCode status = event.Load(owner);
        EXPECT_NE(QOR_S_OK, status) << "cut at " << cut;
    }
}

TEST_F(CQorEventTest, CopySharesPayloadsAndStartsWithoutCachedBytes) {
    Serialized(m_event);
    CQorEvent copy(m_event);
    EXPECT_TRUE(copy.Equals(m_event));
    EXPECT_EQ(QOR_S_OK, copy.ValidateIntegrity());
    EXPECT_EQ(Serialized(m_event), Serialized(copy));
}
