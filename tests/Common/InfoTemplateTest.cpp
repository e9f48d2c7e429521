// The information-pair templates and text fields on long texts: they read
// the whole text, whatever its length, and a text written to defeat a
// template costs no more than its length times the template's.  What the
// load says of a template's alternatives is what the resolver does.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "Common/AgentEventInfo.h"
#include "Common/InfoTemplateCheck.h"

namespace {

// The resolver as it was written first: every start tried from scratch,
// which on some texts takes the square of their length.  Its answers are
// the ones the resolver must give.
namespace model {

size_t MatchPrefix(std::string_view strPattern, size_t nMarker, std::string_view strText,
                   size_t nStart) {
    size_t nCursor = 0;
    size_t nPos = nStart;
    while (nCursor < nMarker && nPos < strText.size()) {
        const char c = strText[nPos++];
        if (strPattern[nCursor] == '*') {
            if (c == strPattern[nCursor + 1]) {
                nCursor += 2;
            }
        } else if (c == strPattern[nCursor]) {
            ++nCursor;
        } else {
            return std::string::npos;
        }
    }
    return nCursor >= nMarker ? nPos : std::string::npos;
}

std::string Resolve(std::string_view svTemplate, std::string_view svText) {
    size_t nFrom = 0;
    while (true) {
        const size_t nBar = svTemplate.find('|', nFrom);
        const std::string_view svAlternative =
            svTemplate.substr(nFrom, nBar == std::string::npos ? std::string::npos : nBar - nFrom);
        const size_t nMarker = svAlternative.find("{!}");
        if (nMarker == std::string::npos) {
            return std::string(svAlternative);
        }
        const std::string_view svSuffix = svAlternative.substr(nMarker + 3);
        size_t nEnd = std::string::npos;
        for (size_t nStart = 0; nStart < svText.size() && nEnd == std::string::npos; ++nStart) {
            nEnd = MatchPrefix(svAlternative, nMarker, svText, nStart);
        }
        if (nEnd != std::string::npos && nEnd < svText.size()) {
            std::string_view svValue = svText.substr(nEnd);
            if (!svSuffix.empty()) {
                const size_t nSuffix = svValue.find(svSuffix);
                if (nSuffix != std::string::npos) {
                    svValue = svValue.substr(0, nSuffix);
                }
            }
            if (!svValue.empty() && svValue.back() == '\n') {
                svValue.remove_suffix(1);
            }
            return std::string(svValue);
        }
        if (nBar == std::string::npos) {
            return std::string();
        }
        nFrom = nBar + 1;
    }
}

}  // namespace model

std::string Resolve(std::string_view svTemplate, std::string_view svText) {
    std::string strOut = "stale";
    AgentEventInfo::ResolveInfoTemplate(svTemplate, svText, strOut);
    return strOut;
}

std::string Field(int nField, std::string_view svLine) {
    std::string strOut = "stale";
    AgentEventInfo::GetTextField(nField, svLine, strOut);
    return strOut;
}

// `nLength` characters drawn from `pszAlphabet`.
std::string Draw(std::mt19937& random, const char* pszAlphabet, size_t nLength) {
    const std::string_view svAlphabet(pszAlphabet);
    std::uniform_int_distribution<size_t> pick(0, svAlphabet.size() - 1);
    std::string strOut;
    for (size_t n = 0; n < nLength; ++n) {
        strOut += svAlphabet[pick(random)];
    }
    return strOut;
}

// A template of one to three alternatives, most with the marker, over
// the characters a prefix treats apart ("*", the character after it) and
// a few plain ones; the texts use the same plain characters.
std::string DrawTemplate(std::mt19937& random) {
    std::uniform_int_distribution<int> count(1, 3);
    std::uniform_int_distribution<size_t> length(0, 6);
    std::string strTemplate;
    for (int n = count(random); n > 0; --n) {
        if (!strTemplate.empty()) {
            strTemplate += '|';
        }
        strTemplate += Draw(random, "ab,*;", length(random));
        if (random() % 5 != 0) {
            strTemplate += "{!}" + Draw(random, "ab,;", length(random) / 2);
        }
    }
    return strTemplate;
}

}  // namespace

// Random templates on random texts answer as the first resolver did.  Each
// seed runs a share of the cases; a seed that ever found a difference
// stays in the list.
TEST(InfoTemplate, ResolverAnswersAsTheModelOnRandomTemplatesAndTexts) {
    for (const uint32_t nSeed : {1u, 2u, 3u, 20240601u}) {
        std::mt19937 random(nSeed);
        std::uniform_int_distribution<size_t> length(0, 40);
        for (int nCase = 0; nCase < 5000; ++nCase) {
            const std::string strTemplate = DrawTemplate(random);
            const std::string strText = Draw(random, "ab,;\n{", length(random));
            ASSERT_EQ(Resolve(strTemplate, strText), model::Resolve(strTemplate, strText))
                << "seed " << nSeed << ", case " << nCase << ": " << strTemplate << " on "
                << strText;
        }
    }
}

