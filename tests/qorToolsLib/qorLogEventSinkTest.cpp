#include "qorToolsLib/qorLogEventSink.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/ExternalCheck.h"
#include "support/TestUtil.h"

using Lines = std::vector<std::string>;

namespace {

int64_t g_now = 1700000000;

int64_t TestClock() {
    return g_now;
}

class EventSinkTest : public ::testing::Test {
protected:
    EventSinkTest() : m_root("QOR_PLATFORM_ROOT", m_dir.Path()) { g_now = 1700000000; }

    // "type id text" of each record of the log.
    static Lines Events() {
        Lines events;
        for (const std::string& line :
             testing_support::ReadEventLog(plat::EventLogFilePath("Application"))) {
            std::istringstream in(line);
            std::string generation, number, type, category, id, source, sid, rest;
            in >> generation >> number >> type >> category >> id >> source >> sid;
            std::getline(in, rest);  // " <strings> <data>"
            events.push_back(type + " " + id + " " + rest.substr(1, rest.rfind(' ') - 1));
        }
        return events;
    }

    hwtest::ScratchDirectory m_dir;
    testing_support::ScopedEnv m_root;
};

}  // namespace

TEST_F(EventSinkTest, SameTextIsReportedFiveTimesThenHeldBackForThePeriod) {
    qorLogEventSink sink(3, "Warden", &TestClock);
    for (int i = 0; i < 7; ++i) {
        sink.Write("disk full", 1, 0x20000);
        g_now += 10;
    }
    EXPECT_EQ(5u, Events().size());
    const int64_t fifth = 1700000000 + 40;
    sink.Write("other", 1, 0x20000);
    g_now = fifth + 3600;
    sink.Write("disk full", 1, 0x20000);
    EXPECT_EQ(6u, Events().size());
    // Past the period the count starts over: five more, then quiet again.
    g_now = fifth + 3601;
    for (int i = 0; i < 7; ++i) {
        sink.Write("disk full", 1, 0x20000);
    }
    Lines events = Events();
    ASSERT_EQ(11u, events.size());
    EXPECT_EQ("1 0xc0000001 other", events[5]);
}

TEST_F(EventSinkTest, CategoryChoosesTheKindOfEvent) {
    qorLogEventSink sink(0, "Warden", &TestClock);
    sink.Write("error", 1, 0x20000 | 0x40000);
    sink.Write("warning", 9, 0x40000);
    sink.Write("information", 1, 0x80000);
    sink.Write("audit", 1, 0x100000);
    sink.Write("unmatched", 1, 0x800);
    sink.Configure(0x2, 5, 3600);
    sink.Write("error off", 1, 0x20000);
    sink.Write("warning on", 1, 0x40000);
    EXPECT_EQ((Lines{"1 0xc0000001 error", "2 0x80000002 warning", "4 0x40000003 information",
                     "4 0x40000003 audit", "2 0x80000002 warning on"}),
              Events());
}

TEST_F(EventSinkTest, LevelSinkChoosesTheKindByLevel) {
    qorLogEventLevelSink sink(0, "Warden", &TestClock);
    sink.Configure(0x7, 5, 3600);
    for (uint32_t level : {2u, 5u, 8u, 9u, 0u}) {
        sink.Write(("level " + std::to_string(level)).c_str(), level, 0);
    }
    sink.Configure(0x8, 5, 3600);
    sink.Write("any", 1, 0);
    EXPECT_EQ((Lines{"1 0xc0000001 level 2", "2 0x80000002 level 5", "4 0x40000003 level 8",
                     "4 0x40000003 any"}),
              Events());
}
