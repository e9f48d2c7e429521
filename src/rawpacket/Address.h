#pragma once
// Hardware and IPv4 address values: plain copyable values without heap data.

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

namespace rp {

class PhysicalAddress {
public:
    static constexpr uint32_t kMaxBytes = 16;

    PhysicalAddress() = default;
    // Kinds 0 to 2 take six bytes from `bytes`; anything else stays empty.
    PhysicalAddress(const uint8_t* bytes, uint32_t kind);
    // Hexadecimal byte values joined by "-"; raises RuntimeError 0xC7210216
    // for anything else and, with `strict`, 0xC7210217 for fewer than six
    // bytes or an all-0x00 / all-0xFF address.
    PhysicalAddress(const std::string& text, bool strict, uint32_t kind);

    std::string toString() const;
    // Copies min(length, size) bytes; answers how many.
    uint32_t copyTo(uint8_t* buffer, uint32_t size) const;
    void read(std::istream& in);
    void write(std::ostream& out) const;

    const uint8_t* bytes() const { return m_Bytes; }
    uint32_t length() const { return m_dwLength; }
    uint32_t kind() const { return m_dwKind; }
    bool valid() const { return m_bValid; }

    // 6 for media 0 to 3, 0 for the others.
    static uint32_t lengthOfKind(uint32_t kind) { return kind <= 3 ? 6 : 0; }

private:
    uint8_t m_Bytes[kMaxBytes] = {};
    uint32_t m_dwLength = 6;
    uint32_t m_dwKind = 0;
    bool m_bValid = false;
};

std::ostream& operator<<(std::ostream& out, const PhysicalAddress& address);

class IpAddress {
public:
    IpAddress() = default;
    // Dotted decimal; a text that is not an address gives an invalid value 0.
    explicit IpAddress(const std::string& text);
    IpAddress(uint32_t value, bool hostOrder) : m_dwValue(value), m_bHostOrder(hostOrder), m_bValid(true) {}

    uint32_t value() const { return m_dwValue; }
    bool hostOrder() const { return m_bHostOrder; }
    bool valid() const { return m_bValid; }
    uint32_t hostValue() const;
    std::string toString() const;

private:
    uint32_t m_dwValue = 0;
    bool m_bHostOrder = true;
    uint32_t m_dwReserved = 0;
    bool m_bValid = false;
};

inline uint32_t SwapBytes32(uint32_t value) { return __builtin_bswap32(value); }
// Reverses the bytes when the flag byte is 1.
inline uint32_t SwapBytes32If(uint32_t value, uint8_t flag) { return flag == 1 ? SwapBytes32(value) : value; }
inline uint32_t toHostOrder(uint32_t value, bool hostOrder) { return hostOrder ? value : SwapBytes32(value); }
inline uint32_t toNetworkOrder(uint32_t value, bool hostOrder) { return hostOrder ? SwapBytes32(value) : value; }

}  // namespace rp
