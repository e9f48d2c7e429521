// The lines a bound says through loads and at the stop, made by the
// product's own words (BoundTally, BoundWords), read back as the stream
// tests count losses from them (support/StreamLosses): each item left out
// is counted once, however often its bound was said.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "qorToolsLib/BoundTally.h"
#include "support/StreamLosses.h"

namespace {

using Clock = BoundTally::Clock;

constexpr char kInput[] = "syslog datagrams to UDP port 514";

BoundWords Words(const char* pszLimit) {
    return BoundWords{kInput, pszLimit, "datagrams", "left out"};
}

// The line of a due report, as the console shows it; none when none is due.
std::string Said(const BoundWords& words, const BoundTally::Due& due) {
    return due.m_kind == BoundTally::Due::Kind::kNone ? std::string() : "WARNING: " + words.Report(due) + "\n";
}

}  // namespace

TEST(BoundLinesReadBackTest, EachItemIsCountedOnceWhateverLinesRepeatIt) {
    const Clock::time_point t0{std::chrono::hours(1)};
    const BoundWords queue = Words("at most 64 MiB of datagrams waiting to be parsed");
    const BoundWords socket = Words("the socket's buffer full");
    BoundTally queueTally;
    BoundTally socketTally;
    std::string text;
    std::string reload2;

    // Reached before any load: said at once, and again a minute later.
    text += Said(queue, queueTally.LeftOut(5, t0, false));
    text += Said(queue, queueTally.LeftOut(3, t0 + std::chrono::seconds(10), false));
    text += Said(queue, queueTally.LeftOut(2, t0 + std::chrono::seconds(70), false));
    // A load it was reached before: said at the load's end only, with what
    // the load cost; the load puts a policy in force, so the next item is
    // said at once again, with the total.
    queueTally.BeginLoad();
    text += Said(queue, queueTally.LeftOut(4, t0 + std::chrono::seconds(140), true));
    text += "WARNING: " + queue.DuringLoad(queueTally.EndLoad(true), "reload") + "\n";
    text += Said(queue, queueTally.LeftOut(1, t0 + std::chrono::seconds(150), false));

    // A bound first reached during a load: its first report, then what it
    // left out after it, said at the load's end.
    queueTally.BeginLoad();
    socketTally.BeginLoad();
    reload2 += Said(socket, socketTally.LeftOut(6, t0 + std::chrono::seconds(160), true));
    reload2 += Said(socket, socketTally.LeftOut(7, t0 + std::chrono::seconds(161), true));
    if (const uint64_t qwDuring = socketTally.EndLoad(true); qwDuring != 0) {
        reload2 += "WARNING: " + socket.DuringLoad(qwDuring, "reload") + "\n";
    }
    queueTally.EndLoad(true);
    text += reload2;
    // Another input's bound is no loss of this one.
    text += "WARNING: Bound reached: syslog datagrams to UDP port 515: the socket's buffer full; 99 datagrams "
            "left out\n";
    // The stop lists each bound with its total.
    text += "WARNING: hwhost: at the stop: " + queue.Described(queueTally.Total()) + "\n";
    text += "WARNING: hwhost: at the stop: " + socket.Described(socketTally.Total()) + "\n";

    ASSERT_EQ(15u, queueTally.Total());
    ASSERT_EQ(13u, socketTally.Total());
    EXPECT_EQ(28u, hwtest::BoundsLeftOut(text, kInput)) << text;
    EXPECT_EQ(28u, hwtest::LeftOutAtTheStop(text, kInput));

    // The second load said each of its 13 items at least once: the first
    // report's 6, and the rest in its line at the end.
    uint64_t qwSaidInReload = 0;
    for (size_t nAt = 0, nEnd = 0; (nEnd = reload2.find('\n', nAt)) != std::string::npos; nAt = nEnd + 1) {
        qwSaidInReload += hwtest::BoundSaidInReload(reload2.substr(nAt, nEnd - nAt), kInput);
    }
    EXPECT_GE(qwSaidInReload, 13u) << reload2;
    // The first load: what it cost the bound reached before it.
    EXPECT_EQ(4u, hwtest::BoundSaidInReload("WARNING: " + queue.DuringLoad(4, "reload"), kInput));
    EXPECT_EQ(0u, hwtest::BoundSaidInReload("WARNING: " + queue.Report({BoundTally::Due::Kind::kAgain, 10, 5}),
                                            kInput))
        << "a report again says a total, not what came since the load";
}

TEST(BoundLinesReadBackTest, SyslogDropsAtTheStopAreAddedToItsBoundsOnce) {
    const BoundWords queue = Words("at most 64 MiB of datagrams waiting to be parsed");
    const std::string errors = "WARNING: hwhost: at the stop: " + queue.Described(40) + "\n";
    const std::string log =
        "2026-12-09 13:00:00.000 WARNING NTSyslog dropped 30 datagrams: 30 with the queue full, 0 too large, 0 "
        "unparsed at a stop, 0 left in the socket at a stop, 0 by the system with the socket's buffer full\n"
        "2026-12-09 13:00:09.000 WARNING NTSyslog dropped 25 datagrams: 10 with the queue full, 0 too large, 12 "
        "unparsed at a stop, 3 left in the socket at a stop, 0 by the system with the socket's buffer full\n";
    EXPECT_EQ(55u, hwtest::SyslogSaidLost(errors, log));
    EXPECT_EQ(15u, hwtest::CountsSaid(log, "NTSyslog dropped ", {" unparsed at a stop", " left in the socket at a stop"}));
}
