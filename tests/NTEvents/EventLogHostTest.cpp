// The event-log engine end to end: the real hwhost with the real plug-in on
// a copy of the demo sensor root, fed by hw-evlog from another process, with
// the alerts read back from the host's XML output.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kBin = std::string(HW_BINARY_DIR) + "/bin/";
const std::string kDemo = std::string(HW_SOURCE_DIR) + "/examples/demo";

class EventLogHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy(kDemo, m_Root.Path(), fs::copy_options::recursive);
        m_Environment = {"QOR_PLATFORM_ROOT=" + m_Root.File("platform")};
    }
    void StartHost() {
        ASSERT_TRUE(m_Host.Start({kBin + "hwhost", "run", "--root", m_Root.Path(), "--log", Log(),
                                  "--alerts", m_Dir.File("alerts.xml")},
                                 m_Dir.File("console.txt"), m_Environment));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return Logged("hwhost: start-up completed"); }, 60))
            << hwtest::ReadWholeFile(Log());
    }
    void EventLog(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{kBin + "hw-evlog"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        hwtest::ChildProcess tool;
        int exitCode = -1;
        ASSERT_TRUE(tool.Start(argv, m_Dir.File("hw-evlog.txt"), m_Environment));
        ASSERT_TRUE(tool.Wait(30, exitCode));
        ASSERT_EQ(0, exitCode) << hwtest::ReadWholeFile(m_Dir.File("hw-evlog.txt"));
    }
    // A record of the System log that the demo's "Service stopped" rule
    // alerts, naming `service`.
    void ServiceStopped(const std::string& service) {
        EventLog({"append", "System", "Service Control Manager", "0x40001b7c", "--", service,
                  "stopped"});
    }
    static std::string ServiceParam(const std::string& service) {
        return "<param name='Service' type='string' value='" + service + "' />";
    }
    // The host started, one record alerted, the sensor paused, and three
    // records of stopped services ("svc-a" to "svc-c") written meanwhile.
    void PauseAfterAnAlertAndWriteThree() {
        StartHost();
        ServiceStopped("svc-running");
        ASSERT_TRUE(AwaitAlert(ServiceParam("svc-running"))) << Alerts();
        ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGUSR1));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return Logged("sensor state after pause: paused"); }, 60))
            << hwtest::ReadWholeFile(Log());
        for (const char* pszService : {"svc-a", "svc-b", "svc-c"}) {
            ServiceStopped(pszService);
        }
    }
    std::string Console() const { return hwtest::ReadWholeFile(m_Dir.File("console.txt")); }
    // The newest line of hwhost.status.
    std::string NewestStatus() const {
        std::string text = hwtest::ReadWholeFile(m_Root.File("hwhost.status"));
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return text.substr(text.rfind('\n') + 1);
    }
    std::string Log() const { return m_Dir.File("hwhost.log"); }
    bool Logged(const std::string& text) const {
        return hwtest::ReadWholeFile(Log()).find(text) != std::string::npos;
    }
    std::string Alerts() const { return hwtest::ReadWholeFile(m_Dir.File("alerts.xml")); }
    bool AwaitAlert(const std::string& text) {
        return hwtest::WaitUntil([&] { return Alerts().find(text) != std::string::npos; }, 60);
    }

    hwtest::ScratchDirectory m_Dir;
    hwtest::ScratchDirectory m_Root;
    std::vector<std::string> m_Environment;
    hwtest::ChildProcess m_Host;
};

const char* const kLogonFailure[] = {"append", "Security", "Security", "529", "--type",
                                     "16",     "--sid",    "S-1-5-18", "--"};

std::vector<std::string> LogonFailure(const std::string& user) {
    std::vector<std::string> arguments(std::begin(kLogonFailure), std::end(kLogonFailure));
    arguments.insert(arguments.end(), {user, "WORKGROUP", "2", "User32", "Negotiate", "PC7"});
    return arguments;
}

}  // namespace

TEST_F(EventLogHostTest, AppendedRecordsBecomeAlertsAndAClearedLogIsFollowed) {
    EventLog(LogonFailure("before"));
    StartHost();
    EventLog(LogonFailure("alice"));
    EventLog({"append", "System", "Service Control Manager", "0x40001b7c", "--", "cron",
              "stopped"});
    ASSERT_TRUE(AwaitAlert("value='alice'")) << Alerts();
    const std::string alerts = Alerts();
    EXPECT_NE(alerts.find("alert-name='Logon failure'"), std::string::npos);
    EXPECT_NE(alerts.find("<param name='Workstation' type='string' value='PC7' />"),
              std::string::npos);
    EXPECT_NE(alerts.find("<param name='AttackOrigin' type='string' value='Local' />"),
              std::string::npos);
    EXPECT_NE(alerts.find("<param name='Logged by' type='string' value='NT AUTHORITY\\SYSTEM' />"),
              std::string::npos);
    ASSERT_TRUE(AwaitAlert("<param name='Service' type='string' value='cron' />")) << Alerts();

    EventLog({"clear", "Security"});
    EventLog(LogonFailure("carol"));
    EXPECT_TRUE(AwaitAlert("value='carol'")) << hwtest::ReadWholeFile(Log());
    EXPECT_TRUE(Logged("The Security event log has changed between reads.  Possibly cleared"));
    // Written before the sensor started: never read.
    EXPECT_EQ(Alerts().find("value='before'"), std::string::npos);
}

