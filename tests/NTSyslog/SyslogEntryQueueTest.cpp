#include "NTSyslog/SyslogEntryQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Sockets.h"
#include "qorToolsLib/ReportLimiter.h"
#include "support/TestUtil.h"

// The queue holds datagrams in blocks, made as it grows up to its bound; a
// datagram that finds no room in the last block and no block left to make
// is dropped and counted, and so is one longer than a block.
TEST(SyslogEntryQueue, DatagramsBeyondTheBlocksOfItsBoundAreDroppedAndCounted) {
    const plat::Ipv4Endpoint sender;
    auto push = [&](SyslogEntryQueue& queue, const std::string& text) {
        return queue.PushCopy(sender, text.data(), text.size());
    };
    // Two blocks, each with room for two datagrams of 30 bytes.
    constexpr size_t kBlock = 2 * (SyslogEntryQueue::kEntryOverhead + 30) + 8;
    SyslogEntryQueue queue(2 * kBlock, kBlock);
    EXPECT_EQ(queue.HeldBytes(), 0u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(push(queue, std::string(29, 'm') + std::to_string(i)), i < 4) << i;
    }
    EXPECT_EQ(queue.DroppedCount(), 1u);
    EXPECT_EQ(queue.HeldBytes(), 2 * kBlock);
    EXPECT_EQ(queue.QueuedBytes(), 4 * 30u);
    EXPECT_FALSE(push(queue, std::string(kBlock, 'x')));
    // The oldest stay; there is room again once a block is taken whole.
    std::unique_ptr<SyslogEntry> entry = queue.Pop(0);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->m_strText, std::string(29, 'm') + "0");
    EXPECT_FALSE(push(queue, "later"));
    EXPECT_TRUE(queue.Pop(0));
    EXPECT_TRUE(push(queue, "later"));
    EXPECT_EQ(queue.DroppedCount(), 3u);
    EXPECT_EQ(queue.Clear(), 3u);
    EXPECT_EQ(queue.QueuedBytes(), 0u);
    EXPECT_EQ(queue.HeldBytes(), 0u);
}

// What a reload keeps from the rules waits here, so the bound is memory,
// not a count: a hundred thousand datagrams of a hundred bytes (a second
// of a busy sender) all fit, and the queue takes datagrams until its
// blocks hold nearly all of its 64 MiB, never more.
TEST(SyslogEntryQueue, HoldsWhatItsMemoryBoundTakesNotACountOfDatagrams) {
    const plat::Ipv4Endpoint sender;
    SyslogEntryQueue queue;
    const std::string text(100, 'd');
    for (int i = 0; i < 100000; ++i) {
        ASSERT_TRUE(queue.PushCopy(sender, text.data(), text.size())) << i;
    }
    size_t nTaken = 100000;
    while (queue.PushCopy(sender, text.data(), text.size())) {
        ++nTaken;
    }
    const size_t nEach = SyslogEntryQueue::kEntryOverhead + text.size();
    EXPECT_GE(nTaken * nEach, SyslogEntryQueue::kDefaultMaxBytes - SyslogEntryQueue::kBlockBytes);
    EXPECT_EQ(queue.HeldBytes(), SyslogEntryQueue::kDefaultMaxBytes);
    EXPECT_EQ(queue.Size(), nTaken);
    EXPECT_EQ(queue.DroppedCount(), 1u);
}

// Only the push onto an empty queue signals; a waiter that waits without
// limit must still see every entry, in order.
TEST(SyslogEntryQueue, WaiterWithoutTimeLimitMissesNoWakeUp) {
    // Room for 64 entries, one a block.
    SyslogEntryQueue queue(64 * 32, 32);
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
    // Room for 4 entries, one a block.
    constexpr size_t kBlock = SyslogEntryQueue::kEntryOverhead + 1;
    SyslogEntryQueue queue(4 * kBlock, kBlock);
    for (const char* text : {"a", "b", "c"}) {
        ASSERT_TRUE(queue.PushCopy(sender, text, 1));
    }
    SyslogBatch batch;
    EXPECT_FALSE(queue.PopSome(0, 2, batch)) << "one is left";
    ASSERT_EQ(batch.m_nCount, 2u);
    EXPECT_EQ(batch.m_Entries[0].m_strText + batch.m_Entries[1].m_strText, "ab");
    ASSERT_TRUE(queue.PushCopy(sender, "d", 1));
    ASSERT_TRUE(queue.PushCopy(sender, "e", 1));
    // "a" was parsed; "b" goes back in front, where one place is left.
    EXPECT_EQ(queue.Unpop(batch, 1), 0u);
    EXPECT_EQ(batch.m_nCount, 1u);
    EXPECT_TRUE(queue.PopSome(0, 10, batch));
    std::string order;
    for (size_t i = 0; i < batch.m_nCount; ++i) {
        order += batch.m_Entries[i].m_strText;
    }
    EXPECT_EQ(order, "bcde");
    // A full queue has no room for what comes back.
    for (const char* text : {"f", "g", "h", "i"}) {
        ASSERT_TRUE(queue.PushCopy(sender, text, 1));
    }
    EXPECT_EQ(queue.Unpop(batch, 2), 2u);
    EXPECT_EQ(queue.Size(), 4u);
}
