#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/Event.h"
#include "support/TestUtil.h"

namespace {

struct Probe {
    std::atomic<bool> ran{false};
    std::atomic<bool> waiting{false};
    std::atomic<bool> mayLeave{false};
    std::atomic<bool> cleanedUp{false};
    plat::Event event{false, false};
};

uint32_t ReturnSeven(void* arg) {
    static_cast<Probe*>(arg)->ran = true;
    return 7;
}

struct CleanUp {
    Probe& probe;
    ~CleanUp() { probe.cleanedUp = true; }
};

uint32_t WaitOnEvent(void* arg) {
    auto* probe = static_cast<Probe*>(arg);
    CleanUp cleanUp{*probe};
    probe->ran = true;
    probe->waiting = true;
    probe->event.Wait(plat::kInfinite, true);
    return 1;
}

uint32_t SpinUntilAllowed(void* arg) {
    auto* probe = static_cast<Probe*>(arg);
    probe->ran = true;
    while (!probe->mayLeave) {
    }
    return 3;
}

}  // namespace

TEST(Thread, ParkedThreadRunsNothingUntilResumed) {
    Probe probe;
    plat::Thread thread;
    ASSERT_TRUE(thread.Create(ReturnSeven, &probe));
    EXPECT_NE(0u, thread.Id());
    EXPECT_EQ(plat::kStillActive, thread.ExitCode());
    EXPECT_EQ(plat::kWaitTimeout, thread.Join(0));
    EXPECT_FALSE(probe.ran.load());
    ASSERT_TRUE(thread.Resume());
    ASSERT_EQ(plat::kWaitSignalled, thread.Join(plat::kInfinite));
    EXPECT_TRUE(probe.ran.load());
    EXPECT_EQ(7u, thread.ExitCode());
}

TEST(Thread, CancelAtTheGateLeavesWithoutRunningTheRoutine) {
    Probe probe;
    plat::Thread thread;
    ASSERT_TRUE(thread.Create(ReturnSeven, &probe));
    ASSERT_TRUE(thread.Cancel());
    ASSERT_EQ(plat::kWaitSignalled, thread.Join(plat::kInfinite));
    EXPECT_EQ(plat::kExitCodeStopped, thread.ExitCode());
    EXPECT_FALSE(probe.ran.load());
}

TEST(Thread, ClosingAParkedThreadLetsItLeave) {
    Probe probe;
    {
        plat::Thread thread;
        ASSERT_TRUE(thread.Create(ReturnSeven, &probe));
    }
    EXPECT_FALSE(probe.ran.load());
}

TEST(Thread, CancelUnwindsACancellableWaitAndRunsDestructors) {
    Probe probe;
    plat::Thread thread;
    ASSERT_TRUE(thread.Create(WaitOnEvent, &probe));
    ASSERT_TRUE(thread.Resume());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return probe.waiting.load(); }));
    ASSERT_TRUE(thread.Cancel());
    ASSERT_EQ(plat::kWaitSignalled, thread.Join(plat::kInfinite));
    EXPECT_EQ(plat::kExitCodeStopped, thread.ExitCode());
    EXPECT_TRUE(probe.cleanedUp.load());
}

TEST(Thread, CancelOfABusyThreadWaitsForItsNextWaitPoint) {
    Probe probe;
    plat::Thread thread;
    ASSERT_TRUE(thread.Create(SpinUntilAllowed, &probe));
    ASSERT_TRUE(thread.Resume());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return probe.ran.load(); }));
    ASSERT_TRUE(thread.Cancel());
    EXPECT_EQ(plat::kStillActive, thread.ExitCode());  // not killed
    probe.mayLeave = true;
    ASSERT_EQ(plat::kWaitSignalled, thread.Join(plat::kInfinite));
    EXPECT_EQ(3u, thread.ExitCode());
}
