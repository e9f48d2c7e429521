#include "NTEvents/InitializeNTEventRules.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "Common/InfoTemplateCheck.h"
#include "Common/PolicyKeyAudit.h"
#include "NTEvents/CNTEventRule.h"
#include "NTEvents/EventRecordAnalysis.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/Environment.h"
#include "qorCSFLib/CSFLog.h"

namespace {

constexpr uint32_t kPatternCount = 15;
constexpr int32_t kMaxRecordField = 0xFFFF;
constexpr const char kNameRefPrefix[] = "nameref_";

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

int32_t ReadLong(IPolicyContainer* pPolicy, const std::string& strPath, const char* pszName,
                 int32_t nDefault) {
    return pPolicy->GetLong(strPath.c_str(), pszName, &nDefault);
}

// The names and value texts of a key, appended to the two lists; nothing
// for a missing key or one without values.
void ReadValueListing(IPolicyContainer* pPolicy, const std::string& strPath,
                      std::vector<std::string>& names, std::vector<std::string>& values) {
    qgStringVector* pNames = nullptr;
    qgStringVector* pTexts = nullptr;
    if (pPolicy->GetValueTexts(strPath.c_str(), &pNames, &pTexts)) {
        if (pNames != nullptr && pTexts != nullptr && pNames->GetCount() == pTexts->GetCount()) {
            names.insert(names.end(), pNames->Begin(), pNames->End());
            values.insert(values.end(), pTexts->Begin(), pTexts->End());
        }
    }
    if (pNames != nullptr) {
        pNames->Release();
    }
    if (pTexts != nullptr) {
        pTexts->Release();
    }
}

// The key a reference names, from the key it was found under.
std::string ReferencedKey(const std::string& strReference, const std::string& strBase) {
    if (!strReference.empty() && strReference[0] == '\\') {
        return strReference;
    }
    std::string strKey = strBase;
    if (!strKey.empty() && strKey.back() == '\\') {
        strKey.pop_back();
    }
    size_t nAt = 0;
    while (strReference.compare(nAt, 3, "..\\") == 0) {
        const size_t nCut = strKey.rfind('\\');
        strKey.resize(nCut == std::string::npos ? 0 : nCut);
        nAt += 3;
    }
    return strKey + "\\" + strReference.substr(nAt);
}

bool SameKey(const std::string& strFirst, const std::string& strSecond) {
    return strcasecmp(strFirst.c_str(), strSecond.c_str()) == 0;
}

// The file pattern as the file system should see it: environment
// references expanded, or as written when the expansion does not fit.
std::string ExpandFilePattern(const std::string& strSpec) {
    const std::string strCopy = strSpec.substr(0, CNTEventRule::kMaxPath - 1);
    char szExpanded[CNTEventRule::kMaxPath];
    const size_t nNeeded =
        plat::ExpandEnvironmentStrings(strCopy.c_str(), szExpanded, sizeof szExpanded);
    return nNeeded <= sizeof szExpanded ? std::string(szExpanded) : strCopy;
}

// A pattern that does not compile is left out and the rule matches without
// it; the compiler's reason otherwise reaches only the console, without the
// rule or the pattern.
void SayPatternLeftOut(const std::string& strRulePath, const char* pszName, const RegularExpression& expression) {
    const char* pszReason = expression.ErrorText();
    PolicyKeyAudit::Say(kCSFLogError, "Unable to parse regular expression (" + expression.Pattern() + ") for Rule " +
                                          strRulePath + ": " + (pszReason != nullptr ? pszReason : "") +
                                          "; the rule matches without its \"" + pszName + "\"");
}

// A record's id (its low 16 bits) and category are 16-bit: a rule that asks
// for a number outside them can never fire.
void SayNeverEqual(const std::string& strRulePath, const char* pszName, int32_t nValue, const char* pszField) {
    if (nValue < 0 || nValue > kMaxRecordField) {
        PolicyKeyAudit::Say(kCSFLogWarning, "Rule " + strRulePath + ": \"" + pszName + "\" " + std::to_string(nValue) +
                                                " is outside 0 to 65535, where a record's " + pszField +
                                                " lies: the rule never fires");
    }
}

}  // namespace

CInitializeNTEventRules::~CInitializeNTEventRules() = default;
CInitializeUserNTEventRules::~CInitializeUserNTEventRules() = default;

Rule* CInitializeNTEventRules::CreateRule() {
    return new (std::nothrow) CNTEventRule;
}

// As MakeEventLogAlert reads them, over the strings a rule sees of a record.
const InfoTemplateMarkers* CInitializeNTEventRules::GetTemplateMarkers() const {
    constexpr int32_t kLast = static_cast<int32_t>(EventRecordView::kMaxMatchStrings) - 1;
    static const std::string s_strWhy =
        ": a rule reads the first " + std::to_string(EventRecordView::kMaxMatchStrings) + " strings of a record";
    static const InfoTemplateMarkers s_Markers{"an event-log rule",
                                               {{"@String", "string", kLast, s_strWhy, false, false},
                                                {"@Access", "string", kLast, s_strWhy, false, false},
                                                {"@Sid", "string", kLast, s_strWhy, false, true}},
                                               {},
                                               true};
    return &s_Markers;
}

