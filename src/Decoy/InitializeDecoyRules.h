#pragma once
// Readers of the "Suspicious Port Rules" tables.  Besides the values every
// rule has, a decoy rule names its "Port"; its alert type is always
// "SuspectPortConnection", whatever the policy says.

#include "Common/InitializeRules.h"

class CInitializeDecoyRules : public InitializeRules {
public:
    ~CInitializeDecoyRules() override;

    const char* GetRulesKey() override { return "Suspicious Port Rules"; }
    const char* GetRulesBase() override { return kStandardRulesBase; }
    Rule* CreateRule() override;
    // Refuses a rule without a port, and one whose port is no TCP port
    // (outside 1-65535): such a rule would listen on a port nobody named.
    bool ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection,
                  const char* pszSubKey) override;
};

class CInitializeUserDecoyRules : public CInitializeDecoyRules {
public:
    ~CInitializeUserDecoyRules() override;
    const char* GetRulesBase() override { return kUserRulesBase; }
};
