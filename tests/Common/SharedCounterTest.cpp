#include "Common/SharedCounter.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "FakeSensorCore.h"

TEST(SharedCounter, DecrementBelowZeroWrapsAndIsTraced) {
    ScopedTraces traces;
    SharedCounter counter(0);
    --counter;
    EXPECT_TRUE(counter == 4294967295u);
    EXPECT_TRUE(traces.Contains("Shared counter init to 0"));
    EXPECT_TRUE(traces.Contains("decremented to 4294967295"));
    counter += 6;
    EXPECT_TRUE(counter == 5u);
    counter += 3;
    EXPECT_TRUE(traces.Contains("imcremented (by 3) to 8"));
    counter -= 9;
    EXPECT_TRUE(traces.Contains("decremented (by 9) to 4294967295"));
}

TEST(SharedCounter, ShortConversionKeepsTheLow16Bits) {
    SharedCounter counter(65537);
    EXPECT_EQ(static_cast<short>(counter), 1);
    EXPECT_EQ(static_cast<long>(counter), 65537);
    EXPECT_TRUE(counter > 65536u);
    EXPECT_TRUE(counter >= 65537u);
    EXPECT_FALSE(counter < 65537u);
}

TEST(SharedCounter, ConcurrentChangesAreNotLost) {
    SharedCounter counter(0);
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
