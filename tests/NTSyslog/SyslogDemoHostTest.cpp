// The demo's sensor root under the real hwhost, in a private network
// namespace so its syslog engine owns UDP port 514: what a sender hides
// behind a NUL is still alerted, and the echo of each datagram never comes
// back as input when the host's standard error is forwarded to its own
// syslog port, as a local syslog daemon forwards the journal; and pushes
// lose nothing of a stream of failed log-ins.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/NamespacedHost.h"
#include "support/StreamLosses.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// The alerts hwhost writes into a named pipe, read as they come: for each
// number n, how many alerts name the user m<n>.  A fast stream's alerts
// would fill a file with hundreds of megabytes.
class MarkedAlerts {
public:
    // `reader` is the pipe's reading end, open before the host opened it
    // for writing; it is read until the host closes it.
    explicit MarkedAlerts(int reader) : m_reader(reader), m_thread([this] { Run(); }) {}
    ~MarkedAlerts() { Finish(); }
    MarkedAlerts(const MarkedAlerts&) = delete;
    MarkedAlerts& operator=(const MarkedAlerts&) = delete;

    uint64_t Count() const { return m_qwCount; }
    // The alerts naming the user "end", the stream's last marker.
    uint64_t Ends() const { return m_qwEnds; }
    // Waits for the pipe's end: call once the host has ended.
    void Finish() {
        if (m_thread.joinable()) {
            m_thread.join();
            ::close(m_reader);
        }
    }
    // After Finish: how many alerts name each number (index 0: none).
    const std::vector<unsigned>& Times() const { return m_Times; }
    // After Finish: the numbers alerted that were never sent (0 and those
    // above `count`).
    std::string Unsent(uint64_t count) const {
        std::string wrong;
        for (uint64_t n = 0; n < m_Times.size(); ++n) {
            if ((n == 0 || n > count) && m_Times[n] != 0) {
                wrong += " " + std::to_string(n) + " x" + std::to_string(m_Times[n]);
            }
        }
        return wrong;
    }

private:
    void Run() {
        static const std::string kMarker = "<param name='User' type='string' value='m";
        static const std::string kEnd = "<param name='User' type='string' value='end'";
        std::string pending;
        char buffer[1 << 16];
        for (;;) {
            const ssize_t got = ::read(m_reader, buffer, sizeof buffer);
            if (got == 0) {
                break;
            }
            if (got < 0) {
                pollfd ready{m_reader, POLLIN, 0};
                ::poll(&ready, 1, 100);
                continue;
            }
            pending.append(buffer, static_cast<size_t>(got));
            // Up to the last whole alert, so that no marker is cut.
            const size_t end = pending.rfind("</event>");
            if (end == std::string::npos) {
                continue;
            }
            for (size_t at = pending.find(kMarker); at < end; at = pending.find(kMarker, at + 1)) {
                const uint64_t n = std::strtoull(pending.c_str() + at + kMarker.size(), nullptr, 10);
                if (n >= m_Times.size()) {
                    m_Times.resize(n + 1, 0);
                }
                ++m_Times[n];
                ++m_qwCount;
            }
            for (size_t at = pending.find(kEnd); at < end; at = pending.find(kEnd, at + 1)) {
                ++m_qwEnds;
            }
            pending.erase(0, end);
        }
    }

    const int m_reader;
    std::vector<unsigned> m_Times;
    std::atomic<uint64_t> m_qwCount{0};
    std::atomic<uint64_t> m_qwEnds{0};
    std::thread m_thread;
};

class SyslogDemoHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_Namespace.IsReady()) << m_Namespace.Error();
        // As scripts/run makes it: the demo's log groups point into the
        // copy, and the network engine replays the demo's capture.
        const std::string strRoot = m_Host.Root();
        fs::copy(std::string(HW_SOURCE_DIR) + "/examples/demo", strRoot,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        std::string strPolicy = hwtest::ReadWholeFile(m_Host.File("Default.policy"));
        const std::string strMarker = "@SENSOR_ROOT@";
        for (size_t at = strPolicy.find(strMarker); at != std::string::npos;
             at = strPolicy.find(strMarker, at)) {
            strPolicy.replace(at, strMarker.size(), strRoot);
        }
        // The machine's own logs would add lines of their own.
        for (size_t at = strPolicy.find("/var/log/"); at != std::string::npos;
             at = strPolicy.find("/var/log/", at)) {
            strPolicy.replace(at, 9, m_Host.File("varlog/"));
        }
        m_Host.WritePolicy(strPolicy);
        fs::create_directories(m_Host.File("replay"));
        m_Environment = {"HW_PACKET_REPLAY=" + m_Host.File("captures/network-attacks.pcap"),
                         "HW_PACKET_MONITOR=\\Device\\replay0",
                         "HW_PACKET_REPLAY_OUT=" + m_Host.File("replay")};
    }

    void Start(const std::vector<std::string>& arguments = {}) {
        ASSERT_TRUE(m_Host.Start(arguments, m_Environment)) << m_Host.ErrorsTail();
        ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Host.SyslogPortOpen(); }));
    }
    size_t AlertsOf(const std::string& strUser) const {
        return hwtest::CountOf(m_Host.Alerts(),
                               "<param name='User' type='string' value='" + strUser + "'");
    }

    hwtest::NetworkNamespace m_Namespace;
    hwtest::NamespacedHost m_Host{m_Namespace};
    std::vector<std::string> m_Environment;
};

}  // namespace

