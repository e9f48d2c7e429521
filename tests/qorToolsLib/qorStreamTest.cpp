// Golden bytes worked by hand from the item format, round trips, and the
// decoder's behaviour on truncated and malformed input.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qorToolsLib/QORError.h"
#include "qorToolsLib/qorStreamDecode.h"
#include "qorToolsLib/qorStreamEncode.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Written(const qorStreamBufferOwner& owner) {
    const uint8_t* data = owner.GetData();
    return data == nullptr ? Bytes() : Bytes(data, data + owner.GetLength());
}

// A decoder over an exact-size copy, so any read past the end is caught by
// the address sanitizer.
qorStreamDecode DecoderOver(const Bytes& bytes) {
    qorStreamDecode decoder(true);
    EXPECT_EQ(QOR_S_OK, decoder.AttachBytes(bytes.data(), static_cast<uint32_t>(bytes.size())));
    return decoder;
}

const Bytes kWorkedExample = {0x70, 0x03, 0x00, 0x00, 0x13, 0x13, 0x07, 0x00, 0x00, 0x01, 0x02, 0xD1,
                              0x05, 0x4E, 0x61, 0x6D, 0x65, 0x00, 0x03, 0x61, 0x62, 0x00, 0x08, 0x03};

}  // namespace

TEST(qorStream, WorkedExampleEncodesToItsTwentyFourBytesAndBack) {
    qorStreamEncode encoder(true);
    uint32_t value = 258;
    ASSERT_EQ(QOR_S_OK, encoder.BeginStructure(nullptr, 3));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 7, ET_UINT32, &value, 4));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem("Name", 0, ET_STRING, "ab", 2));
    ASSERT_EQ(QOR_S_OK, encoder.EndStructure());
    ASSERT_EQ(kWorkedExample, Written(encoder));

    qorStreamDecode decoder = DecoderOver(kWorkedExample);
    const char* name = nullptr;
    uint32_t userType = 0;
    ASSERT_EQ(QOR_S_OK, decoder.BeginStructure(&name, &userType));
    EXPECT_EQ(3u, userType);
    EXPECT_EQ(1u, decoder.GetDepth());
    value = 0;
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt32(&name, &userType, &value, ET_UINT32));
    EXPECT_EQ(258u, value);
    EXPECT_EQ(7u, userType);
    EXPECT_STREQ("", name);
    std::string text;
    ASSERT_EQ(QOR_S_OK, decoder.ExtractString(&name, &userType, text));
    EXPECT_STREQ("Name", name);
    EXPECT_EQ(0u, userType);
    EXPECT_EQ("ab", text);
    ASSERT_EQ(QOR_S_OK, decoder.EndStructure());
    EXPECT_EQ(0u, decoder.GetUnread());
}

