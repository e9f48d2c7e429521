#include "TextLogs/CEngineTextLog.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <new>

#include "Common/AgentEventInfoDefault.h"
#include "Common/InputBounds.h"
#include "Common/RuleContainer.h"
#include "TextLogs/InitializeTextLogRules.h"
#include "TextLogs/LogGroup.h"
#include "TextLogs/LogLineTemplates.h"
#include "TextLogs/TextLogListener.h"
#include "TextLogs/TextLogRule.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/Console.h"
#include "platform/Descriptors.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/NetworkNames.h"
#include "qorCSFLib/CSFEventRegistry.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/SafeText.h"

namespace {

constexpr uint32_t kPassMs = 1000;
// A pass with a backlog reads this long before the next pass (and its scan
// when due) comes round.
constexpr std::chrono::milliseconds kPassReading{kPassMs};
// While it has a backlog the thread steps aside this often, for one
// interruptible millisecond, so it never keeps a processor to itself.
constexpr std::chrono::milliseconds kSliceLength{20};
constexpr uint32_t kLinesPerClockRead = 32;
constexpr uint32_t kTraceLevel = kCSFLogConsoleFlag | kCSFLogNotice;
constexpr uint32_t kFaultLevel = kCSFLogConsoleFlag | kCSFLogError;
constexpr size_t kMessageMax = 1023;

// A list handed out by the container, released with the scope.
struct NameListGuard {
    qgStringVector* m_pList = nullptr;
    ~NameListGuard() {
        if (m_pList != nullptr) {
            m_pList->Release();
        }
    }
};

// The first rule at or after `nFrom` whose expression matched, or the
// number of rules.  Most lines match none of many rules: the answers are
// looked at eight at a time.
size_t NextHit(const std::vector<uint8_t>& hits, size_t nFrom) {
    size_t n = nFrom;
    for (; n + 8 <= hits.size(); n += 8) {
        uint64_t qwEight = 0;
        std::memcpy(&qwEight, hits.data() + n, sizeof qwEight);
        if (qwEight != 0) {
            break;
        }
    }
    while (n < hits.size() && hits[n] == 0) {
        ++n;
    }
    return n;
}

// "/..." on this system, or a drive letter's "X:\...".
bool IsAbsolutePath(const std::string& strPath) {
    return strPath[0] == '/' || (strPath.size() >= 3 && strPath[1] == ':' && strPath[2] == '\\');
}

}  // namespace

CEngineTextLog::CEngineTextLog(IPolicyEventInterface* pPrototype)
    : CEngineBase("Text Log Monitor"),
      m_pPrototype(pPrototype),
      m_pDefaultReader(std::make_unique<CInitializeTextLogRules>()),
      m_pUserReader(std::make_unique<CInitializeUserTextLogRules>()) {
    m_strSubject.reserve(kParseBufferSize);
}

CEngineTextLog::~CEngineTextLog() {
    // The thread reads the listeners, groups and rules: it ends first.
    StopAndWait();
    DeleteListeners();
    ClearLogGroups();
    m_GroupRules.clear();
    m_RulesByGroup.clear();
    m_pDefaultReader.reset();
    m_pUserReader.reset();
}

int32_t CEngineTextLog::Oninit(uint32_t dwArgument) { return CEngineBase::Oninit(dwArgument); }

int32_t CEngineTextLog::ConfigureEventSections(CSFEventRegistry* pRegistry) {
    if (pRegistry == nullptr) {
        return 0;
    }
    pRegistry->RegisterSection(m_pDefaultReader->GetRulesSectionPath().c_str(), m_pPrototype, 1);
    pRegistry->RegisterSection(m_pUserReader->GetRulesSectionPath().c_str(), m_pPrototype, 1);
    return 0;
}

int32_t CEngineTextLog::PopulateRuleContainer(RuleContainer* pContainer,
                                              IPolicyContainer* pPolicy) {
    ReadLogGroups(pPolicy);
    m_pDefaultReader->ClearLogGroups();
    m_pUserReader->ClearLogGroups();
    for (const auto& entry : m_LogGroups) {
        m_pDefaultReader->AddLogGroup(entry.first);
        m_pUserReader->AddLogGroup(entry.first);
    }
    m_pDefaultReader->ReadRules(pContainer, pPolicy);
    m_pUserReader->ReadRules(pContainer, pPolicy);
    return 0;
}

int32_t CEngineTextLog::OnReloadPolicy(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::OnReloadPolicy(dwArgument);
    CheckRuleLogGroups();
    WarnOfGroupsWithoutFiles();
    return nResult;
}

void CEngineTextLog::WarnOfGroupsWithoutFiles() {
    // A mistyped folder would otherwise load as a policy that watches
    // nothing without a word.  Said on the loading thread, so that the
    // load's own report carries it; a file that appears later is still
    // found by a scan.  Whoever can write a watched folder decides how long
    // a look takes: the looks of one load end within a second, and a group
    // not told by then is not warned of.
    const auto tDeadline = std::chrono::steady_clock::now() + kLoadLookTime;
    for (const auto& [strName, pGroup] : m_LogGroups) {
        std::string strWhy;
        if (pGroup->IsUsed() && pGroup->NamesNoFile(strWhy, tDeadline)) {
            // Its console copy is the host's, so the host knows it was shown.
            CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "LogGroup (%s) watches no file: %s",
                    strName.c_str(), strWhy.c_str());
        }
    }
}

