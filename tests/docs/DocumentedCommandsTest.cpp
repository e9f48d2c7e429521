// The commands the README and docs/ show are run as written: every "sh"
// block, line by line from the repository's top folder, against the demo
// as scripts/run starts it (its root at build/run/demo, its programs in
// build/release/bin), inside a private network namespace that lets the
// demo own its fixed ports.  The demo's alerts must then all be there.

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

// The repository script a command line runs, after any NAME=value
// settings of its environment; empty for any other command.
std::string ScriptOf(const std::string& strLine) {
    std::istringstream words(strLine);
    std::string strWord;
    while (words >> strWord) {
        const size_t nEquals = strWord.find('=');
        if (nEquals != std::string::npos && nEquals > 0 &&
            strWord.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == nEquals) {
            continue;
        }
        return strWord.compare(0, 8, "scripts/") == 0 ? strWord : "";
    }
    return "";
}

// A block that only runs the repository's own scripts is what CI and the
// reader run; the test checks that they are there.
bool NamesOnlyScripts(const std::string& strBlock) {
    std::istringstream in(strBlock);
    std::string strLine;
    bool bAny = false;
    while (std::getline(in, strLine)) {
        if (strLine.empty()) {
            continue;
        }
        if (ScriptOf(strLine).empty()) {
            return false;
        }
        bAny = true;
    }
    return bAny;
}

class DocumentedCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_network.IsReady()) << m_network.Error();
        // The tree scripts/run leaves behind it.
        const fs::path demo = fs::path(m_top.Path()) / "build/run/demo";
        fs::create_directories(demo);
        fs::copy(kSource / "examples/demo", demo, fs::copy_options::recursive);
        std::string strPolicy = hwtest::ReadWholeFile((demo / "Default.policy").string());
        for (size_t nAt = strPolicy.find("@SENSOR_ROOT@"); nAt != std::string::npos;
             nAt = strPolicy.find("@SENSOR_ROOT@", nAt)) {
            strPolicy.replace(nAt, 13, demo.string());
        }
        hwtest::StandInForDemoAuthLog(strPolicy, demo.string());
        hwtest::WriteWholeFile((demo / "Default.policy").string(), strPolicy);
        fs::create_directories(fs::path(m_top.Path()) / "build/release");
        fs::create_directory_symlink(fs::path(HW_BINARY_DIR) / "bin",
                                     fs::path(m_top.Path()) / "build/release/bin");
        m_strAlerts = m_top.File("alerts.xml");
        m_host.SetErrorFile(m_top.File("hwhost.err"));
        // As scripts/run: the network engine watches the replay adapter.
        fs::create_directories(demo / "replay");
        ASSERT_TRUE(m_host.Start(
            m_network.Enter({(fs::path(m_top.Path()) / "build/release/bin/hwhost").string(), "run",
                             "--root", demo.string(), "--alerts", m_strAlerts}),
            m_top.File("hwhost.out"),
            {"HW_DECOY_FIRST_WAIT_MS=200", "HW_DECOY_HOLD_SECONDS=1",
             "HW_PACKET_REPLAY=" + (demo / "captures/network-attacks.pcap").string(),
             "HW_PACKET_MONITOR=\\Device\\replay0",
             "HW_PACKET_REPLAY_OUT=" + (demo / "replay").string(), "HW_PACKET_REPLAY_PACE=1"}));
        ASSERT_TRUE(hwtest::WaitUntil(
            [&] {
                return Errors().find("Now waiting for connections on ports") != std::string::npos ||
                       !m_host.IsRunning();
            },
            120))
            << Errors();
        ASSERT_TRUE(m_host.IsRunning()) << Errors();
    }

    std::string Errors() const { return hwtest::ReadWholeFile(m_top.File("hwhost.err")); }

    // The first alert document of that name, or an empty text.
    static std::string AlertNamed(const std::string& strAlerts, const std::string& strName) {
        const size_t nAt = strAlerts.find("alert-name='" + strName + "'");
        if (nAt == std::string::npos) {
            return "";
        }
        const size_t nEnd = strAlerts.find("</event>", nAt);
        return strAlerts.substr(nAt, nEnd == std::string::npos ? nEnd : nEnd - nAt);
    }

    // Runs one command line inside the namespace from the top folder.
    int Run(const std::string& strCommand) {
        hwtest::ChildProcess shell;
        if (!shell.Start(
                m_network.Enter({"bash", "-e", "-c", "cd '" + m_top.Path() + "' && " + strCommand}),
                m_top.File("commands.out"))) {
            return -1;
        }
        int nExit = -1;
        return shell.Wait(120, nExit) ? nExit : -1;
    }

    hwtest::NetworkNamespace m_network;
    hwtest::ScratchDirectory m_top;
    hwtest::ChildProcess m_host;
    std::string m_strAlerts;
};

}  // namespace

