#pragma once
// The byte buffer through which a caller of an alert event's serialisation
// receives the bytes.  The caller owns the block and its allocator; the
// event only inserts into it, asking the allocator for a larger block when
// the data would not fit.
//
// Block layout: a 12-byte header whose second 32-bit word (machine order,
// the block never leaves the process) is the data length; the data follows
// the header.  The first and third words are the caller's and are left
// alone.  Usable room is the capacity less 16 bytes.

#include <cstdint>

class HostByteAllocator {
public:
    virtual ~HostByteAllocator();
    // Returns a zero-filled block of `newCapacity` bytes holding a copy of
    // the old block's first `headerSize + oldLength` bytes (so the data sits
    // at offset `headerSize` again) and frees the old block.  Null when no
    // memory is available; the old block is then kept.
    virtual uint8_t* Reallocate(uint32_t oldLength, uint32_t newCapacity, uint32_t headerSize,
                                uint8_t* oldBlock) = 0;
};

// An allocator over the C heap, for hosts and tests.
class HostHeapAllocator : public HostByteAllocator {
public:
    uint8_t* Reallocate(uint32_t oldLength, uint32_t newCapacity, uint32_t headerSize,
                        uint8_t* oldBlock) override;
    // A zero-filled block of `capacity` bytes (at least the header), or null.
    static uint8_t* Allocate(uint32_t capacity);
    static void Free(uint8_t* block);
};

class HostByteBuffer {
public:
    static constexpr uint32_t kHeaderSize = 12;
    static constexpr uint32_t kReserved = 16;
    static constexpr uint32_t kGrowthSlack = 100;

    HostByteAllocator* m_pAllocator = nullptr;
    uint8_t* m_pbyBlock = nullptr;
    uint32_t m_uCapacity = 0;

    uint32_t GetLength() const;
    uint8_t* GetData() const { return m_pbyBlock != nullptr ? m_pbyBlock + kHeaderSize : nullptr; }
    uint32_t GetRoom() const { return m_uCapacity > kReserved ? m_uCapacity - kReserved : 0; }

    // Inserts `count` bytes at `position` within the data, moving the tail
    // up.  False when the position lies past the data or a larger block
    // cannot be had; the buffer is then unchanged.
    bool Insert(uint32_t position, const uint8_t* data, uint32_t count);
    bool Append(const uint8_t* data, uint32_t count) { return Insert(GetLength(), data, count); }

private:
    void SetLength(uint32_t length);
};
