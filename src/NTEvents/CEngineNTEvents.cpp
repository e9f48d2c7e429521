#include "NTEvents/CEngineNTEvents.h"

#include <strings.h>

#include <algorithm>
#include <ctime>
#include <new>
#include <set>
#include <tuple>
#include <utility>

#include "Common/InputBounds.h"
#include "Common/RuleContainer.h"
#include "Common/SensorSettings.h"
#include "NTEvents/Audit/InitializeStrategy.h"
#include "NTEvents/CNTEventRule.h"
#include "NTEvents/EventLogInfo.h"
#include "NTEvents/InitializeNTEventRules.h"
#include "platform/ChangeEvent.h"
#include "platform/EventLog.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "qorCSFLib/CSFEventRegistry.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/CountText.h"

namespace {

// An event log as its bounds name it.
std::string LogBoundInput(const std::string& strLog) { return "event log " + strLog; }

constexpr const char kLogKeys[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
constexpr uint32_t kForwardsRead = plat::kEventLogSequentialRead | plat::kEventLogForwardsRead;
constexpr uint32_t kBackwardsRead = plat::kEventLogSequentialRead | plat::kEventLogBackwardsRead;
constexpr uint32_t kObjectOpenEventId = 560;
constexpr uint32_t kObjectCloseEventId = 562;
constexpr uint32_t kObjectChangeEventId = 567;
constexpr uint32_t kPolicyChangeEventId = 612;
constexpr const char kOpenedSuffix[] = "_opened";

int64_t NowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

bool LogIsRegistered(const std::string& strName) {
    plat::RegistryKey key = 0;
    if (plat::RegistryOpenKey(plat::kRegistryLocalMachine, (kLogKeys + strName).c_str(), &key) != 0) {
        return false;
    }
    plat::RegistryCloseKey(key);
    return true;
}

uint32_t RecordWord(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

CEngineNTEvents::CEngineNTEvents(IPolicyEventInterface* pPrototype)
    : CEngineBase("NTEventlog Engine"),
      m_pPrototype(pPrototype),
      m_pDefaultReader(std::make_unique<CInitializeNTEventRules>()),
      m_pUserReader(std::make_unique<CInitializeUserNTEventRules>()) {}

CEngineNTEvents::~CEngineNTEvents() {
    // The thread reads the logs and the rules: it ends before they go.
    StopAndWait();
    m_pEventIdTable.reset();
    for (size_t i = m_LogNames.size(); i-- > 0;) {
        CloseLog(i);
    }
}

int32_t CEngineNTEvents::Oninit(uint32_t dwArgument) {
    return CEngineBase::Oninit(dwArgument);
}

int32_t CEngineNTEvents::OnStart(uint32_t dwArgument) {
    m_bLogsTried = false;
    m_bPaused = false;
    return CEngineBase::OnStart(dwArgument);
}

int32_t CEngineNTEvents::OnStopInit(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::OnStopInit(dwArgument);
    WakeThread();
    return nResult;
}

void CEngineNTEvents::WakeThread() {
    // The thread waits on the logs' change events up to a second at a
    // time: woken, it sees the stop at once, and a reload keeps every
    // engine's input waiting that much less.  The event it takes for it
    // only has the next thread look at its log once more.
    if (!m_WaitArray.empty()) {
        m_WaitArray.front()->Set();
    }
}

int32_t CEngineNTEvents::OnStop(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::OnStop(dwArgument);
    // A thread that did not end still reads the logs: they stay with it.
    if (!IsRunning()) {
        ReadAtStop();
    }
    return nResult;
}

void CEngineNTEvents::ReadAtStop() {
    if (m_LogNames.empty()) {
        return;
    }
    std::vector<uint8_t> buffer(kRecordBufferSize);
    m_ClearedAtStop.assign(m_LogNames.size(), 0);
    if (!m_bPaused) {
        // In turns, as the thread reads them: one flooded log cannot keep
        // the others from theirs.
        m_bReadingAtStop = true;
        const auto tDeadline = std::chrono::steady_clock::now() + m_StopReading;
        m_tStopDeadline = tDeadline;
        for (bool bMore = true; bMore && std::chrono::steady_clock::now() < tDeadline;) {
            bMore = false;
            for (size_t i = 0; i < m_LogNames.size() && std::chrono::steady_clock::now() < tDeadline; ++i) {
                if (!ReopenCleared(i)) {
                    continue;
                }
                // A log cleared meanwhile is read from its new start at the
                // next turn.
                const bool bLeft = ReadLog(i, buffer);
                bMore = bMore || bLeft || m_LogHandles[i] == nullptr;
            }
        }
        m_bReadingAtStop = false;
    }
    uint64_t qwUnread = 0;
    std::string strLogs;
    for (size_t i = 0; i < m_LogNames.size(); ++i) {
        const uint64_t qwLog = m_ClearedAtStop[i] + CountUnread(i);
        if (qwLog != 0) {
            qwUnread += qwLog;
            strLogs += (strLogs.empty() ? "" : ", ") + m_LogNames[i] + " " + std::to_string(qwLog);
        }
    }
    if (qwUnread == 0) {
        return;
    }
    const std::string strWhy =
        m_bPaused ? std::string("the event logs were paused: what was written to them since is lost")
                  : "what " + std::to_string(m_StopReading.count()) +
                        " ms of reading at the stop left of the event logs is lost";
    CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "at the stop: %s: %s not read (%s)", strWhy.c_str(),
            CountText(qwUnread, "record", "records").c_str(), strLogs.c_str());
    // The host's tally of the stop counts them too.
    CSFNoticeLostAtStop(qwUnread, "event-log records left unread");
}

int32_t CEngineNTEvents::OnPauseInit(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::OnPauseInit(dwArgument);
    WakeThread();
    return nResult;
}

int32_t CEngineNTEvents::OnPause(uint32_t dwArgument) {
    m_bPaused = !IsReload(dwArgument);
    return CEngineBase::OnPause(dwArgument);
}

int32_t CEngineNTEvents::OnResume(uint32_t dwArgument) {
    // A log that could not be opened is tried at every resume, as a reload
    // that reads no policy gives this engine alone; one that a policy load
    // has just tried is not tried twice.  The logs that are open keep their
    // places whatever comes between.
    if (!std::exchange(m_bLogsTried, false) && !IsRunning()) {
        OpenLogsNotOpened(dwArgument);
    }
    m_bPaused = false;
    return CEngineBase::OnResume(dwArgument);
}

bool CEngineNTEvents::InputMayComeBack() {
    return !m_UnopenedLogs.empty();
}

void CEngineNTEvents::OpenLogsNotOpened(uint32_t dwArgument) {
    std::vector<std::string> names;
    names.swap(m_UnopenedLogs);
    bool bOpened = false;
    for (const std::string& strName : names) {
        if (!LogIsRegistered(strName)) {
            CSF_LOG(kCSFLogWarning, "Unable to monitor event log \"%s\" because it does not exist.",
                    strName.c_str());
            continue;
        }
        if (!OpenLog(strName)) {
            m_UnopenedLogs.push_back(strName);
            continue;
        }
        m_UnwatchedLogs.erase(std::remove(m_UnwatchedLogs.begin(), m_UnwatchedLogs.end(), strName),
                              m_UnwatchedLogs.end());
        CSF_LOG(
            kCSFLogNotice | kCSFLogConsoleFlag,
            "NT (%s) Event Log monitoring runs now: the log was opened at the %s, and its records "
            "are read from the next one written",
            strName.c_str(), IsReload(dwArgument) ? "reload" : "resume");
        bOpened = true;
    }
    if (bOpened) {
        FillWaitArray();
        // The summary's line for the engine no longer names it unwatched.
        CSFNoticeDescriptionChanged("event logs opened");
    }
}

void CEngineNTEvents::FillWaitArray() {
    m_WaitArray.clear();
    for (const auto& pEvent : m_ChangeEvents) {
        m_WaitArray.push_back(pEvent.get());
    }
}

int32_t CEngineNTEvents::ConfigureEventSections(CSFEventRegistry* pRegistry) {
    if (pRegistry == nullptr) {
        return 0;
    }
    pRegistry->RegisterSection(m_pDefaultReader->GetRulesSectionPath().c_str(), m_pPrototype, 1);
    pRegistry->RegisterSection(m_pUserReader->GetRulesSectionPath().c_str(), m_pPrototype, 1);
    return 0;
}

bool CEngineNTEvents::DescribeInput(std::string& strInput) {
    auto join = [](const std::vector<std::string>& names) {
        std::string strText;
        for (const std::string& strName : names) {
            strText += (strText.empty() ? "" : ", ") + strName;
        }
        return strText;
    };
    if (m_LogNames.empty() && m_UnwatchedLogs.empty()) {
        strInput = "no event-log rule: no log is read";
        return true;
    }
    strInput = m_LogNames.empty() ? std::string() : "event logs " + join(m_LogNames);
    if (!m_UnwatchedLogs.empty()) {
        strInput += (strInput.empty() ? "" : "; ") + std::string("not watched: ") +
                    join(m_UnwatchedLogs);
    }
    return !m_LogNames.empty();
}

bool CEngineNTEvents::OpenLog(const std::string& strName) {
    auto pEvent = std::make_unique<plat::ChangeEvent>();
    if (!pEvent->IsValid()) {
        const uint32_t dwError = plat::GetLastError();
        CSF_LOG(kCSFLogError,
                "NT Event Log monitoring will not run because creating the log change event "
                "notification failed: %d (%s)",
                static_cast<int>(dwError), ErrorWords(dwError).c_str());
        return false;
    }
    plat::EventLogReader* pLog = plat::OpenEventLog(strName.c_str());
    if (pLog == nullptr) {
        const uint32_t dwError = plat::GetLastError();
        CSF_LOG(kCSFLogError,
                "NT (%s) Event Log monitoring will not run because the log file failed to open "
                "(error: %d) (%s)",
                strName.c_str(), static_cast<int>(dwError), ErrorWords(dwError).c_str());
        return false;
    }
    // Skips what the log holds already: only records written from now on
    // are read.
    const uint32_t dwPrimed = plat::ReadEventLog(pLog, kBackwardsRead, 0, nullptr, 0, nullptr, nullptr);
    if (dwPrimed != plat::kErrInsufficientBuffer && dwPrimed != plat::kErrHandleEof) {
        CSF_LOG(kCSFLogError,
                "NT (%s) Event Log monitoring will not run because there was an error (%d) "
                "reading the log (%s)",
                strName.c_str(), static_cast<int>(dwPrimed), ErrorWords(dwPrimed).c_str());
        plat::CloseEventLog(pLog);
        return false;
    }
    if (plat::NotifyChangeEventLog(pLog, pEvent.get()) != 0) {
        CSF_LOG(kCSFLogError, "NT (%s) Event Log monitoring failed because NotifyChangeEvent failed",
                strName.c_str());
        plat::CloseEventLog(pLog);
        return true;
    }
    m_LogNames.push_back(strName);
    m_ChangeEvents.push_back(std::move(pEvent));
    m_LogHandles.push_back(pLog);
    m_WantedFlags.push_back(1);
    return true;
}

void CEngineNTEvents::SayUnread(size_t nIndex) {
    // Written while the rules now replaced were in force, and not read by
    // the time the reload paused the engine: no rule of the new policy reads
    // that log, so they go with it, counted.
    const uint64_t qwUnread = CountUnread(nIndex);
    if (qwUnread != 0) {
        CSF_LOG(kCSFLogWarning,
                "%s of the %s event log %s not read: %s written before the reload, and no rule of the new "
                "policy reads that log",
                CountText(qwUnread, "record", "records").c_str(), m_LogNames[nIndex].c_str(),
                qwUnread == 1 ? "was" : "were", qwUnread == 1 ? "it was" : "they were");
    }
}

uint32_t CEngineNTEvents::SayChanged(size_t nIndex) {
    const uint32_t dwCleared = plat::EventLogRecordsClearedUnread(m_LogHandles[nIndex]);
    if (dwCleared == 0) {
        CSF_LOG(kCSFLogWarning, "The %s event log has changed between reads.  Possibly cleared (warning %d)",
                m_LogNames[nIndex].c_str(), static_cast<int>(plat::kErrEventLogFileChanged));
        return 0;
    }
    CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag,
            "The %s event log was cleared: %s written to it before the clear %s not read by the sensor",
            m_LogNames[nIndex].c_str(), CountText(dwCleared, "record", "records").c_str(),
            dwCleared == 1 ? "was" : "were");
    return dwCleared;
}

uint64_t CEngineNTEvents::CountUnread(size_t nIndex) {
    std::vector<uint8_t> buffer(kRecordBufferSize);
    uint64_t qwUnread = 0;
    bool bReopened = false;
    for (uint32_t dwTurn = 0; ReopenCleared(nIndex) && dwTurn < kMaxUnreadTurns; ++dwTurn) {
        uint32_t dwRead = 0;
        uint32_t dwNeeded = 0;
        const uint32_t dwError =
            plat::ReadEventLog(m_LogHandles[nIndex], kForwardsRead, 0, buffer.data(),
                               static_cast<uint32_t>(buffer.size()), &dwRead, &dwNeeded);
        if (dwError == plat::kErrInsufficientBuffer && dwNeeded > buffer.size() && dwNeeded <= kMaxRecordRead) {
            buffer.resize(dwNeeded);
            continue;
        }
        // Cleared since it was last read: what the clear took unread is
        // counted, and what it holds now is unread too.
        if (dwError == plat::kErrEventLogFileChanged && !std::exchange(bReopened, true)) {
            qwUnread += SayChanged(nIndex);
            plat::CloseEventLog(m_LogHandles[nIndex]);
            m_LogHandles[nIndex] = nullptr;
            continue;
        }
        if (dwError != 0) {
            break;
        }
        for (uint32_t at = 0; dwRead - at >= 4;) {
            const uint32_t dwLength = RecordWord(buffer.data() + at);
            if (dwLength < 4 || dwLength > dwRead - at) {
                break;
            }
            at += dwLength;
            ++qwUnread;
        }
    }
    return qwUnread;
}

void CEngineNTEvents::CloseLog(size_t nIndex) {
    if (m_LogHandles[nIndex] != nullptr) {
        plat::CloseEventLog(m_LogHandles[nIndex]);
    }
    m_LogHandles.erase(m_LogHandles.begin() + static_cast<std::ptrdiff_t>(nIndex));
    m_ChangeEvents.erase(m_ChangeEvents.begin() + static_cast<std::ptrdiff_t>(nIndex));
    m_LogNames.erase(m_LogNames.begin() + static_cast<std::ptrdiff_t>(nIndex));
    m_WantedFlags.erase(m_WantedFlags.begin() + static_cast<std::ptrdiff_t>(nIndex));
}

int32_t CEngineNTEvents::PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) {
    m_pDefaultReader->ClearLogNames();
    m_pDefaultReader->ReadRules(pContainer, pPolicy);
    m_pUserReader->ClearLogNames();
    m_pUserReader->ReadRules(pContainer, pPolicy);

    std::fill(m_WantedFlags.begin(), m_WantedFlags.end(), 0);
    std::set<std::string> names = m_pDefaultReader->GetLogNames();
    names.insert(m_pUserReader->GetLogNames().begin(), m_pUserReader->GetLogNames().end());
    int32_t nFailures = 0;
    m_UnwatchedLogs.clear();
    m_UnopenedLogs.clear();
    m_bLogsTried = true;
    for (const std::string& strName : names) {
        CSF_TRACE(4096, "Log Name =%s=\n", strName.c_str());
        bool bOpen = false;
        for (size_t i = 0; i < m_LogNames.size() && !bOpen; ++i) {
            if (m_LogNames[i] == strName) {
                m_WantedFlags[i] = 1;
                bOpen = true;
            }
        }
        if (bOpen) {
            continue;
        }
        if (!LogIsRegistered(strName)) {
            CSF_LOG(kCSFLogWarning, "Unable to monitor event log \"%s\" because it does not exist.",
                    strName.c_str());
            m_UnwatchedLogs.push_back(strName);
            continue;
        }
        if (!OpenLog(strName)) {
            ++nFailures;
            m_UnwatchedLogs.push_back(strName);
            m_UnopenedLogs.push_back(strName);
        }
    }
    for (size_t i = m_LogNames.size(); i-- > 0;) {
        if (m_WantedFlags[i] == 0) {
            SayUnread(i);
            // No rule reads the log now: what it reached of its bounds goes.
            InputBounds::Instance().EndInput(LogBoundInput(m_LogNames[i]));
            CloseLog(i);
        }
    }
    FillWaitArray();
    // The sensor has deleted the previous rules already: keeping them for a
    // log that would not open would leave the engine with freed rules, so
    // the new ones are adopted and the logs that opened are watched.
    if (nFailures > 0) {
        CSF_LOG(kCSFLogWarning, "%s could not be opened; the others are watched",
                CountText(static_cast<uint64_t>(nFailures), "event log", "event logs").c_str());
    }
    return 0;
}

