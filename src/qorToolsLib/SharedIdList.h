#pragma once
// The numbered sections of the shared-memory store: a list of 12-byte
// section nodes {next, first pair, id} sorted by ascending id, always
// starting with id 0, each holding a list of 12-byte pair nodes {next,
// label text, value text}.  The caller holds the store's semaphore.
//
// Nodes and texts written by another process are checked before they are
// followed; an operation that meets a damaged one answers false (or stops
// freeing) and leaves the rest of the segment as it is.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qorToolsLib/GenAlloc.h"
#include "qorToolsLib/SharedSegment.h"

class SharedIdList {
public:
    SharedIdList(uint8_t* base, uint64_t limit, GenAlloc& allocator);

    // Lays out a new segment: size word, last id 0 and the id-0 section.
    bool Initialise(uint32_t segmentSize);

    bool Insert(uint32_t id);
    bool Remove(uint32_t id);
    bool ClearSection(uint32_t id);
    bool SetSection(uint32_t id, const char* label, const char* value);
    // Label/value texts, for setting many pairs of one section at once.
    using Pairs = std::vector<std::pair<const char*, const char*>>;
    // SetSection for each pair in turn, the section looked up once; false
    // when the section is absent or a pair could not be set (those after it
    // are still tried).
    bool SetPairs(uint32_t id, const Pairs& pairs);
    bool GetValue(uint32_t id, const char* label, std::string& value);
    bool RemoveValue(uint32_t id, const char* label);
    bool GetSection(uint32_t id, std::vector<std::string>& labels,
                    std::vector<std::string>& values);
    // Frees every section and pair; the list is left empty.
    void ClearAll();
    uint32_t NextId();

    // Damaged nodes or texts met so far.
    uint32_t DamageCount() const { return m_dwDamage; }

private:
    struct Node {
        uint32_t m_dwOffset = 0;
        uint32_t m_dwNext = 0;
        uint32_t m_dwSecond = 0;  // first pair of a section, label of a pair
        uint32_t m_dwThird = 0;   // id of a section, value of a pair
    };
    enum class Lookup { kFound, kAbsent, kDamaged };

    bool ReadNode(uint32_t offset, Node& node);
    // The section `id` and the node before it (offset 0 when it is first).
    Lookup FindSection(uint32_t id, Node& section, uint32_t& previous);
    // The pair labelled `label` in `section` and the pair before it.
    Lookup FindPair(const Node& section, const char* label, Node& pair, uint32_t& previous);
    bool ReadText(uint32_t offset, std::string_view& text);
    uint32_t CopyText(const char* text);
    // Sets one pair of the found section; the old value's block, when one is
    // replaced, goes on `freed`.
    bool SetPair(const Node& section, const char* label, const char* value,
                 GenAlloc::BlockList& freed);
    // Puts the blocks of a section's pairs on `freed`; false when a damaged
    // pair stopped it.
    bool CollectPairs(const Node& section, GenAlloc::BlockList& freed);
    bool Damaged();

    SharedSegment m_segment;
    GenAlloc& m_allocator;
    uint32_t m_dwAreaEnd = 0;
    uint32_t m_dwDamage = 0;
    // Kept between operations so freeing a section allocates nothing.
    GenAlloc::BlockList m_freed;
};
