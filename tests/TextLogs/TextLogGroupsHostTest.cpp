// Log groups end to end, each file read once and each bound counted once:
// the real hwhost with the real plug-in, in a network namespace of its own,
// on groups written in code.  A log with a hard link and root's symbolic
// link made before the start; a newest-only group over a folder another
// account can write, where that account dates a file years ahead; a group
// over 700 files, where it makes FIFOs; two pushes and a SIGHUP between
// them; and the host under a limit of 64 descriptors.  Root, for the namespace and
// the other account.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "support/NamespacedHost.h"
#include "support/ThrowawayAccounts.h"

namespace fs = std::filesystem;

namespace {

// How the stop's tally counts the files it left unread: "1 text-log file",
// "2 text-log files".
std::string TextLogFiles(size_t nFiles) {
    return std::to_string(nFiles) + (nFiles == 1 ? " text-log file" : " text-log files");
}

class TextLogGroupsHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace and another account";
        }
        ASSERT_TRUE(m_Namespace.IsReady()) << m_Namespace.Error();
        for (const char* pszFolder : {"links", "news", "many"}) {
            fs::create_directories(m_Host.File(pszFolder));
        }
        EXPECT_EQ(0, ::chmod(m_Host.Root().c_str(), 0711));
        for (const char* pszFolder : {"news", "many"}) {
            EXPECT_EQ(0, ::chmod(m_Host.File(pszFolder).c_str(), 01777));
        }
    }

    // Groups Links (links/*.log), News (news/*.log, the newest only) and
    // Many (many/*.log), and one rule on all three; the network engine off,
    // so that a load finds nothing wrong but what the test brings about.
    std::string Policy() const {
        std::string strPolicy =
            "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t0;\r\nNodekeeper\t=B\t0;\r\n"
            "[\\Advanced\\];\r\n"
            "[\\Advanced\\Logs\\];\r\n";
        for (const auto& [strGroup, strNewest] :
             std::map<std::string, std::string>{{"Links", "0"}, {"News", "1"}, {"Many", "0"}}) {
            std::string strFolder = strGroup;
            strFolder[0] = static_cast<char>(std::tolower(strFolder[0]));
            strPolicy += "[\\Advanced\\Logs\\" + strGroup + "\\];\r\nPath\t=S\t" + m_Host.File(strFolder) +
                         "/*.log;\r\nNewestOnly\t=B\t" + strNewest + ";\r\n";
        }
        strPolicy +=
            "[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n"
            "[\\Advanced\\Rules\\SysLog Rules\\Group error\\];\r\nEnabled\t=B\t1;\r\nPriority\t=L\t2;\r\n"
            "Alert Type\t=S\tApplicationEvent;\r\nLog Type\t=S\tTextLog;\r\nLogs\t=S\tLinks,News,Many;\r\n"
            "Regular Expression\t=S\t\\[error\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\Group error\\Info\\];\r\n"
            "Component\t=S\t@Field3;\r\nGroup\t=S\t@Group;\r\n";
        return strPolicy;
    }
    void Error(const std::string& strFile, const std::string& strComponent) {
        std::ofstream(m_Host.File(strFile), std::ios::binary | std::ios::app)
            << "2026-12-06 10:00:00 [error] " << strComponent << ": something broke\n";
    }
    size_t AlertsWith(const std::string& strComponent) const {
        return hwtest::CountOf(m_Host.Alerts(), "<param name='Component' type='string' value='" + strComponent + ":'");
    }
    bool WaitForComponent(const std::string& strComponent, double dSeconds = 60) {
        return hwtest::WaitUntil([&] { return AlertsWith(strComponent) > 0; }, dSeconds);
    }
    // Lines appended before the engine's first scan are history to it:
    // probe lines go in until one is alerted.
    bool ProbeUntilFollowed(const std::string& strFile) {
        int nProbe = 0;
        return hwtest::WaitUntil(
            [&] {
                Error(strFile, "probe" + std::to_string(++nProbe));
                return WaitForComponent("probe" + std::to_string(nProbe), 2);
            },
            120);
    }
    bool WaitForErrors(const std::string& strText) {
        return hwtest::WaitUntil([&] { return m_Host.Errors().find(strText) != std::string::npos; }, 60);
    }

    hwtest::NetworkNamespace m_Namespace;
    hwtest::NamespacedHost m_Host{m_Namespace};
};

}  // namespace

