#include "Common/CEngineCorrelation.h"

#include "Common/InitializeCorrelationRules.h"
#include "qorCSFLib/CSFEventRegistry.h"
#include "qorToolsLib/jsFastLock.h"

CEngineCorrelation::CEngineCorrelation(IPolicyEventInterface* pPrototype)
    : CEngineBase("Correlation Engine"),
      m_pPrototype(pPrototype),
      m_pDefaultReader(std::make_unique<CInitializeCorrelationRules>(this)),
      m_pUserReader(std::make_unique<CInitializeUserCorrelationRules>(this)) {}

CEngineCorrelation::~CEngineCorrelation() = default;

int32_t CEngineCorrelation::OnStart(uint32_t /*dwArgument*/) { return 0; }
int32_t CEngineCorrelation::OnStopInit(uint32_t /*dwArgument*/) { return 0; }
int32_t CEngineCorrelation::OnStop(uint32_t /*dwArgument*/) { return 0; }
int32_t CEngineCorrelation::OnPauseInit(uint32_t /*dwArgument*/) { return 0; }
int32_t CEngineCorrelation::OnPause(uint32_t /*dwArgument*/) { return 0; }
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
