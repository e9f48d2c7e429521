// The names rules alert under, and what the host learns only as their
// alerts come, through the real hwhost with the real plug-in in a private
// network namespace: a rule named by its SecCheckId alerts under that name;
// a push whose rules share a name (a decoy rule named like a syslog rule
// that a correlation rule watches), whose file gives a section twice, or
// whose response is switched off but keeps its choice, is applied with a
// warning for each, naming every place, and ends with exit code 4; and a
// response that cannot be carried out is said on the console at its first
// alert, kept in hwhost.status and counted at the stop.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/NamespacedHost.h"

namespace {

constexpr char kSyslogTable[] = "\\Advanced\\Rules\\SysLog Rules\\";
constexpr char kDecoyTable[] = "\\Advanced\\Rules\\Suspicious Port Rules\\";
constexpr char kAttack[] = "\\Advanced\\Rules\\Correlation Rules\\Password attack";

// Failed log-ins (weight 1) and failed su (weight 2) adding up to 3 raise
// "Password attack"; "Root su" alerts under its SecCheckId.  No network
// engine: its module's files are not in the root.
std::string Policy() {
    std::string policy = hwtest::SyslogPolicy({{"Failed log-in", "Failed password"}, {"Failed su", "FAILED SU"}});
    const std::string scripts = "ScriptEnabled\t=B\t0;\r\n";
    policy.insert(policy.find(scripts) + scripts.size(), "Nodekeeper\t=B\t0;\r\n");
    return policy +
           "[\\Advanced\\Rules\\SysLog Rules\\Root su\\];\r\nEnabled\t=B\t1;\r\nSecCheckId\t=S\tHW-V4;\r\n"
           "Regular Expression\t=S\tSuccessful su for root;\r\n"
           "[\\Advanced\\Rules\\Correlation Rules\\];\r\n"
           "[\\Advanced\\Rules\\Correlation Rules\\Password attack\\];\r\n"
           "Enabled\t=B\t1;\r\nPriority\t=L\t1;\r\nAlert Type\t=S\tUserAbnormalActivity;\r\n"
           "Type\t=S\tCUMULATIVE;\r\nThreshold\t=L\t3;\r\nTime Window\t=L\t300;\r\n"
           "[\\Advanced\\Rules\\Correlation Rules\\Password attack\\Rules\\];\r\n"
           "Failed log-in\t=S\t1;\r\nFailed su\t=S\t2;\r\n";
}

// The line of `text` (1 for the first) on which `marker` begins the
// `nth` time.
size_t LineOf(const std::string& text, const std::string& marker, size_t nth) {
    size_t at = std::string::npos;
    for (size_t n = 0; n < nth; ++n) {
        at = text.find(marker, at == std::string::npos ? 0 : at + 1);
    }
    return at == std::string::npos ? 0 : 1 + std::count(text.begin(), text.begin() + at, '\n');
}

class RuleNamesHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
        m_host.WritePolicy(Policy());
        ASSERT_TRUE(m_host.Start({}, {"HW_DECOY_FIRST_WAIT_MS=200"})) << m_host.ErrorsTail();
        ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.SyslogPortOpen(); })) << m_host.Log();
    }

    hwtest::NetworkNamespace m_namespace;
    hwtest::NamespacedHost m_host{m_namespace};
};

}  // namespace

TEST_F(RuleNamesHostTest, RuleNamedBySecCheckIdAlertsUnderThatNameWithNameType1) {
    ASSERT_TRUE(m_host.SendDatagram("<38>su[9]: Successful su for root by alice"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.Alerts().find("</event>") != std::string::npos; }))
        << m_host.Log();
    EXPECT_NE(std::string::npos, m_host.Alerts().find("alert-name-type='1' alert-name='HW-V4'")) << m_host.Alerts();
    EXPECT_EQ(std::string::npos, m_host.Log().find("no alert event")) << m_host.Log();
    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
}

