// What the docs say of rule scripts, of rules that share a name, and of a
// bound's report, held against the code: the worked script rule of
// rules.md, taken from the page as it stands, drops mallory's failed log-in
// and passes another user's under hwhost (in a private network namespace,
// root); the shared-name rows of troubleshooting.md name the rule a
// correlation rule counts as the load names it; the number of starts the
// README and rules.md give the script process is the handler's; the flood
// example of troubleshooting.md gives the text-log bound its number.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "TclHandler/tclHandler.h"
#include "TextLogs/LogGroup.h"
#include "docs/DocsTables.h"
#include "support/NamespacedHost.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

using hwdocs::kSource;

std::string Page(const char* pszName) { return hwtest::ReadWholeFile((kSource / pszName).string()); }

// A page's text with its line breaks as blanks: a sentence the page wraps
// reads as one line.
std::string Flowed(const std::string& strText) {
    std::string strFlowed;
    for (char c : strText) {
        strFlowed += c == '\n' ? ' ' : c;
    }
    return strFlowed;
}

// The first table row of troubleshooting.md whose message holds `strText`.
std::string TroubleshootingRow(const std::string& strText) {
    std::istringstream in(Page("docs/troubleshooting.md"));
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.rfind("| `", 0) == 0 && strLine.find(strText) != std::string::npos) {
            return strLine;
        }
    }
    return "";
}

class LoadDocsHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_Network.IsReady()) << m_Network.Error();
    }

    hwtest::NetworkNamespace m_Network;
    hwtest::NamespacedHost m_Host{m_Network};
};

}  // namespace

// rules.md's worked rule, as the page has it, on messages as a syslog
// sender writes them (time stamp, host and tag before the text): the
// script drops mallory's alert and marks alice's.  Beside it two rules of
// one name and a correlation rule watching the name: the load's warning
// names the rule the correlation rule counts as the troubleshooting rows
// say, the first of the two.
TEST_F(LoadDocsHostTest, WorkedScriptRuleDropsMalloryAndSharedNameRowsNameTheRuleCounted) {
    const std::string strRule = hwdocs::BlockHolding("rules.md", "Checked login");
    ASSERT_FALSE(strRule.empty());
    const std::string strTable = "\\Advanced\\Rules\\SysLog Rules\\";
    const std::string strUserTable = "\\Advanced\\userdefinedsignatures\\SysLog Rules\\";
    std::string strPolicy =
        "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t1;\r\n"
        "Nodekeeper\t=B\t0;\r\n[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[" + strTable + "];\r\n" +
        hwdocs::AsPolicyLines(strRule);
    for (const std::string& strBase : {strTable, strUserTable}) {
        strPolicy += "[" + strBase + "Failed su\\];\r\nEnabled\t=B\t1;\r\nRegular Expression\t=S\tsu failed;\r\n";
    }
    strPolicy += "[\\Advanced\\Rules\\Correlation Rules\\];\r\n"
                 "[\\Advanced\\Rules\\Correlation Rules\\Su storm\\];\r\nEnabled\t=B\t1;\r\n"
                 "Type\t=S\tCUMULATIVE;\r\nThreshold\t=L\t5;\r\n"
                 "[\\Advanced\\Rules\\Correlation Rules\\Su storm\\Rules\\];\r\nFailed su\t=S\t1;\r\n";
    m_Host.WritePolicy(strPolicy);
    ASSERT_TRUE(m_Host.Start()) << m_Host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Host.SyslogPortOpen(); }, 30));

    // The rows: the rules are R and Q in the order read, Q's responses are
    // carried out, and the correlation rule counts R's alerts.
    const std::string strShared = TroubleshootingRow("share the name");
    const std::string strCounted = TroubleshootingRow("counts only the alerts of");
    ASSERT_NE(std::string::npos, strShared.find("`Rules R and Q share the name \"N\": the host cannot tell their "
                                                "alerts apart and carries out the responses of Q"))
        << strShared;
    ASSERT_NE(std::string::npos, strCounted.find("`...; correlation rule X counts only the alerts of R`"))
        << strCounted;
    const std::string strSaid =
        "WARNING: Rules " + strTable + "Failed su and " + strUserTable +
        "Failed su share the name \"Failed su\": the host cannot tell their alerts apart and carries out "
        "the responses of " + strUserTable + "Failed su for all of them; correlation rule "
        "\\Advanced\\Rules\\Correlation Rules\\Su storm counts only the alerts of " + strTable + "Failed su\n";
    EXPECT_NE(std::string::npos, m_Host.Errors().find(strSaid)) << m_Host.ErrorsTail();

    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return m_Host.Log().find("Completed tcl script initialization!") != std::string::npos; }, 60))
        << m_Host.Log();
    ASSERT_TRUE(m_Host.SendDatagram("<38>Dec  7 00:37:12 web1 sshd[812]: login failed for mallory from "
                                    "203.0.113.5"));
    ASSERT_TRUE(m_Host.SendDatagram("<38>Dec  7 00:37:13 web1 sshd[813]: login failed for alice from "
                                    "198.51.100.7"));
    // One script process validates in order: once alice's alert is out,
    // mallory's was decided.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Host.Alerts().find("alice") != std::string::npos; }, 60))
        << m_Host.Log();
    int nExit = -1;
    ASSERT_TRUE(m_Host.Stop(nExit));
    const std::string strAlerts = m_Host.Alerts();
    EXPECT_EQ(1u, hwtest::CountOf(strAlerts, "</event>")) << strAlerts;
    EXPECT_EQ(std::string::npos, strAlerts.find("mallory")) << strAlerts;
    EXPECT_NE(std::string::npos, strAlerts.find("<param name='User' type='string' value='alice' />")) << strAlerts;
    EXPECT_NE(std::string::npos, strAlerts.find("checked 2")) << strAlerts;
}

// README and rules.md: three starts in ten minutes, the first and two
// restarts; the third end gives scripts up.
TEST(LoadDocs, ScriptProcessStartsTheDocsGiveAreTheHandlers) {
    tclHandler handler("hwtest.docs.store");
    EXPECT_EQ(3, handler.GetRestartLimit());
    EXPECT_EQ(600, tclHandler::kRestartWindowSeconds);
    EXPECT_NE(std::string::npos,
              Flowed(Page("README.md"))
                  .find("The process is started at most three times in ten minutes (the first start and "
                        "two restarts); when it ends a third time, scripts are given up until the next "
                        "reload, a SIGHUP included, starts it again;"));
    const std::string strRules = Flowed(Page("docs/rules.md"));
    EXPECT_NE(std::string::npos,
              strRules.find("The process is started at most three times within ten minutes: when it ends "
                            "the third time, scripts are given up until the next reload"));
    EXPECT_EQ(std::string::npos, strRules.find("restarted three times")) << "a third restart never comes";
}

// troubleshooting.md's flood example: the text-log bound's number is the
// engine's.
TEST(LoadDocs, FloodExampleGivesTheFilesBoundItsNumber) {
    const std::string strExample = hwdocs::BlockHolding("troubleshooting.md", "files followed");
    ASSERT_FALSE(strExample.empty());
    const std::regex followed("at most ([0-9]+) files followed");
    size_t nSeen = 0;
    for (std::sregex_iterator it(strExample.begin(), strExample.end(), followed), end; it != end; ++it) {
        EXPECT_EQ(std::to_string(CLogGroup::kMaxFilesFollowed), (*it)[1].str()) << strExample;
        ++nSeen;
    }
    EXPECT_EQ(2u, nSeen) << strExample;
}
