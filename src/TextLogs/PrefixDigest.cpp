#include "TextLogs/PrefixDigest.h"

#include <bit>
#include <cstring>
#include <random>

namespace {

using Wide = unsigned __int128;

constexpr uint64_t kPrime = (uint64_t{1} << 61) - 1;
// Bytes a chunk holds: seven, so that every chunk is below the prime.
constexpr uint32_t kChunk = 7;
constexpr uint64_t kChunkMask = (uint64_t{1} << (8 * kChunk)) - 1;

// A value below 2^62 that is `qwWide` modulo the prime, for any `qwWide`
// below 2^124.
inline uint64_t Reduce(Wide qwWide) {
    const uint64_t qwSum = (static_cast<uint64_t>(qwWide) & kPrime) +
                           (static_cast<uint64_t>(qwWide >> 61) & kPrime) +
                           static_cast<uint64_t>(qwWide >> 122);
    return (qwSum & kPrime) + (qwSum >> 61);
}

inline uint64_t MulMod(uint64_t a, uint64_t b) { return Reduce(static_cast<Wide>(a) * b); }

// Eight bytes in little-endian order, as the bytes of a chunk not yet
// whole are taken.
inline uint64_t Load8(const char* p) {
    uint64_t qwBytes = 0;
    std::memcpy(&qwBytes, p, sizeof qwBytes);
    if constexpr (std::endian::native == std::endian::big) {
        qwBytes = __builtin_bswap64(qwBytes);
    }
    return qwBytes;
}

// Chunks taken together in a step: the products of a step's chunks do not
// wait for one another, and one reduction serves them all (eight products
// below 2^117 and one below 2^123 stay below 2^124).
constexpr int kStep = 8;

// The key and its powers up to kStep, drawn once per process.
struct Keys {
    uint64_t m_qwPowers[kStep + 1] = {};
};

const Keys& ProcessKeys() {
    static const Keys keys = [] {
        Keys made;
        std::random_device random;
        uint64_t qwKey = 0;
        while (qwKey == 0) {
            qwKey = ((static_cast<uint64_t>(random()) << 32) ^ random()) % kPrime;
        }
        made.m_qwPowers[0] = 1;
        for (int n = 1; n <= kStep; ++n) {
            made.m_qwPowers[n] = MulMod(made.m_qwPowers[n - 1], qwKey) % kPrime;
        }
        return made;
    }();
    return keys;
}

uint64_t Power(uint64_t qwBase, uint64_t qwExponent) {
    uint64_t qwResult = 1;
    for (; qwExponent != 0; qwExponent >>= 1) {
        if ((qwExponent & 1) != 0) {
            qwResult = MulMod(qwResult, qwBase);
        }
        qwBase = MulMod(qwBase, qwBase);
    }
    return qwResult;
}

// Whole steps of chunks.  The value and the keys are held in locals: the
// bytes, read through a char pointer, could otherwise be taken to change
// them at every step.
uint64_t FeedSteps(const char* pBytes, size_t nSteps, const Keys& keys, uint64_t qwValue) {
    uint64_t qwPowers[kStep + 1];
    std::memcpy(qwPowers, keys.m_qwPowers, sizeof qwPowers);
    for (size_t nStep = 0; nStep < nSteps; ++nStep, pBytes += kChunk * kStep) {
        Wide qwSum = static_cast<Wide>(qwValue) * qwPowers[kStep];
        for (int n = 0; n + 1 < kStep; ++n) {
            qwSum += static_cast<Wide>(Load8(pBytes + kChunk * n) & kChunkMask) * qwPowers[kStep - 1 - n];
        }
        // The last chunk of a step, read so as not to pass the step's end.
        qwSum += Load8(pBytes + kChunk * kStep - 8) >> 8;
        qwValue = Reduce(qwSum);
    }
    return qwValue;
}

}  // namespace

void PrefixDigest::AbsorbChunk(uint64_t qwChunk) {
    m_qwValue = Reduce(static_cast<Wide>(m_qwValue) * ProcessKeys().m_qwPowers[1] + qwChunk);
}

void PrefixDigest::Feed(const char* pBytes, size_t nCount) {
    m_llLength += static_cast<int64_t>(nCount);
    for (; m_nPartial != 0 && nCount != 0; ++pBytes, --nCount) {
        m_qwPartial |= static_cast<uint64_t>(static_cast<unsigned char>(*pBytes)) << (8 * m_nPartial);
        if (++m_nPartial == kChunk) {
            AbsorbChunk(m_qwPartial);
            m_qwPartial = 0;
            m_nPartial = 0;
        }
    }
    const size_t nSteps = nCount / (kChunk * kStep);
    m_qwValue = FeedSteps(pBytes, nSteps, ProcessKeys(), m_qwValue);
    pBytes += nSteps * kChunk * kStep;
    nCount -= nSteps * kChunk * kStep;
    for (; nCount >= kChunk; pBytes += kChunk, nCount -= kChunk) {
        uint64_t qwChunk = 0;
        for (uint32_t n = 0; n < kChunk; ++n) {
            qwChunk |= static_cast<uint64_t>(static_cast<unsigned char>(pBytes[n])) << (8 * n);
        }
        AbsorbChunk(qwChunk);
    }
    for (; nCount != 0; ++pBytes, --nCount) {
        m_qwPartial |= static_cast<uint64_t>(static_cast<unsigned char>(*pBytes)) << (8 * m_nPartial);
        ++m_nPartial;
    }
}

void PrefixDigest::FeedZeros(int64_t llCount) {
    if (llCount <= 0) {
        return;
    }
    m_llLength += llCount;
    for (; m_nPartial != 0 && llCount != 0; --llCount) {
        if (++m_nPartial == kChunk) {
            AbsorbChunk(m_qwPartial);
            m_qwPartial = 0;
            m_nPartial = 0;
        }
    }
    if (llCount == 0) {
        return;
    }
    // Whole chunks of NULs add nothing but a power of the key.
    const auto qwChunks = static_cast<uint64_t>(llCount / kChunk);
    if (qwChunks != 0) {
        m_qwValue = MulMod(m_qwValue, Power(ProcessKeys().m_qwPowers[1], qwChunks));
    }
    m_qwPartial = 0;
    m_nPartial = static_cast<uint32_t>(llCount % kChunk);
}

PrefixDigest::Value PrefixDigest::Digest() const {
    uint64_t qwValue = m_qwValue;
    if (m_nPartial != 0) {
        // The chunk not yet whole, its missing bytes NULs.
        qwValue = Reduce(static_cast<Wide>(qwValue) * ProcessKeys().m_qwPowers[1] + m_qwPartial);
    }
    // And how many bytes that chunk has, so that runs of one length alone
    // compare.
    return Value{(qwValue % kPrime) | static_cast<uint64_t>(m_nPartial) << 61};
}
