#include "qorToolsLib/BoundedFormat.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(BoundedSnprintf, TextWithRoomToSpareReportsItsLength) {
    char buffer[10];
    EXPECT_EQ(9, BoundedSnprintf(buffer, sizeof buffer, "%s", "123456789"));
    EXPECT_STREQ("123456789", buffer);
}

TEST(BoundedSnprintf, TextThatFillsOrOverflowsIsCutAndTerminated) {
    char buffer[10];
    EXPECT_EQ(-1, BoundedSnprintf(buffer, sizeof buffer, "%s", "1234567890"));
    EXPECT_STREQ("123456789", buffer);
    EXPECT_EQ(-1, BoundedSnprintf(buffer, sizeof buffer, "%s-%d", "a long text", 12345));
    EXPECT_EQ(9u, std::strlen(buffer));
}

TEST(BoundedSnprintf, SizeZeroWritesNothing) {
    char guard[4] = {'x', 'y', 'z', 'w'};
    EXPECT_EQ(-1, BoundedSnprintf(guard + 1, 0, "%s", "abc"));
    EXPECT_EQ('x', guard[0]);
    EXPECT_EQ('y', guard[1]);
    EXPECT_EQ(-1, BoundedSnprintf(nullptr, 5, "%s", "abc"));
}

TEST(ReentrantStrtok, SkipsRunsOfDelimitersAndTerminatesTokens) {
    char text[] = ",,a,,b";
    char* saved = nullptr;
    char* first = ReentrantStrtok(text, ",", &saved);
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ("a", first);
    EXPECT_EQ('\0', text[3]);
    char* second = ReentrantStrtok(nullptr, ",", &saved);
    ASSERT_NE(nullptr, second);
    EXPECT_STREQ("b", second);
    EXPECT_EQ(nullptr, saved);
    EXPECT_EQ(nullptr, ReentrantStrtok(nullptr, ",", &saved));
}

TEST(ReentrantStrtok, OnlyDelimitersOrNullResumeGiveNull) {
    char text[] = ";;;";
    char* saved = text;
    EXPECT_EQ(nullptr, ReentrantStrtok(text, ";", &saved));
    EXPECT_EQ(nullptr, saved);
    saved = nullptr;
    EXPECT_EQ(nullptr, ReentrantStrtok(nullptr, ";", &saved));
}
