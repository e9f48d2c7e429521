#include "NTEvents/Audit/GlobalAudit.h"

#include <string>

#include "Common/Rule.h"
#include "NTEvents/Audit/AuditRights.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ConfigStore.h"
#include "qorToolsLib/ErrorWords.h"

namespace {

// View audit information and set audit requirements.
constexpr uint32_t kPolicyAccess = 0x00000102;

struct CategoryName {
    const char* pszName;
    uint32_t dwCategory;
};

// The names a rule's "Global" list may use, compared exactly.
constexpr CategoryName kRuleNames[] = {
    {"System", 0},          {"Logon", 1},           {"File Access", 2},
    {"FileAccess", 2},      {"User Rights", 3},     {"Process", 4},
    {"Security Policy", 5}, {"User Management", 6}, {"Directory Service Access", 7},
    {"Account Logon", 8},
};

// The record's value names, in the order the record lists them.
constexpr CategoryName kRecordOrder[] = {
    {"Logon", 1},           {"File Access", 2},
    {"User Management", 6}, {"User Rights", 3},
    {"Security Policy", 5}, {"System", 0},
    {"Process", 4},         {"Directory Service Access", 7},
    {"Account Logon", 8},
};

}  // namespace

CGlobalAudit::CGlobalAudit() {
    m_dwOpenStatus = plat::LsaOpenAuditPolicy(kPolicyAccess, &m_hPolicy);
    if (m_dwOpenStatus != 0) {
        m_hPolicy = 0;
        return;
    }
    bool bMode = false;
    std::vector<uint32_t> current;
    uint32_t dwCount = kCategoryCount;
    if (plat::LsaQueryAuditEvents(m_hPolicy, &bMode, &current) == 0) {
        dwCount = static_cast<uint32_t>(current.size());
    }
    // Categories the setter knows nothing of are left unaudited.
    m_Options.assign(dwCount, kOptionNone);
}

CGlobalAudit::~CGlobalAudit() {
    if (m_hPolicy != 0) {
        plat::LsaCloseAuditPolicy(m_hPolicy);
    }
}

CGlobalAudit& CGlobalAudit::Instance() {
    static CGlobalAudit audit;
    return audit;
}

void CGlobalAudit::ParseRule(const Rule* pRule, const char* /*pszAccount*/) {
    if (pRule == nullptr) {
        return;
    }
    const std::vector<std::string>& names = pRule->GetList(1);
    const std::vector<std::string>& values = pRule->GetList(2);
    for (size_t i = 0; i < names.size(); ++i) {
        AuditSetting setting = ParseAuditSetting(i < values.size() ? values[i] : std::string());
        for (const CategoryName& name : kRuleNames) {
            if (names[i] == name.pszName) {
                m_bSuccess[name.dwCategory] = m_bSuccess[name.dwCategory] || setting.bSuccess;
                m_bFailure[name.dwCategory] = m_bFailure[name.dwCategory] || setting.bFailure;
                break;
            }
        }
    }
}

uint32_t CGlobalAudit::GetOption(uint32_t dwCategory) const {
    if (dwCategory >= kCategoryCount) {
        return kOptionNone;
    }
    uint32_t dwOption = (m_bSuccess[dwCategory] ? kOptionSuccess : 0u) |
                        (m_bFailure[dwCategory] ? kOptionFailure : 0u);
    return dwOption != 0 ? dwOption : kOptionNone;
}

void CGlobalAudit::Apply() {
    if (m_hPolicy == 0) {
        return;
    }
    for (uint32_t i = 0; i < m_Options.size(); ++i) {
        m_Options[i] = GetOption(i);
    }
    uint32_t dwStatus = plat::LsaSetAuditEvents(m_hPolicy, true, m_Options.data(),
                                                static_cast<uint32_t>(m_Options.size()));
    if (dwStatus != 0) {
        CSF_LOG(1, "Error setting global audit flags : %d (%s)", static_cast<int>(dwStatus),
                ErrorWords(dwStatus).c_str());
    }
}

void CGlobalAudit::Save(ConfigStore& store) const {
    for (const CategoryName& name : kRecordOrder) {
        const char* pszText =
            AuditSettingText(m_bSuccess[name.dwCategory], m_bFailure[name.dwCategory]);
        if (pszText != nullptr) {
            store.SetText("Global", name.pszName, pszText);
        }
    }
}

void CGlobalAudit::ResetFlags() {
    m_bSuccess.fill(false);
    m_bFailure.fill(false);
}
