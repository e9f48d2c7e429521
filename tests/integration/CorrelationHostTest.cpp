// Correlation end to end: the real hwhost with the real plug-in in a
// private network namespace (so the syslog engine owns UDP port 514),
// syslog alerts of two watched rules, and the correlation rule's own alert
// that they cause.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/NamespacedHost.h"

namespace {

// A correlation rule that fires when failed log-ins (weight 1) and failed
// su (weight 2) add up to `threshold` within `window` seconds, keeping the
// value of the alerts' "User" when `info` says so.
std::string CorrelationPolicy(int threshold = 3, int window = 300, bool info = false) {
    return hwtest::SyslogPolicy({{"Failed log-in", "Failed password", {{"User", "@Field4"}}},
                                 {"Failed su", "FAILED SU"}}) +
           "[\\Advanced\\Rules\\Correlation Rules\\];\r\n"
           "[\\Advanced\\Rules\\Correlation Rules\\Password attack\\];\r\n"
           "Enabled\t=B\t1;\r\n"
           "Priority\t=L\t1;\r\n"
           "Alert Type\t=S\tUserAbnormalActivity;\r\n"
           "Type\t=S\tCUMULATIVE;\r\n"
           "Threshold\t=L\t" + std::to_string(threshold) + ";\r\n"
           "Time Window\t=L\t" + std::to_string(window) + ";\r\n" +
           (info ? "Info\t=S\tUser;\r\n" : "") +
           "[\\Advanced\\Rules\\Correlation Rules\\Password attack\\Rules\\];\r\n"
           "Failed log-in\t=S\t1;\r\n"
           "Failed su\t=S\t2;\r\n";
}

class CorrelationHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
    }
    void Start() {
        m_host.WritePolicy(CorrelationPolicy());
        ASSERT_TRUE(m_host.Start()) << m_host.ErrorsTail();
        ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.SyslogPortOpen(); })) << m_host.Log();
    }

    // Sends one datagram and waits until the host has written `alerts`
    // alerts in all.
    void Send(const std::string& text, size_t alerts) {
        ASSERT_TRUE(m_host.SendDatagram("<38>" + text));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return Count("</event>") >= alerts; }))
            << m_host.Alerts() << m_host.Log();
    }
    size_t Count(const std::string& marker) const { return hwtest::CountOf(m_host.Alerts(), marker); }

    hwtest::NetworkNamespace m_namespace;
    hwtest::NamespacedHost m_host{m_namespace};
};

}  // namespace

TEST_F(CorrelationHostTest, WatchedAlertsReachingTheThresholdRaiseACorrelationAlertFromTheSensor) {
    Start();
    Send("sshd[7]: Failed password for root from 192.0.2.9 port 22", 1);
    EXPECT_EQ(0u, Count("Password attack"));

    // 1 + 2 reaches the threshold: the failed su goes out, then the
    // correlation alert it caused.
    Send("su[8]: FAILED SU (to root) mallory on pts/0", 3);
    const std::string alerts = m_host.Alerts();
    const size_t su = alerts.find("Failed su");
    const size_t correlated = alerts.find("Password attack");
    ASSERT_NE(std::string::npos, correlated) << alerts;
    EXPECT_LT(su, correlated) << alerts;
    // Its own alert runs from the sensor's address to itself.
    const std::string event = alerts.substr(alerts.rfind("<event", correlated));
    const size_t at = event.find("sensor-address='") + 16;
    const std::string address = event.substr(at, event.find('\'', at) - at);
    for (const char* param : {"SourceAddress", "DestinationAddress"}) {
        EXPECT_NE(std::string::npos, event.find(std::string("name='") + param + "' type='string' value='" +
                                                address + "'"))
            << event;
    }

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
}

namespace {

// The host's alerts, read from the pipe its standard output is, counted
// and let go, so a flood of them takes no room on disk.
class AlertDrain {
public:
    explicit AlertDrain(const std::string& pipe) {
        if (::mkfifo(pipe.c_str(), 0600) == 0) {
            m_nReader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
        if (m_nReader >= 0) {
            m_thread = std::thread([this] { Run(); });
        }
    }
    ~AlertDrain() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_nReader >= 0) {
            ::close(m_nReader);
        }
    }
    AlertDrain(const AlertDrain&) = delete;
    AlertDrain& operator=(const AlertDrain&) = delete;

