#include "rawpacket/Frame.h"

#include <utility>

#include "rawpacket/AdapterInfo.h"
#include "rawpacket/PacketAdapterEntry.h"
#include "rawpacket/PacketDll.h"
#include "rawpacket/RpErrors.h"

namespace rp {
namespace {

// Driver-library flag value for frame bits 0 to 8.
constexpr uint32_t kDllFlagOfBit[9] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x80, 0x20, 0x100, 0x40};

// 100-ns units between 1601-01-01 and 1970-01-01, in seconds.
constexpr uint64_t kEpochDifferenceSeconds = 11644473600ull;

}  // namespace

const std::string& FrameNameMaps::lookup(uint16_t code) const {
    static const std::string unknown = "<Unknown Type>";
    auto found = m_Names.find(code);
    return found == m_Names.end() ? unknown : found->second;
}

Frame::Frame() { m_Packet.m_dwMedium = kMediumUnknown; }

void Frame::copyFrom(const Frame& other) {
    m_dwKind = other.m_dwKind;
    m_dwStatus = other.m_dwStatus;
    m_pRecord = other.m_pRecord;
    m_Packet = other.m_Packet;
    m_strText = other.m_strText;
    m_dwUnnamed = other.m_dwUnnamed;
    m_nLengthMark = other.m_nLengthMark;
}

uint32_t Frame::flagBitsFromDll(uint32_t dllFlags) {
    uint32_t bits = 0;
    for (uint32_t bit = 0; bit < 9; ++bit) {
        if ((dllFlags & kDllFlagOfBit[bit]) != 0) {
            bits |= 1u << bit;
        }
    }
    return bits;
}

void Frame::setBlocked(bool block) {
    m_Packet.m_dwFlagWord = block ? (m_Packet.m_dwFlagWord | kFrameBlock) : (m_Packet.m_dwFlagWord & ~kFrameBlock);
}

void Frame::setEmpty(uint32_t status) {
    m_dwKind = 1;
    m_dwStatus = status;
    m_pRecord = nullptr;
    m_Packet.m_dwWireLength = 0;
    m_Packet.m_dwCapturedLength = 0;
    m_Packet.m_dwSeconds = 0;
    m_Packet.m_dwMicroseconds = 0;
    m_Packet.m_pData = nullptr;
    m_Packet.m_dwSequence = 0;
    m_Packet.m_dwDllFlags = 0;
    m_Packet.m_dwFlagWord &= ~kFrameFlagBits;
    m_nLengthMark = -1;
    m_strText.clear();
}

void Frame::setNotice(std::string text) {
    setEmpty(kDllAdapterNotice);
    m_strText = std::move(text);
}

void Frame::setFromRecord(void* record, uint32_t sequence, uint32_t medium, uint32_t readMode) {
    m_dwKind = 1;
    m_dwStatus = 0;
    m_nLengthMark = -1;
    m_strText.clear();
    m_pRecord = record;
    m_Packet.m_dwWireLength = RecordWord(record, kRecordWireLength);
    m_Packet.m_dwCapturedLength = RecordWord(record, kRecordCapturedLength);
    m_Packet.m_pData = static_cast<const uint8_t*>(record) + kRecordHeaderSize + RecordWord(record, kRecordDataOffset);
    m_Packet.m_dwSequence = sequence;
    m_Packet.m_dwMedium = medium;
    m_Packet.m_dwDllFlags = RecordWord(record, kRecordFlags);
    m_Packet.m_dwFlagWord = (m_Packet.m_dwFlagWord & ~kFrameFlagBits) | flagBitsFromDll(m_Packet.m_dwDllFlags);
    uint32_t first = RecordWord(record, kRecordTime1);
    uint32_t second = RecordWord(record, kRecordTime2);
    if (readMode == 3) {
        uint64_t count = (static_cast<uint64_t>(second) << 32) | first;
        m_Packet.m_dwSeconds = static_cast<uint32_t>(count / 10000000ull - kEpochDifferenceSeconds);
        m_Packet.m_dwMicroseconds = static_cast<uint32_t>((count / 10) % 1000000ull);
    } else {
        m_Packet.m_dwSeconds = first;
        m_Packet.m_dwMicroseconds = second;
    }
}

bool read(PacketDll& binding, Frame& frame, const AdapterInfo& info) {
    void* record = nullptr;
    uint32_t status = binding.m_pfnPacketRead(binding.lookupEntry(), info.m_dwReadTimeout, &record);
    if (status == kDllAdapterNotice) {
        std::string text;
        if (binding.takeNotice(text)) {
            frame.setNotice(std::move(text));
            return false;
        }
        // Words announced but not there are nothing read.
        status = kDllNothingRead;
    }
    if (status != 0 || record == nullptr) {
        frame.setEmpty(status != 0 ? status : kDllNothingRead);
        return false;
    }
    ++binding.m_dwFrameSequence;
    frame.setFromRecord(record, binding.m_dwFrameSequence, info.m_dwMedium, info.m_dwReadMode);
    return true;
}

}  // namespace rp
