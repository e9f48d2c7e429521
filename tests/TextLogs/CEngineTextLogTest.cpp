// The text-log engine driven pass by pass on real files: which lines are
// reported, under which groups and rules, and how it follows files that
// appear, rotate, vanish and come back.

#include "TextLogs/CEngineTextLog.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>

#include "Common/AgentEventInfo.h"
#include "Common/InputBounds.h"
#include "TextLogs/LogGroup.h"
#include "TextLogs/SensorOutputs.h"
#include "TextLogs/TextLogEngineFixture.h"
#include "TextLogs/TextLogListener.h"
#include "platform/Descriptors.h"
#include "platform/Sockets.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/CSFSensor.h"
#include "support/DescriptorSqueeze.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"
#include "support/Watchdog.h"

TEST_F(TextLogEngineTest, GroupPathsMustBeAbsoluteAndAGroupWithoutPathIsUndefined) {
    Set("\\Advanced\\Logs\\Empty", "NewestOnly", true);
    AddGroup("Mixed", "/var/a.log|d.log||C:\\b.log", true);
    Set("\\Advanced\\Logs\\Mixed", "NewestOnly", "0");
    Start();
    EXPECT_EQ(m_pEngine->FindLogGroup("Empty"), nullptr);
    EXPECT_EQ(m_Console.Text(),
              "WARNING: LogGroup (Empty) doesn't have 'Path' value\n"
              "ERROR: d.log cannot be monitored, Absolute path required\n");
    const CLogGroup* pGroup = m_pEngine->FindLogGroup("Mixed");
    ASSERT_NE(pGroup, nullptr);
    EXPECT_EQ(pGroup->GetPaths(), (std::vector<std::string>{"/var/a.log", "C:\\b.log"}));
    // A flag written as text is no flag: the default, newest only, holds.
    EXPECT_TRUE(pGroup->IsNewestOnly());
    // No enabled rule names a group: the engine has no thread to run.
    EXPECT_EQ(m_pEngine->GetBindingCount(), 0u);
    EXPECT_EQ(m_pEngine->OnStart(0), 0);
    EXPECT_FALSE(m_pEngine->IsRunning());
}

TEST_F(TextLogEngineTest, DeletedFileIsLetGoAndReadFromItsStartWhenItComesBack) {
    StartOnAppLog();
    Append("app.log", "ERROR last words\n");
    ASSERT_EQ(::unlink(m_Dir.File("app.log").c_str()), 0);
    // No name leads to it any more, but its last lines are still read
    // through its descriptor.
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:last"});
    ASSERT_NE(AppEntry("app.log"), nullptr);
    EXPECT_EQ(AppEntry("app.log")->m_dwNames, 0u);
    EXPECT_TRUE(AppEntry("app.log")->IsOpen());
    // Quiet for a while: let go.
    RunTo(NextScan());
    EXPECT_EQ(m_pEngine->GetListenerCount(), 0u);
    Append("app.log", "ERROR reborn\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:reborn"});
}

// A busy log is rotated twice in quick succession, its writer still holding
// the old file for a while each time: the new file is read from its first
// line within a pass, the old one through its descriptor (first) until it
// has been quiet, and no line is lost or read twice.
TEST_F(TextLogEngineTest, RotatedFileIsReadOnThroughItsDescriptorWhileTheNewOneIsReadWithinAPass) {
    StartOnAppLog();
    Reports expected;
    auto Burst = [&](const std::string& strName, const std::string& strWord, int nCount) {
        std::string strLines;
        for (int i = 0; i < nCount; ++i) {
            strLines += "ERROR " + strWord + std::to_string(i) + "\n";
            expected.push_back("Errors:App:" + strWord + std::to_string(i));
        }
        Append(strName, strLines);
    };
    // Renamed away and created anew: no scan is due at the next pass.
    Burst("app.log", "first", 1000);
    Rename("app.log", "app.log.1");
    Burst("app.log", "second", 1);
    EXPECT_EQ(RunTo(1), expected);
    expected.clear();
    Burst("app.log.1", "firstlate", 1);
    Burst("app.log", "secondmore", 1);
    EXPECT_EQ(RunTo(2), expected);

    // Deleted and created anew one pass later: the first file is read to its
    // end and let go, the deleted one read on through its descriptor.
    expected.clear();
    Burst("app.log.1", "firstlast", 1);
    Burst("app.log", "secondlast", 1);
    Remove("app.log");
    Burst("app.log", "third", 1);
    EXPECT_EQ(RunTo(3), expected);
    // Both files no name leads to are read on.
    EXPECT_EQ(AppEntries(), 3u);
    // The pass after their last lines are read, then five quiet ones: let
    // go.
    EXPECT_EQ(RunTo(4 + CLogGroupFiles::kQuietPasses), Reports{});
    EXPECT_EQ(AppEntries(), 1u);
    expected.clear();
    Burst("app.log", "thirdmore", 1);
    EXPECT_EQ(RunTo(m_dwPass), expected);
    EXPECT_EQ(m_pEngine->GetLosses().m_qwVanished + m_pEngine->GetLosses().m_qwTruncations, 0u);
}

// A log renamed away, its writer still at it, and created anew only after a
// scan found the name empty: the old file is read for as long as its writer
// goes on, and the new one from its first line within a pass.
TEST_F(TextLogEngineTest, NameEmptyAtAScanIsTakenUpWithinAPassWhenAFileTakesItAgain) {
    StartOnAppLog();
    Rename("app.log", "app.log.1");
    EXPECT_EQ(RunTo(2), Reports{});
    Append("app.log.1", "ERROR late\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:late"});
    ASSERT_NE(AppEntry("app.log"), nullptr);
    EXPECT_EQ(AppEntry("app.log")->m_dwNames, 0u);
    Append("app.log", "ERROR back\n");
    Append("app.log.1", "ERROR later\n");
    EXPECT_EQ(RunTo(m_dwPass), (Reports{"Errors:App:later", "Errors:App:back"}));
    EXPECT_EQ(AppEntry("app.log")->m_dwNames, 1u);
    EXPECT_TRUE(AppEntry("app.log")->IsOpen());
    EXPECT_EQ(RunTo(NextScan() + CEngineTextLog::kScanInterval), Reports{});
    Append("app.log", "ERROR still\n");
    EXPECT_EQ(RunTo(m_dwPass), Reports{"Errors:App:still"});
}

// Truncated in place (a copy-and-truncate rotation): the new content is read
// once from its first byte, nothing before the truncation is read again,
// and what the truncation took before the engine could read it is counted
// and said, naming the file.
TEST_F(TextLogEngineTest, TruncatedFileIsReadFromItsStartAndWhatTheTruncationTookIsReported) {
    StartOnAppLog();
    Append("app.log", "ERROR kept\nERROR unfini");
    EXPECT_EQ(RunTo(1), Reports{"Errors:App:kept"});
    Append("app.log", "shed\nERROR unread\n");
    ASSERT_EQ(::truncate(m_Dir.File("app.log").c_str(), 0), 0);
    // Shorter than what was read: the truncation shows.
    Append("app.log", "ERROR fresh\n");
    EXPECT_EQ(RunTo(2), Reports{"Errors:App:fresh"});
    const std::string strWarning = m_Dir.File("app.log") +
                                   " was truncated after 11 bytes of it had been read: what was written to "
                                   "it after those and before the truncation is lost (at least 12 bytes; how much "
                                   "more cannot be told: no look saw its size past what was read); it "
                                   "is read again from its beginning";
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "WARNING: " + strWarning + "\n")) << m_Console.Text();
    EXPECT_TRUE(m_HostLog.Contains(strWarning));
    EXPECT_EQ(m_pEngine->GetLosses().m_qwTruncations, 1u);
    EXPECT_EQ(m_pEngine->GetLosses().m_qwBytes, 12u);
    Append("app.log", "ERROR after\n");
    EXPECT_EQ(RunTo(m_dwPass), Reports{"Errors:App:after"});
}

