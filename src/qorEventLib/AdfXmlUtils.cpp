#include "qorEventLib/AdfXmlUtils.h"

#include <array>
#include <charconv>
#include <cstring>
#include <utility>

#include "platform/Clock.h"
#include "qorEventLib/qorEventStatus.h"
#include "qorToolsLib/UnicodeConvert.h"

namespace AdfXmlUtils {

namespace {

const char* const kHeaderAttributes[] = {
    "alert-format-version", "alert-name-type",   "alert-name",   "alert-date-time",
    "local-timezone-offset", "alert-time-precision", "alert-time-sequence-id", "alert-id",
    "sensor-address",       "sensor-name",       "product-id",   "alert-type",
    "alert-priority",       "alert-flags",
};
constexpr uint32_t kHeaderAttributeCount = sizeof kHeaderAttributes / sizeof kHeaderAttributes[0];

const char* const kSectionNames[] = {nullptr, "sensor-parameters", "alert-parameters",
                                     "updated-parameters"};

const char* const kXmlTypes[kAlertValueTypeCount] = {
    nullptr, "int", "unsignedInt", "unsignedShort", "unsignedByte", "dateTime", "string", "base64Binary",
};

const char kBlobAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr size_t kFirstBlobLine = 62;
constexpr size_t kBlobLine = 70;

const char kReplacement[] = "\xEF\xBF\xBD";

// The characters that stand for themselves in an attribute value.
constexpr auto kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c) {
        plain[c] = c != '&' && c != '<' && c != '>' && c != '\'' && c != '"';
    }
    return plain;
}();

// The length of the well-formed UTF-8 character at `at` that XML can carry,
// or 0.
size_t XmlCharacterLength(std::string_view text, size_t at) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data()) + at;
    size_t length = Utf8SequenceLength(bytes[0]);
    if (length < 2 || length > 4 || length > text.size() - at || !IsLegalUtf8(bytes, length)) {
        return 0;
    }
    static constexpr unsigned char kLeadMask[5] = {0, 0, 0x1F, 0x0F, 0x07};
    uint32_t value = bytes[0] & kLeadMask[length];
    for (size_t i = 1; i < length; ++i) {
        value = (value << 6) | (bytes[i] & 0x3Fu);
    }
    bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    if (surrogate || value > 0x10FFFF || value == 0xFFFE || value == 0xFFFF) {
        return 0;
    }
    return length;
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        // A run of characters that stand for themselves goes in at once.
        size_t run = i;
        while (run < text.size() && kPlain[static_cast<unsigned char>(text[run])]) {
            ++run;
        }
        out.append(text.data() + i, run - i);
        i = run;
        if (i == text.size()) {
            break;
        }
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            size_t length = XmlCharacterLength(text, i);
            if (length == 0) {
                out += kReplacement;
                ++i;
            } else {
                out.append(text.data() + i, length);
                i += length;
            }
            continue;
        }
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\t':
                out += "&#x9;";
                break;
            case '\n':
                out += "&#xA;";
                break;
            case '\r':
                out += "&#xD;";
                break;
            default:
                out += kReplacement;
                break;
        }
        ++i;
    }
}

void StartEventElement(std::string& out) { out += "<event "; }

void CloseEventStartTag(std::string& out) { out += ">\n"; }

void EndEventElement(std::string& out) { out += "</event>\n"; }

StatusCode SectionName(uint32_t section, const char** name) {
    *name = section >= 1 && section <= 3 ? kSectionNames[section] : nullptr;
    return *name != nullptr ? QOR_S_OK : EVL_ALERT_UNSUPPORTED_SECTION;
}

void StartSectionElement(std::string& out, const char* sectionName) {
    out += '<';
    out += sectionName;
    out += ">\n";
}

void EndSectionElement(std::string& out, const char* sectionName) {
    out += "</";
    out += sectionName;
    out += ">\n";
}

const char* HeaderAttributeName(uint32_t index) {
    return index < kHeaderAttributeCount ? kHeaderAttributes[index] : nullptr;
}

void AppendHeaderAttribute(std::string& out, uint32_t index, std::string_view valueText) {
    out += HeaderAttributeName(index);
    out += "='";
    AppendEscaped(out, valueText);
    out += "' ";
}

StatusCode AppendHeaderValue(std::string& out, uint32_t index, const AlertValue& value) {
    out += HeaderAttributeName(index);
    out += "='";
    const StatusCode status = AppendValueText(out, value);
    out += "' ";
    return status;
}

StatusCode XmlTypeName(uint32_t kind, const char** type) {
    *type = kind < kAlertValueTypeCount ? kXmlTypes[kind] : nullptr;
    return kind < kAlertValueTypeCount ? QOR_S_OK : EVL_ALERT_UNSUPPORTED_TYPE;
}

StatusCode ValueText(const AlertValue& value, std::string& text) {
    switch (value.Type()) {
        case VTypeUnknown:
            text.clear();
            return QOR_S_OK;
        case VTypeInteger:
        case VTypeUint32:
        case VTypeUint16:
        case VTypeUint8:
        case VTypeString:
            text = value.ToString();
            return QOR_S_OK;
        case VTypeDate:
            text = XmlDateText(value.GetDate());
            return QOR_S_OK;
        case VTypeBlob:
            text = BlobText(value.GetBlob());
            return QOR_S_OK;
    }
    return EVL_ALERT_UNSUPPORTED_TYPE;
}