void CInitializeNTEventRules::ClearLogNames() {
    m_LogNames.clear();
}

void CInitializeNTEventRules::ResolveNameReferences(IPolicyContainer* pPolicy,
                                                    std::vector<std::string>& names,
                                                    std::vector<std::string>& values,
                                                    const std::string& strBase) {
    std::vector<std::string> chain{strBase};
    ResolveNameReferences(pPolicy, names, values, strBase, chain);
}

void CInitializeNTEventRules::ResolveNameReferences(IPolicyContainer* pPolicy,
                                                    std::vector<std::string>& names,
                                                    std::vector<std::string>& values,
                                                    const std::string& strBase,
                                                    std::vector<std::string>& chain) {
    const size_t nCount = std::min(names.size(), values.size());
    std::vector<bool> replaced(nCount, false);
    for (size_t i = 0; i < nCount; ++i) {
        if (names[i].compare(0, sizeof kNameRefPrefix - 1, kNameRefPrefix) != 0) {
            continue;
        }
        replaced[i] = true;
        const std::string strKey = ReferencedKey(values[i], strBase);
        if (std::any_of(chain.begin(), chain.end(),
                        [&](const std::string& strSeen) { return SameKey(strSeen, strKey); })) {
            CSF_TRACE(kCSFLogInfo, "Reference (%s) under (%s) leads back into itself: dropped",
                      values[i].c_str(), strBase.c_str());
            continue;
        }
        std::vector<std::string> subNames;
        std::vector<std::string> subValues;
        ReadValueListing(pPolicy, strKey, subNames, subValues);
        chain.push_back(strKey);
        ResolveNameReferences(pPolicy, subNames, subValues, strKey, chain);
        chain.pop_back();
        names.insert(names.end(), subNames.begin(), subNames.end());
        values.insert(values.end(), subValues.begin(), subValues.end());
    }
    // Replaced entries go, the rest keep their order.
    size_t nKept = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i < nCount && replaced[i]) {
            continue;
        }
        if (nKept != i) {
            names[nKept] = std::move(names[i]);
            if (i < values.size()) {
                values[nKept] = std::move(values[i]);
            }
        }
        ++nKept;
    }
    names.resize(nKept);
    values.resize(std::min(values.size(), nKept));
}

void CInitializeNTEventRules::ReadExpressions(CNTEventRule* pRule, IPolicyContainer* pPolicy,
                                              const std::string& strRulePath) {
    for (uint32_t i = 0; i < kPatternCount; ++i) {
        char szName[32];
        std::snprintf(szName, sizeof szName, "RegExp%u", i);
        const std::string strPattern = ReadText(pPolicy, strRulePath, szName, "");
        if (strPattern.empty()) {
            continue;
        }
        char szExcept[32];
        char szIgnoreCase[32];
        std::snprintf(szExcept, sizeof szExcept, "Except%u", i);
        std::snprintf(szIgnoreCase, sizeof szIgnoreCase, "IgnoreCase%u", i);
        auto pExpression = std::make_shared<NewRegularExpression>(
            strPattern.c_str(), ReadBool(pPolicy, strRulePath, szIgnoreCase),
            ReadBool(pPolicy, strRulePath, szExcept), i);
        if (!pExpression->IsCompiled()) {
            SayPatternLeftOut(strRulePath, szName, *pExpression);
            continue;
        }
        if (!pRule->m_pRegExpList) {
            pRule->m_pRegExpList = std::make_unique<NewRegularExpressionList>();
        }
        pRule->m_pRegExpList->push_back(std::move(pExpression));
    }
    const std::string strPattern = ReadText(pPolicy, strRulePath, "Regular Expression", "");
    if (pRule->m_pRegExpList) {
        if (!strPattern.empty()) {
            PolicyKeyAudit::Say(kCSFLogWarning, "Rule " + strRulePath + ": \"Regular Expression\" (" + strPattern +
                                                    ") is not used: the rule's \"RegExp<n>\" patterns are used "
                                                    "instead");
        }
        return;
    }
    if (strPattern.empty()) {
        return;
    }
    auto pExpression = std::make_unique<RegularExpression>(
        strPattern.c_str(), ReadBool(pPolicy, strRulePath, "Ignore Case"),
        ReadBool(pPolicy, strRulePath, "Except"));
    if (pExpression->IsCompiled()) {
        pRule->m_pRegExp = std::move(pExpression);
    } else {
        SayPatternLeftOut(strRulePath, "Regular Expression", *pExpression);
    }
}

