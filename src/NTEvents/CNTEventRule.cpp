#include "NTEvents/CNTEventRule.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <new>
#include <unordered_map>

#include "Common/WildcardFileFinder.h"
#include "NTEvents/Audit/FileAudit.h"
#include "NTEvents/Audit/RegKeyAudit.h"
#include "qorCSFLib/CSFLog.h"

namespace {

// The separator a path is written with: "/" once it holds one, else "\".
char SeparatorOf(const std::string& strPath) {
    return strPath.find('/') != std::string::npos ? '/' : '\\';
}

// A path with the recursive marker: at least one character before it.
bool IsRecursiveEntry(const std::string& strPath) {
    return strPath.size() > 4 && strPath.size() < CNTEventRule::kMaxPath &&
           (strPath.compare(strPath.size() - 4, 4, "\\...") == 0 ||
            strPath.compare(strPath.size() - 4, 4, "/...") == 0);
}

bool PathExists(const std::string& strPath) {
    struct stat st;
    return ::stat(strPath.c_str(), &st) == 0;
}

// Every existing path the wildcard pattern names, to `note`; directories
// of a recursive pattern with the recursive marker.  Whoever can write the
// folders decides how many names they hold: the walk reads at most
// kMaxAuditWalkNames of them.  False when it read no more for that, or
// left a folder unread for another reason than its absence, so that what
// it did not name is unknown rather than gone.
template <typename Note>
bool ExpandWildcard(const std::string& strPattern, bool bRecursive, Note&& note) {
    WildcardLimits limits;
    limits.m_qwMaxEntries = CNTEventRule::kMaxAuditWalkNames;
    WildcardWalk walk(strPattern, false, limits);
    WildcardFindData data;
    uint32_t dwWork = UINT32_MAX;
    while (walk.Next(data, dwWork) == WildcardWalk::Step::kFound) {
        if (data.m_strEntryName == "." || data.m_strEntryName == "..") {
            continue;
        }
        std::string strPath = data.m_strDirectory + data.m_strEntryName;
        if (bRecursive && data.IsDirectory()) {
            strPath += "/...";
        }
        note(strPath);
    }
    return !walk.EntriesCut() && !walk.Incomplete();
}

// Paths compare without regard to case, as the audit list keeps them.
std::string CaseKey(const std::string& strPath) {
    std::string strKey(strPath);
    for (char& c : strKey) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return strKey;
}

}  // namespace

NewRegularExpression::NewRegularExpression(const char* pszPattern, bool bIgnoreCase, bool bExcept,
                                           uint32_t dwIndex)
    : RegularExpression(pszPattern, bIgnoreCase, bExcept), m_dwIndex(dwIndex) {}

NewRegularExpression::NewRegularExpression(const NewRegularExpression& other) = default;

NewRegularExpression::~NewRegularExpression() = default;

NewRegularExpression& NewRegularExpression::operator=(const NewRegularExpression& other) {
    if (this != &other) {
        RegularExpression::operator=(other);
        m_dwIndex = other.m_dwIndex;
    }
    return *this;
}

CNTEventRule::CNTEventRule() {
    CSF_TRACE(kCSFLogTrace, "CNTEventRule constructing 0x%p", static_cast<void*>(this));
}

CNTEventRule::CNTEventRule(const CNTEventRule& other) : Rule(other) {
    CSF_TRACE(kCSFLogTrace, "CNTEventRule constructing 0x%p", static_cast<void*>(this));
    m_strLogName = other.m_strLogName;
    m_strSourceName = other.m_strSourceName;
    m_wEventType = other.m_wEventType;
    m_nCategory = other.m_nCategory;
    m_nEventId = other.m_nEventId;
    if (other.m_pRegExp) {
        m_pRegExp = std::make_unique<RegularExpression>(*other.m_pRegExp);
    }
    if (other.m_pRegExpList) {
        m_pRegExpList = std::make_unique<NewRegularExpressionList>(*other.m_pRegExpList);
    }
    if (other.m_pAuditFileSpecs) {
        m_pAuditFileSpecs = std::make_unique<std::vector<std::string>>(*other.m_pAuditFileSpecs);
    }
}

CNTEventRule::~CNTEventRule() {
    CSF_TRACE(kCSFLogTrace, "CNTEventRule destructing 0x%p", static_cast<void*>(this));
}

CNTEventRule& CNTEventRule::operator=(const CNTEventRule& other) {
    if (this == &other) {
        return *this;
    }
    Rule::operator=(other);
    m_strLogName = other.m_strLogName;
    m_strSourceName = other.m_strSourceName;
    m_wEventType = other.m_wEventType;
    m_nCategory = other.m_nCategory;
    m_nEventId = other.m_nEventId;
    m_pRegExp.reset(other.m_pRegExp ? new RegularExpression(*other.m_pRegExp) : nullptr);
    m_pRegExpList.reset(other.m_pRegExpList ? new NewRegularExpressionList(*other.m_pRegExpList)
                                            : nullptr);
    m_pAuditFileSpecs.reset(
        other.m_pAuditFileSpecs ? new std::vector<std::string>(*other.m_pAuditFileSpecs) : nullptr);
    return *this;
}

