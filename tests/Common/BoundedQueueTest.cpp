#include "Common/BoundedQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Item {
    explicit Item(int value, int* deletions = nullptr) : m_iValue(value), m_pDeletions(deletions) {}
    virtual ~Item() {
        if (m_pDeletions != nullptr) {
            ++*m_pDeletions;
        }
    }
    int m_iValue;
    int* m_pDeletions;
};

}  // namespace

TEST(BoundedQueue, PushBeyondCapacityIsRefusedAndItemStaysWithCaller) {
    BoundedQueue<Item> queue(kQueueRefuseWhenFull);
    queue.SetCapacity(256);
    for (int i = 0; i < 256; ++i) {
        ASSERT_TRUE(queue.Push(new Item(i)));
    }
    int deletions = 0;
    auto extra = std::make_unique<Item>(256, &deletions);
    EXPECT_FALSE(queue.Push(extra.get()));
    EXPECT_EQ(deletions, 0);
    EXPECT_EQ(queue.DropCount(), 1u);
    EXPECT_FALSE(queue.Push(nullptr));
    for (int i = 0; i < 256; ++i) {
        std::unique_ptr<Item> item(queue.Pop(0));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->m_iValue, i);
    }
}

TEST(BoundedQueue, FullDropOldestQueueDeletesOldestAndLeftoversAreFreed) {
    int deletions = 0;
    {
        BoundedQueue<Item> queue(kQueueDropOldest);
        queue.SetCapacity(2);
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(queue.Push(new Item(i, &deletions)));
        }
        EXPECT_EQ(deletions, 1);
        std::unique_ptr<Item> first(queue.Pop(0));
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first->m_iValue, 1);
    }
    EXPECT_EQ(deletions, 3);
}

TEST(BoundedQueue, UnboundedQueueNeverRefuses) {
    BoundedQueue<Item> queue(kQueueRefuseWhenFull);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_TRUE(queue.Push(new Item(i)));
    }
    EXPECT_EQ(queue.Size(), 5000u);
}

TEST(BoundedQueue, EmptyPopTimesOutWithoutItemEvenAfterStaleSignal) {
    BoundedQueue<Item> queue(kQueueRefuseWhenFull);
    EXPECT_EQ(queue.Pop(0), nullptr);
    // Two pushes leave a signal behind that no item backs any more.
    queue.Push(new Item(1));
    queue.Push(new Item(2));
    delete queue.Pop(0);
    delete queue.Pop(0);
    EXPECT_EQ(queue.Pop(1), nullptr);
}

TEST(BoundedQueue, WaitingConsumerReceivesEveryItemFromManyProducers) {
    BoundedQueue<Item> queue(kQueueRefuseWhenFull);
    constexpr int kProducers = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, p] {
            for (int i = 0; i < kEach; ++i) {
                queue.Push(new Item(p * kEach + i));
            }
        });
    }
    std::vector<bool> seen(kProducers * kEach, false);
    for (int received = 0; received < kProducers * kEach; ++received) {
        std::unique_ptr<Item> item(queue.Pop(30));
        ASSERT_NE(item, nullptr) << "after " << received << " items";
        seen[static_cast<size_t>(item->m_iValue)] = true;
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0);
}
