#include "ShimCatalog.h"

#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <net/if_arp.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>

namespace shim {
namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream input(text);
    std::string part;
    while (std::getline(input, part, separator)) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

uint32_t MediumOf(unsigned short hardwareType) {
    switch (hardwareType) {
        case ARPHRD_ETHER:
            return 0;
        case ARPHRD_IEEE802_TR:
            return 1;
        case ARPHRD_FDDI:
            return 2;
        case ARPHRD_PPP:
        case ARPHRD_NONE:
            return 3;
        case ARPHRD_LOOPBACK:
            return 11;
        default:
            return 12;
    }
}

// Asks the interface's driver; sysfs would show the namespace it was
// mounted in, not the one this process lives in.
bool AskDriver(const std::string& interface, void* request) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq ask{};
    std::snprintf(ask.ifr_name, sizeof ask.ifr_name, "%s", interface.c_str());
    ask.ifr_data = static_cast<char*>(request);
    bool answered = ::ioctl(fd, SIOCETHTOOL, &ask) == 0;
    ::close(fd);
    return answered;
}

// Bits per second; 0 when the driver reports no speed.
uint32_t LinkSpeedOf(const std::string& interface) {
    ethtool_cmd settings{};
    settings.cmd = ETHTOOL_GSET;
    if (!AskDriver(interface, &settings)) {
        return 0;
    }
    uint32_t megabits = ethtool_cmd_speed(&settings);
    if (megabits == 0 || megabits == static_cast<uint32_t>(SPEED_UNKNOWN)) {
        return 0;
    }
    unsigned long long bits = static_cast<unsigned long long>(megabits) * 1000000ull;
    return bits > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(bits);
}

std::string DriverOf(const std::string& interface) {
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    if (!AskDriver(interface, &info) || info.driver[0] == '\0') {
        return "network";
    }
    return std::string(info.driver, strnlen(info.driver, sizeof info.driver));
}

bool Monitored(const AdapterFacts& facts, const std::vector<std::string>& chosen, bool up) {
    if (chosen.empty()) {
        return facts.m_bReplay || (up && facts.m_dwMedium != 11);
    }
    for (const std::string& name : chosen) {
        if (::strcasecmp(name.c_str(), facts.m_strName.c_str()) == 0 ||
            ::strcasecmp(name.c_str(), facts.m_strInterface.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

void AddInterfaces(std::vector<AdapterFacts>& adapters, const std::vector<std::string>& chosen) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return;
    }
    for (ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
        if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_PACKET) {
            continue;
        }
        const auto* link = reinterpret_cast<const sockaddr_ll*>(item->ifa_addr);
        AdapterFacts facts;
        facts.m_strInterface = item->ifa_name;
        facts.m_strName = "\\Device\\" + facts.m_strInterface;
        facts.m_strDescription = DriverOf(facts.m_strInterface) + " interface " + facts.m_strInterface;
        facts.m_nIfIndex = link->sll_ifindex;
        facts.m_dwMedium = MediumOf(link->sll_hatype);
        facts.m_dwLinkSpeed = LinkSpeedOf(facts.m_strInterface);
        std::memcpy(facts.m_Address, link->sll_addr, 6);
        bool up = (item->ifa_flags & IFF_UP) != 0;
        facts.m_dwFlags = static_cast<uint32_t>(up ? rp::kEntryFlagOnline : rp::kEntryFlagOffline) |
                          (Monitored(facts, chosen, up) ? static_cast<uint32_t>(rp::kEntryFlagMonitor) : 0u);
        adapters.push_back(facts);
    }
    ::freeifaddrs(list);
}

void AddReplays(std::vector<AdapterFacts>& adapters, const std::vector<std::string>& chosen) {
    std::vector<std::string> files = Split(Environment("HW_PACKET_REPLAY"), ';');
    bool fileTime = Environment("HW_PACKET_REPLAY_FILETIME") == "1";
    for (size_t i = 0; i < files.size(); ++i) {
        AdapterFacts facts;
        facts.m_bReplay = true;
        facts.m_strInterface = files[i];
        facts.m_strName = "\\Device\\replay" + std::to_string(i);
        facts.m_strDescription = "capture file replay " + std::to_string(i);
        facts.m_dwLinkSpeed = 1000000000u;
        facts.m_dwReadMode = fileTime ? 3 : 0;
        // Locally administered addresses, one per replay adapter.
        const uint8_t address[6] = {0x02, 0x00, 0x5e, 0x00, 0x00, static_cast<uint8_t>(i + 1)};
        std::memcpy(facts.m_Address, address, sizeof address);
        // The replay plays Ethernet captures only; the file is not looked
        // at before the adapter is opened, where any other is refused in
        // words.  So listing adapters never waits on what the name holds.
        facts.m_dwMedium = 0;
        facts.m_dwFlags = rp::kEntryFlagOnline | (Monitored(facts, chosen, true) ? static_cast<uint32_t>(rp::kEntryFlagMonitor) : 0u);
        adapters.push_back(facts);
    }
}

}  // namespace

