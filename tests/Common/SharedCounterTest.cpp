#include "Common/SharedCounter.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(SharedCounter, ConcurrentChangesAreNotLostAndBelowZeroWraps) {
    SharedCounter counter(0);
    --counter;
    EXPECT_TRUE(counter == 4294967295u);
    ++counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                ++counter;
                counter += 2;
                --counter;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter.Value(), 80000u);
}