int32_t CEngineTextLog::OnStart(uint32_t dwArgument) {
    return m_RulesByGroup.empty() ? 0 : CEngineBase::OnStart(dwArgument);
}

int32_t CEngineTextLog::OnStopInit(uint32_t dwArgument) {
    return m_RulesByGroup.empty() ? 0 : CEngineBase::OnStopInit(dwArgument);
}

int32_t CEngineTextLog::OnResume(uint32_t dwArgument) {
    return m_RulesByGroup.empty() ? 0 : CEngineBase::OnResume(dwArgument);
}

int32_t CEngineTextLog::OnPauseInit(uint32_t dwArgument) {
    if (m_RulesByGroup.empty()) {
        return 0;
    }
    CSF_TRACE(kCSFLogInfo, "stopping the thread...");
    return CEngineBase::OnPauseInit(dwArgument);
}

int32_t CEngineTextLog::OnPause(uint32_t dwArgument) {
    if (m_RulesByGroup.empty()) {
        return 0;
    }
    CSF_TRACE(kCSFLogInfo, "stopping the thread...");
    return CEngineBase::OnPause(dwArgument);
}

int32_t CEngineTextLog::OnStop(uint32_t dwArgument) {
    const int32_t nResult = m_RulesByGroup.empty() ? 0 : CEngineBase::OnStop(dwArgument);
    DeleteListeners();
    return nResult;
}

void CEngineTextLog::DeleteListeners() {
    for (auto& entry : m_Listeners) {
        entry.second->Close();
    }
    m_Listeners.clear();
}

void CEngineTextLog::ClearLogGroups() {
    // A scan in progress walks the groups.
    m_Scan = ScanProgress();
    m_LogGroups.clear();
}

void CEngineTextLog::ReadLogGroups(IPolicyContainer* pPolicy) {
    ClearLogGroups();
    NameListGuard names;
    if (pPolicy == nullptr || !pPolicy->GetSubKeyNames(kLogGroupsKey, &names.m_pList) ||
        names.m_pList == nullptr) {
        return;
    }
    for (const std::string* pName = names.m_pList->Begin(); pName != names.m_pList->End();
         ++pName) {
        ReadLogGroup(pPolicy, *pName);
    }
}

void CEngineTextLog::ReadLogGroup(IPolicyContainer* pPolicy, const std::string& strName) {
    const std::string strKey = kLogGroupsKey + strName;
    const char* pszPath = pPolicy->GetText(strKey.c_str(), "Path", "None");
    const std::string strPaths = pszPath != nullptr ? pszPath : "None";
    if (strPaths == "None") {
        // Its console copy is the host's, so the host knows it was shown.
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "LogGroup (%s) doesn't have 'Path' value",
                strName.c_str());
        return;
    }
    std::unique_ptr<CLogGroup>& pGroup = m_LogGroups[strName];
    if (!pGroup) {
        pGroup = std::make_unique<CLogGroup>(strName);
    }
    std::string strMessage = "LogGroup (" + strName + ") with file (";
    // Pieces are taken as written: a blank is part of the name.
    size_t nStart = 0;
    while (nStart <= strPaths.size()) {
        size_t nEnd = strPaths.find('|', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strPaths.size();
        }
        std::string strPiece = strPaths.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (strPiece.empty()) {
            continue;
        }
        if (!IsAbsolutePath(strPiece)) {
            CSF_LOG(kCSFLogError | kCSFLogConsoleFlag, "%s cannot be monitored, Absolute path required",
                    strPiece.c_str());
            continue;
        }
        strMessage += strPiece + ",";
        pGroup->AddPath(std::move(strPiece));
    }
    const bool bNewestDefault = true;
    pGroup->SetNewestOnly(pPolicy->GetBool(strKey.c_str(), "NewestOnly", &bNewestDefault));
    strMessage += ") and monitor (";
    strMessage += pGroup->IsNewestOnly() ? "Newest" : "All";
    strMessage += ") setting is created";
    if (strMessage.size() > kMessageMax) {
        strMessage.resize(kMessageMax);
    }
    CSF_TRACE(kTraceLevel, "%s", strMessage.c_str());
}

bool CEngineTextLog::DescribeInput(std::string& strInput) {
    std::string strGroups;
    for (const auto& [strName, pGroup] : m_LogGroups) {
        if (pGroup->IsUsed()) {
            strGroups += (strGroups.empty() ? "" : ", ") + strName;
        }
    }
    strInput = strGroups.empty() ? "no rule names a defined log group: no file is read"
                                 : "log groups " + strGroups;
    return true;
}

void CEngineTextLog::CheckRuleLogGroups() {
    for (auto& entry : m_LogGroups) {
        entry.second->SetUsed(false);
    }
    m_RulesByGroup.clear();
    m_GroupRules.clear();
    RuleContainer* pRules = GetRuleContainer();
    if (pRules == nullptr) {
        return;
    }
    for (Rule* pRule : *pRules) {
        auto* pTextRule = dynamic_cast<CTextLogRule*>(pRule);
        if (pTextRule == nullptr || !pTextRule->IsEnabled()) {
            continue;
        }
        for (const std::string& strGroup : pTextRule->GetLogGroups()) {
            auto it = m_LogGroups.find(strGroup);
            if (it == m_LogGroups.end()) {
                plat::ConsolePrintf("ERROR: undefined LogGroup(%s) used in rule %s\n",
                                    strGroup.c_str(), pTextRule->GetName().c_str());
                continue;
            }
            it->second->SetUsed(true);
            m_RulesByGroup.emplace(strGroup, pTextRule);
        }
    }
    BuildGroupMatchers();
}

