#pragma once
// Writes the tagged stream into its stream buffer.
//
// While a structure is open its 3-byte length field holds the position of
// the enclosing structure, so the stream is incomplete: GetData answers null
// and TakeBuffer refuses until every structure is closed.  Failures are
// raised as qorErrorException unless the encoder was made with its no-throw
// flag; a failed write may leave a partial item behind.

#include <cstdint>

#include "qorToolsLib/qorStreamBufferOwner.h"
#include "qorToolsLib/qorStreamFormat.h"

class qorStreamEncode : public qorStreamBufferOwner {
public:
    explicit qorStreamEncode(bool noThrow, uint32_t growBy = kDefaultGrowth);
    // Share the source's buffer; the copy from an encoder also takes over
    // its open structure.
    explicit qorStreamEncode(const qorStreamBufferOwner& base);
    qorStreamEncode(const qorStreamEncode& other);
    qorStreamEncode& operator=(const qorStreamEncode&) = delete;
    ~qorStreamEncode() override;

    uint8_t* GetData() const override;
    StatusCode TakeBuffer(uint8_t** allocation, uint32_t* prefix, uint32_t* end,
                          uint32_t* length) override;
    StatusCode ReleaseBuffer() override;

    // One item.  With null data only the type byte and user type are
    // written (ET_END, ET_UNKNOWN, the headers of ET_STRUCT and ET_ARRAY),
    // and the length-carrying types write an empty item.  ET_STRING and
    // ET_WSTRING write `length` bytes and a NUL; integers are taken in
    // machine order and written big-endian.  A null or empty name writes the
    // number instead.
    StatusCode InsertDataItem(const char* name, uint32_t userType, uint8_t dataType,
                              const void* data = nullptr, uint32_t length = 0);
    StatusCode BeginStructure(const char* name, uint32_t userType);
    StatusCode EndStructure();
    StatusCode InsertEndItem(const char* name, uint32_t userType);
    // Elements in machine order, each written big-endian.
    StatusCode InsertArray(uint8_t elementType, const void* elements, uint32_t count,
                           const char* name, uint32_t userType);
    // Converts `count` 16-bit units to UTF-8 (ET_WSTRING or ET_WTEXT).
    StatusCode InsertString(const char* name, uint32_t userType, uint8_t stringType,
                            const char16_t* text, uint32_t count);
    StatusCode InsertBytes(const uint8_t* data, uint32_t count);

    bool IsStructureOpen() const { return m_uOpenStructure != 0; }

private:
    StatusCode WriteItem(const char* name, uint32_t userType, uint8_t dataType,
                         const void* data, uint32_t length);
    StatusCode WriteHeader(const char* name, uint32_t userType, uint8_t dataType);
    StatusCode CloseStructure();

    // 0 when no structure is open, else one more than the offset of the
    // open structure's type byte.
    uint32_t m_uOpenStructure;
};
