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

// Stands for a record the sensor hands over; the handler never looks inside.
AgentEventInfo* FakeRecord(uintptr_t n) {
    return reinterpret_cast<AgentEventInfo*>(n * 16);
}

}  // namespace

TEST(HostEventHandler, RecordWithoutInformationIsRefused) {
    HostEventHandler handler;
    CSFEventInfo info{7, "Port scan", "Port scan"};
    EXPECT_EQ(0, handler.HandleAlert(nullptr, &info, 0, 15));
    EXPECT_EQ(0, handler.HandleAlert(FakeRecord(1), nullptr, 0, 15));
    EXPECT_EQ(2u, handler.RecordsRefused());
    EXPECT_EQ(0u, handler.RecordsTaken());
}

TEST(HostEventHandler, TakenRecordsKeepTheirInformation) {
    HostEventHandler handler;
    std::string name = "Port scan";
    CSFEventInfo info{7, name.c_str(), name.c_str()};
    EXPECT_EQ(1, handler.HandleAlert(FakeRecord(1), &info, 0, 15));
    name = "overwritten";
    EXPECT_EQ(1u, handler.RecordsTaken());
    auto records = handler.TakeRecords();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(FakeRecord(1), records[0].pRecord);
    EXPECT_EQ(7, records[0].nEventId);
    EXPECT_EQ("Port scan", records[0].name);
    EXPECT_EQ(15u, records[0].dwFlags);
    EXPECT_TRUE(handler.TakeRecords().empty());
}

TEST(HostEventHandler, ReloadedPolicyEventReplacesAndReleasesTheOld) {
    g_nReleased = 0;
    {
        HostEventHandler handler;
        auto* pFirst = new CountedPolicyEvent;
        auto* pSecond = new CountedPolicyEvent;
        handler.RegisterPolicyEvent("Telnet", pFirst);
        handler.RegisterPolicyEvent("Telnet", pSecond);
        EXPECT_EQ(1, g_nReleased);
        EXPECT_EQ(pSecond, handler.FindPolicyEvent("Telnet"));
        handler.RegisterDetectorPolicyEvent("Sensor_Error", new CountedPolicyEvent);
        handler.RegisterPolicyEvent("Ignored", nullptr);
        EXPECT_EQ(1u, handler.PolicyEventCount());
        EXPECT_EQ(nullptr, handler.FindPolicyEvent("Sensor_Error"));
    }
    EXPECT_EQ(3, g_nReleased);
}
