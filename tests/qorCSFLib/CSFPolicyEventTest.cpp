#include "qorCSFLib/CSFPolicyEvent.h"

#include <gtest/gtest.h>

#include <string>

#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFSensor.h"
#include "support/TestUtil.h"

#include "FakeHost.h"
#include "TestPolicyEvent.h"

namespace {

CSFResponseList Pairs(std::initializer_list<CSFResponsePair> pairs) {
    return CSFResponseList(pairs);
}

// A policy as the settings text writer stores it: CR LF line ends, typed
// values, one section per key.
const char kPolicy[] =
    "Test policy\r\n"
    "[\\];\r\n"
    "[\\Rules\\Decoy\\];\r\n"
    "[\\Rules\\Decoy\\Telnet\\];\r\n"
    "Enabled\t=B\t1;\r\n"
    "Priority\t=L\t2;\r\n"
    "NoiseThreshold\t=L\t5;\r\n"
    "IgnoreInterval\t=L\t30;\r\n"
    "[\\Rules\\Decoy\\Telnet\\Response\\];\r\n"
    "[\\Rules\\Decoy\\Telnet\\Response\\EMAIL\\];\r\n"
    "Choice\t=S\tDefault;\r\n"
    "[\\Rules\\Decoy\\Telnet\\Response\\QGKILL\\];\r\n"
    "Choice\t=S\tKill;\r\n"
    "[\\Rules\\Decoy\\Telnet\\Response\\SNMP\\];\r\n"
    "Choice\t=S\t;\r\n"
    "[\\Rules\\Decoy\\Telnet\\Response\\LOGDB\\];\r\n"
    "Choice\t=S\tLogWithRaw;\r\n"
    "[\\Rules\\Decoy\\Ftp\\];\r\n"
    "Enabled\t=B\t0;\r\n"
    "Priority\t=L\t1;\r\n"
    "[\\Rules\\Decoy\\Ftp\\Response\\EMAIL\\];\r\n"
    "Choice\t=S\tDefault;\r\n";

class PolicyFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string path = m_dir.File("Default.policy");
        hwtest::WriteWholeFile(path, kPolicy);
        ASSERT_EQ(0, m_pPolicy->LoadFile(path.c_str(), "", "", false));
    }

    hwtest::ScratchDirectory m_dir;
    PolicyPtr m_pPolicy{CreatePluginPolicyContainer()};
};

}  // namespace

TEST_F(PolicyFileTest, EnabledEventReadsItsValuesAndResponses) {
    TestPolicyEvent event;
    ASSERT_TRUE(event.Init(m_pPolicy.get(), "Telnet", "\\Rules\\Decoy\\Telnet"));
    EXPECT_EQ(1, event.IsEnabled());
    EXPECT_STREQ("Telnet", event.GetName());
    EXPECT_EQ(2, event.GetPriority());
    EXPECT_EQ(5, event.GetNoiseThreshold());
    EXPECT_EQ(30, event.GetIgnoreInterval());
    // The response with an empty choice is not chosen.
    EXPECT_EQ(kResponseEmail | kResponseKill | kResponseLogWithRaw, event.GetResponseMask());
    EXPECT_EQ(1, event.HasKillResponse());
    EXPECT_EQ(Pairs({{"QGKILL", "Kill"}, {"EMAIL", "Default"}, {"DISPLAY", "Default"}}),
              *event.GetResponses());
    EXPECT_EQ(Pairs({{"EMAIL", "Default"}, {"QGKILL", "Kill"}, {"LOGDB", "LogWithRaw"}}),
              event.GetChosenResponses());
    EXPECT_STREQ("LR", event.GetResponseCode());
    EXPECT_EQ("EMAIL=Default:0,QGKILL=Kill:0,LOGDB=LogWithRaw:0", event.GetResponseListText(1));
    EXPECT_TRUE(event.LogsToDatabase(2));
}

