#include "platform/ServiceControl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

class ServiceControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pManager = plat::ServiceManager::Open();
        ASSERT_TRUE(m_pManager);
        ASSERT_TRUE(m_pManager->Install("Idle", "/bin/sleep 30"));
        m_pService = m_pManager->OpenService("Idle");
        ASSERT_TRUE(m_pService);
    }

    uint32_t State() {
        uint32_t dwState = 0;
        EXPECT_TRUE(m_pService->QueryState(dwState));
        return dwState;
    }

    hwtest::ScratchDirectory m_dir;
    hwtest::EnvironmentOverride m_root{"QOR_PLATFORM_ROOT", m_dir.Path().c_str()};
    std::unique_ptr<plat::ServiceManager> m_pManager;
    std::unique_ptr<plat::Service> m_pService;
};

TEST_F(ServiceControlTest, RecordOfAnEndedProgramWhoseIdWasReusedIsStopped) {
    // Our own process id with another start time: stopping it must never
    // signal this process.
    hwtest::WriteWholeFile(m_dir.File("services/Idle.state"),
                           std::to_string(::getpid()) + " 1 0\n");

    EXPECT_EQ(plat::kServiceStopped, State());
    EXPECT_FALSE(m_pService->Stop());
    EXPECT_EQ(plat::kErrServiceNotActive, plat::GetLastError());
}

TEST_F(ServiceControlTest, SecondStartAndSecondStopAreRefusedWithTheirErrors) {
    ASSERT_TRUE(m_pService->Start());
    EXPECT_EQ(plat::kServiceRunning, State());
    EXPECT_FALSE(m_pService->Start());
    EXPECT_EQ(plat::kErrServiceAlreadyRunning, plat::GetLastError());

    ASSERT_TRUE(m_pService->Stop());
    EXPECT_TRUE(hwtest::WaitUntil([&] { return State() == plat::kServiceStopped; }));
    EXPECT_FALSE(m_pService->Stop());
    EXPECT_EQ(plat::kErrServiceNotActive, plat::GetLastError());
}

TEST_F(ServiceControlTest, ServiceThatIsNotInstalledCannotBeOpened) {
    EXPECT_FALSE(m_pManager->OpenService("Absent"));
    EXPECT_EQ(plat::kErrServiceDoesNotExist, plat::GetLastError());
}

}  // namespace
