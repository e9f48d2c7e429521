#include "TextLogs/LogGroup.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cstdint>
#include <utility>

#include "Common/WildcardFileFinder.h"
#include "TextLogs/SensorOutputs.h"
#include "platform/Console.h"
#include "platform/Descriptors.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Refusal.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/SafeText.h"

namespace {

constexpr const char kWildcards[] = "*?";
// The sensor's own files named in the reason a group reads no file.
constexpr size_t kOwnNamedWhy = 4;

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
            return plat::IsAbsence(plat::GetLastError()) ? strFolder : std::string();
        }
    } while (nAt < nEnd);
    return std::string();
}

// The descriptors kept free, as the bounds say them.
std::string KeptFreeText() {
    const uint64_t qwLimit = plat::RaiseDescriptorLimit();
    return std::to_string(plat::DescriptorFloorFor(qwLimit)) + " descriptors kept free of the process's " +
           std::to_string(qwLimit) + " for sockets, decoy connections and outputs";
}

// The descriptor bound as said: the floor no file takes from.
std::string DescriptorLimitText() { return "no file opened into the " + KeptFreeText(); }

std::string DepthText() {
    return "folders deep below a pattern's first wildcard or its \"/...\"";
}

}  // namespace

CLogGroup::Scan::Scan() = default;
CLogGroup::Scan::~Scan() = default;
CLogGroup::Scan::Scan(Scan&&) noexcept = default;
CLogGroup::Scan& CLogGroup::Scan::operator=(Scan&&) noexcept = default;

CLogGroup::CLogGroup(std::string strName)
    : m_strName(std::move(strName)),
      m_TooDeep("at most " + std::to_string(WildcardLimits::kDefaultMaxDepth) + " " + DepthText(), "folders"),
      m_Shallow("fewer than " + std::to_string(WildcardLimits::kDefaultMaxDepth) + " " + DepthText() +
                    ", as many as the descriptors to spare allow",
                "folders"),
      m_Foreign("another account's FIFOs, sockets, devices and links are not read", "names"),
      m_NamesCut("at most " + std::to_string(kMaxNamesPerScan) + " names read in a scan", "folders"),
      m_LinksUnnamed("at most " + std::to_string(kMaxLinksNamed) +
                         " paths through another account's link named one by one",
                     "paths"),
      // Files put off: a later scan takes them up when there is room, and
      // the stop's look reads what they hold or counts it unread.
      m_FilesOver("at most " + std::to_string(kMaxFilesFollowed) + " files followed", "files",
                  InputBound::Fate::kNotLost),
      m_NoDescriptor(DescriptorLimitText(), "files", InputBound::Fate::kNotLost) {}

CLogGroup::~CLogGroup() = default;

void CLogGroup::AddPath(std::string strPath) { m_Paths.push_back(std::move(strPath)); }

std::string CLogGroup::DescribeInput() const {
    std::string strPaths;
    for (const std::string& strPath : m_Paths) {
        strPaths += (strPaths.empty() ? "" : "|") + strPath;
    }
    return "log group " + m_strName + " (" + strPaths + ")";
}

void CLogGroup::BeginScan(Scan& scan, uint32_t dwMaxDepth, FileDates* pDates, bool bAtStop) const {
    scan = Scan();
    scan.m_bAtStop = bAtStop;
    // A group that no enabled rule names is never monitored.
    scan.m_bDone = !m_bUsed;
    scan.m_dwMaxDepth = std::max<uint32_t>(1, dwMaxDepth);
    scan.m_pDates = pDates;
    scan.m_llNowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    // The host may have opened an output anew since the last scan.
    if (m_bUsed) {
        SensorOutputs::Instance().Refresh();
    }
}

void CLogGroup::BeginPath(Scan& scan) const {
    std::string strPath = m_Paths[scan.m_nPath];
    const bool bRecursive = WildcardFileFinder::StripRecursiveMarker(strPath);
    const size_t nWildcard = strPath.find_first_of(kWildcards);
    // A name written out is taken whatever it is, a directory too; what a
    // wildcard in the last component or a walk beneath a directory finds
    // counts only when it is a file.
    scan.m_bFilesOnly = bRecursive || (nWildcard != std::string::npos &&
                                       strPath.find_first_of("/\\", nWildcard) == std::string::npos);
    WildcardLimits limits;
    limits.m_dwMaxDepth = scan.m_dwMaxDepth;
    const uint64_t qwMaxNames = scan.m_bAtStop ? kMaxNamesAtStop : kMaxNamesPerScan;
    limits.m_qwMaxEntries = qwMaxNames - std::min(scan.m_qwNames, qwMaxNames);
    scan.m_pWalk = std::make_unique<WildcardWalk>(strPath, bRecursive, limits, &scan.m_Stopped);
}

