#pragma once
// The byte buffer behind the tagged stream: growable, with room reserved in
// front of the data, shared between owners by a reference count and copied
// when an owner that shares it wants to write.
//
// The buffer has no lock and its state changes without atomic operations:
// owners sharing one buffer must stay on one thread at a time.

#include <cstdint>

#include "qorToolsLib/qorStatus.h"

class qorStreamBufferOwner;

// Allocates `size` bytes with malloc, so that a buffer taken over by a
// caller is released with std::free.  QOR_E_ALLOC_FAILED when it fails.
StatusCode AllocateBuffer(uint8_t** address, uint32_t size);

class qorStreamBuffer {
public:
    // State: n >= 1 owners share the buffer; -1 one owner holds it locked
    // and may write; 0 and values below -1 are invalid.
    static constexpr int32_t kLocked = -1;
    // The growth increment of a buffer made by copying another.
    static constexpr uint32_t kCopyGrowth = 750;

    // A copy of `length` bytes, all written, nothing free, no prefix.
    qorStreamBuffer(const uint8_t* data, uint32_t length, uint32_t growBy);
    // Takes over `allocation` (malloc'ed, `total` bytes): the first `prefix`
    // bytes are reserved and `written` bytes of data follow them.
    qorStreamBuffer(uint8_t* allocation, uint32_t prefix, uint32_t written, uint32_t total,
                    uint32_t growBy);
    // An empty write buffer with `prefix` bytes reserved in front.
    qorStreamBuffer(uint32_t growBy, uint32_t prefix);
    // A copy of another buffer's bytes (growth increment 750, then assign).
    explicit qorStreamBuffer(const qorStreamBuffer& other);
    // Raises qorErrorException when this buffer is shared or memory fails.
    qorStreamBuffer& operator=(const qorStreamBuffer& other);
    virtual ~qorStreamBuffer();

    // Empties the written data; refused while other owners share it.
    virtual StatusCode Clear();

    // False when a constructor could not obtain its memory.
    bool IsValid() const { return !m_bAllocFailed; }

    StatusCode CopyFrom(const qorStreamBuffer& other);
    StatusCode AcquireReference(qorStreamBufferOwner& owner);
    StatusCode ReleaseReference(qorStreamBufferOwner& owner);
    StatusCode LockFor(qorStreamBufferOwner& owner);
    StatusCode Unlock();
    StatusCode Take(qorStreamBufferOwner& owner, uint8_t** allocation, uint32_t* prefix,
                    uint32_t* end, uint32_t* length);
    StatusCode Grow(uint32_t count);
    StatusCode Write(const uint8_t* data, uint32_t count);
    StatusCode Unwrite(uint32_t count);
    StatusCode ReleaseResources();

    int32_t State() const { return m_lState; }
    uint8_t* Data() const { return m_pbyData; }
    uint32_t Capacity() const { return m_uCapacity; }
    uint32_t Free() const { return m_uFree; }
    uint32_t Length() const { return m_uCapacity - m_uFree; }
    uint32_t Prefix() const { return m_uPrefix; }
    uint32_t GrowBy() const { return m_uGrowBy; }
    bool IsShared() const { return m_lState > 1; }

private:
    bool HasValidState() const { return m_lState >= 1 || m_lState == kLocked; }

    int32_t m_lState;
    uint8_t* m_pbyData;
    uint32_t m_uCapacity;
    uint32_t m_uFree;
    uint32_t m_uPrefix;
    uint32_t m_uGrowBy;
    bool m_bAllocFailed = false;
};
