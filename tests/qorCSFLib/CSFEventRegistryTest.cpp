#include "qorCSFLib/CSFEventRegistry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "RecordingEventHandler.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFPolicyDetectorEvent.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorCSFLib/CSFSvcRequest.h"

#include "TestPolicyEvent.h"

namespace {

class CSFEventRegistryTest : public ::testing::Test {
protected:
    CSFEventRegistryTest() : m_pRequest(new CSFSvcRequest), m_pPolicy(CreatePluginPolicyContainer()) {
        m_pRequest->SetServices(&m_Services);
        m_pRequest->SetEventHandler(&m_Handler);
        const std::string strPath = std::string(HW_SOURCE_DIR) + "/tests/qorCSFLib/data/registry.policy";
        EXPECT_EQ(m_pPolicy->LoadFile(strPath.c_str(), "", "", false), 0);
    }
    ~CSFEventRegistryTest() override { m_pRequest->Release(); }

    CSFSensor m_Sensor;
    RecordingServices m_Services;
    RecordingEventHandler m_Handler;
    CSFSvcRequest* m_pRequest;
    PolicyPtr m_pPolicy;
    TestPolicyEvent m_Prototype;
};

}  // namespace

TEST_F(CSFEventRegistryTest, WalkHandsEveryEnabledEventToTheHostInSectionOrder) {
    auto* pRegistry = new CSFEventRegistry;
    pRegistry->RegisterSection("\\Advanced\\Rules\\Decoy Rules\\", &m_Prototype, 1);
    pRegistry->RegisterSection("\\Advanced\\Rules\\Bastion\\", &m_Prototype, 2);
    pRegistry->RegisterSection("\\Advanced\\Rules\\Decoy Rules\\", &m_Prototype, 2);
    pRegistry->RegisterSection("\\Advanced\\userdefinedsignatures\\Decoy Rules\\", &m_Prototype, 1);
    EXPECT_EQ(pRegistry->SectionCount(), 3u);
    pRegistry->RegisterEvents(m_pPolicy.get());
    EXPECT_EQ(pRegistry->Release(), 0u);

    EXPECT_EQ(m_Handler.Names(),
              (std::vector<std::string>{"Inbound_Block ssh", "Inbound_Allow web", "Telnet", "Smtp"}));
    const std::vector<uint16_t> priorities = {1, 3, 2, 1};
    for (size_t i = 0; i < priorities.size(); ++i) {
        IPolicyEventInterface* pEvent = m_Handler.m_Events[i].pEvent;
        EXPECT_NE(dynamic_cast<TestPolicyEvent*>(pEvent), nullptr);
        EXPECT_EQ(pEvent->GetPriority(), priorities[i]) << i;
    }
    EXPECT_EQ(m_Handler.m_Events[2].pEvent->GetResponseMask(), kResponseEmail);
    EXPECT_TRUE(m_Services.Logged("Registered \\Advanced\\Rules\\Bastion\\ section with a recursion level of 2"));
}

TEST_F(CSFEventRegistryTest, DetectorEventFromAKeyPathGoesToTheHandlerAndTheServices) {
    CSFEventRegistry registry;
    EXPECT_EQ(registry.RegisterDetectorEvent("\\Sensor\\Detector_Warning", "Detector_Warning", m_pPolicy.get()), 77u);
    ASSERT_EQ(m_Handler.m_Events.size(), 1u);
    IPolicyEventInterface* pEvent = m_Handler.m_Events[0].pEvent;
    EXPECT_TRUE(m_Handler.m_Events[0].bDetector);
    EXPECT_STREQ(pEvent->GetName(), "Sensor_Warning");
    EXPECT_EQ(pEvent->GetPriority(), 1);
    CSFResponseList expected = {{"EMAIL", "Default"}, {"LOGTRAP", "Trap"}};
    EXPECT_EQ(*pEvent->GetResponses(), expected);
    EXPECT_EQ(m_Services.m_detectorEvents.size(), 1u);
}

TEST_F(CSFEventRegistryTest, DottedSettingsBuildDetectorEventsHandedOverOnce) {
    auto* pRegistry = new CSFEventRegistry;
    EXPECT_TRUE(pRegistry->AddDetectorSetting("NoDot", "1"));
    EXPECT_EQ(pRegistry->FindDetectorEvent("NoDot"), nullptr);
    EXPECT_TRUE(pRegistry->AddDetectorSetting("Detector_Info.Enabled", "1"));
    EXPECT_TRUE(pRegistry->AddDetectorSetting("Detector_Info.Priority", "2"));
    EXPECT_TRUE(pRegistry->AddDetectorSetting("Detector_Info.Response.EMAIL.choice", "Default"));
    EXPECT_TRUE(pRegistry->AddDetectorSetting("Detector_Info.Response.SNMP", "Trap"));
    EXPECT_TRUE(pRegistry->AddDetectorSetting("Detector_Error.Unknown", "x"));
    CSFPolicyDetectorEvent* pInfo = pRegistry->FindDetectorEvent("Detector_Info");
    ASSERT_NE(pInfo, nullptr);
    EXPECT_EQ(pInfo->IsEnabled(), 1);
    EXPECT_EQ(pInfo->GetPriority(), 2);
    EXPECT_EQ(*pInfo->GetResponses(), (CSFResponseList{{"EMAIL", "Default"}}));
    EXPECT_NE(pRegistry->FindDetectorEvent("Detector_Error"), nullptr);

    pRegistry->RegisterDetectorEvents();
    pRegistry->RegisterDetectorEvents();
    EXPECT_EQ(m_Handler.Names(), (std::vector<std::string>{"Detector_Error", "Detector_Info"}));
    pRegistry->Release();
}

TEST(CSFEventRegistry, EventsWithoutAHandlerAreReleasedNotLost) {
    TestPolicyEvent prototype;
    CSFEventRegistry registry;
    registry.AddDetectorSetting("Detector_Info.Enabled", "1");
    registry.RegisterDetectorEvents();
    registry.ForwardPolicyEvent("x", prototype.CreatePolicyEvent());
    EXPECT_EQ(registry.RegisterDetectorEvent("\\Sensor\\Detector_Warning", "Detector_Warning", nullptr), 0u);
}
