#include "qorToolsLib/GenAlloc.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kNextField = 0;
constexpr uint32_t kPreviousField = 4;
constexpr uint32_t kSizeField = 8;

}  // namespace

GenAlloc::GenAlloc(uint8_t* header, uint8_t* base, uint64_t limit)
    : m_dwHeaderOffset(static_cast<uint32_t>((header - base + 3) / 4 * 4)),
      m_segment(base, limit) {}

GenAlloc::~GenAlloc() = default;

bool GenAlloc::Init(uint32_t areaSize, bool create) {
    m_pSemaphore = std::make_unique<SEMAPHORE>("GenAlloc_semaphore");
    if (!m_pSemaphore->IsValid()) {
        m_pSemaphore.reset();
        return false;
    }
    if (create) {
        const uint32_t first = m_dwHeaderOffset + SharedSegment::kUnit;
        const uint32_t size =
            areaSize < SharedSegment::kUnit
                ? 0
                : (areaSize - SharedSegment::kUnit) / SharedSegment::kUnit * SharedSegment::kUnit;
        m_segment.WriteWord(first + kNextField, 0);
        m_segment.WriteWord(first + kPreviousField, 0);
        m_segment.WriteWord(first + kSizeField, size);
        m_segment.WriteWord(m_dwHeaderOffset, size == 0 ? 0 : first);
        m_segment.WriteWord(m_dwHeaderOffset + 4, first);
        m_segment.WriteWord(m_dwHeaderOffset + 8, first + size);
    }
    return true;
}

bool GenAlloc::Acquire() {
    if (m_pSemaphore == nullptr) {
        return false;
    }
    return m_holder.load() == std::this_thread::get_id() ||
           m_pSemaphore->Acquire(kLockWaitMs) == 0;
}

void GenAlloc::Release() {
    if (m_holder.load() != std::this_thread::get_id()) {
        m_pSemaphore->Release(1);
    }
}

GenAlloc::Hold::Hold(GenAlloc& allocator) : m_allocator(allocator) {
    if (allocator.m_holder.load() != std::thread::id() || !allocator.Acquire()) {
        return;
    }
    allocator.m_holder = std::this_thread::get_id();
    m_bHeld = true;
}

GenAlloc::Hold::~Hold() {
    if (m_bHeld) {
        m_allocator.m_holder = std::thread::id();
        m_allocator.Release();
    }
}

// A free block must lie inside the area, and the list must go on upwards
// past its end: that also rules out cycles.
bool GenAlloc::ReadFreeBlock(uint32_t offset, uint32_t areaEnd, FreeBlockView& block) {
    bool good = m_segment.ReadWord(offset + kNextField, block.m_dwNext) &&
                m_segment.ReadWord(offset + kSizeField, block.m_dwSize) &&
                SharedSegment::IsBlock(offset, block.m_dwSize, areaEnd) &&
                (block.m_dwNext == 0 ||
                 (block.m_dwNext >= offset + block.m_dwSize &&
                  SharedSegment::IsBlock(block.m_dwNext, SharedSegment::kUnit, areaEnd)));
    if (!good) {
        ++m_dwDamage;
    }
    return good;
}

uint32_t GenAlloc::AllocBlock(uint32_t size) {
    if (size == 0 || !Acquire()) {
        return 0;
    }
    uint32_t block = AllocLocked(
        static_cast<uint32_t>(std::min<uint64_t>(SharedSegment::RoundToUnit(size), UINT32_MAX)));
    Release();
    if (block != 0) {
        std::memset(m_segment.Base() + block, 0, SharedSegment::RoundToUnit(size));
    }
    return block;
}

