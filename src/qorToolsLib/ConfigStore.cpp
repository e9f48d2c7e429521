#include "qorToolsLib/ConfigStore.h"

#include <string_view>

#include "platform/SettingsText.h"
#include "platform/SystemMessage.h"

ConfigStore::ConfigStore() : m_pRoot(new ConfigKey(ConfigNode::kRoot)) {}

ConfigStore::~ConfigStore() { delete m_pRoot; }

ConfigKey* ConfigStore::FindKey(const std::string& path) {
    return dynamic_cast<ConfigKey*>(m_pRoot->FindNode(path));
}

std::string ConfigStore::KeyPathOf(const std::string& path) {
    std::string full;
    full.reserve(path.size() + 2);
    size_t from = path.compare(0, 2, "\\\\") == 0 ? 1 : 0;
    if (path.size() <= from || path[from] != '\\') {
        full += '\\';
    }
    full.append(path, from, std::string::npos);
    if (full.back() != '\\') {
        full += '\\';
    }
    return full;
}

ConfigKey* ConfigStore::CreateKey(const std::string& path) {
    const std::string full = KeyPathOf(path);
    if (ConfigNode* found = m_pRoot->FindNode(full)) {
        return dynamic_cast<ConfigKey*>(found);
    }
    size_t depth = 0;
    for (char c : full) {
        depth += c == '\\' ? 1 : 0;
    }
    if (depth - 1 > kMaxKeyDepth) {
        return nullptr;
    }
    ConfigNode* current = m_pRoot;
    std::string prefix;
    for (size_t previous = 0, pos = full.find('\\', 1); pos != std::string::npos;
         previous = pos, pos = full.find('\\', pos + 1)) {
        prefix.assign(full, 0, pos + 1);
        ConfigNode* next = m_pRoot->FindNode(prefix);
        if (next == nullptr) {
            auto* key = new ConfigKey();
            key->SetName(full.substr(previous + 1, pos - previous - 1));
            current->AddChild(key);
            next = key;
        }
        current = next;
    }
    return dynamic_cast<ConfigKey*>(current);
}

bool ConfigStore::ReadLine(std::istream& in, std::string& line) {
    return plat::ReadSettingsLine(in, line);
}

void ConfigStore::TrimLeft(std::string& text) { plat::TrimSettingsLeft(text); }
void ConfigStore::TrimRight(std::string& text) { plat::TrimSettingsRight(text); }
void ConfigStore::Trim(std::string& text) { plat::TrimSettings(text); }

void ConfigStore::RemoveChar(std::string& text, char c) {
    std::erase(text, c);
}

void ConfigStore::StripCarriageReturns(std::string& text) { plat::StripDiskText(text); }

void ConfigStore::Release() { delete this; }

ConfigKey* ConfigStore::GetRoot() { return m_pRoot; }

void ConfigStore::SetRoot(ConfigKey* root) {
    // A store always has a root; a null one would break every path lookup.
    if (root == nullptr || root == m_pRoot) {
        return;
    }
    delete m_pRoot;
    m_pRoot = root;
}

void ConfigStore::SetFileName(const std::string& fileName) { m_strFileName = fileName; }
const std::string& ConfigStore::GetFileName() const { return m_strFileName; }

bool ConfigStore::Save() {
    if (m_strFileName.empty()) {
        m_nErrorClass = kWriteError;
        m_status = QOR_E_NO_FILE_NAME;
        return false;
    }
    return SaveFile(m_strFileName, std::string(), 1) == 0;
}

bool ConfigStore::Reserved() { return false; }

ConfigNode* ConfigStore::KeyOrRoot(const std::string& path) {
    return path.empty() ? m_pRoot : FindKey(path);
}

void ConfigStore::ClearSection(const std::string& path) {
    ConfigNode* key = KeyOrRoot(path);
    if (key == nullptr) {
        return;
    }
    ConfigNodeList children = key->GetChildren();
    key->ClearChildren();
    for (ConfigNode* child : children) {
        delete child;
    }
}

void ConfigStore::ClearValues(const std::string& path) {
    ConfigNode* key = KeyOrRoot(path);
    if (key == nullptr) {
        return;
    }
    ConfigNodeList values = key->GetValues();
    key->ClearValues();
    for (ConfigNode* value : values) {
        delete value;
    }
}

