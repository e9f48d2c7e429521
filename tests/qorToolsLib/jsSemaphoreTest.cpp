#include "qorToolsLib/jsSemaphore.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <thread>

#include "NamedObjectPeer.h"
#include "platform/LastError.h"
#include "platform/NamedObject.h"
#include "support/TestUtil.h"

namespace {

bool NameExists(const std::string& name) {
    return access(("/dev/shm" + plat::SharedObjectPath(name)).c_str(), F_OK) == 0;
}

}  // namespace

TEST(jsNamedSemaphore, SemaphoreThatCannotBeMadeIsInvalidAndItsWaitsFail) {
    jsNamedSemaphore semaphore(std::string(300, 'x').c_str(), 1, 256);
    EXPECT_FALSE(semaphore.IsValid());
    EXPECT_EQ(2u, semaphore.Acquire(plat::kInfinite));
    EXPECT_EQ(2u, semaphore.TryAcquire());
    EXPECT_EQ(0, semaphore.Release(1));
}

TEST(jsNamedSemaphore, OneNameIsOneSemaphoreWithinTheProcess) {
    std::string name = hwtest::UniqueObjectName("same");
    SEMAPHORE first(name.c_str());
    SEMAPHORE second(name.c_str());
    EXPECT_EQ(plat::kErrAlreadyExists, plat::GetLastError());
    ASSERT_EQ(0u, first.Acquire(plat::kInfinite));
    EXPECT_EQ(1u, second.TryAcquire());
    EXPECT_NE(0, first.Release(1));
    EXPECT_EQ(0u, second.TryAcquire());
}

TEST(jsNamedSemaphore, NamedSemaphoreExcludesAnotherProcess) {
    std::string name = hwtest::UniqueObjectName("exclude");
    SEMAPHORE semaphore(name.c_str());
    ASSERT_TRUE(semaphore.IsValid());
    ASSERT_EQ(0u, semaphore.Acquire(plat::kInfinite));
    EXPECT_EQ(1, hwtest::RunPeer({"semaphore-try", name}));
    semaphore.Release(1);
    EXPECT_EQ(0, hwtest::RunPeer({"semaphore-try", name}));
}

TEST(jsNamedSemaphore, UnitHeldByACrashedProcessComesBack) {
    std::string name = hwtest::UniqueObjectName("crashed-holder");
    SEMAPHORE semaphore(name.c_str());
    hwtest::ScratchDirectory scratch;
    std::string output = scratch.File("peer.out");
    hwtest::ChildProcess peer;
    ASSERT_TRUE(hwtest::StartPeer(peer, {"semaphore-hold-then-crash", name}, output, true));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(output) == "held\n"; }));
    EXPECT_EQ(1u, semaphore.TryAcquire());

    peer.CloseStdin();
    int exitCode = 0;
    ASSERT_TRUE(peer.Wait(60, exitCode));
    EXPECT_EQ(128 + SIGKILL, exitCode);
    EXPECT_EQ(0u, semaphore.TryAcquire());
}

TEST(jsNamedSemaphore, StaleSemaphoreOfACrashedProcessIsLaidOutAfresh) {
    std::string name = hwtest::UniqueObjectName("stale");
    ASSERT_EQ(128 + SIGKILL, hwtest::RunPeer({"semaphore-drain-and-crash", name, "2", "5"}));
    ASSERT_TRUE(NameExists(name));
    {
        // Giving back the crashed process's two units would leave 2 here.
        jsNamedSemaphore semaphore(name.c_str(), 4, 5);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(0u, semaphore.TryAcquire()) << i;
        }
        EXPECT_EQ(1u, semaphore.TryAcquire());
    }
    EXPECT_FALSE(NameExists(name));  // the last user removed it
}

TEST(jsSemaphore, ReleaseWakesAWaiterButNeverPassesTheMaximum) {
    jsSemaphore semaphore(0, 1);
    ASSERT_TRUE(semaphore.IsValid());
    EXPECT_EQ(1u, semaphore.TryAcquire());
    std::thread releaser([&] { semaphore.Release(1); });
    EXPECT_EQ(0u, semaphore.Acquire(plat::kInfinite));
    releaser.join();
    EXPECT_NE(0, semaphore.Release(1));
    EXPECT_EQ(0, semaphore.Release(1));
    EXPECT_EQ(plat::kErrTooManyPosts, plat::GetLastError());
    EXPECT_EQ(0, semaphore.Release(0));
    EXPECT_FALSE(jsSemaphore(3, 2).IsValid());
}
