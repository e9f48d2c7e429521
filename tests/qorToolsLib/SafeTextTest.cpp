#include "qorToolsLib/SafeText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(SafeText, TerminalCommandsAndBrokenUtf8AreEscapedTheRestKept) {
    // Escape sequences, bell, backspace, carriage return, DEL and an 8-bit
    // CSI: each byte shown, never sent to the screen.
    EXPECT_EQ("a\\x1b[31mred\\x1b[0m \\x07\\x08\\x0d\\x7f \\x9b2J",
              PrintableText("a\x1b[31mred\x1b[0m \a\b\r\x7f \x9b" "2J"));
    // C1 controls encoded as UTF-8, and the marks that reorder a line.
    EXPECT_EQ("\\xc2\\x9b \\xe2\\x80\\xae \\xe2\\x81\\xa6 \\xe2\\x80\\xa8",
              PrintableText("\xc2\x9b \xe2\x80\xae \xe2\x81\xa6 \xe2\x80\xa8"));
    // Overlong, surrogate, beyond U+10FFFF, cut: not UTF-8.
    EXPECT_EQ("\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x82",
              PrintableText("\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82"));
    // Text, tabs, backslashes and well-formed UTF-8 stay byte for byte.
    const std::string kept = "su: FAILED SU (to root) \\x1b\tJ\xc3\xb6rg \xe2\x82\xac \xf0\x9f\x94\x92";
    EXPECT_EQ(kept, PrintableText(kept));
    EXPECT_EQ("a\\x00b", PrintableText(std::string("a\0b", 3)));

    std::string lines;
    AppendPrintable(lines, "one\ntwo\r\n", true);
    EXPECT_EQ("one\ntwo\\x0d\n", lines);

    // Long plain runs are looked at several bytes at once: a byte to show
    // escaped, or to keep, is found at every place in such a run.
    const std::string kinds[][2] = {{"\x1f", "\\x1f"}, {"\x7f", "\\x7f"}, {"\x80", "\\x80"},
                                    {"\xc3\xa9", "\xc3\xa9"}, {"\t", "\t"}, {" ", " "}};
    const std::string run(20, '~');
    for (size_t at = 0; at <= run.size(); ++at) {
        for (const auto& [byte, shown] : kinds) {
            EXPECT_EQ(run.substr(0, at) + shown + run.substr(at),
                      PrintableText(run.substr(0, at) + byte + run.substr(at)))
                << at;
        }
    }
}

TEST(SafeText, InvalidUtf8IsRepairedWithTheReplacementCharacter) {
    std::string out;
    AppendValidUtf8(out, "ok \xc3\xa9 \xff \xe2\x82 \xed\xa0\x80!");
    EXPECT_EQ("ok \xc3\xa9 \xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd "
              "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd!",
              out);
    uint32_t codePoint = 0;
    EXPECT_EQ(4u, DecodeUtf8At("\xf0\x9f\x94\x92", 0, codePoint));
    EXPECT_EQ(0x1F512u, codePoint);
    EXPECT_EQ(0u, DecodeUtf8At("\xf0\x9f\x94", 0, codePoint));
}

// A text cut to a length keeps whole characters: a cut that would split
// one falls before it, and bytes that are no UTF-8 are cut where asked.
// Cutting to fit takes from the longest texts first, down to one length
// that the shorter ones keep whole, and empties them all when even that
// does not fit.
TEST(SafeText, CutsFallBetweenCharactersAndTakeFromTheLongestFirst) {
    EXPECT_EQ(1u, Utf8CutPoint("a\xe2\x82\xac", 2));
    EXPECT_EQ(1u, Utf8CutPoint("a\xe2\x82\xac", 3));
    EXPECT_EQ(4u, Utf8CutPoint("a\xe2\x82\xac", 4));
    EXPECT_EQ(0u, Utf8CutPoint("\xe2\x82\xac", 2));
    EXPECT_EQ(3u, Utf8CutPoint("\x80\x80\x80\x80\x80", 3));
    EXPECT_EQ(2u, Utf8CutPoint("ab", 5));

    std::string euros;
    for (int i = 0; i < 300; ++i) {
        euros += "\xe2\x82\xac";
    }
    std::vector<std::string> texts = {"short", std::string(1000, 'x'), euros};
    const auto Total = [](const std::vector<std::string>& tried) {
        size_t total = 0;
        for (const std::string& text : tried) {
            total += text.size();
        }
        return total;
    };
    int asked = 0;
    EXPECT_EQ(0u, CutLongestToFit(texts, [&](const auto& tried) { return ++asked, Total(tried) <= 1905; }));
    EXPECT_EQ(1, asked);
    // At most 805 in all: both long ones cut to 401 bytes, the euros
    // before the character that a cut there would split.
    EXPECT_EQ(599u + 501u, CutLongestToFit(texts, [&](const auto& tried) { return Total(tried) <= 805; }));
    EXPECT_EQ("short", texts[0]);
    EXPECT_EQ(std::string(401, 'x'), texts[1]);
    EXPECT_EQ(euros.substr(0, 399), texts[2]);
    EXPECT_EQ(0u, CutLongestToFit(texts, [&](const auto& tried) { return Total(tried) <= 805; }));
    EXPECT_EQ(805u, CutLongestToFit(texts, [](const auto&) { return false; }));
    EXPECT_EQ((std::vector<std::string>{"", "", ""}), texts);
}
