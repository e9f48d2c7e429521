#include "Decoy/DecoyEvent.h"

#include <new>

DecoyEvent::DecoyEvent(Rule* pRule) : AgentEventInfo(pRule, 0) {}

DecoyEvent::~DecoyEvent() = default;

AgentEventInfo* DecoyEvent::Clone() const {
    return new (std::nothrow) DecoyEvent(*this);
}

void DecoyEvent::FillADFEvent(CADFEvent& event) {
    AgentEventInfo::FillADFEvent(event);
}

void DecoyEvent::FillQgEvent(CQgEvent& event) {
    AgentEventInfo::FillQgEvent(event);
}
