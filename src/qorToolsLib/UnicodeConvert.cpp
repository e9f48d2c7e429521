#include "qorToolsLib/UnicodeConvert.h"

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr char32_t kMaxLegal = 0x10FFFF;

bool IsSurrogate(char32_t value) { return value >= 0xD800 && value <= 0xDFFF; }
bool IsHighSurrogate(char32_t value) { return value >= 0xD800 && value <= 0xDBFF; }
bool IsLowSurrogate(char32_t value) { return value >= 0xDC00 && value <= 0xDFFF; }
bool IsNonCharacter(char32_t value) { return value == 0xFFFE || value == 0xFFFF; }

// What one step of reading found.  `status` is 0 for a good character; for
// an offence `next` is where reading resumes in replacing mode.
template <typename Unit>
struct ReadResult {
    char32_t value;
    const Unit* next;
    StatusCode status;
};

// The checks every source form shares once a value has been assembled.
StatusCode CheckScalar(char32_t value, StatusCode surrogateStatus) {
    if (value > kMaxLegal) {
        return QOR_E_UNICODE_RANGE;
    }
    if (IsSurrogate(value)) {
        return surrogateStatus;
    }
    if (IsNonCharacter(value)) {
        return QOR_E_UNICODE_ILLEGAL;
    }
    return QOR_S_OK;
}

ReadResult<char32_t> ReadUtf32(const char32_t* p, const char32_t* /*end*/) {
    char32_t value = *p;
    return {value, p + 1, CheckScalar(value, QOR_E_UNICODE_UNENCODABLE)};
}

ReadResult<char16_t> ReadUtf16(const char16_t* p, const char16_t* end) {
    char32_t first = *p;
    if (IsHighSurrogate(first)) {
        if (p + 1 >= end) {
            return {first, p, QOR_E_UNICODE_TRUNCATED};
        }
        char32_t second = p[1];
        if (!IsLowSurrogate(second)) {
            return {first, p + 1, QOR_E_UNICODE_UNPAIRED};
        }
        return {((first - 0xD800) << 10) + (second - 0xDC00) + 0x10000, p + 2, QOR_S_OK};
    }
    if (IsLowSurrogate(first)) {
        return {first, p + 1, QOR_E_UNICODE_UNPAIRED};
    }
    return {first, p + 1, IsNonCharacter(first) ? QOR_E_UNICODE_ILLEGAL : QOR_S_OK};
}

// The lower bound of the second byte after a given lead.
unsigned char SecondByteMinimum(unsigned char lead) {
    switch (lead) {
        case 0xE0:
            return 0xA0;
        case 0xF0:
            return 0x90;
        case 0xF8:
            return 0x88;
        case 0xFC:
            return 0x84;
        default:
            return 0x80;
    }
}

bool IsLegalLead(unsigned char lead) { return !(lead >= 0x80 && lead <= 0xC1) && lead <= 0xFD; }

// Checks the bytes that are present of a sequence cut short by the end of
// the input, so that a prefix already malformed is not reported as merely
// incomplete.
bool IsLegalUtf8Prefix(const unsigned char* sequence, size_t available) {
    if (!IsLegalLead(sequence[0])) {
        return false;
    }
    for (size_t i = 1; i < available; ++i) {
        unsigned char byte = sequence[i];
        unsigned char minimum = i == 1 ? SecondByteMinimum(sequence[0]) : 0x80;
        if (byte < minimum || byte > 0xBF) {
            return false;
        }
    }
    return true;
}

// Where replacing resumes after a malformed sequence: past the lead and past
// those announced bytes that cannot start a sequence.
const char* SkipMalformed(const char* p, size_t length) {
    const char* next = p + 1;
    const char* limit = p + length;
    while (next < limit && !IsUtf8SequenceStart(static_cast<unsigned char>(*next))) {
        ++next;
    }
    return next;
}

ReadResult<char> ReadUtf8(const char* p, const char* end) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(p);
    size_t length = Utf8SequenceLength(bytes[0]);
    size_t available = static_cast<size_t>(end - p);
    if (length > available) {
        if (IsLegalUtf8Prefix(bytes, available)) {
            return {0, p, QOR_E_UNICODE_TRUNCATED};
        }
        return {0, SkipMalformed(p, available), QOR_E_UNICODE_MALFORMED};
    }
    if (!IsLegalUtf8(bytes, length)) {
        return {0, SkipMalformed(p, length), QOR_E_UNICODE_MALFORMED};
    }
    static constexpr unsigned char kLeadMask[7] = {0, 0x7F, 0x1F, 0x0F, 0x07, 0x03, 0x01};
    char32_t value = bytes[0] & kLeadMask[length];
    for (size_t i = 1; i < length; ++i) {
        value = (value << 6) | (bytes[i] & 0x3F);
    }
    return {value, p + length, CheckScalar(value, QOR_E_UNICODE_SURROGATE)};
}

