#include "HostEventHandler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Keeps what the sink hands over; the records are never looked inside.
class RecordingIntake : public AlertIntake {
public:
    struct Handed {
        AgentEventInfo* pRecord;
        int32_t nEventId;
        std::string name;
        IPolicyEventInterface* pPolicyEvent;
    };
    void Accept(AgentEventInfo* pRecord, const CSFEventInfo& info,
                const PolicyEventRef& pPolicyEvent) override {
        m_handed.push_back({pRecord, info.m_nEventId, info.m_pszName, pPolicyEvent.get()});
    }
    std::vector<Handed> m_handed;
};

// Stands for a record the sensor hands over.
AgentEventInfo* FakeRecord(uintptr_t n) {
    return reinterpret_cast<AgentEventInfo*>(n * 16);
}

}  // namespace

TEST(HostEventHandler, RecordWithoutInformationIsRefused) {
    RecordingIntake intake;
    HostEventHandler handler(intake);
    CSFEventInfo info{7, "Port scan", "Port scan"};
    EXPECT_EQ(0, handler.HandleAlert(nullptr, &info, 0, 15));
    EXPECT_EQ(0, handler.HandleAlert(FakeRecord(1), nullptr, 0, 15));
    EXPECT_EQ(2u, handler.RecordsRefused());
    EXPECT_EQ(0u, handler.RecordsTaken());
    EXPECT_TRUE(intake.m_handed.empty());
}

TEST(HostEventHandler, TakenRecordReachesTheIntakeBeforeTheHandOverEnds) {
    RecordingIntake intake;
    HostEventHandler handler(intake);
    auto* pEvent = new CountedPolicyEvent;
    handler.RegisterPolicyEvent("Port scan", pEvent);
    CSFEventInfo info{7, "Port scan", "Port scan"};
    EXPECT_EQ(1, handler.HandleAlert(FakeRecord(1), &info, 0, 15));
    CSFEventInfo unknown{8, "Unknown", "Unknown"};
    EXPECT_EQ(1, handler.HandleAlert(FakeRecord(2), &unknown, 0, 15));

    EXPECT_EQ(2u, handler.RecordsTaken());
    ASSERT_EQ(2u, intake.m_handed.size());
    EXPECT_EQ(FakeRecord(1), intake.m_handed[0].pRecord);
    EXPECT_EQ(7, intake.m_handed[0].nEventId);
    EXPECT_EQ("Port scan", intake.m_handed[0].name);
    EXPECT_EQ(pEvent, intake.m_handed[0].pPolicyEvent);
    EXPECT_EQ(nullptr, intake.m_handed[1].pPolicyEvent);
}

TEST(HostEventHandler, ReloadedPolicyEventReplacesAndReleasesTheOld) {
    g_nReleased = 0;
    {
        RecordingIntake intake;
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
