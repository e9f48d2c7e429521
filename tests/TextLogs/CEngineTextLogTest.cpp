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
#include <regex>
#include <string>

#include "Common/AgentEventInfo.h"
#include "Common/InputBounds.h"
#include "TextLogs/LogGroup.h"
#include "TextLogs/LogRuleFixture.h"
#include "TextLogs/TextLogListener.h"
#include "platform/Descriptors.h"
#include "platform/Sockets.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/CSFSensor.h"
#include "support/DescriptorSqueeze.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"
#include "support/Watchdog.h"

namespace {

constexpr const char kHost[] = "198.51.100.4";

std::string Pair(const AgentEventInfo& record, const char* pszName) {
    std::string strValue = "<absent>";
    record.GetInfoPairValue(pszName, strValue);
    return strValue;
}

// Lets a test act on the files while the engine reports a line, between
// two of the engine's own steps.
class HookedTextLog : public CEngineTextLog {
public:
    void ReportLine(const std::string& strGroup, const std::string& strFile, uint32_t dwHostAddress,
                    const char* pszLine) override {
        if (m_OnLine) {
            m_OnLine(pszLine);
        }
        CEngineTextLog::ReportLine(strGroup, strFile, dwHostAddress, pszLine);
    }
    std::function<void(const std::string&)> m_OnLine;
};

class TextLogEngineTest : public ::testing::Test, public LogRuleFixture {
protected:
    using Reports = std::vector<std::string>;

    TextLogEngineTest() {
        m_FrameworkSensor.SetSensorAddress("192.0.2.7");
        plat::ParseIpv4Address(kHost, m_dwHost);
    }
    ~TextLogEngineTest() override {
        m_pEngine.reset();
        m_Sensor.DeleteRules();
    }

    void AddGroup(const char* pszName, const std::string& strPaths, bool bNewestOnly = false) {
        const std::string strKey = std::string("\\Advanced\\Logs\\") + pszName;
        Set(strKey, "Path", strPaths.c_str());
        Set(strKey, "NewestOnly", bNewestOnly);
    }
    void AddTextRule(const char* pszName, const char* pszLogs, const char* pszPattern) {
        const std::string strPath = AddRule(pszName, "TextLog", pszLogs);
        Set(strPath, "Regular Expression", pszPattern);
        Set(strPath + "\\Info", "Group", "@Group");
        Set(strPath + "\\Info", "Word", "@Field1");
    }
    void Start() {
        m_pEngine = std::make_unique<HookedTextLog>();
        m_Sensor.m_pPolicy = m_pPolicy;
        ASSERT_EQ(m_pEngine->Oninit(0), 0);
    }
    void Append(const std::string& strName, const std::string& strBytes) {
        std::ofstream(m_Dir.File(strName), std::ios::binary | std::ios::app) << strBytes;
    }
    void Rename(const std::string& strFrom, const std::string& strTo) {
        ASSERT_EQ(::rename(m_Dir.File(strFrom).c_str(), m_Dir.File(strTo).c_str()), 0);
    }
    void Remove(const std::string& strName) { ASSERT_EQ(::unlink(m_Dir.File(strName).c_str()), 0); }
    const CTextLogListener& Listener(const std::string& strName) {
        const CTextLogListener* pListener = m_pEngine->FindListener(m_Dir.File(strName));
        EXPECT_NE(pListener, nullptr) << strName;
        static const CTextLogListener kNone("");
        return pListener != nullptr ? *pListener : kNone;
    }
    // Runs passes up to and including `dwLast`, as the thread numbers them,
    // and answers "rule:group:word" for each record reported.
    std::vector<std::string> RunTo(uint32_t dwLast) {
        for (; m_dwPass <= dwLast; ++m_dwPass) {
            EXPECT_TRUE(m_pEngine->RunPass(m_dwPass, m_dwHost));
        }
        std::vector<std::string> reports;
        for (const auto& pRecord : m_Sensor.TakeReported()) {
            reports.push_back(pRecord->GetRuleName() + ":" + Pair(*pRecord, "Group") + ":" +
                              Pair(*pRecord, "Word"));
        }
        return reports;
    }
    // One group "App" of app.log and a rule "Errors" on "ERROR", the file
    // followed from its end by pass 0.
    void StartOnAppLog() {
        Append("app.log", "");
        AddGroup("App", m_Dir.File("app.log"));
        AddTextRule("Errors", "App", "ERROR");
        Start();
        RunTo(0);
    }
    // The same with the group "App" of every *.log file of the folder.
    void StartOnEveryLog() {
        AddGroup("App", m_Dir.Path() + "/*.log");
        AddTextRule("Errors", "App", "ERROR");
        Start();
        RunTo(0);
    }
    // Renames app.log away and creates it anew with "ERROR second", read by
    // pass 1 (the old file followed on through its descriptor); then the
    // old file gains `strOldTail`, and the name is deleted and created
    // anew with "ERROR <strNew>", and `act` is called while the engine
    // reports the old file's line "ERROR firstlast", on its way to the new
    // file.
    void TurnTwiceActingAtTheOldLastLine(const std::string& strOldTail, const std::string& strNew,
                                         std::function<void()> act) {
        Rename("app.log", "app.log.1");
        Append("app.log", "ERROR second\n");
        EXPECT_EQ(RunTo(1), Reports{"Errors:App:second"});
        Append("app.log.1", strOldTail);
        Remove("app.log");
        Append("app.log", "ERROR " + strNew + "\n");
        m_pEngine->m_OnLine = [act = std::move(act)](const std::string& strLine) {
            if (strLine == "ERROR firstlast") {
                act();
            }
        };
    }
    // Appends `strLines` and sets the file's times to `seconds`.
    void WriteAt(const std::string& strName, const std::string& strLines, time_t seconds) {
        Append(strName, strLines);
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, m_Dir.File(strName).c_str(), times, 0), 0);
    }
    // The next pass number that scans.
    uint32_t NextScan() const {
        return (m_dwPass + CEngineTextLog::kScanInterval - 1) / CEngineTextLog::kScanInterval *
               CEngineTextLog::kScanInterval;
    }

    hwtest::ScratchDirectory m_Dir;
    CSFSensor m_FrameworkSensor;
    std::unique_ptr<HookedTextLog> m_pEngine;
    uint32_t m_dwHost = 0;
    uint32_t m_dwPass = 0;
};


}  // namespace

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
    // Stopped at the next scan, but its last lines are still read.
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:last"});
    EXPECT_EQ(m_pEngine->FindListener(m_Dir.File("app.log"))->m_dwState,
              CTextLogListener::kStopped);
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
    EXPECT_TRUE(Listener("app.log").HasPrevious());
    // The pass after its last line is read, then five quiet ones: let go.
    EXPECT_EQ(RunTo(4 + CEngineTextLog::kPreviousQuietPasses), Reports{});
    EXPECT_FALSE(Listener("app.log").HasPrevious());
    expected.clear();
    Burst("app.log", "thirdmore", 1);
    EXPECT_EQ(RunTo(m_dwPass), expected);
    EXPECT_EQ(m_pEngine->GetLosses().m_qwVanished + m_pEngine->GetLosses().m_qwTruncations, 0u);
}

