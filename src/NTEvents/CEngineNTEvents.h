#pragma once
// The event-log engine ("NTEventlog Engine"): watches every event log that
// an enabled event-log rule names, reads each forwards from where it stood
// (a log opened by a policy load, or by a resume that tries again a log
// that could not be opened, starts after the records already in it), and
// tests every record against the rules of its event id and the rules
// of any id, reporting one alert per rule that matches.  It also keeps the
// audits its rules need: object-access rules have their audited files
// refreshed every few seconds, and a policy-change record has the system
// audit settings applied again.
//
// The tables (open logs, event-id table) change only in policy loads and
// resumes, which run while the engine thread is not running, so they take
// no lock.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Common/EngineBase.h"
#include "Common/InputBounds.h"
#include "NTEvents/EventRecordAnalysis.h"
#include "qorToolsLib/ReportLimiter.h"

class CInitializeNTEventRules;
class CInitializeUserNTEventRules;
class CNTEventRule;
class IPolicyEventInterface;

namespace plat {
class ChangeEvent;
class EventLogReader;
}  // namespace plat

class CEngineNTEvents : public CEngineBase {
public:
    using EventIdTable = std::multimap<uint32_t, CNTEventRule*>;
    using TablePosition = EventIdTable::iterator;

    // The buffer every cycle reads into; a larger record gets one of its own.
    static constexpr uint32_t kRecordBufferSize = 16384;
    // How much of a log a reload that leaves it without rules reads to
    // count what was left unread: so many reads, each of one record at
    // most this large.
    static constexpr uint32_t kMaxUnreadTurns = 4096;
    static constexpr uint32_t kMaxRecordRead = 1024 * 1024;
    static constexpr uint32_t kCycleMs = 1000;
    // Whoever makes a log's records come decides how many: one log is read
    // for at most so many records a turn, then the others have theirs, and
    // the next cycle comes at once while a log has more.
    static constexpr uint32_t kRecordsPerTurn = 1024;
    static constexpr int64_t kAuditRefreshSeconds = 5;
    // The stop's share for the records written before it and not read yet:
    // they are read and matched for so long, and what is left is counted.
    static constexpr std::chrono::milliseconds kStopReading{500};
    // Lines a minute about records too large or with too many strings.
    static constexpr unsigned kRecordReportsPerMinute = 20;

    // `pPrototype` is the sensor's prototype policy event, with which the
    // rule sections are registered; it stays the sensor's.
    explicit CEngineNTEvents(IPolicyEventInterface* pPrototype = nullptr);
    ~CEngineNTEvents() override;

    int32_t Oninit(uint32_t dwArgument) override;
    int32_t OnStart(uint32_t dwArgument) override;
    int32_t OnStopInit(uint32_t dwArgument) override;
    int32_t OnStop(uint32_t dwArgument) override;
    int32_t OnReloadPolicy(uint32_t dwArgument) override;
    int32_t OnPauseInit(uint32_t dwArgument) override;
    int32_t OnPause(uint32_t dwArgument) override;
    // Also tries again the logs that could not be opened, unless a policy
    // load has tried them since the engine last ran.
    int32_t OnResume(uint32_t dwArgument) override;
    bool DescribeInput(std::string& strInput) override;
    // A log the rules name could not be opened: a resume tries it again.
    bool InputMayComeBack() override;
    int32_t ConfigureEventSections(CSFEventRegistry* pRegistry) override;
    // Reads the rules and opens and closes logs so that exactly the logs the
    // rules name (and that exist) are open.  A log that cannot be opened is
    // logged and left out; the rules are adopted all the same, so the
    // others are watched and analysed (answers 0).
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override;

    // Hands one record read from `strLog` to the analysis; engine thread
    // only.  `dwAvailable` bounds what may be read of it.
    void DispatchRecord(const uint8_t* pRecord, uint32_t dwAvailable, const std::string& strLog);
    void AnalyzeRecord(const EventRecordView& record, const std::string& strLog,
                       TablePosition first, TablePosition end, uint32_t dwEventId);