TEST(qorStreamEncode, EveryItemTypeMatchesItsHandWorkedBytes) {
    qorStreamEncode encoder(true);
    uint8_t u8 = 0xAB, u128[16], s128[16];
    uint16_t u16 = 0x1234;
    uint32_t u32 = 258;
    uint64_t u64 = 0x0102030405060708ull;
    for (int i = 0; i < 16; ++i) {
        u128[i] = static_cast<uint8_t>(i);  // machine order; written reversed
        s128[i] = i == 0 ? 0xFE : 0xFF;
    }
    int8_t s8 = -2;
    int16_t s16 = -2;
    int32_t s32 = -2;
    int64_t s64 = -2;
    const uint8_t blob[] = {1, 2, 3};
    const uint16_t elements[] = {1, 0x0203};

    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 1, ET_UINT8, &u8, 1));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 2, ET_UINT16, &u16, 2));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 3, ET_UINT32, &u32, 4));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 4, ET_UINT64, &u64, 8));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 5, ET_UINT128, u128, 16));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 6, ET_SINT8, &s8, 1));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 7, ET_SINT16, &s16, 2));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 8, ET_SINT32, &s32, 4));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 9, ET_SINT64, &s64, 8));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 10, ET_SINT128, s128, 16));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 11, ET_BLOB, blob, 3));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 12, ET_STRING, "ab", 2));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 13, ET_TEXT, "ab", 2));
    ASSERT_EQ(QOR_S_OK, encoder.InsertString(nullptr, 14, ET_WSTRING, u"\x00E9", 1));
    ASSERT_EQ(QOR_S_OK, encoder.InsertString(nullptr, 15, ET_WTEXT, u"\x00E9", 2));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 16, ET_UNKNOWN));
    ASSERT_EQ(QOR_S_OK, encoder.InsertArray(ET_UINT16, elements, 2, nullptr, 17));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 200, ET_UINT8, &u8, 1));
    ASSERT_EQ(QOR_S_OK, encoder.InsertEndItem(nullptr, 18));

    const Bytes expected = {
        0x10, 0x01, 0xAB,                                                  // u8
        0x11, 0x02, 0x12, 0x34,                                            // u16
        0x13, 0x03, 0x00, 0x00, 0x01, 0x02,                                // u32
        0x17, 0x04, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,        // u64
        0x1F, 0x05, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08,        // u128
        0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x00,                    //
        0x20, 0x06, 0xFE,                                                  // s8
        0x21, 0x07, 0xFF, 0xFE,                                            // s16
        0x23, 0x08, 0xFF, 0xFF, 0xFF, 0xFE,                                // s32
        0x27, 0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE,        // s64
        0x2F, 0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,        // s128
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE,                    //
        0x50, 0x0B, 0x03, 0x01, 0x02, 0x03,                                // blob
        0x51, 0x0C, 0x03, 0x61, 0x62, 0x00,                                // string + NUL
        0x52, 0x0D, 0x02, 0x61, 0x62,                                      // text
        0x53, 0x0E, 0x03, 0xC3, 0xA9, 0x00,                                // wide string
        0x54, 0x0F, 0x03, 0xC3, 0xA9, 0x00,                                // wide text
        0x09, 0x10,                                                        // unknown
        0x71, 0x11, 0x04, 0x02, 0x11, 0x00, 0x01, 0x02, 0x03,              // array
        0x10, 0x80, 0xC8, 0xAB,                                            // user type 200
        0x08, 0x12,                                                        // end
    };
    EXPECT_EQ(expected, Written(encoder));

    // And every item reads back to its value.
    qorStreamDecode decoder = DecoderOver(expected);
    const char* name;
    uint32_t ut, r32;
    uint8_t r8, r128[16];
    uint16_t r16;
    uint64_t r64;
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt8(&name, &ut, &r8));
    EXPECT_EQ(u8, r8);
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt16(&name, &ut, &r16));
    EXPECT_EQ(u16, r16);
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt32(&name, &ut, &r32, ET_UINT32));
    EXPECT_EQ(u32, r32);
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt64(&name, &ut, &r64));
    EXPECT_EQ(u64, r64);
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt128(&name, &ut, r128));
    EXPECT_EQ(0, std::memcmp(u128, r128, 16));
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt8(&name, &ut, &r8));
    EXPECT_EQ(0xFE, r8);
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt16(&name, &ut, &r16));
    EXPECT_EQ(s16, static_cast<int16_t>(r16));
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt32(&name, &ut, &r32, ET_SINT32));
    EXPECT_EQ(s32, static_cast<int32_t>(r32));
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt64(&name, &ut, &r64));
    EXPECT_EQ(s64, static_cast<int64_t>(r64));
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt128(&name, &ut, r128));
    EXPECT_EQ(0, std::memcmp(s128, r128, 16));
    const uint8_t* data;
    uint32_t length;
    ASSERT_EQ(QOR_S_OK, decoder.ExtractBlob(&name, &ut, &data, &length));
    EXPECT_EQ(Bytes(blob, blob + 3), Bytes(data, data + length));
    std::string text;
    ASSERT_EQ(QOR_S_OK, decoder.ExtractString(&name, &ut, text));
    EXPECT_EQ("ab", text);
    ASSERT_EQ(QOR_S_OK, decoder.ExtractString(&name, &ut, text));
    EXPECT_EQ("ab", text);
    std::u16string wide;
    ASSERT_EQ(QOR_S_OK, decoder.ExtractWideString(&name, &ut, wide));
    EXPECT_EQ(u"\x00E9", wide);
    ASSERT_EQ(QOR_S_OK, decoder.ExtractWideString(&name, &ut, wide));
    EXPECT_EQ(u"\x00E9", wide);
    ASSERT_EQ(QOR_S_OK, decoder.SkipItem());  // unknown
    uint16_t out[2];
    uint8_t elementType;
    uint32_t count;
    EXPECT_EQ(QOR_E_BUFFER_TOO_SMALL, decoder.ExtractArray(&name, &ut, out, 3, &elementType, &count));
    ASSERT_EQ(QOR_S_OK, decoder.ExtractArray(&name, &ut, out, sizeof out, &elementType, &count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(0x0203, out[1]);
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt8(&name, &ut, &r8));
    EXPECT_EQ(200u, ut);
    EXPECT_EQ(QOR_E_END_OF_STRUCTURE, decoder.SkipItem());
}

