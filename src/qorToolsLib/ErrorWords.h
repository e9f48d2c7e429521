#pragma once
// The reason behind an error number, in the words an operator of this
// system reads.  The platform layer numbers its errors as the system's
// own messages expect them (2 for a file not found, 10040 for a message too
// long, 11001 for a host not found); a message that keeps such a number, as
// the system's own texts do, adds these words after it:
//
//   "Error recving syslog packet: 10040 (Message too long)"

#include <cstdint>
#include <string>

// The words for `dwError`: a number of the layer's own numbering, a socket
// number (10000 and up) or a socket status (0xC727xxxx).  For a number the
// layer made from a system error, the system's own text for it, and when
// it is the calling thread's last failure, for exactly the error behind
// it; the resolver's numbers say the host was not found and why; a number
// the layer sets by itself, its own text for it; "no text for this error"
// when there is none.
std::string ErrorWords(uint32_t dwError);