// Targets: a growable string or a caller's buffer.
template <typename Unit>
class StringTarget {
public:
    StringTarget(std::basic_string<Unit>& text, size_t expected) : m_text(text) {
        m_text.reserve(m_text.size() + expected);
    }
    bool Put(const Unit* units, size_t count) {
        m_text.append(units, count);
        return true;
    }

private:
    std::basic_string<Unit>& m_text;
};

template <typename Unit>
class BufferTarget {
public:
    BufferTarget(Unit* start, Unit* end) : m_next(start), m_end(end) {}
    bool Put(const Unit* units, size_t count) {
        if (m_next == nullptr || static_cast<size_t>(m_end - m_next) < count) {
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            *m_next++ = units[i];
        }
        return true;
    }

private:
    Unit* m_next;
    Unit* m_end;
};

size_t Encode(char32_t value, char* out) {
    if (value < 0x80) {
        out[0] = static_cast<char>(value);
        return 1;
    }
    if (value < 0x800) {
        out[0] = static_cast<char>(0xC0 | (value >> 6));
        out[1] = static_cast<char>(0x80 | (value & 0x3F));
        return 2;
    }
    if (value < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (value >> 12));
        out[1] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (value & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (value >> 18));
    out[1] = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (value & 0x3F));
    return 4;
}

size_t Encode(char32_t value, char16_t* out) {
    if (value < 0x10000) {
        out[0] = static_cast<char16_t>(value);
        return 1;
    }
    value -= 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (value >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (value & 0x3FF));
    return 2;
}

size_t Encode(char32_t value, char32_t* out) {
    out[0] = value;
    return 1;
}

// The one conversion loop.  Values reaching the target have passed every
// check, so the only target failure is a full buffer.
template <typename From, typename To, typename Target, typename Reader>
StatusCode Convert(const From** source, const From* sourceEnd, Target& target, size_t* written,
                   uint32_t errorMode, Reader read) {
    StatusCode result = QOR_S_OK;
    size_t count = 0;
    const From* p = *source;
    while (p != nullptr && p < sourceEnd) {
        ReadResult<From> step = read(p, sourceEnd);
        char32_t value = step.value;
        if (step.status == QOR_E_UNICODE_TRUNCATED) {
            result = step.status;
            break;
        }
        if (step.status != QOR_S_OK) {
            result = step.status;
            if (errorMode == 0) {
                break;
            }
            value = kReplacementCharacter;
        }
        To units[4];
        size_t n = Encode(value, units);
        if (!target.Put(units, n)) {
            result = QOR_E_NO_MEMORY;
            break;
        }
        count += n;
        p = step.next;
    }
    *source = p;
    if (written != nullptr) {
        *written = count;
    }
    return result;
}

template <typename From>
size_t Remaining(const From* const* source, const From* end) {
    return (*source != nullptr && *source < end) ? static_cast<size_t>(end - *source) : 0;
}

}  // namespace

bool IsUtf8SequenceStart(unsigned char byte) { return byte < 0x80 || (byte & 0xC0) == 0xC0; }

size_t Utf8SequenceLength(unsigned char lead) {
    if (lead < 0xC0) {
        return 1;
    }
    if (lead < 0xE0) {
        return 2;
    }
    if (lead < 0xF0) {
        return 3;
    }
    if (lead < 0xF8) {
        return 4;
    }
    if (lead < 0xFC) {
        return 5;
    }
    return 6;
}

bool IsLegalUtf8(const unsigned char* sequence, size_t length) {
    if (sequence == nullptr || length < 1 || length > 6) {
        return false;
    }
    for (size_t i = 2; i < length; ++i) {
        if (sequence[i] < 0x80 || sequence[i] > 0xBF) {
            return false;
        }
    }
    if (length >= 2) {
        unsigned char second = sequence[1];
        if (second > 0xBF || second < SecondByteMinimum(sequence[0])) {
            return false;
        }
    }
    return IsLegalLead(sequence[0]);
}

StatusCode ConvertUtf32ToUtf16(const char32_t** source, const char32_t* sourceEnd,
                               std::u16string& target, size_t* written, uint32_t errorMode) {
    StringTarget<char16_t> out(target, Remaining(source, sourceEnd) * 2);
    return Convert<char32_t, char16_t>(source, sourceEnd, out, written, errorMode, ReadUtf32);
}

StatusCode ConvertUtf16ToUtf32(const char16_t** source, const char16_t* sourceEnd,
                               std::u32string& target, size_t* written, uint32_t errorMode) {
    StringTarget<char32_t> out(target, Remaining(source, sourceEnd));
    return Convert<char16_t, char32_t>(source, sourceEnd, out, written, errorMode, ReadUtf16);
}

