#pragma once
// The address the host gives the sensor as its own.

#include <string>

// The dotted IPv4 address of the first interface that is up and not a
// loopback, else "127.0.0.1".
std::string LocalAddressText();
