#include "qorToolsLib/ConfigNode.h"

#include <fcntl.h>

#include <algorithm>
#include <ostream>
#include <vector>

#include "platform/Files.h"
#include "platform/OwnFiles.h"
#include "platform/SettingsText.h"

namespace {

// The length of the part of `pattern` before its wildcard: the first "*",
// or without one the first "?"; npos when it has neither.
size_t WildcardPosition(const std::string& pattern) {
    size_t star = pattern.find('*');
    return star != std::string::npos ? star : pattern.find('?');
}

bool LessIgnoringCase(const ConfigNode* a, const ConfigNode* b) {
    const std::string& x = a->GetName();
    const std::string& y = b->GetName();
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), [](char l, char r) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        return static_cast<unsigned char>(lower(l)) < static_cast<unsigned char>(lower(r));
    });
}

bool TakeFirst(ConfigNodeList& list, ConfigNode* node) {
    auto it = std::find(list.begin(), list.end(), node);
    if (it == list.end()) {
        return false;
    }
    list.erase(it);
    return true;
}

bool TakeAll(ConfigNodeList& list, ConfigNode* node) {
    auto end = std::remove(list.begin(), list.end(), node);
    bool found = end != list.end();
    list.erase(end, list.end());
    return found;
}

std::string Indentation(int depth) {
    return std::string(2 * static_cast<size_t>(std::min(depth, ConfigNode::kMaxDumpIndentLevels)),
                       ' ');
}

bool WriteDiskFile(const std::string& fileName, const std::string& text) {
    std::string disk;
    plat::AppendDiskText(disk, text);
    const int file = plat::OpenOwnFile(fileName, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0) {
        return false;
    }
    size_t done = 0;
    const bool bWritten = plat::WriteToFile(file, disk.data(), disk.size(), done);
    return plat::CloseFile(file) && bWritten;
}

}  // namespace

ConfigNode::ConfigNode(int kind, bool ignoreCase) : m_bIgnoreCase(ignoreCase) {
    if (kind == kRoot) {
        CreateIndex(this);
    }
}

ConfigNode::~ConfigNode() {
    // When the tree's root goes, the whole tree goes with it: emptying the
    // index first spares every key below a search for its own entry.
    if (m_pIndex && m_pParent == nullptr && m_strIndexKey == "\\") {
        auto it = m_pIndex->find(m_strIndexKey);
        if (it != m_pIndex->end() && it->second == this) {
            m_pIndex->clear();
        }
    }
    for (ConfigNode* value : m_values) {
        delete value;
    }
    for (ConfigNode* key : m_subKeys) {
        delete key;
    }
    ConfigNode::RemoveFromIndex(this);
}

const std::string& ConfigNode::GetName() const { return m_strName; }

void ConfigNode::SetName(const std::string& name) {
    m_strName = name;
    m_strLabel = name;
    Reindex(true);
}

const std::string& ConfigNode::GetLabel() const { return m_strLabel; }
void ConfigNode::SetLabel(const std::string& label) { m_strLabel = label; }
const std::string& ConfigNode::GetPathText() const { return m_strPathText; }
void ConfigNode::SetPathText(const std::string& text) { m_strPathText = text; }

void ConfigNode::UpdatePathText(bool recursive) {
    m_strPathText = GetFullPath();
    if (recursive) {
        for (ConfigNode* key : m_subKeys) {
            key->UpdatePathText(true);
        }
    }
}

void ConfigNode::Reindex(bool recursive) {
    if (!m_strIndexKey.empty()) {
        RemoveFromIndex(this);
    }
    m_strIndexKey = GetFullPath();
    AddToIndex(this);
    if (recursive) {
        for (ConfigNode* key : m_subKeys) {
            key->Reindex(true);
        }
    }
}

