#include "Common/InitializeRules.h"

#include <strings.h>

#include <algorithm>
#include <memory>
#include <new>

#include "Common/AlertTypes.h"
#include "Common/ISensorCore.h"
#include "Common/InfoTemplateCheck.h"
#include "Common/PolicyKeyAudit.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "Common/RuleScript.h"
#include "Common/SensorSettings.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/Console.h"
#include "platform/SettingsText.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/PluginPolicyContainer.h"
#include "qorToolsLib/ConfigStore.h"

namespace {

bool GetBool(IPolicyContainer* pPolicy, const std::string& strPath, const char* pszName,
             bool bDefault) {
    return pPolicy->GetBool(strPath.c_str(), pszName, &bDefault);
}

int32_t GetInt(IPolicyContainer* pPolicy, const std::string& strPath, const char* pszName,
               int32_t nDefault) {
    return pPolicy->GetInt(strPath.c_str(), pszName, &nDefault);
}

// A copy: the container's text is only good until this thread's next read.
std::string GetText(IPolicyContainer* pPolicy, const std::string& strPath, const char* pszName) {
    const char* pszText = pPolicy->GetText(strPath.c_str(), pszName, "");
    return pszText != nullptr ? std::string(pszText) : std::string();
}

// How a finding about one information pair's template begins.
std::string TemplateHead(const std::string& strOwner, const std::string& strName, const std::string& strTemplate) {
    return strOwner + ": information pair \"" + strName + "\": the template \"" + strTemplate + "\" ";
}

// A policy text does not keep the blanks around it, which for a template
// are part of what it matches: one that began or ended with blanks next to
// the words of its marker would quietly match otherwise.  `strText` is the
// pair's text as kept.  Blanks at the end can be kept by ending the
// template with "|" (an empty last alternative gives the empty value a
// template that matches nothing gives).
void WarnOfTemplateBlanks(IPolicyContainer* pPolicy, const std::string& strInfoPath, const std::string& strOwner,
                          const std::string& strName, const std::string& strText) {
    static constexpr char kMarker[] = "{!}";
    auto* pOwn = dynamic_cast<PluginPolicyContainer*>(pPolicy);
    std::string strWritten;
    if (strText.find(kMarker) == std::string::npos || pOwn == nullptr || pOwn->GetStore() == nullptr ||
        !pOwn->GetStore()->GetWrittenText(strInfoPath, strName, strWritten)) {
        return;
    }
    const std::string strHead = TemplateHead(strOwner, strName, strWritten);
    const std::string strFirst = strText.substr(0, strText.find('|'));
    const std::string strLast = strText.substr(strText.rfind('|') + 1);
    const size_t nLastMarker = strLast.find(kMarker);
    if (!plat::IsSettingsSpace(strWritten.back()) || nLastMarker == std::string::npos) {
        // Nothing lost at the end that a match would have used.
    } else if (nLastMarker + sizeof kMarker - 1 == strLast.size()) {
        PolicyKeyAudit::Say(kCSFLogWarning,
                            strHead + "ends in blanks after its marker, which a policy text does not keep: the value "
                                      "runs to the end of the text instead of ending before them; end the template "
                                      "with \"|\" to keep them (\"" + strWritten + "|\")");
    } else {
        const std::string strSuffix = strLast.substr(nLastMarker + sizeof kMarker - 1);
        PolicyKeyAudit::Say(kCSFLogWarning,
                            strHead + "ends in blanks, which a policy text does not keep: the value ends before the "
                                      "first \"" + strSuffix + "\" without them; end the template with \"|\" to "
                                      "keep them (\"" + strWritten + "|\")");
    }
    if (plat::IsSettingsSpace(strWritten.front()) && strFirst.find(kMarker) != std::string::npos) {
        PolicyKeyAudit::Say(kCSFLogWarning,
                            strHead + "begins with blanks, which a policy text does not keep: the text is matched "
                                      "from \"" + strFirst.substr(0, strFirst.find(kMarker)) + "\" without them");
    }
}

// A template the engine takes without a word at each alert, though it
// cannot mean what it says: a marker of another engine or misspelt, a
// number past what the input holds, a "{!}" that is no marker.  Said at
// the load, since nothing is said when it is used.
void WarnOfTemplateMarkers(const InfoTemplateMarkers* pMarkers, const std::string& strOwner,
                           const std::string& strName, const std::string& strText) {
    if (pMarkers == nullptr) {
        return;
    }
    for (const std::string& strFinding : CheckInfoTemplate(*pMarkers, strText)) {
        PolicyKeyAudit::Say(kCSFLogWarning, TemplateHead(strOwner, strName, strText) + strFinding);
    }
}

bool StartsWith(const std::string& strText, const char* pszPrefix) {
    return strText.compare(0, std::char_traits<char>::length(pszPrefix), pszPrefix) == 0;
}

}  // namespace

