#pragma once
// The script handler as engines and rule scripts see it.  The handler runs
// the rule scripts in the script process; engines register with it, hand it
// a copy of their rule container at every reload, and queue the validation
// of each alert whose rule has a "Validation" script.

#include <cstdint>
#include <memory>
#include <string>

class AgentEventInfo;
class CEngineBase;
class RuleContainer;
class RuleScript;

class ITclHandler {
public:
    // Flag 1 registers the engine (once), flag 0 withdraws it and drops
    // its container copy.  Answers 1.
    virtual uint32_t RegisterEngine(CEngineBase* pEngine, uint32_t dwFlag) = 0;
    // Takes the copy in every case: it replaces the engine's previous copy,
    // or is dropped (answer 0) when the engine is not registered.
    virtual uint32_t ReloadRuleContainer(CEngineBase* pEngine,
                                         std::unique_ptr<RuleContainer> pContainer) = 0;
    // Queues one part of a script ("Procedure", "Initial" or "Validation")
    // for the script process to define.
    virtual uint32_t QueueScript(RuleScript* pScript, const char* pszPart,
                                 const std::string& strText) = 0;
    // Queues a run of one part.  Nonzero: queued, and a record given here
    // belongs to the handler from then on (it reports the record, or deletes
    // it when the script rejects it).  Zero: nothing was queued and the
    // record stays with the caller.
    virtual uint32_t QueueRun(RuleScript* pScript, const char* pszPart,
                              AgentEventInfo* pRecord) = 0;
    // The global scripting switch.
    virtual bool IsEnabled() = 0;

protected:
    ~ITclHandler() = default;
};
