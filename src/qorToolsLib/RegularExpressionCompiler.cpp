// Pattern compiler: a recursive-descent parser that writes the node program
// in two passes (the first only counts bytes, so the size limit is known
// before anything is written).

#include <cstring>
#include <new>

#include "platform/Console.h"
#include "qorToolsLib/RegularExpressionProgram.h"

const char* RegexErrorText(RegexError error) {
    switch (error) {
        case RegexError::NullArgument: return "NULL argument";
        case RegexError::TooBig: return "regexp too big";
        case RegexError::OutOfSpace: return "out of space";
        case RegexError::TooManyGroups: return "too many ()";
        case RegexError::UnmatchedParentheses: return "unmatched ()";
        case RegexError::JunkOnEnd: return "junk on end";
        case RegexError::EmptyOperand: return "*+ operand could be empty";
        case RegexError::NestedRepeat: return "nested *?+";
        case RegexError::UnmatchedBrackets: return "unmatched []";
        case RegexError::InvalidRange: return "invalid [] range";
        case RegexError::RepeatFollowsNothing: return "?+* follows nothing";
        case RegexError::TrailingBackslash: return "trailing \\";
        case RegexError::InternalUrp: return "internal urp";
        case RegexError::InternalDisaster: return "internal disaster";
        case RegexError::NullParameter: return "NULL parameter";
        case RegexError::CorruptedProgram: return "corrupted program";
        case RegexError::MemoryCorruption: return "memory corruption";
        case RegexError::CorruptedPointers: return "corrupted pointers";
        case RegexError::InternalFoulup: return "internal foulup";
    }
    return "internal disaster";
}

void ReportRegexError(RegexError error) {
    plat::ConsolePrintf("RegExp Error: %s\n", RegexErrorText(error));
}

namespace {

// What the parser knows about a piece of pattern.
enum Flags : int {
    kWorst = 0,
    kHasWidth = 1,  // never matches the empty text
    kSimple = 2,    // one character, so it can be repeated by a single node
    kStartsWithRepeat = 4,
};

constexpr const char* kMetaCharacters = "^$.[()|?*+\\";

bool IsRepeat(char c) { return c == '*' || c == '+' || c == '?'; }

using Op = RegexProgram::Op;

class RegexCompiler {
public:
    explicit RegexCompiler(const char* pattern) : m_pattern(pattern) {}

    bool Compile(std::vector<uint8_t>& program);
    RegexError Error() const { return m_error; }

private:
    // Node handles are offsets into the program.  The counting pass hands out
    // kDummy for every node, which linking ignores.
    static constexpr size_t kFail = SIZE_MAX;
    static constexpr size_t kDummy = SIZE_MAX - 1;
    static constexpr size_t kNone = SIZE_MAX - 2;

    size_t Fail(RegexError error) {
        m_error = error;
        return kFail;
    }
    bool RunPass(bool counting);
    size_t Alternation(bool group, int& flags);
    size_t Branch(int& flags);
    size_t Piece(int& flags);
    size_t Atom(int& flags);
    size_t Bracket(int& flags);
    size_t LiteralRun(int& flags);

    size_t EmitNode(uint8_t op);
    void EmitByte(uint8_t c);
    void InsertNode(uint8_t op, size_t operand);
    void LinkTail(size_t node, size_t target);
    void LinkOperandTail(size_t node, size_t target);
    size_t NextOf(size_t node) const;