// The user and the origin lie 3,000 bytes into the line: each template and
// field finds them, and a suffix that does not follow leaves the rest of
// the line, as it would on a short one.
TEST(InfoTemplate, TemplatesAndFieldsReadAWholeLineOfThousandsOfBytes) {
    const std::string strLine = std::string(3000, '.') +
                                " authentication failed for user bob from 198.51.100.7 via web";
    EXPECT_EQ(Resolve("for user {!} from", strLine), "bob");
    EXPECT_EQ(Resolve("from {!} via", strLine), "198.51.100.7");
    EXPECT_EQ(Resolve("nothing {!} here|user {!} ", strLine), "bob");
    EXPECT_EQ(Resolve("from {!} over", strLine), "198.51.100.7 via web");
    EXPECT_EQ(Resolve(".*f{!} ", strLine), "ailed");
    EXPECT_EQ(Field(0, strLine), std::string(3000, '.'));
    EXPECT_EQ(Field(4, strLine), "user");
    EXPECT_EQ(Field(5, strLine), "bob");
    EXPECT_EQ(Field(9, strLine), "web");
    EXPECT_EQ(Field(10, strLine), "");
    // A NUL is a byte of its field: the line goes on past it.
    EXPECT_EQ(Field(1, std::string_view("a b\0c d", 7)), std::string_view("b\0c", 3));
    EXPECT_EQ(Field(2, std::string_view("a b\0c d", 7)), "d");
    EXPECT_EQ(Resolve("user {!} from", std::string_view("\0user b\0b from", 15)),
              std::string_view("b\0b", 3));
}

// Texts a writer shapes so that every start of a prefix runs far before it
// fails: a datagram's whole 65,505 bytes of them resolve at once, where the
// first resolver took the square of the length.
TEST(InfoTemplate, TextsShapedToDefeatAPrefixResolveInOnePass) {
    std::string strText;
    for (int n = 0; n < 32000; ++n) {
        strText += ",a";
    }
    const std::string strTail = ";c a;b value";
    strText += strTail;
    ASSERT_LE(strText.size(), 65505u);
    // Every "a" runs to the first ";" and fails on the "c" after it, but
    // the "a" after it reaches the ";" that "b" follows.
    EXPECT_EQ(Resolve("a*;b{!}", strText), " value");
    EXPECT_EQ(Resolve("*,a*;b{!}", strText), "");
    EXPECT_EQ(Resolve("a*;d{!}", strText), "");
    EXPECT_EQ(Resolve("a*:{!}", strText), "");
    // The same shape without a "*": each start fails within the prefix.
    EXPECT_EQ(Resolve(",a,a,a,b{!}", strText), "");
    const std::string strMany(65000, 'a');
    EXPECT_EQ(Resolve("aaaaaaaaab{!}", strMany + "b!"), "!");
    EXPECT_EQ(Field(1, strMany + " last"), "last");
}

// An alternative without "{!}" ends the resolving, so what follows it is
// said as never tried, and is not; an empty last alternative, the way to
// keep blanks, is not said.  A "{!" without "}" is no marker, in whichever
// alternative it stands.
TEST(InfoTemplate, AlternativesTheLoadSaysAreNeverTriedAreNot) {
    const InfoTemplateMarkers markers{"a test rule", {}, {}, false};
    EXPECT_EQ(CheckInfoTemplate(markers, "web|db"),
              std::vector<std::string>{"never tries \"db\": its first alternative \"web\" has no \"{!}\" and is "
                                       "always the value"});
    EXPECT_EQ(Resolve("web|db", "db"), "web");
    EXPECT_EQ(CheckInfoTemplate(markers, "by {!}|none|for {!}"),
              std::vector<std::string>{"never tries \"for {!}\": the alternative \"none\" before it has no "
                                       "\"{!}\" and is the value whenever those before it find nothing"});
    EXPECT_EQ(Resolve("by {!}|none|for {!}", "for x"), "none");
    EXPECT_EQ(Resolve("by {!}|none|for {!}", "by x"), "x");
    EXPECT_TRUE(CheckInfoTemplate(markers, "user={!} ||").empty());
    EXPECT_EQ(Resolve("user={!} ||", "user=bob x"), "bob");

    EXPECT_EQ(CheckInfoTemplate(markers, "by {!}|user={!|a={!} b={!"),
              (std::vector<std::string>{
                  "has \"{!\" without its closing \"}\" in the alternative \"user={!\", which is then no marker: "
                  "that alternative is a value as it stands",
                  "never tries \"a={!} b={!\": the alternative \"user={!\" before it has no \"{!}\" and is the "
                  "value whenever those before it find nothing",
                  "has \"{!\" without its closing \"}\" in the alternative \"a={!} b={!\", which is then no "
                  "marker but text the input must hold"}));
    EXPECT_EQ(Resolve("by {!}|user={!|a={!} b={!", "a=1 b=2"), "user={!");
    EXPECT_EQ(Resolve("a={!} b={!", "a=1 b=2"), "1 b=2");
}
