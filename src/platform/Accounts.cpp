#include "platform/Accounts.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/DurableFile.h"
#include "platform/HostName.h"
#include "platform/LastError.h"
#include "platform/Registry.h"

namespace plat {
namespace {

constexpr uint64_t kUnixAuthority = 22;
constexpr uint32_t kUnixUsers = 1;
constexpr uint32_t kUnixGroups = 2;

struct Account {
    Sid sid;
    std::string domain;
    std::string name;
    uint32_t use = kSidUseUser;
};

uint32_t Fail(uint32_t error) {
    SetLastError(error);
    return error;
}

uint64_t AuthorityOf(const uint8_t* sid) {
    uint64_t value = 0;
    for (size_t i = 2; i < 8; ++i) {
        value = (value << 8) | sid[i];
    }
    return value;
}

uint32_t SubAuthority(const uint8_t* sid, size_t index) {
    const uint8_t* p = sid + kSidHeaderSize + 4 * index;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

Sid MakeSid(uint64_t authority, std::initializer_list<uint32_t> subs) {
    Sid sid(kSidHeaderSize + 4 * subs.size());
    sid[0] = kSidRevision;
    sid[1] = static_cast<uint8_t>(subs.size());
    for (size_t i = 0; i < 6; ++i) {
        sid[7 - i] = static_cast<uint8_t>(authority >> (8 * i));
    }
    size_t at = kSidHeaderSize;
    for (uint32_t sub : subs) {
        for (size_t i = 0; i < 4; ++i) {
            sid[at++] = static_cast<uint8_t>(sub >> (8 * i));
        }
    }
    return sid;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

const std::vector<Account>& WellKnownAccounts() {
    static const std::vector<Account> accounts = {
        {MakeSid(1, {0}), "", "Everyone", kSidUseWellKnownGroup},
        {MakeSid(5, {18}), "NT AUTHORITY", "SYSTEM", kSidUseWellKnownGroup},
        {MakeSid(5, {19}), "NT AUTHORITY", "LOCAL SERVICE", kSidUseWellKnownGroup},
        {MakeSid(5, {20}), "NT AUTHORITY", "NETWORK SERVICE", kSidUseWellKnownGroup},
        {MakeSid(5, {7}), "NT AUTHORITY", "ANONYMOUS LOGON", kSidUseWellKnownGroup},
        {MakeSid(5, {32, 544}), "BUILTIN", "Administrators", kSidUseAlias},
        {MakeSid(5, {32, 545}), "BUILTIN", "Users", kSidUseAlias},
    };
    return accounts;
}

std::string MachineDomain() {
    std::string name;
    if (!GetHostName(name)) {
        name = "LOCALHOST";
    }
    name = name.substr(0, name.find('.'));
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

// The accounts file, read again whenever its size or time changes.
class AccountFile {
public:
    // Shared, so a lookup copies no account list.
    using List = std::shared_ptr<const std::vector<Account>>;

    List Snapshot() {
        std::string path = PlatformRoot() + "/accounts.txt";
        struct stat st {};
        std::lock_guard<std::mutex> guard(m_lock);
        if (::stat(path.c_str(), &st) != 0) {
            m_path.clear();
            return Empty();
        }
        if (path != m_path || st.st_mtim.tv_sec != m_time.tv_sec ||
            st.st_mtim.tv_nsec != m_time.tv_nsec || st.st_size != m_size) {
            m_path = path;
            m_time = st.st_mtim;
            m_size = st.st_size;
            auto accounts = std::make_shared<std::vector<Account>>();
            Load(path, *accounts);
            m_accounts = std::move(accounts);
        }
        return m_accounts;
    }

private:
    static List Empty() {
        static const List empty = std::make_shared<const std::vector<Account>>();
        return empty;
    }

    static void Load(const std::string& path, std::vector<Account>& accounts) {
        std::string text;
        FileStep step = FileStep::kNone;
        if (ReadWholeFile(path, text, &step) != 0) {
            return;
        }
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            ParseLine(std::string_view(text).substr(start, end - start), accounts);
            start = end + 1;
        }
    }

    static void ParseLine(std::string_view line, std::vector<Account>& accounts) {
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            return;
        }
        size_t tab = line.find('\t');
        if (tab == std::string_view::npos) {
            return;
        }
        Account account;
        if (!SidFromText(line.substr(0, tab), account.sid)) {
            return;
        }
        std::string_view rest = line.substr(tab + 1);
        size_t useTab = rest.find('\t');
        std::string_view full = rest.substr(0, useTab);
        if (useTab != std::string_view::npos) {
            std::string_view use = rest.substr(useTab + 1);
            std::from_chars(use.data(), use.data() + use.size(), account.use);
        }
        size_t slash = full.find('\\');
        if (slash != std::string_view::npos) {
            account.domain = full.substr(0, slash);
            full.remove_prefix(slash + 1);
        }
        account.name = full;
        if (!account.name.empty()) {
            accounts.push_back(std::move(account));
        }
    }

    std::mutex m_lock;
    std::string m_path;
    timespec m_time{};
    off_t m_size = -1;
    List m_accounts = Empty();
};

AccountFile& Accounts() {
    static AccountFile file;
    return file;
}

std::optional<Account> UnixAccountOfSid(const uint8_t* sid) {
    if (AuthorityOf(sid) != kUnixAuthority || sid[1] != 2) {
        return std::nullopt;
    }
    uint32_t kind = SubAuthority(sid, 0);
    uint32_t id = SubAuthority(sid, 1);
    char buffer[4096];
    if (kind == kUnixUsers) {
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(id, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
            return Account{Sid(sid, sid + 16), MachineDomain(), found->pw_name, kSidUseUser};
        }
    } else if (kind == kUnixGroups) {
        group entry{};
        group* found = nullptr;
        if (getgrgid_r(id, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
            return Account{Sid(sid, sid + 16), MachineDomain(), found->gr_name, kSidUseGroup};
        }
    }
    return std::nullopt;
}

std::optional<Account> UnixAccountOfName(const std::string& domain, const std::string& name) {
    std::string machine = MachineDomain();
    if (!domain.empty() && !SameText(domain, machine)) {
        return std::nullopt;
    }
    char buffer[4096];
    passwd user{};
    passwd* foundUser = nullptr;
    if (getpwnam_r(name.c_str(), &user, buffer, sizeof buffer, &foundUser) == 0 &&
        foundUser != nullptr) {
        return Account{MakeSid(kUnixAuthority, {kUnixUsers, foundUser->pw_uid}), machine,
                       foundUser->pw_name, kSidUseUser};
    }
    group grp{};
    group* foundGroup = nullptr;
    if (getgrnam_r(name.c_str(), &grp, buffer, sizeof buffer, &foundGroup) == 0 &&
        foundGroup != nullptr) {
        return Account{MakeSid(kUnixAuthority, {kUnixGroups, foundGroup->gr_gid}), machine,
                       foundGroup->gr_name, kSidUseGroup};
    }
    return std::nullopt;
}

std::optional<Account> FindBySid(const uint8_t* sid, size_t length) {
    AccountFile::List fromFile = Accounts().Snapshot();
    for (const Account& account : *fromFile) {
        if (EqualSid(account.sid.data(), account.sid.size(), sid, length)) {
            return account;
        }
    }
    for (const Account& account : WellKnownAccounts()) {
        if (EqualSid(account.sid.data(), account.sid.size(), sid, length)) {
            return account;
        }
    }
    return UnixAccountOfSid(sid);
}

std::optional<Account> FindByName(std::string_view full) {
    std::string domain;
    bool withDomain = false;
    size_t slash = full.find('\\');
    if (slash != std::string_view::npos) {
        domain = full.substr(0, slash);
        full.remove_prefix(slash + 1);
        withDomain = true;
    }
    auto matches = [&](const Account& account) {
        return SameText(account.name, full) && (!withDomain || SameText(account.domain, domain));
    };
    AccountFile::List fromFile = Accounts().Snapshot();
    for (const Account& account : *fromFile) {
        if (matches(account)) {
            return account;
        }
    }
    for (const Account& account : WellKnownAccounts()) {
        if (matches(account)) {
            return account;
        }
    }
    return UnixAccountOfName(domain, std::string(full));
}

// Copies a text out under the lookup buffer rules; false when it does not fit.
bool FitsText(const std::string& text, uint32_t size) {
    return text.size() < size;
}

}  // namespace

uint32_t AllocateAndInitializeSid(const uint8_t authority[6], uint8_t count,
                                  const uint32_t* subAuthorities, Sid& sid) {
    if (authority == nullptr || count < 1 || count > 8 || subAuthorities == nullptr) {
        return Fail(kErrInvalidParameter);
    }
    uint64_t value = 0;
    for (size_t i = 0; i < 6; ++i) {
        value = (value << 8) | authority[i];
    }
    sid = MakeSid(value, {});
    sid[1] = count;
    for (uint8_t i = 0; i < count; ++i) {
        for (size_t b = 0; b < 4; ++b) {
            sid.push_back(static_cast<uint8_t>(subAuthorities[i] >> (8 * b)));
        }
    }
    return 0;
}

size_t SidLength(const uint8_t* sid, size_t size) {
    if (sid == nullptr || size < kSidHeaderSize || sid[0] != kSidRevision ||
        sid[1] > kSidMaxSubAuthorities) {
        return 0;
    }
    size_t length = kSidHeaderSize + 4 * static_cast<size_t>(sid[1]);
    return length <= size ? length : 0;
}

bool EqualSid(const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize) {
    size_t aLength = SidLength(a, aSize);
    return aLength != 0 && aLength == SidLength(b, bSize) && std::memcmp(a, b, aLength) == 0;
}

std::string SidToText(const uint8_t* sid, size_t size) {
    size_t length = SidLength(sid, size);
    if (length == 0) {
        return {};
    }
    std::string text = "S-1-";
    uint64_t authority = AuthorityOf(sid);
    if (authority >> 32 != 0) {
        char hex[20];
        std::snprintf(hex, sizeof hex, "0x%012llX", static_cast<unsigned long long>(authority));
        text += hex;
    } else {
        text += std::to_string(authority);
    }
    for (size_t i = 0; i < sid[1]; ++i) {
        text += '-';
        text += std::to_string(SubAuthority(sid, i));
    }
    return text;
}

bool SidFromText(std::string_view text, Sid& sid) {
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text.substr(1, 3) != "-1-") {
        return false;
    }
    text.remove_prefix(4);
    auto next = [&text](std::string_view& piece) {
        size_t dash = text.find('-');
        piece = text.substr(0, dash);
        text = dash == std::string_view::npos ? std::string_view() : text.substr(dash + 1);
        return dash != std::string_view::npos;
    };
    std::string_view piece;
    bool more = next(piece);
    uint64_t authority = 0;
    int base = 10;
    if (piece.size() > 2 && piece[0] == '0' && (piece[1] == 'x' || piece[1] == 'X')) {
        piece.remove_prefix(2);
        base = 16;
    }
    auto parsed = std::from_chars(piece.data(), piece.data() + piece.size(), authority, base);
    if (piece.empty() || parsed.ec != std::errc() || parsed.ptr != piece.data() + piece.size() ||
        authority >> 48 != 0 || !more) {
        return false;
    }
    sid = MakeSid(authority, {});
    uint8_t count = 0;
    do {
        more = next(piece);
        uint32_t sub = 0;
        parsed = std::from_chars(piece.data(), piece.data() + piece.size(), sub);
        if (piece.empty() || parsed.ec != std::errc() ||
            parsed.ptr != piece.data() + piece.size() || count == kSidMaxSubAuthorities) {
            return false;
        }
        for (size_t b = 0; b < 4; ++b) {
            sid.push_back(static_cast<uint8_t>(sub >> (8 * b)));
        }
        ++count;
    } while (more);
    sid[1] = count;
    return true;
}

uint32_t LookupAccountSid(const uint8_t* sid, size_t sidSize, char* name, uint32_t* nameSize,
                          char* domain, uint32_t* domainSize, uint32_t* use) {
    if (nameSize == nullptr || domainSize == nullptr) {
        return Fail(kErrInvalidParameter);
    }
    size_t length = SidLength(sid, sidSize);
    if (length == 0) {
        return Fail(kErrInvalidSid);
    }
    std::optional<Account> account = FindBySid(sid, length);
    if (!account) {
        return Fail(kErrNoneMapped);
    }
    if (name == nullptr || domain == nullptr || !FitsText(account->name, *nameSize) ||
        !FitsText(account->domain, *domainSize)) {
        *nameSize = static_cast<uint32_t>(account->name.size() + 1);
        *domainSize = static_cast<uint32_t>(account->domain.size() + 1);
        return Fail(kErrInsufficientBuffer);
    }
    std::memcpy(name, account->name.c_str(), account->name.size() + 1);
    std::memcpy(domain, account->domain.c_str(), account->domain.size() + 1);
    *nameSize = static_cast<uint32_t>(account->name.size());
    *domainSize = static_cast<uint32_t>(account->domain.size());
    if (use != nullptr) {
        *use = account->use;
    }
    return Fail(kErrSuccess);
}

uint32_t LookupAccountName(const char* accountName, uint8_t* sid, uint32_t* sidSize, char* domain,
                           uint32_t* domainSize, uint32_t* use) {
    if (accountName == nullptr || sidSize == nullptr || domainSize == nullptr) {
        return Fail(kErrInvalidParameter);
    }
    std::optional<Account> account = FindByName(accountName);
    if (!account) {
        return Fail(kErrNoneMapped);
    }
    if (sid == nullptr || domain == nullptr || account->sid.size() > *sidSize ||
        !FitsText(account->domain, *domainSize)) {
        *sidSize = static_cast<uint32_t>(account->sid.size());
        *domainSize = static_cast<uint32_t>(account->domain.size() + 1);
        return Fail(kErrInsufficientBuffer);
    }
    std::memcpy(sid, account->sid.data(), account->sid.size());
    std::memcpy(domain, account->domain.c_str(), account->domain.size() + 1);
    *sidSize = static_cast<uint32_t>(account->sid.size());
    *domainSize = static_cast<uint32_t>(account->domain.size());
    if (use != nullptr) {
        *use = account->use;
    }
    return Fail(kErrSuccess);
}

}  // namespace plat
