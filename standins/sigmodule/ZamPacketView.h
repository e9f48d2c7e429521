#pragma once
// The module's view of the packet record a sensor hands with each frame:
// lengths, time stamp, the frame bytes, sequence, medium and flags, laid out
// as the sensor's frame record fixes them.

#include <cstddef>
#include <cstdint>

namespace sigmod {

struct PacketView {
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

static_assert(offsetof(PacketView, m_pData) == 16 && sizeof(PacketView) == 40,
              "the packet record layout is fixed");

}  // namespace sigmod
