#pragma once
// The access rights an audit rule may name for files and registry keys, the
// masks placed in the audit entries for them, and how a rule's setting text
// reads as success and failure flags.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AuditRight {
    const char* pszName;
    uint32_t dwMask;
};

constexpr size_t kFileRightCount = 6;
constexpr size_t kRegistryRightCount = 9;

// In index order; the order "audit.policy" writes them in.
extern const std::array<AuditRight, kFileRightCount> g_FileRights;
extern const std::array<AuditRight, kRegistryRightCount> g_RegistryRights;

// "Success" gives success only, "Failure" failure only, any other text both.
struct AuditSetting {
    bool bSuccess;
    bool bFailure;
};
AuditSetting ParseAuditSetting(const std::string& strValue);

// The record's text for a flag pair: "Both", "Success", "Failure", or null
// when neither flag is set.
const char* AuditSettingText(bool bSuccess, bool bFailure);

// The index of the right named exactly `strName`, or -1.
template <size_t N>
int FindAuditRight(const std::array<AuditRight, N>& rights, const std::string& strName) {
    for (size_t i = 0; i < N; ++i) {
        if (strName == rights[i].pszName) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Sets the flags of each right the names list names, with the setting
// text beside it in the values list; flags are only ever set, so several
// rules add up.  Names not in the table are passed over.
template <size_t N>
void MergeAuditRights(const std::array<AuditRight, N>& rights,
                      const std::vector<std::string>& names, const std::vector<std::string>& values,
                      std::array<uint8_t, N>& success, std::array<uint8_t, N>& failure) {
    for (size_t i = 0; i < names.size(); ++i) {
        int right = FindAuditRight(rights, names[i]);
        if (right < 0) {
            continue;
        }
        AuditSetting setting = ParseAuditSetting(i < values.size() ? values[i] : std::string());
        success[right] = success[right] || setting.bSuccess;
        failure[right] = failure[right] || setting.bFailure;
    }
}

// The OR of the masks of the rights whose flag is set.
template <size_t N>
uint32_t AuditRightsMask(const std::array<AuditRight, N>& rights, const uint8_t* pFlags) {
    uint32_t dwMask = 0;
    for (size_t i = 0; i < N; ++i) {
        if (pFlags[i] != 0) {
            dwMask |= rights[i].dwMask;
        }
    }
    return dwMask;
}

template <size_t N>
bool AnyAuditRight(const std::array<uint8_t, N>& success, const std::array<uint8_t, N>& failure) {
    for (size_t i = 0; i < N; ++i) {
        if (success[i] != 0 || failure[i] != 0) {
            return true;
        }
    }
    return false;
}

// The name every file and registry audit is placed for: the local name of
// the world account (S-1-1-0) as the system reports it, or "EveryOne" when
// it cannot be looked up.  Looked up when still unknown.
const std::string& GetEveryoneName();
// Looks the name up again (once per audit run).
void RefreshEveryoneName();
