#pragma once
// A keyed digest of a run of bytes fed in order, whose state can be copied
// at any point: what a reader keeps of the bytes it read, so that it can
// show later that a file still holds every one of them, not a sample.
//
// The digest is a polynomial over the bytes taken seven at a time, modulo
// the prime 2^61 - 1, at a key drawn at random once per process: two
// different runs of n bytes give the same digest with a chance of at most
// n / 2^63 whatever their bytes (one in 2^33 for a GiB), and no writer, who
// never sees the key nor a digest, can choose bytes that do better.  A run
// of NULs of any length (a hole a reader passes over) is fed in a few dozen
// multiplications, without its bytes.  Several GB a second.

#include <cstddef>
#include <cstdint>

class PrefixDigest {
public:
    struct Value {
        uint64_t m_qwDigest = 0;
        bool operator==(const Value&) const = default;
    };

    // The next `nCount` bytes of the run.
    void Feed(const char* pBytes, size_t nCount);
    // The next `llCount` bytes of the run, all NULs.
    void FeedZeros(int64_t llCount);
    // The bytes fed so far.
    int64_t Length() const { return m_llLength; }
    // The digest of what was fed so far.
    Value Digest() const;

private:
    void AbsorbChunk(uint64_t qwChunk);

    // The polynomial's value, kept below 2^62.
    uint64_t m_qwValue = 1;
    // The bytes of a chunk not yet whole, in the order fed.
    uint64_t m_qwPartial = 0;
    uint32_t m_nPartial = 0;
    int64_t m_llLength = 0;
};
