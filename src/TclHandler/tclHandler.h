#pragma once
// The sensor's side of the rule scripts.  One process-wide handler starts
// the script process and keeps it running (restarting it within a limit),
// sends it every rule's scripts and the response scripts, queues script and
// validation requests from the engines, matches the process's replies with
// their requests, and passes each validated alert record on to the sensor
// or drops it.
//
// Threads: producers (engines, the control thread, the host) push onto the
// queues; the handler thread alone writes to the process, owns the pending
// table and the rule ids; the reply thread alone reads from the process.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Common/CatchUps.h"
#include "Common/ITclHandler.h"
#include "Common/LineSocket.h"
#include "Common/ProcessHelpers.h"
#include "TclHandler/tclQueueSet.h"
#include "TclHandler/tclReplyHandler.h"
#include "TclHandler/tclRequest.h"
#include "TclHandler/tclScriptReport.h"
#include "qorToolsLib/ReportLimiter.h"
#include "qorToolsLib/SharedIdList.h"
#include "qorToolsLib/jsSync.h"
#include "qorToolsLib/jsThread.h"

class AgentEventInfo;
class InputBound;
class CEngineBase;
class Rule;
class RuleContainer;
class RuleScript;
class SharedMemoryStore;

class tclHandler : public ITclHandler, public qorThread {
public:
    static constexpr const char* kStoreName = "tclProc.dat";
    static constexpr uint32_t kStoreSize = 0x100040;
    static constexpr const char* kProgramName = "tclProc.exe";
    static constexpr uint32_t kDefaultQueueSize = 512;
    static constexpr int64_t kRestartWindowSeconds = 600;
    static constexpr int32_t kHoldSeconds = 20;
    // How the start-up summary marks scripting that is off against the
    // policy's wish.
    static constexpr const char* kScriptsOff = "OFF";
    // How the summary's line about the scripts begins.
    static constexpr const char* kScriptsLine = "Rule scripts: ";

    // The store name is for tests that must not share the sensor's store.
    explicit tclHandler(const char* pszStoreName = kStoreName);
    ~tclHandler() override;

    // The process-wide handler, made on first use; DeleteInstance lets it
    // go (the sensor does at its stop).
    static tclHandler& GetInstance();
    static void DeleteInstance();

    // The engines' side (ITclHandler).
    uint32_t RegisterEngine(CEngineBase* pEngine, uint32_t dwFlag) override;
    uint32_t ReloadRuleContainer(CEngineBase* pEngine,
                                 std::unique_ptr<RuleContainer> pContainer) override;
    uint32_t QueueScript(RuleScript* pScript, const char* pszPart,
                         const std::string& strText) override;
    uint32_t QueueRun(RuleScript* pScript, const char* pszPart, AgentEventInfo* pRecord) override;
    bool IsEnabled() override { return m_bEnabled != 0; }