TEST(qorStreamEncode, LengthsUseOneToFiveBigEndianBytes) {
    struct Case {
        uint32_t value;
        Bytes bytes;
    };
    const Case cases[] = {
        {127, {0x7F}},
        {128, {0x80, 0x80}},
        {16383, {0xBF, 0xFF}},
        {16384, {0xC0, 0x40, 0x00}},
        {2097151, {0xDF, 0xFF, 0xFF}},
        {2097152, {0xE0, 0x20, 0x00, 0x00}},
        {268435455, {0xEF, 0xFF, 0xFF, 0xFF}},
        {268435456, {0xF0, 0x10, 0x00, 0x00, 0x00}},
        {0xFFFFFFFF, {0xF0, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        uint8_t out[5];
        size_t size = qorStream::WriteLength(out, c.value);
        EXPECT_EQ(c.bytes, Bytes(out, out + size)) << c.value;
        uint32_t back = 0;
        size_t used = 0;
        ASSERT_EQ(QOR_S_OK, qorStream::ReadLength(out, size, &back, &used));
        EXPECT_EQ(c.value, back);
        EXPECT_EQ(size, used);
        EXPECT_EQ(QOR_E_NOT_ENOUGH_DATA, qorStream::ReadLength(out, size - 1, &back, &used));
    }
}

TEST(qorStreamDecode, LengthByteAboveF0IsRejected) {
    const uint8_t bad[] = {0xF1, 0, 0, 0, 0};
    uint32_t value;
    size_t used;
    EXPECT_EQ(QOR_E_INVALID_DATA, qorStream::ReadLength(bad, sizeof bad, &value, &used));
    const uint8_t wide[] = {0xF0, 0x00, 0x00, 0x01, 0x00};
    ASSERT_EQ(QOR_S_OK, qorStream::ReadLength(wide, sizeof wide, &value, &used));
    EXPECT_EQ(256u, value);
    EXPECT_EQ(5u, used);

    qorStreamDecode decoder = DecoderOver({0x13, 0xF5, 0, 0, 0, 0, 0, 0, 0, 0});
    uint8_t type;
    EXPECT_EQ(QOR_E_INVALID_DATA, decoder.PeekHeader(nullptr, nullptr, &type));
}

TEST(qorStreamEncode, NestedStructuresCarryTheirLengths) {
    qorStreamEncode encoder(true);
    uint8_t u8 = 0x7F;
    uint16_t u16 = 0x0102;
    ASSERT_EQ(QOR_S_OK, encoder.BeginStructure(nullptr, 1));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 2, ET_UINT8, &u8, 1));
    ASSERT_EQ(QOR_S_OK, encoder.BeginStructure("In", 0));
    EXPECT_EQ(nullptr, encoder.GetData());
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 4, ET_UINT16, &u16, 2));
    ASSERT_EQ(QOR_S_OK, encoder.EndStructure());
    EXPECT_EQ(nullptr, encoder.GetData());
    ASSERT_EQ(QOR_S_OK, encoder.EndStructure());
    const Bytes expected = {
        0x70, 0x01, 0x00, 0x00, 0x16,              // outer: 22 bytes follow the field
        0x10, 0x02, 0x7F,                          //
        0xF0, 0x03, 0x49, 0x6E, 0x00, 0x00, 0x00, 0x09,  // inner, named "In": 9 bytes
        0x11, 0x04, 0x01, 0x02,                    //
        0x88, 0x03, 0x49, 0x6E, 0x00,              // inner end repeats the name
        0x08, 0x01,                                // outer end
    };
    EXPECT_EQ(expected, Written(encoder));
    EXPECT_EQ(QOR_E_INVALID_DATA, encoder.EndStructure());

    // Skipping the inner structure lands on the item after its end.
    qorStreamDecode decoder = DecoderOver(expected);
    const char* name;
    uint32_t ut;
    ASSERT_EQ(QOR_S_OK, decoder.BeginStructure(&name, &ut));
    ASSERT_EQ(QOR_S_OK, decoder.SkipItem());
    ASSERT_EQ(QOR_S_OK, decoder.SkipItem());
    uint8_t type;
    ASSERT_EQ(QOR_S_OK, decoder.PeekHeader(&name, &ut, &type));
    EXPECT_EQ(ET_END, type);
    EXPECT_EQ(1u, ut);
    ASSERT_EQ(QOR_S_OK, decoder.EndStructure());
    EXPECT_EQ(QOR_E_END_OF_STRUCTURE, decoder.EndStructure());
}