PolicyListGuard::~PolicyListGuard() {
    if (m_pList != nullptr) {
        m_pList->Release();
    }
}

InitializeRules::~InitializeRules() = default;

std::string InitializeRules::GetRulesSectionPath() {
    return std::string(GetRulesBase()) + GetRulesKey() + "\\";
}

void InitializeRules::ReadRules(RuleContainer* pContainer, IPolicyContainer* pPolicy) {
    if (pContainer == nullptr || pPolicy == nullptr) {
        return;
    }
    const std::string strSection = std::string(GetRulesBase()) + GetRulesKey();
    CSF_TRACE(kCSFLogInfo, "iterating rules: %s", strSection.c_str());
    PolicyListGuard names;
    if (!pPolicy->GetSubKeyNames(strSection.c_str(), &names.m_pList) || names.m_pList == nullptr) {
        CSF_TRACE(kCSFLogInfo, "Unable to read rules table.");
        return;
    }
    ISensorCore* pSensor = GetSensorCore();
    PolicyKeyAudit* pAudit = PolicyKeyAudit::Current();
    if (pAudit != nullptr) {
        pAudit->NoteTable(strSection);
    }
    auto note = [&](PolicyKeyAudit::RuleOutcome outcome, const Rule* pTaken = nullptr) {
        if (pAudit != nullptr) {
            pAudit->NoteRule(m_strRulePath, outcome, pTaken);
        }
    };
    for (const std::string* pName = names.m_pList->Begin(); pName != names.m_pList->End(); ++pName) {
        const std::string& strSubKey = *pName;
        CSF_TRACE(kCSFLogNotice, "%s", strSubKey.c_str());
        m_strRulePath = strSection + "\\" + strSubKey;
        if (!GetBool(pPolicy, m_strRulePath, "Enabled", false)) {
            note(PolicyKeyAudit::kRuleOff);
            continue;
        }
        std::unique_ptr<Rule> pRule(CreateRule());
        if (!pRule) {
            CSF_TRACE(kCSFLogInfo, "Unable to create a rule object.");
            break;
        }
        pRule->Enable();
        const int32_t nPriority = GetInt(pPolicy, m_strRulePath, "Priority", 3);
        pRule->SetPriority(static_cast<uint32_t>(nPriority));
        if (nPriority < 1 || nPriority > 3) {
            PolicyKeyAudit::Say(kCSFLogWarning,
                                "Rule " + m_strRulePath + ": \"Priority\" " +
                                    std::to_string(nPriority) + " is outside 1 to 3; " +
                                    std::to_string(pRule->GetPriority()) + " is used");
        }
        pRule->SetRiskLevel(GetInt(pPolicy, m_strRulePath, "Risk Level", 1));
        const std::string strAlertType = GetText(pPolicy, m_strRulePath, "Alert Type");
        pRule->SetAlertType(strAlertType.c_str());
        if (!strAlertType.empty() && !IsAlertTypeName(strAlertType.c_str())) {
            PolicyKeyAudit::Say(kCSFLogWarning, "Rule " + m_strRulePath + ": \"Alert Type\" \"" +
                                                    strAlertType +
                                                    "\" is no alert type; UserDefinedEvent (210) "
                                                    "is used");
        }
        const bool bTypeMissing =
            strAlertType.empty() && pRule->GetAlertType() == kAlertUserDefinedEvent;
        const std::string strSecCheckId = GetText(pPolicy, m_strRulePath, kSecCheckIdValue);
        if (!strSecCheckId.empty()) {
            pRule->SetName(strSecCheckId);
            pRule->SetOrigin(kRuleOriginSecCheckId);
        } else {
            pRule->SetName(strSubKey);
            pRule->SetOrigin(StartsWith(m_strRulePath, kUserRulesBase) ? kRuleOriginUserDefined
                                                                       : kRuleOriginStandard);
        }
        pRule->SetLogType(GetText(pPolicy, m_strRulePath, "Log Type"));
        if (ReadRuleScript(pPolicy, m_strRulePath.c_str(), pRule.get()) == kRuleScriptDropRule) {
            note(PolicyKeyAudit::kRuleRefused);
            continue;
        }
        if (!ReadRule(pRule.get(), pPolicy, strSection.c_str(), strSubKey.c_str())) {
            ++m_dwRefused;
            CSF_TRACE(kCSFLogInfo, "Unable to create a rule object2.");
            note(PolicyKeyAudit::kRuleRefused);
            continue;
        }
        note(PolicyKeyAudit::kRuleTaken, pRule.get());
        if (bTypeMissing && pRule->GetAlertType() > 200) {
            CSF_TRACE(kCSFLogConsoleFlag, "\"%s\": missing Alert Type defaulted to \"UserDefinedEvent\"\n",
                      m_strRulePath.c_str());
        }
        if (pRule->GetAlertType() == 0) {
            pRule->SetAlertType(g_szUserDefinedEvent);
        }
        Rule* pAdded = pRule.release();
        pContainer->Add(pAdded);
        if (RuleContainer* pSensorRules = pSensor != nullptr ? pSensor->GetRuleContainer() : nullptr) {
            pSensorRules->Add(pAdded);
        }
        ReadResponses(pPolicy, pAdded, strSubKey);
    }
}

