// Each file a log group follows is read by one reader, from where it was
// last read: names are only ways to find files, so links, rotations faster
// than the passes, pauses and reloads repeat no line and lose none; a
// newest-only group goes by times nobody can forge ahead; what a group left
// out is counted once, reload after reload; and a rule's templates see the
// whole line it matched.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "Common/InputBounds.h"
#include "Common/ScanBound.h"
#include "TextLogs/SensorOutputs.h"
#include "TextLogs/TextLogEngineFixture.h"
#include "platform/Descriptors.h"
#include "platform/OwnOutputs.h"
#include "support/DescriptorSqueeze.h"
#include "support/NamespacedHost.h"

namespace {

// 2100-01-01, as `touch -d` would set it.
constexpr time_t kYear2100 = 4102444800;

// Files are made in `dir` until one is given the identity of the removed
// file `old` had, as a busy folder's next file is, under names no group
// of these tests matches: its path, or empty (`strWhyNot` saying why) when
// none is, or when the file system does not say when a file was made.
std::string FileGivenTheIdentity(const hwtest::ScratchDirectory& dir, const struct stat& old,
                                 std::string& strWhyNot) {
    for (int n = 0; n < 64; ++n) {
        const std::string strName = dir.File("spare" + std::to_string(n) + ".tmp");
        std::ofstream(strName).flush();
        struct stat made {};
        if (::stat(strName.c_str(), &made) != 0 || made.st_ino != old.st_ino ||
            made.st_dev != old.st_dev) {
            continue;
        }
        struct statx born {};
        if (::statx(AT_FDCWD, strName.c_str(), 0, STATX_BTIME, &born) != 0 ||
            (born.stx_mask & STATX_BTIME) == 0) {
            strWhyNot = "this file system does not say when a file was made";
            return std::string();
        }
        return strName;
    }
    strWhyNot = "this file system gives a removed file's identity to no new file at once";
    return std::string();
}

class LogGroupFilesTest : public TextLogEngineTest {
protected:
    // Runs to `dwLast` and answers the reports in order of their text.
    Reports Sorted(uint32_t dwLast) {
        Reports reports = RunTo(dwLast);
        std::sort(reports.begin(), reports.end());
        return reports;
    }
    void ExpectNoLoss() {
        EXPECT_EQ(m_pEngine->GetLosses().m_qwVanished + m_pEngine->GetLosses().m_qwTruncations, 0u);
        EXPECT_EQ(std::string::npos, m_Console.Text().find("lines are lost")) << m_Console.Text();
    }
    std::vector<std::string> Bounds() { return InputBounds::Instance().Describe(); }
    // One group "All" of every file of the folder, app.log among them, and
    // a rule "Errors" on "ERROR", its files followed from their ends by
    // pass 0.
    void StartOnTheWholeFolder() {
        Append("app.log", "");
        AddGroup("All", m_Dir.Path() + "/*");
        AddTextRule("Errors", "All", "ERROR");
        Start();
        RunTo(0);
    }
    // Gives the identity the removed file `old` had to a new file named
    // `strName` (FileGivenTheIdentity); false, with `strWhyNot`, when none
    // takes it.
    bool GiveIdentityTo(const struct stat& old, const std::string& strName, std::string& strWhyNot) {
        const std::string strReused = FileGivenTheIdentity(m_Dir, old, strWhyNot);
        return !strReused.empty() && ::rename(strReused.c_str(), m_Dir.File(strName).c_str()) == 0;
    }
};

}  // namespace

// The usual dated files with a current link, and a hard link besides, made
// before the start: the file has three names in its group, and each line
// is reported once for as long as any of them stands.
TEST_F(LogGroupFilesTest, FileWithThreeNamesAtTheStartGivesEachLineOnce) {
    Append("app.log", "ERROR history\n");
    ASSERT_EQ(0, ::link(m_Dir.File("app.log").c_str(), m_Dir.File("hard.log").c_str()));
    ASSERT_EQ(0, ::symlink(m_Dir.File("app.log").c_str(), m_Dir.File("current.log").c_str()));
    StartOnEveryLog();
    EXPECT_EQ(AppEntries(), 1u);
    Append("app.log", "ERROR one\n");
    EXPECT_EQ(RunTo(1), Reports{"Errors:App:one"});
    Remove("app.log");
    Append("hard.log", "ERROR two\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:two"});
    ASSERT_EQ(0, ::link(m_Dir.File("hard.log").c_str(), m_Dir.File("again.log").c_str()));
    Append("again.log", "ERROR three\n");
    EXPECT_EQ(Settle(), Reports{"Errors:App:three"});
    EXPECT_EQ(AppEntries(), 1u);
    ExpectNoLoss();
}

