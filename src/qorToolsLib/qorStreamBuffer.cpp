#include "qorToolsLib/qorStreamBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "qorToolsLib/QORError.h"
#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/qorStreamBufferOwner.h"
#include "qorToolsLib/qorStreamTrace.h"

using qorStream::Address;

namespace {

constexpr uint8_t kUnwrittenFill = 0xFE;

}  // namespace

qorStream::StatusText::StatusText(StatusCode status) {
    BoundedSnprintf(m_szText, sizeof m_szText, status > 0xFFFFu ? "0x%8.8x" : "%u", status);
}

StatusCode AllocateBuffer(uint8_t** address, uint32_t size) {
    *address = nullptr;
    if (size == 0) {
        return QOR_S_OK;
    }
    *address = static_cast<uint8_t*>(std::malloc(size));
    if (*address == nullptr) {
        QOR_STREAM_ERROR("AllocateBuffer", "Error %s allocating stream buffer of size %u",
                         qorStream::StatusText(QOR_E_ALLOC_FAILED).m_szText, size);
        return QOR_E_ALLOC_FAILED;
    }
    return QOR_S_OK;
}

qorStreamBuffer::qorStreamBuffer(const uint8_t* data, uint32_t length, uint32_t growBy)
    : m_lState(1), m_pbyData(nullptr), m_uCapacity(0), m_uFree(0), m_uPrefix(0),
      m_uGrowBy(growBy) {
    if (AllocateBuffer(&m_pbyData, length) != QOR_S_OK) {
        m_bAllocFailed = true;
    } else if (length > 0) {
        std::memcpy(m_pbyData, data, length);
        m_uCapacity = length;
    }
}

qorStreamBuffer::qorStreamBuffer(uint8_t* allocation, uint32_t prefix, uint32_t written,
                                 uint32_t total, uint32_t growBy)
    : m_lState(1), m_pbyData(allocation != nullptr ? allocation + prefix : nullptr),
      m_uCapacity(allocation != nullptr ? total - prefix : 0),
      m_uFree(allocation != nullptr ? total - prefix - written : 0),
      m_uPrefix(allocation != nullptr ? prefix : 0), m_uGrowBy(growBy) {}

qorStreamBuffer::qorStreamBuffer(uint32_t growBy, uint32_t prefix)
    : m_lState(1), m_pbyData(nullptr), m_uCapacity(0), m_uFree(0), m_uPrefix(0),
      m_uGrowBy(growBy) {
    uint8_t* allocation = nullptr;
    if (AllocateBuffer(&allocation, prefix) != QOR_S_OK) {
        m_bAllocFailed = true;
    } else if (allocation != nullptr) {
        std::memset(allocation, 0, prefix);
        m_pbyData = allocation + prefix;
        m_uPrefix = prefix;
    }
}

qorStreamBuffer::qorStreamBuffer(const qorStreamBuffer& other)
    : m_lState(1), m_pbyData(nullptr), m_uCapacity(0), m_uFree(0), m_uPrefix(0),
      m_uGrowBy(kCopyGrowth) {
    m_bAllocFailed = CopyFrom(other) != QOR_S_OK;
}

qorStreamBuffer& qorStreamBuffer::operator=(const qorStreamBuffer& other) {
    StatusCode status = CopyFrom(other);
    if (status != QOR_S_OK) {
        throw qorErrorException(status, "osStatus", __FILE__, __LINE__);
    }
    return *this;
}

qorStreamBuffer::~qorStreamBuffer() {
    QOR_STREAM_TRACE("Destroying stream buffer 0x%lx (%d)", Address(this), m_lState);
    m_lState = 1;
    ReleaseResources();
}

StatusCode qorStreamBuffer::Clear() {
    if (IsShared()) {
        return QOR_E_BUFFER_SHARED;
    }
    m_uFree = m_uCapacity;
    return QOR_S_OK;
}

