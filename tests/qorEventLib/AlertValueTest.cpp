#include "qorEventLib/AlertValue.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/ScopedTimeZone.h"
#include "qorEventLib/qorEventStatus.h"
#include "qorToolsLib/QORError.h"
#include "qorToolsLib/qorStreamDecode.h"
#include "qorToolsLib/qorStreamEncode.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Written(const qorStreamEncode& encoder) {
    return Bytes(encoder.GetData(), encoder.GetData() + encoder.GetLength());
}

std::vector<AlertValue> OneOfEachKind() {
    const uint8_t blob[] = {0xDE, 0xAD, 0x00, 0xBE, 0xEF};
    return {AlertValue(),
            AlertValue::Integer(-123456),
            AlertValue::Uint32(0xFEDCBA98u),
            AlertValue::Uint16(513),
            AlertValue::Uint8(200),
            AlertValue::Date(1700000000),
            AlertValue::String("text with \xC3\xA9"),
            AlertValue::Blob(blob, sizeof blob)};
}

}  // namespace

TEST(AlertValue, EveryKindRoundTripsThroughTheStream) {
    for (const AlertValue& value : OneOfEachKind()) {
        for (const char* name : {static_cast<const char*>(nullptr), "Attr"}) {
            qorStreamEncode encoder(true);
            ASSERT_EQ(QOR_S_OK, value.Encode(encoder, name, 9)) << value.TypeName();
            qorStreamDecode decoder(encoder);
            const char* readName = nullptr;
            uint32_t userType = 0;
            uint8_t type = 0;
            ASSERT_EQ(QOR_S_OK, decoder.PeekHeader(&readName, &userType, &type));
            EXPECT_STREQ(name != nullptr ? name : "", readName);
            EXPECT_EQ(name != nullptr ? 0u : 9u, userType);
            AlertValue back = AlertValue::Uint8(1);
            ASSERT_EQ(QOR_S_OK, back.Decode(decoder, type)) << value.TypeName();
            EXPECT_EQ(value.Type(), back.Type());
            EXPECT_TRUE(value.Equals(back)) << value.TypeName();
            EXPECT_EQ(0u, decoder.GetUnread());
        }
    }
}

TEST(AlertValue, EachKindWritesItsItemType) {
    const Bytes expected[] = {
        {0x09, 0x01},
        {0x23, 0x01, 0xFF, 0xFE, 0x1D, 0xC0},
        {0x13, 0x01, 0xFE, 0xDC, 0xBA, 0x98},
        {0x11, 0x01, 0x02, 0x01},
        {0x10, 0x01, 0xC8},
        {0x17, 0x01, 0x00, 0x00, 0x00, 0x00, 0x65, 0x53, 0xF1, 0x00},
        {0x54, 0x01, 0x0D, 't', 'e', 'x', 't', ' ', 'w', 'i', 't', 'h', ' ', 0xC3, 0xA9, 0x00},
        {0x50, 0x01, 0x05, 0xDE, 0xAD, 0x00, 0xBE, 0xEF},
    };
    std::vector<AlertValue> values = OneOfEachKind();
    for (size_t i = 0; i < values.size(); ++i) {
        qorStreamEncode encoder(true);
        ASSERT_EQ(QOR_S_OK, values[i].Encode(encoder, nullptr, 1));
        EXPECT_EQ(expected[i], Written(encoder)) << values[i].TypeName();
    }
    EXPECT_EQ("513", AlertValue::Uint16(513).ToString());
}

// A text item ends at its first NUL: a NUL inside a value (a byte of a
// datagram) goes as U+FFFD, and what follows it arrives.
TEST(AlertValue, NulInsideATextGoesAsReplacementAndLosesNothingAfterIt) {
    qorStreamEncode encoder(true);
    ASSERT_EQ(QOR_S_OK, AlertValue::String(std::string_view("a\0b\0", 4)).Encode(encoder, nullptr, 1));
    qorStreamDecode decoder(encoder);
    const char* readName = nullptr;
    uint32_t userType = 0;
    uint8_t type = 0;
    ASSERT_EQ(QOR_S_OK, decoder.PeekHeader(&readName, &userType, &type));
    AlertValue back;
    ASSERT_EQ(QOR_S_OK, back.Decode(decoder, type));
    EXPECT_EQ("a\xEF\xBF\xBD" "b\xEF\xBF\xBD", back.ToString());
}

