#include "platform/ServiceControl.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/LastError.h"
#include "platform/Process.h"
#include "support/TestUtil.h"

namespace {

bool IsZombie(pid_t pid) {
    char state = 0;
    uint64_t start = 0;
    return plat::ReadProcessStart(pid, state, start) && state == 'Z';
}

// Makes `pid` the id the next process started is given (root only).
bool GiveNextProcessId(pid_t pid) {
    std::FILE* pFile = std::fopen("/proc/sys/kernel/ns_last_pid", "w");
    if (pFile == nullptr) {
        return false;
    }
    const bool bWritten = std::fprintf(pFile, "%d", static_cast<int>(pid - 1)) > 0;
    return std::fclose(pFile) == 0 && bWritten;
}

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

// The program of a service is this process's child, and so is each program
// the sensor starts after it: once the service's program has ended and
// been waited for, its id may be given to a later child, whose end a query
// of the service's record must not take in its owner's place.
TEST_F(ServiceControlTest, AQueryOfAnEndedProgramsRecordTakesNotTheEndOfALaterChildGivenItsId) {
    ASSERT_TRUE(m_pService->Start());
    const pid_t pid =
        static_cast<pid_t>(std::atol(hwtest::ReadWholeFile(m_dir.File("services/Idle.state")).c_str()));
    ASSERT_GT(pid, 1);
    // Asked to stop, and not queried since: it ends unseen.
    ASSERT_TRUE(m_pService->Stop());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return IsZombie(pid); }, 60));
    if (!GiveNextProcessId(pid)) {
        GTEST_SKIP() << "this process may not choose the next process id (needs root)";
    }
    auto pChild = plat::ChildProcess::Start("/bin/sh", {"sh", "-c", "exit 7"});
    ASSERT_TRUE(pChild);
    if (pChild->Pid() != pid) {
        pChild->WaitForExit(10000);
        GTEST_SKIP() << "another process was given the id first";
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] { return IsZombie(pid); }, 60));

    EXPECT_EQ(plat::kServiceStopped, State());
    EXPECT_TRUE(pChild->WaitForExit(2000)) << "the later child's end was taken by the query";
    EXPECT_TRUE(WIFEXITED(pChild->ExitStatus()) && WEXITSTATUS(pChild->ExitStatus()) == 7)
        << pChild->DescribeEnd();
}

TEST_F(ServiceControlTest, ServiceThatIsNotInstalledCannotBeOpened) {
    EXPECT_FALSE(m_pManager->OpenService("Absent"));
    EXPECT_EQ(plat::kErrServiceDoesNotExist, plat::GetLastError());
}

}  // namespace
