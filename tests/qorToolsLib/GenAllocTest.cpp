#include "qorToolsLib/GenAlloc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

// A segment image in ordinary memory: the allocator only ever sees offsets.
class GenAllocTest : public ::testing::Test {
protected:
    static constexpr uint32_t kSegmentSize = 24 + 12 * 40;
    // The first unit of the area holds the allocator's own words.
    static constexpr uint32_t kAreaUnits = 39;

    GenAllocTest()
        : m_image(kSegmentSize / 4, 0xA5A5A5A5u), m_allocator(Base() + 12, Base(), kSegmentSize) {}

    void SetUp() override { ASSERT_TRUE(m_allocator.Init(kSegmentSize - 24, true)); }

    uint8_t* Base() { return reinterpret_cast<uint8_t*>(m_image.data()); }
    uint32_t Word(uint32_t offset) const { return m_image[offset / 4]; }
    uint32_t Offset(const void* p) {
        return static_cast<uint32_t>(static_cast<uint8_t*>(const_cast<void*>(p)) - Base());
    }

    // The free list as {offset, size} pairs, head first.
    std::vector<std::pair<uint32_t, uint32_t>> FreeList() const {
        std::vector<std::pair<uint32_t, uint32_t>> blocks;
        for (uint32_t offset = Word(12); offset != 0 && blocks.size() < 100;
             offset = Word(offset)) {
            blocks.emplace_back(offset, Word(offset + 8));
        }
        return blocks;
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

// A freed block joins the free neighbours it touches, so a hole is one
// entry of the free list however many blocks made it: the list of a store
// whose sections come and go at the rate of the alerts stays short.
TEST_F(GenAllocTest, FreedBlocksJoinTheFreeNeighboursTheyTouch) {
    void* a = m_allocator.Alloc(12);
    void* b = m_allocator.Alloc(24);
    void* c = m_allocator.Alloc(12);
    void* rest = m_allocator.Alloc(12 * 35);
    ASSERT_NE(nullptr, rest);
    EXPECT_EQ(nullptr, m_allocator.Alloc(12));
    m_allocator.Free(a, 12);
    m_allocator.Free(c, 12);
    EXPECT_EQ(24u, Word(12));
    EXPECT_EQ(60u, Word(24)) << "a and c do not touch";
    m_allocator.Free(b, 24);
    EXPECT_EQ(24u, Word(12));
    EXPECT_EQ(0u, Word(24)) << "b joined a and c into one hole";
    EXPECT_EQ(48u, Word(24 + 8));
    m_allocator.Free(rest, 12 * 35);
    EXPECT_EQ(kAreaUnits * 12, Word(24 + 8));
    EXPECT_EQ(a, m_allocator.Alloc(kAreaUnits * 12));
}

// A segment another writer left with neighbouring free blocks apart: an
// allocation that needs more than the first one joins them as it walks.
TEST_F(GenAllocTest, NeighboursLeftApartAreJoinedWhenALargerBlockIsWanted) {
    void* rest = m_allocator.Alloc(kAreaUnits * 12);
    ASSERT_NE(nullptr, rest);
    // Two free blocks of one unit at 24 and 36, written as such a writer
    // would leave them.
    m_image[12 / 4] = 24;
    m_image[24 / 4] = 36;
    m_image[28 / 4] = 0;
    m_image[32 / 4] = 12;
    m_image[36 / 4] = 0;
    m_image[40 / 4] = 24;
    m_image[44 / 4] = 12;
    EXPECT_EQ(Base() + 24, m_allocator.Alloc(24));
    EXPECT_EQ(0u, Word(12));
}

// Freeing a section's blocks in one walk leaves the segment as freeing
// them one at a time would, in any order, double frees and blocks outside
// the area included.
TEST_F(GenAllocTest, BlocksFreedTogetherLeaveTheListAsFreedOneByOne) {
    std::vector<uint32_t> offsets;
    for (uint32_t size : {12u, 24u, 12u, 36u, 12u, 24u, 12u, 12u}) {
        offsets.push_back(Offset(m_allocator.Alloc(size)));
    }
    const std::vector<std::pair<uint32_t, uint32_t>> freed = {
        {offsets[6], 12}, {offsets[1], 24}, {offsets[3], 36}, {offsets[1], 24},
        {offsets[4], 12}, {4096, 12},       {offsets[0], 12}};
    const std::vector<uint32_t> before = m_image;
    for (const auto& [offset, size] : freed) {
        m_allocator.FreeBlock(offset, size);
    }
    const auto oneByOne = FreeList();
    m_image = before;
    GenAlloc::BlockList together(freed.begin(), freed.end());
    m_allocator.FreeBlocks(together);
    EXPECT_EQ(oneByOne, FreeList());
    EXPECT_EQ(
        (std::vector<std::pair<uint32_t, uint32_t>>{{24, 36}, {72, 48}, {144, 12}, {168, 12 * 27}}),
        oneByOne);
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
    EXPECT_EQ(kAreaUnits * 12, Word(24 + 8)) << "the text's block went back whole";
}
