#include "Plugin/CorrelationCheck.h"

#include <cstdint>
#include <map>
#include <string>

#include "Common/CCorrelationRule.h"
#include "Common/CThreadList.h"
#include "Common/EngineBase.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "qorCSFLib/CSFLog.h"

namespace {

// How DescribeInput begins for an engine the policy switched off.
constexpr const char kEngineOff[] = "off: ";

// Where a watched rule lives, and whether its engine runs: asked of each
// engine once.
class EngineStates {
public:
    explicit EngineStates(const CThreadList* pEngines) : m_pEngines(pEngines) {}

    // The first engine, in list order, that holds a rule named `strName`
    // (the rule a correlation rule's reader found), with the rule.
    CEngineBase* Owner(const std::string& strName, Rule*& pRule) const {
        pRule = nullptr;
        for (size_t i = 0; m_pEngines != nullptr && i < m_pEngines->GetCount(); ++i) {
            CEngineBase* pEngine = m_pEngines->GetAt(i);
            RuleContainer* pRules = pEngine != nullptr ? pEngine->GetRuleContainer() : nullptr;
            if (pRules != nullptr && (pRule = pRules->Find(strName.c_str())) != nullptr) {
                return pEngine;
            }
        }
        return nullptr;
    }

    // Why `pEngine` is off ("network monitoring ... is off"), or "" when it
    // runs.
    const std::string& OffReason(CEngineBase* pEngine) {
        auto [it, bNew] = m_Off.try_emplace(pEngine);
        if (bNew) {
            std::string strInput;
            pEngine->DescribeInput(strInput);
            if (strInput.rfind(kEngineOff, 0) == 0) {
                it->second = strInput.substr(sizeof kEngineOff - 1);
            }
        }
        return it->second;
    }

private:
    const CThreadList* m_pEngines;
    std::map<CEngineBase*, std::string> m_Off;
};

// Why the watched rule `strName` gives no alert, after its name and a
// comma ("a rule of the IDS Engine, which is off (...)"), or "" when it
// may.
std::string WhyNoAlerts(const std::string& strName, EngineStates& engines) {
    Rule* pRule = nullptr;
    CEngineBase* pEngine = engines.Owner(strName, pRule);
    if (pEngine == nullptr || pRule == nullptr) {
        return "no rule";
    }
    if (!pRule->IsEnabled()) {
        return "a rule switched off";
    }
    const std::string& strOff = engines.OffReason(pEngine);
    if (!strOff.empty()) {
        return std::string("a rule of the ") + pEngine->GetName() + ", which is off (" + strOff + ")";
    }
    return "";
}

void CheckRule(const std::string& strPath, const CCorrelationRule& rule, EngineStates& engines) {
    const std::vector<CCorrelationRule::Slot> slots = rule.GetSlots();
    std::string strDead;
    size_t nLive = 0;
    uint64_t qwReach = 0;
    // The reader keeps the names its "Rules" key lists (the rule's third
    // list), and a slot for each, with the name only when it found that
    // rule.
    const std::vector<std::string>& names = rule.GetList(3);
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string strWhy = WhyNoAlerts(names[i], engines);
        if (strWhy.empty()) {
            ++nLive;
            qwReach += i < slots.size() ? slots[i].m_dwWeight : 0;
            continue;
        }
        const std::string strWatched = "\"" + names[i] + "\", " + strWhy;
        strDead += (strDead.empty() ? "" : "; ") + strWatched;
        Rule* pRule = nullptr;
        if (engines.Owner(names[i], pRule) != nullptr) {
            // Not the reader's "no enabled rule": said here.
            PolicyKeyAudit::Say(kCSFLogWarning, "Rule " + strPath + " watches " + strWatched +
                                                    ": its alerts never count");
        }
    }
    if (nLive == 0) {
        PolicyKeyAudit::Say(kCSFLogError,
                            "Rule " + strPath + " can never fire: " +
                                (names.empty() ? std::string("its \"Rules\" key names no rule")
                                               : "no rule it watches gives an alert (" + strDead +
                                                     ")"));
        return;
    }
    // Compared as the trigger compares it, unsigned.
    const uint32_t dwThreshold = static_cast<uint32_t>(rule.GetThreshold());
    if (rule.GetCorrelationType() == CCorrelationRule::kScan && dwThreshold > qwReach) {
        PolicyKeyAudit::Say(kCSFLogError,
                            "Rule " + strPath + " can never fire: a SCAN rule counts each rule it "
                            "watches once, with its weight, so the rules that can alert reach " +
                                std::to_string(qwReach) + " at most, below its \"Threshold\" " +
                                std::to_string(dwThreshold));
    }
}

}  // namespace

void CheckCorrelationReach(const std::vector<PolicyKeyAudit::TakenRule>& taken,
                           const CThreadList* pEngines) {
    EngineStates engines(pEngines);
    for (const PolicyKeyAudit::TakenRule& rule : taken) {
        if (const auto* pCorrelation = dynamic_cast<const CCorrelationRule*>(rule.m_pRule)) {
            CheckRule(rule.m_strPath, *pCorrelation, engines);
        }
    }
}
