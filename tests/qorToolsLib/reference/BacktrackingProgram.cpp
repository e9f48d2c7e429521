// Decoding of a node program into the matcher's node table, and the analyses
// that let the matcher skip start positions and alternatives that cannot
// match.  The analyses only run on programs this compiler wrote, whose loops
// always consume text; every shortcut they allow leaves the answer unchanged.

#include <algorithm>
#include <cstring>

#include "qorToolsLib/reference/BacktrackingProgram.h"

namespace {

// Walks that would visit more nodes than this give up (and filter nothing),
// which keeps the analysis linear for huge patterns.
constexpr size_t kGuardBudget = 256;
// Nested constructs deeper than this count as unbounded in width.
constexpr int kMaxWidthDepth = 64;

bool IsGroupMark(uint8_t op) {
    return (op > BacktrackingProgram::kOpen && op < BacktrackingProgram::kOpen + BacktrackingProgram::kMaxGroups) ||
           (op > BacktrackingProgram::kClose && op < BacktrackingProgram::kClose + BacktrackingProgram::kMaxGroups);
}

}  // namespace

std::unique_ptr<BacktrackingProgram> BacktrackingProgram::Compile(const char* pattern) {
    std::unique_ptr<BacktrackingProgram> program(new BacktrackingProgram());
    RegexError error = RegexError::InternalDisaster;
    if (!CompileRegexBytes(pattern, program->m_bytes, error)) {
        ReportRegexError(error);
        return nullptr;
    }
    if (!program->Decode()) {
        ReportRegexError(RegexError::InternalDisaster);
        return nullptr;
    }
    program->PrepareGuards();
    program->AnalyseStart();
    return program;
}

// Splits the program into nodes and resolves links to node indexes.  A link
// that does not land on a node, and a node cut short by the program's end,
// are kept as they are: the matcher reports them when it reaches them.
bool BacktrackingProgram::Decode() {
    m_nodes.clear();
    m_sets.clear();
    m_memoSlots = 0;
    if (m_bytes.empty()) {
        return false;
    }
    std::vector<int32_t> indexAt(m_bytes.size(), -1);
    std::vector<size_t> offsets;
    bool complete = true;
    for (size_t offset = 1; offset + 3 <= m_bytes.size();) {
        Node node;
        size_t length = 0;
        DecodeNode(offset, node, length);
        indexAt[offset] = static_cast<int32_t>(m_nodes.size());
        offsets.push_back(offset);
        m_nodes.push_back(node);
        if (node.op == kUndecodable) {
            complete = false;
            break;
        }
        offset += length;
    }
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        size_t at = offsets[i];
        size_t link = (static_cast<size_t>(m_bytes[at + 1]) << 8) | m_bytes[at + 2];
        Node& node = m_nodes[i];
        if (link != 0) {
            size_t target = m_bytes[at] == kBack ? at - link : at + link;
            if (link <= at || m_bytes[at] != kBack) {
                node.next = target < m_bytes.size() ? indexAt[target] : -1;
            }
        }
        if (node.op == kBranch || node.op == kStar || node.op == kPlus || node.op == kBack) {
            node.memo = m_memoSlots++;
        }
    }
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        PrepareRepeat(m_nodes[i], static_cast<int32_t>(i));
    }
    return complete && !m_nodes.empty();
}

void BacktrackingProgram::DecodeNode(size_t offset, Node& node, size_t& length) {
    uint8_t op = m_bytes[offset];
    node.op = op;
    length = 3;
    if (op != kExactly && op != kAnyOf && op != kAnyBut) {
        return;
    }
    const uint8_t* operand = m_bytes.data() + offset + 3;
    size_t room = m_bytes.size() - offset - 3;
    const void* nul = std::memchr(operand, 0, room);
    if (nul == nullptr) {
        node.op = kUndecodable;
        return;
    }
    size_t operandLength = static_cast<const uint8_t*>(nul) - operand;
    length += operandLength + 1;
    if (op == kExactly) {
        node.data = static_cast<uint32_t>(offset + 3);
        node.length = static_cast<uint16_t>(operandLength);
        return;
    }
    // The complement holds NUL, a byte of the text like any other.
    ByteSet set{};
    for (size_t i = 0; i < operandLength; ++i) {
        set[operand[i]] = 1;
    }
    if (op == kAnyBut) {
        for (auto& member : set) {
            member ^= 1;
        }
    }
    node.data = AddSet(set);
}