// A log renamed away, its writer still at it, and created anew only after a
// scan found the name empty: the old file is read until it is let go at
// the following scan, and the new one from its first line within a pass.
TEST_F(TextLogEngineTest, NameEmptyAtAScanIsTakenUpWithinAPassWhenAFileTakesItAgain) {
    StartOnAppLog();
    Rename("app.log", "app.log.1");
    EXPECT_EQ(RunTo(NextScan()), Reports{});
    EXPECT_EQ(Listener("app.log").m_dwState, CTextLogListener::kStopped);
    Append("app.log.1", "ERROR late\n");
    EXPECT_EQ(RunTo(m_dwPass), Reports{"Errors:App:late"});
    Append("app.log", "ERROR back\n");
    Append("app.log.1", "ERROR later\n");
    EXPECT_EQ(RunTo(m_dwPass), (Reports{"Errors:App:later", "Errors:App:back"}));
    EXPECT_EQ(Listener("app.log").m_dwState, CTextLogListener::kMonitoring);
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
                                   "it after those and before the truncation is lost (at least 12 bytes); it "
                                   "is read again from its beginning";
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "WARNING: " + strWarning + "\n")) << m_Console.Text();
    EXPECT_TRUE(m_HostLog.Contains(strWarning));
    EXPECT_EQ(m_pEngine->GetLosses().m_qwTruncations, 1u);
    EXPECT_EQ(m_pEngine->GetLosses().m_qwBytes, 12u);
    Append("app.log", "ERROR after\n");
    EXPECT_EQ(RunTo(m_dwPass), Reports{"Errors:App:after"});
}

