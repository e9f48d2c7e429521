// Pushes while every kind of input streams in: the real hwhost with the
// real plug-in in a private network namespace (root), its policy a syslog
// rule, a decoy port and the network engine's signature rules (the replay
// adapter plays nothing), for the web-server engine.  Datagrams at a
// thousand a second, a connection to the decoy port every half second and
// web-server events at fifty a second, written by a module that holds the
// ring only while it writes, go on through five pushes: a reload keeps
// every input open, so each of them is one alert and none is refused.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "integration/NetworkHostSupport.h"
#include "support/ChildProcess.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"

namespace {

constexpr uint16_t kDecoyPort = 2323;
constexpr int kPushes = 5;

std::string Value(const std::string& name, char type, const std::string& value) {
    return name + "\t=" + type + "\t" + value + ";\r\n";
}

std::string Section(const std::string& path) { return "[" + path + "\\];\r\n"; }

// The network policy with a syslog rule that names each datagram's number,
// the decoy port, and `nSpare` inert syslog rules, so that each push
// brings a policy of its own.
std::string Policy(const std::string& network, int nSpare) {
    const std::string syslog = "\\Advanced\\Rules\\SysLog Rules\\";
    std::string text = network + Section(syslog + "Reload probe") + Value("Enabled", 'B', "1") +
                       Value("Priority", 'L', "2") + Value("Alert Type", 'S', "LoginEvent") +
                       Value("Regular Expression", 'S', "reload probe") +
                       Section(syslog + "Reload probe\\Info") + Value("N", 'S', "@Field3") +
                       Section("\\Advanced\\Rules\\Suspicious Port Rules\\Reload decoy") +
                       Value("Enabled", 'B', "1") + Value("Port", 'L', std::to_string(kDecoyPort));
    for (int n = 0; n < nSpare; ++n) {
        text += Section(syslog + "Spare " + std::to_string(n)) + Value("Enabled", 'B', "1") +
                Value("Regular Expression", 'S', "never sent " + std::to_string(n));
    }
    return text;
}

// Connections to the decoy port from inside the namespace, one every half
// second until Stop, each kept open; counts those refused.
class DecoyKnocker {
public:
    explicit DecoyKnocker(pid_t holder) : m_thread([this, holder] { Run(holder); }) {}
    ~DecoyKnocker() {
        Stop();
        for (int hSocket : m_Sockets) {
            ::close(hSocket);
        }
    }
    void Stop() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    size_t Made() const { return m_Sockets.size(); }
    size_t Refused() const { return m_nRefused; }
    // Connections the sensor reset (a refusal after the handshake).
    size_t Reset() const {
        size_t nReset = 0;
        for (int hSocket : m_Sockets) {
            char byte = 0;
            nReset += ::recv(hSocket, &byte, 1, MSG_DONTWAIT) < 0 && errno == ECONNRESET ? 1 : 0;
        }
        return nReset;
    }

private:
    void Run(pid_t holder) {
        if (!hwtest::JoinNamespaceOf(holder)) {
            ++m_nRefused;
            return;
        }
        while (!m_bStop) {
            const int hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in address{AF_INET, htons(kDecoyPort), {htonl(INADDR_LOOPBACK)}, {}};
            ::connect(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
            pollfd entry{hSocket, POLLOUT, 0};
            int nError = 0;
            socklen_t length = sizeof nError;
            if (::poll(&entry, 1, 5000) == 1 && ::getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &length) == 0 &&
                nError == 0) {
                m_Sockets.push_back(hSocket);
            } else {
                ++m_nRefused;
                ::close(hSocket);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    }

    std::atomic<bool> m_bStop{false};
    std::vector<int> m_Sockets;
    size_t m_nRefused = 0;
    std::thread m_thread;
};

class ReloadHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_Namespace.IsReady()) << m_Namespace.Error();
    }

    hwtest::NetworkNamespace m_Namespace;
    hwtest::NamespacedHost m_Host{m_Namespace};
};

}  // namespace