void ConfigStore::SetHeader(const std::string& header) { m_strHeader = header; }
const std::string& ConfigStore::GetHeader() const { return m_strHeader; }
int ConfigStore::GetErrorClass() const { return m_nErrorClass; }
void ConfigStore::SetErrorClass(int errorClass) { m_nErrorClass = errorClass; }
StatusCode ConfigStore::GetStatus() const { return m_status; }
void ConfigStore::SetStatus(StatusCode status) { m_status = status; }

ConfigValue* ConfigStore::FindTypedValue(const std::string& path, const std::string& name,
                                         int type) {
    ConfigKey* key = FindKey(path);
    if (key == nullptr) {
        return nullptr;
    }
    auto* value = static_cast<ConfigValue*>(key->FindValue(name));
    return value != nullptr && value->GetType() == type ? value : nullptr;
}

bool ConfigStore::GetBool(const std::string& path, const std::string& name, const bool& def) {
    ConfigValue* value = FindTypedValue(path, name, ConfigValue::kBool);
    return value != nullptr ? value->Bool() : def;
}

int ConfigStore::GetInt(const std::string& path, const std::string& name, const int& def) {
    return GetLong(path, name, def);
}

unsigned int ConfigStore::GetUInt(const std::string& path, const std::string& name,
                                  const unsigned int& def) {
    return static_cast<unsigned int>(GetLong(path, name, static_cast<int32_t>(def)));
}

uint32_t ConfigStore::GetULong(const std::string& path, const std::string& name,
                               const uint32_t& def) {
    return static_cast<uint32_t>(GetLong(path, name, static_cast<int32_t>(def)));
}

int32_t ConfigStore::GetLong(const std::string& path, const std::string& name,
                             const int32_t& def) {
    ConfigValue* value = FindTypedValue(path, name, ConfigValue::kLong);
    return value != nullptr ? value->Long() : def;
}

std::string ConfigStore::GetText(const std::string& path, const std::string& name,
                                 const char* def) {
    return GetString(path, name, def != nullptr ? def : "");
}

std::string ConfigStore::GetString(const std::string& path, const std::string& name,
                                   const std::string& def) {
    ConfigValue* value = FindTypedValue(path, name, ConfigValue::kText);
    return value != nullptr ? value->Text() : def;
}

template <typename Assign>
int ConfigStore::SetTyped(const std::string& path, const std::string& name, int type,
                          Assign assign) {
    return SetOnKey(CreateKey(path), name, type, assign);
}

int ConfigStore::SetBool(const std::string& path, const std::string& name, const bool& value) {
    return SetTyped(path, name, ConfigValue::kBool, [&](ConfigValue& v) { v.SetBool(value); });
}

int ConfigStore::AddKey(const std::string& path) { return CreateKey(path) != nullptr ? 1 : 0; }

int ConfigStore::SetInt(const std::string& path, const std::string& name, const int& value) {
    return SetLong(path, name, value);
}

int ConfigStore::SetUInt(const std::string& path, const std::string& name,
                         const unsigned int& value) {
    return SetLong(path, name, static_cast<int32_t>(value));
}

int ConfigStore::SetULong(const std::string& path, const std::string& name,
                          const uint32_t& value) {
    return SetLong(path, name, static_cast<int32_t>(value));
}

int ConfigStore::SetLong(const std::string& path, const std::string& name, const int32_t& value) {
    return SetTyped(path, name, ConfigValue::kLong, [&](ConfigValue& v) { v.SetLong(value); });
}

int ConfigStore::SetText(const std::string& path, const std::string& name, const char* text) {
    return SetString(path, name, text != nullptr ? text : "");
}

int ConfigStore::SetString(const std::string& path, const std::string& name,
                           const std::string& text) {
    return SetTyped(path, name, ConfigValue::kText, [&](ConfigValue& v) { v.SetString(text); });
}

bool ConfigStore::EnsureKey(const std::string& path) { return CreateKey(path) != nullptr; }
bool ConfigStore::KeyExists(const std::string& path) { return FindKey(path) != nullptr; }

bool ConfigStore::HasSubKeys(const std::string& path) {
    ConfigKey* key = FindKey(path);
    return key != nullptr && key->HasChildren();
}

ConfigStringList* ConfigStore::NewSubKeyList(const std::string& path) {
    auto* list = new ConfigStringList();
    GetSubKeyList(path, *list);
    return list;
}

