#pragma once
// The name of an IP protocol number, as the response formatters show it
// beside the number.

#include <cstdint>

// A static text, never null: the assigned name for 0 to 116, "ARP" for 255,
// "IP" for 256 and "Unassigned" for anything else.  A caller holding a wider
// number passes its low 16 bits.
const char* ProtocolName(uint16_t wProtocol);
