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

#include <cstddef>
#include <cstdint>
#include <vector>

class CEngineBase;
class CSFEventRegistry;

class CThreadList {
public:
    CThreadList();
    // Frees the list but neither stops nor deletes the engines: the owner
    // calls DeleteAll first.
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
    // every engine and empties the list.
    void DeleteAll();

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

    std::vector<CEngineBase*> m_engines;
    uint8_t m_bInitialised = 0;
    uint8_t m_bPaused = 1;
    uint8_t m_bStopped = 1;
};
