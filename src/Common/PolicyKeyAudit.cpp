#include "Common/PolicyKeyAudit.h"

#include <algorithm>
#include <atomic>

#include "Common/InitializeRules.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/PluginPolicyContainer.h"

namespace {

std::atomic<PolicyKeyAudit*> g_pCurrent{nullptr};
// The audit's own walk of the policy is no reader's.
thread_local bool t_bMuted = false;
// A rule's keys are walked this deep at most: the policy is outside input.
constexpr int kMaxRuleDepth = 8;
// The key of a table that holds the information pairs of all its rules.
constexpr char kTableInfo[] = "Info";
// Values quoted in a message are cut to this many characters.
constexpr size_t kQuoteLength = 60;

std::mutex g_lastLoadLock;
std::vector<PolicyKeyAudit::ValueRead> g_lastLoad;
std::vector<std::string> g_lastListings;

class Mute {
public:
    Mute() : m_bWas(t_bMuted) { t_bMuted = true; }
    ~Mute() { t_bMuted = m_bWas; }
    Mute(const Mute&) = delete;
    Mute& operator=(const Mute&) = delete;

private:
    bool m_bWas;
};

const char* KindText(int nKind) {
    switch (nKind) {
        case kPolicyKindText:
            return "a text (=S)";
        case kPolicyKindNumber:
            return "a number (=L)";
        case kPolicyKindFlag:
            return "a flag (=B)";
        default:
            return "nothing";
    }
}

std::string Quote(const std::string& strText) {
    if (strText.size() <= kQuoteLength) {
        return "\"" + strText + "\"";
    }
    return "\"" + strText.substr(0, kQuoteLength) + "...\"";
}

bool HasPrefix(const std::string& strText, const std::string& strPrefix) {
    return strText.compare(0, strPrefix.size(), strPrefix) == 0;
}

// The path below `strParent`, or npos when it is not below it.
size_t Below(const std::string& strPath, const std::string& strParent) {
    if (strPath.size() > strParent.size() + 1 && HasPrefix(strPath, strParent) &&
        strPath[strParent.size()] == '\\') {
        return strParent.size() + 1;
    }
    return std::string::npos;
}

std::vector<std::string> Split(const std::string& strRelative) {
    std::vector<std::string> names;
    size_t nStart = 0;
    while (nStart <= strRelative.size()) {
        size_t nEnd = strRelative.find('\\', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strRelative.size();
        }
        names.push_back(strRelative.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return names;
}

std::string LastName(const std::string& strPath) {
    const size_t nAt = strPath.rfind('\\');
    return nAt == std::string::npos ? strPath : strPath.substr(nAt + 1);
}

// Rule keys (a table and a rule below a rules base) are named as rules in
// messages, anything else as a policy key.
std::string Subject(const std::string& strPath) {
    const std::string strStandard = PolicyKeyAudit::NormalisePath(kStandardRulesBase);
    const std::string strUser = PolicyKeyAudit::NormalisePath(kUserRulesBase);
    for (const std::string* pBase : {&strStandard, &strUser}) {
        const size_t nAt = Below(strPath, *pBase);
        if (nAt != std::string::npos && strPath.find('\\', nAt) != std::string::npos) {
            return "Rule " + strPath;
        }
    }
    return "Policy key " + strPath;
}

}  // namespace

PolicyKeyAudit::PolicyKeyAudit(IPolicyContainer* pContainer)
    : m_pContainer(dynamic_cast<PluginPolicyContainer*>(pContainer)) {
    m_pPrevious = g_pCurrent.exchange(this);
    if (m_pContainer != nullptr) {
        m_pContainer->SetReadObserver(this);
    }
}

PolicyKeyAudit::~PolicyKeyAudit() {
    Stop();
}

void PolicyKeyAudit::Stop() {
    if (m_pContainer != nullptr) {
        m_pContainer->SetReadObserver(nullptr);
        m_pContainer = nullptr;
        std::lock_guard<std::mutex> guard(m_lock);
        std::lock_guard<std::mutex> lastGuard(g_lastLoadLock);
        g_lastLoad = m_reads;
        g_lastListings.assign(m_valueListings.begin(), m_valueListings.end());
    }
    PolicyKeyAudit* pSelf = this;
    g_pCurrent.compare_exchange_strong(pSelf, m_pPrevious);
}

PolicyKeyAudit* PolicyKeyAudit::Current() {
    return g_pCurrent.load();
}

std::string PolicyKeyAudit::NormalisePath(const std::string& strPath) {
    std::string strOut;
    strOut.reserve(strPath.size() + 1);
    for (size_t i = 0; i < strPath.size(); ++i) {
        if (strPath[i] == '\\') {
            if (!strOut.empty() && strOut.back() == '\\') {
                continue;
            }
        } else if (strOut.empty()) {
            strOut += '\\';
        }
        strOut += strPath[i];
    }
    while (strOut.size() > 1 && strOut.back() == '\\') {
        strOut.pop_back();
    }
    return strOut.empty() ? "\\" : strOut;
}

bool PolicyKeyAudit::SayOnce(const std::string& strText) {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_said.insert(strText).second;
}

void PolicyKeyAudit::Log(uint32_t dwLevel, const std::string& strText) {
    PolicyKeyAudit* pAudit = Current();
    if (pAudit != nullptr && !pAudit->SayOnce(std::to_string(dwLevel) + " " + strText)) {
        return;
    }
    CSF_LOG(dwLevel, "%s", strText.c_str());
}

void PolicyKeyAudit::Say(uint32_t dwLevel, const std::string& strText) {
    PolicyKeyAudit* pAudit = Current();
    if (pAudit != nullptr && !pAudit->SayOnce(std::to_string(dwLevel) + " " + strText)) {
        return;
    }
    // The host writes the console copy ("ERROR: ..." or "WARNING: ..."),
    // and so knows that the operator has seen it.
    const bool bConsole = dwLevel == kCSFLogError || dwLevel == kCSFLogWarning;
    CSF_LOG(dwLevel | (bConsole ? kCSFLogConsoleFlag : 0u), "%s", strText.c_str());
}

void PolicyKeyAudit::NoteTable(const std::string& strSection) {
    const std::string strTable = NormalisePath(strSection);
    std::lock_guard<std::mutex> guard(m_lock);
    if (std::find(m_tables.begin(), m_tables.end(), strTable) == m_tables.end()) {
        m_tables.push_back(strTable);
    }
}

void PolicyKeyAudit::NoteRule(const std::string& strRulePath, RuleOutcome outcome,
                              const Rule* pRule) {
    const std::string strRule = NormalisePath(strRulePath);
    std::lock_guard<std::mutex> guard(m_lock);
    auto [it, bAdded] = m_rules.emplace(strRule, outcome);
    const bool bFirstTaken = outcome == kRuleTaken && (bAdded || it->second != kRuleTaken);
    if (!bAdded) {
        it->second = std::max(it->second, static_cast<int>(outcome));
    }
    if (bFirstTaken && pRule != nullptr) {
        m_taken.push_back(TakenRule{strRule, pRule});
    }
}

std::vector<PolicyKeyAudit::TakenRule> PolicyKeyAudit::TakenRules() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_taken;
}

void PolicyKeyAudit::OnValueRead(const std::string& strPath, const std::string& strName,
                                 int nWanted, const std::string& strDefault,
                                 const PolicyStoredValue& stored) {
    if (t_bMuted) {
        return;
    }
    const std::string strKey = NormalisePath(strPath);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const std::string strRead =
            strKey + '\n' + strName + '\n' + std::to_string(nWanted) + '\n' + strDefault;
        if (m_readKeys.insert(strRead).second) {
            m_reads.push_back(ValueRead{strKey, strName, nWanted, strDefault});
        }
    }
    RemarkOnKind(strKey, strName, nWanted, strDefault, stored);
}