// A log rotated through numbered names (a.log -> a.1.log -> a.2.log, the
// oldest dropped), twice between two passes and across many scans, its
// writer still at each file for a moment after it turns: every line once,
// and no loss said.
TEST_F(LogGroupFilesTest, NumberedRotationsFasterThanThePassesGiveEachLineOnce) {
    for (const char* pszName : {"a.log", "a.1.log", "a.2.log"}) {
        Append(pszName, "ERROR history\n");
    }
    StartOnEveryLog();
    Reports expected;
    int nLine = 0;
    const auto Write = [&](const std::string& strName) {
        const std::string strWord = "w" + std::to_string(nLine++);
        Append(strName, "ERROR " + strWord + "\n");
        expected.push_back("Errors:App:" + strWord);
    };
    const auto Rotate = [&] {
        Rename("a.1.log", "a.2.log");
        Rename("a.log", "a.1.log");
        Append("a.log", "");
    };
    Reports reported;
    for (int nRound = 0; nRound < 3 * static_cast<int>(CEngineTextLog::kScanInterval); ++nRound) {
        Write("a.log");
        Rotate();
        Write("a.1.log");
        Write("a.log");
        Rotate();
        Write("a.2.log");
        Write("a.1.log");
        Write("a.log");
        const Reports reports = RunTo(m_dwPass);
        reported.insert(reported.end(), reports.begin(), reports.end());
    }
    const Reports reports = Settle();
    reported.insert(reported.end(), reports.begin(), reports.end());
    std::sort(reported.begin(), reported.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(reported, expected);
    ExpectNoLoss();
}

// A sensor paused across rotations (the thread ends and starts again, its
// passes counted from 0), or reloaded, is no start: a file rotated in or
// made meanwhile is read from its first line, the rotated ones from where
// they were left, and nothing is read twice.
TEST_F(LogGroupFilesTest, PauseOrReloadAcrossRotationsRepeatsNothingAndLosesNothing) {
    Append("app.log", "ERROR history\n");
    StartOnEveryLog();
    Append("app.log", "ERROR one\n");
    EXPECT_EQ(RunTo(1), Reports{"Errors:App:one"});
    // Paused: two rotations, a new file, and lines in each.
    Append("app.log", "ERROR two\n");
    Rename("app.log", "app.1.log");
    Append("app.log", "ERROR three\n");
    Rename("app.1.log", "app.2.log");
    Rename("app.log", "app.1.log");
    Append("app.log", "ERROR four\n");
    Append("new.log", "ERROR five\n");
    Append("app.2.log", "ERROR six\n");
    m_dwPass = 0;
    EXPECT_EQ(Settle(), (Reports{"Errors:App:five", "Errors:App:four", "Errors:App:six",
                                          "Errors:App:three", "Errors:App:two"}));
    // Reloaded between two passes, across the same.
    Append("app.log", "ERROR seven\n");
    Rename("app.1.log", "app.2.log");
    Rename("app.log", "app.1.log");
    Append("app.log", "ERROR eight\n");
    Append("app.1.log", "ERROR nine\n");
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    m_dwPass = 0;
    EXPECT_EQ(Settle(), (Reports{"Errors:App:eight", "Errors:App:nine", "Errors:App:seven"}));
    ExpectNoLoss();
}

// What a group left out is counted once, however many scans and reloads
// meet it; a path a reload adds is new to the group, so what its files
// hold then is history, while the group goes on reading its other files.
TEST_F(LogGroupFilesTest, ReloadKeepsWhatEachGroupReadsAndCountsWhatItLeftOutOnce) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a FIFO of another account";
    }
    InputBounds::Instance().ForgetForTest();
    Append("app.log", "");
    Append("other.txt", "ERROR old\n");
    StartOnEveryLog();
    ASSERT_EQ(0, ::mkfifo(m_Dir.File("pipe.log").c_str(), 0600));
    ASSERT_EQ(0, ::chown(m_Dir.File("pipe.log").c_str(), 65534, 65534));
    Append("app.log", "ERROR one\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:one"});
    const std::string strBound = "Bound reached: log group App (" + m_Dir.Path() +
                                 "/*.log): another account's FIFOs, sockets, devices and links are not read; 1 "
                                 "name left out";
    for (int nReload = 0; nReload < 2; ++nReload) {
        Append("app.log", "ERROR reload" + std::to_string(nReload) + "\n");
        ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
        m_dwPass = 0;
        EXPECT_EQ(RunTo(NextScan() + CEngineTextLog::kScanInterval),
                  Reports{"Errors:App:reload" + std::to_string(nReload)});
    }
    EXPECT_EQ(Bounds(), std::vector<std::string>{strBound});
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), strBound)) << m_Console.Text();

    AddGroup("App", m_Dir.Path() + "/*.log|" + m_Dir.Path() + "/other.txt");
    Append("app.log", "ERROR two\n");
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    m_dwPass = 0;
    EXPECT_EQ(RunTo(0), Reports{"Errors:App:two"});
    Append("other.txt", "ERROR new\n");
    EXPECT_EQ(RunTo(1), Reports{"Errors:App:new"});
}

// A reload that takes away the last rule of a group leaves the lines its
// files gained since the last pass to no rule: they are said and counted as
// not read, and the group's other files and the groups kept read on.
TEST_F(LogGroupFilesTest, ReloadThatRemovesAGroupSaysWhatItsFilesHeldUnread) {
    Append("other.txt", "");
    AddGroup("Other", m_Dir.File("other.txt"));
    const std::string strOtherRule = AddRule("OtherErrors", "TextLog", "Other");
    Set(strOtherRule, "Regular Expression", "ERROR");
    StartOnAppLog();
    Append("other.txt", "ERROR read\n");
    EXPECT_EQ(RunTo(1), Reports{"OtherErrors:<absent>:<absent>"});
    Append("other.txt", "ERROR unread\n");
    Append("app.log", "ERROR kept\n");
    Set(strOtherRule, "Enabled", false);
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    EXPECT_EQ(m_pEngine->FindGroupFiles("Other"), nullptr);
    const std::string strSaid = m_Dir.File("other.txt") + " was let go by log group Other (" + m_Dir.File("other.txt") +
                                ") with 13 bytes of it not read: its lines are lost";
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), strSaid)) << m_Console.Text();
    m_dwPass = 0;
    EXPECT_EQ(RunTo(1), Reports{"Errors:App:kept"});
}

// The object that keeps a bound met at every look may be made afresh at a
// load (an audit rule read again, a group whose paths changed back): the
// looks through it count only what grew since the last look at the same
// bound through the one before.
TEST(ScanBoundTest, BoundMadeAfreshCountsOnlyWhatGrewSinceTheLastLookAtIt) {
    InputBounds::Instance().ForgetForTest();
    const std::string strInput = "log group Model (/srv/model/*.log)";
    for (uint64_t qwNow : {149u, 149u, 150u}) {
        ScanBound bound("at most 512 files followed", "files");
        bound.LeftOutAtScan(strInput, qwNow);
        bound.LeftOutAtScan(strInput, qwNow);
    }
    EXPECT_EQ(InputBounds::Instance().Describe(),
              std::vector<std::string>{"Bound reached: " + strInput + ": at most 512 files followed; 150 files left out"});
}

// Newest only: a file another account dates years ahead counts as written
// when a scan first met it, so it holds the group's place only until root's
// log is written again; the turn to it is said once, and the turn back goes
// on where root's log was left.
TEST_F(LogGroupFilesTest, FileDatedAheadByAnotherAccountHoldsTheNewestPlaceOnlyUntilRootWritesAgain) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a file to another account";
    }
    Append("app.log", "");
    AddGroup("News", m_Dir.Path() + "/*.log", true);
    AddTextRule("Errors", "News", "ERROR");
    Start();
    RunTo(0);
    Append("app.log", "ERROR one\n");
    EXPECT_EQ(RunTo(1), Reports{"Errors:News:one"});
    WriteAt("z.log", "ERROR z0\n", kYear2100);
    ASSERT_EQ(0, ::chown(m_Dir.File("z.log").c_str(), 65534, 65534));
    Append("app.log", "ERROR two\n");
    EXPECT_EQ(RunTo(NextScan()), (Reports{"Errors:News:two", "Errors:News:z0"}));
    const std::string strTurn = "WARNING: " + m_Dir.File("z.log") +
                                " is a file another account owns (nobody, uid 65534); log group News (" +
                                m_Dir.Path() + "/*.log) reads it now, as the one of its files written last\n";
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), strTurn)) << m_Console.Text();

    // Written a moment later than the scan that met z.log: a file's time is
    // the kernel's coarse clock, which may lie a few milliseconds behind a
    // scan made just before.
    WriteAt("app.log", "ERROR three\n", hwtest::SecondAfterNow());
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:News:three"});
    // Dated ahead again, to the same time: still when it was first met.
    WriteAt("z.log", "", kYear2100);
    EXPECT_EQ(RunTo(NextScan() + CEngineTextLog::kScanInterval), Reports{});
    Append("app.log", "ERROR four\n");
    EXPECT_EQ(RunTo(m_dwPass), Reports{"Errors:News:four"});
    const auto* pEntry = m_pEngine->FindGroupFiles("News")->FindEntry(m_Dir.File("app.log"));
    ASSERT_NE(nullptr, pEntry);
    EXPECT_EQ(pEntry->m_dwNames, 1u);
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), strTurn));
    ExpectNoLoss();
}

