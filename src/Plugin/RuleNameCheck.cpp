#include "Plugin/RuleNameCheck.h"

#include <algorithm>
#include <map>
#include <string>

#include "Common/CCorrelationRule.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "qorCSFLib/CSFEventRegistry.h"
#include "qorCSFLib/CSFLog.h"

namespace {

// "A", "A and B", "A, B and C".
std::string Listed(const std::vector<std::string>& items) {
    std::string strText;
    for (size_t i = 0; i < items.size(); ++i) {
        strText += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    }
    return strText;
}

void AddOnce(std::vector<std::string>& items, const std::string& strItem) {
    if (std::find(items.begin(), items.end(), strItem) == items.end()) {
        items.push_back(strItem);
    }
}

// The correlation rules attached to `rule`, by key.
std::vector<std::string> Watchers(const Rule& rule, const std::map<const Rule*, std::string>& paths) {
    std::vector<std::string> watchers;
    if (const RuleContainer* pWatchers = rule.GetCorrelationRules()) {
        for (Rule* pWatcher : *pWatchers) {
            auto found = paths.find(pWatcher);
            if (dynamic_cast<CCorrelationRule*>(pWatcher) != nullptr && found != paths.end()) {
                AddOnce(watchers, found->second);
            }
        }
    }
    return watchers;
}

void SayNoEvent(const PolicyKeyAudit::TakenRule& taken) {
    const Rule& rule = *taken.m_pRule;
    PolicyKeyAudit::Say(kCSFLogError,
                        "Rule " + taken.m_strPath + " alerts as \"" + rule.GetName() + "\"" +
                            (rule.GetOrigin() == kRuleOriginSecCheckId ? " (its \"SecCheckId\")"
                                                                       : "") +
                            ", but no policy event was registered under that name: its alerts "
                            "are dropped");
}

void SaySharedName(const std::string& strName, const std::vector<std::string>& places,
                   const std::string& strResponsesOf,
                   const std::vector<std::pair<std::string, std::vector<std::string>>>& watched) {
    std::string strText = "Rules " + Listed(places) + " share the name \"" + strName +
                          "\": the host cannot tell their alerts apart";
    if (!strResponsesOf.empty()) {
        strText += " and carries out the responses of " + strResponsesOf + " for all of them";
    }
    for (const auto& [strWatched, watchers] : watched) {
        strText += std::string("; correlation rule") + (watchers.size() == 1 ? " " : "s ") +
                   Listed(watchers) + (watchers.size() == 1 ? " counts" : " count") +
                   " only the alerts of " + strWatched;
    }
    PolicyKeyAudit::Say(kCSFLogWarning, strText);
}

}  // namespace

void CheckRuleNames(const std::vector<PolicyKeyAudit::TakenRule>& taken,
                    const CSFEventRegistry* pRegistry) {
    std::map<const Rule*, std::string> paths;
    std::vector<std::string> names;
    std::map<std::string, std::vector<const PolicyKeyAudit::TakenRule*>> byName;
    for (const PolicyKeyAudit::TakenRule& rule : taken) {
        if (rule.m_pRule == nullptr) {
            continue;
        }
        paths.emplace(rule.m_pRule, rule.m_strPath);
        auto& same = byName[rule.m_pRule->GetName()];
        if (same.empty()) {
            names.push_back(rule.m_pRule->GetName());
        }
        same.push_back(&rule);
    }
    static const std::vector<std::string> kNone;
    for (const std::string& strName : names) {
        const std::vector<const PolicyKeyAudit::TakenRule*>& rules = byName[strName];
        const std::vector<std::string>* pEvents = &kNone;
        if (pRegistry != nullptr) {
            auto found = pRegistry->GetRegisteredEvents().find(strName);
            pEvents = found != pRegistry->GetRegisteredEvents().end() ? &found->second : &kNone;
            if (pEvents->empty()) {
                for (const PolicyKeyAudit::TakenRule* pRule : rules) {
                    SayNoEvent(*pRule);
                }
                continue;
            }
        }
        // Every key of the name: the rules taken and the keys whose events
        // the host holds under it (an enabled key a reader refused still
        // has one, and may be the one kept).
        std::vector<std::string> places;
        std::vector<std::pair<std::string, std::vector<std::string>>> watched;
        for (const PolicyKeyAudit::TakenRule* pRule : rules) {
            AddOnce(places, pRule->m_strPath);
            std::vector<std::string> watchers = Watchers(*pRule->m_pRule, paths);
            if (!watchers.empty()) {
                watched.emplace_back(pRule->m_strPath, std::move(watchers));
            }
        }
        for (const std::string& strEvent : *pEvents) {
            AddOnce(places, PolicyKeyAudit::NormalisePath(strEvent));
        }
        if (places.size() > 1) {
            SaySharedName(strName, places,
                          pEvents->empty() ? std::string()
                                           : PolicyKeyAudit::NormalisePath(pEvents->back()),
                          watched);
        }
    }
}