void PolicyKeyAudit::RemarkOnKind(const std::string& strPath, const std::string& strName,
                                  int nWanted, const std::string& strDefault,
                                  const PolicyStoredValue& stored) {
    if (nWanted == kPolicyKindNone || stored.m_nKind == kPolicyKindNone) {
        return;
    }
    if (stored.m_nKind != nWanted) {
        Say(kCSFLogWarning, Subject(strPath) + ": \"" + strName + "\" is " +
                                KindText(stored.m_nKind) + ", " + Quote(stored.m_strText) +
                                ", but is read as " + KindText(nWanted) + "; the default " +
                                Quote(strDefault) + " is used");
    }
}

void PolicyKeyAudit::OnValuesListed(const std::string& strPath) {
    if (t_bMuted) {
        return;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_valueListings.insert(NormalisePath(strPath));
}

void PolicyKeyAudit::OnSubKeysListed(const std::string& strPath) {
    if (t_bMuted) {
        return;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_subKeyListings.insert(NormalisePath(strPath));
}

PolicyKeyAudit::Knowledge PolicyKeyAudit::Learn(const std::string& strTableName) const {
    Knowledge knowledge;
    std::vector<std::string> tables;
    for (const std::string& strTable : m_tables) {
        if (LastName(strTable) == strTableName) {
            tables.push_back(strTable);
        }
    }
    // The shape of a path below a table: the rule's name becomes "*", and so
    // does every name below a key whose sub-keys a reader listed.
    auto shape = [&](const std::string& strPath, std::string& strShape) {
        for (const std::string& strTable : tables) {
            const size_t nAt = Below(strPath, strTable);
            if (nAt == std::string::npos) {
                continue;
            }
            std::vector<std::string> names = Split(strPath.substr(nAt));
            // The table's own "Info" is no rule: what is read there says
            // nothing about the keys of rules.
            if (names.front() == kTableInfo) {
                return false;
            }
            strShape = "*";
            for (size_t i = 1; i < names.size(); ++i) {
                strShape +=
                    knowledge.m_subKeyListings.count(strShape) != 0 ? "\\*" : "\\" + names[i];
            }
            return true;
        }
        return false;
    };
    // Listings shape the names below them, so they are placed from the
    // shallowest up.
    std::vector<std::string> listings(m_subKeyListings.begin(), m_subKeyListings.end());
    std::sort(listings.begin(), listings.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '\\') < std::count(b.begin(), b.end(), '\\');
    });
    std::string strShape;
    for (const std::string& strPath : listings) {
        if (shape(strPath, strShape)) {
            knowledge.m_subKeyListings.insert(strShape);
        }
    }
    for (const std::string& strPath : m_valueListings) {
        if (shape(strPath, strShape)) {
            knowledge.m_valueListings.insert(strShape);
        }
    }
    for (const ValueRead& read : m_reads) {
        if (shape(read.m_strPath, strShape)) {
            knowledge.m_names[strShape].insert(read.m_strName);
        }
    }
    auto addShapes = [&](const std::string& strFull) {
        std::string strPrefix;
        for (const std::string& strName : Split(strFull)) {
            strPrefix += strPrefix.empty() ? strName : "\\" + strName;
            knowledge.m_shapes.insert(strPrefix);
        }
    };
    for (const auto& [strKnown, names] : knowledge.m_names) {
        addShapes(strKnown);
    }
    for (const std::string& strKnown : knowledge.m_valueListings) {
        addShapes(strKnown);
    }
    for (const std::string& strKnown : knowledge.m_subKeyListings) {
        addShapes(strKnown);
    }
    return knowledge;
}