// Newest only: a scan cut at its bound of names may not meet the group's
// file: the group keeps it and takes no second, older file that the scan
// did meet.
TEST_F(LogGroupFilesTest, NewestOnlyScanCutAtItsBoundOfNamesKeepsTheFileItFollows) {
    ASSERT_EQ(0, ::mkdir(m_Dir.File("many").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(m_Dir.File("cur").c_str(), 0755));
    Append("cur/app.log", "");
    AddGroup("News", m_Dir.Path() + "/many/*.log|" + m_Dir.Path() + "/cur/*.log", true);
    AddTextRule("Errors", "News", "ERROR");
    Start();
    RunTo(0);
    for (uint64_t n = 0; n < CLogGroup::kMaxNamesPerScan + 16; ++n) {
        char szName[32];
        std::snprintf(szName, sizeof szName, "many/old%05u.log", static_cast<unsigned>(n));
        Append(szName, "ERROR old\n");
    }
    Append("cur/app.log", "ERROR mine\n");
    EXPECT_EQ(RunTo(NextScan() + CEngineTextLog::kScanInterval), Reports{"Errors:News:mine"});
    EXPECT_EQ(m_pEngine->FindGroupFiles("News")->GetEntryCount(), 1u);
    Append("cur/app.log", "ERROR again\n");
    EXPECT_EQ(RunTo(m_dwPass), Reports{"Errors:News:again"});
}

// Few descriptors to spare: the walk goes only as deep as they allow, and
// says what it left out for that; with too few for one folder, no scan is
// made, each is counted, and the summary says the group follows no file.
TEST_F(LogGroupFilesTest, WalkKeepsToTheDescriptorsToSpareAndAGroupWithoutThemSaysItFollowsNoFile) {
    InputBounds::Instance().ForgetForTest();
    ASSERT_EQ(0, ::mkdir(m_Dir.File("d1").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(m_Dir.File("d1/d2").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(m_Dir.File("d1/d2/d3").c_str(), 0755));
    Append("top.log", "");
    Append("d1/d2/d3/deep.log", "");
    AddGroup("App", m_Dir.Path() + "/...");
    AddTextRule("Errors", "App", "ERROR");
    Start();
    std::string strInput;
    EXPECT_TRUE(m_pEngine->DescribeInput(strInput));
    EXPECT_EQ(strInput, "log groups App");
    {
        // Room for a walk two folders deep and one file.
        hwtest::DescriptorSqueeze squeeze(plat::DescriptorFloorFor(0) + CEngineTextLog::kWalkOverhead + 2);
        ASSERT_TRUE(squeeze.IsLowered());
        RunTo(0);
    }
    Append("top.log", "ERROR top\n");
    Append("d1/d2/d3/deep.log", "ERROR deep\n");
    EXPECT_EQ(RunTo(1), Reports{"Errors:App:top"});
    EXPECT_EQ(Bounds(), std::vector<std::string>{"Bound reached: log group App (" + m_Dir.Path() +
                                                 "/...): fewer than 32 folders deep below a pattern's first "
                                                 "wildcard or its \"/...\", as many as the descriptors to spare "
                                                 "allow; 1 folder left out"});
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:deep"});

    hwtest::DescriptorSqueeze squeeze(plat::DescriptorFloorFor(0) + 1);
    const plat::DescriptorBudget budget = plat::GetDescriptorBudget();
    EXPECT_FALSE(m_pEngine->DescribeInput(strInput));
    EXPECT_EQ(strInput, "log groups App follow no file: a scan needs 5 descriptors above the 64 kept free of "
                        "the process's " +
                            std::to_string(budget.m_qwLimit) +
                            " for sockets, decoy connections and outputs, and 1 is to spare");
    Append("top.log", "ERROR still\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:still"});
    EXPECT_NE(std::string::npos, Bounds().back().find("a scan needs 5 descriptors above the 64 descriptors kept "
                                                      "free of the process's "))
        << Bounds().back();
}

// A rule's templates see the whole line it matched, not its first 1,023
// bytes: whoever writes the line chooses its length, and could otherwise
// hide a user or an origin beyond the cut.  Every byte of it is matched,
// fielded and templated, a NUL like any other: one before what the rule
// looks for hides nothing, and the values keep it.
TEST_F(LogGroupFilesTest, TemplatesSeeTheWholeLineTheRuleMatchedEveryByteOfIt) {
    using namespace std::string_literals;
    Append("app.log", "");
    AddGroup("App", m_Dir.File("app.log"));
    const std::string strRule = AddRule("Login", "TextLog", "App");
    Set(strRule, "Regular Expression", "failed for user");
    Set(strRule + "\\Info", "User", "for user {!} from");
    Set(strRule + "\\Info", "Last", "@Field7");
    Set(strRule + "\\Info", "Sixth", "@Field5");
    Start();
    RunTo(0);
    Append("app.log", "auth " + std::string(3000, 'x') + " a b c d e failed for user bob from 198.51.100.7\n");
    Append("app.log", "auth\0\0 a b c d e\0f failed for user e\0ve from 198.51.100.7\n"s);
    ASSERT_TRUE(m_pEngine->RunPass(1, m_dwHost));
    const auto reported = m_Sensor.TakeReported();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(Pair(*reported[0], "User"), "bob");
    EXPECT_EQ(Pair(*reported[0], "Last"), "failed");
    EXPECT_EQ(Pair(*reported[1], "User"), "e\0ve"s);
    EXPECT_EQ(Pair(*reported[1], "Last"), "for");
    EXPECT_EQ(Pair(*reported[1], "Sixth"), "e\0f"s);
}

// Whoever writes a folder beneath a group's "/..." can keep every scan from
// ending whole (a chain of folders deeper than the walk goes): names and
// files the group met and that are gone since are let go all the same, so
// that files made and removed round after round cost no more memory, nor
// looks at every pass, than those there now; a name made again is read
// from its first line.
TEST_F(LogGroupFilesTest, ScansThatNeverEndWholeKeepNoNameNorFileTheGroupNoLongerMeets) {
    std::string strDeep = m_Dir.Path();
    for (uint32_t n = 0; n <= WildcardLimits::kDefaultMaxDepth; ++n) {
        strDeep += "/d";
        ASSERT_EQ(0, ::mkdir(strDeep.c_str(), 0755));
    }
    Append("app.log", "");
    AddGroup("App", m_Dir.Path() + "/...");
    AddTextRule("Errors", "App", "ERROR");
    Start();
    RunTo(0);
    const CLogGroupFiles& files = *m_pEngine->FindGroupFiles("App");
    for (int nRound = 0; nRound < 12; ++nRound) {
        for (int n = 0; n < 8; ++n) {
            Append("f" + std::to_string(nRound) + "_" + std::to_string(n) + ".log", "");
        }
        RunTo(NextScan());
        for (int n = 0; n < 8; ++n) {
            Remove("f" + std::to_string(nRound) + "_" + std::to_string(n) + ".log");
        }
        RunTo(m_dwPass + 1);
    }
    RunTo(NextScan() + 2 * CEngineTextLog::kScanInterval);
    EXPECT_EQ(files.GetNameCount(), 1u);
    EXPECT_EQ(files.GetEntryCount(), 1u);
    Append("f0_0.log", "ERROR again\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:again"});

    // A file made under a followed name while no descriptor is to spare
    // waits for one; replaced before it ever opened, it waits no more.
    {
        hwtest::ScratchDirectory away;
        hwtest::DescriptorSqueeze squeeze(plat::DescriptorFloorFor(0) + CEngineTextLog::kScanReserve);
        ASSERT_TRUE(squeeze.IsLowered());
        for (int nRound = 0; nRound < 3 * static_cast<int>(CEngineTextLog::kScanInterval); ++nRound) {
            ASSERT_EQ(0, ::rename(m_Dir.File("app.log").c_str(), away.File(std::to_string(nRound)).c_str()));
            Append("app.log", "");
            RunTo(m_dwPass);
        }
        RunTo(NextScan() + 2 * CEngineTextLog::kScanInterval);
        // The file named now, and the one it replaced, read on until quiet.
        EXPECT_LE(files.GetEntryCount(), 2u);
    }
    Append("app.log", "ERROR last\n");
    EXPECT_EQ(Sorted(NextScan()), Reports{"Errors:App:last"});
}

// A file no name leads to any more is read on until quiet, then what came
// last is read and it is let go.  Whoever writes it decides how much that
// is: a file quiet until the moment it is let go, then grown by far more
// than a turn (a sparse gigabyte, say), is read on in turns with the
// group's other files, not to its end at once while they wait.
TEST_F(LogGroupFilesTest, FileLetGoAfterItsNameWentTakesNoMoreThanATurnBeforeTheOthers) {
    Append("x.log", "");
    Append("other.log", "");
    StartOnEveryLog();
    Rename("x.log", "x.txt");
    // The pass that finds the name gone counts the first quiet pass; the
    // next is the one that lets the file go.
    RunTo(m_dwPass + CLogGroupFiles::kQuietPasses - 2);
    constexpr int kBig = 4 * static_cast<int>(CEngineTextLog::kLinesPerTurn);
    std::string strBig;
    for (int n = 0; n < kBig; ++n) {
        strBig += "ERROR big" + std::to_string(n) + "\n";
    }
    Append("x.txt", strBig);
    Append("other.log", "ERROR other\n");
    int nBefore = -1;
    int nBig = 0;
    m_pEngine->m_OnLine = [&](const std::string& strLine) {
        if (strLine == "ERROR other") {
            nBefore = nBig;
        } else {
            ++nBig;
        }
    };
    const Reports reports = RunTo(m_dwPass + CEngineTextLog::kScanInterval);
    EXPECT_EQ(reports.size(), static_cast<size_t>(kBig) + 1);
    EXPECT_GE(nBefore, 0);
    EXPECT_LE(nBefore, 2 * static_cast<int>(CEngineTextLog::kLinesPerTurn));
}


// Lines already in a file when the engine starts are history, also in a
// file the group follows only later: one that was not the newest at the
// first scan of a newest-only group (the error log beside the access log),
// or one a bound left out then.  Only what was written after the start is
// read when the group turns to it.
TEST_F(LogGroupFilesTest, FileNotFollowedAtTheFirstScanKeepsItsLinesOfThenAsHistory) {
    WriteAt("error.log", "ERROR old1\nERROR old2\n", ::time(nullptr) - 100);
    WriteAt("access.log", "ERROR access\n", ::time(nullptr) - 10);
    AddGroup("Web", m_Dir.File("access.log") + "|" + m_Dir.File("error.log"), true);
    AddTextRule("Errors", "Web", "ERROR");
    Start();
    EXPECT_EQ(RunTo(0), Reports{});
    Append("error.log", "ERROR new\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:Web:new"});

    // Left out for want of descriptors at the first scan, followed once
    // there are.
    std::string strHistory;
    for (int n = 0; n < 8; ++n) {
        strHistory += "ERROR old" + std::to_string(n) + "\n";
        Append("f" + std::to_string(n) + ".log", strHistory);
    }
    AddGroup("All", m_Dir.Path() + "/f*.log");
    AddTextRule("AllErrors", "All", "ERROR");
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    m_dwPass = 0;
    {
        hwtest::DescriptorSqueeze squeeze(plat::DescriptorFloorFor(0) + CEngineTextLog::kScanReserve + 4);
        ASSERT_TRUE(squeeze.IsLowered());
        EXPECT_EQ(RunTo(0), Reports{});
    }
    for (int n = 0; n < 8; ++n) {
        Append("f" + std::to_string(n) + ".log", "ERROR late" + std::to_string(n) + "\n");
    }
    Reports expected;
    for (int n = 0; n < 8; ++n) {
        expected.push_back("AllErrors:All:late" + std::to_string(n));
    }
    EXPECT_EQ(Sorted(NextScan() + 1), expected);
}

