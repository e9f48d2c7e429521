#include "ZamFrames.h"

namespace zamtest {

namespace {

void Put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
    Put16(out, static_cast<uint16_t>(value >> 16));
    Put16(out, static_cast<uint16_t>(value));
}

uint32_t OnesSum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i) {
        sum += (i % 2 == 0) ? uint32_t(data[i]) << 8 : data[i];
    }
    return sum;
}

uint16_t Fold(uint32_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(sum);
}

}  // namespace

std::vector<uint8_t> BuildFrame(const FrameSpec& spec) {
    std::vector<uint8_t> frame = {0x02, 0, 0, 0, 0, 0x0A, 0x02, 0, 0, 0, 0, 0x07, 0x08, 0x00};
    std::vector<uint8_t> l4;
    if (spec.m_byProtocol == 6) {
        Put16(l4, spec.m_wSourcePort);
        Put16(l4, spec.m_wDestinationPort);
        Put32(l4, spec.m_dwSequence);
        Put32(l4, spec.m_dwAcknowledgement);
        l4.push_back(0x50);
        l4.push_back(spec.m_byTcpFlags);
        Put16(l4, 65535);
        Put32(l4, 0);
    } else if (spec.m_byProtocol == 17) {
        Put16(l4, spec.m_wSourcePort);
        Put16(l4, spec.m_wDestinationPort);
        Put16(l4, static_cast<uint16_t>(8 + spec.m_strPayload.size()));
        Put16(l4, 0);
    } else if (spec.m_byProtocol == 1) {
        l4 = {spec.m_byIcmpType, 0, 0, 0, 0, 1, 0, 1};
    }
    l4.insert(l4.end(), spec.m_strPayload.begin(), spec.m_strPayload.end());
    std::vector<uint8_t> ip;
    ip.push_back(0x45);
    ip.push_back(0);
    Put16(ip, static_cast<uint16_t>(20 + l4.size()));
    Put16(ip, 0x1234);
    Put16(ip, spec.m_wFragmentWord);
    ip.push_back(64);
    ip.push_back(spec.m_byProtocol);
    Put16(ip, 0);
    Put32(ip, spec.m_dwSource);
    Put32(ip, spec.m_dwDestination);
    uint16_t checksum = static_cast<uint16_t>(~Fold(OnesSum(ip.data(), ip.size())));
    ip[10] = static_cast<uint8_t>(checksum >> 8);
    ip[11] = static_cast<uint8_t>(checksum);
    frame.insert(frame.end(), ip.begin(), ip.end());
    frame.insert(frame.end(), l4.begin(), l4.end());
    return frame;
}

RecordedFrame::RecordedFrame(std::vector<uint8_t> bytes, uint32_t dwSeconds)
    : m_Bytes(std::move(bytes)), m_Record{} {
    m_Record.m_dwWireLength = static_cast<uint32_t>(m_Bytes.size());
    m_Record.m_dwCapturedLength = static_cast<uint32_t>(m_Bytes.size());
    m_Record.m_dwSeconds = dwSeconds;
    m_Record.m_pData = m_Bytes.empty() ? nullptr : m_Bytes.data();
    m_Record.m_dwSequence = 1;
}

bool ChecksumsVerify(const uint8_t* frame, uint32_t length) {
    uint32_t l3 = (frame[12] == 0x81 && frame[13] == 0x00) ? 18 : 14;
    const uint8_t* ip = frame + l3;
    uint32_t header = (ip[0] & 0x0F) * 4u;
    uint32_t total = (uint32_t(ip[2]) << 8) | ip[3];
    if (l3 + total > length || Fold(OnesSum(ip, header)) != 0xFFFF) {
        return false;
    }
    uint8_t pseudo[12] = {ip[12], ip[13], ip[14], ip[15], ip[16], ip[17], ip[18], ip[19], 0, 6,
                          static_cast<uint8_t>((total - header) >> 8),
                          static_cast<uint8_t>(total - header)};
    return Fold(OnesSum(pseudo, 12) + OnesSum(ip + header, total - header)) == 0xFFFF;
}

}  // namespace zamtest
