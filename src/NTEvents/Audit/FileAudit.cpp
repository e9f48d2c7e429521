#include "NTEvents/Audit/FileAudit.h"

#include <cstdio>
#include <string_view>

#include "Common/Rule.h"
#include "Common/SensorSettings.h"
#include "Common/WildcardFileFinder.h"
#include "NTEvents/Audit/SecurityDescriptor.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ConfigStore.h"
#include "qorToolsLib/CountText.h"

namespace {

constexpr uint32_t kInvalidArgument = 13;
constexpr uint32_t kAlreadyListed = 52;
constexpr size_t kValueBufferSize = 255;
// The walk's directory and entry name are each held in this many characters.
constexpr size_t kMaxPathPart = 260;
// A recursive audit whose walk found nothing because a bound stopped it.
constexpr uint32_t kErrWalkCut = plat::kErrMoreData;

CFileAudit::EntryMap g_Files;

bool ListsRuleName(const std::string& strNames, const std::string& strName) {
    std::string_view rest = strNames;
    while (!rest.empty()) {
        size_t sep = rest.find(", ");
        if (rest.substr(0, sep) == strName) {
            return true;
        }
        rest = sep == std::string_view::npos ? std::string_view() : rest.substr(sep + 2);
    }
    return false;
}

// One object's audit: prepare, then write.  0 or the failing code.
uint32_t AuditOneFile(const std::string& strPath, const char* pszAccount, uint32_t dwSuccess,
                      uint32_t dwFailure, bool bInherit) {
    CFileSD sd(strPath);
    uint32_t dwResult = sd.SetAudit(pszAccount, dwSuccess, dwFailure, bInherit);
    if (dwResult != 0) {
        CSF_LOG(3, "Failed to prepare audit for <%s>: %d", strPath.c_str(),
                static_cast<int>(dwResult));
        return dwResult;
    }
    dwResult = sd.WriteSecurity();
    if (dwResult != 0) {
        CSF_LOG(3, "Failed to setup audit for <%s>: %d", strPath.c_str(),
                static_cast<int>(dwResult));
    } else {
        CSF_TRACE(9, "Set successfully the audit flag for <%s>", strPath.c_str());
    }
    return dwResult;
}

// The tree's walk goes as deep as a walk may (WildcardLimits) and reads
// at most kMaxTreeNames names: a folder deeper is audited but not entered,
// and one past the names is read in part or not at all; `leftOut` counts
// both kinds, whose contents keep no audit entry of this tree's.
//
// The answer says what stopped the walk where it stopped, not only that
// it found nothing: a path it could not look at (no right to, another
// account's link, no descriptor left) gives that error, said here with the
// path, whether or not the walk found anything before it; a walk that found
// nothing for a bound gives kErrMoreData (the bound itself is the caller's
// to say); only a walk that met no such obstacle and found nothing is the
// file not found.  An entry found and not audited gives its own code, the
// last such winning as for the files.
uint32_t AuditTree(const char* pszPath, const char* pszAccount, uint32_t dwSuccess,
                   uint32_t dwFailure, TreeLeftOut& leftOut) {
    WildcardLimits limits;
    limits.m_qwMaxEntries = kMaxTreeNames;
    WildcardWalk walk(pszPath, true, limits);
    WildcardFindData data;
    uint32_t dwWork = UINT32_MAX;
    bool bFound = false;
    uint32_t dwLast = 0;
    while (walk.Next(data, dwWork) == WildcardWalk::Step::kFound) {
        bFound = true;
        if (data.m_strDirectory.size() >= kMaxPathPart ||
            data.m_strEntryName.size() >= kMaxPathPart) {
            continue;
        }
        std::string strFull = data.m_strDirectory + data.m_strEntryName;
        uint32_t dwResult =
            AuditOneFile(strFull, pszAccount, dwSuccess, dwFailure, data.IsDirectory());
        if (dwResult != 0) {
            dwLast = dwResult;
        }
    }
    leftOut.m_qwTooDeep = walk.FoldersTooDeep();
    leftOut.m_qwUnread = walk.FoldersUnread();
    if (walk.Failures() != 0) {
        const uint64_t qwOthers = walk.Failures() - 1;
        const std::string strOthers =
            qwOthers == 0 ? std::string()
                          : " (and " + CountText(qwOthers, "more path", "more paths") + " below " + pszPath + ")";
        CSF_LOG(3, "Failed to read <%s> for audit: %d%s", walk.FirstFailedPath().c_str(),
                static_cast<int>(walk.FirstFailure()), strOthers.c_str());
        return dwLast != 0 ? dwLast : walk.FirstFailure();
    }
    if (bFound) {
        return dwLast;
    }
    return leftOut.m_qwTooDeep != 0 || leftOut.m_qwUnread != 0 ? kErrWalkCut
                                                                : plat::kErrFileNotFound;
}

void ReportFileResult(const char* pszPath, uint32_t dwResult) {
    if (dwResult == plat::kErrFileNotFound) {
        CSF_LOG(6, "Error setting File audit flags for %s : File not found.", pszPath);
    }
}

// The files a key's text values name as command lines: the program part of
// each, found along the search path when it names no directory.
void ApplyKeyFiles(const FileAuditEntry& entry) {
    const char* pszKey = entry.m_strPath.c_str() + 1;
    plat::RegistryKey key = 0;
    if (plat::RegistryOpenKey(plat::kRegistryLocalMachine, pszKey, &key) != 0) {
        CSF_LOG(1, "Error setting File audit flags for %s : subkeys not found.",
                entry.m_strPath.c_str());
        return;
    }
    for (uint32_t index = 0;; ++index) {
        char name[kValueBufferSize + 1];
        uint8_t data[kValueBufferSize + 1];
        uint32_t nameSize = sizeof name;
        uint32_t dataSize = kValueBufferSize;
        uint32_t type = 0;
        if (plat::RegistryEnumValue(key, index, name, &nameSize, &type, data, &dataSize) != 0) {
            break;
        }
        if (type != plat::kRegistryString) {
            continue;
        }
        data[dataSize < sizeof data ? dataSize : kValueBufferSize] = 0;
        std::string strFile(reinterpret_cast<const char*>(data));
        strFile = strFile.substr(0, strFile.find(' '));
        if (strFile.find_first_of("\\/") == std::string::npos) {
            std::string strFound;
            if (plat::SearchPath(strFile, strFound)) {
                strFile = strFound;
            }
        }
        uint32_t dwResult = SetFileAudit(strFile.c_str(), entry.m_strAccount.c_str(),
                                         entry.m_bSuccess.data(), entry.m_bFailure.data(), 0);
        ReportFileResult(strFile.c_str(), dwResult);
    }
    plat::RegistryCloseKey(key);
}

}  // namespace

