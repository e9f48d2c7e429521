#include "Common/BoundedQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
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

TEST(BoundedQueue, FullQueueRefusesOrDropsOldestAndLeftoversAreFreed) {
    int deletions = 0;
    {
        BoundedQueue<Item> refusing(kQueueRefuseWhenFull);
        refusing.SetCapacity(256);
        for (int i = 0; i < 256; ++i) {
            ASSERT_TRUE(refusing.Push(new Item(i, &deletions)));
        }
        Item extra(256);
        EXPECT_FALSE(refusing.Push(&extra)) << "the 257th item stays with the caller";
        EXPECT_EQ(refusing.DropCount(), 1u);
        refusing.SetCapacity(0);
        EXPECT_TRUE(refusing.Push(new Item(257, &deletions))) << "capacity 0 is unbounded";

        BoundedQueue<Item> dropping(kQueueDropOldest);
        dropping.SetCapacity(2);
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(dropping.Push(new Item(i, &deletions)));
        }
        EXPECT_EQ(deletions, 1);
        std::unique_ptr<Item> oldest(dropping.Pop(0));
        EXPECT_EQ(oldest->m_iValue, 1);
    }
    EXPECT_EQ(deletions, 1 + 257 + 2);
}

TEST(BoundedQueue, EmptyPopTimesOutEvenAfterStaleSignalAndConsumerGetsEveryItem) {
    BoundedQueue<Item> queue(kQueueRefuseWhenFull);
    EXPECT_EQ(queue.Pop(0), nullptr);
    // Two pushes leave a signal behind that no item backs any more.
    queue.Push(new Item(1));
    queue.Push(new Item(2));
    delete queue.Pop(0);
    delete queue.Pop(0);
    EXPECT_EQ(queue.Pop(1), nullptr);

    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&queue, p] {
            for (int i = 0; i < 500; ++i) {
                queue.Push(new Item(p * 500 + i));
            }
        });
    }
    std::set<int> seen;
    while (seen.size() < 2000) {
        std::unique_ptr<Item> item(queue.Pop(30));
        ASSERT_NE(item, nullptr) << "after " << seen.size() << " items";
        seen.insert(item->m_iValue);
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
}

// A consumer told to stop is not held for the rest of its wait: Wake
// ends a Pop waiting on the empty queue, or the next one to find it empty.
TEST(BoundedQueue, WakeEndsTheWaitOfAPopOnTheEmptyQueue) {
    BoundedQueue<Item> queue(kQueueRefuseWhenFull);
    std::atomic<bool> bWaiting{false};
    Item* pPopped = reinterpret_cast<Item*>(1);
    std::thread consumer([&] {
        bWaiting = true;
        pPopped = queue.Pop(BoundedQueue<Item>::kWaitForever);
    });
    while (!bWaiting) {
        std::this_thread::yield();
    }
    queue.Wake();
    consumer.join();
    EXPECT_EQ(nullptr, pPopped);

    queue.Wake();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nullptr, queue.Pop(30));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // An item that is there is taken all the same.
    queue.Push(new Item(7));
    queue.Wake();
    std::unique_ptr<Item> item(queue.Pop(30));
    ASSERT_NE(nullptr, item);
    EXPECT_EQ(7, item->m_iValue);
}