// A file removed after the first scan hands its identity on to the next
// file made: one made under another name (or the same) right after holds
// none of the removed file's history, and every line of it is read.
TEST_F(LogGroupFilesTest, FileMadeWithTheIdentityOfARemovedHistoryFileIsReadFromItsFirstLine) {
    std::string strHistory;
    for (int n = 0; n < 20; ++n) {
        strHistory += "ERROR hist" + std::to_string(n) + " written before the start, padded out\n";
    }
    WriteAt("old.log", strHistory, ::time(nullptr) - 100);
    WriteAt("app.log", "ERROR app\n", ::time(nullptr) - 10);
    AddGroup("News", m_Dir.Path() + "/*.log", true);
    AddTextRule("Errors", "News", "ERROR");
    Start();
    EXPECT_EQ(RunTo(0), Reports{});

    struct stat old {};
    ASSERT_EQ(0, ::stat(m_Dir.File("old.log").c_str(), &old));
    ASSERT_EQ(0, ::unlink(m_Dir.File("old.log").c_str()));
    std::string strWhyNot;
    const std::string strReused = FileGivenTheIdentity(m_Dir, old, strWhyNot);
    if (strReused.empty()) {
        GTEST_SKIP() << strWhyNot;
    }
    ASSERT_EQ(0, ::rename(strReused.c_str(), m_Dir.File("fresh.log").c_str()));
    std::string strFresh;
    Reports expected;
    for (int n = 0; n < 80; ++n) {
        strFresh += "ERROR fresh" + std::to_string(n) + "\n";
        expected.push_back("Errors:News:fresh" + std::to_string(n));
    }
    Append("fresh.log", strFresh);
    ASSERT_GT(strFresh.size(), strHistory.size());
    EXPECT_EQ(RunTo(NextScan()), expected);
}

