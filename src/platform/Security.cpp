#include "platform/Security.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>

#include "platform/DurableFile.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "platform/Refusal.h"
#include "platform/SettingsText.h"

namespace plat {
namespace {

constexpr const char* kHeader = "---Host Warden object security---";
constexpr const char* kObjectsSection = "[\\Objects\\";
// A state file with more records than this is damaged; reading stops there.
constexpr size_t kMaxObjects = 100000;

thread_local bool t_privilegeEnabled = false;

uint32_t SetResult(uint32_t error) {
    SetLastError(error);
    return error;
}

struct ObjectRecord {
    std::string kind;
    std::string name;
    SecurityDescriptor sd;
};

std::string StatePath(const char* name) {
    return PlatformRoot() + "/" + name;
}

std::string EntriesToText(const std::vector<AccessEntry>& entries) {
    std::string text;
    for (const AccessEntry& entry : entries) {
        char head[40];
        std::snprintf(head, sizeof head, "%u:0x%02X:0x%08X:", entry.type, entry.flags, entry.mask);
        if (!text.empty()) {
            text += ',';
        }
        text += head;
        text += SidToText(entry.sid);
    }
    return text;
}

bool ParseNumber(std::string_view text, uint32_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    auto parsed = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return !text.empty() && parsed.ec == std::errc() && parsed.ptr == text.data() + text.size();
}

// Entries that do not parse are dropped; the state file is the layer's own,
// but a damaged one must not stop the others from being read.
std::vector<AccessEntry> EntriesFromText(std::string_view text) {
    std::vector<AccessEntry> entries;
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        uint32_t fields[3] = {};
        bool good = true;
        for (uint32_t& field : fields) {
            size_t colon = item.find(':');
            good = good && colon != std::string_view::npos &&
                   ParseNumber(item.substr(0, colon), field);
            item = colon == std::string_view::npos ? std::string_view() : item.substr(colon + 1);
        }
        AccessEntry entry;
        if (good && fields[0] <= UINT8_MAX && fields[1] <= UINT8_MAX &&
            SidFromText(item, entry.sid)) {
            entry.type = static_cast<uint8_t>(fields[0]);
            entry.flags = static_cast<uint8_t>(fields[1]);
            entry.mask = fields[2];
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

class StateReader : public SettingsTextHandler {
public:
    explicit StateReader(std::vector<ObjectRecord>& records) : m_records(records) {}

    bool OnSection(const std::string& line) override {
        if (line.rfind(kObjectsSection, 0) != 0 || m_records.size() >= kMaxObjects) {
            m_current = nullptr;
            return m_records.size() < kMaxObjects;
        }
        m_records.emplace_back();
        m_current = &m_records.back();
        return true;
    }

    void OnValueLine(const std::string& line) override {
        std::string name;
        std::string text;
        char letter = 0;
        if (m_current == nullptr || !SplitSettingsValueLine(line, name, letter, text)) {
            return;
        }
        if (name == "Kind") {
            m_current->kind = text;
        } else if (name == "Name") {
            m_current->name = text;
        } else if (name == "Owner") {
            SidFromText(text, m_current->sd.owner);
        } else if (name == "Dacl") {
            m_current->sd.dacl = EntriesFromText(text);
        } else if (name == "Sacl") {
            m_current->sd.sacl = EntriesFromText(text);
        }
    }

private:
    std::vector<ObjectRecord>& m_records;
    ObjectRecord* m_current = nullptr;
};

// The state file is a log: every write appends the object's whole new
// record, and the last record of an object is the one that counts.  Each
// process keeps what it has read and reads only what others appended since,
// so placing audits on a large tree costs one short append per object.  The
// log is rewritten without the superseded records once they outnumber the
// live ones.  The lock is a file of its own because the rewrite replaces
// the state file.
struct StateCache {
    std::mutex lock;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t parsed = 0;
    size_t records = 0;
    std::map<std::string, ObjectRecord> objects;

    void Forget() {
        device = 0;
        inode = 0;
        parsed = 0;
        records = 0;
        objects.clear();
    }
};

StateCache& Cache() {
    static StateCache cache;
    return cache;
}

std::string ObjectKey(const std::string& kind, const std::string& name) {
    return kind + "\n" + name;
}

std::string RecordText(const ObjectRecord& record, size_t number) {
    std::string text;
    AppendSettingsSection(text, std::string(kObjectsSection + 1) + std::to_string(number) + "\\");
    AppendSettingsValue(text, "Kind", 'S', record.kind);
    AppendSettingsValue(text, "Name", 'S', record.name);
    AppendSettingsValue(text, "Owner", 'S', SidToText(record.sd.owner));
    AppendSettingsValue(text, "Dacl", 'S', EntriesToText(record.sd.dacl));
    AppendSettingsValue(text, "Sacl", 'S', EntriesToText(record.sd.sacl));
    std::string disk;
    AppendDiskText(disk, text);
    return disk;
}

// What is done without the state file or its lock.
constexpr const char kNotDone[] = "the object's security is neither read nor changed now";

class LockedState {
public:
    LockedState() : m_cache(Cache()), m_guard(m_cache.lock) {
        m_lock = TakeStateLock(PlatformRoot(), "security.lock", kNotDone, m_status);
        if (m_lock >= 0) {
            m_status = Sync();
        }
    }

    ~LockedState() {
        if (m_lock >= 0) {
            ::close(m_lock);
        }
    }

    LockedState(const LockedState&) = delete;
    LockedState& operator=(const LockedState&) = delete;

    uint32_t Status() const { return m_status; }

    const ObjectRecord* Find(const std::string& kind, const std::string& name) const {
        auto found = m_cache.objects.find(ObjectKey(kind, name));
        return found != m_cache.objects.end() ? &found->second : nullptr;
    }

    uint32_t Store(const ObjectRecord& record) {
        std::string text;
        if (m_cache.inode == 0) {
            text = kHeader;
            text += "\r\n";
        }
        text += RecordText(record, m_cache.records + 1);
        std::string why;
        int file = OpenStateFile(m_cache.path, O_WRONLY | O_CREAT | O_APPEND, kStateFileMode, &why);
        if (file < 0) {
            return WarnAndFail(WithInstead(why, kNotDone), m_cache.path);
        }
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(file, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                uint32_t error = MapErrno(errno);
                ::close(file);
                m_cache.Forget();  // read it all again rather than trust a torn end
                return error;
            }
            done += static_cast<size_t>(n);
        }
        struct stat st {};
        ::fstat(file, &st);
        ::close(file);
        m_cache.device = st.st_dev;
        m_cache.inode = st.st_ino;
        m_cache.parsed = st.st_size;
        ++m_cache.records;
        m_cache.objects[ObjectKey(record.kind, record.name)] = record;
        return m_cache.records > 2 * m_cache.objects.size() + 64 ? Compact() : 0;
    }

private:
    // Brings the cache up to the file: everything again when the file was
    // replaced or shrank, else only the records appended since.
    uint32_t Sync() {
        std::string path = StatePath("security.txt");
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            m_cache.Forget();
            m_cache.path = path;
            return errno == ENOENT ? 0 : MapErrno(errno);
        }
        if (path != m_cache.path || st.st_dev != m_cache.device || st.st_ino != m_cache.inode ||
            st.st_size < m_cache.parsed) {
            m_cache.Forget();
            m_cache.path = path;
        }
        if (st.st_size == m_cache.parsed) {
            return 0;
        }
        std::string why;
        int file = OpenFileToRead(path, Owners::kOwn, &why);
        if (file < 0) {
            return GetLastError() == kErrAccessDenied ? WarnAndFail(WithInstead(why, kNotDone), path)
                                                      : GetLastError();
        }
        std::string text(static_cast<size_t>(st.st_size - m_cache.parsed), '\0');
        ssize_t n = ::pread(file, text.data(), text.size(), m_cache.parsed);
        ::close(file);
        if (n < 0) {
            return MapErrno(errno);
        }
        text.resize(static_cast<size_t>(n));
        m_cache.device = st.st_dev;
        m_cache.inode = st.st_ino;
        m_cache.parsed += n;
        StripDiskText(text);
        std::vector<ObjectRecord> records;
        StateReader reader(records);
        ReadSettingsText(std::move(text), SettingsFirstLine::kHeaderUnlessSection, nullptr, reader);
        for (ObjectRecord& record : records) {
            ++m_cache.records;
            if (!record.kind.empty() && !record.name.empty()) {
                std::string key = ObjectKey(record.kind, record.name);
                m_cache.objects[key] = std::move(record);
            }
        }
        return 0;
    }

    uint32_t Compact() {
        std::string text = kHeader;
        text += "\r\n";
        size_t number = 0;
        for (const auto& item : m_cache.objects) {
            text += RecordText(item.second, ++number);
        }
        FileStep step = FileStep::kNone;
        uint32_t result = ReplaceFileDurably(m_cache.path, m_cache.path + ".newupdate", text, &step,
                                             nullptr, kStateFileMode);
        m_cache.Forget();
        return result != 0 ? result : Sync();
    }

    StateCache& m_cache;
    std::lock_guard<std::mutex> m_guard;
    int m_lock = -1;
    uint32_t m_status = 0;
};

uint32_t FileIdentity(const std::string& path, std::string& name, Sid& owner) {
    struct stat st {};
    if (path.empty()) {
        return kErrFileNotFound;
    }
    if (::stat(path.c_str(), &st) != 0) {
        return MapErrno(errno);
    }
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return MapErrno(errno);
    }
    name = resolved;
    std::free(resolved);
    const uint8_t unix[6] = {0, 0, 0, 0, 0, 22};
    const uint32_t subs[2] = {1, st.st_uid};
    AllocateAndInitializeSid(unix, 2, subs, owner);
    return 0;
}

uint32_t KeyIdentity(RegistryKey root, const std::string& subKey, std::string& name, Sid& owner) {
    RegistryKey key = 0;
    uint32_t result = RegistryOpenKey(root, subKey.c_str(), &key);
    if (result != 0) {
        return result;
    }
    RegistryCloseKey(key);
    name = std::to_string(root);
    std::string_view rest = subKey;
    while (!rest.empty()) {
        size_t sep = rest.find('\\');
        std::string_view part = rest.substr(0, sep);
        if (!part.empty()) {
            name += '\\';
            for (char c : part) {
                name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        rest = sep == std::string_view::npos ? std::string_view() : rest.substr(sep + 1);
    }
    const uint8_t nt[6] = {0, 0, 0, 0, 0, 5};
    const uint32_t system = 18;
    AllocateAndInitializeSid(nt, 1, &system, owner);
    return 0;
}

uint32_t ReadObject(const char* kind, const std::string& name, const Sid& defaultOwner,
                    uint32_t parts, SecurityDescriptor& out) {
    if ((parts & kSecuritySacl) != 0 && !t_privilegeEnabled) {
        return SetResult(kErrPrivilegeNotHeld);
    }
    LockedState state;
    if (state.Status() != 0) {
        return SetResult(state.Status());
    }
    out = SecurityDescriptor{};
    const ObjectRecord* record = state.Find(kind, name);
    out.owner = record != nullptr && !record->sd.owner.empty() ? record->sd.owner : defaultOwner;
    if (record != nullptr && (parts & kSecurityDacl) != 0) {
        out.dacl = record->sd.dacl;
    }
    if (record != nullptr && (parts & kSecuritySacl) != 0) {
        out.sacl = record->sd.sacl;
    }
    return SetResult(kErrSuccess);
}

uint32_t WriteObject(const char* kind, const std::string& name, const Sid& defaultOwner,
                     uint32_t parts, const SecurityDescriptor& sd) {
    if ((parts & kSecuritySacl) != 0 && !t_privilegeEnabled) {
        return SetResult(kErrPrivilegeNotHeld);
    }
    LockedState state;
    if (state.Status() != 0) {
        return SetResult(state.Status());
    }
    const ObjectRecord* old = state.Find(kind, name);
    ObjectRecord record =
        old != nullptr ? *old : ObjectRecord{kind, name, SecurityDescriptor{defaultOwner, {}, {}}};
    if ((parts & kSecurityOwner) != 0) {
        record.sd.owner = sd.owner;
    }
    if ((parts & kSecurityDacl) != 0) {
        record.sd.dacl = sd.dacl;
    }
    if ((parts & kSecuritySacl) != 0) {
        record.sd.sacl = sd.sacl;
    }
    return SetResult(state.Store(record));
}

}  // namespace

uint32_t EnableSecurityPrivilege() {
    struct stat st {};
    if (::stat(StatePath("security-privilege-denied").c_str(), &st) == 0) {
        t_privilegeEnabled = false;
        return SetResult(kErrPrivilegeNotHeld);
    }
    t_privilegeEnabled = true;
    return SetResult(kErrSuccess);
}

void DisableSecurityPrivilege() {
    t_privilegeEnabled = false;
}

uint32_t GetFileSecurity(const std::string& path, uint32_t parts, SecurityDescriptor& out) {
    std::string name;
    Sid owner;
    if (uint32_t result = FileIdentity(path, name, owner); result != 0) {
        return SetResult(result);
    }
    return ReadObject("File", name, owner, parts, out);
}

uint32_t SetFileSecurity(const std::string& path, uint32_t parts, const SecurityDescriptor& sd) {
    std::string name;
    Sid owner;
    if (uint32_t result = FileIdentity(path, name, owner); result != 0) {
        return SetResult(result);
    }
    return WriteObject("File", name, owner, parts, sd);
}

uint32_t GetKeySecurity(RegistryKey root, const std::string& subKey, uint32_t parts,
                        SecurityDescriptor& out) {
    std::string name;
    Sid owner;
    if (uint32_t result = KeyIdentity(root, subKey, name, owner); result != 0) {
        return SetResult(result);
    }
    return ReadObject("Key", name, owner, parts, out);
}

uint32_t SetKeySecurity(RegistryKey root, const std::string& subKey, uint32_t parts,
                        const SecurityDescriptor& sd) {
    std::string name;
    Sid owner;
    if (uint32_t result = KeyIdentity(root, subKey, name, owner); result != 0) {
        return SetResult(result);
    }
    return WriteObject("Key", name, owner, parts, sd);
}

}  // namespace plat
