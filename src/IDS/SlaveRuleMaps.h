#pragma once
// The lookup maps all IDS slaves share.  Built by the first slave through
// set-up after a start or a pause, while no slave captures; read by the
// capture threads without a lock.

#include "IDS/CEngineIDSSlave.h"

struct SlaveRuleMaps {
    CEngineIDSSlave::FWRuleMap fwRules;
    CEngineIDSSlave::IDSRuleMap idsRules;
    CEngineIDSSlave::IssueNameMap issueNames;
    bool bBuilt = false;
    bool bRebuiltSincePause = false;

    static SlaveRuleMaps& Get() {
        static SlaveRuleMaps maps;
        return maps;
    }
};
