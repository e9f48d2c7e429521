// The consolidation's clock: the frames' own times, carried between frames
// by the engine's clock, and never running back.

#include "IDS/ConsolidationClock.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kEngine = 1'767'225'600;
constexpr int64_t kOld = kEngine - 12 * 365 * 86'400;

TEST(ConsolidationClockTest, BetweenFramesTheEngineClockCarriesOnFromTheLastFrame) {
    ConsolidationClock clock;
    int64_t tNow = 0;
    EXPECT_FALSE(clock.Idle(kEngine, tNow)) << "no frame yet, nothing to age";
    EXPECT_EQ(kOld, clock.OnFrame(kOld, kEngine));
    EXPECT_EQ(kOld, clock.Now());
    ASSERT_TRUE(clock.Idle(kEngine + 3, tNow));
    EXPECT_EQ(kOld + 3, tNow);
    // A later frame sets the clock again, wherever the engine's stands.
    EXPECT_EQ(kOld + 10, clock.OnFrame(kOld + 10, kEngine + 4));
    ASSERT_TRUE(clock.Idle(kEngine + 4, tNow));
    EXPECT_EQ(kOld + 10, tNow);
    // The engine's clock set back does not take the clock back.
    ASSERT_TRUE(clock.Idle(kEngine - 3600, tNow));
    EXPECT_EQ(kOld + 10, tNow);
}

TEST(ConsolidationClockTest, ALateFrameKeepsTheClockAndACaptureSteppingBackGoesOnFromIt) {
    ConsolidationClock clock;
    clock.OnFrame(kOld + 100, kEngine);
    // Stamped a moment before the clock: late, taken at the clock's time.
    EXPECT_EQ(kOld + 100, clock.OnFrame(kOld + 98, kEngine));
    EXPECT_EQ(kOld + 101, clock.OnFrame(kOld + 101, kEngine + 1));
    // A replay that starts its capture again: its frames go on from the
    // clock's time with their own gaps.
    EXPECT_EQ(kOld + 101, clock.OnFrame(kOld, kEngine + 2));
    EXPECT_EQ(kOld + 106, clock.OnFrame(kOld + 5, kEngine + 3));
}

}  // namespace
