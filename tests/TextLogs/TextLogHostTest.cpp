// The text-log engine end to end: the real hwhost with the real plug-in on
// a copy of the demo sensor root, its demo log file appended to, shrunk,
// rotated and joined by a new file, with the alerts read back from the
// host's XML output; logs rotated twice in quick succession under a steady
// stream of lines; a FIFO or a link another account puts among the logs,
// and a flood of lines another account writes.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cinttypes>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/HeldUpStop.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"
#include "support/ThrowawayAccounts.h"

namespace fs = std::filesystem;

namespace {

class TextLogHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        PrepareRoot();
        // The echo of each line read goes to a file no group watches.
        m_Host.SetErrorFile(m_Out.File("hwhost.err"));
        ASSERT_TRUE(m_Host.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "run", "--root",
                                  m_Root.Path(), "--alerts", m_Out.File("alerts.xml"), "--log",
                                  m_Out.File("hwhost.log"), "--echo-input"},
                                 m_Out.File("hwhost.out")));
        ASSERT_TRUE(hwtest::WaitUntil(
            [&] { return Errors().find("hwhost: sensor started") != std::string::npos; }, 60))
            << Errors();
    }
    // A copy of the demo sensor root.
    void PrepareRoot() {
        fs::copy(std::string(HW_SOURCE_DIR) + "/examples/demo", m_Root.Path(),
                 fs::copy_options::recursive);
        // As scripts/run does: the demo's log group points into the copy.
        std::string strPolicy = hwtest::ReadWholeFile(m_Root.File("Default.policy"));
        const std::string strMarker = "@SENSOR_ROOT@";
        strPolicy.replace(strPolicy.find(strMarker), strMarker.size(), m_Root.Path());
        // The machine's own logs would add lines of their own.
        for (size_t at = strPolicy.find("/var/log/"); at != std::string::npos;
             at = strPolicy.find("/var/log/", at)) {
            strPolicy.replace(at, 9, m_Root.File("varlog/"));
        }
        hwtest::WriteWholeFile(m_Root.File("Default.policy"), strPolicy);
    }

    std::string Errors() const { return hwtest::ReadWholeFile(m_Out.File("hwhost.err")); }
    std::string Alerts() const { return hwtest::ReadWholeFile(m_Out.File("alerts.xml")); }
    std::string Log(const std::string& strName) const { return m_Root.File("applogs/" + strName); }
    void Append(const std::string& strName, const std::string& strLine) {
        std::ofstream(Log(strName), std::ios::binary | std::ios::app) << strLine << "\n";
    }
    void Error(const std::string& strName, const std::string& strComponent) {
        Append(strName, "2026-12-06 10:00:00 [error] " + strComponent + ": something broke");
    }
    // How many alerts carry the parameter with this value.
    size_t AlertsWith(const std::string& strName, const std::string& strValue) const {
        return hwtest::CountOf(Alerts(), "<param name='" + strName + "' type='string' value='" +
                                             strValue + "'");
    }
    bool WaitForComponent(const std::string& strComponent) {
        return hwtest::WaitUntil([&] { return AlertsWith("Component", strComponent) > 0; }, 60);
    }
    // The engine takes up the files there are at its first scan, which may
    // come after the test's first lines: until then appended lines are
    // history, so probe lines are appended until one is reported.
    bool ProbeUntilFollowed(const std::string& strName) {
        const std::string strProbe = "probe-" + strName + "-";
        int nProbe = 0;
        return hwtest::WaitUntil(
            [&] {
                Error(strName, strProbe + std::to_string(++nProbe));
                return hwtest::WaitUntil(
                    [&] { return Alerts().find(strProbe) != std::string::npos; }, 2);
            },
            120);
    }
    // How many alerts each numbered line "<tag><n>:" gave.
    std::map<int, int> AlertsByLine(const std::string& strTag) const {
        std::map<int, int> counts;
        ForEachNumberedLine(Alerts(), strTag, [&](int n) { ++counts[n]; });
        return counts;
    }
    // Calls `each` with n for every alert of a numbered line "<tag><n>:" in
    // `strAlerts`.
    static void ForEachNumberedLine(const std::string& strAlerts, const std::string& strTag,
                                    const std::function<void(int)>& each) {
        const std::string strMark = "<param name='Component' type='string' value='" + strTag;
        for (size_t at = strAlerts.find(strMark); at != std::string::npos;
             at = strAlerts.find(strMark, at + 1)) {
            const char* pszNumber = strAlerts.c_str() + at + strMark.size();
            if (std::isdigit(static_cast<unsigned char>(*pszNumber))) {
                each(std::atoi(pszNumber));
            }
        }
    }
    // The highest n of the numbered lines "<tag><n>:" alerted so far, -1
    // before the first; each look reads on from the last whole document the
    // one before it read, so a stream of alerts costs no rereading.
    class HighestAlertedLine {
    public:
        HighestAlertedLine(std::string strAlerts, std::string strTag)
            : m_strAlerts(std::move(strAlerts)), m_strTag(std::move(strTag)) {}
        int Look() {
            std::ifstream in(m_strAlerts, std::ios::binary);
            in.seekg(static_cast<std::streamoff>(m_nRead));
            std::string strNew((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
            // Each document ends with an empty line.
            const size_t nWhole = strNew.rfind("\n\n");
            if (!in.bad() && nWhole != std::string::npos) {
                strNew.resize(nWhole + 2);
                m_nRead += strNew.size();
                ForEachNumberedLine(strNew, m_strTag,
                                    [&](int n) { m_nHighest = std::max(m_nHighest, n); });
            }
            return m_nHighest;
        }

    private:
        std::string m_strAlerts;
        std::string m_strTag;
        size_t m_nRead = 0;
        int m_nHighest = -1;
    };

    // How a log is rotated, given its name and its writer's descriptor.
    using Rotation = std::function<void(const std::string&, int&)>;
    // Writes "<tag><n>:" error lines to the log at 2,000 a second, appending
    // through its own descriptor as a logging program does, and runs each
    // rotation at its time (seconds from the start), though not before the
    // engine has alerted a line written since the rotation before it: a
    // file deleted or truncated before the engine opened it takes its lines
    // with it whatever the engine does, and on a loaded machine the engine's
    // passes may come far apart.  (That a new file is taken up within a
    // pass, the engine's own tests hold pass by pass.)  Writing goes on for
    // `dTail` seconds after the last rotation.  Answers the number of lines
    // written; `firstAfter` gets the number of the first line written after
    // each rotation.
    int WriteSteadily(const std::string& strLog, const std::string& strTag,
                      const std::vector<std::pair<double, Rotation>>& rotations, double dTail,
                      std::vector<int>& firstAfter) {
        using Clock = std::chrono::steady_clock;
        // How long the engine may take to alert a line of the stream.
        constexpr auto kTakeUpDeadline = std::chrono::seconds(60);
        constexpr auto kLookInterval = std::chrono::milliseconds(50);
        const auto start = Clock::now();
        const auto At = [&](double dSeconds) {
            return start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(dSeconds));
        };
        HighestAlertedLine alerted(m_Out.File("alerts.xml"), strTag);
        int fd = OpenForAppending(strLog);
        auto end = At(dTail);
        auto nextLook = start;
        size_t nNext = 0;
        int n = 0;
        for (auto due = start; nNext < rotations.size() || due < end;
             due += std::chrono::milliseconds(5)) {
            std::this_thread::sleep_until(due);
            const auto now = Clock::now();
            if (nNext < rotations.size() && now >= At(rotations[nNext].first) && now >= nextLook) {
                nextLook = now + kLookInterval;
                const int nWaitedFor = firstAfter.empty() ? 0 : firstAfter.back();
                const bool bTakenUp = alerted.Look() >= nWaitedFor;
                const bool bLate = now >= At(rotations[nNext].first) + kTakeUpDeadline;
                EXPECT_TRUE(bTakenUp || !bLate)
                    << "no line from " << nWaitedFor << " on alerted within "
                    << kTakeUpDeadline.count() << " s; rotation " << nNext + 1 << " goes ahead";
                if (bTakenUp || bLate) {
                    rotations[nNext++].second(strLog, fd);
                    firstAfter.push_back(n);
                    end = now + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(dTail));
                }
            }
            std::string strBatch;
            for (int i = 0; i < 10; ++i, ++n) {
                strBatch += "2026-12-06 10:00:00 [error] " + strTag + std::to_string(n) + ": something broke\n";
            }
            EXPECT_EQ(::write(fd, strBatch.data(), strBatch.size()), static_cast<ssize_t>(strBatch.size()));
        }
        ::close(fd);
        return n;
    }
    static int OpenForAppending(const std::string& strLog) {
        const int fd = ::open(strLog.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0) << strLog;
        return fd;
    }
    static void RenameAndCreate(const std::string& strLog, int& fd) {
        EXPECT_EQ(::rename(strLog.c_str(), (strLog + ".1").c_str()), 0);
        ::close(fd);
        fd = OpenForAppending(strLog);
    }
    static void DeleteAndCreate(const std::string& strLog, int& fd) {
        EXPECT_EQ(::unlink(strLog.c_str()), 0);
        ::close(fd);
        fd = OpenForAppending(strLog);
    }
    // num.log -> num.1.log -> num.2.log, names the group also matches; the
    // writer turns to a new num.log.
    static void RotateNumbered(const std::string& strLog, int& fd) {
        const std::string strBase = strLog.substr(0, strLog.size() - 4);
        ::rename((strBase + ".1.log").c_str(), (strBase + ".2.log").c_str());
        EXPECT_EQ(::rename(strLog.c_str(), (strBase + ".1.log").c_str()), 0);
        ::close(fd);
        fd = OpenForAppending(strLog);
    }
    // Appends "<tag><n>:" error lines from `nFirst` to `nEnd` through `fd`.
    static void WriteNumbered(int fd, const std::string& strTag, int nFirst, int nEnd) {
        std::string strBatch;
        for (int n = nFirst; n < nEnd; ++n) {
            strBatch += "2026-12-06 10:00:00 [error] " + strTag + std::to_string(n) + ": something broke\n";
        }
        EXPECT_EQ(::write(fd, strBatch.data(), strBatch.size()), static_cast<ssize_t>(strBatch.size()));
    }
    // A logrotate configuration that copies and truncates the log `strName`.
    std::string CopyTruncateConfig(const std::string& strName) {
        const std::string strConfig = m_Out.File("logrotate.conf");
        hwtest::WriteWholeFile(strConfig, Log(strName) + " {\n    copytruncate\n    rotate 5\n    nocompress\n"
                                              "    missingok\n}\n");
        EXPECT_EQ(0, ::chmod(strConfig.c_str(), 0644));
        return strConfig;
    }
    // Runs logrotate once, forced, on `strConfig`.
    ::testing::AssertionResult Logrotate(const std::string& strConfig) {
        hwtest::ChildProcess rotate;
        int nExit = -1;
        if (!rotate.Start({"/usr/sbin/logrotate", "-f", "-s", m_Out.File("logrotate.state"), strConfig},
                          m_Out.File("logrotate.out")) ||
            !rotate.Wait(60, nExit) || nExit != 0) {
            return ::testing::AssertionFailure() << hwtest::ReadWholeFile(m_Out.File("logrotate.out"));
        }
        return ::testing::AssertionSuccess();
    }
    // A line of 220 bytes, line feed included, whose number lies 150 bytes
    // before its end, in the Component the demo's rule takes ("<tag> ...
    // x<n>:"), the rest the same in every line.
    inline static const std::string kFixedTag = "fw" + std::string(40, 'x');
    static std::string FixedWidthLine(const std::string& strWriter, int n) {
        char szNumber[16];
        std::snprintf(szNumber, sizeof szNumber, "%06d", n);
        std::string strLine = "2026-12-06 10:00:00 [error] " + kFixedTag + szNumber + ": " + strWriter +
                              " request GET /index.html from one agent ";
        strLine.resize(219, 'y');
        return strLine + "\n";
    }
    bool WaitForLog(const std::string& strText, size_t nBefore) {
        return hwtest::WaitUntil(
            [&] { return hwtest::CountOf(hwtest::ReadWholeFile(m_Out.File("hwhost.log")), strText) > nBefore; }, 60);
    }
    static void CopyAndTruncate(const std::string& strLog, int&) {
        fs::copy_file(strLog, strLog + ".2", fs::copy_options::overwrite_existing);
        EXPECT_EQ(::truncate(strLog.c_str(), 0), 0);
    }
    // Starts the log, waits until the engine follows it, then writes it
    // steadily, renaming it away and creating it anew after 1 s, rotating
    // it by `second` 1.5 s later at the earliest, and writing on for 2.5 s;
    // as WriteSteadily.
    int RotateTwiceUnderSteadyStream(const std::string& strName, const std::string& strTag, Rotation second,
                                     std::vector<int>& firstAfter) {
        EXPECT_TRUE(ProbeUntilFollowed(strName)) << Errors();
        const int nLines = WriteSteadily(Log(strName), strTag,
                                         {{1.0, RenameAndCreate}, {2.5, second}}, 2.5, firstAfter);
        EXPECT_EQ(firstAfter.size(), 2u);
        firstAfter.resize(2);
        return nLines;
    }

    // Pushes `strBytes` as a policy to the running host: push's exit code,
    // with what it printed in `strOutput`.
    int Push(const std::string& strBytes, std::string& strOutput) {
        const std::string strFile = m_Out.File("pushed" + std::to_string(++m_nPushed) + ".policy");
        hwtest::WriteWholeFile(strFile, strBytes);
        hwtest::ChildProcess push;
        EXPECT_TRUE(push.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "push", "--root", m_Root.Path(),
                                "--wait", "120", strFile},
                               strFile + ".out"));
        int nExit = -1;
        EXPECT_TRUE(push.Wait(180, nExit));
        strOutput = hwtest::ReadWholeFile(strFile + ".out");
        return nExit;
    }
    // Stops the host with SIGTERM, expecting status 0, and finds in what it
    // said (kept in `strErrors`) the one line counting what the stop left
    // unread, which begins with `strWhat` (no regular expression's special
    // characters): `match` holds its files, bytes and files named.
    bool StopAndFindCount(const std::string& strWhat, std::string& strErrors, std::smatch& match) {
        const std::regex count(
            "WARNING: at the stop: " + strWhat +
            ": ([0-9]+) files? with ([0-9]+) bytes not read \\(([0-9]+) of them named "
            "above\\)\n");
        int nExit = -1;
        if (::kill(m_Host.Pid(), SIGTERM) != 0 || !m_Host.Wait(120, nExit)) {
            ADD_FAILURE() << "hwhost did not stop\n" << Errors();
            return false;
        }
        EXPECT_EQ(0, nExit);
        strErrors = Errors();
        if (!std::regex_search(strErrors, match, count)) {
            ADD_FAILURE() << strErrors.substr(strErrors.size() > 4000 ? strErrors.size() - 4000
                                                                      : 0);
            return false;
        }
        return true;
    }
    // The stop's tally, on the console and in the log, counts what the
    // stop left unread as its one line `count` (found by StopAndFindCount)
    // did, and the record of the policy in force keeps that line.
    void ExpectCountedInTallyAndStatus(const std::string& strErrors, const std::smatch& count) {
        const std::regex tally(
            "hwhost: [0-9]+ alerts? taken, [0-9]+ written, [0-9]+ dropped, [0-9]+ not written; " +
            count[1].str() + " text-log files? with " + count[2].str() +
            " bytes left unread by the stop\n");
        std::smatch match;
        ASSERT_TRUE(std::regex_search(strErrors, match, tally))
            << strErrors.substr(strErrors.size() > 2000 ? strErrors.size() - 2000 : 0);
        EXPECT_EQ(1u, hwtest::CountOf(strErrors, " left unread by the stop"));
        EXPECT_EQ(1u,
                  hwtest::CountOf(hwtest::ReadWholeFile(m_Out.File("hwhost.log")), match[0].str()));
        const std::string strSaid = count[0].str().substr(0, count[0].length() - 1);
        EXPECT_NE(std::string::npos, LastStatusRecord().find(strSaid)) << LastStatusRecord();
    }
    // After a stop: each of `nFiles` files, whose line n is `line(f, n)`
    // for n below `lines(f)`, gave each line it alerted once, its first
    // lines; what the stop left of them (the lines not alerted) is what
    // the stop's one line and its tally count, to the byte, and said only
    // when something was left.  Answers the lines alerted.
    uint64_t ExpectEachLineOnceOrCountedAtTheStop(int nFiles, const std::function<std::string(int)>& tag,
                                                  const std::function<int(int)>& lines,
                                                  const std::function<std::string(int, int)>& line) {
        uint64_t qwFilesLeft = 0;
        uint64_t qwBytesLeft = 0;
        uint64_t qwAlerted = 0;
        for (int f = 0; f < nFiles; ++f) {
            const std::map<int, int> counts = AlertsByLine(tag(f));
            const int nAlerted = static_cast<int>(counts.size());
            EXPECT_TRUE(nAlerted == 0 || counts.rbegin()->first == nAlerted - 1)
                << "file " << f << ": a line left out";
            for (const auto& [n, nCount] : counts) {
                EXPECT_EQ(nCount, 1) << "file " << f << " line " << n;
            }
            qwAlerted += static_cast<uint64_t>(nAlerted);
            qwFilesLeft += nAlerted < lines(f) ? 1 : 0;
            for (int n = nAlerted; n < lines(f); ++n) {
                qwBytesLeft += line(f, n).size();
            }
        }
        const std::string strErrors = Errors();
        // The stop's tally says it too, and only when something was left.
        const std::string strLeft =
            qwFilesLeft == 0 ? "\n"
                             : "; " + std::to_string(qwFilesLeft) +
                                   (qwFilesLeft == 1 ? " text-log file" : " text-log files") + " with " +
                                   std::to_string(qwBytesLeft) + " bytes left unread by the stop\n";
        EXPECT_EQ(hwtest::CountOf(strErrors, " dropped, 0 not written" + strLeft), 1u) << strErrors;
        if (qwFilesLeft == 0) {
            EXPECT_EQ(strErrors.find("at the stop: what"), std::string::npos) << strErrors;
        } else {
            std::printf("the stop's second left %" PRIu64 " bytes of %" PRIu64 " files\n", qwBytesLeft,
                        qwFilesLeft);
            EXPECT_EQ(1u, hwtest::CountOf(strErrors, "WARNING: at the stop: what 1000 ms of reading at the stop "
                                                     "left of the text logs' files is lost: " +
                                                         std::to_string(qwFilesLeft) +
                                                         (qwFilesLeft == 1 ? " file" : " files") + " with " +
                                                         std::to_string(qwBytesLeft) + " bytes not read ("))
                << strErrors;
        }
        return qwAlerted;
    }
    // The newest record of hwhost.status.
    std::string LastStatusRecord() const {
        const std::string strStatus = hwtest::ReadWholeFile(m_Root.File("hwhost.status"));
        const size_t nLast = strStatus.rfind('\n', strStatus.size() - 2);
        return strStatus.substr(nLast == std::string::npos ? 0 : nLast + 1);
    }

    hwtest::ScratchDirectory m_Root;
    hwtest::ScratchDirectory m_Out;
    hwtest::ChildProcess m_Host;
    int m_nPushed = 0;
};

}  // namespace

