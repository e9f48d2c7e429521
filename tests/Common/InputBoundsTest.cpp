#include "Common/InputBounds.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Common/ScanBound.h"
#include "qorCSFLib/FakeHost.h"

namespace {

InputBound::Clock::time_point g_now{};
InputBound::Clock::time_point FakeNow() { return g_now; }

class InputBoundsTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = InputBound::Clock::time_point(std::chrono::hours(1));
        InputBounds::Instance().ForgetForTest();
        InputBounds::Instance().SetTimeSourceForTest(&FakeNow);
    }
    void TearDown() override {
        InputBounds::Instance().SetTimeSourceForTest(nullptr);
        InputBounds::Instance().ForgetForTest();
    }
    size_t Reports() { return m_log.m_Services.CountStartingWith(InputBound::kPrefix); }
    // The warnings said so far, each as it reaches the console.
    std::vector<std::string> Warnings() {
        std::vector<std::string> said;
        for (const LoggedLine& line : m_log.m_Services.Lines()) {
            if (line.dwLevel == static_cast<uint32_t>(kCSFLogWarning | kCSFLogConsoleFlag)) {
                said.push_back(line.text);
            }
        }
        return said;
    }

    ScopedHostLog m_log;
};

}  // namespace

TEST_F(InputBoundsTest, FirstItemLeftOutIsSaidAtOnceThenAtMostOnceAMinuteWithTheCounts) {
    InputBound& bound = InputBounds::Instance().Bound("log group Web", "at most 2 files followed", "files");
    EXPECT_TRUE(InputBounds::Instance().Describe().empty()) << "a bound not reached is not listed";

    bound.LeftOut();
    ASSERT_EQ(Reports(), 1u);
    EXPECT_TRUE(m_log.m_Services.Logged(
        "Bound reached: log group Web: at most 2 files followed; 1 file left out (said again at "
        "most once a minute while it lasts)"));
    const std::vector<LoggedLine> lines = m_log.m_Services.Lines();
    EXPECT_EQ(lines.back().dwLevel, static_cast<uint32_t>(kCSFLogWarning | kCSFLogConsoleFlag));

    for (int i = 0; i < 1000; ++i) {
        bound.LeftOut();
    }
    g_now += std::chrono::seconds(59);
    bound.LeftOut(3);
    EXPECT_EQ(Reports(), 1u) << "a flood within the minute is counted, not said";

    g_now += std::chrono::seconds(1);
    bound.LeftOut();
    ASSERT_EQ(Reports(), 2u);
    EXPECT_TRUE(m_log.m_Services.Logged(
        "Bound reached: log group Web: at most 2 files followed; 1005 files left out in all, 1004 "
        "since it was last said"));
    // On the console, but as a notice: the findings about the policy in
    // force keep the bound once, not each of its counts.
    EXPECT_EQ(m_log.m_Services.Lines().back().dwLevel,
              static_cast<uint32_t>(kCSFLogNotice | kCSFLogConsoleFlag));
    EXPECT_EQ(InputBounds::Instance().Describe(),
              std::vector<std::string>{"Bound reached: log group Web: at most 2 files followed; 1005 files left out"});
}

// Between its reports a bound's count grows without a word; the host is
// told that the counts it shows grew, at most every ten seconds for all
// bounds together, so that it asks for them again.
TEST_F(InputBoundsTest, HostIsToldThatCountsGrewAtMostEveryTenSecondsForAllBounds) {
    InputBound& first = InputBounds::Instance().Bound("input A", "limit", "items");
    InputBound& second = InputBounds::Instance().Bound("input B", "limit", "items");
    auto notices = [&] { return m_log.m_Services.Notices().size(); };
    first.LeftOut();
    EXPECT_EQ(1u, notices());
    for (int i = 0; i < 100; ++i) {
        first.LeftOut();
        second.LeftOut();
    }
    g_now += std::chrono::seconds(9);
    second.LeftOut();
    EXPECT_EQ(1u, notices());
    g_now += std::chrono::seconds(1);
    second.LeftOut();
    EXPECT_EQ(2u, notices());
    EXPECT_EQ("2:The sensor's description changed: the counts of bounds reached grew",
              m_log.m_Services.Notices().back());
}

