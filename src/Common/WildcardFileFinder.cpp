#include "Common/WildcardFileFinder.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/LastError.h"
#include "platform/TrustedFolder.h"

namespace {

bool HasWildcard(const std::string& text, size_t& at) {
    at = text.find_first_of("*?");
    return at != std::string::npos;
}

}  // namespace

// One folder being listed, or one name standing alone below the folder of
// an earlier level (or below the working folder, or "/").
struct WildcardWalk::Level {
    plat::TrustedFolder m_Folder;  // the folder listed
    std::string m_strPrefix;       // its path text, "" or ending in "/"
    std::string m_strRest;         // the pattern below this level's component
    std::vector<std::string> m_Names;
    size_t m_uNext = 0;
    uint32_t m_dwDepth = 0;  // folders open down to this one
    bool m_bSingle = false;
    int m_nBase = -1;               // the level a single name lies in
    std::string m_strSingle;        // that name, relative to it
    // The entry last returned is a directory whose contents a recursive
    // walk lists before this level moves on.
    bool m_bDescendPending = false;
    std::string m_strDescendInto;  // relative to the level's own base
    std::string m_strDescendText;  // its path text, ending in "/"
};

WildcardWalk::WildcardWalk(const std::string& pattern, bool recursive, const WildcardLimits& limits,
                           std::vector<std::string>* stopped)
    : m_bRecursive(recursive), m_Limits(limits), m_pStopped(stopped) {
    std::string normal = pattern;
    std::replace(normal.begin(), normal.end(), '\\', '/');
    // Trailing separators do not change what a path names; the root keeps
    // its one.
    const size_t last = normal.find_last_not_of('/');
    normal.erase(last == std::string::npos ? std::min<size_t>(1, normal.size()) : last + 1);
    if (!normal.empty()) {
        Open(-1, std::string(), std::string(), normal);
    }
}

WildcardWalk::~WildcardWalk() = default;

void WildcardWalk::NoteFailure(const std::string& strPath) {
    const uint32_t dwError = plat::GetLastError();
    if (!plat::IsAbsence(dwError)) {
        if (m_qwFailures++ == 0) {
            m_dwFirstFailure = dwError;
            // A folder's text ends in "/": named as the folder itself.
            m_strFirstFailed = strPath.size() > 1 && strPath.back() == '/'
                                   ? strPath.substr(0, strPath.size() - 1)
                                   : strPath;
        }
    }
    if (dwError == plat::kErrStoppedOnSymlink) {
        if (m_pStopped != nullptr) {
            m_pStopped->push_back(strPath);
        }
    } else if (!plat::IsAbsence(dwError)) {
        m_bIncomplete = true;
    }
}

// `strResolved` is text already resolved against the file system (names
// found by listing may themselves hold "*" or "?"), so only `strPattern`
// is searched for wildcards.
void WildcardWalk::Open(int nBase, const std::string& strPrefix, const std::string& strResolved,
                        const std::string& strPattern) {
    size_t wildcard = 0;
    if (!HasWildcard(strPattern, wildcard)) {
        Level level;
        level.m_bSingle = true;
        level.m_nBase = nBase;
        level.m_strPrefix = strPrefix;
        level.m_strSingle = strResolved + strPattern;
        level.m_dwDepth = nBase >= 0 ? m_Levels[static_cast<size_t>(nBase)].m_dwDepth : 0;
        m_Levels.push_back(std::move(level));
        return;
    }
    const size_t slash = strPattern.rfind('/', wildcard);
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    const size_t end = strPattern.find('/', wildcard);
    std::string component =
        strPattern.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string rest;
    if (end != std::string::npos) {
        const size_t restStart = strPattern.find_first_not_of('/', end);
        rest = restStart == std::string::npos ? std::string() : strPattern.substr(restStart);
    }
    const std::string relative = strResolved + strPattern.substr(0, start);
    PushListing(nBase, strPrefix + relative, relative, true, component, rest);
}

// Folders that cannot be listed contribute nothing: the walk goes on with
// the parent's next entry.
void WildcardWalk::PushListing(int nBase, const std::string& strPrefix, const std::string& strRelative,
                               bool bFollowLinks, const std::string& strComponent,
                               const std::string& strRest) {
    const uint32_t dwDepth = (nBase >= 0 ? m_Levels[static_cast<size_t>(nBase)].m_dwDepth : 0) + 1;
    if (dwDepth > m_Limits.m_dwMaxDepth) {
        ++m_qwTooDeep;
        return;
    }
    if (m_qwEntries >= m_Limits.m_qwMaxEntries) {
        m_bEntriesCut = true;
        ++m_qwFoldersUnread;
        return;
    }
    Level level;
    level.m_strPrefix = strPrefix;
    level.m_strRest = strRest;
    level.m_dwDepth = dwDepth;
    const plat::TrustedFolder* pBase = nBase >= 0 ? &m_Levels[static_cast<size_t>(nBase)].m_Folder : nullptr;
    ++m_dwSpent;
    ++m_qwFoldersOpened;
    if (!level.m_Folder.Open(pBase, strRelative, bFollowLinks)) {
        NoteFailure(strPrefix);
        return;
    }
    size_t nRead = 0;
    bool bComplete = true;
    const bool bListed = level.m_Folder.List(
        static_cast<size_t>(std::min<uint64_t>(m_Limits.m_qwMaxEntries - m_qwEntries, SIZE_MAX)),
        // Only the names that match are kept: the others cost no copy.
        [&](std::string_view name, bool) {
            if (WildcardFileFinder::MatchesComponent(strComponent, name)) {
                level.m_Names.emplace_back(name);
            }
        },
        nRead, bComplete);
    m_qwEntries += nRead;
    m_dwSpent += static_cast<uint32_t>(std::min<size_t>(nRead, UINT32_MAX - m_dwSpent));
    if (!bComplete) {
        m_bEntriesCut = true;
        ++m_qwFoldersUnread;
    }
    if (!bListed) {
        NoteFailure(strPrefix);
        return;
    }
    std::sort(level.m_Names.begin(), level.m_Names.end());
    m_Levels.push_back(std::move(level));
}