int32_t CEngineNTEvents::OnReloadPolicy(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::OnReloadPolicy(dwArgument);
    m_bAnyId = false;
    if (nResult != 0) {
        // The old rules are gone with the sensor's reload: no table is
        // safer than one of freed rules.
        m_pEventIdTable.reset();
        return nResult;
    }
    m_pEventIdTable.reset(new (std::nothrow) EventIdTable);
    if (!m_pEventIdTable) {
        return -1;
    }
    if (RuleContainer* pRules = GetRuleContainer()) {
        for (Rule* pRule : *pRules) {
            auto* pEventRule = dynamic_cast<CNTEventRule*>(pRule);
            if (pEventRule != nullptr && pEventRule->IsEnabled()) {
                m_pEventIdTable->emplace(static_cast<uint32_t>(pEventRule->m_nEventId), pEventRule);
            }
        }
    }
    PairRegistryRules();
    std::tie(m_AnyIdFirst, m_AnyIdEnd) = m_pEventIdTable->equal_range(0);
    m_bAnyId = m_AnyIdFirst != m_AnyIdEnd;
    return 0;
}

void CEngineNTEvents::PairRegistryRules() {
    EventIdTable& table = *m_pEventIdTable;
    // Partners are changes (567); a table without ids that high has only
    // the close records (562) to offer.
    const uint32_t dwPartnerId =
        table.lower_bound(kObjectChangeEventId) != table.end() ? kObjectChangeEventId
                                                               : kObjectCloseEventId;
    bool bPaired = false;
    auto [it, end] = table.equal_range(kObjectOpenEventId);
    while (it != end) {
        CNTEventRule* pRule = it->second;
        const std::string& strName = pRule->GetName();
        if (strName != "Registry_autorun_opened" && strName != "Registry_NT_security_options_opened") {
            ++it;
            continue;
        }
        const std::string strPartner =
            strName.substr(0, strName.rfind(kOpenedSuffix)) + "_changed";
        bool bFound = false;
        auto [partner, partnerEnd] = table.equal_range(dwPartnerId);
        for (; partner != partnerEnd && !bFound; ++partner) {
            bFound = strcasecmp(partner->second->GetName().c_str(), strPartner.c_str()) == 0;
        }
        if (bFound) {
            bPaired = true;
            ++it;
        } else {
            pRule->Disable();
            it = table.erase(it);
        }
    }
    if (bPaired) {
        return;
    }
    auto [closed, closedEnd] = table.equal_range(kObjectCloseEventId);
    for (; closed != closedEnd; ++closed) {
        if (strcasecmp(closed->second->GetName().c_str(), "Registry_key_closed") == 0) {
            closed->second->Disable();
            table.erase(closed);
            return;
        }
    }
}

