#include "qorToolsLib/SharedIdList.h"

#include <cstring>

namespace {

constexpr uint32_t kNodeSize = 12;
constexpr uint32_t kTextOverhead = 8;  // size word, NUL and spare

// The strings already in the list are written over, so a caller that keeps
// its lists from section to section allocates only for longer texts.
void Put(std::vector<std::string>& texts, size_t index, std::string_view text) {
    if (index < texts.size()) {
        texts[index].assign(text);
    } else {
        texts.emplace_back(text);
    }
}

}  // namespace

SharedIdList::SharedIdList(uint8_t* base, uint64_t limit, GenAlloc& allocator)
    : m_segment(base, limit), m_allocator(allocator) {}

bool SharedIdList::Damaged() {
    ++m_dwDamage;
    return false;
}

bool SharedIdList::Initialise(uint32_t segmentSize) {
    m_segment.WriteWord(SharedSegment::kLastIdOffset, 0);
    m_segment.WriteWord(SharedSegment::kSizeOffset, segmentSize);
    m_segment.WriteWord(SharedSegment::kSectionHeadOffset, 0);
    return Insert(0);
}

bool SharedIdList::ReadNode(uint32_t offset, Node& node) {
    node.m_dwOffset = offset;
    return (SharedSegment::IsBlock(offset, kNodeSize, m_dwAreaEnd) &&
            m_segment.ReadWord(offset, node.m_dwNext) &&
            m_segment.ReadWord(offset + 4, node.m_dwSecond) &&
            m_segment.ReadWord(offset + 8, node.m_dwThird)) ||
           Damaged();
}

bool SharedIdList::ReadText(uint32_t offset, std::string_view& text) {
    return m_segment.ReadText(offset, m_dwAreaEnd, text) || Damaged();
}

// Ids rise strictly along the list, so a damaged link cannot make the walk
// go round for ever.
SharedIdList::Lookup SharedIdList::FindSection(uint32_t id, Node& section, uint32_t& previous) {
    uint32_t head = 0;
    if (!m_segment.AreaEnd(m_dwAreaEnd) ||
        !m_segment.ReadWord(SharedSegment::kSectionHeadOffset, head)) {
        Damaged();
        return Lookup::kDamaged;
    }
    previous = 0;
    bool first = true;
    uint32_t lastId = 0;
    for (uint32_t offset = head; offset != 0; offset = section.m_dwNext) {
        if (!ReadNode(offset, section) || (!first && section.m_dwThird <= lastId)) {
            Damaged();
            return Lookup::kDamaged;
        }
        if (section.m_dwThird == id) {
            return Lookup::kFound;
        }
        if (section.m_dwThird > id) {
            break;
        }
        first = false;
        lastId = section.m_dwThird;
        previous = offset;
    }
    return Lookup::kAbsent;
}

// A pair list has no order to check, so its walk is bounded by the number
// of nodes the area could hold.
SharedIdList::Lookup SharedIdList::FindPair(const Node& section, const char* label, Node& pair,
                                            uint32_t& previous) {
    previous = 0;
    uint32_t steps = (m_dwAreaEnd - SharedSegment::kAreaStart) / kNodeSize;
    for (uint32_t offset = section.m_dwSecond; offset != 0; offset = pair.m_dwNext) {
        std::string_view text;
        if (steps-- == 0 || !ReadNode(offset, pair) || !ReadText(pair.m_dwSecond, text)) {
            return Lookup::kDamaged;
        }
        if (text == label) {
            return Lookup::kFound;
        }
        previous = offset;
    }
    return Lookup::kAbsent;
}

uint32_t SharedIdList::CopyText(const char* text) {
    size_t length = std::strlen(text);
    if (length > UINT32_MAX - kTextOverhead) {
        return 0;
    }
    uint32_t offset = m_allocator.AllocText(static_cast<uint32_t>(length + kTextOverhead));
    if (offset != 0) {
        std::memcpy(m_segment.Base() + offset, text, length + 1);
    }
    return offset;
}

