#pragma once
// The local machine's name and address, and host texts turned into IPv4
// addresses.  Addresses are 32-bit values in network byte order.

#include <cstdint>
#include <string>

// 0 with the name; -2 (logged) when it cannot be read.  (-1, a failed
// network start-up, cannot happen here.)
int GetLocalHostName(std::string& name);

// 1 with the address, -1 when the text is neither a dotted address nor a
// name with an IPv4 address.
int ResolveAddressText(const char* pszHost, uint32_t& dwAddress);
int ResolveAddress(const std::string& host, uint32_t& dwAddress);

// The IPv4 address of the local host name; 0 when unknown.  Looked up at
// most once in 30 seconds.
uint32_t GetLocalHostAddress();