TEST_F(InputBoundsTest, SameInputAndLimitShareAHandleAndTheTableOfBoundsIsBounded) {
    InputBounds& bounds = InputBounds::Instance();
    InputBound& first = bounds.Bound("rule A", "at most 10 values kept", "values");
    EXPECT_EQ(&first, &bounds.Bound("rule A", "at most 10 values kept", "values"));
    EXPECT_NE(&first, &bounds.Bound("rule B", "at most 10 values kept", "values"));

    // Inputs that come and go (senders, file names) cannot grow the table:
    // past its size they share one handle per limit.
    for (size_t i = 0; i < InputBounds::kMaxBounds + 50; ++i) {
        bounds.Bound("sender " + std::to_string(i), "at most 1 connection", "connections").LeftOut();
    }
    InputBound& other = bounds.Bound("sender 999999", "at most 1 connection", "connections");
    EXPECT_EQ(other.Input(), "other inputs");
    EXPECT_GE(other.Total(), 50u);
    EXPECT_LE(bounds.Describe().size(), InputBounds::kMaxBounds + 1);
}

TEST_F(InputBoundsTest, ConcurrentCallersLoseNoCountAndSayTheFirstReportOnce) {
    InputBound& bound = InputBounds::Instance().Bound("port 2323", "at most 5 connections held", "connections");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                bound.LeftOut();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(bound.Total(), 20000u);
    EXPECT_EQ(Reports(), 1u);
}

// A bound lasts as long as its input.  Ended, it leaves the list and the
// finding of its first report is taken back from the host's; what its
// input leaves out afterwards (it came back, or a handle was kept) counts
// from nothing and is said anew.  An input ends with all its limits but
// those a load kept; a load's rules end every other rule's bounds; a bound
// met at each look counts a look after its end afresh.
TEST_F(InputBoundsTest, EndedBoundLeavesTheListTakesItsFindingBackAndCountsAfresh) {
    InputBounds& bounds = InputBounds::Instance();
    InputBound& group = bounds.Bound("log group Web", "at most 2 files followed", "files");
    group.LeftOut(3);
    group.LeftOut();
    bounds.End(group);
    EXPECT_TRUE(bounds.Describe().empty());
    EXPECT_EQ("3:Bound reached: log group Web: at most 2 files followed; 3 files left out (said again at most "
              "once a minute while it lasts)",
              m_log.m_Services.Notices().back());
    group.LeftOut();
    EXPECT_EQ(2u, Reports());
    EXPECT_TRUE(m_log.m_Services.Logged("Bound reached: log group Web: at most 2 files followed; 1 file left out "
                                        "(said again at most once a minute while it lasts)"));

    bounds.Bound("decoy ports", "cap 1", "connections").LeftOut();
    bounds.Bound("decoy ports", "at most 256 held", "connections").LeftOut();
    bounds.Bound("rule Kept", "limit", "items", "Kept").LeftOut();
    bounds.Bound("script of rule Gone", "limit", "alerts", "Gone").LeftOut();
    bounds.Bound("rule Gone, information pair P", "limit", "bytes", "Gone").LeftOut();
    bounds.EndInput("decoy ports", {"at most 256 held"});
    bounds.EndRulesExcept({"Kept", "Other"});
    EXPECT_EQ((std::vector<std::string>{"Bound reached: log group Web: at most 2 files followed; 1 file left out",
                                        "Bound reached: decoy ports: at most 256 held; 1 connection left out",
                                        "Bound reached: rule Kept: limit; 1 item left out"}),
              bounds.Describe());

    ScanBound scan("at most 8 names", "names");
    for (int look = 0; look < 2; ++look) {
        scan.LeftOutAtScan("log group Mail", 4);
    }
    scan.End();
    scan.LeftOutAtScan("log group Mail", 4);
    EXPECT_EQ("Bound reached: log group Mail: at most 8 names; 4 names left out", bounds.Describe().back());
}

