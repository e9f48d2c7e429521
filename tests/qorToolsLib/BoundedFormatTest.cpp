#include "qorToolsLib/BoundedFormat.h"

#include <gtest/gtest.h>

#include <string>

TEST(BoundedSnprintf, TextThatFillsTheBufferIsCutTerminatedAndReportedAsOverflow) {
    char buffer[10];
    EXPECT_EQ(9, BoundedSnprintf(buffer, sizeof buffer, "%s", "123456789"));
    EXPECT_STREQ("123456789", buffer);
    EXPECT_EQ(-1, BoundedSnprintf(buffer, sizeof buffer, "%s-%d", "12345678", 90));
    EXPECT_STREQ("12345678-", buffer);
}

TEST(BoundedSnprintf, SizeZeroOrNullBufferWritesNothing) {
    char guard[4] = {'x', 'y', 'z', 'w'};
    EXPECT_EQ(-1, BoundedSnprintf(guard + 1, 0, "%s", "abc"));
    EXPECT_EQ(std::string("xyzw"), std::string(guard, 4));
    EXPECT_EQ(-1, BoundedSnprintf(nullptr, 5, "%s", "abc"));
}

TEST(ReentrantStrtok, SkipsRunsOfDelimitersAndTerminatesTokens) {
    char text[] = ",,a,,b";
    char* saved = nullptr;
    EXPECT_STREQ("a", ReentrantStrtok(text, ",", &saved));
    EXPECT_EQ('\0', text[3]);
    EXPECT_STREQ("b", ReentrantStrtok(nullptr, ",", &saved));
    EXPECT_EQ(nullptr, saved);
    EXPECT_EQ(nullptr, ReentrantStrtok(nullptr, ",", &saved));

    char delimiters[] = ";;;";
    saved = delimiters;
    EXPECT_EQ(nullptr, ReentrantStrtok(delimiters, ";", &saved));
    EXPECT_EQ(nullptr, saved);
}
