#include "qorToolsLib/RegularExpressionAutomaton.h"

#include <algorithm>
#include <cstring>

struct RegexAutomaton::ProgramNode {
    uint8_t op = 0;
    int32_t next = -1;
    // Exactly, any-of, any-but: the operand's offset and length.
    uint32_t operand = 0;
    uint32_t length = 0;
};

namespace {

using Op = RegexProgram::Op;
using ProgramNode = RegexAutomaton::ProgramNode;

// Prebuilding gives up after visiting this many graph states per table entry
// it is allowed, so a huge pattern cannot stall its compile.
constexpr size_t kPrebuildWorkPerEntry = 16;
// Patterns that are one literal longer than this are searched with memmem:
// the machine's states would hold a graph state per byte of the literal.
constexpr size_t kLongLiteral = 64;

inline uint8_t FoldCase(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c - 'A' + 'a') : c;
}

bool IsGroupMark(uint8_t op) {
    return (op > Op::kOpen && op < Op::kOpen + RegexProgram::kMaxGroups) ||
           (op > Op::kClose && op < Op::kClose + RegexProgram::kMaxGroups);
}


// Splits the program into nodes and resolves links to node indexes.  Any
// link that misses a node, or a node cut short, refuses the whole program.
bool DecodeProgram(const std::vector<uint8_t>& program, std::vector<ProgramNode>& nodes) {
    if (program.empty() || program[0] != RegexProgram::kMagic) {
        return false;
    }
    std::vector<int32_t> indexAt(program.size(), -1);
    std::vector<size_t> offsets;
    for (size_t offset = 1; offset < program.size();) {
        if (offset + 3 > program.size()) {
            return false;
        }
        ProgramNode node;
        node.op = program[offset];
        size_t size = 3;
        if (node.op == Op::kExactly || node.op == Op::kAnyOf || node.op == Op::kAnyBut) {
            const uint8_t* operand = program.data() + offset + 3;
            const void* nul = std::memchr(operand, 0, program.size() - offset - 3);
            if (nul == nullptr) {
                return false;
            }
            node.operand = static_cast<uint32_t>(offset + 3);
            node.length = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - operand);
            size += node.length + 1;
        }
        indexAt[offset] = static_cast<int32_t>(nodes.size());
        offsets.push_back(offset);
        nodes.push_back(node);
        offset += size;
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
        size_t at = offsets[i];
        size_t link = (static_cast<size_t>(program[at + 1]) << 8) | program[at + 2];
        if (link == 0) {
            continue;
        }
        if (nodes[i].op == Op::kBack && link > at) {
            return false;
        }
        size_t target = nodes[i].op == Op::kBack ? at - link : at + link;
        if (target >= program.size() || indexAt[target] < 0) {
            return false;
        }
        nodes[i].next = indexAt[target];
    }
    return !nodes.empty();
}

}  // namespace

bool RegexAutomaton::Build(const std::vector<uint8_t>& program, bool foldCase,
                           size_t tableLimit) {
    m_foldCase = foldCase;
    if (!BuildGraph(program)) {
        return false;
    }
    BuildClasses(foldCase);
    if (FindLongLiteral(foldCase)) {
        return true;
    }
    size_t work = 0;
    m_matchesEverything = ResetMachine(m_machine, work);
    if (m_matchesEverything) {
        m_prebuilt = true;
        return true;
    }
    m_prebuilt = Prebuild(tableLimit);
    if (!m_prebuilt) {
        // The cache must hold the dead, matched and start states and at
        // least a few more, or it would be emptied at every byte.
        m_cacheLimit = std::max<size_t>(tableLimit, size_t{8} * m_classCount);
        ResetMachine(m_machine, work);
    }
    return true;
}

