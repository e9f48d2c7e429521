#include "qorToolsLib/ASN1Object.h"

#include <cstring>

namespace {

// Octets of a non-negative value in base 128 (1 to 10).
uint32_t Base128Size(uint64_t value) {
    uint32_t size = 1;
    while (value >= 128) {
        value >>= 7;
        ++size;
    }
    return size;
}

void WriteBase128(uint8_t* out, uint64_t value, uint32_t size) {
    for (uint32_t i = size; i-- > 0;) {
        uint8_t group = static_cast<uint8_t>(value & 0x7F);
        out[i] = (i + 1 == size) ? group : static_cast<uint8_t>(group | 0x80);
        value >>= 7;
    }
}

// The leading decimal digits of an arc, saturating; anything else reads 0.
uint64_t ParseArc(const char* text, size_t length) {
    uint64_t value = 0;
    for (size_t i = 0; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > 0xFFFFFFFFu) {
            return 0xFFFFFFFFu;
        }
    }
    return value;
}

uint32_t WriteBigEndian(uint8_t* buffer, uint32_t room, uint64_t value, uint32_t size) {
    if (size > room) {
        return 0;
    }
    for (uint32_t i = size; i-- > 0;) {
        buffer[i] = static_cast<uint8_t>(value & 0xFF);
        value >>= 8;
    }
    return size;
}

}  // namespace

ASN1Object::~ASN1Object() = default;

uint32_t ASN1Object::LengthFieldSize(uint32_t length) {
    if (length < 128) {
        return 1;
    }
    if (length < 256) {
        return 2;
    }
    if (length < 65536) {
        return 3;
    }
    if (length < 16777216) {
        return 4;
    }
    return 5;
}

uint32_t ASN1Object::WriteLengthField(uint8_t* buffer, uint32_t length) {
    uint32_t size = LengthFieldSize(length);
    if (size == 1) {
        buffer[0] = static_cast<uint8_t>(length);
        return 1;
    }
    buffer[0] = static_cast<uint8_t>(0x80 + size - 1);
    WriteBigEndian(buffer + 1, size - 1, length, size - 1);
    return size;
}

uint32_t ASN1Object::EncodedLength() const {
    uint32_t contents = ContentLength();
    return 1 + LengthFieldSize(contents) + contents;
}

uint32_t ASN1Object::Encode(uint8_t* buffer, uint32_t room) const {
    uint32_t contents = ContentLength();
    uint32_t header = 1 + LengthFieldSize(contents);
    if (buffer == nullptr || contents > room || header > room - contents) {
        return 0;
    }
    buffer[0] = m_bTag;
    WriteLengthField(buffer + 1, contents);
    if (EncodeContents(buffer + header, room - header) != contents) {
        return 0;
    }
    return header + contents;
}

// Two's complement in the fewest octets: 1 to 4.
uint32_t ASN1Integer::ContentLength() const {
    int32_t value = static_cast<int32_t>(m_dwValue);
    uint32_t size = 1;
    while (size < 4) {
        int64_t limit = int64_t{1} << (8 * size - 1);
        if (value >= -limit && value < limit) {
            break;
        }
        ++size;
    }
    return size;
}

uint32_t ASN1Integer::EncodeContents(uint8_t* buffer, uint32_t room) const {
    return WriteBigEndian(buffer, room, m_dwValue, ContentLength());
}

ASN1IpAddress::ASN1IpAddress(uint32_t networkOrderAddress)
    : ASN1Integer(kAsn1TagIpAddress, static_cast<int32_t>(networkOrderAddress)) {}

uint32_t ASN1IpAddress::EncodeContents(uint8_t* buffer, uint32_t room) const {
    if (room < 4) {
        return 0;
    }
    std::memcpy(buffer, &m_dwValue, 4);
    return 4;
}

ASN1TimeTicks::ASN1TimeTicks(uint32_t ticks)
    : ASN1Integer(kAsn1TagTimeTicks, static_cast<int32_t>(ticks)) {}