// A run of NULs written before a line, longer than what a pass passes over
// of one file: the rest waits for the next pass, which reads the line; the
// run is counted as a bound of the group and said naming the file.
TEST_F(TextLogEngineTest, RunOfNulsLongerThanAPassesShareIsSaidAsABoundOfTheGroupNamingTheFile) {
    InputBounds::Instance().ForgetForTest();
    StartOnAppLog();
    {
        std::ofstream out(m_Dir.File("app.log"), std::ios::binary | std::ios::app);
        const std::string strBlock(8 << 20, '\0');
        for (int64_t llWritten = 0; llWritten < qorFileReader::kPassOverPerCall + (int64_t{64} << 20);
             llWritten += static_cast<int64_t>(strBlock.size())) {
            out.write(strBlock.data(), static_cast<std::streamsize>(strBlock.size()));
        }
        out << "ERROR after the NULs\n";
    }
    EXPECT_EQ(RunTo(1), Reports{});
    EXPECT_EQ(RunTo(2), Reports{"Errors:App:after"});
    const std::string strBound = "Bound reached: log group App (" + m_Dir.File("app.log") +
                                 "): runs of NUL bytes before a line passed over 512 MiB a pass, the rest at the "
                                 "passes after; 1 run left out";
    const std::vector<std::string> bounds = InputBounds::Instance().Describe();
    EXPECT_EQ(1, std::count(bounds.begin(), bounds.end(), strBound)) << strBound;
    EXPECT_TRUE(m_Console.Contains("WARNING: a run of NUL bytes before a line of " + m_Dir.File("app.log") +
                                   " is longer than 512 MiB: it is passed over 512 MiB a pass, and the lines after "
                                   "it come later (log group App (" +
                                   m_Dir.File("app.log") + "))"))
        << m_Console.Text();
    ASSERT_EQ(::truncate(m_Dir.File("app.log").c_str(), 0), 0);
}

// Bytes this thread has read through the system since it began.
uint64_t BytesThisThreadRead() {
    std::ifstream io("/proc/thread-self/io");
    std::string strKey;
    uint64_t qwValue = 0;
    while (io >> strKey >> qwValue) {
        if (strKey == "rchar:") {
            return qwValue;
        }
    }
    return 0;
}

// A large file cut under its reader is read again from its first byte to
// show what it still holds, a turn's share at a time: another group's new
// line is read in the first round, after no more than a share of the
// re-read (it waited for the whole re-read, in calls of 512 MiB, before),
// and the re-read goes on at once at the next turns rather than a pass
// later.
TEST_F(TextLogEngineTest, ReReadOfACutLargeFileTakesATurnsShareBeforeAnotherGroupsLine) {
    Append("archive.log", "");
    Append("web.log", "");
    StartOnGroups({{"Archive", "archive.log"}, {"Web", "web.log"}});
    // 48 MiB of lines that match nothing, read through by the engine.
    constexpr int64_t kLines = 48 * 1024;
    {
        std::ofstream out(m_Dir.File("archive.log"), std::ios::binary | std::ios::app);
        std::string strLine(1023, 'x');
        strLine += '\n';
        for (int64_t n = 0; n < kLines; ++n) {
            out << strLine;
        }
    }
    while (Listener("archive.log").GetPosition() < kLines * 1024) {
        ASSERT_TRUE(m_pEngine->RunPass(m_dwPass++, m_dwHost));
    }
    // Cut back to 40 MiB, with a new line in the file of the other group.
    ASSERT_EQ(::truncate(m_Dir.File("archive.log").c_str(), int64_t{40} << 20), 0);
    Append("web.log", "ERROR other\n");
    const uint64_t qwBefore = BytesThisThreadRead();
    uint64_t qwAtLine = 0;
    m_pEngine->m_OnLine = [&](const std::string& strLine) {
        if (strLine == "ERROR other") {
            qwAtLine = BytesThisThreadRead();
        }
    };
    ASSERT_TRUE(m_pEngine->RunPass(m_dwPass++, m_dwHost));
    ASSERT_NE(qwAtLine, 0u);
    // The re-read goes to the last place shown before the cut, past 32 MiB.
    EXPECT_LT(qwAtLine - qwBefore, uint64_t{24} << 20);
    EXPECT_TRUE(!Listener("archive.log").IsRereading() || m_pEngine->HasBacklog());
    // What lies between the last place shown (a line end past 32 MiB) and
    // the cut is read again as lines, matching nothing.
    for (int n = 0; n < 64 && Listener("archive.log").GetPosition() != int64_t{40} << 20; ++n) {
        ASSERT_TRUE(m_pEngine->HasBacklog());
        ASSERT_TRUE(m_pEngine->RunPass(m_dwPass++, m_dwHost));
    }
    ASSERT_FALSE(Listener("archive.log").IsRereading());
    ASSERT_EQ(Listener("archive.log").GetPosition(), int64_t{40} << 20);
    Append("archive.log", "ERROR after the cut\n");
    EXPECT_EQ(RunTo(m_dwPass), (Reports{"Errors:Web:other", "Errors:Archive:after"}));
}

// The name turns to a new file while no descriptor is to spare, and that
// file is replaced again before one is: what it held was never read, and
// that is counted and said; the file that replaced it is read.
TEST_F(TextLogEngineTest, FileGoneBeforeItCouldBeOpenedIsReportedAsLost) {
    StartOnAppLog();
    {
        // Enough for a look at a name, too few to open a file.
        hwtest::DescriptorSqueeze squeeze(plat::DescriptorFloorFor(0) + 2);
        ASSERT_TRUE(squeeze.IsLowered());
        Rename("app.log", "app.log.1");
        Append("app.log", "ERROR never\n");
        EXPECT_EQ(RunTo(1), Reports{});
        // Made before the other goes, so it cannot take over its inode.
        Append("app.log.new", "ERROR fourth\n");
        Rename("app.log.new", "app.log");
    }
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:fourth"});
    const std::string strWarning =
        m_Dir.File("app.log") + " named a file of 12 bytes that was gone before it could be read: its lines are lost";
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "WARNING: " + strWarning + "\n")) << m_Console.Text();
    EXPECT_EQ(m_pEngine->GetLosses().m_qwVanished, 1u);
    EXPECT_EQ(m_pEngine->GetLosses().m_qwBytes, 12u);
}

// A stop that comes while a rotated file is read to its end, before the
// name is opened anew, leaves the rotation to the next pass, which opens
// the new file from its first line.
TEST_F(TextLogEngineTest, StopWhileTheOldFileIsReadLeavesTheRotationToTheNextPass) {
    StartOnAppLog();
    TurnTwiceActingAtTheOldLastLine("ERROR firstlast\nERROR firstafter\n", "third",
                                    [&] { m_pEngine->Stop(0, false); });
    EXPECT_FALSE(m_pEngine->RunPass(2, m_dwHost));
    m_pEngine->m_OnLine = nullptr;
    m_pEngine->Reset();
    m_dwPass = 3;
    EXPECT_EQ(RunTo(3), (Reports{"Errors:App:firstlast", "Errors:App:firstafter", "Errors:App:third"}));
}

