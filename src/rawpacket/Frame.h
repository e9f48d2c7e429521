#pragma once
// A frame as a packet driver delivers it: a view into the driver library's
// own packet record with the lengths, time stamp, medium, sequence number
// and flags.  Each driver owns one and fills it again on every read; the
// record goes back to the driver library (freeFrame) before the next read.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace rp {

// The packet record handed to the signature module and the packet log:
// its layout is fixed.
struct PacketRecord {
    uint32_t m_dwWireLength;
    uint32_t m_dwCapturedLength;
    uint32_t m_dwSeconds;
    uint32_t m_dwMicroseconds;
    const uint8_t* m_pData;
    uint32_t m_dwSequence;
    uint32_t m_dwMedium;
    uint32_t m_dwDllFlags;
    uint32_t m_dwFlagWord;
};

// Frame flag-word bits (bits 0 to 8; the others are the caller's).
enum : uint32_t {
    kFrameSentByHost = 1u << 0,
    kFrameBlock = 1u << 3,
    kFrameFlagBits = 0x1FFu,
};

// Names keyed by a 16-bit type code; "<Unknown Type>" for any other code.
class FrameNameMaps {
public:
    const std::string& lookup(uint16_t code) const;
    void set(uint16_t code, const std::string& name) { m_Names[code] = name; }

private:
    std::map<uint16_t, std::string> m_Names;
};

class Frame {
public:
    Frame();
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    // Copies what the frame says (the record still belongs to its reader).
    void copyFrom(const Frame& other);

    // A frame without a record: status, lengths, time, data, sequence and
    // DLL flags cleared; medium and flag bits 9 to 31 kept.
    void setEmpty(uint32_t status);
    // No frame but the driver library's words to its reader, with the
    // status kDllAdapterNotice; otherwise as setEmpty.
    void setNotice(std::string text);
    // A frame from the driver library's record.  `readMode` 3 means the two
    // time words are one count of 100-ns units since 1601.
    void setFromRecord(void* record, uint32_t sequence, uint32_t medium, uint32_t readMode);

    uint32_t kind() const { return m_dwKind; }
    uint32_t status() const { return m_dwStatus; }
    void* record() const { return m_pRecord; }
    const PacketRecord& packet() const { return m_Packet; }
    PacketRecord& packet() { return m_Packet; }
    bool blocked() const { return (m_Packet.m_dwFlagWord & kFrameBlock) != 0; }
    void setBlocked(bool block);
    int32_t lengthMark() const { return m_nLengthMark; }
    // The driver library's words when the status is kDllAdapterNotice;
    // empty otherwise.
    const std::string& text() const { return m_strText; }
    FrameNameMaps* nameMaps() const { return m_pNameMaps.get(); }

    // Frame flag bits from the driver library's flag values.
    static uint32_t flagBitsFromDll(uint32_t dllFlags);

private:
    uint32_t m_dwKind = 1;
    uint32_t m_dwStatus = 0;
    void* m_pRecord = nullptr;
    PacketRecord m_Packet{};
    std::string m_strText;
    uint32_t m_dwUnnamed = 14;
    std::unique_ptr<FrameNameMaps> m_pNameMaps;
    int32_t m_nLengthMark = -1;
};

}  // namespace rp
