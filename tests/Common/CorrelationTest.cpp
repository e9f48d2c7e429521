#include "Common/CCorrelationRule.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Common/CEngineCorrelation.h"
#include "Common/InputBounds.h"
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
    void Fire(const char* pszRule, int64_t tTime, const std::string& strUser = std::string()) {
        g_tNow = tTime;
        auto* pRecord = new TestRecord(m_Watched.Find(pszRule), tTime);
        if (!strUser.empty()) {
            pRecord->AddInfoPair("User", strUser);
        }
        m_Sensor.ReportEvent(pRecord);
    }
    // How many of the records delivered since the last look were `pszRule`'s.
    size_t DeliveredOf(const char* pszRule) {
        size_t nCount = 0;
        for (const std::string& strName : Delivered()) {
            nCount += strName == pszRule ? 1 : 0;
        }
        return nCount;
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

// A reload replaces every rule; the hits counted before it still count for
// the correlation rule of the same name, type and window, and a rule whose
// window changed starts afresh.
TEST_F(CorrelationTest, HitsCountedBeforeAReloadStillCountAfterIt) {
    constexpr uint32_t kReload = CEngineBase::kReloadArgument;
    AddCorrelation("Kept", "CUMULATIVE", 3, 60);
    AddCorrelation("Rewindowed", "CUMULATIVE", 3, 60);
    m_Sensor.m_pPolicy = m_pPolicy.get();
    const auto ReadAll = [&](uint32_t dwArgument) {
        m_Watched.Clear();
        m_Reader.ReadRules(&m_Watched, m_pPolicy.get());
        ASSERT_EQ(0, m_Engine.OnReloadPolicy(dwArgument));
    };
    ASSERT_NO_FATAL_FAILURE(ReadAll(0));
    Fire("A", 1000);
    Fire("B", 1001);
    EXPECT_EQ(Delivered(), (Names{"A", "B"}));

    ASSERT_EQ(0, m_Engine.OnPauseInit(kReload));
    ASSERT_EQ(0, m_Engine.OnPause(kReload));
    m_Sensor.DeleteRules();
    Set(kTable + "Rewindowed", "Time Window", 61);
    ASSERT_NO_FATAL_FAILURE(ReadAll(kReload));
    Fire("A", 1002);
    EXPECT_EQ(Delivered(), (Names{"A", "Kept"}));
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

namespace {

InputBound::Clock::time_point g_boundNow{std::chrono::hours(1)};
InputBound::Clock::time_point BoundNow() { return g_boundNow; }

// Hits of one watched rule, each with a value of its own.
class CorrelationFoldTest : public CorrelationTest {
protected:
    CorrelationFoldTest() {
        InputBounds::Instance().ForgetForTest();
        InputBounds::Instance().SetTimeSourceForTest(&BoundNow);
    }
    ~CorrelationFoldTest() override {
        InputBounds::Instance().SetTimeSourceForTest(nullptr);
        InputBounds::Instance().ForgetForTest();
    }
    void FireDistinct(size_t nHits, int64_t tTime) {
        for (size_t n = 0; n < nHits; ++n) {
            Fire("A", tTime, "user" + std::to_string(m_nNext++));
        }
    }
    const CCorrelationRuleHits& HitsOf(const char* pszRule) {
        m_Slots = static_cast<CCorrelationRule*>(m_Correlations.Find(pszRule))->GetSlots();
        return m_Slots.at(0).m_Hits;
    }

    size_t m_nNext = 0;
    std::vector<CCorrelationRule::Slot> m_Slots;
};

constexpr size_t kKept = CCorrelationRuleHits::kMaxKept;

}  // namespace

// A sender of distinct values cannot make a rule keep them all: past the
// bound the oldest lose their value, yet every hit still counts and leaves
// the window at its own time, so the rule decides as before.
TEST_F(CorrelationFoldTest, DistinctValuesPastTheBoundAreFoldedIntoACountThatStillDecides) {
    const std::string strPath = AddCorrelation("Many", "CUMULATIVE", 2500, 10, "A");
    Set(strPath, "Throttle", false);
    Set(strPath, "Info", "User");
    ScopedHostLog log;
    Read();

    FireDistinct(1000, 1000);
    FireDistinct(1000, 1005);
    FireDistinct(499, 1010);
    EXPECT_EQ(DeliveredOf("Many"), 0u) << "2,499 hits";
    FireDistinct(1, 1010);
    EXPECT_EQ(DeliveredOf("Many"), 1u) << "the 2,500th hit, 1,476 of them without their value";
    const CCorrelationRuleHits& hits = HitsOf("Many");
    EXPECT_EQ(hits.Count(), 2500u);
    EXPECT_EQ(hits.KeptEntries(), kKept);
    EXPECT_EQ(hits.KeptValue(kKept - 1), "user2499") << "the newest keep their value";

    FireDistinct(1, 1011);
    EXPECT_EQ(DeliveredOf("Many"), 0u) << "the 1,000 hits of 1000 left, folded as they were";
    EXPECT_EQ(HitsOf("Many").Count(), 1501u);
    // What the rule says it keeps (its line at the stop) is what its slots
    // hold: within the bound, however many values came.
    const CCorrelationRule::Keeping keeping =
        static_cast<CCorrelationRule*>(m_Correlations.Find("Many"))->KeepingNow();
    EXPECT_EQ(keeping.m_nKeptEntries, kKept);
    EXPECT_EQ(keeping.m_nKeptBytes, HitsOf("Many").KeptBytes());
    EXPECT_LE(keeping.m_nKeptBytes, CCorrelationRuleHits::kMaxKeptBytes);
    EXPECT_EQ(keeping.m_nFoldedEntries, HitsOf("Many").FoldedEntries());
    EXPECT_GT(keeping.m_nFoldedEntries, 0u);

    const std::string strBound =
        "Bound reached: correlation rule Many: at most 1024 hits of each watched rule kept with "
        "their value (256 KiB of values), older hits only counted; ";
    EXPECT_EQ(log.m_Services.CountStartingWith(InputBound::kPrefix), 1u) << "said once";
    EXPECT_TRUE(log.Contains(strBound +
                             "1 hit value left out (said again at most once a minute while it lasts)"));
    EXPECT_EQ(InputBounds::Instance().Describe(),
              std::vector<std::string>{strBound + "1477 hit values left out"});
}

TEST_F(CorrelationFoldTest, ScanKeepsOneHitAndNeverFolds) {
    Set(AddCorrelation("Scan", "SCAN", 2, 60), "Info", "User");
    ScopedHostLog log;
    Read();

    FireDistinct(3 * kKept, 1000);
    EXPECT_EQ(HitsOf("Scan").Count(), 1u);
    EXPECT_EQ(HitsOf("Scan").FoldedEntries(), 0u);
    EXPECT_EQ(log.m_Services.CountStartingWith(InputBound::kPrefix), 0u);
    EXPECT_EQ(DeliveredOf("Scan"), 0u);
    Fire("B", 1001);
    EXPECT_EQ(DeliveredOf("Scan"), 1u);
}

TEST(CorrelationRuleHitsTest, LongValuesAreKeptWithinTheirBytesAndOneTooLongIsCountedWithoutIt) {
    CCorrelationRuleHits hits;
    EXPECT_EQ(hits.Add(1000, std::string(CCorrelationRuleHits::kMaxValueBytes + 1, 'x'), 1), 1u);
    EXPECT_EQ(hits.KeptEntries(), 0u);
    EXPECT_EQ(hits.Count(), 1u);

    const size_t nLong = CCorrelationRuleHits::kMaxValueBytes - 100;
    uint64_t qwFolded = 0;
    for (char c = 'a'; c <= 'f'; ++c) {
        qwFolded += hits.Add(1001, std::string(nLong, c), 1);
        EXPECT_LE(hits.KeptBytes(), CCorrelationRuleHits::kMaxKeptBytes);
    }
    EXPECT_EQ(hits.Count(), 7u);
    EXPECT_EQ(hits.KeptEntries(), CCorrelationRuleHits::kMaxKeptBytes / nLong);
    EXPECT_EQ(qwFolded, 6u - hits.KeptEntries());
    EXPECT_EQ(hits.KeptValue(hits.KeptEntries() - 1), std::string(nLong, 'f'));
    EXPECT_EQ(hits.Expire(1001), 1u) << "only the hit of 1000, folded at once";
    EXPECT_EQ(hits.Expire(1002), 6u);
    EXPECT_EQ(hits.Count(), 0u);
}

// In a window too long for an entry per second, folded hits of ten seconds
// share one, which leaves the window with the newest of them: never early.
TEST(CorrelationRuleHitsTest, FoldedHitsOfALongWindowLeaveNoEarlierThanTheirTimeAndAtMostAGranuleLate) {
    const int64_t tGranule = CCorrelationRuleHits::FoldGranule(40960);
    ASSERT_EQ(tGranule, 10);
    EXPECT_EQ(CCorrelationRuleHits::FoldGranule(4096), 1);

    CCorrelationRuleHits hits;
    for (int64_t t = 100; t < 100 + static_cast<int64_t>(kKept) + 10; ++t) {
        hits.Add(t, std::to_string(t), tGranule);
    }
    EXPECT_EQ(hits.FoldedEntries(), 1u) << "the hits of 100 to 109";
    EXPECT_EQ(hits.Expire(101), 0u);
    EXPECT_EQ(hits.Expire(110), 10u);
    EXPECT_EQ(hits.Count(), kKept);
}

// Without "Info" there is no value to lose: a long window's oldest seconds
// are folded, still counted, and nothing is said.
TEST(CorrelationRuleHitsTest, HitsWithoutAValueAreFoldedWithoutAWord) {
    CCorrelationRuleHits hits;
    uint64_t qwLeftOut = 0;
    for (int64_t t = 0; t < 3000; ++t) {
        qwLeftOut += hits.Add(10000 + t, std::string(), 1);
        qwLeftOut += hits.Add(10000 + t, std::string(), 1);
    }
    EXPECT_EQ(qwLeftOut, 0u);
    EXPECT_EQ(hits.Count(), 6000u);
    EXPECT_EQ(hits.KeptEntries(), kKept);
    EXPECT_EQ(hits.Expire(10100), 200u);
}

// With the clock set back, a hit older than all the kept ones is the one
// folded, and each hit still leaves when its own time says so.
TEST(CorrelationRuleHitsTest, LateHitsAfterTheClockWentBackKeepTheirPlaceWhenTheHitsAreFull) {
    CCorrelationRuleHits hits;
    for (size_t n = 0; n < kKept; ++n) {
        hits.Add(2000 + static_cast<int64_t>(n % 10), "v" + std::to_string(n), 1);
    }
    EXPECT_EQ(hits.Add(1500, "late", 1), 1u) << "older than everything kept";
    EXPECT_EQ(hits.Add(2004, "middle", 1), 1u) << "one of 2000 folded to make room";
    EXPECT_EQ(hits.Count(), kKept + 2);
    EXPECT_EQ(hits.KeptEntries(), kKept);
    EXPECT_EQ(hits.Expire(1501), 1u);
    EXPECT_EQ(hits.Expire(2001), kKept / 10 + 1) << "the hits of 2000, one of them folded";
    EXPECT_EQ(hits.Expire(2005), 4 * (kKept / 10) + 1 + 3) << "2001 to 2004, and the late one of 2004";
}