bool CLogGroup::ContinueScan(Scan& scan, uint32_t& dwWork) const {
    WildcardFindData found;
    while (!scan.m_bDone) {
        if (!scan.m_pWalk) {
            if (scan.m_nPath >= m_Paths.size()) {
                scan.m_bDone = true;
                break;
            }
            BeginPath(scan);
        }
        const WildcardWalk::Step step = scan.m_pWalk->Next(found, dwWork);
        if (step == WildcardWalk::Step::kPaused) {
            return false;
        }
        if (step == WildcardWalk::Step::kEnded) {
            const WildcardWalk& walk = *scan.m_pWalk;
            scan.m_qwNames += walk.EntriesRead();
            scan.m_qwTooDeep += walk.FoldersTooDeep();
            scan.m_qwUnread += walk.FoldersUnread();
            scan.m_bComplete = scan.m_bComplete && !walk.EntriesCut() && !walk.Incomplete() &&
                               walk.FoldersTooDeep() == 0;
            scan.m_pWalk.reset();
            ++scan.m_nPath;
            continue;
        }
        if (scan.m_bFilesOnly && found.IsDirectory()) {
            continue;
        }
        const plat::FileStatus& status = found.m_Status;
        // The sensor's own output, read as input, would come back without
        // end: it is none of the group's files.
        SensorOutputs::Match own;
        if (status.m_bIsRegular &&
            SensorOutputs::Instance().Find(found.m_strFileName, status.m_qwIdentity, status.m_llBornNs, &own)) {
            scan.m_Own.push_back({found.m_strFileName, status.m_qwIdentity, own});
            continue;
        }
        // Past the names a scan takes, the stop's look only counts the files
        // it meets: nothing reads them after the stop.  (A newest-only
        // group reads one file, and chooses it among all it meets.)
        if (scan.m_bAtStop && !m_bNewestOnly && ++scan.m_qwMetAtStop > kMaxNamesPerScan) {
            if (status.m_bIsRegular) {
                const bool bNamed = scan.m_PastBound.size() < kMaxPastBoundNamed;
                scan.m_PastBound.push_back({bNamed ? std::move(found.m_strFileName) : std::string(),
                                            status.m_qwIdentity, status.m_qwSize, scan.m_nPath});
                scan.m_bComplete = false;
            }
            continue;
        }
        scan.m_Identities.push_back(status.m_qwIdentity);
        // A FIFO, a socket or a device could stall a reader, and another
        // account's link may lead to what only the sensor may read: what
        // another account makes so is counted and passed over.  Root's own
        // are taken, and their reader says what they are.
        if (!status.m_bIsRegular && !status.m_bIsDirectory && !found.m_bTrustedOwner) {
            ++scan.m_qwForeign;
            continue;
        }
        if (status.m_bIsRegular) {
            scan.m_Met.push_back({status.m_qwIdentity, status.m_qwSize, scan.m_nPath, status.m_llBornNs});
        }
        if (m_bNewestOnly && !status.m_bIsRegular) {
            continue;
        }
        // A file never written since the epoch is never the newest.  The
        // best carries over across the paths, so among equals the first
        // produced wins.
        const int64_t llTime = !m_bNewestOnly ? 0
                               : scan.m_pDates != nullptr
                                   ? scan.m_pDates->Date(status.m_qwIdentity, status.m_llModifiedNs, scan.m_llNowNs)
                                   : status.m_llModifiedNs;
        if (m_bNewestOnly && llTime <= scan.m_llBestTime) {
            continue;
        }
        FoundFile file{std::move(found.m_strFileName), status.m_qwIdentity, status.m_qwSize,
                       found.m_bTrustedOwner, found.m_uOwner, status.m_bIsRegular, scan.m_nPath, llTime,
                       status.m_llBornNs};
        if (!m_bNewestOnly) {
            scan.m_Files.push_back(std::move(file));
            continue;
        }
        scan.m_llBestTime = llTime;
        scan.m_Files.assign(1, std::move(file));
    }
    return true;
}

void CLogGroup::ReportFilesLeftOut(uint64_t qwOverBound, uint64_t qwNoDescriptor) {
    const std::string strInput = DescribeInput();
    m_FilesOver.LeftOutAtScan(strInput, qwOverBound);
    m_NoDescriptor.LeftOutAtScan(strInput, qwNoDescriptor);
}

