#pragma once
// Readers of the "Correlation Rules" tables.  Each correlation rule names
// the rules it watches under its "\Rules" key (rule name = weight); the
// reader finds them among the rules the sensor has read so far and attaches
// the correlation rule to each, so the correlation engine must read its
// rules after every other engine.

#include "Common/InitializeRules.h"

class CEngineCorrelation;

class CInitializeCorrelationRules : public InitializeRules {
public:
    explicit CInitializeCorrelationRules(CEngineCorrelation* pEngine) : m_pEngine(pEngine) {}
    ~CInitializeCorrelationRules() override;

    const char* GetRulesKey() override { return "Correlation Rules"; }
    const char* GetRulesBase() override { return kStandardRulesBase; }
    Rule* CreateRule() override;
    bool ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection,
                  const char* pszSubKey) override;

private:
    CEngineCorrelation* const m_pEngine;
};

class CInitializeUserCorrelationRules : public CInitializeCorrelationRules {
public:
    using CInitializeCorrelationRules::CInitializeCorrelationRules;
    ~CInitializeUserCorrelationRules() override;
    const char* GetRulesBase() override { return kUserRulesBase; }
};
