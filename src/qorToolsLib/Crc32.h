#pragma once
// The reflected CRC-32 of IEEE 802.3 and zlib (polynomial 0x04C11DB7,
// initial value and final complement 0xFFFFFFFF).

#include <cstddef>
#include <cstdint>

// Over the bytes of a NUL-terminated text, without the terminator; a null
// or empty text gives 0.
uint32_t Crc32(const char* text);

// Over a byte run; a length of 0 gives 0.
uint32_t Crc32(const void* bytes, size_t length);
