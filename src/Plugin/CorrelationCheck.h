#pragma once
// A correlation rule counts the alerts of the rules it watches, found by
// name when it is read.  Once every engine has read its rules and been
// started (or resumed) by a load, what each watched rule can still give is
// known: a rule that does not exist, or is switched off, or belongs to an
// engine that is off in this policy (the network engine without
// "Nodekeeper", say) gives no alert.  A correlation rule none of whose
// watched rules can alert never fires: an error naming the rule and why
// each watched rule gives nothing.  A watched rule that gives nothing while
// others do is a warning (the reader already warned of a name that is no
// rule at all).  A SCAN rule keeps one alert of each watched rule, so one
// whose "Threshold" is above what all its watched rules can reach together
// never fires either.

#include <vector>

#include "Common/PolicyKeyAudit.h"

class CThreadList;

// Says what it finds through PolicyKeyAudit::Say, so the load's findings
// hold it.  `taken` gives the keys of the rules read; the engines are asked
// whether they run (CEngineBase::DescribeInput) only when they hold a
// watched rule.
void CheckCorrelationReach(const std::vector<PolicyKeyAudit::TakenRule>& taken,
                           const CThreadList* pEngines);