TEST(AlertValue, ValueWithoutPayloadIsNotWritten) {
    qorStreamEncode quiet(true);
    EXPECT_EQ(EVL_VALUE_NOT_SET, AlertValue::String(static_cast<AlertString*>(nullptr)).Encode(quiet, nullptr, 1));
    EXPECT_EQ(EVL_VALUE_NOT_SET, AlertValue::Blob(nullptr, 0).Encode(quiet, nullptr, 1));
    EXPECT_EQ(0u, quiet.GetLength());

    qorStreamEncode raising(false);
    try {
        AlertValue::Blob(nullptr, 0).Encode(raising, nullptr, 1);
        FAIL() << "expected qorErrorException";
    } catch (const qorErrorException& e) {
        EXPECT_EQ(EVL_VALUE_NOT_SET, e.Status());
    }
}

TEST(AlertValue, UnreadableItemTypeLeavesTheValueAsItWas) {
    qorStreamEncode encoder(true);
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 1, ET_SINT16, "\x00\x01", 2));
    qorStreamDecode decoder(encoder);
    AlertValue value = AlertValue::Uint32(77);
    EXPECT_EQ(EVL_ALERT_UNSUPPORTED_TYPE, value.Decode(decoder, 0x60));
    EXPECT_EQ(EVL_ALERT_UNSUPPORTED_TYPE, value.Decode(decoder, ET_SINT16));
    EXPECT_EQ(0u, decoder.GetPosition());
    // A caller naming the wrong type gets the stream's refusal.
    EXPECT_EQ(QOR_E_INVALID_DATA, value.Decode(decoder, ET_UINT32));
    EXPECT_EQ(QOR_E_INVALID_DATA, value.Decode(decoder, ET_WTEXT));
    EXPECT_EQ(VTypeUint32, value.Type());
    EXPECT_EQ(77u, value.GetUint32());
}

TEST(AlertValue, LongBlobsPrintTheirFirstAndLastFourBytes) {
    uint8_t bytes[17];
    for (uint8_t i = 0; i < 17; ++i) {
        bytes[i] = i;
    }
    EXPECT_EQ("[Size=17] 0x00010203...0d0e0f10", AlertValue::Blob(bytes, 17).ToString());
    EXPECT_EQ("[Size=16] 0x000102030405060708090a0b0c0d0e0f", AlertValue::Blob(bytes, 16).ToString());
    EXPECT_EQ("[Size=0] 0x", AlertValue::Blob(nullptr, 0).ToString());
}

TEST(AlertValue, DateTextCarriesTheOffsetInForceAtThatInstant) {
    {
        ScopedTimeZone zone("UTC0");
        EXPECT_EQ("Thu, 01 Jan 1970 00:00:00 +0000", AlertValue::Date(0).ToString());
        EXPECT_EQ("", AlertValue::Date(INT64_MAX).ToString());
        EXPECT_EQ("", AlertValue::Date(-20000000000LL).ToString());
    }
    // 2021-01-15 12:00 UTC and 2021-07-15 12:00 UTC, one on each side of the
    // daylight-saving change: hour and offset must agree for both.
    const int64_t winter = 1610712000;
    const int64_t summer = 1626350400;
    const char* const cases[][3] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", "Fri, 15 Jan 2021 13:00:00 +0100", "Thu, 15 Jul 2021 14:00:00 +0200"},
        {"EST5EDT,M3.2.0,M11.1.0", "Fri, 15 Jan 2021 07:00:00 -0500", "Thu, 15 Jul 2021 08:00:00 -0400"},
        {"IST-5:30", "Fri, 15 Jan 2021 17:30:00 +0530", "Thu, 15 Jul 2021 17:30:00 +0530"},
    };
    for (const auto& [pszZone, pszWinter, pszSummer] : cases) {
        ScopedTimeZone zone(pszZone);
        EXPECT_EQ(pszWinter, AlertValue::Date(winter).ToString());
        EXPECT_EQ(pszSummer, AlertValue::Date(summer).ToString());
    }
}