TEST(qorStreamEncode, EmptyNameIsWrittenAsTheNumber) {
    qorStreamEncode encoder(true);
    uint8_t v = 1;
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem("", 9, ET_UINT8, &v, 1));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 0, ET_STRING, "", 0));
    EXPECT_EQ((Bytes{0x10, 0x09, 0x01, 0x51, 0x00, 0x01, 0x00}), Written(encoder));
}

TEST(qorStreamEncode, MisusedItemTypesAreRefused) {
    qorStreamEncode encoder(true);
    uint32_t v = 1;
    EXPECT_EQ(QOR_E_INVALID_ARG, encoder.InsertDataItem(nullptr, 0, ET_END, &v, 4));
    EXPECT_EQ(QOR_E_INVALID_ARG, encoder.InsertDataItem(nullptr, 0, 0x01, &v, 4));
    EXPECT_EQ(QOR_E_INVALID_DATA, encoder.InsertDataItem(nullptr, 0, 0x30, &v, 4));
    EXPECT_EQ(QOR_E_INVALID_ARG, encoder.InsertDataItem(nullptr, 0, ET_UINT32, &v, 2));
    EXPECT_EQ(QOR_E_INVALID_ARG, encoder.InsertDataItem(nullptr, 0, ET_UINT32, nullptr, 4));
    EXPECT_EQ(QOR_E_INVALID_ARG, encoder.InsertArray(ET_BLOB, &v, 1, nullptr, 0));
    EXPECT_EQ(0u, encoder.GetLength());

    qorStreamEncode raising(false);
    EXPECT_THROW(raising.EndStructure(), qorErrorException);
}

TEST(qorStreamEncode, IncompleteStreamIsNeverHandedOut) {
    qorStreamEncode encoder(true);
    ASSERT_EQ(QOR_S_OK, encoder.BeginStructure(nullptr, 0));
    uint8_t* allocation = nullptr;
    uint32_t prefix, end, length;
    EXPECT_EQ(QOR_E_WRONG_STATE, encoder.TakeBuffer(&allocation, &prefix, &end, &length));
    EXPECT_EQ(nullptr, allocation);
    ASSERT_EQ(QOR_S_OK, encoder.EndStructure());
    ASSERT_EQ(QOR_S_OK, encoder.TakeBuffer(&allocation, &prefix, &end, &length));
    EXPECT_EQ(0, std::memcmp(allocation, "\x70\x00\x00\x00\x02\x08\x00", 7));
    std::free(allocation);

    // Taking another owner's bytes drops the open structure with the old
    // buffer: its position means nothing in the new one.
    qorStreamEncode source(true);
    ASSERT_EQ(QOR_S_OK, source.InsertEndItem(nullptr, 9));
    ASSERT_EQ(QOR_S_OK, encoder.BeginStructure(nullptr, 0));
    ASSERT_EQ(QOR_S_OK, encoder.ShareBuffer(source));
    EXPECT_FALSE(encoder.IsStructureOpen());
    EXPECT_EQ(source.GetData(), encoder.GetData());
}

