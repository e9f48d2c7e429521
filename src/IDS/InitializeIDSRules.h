#pragma once
// Readers of the network engine's rule tables: the IDS signature rules
// ("Nodekeeper Rules", standard and user-defined) and the Bastion firewall
// rules, one section per protocol.  Bastion rules are numbered from 1000 in
// the order they are read; the engine restarts the numbering before every
// reading.

#include <cstddef>
#include <cstdint>
#include <string>

#include "Common/InitializeRules.h"

class CIDSRule;

struct BastionSection {
    const char* pszSection;
    const char* pszPrefix;
    uint32_t dwProtocolType;
};

// The four sections, in reading order: IP, TCP, UDP, ICMP.
extern const BastionSection kBastionSections[4];

inline constexpr const char kUserIDSRulesSection[] =
    "\\Advanced\\userdefinedsignatures\\Nodekeeper Rules";

// Reads the repeat-filter settings under the rule's key.  A negative value
// is refused (logged, 0 kept).
void ReadIDSFilterSettings(CIDSRule* pRule, IPolicyContainer* pPolicy, const std::string& strRulePath);

class CInitializeIDSRules : public InitializeRules {
public:
    ~CInitializeIDSRules() override;
    const char* GetRulesKey() override { return "Nodekeeper Rules"; }
    const char* GetRulesBase() override { return kStandardRulesBase; }
    Rule* CreateRule() override;
    bool ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection,
                  const char* pszSubKey) override;
};

class CInitializeUserIDSRules : public CInitializeIDSRules {
public:
    ~CInitializeUserIDSRules() override;
    const char* GetRulesBase() override { return kUserRulesBase; }
};

class CInitializeBastionRules : public InitializeRules {
public:
    static constexpr uint32_t kFirstEventId = 1000;
    static constexpr uint32_t kEventIdLimit = 65536;

    ~CInitializeBastionRules() override;
    // Empty: the section is the whole base.
    const char* GetRulesKey() override { return ""; }
    const char* GetRulesBase() override { return m_pSection->pszSection; }
    Rule* CreateRule() override;
    bool ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection,
                  const char* pszSubKey) override;

    // Points the reader at one of kBastionSections (indexes past the end
    // are ignored).
    void SetSection(size_t nIndex);
    // Numbering starts again at 1000.
    void ResetEventIds() { m_dwNextEventId = kFirstEventId; }
    uint32_t GetNextEventId() const { return m_dwNextEventId; }

private:
    const BastionSection* m_pSection = &kBastionSections[0];
    uint32_t m_dwNextEventId = kFirstEventId;
};
