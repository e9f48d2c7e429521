// The process's descriptors shared out: the soft limit raised to the hard
// one, a floor kept free above what is open, and an open that fails for
// want of a descriptor told as such.  What changes the limit runs in a
// child process, so the test process keeps its own.

#include "platform/Descriptors.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

// Runs `body` in a child process; its answer is the child's exit code.
int InChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

bool SetLimit(rlim_t soft, rlim_t hard) {
    const struct rlimit limit { soft, hard };
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace

TEST(Descriptors, SoftLimitIsRaisedToTheHardOneAndTheFloorIsAQuarterWithinItsBounds) {
    EXPECT_EQ(InChild([] {
                  if (!SetLimit(256, 600)) {
                      return 1;
                  }
                  if (plat::RaiseDescriptorLimit() != 600) {
                      return 2;
                  }
                  struct rlimit now {};
                  ::getrlimit(RLIMIT_NOFILE, &now);
                  const plat::DescriptorBudget budget = plat::GetDescriptorBudget();
                  return now.rlim_cur == 600 && budget.m_qwLimit == 600 && budget.m_qwFloor == 150 ? 0 : 3;
              }),
              0);
    EXPECT_EQ(plat::DescriptorFloorFor(100), 64u);
    EXPECT_EQ(plat::DescriptorFloorFor(1024), 256u);
    EXPECT_EQ(plat::DescriptorFloorFor(1u << 20), 4096u);
}

TEST(Descriptors, SpareShrinksWithWhatIsOpenAndIsNoneOnceTheFloorIsReached) {
    hwtest::ScratchDirectory dir;
    hwtest::WriteWholeFile(dir.File("f"), "x");
    const plat::DescriptorBudget before = plat::GetDescriptorBudget();
    std::vector<plat::FileHandle> files;
    for (int i = 0; i < 40; ++i) {
        files.push_back(plat::OpenRegularFileForReading(dir.File("f").c_str()));
        ASSERT_NE(files.back(), plat::kInvalidFile);
    }
    const plat::DescriptorBudget after = plat::GetDescriptorBudget();
    for (plat::FileHandle file : files) {
        plat::CloseFile(file);
    }
    EXPECT_EQ(after.m_qwOpen, before.m_qwOpen + 40);
    EXPECT_EQ(after.Spare() + 40, before.Spare());

    plat::DescriptorBudget full;
    full.m_qwLimit = 1024;
    full.m_qwFloor = 256;
    full.m_qwOpen = 768;
    EXPECT_EQ(full.Spare(), 0u);
    full.m_qwOpen = 900;
    EXPECT_EQ(full.Spare(), 0u);
    full.m_qwOpen = 700;
    EXPECT_EQ(full.Spare(), 68u);
}

// An open that fails because the process has reached its limit is told as
// that, never as a file that is not there.
TEST(Descriptors, OpenFailingForWantOfADescriptorIsToldAsSuch) {
    hwtest::ScratchDirectory dir;
    hwtest::WriteWholeFile(dir.File("f"), "x");
    const std::string strFile = dir.File("f");
    EXPECT_EQ(InChild([&] {
                  const uint64_t qwOpen = plat::GetDescriptorBudget().m_qwOpen;
                  if (!SetLimit(qwOpen, qwOpen)) {
                      return 1;
                  }
                  if (plat::OpenRegularFileForReading(strFile.c_str()) != plat::kInvalidFile) {
                      return 2;
                  }
                  std::string strWords;
                  if (!plat::LastErrorIsOutOfDescriptors(&strWords)) {
                      return 3;
                  }
                  return strWords == "the process has no descriptor left (Too many open files)" ? 0 : 4;
              }),
              0);
    plat::SetLastError(plat::kErrFileNotFound);
    EXPECT_FALSE(plat::LastErrorIsOutOfDescriptors());
}
