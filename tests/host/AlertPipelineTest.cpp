#include "AlertPipeline.h"

#include <gtest/gtest.h>

#include <string>

#include "Common/TestEngine.h"
#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFPolicyEvent.h"
#include "qorCSFLib/CSFSensor.h"
#include "support/TestUtil.h"

namespace {

// Makes an alert event named after the record's rule; the event takes the
// record, as the sensor's policy event does.
class NamingPolicyEvent : public CSFPolicyEvent {
public:
    explicit NamingPolicyEvent(ICSFSensor* pSensor) : m_pSensor(pSensor) {}
    IPolicyEventInterface* CreatePolicyEvent() override { return new NamingPolicyEvent(m_pSensor); }
    ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter* pParameters, AgentEventInfo* pRecord,
                                     uint32_t dwLevel) override {
        std::string name = pRecord->GetRuleName();
        delete pRecord;
        return new ADFGenericEvent(name.c_str(), 5, 1, this, m_pSensor, dwLevel, pParameters);
    }

private:
    ICSFSensor* m_pSensor;
};

class AlertPipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_rule.SetName("Failed su");
        std::string error;
        ASSERT_TRUE(m_pipeline.Open(m_dir.File("alerts.xml"), m_dir.File("messages.bin"), error))
            << error;
    }

    void Hand(const char* pszName) {
        CSFEventInfo info{7, pszName, pszName};
        ASSERT_EQ(1, m_handler.HandleAlert(new TestRecord(&m_rule, 0), &info, 0, 15));
    }

    hwtest::ScratchDirectory m_dir;
    CSFSensor m_sensor;
    TestRule m_rule;
    HostEventHandler m_handler;
    HostServices m_services;
    AlertPipeline m_pipeline{m_handler, m_services};
};

}  // namespace

TEST_F(AlertPipelineTest, EachAlertIsOneXmlDocumentAndOneHostMessage) {
    m_handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&m_sensor));
    Hand("Failed su");
    Hand("Failed su");

    EXPECT_EQ(2u, m_pipeline.Drain());

    std::string xml = hwtest::ReadWholeFile(m_dir.File("alerts.xml"));
    size_t first = xml.find("Failed su");
    ASSERT_NE(std::string::npos, first);
    size_t gap = xml.find("\n\n");
    ASSERT_NE(std::string::npos, gap);
    EXPECT_GT(gap, first);
    EXPECT_NE(std::string::npos, xml.find("Failed su", gap));
    EXPECT_EQ("\n\n", xml.substr(xml.size() - 2));

    std::string messages = hwtest::ReadWholeFile(m_dir.File("messages.bin"));
    ASSERT_GT(messages.size(), 24u);
    EXPECT_EQ(std::string("\x00\x00\x02\x58\x00\x00\x00\x05", 8), messages.substr(0, 8));
    uint32_t length = (uint8_t(messages[8]) << 24) | (uint8_t(messages[9]) << 16) |
                      (uint8_t(messages[10]) << 8) | uint8_t(messages[11]);
    EXPECT_EQ(messages.size(), 2 * (12 + size_t(length)));
}

TEST_F(AlertPipelineTest, AlertWithoutPolicyEventIsDroppedAndFreed) {
    Hand("Unregistered");

    EXPECT_EQ(0u, m_pipeline.Drain());

    EXPECT_EQ(1u, m_pipeline.RecordsDropped());
    EXPECT_EQ("", hwtest::ReadWholeFile(m_dir.File("alerts.xml")));
}

TEST_F(AlertPipelineTest, StopWritesWhatTheSinkStillHolds) {
    m_handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&m_sensor));
    m_pipeline.Start();
    Hand("Failed su");

    m_pipeline.Stop();

    EXPECT_EQ(1u, m_pipeline.AlertsWritten());
}
