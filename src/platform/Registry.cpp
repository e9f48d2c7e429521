#include "platform/Registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/DurableFile.h"
#include "platform/FileLock.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "platform/Refusal.h"
#include "platform/SettingsText.h"

namespace plat {
namespace {

constexpr std::array<const char*, 5> kRootNames = {"ClassesRoot", "CurrentUser", "LocalMachine",
                                                   "Users", "CurrentConfig"};
constexpr RegistryKey kFirstOpenKey = 0x100;
// Deeper paths are refused; every walk of the tree recurses once per level.
constexpr size_t kMaxDepth = 256;

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x != y && std::tolower(x) != std::tolower(y)) {
            return false;
        }
    }
    return true;
}

// What a settings text line can carry unchanged as a key or value name.
bool StorableName(std::string_view name, bool isKey) {
    if (name.empty() || IsSettingsSpace(name.front()) || IsSettingsSpace(name.back())) {
        return false;
    }
    if (name.find_first_of("=[;\n") != std::string_view::npos) {
        return false;
    }
    return !isKey || name.find('\\') == std::string_view::npos;
}

struct RegValue {
    std::string name;
    uint32_t type = kRegistryString;
    std::string text;
    uint32_t word = 0;
};

struct RegNode {
    std::string name;
    std::vector<RegValue> values;
    std::vector<std::unique_ptr<RegNode>> keys;

    RegNode* FindKey(std::string_view key) const {
        for (const auto& child : keys) {
            if (SameName(child->name, key)) {
                return child.get();
            }
        }
        return nullptr;
    }

    RegNode* AddKey(std::string_view key) {
        RegNode* found = FindKey(key);
        if (found == nullptr) {
            keys.push_back(std::make_unique<RegNode>());
            found = keys.back().get();
            found->name = key;
        }
        return found;
    }

    const RegValue* FindValue(std::string_view value) const {
        for (const auto& v : values) {
            if (SameName(v.name, value)) {
                return &v;
            }
        }
        return nullptr;
    }

    void SetValue(const RegValue& value) {
        for (auto& v : values) {
            if (SameName(v.name, value.name)) {
                v = value;
                return;
            }
        }
        values.push_back(value);
    }
};

using Roots = std::array<RegNode, kRootNames.size()>;

struct Location {
    size_t root = 0;
    std::vector<std::string> path;
};

// One change made by this process and not yet in the file; replayed onto
// the file's newest content when it is written.
struct Change {
    Location where;
    bool isValue = false;
    RegValue value;
};

bool SplitPath(std::string_view text, std::vector<std::string>& path) {
    while (!text.empty()) {
        size_t sep = text.find('\\');
        std::string_view name = text.substr(0, sep);
        if (!name.empty()) {
            if (!StorableName(name, true)) {
                return false;
            }
            path.emplace_back(name);
        }
        if (sep == std::string_view::npos) {
            break;
        }
        text.remove_prefix(sep + 1);
    }
    return path.size() <= kMaxDepth;
}

RegNode* FindNode(Roots& roots, const Location& where) {
    RegNode* node = &roots[where.root];
    for (const auto& name : where.path) {
        node = node->FindKey(name);
        if (node == nullptr) {
            return nullptr;
        }
    }
    return node;
}

RegNode* MakeNode(Roots& roots, const Location& where) {
    RegNode* node = &roots[where.root];
    for (const auto& name : where.path) {
        node = node->AddKey(name);
    }
    return node;
}

class Loader : public SettingsTextHandler {
public:
    explicit Loader(Roots& roots) : m_roots(roots) {}

    bool OnSection(const std::string& line) override {
        m_current = nullptr;
        std::string_view inner(line);
        inner = inner.size() >= 2 ? inner.substr(1, inner.size() - 2) : std::string_view();
        Location where;
        if (!SplitPath(inner, where.path) || where.path.empty()) {
            return true;
        }
        for (size_t r = 0; r < kRootNames.size(); ++r) {
            if (SameName(where.path.front(), kRootNames[r])) {
                where.root = r;
                where.path.erase(where.path.begin());
                m_current = MakeNode(m_roots, where);
                break;
            }
        }
        return true;
    }

    void OnValueLine(const std::string& line) override {
        std::string name;
        char letter = 0;
        RegValue value;
        if (m_current == nullptr || !SplitSettingsValueLine(line, name, letter, value.text) ||
            !StorableName(name, false)) {
            return;
        }
        TrimSettings(value.text);
        value.name = std::move(name);
        if (letter == 'L' && !value.text.empty()) {
            value.type = kRegistryWord;
            value.word = static_cast<uint32_t>(ParseSettingsLong(value.text));
        } else if (letter == 'B') {
            value.type = kRegistryWord;
            value.word = ParseSettingsBool(value.text) ? 1 : 0;
        } else if (letter != 'S') {
            return;
        }
        if (value.type == kRegistryWord) {
            value.text.clear();
        }
        m_current->SetValue(value);
    }

private:
    Roots& m_roots;
    RegNode* m_current = nullptr;
};

