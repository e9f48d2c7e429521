#pragma once
// The base of every detection engine: a worker thread that owns the rules of
// its policy tables, is driven through its lifecycle by the sensor's thread
// list, and hands every detection to ExecuteResponses as an alert record.
//
// Lifecycle (control thread): Oninit, OnStart, then OnPauseInit + OnPause,
// OnReloadPolicy while paused, OnResume (a new thread), and finally
// OnStopInit + OnStop.  A stop never kills the thread: it is told to stop
// and awaited, and a thread asked to stop before it ran leaves at its gate.
// A derived engine whose body uses its own members stops the thread in its
// own destructor, before those members go.
//
// The thread is awaited for its stop bound only, counted from the request:
// a thread still running then (held in a wait it should not be in) makes
// the engine stuck, which is said once, on the console and in the log.  A
// stuck engine is left as it is, with everything its thread may use: the
// thread list passes it over (CThreadList.h) until its thread has ended.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "Common/RuleContainer.h"
#include "hostwarden/ICSFEventHandler.h"
#include "qorToolsLib/jsThread.h"

class AgentEventInfo;
class CSFEventRegistry;
class ITclHandler;
class IPolicyContainer;

class CEngineBase : public qorThread {
public:
    static constexpr uint32_t kEnginePriorityLevel = 2;
    // How long a thread told to stop or pause has to end: five times the
    // longest wait of a body's turn (a poll of a second, a lock waited for
    // a second), and half of what hwhost gives a whole stop.
    static constexpr uint32_t kStopBoundMs = 5000;
    // The most "__qor_ruleinfonames" holds.
    static constexpr size_t kRuleInfoNamesMax = 1023;

    // The argument the sensor hands its engines through the thread list:
    // kHostArgument for the host's own start, pause, resume and stop, and
    // kReloadArgument for the pause, rule reading and resume of a reload.
    // A reload's pause ends an engine's work only: its inputs (sockets,
    // listening ports, the web-server ring, read places) stay open and take
    // what arrives meanwhile, which the resumed engine reads with the new
    // rules.  The host's pause does to the inputs what it always did.
    static constexpr uint32_t kHostArgument = 0;
    static constexpr uint32_t kReloadArgument = 1;
    static bool IsReload(uint32_t dwArgument) { return dwArgument == kReloadArgument; }

    explicit CEngineBase(const char* pszThreadName);
    ~CEngineBase() override;

    // The lifecycle operations take the thread list's argument, which the
    // base ignores, and answer 0 for success.
    virtual int32_t Oninit(uint32_t dwArgument);
    virtual int32_t OnStart(uint32_t dwArgument);
    virtual int32_t OnStopInit(uint32_t dwArgument);
    virtual int32_t OnStop(uint32_t dwArgument);
    virtual int32_t OnReloadPolicy(uint32_t dwArgument);
    virtual int32_t OnPauseInit(uint32_t dwArgument);
    virtual int32_t OnPause(uint32_t dwArgument);
    virtual int32_t OnResume(uint32_t dwArgument);
    // Registers each rule reader's section path with the registry.
    virtual int32_t ConfigureEventSections(CSFEventRegistry* pRegistry) = 0;
    // Fills the container through the engine's rule readers; 0 for success.
    virtual int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) = 0;
    // Takes the record and sends it on its way: 1 when it went to the script
    // handler for validation, the sensor's answer when it was reported, 0
    // when it was dropped.  Uses nothing of the engine, only the record and
    // its rule, so any thread may call it.
    virtual uint8_t ExecuteResponses(AgentEventInfo* pRecord);
    virtual uint8_t LogToCSF(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                             uint32_t dwFlags);
    virtual uint8_t ForwardToEventSink(uint32_t dwFirst, uint32_t dwSecond);
    // Null until the first successful reload.
    virtual RuleContainer* GetRuleContainer();
    // Registers with the script handler and hands it a copy of the rules in
    // force, as a start-up and a reload do, for a handler started again
    // without either.  An engine that runs engines of its own (the network
    // engine its adapters') has them do the same: the handler waits for the
    // rules of every engine that registered before it sends any script.
    virtual void HandRulesToScripts(ITclHandler& handler);
    // For the host's start-up summary: what the engine watches, in a few
    // words ("UDP port 514"); false when that input could not be opened, so
    // that the engine runs without it.  The base names nothing.
    virtual bool DescribeInput(std::string& strInput);
    // Whether the engine lacks an input that another try may bring back (a
    // port another program held when it was opened): a reload that reads
    // no policy pauses and resumes such an engine, as any reload does, so
    // that it tries.  The base lacks none.
    virtual bool InputMayComeBack() { return false; }

    // 0 when the thread runs (already, or started now), -1 when it could
    // not be started: a thread told to stop that does not end within its
    // stop bound makes the engine stuck.
    int32_t StartThread();
    // Tells the thread to stop, once; never waits for it.
    int32_t RequestStop();
    // RequestStop, then waits for the thread to end (AwaitThreadEnd) and
    // lets it go; -1, with the engine stuck, when it did not end.
    int32_t StopAndWait();

    bool IsStopRequested() const { return m_dwStopRequested != 0; }

    // Waits for a thread told to stop to end, until its stop bound from the
    // request has passed.  True when no thread runs; false when it still
    // does: the engine is then stuck, said once with `pszStep` ("pause",
    // "stop") naming what it was told, and `pszThen` what becomes of it.
    bool AwaitThreadEnd(const char* pszStep, const char* pszThen);
    // The thread overran its stop bound and has not been let go since (it
    // may have ended meanwhile: IsRunning tells).
    bool IsStuck() const { return m_bStuck; }
    // An engine whose thread has ended since it was stuck takes part again:
    // what was said when it was stuck is taken back from the host's
    // findings.
    void ClearStuck();
    // Whether a thread of the engine overran its stop bound and still runs:
    // its own, or (an engine with threads of its own to stop) one of those.
    // Such an engine must not be deleted.
    virtual bool LeavesThreadRunning();
    // The stuck engine was passed over by a reload, so its rules are the
    // ones of before it.
    bool MissedReload() const { return m_bMissedReload; }
    void SetMissedReload(bool bMissed) { m_bMissedReload = bMissed; }
    uint32_t GetStopBound() const { return m_dwStopBoundMs; }
    void SetStopBound(uint32_t dwMs) { m_dwStopBoundMs = dwMs; }

private:
    uint32_t m_dwStopRequested = 0;
    // When the running thread was told to stop.
    std::chrono::steady_clock::time_point m_StopAsked{};
    uint32_t m_dwStopBoundMs = kStopBoundMs;
    bool m_bStuck = false;
    // What was said when the engine got stuck.
    std::string m_strStuckSaid;
    bool m_bMissedReload = false;
    std::unique_ptr<RuleContainer> m_pRuleContainer;
};
