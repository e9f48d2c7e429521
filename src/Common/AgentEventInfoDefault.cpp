#include "Common/AgentEventInfoDefault.h"

#include <new>

AgentEventInfoDefault::~AgentEventInfoDefault() = default;

AgentEventInfo* AgentEventInfoDefault::Clone() const {
    return new (std::nothrow) AgentEventInfoDefault(*this);
}

void AgentEventInfoDefault::FillADFEvent(CADFEvent& event) {
    AgentEventInfo::FillADFEvent(event);
}

void AgentEventInfoDefault::FillQgEvent(CQgEvent& event) {
    AgentEventInfo::FillQgEvent(event);
}
