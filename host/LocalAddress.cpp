#include "LocalAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

std::string LocalAddressText() {
    std::string text = "127.0.0.1";
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return text;
    }
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        char buffer[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, buffer, sizeof buffer) != nullptr) {
            text = buffer;
            break;
        }
    }
    ::freeifaddrs(list);
    return text;
}