std::vector<AdapterFacts> ListAdapters() {
    std::vector<std::string> chosen = Split(Environment("HW_PACKET_MONITOR"), ',');
    std::vector<AdapterFacts> adapters;
    AddInterfaces(adapters, chosen);
    AddReplays(adapters, chosen);
    return adapters;
}

ReplayOptions ReplaySettings() {
    ReplayOptions options;
    options.m_strOutputDirectory = Environment("HW_PACKET_REPLAY_OUT");
    options.m_bLoop = Environment("HW_PACKET_REPLAY_LOOP") == "1";
    options.m_bPace = Environment("HW_PACKET_REPLAY_PACE") == "1";
    return options;
}

bool FindAdapter(const std::string& name, AdapterFacts& facts) {
    for (const AdapterFacts& candidate : ListAdapters()) {
        if (::strcasecmp(candidate.m_strName.c_str(), name.c_str()) == 0 ||
            (!candidate.m_bReplay && ::strcasecmp(candidate.m_strInterface.c_str(), name.c_str()) == 0)) {
            facts = candidate;
            return true;
        }
    }
    return false;
}

void FillEntry(rp::PacketAdapterEntry* entry, const AdapterFacts& facts) {
    bool same = rp::EntryTextLength(entry, rp::kEntryName) == facts.m_strName.size() &&
                std::strncmp(rp::EntryText(entry, rp::kEntryName), facts.m_strName.c_str(), facts.m_strName.size()) == 0;
    // The record of the same adapter changes only where it differs: a
    // capture thread reads its open handle from the record's first bytes
    // without the table's lock while the list is read again.
    if (!same) {
        std::memset(entry->m_Bytes, 0, sizeof entry->m_Bytes);
        rp::SetEntryText(entry, rp::kEntryName, facts.m_strName.substr(0, rp::kAdapterNameSize - 1).c_str());
    }
    const std::string description = facts.m_strDescription.substr(0, rp::kAdapterNameSize - 1);
    if (description != rp::EntryText(entry, rp::kEntryDescription)) {
        rp::SetEntryText(entry, rp::kEntryDescription, description.c_str());
    }
    const std::pair<uint32_t, uint32_t> words[] = {
        {rp::kEntryMedium, facts.m_dwMedium},     {rp::kEntryAddressLength, facts.m_dwAddressLength},
        {rp::kEntryFrameLenMax, facts.m_dwFrameLenMax}, {rp::kEntryFlags, facts.m_dwFlags},
        {rp::kEntryPresent, 1},                   {rp::kEntryReadMode, facts.m_dwReadMode},
        {rp::kEntryAddressCount, 1},              {rp::kEntryLinkSpeed, facts.m_dwLinkSpeed},
    };
    for (const auto& [offset, value] : words) {
        if (rp::EntryWord(entry, offset) != value) {
            rp::SetEntryWord(entry, offset, value);
        }
    }
    if (std::memcmp(entry->m_Bytes + rp::kEntryAddress1, facts.m_Address, 6) != 0) {
        std::memcpy(entry->m_Bytes + rp::kEntryAddress1, facts.m_Address, 6);
    }
}

}  // namespace shim
