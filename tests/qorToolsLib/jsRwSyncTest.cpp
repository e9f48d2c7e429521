#include "qorToolsLib/jsRwSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "support/TestUtil.h"

namespace {

constexpr uint32_t kShared = jsRwSync::kShared;
constexpr uint32_t kExclusive = jsRwSync::kExclusive;

// A try from another thread; it leaves at once when it got in.
uint32_t OtherThreadTry(jsRwSync& lock, uint32_t mode) {
    return std::async(std::launch::async, [&] { return lock.Probe(mode); }).get();
}

uint32_t OtherThreadTryRead(jsRwSync& lock) {
    return OtherThreadTry(lock, kShared);
}

// A writer on its own thread that holds the lock until told to leave.
class Writer {
public:
    explicit Writer(jsRwSync& lock)
        : m_thread([this, &lock] {
              ASSERT_EQ(0u, lock.Lock(kExclusive));
              m_in = true;
              while (!m_mayLeave)
                  std::this_thread::yield();
              lock.Unlock(kExclusive);
          }) {}
    ~Writer() { Leave(); }

    bool In() const { return m_in; }
    void Leave() {
        m_mayLeave = true;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::atomic<bool> m_in{false};
    std::atomic<bool> m_mayLeave{false};
    std::thread m_thread;
};

}  // namespace

TEST(jsRwSync, WriterWaitsForTheReaderInsideAndQueuesLaterReaders) {
    jsRwSync lock(1, "GlobalAdapterListRwSync");
    ASSERT_TRUE(lock.IsValid());
    ASSERT_EQ(0u, lock.Lock(kShared));

    Writer writer(lock);
    // Once the writer holds the entry mutex, readers are turned away.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return OtherThreadTryRead(lock) == 1; }));
    EXPECT_FALSE(writer.In());

    lock.Unlock(kShared);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return writer.In(); }));

    std::atomic<bool> laterReaderIn{false};
    std::thread laterReader([&] {
        ASSERT_EQ(0u, lock.Lock(kShared));
        laterReaderIn = true;
        lock.Unlock(kShared);
    });
    EXPECT_FALSE(laterReaderIn.load());
    writer.Leave();
    laterReader.join();
    EXPECT_TRUE(laterReaderIn.load());
}

TEST(jsRwSync, ReadersShareTheLockAndAWriterGetsInOnceTheyLeave) {
    jsRwSync lock(1, "readers", true, kShared);
    ASSERT_TRUE(lock.IsValid());
    EXPECT_EQ(0u, OtherThreadTryRead(lock));
    EXPECT_EQ(0u, lock.TryLock(kShared));
    lock.Unlock(kShared);
    lock.Unlock(kShared);
    EXPECT_EQ(0u, lock.TryLock(kExclusive));
    EXPECT_EQ(1u, OtherThreadTryRead(lock));
    lock.Unlock(kExclusive);
    EXPECT_EQ(0u, OtherThreadTryRead(lock));
}

TEST(jsRwSync, FailedTriesAndUnbalancedReleasesLeaveNothingHeld) {
    jsRwSync lock(1, "try");
    {
        Writer writer(lock);
        ASSERT_TRUE(hwtest::WaitUntil([&] { return writer.In(); }));
        EXPECT_EQ(1u, lock.TryLock(kShared));
        EXPECT_EQ(1u, lock.TryLock(kExclusive));
    }
    // Had the failed tries kept a mutex or a reader count, this would fail.
    EXPECT_EQ(0u, OtherThreadTry(lock, kExclusive));
    lock.Unlock(kShared);
    lock.Unlock(0);  // mode 0 holds nothing and releases nothing
    EXPECT_EQ(0u, OtherThreadTry(lock, kExclusive));
}