void InitializeRules::ReadResponses(IPolicyContainer* pPolicy, Rule* pRule,
                                    const std::string& strSubKey) {
    const std::string strResponses = m_strRulePath + "\\Response\\";
    std::string strInvalid;
    PolicyListGuard names;
    if (pPolicy->GetSubKeyNames(strResponses.c_str(), &names.m_pList) && names.m_pList != nullptr) {
        ISensorCore* pSensor = GetSensorCore();
        for (const std::string* pName = names.m_pList->Begin(); pName != names.m_pList->End();
             ++pName) {
            const std::string strKey = strResponses + *pName;
            const std::string strChoice = GetText(pPolicy, strKey, "Choice");
            if (!GetBool(pPolicy, strKey, "Enabled", false)) {
                // The rule's policy event takes every response with a
                // choice, whatever "Enabled" says: one its author switched
                // off still runs, and so its choice is held to the
                // definitions as any other's.
                if (strChoice.empty()) {
                    continue;
                }
                PolicyKeyAudit::Say(kCSFLogWarning,
                                    "Rule " + m_strRulePath + ": the response " + *pName +
                                        " is not enabled but has the choice \"" + strChoice +
                                        "\", and a response with a choice is carried out "
                                        "whatever \"Enabled\" says: remove its \"Choice\" "
                                        "to switch it off");
            }
            // Without a sensor there is no table to hold the choice against;
            // without any response definitions every choice would fail, and
            // the host says once that it has none.
            if (strChoice.empty() || pSensor == nullptr || !pSensor->HasResponseDefinitions() ||
                pSensor->IsValidResponse(pName->c_str(), strChoice.c_str())) {
                continue;
            }
            PolicyKeyAudit::Log(kCSFLogError, "Found invalid response : " + *pName + " \\ " +
                                                  strChoice + " for rule : " + strSubKey);
            PolicyKeyAudit::Log(kCSFLogError,
                                "Please review current policy applied to sensor for valid responses.");
            strInvalid += ", " + strChoice;
        }
    }
    pRule->SetInvalidResponses(strInvalid.empty() ? std::string() : strInvalid.substr(2));
}

namespace {

// In the log and the load's findings too, with the rule's key: a rule left
// out is said, as an error, since every alert it would have raised is lost.
void SayLeftOutForScript(const std::string& strRulePath, const std::string& strWhy) {
    PolicyKeyAudit::Log(kCSFLogError,
                        "Rule " + strRulePath + " has \"NeedTcl\" on but " + strWhy + ": it is left out");
}

}  // namespace

