// hwhost with the real plug-in stopped and reloaded while syslog alerts
// stream in: every record the sink took must still be written after the
// sensor has deleted the rules and the policy events it was made for.  A
// record converted too late reads freed rules and policy events, which the
// sanitizers of the test build turn into a failed exit.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "support/NamespacedHost.h"

namespace {

// One syslog rule with an information pair, so each alert carries a value
// taken from its own datagram.
const std::string kFlowPolicy =
    hwtest::SyslogPolicy({{"Flow rule", "flow failed", {{"User", "@Field4"}}}});

// The host's closing account: records its sink took, alerts written and
// alerts dropped; false when the line is missing.
bool Account(const std::string& log, long long& taken, long long& written, long long& dropped) {
    const std::string marker = "hwhost: ";
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
        if (std::sscanf(log.c_str() + at, "hwhost: %lld alerts taken, %lld written, %lld dropped",
                        &taken, &written, &dropped) == 3) {
            return true;
        }
    }
    return false;
}

class AlertFlowHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
    }

    // Starts a host on a root of its own and waits until the datagrams
    // streaming in are being written as alerts (counted by `alerts`).
    // The stream floods the port for as long as the test runs: on a slow
    // machine the alert file reaches gigabytes, so it is counted as it
    // grows, never read whole.
    void StartFlowing(hwtest::NamespacedHost& host, hwtest::GrowingFileCount& alerts,
                      std::unique_ptr<hwtest::DatagramStream>& stream) {
        host.WritePolicy(kFlowPolicy);
        ASSERT_TRUE(host.Start()) << host.ErrorsTail();
        stream =
            std::make_unique<hwtest::DatagramStream>(host, "<38>sshd[1]: flow failed for user");
        AwaitMoreAlerts(alerts, 0);
    }

    // Waits until the host has written more than `after` alerts.
    static size_t AwaitMoreAlerts(hwtest::GrowingFileCount& alerts, size_t after) {
        size_t now = 0;
        EXPECT_TRUE(hwtest::WaitUntil([&] { return (now = alerts.Count()) > after + 100; }, 60));
        return now;
    }

    // Stops the host while the stream still runs, then checks that it left
    // cleanly and wrote every record its sink took.  The stream floods the
    // port, so a stop (or a reload) may parse what the engine's queue holds
    // faster than a sanitized writer takes it, while nobody waits for room
    // in the host's queue: the alerts past that queue's bound are dropped,
    // each counted there, and the run then ends with 6.
    static void StopAndAccount(hwtest::NamespacedHost& host, hwtest::GrowingFileCount& alerts,
                               hwtest::DatagramStream& stream) {
        int exitCode = -1;
        const bool ended = host.Stop(exitCode);
        stream.Stop();
        ASSERT_TRUE(ended);
        const std::string errors = host.Errors();
        EXPECT_EQ(std::string::npos, errors.find("AddressSanitizer")) << host.ErrorsTail();
        EXPECT_EQ(std::string::npos, errors.find("runtime error")) << host.ErrorsTail();

        const std::string log = host.Log();
        long long taken = -1;
        long long written = -1;
        long long dropped = -1;
        ASSERT_TRUE(Account(log, taken, written, dropped))
            << log.substr(log.size() - std::min<size_t>(log.size(), 2000));
        const long long atQueueBound = AlertQueueLeftOut(log);
        EXPECT_EQ(atQueueBound == 0 ? 0 : 6, exitCode) << host.ErrorsTail();
        EXPECT_GT(taken, 0);
        EXPECT_EQ(taken, written + dropped);
        EXPECT_EQ(atQueueBound, dropped);
        EXPECT_EQ(static_cast<size_t>(written), alerts.Count());
        EXPECT_FALSE(alerts.Shrunk());
    }

    // What the host's alert queue left out past its bound, as the stop
    // lists it; 0 without the line.
    static long long AlertQueueLeftOut(const std::string& log) {
        const std::string bound = "at the stop: Bound reached: hwhost's alert queue: ";
        const size_t at = log.find(bound);
        const size_t count = at == std::string::npos ? std::string::npos : log.find("; ", at);
        return count == std::string::npos ? 0 : std::atoll(log.c_str() + count + 2);
    }

    static constexpr const char* kAlertEnd = "</event>";
    hwtest::NetworkNamespace m_namespace;
};

}  // namespace

TEST_F(AlertFlowHostTest, StopWhileAlertsFlowWritesEveryTakenAlertAfterTheRulesAreGone) {
    for (int round = 0; round < 10 && !HasFailure(); ++round) {
        hwtest::NamespacedHost host(m_namespace);
        hwtest::GrowingFileCount alerts(host.File("alerts.xml"), kAlertEnd);
        std::unique_ptr<hwtest::DatagramStream> stream;
        ASSERT_NO_FATAL_FAILURE(StartFlowing(host, alerts, stream));
        StopAndAccount(host, alerts, *stream);
    }
}

TEST_F(AlertFlowHostTest, ReloadWhileAlertsFlowOutlivesTheReplacedRulesAndPolicyEvents) {
    hwtest::NamespacedHost host(m_namespace);
    hwtest::GrowingFileCount alerts(host.File("alerts.xml"), kAlertEnd);
    std::unique_ptr<hwtest::DatagramStream> stream;
    ASSERT_NO_FATAL_FAILURE(StartFlowing(host, alerts, stream));
    size_t written = 0;
    for (int reload = 0; reload < 20 && !HasFailure(); ++reload) {
        // A pushed policy makes the sensor pause its engines, delete every
        // rule and register a fresh policy event for each.
        ASSERT_TRUE(host.Reload(kFlowPolicy)) << host.ErrorsTail();
        written = AwaitMoreAlerts(alerts, written);
    }
    StopAndAccount(host, alerts, *stream);
}
