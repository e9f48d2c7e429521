#include "Common/CCorrelationRule.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Common/CEngineCorrelation.h"
#include "Common/RuleContainer.h"
#include "PolicyTest.h"
#include "TestEngine.h"

namespace {

const std::string kTable = "\\Advanced\\Rules\\Correlation Rules\\";

int64_t g_tNow = 1000;
int64_t FakeNow() { return g_tNow; }

// Watched rules "A" and "B" read into the fake sensor, then the correlation
// rules of the policy read by the real engine, which also sends their
// alerts: every record that reaches the host ends in m_Sensor.
class CorrelationTest : public PolicyTest {
protected:
    CorrelationTest() {
        g_tNow = 1000;
        CCorrelationRule::SetClock(&FakeNow);
        for (const char* pszName : {"A", "B"}) {
            Set(std::string("\\Advanced\\Rules\\Test Rules\\") + pszName, "Enabled", true);
        }
    }
    ~CorrelationTest() override { CCorrelationRule::SetClock(nullptr); }

    // A correlation rule watching the rules named by the letters of
    // `pszWatched`, with weight 1 each; a threshold below 0 is left unset.
    std::string AddCorrelation(const char* pszName, const char* pszType, int32_t nThreshold,
                               int32_t nWindow = 0, const char* pszWatched = "AB") {
        std::string strPath = kTable + pszName;
        Set(strPath, "Enabled", true);
        Set(strPath, "Type", pszType);
        if (nThreshold >= 0) {
            Set(strPath, "Threshold", nThreshold);
        }
        Set(strPath, "Time Window", nWindow);
        for (const char* p = pszWatched; *p != '\0'; ++p) {
            Set(strPath + "\\Rules", std::string(1, *p).c_str(), "1");
        }
        return strPath;
    }
    void Read() {
        m_Reader.ReadRules(&m_Watched, m_pPolicy.get());
        m_Engine.PopulateRuleContainer(&m_Correlations, m_pPolicy.get());
    }
    // One alert of a watched rule at the given time, reported as an engine
    // reports it.
    void Fire(const char* pszRule, int64_t tTime) {
        g_tNow = tTime;
        m_Sensor.ReportEvent(new TestRecord(m_Watched.Find(pszRule), tTime));
    }
    // The names of the rules whose records reached the host, in order.
    std::vector<std::string> Delivered() {
        std::vector<std::string> names;
        for (const auto& pRecord : m_Sensor.TakeReported()) {
            names.push_back(pRecord->GetRuleName());
        }
        return names;
    }

