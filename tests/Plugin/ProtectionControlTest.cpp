#include "Plugin/ProtectionControl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Plugin/SensorTestHost.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/ServiceControl.h"

namespace {

constexpr const char kBoep[] = "\\Advanced\\Rules\\EventLog Rules\\BOEP";
constexpr const char kNoProtection[] =
    "Buffer Overflow Protection is configured to provide no \"protection\" for 3 syscall(s)";

class ProtectionControlTest : public SensorTestHost {
protected:
    void SetUp() override {
        SensorTestHost::SetUp();
        Install("");
        m_pPolicy->SetBool(kBoep, "Enabled", &kOn);
        m_services.Forget();
    }

    void TearDown() override {
        // No test leaves its program behind, even one that failed half-way.
        m_control.StopProtectionService();
        SensorTestHost::TearDown();
    }

    void Install(const std::string& options) {
        auto pManager = plat::ServiceManager::Open();
        ASSERT_TRUE(pManager);
        ASSERT_TRUE(pManager->Install(ProtectionControl::kServiceName,
                                      HW_BINARY_DIR "/bin/gapfix --log " + ServiceLog() + options));
    }

    std::string ServiceLog() { return m_dir.File("gapfix.log"); }

    // The service's own account of its starts (+) and stops (-).
    std::string Events() {
        std::istringstream lines(hwtest::ReadWholeFile(ServiceLog()));
        std::string events;
        for (std::string line; std::getline(lines, line);) {
            events += line.rfind("started", 0) == 0 ? "+" : "-";
        }
        return events;
    }

    std::vector<std::string> LoggedAt(uint32_t dwLevel) {
        std::vector<std::string> texts;
        for (const LoggedLine& line : m_services.Lines()) {
            if (line.dwLevel == dwLevel) {
                texts.push_back(line.text);
            }
        }
        return texts;
    }

    static constexpr bool kOn = true;
    PolicyPtr m_pPolicy{CreatePluginPolicyContainer()};
    ProtectionControl m_control{ProtectionControl::Timing{10, 120000}};
};

TEST_F(ProtectionControlTest, OldSystemSwitchesProtectionOffAndStopsTheRunningService) {
    ASSERT_TRUE(m_control.StartProtectionService());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Events() == "+"; }));
    VersionOverride version(plat::kPlatformNT, 4, 0);

    m_control.ConfigureProtection(m_pPolicy.get(), true);
    m_control.ApplyProtectionService();

    EXPECT_FALSE(m_control.IsProtectionOn());
    EXPECT_FALSE(m_control.IsProtectionServiceRunning());
    EXPECT_EQ("+-", Events());
    EXPECT_EQ(std::vector<std::string>{"BOEP disabled for pre Win2K Windows"}, LoggedAt(9));
}

TEST_F(ProtectionControlTest, ScriptingOffKeepsTheServiceFromStarting) {
    m_control.ConfigureProtection(m_pPolicy.get(), false);
    m_control.ApplyProtectionService();

    EXPECT_FALSE(m_control.IsProtectionOn());
    EXPECT_FALSE(m_control.IsProtectionServiceRunning());
    EXPECT_EQ("", Events());
    EXPECT_EQ(std::vector<std::string>{"TCL DISABLED. gapfix will not be started when tcl is disabled"},
              LoggedAt(3));
}

TEST_F(ProtectionControlTest, CallRepeatedInTheTemplateOrSeenUnderAnotherModeIsNotCountedAgain) {
    m_pPolicy->SetText("\\config\\tuning\\", "gapfix.BaseConfig.files", "I,open,read:write");
    m_pPolicy->SetText("\\config\\tuning\\", "gapfix.BaseConfig.memory", "P,mmap");
    m_pPolicy->SetText("\\template\\config\\tuning\\", "gapfix.BaseConfig.t", "I,write,mmap");

    // A second load counts afresh: nothing seen by the first carries over.
    for (int nLoad = 1; nLoad <= 2; ++nLoad) {
        m_control.ConfigureProtection(m_pPolicy.get(), true);
        EXPECT_EQ(std::vector<std::string>(nLoad, kNoProtection), LoggedAt(1));
    }
    EXPECT_TRUE(m_control.IsProtectionOn());
}

TEST_F(ProtectionControlTest, StartingARunningServiceSucceedsAndStoppingAStoppedOneFailsWithoutAMessage) {
    ASSERT_TRUE(m_control.StartProtectionService());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Events() == "+"; }));
    EXPECT_TRUE(m_control.StartProtectionService());
    EXPECT_TRUE(m_control.IsProtectionServiceRunning());
    EXPECT_TRUE(m_control.StopProtectionServiceNow());
    EXPECT_EQ("+-", Events()) << "one program, stopped once";
    // Stopping it again fails, silently.
    EXPECT_FALSE(m_control.StopProtectionServiceNow());
    m_control.StopProtectionService();
    EXPECT_EQ(std::vector<std::string>{}, LoggedAt(1));
}

TEST_F(ProtectionControlTest, ServiceSlowToStopTimesOutInsteadOfHanging) {
    Install(" --linger 1000");
    ProtectionControl impatient(ProtectionControl::Timing{10, 100});
    ASSERT_TRUE(impatient.StartProtectionService());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Events() == "+"; }));

    EXPECT_FALSE(impatient.StopProtectionServiceNow());
    EXPECT_EQ(std::vector<std::string>{"Unable to shutdown the gapfix service"}, LoggedAt(1));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return Events() == "+-"; }));
}

// Starting a service that is not installed fails loudly; asking whether it
// runs (as every load and the stop do, with protection off) finds it not
// running and says nothing.
TEST_F(ProtectionControlTest, MissingServiceIsAnErrorOnlyWhenItIsToBeStarted) {
    std::filesystem::remove(m_dir.File("platform/services/GapFix.service"));
    EXPECT_FALSE(m_control.IsProtectionServiceRunning());
    m_control.StopProtectionService();
    EXPECT_EQ(std::vector<std::string>{}, LoggedAt(1));
    EXPECT_FALSE(m_control.StartProtectionService());
    // The number is said in words after it.
    EXPECT_EQ(std::vector<std::string>{"Error opening the gapfix ervice : 1060 (no such service is installed)"},
              LoggedAt(1));
}

TEST_F(ProtectionControlTest, SensorStartsTheServiceAtStartUpAndStopsItAtStop) {
    hwtest::WriteWholeFile(m_dir.File("Default.policy"),
                           "Test policy\n[\\config\\];\nScriptEnabled\t=B\t1;\n"
                           "[\\Advanced\\Rules\\EventLog Rules\\BOEP\\];\nEnabled\t=B\t1;\n");
    m_pSensor->GetProtectionControl().SetTiming(ProtectionControl::Timing{10, 120000});

    ASSERT_EQ(0u, m_pSensor->Oninit(nullptr));
    EXPECT_TRUE(m_control.IsProtectionServiceRunning());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Events() == "+"; }));
    m_pSensor->OnStop(nullptr);

    EXPECT_FALSE(m_control.IsProtectionServiceRunning());
    EXPECT_EQ("+-", Events());
}

}  // namespace