// A NUL the sender puts before the words a rule looks for hides nothing:
// the demo's rule alerts with every value, the echo asked for shows the NUL
// as it shows every control byte, and the summary says the echo is on
// although standard error is a file.
TEST_F(SyslogDemoHostTest, FailedPasswordBehindANulIsAlertedWithItsValues) {
    Start({"--echo-input"});
    EXPECT_NE(m_Host.Errors().find("\n  input echo: on, asked with --echo-input\n"),
              std::string::npos)
        << m_Host.ErrorsTail();
    ASSERT_TRUE(m_Host.SendDatagram("<38>Dec  6 18:17:00 vm sshd[42]:\0\0x\0 Failed password for "
                                    "invalid user mallory from 203.0.113.5 port 52144 ssh2"s));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertsOf("mallory") == 1; }, 60))
        << m_Host.ErrorsTail();
    // The network engine's replay has alerts of its own.
    const std::string strAlerts = m_Host.Alerts();
    const size_t nAlert = strAlerts.rfind("<event ", strAlerts.find("value='mallory'"));
    ASSERT_NE(nAlert, std::string::npos) << strAlerts;
    EXPECT_EQ(strAlerts.find("alert-name='Failed log-in'", nAlert),
              strAlerts.find("alert-name=", nAlert))
        << strAlerts.substr(nAlert);
    const std::string strAlert = strAlerts.substr(nAlert, strAlerts.find("</event>", nAlert) - nAlert);
    // The pair, among the alert's parameters (the alert's own origin is
    // another parameter of that name).
    EXPECT_NE(strAlert.find("<param name='AttackOrigin' type='string' value='203.0.113.5'"),
              std::string::npos)
        << strAlert;
    EXPECT_EQ(hwtest::AlertParam(strAlert, "Sender"), "127.0.0.1");
    EXPECT_EQ(hwtest::AlertParam(strAlert, "Log Type"), "Syslog");
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Errors().find("NTSyslog: Parsing Entry from 127.0.0.1: <38>Dec  6 18:17:00 "
                                    "vm sshd[42]:\\x00\\x00x\\x00 Failed password for invalid "
                                    "user mallory from 203.0.113.5 port 52144 ssh2\n") !=
               std::string::npos;
    })) << m_Host.ErrorsTail();
}

