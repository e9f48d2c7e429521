#pragma once
// The host information of a Linux machine: names from the resolver and
// uname, adapters from getifaddrs (every interface but loopback, named
// "\Device\<interface>"), each probed through the packet-capture driver
// library for its hardware address, speed and medium.

#include "rawpacket/HostInfo.h"

namespace rp {

class LinuxHostInfo : public HostInfo {
public:
    explicit LinuxHostInfo(uint32_t value = 0) : HostInfo(value) {}

    void getMachineName(std::string& name) override;
    void getDnsName(std::string& name) override;
    void getAdapterList(AdaptersArray& adapters) override;
    void getHostAddresses(std::vector<std::string>& addresses) override;
    void reserved5(void*) override {}
    void reserved6(void*) override {}
    void getOsName(std::string& name) override;
    void reserved8(void*) override {}
    uint32_t notImplemented(void*, void*) override { return 0; }

    void addHighPerformanceAdapters(AdaptersArray& adapters, RawAdapterInfo& raw);
    void probeAdapters(AdaptersArray& adapters, RawAdapterInfo& raw);
};

}  // namespace rp
