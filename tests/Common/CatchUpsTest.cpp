// The reload's wait for its inputs' catch-ups: it ends as the last one
// ends, on whatever thread, and at its deadline names those still behind.

#include "Common/CatchUps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

TEST(CatchUpsTest, TheWaitEndsWhenTheLastCatchUpEndsOnAnotherThread) {
    CatchUp first;
    CatchUp second;
    first.Begin("adapter a");
    second.Begin("syslog b");
    EXPECT_TRUE(first.Pending());
    std::thread engine([&] {
        first.End();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        second.End();
    });
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(CatchUps::Instance().WaitForAll(std::chrono::minutes(5)).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::minutes(5));
    engine.join();
    EXPECT_FALSE(first.Pending());
    EXPECT_EQ(0u, CatchUps::Instance().Pending());
    first.End();  // ended twice: nothing more happens
    EXPECT_EQ(0u, CatchUps::Instance().Pending());
}

TEST(CatchUpsTest, AtItsDeadlineTheWaitNamesWhatIsStillBehind) {
    CatchUp slow;
    {
        CatchUp gone;
        gone.Begin("text log c");
    }  // an input that goes ends its catch-up
    slow.Begin("adapter d");
    slow.Begin("adapter d");  // a second begin replaces the first
    EXPECT_EQ(1u, CatchUps::Instance().Pending());
    const std::vector<std::string> behind = CatchUps::Instance().WaitForAll(std::chrono::milliseconds(20));
    ASSERT_EQ(1u, behind.size());
    EXPECT_EQ("adapter d", behind[0]);
    slow.End();
    EXPECT_TRUE(CatchUps::Instance().WaitForAll(std::chrono::milliseconds(0)).empty());
}
