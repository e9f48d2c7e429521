#pragma once
// Readers of the "SysLog Rules" tables for the text-log engine.  The table is
// shared with the syslog engine: "Log Type" says whose a rule is, and each
// engine's reader refuses what is not its own (see InitializeNTSyslogRules
// for the syslog side).  The text-log engine fills the defined log groups
// before every reading, so a rule keeps only groups that exist.

#include <cstdint>
#include <set>
#include <string>

#include "Common/InfoTemplateCheck.h"
#include "Common/InitializeRules.h"

class CTextLogRule;

class CInitializeTextLogRules : public InitializeRules {
public:
    // "Logs" of a rule that names no group.
    static constexpr const char kNoLogsDefined[] = "NONE_DEFINED";
    // "Log Type" of the text-log engine's rules.
    static constexpr const char kTextLogType[] = "TextLog";

    CInitializeTextLogRules() = default;
    ~CInitializeTextLogRules() override;

    const char* GetRulesKey() override { return "SysLog Rules"; }
    const char* GetRulesBase() override { return kStandardRulesBase; }
    Rule* CreateRule() override;
    bool ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection,
                  const char* pszSubKey) override;

    const InfoTemplateMarkers* GetTemplateMarkers() const override;

    virtual void AddLogGroup(std::string strName);
    virtual bool IsLogGroupDefined(std::string strName);
    virtual void ClearLogGroups();

protected:
    // Reads "Log Type" (default "Syslog"); false when it is empty or not
    // one of the accepted types ("TextLog" only when allowed).  An empty or
    // unknown type is reported; "TextLog" refused is the other reader's.
    static bool ReadLogType(IPolicyContainer* pPolicy, const std::string& strRulePath,
                            bool bTextLogAllowed);
    // Reads "Regular Expression", "Except" and "Ignore Case"; false when
    // there is no pattern (the rule then matches everything).  A pattern
    // that does not compile is reported; the rule keeps an expression that
    // matches nothing.
    static bool ReadExpression(CTextLogRule* pRule, IPolicyContainer* pPolicy,
                               const std::string& strRulePath);
    // Says that the rule, having no pattern, matches every `pszWhat`.
    static void ReportMatchingAll(const std::string& strRulePath, const char* pszWhat);
    // "Logs" as written, "NONE_DEFINED" when absent.
    static std::string ReadLogs(IPolicyContainer* pPolicy, const std::string& strRulePath);
    // The markers of a rule of this table whose engine resolves them over
    // a line of at most `nMaxBytes` bytes (`pszWhy` says so): "@Field<n>",
    // the whole markers "@File", "@Group" and "@Host", and `pszOwn`.
    static InfoTemplateMarkers LineMarkers(const char* pszRuleKind, size_t nMaxBytes, const char* pszWhy,
                                           const char* pszOwn);
    // One problem with a rule, to the host log at `dwLevel` and to standard
    // error behind "ERROR: " or "WARNING: ", once per policy load.
    static void Report(uint32_t dwLevel, const char* pszFormat, ...)
        __attribute__((format(printf, 2, 3)));

private:
    std::set<std::string> m_DefinedLogGroups;
};

class CInitializeUserTextLogRules : public CInitializeTextLogRules {
public:
    ~CInitializeUserTextLogRules() override;
    const char* GetRulesBase() override { return kUserRulesBase; }
};
