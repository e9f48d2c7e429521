// hwhost as an operator meets it: the demo starts clean, and a mistyped
// policy says what is wrong with which rule instead of quietly meaning
// something else.  Each runs in a private network namespace (root), which
// lets the demo own its fixed ports.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/NamespacedHost.h"

namespace fs = std::filesystem;

namespace {

const fs::path kDemo = fs::path(HW_SOURCE_DIR) / "examples/demo";
const std::string kHwHost = std::string(HW_BINARY_DIR) + "/bin/hwhost";

class OperatorHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
    }

    // The demo root in the host's root, its policy changed by `edit`.
    std::string CopyDemo(hwtest::NamespacedHost& host) {
        const fs::path root = fs::path(host.File("Default.policy")).parent_path();
        fs::copy(kDemo, root, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        std::string strPolicy = hwtest::ReadWholeFile((root / "Default.policy").string());
        Replace(strPolicy, "@SENSOR_ROOT@", root.string());
        hwtest::StandInForDemoAuthLog(strPolicy, root.string());
        return strPolicy;
    }

    static void Replace(std::string& strText, const std::string& strOld,
                        const std::string& strNew) {
        const size_t nAt = strText.find(strOld);
        ASSERT_NE(std::string::npos, nAt) << strOld;
        strText.replace(nAt, strOld.size(), strNew);
    }

    static std::vector<std::string> LinesWith(const std::string& strText,
                                              const std::string& strMark) {
        std::vector<std::string> lines;
        std::istringstream in(strText);
        std::string strLine;
        while (std::getline(in, strLine)) {
            if (strLine.find(strMark) != std::string::npos) {
                lines.push_back(strLine);
            }
        }
        return lines;
    }

    hwtest::NetworkNamespace m_namespace;
};

}  // namespace

// The demo's own policy is valid: neither start-up nor stop says ERROR on
// the console or in the log, and the console holds nothing but the
// summary and the engines' own notes.
TEST_F(OperatorHostTest, DemoStartsAndStopsWithoutAnErrorLine) {
    hwtest::NamespacedHost host(m_namespace);
    host.WritePolicy(CopyDemo(host));
    // As scripts/run starts it: the network engine watches the replay
    // adapter.
    const std::string strRoot = fs::path(host.File("Default.policy")).parent_path().string();
    fs::create_directories(strRoot + "/replay");
    ASSERT_TRUE(host.Start(
        {}, {"HW_DECOY_FIRST_WAIT_MS=200",
             "HW_PACKET_REPLAY=" + strRoot + "/captures/network-attacks.pcap",
             "HW_PACKET_MONITOR=\\Device\\replay0", "HW_PACKET_REPLAY_OUT=" + strRoot + "/replay",
             "HW_PACKET_REPLAY_PACE=1"}))
        << host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return host.Errors().find("Now waiting for connections") != std::string::npos; }));
    int nExit = -1;
    ASSERT_TRUE(host.Stop(nExit));
    EXPECT_EQ(0, nExit);

    const std::string strConsole = host.Errors();
    EXPECT_EQ(std::vector<std::string>{}, LinesWith(strConsole, "ERROR")) << strConsole;
    EXPECT_EQ(std::vector<std::string>{}, LinesWith(strConsole, "WARNING")) << strConsole;
    EXPECT_EQ(std::string::npos, strConsole.find("Created Mutex")) << strConsole;
    // Nothing the load logged on its own thread either (lines that reach
    // the log only, such as an undefined response choice).
    EXPECT_EQ(std::string::npos, strConsole.find("hwhost: the policy was accepted with"))
        << strConsole;
    // A note the packet library's load asks the console for is there in
    // the operator's words; the source positions stay in the log.
    EXPECT_EQ(std::vector<std::string>{}, LinesWith(strConsole, ".cpp:")) << strConsole;
    EXPECT_EQ(1u, hwtest::CountOf("\n" + strConsole, "\nINFO: Successfully loaded the Duskwall driver\n"))
        << strConsole;
    EXPECT_NE(std::string::npos, host.Log().find(".cpp:"));
    EXPECT_NE(std::string::npos, strConsole.find("  NT Syslog: 2 rules; UDP port 514\n"))
        << strConsole;
    EXPECT_NE(std::string::npos,
              strConsole.find("  IDS Engine: 7 rules; adapters \\Device\\replay0\n"))
        << strConsole;
    EXPECT_NE(
        std::string::npos,
        strConsole.find("  Text Log Monitor: 3 rules; log groups Auth log, Demo application\n"))
        << strConsole;
    // The script handler's thread gives its end at the error level, whatever
    // ended it; at a stop that is no fault.
    std::vector<std::string> errors = LinesWith(host.Log(), " ERROR ");
    std::erase_if(errors, [](const std::string& strLine) {
        return strLine.ends_with(": TclHandler exiting...");
    });
    EXPECT_EQ(std::vector<std::string>{}, errors) << host.Log();
}