    // The sensor's and the host's side.
    bool Init(const char* pszDirectory);
    // The next Init is a policy load's, whose summary (DescribeScripting)
    // takes what the process says of the scripts sent.
    void ExpectSummary() { m_bSummaryExpected = 1; }
    // For the start-up summary: "on", off as the policy has it, or "OFF"
    // with the reason the last Init or the process's restarts gave.  After
    // an Init the sensor expected a summary of, waits up to
    // kDescribeWaitMs for the process's answer to every script sent, says
    // each script it refused, as an error naming the rule, and then waits
    // for the runs queued while the process started to be sent (see
    // kStartQueueSize), so that what that load left out is said by then.
    // `bStatusOnly`: a look at the status, which waits for nothing and
    // leaves the summary to the load.
    std::string DescribeScripting(bool bStatusOnly = false);
    static constexpr uint32_t kDescribeWaitMs = 10000;
    // Runs queued for a process that is being started (at each Init, a
    // reload's included, and after the process ended) wait for it, up to
    // this many or TclCmdQSize, whichever is more.  So do those of the
    // input the engines kept while a reload paused them, which they hand
    // over in a burst once they resume: the catch-up lasts until the
    // process has taken its scripts, the engines have been running for
    // kCatchUpQuietMs, and the queue has been emptied, or at most
    // kCatchUpSeconds after the later of the first two; the runs queue
    // then holds TclCmdQSize again.  Meanwhile a run waits in its queue
    // while TclCmdQSize runs wait for their answer, rather than being left
    // out; so do the runs still queued when the catch-up ends.
    static constexpr uint32_t kStartQueueSize = 16384;
    static constexpr int32_t kCatchUpSeconds = 5;
    static constexpr uint32_t kCatchUpQuietMs = 250;
    // Whether runs are being queued for a process that is being started.
    bool IsCatchingUp() const { return m_bCatchingUp != 0; }
    // The sensor has started or resumed its engines after an Init: what
    // they kept meanwhile comes now.
    void NoteEnginesResumed();
    // Waits up to `dwWaitMs` until no runs are being queued for a starting
    // process; true when none are.
    bool WaitCaughtUp(uint32_t dwWaitMs);
    // Ends the handler thread.  Nothing is queued from then on; the process
    // first answers the runs it was sent and those queued for it, within
    // kShutDownAnswerSeconds, and the alerts still without an answer then
    // go on unvalidated or are dropped, said and counted.
    void ShutDown();
    // `pRule`, when given, is the rule the script is of: what the process
    // says of the script is said with what becomes of its alerts.
    uint32_t QueueScript(const std::string& strName, const char* pszType, const std::string& strText,
                         Rule* pRule = nullptr);
    uint32_t QueueRun(const std::string& strName, const char* pszType, AgentEventInfo* pRecord);
    void SetResponseScripts(const std::vector<std::pair<std::string, std::string>>& scripts);
    int32_t SetRequestTimeout(int32_t nSeconds) { return m_nRequestTimeout = nSeconds; }
    int32_t GetRequestTimeout() const { return m_nRequestTimeout; }
    // The time a process told to end has to answer (kShutDownAnswerSeconds
    // unless a test sets another).
    void SetShutDownAnswerSeconds(int32_t nSeconds) { m_nShutDownAnswerSeconds = nSeconds; }
    int32_t SetRestartLimit(int32_t nCount) { return m_nRestartLimit = nCount; }
    int32_t GetRestartLimit() const { return m_nRestartLimit; }
    void SetEnabled(bool bEnabled) { m_bEnabled = bEnabled ? 1 : 0; }
    bool ScriptsInitialised() const { return m_bScriptsInitialised != 0; }
    uint32_t SetRequestQueueSize(uint32_t dwSize);
    uint32_t GetRequestQueueSize() const { return m_dwRequestQueueSize; }
    tclHandler* GetHandler(void* /*pIgnored*/) { return this; }

    // The handler thread's work, public for the tests that drive it step
    // by step.
    uint32_t _doWork() override;
    bool StartProcess(int32_t nAttempt);
    void StopProcess();
    void InitScripts();
    void MainLoop();
    void SendRequest(tclRequest* pRequest);
    // How long a process told to end (a reload, a stop) has to answer what
    // it was asked and what was queued for it, before the rest goes on
    // unvalidated or is dropped, said and counted.
    static constexpr int32_t kShutDownAnswerSeconds = 3;
    // The events the engines raise decide how often the table of pending
    // requests is full: what happened to such an event is logged so many
    // times a minute, the next line counting those left out.
    static constexpr unsigned kFullTableReportsPerMinute = 20;
    void HandleReply(tclRequest* pReply);
    void ClearAfterStop();
    // Makes a section holding the record's pairs; its id, the run's
    // transaction id, goes to `nTransactionId` whether or not the section
    // could be made (0 when the store is not open).  False when it could
    // not be made whole.
    bool CreateSection(AgentEventInfo& record, int32_t& nTransactionId);
    void DeleteSection(int32_t nTransactionId);
    // The pending request the reply answers, taken out of the table; null
    // when none matches.
    std::unique_ptr<tclRequest> TakePending(const tclRequest& reply);
    // The time-out scan of the main loop, at time `tNow`.
    void ExpirePending(int64_t tNow);
    // Opens the store "tclProc.dat" unless it is open; Init does at each
    // call.  A store that could not be opened (a process of an earlier
    // build holding its lock or area in another layout, say) is let go at
    // once, and the next call makes it afresh: true once it is open, which
    // it then stays until the handler goes.
    bool OpenStore();
    // The command line the process is started with.
    std::string ProcessCommandLine();
    // True, with the way it ended logged, once the process started last has
    // ended, waiting at most `dwWaitMs` for that.
    bool ProcessEnded(uint32_t dwWaitMs = 0);

