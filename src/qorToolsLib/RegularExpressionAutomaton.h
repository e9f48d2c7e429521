#pragma once
// The matcher behind RegexProgram.  A node program becomes a state graph
// (one state per consumed byte, plus states that consume nothing for
// branches, loops and anchors), and the search runs a deterministic machine
// whose states are sets of graph states: each text byte costs one table
// look-up, or, when the machine meets a state it has not made yet, one walk
// over the graph.  Unanchored search is built in (every machine state holds
// the graph's start), so the whole text is read once, whatever the pattern.
//
// Small machines are made completely at compile time and are then read
// without any lock.  Larger ones are made while texts are matched, in a
// bounded cache guarded by the automaton's own lock; a full cache is emptied
// and filled again, which keeps the work per byte bounded by the graph size.

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qorToolsLib/RegularExpressionProgram.h"

class RegexAutomaton {
public:
    // One node of a decoded program (defined with the decoder).
    struct ProgramNode;

    // False when the program breaks the compiler's own rules (a loop that
    // consumes nothing, a repeat of more than one character, a broken link).
    bool Build(const std::vector<uint8_t>& program, bool foldCase, size_t tableLimit);

    // Searches the text, every byte of it: a NUL is a byte like any other.
    bool Run(std::string_view text, RegexStats* stats) const;

    bool MatchesEverything() const { return m_matchesEverything; }
    bool IsPrebuilt() const { return m_prebuilt || !m_literal.empty(); }

private:
    enum Kind : uint8_t { kConsume, kSplit, kEpsilon, kBol, kEol, kMatch };
    struct GraphState {
        Kind kind = kEpsilon;
        // kConsume: index of the byte set.
        uint32_t set = 0;
        int32_t out = -1;
        // kSplit: the second way on.
        int32_t out2 = -1;
    };
    using ByteSet = std::array<uint64_t, 4>;

    // The machine: rows of transitions, one column per byte class, each entry
    // the row offset of the next state.  Row 0 is the dead state, row 1 the
    // matched state, row 2 the state at the start of the text.  The dead
    // and matched rows lead to themselves on every class.
    struct Machine {
        std::vector<uint32_t> table;
        // The graph states of each machine state, sorted, one after another.
        std::vector<int32_t> members;
        std::vector<uint32_t> memberStart;
        std::unordered_map<std::string, uint32_t> index;
        // Walk scratch: visit marks and the pending stack.
        std::vector<uint32_t> marks;
        uint32_t generation = 0;
        std::vector<int32_t> pending;
        std::vector<int32_t> next;
    };

    static constexpr uint32_t kUnknown = UINT32_MAX;

    bool BuildGraph(const std::vector<uint8_t>& program);
    void BuildClasses(bool foldCase);
    bool FindLongLiteral(bool foldCase);
    void FindRequiredLiteral(const std::vector<uint8_t>& program,
                             const std::vector<ProgramNode>& nodes);
    bool Contains(uint32_t set, uint8_t byte) const {
        return (m_sets[set][byte >> 6] >> (byte & 63)) & 1;
    }

    // Empties the machine down to the dead, matched and start states; true
    // when the start state already matches.
    bool ResetMachine(Machine& machine, size_t& work) const;
    void Closure(Machine& machine, int32_t from, bool atStart, bool atEnd, bool& matched,
                 size_t& work) const;
    void BeginWalk(Machine& machine) const;
    uint32_t Target(Machine& machine, uint32_t row, uint32_t cls, size_t& work) const;
    uint32_t AddState(Machine& machine, const std::vector<int32_t>& members) const;
    bool Prebuild(size_t tableLimit);
    uint32_t Extend(uint32_t row, uint32_t cls, size_t& work) const;

    std::vector<GraphState> m_graph;
    std::vector<ByteSet> m_sets;
    int32_t m_start = -1;

    // Byte classes: bytes no pattern set tells apart share a column.  Class
    // 0 is no byte but the end of the text, which no byte can stand for.
    std::array<uint8_t, 256> m_classOf{};
    std::vector<uint8_t> m_classByte;
    uint32_t m_classCount = 1;

    // Set for a pattern that is one long literal.
    std::string m_literal;
    // A literal every match contains, when the pattern has one.
    std::string m_required;
    bool m_foldCase = false;
    bool m_matchesEverything = false;
    bool m_prebuilt = false;
    size_t m_cacheLimit = 0;
    mutable std::mutex m_lock;
    mutable Machine m_machine;
};
