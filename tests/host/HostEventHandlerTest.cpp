#include "HostEventHandler.h"

#include <gtest/gtest.h>

#include <string>

#include "qorCSFLib/CSFPolicyEvent.h"

namespace {

int g_nReleased = 0;

class CountedPolicyEvent : public CSFPolicyEvent {
public:
    ~CountedPolicyEvent() override { ++g_nReleased; }
    IPolicyEventInterface* CreatePolicyEvent() override { return new CountedPolicyEvent; }
    ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter*, AgentEventInfo*, uint32_t) override {
        return nullptr;
    }
};

// Counts what the sink hands over; the records are never looked inside.
class CountingIntake : public AlertIntake {
public:
    void Accept(AgentEventInfo*, const CSFEventInfo&, const PolicyEventRef&) override {
        ++m_nTaken;
    }
    int m_nTaken = 0;
};

// Stands for a record the sensor hands over.
AgentEventInfo* FakeRecord(uintptr_t n) {
    return reinterpret_cast<AgentEventInfo*>(n * 16);
}

}  // namespace

TEST(HostEventHandler, RecordWithoutInformationIsRefused) {
    CountingIntake intake;
    HostEventHandler handler(intake);
    CSFEventInfo info{7, "Port scan", "Port scan"};
    EXPECT_EQ(0, handler.HandleAlert(nullptr, &info, 0, 15));
    EXPECT_EQ(0, handler.HandleAlert(FakeRecord(1), nullptr, 0, 15));
    EXPECT_EQ(2u, handler.RecordsRefused());
    EXPECT_EQ(0u, handler.RecordsTaken());
    EXPECT_EQ(0, intake.m_nTaken);
}

TEST(HostEventHandler, ReloadedPolicyEventReplacesAndReleasesTheOld) {
    g_nReleased = 0;
    {
        CountingIntake intake;
        HostEventHandler handler(intake);
        auto* pFirst = new CountedPolicyEvent;
        auto* pSecond = new CountedPolicyEvent;
        handler.RegisterPolicyEvent("Telnet", pFirst);
        PolicyEventRef pHeld = handler.FindPolicyEvent("Telnet");
        handler.RegisterPolicyEvent("Telnet", pSecond);
        // Whoever found the old event still holds it.
        EXPECT_EQ(0, g_nReleased);
        pHeld.reset();
        EXPECT_EQ(1, g_nReleased);
        EXPECT_EQ(pSecond, handler.FindPolicyEvent("Telnet").get());
        handler.RegisterDetectorPolicyEvent("Sensor_Error", new CountedPolicyEvent);
        handler.RegisterPolicyEvent("Ignored", nullptr);
        EXPECT_EQ(1u, handler.PolicyEventCount());
        EXPECT_EQ(1u, handler.DetectorPolicyEventCount());
        EXPECT_EQ(nullptr, handler.FindPolicyEvent("Sensor_Error"));
    }
    EXPECT_EQ(3, g_nReleased);
}