    bool IsReady() const { return m_nReader >= 0; }
    uint64_t Of(const std::string& rule) const {
        return rule == "Failed log-in" ? m_qwWatched.load() : m_qwCorrelated.load();
    }

private:
    void Run() {
        char buffer[65536];
        std::string pending;
        pollfd ready{m_nReader, POLLIN, 0};
        while (!m_bStop) {
            const ssize_t got = ::read(m_nReader, buffer, sizeof buffer);
            if (got <= 0) {
                ::poll(&ready, 1, 50);
                continue;
            }
            pending.append(buffer, static_cast<size_t>(got));
            const size_t end = pending.rfind("</event>");
            if (end == std::string::npos) {
                continue;
            }
            m_qwWatched += hwtest::CountOf(pending.substr(0, end), "alert-name='Failed log-in'");
            m_qwCorrelated += hwtest::CountOf(pending.substr(0, end), "alert-name='Password attack'");
            pending.erase(0, end);
        }
    }

    int m_nReader = -1;
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_qwWatched{0};
    std::atomic<uint64_t> m_qwCorrelated{0};
    std::thread m_thread;
};

}  // namespace

// A sender of distinct values to a rule watched with "Info" over an hour's
// window: each value was kept for the whole window, about 3 MB a second at
// the rate one process sends.  Now the rule keeps only a bounded number of
// values and counts the rest, says so, and still fires once at its
// threshold; what the rule keeps stays within its bound while the values
// come.  That is measured as the rule counts it (its line at the stop), not
// by the host's resident memory, which holds whatever the allocator of the
// build keeps of what was freed.
TEST_F(CorrelationHostTest, DistinctValuesOverAnHourWindowAreFoldedWithFlatMemoryAndTheFoldIsSaid) {
    constexpr uint64_t kValues = 150000;
    constexpr uint64_t kChunk = 2500;
    AlertDrain drain(m_host.File("hwhost.out"));
    ASSERT_TRUE(drain.IsReady());
    m_host.WritePolicy(CorrelationPolicy(100000, 3600, true));
    ASSERT_TRUE(m_host.Start({"--alerts", ""}))
        << m_host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.SyslogPortOpen(); })) << m_host.Log();

    // Each chunk goes out as fast as the socket takes it and is matched
    // before the next, so every value reaches the rule.
    const auto began = std::chrono::steady_clock::now();
    uint64_t sent = 0;
    while (sent < kValues) {
        const uint64_t last = sent + kChunk;
        ASSERT_TRUE(m_host.SendDatagrams([&](std::string& text) {
            // Values of 200 bytes, so that keeping them shows.
            char value[32];
            std::snprintf(value, sizeof value, "user%07" PRIu64 "-", sent);
            text = std::string("<38>sshd[7]: Failed password for ") + value +
                   std::string(188, 'x') + " from 192.0.2.9";
            return sent++ < last;
        }));
        sent = last;
        ASSERT_TRUE(hwtest::WaitUntil([&] { return drain.Of("Failed log-in") >= sent; }, 60))
            << drain.Of("Failed log-in") << " of " << sent << "\n" << m_host.ErrorsTail();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(exitCode, 0) << m_host.ErrorsTail();

    // Kept whole, the values would take 30 MB; the rule keeps at most 1024
    // of them, 256 KiB of values, and one entry of folded hits a second.
    size_t nKept = 0;
    size_t nBytes = 0;
    size_t nFolded = 0;
    const std::string keeps = "Correlation rule Password attack keeps ";
    const size_t nKeeps = m_host.Log().rfind(keeps);
    ASSERT_NE(nKeeps, std::string::npos) << "no line at the stop says what the rule keeps";
    ASSERT_EQ(std::sscanf(m_host.Log().c_str() + nKeeps + keeps.size(),
                          "%zu entries of hits with their values (%zu bytes of values) and %zu entries of folded hits",
                          &nKept, &nBytes, &nFolded),
              3);
    EXPECT_LE(nKept, 1024u);
    EXPECT_LE(nBytes, 256u * 1024);
    EXPECT_GT(nFolded, 0u);
    EXPECT_LE(static_cast<double>(nFolded), seconds + 2) << "more entries of folded hits than seconds the values took";
    EXPECT_EQ(drain.Of("Password attack"), 1u) << "one alert at the threshold in the window";
    const std::string bound =
        "Bound reached: correlation rule Password attack: at most 1024 hits of each watched rule "
        "kept with their value (256 KiB of values), older hits only counted; ";
    EXPECT_NE(m_host.Errors().find(bound + "1 hit value left out"), std::string::npos)
        << m_host.ErrorsTail();
    EXPECT_NE(m_host.Log().find(bound + std::to_string(kValues - 1024) + " hit values left out"),
              std::string::npos)
        << "the stop summary counts every value left out";
    std::printf("correlation fold: %" PRIu64 " distinct values matched in %.1f s, the rule keeping %zu values "
                "(%zu bytes) and %zu entries of folded hits at the end\n",
                kValues, seconds, nKept, nBytes, nFolded);
}