void WriteNode(std::string& out, const std::string& path, const RegNode& node) {
    AppendSettingsSection(out, path);
    for (const auto& v : node.values) {
        if (v.type == kRegistryWord) {
            AppendSettingsValue(out, v.name, 'L',
                                std::to_string(static_cast<int32_t>(v.word)));
        } else {
            AppendSettingsValue(out, v.name, 'S', v.text);
        }
    }
    for (const auto& child : node.keys) {
        WriteNode(out, path + child->name + "\\", *child);
    }
}

struct FileStamp {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    int64_t seconds = 0;
    int64_t nanoseconds = 0;

    bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::string& path) {
    FileStamp stamp;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        stamp.exists = true;
        stamp.inode = info.st_ino;
        stamp.size = info.st_size;
        stamp.seconds = info.st_mtim.tv_sec;
        stamp.nanoseconds = info.st_mtim.tv_nsec;
    }
    return stamp;
}

// What the registry does without its file or its lock.
constexpr const char kReadAsEmpty[] = "the registry is read as empty";
constexpr const char kNotWritten[] =
    "the registry is not written now; its changes are kept for the next write";

// Copies a value's data out under the buffer rules of the header; answers
// false when a buffer given is too small.
bool CopyData(const RegValue& v, uint32_t* type, uint8_t* data, uint32_t* dataSize) {
    uint32_t needed = v.type == kRegistryWord ? 4 : static_cast<uint32_t>(v.text.size() + 1);
    if (type != nullptr) {
        *type = v.type;
    }
    if (data != nullptr && (dataSize == nullptr || *dataSize < needed)) {
        if (dataSize != nullptr) {
            *dataSize = needed;
        }
        return false;
    }
    if (data != nullptr) {
        if (v.type == kRegistryWord) {
            std::memcpy(data, &v.word, 4);
        } else {
            std::memcpy(data, v.text.c_str(), needed);
        }
    }
    if (dataSize != nullptr) {
        *dataSize = needed;
    }
    return true;
}

bool CopyName(const std::string& text, char* name, uint32_t* nameSize) {
    if (name == nullptr || *nameSize < text.size() + 1) {
        *nameSize = static_cast<uint32_t>(text.size() + 1);
        return false;
    }
    std::memcpy(name, text.c_str(), text.size() + 1);
    *nameSize = static_cast<uint32_t>(text.size());
    return true;
}

class RegistryFile {
public:
    static RegistryFile& Instance() {
        static RegistryFile registry;
        return registry;
    }

    ~RegistryFile() { FlushLocked(); }

    uint32_t Open(RegistryKey parent, const char* subKey, RegistryKey* key, bool create) {
        std::lock_guard<std::mutex> guard(m_lock);
        Refresh();
        Location where;
        if (key == nullptr || !Resolve(parent, where)) {
            return Answer(key == nullptr ? kErrInvalidParameter : kErrInvalidHandle);
        }
        if (!SplitPath(subKey != nullptr ? subKey : "", where.path) ||
            where.path.size() > kMaxDepth) {
            return Answer(create ? kErrInvalidParameter : kErrFileNotFound);
        }
        if (create) {
            if (FindNode(m_roots, where) == nullptr) {
                MakeNode(m_roots, where);
                m_pending.push_back(Change{where, false, {}});
            }
        } else if (FindNode(m_roots, where) == nullptr) {
            return Answer(kErrFileNotFound);
        }
        while (m_next < kFirstOpenKey || m_open.count(m_next) != 0) {
            ++m_next;
        }
        *key = m_next++;
        m_open.emplace(*key, std::move(where));
        return Answer(kErrSuccess);
    }