bool SharedIdList::CollectPairs(const Node& section, GenAlloc::BlockList& freed) {
    uint32_t steps = (m_dwAreaEnd - SharedSegment::kAreaStart) / kNodeSize;
    Node pair;
    for (uint32_t offset = section.m_dwSecond; offset != 0; offset = pair.m_dwNext) {
        if (steps-- == 0 || !ReadNode(offset, pair)) {
            return false;
        }
        m_allocator.AddTextBlock(pair.m_dwSecond, freed);
        m_allocator.AddTextBlock(pair.m_dwThird, freed);
        freed.emplace_back(offset, kNodeSize);
    }
    return true;
}

bool SharedIdList::Insert(uint32_t id) {
    Node section;
    uint32_t previous = 0;
    Lookup found = FindSection(id, section, previous);
    if (found != Lookup::kAbsent) {
        return false;
    }
    uint32_t next = 0;
    if (previous != 0) {
        m_segment.ReadWord(previous, next);
    } else {
        m_segment.ReadWord(SharedSegment::kSectionHeadOffset, next);
    }
    uint32_t node = m_allocator.AllocBlock(kNodeSize);
    if (node == 0) {
        return false;
    }
    m_segment.WriteWord(node, next);
    m_segment.WriteWord(node + 4, 0);
    m_segment.WriteWord(node + 8, id);
    m_segment.WriteWord(previous != 0 ? previous : SharedSegment::kSectionHeadOffset, node);
    return true;
}

bool SharedIdList::Remove(uint32_t id) {
    Node section;
    uint32_t previous = 0;
    m_freed.clear();
    if (FindSection(id, section, previous) != Lookup::kFound || !CollectPairs(section, m_freed)) {
        m_allocator.FreeBlocks(m_freed);
        return false;
    }
    m_segment.WriteWord(previous != 0 ? previous : SharedSegment::kSectionHeadOffset,
                        section.m_dwNext);
    m_freed.emplace_back(section.m_dwOffset, kNodeSize);
    m_allocator.FreeBlocks(m_freed);
    return true;
}

bool SharedIdList::ClearSection(uint32_t id) {
    Node section;
    uint32_t previous = 0;
    if (FindSection(id, section, previous) != Lookup::kFound) {
        return false;
    }
    m_freed.clear();
    bool whole = CollectPairs(section, m_freed);
    m_allocator.FreeBlocks(m_freed);
    m_segment.WriteWord(section.m_dwOffset + 4, 0);
    return whole;
}

bool SharedIdList::SetSection(uint32_t id, const char* label, const char* value) {
    return SetPairs(id, {{label, value}});
}

bool SharedIdList::SetPairs(uint32_t id, const Pairs& pairs) {
    Node section;
    uint32_t previous = 0;
    if (FindSection(id, section, previous) != Lookup::kFound) {
        return false;
    }
    m_freed.clear();
    bool all = true;
    for (const auto& [label, value] : pairs) {
        if (!SetPair(section, label, value, m_freed)) {
            all = false;
            continue;
        }
        // A new pair went in front of the section's first one.
        m_segment.ReadWord(section.m_dwOffset + 4, section.m_dwSecond);
    }
    m_allocator.FreeBlocks(m_freed);
    return all;
}

bool SharedIdList::SetPair(const Node& section, const char* label, const char* value,
                           GenAlloc::BlockList& freed) {
    if (label == nullptr || value == nullptr) {
        return false;
    }
    // The new value's block comes first: when it cannot be had, the old
    // value stays as it was.
    uint32_t valueText = CopyText(value);
    if (valueText == 0) {
        return false;
    }
    Node pair;
    uint32_t previous = 0;
    Lookup found = FindPair(section, label, pair, previous);
    if (found == Lookup::kFound) {
        m_allocator.AddTextBlock(pair.m_dwThird, freed);
        m_segment.WriteWord(pair.m_dwOffset + 8, valueText);
        return true;
    }
    uint32_t node = found == Lookup::kAbsent ? m_allocator.AllocBlock(kNodeSize) : 0;
    uint32_t labelText = node != 0 ? CopyText(label) : 0;
    if (labelText == 0) {
        m_allocator.FreeBlock(node, kNodeSize);
        m_allocator.FreeText(valueText);
        return false;
    }
    m_segment.WriteWord(node, section.m_dwSecond);
    m_segment.WriteWord(node + 4, labelText);
    m_segment.WriteWord(node + 8, valueText);
    m_segment.WriteWord(section.m_dwOffset + 4, node);
    return true;
}

