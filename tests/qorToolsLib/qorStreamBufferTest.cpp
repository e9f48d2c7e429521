#include "qorToolsLib/qorStreamBuffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qorToolsLib/HostByteBuffer.h"
#include "qorToolsLib/QORError.h"
#include "qorToolsLib/qorStreamBufferOwner.h"

namespace {

std::string Contents(const qorStreamBufferOwner& owner) {
    const uint8_t* data = owner.GetData();
    return data == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(data), owner.GetLength());
}

const uint8_t* AsBytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

}  // namespace

TEST(qorStreamBuffer, GrowthIsTheLargerOfIncrementAndHalfTheCapacity) {
    auto* allocation = static_cast<uint8_t*>(std::malloc(1000));
    std::memset(allocation, 'x', 1000);
    qorStreamBufferOwner owner(true, 750);
    ASSERT_EQ(QOR_S_OK, owner.AdoptReadBuffer(&allocation, 0, 990, 1000));
    EXPECT_EQ(nullptr, allocation);
    EXPECT_EQ(10u, owner.GetFree());

    std::vector<uint8_t> more(20, 'y');
    ASSERT_EQ(QOR_S_OK, owner.Write(more.data(), 20));
    EXPECT_EQ(1000u + 1500u, owner.GetCapacity());
    EXPECT_EQ(1010u, owner.GetLength());
    // Bytes grown but not yet written read as the fill value.
    EXPECT_EQ(0xFE, owner.GetData()[1010]);
    EXPECT_EQ('y', owner.GetData()[1009]);
}

TEST(qorStreamBuffer, SharedBufferIsCopiedForTheOwnerThatLocksIt) {
    qorStreamBufferOwner writer(true);
    ASSERT_EQ(QOR_S_OK, writer.Write(AsBytes("abcdef"), 6));
    qorStreamBufferOwner first(writer);
    qorStreamBufferOwner second(writer);

    const uint8_t* at = nullptr;
    ASSERT_EQ(QOR_S_OK, first.Read(&at, 4, true));
    EXPECT_EQ(0, std::memcmp(at, "abcd", 4));
    ASSERT_EQ(QOR_S_OK, second.Read(&at, 2, true));
    EXPECT_EQ(4u, first.GetPosition());
    EXPECT_EQ(4u, second.GetUnread());

    // Writing a shared buffer is refused until the writer locks its own copy.
    EXPECT_EQ(QOR_E_BUFFER_SHARED, second.Write(AsBytes("!"), 1));
    ASSERT_EQ(QOR_S_OK, second.Lock());
    ASSERT_EQ(QOR_S_OK, second.Write(AsBytes("gh"), 2));
    EXPECT_EQ("abcdefgh", Contents(second));
    EXPECT_EQ("abcdef", Contents(first));
    EXPECT_EQ("abcdef", Contents(writer));
    EXPECT_NE(first.GetData(), second.GetData());
    EXPECT_EQ(first.GetData(), writer.GetData());

    // Sharing a locked buffer gives a snapshot.
    qorStreamBufferOwner snapshot(second);
    ASSERT_EQ(QOR_S_OK, second.Write(AsBytes("i"), 1));
    EXPECT_EQ("abcdefgh", Contents(snapshot));
    EXPECT_EQ("abcdefghi", Contents(second));
}

TEST(qorStreamBuffer, TakingASharedBufferLeavesTheOtherOwnersIntact) {
    qorStreamBufferOwner writer(true);
    ASSERT_EQ(QOR_S_OK, writer.CreateWriteBuffer(12));
    ASSERT_EQ(QOR_S_OK, writer.Write(AsBytes("payload"), 7));
    qorStreamBufferOwner keeper(writer);

    uint8_t* allocation = nullptr;
    uint32_t prefix = 0, end = 0, length = 0;
    ASSERT_EQ(QOR_S_OK, writer.TakeBuffer(&allocation, &prefix, &end, &length));
    ASSERT_NE(nullptr, allocation);
    EXPECT_EQ(12u, prefix);
    EXPECT_EQ(7u, length);
    EXPECT_FALSE(writer.HasBuffer());
    EXPECT_GE(end, prefix + length);
    EXPECT_EQ(0, std::memcmp(allocation + prefix, "payload", 7));
    std::free(allocation);
    EXPECT_EQ("payload", Contents(keeper));
}

TEST(qorStreamBuffer, ReadsAreBoundedByTheWrittenData) {
    qorStreamBufferOwner owner(true);
    const uint8_t* at = nullptr;
    EXPECT_EQ(QOR_S_OK, owner.Read(&at, 0, true));
    EXPECT_EQ(QOR_E_WRONG_STATE, owner.Read(&at, 1, true));

    ASSERT_EQ(QOR_S_OK, owner.CreateReadBuffer(AsBytes("xyz"), 3));
    EXPECT_EQ(QOR_S_OK, owner.Read(&at, 0, true));
    EXPECT_EQ(nullptr, at);
    EXPECT_EQ(QOR_E_NOT_ENOUGH_DATA, owner.Read(&at, 4, false));
    EXPECT_EQ(QOR_S_OK, owner.Read(&at, 3, true));
    EXPECT_EQ(0u, owner.GetUnread());
    EXPECT_EQ(QOR_E_NOT_ENOUGH_DATA, owner.Read(&at, 1, false));
}