TEST_F(TextLogHostTest, AppendedLinesBecomeAlertsThroughLongLinesShrinkingRotationAndNewFiles) {
    ASSERT_TRUE(ProbeUntilFollowed("app.log")) << Errors();

    Append("app.log",
           "2026-12-06 10:00:01 [warn] auth: authentication failed for user mallory from "
           "203.0.113.5 via web");
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertsWith("User", "mallory") > 0; }, 60));
    EXPECT_EQ(AlertsWith("Log group", "Demo application"), 1u);

    // Longer than 4,095 bytes: matched whole, one alert.
    Append("app.log", "2026-12-06 10:00:02 [error] bigline: " + std::string(5000, 'x') +
                          " 10:00:03 [crit] tailpiece: end");
    ASSERT_TRUE(WaitForComponent("bigline:")) << Errors();

    // Shrunk in place: read again from its new beginning.
    ASSERT_EQ(::truncate(Log("app.log").c_str(), 0), 0);
    Error("app.log", "truncated");
    ASSERT_TRUE(WaitForComponent("truncated:")) << Errors();

    // Rotated: the moved file is read to its end, the new one from its start.
    ASSERT_EQ(::rename(Log("app.log").c_str(), Log("app.log.1").c_str()), 0);
    Error("app.log.1", "oldtail");
    Error("app.log", "rotated");
    ASSERT_TRUE(WaitForComponent("oldtail:") && WaitForComponent("rotated:")) << Errors();

    // A file that appears after the start is read from its first line.
    Error("late.log", "latefile");
    ASSERT_TRUE(WaitForComponent("latefile:")) << Errors();

    for (const char* pszComponent : {"bigline:", "truncated:", "oldtail:", "rotated:", "latefile:"}) {
        EXPECT_EQ(AlertsWith("Component", pszComponent), 1u) << pszComponent;
    }
    EXPECT_EQ(AlertsWith("Component", "tailpiece:"), 0u);
    // Present before the start, never reported.
    EXPECT_EQ(AlertsWith("Component", "db:"), 0u);
    EXPECT_EQ(AlertsWith("Log file", Log("late.log")), 1u);
}