// A log that cannot be opened at the start (another account's file at its
// name) is tried again at a SIGHUP that reads no policy, and watched once
// its file is put right, from its next record on: the console says so and
// hwhost.status lists it among the logs watched.  The log that was open
// keeps its place through each SIGHUP: each of its records is alerted
// once, the one written as the SIGHUP came among them.
TEST_F(EventLogHostTest, LogThatCouldNotBeOpenedIsWatchedAfterASighupOnceItCanBe) {
    EventLog(LogonFailure("before"));
    const std::string security = m_Root.File("platform/eventlog/Security.evt");
    ASSERT_EQ(0, ::chown(security.c_str(), 65534, 65534));
    StartHost();
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return Console().find("hwhost: sensor started") != std::string::npos; }));
    const std::string refused =
        "ERROR: NT (Security) Event Log monitoring will not run because the log file failed "
        "to open (error: 5)";
    EXPECT_NE(std::string::npos, Console().find(refused)) << Console();
    EXPECT_NE(
        std::string::npos,
        Console().find("NTEventlog Engine: 3 rules; event logs System; not watched: Security"))
        << Console();
    ServiceStopped("svc-one");
    ASSERT_TRUE(AwaitAlert(ServiceParam("svc-one"))) << Alerts();

    const auto sighup = [&](const std::string& service) {
        const std::string done = "hwhost: reload completed with status 1";
        const size_t before = hwtest::CountOf(hwtest::ReadWholeFile(Log()), done);
        ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGHUP));
        ServiceStopped(service);
        ASSERT_TRUE(hwtest::WaitUntil(
            [&] { return hwtest::CountOf(hwtest::ReadWholeFile(Log()), done) > before; }, 60));
    };
    // Still another account's: tried, said again, and left out.
    sighup("svc-two");
    EXPECT_EQ(2u, hwtest::CountOf(Console(), refused)) << Console();
    EXPECT_NE(std::string::npos,
              NewestStatus().find("NTEventlog Engine: 3 rules; event logs System; not watched: "
                                  "Security"))
        << NewestStatus();

    ASSERT_EQ(0, ::chown(security.c_str(), 0, 0));
    sighup("svc-three");
    const std::string back =
        "NOTICE: NT (Security) Event Log monitoring runs now: the log was opened at the reload, "
        "and its records are read from the next one written";
    EXPECT_NE(std::string::npos, Console().find(back)) << Console();
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return NewestStatus().find("NTEventlog Engine: 3 rules; event logs System, Security\\n") !=
               std::string::npos;
    })) << NewestStatus();
    EventLog(LogonFailure("alice"));
    ServiceStopped("svc-four");
    ASSERT_TRUE(AwaitAlert("value='alice'")) << hwtest::ReadWholeFile(Log());
    ASSERT_TRUE(AwaitAlert(ServiceParam("svc-four"))) << Alerts();
    const std::string alerts = Alerts();
    for (const char* pszService : {"svc-one", "svc-two", "svc-three", "svc-four"}) {
        EXPECT_EQ(1u, hwtest::CountOf(alerts, ServiceParam(pszService))) << pszService;
    }
    EXPECT_EQ(1u, hwtest::CountOf(alerts, "<param name='User' type='string' value='alice' />"));
    // In the file before it was watched: never read.
    EXPECT_EQ(std::string::npos, alerts.find("value='before'"));
    EXPECT_EQ(2u, hwtest::CountOf(Console(), refused)) << Console();
}

// Records written while the sensor is paused are read at the resume; a stop
// that comes first reads nothing more, and says what they were on the
// console and in its tally, which counts them with the stop's other losses.
TEST_F(EventLogHostTest, StopWhilePausedCountsTheRecordsWrittenSinceInItsTally) {
    ASSERT_NO_FATAL_FAILURE(PauseAfterAnAlertAndWriteThree());
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGTERM));
    int nExitCode = -1;
    ASSERT_TRUE(m_Host.Wait(60, nExitCode));
    EXPECT_EQ(0, nExitCode) << Console();
    EXPECT_EQ(std::string::npos, Alerts().find(ServiceParam("svc-a")));
    EXPECT_NE(std::string::npos,
              Console().find("WARNING: at the stop: the event logs were paused: what was written to them since is "
                             "lost: 3 records not read (System 3)"))
        << Console();
    EXPECT_NE(std::string::npos, Console().find("; 3 event-log records left unread")) << Console();
}

// A log cleared while the sensor is paused takes the records written to it
// that the engine had not read: the stop says how many, on the console,
// and counts them in its tally with what else the logs were left holding,
// here those written after the clear.
TEST_F(EventLogHostTest, RecordsAClearTookUnreadAreSaidAndCountedAtTheStop) {
    ASSERT_NO_FATAL_FAILURE(PauseAfterAnAlertAndWriteThree());
    EventLog({"clear", "System"});
    ServiceStopped("svc-after-the-clear");
    ASSERT_EQ(0, ::kill(m_Host.Pid(), SIGTERM));
    int nExitCode = -1;
    ASSERT_TRUE(m_Host.Wait(60, nExitCode));
    EXPECT_EQ(0, nExitCode) << Console();
    EXPECT_NE(std::string::npos,
              Console().find("WARNING: The System event log was cleared: 3 records written to it before the clear "
                             "were not read by the sensor"))
        << Console();
    EXPECT_NE(std::string::npos, Console().find("4 records not read (System 4)")) << Console();
    EXPECT_NE(std::string::npos, Console().find("; 4 event-log records left unread")) << Console();
}
