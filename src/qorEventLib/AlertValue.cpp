#include "qorEventLib/AlertValue.h"

#include <charconv>
#include <cstring>
#include <new>
#include <utility>

#include "platform/Clock.h"
#include "platform/TimeZone.h"
#include "qorEventLib/qorEventStatus.h"
#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/QORError.h"
#include "qorToolsLib/SafeText.h"
#include "qorToolsLib/qorStreamDecode.h"
#include "qorToolsLib/qorStreamEncode.h"

namespace {

const char* const kTypeNames[kAlertValueTypeCount] = {
    "VTypeUnknown", "VTypeInteger", "VTypeUint32", "VTypeUint16",
    "VTypeUint8",   "VTypeDate",    "VTypeString", "VTypeBlob",
};

const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Blobs longer than this print their first and last bytes only.
constexpr uint32_t kBlobShownWhole = 16;
constexpr uint32_t kBlobEnds = 4;

std::string BlobText(const AlertBlob* blob) {
    uint32_t size = blob != nullptr ? blob->Size() : 0;
    char piece[32];
    BoundedSnprintf(piece, sizeof piece, "[Size=%u] 0x", size);
    std::string text(piece);
    if (blob == nullptr || !blob->HasPayload()) {
        return text;
    }
    const uint8_t* data = blob->Data();
    for (uint32_t i = 0; i < size; ++i) {
        if (size > kBlobShownWhole && i == kBlobEnds) {
            text += "...";
            i = size - kBlobEnds;
        }
        BoundedSnprintf(piece, sizeof piece, "%2.2x", data[i]);
        text += piece;
    }
    return text;
}

// A value whose encoder raises its failures raises these too.
StatusCode RaiseOrReturn(const qorStreamEncode& encoder, StatusCode status) {
    if (status != QOR_S_OK && !encoder.IsNoThrow()) {
        throw qorErrorException(status, "osStatus", __FILE__, __LINE__);
    }
    return status;
}

}  // namespace

AlertBlob::AlertBlob(const void* data, uint32_t size) : m_uSize(size), m_pbyData(nullptr) {
    if (size == 0) {
        return;
    }
    m_pbyData = new uint8_t[size];
    if (data != nullptr) {
        std::memcpy(m_pbyData, data, size);
    } else {
        std::memset(m_pbyData, 0, size);
    }
}

AlertBlob::~AlertBlob() { delete[] m_pbyData; }

const char* AlertValueTypeName(uint32_t kind) {
    return kind < kAlertValueTypeCount ? kTypeNames[kind] : nullptr;
}

CRefCountObject* AlertValue::Counted() const {
    if (m_eType == VTypeString) {
        return m_Payload.pString;
    }
    if (m_eType == VTypeBlob) {
        return m_Payload.pBlob;
    }
    return nullptr;
}

AlertValue::AlertValue(const AlertValue& other) : m_eType(other.m_eType), m_Payload(other.m_Payload) {
    if (CRefCountObject* counted = Counted()) {
        counted->AddRef();
    }
}

AlertValue::AlertValue(AlertValue&& other) noexcept
    : m_eType(other.m_eType), m_Payload(other.m_Payload) {
    if (Counted() != nullptr) {
        other.m_Payload.llDate = 0;
    }
}

AlertValue& AlertValue::operator=(const AlertValue& other) {
    if (this != &other) {
        if (CRefCountObject* counted = other.Counted()) {
            counted->AddRef();
        }
        Clear();
        m_eType = other.m_eType;
        m_Payload = other.m_Payload;
    }
    return *this;
}

AlertValue& AlertValue::operator=(AlertValue&& other) noexcept {
    if (this != &other) {
        Clear();
        m_eType = other.m_eType;
        m_Payload = other.m_Payload;
        if (Counted() != nullptr) {
            other.m_Payload.llDate = 0;
        }
    }
    return *this;
}

AlertValue::~AlertValue() { Clear(); }

AlertValue AlertValue::Integer(int32_t value) {
    AlertValue v;
    v.m_eType = VTypeInteger;
    v.m_Payload.iValue = value;
    return v;
}

AlertValue AlertValue::Uint32(uint32_t value) {
    AlertValue v;
    v.m_eType = VTypeUint32;
    v.m_Payload.uValue = value;
    return v;
}

AlertValue AlertValue::Uint16(uint16_t value) {
    AlertValue v;
    v.m_eType = VTypeUint16;
    v.m_Payload.wValue = value;
    return v;
}

AlertValue AlertValue::Uint8(uint8_t value) {
    AlertValue v;
    v.m_eType = VTypeUint8;
    v.m_Payload.byValue = value;
    return v;
}