Rule* CNTEventRule::Clone() const {
    return new (std::nothrow) CNTEventRule(*this);
}

int32_t CNTEventRule::AddAuditFile(const std::string& strPath) {
    std::vector<std::string>& files = AuditedFiles();
    for (size_t i = 0; i < files.size(); ++i) {
        if (strcasecmp(files[i].c_str(), strPath.c_str()) == 0) {
            return static_cast<int32_t>(i);
        }
    }
    files.push_back(strPath);
    CSF_TRACE(kCSFLogInfo, "Add file (%s) to audit for rule (%s)", strPath.c_str(),
              GetName().c_str());
    return static_cast<int32_t>(files.size() - 1);
}

int32_t CNTEventRule::RefreshAuditFiles(bool bApply) {
    if (!IsEnabled() || !m_pAuditFileSpecs || m_pAuditFileSpecs->empty()) {
        return 0;
    }
    std::vector<std::string>& files = AuditedFiles();
    const size_t nKnown = files.size();
    std::vector<bool> seen(nKnown, false);
    // A lookup per name the walks give, not a search of every audited file.
    std::unordered_map<std::string, size_t> known;
    for (size_t i = 0; i < nKnown; ++i) {
        known.emplace(CaseKey(files[i]), i);
    }
    uint64_t qwLeftOut = 0;
    auto note = [&](const std::string& strPath) {
        const auto [it, bNew] = known.emplace(CaseKey(strPath), files.size());
        if (!bNew) {
            if (it->second < nKnown) {
                seen[it->second] = true;
            }
            return;
        }
        if (files.size() >= kMaxAuditedFiles) {
            known.erase(it);
            ++qwLeftOut;
            return;
        }
        files.push_back(strPath);
        CSF_TRACE(kCSFLogInfo, "Add file (%s) to audit for rule (%s)", strPath.c_str(),
                  GetName().c_str());
    };
    uint64_t qwCut = 0;
    for (const std::string& strSpec : *m_pAuditFileSpecs) {
        std::string strPath = strSpec.substr(0, kMaxPath - 1);
        const bool bRecursive = WildcardFileFinder::StripRecursiveMarker(strPath);
        if (strPath.find_first_of("*?") == std::string::npos) {
            if (strPath.size() == 2 && strPath[1] == ':') {
                strPath += '\\';
            }
            if (!PathExists(strPath)) {
                continue;
            }
            if (bRecursive) {
                const char cLast = strPath.back();
                strPath += cLast == '/' || cLast == '\\' ? std::string("...")
                                                         : std::string(1, SeparatorOf(strPath)) + "...";
            }
            note(strPath);
            continue;
        }
        qwCut += ExpandWildcard(strPath, bRecursive, note) ? 0 : 1;
    }
    // Every look meets the same files and folders again: only more of them
    // than at the last look are more left out.
    const std::string strInput = "event-log rule " + GetName() + " audited files";
    m_FilesLeftOut.LeftOutAtScan(strInput, qwLeftOut, GetName());
    m_PatternsCut.LeftOutAtScan(strInput, qwCut, GetName());
    int32_t nChanged = 0;
    for (size_t i = nKnown; i < files.size(); ++i, ++nChanged) {
        const std::string& strPath = files[i];
        if (IsRecursiveEntry(strPath)) {
            CFileAudit::Add(strPath.substr(0, strPath.size() - 4).c_str(), this, 1, bApply);
        } else {
            CFileAudit::Add(strPath.c_str(), this, 0, bApply);
        }
    }
    // A walk read in part says nothing of the files it did not reach.
    for (size_t i = nKnown; qwCut == 0 && i-- > 0;) {
        if (seen[i]) {
            continue;
        }
        CFileAudit::Remove(files[i].c_str());
        CSF_TRACE(kCSFLogInfo, "Removed file (%s) to audit for rule (%s)", files[i].c_str(),
                  GetName().c_str());
        files.erase(files.begin() + static_cast<std::ptrdiff_t>(i));
        ++nChanged;
    }
    return nChanged;
}

int32_t CNTEventRule::AddAuditKeys(bool bApply) {
    if (!IsEnabled() || KeyAuditValues().empty()) {
        return 0;
    }
    for (const std::string& strKey : KeyAuditValues()) {
        CRegKeyAudit::Add(strKey.c_str(), this, bApply);
        CSF_TRACE(kCSFLogInfo, "Added key (%s) to audit for rule (%s)", strKey.c_str(),
                  GetName().c_str());
    }
    return 0;
}
