#include "qorToolsLib/UnicodeConvert.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <bit>
#include <cerrno>
#include <string>
#include <vector>

namespace {

// A sample across scripts and planes: Latin with accents, Greek, Cyrillic,
// Arabic, Devanagari, CJK, and characters outside the basic plane.
const char kMixedUtf8[] =
    "Caf\xC3\xA9 \xCE\xB1\xCE\xB2\xCE\xB3 \xD0\x96\xD0\xB8\xD0\xB2 \xD8\xB3\xD9\x84\xD8\xA7\xD9\x85 "
    "\xE0\xA4\xA8\xE0\xA4\xAE\xE0\xA4\xB8\xE0\xA5\x8D\xE0\xA4\xA4\xE0\xA5\x87 "
    "\xE6\xBC\xA2\xE5\xAD\x97 \xF0\x9F\x98\x80\xF0\x9D\x84\x9E \xF4\x8F\xBF\xBD end";

// Converts through the C library's iconv, the reference for the tests.
std::string Iconv(const char* to, const char* from, const void* data, size_t bytes) {
    iconv_t cd = iconv_open(to, from);
    EXPECT_NE(reinterpret_cast<iconv_t>(-1), cd);
    std::string out(bytes * 4 + 16, '\0');
    char* in = const_cast<char*>(static_cast<const char*>(data));
    size_t inLeft = bytes;
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    EXPECT_NE(static_cast<size_t>(-1), rc) << "iconv errno " << errno;
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

const char* Utf16Name() { return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE"; }
const char* Utf32Name() { return std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE"; }

template <typename Unit>
std::basic_string<Unit> FromBytes(const std::string& bytes) {
    return std::basic_string<Unit>(reinterpret_cast<const Unit*>(bytes.data()),
                                   bytes.size() / sizeof(Unit));
}

template <typename Unit>
std::string ToBytes(const std::basic_string<Unit>& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(Unit));
}

}  // namespace

TEST(UnicodeConvert, MixedScriptSampleAgreesWithIconvInEveryDirection) {
    const std::string utf8(kMixedUtf8);
    const std::u16string utf16 = FromBytes<char16_t>(Iconv(Utf16Name(), "UTF-8", utf8.data(), utf8.size()));
    const std::u32string utf32 = FromBytes<char32_t>(Iconv(Utf32Name(), "UTF-8", utf8.data(), utf8.size()));

    std::u16string to16;
    const char* s8 = utf8.data();
    size_t count = 0;
    EXPECT_EQ(QOR_S_OK, ConvertUtf8ToUtf16(&s8, utf8.data() + utf8.size(), to16, &count, 0));
    EXPECT_EQ(utf16, to16);
    EXPECT_EQ(utf16.size(), count);
    EXPECT_EQ(utf8.data() + utf8.size(), s8);

    std::u32string to32;
    s8 = utf8.data();
    EXPECT_EQ(QOR_S_OK, ConvertUtf8ToUtf32(&s8, utf8.data() + utf8.size(), to32, &count, 0));
    EXPECT_EQ(utf32, to32);

    std::string from16;
    const char16_t* s16 = utf16.data();
    EXPECT_EQ(QOR_S_OK, ConvertUtf16ToUtf8(&s16, utf16.data() + utf16.size(), from16, &count, 0));
    EXPECT_EQ(utf8, from16);
    EXPECT_EQ(Iconv("UTF-8", Utf16Name(), utf16.data(), utf16.size() * 2), from16);

    std::u32string from16to32;
    s16 = utf16.data();
    EXPECT_EQ(QOR_S_OK, ConvertUtf16ToUtf32(&s16, utf16.data() + utf16.size(), from16to32, &count, 0));
    EXPECT_EQ(ToBytes(from16to32), Iconv(Utf32Name(), Utf16Name(), utf16.data(), utf16.size() * 2));

    std::string from32;
    const char32_t* s32 = utf32.data();
    EXPECT_EQ(QOR_S_OK, ConvertUtf32ToUtf8(&s32, utf32.data() + utf32.size(), from32, &count, 0));
    EXPECT_EQ(utf8, from32);

    std::u16string from32to16;
    s32 = utf32.data();
    EXPECT_EQ(QOR_S_OK, ConvertUtf32ToUtf16(&s32, utf32.data() + utf32.size(), from32to16, &count, 0));
    EXPECT_EQ(ToBytes(from32to16), Iconv(Utf16Name(), Utf32Name(), utf32.data(), utf32.size() * 4));
}

TEST(UnicodeConvert, AsciiFromUtf16CountsTheBytesWritten) {
    const char16_t text[] = u"ab";
    const char16_t* src = text;
    std::string out;
    size_t count = 99;
    EXPECT_EQ(QOR_S_OK, ConvertUtf16ToUtf8(&src, text + 2, out, &count, 0));
    EXPECT_EQ("ab", out);
    EXPECT_EQ(2u, count);
}

TEST(UnicodeConvert, TrailingHighSurrogateIsLeftUnconsumedInBothModes) {
    const char16_t text[] = {u'a', 0xD83D};
    for (uint32_t mode : {0u, 1u}) {
        const char16_t* src = text;
        std::string out;
        EXPECT_EQ(QOR_E_UNICODE_TRUNCATED, ConvertUtf16ToUtf8(&src, text + 2, out, nullptr, mode));
        EXPECT_EQ(text + 1, src);
        EXPECT_EQ("a", out);
    }
}

TEST(UnicodeConvert, UnpairedSurrogatesStopOrAreReplaced) {
    const char16_t text[] = {0xDC00, u'x', 0xD800, u'y'};
    const char16_t* src = text;
    std::string out;
    EXPECT_EQ(QOR_E_UNICODE_UNPAIRED, ConvertUtf16ToUtf8(&src, text + 4, out, nullptr, 0));
    EXPECT_EQ(text, src);
    EXPECT_TRUE(out.empty());

    src = text;
    EXPECT_EQ(QOR_E_UNICODE_UNPAIRED, ConvertUtf16ToUtf8(&src, text + 4, out, nullptr, 1));
    EXPECT_EQ("\xEF\xBF\xBDx\xEF\xBF\xBDy", out);
    EXPECT_EQ(text + 4, src);
}

TEST(UnicodeConvert, OverlongNulIsMalformedAndReplacedOnce) {
    const char bytes[] = "\xC0\x80z";
    const char* src = bytes;
    std::u16string out;
    EXPECT_EQ(QOR_E_UNICODE_MALFORMED, ConvertUtf8ToUtf16(&src, bytes + 3, out, nullptr, 0));
    EXPECT_EQ(bytes, src);

    src = bytes;
    out.clear();
    EXPECT_EQ(QOR_E_UNICODE_MALFORMED, ConvertUtf8ToUtf16(&src, bytes + 3, out, nullptr, 1));
    EXPECT_EQ(u"\xFFFDz", out);
}

TEST(UnicodeConvert, MalformedSequenceResumesAtTheNextPossibleStart) {
    // E2 announces three bytes; 'A' can start a sequence, so only the lead is
    // replaced and 'A' is read as itself.
    const char bytes[] = "\xE2" "A\x82\xAC";
    const char* src = bytes;
    std::u32string out;
    EXPECT_EQ(QOR_E_UNICODE_MALFORMED, ConvertUtf8ToUtf32(&src, bytes + 4, out, nullptr, 1));
    EXPECT_EQ((std::u32string{0xFFFD, U'A', 0xFFFD, 0xFFFD}), out);
}

TEST(UnicodeConvert, NonCharactersAreRejected) {
    const char32_t text[] = {0xFFFF, U'q'};
    const char32_t* src = text;
    std::string out;
    EXPECT_EQ(QOR_E_UNICODE_ILLEGAL, ConvertUtf32ToUtf8(&src, text + 2, out, nullptr, 0));
    EXPECT_EQ(text, src);
    src = text;
    EXPECT_EQ(QOR_E_UNICODE_ILLEGAL, ConvertUtf32ToUtf8(&src, text + 2, out, nullptr, 1));
    EXPECT_EQ("\xEF\xBF\xBDq", out);

    const char16_t wide[] = {0xFFFE};
    const char16_t* w = wide;
    std::u32string out32;
    EXPECT_EQ(QOR_E_UNICODE_ILLEGAL, ConvertUtf16ToUtf32(&w, wide + 1, out32, nullptr, 0));
    const char bytes[] = "\xEF\xBF\xBF";
    const char* b = bytes;
    EXPECT_EQ(QOR_E_UNICODE_ILLEGAL, ConvertUtf8ToUtf32(&b, bytes + 3, out32, nullptr, 0));
}

TEST(UnicodeConvert, ValuesOutsideTheCodeSpaceAreRejected) {
    const char32_t big[] = {0x110000};
    const char32_t* src = big;
    std::u16string out;
    EXPECT_EQ(QOR_E_UNICODE_RANGE, ConvertUtf32ToUtf16(&src, big + 1, out, nullptr, 0));

    // A well-formed five-byte sequence still decodes above U+10FFFF; in
    // replacing mode the whole sequence becomes one replacement character.
    const char five[] = "\xF8\x88\x80\x80\x80!";
    const char* f = five;
    std::u32string out32;
    EXPECT_EQ(QOR_E_UNICODE_RANGE, ConvertUtf8ToUtf32(&f, five + 6, out32, nullptr, 1));
    EXPECT_EQ((std::u32string{0xFFFD, U'!'}), out32);
}

TEST(UnicodeConvert, SurrogatesOutsideUtf16AreRejected) {
    const char32_t lone[] = {0xD800};
    const char32_t* src = lone;
    std::string out;
    EXPECT_EQ(QOR_E_UNICODE_UNENCODABLE, ConvertUtf32ToUtf8(&src, lone + 1, out, nullptr, 0));

    const char encoded[] = "\xED\xA0\x80";
    const char* e = encoded;
    std::u16string out16;
    EXPECT_EQ(QOR_E_UNICODE_SURROGATE, ConvertUtf8ToUtf16(&e, encoded + 3, out16, nullptr, 0));
    EXPECT_EQ(encoded, e);
}

TEST(UnicodeConvert, IncompleteUtf8AtTheEndIsNotConsumed) {
    const char bytes[] = "x\xE2\x82";
    for (uint32_t mode : {0u, 1u}) {
        const char* src = bytes;
        std::u16string out;
        EXPECT_EQ(QOR_E_UNICODE_TRUNCATED, ConvertUtf8ToUtf16(&src, bytes + 3, out, nullptr, mode));
        EXPECT_EQ(bytes + 1, src);
        EXPECT_EQ(u"x", out);
    }
    // A cut-off prefix that is already malformed is malformed, not incomplete.
    const char bad[] = "\xE0\x41";
    const char* src = bad;
    std::u16string out;
    EXPECT_EQ(QOR_E_UNICODE_MALFORMED, ConvertUtf8ToUtf16(&src, bad + 2, out, nullptr, 1));
    EXPECT_EQ(u"\xFFFD" u"A", out);
}

TEST(UnicodeConvert, FullTargetBufferStopsBeforeTheCharacterThatDoesNotFit) {
    const char16_t text[] = u"a\x20AC";
    const char16_t* src = text;
    char buffer[3];
    size_t count = 0;
    EXPECT_EQ(QOR_E_NO_MEMORY, ConvertUtf16ToUtf8(&src, text + 2, buffer, buffer + 3, &count, 0));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(text + 1, src);
    EXPECT_EQ('a', buffer[0]);

    // A supplementary character needs both units of room.
    const char32_t wide[] = {0x1F600};
    const char32_t* w = wide;
    char16_t one[1];
    EXPECT_EQ(QOR_E_NO_MEMORY, ConvertUtf32ToUtf16(&w, wide + 1, one, one + 1, &count, 0));
    EXPECT_EQ(wide, w);
}

TEST(UnicodeConvert, SecondByteBoundsOfLongLeadsAreEnforced) {
    auto legal = [](std::vector<unsigned char> bytes) {
        return IsLegalUtf8(bytes.data(), bytes.size());
    };
    EXPECT_FALSE(legal({0xE0, 0x9F, 0x80}));
    EXPECT_TRUE(legal({0xE0, 0xA0, 0x80}));
    EXPECT_FALSE(legal({0xF0, 0x8F, 0x80, 0x80}));
    EXPECT_FALSE(legal({0xF8, 0x87, 0x80, 0x80, 0x80}));
    EXPECT_TRUE(legal({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}));
    EXPECT_FALSE(legal({0xFE}));
    EXPECT_FALSE(IsLegalUtf8(nullptr, 0));
}

TEST(Utf8Converter, ConvertsBothWaysAndReportsUnitsWritten) {
    Utf8Converter converter;
    std::string narrow;
    size_t count = 4;
    EXPECT_EQ(QOR_S_OK, converter.ToUtf8(narrow, u"\x00E9\xD83D\xDE00z", count));
    EXPECT_EQ("\xC3\xA9\xF0\x9F\x98\x80z", narrow);
    EXPECT_EQ(7u, count);

    std::u16string wide;
    count = narrow.size();
    EXPECT_EQ(QOR_S_OK, converter.ToUtf16(wide, narrow.data(), count));
    EXPECT_EQ(u"\x00E9\xD83D\xDE00z", wide);
    EXPECT_EQ(4u, count);

    wide.clear();
    count = 2;
    EXPECT_EQ(QOR_E_UNICODE_MALFORMED, converter.ToUtf16Replacing(wide, "\xFF!", count));
    EXPECT_EQ(u"\xFFFD!", wide);
}