namespace {

// What a group's files read, kept, with a descriptor for every open.
class LinesKept : public CLogGroupFiles::Engine {
public:
    bool ReportRead(const std::string&, const std::string&, std::string_view line) override {
        m_Lines.emplace_back(line);
        return true;
    }
    bool TakeFileDescriptor() override { return true; }
    EchoBudget* SharedEchoBudget() override { return nullptr; }
    TextLogLosses* SharedLosses() override { return nullptr; }
    std::vector<std::string> m_Lines;
};

void ScanAndApply(CLogGroup& group, CLogGroupFiles& files) {
    CLogGroup::Scan scan;
    group.BeginScan(scan);
    uint32_t dwWork = UINT32_MAX;
    while (!group.ContinueScan(scan, dwWork)) {
        dwWork = UINT32_MAX;
    }
    files.ApplyScan(group, scan);
}

}  // namespace

// A file met at the first scan that was gone before it could be opened
// waits, its place the size it was met with; a file given its identity
// since is another file, whose every line is new, whether the name it has
// leads the waiting file to it or a later scan meets it after the waiting
// file was let go.
TEST(LogGroupFilesAloneTest, FileGivenTheIdentityOfOneGoneBeforeItOpenedIsReadFromItsFirstLine) {
    for (const bool bLetGo : {false, true}) {
        SCOPED_TRACE(bLetGo ? "let go first" : "still waiting");
        hwtest::ScratchDirectory dir;
        std::string strOld;
        for (int n = 0; n < 20; ++n) {
            strOld += "old line " + std::to_string(n) + ", written before the start\n";
        }
        std::ofstream(dir.File("a.log")) << strOld;
        if (bLetGo) {
            // Deeper than the walk goes: no scan ends whole.
            std::string strDeep = dir.Path();
            for (uint32_t n = 0; n <= WildcardLimits::kDefaultMaxDepth; ++n) {
                strDeep += "/d";
                ASSERT_EQ(0, ::mkdir(strDeep.c_str(), 0755));
            }
        }
        CLogGroup group("G");
        group.AddPath(dir.Path() + (bLetGo ? "/..." : "/*.log"));
        group.SetUsed(true);
        LinesKept engine;
        CLogGroupFiles files("G", engine);

        CLogGroup::Scan scan;
        group.BeginScan(scan);
        uint32_t dwWork = UINT32_MAX;
        while (!group.ContinueScan(scan, dwWork)) {
            dwWork = UINT32_MAX;
        }
        struct stat old {};
        ASSERT_EQ(0, ::stat(dir.File("a.log").c_str(), &old));
        ASSERT_EQ(0, ::unlink(dir.File("a.log").c_str()));
        files.ApplyScan(group, scan);
        ASSERT_TRUE(files.FollowNames());
        if (bLetGo) {
            // Scans cut short let go a file that no name leads to.
            ScanAndApply(group, files);
        }

        std::string strWhyNot;
        const std::string strReused = FileGivenTheIdentity(dir, old, strWhyNot);
        if (strReused.empty()) {
            GTEST_SKIP() << strWhyNot;
        }
        std::vector<std::string> expected;
        std::string strNew;
        for (int n = 0; n < 40; ++n) {
            strNew += "new line " + std::to_string(n) + ", written after\n";
            expected.push_back("new line " + std::to_string(n) + ", written after");
        }
        ASSERT_GT(strNew.size(), strOld.size());
        std::ofstream(strReused) << strNew;
        ASSERT_EQ(0, ::rename(strReused.c_str(), dir.File("b.log").c_str()));
        ScanAndApply(group, files);
        ASSERT_TRUE(files.FollowNames());
        for (bool bMore = true; bMore;) {
            bMore = false;
            ASSERT_NE(CLogGroupFiles::ReadResult::kStopped, files.ReadRound(256, bMore));
        }
        EXPECT_EQ(engine.m_Lines, expected);
    }
}

// A line is matched whole up to the bound, one past it in pieces: counted
// as a bound of the group and said naming the file.
TEST_F(LogGroupFilesTest, LongLineIsMatchedWholeUpToTheBoundAndCountedPastIt) {
    Append("app.log", "");
    AddGroup("Long", m_Dir.File("app.log"));
    AddTextRule("Marks", "Long", "MARK[0-9]END");
    Start();
    RunTo(0);
    const size_t nBound = CTextLogListener::kLineMax;
    Append("app.log", "x MARK1END " + std::string(nBound - 11, 'x') + "\n" + "y " + std::string(nBound, 'y') +
                          " MARK2END z\n");
    // The first whole, the bound's length; the second's marker in its
    // second piece, which begins with "yy", so its second field is the
    // marker.
    EXPECT_EQ(RunTo(1), (Reports{"Marks:Long:MARK1END", "Marks:Long:MARK2END"}));
    const std::string strInput = "log group Long (" + m_Dir.File("app.log") + ")";
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "WARNING: a line of " + m_Dir.File("app.log") +
                                                        " is longer than 65536 bytes: it is matched in pieces of "
                                                        "65536 bytes (" + strInput + ")\n"))
        << m_Console.Text().substr(0, 2000);
    const std::vector<std::string> bounds = Bounds();
    EXPECT_NE(std::find(bounds.begin(), bounds.end(),
                        "Bound reached: " + strInput +
                            ": lines of at most 65536 bytes matched whole, longer ones in pieces of that many; 1 "
                            "line matched in pieces"),
              bounds.end());
}