// What a bound leaves out while a policy load runs is that load's warning,
// with what the load cost, every load: a push says it whether or not the
// bound was said before.  A bound first reached during the load is said at
// once as ever, and not again at the end unless it left out more after
// that; one reached before is said at the end only.  A load that put a
// policy in force has the next item said at once again, as a finding about
// that policy; a load that did not (refused, or one that read no policy)
// leaves the reports where they were.
TEST_F(InputBoundsTest, WhatABoundLeavesOutDuringEveryLoadIsThatLoadsWarning) {
    InputBounds& bounds = InputBounds::Instance();
    InputBound& queue = bounds.Bound("syslog port 514", "queue of 16", "datagrams");
    queue.LeftOut(3);
    ASSERT_EQ(1u, Reports());
    auto warnings = [&] { return Warnings(); };

    for (int load = 0; load < 2; ++load) {
        SCOPED_TRACE("load " + std::to_string(load));
        const size_t nBefore = warnings().size();
        bounds.BeginLoad();
        g_now += std::chrono::minutes(2);
        queue.LeftOut(4);
        queue.LeftOut();
        EXPECT_EQ(nBefore, warnings().size()) << "said at the end, not twice";
        bounds.EndLoad("reload", true);
        ASSERT_EQ(nBefore + 1, warnings().size());
        EXPECT_EQ("Bound reached: syslog port 514: queue of 16; 5 datagrams left out during the reload",
                  warnings().back());
    }

    // After the load, the policy in force hears of the next item at once.
    queue.LeftOut();
    EXPECT_EQ("Bound reached: syslog port 514: queue of 16; 14 datagrams left out (said again at most once a "
              "minute while it lasts)",
              warnings().back());

    // First reached during a load: said at once, and at the end only for
    // what came after.
    bounds.BeginLoad();
    InputBound& files = bounds.Bound("log group Web", "at most 2 files followed", "files");
    files.LeftOut();
    EXPECT_EQ("Bound reached: log group Web: at most 2 files followed; 1 file left out (said again at most once "
              "a minute while it lasts)",
              warnings().back());
    const size_t nSaid = warnings().size();
    bounds.EndLoad("start-up", true);
    EXPECT_EQ(nSaid, warnings().size());
    bounds.BeginLoad();
    bounds.EndLoad("reload", true);
    EXPECT_EQ(nSaid, warnings().size()) << "a load during which nothing was left out says nothing";

    // A load that puts no policy in force: what it cost is said, and the
    // bound's reports go on as they were, a notice within the minute.
    bounds.BeginLoad();
    files.LeftOut(2);
    bounds.EndLoad("reload", false);
    EXPECT_EQ("Bound reached: log group Web: at most 2 files followed; 2 files left out during the reload",
              warnings().back());
    const size_t nNotices = Reports();
    files.LeftOut();
    EXPECT_EQ(nNotices, Reports());
}

// A bound first reached during a load, that leaves out more after its first
// report: the load's line counts only what came after that report, so that
// whoever adds the lines a load said counts each item once.
TEST_F(InputBoundsTest, ALoadsLineAfterTheBoundsFirstReportDuringItCountsOnlyWhatCameAfter) {
    InputBounds& bounds = InputBounds::Instance();
    auto warnings = [&] { return Warnings(); };
    InputBound& queue = bounds.Bound("syslog datagrams to UDP port 514", "at most 64 MiB", "datagrams");
    bounds.BeginLoad();
    queue.LeftOut(306);
    ASSERT_EQ(1u, warnings().size());
    EXPECT_EQ("Bound reached: syslog datagrams to UDP port 514: at most 64 MiB; 306 datagrams left out (said "
              "again at most once a minute while it lasts)",
              warnings().back());
    queue.LeftOut(99996);
    queue.LeftOut(4);
    EXPECT_EQ(1u, warnings().size()) << "within the load it is said at its end";
    bounds.EndLoad("reload", true);
    ASSERT_EQ(2u, warnings().size());
    EXPECT_EQ("Bound reached: syslog datagrams to UDP port 514: at most 64 MiB; 100000 datagrams left out during "
              "the reload",
              warnings().back());
    EXPECT_EQ(100306u, queue.Total()) << "the two lines add up to the bound's count";

    // The same in a load after one that put a policy in force, for a bound
    // that ended meanwhile and so counts from nothing again.
    bounds.EndInput("syslog datagrams to UDP port 514");
    bounds.BeginLoad();
    queue.LeftOut(20);
    g_now += std::chrono::minutes(2);
    queue.LeftOut(5605);
    bounds.EndLoad("reload", false);
    ASSERT_EQ(4u, warnings().size());
    EXPECT_EQ("Bound reached: syslog datagrams to UDP port 514: at most 64 MiB; 5605 datagrams left out during "
              "the reload",
              warnings().back());
}