// Standard error reaches the host's own syslog port line by line, as the
// journal does through a local syslog daemon.  With standard error no
// terminal the echo is off, so each failed log-in is one alert, and the
// forwarding goes quiet: no datagram comes back as another.
TEST_F(SyslogDemoHostTest, StandardErrorForwardedToTheSyslogPortMakesNoLoop) {
    Start();
    EXPECT_NE(m_Host.Errors().find("\n  input echo: off, standard error is no terminal "
                                   "(--echo-input turns it on)\n"),
              std::string::npos)
        << m_Host.ErrorsTail();
    std::atomic<bool> bStop{false};
    std::atomic<size_t> nForwarded{0};
    std::thread forwarder([&] {
        size_t nSent = 0;
        while (!bStop) {
            const std::string strErrors = m_Host.Errors();
            for (size_t nEnd = strErrors.find('\n', nSent); nEnd != std::string::npos;
                 nEnd = strErrors.find('\n', nSent)) {
                m_Host.SendDatagram("<11>hwhost[1]: " + strErrors.substr(nSent, nEnd - nSent));
                nSent = nEnd + 1;
                ++nForwarded;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const char* const kUsers[] = {"alice", "bob", "carol"};
    for (const char* pszUser : kUsers) {
        ASSERT_TRUE(m_Host.SendDatagram(std::string("<38>Dec  6 18:17:00 vm sshd[42]: Failed "
                                                    "password for ") +
                                        pszUser + " from 198.51.100.7 port 22 ssh2"));
    }
    // Twenty seconds in which a loop, once started, would have gone round
    // hundreds of times.
    std::this_thread::sleep_for(std::chrono::seconds(20));
    bStop = true;
    forwarder.join();
    for (const char* pszUser : kUsers) {
        EXPECT_EQ(AlertsOf(pszUser), 1u) << pszUser << "\n" << m_Host.ErrorsTail();
    }
    EXPECT_EQ(hwtest::CountOf(m_Host.Alerts(), "alert-name='Failed log-in'"), 3u);
    EXPECT_EQ(hwtest::CountOf(m_Host.Errors(), "Parsing Entry"), 0u) << m_Host.ErrorsTail();
    // Standard error said what it says at start-up and little more.
    EXPECT_LT(nForwarded.load(), 100u) << m_Host.ErrorsTail();
}

// A push stops the matching while the policy is read; what arrives
// meanwhile waits in the engine's queue, whose bound is the memory it
// holds (not a count of datagrams), and is matched after the push.
// Numbered failed log-ins come at ten thousand a second through two pushes
// of a policy of 4 MB (the demo's and 39,000 disabled rules: this build
// takes seconds to read it, in which some 40,000 datagrams arrive), and
// none is alerted twice.  A machine that keeps up alerts each once, and
// the engine and the system drop nothing.  One too busy to take ten
// thousand a second may lose datagrams in the socket, but each is counted
// (as the system counts it) and said, and those that came while a push
// kept the rules from them are that push's, said by it.
TEST_F(SyslogDemoHostTest, FailedLogInsThroughTwoLongPushesAreEachAlertedOnce) {
    const std::string strPipe = m_Host.File("hwhost.out");
    ASSERT_EQ(::mkfifo(strPipe.c_str(), 0600), 0);
    const int reader = ::open(strPipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Start({"--alerts", ""});
    MarkedAlerts marked(reader);
    std::string strPolicy = hwtest::ReadWholeFile(m_Host.File("Default.policy"));
    for (int n = 0; strPolicy.size() < 4000000; ++n) {
        const std::string strName = "Spare " + std::to_string(n);
        strPolicy += "[\\Advanced\\Rules\\SysLog Rules\\" + strName + "\\];\r\nEnabled\t=B\t0;\r\n"
                     "Regular Expression\t=S\tnever sent " + std::to_string(n) + ";\r\n";
    }
    const std::string strInput = "syslog datagrams to UDP port 514";
    const uint64_t qwSystemDropsBefore = m_Namespace.UdpCounters()["RcvbufErrors"];
    hwtest::DatagramStream stream(m_Host, "<38>Dec  6 18:17:00 vm sshd[42]: Failed password for invalid user m",
                                  std::chrono::microseconds(100), " from 203.0.113.5 port 52144 ssh2");
    ASSERT_TRUE(hwtest::WaitUntil([&] { return marked.Count() > 0; }, 60)) << m_Host.ErrorsTail();
    std::vector<double> pushSeconds;
    for (int nPush = 1; nPush <= 2; ++nPush) {
        const auto start = std::chrono::steady_clock::now();
        std::string strOutput;
        const int nExit = m_Host.Push(strPolicy, strOutput);
        pushSeconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        // 4: the demo's own warnings (a log group without files, the
        // capture played to its end), and whatever the push lost.
        EXPECT_TRUE(nExit == 0 || nExit == 4) << nExit << "\n" << strOutput;
    }
    // What came in just after the last push is read too.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stream.Stop();
    const uint64_t qwSent = stream.Sent();
    EXPECT_TRUE(stream.AllSent());
    // Every datagram is alerted or said lost by the time the last marker
    // is alerted: the engine parses its queue in order.
    const hwtest::MarkerWait ends = hwtest::AwaitLastMarker(
        [&] {
            return m_Host.SendDatagram(
                "<38>Dec  6 18:17:00 vm sshd[42]: Failed password for invalid user end from 203.0.113.5 port "
                "52144 ssh2");
        },
        [&] { return marked.Ends() > 0; }, [&] { return marked.Count(); });
    EXPECT_TRUE(ends.m_bAlerted) << "the last marker was not alerted after " << ends.m_dSeconds
                                 << " s, the alerts no longer coming; " << marked.Count() << " of " << qwSent
                                 << " alerted\n"
                                 << m_Host.ErrorsTail();
    int nExit = -1;
    ASSERT_TRUE(m_Host.Stop(nExit));
    EXPECT_EQ(nExit, 0) << m_Host.ErrorsTail();
    marked.Finish();
    EXPECT_EQ("", marked.Unsent(qwSent));
    const std::string strLog = m_Host.Log();
    // Markers the engine dropped are among what it says it dropped.
    const uint64_t qwMarkersLost = ends.m_qwSent - std::min<uint64_t>(ends.m_qwSent, marked.Ends());
    const uint64_t qwSaid = hwtest::SyslogSaidLost(m_Host.Errors(), strLog);
    const uint64_t qwCounted = qwSaid - std::min(qwSaid, qwMarkersLost);
    const hwtest::StreamLossCheck check = hwtest::CheckStreamLosses(
        stream.SentAt(), marked.Times(), qwCounted,
        hwtest::ReloadWindows(strLog,
                              [&](const std::string& strLine) { return hwtest::BoundSaidInReload(strLine, strInput); }));
    EXPECT_EQ("", check.m_strWrong) << check.m_strSummary;
    // What the system dropped in the socket is among what was counted.
    const uint64_t qwSystemDrops = m_Namespace.UdpCounters()["RcvbufErrors"] - qwSystemDropsBefore;
    EXPECT_LE(qwSystemDrops, qwSaid) << m_Host.ErrorsTail();
    if (qwSaid == 0) {
        EXPECT_EQ(strLog.find("NTSyslog dropped"), std::string::npos)
            << strLog.substr(strLog.find("NTSyslog dropped"), 300);
    }
    std::printf("%" PRIu64 " datagrams through pushes of %.1f s and %.1f s: %s\n", qwSent, pushSeconds[0],
                pushSeconds[1], check.m_strSummary.c_str());
}
