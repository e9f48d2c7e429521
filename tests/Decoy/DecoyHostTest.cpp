// The decoy-port engine end to end: the real hwhost with the real plug-in in
// a private network namespace, so the decoy ports are its own; clients
// connect from inside the namespace and the alerts are read back from the
// host's XML output.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/NamespacedHost.h"

namespace {

struct DecoyRuleText {
    std::string m_strName;
    int m_nPort;
    bool m_bUser = false;
};

std::string Value(const std::string& strName, char cType, const std::string& strValue) {
    return strName + "\t=" + cType + "\t" + strValue + ";\r\n";
}

std::string DecoyPolicy(const std::vector<DecoyRuleText>& rules, int nMaxConnections) {
    std::string strText = "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\n" +
                          Value("ScriptEnabled", 'B', "0") +
                          Value("Max Connections", 'L', std::to_string(nMaxConnections)) +
                          Value("BlackoutPeriod", 'L', "60") + "[\\Advanced\\];\r\n";
    for (const DecoyRuleText& rule : rules) {
        const std::string strBase =
            rule.m_bUser ? "\\Advanced\\userdefinedsignatures\\" : "\\Advanced\\Rules\\";
        strText += "[" + strBase + "Suspicious Port Rules\\" + rule.m_strName + "\\];\r\n" +
                   Value("Enabled", 'B', "1") + Value("Priority", 'L', "2") +
                   Value("Port", 'L', std::to_string(rule.m_nPort));
    }
    return strText;
}

// A TCP client made inside the namespace; the connection is made without
// waiting for it.
class NamespacedClient {
public:
    enum class State { kPending, kClosed, kReset };

    NamespacedClient(pid_t holder, uint16_t wPort) {
        // A thread of its own joins the namespace; the socket stays there.
        std::thread maker([&] {
            const int hNamespace =
                ::open(("/proc/" + std::to_string(holder) + "/ns/net").c_str(), O_RDONLY);
            if (hNamespace < 0 || ::setns(hNamespace, CLONE_NEWNET) != 0) {
                return;
            }
            ::close(hNamespace);
            m_hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(wPort);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(m_hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        });
        maker.join();
    }
    ~NamespacedClient() {
        if (m_hSocket >= 0) {
            ::close(m_hSocket);
        }
    }
    NamespacedClient(const NamespacedClient&) = delete;
    NamespacedClient& operator=(const NamespacedClient&) = delete;

    // Pending covers both a connection not yet taken and one held.  A
    // reset is reported once by the system, and remembered here.
    State Look() {
        if (m_state != State::kPending) {
            return m_state;
        }
        char byte = 0;
        const ssize_t received = ::recv(m_hSocket, &byte, 1, MSG_DONTWAIT);
        if (received == 0) {
            m_state = State::kClosed;
        } else if (received < 0 && errno == ECONNRESET) {
            m_state = State::kReset;
        }
        return m_state;
    }
    bool Send(const std::string& strBytes) const {
        return ::send(m_hSocket, strBytes.data(), strBytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0;
    }

private:
    int m_hSocket = -1;
    State m_state = State::kPending;
};

class DecoyHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_Namespace.IsReady()) << m_Namespace.Error();
    }

    // Starts the host with the first run's wait cut out and a short hold.
    void Start(const std::vector<DecoyRuleText>& rules, int nMaxConnections,
               const char* pszHoldSeconds) {
        m_Host.WritePolicy(DecoyPolicy(rules, nMaxConnections));
        ASSERT_TRUE(m_Host.Start({}, {"HW_DECOY_FIRST_WAIT_MS=0",
                                      std::string("HW_DECOY_HOLD_SECONDS=") + pszHoldSeconds}))
            << m_Host.Errors();
        for (const DecoyRuleText& rule : rules) {
            ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(rule.m_nPort); }))
                << rule.m_nPort << "\n" << m_Host.ErrorsTail();
        }
    }
    bool Listening(int nPort) const {
        char szPort[8];
        std::snprintf(szPort, sizeof szPort, ":%04X ", nPort);
        const std::string strTable = hwtest::ReadWholeFile(
            "/proc/" + std::to_string(m_Namespace.HolderPid()) + "/net/tcp");
        for (size_t at = strTable.find(szPort); at != std::string::npos;
             at = strTable.find(szPort, at + 1)) {
            // Local address first, then remote, then the state: 0A listens.
            if (strTable.compare(at + 6 + 13, 3, " 0A") == 0) {
                return true;
            }
        }
        return false;
    }
    std::unique_ptr<NamespacedClient> Connect(int nPort) {
        return std::make_unique<NamespacedClient>(m_Namespace.HolderPid(), nPort);
    }
    size_t Alerts(const std::string& strRule) {
        return hwtest::CountOf(m_Host.Alerts(), "alert-name='" + strRule + "'");
    }
    size_t Descriptors() const {
        const std::filesystem::path fds("/proc/" + std::to_string(m_Host.Pid()) + "/fd");
        return std::distance(std::filesystem::directory_iterator(fds),
                             std::filesystem::directory_iterator());
    }
    // Stops the host and answers how long that took.
    std::chrono::seconds Stop() {
        const auto start = std::chrono::steady_clock::now();
        int nExitCode = -1;
        EXPECT_TRUE(m_Host.Stop(nExitCode));
        EXPECT_EQ(nExitCode, 0) << m_Host.ErrorsTail();
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                start);
    }

    hwtest::NetworkNamespace m_Namespace;
    hwtest::NamespacedHost m_Host{m_Namespace};
};

}  // namespace

