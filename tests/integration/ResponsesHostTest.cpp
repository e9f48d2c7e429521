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

#include "support/NamespacedHost.h"
#include "support/TrapManager.h"

namespace fs = std::filesystem;

namespace {

// The policy (one syslog rule whose user and free text come from the
// datagram, with three responses), the common policy defining them, and
// the golden mail.
const std::string kData = std::string(HW_SOURCE_DIR) + "/tests/integration/data/responses/";
// The manager the common policy names; hwhost's own default manager is
// a port where nothing listens, so the trap proves the policy's address.
constexpr unsigned short kTrapPort = 16162;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
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
        if (!hwtest::TrapManager::Available()) {
            GTEST_SKIP() << "snmptrapd is not installed (scripts/install-deps)";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
        ASSERT_TRUE(m_manager.Start([this](const auto& argv) { return m_namespace.Enter(argv); },
                                    kTrapPort))
            << m_manager.Log();
        fs::copy_file(kData + "Default.policy", m_host.File("Default.policy"));
        fs::copy_file(kData + "common.policy", m_host.File("common.policy"));
        ASSERT_TRUE(m_host.Start({"--snmp-manager", "127.0.0.1:16163"}, {"TZ=UTC"})) << m_host.Errors();
    }

    void Alert(const std::string& bytes) {
        ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.SyslogPortOpen(); }));
        ASSERT_TRUE(m_host.SendDatagram(bytes));
        ASSERT_TRUE(hwtest::WaitUntil([&] {
            return m_host.Alerts().find("Evil Login") != std::string::npos;
        })) << m_host.Log();
    }

    std::vector<std::string> Outbox() const { return hwtest::MailFiles(m_host.File("outbox")); }

    hwtest::NetworkNamespace m_namespace;
    hwtest::TrapManager m_manager;
    hwtest::NamespacedHost m_host{m_namespace};
};

}  // namespace

TEST_F(ResponsesHostTest, SyslogAlertIsMailedTrappedAndHandedToTheProgramIntact) {
    Alert("<13>Mar 14 10:15:20 gate sshd: EVIL say \"hi\"; $(id)\nrm -rf /");

    // The program: every value one argument, the line break a blank.
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_host.Output().find("[medium]\n") != std::string::npos;
    })) << m_host.Output()
        << m_host.Log();
    EXPECT_NE(std::string::npos, m_host.Output().find("[Evil Login]\n"
                                                      "[say \"hi\"; $(id) rm -rf /]\n"
                                                      "[-from]\n"
                                                      "[127.0.0.1]\n"
                                                      "[medium]\n"))
        << m_host.Output();

    // The mail: the default subject and body, byte for byte, the line break
    // a blank there too.
    char hostName[256] = {};
    ::gethostname(hostName, sizeof hostName - 1);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !Outbox().empty(); })) << m_host.Log();
    std::vector<std::string> mails = Outbox();
    ASSERT_EQ(1u, mails.size());
    const std::string expected =
        Replaced(hwtest::ReadWholeFile(kData + "syslog_alert.mail"), "@HOSTNAME@", hostName);
    EXPECT_EQ(expected, hwtest::ReadWholeFile(mails[0]));

    // The trap: enterprise specific, specific trap 4 for priority 2, and
    // the eleven values as the manager prints them.
    ASSERT_TRUE(m_manager.WaitFor(".1.1.2.1.1.1.1.11.0", 30)) << m_manager.Log() << m_host.Log();
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
            ";  UserName:say \\\"hi\\\"; $(id)\nrm -rf /;  AttackOrigin:Unknown;  Log Type:Syslog; "
            " "
            "User:say \\\"hi\\\"; $(id)\nrm -rf /;  Sender:127.0.0.1; \"",
    };
    for (size_t n = 1; n <= values.size(); ++n) {
        const std::string binding = prefix + std::to_string(n) + ".0 = " + values[n - 1];
        EXPECT_NE(std::string::npos, traps.find(binding)) << binding << "\n" << traps;
    }
}

// Whoever sends the datagram chooses how long its values are: a user of
// the longest length a value carries still makes every response.  The
// trap reaches the manager with its longest value cut to fit, which is
// said as the response's bound; the mail's long lines go quoted-printable;
// the program gets the user whole.
TEST_F(ResponsesHostTest, AlertWithValuesOfTheLongestLengthIsStillMailedTrappedAndHandedToTheProgram) {
    Alert("<13>Mar 14 10:15:20 gate sshd: EVIL " + std::string(5000, 'q'));
    const std::string user(4095, 'q');
    ASSERT_TRUE(m_manager.WaitFor(".1.1.2.1.1.1.1.11.0 = STRING: \" SystemAgent:", 30)) << m_manager.Log() << m_host.Log();
    EXPECT_NE(std::string::npos, m_manager.Log().find(".1.1.2.1.1.1.1.1.0 = STRING: \"Evil Login\"")) << m_manager.Log();
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return m_host.Errors().find("WARNING: Bound reached: the SNMP response \"Managers\": at most 1500 bytes a "
                                    "trap, its longest values cut; ") != std::string::npos;
    })) << m_host.Errors();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.Output().find("[" + user + "]\n") != std::string::npos; }))
        << m_host.Log();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !Outbox().empty(); })) << m_host.Log();
    const std::string mail = hwtest::ReadWholeFile(Outbox().at(0));
    EXPECT_NE(std::string::npos, mail.find("Content-Transfer-Encoding: quoted-printable\n")) << mail;
    EXPECT_NE(std::string::npos, mail.find("\tUser Name: qqqq")) << mail;
    EXPECT_EQ(std::string::npos, m_host.Errors().find("is not carried out")) << m_host.Errors();
}
