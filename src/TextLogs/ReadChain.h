#pragma once
// What a reader of a file knows of the bytes it read, enough to show later
// that the file still holds every one of them: a keyed digest of the whole
// run from where reading began (the file's first byte, or a place it was
// put at), with the digest of the whole run up to some line ends kept
// (marks), and the last bytes read themselves with the digest of all before
// them.  So a reader can tell, at any of those line ends and at any byte
// of the last ones, whether everything the file holds before it is what
// was read there; between them it can tell nothing.
//
// Marks are kept at the ends of the file's first kHeadLines lines within
// its first kHeadBytes (a file cut back to its first lines goes on exactly
// there), then at the first line end past each power of two: some sixty
// marks for a file of a terabyte.  Only a run from the file's first byte
// keeps marks.  The last bytes are between kTailHalf and twice that many.
// Nothing here allocates per line: a mark costs a search for a line feed
// when one is due.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "TextLogs/PrefixDigest.h"

class ReadChain {
public:
    static constexpr int32_t kTailHalf = 1024;
    static constexpr size_t kHeadLines = 64;
    static constexpr int64_t kHeadBytes = 8192;

    struct Mark {
        int64_t m_llOffset = 0;
        // Of the bytes from the file's first up to the mark.
        PrefixDigest::Value m_Digest;
        // No line end lies between the mark before it (or the file's first
        // byte) and it: the line it ends is the next after that one.
        bool m_bFollows = false;
    };

    // Nothing read yet, from `llFrom` on (0: the file's first byte).
    explicit ReadChain(int64_t llFrom = 0) { Reset(llFrom); }
    void Reset(int64_t llFrom);

    // The next bytes of the file, read at End().
    void Absorb(const char* pBytes, size_t nCount);
    // The next `llCount` bytes, NULs (a hole or a run of NULs passed over).
    void AbsorbZeros(int64_t llCount);

    int64_t From() const { return m_llFrom; }
    int64_t End() const { return m_Digest.Length() + m_llFrom; }
    bool FromStart() const { return m_llFrom == 0; }
    // Of everything from From() to End().
    PrefixDigest::Value Digest() const { return m_Digest.Digest(); }
    const std::vector<Mark>& Marks() const { return m_Marks; }
    // Takes the marks of `other` (made of the file's first bytes), for a
    // run that does not begin at the file's first byte.
    void TakeMarks(const ReadChain& other) { m_Marks = other.m_Marks; }

    // The last bytes read, from TailStart() to End().
    int64_t TailStart() const { return m_llTailStart; }
    std::string_view Tail() const {
        return std::string_view(m_Tail.data(), static_cast<size_t>(End() - m_llTailStart));
    }
    // For a run from the file's first byte: the digest of everything
    // before TailStart().
    PrefixDigest::Value DigestAtTailStart() const { return m_AtTailStart.Digest(); }
    // Sets the last bytes alone, in a run that begins at End() (what lay
    // before the place a reader was put at, to compare with later).
    void SetTailBefore(const char* pBytes, size_t nCount);

private:
    // Bytes up to the next mark (or all of them), the tail kept; null
    // `pBytes` for NULs.
    void AbsorbPiece(const char* pBytes, int64_t llCount);
    void AddMark();

    PrefixDigest m_Digest;
    int64_t m_llFrom = 0;
    std::vector<Mark> m_Marks;
    // The first line end at or after it is marked next.
    int64_t m_llNextMark = 1;
    bool m_bInHead = true;
    std::array<char, 2 * kTailHalf> m_Tail{};
    int64_t m_llTailStart = 0;
    // The digest at TailStart(), and at TailStart() + kTailHalf once read.
    PrefixDigest m_AtTailStart;
    PrefixDigest m_AtHalf;
};
