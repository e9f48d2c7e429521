// What another account can make in a watched folder takes from the sensor
// only a bounded share: the real hwhost with the real plug-in, in a network
// namespace of its own, while "nobody" fills a folder of the demo's log
// group with files under a limit of 1,024 descriptors, or makes folder
// chains 1,500 deep under a group that takes every file beneath a folder.
// The decoy ports, the alert output and root's own log go on working, the
// bound is said, and starting, reading and stopping are not held up.
// Root, for the namespace and the other account.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/NamespacedHost.h"
#include "support/ThrowawayAccounts.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class TextLogBoundsHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace and another account";
        }
        ASSERT_TRUE(m_Namespace.IsReady()) << m_Namespace.Error();
    }

    // The demo in the host's root, its groups on its own logs only, the
    // log folder open to every account (sticky, as /tmp is).
    std::string CopyDemo() {
        const std::string strRoot = m_Host.Root();
        fs::copy(fs::path(HW_SOURCE_DIR) / "examples/demo", strRoot,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        std::string strPolicy = hwtest::ReadWholeFile(m_Host.File("Default.policy"));
        const std::string strMarker = "@SENSOR_ROOT@";
        strPolicy.replace(strPolicy.find(strMarker), strMarker.size(), strRoot);
        for (size_t at = strPolicy.find("/var/log/"); at != std::string::npos;
             at = strPolicy.find("/var/log/", at)) {
            strPolicy.replace(at, 9, m_Host.File("varlog/"));
        }
        OpenLogFolder();
        return strPolicy;
    }
    void OpenLogFolder() {
        fs::create_directories(m_Host.File("applogs"));
        EXPECT_EQ(0, ::chmod(m_Host.Root().c_str(), 0711));
        EXPECT_EQ(0, ::chmod(m_Host.File("applogs").c_str(), 01777));
    }
    static bool AsNobody(const std::string& strScript) {
        return hwtest::ThrowawayAccounts::RunAs("nobody", {"/usr/bin/python3", "-c", strScript});
    }

    std::string Log(const std::string& strName) const { return m_Host.File("applogs/" + strName); }
    void Error(const std::string& strName, const std::string& strComponent) {
        std::ofstream(Log(strName), std::ios::binary | std::ios::app)
            << "2026-12-06 10:00:00 [error] " << strComponent << ": something broke\n";
    }
    static size_t AlertsWith(const std::string& strAlerts, const std::string& strComponent) {
        return hwtest::CountOf(strAlerts, "<param name='Component' type='string' value='" + strComponent + ":'");
    }
    bool WaitForComponent(const std::string& strComponent, double dSeconds = 60) {
        return hwtest::WaitUntil([&] { return AlertsWith(m_Host.Alerts(), strComponent) > 0; }, dSeconds);
    }
    // Lines appended before the engine's first scan are history to it:
    // probe lines go in until one is alerted.
    bool ProbeUntilFollowed(const std::string& strName, const std::string& strProbe = "probe") {
        int nProbe = 0;
        return hwtest::WaitUntil(
            [&] {
                Error(strName, strProbe + std::to_string(++nProbe));
                return WaitForComponent(strProbe + std::to_string(nProbe), 2);
            },
            120);
    }
    // The processor time hwhost's threads have used, in seconds.
    double ProcessorSeconds() const {
        const std::string strStat = hwtest::ReadWholeFile("/proc/" + std::to_string(m_Host.Pid()) + "/stat");
        const size_t nEnd = strStat.rfind(')');
        if (nEnd == std::string::npos) {
            ADD_FAILURE() << "no /proc stat of hwhost";
            return 0;
        }
        // Fields from the state on: utime and stime are the 12th and 13th.
        std::istringstream fields(strStat.substr(nEnd + 2));
        std::string strField;
        double dTicks = 0;
        for (int n = 1; n <= 13 && fields >> strField; ++n) {
            if (n >= 12) {
                dTicks += std::stod(strField);
            }
        }
        return dTicks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    size_t Descriptors() const {
        const fs::path fds("/proc/" + std::to_string(m_Host.Pid()) + "/fd");
        return static_cast<size_t>(std::distance(fs::directory_iterator(fds), {}));
    }
    // SIGTERM, then the seconds the host took to end.
    double Stop() {
        const auto start = Clock::now();
        int nExit = -1;
        EXPECT_TRUE(m_Host.Stop(nExit));
        EXPECT_EQ(0, nExit) << m_Host.ErrorsTail();
        return SecondsSince(start);
    }

    hwtest::NetworkNamespace m_Namespace;
    hwtest::NamespacedHost m_Host{m_Namespace};
};

}  // namespace