uint32_t CEngineNTEvents::_doWork() {
    m_tLastAuditCheck = NowSeconds();
    std::vector<uint8_t> buffer(kRecordBufferSize);
    bool bMore = false;
    while (StopRequested() == 0) {
        if (bMore) {
            // A log had more than a turn: no wait, its change event may
            // have been taken already.
        } else if (m_WaitArray.empty()) {
            Sleep(kCycleMs);
        } else {
            plat::ChangeEvent::WaitAny(m_WaitArray.data(), m_WaitArray.size(), kCycleMs);
        }
        bMore = false;
        if (StopRequested() != 0) {
            break;
        }
        RefreshAudits();
        for (size_t i = 0; i < m_LogNames.size(); ++i) {
            if (!ReopenCleared(i)) {
                continue;
            }
            if (StopRequested() != 0) {
                continue;
            }
            bMore = ReadLog(i, buffer) || bMore;
        }
    }
    // Every pause and reload ends the thread: nothing to warn about.
    CSF_LOG(kCSFLogInfo, "NTEvent engine terminating!");
    return 0;
}

bool CEngineNTEvents::ReopenCleared(size_t nIndex) {
    if (m_LogHandles[nIndex] == nullptr) {
        m_LogHandles[nIndex] = plat::OpenEventLog(m_LogNames[nIndex].c_str());
        if (m_LogHandles[nIndex] == nullptr) {
            return false;
        }
        plat::NotifyChangeEventLog(m_LogHandles[nIndex], m_ChangeEvents[nIndex].get());
    }
    return true;
}

