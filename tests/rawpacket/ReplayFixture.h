#pragma once
// Capture files written by the tests and the adapter table the IDS engine
// would own, filled by the packet shim, for driving the library without a
// live network.

#include <cstdint>
#include <string>
#include <vector>

#include "rawpacket/PacketAdapterEntry.h"

namespace rptest {

struct TestFrame {
    std::vector<uint8_t> m_Bytes;
    uint32_t m_dwSeconds;
    uint32_t m_dwMicroseconds;
};

// Ethernet frames of different lengths with recognisable bytes.
std::vector<TestFrame> MakeFrames(size_t count);
// The capture file the shim's writer would produce for these frames.
std::string PcapBytes(const std::vector<TestFrame>& frames);

// Registers a 40-entry table, with a lock its holder may take again, and
// fills it from the shim's adapter list.
class AdapterTable {
public:
    AdapterTable();
    ~AdapterTable();
    void Fill();
    const rp::PacketAdapterEntry& Entry(size_t index) const { return m_Entries[index]; }
    // Index of the entry with this name, or -1.
    int Find(const std::string& name) const;

private:
    rp::PacketAdapterEntry m_Entries[rp::kAdapterTableEntries] = {};
};

}  // namespace rptest
