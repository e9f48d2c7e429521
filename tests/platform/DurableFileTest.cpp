#include "platform/DurableFile.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/LastError.h"
#include "support/TestUtil.h"

TEST(DurableFile, ReplacementKeepsTheModeAndLeavesNoTemporaryFile) {
    hwtest::ScratchDirectory dir;
    std::string target = dir.File("a.policy");
    hwtest::WriteWholeFile(target, "old");
    ASSERT_EQ(0, ::chmod(target.c_str(), 0600));
    plat::FileStep step = plat::FileStep::kWrite;
    EXPECT_EQ(0u, plat::ReplaceFileDurably(target, target + ".newupdate", "new", &step));
    EXPECT_EQ(plat::FileStep::kNone, step);
    EXPECT_EQ("new", hwtest::ReadWholeFile(target));
    struct stat info {};
    ASSERT_EQ(0, ::stat(target.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    EXPECT_FALSE(std::filesystem::exists(target + ".newupdate"));
}

TEST(DurableFile, MoveOntoADirectoryFailsAndKeepsTheTemporaryFile) {
    hwtest::ScratchDirectory dir;
    std::string target = dir.File("busy");
    std::filesystem::create_directories(target + "/inside");
    plat::FileStep step = plat::FileStep::kNone;
    EXPECT_NE(0u, plat::ReplaceFileDurably(target, target + ".newupdate", "x", &step));
    EXPECT_EQ(plat::FileStep::kMove, step);
    EXPECT_EQ("x", hwtest::ReadWholeFile(target + ".newupdate"));
}

TEST(DurableFile, ReadThatBreaksOffIsAFailureNotAShortFile) {
    // The process's own memory file opens, and its first page is unmapped,
    // so the first read fails.
    std::string text = "stale";
    plat::FileStep step = plat::FileStep::kNone;
    EXPECT_NE(0u, plat::ReadWholeFile("/proc/self/mem", text, &step));
    EXPECT_EQ(plat::FileStep::kRead, step);
    EXPECT_TRUE(text.empty());
    hwtest::ScratchDirectory dir;
    EXPECT_EQ(plat::kErrFileNotFound, plat::ReadWholeFile(dir.File("missing"), text, &step));
    EXPECT_EQ(plat::FileStep::kOpen, step);
    EXPECT_NE(0u, plat::ReadWholeFile(dir.Path(), text, &step));
    EXPECT_EQ(plat::FileStep::kOpen, step);
}

// A limited read takes one byte past the limit at the most, and the whole
// of a file within it.
TEST(DurableFile, LimitedReadStopsOneBytePastTheLimit) {
    std::string text;
    plat::FileStep step = plat::FileStep::kNone;
    hwtest::ScratchDirectory dir;
    hwtest::WriteWholeFile(dir.File("large"), std::string(1 << 20, 'x'));
    ASSERT_EQ(0u, plat::ReadWholeFile(dir.File("large"), text, &step, 100000));
    EXPECT_EQ(100001u, text.size());
    hwtest::WriteWholeFile(dir.File("small"), std::string(70000, 'x'));
    ASSERT_EQ(0u, plat::ReadWholeFile(dir.File("small"), text, &step, 70000));
    EXPECT_EQ(70000u, text.size());
}
