#pragma once
// Reads the tagged stream forward from its read position.
//
// The bytes are outside input: every field is read only after checking it
// lies within the unread data (QOR_E_NOT_ENOUGH_DATA otherwise), and a
// malformed header is QOR_E_INVALID_DATA.  A failed read consumes nothing.
// Names and data handed out point into the buffer and stay valid while it
// is held.  Failures are raised as qorErrorException unless the decoder has
// its no-throw flag.

#include <cstdint>
#include <string>

#include "qorToolsLib/qorStreamBufferOwner.h"
#include "qorToolsLib/qorStreamFormat.h"

class qorStreamDecode : public qorStreamBufferOwner {
public:
    explicit qorStreamDecode(bool noThrow = false, uint32_t growBy = kDefaultGrowth);
    // Share the source's buffer and start at its read position.
    explicit qorStreamDecode(const qorStreamBufferOwner& source);
    qorStreamDecode(const qorStreamDecode& other);
    qorStreamDecode& operator=(const qorStreamDecode& other);
    ~qorStreamDecode() override;

    StatusCode ReleaseBuffer() override;

    // The next item's header: its name ("" when numbered) or number, data
    // type, length (the fixed size for 0x10-0x4F, the stored length from
    // 0x50, 0 for ET_END and ET_UNKNOWN), an array's element type and the
    // data's address.  E_CONSUME moves past the item, or past the header
    // alone for a structure.
    StatusCode GetHeader(const char** name, uint32_t* userType, uint8_t* dataType,
                         uint32_t* length, uint8_t* arrayType, const uint8_t** data, int mode);
    StatusCode PeekHeader(const char** name, uint32_t* userType, uint8_t* dataType);
    StatusCode PeekType(uint8_t* dataType);
    // Consumes the next item, a structure whole; ET_END gives
    // QOR_E_END_OF_STRUCTURE and stays unread.
    StatusCode SkipItem();

    StatusCode ExtractInt8(const char** name, uint32_t* userType, uint8_t* value);
    StatusCode ExtractInt16(const char** name, uint32_t* userType, uint16_t* value);
    // `type` is ET_UINT32 or ET_SINT32; an item of the other type is refused.
    StatusCode ExtractInt32(const char** name, uint32_t* userType, uint32_t* value, uint8_t type);
    StatusCode ExtractInt64(const char** name, uint32_t* userType, uint64_t* value);
    // The 16 bytes in machine order.
    StatusCode ExtractInt128(const char** name, uint32_t* userType, uint8_t value[16]);
    StatusCode ExtractBlob(const char** name, uint32_t* userType, const uint8_t** data,
                           uint32_t* length);
    // Text up to the first NUL within the item.
    StatusCode ExtractString(const char** name, uint32_t* userType, std::string& value);
    StatusCode ExtractInteger(const char** name, uint32_t* userType, uint32_t* value);
    StatusCode ExtractText(const char** name, uint32_t* userType, const char** text,
                           uint32_t* length);
    StatusCode ExtractWideString(const char** name, uint32_t* userType, std::u16string& value);
    // Copies an array's elements in machine order into `buffer` of
    // `bufferSize` bytes; QOR_E_BUFFER_TOO_SMALL when they do not fit.
    StatusCode ExtractArray(const char** name, uint32_t* userType, void* buffer,
                            uint32_t bufferSize, uint8_t* elementType, uint32_t* count);

    // Enters the structure that comes next; answers 0 and consumes nothing
    // when the next item is not a structure.
    StatusCode BeginStructure(const char** name, uint32_t* userType);
    // Skips to the end item of the current structure and consumes it.
    StatusCode EndStructure();

    // Drop the current buffer and read a copy of `length` bytes, or take
    // over a malloc'ed allocation.
    StatusCode AttachBytes(const uint8_t* data, uint32_t length);
    StatusCode AttachAllocation(uint8_t** allocation, uint32_t prefix, uint32_t written,
                                uint32_t total);

    uint32_t GetDepth() const { return m_uDepth; }

private:
    struct Header {
        const char* name;
        uint32_t userType;
        uint8_t type;
        uint32_t length;
        uint8_t arrayType;
        const uint8_t* data;
        uint32_t headerSize;  // bytes before the data
        uint32_t itemSize;    // bytes consumed by E_CONSUME
    };

    StatusCode ParseHeader(Header& header) const;
    // ParseHeader, with ET_END refused and a structure spanning its items.
    StatusCode ParseWholeItem(Header& header) const;
    // Parses the next item, refuses ET_END and types `accepts` rejects, and
    // leaves the item unread.
    template <typename Accepts>
    StatusCode PeekTyped(Header& header, Accepts accepts) const;
    template <typename T, typename Accepts>
    StatusCode ExtractFixed(const char** name, uint32_t* userType, T* value, Accepts accepts);
    void Report(const Header& header, const char** name, uint32_t* userType) const;

    uint32_t m_uDepth;
};
