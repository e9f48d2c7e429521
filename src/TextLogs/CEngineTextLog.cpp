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
#include "qorToolsLib/CountText.h"

namespace {

constexpr uint32_t kPassMs = 1000;
// While it has a backlog the thread steps aside this often, for one
// interruptible millisecond, so it never keeps a processor to itself.
constexpr std::chrono::milliseconds kSliceLength{20};
constexpr uint32_t kLinesPerClockRead = 32;
constexpr uint32_t kTraceLevel = kCSFLogConsoleFlag | kCSFLogNotice;
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
    DropUnusedTables();
    WarnOfGroupsWithoutFiles();
    return nResult;
}

void CEngineTextLog::DropUnusedTables() {
    // A group that comes back later starts afresh: its files' lines then
    // are history, as at a start.  What it reached of its bounds goes with
    // it.  Lines its files gained since the engine last read them are
    // matched by no rule now: they are said and counted, not dropped
    // unseen.
    for (auto it = m_GroupFiles.begin(); it != m_GroupFiles.end();) {
        const CLogGroup* pGroup = FindLogGroup(it->first);
        if (pGroup != nullptr && pGroup->IsUsed()) {
            // Its paths changed: the bounds its files reached under the
            // ones before end now, not at its next scan.
            it->second->SetInput(pGroup->DescribeInput());
            ++it;
            continue;
        }
        it->second->SayUnreadAtRemoval();
        it->second->EndBounds();
        it = m_GroupFiles.erase(it);
    }
    for (auto& [strName, pGroup] : m_LogGroups) {
        if (!pGroup->IsUsed()) {
            pGroup->EndBounds();
        }
    }
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
    m_bPaused = false;
    return m_RulesByGroup.empty() ? 0 : CEngineBase::OnStart(dwArgument);
}

int32_t CEngineTextLog::OnStopInit(uint32_t dwArgument) {
    return m_RulesByGroup.empty() ? 0 : CEngineBase::OnStopInit(dwArgument);
}

int32_t CEngineTextLog::OnResume(uint32_t dwArgument) {
    m_bPaused = false;
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
    m_bPaused = true;
    if (m_RulesByGroup.empty()) {
        return 0;
    }
    CSF_TRACE(kCSFLogInfo, "stopping the thread...");
    return CEngineBase::OnPause(dwArgument);
}

int32_t CEngineTextLog::OnStop(uint32_t dwArgument) {
    const int32_t nResult = m_RulesByGroup.empty() ? 0 : CEngineBase::OnStop(dwArgument);
    if (LeavesThreadRunning()) {
        // Its thread still reads the tables: they stay with it.
        return nResult;
    }
    if (m_bPaused) {
        // Stopped while paused: no file is read any more, and what the
        // files gained since they were last read is said, with the files
        // made or renamed into place meanwhile, which the stop's look for
        // the groups' names meets.
        LookAtStop(std::chrono::steady_clock::now() + m_StopReading / 2);
        CLogGroupFiles::UnreadAtStop unread;
        for (auto& [strGroup, pFiles] : m_GroupFiles) {
            pFiles->SayUnreadAtRemoval(&unread);
        }
        SayUnreadAtStop(unread, "the text logs were paused: what their files gained since is lost");
    } else {
        // The thread has ended, or never ran past its gate: nothing reads
        // the files after this.
        ReadAtStop();
    }
    DeleteListeners();
    m_LookReserve.Release();
    return nResult;
}

void CEngineTextLog::DeleteListeners() { m_GroupFiles.clear(); }

void CEngineTextLog::ClearLogGroups() {
    // A scan in progress walks the groups.
    m_Scan = ScanProgress();
    m_LogGroups.clear();
}

