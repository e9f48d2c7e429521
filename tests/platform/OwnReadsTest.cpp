// Reading the sensor's own files where other accounts can write: nothing
// but a regular file of root or this account, with one name, is read, and
// nothing is waited on.  What is refused is told in one form: the path,
// what is there, its owner and what is done instead.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/DurableFile.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/TextFile.h"
#include "support/TestUtil.h"
#include "support/Watchdog.h"

namespace {

constexpr uid_t kNobody = 65534;

class OwnReadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to give names to another account";
        }
        hwtest::WriteWholeFile(m_Secret, "secret\n");
        ASSERT_EQ(0, ::chmod(m_Secret.c_str(), 0600));
    }

    // Reads as the sensor reads its own files; "read:" and the text, or
    // the refusal.
    static std::string Read(const std::string& path, plat::Owners owners = plat::Owners::kOwn) {
        std::string text;
        std::string why;
        plat::FileStep step = plat::FileStep::kNone;
        if (plat::ReadWholeFile(path, text, &step, UINT64_MAX, &why, owners) == 0) {
            return "read:" + text;
        }
        EXPECT_EQ(plat::FileStep::kOpen, step);
        return why;
    }

    hwtest::ScratchDirectory m_Dir;
    hwtest::ScratchDirectory m_Elsewhere;
    const std::string m_Secret = m_Elsewhere.File("secret");
};

}  // namespace

TEST_F(OwnReadsTest, WhatAnotherAccountPutInAFilesPlaceIsRefusedAtOnceAndNamedWithItsOwner) {
    const std::string dir = m_Dir.Path();
    ASSERT_EQ(0, ::mkfifo((dir + "/push.policy.loading").c_str(), 0666));
    ASSERT_EQ(0, ::chown((dir + "/push.policy.loading").c_str(), kNobody, kNobody));
    hwtest::WriteWholeFile(dir + "/audit.policy", "planted\n");
    ASSERT_EQ(0, ::chown((dir + "/audit.policy").c_str(), kNobody, kNobody));
    ASSERT_EQ(0, ::symlink(m_Secret.c_str(), (dir + "/current.policy").c_str()));
    ASSERT_EQ(0, ::lchown((dir + "/current.policy").c_str(), kNobody, kNobody));
    ASSERT_EQ(0, ::symlink(m_Elsewhere.Path().c_str(), (dir + "/linked").c_str()));
    ASSERT_EQ(0, ::lchown((dir + "/linked").c_str(), kNobody, kNobody));
    ASSERT_EQ(0, ::link(m_Secret.c_str(), (dir + "/second").c_str()));
    ASSERT_EQ(0, ::mkdir((dir + "/folder").c_str(), 0755));

    // A FIFO would hold the read until someone writes to it: the whole
    // table must be through long before the watchdog bites.
    hwtest::Watchdog watchdog("reads of planted names", std::chrono::seconds(20));
    const std::string theirs = " another account owns (nobody, uid 65534); ";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"push.policy.loading", dir + "/push.policy.loading is a FIFO" + theirs + "it is not read"},
        {"audit.policy", dir + "/audit.policy is a file" + theirs + "it is not read"},
        {"current.policy", dir + "/current.policy is a symbolic link" + theirs + "it is not followed"},
        {"linked/secret", dir + "/linked/secret lies under " + dir + "/linked, a symbolic link" + theirs +
                              "it is not followed"},
        {"second", dir + "/second is a file with another name (a hard link) root owns (uid 0); it is not read"},
        {"folder", dir + "/folder is a directory root owns (uid 0); it is not read"},
    };
    for (const auto& [name, refusal] : cases) {
        EXPECT_EQ(refusal, Read(dir + "/" + name)) << name;
        EXPECT_EQ(plat::kErrAccessDenied, plat::GetLastError()) << name;
        EXPECT_EQ(plat::kInvalidFile, plat::OpenFileForReading((dir + "/" + name).c_str())) << name;
        EXPECT_EQ(nullptr, plat::OpenTextFileForRead((dir + "/" + name).c_str())) << name;
    }
    EXPECT_EQ("/dev/zero is a device root owns (uid 0); it is not read", Read("/dev/zero"));

    // Files that other accounts own, read as such (a log, a file an
    // operator names): regular ones only, through trusted links only.
    EXPECT_EQ("read:planted\n", Read(dir + "/audit.policy", plat::Owners::kAnyAccount));
    EXPECT_NE(std::string::npos,
              Read(dir + "/push.policy.loading", plat::Owners::kAnyAccount).find("is a FIFO"));
    EXPECT_EQ(plat::kErrBadFileType, plat::GetLastError());
    EXPECT_NE(std::string::npos,
              Read(dir + "/current.policy", plat::Owners::kAnyAccount).find("is a symbolic link"));
    EXPECT_EQ(plat::kErrStoppedOnSymlink, plat::GetLastError());

    // What is plainly this account's is read, and a missing file is not a
    // refusal.
    hwtest::WriteWholeFile(dir + "/Default.policy", "mine\n");
    EXPECT_EQ("read:mine\n", Read(dir + "/Default.policy"));
    std::string text;
    EXPECT_EQ(plat::kErrFileNotFound, plat::ReadWholeFile(dir + "/missing", text, nullptr));
    EXPECT_TRUE(plat::PathExists((dir + "/push.policy.loading").c_str()));
    EXPECT_EQ("secret\n", hwtest::ReadWholeFile(m_Secret));
}

// Files of the kernel only: no other path is read through the routine that
// opens them without the checks.
TEST(KernelFiles, OnlyFilesUnderProcAndSysAreRead) {
    std::string text;
    EXPECT_TRUE(plat::ReadKernelFile("/proc/self/status", text));
    EXPECT_NE(std::string::npos, text.find("\nUid:"));
    for (const char* path : {"/etc/passwd", "/dev/zero", "proc/self/status", "/procfs"}) {
        EXPECT_FALSE(plat::ReadKernelFile(path, text)) << path;
        EXPECT_EQ(plat::kErrInvalidParameter, plat::GetLastError()) << path;
    }
}