// Whoever writes a log line chooses its length and what comes before what a
// rule looks for: a user and an origin 3,000 bytes into a line, a log-in
// across the end of the first 4,095 bytes (where a line used to be cut in
// pieces, and the log-in went unseen) or after it, and a marker across
// that end at each of its offsets are each alerted once, with their values.
TEST_F(TextLogHostTest, LongLinesAreAlertedWholeWhereverWhatTheRulesLookForLies) {
    ASSERT_TRUE(ProbeUntilFollowed("app.log")) << Errors();
    // The demo's own rule: "for user {!} from" and "from {!} via".
    const auto Login = [](const std::string& strUser, const std::string& strOrigin) {
        return " authentication failed for user " + strUser + " from " + strOrigin + " via web";
    };
    Append("app.log", std::string(3000, '.') + Login("bob", "198.51.100.7"));
    Append("app.log", std::string(4085, '.') + Login("dave", "192.0.2.4"));
    Append("app.log", std::string(4095, '.') + Login("carol", "192.0.2.9"));
    // "[error]" (the demo's "Application error", whose Component is the
    // fourth field) beginning at 4,088 to 4,095: across the old piece's end
    // at each of its offsets, in lines of some 4,100 to 5,000 bytes.
    for (int nAt = 4088; nAt <= 4095; ++nAt) {
        Append("app.log", "2026-12-06 " + std::string(nAt - 12, '0') + " [error] across" + std::to_string(nAt) +
                              ": " + std::string(nAt % 3 == 0 ? 900 : 10, 'z'));
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertsWith("Component", "across4095:") > 0; }, 60)) << Errors();
    const std::string strAlerts = Alerts();
    for (const auto& [strUser, strOrigin] : {std::pair<std::string, std::string>{"bob", "198.51.100.7"},
                                             {"dave", "192.0.2.4"},
                                             {"carol", "192.0.2.9"}}) {
        EXPECT_EQ(AlertsWith("User", strUser), 1u) << strUser;
        const size_t nAt = strAlerts.find("value='" + strUser + "'");
        EXPECT_EQ(hwtest::AlertParam(strAlerts, "AttackOrigin", strAlerts.rfind("<event", nAt)), strOrigin);
    }
    for (int nAt = 4088; nAt <= 4095; ++nAt) {
        EXPECT_EQ(AlertsWith("Component", "across" + std::to_string(nAt) + ":"), 1u) << nAt;
    }
}

// A writer of part of a line puts two NUL bytes before what the rules look
// for: the line is alerted all the same, with its values, and its echo
// shows the NULs as it shows other control bytes.
TEST_F(TextLogHostTest, LineWithNulBytesBeforeWhatTheRulesLookForIsAlertedWithItsValues) {
    using namespace std::string_literals;
    ASSERT_TRUE(ProbeUntilFollowed("app.log")) << Errors();
    Append("app.log", "2026-12-06 10:00:05 [warn] auth:\0\0 authentication failed for user eve from 198.51.100.9 via web"s);
    Append("app.log", "2026-12-06 10:00:05 \0\0[error] nulls: something broke"s);
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return AlertsWith("User", "eve") > 0 && AlertsWith("Component", "nulls:") > 0; }, 60))
        << Errors();
    EXPECT_EQ(AlertsWith("User", "eve"), 1u);
    EXPECT_EQ(AlertsWith("Component", "nulls:"), 1u);
    const std::string strAlerts = Alerts();
    EXPECT_EQ(hwtest::AlertParam(strAlerts, "AttackOrigin", strAlerts.rfind("<event", strAlerts.find("value='eve'"))),
              "198.51.100.9");
    EXPECT_NE(Errors().find("]: 2026-12-06 10:00:05 [warn] auth:\\x00\\x00 authentication failed for user eve"),
              std::string::npos)
        << Errors();
}

// A writer that opened its log without O_APPEND, under logrotate's
// copytruncate: after each truncation it writes at its old offset, so its
// next line lands after a run of NULs, which is not read as part of it.
// Each round is written once the engine has alerted the one before, so no
// line falls between the engine's last read and the truncation: every line
// is alerted once.
TEST_F(TextLogHostTest, LogrotateCopytruncateUnderAWriterWithoutAppendAlertsEveryLineOnce) {
    if (::access("/usr/sbin/logrotate", X_OK) != 0) {
        GTEST_SKIP() << "logrotate is not installed (scripts/install-deps installs it)";
    }
    ASSERT_TRUE(ProbeUntilFollowed("ct.log")) << Errors();
    const std::string strConfig = CopyTruncateConfig("ct.log");
    const int fd = ::open(Log("ct.log").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_GE(::lseek(fd, 0, SEEK_END), 0);
    constexpr int kRounds = 4;
    constexpr int kPerRound = 25;
    for (int nRound = 0; nRound < kRounds; ++nRound) {
        WriteNumbered(fd, "ct", nRound * kPerRound, (nRound + 1) * kPerRound);
        const int nLast = (nRound + 1) * kPerRound - 1;
        ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertsByLine("ct").count(nLast) != 0; }, 60))
            << "round " << nRound << "\n" << Errors();
        ASSERT_TRUE(Logrotate(strConfig));
    }
    WriteNumbered(fd, "ct", kRounds * kPerRound, kRounds * kPerRound + 1);
    ::close(fd);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertsByLine("ct").count(kRounds * kPerRound) != 0; }, 60))
        << Errors();
    const std::map<int, int> counts = AlertsByLine("ct");
    EXPECT_EQ(counts.size(), static_cast<size_t>(kRounds * kPerRound + 1));
    for (const auto& [n, nTimes] : counts) {
        EXPECT_EQ(nTimes, 1) << "line " << n;
    }
    // Each truncation is said; nothing was lost to it.
    EXPECT_EQ(hwtest::CountOf(Errors(), " was truncated after "), static_cast<size_t>(kRounds)) << Errors();
    EXPECT_EQ(std::string::npos, Errors().find("is lost (at least")) << Errors();
}

// Lines of 220 bytes that differ only in a counter 150 bytes before their
// end (a web access log's requests of one user agent, say), copied away and
// truncated, and written again at once, before the engine looks, to fewer,
// as many and more lines than it had: every line alerts once, and the
// console never says that the file holds what had been read.
TEST_F(TextLogHostTest, FixedWidthLinesCutByCopytruncateAndWrittenAgainAtOnceAlertEveryLineOnce) {
    ASSERT_TRUE(ProbeUntilFollowed("fw.log")) << Errors();
    const int fd = OpenForAppending(Log("fw.log"));
    int nNext = 0;
    const auto Write = [&](int nCount) {
        std::string strLines;
        for (int n = 0; n < nCount; ++n, ++nNext) {
            strLines += FixedWidthLine("fw", nNext);
        }
        ASSERT_EQ(::write(fd, strLines.data(), strLines.size()), static_cast<ssize_t>(strLines.size()));
    };
    const auto AllAlerted = [&] {
        return hwtest::WaitUntil([&] { return AlertsByLine(kFixedTag).size() == static_cast<size_t>(nNext); }, 60);
    };
    Write(30);
    ASSERT_TRUE(AllAlerted()) << Errors();
    for (const int nAgain : {30, 10, 10, 35}) {
        fs::copy_file(Log("fw.log"), Log("fw.log.1"), fs::copy_options::overwrite_existing);
        ASSERT_EQ(::truncate(Log("fw.log").c_str(), 0), 0);
        Write(nAgain);
        ASSERT_TRUE(AllAlerted()) << nAgain << " lines written again\n" << Errors();
    }
    ::close(fd);
    Error("fw.log", "marker-fw");
    ASSERT_TRUE(WaitForComponent("marker-fw:")) << Errors();
    for (const auto& [n, nTimes] : AlertsByLine(kFixedTag)) {
        EXPECT_EQ(nTimes, 1) << "line " << n;
    }
    EXPECT_EQ(std::string::npos, Errors().find("holds what had been read")) << Errors();
    EXPECT_EQ(4u, hwtest::CountOf(Errors(), Log("fw.log") + " was truncated after ")) << Errors();
}

// The same lines, 100 a second from a writer with O_APPEND, under real
// logrotate copytruncate every 2 s: what a cut takes is at most the lines
// written since the engine's last pass, one run right before each cut;
// every other line alerts once, and nothing is said to hold what had been
// read.
TEST_F(TextLogHostTest, LogrotateCopytruncateUnderASteadyWriterLosesOnlyTheLinesOfThePassBeforeEachCut) {
    if (::access("/usr/sbin/logrotate", X_OK) != 0) {
        GTEST_SKIP() << "logrotate is not installed (scripts/install-deps installs it)";
    }
    ASSERT_TRUE(ProbeUntilFollowed("lr.log")) << Errors();
    const std::string strConfig = CopyTruncateConfig("lr.log");
    const int fd = OpenForAppending(Log("lr.log"));
    using Clock = std::chrono::steady_clock;
    constexpr int kRotations = 4;
    std::vector<int> firstAfter;
    const auto start = Clock::now();
    int n = 0;
    for (auto due = start; firstAfter.size() < kRotations || due < start + std::chrono::seconds(2 * kRotations + 2);
         due += std::chrono::milliseconds(10)) {
        std::this_thread::sleep_until(due);
        if (firstAfter.size() < kRotations && Clock::now() >= start + std::chrono::seconds(2 * (firstAfter.size() + 1))) {
            ASSERT_TRUE(Logrotate(strConfig));
            firstAfter.push_back(n);
        }
        const std::string strLine = FixedWidthLine("lr", n++);
        ASSERT_EQ(::write(fd, strLine.data(), strLine.size()), static_cast<ssize_t>(strLine.size()));
    }
    ::close(fd);
    Error("lr.log", "marker-lr");
    ASSERT_TRUE(WaitForComponent("marker-lr:")) << Errors();
    const std::map<int, int> counts = AlertsByLine(kFixedTag);
    const auto Alerted = [&](int nLine) {
        const auto it = counts.find(nLine);
        return it == counts.end() ? 0 : it->second;
    };
    int nLost = 0;
    int nFrom = 0;
    for (const int nCut : firstAfter) {
        int nFirstLost = nCut;
        while (nFirstLost > nFrom && Alerted(nFirstLost - 1) == 0) {
            --nFirstLost;
        }
        // Lost: one run that ends with the cut, no longer than the lines of a
        // few passes on a loaded machine.
        EXPECT_LE(nCut - nFirstLost, 300) << "lines " << nFirstLost << " to " << nCut << " lost to the cut";
        for (int nLine = nFrom; nLine < nFirstLost; ++nLine) {
            EXPECT_EQ(Alerted(nLine), 1) << "line " << nLine;
        }
        nLost += nCut - nFirstLost;
        nFrom = nCut;
    }
    for (int nLine = nFrom; nLine < n; ++nLine) {
        EXPECT_EQ(Alerted(nLine), 1) << "line " << nLine;
    }
    EXPECT_EQ(std::string::npos, Errors().find("holds what had been read")) << Errors();
    EXPECT_EQ(static_cast<size_t>(kRotations), hwtest::CountOf(Errors(), Log("lr.log") + " was truncated after "))
        << Errors();
    std::printf("%d of %d lines lost to %d copy-and-truncate rotations\n", nLost, n, kRotations);
}