bool FileAuditEntry::HasRights() const {
    return AnyAuditRight(m_bSuccess, m_bFailure);
}

void FileAuditEntry::EndBounds() const {
    m_TooDeep.End();
    m_Unread.End();
}

void FileAuditEntry::ClearRights() {
    m_bSuccess.fill(0);
    m_bFailure.fill(0);
}

uint32_t CFileAudit::Add(const char* pszPath, const Rule* pRule, uint32_t dwRecursive,
                         bool bApplyNow) {
    if (pszPath == nullptr || *pszPath == '\0' || pRule == nullptr) {
        return kInvalidArgument;
    }
    uint32_t dwResult = 0;
    FileAuditEntry* pEntry = nullptr;
    auto found = g_Files.find(pszPath);
    if (found != g_Files.end()) {
        dwResult = kAlreadyListed;
        pEntry = found->second.get();
        CSF_TRACE(9, "adding %s to rule named: %s", pRule->GetName().c_str(),
                  pEntry->m_strRuleNames.c_str());
        // A rule read again at a reload must not be listed twice.
        if (!ListsRuleName(pEntry->m_strRuleNames, pRule->GetName())) {
            if (!pEntry->m_strRuleNames.empty()) {
                pEntry->m_strRuleNames += ", ";
            }
            pEntry->m_strRuleNames += pRule->GetName();
        }
    } else {
        auto pNew = std::make_unique<FileAuditEntry>();
        pNew->m_strPath = pszPath;
        pNew->m_strAccount = GetEveryoneName();
        pNew->m_strRuleNames = pRule->GetName();
        pEntry = pNew.get();
        g_Files.emplace(pszPath, std::move(pNew));
    }
    pEntry->m_dwRecursive = dwRecursive;
    MergeAuditRights(g_FileRights, pRule->GetList(5), pRule->GetList(6), pEntry->m_bSuccess,
                     pEntry->m_bFailure);
    if (bApplyNow && SensorSettings::Instance().m_bEnforceAuditPolicy) {
        Apply(*pEntry);
    }
    return dwResult;
}

uint32_t CFileAudit::Remove(const char* pszPath) {
    if (pszPath == nullptr || *pszPath == '\0') {
        return kInvalidArgument;
    }
    auto found = g_Files.find(pszPath);
    if (found == g_Files.end()) {
        return kAlreadyListed;
    }
    found->second->EndBounds();
    g_Files.erase(found);
    return 0;
}