void CEngineTextLog::BuildGroupMatchers() {
    m_GroupRules.clear();
    for (const auto& [strGroup, pRule] : m_RulesByGroup) {
        std::unique_ptr<GroupRules>& pGroup = m_GroupRules[strGroup];
        if (!pGroup) {
            pGroup = std::make_unique<GroupRules>();
        }
        pGroup->m_Rules.push_back(pRule);
    }
    std::vector<const RegularExpression*> expressions;
    for (auto& [strGroup, pGroup] : m_GroupRules) {
        expressions.clear();
        for (const CTextLogRule* pRule : pGroup->m_Rules) {
            expressions.push_back(pRule->GetExpression());
        }
        pGroup->m_Matcher.Assign(expressions);
    }
}

bool CEngineTextLog::LookAt(const std::string& strFileName, plat::FileStatus& status,
                            uint32_t& dwError) {
    dwError = 0;
    status = plat::FileStatus();
    if (plat::GetFileStatus(strFileName.c_str(), status)) {
        return true;
    }
    dwError = plat::GetLastError();
    if (dwError == 0) {
        dwError = plat::kErrFileNotFound;
    }
    return false;
}

const CLogGroup* CEngineTextLog::FindLogGroup(const std::string& strName) const {
    auto it = m_LogGroups.find(strName);
    return it == m_LogGroups.end() ? nullptr : it->second.get();
}

const CTextLogListener* CEngineTextLog::FindListener(const std::string& strFileName) const {
    auto it = m_Listeners.find(strFileName);
    return it == m_Listeners.end() ? nullptr : it->second.get();
}

uint32_t CEngineTextLog::_doWork() {
    const uint32_t dwHostAddress = LogSensorAddress();
    // A scan an earlier run left unfinished starts afresh with this run.
    m_Scan = ScanProgress();
    for (uint32_t dwPass = 0; StopRequested() == 0; ++dwPass) {
        if (!RunPass(dwPass, dwHostAddress)) {
            m_Scan = ScanProgress();
            ReportEchoLeftOut(true);
            plat::ConsoleFlush();
            CSF_LOG(kCSFLogInfo, "Thread (inside loop) terminating...");
            return 0;
        }
        // With lines still waiting, or a scan to go on with, the next pass
        // comes at once.
        if (m_bBacklog || m_Scan.m_bActive) {
            Yield();
        } else {
            plat::ConsoleFlush();
            Sleep(kPassMs);
        }
    }
    // What the walk holds is let go with the run.
    m_Scan = ScanProgress();
    ReportEchoLeftOut(true);
    plat::ConsoleFlush();
    CSF_LOG(kCSFLogInfo, "Thread terminating...");
    return 0;
}

bool CEngineTextLog::RunPass(uint32_t dwPass, uint32_t dwHostAddress) {
    m_tSliceStart = std::chrono::steady_clock::now();
    m_bBacklog = false;
    m_bSpareKnown = false;
    if (dwPass % kScanInterval == 0 && !m_Scan.m_bActive) {
        BeginScan(dwPass == 0);
    }
    bool bScanned = false;
    if (m_Scan.m_bActive) {
        const ScanStep step = ContinueScan();
        if (step == ScanStep::kStopped) {
            return false;
        }
        if (step == ScanStep::kDone) {
            ++m_dwScan;
            ApplyScan();
            const bool bFirstScanOfRun = m_Scan.m_bFirstOfRun;
            m_Scan = ScanProgress();
            if (!ScanListeners(bFirstScanOfRun, dwHostAddress)) {
                return false;
            }
            bScanned = true;
        }
    }
    if (!FollowNames(bScanned, dwHostAddress)) {
        return false;
    }
    const ReadResult result = ReadListeners(dwHostAddress);
    m_bBacklog = result == ReadResult::kBacklog;
    if (result != ReadResult::kStopped) {
        ReportEchoLeftOut(false);
    }
    return result != ReadResult::kStopped;
}

void CEngineTextLog::ReportEchoLeftOut(bool bNow) {
    const uint64_t qwLeftOut = m_EchoBudget.LeftOutToReport(EchoBudget::Clock::now(), bNow);
    if (qwLeftOut != 0) {
        plat::ConsolePrintfGathered(
            "DEBUG: %" PRIu64 " lines read without their echo (the echo is kept to %.0f lines "
            "and %.0f bytes a second)\n",
            qwLeftOut, kEchoLinesPerSecond, kEchoBytesPerSecond);
    }
}

void CEngineTextLog::BeginScan(bool bFirstOfRun) {
    // The walk holds a few folders open: it waits while the descriptors
    // kept free are all there is.
    if (!TakeDescriptor(kWalkDescriptors)) {
        return;
    }
    m_Scan = ScanProgress();
    m_Scan.m_bActive = true;
    m_Scan.m_bFirstOfRun = bFirstOfRun;
    m_Scan.m_itGroup = m_LogGroups.begin();
    if (m_Scan.m_itGroup != m_LogGroups.end()) {
        m_Scan.m_itGroup->second->BeginScan(m_Scan.m_Group);
    }
}

