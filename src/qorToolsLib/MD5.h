#pragma once
// The MD5 message digest of RFC 1321, fed in pieces.

#include <cstddef>
#include <cstdint>

struct MD5Context {
    uint32_t state[4];
    // Number of bits fed so far, low word first.
    uint32_t count[2];
    uint8_t buffer[64];
};

void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const void* bytes, size_t length);

// Writes the 16-byte digest and wipes the context.
void MD5Final(uint8_t digest[16], MD5Context* context);