// A gibibyte of NULs written as data before a line: the run is no part of
// the line, and is passed over at the speed of memory, not 16 MiB a pass,
// so the line alerts within two passes of being written.
TEST_F(TextLogHostTest, LineAfterAGibibyteOfWrittenNulsAlertsWithinTwoPasses) {
    ASSERT_TRUE(ProbeUntilFollowed("nul.log")) << Errors();
    const int fd = OpenForAppending(Log("nul.log"));
    const std::string strBlock(8 << 20, '\0');
    for (int n = 0; n < 128; ++n) {
        ASSERT_EQ(::write(fd, strBlock.data(), strBlock.size()), static_cast<ssize_t>(strBlock.size()));
    }
    const std::string strLine = "2026-12-06 10:00:00 [error] afternuls: something broke\n";
    const auto written = std::chrono::steady_clock::now();
    ASSERT_EQ(::write(fd, strLine.data(), strLine.size()), static_cast<ssize_t>(strLine.size()));
    ::close(fd);
    ASSERT_TRUE(WaitForComponent("afternuls:")) << Errors();
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - written).count();
    std::printf("the line after 1 GiB of NULs alerted %.2f s after it was written\n", dSeconds);
    EXPECT_LT(dSeconds, 2.5);
    EXPECT_EQ(AlertsWith("Component", "afternuls:"), 1u);
    ASSERT_EQ(::truncate(Log("nul.log").c_str(), 0), 0);
}

// A file cut back to its first two lines and written on: the lines it kept
// are not alerted again, every new one is, once; so again at a second cut
// within a line (truncate -s) looked at before it is written on.
TEST_F(TextLogHostTest, FileCutToItsFirstLinesAndWrittenOnAlertsEveryLineOnce) {
    ASSERT_TRUE(ProbeUntilFollowed("cut2.log")) << Errors();
    ASSERT_EQ(::truncate(Log("cut2.log").c_str(), 0), 0);
    const int fd = OpenForAppending(Log("cut2.log"));
    WriteNumbered(fd, "kept", 0, 10);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertsByLine("kept").size() == 10; }, 60)) << Errors();
    const off_t nLine = static_cast<off_t>(std::string("2026-12-06 10:00:00 [error] kept0: something broke\n").size());
    ASSERT_EQ(::truncate(Log("cut2.log").c_str(), 2 * nLine), 0);
    WriteNumbered(fd, "after", 0, 5);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertsByLine("after").size() == 5; }, 60)) << Errors();
    ASSERT_EQ(::truncate(Log("cut2.log").c_str(), 200), 0);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Errors().find(" was cut to 200 bytes") != std::string::npos; }, 60))
        << Errors();
    WriteNumbered(fd, "later", 0, 5);
    ::close(fd);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertsByLine("later").size() == 5; }, 60)) << Errors();
    for (const char* pszTag : {"kept", "after", "later"}) {
        for (const auto& [n, nTimes] : AlertsByLine(pszTag)) {
            EXPECT_EQ(nTimes, 1) << pszTag << n;
        }
    }
    EXPECT_EQ(AlertsByLine("kept").size(), 10u);
    // Only the first cut, to nothing, reads it again from its beginning.
    EXPECT_EQ(1u, hwtest::CountOf(Errors(), Log("cut2.log") + " was truncated after")) << Errors();
}

// hwhost run as a service whose standard output and error are a file in a
// watched folder (StandardOutput=append:), its alerts going there too and
// every line read echoed there: the group leaves that file out and says
// so, so each line is alerted once, where reading it back alerted on each
// alert and echo without end.
TEST_F(TextLogHostTest, ConsoleOfTheHostInAWatchedFolderIsNotReadBack) {
    m_Host.Stop();
    const std::string strConsole = Log("console.log");
    hwtest::ChildProcess host;
    ASSERT_TRUE(host.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "run", "--root", m_Root.Path(), "--log",
                            m_Out.File("hwhost2.log"), "--echo-input"},
                           strConsole));
    const auto Console = [&] { return hwtest::ReadWholeFile(strConsole); };
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Console().find("hwhost: sensor started") != std::string::npos; }, 60))
        << Console();
    const auto Marked = [&](const std::string& strMarker) {
        return hwtest::CountOf(Console(), "<param name='Component' type='string' value='" + strMarker + ":'");
    };
    int nProbe = 0;
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            Error("app.log", "console" + std::to_string(++nProbe));
            return hwtest::WaitUntil([&] { return Marked("console" + std::to_string(nProbe)) > 0; }, 2);
        },
        120))
        << Console();
    for (int n = 0; n < 3; ++n) {
        Error("app.log", "loopmark" + std::to_string(n));
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Marked("loopmark2") > 0; }, 60)) << Console();
    // Twenty seconds: read back, each would have come round a few times.
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < tEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_LE(Marked("loopmark0"), 1u) << Console();
    }
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(Marked("loopmark" + std::to_string(n)), 1u) << n;
    }
    // Read back, each echo and alert would have been a line of its own,
    // alerted again ("DEBUG: Get[57]: 2026-12-06 ..." has "[error]" too).
    const std::string strConsoleNow = Console();
    EXPECT_EQ(hwtest::CountOf(strConsoleNow, "alert-name='Application error'"),
              hwtest::CountOf(strConsoleNow, "<param name='Component' type='string' value='console") + 3)
        << strConsoleNow;
    EXPECT_NE(Console().find(strConsole + " is the sensor's own standard output: log group Demo application ("),
              std::string::npos)
        << Console();
}

// hwhost run as a service, its standard error no terminal, so without the
// echo: with debug logging on, the trace of each line read reaches the
// log, never standard error, where it could come back as input.
TEST_F(TextLogHostTest, DebugTraceOfEachLineReachesTheLogWithTheEchoOff) {
    m_Host.Stop();
    fs::remove(m_Root.File("current.policy"));
    std::ofstream(m_Root.File("Default.policy"), std::ios::binary | std::ios::app)
        << "[\\Debug\\];\r\n[\\Debug\\Log\\];\r\nEnable Debug Logging\t=B\t1;\r\n";
    const std::string strLog = m_Out.File("traced.log");
    hwtest::ChildProcess host;
    host.SetErrorFile(m_Out.File("traced.err"));
    ASSERT_TRUE(host.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "run", "--root", m_Root.Path(), "--log",
                            strLog, "--alerts", m_Out.File("traced.xml")},
                           m_Out.File("traced.out")));
    const auto Errors = [&] { return hwtest::ReadWholeFile(m_Out.File("traced.err")); };
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Errors().find("hwhost: sensor started") != std::string::npos; }, 60))
        << Errors();
    ASSERT_NE(Errors().find("  input echo: off, standard error is no terminal"), std::string::npos) << Errors();
    int nProbe = 0;
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            Error("app.log", "traced" + std::to_string(++nProbe));
            return hwtest::WaitUntil(
                [&] { return hwtest::ReadWholeFile(m_Out.File("traced.xml")).find("traced") != std::string::npos; },
                2);
        },
        120))
        << Errors();
    const std::string strLine = "2026-12-06 10:00:00 [error] traced" + std::to_string(nProbe) + ": something broke";
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return hwtest::ReadWholeFile(strLog).find("Get[" + std::to_string(strLine.size() + 1) + "]: " + strLine + "\n") !=
               std::string::npos;
    })) << hwtest::ReadWholeFile(strLog).substr(0, 4000);
    EXPECT_EQ(Errors().find("Get["), std::string::npos) << Errors();
    host.Stop();
}

// A file whose last line has no line feed is removed: once its writer has
// been quiet, the line is alerted as it is.
TEST_F(TextLogHostTest, UnfinishedLastLineOfARemovedFileIsAlerted) {
    ASSERT_TRUE(ProbeUntilFollowed("gone.log")) << Errors();
    std::ofstream(Log("gone.log"), std::ios::binary | std::ios::app)
        << "2026-12-06 10:00:00 [error] lastwords: never ended";
    ASSERT_EQ(::unlink(Log("gone.log").c_str()), 0);
    ASSERT_TRUE(WaitForComponent("lastwords:")) << Errors();
    EXPECT_EQ(AlertsWith("Component", "lastwords:"), 1u);
}

// A log written 2,000 lines a second is renamed away and created anew, and
// 1.5 s later deleted and created anew: the new files are opened within a
// pass and the old ones read to their end through their descriptors, so
// every line alerts, once.
TEST_F(TextLogHostTest, LogRotatedTwiceInQuickSuccessionUnderASteadyStreamLosesNoLine) {
    std::vector<int> firstAfter;
    const int nLines = RotateTwiceUnderSteadyStream("rot.log", "rot", DeleteAndCreate, firstAfter);
    std::map<int, int> counts;
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] { return (counts = AlertsByLine("rot")).size() == static_cast<size_t>(nLines); }, 120))
        << counts.size() << " of " << nLines << " lines alerted; the rotations came before lines "
        << firstAfter[0] << " and " << firstAfter[1] << "\n" << Errors();
    // A line read twice would be alerted by the pass that reads the marker.
    Error("rot.log", "marker-rot");
    ASSERT_TRUE(WaitForComponent("marker-rot:")) << Errors();
    counts = AlertsByLine("rot");
    for (const auto& [n, nCount] : counts) {
        EXPECT_EQ(nCount, 1) << "line " << n;
    }
    EXPECT_EQ(std::string::npos, Errors().find("lines are lost")) << Errors();
    EXPECT_EQ(std::string::npos, Errors().find("was truncated")) << Errors();
}

// The same stream, renamed away and created anew, then copied and truncated
// 1.5 s later: what was written between the engine's last read and the
// truncation is gone with it, and said, naming the file; every other line
// alerts once, those written after the truncation included, none twice.
TEST_F(TextLogHostTest, LogCopiedAndTruncatedAfterARotationAlertsEveryLineStillThereOnce) {
    std::vector<int> firstAfter;
    const int nLines = RotateTwiceUnderSteadyStream("cut.log", "cut", CopyAndTruncate, firstAfter);
    const int nTruncated = firstAfter[1];
    std::map<int, int> counts;
    ASSERT_TRUE(hwtest::WaitUntil([&] { return (counts = AlertsByLine("cut")).count(nLines - 1) != 0; }, 120))
        << Errors();
    Error("cut.log", "marker-cut");
    ASSERT_TRUE(WaitForComponent("marker-cut:")) << Errors();
    counts = AlertsByLine("cut");
    // Lost: one run of lines that ends with the truncation.
    int nFirstLost = nTruncated;
    while (nFirstLost > 0 && counts.count(nFirstLost - 1) == 0) {
        --nFirstLost;
    }
    for (int n = 0; n < nLines; ++n) {
        EXPECT_EQ(counts.count(n) != 0 ? counts[n] : 0, n >= nFirstLost && n < nTruncated ? 0 : 1)
            << "line " << n << "; lines " << nFirstLost << " to " << nTruncated << " were lost";
    }
    // At most what a pass leaves unread, and not the new file's first lines
    // (it was opened within a pass of the first rotation).
    EXPECT_GT(nFirstLost, firstAfter[0]);
    EXPECT_NE(std::string::npos, Errors().find("WARNING: " + Log("cut.log") + " was truncated after "))
        << Errors();
    std::printf("%d of %d lines written before the truncation were lost with it\n", nTruncated - nFirstLost,
                nTruncated);
}