CEngineTextLog::ScanStep CEngineTextLog::ContinueScan() {
    // A slice: at least kScanSliceWork units of work, then more while the
    // slice lasts; a stop is heeded between any two of them.
    const auto tEnd = std::chrono::steady_clock::now() + kScanSlice;
    while (m_Scan.m_itGroup != m_LogGroups.end()) {
        CLogGroup& group = *m_Scan.m_itGroup->second;
        uint32_t dwWork = kScanSliceWork;
        if (group.ContinueScan(m_Scan.m_Group, dwWork)) {
            group.ReportScan(m_Scan.m_Group);
            const std::vector<uint64_t>& identities = m_Scan.m_Group.Identities();
            m_Scan.m_Identities.insert(m_Scan.m_Identities.end(), identities.begin(), identities.end());
            m_Scan.m_bComplete = m_Scan.m_bComplete && m_Scan.m_Group.IsComplete();
            m_Scan.m_Found.push_back(
                {&group, m_Scan.m_Group.TakeFiles(), m_Scan.m_Group.IsComplete()});
            if (++m_Scan.m_itGroup != m_LogGroups.end()) {
                m_Scan.m_itGroup->second->BeginScan(m_Scan.m_Group);
            }
        }
        if (StopRequested() != 0) {
            return ScanStep::kStopped;
        }
        if (m_Scan.m_itGroup != m_LogGroups.end() && std::chrono::steady_clock::now() >= tEnd) {
            return ScanStep::kPaused;
        }
    }
    return ScanStep::kDone;
}

void CEngineTextLog::ApplyScan() {
    // A group whose scan could not read all it names keeps the files it
    // followed and did not meet: they are not known to be gone.
    std::vector<std::pair<const CLogGroup*, CTextLogListener*>> unread;
    for (const ScanProgress::GroupFiles& found : m_Scan.m_Found) {
        if (found.m_bComplete) {
            continue;
        }
        for (auto& [strFile, pListener] : m_Listeners) {
            const std::vector<std::string>& groups = pListener->m_GroupNames;
            if (std::find(groups.begin(), groups.end(), found.m_pGroup->GetName()) != groups.end()) {
                unread.emplace_back(found.m_pGroup, pListener.get());
            }
        }
    }
    for (ScanProgress::GroupFiles& found : m_Scan.m_Found) {
        ApplyGroupFiles(found, unread);
    }
    ForgetPlacesOfFilesGone();
}

void CEngineTextLog::ApplyGroupFiles(ScanProgress::GroupFiles& found,
                                     const std::vector<std::pair<const CLogGroup*, CTextLogListener*>>& unread) {
    const std::string strGroup = found.m_pGroup->GetName();
    size_t nFollowed = 0;
    m_Newcomers.clear();
    for (CLogGroup::FoundFile& file : found.m_Files) {
        auto it = m_Listeners.find(file.m_strName);
        if (it == m_Listeners.end()) {
            m_Newcomers.push_back(&file);
            continue;
        }
        RefreshListener(*it->second, strGroup);
        ++nFollowed;
    }
    for (const auto& [pGroup, pListener] : unread) {
        const std::vector<std::string>& groups = pListener->m_GroupNames;
        const bool bSeen = pListener->m_dwLastSeenScan == m_dwScan &&
                           std::find(groups.begin(), groups.end(), strGroup) != groups.end();
        if (pGroup == found.m_pGroup && !bSeen) {
            RefreshListener(*pListener, strGroup);
            ++nFollowed;
        }
    }
    // Files the group follows keep being followed; of the new ones, root's
    // and the sensor's own come first, so another account's flood does not
    // take their places.
    std::stable_partition(m_Newcomers.begin(), m_Newcomers.end(),
                          [](const CLogGroup::FoundFile* pFile) { return pFile->m_bTrustedOwner; });
    uint64_t qwOverBound = 0;
    uint64_t qwNoDescriptor = 0;
    for (CLogGroup::FoundFile* pFile : m_Newcomers) {
        // A second path of the group may name a file again.
        auto it = m_Listeners.find(pFile->m_strName);
        if (it != m_Listeners.end()) {
            RefreshListener(*it->second, strGroup);
        } else if (nFollowed >= CLogGroup::kMaxFilesFollowed) {
            ++qwOverBound;
        } else if (!TakeDescriptor()) {
            ++qwNoDescriptor;
        } else {
            CreateListener(*pFile, strGroup);
            ++nFollowed;
        }
    }
    found.m_pGroup->ReportFilesLeftOut(qwOverBound, qwNoDescriptor);
}

void CEngineTextLog::CreateListener(CLogGroup::FoundFile& file, const std::string& strGroup) {
    CSF_TRACE(kTraceLevel, "Creating TextLogListener for %s", file.m_strName.c_str());
    auto pListener = std::make_unique<CTextLogListener>(file.m_strName, &m_EchoBudget, &m_Losses);
    uint32_t dwError = 0;
    plat::FileStatus status;
    const bool bLooked = LookAt(file.m_strName, status, dwError);
    pListener->TakeMark(status);
    pListener->m_dwLastSeenScan = m_dwScan;
    pListener->m_dwState = CTextLogListener::kWaitingToOpen;
    pListener->m_bDescriptorTaken = true;
    pListener->m_GroupNames.push_back(strGroup);
    // A file the engine read before, under this name or another, goes on
    // where its reading ended.
    TakeRememberedPlace(*pListener, bLooked ? status.m_qwIdentity : file.m_qwIdentity);
    m_Listeners.emplace(std::move(file.m_strName), std::move(pListener));
}

void CEngineTextLog::TakeRememberedPlace(CTextLogListener& listener, uint64_t qwIdentity) {
    auto remembered = m_Remembered.find(qwIdentity);
    if (remembered != m_Remembered.end()) {
        listener.SetResumePoint(std::move(remembered->second.m_Point));
        m_Remembered.erase(remembered);
    }
}

