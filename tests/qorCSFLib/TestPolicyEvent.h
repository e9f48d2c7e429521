#pragma once
// The smallest policy event the framework base allows, for tests that need
// one to hand to events and registries.

#include "qorCSFLib/CSFPolicyEvent.h"

class TestPolicyEvent : public CSFPolicyEvent {
public:
    IPolicyEventInterface* CreatePolicyEvent() override { return new TestPolicyEvent; }
    ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter*, AgentEventInfo*, uint32_t) override {
        return nullptr;
    }
};
