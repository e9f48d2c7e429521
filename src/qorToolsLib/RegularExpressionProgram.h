#pragma once
// The compiled form of a regular expression.  The compiler writes a compact
// node program (magic byte, then nodes of one opcode byte, a 16-bit
// big-endian link and an optional NUL-terminated operand), because its size
// decides which patterns are too big.  The program is then turned into an
// automaton whose matcher reads each text byte once, so no text can make a
// match cost more than a constant (set by the pattern) times its length.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

enum class RegexError : uint8_t {
    NullArgument,
    TooBig,
    OutOfSpace,
    TooManyGroups,
    UnmatchedParentheses,
    JunkOnEnd,
    EmptyOperand,
    NestedRepeat,
    UnmatchedBrackets,
    InvalidRange,
    RepeatFollowsNothing,
    TrailingBackslash,
    InternalUrp,
    InternalDisaster,
    NullParameter,
    CorruptedProgram,
    MemoryCorruption,
    CorruptedPointers,
    InternalFoulup,
};

// The message of each error, as the console line carries it.
const char* RegexErrorText(RegexError error);

// Writes "RegExp Error: <text>" through the console sink.
void ReportRegexError(RegexError error);

enum class RegexResult : uint8_t { NoMatch, Match, Failed };

// Writes the node program of a NUL-terminated pattern into `program`.  False
// with `error` set when the pattern does not compile; nothing is reported.
bool CompileRegexBytes(const char* pattern, std::vector<uint8_t>& program, RegexError& error);

// The work one match did: text bytes read plus automaton states visited
// while new matcher states were made.  Tests use it to see that matching
// stays linear in the text.
struct RegexStats {
    size_t steps = 0;
};

class RegexAutomaton;

class RegexProgram {
public:
    static constexpr uint8_t kMagic = 0x9C;
    // The largest program the 16-bit links can address.
    static constexpr size_t kMaxSize = 32766;
    // Groups including the whole match.
    static constexpr int kMaxGroups = 10;

    // Node kinds of the program, numbered as the program stores them.
    enum Op : uint8_t {
        kEnd = 0,
        kBol = 1,
        kEol = 2,
        kAny = 3,
        kAnyOf = 4,
        kAnyBut = 5,
        kBranch = 6,
        kBack = 7,
        kExactly = 8,
        kNothing = 9,
        kStar = 10,
        kPlus = 11,
        kOpen = 20,
        kClose = 30,
    };

    struct Options {
        // Texts are matched as if A-Z were folded to a-z first (the pattern
        // must already be folded).
        bool foldCase = false;
        // Matcher states are made ahead of time while the whole table stays
        // within this many transitions; larger automata make their states
        // as texts need them, in a cache of about the same bound.
        size_t tableLimit = size_t{1} << 16;
    };

    // Compiles a NUL-terminated pattern.  On failure reports the error and
    // answers null.
    static std::unique_ptr<RegexProgram> Compile(const char* pattern);
    static std::unique_ptr<RegexProgram> Compile(const char* pattern, const Options& options);
    // The same, also answering in `error` why a pattern did not compile.
    static std::unique_ptr<RegexProgram> Compile(const char* pattern, const Options& options,
                                                 RegexError& error);
    ~RegexProgram();

    // Searches the whole text, NUL bytes included: "." and "[^...]" take a
    // NUL like any byte, and "$" holds only at the text's end.  A view
    // without data is the empty text.  Safe to call from several threads
    // at once.
    RegexResult Execute(std::string_view text, RegexStats* stats = nullptr) const;
    // A null pointer is no text: refused at compile time rather than read.
    RegexResult Execute(std::nullptr_t, RegexStats* = nullptr) const = delete;

    // Whether every text matches (the pattern matches the empty text at its
    // start, like "" or "a*").
    bool MatchesEverything() const;
    // Whether every matcher state was made at compile time.
    bool IsPrebuilt() const;

    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

private:
    RegexProgram();

    std::vector<uint8_t> m_bytes;
    std::unique_ptr<RegexAutomaton> m_pAutomaton;
};
