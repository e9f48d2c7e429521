// Alerts and responses the host cannot deliver, for reasons it learns as
// they come: each problem said on the console at once, then at most once a
// minute with its count, and every one counted for the stop.

#include "DeliveryProblems.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostServices.h"
#include "support/ConsoleCapture.h"
#include "support/ManualReportTime.h"
#include "support/NamespacedHost.h"

namespace {

const std::string kNoEvent = "the alert \"HW-V4\" is dropped: no policy event is registered under its name";
const std::string kLate = "e-mail \"Admins\" not written yet";

using hwtest::CountOf;

}  // namespace

TEST(DeliveryProblemsTest, EachProblemIsSaidAtOnceThenOnceAMinuteWithItsCountAndTheStopCountsAll) {
    hwtest::ManualReportTime time;
    hwtest::ConsoleCapture console;
    HostServices services;
    DeliveryProblems problems(services);

    for (int i = 0; i < 3; ++i) {
        problems.Note(kNoEvent);
    }
    problems.Note(kLate, "disk full; tried again", true);
    problems.Note(kLate, "earlier mails wait for the outbox; tried again", true);
    EXPECT_EQ("ERROR: hwhost: " + kNoEvent + "\nWARNING: hwhost: " + kLate + ": disk full; tried again\n",
              console.Text());

    time.Advance(61);
    problems.Note(kNoEvent);
    problems.Note(kNoEvent);
    EXPECT_TRUE(console.Contains("ERROR: hwhost: " + kNoEvent + " (4 times so far; said at most once a minute)\n"))
        << console.Text();
    EXPECT_EQ(3u, CountOf(console.Text(), "\n"));
    // What is kept about the policy in force has each problem once.
    EXPECT_EQ((std::vector<std::string>{"ERROR: hwhost: " + kNoEvent,
                                        "WARNING: hwhost: " + kLate + ": disk full; tried again"}),
              services.LateFindings());

    EXPECT_EQ((std::vector<std::string>{kNoEvent + " (5 times)", kLate + " (2 times)"}), problems.Summary());
    EXPECT_EQ(7u, problems.Count());
}

TEST(DeliveryProblemsTest, ProblemsPastTheBoundAreCountedTogether) {
    hwtest::ConsoleCapture console;
    HostServices services;
    DeliveryProblems problems(services);
    const size_t nNoted = DeliveryProblems::kMaxProblems + 10;
    for (size_t i = 0; i < nNoted; ++i) {
        problems.Note("the alert \"R" + std::to_string(i) + "\" is dropped: no policy event");
    }
    const std::vector<std::string> summary = problems.Summary();
    ASSERT_EQ(DeliveryProblems::kMaxProblems + 1, summary.size());
    EXPECT_EQ(std::string(DeliveryProblems::kOthers) + " (10 times)", summary.back());
    EXPECT_EQ(nNoted, problems.Count());
    EXPECT_EQ(DeliveryProblems::kMaxProblems + 1, CountOf(console.Text(), "ERROR: hwhost: "));
}

// A problem whose cause ended (its response carried out since) leaves the
// findings kept about the policy in force; met again, it is said again as
// at its first time, and the stop counts every time.
TEST(DeliveryProblemsTest, ProblemThatEndedLeavesTheFindingsAndIsSaidAgainWhenItComesBack) {
    hwtest::ManualReportTime time;
    hwtest::ConsoleCapture console;
    HostServices services;
    DeliveryProblems problems(services);
    const std::string trap = "the SNMP response \"Ops\" is not carried out: the trap to m:162 is not sent";
    problems.Note(trap, "Network is unreachable");
    problems.Note(kNoEvent);
    problems.Ended("the SNMP response \"Ops\" is not carried out: ");
    problems.Ended("the SNMP response \"Other\" is not carried out: ");
    EXPECT_EQ(std::vector<std::string>{"ERROR: hwhost: " + kNoEvent}, services.LateFindings());

    problems.Note(trap, "Network is unreachable");
    EXPECT_EQ(2u, CountOf(console.Text(), "ERROR: hwhost: " + trap + ": Network is unreachable\n"))
        << console.Text();
    EXPECT_EQ((std::vector<std::string>{"ERROR: hwhost: " + kNoEvent,
                                        "ERROR: hwhost: " + trap + ": Network is unreachable"}),
              services.LateFindings());
    EXPECT_EQ((std::vector<std::string>{trap + " (2 times)", kNoEvent + " (1 time)"}), problems.Summary());
}
