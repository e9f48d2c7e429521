#include "qorToolsLib/StringTokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> AllTokens(StringTokenizer& tokenizer) {
    std::vector<std::string> tokens;
    while (tokenizer.Next()) {
        tokens.emplace_back(tokenizer.Token());
    }
    return tokens;
}

}  // namespace

TEST(StringTokenizer, EmptyPiecesBetweenAndAroundDelimitersAreDropped) {
    StringTokenizer tokenizer(",a,,b,", ",", false);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), AllTokens(tokenizer));
    EXPECT_EQ(2u, tokenizer.Count());
    EXPECT_EQ(nullptr, tokenizer.Token());
    EXPECT_FALSE(tokenizer.Next());
}

TEST(StringTokenizer, WholeStringSeparatorIsSkippedWhole) {
    StringTokenizer bar("x|y", "|", true);
    EXPECT_EQ((std::vector<std::string>{"x", "y"}), AllTokens(bar));
    StringTokenizer multi("one<>two<><>three", "<>", true);
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), AllTokens(multi));
}

TEST(StringTokenizer, SingleDelimiterSplitsAtMost1024Times) {
    std::string text(2000, 'x');
    text[10] = ',';
    StringTokenizer one(text.c_str(), ",", false);
    ASSERT_EQ((std::vector<std::string>{text.substr(0, 10), text.substr(11)}), AllTokens(one));

    std::string many;
    for (int i = 0; i < 1100; ++i) {
        many += "t,";
    }
    StringTokenizer capped(many.c_str(), ",", false);
    std::vector<std::string> tokens = AllTokens(capped);
    ASSERT_EQ(1025u, tokens.size());
    EXPECT_EQ("t", tokens[1023]);
    // The last token keeps every delimiter after the 1,024th.
    EXPECT_EQ(many.substr(1024 * 2), tokens[1024]);
}

TEST(StringTokenizer, DelimiterSetIsUsedOneCharacterPerSplit) {
    StringTokenizer tokenizer("a;b,c;d", ",;", false);
    EXPECT_EQ((std::vector<std::string>{"a;b", "c", "d"}), AllTokens(tokenizer));
}

TEST(StringTokenizer, EmptyTextOrDelimitersGiveNoToken) {
    StringTokenizer noText("", ",", false);
    EXPECT_FALSE(noText.Next());
    EXPECT_EQ(nullptr, noText.Token());
    StringTokenizer nulls("abc", nullptr, false);
    EXPECT_FALSE(nulls.Next());
    EXPECT_EQ(0u, nulls.Count());
}

TEST(StringTokenizer, ChangingTheTextRestartsTheWalk) {
    StringTokenizer tokenizer("a b", " ", false);
    ASSERT_TRUE(tokenizer.Next());
    EXPECT_STREQ("a", tokenizer.Token());
    tokenizer.SetText("c d e");
    EXPECT_EQ(nullptr, tokenizer.Token());
    EXPECT_EQ(3u, tokenizer.Count());
    ASSERT_TRUE(tokenizer.Next());
    EXPECT_STREQ("c", tokenizer.Token());
    tokenizer.SetWholeString(true);
    tokenizer.SetDelimiters(" d ");
    EXPECT_EQ((std::vector<std::string>{"c", "e"}), AllTokens(tokenizer));
}
