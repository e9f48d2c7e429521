#include "rawpacket/LinuxHostInfo.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netdb.h>
#include <netpacket/packet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "platform/Files.h"
#include "platform/HostName.h"
#include "platform/LastError.h"
#include "rawpacket/AdapterLock.h"
#include "rawpacket/Address.h"
#include "rawpacket/RawAdapterInfo.h"
#include "rawpacket/RpErrors.h"
#include "rawpacket/RpTrace.h"

namespace rp {
namespace {

struct InterfaceAddresses {
    std::string m_strAddresses;
    std::string m_strMasks;
};

void AppendJoined(std::string& list, const std::string& item) {
    if (!list.empty()) {
        list += ' ';
    }
    list += item;
}

std::string Dotted(const sockaddr* address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    return text;
}

std::string DriverOf(const char* interfaceName) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::string();
    }
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interfaceName);
    request.ifr_data = reinterpret_cast<char*>(&info);
    std::string driver;
    if (::ioctl(fd, SIOCETHTOOL, &request) == 0) {
        driver.assign(info.driver, strnlen(info.driver, sizeof info.driver));
    }
    ::close(fd);
    return driver;
}

// Default gateways per interface from the kernel's routing table.
std::map<std::string, std::string> Gateways() {
    std::map<std::string, std::string> gateways;
    std::string table;
    plat::ReadKernelFile("/proc/net/route", table);
    std::istringstream routes(table);
    std::string line;
    std::getline(routes, line);
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string name;
        std::string destination;
        std::string gateway;
        if (!(fields >> name >> destination >> gateway) || destination != "00000000") {
            continue;
        }
        in_addr address{};
        address.s_addr = static_cast<in_addr_t>(std::stoul(gateway, nullptr, 16));
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address, text, sizeof text);
        AppendJoined(gateways[name], text);
    }
    return gateways;
}

std::string MacText(const sockaddr_ll* link) {
    return link->sll_halen == 6 ? PhysicalAddress(link->sll_addr, 0).toString() : std::string();
}

}  // namespace

void LinuxHostInfo::getMachineName(std::string& name) {
    if (!plat::GetHostName(name)) {
        throwResourceError("Failed to retrieve machine name: GetComputerName error", plat::GetLastError(),
                           "rp_win_nethost", __LINE__);
    }
    name = name.substr(0, name.find('.'));
}

void LinuxHostInfo::getDnsName(std::string& name) {
    std::string host;
    if (!plat::GetHostName(host)) {
        throwResourceError("Failed to retrieve DNS name: GetComputerName error", plat::GetLastError(),
                           "rp_win_nethost", __LINE__);
    }
    name = host;
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
        if (found != nullptr && found->ai_canonname != nullptr) {
            name = found->ai_canonname;
        }
        ::freeaddrinfo(found);
    }
}

void LinuxHostInfo::getOsName(std::string& name) {
    utsname system{};
    if (::uname(&system) != 0) {
        throwResourceError("Failed to retrieve OS Name: GetVersionEx error", plat::MapErrno(errno),
                           "rp_win_nethost", __LINE__);
    }
    name = std::string(system.sysname) + " " + system.release + " (" + system.version + ")";
}

void LinuxHostInfo::getHostAddresses(std::vector<std::string>& addresses) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return;
    }
    for (ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
        if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        std::string text = Dotted(item->ifa_addr);
        IpAddress address(text);
        if (address.valid() && address.value() != 0) {
            addresses.push_back(text);
        }
    }
    ::freeifaddrs(list);
}

void LinuxHostInfo::getAdapterList(AdaptersArray& adapters) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return;
    }
    std::map<std::string, InterfaceAddresses> inet;
    for (ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
        if (item->ifa_addr != nullptr && item->ifa_addr->sa_family == AF_INET) {
            InterfaceAddresses& held = inet[item->ifa_name];
            AppendJoined(held.m_strAddresses, Dotted(item->ifa_addr));
            AppendJoined(held.m_strMasks, item->ifa_netmask != nullptr ? Dotted(item->ifa_netmask) : "0.0.0.0");
        }
    }
    std::map<std::string, std::string> gateways = Gateways();
    for (ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
        if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_PACKET ||
            (item->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        const auto* link = reinterpret_cast<const sockaddr_ll*>(item->ifa_addr);
        AdapterDescription record(std::string("\\Device\\") + item->ifa_name);
        std::string driver = DriverOf(item->ifa_name);
        record.m_strDescription = (driver.empty() ? std::string("network") : driver) + " adapter";
        record.m_dwCardNumber = static_cast<uint32_t>(link->sll_ifindex);
        record.m_strMacAddress = MacText(link);
        auto addresses = inet.find(item->ifa_name);
        record.m_strIpAddress = addresses != inet.end() ? addresses->second.m_strAddresses : "0.0.0.0";
        record.m_strSubnetMask = addresses != inet.end() ? addresses->second.m_strMasks : "0.0.0.0";
        record.m_strDefaultGateway = gateways[item->ifa_name];
        record.m_bTcpipKnown = true;
        record.m_bSystemAdapter = true;
        adapters.addUnique(record);
    }
    ::freeifaddrs(list);
    try {
        RawAdapterInfo raw;
        addHighPerformanceAdapters(adapters, raw);
        probeAdapters(adapters, raw);
    } catch (const std::exception& error) {
        // Without the packet library nothing can be probed; the records
        // say why and rank as unprobed.
        for (AdapterDescription& record : adapters.records()) {
            record.m_strLastError = error.what();
        }
    }
    for (AdapterDescription& record : adapters.records()) {
        record.rank();
    }
}

void LinuxHostInfo::addHighPerformanceAdapters(AdaptersArray& /*adapters*/, RawAdapterInfo& raw) {
    std::vector<PciAdapterEntry> cards;
    raw.enumerateHighPerformanceAdapters(cards);
}

void LinuxHostInfo::probeAdapters(AdaptersArray& adapters, RawAdapterInfo& raw) {
    for (AdapterDescription& record : adapters.records()) {
        std::string error;
        try {
            std::string address;
            uint32_t speed = 0;
            uint32_t medium = 0;
            raw.query(record.m_strName, address, speed, medium);
            record.m_strMacAddress = address;
            record.m_dwLinkSpeed = speed;
            record.m_dwMedium = medium;
            record.m_bLanMedium = medium != 12 && medium != 3;
            record.m_bMacKnown = true;
            record.classifyBySpeed();
        } catch (const OpenError& failure) {
            error = failure.what();
        } catch (const InvalidArgument& failure) {
            error = failure.what();
        }
        record.m_bInUse = AdapterLock(AdapterLock::lockNameFor(record.m_strName), false).isInUse();
        if (!error.empty()) {
            record.m_strLastError = error;
            record.m_bMacKnown = false;
        }
    }
}

}  // namespace rp
