#pragma once
// The BER building blocks of SNMP version 1 trap messages: each object knows
// its tag and contents and writes tag, definite length and contents into a
// caller's buffer.  Nothing is ever partly written and reported as success:
// an encoding that does not fit answers 0.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum : uint8_t {
    kAsn1TagInteger = 0x02,
    kAsn1TagOctetString = 0x04,
    kAsn1TagNull = 0x05,
    kAsn1TagObjectId = 0x06,
    kAsn1TagSequence = 0x30,
    kAsn1TagIpAddress = 0x40,
    kAsn1TagTimeTicks = 0x43,
    kAsn1TagTrapPdu = 0xA4,
};

class ASN1Object {
public:
    explicit ASN1Object(uint8_t tag) : m_bTag(tag) {}
    ASN1Object(const ASN1Object&) = default;
    ASN1Object& operator=(const ASN1Object&) = default;
    virtual ~ASN1Object();

    // Writes the contents octets and answers their number, or 0 when they do
    // not fit in `room`.
    virtual uint32_t EncodeContents(uint8_t* buffer, uint32_t room) const = 0;
    virtual uint32_t ContentLength() const = 0;

    // Tag, length field and contents; 0 when the whole does not fit.
    uint32_t Encode(uint8_t* buffer, uint32_t room) const;
    uint32_t EncodedLength() const;

    uint8_t Tag() const { return m_bTag; }

    // Octets of the definite length field for `length` (1 to 5).
    static uint32_t LengthFieldSize(uint32_t length);
    // Writes the length field; the caller has checked the room.
    static uint32_t WriteLengthField(uint8_t* buffer, uint32_t length);

protected:
    uint8_t m_bTag;
};

// A 32-bit integer in the fewest two's-complement octets.
class ASN1Integer : public ASN1Object {
public:
    explicit ASN1Integer(int32_t value = 0) : ASN1Object(kAsn1TagInteger), m_dwValue(value) {}
    ASN1Integer(uint8_t tag, int32_t value)
        : ASN1Object(tag), m_dwValue(static_cast<uint32_t>(value)) {}

    uint32_t EncodeContents(uint8_t* buffer, uint32_t room) const override;
    uint32_t ContentLength() const override;

    int32_t Value() const { return static_cast<int32_t>(m_dwValue); }
    void SetValue(int32_t value) { m_dwValue = static_cast<uint32_t>(value); }

protected:
    uint32_t m_dwValue;
};

// An IPv4 address kept in network order; always 4 contents octets.
class ASN1IpAddress : public ASN1Integer {
public:
    explicit ASN1IpAddress(uint32_t networkOrderAddress = 0);

    uint32_t EncodeContents(uint8_t* buffer, uint32_t room) const override;
    uint32_t ContentLength() const override { return 4; }

    uint32_t Address() const { return m_dwValue; }
    void SetAddress(uint32_t networkOrderAddress) { m_dwValue = networkOrderAddress; }
};

// Hundredths of a second, unsigned: a count with its top bit set takes a
// fifth octet.
class ASN1TimeTicks : public ASN1Integer {
public:
    explicit ASN1TimeTicks(uint32_t ticks = 0);

    uint32_t EncodeContents(uint8_t* buffer, uint32_t room) const override;
    uint32_t ContentLength() const override;

    uint32_t Ticks() const { return m_dwValue; }
    void SetTicks(uint32_t ticks) { m_dwValue = ticks; }
};

// Owned bytes; an empty string is a NULL (tag 0x05, no contents).
class ASN1OctetString : public ASN1Object {
public:
    ASN1OctetString();
    ASN1OctetString(const uint8_t* bytes, size_t length);
    ASN1OctetString(const ASN1OctetString& other) = default;
    ASN1OctetString& operator=(const ASN1OctetString& other) = default;
    ASN1OctetString& operator=(const std::string& text);
    ASN1OctetString& operator=(const char* text);

    uint32_t EncodeContents(uint8_t* buffer, uint32_t room) const override;
    uint32_t ContentLength() const override { return static_cast<uint32_t>(m_vBytes.size()); }

    const std::vector<uint8_t>& Bytes() const { return m_vBytes; }

protected:
    explicit ASN1OctetString(uint8_t tag) : ASN1Object(tag) {}
    void Assign(const uint8_t* bytes, size_t length);

    std::vector<uint8_t> m_vBytes;
};

class ASN1DisplayString : public ASN1OctetString {
public:
    explicit ASN1DisplayString(const char* text);
    explicit ASN1DisplayString(const std::string& text);
    using ASN1OctetString::operator=;
};

// An object identifier built from its dotted text.  The encoded form holds
// at most kMaxEncodedOctets; an identifier that would need more encodes as
// an empty one rather than as a cut one.
class ASN1ObjectId : public ASN1OctetString {
public:
    static constexpr size_t kMaxTextLength = 1408;
    static constexpr size_t kMaxEncodedOctets = 1409;

    explicit ASN1ObjectId(const char* dottedText = nullptr);
    explicit ASN1ObjectId(const std::string& dottedText) : ASN1ObjectId(dottedText.c_str()) {}
    ASN1ObjectId(const ASN1ObjectId& other) = default;
    ASN1ObjectId& operator=(const ASN1ObjectId& other);
    ASN1ObjectId& operator=(const char* dottedText);

    const std::string& Text() const { return m_sText; }

private:
    void Build(const char* dottedText);

    std::string m_sText;
};
