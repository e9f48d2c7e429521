#pragma once
// What a packet driver knows of its adapter: name and title, the open and
// capture state, hardware address, medium and frame limits, and the
// driver's working values.

#include <cstdint>
#include <ostream>
#include <string>

namespace rp {

// Medium codes of the adapters.
enum : uint32_t {
    kMediumEthernet = 0,
    kMediumTokenRing = 1,
    kMediumFddi = 2,
    kMediumWan = 3,
    kMediumLoopback = 11,
    kMediumUnknown = 12,
};

class AdapterInfo {
public:
    AdapterInfo() = default;
    AdapterInfo(const std::string& name, uint32_t openMode) : m_strName(name), m_dwOpenMode(openMode) {}
    virtual ~AdapterInfo() = default;
    AdapterInfo(const AdapterInfo&) = default;
    AdapterInfo& operator=(const AdapterInfo&) = default;

    const std::string& title() const { return m_strTitle; }
    // The high-performance drivers have titles of their own; any other
    // adapter takes its description; a version text is appended as " (v...)".
    void setTitle(const std::string& description, const char* version);

    // Codes 0 to 10 stand for themselves, anything else for "unknown".
    static uint32_t mediumFromPacketLibrary(uint32_t code) { return code <= 10 ? code : kMediumUnknown; }

    std::string m_strName;
    bool m_bOpened = false;
    bool m_bStarted = false;
    std::string m_strMacAddress;
    uint32_t m_dwAddressLength = 0;
    uint32_t m_dwMedium = kMediumUnknown;
    uint32_t m_dwLinkSpeed = 0;
    uint32_t m_dwOpenMode = 0;
    uint32_t m_dwFrameLenMax = 8192;
    uint32_t m_dwReadTimeout = 1000;
    std::string m_strTitle;
    int32_t m_nTransmitCapability = -1;
    bool m_bTransmitOpen = false;
    bool m_bReceiveCreated = false;
    uint8_t m_byTransmitOption = 0;
    uint32_t m_dwReadMode = 0;
    uint32_t m_dwCaptureBufferSize = 0;
    // Frames the receive buffer still held, unread, when the driver was
    // last stopped; 0 when the library cannot tell.
    uint64_t m_qwLeftUnreadAtStop = 0;
};

std::ostream& operator<<(std::ostream& out, const AdapterInfo& info);

}  // namespace rp
