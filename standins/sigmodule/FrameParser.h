#pragma once
// Reads the headers of one captured frame: Ethernet (with at most one VLAN
// tag), then ARP or IPv4, then TCP, UDP or ICMP.  Every length comes from
// the frame, so every field is checked against the captured bytes before it
// is read; the parser never looks past `length`.

#include <cstdint>

namespace sigmod {

enum class FrameKind : uint8_t {
    kTruncated,  // not even a whole Ethernet header
    kOther,      // an Ethernet frame of some other type
    kArp,
    kIpv4Bad,    // an IPv4 header that is cut short or inconsistent
    kIpv4,       // IPv4 whose transport header is absent (a later fragment,
                 // another protocol) or cut short
    kTcp,
    kUdp,
    kIcmp,
};

struct ParsedFrame {
    FrameKind m_Kind = FrameKind::kTruncated;
    const uint8_t* m_pFrame = nullptr;
    uint32_t m_dwLength = 0;
    uint32_t m_dwL3Offset = 0;  // after the Ethernet header and any VLAN tag
    uint16_t m_wEtherType = 0;
    const uint8_t* m_pDestinationMac = nullptr;
    const uint8_t* m_pSourceMac = nullptr;

    // IPv4 (addresses in host order).
    uint32_t m_dwSource = 0;
    uint32_t m_dwDestination = 0;
    uint8_t m_byProtocol = 0;
    uint8_t m_byTtl = 0;
    uint16_t m_wTotalLength = 0;
    uint16_t m_wIdentification = 0;
    uint16_t m_wFragmentOffset = 0;  // in units of 8 bytes
    bool m_bMoreFragments = false;
    uint32_t m_dwIpHeaderLength = 0;
    uint32_t m_dwL4Offset = 0;
    // IP payload bytes the header declares, and how many of them were captured.
    uint32_t m_dwIpPayloadLength = 0;
    uint32_t m_dwIpPayloadCaptured = 0;

    // Transport (ports in host order).
    uint16_t m_wSourcePort = 0;
    uint16_t m_wDestinationPort = 0;
    uint32_t m_dwSequence = 0;
    uint32_t m_dwAcknowledgement = 0;
    uint8_t m_byTcpFlags = 0;
    uint8_t m_byIcmpType = 0;
    uint8_t m_byIcmpCode = 0;
    uint32_t m_dwPayloadOffset = 0;
    uint32_t m_dwPayloadLength = 0;  // captured payload bytes only

    bool IsIpv4() const { return m_Kind >= FrameKind::kIpv4; }
    bool IsFragment() const { return m_wFragmentOffset != 0 || m_bMoreFragments; }
    const uint8_t* Payload() const { return m_pFrame + m_dwPayloadOffset; }
};

enum : uint8_t {
    kTcpFin = 0x01,
    kTcpSyn = 0x02,
    kTcpRst = 0x04,
    kTcpPsh = 0x08,
    kTcpAck = 0x10,
};

ParsedFrame ParseFrame(const uint8_t* pFrame, uint32_t dwLength);

uint16_t ReadBe16(const uint8_t* p);
uint32_t ReadBe32(const uint8_t* p);

}  // namespace sigmod
