// What the docs say the sensor does, held against the demo under hwhost in
// a private network namespace: the debug trace troubleshooting.md shows is
// written, line for line, and the web-server events rules-web.md lists
// give the alert or the log line it says.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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

const fs::path kSource(HW_SOURCE_DIR);

// The text block of `strFile` that holds `strMarker`; empty when none does.
std::string DocumentedBlock(const std::string& strFile, const std::string& strMarker) {
    for (const hwdocs::CodeBlock& block : hwdocs::ReadCodeBlocks()) {
        if (fs::path(block.m_strFile).filename() == strFile && block.m_strText.find(strMarker) != std::string::npos) {
            return block.m_strText;
        }
    }
    return "";
}

std::vector<std::string> Lines(const std::string& strText) {
    std::vector<std::string> lines;
    std::istringstream in(strText);
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (!strLine.empty()) {
            lines.push_back(strLine);
        }
    }
    return lines;
}

std::string Trimmed(const std::string& strText) {
    const size_t nFirst = strText.find_first_not_of(' ');
    const size_t nLast = strText.find_last_not_of(' ');
    return nFirst == std::string::npos ? "" : strText.substr(nFirst, nLast - nFirst + 1);
}

class DocumentedBehaviourTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_Network.IsReady()) << m_Network.Error();
        fs::copy(kSource / "examples/demo", m_Host.Root(), fs::copy_options::recursive);
        m_strPolicy = hwtest::ReadWholeFile(m_Host.File("Default.policy"));
        Replace("@SENSOR_ROOT@", m_Host.Root());
    }

    void Replace(const std::string& strFrom, const std::string& strTo) {
        const size_t nAt = m_strPolicy.find(strFrom);
        ASSERT_NE(std::string::npos, nAt) << strFrom;
        m_strPolicy.replace(nAt, strFrom.size(), strTo);
    }
    // A block of the docs' policy text, with the file's line ends.
    static std::string PolicyText(const std::string& strBlock) {
        std::string strText;
        for (const std::string& strLine : Lines(strBlock)) {
            strText += strLine + "\r\n";
        }
        return strText;
    }
    bool Start() {
        m_Host.WritePolicy(m_strPolicy);
        return m_Host.Start() && hwtest::WaitUntil([&] { return m_Host.SyslogPortOpen(); }, 30);
    }

    hwtest::NetworkNamespace m_Network;
    hwtest::NamespacedHost m_Host{m_Network};
    std::string m_strPolicy;
};

}  // namespace

TEST_F(DocumentedBehaviourTest, DebugTraceShowsWhatTheTroubleshootingPageShows) {
    const std::string strSwitch = DocumentedBlock("troubleshooting.md", "Enable Debug Logging");
    const std::string strTrace = DocumentedBlock("troubleshooting.md", "does not match");
    ASSERT_FALSE(strSwitch.empty());
    ASSERT_FALSE(strTrace.empty());
    // The demo has the switch off; the page's lines turn it on.
    for (const std::string& strLine : Lines(strSwitch)) {
        if (strLine.find("Enable Debug Logging") != std::string::npos) {
            Replace("Enable Debug Logging\t=B\t0;\r\n", strLine + "\r\n");
        }
    }
    ASSERT_TRUE(Start()) << m_Host.ErrorsTail();

    ASSERT_TRUE(m_Host.SendDatagram("<13>Dec  7 00:37:12 web1 su: FAILED SU (to root) alice on pts/0"));
    // The text-log engine takes the file up at its first scan: until then
    // appended lines are history, so probe until one is read.
    int nProbe = 0;
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            std::ofstream(m_Host.File("applogs/app.log"), std::ios::app)
                << "2026-12-06 10:00:00 [error] probe" << ++nProbe << ": something broke\n";
            return hwtest::WaitUntil([&] { return m_Host.Errors().find("of group Demo application") != std::string::npos; },
                                     2);
        },
        60))
        << m_Host.ErrorsTail();
    for (const std::string& strLine : Lines(strTrace)) {
        EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Host.Errors().find(strLine) != std::string::npos; }, 30))
            << strLine << "\n"
            << m_Host.ErrorsTail();
    }
    int nExit = -1;
    EXPECT_TRUE(m_Host.Stop(nExit));
}

TEST_F(DocumentedBehaviourTest, WebServerEventsGiveTheAlertOrTheLogLineTheRulesPageLists) {
    const std::string strRule = DocumentedBlock("rules-web.md", "[\\Advanced\\userdefinedsignatures\\");
    const std::string strEvents = DocumentedBlock("rules-web.md", "hw-webmodule --root DIR write");
    ASSERT_FALSE(strRule.empty());
    ASSERT_FALSE(strEvents.empty());
    m_strPolicy += PolicyText(strRule);
    ASSERT_TRUE(Start()) << m_Host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Host.Log().find("Leaving CEngineApache") != std::string::npos ||
                                               m_Host.Errors().find("WebPlugin: ") != std::string::npos; },
                                  30))
        << m_Host.ErrorsTail();

    size_t nChecked = 0;
    for (const std::string& strLine : Lines(strEvents)) {
        SCOPED_TRACE(strLine);
        const size_t nHash = strLine.find('#');
        ASSERT_NE(std::string::npos, nHash);
        std::vector<std::string> argv;
        std::istringstream words(strLine.substr(0, nHash));
        for (std::string strWord; words >> strWord;) {
            argv.push_back(strWord == "hw-webmodule" ? std::string(HW_BINARY_DIR) + "/bin/hw-webmodule"
                           : strWord == "DIR"        ? m_Host.Root()
                                                     : strWord);
        }
        hwtest::ChildProcess module;
        int nExit = -1;
        ASSERT_TRUE(module.Start(argv, m_Host.File("module.out")) && module.Wait(60, nExit));
        ASSERT_EQ(0, nExit) << hwtest::ReadWholeFile(m_Host.File("module.out"));

        const std::string strOutcome = Trimmed(strLine.substr(nHash + 1));
        if (strOutcome.compare(0, 6, "alert ") == 0) {
            const std::string strAlert = "alert-name='" + strOutcome.substr(6) + "'";
            EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Host.Alerts().find(strAlert) != std::string::npos; }, 30))
                << m_Host.Log();
        } else {
            ASSERT_EQ(0u, strOutcome.compare(0, 4, "log ")) << strOutcome;
            const std::string strText = strOutcome.substr(4);
            EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Host.Log().find(strText) != std::string::npos; }, 30))
                << m_Host.Log();
        }
        ++nChecked;
    }
    EXPECT_EQ(5u, nChecked);
    int nExit = -1;
    EXPECT_TRUE(m_Host.Stop(nExit));
}
