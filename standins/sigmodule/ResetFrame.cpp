#include "ResetFrame.h"

#include <cstring>

namespace sigmod {

namespace {

constexpr uint32_t kIpHeader = 20;
constexpr uint32_t kTcpHeader = 20;

void WriteBe16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

void WriteBe32(uint8_t* p, uint32_t value) {
    WriteBe16(p, static_cast<uint16_t>(value >> 16));
    WriteBe16(p + 2, static_cast<uint16_t>(value));
}

uint32_t SumWords(const uint8_t* data, uint32_t length, uint32_t sum) {
    for (uint32_t i = 0; i + 1 < length; i += 2) {
        sum += ReadBe16(data + i);
    }
    if ((length & 1) != 0) {
        sum += static_cast<uint32_t>(data[length - 1]) << 8;
    }
    return sum;
}

// Sequence space a segment takes: its data, and one each for SYN and FIN.
uint32_t SegmentLength(const ParsedFrame& frame) {
    uint32_t length = frame.m_dwIpPayloadLength - (frame.m_dwPayloadOffset - frame.m_dwL4Offset);
    length += (frame.m_byTcpFlags & kTcpSyn) != 0 ? 1 : 0;
    length += (frame.m_byTcpFlags & kTcpFin) != 0 ? 1 : 0;
    return length;
}

}  // namespace

uint16_t InternetChecksum(const uint8_t* data, uint32_t length, uint32_t sum) {
    sum = SumWords(data, length, sum);
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

void BuildReset(const ParsedFrame& frame, bool bReverse, ResetFrame& reset) {
    reset.m_bValid = false;
    reset.m_dwLength = 0;
    if (frame.m_Kind != FrameKind::kTcp || (frame.m_byTcpFlags & kTcpRst) != 0) {
        return;
    }
    uint8_t* out = reset.m_Bytes;
    uint32_t l2 = frame.m_dwL3Offset;
    std::memcpy(out, frame.m_pFrame, l2);
    if (bReverse) {
        std::memcpy(out, frame.m_pSourceMac, 6);
        std::memcpy(out + 6, frame.m_pDestinationMac, 6);
    }
    uint32_t source = bReverse ? frame.m_dwDestination : frame.m_dwSource;
    uint32_t destination = bReverse ? frame.m_dwSource : frame.m_dwDestination;
    uint16_t sourcePort = bReverse ? frame.m_wDestinationPort : frame.m_wSourcePort;
    uint16_t destinationPort = bReverse ? frame.m_wSourcePort : frame.m_wDestinationPort;
    bool acked = (frame.m_byTcpFlags & kTcpAck) != 0;
    uint32_t next = frame.m_dwSequence + SegmentLength(frame);
    // Towards the destination the reset continues the sender's sequence;
    // back to the sender it takes the sequence the sender acknowledged and
    // acknowledges everything the segment carried.
    uint32_t sequence = bReverse ? (acked ? frame.m_dwAcknowledgement : 0) : next;
    uint32_t acknowledgement = bReverse ? next : frame.m_dwAcknowledgement;
    bool sendAck = bReverse || acked;

    uint8_t* ip = out + l2;
    std::memset(ip, 0, kIpHeader + kTcpHeader);
    ip[0] = 0x45;
    WriteBe16(ip + 2, kIpHeader + kTcpHeader);
    WriteBe16(ip + 6, 0x4000);
    ip[8] = 64;
    ip[9] = 6;
    WriteBe32(ip + 12, source);
    WriteBe32(ip + 16, destination);
    WriteBe16(ip + 10, InternetChecksum(ip, kIpHeader));

    uint8_t* tcp = ip + kIpHeader;
    WriteBe16(tcp, sourcePort);
    WriteBe16(tcp + 2, destinationPort);
    WriteBe32(tcp + 4, sequence);
    WriteBe32(tcp + 8, sendAck ? acknowledgement : 0);
    tcp[12] = (kTcpHeader / 4) << 4;
    tcp[13] = static_cast<uint8_t>(kTcpRst | (sendAck ? kTcpAck : 0));
    uint8_t pseudo[12];
    WriteBe32(pseudo, source);
    WriteBe32(pseudo + 4, destination);
    pseudo[8] = 0;
    pseudo[9] = 6;
    WriteBe16(pseudo + 10, kTcpHeader);
    WriteBe16(tcp + 16, InternetChecksum(tcp, kTcpHeader, SumWords(pseudo, sizeof(pseudo), 0)));

    reset.m_dwL3Offset = l2;
    reset.m_dwLength = l2 + kIpHeader + kTcpHeader;
    reset.m_bValid = true;
}

}  // namespace sigmod
