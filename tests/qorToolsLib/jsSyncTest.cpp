#include "qorToolsLib/jsSync.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/Thread.h"
#include "qorToolsLib/jsFastLock.h"

namespace {

// Tries from another thread, releasing at once what it got.
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

uint32_t OtherThreadTry(jsMutexSync& mutex) {
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

TEST(jsSync, SectionIsHeldUntilEveryHoldIsReleased) {
    qorRecursiveSync recursive;
    ASSERT_TRUE(recursive.TryLock());
    ASSERT_TRUE(recursive.TryLock());
    recursive.Unlock();
    EXPECT_FALSE(OtherThreadCanTake(recursive));
    recursive.Unlock();
    EXPECT_TRUE(OtherThreadCanTake(recursive));

    jsRecursiveSync lockedNow(true);
    EXPECT_FALSE(OtherThreadCanTake(lockedNow));
    lockedNow.Unlock();
    EXPECT_TRUE(OtherThreadCanTake(lockedNow));
}

TEST(jsSyncLock, GuardReleasesExactlyTheHoldsItTook) {
    qorRecursiveSync sync;
    sync.Lock();  // an outer hold that must survive the guards
    {
        qorSyncLock guard(sync, true);
        guard.Unlock();  // not repeated by the destructor
    }
    { qorSyncLock untaken(&sync, false); }
    EXPECT_FALSE(OtherThreadCanTake(sync));
    sync.Unlock();
    {
        qorSyncLock guard(sync, true);
        guard.Lock();
        EXPECT_FALSE(OtherThreadCanTake(sync));
    }
    EXPECT_TRUE(OtherThreadCanTake(sync));
}

TEST(jsFastLock, GuardReleasedEarlyLetsOthersInAndReleasesItsSecondHold) {
    qorFastSync sync;
    {
        qorFastLock guard(sync, true);
        guard.Unlock();
        std::thread([&] { qorFastLock inner(sync, true); }).join();
        guard.Lock();
        qorFastLock nested(sync, true);  // the owner may enter again
    }
    std::thread([&] { qorFastLock inner(sync, true); }).join();
}

TEST(jsMutexSync, HeldMutexTimesOthersOutAndAnAbandonedOneIsReportedOnce) {
    jsMutexSync mutex(1, "test", true);
    ASSERT_TRUE(mutex.IsValid());
    EXPECT_EQ(plat::Thread::CurrentId(), mutex.OwnerThreadId());
    EXPECT_EQ(1u, OtherThreadTry(mutex));
    mutex.Unlock();
    EXPECT_EQ(0u, OtherThreadTry(mutex));

    std::thread([&] { ASSERT_EQ(0u, mutex.Lock()); }).join();
    EXPECT_EQ(2u, mutex.Lock());  // ours now, but the last holder never let go
    mutex.Unlock();
    EXPECT_EQ(0u, OtherThreadTry(mutex));
}
