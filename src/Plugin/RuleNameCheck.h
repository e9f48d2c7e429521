#pragma once
// The host keeps one policy event per name and finds an alert's by the name
// of the rule that raised it; correlation rules find the rules they watch by
// name too.  So once a load's rules are read, the names they alert under are
// checked against the events handed to the host:
// - a rule whose name has no event loses every alert at the host (an error
//   naming the rule, and its "SecCheckId" when that is the name);
// - two rules of one name, in one table or two, are told apart by nobody:
//   both alert under the name with the responses of the event the host kept
//   last, and a correlation rule counts the alerts of the one it found
//   first only.  A warning names every key of the name, whose responses are
//   carried out, and each correlation rule watching it.
// Which rule wins stays as the readers and the registry make it.

#include <vector>

#include "Common/PolicyKeyAudit.h"

class CSFEventRegistry;

// Says what it finds through PolicyKeyAudit::Say, so the load's findings
// hold it.  `pRegistry` null: only the shared names are looked at.
void CheckRuleNames(const std::vector<PolicyKeyAudit::TakenRule>& taken,
                    const CSFEventRegistry* pRegistry);