namespace {

template <typename Names>
bool AppendSubKeyNames(const ConfigKey* key, Names& names) {
    if (key == nullptr || !key->HasChildren()) {
        return false;
    }
    for (const ConfigNode* child : key->GetChildren()) {
        names.push_back(child->GetName());
    }
    return true;
}

}  // namespace

bool ConfigStore::GetSubKeyList(const std::string& path, ConfigStringList& names) {
    return AppendSubKeyNames(FindKey(path), names);
}

bool ConfigStore::GetSubKeyNames(const std::string& path, std::vector<std::string>& names) {
    return AppendSubKeyNames(FindKey(path), names);
}

void ConfigStore::DeleteSubKeyList(ConfigStringList* list) { delete list; }

bool ConfigStore::GetValueMap(const std::string& path, ConfigValueMap& values, bool clear) {
    if (clear) {
        values.clear();
    }
    ConfigKey* key = FindKey(path);
    if (key == nullptr || !key->HasValues()) {
        return false;
    }
    for (const ConfigNode* node : key->GetValues()) {
        const auto& value = static_cast<const ConfigValue&>(*node);
        ConfigValueRecord record;
        record.nType = value.GetType();
        switch (record.nType) {
            case ConfigValue::kText:
                record.strText = value.Text();
                break;
            case ConfigValue::kLong:
                record.lNumber = value.Long();
                break;
            case ConfigValue::kBool:
                record.lNumber = value.Bool() ? 1 : 0;
                break;
            default:
                return false;
        }
        values.insert_or_assign(value.GetName(), std::move(record));
    }
    return true;
}

bool ConfigStore::GetWrittenText(const std::string& path, const std::string& name, std::string& written) {
    ConfigKey* key = FindKey(path);
    if (key == nullptr || !key->HasValues()) {
        return false;
    }
    for (const ConfigNode* node : key->GetValues()) {
        const auto& value = static_cast<const ConfigValue&>(*node);
        const std::string_view dropped = value.GetNote();
        const size_t bar = dropped.find('|');
        if (value.GetName() == name && value.GetType() == ConfigValue::kText && bar != std::string_view::npos) {
            written.assign(dropped.substr(0, bar)).append(value.Text()).append(dropped.substr(bar + 1));
            return true;
        }
    }
    return false;
}

bool ConfigStore::GetValueTexts(const std::string& path, std::vector<std::string>& names,
                                std::vector<std::string>& texts) {
    ConfigKey* key = FindKey(path);
    if (key == nullptr || !key->HasValues()) {
        return false;
    }
    for (const ConfigNode* node : key->GetValues()) {
        const auto& value = static_cast<const ConfigValue&>(*node);
        switch (value.GetType()) {
            case ConfigValue::kText:
                texts.push_back(value.Text());
                break;
            case ConfigValue::kLong:
                texts.push_back(std::to_string(value.Long()));
                break;
            case ConfigValue::kBool:
                texts.push_back(value.Bool() ? "1" : "0");
                break;
            default:
                return false;
        }
        names.push_back(value.GetName());
    }
    return true;
}

void ConfigStore::DetachAndDelete(ConfigNode* key) {
    key->GetParent()->RemoveChild(key);
    delete key;
}

bool ConfigStore::DeleteKey(const std::string& path, const std::string& name) {
    if (!name.empty()) {
        return DeleteSubKey(path, name);
    }
    ConfigKey* key = FindKey(path);
    if (key == nullptr || key->GetParent() == nullptr) {
        return false;
    }
    DetachAndDelete(key);
    return true;
}

bool ConfigStore::DeleteSubKey(const std::string& path, const std::string& name) {
    ConfigKey* key = FindKey(path);
    if (key == nullptr) {
        return false;
    }
    for (ConfigNode* child : key->GetChildren()) {
        if (child->GetName() == name) {
            DetachAndDelete(child);
            return true;
        }
    }
    return false;
}

bool ConfigStore::DeleteValue(const std::string& path, const std::string& name) {
    ConfigKey* key = FindKey(path);
    if (key == nullptr) {
        return false;
    }
    ConfigNode* value = key->FindValue(name);
    if (value == nullptr) {
        return false;
    }
    key->RemoveValue(value);
    delete value;
    return true;
}

bool ConfigStore::Exists(const std::string& path, const std::string& name) {
    ConfigKey* key = FindKey(path);
    if (key == nullptr) {
        return false;
    }
    return name.empty() || (key->HasValues() && key->FindValue(name) != nullptr);
}

