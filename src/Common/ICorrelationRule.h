#pragma once
// What a rule's correlation gate asks of a correlation rule attached to
// it.  A correlation rule is a Rule that also implements this interface.
//
// The gate works in two steps so that a record which makes several
// correlation rules fire reaches the host once: every attached rule first
// counts the record (Trigger) while the gate still holds it; then the gate
// hands the record to the host itself, and only after that raises the
// alerts of the rules that fired (RaiseAlert), in the same order.

#include <memory>

class AgentEventInfo;
class Rule;

class ICorrelationRule {
public:
    // Counts the fired rule's event in this correlation rule's window.
    // True: the record may go on to the host as far as this rule is
    // concerned.  False: this rule fires; `pAlert` then holds its own new
    // alert for RaiseAlert.  Reads the record, never keeps or frees it.
    virtual bool Trigger(Rule* pFiredRule, AgentEventInfo* pRecord,
                         std::unique_ptr<AgentEventInfo>& pAlert) = 0;
    // Sends the alert that Trigger made on its way, as the rule's engine
    // sends every alert.
    virtual void RaiseAlert(std::unique_ptr<AgentEventInfo> pAlert) = 0;

protected:
    ~ICorrelationRule() = default;
};
