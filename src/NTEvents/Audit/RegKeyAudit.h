#pragma once
// The process-wide list of audited registry keys, filled by the event-log
// rules and written into and restored from "audit.policy" like the file
// list.  Key entries are never dropped.  Same threading as CFileAudit.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "NTEvents/Audit/AuditRights.h"
#include "platform/Registry.h"

class ConfigStore;
class Rule;

struct RegKeyAuditEntry {
    std::array<uint8_t, kRegistryRightCount> m_bSuccess{};
    std::array<uint8_t, kRegistryRightCount> m_bFailure{};
    // A root name ("HKEY_LOCAL_MACHINE" ...), a separator and the sub-key
    // path; or a sub-key path under HKEY_LOCAL_MACHINE.
    std::string m_strKeyName;
    std::string m_strAccount;
    // Whether a rule of the current policy asked for the key.
    bool m_bClaimed = false;

    bool HasRights() const;
    void ClearRights();
};

class CRegKeyAudit {
public:
    using EntryMap = std::map<std::string, std::unique_ptr<RegKeyAuditEntry>>;

    // 13 for an empty name or a null rule; 52 when the key is listed and a
    // rule of the current policy already set its rights; else the number of
    // right items read from the rule.
    static uint32_t Add(const char* pszKeyName, const Rule* pRule, bool bApplyNow);
    static void ApplyAll();
    static uint32_t Apply(const RegKeyAuditEntry& entry);
    static void Restore(ConfigStore& store);
    static void Save(ConfigStore& store);
    static void ClearClaims();
    static const EntryMap& Entries();
    static void Clear();
};

// The root key a key name selects and the sub-key path after it.
void SplitRegistryKeyName(const std::string& strKeyName, plat::RegistryKey* pRoot,
                          std::string* pSubKey);

uint32_t SetRegistryAudit(plat::RegistryKey root, const char* pszSubKey, const char* pszAccount,
                          const uint8_t* pSuccess, const uint8_t* pFailure);