// A log rotated through numbered names the group also matches (num.log ->
// num.1.log -> num.2.log) every 1.5 s under a steady stream: each rotation
// came before the name the file was renamed to could be opened by the
// engine that followed names, which read its lines again under it.  Then a
// pause across two more rotations: the files rotated in meanwhile are read
// from their first lines, the others from where they were left.  Every line
// alerts once, and no loss is said.
TEST_F(TextLogHostTest, LogRotatedThroughNumberedNamesAlertsEveryLineOnceAlsoAcrossAPause) {
    std::vector<int> firstAfter;
    ASSERT_TRUE(ProbeUntilFollowed("num.log")) << Errors();
    const int nLines = WriteSteadily(Log("num.log"), "num",
                                     {{1.5, RotateNumbered}, {3.0, RotateNumbered}, {4.5, RotateNumbered}}, 1.0,
                                     firstAfter);
    ASSERT_EQ(firstAfter.size(), 3u);

    const std::string strLog = hwtest::ReadWholeFile(m_Out.File("hwhost.log"));
    const size_t nPaused = hwtest::CountOf(strLog, "hwhost: pause completed with status 1");
    const size_t nResumed = hwtest::CountOf(strLog, "hwhost: resume completed with status 1");
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGUSR1));
    ASSERT_TRUE(WaitForLog("hwhost: pause completed with status 1", nPaused)) << Errors();
    constexpr int kPausedLines = 300;
    int fd = OpenForAppending(Log("num.log"));
    WriteNumbered(fd, "paused", 0, 100);
    RotateNumbered(Log("num.log"), fd);
    WriteNumbered(fd, "paused", 100, 200);
    RotateNumbered(Log("num.log"), fd);
    WriteNumbered(fd, "paused", 200, kPausedLines);
    ::close(fd);
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGUSR2));
    ASSERT_TRUE(WaitForLog("hwhost: resume completed with status 1", nResumed)) << Errors();

    std::map<int, int> counts;
    std::map<int, int> paused;
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] {
            counts = AlertsByLine("num");
            paused = AlertsByLine("paused");
            return counts.size() == static_cast<size_t>(nLines) && paused.size() == kPausedLines;
        },
        120))
        << counts.size() << " of " << nLines << " and " << paused.size() << " of " << kPausedLines
        << " lines alerted\n"
        << Errors();
    // A line read twice would be alerted by the pass that reads the marker.
    Error("num.log", "marker-num");
    ASSERT_TRUE(WaitForComponent("marker-num:")) << Errors();
    for (const auto& [strTag, nCount] : {std::pair<std::string, int>{"num", nLines}, {"paused", kPausedLines}}) {
        const std::map<int, int> alerted = AlertsByLine(strTag);
        EXPECT_EQ(alerted.size(), static_cast<size_t>(nCount)) << strTag;
        for (const auto& [n, nTimes] : alerted) {
            EXPECT_EQ(nTimes, 1) << strTag << " line " << n;
        }
    }
    EXPECT_EQ(std::string::npos, Errors().find("lines are lost")) << Errors();
    EXPECT_EQ(std::string::npos, Errors().find("was truncated")) << Errors();
}

// A log group whose Path has a mistyped folder watches nothing: hwhost push
// prints the warning, naming the path and the folder, exits 4, and
// hwhost.status keeps it; the same policy with the folder right draws no
// such warning.  (Whether the rest of the load is clean depends on the
// demo's syslog port, which hosts of other tests may hold.)
TEST_F(TextLogHostTest, PushOfAGroupWhosePathMatchesNoFileIsWarnedAndKeptInTheStatus) {
    // Every group of the demo policy names a file then.
    fs::create_directories(m_Root.File("varlog"));
    hwtest::WriteWholeFile(m_Root.File("varlog/auth.log"), "");
    const std::string strPolicy = hwtest::ReadWholeFile(m_Root.File("Default.policy"));
    std::string strOutput;
    const int nCleanExit = Push(strPolicy, strOutput);
    EXPECT_TRUE(nCleanExit == 0 || nCleanExit == 4) << strOutput;
    EXPECT_EQ(std::string::npos, strOutput.find("watches no file")) << strOutput;

    std::string strMistyped = strPolicy;
    const std::string strGood = m_Root.File("applogs/*.log");
    const std::string strBad = m_Root.File("aplogs/*.log");
    ASSERT_NE(std::string::npos, strMistyped.find(strGood));
    strMistyped.replace(strMistyped.find(strGood), strGood.size(), strBad);
    const std::string strWarning = "LogGroup (Demo application) watches no file: nothing matches its Path " +
                                   strBad + "; the folder " + m_Root.File("aplogs") + " does not exist";
    EXPECT_EQ(4, Push(strMistyped, strOutput)) << strOutput;
    EXPECT_EQ(1u, hwtest::CountOf(strOutput, "WARNING: " + strWarning + "\n")) << strOutput;
    EXPECT_EQ(1u, hwtest::CountOf(strOutput, "watches no file")) << strOutput;
    EXPECT_NE(std::string::npos, strOutput.find("hwhost: the policy is applied as " + m_Root.File("current.policy") +
                                                " with "))
        << strOutput;
    // The status file's last record is this load's.
    const std::string strRecord = LastStatusRecord();
    EXPECT_NE(std::string::npos, strRecord.find("\taccepted with ")) << strRecord;
    EXPECT_NE(std::string::npos, strRecord.find("WARNING: " + strWarning)) << strRecord;
}

// Any account that can write to a watched folder can put a FIFO there,
// whose open would wait for a writer for ever: it is passed over and
// counted once as its group's bound, the other logs go on alerting, and a
// stop ends at once.
TEST_F(TextLogHostTest, FifoAnotherAccountPutsInTheWatchedFolderStallsNeitherLogsNorStop) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another account";
    }
    ASSERT_EQ(0, ::chmod(m_Root.Path().c_str(), 0711));
    ASSERT_EQ(0, ::chmod(m_Root.File("applogs").c_str(), 01777));
    hwtest::ChildProcess mkfifo;
    int nExit = -1;
    ASSERT_TRUE(mkfifo.Start(hwtest::ThrowawayAccounts::As("nobody", {"mkfifo", Log("pipe.log")})));
    ASSERT_TRUE(mkfifo.Wait(30, nExit));
    ASSERT_EQ(0, nExit);
    // The next scan meets it (and would open it from its first line): it
    // is counted as its group's bound.
    const std::string strWarning = "WARNING: Bound reached: log group Demo application (" + Log("*.log") +
                                   "): another account's FIFOs, sockets, devices and links are not read; 1 "
                                   "name left out";
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Errors().find(strWarning) != std::string::npos; }, 30))
        << Errors();
    Error("app.log", "besidepipe");
    Error("late.log", "latebesidepipe");
    ASSERT_TRUE(WaitForComponent("besidepipe:") && WaitForComponent("latebesidepipe:")) << Errors();
    EXPECT_EQ(1u, hwtest::CountOf(Errors(), strWarning));

    // An open of the FIFO that waited would hold the engine's thread past
    // its stop bound: hwhost says so and ends non-zero.
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGTERM));
    ASSERT_TRUE(m_Host.Wait(hwtest::kStopBackstopSeconds, nExit)) << Errors();
    EXPECT_EQ(0, nExit) << Errors();
    EXPECT_EQ("", hwtest::HeldUpStopLines(Errors()));
}

// Any account that can write to a watched folder decides how many lines the
// engine reads: their echo on standard error keeps to its budget and counts
// what it left out, so they cannot fill the disk standard error ends up
// on, and every matching line still alerts.
TEST_F(TextLogHostTest, FloodOfLinesAnotherAccountWritesAlertsInFullWithABoundedEcho) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another account";
    }
    ASSERT_EQ(0, ::chmod(m_Root.Path().c_str(), 0711));
    ASSERT_EQ(0, ::chmod(m_Root.File("applogs").c_str(), 01777));
    ASSERT_TRUE(ProbeUntilFollowed("app.log")) << Errors();

    // 20,000 lines in one go, every other one matching; the new file is
    // read from its first line.
    constexpr int kPairs = 10000;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(hwtest::ThrowawayAccounts::RunAs(
        "nobody", {"sh", "-c",
                   "seq 1 " + std::to_string(kPairs) +
                       " | sed 's/.*/2026-12-06 10:00:00 [error] flood&: something broke\\n"
                       "2026-12-06 10:00:00 [info] calm&: all well/' >> " +
                       Log("flood.log")}));
    const std::string strFlood = "<param name='Component' type='string' value='flood";
    EXPECT_TRUE(hwtest::WaitUntil([&] { return hwtest::CountOf(Alerts(), strFlood) >= kPairs; }, 120))
        << hwtest::CountOf(Alerts(), strFlood) << " alerts";
    // The stop says at once what was left out since the last count.
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGTERM));
    int nExit = -1;
    ASSERT_TRUE(m_Host.Wait(60, nExit)) << Errors();
    EXPECT_EQ(0, nExit);
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const std::string strAlerts = Alerts();
    EXPECT_EQ(hwtest::CountOf(strAlerts, strFlood), static_cast<size_t>(kPairs));
    EXPECT_EQ(hwtest::CountOf(strAlerts, "value='calm"), 0u);
    // Every line read, the probes the engine saw among them, was echoed or
    // counted as left out.
    const std::string strErrors = Errors();
    const size_t nEchoed = hwtest::CountOf(strErrors, "\nDEBUG: Get[");
    size_t nLeftOut = 0;
    // The line's own end is looked ahead to, not taken: a count said right
    // after another (the last second's, then the stop's) still begins after
    // a line feed.
    static const std::regex kLeftOut(
        R"(\nDEBUG: (\d+) (?:line read without its|lines read without their) echo \(the echo is kept to 20 lines and 8192 bytes a second\)(?=\n))");
    for (auto it = std::sregex_iterator(strErrors.begin(), strErrors.end(), kLeftOut);
         it != std::sregex_iterator(); ++it) {
        nLeftOut += std::stoull((*it)[1].str());
    }
    EXPECT_GT(nLeftOut, 0u);
    EXPECT_EQ(nEchoed + nLeftOut, 2 * kPairs + hwtest::CountOf(strAlerts, "value='probe"));
    // 20 lines a second after a second's burst, where all of them would
    // have written some 1.3 MB.
    EXPECT_LE(nEchoed, static_cast<size_t>(20 * (dSeconds + 1)) + 1) << dSeconds << " s";
    EXPECT_LT(strErrors.size(), 64 * 1024 + static_cast<size_t>(dSeconds * 10 * 1024)) << dSeconds << " s";
    std::printf("flood of %d lines: %zu echoed, %zu counted as left out, %zu bytes of standard error in %.1f s\n",
                2 * kPairs, nEchoed, nLeftOut, strErrors.size(), dSeconds);
}

