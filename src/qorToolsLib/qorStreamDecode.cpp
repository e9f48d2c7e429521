#include "qorToolsLib/qorStreamDecode.h"

#include <cstring>

#include "qorToolsLib/UnicodeConvert.h"
#include "qorToolsLib/qorStreamTrace.h"


namespace {

constexpr const char* kPeekCall =
    "GetHeader(pszUserType, uUserType, eDataType, uLength, eArrayDataType, pbyData, E_PEEK)";
const char kNoName[] = "";

bool IsStringType(uint8_t type) { return type >= ET_STRING && type <= ET_WTEXT; }

uint32_t TextLength(const uint8_t* data, uint32_t length) {
    const void* nul = std::memchr(data, 0, length);
    return nul != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - data) : length;
}

}  // namespace

#define DECODE_FAIL(status) Fail((status), "osStatus", __FILE__, __LINE__)

qorStreamDecode::qorStreamDecode(bool noThrow, uint32_t growBy)
    : qorStreamBufferOwner(noThrow, growBy), m_uDepth(0) {
    QOR_STREAM_TRACE("Empty qorStreamDecode object created");
}

qorStreamDecode::qorStreamDecode(const qorStreamBufferOwner& source)
    : qorStreamBufferOwner(source), m_uDepth(0) {
    QOR_STREAM_TRACE("New qorStreamDecode object 0x%lx created by copy constructor from base object 0x%lx",
                     qorStream::Address(this), qorStream::Address(&source));
}

qorStreamDecode::qorStreamDecode(const qorStreamDecode& other)
    : qorStreamBufferOwner(other), m_uDepth(0) {
    QOR_STREAM_TRACE("New qorStreamDecode object 0x%lx created by copy constructor from existing object 0x%lx",
                     qorStream::Address(this), qorStream::Address(&other));
}

qorStreamDecode& qorStreamDecode::operator=(const qorStreamDecode& other) {
    if (this != &other) {
        ShareBuffer(other);
        m_uDepth = other.m_uDepth;
        QOR_STREAM_TRACE("qorStreamDecode object 0x%lx copied by operator= from existing object 0x%lx",
                         qorStream::Address(this), qorStream::Address(&other));
    }
    return *this;
}

qorStreamDecode::~qorStreamDecode() {
    QOR_STREAM_TRACE("qorStreamDecode object ready to be destroyed");
}

StatusCode qorStreamDecode::ReleaseBuffer() {
    m_uDepth = 0;
    return qorStreamBufferOwner::ReleaseBuffer();
}

StatusCode qorStreamDecode::ParseHeader(Header& header) const {
    header = Header{kNoName, 0, 0, 0, 0, nullptr, 0, 0};
    if (!HasBuffer()) {
        return QOR_E_WRONG_STATE;
    }
    const uint32_t available = GetUnread();
    const uint8_t* item = RawData() + GetPosition();
    if (available < 1) {
        return QOR_E_NOT_ENOUGH_DATA;
    }
    const uint8_t type = item[0] & qorStream::kTypeMask;
    if (!qorStream::ValidateDataType(type)) {
        return QOR_E_INVALID_DATA;
    }
    uint32_t at = 1;
    uint32_t number = 0;
    size_t used = 0;
    StatusCode status = qorStream::ReadLength(item + at, available - at, &number, &used);
    if (status != QOR_S_OK) {
        return status;
    }
    at += static_cast<uint32_t>(used);
    if ((item[0] & qorStream::kNamedFlag) != 0) {
        // The name must lie within the data and end with its NUL.
        if (number == 0) {
            return QOR_E_INVALID_DATA;
        }
        if (number > available - at) {
            return QOR_E_NOT_ENOUGH_DATA;
        }
        if (item[at + number - 1] != 0) {
            return QOR_E_INVALID_DATA;
        }
        header.name = reinterpret_cast<const char*>(item + at);
        at += number;
    } else {
        header.userType = number;
    }
    header.type = type;
    if (qorStream::IsFixedSize(type)) {
        header.length = qorStream::FixedSize(type);
    } else if (type == ET_STRUCT) {
        if (available - at < qorStream::kStructureFieldSize) {
            return QOR_E_NOT_ENOUGH_DATA;
        }
        header.length = (uint32_t{item[at]} << 16) | (uint32_t{item[at + 1]} << 8) | item[at + 2];
        at += qorStream::kStructureFieldSize;
    } else if (qorStream::HasLength(type)) {
        status = qorStream::ReadLength(item + at, available - at, &header.length, &used);
        if (status != QOR_S_OK) {
            return status;
        }
        at += static_cast<uint32_t>(used);
    }
    if (type == ET_ARRAY) {
        uint32_t count = 0;
        status = qorStream::ReadLength(item + at, available - at, &count, &used);
        if (status != QOR_S_OK) {
            return status;
        }
        at += static_cast<uint32_t>(used);
        if (available - at < 1) {
            return QOR_E_NOT_ENOUGH_DATA;
        }
        header.arrayType = item[at++];
        if (!qorStream::IsFixedSize(header.arrayType) ||
            !qorStream::ValidateDataType(header.arrayType) ||
            uint64_t{count} * qorStream::FixedSize(header.arrayType) != header.length) {
            return QOR_E_INVALID_DATA;
        }
    }
    header.data = item + at;
    header.headerSize = at;
    if (type == ET_STRUCT) {
        header.itemSize = at;
    } else {
        if (header.length > available - at) {
            return QOR_E_NOT_ENOUGH_DATA;
        }
        header.itemSize = at + header.length;
    }
    return QOR_S_OK;
}

