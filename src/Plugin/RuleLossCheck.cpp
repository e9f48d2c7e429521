#include "Plugin/RuleLossCheck.h"

#include "Common/CThreadList.h"
#include "Common/EngineBase.h"
#include "Common/PolicyKeyAudit.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "Plugin/PolicyFiles.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"

namespace {

constexpr const char* kTableRoots[] = {"\\Advanced\\Rules", "\\Advanced\\userdefinedsignatures"};
// Its rules sit one level further down, in one section per protocol.
constexpr const char kBastionTable[] = "\\Advanced\\Rules\\Bastion";
// A table's information pairs, not a rule.
constexpr const char kInfoKey[] = "Info";

size_t CountTableRules(IPolicyContainer* pPolicy, const std::string& strTable) {
    size_t nRules = 0;
    for (const std::string& strKey : PolicySubKeys(pPolicy, strTable)) {
        nRules += strKey != kInfoKey ? 1 : 0;
    }
    return nRules;
}

// The rules tables of a policy: each table under the two roots, the
// Bastion rules by section.
std::vector<std::string> RuleTables(IPolicyContainer* pPolicy) {
    std::vector<std::string> tables;
    for (const char* pszRoot : kTableRoots) {
        for (const std::string& strName : PolicySubKeys(pPolicy, pszRoot)) {
            const std::string strTable = std::string(pszRoot) + "\\" + strName;
            if (strTable != kBastionTable) {
                tables.push_back(strTable);
                continue;
            }
            for (const std::string& strSection : PolicySubKeys(pPolicy, strTable)) {
                tables.push_back(strTable + "\\" + strSection);
            }
        }
    }
    return tables;
}

}  // namespace

size_t CountEnabledRules(CEngineBase* pEngine) {
    size_t nRules = 0;
    if (RuleContainer* pRules = pEngine != nullptr ? pEngine->GetRuleContainer() : nullptr) {
        for (Rule* pRule : *pRules) {
            nRules += pRule != nullptr && pRule->IsEnabled() ? 1 : 0;
        }
    }
    return nRules;
}

std::vector<EngineRuleCount> CountEngineRules(const CThreadList* pEngines) {
    std::vector<EngineRuleCount> counts;
    for (size_t i = 0; pEngines != nullptr && i < pEngines->GetCount(); ++i) {
        if (CEngineBase* pEngine = pEngines->GetAt(i)) {
            counts.push_back({pEngine->GetName(), CountEnabledRules(pEngine)});
        }
    }
    return counts;
}

void WarnAboutLostRules(IPolicyContainer* pInForce, IPolicyContainer* pLoaded,
                        const std::vector<EngineRuleCount>& before,
                        const std::vector<EngineRuleCount>& after) {
    if (pInForce == nullptr || pLoaded == nullptr) {
        return;
    }
    for (const std::string& strTable : RuleTables(pInForce)) {
        const size_t nBefore = CountTableRules(pInForce, strTable);
        if (nBefore > 0 && CountTableRules(pLoaded, strTable) == 0) {
            PolicyKeyAudit::Say(kCSFLogWarning,
                                "The new policy has no rules in \"" + strTable +
                                    "\", where the policy it replaces has " +
                                    std::to_string(nBefore) +
                                    (nBefore == 1 ? " rule: it is" : " rules: they are") +
                                    " dropped (is the file whole?)");
        }
    }
    for (const EngineRuleCount& was : before) {
        for (const EngineRuleCount& now : after) {
            if (now.m_strEngine == was.m_strEngine && was.m_nRules > 0 && now.m_nRules == 0) {
                PolicyKeyAudit::Say(kCSFLogWarning,
                                    now.m_strEngine + " takes no rule of the new policy, where it "
                                                      "took " +
                                        std::to_string(was.m_nRules) +
                                        (was.m_nRules == 1 ? " rule" : " rules") +
                                        ": it detects nothing until a policy gives it rules");
            }
        }
    }
}
