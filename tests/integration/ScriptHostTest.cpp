// Rule scripts end to end: hwhost with the real plug-in starts the script
// process, which validates each syslog alert with the rule's script.  The
// script turns one user's alert away and marks every other one.

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/NamespacedHost.h"

namespace {

// A syslog rule whose "Validation" script rejects the user "mallory" and
// leaves a "__qor_" variable on the alerts it accepts.
const std::string kScriptPolicy =
    "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t1;\r\n"
    "TclRequestQsize\t=L\t512;\r\n"
    "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Checked login\\];\r\n"
    "Enabled\t=B\t1;\r\nPriority\t=L\t2;\r\nAlert Type\t=S\tLoginEvent;\r\n"
    "Regular Expression\t=S\tlogin failed;\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Checked login\\Info\\];\r\nUser\t=S\t@Field4;\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Checked login\\Script\\];\r\n"
    "Enabled\t=B\t1;\r\nScriptType\t=S\tTCL;\r\n"
    "Procedures\t=S\tproc verdict {user} {\\n  return [expr {$user ne \"mallory\"}]\\n};\r\n"
    "Initial\t=S\tset checked 0;\r\n"
    "Validation\t=S\tincr checked\\nset __qor_verdict \"checked $checked\"\\n"
    "return [verdict $User];\r\n";

class ScriptHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
    }

    hwtest::NetworkNamespace m_namespace;
};

}  // namespace

TEST_F(ScriptHostTest, ValidationScriptRejectsOneAlertMarksTheOtherAndIsSentAgainAfterAReload) {
    hwtest::NamespacedHost host(m_namespace);
    host.WritePolicy(kScriptPolicy);
    ASSERT_TRUE(host.Start()) << host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return host.SyslogPortOpen(); }, 30));

    // One script process runs the validations in order, so once the second
    // alert is written the first one's fate is decided.
    ASSERT_TRUE(host.SendDatagram("<38>sshd[1]: login failed for mallory"));
    ASSERT_TRUE(host.SendDatagram("<38>sshd[1]: login failed for alice"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return host.Alerts().find("alice") != std::string::npos; },
                                  90))
        << host.Log();

    // A reload stops the process and starts a new one, which must get the
    // scripts again: its count starts afresh.
    ASSERT_TRUE(host.Reload(kScriptPolicy)) << host.ErrorsTail();
    ASSERT_TRUE(host.SendDatagram("<38>sshd[1]: login failed for bob"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return host.Alerts().find("bob") != std::string::npos; },
                                  90))
        << host.Log();

    int exitCode = -1;
    ASSERT_TRUE(host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << host.ErrorsTail();
    const std::string alerts = host.Alerts();
    EXPECT_EQ(2u, hwtest::CountOf(alerts, "</event>")) << alerts;
    EXPECT_EQ(std::string::npos, alerts.find("mallory")) << alerts;
    EXPECT_NE(std::string::npos, alerts.find("__qor_verdict")) << alerts;
    // Both first alerts went through the script, so alice's count is 2;
    // bob's is the first of the new process.
    EXPECT_NE(std::string::npos, alerts.find("checked 2")) << alerts;
    EXPECT_NE(std::string::npos, alerts.find("checked 1")) << alerts;
    const std::string errors = host.Errors();
    EXPECT_EQ(std::string::npos, errors.find("AddressSanitizer")) << host.ErrorsTail();
    EXPECT_EQ(std::string::npos, errors.find("runtime error")) << host.ErrorsTail();
}
