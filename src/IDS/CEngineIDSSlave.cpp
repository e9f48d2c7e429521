// The IDS slave as an engine: construction, the lifecycle operations the
// master's thread list calls, and the process-wide rule maps.

#include "IDS/CEngineIDSSlave.h"

#include <exception>

#include "IDS/CaptureKeeper.h"
#include "IDS/HWEventMatchNotify.h"
#include "IDS/IDSEventQueue.h"
#include "IDS/IDSRule.h"
#include "IDS/SlaveRuleMaps.h"
#include "qorCSFLib/CSFLog.h"
#include "qorPacketLogLib/qorPacketLog.h"
#include "qorToolsLib/jsFastLock.h"
#include "rawpacket/Driver.h"
#include "rawpacket/DriverFactory.h"

std::atomic<bool> CEngineIDSSlave::BlockEnabled{false};
std::atomic<int32_t> CEngineIDSSlave::ZamLoopTimeout{60};
std::atomic<int32_t> CEngineIDSSlave::DynamicBlockPeriod{-1};
std::atomic<bool> CEngineIDSSlave::DiagnosticPacketsEnabled{true};
std::atomic<bool> CEngineIDSSlave::DiagnosticCallbacksEnabled{true};
std::string CEngineIDSSlave::CaptureBufferSize;

jsFastSync& CEngineIDSSlave::SetupLock() {
    static jsFastSync lock;
    return lock;
}

CEngineIDSSlave::CEngineIDSSlave(const char* pszAdapterName, uint32_t dwCustomerId,
                                 uint32_t dwAdapterFlags, IDSEventQueue* pQueue)
    : CEngineBase(pszAdapterName != nullptr ? pszAdapterName : ""),
      m_dwCustomerId(dwCustomerId),
      m_strAdapterName(pszAdapterName != nullptr ? pszAdapterName : ""),
      m_dwAdapterFlags(dwAdapterFlags),
      m_pFrame(std::make_unique<rp::Frame>()),
      m_pDriverFactory(std::make_unique<rp::DriverFactory>()),
      m_pFirewall(std::make_unique<CFirewall>()),
      m_pQueue(pQueue),
      m_pParsedFrameInfo(std::make_unique<ParsedFrameInfo>()) {
    CSF_TRACE(kCSFLogInfo, "%s: ...leaving Constructor", m_strAdapterName.c_str());
}

CEngineIDSSlave::~CEngineIDSSlave() {
    m_bEnding = true;
    // The thread reads every member below; it must be gone first, and is
    // not left to wait out its read.
    RequestStop();
    InterruptRead();
    StopAndWait();
    // A slave deleted without a stop still gives its module objects back.
    {
        jsFastLock guard(SetupLock(), true);
        Shutdown();
    }
    m_pPacketDrv.reset();
    CSF_TRACE(kCSFLogInfo, "%s: ...leaving", m_strAdapterName.c_str());
}

int32_t CEngineIDSSlave::ConfigureEventSections(CSFEventRegistry*) { return 0; }

int32_t CEngineIDSSlave::PopulateRuleContainer(RuleContainer*, IPolicyContainer*) { return 0; }

void CEngineIDSSlave::SetEventMatchNotify(std::unique_ptr<HWEventMatchNotify> pNotify) {
    m_pEventNotify = std::move(pNotify);
    if (m_pEventNotify) {
        m_pEventNotify->SetSlave(this);
    }
}

int32_t CEngineIDSSlave::Oninit(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::Oninit(dwArgument);
    if (m_pIDSConfig == nullptr) {
        // The class factory hands out this same configuration object.
        m_pIDSConfig = CIDSConfig::GetInstance();
        if (m_pIDSConfig == nullptr) {
            return 1;
        }
    }
    return nResult;
}

template <typename BaseOperation>
int32_t CEngineIDSSlave::Traced(const char* pszOperation, BaseOperation base, bool bSetUp) {
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::%s called....", m_strAdapterName.c_str(),
              pszOperation);
    if (bSetUp) {
        // A slave whose set-up failed still gets its thread, which says why.
        InitializeNetworking();
    }
    const int32_t nResult = base();
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::%s ....leaving %d", m_strAdapterName.c_str(),
              pszOperation, nResult);
    return nResult;
}

int32_t CEngineIDSSlave::OnStart(uint32_t dwArgument) {
    m_bEnding = false;
    return Traced("OnStart", [&] { return CEngineBase::OnStart(dwArgument); }, true);
}

int32_t CEngineIDSSlave::OnResume(uint32_t dwArgument) {
    m_bEnding = false;
    // The frames kept through a reload are analysed first by the new
    // thread, while the keeper goes on taking what arrives; the thread
    // reads on from the capture once the hold is empty.  Until then the
    // reload waits for it: what the adapter loses meanwhile is its own.
    if (m_pKeeper) {
        m_CatchUp.Begin("adapter " + m_strAdapterName);
        m_pCatchUpKeeper.store(m_pKeeper.get(), std::memory_order_release);
    }
    return Traced("OnResume", [&] { return CEngineBase::OnResume(dwArgument); }, true);
}

