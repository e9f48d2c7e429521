// The backtracking matcher.  It tries the alternatives of a branch in order
// and the counts of a repeat from the most to the fewest, in the order a
// recursive matcher would, but keeps the pending choices on an explicit
// stack.  Because only the yes/no answer is kept, the outcome of a node at a
// position never depends on how it was reached: once a search has become long
// the matcher remembers which (node, position) pairs have already failed and
// does not explore them twice, which keeps patterns like "(a|a)*b" from
// taking exponential time on hostile text.

#include <algorithm>
#include <cstring>

#include "qorToolsLib/reference/BacktrackingProgram.h"

namespace {

// One pending choice: a branch alternative still to try, or a repeat count.
struct Choice {
    int32_t node;
    // -1 for a branch alternative, else the next repeat count to try.
    int32_t count;
    const uint8_t* position;
};

// Reused by every match on a thread, so matching allocates nothing once the
// buffers have grown to the largest search seen.
struct MatcherScratch {
    std::vector<Choice> choices;
    std::vector<uint64_t> failed;
};

thread_local MatcherScratch t_scratch;

// A search may take this many steps per text byte before failures are
// remembered.
constexpr size_t kStepsPerByteBeforeMemo = 16;
constexpr size_t kStepsBeforeMemo = 4096;
// The memo is not used when it would need more bits than this.
constexpr size_t kMaxMemoBits = size_t{1} << 27;
// Literals longer than this are searched with memmem.
constexpr uint32_t kLongLiteral = 64;

}  // namespace

class BacktrackingMatcher {
public:
    BacktrackingMatcher(const BacktrackingProgram& program, const uint8_t* begin, const uint8_t* end)
        : m_program(program),
          m_nodes(program.m_nodes.data()),
          m_nodeCount(static_cast<int32_t>(program.m_nodes.size())),
          m_begin(begin),
          m_end(end),
          m_scratch(t_scratch) {
        size_t length = static_cast<size_t>(end - begin);
        m_memoLimit = kStepsBeforeMemo + kStepsPerByteBeforeMemo * length;
    }

    RegexResult Search();

private:
    using Node = BacktrackingProgram::Node;

    RegexResult SearchWindows();
    RegexResult ScanFrom(const BacktrackingProgram::StartInfo* start);
    const uint8_t* NextStartable(const BacktrackingProgram::StartInfo& start, const uint8_t* at) const;
    RegexResult TryAt(const uint8_t* start);
    int32_t NextAlternative(int32_t branch) const;
    int32_t TakeAlternative(int32_t branch, const uint8_t* position);
    bool AlreadyFailed(const Node& node, const uint8_t* position);
    void StartMemo();
    bool Resume(int32_t& index, const uint8_t*& position);
    bool TakeRepeat(int32_t index, const uint8_t* base, int32_t count, const uint8_t*& position);
    int32_t CountRepeat(const Node& node, const uint8_t* position) const;
    RegexResult Fail(RegexError error) {
        ReportRegexError(error);
        return RegexResult::Failed;
    }
    const uint8_t* FindLiteral(const uint8_t* from, uint32_t offset, uint32_t length,
                               uint32_t rare) const;
    bool PrefixAllows(const BacktrackingProgram::StartInfo& start, const uint8_t* at) const;

    const BacktrackingProgram& m_program;
    const Node* m_nodes;
    int32_t m_nodeCount;
    const uint8_t* m_begin;
    const uint8_t* m_end;
    MatcherScratch& m_scratch;
    size_t m_steps = 0;
    size_t m_memoLimit;
    bool m_memo = false;
};

RegexResult BacktrackingMatcher::Search() {
    const BacktrackingProgram::StartInfo& start = m_program.m_start;
    if (!start.analysed) {
        return ScanFrom(nullptr);
    }
    if (start.mustLength > 0 &&
        !(start.mustOffset == start.windowOffset && start.mustLength == start.windowLength) &&
        FindLiteral(m_begin, start.mustOffset, start.mustLength, start.mustRare) == nullptr) {
        return RegexResult::NoMatch;
    }
    if (start.anchored) {
        return TryAt(m_begin);
    }
    if (start.windowLength > 0) {
        return SearchWindows();
    }
    return ScanFrom(&start);
}

