#include "qorToolsLib/qorStreamEncode.h"

#include <cstring>
#include <string>

#include "qorToolsLib/UnicodeConvert.h"
#include "qorToolsLib/qorStreamTrace.h"


namespace {

constexpr const char* kEndItemCall = "InsertDataItem(pszUserId, uUserType, ET_END)";
constexpr const char* kFieldCall = "InsertBytes(((const BYTE*)&uNetLength)+1, 3*sizeof(BYTE))";
constexpr const char* kStringCall =
    "InsertDataItem(pszUserType, uUserType, eStringType, (const BYTE*)strOut.c_str(), uSize)";

bool IsNamed(const char* name) { return name != nullptr && name[0] != '\0'; }

// Collects the small pieces of one item so that most items reach the buffer
// in one write.
template <typename WriteFn>
class ItemBuilder {
public:
    explicit ItemBuilder(WriteFn write) : m_write(write) {}

    void Put(const void* data, size_t size) {
        if (m_status != QOR_S_OK || size == 0) {
            return;
        }
        if (m_used + size > sizeof m_bytes) {
            Flush();
            if (size > sizeof m_bytes) {
                m_status = size > UINT32_MAX
                               ? QOR_E_INVALID_ARG
                               : m_write(static_cast<const uint8_t*>(data), static_cast<uint32_t>(size));
                return;
            }
        }
        std::memcpy(m_bytes + m_used, data, size);
        m_used += size;
    }
    void PutByte(uint8_t byte) { Put(&byte, 1); }
    void PutLength(uint32_t value) {
        uint8_t bytes[qorStream::kMaxLengthBytes];
        Put(bytes, qorStream::WriteLength(bytes, value));
    }
    StatusCode Flush() {
        if (m_status == QOR_S_OK && m_used > 0) {
            m_status = m_write(m_bytes, static_cast<uint32_t>(m_used));
        }
        m_used = 0;
        return m_status;
    }

private:
    WriteFn m_write;
    uint8_t m_bytes[96];
    size_t m_used = 0;
    StatusCode m_status = QOR_S_OK;
};

}  // namespace

qorStreamEncode::qorStreamEncode(bool noThrow, uint32_t growBy)
    : qorStreamBufferOwner(noThrow, growBy), m_uOpenStructure(0) {
    QOR_STREAM_TRACE("Empty qorStreamEncode object created");
}

qorStreamEncode::qorStreamEncode(const qorStreamBufferOwner& base)
    : qorStreamBufferOwner(base), m_uOpenStructure(0) {
    QOR_STREAM_TRACE("New qorStreamEncode object 0x%lx initialized by copy constructor from base object 0x%lx",
                     qorStream::Address(this), qorStream::Address(&base));
}

qorStreamEncode::qorStreamEncode(const qorStreamEncode& other)
    : qorStreamBufferOwner(other), m_uOpenStructure(other.m_uOpenStructure) {
    QOR_STREAM_TRACE("New qorStreamEncode object 0x%lx initialized by copy constructor from existing object 0x%lx",
                     qorStream::Address(this), qorStream::Address(&other));
}

qorStreamEncode::~qorStreamEncode() { QOR_STREAM_TRACE("qorStreamEncode object ready to be destroyed"); }

uint8_t* qorStreamEncode::GetData() const {
    return m_uOpenStructure != 0 ? nullptr : qorStreamBufferOwner::GetData();
}

StatusCode qorStreamEncode::TakeBuffer(uint8_t** allocation, uint32_t* prefix, uint32_t* end,
                                       uint32_t* length) {
    if (m_uOpenStructure != 0) {
        *allocation = nullptr;
        *prefix = *end = *length = 0;
        return Fail(QOR_E_WRONG_STATE, "osStatus", __FILE__, __LINE__);
    }
    return qorStreamBufferOwner::TakeBuffer(allocation, prefix, end, length);
}

StatusCode qorStreamEncode::ReleaseBuffer() {
    m_uOpenStructure = 0;
    return qorStreamBufferOwner::ReleaseBuffer();
}

StatusCode qorStreamEncode::WriteHeader(const char* name, uint32_t userType, uint8_t dataType) {
    auto write = [this](const uint8_t* p, uint32_t n) { return WriteQuiet(p, n); };
    ItemBuilder<decltype(write)> item(write);
    if (IsNamed(name)) {
        size_t size = std::strlen(name) + 1;
        if (size > UINT32_MAX) {
            return QOR_E_INVALID_ARG;
        }
        item.PutByte(static_cast<uint8_t>(dataType | qorStream::kNamedFlag));
        item.PutLength(static_cast<uint32_t>(size));
        item.Put(name, size);
    } else {
        item.PutByte(dataType);
        item.PutLength(userType);
    }
    return item.Flush();
}