template <typename BaseOperation>
int32_t CEngineIDSSlave::EndCapture(BaseOperation base, bool bKeepCapture, const char* pszStep,
                                    const char* pszWhy) {
    m_bEnding = true;
    jsFastLock guard(SetupLock(), true);
    const int32_t nResult = base();
    // The thread ended (or was gone already): how long it took is said,
    // for the time every engine's pause waited for it.
    if (m_EndAsked != std::chrono::steady_clock::time_point{} && m_CaptureEnded >= m_EndAsked) {
        CSF_LOG(kCSFLogTrace, "%s: its capture thread ended %lld ms after it was told to %s",
                m_strAdapterName.c_str(),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(m_CaptureEnded - m_EndAsked).count()),
                pszStep);
    }
    m_EndAsked = {};
    if (bKeepCapture) {
        // Made at the pause's beginning (OnPauseInit) when it could be.
        BeginKeepingFrames(true);
        if (m_pKeeper) {
            m_pKeeper->Open();
        }
    }
    Shutdown(bKeepCapture, pszWhy);
    return nResult;
}

void CEngineIDSSlave::TellThreadToEnd() {
    m_bEnding = true;
    m_EndAsked = std::chrono::steady_clock::now();
}

void CEngineIDSSlave::InterruptRead() {
    // Told to end, the thread is not left waiting out its read (a second
    // unless set otherwise) while every engine's pause waits for it.
    if (m_pPacketDrv) {
        m_pPacketDrv->interruptRead();
    }
}

int32_t CEngineIDSSlave::OnPause(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogInfo, "%s: %s called....", m_strAdapterName.c_str(), "OnPause");
    return EndCapture([&] { return CEngineBase::OnPause(dwArgument); }, IsReload(dwArgument), "pause",
                      "the adapter engine was paused");
}

int32_t CEngineIDSSlave::OnStop(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogInfo, "%s: %s called....", m_strAdapterName.c_str(), "OnStop");
    CSF_TRACE(kCSFLogInfo, "Within CEngineIDSSlave::OnStop");
    return EndCapture([&] { return CEngineBase::OnStop(dwArgument); }, false, "stop", kClosedAtStop);
}

void CEngineIDSSlave::CloseKeptCapture(const char* pszWhy) {
    jsFastLock guard(SetupLock(), true);
    if (!bIDSSInitialized) {
        StopPacketDriver(pszWhy);
    }
}

void CEngineIDSSlave::KeepFramesUntilSetUp() {
    jsFastLock guard(SetupLock(), true);
    if (bIDSSInitialized || m_pKeeper) {
        return;
    }
    try {
        InitializePacketDriver();
    } catch (const std::exception& error) {
        // The resume tries the whole set-up again, and says what fails.
        CSF_LOG(kCSFLogWarning, "%s: its capture could not be opened as it came (%s): it is tried again at the "
                                "resume",
                m_strAdapterName.c_str(), error.what());
        return;
    }
    BeginKeepingFrames(true);
    if (m_pKeeper) {
        m_pKeeper->Open();
    }
}

int32_t CEngineIDSSlave::OnPauseInit(uint32_t dwArgument) {
    // A reload keeps the capture: the keeper is ready before the capture
    // thread is told to end, and reads as soon as it has, not once every
    // engine before this one has paused.
    if (IsReload(dwArgument)) {
        jsFastLock guard(SetupLock(), true);
        if (bIDSSInitialized) {
            BeginKeepingFrames(false);
            m_pGate.store(m_pKeeper.get(), std::memory_order_release);
        }
    }
    TellThreadToEnd();
    const int32_t nResult = Traced("OnPauseInit", [&] { return CEngineBase::OnPauseInit(dwArgument); });
    InterruptRead();
    return nResult;
}

int32_t CEngineIDSSlave::OnStopInit(uint32_t dwArgument) {
    TellThreadToEnd();
    const int32_t nResult = Traced("OnStopInit", [&] { return CEngineBase::OnStopInit(dwArgument); });
    InterruptRead();
    return nResult;
}

// The slave re-reads its settings only through pause and resume.
int32_t CEngineIDSSlave::OnReloadPolicy(uint32_t dwArgument) {
    return Traced("OnReloadPolicy", [&] { return CEngineBase::OnReloadPolicy(dwArgument); });
}

void CEngineIDSSlave::InitializeRuleMap(const RuleContainer& bastionRules,
                                        const RuleContainer& idsRules) {
    CSF_TRACE(kCSFLogInfo, "CEngineIDSSlave::InitializeRuleMap called....");
    SlaveRuleMaps& maps = SlaveRuleMaps::Get();
    for (Rule* pBase : bastionRules) {
        auto* pRule = dynamic_cast<CIDSRule*>(pBase);
        if (pRule != nullptr && pRule->IsEnabled() && pRule->m_dwRuleKind == kIDSRuleBastion) {
            maps.fwRules.emplace(static_cast<int32_t>(pRule->m_dwEventId), pRule);
        }
    }
    for (Rule* pBase : idsRules) {
        auto* pRule = dynamic_cast<CIDSRule*>(pBase);
        if (pRule != nullptr && pRule->IsEnabled() && pRule->m_dwRuleKind == kIDSRuleSignature) {
            maps.idsRules.emplace(pRule->GetName(), pRule);
            // A signature's module issue id is its TID.
            if (pRule->m_nTID > 0) {
                maps.issueNames.emplace(pRule->m_nTID, pRule->GetName());
            }
        }
    }
    maps.bBuilt = true;
    CSF_TRACE(kCSFLogInfo, "Leaving InitializeRuleMap");
}

void CEngineIDSSlave::ClearRuleMaps() {
    SlaveRuleMaps& maps = SlaveRuleMaps::Get();
    maps.fwRules.clear();
    maps.idsRules.clear();
    maps.issueNames.clear();
    maps.bBuilt = false;
}
