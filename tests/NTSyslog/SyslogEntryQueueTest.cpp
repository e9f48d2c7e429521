#include "NTSyslog/SyslogEntryQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Sockets.h"
#include "qorToolsLib/ReportLimiter.h"
#include "support/TestUtil.h"

TEST(SyslogEntryQueue, DatagramsBeyondTheEntryOrByteLimitAreDroppedAndCounted) {
    const plat::Ipv4Endpoint sender;
    auto push = [&](SyslogEntryQueue& queue, const std::string& text) {
        return queue.PushCopy(sender, text.data(), text.size());
    };
    SyslogEntryQueue byCount(3, 1 << 20);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(push(byCount, "m" + std::to_string(i)), i < 3);
    }
    EXPECT_EQ(byCount.DroppedCount(), 2u);
    // The oldest stay; there is room again once one is taken.
    std::unique_ptr<SyslogEntry> entry = byCount.Pop(0);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->m_strText, "m0");
    EXPECT_TRUE(push(byCount, "later"));

    SyslogEntryQueue byBytes(100, 10000);
    EXPECT_TRUE(push(byBytes, std::string(6000, 'a')));
    EXPECT_FALSE(push(byBytes, std::string(6000, 'b')));
    EXPECT_TRUE(push(byBytes, std::string(4000, 'c')));
    EXPECT_EQ(byBytes.QueuedBytes(), 10000u);
    EXPECT_EQ(byBytes.DroppedCount(), 1u);
    EXPECT_EQ(byBytes.Clear(), 2u);
    EXPECT_EQ(byBytes.QueuedBytes(), 0u);
}

// Only the push onto an empty queue signals; a waiter that waits without
// limit must still see every entry, in order.
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
            if (entry) {
                inOrder = inOrder && entry->m_strText == std::to_string(consumed.load());
                ++consumed;
                queue.Recycle(std::move(entry));
            }
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
    const std::pair<seconds, bool> kReports[] = {{seconds(0), true},    {seconds(1), false},
                                                 {seconds(59), false},  {seconds(60), true},
                                                 {seconds(100), false}, {seconds(121), true}};
    for (const auto& [after, allowed] : kReports) {
        EXPECT_EQ(limiter.Allow(start + after), allowed) << after.count();
    }
}

// Entries taken a batch at a time come oldest first; those put back go in
// front again in their order, and what no longer fits is counted.
TEST(SyslogEntryQueue, BatchComesOldestFirstAndWhatIsPutBackLeadsAgain) {
    const plat::Ipv4Endpoint sender;
    SyslogEntryQueue queue(4, 1 << 20);
    for (const char* text : {"a", "b", "c"}) {
        ASSERT_TRUE(queue.PushCopy(sender, text, 1));
    }
    std::vector<std::unique_ptr<SyslogEntry>> batch;
    EXPECT_FALSE(queue.PopSome(0, 2, batch)) << "one is left";
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0]->m_strText + batch[1]->m_strText, "ab");
    ASSERT_TRUE(queue.PushCopy(sender, "d", 1));
    ASSERT_TRUE(queue.PushCopy(sender, "e", 1));
    // "a" was parsed; "b" goes back in front, where one place is left.
    EXPECT_EQ(queue.Unpop(batch, 1), 0u);
    EXPECT_EQ(batch.size(), 1u);
    queue.RecycleAll(batch);
    EXPECT_TRUE(batch.empty());
    EXPECT_TRUE(queue.PopSome(0, 10, batch));
    std::string order;
    for (const auto& entry : batch) {
        order += entry->m_strText;
    }
    EXPECT_EQ(order, "bcde");
    // A full queue has no room for what comes back.
    for (const char* text : {"f", "g", "h", "i"}) {
        ASSERT_TRUE(queue.PushCopy(sender, text, 1));
    }
    EXPECT_EQ(queue.Unpop(batch, 2), 2u);
    EXPECT_EQ(queue.Size(), 4u);
}
