#include "platform/NetworkNames.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <charconv>
#include <cstdio>
#include <cstring>

namespace plat {

const char* FormatDottedAddress(uint32_t address, char (&text)[kDottedAddressSize]) {
    uint8_t bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    // Records carry addresses by the thousand a second: the digits are
    // written out directly.
    char* end = text;
    for (size_t i = 0; i < 4; ++i) {
        if (i != 0) {
            *end++ = '.';
        }
        end = std::to_chars(end, text + sizeof text, bytes[i]).ptr;
    }
    *end = '\0';
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
