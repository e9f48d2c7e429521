// What the docs say a syslog rule reads and what becomes of the syslog
// port, held against hwhost in a private network namespace: the pages'
// own rule and lines, quoted from them, against what the host does.
//   bounds.md, rules-logs.md: a rule's pattern, fields and templates read
//     the whole datagram, wherever its sender put what they name, and a
//     value is at most 4,095 bytes, the cut said as the page shows it;
//   running.md: a syslog port held at the start is said as the page shows
//     it, and, once free, bound again by the next push.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "docs/DocsTables.h"
#include "support/ChildProcess.h"
#include "support/NamespacedHost.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

using hwdocs::kSource;

// A page with every run of blanks and line ends made one blank, so a
// sentence is found however the page's lines break it.
std::string FlatPage(const std::string& strName) {
    const std::string strPage = hwtest::ReadWholeFile((kSource / "docs" / strName).string());
    std::string strFlat;
    for (const char c : strPage) {
        const bool bBlank = c == ' ' || c == '\n' || c == '\r' || c == '\t';
        if (!bBlank) {
            strFlat += c;
        } else if (!strFlat.empty() && strFlat.back() != ' ') {
            strFlat += ' ';
        }
    }
    return strFlat;
}

// The text between the backticks that follow `strStart` on the flat page.
std::string Quoted(const std::string& strFlat, const std::string& strStart) {
    const size_t nAt = strFlat.find("`" + strStart);
    if (nAt == std::string::npos) {
        return "";
    }
    return strFlat.substr(nAt + 1, strFlat.find('`', nAt + 1) - nAt - 1);
}

std::string Replaced(std::string strText, const std::string& strFrom, const std::string& strTo) {
    const size_t nAt = strText.find(strFrom);
    return nAt == std::string::npos ? strText : strText.replace(nAt, strFrom.size(), strTo);
}

// The line of a fenced block of the page that begins with `strStart`.
std::string BlockLine(const std::string& strFile, const std::string& strStart) {
    for (const hwdocs::CodeBlock& block : hwdocs::ReadCodeBlocks()) {
        if (fs::path(block.m_strFile).filename() != strFile) {
            continue;
        }
        std::istringstream in(block.m_strText);
        for (std::string strLine; std::getline(in, strLine);) {
            if (strLine.rfind(strStart, 0) == 0) {
                return strLine;
            }
        }
    }
    return "";
}

// A parameter of the first alert document in `strAlerts` after `strAfter`.
std::string Param(const std::string& strAlerts, const std::string& strAfter, const std::string& strName) {
    return hwtest::AlertParam(strAlerts, strName, strAlerts.find(strAfter));
}

class ValuesDocsTest : public ::testing::Test {
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

TEST_F(ValuesDocsTest, SyslogRulesReadTheWholeDatagramAndACutValueIsSaidAsThePagesSay) {
    const std::string strBounds = FlatPage("bounds.md");
    const std::string strRules = FlatPage("rules-logs.md");
    ASSERT_NE(strBounds.find("A rule's pattern, its fields and its templates all read the whole text "
                             "of the datagram, every byte of it: where in it a sender puts a user "
                             "name or an address, and whatever bytes (NUL and other control bytes "
                             "among them) come before, changes nothing"),
              std::string::npos);
    ASSERT_NE(strRules.find("The fields and templates of the rule's information pairs read the same "
                            "whole text, so a user or an address is found wherever in the datagram "
                            "its sender put it, after any length of padding. A value is at most "
                            "4,095 bytes"),
              std::string::npos);
    const std::string strCut = Quoted(strBounds, "Bound reached: rule Web login, information pair Request");
    ASSERT_NE(strCut.find("<n> bytes left out"), std::string::npos) << strCut;

    // The page's worked rule, and a rule whose value runs to the end of the
    // text when its suffix does not follow.
    const std::string strWorked =
        hwdocs::AsPolicyLines(hwdocs::BlockHolding("rules-logs.md", "SysLog Rules\\Failed su\\]"));
    ASSERT_FALSE(strWorked.empty());
    m_Host.WritePolicy(hwtest::SyslogPolicy({{"Web login",
                                              "authentication failed for user",
                                              {{"User", "for user {!} from"},
                                               {"Request", "via web {!} end"}}}}) +
                       strWorked);
    ASSERT_TRUE(m_Host.Start()) << m_Host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Host.SyslogPortOpen(); }));

    const std::string strPadding(2000, '.');
    // A NUL in the padding hides nothing after it.
    ASSERT_TRUE(m_Host.SendDatagram("<13>Dec  7 00:37:12 web1 " + strPadding + std::string(1, '\0') +
                                    " su: FAILED SU (to root) alice on pts/0"));
    ASSERT_TRUE(m_Host.SendDatagram(strPadding + " authentication failed for user mallory from " +
                                    "203.0.113.5 via web " + std::string(5000, 'q')));
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        const std::string strAlerts = m_Host.Alerts();
        return strAlerts.find("alert-name='Failed su'") != std::string::npos &&
               strAlerts.find("value='mallory'") != std::string::npos;
    })) << m_Host.ErrorsTail();
    const std::string strAlerts = m_Host.Alerts();
    EXPECT_EQ(Param(strAlerts, "alert-name='Failed su'", "User"), "alice");
    EXPECT_EQ(Param(strAlerts, "alert-name='Web login'", "Request"), std::string(4095, 'q'));
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Errors().find(Replaced(strCut, "<n>", "905")) != std::string::npos;
    })) << strCut << "\n"
        << m_Host.ErrorsTail();
}

TEST_F(ValuesDocsTest, HeldSyslogPortIsSaidAsTheRunningPageShowsAndTheNextPushBindsIt) {
    const std::string strHeld = BlockLine("running.md", "ERROR: Syslog port (514) already in use on system.");
    ASSERT_NE(strHeld.find("Syslog input stays off until the port is tried again: at the next reload "
                           "(a push or SIGHUP), resume or restart."),
              std::string::npos)
        << strHeld;

    const std::string strPolicy = hwtest::SyslogPolicy({{"Any", "x"}});
    m_Host.WritePolicy(strPolicy);
    hwtest::ChildProcess holder;
    ASSERT_TRUE(holder.Start(m_Network.Enter({"socat", "-u", "UDP-RECV:514", "OPEN:/dev/null"})));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Host.SyslogPortOpen(); }));
    ASSERT_TRUE(m_Host.Start()) << m_Host.ErrorsTail();
    const std::string strSaid =
        Replaced(strHeld, "rsyslogd (pid 812)", "socat (pid " + std::to_string(holder.Pid()) + ")");
    EXPECT_NE(m_Host.Errors().find(strSaid + "\n"), std::string::npos) << strSaid << "\n"
                                                                        << m_Host.ErrorsTail();

    holder.Stop();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !m_Host.SyslogPortOpen(); }));
    // The push's summary says the engine has its port again (this bare
    // root lacks the network engine's files, which the push also says).
    std::string strOutput;
    EXPECT_NE(m_Host.Push(strPolicy, strOutput), -1);
    EXPECT_NE(strOutput.find("  NT Syslog: 1 rule; UDP port 514\n"), std::string::npos) << strOutput;
    EXPECT_TRUE(m_Host.SyslogPortOpen());
}