void CEngineTextLog::ReadLogGroups(IPolicyContainer* pPolicy) {
    // A group read again with the same paths is kept, and with it what its
    // bounds have counted: a reload does not count again what a scan left
    // out before it.
    std::map<std::string, std::unique_ptr<CLogGroup>> previous = std::move(m_LogGroups);
    ClearLogGroups();
    NameListGuard names;
    if (pPolicy != nullptr && pPolicy->GetSubKeyNames(kLogGroupsKey, &names.m_pList) &&
        names.m_pList != nullptr) {
        for (const std::string* pName = names.m_pList->Begin(); pName != names.m_pList->End();
             ++pName) {
            ReadLogGroup(pPolicy, *pName, previous);
        }
    }
    // Removed, or its paths changed: the group's bounds name an input that
    // is gone.
    for (auto& [strName, pGroup] : previous) {
        if (pGroup != nullptr) {
            pGroup->EndBounds();
        }
    }
}

void CEngineTextLog::ReadLogGroup(IPolicyContainer* pPolicy, const std::string& strName,
                                  std::map<std::string, std::unique_ptr<CLogGroup>>& previous) {
    const std::string strKey = kLogGroupsKey + strName;
    const char* pszPath = pPolicy->GetText(strKey.c_str(), "Path", "None");
    const std::string strPaths = pszPath != nullptr ? pszPath : "None";
    if (strPaths == "None") {
        // Its console copy is the host's, so the host knows it was shown.
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "LogGroup (%s) doesn't have 'Path' value",
                strName.c_str());
        return;
    }
    std::vector<std::string> paths;
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
        paths.push_back(std::move(strPiece));
    }
    std::unique_ptr<CLogGroup>& pGroup = m_LogGroups[strName];
    auto before = previous.find(strName);
    if (before != previous.end() && before->second->GetPaths() == paths) {
        pGroup = std::move(before->second);
    } else {
        pGroup = std::make_unique<CLogGroup>(strName);
        for (std::string& strPath : paths) {
            pGroup->AddPath(std::move(strPath));
        }
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
    if (strGroups.empty()) {
        strInput = "no rule names a defined log group: no file is read";
        return true;
    }
    strInput = "log groups " + strGroups;
    // A process whose descriptors leave too few above the floor kept free
    // cannot scan a folder, so its groups follow nothing.
    const plat::DescriptorBudget budget = plat::GetDescriptorBudget();
    if (budget.Spare() >= kScanReserve) {
        return true;
    }
    strInput += " follow no file: a scan needs " + std::to_string(kScanReserve) + " descriptors above the " +
                std::to_string(budget.m_qwFloor) + " kept free of the process's " +
                std::to_string(budget.m_qwLimit) + " for sockets, decoy connections and outputs, and " +
                std::to_string(budget.Spare()) + (budget.Spare() == 1 ? " is" : " are") + " to spare";
    return false;
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

const CLogGroup* CEngineTextLog::FindLogGroup(const std::string& strName) const {
    auto it = m_LogGroups.find(strName);
    return it == m_LogGroups.end() ? nullptr : it->second.get();
}

const CLogGroupFiles* CEngineTextLog::FindGroupFiles(const std::string& strGroup) const {
    auto it = m_GroupFiles.find(strGroup);
    return it == m_GroupFiles.end() ? nullptr : it->second.get();
}

const CTextLogListener* CEngineTextLog::FindListener(const std::string& strFileName) const {
    for (const auto& [strGroup, pFiles] : m_GroupFiles) {
        if (const CLogGroupFiles::Entry* pEntry = pFiles->FindEntry(strFileName)) {
            return pEntry->m_pReader.get();
        }
    }
    return nullptr;
}

size_t CEngineTextLog::GetListenerCount() const {
    size_t nCount = 0;
    for (const auto& [strGroup, pFiles] : m_GroupFiles) {
        nCount += pFiles->GetEntryCount();
    }
    return nCount;
}

CLogGroupFiles& CEngineTextLog::FilesOf(const std::string& strGroup) {
    std::unique_ptr<CLogGroupFiles>& pFiles = m_GroupFiles[strGroup];
    if (!pFiles) {
        CLogGroupFiles::Engine& engine = *this;
        pFiles = std::make_unique<CLogGroupFiles>(strGroup, engine);
    }
    return *pFiles;
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
    m_dwHostAddress = dwHostAddress;
    m_bBacklog = false;
    m_bSpareKnown = false;
    // The stop's look is held back its descriptors while some are to
    // spare, and a scan's besides.
    if (m_LookReserve.Held() < kStopReserve && Spare() >= kStopReserve + kScanReserve) {
        const uint64_t qwHeld = m_LookReserve.Held();
        m_LookReserve.Fill(kStopReserve);
        m_qwSpare -= std::min(m_qwSpare, m_LookReserve.Held() - qwHeld);
    }
    if (dwPass % kScanInterval == 0 && !m_Scan.m_bActive) {
        BeginScan();
    }
    if (m_Scan.m_bActive && ContinueScan() == ScanStep::kStopped) {
        return false;
    }
    for (auto& [strGroup, pFiles] : m_GroupFiles) {
        if (!pFiles->FollowNames()) {
            return false;
        }
    }
    const ReadResult result = ReadListeners();
    m_bBacklog = result == ReadResult::kBacklog;
    if (result != ReadResult::kStopped) {
        ReportEchoLeftOut(false);
    }
    return result != ReadResult::kStopped;
}

void CEngineTextLog::ReportEchoLeftOut(bool bNow) {
    const uint64_t qwLeftOut = m_EchoBudget.LeftOutToReport(EchoBudget::Clock::now(), bNow);
    if (qwLeftOut != 0) {
        plat::ConsolePrintfGathered("DEBUG: %s\n",
                                    m_EchoBudget.LeftOutText(qwLeftOut, "line read", "lines read").c_str());
    }
}

uint64_t& CEngineTextLog::Spare() {
    if (!m_bSpareKnown) {
        m_qwSpare = plat::GetDescriptorBudget().Spare();
        // A scan's walk keeps its share while it goes on.
        m_qwSpare -= std::min(m_qwSpare, m_Scan.m_qwWalkShare);
        m_bSpareKnown = true;
    }
    return m_qwSpare;
}

bool CEngineTextLog::TakeFileDescriptor() {
    // The last few are a scan's: files that took them would leave the
    // group unable to look for its files again.
    // Once the stop's look is done no scan comes: its reading takes all
    // but what an open's own look through the file's folders holds.
    uint64_t& qwSpare = Spare();
    const uint64_t qwKept = m_bReadingAtStop && !m_Scan.m_bActive ? kWalkOverhead : kScanReserve;
    if (qwSpare < qwKept + 1) {
        return false;
    }
    --qwSpare;
    ++m_qwTaken;
    return true;
}

void CEngineTextLog::GiveBackFileDescriptor() {
    if (m_bReadingAtStop) {
        ++Spare();
        ++m_qwGivenBack;
    }
}

void CEngineTextLog::BeginScan() {
    // The walk holds a folder open at each level it goes down, and a few
    // more: it goes as deep as the descriptors to spare allow, and waits
    // while they do not allow one level.
    const uint64_t qwSpare = Spare();
    if ((qwSpare < kScanReserve) != m_bScanShort) {
        m_bScanShort = qwSpare < kScanReserve;
        CSFNoticeDescriptionChanged(m_bScanShort ? "text-log scans short of descriptors"
                                                 : "text-log scans have descriptors again");
    }
    if (qwSpare < kScanReserve) {
        for (auto& [strName, pGroup] : m_LogGroups) {
            if (pGroup->IsUsed()) {
                pGroup->ReportScanWithoutDescriptors(kScanReserve);
            }
        }
        return;
    }
    m_Scan = ScanProgress();
    m_Scan.m_bActive = true;
    m_Scan.m_dwMaxDepth = static_cast<uint32_t>(
        std::min<uint64_t>(WildcardLimits::kDefaultMaxDepth, qwSpare - kWalkOverhead));
    m_Scan.m_qwWalkShare = m_Scan.m_dwMaxDepth + kWalkOverhead;
    m_qwSpare -= m_Scan.m_qwWalkShare;
    m_Scan.m_itGroup = m_LogGroups.begin();
    BeginGroupScan();
}

void CEngineTextLog::BeginGroupScan() {
    if (m_Scan.m_itGroup == m_LogGroups.end()) {
        return;
    }
    CLogGroup& group = *m_Scan.m_itGroup->second;
    CLogGroup::FileDates* pDates = group.IsUsed() ? &FilesOf(group.GetName()).Dates() : nullptr;
    group.BeginScan(m_Scan.m_Group, m_Scan.m_dwMaxDepth, pDates, m_bReadingAtStop);
}

CEngineTextLog::ScanStep CEngineTextLog::ContinueScan() {
    // A slice: at least kScanSliceWork units of work, then more while the
    // slice lasts; a stop is heeded between any two of them.
    const auto tEnd = std::chrono::steady_clock::now() + m_ScanSlice;
    while (m_Scan.m_itGroup != m_LogGroups.end()) {
        CLogGroup& group = *m_Scan.m_itGroup->second;
        uint32_t dwWork = kScanSliceWork;
        if (group.ContinueScan(m_Scan.m_Group, dwWork)) {
            group.ReportScan(m_Scan.m_Group);
            if (group.IsUsed()) {
                // Between two groups the walk holds no folder: its share
                // serves the files taken up, and what is left of it the
                // next group's walk.
                uint64_t& qwSpare = Spare();
                qwSpare += m_Scan.m_qwWalkShare;
                FilesOf(group.GetName()).ApplyScan(group, m_Scan.m_Group);
                qwSpare -= std::min(qwSpare, m_Scan.m_qwWalkShare);
            }
            ++m_Scan.m_itGroup;
            BeginGroupScan();
        }
        // The stop's own look goes on whatever the stop asks.
        if (!m_bReadingAtStop && StopRequested() != 0) {
            return ScanStep::kStopped;
        }
        if (m_Scan.m_itGroup != m_LogGroups.end() && std::chrono::steady_clock::now() >= tEnd) {
            return ScanStep::kPaused;
        }
    }
    m_Scan = ScanProgress();
    ++m_qwScansDone;
    return ScanStep::kDone;
}

CEngineTextLog::ReadResult CEngineTextLog::ReadListeners() {
    const auto tEnd = std::chrono::steady_clock::now() + m_PassReading;
    for (;;) {
        bool bMore = false;
        for (auto& [strGroup, pFiles] : m_GroupFiles) {
            if (pFiles->ReadRound(kLinesPerTurn, bMore) == ReadResult::kStopped) {
                return ReadResult::kStopped;
            }
        }
        if (!bMore) {
            return ReadResult::kDrained;
        }
        if (std::chrono::steady_clock::now() >= tEnd) {
            return ReadResult::kBacklog;
        }
    }
}

bool CEngineTextLog::ReportRead(const std::string& strGroup, const std::string& strFile, std::string_view line) {
    ReportLine(strGroup, strFile, m_dwHostAddress, line);
    return Breathe();
}

void CEngineTextLog::ReadAtStop() {
    // Nothing reads these files after the stop: what their writers added
    // last, an unfinished line included, is matched now or said lost.
    // The stop's time is shared among the files in turns, as in a pass:
    // small backlogs all come out, and one large one cannot keep the
    // others from their turns.
    m_bReadingAtStop = true;
    m_dwHostAddress = LogSensorAddress();
    const auto tStart = std::chrono::steady_clock::now();
    const auto tDeadline = tStart + m_StopReading;
    // What came since the last scan (files made, renamed into place, or
    // begun anew under a followed name) is input as much as what the files
    // met gained: the stop looks for the groups' names once more, within
    // half its time, and reads the files met then from their first bytes.
    LookAtStop(tStart + m_StopReading / 2);
    CLogGroupFiles::UnreadAtStop unread;
    for (bool bMore = true; bMore && std::chrono::steady_clock::now() < tDeadline;) {
        bMore = false;
        const uint64_t qwGivenBack = m_qwGivenBack;
        for (auto& [strGroup, pFiles] : m_GroupFiles) {
            pFiles->ReadTurnAtStop(kLinesPerTurn, tDeadline, bMore, unread);
        }
        // A file read to its end gave its descriptor back: a file the look
        // met with none to spare is opened at the next turn.
        for (auto it = m_GroupFiles.begin(); !bMore && m_qwGivenBack != qwGivenBack && it != m_GroupFiles.end();
             ++it) {
            bMore = it->second->HasWaiting();
        }
    }
    for (auto& [strGroup, pFiles] : m_GroupFiles) {
        pFiles->LeaveAtStop(unread);
    }
    m_bReadingAtStop = false;
    SayUnreadAtStop(unread, "what " + std::to_string(m_StopReading.count()) +
                                " ms of reading at the stop left of the text logs' files is lost");
    ReportEchoLeftOut(true);
    plat::ConsoleFlush();
}

void CEngineTextLog::LookAtStop(std::chrono::steady_clock::time_point tDeadline) {
    // No rule names a group: nothing was followed, and nothing is owed.
    if (m_RulesByGroup.empty()) {
        return;
    }
    const bool bAtStop = m_bReadingAtStop;
    m_bReadingAtStop = true;
    // A scan left unfinished is given up: this one takes every group
    // afresh, bounded as any scan is, in slices until done or until its
    // time is up.  It opens into what the descriptors spare and those held
    // back for it, given back to the process now: so it is made even when
    // the sensor's other parts, or the files, have taken all the others.
    m_Scan = ScanProgress();
    const uint64_t qwEntitled = plat::GetDescriptorBudget().Spare() + m_LookReserve.Held();
    m_LookReserve.Release();
    m_qwSpare = qwEntitled;
    m_bSpareKnown = true;
    const uint64_t qwTakenBefore = m_qwTaken;
    BeginScan();
    while (m_Scan.m_bActive && std::chrono::steady_clock::now() < tDeadline) {
        ContinueScan();
    }
    if (m_Scan.m_bActive) {
        const auto nDone = static_cast<size_t>(std::distance(m_LogGroups.begin(), m_Scan.m_itGroup));
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag,
                "at the stop: the last look for the text logs' files ran out of its time with %zu of %zu log "
                "groups looked at: files made in the others since their last scan are not read",
                nDone, m_LogGroups.size());
    }
    // The walk holds no folder any more: what the files met did not take
    // serves the look at the names and the reading.
    m_Scan = ScanProgress();
    m_qwSpare = qwEntitled - std::min(qwEntitled, m_qwTaken - qwTakenBefore);
    // A followed name a file has come under since the last pass (a log
    // renamed away and begun anew) leads to that file now.
    for (auto& [strGroup, pFiles] : m_GroupFiles) {
        pFiles->LookAtNames();
    }
    m_bReadingAtStop = bAtStop;
}

