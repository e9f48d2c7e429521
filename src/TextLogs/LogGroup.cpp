#include "TextLogs/LogGroup.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "Common/WildcardFileFinder.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Refusal.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/SafeText.h"

namespace {

constexpr const char kWildcards[] = "*?";

// The first folder on the way to what `strPath` names that does not exist
// (written with "/"), or "" when there is none or it cannot be told.  The
// folders are those before the first wildcard component, and a "/..."
// path's folder itself.
std::string MissingFolder(std::string strPath) {
    const bool bRecursive = WildcardFileFinder::StripRecursiveMarker(strPath);
    for (char& c : strPath) {
        c = c == '\\' ? '/' : c;
    }
    if (strPath.empty() || strPath[0] != '/') {
        return std::string();
    }
    const size_t nWildcard = strPath.find_first_of(kWildcards);
    const size_t nEnd = bRecursive ? strPath.size() : strPath.rfind('/', nWildcard);
    if (nEnd == std::string::npos || nEnd == 0) {
        return std::string();
    }
    size_t nAt = 0;
    do {
        nAt = std::min(strPath.find('/', nAt + 1), nEnd);
        const std::string strFolder = strPath.substr(0, nAt);
        plat::FileStatus status;
        if (!plat::GetFileStatus(strFolder.c_str(), status)) {
            const uint32_t dwError = plat::GetLastError();
            return dwError == plat::kErrFileNotFound || dwError == plat::kErrPathNotFound ? strFolder
                                                                                          : std::string();
        }
    } while (nAt < nEnd);
    return std::string();
}

}  // namespace

CLogGroup::CLogGroup(std::string strName) : m_strName(std::move(strName)) {}

void CLogGroup::AddPath(std::string strPath) { m_Paths.push_back(std::move(strPath)); }

size_t CLogGroup::ExpandFiles(std::vector<std::string>& files) const {
    if (!m_bUsed) {
        return 0;
    }
    if (!m_bNewestOnly) {
        size_t nCount = 0;
        for (const std::string& strPath : m_Paths) {
            nCount += ExpandPattern(strPath, std::string(), files);
        }
        return nCount;
    }
    // A file never written since the epoch is never the newest, and what
    // is not a regular file (a FIFO, a socket, a device) never displaces
    // the log.
    std::vector<std::string> produced;
    std::string strBest;
    int64_t llBestTime = 0;
    for (const std::string& strPath : m_Paths) {
        produced.clear();
        ExpandPattern(strPath, std::string(), produced);
        for (std::string& strName : produced) {
            plat::FileStatus status;
            if (plat::GetFileStatus(strName.c_str(), status) && status.m_bIsRegular &&
                status.m_llModifiedNs > llBestTime) {
                llBestTime = status.m_llModifiedNs;
                strBest = std::move(strName);
            }
        }
    }
    if (strBest.empty()) {
        return 0;
    }
    files.push_back(std::move(strBest));
    return 1;
}

size_t CLogGroup::ExpandPattern(const std::string& strPattern, const std::string& strPrefix,
                                std::vector<std::string>& files) const {
    std::string strPath = strPattern;
    const bool bRecursive = WildcardFileFinder::StripRecursiveMarker(strPath);
    const size_t nWildcard = strPath.find_first_of(kWildcards);
    // A name written out is taken whatever it is; what a wildcard in the
    // last component or a walk beneath a directory finds counts only when
    // it is a file.
    const bool bFilesOnly = bRecursive || (nWildcard != std::string::npos &&
                                           strPath.find_first_of("/\\", nWildcard) == std::string::npos);
    WildcardFindData found;
    std::vector<std::string> stopped;
    WildcardFileFinder::Handle walk =
        WildcardFileFinder::FindFirst(strPath.c_str(), bRecursive, &found, &stopped);
    if (walk == WildcardFileFinder::InvalidHandle()) {
        WarnOfStops(stopped);
        return 0;
    }
    size_t nCount = 0;
    do {
        if (!bFilesOnly || !found.IsDirectory()) {
            files.push_back(strPrefix + found.m_strFileName);
            ++nCount;
        }
    } while (WildcardFileFinder::FindNext(walk, &found) != 0);
    WildcardFileFinder::Close(walk);
    WarnOfStops(stopped);
    return nCount;
}

bool CLogGroup::NamesNoFile(std::string& strWhy) const {
    std::vector<std::string> files;
    if (ExpandFiles(files) > 0) {
        return false;
    }
    std::string strPaths;
    std::vector<std::string> missing;
    for (const std::string& strPath : m_Paths) {
        strPaths += (strPaths.empty() ? "" : "|") + strPath;
        std::string strFolder = MissingFolder(strPath);
        if (!strFolder.empty() && std::find(missing.begin(), missing.end(), strFolder) == missing.end()) {
            missing.push_back(std::move(strFolder));
        }
    }
    strWhy = "nothing matches its Path " + strPaths;
    for (size_t n = 0; n < missing.size(); ++n) {
        strWhy += (n == 0 ? (missing.size() == 1 ? "; the folder " : "; the folders ") : ", ") + missing[n];
    }
    if (!missing.empty()) {
        strWhy += missing.size() == 1 ? " does not exist" : " do not exist";
    }
    return true;
}

void CLogGroup::WarnOfStops(const std::vector<std::string>& stopped) const {
    for (const std::string& strStopped : stopped) {
        if (!m_WarnedStops.insert(strStopped).second) {
            continue;
        }
        // The reader's own walk names the link and its owner; it opens
        // nothing when it stops at the link.
        std::string strRefusal;
        const plat::FileHandle hFile =
            plat::OpenFileToRead(strStopped, plat::Owners::kAnyAccount, &strRefusal);
        if (hFile != plat::kInvalidFile) {
            plat::CloseFile(hFile);
            m_WarnedStops.erase(strStopped);
            continue;
        }
        if (plat::GetLastError() != plat::kErrStoppedOnSymlink) {
            m_WarnedStops.erase(strStopped);
            continue;
        }
        const std::string strWarning = PrintableText(
            plat::WithInstead(strRefusal, "log group " + m_strName + " does not watch it"));
        CSF_LOG(kCSFLogWarning, "%s", strWarning.c_str());
        plat::ConsolePrintf("WARNING: %s\n", strWarning.c_str());
    }
}