// A mistyped folder would leave a group that watches nothing: each load says
// so for every group a rule uses, with the folder that does not exist, and a
// file that appears later is still read from its first line.
TEST_F(TextLogEngineTest, GroupThatNamesNoFileIsWarnedAtLoadWithTheFolderThatDoesNotExist) {
    Append("app.log", "");
    AddGroup("Fine", m_Dir.File("app.log"));
    AddGroup("Typo", m_Dir.Path() + "/lgos/*.log");
    AddGroup("Empty", m_Dir.Path() + "/*.txt|" + m_Dir.Path() + "/gone/x.log|" + m_Dir.Path() +
                          "/gone2/...");
    AddGroup("Unused", m_Dir.Path() + "/nowhere/*.log");
    AddTextRule("Errors", "Fine,Typo,Empty", "ERROR");
    Start();
    const std::string strTypo = "LogGroup (Typo) watches no file: nothing matches its Path " + m_Dir.Path() +
                                "/lgos/*.log; the folder " + m_Dir.Path() + "/lgos does not exist";
    const std::string strEmpty = "LogGroup (Empty) watches no file: nothing matches its Path " + m_Dir.Path() +
                                 "/*.txt|" + m_Dir.Path() + "/gone/x.log|" + m_Dir.Path() +
                                 "/gone2/...; the folders " + m_Dir.Path() + "/gone, " + m_Dir.Path() +
                                 "/gone2 do not exist";
    EXPECT_EQ(m_Console.Text(), "WARNING: " + strEmpty + "\nWARNING: " + strTypo + "\n");
    EXPECT_TRUE(m_HostLog.Contains(strTypo));
    RunTo(0);
    ASSERT_EQ(::mkdir(m_Dir.File("lgos").c_str(), 0755), 0);
    Append("lgos/late.log", "ERROR late\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:Typo:late"});
    // Every load says it anew, and only while it holds.
    const size_t nBefore = m_Console.Text().size();
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    EXPECT_EQ(m_Console.Text().substr(nBefore), "WARNING: " + strEmpty + "\n");
}

// A group whose Path matches nothing but the sensor's own output reads no
// file for that reason, and its load says so, naming what it left out: a
// push prints it as it reports, and the scans do not say it again.
TEST_F(TextLogEngineTest, GroupWhoseOnlyFilesAreTheSensorsOwnSaysSoAtTheLoad) {
    Append("hw.log", "ERROR own\n");
    Append("hw.log.1", "ERROR rotated\n");
    SensorOutputs::Instance().SetForTest({{"log", m_Dir.File("hw.log"), false}});
    struct Reset {
        ~Reset() { SensorOutputs::Instance().SetForTest({}); }
    } reset;
    AddGroup("Own", m_Dir.Path() + "/hw.*");
    AddTextRule("Errors", "Own", "ERROR");
    Start();
    const std::string strConsole = m_Console.Text();
    EXPECT_EQ(1u, hwtest::CountOf(strConsole, "WARNING: LogGroup (Own) watches no file: its Path " + m_Dir.Path() +
                                                  "/hw.* matches only the sensor's own output, which no log group "
                                                  "reads: "))
        << strConsole;
    EXPECT_NE(std::string::npos, strConsole.find(m_Dir.File("hw.log") + " is the sensor's own log file")) << strConsole;
    EXPECT_NE(std::string::npos, strConsole.find(m_Dir.File("hw.log.1") + " bears a rotated name of the sensor's own "
                                                                          "log file " + m_Dir.File("hw.log")))
        << strConsole;
    EXPECT_EQ(std::string::npos, strConsole.find("nothing matches")) << strConsole;
    const size_t nStart = strConsole.find("LogGroup (Own)");
    ASSERT_NE(nStart, std::string::npos);
    EXPECT_TRUE(m_HostLog.Contains(strConsole.substr(nStart, strConsole.find('\n', nStart) - nStart)));
    EXPECT_EQ(RunTo(NextScan()), Reports{});
    EXPECT_EQ(m_Console.Text(), strConsole);
}

// What a group reached of its bounds leaves with it at the reload that
// changes its paths or leaves it unused, so that neither the load's summary
// (a push's output) nor the stop lists it: a line too long to be matched
// whole among them.
TEST_F(TextLogEngineTest, BoundsOfAGroupLeaveAtTheReloadThatChangesItsPathsOrLeavesItUnused) {
    StartOnEveryLog();
    const auto Listed = [](const std::string& strPaths) {
        const std::string strBound = "Bound reached: log group App (" + strPaths +
                                     "): lines of at most 65536 bytes matched whole, longer ones in pieces of that "
                                     "many; 1 line matched in pieces";
        const std::vector<std::string> bounds = InputBounds::Instance().Describe();
        return std::find(bounds.begin(), bounds.end(), strBound) != bounds.end();
    };
    const std::string strLong = "ERROR long" + std::string(70000, 'x') + "\n";
    Append("long.log", strLong);
    RunTo(NextScan());
    const std::string strFirst = m_Dir.Path() + "/*.log";
    ASSERT_TRUE(Listed(strFirst));
    const std::string strSecond = strFirst + "|" + m_Dir.Path() + "/*.txt";
    Set("\\Advanced\\Logs\\App", "Path", strSecond.c_str());
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    EXPECT_FALSE(Listed(strFirst));
    Append("long.log", strLong);
    RunTo(NextScan());
    ASSERT_TRUE(Listed(strSecond));
    Set(std::string(kTable) + "\\Errors", "Enabled", false);
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    EXPECT_FALSE(Listed(strSecond));
}

// A stop is the last time anything reads the files: each gives what came
// last, its unfinished last line too, and what a turn could not read is
// said lost, naming the file and its group.  A pause and a reload are no
// stop: the unfinished line waits for its line end.
TEST_F(TextLogEngineTest, UnfinishedLastLineIsHandedOutAtTheStopNotAtAPauseOrAReload) {
    StartOnAppLog();
    Append("app.log", "ERROR whole\nERROR unfinished");
    Reports reports;
    const auto Take = [&] {
        for (const std::string& strReport : RunTo(m_dwPass - 1)) {
            reports.push_back(strReport);
        }
        return reports;
    };
    ASSERT_EQ(m_pEngine->OnStart(0), 0);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !Take().empty(); }, 30));
    ASSERT_EQ(m_pEngine->OnPauseInit(0), 0);
    ASSERT_EQ(m_pEngine->OnPause(0), 0);
    ASSERT_EQ(m_pEngine->OnResume(0), 0);
    ASSERT_EQ(m_pEngine->OnPauseInit(CEngineBase::kReloadArgument), 0);
    ASSERT_EQ(m_pEngine->OnPause(CEngineBase::kReloadArgument), 0);
    ASSERT_EQ(m_pEngine->OnReloadPolicy(CEngineBase::kReloadArgument), 0);
    ASSERT_EQ(m_pEngine->OnResume(CEngineBase::kReloadArgument), 0);
    EXPECT_EQ(Take(), Reports{"Errors:App:whole"});
    ASSERT_EQ(m_pEngine->OnStopInit(0), 0);
    ASSERT_EQ(m_pEngine->OnStop(0), 0);
    EXPECT_EQ(Take(), (Reports{"Errors:App:whole", "Errors:App:unfinished"}));
    EXPECT_EQ(m_pEngine->GetLosses().m_qwUnreadAtLetGo, 0u);
}

// The stop's time is shared among the files in turns: a file with more
// than a turn's worth of lines and one that ends in an unfinished line are
// both read to their ends (the stop read a turn of each, 256 lines, before).
TEST_F(TextLogEngineTest, StopReadsEveryFileToItsEndInTurns) {
    Append("a.log", "");
    Append("b.log", "");
    StartOnEveryLog();
    Append("a.log", "ERROR a1\nERROR a2 never ended");
    std::string strMany;
    constexpr uint32_t kMany = 3 * CEngineTextLog::kLinesPerTurn + 10;
    for (uint32_t n = 0; n < kMany; ++n) {
        strMany += "ERROR b" + std::to_string(n) + "\n";
    }
    Append("b.log", strMany + "ERROR blast unfinished");
    // Time enough for every turn however slow the build and busy the
    // machine: the turns are what is held here, not the speed.
    m_pEngine->SetStopReading(std::chrono::minutes(5));
    m_pEngine->ReadAtStop();
    const Reports reports = RunTo(m_dwPass - 1);
    ASSERT_EQ(reports.size(), kMany + 3);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "Errors:App:a2"), 1);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "Errors:App:blast"), 1);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "Errors:App:b" + std::to_string(kMany - 1)), 1);
    EXPECT_EQ(m_pEngine->GetLosses().m_qwUnreadAtLetGo, 0u);
    EXPECT_EQ(m_Console.Text().find("at the stop"), std::string::npos) << m_Console.Text();
}

