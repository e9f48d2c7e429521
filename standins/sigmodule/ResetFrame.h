#pragma once
// A TCP reset that ends the connection a captured segment belongs to,
// either in the segment's own direction or back to its sender, with the
// Ethernet (and VLAN) header of the original and correct checksums.

#include <cstdint>

#include "FrameParser.h"

namespace sigmod {

struct ResetFrame {
    static constexpr uint32_t kMaxLength = 18 + 20 + 20;

    bool m_bValid = false;
    uint32_t m_dwLength = 0;
    uint32_t m_dwL3Offset = 0;
    uint8_t m_Bytes[kMaxLength] = {};
};

// Invalid for anything but a whole TCP header over IPv4, and for a reset.
void BuildReset(const ParsedFrame& frame, bool bReverse, ResetFrame& reset);

uint16_t InternetChecksum(const uint8_t* data, uint32_t length, uint32_t sum = 0);

}  // namespace sigmod
