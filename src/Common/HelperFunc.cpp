#include "Common/HelperFunc.h"

#include <chrono>
#include <cstring>
#include <mutex>

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
    // Every event-log and decoy alert asks: a host name that only the
    // resolver knows would cost each alert a query, and a slow resolver
    // would hold up the alerts behind it, so the answer is kept a while.
    // Kept by the steady clock, which no one can set.
    static constexpr auto kKeptFor = std::chrono::seconds(30);
    static std::mutex s_Lock;
    static std::chrono::steady_clock::time_point s_tAsked;
    static bool s_bAsked = false;
    static uint32_t s_dwAddress = 0;
    std::lock_guard<std::mutex> guard(s_Lock);
    const auto tNow = std::chrono::steady_clock::now();
    if (s_bAsked && tNow - s_tAsked < kKeptFor) {
        return s_dwAddress;
    }
    std::string name;
    uint32_t dwAddress = 0;
    s_dwAddress = plat::GetHostName(name) && ResolveAddressText(name.c_str(), dwAddress) == 1 ? dwAddress : 0;
    s_tAsked = tNow;
    s_bAsked = true;
    return s_dwAddress;
}