// One graph state per consumed byte; branches become splits, group marks and
// loop ends states that consume nothing.  A repeated single character loops
// through its own consuming state.
bool RegexAutomaton::BuildGraph(const std::vector<uint8_t>& program) {
    std::vector<ProgramNode> nodes;
    if (!DecodeProgram(program, nodes)) {
        return false;
    }
    auto addState = [this](Kind kind, uint32_t set = 0) {
        m_graph.push_back(GraphState{kind, set, -1, -1});
        return static_cast<int32_t>(m_graph.size() - 1);
    };
    auto addSet = [this](const ByteSet& set) {
        m_sets.push_back(set);
        return static_cast<uint32_t>(m_sets.size() - 1);
    };
    auto single = [](uint8_t byte) {
        ByteSet set{};
        set[byte >> 6] |= uint64_t{1} << (byte & 63);
        return set;
    };
    // The set of a node that consumes one character; false for other nodes.
    auto characterSet = [&](const ProgramNode& node, ByteSet& set) {
        set = ByteSet{};
        switch (node.op) {
            case Op::kAny:
                set.fill(~uint64_t{0});
                return true;
            case Op::kExactly:
                if (node.length != 1) {
                    return false;
                }
                set = single(program[node.operand]);
                return true;
            case Op::kAnyOf:
            case Op::kAnyBut:
                for (uint32_t k = 0; k < node.length; ++k) {
                    uint8_t byte = program[node.operand + k];
                    set[byte >> 6] |= uint64_t{1} << (byte & 63);
                }
                if (node.op == Op::kAnyBut) {
                    for (uint64_t& word : set) {
                        word = ~word;
                    }
                }
                return true;
            default:
                return false;
        }
    };

    // Each node's first state, and the state whose exit leads to the node's
    // successor (through its second way when `exitIsSecond`).
    std::vector<int32_t> entry(nodes.size(), -1);
    std::vector<int32_t> exit(nodes.size(), -1);
    std::vector<bool> exitIsSecond(nodes.size(), false);
    for (size_t i = 0; i < nodes.size(); ++i) {
        const ProgramNode& node = nodes[i];
        ByteSet set;
        switch (node.op) {
            case Op::kExactly: {
                if (node.length == 0) {
                    return false;
                }
                int32_t previous = -1;
                for (uint32_t k = 0; k < node.length; ++k) {
                    int32_t state = addState(kConsume, addSet(single(program[node.operand + k])));
                    if (previous >= 0) {
                        m_graph[previous].out = state;
                    } else {
                        entry[i] = state;
                    }
                    previous = state;
                }
                exit[i] = previous;
                break;
            }
            case Op::kAny:
            case Op::kAnyOf:
            case Op::kAnyBut:
                characterSet(node, set);
                entry[i] = exit[i] = addState(kConsume, addSet(set));
                break;
            case Op::kStar:
            case Op::kPlus: {
                if (i + 1 >= nodes.size() || !characterSet(nodes[i + 1], set)) {
                    return false;
                }
                int32_t loop = addState(kSplit);
                int32_t consume = addState(kConsume, addSet(set));
                m_graph[loop].out = consume;
                m_graph[consume].out = loop;
                entry[i] = node.op == Op::kStar ? loop : consume;
                exit[i] = loop;
                exitIsSecond[i] = true;
                break;
            }
            case Op::kBranch: {
                bool choice = node.next >= 0 && nodes[node.next].op == Op::kBranch;
                entry[i] = addState(choice ? kSplit : kEpsilon);
                break;
            }
            case Op::kBol:
                entry[i] = exit[i] = addState(kBol);
                break;
            case Op::kEol:
                entry[i] = exit[i] = addState(kEol);
                break;
            case Op::kEnd:
                entry[i] = addState(kMatch);
                break;
            case Op::kNothing:
            case Op::kBack:
                entry[i] = exit[i] = addState(kEpsilon);
                break;
            default:
                if (!IsGroupMark(node.op)) {
                    return false;
                }
                entry[i] = exit[i] = addState(kEpsilon);
                break;
        }
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
        const ProgramNode& node = nodes[i];
        if (node.op == Op::kBranch) {
            // The alternative's body follows the branch node; the next
            // branch node, if any, holds the remaining alternatives.
            if (i + 1 >= nodes.size()) {
                return false;
            }
            GraphState& state = m_graph[entry[i]];
            state.out = entry[i + 1];
            if (state.kind == kSplit) {
                state.out2 = entry[node.next];
            }
        } else if (exit[i] >= 0 && node.next >= 0) {
            GraphState& state = m_graph[exit[i]];
            (exitIsSecond[i] ? state.out2 : state.out) = entry[node.next];
        }
    }
    m_start = entry[0];
    FindRequiredLiteral(program, nodes);

    // Every state a search can reach must lead somewhere.
    std::vector<bool> seen(m_graph.size(), false);
    std::vector<int32_t> pending{m_start};
    while (!pending.empty()) {
        int32_t id = pending.back();
        pending.pop_back();
        if (id < 0) {
            return false;
        }
        if (seen[id]) {
            continue;
        }
        seen[id] = true;
        const GraphState& state = m_graph[id];
        if (state.kind == kMatch) {
            continue;
        }
        pending.push_back(state.out);
        if (state.kind == kSplit) {
            pending.push_back(state.out2);
        }
    }
    return true;
}

