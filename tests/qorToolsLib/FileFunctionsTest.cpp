#include "qorToolsLib/FileFunctions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "platform/LastError.h"
#include "qorToolsLib/FileObject.h"
#include "qorToolsLib/RuntimeWrappers.h"
#include "qorToolsLib/qorStatus.h"
#include "support/TestUtil.h"

using hwtest::ScratchDirectory;

TEST(FileFunctions, MissingFilesAndDirectoriesAreNeitherSizedNorRemoved) {
    ScratchDirectory dir;
    std::string path = dir.File("absent");
    EXPECT_FALSE(FileExists(path.c_str()));
    EXPECT_EQ(0u, FileSize(path.c_str()));
    EXPECT_FALSE(RemoveFile(path.c_str()));
    EXPECT_EQ(plat::kErrFileNotFound, plat::GetLastError());
    EXPECT_FALSE(FileExists(nullptr));
    EXPECT_FALSE(RemoveFile(dir.Path().c_str()));
    EXPECT_TRUE(FileExists(dir.Path().c_str()));
}

TEST(FileFunctions, ReplaceFileMovesSourceOverDestination) {
    ScratchDirectory dir;
    hwtest::WriteWholeFile(dir.File("old"), "old contents");
    hwtest::WriteWholeFile(dir.File("new"), "new");
    ASSERT_TRUE(ReplaceFile(dir.File("old").c_str(), dir.File("new").c_str()));
    EXPECT_EQ("new", hwtest::ReadWholeFile(dir.File("old")));
    EXPECT_FALSE(FileExists(dir.File("new").c_str()));
    EXPECT_FALSE(ReplaceFile(dir.File("old").c_str(), dir.File("new").c_str()));
}

TEST(FileFunctions, DirectoryTreeIsListedSortedAndRemovedWhole) {
    ScratchDirectory dir;
    std::string root = dir.File("tree");
    std::filesystem::create_directories(root + "/sub/deeper");
    std::filesystem::create_directories(root + "/another");
    hwtest::WriteWholeFile(root + "/b.txt", "b");
    hwtest::WriteWholeFile(root + "/a.txt", "a");
    hwtest::WriteWholeFile(root + "/sub/deeper/c.txt", "c");
    std::vector<std::string> names;
    ASSERT_TRUE(ListDirectoryFiles(root.c_str(), names));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "b.txt"}), names);
    ASSERT_TRUE(ListSubdirectories(root.c_str(), names));
    EXPECT_EQ((std::vector<std::string>{"another", "sub"}), names);
    EXPECT_TRUE(RemoveDirectoryTree(root.c_str()));
    EXPECT_FALSE(FileExists(root.c_str()));
    EXPECT_FALSE(ListDirectoryFiles(root.c_str(), names));
    EXPECT_TRUE(names.empty());
}

TEST(LockFileName, ProgramNameBecomesLowerCaseLockFileInTheTempDirectory) {
    hwtest::EnvironmentOverride tmp("TMPDIR", "/var/tmp/hw");
    std::string path;
    EXPECT_EQ(1, LockFileName("C:\\Program Files\\Warden\\Sensor.EXE", 2, path));
    EXPECT_EQ("/var/tmp/hw/sensor_2.lck", path);
    EXPECT_EQ(1, LockFileName("tool.exe.bak", 4294967295ul, path));
    EXPECT_EQ("/var/tmp/hw/tool_4294967295.lck", path);
    EXPECT_EQ(1, LockFileName("/run/explicit.lck", 7, path));
    EXPECT_EQ("/run/explicit.lck", path);
}

