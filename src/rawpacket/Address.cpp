#include "rawpacket/Address.h"

#include <cstdio>
#include <cstring>

#include "rawpacket/RpErrors.h"

namespace rp {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

PhysicalAddress::PhysicalAddress(const uint8_t* bytes, uint32_t kind) : m_dwLength(0), m_dwKind(kind) {
    if (bytes != nullptr && kind <= 2) {
        m_dwLength = 6;
        std::memcpy(m_Bytes, bytes, 6);
        m_bValid = true;
    }
}

PhysicalAddress::PhysicalAddress(const std::string& text, bool strict, uint32_t kind)
    : m_dwLength(0), m_dwKind(kind) {
    size_t pos = 0;
    while (pos < text.size() && m_dwLength < kMaxBytes) {
        size_t start = pos;
        unsigned value = 0;
        while (pos < text.size() && HexDigit(text[pos]) >= 0) {
            // Only the low eight bits are kept, so overlong parts cannot overflow.
            value = ((value << 4) | static_cast<unsigned>(HexDigit(text[pos]))) & 0xFFu;
            ++pos;
        }
        if (pos == start) {
            throwRuntimeError(kStatusBadAddressText, 0, text, "", "rp_address", 105);
        }
        m_Bytes[m_dwLength++] = static_cast<uint8_t>(value);
        if (pos == text.size() || m_dwLength == 6) {
            break;
        }
        if (text[pos++] != '-') {
            throwRuntimeError(kStatusBadAddressText, 0, text, "", "rp_address", 99);
        }
    }
    if (text.empty()) {
        throwRuntimeError(kStatusBadAddressText, 0, text, "", "rp_address", 105);
    }
    if (strict) {
        bool allZero = true;
        bool allOnes = true;
        for (uint32_t i = 0; i < m_dwLength; ++i) {
            allZero = allZero && m_Bytes[i] == 0x00;
            allOnes = allOnes && m_Bytes[i] == 0xFF;
        }
        if (m_dwLength < 6 || allZero || allOnes) {
            throwRuntimeError(kStatusBadAddressValue, 0, text, "", "rp_address", 119);
        }
    }
    m_bValid = true;
}

std::string PhysicalAddress::toString() const {
    if (!m_bValid) {
        return "00-00-00-00-00-00";
    }
    std::string text;
    char part[4];
    for (uint32_t i = 0; i < m_dwLength; ++i) {
        std::snprintf(part, sizeof part, "%02X", m_Bytes[i]);
        if (i != 0) {
            text += '-';
        }
        text += part;
    }
    return text;
}

uint32_t PhysicalAddress::copyTo(uint8_t* buffer, uint32_t size) const {
    uint32_t count = m_dwLength < size ? m_dwLength : size;
    if (buffer != nullptr && count != 0) {
        std::memcpy(buffer, m_Bytes, count);
    }
    return buffer == nullptr ? 0 : count;
}

void PhysicalAddress::read(std::istream& in) {
    in.read(reinterpret_cast<char*>(m_Bytes), m_dwLength);
    m_bValid = true;
}

void PhysicalAddress::write(std::ostream& out) const {
    out.write(reinterpret_cast<const char*>(m_Bytes), m_dwLength);
}

std::ostream& operator<<(std::ostream& out, const PhysicalAddress& address) { return out << address.toString(); }

IpAddress::IpAddress(const std::string& text) {
    uint32_t parts[4] = {};
    uint32_t current = 0;
    unsigned digits = 0;
    unsigned dots = 0;
    size_t pos = 0;
    for (; pos < text.size() && dots < 4; ++pos) {
        char c = text[pos];
        if (c >= '0' && c <= '9') {
            // More than seven digits cannot be a part of an address.
            if (++digits > 7) {
                return;
            }
            current = current * 10 + static_cast<uint32_t>(c - '0');
        } else if (c == '.') {
            if (current > 255) {
                return;
            }
            parts[dots++] = current;
            current = 0;
            digits = 0;
        } else {
            return;
        }
    }
    if (dots < 3 || pos != text.size() || current > 255) {
        return;
    }
    if (dots == 3) {
        parts[3] = current;
    }
    m_dwValue = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
    m_bValid = true;
}

uint32_t IpAddress::hostValue() const { return toHostOrder(m_dwValue, m_bHostOrder); }

std::string IpAddress::toString() const {
    if (!m_bValid) {
        return "0.0.0.0";
    }
    uint32_t value = hostValue();
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xFF, (value >> 8) & 0xFF,
                  value & 0xFF);
    return text;
}

}  // namespace rp
