#include "qorToolsLib/jsEvent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/TestUtil.h"

TEST(jsEvent, ManualResetStaysSignalledUntilReset) {
    EXPECT_EQ(0u, qorSyncEvent(false, false).Wait(0));  // the first flag means non-signalled
    jsEvent event(true, true);
    EXPECT_EQ(1u, event.Wait(0));
    event.Set();
    EXPECT_EQ(0u, event.Wait(0));
    EXPECT_EQ(0u, event.Wait(0));
    EXPECT_EQ(1, event.Reset());
    EXPECT_EQ(1u, event.Wait(0));
}

TEST(jsEvent, AutoResetLetsOneWaiterThroughPerSet) {
    jsEvent event(true, false);
    std::atomic<int> through{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(plat::kInfinite) == 0)
                ++through;
        });
    }
    for (int expected = 1; expected <= 3; ++expected) {
        ASSERT_EQ(1, event.Set());
        ASSERT_TRUE(hwtest::WaitUntil([&] { return through.load() == expected; }));
    }
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(1u, event.Wait(0));  // every signal was taken
}

TEST(jsEvent, SetFromAnotherThreadEndsATimedWait) {
    jsEvent event(true, false);
    std::thread setter([&] { event.Set(); });
    // The limit only bounds a broken implementation; the Set ends the wait.
    EXPECT_EQ(0u, event.Wait(60000));
    setter.join();
}
