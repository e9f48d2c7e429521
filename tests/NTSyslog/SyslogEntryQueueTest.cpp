#include "NTSyslog/SyslogEntryQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Sockets.h"
#include "qorToolsLib/ReportLimiter.h"
#include "support/TestUtil.h"

namespace {

bool PushText(SyslogEntryQueue& queue, const std::string& text) {
    std::unique_ptr<SyslogEntry> entry = queue.Acquire();
    entry->m_strText = text;
    return queue.Push(std::move(entry));
}

}  // namespace

TEST(SyslogEntryQueue, FloodBeyondTheEntryLimitIsDroppedAndCounted) {
    SyslogEntryQueue queue(3, 1 << 20);
    for (int i = 0; i < 5; ++i) {
        PushText(queue, "m" + std::to_string(i));
    }
    EXPECT_EQ(queue.Size(), 3u);
    EXPECT_EQ(queue.DroppedCount(), 2u);
    // The oldest stay; the newest were refused.
    for (int i = 0; i < 3; ++i) {
        std::unique_ptr<SyslogEntry> entry = queue.Pop(0);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->m_strText, "m" + std::to_string(i));
    }
    EXPECT_FALSE(queue.Pop(0));
    // Room again once the engine has caught up.
    EXPECT_TRUE(PushText(queue, "later"));
}

TEST(SyslogEntryQueue, LargeDatagramsAreBoundedByBytesNotJustCount) {
    SyslogEntryQueue queue(100, 10000);
    EXPECT_TRUE(PushText(queue, std::string(6000, 'a')));
    EXPECT_FALSE(PushText(queue, std::string(6000, 'b')));
    EXPECT_TRUE(PushText(queue, std::string(4000, 'c')));
    EXPECT_EQ(queue.QueuedBytes(), 10000u);
    EXPECT_EQ(queue.DroppedCount(), 1u);
    queue.Clear();
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_EQ(queue.QueuedBytes(), 0u);
}

TEST(SyslogEntryQueue, WakeEndsAnUnlimitedWaitEmptyHanded) {
    SyslogEntryQueue queue;
    std::atomic<int> state{0};
    std::thread waiter([&] {
        state = queue.Pop(SyslogEntryQueue::kWaitForever) ? 2 : 1;
    });
    // Repeated, in case the first wake-up came before the wait began.
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        queue.Wake();
        return state != 0;
    }));
    waiter.join();
    EXPECT_EQ(state, 1);
}

// Only the push onto an empty queue signals; a waiter that waits without
// limit must still see every entry.
TEST(SyslogEntryQueue, WaiterWithoutTimeLimitMissesNoWakeUp) {
    SyslogEntryQueue queue(64, 1 << 20);
    constexpr int kCount = 20000;
    std::atomic<int> consumed{0};
    std::atomic<bool> inOrder{true};
    std::atomic<bool> giveUp{false};
    std::thread consumer([&] {
        while (consumed < kCount && !giveUp) {
            // Empty-handed after a signal whose entry was already taken.
            std::unique_ptr<SyslogEntry> entry = queue.Pop(SyslogEntryQueue::kWaitForever);
            if (!entry) {
                continue;
            }
            if (entry->m_strText != std::to_string(consumed.load())) {
                inOrder = false;
            }
            ++consumed;
            queue.Recycle(std::move(entry));
        }
    });
    const plat::Ipv4Endpoint sender;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; i < kCount && std::chrono::steady_clock::now() < deadline; ++i) {
        const std::string text = std::to_string(i);
        while (!queue.PushCopy(sender, text.data(), text.size()) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (i % 97 == 0) {
            std::this_thread::yield();
        }
    }
    const bool done = hwtest::WaitUntil([&] { return consumed == kCount; }, 60);
    // Frees a consumer stuck on a lost wake-up, so the test fails instead
    // of hanging.
    giveUp = true;
    queue.Wake();
    consumer.join();
    EXPECT_TRUE(done) << consumed << " of " << kCount;
    EXPECT_TRUE(inOrder);
}

TEST(ReportLimiter, RepeatedReportsWithinAMinuteAreHeldBack) {
    using namespace std::chrono;
    ReportLimiter limiter;
    const ReportLimiter::Clock::time_point start{hours(5)};
    EXPECT_TRUE(limiter.Allow(start));
    EXPECT_FALSE(limiter.Allow(start + seconds(1)));
    EXPECT_FALSE(limiter.Allow(start + seconds(59)));
    EXPECT_TRUE(limiter.Allow(start + seconds(60)));
    EXPECT_FALSE(limiter.Allow(start + seconds(100)));
    EXPECT_TRUE(limiter.Allow(start + seconds(121)));
}