// With a single top-level alternative, the literals on its chain of nodes
// (operands of branches and repeats lie off the chain) are in every match;
// a text without the longest of them cannot match, which memmem tells far
// sooner than the machine.
void RegexAutomaton::FindRequiredLiteral(const std::vector<uint8_t>& program,
                                         const std::vector<ProgramNode>& nodes) {
    const ProgramNode& top = nodes[0];
    if (top.op != Op::kBranch || top.next < 0 || nodes[top.next].op != Op::kEnd) {
        return;
    }
    const ProgramNode* best = nullptr;
    int32_t i = 1;
    for (size_t steps = 0; i >= 0 && static_cast<size_t>(i) < nodes.size() &&
                           nodes[i].op != Op::kEnd && steps <= nodes.size();
         ++steps, i = nodes[i].next) {
        if (nodes[i].op == Op::kExactly && (best == nullptr || nodes[i].length > best->length)) {
            best = &nodes[i];
        }
    }
    if (best == nullptr) {
        return;
    }
    std::string literal(reinterpret_cast<const char*>(program.data() + best->operand),
                        best->length);
    for (char c : literal) {
        // Folded texts would need a search that ignores case.
        if (m_foldCase && c >= 'a' && c <= 'z') {
            return;
        }
    }
    m_required = std::move(literal);
}

// A pattern that is nothing but a long literal (letters only without
// folding) is searched for as one.
bool RegexAutomaton::FindLongLiteral(bool foldCase) {
    std::string literal;
    int32_t id = m_start;
    for (size_t steps = 0; steps <= m_graph.size() && id >= 0; ++steps) {
        const GraphState& state = m_graph[id];
        if (state.kind == kMatch) {
            break;
        }
        if (state.kind == kConsume) {
            const ByteSet& set = m_sets[state.set];
            int members = 0;
            int byte = 0;
            for (int c = 0; c < 256; ++c) {
                if ((set[c >> 6] >> (c & 63)) & 1) {
                    ++members;
                    byte = c;
                }
            }
            if (members != 1 || byte == 0 || (foldCase && byte >= 'a' && byte <= 'z')) {
                return false;
            }
            literal += static_cast<char>(byte);
        } else if (state.kind != kEpsilon) {
            return false;
        }
        id = state.out;
    }
    if (id < 0 || m_graph[id].kind != kMatch || literal.size() <= kLongLiteral) {
        return false;
    }
    m_literal = std::move(literal);
    return true;
}

// Bytes that every set treats alike share one class; with folding, a
// capital shares the class of its small letter.
void RegexAutomaton::BuildClasses(bool foldCase) {
    std::vector<ByteSet> sets(m_sets);
    std::sort(sets.begin(), sets.end());
    sets.erase(std::unique(sets.begin(), sets.end()), sets.end());

    auto effective = [foldCase](int c) {
        return foldCase ? FoldCase(static_cast<uint8_t>(c)) : static_cast<uint8_t>(c);
    };
    std::array<uint8_t, 256> classOf;
    classOf.fill(1);
    uint32_t count = 2;
    for (const ByteSet& set : sets) {
        int16_t renumber[256][2];
        std::memset(renumber, -1, sizeof renumber);
        uint32_t next = 1;
        for (int c = 0; c < 256; ++c) {
            uint8_t byte = effective(c);
            int member = static_cast<int>((set[byte >> 6] >> (byte & 63)) & 1);
            int16_t& target = renumber[classOf[c]][member];
            if (target < 0) {
                target = static_cast<int16_t>(next++);
            }
            classOf[c] = static_cast<uint8_t>(target);
        }
        count = next;
    }
    m_classOf = classOf;
    m_classCount = count;
    m_classByte.assign(count, 0);
    for (int c = 255; c >= 0; --c) {
        m_classByte[classOf[c]] = effective(c);
    }
}

