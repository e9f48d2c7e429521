#include "rawpacket/RawAdapterInfo.h"

#include "rawpacket/AdapterInfo.h"
#include "rawpacket/RpErrors.h"

namespace rp {

RawAdapterInfo::RawAdapterInfo() = default;

void RawAdapterInfo::query(const std::string& adapterName, std::string& addressText, uint32_t& linkSpeed,
                           uint32_t& medium) {
    if (m_pfnPacketClose == nullptr || m_pfnPacketOpen == nullptr) {
        throwResourceError("DUSKDLL.DLL missing PacketClose and PacketOpen entry points", 0, "rp_dev_rawinfo",
                           __LINE__);
    }
    PacketAdapterEntry entry{};
    if (!SetEntryText(&entry, kEntryName, adapterName.c_str())) {
        throwInvalidArgument("adapter name does not fit the adapter record: " + adapterName, "rp_dev_rawinfo",
                             __LINE__);
    }
    uint32_t status = m_pfnPacketOpen(&entry, 2);
    if (status != 0) {
        throwOpenError(adapterName, status, "rp_dev_rawinfo", __LINE__);
    }
    addressText = EntryAddressText(&entry);
    linkSpeed = EntryWord(&entry, kEntryLinkSpeed);
    medium = AdapterInfo::mediumFromPacketLibrary(EntryWord(&entry, kEntryMedium));
    m_pfnPacketClose(&entry);
}

void RawAdapterInfo::enumerateHighPerformanceAdapters(std::vector<PciAdapterEntry>& adapters) { adapters.clear(); }

}  // namespace rp
