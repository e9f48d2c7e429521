#include "qorToolsLib/StringTokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Tokens = std::vector<std::string>;

Tokens AllTokens(StringTokenizer& tokenizer) {
    Tokens tokens;
    while (tokenizer.Next()) {
        tokens.emplace_back(tokenizer.Token());
    }
    return tokens;
}

}  // namespace

TEST(StringTokenizer, SplitsDropEmptyPiecesInBothModes) {
    struct Case {
        const char* text;
        const char* delimiters;
        bool whole;
        Tokens tokens;
    };
    const Case cases[] = {
        {",a,,b,", ",", false, {"a", "b"}},
        {"one<>two<><>three", "<>", true, {"one", "two", "three"}},
        // A delimiter set is used one character per split, in order.
        {"a;b,c;d", ",;", false, {"a;b", "c", "d"}},
        {"", ",", false, {}},
        {"abc", nullptr, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        StringTokenizer tokenizer(c.text, c.delimiters, c.whole);
        EXPECT_EQ(c.tokens.size(), tokenizer.Count());
        EXPECT_EQ(c.tokens, AllTokens(tokenizer));
        EXPECT_EQ(nullptr, tokenizer.Token());
        EXPECT_FALSE(tokenizer.Next());
    }
}

TEST(StringTokenizer, SingleDelimiterSplitsAtMost1024Times) {
    std::string many;
    for (int i = 0; i < 1100; ++i) {
        many += "t,";
    }
    StringTokenizer capped(many.c_str(), ",", false);
    Tokens tokens = AllTokens(capped);
    ASSERT_EQ(1025u, tokens.size());
    EXPECT_EQ("t", tokens[1023]);
    // The last token keeps every delimiter after the 1,024th.
    EXPECT_EQ(many.substr(1024 * 2), tokens[1024]);
}

TEST(StringTokenizer, ChangingTheTextOrDelimitersRestartsTheWalk) {
    StringTokenizer tokenizer("a b", " ", false);
    ASSERT_TRUE(tokenizer.Next());
    tokenizer.SetText("c d e");
    EXPECT_EQ(nullptr, tokenizer.Token());
    EXPECT_EQ(3u, tokenizer.Count());
    ASSERT_TRUE(tokenizer.Next());
    EXPECT_STREQ("c", tokenizer.Token());
    tokenizer.SetWholeString(true);
    tokenizer.SetDelimiters(" d ");
    EXPECT_EQ((Tokens{"c", "e"}), AllTokens(tokenizer));
}