// The account that writes a watched folder (here, one it owns) plants a
// link to a file only root may read, holding a line the rules alert on: the
// link is not followed, so the line is neither alerted on nor shown, and is
// counted once as its group's bound; the folder's own files, and root's
// link, are read as before.
TEST_F(TextLogHostTest, LinkAnotherAccountPlantsInTheWatchedFolderIsNeitherFollowedNorShown) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another account";
    }
    ASSERT_EQ(0, ::chmod(m_Root.Path().c_str(), 0711));
    ASSERT_EQ(0, ::chown(m_Root.File("applogs").c_str(), 65534, 65534));
    hwtest::WriteWholeFile(m_Out.File("shadow"), "2026-12-06 10:00:00 [error] rootonly: secret\n");
    ASSERT_EQ(0, ::chmod(m_Out.File("shadow").c_str(), 0600));
    hwtest::WriteWholeFile(m_Out.File("elsewhere.log"),
                           "2026-12-06 10:00:00 [error] rootslink: read\n");
    ASSERT_TRUE(hwtest::ThrowawayAccounts::RunAs(
        "nobody", {"ln", "-s", m_Out.File("shadow"), Log("planted.log")}));
    ASSERT_EQ(0, ::symlink(m_Out.File("elsewhere.log").c_str(), Log("linked.log").c_str()));

    const std::string strWarning = "WARNING: Bound reached: log group Demo application (" + Log("*.log") +
                                   "): another account's FIFOs, sockets, devices and links are not read; 1 "
                                   "name left out";
    ASSERT_TRUE(
        hwtest::WaitUntil([&] { return Errors().find(strWarning) != std::string::npos; }, 30))
        << Errors();
    ASSERT_TRUE(WaitForComponent("rootslink:")) << Errors();
    Error("app.log", "besidelink");
    ASSERT_TRUE(WaitForComponent("besidelink:")) << Errors();
    EXPECT_EQ(1u, hwtest::CountOf(Errors(), strWarning));
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGTERM));
    int nExit = -1;
    ASSERT_TRUE(m_Host.Wait(30, nExit)) << Errors();
    for (const char* pszOutput : {"hwhost.err", "hwhost.out", "hwhost.log", "alerts.xml"}) {
        EXPECT_EQ(std::string::npos, hwtest::ReadWholeFile(m_Out.File(pszOutput)).find("rootonly"))
            << pszOutput;
    }
}

// A writer's last line without its line end is alerted at the stop, as it
// is when its file is let go: nothing reads the file after the stop.
TEST_F(TextLogHostTest, UnfinishedLastLineAtTheStopIsAlerted) {
    ASSERT_TRUE(ProbeUntilFollowed("stop.log")) << Errors();
    std::ofstream(Log("stop.log"), std::ios::binary | std::ios::app)
        << "2026-12-06 10:00:00 [error] laststop: never ended";
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGTERM));
    int nExit = -1;
    ASSERT_TRUE(m_Host.Wait(60, nExit)) << Errors();
    EXPECT_EQ(0, nExit);
    EXPECT_EQ(AlertsWith("Component", "laststop:"), 1u) << Errors();
}

// A large file cut under the engine is read again to show what it still
// holds, 16 MiB at each of its turns: another group's new line, there when
// the cut is first seen, is alerted in that first round, before the lines
// the reading again leads to (it waited for the whole reading again, in
// calls of 512 MiB, before).  The line right after the last place shown
// (a line end at 128 MiB) is read again, as said, and so marks where the
// reading again ended; the pause makes the engine see the cut and the new
// line at one pass.
TEST_F(TextLogHostTest, CutOfALargeFileIsReadAgainInTurnsWithAnotherGroupsNewLineFirst) {
    ASSERT_TRUE(ProbeUntilFollowed("other.log")) << Errors();
    fs::create_directories(m_Root.File("varlog"));
    const std::string strAuth = m_Root.File("varlog/auth.log");
    const auto Guess = [](const std::string& strFrom) {
        return "Dec  6 10:00:00 demo sshd[7]: Failed password for root from " + strFrom + " port 22\n";
    };
    const auto Origin = [&](const std::string& strFrom) { return AlertsWith("AttackOrigin", strFrom); };
    // The group's one path names no file at its first scan: the file is
    // taken up at a later one, from its first line.
    int nProbe = 0;
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            const std::string strFrom = "10.9.0." + std::to_string(++nProbe);
            std::ofstream(strAuth, std::ios::binary | std::ios::app) << Guess(strFrom);
            return hwtest::WaitUntil([&] { return Origin(strFrom) > 0; }, 2);
        },
        120))
        << Errors();
    // 256 MiB of lines of 4 KiB (a line end at each power of two from
    // 4 KiB on), the one right after 128 MiB a guess from 10.0.0.2.
    std::ofstream(strAuth, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Errors().find("was truncated") != std::string::npos; }, 60)) << Errors();
    {
        std::ofstream out(strAuth, std::ios::binary | std::ios::app);
        const std::string strPlain = std::string(4095, 'x') + "\n";
        std::string strMarked = Guess("10.0.0.2");
        strMarked.insert(strMarked.size() - 1, std::string(4096 - strMarked.size(), ' '));
        for (int n = 0; n < 65536; ++n) {
            out << (n == 32768 ? strMarked : strPlain);
        }
        out << Guess("10.0.0.1");
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Origin("10.0.0.1") == 1; }, 300)) << Errors();
    EXPECT_EQ(Origin("10.0.0.2"), 1u);
    const size_t nPaused = hwtest::CountOf(hwtest::ReadWholeFile(m_Out.File("hwhost.log")),
                                           "hwhost: pause completed with status 1");
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGUSR1));
    ASSERT_TRUE(WaitForLog("hwhost: pause completed with status 1", nPaused)) << Errors();
    ASSERT_EQ(0, ::truncate(strAuth.c_str(), int64_t{200} << 20));
    Error("other.log", "othercut");
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGUSR2));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Origin("10.0.0.2") == 2 && AlertsWith("Component", "othercut:") == 1; },
                                  300))
        << Errors();
    const std::string strAlerts = Alerts();
    const size_t nOther = strAlerts.find("value='othercut:'");
    const size_t nAgain = strAlerts.find("value='10.0.0.2'", strAlerts.find("value='10.0.0.2'") + 1);
    EXPECT_LT(nOther, nAgain);
    EXPECT_EQ(Origin("10.0.0.1"), 1u);
    ::unlink(strAuth.c_str());
}

// Forty files each given 300 lines and an unfinished one just before
// SIGTERM: the stop reads every file to its end, each line alerted once,
// the unfinished ones too (the stop read 256 lines of each before).  On a
// build and a machine slow enough that the stop's second does not cover
// the 12,040 lines (a sanitized build beside busy loops), the files share
// it: each gives its lines from the first on, none twice, and what the
// stop leaves is exactly what its one line counts.
TEST_F(TextLogHostTest, StopReadsEveryFileToItsEndEachLineAlertedOnce) {
    constexpr int kFiles = 40;
    constexpr int kLines = 300;
    for (int f = 0; f < kFiles; ++f) {
        std::ofstream(Log("s" + std::to_string(f) + ".log"), std::ios::binary | std::ios::app);
    }
    // A scan that takes the last file made takes the others made before it.
    ASSERT_TRUE(ProbeUntilFollowed("s" + std::to_string(kFiles - 1) + ".log")) << Errors();
    const auto Line = [](int f, int n) {
        return "2026-12-06 10:00:00 [error] s" + std::to_string(f) + "n" + std::to_string(n) +
               (n < kLines ? ": something broke\n" : ": never ended");
    };
    for (int f = 0; f < kFiles; ++f) {
        std::string strLines;
        for (int n = 0; n <= kLines; ++n) {
            strLines += Line(f, n);
        }
        std::ofstream(Log("s" + std::to_string(f) + ".log"), std::ios::binary | std::ios::app) << strLines;
    }
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGTERM));
    int nExit = -1;
    ASSERT_TRUE(m_Host.Wait(60, nExit)) << Errors();
    EXPECT_EQ(0, nExit);
    ExpectEachLineOnceOrCountedAtTheStop(
        kFiles, [](int f) { return "s" + std::to_string(f) + "n"; }, [](int) { return kLines + 1; }, Line);
}

// What the watched folder holds at the stop is read, not only what a scan
// met: 150 files made a quarter of a second before the stop, and a log
// renamed away and begun anew just before them, give every line once, or
// count it in the stop's line and its tally (before, scans came every five
// seconds and the stop read none of them, and said nothing).
TEST_F(TextLogHostTest, FilesMadeAndALogBegunAnewJustBeforeTheStopGiveEachLineOnceOrCountIt) {
    constexpr int kFiles = 150;
    constexpr int kLines = 30;
    constexpr int kAnew = 50;
    ASSERT_TRUE(ProbeUntilFollowed("rot.log")) << Errors();
    const auto Line = [](int f, int n) {
        return "2026-12-06 10:00:00 [error] " + (f < kFiles ? "m" + std::to_string(f) : std::string("rot")) + "n" +
               std::to_string(n) + ": something broke\n";
    };
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, ::rename(Log("rot.log").c_str(), Log("rot.log.1").c_str()));
    std::string strAnew;
    for (int n = 0; n < kAnew; ++n) {
        strAnew += Line(kFiles, n);
    }
    hwtest::WriteWholeFile(Log("rot.log"), strAnew);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(50));
    for (int f = 0; f < kFiles; ++f) {
        std::string strLines;
        for (int n = 0; n < kLines; ++n) {
            strLines += Line(f, n);
        }
        hwtest::WriteWholeFile(Log("m" + std::to_string(f) + ".log"), strLines);
    }
    std::this_thread::sleep_until(start + std::chrono::milliseconds(300));
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGTERM));
    int nExit = -1;
    ASSERT_TRUE(m_Host.Wait(60, nExit)) << Errors();
    EXPECT_EQ(0, nExit);
    const uint64_t qwAlerted = ExpectEachLineOnceOrCountedAtTheStop(
        kFiles + 1, [](int f) { return (f < kFiles ? "m" + std::to_string(f) : std::string("rot")) + "n"; },
        [](int f) { return f < kFiles ? kLines : kAnew; }, Line);
    std::printf("%" PRIu64 " of %d lines alerted\n", qwAlerted, kFiles * kLines + kAnew);
}