void CEngineTextLog::TakePlaceOfNameMovedOn(CTextLogListener& listener, uint64_t qwIdentity) {
    const std::vector<std::string>& groups = listener.m_GroupNames;
    for (auto& entry : m_Listeners) {
        CTextLogListener& other = *entry.second;
        if (&other == &listener || !other.IsClosed() || other.HasPrevious() ||
            other.GetResumePoint().m_qwIdentity != qwIdentity || !other.GetResumePoint().IsSet() ||
            std::find_first_of(groups.begin(), groups.end(), other.m_GroupNames.begin(),
                               other.m_GroupNames.end()) == groups.end()) {
            continue;
        }
        plat::FileStatus status;
        uint32_t dwError = 0;
        const bool bMovedOn = !LookAt(entry.first, status, dwError) ? plat::IsAbsence(dwError)
                                                                    : status.m_qwIdentity != qwIdentity;
        if (bMovedOn) {
            listener.SetResumePoint(other.GetResumePoint());
            other.SetResumePoint(CTextLogListener::ResumePoint());
            return;
        }
    }
}

bool CEngineTextLog::ReadByAnother(const CTextLogListener& listener, uint64_t qwIdentity) const {
    const std::vector<std::string>& groups = listener.m_GroupNames;
    for (const auto& entry : m_Listeners) {
        const CTextLogListener& other = *entry.second;
        // Another group's rules have not seen the lines: its name reads them.
        if (&other != &listener && other.Reads(qwIdentity) &&
            std::find_first_of(groups.begin(), groups.end(), other.m_GroupNames.begin(),
                               other.m_GroupNames.end()) != groups.end()) {
            return true;
        }
    }
    return false;
}

void CEngineTextLog::RefreshListener(CTextLogListener& listener, const std::string& strGroup) {
    // The first group of a scan to name the file starts its list afresh.
    if (listener.m_dwLastSeenScan != m_dwScan) {
        listener.m_GroupNames.clear();
    }
    listener.m_GroupNames.push_back(strGroup);
    listener.m_dwLastSeenScan = m_dwScan;
    uint32_t dwError = 0;
    plat::FileStatus status;
    if (listener.m_dwState == CTextLogListener::kMonitoring) {
        if (!LookAt(listener.GetFileName(), status, dwError)) {
            CSF_TRACE(kTraceLevel, "ERROR: calculateMark returned %d", static_cast<int>(dwError));
            // Seen "before this scan": phase 2 stops it.  A look that
            // failed for another reason than the file's absence (no
            // descriptor left, say) tells nothing: the file is kept.
            if (plat::IsAbsence(dwError)) {
                listener.m_dwLastSeenScan = m_dwScan - 1;
            }
        } else if (status.m_qwIdentity != listener.m_qwMark) {
            // The pass opens the new file at once (FollowNames).
            listener.m_dwState = CTextLogListener::kSwitched;
            listener.TakeMark(status);
        }
    } else if (listener.m_dwState == CTextLogListener::kStopped) {
        if (LookAt(listener.GetFileName(), status, dwError)) {
            listener.TakeMark(status);
            listener.m_dwState = CTextLogListener::kWaitingToOpen;
            CSF_TRACE(kTraceLevel, "re-monitoring file: %s", listener.GetFileName().c_str());
        }
    }
}

bool CEngineTextLog::ScanListeners(bool bFirstScanOfRun, uint32_t dwHostAddress) {
    m_Removals.clear();
    for (auto& [strFile, pListener] : m_Listeners) {
        CTextLogListener& listener = *pListener;
        switch (listener.m_dwState) {
        case CTextLogListener::kMonitoring:
            if (listener.m_dwLastSeenScan < m_dwScan) {
                CSF_TRACE(kTraceLevel, "Stop monitoring file %s", strFile.c_str());
                // Its file is read on until the next scan lets it go: a
                // writer may not have moved on from a file renamed away.
                listener.m_dwState = CTextLogListener::kStopped;
                plat::FileStatus status;
                uint32_t dwError = 0;
                listener.m_bNameGone = !LookAt(strFile, status, dwError);
            }
            break;
        case CTextLogListener::kStopped:
            if (!Finish(listener, dwHostAddress)) {
                return false;
            }
            Remember(strFile, listener);
            m_Removals.push_back(strFile);
            break;
        case CTextLogListener::kWaitingToOpen:
            // What is left of the file it still has open (a rotated file,
            // one let go and come back) is read before the name is opened.
            if (!Finish(listener, dwHostAddress)) {
                return false;
            }
            OpenWaiting(listener, bFirstScanOfRun);
            break;
        case CTextLogListener::kSwitched:
            // Opened by this pass (FollowNames).
            break;
        default:
            CSF_LOG(kFaultLevel, "LogListener(%s) status is confused (%d)", strFile.c_str(),
                    static_cast<int>(listener.m_dwState));
            break;
        }
    }
    for (auto it = m_Removals.rbegin(); it != m_Removals.rend(); ++it) {
        m_Listeners.erase(*it);
    }
    return true;
}