uint32_t BacktrackingProgram::AddSet(const ByteSet& set) {
    m_sets.push_back(set);
    return static_cast<uint32_t>(m_sets.size() - 1);
}

// A star or plus repeats the single-character node that follows it; the
// matcher counts with a byte set for all four kinds.
void BacktrackingProgram::PrepareRepeat(Node& node, int32_t index) {
    if (node.op != kStar && node.op != kPlus) {
        return;
    }
    node.data = kNoSet;
    if (node.next >= 0) {
        const Node& after = m_nodes[node.next];
        if (after.op == kExactly && after.length > 0) {
            node.nextByte = *Literal(after);
        }
    }
    if (static_cast<size_t>(index) + 1 >= m_nodes.size()) {
        return;
    }
    const Node& operand = m_nodes[index + 1];
    ByteSet set{};
    switch (operand.op) {
        case kAny:
            set.fill(1);
            break;
        case kExactly:
            if (operand.length > 0) {
                set[*Literal(operand)] = 1;
            }
            break;
        case kAnyOf:
        case kAnyBut:
            set = m_sets[operand.data];
            break;
        default:
            return;
    }
    node.data = AddSet(set);
}

// A branch node whose next node is another branch offers a choice; each
// alternative is guarded by the bytes it can start with.
void BacktrackingProgram::PrepareGuards() {
    std::vector<bool> choice(m_nodes.size(), false);
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        const Node& node = m_nodes[i];
        if (node.op == kBranch && node.next >= 0 && m_nodes[node.next].op == kBranch) {
            choice[i] = true;
            choice[node.next] = true;
        }
    }
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        FirstBytes first;
        if (choice[i] && CollectFirst(static_cast<int32_t>(i) + 1, first, kGuardBudget) &&
            !first.mayBeEmpty) {
            m_nodes[i].guard = AddSet(first.set);
        }
    }
}

void BacktrackingProgram::AnalyseStart() {
    StartInfo& start = m_start;
    start = StartInfo();
    start.analysed = true;
    const Node& top = m_nodes[0];
    bool single = top.op == kBranch && top.next >= 0 && m_nodes[top.next].op == kEnd &&
                  m_nodes.size() > 1;
    if (single) {
        start.node = 1;
        const Node& first = m_nodes[1];
        if (first.op == kBol) {
            start.anchored = true;
        } else if ((first.op == kStar || first.op == kPlus) && first.data != kNoSet) {
            // After a leading ".*" the first start reaches every position a
            // later start could.
            if (m_nodes.size() > 2 && m_nodes[2].op == kAny) {
                start.anchored = true;
            }
            start.leadSet = first.data;
        }
        // The longest literal on the top-level chain, later ones winning ties.
        for (int32_t i = 1; i >= 0 && m_nodes[i].op != kEnd; i = m_nodes[i].next) {
            const Node& node = m_nodes[i];
            if (node.op == kExactly && node.length >= start.mustLength) {
                start.mustOffset = node.data;
                start.mustLength = node.length;
            }
        }
        FindWindowLiteral(1);
        ByteSet sets[kPrefixSets];
        start.prefixCount = PrefixSets(1, -1, sets, kPrefixSets, 0);
        for (int k = 0; k < start.prefixCount; ++k) {
            start.prefixSets[k] = AddSet(sets[k]);
        }
        start.mustRare = RarestByte(start.mustOffset, start.mustLength);
        start.windowRare = RarestByte(start.windowOffset, start.windowLength);
    }
    FirstBytes first;
    if (CollectFirst(0, first, SIZE_MAX)) {
        start.first = first.set;
        start.mayBeEmpty = first.mayBeEmpty;
        start.firstCount = static_cast<int>(std::count(first.set.begin(), first.set.end(), 1));
    }
}