// Tries only the starts from which an occurrence of the window literal is
// within reach, each start once.
RegexResult BacktrackingMatcher::SearchWindows() {
    const BacktrackingProgram::StartInfo& start = m_program.m_start;
    size_t untried = 0;
    for (const uint8_t* hit =
             FindLiteral(m_begin, start.windowOffset, start.windowLength, start.windowRare);
         hit != nullptr;
         hit = FindLiteral(hit + 1, start.windowOffset, start.windowLength, start.windowRare)) {
        size_t at = static_cast<size_t>(hit - m_begin);
        size_t from = std::max(untried, at >= start.windowReach ? at - start.windowReach : 0);
        for (size_t candidate = from; candidate <= at; ++candidate) {
            if (!PrefixAllows(start, m_begin + candidate) ||
                (!start.mayBeEmpty && !start.first[m_begin[candidate]])) {
                continue;
            }
            RegexResult result = TryAt(m_begin + candidate);
            if (result != RegexResult::NoMatch) {
                return result;
            }
        }
        untried = at + 1;
    }
    return RegexResult::NoMatch;
}

// Tries every start that the first-byte set allows (every start when there
// is no analysis), skipping the rest of a run of a leading repeat.
RegexResult BacktrackingMatcher::ScanFrom(const BacktrackingProgram::StartInfo* start) {
    const BacktrackingProgram::ByteSet* lead =
        start != nullptr && start->leadSet != BacktrackingProgram::kNoSet
            ? &m_program.m_sets[start->leadSet]
            : nullptr;
    const uint8_t* at = m_begin;
    for (;;) {
        if (start != nullptr && !start->mayBeEmpty) {
            at = NextStartable(*start, at);
            if (at == nullptr) {
                return RegexResult::NoMatch;
            }
        }
        if (start == nullptr || PrefixAllows(*start, at)) {
            RegexResult result = TryAt(at);
            if (result != RegexResult::NoMatch) {
                return result;
            }
        }
        if (lead != nullptr) {
            // Every start inside the run reaches a subset of what this one
            // reached.
            while (at < m_end && (*lead)[*at]) {
                ++at;
            }
        }
        if (at >= m_end) {
            return RegexResult::NoMatch;
        }
        ++at;
    }
}

const uint8_t* BacktrackingMatcher::NextStartable(const BacktrackingProgram::StartInfo& start,
                                           const uint8_t* at) const {
    if (start.firstCount == 1) {
        uint8_t only = static_cast<uint8_t>(
            std::find(start.first.begin(), start.first.end(), 1) - start.first.begin());
        return at < m_end ? static_cast<const uint8_t*>(std::memchr(at, only, m_end - at))
                          : nullptr;
    }
    for (; at < m_end; ++at) {
        if (start.first[*at]) {
            return at;
        }
    }
    return nullptr;
}

// Looks for the literal's rarest byte with memchr and checks around each
// hit; long literals go to memmem, whose time stays linear.
const uint8_t* BacktrackingMatcher::FindLiteral(const uint8_t* from, uint32_t offset, uint32_t length,
                                         uint32_t rare) const {
    if (from >= m_end || static_cast<size_t>(m_end - from) < length) {
        return nullptr;
    }
    const uint8_t* literal = m_program.m_bytes.data() + offset;
    if (length > kLongLiteral) {
        return static_cast<const uint8_t*>(memmem(from, m_end - from, literal, length));
    }
    const uint8_t* last = m_end - length;
    for (const uint8_t* scan = from + rare; scan <= last + rare;) {
        scan = static_cast<const uint8_t*>(std::memchr(scan, literal[rare], last + rare + 1 - scan));
        if (scan == nullptr) {
            return nullptr;
        }
        const uint8_t* candidate = scan - rare;
        if (std::memcmp(candidate, literal, length) == 0) {
            return candidate;
        }
        ++scan;
    }
    return nullptr;
}

