// The limiter that keeps recurring reports from flooding the log.

#include "qorToolsLib/ReportLimiter.h"

#include <gtest/gtest.h>

namespace {

using Clock = ReportLimiter::Clock;
using std::chrono::seconds;

}  // namespace

TEST(ReportLimiter, OneReportPerIntervalCountedFromTheLastOneLetThrough) {
    ReportLimiter limiter(seconds(10));
    const Clock::time_point start{};
    EXPECT_TRUE(limiter.Allow(start + seconds(100)));
    EXPECT_FALSE(limiter.Allow(start + seconds(109)));
    EXPECT_TRUE(limiter.Allow(start + seconds(110)));
    EXPECT_FALSE(limiter.Allow(start + seconds(115)));
    EXPECT_TRUE(limiter.Allow(start + seconds(125)));
}

TEST(ReportLimiter, BurstLetsThatManyThroughEachInterval) {
    ReportLimiter limiter(seconds(60), 3);
    const Clock::time_point start{};
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(limiter.Allow(start + seconds(10 + i))) << i;
    EXPECT_FALSE(limiter.Allow(start + seconds(20)));
    EXPECT_FALSE(limiter.Allow(start + seconds(69)));
    EXPECT_TRUE(limiter.Allow(start + seconds(70)));
    EXPECT_TRUE(limiter.Allow(start + seconds(71)));
}

// The report let through after a refused run says how many it left out;
// the one after it has nothing to add.
TEST(ReportLimiter, ReportAfterARefusedRunCountsItOnce) {
    ReportLimiter limiter(seconds(60), 2);
    const Clock::time_point start{};
    for (int i = 0; i < 7; ++i)
        limiter.Allow(start + seconds(i));
    EXPECT_EQ("", limiter.LeftOutNote("lines"));
    ASSERT_TRUE(limiter.Allow(start + seconds(60)));
    EXPECT_EQ(5u, limiter.LeftOutBefore());
    EXPECT_EQ(" (5 lines were not reported before it)", limiter.LeftOutNote("lines"));
    ASSERT_TRUE(limiter.Allow(start + seconds(61)));
    EXPECT_EQ("", limiter.LeftOutNote("lines"));
}

TEST(ReportLimiter, TimeBeforeTheIntervalStartsANewOne) {
    ReportLimiter limiter(seconds(60));
    const Clock::time_point start{};
    EXPECT_TRUE(limiter.Allow(start + seconds(3600)));
    EXPECT_FALSE(limiter.Allow(start + seconds(3601)));
    EXPECT_TRUE(limiter.Allow(start + seconds(10)));
    EXPECT_FALSE(limiter.Allow(start + seconds(11)));
}