void qorStreamDecode::Report(const Header& header, const char** name, uint32_t* userType) const {
    if (name != nullptr) {
        *name = header.name;
    }
    if (userType != nullptr) {
        *userType = header.userType;
    }
}

StatusCode qorStreamDecode::GetHeader(const char** name, uint32_t* userType, uint8_t* dataType,
                                      uint32_t* length, uint8_t* arrayType, const uint8_t** data,
                                      int mode) {
    Header header;
    StatusCode status = ParseHeader(header);
    Report(header, name, userType);
    if (dataType != nullptr) {
        *dataType = header.type;
    }
    if (length != nullptr) {
        *length = header.length;
    }
    if (arrayType != nullptr) {
        *arrayType = header.arrayType;
    }
    if (data != nullptr) {
        *data = header.data;
    }
    if (status != QOR_S_OK) {
        return DECODE_FAIL(status);
    }
    if (mode != E_PEEK) {
        Advance(header.itemSize);
    }
    return QOR_S_OK;
}

StatusCode qorStreamDecode::PeekHeader(const char** name, uint32_t* userType, uint8_t* dataType) {
    return GetHeader(name, userType, dataType, nullptr, nullptr, nullptr, E_PEEK);
}

StatusCode qorStreamDecode::PeekType(uint8_t* dataType) {
    *dataType = 0;
    if (!HasBuffer()) {
        return DECODE_FAIL(QOR_E_WRONG_STATE);
    }
    if (GetUnread() < 1) {
        return DECODE_FAIL(QOR_E_NOT_ENOUGH_DATA);
    }
    uint8_t type = RawData()[GetPosition()] & qorStream::kTypeMask;
    if (!qorStream::ValidateDataType(type)) {
        return DECODE_FAIL(QOR_E_INVALID_DATA);
    }
    *dataType = type;
    return QOR_S_OK;
}

StatusCode qorStreamDecode::ParseWholeItem(Header& header) const {
    StatusCode status = ParseHeader(header);
    if (status != QOR_S_OK) {
        return status;
    }
    if (header.type == ET_END) {
        return QOR_E_END_OF_STRUCTURE;
    }
    if (header.type == ET_STRUCT) {
        // A structure is skipped by its length, bounded by the data left.
        if (header.length > GetUnread() - header.headerSize) {
            return QOR_E_NOT_ENOUGH_DATA;
        }
        header.itemSize = header.headerSize + header.length;
    }
    return QOR_S_OK;
}

StatusCode qorStreamDecode::SkipItem() {
    Header header;
    StatusCode status = ParseWholeItem(header);
    if (status != QOR_S_OK) {
        return DECODE_FAIL(status);
    }
    Advance(header.itemSize);
    return QOR_S_OK;
}

