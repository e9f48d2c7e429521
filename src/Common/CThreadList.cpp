#include "Common/CThreadList.h"

#include <cstring>

#include "Common/EngineBase.h"
#include "qorCSFLib/CSFLog.h"

namespace {

uint32_t ResultBits(int32_t nResult) { return static_cast<uint32_t>(nResult); }

// What a step answers for an engine it passes over because it is stuck.
constexpr int32_t kStuckResult = -1;

// What becomes of an engine whose thread overran its bound, by step.
constexpr const char kStuckAtPause[] =
    "it is left running, and out of every restart until its thread has ended";
constexpr const char kStuckAtStop[] =
    "the stop goes on without it, leaving it and what it uses to the end of the process";

// An engine that was stuck and whose thread has ended since is said to
// take part again.
void NoteEnded(CEngineBase& engine) {
    if (engine.IsStuck()) {
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag,
                "The engine %s has ended since it was stuck: it takes part again", engine.GetName());
        engine.ClearStuck();
    }
}

}  // namespace

CThreadList::CThreadList() = default;

CThreadList::~CThreadList() = default;

template <typename Operation>
uint32_t CThreadList::ForEach(const char* pszOperation, Operation operation) {
    uint32_t result = 0;
    for (CEngineBase* pEngine : m_engines) {
        if (pEngine == nullptr) {
            continue;
        }
        // One line per engine and step, so that the order of a command's
        // steps can be read back from the log.
        CSF_LOG(kCSFLogTrace, "Thread list: %s %s", pszOperation, pEngine->GetName());
        result |= ResultBits(operation(*pEngine));
    }
    return result;
}

bool CThreadList::TakesPart(CEngineBase& engine, uint32_t dwArgument, bool bReadMissedRules) {
    if (!engine.IsStuck()) {
        return true;
    }
    if (engine.IsRunning()) {
        CSF_LOG(kCSFLogTrace, "Thread list: %s is stuck and passed over", engine.GetName());
        return false;
    }
    NoteEnded(engine);
    // Its pause was left half done, so that nothing its thread used went
    // under it.
    engine.OnPause(dwArgument);
    if (bReadMissedRules && engine.MissedReload()) {
        engine.SetMissedReload(false);
        engine.OnReloadPolicy(dwArgument);
    }
    return true;
}

uint32_t CThreadList::ConfigureEventSections(CSFEventRegistry* pRegistry) {
    return ForEach("ConfigureEventSections",
                   [&](CEngineBase& engine) { return engine.ConfigureEventSections(pRegistry); });
}

uint32_t CThreadList::OninitAll(uint32_t dwArgument) {
    m_bInitialised = 1;
    return ForEach("Oninit", [&](CEngineBase& engine) { return engine.Oninit(dwArgument); });
}

uint32_t CThreadList::PauseAll(uint32_t dwArgument) {
    m_bPaused = 1;
    uint32_t result =
        ForEach("OnPauseInit", [&](CEngineBase& engine) { return engine.OnPauseInit(dwArgument); });
    return result | ForEach("OnPause", [&](CEngineBase& engine) {
               if (!engine.AwaitThreadEnd("pause", kStuckAtPause)) {
                   return kStuckResult;
               }
               NoteEnded(engine);
               return engine.OnPause(dwArgument);
           });
}

uint32_t CThreadList::PauseInitAll(uint32_t dwArgument) {
    m_bPaused = 1;
    return ForEach("OnPauseInit",
                   [&](CEngineBase& engine) { return engine.OnPauseInit(dwArgument); });
}

uint32_t CThreadList::ReloadPolicyAll(uint32_t dwArgument) {
    return ForEach("OnReloadPolicy", [&](CEngineBase& engine) {
        if (!TakesPart(engine, dwArgument, false)) {
            // Its thread may still read the rules it has: they stay.
            engine.SetMissedReload(true);
            return kStuckResult;
        }
        engine.SetMissedReload(false);
        return engine.OnReloadPolicy(dwArgument);
    });
}

uint32_t CThreadList::ResumeAll(uint32_t dwArgument) {
    m_bPaused = 0;
    return ForEach("OnResume", [&](CEngineBase& engine) {
        return TakesPart(engine, dwArgument, true) ? engine.OnResume(dwArgument) : kStuckResult;
    });
}