    uint32_t Close(RegistryKey key) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (IsRoot(key)) {
            return Answer(kErrSuccess);
        }
        if (m_open.erase(key) == 0) {
            return Answer(kErrInvalidHandle);
        }
        return Answer(m_open.empty() ? FlushLocked() : kErrSuccess);
    }

    uint32_t EnumKey(RegistryKey key, uint32_t index, char* name, uint32_t* nameSize) {
        std::lock_guard<std::mutex> guard(m_lock);
        const RegNode* node = nullptr;
        uint32_t err = LookupEntry(key, index, nameSize, false, &node);
        if (err != kErrSuccess) {
            return Answer(err);
        }
        return Answer(CopyName(node->keys[index]->name, name, nameSize) ? kErrSuccess
                                                                         : kErrMoreData);
    }

    uint32_t EnumValue(RegistryKey key, uint32_t index, char* name, uint32_t* nameSize,
                       uint32_t* type, uint8_t* data, uint32_t* dataSize) {
        std::lock_guard<std::mutex> guard(m_lock);
        const RegNode* node = nullptr;
        uint32_t err = LookupEntry(key, index, nameSize, true, &node);
        if (err != kErrSuccess) {
            return Answer(err);
        }
        const RegValue& v = node->values[index];
        // Both sizes are reported even when only one buffer is short.
        bool nameFits = CopyName(v.name, name, nameSize);
        bool dataFits = CopyData(v, type, data, dataSize);
        if (!nameFits || !dataFits) {
            *nameSize = static_cast<uint32_t>(v.name.size() + 1);
            return Answer(kErrMoreData);
        }
        return Answer(kErrSuccess);
    }

    uint32_t QueryValue(RegistryKey key, const char* name, uint32_t* type, uint8_t* data,
                        uint32_t* dataSize) {
        std::lock_guard<std::mutex> guard(m_lock);
        const RegNode* node = nullptr;
        uint32_t err = Lookup(key, &node);
        if (err != kErrSuccess) {
            return Answer(err);
        }
        const RegValue* v = node->FindValue(name != nullptr ? name : "");
        if (v == nullptr) {
            return Answer(kErrFileNotFound);
        }
        return Answer(CopyData(*v, type, data, dataSize) ? kErrSuccess : kErrMoreData);
    }

    uint32_t SetValue(RegistryKey key, const char* name, uint32_t type, const uint8_t* data,
                      uint32_t size) {
        RegValue value;
        value.name = name != nullptr ? name : "";
        value.type = type;
        if (!StorableName(value.name, false) || (data == nullptr && size != 0)) {
            return Answer(kErrInvalidParameter);
        }
        if (type == kRegistryString) {
            const char* text = reinterpret_cast<const char*>(data);
            value.text.assign(text != nullptr ? text : "", text != nullptr ? strnlen(text, size) : 0);
            TrimSettings(value.text);
        } else if (type == kRegistryWord && size == 4) {
            std::memcpy(&value.word, data, 4);
        } else {
            return Answer(kErrInvalidParameter);
        }
        std::lock_guard<std::mutex> guard(m_lock);
        Refresh();
        Location where;
        if (!Resolve(key, where)) {
            return Answer(kErrInvalidHandle);
        }
        RegNode* node = FindNode(m_roots, where);
        if (node == nullptr) {
            return Answer(kErrFileNotFound);
        }
        node->SetValue(value);
        m_pending.push_back(Change{std::move(where), true, std::move(value)});
        return Answer(kErrSuccess);
    }

    uint32_t Flush() {
        std::lock_guard<std::mutex> guard(m_lock);
        return Answer(FlushLocked());
    }

