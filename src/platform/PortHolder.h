#pragma once
// Who holds a local port: the programs whose sockets are bound to it, as
// the system's socket tables and the processes' open descriptors show them
// (the caller's network namespace; other users' processes only with the
// rights to look at them).  Used to tell an operator what to stop when a
// port the sensor needs is taken.

#include <cstdint>
#include <string>

namespace plat {

enum class PortProtocol { kTcp, kUdp };

// "name (pid N)" for each process holding the port (IPv4 or IPv6), joined
// by ", "; empty when none can be found.
std::string DescribePortHolders(PortProtocol protocol, uint16_t port);

}  // namespace plat
