#pragma once
// Readers of the "SysLog Rules" tables for the syslog engine.  They share the
// table (and the text-log reader's checks) with the text-log engine but keep
// only syslog rules: "Log Type" must be "Syslog", and "Logs", when given,
// must name the default group.  Every rule they keep carries the
// information pair "Log Type" = "Syslog" unless the policy's own pairs say
// otherwise.

#include "TextLogs/InitializeTextLogRules.h"

class CInitializeNTSyslogRules : public CInitializeTextLogRules {
public:
    ~CInitializeNTSyslogRules() override;

    Rule* CreateRule() override;
    const InfoTemplateMarkers* GetTemplateMarkers() const override;
    bool ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection,
                  const char* pszSubKey) override;
};

class CInitializeUserNTSyslogRules : public CInitializeNTSyslogRules {
public:
    ~CInitializeUserNTSyslogRules() override;
    const char* GetRulesBase() override { return kUserRulesBase; }
};
