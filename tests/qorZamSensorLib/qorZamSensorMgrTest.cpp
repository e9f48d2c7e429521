#include "qorZamSensorLib/qorZamSensorMgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "ZamTestPaths.h"
#include "qorCSFLib/FakeHost.h"
#include "qorSensorUtil/DetectorIssueMap.h"
#include "qorZamSensorLib/qorZamCrashLog.h"
#include "support/TestUtil.h"

using namespace zamtest;

namespace {

class qorZamSensorMgrTest : public ::testing::Test {
protected:
    void TearDown() override { qorZamSensorMgr::ReleaseInstance(); }

    bool LoggedAt(uint32_t level, const std::string& text) {
        auto lines = m_Log.Lines();
        return std::any_of(lines.begin(), lines.end(), [&](const LoggedLine& line) {
            return line.dwLevel == level && line.text == text;
        });
    }
    bool LoggedStartingWith(const std::string& prefix) {
        auto texts = m_Log.Texts();
        return std::any_of(texts.begin(), texts.end(),
                           [&](const std::string& text) { return text.rfind(prefix, 0) == 0; });
    }

    RecordingServices m_Log;
    std::string m_strVersion;
};

TEST_F(qorZamSensorMgrTest, IncompatibleModuleIsUnloadedAndGivesNoManager) {
    std::string old = BinPath("libqor-zam-old.so");
    EXPECT_EQ(nullptr, qorZamSensorMgr::GetInstance(old.c_str(), 1.0f, m_strVersion, &m_Log));
    EXPECT_TRUE(LoggedAt(kCSFLogError,
                         "Incompatible ZAM library. Required ver: 1.10.106.316  available ver: 1.9.2.0"));
    EXPECT_FALSE(IsMapped(old));
    EXPECT_TRUE(m_strVersion.empty());
    // A failed load leaves no manager behind: the next call tries afresh.
    qorZamSensorMgr* manager =
        qorZamSensorMgr::GetInstance(ModulePath().c_str(), 1.0f, m_strVersion, &m_Log);
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ("1.10.106.316", m_strVersion);
}

TEST_F(qorZamSensorMgrTest, MissingModuleIsLoggedWithItsPath) {
    std::string missing = BinPath("libno-such-module.so");
    EXPECT_EQ(nullptr, qorZamSensorMgr::GetInstance(missing.c_str(), 1.0f, m_strVersion, &m_Log));
    EXPECT_TRUE(LoggedStartingWith("The attack signatures module \"" + missing + "\" failed to load: "));
}

TEST_F(qorZamSensorMgrTest, MissingContainerIsLoggedAndTheModuleStillLoads) {
    hwtest::ScratchDirectory dir;
    std::string copy = dir.File("libqor-zam1.so");
    std::filesystem::copy_file(ModulePath(), copy);
    qorZamSensorMgr* manager = qorZamSensorMgr::GetInstance(copy.c_str(), 2.5f, m_strVersion, &m_Log);
    ASSERT_NE(nullptr, manager);
    EXPECT_FALSE(manager->IsContainerLoaded());
    EXPECT_TRUE(LoggedStartingWith("The  TARN module \"" + dir.File("libtarn.so") + "\" failed to load: "));
    EXPECT_TRUE(manager->HasPrivateHeap());

    // Later calls answer the same manager and change nothing.
    std::string other;
    EXPECT_EQ(manager, qorZamSensorMgr::GetInstance("elsewhere.so", 9.0f, other, nullptr));
    EXPECT_EQ(copy, manager->GetModulePath());
    EXPECT_EQ(2.5f, manager->GetMemoryFactor());

    EXPECT_TRUE(qorZamSensorMgr::ReleaseInstance());
    EXPECT_FALSE(IsMapped(copy));
}

TEST_F(qorZamSensorMgrTest, ContainerBesideTheModuleIsStartedAndModuleLinesReachBothLogs) {
    hwtest::ScratchDirectory dir;
    ASSERT_TRUE(qorZamCrashLog::GetInstance()->OpenWithBackup(dir.File("ZamLog.txt")));
    qorZamSensorMgr* manager =
        qorZamSensorMgr::GetInstance(ModulePath().c_str(), 1.0f, m_strVersion, &m_Log);
    ASSERT_NE(nullptr, manager);
    EXPECT_TRUE(manager->IsContainerLoaded());
    EXPECT_EQ(BinPath("libtarn.so"), manager->GetContainerPath());
    EXPECT_TRUE(LoggedAt(kCSFLogInfo, "Registering TARN Plugin container \n"));
    EXPECT_TRUE(LoggedAt(kCSFLogTrace, "Plug-in container " + BinPath("libtarn.so") +
                                           " started for Host Warden\n"));
    EXPECT_TRUE(LoggedAt(kCSFLogTrace, "Signature module 1.10.106.316 initialized\n"));
    qorZamSensorMgr::ReleaseInstance();
    qorZamCrashLog::GetInstance()->Close();
    std::string crashLog = hwtest::ReadWholeFile(dir.File("ZamLog.txt"));
    EXPECT_NE(std::string::npos, crashLog.find("Signature module 1.10.106.316 initialized\r\n"));
    EXPECT_NE(std::string::npos, crashLog.find("Signature module finalized\r\n"));
    EXPECT_EQ(std::string::npos, crashLog.find("\n\r\n")) << crashLog;
}

TEST_F(qorZamSensorMgrTest, ContainerPathKeepsTheModulesFolderForBothSeparators) {
    EXPECT_EQ("/opt/hw/bin/libtarn.so", qorZamSensorMgr::ContainerPathFor("/opt/hw/bin/libqor-zam1.so"));
    EXPECT_EQ("C:\\Product\\tarn.dll", qorZamSensorMgr::ContainerPathFor("C:\\Product\\qor-zam1.dll"));
    EXPECT_EQ("/srv/hw/Duskwall/tarn.dll",
              qorZamSensorMgr::ContainerPathFor("/srv/hw/Duskwall/qor-zam1.dll"));
}

TEST_F(qorZamSensorMgrTest, IssueMapIsReadAndAMissingFileIsReported) {
    qorZamSensorMgr* manager =
        qorZamSensorMgr::GetInstance(ModulePath().c_str(), 1.0f, m_strVersion, &m_Log);
    ASSERT_NE(nullptr, manager);
    EXPECT_FALSE(manager->InitIssuesMap("/nonexistent/issues.csv", nullptr));
    EXPECT_TRUE(m_Log.Logged("Error handling issues map file /nonexistent/issues.csv"));
    ASSERT_TRUE(manager->InitIssuesMap(IssueFile().c_str(), nullptr));
    EXPECT_EQ("Land_Attack", manager->GetIssuesMap()->FindIssue(1001));
    EXPECT_EQ(1005, manager->GetIssuesMap()->FindIssueId("TCP_PortScan"));
    EXPECT_EQ(manager->GetIssuesMap(), qorZamSensorMgr::CurrentIssuesMap());

    // A map the caller owns is used, not deleted with the manager.
    DetectorIssueMap own;
    ASSERT_TRUE(manager->InitIssuesMap(IssueFile().c_str(), &own));
    EXPECT_EQ(&own, manager->GetIssuesMap());
    qorZamSensorMgr::ReleaseInstance();
    EXPECT_EQ(nullptr, qorZamSensorMgr::CurrentIssuesMap());
    EXPECT_EQ("TCP_SynFin", own.FindIssue(1002));
}

}  // namespace