// What the stop's time cannot read is said file by file within the limit
// of the losses' reports, and counted whole in one line after them.
TEST_F(TextLogEngineTest, StopCountsInOneLineEveryFileItsTimeLeftUnread) {
    constexpr uint32_t kFiles = TextLogLosses::kReportsPerMinute + 15;
    for (uint32_t n = 0; n < kFiles; ++n) {
        Append("f" + std::to_string(n) + ".log", "");
    }
    StartOnEveryLog();
    for (uint32_t n = 0; n < kFiles; ++n) {
        Append("f" + std::to_string(n) + ".log", "ERROR 1\nERROR 2\n");
    }
    // No time at all: nothing is read.
    m_pEngine->SetStopReading(std::chrono::milliseconds(0));
    m_pEngine->ReadAtStop();
    EXPECT_EQ(RunTo(m_dwPass - 1), Reports{});
    EXPECT_EQ(m_pEngine->GetLosses().m_qwUnreadAtLetGo, kFiles);
    const std::string strText = m_Console.Text();
    EXPECT_EQ(hwtest::CountOf(strText, " bytes of it not read: its lines are lost"),
              size_t{TextLogLosses::kReportsPerMinute})
        << strText;
    const std::string strLine = "WARNING: at the stop: what 0 ms of reading at the stop left of the text logs' "
                                "files is lost: 35 files with 560 bytes not read (20 of them named above)\n";
    EXPECT_EQ(hwtest::CountOf(strText, strLine), 1u) << strText;
    EXPECT_GT(strText.find(strLine), strText.rfind(" bytes of it not read: its lines are lost")) << strText;
    EXPECT_TRUE(m_HostLog.Contains("at the stop: what 0 ms of reading at the stop left of the text logs' files is "
                                   "lost: 35 files with 560 bytes not read (20 of them named above)"));
}

// A stop while the engine is paused reads nothing more: what the files
// gained since they were last read is said lost, naming each file.
TEST_F(TextLogEngineTest, StopWhilePausedSaysWhatTheFilesGainedLost) {
    StartOnAppLog();
    ASSERT_EQ(m_pEngine->OnPauseInit(0), 0);
    ASSERT_EQ(m_pEngine->OnPause(0), 0);
    Append("app.log", "ERROR whole\nERROR unfinished");
    ASSERT_EQ(m_pEngine->OnStopInit(0), 0);
    ASSERT_EQ(m_pEngine->OnStop(0), 0);
    EXPECT_EQ(RunTo(m_dwPass - 1), Reports{});
    EXPECT_EQ(m_pEngine->GetLosses().m_qwUnreadAtLetGo, 1u);
    EXPECT_NE(m_Console.Text().find("WARNING: " + m_Dir.File("app.log") + " was let go by log group App (" +
                                    m_Dir.File("app.log") + ") with 28 bytes of it not read: its lines are lost"),
              std::string::npos)
        << m_Console.Text();
    EXPECT_EQ(hwtest::CountOf(m_Console.Text(),
                              "WARNING: at the stop: the text logs were paused: what their files gained since is "
                              "lost: 1 file with 28 bytes not read (1 of them named above)\n"),
              1u)
        << m_Console.Text();
}

// The stop looks for the groups' names once more before it reads: a file
// made since the last scan, and a log renamed away and begun anew since the
// last pass, are read from their first lines, each line once, the renamed
// file's last line before those of the file that took its name.  (No scan
// or pass met them before: the stop read neither.)
TEST_F(TextLogEngineTest, StopReadsFilesMadeOrBegunAnewSinceTheLastLookFromTheirFirstLines) {
    Append("app.log", "ERROR history\n");
    StartOnEveryLog();
    Append("app.log", "ERROR before\n");
    ASSERT_EQ(RunTo(m_dwPass), Reports{"Errors:App:before"});
    Append("new.log", "ERROR new1\nERROR new2\nERROR new3 unfinished");
    Rename("app.log", "app.old");
    Append("app.old", "ERROR oldlast\n");
    Append("app.log", "ERROR anew\n");
    // The look and the reading are held here, not their speed.
    m_pEngine->SetStopReading(std::chrono::minutes(5));
    ASSERT_EQ(m_pEngine->OnStopInit(0), 0);
    ASSERT_EQ(m_pEngine->OnStop(0), 0);
    Reports reports = RunTo(m_dwPass - 1);
    const auto oldLast = std::find(reports.begin(), reports.end(), "Errors:App:oldlast");
    EXPECT_LT(oldLast, std::find(reports.begin(), reports.end(), "Errors:App:anew"));
    std::sort(reports.begin(), reports.end());
    EXPECT_EQ(reports, (Reports{"Errors:App:anew", "Errors:App:new1", "Errors:App:new2", "Errors:App:new3",
                                "Errors:App:oldlast"}));
    EXPECT_EQ(m_pEngine->GetLosses().m_qwUnreadAtLetGo, 0u);
    EXPECT_EQ(m_Console.Text().find("at the stop"), std::string::npos) << m_Console.Text();
}

// A stop while paused reads nothing, but looks for the names once: files
// made during the pause, and a log begun anew under a followed name, are
// counted with every byte they hold, beside what a followed file gained.
TEST_F(TextLogEngineTest, StopWhilePausedCountsTheFilesMadeDuringThePauseWithTheirBytes) {
    Append("app.log", "");
    StartOnEveryLog();
    ASSERT_EQ(m_pEngine->OnPauseInit(0), 0);
    ASSERT_EQ(m_pEngine->OnPause(0), 0);
    Append("app.log", "ERROR gained\n");
    for (int n = 0; n < 3; ++n) {
        Append("p" + std::to_string(n) + ".log", "ERROR made " + std::to_string(n) + "\n");
    }
    Rename("app.log", "app.old");
    Append("app.log", "ERROR anew\n");
    m_pEngine->SetStopReading(std::chrono::minutes(5));
    ASSERT_EQ(m_pEngine->OnStopInit(0), 0);
    ASSERT_EQ(m_pEngine->OnStop(0), 0);
    EXPECT_EQ(RunTo(m_dwPass - 1), Reports{});
    EXPECT_EQ(m_pEngine->GetLosses().m_qwUnreadAtLetGo, 5u);
    // 13 bytes gained, 3 files of 13 and 11 of the file begun anew.
    EXPECT_EQ(hwtest::CountOf(m_Console.Text(),
                              "WARNING: at the stop: the text logs were paused: what their files gained since is "
                              "lost: 5 files with 63 bytes not read (5 of them named above)\n"),
              1u)
        << m_Console.Text();
    EXPECT_NE(m_Console.Text().find(m_Dir.File("p2.log") + " was let go by log group App (" + m_Dir.Path() +
                                    "/*.log) with 13 bytes of it not read"),
              std::string::npos)
        << m_Console.Text();
}

// A file met but never opened, for want of a descriptor, holds lines no
// one read: a stop with none to spare opens it into the descriptors held
// back for its look, and reads it (they were read nowhere else).
TEST_F(TextLogEngineTest, StopReadsAFileWaitingForADescriptor) {
    StartOnAppLog();
    // Enough for a look at a name, too few to open a file.
    hwtest::DescriptorSqueeze squeeze(plat::DescriptorFloorFor(0) + 2);
    ASSERT_TRUE(squeeze.IsLowered());
    RenewAppLogWhileStarved();
    ASSERT_EQ(m_pEngine->OnStopInit(0), 0);
    ASSERT_EQ(m_pEngine->OnStop(0), 0);
    EXPECT_EQ(RunTo(m_dwPass - 1), Reports{"Errors:App:third"});
    EXPECT_EQ(m_pEngine->GetLosses().m_qwUnreadAtLetGo, 0u);
    EXPECT_EQ(m_Console.Text().find("at the stop"), std::string::npos) << m_Console.Text();
}