// 1,500 files in a watched folder used to take every descriptor of a
// service's usual limit: decoy connections went unreported and a rotated
// alert file could not be opened again.  With 3,000, the group follows its
// bound of files and says so, root's own log of the group alerts each new
// line once and nothing from before the start, a decoy connection alerts,
// and the alert file renamed away is made anew at the reload and written.
TEST_F(TextLogBoundsHostTest, ThreeThousandFilesOfAnotherAccountLeaveDescriptorsForDecoysOutputsAndRootsLog) {
    constexpr int kFiles = 3000;
    const std::string strPolicy = CopyDemo();
    m_Host.WritePolicy(strPolicy);
    m_Host.SetCommandPrefix({"prlimit", "--nofile=1024:1024", "--"});
    ASSERT_TRUE(m_Host.Start({}, {"HW_DECOY_FIRST_WAIT_MS=200"})) << m_Host.ErrorsTail();
    ASSERT_TRUE(ProbeUntilFollowed("app.log")) << m_Host.ErrorsTail();

    const auto flooded = Clock::now();
    ASSERT_TRUE(AsNobody("import os\nfor i in range(" + std::to_string(kFiles) + "):\n    open('" +
                         Log("flood") + "%04d.log' % i, 'w').close()"));
    const std::string strBound = "Bound reached: log group Demo application (" + Log("*.log") +
                                 "): at most 512 files followed; ";
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Host.Errors().find(strBound) != std::string::npos; }, 60))
        << m_Host.ErrorsTail();
    Error("app.log", "afterflood");
    ASSERT_TRUE(WaitForComponent("afterflood")) << m_Host.ErrorsTail();
    const size_t nDescriptors = Descriptors();

    // A decoy port answers once its first wait is over.
    const std::string strDecoy = "alert-name='Alternate telnet'";
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] {
            m_Host.RunInside({"/usr/bin/python3", "-c",
                              "import socket\nsocket.create_connection(('127.0.0.1', 2323), 5).close()"});
            return hwtest::CountOf(m_Host.Alerts(), strDecoy) > 0;
        },
        60))
        << m_Host.ErrorsTail();

    // The alert file renamed away: the reload makes it anew.
    const std::string strAlerts = m_Host.File("alerts.xml");
    ASSERT_EQ(0, ::rename(strAlerts.c_str(), (strAlerts + ".1").c_str()));
    ASSERT_TRUE(m_Host.Reload(strPolicy)) << m_Host.ErrorsTail();
    Error("app.log", "afterrotation");
    ASSERT_TRUE(WaitForComponent("afterrotation")) << m_Host.ErrorsTail();
    const double dStop = Stop();

    const std::string strAll = hwtest::ReadWholeFile(strAlerts + ".1") + hwtest::ReadWholeFile(strAlerts);
    EXPECT_EQ(1u, AlertsWith(strAll, "afterflood"));
    EXPECT_EQ(1u, AlertsWith(hwtest::ReadWholeFile(strAlerts), "afterrotation"));
    // The demo log's lines from before the start are history.
    EXPECT_EQ(0u, AlertsWith(strAll, "db"));
    EXPECT_LT(nDescriptors, 1024u - 256u);
    const std::string strErrors = m_Host.Errors();
    const size_t nBound = strErrors.find(strBound);
    std::printf("%d files of another account in the group's folder: \"%s\"; %zu descriptors open in hwhost "
                "of 1,024; the stop took %.1f s, %.1f s after the flood began\n",
                kFiles, strErrors.substr(nBound, strErrors.find('\n', nBound) - nBound).c_str(), nDescriptors,
                dStop, SecondsSince(flooded));
}

