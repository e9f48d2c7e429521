#pragma once
// The system audit categories the event-log rules ask for.  Flags are only
// ever set while the process runs: a category a rule switched on stays on.
//
// The local audit policy is opened when the object is made; when that fails
// there is nothing to apply and Apply does nothing.

#include <array>
#include <cstdint>
#include <vector>

#include "platform/AuditPolicy.h"

class ConfigStore;
class Rule;

class CGlobalAudit {
public:
    static constexpr uint32_t kCategoryCount = 9;
    // The per-category options written to the policy.
    static constexpr uint32_t kOptionSuccess = 1;
    static constexpr uint32_t kOptionFailure = 2;
    static constexpr uint32_t kOptionNone = 4;

    CGlobalAudit();
    virtual ~CGlobalAudit();
    CGlobalAudit(const CGlobalAudit&) = delete;
    CGlobalAudit& operator=(const CGlobalAudit&) = delete;

    // The process-wide object.
    static CGlobalAudit& Instance();

    // Merges the rule's "Global" names and settings into the flags; the
    // account name is not used.
    void ParseRule(const Rule* pRule, const char* pszAccount);
    // Writes the flags to the system audit policy with auditing on.
    void Apply();
    // Writes the "Global" key of the record.
    void Save(ConfigStore& store) const;

    // The option a category gets: 4 none, 1 success, 2 failure, 3 both.
    uint32_t GetOption(uint32_t dwCategory) const;
    bool IsPolicyOpen() const { return m_hPolicy != 0; }
    uint32_t GetOpenStatus() const { return m_dwOpenStatus; }
    uint32_t GetOptionCount() const { return static_cast<uint32_t>(m_Options.size()); }
    // Clears the flags (tests only: the running sensor never clears them).
    void ResetFlags();

private:
    std::array<bool, kCategoryCount> m_bSuccess{};
    std::array<bool, kCategoryCount> m_bFailure{};
    plat::LsaHandle m_hPolicy = 0;
    uint32_t m_dwOpenStatus = 0;
    // The audit-events record: one option per category the system reports.
    std::vector<uint32_t> m_Options;
};
