#pragma once
// The lookup maps all IDS slaves share.  Built by the first slave through
// set-up after a start or a pause, while no slave captures; read by the
// capture threads without a lock.  The set-up lock guards the maps while
// they are built and the count of slaves set up.

#include "IDS/CEngineIDSSlave.h"

struct SlaveRuleMaps {
    CEngineIDSSlave::FWRuleMap fwRules;
    CEngineIDSSlave::IDSRuleMap idsRules;
    CEngineIDSSlave::IssueNameMap issueNames;
    bool bBuilt = false;
    // Slaves set up and not yet shut down: while there are any, some may be
    // capturing, and the maps stay as they are.
    uint32_t dwSetUpSlaves = 0;

    static SlaveRuleMaps& Get() {
        static SlaveRuleMaps maps;
        return maps;
    }
};