void CLogGroup::EndBounds() {
    for (ScanBound* pBound :
         {&m_TooDeep, &m_Shallow, &m_Foreign, &m_NamesCut, &m_LinksUnnamed, &m_FilesOver, &m_NoDescriptor}) {
        pBound->End();
    }
    m_OwnUnnamed.End();
    m_NoScan.End();
    m_WarnedStops.clear();
    m_WarnedOwn.clear();
}

void CLogGroup::ReportScanWithoutDescriptors(uint64_t qwNeeded) {
    m_NoScan.LeftOut([&]() -> InputBound& {
        return InputBounds::Instance().Bound(
            DescribeInput(), "a scan needs " + std::to_string(qwNeeded) + " descriptors above the " + KeptFreeText(),
            "scans");
    });
}

void CLogGroup::ReportScan(const Scan& scan) {
    const std::string strInput = DescribeInput();
    // A walk made shallower for want of descriptors leaves out folders the
    // usual depth would take: a bound of its own.
    const bool bShallow = scan.m_dwMaxDepth < WildcardLimits::kDefaultMaxDepth;
    m_TooDeep.LeftOutAtScan(strInput, bShallow ? 0 : scan.m_qwTooDeep);
    m_Shallow.LeftOutAtScan(strInput, bShallow ? scan.m_qwTooDeep : 0);
    m_Foreign.LeftOutAtScan(strInput, scan.m_qwForeign);
    m_NamesCut.LeftOutAtScan(strInput, scan.m_qwUnread);
    WarnOfStops(scan.m_Stopped);
    WarnOfOwnOutputs(scan);
}

std::string CLogGroup::DescribeOwn(const Scan::OwnFile& own) const {
    return PrintableText(own.m_strName) + " " + SensorOutputs::Instance().Describe(own.m_Match);
}

std::pair<bool, uint64_t> CLogGroup::OwnKey(const Scan::OwnFile& own) {
    // The file an output is now is one whatever renames and reopenings
    // come; an earlier output, or a copy by a rotated name, is a file of
    // its own.
    const bool bByFile = own.m_Match.m_Kind != SensorOutputs::Match::Kind::kIs;
    return {bByFile, bByFile ? own.m_qwIdentity : own.m_Match.m_nOutput};
}

void CLogGroup::WarnOfOwnOutputs(const Scan& scan) {
    uint64_t qwUnnamed = 0;
    std::set<std::pair<bool, uint64_t>> met;
    for (const Scan::OwnFile& own : scan.m_Own) {
        const std::pair<bool, uint64_t> key = OwnKey(own);
        met.insert(key);
        if (m_WarnedOwn.count(key) != 0) {
            continue;
        }
        if (m_WarnedOwn.size() >= kMaxOwnNamed) {
            // Whoever can write an output's folder decides how many files
            // bear its rotated names.
            ++qwUnnamed;
            continue;
        }
        m_WarnedOwn.insert(key);
        const std::string strWarning = DescribeOwn(own) + ": " + DescribeInput() +
                                       " does not read it, as what the sensor writes would come back to it as input";
        CSF_LOG(kCSFLogWarning, "%s", strWarning.c_str());
        plat::ConsolePrintf("WARNING: %s\n", strWarning.c_str());
    }
    // A file gone from the group's paths is said again should it come back.
    if (scan.IsComplete()) {
        for (auto it = m_WarnedOwn.begin(); it != m_WarnedOwn.end();) {
            it = met.count(*it) != 0 ? std::next(it) : m_WarnedOwn.erase(it);
        }
    }
    m_OwnUnnamed.AtLook(DescribeInput(), qwUnnamed);
}

namespace {

constexpr const char kOwnNotRead[] = ": it does not read them, as what the sensor writes would come back to it as input";

}  // namespace

std::string CLogGroup::OwnFilesUnnamed::FirstLine(const std::string& strInput, uint64_t qwTotal) {
    return strInput + ": " + std::to_string(qwTotal) + " more of the sensor's own files left out unnamed" +
           kOwnNotRead + " (said again at most once a minute while more come)";
}

std::string CLogGroup::OwnFilesUnnamed::LaterLine(const std::string& strInput, uint64_t qwTotal,
                                                  uint64_t qwSince) {
    return strInput + ": " + std::to_string(qwTotal) + " more of the sensor's own files left out unnamed in all, " +
           std::to_string(qwSince) + " since they were last said" + kOwnNotRead;
}