    const char* m_pattern;
    const char* m_parse = nullptr;
    int m_groups = 1;
    bool m_counting = true;
    size_t m_size = 0;
    std::vector<uint8_t>* m_program = nullptr;
    size_t m_pos = 0;
    bool m_overrun = false;
    RegexError m_error = RegexError::InternalDisaster;
};

bool RegexCompiler::Compile(std::vector<uint8_t>& program) {
    if (m_pattern == nullptr) {
        Fail(RegexError::NullArgument);
        return false;
    }
    if (!RunPass(true)) {
        return false;
    }
    if (m_size > RegexProgram::kMaxSize) {
        Fail(RegexError::TooBig);
        return false;
    }
    try {
        program.assign(m_size, 0);
    } catch (const std::bad_alloc&) {
        Fail(RegexError::OutOfSpace);
        return false;
    }
    m_program = &program;
    // The second pass parses the same text, so it cannot fail unless the two
    // passes disagree about the size.
    if (!RunPass(false) || m_overrun || m_pos != m_size) {
        Fail(RegexError::InternalDisaster);
        return false;
    }
    return true;
}

bool RegexCompiler::RunPass(bool counting) {
    m_counting = counting;
    m_parse = m_pattern;
    m_groups = 1;
    m_pos = 0;
    m_size = counting ? 0 : m_size;
    EmitByte(RegexProgram::kMagic);
    int flags = kWorst;
    return Alternation(false, flags) != kFail;
}

// The body of the pattern or of a group: branches separated by "|", all
// linked to one closing node.
size_t RegexCompiler::Alternation(bool group, int& flags) {
    flags = kHasWidth;
    size_t head = kNone;
    int number = 0;
    if (group) {
        if (m_groups >= RegexProgram::kMaxGroups) {
            return Fail(RegexError::TooManyGroups);
        }
        number = m_groups++;
        head = EmitNode(static_cast<uint8_t>(Op::kOpen + number));
    }

    int branchFlags = kWorst;
    size_t branch = Branch(branchFlags);
    if (branch == kFail) {
        return kFail;
    }
    if (head != kNone) {
        LinkTail(head, branch);
    } else {
        head = branch;
    }
    if (!(branchFlags & kHasWidth)) {
        flags &= ~kHasWidth;
    }
    flags |= branchFlags & kStartsWithRepeat;
    while (*m_parse == '|') {
        ++m_parse;
        branch = Branch(branchFlags);
        if (branch == kFail) {
            return kFail;
        }
        LinkTail(head, branch);
        if (!(branchFlags & kHasWidth)) {
            flags &= ~kHasWidth;
        }
        flags |= branchFlags & kStartsWithRepeat;
    }

    size_t ender = EmitNode(group ? static_cast<uint8_t>(Op::kClose + number) : uint8_t{Op::kEnd});
    LinkTail(head, ender);
    for (size_t node = head; node != kNone; node = NextOf(node)) {
        LinkOperandTail(node, ender);
    }

    if (group) {
        if (*m_parse != ')') {
            return Fail(RegexError::UnmatchedParentheses);
        }
        ++m_parse;
    } else if (*m_parse != '\0') {
        return Fail(*m_parse == ')' ? RegexError::UnmatchedParentheses : RegexError::JunkOnEnd);
    }
    return head;
}

// One alternative: a sequence of pieces behind a branch node.
size_t RegexCompiler::Branch(int& flags) {
    flags = kWorst;
    size_t head = EmitNode(Op::kBranch);
    size_t chain = kNone;
    bool first = true;
    while (*m_parse != '\0' && *m_parse != '|' && *m_parse != ')') {
        int pieceFlags = kWorst;
        size_t latest = Piece(pieceFlags);
        if (latest == kFail) {
            return kFail;
        }
        flags |= pieceFlags & kHasWidth;
        if (first) {
            flags |= pieceFlags & kStartsWithRepeat;
        } else {
            LinkTail(chain, latest);
        }
        chain = latest;
        first = false;
    }
    if (first) {
        EmitNode(Op::kNothing);
    }
    return head;
}

// An atom and its repetition operator.  A repeated single character becomes
// one star or plus node; anything else becomes a loop of branch nodes.
size_t RegexCompiler::Piece(int& flags) {
    int atomFlags = kWorst;
    size_t atom = Atom(atomFlags);
    if (atom == kFail) {
        return kFail;
    }
    char op = *m_parse;
    if (!IsRepeat(op)) {
        flags = atomFlags;
        return atom;
    }
    if (!(atomFlags & kHasWidth) && op != '?') {
        return Fail(RegexError::EmptyOperand);
    }
    flags = (op != '+') ? (kWorst | kStartsWithRepeat) : (kWorst | kHasWidth);

    if (op == '*' && (atomFlags & kSimple)) {
        InsertNode(Op::kStar, atom);
    } else if (op == '*') {
        // x* as (x loop | nothing).
        InsertNode(Op::kBranch, atom);
        LinkOperandTail(atom, EmitNode(Op::kBack));
        LinkOperandTail(atom, atom);
        LinkTail(atom, EmitNode(Op::kBranch));
        LinkTail(atom, EmitNode(Op::kNothing));
    } else if (op == '+' && (atomFlags & kSimple)) {
        InsertNode(Op::kPlus, atom);
    } else if (op == '+') {
        // x+ as x (loop | nothing).
        size_t loop = EmitNode(Op::kBranch);
        LinkTail(atom, loop);
        LinkTail(EmitNode(Op::kBack), atom);
        LinkTail(loop, EmitNode(Op::kBranch));
        LinkTail(atom, EmitNode(Op::kNothing));
    } else {
        // x? as (x | nothing).
        InsertNode(Op::kBranch, atom);
        LinkTail(atom, EmitNode(Op::kBranch));
        size_t nothing = EmitNode(Op::kNothing);
        LinkTail(atom, nothing);
        LinkOperandTail(atom, nothing);
    }
    ++m_parse;
    if (IsRepeat(*m_parse)) {
        return Fail(RegexError::NestedRepeat);
    }
    return atom;
}

size_t RegexCompiler::Atom(int& flags) {
    flags = kWorst;
    char c = *m_parse++;
    switch (c) {
        case '^':
            return EmitNode(Op::kBol);
        case '$':
            return EmitNode(Op::kEol);
        case '.':
            flags |= kHasWidth | kSimple;
            return EmitNode(Op::kAny);
        case '[':
            return Bracket(flags);
        case '(': {
            int groupFlags = kWorst;
            size_t group = Alternation(true, groupFlags);
            if (group == kFail) {
                return kFail;
            }
            flags |= groupFlags & (kHasWidth | kStartsWithRepeat);
            return group;
        }
        case '\0':
        case '|':
        case ')':
            // The branch loop stops before these.
            return Fail(RegexError::InternalUrp);
        case '?':
        case '+':
        case '*':
            return Fail(RegexError::RepeatFollowsNothing);
        case '\\': {
            if (*m_parse == '\0') {
                return Fail(RegexError::TrailingBackslash);
            }
            size_t node = EmitNode(Op::kExactly);
            EmitByte(static_cast<uint8_t>(*m_parse++));
            EmitByte(0);
            flags |= kHasWidth | kSimple;
            return node;
        }
        default:
            --m_parse;
            return LiteralRun(flags);
    }
}

// "[...]" or "[^...]": the members are written out one by one, ranges
// expanded.  A "]" or "-" first, and a "-" last, stand for themselves.
size_t RegexCompiler::Bracket(int& flags) {
    size_t node;
    if (*m_parse == '^') {
        node = EmitNode(Op::kAnyBut);
        ++m_parse;
    } else {
        node = EmitNode(Op::kAnyOf);
    }
    if (*m_parse == ']' || *m_parse == '-') {
        EmitByte(static_cast<uint8_t>(*m_parse++));
    }
    while (*m_parse != '\0' && *m_parse != ']') {
        if (*m_parse != '-') {
            EmitByte(static_cast<uint8_t>(*m_parse++));
            continue;
        }
        ++m_parse;
        if (*m_parse == ']' || *m_parse == '\0') {
            EmitByte('-');
            continue;
        }
        // The range starts after the member written before the "-".
        int from = static_cast<unsigned char>(m_parse[-2]) + 1;
        int to = static_cast<unsigned char>(m_parse[0]);
        if (from > to + 1) {
            return Fail(RegexError::InvalidRange);
        }
        for (; from <= to; ++from) {
            EmitByte(static_cast<uint8_t>(from));
        }
        ++m_parse;
    }
    EmitByte(0);
    if (*m_parse != ']') {
        return Fail(RegexError::UnmatchedBrackets);
    }
    ++m_parse;
    flags |= kHasWidth | kSimple;
    return node;
}

// A run of ordinary characters.  When a repetition operator follows, its
// last character is left for the next atom so the operator binds to it alone.
size_t RegexCompiler::LiteralRun(int& flags) {
    size_t length = std::strcspn(m_parse, kMetaCharacters);
    if (length == 0) {
        return Fail(RegexError::InternalDisaster);
    }
    if (length > 1 && IsRepeat(m_parse[length])) {
        --length;
    }
    flags |= kHasWidth;
    if (length == 1) {
        flags |= kSimple;
    }
    size_t node = EmitNode(Op::kExactly);
    for (; length > 0; --length) {
        EmitByte(static_cast<uint8_t>(*m_parse++));
    }
    EmitByte(0);
    return node;
}

size_t RegexCompiler::EmitNode(uint8_t op) {
    if (m_counting) {
        m_size += 3;
        return kDummy;
    }
    size_t node = m_pos;
    EmitByte(op);
    EmitByte(0);
    EmitByte(0);
    return node;
}

void RegexCompiler::EmitByte(uint8_t c) {
    if (m_counting) {
        ++m_size;
        return;
    }
    if (m_pos >= m_program->size()) {
        m_overrun = true;
        return;
    }
    (*m_program)[m_pos++] = c;
}

// Makes room for a node in front of an operand already written.
void RegexCompiler::InsertNode(uint8_t op, size_t operand) {
    if (m_counting) {
        m_size += 3;
        return;
    }
    if (operand > m_pos || m_pos + 3 > m_program->size()) {
        m_overrun = true;
        return;
    }
    uint8_t* bytes = m_program->data();
    std::memmove(bytes + operand + 3, bytes + operand, m_pos - operand);
    m_pos += 3;
    bytes[operand] = op;
    bytes[operand + 1] = 0;
    bytes[operand + 2] = 0;
}

size_t RegexCompiler::NextOf(size_t node) const {
    if (m_counting || node >= m_pos) {
        return kNone;
    }
    const uint8_t* bytes = m_program->data();
    size_t offset = (static_cast<size_t>(bytes[node + 1]) << 8) | bytes[node + 2];
    if (offset == 0) {
        return kNone;
    }
    return bytes[node] == Op::kBack ? node - offset : node + offset;
}

// Links the last node of the chain that starts at `node` to `target`.
void RegexCompiler::LinkTail(size_t node, size_t target) {
    if (m_counting || node == kDummy) {
        return;
    }
    size_t scan = node;
    for (size_t next = NextOf(scan); next != kNone; next = NextOf(scan)) {
        scan = next;
    }
    uint8_t* bytes = m_program->data();
    size_t offset = bytes[scan] == Op::kBack ? scan - target : target - scan;
    bytes[scan + 1] = static_cast<uint8_t>((offset >> 8) & 0xFF);
    bytes[scan + 2] = static_cast<uint8_t>(offset & 0xFF);
}

// LinkTail on the operand of a branch node; other nodes have none.
void RegexCompiler::LinkOperandTail(size_t node, size_t target) {
    if (m_counting || node == kNone || node == kDummy || (*m_program)[node] != Op::kBranch) {
        return;
    }
    LinkTail(node + 3, target);
}

}  // namespace

bool CompileRegexBytes(const char* pattern, std::vector<uint8_t>& program, RegexError& error) {
    try {
        RegexCompiler compiler(pattern);
        if (!compiler.Compile(program)) {
            error = compiler.Error();
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        error = RegexError::OutOfSpace;
        return false;
    }
}