StatusCode qorStreamBuffer::CopyFrom(const qorStreamBuffer& other) {
    if (&other == this) {
        return QOR_S_OK;
    }
    if (m_lState != 1 && m_lState != kLocked) {
        return QOR_E_BUFFER_SHARED;
    }
    int32_t state = m_lState;
    ReleaseResources();
    m_lState = state;
    m_uGrowBy = other.m_uGrowBy;
    uint8_t* allocation = nullptr;
    StatusCode status = AllocateBuffer(&allocation, other.m_uPrefix + other.m_uCapacity);
    if (status != QOR_S_OK) {
        return status;
    }
    if (allocation != nullptr) {
        std::memset(allocation, 0, other.m_uPrefix);
        if (other.m_uCapacity > 0) {
            std::memcpy(allocation + other.m_uPrefix, other.m_pbyData, other.m_uCapacity);
        }
        m_pbyData = allocation + other.m_uPrefix;
    }
    m_uPrefix = other.m_uPrefix;
    m_uCapacity = other.m_uCapacity;
    m_uFree = other.m_uFree;
    return QOR_S_OK;
}

StatusCode qorStreamBuffer::AcquireReference(qorStreamBufferOwner& owner) {
    if (owner.m_pBuffer == this) {
        return QOR_S_OK;
    }
    if (owner.m_pBuffer != nullptr) {
        StatusCode status = owner.m_pBuffer->ReleaseReference(owner);
        if (status != QOR_S_OK) {
            return status;
        }
    }
    if (m_lState >= 1) {
        ++m_lState;
        owner.m_pBuffer = this;
        QOR_STREAM_TRACE("Reference acquired to existing stream buffer 0x%lx (%x)", Address(this),
                         static_cast<unsigned>(m_lState));
        return QOR_S_OK;
    }
    // A locked buffer is being written by its holder: the new owner gets a
    // snapshot of its own.
    StatusCode status = owner.CloneBuffer(*this);
    if (status != QOR_S_OK) {
        QOR_STREAM_ERROR(nullptr, "Error %s allocating clone of stream buffer 0x%lx",
                         qorStream::StatusText(status).m_szText, Address(this));
        return status;
    }
    QOR_STREAM_TRACE("Reference acquired to stream buffer 0x%lx cloned from 0x%lx",
                     Address(owner.m_pBuffer), Address(this));
    return QOR_S_OK;
}

StatusCode qorStreamBuffer::ReleaseReference(qorStreamBufferOwner& owner) {
    owner.m_pBuffer = nullptr;
    if (!HasValidState()) {
        QOR_STREAM_ERROR(nullptr, "Error %s releasing buffer reference; was: %d",
                         qorStream::StatusText(QOR_E_WRONG_STATE).m_szText, m_lState);
        return QOR_E_WRONG_STATE;
    }
    int32_t state = m_lState == kLocked ? 1 : m_lState;
    QOR_STREAM_TRACE("Releasing reference on buffer 0x%lx (was: %d, will be: %d)", Address(this),
                     state, state - 1);
    if (state == 1) {
        delete this;
    } else {
        m_lState = state - 1;
    }
    return QOR_S_OK;
}

StatusCode qorStreamBuffer::LockFor(qorStreamBufferOwner& owner) {
    if (owner.m_pBuffer != this) {
        return QOR_E_INVALID_ARG;
    }
    if (m_lState == 1 || m_lState == kLocked) {
        m_lState = kLocked;
        QOR_STREAM_TRACE("Stream buffer 0x%lx locked", Address(this));
        return QOR_S_OK;
    }
    if (!HasValidState()) {
        return QOR_E_WRONG_STATE;
    }
    // Copy on write: the other owners keep this buffer as it is.
    --m_lState;
    owner.m_pBuffer = nullptr;
    StatusCode status = owner.CloneBuffer(*this);
    if (status != QOR_S_OK) {
        QOR_STREAM_ERROR(nullptr, "Error %x allocating new locked stream buffer from 0x%lx (%d)",
                         status, Address(this), m_lState);
        return status;
    }
    owner.m_pBuffer->m_lState = kLocked;
    QOR_STREAM_TRACE("Stream buffer 0x%lx locked; cloned from 0x%lx", Address(owner.m_pBuffer),
                     Address(this));
    return QOR_S_OK;
}

StatusCode qorStreamBuffer::Unlock() {
    if (m_lState == kLocked) {
        QOR_STREAM_TRACE("Stream buffer 0x%lx unlocked (was %d)", Address(this), m_lState);
        m_lState = 1;
    }
    return QOR_S_OK;
}