void CLogGroup::OwnFilesUnnamed::AtLook(const std::string& strInput, uint64_t qwNow) {
    const uint64_t qwLast = m_qwLastLook;
    m_qwLastLook = qwNow;
    if (qwNow <= qwLast) {
        return;
    }
    m_strInput = strInput;
    const BoundTally::Due due = m_Tally.LeftOut(qwNow - qwLast, BoundTally::Clock::now(), false);
    if (due.m_kind == BoundTally::Due::Kind::kFirst) {
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", FirstLine(strInput, due.m_qwTotal).c_str());
    } else if (due.m_kind == BoundTally::Due::Kind::kAgain) {
        // A count for the operator, not a finding of its own.
        CSF_LOG(kCSFLogNotice | kCSFLogConsoleFlag, "%s",
                LaterLine(strInput, due.m_qwTotal, due.m_qwSince).c_str());
    }
}

void CLogGroup::OwnFilesUnnamed::End() {
    m_qwLastLook = 0;
    const uint64_t qwFirst = m_Tally.End();
    if (qwFirst != 0) {
        CSFNoticeFindingEnded(FirstLine(m_strInput, qwFirst).c_str());
    }
}

size_t CLogGroup::ExpandFiles(std::vector<std::string>& files) {
    Scan scan;
    BeginScan(scan);
    uint32_t dwWork = UINT32_MAX;
    while (!ContinueScan(scan, dwWork)) {
        dwWork = UINT32_MAX;
    }
    ReportScan(scan);
    for (const FoundFile& file : scan.Files()) {
        files.push_back(file.m_strName);
    }
    return scan.Files().size();
}

int64_t CLogGroup::FileDates::Date(uint64_t qwIdentity, int64_t llModifiedNs, int64_t llNowNs) {
    if (llModifiedNs <= llNowNs) {
        m_Ahead.erase(qwIdentity);
        return llModifiedNs;
    }
    auto it = m_Ahead.find(qwIdentity);
    if (it != m_Ahead.end() && it->second.m_llModifiedNs == llModifiedNs) {
        return it->second.m_llFirstSeenNs;
    }
    if (it == m_Ahead.end() && m_Ahead.size() >= kMaxNamesPerScan) {
        return 0;
    }
    m_Ahead[qwIdentity] = Dated{llModifiedNs, llNowNs};
    return llNowNs;
}

void CLogGroup::FileDates::KeepOnly(const std::vector<uint64_t>& identities) {
    for (auto it = m_Ahead.begin(); it != m_Ahead.end();) {
        it = std::binary_search(identities.begin(), identities.end(), it->first) ? std::next(it) : m_Ahead.erase(it);
    }
}

bool CLogGroup::NamesNoFile(std::string& strWhy, std::chrono::steady_clock::time_point tDeadline) {
    // One file found tells enough; a scan that cannot find one in time
    // tells nothing, and holds up no load.
    constexpr uint32_t kWorkPerLook = 1024;
    Scan scan;
    BeginScan(scan);
    for (;;) {
        uint32_t dwWork = kWorkPerLook;
        const bool bDone = ContinueScan(scan, dwWork);
        if (!scan.Files().empty()) {
            return false;
        }
        if (bDone) {
            break;
        }
        if (std::chrono::steady_clock::now() >= tDeadline) {
            return false;
        }
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
    if (scan.m_Own.empty()) {
        strWhy = "nothing matches its Path " + strPaths;
    } else {
        // What it matched is said now, where the load's report carries it,
        // and not again by the scans.
        strWhy = "its Path " + strPaths + " matches only the sensor's own output, which no log group reads: ";
        for (size_t n = 0; n < scan.m_Own.size(); ++n) {
            if (n == kOwnNamedWhy) {
                strWhy += "; and " + std::to_string(scan.m_Own.size() - n) + " more";
                break;
            }
            strWhy += (n == 0 ? "" : "; ") + DescribeOwn(scan.m_Own[n]);
            m_WarnedOwn.insert(OwnKey(scan.m_Own[n]));
        }
    }
    for (size_t n = 0; n < missing.size(); ++n) {
        strWhy += (n == 0 ? (missing.size() == 1 ? "; the folder " : "; the folders ") : ", ") + missing[n];
    }
    if (!missing.empty()) {
        strWhy += missing.size() == 1 ? " does not exist" : " do not exist";
    }
    return true;
}

void CLogGroup::WarnOfStops(const std::vector<std::string>& stopped) {
    uint64_t qwUnnamed = 0;
    for (const std::string& strStopped : stopped) {
        if (m_WarnedStops.count(strStopped) != 0) {
            continue;
        }
        // Whoever makes the links decides how many there are: past a few,
        // they are counted, not named.
        if (m_WarnedStops.size() >= kMaxLinksNamed) {
            ++qwUnnamed;
            continue;
        }
        m_WarnedStops.insert(strStopped);
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
    m_LinksUnnamed.LeftOutAtScan(DescribeInput(), qwUnnamed);
}