template <typename Accepts>
StatusCode qorStreamDecode::PeekTyped(Header& header, Accepts accepts) const {
    StatusCode status = ParseHeader(header);
    if (status != QOR_S_OK) {
        return status;
    }
    if (header.type == ET_END) {
        return QOR_E_END_OF_STRUCTURE;
    }
    return accepts(header.type) ? QOR_S_OK : QOR_E_INVALID_DATA;
}

template <typename T, typename Accepts>
StatusCode qorStreamDecode::ExtractFixed(const char** name, uint32_t* userType, T* value,
                                         Accepts accepts) {
    Header header;
    StatusCode status = PeekTyped(header, accepts);
    if (status != QOR_S_OK) {
        return Fail(status, kPeekCall, __FILE__, __LINE__);
    }
    qorStream::LoadBigEndian(value, header.data, sizeof(T));
    Report(header, name, userType);
    Advance(header.itemSize);
    return QOR_S_OK;
}

StatusCode qorStreamDecode::ExtractInt8(const char** name, uint32_t* userType, uint8_t* value) {
    return ExtractFixed(name, userType, value,
                        [](uint8_t t) { return t == ET_UINT8 || t == ET_SINT8; });
}

StatusCode qorStreamDecode::ExtractInt16(const char** name, uint32_t* userType, uint16_t* value) {
    return ExtractFixed(name, userType, value,
                        [](uint8_t t) { return t == ET_UINT16 || t == ET_SINT16; });
}

StatusCode qorStreamDecode::ExtractInt32(const char** name, uint32_t* userType, uint32_t* value,
                                         uint8_t type) {
    return ExtractFixed(name, userType, value, [type](uint8_t t) {
        return t == type && (t == ET_UINT32 || t == ET_SINT32);
    });
}

StatusCode qorStreamDecode::ExtractInt64(const char** name, uint32_t* userType, uint64_t* value) {
    return ExtractFixed(name, userType, value,
                        [](uint8_t t) { return t == ET_UINT64 || t == ET_SINT64; });
}

StatusCode qorStreamDecode::ExtractInt128(const char** name, uint32_t* userType,
                                          uint8_t value[16]) {
    Header header;
    StatusCode status =
        PeekTyped(header, [](uint8_t t) { return t == ET_UINT128 || t == ET_SINT128; });
    if (status != QOR_S_OK) {
        return Fail(status, kPeekCall, __FILE__, __LINE__);
    }
    qorStream::LoadBigEndian(value, header.data, 16);
    Report(header, name, userType);
    Advance(header.itemSize);
    return QOR_S_OK;
}

StatusCode qorStreamDecode::ExtractBlob(const char** name, uint32_t* userType,
                                        const uint8_t** data, uint32_t* length) {
    Header header;
    StatusCode status = PeekTyped(header, [](uint8_t t) { return t >= 0x50 && t <= 0x6F; });
    if (status != QOR_S_OK) {
        return Fail(status, kPeekCall, __FILE__, __LINE__);
    }
    *data = header.data;
    *length = header.length;
    Report(header, name, userType);
    Advance(header.itemSize);
    return QOR_S_OK;
}

StatusCode qorStreamDecode::ExtractText(const char** name, uint32_t* userType, const char** text,
                                        uint32_t* length) {
    Header header;
    StatusCode status = PeekTyped(header, IsStringType);
    if (status != QOR_S_OK) {
        return Fail(status, kPeekCall, __FILE__, __LINE__);
    }
    *text = reinterpret_cast<const char*>(header.data);
    *length = TextLength(header.data, header.length);
    Report(header, name, userType);
    Advance(header.itemSize);
    return QOR_S_OK;
}

StatusCode qorStreamDecode::ExtractString(const char** name, uint32_t* userType,
                                          std::string& value) {
    const char* text = nullptr;
    uint32_t length = 0;
    StatusCode status = ExtractText(name, userType, &text, &length);
    if (status == QOR_S_OK) {
        value.assign(text, length);
    }
    return status;
}

StatusCode qorStreamDecode::ExtractWideString(const char** name, uint32_t* userType,
                                              std::u16string& value) {
    Header header;
    StatusCode status =
        PeekTyped(header, [](uint8_t t) { return t == ET_WSTRING || t == ET_WTEXT; });
    if (status != QOR_S_OK) {
        return Fail(status, kPeekCall, __FILE__, __LINE__);
    }
    const char* text = reinterpret_cast<const char*>(header.data);
    std::u16string converted;
    status = ConvertUtf8ToUtf16(&text, text + TextLength(header.data, header.length), converted,
                                nullptr, 0);
    if (status != QOR_S_OK) {
        return DECODE_FAIL(status);
    }
    value = std::move(converted);
    Report(header, name, userType);
    Advance(header.itemSize);
    return QOR_S_OK;
}

