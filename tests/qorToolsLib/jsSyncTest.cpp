#include "qorToolsLib/jsSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/Thread.h"
#include "qorToolsLib/jsFastLock.h"
#include "support/TestUtil.h"

namespace {

// TryLock from another thread, releasing at once when it succeeded.
bool OtherThreadCanTake(jsRecursiveSync& sync) {
    return std::async(std::launch::async,
                      [&] {
                          bool taken = sync.TryLock();
                          if (taken)
                              sync.Unlock();
                          return taken;
                      })
        .get();
}

uint32_t OtherThreadTryLock(jsMutexSync& mutex) {
    return std::async(std::launch::async,
                      [&] {
                          uint32_t status = mutex.TryLock();
                          if (status == 0)
                              mutex.Unlock();
                          return status;
                      })
        .get();
}

}  // namespace

TEST(jsSync, CriticalSectionsCarryTheirKindAndMayBeReentered) {
    qorFastSync fast;
    qorRecursiveSync recursive;
    EXPECT_TRUE(fast.IsValid());
    EXPECT_EQ(jsSync::kCriticalSectionKind, fast.Kind());
    EXPECT_EQ(jsSync::kCriticalSectionKind, recursive.Kind());
    fast.Lock();
    fast.Lock();
    fast.Unlock();
    fast.Unlock();
    ASSERT_TRUE(recursive.TryLock());
    ASSERT_TRUE(recursive.TryLock());
    recursive.Unlock();
    EXPECT_FALSE(OtherThreadCanTake(recursive));
    recursive.Unlock();
    EXPECT_TRUE(OtherThreadCanTake(recursive));
}

TEST(jsSync, LockNowHoldsTheSectionFromConstruction) {
    jsRecursiveSync recursive(true);
    EXPECT_FALSE(OtherThreadCanTake(recursive));
    recursive.Unlock();
    EXPECT_TRUE(OtherThreadCanTake(recursive));
}

TEST(jsSyncLock, EarlyUnlockIsNotRepeatedByTheDestructor) {
    qorRecursiveSync sync;
    sync.Lock();  // an outer hold that must survive the guard
    {
        qorSyncLock guard(sync, true);
        guard.Unlock();
    }
    EXPECT_FALSE(OtherThreadCanTake(sync));
    sync.Unlock();
    EXPECT_TRUE(OtherThreadCanTake(sync));
}

TEST(jsSyncLock, GuardWithoutLockNowReleasesNothing) {
    qorRecursiveSync sync;
    sync.Lock();
    { qorSyncLock guard(&sync, false); }
    EXPECT_FALSE(OtherThreadCanTake(sync));
    sync.Unlock();
}

TEST(jsSyncLock, GuardTakenTwiceReleasesBothHolds) {
    qorRecursiveSync sync;
    {
        qorSyncLock guard(sync, true);
        guard.Lock();
        EXPECT_FALSE(OtherThreadCanTake(sync));
    }
    EXPECT_TRUE(OtherThreadCanTake(sync));
}

TEST(jsFastLock, GuardReleasedEarlyCanTakeTheLockAgain) {
    qorFastSync sync;
    std::atomic<bool> otherHeld{false};
    std::atomic<bool> otherMayLeave{false};
    {
        qorFastLock guard(sync, true);
        guard.Unlock();
        std::thread other([&] {
            qorFastLock inner(sync, true);
            otherHeld = true;
            while (!otherMayLeave)
                std::this_thread::yield();
        });
        ASSERT_TRUE(hwtest::WaitUntil([&] { return otherHeld.load(); }));
        otherMayLeave = true;
        other.join();
        guard.Lock();  // the other thread has let go, so this returns
    }
    // The destructor released the second hold: another thread gets in.
    std::thread again([&] { qorFastLock inner(sync, true); });
    again.join();
}

TEST(jsMutexSync, HeldByAnotherThreadTryLockGivesTimeout) {
    jsMutexSync mutex(1, "test");
    ASSERT_EQ(0u, mutex.Lock());
    EXPECT_EQ(plat::Thread::CurrentId(), mutex.OwnerThreadId());
    EXPECT_EQ(1u, OtherThreadTryLock(mutex));
    mutex.Unlock();
    EXPECT_EQ(0u, OtherThreadTryLock(mutex));
}

TEST(jsMutexSync, MutexAbandonedByAnEndedThreadIsReportedOnce) {
    jsMutexSync mutex(1, "test");
    std::thread([&] { ASSERT_EQ(0u, mutex.Lock()); }).join();
    EXPECT_EQ(2u, mutex.Lock());  // ours now, but the last holder never let go
    mutex.Unlock();
    EXPECT_EQ(0u, OtherThreadTryLock(mutex));
}

TEST(jsMutexSync, LockNowMakesTheMutexHeldAndValid) {
    jsMutexSync mutex(1, "test", true);
    EXPECT_TRUE(mutex.IsValid());
    EXPECT_EQ(1u, OtherThreadTryLock(mutex));
    mutex.Unlock();
}