TEST_F(PolicyFileTest, DisabledOrMissingEventKeepsItsDefaultsAndNoResponses) {
    TestPolicyEvent event;
    ASSERT_TRUE(event.Init(m_pPolicy.get(), "Ftp", "\\Rules\\Decoy\\Ftp"));
    EXPECT_EQ(0, event.IsEnabled());
    EXPECT_EQ(3, event.GetPriority());
    EXPECT_STREQ("", event.GetName());
    EXPECT_TRUE(event.GetResponses()->empty());
    TestPolicyEvent ghost;
    ASSERT_TRUE(ghost.Init(m_pPolicy.get(), "Ghost", "\\Rules\\Decoy\\Ghost"));
    EXPECT_EQ(0, ghost.IsEnabled());
}

TEST_F(PolicyFileTest, QgFormExecutesEveryResponseAndChoosesNone) {
    CSFSensor sensor;
    sensor.SetUsesQgEvents(1);
    TestPolicyEvent event;
    ASSERT_TRUE(event.Init(m_pPolicy.get(), "Telnet", "\\Rules\\Decoy\\Telnet"));
    EXPECT_EQ(Pairs({{"QGKILL", "Kill"}, {"EMAIL", "Default"}, {"LOGDB", "LogWithRaw"}}),
              *event.GetResponses());
    EXPECT_TRUE(event.GetChosenResponses().empty());
    EXPECT_EQ("", event.GetResponseListText(1));
    EXPECT_FALSE(event.LogsToDatabase(1));
    EXPECT_EQ(kResponseEmail | kResponseKill | kResponseLogWithRaw, event.GetResponseMask());
}

TEST(CSFPolicyEvent, LogWithRawAloneIsChosenAndDisplayIsExecuted) {
    TestPolicyEvent event;
    event.AddResponse("LOGDB", "LogWithRaw");
    EXPECT_EQ(kResponseLogWithRaw, event.GetResponseMask());
    EXPECT_EQ(Pairs({{"LOGDB", "LogWithRaw"}}), event.GetChosenResponses());
    EXPECT_EQ(Pairs({{"DISPLAY", "Default"}}), *event.GetResponses());
    event.AddResponse("VIEWSESSION", "x");
    EXPECT_EQ(1u, event.GetResponses()->size()) << "one display entry however many display-like";
}

TEST(CSFPolicyEvent, ListTextAboveLevelOneLeavesOutDisplayAndFilteredLogging) {
    TestPolicyEvent event;
    event.AddResponse("EMAIL", "Default");
    event.AddResponse("DISPLAY", "Default");
    event.AddResponse("LOGDB", "LogFiltered");
    EXPECT_EQ("EMAIL=Default:0", event.GetResponseListText(2));
    EXPECT_EQ("EMAIL=Default:0,DISPLAY=Default:0,LOGDB=LogFiltered:0",
              event.GetResponseListText(1));
    EXPECT_TRUE(event.LogsToDatabase(1));
    EXPECT_FALSE(event.LogsToDatabase(2));
    EXPECT_EQ(kResponseEmail | kResponseDisplay, event.GetResponseMask())
        << "LogFiltered sets no bit";
}

TEST(CSFPolicyEvent, ResponseTextIsParsedItemByItem) {
    TestPolicyEvent event;
    event.SetResponses("EMAIL:Default,SNMP:Default");
    EXPECT_EQ(Pairs({{"EMAIL", "Default"}, {"SNMP", "Default"}}), *event.GetResponses());
    EXPECT_EQ(kResponseEmail | kResponseSnmp, event.GetResponseMask());

    TestPolicyEvent none;
    none.SetResponses("EMAIL");
    EXPECT_TRUE(none.GetResponses()->empty());
    none.SetResponses(nullptr);

    TestPolicyEvent tail;
    tail.SetResponses("BLOCK:Short,trailing text");
    EXPECT_EQ(Pairs({{"BLOCK", "Short"}}), *tail.GetResponses());

    // A "," before the first ":" stays in the name instead of cutting the
    // choice short.
    TestPolicyEvent stray;
    stray.SetResponses("A,B:c");
    EXPECT_EQ(Pairs({{"A,B", "c"}}), *stray.GetResponses());
}