StatusCode qorStreamEncode::WriteItem(const char* name, uint32_t userType, uint8_t dataType,
                                      const void* data, uint32_t length) {
    if ((dataType == 0x01 || dataType == ET_END) && data != nullptr) {
        return QOR_E_INVALID_ARG;
    }
    if (!qorStream::ValidateDataType(dataType)) {
        return QOR_E_INVALID_DATA;
    }
    bool headerOnly = dataType == ET_END || dataType == ET_UNKNOWN || dataType == ET_STRUCT ||
                      dataType == ET_ARRAY;
    if (headerOnly) {
        // Structures and arrays have their own operations; their headers
        // alone are written here.
        return data != nullptr ? QOR_E_INVALID_ARG : WriteHeader(name, userType, dataType);
    }
    auto write = [this](const uint8_t* p, uint32_t n) { return WriteQuiet(p, n); };
    ItemBuilder<decltype(write)> item(write);
    bool named = IsNamed(name);
    size_t nameSize = named ? std::strlen(name) + 1 : 0;
    if (nameSize > UINT32_MAX) {
        return QOR_E_INVALID_ARG;
    }
    item.PutByte(static_cast<uint8_t>(named ? dataType | qorStream::kNamedFlag : dataType));
    item.PutLength(named ? static_cast<uint32_t>(nameSize) : userType);
    item.Put(name, nameSize);
    if (qorStream::IsFixedSize(dataType)) {
        uint32_t size = qorStream::FixedSize(dataType);
        if (data == nullptr || length < size) {
            return QOR_E_INVALID_ARG;
        }
        uint8_t value[16];
        qorStream::StoreBigEndian(value, data, size);
        item.Put(value, size);
        return item.Flush();
    }
    if (data == nullptr && length > 0) {
        return QOR_E_INVALID_ARG;
    }
    bool addNul = dataType == ET_STRING || dataType == ET_WSTRING;
    if (addNul && length == UINT32_MAX) {
        return QOR_E_INVALID_ARG;
    }
    item.PutLength(addNul ? length + 1 : length);
    item.Put(data, length);
    if (addNul) {
        item.PutByte(0);
    }
    return item.Flush();
}

StatusCode qorStreamEncode::InsertDataItem(const char* name, uint32_t userType, uint8_t dataType,
                                           const void* data, uint32_t length) {
    return Fail(WriteItem(name, userType, dataType, data, length), "osStatus", __FILE__, __LINE__);
}

StatusCode qorStreamEncode::InsertBytes(const uint8_t* data, uint32_t count) {
    return Fail(WriteQuiet(data, count), "osStatus", __FILE__, __LINE__);
}

StatusCode qorStreamEncode::InsertEndItem(const char* name, uint32_t userType) {
    return Fail(WriteHeader(name, userType, ET_END), kEndItemCall, __FILE__, __LINE__);
}

StatusCode qorStreamEncode::BeginStructure(const char* name, uint32_t userType) {
    uint32_t offset = GetLength();
    // The structure's own position must fit the 3-byte field of any
    // structure opened inside it.
    if (offset >= qorStream::kMaxStructureField) {
        return Fail(QOR_E_INVALID_ARG, "osStatus", __FILE__, __LINE__);
    }
    StatusCode status = WriteHeader(name, userType, ET_STRUCT);
    if (status != QOR_S_OK) {
        return Fail(status, "osStatus", __FILE__, __LINE__);
    }
    uint8_t field[qorStream::kStructureFieldSize] = {static_cast<uint8_t>(m_uOpenStructure >> 16),
                                                     static_cast<uint8_t>(m_uOpenStructure >> 8),
                                                     static_cast<uint8_t>(m_uOpenStructure)};
    status = WriteQuiet(field, qorStream::kStructureFieldSize);
    if (status != QOR_S_OK) {
        return Fail(status, kFieldCall, __FILE__, __LINE__);
    }
    m_uOpenStructure = offset + 1;
    return QOR_S_OK;
}