// More than the stop's second can read, in many files: the files are named
// within the limit of the losses' reports, and all of them are counted in
// one line after those, on the console and in the log.  (300 files of 2 MB
// of short lines that match no rule, rather than 600 of 5 MB: no build
// reads 200 million lines in a second, and CI's disk keeps 600 MB.)
TEST_F(TextLogHostTest, WhatTheStopCannotReadIsCountedInOneLineAfterTheFilesItNames) {
    constexpr int kFiles = 300;
    constexpr size_t kBytes = size_t{2} << 20;
    for (int f = 0; f < kFiles; ++f) {
        std::ofstream(Log("u" + std::to_string(f) + ".log"), std::ios::binary | std::ios::app);
    }
    ASSERT_TRUE(ProbeUntilFollowed("u" + std::to_string(kFiles - 1) + ".log")) << Errors();
    std::string strBlock;
    while (strBlock.size() < kBytes) {
        strBlock += "ok\n";
    }
    for (int f = 0; f < kFiles; ++f) {
        std::ofstream(Log("u" + std::to_string(f) + ".log"), std::ios::binary | std::ios::app) << strBlock;
    }
    std::string strErrors;
    std::smatch match;
    ASSERT_TRUE(
        StopAndFindCount("what 1000 ms of reading at the stop left of the text logs' files is lost",
                         strErrors, match));
    const uint64_t qwFiles = std::stoull(match[1]);
    const uint64_t qwBytes = std::stoull(match[2]);
    const size_t nNamed = std::stoul(match[3]);
    std::printf("%s", match[0].str().c_str());
    const std::string strPrefix = strErrors.substr(0, static_cast<size_t>(match.position(0)));
    // Said once, after the files it names.
    EXPECT_EQ(hwtest::CountOf(strErrors, "at the stop: what 1000 ms"), 1u);
    EXPECT_EQ(hwtest::CountOf(strPrefix, " bytes of it not read: its lines are lost"), nNamed);
    EXPECT_EQ(hwtest::CountOf(strErrors, " bytes of it not read: its lines are lost"), nNamed);
    EXPECT_LE(nNamed, 20u);
    EXPECT_GT(qwFiles, nNamed);
    EXPECT_LE(qwFiles, uint64_t{kFiles});
    EXPECT_GT(qwBytes, 0u);
    EXPECT_LE(qwBytes, uint64_t{kFiles} * strBlock.size());
    EXPECT_EQ(hwtest::CountOf(hwtest::ReadWholeFile(m_Out.File("hwhost.log")), match[0].str().substr(9, 60)), 1u);
    ExpectCountedInTallyAndStatus(strErrors, match);
    for (int f = 0; f < kFiles; ++f) {
        ::unlink(Log("u" + std::to_string(f) + ".log").c_str());
    }
}

// A stop while paused reads nothing: what a followed file gained since the
// pause, and every byte of the 50 files made during it (which no scan met),
// are counted in the one line and in the stop's tally alike, and
// hwhost.status keeps the line.  (The files made were counted nowhere.)
TEST_F(TextLogHostTest, WhatAStopWhilePausedLeavesIsCountedInTheLineAndTheTally) {
    constexpr int kFiles = 50;
    constexpr int kLines = 10;
    ASSERT_TRUE(ProbeUntilFollowed("paused.log")) << Errors();
    const size_t nPaused = hwtest::CountOf(hwtest::ReadWholeFile(m_Out.File("hwhost.log")),
                                           "hwhost: pause completed with status 1");
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGUSR1));
    ASSERT_TRUE(WaitForLog("hwhost: pause completed with status 1", nPaused)) << Errors();
    std::string strBlock;
    for (int n = 0; n < 1000; ++n) {
        strBlock += "ok\n";
    }
    std::ofstream(Log("paused.log"), std::ios::binary | std::ios::app) << strBlock;
    uint64_t qwMade = 0;
    for (int f = 0; f < kFiles; ++f) {
        std::string strLines;
        for (int n = 0; n < kLines; ++n) {
            strLines += "2026-12-06 10:00:00 [error] d" + std::to_string(f) + "n" + std::to_string(n) +
                        ": something broke\n";
        }
        hwtest::WriteWholeFile(Log("d" + std::to_string(f) + ".log"), strLines);
        qwMade += strLines.size();
    }
    std::string strErrors;
    std::smatch match;
    ASSERT_TRUE(StopAndFindCount("the text logs were paused: what their files gained since is lost",
                                 strErrors, match));
    EXPECT_EQ(std::to_string(kFiles + 1), match[1]);
    // Named within the limit of the losses' reports.
    EXPECT_EQ("20", match[3]);
    // Probe lines written before the pause may not all have been read.
    EXPECT_GE(std::stoull(match[2]), strBlock.size() + qwMade);
    EXPECT_LT(std::stoull(match[2]), strBlock.size() + qwMade + 1000);
    EXPECT_EQ(std::string::npos, Alerts().find("value='d0n")) << "a paused stop read a file";
    ExpectCountedInTallyAndStatus(strErrors, match);
}

// hwhost run as a service whose console is a file in a folder, and a push
// whose log group watches that folder only: the group reads no file, and
// push says why as it reports, naming the console as the sensor's own
// output, and so does hwhost.status, where it said that nothing matched.
TEST_F(TextLogHostTest, PushOfAGroupWhoseOnlyFileIsTheConsoleSaysWhyItReadsNone) {
    m_Host.Stop();
    fs::create_directories(m_Root.File("console"));
    fs::create_directories(m_Root.File("varlog"));
    hwtest::WriteWholeFile(m_Root.File("varlog/auth.log"), "");
    const std::string strConsole = m_Root.File("console/hwhost.out");
    hwtest::ChildProcess host;
    ASSERT_TRUE(host.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "run", "--root", m_Root.Path(), "--alerts",
                            m_Out.File("alerts.xml"), "--log", m_Out.File("hwhost.log")},
                           strConsole));
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return hwtest::ReadWholeFile(strConsole).find("hwhost: sensor started") != std::string::npos; }, 60))
        << hwtest::ReadWholeFile(strConsole);
    std::string strPolicy = hwtest::ReadWholeFile(m_Root.File("Default.policy"));
    const std::string strDemo = Log("*.log");
    ASSERT_NE(std::string::npos, strPolicy.find(strDemo));
    const std::string strWatched = m_Root.File("console/*");
    strPolicy.replace(strPolicy.find(strDemo), strDemo.size(), strWatched);
    std::string strOutput;
    EXPECT_EQ(4, Push(strPolicy, strOutput)) << strOutput;
    const std::string strWarning = "WARNING: LogGroup (Demo application) watches no file: its Path " + strWatched +
                                   " matches only the sensor's own output, which no log group reads: " + strConsole +
                                   " is the sensor's own standard output";
    EXPECT_EQ(1u, hwtest::CountOf(strOutput, strWarning + "\n")) << strOutput;
    EXPECT_EQ(std::string::npos, strOutput.find("nothing matches")) << strOutput;
    EXPECT_NE(std::string::npos, LastStatusRecord().find(strWarning)) << LastStatusRecord();
    // Said with the push's report, it is not said again by the scans: a
    // line of another group alerted after the push was read after the
    // first scan of the group.
    std::ofstream(m_Root.File("varlog/auth.log"), std::ios::binary | std::ios::app)
        << "Dec  8 10:00:00 web1 sshd[4242]: Failed password for root from 203.0.113.9 port 22 ssh2\n";
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Alerts().find("SSH password guessing") != std::string::npos; }, 60))
        << hwtest::ReadWholeFile(strConsole);
    host.Stop();
    EXPECT_EQ(std::string::npos, hwtest::ReadWholeFile(strConsole).find(" does not read it, as what the sensor "))
        << hwtest::ReadWholeFile(strConsole);
}

namespace {

// hwhost's alert file in a folder a log group watches, as with --alerts
// /var/log/hwhost/alerts.xml and a group on /var/log/...: the demo's
// application group watches everything beneath applogs/, and the alerts
// go to applogs/hw/alerts.xml.  The rule alerts on "[crit]", which each
// alert of a line with a component "[crit]..." holds in turn: read back
// under any name a rotation gives it, every such alert would come back as
// an alert of its own, naming one of the alert files as its file.
class OwnAlertsHostTest : public TextLogHostTest {
protected:
    void SetUp() override {
        PrepareRoot();
        std::string strPolicy = hwtest::ReadWholeFile(m_Root.File("Default.policy"));
        const std::string strDemo = Log("*.log");
        ASSERT_NE(std::string::npos, strPolicy.find(strDemo));
        strPolicy.replace(strPolicy.find(strDemo), strDemo.size(), Log("..."));
        hwtest::WriteWholeFile(m_Root.File("Default.policy"), strPolicy);
        m_Host.SetErrorFile(m_Out.File("hwhost.err"));
        // All three outputs lie in the watched folder.
        ASSERT_TRUE(m_Host.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "run", "--root", m_Root.Path(),
                                  "--alerts", AlertFile(), "--messages", Log("hw/messages.bin"), "--log",
                                  Log("hw/hwhost.log")},
                                 m_Out.File("hwhost.out")));
        ASSERT_TRUE(hwtest::WaitUntil(
            [&] { return Errors().find("hwhost: sensor started") != std::string::npos; }, 60))
            << Errors();
    }
    std::string AlertFile() const { return Log("hw/alerts.xml"); }
    // Every alert written, in every file the rotations and renames left
    // beneath hw/: the alert files are those that hold an alert document.
    std::string AllAlerts() {
        std::string strAll;
        std::error_code failure;
        for (const auto& entry : fs::recursive_directory_iterator(Log("hw"), failure)) {
            const std::string strPath = entry.path().string();
            if (!entry.is_regular_file(failure) || strPath.find("/messages.bin") != std::string::npos ||
                strPath.find("/hwhost.log") != std::string::npos) {
                continue;
            }
            if (strPath.size() < 3 || strPath.compare(strPath.size() - 3, 3, ".gz") != 0) {
                strAll += hwtest::ReadWholeFile(strPath);
                continue;
            }
            fs::remove(m_Out.File("gunzipped"), failure);
            hwtest::ChildProcess gunzip;
            int nExit = -1;
            EXPECT_TRUE(gunzip.Start({"gzip", "-dc", strPath}, m_Out.File("gunzipped")) && gunzip.Wait(60, nExit));
            strAll += hwtest::ReadWholeFile(m_Out.File("gunzipped"));
        }
        return strAll;
    }
    // The reloads the log open now tells of as over.
    size_t Reloads() const {
        return hwtest::CountOf(hwtest::ReadWholeFile(Log("hw/hwhost.log")), "hwhost: sensor state after reload");
    }
    size_t Alerted(const std::string& strTag) {
        return hwtest::CountOf(AllAlerts(), "<param name='Component' type='string' value='[crit]" + strTag + ":'");
    }
    bool Crit(const std::string& strName, const std::string& strTag) {
        Append(strName, "2026-12-06 10:00:00 [error] [crit]" + strTag + ": something broke");
        return hwtest::WaitUntil([&] { return Alerted(strTag) > 0; }, 60);
    }
    // Lines appended before the engine's first scan are history to it.
    bool Followed() {
        int nProbe = 0;
        return hwtest::WaitUntil(
            [&] {
                const std::string strTag = "probe" + std::to_string(++nProbe);
                Append("app.log", "2026-12-06 10:00:00 [error] [crit]" + strTag + ": something broke");
                return hwtest::WaitUntil([&] { return Alerted(strTag) > 0; }, 2);
            },
            120);
    }
    // A file made after the last rotation is taken up by the next scan,
    // which meets every file the rotations left, and a line added to it
    // after its first is read in a pass after everything that scan took up.
    void AwaitAScanAfterTheRotations() {
        EXPECT_TRUE(Crit("late.log", "late")) << Errors();
        EXPECT_TRUE(Crit("late.log", "later")) << Errors();
    }
    void ExpectEachAlertOnce(const std::vector<std::string>& tags) {
        for (const std::string& strTag : tags) {
            EXPECT_EQ(Alerted(strTag), 1u) << strTag;
        }
        const std::string strAll = AllAlerts();
        EXPECT_EQ(hwtest::CountOf(strAll, "alert-name='Application error'"),
                  hwtest::CountOf(strAll, "<param name='Component' type='string' value='[crit]"))
            << strAll;
        EXPECT_EQ(std::string::npos, strAll.find("value='" + Log("hw/"))) << strAll;
    }
};

}  // namespace