    // Test hook: the wall clock.
    void SetClock(std::function<int64_t()> clock) { m_Clock = std::move(clock); }
    int ProcessId() const { return m_nProcessId; }
    size_t PendingCount() const { return m_Pending.size(); }
    const std::multimap<std::string, std::unique_ptr<tclRequest>>& Pending() const {
        return m_Pending;
    }
    bool IsRunningFlagSet() const { return m_bRunning != 0; }
    tclQueueSet& Queues() { return m_Queues; }
    SharedMemoryStore* Store() { return m_pStore.get(); }
    // The id of a rule name, a new name getting the next one.
    int32_t RuleId(const std::string& strName);
    // Empty for an id no rule has; valid until the names are cleared.
    const std::string& RuleName(int32_t nRuleId) const;

private:
    struct EngineEntry {
        int32_t m_nState = 0;
        std::unique_ptr<RuleContainer> m_pCopy;
    };

    int64_t Now() const { return m_Clock(); }
    // The code of a script type the handler takes now; 0, with the reason
    // traced or logged, while scripting is off or for an unknown type.
    int32_t AcceptedScriptType(const char* pszType);
    void ReadTuning();
    // Whether some engine's rules, or the response scripts, hold a script
    // to send (engine lock).
    bool HasScriptsLocked();
    // Whether every engine that registered has handed over its rules.
    bool EveryEngineHandedOver();
    // What the process said of a script, or of a Procedure or Initial run,
    // for the summary and the console; without `bAnswered`, that it said
    // nothing of the script in time.
    void NoteRefused(const tclRequest& reply, const tclRequest* pRequest, bool bAnswered = true);
    // The scripts still without an answer when the hold after the scripts
    // ended, noted, and what was said of the scripts published.
    void PublishScriptAnswers();
    // Sleeps in interruptible steps until the settle time has come.
    void WaitSettled();
    // The pause before the first start of the process: up to kStartPauseMs,
    // over once every engine has handed over its rules.
    void PauseForEngines();
    static constexpr uint32_t kStartPauseMs = 1000;
    // A process is about to be started: the runs queued for it wait for it
    // (kStartQueueSize), and those it has no room for are counted.
    void BeginCatchUp();
    // The process took its scripts and was sent what was queued for it
    // meanwhile, or the thread ends: the runs queue holds TclCmdQSize
    // again, and the alerts left out meanwhile are said.
    void EndCatchUp();
    uint32_t StartQueueSize() const;
    // Whether the catch-up is over (see kStartQueueSize), the scripts
    // having been taken at `scriptsTaken`.
    bool CaughtUp(std::chrono::steady_clock::time_point scriptsTaken);
    // A validation run left out at the runs queue (its record goes on
    // unvalidated or is dropped by the caller): counted for EndCatchUp
    // while a process is being started, and then true; false when no
    // process is (the catch-up ended or has not begun).
    bool NoteLeftOutWhileStarting(const tclRequest& request);
    void QueueRuleScripts(RuleContainer& container);
    void QueueHold(int32_t nSeconds);
    // A request that cannot be validated: reported unvalidated when it is a
    // "Validation" run of a rule that does not require scripting, dropped
    // otherwise.  True when reported.
    bool FinishUnvalidated(tclRequest& request);
    void CountQueued(bool bQueued);
    // Alerts that never got their script's answer, by their fate.
    struct Unanswered {
        uint64_t m_qwUnvalidated = 0;
        uint64_t m_qwDropped = 0;
        // Counts the request's record when it is a validation's alert.
        void Note(const tclRequest& request, bool bReported);
    };
    // Every queued request taken out, its record reported or dropped as
    // FinishUnvalidated decides (and the alerts counted in `pTally`).
    void FinishQueued(Unanswered* pTally = nullptr);
    // No request is queued for the process or waits for its answer.
    bool NothingToAnswer();
    // The validations still without an answer when the process is to be
    // ended, said on the console and in the log with what becomes of them;
    // those still queued are finished now.
    void ReportUnanswered();
    // Says `tally`, when it holds anything: "Rule scripts: <n> alerts were
    // still waiting for their validation <strWhen>: <what became of them>".
    void SayUnanswered(const Unanswered& tally, const std::string& strWhen);
    // Adds the request's line to those going out together.
    void WriteRequest(tclRequest& request);
    // Sends the lines added so far once they are due: the batch is full,
    // its first line has waited a few milliseconds, or the table of
    // waiting runs is full.
    void SendDueLines();
    // The bounds of the script road an alert can find full, or past which
    // it gets no answer: no process to take its run (a reload or the stop
    // has shut it down, or it is off), no answer in time, or what the
    // script set not taken back from the store in time.
    enum class Bound {
        kQueue = 0,
        kTable = 1,
        kStore = 2,
        kStartQueue = 3,
        kNoProcess = 4,
        kAnswerTime = 5,
        kTakeBack = 6
    };
    static constexpr int kBoundKinds = 7;
    // A run of `request` left out at `bound`: the handler's own line (so many a
    // minute) and the bound's own report, which names the rule.
    void ReportFullTable(const tclRequest& request, Bound bound);
    // An alert of the rule that met no script at `bound`, counted by the
    // bound's own report (which names the rule) and nowhere else.
    void CountAtBound(const std::string& strName, const Rule* pRule, Bound bound);
    // The bound's handle for the rule's validations, made at its first use
    // (full-table lock).
    InputBound* BoundOf(const std::string& strName, const Rule* pRule, Bound bound);
    // A run the script failed, said so many times a minute (the script may
    // fail on every alert of a flood), the next line counting those left
    // out.
    void ReportRunFailure(const std::string& strName, const char* pszType,
                          const std::string& strText);
    // The section's "__qor_" pairs into the record, and the section
    // deleted; false when it was not there.
    bool TakeBackVariables(int32_t nTransactionId, AgentEventInfo& record);
    void ResetEngineEntries();
    // The restarts are used up: scripting stays off until the next Init,
    // said at once.
    void GiveUp(int32_t nAttempts, bool bLastStarted);
    // A process started after scripting was given up, or off for want of
    // the store: the console is told, and what it was told then is taken
    // back.
    void NoteBackAfterGivingUp();
    // "OFF: <reason>; <what becomes of the alerts>" (engine lock).
    std::string OffText() const;
    std::string ProgramPath();