// Picks the longest top-level literal whose distance from the match start
// has a bound, the nearest one on ties.
void BacktrackingProgram::FindWindowLiteral(int32_t from) {
    uint32_t reach = 0;
    int32_t i = from;
    while (i >= 0 && reach != kUnbounded) {
        const Node& node = m_nodes[i];
        if (node.op == kEnd) {
            break;
        }
        if (node.op == kExactly && node.length > 0 && node.length > m_start.windowLength) {
            m_start.windowOffset = node.data;
            m_start.windowLength = node.length;
            m_start.windowReach = reach;
        }
        int32_t after = node.op == kBranch ? Convergence(i) : node.next;
        uint32_t width = MaxWidth(i, after, 0);
        reach = (width == kUnbounded || reach > kUnbounded - 1 - width) ? kUnbounded : reach + width;
        i = after;
    }
}

// Fills sets[k] with the bytes that can be the k-th byte consumed from node
// `from` on, for as many leading bytes as every path fixes (at most
// `limit`), stopping at `stop`.  Answers how many sets were filled.
int BacktrackingProgram::PrefixSets(int32_t from, int32_t stop, ByteSet* sets, int limit,
                             int depth) const {
    int count = 0;
    int32_t i = from;
    for (size_t steps = 0; count < limit && i >= 0 && i != stop && steps <= m_nodes.size();
         ++steps) {
        const Node& node = m_nodes[i];
        switch (node.op) {
            case kExactly:
                for (uint32_t c = 0; c < node.length && count < limit; ++c) {
                    sets[count] = ByteSet{};
                    sets[count++][Literal(node)[c]] = 1;
                }
                if (node.length == 0) {
                    return count;
                }
                break;
            case kAny:
                sets[count++].fill(1);
                break;
            case kAnyOf:
            case kAnyBut:
                sets[count++] = m_sets[node.data];
                break;
            case kPlus:
                if (node.data != kNoSet) {
                    sets[count++] = m_sets[node.data];
                }
                return count;
            case kNothing:
                break;
            case kBranch: {
                if (depth >= kMaxWidthDepth) {
                    return count;
                }
                // Across alternatives the k-th sets merge, and only as many
                // bytes as the shortest alternative fixes are known.
                int32_t meet = Convergence(i);
                int known = limit - count;
                ByteSet merged[kPrefixSets] = {};
                for (int32_t b = i; b >= 0 && m_nodes[b].op == kBranch && b != meet;
                     b = m_nodes[b].next) {
                    ByteSet alternative[kPrefixSets];
                    int n = PrefixSets(b + 1, meet, alternative, known, depth + 1);
                    known = std::min(known, n);
                    for (int k = 0; k < known; ++k) {
                        for (size_t c = 0; c < alternative[k].size(); ++c) {
                            merged[k][c] |= alternative[k][c];
                        }
                    }
                }
                for (int k = 0; k < known; ++k) {
                    sets[count++] = merged[k];
                }
                return count;
            }
            default:
                if (!IsGroupMark(node.op)) {
                    return count;
                }
                break;
        }
        i = node.next;
    }
    return count;
}

// Bytes that log text is full of are poor places to start a literal search.
uint32_t BacktrackingProgram::RarestByte(uint32_t offset, uint32_t length) const {
    auto commonness = [](uint8_t c) {
        if (c == ' ') return 9;
        if (std::strchr("etaoinsr", c) != nullptr && c != 0) return 8;
        if (c >= '0' && c <= '9') return 7;
        if (c >= 'a' && c <= 'z') return 6;
        if (std::strchr(".:=/-_,", c) != nullptr && c != 0) return 5;
        if (c >= 'A' && c <= 'Z') return 3;
        return 1;
    };
    uint32_t best = 0;
    for (uint32_t k = 1; k < length; ++k) {
        if (commonness(m_bytes[offset + k]) < commonness(m_bytes[offset + best])) {
            best = k;
        }
    }
    return best;
}