// A file let go is read to its end: renamed out of the group, removed, or
// turned from by a newest-only group, its unfinished last line is reported
// once its writer has been quiet, and nothing else is said lost.
TEST_F(LogGroupFilesTest, UnfinishedLastLineIsReportedWhenItsFileIsLetGo) {
    AddGroup("Every", m_Dir.Path() + "/*.log");
    AddGroup("Newest", m_Dir.Path() + "/n*.log", true);
    AddTextRule("Errors", "Every,Newest", "ERROR");
    Append("away.log", "");
    Append("gone.log", "");
    // The files' times are set, well apart and in the past: a time taken
    // from the clock may tie with, or even fall before, that of a file the
    // kernel stamped a moment earlier.
    const time_t tBase = ::time(nullptr) - 1000;
    WriteAt("n1.log", "", tBase);
    Start();
    RunTo(0);
    Append("away.log", "ERROR away, never ended");
    Append("gone.log", "ERROR gone, never ended");
    WriteAt("n1.log", "ERROR turned from, never ended", tBase + 10);
    EXPECT_EQ(RunTo(1), Reports{});
    Rename("away.log", "away.out");
    Remove("gone.log");
    WriteAt("n2.log", "", tBase + 20);
    EXPECT_EQ(Settle(), (Reports{"Errors:Every:away,", "Errors:Every:gone,", "Errors:Newest:turned"}));
    // n1.log is still one of Every's files: its line waits for its end.
    Append("n1.log", " now\n");
    EXPECT_EQ(RunTo(m_dwPass), Reports{"Errors:Every:turned"});
    ExpectNoLoss();
}

// A writer may be halfway through a line when a group's first scan meets
// its file: what the file holds then is history, but not that line, which
// is reported whole once its writer ends it, through a pause, a reload, or
// a time outside the group; and in a file the group turns to only later.
// One never ended is history: not reported, nor said lost, when its file
// is let go, again after it came back.
TEST_F(LogGroupFilesTest, LineUnfinishedAtTheFirstScanIsReportedWholeOnceItsWriterEndsIt) {
    const time_t tBase = ::time(nullptr) - 1000;
    for (const char* pszName : {"ended", "paused", "away"}) {
        Append(std::string(pszName) + ".log", std::string("ERROR history\nERROR ") + pszName);
    }
    Append("never.log", "ERROR never");
    WriteAt("n1.txt", "ERROR newest\n", tBase + 10);
    WriteAt("n2.txt", "ERROR history\nERROR older", tBase);
    AddGroup("App", m_Dir.Path() + "/*.log");
    AddGroup("News", m_Dir.Path() + "/n*.txt", true);
    AddTextRule("Errors", "App,News", "ERROR");
    Start();
    std::vector<std::string> lines;
    m_pEngine->m_OnLine = [&](const std::string& strLine) { lines.push_back(strLine); };
    EXPECT_EQ(RunTo(1), Reports{});
    Append("ended.log", ", now ended\n");
    EXPECT_EQ(RunTo(2), Reports{"Errors:App:ended,"});

    // Paused (its passes counted from 0 again) and reloaded.
    m_dwPass = 0;
    EXPECT_EQ(RunTo(1), Reports{});
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    m_dwPass = 0;
    EXPECT_EQ(RunTo(1), Reports{});
    Append("paused.log", ", now ended\n");
    EXPECT_EQ(RunTo(2), Reports{"Errors:App:paused,"});

    // Out of the group until let go, then back, ended or not.
    Rename("away.log", "away.out");
    Rename("never.log", "never.out");
    EXPECT_EQ(Settle(), Reports{});
    Append("away.out", ", now ended\n");
    Rename("away.out", "away.log");
    Rename("never.out", "never.log");
    // Older than the newest at the first scan: its writer ends the line,
    // and the group turns to it.
    WriteAt("n2.txt", ", now ended\n", tBase + 20);
    EXPECT_EQ(Settle(), (Reports{"Errors:App:away,", "Errors:News:older,"}));
    Rename("never.log", "never.out");
    EXPECT_EQ(Settle(), Reports{});

    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"ERROR away, now ended", "ERROR ended, now ended",
                                               "ERROR older, now ended", "ERROR paused, now ended"}));
    ExpectNoLoss();
    EXPECT_EQ(std::string::npos, m_Console.Text().find(" not read")) << m_Console.Text();
}

// The sensor's own outputs, as the host names them, are left out by every
// group that matches them, each said once per group: the log by the file
// itself (a second name of it too), the status file and a folder's files by
// their names.  A file that takes the identity of the status file once
// that is replaced, or of the log once that is gone, is another file, read
// as any other.
TEST_F(LogGroupFilesTest, SensorsOwnOutputsAreLeftOutByFileAndByName) {
    ASSERT_EQ(0, ::mkdir(m_Dir.File("outbox").c_str(), 0755));
    Append("host.log", "ERROR hostlog\n");
    Append("hwhost.status", "ERROR status\n");
    Append("outbox/mail.log", "ERROR mail\n");
    ASSERT_EQ(0, ::link(m_Dir.File("host.log").c_str(), m_Dir.File("second.log").c_str()));
    struct Outputs {
        explicit Outputs(const hwtest::ScratchDirectory& dir) {
            SensorOutputs::Instance().SetForTest({{"log", dir.File("host.log"), false},
                                                  {"status", dir.File("hwhost.status"), false},
                                                  {"mail", dir.File("outbox"), true}});
        }
        ~Outputs() { SensorOutputs::Instance().SetForTest({}); }
    } outputs(m_Dir);
    // A file of the groups' own, so the load finds them reading one and the
    // scans say what they leave out.
    Append("app.log", "");
    AddGroup("All", m_Dir.Path() + "/*|" + m_Dir.Path() + "/outbox/*");
    AddGroup("Newest", m_Dir.Path() + "/*", true);
    AddTextRule("Errors", "All,Newest", "ERROR");
    Start();
    RunTo(0);
    Append("app.log", "ERROR app\n");
    for (const char* pszName : {"host.log", "hwhost.status", "outbox/mail.log"}) {
        Append(pszName, "ERROR again\n");
    }
    EXPECT_EQ(Sorted(NextScan()), (Reports{"Errors:All:app", "Errors:Newest:app"}));
    // Once per output and group, whichever of its names met it.
    EXPECT_EQ(3u, hwtest::CountOf(m_Console.Text(), ": log group All (")) << m_Console.Text();
    EXPECT_EQ(2u, hwtest::CountOf(m_Console.Text(), ": log group Newest (")) << m_Console.Text();
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), " is the sensor's own status file: log group All ("))
        << m_Console.Text();
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), " lies in the sensor's own mail folder: log group All ("));
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), " is the sensor's own log file: log group All ("));
    const std::string strWarning = "WARNING: " + m_Dir.File("hwhost.status") +
                                   " is the sensor's own status file: log group All (" + m_Dir.Path() + "/*|" +
                                   m_Dir.Path() + "/outbox/*) does not read it, as what the sensor writes would "
                                   "come back to it as input\n";
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), strWarning)) << m_Console.Text();

    // The status file replaced, as the host writes it, and its old identity
    // given to a log; the log removed and its identity given to another.
    struct stat status {};
    struct stat log {};
    ASSERT_EQ(0, ::stat(m_Dir.File("hwhost.status").c_str(), &status));
    ASSERT_EQ(0, ::stat(m_Dir.File("host.log").c_str(), &log));
    Append("hwhost.status.new", "ERROR new status\n");
    Rename("hwhost.status.new", "hwhost.status");
    Remove("host.log");
    Remove("second.log");
    std::string strWhyNot;
    if (!GiveIdentityTo(status, "reused.log", strWhyNot)) {
        GTEST_SKIP() << strWhyNot;
    }
    Append("reused.log", "ERROR reused\n");
    EXPECT_EQ(Sorted(NextScan()), (Reports{"Errors:All:reused", "Errors:Newest:reused"}));
}