uint32_t ConfigNode::GetUserWord1() const { return m_dwUser1; }
void ConfigNode::SetUserWord1(uint32_t word) { m_dwUser1 = word; }
uint32_t ConfigNode::GetUserWord2() const { return m_dwUser2; }
void ConfigNode::SetUserWord2(uint32_t word) { m_dwUser2 = word; }
void ConfigNode::SetValueFlag(uint32_t flag) { m_dwValueFlag = flag; }
uint32_t ConfigNode::GetValueFlag() const { return m_dwValueFlag; }
void ConfigNode::SetNote(const std::string& note) { m_strNote = note; }
const char* ConfigNode::GetNote() const { return m_strNote.c_str(); }
ConfigNode* ConfigNode::GetParent() const { return m_pParent; }
void ConfigNode::SetParent(ConfigNode* parent) { m_pParent = parent; }

int ConfigNode::GetDepth() const { return m_pParent == nullptr ? 0 : m_pParent->GetDepth() + 1; }

int ConfigNode::GetChildLevel() const { return m_nChildLevel; }
void ConfigNode::SetChildLevel(int level) { m_nChildLevel = level; }
void ConfigNode::SetBase(ConfigNode* base) { m_pBase = base; }
ConfigNode* ConfigNode::GetBase() const { return m_pBase; }
void ConfigNode::ClearBase() { m_pBase = nullptr; }

void ConfigNode::InsertChild(ConfigNode* node, size_t position) {
    node->m_pParent = this;
    m_bLeaf = false;
    position = std::min(position, m_subKeys.size());
    m_subKeys.insert(m_subKeys.begin() + static_cast<std::ptrdiff_t>(position), node);
    AttachToIndex(node);
}

void ConfigNode::AddChild(ConfigNode* node, bool atFront) {
    node->m_pParent = this;
    m_bLeaf = false;
    node->m_bLeaf = node->m_values.empty() && node->m_subKeys.empty();
    node->m_nChildLevel = node->GetDepth();
    if (atFront) {
        m_subKeys.insert(m_subKeys.begin(), node);
    } else {
        m_subKeys.push_back(node);
    }
    AttachToIndex(node);
}

void ConfigNode::AttachToIndex(ConfigNode* node) {
    if (!m_pIndex) {
        CreateIndex(this);
    }
    // A node that arrives already indexed at its new path (a fresh copy)
    // has its keys indexed too; any other arrival brings keys indexed under
    // old paths or in another tree's index, so its whole subtree is redone.
    if (node->m_pIndex == m_pIndex && node->m_strIndexKey == node->GetFullPath()) {
        auto it = m_pIndex->find(node->m_strIndexKey);
        if (it != m_pIndex->end() && it->second == node) {
            return;
        }
    }
    if (node->m_pIndex) {
        node->RemoveFromIndex(node);
    }
    node->SetIndex(m_pIndex);
    for (ConfigNode* key : node->m_subKeys) {
        IndexSubtree(key);
    }
}

bool ConfigNode::RemoveChild(ConfigNode* node) { return DetachChild(node, false); }

bool ConfigNode::EraseChild(ConfigNode* node) { return DetachChild(node, true); }

bool ConfigNode::DetachChild(ConfigNode* node, bool everyEntry) {
    if (!(everyEntry ? TakeAll(m_subKeys, node) : TakeFirst(m_subKeys, node))) {
        return false;
    }
    // Detached keys leave the index with everything below them, so a path
    // lookup never answers a key that is no longer in the tree.
    UnindexSubtree(node);
    node->m_pParent = nullptr;
    // A sibling of the same name has the same paths and was kept out of the
    // index while this key held them (a key moved onto its own parent, a
    // rename onto a taken name); it takes them over now, or it could never
    // be found again.
    if (m_pIndex) {
        for (ConfigNode* sibling : m_subKeys) {
            if (sibling->GetName() == node->GetName()) {
                IndexSubtree(sibling);
            }
        }
    }
    return true;
}

void ConfigNode::CopyContents(const ConfigNode* node) {
    CopyValues(node->m_values, std::string(), true);
    CopyChildren(node->m_subKeys, std::string());
}