// A misspelled key and a value of the wrong kind each give one warning
// naming the rule, the key and the value, on the console and in the log;
// the rule then does what the policy as read says.
TEST_F(OperatorHostTest, MisspelledKeyAndWrongKindAreWarnedWithRuleKeyAndValue) {
    hwtest::NamespacedHost host(m_namespace);
    std::string strPolicy = CopyDemo(host);
    Replace(strPolicy, "Regular Expression\t=S\tsu(", "Regular Expresion\t=S\tsu(");
    Replace(strPolicy, "Port\t=L\t2323;", "Port\t=S\t2323;");
    host.WritePolicy(strPolicy);
    ASSERT_TRUE(host.Start()) << host.ErrorsTail();

    const std::string strRules = "\\Advanced\\Rules\\";
    const std::string strMisspelled =
        "Rule " + strRules +
        "SysLog Rules\\Failed su: no reader of the \"SysLog Rules\" rules "
        "knows \"Regular Expresion\" (\"su(\\[[0-9]+\\])?: .*(authentication failure|FAILED "
        "SU)\"); "
        "it has no effect";
    const std::string strMatchesAll =
        "Rule " + strRules +
        "SysLog Rules\\Failed su has no \"Regular Expression\": it matches "
        "every message";
    const std::string strWrongKind =
        "Rule " + strRules +
        "Suspicious Port Rules\\Alternate telnet: \"Port\" is a text (=S), "
        "\"2323\", but is read as a number (=L); the default \"-1\" is used";
    const std::string strConsole = host.Errors();
    for (const std::string& strSaid : {strMisspelled, strMatchesAll, strWrongKind}) {
        EXPECT_EQ(1u, hwtest::CountOf(strConsole, "WARNING: " + strSaid + "\n")) << strConsole;
        EXPECT_EQ(1u, hwtest::CountOf(host.Log(), strSaid)) << strSaid;
    }
    // The decoy rule without its port is left out; the rule without its
    // pattern fires on any message, as the warning said it would.
    EXPECT_NE(std::string::npos,
              strConsole.find("  Decoy Engine: 3 rules; TCP ports 23, 139, 3389"))
        << strConsole;
    ASSERT_TRUE(hwtest::WaitUntil([&] { return host.SyslogPortOpen(); }));
    ASSERT_TRUE(host.SendDatagram("<78>CROND[4242]: (root) CMD (run-parts /etc/cron.hourly)"));
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return host.Alerts().find("alert-name='Failed su'") != std::string::npos;
    })) << host.Alerts();
}