// False when the entry vanished since it was listed, or lies beyond a
// link that another account could have planted.
bool WildcardWalk::Describe(int nBase, const std::string& strRelative, const std::string& strPath,
                            WildcardFindData& data, bool& bEnterable) {
    ++m_dwSpent;
    plat::FolderEntryStatus entry;
    // Without a level, from the working folder or "/".
    const plat::TrustedFolder none;
    const plat::TrustedFolder& base = nBase >= 0 ? m_Levels[static_cast<size_t>(nBase)].m_Folder : none;
    if (!base.Describe(strRelative, entry)) {
        NoteFailure(strPath);
        return false;
    }
    const plat::FileStatus& status = entry.m_Status;
    data.m_dwFileAttributes =
        status.m_bIsDirectory ? WildcardFindData::kAttributeDirectory : WildcardFindData::kAttributeNormal;
    data.m_uFileSize = status.m_bIsDirectory ? 0 : status.m_qwSize;
    data.m_iLastWriteTime = status.m_llModifiedNs / 1000000000;
    data.m_strFileName = strPath;
    const size_t slash = strPath.rfind('/');
    data.m_strDirectory = slash == std::string::npos ? std::string() : strPath.substr(0, slash + 1);
    data.m_strEntryName = slash == std::string::npos ? strPath : strPath.substr(slash + 1);
    data.m_Status = status;
    data.m_uOwner = entry.m_uOwner;
    data.m_bTrustedOwner = entry.m_bTrustedOwner;
    bEnterable = status.m_bIsDirectory && !entry.m_bIsLink;
    return true;
}

WildcardWalk::Step WildcardWalk::Next(WildcardFindData& data, uint32_t& dwWork) {
    m_dwSpent = 0;
    const auto Spend = [&] {
        dwWork -= std::min(dwWork, m_dwSpent);
        m_dwSpent = 0;
    };
    while (!m_Levels.empty()) {
        Spend();
        if (dwWork == 0) {
            return Step::kPaused;
        }
        const int nTop = static_cast<int>(m_Levels.size()) - 1;
        Level& top = m_Levels.back();
        if (top.m_bDescendPending) {
            top.m_bDescendPending = false;
            // A single name lies in its base level's folder; a listed one in
            // the level's own.
            const int nBase = top.m_bSingle ? top.m_nBase : nTop;
            const std::string strInto = std::move(top.m_strDescendInto);
            const std::string strText = std::move(top.m_strDescendText);
            PushListing(nBase, strText, strInto, top.m_bSingle, "*", std::string());
            continue;
        }
        if (top.m_uNext >= (top.m_bSingle ? 1 : top.m_Names.size())) {
            m_Levels.pop_back();
            continue;
        }
        const std::string& name = top.m_bSingle ? top.m_strSingle : top.m_Names[top.m_uNext];
        ++top.m_uNext;
        if (!top.m_bSingle && !top.m_strRest.empty()) {
            const std::string strPrefix = top.m_strPrefix;
            const std::string strResolved = name + "/";
            const std::string strRest = top.m_strRest;
            Open(nTop, strPrefix, strResolved, strRest);
            continue;
        }
        const std::string strPath = top.m_strPrefix + name;
        bool bEnterable = false;
        const int nBase = top.m_bSingle ? top.m_nBase : nTop;
        if (!Describe(nBase, name, strPath, data, bEnterable)) {
            continue;
        }
        if (m_bRecursive && bEnterable) {
            Level& described = m_Levels.back();
            described.m_bDescendPending = true;
            described.m_strDescendInto = name;
            described.m_strDescendText = strPath + "/";
        }
        Spend();
        return Step::kFound;
    }
    Spend();
    return Step::kEnded;
}

struct WildcardFileFinder::Walk {
    Walk(const std::string& pattern, bool recursive, std::vector<std::string>* stopped)
        : m_Walk(pattern, recursive, WildcardLimits(), stopped) {}
    bool Next(WildcardFindData& data) {
        for (;;) {
            uint32_t dwWork = UINT32_MAX;
            switch (m_Walk.Next(data, dwWork)) {
            case WildcardWalk::Step::kFound:
                return true;
            case WildcardWalk::Step::kEnded:
                return false;
            case WildcardWalk::Step::kPaused:
                break;
            }
        }
    }
    WildcardWalk m_Walk;
};

WildcardFileFinder::Handle WildcardFileFinder::FindFirst(const char* path, bool recursive,
                                                         WildcardFindData* data,
                                                         std::vector<std::string>* stopped) {
    if (path == nullptr || *path == '\0' || data == nullptr) {
        plat::SetLastError(plat::kErrInvalidParameter);
        return InvalidHandle();
    }
    auto* walk = new Walk(path, recursive, stopped);
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

bool WildcardFileFinder::MatchesComponent(const std::string& pattern, std::string_view name) {
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