bool BacktrackingMatcher::PrefixAllows(const BacktrackingProgram::StartInfo& start, const uint8_t* at) const {
    if (static_cast<size_t>(m_end - at) < static_cast<size_t>(start.prefixCount)) {
        return false;
    }
    for (int k = 0; k < start.prefixCount; ++k) {
        if (!m_program.m_sets[start.prefixSets[k]][at[k]]) {
            return false;
        }
    }
    return true;
}

// Runs the program from its first node with the text position at `start`.
RegexResult BacktrackingMatcher::TryAt(const uint8_t* start) {
    std::vector<Choice>& choices = m_scratch.choices;
    choices.clear();
    int32_t index = m_program.m_start.node;
    const uint8_t* position = start;
    for (;;) {
        bool ok = true;
        if (index < 0 || index >= m_nodeCount) {
            return Fail(RegexError::CorruptedPointers);
        }
        const Node& node = m_nodes[index];
        if (node.memo >= 0 && AlreadyFailed(node, position)) {
            ok = false;
        } else {
            switch (node.op) {
                case BacktrackingProgram::kEnd:
                    return RegexResult::Match;
                case BacktrackingProgram::kBol:
                    ok = position == m_begin;
                    break;
                case BacktrackingProgram::kEol:
                    ok = position == m_end;
                    break;
                case BacktrackingProgram::kAny:
                    ok = position < m_end;
                    position += ok;
                    break;
                case BacktrackingProgram::kExactly: {
                    // An empty literal is the text's terminating NUL.
                    size_t length = node.length;
                    ok = length == 0 ? position == m_end
                                     : static_cast<size_t>(m_end - position) >= length &&
                                           std::memcmp(position, m_program.Literal(node),
                                                       length) == 0;
                    position += ok ? length : 0;
                    break;
                }
                case BacktrackingProgram::kAnyOf:
                case BacktrackingProgram::kAnyBut:
                    ok = position < m_end && m_program.m_sets[node.data][*position];
                    position += ok;
                    break;
                case BacktrackingProgram::kBranch: {
                    if (NextAlternative(index) < 0) {
                        // Nothing to choose: go straight into the operand.
                        ++index;
                        continue;
                    }
                    int32_t chosen = TakeAlternative(index, position);
                    if (chosen < 0) {
                        ok = false;
                        break;
                    }
                    index = chosen + 1;
                    continue;
                }
                case BacktrackingProgram::kStar:
                case BacktrackingProgram::kPlus: {
                    if (node.data == BacktrackingProgram::kNoSet) {
                        return Fail(RegexError::InternalFoulup);
                    }
                    int32_t count = CountRepeat(node, position);
                    ok = TakeRepeat(index, position, count, position);
                    break;
                }
                case BacktrackingProgram::kNothing:
                case BacktrackingProgram::kBack:
                    break;
                default:
                    if ((node.op > BacktrackingProgram::kOpen &&
                         node.op < BacktrackingProgram::kOpen + BacktrackingProgram::kMaxGroups) ||
                        (node.op > BacktrackingProgram::kClose &&
                         node.op < BacktrackingProgram::kClose + BacktrackingProgram::kMaxGroups)) {
                        break;
                    }
                    return Fail(RegexError::MemoryCorruption);
            }
        }
        if (ok) {
            index = node.next;
            continue;
        }
        if (!Resume(index, position)) {
            return RegexResult::NoMatch;
        }
    }
}

// Takes the most recent pending choice that can still go on.
bool BacktrackingMatcher::Resume(int32_t& index, const uint8_t*& position) {
    std::vector<Choice>& choices = m_scratch.choices;
    while (!choices.empty()) {
        Choice choice = choices.back();
        choices.pop_back();
        if (choice.count < 0) {
            int32_t chosen = TakeAlternative(choice.node, choice.position);
            if (chosen < 0) {
                continue;
            }
            index = chosen + 1;
            position = choice.position;
            return true;
        }
        if (TakeRepeat(choice.node, choice.position, choice.count, position)) {
            index = m_nodes[choice.node].next;
            return true;
        }
    }
    return false;
}

