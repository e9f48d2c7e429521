// What a reader keeps of the bytes it read: the digest of a run does not
// depend on how the run was fed (in what pieces, NULs as bytes or as a
// count), and the digests a chain keeps (at its marks and at the start of
// its last bytes) are those of everything before them, whatever pieces
// the bytes came in.  Seeded: a seed that ever failed stays in the list.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "TextLogs/PrefixDigest.h"
#include "TextLogs/ReadChain.h"

namespace {

// Bytes like a log's: lines of some length, now and then a run of NULs.
std::string MakeRun(std::mt19937_64& random, size_t nBytes) {
    std::string strRun;
    while (strRun.size() < nBytes) {
        const unsigned nKind = std::uniform_int_distribution<unsigned>(0, 9)(random);
        const size_t nLength = std::uniform_int_distribution<size_t>(0, nKind == 0 ? 5000 : 120)(random);
        strRun += nKind == 1 ? std::string(nLength, '\0')
                             : std::string(nLength, static_cast<char>('a' + nKind)) + "\n";
    }
    strRun.resize(nBytes);
    return strRun;
}

PrefixDigest::Value DigestOf(std::string_view bytes) {
    PrefixDigest digest;
    digest.Feed(bytes.data(), bytes.size());
    return digest.Digest();
}

// Feeds `strRun` to `chain` in random pieces, runs of NULs as counts.
void FeedInPieces(std::mt19937_64& random, const std::string& strRun, ReadChain& chain) {
    for (size_t nAt = 0; nAt < strRun.size();) {
        size_t nPiece = std::uniform_int_distribution<size_t>(1, 3000)(random);
        nPiece = std::min(nPiece, strRun.size() - nAt);
        const bool bNuls = std::all_of(strRun.begin() + static_cast<std::ptrdiff_t>(nAt),
                                       strRun.begin() + static_cast<std::ptrdiff_t>(nAt + nPiece),
                                       [](char c) { return c == '\0'; });
        if (bNuls && std::uniform_int_distribution<int>(0, 1)(random) == 0) {
            chain.AbsorbZeros(static_cast<int64_t>(nPiece));
        } else {
            chain.Absorb(strRun.data() + nAt, nPiece);
        }
        nAt += nPiece;
    }
}

}  // namespace

TEST(ReadChainTest, DigestsKeptAreThoseOfAllBeforeThemWhateverPiecesTheBytesCameIn) {
    for (const uint64_t qwSeed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
        SCOPED_TRACE("seed " + std::to_string(qwSeed));
        std::mt19937_64 random(qwSeed);
        const std::string strRun =
            MakeRun(random, std::uniform_int_distribution<size_t>(1, 200000)(random));
        ReadChain whole;
        whole.Absorb(strRun.data(), strRun.size());
        ReadChain pieces;
        FeedInPieces(random, strRun, pieces);
        EXPECT_EQ(whole.Digest(), DigestOf(strRun));
        EXPECT_EQ(pieces.Digest(), whole.Digest());
        ASSERT_EQ(pieces.Marks().size(), whole.Marks().size());
        for (size_t n = 0; n < whole.Marks().size(); ++n) {
            const ReadChain::Mark& mark = pieces.Marks()[n];
            EXPECT_EQ(mark.m_llOffset, whole.Marks()[n].m_llOffset);
            EXPECT_EQ(strRun[static_cast<size_t>(mark.m_llOffset) - 1], '\n');
            EXPECT_EQ(mark.m_Digest, DigestOf(std::string_view(strRun).substr(0, static_cast<size_t>(mark.m_llOffset))));
        }
        // The last bytes, between one and two halves of them, and the
        // digest of everything before.
        const int64_t llTailStart = pieces.TailStart();
        EXPECT_EQ(pieces.Tail(), std::string_view(strRun).substr(static_cast<size_t>(llTailStart)));
        EXPECT_LT(pieces.Tail().size(), size_t{2} * ReadChain::kTailHalf);
        EXPECT_GE(pieces.Tail().size(), std::min<size_t>(strRun.size(), ReadChain::kTailHalf));
        EXPECT_EQ(pieces.DigestAtTailStart(), DigestOf(std::string_view(strRun).substr(0, static_cast<size_t>(llTailStart))));
    }
}

TEST(ReadChainTest, RunsThatDifferInAnyByteDigestApartAndNulsFedAsACountAreNulBytes) {
    std::mt19937_64 random(11);
    const std::string strRun = MakeRun(random, 4099);
    for (size_t nAt : {size_t{0}, size_t{1}, size_t{2047}, size_t{4098}}) {
        std::string strOther = strRun;
        strOther[nAt] = static_cast<char>(strOther[nAt] ^ 1);
        EXPECT_NE(DigestOf(strOther), DigestOf(strRun)) << nAt;
    }
    for (const int64_t llNuls : {int64_t{1}, int64_t{3}, int64_t{4}, int64_t{4097}, int64_t{1} << 20}) {
        PrefixDigest counted;
        counted.Feed("ab", 2);
        counted.FeedZeros(llNuls);
        counted.Feed("c", 1);
        const std::string strBytes = "ab" + std::string(static_cast<size_t>(llNuls), '\0') + "c";
        EXPECT_EQ(counted.Digest(), DigestOf(strBytes)) << llNuls;
        EXPECT_EQ(counted.Length(), static_cast<int64_t>(strBytes.size()));
    }
}
