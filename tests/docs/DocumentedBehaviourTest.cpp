// What the docs say the sensor does, held against the demo under hwhost in
// a private network namespace: the debug trace troubleshooting.md shows is
// written, line for line, the web-server events rules-web.md lists give
// the alert or the log line it says, a rule named by its SecCheckId alerts
// under that name, and every policy example loads with no error or warning
// troubleshooting.md does not explain.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
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
    const std::string strSwitch = hwdocs::BlockHolding("troubleshooting.md", "Enable Debug Logging");
    const std::string strTrace = hwdocs::BlockHolding("troubleshooting.md", "does not match");
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

// rules-logs.md: a line is matched whole up to 65,536 bytes, a marker far
// into it found, and a longer one in pieces of 65,536, so that `^` and the
// fields apply to each piece.  Its own examples, in a group of the demo.
TEST_F(DocumentedBehaviourTest, LongLinesAreMatchedWholeUpToTheBoundAsTheLogRulesPageSays) {
    const std::string strPage = hwtest::ReadWholeFile((kSource / "docs/rules-logs.md").string());
    ASSERT_NE(std::string::npos, strPage.find("`MARK1END` 4,090 bytes into a line is found"));
    ASSERT_NE(std::string::npos, strPage.find("(`^MARK2END` matches a line whose second\npiece begins with it)"));
    for (const auto& [strName, strPattern] :
         {std::pair<std::string, std::string>{"Far into a line", "MARK1END"}, {"Piece start", "^MARK2END"}}) {
        m_strPolicy += "[\\Advanced\\Rules\\SysLog Rules\\" + strName +
                       "\\];\r\nEnabled\t=B\t1;\r\nPriority\t=L\t3;\r\nAlert Type\t=S\tApplicationEvent;\r\n"
                       "Log Type\t=S\tTextLog;\r\nRegular Expression\t=S\t" +
                       strPattern + ";\r\nLogs\t=S\tDemo application;\r\n[\\Advanced\\Rules\\SysLog Rules\\" +
                       strName + "\\Info\\];\r\nToken\t=S\t@Field0;\r\n";
    }
    ASSERT_TRUE(Start()) << m_Host.ErrorsTail();
    const std::string strLog = m_Host.File("applogs/app.log");
    // Lines in the file at the engine's first scan are history: probe until
    // one is read.
    int nProbe = 0;
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            std::ofstream(strLog, std::ios::app) << "2026-12-06 10:00:00 [error] probe" << ++nProbe << "\n";
            return hwtest::WaitUntil(
                [&] { return m_Host.Alerts().find("alert-name='Application error'") != std::string::npos; }, 2);
        },
        60))
        << m_Host.ErrorsTail();
    std::ofstream(strLog, std::ios::app) << std::string(4090, 'x') << "MARK1END\n"
                                         << std::string(65536, 'y') << "MARK2END tail\n";
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] { return m_Host.Alerts().find("alert-name='Piece start'") != std::string::npos; }, 30))
        << m_Host.ErrorsTail();
    EXPECT_NE(std::string::npos, m_Host.Alerts().find("alert-name='Far into a line'"));
    EXPECT_NE(std::string::npos, m_Host.Alerts().find("value='MARK2END'")) << m_Host.Alerts();
    EXPECT_NE(std::string::npos, m_Host.Errors().find("is longer than 65536 bytes: it is matched in pieces"))
        << m_Host.ErrorsTail();
    int nExit = -1;
    EXPECT_TRUE(m_Host.Stop(nExit));
    // A line matched in pieces is no loss: the stop says the bound, and its
    // tally (which counts the bytes a value was cut by) leaves it out.
    EXPECT_NE(std::string::npos, m_Host.Errors().find("at the stop: Bound reached: log group ")) << m_Host.ErrorsTail();
    EXPECT_NE(std::string::npos, m_Host.Errors().find("written, 0 dropped, 0 not written")) << m_Host.ErrorsTail();
    EXPECT_EQ(std::string::npos, m_Host.Errors().find("matched in pieces at the inputs' bounds")) << m_Host.ErrorsTail();
}

TEST_F(DocumentedBehaviourTest, WebServerEventsGiveTheAlertOrTheLogLineTheRulesPageLists) {
    const std::string strRule = hwdocs::BlockHolding("rules-web.md", "[\\Advanced\\userdefinedsignatures\\");
    const std::string strEvents = hwdocs::BlockHolding("rules-web.md", "hw-webmodule --root DIR write");
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

// The rules page's rule named by its SecCheckId alerts under that name,
// with the name type the page gives.
TEST_F(DocumentedBehaviourTest, RuleNamedBySecCheckIdAlertsUnderThatNameAsTheRulesPageSays) {
    const std::string strRule = hwdocs::BlockHolding("rules.md", "SecCheckId\t=S\tHW-V4;");
    ASSERT_FALSE(strRule.empty());
    m_strPolicy += PolicyText(strRule);
    ASSERT_TRUE(Start()) << m_Host.ErrorsTail();

    ASSERT_TRUE(m_Host.SendDatagram("<13>Dec  7 00:37:12 web1 su[88]: Successful su for root by alice"));
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] { return m_Host.Alerts().find("alert-name-type='1' alert-name='HW-V4'") != std::string::npos; }, 30))
        << m_Host.Alerts() << m_Host.ErrorsTail();
    EXPECT_EQ(std::string::npos, m_Host.Log().find("no alert event")) << m_Host.Log();
    int nExit = -1;
    EXPECT_TRUE(m_Host.Stop(nExit));
}

