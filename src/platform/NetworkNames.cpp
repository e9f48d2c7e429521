#include "platform/NetworkNames.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstring>

namespace plat {

const char* FormatDottedAddress(uint32_t address, char (&text)[kDottedAddressSize]) {
    uint8_t bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

bool LookupServiceName(uint16_t port, const char* protocol, std::string& name) {
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    if (getservbyport_r(htons(port), protocol, &entry, buffer, sizeof buffer, &found) != 0 ||
        found == nullptr || found->s_name == nullptr) {
        return false;
    }
    name = found->s_name;
    return true;
}

}  // namespace plat
