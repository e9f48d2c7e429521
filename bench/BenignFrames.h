#pragma once
// The benign traffic the network benchmarks replay: 1,024 frames from many
// hosts (TCP segments, UDP datagrams, ICMP echoes), none an attack, each
// 60 bytes (64 on the wire, the size at which 1 GbE carries the most
// frames).

#include <cstdint>
#include <vector>

#include "qorZamSensorLib/ZamFrames.h"

namespace hwbench {

inline std::vector<std::vector<uint8_t>> BenignFrames() {
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t i = 0; i < 1024; ++i) {
        zamtest::FrameSpec spec;
        spec.m_dwSource = zamtest::Ip(198, 51, 100, static_cast<uint8_t>(1 + i % 200));
        spec.m_wSourcePort = static_cast<uint16_t>(40000 + i);
        spec.m_wDestinationPort = static_cast<uint16_t>(i % 3 == 0 ? 443 : 80);
        spec.m_byTcpFlags = i % 4 == 0 ? 0x02 : 0x10;
        if (i % 8 == 5) {
            spec.m_byProtocol = 17;
            spec.m_wDestinationPort = 53;
            spec.m_strPayload.assign(18, 'q');
        } else if (i % 8 == 7) {
            spec.m_byProtocol = 1;
            spec.m_strPayload.assign(18, 'p');
        } else if (i % 4 == 2) {
            spec.m_byTcpFlags = 0x18;
            spec.m_strPayload.assign(6, 'd');
        }
        std::vector<uint8_t> bytes = zamtest::BuildFrame(spec);
        bytes.resize(60, 0);
        frames.push_back(std::move(bytes));
    }
    return frames;
}

}  // namespace hwbench
