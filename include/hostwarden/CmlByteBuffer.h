#pragma once
// The host's command-language response buffer.  The sensor works on its
// fields directly and replaces the block itself, so both sides allocate and
// free the block with std::malloc / std::free and nothing else.

#include <cstdint>

struct CmlByteBuffer {
    uint8_t* m_pData = nullptr;
    uint32_t m_dwLength = 0;
    uint32_t m_dwCapacity = 0;

    // Replaces the contents with `count` bytes; the block is reallocated to
    // exactly `count` bytes only when it is too small.  False when that
    // allocation fails (the buffer is then empty).
    bool Set(const void* pBytes, uint32_t count);
    // Adds `count` bytes at the end, reallocating to exactly the new length
    // when the block has no room to spare.  False (contents kept) when the
    // allocation fails or the length would pass 4 GiB.
    bool Append(const void* pBytes, uint32_t count);
    // Frees the block; length and capacity become 0.
    void Clear();
};

// Layout of a command-language input message in host memory.  The 32-bit
// link field holds the offset of the data from the start of the message: a
// 4-byte field cannot hold an address on a 64-bit host.
enum : uint32_t {
    kCmlInputLengthOffset = 60,
    kCmlInputLinkOffset = 64,
    kCmlInputDataOffset = 68,
};

// Layout of the response header the sensor writes ahead of its response.
enum : uint32_t {
    kCmlHeaderSize = 1112,
    kCmlHeaderTextFieldSize = 20,
    kCmlHeaderFirstTextOffset = 0,    // "2"
    kCmlHeaderSecondTextOffset = 20,  // "1"
    kCmlHeaderCodeOffset = 40,        // the request's code in decimal
    kCmlHeaderCodeSize = 4,
    kCmlHeaderThirdTextOffset = 60,  // "1"
    kCmlHeaderLengthOffset = 1104,
};