TEST_F(RuleNamesHostTest, SharedNameRepeatedSectionAndResponseSwitchedOffAreWarnedAndPushEndsWith4) {
    const std::string failedLogIn = std::string("[") + kSyslogTable + "Failed log-in\\];\r\n";
    const std::string pushed = Policy() +
                               "[\\Advanced\\Rules\\Suspicious Port Rules\\];\r\n"
                               "[\\Advanced\\Rules\\Suspicious Port Rules\\Failed su\\];\r\n"
                               "Enabled\t=B\t1;\r\nPort\t=L\t2323;\r\n"
                               "[\\Advanced\\Rules\\SysLog Rules\\Failed log-in\\Response\\EMAIL\\];\r\n"
                               "Enabled\t=B\t0;\r\nChoice\t=S\tAdmins;\r\n" +
                               failedLogIn + "Priority\t=L\t1;\r\n";
    const std::string first = std::to_string(LineOf(pushed, failedLogIn, 1));
    const std::string second = std::to_string(LineOf(pushed, failedLogIn, 2));
    // The host's own policy file is read the same way.
    hwtest::WriteWholeFile(m_host.File("common.policy"),
                           "Host Warden common policy\r\n[\\];\r\n[\\Response\\];\r\n[\\Response\\EMAIL\\];\r\n"
                           "[\\Response\\EMAIL\\Admins\\];\r\nTo\t=S\tops@example.org;\r\n"
                           "[\\Response\\EMAIL\\Admins\\];\r\nTo\t=S\tother@example.org;\r\n");

    std::string output;
    EXPECT_EQ(4, m_host.Push(pushed, output)) << output;

    for (const std::string& warning :
         {"WARNING: push.policy line " + second + ": the section [" + kSyslogTable +
              "Failed log-in\\] is given a second time (first at line " + first +
              "): its values are read into the same key, where a value given in both takes the one at line " +
              second,
          std::string("WARNING: Rules ") + kDecoyTable + "Failed su and " + kSyslogTable +
              "Failed su share the name \"Failed su\": the host cannot tell their alerts apart and carries out "
              "the responses of " +
              kSyslogTable + "Failed su for all of them; correlation rule " + kAttack +
              " counts only the alerts of " + kDecoyTable + "Failed su",
          std::string("WARNING: hwhost: common.policy line 7: the section [\\Response\\EMAIL\\Admins\\] is given "
                      "a second time (first at line 5): its values are read into the same key, where a value "
                      "given in both takes the one at line 7"),
          std::string("WARNING: Rule ") + kSyslogTable +
              "Failed log-in: the response EMAIL is not enabled but has the choice \"Admins\", and a response "
              "with a choice is carried out whatever \"Enabled\" says: remove its \"Choice\" to switch it "
              "off"}) {
        EXPECT_NE(std::string::npos, output.find(warning + "\n")) << warning << "\n" << output;
    }
    EXPECT_EQ(4u, hwtest::CountOf(output, "WARNING: ")) << output;
    EXPECT_EQ(0u, hwtest::CountOf(output, "ERROR: ")) << output;
    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
}

TEST_F(RuleNamesHostTest, ResponseThatCannotBeCarriedOutIsSaidAtOnceKeptInTheStatusAndCountedAtTheStop) {
    hwtest::WriteWholeFile(m_host.File("common.policy"),
                           "Host Warden common policy\r\n[\\];\r\n[\\Response\\];\r\n"
                           "[\\Response\\USER SPECIFIED\\];\r\n[\\Response\\USER SPECIFIED\\Pager\\];\r\n"
                           "Program\t=S\t/nonexistent/pager;\r\n");
    std::string output;
    // The load names the program it cannot run; the alerts still try it.
    ASSERT_EQ(4, m_host.Push(Policy() + "[\\Advanced\\Rules\\SysLog Rules\\Failed su\\Response\\USER SPECIFIED\\];\r\n"
                                        "Enabled\t=B\t1;\r\nChoice\t=S\tPager;\r\n",
                             output))
        << output;
    EXPECT_NE(std::string::npos,
              output.find("ERROR: hwhost: common.policy: the response USER SPECIFIED \\ Pager has the \"Program\" "
                          "\"/nonexistent/pager\", which cannot be run: No such file or directory; each alert "
                          "that chooses it fails to start it\n"))
        << output;
    const std::string problem = "the USER SPECIFIED response \"Pager\" is not carried out: the program "
                                "\"/nonexistent/pager\" could not be started";

    for (int n = 1; n <= 2; ++n) {
        ASSERT_TRUE(m_host.SendDatagram("<38>su[8]: FAILED SU (to root) mallory on pts/" + std::to_string(n)));
        ASSERT_TRUE(hwtest::WaitUntil(
            [&] { return hwtest::CountOf(m_host.Alerts(), "alert-name='Failed su'") >= static_cast<size_t>(n); }))
            << m_host.Log();
    }
    // Said once, at the first alert, and kept among what was learnt about
    // the policy in force.
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return hwtest::ReadWholeFile(m_host.File("hwhost.status")).find(problem) != std::string::npos; }))
        << m_host.ErrorsTail();
    // With the reason the start met.
    EXPECT_EQ(1u, hwtest::CountOf(m_host.Errors(), "ERROR: hwhost: " + problem + ": No such file or directory\n"))
        << m_host.ErrorsTail();

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_NE(std::string::npos, m_host.Errors().find("WARNING: hwhost: at the stop: " + problem + " (2 times)\n"))
        << m_host.ErrorsTail();
}