uint32_t GenAlloc::AllocLocked(uint32_t want) {
    uint32_t areaEnd = 0;
    uint32_t head = 0;
    if (!m_segment.AreaEnd(areaEnd) || !m_segment.ReadWord(m_dwHeaderOffset, head)) {
        ++m_dwDamage;
        return 0;
    }
    uint32_t previous = 0;
    uint32_t current = head;
    FreeBlockView block;
    while (current != 0) {
        if (!ReadFreeBlock(current, areaEnd, block)) {
            return 0;
        }
        if (block.m_dwSize >= want) {
            break;
        }
        if (block.m_dwNext == current + block.m_dwSize) {
            FreeBlockView following;
            if (!ReadFreeBlock(block.m_dwNext, areaEnd, following)) {
                return 0;
            }
            m_segment.WriteWord(current + kSizeField, block.m_dwSize + following.m_dwSize);
            m_segment.WriteWord(current + kNextField, following.m_dwNext);
            if (following.m_dwNext != 0) {
                m_segment.WriteWord(following.m_dwNext + kPreviousField, current);
            }
            continue;
        }
        previous = current;
        current = block.m_dwNext;
    }
    if (current == 0) {
        return 0;
    }
    uint32_t replacement = block.m_dwNext;
    if (block.m_dwSize > want) {
        replacement = current + want;
        m_segment.WriteWord(replacement + kNextField, block.m_dwNext);
        m_segment.WriteWord(replacement + kPreviousField, previous);
        m_segment.WriteWord(replacement + kSizeField, block.m_dwSize - want);
    }
    if (previous != 0) {
        m_segment.WriteWord(previous + kNextField, replacement);
    } else {
        head = replacement;
    }
    if (block.m_dwNext != 0) {
        m_segment.WriteWord(block.m_dwNext + kPreviousField,
                            replacement == 0 ? previous : replacement);
    }
    m_segment.WriteWord(m_dwHeaderOffset, head);
    return current;
}

void GenAlloc::FreeBlock(uint32_t offset, uint32_t size) {
    const Block block{offset, size};
    FreeSorted(std::span(&block, 1));
}

void GenAlloc::FreeBlocks(BlockList& blocks) {
    // Linking in ascending order lets each walk go on from where the last
    // one stopped: the list below a block is the same as it was when the
    // block before it was linked in.
    std::sort(blocks.begin(), blocks.end());
    FreeSorted(blocks);
}

void GenAlloc::FreeSorted(std::span<const Block> blocks) {
    if (blocks.empty() || !Acquire()) {
        return;
    }
    uint32_t areaEnd = 0;
    FreeCursor cursor;
    if (StartFreeWalk(areaEnd, cursor)) {
        for (const auto& [offset, size] : blocks) {
            const uint64_t rounded = SharedSegment::RoundToUnit(size);
            if (offset != 0 && SharedSegment::IsBlock(offset, rounded, areaEnd) &&
                !FreeLocked(offset, static_cast<uint32_t>(rounded), areaEnd, cursor)) {
                break;
            }
        }
    }
    Release();
}

bool GenAlloc::StartFreeWalk(uint32_t& areaEnd, FreeCursor& cursor) {
    uint32_t head = 0;
    if (!m_segment.AreaEnd(areaEnd) || !m_segment.ReadWord(m_dwHeaderOffset, head)) {
        ++m_dwDamage;
        return false;
    }
    cursor = FreeCursor();
    cursor.m_dwAfter = head;
    return true;
}