void CEngineTextLog::SayUnreadAtStop(const CLogGroupFiles::UnreadAtStop& unread, const std::string& strWhat) {
    // Each file is named within the limit of the losses' reports: this one
    // line counts them all, however many there were.
    if (unread.m_qwFiles == 0) {
        return;
    }
    CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "at the stop: %s: %s with %" PRIu64 " bytes not read (%" PRIu64
            " of them named above)",
            strWhat.c_str(), CountText(unread.m_qwFiles, "file", "files").c_str(), unread.m_qwBytes,
            unread.m_qwNamed);
    // The host's tally of the stop counts it too, from the numbers.
    CSFNoticeUnreadAtStop(unread.m_qwFiles, unread.m_qwBytes);
}

bool CEngineTextLog::Breathe() {
    // The stop's reading is bounded by its own time: the stop asked for it.
    if (m_bReadingAtStop) {
        return true;
    }
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
        ResolveLineTemplate(strTemplate, m_svSubject, strValue);
    }
}

void CEngineTextLog::ReportLine(const std::string& strGroup, const std::string& strFile,
                                uint32_t dwHostAddress, std::string_view line) {
    const auto found = m_GroupRules.find(strGroup);
    if (found == m_GroupRules.end()) {
        return;
    }
    const GroupRules& group = *found->second;
    group.m_Matcher.Match(line, m_RuleHits);
    // Templates read the whole line the rules were matched against, where
    // it lies: a value cut short of it (at a NUL, say) would hide whatever
    // the line's writer put beyond the cut (a user, an origin).
    m_svSubject = line;
    // With debug logging on, the trace says what each rule of the group made
    // of the line, so every rule is visited; otherwise only the hits are.
    const bool bEveryRule = IsDebugLoggingEnabled();
    auto next = [&](size_t nFrom) { return bEveryRule ? nFrom : RegularExpressionSet::NextHit(m_RuleHits, nFrom); };
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
