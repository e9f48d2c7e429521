#pragma once
// What the library knows of the host: names, operating system, IPv4
// addresses and the network adapters with their hardware address, speed,
// medium, capture-driver kind, use by another sensor and capture rank.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace rp {

class RawAdapterInfo;

// Capture-driver kinds of an adapter.
enum : uint32_t {
    kDriverKindUnprobed = 0,
    kDriverKindSlow = 1,
    kDriverKindStandard = 2,
    kDriverKindEl90x = 3,
    kDriverKindEl90xFullDuplex = 4,
    kDriverKindGigabit = 5,
    kDriverKindEl90xGateway = 32,
};

// "Ethernet/IEEE 802.3" ... "Loopback"; "[Unknown Transport Medium]" otherwise.
const std::string& mediumName(uint32_t medium);

class AdapterDescription {
public:
    AdapterDescription() = default;
    explicit AdapterDescription(const std::string& name) : m_strName(name) {}
    virtual ~AdapterDescription() = default;
    AdapterDescription(const AdapterDescription&) = default;
    AdapterDescription& operator=(const AdapterDescription&) = default;

    // Format 0: the text form; any other: the XML form.
    virtual std::ostream& print(std::ostream& out, int format) const;

    // Sets the driver kind from a probed speed and the device name.
    void classifyBySpeed();
    // Suitability for capture: -30 to 25.
    void rank();

    std::string m_strName;
    uint32_t m_dwCardNumber = 0;
    std::string m_strDescription;
    uint32_t m_dwLinkSpeed = 0;
    uint32_t m_dwMedium = 12;
    std::string m_strMacAddress;
    bool m_bDhcpEnabled = false;
    std::string m_strIpAddress;
    std::string m_strSubnetMask;
    std::string m_strDefaultGateway;
    std::string m_strDhcpServer;
    std::string m_strWinsServer;
    std::string m_strManufacturer;
    uint32_t m_dwDriverKind = kDriverKindUnprobed;
    bool m_bLanMedium = true;
    bool m_bTcpipKnown = false;
    bool m_bSystemAdapter = false;
    bool m_bMacKnown = false;
    int32_t m_nSelectRank = -1;
    bool m_bInUse = false;
    std::string m_strLastError;
};

class AdaptersArray {
public:
    virtual ~AdaptersArray() = default;
    // Each record's print and a newline after it.
    virtual std::ostream& print(std::ostream& out, int format) const;

    void add(const AdapterDescription& record) { m_Records.push_back(record); }
    // Appends the record with its description made unique among those
    // already held (" #2" for the second of a description, and so on).
    void addUnique(AdapterDescription record);
    std::vector<AdapterDescription>& records() { return m_Records; }
    const std::vector<AdapterDescription>& records() const { return m_Records; }

private:
    std::vector<AdapterDescription> m_Records;
};

class HostInfo {
public:
    explicit HostInfo(uint32_t value = 0) : m_dwValue(value) {}
    virtual ~HostInfo() = default;

    virtual void getMachineName(std::string& name) = 0;
    virtual void getDnsName(std::string& name) = 0;
    virtual void getAdapterList(AdaptersArray& adapters) = 0;
    virtual void getHostAddresses(std::vector<std::string>& addresses) = 0;
    virtual void reserved5(void* argument) = 0;
    virtual void reserved6(void* argument) = 0;
    virtual void getOsName(std::string& name) = 0;
    virtual void reserved8(void* argument) = 0;
    virtual void* passThrough(void* first, void* /*second*/) { return first; }
    virtual uint32_t notImplemented(void* /*first*/, void* /*second*/) { return 0xC7210228u; }

    uint32_t value() const { return m_dwValue; }

private:
    uint32_t m_dwValue;
};

}  // namespace rp
