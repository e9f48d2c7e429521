#include "qorToolsLib/qorStreamBufferOwner.h"

#include <new>

#include "qorToolsLib/QORError.h"

#define OWNER_FAIL(status) Fail((status), "osStatus", __FILE__, __LINE__)

qorStreamTypes::~qorStreamTypes() = default;

qorStreamBufferOwner::qorStreamBufferOwner(bool noThrow, uint32_t growBy)
    : m_bNoThrow(noThrow ? 1 : 0), m_uGrowBy(growBy), m_pBuffer(nullptr), m_uReadPos(0) {}

qorStreamBufferOwner::qorStreamBufferOwner(const qorStreamBufferOwner& other)
    : qorStreamTypes(other), m_bNoThrow(other.m_bNoThrow), m_uGrowBy(other.m_uGrowBy),
      m_pBuffer(nullptr), m_uReadPos(0) {
    qorStreamBufferOwner::ShareBuffer(other);
}

qorStreamBufferOwner& qorStreamBufferOwner::operator=(const qorStreamBufferOwner& other) {
    ShareBuffer(other);
    return *this;
}

qorStreamBufferOwner::~qorStreamBufferOwner() {
    // A destructor cannot report: a reference in an invalid state is
    // dropped rather than ending the process.
    if (m_pBuffer != nullptr) {
        m_pBuffer->ReleaseReference(*this);
    }
}

StatusCode qorStreamBufferOwner::Fail(StatusCode status, const char* callText, const char* file,
                                      unsigned line) const {
    if (status != QOR_S_OK && m_bNoThrow == 0) {
        throw qorErrorException(status, callText, file, line);
    }
    return status;
}

StatusCode qorStreamBufferOwner::ShareBuffer(const qorStreamBufferOwner& other) {
    if (&other == this) {
        return QOR_S_OK;
    }
    // Through the override: an encoder forgets its open structure and a
    // decoder its depth, which belong to the buffer being let go.
    StatusCode status = ReleaseBuffer();
    if (status != QOR_S_OK) {
        return OWNER_FAIL(status);
    }
    m_bNoThrow = other.m_bNoThrow;
    m_uGrowBy = other.m_uGrowBy;
    m_uReadPos = other.m_uReadPos;
    if (other.m_pBuffer != nullptr) {
        status = other.m_pBuffer->AcquireReference(*this);
    }
    return OWNER_FAIL(status);
}

uint8_t* qorStreamBufferOwner::GetData() const { return RawData(); }

StatusCode qorStreamBufferOwner::TakeBuffer(uint8_t** allocation, uint32_t* prefix,
                                            uint32_t* end, uint32_t* length) {
    *allocation = nullptr;
    *prefix = *end = *length = 0;
    if (m_pBuffer == nullptr) {
        return QOR_S_OK;
    }
    return OWNER_FAIL(m_pBuffer->Take(*this, allocation, prefix, end, length));
}

StatusCode qorStreamBufferOwner::ReleaseBuffer() {
    m_uReadPos = 0;
    if (m_pBuffer == nullptr) {
        return QOR_S_OK;
    }
    return OWNER_FAIL(m_pBuffer->ReleaseReference(*this));
}

uint32_t qorStreamBufferOwner::GetPosition() const { return m_uReadPos; }

uint32_t qorStreamBufferOwner::GetUnread() const {
    if (m_pBuffer == nullptr || m_uReadPos >= m_pBuffer->Length()) {
        return 0;
    }
    return m_pBuffer->Length() - m_uReadPos;
}

uint32_t qorStreamBufferOwner::GetLength() const {
    return m_pBuffer != nullptr ? m_pBuffer->Length() : 0;
}

uint32_t qorStreamBufferOwner::GetFree() const {
    return m_pBuffer != nullptr ? m_pBuffer->Free() : 0;
}

uint32_t qorStreamBufferOwner::GetCapacity() const {
    return m_pBuffer != nullptr ? m_pBuffer->Capacity() : 0;
}

void qorStreamBufferOwner::Rewind() { m_uReadPos = 0; }

StatusCode qorStreamBufferOwner::Clear() {
    m_uReadPos = 0;
    if (m_pBuffer == nullptr) {
        return QOR_S_OK;
    }
    if (m_pBuffer->IsShared()) {
        // Emptying a shared buffer would empty it for every owner; this
        // owner starts a fresh one instead.
        uint32_t prefix = m_pBuffer->Prefix();
        StatusCode status = m_pBuffer->ReleaseReference(*this);
        if (status == QOR_S_OK) {
            status = CreateWriteBuffer(prefix);
        }
        return OWNER_FAIL(status);
    }
    return OWNER_FAIL(m_pBuffer->Clear());
}