namespace {

// A block of policy text: every line a section line or a value line, the
// first perhaps a file's header line.
bool IsPolicyText(const std::string& strBlock) {
    const std::vector<std::string> lines = Lines(strBlock);
    bool bSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const bool bSectionLine = lines[i].compare(0, 2, "[\\") == 0;
        const bool bValueLine = lines[i].find("\t=") != std::string::npos && lines[i].back() == ';';
        if (!bSectionLine && !bValueLine && i > 0) {
            return false;
        }
        bSection = bSection || bSectionLine;
    }
    return bSection;
}

// `strPolicy` with the sections `strExample` holds replaced by the
// example's, and the example's other sections added.
std::string WithExample(const std::string& strPolicy, const std::string& strExample) {
    std::vector<std::string> exampleLines;
    std::set<std::string> sections;
    for (const std::string& strLine : Lines(strExample)) {
        if (strLine.compare(0, 1, "[") == 0) {
            sections.insert(strLine);
        }
        if (strLine.compare(0, 1, "[") == 0 || !exampleLines.empty()) {
            exampleLines.push_back(strLine);
        }
    }
    std::string strMerged;
    bool bDropping = false;
    for (const std::string& strLine : Lines(strPolicy)) {
        std::string strBare = strLine;
        if (!strBare.empty() && strBare.back() == '\r') {
            strBare.pop_back();
        }
        if (strBare.compare(0, 1, "[") == 0) {
            bDropping = sections.count(strBare) != 0;
        }
        if (!bDropping) {
            strMerged += strBare + "\r\n";
        }
    }
    for (const std::string& strLine : exampleLines) {
        strMerged += strLine + "\r\n";
    }
    return strMerged;
}

}  // namespace

// Every policy example of the README and docs/ loads into the demo without
// an error or warning that troubleshooting.md does not list: each is pushed
// into the running demo (whose network engine watches the replay adapter),
// the host's own examples through common.policy, and every line `hwhost
// push` prints for the load must be one the page explains.
TEST_F(DocumentedBehaviourTest, EveryPolicyExampleLoadsWithoutAnErrorTheDocsDoNotExplain) {
    const std::vector<std::string> listed = hwdocs::ListedMessages();
    ASSERT_GT(listed.size(), 40u);
    const std::string strRoot = m_Host.Root();
    fs::create_directories(strRoot + "/replay");
    m_Host.WritePolicy(m_strPolicy);
    ASSERT_TRUE(m_Host.Start({}, {"HW_DECOY_FIRST_WAIT_MS=200",
                                  "HW_PACKET_REPLAY=" + strRoot + "/captures/network-attacks.pcap",
                                  "HW_PACKET_MONITOR=\\Device\\replay0",
                                  "HW_PACKET_REPLAY_OUT=" + strRoot + "/replay", "HW_PACKET_REPLAY_PACE=1"}))
        << m_Host.ErrorsTail();
    const std::string strCommon = hwtest::ReadWholeFile(m_Host.File("common.policy"));

    size_t nExamples = 0;
    for (const hwdocs::CodeBlock& block : hwdocs::ReadCodeBlocks()) {
        if (!IsPolicyText(block.m_strText)) {
            continue;
        }
        SCOPED_TRACE(block.m_strFile + ":\n" + block.m_strText);
        const bool bHostExample = block.m_strText.find("[\\Response\\") != std::string::npos;
        hwtest::WriteWholeFile(m_Host.File("common.policy"),
                               bHostExample ? WithExample(strCommon, block.m_strText) : strCommon);
        std::string strOutput;
        const int nExit =
            m_Host.Push(bHostExample ? m_strPolicy : WithExample(m_strPolicy, block.m_strText), strOutput);
        EXPECT_TRUE(nExit == 0 || nExit == 4) << nExit << "\n" << strOutput;
        for (const std::string& strLine : Lines(strOutput)) {
            for (const char* pszLevel : {"ERROR: ", "WARNING: "}) {
                if (strLine.rfind(pszLevel, 0) == 0) {
                    EXPECT_TRUE(hwdocs::IsListedMessage(strLine.substr(std::string(pszLevel).size()), listed))
                        << "not in troubleshooting.md: " << strLine;
                }
            }
        }
        ++nExamples;
    }
    EXPECT_GE(nExamples, 12u);
    int nExit = -1;
    EXPECT_TRUE(m_Host.Stop(nExit));
}