StatusCode qorStreamDecode::ExtractInteger(const char** name, uint32_t* userType,
                                           uint32_t* value) {
    Header header;
    StatusCode status = PeekTyped(header, [](uint8_t t) {
        return t == ET_UINT8 || t == ET_UINT16 || t == ET_UINT32 || t == ET_SINT8 ||
               t == ET_SINT16 || t == ET_SINT32;
    });
    if (status != QOR_S_OK) {
        return Fail(status, kPeekCall, __FILE__, __LINE__);
    }
    const uint8_t* d = header.data;
    switch (header.type) {
        case ET_UINT8:
        case ET_SINT8:
            *value = d[0];
            break;
        case ET_UINT16:
            *value = (uint32_t{d[0]} << 8) | d[1];
            break;
        case ET_SINT16:
            *value = static_cast<uint32_t>(static_cast<int32_t>(
                static_cast<int16_t>(static_cast<uint16_t>((d[0] << 8) | d[1]))));
            break;
        default:
            *value = (uint32_t{d[0]} << 24) | (uint32_t{d[1]} << 16) | (uint32_t{d[2]} << 8) | d[3];
            break;
    }
    Report(header, name, userType);
    Advance(header.itemSize);
    return QOR_S_OK;
}

StatusCode qorStreamDecode::ExtractArray(const char** name, uint32_t* userType, void* buffer,
                                         uint32_t bufferSize, uint8_t* elementType,
                                         uint32_t* count) {
    Header header;
    StatusCode status = PeekTyped(header, [](uint8_t t) { return t == ET_ARRAY; });
    if (status != QOR_S_OK) {
        return Fail(status, kPeekCall, __FILE__, __LINE__);
    }
    if (header.length > bufferSize) {
        return DECODE_FAIL(QOR_E_BUFFER_TOO_SMALL);
    }
    uint32_t size = qorStream::FixedSize(header.arrayType);
    uint32_t elements = header.length / size;
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < elements; ++i) {
        qorStream::LoadBigEndian(out + i * size, header.data + i * size, size);
    }
    *elementType = header.arrayType;
    *count = elements;
    Report(header, name, userType);
    Advance(header.itemSize);
    return QOR_S_OK;
}

StatusCode qorStreamDecode::BeginStructure(const char** name, uint32_t* userType) {
    Header header;
    StatusCode status = ParseHeader(header);
    if (status != QOR_S_OK) {
        return DECODE_FAIL(status);
    }
    if (header.type != ET_STRUCT) {
        return QOR_S_OK;
    }
    Report(header, name, userType);
    Advance(header.headerSize);
    ++m_uDepth;
    return QOR_S_OK;
}

StatusCode qorStreamDecode::EndStructure() {
    if (m_uDepth == 0) {
        return DECODE_FAIL(QOR_E_END_OF_STRUCTURE);
    }
    Header header;
    for (;;) {
        StatusCode status = ParseWholeItem(header);
        if (status == QOR_E_END_OF_STRUCTURE) {
            break;
        }
        if (status != QOR_S_OK) {
            return DECODE_FAIL(status);
        }
        Advance(header.itemSize);
    }
    Advance(header.itemSize);
    --m_uDepth;
    return QOR_S_OK;
}

StatusCode qorStreamDecode::AttachBytes(const uint8_t* data, uint32_t length) {
    StatusCode status = ReleaseBuffer();
    if (status == QOR_S_OK) {
        status = CreateReadBuffer(data, length);
    }
    return status;
}

StatusCode qorStreamDecode::AttachAllocation(uint8_t** allocation, uint32_t prefix,
                                             uint32_t written, uint32_t total) {
    StatusCode status = ReleaseBuffer();
    if (status == QOR_S_OK) {
        status = AdoptReadBuffer(allocation, prefix, written, total);
    }
    return status;
}

#undef DECODE_FAIL