void PolicyKeyAudit::Finish() {
    if (m_pContainer == nullptr) {
        return;
    }
    std::vector<std::string> tables;
    std::map<std::string, Knowledge> knowledge;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        tables = m_tables;
        for (const std::string& strTable : tables) {
            const std::string strName = LastName(strTable);
            if (knowledge.count(strName) == 0) {
                knowledge.emplace(strName, Learn(strName));
            }
        }
    }
    Mute mute;
    for (const std::string& strTable : tables) {
        PolicyListGuard rules;
        if (!m_pContainer->GetSubKeyNames(strTable.c_str(), &rules.m_pList) ||
            rules.m_pList == nullptr) {
            continue;
        }
        for (const std::string* pRule = rules.m_pList->Begin(); pRule != rules.m_pList->End();
             ++pRule) {
            // A table's own "Info" holds the pairs of all its rules.
            if (*pRule != kTableInfo) {
                CheckRule(strTable, *pRule, knowledge[LastName(strTable)]);
            }
        }
    }
}

std::vector<PolicyKeyAudit::ValueRead> PolicyKeyAudit::LastLoad() {
    std::lock_guard<std::mutex> guard(g_lastLoadLock);
    return g_lastLoad;
}

std::vector<std::string> PolicyKeyAudit::LastLoadListings() {
    std::lock_guard<std::mutex> guard(g_lastLoadLock);
    return g_lastListings;
}