bool ConfigNode::HasChildren() const { return !m_subKeys.empty(); }
void ConfigNode::ClearChildren() { m_subKeys.clear(); }

void ConfigNode::InsertParentLevel(ConfigNode* node) {
    ConfigNodeList moving;
    moving.swap(m_subKeys);
    AddChild(node);
    for (ConfigNode* key : moving) {
        node->AddChild(key);
    }
}

void ConfigNode::SetChildren(const ConfigNodeList& list) { m_subKeys = list; }

void ConfigNode::CopyChildren(const ConfigNodeList& list, const std::string& excludeName) {
    for (const ConfigNode* source : list) {
        if (source->GetName() == excludeName) {
            continue;
        }
        auto* key = new ConfigKey(kOrdinary, source->m_bIgnoreCase);
        // The parent comes first, so every key below is indexed once, at
        // its final path.
        key->m_pParent = this;
        key->CopyFrom(*source, true, std::string());
        AddChild(key);
    }
}

const ConfigNodeList& ConfigNode::GetChildren() const { return m_subKeys; }

ConfigNode* ConfigNode::FindByName(const std::string& name, size_t* position) {
    if (GetName() == name) {
        if (position != nullptr) {
            *position = m_subKeys.size();
        }
        return this;
    }
    for (size_t i = 0; i < m_subKeys.size(); ++i) {
        ConfigNode* found = m_subKeys[i]->FindByName(name, nullptr);
        if (found != nullptr) {
            if (position != nullptr) {
                *position = i;
            }
            return found;
        }
    }
    return nullptr;
}

ConfigNode* ConfigNode::FindRelative(const std::string& path) {
    return FindNode(GetFullPath() + path + "\\");
}

ConfigNode* ConfigNode::FindNode(const std::string& path) {
    if (!m_pIndex) {
        CreateIndex(this);
        return nullptr;
    }
    std::string key;
    key.reserve(path.size() + 2);
    if (path.empty() || path.front() != '\\') {
        key += '\\';
    }
    key += path;
    if (key.back() != '\\') {
        key += '\\';
    }
    auto it = m_pIndex->find(key);
    return it == m_pIndex->end() ? nullptr : it->second;
}

ConfigNode* ConfigNode::FindMatchingChild(const std::string& text, size_t* position) {
    for (size_t i = 0; i < m_subKeys.size(); ++i) {
        ConfigNode* key = m_subKeys[i];
        const std::string& pattern = key->m_strPathText;
        size_t k = WildcardPosition(pattern);
        bool match = k == std::string::npos
                         ? pattern == text
                         : k + 1 <= text.size() && pattern.compare(0, k, text, 0, k) == 0;
        ConfigNode* found = match ? key : nullptr;
        if (found == nullptr && key->HasChildren()) {
            found = key->FindMatchingChild(text, nullptr);
        }
        if (found != nullptr) {
            if (position != nullptr) {
                *position = i;
            }
            return found;
        }
    }
    return nullptr;
}

void ConfigNode::AddValue(ConfigNode* value, bool atFront) {
    value->m_pParent = this;
    m_bLeaf = false;
    value->m_nChildLevel = value->GetDepth();
    if (atFront) {
        m_values.insert(m_values.begin(), value);
    } else {
        m_values.push_back(value);
    }
}

void ConfigNode::RemoveValue(ConfigNode* value) {
    if (TakeFirst(m_values, value)) {
        value->m_pParent = nullptr;
    }
}

bool ConfigNode::EraseValue(ConfigNode* value) {
    if (!TakeAll(m_values, value)) {
        return false;
    }
    value->m_pParent = nullptr;
    return true;
}