void CFileAudit::ApplyAll() {
    for (auto it = g_Files.begin(); it != g_Files.end();) {
        if (it->second->m_strRuleNames.empty()) {
            Apply(*it->second);
            it->second->EndBounds();
            it = g_Files.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& item : g_Files) {
        Apply(*item.second);
    }
}

uint32_t CFileAudit::Apply(const FileAuditEntry& entry) {
    if (!entry.m_strPath.empty() && entry.m_strPath[0] == '$') {
        ApplyKeyFiles(entry);
        return 0;
    }
    TreeLeftOut leftOut;
    uint32_t dwResult =
        SetFileAudit(entry.m_strPath.c_str(), entry.m_strAccount.c_str(), entry.m_bSuccess.data(),
                     entry.m_bFailure.data(), entry.m_dwRecursive, &leftOut);
    ReportFileResult(entry.m_strPath.c_str(), dwResult);
    if (entry.m_dwRecursive != 0) {
        // Whoever can write the tree decides its depth and its names: what
        // the walk left out is a bound, counted once however many applies
        // meet it.
        const std::string strInput =
            "audited folder " + entry.m_strPath + " (rule " +
            (entry.m_strRuleNames.empty() ? std::string("none") : entry.m_strRuleNames) + ")";
        entry.m_TooDeep.LeftOutAtScan(strInput, leftOut.m_qwTooDeep);
        entry.m_Unread.LeftOutAtScan(strInput, leftOut.m_qwUnread);
    }
    return 0;
}

void CFileAudit::Restore(ConfigStore& store) {
    std::vector<std::string> keys;
    if (!store.KeyExists("Files") || !store.GetSubKeyNames("Files", keys)) {
        return;
    }
    for (const std::string& strKey : keys) {
        std::string strPath = "Files\\" + strKey;
        std::string strFile = store.GetString(strPath, "Filename", "");
        if (strFile.empty()) {
            continue;
        }
        int32_t nRecursive = store.GetLong(strPath, "Recursive", 0);
        auto found = g_Files.find(strFile);
        if (found == g_Files.end()) {
            auto pNew = std::make_unique<FileAuditEntry>();
            pNew->m_strPath = strFile;
            pNew->m_strAccount = GetEveryoneName();
            pNew->m_dwRecursive = static_cast<uint32_t>(nRecursive);
            g_Files.emplace(strFile, std::move(pNew));
        } else if (nRecursive != 0) {
            found->second->m_dwRecursive = 1;
        }
    }
}

void CFileAudit::Save(ConfigStore& store) {
    int n = 0;
    for (const auto& item : g_Files) {
        const FileAuditEntry& entry = *item.second;
        int nNumber = n++;
        if (!entry.HasRights()) {
            continue;
        }
        char szName[32];
        std::snprintf(szName, sizeof szName, "file_%d", nNumber);
        std::string strPath = std::string("Files\\") + szName;
        store.SetString(strPath, "Filename", entry.m_strPath);
        store.SetString(strPath, "Rulename", entry.m_strRuleNames);
        if (entry.m_dwRecursive != 0) {
            store.SetLong(strPath, "Recursive", static_cast<int32_t>(entry.m_dwRecursive));
        }
        for (size_t i = 0; i < kFileRightCount; ++i) {
            if (const char* pszText = AuditSettingText(entry.m_bSuccess[i], entry.m_bFailure[i])) {
                store.SetText(strPath, g_FileRights[i].pszName, pszText);
            }
        }
    }
}

void CFileAudit::ClearClaims() {
    for (auto& item : g_Files) {
        item.second->m_strRuleNames.clear();
        item.second->ClearRights();
    }
}

const CFileAudit::EntryMap& CFileAudit::Entries() {
    return g_Files;
}

void CFileAudit::Clear() {
    g_Files.clear();
}

uint32_t SetFileAudit(const char* pszPath, const char* pszAccount, const uint8_t* pSuccess,
                      const uint8_t* pFailure, uint32_t dwRecursive, TreeLeftOut* pLeftOut) {
    uint32_t dwSuccess = AuditRightsMask(g_FileRights, pSuccess);
    uint32_t dwFailure = AuditRightsMask(g_FileRights, pFailure);
    TreeLeftOut leftOut;
    const uint32_t dwResult = dwRecursive == 0
                                  ? AuditOneFile(pszPath, pszAccount, dwSuccess, dwFailure, false)
                                  : AuditTree(pszPath, pszAccount, dwSuccess, dwFailure, leftOut);
    if (pLeftOut != nullptr) {
        *pLeftOut = leftOut;
    }
    return dwResult;
}