bool RegexAutomaton::ResetMachine(Machine& machine, size_t& work) const {
    const uint32_t width = m_classCount;
    machine.table.assign(size_t{2} * width, 0);
    std::fill(machine.table.begin() + width, machine.table.end(), width);
    machine.members.clear();
    machine.memberStart.assign(3, 0);
    machine.index.clear();
    if (machine.marks.size() != m_graph.size()) {
        machine.marks.assign(m_graph.size(), 0);
        machine.generation = 0;
    }
    // The start state is never entered in the index: its way out at the end
    // of the text lets "^" through, which no later state with the same
    // graph states may do.
    bool matched = false;
    BeginWalk(machine);
    Closure(machine, m_start, true, false, matched, work);
    std::sort(machine.next.begin(), machine.next.end());
    machine.members.insert(machine.members.end(), machine.next.begin(), machine.next.end());
    machine.memberStart.push_back(static_cast<uint32_t>(machine.members.size()));
    machine.table.resize(machine.table.size() + width, kUnknown);
    return matched;
}

void RegexAutomaton::BeginWalk(Machine& machine) const {
    if (++machine.generation == 0) {
        std::fill(machine.marks.begin(), machine.marks.end(), 0);
        machine.generation = 1;
    }
    machine.next.clear();
}

// Collects into machine.next the states that consume (and the "$" states
// still waiting for the end) reachable from `from` without consuming.
void RegexAutomaton::Closure(Machine& machine, int32_t from, bool atStart, bool atEnd,
                             bool& matched, size_t& work) const {
    std::vector<int32_t>& pending = machine.pending;
    pending.clear();
    pending.push_back(from);
    while (!pending.empty()) {
        int32_t id = pending.back();
        pending.pop_back();
        if (machine.marks[id] == machine.generation) {
            continue;
        }
        machine.marks[id] = machine.generation;
        ++work;
        const GraphState& state = m_graph[id];
        switch (state.kind) {
            case kConsume:
                machine.next.push_back(id);
                break;
            case kSplit:
                pending.push_back(state.out2);
                pending.push_back(state.out);
                break;
            case kEpsilon:
                pending.push_back(state.out);
                break;
            case kBol:
                if (atStart) {
                    pending.push_back(state.out);
                }
                break;
            case kEol:
                if (atEnd) {
                    pending.push_back(state.out);
                } else {
                    machine.next.push_back(id);
                }
                break;
            case kMatch:
                matched = true;
                break;
        }
    }
}

// The row a state moves to on a byte of class `cls` (class 0: the end of the
// text): the dead or matched row, or kUnknown with the new state's graph
// states left sorted in machine.next.
uint32_t RegexAutomaton::Target(Machine& machine, uint32_t row, uint32_t cls,
                                size_t& work) const {
    const uint32_t width = m_classCount;
    const uint32_t state = row / width;
    const int32_t* first = machine.members.data() + machine.memberStart[state];
    const int32_t* last = machine.members.data() + machine.memberStart[state + 1];
    bool matched = false;
    BeginWalk(machine);
    if (cls == 0) {
        for (const int32_t* id = first; id != last; ++id) {
            if (m_graph[*id].kind == kEol) {
                Closure(machine, m_graph[*id].out, state == 2, true, matched, work);
            }
        }
        return matched ? width : 0;
    }
    const uint8_t byte = m_classByte[cls];
    for (const int32_t* id = first; id != last; ++id) {
        const GraphState& graphState = m_graph[*id];
        if (graphState.kind == kConsume && Contains(graphState.set, byte)) {
            Closure(machine, graphState.out, false, false, matched, work);
        }
    }
    // A match may also start right after this byte.
    Closure(machine, m_start, false, false, matched, work);
    if (matched) {
        return width;
    }
    if (machine.next.empty()) {
        return 0;
    }
    std::sort(machine.next.begin(), machine.next.end());
    return kUnknown;
}

// Enters the graph states in machine.next as a state (or finds it) and
// answers its row.
uint32_t RegexAutomaton::AddState(Machine& machine, const std::vector<int32_t>& members) const {
    std::string key(reinterpret_cast<const char*>(members.data()),
                    members.size() * sizeof(int32_t));
    auto found = machine.index.find(key);
    if (found != machine.index.end()) {
        return found->second;
    }
    uint32_t row = static_cast<uint32_t>(machine.table.size());
    machine.members.insert(machine.members.end(), members.begin(), members.end());
    machine.memberStart.push_back(static_cast<uint32_t>(machine.members.size()));
    machine.table.resize(machine.table.size() + m_classCount, kUnknown);
    machine.index.emplace(std::move(key), row);
    return row;
}

