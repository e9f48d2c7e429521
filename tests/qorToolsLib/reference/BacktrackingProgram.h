#pragma once
// The backtracking matcher that rule patterns were first matched with, kept
// as the reference that the linear-time engine is checked against (tests,
// fuzzing and benchmarks only).  It runs programs written by the product's
// compiler: the node program is decoded once into a node table with resolved
// links and byte-set tables, which the matcher walks.
//
// The matcher keeps its choice points on an explicit stack, so the machine
// stack stays flat whatever the text or pattern, and it allocates nothing per
// match once its per-thread scratch space has grown.  Matches report only
// whether the text matches; group positions are not kept.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "qorToolsLib/RegularExpressionProgram.h"

class BacktrackingProgram {
public:
    static constexpr uint8_t kMagic = RegexProgram::kMagic;
    static constexpr int kMaxGroups = RegexProgram::kMaxGroups;

    // Compiles a NUL-terminated pattern with the product's compiler.  On
    // failure reports the error and answers null.
    static std::unique_ptr<BacktrackingProgram> Compile(const char* pattern);

    // Searches `length` bytes of `text`, NUL bytes included.  Failed means
    // an error was reported.
    RegexResult Execute(const char* text, size_t length) const;

    // Node kinds of the program, as the compiler numbers them, and the mark
    // of a node the decoder could not read.
    using enum RegexProgram::Op;
    static constexpr uint8_t kUndecodable = 0xFF;

private:
    friend class BacktrackingMatcher;

    using ByteSet = std::array<uint8_t, 256>;
    static constexpr uint32_t kNoSet = UINT32_MAX;
    static constexpr uint32_t kUnbounded = UINT32_MAX;
    static constexpr int kPrefixSets = 4;

    struct Node {
        uint8_t op = kUndecodable;
        // Star and plus: the first byte of a literal that follows, 0 if none.
        uint8_t nextByte = 0;
        // Exactly: literal length.
        uint16_t length = 0;
        // Node indexes; -1 for none (also for a link that leads nowhere).
        int32_t next = -1;
        // Memo slot for nodes where searches meet again, -1 otherwise.
        int32_t memo = -1;
        // Exactly: offset of the literal in the program bytes.  Any-of,
        // any-but, star and plus: index of the byte set (kNoSet when a
        // repeated node is not a single-character one).
        uint32_t data = 0;
        // Branch alternatives: the bytes the alternative can start with, or
        // kNoSet when it may match without consuming (or was not analysed).
        uint32_t guard = kNoSet;
    };
    // Where the search may start.
    struct StartInfo {
        bool analysed = false;
        // The node a search starts at (past a branch that offers no choice).
        int32_t node = 0;
        // Only the start of the text can begin a match.
        bool anchored = false;
        // Every match contains this literal (offset and length in the
        // program bytes); without it the text cannot match.
        uint32_t mustOffset = 0;
        uint32_t mustLength = 0;
        // Every match contains this literal no more than `windowReach` bytes
        // after its start, so only starts just before its occurrences count.
        uint32_t windowOffset = 0;
        uint32_t windowLength = 0;
        uint32_t windowReach = 0;
        // A match may start before any byte, or only before the bytes of
        // `first`.
        bool mayBeEmpty = true;
        ByteSet first{};
        int firstCount = 0;
        // The pattern begins with a repeat of this set: after a failed start,
        // no later start inside the same run of members can match.
        uint32_t leadSet = kNoSet;
        // The first `prefixCount` bytes of every match lie in these sets.
        uint32_t prefixSets[kPrefixSets] = {};
        int prefixCount = 0;
        // Literal searches look for their rarest byte first.
        uint32_t mustRare = 0;
        uint32_t windowRare = 0;
    };

    // What the first consumed byte can be, from a node on.
    struct FirstBytes {
        ByteSet set{};
        bool mayBeEmpty = false;
    };

    BacktrackingProgram() = default;
    bool Decode();
    void DecodeNode(size_t offset, Node& node, size_t& length);
    uint32_t AddSet(const ByteSet& set);
    void PrepareRepeat(Node& node, int32_t index);
    void PrepareGuards();
    void AnalyseStart();
    void FindWindowLiteral(int32_t from);
    uint32_t MaxWidth(int32_t from, int32_t stop, int depth) const;
    int PrefixSets(int32_t from, int32_t stop, ByteSet* sets, int limit, int depth) const;
    uint32_t RarestByte(uint32_t offset, uint32_t length) const;
    int32_t Convergence(int32_t branch) const;
    bool CollectFirst(int32_t from, FirstBytes& out, size_t budget);
    const uint8_t* Literal(const Node& node) const { return m_bytes.data() + node.data; }

    std::vector<uint8_t> m_bytes;
    std::vector<Node> m_nodes;
    std::vector<ByteSet> m_sets;
    int32_t m_memoSlots = 0;
    StartInfo m_start;
    // Visit marks of the analyses, one generation per walk.
    std::vector<uint32_t> m_visited;
    uint32_t m_generation = 0;
};
