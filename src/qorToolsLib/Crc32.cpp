#include "qorToolsLib/Crc32.h"

#include <array>
#include <cstring>

namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

// Built by the compiler, so a checksum costs no table set-up at run time.
constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t Crc32(const void* bytes, size_t length) {
    if (bytes == nullptr || length == 0) {
        return 0;
    }
    const auto* p = static_cast<const unsigned char*>(bytes);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc = kTable[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

uint32_t Crc32(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    return Crc32(text, std::strlen(text));
}
