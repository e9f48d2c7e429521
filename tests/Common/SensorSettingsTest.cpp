#include "Common/SensorSettings.h"

#include <gtest/gtest.h>

#include <string>

#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/FakeHost.h"
#include "support/TestUtil.h"

namespace {

class SensorSettingsTest : public ::testing::Test {
protected:
    void TearDown() override { SetDebugLoggingEnabled(false); }

    IPolicyContainer* Load(const std::string& text) {
        std::string path = m_dir.File("current.policy");
        hwtest::WriteWholeFile(path, "Policy\r\n[\\];\r\n" + text);
        m_pPolicy.reset(CreatePluginPolicyContainer());
        EXPECT_EQ(0, m_pPolicy->LoadFile(path.c_str(), "", "", false));
        return m_pPolicy.get();
    }

    hwtest::ScratchDirectory m_dir;
    PolicyPtr m_pPolicy;
};

}  // namespace

TEST_F(SensorSettingsTest, ValuesComeFromConfigAndDebugSwitchesFromDebugLog) {
    SensorSettings settings;
    settings.Load(
        Load("[\\config\\];\r\n"
             "Max Connections\t=L\t7;\r\n"
             "ScriptEnabled\t=B\t0;\r\n"
             "BsmReduceSize\t=L\t99;\r\n"
             "BsmReducePolicy\t=S\tKEEP;\r\n"
             "Enable Debug Logging\t=B\t0;\r\n"
             "[\\Debug\\Log\\];\r\n"
             "Enable Debug Logging\t=B\t1;\r\n"));
    EXPECT_EQ(7, settings.m_nMaxConnections);
    EXPECT_FALSE(settings.m_bScriptEnabled);
    EXPECT_EQ(99000000u, settings.m_dwBsmReduceSize) << "small sizes are millions";
    EXPECT_EQ("KEEP", settings.m_strBsmReducePolicy);
    EXPECT_TRUE(settings.m_bLogToStdErr) << "defaults to the debug switch";
    EXPECT_TRUE(IsDebugLoggingEnabled());

    settings.Load(
        Load("[\\config\\];\r\nBsmReduceSize\t=L\t100;\r\nBsmReducePolicy\t=S\tUNKNOWN;\r\n"
             "[\\Debug\\Log\\];\r\nEnable Debug Logging\t=B\t1;\r\nLog To StdErr\t=B\t0;\r\n"));
    EXPECT_EQ(100u, settings.m_dwBsmReduceSize);
    EXPECT_EQ("REMOVE", settings.m_strBsmReducePolicy);
    EXPECT_FALSE(settings.m_bLogToStdErr);

    // Without "config" every value goes back to its default, including
    // those the loads above changed.
    settings.m_nTimeout = 1;
    settings.Load(Load(""));
    EXPECT_EQ(60, settings.m_nTimeout);
    EXPECT_EQ(100, settings.m_nMaxConnections);
    EXPECT_EQ(5000000u, settings.m_dwBsmReduceSize);
    EXPECT_TRUE(settings.m_bScriptEnabled);
    EXPECT_FALSE(IsDebugLoggingEnabled()) << "every load sets the switch again";
}