// The log's three names give each line once, through two pushes and a
// SIGHUP; another account's file dated years ahead takes the newest-only
// group's place only until root's log is written again, which is said
// once; the 188 files the group of 700 leaves out are counted once, as the
// stop says, and the FIFOs another account makes among them are one bound
// of the group, not an error of each push: the pushes exit 0.
TEST_F(TextLogGroupsHostTest, LinksOtherAccountsFilesAndBoundsThroughPushesAndAReload) {
    Error("links/app.log", "history");
    ASSERT_EQ(0, ::link(m_Host.File("links/app.log").c_str(), m_Host.File("links/hard.log").c_str()));
    ASSERT_EQ(0, ::symlink(m_Host.File("links/app.log").c_str(), m_Host.File("links/current.log").c_str()));
    Error("news/app.log", "newshistory");
    for (int n = 0; n < 700; ++n) {
        char szName[32];
        std::snprintf(szName, sizeof szName, "many/f%03d.log", n);
        std::ofstream(m_Host.File(szName));
    }
    const std::string strPolicy = Policy();
    m_Host.WritePolicy(strPolicy);
    ASSERT_TRUE(m_Host.Start()) << m_Host.ErrorsTail();
    ASSERT_TRUE(ProbeUntilFollowed("links/app.log")) << m_Host.ErrorsTail();

    // Another account's file dated years ahead, and its FIFOs.
    ASSERT_TRUE(hwtest::ThrowawayAccounts::RunAs(
        "nobody", {"/usr/bin/python3", "-c",
                   "import os\nopen('" + m_Host.File("news/z.log") +
                       "', 'a').write('2026-12-06 10:00:00 [error] theirs: dated ahead\\n')\nos.utime('" +
                       m_Host.File("news/z.log") +
                       "', (4102444800, 4102444800))\nfor n in range(3):\n    os.mkfifo('" +
                       m_Host.File("many/pipe") + "%d.log' % n)"}));
    const std::string strTurn = m_Host.File("news/z.log") +
                                " is a file another account owns (nobody, uid 65534); log group News (" +
                                m_Host.File("news") + "/*.log) reads it now, as the one of its files written last";
    ASSERT_TRUE(WaitForErrors(strTurn)) << m_Host.ErrorsTail();
    ASSERT_TRUE(WaitForComponent("theirs")) << m_Host.ErrorsTail();
    Error("news/app.log", "rootnews");
    ASSERT_TRUE(WaitForComponent("rootnews")) << m_Host.ErrorsTail();

    int nLine = 0;
    const auto WriteThroughEachName = [&] {
        for (const char* pszName : {"links/app.log", "links/hard.log", "links/current.log"}) {
            Error(pszName, "link" + std::to_string(nLine++));
        }
    };
    WriteThroughEachName();
    for (int nPush = 0; nPush < 2; ++nPush) {
        std::string strOutput;
        EXPECT_EQ(0, m_Host.Push(strPolicy, strOutput)) << strOutput;
        EXPECT_EQ(std::string::npos, strOutput.find("Can't start to monitor")) << strOutput;
        WriteThroughEachName();
    }
    ASSERT_TRUE(m_Host.Reload(strPolicy)) << m_Host.ErrorsTail();
    WriteThroughEachName();
    Error("news/app.log", "rootnewslast");
    ASSERT_TRUE(WaitForComponent("link" + std::to_string(nLine - 1)) && WaitForComponent("rootnewslast"))
        << m_Host.ErrorsTail();
    int nExit = -1;
    ASSERT_TRUE(m_Host.Stop(nExit));
    EXPECT_EQ(0, nExit);

    for (int n = 0; n < nLine; ++n) {
        EXPECT_EQ(1u, AlertsWith("link" + std::to_string(n))) << n;
    }
    for (const char* pszComponent : {"theirs", "rootnews", "rootnewslast"}) {
        EXPECT_EQ(1u, AlertsWith(pszComponent)) << pszComponent;
    }
    EXPECT_EQ(0u, AlertsWith("history"));
    EXPECT_EQ(0u, AlertsWith("newshistory"));
    const std::string strErrors = m_Host.Errors();
    EXPECT_EQ(1u, hwtest::CountOf(strErrors, strTurn)) << strErrors;
    EXPECT_NE(std::string::npos, strErrors.find("at the stop: Bound reached: log group Many (" +
                                                m_Host.File("many") +
                                                "/*.log): at most 512 files followed; 188 files left out"))
        << strErrors;
    EXPECT_NE(std::string::npos, strErrors.find("at the stop: Bound reached: log group Many (" +
                                                m_Host.File("many") +
                                                "/*.log): another account's FIFOs, sockets, devices and links "
                                                "are not read; 3 names left out"))
        << strErrors;
    EXPECT_EQ(std::string::npos, strErrors.find("lines are lost")) << strErrors;
}

// Under a limit of 64 descriptors the floor kept free for sockets and
// outputs is all there is: no scan can be made, and the groups say so, as
// a bound and in the start-up summary, instead of being listed as watched.
TEST_F(TextLogGroupsHostTest, HostUnderALimitOf64DescriptorsSaysItsGroupsFollowNoFile) {
    m_Host.WritePolicy(Policy());
    m_Host.SetCommandPrefix({"prlimit", "--nofile=64:64", "--"});
    ASSERT_TRUE(m_Host.Start()) << m_Host.ErrorsTail();
    const std::string strNeed =
        "a scan needs 5 descriptors above the 64 descriptors kept free of the process's 64 for sockets, decoy "
        "connections and outputs; 1 scan left out";
    EXPECT_TRUE(WaitForErrors("Bound reached: log group Links (" + m_Host.File("links") + "/*.log): " + strNeed))
        << m_Host.ErrorsTail();
    EXPECT_NE(std::string::npos, m_Host.Errors().find("WITHOUT INPUT: log groups Links, Many, News follow no "
                                                       "file: a scan needs 5 descriptors above the 64 kept free "
                                                       "of the process's 64"))
        << m_Host.ErrorsTail();
    int nExit = -1;
    EXPECT_TRUE(m_Host.Stop(nExit));
    EXPECT_EQ(0, nExit);
}

