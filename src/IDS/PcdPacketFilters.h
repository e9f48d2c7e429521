#pragma once
// The capture filters of the policy ("pcd.packetfilters"): entries
// "address/prefix/protocol[/IN|OUT]" separated by ",", which each slave
// hands to its packet driver.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class IPolicyContainer;

// Answers of AddFilter and GetFilter.
enum : uint32_t {
    kPcdFilterOk = 0,
    kPcdFilterNoSuchFilter = 1,
    kPcdFilterNoMemory = 2,
    kPcdFilterRefused = 3,
};

// Directions.
enum : uint8_t {
    kPcdInbound = 1,
    kPcdBoth = 2,
    kPcdOutbound = 3,
};

class CPcdPacketFilters {
public:
    class CFilter {
    public:
        CFilter(uint32_t dwAddress, uint8_t bPrefix, uint8_t bProtocol, uint8_t bDirection)
            : m_dwAddress(dwAddress), m_bPrefix(bPrefix), m_bProtocol(bProtocol),
              m_bDirection(bDirection) {}
        virtual ~CFilter() = default;

        uint32_t m_dwAddress;  // network byte order
        uint8_t m_bPrefix;
        uint8_t m_bProtocol;   // 255: all protocols
        uint8_t m_bDirection;
    };

    virtual ~CPcdPacketFilters();

    // Reads "pcd.packetfilters" from "\config\tuning", or from
    // "\template\config\tuning" when that is empty, and adds its filters;
    // answers how many were added.
    uint32_t Load(IPolicyContainer* pPolicy);
    // Parses a filter text and adds its filters; answers how many.
    uint32_t Parse(const std::string& strText);

    uint32_t GetFilter(uint32_t dwIndex, uint32_t& dwAddress, uint8_t& bPrefix, uint8_t& bProtocol,
                       uint8_t& bDirection) const;
    // Refuses address 0 and prefix 0.
    uint32_t AddFilter(uint32_t dwAddress, uint8_t bPrefix, uint8_t bProtocol, uint8_t bDirection);

    size_t Count() const { return m_Filters.size(); }

private:
    std::vector<std::unique_ptr<CFilter>> m_Filters;
};