// A stop short of descriptors still looks for the groups' files, and each
// line of the files made since the last scan is alerted once, or counted
// with its bytes: whether the engine's share is used up (the sensor's other
// parts took all but two above the floor) or the process has none left at
// all, the look opens into the descriptors held back for it, and the files
// it meets wait for those that files read to their ends give back.
class TextLogStopShortOfDescriptorsTest : public TextLogEngineTest {
protected:
    static constexpr int kFollowed = 4;
    // More than a look's and the share's descriptors together.
    static constexpr int kMade = 40;

    // Starts on every *.log file, some followed (and pauses, with
    // `bPause`), makes files and lines since the last pass, then takes the
    // descriptors away (all of them with `bProcessFull`); answers the bytes
    // written since that pass.
    size_t WriteThenStarve(std::optional<hwtest::DescriptorSqueeze>& squeeze, bool bProcessFull,
                           bool bPause = false) {
        for (int n = 0; n < kFollowed; ++n) {
            Append("k" + std::to_string(n) + ".log", "");
        }
        StartOnEveryLog();
        EXPECT_EQ(m_pEngine->GetListenerCount(), size_t{kFollowed});
        if (bPause) {
            EXPECT_EQ(m_pEngine->OnPauseInit(0), 0);
            EXPECT_EQ(m_pEngine->OnPause(0), 0);
        }
        size_t nBytes = 0;
        const auto Write = [&](const std::string& strName, const std::string& strText) {
            Append(strName, strText);
            nBytes += strText.size();
        };
        for (int n = 0; n < kFollowed; ++n) {
            Write("k" + std::to_string(n) + ".log", "ERROR k" + std::to_string(n) + "\n");
        }
        squeeze.emplace(plat::DescriptorFloorFor(0) + 2);
        EXPECT_TRUE(squeeze->IsLowered());
        for (int n = 0; n < kMade; ++n) {
            const std::string strN = std::to_string(n);
            Write("m" + strN + ".log", "ERROR m" + strN + "\nERROR u" + strN + " unfinished");
        }
        if (bProcessFull) {
            squeeze->TakeAll();
        }
        m_pEngine->SetStopReading(std::chrono::minutes(5));
        return nBytes;
    }
    Reports Expected() const {
        Reports expected;
        for (int n = 0; n < kFollowed; ++n) {
            expected.push_back("Errors:App:k" + std::to_string(n));
        }
        for (int n = 0; n < kMade; ++n) {
            expected.push_back("Errors:App:m" + std::to_string(n));
            expected.push_back("Errors:App:u" + std::to_string(n));
        }
        std::sort(expected.begin(), expected.end());
        return expected;
    }
    void StopAndCheckEveryLineReadOnce(bool bProcessFull) {
        std::optional<hwtest::DescriptorSqueeze> squeeze;
        WriteThenStarve(squeeze, bProcessFull);
        ASSERT_EQ(m_pEngine->OnStopInit(0), 0);
        ASSERT_EQ(m_pEngine->OnStop(0), 0);
        squeeze.reset();
        Reports reports = RunTo(m_dwPass - 1);
        std::sort(reports.begin(), reports.end());
        EXPECT_EQ(reports, Expected());
        EXPECT_EQ(m_pEngine->GetLosses().m_qwUnreadAtLetGo, 0u);
        EXPECT_EQ(m_Console.Text().find("at the stop"), std::string::npos) << m_Console.Text();
    }
};

TEST_F(TextLogStopShortOfDescriptorsTest, EngineShareUsedUpReadsEveryFileMadeSinceTheLastScan) {
    StopAndCheckEveryLineReadOnce(false);
}

TEST_F(TextLogStopShortOfDescriptorsTest, ProcessWithoutADescriptorReadsEveryFileMadeSinceTheLastScan) {
    StopAndCheckEveryLineReadOnce(true);
}

// Paused, the stop reads nothing, and counts every byte of those files.
TEST_F(TextLogStopShortOfDescriptorsTest, WhilePausedCountsEveryByteOfTheFilesMadeSinceTheLastScan) {
    std::optional<hwtest::DescriptorSqueeze> squeeze;
    const size_t nBytes = WriteThenStarve(squeeze, true, true);
    ASSERT_EQ(m_pEngine->OnStopInit(0), 0);
    ASSERT_EQ(m_pEngine->OnStop(0), 0);
    squeeze.reset();
    EXPECT_EQ(RunTo(m_dwPass - 1), Reports{});
    EXPECT_EQ(m_pEngine->GetLosses().m_qwUnreadAtLetGo, uint64_t{kFollowed + kMade});
    EXPECT_EQ(hwtest::CountOf(m_Console.Text(), "WARNING: at the stop: the text logs were paused: what their files "
                                                "gained since is lost: " +
                                                    std::to_string(kFollowed + kMade) + " files with " +
                                                    std::to_string(nBytes) + " bytes not read (20 of them named "
                                                                             "above)\n"),
              1u)
        << m_Console.Text();
}

// More files made since the last scan than a scan reads names: the stop's
// look takes up those a scan takes, read from their first lines, and
// counts every other one with all it holds; none is passed over unsaid.
TEST_F(TextLogEngineTest, StopCountsWithTheirBytesTheFilesMadePastTheNamesAScanReads) {
    Append("app.log", "");
    StartOnEveryLog();
    constexpr uint64_t kMade = CLogGroup::kMaxNamesPerScan + 100;
    std::map<std::string, size_t> bytes;
    for (uint64_t n = 0; n < kMade; ++n) {
        const std::string strWord = "w" + std::to_string(n);
        const std::string strText = "ERROR " + strWord + "\n";
        Append(strWord + ".log", strText);
        bytes["Errors:App:" + strWord] = strText.size();
    }
    m_pEngine->SetStopReading(std::chrono::minutes(5));
    m_pEngine->ReadAtStop();
    const Reports reports = RunTo(m_dwPass - 1);
    uint64_t qwBytesLeft = 0;
    for (const std::string& strReport : reports) {
        ASSERT_EQ(bytes.count(strReport), 1u) << strReport << " reported twice, or never written";
        bytes.erase(strReport);
    }
    for (const auto& [strReport, nBytes] : bytes) {
        qwBytesLeft += nBytes;
    }
    EXPECT_EQ(reports.size(), CLogGroup::kMaxNamesPerScan - 1);  // app.log is one of the names
    EXPECT_EQ(m_pEngine->GetLosses().m_qwUnreadAtLetGo, bytes.size());
    EXPECT_EQ(hwtest::CountOf(m_Console.Text(), "WARNING: at the stop: what 300000 ms of reading at the stop left "
                                                "of the text logs' files is lost: " +
                                                    std::to_string(bytes.size()) + " files with " +
                                                    std::to_string(qwBytesLeft) + " bytes not read (20 of them "
                                                                                  "named above)\n"),
              1u)
        << m_Console.Text().substr(m_Console.Text().size() > 3000 ? m_Console.Text().size() - 3000 : 0);
}