int32_t BacktrackingMatcher::NextAlternative(int32_t branch) const {
    int32_t next = m_nodes[branch].next;
    return next >= 0 && m_nodes[next].op == BacktrackingProgram::kBranch ? next : -1;
}

// Picks the first alternative from `branch` on whose guard admits the byte at
// `position`, and leaves the ones after it for later.
int32_t BacktrackingMatcher::TakeAlternative(int32_t branch, const uint8_t* position) {
    for (int32_t b = branch; b >= 0; b = NextAlternative(b)) {
        uint32_t guard = m_nodes[b].guard;
        if (guard == BacktrackingProgram::kNoSet ||
            (position < m_end && m_program.m_sets[guard][*position])) {
            int32_t rest = NextAlternative(b);
            if (rest >= 0) {
                m_scratch.choices.push_back({rest, -1, position});
            }
            return b;
        }
    }
    return -1;
}

// Picks the largest repeat count from `count` down that could be followed by
// the next node's literal, and leaves the smaller counts for later.
bool BacktrackingMatcher::TakeRepeat(int32_t index, const uint8_t* base, int32_t count,
                              const uint8_t*& position) {
    const Node& node = m_nodes[index];
    int32_t minimum = node.op == BacktrackingProgram::kStar ? 0 : 1;
    if (node.nextByte != 0) {
        while (count >= minimum && (base + count >= m_end || base[count] != node.nextByte)) {
            --count;
        }
    }
    if (count < minimum) {
        return false;
    }
    if (count > minimum) {
        m_scratch.choices.push_back({index, count - 1, base});
    }
    position = base + count;
    return true;
}

int32_t BacktrackingMatcher::CountRepeat(const Node& node, const uint8_t* position) const {
    const BacktrackingProgram::ByteSet& set = m_program.m_sets[node.data];
    const uint8_t* scan = position;
    while (scan < m_end && set[*scan]) {
        ++scan;
    }
    return static_cast<int32_t>(scan - position);
}

// Nodes where searches meet are remembered once the search has grown long.
// Whatever follows a node from a position was fully explored the first time
// it was reached (a loop always consumes text before it comes back), so a
// second visit can only fail again.
bool BacktrackingMatcher::AlreadyFailed(const Node& node, const uint8_t* position) {
    if (!m_memo) {
        if (++m_steps < m_memoLimit) {
            return false;
        }
        StartMemo();
        if (!m_memo) {
            return false;
        }
    }
    size_t columns = static_cast<size_t>(m_end - m_begin) + 1;
    size_t bit = static_cast<size_t>(node.memo) * columns + static_cast<size_t>(position - m_begin);
    uint64_t mask = uint64_t{1} << (bit & 63);
    uint64_t& word = m_scratch.failed[bit >> 6];
    bool seen = (word & mask) != 0;
    word |= mask;
    return seen;
}

void BacktrackingMatcher::StartMemo() {
    size_t columns = static_cast<size_t>(m_end - m_begin) + 1;
    size_t slots = static_cast<size_t>(m_program.m_memoSlots);
    m_memoLimit = SIZE_MAX;
    if (slots == 0 || columns > kMaxMemoBits / slots) {
        return;
    }
    size_t words = (slots * columns + 63) / 64;
    m_scratch.failed.assign(words, 0);
    m_memo = true;
}

RegexResult BacktrackingProgram::Execute(const char* text, size_t length) const {
    if (text == nullptr) {
        ReportRegexError(RegexError::NullParameter);
        return RegexResult::Failed;
    }
    if (m_bytes.empty() || m_bytes[0] != kMagic) {
        ReportRegexError(RegexError::CorruptedProgram);
        return RegexResult::Failed;
    }
    if (m_nodes.empty()) {
        ReportRegexError(RegexError::CorruptedPointers);
        return RegexResult::Failed;
    }
    const uint8_t* begin = reinterpret_cast<const uint8_t*>(text);
    BacktrackingMatcher matcher(*this, begin, begin + length);
    return matcher.Search();
}
