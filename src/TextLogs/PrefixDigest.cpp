#include "TextLogs/PrefixDigest.h"

#include <random>

namespace {

using Wide = unsigned __int128;

constexpr uint64_t kPrime = (uint64_t{1} << 61) - 1;

// A value below 2^62 that is `qwWide` modulo the prime, for any `qwWide`
// below 2^124.
inline uint64_t Reduce(Wide qwWide) {
    const uint64_t qwSum = (static_cast<uint64_t>(qwWide) & kPrime) +
                           (static_cast<uint64_t>(qwWide >> 61) & kPrime) +
                           static_cast<uint64_t>(qwWide >> 122);
    return (qwSum & kPrime) + (qwSum >> 61);
}

inline uint64_t MulMod(uint64_t a, uint64_t b) { return Reduce(static_cast<Wide>(a) * b); }

inline uint32_t LoadChunk(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

// Each lane's key and its powers up to the fourth, drawn once per process.
struct Keys {
    uint64_t m_qwPowers[2][5] = {};
};

const Keys& ProcessKeys() {
    static const Keys keys = [] {
        Keys made;
        std::random_device random;
        for (auto& powers : made.m_qwPowers) {
            uint64_t qwKey = 0;
            while (qwKey == 0) {
                qwKey = ((static_cast<uint64_t>(random()) << 32) ^ random()) % kPrime;
            }
            powers[0] = 1;
            for (int n = 1; n < 5; ++n) {
                powers[n] = MulMod(powers[n - 1], qwKey) % kPrime;
            }
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

}  // namespace

void PrefixDigest::AbsorbChunk(uint32_t dwChunk) {
    const Keys& keys = ProcessKeys();
    for (int nLane = 0; nLane < 2; ++nLane) {
        m_qwLanes[nLane] = Reduce(static_cast<Wide>(m_qwLanes[nLane]) * keys.m_qwPowers[nLane][1] + dwChunk);
    }
}

void PrefixDigest::Feed(const char* pBytes, size_t nCount) {
    m_llLength += static_cast<int64_t>(nCount);
    for (; m_nPartial != 0 && nCount != 0; ++pBytes, --nCount) {
        m_dwPartial |= static_cast<uint32_t>(static_cast<unsigned char>(*pBytes)) << (8 * m_nPartial);
        if (++m_nPartial == 4) {
            AbsorbChunk(m_dwPartial);
            m_dwPartial = 0;
            m_nPartial = 0;
        }
    }
    // Four chunks a step: their products do not wait for one another, and
    // one reduction serves them all.
    const Keys& keys = ProcessKeys();
    uint64_t qwLane0 = m_qwLanes[0];
    uint64_t qwLane1 = m_qwLanes[1];
    const uint64_t* k0 = keys.m_qwPowers[0];
    const uint64_t* k1 = keys.m_qwPowers[1];
    for (; nCount >= 16; pBytes += 16, nCount -= 16) {
        const uint64_t c0 = LoadChunk(pBytes);
        const uint64_t c1 = LoadChunk(pBytes + 4);
        const uint64_t c2 = LoadChunk(pBytes + 8);
        const uint64_t c3 = LoadChunk(pBytes + 12);
        qwLane0 = Reduce(static_cast<Wide>(qwLane0) * k0[4] + static_cast<Wide>(c0) * k0[3] +
                         static_cast<Wide>(c1) * k0[2] + static_cast<Wide>(c2) * k0[1] + c3);
        qwLane1 = Reduce(static_cast<Wide>(qwLane1) * k1[4] + static_cast<Wide>(c0) * k1[3] +
                         static_cast<Wide>(c1) * k1[2] + static_cast<Wide>(c2) * k1[1] + c3);
    }
    m_qwLanes[0] = qwLane0;
    m_qwLanes[1] = qwLane1;
    for (; nCount >= 4; pBytes += 4, nCount -= 4) {
        AbsorbChunk(LoadChunk(pBytes));
    }
    for (; nCount != 0; ++pBytes, --nCount) {
        m_dwPartial |= static_cast<uint32_t>(static_cast<unsigned char>(*pBytes)) << (8 * m_nPartial);
        ++m_nPartial;
    }
}

void PrefixDigest::FeedZeros(int64_t llCount) {
    if (llCount <= 0) {
        return;
    }
    m_llLength += llCount;
    for (; m_nPartial != 0 && llCount != 0; --llCount) {
        if (++m_nPartial == 4) {
            AbsorbChunk(m_dwPartial);
            m_dwPartial = 0;
            m_nPartial = 0;
        }
    }
    if (llCount == 0) {
        return;
    }
    // Whole chunks of NULs add nothing but a power of the key.
    const auto qwChunks = static_cast<uint64_t>(llCount / 4);
    if (qwChunks != 0) {
        const Keys& keys = ProcessKeys();
        for (int nLane = 0; nLane < 2; ++nLane) {
            m_qwLanes[nLane] = MulMod(m_qwLanes[nLane], Power(keys.m_qwPowers[nLane][1], qwChunks));
        }
    }
    m_dwPartial = 0;
    m_nPartial = static_cast<uint32_t>(llCount % 4);
}

PrefixDigest::Value PrefixDigest::Digest() const {
    const Keys& keys = ProcessKeys();
    Value value;
    for (int nLane = 0; nLane < 2; ++nLane) {
        uint64_t qwLane = m_qwLanes[nLane];
        if (m_nPartial != 0) {
            // The chunk not yet whole, its missing bytes NULs, and how many
            // it has, so that runs of one length alone compare.
            qwLane = Reduce(static_cast<Wide>(qwLane) * keys.m_qwPowers[nLane][1] + m_dwPartial);
        }
        qwLane %= kPrime;
        value.m_qwLanes[nLane] = qwLane ^ (static_cast<uint64_t>(m_nPartial) << 61);
    }
    return value;
}