// A "newest only" group that turns back to a file it read before goes on
// after that file's last reported line, whether the engine still held the
// file or had let it go, and under whatever name it comes back.
TEST_F(TextLogEngineTest, NewestOnlyGroupTurningBackToAFileGoesOnWhereItsReadingEnded) {
    const auto Write = [&](const char* pszName, const std::string& strLines, time_t seconds) {
        WriteAt(pszName, strLines, seconds);
    };
    Write("a.log", "ERROR a0\n", 2000);
    Write("b.log", "ERROR b0\n", 1000);
    AddGroup("News", m_Dir.Path() + "/*.log", true);
    AddTextRule("Errors", "News", "ERROR");
    Start();
    RunTo(0);
    Write("a.log", "ERROR a1\n", 3000);
    EXPECT_EQ(RunTo(1), Reports{"Errors:News:a1"});
    // A file the group turns to for the first time is read from where it
    // ended at the start: what it held then is history.
    Write("b.log", "ERROR b1\n", 4000);
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:News:b1"});
    // Back at the next scan, while the engine still holds a.log.
    Write("a.log", "ERROR a2\n", 5000);
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:News:a2"});
    Write("b.log", "ERROR b2\n", 6000);
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:News:b2"});
    RunTo(NextScan());
    // Quiet since the group turned from it: let go, its place kept.
    EXPECT_EQ(m_pEngine->FindListener(m_Dir.File("a.log")), nullptr);
    // Back after the engine had let a.log go.
    Write("a.log", "ERROR a3\n", 7000);
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:News:a3"});
    // The place is kept by the file, not by its name: let go again, then
    // back under another name.
    Write("b.log", "ERROR b3\n", 8000);
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:News:b3"});
    RunTo(NextScan());
    ASSERT_EQ(m_pEngine->FindListener(m_Dir.File("a.log")), nullptr);
    Rename("a.log", "a-renamed.log");
    Write("a-renamed.log", "ERROR a4\n", 9000);
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:News:a4"});
}

// A file renamed to a name the group also matches (a rotation to app.1.log
// under *.log, a folder moved under "/...") is one file: none of its lines
// is reported twice, under the old name and again under the new one, and
// none is lost while the old name is let go.
TEST_F(TextLogEngineTest, FileRenamedToANameTheGroupMatchesGivesEachLineOnce) {
    Append("app.log", "ERROR before\n");
    StartOnEveryLog();
    Append("app.log", "ERROR one\n");
    EXPECT_EQ(RunTo(1), Reports{"Errors:App:one"});

    // Rotated, its writer still at the old file for a moment.
    Rename("app.log", "app.1.log");
    Append("app.log", "ERROR two\n");
    Append("app.1.log", "ERROR late\n");
    EXPECT_EQ(Settle(), (Reports{"Errors:App:late", "Errors:App:two"}));
    Append("app.1.log", "ERROR later\n");
    EXPECT_EQ(Settle(), Reports{"Errors:App:later"});

    // Renamed again while no other name reads it.
    Rename("app.1.log", "app.2.log");
    Append("app.2.log", "ERROR three\n");
    Append("app.log", "ERROR four\n");
    EXPECT_EQ(Settle(), (Reports{"Errors:App:four", "Errors:App:three"}));
    EXPECT_EQ(m_pEngine->GetLosses().m_qwVanished + m_pEngine->GetLosses().m_qwTruncations, 0u);

    // Rotated, then renamed again while its first new name waited for the
    // old one to let it go.
    Rename("app.log", "app.3.log");
    Append("app.log", "ERROR five\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:five"});
    Rename("app.3.log", "app.4.log");
    Append("app.4.log", "ERROR six\n");
    EXPECT_EQ(Settle(), Reports{"Errors:App:six"});

    // Rotated onto a name the group follows, whose file it replaces.
    Append("app.4.log", "ERROR seven\n");
    Append("app.log", "ERROR eight\n");
    EXPECT_EQ(RunTo(m_dwPass), (Reports{"Errors:App:seven", "Errors:App:eight"}));
    Rename("app.log", "app.4.log");
    Append("app.log", "ERROR nine\n");
    Append("app.4.log", "ERROR ten\n");
    EXPECT_EQ(Settle(), (Reports{"Errors:App:nine", "Errors:App:ten"}));
}

// A second name of a file in another group's folder gives that group the
// lines all the same: it is no repeat of the first group's.
TEST_F(TextLogEngineTest, SecondNameOfAFileInAnotherGroupGivesThatGroupItsLines) {
    Append("app.log", "");
    StartOnGroups({{"One", "app.log"}, {"Two", "copy.txt"}});
    ASSERT_EQ(::link(m_Dir.File("app.log").c_str(), m_Dir.File("copy.txt").c_str()), 0);
    RunTo(NextScan());
    Append("app.log", "ERROR both\n");
    Reports reports = RunTo(m_dwPass + 1);
    std::sort(reports.begin(), reports.end());
    EXPECT_EQ(reports, (Reports{"Errors:One:both", "Errors:Two:both"}));
}

TEST_F(TextLogEngineTest, FileOfTwoGroupsIsReportedOncePerGroupWithThatGroupsRules) {
    Append("app.log", "");
    AddGroup("One", m_Dir.File("app.log"));
    AddGroup("Two", m_Dir.Path() + "/*.log");
    AddTextRule("Any", "One,Two", "line");
    AddTextRule("OnlyTwo", "Two", "line");
    Start();
    EXPECT_EQ(m_pEngine->GetBindingCount(), 3u);
    RunTo(0);
    Append("app.log", "line x\n");
    EXPECT_EQ(RunTo(1), (Reports{"Any:One:x", "Any:Two:x", "OnlyTwo:Two:x"}));
}

// Whoever may write to a watched folder can plant a link to a file only the
// sensor may read, written to just now: it is never read, never taken for
// the newest file, and counted once as a bound of each group however many
// scans meet it.  Root's own link is read.
TEST_F(TextLogEngineTest, AnotherAccountsLinkIsNeverReadNorTheNewestAndIsCountedOnce) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a link to another account";
    }
    InputBounds::Instance().ForgetForTest();
    hwtest::ScratchDirectory secret;
    hwtest::WriteWholeFile(secret.File("shadow"), "ERROR secret\n");
    Append("app.log", "");
    AddGroup("All", m_Dir.Path() + "/*.log");
    AddGroup("Newest", m_Dir.Path() + "/*.log", true);
    AddTextRule("Errors", "All,Newest", "ERROR");
    Start();
    RunTo(0);
    ASSERT_EQ(0, ::symlink(secret.File("shadow").c_str(), m_Dir.File("planted.log").c_str()));
    ASSERT_EQ(0, ::lchown(m_Dir.File("planted.log").c_str(), 65534, 65534));
    Append("app.log", "ERROR mine\n");
    const timespec times[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, m_Dir.File("app.log").c_str(), times, 0));
    EXPECT_EQ(RunTo(NextScan()), (Reports{"Errors:All:mine", "Errors:Newest:mine"}));
    Append("app.log", "ERROR again\n");
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, m_Dir.File("app.log").c_str(), times, 0));
    EXPECT_EQ(RunTo(NextScan() + 2 * CEngineTextLog::kScanInterval),
              (Reports{"Errors:All:again", "Errors:Newest:again"}));
    // What another account makes there is its group's bound, counted once
    // however many scans meet it.
    for (const char* pszGroup : {"All", "Newest"}) {
        const std::string strBound = std::string("Bound reached: log group ") + pszGroup + " (" + m_Dir.Path() +
                                     "/*.log): another account's FIFOs, sockets, devices and links are not "
                                     "read; 1 name left out";
        const std::vector<std::string> bounds = InputBounds::Instance().Describe();
        EXPECT_EQ(1, std::count(bounds.begin(), bounds.end(), strBound)) << strBound;
        EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), strBound)) << m_Console.Text();
    }
    EXPECT_EQ(std::string::npos, m_Console.Text().find("secret")) << m_Console.Text();

    ASSERT_EQ(0, ::lchown(m_Dir.File("planted.log").c_str(), 0, 0));
    ASSERT_EQ(0, ::rename(m_Dir.File("planted.log").c_str(), m_Dir.File("mine.log").c_str()));
    EXPECT_EQ(RunTo(NextScan()), (Reports{"Errors:All:secret", "Errors:Newest:secret"}));
}

