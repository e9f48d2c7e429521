#pragma once
// The typed values of the event library: one value of one of eight kinds,
// its text and tagged-stream forms, the reference-counted text and blob
// payloads that copies of a value share, and the record that pairs a value
// with an id and a name inside an event.

#include <cstdint>
#include <string>
#include <string_view>

#include "qorEventLib/CRefCountObject.h"
#include "qorToolsLib/qorStatus.h"

class qorStreamEncode;
class qorStreamDecode;

enum AlertValueType : uint32_t {
    VTypeUnknown = 0,
    VTypeInteger = 1,
    VTypeUint32 = 2,
    VTypeUint16 = 3,
    VTypeUint8 = 4,
    VTypeDate = 5,
    VTypeString = 6,
    VTypeBlob = 7,
};

constexpr uint32_t kAlertValueTypeCount = 8;

class AlertString : public CRefCountObject {
public:
    explicit AlertString(std::string_view text) : m_sText(text) {}
    const std::string& Text() const { return m_sText; }

private:
    std::string m_sText;
};

class AlertBlob : public CRefCountObject {
public:
    // Copies `size` bytes of `data`, or zero-fills them when data is null;
    // size 0 leaves the blob without payload.
    AlertBlob(const void* data, uint32_t size);
    ~AlertBlob() override;

    uint32_t Size() const { return m_uSize; }
    const uint8_t* Data() const { return m_pbyData; }
    // The payload is written in place by the event that computes its digest;
    // every value sharing the blob sees the change.
    uint8_t* MutableData() { return m_pbyData; }
    bool HasPayload() const { return m_pbyData != nullptr; }

private:
    uint32_t m_uSize;
    uint8_t* m_pbyData;
};

class AlertValue {
public:
    AlertValue() = default;
    AlertValue(const AlertValue& other);
    AlertValue(AlertValue&& other) noexcept;
    AlertValue& operator=(const AlertValue& other);
    AlertValue& operator=(AlertValue&& other) noexcept;
    ~AlertValue();

    static AlertValue Integer(int32_t value);
    static AlertValue Uint32(uint32_t value);
    static AlertValue Uint16(uint16_t value);
    static AlertValue Uint8(uint8_t value);
    // Seconds since 1970-01-01 00:00 UTC.
    static AlertValue Date(int64_t seconds);
    static AlertValue String(std::string_view text);
    // Takes a reference to an existing payload (null leaves it unset).
    static AlertValue String(AlertString* payload);
    static AlertValue Blob(const void* data, uint32_t size);
    static AlertValue Blob(AlertBlob* payload);

    AlertValueType Type() const { return m_eType; }
    int32_t GetInteger() const { return m_Payload.iValue; }
    uint32_t GetUint32() const { return m_Payload.uValue; }
    uint16_t GetUint16() const { return m_Payload.wValue; }
    uint8_t GetUint8() const { return m_Payload.byValue; }
    int64_t GetDate() const { return m_Payload.llDate; }
    // The payloads of kinds 6 and 7, or null.
    AlertString* GetString() const { return m_eType == VTypeString ? m_Payload.pString : nullptr; }
    AlertBlob* GetBlob() const { return m_eType == VTypeBlob ? m_Payload.pBlob : nullptr; }
    // The text of a string value, else an empty text.
    const std::string& Text() const;

    // Gives back a payload reference; the kind stays.
    void Clear();
    bool IsSet() const;
    bool Equals(const AlertValue& other) const;
    const char* TypeName() const;
    std::string ToString() const;

    // One item of the value's kind, named by `userTypeName` when it is not
    // empty, else numbered `userType`.
    StatusCode Encode(qorStreamEncode& encoder, const char* userTypeName, uint32_t userType) const;
    // Reads the next item, whose type the caller has peeked, into this
    // value; a failure leaves the value unchanged.
    StatusCode Decode(qorStreamDecode& decoder, uint8_t itemType);

private:
    union Payload {
        int32_t iValue;
        uint32_t uValue;
        uint16_t wValue;
        uint8_t byValue;
        int64_t llDate;
        AlertString* pString;
        AlertBlob* pBlob;
    };

    CRefCountObject* Counted() const;

    AlertValueType m_eType = VTypeUnknown;
    Payload m_Payload{.llDate = 0};
};

// The text form of a date: "Thu, 01 Jan 1970 00:00:00 +0000", in local time
// with the zone offset in force at that instant.  Empty when the date lies
// outside the calendar the system can represent.
std::string FormatAlertDate(int64_t seconds);

// The name of a kind ("VTypeUnknown" ... "VTypeBlob"), or null.
const char* AlertValueTypeName(uint32_t kind);

// One record of an event section.  An unset record has id 15, an empty name
// and an unknown value.
struct EventAVP {
    static constexpr uint32_t kUnsetId = 15;

    EventAVP() = default;
    EventAVP(uint32_t id, const AlertValue& value) : m_uId(id), m_Value(value) {}
    EventAVP(uint32_t id, std::string name, AlertValue value)
        : m_uId(id), m_sName(std::move(name)), m_Value(std::move(value)) {}

    uint32_t m_uId = kUnsetId;
    std::string m_sName;
    AlertValue m_Value;
};