    TestRuleReader m_Reader;
    CEngineCorrelation m_Engine;
    RuleContainer m_Watched;
    RuleContainer m_Correlations;
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(CorrelationTest, ScanCountsEachWatchedRuleOnceWhileCumulativeCountsEveryAlert) {
    AddCorrelation("Scan", "SCAN", 2, 60);
    AddCorrelation("Sum", "CUMULATIVE", 2, 60);
    Read();

    Fire("A", 1000);
    EXPECT_EQ(Delivered(), Names{"A"});
    Fire("A", 1001);
    EXPECT_EQ(Delivered(), (Names{"A", "Sum"}));

    Fire("B", 1002);
    EXPECT_EQ(Delivered(), (Names{"B", "Scan"}));
}

// Both rules fire on one record, which still reaches the host only once.
TEST_F(CorrelationTest, DefaultThresholdAndScriptFireAtOnceAndRecordIsDeliveredOnce) {
    Set(AddCorrelation("Default", "SCAN", -1, 0, "A"), "Throttle", false);
    AddCorrelation("Script", "SCRIPT", 100);
    Read();

    Fire("A", 1000);
    EXPECT_EQ(Delivered(), (Names{"A", "Default", "Script"}));
    Fire("B", 1000);
    EXPECT_EQ(Delivered(), (Names{"B", "Script"}));
}

TEST_F(CorrelationTest, ThrottleAllowsOneAlertPerWindowAndEdgeHitStaysCounted) {
    AddCorrelation("Throttled", "CUMULATIVE", 1, 60);
    Set(AddCorrelation("Edge", "CUMULATIVE", 2, 60, "B"), "Throttle", false);
    Read();

    Fire("A", 1000);
    EXPECT_EQ(Delivered(), (Names{"A", "Throttled"}));
    Fire("B", 1000);
    Fire("A", 1059);
    EXPECT_EQ(Delivered(), (Names{"B", "A"})) << "alerts within the window are suppressed";
    Fire("B", 1060);
    // Edge still counts the hit of 1000, exactly the window's length old.
    EXPECT_EQ(Delivered(), (Names{"B", "Throttled", "Edge"}));
    Fire("B", 1121);
    EXPECT_EQ(Delivered(), (Names{"B", "Throttled"})) << "the hit of 1060 is a second too old";
}

TEST_F(CorrelationTest, ReaderGivesBadWeightsOneLeavesMissingRulesEmptyAndRejectsRulesWithoutList) {
    const std::string strPath = AddCorrelation("Odd", "SOMETIMES", 2);
    Set(strPath + "\\Rules", "A", "0");
    Set(strPath + "\\Rules", "B", "abc");
    Set(strPath + "\\Rules", "Gone", "5");
    Set(kTable + "NoList", "Enabled", true);
    ScopedHostLog log;
    Read();

    EXPECT_EQ(m_Correlations.Find("NoList"), nullptr);
    // The log says the same with each rule's key.
    for (const char* pszSaid :
         {"Odd: \"Type\" \"SOMETIMES\" is no correlation type (SCAN, CUMULATIVE or SCRIPT); "
          "SCAN is used",
          "Odd watches \"Gone\", which is no enabled rule: its alerts never count",
          "NoList has no \"Rules\" key naming the rules it watches: it is left out"}) {
        EXPECT_TRUE(log.Contains("Rule " + kTable + pszSaid)) << pszSaid;
    }
    EXPECT_NE(m_strConsole.find("Undefine rule type!\n"), std::string::npos);
    EXPECT_NE(m_strConsole.find("Gone rule not found for correlation rule Odd\n"), std::string::npos);
    EXPECT_NE(m_strConsole.find("Unable to read rules key in Correlation Rule NoList\n"), std::string::npos);

    Fire("A", 1000);
    Fire("B", 1000);
    // Weights of 1 from "0" and "abc"; the missing rule's slot adds nothing.
    EXPECT_EQ(Delivered(), (Names{"A", "B", "Odd"}));
}

// Hits of one second share an entry yet count one by one, leave the window
// oldest first, and a hit stamped earlier after the clock was set back
// still leaves when its own time says so.
TEST_F(CorrelationTest, EveryHitCountsUntilItsOwnTimeLeavesTheWindowAlsoAfterTheClockWentBack) {
    Set(AddCorrelation("Many", "CUMULATIVE", 5, 10, "A"), "Throttle", false);
    Read();

    for (int i = 0; i < 4; ++i) {
        Fire("A", 1000);
    }
    EXPECT_EQ(Delivered(), (Names{"A", "A", "A", "A"}));
    Fire("A", 1005);
    EXPECT_EQ(Delivered(), (Names{"A", "Many"}));
    Fire("A", 1011);
    EXPECT_EQ(Delivered(), Names{"A"}) << "the four hits of 1000 are gone";
    Fire("A", 1003);
    EXPECT_EQ(Delivered(), Names{"A"}) << "1003, 1005 and 1011 count";
    Fire("A", 1014);
    Fire("A", 1014);
    EXPECT_EQ(Delivered(), (Names{"A", "A"})) << "1003 has left: 1005, 1011 and two of 1014";
    Fire("A", 1014);
    EXPECT_EQ(Delivered(), (Names{"A", "Many"}));
}