// Unsigned, with a leading zero octet when the top bit of the first one
// would be set: 1 to 5 octets.
uint32_t ASN1TimeTicks::ContentLength() const {
    uint32_t size = 1;
    while (size < 5 && uint64_t{m_dwValue} >= (uint64_t{1} << (8 * size - 1))) {
        ++size;
    }
    return size;
}

uint32_t ASN1TimeTicks::EncodeContents(uint8_t* buffer, uint32_t room) const {
    return WriteBigEndian(buffer, room, m_dwValue, ContentLength());
}

ASN1OctetString::ASN1OctetString() : ASN1Object(kAsn1TagNull) {}

ASN1OctetString::ASN1OctetString(const uint8_t* bytes, size_t length) : ASN1Object(kAsn1TagNull) {
    Assign(bytes, length);
}

void ASN1OctetString::Assign(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr || length == 0) {
        m_bTag = kAsn1TagNull;
        m_vBytes.clear();
        return;
    }
    m_bTag = kAsn1TagOctetString;
    m_vBytes.assign(bytes, bytes + length);
}

ASN1OctetString& ASN1OctetString::operator=(const std::string& text) {
    Assign(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return *this;
}

ASN1OctetString& ASN1OctetString::operator=(const char* text) {
    Assign(reinterpret_cast<const uint8_t*>(text), text == nullptr ? 0 : std::strlen(text));
    return *this;
}

uint32_t ASN1OctetString::EncodeContents(uint8_t* buffer, uint32_t room) const {
    if (m_vBytes.size() > room) {
        return 0;
    }
    if (!m_vBytes.empty()) {
        std::memcpy(buffer, m_vBytes.data(), m_vBytes.size());
    }
    return static_cast<uint32_t>(m_vBytes.size());
}

ASN1DisplayString::ASN1DisplayString(const char* text) {
    *this = text;
}

ASN1DisplayString::ASN1DisplayString(const std::string& text) {
    *this = text;
}

ASN1ObjectId::ASN1ObjectId(const char* dottedText) : ASN1OctetString(kAsn1TagObjectId) {
    Build(dottedText);
}

ASN1ObjectId& ASN1ObjectId::operator=(const ASN1ObjectId& other) {
    if (this != &other) {
        Build(other.m_sText.c_str());
    }
    return *this;
}

ASN1ObjectId& ASN1ObjectId::operator=(const char* dottedText) {
    Build(dottedText);
    return *this;
}

void ASN1ObjectId::Build(const char* dottedText) {
    m_bTag = kAsn1TagObjectId;
    m_vBytes.clear();
    m_sText.assign(dottedText == nullptr ? "" : dottedText);
    if (m_sText.size() > kMaxTextLength) {
        m_sText.resize(kMaxTextLength);
    }
    if (m_sText.empty()) {
        return;
    }
    std::vector<uint64_t> arcs;
    size_t start = 0;
    while (start <= m_sText.size()) {
        size_t dot = m_sText.find('.', start);
        size_t end = dot == std::string::npos ? m_sText.size() : dot;
        arcs.push_back(ParseArc(m_sText.data() + start, end - start));
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    // The first two arcs share one sub-identifier.
    uint64_t first = arcs[0] * 40 + (arcs.size() > 1 ? arcs[1] : 0);
    std::vector<uint64_t> subIds{first};
    subIds.insert(subIds.end(), arcs.begin() + (arcs.size() > 1 ? 2 : 1), arcs.end());
    uint8_t encoded[kMaxEncodedOctets];
    uint32_t used = 0;
    for (uint64_t subId : subIds) {
        uint32_t size = Base128Size(subId);
        if (size > kMaxEncodedOctets - used) {
            return;
        }
        WriteBase128(encoded + used, subId, size);
        used += size;
    }
    m_vBytes.assign(encoded, encoded + used);
}
