#include "TextLogs/InitializeTextLogRules.h"

#include <cstdarg>
#include <new>

#include "Common/PolicyKeyAudit.h"
#include "TextLogs/TextLogListener.h"
#include "TextLogs/TextLogRule.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/BoundedFormat.h"

namespace {

// A copy: the container's text lasts only until this thread's next read.
std::string ReadText(IPolicyContainer* pPolicy, const std::string& strPath, const char* pszName,
                     const char* pszDefault) {
    const char* pszText = pPolicy->GetText(strPath.c_str(), pszName, pszDefault);
    return pszText != nullptr ? std::string(pszText) : std::string();
}

bool ReadBool(IPolicyContainer* pPolicy, const std::string& strPath, const char* pszName) {
    const bool bDefault = false;
    return pPolicy->GetBool(strPath.c_str(), pszName, &bDefault);
}

}  // namespace

CInitializeTextLogRules::~CInitializeTextLogRules() = default;
CInitializeUserTextLogRules::~CInitializeUserTextLogRules() = default;

Rule* CInitializeTextLogRules::CreateRule() {
    return new (std::nothrow) CTextLogRule;
}

InfoTemplateMarkers CInitializeTextLogRules::LineMarkers(const char* pszRuleKind, size_t nMaxBytes,
                                                         const char* pszWhy, const char* pszOwn) {
    return InfoTemplateMarkers{
        pszRuleKind,
        {{"@Field", "field", LastTextField(nMaxBytes), std::string(pszWhy) + std::to_string(nMaxBytes) + " bytes",
          true, false}},
        {"@File", "@Group", "@Host", pszOwn},
        false};
}

// As CEngineTextLog::ResolvePair reads them, over a line or a piece of a
// longer one.
const InfoTemplateMarkers* CInitializeTextLogRules::GetTemplateMarkers() const {
    static const InfoTemplateMarkers s_Markers =
        LineMarkers("a text-log rule", CTextLogListener::kLineMax, ": a line is read in pieces of at most ", "@HostIP");
    return &s_Markers;
}

void CInitializeTextLogRules::Report(uint32_t dwLevel, const char* pszFormat, ...) {
    char szText[1024];
    va_list args;
    va_start(args, pszFormat);
    BoundedVsnprintf(szText, sizeof szText, pszFormat, args);
    va_end(args);
    // Both engines read the table: what one reader has said during this
    // load, the other does not say again.
    PolicyKeyAudit::Say(dwLevel, szText);
}

bool CInitializeTextLogRules::ReadLogType(IPolicyContainer* pPolicy, const std::string& strRulePath,
                                          bool bTextLogAllowed) {
    const std::string strType = ReadText(pPolicy, strRulePath, "Log Type", "Syslog");
    if (strType.empty()) {
        Report(kCSFLogError, "No Log Type specified for Rule %s", strRulePath.c_str());
        return false;
    }
    if (strType == "Syslog" || (bTextLogAllowed && strType == kTextLogType)) {
        return true;
    }
    // A text-log rule is the other reader's, and valid there: refusing it
    // is no error.
    if (strType != kTextLogType) {
        Report(kCSFLogError, "Invalid rule type (%s) for rule %s", strType.c_str(),
               strRulePath.c_str());
    }
    return false;
}

bool CInitializeTextLogRules::ReadExpression(CTextLogRule* pRule, IPolicyContainer* pPolicy,
                                             const std::string& strRulePath) {
    const std::string strPattern = ReadText(pPolicy, strRulePath, "Regular Expression", "");
    // Read with or without a pattern, so that the policy audit knows them
    // as this table's keys.
    const bool bExcept = ReadBool(pPolicy, strRulePath, "Except");
    const bool bIgnoreCase = ReadBool(pPolicy, strRulePath, "Ignore Case");
    if (strPattern.empty()) {
        return false;
    }
    if (!pRule->SetExpression(strPattern.c_str(), bIgnoreCase, bExcept)) {
        // The compiler's reason, which otherwise reaches only the console.
        const RegularExpression* pExpression = pRule->GetExpression();
        const char* pszReason = pExpression != nullptr ? pExpression->ErrorText() : nullptr;
        Report(kCSFLogError,
               "Unable to parse regular expression (%s) for Rule %s: %s; the rule matches "
               "nothing",
               strPattern.c_str(), strRulePath.c_str(),
               pszReason != nullptr ? pszReason : "no program was made");
    }
    return true;
}

