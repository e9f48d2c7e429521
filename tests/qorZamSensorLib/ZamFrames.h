#pragma once
// Ethernet frames for the signature module's tests and benchmark, built
// byte by byte, and the packet record that carries one into the module.

#include <cstdint>
#include <string>
#include <vector>

#include "rawpacket/Frame.h"

namespace zamtest {

constexpr uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | d;
}

struct FrameSpec {
    uint32_t m_dwSource = Ip(198, 51, 100, 7);
    uint32_t m_dwDestination = Ip(192, 0, 2, 10);
    uint8_t m_byProtocol = 6;
    uint16_t m_wSourcePort = 40000;
    uint16_t m_wDestinationPort = 80;
    uint8_t m_byTcpFlags = 0x02;
    uint32_t m_dwSequence = 1000;
    uint32_t m_dwAcknowledgement = 0;
    uint8_t m_byIcmpType = 8;
    uint16_t m_wFragmentWord = 0;  // flags and offset as on the wire
    std::string m_strPayload;
};

std::vector<uint8_t> BuildFrame(const FrameSpec& spec);

// Holds a frame and the sensor's packet record that points at it.
struct RecordedFrame {
    explicit RecordedFrame(std::vector<uint8_t> bytes, uint32_t dwSeconds = 100);
    RecordedFrame(const RecordedFrame&) = delete;
    RecordedFrame& operator=(const RecordedFrame&) = delete;
    const rp::PacketRecord* Record() const { return &m_Record; }

    std::vector<uint8_t> m_Bytes;
    rp::PacketRecord m_Record;
};

// Checksums recomputed from the bytes: true when the IPv4 header's and the
// TCP segment's both verify.
bool ChecksumsVerify(const uint8_t* frame, uint32_t length);

}  // namespace zamtest
