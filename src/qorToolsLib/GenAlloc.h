#pragma once
// The first-fit allocator of the shared-memory store's block area.  Blocks
// are whole 12-byte units; free blocks form a list in ascending address
// order, each starting with {next, previous, size}; an allocated block has
// no header, so its owner gives the size back when freeing.  A freed block
// joins the free neighbours it touches; an allocation that walks past
// neighbours still apart (a segment laid out by another writer) joins them
// too.
//
// Every allocation and release runs under the cross-process semaphore
// "GenAlloc_semaphore"; when it cannot be taken within kLockWaitMs (the
// script process keeps it, stopped or hung) the operation does nothing.
// A Hold keeps it for a series of operations on one thread, so a section's
// many blocks cost one wait, not one each.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "qorToolsLib/SharedSegment.h"
#include "qorToolsLib/jsSemaphore.h"

class GenAlloc {
public:
    // How long an operation waits for the semaphore.
    static constexpr uint32_t kLockWaitMs = 2000;

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
    // Frees every {offset, size} block in one walk of the free list, which
    // ends as it would after freeing them one at a time.  The list is put
    // in ascending order on the way.
    using Block = std::pair<uint32_t, uint32_t>;
    using BlockList = std::vector<Block>;
    void FreeBlocks(BlockList& blocks);

    // Holds the semaphore for the operations this thread makes while the
    // object lives (false from Held() when it could not be taken; the
    // operations then take it each on their own, and fail as they would).
    class Hold {
    public:
        explicit Hold(GenAlloc& allocator);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        bool Held() const { return m_bHeld; }

    private:
        GenAlloc& m_allocator;
        bool m_bHeld = false;
    };

    // A text block of `size` bytes with the size kept in its first word;
    // the answer is the offset behind that word (0 for none).  FreeText
    // gives it back by the kept size, when that still describes a block.
    uint32_t AllocText(uint32_t size);
    void FreeText(uint32_t textOffset);
    // FreeText's block put on `blocks` for FreeBlocks instead.
    void AddTextBlock(uint32_t textOffset, BlockList& blocks);
    bool Contains(const void* address) const;
    uint32_t OffsetOf(const void* address) const { return m_segment.OffsetOf(address); }
    uint8_t* AddressOf(uint32_t offset) const { return m_segment.Base() + offset; }

    // Damaged free-list entries met so far; the operation that met one did
    // nothing.
    uint32_t DamageCount() const { return m_dwDamage; }
    // Free blocks walked past by releases so far: what a release costs.
    uint64_t FreeWalkSteps() const { return m_qwFreeWalkSteps; }
    // The blocks on the free list, under the semaphore; 0 when the list
    // is damaged.
    uint32_t FreeBlockCount();

private:
    struct FreeBlockView {
        uint32_t m_dwNext = 0;
        uint32_t m_dwSize = 0;
    };
    // Where a release walking up the free list stands: the free block
    // before the place (0: none, the place is the head) and its end, and
    // the free block after it.
    struct FreeCursor {
        uint32_t m_dwBefore = 0;
        uint32_t m_dwBeforeEnd = SharedSegment::kAreaStart;
        uint32_t m_dwAfter = 0;
    };
    bool ReadFreeBlock(uint32_t offset, uint32_t areaEnd, FreeBlockView& block);
    uint32_t AllocLocked(uint32_t want);
    // FreeBlocks for blocks already in ascending order.
    void FreeSorted(std::span<const Block> blocks);
    // The block of a text by the size kept before it; false when that
    // cannot be read.
    bool TextBlock(uint32_t textOffset, Block& block);
    // Links the block in from `cursor` on, which it leaves just behind the
    // block; false when the list or the block was found damaged.
    bool FreeLocked(uint32_t offset, uint32_t size, uint32_t areaEnd, FreeCursor& cursor);
    // The cursor at the head of the list; false when the header is damaged.
    bool StartFreeWalk(uint32_t& areaEnd, FreeCursor& cursor);
    bool Acquire();
    void Release();

    uint32_t m_dwHeaderOffset;
    SharedSegment m_segment;
    std::unique_ptr<SEMAPHORE> m_pSemaphore;
    // The thread whose Hold has the semaphore, if any.
    std::atomic<std::thread::id> m_holder{};
    uint32_t m_dwDamage = 0;
    uint64_t m_qwFreeWalkSteps = 0;
};

// Text blocks: ShmAllocText(n) takes n bytes, keeps n in the first word and
// answers the address behind it; ShmFreeText gives such a block back with
// the size kept before the text (nothing for null).
uint8_t* ShmAllocText(GenAlloc& allocator, uint32_t size);
void ShmFreeText(GenAlloc& allocator, uint8_t* text);