bool SharedIdList::GetValue(uint32_t id, const char* label, std::string& value) {
    Node section, pair;
    uint32_t previous = 0;
    std::string_view text;
    if (label == nullptr || FindSection(id, section, previous) != Lookup::kFound ||
        FindPair(section, label, pair, previous) != Lookup::kFound ||
        !ReadText(pair.m_dwThird, text)) {
        return false;
    }
    value.assign(text);
    return true;
}

bool SharedIdList::RemoveValue(uint32_t id, const char* label) {
    Node section, pair;
    uint32_t previous = 0;
    if (label == nullptr || FindSection(id, section, previous) != Lookup::kFound ||
        FindPair(section, label, pair, previous) != Lookup::kFound) {
        return false;
    }
    m_segment.WriteWord(previous != 0 ? previous : section.m_dwOffset + 4, pair.m_dwNext);
    m_allocator.FreeText(pair.m_dwSecond);
    m_allocator.FreeText(pair.m_dwThird);
    m_allocator.FreeBlock(pair.m_dwOffset, kNodeSize);
    return true;
}

bool SharedIdList::GetSection(uint32_t id, std::vector<std::string>& labels,
                              std::vector<std::string>& values) {
    Node section;
    uint32_t previous = 0;
    if (FindSection(id, section, previous) != Lookup::kFound) {
        labels.clear();
        values.clear();
        return false;
    }
    uint32_t steps = (m_dwAreaEnd - SharedSegment::kAreaStart) / kNodeSize;
    size_t count = 0;
    Node pair;
    for (uint32_t offset = section.m_dwSecond; offset != 0; offset = pair.m_dwNext) {
        std::string_view label, value;
        if (steps-- == 0 || !ReadNode(offset, pair) || !ReadText(pair.m_dwSecond, label) ||
            !ReadText(pair.m_dwThird, value)) {
            labels.clear();
            values.clear();
            return false;
        }
        Put(labels, count, label);
        Put(values, count, value);
        ++count;
    }
    labels.resize(count);
    values.resize(count);
    return true;
}

void SharedIdList::ClearAll() {
    uint32_t head = 0;
    if (!m_segment.AreaEnd(m_dwAreaEnd) ||
        !m_segment.ReadWord(SharedSegment::kSectionHeadOffset, head)) {
        Damaged();
        return;
    }
    Node section;
    bool first = true;
    uint32_t lastId = 0;
    m_freed.clear();
    for (uint32_t offset = head; offset != 0; offset = section.m_dwNext) {
        if (!ReadNode(offset, section) || (!first && section.m_dwThird <= lastId)) {
            Damaged();
            break;
        }
        first = false;
        lastId = section.m_dwThird;
        CollectPairs(section, m_freed);
        m_freed.emplace_back(offset, kNodeSize);
    }
    m_allocator.FreeBlocks(m_freed);
    m_segment.WriteWord(SharedSegment::kSectionHeadOffset, 0);
}

uint32_t SharedIdList::NextId() {
    uint32_t last = 0;
    if (!m_segment.ReadWord(SharedSegment::kLastIdOffset, last)) {
        return 0;
    }
    uint32_t id = (last + 1) & 0x7FFFFFFFu;
    if (id == 0) {
        id = 1;
    }
    m_segment.WriteWord(SharedSegment::kLastIdOffset, id);
    return id;
}
