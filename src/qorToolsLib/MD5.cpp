#include "qorToolsLib/MD5.h"

#include <cstring>

namespace {

constexpr uint32_t Rotate(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

constexpr uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
constexpr uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
constexpr uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
constexpr uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// Per-step shift amounts, four per round.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// floor(abs(sin(i + 1)) * 2^32), the additive constants of the 64 steps.
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};

uint32_t LoadLittle(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreLittle(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

void Transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = LoadLittle(block + 4 * i);
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int step = 0; step < 64; ++step) {
        int round = step / 16;
        uint32_t mixed;
        int word;
        switch (round) {
            case 0:
                mixed = F(b, c, d);
                word = step;
                break;
            case 1:
                mixed = G(b, c, d);
                word = (5 * step + 1) % 16;
                break;
            case 2:
                mixed = H(b, c, d);
                word = (3 * step + 5) % 16;
                break;
            default:
                mixed = I(b, c, d);
                word = (7 * step) % 16;
                break;
        }
        uint32_t next = b + Rotate(a + mixed + kSine[step] + x[word], kShift[round][step % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void MD5Init(MD5Context* context) {
    context->count[0] = 0;
    context->count[1] = 0;
    context->state[0] = 0x67452301u;
    context->state[1] = 0xefcdab89u;
    context->state[2] = 0x98badcfeu;
    context->state[3] = 0x10325476u;
}

void MD5Update(MD5Context* context, const void* bytes, size_t length) {
    if (bytes == nullptr || length == 0) {
        return;
    }
    const auto* input = static_cast<const uint8_t*>(bytes);
    size_t used = (context->count[0] >> 3) & 0x3Fu;

    uint64_t bits = (static_cast<uint64_t>(context->count[1]) << 32) | context->count[0];
    bits += static_cast<uint64_t>(length) << 3;
    context->count[0] = static_cast<uint32_t>(bits);
    context->count[1] = static_cast<uint32_t>(bits >> 32);

    size_t room = 64 - used;
    size_t i = 0;
    if (length >= room) {
        std::memcpy(context->buffer + used, input, room);
        Transform(context->state, context->buffer);
        for (i = room; i + 63 < length; i += 64) {
            Transform(context->state, input + i);
        }
        used = 0;
    }
    std::memcpy(context->buffer + used, input + i, length - i);
}

void MD5Final(uint8_t digest[16], MD5Context* context) {
    uint8_t bitCount[8];
    StoreLittle(bitCount, context->count[0]);
    StoreLittle(bitCount + 4, context->count[1]);

    static const uint8_t kPadding[64] = {0x80};
    size_t used = (context->count[0] >> 3) & 0x3Fu;
    size_t padLength = used < 56 ? 56 - used : 120 - used;
    MD5Update(context, kPadding, padLength);
    MD5Update(context, bitCount, 8);

    for (int i = 0; i < 4; ++i) {
        StoreLittle(digest + 4 * i, context->state[i]);
    }
    std::memset(context, 0, sizeof *context);
}