ConfigNode* ConfigNode::FindValue(const std::string& pattern, size_t* position, bool byText,
                                  bool recursive, char delimiter, const std::string& nameFilter) {
    size_t nameWildcard = byText ? std::string::npos : WildcardPosition(pattern);
    for (size_t i = 0; i < m_values.size(); ++i) {
        if (!m_values[i]->IsValue()) {
            continue;
        }
        auto* value = static_cast<ConfigValue*>(m_values[i]);
        bool match;
        if (!byText) {
            const std::string& name = value->GetName();
            match = nameWildcard == std::string::npos
                        ? name == pattern
                        : nameWildcard <= name.size() &&
                              name.compare(0, nameWildcard, pattern, 0, nameWildcard) == 0;
        } else {
            if (value->GetType() != ConfigValue::kText ||
                (!nameFilter.empty() && value->GetName() != nameFilter)) {
                continue;
            }
            std::string stored = value->Text();
            if (delimiter != 0) {
                stored = stored.substr(0, stored.find(delimiter));
            }
            size_t k = WildcardPosition(stored);
            match = k == std::string::npos
                        ? stored == pattern
                        : k <= pattern.size() && stored.compare(0, k, pattern, 0, k) == 0;
        }
        if (match) {
            if (position != nullptr) {
                *position = i;
            }
            return value;
        }
    }
    if (recursive) {
        for (ConfigNode* key : m_subKeys) {
            ConfigNode* found =
                key->FindValue(pattern, position, byText, true, delimiter, nameFilter);
            if (found != nullptr) {
                return found;
            }
        }
    }
    return nullptr;
}

void ConfigNode::SetValues(const ConfigNodeList& list) { m_values = list; }

void ConfigNode::CopyValues(const ConfigNodeList& list, const std::string& excludeName,
                            const bool& duplicate) {
    for (const ConfigNode* node : list) {
        if (!node->IsValue() || node->GetName() == excludeName) {
            continue;
        }
        const auto& source = static_cast<const ConfigValue&>(*node);
        if (!duplicate) {
            auto* existing = static_cast<ConfigValue*>(FindValue(source.GetName()));
            if (existing != nullptr) {
                existing->AssignDatumFrom(source);
                continue;
            }
        }
        auto* copy = new ConfigValue();
        copy->m_pParent = this;
        copy->CopyValueFrom(source);
        AddValue(copy);
    }
}

const ConfigNodeList& ConfigNode::GetValues() const { return m_values; }
bool ConfigNode::HasValues() const { return !m_values.empty(); }
void ConfigNode::ClearValues() { m_values.clear(); }
bool ConfigNode::IsValue() const { return false; }

std::string ConfigNode::GetFullPath() const { return PathFrom(m_pBase); }

std::string ConfigNode::PathFrom(const ConfigNode* base) const {
    if (base == this) {
        return "\\";
    }
    std::vector<const ConfigNode*> chain;
    size_t length = 0;
    for (const ConfigNode* node = this; node != nullptr && node != base; node = node->m_pParent) {
        chain.push_back(node);
        length += node->m_strName.size() + 1;
    }
    std::string path;
    path.reserve(length);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += (*it)->m_strName;
        path += '\\';
    }
    return path;
}

std::string ConfigNode::GetNameWithSeparator() const { return GetName() + "\\"; }
const std::string& ConfigNode::GetIndexKey() const { return m_strIndexKey; }
void ConfigNode::SetIndexKey(const std::string& key) { m_strIndexKey = key; }
ConfigPathIndex* ConfigNode::GetIndex() const { return m_pIndex.get(); }

void ConfigNode::SetIndex(std::shared_ptr<ConfigPathIndex> index) {
    m_pIndex = std::move(index);
    if (m_pIndex) {
        m_strIndexKey = GetFullPath();
        AddToIndex(this);
    }
}

void ConfigNode::Dump(bool withValues, bool indent, std::ostream* out, std::string* text,
                      bool recursive) {
    std::string line;
    if (indent) {
        line = Indentation(GetDepth());
    }
    line += '[';
    line += GetFullPath();
    line += "];\n";
    Emit(line, out, text);
    if (withValues) {
        DumpValues(indent, out, text);
    }
    if (recursive) {
        for (ConfigNode* key : m_subKeys) {
            key->Dump(withValues, indent, out, text, true);
        }
    }
}