    // For tests: another share of the stop for its reading.
    void SetStopReading(std::chrono::milliseconds reading) { m_StopReading = reading; }

    // The names of the open logs, in table order.
    const std::vector<std::string>& GetOpenLogs() const { return m_LogNames; }
    // Null until the first policy load.
    const EventIdTable* GetEventIdTable() const { return m_pEventIdTable.get(); }

protected:
    uint32_t _doWork() override;

private:
    // Opens, primes and watches one log; false counts as a failure.
    bool OpenLog(const std::string& strName);
    // Tries each log that could not be opened again; one that opens is
    // watched from its next record on, and said.
    void OpenLogsNotOpened(uint32_t dwArgument);
    void FillWaitArray();
    void CloseLog(size_t nIndex);
    // Counts and says the records a log that a reload leaves without rules
    // still held unread.
    void SayUnread(size_t nIndex);
    // The records log `nIndex` holds past its place, read (and so passed)
    // to count them, at most kMaxUnreadTurns reads.
    uint64_t CountUnread(size_t nIndex);
    // After a read found the log changed under its handle: says it, with
    // the records a clear took before they were read; their count.
    uint32_t SayChanged(size_t nIndex);
    // Nothing reads the logs after the stop: what was written to them
    // before it and not read yet is read and matched within the stop's
    // share (none when the host had paused the engine), and what is left
    // is said and counted in the stop's tally.
    void ReadAtStop();
    // Wakes the thread's wait, so that it sees a stop at once.
    void WakeThread();
    // Reads what is new in log `nIndex`, for one turn; true when the turn
    // ended with records left to read.
    bool ReadLog(size_t nIndex, std::vector<uint8_t>& buffer);
    // A log let go when it was cleared (or its handle went bad) is opened
    // again, to be read from its new start; false when it does not open.
    bool ReopenCleared(size_t nIndex);
    void RefreshAudits();
    void PairRegistryRules();

    IPolicyEventInterface* const m_pPrototype;
    std::unique_ptr<CInitializeNTEventRules> m_pDefaultReader;
    std::unique_ptr<CInitializeUserNTEventRules> m_pUserReader;
    TablePosition m_AnyIdFirst;
    TablePosition m_AnyIdEnd;
    bool m_bAnyId = false;
    std::unique_ptr<EventIdTable> m_pEventIdTable;
    std::vector<int32_t> m_WantedFlags;
    std::vector<std::string> m_LogNames;
    // Logs the rules name that are not watched: unregistered or unopened.
    std::vector<std::string> m_UnwatchedLogs;
    // Those of them that exist but could not be opened, in the order tried.
    std::vector<std::string> m_UnopenedLogs;
    // A policy load tried every log since the engine last started or
    // resumed: its resume need not try them again.
    bool m_bLogsTried = false;
    std::vector<plat::EventLogReader*> m_LogHandles;
    std::vector<std::unique_ptr<plat::ChangeEvent>> m_ChangeEvents;
    std::vector<plat::ChangeEvent*> m_WaitArray;

    // The host paused the engine (a reload's pause is not the host's).
    bool m_bPaused = false;
    // The stop reads the logs: the stop asked for it, which ends no read.
    bool m_bReadingAtStop = false;
    // Records of each log that a clear took before the stop's reading
    // read them.
    std::vector<uint64_t> m_ClearedAtStop;
    std::chrono::steady_clock::time_point m_tStopDeadline{};
    std::chrono::milliseconds m_StopReading = kStopReading;

    // Engine thread only (and the stop's reading, once it has ended).
    EventRecordView m_Record;
    int64_t m_tLastAuditCheck = 0;
    // Whoever writes to a watched log decides how many records are too
    // large or carry too many strings: so many lines a minute of each,
    // the next one counting those left out.
    ReportLimiter m_LargeRecordReports{std::chrono::minutes(1), kRecordReportsPerMinute};
    ReportLimiter m_TooBigReports{std::chrono::minutes(1), kRecordReportsPerMinute};
    // The bound on a record's strings, of the log that reached it last.
    InputBound* m_pStringsBound = nullptr;
    std::string m_strStringsBoundLog;
};
