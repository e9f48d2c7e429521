#pragma once
// A policy that lost rules on its way (a file cut short at a line end reads
// as a shorter, well-formed policy) is applied like any other, since the
// format cannot tell; the load then says what the new policy drops against
// the one it replaces: a rules table that held rules and now holds none,
// and an engine that took rules and now takes none.

#include <cstddef>
#include <string>
#include <vector>

class CEngineBase;
class CThreadList;
class IPolicyContainer;

// The enabled rules an engine holds.
size_t CountEnabledRules(CEngineBase* pEngine);

struct EngineRuleCount {
    std::string m_strEngine;
    size_t m_nRules = 0;
};

// Every engine of the list with its enabled rules, in list order.
std::vector<EngineRuleCount> CountEngineRules(const CThreadList* pEngines);

// Warns (log, console, and so the load's findings) about each rules table
// that holds rules in `pInForce` and none in `pLoaded`, and each engine
// that held rules before (`before`) and holds none now (`after`).
void WarnAboutLostRules(IPolicyContainer* pInForce, IPolicyContainer* pLoaded,
                        const std::vector<EngineRuleCount>& before,
                        const std::vector<EngineRuleCount>& after);