TEST_F(DecoyHostTest, ConnectionBecomesAnAlertAndIsHeldUntilTheNextOneAfterItsHold) {
    Start({{"Telnet decoy", 23}, {"Alt telnet", 2323, true}}, 100, "2");
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Errors().find("Now waiting for connections on ports: 23, 2323\n") !=
               std::string::npos;
    })) << m_Host.ErrorsTail();

    auto pFirst = Connect(23);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Alerts("Telnet decoy") == 1; }, 60))
        << m_Host.ErrorsTail();
    const std::string strAlert = m_Host.Alerts();
    for (const char* pszPart :
         {"alert-type='202'", "name='SourceAddress' type='string' value='127.0.0.1'",
          "name='DestinationPort' type='unsignedInt' value='23'",
          "name='IANAProtocolId' type='unsignedInt' value='6'",
          "name='AttackOrigin' type='string' value='IPAddr: 127.0.0.1'"}) {
        EXPECT_NE(strAlert.find(pszPart), std::string::npos) << pszPart << "\n" << strAlert;
    }
    // Silent: what the peer sends changes nothing.
    EXPECT_TRUE(pFirst->Send("USER root\r\n"));
    EXPECT_EQ(pFirst->Look(), NamespacedClient::State::kPending);

    // Its hold over, it is closed by the next connection on any port.
    std::vector<std::unique_ptr<NamespacedClient>> later;
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] {
            later.push_back(Connect(2323));
            hwtest::WaitUntil([&] { return Alerts("Alt telnet") == later.size(); }, 10);
            // Closed with the peer's bytes unread, which the system
            // answers with a reset.
            return pFirst->Look() == NamespacedClient::State::kReset;
        },
        60));
    EXPECT_EQ(later.back()->Look(), NamespacedClient::State::kPending);

    // A stop closes the connections still held, at once.
    EXPECT_LT(Stop().count(), 20);
    EXPECT_EQ(later.back()->Look(), NamespacedClient::State::kClosed);
}

TEST_F(DecoyHostTest, FloodHitsTheCapWithoutLosingTheEngineOrLeakingDescriptors) {
    Start({{"Flood decoy", 2300}}, 3, "60");
    const size_t nBefore = Descriptors();
    std::vector<std::unique_ptr<NamespacedClient>> clients;
    for (int n = 0; n < 8; ++n) {
        clients.push_back(Connect(2300));
    }
    auto resets = [&] {
        size_t nCount = 0;
        for (const auto& pClient : clients) {
            nCount += pClient->Look() == NamespacedClient::State::kReset ? 1 : 0;
        }
        return nCount;
    };
    // Three held and reported; the rest reset, and not reported.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return resets() == 5 && Alerts("Flood decoy") == 3; }, 90))
        << resets() << " reset, " << Alerts("Flood decoy") << " alerts";
    EXPECT_TRUE(hwtest::WaitUntil([&] { return Descriptors() == nBefore + 3; }))
        << Descriptors() << " descriptors, " << nBefore << " before";

    // The engine goes on refusing during the refusal period.
    clients.push_back(Connect(2300));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return resets() == 6; }));
    EXPECT_EQ(Alerts("Flood decoy"), 3u);

    EXPECT_LT(Stop().count(), 20);
    size_t nClosed = 0;
    for (const auto& pClient : clients) {
        nClosed += pClient->Look() == NamespacedClient::State::kClosed ? 1 : 0;
    }
    EXPECT_EQ(nClosed, 3u);
}