void PolicyKeyAudit::CheckRule(const std::string& strTable, const std::string& strRule,
                               const Knowledge& knowledge) {
    const std::string strRulePath = strTable + "\\" + strRule;
    int nOutcome = kRuleOff;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = m_rules.find(strRulePath);
        nOutcome = found != m_rules.end() ? found->second : kRuleOff;
    }
    // A refused rule has been reported by the reader that refused it.
    if (nOutcome == kRuleTaken) {
        CheckKey(strRulePath, "*", LastName(strTable), knowledge, 0);
    } else if (nOutcome == kRuleOff) {
        CheckOffRule(strRulePath);
    }
}

void PolicyKeyAudit::CheckOffRule(const std::string& strRulePath) {
    // A key whose values a reader lists (one that a rule refers to) is no
    // rule of its own.
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_valueListings.count(strRulePath) != 0) {
            return;
        }
    }
    if (m_pContainer->GetValueType(strRulePath.c_str(), "Enabled") != kPolicyKindNone) {
        return;
    }
    PolicyListGuard names;
    PolicyListGuard texts;
    if (m_pContainer->GetValueTexts(strRulePath.c_str(), &names.m_pList, &texts.m_pList) &&
        names.m_pList != nullptr && names.m_pList->GetCount() > 0) {
        Say(kCSFLogWarning, "Rule " + strRulePath + " has no \"Enabled\" value, so it is off");
    }
}

void PolicyKeyAudit::CheckKey(const std::string& strPath, const std::string& strShape,
                              const std::string& strTableName, const Knowledge& knowledge,
                              int nDepth) {
    if (nDepth > kMaxRuleDepth) {
        return;
    }
    // A key whose sub-keys the readers list (the response kinds) holds keys,
    // not values; the sensor itself marks there what it took out.
    const bool bAllValuesKnown = knowledge.m_valueListings.count(strShape) != 0 ||
                                 knowledge.m_subKeyListings.count(strShape) != 0;
    auto known = knowledge.m_names.find(strShape);
    PolicyListGuard names;
    PolicyListGuard texts;
    if (!bAllValuesKnown &&
        m_pContainer->GetValueTexts(strPath.c_str(), &names.m_pList, &texts.m_pList) &&
        names.m_pList != nullptr && texts.m_pList != nullptr) {
        const size_t nCount = std::min(names.m_pList->GetCount(), texts.m_pList->GetCount());
        for (size_t i = 0; i < nCount; ++i) {
            const std::string strName = names.m_pList->GetItem(i);
            if (known != knowledge.m_names.end() && known->second.count(strName) != 0) {
                continue;
            }
            Say(kCSFLogWarning, Subject(strPath) + ": no reader of the \"" + strTableName +
                                    "\" rules knows \"" + strName + "\" (" +
                                    Quote(texts.m_pList->GetItem(i)) + "); it has no effect");
        }
    }
    PolicyListGuard keys;
    if (!m_pContainer->GetSubKeyNames(strPath.c_str(), &keys.m_pList) || keys.m_pList == nullptr) {
        return;
    }
    const bool bNamesFree = knowledge.m_subKeyListings.count(strShape) != 0;
    for (const std::string* pKey = keys.m_pList->Begin(); pKey != keys.m_pList->End(); ++pKey) {
        const std::string strChildShape = strShape + "\\" + (bNamesFree ? "*" : *pKey);
        const std::string strChildPath = strPath + "\\" + *pKey;
        if (knowledge.m_shapes.count(strChildShape) == 0) {
            Say(kCSFLogWarning, Subject(strPath) + ": no reader of the \"" + strTableName +
                                    "\" rules knows the key \"" + *pKey +
                                    "\"; what it holds has no effect");
            continue;
        }
        CheckKey(strChildPath, strChildShape, strTableName, knowledge, nDepth + 1);
    }
}