TEST(qorStreamBuffer, AdoptingInconsistentSizesIsRefused) {
    qorStreamBufferOwner owner(true);
    uint8_t* allocation = static_cast<uint8_t*>(std::malloc(8));
    EXPECT_EQ(QOR_E_INVALID_ARG, owner.AdoptReadBuffer(&allocation, 4, 5, 8));
    EXPECT_EQ(QOR_E_INVALID_ARG, owner.AdoptReadBuffer(&allocation, 9, 0, 8));
    ASSERT_NE(nullptr, allocation);
    std::free(allocation);
}

TEST(qorStreamBuffer, UnwriteBeyondTheDataIsRefusedAndDroppedBytesAreFilled) {
    qorStreamBufferOwner owner(true);
    EXPECT_EQ(QOR_E_INVALID_DATA, owner.Unwrite(1));
    ASSERT_EQ(QOR_S_OK, owner.Write(AsBytes("abcd"), 4));
    EXPECT_EQ(QOR_E_INVALID_ARG, owner.Unwrite(5));
    ASSERT_EQ(QOR_S_OK, owner.Unwrite(2));
    EXPECT_EQ("ab", Contents(owner));
    EXPECT_EQ(0xFE, owner.GetData()[2]);

    qorStreamBufferOwner sharer(owner);
    EXPECT_EQ(QOR_E_BUFFER_SHARED, owner.Unwrite(1));
}

TEST(qorStreamBuffer, ClearingASharedBufferLeavesTheOtherOwnersBytes) {
    qorStreamBufferOwner owner(true);
    ASSERT_EQ(QOR_S_OK, owner.Write(AsBytes("keep"), 4));
    qorStreamBufferOwner other(owner);
    ASSERT_EQ(QOR_S_OK, owner.Clear());
    EXPECT_EQ(0u, owner.GetLength());
    EXPECT_EQ("keep", Contents(other));
    ASSERT_EQ(QOR_S_OK, owner.Write(AsBytes("new"), 3));
    EXPECT_EQ("new", Contents(owner));
}

TEST(qorStreamBuffer, OwnerWithoutNoThrowRaisesItsFailures) {
    qorStreamBufferOwner owner(false);
    const uint8_t* at = nullptr;
    EXPECT_THROW(owner.Read(&at, 1, false), qorErrorException);
    EXPECT_THROW(owner.Lock(), qorErrorException);
}


namespace {

class RecordingAllocator : public HostHeapAllocator {
public:
    uint8_t* Reallocate(uint32_t oldLength, uint32_t newCapacity, uint32_t headerSize,
                        uint8_t* oldBlock) override {
        calls.push_back({oldLength, newCapacity, headerSize});
        return HostHeapAllocator::Reallocate(oldLength, newCapacity, headerSize, oldBlock);
    }
    std::vector<std::vector<uint32_t>> calls;
};

std::string Data(const HostByteBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetLength());
}

}  // namespace

TEST(HostByteBuffer, InsertGrowsThroughTheCallersAllocator) {
    RecordingAllocator allocator;
    HostByteBuffer buffer;
    buffer.m_pAllocator = &allocator;
    buffer.m_pbyBlock = HostHeapAllocator::Allocate(26);
    buffer.m_uCapacity = 26;

    ASSERT_TRUE(buffer.Append(AsBytes("0123456789"), 10));
    EXPECT_TRUE(allocator.calls.empty());
    EXPECT_EQ("0123456789", Data(buffer));

    ASSERT_TRUE(buffer.Append(AsBytes("ab"), 2));
    ASSERT_EQ(1u, allocator.calls.size());
    EXPECT_EQ((std::vector<uint32_t>{10, 10 + 2 + 100, 12}), allocator.calls[0]);
    EXPECT_EQ(112u, buffer.m_uCapacity);
    EXPECT_EQ("0123456789ab", Data(buffer));
    HostHeapAllocator::Free(buffer.m_pbyBlock);
}

TEST(HostByteBuffer, InsertInsideTheDataMovesTheTail) {
    HostHeapAllocator allocator;
    HostByteBuffer buffer{&allocator, nullptr, 0};
    ASSERT_TRUE(buffer.Append(AsBytes("head-tail"), 9));
    ASSERT_TRUE(buffer.Insert(5, AsBytes("mid-"), 4));
    EXPECT_EQ("head-mid-tail", Data(buffer));
    uint32_t word = 0;
    std::memcpy(&word, buffer.m_pbyBlock + 4, 4);
    EXPECT_EQ(13u, word);
    EXPECT_FALSE(buffer.Insert(14, AsBytes("x"), 1));
    EXPECT_EQ("head-mid-tail", Data(buffer));
    HostHeapAllocator::Free(buffer.m_pbyBlock);
}