int32_t InitializeRules::ReadRuleScript(IPolicyContainer* pPolicy, const char* pszRulePath,
                                        Rule* pRule) {
    if (pPolicy == nullptr || pszRulePath == nullptr || pRule == nullptr) {
        return kRuleScriptNone;
    }
    const std::string strRulePath = pszRulePath;
    const bool bNeedTcl = GetBool(pPolicy, strRulePath, "NeedTcl", false);
    pRule->SetNeedTcl(bNeedTcl);
    const std::string strScriptPath = strRulePath + "\\Script";
    if (!GetBool(pPolicy, strScriptPath, "Enabled", false)) {
        if (!bNeedTcl) {
            return kRuleScriptNone;
        }
        plat::ConsolePrintf("Rule \"%s\" requires TCL, but TCL is not enabled; this rule will be ignored.\n",
                            pRule->GetName().c_str());
        SayLeftOutForScript(strRulePath, "no script to run");
        return kRuleScriptDropRule;
    }
    const std::string strType = GetText(pPolicy, strScriptPath, "ScriptType");
    if (strcasecmp(strType.c_str(), "TCL") != 0) {
        // Kept without its script, a rule that requires one would drop
        // every alert it raises.
        if (bNeedTcl) {
            SayLeftOutForScript(strRulePath, "its script's \"ScriptType\" is \"" + strType +
                                                 "\", not TCL, so no script of it runs");
            return kRuleScriptDropRule;
        }
        return kRuleScriptNotTcl;
    }
    std::string strProcedure = GetText(pPolicy, strScriptPath, "Procedures");
    std::string strInitial = GetText(pPolicy, strScriptPath, "Initial");
    std::string strValidation = GetText(pPolicy, strScriptPath, "Validation");
    ReplaceEscapedNewlines(strProcedure);
    ReplaceEscapedNewlines(strInitial);
    ReplaceEscapedNewlines(strValidation);
    if (strProcedure.empty() && strInitial.empty() && strValidation.empty()) {
        plat::ConsolePrintf("Rule \"%s\" has TCL enabled, but there is no TCL script; %s",
                            pRule->GetName().c_str(),
                            bNeedTcl ? "the rule will be ignored (because TCL is required for this rule\n"
                                     : "the rule will be processed without TCL\n");
        if (bNeedTcl) {
            SayLeftOutForScript(strRulePath, "no script to run");
        }
        return bNeedTcl ? kRuleScriptDropRule : kRuleScriptEmpty;
    }
    if (bNeedTcl && !SensorSettings::Instance().m_bScriptEnabled) {
        // No alert of the rule could ever meet its script: each would be
        // dropped, and the rule is better left out and said.
        plat::ConsolePrintf("Rule \"%s\" requires TCL, but TCL is not enabled; this rule will be ignored.\n",
                            pRule->GetName().c_str());
        SayLeftOutForScript(strRulePath,
                            "scripting is off in this policy (\"ScriptEnabled\" 0 in \\config)");
        return kRuleScriptDropRule;
    }
    if (bNeedTcl && strValidation.empty()) {
        SayLeftOutForScript(strRulePath, "its script has no \"Validation\" part, so none of its "
                                         "alerts could be validated");
        return kRuleScriptDropRule;
    }
    std::unique_ptr<RuleScript> pScript(new (std::nothrow) RuleScript(
        pRule->GetName().c_str(), strProcedure.c_str(), strInitial.c_str(), strValidation.c_str()));
    if (!pScript) {
        return bNeedTcl ? kRuleScriptDropRule : kRuleScriptEmpty;
    }
    pScript->SetOwningRule(pRule);
    pRule->SetScript(std::move(pScript));
    return kRuleScriptRead;
}

void InitializeRules::ReadInfoPairs(IPolicyContainer* pPolicy, const char* pszRulePath, Rule* pRule) {
    if (pPolicy == nullptr || pszRulePath == nullptr || pRule == nullptr) {
        return;
    }
    const std::string strInfoPath = std::string(pszRulePath) + "\\Info";
    PolicyListGuard names;
    PolicyListGuard texts;
    if (!pPolicy->GetValueTexts(strInfoPath.c_str(), &names.m_pList, &texts.m_pList) ||
        names.m_pList == nullptr || texts.m_pList == nullptr) {
        return;
    }
    const size_t nCount = std::min(names.m_pList->GetCount(), texts.m_pList->GetCount());
    // A table's own pairs are said once for the table, not for each rule.
    const std::string strOwner =
        pszRulePath == m_strRulePath ? "Rule " + m_strRulePath : "Rules table " + std::string(pszRulePath);
    for (size_t i = 0; i < nCount; ++i) {
        WarnOfTemplateBlanks(pPolicy, strInfoPath, strOwner, names.m_pList->GetItem(i), texts.m_pList->GetItem(i));
        WarnOfTemplateMarkers(GetTemplateMarkers(), strOwner, names.m_pList->GetItem(i), texts.m_pList->GetItem(i));
        SetRuleInfoPair(pRule, names.m_pList->GetItem(i).c_str(), texts.m_pList->GetItem(i).c_str());
    }
}