TEST_F(ReloadHostTest, EveryDatagramConnectionAndWebEventThroughFivePushesIsOneAlert) {
    hwtest::PrepareNetworkRoot(m_Host, {});
    const std::string network = hwtest::ReadWholeFile(m_Host.File("Default.policy"));
    m_Host.WritePolicy(Policy(network, 0));
    std::vector<std::string> environment = hwtest::ReplayEnvironment(m_Host, hwtest::Capture({}));
    environment.insert(environment.end(), {"HW_DECOY_FIRST_WAIT_MS=0", "HW_DECOY_HOLD_SECONDS=60"});
    ASSERT_TRUE(m_Host.Start({}, environment)) << m_Host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.SyslogPortOpen() && m_Host.Errors().find("Now waiting for connections on ports: 2323") !=
                                              std::string::npos;
    })) << m_Host.ErrorsTail();
    const uint64_t qwRefusedBefore = m_Namespace.UdpCounters()["NoPorts"];

    // A thousand numbered datagrams a second, on a schedule.
    hwtest::DatagramStream syslog(m_Host, "<38>probe[1]: reload probe ", std::chrono::milliseconds(1));
    DecoyKnocker knocker(m_Namespace.HolderPid());
    hwtest::ChildProcess module;
    ASSERT_TRUE(module.Start({std::string(HW_BINARY_DIR) + "/bin/hw-webmodule", "--root", m_Host.Root(), "write",
                              "--name", "Payload_Cmd_Exe", "--id", "1006", "--proto", "6", "--class", "url=/x",
                              "--count", "0", "--every", "20"},
                             m_Host.File("module.out"), {"ASAN_OPTIONS=detect_leaks=0"}, true));
    // Every input alerts before the first push.
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        const std::vector<hwtest::Alert> alerts = hwtest::ParseAlerts(m_Host.Alerts());
        return !hwtest::AlertsOf(alerts, "Reload probe").empty() && !hwtest::AlertsOf(alerts, "Reload decoy").empty() &&
               !hwtest::AlertsOf(alerts, "Payload_Cmd_Exe").empty();
    })) << m_Host.ErrorsTail();

    for (int nPush = 1; nPush <= kPushes; ++nPush) {
        ASSERT_TRUE(m_Host.Reload(Policy(network, nPush))) << nPush << "\n" << m_Host.ErrorsTail();
    }
    // What came in just after the last push is read too.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    syslog.Stop();
    const uint64_t qwSent = syslog.Sent();
    knocker.Stop();
    module.CloseStdin();
    int exitCode = -1;
    ASSERT_TRUE(module.Wait(60, exitCode));
    const std::string said = hwtest::ReadWholeFile(m_Host.File("module.out"));
    EXPECT_EQ(0, exitCode) << said;
    // Each event the module could not write (the ring not there to open,
    // say) is one it counts.
    long nWritten = 0;
    long nNotWritten = -1;
    EXPECT_TRUE(hwtest::ModuleTally(said, nWritten, nNotWritten)) << said;
    EXPECT_EQ(0, nNotWritten) << said;

    EXPECT_TRUE(syslog.AllSent());
    EXPECT_EQ(0u, m_Namespace.UdpCounters()["NoPorts"] - qwRefusedBefore);
    EXPECT_EQ(0u, knocker.Refused());
    const size_t nDecoy = knocker.Made();
    const auto Complete = [&](const std::vector<hwtest::Alert>& alerts) {
        return hwtest::AlertsOf(alerts, "Reload probe").size() >= qwSent &&
               hwtest::AlertsOf(alerts, "Reload decoy").size() >= nDecoy &&
               hwtest::AlertsOf(alerts, "Payload_Cmd_Exe").size() >= static_cast<size_t>(nWritten);
    };
    EXPECT_TRUE(hwtest::WaitUntil([&] { return Complete(hwtest::ParseAlerts(m_Host.Alerts())); }, 120))
        << m_Host.ErrorsTail();
    EXPECT_EQ(0u, knocker.Reset());
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();

    const std::vector<hwtest::Alert> alerts = hwtest::ParseAlerts(m_Host.Alerts());
    const std::vector<std::string> datagrams = hwtest::NotAlertedOnce(alerts, "Reload probe", "N", qwSent);
    EXPECT_TRUE(datagrams.empty()) << datagrams.size() << " datagrams of " << qwSent
                                   << " not alerted once, the first: " << datagrams.front();
    const std::vector<std::string> events =
        hwtest::NotAlertedOnce(alerts, "Payload_Cmd_Exe", "n", static_cast<uint64_t>(nWritten));
    EXPECT_TRUE(events.empty()) << events.size() << " web-server events of " << nWritten
                                << " not alerted once, the first: " << events.front();
    EXPECT_EQ(nDecoy, hwtest::AlertsOf(alerts, "Reload decoy").size());
    const std::string log = m_Host.Log();
    EXPECT_EQ(std::string::npos, log.find("NTSyslog dropped")) << log;
    EXPECT_EQ(std::string::npos, log.find("web-server events dropped")) << log;
    std::printf("%llu datagrams, %zu connections and %ld web-server events through %d pushes\n",
                static_cast<unsigned long long>(qwSent), nDecoy, nWritten, kPushes);
}