void CInitializeNTEventRules::ReadAuditLists(CNTEventRule* pRule, IPolicyContainer* pPolicy,
                                             const std::string& strRulePath) {
    const std::string strAudit = strRulePath + "\\Audit\\";
    ReadValueListing(pPolicy, strAudit + "Global", pRule->GlobalAuditNames(),
                     pRule->GlobalAuditValues());
    ReadValueListing(pPolicy, strAudit + "Files\\EveryOne", pRule->EveryoneFileAuditNames(),
                     pRule->EveryoneFileAuditValues());

    const std::string strFiles = strAudit + "Files";
    std::vector<std::string> specs;
    ReadValueListing(pPolicy, strFiles, pRule->FileAuditNames(), specs);
    if (!specs.empty()) {
        ResolveNameReferences(pPolicy, pRule->FileAuditNames(), specs, strFiles);
        if (!pRule->m_pAuditFileSpecs) {
            pRule->m_pAuditFileSpecs = std::make_unique<std::vector<std::string>>();
        }
        for (const std::string& strSpec : specs) {
            pRule->m_pAuditFileSpecs->push_back(ExpandFilePattern(strSpec));
        }
    }
    pRule->RefreshAuditFiles(false);

    ReadValueListing(pPolicy, strAudit + "Registry\\EveryOne", pRule->EveryoneKeyAuditNames(),
                     pRule->EveryoneKeyAuditValues());
    const std::string strRegistry = strAudit + "Registry";
    ReadValueListing(pPolicy, strRegistry, pRule->KeyAuditNames(), pRule->KeyAuditValues());
    if (!pRule->KeyAuditValues().empty()) {
        ResolveNameReferences(pPolicy, pRule->KeyAuditNames(), pRule->KeyAuditValues(),
                              strRegistry);
    }
    pRule->AddAuditKeys(false);

    // Everyone audits are written only while file access is audited.
    std::vector<std::string>& global = pRule->GlobalAuditNames();
    if ((!pRule->EveryoneKeyAuditNames().empty() || !pRule->EveryoneFileAuditNames().empty()) &&
        std::find(global.begin(), global.end(), "File Access") == global.end()) {
        global.emplace_back("File Access");
        pRule->GlobalAuditValues().emplace_back("Success");
    }
}

bool CInitializeNTEventRules::ReadRule(Rule* pRule, IPolicyContainer* pPolicy,
                                       const char* pszSection, const char* pszSubKey) {
    auto* pEventRule = dynamic_cast<CNTEventRule*>(pRule);
    if (pEventRule == nullptr || pPolicy == nullptr || pszSection == nullptr ||
        pszSubKey == nullptr) {
        return false;
    }
    const std::string strRulePath = std::string(pszSection) + "\\" + pszSubKey;
    // A rule left out is said, so that a policy does not lose rules
    // without a word.
    const std::string strLogType = ReadText(pPolicy, strRulePath, "Log Type", "Event Log");
    if (strLogType != "Event Log") {
        PolicyKeyAudit::Say(kCSFLogWarning, "Rule " + strRulePath + ": \"Log Type\" \"" +
                                                strLogType + "\" is not \"Event Log\": it is left out");
        return false;
    }
    pEventRule->m_nCategory = ReadLong(pPolicy, strRulePath, "Event Log Category", 0);
    pEventRule->m_nEventId = ReadLong(pPolicy, strRulePath, "Event Log ID", -1);
    if (pEventRule->m_nEventId == -1) {
        PolicyKeyAudit::Say(kCSFLogWarning,
                            "Rule " + strRulePath + " has no \"Event Log ID\": it is left out");
        return false;
    }
    SayNeverEqual(strRulePath, "Event Log ID", pEventRule->m_nEventId, "id");
    SayNeverEqual(strRulePath, "Event Log Category", pEventRule->m_nCategory, "category");
    const int32_t nType = ReadLong(pPolicy, strRulePath, "Event Log Type", 0);
    pEventRule->m_wEventType = static_cast<uint16_t>(nType);
    if (nType < 0 || nType > kMaxRecordField) {
        PolicyKeyAudit::Say(kCSFLogWarning, "Rule " + strRulePath + ": \"Event Log Type\" " + std::to_string(nType) +
                                                " is outside 0 to 65535; its low 16 bits, " +
                                                std::to_string(pEventRule->m_wEventType) + ", are used");
    }
    pEventRule->m_strLogName = ReadText(pPolicy, strRulePath, "Event Log Source", "Security");
    pEventRule->m_strSourceName = ReadText(pPolicy, strRulePath, "Event Log SourceName", "");
    ReadExpressions(pEventRule, pPolicy, strRulePath);
    ReadAuditLists(pEventRule, pPolicy, strRulePath);
    ReadInfoPairs(pPolicy, pszSection, pEventRule);
    ReadInfoPairs(pPolicy, strRulePath.c_str(), pEventRule);
    if (pEventRule->m_strLogName.empty()) {
        pEventRule->m_strLogName = "Security";
    }
    m_LogNames.insert(pEventRule->m_strLogName);
    return true;
}
