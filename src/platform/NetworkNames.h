#pragma once
// Texts for addresses and ports: the dotted form of an IPv4 address and the
// service name the system's services database registers for a port.

#include <cstdint>
#include <string>

namespace plat {

// Room for "255.255.255.255" and its terminator.
constexpr size_t kDottedAddressSize = 16;

// The dotted form of an address held in network byte order (its bytes in
// memory order); writes the terminated text into `text` and answers it.
const char* FormatDottedAddress(uint32_t address, char (&text)[kDottedAddressSize]);

// The service registered for the port (given in host byte order) under the
// protocol ("tcp", "udp"); false when there is none.
bool LookupServiceName(uint16_t port, const char* protocol, std::string& name);

}  // namespace plat
