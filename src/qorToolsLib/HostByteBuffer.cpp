#include "qorToolsLib/HostByteBuffer.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kLengthOffset = 4;

}  // namespace

HostByteAllocator::~HostByteAllocator() = default;

uint8_t* HostHeapAllocator::Reallocate(uint32_t oldLength, uint32_t newCapacity,
                                       uint32_t headerSize, uint8_t* oldBlock) {
    uint64_t kept = uint64_t{headerSize} + oldLength;
    if (kept > newCapacity) {
        return nullptr;
    }
    uint8_t* block = Allocate(newCapacity);
    if (block == nullptr) {
        return nullptr;
    }
    if (oldBlock != nullptr) {
        std::memcpy(block, oldBlock, static_cast<size_t>(kept));
        Free(oldBlock);
    }
    return block;
}

uint8_t* HostHeapAllocator::Allocate(uint32_t capacity) {
    if (capacity < HostByteBuffer::kHeaderSize) {
        capacity = HostByteBuffer::kHeaderSize;
    }
    return static_cast<uint8_t*>(std::calloc(capacity, 1));
}

void HostHeapAllocator::Free(uint8_t* block) { std::free(block); }

uint32_t HostByteBuffer::GetLength() const {
    if (m_pbyBlock == nullptr) {
        return 0;
    }
    uint32_t length = 0;
    std::memcpy(&length, m_pbyBlock + kLengthOffset, sizeof length);
    return length;
}

void HostByteBuffer::SetLength(uint32_t length) {
    std::memcpy(m_pbyBlock + kLengthOffset, &length, sizeof length);
}

bool HostByteBuffer::Insert(uint32_t position, const uint8_t* data, uint32_t count) {
    uint32_t length = GetLength();
    if (position > length || (data == nullptr && count > 0)) {
        return false;
    }
    uint64_t needed = uint64_t{length} + count;
    if (m_pbyBlock == nullptr || needed > GetRoom()) {
        uint64_t capacity = uint64_t{GetRoom()} + count + kGrowthSlack;
        if (capacity < needed + kReserved) {
            capacity = needed + kReserved;
        }
        if (capacity > UINT32_MAX || m_pAllocator == nullptr) {
            return false;
        }
        uint8_t* block = m_pAllocator->Reallocate(length, static_cast<uint32_t>(capacity),
                                                  kHeaderSize, m_pbyBlock);
        if (block == nullptr) {
            return false;
        }
        m_pbyBlock = block;
        m_uCapacity = static_cast<uint32_t>(capacity);
    }
    uint8_t* at = GetData() + position;
    if (position < length) {
        std::memmove(at + count, at, length - position);
    }
    if (count > 0) {
        std::memcpy(at, data, count);
    }
    SetLength(length + count);
    return true;
}
