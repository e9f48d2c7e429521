// The responses end to end: the real hwhost with the real plug-in in a
// private network namespace (so the syslog engine owns UDP port 514), one
// syslog datagram whose text is hostile, and what hwhost makes of the
// rule's responses: the mail in the outbox, the trap a real manager
// receives, and the arguments a real program is started with.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"
#include "support/TrapManager.h"

namespace fs = std::filesystem;

namespace {

const std::string kHwhost = std::string(HW_BINARY_DIR) + "/bin/hwhost";
// The policy (one syslog rule whose user and free text come from the
// datagram, with three responses), the common policy defining them, and
// the golden mail.
const std::string kData = std::string(HW_SOURCE_DIR) + "/tests/integration/data/responses/";
constexpr unsigned short kTrapPort = 16162;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class ResponsesHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        if (!hwtest::TrapManager::Available() || hwtest::FindProgram("socat").empty()) {
            GTEST_SKIP() << "snmptrapd or socat is not installed (scripts/install-deps)";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
        ASSERT_TRUE(m_manager.Start([this](const auto& argv) { return m_namespace.Enter(argv); },
                                    kTrapPort))
            << m_manager.Log();
        fs::copy_file(kData + "Default.policy", m_root.File("Default.policy"));
        fs::copy_file(kData + "common.policy", m_root.File("common.policy"));
        ASSERT_TRUE(m_host.Start(
            m_namespace.Enter({kHwhost, "run", "--root", m_root.Path(), "--alerts",
                               m_root.File("alerts.xml"), "--log", m_root.File("hwhost.log"),
                               "--snmp-manager", "127.0.0.1:" + std::to_string(kTrapPort)}),
            m_root.File("hwhost.out"), {"TZ=UTC"}));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return Output().find("hwhost: sensor started") !=
                                                   std::string::npos ||
                                               !m_host.IsRunning(); },
                                      60) &&
                    m_host.IsRunning())
            << Output();
    }

    void TearDown() override {
        if (m_host.Pid() > 0 && m_host.IsRunning()) {
            ::kill(m_host.Pid(), SIGTERM);
            int exitCode = 0;
            m_host.Wait(120, exitCode);
        }
    }

    // hwhost's console and the programs it starts share one output.
    std::string Output() const { return hwtest::ReadWholeFile(m_root.File("hwhost.out")); }
    std::string Log() const { return hwtest::ReadWholeFile(m_root.File("hwhost.log")); }

    // Exactly these bytes as one datagram to the syslog port.
    void Send(const std::string& bytes) {
        hwtest::ChildProcess sender;
        ASSERT_TRUE(sender.Start(m_namespace.Enter({"socat", "-u", "STDIN", "UDP-SENDTO:127.0.0.1:514"}),
                                 m_root.File("socat.out"), {}, true));
        sender.WriteStdin(bytes);
        sender.CloseStdin();
        int exitCode = -1;
        ASSERT_TRUE(sender.Wait(30, exitCode));
        ASSERT_EQ(0, exitCode);
    }

    // Sends the datagram until the sensor has taken it (UDP may drop it
    // before the listener is up).
    void Alert(const std::string& bytes) {
        bool bTaken = false;
        for (int attempt = 0; attempt < 10 && !bTaken; ++attempt) {
            Send(bytes);
            bTaken = hwtest::WaitUntil(
                [&] {
                    return hwtest::ReadWholeFile(m_root.File("alerts.xml")).find("Evil Login") !=
                           std::string::npos;
                },
                5.0);
        }
        ASSERT_TRUE(bTaken) << Log();
    }

    std::vector<fs::path> Outbox() const {
        std::vector<fs::path> files;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(m_root.File("outbox"), ignored)) {
            if (entry.path().extension() == ".mail") {
                files.push_back(entry.path());
            }
        }
        return files;
    }

    hwtest::NetworkNamespace m_namespace;
    hwtest::TrapManager m_manager;
    hwtest::ScratchDirectory m_root;
    hwtest::ChildProcess m_host;
};

}  // namespace

TEST_F(ResponsesHostTest, SyslogAlertIsMailedTrappedAndHandedToTheProgramIntact) {
    Alert("<13>Mar 14 10:15:20 gate sshd: EVIL say \"hi\"; $(id)\nrm -rf /");

    // The program: every value one argument, the line break a blank.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Output().find("[medium]\n") != std::string::npos; }))
        << Output() << Log();
    EXPECT_NE(std::string::npos, Output().find("[Evil Login]\n"
                                               "[say \"hi\"; $(id) rm -rf /]\n"
                                               "[-from]\n"
                                               "[127.0.0.1]\n"
                                               "[medium]\n"))
        << Output();

    // The mail: the default subject and body, byte for byte.
    char hostName[256] = {};
    ::gethostname(hostName, sizeof hostName - 1);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !Outbox().empty(); })) << Log();
    std::vector<fs::path> mails = Outbox();
    ASSERT_EQ(1u, mails.size());
    const std::string expected =
        Replaced(hwtest::ReadWholeFile(kData + "syslog_alert.mail"), "@HOSTNAME@", hostName);
    EXPECT_EQ(expected, hwtest::ReadWholeFile(mails[0].string()));

    // The trap: enterprise specific, specific trap 4 for priority 2, and
    // the eleven values as the manager prints them.
    ASSERT_TRUE(m_manager.WaitFor(".1.1.2.1.1.1.1.11.0", 30)) << m_manager.Log() << Log();
    const std::string traps = m_manager.Log();
    EXPECT_NE(std::string::npos, traps.find("TRAP, SNMP v1, community hwtest")) << traps;
    EXPECT_NE(std::string::npos, traps.find("Enterprise Specific Trap (4)")) << traps;
    const std::string prefix = ".1.3.6.1.4.1.32473.1.1.2.1.1.1.1.";
    const std::vector<std::string> values = {
        "STRING: \"Evil Login\"",
        "STRING: \"Tue, 14 Mar 2006 10:15:20 +0000\"",
        "STRING: \"Unassigned (253)\"",
        "STRING: \"127.0.0.1\"",
        "STRING: \"127.0.0.1\"",
        "STRING: \"None\"",
        "STRING: \"None\"",
        "STRING: \"0\"",
        "STRING: \"0\"",
        "STRING: \"EMAIL=Admins:0,SNMP=Managers:0,USER SPECIFIED=Echo:0\"",
        "STRING: \" SystemAgent:" + std::string(hostName) +
            ";  UserName:say \\\"hi\\\"; $(id)\nrm -rf /;  AttackOrigin:Unknown;  Log Type:Syslog;  "
            "User:say \\\"hi\\\"; $(id)\nrm -rf /;  Sender:127.0.0.1; \"",
    };
    for (size_t n = 1; n <= values.size(); ++n) {
        const std::string binding = prefix + std::to_string(n) + ".0 = " + values[n - 1];
        EXPECT_NE(std::string::npos, traps.find(binding)) << binding << "\n" << traps;
    }
}