    std::function<int64_t()> m_Clock;
    tclReplyHandler m_ReplyHandler;
    std::atomic<int32_t> m_nRequestTimeout{300};
    std::atomic<int32_t> m_nShutDownAnswerSeconds{kShutDownAnswerSeconds};
    std::atomic<int32_t> m_nRestartLimit{3};
    std::atomic<uint8_t> m_bRunning{0};
    tclQueueSet m_Queues;
    std::multimap<std::string, std::unique_ptr<tclRequest>> m_Pending;
    // Engines' threads report refused runs too (guards both limiters).
    qorFastSync m_FullTableLock;
    ReportLimiter m_FullTableReports{std::chrono::minutes(1), kFullTableReportsPerMinute};
    ReportLimiter m_RunFailureReports{std::chrono::minutes(1), kFullTableReportsPerMinute};
    // The bounds each rule's alerts found full, by rule name and by whether
    // the rule requires its script (the full-table lock); made afresh at
    // each Init, since the sizes may change with the policy.
    std::map<std::string, std::array<InputBound*, 2 * kBoundKinds>, std::less<>> m_RuleBounds;
    std::map<std::string, int32_t> m_RuleIds;
    std::map<int32_t, std::string> m_RuleNames;
    LineSocket m_Connection;
    // Lines written and not yet sent (handler thread only).
    qorTclBatch m_Outgoing;
    ProcessHandle m_pProcess;
    std::atomic<int> m_nProcessId{0};
    std::string m_strStoreName;
    std::unique_ptr<SharedMemoryStore> m_pStore;
    // The pairs of the section being made, kept so a section costs no
    // allocation of its own.
    SharedIdList::Pairs m_SectionPairs;
    // Values that held a NUL, as the section carries them (see CreateSection).
    std::vector<std::string> m_SectionValues;
    std::vector<std::string> m_Labels;
    std::vector<std::string> m_Values;
    qorFastSync m_EngineLock;
    std::map<CEngineBase*, EngineEntry> m_Engines;
    std::map<std::string, std::string> m_ResponseScripts;
    std::atomic<int64_t> m_tSettle{0};
    // Under the engine lock: Init may set it while the thread reads it.
    std::string m_strDirectory;
    // Why scripting is off though the policy has it on (engine lock).
    std::string m_strOffReason;
    // The finding said when scripting was last given up, until a process
    // starts again (engine lock).
    std::string m_strGivenUp;
    // Why the store could not be opened at its last try (engine lock).
    std::string m_strStoreProblem;
    // Scripting was off for want of the store, until a process starts
    // (engine lock).
    bool m_bStoreWasShut = false;
    std::atomic<uint8_t> m_bSummaryExpected{0};
    // How the process started last ended, when it was seen to (handler
    // thread).
    std::string m_strLastEnd;
    tclScriptReport m_ScriptReport;
    // The parts of the rules' scripts the process refused (handler thread),
    // whose runs are then not said again, and those whose first failed run
    // was said, each for the process started last.
    std::set<std::pair<std::string, int32_t>> m_RefusedParts;
    std::set<std::pair<std::string, int32_t>> m_FailedRuns;
    // From BeginCatchUp to EndCatchUp, with the alerts left out meanwhile
    // by their fate (m_CatchUpLock) and the waits for its end.
    std::atomic<uint8_t> m_bCatchingUp{0};
    // From the start of the main loop until Exit goes out the handler
    // thread (whose id this is) takes the runs it raises itself (see
    // QueueRun): one raised by an answer it handles while the shut-down is
    // being given, before the loop has seen it, is answered in the drain
    // like those raised after.
    std::atomic<uint8_t> m_bAnswering{0};
    std::atomic<std::thread::id> m_HandlerThread{};
    // When the catch-up began, and when the engines were last resumed, on
    // the steady clock (nanoseconds since its epoch).
    std::atomic<int64_t> m_nCatchUpBeganNs{0};
    std::atomic<int64_t> m_nEnginesResumedNs{0};
    std::mutex m_CatchUpLock;
    // The end of a catch-up is being said (m_CatchUpLock).
    bool m_bSayingCatchUp = false;
    std::condition_variable m_CaughtUp;
    // The same catch-up as a reload waits for it (Common/CatchUps.h): what
    // it left out is said before the reload reports.
    CatchUp m_ReloadCatchUp;
    Unanswered m_LeftOutWhileStarting;
    // ReportUnanswered said the pending runs; ClearAfterStop finishes them
    // without saying them again (the handler's thread).
    bool m_bPendingSaid = false;
    std::atomic<uint8_t> m_bEnabled{1};
    std::atomic<uint8_t> m_bScriptsInitialised{0};
    std::atomic<uint32_t> m_dwRequestQueueSize{kDefaultQueueSize};
    std::atomic<int32_t> m_nMinWorkers{2};
    std::atomic<int32_t> m_nMaxWorkers{16};
    std::atomic<int32_t> m_nCmdQThreshold{5};
    std::atomic<int32_t> m_nCmdWaitTimeout{2};
    qorFastSync m_StatisticsLock;
    int32_t m_nQueueFailures = 0;
    int32_t m_nQueueSuccesses = 0;
    int64_t m_tLastReport = 0;
};