// A group's path may lead through a folder link that another account
// planted: nothing beyond it is read, by a name written out or by a
// pattern, and each path is said once per group however many scans meet
// it.  The same link made root's is followed.
TEST_F(TextLogEngineTest, PathThroughAnotherAccountsFolderLinkIsNotReadAndIsWarnedOfOncePerGroup) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a link to another account";
    }
    hwtest::ScratchDirectory secret;
    hwtest::WriteWholeFile(secret.File("app.log"), "");
    const std::string strLink = m_Dir.File("linked");
    ASSERT_EQ(0, ::symlink(secret.Path().c_str(), strLink.c_str()));
    ASSERT_EQ(0, ::lchown(strLink.c_str(), 65534, 65534));
    AddGroup("Direct", strLink + "/app.log");
    AddGroup("Pattern", m_Dir.Path() + "/*/app.log");
    AddTextRule("Errors", "Direct,Pattern", "ERROR");
    Start();
    RunTo(0);
    std::ofstream(secret.File("app.log"), std::ios::app) << "ERROR secret\n";
    EXPECT_EQ(RunTo(NextScan() + 2 * CEngineTextLog::kScanInterval), Reports{});
    for (const char* pszGroup : {"Direct", "Pattern"}) {
        EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "WARNING: " + strLink + "/app.log lies under " +
                                                            strLink +
                                                            ", a symbolic link another account owns (nobody, "
                                                            "uid 65534); log group " +
                                                            pszGroup + " does not watch it\n"))
            << m_Console.Text();
    }

    ASSERT_EQ(0, ::lchown(strLink.c_str(), 0, 0));
    EXPECT_EQ(RunTo(NextScan()), (Reports{"Errors:Direct:secret", "Errors:Pattern:secret"}));
}

// The debug trace is where an operator looks when a rule stays silent: it
// says what every rule of the file's group made of each line.
TEST_F(TextLogEngineTest, DebugTraceSaysWhatEachRuleOfTheGroupMadeOfALine) {
    Append("app.log", "");
    AddGroup("One", m_Dir.File("app.log"));
    AddTextRule("Hits", "One", "line");
    AddTextRule("Misses", "One", "nothing like it");
    Start();
    RunTo(0);
    SetDebugLoggingEnabled(true);
    Append("app.log", "line x\n");
    const Reports reports = RunTo(1);
    SetDebugLoggingEnabled(false);
    EXPECT_EQ(reports, (Reports{"Hits:One:x"}));
    EXPECT_TRUE(m_Console.Contains("TextLog: rule \"Hits\" of group One matches")) << m_Console.Text();
    EXPECT_TRUE(m_Console.Contains("TextLog: rule \"Misses\" of group One does not match")) << m_Console.Text();
}

// Whoever can write a watched log decides how many lines it gains: the
// echo of all files together keeps to one budget and counts what it left
// out, while every line is still matched.
TEST_F(TextLogEngineTest, EchoOfAFloodKeepsToItsBudgetAcrossFilesWhileEveryLineIsMatched) {
    Append("a.log", "");
    Append("b.log", "");
    AddGroup("Both", m_Dir.Path() + "/*.log");
    AddTextRule("Errors", "Both", "ERROR");
    Start();
    RunTo(0);
    constexpr int kLines = 3000;
    for (const char* pszName : {"a.log", "b.log"}) {
        std::string strLines;
        for (int i = 0; i < kLines; ++i) {
            strLines += "ERROR " + std::to_string(i) + " " + std::string(100, 'x') + "\n";
        }
        Append(pszName, strLines);
    }
    static const std::regex kLeftOut(
        R"(DEBUG: (\d+) (?:line read without its|lines read without their) echo \(the echo is kept to 20 lines and 8192 bytes a second\)\n)");
    size_t nEchoed = 0;
    size_t nLeftOut = 0;
    auto Count = [&] {
        const std::string strText = m_Console.Text();
        nEchoed = hwtest::CountOf(strText, "DEBUG: Get[");
        nLeftOut = 0;
        for (auto it = std::sregex_iterator(strText.begin(), strText.end(), kLeftOut);
             it != std::sregex_iterator(); ++it) {
            nLeftOut += std::stoull((*it)[1].str());
        }
        return nEchoed + nLeftOut;
    };
    // A slow machine may need more than one pass for the lines, and the
    // count of those left out is given at most once a second.
    const auto start = std::chrono::steady_clock::now();
    size_t nReports = 0;
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] {
            nReports += RunTo(m_dwPass).size();
            return !m_pEngine->HasBacklog() && Count() == 2u * kLines;
        },
        30))
        << nEchoed << " echoed, " << nLeftOut << " left out";
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(nReports, 2u * kLines);
    EXPECT_GT(nLeftOut, 0u);
    // A second's burst, and what the time the passes took earned.
    EXPECT_LE(nEchoed, static_cast<size_t>(CEngineTextLog::kEchoLinesPerSecond * (1 + dSeconds)) + 1);
    EXPECT_GE(nEchoed, static_cast<size_t>(CEngineTextLog::kEchoLinesPerSecond));
}

namespace {

class LogGroupTest : public ::testing::Test {
protected:
    void Touch(const std::string& strName, time_t seconds) {
        std::ofstream(m_Dir.File(strName)) << "x\n";
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, m_Dir.File(strName).c_str(), times, 0), 0);
    }
    std::vector<std::string> Expand(CLogGroup& group) {
        std::vector<std::string> files;
        const size_t nCount = group.ExpandFiles(files);
        EXPECT_EQ(nCount, files.size());
        for (std::string& strFile : files) {
            strFile = strFile.substr(m_Dir.Path().size() + 1);
        }
        return files;
    }

    hwtest::ScratchDirectory m_Dir;
};

}  // namespace

TEST_F(LogGroupTest, NewestOnlyChoosesOneFileOverAllPathsAndTheFirstAmongEquals) {
    Touch("a.log", 1000);
    Touch("b.log", 3000);
    Touch("c.txt", 3000);
    Touch("epoch.log", 0);
    // Written just now, but no log: it never displaces one.
    ASSERT_EQ(0, ::mkfifo(m_Dir.File("pipe.log").c_str(), 0600));
    CLogGroup group("G");
    group.AddPath(m_Dir.Path() + "/*.log");
    group.AddPath(m_Dir.Path() + "\\c.txt");
    group.SetNewestOnly(true);
    EXPECT_EQ(Expand(group), std::vector<std::string>{});
    group.SetUsed(true);
    EXPECT_EQ(Expand(group), std::vector<std::string>{"b.log"});
    group.SetNewestOnly(false);
    EXPECT_EQ(Expand(group), (std::vector<std::string>{"a.log", "b.log", "epoch.log", "pipe.log", "c.txt"}));
}