TEST(qorStreamEncode, OversizedStructureIsRefusedNotCorrupted) {
    qorStreamEncode encoder(true, 1 << 20);
    ASSERT_EQ(QOR_S_OK, encoder.BeginStructure(nullptr, 0));
    // 5 header bytes + blob item (1 + 1 + 4 length bytes) + data + 2 end
    // bytes must stay within 16,777,215 after the field.
    std::vector<uint8_t> big(0xFFFFFF - 8 + 1, 0x55);
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 1, ET_BLOB, big.data(),
                                               static_cast<uint32_t>(big.size())));
    uint32_t before = encoder.GetLength();
    EXPECT_EQ(QOR_E_INVALID_ARG, encoder.EndStructure());
    EXPECT_EQ(before, encoder.GetLength());
    EXPECT_TRUE(encoder.IsStructureOpen());
    EXPECT_EQ(nullptr, encoder.GetData());

    // One byte less fits exactly.
    qorStreamEncode fits(true, 1 << 20);
    ASSERT_EQ(QOR_S_OK, fits.BeginStructure(nullptr, 0));
    ASSERT_EQ(QOR_S_OK, fits.InsertDataItem(nullptr, 1, ET_BLOB, big.data(),
                                            static_cast<uint32_t>(big.size() - 1)));
    ASSERT_EQ(QOR_S_OK, fits.EndStructure());
    EXPECT_EQ((Bytes{0x70, 0x00, 0xFF, 0xFF, 0xFF}), Bytes(fits.GetData(), fits.GetData() + 5));

    // A structure may not start where its position no longer fits a field.
    EXPECT_EQ(QOR_E_INVALID_ARG, fits.BeginStructure(nullptr, 0));
}

TEST(qorStreamDecode, Int32OfTheOtherSignednessIsRefusedAndLeftUnread) {
    qorStreamEncode encoder(true);
    int32_t v = -5;
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 1, ET_SINT32, &v, 4));
    qorStreamDecode decoder(encoder);
    uint32_t out = 0;
    EXPECT_EQ(QOR_E_INVALID_DATA, decoder.ExtractInt32(nullptr, nullptr, &out, ET_UINT32));
    EXPECT_EQ(0u, decoder.GetPosition());
    EXPECT_EQ(QOR_E_INVALID_DATA, decoder.ExtractInt32(nullptr, nullptr, &out, ET_UINT16));
    ASSERT_EQ(QOR_S_OK, decoder.ExtractInt32(nullptr, nullptr, &out, ET_SINT32));
    EXPECT_EQ(-5, static_cast<int32_t>(out));

    qorStreamDecode raising(false);
    EXPECT_THROW(raising.ExtractInt32(nullptr, nullptr, &out, ET_SINT32), qorErrorException);
}