void CEngineTextLog::OpenWaiting(CTextLogListener& listener, bool bFirstScanOfRun) {
    // Lines already there at the first scan of a run are history; a file
    // met later is read from its first line, or from where its reading
    // ended when it is one the engine has read before, or from where an
    // open that could not be made would have placed it.
    const bool bFromEnd = (bFirstScanOfRun && !listener.m_bRetryOpen) || listener.m_bRetryAtEnd;
    if (!bFromEnd && !listener.GetResumePoint().IsSet()) {
        // A file renamed within the watched folders (a rotation to a name
        // the group matches, a folder moved) is still read under its old
        // name until that name is let go: from its first line it would
        // give every line again.  It waits, then goes on from the place
        // the old name left.
        if (ReadByAnother(listener, listener.m_qwMark)) {
            listener.m_bRetryOpen = true;
            return;
        }
        TakeRememberedPlace(listener, listener.m_qwMark);
        if (!listener.GetResumePoint().IsSet()) {
            TakePlaceOfNameMovedOn(listener, listener.m_qwMark);
        }
    }
    const bool bDescriptor = std::exchange(listener.m_bDescriptorTaken, false) || TakeDescriptor();
    const bool bOpened = bDescriptor && (bFromEnd ? listener.Open(qorFileReader::kEndOfFile)
                                                  : listener.Resume(listener.GetResumePoint()));
    if (!bOpened && (!bDescriptor || listener.OpenMayBeRetried())) {
        // The file is there: it is opened at a later pass, where it stood
        // (at its end when its size was never seen).
        if (bFromEnd) {
            CTextLogListener::ResumePoint point;
            point.m_qwIdentity = listener.m_qwMark;
            point.m_llPosition = static_cast<int64_t>(listener.m_qwMarkSize);
            listener.m_bRetryAtEnd = listener.m_qwMark == 0;
            listener.SetResumePoint(std::move(point));
        }
        listener.m_bRetryOpen = true;
        return;
    }
    listener.m_bRetryOpen = false;
    listener.m_bRetryAtEnd = false;
    NoteOpened(listener, bOpened, !bFromEnd);
    listener.m_dwState = CTextLogListener::kMonitoring;
    listener.m_bNameGone = false;
}

bool CEngineTextLog::Finish(CTextLogListener& listener, uint32_t dwHostAddress) {
    if (!listener.IsReading()) {
        return true;
    }
    uint32_t dwTaken = 0;
    if (ReportLines(listener, dwHostAddress, 0, dwTaken) == ReadResult::kStopped) {
        return false;
    }
    LetGoPrevious(listener);
    listener.Close();
    return true;
}

bool CEngineTextLog::FollowNames(bool bScanned, uint32_t dwHostAddress) {
    for (auto& [strFile, pListener] : m_Listeners) {
        CTextLogListener& listener = *pListener;
        if (!RetireQuietPrevious(listener, dwHostAddress)) {
            return false;
        }
        // An open that failed for a reason that may pass is tried again.
        if (listener.m_dwState == CTextLogListener::kWaitingToOpen && listener.m_bRetryOpen) {
            OpenWaiting(listener, false);
            continue;
        }
        bool bSwitched = listener.m_dwState == CTextLogListener::kSwitched;
        // A monitored name was just looked at by the scan; a stopped one
        // is looked at when it had come to name nothing.
        const bool bMonitored = listener.m_dwState == CTextLogListener::kMonitoring && !bScanned;
        const bool bEmptied = listener.m_dwState == CTextLogListener::kStopped && listener.m_bNameGone;
        if (bMonitored || bEmptied) {
            plat::FileStatus status;
            uint32_t dwError = 0;
            // A name that names nothing for now: its file is read on, and
            // the next scan lets it go if it stays so.
            if (!LookAt(strFile, status, dwError)) {
                continue;
            }
            if (status.m_qwIdentity == listener.m_qwMark) {
                // The stopped file's name came back to it.
                listener.m_dwState = CTextLogListener::kMonitoring;
                listener.m_bNameGone = false;
                continue;
            }
            // Switched until the new file is open: a stop that comes while
            // the old one is read leaves the switch to the next pass.
            listener.TakeMark(status);
            listener.m_dwState = CTextLogListener::kSwitched;
            bSwitched = true;
        }
        if (bSwitched && !SwitchFile(listener, dwHostAddress)) {
            return false;
        }
    }
    return true;
}

bool CEngineTextLog::SwitchFile(CTextLogListener& listener, uint32_t dwHostAddress) {
    // Besides the name, one earlier file is followed: an older one is read
    // to its end and let go.
    if (listener.HasPrevious()) {
        uint32_t dwTaken = 0;
        if (ReportLines(listener, dwHostAddress, 0, dwTaken, true) == ReadResult::kStopped) {
            return false;
        }
        LetGoPrevious(listener);
    }
    CSF_TRACE(kTraceLevel, "File (%s) is switched. Restart the listener",
              listener.GetFileName().c_str());
    if (ReadByAnother(listener, listener.m_qwMark)) {
        // Another name of the group's file was renamed onto this one: it
        // is opened where that name's reading ends, once let go.
        listener.TurnToNewFile();
        listener.SetResumePoint(CTextLogListener::ResumePoint());
        listener.m_bRetryOpen = true;
        listener.m_dwState = CTextLogListener::kWaitingToOpen;
        return true;
    }
    // The new file takes one more descriptor while the old one is read on;
    // without one to spare, the old one is read to its end and let go
    // first, and gives its own.
    bool bDescriptor = TakeDescriptor();
    if (!bDescriptor && !listener.IsClosed()) {
        if (!Finish(listener, dwHostAddress)) {
            return false;
        }
        bDescriptor = true;
    }
    const bool bOpened = bDescriptor && listener.OpenNewFile();
    if (!bOpened && (!bDescriptor || listener.OpenMayBeRetried())) {
        // Opened from its first line at a later pass.
        listener.SetResumePoint(CTextLogListener::ResumePoint());
        listener.m_bRetryOpen = true;
        listener.m_dwState = CTextLogListener::kWaitingToOpen;
        return true;
    }
    listener.m_dwPreviousQuiet = 0;
    listener.m_llPreviousAt = listener.GetPreviousPosition();
    NoteOpened(listener, bOpened, true);
    listener.m_dwState = CTextLogListener::kMonitoring;
    listener.m_bNameGone = false;
    return true;
}