// The name is looked at, then replaced again before the engine can open it:
// the file it named was never read, and that is counted and said.
TEST_F(TextLogEngineTest, FileGoneBeforeItCouldBeOpenedIsReportedAsLost) {
    StartOnAppLog();
    // The next switch reads the first file to its end first: while it
    // reports that line, the file the name was found to hold goes.
    TurnTwiceActingAtTheOldLastLine("ERROR firstlast\n", "never", [&] {
        // Made before the other goes, so it cannot take over its inode.
        Append("app.log.new", "ERROR fourth\n");
        Rename("app.log.new", "app.log");
    });
    EXPECT_EQ(RunTo(2), (Reports{"Errors:App:firstlast", "Errors:App:fourth"}));
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
    // A file new to the group is read from its first line.
    Write("b.log", "ERROR b1\n", 4000);
    EXPECT_EQ(RunTo(NextScan()), (Reports{"Errors:News:b0", "Errors:News:b1"}));
    // Back at the next scan, while the engine still holds a.log.
    Write("a.log", "ERROR a2\n", 5000);
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:News:a2"});
    Write("b.log", "ERROR b2\n", 6000);
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:News:b2"});
    RunTo(NextScan());
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
    const auto Settled = [&] {
        Reports reports = RunTo(NextScan() + 2 * CEngineTextLog::kScanInterval +
                                CEngineTextLog::kPreviousQuietPasses);
        std::sort(reports.begin(), reports.end());
        return reports;
    };

    // Rotated, its writer still at the old file for a moment.
    Rename("app.log", "app.1.log");
    Append("app.log", "ERROR two\n");
    Append("app.1.log", "ERROR late\n");
    EXPECT_EQ(Settled(), (Reports{"Errors:App:late", "Errors:App:two"}));
    Append("app.1.log", "ERROR later\n");
    EXPECT_EQ(Settled(), Reports{"Errors:App:later"});

    // Renamed again while no other name reads it.
    Rename("app.1.log", "app.2.log");
    Append("app.2.log", "ERROR three\n");
    Append("app.log", "ERROR four\n");
    EXPECT_EQ(Settled(), (Reports{"Errors:App:four", "Errors:App:three"}));
    EXPECT_EQ(m_pEngine->GetLosses().m_qwVanished + m_pEngine->GetLosses().m_qwTruncations, 0u);

    // Rotated, then renamed again while its first new name waited for the
    // old one to let it go.
    Rename("app.log", "app.3.log");
    Append("app.log", "ERROR five\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:five"});
    Rename("app.3.log", "app.4.log");
    Append("app.4.log", "ERROR six\n");
    EXPECT_EQ(Settled(), Reports{"Errors:App:six"});

    // Rotated onto a name the group follows, whose file it replaces.
    Append("app.4.log", "ERROR seven\n");
    Append("app.log", "ERROR eight\n");
    EXPECT_EQ(RunTo(m_dwPass), (Reports{"Errors:App:seven", "Errors:App:eight"}));
    Rename("app.log", "app.4.log");
    Append("app.log", "ERROR nine\n");
    Append("app.4.log", "ERROR ten\n");
    EXPECT_EQ(Settled(), (Reports{"Errors:App:nine", "Errors:App:ten"}));
}

// A second name of a file in another group's folder gives that group the
// lines all the same: it is no repeat of the first group's.
TEST_F(TextLogEngineTest, SecondNameOfAFileInAnotherGroupGivesThatGroupItsLines) {
    Append("app.log", "");
    AddGroup("One", m_Dir.File("app.log"));
    AddGroup("Two", m_Dir.File("copy.txt"));
    AddTextRule("Errors", "One,Two", "ERROR");
    Start();
    RunTo(0);
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
// the newest file, and said once however many scans meet it.  Root's own
// link is read.
TEST_F(TextLogEngineTest, AnotherAccountsLinkIsNeverReadNorTheNewestAndIsWarnedOfOnce) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a link to another account";
    }
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
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "WARNING: " + m_Dir.File("planted.log") +
                                                        " is a symbolic link another account owns "
                                                        "(nobody, uid 65534); it is not followed\n"))
        << m_Console.Text();
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
        R"(DEBUG: (\d+) lines read without their echo \(the echo is kept to 20 lines and 8192 bytes a second\)\n)");
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
                                          CEngineTextLog::kWalkDescriptors + 3);
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

// An open that fails for want of a descriptor is said as that, never as a
// file gone before it could be read; the file keeps its place and is read
// from its first line once a descriptor is free, and a followed file is
// read on while no scan can run.
TEST_F(TextLogEngineTest, OpenFailingForWantOfADescriptorIsNamedAndTheFileIsReadOnceOneIsFree) {
    StartOnAppLog();
    hwtest::DescriptorSqueeze squeeze(256);
    ASSERT_TRUE(squeeze.IsLowered());
    // The name turns twice; while the old file's last line is reported,
    // every descriptor is taken, so the new one cannot be opened.
    TurnTwiceActingAtTheOldLastLine("ERROR firstlast\n", "third", [&] { squeeze.TakeAll(); });
    EXPECT_EQ(RunTo(2), Reports{"Errors:App:firstlast"});
    m_pEngine->m_OnLine = nullptr;
    const std::string strWarning = "WARNING: Cannot open " + m_Dir.File("app.log") +
                                   " to read: the process has no descriptor left (Too many open files); "
                                   "it is opened where its reading stands once one is free\n";
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), strWarning)) << m_Console.Text();
    // Still none to spare: tried again, and said no more.
    Append("app.log", "ERROR fourth\n");
    EXPECT_EQ(RunTo(3), Reports{});
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), strWarning));
    squeeze.GiveBack();
    EXPECT_EQ(RunTo(4), (Reports{"Errors:App:third", "Errors:App:fourth"}));
    EXPECT_EQ(m_pEngine->GetLosses().m_qwVanished, 0u);
    EXPECT_EQ(std::string::npos, m_Console.Text().find("gone before it could be read")) << m_Console.Text();

    // A scan that cannot be made for want of descriptors waits; the file
    // followed is read on all the while, and stays followed.
    Append("app.log", "ERROR starved\n");
    squeeze.TakeAll();
    EXPECT_EQ(RunTo(NextScan() + CEngineTextLog::kScanInterval), Reports{"Errors:App:starved"});
    squeeze.GiveBack();
    Append("app.log", "ERROR fed\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:fed"});
    EXPECT_EQ(Listener("app.log").m_dwState, CTextLogListener::kMonitoring);
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
