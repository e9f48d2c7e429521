#include "NTEvents/Audit/RegKeyAudit.h"

#include <cstdio>
#include <cstring>

#include "Common/Rule.h"
#include "Common/SensorSettings.h"
#include "NTEvents/Audit/SecurityDescriptor.h"
#include "platform/LastError.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ConfigStore.h"
#include "qorToolsLib/ErrorWords.h"

namespace {

constexpr uint32_t kInvalidKeyArgument = 13;
constexpr uint32_t kKeyAlreadyListed = 52;
constexpr size_t kMaxKeyName = 1023;

CRegKeyAudit::EntryMap g_Keys;

struct RootName {
    const char* pszName;
    plat::RegistryKey root;
};

// Tested in this order; the first prefix that fits wins.
constexpr RootName kRootNames[] = {
    {"HKEY_LOCAL_MACHINE", plat::kRegistryLocalMachine},
    {"HKEY_CLASSES_ROOT", plat::kRegistryClassesRoot},
    {"HKEY_CURRENT_CONFIG", plat::kRegistryCurrentConfig},
    {"HKEY_CURRENT_USER", plat::kRegistryCurrentUser},
    {"HKEY_USERS", plat::kRegistryUsers},
};

}  // namespace

bool RegKeyAuditEntry::HasRights() const {
    return AnyAuditRight(m_bSuccess, m_bFailure);
}

void RegKeyAuditEntry::ClearRights() {
    m_bSuccess.fill(0);
    m_bFailure.fill(0);
}

uint32_t CRegKeyAudit::Add(const char* pszKeyName, const Rule* pRule, bool bApplyNow) {
    if (pszKeyName == nullptr || *pszKeyName == '\0' || pRule == nullptr) {
        return kInvalidKeyArgument;
    }
    RegKeyAuditEntry* pEntry = nullptr;
    auto found = g_Keys.find(pszKeyName);
    if (found != g_Keys.end()) {
        // The first rule of the current policy decides the key's rights.
        if (found->second->m_bClaimed) {
            return kKeyAlreadyListed;
        }
        pEntry = found->second.get();
    } else {
        auto pNew = std::make_unique<RegKeyAuditEntry>();
        pNew->m_strKeyName = pszKeyName;
        pNew->m_strAccount = GetEveryoneName();
        pEntry = pNew.get();
        g_Keys.emplace(pszKeyName, std::move(pNew));
    }
    pEntry->m_bClaimed = true;
    MergeAuditRights(g_RegistryRights, pRule->GetList(9), pRule->GetList(10), pEntry->m_bSuccess,
                     pEntry->m_bFailure);
    auto dwItems = static_cast<uint32_t>(pRule->GetList(9).size());
    if (bApplyNow && SensorSettings::Instance().m_bEnforceAuditPolicy) {
        Apply(*pEntry);
    }
    return found != g_Keys.end() ? kKeyAlreadyListed : dwItems;
}

void CRegKeyAudit::ApplyAll() {
    for (const auto& item : g_Keys) {
        Apply(*item.second);
    }
}

uint32_t CRegKeyAudit::Apply(const RegKeyAuditEntry& entry) {
    const std::string& strName = entry.m_strKeyName;
    if (strName.size() >= kMaxKeyName) {
        CSF_LOG(1, "Error setting Registry audit flags for %s : Keyname too long.",
                strName.c_str());
        return 0;
    }
    plat::RegistryKey root = plat::kRegistryLocalMachine;
    std::string strSubKey;
    SplitRegistryKeyName(strName, &root, &strSubKey);
    uint32_t dwResult = SetRegistryAudit(root, strSubKey.c_str(), entry.m_strAccount.c_str(),
                                         entry.m_bSuccess.data(), entry.m_bFailure.data());
    if (dwResult == plat::kErrFileNotFound) {
        // Control sets that do not exist on this system are expected.
        if (strSubKey.find("ControlSet") == std::string::npos) {
            CSF_LOG(6, "Error setting Registry audit flags for %s : Key not found.",
                    strSubKey.c_str());
        }
    } else if (dwResult != 0) {
        CSF_LOG(6, "Error setting Registry audit flags for %s : %d (%s)", strSubKey.c_str(),
                static_cast<int>(dwResult), ErrorWords(dwResult).c_str());
    }
    return 0;
}

void CRegKeyAudit::Restore(ConfigStore& store) {
    std::vector<std::string> keys;
    if (!store.KeyExists("Keys") || !store.GetSubKeyNames("Keys", keys)) {
        return;
    }
    for (const std::string& strKey : keys) {
        std::string strName = store.GetString("Keys\\" + strKey, "Keyname", "");
        if (strName.empty() || g_Keys.count(strName) != 0) {
            continue;
        }
        auto pNew = std::make_unique<RegKeyAuditEntry>();
        pNew->m_strKeyName = strName;
        pNew->m_strAccount = GetEveryoneName();
        g_Keys.emplace(strName, std::move(pNew));
    }
}

void CRegKeyAudit::Save(ConfigStore& store) {
    int n = 0;
    for (const auto& item : g_Keys) {
        const RegKeyAuditEntry& entry = *item.second;
        int nNumber = n++;
        if (!entry.HasRights()) {
            continue;
        }
        char szName[32];
        std::snprintf(szName, sizeof szName, "key_%d", nNumber);
        std::string strPath = std::string("Keys\\") + szName;
        store.SetString(strPath, "Keyname", entry.m_strKeyName);
        for (size_t i = 0; i < kRegistryRightCount; ++i) {
            if (const char* pszText = AuditSettingText(entry.m_bSuccess[i], entry.m_bFailure[i])) {
                store.SetText(strPath, g_RegistryRights[i].pszName, pszText);
            }
        }
    }
}

void CRegKeyAudit::ClearClaims() {
    for (auto& item : g_Keys) {
        item.second->m_bClaimed = false;
        item.second->ClearRights();
    }
}

const CRegKeyAudit::EntryMap& CRegKeyAudit::Entries() {
    return g_Keys;
}

void CRegKeyAudit::Clear() {
    g_Keys.clear();
}

void SplitRegistryKeyName(const std::string& strKeyName, plat::RegistryKey* pRoot,
                          std::string* pSubKey) {
    *pRoot = plat::kRegistryLocalMachine;
    *pSubKey = strKeyName;
    for (const RootName& name : kRootNames) {
        size_t length = std::strlen(name.pszName);
        if (strKeyName.compare(0, length, name.pszName) == 0) {
            *pRoot = name.root;
            *pSubKey = strKeyName.size() > length ? strKeyName.substr(length + 1) : std::string();
            return;
        }
    }
}

uint32_t SetRegistryAudit(plat::RegistryKey root, const char* pszSubKey, const char* pszAccount,
                          const uint8_t* pSuccess, const uint8_t* pFailure) {
    CRegistrySD sd(root, pszSubKey != nullptr ? pszSubKey : "");
    uint32_t dwResult = sd.SetAudit(pszAccount, AuditRightsMask(g_RegistryRights, pSuccess),
                                    AuditRightsMask(g_RegistryRights, pFailure), false);
    if (dwResult != 0) {
        return dwResult;
    }
    return sd.WriteSecurity();
}
