#include "hostwarden/CmlByteBuffer.h"

#include <cstdlib>
#include <cstring>

bool CmlByteBuffer::Set(const void* pBytes, uint32_t count) {
    if (count > m_dwCapacity) {
        std::free(m_pData);
        m_pData = static_cast<uint8_t*>(std::malloc(count));
        if (m_pData == nullptr) {
            m_dwLength = m_dwCapacity = 0;
            return false;
        }
        m_dwCapacity = count;
    }
    m_dwLength = count;
    if (count != 0) {
        std::memcpy(m_pData, pBytes, count);
    }
    return true;
}

bool CmlByteBuffer::Append(const void* pBytes, uint32_t count) {
    if (m_dwCapacity == 0) {
        return Set(pBytes, count);
    }
    if (count > UINT32_MAX - m_dwLength) {
        return false;
    }
    uint32_t newLength = m_dwLength + count;
    if (newLength < m_dwCapacity) {
        if (count != 0) {
            std::memcpy(m_pData + m_dwLength, pBytes, count);
        }
        m_dwLength = newLength;
        return true;
    }
    uint8_t* pNew = static_cast<uint8_t*>(std::malloc(newLength != 0 ? newLength : 1));
    if (pNew == nullptr) {
        return false;
    }
    if (m_dwLength != 0) {
        std::memcpy(pNew, m_pData, m_dwLength);
    }
    if (count != 0) {
        std::memcpy(pNew + m_dwLength, pBytes, count);
    }
    std::free(m_pData);
    m_pData = pNew;
    m_dwLength = m_dwCapacity = newLength;
    return true;
}

void CmlByteBuffer::Clear() {
    m_dwLength = m_dwCapacity = 0;
    std::free(m_pData);
    m_pData = nullptr;
}
