#pragma once
// A list of rules.  Containers never own their rules: every engine has one,
// the script handler keeps copies of them, and the sensor keeps one more
// through which the rules are finally deleted.

#include "Common/GenericContainer.h"

class Rule;

class RuleContainer : public GenericContainer<Rule, ShallowCopier<Rule>> {
public:
    RuleContainer() = default;
    RuleContainer(const RuleContainer& other) = default;
    ~RuleContainer() override = default;

    // The first rule whose name equals `pszName` exactly (case matters);
    // null when there is none.  Takes no lock.
    virtual Rule* Find(const char* pszName) const;
};