void CEngineNTEvents::RefreshAudits() {
    const int64_t tNow = NowSeconds();
    if (tNow - m_tLastAuditCheck <= kAuditRefreshSeconds || !m_pEventIdTable) {
        return;
    }
    int32_t nChanged = 0;
    auto [it, end] = m_pEventIdTable->equal_range(kObjectOpenEventId);
    for (; it != end; ++it) {
        nChanged += it->second->RefreshAuditFiles(true);
    }
    if (nChanged > 0) {
        InitializeStrategy::WriteAuditRecord();
    }
    m_tLastAuditCheck = NowSeconds();
}

bool CEngineNTEvents::ReadLog(size_t nIndex, std::vector<uint8_t>& buffer) {
    const std::string& strName = m_LogNames[nIndex];
    std::vector<uint8_t> large;
    uint32_t dwRecords = 0;
    for (;;) {
        // The stop's share ends its reading between two reads, so no record
        // read is left unmatched.
        if (dwRecords >= kRecordsPerTurn ||
            (m_bReadingAtStop && dwRecords != 0 && std::chrono::steady_clock::now() >= m_tStopDeadline)) {
            return true;
        }
        std::vector<uint8_t>& current = large.empty() ? buffer : large;
        uint32_t dwRead = 0;
        uint32_t dwNeeded = 0;
        const uint32_t dwError =
            plat::ReadEventLog(m_LogHandles[nIndex], kForwardsRead, 0, current.data(),
                               static_cast<uint32_t>(current.size()), &dwRead, &dwNeeded);
        if (dwError == 0) {
            // Records read into a buffer of their own are too large to be
            // trusted with the analysis: they are stepped over.
            const bool bAnalyse = large.empty();
            for (uint32_t at = 0; dwRead - at >= 4;) {
                const uint32_t dwLength = RecordWord(current.data() + at);
                if (dwLength < 4 || dwLength > dwRead - at) {
                    break;
                }
                if (bAnalyse) {
                    DispatchRecord(current.data() + at, dwLength, strName);
                }
                at += dwLength;
                ++dwRecords;
            }
            large.clear();
            large.shrink_to_fit();
            if (StopRequested() != 0 && !m_bReadingAtStop) {
                return false;
            }
            continue;
        }
        switch (dwError) {
        case plat::kErrInsufficientBuffer:
            large.clear();
            try {
                large.resize(dwNeeded);
            } catch (const std::bad_alloc&) {
                CSF_LOG(kCSFLogWarning, "Could not read the %s event log, the record was too large.",
                        strName.c_str());
                plat::CloseEventLog(m_LogHandles[nIndex]);
                m_LogHandles[nIndex] = nullptr;
                return false;
            }
            if (m_LargeRecordReports.Allow(ReportLimiter::Now())) {
                CSF_LOG(kCSFLogWarning, "Large event record (%d bytes): possible attack on event log%s",
                        static_cast<int>(dwNeeded),
                        m_LargeRecordReports.LeftOutNote("large records").c_str());
            }
            if ((StopRequested() != 0 && !m_bReadingAtStop) || large.empty()) {
                return false;
            }
            continue;
        case plat::kErrHandleEof:
            return false;
        case plat::kErrEventLogFileChanged: {
            const uint32_t dwCleared = SayChanged(nIndex);
            // The stop's own reading found them gone: the stop counts them.
            if (m_bReadingAtStop) {
                m_ClearedAtStop[nIndex] += dwCleared;
            }
            plat::CloseEventLog(m_LogHandles[nIndex]);
            m_LogHandles[nIndex] = nullptr;
            return false;
        }
        case plat::kErrInvalidHandle:
            CSF_TRACE(1, "Error invalid handle for %s event log (error %d) (%s)", strName.c_str(),
                      static_cast<int>(dwError), ErrorWords(dwError).c_str());
            m_LogHandles[nIndex] = nullptr;
            return false;
        default:
            CSF_TRACE(9, "Unknown error reading %s event log (error %d) (%s)", strName.c_str(),
                      static_cast<int>(dwError), ErrorWords(dwError).c_str());
            return false;
        }
    }
}