// A newest-only group turning to other accounts' files, one after another:
// each of the first 64 is named once, and every turn past them is counted
// as a bound of the group.
TEST_F(LogGroupFilesTest, TurnsToOtherAccountsFilesPastThoseNamedAreCounted) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a file to another account";
    }
    const time_t tBase = ::time(nullptr) - 1000;
    WriteAt("app.log", "", tBase);
    AddGroup("News", m_Dir.Path() + "/*.log", true);
    AddTextRule("Errors", "News", "ERROR");
    Start();
    RunTo(0);
    constexpr int kFiles = 67;
    for (int n = 0; n < kFiles; ++n) {
        const std::string strName = "o" + std::to_string(n) + ".log";
        WriteAt(strName, "ERROR o" + std::to_string(n) + "\n", tBase + 1 + n);
        ASSERT_EQ(0, ::chown(m_Dir.File(strName).c_str(), 65534, 65534));
        EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:News:o" + std::to_string(n)});
    }
    EXPECT_EQ(static_cast<size_t>(CLogGroupFiles::kMaxTurnsSaid),
              hwtest::CountOf(m_Console.Text(), " reads it now, as the one of its files written last\n"));
    const std::vector<std::string> bounds = Bounds();
    EXPECT_NE(std::find(bounds.begin(), bounds.end(),
                        "Bound reached: log group News (" + m_Dir.Path() +
                            "/*.log): at most 64 other accounts' files it turned to as the one written last named "
                            "one by one; 3 turns left out"),
              bounds.end());
}

namespace {

// The outputs as the host names them, for one test: the alert file at
// `strPath`, opened and written as the host does, each file it opens named
// before it writes to it.
class HostAlertFile {
public:
    explicit HostAlertFile(std::string strPath) : m_strPath(std::move(strPath)) {
        SensorOutputs::Instance().SetForTest({{"alert", m_strPath, false}});
        Reopen();
    }
    ~HostAlertFile() {
        ::close(m_nFd);
        SensorOutputs::Instance().SetForTest({});
    }
    // The SIGHUP of a rotation: the file at the path from now on.
    void Reopen() {
        if (m_nFd >= 0) {
            ::close(m_nFd);
        }
        m_nFd = ::open(m_strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        EXPECT_GE(m_nFd, 0) << m_strPath;
        plat::OwnOutputs::Instance().Opened(m_nFd, "alert");
    }
    void Write(const std::string& strWord) {
        const std::string strLine = "ERROR " + strWord + "\n";
        EXPECT_EQ(::write(m_nFd, strLine.data(), strLine.size()), static_cast<ssize_t>(strLine.size()));
    }

private:
    std::string m_strPath;
    int m_nFd = -1;
};

}  // namespace

// hwhost's alert file in a folder a group watches, rotated between two
// scans the ways operators and logrotate rotate it: renamed to a name the
// group matches and opened anew (SIGHUP), a new file written and renamed
// before any scan looked at it, copied to a rotated name and truncated
// (copytruncate), renamed to a rotated name and compressed.  No line of
// any of them is read, and each file is said once per group.
TEST_F(LogGroupFilesTest, SensorsAlertFileRenamedCopiedAndRotatedIsNeverRead) {
    HostAlertFile alerts(m_Dir.File("alerts.xml"));
    alerts.Write("history");
    StartOnTheWholeFolder();
    alerts.Write("first");
    // Renamed to a name with no rotation's suffix, and opened anew.
    Rename("alerts.xml", "kept.log");
    alerts.Reopen();
    alerts.Write("second");
    // Another one before any scan looked at it.
    Rename("alerts.xml", "kept2.log");
    alerts.Reopen();
    alerts.Write("third");
    // Copied and truncated, and a copy compressed.
    std::filesystem::copy_file(m_Dir.File("alerts.xml"), m_Dir.File("alerts.xml.1"));
    ASSERT_EQ(0, ::truncate(m_Dir.File("alerts.xml").c_str(), 0));
    alerts.Write("fourth");
    Rename("alerts.xml.1", "alerts.xml-20261208");
    // What a compressor writes, left readable: a group would alert on it.
    Append("alerts.xml.2.gz", "ERROR compressed\n");
    Append("app.log", "ERROR app\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:All:app"});
    alerts.Write("fifth");
    EXPECT_EQ(Settle(), Reports{});
    const std::string strGroup = ": log group All (" + m_Dir.Path() + "/*) does not read it";
    for (const std::string& strSaid :
         {m_Dir.File("alerts.xml") + " is the sensor's own alert file",
          m_Dir.File("kept.log") + " was the sensor's own alert file earlier in this run",
          m_Dir.File("kept2.log") + " was the sensor's own alert file earlier in this run",
          m_Dir.File("alerts.xml-20261208") + " bears a rotated name of the sensor's own alert file " +
              m_Dir.File("alerts.xml"),
          m_Dir.File("alerts.xml.2.gz") + " bears a rotated name of the sensor's own alert file " +
              m_Dir.File("alerts.xml")}) {
        EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "WARNING: " + strSaid + strGroup)) << strSaid << "\n"
                                                                                          << m_Console.Text();
    }
    EXPECT_EQ(5u, hwtest::CountOf(m_Console.Text(), strGroup)) << m_Console.Text();
}

