#pragma once
// The sensor's policy event: the policy of one rule's event towards the
// host, and the conversion of that rule's alert records into alert events.
// The form of the events (ADF or Qg) is the sensor's when the policy event
// is made, and stays.
//
// The sensor keeps one as the prototype; the event registry asks it for a
// fresh one per event section it finds.

#include <atomic>
#include <cstdint>

#include "qorCSFLib/CSFPolicyEvent.h"

class Rule;

// The alert type of the last record turned into an ADF event; the e-mail
// formatter reads it.
extern std::atomic<int32_t> LastSentAlertType;

class CPolicyEvent : public CSFPolicyEvent {
public:
    CPolicyEvent();
    ~CPolicyEvent() override;

    IPolicyEventInterface* CreatePolicyEvent() override;
    // Null for a null record or a pointer that is no live record, and when
    // the event cannot be made; the record then stays with the caller.
    // Otherwise the event owns the record.  Nothing is raised.
    ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter* pParameters, AgentEventInfo* pRecord,
                                     uint32_t dwLevel) override;
    // The rule's name; "" without one.
    virtual const char* GetAlertName(Rule* pRule);

    bool UsesQgEvents() const { return m_bUsesQgEvents; }

private:
    ICSFAlertEvent* CreateQgEvent(const CSFAlertParameter* pParameters, AgentEventInfo* pRecord);
    ICSFAlertEvent* CreateADFEvent(const CSFAlertParameter* pParameters, AgentEventInfo* pRecord,
                                   uint32_t dwLevel);

    const bool m_bUsesQgEvents;
};