// Files a scan put off for want of a descriptor are no loss: a later scan
// takes them up when there is room, and the stop reads what they hold or
// counts it unread.  The bound is said, at once and at the stop; the
// stop's tally counts no file of it as lost.
TEST_F(TextLogGroupsHostTest, FilesPutOffForWantOfADescriptorAreReadOrCountedAndNotTalliedAsLost) {
    m_Host.WritePolicy(Policy());
    m_Host.SetCommandPrefix({"prlimit", "--nofile=200:200", "--"});
    ASSERT_TRUE(m_Host.Start()) << m_Host.ErrorsTail();
    ASSERT_TRUE(ProbeUntilFollowed("many/a.log")) << m_Host.ErrorsTail();
    constexpr int kMade = 400;
    for (int n = 0; n < kMade; ++n) {
        Error("many/p" + std::to_string(n) + ".log", "putoff" + std::to_string(n));
    }
    const std::string strBound = "Bound reached: log group Many (" + m_Host.File("many") +
                                 "/*.log): no file opened into the 64 descriptors kept free";
    ASSERT_TRUE(WaitForErrors(strBound)) << m_Host.ErrorsTail();
    int nExit = -1;
    ASSERT_TRUE(m_Host.Stop(nExit));
    EXPECT_EQ(0, nExit);
    size_t nAlerted = 0;
    for (int n = 0; n < kMade; ++n) {
        const size_t nCount = AlertsWith("putoff" + std::to_string(n));
        EXPECT_LE(nCount, 1u) << n;
        nAlerted += nCount;
    }
    const std::string strErrors = m_Host.Errors();
    EXPECT_NE(std::string::npos, strErrors.find("at the stop: " + strBound)) << m_Host.ErrorsTail();
    EXPECT_EQ(std::string::npos, strErrors.find("files left out at the inputs' bounds")) << m_Host.ErrorsTail();
    // What the stop did not read of them is counted there, by files.
    const size_t nUnread = static_cast<size_t>(kMade) - nAlerted;
    EXPECT_EQ(nUnread == 0 ? 0u : 1u, hwtest::CountOf(strErrors, "; " + TextLogFiles(nUnread) + " with "))
        << nAlerted << " alerted\n"
        << m_Host.ErrorsTail();
}

// Under a limit of 200 descriptors, 64 of them kept free, 2,000 files made
// just before the stop are more than the descriptors to spare, and than a
// group follows: the stop's look still meets them all, and each line is
// alerted once or counted, to the byte, in the stop's line and its tally.
TEST_F(TextLogGroupsHostTest, FilesMadeJustBeforeTheStopOfAHostShortOfDescriptorsAreReadOrCounted) {
    m_Host.WritePolicy(Policy());
    m_Host.SetCommandPrefix({"prlimit", "--nofile=200:200", "--"});
    ASSERT_TRUE(m_Host.Start()) << m_Host.ErrorsTail();
    ASSERT_TRUE(ProbeUntilFollowed("many/a.log")) << m_Host.ErrorsTail();
    constexpr int kMade = 2000;
    std::map<std::string, size_t> bytes;
    for (int n = 0; n < kMade; ++n) {
        const std::string strComponent = "made" + std::to_string(n);
        Error("many/m" + std::to_string(n) + ".log", strComponent);
        bytes[strComponent] = std::string("2026-12-06 10:00:00 [error] " + strComponent + ": something broke\n").size();
    }
    int nExit = -1;
    ASSERT_TRUE(m_Host.Stop(nExit));
    EXPECT_EQ(0, nExit);
    size_t nAlerted = 0;
    uint64_t qwBytesLeft = 0;
    for (const auto& [strComponent, nBytes] : bytes) {
        const size_t nCount = AlertsWith(strComponent);
        EXPECT_LE(nCount, 1u) << strComponent;
        nAlerted += nCount != 0 ? 1 : 0;
        qwBytesLeft += nCount == 0 ? nBytes : 0;
    }
    std::printf("%zu of %d files made before the stop alerted, %" PRIu64 " bytes of the others counted\n", nAlerted,
                kMade, qwBytesLeft);
    const std::string strErrors = m_Host.Errors();
    const size_t nLeft = static_cast<size_t>(kMade) - nAlerted;
    const std::string strTally =
        nLeft == 0 ? " dropped, 0 not written\n"
                   : "; " + TextLogFiles(nLeft) + " with " + std::to_string(qwBytesLeft) +
                         " bytes left unread by the stop";
    EXPECT_EQ(1u, hwtest::CountOf(strErrors, strTally)) << m_Host.ErrorsTail();
}