StatusCode AppendValueText(std::string& out, const AlertValue& value) {
    char digits[16];
    auto Decimal = [&](auto number) {
        // Digits and a sign: nothing to escape.
        out.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
        return QOR_S_OK;
    };
    switch (value.Type()) {
        case VTypeUnknown:
            return QOR_S_OK;
        case VTypeInteger:
            return Decimal(value.GetInteger());
        case VTypeUint32:
            return Decimal(value.GetUint32());
        case VTypeUint16:
            return Decimal(unsigned{value.GetUint16()});
        case VTypeUint8:
            return Decimal(unsigned{value.GetUint8()});
        case VTypeString:
            AppendEscaped(out, value.Text());
            return QOR_S_OK;
        case VTypeDate:
            AppendEscaped(out, XmlDateText(value.GetDate()));
            return QOR_S_OK;
        case VTypeBlob:
            AppendEscaped(out, BlobText(value.GetBlob()));
            return QOR_S_OK;
    }
    return EVL_ALERT_UNSUPPORTED_TYPE;
}

StatusCode AppendParamElement(std::string& out, const EventAVP& record) {
    out += "<param name='";
    AppendEscaped(out, record.m_sName);
    out += "' ";
    if (record.m_Value.Type() != VTypeUnknown) {
        const char* type = nullptr;
        StatusCode status = XmlTypeName(record.m_Value.Type(), &type);
        if (status != QOR_S_OK) {
            return status;
        }
        out += "type='";
        out += type;
        out += "' value='";
        // Nothing of the element may stay behind when the value has no text.
        const size_t valueStart = out.size();
        status = AppendValueText(out, record.m_Value);
        if (status != QOR_S_OK) {
            out.resize(valueStart);
            return status;
        }
        out += "' ";
    }
    out += "/>\n";
    return QOR_S_OK;
}

std::string XmlDateText(int64_t seconds) {
    plat::CalendarTime utc;
    if (!plat::UtcCalendarAt(seconds, utc) || utc.m_iYear < 1601 || utc.m_iYear > 30827) {
        return std::string();
    }
    // "yyyy-mm-ddThh:mm:ss", the year with at least four digits.
    char text[32];
    char* end = std::to_chars(text, text + 8, utc.m_iYear).ptr;
    const auto yearDigits = static_cast<size_t>(end - text);
    if (yearDigits < 4) {
        std::memmove(text + 4 - yearDigits, text, yearDigits);
        std::memset(text, '0', 4 - yearDigits);
        end = text + 4;
    }
    for (const auto& [separator, value] : {std::pair{'-', utc.m_iMonth}, std::pair{'-', utc.m_iDay},
                                          std::pair{'T', utc.m_iHour}, std::pair{':', utc.m_iMinute},
                                          std::pair{':', utc.m_iSecond}}) {
        *end++ = separator;
        *end++ = static_cast<char>('0' + value / 10);
        *end++ = static_cast<char>('0' + value % 10);
    }
    return std::string(text, end);
}

StatusCode ParseXmlDateText(std::string_view text, int64_t& seconds) {
    static const char kSeparators[] = {'-', '-', 'T', ':', ':', '\0'};
    int fields[6] = {};
    size_t at = 0;
    for (int field = 0; field < 6; ++field) {
        size_t digits = 0;
        long value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 9) {
            value = value * 10 + (text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0) {
            return EVL_ALERT_XML_BAD_DATETIME_VALUE;
        }
        fields[field] = static_cast<int>(value);
        if (kSeparators[field] != '\0') {
            if (at >= text.size() || text[at] != kSeparators[field]) {
                return EVL_ALERT_XML_BAD_DATETIME_VALUE;
            }
            ++at;
        }
    }
    plat::CalendarTime time;
    time.m_iYear = fields[0];
    time.m_iMonth = fields[1];
    time.m_iDay = fields[2];
    time.m_iHour = fields[3];
    time.m_iMinute = fields[4];
    time.m_iSecond = fields[5];
    return plat::CalendarToSeconds(time, seconds) ? QOR_S_OK : EVL_ALERT_XML_BAD_DATETIME_VALUE;
}

std::string BlobText(const AlertBlob* blob) {
    std::string text;
    if (blob == nullptr || !blob->HasPayload()) {
        return text;
    }
    size_t written = 0;
    auto emit = [&](uint32_t value) {
        text += kBlobAlphabet[value & 0x3F];
        ++written;
        if (written == kFirstBlobLine ||
            (written > kFirstBlobLine && (written - kFirstBlobLine) % kBlobLine == 0)) {
            text += '\n';
        }
    };
    uint32_t bits = 0;
    uint32_t pending = 0;
    for (uint32_t i = 0; i < blob->Size(); ++i) {
        bits |= uint32_t{blob->Data()[i]} << pending;
        pending += 8;
        while (pending >= 6) {
            emit(bits);
            bits >>= 6;
            pending -= 6;
        }
    }
    if (pending > 0) {
        emit(bits);
    }
    return text;
}

}  // namespace AdfXmlUtils
