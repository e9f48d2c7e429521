// Feeds arbitrary text to the hardware-address and IPv4 parsers, as adapter
// records and configuration hand them over, and prints what they accept.
#include <cstdint>
#include <string>

#include "rawpacket/Address.h"
#include "rawpacket/RpErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t total = 0;
    for (bool strict : {false, true}) {
        try {
            rp::PhysicalAddress address(text, strict, 0);
            uint8_t bytes[rp::PhysicalAddress::kMaxBytes];
            total += address.toString().size() + address.copyTo(bytes, sizeof bytes);
        } catch (const rp::RuntimeError&) {
            ++total;
        }
    }
    rp::IpAddress address(text);
    total += address.toString().size();
    if (address.valid() && rp::IpAddress(address.toString()).value() != address.value()) {
        __builtin_trap();
    }
    return total == SIZE_MAX ? 1 : 0;
}