bool ConfigNode::DumpToFile(const std::string& fileName, bool withValues, bool indent,
                            const std::string& title, bool recursive) {
    std::string text;
    DumpToText(text, withValues, indent, title, recursive);
    return WriteDiskFile(fileName, text);
}

void ConfigNode::DumpToText(std::string& out, bool withValues, bool indent,
                            const std::string& title, bool recursive) {
    if (!title.empty()) {
        out += title;
        out += '\n';
    }
    Dump(withValues, indent, nullptr, &out, recursive);
}

void ConfigNode::DumpValues(bool indent, std::ostream* out, std::string* text) {
    std::string line;
    for (ConfigNode* node : m_values) {
        if (!node->IsValue()) {
            continue;
        }
        line.clear();
        if (indent) {
            line = Indentation(node->GetDepth());
        }
        static_cast<ConfigValue*>(node)->GetLineText(line, indent, true);
        Emit(line, out, text);
    }
}

bool ConfigNode::DumpIndex(const std::string& fileName) {
    std::string text;
    if (m_pIndex) {
        for (const auto& entry : *m_pIndex) {
            text += entry.first;
            text += '\n';
        }
    }
    return WriteDiskFile(fileName, text);
}

void ConfigNode::CreateIndex(ConfigNode* node) {
    node->SetIndex(std::make_shared<ConfigPathIndex>());
}

void ConfigNode::AddToIndex(ConfigNode* node) {
    if (node->m_pIndex) {
        node->m_pIndex->emplace(node->m_strIndexKey, node);
    }
}

void ConfigNode::RemoveFromIndex(ConfigNode* node) {
    // Only the entry that names this node goes: two keys can end up under
    // one path (a move onto a key of the same name), and the survivor's
    // entry must not be dropped with the other.
    if (node->m_pIndex) {
        auto it = node->m_pIndex->find(node->m_strIndexKey);
        if (it != node->m_pIndex->end() && it->second == node) {
            node->m_pIndex->erase(it);
        }
    }
}

void ConfigNode::CopyFrom(const ConfigNode& source, bool deep, const std::string& excludeName) {
    m_strName = source.m_strName;
    m_strLabel = source.m_strLabel;
    m_strPathText = source.m_strPathText;
    m_bLeaf = source.m_bLeaf;
    m_dwValueFlag = source.m_dwValueFlag;
    m_strNote = source.m_strNote;
    m_dwUser1 = source.m_dwUser1;
    m_dwUser2 = source.m_dwUser2;
    m_nChildLevel = source.m_nChildLevel;
    m_pBase = source.m_pBase;
    m_bIgnoreCase = source.m_bIgnoreCase;
    if (source.m_pParent == nullptr) {
        CreateIndex(this);
    } else if (m_pParent != nullptr) {
        SetIndex(m_pParent->m_pIndex);
    }
    CopyValues(source.m_values, std::string(), true);
    if (deep) {
        CopyChildren(source.m_subKeys, excludeName);
    }
}

void ConfigNode::SortTree() {
    std::stable_sort(m_values.begin(), m_values.end(), LessIgnoringCase);
    std::stable_sort(m_subKeys.begin(), m_subKeys.end(), LessIgnoringCase);
    for (ConfigNode* key : m_subKeys) {
        key->SortTree();
    }
}

void ConfigNode::IndexSubtree(ConfigNode* node) {
    node->RemoveFromIndex(node);
    node->m_pIndex = m_pIndex;
    node->m_strIndexKey = node->GetFullPath();
    node->AddToIndex(node);
    for (ConfigNode* key : node->m_subKeys) {
        IndexSubtree(key);
    }
}

void ConfigNode::UnindexSubtree(ConfigNode* node) {
    node->RemoveFromIndex(node);
    for (ConfigNode* key : node->m_subKeys) {
        UnindexSubtree(key);
    }
}