TEST(qorStreamDecode, TruncatedInputIsRejectedAtEveryCut) {
    // A stream with every kind of field, cut at each length: walking it must
    // end cleanly or with the not-enough-data status, never past the end.
    qorStreamEncode encoder(true);
    uint32_t u32 = 7;
    ASSERT_EQ(QOR_S_OK, encoder.BeginStructure("Outer", 1));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem("Count", 0, ET_UINT32, &u32, 4));
    ASSERT_EQ(QOR_S_OK, encoder.InsertDataItem(nullptr, 300, ET_STRING, "some text", 9));
    ASSERT_EQ(QOR_S_OK, encoder.BeginStructure(nullptr, 2));
    ASSERT_EQ(QOR_S_OK, encoder.InsertArray(ET_UINT32, &u32, 1, "Arr", 0));
    ASSERT_EQ(QOR_S_OK, encoder.EndStructure());
    ASSERT_EQ(QOR_S_OK, encoder.EndStructure());
    const Bytes whole = Written(encoder);

    for (size_t cut = 1; cut < whole.size(); ++cut) {
        qorStreamDecode decoder = DecoderOver(Bytes(whole.begin(), whole.begin() + cut));
        StatusCode status = QOR_S_OK;
        while (status == QOR_S_OK) {
            uint8_t type = 0;
            status = decoder.PeekHeader(nullptr, nullptr, &type);
            if (status != QOR_S_OK) {
                break;
            }
            if (type == ET_STRUCT) {
                status = decoder.BeginStructure(nullptr, nullptr);
            } else if (type == ET_END) {
                status = decoder.EndStructure();
            } else {
                uint32_t before = decoder.GetPosition();
                status = decoder.SkipItem();
                EXPECT_TRUE(status == QOR_S_OK || decoder.GetPosition() == before);
            }
        }
        EXPECT_EQ(QOR_E_NOT_ENOUGH_DATA, status) << "cut at " << cut;
    }
    qorStreamDecode skipper = DecoderOver(Bytes(whole.begin(), whole.end() - 1));
    EXPECT_EQ(QOR_E_NOT_ENOUGH_DATA, skipper.SkipItem());
    EXPECT_EQ(0u, skipper.GetPosition());
}

TEST(qorStreamDecode, MalformedHeadersAreRejected) {
    struct Case {
        const char* what;
        Bytes bytes;
        StatusCode status;
    };
    const Case cases[] = {
        {"undefined type", {0x30, 0x01, 0x00}, QOR_E_INVALID_DATA},
        {"name longer than the data", {0xD1, 0x10, 0x41}, QOR_E_NOT_ENOUGH_DATA},
        {"name without its NUL", {0xD1, 0x02, 0x41, 0x42, 0x01, 0x00}, QOR_E_INVALID_DATA},
        {"empty name field", {0xD1, 0x00, 0x01, 0x00}, QOR_E_INVALID_DATA},
        {"string longer than the data", {0x51, 0x01, 0x05, 0x61, 0x62}, QOR_E_NOT_ENOUGH_DATA},
        {"structure field cut short", {0x70, 0x01, 0x00}, QOR_E_NOT_ENOUGH_DATA},
        {"array count disagrees", {0x71, 0x01, 0x04, 0x02, 0x13, 0, 0, 0, 1}, QOR_E_INVALID_DATA},
        {"array of blobs", {0x71, 0x01, 0x01, 0x01, 0x50, 0}, QOR_E_INVALID_DATA},
        {"fixed value cut short", {0x13, 0x01, 0x00, 0x00}, QOR_E_NOT_ENOUGH_DATA},
        {"empty input", {}, QOR_E_NOT_ENOUGH_DATA},
    };
    for (const Case& c : cases) {
        qorStreamDecode decoder(true);
        if (!c.bytes.empty()) {
            ASSERT_EQ(QOR_S_OK, decoder.AttachBytes(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())));
        } else {
            ASSERT_EQ(QOR_S_OK, decoder.AttachBytes(nullptr, 0));
        }
        uint8_t type;
        EXPECT_EQ(c.status, decoder.PeekHeader(nullptr, nullptr, &type)) << c.what;
        EXPECT_EQ(c.status, decoder.SkipItem()) << c.what;
        EXPECT_EQ(0u, decoder.GetPosition()) << c.what;
    }
}

TEST(qorStreamDecode, TextWithoutNulStopsAtItsLength) {
    qorStreamDecode decoder = DecoderOver({0x52, 0x01, 0x03, 0x61, 0x62, 0x63});
    std::string text;
    ASSERT_EQ(QOR_S_OK, decoder.ExtractString(nullptr, nullptr, text));
    EXPECT_EQ("abc", text);

    qorStreamDecode embedded = DecoderOver({0x51, 0x01, 0x04, 0x61, 0x00, 0x62, 0x00});
    ASSERT_EQ(QOR_S_OK, embedded.ExtractString(nullptr, nullptr, text));
    EXPECT_EQ("a", text);
}
