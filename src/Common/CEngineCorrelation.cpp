#include "Common/CEngineCorrelation.h"

#include "Common/InitializeCorrelationRules.h"
#include "Common/RuleContainer.h"
#include "qorCSFLib/CSFEventRegistry.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/jsFastLock.h"

CEngineCorrelation::CEngineCorrelation(IPolicyEventInterface* pPrototype)
    : CEngineBase("Correlation Engine"),
      m_pPrototype(pPrototype),
      m_pDefaultReader(std::make_unique<CInitializeCorrelationRules>(this)),
      m_pUserReader(std::make_unique<CInitializeUserCorrelationRules>(this)) {}

CEngineCorrelation::~CEngineCorrelation() = default;

int32_t CEngineCorrelation::OnStart(uint32_t /*dwArgument*/) { return 0; }
int32_t CEngineCorrelation::OnStopInit(uint32_t /*dwArgument*/) { return 0; }
int32_t CEngineCorrelation::OnStop(uint32_t /*dwArgument*/) {
    SayKeeping();
    return 0;
}

void CEngineCorrelation::SayKeeping() {
    RuleContainer* pRules = GetRuleContainer();
    if (pRules == nullptr) {
        return;
    }
    for (Rule* pRule : *pRules) {
        const auto* pCorrelation = dynamic_cast<const CCorrelationRule*>(pRule);
        if (pCorrelation == nullptr) {
            continue;
        }
        const CCorrelationRule::Keeping keeping = pCorrelation->KeepingNow();
        if (keeping.m_nKeptEntries + keeping.m_nFoldedEntries == 0) {
            continue;
        }
        CSF_LOG(kCSFLogInfo,
                "Correlation rule %s keeps %zu entries of hits with their values (%zu bytes of values) and %zu "
                "entries of folded hits",
                pCorrelation->GetName().c_str(), keeping.m_nKeptEntries, keeping.m_nKeptBytes, keeping.m_nFoldedEntries);
    }
}
int32_t CEngineCorrelation::OnPauseInit(uint32_t /*dwArgument*/) { return 0; }
int32_t CEngineCorrelation::OnPause(uint32_t dwArgument) {
    // Every other engine has paused by now: nothing counts meanwhile.
    if (IsReload(dwArgument)) {
        KeepCounts();
    }
    return 0;
}

int32_t CEngineCorrelation::OnReloadPolicy(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::OnReloadPolicy(dwArgument);
    if (nResult == 0) {
        RestoreCounts();
    }
    m_KeptCounts.clear();
    return nResult;
}

void CEngineCorrelation::KeepCounts() {
    m_KeptCounts.clear();
    RuleContainer* pRules = GetRuleContainer();
    if (pRules == nullptr) {
        return;
    }
    for (Rule* pRule : *pRules) {
        if (auto* pCorrelation = dynamic_cast<CCorrelationRule*>(pRule)) {
            m_KeptCounts[pCorrelation->GetName()] = {pCorrelation->GetCorrelationType(), pCorrelation->GetTimeWindow(),
                                                    pCorrelation->GetLastAlertTime(), pCorrelation->GetSlots()};
        }
    }
}

void CEngineCorrelation::RestoreCounts() {
    RuleContainer* pRules = GetRuleContainer();
    if (pRules == nullptr || m_KeptCounts.empty()) {
        return;
    }
    for (Rule* pRule : *pRules) {
        auto* pCorrelation = dynamic_cast<CCorrelationRule*>(pRule);
        const auto kept = pCorrelation != nullptr ? m_KeptCounts.find(pCorrelation->GetName()) : m_KeptCounts.end();
        // Another type or window counts other hits: it starts afresh.
        if (kept == m_KeptCounts.end() || kept->second.m_nType != pCorrelation->GetCorrelationType() ||
            kept->second.m_nTimeWindow != pCorrelation->GetTimeWindow()) {
            continue;
        }
        std::vector<CCorrelationRule::Slot> slots = pCorrelation->GetSlots();
        for (CCorrelationRule::Slot& slot : slots) {
            for (const CCorrelationRule::Slot& old : kept->second.m_Slots) {
                if (!slot.m_strRuleName.empty() && old.m_strRuleName == slot.m_strRuleName &&
                    old.m_strInfoField == slot.m_strInfoField) {
                    slot.m_Hits = old.m_Hits;
                    break;
                }
            }
        }
        pCorrelation->SetSlots(std::move(slots));
        pCorrelation->SetLastAlertTime(kept->second.m_tLastAlert);
    }
}
int32_t CEngineCorrelation::OnResume(uint32_t /*dwArgument*/) { return 0; }

uint32_t CEngineCorrelation::_doWork() { return 0; }

int32_t CEngineCorrelation::ConfigureEventSections(CSFEventRegistry* pRegistry) {
    if (pRegistry == nullptr) {
        return 0;
    }
    pRegistry->RegisterSection(m_pDefaultReader->GetRulesSectionPath().c_str(), m_pPrototype, 1);
    pRegistry->RegisterSection(m_pUserReader->GetRulesSectionPath().c_str(), m_pPrototype, 1);
    return 0;
}

int32_t CEngineCorrelation::PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) {
    m_pDefaultReader->ReadRules(pContainer, pPolicy);
    m_pUserReader->ReadRules(pContainer, pPolicy);
    return 0;
}

uint8_t CEngineCorrelation::ExecuteResponses(AgentEventInfo* pRecord) {
    qorFastLock guard(m_executeLock, true);
    return CEngineBase::ExecuteResponses(pRecord);
}
