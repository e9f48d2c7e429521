#pragma once
// What the load drivers that run the real hwhost share: failing loudly,
// reading a file whole, finding and starting the host, and watching its
// syslog port.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hwload {

// Prints "<program>: <text>" to standard error and exits with 2.
[[noreturn]] void Fail(const std::string& text);

std::string ReadText(const std::string& path);

// bin/hwhost of the build tree this program was built in.
std::string HwhostBesideThisProgram();

// Starts `argv` with no standard input, standard output into
// `outputFile` and standard error discarded (the syslog engine writes a
// line per datagram there).
pid_t StartHost(std::vector<std::string> argv, const std::string& outputFile);

// Whether a socket already holds UDP `port` on every address.
bool UdpPortTaken(uint16_t port);

// Polls `condition` every 20 ms for at most `seconds`.
bool WaitFor(const std::function<bool()>& condition, double seconds);

}  // namespace hwload