uint32_t CThreadList::PauseAndResume(CEngineBase& engine, uint32_t dwArgument) {
    if (!TakesPart(engine, dwArgument, true)) {
        return ResultBits(kStuckResult);
    }
    CSF_LOG(kCSFLogTrace, "Thread list: OnPauseInit, OnPause and OnResume %s", engine.GetName());
    uint32_t result = ResultBits(engine.OnPauseInit(dwArgument));
    if (!engine.AwaitThreadEnd("pause", kStuckAtPause)) {
        return result | ResultBits(kStuckResult);
    }
    NoteEnded(engine);
    result |= ResultBits(engine.OnPause(dwArgument));
    return result | ResultBits(engine.OnResume(dwArgument));
}

uint32_t CThreadList::StartAll(uint32_t dwArgument) {
    m_bStopped = 0;
    return ForEach("OnStart", [&](CEngineBase& engine) {
        return TakesPart(engine, dwArgument, true) ? engine.OnStart(dwArgument) : kStuckResult;
    });
}

uint32_t CThreadList::StopAll(uint32_t dwArgument) {
    m_bStopped = 1;
    uint32_t result =
        ForEach("OnStopInit", [&](CEngineBase& engine) { return engine.OnStopInit(dwArgument); });
    return result | ForEach("OnStop", [&](CEngineBase& engine) {
               if (!engine.AwaitThreadEnd("stop", kStuckAtStop)) {
                   return kStuckResult;
               }
               NoteEnded(engine);
               return engine.OnStop(dwArgument);
           });
}

uint32_t CThreadList::StopInitAll(uint32_t dwArgument) {
    m_bStopped = 1;
    return ForEach("OnStopInit",
                   [&](CEngineBase& engine) { return engine.OnStopInit(dwArgument); });
}

uint32_t CThreadList::AddThread(CEngineBase* pEngine) {
    m_engines.push_back(pEngine);
    if (pEngine == nullptr) {
        return 0;
    }
    int32_t result = pEngine->Oninit(0);
    if (result != 0) {
        return ResultBits(result);
    }
    return ResultBits(pEngine->OnStart(0));
}

void CThreadList::RemoveThread(const char* pszName) {
    for (auto it = m_engines.begin(); it != m_engines.end(); ++it) {
        CEngineBase* pEngine = *it;
        if (pEngine != nullptr && pszName != nullptr &&
            std::strcmp(pEngine->GetName(), pszName) == 0) {
            pEngine->OnStopInit(0);
            m_engines.erase(it);
            if (pEngine->AwaitThreadEnd("stop", kStuckAtStop)) {
                NoteEnded(*pEngine);
                pEngine->OnStop(0);
            }
            Delete(pEngine);
            return;
        }
    }
}

void CThreadList::Delete(CEngineBase* pEngine) {
    if (pEngine != nullptr && pEngine->IsStuck() && !pEngine->IsRunning()) {
        // Its stop was left half done, so that nothing its thread used went
        // under it.
        NoteEnded(*pEngine);
        pEngine->OnStop(0);
    }
    if (pEngine != nullptr && pEngine->LeavesThreadRunning()) {
        m_leftRunning.push_back(pEngine);
        return;
    }
    delete pEngine;
}

void CThreadList::DeleteAll() {
    if (m_bStopped == 0) {
        StopAll(0);
    }
    std::vector<CEngineBase*> engines;
    engines.swap(m_engines);
    engines.insert(engines.end(), m_leftRunning.begin(), m_leftRunning.end());
    m_leftRunning.clear();
    for (CEngineBase* pEngine : engines) {
        Delete(pEngine);
    }
}

std::string CThreadList::StuckEngines() const {
    std::string strNames;
    for (const std::vector<CEngineBase*>* pEngines : {&m_engines, &m_leftRunning}) {
        for (CEngineBase* pEngine : *pEngines) {
            if (pEngine != nullptr && pEngine->LeavesThreadRunning()) {
                strNames += (strNames.empty() ? "" : ", ") + std::string(pEngine->GetName());
            }
        }
    }
    return strNames;
}

bool CThreadList::StuckOnRulesInForce() const {
    for (CEngineBase* pEngine : m_engines) {
        if (pEngine != nullptr && pEngine->LeavesThreadRunning()) {
            return true;
        }
    }
    return false;
}

bool CThreadList::KeepsOldRules() const {
    for (CEngineBase* pEngine : m_engines) {
        if (pEngine != nullptr && (pEngine->LeavesThreadRunning() || pEngine->MissedReload())) {
            return true;
        }
    }
    return false;
}

void CThreadList::Append(CEngineBase* pEngine) { m_engines.push_back(pEngine); }

CEngineBase* CThreadList::Find(const char* pszName) const {
    for (CEngineBase* pEngine : m_engines) {
        if (pEngine != nullptr && pszName != nullptr &&
            std::strcmp(pEngine->GetName(), pszName) == 0) {
            return pEngine;
        }
    }
    return nullptr;
}
