#include "IDS/CEngineIDSSlave.h"

#include "IDS/HWEventMatchNotify.h"
#include "IDS/IDSEventQueue.h"
#include "IDS/IDSRule.h"
#include "IDS/SlaveRuleMaps.h"
#include "qorCSFLib/CSFLog.h"

bool CEngineIDSSlave::BlockEnabled = false;
int32_t CEngineIDSSlave::ZamLoopTimeout = 60;
int32_t CEngineIDSSlave::DynamicBlockPeriod = -1;

CEngineIDSSlave::CEngineIDSSlave(const char* pszAdapterName, uint32_t dwCustomerId,
                                 uint32_t dwAdapterFlags, IDSEventQueue* pQueue)
    : CEngineBase(pszAdapterName != nullptr ? pszAdapterName : ""),
      m_dwCustomerId(dwCustomerId),
      m_strAdapterName(pszAdapterName != nullptr ? pszAdapterName : ""),
      m_dwAdapterFlags(dwAdapterFlags),
      m_pFrame(std::make_unique<rp::Frame>()),
      m_pFirewall(std::make_unique<CFirewall>()),
      m_pQueue(pQueue),
      m_pParsedFrameInfo(std::make_unique<ParsedFrameInfo>()) {
    CSF_TRACE(kCSFLogInfo, "%s: ...leaving Constructor", m_strAdapterName.c_str());
}

CEngineIDSSlave::~CEngineIDSSlave() {
    // The thread reads every member below; it must be gone first.
    StopAndWait();
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

uint32_t CEngineIDSSlave::_doWork() {
    if (!bIDSSInitialized) {
        CSF_LOG(kCSFLogError, "%s: IDS is not initialized on this interface",
                m_strAdapterName.c_str());
        return 1;
    }
    return 0;
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
