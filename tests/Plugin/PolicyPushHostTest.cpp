// A pushed policy that lost rules on its way is applied, since the format
// cannot tell it from a shorter policy, but never without a word: the demo
// under hwhost, watching the packet library's replay adapter, in a private
// network namespace (root), takes pushes that `hwhost push` must report
// with their warnings (exit code 4), while the demo itself pushes clean.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/NamespacedHost.h"

namespace fs = std::filesystem;

namespace {

const fs::path kDemo = fs::path(HW_SOURCE_DIR) / "examples/demo";

class PolicyPushHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_Network.IsReady()) << m_Network.Error();
        const fs::path root = m_Host.Root();
        fs::copy(kDemo, root, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        m_strDemo = hwtest::ReadWholeFile((root / "Default.policy").string());
        const size_t nAt = m_strDemo.find("@SENSOR_ROOT@");
        ASSERT_NE(std::string::npos, nAt);
        m_strDemo.replace(nAt, 13, root.string());
        hwtest::StandInForDemoAuthLog(m_strDemo, root.string());
        m_Host.WritePolicy(m_strDemo);
        fs::create_directories(root / "replay");
        ASSERT_TRUE(m_Host.Start(
            {}, {"HW_DECOY_FIRST_WAIT_MS=200",
                 "HW_PACKET_REPLAY=" + (root / "captures/network-attacks.pcap").string(),
                 "HW_PACKET_MONITOR=\\Device\\replay0",
                 "HW_PACKET_REPLAY_OUT=" + (root / "replay").string(), "HW_PACKET_REPLAY_PACE=1"}))
            << m_Host.ErrorsTail();
    }

    hwtest::NetworkNamespace m_Network;
    hwtest::NamespacedHost m_Host{m_Network};
    std::string m_strDemo;
};

}  // namespace

TEST_F(PolicyPushHostTest, PushThatLostRulesOrABastionRulesAddressesIsWarnedAbout) {
    std::string strOutput;
    ASSERT_EQ(0, m_Host.Push(m_strDemo, strOutput)) << strOutput;

    // The last line of the demo's Bastion rule dropped.
    std::string strNoAddresses = m_strDemo;
    const std::string strAddresses = "Addresses\t=S\t0.0.0.0;\r\n";
    const size_t nAt = strNoAddresses.find(strAddresses);
    ASSERT_NE(std::string::npos, nAt);
    strNoAddresses.erase(nAt, strAddresses.size());
    EXPECT_EQ(4, m_Host.Push(strNoAddresses, strOutput)) << strOutput;
    EXPECT_NE(std::string::npos,
              strOutput.find("WARNING: Rule \\Advanced\\Rules\\Bastion\\TCP Incoming\\No telnet has "
                             "no \"Addresses\": it names no remote address, so it refuses and "
                             "reports nothing\n"))
        << strOutput;
    EXPECT_NE(std::string::npos, strOutput.find("with 0 errors and 1 warning")) << strOutput;

    // Cut to a twentieth, at a line end: a well-formed policy without rules.
    const std::string strCut = m_strDemo.substr(0, m_strDemo.rfind('\n', m_strDemo.size() / 20) + 1);
    EXPECT_EQ(4, m_Host.Push(strCut, strOutput)) << strOutput;
    for (const char* pszTable : {"\\Advanced\\Rules\\SysLog Rules", "\\Advanced\\Rules\\EventLog Rules",
                                 "\\Advanced\\Rules\\Suspicious Port Rules",
                                 "\\Advanced\\Rules\\Nodekeeper Rules",
                                 "\\Advanced\\Rules\\Bastion\\TCP Incoming",
                                 "\\Advanced\\Rules\\Correlation Rules",
                                 "\\Advanced\\userdefinedsignatures\\Suspicious Port Rules"}) {
        EXPECT_NE(std::string::npos,
                  strOutput.find(std::string("WARNING: The new policy has no rules in \"") + pszTable +
                                 "\", where the policy it replaces has "))
            << pszTable << "\n"
            << strOutput;
    }
    for (const char* pszEngine : {"Decoy Engine", "IDS Engine", "NTEventlog Engine", "NT Syslog",
                                  "Text Log Monitor", "Correlation Engine"}) {
        EXPECT_NE(std::string::npos,
                  strOutput.find(std::string("WARNING: ") + pszEngine +
                                 " takes no rule of the new policy, where it took "))
            << pszEngine << "\n"
            << strOutput;
    }
    EXPECT_NE(std::string::npos, strOutput.find("  Decoy Engine: 0 rules; no decoy rule")) << strOutput;

    // The whole policy again: nothing is lost against the cut one.
    EXPECT_EQ(0, m_Host.Push(m_strDemo, strOutput)) << strOutput;
    int nExit = -1;
    EXPECT_TRUE(m_Host.Stop(nExit));
    EXPECT_EQ(0, nExit);
}
