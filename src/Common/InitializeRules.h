#pragma once
// The reader of one rules table of the policy.  Each engine derives one
// reader per table it uses: the standard rules under "\Advanced\Rules\"
// and, through InitializeUserRules, the user-defined ones under
// "\Advanced\userdefinedsignatures\".  The base walks the table and reads
// what every rule has (enabled, priority, risk level, alert type, name, log
// type, script, responses); the engine's reader reads the rest in ReadRule.
//
// Readers run on the control thread while the engines are paused.

#include <cstdint>
#include <string>

class IPolicyContainer;
struct InfoTemplateMarkers;
class Rule;
class RuleContainer;
class qgStringVector;

inline constexpr const char kStandardRulesBase[] = "\\Advanced\\Rules\\";
inline constexpr const char kUserRulesBase[] = "\\Advanced\\userdefinedsignatures\\";
// The value that, when set, names a rule (and its alerts) instead of its key.
inline constexpr const char kSecCheckIdValue[] = "SecCheckId";

// Answers of ReadRuleScript.
enum : int32_t {
    kRuleScriptRead = 0,          // the rule has its script
    kRuleScriptNone = 1,          // no script, none needed
    kRuleScriptNotTcl = 2,        // a script of another type, ignored
    kRuleScriptEmpty = 3,         // scripting on but no script: kept without
    kRuleScriptDropRule = 4,      // the rule needs a script it cannot have
};

// A list handed out by the policy container, released with the scope.
struct PolicyListGuard {
    PolicyListGuard() = default;
    PolicyListGuard(const PolicyListGuard&) = delete;
    PolicyListGuard& operator=(const PolicyListGuard&) = delete;
    ~PolicyListGuard();
    qgStringVector* m_pList = nullptr;
};

class InitializeRules {
public:
    InitializeRules() = default;
    InitializeRules(const InitializeRules&) = delete;
    InitializeRules& operator=(const InitializeRules&) = delete;
    virtual ~InitializeRules();

    // The table's key, e.g. "SysLog Rules".
    virtual const char* GetRulesKey() = 0;
    // kStandardRulesBase or kUserRulesBase.
    virtual const char* GetRulesBase() = 0;
    // A new rule of the engine's class, or null.
    virtual Rule* CreateRule() = 0;
    // Reads the engine's own values of one rule; false refuses the rule.
    virtual bool ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection,
                          const char* pszSubKey) = 0;
    // The markers the engine resolves in its rules' information-pair
    // templates, so that ReadInfoPairs says a template that cannot mean
    // what it says; null for an engine that reads no pairs.
    virtual const InfoTemplateMarkers* GetTemplateMarkers() const { return nullptr; }

    // Base, key and a backslash.
    std::string GetRulesSectionPath();
    // Reads every enabled rule of the table into the container and into the
    // sensor's own container.
    void ReadRules(RuleContainer* pContainer, IPolicyContainer* pPolicy);
    // Reads the NeedTcl flag and the "\Script" key; one of the answers
    // above.
    int32_t ReadRuleScript(IPolicyContainer* pPolicy, const char* pszRulePath, Rule* pRule);
    // Sets the rule's information pairs from the values under "\Info": a
    // name the rule has already gets the new value, any other is appended.
    // A template that loses its blanks, or that the engine cannot resolve
    // as written, is said among the load's findings.
    void ReadInfoPairs(IPolicyContainer* pPolicy, const char* pszRulePath, Rule* pRule);

    // The key path of the rule being read.
    const std::string& GetRulePath() const { return m_strRulePath; }
    // Rules refused by ReadRule since the reader was made.
    uint32_t GetRefusedCount() const { return m_dwRefused; }

private:
    // The rule's responses: the choices the sensor does not know, joined by
    // ", ", become its invalid-response text.
    void ReadResponses(IPolicyContainer* pPolicy, Rule* pRule, const std::string& strSubKey);

    std::string m_strRulePath;
    uint32_t m_dwRefused = 0;
};

// The user-defined variant of an engine's reader: the same table under
// "\Advanced\userdefinedsignatures\".
template <typename StandardReader>
class InitializeUserRules : public StandardReader {
public:
    using StandardReader::StandardReader;
    const char* GetRulesBase() override { return kUserRulesBase; }
};
