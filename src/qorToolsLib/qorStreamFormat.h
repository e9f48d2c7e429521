#pragma once
// The item format of the tagged stream, shared by the encoder and the
// decoder.
//
// An item is: a type byte (bit 7 set when the user type is a name), the
// user type (a number, or the name's length counting its NUL followed by the
// name and the NUL), for types 0x50 and above a length (3 bytes big-endian
// for a structure, a variable-length number otherwise), for an array the
// element count and element type, then the data, big-endian.

#include <cstddef>
#include <cstdint>

#include "qorToolsLib/qorStatus.h"

enum qorStreamDataType : uint8_t {
    ET_END = 0x08,
    ET_UNKNOWN = 0x09,
    ET_UINT8 = 0x10,
    ET_UINT16 = 0x11,
    ET_UINT32 = 0x13,
    ET_UINT64 = 0x17,
    ET_UINT128 = 0x1F,
    ET_SINT8 = 0x20,
    ET_SINT16 = 0x21,
    ET_SINT32 = 0x23,
    ET_SINT64 = 0x27,
    ET_SINT128 = 0x2F,
    ET_BLOB = 0x50,
    ET_STRING = 0x51,
    ET_TEXT = 0x52,
    ET_WSTRING = 0x53,
    ET_WTEXT = 0x54,
    ET_STRUCT = 0x70,
    ET_ARRAY = 0x71,
};

// GetHeader modes.
enum qorStreamHeaderMode : int { E_PEEK = 0, E_CONSUME = 1 };

namespace qorStream {

constexpr uint8_t kNamedFlag = 0x80;
constexpr uint8_t kTypeMask = 0x7F;
// The user type that ends an event's stream.
constexpr uint32_t kStreamEndUserType = 65535;
// A structure's length field, and the open-structure position the encoder
// keeps in it, are 3 bytes wide.
constexpr uint32_t kMaxStructureField = 0xFFFFFF;
constexpr uint32_t kStructureFieldSize = 3;
// The longest variable-length number.
constexpr size_t kMaxLengthBytes = 5;

// True for the type codes the format defines.
bool ValidateDataType(uint8_t type);

// Types 0x10 to 0x4F carry a value of (type & 0x0F) + 1 bytes.
constexpr bool IsFixedSize(uint8_t type) { return type >= 0x10 && type < 0x50; }
constexpr uint32_t FixedSize(uint8_t type) { return (type & 0x0Fu) + 1; }
constexpr bool HasLength(uint8_t type) { return type >= 0x50; }

// Writes `value` as a variable-length number into `out` (room for 5 bytes)
// and returns the number of bytes written.
size_t WriteLength(uint8_t* out, uint32_t value);

// Reads a variable-length number from at most `available` bytes.
// QOR_E_INVALID_DATA for a first byte above 0xF0, QOR_E_NOT_ENOUGH_DATA when
// the number runs past `available`.
StatusCode ReadLength(const uint8_t* in, size_t available, uint32_t* value, size_t* used);

// Big-endian copies between the stream and machine order.
void StoreBigEndian(uint8_t* out, const void* value, size_t size);
void LoadBigEndian(void* value, const uint8_t* in, size_t size);

}  // namespace qorStream
