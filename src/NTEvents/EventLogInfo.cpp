#include "NTEvents/EventLogInfo.h"

#include <new>

#include "Common/CADFEvent.h"
#include "Common/CQgEvent.h"

EventLogInfo::EventLogInfo(Rule* pRule, int64_t tTime) : AgentEventInfo(pRule, tTime) {}

EventLogInfo::EventLogInfo(const EventLogInfo& other)
    : AgentEventInfo(other), m_strSourceName(other.m_strSourceName) {}

EventLogInfo::~EventLogInfo() = default;

EventLogInfo& EventLogInfo::operator=(const EventLogInfo& other) {
    if (this != &other) {
        AgentEventInfo::operator=(other);
        m_strSourceName = other.m_strSourceName;
    }
    return *this;
}

AgentEventInfo* EventLogInfo::Clone() const {
    return new (std::nothrow) EventLogInfo(*this);
}

void EventLogInfo::FillADFEvent(CADFEvent& event) {
    AgentEventInfo::FillADFEvent(event);
    event.SetEventSourceText(m_strSourceName);
}

void EventLogInfo::FillQgEvent(CQgEvent& event) {
    AgentEventInfo::FillQgEvent(event);
    event.SetEventSourceText(m_strSourceName);
}
