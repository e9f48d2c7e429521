// Feeds arbitrary policy text to the capture-filter and address-list
// parsers of the network side and checks what they accept.
#include <cstdint>
#include <string>

#include "IDS/Firewall/FireConf.h"
#include "IDS/PcdPacketFilters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CPcdPacketFilters filters;
    const uint32_t dwCount = filters.Parse(text);
    if (dwCount != filters.Count()) {
        __builtin_trap();
    }
    uint32_t dwAddress = 0;
    uint8_t bPrefix = 0;
    uint8_t bProtocol = 0;
    uint8_t bDirection = 0;
    for (uint32_t i = 0; i < dwCount; ++i) {
        if (filters.GetFilter(i, dwAddress, bPrefix, bProtocol, bDirection) != kPcdFilterOk ||
            dwAddress == 0 || bPrefix == 0 || bPrefix > 32 || bDirection < 1 || bDirection > 3) {
            __builtin_trap();
        }
    }
    fwaddrslot slots[kFwMaxAddresses];
    const uint16_t wSlots = ParseAddressList(text, slots, false);
    if (wSlots > kFwMaxAddresses) {
        __builtin_trap();
    }
    for (uint16_t i = 0; i < wSlots; ++i) {
        if ((slots[i].address & slots[i].mask) != slots[i].address) {
            __builtin_trap();
        }
    }
    // What the reader warns about is what the parser does: pieces past the
    // fifteenth slot are the ignored ones.
    const AddressListCheck check = CheckAddressList(text);
    if (wSlots + check.m_Ignored.size() > check.m_nPieces ||
        (!check.m_Ignored.empty() && wSlots != kFwMaxAddresses)) {
        __builtin_trap();
    }
    return 0;
}