bool CEngineTextLog::RetireQuietPrevious(CTextLogListener& listener, uint32_t dwHostAddress) {
    if (!listener.HasPrevious()) {
        return true;
    }
    const int64_t llAt = listener.GetPreviousPosition();
    if (llAt != listener.m_llPreviousAt) {
        listener.m_llPreviousAt = llAt;
        listener.m_dwPreviousQuiet = 0;
        return true;
    }
    if (++listener.m_dwPreviousQuiet < kPreviousQuietPasses) {
        return true;
    }
    // Its writer has moved on: what came last is read, and it is let go.
    uint32_t dwTaken = 0;
    if (ReportLines(listener, dwHostAddress, 0, dwTaken, true) == ReadResult::kStopped) {
        return false;
    }
    LetGoPrevious(listener);
    return true;
}

void CEngineTextLog::NoteOpened(CTextLogListener& listener, bool bOpened, bool bFromStart) {
    const std::string& strFile = listener.GetFileName();
    if (!bOpened) {
        CSF_LOG(kFaultLevel, "Can't start to monitor file(%s)", strFile.c_str());
    } else {
        CSF_TRACE(kTraceLevel, "Starting to monitor file %s", strFile.c_str());
    }
    // The file the mark stands for was replaced or removed between the look
    // and the open (another rotation, or a file that lived less than a
    // pass): what it held was never read.  A name the open could not
    // reach for another reason (not a regular file, another account's link)
    // has been reported by the listener.
    plat::FileStatus status;
    uint32_t dwError = 0;
    const bool bGone = bOpened ? listener.GetIdentity() != listener.m_qwMark
                               : plat::IsAbsence(listener.GetOpenFailure()) &&
                                     !LookAt(strFile, status, dwError) && plat::IsAbsence(dwError);
    if (bFromStart && bGone && listener.m_qwMark != 0 && listener.m_qwMarkSize > 0) {
        ++m_Losses.m_qwVanished;
        m_Losses.m_qwBytes += listener.m_qwMarkSize;
        m_Losses.Report(PrintableText(strFile) + " named a file of " +
                        std::to_string(listener.m_qwMarkSize) +
                        " bytes that was gone before it could be read: its lines are lost");
    }
    if (bOpened) {
        listener.m_qwMark = listener.GetIdentity();
    }
}

void CEngineTextLog::LetGoPrevious(CTextLogListener& listener) {
    if (listener.HasPrevious()) {
        RememberPlace(listener.GetFileName(), listener.GetPreviousPoint());
        listener.ClosePrevious();
    }
}

void CEngineTextLog::Remember(const std::string& strFile, const CTextLogListener& listener) {
    RememberPlace(strFile, listener.GetResumePoint());
}

void CEngineTextLog::RememberPlace(const std::string& strFile, const CTextLogListener::ResumePoint& point) {
    if (!point.IsSet()) {
        return;
    }
    if (m_Remembered.size() >= kMaxRemembered && m_Remembered.count(point.m_qwIdentity) == 0) {
        auto oldest = m_Remembered.begin();
        for (auto it = m_Remembered.begin(); it != m_Remembered.end(); ++it) {
            if (m_dwScan - it->second.m_dwScan > m_dwScan - oldest->second.m_dwScan) {
                oldest = it;
            }
        }
        m_Remembered.erase(oldest);
        m_PlacesBound.LeftOut([]() -> InputBound& {
            return InputBounds::Instance().Bound("text logs let go by their groups",
                                                 "at most " + std::to_string(kMaxRemembered) +
                                                     " reading places kept",
                                                 "places");
        });
    }
    m_Remembered[point.m_qwIdentity] = Remembered{point, m_dwScan, strFile};
}

void CEngineTextLog::ForgetPlacesOfFilesGone() {
    // A place is kept for as long as its file is there to come back: a
    // scan that read all it names has met every such file; after one that
    // could not, a file is looked for under the name it was let go by.
    if (m_Scan.m_bComplete) {
        std::sort(m_Scan.m_Identities.begin(), m_Scan.m_Identities.end());
    }
    for (auto it = m_Remembered.begin(); it != m_Remembered.end();) {
        bool bThere = false;
        if (m_Scan.m_bComplete) {
            bThere = std::binary_search(m_Scan.m_Identities.begin(), m_Scan.m_Identities.end(), it->first);
        } else {
            plat::FileStatus status;
            uint32_t dwError = 0;
            bThere = LookAt(it->second.m_strName, status, dwError) ? status.m_qwIdentity == it->first
                                                                   : !plat::IsAbsence(dwError);
        }
        it = bThere ? std::next(it) : m_Remembered.erase(it);
    }
}

bool CEngineTextLog::TakeDescriptor(uint64_t qwCount) {
    if (!m_bSpareKnown) {
        m_qwSpare = plat::GetDescriptorBudget().Spare();
        m_bSpareKnown = true;
    }
    if (m_qwSpare < qwCount) {
        return false;
    }
    m_qwSpare -= qwCount;
    return true;
}

