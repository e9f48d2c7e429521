#include "qorToolsLib/GenAlloc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A segment image in ordinary memory: the allocator only ever sees offsets.
class GenAllocTest : public ::testing::Test {
protected:
    static constexpr uint32_t kSegmentSize = 24 + 12 * 40;

    GenAllocTest()
        : m_image(kSegmentSize / 4, 0xA5A5A5A5u), m_allocator(Base() + 12, Base(), kSegmentSize) {}

    void SetUp() override { ASSERT_TRUE(m_allocator.Init(kSegmentSize - 24, true)); }

    uint8_t* Base() { return reinterpret_cast<uint8_t*>(m_image.data()); }
    uint32_t Word(uint32_t offset) const { return m_image[offset / 4]; }
    uint32_t Offset(const void* p) {
        return static_cast<uint32_t>(static_cast<uint8_t*>(const_cast<void*>(p)) - Base());
    }

    std::vector<uint32_t> m_image;
    GenAlloc m_allocator;
};

}  // namespace

TEST_F(GenAllocTest, RequestsRoundUpToWholeUnitsAndComeZeroFilled) {
    void* one = m_allocator.Alloc(1);
    void* twelve = m_allocator.Alloc(12);
    void* thirteen = m_allocator.Alloc(13);
    ASSERT_NE(nullptr, one);
    EXPECT_EQ(24u, Offset(one));
    EXPECT_EQ(36u, Offset(twelve));
    EXPECT_EQ(48u, Offset(thirteen));
    EXPECT_EQ(72u, Word(12));  // the rest starts after 12 + 12 + 24 bytes
    EXPECT_EQ(12u * 35, Word(72 + 8));
    EXPECT_EQ(0u, Word(48));
    EXPECT_EQ(0u, Word(68));
    EXPECT_EQ(nullptr, m_allocator.Alloc(0));
}

TEST_F(GenAllocTest, NeighboursFreedSeparatelyMergeWhenALargerBlockIsWanted) {
    void* a = m_allocator.Alloc(12);
    void* b = m_allocator.Alloc(12);
    void* rest = m_allocator.Alloc(12 * 37);
    ASSERT_NE(nullptr, rest);
    EXPECT_EQ(nullptr, m_allocator.Alloc(12));
    m_allocator.Free(a, 12);
    m_allocator.Free(b, 12);
    EXPECT_EQ(24u, Word(12));
    EXPECT_EQ(36u, Word(24));  // two blocks, not yet merged
    void* both = m_allocator.Alloc(24);
    EXPECT_EQ(a, both);
    EXPECT_EQ(0u, Word(12));
}

TEST_F(GenAllocTest, BlocksFreedTwiceOrOutsideTheAreaAreIgnored) {
    void* a = m_allocator.Alloc(12);
    void* b = m_allocator.Alloc(12);
    ASSERT_NE(nullptr, b);
    m_allocator.Free(a, 12);
    m_allocator.Free(a, 12);
    m_allocator.Free(Base() + 30, 12);    // not on a unit boundary
    m_allocator.Free(Base() + 4096, 12);  // beyond the area
    m_allocator.Free(nullptr, 12);
    EXPECT_EQ(24u, Word(12));
    EXPECT_EQ(48u, Word(24));
    EXPECT_GT(m_allocator.DamageCount(), 0u);
    EXPECT_EQ(a, m_allocator.Alloc(12));
    EXPECT_NE(a, m_allocator.Alloc(12));
}

TEST_F(GenAllocTest, TextBlocksKeepTheirSizeAndFreeByIt) {
    uint8_t* text = ShmAllocText(m_allocator, 20);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(28u, Offset(text));
    EXPECT_EQ(20u, Word(24));
    ShmFreeText(m_allocator, text);
    ShmFreeText(m_allocator, nullptr);
    EXPECT_EQ(24u, Word(12));
    EXPECT_EQ(24u, Word(24 + 8));
}
