#include "qorZamSensorLib/qorZamCrashLog.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qorZamSensorLib/qorDateTime.h"
#include "support/TestUtil.h"

namespace {

std::string Read(const std::string& strPath) {
    std::ifstream file(strPath, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(qorZamCrashLogTest, OnlyANonEmptyOldFileReplacesTheBackup) {
    hwtest::ScratchDirectory scratch;
    const std::string strLog = scratch.File("ZamLog.txt");
    qorZamCrashLog log;
    EXPECT_FALSE(log.Print("dropped before open"));
    EXPECT_FALSE(log.OpenWithBackup(""));

    ASSERT_TRUE(log.OpenWithBackup(strLog));  // no old file
    EXPECT_FALSE(std::filesystem::exists(strLog + ".bak"));
    ASSERT_TRUE(log.OpenWithBackup(strLog));  // an empty one
    EXPECT_FALSE(std::filesystem::exists(strLog + ".bak"));

    EXPECT_TRUE(log.Print("first run %d", 1));
    ASSERT_TRUE(log.OpenWithBackup(strLog));
    EXPECT_EQ("first run 1\r\n", Read(strLog + ".bak"));
    EXPECT_EQ("", Read(strLog));
    EXPECT_TRUE(log.Print(1, 2, "second %s", "run"));
    log.Close();
    EXPECT_FALSE(log.Print("after close"));
    EXPECT_EQ("second run\r\n", Read(strLog));

    EXPECT_FALSE(log.OpenWithBackup(scratch.File("missing/ZamLog.txt")));
    EXPECT_FALSE(log.Print("after a failed open"));
}

TEST(qorZamCrashLogTest, LongLinesAreCutWithAMarker) {
    hwtest::ScratchDirectory scratch;
    qorZamCrashLog log;
    ASSERT_TRUE(log.OpenWithBackup(scratch.File("ZamLog.txt")));
    const std::string strFits(1023, 'a');
    const std::string strLong(1024, 'b');
    ASSERT_TRUE(log.Print("%s", strFits.c_str()));
    ASSERT_TRUE(log.Print("%s", strLong.c_str()));
    log.Close();
    EXPECT_EQ(strFits + "\r\n" + std::string(1020, 'b') + ">>>\r\n", Read(scratch.File("ZamLog.txt")));
}

TEST(qorZamCrashLogTest, ModuleLinesThatEndThemselvesAreNotFollowedByAnEmptyOne) {
    hwtest::ScratchDirectory scratch;
    qorZamCrashLog log;
    ASSERT_TRUE(log.OpenWithBackup(scratch.File("ZamLog.txt")));
    ASSERT_TRUE(log.Print("Signature module %s initialized\n", "1.0"));
    ASSERT_TRUE(log.Print("crash at %#x\r\n", 0x10u));
    ASSERT_TRUE(log.Print("two\nlines"));
    ASSERT_TRUE(log.Print("\n"));
    log.Close();
    EXPECT_EQ("Signature module 1.0 initialized\r\ncrash at 0x10\r\ntwo\nlines\r\n\r\n",
              Read(scratch.File("ZamLog.txt")));
}

TEST(qorZamCrashLogTest, AnotherAccountsLinksAreNeitherCopiedNorWritten) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a link to another account";
    }
    hwtest::ScratchDirectory scratch;
    hwtest::ScratchDirectory elsewhere;
    const std::string strLog = scratch.File("ZamLog.txt");
    const std::string strSecret = elsewhere.File("secret");
    hwtest::WriteWholeFile(strSecret, "secret");
    const auto plant = [](const std::string& target, const std::string& path) {
        ASSERT_EQ(0, ::symlink(target.c_str(), path.c_str()));
        ASSERT_EQ(0, ::lchown(path.c_str(), 65534, static_cast<gid_t>(-1)));
    };
    qorZamCrashLog log;
    // The old run's file names another's file: nothing is copied out of it
    // into the backup, and it is not emptied.
    plant(strSecret, strLog);
    EXPECT_FALSE(log.OpenWithBackup(strLog));
    EXPECT_NE(std::string::npos, log.GetBackupProblem().find("symbolic link"))
        << log.GetBackupProblem();
    EXPECT_NE(std::string::npos, log.GetOpenProblem().find("symbolic link"))
        << log.GetOpenProblem();
    EXPECT_FALSE(std::filesystem::exists(strLog + ".bak"));
    EXPECT_FALSE(log.Print("dropped"));
    EXPECT_EQ("secret", Read(strSecret));

    // The backup's name does: the copy is left out, the log is written.
    std::filesystem::remove(strLog);
    hwtest::WriteWholeFile(strLog, "old run\r\n");
    plant(strSecret, strLog + ".bak");
    EXPECT_TRUE(log.OpenWithBackup(strLog));
    EXPECT_NE(std::string::npos, log.GetBackupProblem().find(".bak is a symbolic link"))
        << log.GetBackupProblem();
    EXPECT_TRUE(log.Print("new run"));
    log.Close();
    EXPECT_EQ("new run\r\n", Read(strLog));
    EXPECT_EQ("secret", Read(strSecret));
}

TEST(qorZamCrashLogTest, LinesFromSeveralThreadsNeverInterleave) {
    hwtest::ScratchDirectory scratch;
    qorZamCrashLog log;
    ASSERT_TRUE(log.OpenWithBackup(scratch.File("ZamLog.txt")));
    std::vector<std::thread> threads;
    for (char c = 'a'; c < 'e'; ++c) {
        threads.emplace_back([&log, c] {
            const std::string strLine(200, c);
            for (int i = 0; i < 200; ++i) {
                log.Print("%s", strLine.c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    log.Close();
    std::istringstream lines(Read(scratch.File("ZamLog.txt")));
    std::string strLine;
    int nLines = 0;
    while (std::getline(lines, strLine)) {
        ++nLines;
        ASSERT_EQ(201u, strLine.size());
        EXPECT_EQ(std::string(200, strLine[0]) + "\r", strLine);
    }
    EXPECT_EQ(800, nLines);
}

TEST(qorDateTimeTest, OffsetIsSignedHoursAndUnsignedMinutes) {
    EXPECT_EQ("2026-12-06T14:00:00-03:30", qor::DateTime(1796578200, -210).ToString());
    EXPECT_EQ("1970-01-01T01:00:00+01:00", qor::DateTime(0, 60).ToString());
}

}  // namespace