void ConfigNode::Emit(const std::string& line, std::ostream* out, std::string* text) const {
    if (text != nullptr) {
        *text += line;
    } else if (out != nullptr) {
        *out << line;
    }
}

// ---------------------------------------------------------------- ConfigKey

ConfigKey::ConfigKey(int kind, bool ignoreCase) : ConfigNode(kind, ignoreCase) {}
ConfigKey::~ConfigKey() = default;

const std::string& ConfigKey::GetName() const { return m_strName; }
void ConfigKey::SetName(const std::string& name) { ConfigNode::SetName(name); }
void ConfigKey::Sort() { SortTree(); }

std::string ConfigKey::GetSectionLine() const {
    std::string line;
    plat::AppendSettingsSection(line, GetFullPath());
    return line;
}

// -------------------------------------------------------------- ConfigValue

ConfigValue::ConfigValue() {
    m_dwValueFlag = 1;
    m_bLeaf = true;
}

ConfigValue::~ConfigValue() = default;

bool ConfigValue::HasChildren() const { return false; }
bool ConfigValue::HasValues() const { return false; }
bool ConfigValue::IsValue() const { return true; }

void ConfigValue::SetName(const std::string& name) {
    m_strName = name;
    m_strLabel = name;
}

const std::string& ConfigValue::GetName() const { return m_strName; }
int ConfigValue::GetType() const { return m_nType; }
void ConfigValue::SetType(int type) { m_nType = type; }

void ConfigValue::SetPointer(void* pointer) {
    m_pValue = pointer;
    m_nType = kPointer;
}

void ConfigValue::SetBool(const bool& value) {
    m_bValue = value;
    m_nType = kBool;
}

void ConfigValue::SetString(const std::string& text) {
    m_strText = text;
    m_nType = kText;
}

void ConfigValue::SetText(const char* text) { SetString(text != nullptr ? text : ""); }

void ConfigValue::SetLong(const int32_t& value) {
    m_lValue = value;
    m_nType = kLong;
}

void ConfigValue::GetPointer(void*& pointer) const { pointer = m_pValue; }
void ConfigValue::GetBool(bool& value) const { value = m_bValue; }
void ConfigValue::GetString(std::string& text) const { text = m_strText; }
void ConfigValue::GetLong(int32_t& value) const { value = m_lValue; }

void ConfigValue::GetLineText(std::string& out, bool leadingTab, bool lineFeed) const {
    switch (m_nType) {
        case kText:
            plat::AppendSettingsValue(out, m_strName, 'S', m_strText, leadingTab, lineFeed);
            return;
        case kLong:
            plat::AppendSettingsValue(out, m_strName, 'L', std::to_string(m_lValue), leadingTab,
                                      lineFeed);
            return;
        case kBool:
            plat::AppendSettingsValue(out, m_strName, 'B', m_bValue ? "1" : "0", leadingTab,
                                      lineFeed);
            return;
        default:
            if (leadingTab) {
                out += '\t';
            }
            out += m_strName;
            out += "\t;";
            if (lineFeed) {
                out += '\n';
            }
            return;
    }
}

void ConfigValue::AssignDatumFrom(const ConfigValue& source) {
    // A value of another type has no datum of this one (its field is empty
    // or 0); taking it would wipe this value, so such a value is left alone
    // just as a setter refuses to change a value's type.
    if (source.m_nType != m_nType) {
        return;
    }
    switch (m_nType) {
        case kText:
            m_strText = source.m_strText;
            break;
        case kLong:
            m_lValue = source.m_lValue;
            break;
        case kBool:
            m_bValue = source.m_bValue;
            break;
        default:
            break;
    }
}

void ConfigValue::CopyValueFrom(const ConfigValue& source) {
    m_strName = source.m_strName;
    m_strLabel = source.m_strLabel;
    m_strText = source.m_strText;
    m_lValue = source.m_lValue;
    m_bValue = source.m_bValue;
    m_pValue = source.m_pValue;
    m_nType = source.m_nType;
}
