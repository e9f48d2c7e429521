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
#include <memory>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"

namespace {

const std::string kHwhost = std::string(HW_BINARY_DIR) + "/bin/hwhost";
const std::string kAlertEnd = "</event>";

// One syslog rule with an information pair, so each alert carries a value
// taken from its own datagram.
std::string FlowPolicy() {
    const std::string key = "[\\Advanced\\Rules\\SysLog Rules\\Flow rule";
    return "Host Warden flow policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t0;\r\n"
           "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n" +
           key + "\\];\r\nEnabled\t=B\t1;\r\nAlert Type\t=S\tLoginEvent;\r\n" +
           "Regular Expression\t=S\tflow failed;\r\n" + key + "\\Info\\];\r\n" +
           "User\t=S\t@Field4;\r\n";
}

size_t Count(const std::string& text, const std::string& marker) {
    size_t count = 0;
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        ++count;
    }
    return count;
}

// The host's closing account: records its sink took, alerts written and
// alerts dropped; false when the line is missing.
bool Account(const std::string& log, long long& taken, long long& written, long long& dropped) {
    const std::string marker = "hwhost: ";
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
        if (std::sscanf(log.c_str() + at, "hwhost: %lld alerts taken, %lld written, %lld dropped", &taken,
                        &written, &dropped) == 3) {
            return true;
        }
    }
    return false;
}

// Datagrams to port 514 of the namespace, from a thread that has joined
// it, until Stop; small pauses keep the host busy without starving it.
class DatagramStream {
public:
    explicit DatagramStream(pid_t holder) : m_thread([this, holder] { Run(holder); }) {}
    ~DatagramStream() { Stop(); }
    void Stop() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    void Run(pid_t holder) {
        int sock = hwtest::ConnectUdpInNamespaceOf(holder, 514);
        if (sock < 0) {
            ADD_FAILURE() << "cannot join the namespace";
            return;
        }
        char text[96];
        for (uint64_t n = 0; !m_bStop; ++n) {
            int length = std::snprintf(text, sizeof text, "<38>sshd[1]: flow failed for user%" PRIu64, n);
            ::send(sock, text, static_cast<size_t>(length), 0);
            if (n % 32 == 31) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        }
        ::close(sock);
    }

    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// A running hwhost on a root of its own, with datagrams streaming in.
struct FlowingHost {
    hwtest::ScratchDirectory m_root;
    hwtest::ChildProcess m_host;
    std::unique_ptr<DatagramStream> m_pStream;
};

class AlertFlowHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
    }

    // Starts hwhost and waits until alerts are being written; null when
    // it does not get that far.
    std::unique_ptr<FlowingHost> StartFlowing() {
        auto pFlow = std::make_unique<FlowingHost>();
        hwtest::ScratchDirectory& root = pFlow->m_root;
        hwtest::WriteWholeFile(root.File("Default.policy"), FlowPolicy());
        pFlow->m_host.SetErrorFile(root.File("hwhost.err"));
        if (!pFlow->m_host.Start(m_namespace.Enter({kHwhost, "run", "--root", root.Path(), "--alerts",
                                                  root.File("alerts.xml"), "--log",
                                                  root.File("hwhost.log")}),
                               root.File("hwhost.out"))) {
            return nullptr;
        }
        hwtest::WaitUntil(
            [&] {
                return Contains(root.File("hwhost.err"), "hwhost: sensor started") ||
                       !pFlow->m_host.IsRunning();
            },
            60);
        if (!pFlow->m_host.IsRunning()) {
            ADD_FAILURE() << hwtest::ReadWholeFile(root.File("hwhost.err"));
            return nullptr;
        }
        pFlow->m_pStream = std::make_unique<DatagramStream>(m_namespace.HolderPid());
        AwaitMoreAlerts(root, 0);
        return pFlow;
    }

    static bool Contains(const std::string& path, const std::string& text) {
        return hwtest::ReadWholeFile(path).find(text) != std::string::npos;
    }

    // Waits until the host has written more than `after` alerts.
    static size_t AwaitMoreAlerts(hwtest::ScratchDirectory& root, size_t after) {
        size_t now = 0;
        EXPECT_TRUE(hwtest::WaitUntil(
            [&] {
                now = Count(hwtest::ReadWholeFile(root.File("alerts.xml")), kAlertEnd);
                return now > after + 100;
            },
            60));
        return now;
    }

    // Stops the host while the stream still runs, then checks that it left
    // cleanly and wrote every record its sink took.
    static void StopAndAccount(FlowingHost& flow) {
        hwtest::ScratchDirectory& root = flow.m_root;
        hwtest::ChildProcess& host = flow.m_host;
        ASSERT_EQ(0, ::kill(host.Pid(), SIGTERM));
        int exitCode = -1;
        const bool ended = host.Wait(120, exitCode);
        flow.m_pStream->Stop();
        ASSERT_TRUE(ended);
        const std::string errors = hwtest::ReadWholeFile(root.File("hwhost.err"));
        const std::string report = errors.substr(errors.size() - std::min<size_t>(errors.size(), 4000));
        EXPECT_EQ(0, exitCode) << report;
        EXPECT_EQ(std::string::npos, errors.find("AddressSanitizer")) << report;
        EXPECT_EQ(std::string::npos, errors.find("runtime error")) << report;

        const std::string log = hwtest::ReadWholeFile(root.File("hwhost.log"));
        long long taken = -1;
        long long written = -1;
        long long dropped = -1;
        ASSERT_TRUE(Account(log, taken, written, dropped)) << log.substr(log.size() - std::min<size_t>(log.size(), 2000));
        const size_t documents = Count(hwtest::ReadWholeFile(root.File("alerts.xml")), kAlertEnd);
        EXPECT_GT(taken, 0);
        EXPECT_EQ(taken, written);
        EXPECT_EQ(0, dropped);
        EXPECT_EQ(static_cast<size_t>(written), documents);
    }

    hwtest::NetworkNamespace m_namespace;
};

}  // namespace

