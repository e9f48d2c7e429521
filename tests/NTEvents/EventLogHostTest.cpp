// The event-log engine end to end: the real hwhost with the real plug-in on
// a copy of the demo sensor root, fed by hw-evlog from another process, with
// the alerts read back from the host's XML output.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
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