void CEngineNTEvents::DispatchRecord(const uint8_t* pRecord, uint32_t dwAvailable,
                                     const std::string& strLog) {
    if (!m_Record.Parse(pRecord, dwAvailable)) {
        return;
    }
    if (m_Record.m_dwStringsCut != 0) {
        // Looked up again only when another log's record reaches it.
        if (m_pStringsBound == nullptr || m_strStringsBoundLog != strLog) {
            m_pStringsBound = &InputBounds::Instance().Bound(
                LogBoundInput(strLog),
                "at most " + std::to_string(EventRecordView::kMaxStrings) + " insertion strings read from a record",
                "strings");
            m_strStringsBoundLog = strLog;
        }
        m_pStringsBound->LeftOut(m_Record.m_dwStringsCut);
    }
    const uint32_t dwEventId = m_Record.m_dwEventId & 0xFFFF;
    if (dwEventId == kPolicyChangeEventId && SensorSettings::Instance().m_bEnforceAuditPolicy) {
        InitializeStrategy::ReapplyGlobalAudit();
    }
    if (!m_pEventIdTable) {
        return;
    }
    // Id 0 is both a record's id and "any id": its rules are tried once.
    if (dwEventId != 0) {
        auto [first, end] = m_pEventIdTable->equal_range(dwEventId);
        if (first != end) {
            AnalyzeRecord(m_Record, strLog, first, end, dwEventId);
        }
    }
    if (m_bAnyId) {
        AnalyzeRecord(m_Record, strLog, m_AnyIdFirst, m_AnyIdEnd, dwEventId);
    }
}

void CEngineNTEvents::AnalyzeRecord(const EventRecordView& record, const std::string& strLog,
                                    TablePosition first, TablePosition end, uint32_t dwEventId) {
    for (TablePosition it = first; it != end; ++it) {
        CNTEventRule* pRule = it->second;
        if (!RuleMatchesRecord(*pRule, record, strLog, dwEventId, &m_TooBigReports)) {
            continue;
        }
        if (EventLogInfo* pAlert = MakeEventLogAlert(pRule, record, dwEventId)) {
            ExecuteResponses(pAlert);
        }
    }
}
