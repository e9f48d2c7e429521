#include "HostBound.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "hostwarden/ICSFHostServices.h"

namespace {

ReportLimiter::Clock::time_point g_now{std::chrono::hours(1)};
ReportLimiter::Clock::time_point FakeNow() { return g_now; }

}  // namespace

// The host's own bounds as the sensor's: what one leaves out while a policy
// load runs is that load's line, every load; one reached before the load
// is not said while it runs; a load that put a policy in force has the
// next item said at once again, as a finding about that policy.
TEST(HostBound, WhatABoundLeavesOutDuringEveryLoadIsThatLoadsLine) {
    const auto previous = ReportLimiter::SetTimeSource(&FakeNow);
    std::vector<std::pair<uint32_t, std::string>> said;
    HostBound bound([&](uint32_t dwLevel, const std::string& text) { said.emplace_back(dwLevel, text); },
                    "alert file /srv/alerts.xml", "at most 64 MiB kept while it cannot be written", "alerts");
    bound.LeftOut();
    ASSERT_EQ(1u, said.size());
    EXPECT_EQ("Bound reached: alert file /srv/alerts.xml: at most 64 MiB kept while it cannot be written; 1 alert "
              "left out (said again at most once a minute while it lasts)",
              said.back().second);

    for (int load = 0; load < 2; ++load) {
        HostBound::BeginLoad();
        g_now += std::chrono::minutes(2);
        bound.LeftOut(3);
        EXPECT_EQ(1u, said.size()) << "said at the load's end, not twice";
        EXPECT_EQ(std::vector<std::string>{"Bound reached: alert file /srv/alerts.xml: at most 64 MiB kept while it "
                                           "cannot be written; 3 alerts left out during the reload"},
                  HostBound::EndLoad("reload", true));
    }
    HostBound::BeginLoad();
    EXPECT_TRUE(HostBound::EndLoad("reload", true).empty());

    bound.LeftOut();
    ASSERT_EQ(2u, said.size());
    EXPECT_EQ(static_cast<uint32_t>(kCSFLogWarning | kCSFLogConsoleFlag), said.back().first);
    EXPECT_EQ("Bound reached: alert file /srv/alerts.xml: at most 64 MiB kept while it cannot be written; 8 alerts "
              "left out (said again at most once a minute while it lasts)",
              said.back().second);

    // A load that puts no policy in force: what it cost is said, and the
    // bound's reports go on as they were, as the sensor's do: nothing more
    // within the minute, then the count since the last report.
    HostBound::BeginLoad();
    g_now += std::chrono::minutes(2);
    bound.LeftOut(2);
    EXPECT_EQ(std::vector<std::string>{"Bound reached: alert file /srv/alerts.xml: at most 64 MiB kept while it "
                                       "cannot be written; 2 alerts left out during the reload"},
              HostBound::EndLoad("reload", false));
    const size_t nSaid = said.size();
    bound.LeftOut();
    EXPECT_EQ(nSaid, said.size());
    g_now += std::chrono::minutes(1);
    bound.LeftOut();
    ASSERT_EQ(nSaid + 1, said.size());
    EXPECT_EQ(static_cast<uint32_t>(kCSFLogNotice | kCSFLogConsoleFlag), said.back().first);
    EXPECT_EQ("Bound reached: alert file /srv/alerts.xml: at most 64 MiB kept while it cannot be written; 12 alerts "
              "left out in all, 4 since it was last said",
              said.back().second);
    EXPECT_EQ("Bound reached: alert file /srv/alerts.xml: at most 64 MiB kept while it cannot be written; 12 alerts "
              "left out",
              bound.Describe());
    ReportLimiter::SetTimeSource(previous);
}
