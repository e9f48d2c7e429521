#include "FrameParser.h"

namespace sigmod {

namespace {

constexpr uint32_t kEthernetHeader = 14;
constexpr uint32_t kVlanTag = 4;
constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherArp = 0x0806;
constexpr uint16_t kEtherVlan = 0x8100;
constexpr uint32_t kMinIpHeader = 20;
constexpr uint32_t kMinTcpHeader = 20;
constexpr uint32_t kUdpHeader = 8;
constexpr uint32_t kIcmpHeader = 8;

// The transport header of a first (or only) fragment; the frame stays
// kIpv4 when it is not all there.
void ParseTransport(ParsedFrame& frame) {
    const uint8_t* l4 = frame.m_pFrame + frame.m_dwL4Offset;
    uint32_t avail = frame.m_dwIpPayloadCaptured;
    uint32_t header = 0;
    switch (frame.m_byProtocol) {
    case 6: {
        if (avail < kMinTcpHeader) {
            return;
        }
        header = static_cast<uint32_t>(l4[12] >> 4) * 4;
        if (header < kMinTcpHeader || header > avail) {
            return;
        }
        frame.m_wSourcePort = ReadBe16(l4);
        frame.m_wDestinationPort = ReadBe16(l4 + 2);
        frame.m_dwSequence = ReadBe32(l4 + 4);
        frame.m_dwAcknowledgement = ReadBe32(l4 + 8);
        frame.m_byTcpFlags = l4[13];
        frame.m_Kind = FrameKind::kTcp;
        break;
    }
    case 17:
        if (avail < kUdpHeader) {
            return;
        }
        header = kUdpHeader;
        frame.m_wSourcePort = ReadBe16(l4);
        frame.m_wDestinationPort = ReadBe16(l4 + 2);
        frame.m_Kind = FrameKind::kUdp;
        break;
    case 1:
        if (avail < kIcmpHeader) {
            return;
        }
        header = kIcmpHeader;
        frame.m_byIcmpType = l4[0];
        frame.m_byIcmpCode = l4[1];
        frame.m_Kind = FrameKind::kIcmp;
        break;
    default:
        return;
    }
    frame.m_dwPayloadOffset = frame.m_dwL4Offset + header;
    frame.m_dwPayloadLength = avail - header;
}

void ParseIpv4(ParsedFrame& frame) {
    frame.m_Kind = FrameKind::kIpv4Bad;
    uint32_t avail = frame.m_dwLength - frame.m_dwL3Offset;
    const uint8_t* ip = frame.m_pFrame + frame.m_dwL3Offset;
    if (avail < kMinIpHeader || (ip[0] >> 4) != 4) {
        return;
    }
    uint32_t header = static_cast<uint32_t>(ip[0] & 0x0F) * 4;
    uint16_t total = ReadBe16(ip + 2);
    if (header < kMinIpHeader || header > avail || total < header) {
        return;
    }
    frame.m_dwIpHeaderLength = header;
    frame.m_wTotalLength = total;
    frame.m_wIdentification = ReadBe16(ip + 4);
    uint16_t fragment = ReadBe16(ip + 6);
    frame.m_bMoreFragments = (fragment & 0x2000) != 0;
    frame.m_wFragmentOffset = fragment & 0x1FFF;
    frame.m_byTtl = ip[8];
    frame.m_byProtocol = ip[9];
    frame.m_dwSource = ReadBe32(ip + 12);
    frame.m_dwDestination = ReadBe32(ip + 16);
    frame.m_dwL4Offset = frame.m_dwL3Offset + header;
    frame.m_dwIpPayloadLength = total - header;
    // Trailing Ethernet padding is not payload; a short capture holds less.
    uint32_t captured = avail - header;
    frame.m_dwIpPayloadCaptured =
        captured < frame.m_dwIpPayloadLength ? captured : frame.m_dwIpPayloadLength;
    frame.m_Kind = FrameKind::kIpv4;
    if (frame.m_wFragmentOffset == 0) {
        ParseTransport(frame);
    }
}

}  // namespace

uint16_t ReadBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t ReadBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

ParsedFrame ParseFrame(const uint8_t* pFrame, uint32_t dwLength) {
    ParsedFrame frame;
    frame.m_pFrame = pFrame;
    frame.m_dwLength = dwLength;
    if (pFrame == nullptr || dwLength < kEthernetHeader) {
        return frame;
    }
    frame.m_pDestinationMac = pFrame;
    frame.m_pSourceMac = pFrame + 6;
    uint32_t offset = 12;
    uint16_t type = ReadBe16(pFrame + offset);
    if (type == kEtherVlan) {
        if (dwLength < kEthernetHeader + kVlanTag) {
            return frame;
        }
        offset += kVlanTag;
        type = ReadBe16(pFrame + offset);
    }
    frame.m_wEtherType = type;
    frame.m_dwL3Offset = offset + 2;
    frame.m_Kind = FrameKind::kOther;
    if (type == kEtherArp) {
        frame.m_Kind = FrameKind::kArp;
    } else if (type == kEtherIpv4) {
        ParseIpv4(frame);
    }
    return frame;
}

}  // namespace sigmod
