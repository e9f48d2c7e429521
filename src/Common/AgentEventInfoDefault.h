#pragma once
// The plain alert record: everything it exports is the base record's.

#include "Common/AgentEventInfo.h"

class AgentEventInfoDefault : public AgentEventInfo {
public:
    using AgentEventInfo::AgentEventInfo;
    ~AgentEventInfoDefault() override;

    AgentEventInfo* Clone() const override;
    void FillADFEvent(CADFEvent& event) override;
    void FillQgEvent(CQgEvent& event) override;
};