TEST_F(LogGroupTest, WildcardDirectoryNeverMatchesTheDirectoryItselfOrItsParent) {
    ASSERT_EQ(::mkdir(m_Dir.File("d1").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(m_Dir.File("d2").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(m_Dir.File("d2/sub").c_str(), 0755), 0);
    Touch("app.log", 10);
    Touch("d1/app.log", 10);
    Touch("d2/sub/deep.log", 10);
    CLogGroup group("G");
    group.SetUsed(true);
    group.AddPath(m_Dir.Path() + "/*/app.log");
    group.AddPath(m_Dir.Path() + "/d2/...");
    group.AddPath(m_Dir.Path() + "/d*");
    group.AddPath(m_Dir.Path() + "/d1");
    group.AddPath(m_Dir.Path() + "/missing/*.log");
    // A directory named outright is taken; one a wildcard finds is not.
    // Walking into "." or ".." would not end.
    hwtest::Watchdog watchdog("expanding wildcard directories", std::chrono::seconds(30));
    EXPECT_EQ(Expand(group), (std::vector<std::string>{"d1/app.log", "d2/sub/deep.log", "d1"}));
}

// Another account that can write a watched folder fills it with files: the
// group goes on following what it followed, takes root's new file before
// theirs, follows no more than its bound and says how many it left out,
// once however many scans meet them; a file with nothing new holds no
// buffer.
TEST_F(TextLogEngineTest, GroupFollowsAtMostItsBoundKeepingItsFilesAndTakingRootsFirst) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give files to another account";
    }
    InputBounds::Instance().ForgetForTest();
    Append("app.log", "ERROR history\n");
    AddGroup("App", m_Dir.Path() + "/*.log");
    AddTextRule("Errors", "App", "ERROR");
    Start();
    RunTo(0);
    // Their names come first in the walk, root's new file last.
    const size_t nFlood = CLogGroup::kMaxFilesFollowed + 20;
    for (size_t i = 0; i < nFlood; ++i) {
        char szName[32];
        std::snprintf(szName, sizeof szName, "a%04zu.log", i);
        Append(szName, "ERROR flood\n");
        ASSERT_EQ(0, ::chown(m_Dir.File(szName).c_str(), 65534, 65534));
    }
    Append("zz-root.log", "ERROR rootnew\n");
    Append("app.log", "ERROR mine\n");
    const Reports reports = RunTo(NextScan());
    EXPECT_EQ(m_pEngine->GetListenerCount(), CLogGroup::kMaxFilesFollowed);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "Errors:App:mine"), 1);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "Errors:App:rootnew"), 1);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "Errors:App:history"), 0);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "Errors:App:flood"),
              static_cast<long>(CLogGroup::kMaxFilesFollowed) - 2);
    const size_t nLeftOut = nFlood + 1 - (CLogGroup::kMaxFilesFollowed - 1);
    const std::string strBound = "Bound reached: log group App (" + m_Dir.Path() +
                                 "/*.log): at most " + std::to_string(CLogGroup::kMaxFilesFollowed) +
                                 " files followed; " + std::to_string(nLeftOut) + " files left out";
    EXPECT_TRUE(m_HostLog.Contains(strBound + " (said again at most once a minute while it lasts)")) << strBound;
    RunTo(NextScan() + CEngineTextLog::kScanInterval);
    EXPECT_EQ(InputBounds::Instance().Describe(), std::vector<std::string>{strBound});
    std::printf("%zu files in the folder: %zu followed, %zu left out\n", nFlood + 2,
                m_pEngine->GetListenerCount(), nLeftOut);
    for (const char* pszName : {"a0000.log", "a0100.log", "app.log"}) {
        EXPECT_FALSE(Listener(pszName).HoldsBuffers()) << pszName;
    }
    Append("app.log", "ERROR later\n");
    EXPECT_EQ(RunTo(m_dwPass), Reports{"Errors:App:later"});
}

// New files are left out, and said, rather than opened into the
// descriptors kept free for sockets, decoy connections and outputs; they
// are taken up once descriptors are to spare again.
TEST_F(TextLogEngineTest, NewFilesAreLeftOutRatherThanOpenedIntoTheDescriptorsKeptFree) {
    InputBounds::Instance().ForgetForTest();
    Append("app.log", "");
    AddGroup("App", m_Dir.Path() + "/*.log");
    AddTextRule("Errors", "App", "ERROR");
    Start();
    RunTo(0);
    Reports reports;
    {
        // Under 256 descriptors the floor is 64: three to spare for files.
        hwtest::DescriptorSqueeze squeeze(plat::DescriptorFloorFor(0) +
                                          CEngineTextLog::kScanReserve + 3);
        ASSERT_TRUE(squeeze.IsLowered());
        ASSERT_LT(plat::GetDescriptorBudget().m_qwLimit, 256u);
        for (int i = 0; i < 8; ++i) {
            Append("new" + std::to_string(i) + ".log", "ERROR new" + std::to_string(i) + "\n");
        }
        reports = RunTo(NextScan());
    }
    EXPECT_EQ(reports.size(), 3u);
    EXPECT_EQ(m_pEngine->GetListenerCount(), 4u);
    const std::vector<std::string> bounds = InputBounds::Instance().Describe();
    ASSERT_EQ(bounds.size(), 1u);
    EXPECT_NE(bounds[0].find("Bound reached: log group App (" + m_Dir.Path() + "/*.log): no file opened into the "),
              std::string::npos)
        << bounds[0];
    EXPECT_NE(bounds[0].find(" descriptors kept free of the process's "), std::string::npos) << bounds[0];
    EXPECT_NE(bounds[0].find(" for sockets, decoy connections and outputs; 5 files left out"), std::string::npos)
        << bounds[0];
    // Read from their first lines once taken up.
    reports = RunTo(NextScan());
    EXPECT_EQ(reports.size(), 5u);
    EXPECT_EQ(m_pEngine->GetListenerCount(), 9u);
}

// A file the group cannot open for want of a descriptor is never taken for
// one gone before it could be read: it waits, and is read from its first
// line once a descriptor is free; a followed file is read on while no scan
// can be made, and that is said as a bound of the group.
TEST_F(TextLogEngineTest, FileWaitingForADescriptorIsReadOnceOneIsFreeAndAScanWithoutOneIsSaid) {
    InputBounds::Instance().ForgetForTest();
    StartOnAppLog();
    {
        // Enough for a look at a name, too few to open a file.
        hwtest::DescriptorSqueeze squeeze(plat::DescriptorFloorFor(0) + 2);
        ASSERT_TRUE(squeeze.IsLowered());
        RenewAppLogWhileStarved();
        Append("app.log", "ERROR fourth\n");
        EXPECT_EQ(RunTo(2), Reports{});
    }
    EXPECT_EQ(RunTo(3), (Reports{"Errors:App:third", "Errors:App:fourth"}));
    EXPECT_EQ(m_pEngine->GetLosses().m_qwVanished, 0u);
    EXPECT_EQ(std::string::npos, m_Console.Text().find("gone before it could be read")) << m_Console.Text();

    Append("app.log", "ERROR starved\n");
    {
        hwtest::DescriptorSqueeze squeeze(plat::DescriptorFloorFor(0) + 2);
        EXPECT_EQ(RunTo(NextScan() + CEngineTextLog::kScanInterval), Reports{"Errors:App:starved"});
    }
    const std::vector<std::string> bounds = InputBounds::Instance().Describe();
    ASSERT_EQ(bounds.size(), 1u);
    EXPECT_NE(bounds[0].find("Bound reached: log group App (" + m_Dir.File("app.log") +
                             "): a scan needs 5 descriptors above the 64 descriptors kept free of the process's "),
              std::string::npos)
        << bounds[0];
    EXPECT_NE(bounds[0].find(" for sockets, decoy connections and outputs; 2 scans left out"), std::string::npos)
        << bounds[0];
    Append("app.log", "ERROR fed\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:fed"});
    EXPECT_EQ(AppEntry("app.log")->m_dwNames, 1u);
    // The host was told when the scans lacked descriptors and when they had
    // them again, and so asked for the summary each time.
    const std::vector<std::string> notices = m_HostLog.m_Services.Notices();
    for (const char* pszChange : {"short of descriptors", "have descriptors again"}) {
        EXPECT_EQ(1, std::count(notices.begin(), notices.end(),
                                std::string("2:The sensor's description changed: text-log scans ") + pszChange))
            << ::testing::PrintToString(notices);
    }
}

// Whoever writes a watched folder decides how many FIFOs it holds: each is
// passed over, and their warnings keep to the engine's limit a minute.
TEST_F(TextLogEngineTest, WarningsOfFilesThatCannotBeOpenedKeepToALimit) {
    Append("app.log", "");
    StartOnEveryLog();
    constexpr unsigned kFifos = 2 * TextLogLosses::kReportsPerMinute;
    for (unsigned i = 0; i < kFifos; ++i) {
        ASSERT_EQ(0, ::mkfifo(m_Dir.File("pipe" + std::to_string(i) + ".log").c_str(), 0600));
    }
    Append("app.log", "ERROR beside\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:beside"});
    EXPECT_EQ(hwtest::CountOf(m_Console.Text(), " is a FIFO "), TextLogLosses::kReportsPerMinute)
        << m_Console.Text();
    EXPECT_EQ(m_pEngine->GetListenerCount(), kFifos + 1);
}
