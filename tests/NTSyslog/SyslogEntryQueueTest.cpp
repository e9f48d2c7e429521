#include "NTSyslog/SyslogEntryQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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

TEST(SyslogEntryQueue, ParsedEntriesAreReusedInsteadOfAllocatedAgain) {
    SyslogEntryQueue queue;
    ASSERT_TRUE(PushText(queue, "one"));
    std::unique_ptr<SyslogEntry> entry = queue.Pop(0);
    SyslogEntry* first = entry.get();
    queue.Recycle(std::move(entry));
    std::unique_ptr<SyslogEntry> again = queue.Acquire();
    EXPECT_EQ(again.get(), first);
    EXPECT_TRUE(again->m_strText.empty());
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

TEST(SyslogEntryQueue, WaitingEngineGetsEntriesPushedFromAnotherThread) {
    SyslogEntryQueue queue(64, 1 << 20);
    constexpr int kCount = 10000;
    std::thread producer([&] {
        for (int i = 0; i < kCount; ++i) {
            while (!PushText(queue, std::to_string(i))) {
                std::this_thread::yield();
            }
        }
    });
    int next = 0;
    bool inOrder = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (next < kCount && std::chrono::steady_clock::now() < deadline) {
        std::unique_ptr<SyslogEntry> entry = queue.Pop(1);
        if (entry) {
            inOrder = inOrder && entry->m_strText == std::to_string(next);
            ++next;
            queue.Recycle(std::move(entry));
        }
    }
    producer.join();
    EXPECT_EQ(next, kCount);
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
