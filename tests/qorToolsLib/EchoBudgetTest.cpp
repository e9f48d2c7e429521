#include "qorToolsLib/EchoBudget.h"

#include <gtest/gtest.h>

#include <chrono>

// However fast lines come, what goes out keeps to the rates: a second's
// lines at once, then the rate; a large line when the byte budget is whole
// and none until it is paid back; and every line left out is counted,
// handed out at most once a second.
TEST(EchoBudget, LinesBeyondTheRatesAreLeftOutAndCountedOnceASecond) {
    using namespace std::chrono;
    EchoBudget budget(10, 1000, 4000);
    const EchoBudget::Clock::time_point start{hours(5)};
    uint64_t shown = 0;
    uint64_t leftOut = 0;
    uint64_t reports = 0;
    // 100 lines of 10 bytes a second for 10 seconds.
    for (int n = 0; n < 1000; ++n) {
        const auto now = start + milliseconds(10 * n);
        shown += budget.Take(10, now) ? 1 : 0;
        if (const uint64_t count = budget.LeftOutToReport(now, false)) {
            leftOut += count;
            ++reports;
        }
    }
    leftOut += budget.LeftOutToReport(start + seconds(10), true);
    EXPECT_EQ(shown + leftOut, 1000u);
    EXPECT_GE(shown, 100u);
    EXPECT_LE(shown, 111u);
    EXPECT_LE(reports, 11u);

    // Bytes: after a quiet minute the budget is whole; a line larger than
    // the burst goes out whole and the next one waits until it is paid
    // back.
    auto now = start + minutes(1);
    EXPECT_TRUE(budget.Take(9000, now));
    EXPECT_FALSE(budget.Take(10, now + seconds(4)));
    EXPECT_TRUE(budget.Take(10, now + seconds(6)));
    EXPECT_EQ(budget.LeftOutToReport(now + seconds(10), false), 1u);
    EXPECT_EQ(budget.LeftOutToReport(now + seconds(10), true), 0u) << "nothing left out since";
}

// The count handed out is said with words that agree with it, one line as
// well as many, with the rates the budget keeps to.
TEST(EchoBudget, WhatWasLeftOutIsSaidInWordsThatAgreeWithItsCount) {
    const EchoBudget budget(20, 8192, 65536);
    EXPECT_EQ("1 datagram parsed without its echo (the echo is kept to 20 lines and 8192 bytes a second)",
              budget.LeftOutText(1, "datagram parsed", "datagrams parsed"));
    EXPECT_EQ("5120 datagrams parsed without their echo (the echo is kept to 20 lines and 8192 bytes a second)",
              budget.LeftOutText(5120, "datagram parsed", "datagrams parsed"));
    EXPECT_EQ("1 line read without its echo (the echo is kept to 20 lines and 8192 bytes a second)",
              budget.LeftOutText(1, "line read", "lines read"));
    EXPECT_EQ("2 lines read without their echo (the echo is kept to 20 lines and 8192 bytes a second)",
              budget.LeftOutText(2, "line read", "lines read"));
}
