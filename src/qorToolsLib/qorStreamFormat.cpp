#include "qorToolsLib/qorStreamFormat.h"

#include <bit>
#include <cstring>

namespace qorStream {

bool ValidateDataType(uint8_t type) {
    switch (type) {
        case ET_END:
        case ET_UNKNOWN:
        case ET_UINT8:
        case ET_UINT16:
        case ET_UINT32:
        case ET_UINT64:
        case ET_UINT128:
        case ET_SINT8:
        case ET_SINT16:
        case ET_SINT32:
        case ET_SINT64:
        case ET_SINT128:
        case ET_BLOB:
        case ET_STRING:
        case ET_TEXT:
        case ET_WSTRING:
        case ET_WTEXT:
        case ET_STRUCT:
        case ET_ARRAY:
            return true;
        default:
            return false;
    }
}

size_t WriteLength(uint8_t* out, uint32_t value) {
    if (value < 0x80) {
        out[0] = static_cast<uint8_t>(value);
        return 1;
    }
    if (value < 0x4000) {
        out[0] = static_cast<uint8_t>(0x80 | (value >> 8));
        out[1] = static_cast<uint8_t>(value);
        return 2;
    }
    if (value < 0x200000) {
        out[0] = static_cast<uint8_t>(0xC0 | (value >> 16));
        out[1] = static_cast<uint8_t>(value >> 8);
        out[2] = static_cast<uint8_t>(value);
        return 3;
    }
    if (value < 0x10000000) {
        out[0] = static_cast<uint8_t>(0xE0 | (value >> 24));
        out[1] = static_cast<uint8_t>(value >> 16);
        out[2] = static_cast<uint8_t>(value >> 8);
        out[3] = static_cast<uint8_t>(value);
        return 4;
    }
    out[0] = 0xF0;
    out[1] = static_cast<uint8_t>(value >> 24);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 8);
    out[4] = static_cast<uint8_t>(value);
    return 5;
}

StatusCode ReadLength(const uint8_t* in, size_t available, uint32_t* value, size_t* used) {
    if (available < 1) {
        return QOR_E_NOT_ENOUGH_DATA;
    }
    uint8_t first = in[0];
    size_t size;
    uint32_t result;
    if (first < 0x80) {
        size = 1;
        result = first;
    } else if (first < 0xC0) {
        size = 2;
        result = first & 0x3Fu;
    } else if (first < 0xE0) {
        size = 3;
        result = first & 0x1Fu;
    } else if (first < 0xF0) {
        size = 4;
        result = first & 0x0Fu;
    } else if (first == 0xF0) {
        size = 5;
        result = 0;
    } else {
        return QOR_E_INVALID_DATA;
    }
    if (size > available) {
        return QOR_E_NOT_ENOUGH_DATA;
    }
    for (size_t i = 1; i < size; ++i) {
        result = (result << 8) | in[i];
    }
    *value = result;
    *used = size;
    return QOR_S_OK;
}

void StoreBigEndian(uint8_t* out, const void* value, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(value);
    if constexpr (std::endian::native == std::endian::big) {
        std::memcpy(out, bytes, size);
    } else {
        for (size_t i = 0; i < size; ++i) {
            out[i] = bytes[size - 1 - i];
        }
    }
}

void LoadBigEndian(void* value, const uint8_t* in, size_t size) {
    auto* bytes = static_cast<uint8_t*>(value);
    if constexpr (std::endian::native == std::endian::big) {
        std::memcpy(bytes, in, size);
    } else {
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = in[size - 1 - i];
        }
    }
}

}  // namespace qorStream