void CInitializeTextLogRules::ReportMatchingAll(const std::string& strRulePath,
                                                const char* pszWhat) {
    Report(kCSFLogWarning, "Rule %s has no \"Regular Expression\": it matches every %s",
           strRulePath.c_str(), pszWhat);
}

std::string CInitializeTextLogRules::ReadLogs(IPolicyContainer* pPolicy,
                                              const std::string& strRulePath) {
    return ReadText(pPolicy, strRulePath, "Logs", kNoLogsDefined);
}

bool CInitializeTextLogRules::ReadRule(Rule* pRule, IPolicyContainer* pPolicy,
                                       const char* pszSection, const char* pszSubKey) {
    auto* pTextRule = dynamic_cast<CTextLogRule*>(pRule);
    if (pTextRule == nullptr || pPolicy == nullptr || pszSection == nullptr ||
        pszSubKey == nullptr) {
        return false;
    }
    const std::string strSubKey = pszSubKey;
    if (strSubKey == "Info") {
        return false;
    }
    const std::string strRulePath = std::string(pszSection) + "\\" + strSubKey;
    if (!ReadLogType(pPolicy, strRulePath, true)) {
        return false;
    }
    const bool bPattern = ReadExpression(pTextRule, pPolicy, strRulePath);

    const std::string strLogs = ReadLogs(pPolicy, strRulePath);
    if (strLogs.empty() || strLogs == kNoLogsDefined) {
        // A syslog rule is the syslog reader's; a text-log rule without
        // groups would vanish unsaid.
        if (ReadText(pPolicy, strRulePath, "Log Type", "Syslog") == kTextLogType) {
            Report(kCSFLogWarning,
                   "Rule %s is a text-log rule but names no log group in \"Logs\": it is not used",
                   strRulePath.c_str());
        }
        return false;
    }
    // Names are taken as written: a blank is part of the name.  The default
    // group is the syslog engine's: naming it is no mistake, and a rule that
    // names nothing else is a syslog rule this engine keeps switched off.
    bool bAnyValid = false;
    bool bAnyNamed = false;
    size_t nStart = 0;
    while (nStart <= strLogs.size()) {
        size_t nEnd = strLogs.find(',', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strLogs.size();
        }
        std::string strName = strLogs.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (strName.empty() || strName == kDefaultLogGroupName) {
            continue;
        }
        bAnyNamed = true;
        if (IsLogGroupDefined(strName)) {
            pTextRule->AddLogGroup(std::move(strName));
            bAnyValid = true;
        } else {
            Report(kCSFLogWarning, "Rule %s uses a Log Group (%s) that is not defined",
                   strRulePath.c_str(), strName.c_str());
        }
    }
    if (!bAnyValid) {
        // The rule is kept, disabled and without groups.
        if (bAnyNamed) {
            Report(kCSFLogWarning, "Rule %s has no valid LogGroup. Disable", strRulePath.c_str());
        }
        pTextRule->Disable();
    } else if (!bPattern) {
        ReportMatchingAll(strRulePath, "line");
    }
    ReadInfoPairs(pPolicy, pszSection, pTextRule);
    ReadInfoPairs(pPolicy, strRulePath.c_str(), pTextRule);
    return true;
}

void CInitializeTextLogRules::AddLogGroup(std::string strName) {
    m_DefinedLogGroups.insert(std::move(strName));
}

bool CInitializeTextLogRules::IsLogGroupDefined(std::string strName) {
    return m_DefinedLogGroups.count(strName) != 0;
}

void CInitializeTextLogRules::ClearLogGroups() {
    m_DefinedLogGroups.clear();
}
