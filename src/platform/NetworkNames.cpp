#include "platform/NetworkNames.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

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

namespace {

bool LookupServiceNameUncached(uint16_t port, const char* protocol, std::string& name) {
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

// What the service table answered for each port of TCP and UDP, kept for
// a minute: a lookup reads the whole table for a port it does not list (a
// sender's ephemeral port, at every alert that carries one), which took
// about half of the host's processor at a few thousand alerts a second.
// At most 65,536 ports a protocol, each a small index, so whatever ports
// senders choose, the cache stays within a fixed size.
class ServiceNameCache {
public:
    bool Lookup(uint16_t port, const char* protocol, std::string& name) {
        const int nProtocol = std::strcmp(protocol, "tcp") == 0 ? 0 : std::strcmp(protocol, "udp") == 0 ? 1 : -1;
        if (nProtocol < 0) {
            return LookupServiceNameUncached(port, protocol, name);
        }
        std::lock_guard<std::mutex> guard(m_lock);
        const auto now = std::chrono::steady_clock::now();
        if (m_Names.empty() || now - m_tFilled >= kKeptFor) {
            // The table may have changed: start afresh.
            m_Names.clear();
            m_Index[0].assign(65536, kUnknown);
            m_Index[1].assign(65536, kUnknown);
            m_Names.emplace_back();
            m_tFilled = now;
        }
        int32_t& nIndex = m_Index[nProtocol][port];
        if (nIndex == kUnknown) {
            std::string found;
            if (LookupServiceNameUncached(port, protocol, found)) {
                nIndex = static_cast<int32_t>(m_Names.size());
                m_Names.push_back(std::move(found));
            } else {
                nIndex = kNone;
            }
        }
        if (nIndex == kNone) {
            return false;
        }
        name = m_Names[static_cast<size_t>(nIndex)];
        return true;
    }

private:
    static constexpr int32_t kUnknown = -1;
    static constexpr int32_t kNone = -2;
    static constexpr auto kKeptFor = std::chrono::seconds(60);

    std::mutex m_lock;
    std::vector<int32_t> m_Index[2];
    std::vector<std::string> m_Names;
    std::chrono::steady_clock::time_point m_tFilled;
};

}  // namespace

bool LookupServiceName(uint16_t port, const char* protocol, std::string& name) {
    static ServiceNameCache s_cache;
    return s_cache.Lookup(port, protocol, name);
}

}  // namespace plat