// The node where the alternatives of a branch chain meet again.
int32_t BacktrackingProgram::Convergence(int32_t branch) const {
    int32_t i = branch;
    for (size_t steps = 0; steps < m_nodes.size(); ++steps) {
        int32_t next = m_nodes[i].next;
        if (next < 0 || m_nodes[next].op != kBranch) {
            return next;
        }
        i = next;
    }
    return -1;
}

// The most bytes a match can consume from node `from` until node `stop`.
uint32_t BacktrackingProgram::MaxWidth(int32_t from, int32_t stop, int depth) const {
    if (depth > kMaxWidthDepth) {
        return kUnbounded;
    }
    uint64_t width = 0;
    int32_t i = from;
    for (size_t steps = 0; i != stop; ++steps) {
        if (i < 0 || steps > m_nodes.size() || width >= kUnbounded) {
            return kUnbounded;
        }
        const Node& node = m_nodes[i];
        switch (node.op) {
            case kExactly:
                width += node.length;
                break;
            case kAny:
            case kAnyOf:
            case kAnyBut:
                width += 1;
                break;
            case kBol:
            case kEol:
            case kNothing:
                break;
            case kBranch: {
                int32_t meet = Convergence(i);
                uint32_t widest = 0;
                for (int32_t b = i; b >= 0 && m_nodes[b].op == kBranch && b != meet;
                     b = m_nodes[b].next) {
                    widest = std::max(widest, MaxWidth(b + 1, meet, depth + 1));
                }
                if (widest == kUnbounded) {
                    return kUnbounded;
                }
                width += widest;
                i = meet;
                continue;
            }
            default:
                if (!IsGroupMark(node.op)) {
                    return kUnbounded;
                }
                break;
        }
        i = node.next;
    }
    return width >= kUnbounded ? kUnbounded : static_cast<uint32_t>(width);
}

// Walks the nodes that consume nothing and collects the bytes that the first
// consuming node can take.  Reaching the end, or anything unexpected, means
// a match may consume nothing from here.  Answers false when the walk ran
// over its budget.
bool BacktrackingProgram::CollectFirst(int32_t from, FirstBytes& out, size_t budget) {
    if (m_visited.size() != m_nodes.size() || ++m_generation == 0) {
        m_visited.assign(m_nodes.size(), 0);
        m_generation = 1;
    }
    auto addSet = [&out](const ByteSet& set) {
        for (size_t b = 0; b < set.size(); ++b) {
            out.set[b] |= set[b];
        }
    };
    std::vector<int32_t> pending{from};
    size_t visits = 0;
    while (!pending.empty()) {
        int32_t i = pending.back();
        pending.pop_back();
        if (i < 0 || static_cast<size_t>(i) >= m_nodes.size()) {
            out.mayBeEmpty = true;
            continue;
        }
        if (m_visited[i] == m_generation) {
            continue;
        }
        if (++visits > budget) {
            return false;
        }
        m_visited[i] = m_generation;
        const Node& node = m_nodes[i];
        switch (node.op) {
            case kAny:
                out.set.fill(1);
                break;
            case kExactly:
                if (node.length == 0) {
                    out.mayBeEmpty = true;
                } else {
                    out.set[*Literal(node)] = 1;
                }
                break;
            case kAnyOf:
            case kAnyBut:
                addSet(m_sets[node.data]);
                break;
            case kBranch:
                pending.push_back(i + 1);
                if (node.next >= 0 && m_nodes[node.next].op == kBranch) {
                    pending.push_back(node.next);
                }
                break;
            case kStar:
            case kPlus:
                if (node.data == kNoSet) {
                    out.mayBeEmpty = true;
                    break;
                }
                addSet(m_sets[node.data]);
                if (node.op == kStar) {
                    pending.push_back(node.next);
                }
                break;
            case kBol:
            case kEol:
            case kNothing:
            case kBack:
                pending.push_back(node.next);
                break;
            default:
                if (IsGroupMark(node.op)) {
                    pending.push_back(node.next);
                } else {
                    out.mayBeEmpty = true;
                }
                break;
        }
    }
    return true;
}
