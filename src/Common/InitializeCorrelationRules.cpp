#include "Common/InitializeCorrelationRules.h"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/CCorrelationRule.h"
#include "Common/ISensorCore.h"
#include "Common/PolicyKeyAudit.h"
#include "Common/RuleContainer.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/Console.h"
#include "qorCSFLib/CSFLog.h"

namespace {

int32_t ReadCorrelationType(const std::string& strType) {
    if (strType == "SCAN") {
        return CCorrelationRule::kScan;
    }
    if (strType == "CUMULATIVE") {
        return CCorrelationRule::kCumulative;
    }
    if (strType == "SCRIPT") {
        return CCorrelationRule::kScript;
    }
    plat::ConsoleWrite("Undefine rule type!\n");
    return CCorrelationRule::kScan;
}

// A weight that is 0, negative or no number at all counts as 1.
uint32_t ReadWeight(const std::string& strText) {
    const int32_t nWeight = AgentEventInfo::ReadInteger(strText, 10);
    return nWeight > 0 ? static_cast<uint32_t>(nWeight) : 1;
}

// Gives the watched rule a correlation list; false when it cannot be made.
bool MakeCorrelationList(Rule& watched) {
    if (watched.GetCorrelationRules() != nullptr) {
        return true;
    }
    std::unique_ptr<RuleContainer> pList(new (std::nothrow) RuleContainer());
    if (!pList) {
        // One write, ending its line, so no other line comes between or after.
        plat::ConsoleWrite("Unable to allocate memory for correlation rule collection.\n");
        return false;
    }
    watched.SetCorrelationRules(std::move(pList));
    return true;
}

}  // namespace

CInitializeCorrelationRules::~CInitializeCorrelationRules() = default;
CInitializeUserCorrelationRules::~CInitializeUserCorrelationRules() = default;

Rule* CInitializeCorrelationRules::CreateRule() {
    return new (std::nothrow) CCorrelationRule;
}

bool CInitializeCorrelationRules::ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection,
                                           const char* pszSubKey) {
    auto* pCorrelation = dynamic_cast<CCorrelationRule*>(pRule);
    if (pCorrelation == nullptr || pPolicy == nullptr || pszSection == nullptr || pszSubKey == nullptr) {
        return false;
    }
    pCorrelation->SetEngine(m_pEngine);
    const std::string strRulePath = std::string(pszSection) + "\\" + pszSubKey;
    const int32_t nZero = 0;
    const bool bThrottle = true;
    pCorrelation->SetThreshold(pPolicy->GetInt(strRulePath.c_str(), "Threshold", &nZero));
    pCorrelation->SetThrottle(pPolicy->GetBool(strRulePath.c_str(), "Throttle", &bThrottle));
    pCorrelation->SetTimeWindow(pPolicy->GetInt(strRulePath.c_str(), "Time Window", &nZero));
    const std::string strType = pPolicy->GetText(strRulePath.c_str(), "Type", "SCAN");
    pCorrelation->SetCorrelationType(ReadCorrelationType(strType));
    // What the console lines below say goes to the log and the load's
    // findings too, with the rule: a correlation rule that cannot count is
    // a rule lost.
    if (strType != "SCAN" && strType != "CUMULATIVE" && strType != "SCRIPT") {
        PolicyKeyAudit::Log(kCSFLogWarning, "Rule " + strRulePath + ": \"Type\" \"" + strType +
                                                "\" is no correlation type (SCAN, CUMULATIVE or "
                                                "SCRIPT); SCAN is used");
    }

    PolicyListGuard names;
    PolicyListGuard values;
    const std::string strWatched = strRulePath + "\\Rules";
    if (!pPolicy->GetValueTexts(strWatched.c_str(), &names.m_pList, &values.m_pList) ||
        names.m_pList == nullptr || values.m_pList == nullptr) {
        plat::ConsolePrintf("Unable to read rules key in Correlation Rule %s\n", pRule->GetName().c_str());
        PolicyKeyAudit::Log(kCSFLogWarning, "Rule " + strRulePath +
                                                " has no \"Rules\" key naming the rules it "
                                                "watches: it is left out");
        return false;
    }
    pCorrelation->SetValueListPair2(names.m_pList, values.m_pList, false);
    const std::string strInfo = pPolicy->GetText(strRulePath.c_str(), "Info", "");

    ISensorCore* pSensor = GetSensorCore();
    RuleContainer* pSensorRules = pSensor != nullptr ? pSensor->GetRuleContainer() : nullptr;
    std::vector<CCorrelationRule::Slot> slots(names.m_pList->GetCount());
    std::vector<Rule*> watched(slots.size(), nullptr);
    for (size_t i = 0; i < slots.size(); ++i) {
        const std::string strName = names.m_pList->GetItem(i);
        watched[i] = pSensorRules != nullptr ? pSensorRules->Find(strName.c_str()) : nullptr;
        if (watched[i] == nullptr) {
            plat::ConsolePrintf("%s rule not found for correlation rule %s\n", strName.c_str(),
                                pRule->GetName().c_str());
            PolicyKeyAudit::Log(kCSFLogWarning, "Rule " + strRulePath + " watches \"" + strName +
                                                    "\", which is no enabled rule: its alerts "
                                                    "never count");
            continue;
        }
        if (!MakeCorrelationList(*watched[i])) {
            return false;
        }
        slots[i].m_strRuleName = strName;
        slots[i].m_dwWeight = ReadWeight(i < values.m_pList->GetCount() ? values.m_pList->GetItem(i) : "");
        slots[i].m_strInfoField = strInfo;
    }
    // Attached only once nothing can refuse the rule any more: a refused
    // rule is deleted, and must not stay behind in a watched rule's list.
    for (Rule* pWatched : watched) {
        if (pWatched == nullptr) {
            continue;
        }
        if (pWatched->IsEnabled()) {
            pWatched->Enable(1);
        }
        pWatched->GetCorrelationRules()->Add(pCorrelation);
    }
    pCorrelation->SetSlots(std::move(slots));
    return true;
}