private:
    RegistryFile() = default;

    static bool IsRoot(RegistryKey key) { return key >= 1 && key <= kRootNames.size(); }

    static uint32_t Answer(uint32_t err) {
        SetLastError(err);
        return err;
    }

    std::string FilePath() const { return m_folder + "/registry.txt"; }

    bool Resolve(RegistryKey key, Location& where) const {
        if (IsRoot(key)) {
            where.root = key - 1;
            where.path.clear();
            return true;
        }
        auto it = m_open.find(key);
        if (it == m_open.end()) {
            return false;
        }
        where = it->second;
        return true;
    }

    uint32_t Lookup(RegistryKey key, const RegNode** node) {
        Refresh();
        Location where;
        if (!Resolve(key, where)) {
            return kErrInvalidHandle;
        }
        *node = FindNode(m_roots, where);
        return *node != nullptr ? kErrSuccess : kErrFileNotFound;
    }

    // The key of an enumeration, when `index` names one of its sub-keys (or
    // values); 259 past the last one.
    uint32_t LookupEntry(RegistryKey key, uint32_t index, const uint32_t* nameSize, bool values,
                         const RegNode** node) {
        uint32_t err = Lookup(key, node);
        if (err != kErrSuccess) {
            return err;
        }
        if (nameSize == nullptr) {
            return kErrInvalidParameter;
        }
        size_t count = values ? (*node)->values.size() : (*node)->keys.size();
        return index < count ? kErrSuccess : kErrNoMoreItems;
    }

    // Brings the cached tree up to date with the file.  While this process
    // has changes of its own pending, the cache is kept; they are merged
    // with the file when it is written.
    void Refresh() {
        std::string folder = PlatformRoot();
        if (folder != m_folder) {
            FlushLocked();
            m_pending.clear();
            m_folder = std::move(folder);
            m_loaded = false;
        }
        if (!m_pending.empty()) {
            return;
        }
        FileStamp stamp = StampOf(FilePath());
        if (m_loaded && stamp == m_stamp) {
            return;
        }
        Roots fresh;
        ReadInto(fresh);
        m_roots = std::move(fresh);
        m_stamp = stamp;
        m_loaded = true;
    }

    void ReadInto(Roots& roots) const {
        std::string text;
        std::string why;
        if (ReadWholeFile(FilePath(), text, nullptr, UINT64_MAX, &why) != kErrSuccess) {
            if (GetLastError() == kErrAccessDenied) {
                WarnOfRefusal(WithInstead(why, kReadAsEmpty), FilePath());
            }
            return;
        }
        StripDiskText(text);
        Loader loader(roots);
        ReadSettingsText(std::move(text), SettingsFirstLine::kHeaderUnlessSection, nullptr, loader);
    }

    uint32_t FlushLocked() {
        if (m_pending.empty() || m_folder.empty()) {
            return kErrSuccess;
        }
        uint32_t err = kErrSuccess;
        const int lockFd = TakeStateLock(m_folder, "registry.lock", kNotWritten, err);
        if (lockFd < 0) {
            return err;
        }
        Roots merged;
        ReadInto(merged);
        for (const auto& change : m_pending) {
            RegNode* node = MakeNode(merged, change.where);
            if (change.isValue) {
                node->SetValue(change.value);
            }
        }
        std::string text;
        for (size_t r = 0; r < merged.size(); ++r) {
            if (!merged[r].values.empty() || !merged[r].keys.empty()) {
                WriteNode(text, std::string("\\") + kRootNames[r] + "\\", merged[r]);
            }
        }
        std::string disk;
        AppendDiskText(disk, text);
        std::string why;
        err = ReplaceFileDurably(FilePath(), FilePath() + ".newupdate", disk, nullptr, &why,
                                 kStateFileMode);
        if (err != kErrSuccess && !why.empty()) {
            WarnOfRefusal(WithInstead(why, kNotWritten), FilePath());
        }
        if (err == kErrSuccess) {
            m_roots = std::move(merged);
            m_pending.clear();
            m_stamp = StampOf(FilePath());
            m_loaded = true;
        }
        ::close(lockFd);
        return err;
    }

    std::mutex m_lock;
    std::string m_folder;
    bool m_loaded = false;
    FileStamp m_stamp;
    Roots m_roots;
    std::vector<Change> m_pending;
    std::map<RegistryKey, Location> m_open;
    RegistryKey m_next = kFirstOpenKey;
};

}  // namespace

std::string PlatformRoot() {
    const char* root = std::getenv("QOR_PLATFORM_ROOT");
    return root != nullptr && root[0] != '\0' ? root : "/var/lib/hostwarden/platform";
}

uint32_t RegistryOpenKey(RegistryKey parent, const char* subKey, RegistryKey* key) {
    return RegistryFile::Instance().Open(parent, subKey, key, false);
}

uint32_t RegistryCreateKey(RegistryKey parent, const char* subKey, RegistryKey* key) {
    return RegistryFile::Instance().Open(parent, subKey, key, true);
}

uint32_t RegistryCloseKey(RegistryKey key) { return RegistryFile::Instance().Close(key); }

uint32_t RegistryEnumKey(RegistryKey key, uint32_t index, char* name, uint32_t* nameSize) {
    return RegistryFile::Instance().EnumKey(key, index, name, nameSize);
}

uint32_t RegistryEnumValue(RegistryKey key, uint32_t index, char* name, uint32_t* nameSize,
                           uint32_t* type, uint8_t* data, uint32_t* dataSize) {
    return RegistryFile::Instance().EnumValue(key, index, name, nameSize, type, data, dataSize);
}

uint32_t RegistryQueryValue(RegistryKey key, const char* name, uint32_t* type, uint8_t* data,
                            uint32_t* dataSize) {
    return RegistryFile::Instance().QueryValue(key, name, type, data, dataSize);
}

uint32_t RegistrySetValue(RegistryKey key, const char* name, uint32_t type, const uint8_t* data,
                          uint32_t size) {
    return RegistryFile::Instance().SetValue(key, name, type, data, size);
}

uint32_t RegistryFlush() { return RegistryFile::Instance().Flush(); }

}  // namespace plat
