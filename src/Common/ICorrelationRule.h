#pragma once
// What a rule's correlation gate asks of a correlation rule attached to
// it.  A correlation rule is a Rule that also implements this interface.

#include <cstdint>

#include "hostwarden/ICSFEventHandler.h"

class AgentEventInfo;
class Rule;

class ICorrelationRule {
public:
    // Counts the fired rule's event in this correlation rule's window.
    // True: the record may go on to the host.  False: this correlation rule
    // fired, has already handed the record to the host's event sink itself
    // (or deleted it) and raised its own alert, so the caller must not pass
    // the record again.
    virtual bool Evaluate(Rule* pFiredRule, AgentEventInfo* pRecord, const CSFEventInfo* pInfo,
                          uint32_t dwWord, uint32_t dwFlags) = 0;

protected:
    ~ICorrelationRule() = default;
};