// More of the sensor's own files in a folder than a group names one by one
// (copies by the alert file's rotated names that whoever writes the folder
// made): the first 64 are named, and the rest are said as what they are,
// the sensor's own files left out unnamed, in a line of their own, never as
// a bound that lost input.  The line counts each file once however many
// scans and reloads meet it, and more of them are said again at most once a
// minute.
TEST_F(LogGroupFilesTest, SensorsOwnFilesPastThoseNamedAreSaidAsItsOwnNotAsABound) {
    // What earlier tests in the process left counted is no part of this.
    InputBounds::Instance().ForgetForTest();
    HostAlertFile alerts(m_Dir.File("alerts.xml"));
    alerts.Write("history");
    constexpr size_t kCopies = 69;
    for (size_t n = 1; n <= kCopies; ++n) {
        Append("alerts.xml." + std::to_string(n), "ERROR copy" + std::to_string(n) + "\n");
    }
    StartOnTheWholeFolder();
    Append("app.log", "ERROR app\n");
    EXPECT_EQ(Settle(), Reports{"Errors:All:app"});
    const std::string strInput = "log group All (" + m_Dir.Path() + "/*)";
    const std::string strNamed = ": " + strInput + " does not read it";
    EXPECT_EQ(CLogGroup::kMaxOwnNamed, hwtest::CountOf(m_Console.Text(), strNamed)) << m_Console.Text();
    const size_t nUnnamed = kCopies + 1 - CLogGroup::kMaxOwnNamed;
    const std::string strUnnamed = "WARNING: " + strInput + ": " + std::to_string(nUnnamed) +
                                   " more of the sensor's own files left out unnamed: it does not read them, as "
                                   "what the sensor writes would come back to it as input (said again at most "
                                   "once a minute while more come)\n";
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), strUnnamed)) << m_Console.Text();
    // No bound took them, and none is said to have.
    EXPECT_EQ(Bounds(), std::vector<std::string>{});
    EXPECT_EQ(std::string::npos, m_Console.Text().find("Bound reached")) << m_Console.Text();
    EXPECT_EQ(std::string::npos, m_Console.Text().find("named one by one")) << m_Console.Text();

    // Met again by later scans and a reload, they are not counted again; a
    // few more are said only when a minute has passed since the first line.
    ASSERT_EQ(m_pEngine->OnReloadPolicy(0), 0);
    m_dwPass = 0;
    EXPECT_EQ(RunTo(NextScan() + CEngineTextLog::kScanInterval), Reports{});
    for (size_t n = kCopies + 1; n <= kCopies + 3; ++n) {
        Append("alerts.xml." + std::to_string(n), "ERROR copy" + std::to_string(n) + "\n");
    }
    EXPECT_EQ(Settle(), Reports{});
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), strUnnamed)) << m_Console.Text();
    const std::string strLater = "NOTICE: " + strInput + ": " + std::to_string(nUnnamed + 3) +
                                 " more of the sensor's own files left out unnamed in all, 3 since they were last "
                                 "said: it does not read them, as what the sensor writes would come back to it as "
                                 "input\n";
    EXPECT_EQ(hwtest::CountOf(m_Console.Text(), strLater),
              hwtest::CountOf(m_Console.Text(), " more of the sensor's own files left out unnamed in all, "))
        << m_Console.Text();
    EXPECT_EQ(CLogGroup::kMaxOwnNamed, hwtest::CountOf(m_Console.Text(), strNamed)) << m_Console.Text();
    EXPECT_EQ(Bounds(), std::vector<std::string>{});
}

// An earlier output removed is forgotten: a file given its identity later
// is another file, read as any other.
TEST_F(LogGroupFilesTest, FileGivenTheIdentityOfARemovedEarlierOutputIsRead) {
    HostAlertFile alerts(m_Dir.File("alerts.xml"));
    StartOnTheWholeFolder();
    alerts.Write("first");
    Rename("alerts.xml", "kept.log");
    alerts.Reopen();
    EXPECT_EQ(RunTo(NextScan()), Reports{});
    struct stat kept {};
    ASSERT_EQ(0, ::stat(m_Dir.File("kept.log").c_str(), &kept));
    Remove("kept.log");
    plat::OwnOutputs::Instance().LetGoRemoved(true);
    std::string strWhyNot;
    if (!GiveIdentityTo(kept, "reused.log", strWhyNot)) {
        GTEST_SKIP() << strWhyNot;
    }
    Append("reused.log", "ERROR reused\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:All:reused"});
}

// A file a group reads that the host opens as an output (its path given to
// --alerts, say) is read no further from the moment it is: nothing the
// host writes to it is read, not even in the passes before the next scan.
TEST_F(LogGroupFilesTest, FileTheHostOpensAsAnOutputWhileAGroupReadsItIsReadNoFurther) {
    Append("app.log", "");
    StartOnEveryLog();
    Append("shared.log", "ERROR before\n");
    EXPECT_EQ(RunTo(NextScan()), Reports{"Errors:App:before"});
    Append("shared.log", "ERROR between\n");
    HostAlertFile alerts(m_Dir.File("shared.log"));
    alerts.Write("own");
    EXPECT_EQ(RunTo(m_dwPass), Reports{});
    alerts.Write("later");
    EXPECT_EQ(Settle(), Reports{});
    EXPECT_EQ(AppEntry("shared.log"), nullptr);
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "WARNING: " + m_Dir.File("shared.log") +
                                                        " is the sensor's own alert file: log group App ("))
        << m_Console.Text();
    ExpectNoLoss();
}

// The names a rotation gives an output, which are its own in its folder.
TEST(SensorOutputsTest, RotatedNamesAreTheOutputsNameFollowedByARotationsSuffix) {
    for (const char* pszName : {"alerts.xml.1", "alerts.xml.2.gz", "alerts.xml-20261208", "alerts.xml-2026-12-08",
                                "alerts.xml-20261208.xz", "alerts.xml.old", "alerts.xml.1.bak", "alerts.xml~",
                                "alerts.xml_3.zst", "alerts.xml.12.Z", "alerts.xml-1733650000.lz4", "alerts.1.xml",
                                "alerts-20261208.xml", "alerts.2.xml.gz"}) {
        EXPECT_TRUE(SensorOutputs::IsRotatedName("alerts.xml", pszName)) << pszName;
    }
    for (const char* pszName : {"alerts.xml", "alerts.xmlx", "alerts.xml.", "alerts.xml.1a", "alerts.xml-",
                                "alerts.xml.gzip", "alerts.xml.log", "alerts.xm", "x.alerts.xml.1", "alerts.xml.xml",
                                "alerts.x.xml", "alerts.1.log", "alerts.xml.1.txt"}) {
        EXPECT_FALSE(SensorOutputs::IsRotatedName("alerts.xml", pszName)) << pszName;
    }
}
