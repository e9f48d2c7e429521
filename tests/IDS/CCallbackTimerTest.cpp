#include "IDS/CCallbackTimer.h"

#include <gtest/gtest.h>

#include <atomic>

#include "support/TestUtil.h"

namespace {

TEST(CCallbackTimerTest, CallsItsCallbackEveryPeriodUntilStopped) {
    std::atomic<int> nCalls{0};
    CCallbackTimer timer(10, [&] { ++nCalls; });
    ASSERT_TRUE(timer.Start());
    EXPECT_TRUE(hwtest::WaitUntil([&] { return nCalls >= 3; }));
    timer.Stop(1, false);
    ASSERT_TRUE(timer.WaitForExit(10000));
    const int nAfterStop = nCalls;
    EXPECT_FALSE(timer.IsRunning());
    EXPECT_EQ(nAfterStop, nCalls.load());
}

TEST(CCallbackTimerTest, StopDoesNotWaitOutTheRestOfThePeriod) {
    std::atomic<int> nCalls{0};
    CCallbackTimer timer(3600 * 1000, [&] { ++nCalls; });
    ASSERT_TRUE(timer.Start());
    timer.Stop(1, false);
    // Woken from its sleep it calls once more; stopped at its start gate it
    // never did.  Either way it is gone long before the hour.
    ASSERT_TRUE(timer.WaitForExit(10000));
    EXPECT_LE(nCalls.load(), 1);
}

}  // namespace