// Makes every state reachable from the start while the table stays within
// its limit.
bool RegexAutomaton::Prebuild(size_t tableLimit) {
    Machine& machine = m_machine;
    const uint32_t width = m_classCount;
    const size_t workLimit = tableLimit * kPrebuildWorkPerEntry;
    size_t work = 0;
    for (uint32_t row = 2 * width; row < machine.table.size(); row += width) {
        for (uint32_t cls = 0; cls < width; ++cls) {
            uint32_t target = Target(machine, row, cls, work);
            if (target == kUnknown) {
                if (machine.table.size() + width > tableLimit) {
                    return false;
                }
                target = AddState(machine, machine.next);
            }
            machine.table[row + cls] = target;
            if (work > workLimit) {
                return false;
            }
        }
    }
    return true;
}

// Makes the missing transition of a cached machine; a full cache is emptied
// first, keeping only the state being entered.
uint32_t RegexAutomaton::Extend(uint32_t row, uint32_t cls, size_t& work) const {
    Machine& machine = m_machine;
    uint32_t target = Target(machine, row, cls, work);
    if (target != kUnknown) {
        machine.table[row + cls] = target;
        return target;
    }
    std::string key(reinterpret_cast<const char*>(machine.next.data()),
                    machine.next.size() * sizeof(int32_t));
    auto found = machine.index.find(key);
    if (found != machine.index.end()) {
        machine.table[row + cls] = found->second;
        return found->second;
    }
    if (machine.table.size() + m_classCount > m_cacheLimit) {
        std::vector<int32_t> members(machine.next);
        work += machine.table.size() / m_classCount;
        ResetMachine(machine, work);
        return AddState(machine, members);
    }
    target = AddState(machine, machine.next);
    machine.table[row + cls] = target;
    return target;
}

bool RegexAutomaton::Run(std::string_view text, RegexStats* stats) const {
    if (m_matchesEverything) {
        return true;
    }
    const auto* begin = reinterpret_cast<const uint8_t*>(text.data());
    const size_t length = text.size();
    if (!m_literal.empty()) {
        if (stats != nullptr) {
            stats->steps += length;
        }
        return length >= m_literal.size() &&
               memmem(begin, length, m_literal.data(), m_literal.size()) != nullptr;
    }
    if (!m_required.empty() &&
        (length < m_required.size() ||
         memmem(begin, length, m_required.data(), m_required.size()) == nullptr)) {
        if (stats != nullptr) {
            stats->steps += length;
        }
        return false;
    }
    const uint32_t width = m_classCount;
    const uint32_t live = 2 * width;
    const uint8_t* classOf = m_classOf.data();
    const uint8_t* at = begin;
    const uint8_t* const end = begin + length;
    uint32_t row = live;
    if (m_prebuilt) {
        const uint32_t* table = m_machine.table.data();
        // The dead and matched rows lead to themselves, so the bytes are
        // taken four at a time and whether the search is decided is asked
        // once for each four.
        while (end - at >= 4) {
            row = table[row + classOf[at[0]]];
            row = table[row + classOf[at[1]]];
            row = table[row + classOf[at[2]]];
            row = table[row + classOf[at[3]]];
            at += 4;
            if (row < live) {
                break;
            }
        }
        while (at != end && row >= live) {
            row = table[row + classOf[*at++]];
        }
        if (row >= live) {
            row = table[row];
        }
        if (stats != nullptr) {
            stats->steps += static_cast<size_t>(at - begin) + 1;
        }
        return row == width;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    size_t work = 0;
    // Class 0 once the bytes are all read: the end of the text.
    for (;;) {
        const uint32_t cls = at != end ? classOf[*at++] : 0;
        uint32_t next = m_machine.table[row + cls];
        if (next == kUnknown) {
            next = Extend(row, cls, work);
        }
        row = next;
        if (next < live || cls == 0) {
            break;
        }
    }
    if (stats != nullptr) {
        stats->steps += static_cast<size_t>(at - begin) + 1 + work;
    }
    return row == width;
}