TEST_F(AlertFlowHostTest, StopWhileAlertsFlowWritesEveryTakenAlertAfterTheRulesAreGone) {
    for (int round = 0; round < 10 && !HasFailure(); ++round) {
        std::unique_ptr<FlowingHost> pFlow = StartFlowing();
        ASSERT_NE(nullptr, pFlow);
        StopAndAccount(*pFlow);
    }
}

TEST_F(AlertFlowHostTest, ReloadWhileAlertsFlowOutlivesTheReplacedRulesAndPolicyEvents) {
    std::unique_ptr<FlowingHost> pFlow = StartFlowing();
    ASSERT_NE(nullptr, pFlow);
    hwtest::ScratchDirectory& root = pFlow->m_root;
    hwtest::ChildProcess& host = pFlow->m_host;
    size_t alerts = 0;
    for (int reload = 1; reload <= 20 && !HasFailure(); ++reload) {
        // A pushed policy makes the sensor pause its engines, delete every
        // rule and register a fresh policy event for each.
        hwtest::WriteWholeFile(root.File("push.policy"), FlowPolicy());
        ASSERT_EQ(0, ::kill(host.Pid(), SIGHUP));
        ASSERT_TRUE(hwtest::WaitUntil(
            [&] {
                return Count(hwtest::ReadWholeFile(root.File("hwhost.log")),
                             "hwhost: reload completed with status 1") == static_cast<size_t>(reload) ||
                       !host.IsRunning();
            },
            120));
        ASSERT_TRUE(host.IsRunning()) << hwtest::ReadWholeFile(root.File("hwhost.err"));
        alerts = AwaitMoreAlerts(root, alerts);
    }
    StopAndAccount(*pFlow);
}
