#pragma once
// Asks the packet-capture driver library about one adapter by name, through
// a private adapter record: its hardware address, link speed and medium.
// Also carries the names of the adapter-configuration driver and the PCI
// identifiers of the high-performance cards.

#include <cstdint>
#include <string>
#include <vector>

#include "rawpacket/PacketDll.h"

namespace rp {

struct PciAdapterEntry {
    uint32_t m_dwMake;
    uint32_t m_dwBus;
    uint32_t m_dwDevice;
    bool m_bFound;
};

class RawAdapterInfo : public PacketDll {
public:
    RawAdapterInfo();

    // Raises InvalidArgument for a name that does not fit the record,
    // ResourceError when the library lacks open or close, and OpenError when
    // the adapter cannot be opened.
    void query(const std::string& adapterName, std::string& addressText, uint32_t& linkSpeed, uint32_t& medium);

    // The cards high-performance capture drivers serve; those drivers exist
    // only on the sensor's original platform, so the list stays empty here.
    void enumerateHighPerformanceAdapters(std::vector<PciAdapterEntry>& adapters);

    std::string m_strConfigDll = "DUSKCFG.DLL";
    std::string m_strServiceName = "duskcfg";
    std::string m_strDeviceName = "\\Device\\duskcfg";
    std::string m_strDevicePath = "\\\\.\\duskcfg";
    std::string m_strDisplayName = "QOR Adapter Configuration";
    std::string m_strServiceDescription =
        "Provides configuration information about supported high performance adapters";
    std::string m_str3ComPrefix = "PCI\\VEN_10B7&DEV_";
    std::string m_str3ComDevice = "9055";
    std::string m_strIntelPrefix = "PCI\\VEN_8086&DEV_";
    std::string m_strIntelDevice1 = "1000";
    std::string m_strIntelDevice2 = "1001";
    std::string m_strSysKonnectPrefix = "PCI\\VEN_1148&DEV_";
    std::string m_strSysKonnectDevice = "4300";
};

}  // namespace rp