// Without common.policy the demo's network rule chooses a block response
// that is not defined: start-up says that error in full, before the verdict
// that counts it, as it says warnings, and no log line reaches the console.
TEST_F(OperatorHostTest, StartWithoutCommonPolicyPrintsItsErrorsInFull) {
    hwtest::NamespacedHost host(m_namespace);
    host.WritePolicy(CopyDemo(host));
    fs::remove(host.File("common.policy"));
    ASSERT_TRUE(host.Start()) << host.ErrorsTail();

    const std::string strConsole = host.Errors();
    const std::string strError =
        "\nERROR: Block Response Choice[Default] Not Found for Rule: Payload_Cmd_Exe\n";
    EXPECT_EQ(1u, hwtest::CountOf(strConsole, strError)) << strConsole;
    const size_t nVerdict = strConsole.find("hwhost: the policy was accepted with 1 error");
    EXPECT_LT(strConsole.find(strError), nVerdict) << strConsole;
    EXPECT_LT(nVerdict, strConsole.find("hwhost: sensor started on ")) << strConsole;
    EXPECT_EQ(std::vector<std::string>{}, LinesWith(strConsole, ".cpp:")) << strConsole;
}

// A push to a paused sensor is applied, but no rule sees anything until the
// resume: push says so and how to resume, counts no finding for the inputs
// the pause closed, and ends with the code docs/policy.md gives it.  The
// resume opens the inputs again.
TEST_F(OperatorHostTest, PushWhilePausedSaysPausedAndCountsNoFinding) {
    hwtest::NamespacedHost host(m_namespace);
    const std::string strPolicy = CopyDemo(host);
    host.WritePolicy(strPolicy);
    ASSERT_TRUE(host.Start()) << host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return host.SyslogPortOpen(); }));
    host.Signal(SIGUSR1);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return host.Log().find("hwhost: pause completed with status 1") != std::string::npos;
    })) << host.Log();
    // Closed by the pause; the system may list the socket a moment longer
    // (while any other reference to it lasts), so the test waits for the
    // listing, not for the instant.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !host.SyslogPortOpen(); }))
        << hwtest::ReadWholeFile("/proc/" + std::to_string(m_namespace.HolderPid()) + "/net/udp") << host.Log();

    const std::string strPushed = host.File("edited.policy");
    hwtest::WriteWholeFile(strPushed, strPolicy);
    hwtest::ChildProcess push;
    const std::string strOut = host.File("push.out");
    ASSERT_TRUE(push.Start({kHwHost, "push", "--root", host.Root(), "--wait", "120", strPushed},
                           strOut));
    int nExit = -1;
    ASSERT_TRUE(push.Wait(180, nExit));
    const std::string strSaid = hwtest::ReadWholeFile(strOut);
    EXPECT_EQ(5, nExit) << strSaid;
    EXPECT_NE(std::string::npos,
              strSaid.find("hwhost: the sensor is paused: its inputs stay closed, and these rules "
                           "see nothing, until it resumes at SIGUSR2 (kill -USR2 " +
                           std::to_string(host.Pid()) + ")\n"))
        << strSaid;
    EXPECT_NE(std::string::npos, strSaid.find("\n  NT Syslog: 2 rules; paused: ")) << strSaid;
    // The reload closed the web-server ring; the resume opens it again.
    EXPECT_NE(std::string::npos,
              strSaid.find("\n  WebPlugin: 0 rules; paused: web-server event ring, opened when the "
                           "engine resumes\n"))
        << strSaid;
    for (const char* pszNot : {"WITHOUT INPUT", "WARNING", "ERROR"}) {
        EXPECT_EQ(std::string::npos, strSaid.find(pszNot)) << strSaid;
    }
    const std::string strStatus = hwtest::ReadWholeFile(host.File("hwhost.status"));
    EXPECT_NE(std::string::npos, strStatus.find("\taccepted\t")) << strStatus;
    // The state, then no finding learnt after the load.
    EXPECT_EQ(strStatus.size() - 9, strStatus.rfind("\tpaused\t\n")) << strStatus;

    host.Signal(SIGUSR2);
    EXPECT_TRUE(hwtest::WaitUntil([&] { return host.SyslogPortOpen(); })) << host.Log();
}