// Renamed through numbered names and opened anew at SIGHUP, three times,
// as running.md tells an operator to rotate it: each alert is in the files
// once, and none is read back, however soon after its open a file was
// renamed.
TEST_F(OwnAlertsHostTest, AlertFileInAWatchedFolderRotatedByRenameAndSighupGivesEachAlertOnce) {
    ASSERT_TRUE(Followed()) << Errors();
    std::vector<std::string> tags;
    for (int nRound = 1; nRound <= 3; ++nRound) {
        tags.push_back("rename" + std::to_string(nRound));
        ASSERT_TRUE(Crit("app.log", tags.back())) << Errors();
        for (int n = nRound - 1; n >= 1; --n) {
            ASSERT_EQ(0, ::rename((AlertFile() + "." + std::to_string(n)).c_str(),
                                  (AlertFile() + "." + std::to_string(n + 1)).c_str()));
        }
        ASSERT_EQ(0, ::rename(AlertFile().c_str(), (AlertFile() + ".1").c_str()));
        ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGHUP));
    }
    tags.push_back("after");
    ASSERT_TRUE(Crit("app.log", tags.back())) << Errors();
    AwaitAScanAfterTheRotations();
    ExpectEachAlertOnce(tags);
    EXPECT_NE(std::string::npos, Errors().find(AlertFile() + ".1 was the sensor's own alert file earlier in this run: "
                                                             "log group Demo application ("))
        << Errors();
}

// Rotated by logrotate three times with create (its postrotate sending the
// SIGHUP), compress and delaycompress, then twice with copytruncate, whose
// copies are new files by the alert file's rotated names: each alert once.
TEST_F(OwnAlertsHostTest, AlertFileInAWatchedFolderRotatedByLogrotateGivesEachAlertOnce) {
    if (::access("/usr/sbin/logrotate", X_OK) != 0) {
        GTEST_SKIP() << "logrotate is not installed (scripts/install-deps installs it)";
    }
    ASSERT_TRUE(Followed()) << Errors();
    const std::string strCreate = m_Out.File("create.conf");
    hwtest::WriteWholeFile(strCreate, AlertFile() + " {\n    create\n    rotate 5\n    compress\n    delaycompress\n"
                                                    "    missingok\n    postrotate\n        kill -HUP " +
                                          std::to_string(m_Host.Pid()) + "\n    endscript\n}\n");
    const std::string strCopy = m_Out.File("copy.conf");
    hwtest::WriteWholeFile(strCopy, AlertFile() + " {\n    copytruncate\n    rotate 5\n    compress\n"
                                                  "    delaycompress\n    missingok\n}\n");
    std::vector<std::string> tags;
    for (int nRound = 1; nRound <= 5; ++nRound) {
        tags.push_back("logrotate" + std::to_string(nRound));
        ASSERT_TRUE(Crit("app.log", tags.back())) << Errors();
        ASSERT_TRUE(Logrotate(nRound <= 3 ? strCreate : strCopy));
    }
    tags.push_back("after");
    ASSERT_TRUE(Crit("app.log", tags.back())) << Errors();
    AwaitAScanAfterTheRotations();
    ExpectEachAlertOnce(tags);
    EXPECT_TRUE(fs::exists(AlertFile() + ".2.gz"));
}

// Renamed 100 times to names no rotation gives, half of them into another
// folder the group watches, each followed by a SIGHUP that opens a new
// alert file: far more earlier outputs than the host could hold open, and
// each still known by the file itself, so every alert is in the files once.
TEST_F(OwnAlertsHostTest, AlertFileRenamedAHundredTimesToAnyNameGivesEachAlertOnce) {
    ASSERT_TRUE(Followed()) << Errors();
    ASSERT_TRUE(fs::create_directories(Log("hw/moved")));
    std::vector<std::string> tags;
    for (int n = 1; n <= 100; ++n) {
        tags.push_back("renamed" + std::to_string(n));
        ASSERT_TRUE(Crit("app.log", tags.back())) << Errors();
        const std::string strTo = Log(n % 2 == 0 ? "hw/moved/kept" + std::to_string(n) + ".txt"
                                                 : "hw/copy-of-alerts-" + std::to_string(n) + ".log");
        ASSERT_EQ(0, ::rename(AlertFile().c_str(), strTo.c_str())) << n;
        // The next alert goes to a new file: the reload is over, and the
        // alert file was asked to be opened again before it.
        const size_t nReloads = Reloads();
        ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGHUP));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return Reloads() > nReloads; }, 60)) << n;
    }
    tags.push_back("after");
    ASSERT_TRUE(Crit("app.log", tags.back())) << Errors();
    AwaitAScanAfterTheRotations();
    ExpectEachAlertOnce(tags);
}

// logrotate's create with olddir moves all three outputs into a folder the
// group watches, under their own names there, 30 times, the postrotate
// sending the SIGHUP that opens new ones: none of the 90 files is read.
TEST_F(OwnAlertsHostTest, AllOutputsRotatedByLogrotateIntoAWatchedOldFolderGiveEachAlertOnce) {
    if (::access("/usr/sbin/logrotate", X_OK) != 0) {
        GTEST_SKIP() << "logrotate is not installed (scripts/install-deps installs it)";
    }
    ASSERT_TRUE(Followed()) << Errors();
    ASSERT_TRUE(fs::create_directories(Log("hw/old")));
    const std::string strConfig = m_Out.File("olddir.conf");
    hwtest::WriteWholeFile(strConfig, AlertFile() + " " + Log("hw/messages.bin") + " " + Log("hw/hwhost.log") +
                                          " {\n    create\n    rotate 100\n    olddir " + Log("hw/old") +
                                          "\n    missingok\n    sharedscripts\n    postrotate\n        kill -HUP " +
                                          std::to_string(m_Host.Pid()) + "\n    endscript\n}\n");
    std::vector<std::string> tags;
    for (int n = 1; n <= 30; ++n) {
        tags.push_back("olddir" + std::to_string(n));
        ASSERT_TRUE(Crit("app.log", tags.back())) << Errors();
        ASSERT_TRUE(Logrotate(strConfig));
        // The next alert goes to new files: the reload is over (in the new
        // log), and the outputs were asked to be opened again before it.
        ASSERT_TRUE(hwtest::WaitUntil([&] { return Reloads() > 0; }, 60)) << n;
    }
    tags.push_back("after");
    ASSERT_TRUE(Crit("app.log", tags.back())) << Errors();
    AwaitAScanAfterTheRotations();
    ExpectEachAlertOnce(tags);
    EXPECT_TRUE(fs::exists(Log("hw/old/alerts.xml.30")));
    EXPECT_TRUE(fs::exists(Log("hw/old/hwhost.log.30")));
}

// logrotate's copytruncate under a steady stream of alerts: whatever hwhost
// wrote between the copy and the truncate is in neither file, and hwhost
// says each cut on the console with the alerts the file no longer holds,
// which count every alert missing from the files (and those the copy kept).
TEST_F(OwnAlertsHostTest, CopytruncateOfTheAlertFileUnderASteadyStreamSaysWhatTheCutTook) {
    if (::access("/usr/sbin/logrotate", X_OK) != 0) {
        GTEST_SKIP() << "logrotate is not installed (scripts/install-deps installs it)";
    }
    ASSERT_TRUE(Followed()) << Errors();
    const std::string strConfig = m_Out.File("copy.conf");
    hwtest::WriteWholeFile(strConfig, AlertFile() + " {\n    copytruncate\n    rotate 10\n    missingok\n}\n");
    std::atomic<bool> bStop{false};
    std::atomic<int> nWritten{0};
    std::thread stream([&] {
        while (!bStop.load()) {
            Append("app.log", "2026-12-06 10:00:00 [error] [crit]stream" + std::to_string(nWritten.load()) +
                                  ": something broke");
            nWritten.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    constexpr int kRotations = 5;
    // Whether the alert file took an alert since it was last cut: only
    // hwhost writes it, and its first write after a cut says the cut.
    const auto writtenSinceTheCut = [&] {
        std::error_code error;
        const auto size = fs::file_size(AlertFile(), error);
        return !error && size > 0;
    };
    for (int n = 0; n < kRotations; ++n) {
        // Each rotation cuts a file that took alerts since the one before:
        // an alert of a line written before the last rotation may be in
        // the copy, which proves nothing of the file.
        const int nBefore = nWritten.load();
        EXPECT_TRUE(hwtest::WaitUntil(
            [&] { return Alerted("stream" + std::to_string(nBefore)) > 0 && writtenSinceTheCut(); }, 60));
        EXPECT_TRUE(Logrotate(strConfig));
    }
    // The last cut is said at the first write after it.
    const int nAfter = nWritten.load();
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] { return Alerted("stream" + std::to_string(nAfter)) > 0 && writtenSinceTheCut(); }, 60));
    bStop.store(true);
    stream.join();
    const std::string strLast = "stream" + std::to_string(nWritten.load() - 1);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Alerted(strLast) > 0; }, 60)) << Errors();

    const std::string strErrors = Errors();
    const std::regex said("hwhost: the alert file " + AlertFile() +
                          " was cut under it: it held [0-9]+ bytes? when hwhost last wrote to it, and 0 bytes now; "
                          "the last [0-9]+ bytes? hwhost wrote there \\(([0-9]+) alerts?\\)");
    size_t nCuts = 0;
    long lSaid = 0;
    for (auto it = std::sregex_iterator(strErrors.begin(), strErrors.end(), said); it != std::sregex_iterator(); ++it) {
        ++nCuts;
        lSaid += std::stol((*it)[1].str());
    }
    EXPECT_EQ(nCuts, static_cast<size_t>(kRotations)) << strErrors;
    std::map<int, int> counts;
    ForEachNumberedLine(AllAlerts(), "[crit]stream", [&](int n) { ++counts[n]; });
    long lMissing = 0;
    for (int n = 0; n < nWritten.load(); ++n) {
        EXPECT_LE(counts[n], 1) << n;
        lMissing += counts[n] == 0 ? 1 : 0;
    }
    EXPECT_LE(lMissing, lSaid) << strErrors;
    EXPECT_GT(lSaid, 0);
}