bool ConfigStore::RenameKey(const std::string& path, const std::string& newName) {
    ConfigKey* key = FindKey(path);
    // The root's name is part of every path of the tree and stays empty.
    if (key == nullptr || key->GetParent() == nullptr ||
        newName.find('\\') != std::string::npos) {
        return false;
    }
    key->SetName(newName);
    return true;
}

bool ConfigStore::MovableKeys(const std::string& sourcePath, const std::string& targetPath,
                              ConfigNode** source, ConfigNode** target) {
    *source = FindKey(sourcePath);
    *target = FindKey(targetPath);
    if (*source == nullptr || *target == nullptr || (*source)->GetParent() == nullptr) {
        return false;
    }
    for (ConfigNode* node = *target; node != nullptr; node = node->GetParent()) {
        if (node == *source) {
            return false;
        }
    }
    return true;
}

bool ConfigStore::MoveKey(const std::string& sourcePath, const std::string& targetPath) {
    ConfigNode* source = nullptr;
    ConfigNode* target = nullptr;
    if (!MovableKeys(sourcePath, targetPath, &source, &target)) {
        return false;
    }
    auto* copy = new ConfigKey();
    copy->SetParent(target);
    copy->CopyFrom(*source, true, std::string());
    target->AddChild(copy);
    DetachAndDelete(source);
    return true;
}

bool ConfigStore::MergeKey(const std::string& sourcePath, const std::string& targetPath,
                           const bool& duplicate) {
    ConfigNode* source = nullptr;
    ConfigNode* target = nullptr;
    if (!MovableKeys(sourcePath, targetPath, &source, &target)) {
        return false;
    }
    target->CopyValues(source->GetValues(), std::string(), duplicate);
    target->CopyChildren(source->GetChildren(), std::string());
    DetachAndDelete(source);
    return true;
}

bool ConfigStore::Sort(const std::string& path, const std::string& name) {
    ConfigKey* key = FindKey(path);
    if (key == nullptr) {
        return false;
    }
    ConfigKey* target = key;
    if (!name.empty()) {
        target = dynamic_cast<ConfigKey*>(key->FindByName(name, nullptr));
    }
    if (target != nullptr) {
        target->Sort();
    }
    return true;
}

int ConfigStore::GetValueType(const std::string& path, const std::string& name) {
    ConfigKey* key = FindKey(path);
    if (key == nullptr) {
        return 0;
    }
    auto* value = static_cast<ConfigValue*>(key->FindValue(name));
    if (value == nullptr) {
        return 0;
    }
    int type = value->GetType();
    return type >= ConfigValue::kText && type <= ConfigValue::kBool ? type : 0;
}

std::string ConfigStore::DumpKey(const std::string& path, bool withValues, bool recursive) {
    std::string text;
    ConfigKey* key = FindKey(path);
    if (key != nullptr) {
        key->Dump(withValues, false, nullptr, &text, recursive);
    }
    return text;
}

std::string ConfigStore::DumpValue(const std::string& path, const std::string& name) {
    ConfigKey* key = FindKey(path);
    if (key == nullptr) {
        return std::string();
    }
    std::string text = key->GetSectionLine();
    auto* value = static_cast<ConfigValue*>(key->FindValue(name));
    if (value != nullptr) {
        value->GetLineText(text, false, true);
    }
    return text;
}

bool ConfigStore::CopyKeyTo(const std::string& path, ConfigStore& target) {
    ConfigKey* key = FindKey(path);
    if (key == nullptr) {
        return false;
    }
    if (key->GetParent() == nullptr) {
        auto* root = new ConfigKey(ConfigNode::kRoot);
        root->CopyFrom(*key, true, std::string());
        target.SetRoot(root);
        return true;
    }
    // The copy is made before anything of the target goes, so a store may
    // copy a key onto itself.
    auto* copy = new ConfigKey();
    copy->CopyFrom(*key, true, std::string());
    std::string fullPath = key->PathFrom(nullptr);
    ConfigKey* parent = target.CreateKey(key->GetParent()->PathFrom(nullptr));
    if (parent == nullptr) {
        delete copy;
        return false;
    }
    if (ConfigKey* existing = target.FindKey(fullPath)) {
        target.DetachAndDelete(existing);
    }
    parent->AddChild(copy);
    return true;
}

std::string ConfigStore::GetSystemErrorText(uint32_t code) {
    std::string text;
    if (plat::LookupSystemMessage(code, nullptr, 0, text) != 0) {
        text.clear();
    }
    return text;
}
