#pragma once
// Bypass filters: IPv4 traffic that the sensor asked not to inspect.  A
// matching frame is passed on by the shim itself and never handed to the
// reader.  Filters are collected, then published together; each adapter
// keeps a copy it refreshes only when a new set was published, so the read
// path neither locks nor allocates.

#include <atomic>
#include <cstdint>
#include <vector>

namespace shim {

struct BypassFilter {
    uint32_t m_dwAddress;    // network byte order
    uint32_t m_dwPrefix;     // 0 to 32
    uint32_t m_dwProtocol;   // IP protocol, 255 for all
    uint32_t m_dwDirection;  // 1 source (incoming), 3 destination (outgoing), 2 either
};

// False for a filter whose values are out of range.
bool AddPendingFilter(const BypassFilter& filter);
void PurgePendingFilters();
void PublishFilters();

class BypassView {
public:
    // Whether the frame (Ethernet, optionally one VLAN tag) is IPv4 traffic
    // a published filter covers.  Frames too short for their headers never match.
    bool matches(const uint8_t* frame, uint32_t length);

private:
    void refresh();

    uint32_t m_dwGeneration = 0;
    std::vector<BypassFilter> m_Filters;
};

}  // namespace shim
