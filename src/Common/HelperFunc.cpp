#include "Common/HelperFunc.h"

#include <cstring>

#include "platform/HostName.h"
#include "platform/Sockets.h"
#include "qorCSFLib/CSFLog.h"

int GetLocalHostName(std::string& name) {
    std::string hostName;
    if (!plat::GetHostName(hostName)) {
        CSF_LOG(kCSFLogError, "Error! Cannot get HostName");
        return -2;
    }
    name = hostName;
    return 0;
}

int ResolveAddressText(const char* pszHost, uint32_t& dwAddress) {
    if (pszHost == nullptr) {
        return -1;
    }
    // Decided before any parse: the all-ones address is what a failed parse
    // reports in the classic interface, so it is recognised by its text.
    if (std::strcmp(pszHost, "255.255.255.255") == 0) {
        dwAddress = 0xFFFFFFFFu;
        return 1;
    }
    uint32_t dwResolved = 0;
    if (plat::ParseIpv4Address(pszHost, dwResolved) ||
        plat::ResolveIpv4Address(pszHost, dwResolved)) {
        dwAddress = dwResolved;
        return 1;
    }
    return -1;
}

int ResolveAddress(const std::string& host, uint32_t& dwAddress) {
    return ResolveAddressText(host.c_str(), dwAddress);
}

uint32_t GetLocalHostAddress() {
    std::string name;
    if (!plat::GetHostName(name)) {
        return 0;
    }
    uint32_t dwAddress = 0;
    return ResolveAddressText(name.c_str(), dwAddress) == 1 ? dwAddress : 0;
}
