#include "Common/WildcardFileFinder.h"

#include <algorithm>
#include <vector>

#include "platform/Files.h"
#include "platform/LastError.h"

namespace {

// One directory being listed, or one literal path standing alone.
struct Level {
    std::string m_strPrefix;  // resolved directory text, "" or ending in "/"
    std::string m_strRest;    // the pattern below this level's component
    std::vector<std::string> m_names;
    size_t m_uNext = 0;
    bool m_bSingle = false;  // a path without wildcards: one entry
    // Set when the entry last returned is a directory whose contents a
    // recursive walk lists before this level moves on.
    bool m_bDescendPending = false;
    std::string m_strDescendInto;
};

bool HasWildcard(const std::string& text, size_t& at) {
    at = text.find_first_of("*?");
    return at != std::string::npos;
}

std::string WithTrailingSlash(const std::string& dir) {
    return !dir.empty() && dir.back() == '/' ? dir : dir + "/";
}

}  // namespace

struct WildcardFileFinder::Walk {
    bool m_bRecursive = false;
    std::vector<Level> m_levels;  // the deepest last
    std::vector<std::string>* m_pStopped = nullptr;  // not owned

    // Notes `path` when the call that just failed on it stopped at
    // another account's link.
    void NoteStop(const std::string& path) {
        if (m_pStopped != nullptr && plat::GetLastError() == plat::kErrStoppedOnSymlink) {
            m_pStopped->push_back(path);
        }
    }

    void PushListing(const std::string& prefix, const std::string& component, const std::string& rest);
    void Open(const std::string& base, const std::string& pattern);
    bool Next(WildcardFindData& data);
};

// Entries that cannot be listed contribute nothing: the walk goes on with
// the parent's next entry.
void WildcardFileFinder::Walk::PushListing(const std::string& prefix, const std::string& component,
                                           const std::string& rest) {
    std::vector<plat::DirectoryEntry> entries;
    if (!plat::ListDirectory(prefix.empty() ? "." : prefix.c_str(), entries,
                             plat::Links::kTrustedOnly)) {
        NoteStop(prefix);
        return;
    }
    Level level;
    level.m_strPrefix = prefix;
    level.m_strRest = rest;
    for (plat::DirectoryEntry& entry : entries) {
        if (MatchesComponent(component, entry.m_sName)) {
            level.m_names.push_back(std::move(entry.m_sName));
        }
    }
    std::sort(level.m_names.begin(), level.m_names.end());
    m_levels.push_back(std::move(level));
}

// `base` is text already resolved against the file system (names found by
// listing may themselves hold "*" or "?"), so only `pattern` is searched
// for wildcards.
void WildcardFileFinder::Walk::Open(const std::string& base, const std::string& pattern) {
    size_t wildcard = 0;
    if (!HasWildcard(pattern, wildcard)) {
        Level level;
        level.m_bSingle = true;
        level.m_names.push_back(base + pattern);
        m_levels.push_back(std::move(level));
        return;
    }
    const size_t slash = pattern.rfind('/', wildcard);
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    const size_t end = pattern.find('/', wildcard);
    std::string component = pattern.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string rest;
    if (end != std::string::npos) {
        rest = pattern.substr(pattern.find_first_not_of('/', end));
    }
    PushListing(base + pattern.substr(0, start), component, rest);
}

namespace {

// False when the entry vanished since it was listed, or lies beyond a
// link that another account could have planted.
bool Describe(const std::string& path, WildcardFindData& data, bool& enterable) {
    plat::PathInfo info;
    if (!plat::GetPathInfo(path.c_str(), info, plat::Links::kTrustedOnly)) {
        return false;
    }
    data.m_dwFileAttributes =
        info.m_bIsDirectory ? WildcardFindData::kAttributeDirectory : WildcardFindData::kAttributeNormal;
    data.m_uFileSize = info.m_bIsDirectory ? 0 : info.m_uSize;
    data.m_iLastWriteTime = info.m_iLastWriteTime;
    data.m_strFileName = path;
    const size_t slash = path.rfind('/');
    data.m_strDirectory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    data.m_strEntryName = slash == std::string::npos ? path : path.substr(slash + 1);
    enterable = info.m_bIsDirectory && !info.m_bIsLink;
    return true;
}

}  // namespace

bool WildcardFileFinder::Walk::Next(WildcardFindData& data) {
    while (!m_levels.empty()) {
        Level& top = m_levels.back();
        if (top.m_bDescendPending) {
            top.m_bDescendPending = false;
            PushListing(WithTrailingSlash(top.m_strDescendInto), "*", std::string());
            continue;
        }
        if (top.m_uNext >= top.m_names.size()) {
            m_levels.pop_back();
            continue;
        }
        const std::string& name = top.m_names[top.m_uNext++];
        std::string candidate = top.m_bSingle ? name : top.m_strPrefix + name;
        if (!top.m_strRest.empty()) {
            std::string rest = top.m_strRest;
            Open(candidate + "/", rest);
            continue;
        }
        bool enterable = false;
        if (!Describe(candidate, data, enterable)) {
            NoteStop(candidate);
            continue;
        }
        if (m_bRecursive && enterable) {
            top.m_bDescendPending = true;
            top.m_strDescendInto = std::move(candidate);
        }
        return true;
    }
    return false;
}

WildcardFileFinder::Handle WildcardFileFinder::FindFirst(const char* path, bool recursive,
                                                         WildcardFindData* data,
                                                         std::vector<std::string>* stopped) {
    if (path == nullptr || *path == '\0' || data == nullptr) {
        plat::SetLastError(plat::kErrInvalidParameter);
        return InvalidHandle();
    }
    std::string pattern = path;
    std::replace(pattern.begin(), pattern.end(), '\\', '/');
    // Trailing separators do not change what a path names; the root keeps
    // its one.
    const size_t last = pattern.find_last_not_of('/');
    pattern.erase(last == std::string::npos ? 1 : last + 1);

    auto* walk = new Walk;
    walk->m_bRecursive = recursive;
    walk->m_pStopped = stopped;
    walk->Open(std::string(), pattern);
    if (!walk->Next(*data)) {
        delete walk;
        plat::SetLastError(plat::kErrFileNotFound);
        return InvalidHandle();
    }
    return walk;
}

int WildcardFileFinder::FindNext(Handle walk, WildcardFindData* data) {
    if (walk == nullptr || walk == InvalidHandle() || data == nullptr) {
        return 0;
    }
    return walk->Next(*data) ? 1 : 0;
}

int WildcardFileFinder::Close(Handle walk) {
    if (walk == nullptr || walk == InvalidHandle()) {
        return 0;
    }
    delete walk;
    return 1;
}

bool WildcardFileFinder::StripRecursiveMarker(std::string& path) {
    if (path.size() < 4 || path.compare(path.size() - 3, 3, "...") != 0) {
        return false;
    }
    const char separator = path[path.size() - 4];
    if (separator != '/' && separator != '\\') {
        return false;
    }
    path.erase(path.size() - 4);
    if (path.empty()) {
        path.push_back(separator);
    }
    return true;
}

bool WildcardFileFinder::MatchesComponent(const std::string& pattern, const std::string& name) {
    if (pattern == "*.*") {
        return true;
    }
    size_t p = 0;
    size_t n = 0;
    size_t starAt = std::string::npos;
    size_t resumeAt = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starAt = p++;
            resumeAt = n;
        } else if (starAt != std::string::npos) {
            p = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}
