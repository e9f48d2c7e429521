#include "qorToolsLib/UnicodeConvert.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <bit>
#include <cerrno>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// A sample across scripts and planes: Latin with accents, Greek, Cyrillic,
// Arabic, Devanagari, CJK, and characters outside the basic plane.
const char kMixedUtf8[] =
    "Caf\xC3\xA9 \xCE\xB1\xCE\xB2\xCE\xB3 \xD0\x96\xD0\xB8\xD0\xB2 "
    "\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85 "
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

const char* Utf16Name() {
    return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
}
const char* Utf32Name() {
    return std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";
}

template <typename Unit>
std::basic_string<Unit> FromBytes(const std::string& bytes) {
    return std::basic_string<Unit>(reinterpret_cast<const Unit*>(bytes.data()),
                                   bytes.size() / sizeof(Unit));
}

// One conversion of a whole text: its status, the units it consumed, the
// units it counted and what it wrote.
template <typename From, typename To>
struct Converted {
    StatusCode status;
    size_t consumed;
    size_t counted;
    std::basic_string<To> out;
};

template <typename From, typename To>
Converted<From, To> Convert(StatusCode (*convert)(const From**, const From*, std::basic_string<To>&,
                                                  size_t*, uint32_t),
                            const std::basic_string<From>& text, uint32_t mode = 0) {
    const From* source = text.data();
    Converted<From, To> r{};
    r.status = convert(&source, text.data() + text.size(), r.out, &r.counted, mode);
    r.consumed = static_cast<size_t>(source - text.data());
    return r;
}

template <typename From, typename To>
::testing::AssertionResult Gives(const Converted<From, To>& r, StatusCode status, size_t consumed,
                                 const std::type_identity_t<std::basic_string<To>>& out) {
    if (r.status == status && r.consumed == consumed && r.out == out) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "status " << std::hex << r.status << std::dec << ", consumed " << r.consumed
           << ", wrote " << ::testing::PrintToString(r.out);
}

// The text a conversion that must succeed wrote.
template <typename From, typename To>
std::basic_string<To> Whole(const Converted<From, To>& r, size_t size) {
    EXPECT_EQ(QOR_S_OK, r.status);
    EXPECT_EQ(size, r.consumed);
    EXPECT_EQ(r.out.size(), r.counted);
    return r.out;
}

}  // namespace

TEST(UnicodeConvert, MixedScriptSampleAgreesWithIconvInEveryDirection) {
    const std::string utf8(kMixedUtf8);
    const std::u16string utf16 =
        FromBytes<char16_t>(Iconv(Utf16Name(), "UTF-8", utf8.data(), utf8.size()));
    const std::u32string utf32 =
        FromBytes<char32_t>(Iconv(Utf32Name(), "UTF-8", utf8.data(), utf8.size()));
    ASSERT_EQ(utf8, Iconv("UTF-8", Utf16Name(), utf16.data(), utf16.size() * 2));
    EXPECT_EQ(utf16, Whole(Convert(ConvertUtf8ToUtf16, utf8), utf8.size()));
    EXPECT_EQ(utf32, Whole(Convert(ConvertUtf8ToUtf32, utf8), utf8.size()));
    EXPECT_EQ(utf8, Whole(Convert(ConvertUtf16ToUtf8, utf16), utf16.size()));
    EXPECT_EQ(utf32, Whole(Convert(ConvertUtf16ToUtf32, utf16), utf16.size()));
    EXPECT_EQ(utf8, Whole(Convert(ConvertUtf32ToUtf8, utf32), utf32.size()));
    EXPECT_EQ(utf16, Whole(Convert(ConvertUtf32ToUtf16, utf32), utf32.size()));
}

TEST(UnicodeConvert, IllFormedUtf16StopsOrIsReplaced) {
    // A trailing high surrogate may still find its pair: left unconsumed.
    for (uint32_t mode : {0u, 1u}) {
        EXPECT_TRUE(Gives(Convert(ConvertUtf16ToUtf8, std::u16string{u'a', 0xD83D}, mode),
                          QOR_E_UNICODE_TRUNCATED, 1, "a"));
    }
    const std::u16string unpaired{0xDC00, u'x', 0xD800, u'y'};
    EXPECT_TRUE(Gives(Convert(ConvertUtf16ToUtf8, unpaired, 0), QOR_E_UNICODE_UNPAIRED, 0, ""));
    EXPECT_TRUE(Gives(Convert(ConvertUtf16ToUtf8, unpaired, 1), QOR_E_UNICODE_UNPAIRED, 4,
                      "\xEF\xBF\xBDx\xEF\xBF\xBDy"));
}