StatusCode qorStreamBufferOwner::Lock() {
    if (m_pBuffer == nullptr) {
        return OWNER_FAIL(QOR_E_INVALID_DATA);
    }
    return OWNER_FAIL(m_pBuffer->LockFor(*this));
}

StatusCode qorStreamBufferOwner::Unlock() {
    if (m_pBuffer == nullptr) {
        return QOR_S_OK;
    }
    return OWNER_FAIL(m_pBuffer->Unlock());
}

StatusCode qorStreamBufferOwner::Read(const uint8_t** address, uint32_t count, bool consume) {
    if (count == 0) {
        return QOR_S_OK;
    }
    if (m_pBuffer == nullptr) {
        return OWNER_FAIL(QOR_E_WRONG_STATE);
    }
    if (count > GetUnread()) {
        return OWNER_FAIL(QOR_E_NOT_ENOUGH_DATA);
    }
    *address = m_pBuffer->Data() + m_uReadPos;
    if (consume) {
        m_uReadPos += count;
    }
    return QOR_S_OK;
}

StatusCode qorStreamBufferOwner::Write(const uint8_t* data, uint32_t count) {
    return OWNER_FAIL(WriteQuiet(data, count));
}

StatusCode qorStreamBufferOwner::Unwrite(uint32_t count) {
    return OWNER_FAIL(UnwriteQuiet(count));
}

StatusCode qorStreamBufferOwner::WriteQuiet(const uint8_t* data, uint32_t count) {
    if (m_pBuffer == nullptr) {
        auto* buffer = new (std::nothrow) qorStreamBuffer(m_uGrowBy, 0);
        if (buffer == nullptr || !buffer->IsValid()) {
            delete buffer;
            return QOR_E_ALLOC_FAILED;
        }
        m_pBuffer = buffer;
    }
    return m_pBuffer->Write(data, count);
}

StatusCode qorStreamBufferOwner::UnwriteQuiet(uint32_t count) {
    if (m_pBuffer == nullptr) {
        return QOR_E_INVALID_DATA;
    }
    StatusCode status = m_pBuffer->Unwrite(count);
    if (status == QOR_S_OK && m_uReadPos > m_pBuffer->Length()) {
        m_uReadPos = m_pBuffer->Length();
    }
    return status;
}

StatusCode qorStreamBufferOwner::Attach(qorStreamBuffer* buffer) {
    if (buffer == nullptr || !buffer->IsValid()) {
        delete buffer;
        return OWNER_FAIL(QOR_E_ALLOC_FAILED);
    }
    m_pBuffer = buffer;
    return QOR_S_OK;
}

StatusCode qorStreamBufferOwner::CreateReadBuffer(const uint8_t* data, uint32_t length) {
    if (m_pBuffer != nullptr) {
        return OWNER_FAIL(QOR_E_WRONG_STATE);
    }
    if (data == nullptr && length > 0) {
        return OWNER_FAIL(QOR_E_INVALID_ARG);
    }
    return Attach(new (std::nothrow) qorStreamBuffer(data, length, m_uGrowBy));
}

StatusCode qorStreamBufferOwner::AdoptReadBuffer(uint8_t** allocation, uint32_t prefix,
                                                 uint32_t written, uint32_t total) {
    if (m_pBuffer != nullptr) {
        return OWNER_FAIL(QOR_E_WRONG_STATE);
    }
    if (allocation == nullptr || *allocation == nullptr || prefix > total ||
        written > total - prefix) {
        return OWNER_FAIL(QOR_E_INVALID_ARG);
    }
    auto* buffer = new (std::nothrow) qorStreamBuffer(*allocation, prefix, written, total, m_uGrowBy);
    if (buffer == nullptr) {
        return OWNER_FAIL(QOR_E_ALLOC_FAILED);
    }
    *allocation = nullptr;
    m_pBuffer = buffer;
    return QOR_S_OK;
}

StatusCode qorStreamBufferOwner::CreateWriteBuffer(uint32_t prefix) {
    if (m_pBuffer != nullptr) {
        return OWNER_FAIL(QOR_E_WRONG_STATE);
    }
    return Attach(new (std::nothrow) qorStreamBuffer(m_uGrowBy, prefix));
}

StatusCode qorStreamBufferOwner::CloneBuffer(const qorStreamBuffer& buffer) {
    if (m_pBuffer != nullptr) {
        return OWNER_FAIL(QOR_E_WRONG_STATE);
    }
    auto* copy = new (std::nothrow) qorStreamBuffer(qorStreamBuffer::kCopyGrowth, 0);
    if (copy == nullptr || copy->CopyFrom(buffer) != QOR_S_OK) {
        delete copy;
        return OWNER_FAIL(QOR_E_ALLOC_FAILED);
    }
    m_pBuffer = copy;
    return QOR_S_OK;
}

#undef OWNER_FAIL