StatusCode ConvertUtf16ToUtf8(const char16_t** source, const char16_t* sourceEnd,
                              std::string& target, size_t* written, uint32_t errorMode) {
    StringTarget<char> out(target, Remaining(source, sourceEnd) * 3);
    return Convert<char16_t, char>(source, sourceEnd, out, written, errorMode, ReadUtf16);
}

StatusCode ConvertUtf8ToUtf16(const char** source, const char* sourceEnd, std::u16string& target,
                              size_t* written, uint32_t errorMode) {
    StringTarget<char16_t> out(target, Remaining(source, sourceEnd));
    return Convert<char, char16_t>(source, sourceEnd, out, written, errorMode, ReadUtf8);
}

StatusCode ConvertUtf32ToUtf8(const char32_t** source, const char32_t* sourceEnd,
                              std::string& target, size_t* written, uint32_t errorMode) {
    StringTarget<char> out(target, Remaining(source, sourceEnd) * 4);
    return Convert<char32_t, char>(source, sourceEnd, out, written, errorMode, ReadUtf32);
}

StatusCode ConvertUtf8ToUtf32(const char** source, const char* sourceEnd, std::u32string& target,
                              size_t* written, uint32_t errorMode) {
    StringTarget<char32_t> out(target, Remaining(source, sourceEnd));
    return Convert<char, char32_t>(source, sourceEnd, out, written, errorMode, ReadUtf8);
}

StatusCode ConvertUtf32ToUtf16(const char32_t** source, const char32_t* sourceEnd,
                               char16_t* targetStart, char16_t* targetEnd, size_t* written,
                               uint32_t errorMode) {
    BufferTarget<char16_t> out(targetStart, targetEnd);
    return Convert<char32_t, char16_t>(source, sourceEnd, out, written, errorMode, ReadUtf32);
}

StatusCode ConvertUtf16ToUtf32(const char16_t** source, const char16_t* sourceEnd,
                               char32_t* targetStart, char32_t* targetEnd, size_t* written,
                               uint32_t errorMode) {
    BufferTarget<char32_t> out(targetStart, targetEnd);
    return Convert<char16_t, char32_t>(source, sourceEnd, out, written, errorMode, ReadUtf16);
}

StatusCode ConvertUtf16ToUtf8(const char16_t** source, const char16_t* sourceEnd,
                              char* targetStart, char* targetEnd, size_t* written,
                              uint32_t errorMode) {
    BufferTarget<char> out(targetStart, targetEnd);
    return Convert<char16_t, char>(source, sourceEnd, out, written, errorMode, ReadUtf16);
}

StatusCode ConvertUtf8ToUtf16(const char** source, const char* sourceEnd, char16_t* targetStart,
                              char16_t* targetEnd, size_t* written, uint32_t errorMode) {
    BufferTarget<char16_t> out(targetStart, targetEnd);
    return Convert<char, char16_t>(source, sourceEnd, out, written, errorMode, ReadUtf8);
}

StatusCode ConvertUtf32ToUtf8(const char32_t** source, const char32_t* sourceEnd,
                              char* targetStart, char* targetEnd, size_t* written,
                              uint32_t errorMode) {
    BufferTarget<char> out(targetStart, targetEnd);
    return Convert<char32_t, char>(source, sourceEnd, out, written, errorMode, ReadUtf32);
}

StatusCode ConvertUtf8ToUtf32(const char** source, const char* sourceEnd, char32_t* targetStart,
                              char32_t* targetEnd, size_t* written, uint32_t errorMode) {
    BufferTarget<char32_t> out(targetStart, targetEnd);
    return Convert<char, char32_t>(source, sourceEnd, out, written, errorMode, ReadUtf8);
}

Utf8Converter::~Utf8Converter() = default;

StatusCode Utf8Converter::ToUtf8(std::string& target, const char16_t* source, size_t& count) {
    return ConvertUtf16ToUtf8(&source, source + count, target, &count, 0);
}

StatusCode Utf8Converter::ToUtf8Replacing(std::string& target, const char16_t* source,
                                          size_t& count) {
    return ConvertUtf16ToUtf8(&source, source + count, target, &count, 1);
}

StatusCode Utf8Converter::ToUtf16(std::u16string& target, const char* source, size_t& count) {
    return ConvertUtf8ToUtf16(&source, source + count, target, &count, 0);
}

StatusCode Utf8Converter::ToUtf16Replacing(std::u16string& target, const char* source,
                                           size_t& count) {
    return ConvertUtf8ToUtf16(&source, source + count, target, &count, 1);
}
