#pragma once
// Readers of the event-log rules tables: the shipped rules under
// "\Advanced\Rules\EventLog Rules" and the user-defined ones under
// "\Advanced\userdefinedsignatures\NT EventLog Rules".  Each collects the
// names of the logs its rules watch (compared with case), which the engine
// reads after every policy read.
//
// Values under a rule's "Audit\Files" and "Audit\Registry" keys whose name
// starts with "nameref_" name another policy key (absolute "\..." or
// relative "..\..." to the key they are under) whose values take their
// place; references are followed to any depth, a reference back into its
// own chain is dropped.

#include <set>
#include <string>
#include <vector>

#include "Common/InitializeRules.h"

class CNTEventRule;

class CInitializeNTEventRules : public InitializeRules {
public:
    ~CInitializeNTEventRules() override;

    const char* GetRulesKey() override { return "EventLog Rules"; }
    const char* GetRulesBase() override { return kStandardRulesBase; }
    Rule* CreateRule() override;
    const InfoTemplateMarkers* GetTemplateMarkers() const override;
    bool ReadRule(Rule* pRule, IPolicyContainer* pPolicy, const char* pszSection,
                  const char* pszSubKey) override;
    virtual void ClearLogNames();

    const std::set<std::string>& GetLogNames() const { return m_LogNames; }

    // Replaces every "nameref_" entry of the parallel lists by the names and
    // values of the key it refers to, appended at the end.  `strBase` is
    // the key the lists came from.
    static void ResolveNameReferences(IPolicyContainer* pPolicy, std::vector<std::string>& names,
                                      std::vector<std::string>& values, const std::string& strBase);

private:
    static void ResolveNameReferences(IPolicyContainer* pPolicy, std::vector<std::string>& names,
                                      std::vector<std::string>& values, const std::string& strBase,
                                      std::vector<std::string>& chain);
    void ReadExpressions(CNTEventRule* pRule, IPolicyContainer* pPolicy,
                         const std::string& strRulePath);
    void ReadAuditLists(CNTEventRule* pRule, IPolicyContainer* pPolicy,
                        const std::string& strRulePath);

    std::set<std::string> m_LogNames;
};

class CInitializeUserNTEventRules : public CInitializeNTEventRules {
public:
    ~CInitializeUserNTEventRules() override;

    const char* GetRulesKey() override { return "NT EventLog Rules"; }
    const char* GetRulesBase() override { return kUserRulesBase; }
};
