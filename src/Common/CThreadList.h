#pragma once
// The sensor's detection engines in creation order, with each engine
// lifecycle operation applied to all of them at once.  Every "All"
// operation hands its argument to each engine in list order and answers the
// OR of their results (0 for an empty list); a failing engine does not end
// the walk.  Two-phase operations tell every engine to stop (or pause)
// before any of them is waited for.
//
// The list has no lock: the sensor uses it from the host's command thread
// only, one command at a time, and the network engine uses its own list of
// adapter engines from its own operations.
//
// A pause or stop waits for each engine's thread for the engine's stop
// bound only (EngineBase.h), counted from the request, so all engines'
// bounds run at once.  An engine whose thread overruns it is stuck: its
// OnPause or OnStop, which may free what the thread uses, is not called,
// and it is passed over by reloads, resumes and starts, and never deleted,
// for as long as its thread runs.  Once the thread has ended, the next
// operation that meets the engine finishes its pause (and reads the rules
// it missed) before taking it in again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CEngineBase;
class CSFEventRegistry;

class CThreadList {
public:
    CThreadList();
    // Frees the list but neither stops nor deletes the engines: the owner
    // calls DeleteAll first.  Engines left running are left for good.
    virtual ~CThreadList();
    CThreadList(const CThreadList&) = delete;
    CThreadList& operator=(const CThreadList&) = delete;

    // Every engine registers its rule sections with the registry.
    virtual uint32_t ConfigureEventSections(CSFEventRegistry* pRegistry);
    virtual uint32_t OninitAll(uint32_t dwArgument);
    // OnPauseInit on every engine, then OnPause on every engine.
    virtual uint32_t PauseAll(uint32_t dwArgument);
    virtual uint32_t PauseInitAll(uint32_t dwArgument);
    virtual uint32_t ReloadPolicyAll(uint32_t dwArgument);
    virtual uint32_t ResumeAll(uint32_t dwArgument);
    // Pauses and resumes the one engine (OnPauseInit, its thread waited
    // for as PauseAll does, OnPause, OnResume), so that it tries the input
    // it lacks (with a reload's argument it keeps what it has open); an
    // engine stuck, or stuck at this pause, is left as it is.
    uint32_t PauseAndResume(CEngineBase& engine, uint32_t dwArgument);
    virtual uint32_t StartAll(uint32_t dwArgument);
    // OnStopInit on every engine, then OnStop on every engine.
    virtual uint32_t StopAll(uint32_t dwArgument);
    virtual uint32_t StopInitAll(uint32_t dwArgument);
    // Appends the engine, initialises it and, when that succeeded, starts
    // it; answers the failing step's result.  The engine stays in the list
    // either way, and belongs to it.
    virtual uint32_t AddThread(CEngineBase* pEngine);
    // Stops, deletes and removes the first engine whose thread name equals
    // `pszName` exactly; nothing when there is none.
    virtual void RemoveThread(const char* pszName);

    // Stops the engines unless the list is stopped already, then deletes
    // every engine and empties the list.  A stuck engine whose thread still
    // runs leaves the list without being deleted.
    void DeleteAll();

    // The names of the engines, in the list or taken out of it, that leave
    // a thread running past its stop bound, separated by ", "; empty when
    // there is none.
    std::string StuckEngines() const;
    // Whether a thread left running past its bound may still read the
    // rules in force: they must then outlive the reload that replaces them.
    bool StuckOnRulesInForce() const;
    // Whether an engine may still read rules a reload replaced: it is
    // stuck, or a reload passed it over and it has not read the rules since.
    bool KeepsOldRules() const;

    // Appends without initialising or starting: how the sensor fills its
    // list at construction.  A null engine (a failed allocation) is kept as
    // a null entry, which every operation passes over.
    void Append(CEngineBase* pEngine);

    // The first engine whose thread name equals `pszName`, or null.
    CEngineBase* Find(const char* pszName) const;
    size_t GetCount() const { return m_engines.size(); }
    CEngineBase* GetAt(size_t nIndex) const { return m_engines[nIndex]; }

    bool IsInitialised() const { return m_bInitialised != 0; }
    bool IsPaused() const { return m_bPaused != 0; }
    bool IsStopped() const { return m_bStopped != 0; }

private:
    // Calls `operation` on every engine in list order; answers the OR.
    template <typename Operation>
    uint32_t ForEach(const char* pszOperation, Operation operation);
    // For an engine about to be reloaded, resumed or started: false while
    // it is stuck; an engine whose stuck thread has ended since gets the
    // rest of its pause (and, when `bReadMissedRules`, the reload it
    // missed) first.
    bool TakesPart(CEngineBase& engine, uint32_t dwArgument, bool bReadMissedRules);
    // Deletes an engine taken out of the list, or keeps it in m_leftRunning
    // while it leaves a thread running.
    void Delete(CEngineBase* pEngine);

    std::vector<CEngineBase*> m_engines;
    // Engines taken out of the list (deleted or removed) whose thread was
    // still running: deleted once it has ended.
    std::vector<CEngineBase*> m_leftRunning;
    uint8_t m_bInitialised = 0;
    uint8_t m_bPaused = 1;
    uint8_t m_bStopped = 1;
};