TEST(UnicodeConvert, IllFormedUtf8StopsOrIsReplacedOncePerBadSequence) {
    EXPECT_TRUE(Gives(Convert(ConvertUtf8ToUtf16, std::string("\xC0\x80z"), 0),
                      QOR_E_UNICODE_MALFORMED, 0, u""));
    EXPECT_TRUE(Gives(Convert(ConvertUtf8ToUtf16, std::string("\xC0\x80z"), 1),
                      QOR_E_UNICODE_MALFORMED, 3, u"\xFFFDz"));
    // E2 announces three bytes; 'A' can start a sequence, so only the lead is
    // replaced and 'A' is read as itself.
    EXPECT_TRUE(Gives(Convert(ConvertUtf8ToUtf32, std::string("\xE2\x41\x82\xAC"), 1),
                      QOR_E_UNICODE_MALFORMED, 4, U"\xFFFD\x41\xFFFD\xFFFD"));
    // An incomplete sequence at the end may be completed by more input; a
    // cut-off prefix that is already malformed is malformed.
    for (uint32_t mode : {0u, 1u}) {
        EXPECT_TRUE(Gives(Convert(ConvertUtf8ToUtf16, std::string("x\xE2\x82"), mode),
                          QOR_E_UNICODE_TRUNCATED, 1, u"x"));
    }
    EXPECT_TRUE(Gives(Convert(ConvertUtf8ToUtf16, std::string("\xE0\x41"), 1),
                      QOR_E_UNICODE_MALFORMED, 2, u"\xFFFD\x41"));
}

TEST(UnicodeConvert, ValuesOutsideUnicodeAreRejected) {
    // Non-characters.
    EXPECT_TRUE(Gives(Convert(ConvertUtf32ToUtf8, std::u32string{0xFFFF, U'q'}, 0),
                      QOR_E_UNICODE_ILLEGAL, 0, ""));
    EXPECT_TRUE(Gives(Convert(ConvertUtf32ToUtf8, std::u32string{0xFFFF, U'q'}, 1),
                      QOR_E_UNICODE_ILLEGAL, 2, "\xEF\xBF\xBDq"));
    EXPECT_TRUE(
        Gives(Convert(ConvertUtf16ToUtf32, std::u16string{0xFFFE}), QOR_E_UNICODE_ILLEGAL, 0, U""));
    EXPECT_TRUE(Gives(Convert(ConvertUtf8ToUtf32, std::string("\xEF\xBF\xBF")),
                      QOR_E_UNICODE_ILLEGAL, 0, U""));
    // Beyond U+10FFFF; a well-formed five-byte sequence becomes one replacement.
    EXPECT_TRUE(
        Gives(Convert(ConvertUtf32ToUtf16, std::u32string{0x110000}), QOR_E_UNICODE_RANGE, 0, u""));
    EXPECT_TRUE(Gives(Convert(ConvertUtf8ToUtf32, std::string("\xF8\x88\x80\x80\x80!"), 1),
                      QOR_E_UNICODE_RANGE, 6, U"\xFFFD!"));
    // Surrogate code points outside UTF-16.
    EXPECT_TRUE(Gives(Convert(ConvertUtf32ToUtf8, std::u32string{0xD800}),
                      QOR_E_UNICODE_UNENCODABLE, 0, ""));
    EXPECT_TRUE(Gives(Convert(ConvertUtf8ToUtf16, std::string("\xED\xA0\x80")),
                      QOR_E_UNICODE_SURROGATE, 0, u""));
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
    const std::pair<std::vector<unsigned char>, bool> cases[] = {
        {{0xE0, 0x9F, 0x80}, false},
        {{0xE0, 0xA0, 0x80}, true},
        {{0xF0, 0x8F, 0x80, 0x80}, false},
        {{0xF8, 0x87, 0x80, 0x80, 0x80}, false},
        {{0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}, true},
        {{0xFE}, false},
        {{}, false}};
    for (const auto& [bytes, legal] : cases) {
        EXPECT_EQ(legal, IsLegalUtf8(bytes.empty() ? nullptr : bytes.data(), bytes.size()))
            << ::testing::PrintToString(bytes);
    }
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
