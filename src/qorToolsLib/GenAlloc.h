#pragma once
// The first-fit allocator of the shared-memory store's block area.  Blocks
// are whole 12-byte units; free blocks form a list in ascending address
// order, each starting with {next, previous, size}; an allocated block has
// no header, so its owner gives the size back when freeing.  Neighbouring
// free blocks are merged only while an allocation walks past them.
//
// Every allocation and release runs under the cross-process semaphore
// "GenAlloc_semaphore"; when it cannot be taken the operation does nothing.

#include <cstdint>
#include <memory>

#include "qorToolsLib/SharedSegment.h"
#include "qorToolsLib/jsSemaphore.h"

class GenAlloc {
public:
    // `header` is the allocator's three words inside the segment at `base`
    // (base + 12); `limit` the bytes of the segment this process mapped.
    GenAlloc(uint8_t* header, uint8_t* base, uint64_t limit);
    ~GenAlloc();
    GenAlloc(const GenAlloc&) = delete;
    GenAlloc& operator=(const GenAlloc&) = delete;

    // Makes the semaphore and, when creating, lays out one free block over
    // an area of `areaSize` bytes.  False when the semaphore cannot be made.
    bool Init(uint32_t areaSize, bool create);

    // A zero-filled block of `size` bytes rounded up to whole units, or
    // null when none is free (or the free list is damaged).
    void* Alloc(uint32_t size);
    void Free(void* address, uint32_t size);

    // The same by segment offset (0 for none).
    uint32_t AllocBlock(uint32_t size);
    void FreeBlock(uint32_t offset, uint32_t size);

    // A text block of `size` bytes with the size kept in its first word;
    // the answer is the offset behind that word (0 for none).  FreeText
    // gives it back by the kept size, when that still describes a block.
    uint32_t AllocText(uint32_t size);
    void FreeText(uint32_t textOffset);
    bool Contains(const void* address) const;
    uint32_t OffsetOf(const void* address) const { return m_segment.OffsetOf(address); }
    uint8_t* AddressOf(uint32_t offset) const { return m_segment.Base() + offset; }

    // Damaged free-list entries met so far; the operation that met one did
    // nothing.
    uint32_t DamageCount() const { return m_dwDamage; }

private:
    struct FreeBlockView {
        uint32_t m_dwNext = 0;
        uint32_t m_dwSize = 0;
    };
    bool ReadFreeBlock(uint32_t offset, uint32_t areaEnd, FreeBlockView& block);
    uint32_t AllocLocked(uint32_t want);
    void FreeLocked(uint32_t offset, uint32_t size);
    bool Acquire();
    void Release();

    uint32_t m_dwHeaderOffset;
    SharedSegment m_segment;
    std::unique_ptr<SEMAPHORE> m_pSemaphore;
    uint32_t m_dwDamage = 0;
};

// Text blocks: ShmAllocText(n) takes n bytes, keeps n in the first word and
// answers the address behind it; ShmFreeText gives such a block back with
// the size kept before the text (nothing for null).
uint8_t* ShmAllocText(GenAlloc& allocator, uint32_t size);
void ShmFreeText(GenAlloc& allocator, uint8_t* text);
