#include "IDS/FrameHold.h"

#include <cstring>
#include <new>

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

FrameHold::FrameHold(size_t maxBytes) : m_nMaxBytes(maxBytes < kBlockBytes ? kBlockBytes : maxBytes) {}

bool FrameHold::MakeBlock() {
    if (BytesInUse() + kBlockBytes > m_nMaxBytes) {
        return false;
    }
    Block block;
    block.m_pBytes = m_pSpare ? std::move(m_pSpare) : std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kBlockBytes]);
    if (!block.m_pBytes) {
        return false;
    }
    m_Blocks.push_back(std::move(block));
    return true;
}

bool FrameHold::Add(const rp::PacketRecord& packet) {
    const uint32_t dwCaptured = packet.m_pData != nullptr ? packet.m_dwCapturedLength : 0;
    const size_t size = KeptSize(dwCaptured);
    if (size > kBlockBytes ||
        ((m_Blocks.empty() || m_Blocks.back().m_nUsed + size > kBlockBytes) && !MakeBlock())) {
        ++m_qwLeftOut;
        return false;
    }
    Block& block = m_Blocks.back();
    uint8_t* pAt = block.m_pBytes.get() + block.m_nUsed;
    const KeptHeader header{packet.m_dwWireLength, dwCaptured,         packet.m_dwSeconds,  packet.m_dwMicroseconds,
                            packet.m_dwSequence,   packet.m_dwMedium,  packet.m_dwDllFlags, packet.m_dwFlagWord};
    std::memcpy(pAt, &header, sizeof header);
    if (dwCaptured != 0) {
        std::memcpy(pAt + sizeof header, packet.m_pData, dwCaptured);
    }
    block.m_nUsed += size;
    ++m_nCount;
    return true;
}

bool FrameHold::Next(rp::PacketRecord& packet) {
    while (!m_Blocks.empty() && m_nReadAt >= m_Blocks.front().m_nUsed) {
        // The first block is read to its end: it goes, unless it is the
        // last, which frames go on filling from its start.
        if (m_Blocks.size() == 1) {
            m_Blocks.front().m_nUsed = 0;
            m_nReadAt = 0;
            return false;
        }
        m_pSpare = std::move(m_Blocks.front().m_pBytes);
        m_Blocks.pop_front();
        m_nReadAt = 0;
    }
    if (m_Blocks.empty()) {
        return false;
    }
    const uint8_t* pAt = m_Blocks.front().m_pBytes.get() + m_nReadAt;
    KeptHeader header;
    std::memcpy(&header, pAt, sizeof header);
    packet.m_dwWireLength = header.m_dwWireLength;
    packet.m_dwCapturedLength = header.m_dwCapturedLength;
    packet.m_dwSeconds = header.m_dwSeconds;
    packet.m_dwMicroseconds = header.m_dwMicroseconds;
    packet.m_pData = pAt + sizeof header;
    packet.m_dwSequence = header.m_dwSequence;
    packet.m_dwMedium = header.m_dwMedium;
    packet.m_dwDllFlags = header.m_dwDllFlags;
    packet.m_dwFlagWord = header.m_dwFlagWord;
    m_nReadAt += KeptSize(header.m_dwCapturedLength);
    --m_nCount;
    return true;
}

size_t FrameHold::Clear() {
    const size_t nCount = m_nCount;
    while (m_Blocks.size() > 1) {
        m_Blocks.pop_back();
    }
    if (!m_Blocks.empty()) {
        m_Blocks.front().m_nUsed = 0;
    }
    m_nReadAt = 0;
    m_nCount = 0;
    return nCount;
}

uint64_t FrameHold::TakeLeftOut() {
    const uint64_t qwLeftOut = m_qwLeftOut;
    m_qwLeftOut = 0;
    return qwLeftOut;
}