AlertValue AlertValue::Date(int64_t seconds) {
    AlertValue v;
    v.m_eType = VTypeDate;
    v.m_Payload.llDate = seconds;
    return v;
}

AlertValue AlertValue::String(std::string_view text) { return String(new AlertString(text)); }

AlertValue AlertValue::String(AlertString* payload) {
    AlertValue v;
    v.m_eType = VTypeString;
    v.m_Payload.pString = payload;
    if (payload != nullptr) {
        payload->AddRef();
    }
    return v;
}

AlertValue AlertValue::Blob(const void* data, uint32_t size) {
    return Blob(new AlertBlob(data, size));
}

AlertValue AlertValue::Blob(AlertBlob* payload) {
    AlertValue v;
    v.m_eType = VTypeBlob;
    v.m_Payload.pBlob = payload;
    if (payload != nullptr) {
        payload->AddRef();
    }
    return v;
}

const std::string& AlertValue::Text() const {
    static const std::string kEmpty;
    AlertString* text = GetString();
    return text != nullptr ? text->Text() : kEmpty;
}

void AlertValue::Clear() {
    if (CRefCountObject* counted = Counted()) {
        m_Payload.llDate = 0;
        counted->Release();
    }
}

bool AlertValue::IsSet() const {
    switch (m_eType) {
        case VTypeString:
            return m_Payload.pString != nullptr;
        case VTypeBlob:
            return m_Payload.pBlob != nullptr && m_Payload.pBlob->HasPayload();
        default:
            return true;
    }
}

bool AlertValue::Equals(const AlertValue& other) const {
    if (m_eType != other.m_eType || m_eType >= kAlertValueTypeCount) {
        return false;
    }
    switch (m_eType) {
        case VTypeUnknown:
            return true;
        case VTypeInteger:
        case VTypeUint32:
            return m_Payload.uValue == other.m_Payload.uValue;
        case VTypeUint16:
            return m_Payload.wValue == other.m_Payload.wValue;
        case VTypeUint8:
            return m_Payload.byValue == other.m_Payload.byValue;
        case VTypeDate:
            return m_Payload.llDate == other.m_Payload.llDate;
        case VTypeString:
            if (m_Payload.pString == nullptr || other.m_Payload.pString == nullptr) {
                return m_Payload.pString == other.m_Payload.pString;
            }
            return m_Payload.pString->Text() == other.m_Payload.pString->Text();
        case VTypeBlob: {
            const AlertBlob* a = m_Payload.pBlob;
            const AlertBlob* b = other.m_Payload.pBlob;
            return a != nullptr && b != nullptr && a->HasPayload() && b->HasPayload() &&
                   a->Size() == b->Size() && a->Size() != 0 &&
                   std::memcmp(a->Data(), b->Data(), a->Size()) == 0;
        }
    }
    return false;
}

const char* AlertValue::TypeName() const {
    const char* name = AlertValueTypeName(m_eType);
    return name != nullptr ? name : "";
}

std::string AlertValue::ToString() const {
    // Decimal digits alone, as "%d" and "%u" print them.
    auto Decimal = [](auto value) {
        char buffer[16];
        return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
    };
    switch (m_eType) {
        case VTypeInteger:
            return Decimal(m_Payload.iValue);
        case VTypeUint32:
            return Decimal(m_Payload.uValue);
        case VTypeUint16:
            return Decimal(unsigned{m_Payload.wValue});
        case VTypeUint8:
            return Decimal(unsigned{m_Payload.byValue});
        case VTypeDate:
            return FormatAlertDate(m_Payload.llDate);
        case VTypeString:
            return Text();
        case VTypeBlob:
            return BlobText(m_Payload.pBlob);
        default:
            return std::string();
    }
}

std::string FormatAlertDate(int64_t seconds) {
    // Local time, and the offset that was in force at that instant (not the
    // zone's current daylight state), so hour and offset always agree.
    int32_t bias = plat::GetTimeZoneInfoAt(seconds).ActiveBias();
    plat::CalendarTime local;
    if (!plat::UtcCalendarAt(seconds - int64_t{bias} * 60, local) || local.m_iYear < 1601 ||
        local.m_iYear > 30827) {
        return std::string();
    }
    uint32_t magnitude = static_cast<uint32_t>(bias < 0 ? -bias : bias);
    char text[32];
    BoundedSnprintf(text, sizeof text, "%s, %2.2u %s %4.4u %2.2u:%2.2u:%2.2u %c%02u%02u",
                    kDayNames[local.m_iDayOfWeek], static_cast<unsigned>(local.m_iDay),
                    kMonthNames[local.m_iMonth - 1], static_cast<unsigned>(local.m_iYear),
                    static_cast<unsigned>(local.m_iHour), static_cast<unsigned>(local.m_iMinute),
                    static_cast<unsigned>(local.m_iSecond), bias <= 0 ? '+' : '-', magnitude / 60,
                    magnitude % 60);
    return text;
}