StatusCode qorStreamEncode::CloseStructure() {
    // Read the open structure's header back: its name or number, and where
    // its 3-byte field lies.
    const uint8_t* data = RawData();
    uint32_t written = GetLength();
    uint32_t at = m_uOpenStructure - 1;
    if (data == nullptr || at >= written) {
        return QOR_E_INVALID_DATA;
    }
    uint32_t userType = 0;
    size_t used = 0;
    StatusCode status = qorStream::ReadLength(data + at + 1, written - at - 1, &userType, &used);
    if (status != QOR_S_OK) {
        return status;
    }
    uint64_t field = uint64_t{at} + 1 + used;
    std::string name;
    if ((data[at] & qorStream::kNamedFlag) != 0) {
        if (userType == 0 || field + userType > written) {
            return QOR_E_INVALID_DATA;
        }
        // Copied: writing the end item may move the buffer.
        name.assign(reinterpret_cast<const char*>(data + field), userType - 1);
        field += userType;
        userType = 0;
    }
    if (field + qorStream::kStructureFieldSize > written) {
        return QOR_E_INVALID_DATA;
    }
    uint32_t enclosing = (uint32_t{data[field]} << 16) | (uint32_t{data[field + 1]} << 8) |
                         data[field + 2];
    status = WriteHeader(name.c_str(), userType, ET_END);
    if (status != QOR_S_OK) {
        return status;
    }
    uint32_t end = GetLength();
    uint64_t length = end - (field + qorStream::kStructureFieldSize);
    if (length > qorStream::kMaxStructureField) {
        // The length cannot be carried: take the end item back and leave
        // the structure open, so no corrupt stream is ever handed out.
        UnwriteQuiet(end - written);
        return QOR_E_INVALID_ARG;
    }
    uint8_t* patch = RawData() + field;
    patch[0] = static_cast<uint8_t>(length >> 16);
    patch[1] = static_cast<uint8_t>(length >> 8);
    patch[2] = static_cast<uint8_t>(length);
    m_uOpenStructure = enclosing;
    return QOR_S_OK;
}

StatusCode qorStreamEncode::EndStructure() {
    if (m_uOpenStructure == 0) {
        return Fail(QOR_E_INVALID_DATA, "osStatus", __FILE__, __LINE__);
    }
    StatusCode status = CloseStructure();
    if (status != QOR_S_OK) {
        return Fail(status, status == QOR_E_INVALID_ARG ? "osStatus" : kEndItemCall, __FILE__,
                    __LINE__);
    }
    return QOR_S_OK;
}

StatusCode qorStreamEncode::InsertArray(uint8_t elementType, const void* elements,
                                        uint32_t count, const char* name, uint32_t userType) {
    if (!qorStream::IsFixedSize(elementType)) {
        return Fail(QOR_E_INVALID_ARG, "osStatus", __FILE__, __LINE__);
    }
    if (!qorStream::ValidateDataType(elementType)) {
        return Fail(QOR_E_INVALID_DATA, "osStatus", __FILE__, __LINE__);
    }
    uint32_t size = qorStream::FixedSize(elementType);
    uint64_t bytes = uint64_t{size} * count;
    if (bytes > UINT32_MAX || (elements == nullptr && count > 0)) {
        return Fail(QOR_E_INVALID_ARG, "osStatus", __FILE__, __LINE__);
    }
    auto write = [this](const uint8_t* p, uint32_t n) { return WriteQuiet(p, n); };
    ItemBuilder<decltype(write)> item(write);
    bool named = IsNamed(name);
    size_t nameSize = named ? std::strlen(name) + 1 : 0;
    item.PutByte(static_cast<uint8_t>(named ? ET_ARRAY | qorStream::kNamedFlag : ET_ARRAY));
    item.PutLength(named ? static_cast<uint32_t>(nameSize) : userType);
    item.Put(name, nameSize);
    item.PutLength(static_cast<uint32_t>(bytes));
    item.PutLength(count);
    item.PutByte(elementType);
    const auto* element = static_cast<const uint8_t*>(elements);
    for (uint32_t i = 0; i < count; ++i, element += size) {
        uint8_t value[16];
        qorStream::StoreBigEndian(value, element, size);
        item.Put(value, size);
    }
    return Fail(item.Flush(), "osStatus", __FILE__, __LINE__);
}

StatusCode qorStreamEncode::InsertString(const char* name, uint32_t userType, uint8_t stringType,
                                         const char16_t* text, uint32_t count) {
    if (stringType != ET_WSTRING && stringType != ET_WTEXT) {
        return Fail(QOR_E_INVALID_ARG, "osStatus", __FILE__, __LINE__);
    }
    // An ET_WTEXT count includes the text's terminating NUL, which is
    // written as data rather than converted.
    uint32_t units = stringType == ET_WTEXT && count > 0 ? count - 1 : count;
    std::string converted;
    const char16_t* source = text;
    StatusCode status = ConvertUtf16ToUtf8(&source, text + units, converted, nullptr, 0);
    if (status != QOR_S_OK) {
        return Fail(status, "osStatus", __FILE__, __LINE__);
    }
    if (converted.size() >= UINT32_MAX) {
        return Fail(QOR_E_INVALID_ARG, "osStatus", __FILE__, __LINE__);
    }
    uint32_t size = static_cast<uint32_t>(converted.size());
    if (stringType == ET_WTEXT) {
        ++size;
    }
    status = WriteItem(name, userType, stringType, converted.c_str(), size);
    return Fail(status, kStringCall, __FILE__, __LINE__);
}
