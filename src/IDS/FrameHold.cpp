#include "IDS/FrameHold.h"

#include <cstring>

namespace {

// What a kept frame's bytes follow; the data pointer of the record is
// made again when the frame is taken.
struct KeptHeader {
    uint32_t m_dwWireLength;
    uint32_t m_dwCapturedLength;
    uint32_t m_dwSeconds;
    uint32_t m_dwMicroseconds;
    uint32_t m_dwSequence;
    uint32_t m_dwMedium;
    uint32_t m_dwDllFlags;
    uint32_t m_dwFlagWord;
};

constexpr size_t kAlignment = 8;

size_t KeptSize(uint32_t dwCaptured) {
    return (sizeof(KeptHeader) + dwCaptured + kAlignment - 1) / kAlignment * kAlignment;
}

}  // namespace

FrameHold::FrameHold(size_t maxBytes)
    : m_nMaxBytes(maxBytes < kBlockBytes ? kBlockBytes : maxBytes), m_Queue(m_nMaxBytes, kBlockBytes) {}

bool FrameHold::Add(const rp::PacketRecord& packet) {
    const uint32_t dwCaptured = packet.m_pData != nullptr ? packet.m_dwCapturedLength : 0;
    const KeptHeader header{packet.m_dwWireLength, dwCaptured,         packet.m_dwSeconds,  packet.m_dwMicroseconds,
                            packet.m_dwSequence,   packet.m_dwMedium,  packet.m_dwDllFlags, packet.m_dwFlagWord};
    std::lock_guard<std::mutex> guard(m_lock);
    char* const pAt = m_Queue.Append(KeptSize(dwCaptured));
    if (pAt == nullptr) {
        ++m_qwLeftOut;
        return false;
    }
    std::memcpy(pAt, &header, sizeof header);
    if (dwCaptured != 0) {
        std::memcpy(pAt + sizeof header, packet.m_pData, dwCaptured);
    }
    return true;
}

void FrameHold::PopTakenLocked() {
    if (m_nTaken != 0) {
        m_Queue.PopFront(m_nTaken);
        m_nTaken = 0;
    }
}

bool FrameHold::Next(rp::PacketRecord& packet) {
    std::lock_guard<std::mutex> guard(m_lock);
    PopTakenLocked();
    const char* const pAt = m_Queue.Front();
    if (pAt == nullptr) {
        return false;
    }
    KeptHeader header;
    std::memcpy(&header, pAt, sizeof header);
    packet.m_dwWireLength = header.m_dwWireLength;
    packet.m_dwCapturedLength = header.m_dwCapturedLength;
    packet.m_dwSeconds = header.m_dwSeconds;
    packet.m_dwMicroseconds = header.m_dwMicroseconds;
    packet.m_pData = reinterpret_cast<const uint8_t*>(pAt) + sizeof header;
    packet.m_dwSequence = header.m_dwSequence;
    packet.m_dwMedium = header.m_dwMedium;
    packet.m_dwDllFlags = header.m_dwDllFlags;
    packet.m_dwFlagWord = header.m_dwFlagWord;
    m_nTaken = KeptSize(header.m_dwCapturedLength);
    return true;
}

size_t FrameHold::Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    PopTakenLocked();
    return m_Queue.Clear();
}

size_t FrameHold::Count() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_Queue.Count() - (m_nTaken != 0 ? 1 : 0);
}

size_t FrameHold::BytesInUse() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_Queue.BytesInUse();
}

uint64_t FrameHold::TakeLeftOut() {
    std::lock_guard<std::mutex> guard(m_lock);
    const uint64_t qwLeftOut = m_qwLeftOut;
    m_qwLeftOut = 0;
    return qwLeftOut;
}