TEST_F(DocumentedCommandsTest, EveryShownCommandRunsAsWrittenAndRaisesTheDemosAlerts) {
    size_t nRun = 0;
    for (const hwdocs::CodeBlock& block : hwdocs::ReadCodeBlocks()) {
        if (block.m_strLanguage != "sh") {
            continue;
        }
        if (NamesOnlyScripts(block.m_strText)) {
            std::istringstream in(block.m_strText);
            std::string strLine;
            while (std::getline(in, strLine)) {
                if (!strLine.empty()) {
                    EXPECT_EQ(0, ::access((kSource / ScriptOf(strLine)).c_str(), X_OK)) << block.m_strFile;
                }
            }
            continue;
        }
        SCOPED_TRACE(block.m_strFile + ":\n" + block.m_strText);
        EXPECT_EQ(0, Run(block.m_strText)) << hwtest::ReadWholeFile(m_top.File("commands.out"));
        ++nRun;
    }
    ASSERT_GT(nRun, 0u);

    for (const char* pszAlert : {"Failed su", "Failed log-in", "Password attack",
                                 "Application error", "Application log-in failure", "Logon failure",
                                 "Alternate telnet", "Telnet", "Land_Attack"}) {
        EXPECT_TRUE(hwtest::WaitUntil(
            [&] {
                return hwtest::ReadWholeFile(m_strAlerts)
                           .find(std::string("alert-name='") + pszAlert + "'") != std::string::npos;
            },
            60))
            << pszAlert << "\n"
            << Errors();
    }

    // The alerts the pages quote hold the quoted lines, in that order (so
    // in the section quoted).
    const std::string strAlerts = hwtest::ReadWholeFile(m_strAlerts);
    size_t nQuoted = 0;
    for (const hwdocs::CodeBlock& block : hwdocs::ReadCodeBlocks()) {
        if (block.m_strAlert.empty()) {
            continue;
        }
        SCOPED_TRACE(block.m_strFile + ": " + block.m_strAlert);
        const std::string strAlert = AlertNamed(strAlerts, block.m_strAlert);
        ASSERT_FALSE(strAlert.empty()) << strAlerts;
        std::istringstream in(block.m_strText);
        size_t nAt = 0;
        for (std::string strLine; std::getline(in, strLine);) {
            nAt = strAlert.find(strLine, nAt);
            ASSERT_NE(std::string::npos, nAt) << strLine << "\n" << strAlert;
        }
        ++nQuoted;
    }
    EXPECT_GE(nQuoted, 2u);
    // alerts.md: no pair fills an application alert's "Application".
    const std::string strApplication = AlertNamed(strAlerts, "Application error");
    EXPECT_EQ(std::string::npos, strApplication.find("name='Application'")) << strApplication;
    const std::string strLog = hwtest::ReadWholeFile(m_top.File("build/run/demo/logs/hwhost.log"));
    EXPECT_NE(std::string::npos,
              strLog.find("(EventID: 0, Rule: Application error) Application must be set"))
        << strLog;
}