// A block that overlaps a free one (freed twice, or a damaged size) is
// left alone: linking it would tie the free list in a knot.  A block that
// touches a free neighbour joins it, so the list holds one entry per hole
// however many blocks made the hole; left apart, the blocks of the sections
// freed at the rate of the alerts grow it into tens of thousands of
// entries, and each release walks them.
bool GenAlloc::FreeLocked(uint32_t offset, uint32_t size, uint32_t areaEnd, FreeCursor& cursor) {
    FreeBlockView block;
    while (cursor.m_dwAfter != 0 && cursor.m_dwAfter < offset) {
        if (!ReadFreeBlock(cursor.m_dwAfter, areaEnd, block)) {
            return false;
        }
        ++m_qwFreeWalkSteps;
        cursor.m_dwBefore = cursor.m_dwAfter;
        cursor.m_dwBeforeEnd = cursor.m_dwAfter + block.m_dwSize;
        cursor.m_dwAfter = block.m_dwNext;
    }
    uint32_t after = cursor.m_dwAfter;
    if (cursor.m_dwBeforeEnd > offset || (after != 0 && after < offset + size)) {
        ++m_dwDamage;
        return true;
    }
    uint32_t blockSize = size;
    if (after != 0 && after == offset + size) {
        FreeBlockView following;
        if (!ReadFreeBlock(after, areaEnd, following)) {
            return false;
        }
        blockSize += following.m_dwSize;
        after = following.m_dwNext;
    }
    const uint32_t before = cursor.m_dwBefore;
    if (before != 0 && cursor.m_dwBeforeEnd == offset) {
        const uint32_t joined = cursor.m_dwBeforeEnd - before + blockSize;
        m_segment.WriteWord(before + kSizeField, joined);
        m_segment.WriteWord(before + kNextField, after);
        if (after != 0) {
            m_segment.WriteWord(after + kPreviousField, before);
        }
        cursor.m_dwBeforeEnd = before + joined;
        cursor.m_dwAfter = after;
        return true;
    }
    m_segment.WriteWord(offset + kNextField, after);
    m_segment.WriteWord(offset + kPreviousField, before);
    m_segment.WriteWord(offset + kSizeField, blockSize);
    if (before != 0) {
        m_segment.WriteWord(before + kNextField, offset);
    } else {
        m_segment.WriteWord(m_dwHeaderOffset, offset);
    }
    if (after != 0) {
        m_segment.WriteWord(after + kPreviousField, offset);
    }
    cursor.m_dwBefore = offset;
    cursor.m_dwBeforeEnd = offset + blockSize;
    cursor.m_dwAfter = after;
    return true;
}

uint32_t GenAlloc::FreeBlockCount() {
    uint32_t areaEnd = 0;
    FreeCursor cursor;
    if (!Acquire()) {
        return 0;
    }
    uint32_t count = 0;
    FreeBlockView block;
    if (StartFreeWalk(areaEnd, cursor)) {
        for (uint32_t offset = cursor.m_dwAfter; offset != 0; offset = block.m_dwNext) {
            if (!ReadFreeBlock(offset, areaEnd, block)) {
                count = 0;
                break;
            }
            ++count;
        }
    }
    Release();
    return count;
}

bool GenAlloc::Contains(const void* address) const {
    const uint8_t* p = static_cast<const uint8_t*>(address);
    return m_segment.Base() != nullptr && p >= m_segment.Base() &&
           p < m_segment.Base() + m_segment.Limit();
}

void* GenAlloc::Alloc(uint32_t size) {
    uint32_t offset = AllocBlock(size);
    return offset == 0 ? nullptr : m_segment.Base() + offset;
}

void GenAlloc::Free(void* address, uint32_t size) {
    if (Contains(address)) {
        FreeBlock(m_segment.OffsetOf(address), size);
    }
}

uint32_t GenAlloc::AllocText(uint32_t size) {
    uint32_t block = AllocBlock(size);
    if (block == 0) {
        return 0;
    }
    m_segment.WriteWord(block, size);
    return block + 4;
}

bool GenAlloc::TextBlock(uint32_t textOffset, Block& block) {
    uint32_t size = 0;
    if (textOffset < SharedSegment::kAreaStart + 4 || !m_segment.ReadWord(textOffset - 4, size)) {
        return false;
    }
    block = {textOffset - 4, size};
    return true;
}

void GenAlloc::FreeText(uint32_t textOffset) {
    Block block;
    if (TextBlock(textOffset, block)) {
        FreeBlock(block.first, block.second);
    }
}

void GenAlloc::AddTextBlock(uint32_t textOffset, BlockList& blocks) {
    Block block;
    if (TextBlock(textOffset, block)) {
        blocks.push_back(block);
    }
}

uint8_t* ShmAllocText(GenAlloc& allocator, uint32_t size) {
    uint32_t text = allocator.AllocText(size);
    return text == 0 ? nullptr : allocator.AddressOf(text);
}

void ShmFreeText(GenAlloc& allocator, uint8_t* text) {
    if (text != nullptr && allocator.Contains(text)) {
        allocator.FreeText(allocator.OffsetOf(text));
    }
}