StatusCode AlertValue::Encode(qorStreamEncode& encoder, const char* userTypeName,
                              uint32_t userType) const {
    if (!IsSet()) {
        return RaiseOrReturn(encoder, EVL_VALUE_NOT_SET);
    }
    const char* name = userTypeName;
    switch (m_eType) {
        case VTypeUnknown:
            return encoder.InsertDataItem(name, userType, ET_UNKNOWN);
        case VTypeInteger:
            return encoder.InsertDataItem(name, userType, ET_SINT32, &m_Payload.iValue, 4);
        case VTypeUint32:
            return encoder.InsertDataItem(name, userType, ET_UINT32, &m_Payload.uValue, 4);
        case VTypeUint16:
            return encoder.InsertDataItem(name, userType, ET_UINT16, &m_Payload.wValue, 2);
        case VTypeUint8:
            return encoder.InsertDataItem(name, userType, ET_UINT8, &m_Payload.byValue, 1);
        case VTypeDate:
            return encoder.InsertDataItem(name, userType, ET_UINT64, &m_Payload.llDate, 8);
        case VTypeString: {
            // The terminating zero is written as part of the data, and a
            // reader ends the text at the first zero: a NUL inside the text
            // (a byte a sender or writer chose) goes as U+FFFD, as the XML
            // form shows every control byte, and takes nothing after it.
            const std::string& text = m_Payload.pString->Text();
            std::string withoutNul;
            if (text.find('\0') != std::string::npos) {
                withoutNul = text;
                ReplaceNulBytes(withoutNul);
            }
            const std::string& sent = withoutNul.empty() ? text : withoutNul;
            if (sent.size() >= UINT32_MAX) {
                return RaiseOrReturn(encoder, QOR_E_INVALID_ARG);
            }
            return encoder.InsertDataItem(name, userType, ET_WTEXT, sent.c_str(),
                                          static_cast<uint32_t>(sent.size() + 1));
        }
        case VTypeBlob:
            return encoder.InsertDataItem(name, userType, ET_BLOB, m_Payload.pBlob->Data(),
                                          m_Payload.pBlob->Size());
    }
    return RaiseOrReturn(encoder, EVL_VALUE_NO_STREAM_FORM);
}

StatusCode AlertValue::Decode(qorStreamDecode& decoder, uint8_t itemType) {
    StatusCode status;
    switch (itemType) {
        case ET_SINT32:
        case ET_UINT32: {
            uint32_t value = 0;
            status = decoder.ExtractInt32(nullptr, nullptr, &value, itemType);
            if (status == QOR_S_OK) {
                *this = itemType == ET_SINT32 ? Integer(static_cast<int32_t>(value)) : Uint32(value);
            }
            return status;
        }
        case ET_UINT16: {
            uint16_t value = 0;
            status = decoder.ExtractInt16(nullptr, nullptr, &value);
            if (status == QOR_S_OK) {
                *this = Uint16(value);
            }
            return status;
        }
        case ET_UINT8: {
            uint8_t value = 0;
            status = decoder.ExtractInt8(nullptr, nullptr, &value);
            if (status == QOR_S_OK) {
                *this = Uint8(value);
            }
            return status;
        }
        case ET_UINT64: {
            uint64_t value = 0;
            status = decoder.ExtractInt64(nullptr, nullptr, &value);
            if (status == QOR_S_OK) {
                *this = Date(static_cast<int64_t>(value));
            }
            return status;
        }
        case ET_WTEXT: {
            const char* text = nullptr;
            uint32_t length = 0;
            status = decoder.ExtractText(nullptr, nullptr, &text, &length);
            if (status == QOR_S_OK) {
                *this = String(std::string_view(text, length));
            }
            return status;
        }
        case ET_BLOB: {
            const uint8_t* data = nullptr;
            uint32_t length = 0;
            status = decoder.ExtractBlob(nullptr, nullptr, &data, &length);
            if (status == QOR_S_OK) {
                *this = Blob(data, length);
            }
            return status;
        }
        case ET_UNKNOWN:
            status = decoder.SkipItem();
            if (status == QOR_S_OK) {
                Clear();
                m_eType = VTypeUnknown;
            }
            return status;
        default:
            return EVL_ALERT_UNSUPPORTED_TYPE;
    }
}
