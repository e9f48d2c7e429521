// The queue of blocks that kept input lies in: records of any size come
// back whole and in order, including those put back at the front; the bound
// is memory, the spare included; blocks go as the queue empties.

#include "Common/BlockQueue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A record is its length in 4 bytes, then that many bytes of its number.
size_t RecordSize(uint32_t length) { return sizeof length + length; }

bool Append(BlockQueue& queue, uint32_t n, uint32_t length) {
    char* const pAt = queue.Append(RecordSize(length));
    if (pAt == nullptr) {
        return false;
    }
    std::memcpy(pAt, &length, sizeof length);
    std::memset(pAt + sizeof length, static_cast<int>(n & 0xFF), length);
    return true;
}

// Takes the oldest record and answers whether it is the n-th, `length` long.
bool TakeIs(BlockQueue& queue, uint32_t n, uint32_t length) {
    const char* const pAt = queue.Front();
    if (pAt == nullptr) {
        return false;
    }
    uint32_t kept = 0;
    std::memcpy(&kept, pAt, sizeof kept);
    const std::string expected(length, static_cast<char>(n & 0xFF));
    const bool bSame = kept == length && std::string(pAt + sizeof kept, kept) == expected;
    queue.PopFront(RecordSize(kept));
    return bSame;
}

}  // namespace

TEST(BlockQueueTest, RecordsComeBackWholeInOrderAcrossBlocksAndBlocksGoAsItEmpties) {
    BlockQueue queue(8 * 1024, 1024);
    const auto lengthOf = [](uint32_t n) { return 1 + (n * 53) % 1000; };
    for (int nRound = 0; nRound < 3; ++nRound) {
        uint32_t n = 1;
        while (Append(queue, n, lengthOf(n))) {
            ++n;
        }
        const uint32_t dwKept = n - 1;
        EXPECT_EQ(dwKept, queue.Count());
        EXPECT_EQ(queue.MaxBytes(), queue.BytesMade()) << "full: every block the bound allows is made";
        for (n = 1; n <= dwKept; ++n) {
            ASSERT_TRUE(TakeIs(queue, n, lengthOf(n))) << nRound << " " << n;
        }
        EXPECT_EQ(nullptr, queue.Front());
        EXPECT_EQ(1024u, queue.BytesInUse()) << "emptied, one block stays for what comes next";
        EXPECT_EQ(2048u, queue.BytesMade()) << "and one spare";
    }
    EXPECT_FALSE(Append(queue, 1, 1024)) << "a record larger than a block is never taken";
    EXPECT_EQ(0u, queue.Clear());
    EXPECT_EQ(0u, queue.BytesMade());
}

TEST(BlockQueueTest, RecordsPutBackAtTheFrontLeadAgainInTheirOrderWithinTheBound) {
    BlockQueue queue(2 * 256, 256);
    for (uint32_t n = 3; n <= 6; ++n) {
        ASSERT_TRUE(Append(queue, n, 40));
    }
    // Put back last first: 2 in front of 3, then 1 in front of 2.
    for (uint32_t n = 2; n >= 1; --n) {
        char* const pAt = queue.Prepend(RecordSize(40));
        ASSERT_NE(nullptr, pAt) << n;
        const uint32_t length = 40;
        std::memcpy(pAt, &length, sizeof length);
        std::memset(pAt + sizeof length, static_cast<int>(n), length);
    }
    EXPECT_EQ(6u, queue.Count());
    // Both blocks are made: nothing more fits before or after.
    while (Append(queue, 7, 40)) {
    }
    EXPECT_EQ(nullptr, queue.Prepend(RecordSize(250)));
    for (uint32_t n = 1; n <= 6; ++n) {
        ASSERT_TRUE(TakeIs(queue, n, 40)) << n;
    }
    // Put back into an empty queue, a record is its only one.
    while (queue.Front() != nullptr) {
        queue.PopFront(RecordSize(40));
    }
    char* const pAt = queue.Prepend(RecordSize(10));
    ASSERT_NE(nullptr, pAt);
    const uint32_t length = 10;
    std::memcpy(pAt, &length, sizeof length);
    std::memset(pAt + sizeof length, 9, length);
    EXPECT_TRUE(TakeIs(queue, 9, 10));
    EXPECT_TRUE(queue.Empty());
}

// What the queue held at its fullest is kept when it empties and when it is
// cleared, and never passes the bound: it is what a test of flat memory reads.
TEST(BlockQueueTest, MostBytesMadeKeepsTheFullestTheQueueWasWithinItsBound) {
    BlockQueue queue(4 * 256, 256);
    EXPECT_EQ(0u, queue.MostBytesMade());
    // Three blocks' worth: 3 records of 200 bytes each begin a block.
    for (uint32_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(Append(queue, n, 200));
    }
    EXPECT_EQ(3u * 256, queue.BytesMade());
    EXPECT_EQ(3u * 256, queue.MostBytesMade());
    for (uint32_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(TakeIs(queue, n, 200));
    }
    EXPECT_EQ(2u * 256, queue.BytesMade()) << "one block in use, one spare";
    EXPECT_EQ(3u * 256, queue.MostBytesMade()) << "emptied, the fullest stays";
    // A steady stream reuses the block and the spare: the mark stays.
    for (uint32_t n = 1; n <= 50; ++n) {
        ASSERT_TRUE(Append(queue, n, 200));
        ASSERT_TRUE(TakeIs(queue, n, 200));
    }
    EXPECT_EQ(3u * 256, queue.MostBytesMade());
    // A flood fills the bound and no further.
    uint32_t n = 1;
    while (Append(queue, n, 100)) {
        ++n;
    }
    EXPECT_EQ(queue.MaxBytes(), queue.MostBytesMade());
    EXPECT_FALSE(Append(queue, n, 100));
    EXPECT_EQ(queue.MaxBytes(), queue.MostBytesMade());
    queue.Clear();
    EXPECT_EQ(0u, queue.BytesMade());
    EXPECT_EQ(queue.MaxBytes(), queue.MostBytesMade()) << "cleared, the fullest stays";
}
