#include "Common/Rule.h"

#include <new>

#include "Common/AgentEventInfo.h"
#include "Common/AlertTypes.h"
#include "Common/ICorrelationRule.h"
#include "Common/ISensorCore.h"
#include "Common/RuleContainer.h"
#include "Common/RuleScript.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/Console.h"

namespace {

// A correlation alert passes the gates of the correlation rules that watch
// its own rule; rules that watch each other would go round without end.
constexpr int kMaxCorrelationDepth = 8;
thread_local int t_nCorrelationDepth = 0;

uint32_t AppendItems(std::vector<std::string>& list, qgStringVector* pItems, bool bRelease) {
    if (pItems == nullptr) {
        return 0;
    }
    uint32_t dwCount = 0;
    for (const std::string* p = pItems->Begin(); p != pItems->End(); ++p) {
        list.push_back(*p);
        ++dwCount;
    }
    if (bRelease) {
        pItems->Release();
    }
    return dwCount;
}

}  // namespace

Rule::Rule() = default;

Rule::Rule(const Rule& source) {
    Rule::operator=(source);
}

Rule::~Rule() = default;

Rule& Rule::operator=(const Rule& source) {
    if (&source == this) {
        return *this;
    }
    for (uint32_t i = 0; i < kListCount; ++i) {
        m_Lists[i] = source.m_Lists[i];
    }
    m_InfoPairs = source.m_InfoPairs;
    m_dwOrigin = source.m_dwOrigin;
    m_nAlertType = source.m_nAlertType;
    m_bEnabled = source.m_bEnabled;
    m_strName = source.m_strName;
    m_dwPriority = source.m_dwPriority;
    m_nRiskLevel = source.m_nRiskLevel;
    m_bNeedTcl = source.m_bNeedTcl;
    m_strLogType = source.m_strLogType;
    m_strAlertTypeName = source.m_strAlertTypeName;
    m_pScript.reset();
    if (source.m_pScript) {
        // The copy's script names the copy as its owner, so that a record
        // validated through it is bound to a rule that is alive as long as
        // the script is.
        m_pScript = std::make_unique<RuleScript>(*source.m_pScript);
        m_pScript->SetOwningRule(this);
    }
    m_pCorrelationRules.reset();
    if (source.m_pCorrelationRules) {
        m_pCorrelationRules = std::make_unique<RuleContainer>(*source.m_pCorrelationRules);
    }
    m_strInvalidResponses.clear();
    return *this;
}

void Rule::Enable(uint32_t /*dwUnused*/) {
    m_bEnabled = true;
}

void Rule::SetAlertType(const char* pszName) {
    const char* pszText = pszName != nullptr ? pszName : "";
    m_nAlertType = AlertTypeCode(pszText);
    m_strAlertTypeName = *pszText != '\0' ? pszText : g_szUserDefinedEvent;
}

void Rule::SetPriority(uint32_t dwPriority) {
    if (dwPriority == 0) {
        m_dwPriority = 1;
    } else if (dwPriority > 3) {
        m_dwPriority = 3;
    } else {
        m_dwPriority = dwPriority;
    }
}

uint32_t Rule::FillLists(uint32_t dwFirst, qgStringVector* pFirst, qgStringVector* pSecond,
                         bool bRelease) {
    AppendItems(GetList(dwFirst), pFirst, bRelease);
    return AppendItems(GetList(dwFirst + 1), pSecond, bRelease);
}

uint32_t Rule::SetValueListPair1(qgStringVector* pNames, qgStringVector* pValues, bool bRelease) {
    return FillLists(1, pNames, pValues, bRelease);
}

uint32_t Rule::SetNameList2(qgStringVector* pNames, bool bRelease) {
    return AppendItems(GetList(3), pNames, bRelease);
}

uint32_t Rule::SetValueListPair2(qgStringVector* pNames, qgStringVector* pValues, bool bRelease) {
    return FillLists(3, pNames, pValues, bRelease);
}

uint32_t Rule::SetValueListPair3(qgStringVector* pNames, qgStringVector* pValues, bool bRelease) {
    return FillLists(5, pNames, pValues, bRelease);
}

uint32_t Rule::SetValueListPair4(qgStringVector* pNames, qgStringVector* pValues, bool bRelease) {
    return FillLists(7, pNames, pValues, bRelease);
}

uint32_t Rule::SetValueListPair5(qgStringVector* pNames, qgStringVector* pValues, bool bRelease) {
    return FillLists(9, pNames, pValues, bRelease);
}

void Rule::SetScript(std::unique_ptr<RuleScript> pScript) {
    m_pScript = std::move(pScript);
}

void Rule::SetCorrelationRules(std::unique_ptr<RuleContainer> pContainer) {
    m_pCorrelationRules = std::move(pContainer);
}

bool Rule::CorrelationAllows(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                             uint32_t dwFlags) {
    if (!m_pCorrelationRules || m_pCorrelationRules->Count() == 0 ||
        t_nCorrelationDepth >= kMaxCorrelationDepth) {
        return true;
    }
    struct Firing {
        ICorrelationRule* m_pRule;
        std::unique_ptr<AgentEventInfo> m_pAlert;
    };
    std::vector<Firing> firings;
    for (Rule* pEntry : *m_pCorrelationRules) {
        auto* pCorrelation = dynamic_cast<ICorrelationRule*>(pEntry);
        if (pCorrelation != nullptr && pEntry->IsEnabled()) {
            std::unique_ptr<AgentEventInfo> pAlert;
            if (!pCorrelation->Trigger(this, pRecord, pAlert)) {
                firings.push_back(Firing{pCorrelation, std::move(pAlert)});
            }
        }
    }
    if (firings.empty()) {
        return true;
    }
    // The record goes to the host once, however many rules fired on it,
    // and before their alerts, which it caused.
    if (ISensorCore* pSensor = GetSensorCore()) {
        pSensor->DeliverToHost(pRecord, pInfo, dwWord, dwFlags);
    } else {
        delete pRecord;
    }
    ++t_nCorrelationDepth;
    for (Firing& firing : firings) {
        firing.m_pRule->RaiseAlert(std::move(firing.m_pAlert));
    }
    --t_nCorrelationDepth;
    return false;
}

void SetRuleInfoPair(Rule* pRule, const char* pszName, const char* pszValue) {
    if (pRule == nullptr || pszName == nullptr) {
        return;
    }
    const char* pszText = pszValue != nullptr ? pszValue : "";
    try {
        for (InfoPair& pair : pRule->GetInfoPairs()) {
            if (pair.m_strName == pszName) {
                pair.m_strValue = pszText;
                return;
            }
        }
        pRule->GetInfoPairs().push_back(InfoPair{pszName, pszText});
    } catch (const std::bad_alloc&) {
        plat::ConsoleWrite("Unable to create info pair vector.\n");
    }
}
