#include "qorToolsLib/CountText.h"

#include <gtest/gtest.h>

// The counted words of the bounds and tallies, as one of them is said.
TEST(CountText, OneIsSaidInTheSingularOfTheCountedWord) {
    EXPECT_EQ("1 file", CountText(1, "files"));
    EXPECT_EQ("0 files", CountText(0, "files"));
    EXPECT_EQ("2 log lines", CountText(2, "log lines"));
    EXPECT_EQ("1 log line", CountText(1, "log lines"));
    EXPECT_EQ("1 connection not held", CountText(1, "connections not held"));
    EXPECT_EQ("1 hit value", CountText(1, "hit values"));
    EXPECT_EQ("1 class-text item", CountText(1, "class-text items"));
    EXPECT_EQ("1 entry", CountText(1, "entries"));
    EXPECT_EQ("1 address", CountText(1, "addresses"));
    EXPECT_EQ("1 match", CountText(1, "matches"));
    EXPECT_EQ("1 place", CountText(1, "places"));
    EXPECT_EQ("1 e-mail", CountText(1, "e-mails"));
    EXPECT_EQ("1 child", CountText(1, "child", "children"));
    EXPECT_EQ("3 children", CountText(3, "child", "children"));
}