CEngineTextLog::ReadResult CEngineTextLog::ReadListeners(uint32_t dwHostAddress) {
    const auto tEnd = std::chrono::steady_clock::now() + kPassReading;
    // Rounds in which every file gives a turn's worth of lines, until none
    // has more or the pass has read long enough.
    for (;;) {
        bool bMore = false;
        for (auto& entry : m_Listeners) {
            uint32_t dwTaken = 0;
            if (ReportLines(*entry.second, dwHostAddress, kLinesPerTurn, dwTaken) ==
                ReadResult::kStopped) {
                return ReadResult::kStopped;
            }
            bMore = bMore || dwTaken == kLinesPerTurn;
        }
        if (!bMore) {
            return ReadResult::kDrained;
        }
        if (std::chrono::steady_clock::now() >= tEnd) {
            return ReadResult::kBacklog;
        }
    }
}

CEngineTextLog::ReadResult CEngineTextLog::ReportLines(CTextLogListener& listener,
                                                       uint32_t dwHostAddress, uint32_t dwMaxLines,
                                                       uint32_t& dwTaken, bool bPreviousOnly) {
    const std::string& strFile = listener.GetFileName();
    while (dwMaxLines == 0 || dwTaken < dwMaxLines) {
        const char* pszLine = bPreviousOnly ? listener.ReadPreviousLine() : listener.ReadNextLine();
        if (pszLine == nullptr) {
            return ReadResult::kDrained;
        }
        ++dwTaken;
        // A line taken from the file is reported under every group before
        // a stop is heeded, so none of its reports is lost.
        for (const std::string& strGroup : listener.m_GroupNames) {
            ReportLine(strGroup, strFile, dwHostAddress, pszLine);
        }
        if (!Breathe()) {
            return ReadResult::kStopped;
        }
    }
    return ReadResult::kBacklog;
}

bool CEngineTextLog::Breathe() {
    if (StopRequested() != 0) {
        return false;
    }
    // The clock is read every few lines: a line takes far less than a
    // slice.
    if (++m_dwSinceClock < kLinesPerClockRead) {
        return true;
    }
    m_dwSinceClock = 0;
    const auto tNow = std::chrono::steady_clock::now();
    if (tNow - m_tSliceStart < kSliceLength) {
        return true;
    }
    plat::ConsoleFlush();
    Yield();
    m_tSliceStart = std::chrono::steady_clock::now();
    return StopRequested() == 0;
}

void CEngineTextLog::ResolvePair(const std::string& strTemplate, const std::string& strGroup,
                                 const std::string& strFile, uint32_t dwHostAddress,
                                 std::string& strValue) {
    if (strTemplate == "@File") {
        strValue = strFile;
    } else if (strTemplate == "@Group") {
        strValue = strGroup;
    } else if (strTemplate == "@Host") {
        strValue = LogHostName();
    } else if (strTemplate == "@HostIP") {
        char szAddress[plat::kDottedAddressSize];
        strValue = plat::FormatDottedAddress(dwHostAddress, szAddress);
    } else {
        ResolveLineTemplate(strTemplate, m_strSubject, strValue);
    }
}

void CEngineTextLog::ReportLine(const std::string& strGroup, const std::string& strFile,
                                uint32_t dwHostAddress, const char* pszLine) {
    if (pszLine == nullptr) {
        return;
    }
    const auto found = m_GroupRules.find(strGroup);
    if (found == m_GroupRules.end()) {
        return;
    }
    const GroupRules& group = *found->second;
    group.m_Matcher.Match(pszLine, m_RuleHits);
    bool bSubjectReady = false;
    // With debug logging on, the trace says what each rule of the group made
    // of the line, so every rule is visited; otherwise only the hits are.
    const bool bEveryRule = IsDebugLoggingEnabled();
    auto next = [&](size_t nFrom) { return bEveryRule ? nFrom : NextHit(m_RuleHits, nFrom); };
    for (size_t nRule = next(0); nRule < group.m_Rules.size(); nRule = next(nRule + 1)) {
        CTextLogRule* pRule = group.m_Rules[nRule];
        if (pRule == nullptr) {
            continue;
        }
        if (m_RuleHits[nRule] == 0) {
            CSF_TRACE(kCSFLogInfo, "TextLog: rule \"%s\" of group %s does not match",
                      pRule->GetName().c_str(), strGroup.c_str());
            continue;
        }
        CSF_TRACE(kCSFLogInfo, "TextLog: rule \"%s\" of group %s matches", pRule->GetName().c_str(),
                  strGroup.c_str());
        if (!bSubjectReady) {
            // Templates see the first 1,023 characters of the line.
            m_strSubject.assign(pszLine, ::strnlen(pszLine, kParseBufferSize - 1));
            bSubjectReady = true;
        }
        auto* pRecord = new (std::nothrow) AgentEventInfoDefault(pRule, 0);
        if (pRecord == nullptr) {
            continue;
        }
        pRecord->ClearInfoPairs();
        pRecord->m_dwSourceAddress = LogSensorAddress();
        pRecord->m_bSourceAddressSet = true;
        pRecord->m_dwDestinationAddress = dwHostAddress;
        pRecord->m_bDestinationAddressSet = true;
        for (const InfoPair& pair : pRule->GetInfoPairs()) {
            ResolvePair(pair.m_strValue, strGroup, strFile, dwHostAddress, m_strValue);
            pRecord->AddInfoPair(pair.m_strName, m_strValue);
        }
        ExecuteResponses(pRecord);
    }
}
