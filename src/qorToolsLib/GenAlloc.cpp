#include "qorToolsLib/GenAlloc.h"

#include <cstring>

namespace {

constexpr uint32_t kNextField = 0;
constexpr uint32_t kPreviousField = 4;
constexpr uint32_t kSizeField = 8;
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

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
    return m_pSemaphore != nullptr && m_pSemaphore->Acquire(kWaitForever) == 0;
}

void GenAlloc::Release() {
    m_pSemaphore->Release(1);
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
    uint32_t areaEnd = 0;
    if (offset == 0 || !m_segment.AreaEnd(areaEnd) ||
        !SharedSegment::IsBlock(offset, SharedSegment::RoundToUnit(size), areaEnd)) {
        return;
    }
    if (!Acquire()) {
        return;
    }
    FreeLocked(offset, static_cast<uint32_t>(SharedSegment::RoundToUnit(size)));
    Release();
}

// A block that overlaps a free one (freed twice, or a damaged size) is
// left alone: linking it would tie the free list in a knot.
void GenAlloc::FreeLocked(uint32_t offset, uint32_t size) {
    uint32_t areaEnd = 0;
    uint32_t head = 0;
    if (!m_segment.AreaEnd(areaEnd) || !m_segment.ReadWord(m_dwHeaderOffset, head)) {
        ++m_dwDamage;
        return;
    }
    uint32_t before = 0;
    uint32_t beforeEnd = SharedSegment::kAreaStart;
    uint32_t after = head;
    FreeBlockView block;
    while (after != 0 && after < offset) {
        if (!ReadFreeBlock(after, areaEnd, block)) {
            return;
        }
        before = after;
        beforeEnd = after + block.m_dwSize;
        after = block.m_dwNext;
    }
    if (beforeEnd > offset || (after != 0 && after < offset + size)) {
        ++m_dwDamage;
        return;
    }
    m_segment.WriteWord(offset + kNextField, after);
    m_segment.WriteWord(offset + kPreviousField, before);
    m_segment.WriteWord(offset + kSizeField, size);
    if (before != 0) {
        m_segment.WriteWord(before + kNextField, offset);
    } else {
        head = offset;
    }
    if (after != 0) {
        m_segment.WriteWord(after + kPreviousField, offset);
    }
    m_segment.WriteWord(m_dwHeaderOffset, head);
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

void GenAlloc::FreeText(uint32_t textOffset) {
    uint32_t size = 0;
    if (textOffset >= SharedSegment::kAreaStart + 4 && m_segment.ReadWord(textOffset - 4, size)) {
        FreeBlock(textOffset - 4, size);
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
