#include "Common/CThreadList.h"

#include <cstring>

#include "Common/EngineBase.h"
#include "qorCSFLib/CSFLog.h"

namespace {

uint32_t ResultBits(int32_t nResult) { return static_cast<uint32_t>(nResult); }

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
    return result |
           ForEach("OnPause", [&](CEngineBase& engine) { return engine.OnPause(dwArgument); });
}

uint32_t CThreadList::PauseInitAll(uint32_t dwArgument) {
    m_bPaused = 1;
    return ForEach("OnPauseInit",
                   [&](CEngineBase& engine) { return engine.OnPauseInit(dwArgument); });
}

uint32_t CThreadList::ReloadPolicyAll(uint32_t dwArgument) {
    return ForEach("OnReloadPolicy",
                   [&](CEngineBase& engine) { return engine.OnReloadPolicy(dwArgument); });
}

uint32_t CThreadList::ResumeAll(uint32_t dwArgument) {
    m_bPaused = 0;
    return ForEach("OnResume", [&](CEngineBase& engine) { return engine.OnResume(dwArgument); });
}

uint32_t CThreadList::StartAll(uint32_t dwArgument) {
    m_bStopped = 0;
    return ForEach("OnStart", [&](CEngineBase& engine) { return engine.OnStart(dwArgument); });
}

uint32_t CThreadList::StopAll(uint32_t dwArgument) {
    m_bStopped = 1;
    uint32_t result =
        ForEach("OnStopInit", [&](CEngineBase& engine) { return engine.OnStopInit(dwArgument); });
    return result |
           ForEach("OnStop", [&](CEngineBase& engine) { return engine.OnStop(dwArgument); });
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
            pEngine->OnStop(0);
            m_engines.erase(it);
            delete pEngine;
            return;
        }
    }
}

void CThreadList::DeleteAll() {
    if (m_bStopped == 0) {
        StopAll(0);
    }
    for (CEngineBase* pEngine : m_engines) {
        delete pEngine;
    }
    m_engines.clear();
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