StatusCode qorStreamBuffer::Take(qorStreamBufferOwner& owner, uint8_t** allocation,
                                 uint32_t* prefix, uint32_t* end, uint32_t* length) {
    if (owner.m_pBuffer != this) {
        return QOR_E_INVALID_ARG;
    }
    if (!HasValidState()) {
        QOR_STREAM_ERROR(nullptr, "Error %s releasing buffer reference; was: %d",
                         qorStream::StatusText(QOR_E_WRONG_STATE).m_szText, m_lState);
        return QOR_E_WRONG_STATE;
    }
    if (IsShared()) {
        StatusCode status = LockFor(owner);
        if (status != QOR_S_OK) {
            return status;
        }
        return owner.m_pBuffer->Take(owner, allocation, prefix, end, length);
    }
    QOR_STREAM_TRACE("Taking buffer 0x%lx from 0x%lx (refcnt: %d)", Address(this), Address(&owner),
                     m_lState);
    owner.m_pBuffer = nullptr;
    owner.m_uReadPos = 0;
    *allocation = m_pbyData != nullptr ? m_pbyData - m_uPrefix : nullptr;
    *prefix = m_uPrefix;
    *end = m_uPrefix + m_uCapacity;
    *length = m_uCapacity - m_uFree;
    m_pbyData = nullptr;
    m_uPrefix = m_uCapacity = m_uFree = 0;
    delete this;
    return QOR_S_OK;
}

StatusCode qorStreamBuffer::Grow(uint32_t count) {
    if (IsShared()) {
        return QOR_E_BUFFER_SHARED;
    }
    if (count <= m_uFree) {
        return QOR_S_OK;
    }
    uint64_t growth = std::max<uint64_t>(uint64_t{m_uGrowBy} - m_uFree + count,
                                         uint64_t{m_uCapacity} * 3 / 2);
    uint64_t total = uint64_t{m_uPrefix} + m_uCapacity + growth;
    if (total > UINT32_MAX) {
        return QOR_E_ALLOC_FAILED;
    }
    QOR_STREAM_TRACE("Stream buffer 0x%lx growing from %u to %u", Address(this), m_uCapacity,
                     static_cast<uint32_t>(m_uCapacity + growth));
    uint8_t* allocation = nullptr;
    StatusCode status = AllocateBuffer(&allocation, static_cast<uint32_t>(total));
    if (status != QOR_S_OK) {
        return status;
    }
    uint32_t kept = m_uPrefix + m_uCapacity;
    if (m_pbyData != nullptr) {
        uint8_t* old = m_pbyData - m_uPrefix;
        if (kept > 0) {
            std::memcpy(allocation, old, kept);
        }
        std::free(old);
    }
    std::memset(allocation + kept, kUnwrittenFill, static_cast<size_t>(growth));
    m_pbyData = allocation + m_uPrefix;
    m_uCapacity += static_cast<uint32_t>(growth);
    m_uFree += static_cast<uint32_t>(growth);
    return QOR_S_OK;
}

StatusCode qorStreamBuffer::Write(const uint8_t* data, uint32_t count) {
    StatusCode status = Grow(count);
    if (status != QOR_S_OK || count == 0) {
        return status;
    }
    std::memcpy(m_pbyData + (m_uCapacity - m_uFree), data, count);
    m_uFree -= count;
    return QOR_S_OK;
}

StatusCode qorStreamBuffer::Unwrite(uint32_t count) {
    if (IsShared()) {
        return QOR_E_BUFFER_SHARED;
    }
    if (count > Length()) {
        return QOR_E_INVALID_ARG;
    }
    if (count == 0) {
        return QOR_S_OK;
    }
    m_uFree += count;
    std::memset(m_pbyData + (m_uCapacity - m_uFree), kUnwrittenFill, count);
    return QOR_S_OK;
}

StatusCode qorStreamBuffer::ReleaseResources() {
    if (m_lState != 1 && m_lState != kLocked) {
        QOR_STREAM_ERROR(nullptr, "Error %s releasing buffer resources -- object current in-use (%d)",
                         qorStream::StatusText(QOR_E_BUFFER_SHARED).m_szText, m_lState);
        return QOR_E_BUFFER_SHARED;
    }
    if (m_pbyData != nullptr) {
        std::free(m_pbyData - m_uPrefix);
    }
    m_pbyData = nullptr;
    m_uPrefix = m_uCapacity = m_uFree = 0;
    return QOR_S_OK;
}