TEST(FileObject, WrittenBytesReadBackAndMapWhole) {
    ScratchDirectory dir;
    std::string path = dir.File("data.bin");
    {
        FileObject out;
        ASSERT_EQ(0u, out.OpenForWrite(path.c_str(), false));
        ASSERT_EQ(0u, out.Write("hello, world", 12));
        EXPECT_EQ(plat::kErrFileExists, FileObject().OpenForWrite(path.c_str(), false));
    }
    FileObject in;
    ASSERT_EQ(0u, in.OpenForRead(path.c_str()));
    EXPECT_EQ(12u, in.GetSize());
    char buffer[32] = {};
    uint32_t done = 0;
    ASSERT_EQ(0u, in.Read(buffer, sizeof buffer, &done));
    EXPECT_EQ("hello, world", std::string(buffer, done));

    FileObject mapped;
    ASSERT_EQ(0u, mapped.OpenAndMap(path.c_str()));
    EXPECT_EQ("hello, world", std::string(reinterpret_cast<const char*>(mapped.View()), 12));
    EXPECT_EQ(QOR_E_WRONG_STATE, mapped.OpenAndMap(path.c_str()));

    FileObject truncating;
    EXPECT_EQ(0u, truncating.OpenForSharedWrite(path.c_str(), true));
    EXPECT_EQ(0u, FileSize(path.c_str()));
    FileObject empty;
    EXPECT_EQ(0u, empty.OpenAndMap(path.c_str()));
    EXPECT_TRUE(empty.IsOpen());
    EXPECT_EQ(nullptr, empty.View());
}

TEST(FileObject, OperationsOnAClosedOrMissingFileReportErrors) {
    ScratchDirectory dir;
    FileObject file;
    char byte = 0;
    EXPECT_EQ(plat::kErrInvalidHandle, file.Read(&byte, 1));
    EXPECT_EQ(plat::kErrInvalidHandle, file.Write(&byte, 1));
    EXPECT_EQ(plat::kErrFileNotFound, file.OpenForRead(dir.File("absent").c_str()));
    EXPECT_EQ(plat::kErrFileNotFound, file.OpenAndMap(dir.File("absent").c_str()));
    EXPECT_EQ(plat::kErrAccessDenied, file.OpenForRead(dir.Path().c_str()));
    EXPECT_FALSE(file.IsOpen());
}

TEST(RuntimeWrappers, TokenizerKeepsOneWalkPerThread) {
    char text[] = "a b c";
    char* token = nullptr;
    EXPECT_STREQ("a", StrTokR(text, " ", &token));
    EXPECT_STREQ("a", token);
    std::thread other([] {
        char mine[] = "x,y";
        EXPECT_STREQ("x", StrTokR(mine, ",", nullptr));
        EXPECT_STREQ("y", StrTokR(nullptr, ",", nullptr));
        EXPECT_EQ(nullptr, StrTokR(nullptr, ",", nullptr));
    });
    other.join();
    EXPECT_STREQ("b", StrTokR(nullptr, " ", &token));
    EXPECT_STREQ("c", StrTokR(nullptr, " ", &token));
    EXPECT_EQ(nullptr, StrTokR(nullptr, " ", &token));
}

TEST(RuntimeWrappers, TimeTextsNeedTwentySixCharactersAndAValidTime) {
    std::tm when{};
    when.tm_year = 80;
    when.tm_mday = 2;
    when.tm_hour = 2;
    when.tm_min = 3;
    when.tm_sec = 55;
    when.tm_wday = 3;
    char buffer[26];
    EXPECT_EQ(nullptr, ASCTimeR(&when, buffer, 25));
    ASSERT_EQ(buffer, ASCTimeR(&when, buffer, sizeof buffer));
    EXPECT_STREQ("Wed Jan  2 02:03:55 1980\n", buffer);
    when.tm_mon = 12;
    EXPECT_EQ(nullptr, ASCTimeR(&when, buffer, sizeof buffer));
    when.tm_mon = 0;
    when.tm_year = 10000;
    EXPECT_EQ(nullptr, ASCTimeR(&when, buffer, sizeof buffer));
    time_t now = 0;
    EXPECT_EQ(nullptr, CTimeR(&now, buffer, 10));
    EXPECT_EQ(buffer, CTimeR(&now, buffer, sizeof buffer));
    EXPECT_EQ(24u, std::string(buffer).find('\n'));
    std::tm local{};
    EXPECT_EQ(nullptr, LocalTimeOf(nullptr, &local));
}
