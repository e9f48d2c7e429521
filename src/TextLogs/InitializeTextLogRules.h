#pragma once
// Readers of the "SysLog Rules" tables for the text-log engine.  The table is
// shared with the syslog engine: "Log Type" says whose a rule is, and each
// engine's reader refuses what is not its own (see InitializeNTSyslogRules
// for the syslog side).  The text-log engine fills the defined log groups
// before every reading, so a rule keeps only groups that exist.

#include <cstdint>
#include <set>
#include <string>

#include "Common/InitializeRules.h"

class CTextLogRule;

class CInitializeTextLogRules : public InitializeRules {
public:
    // "Logs" of a rule that names no group.
    static constexpr const char kNoLogsDefined[] = "NONE_DEFINED";

    CInitializeTextLogRules() = default;
    ~CInitializeTextLogRules() override;

    const char* GetRulesKey() override { return "SysLog Rules"; }
    const char* GetRulesBase() override { return kStandardRulesBase; }
    Rule* CreateRule() override;
    bool ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection,
                  const char* pszSubKey) override;

    virtual void AddLogGroup(std::string strName);
    virtual bool IsLogGroupDefined(std::string strName);
    virtual void ClearLogGroups();

protected:
    // Reads "Log Type" (default "Syslog"); false, reported, when it is empty
    // or not one of the accepted types ("TextLog" only when allowed).
    static bool ReadLogType(IPolicyContainer* pPolicy, const std::string& strRulePath,
                            bool bTextLogAllowed);
    // Reads "Regular Expression" and, for a pattern, "Except" and "Ignore
    // Case".  A pattern that does not compile is reported; the rule keeps an
    // expression that matches nothing.
    static void ReadExpression(CTextLogRule* pRule, IPolicyContainer* pPolicy,
                               const std::string& strRulePath);
    // "Logs" as written, "NONE_DEFINED" when absent.
    static std::string ReadLogs(IPolicyContainer* pPolicy, const std::string& strRulePath);
    // One problem with a rule, to the host log at `dwLevel` and to standard
    // error after `pszPrefix`.
    static void Report(uint32_t dwLevel, const char* pszPrefix, const char* pszFormat, ...)
        __attribute__((format(printf, 3, 4)));

private:
    std::set<std::string> m_DefinedLogGroups;
};

class CInitializeUserTextLogRules : public CInitializeTextLogRules {
public:
    ~CInitializeUserTextLogRules() override;
    const char* GetRulesBase() override { return kUserRulesBase; }
};