// Every folder of a group that takes every file beneath one used to be
// reached by a walk from "/", so one 1,500-deep chain cost a rescan a
// million opens and held up every line, the start and the stop.  With
// three such chains of another account the depth bound is said, and the
// sensor's start, a line appended to root's log of the group at any point
// of the scans, and its stop take no longer, and its threads no more
// processor time, than without them, within a margin: the same steps are
// first run on the same folder before the chains are made, in the same
// run, so that a loaded machine slows both.
TEST_F(TextLogBoundsHostTest, DeepFolderChainsOfAnotherAccountHoldUpNeitherLinesNorStartNorStop) {
    constexpr int kChains = 3;
    constexpr int kDepth = 1500;
    OpenLogFolder();
    Error("app.log", "history");
    const std::string strPolicy =
        "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t0;\r\n[\\Advanced\\];\r\n"
        "[\\Advanced\\Logs\\];\r\n[\\Advanced\\Logs\\Deep\\];\r\nPath\t=S\t" +
        m_Host.File("applogs") +
        "/...;\r\nNewestOnly\t=B\t0;\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n"
        "[\\Advanced\\Rules\\SysLog Rules\\Deep error\\];\r\nEnabled\t=B\t1;\r\nPriority\t=L\t2;\r\n"
        "Alert Type\t=S\tApplicationEvent;\r\nLog Type\t=S\tTextLog;\r\nLogs\t=S\tDeep;\r\n"
        "Regular Expression\t=S\t\\[error\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\Deep error\\Info\\];\r\n"
        "Component\t=S\t@Field3;\r\n";
    m_Host.WritePolicy(strPolicy);

    struct Run {
        double dStart = 0;
        double dSlowest = 0;
        double dProcessor = 0;
        double dStop = 0;
    };
    // Start, follow root's log, three lines a little apart (so that some
    // come while a scan walks), stop.
    const auto run = [&](const std::string& strTag, Run& out) {
        const auto started = Clock::now();
        ASSERT_TRUE(m_Host.Start()) << m_Host.ErrorsTail();
        out.dStart = SecondsSince(started);
        ASSERT_TRUE(ProbeUntilFollowed("app.log", strTag + "probe")) << m_Host.ErrorsTail();
        for (int n = 0; n < 3; ++n) {
            const std::string strComponent = strTag + std::to_string(n);
            const auto appended = Clock::now();
            Error("app.log", strComponent);
            EXPECT_TRUE(WaitForComponent(strComponent)) << m_Host.ErrorsTail();
            out.dSlowest = std::max(out.dSlowest, SecondsSince(appended));
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        out.dProcessor = ProcessorSeconds();
        out.dStop = Stop();
    };

    Run flat;
    run("flat", flat);
    if (HasFatalFailure()) {
        return;
    }
    ASSERT_TRUE(AsNobody("import os\nfor c in range(" + std::to_string(kChains) + "):\n    os.chdir('" +
                         m_Host.File("applogs") + "')\n    os.mkdir('chain%d' % c)\n    os.chdir('chain%d' % c)\n" +
                         "    for d in range(" + std::to_string(kDepth) + "):\n        os.mkdir('d')\n" +
                         "        os.chdir('d')"));
    Run deep;
    run("deep", deep);
    if (HasFatalFailure()) {
        return;
    }
    const std::string strBound = "Bound reached: log group Deep (" + m_Host.File("applogs") +
                                 "/...): at most 32 folders deep below a pattern's first wildcard or its "
                                 "\"/...\"; 3 folders left out";
    EXPECT_NE(std::string::npos, m_Host.Errors().find(strBound)) << m_Host.ErrorsTail();
    // A walk of the whole chains, each folder reached from "/", costs
    // several times the processor time of the run without them: that
    // tells it however busy the machine is.  The waits a user sees get a
    // wide margin, as one start on a starved processor may take three
    // times another.
    EXPECT_LT(deep.dProcessor, 2 * flat.dProcessor + 1.0);
    EXPECT_LT(deep.dStart, 3 * flat.dStart + 10.0);
    EXPECT_LT(deep.dSlowest, 3 * flat.dSlowest + 10.0);
    EXPECT_LT(deep.dStop, 3 * flat.dStop + 10.0);
    EXPECT_EQ(0u, AlertsWith(m_Host.Alerts(), "history"));
    std::printf("%d chains %d folders deep (without them): start %.1f s (%.1f s), slowest line alerted after "
                "%.1f s (%.1f s), processor time %.2f s (%.2f s), stop %.1f s (%.1f s)\n",
                kChains, kDepth, deep.dStart, flat.dStart, deep.dSlowest, flat.dSlowest, deep.dProcessor,
                flat.dProcessor, deep.dStop, flat.dStop);
}
