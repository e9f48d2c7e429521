#include "Common/BoundedQueue.h"

#include <gtest/gtest.h>

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
