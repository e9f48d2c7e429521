// The demo's sensor root under the real hwhost, in a private network
// namespace so its syslog engine owns UDP port 514: what a sender hides
// behind a NUL is still alerted, and the echo of each datagram never comes
// back as input when the host's standard error is forwarded to its own
// syslog port, as a local syslog daemon forwards the journal.

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/NamespacedHost.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

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
