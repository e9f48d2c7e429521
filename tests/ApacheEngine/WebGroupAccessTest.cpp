// The web-server module under an account of its own: the sensor opens its
// shared areas to one group, so a module account in that group reports and
// any other account is turned away.  Throwaway accounts are made for each
// case and removed after it (root).

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "ApacheEngine/WebSharedMemory.h"
#include "ApacheTestSupport.h"
#include "platform/NamedObject.h"
#include "support/ChildProcess.h"
#include "support/ConsoleCapture.h"
#include "support/EngineEnd.h"
#include "support/TestUtil.h"
#include "support/ThrowawayAccounts.h"

namespace {

constexpr const char* kObjects[] = {"QGEvShm", "QGEvMutex", "QGConfShm", "QGConfMutex"};

using hwtest::ThrowawayAccounts;

class WebGroupAccessTest : public ::testing::Test, protected apachetest::EngineWithRules {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to make accounts";
        }
        ASSERT_TRUE(m_Accounts.IsReady());
        ::setenv(kWebGroupVariable, m_Accounts.Group().c_str(), 1);
        ASSERT_EQ(0, m_Engine.Oninit(0));
    }
    void TearDown() override {
        hwtest::EndHeldEngine(m_Engine);
        m_Engine.Shutdown();
        ::unsetenv(kWebGroupVariable);
    }

    // Runs the module as `strUser`; its exit code, with what it printed.
    int Module(const std::string& strUser, const std::vector<std::string>& arguments, std::string& strOutput) {
        std::vector<std::string> argv{HW_BINARY_DIR "/bin/hw-webmodule"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        hwtest::ChildProcess module;
        int nExit = -1;
        // Leak checking needs more of the process than another account
        // gets; the module's leaks are checked in the runs as root.
        if (!module.Start(ThrowawayAccounts::As(strUser, argv), m_Scratch.File("module.out"),
                          {"ASAN_OPTIONS=detect_leaks=0"}) ||
            !module.Wait(60, nExit)) {
            return -1;
        }
        strOutput = hwtest::ReadWholeFile(m_Scratch.File("module.out"));
        return nExit;
    }
    static struct stat Object(const char* pszName) {
        struct stat info = {};
        ::stat(("/dev/shm" + plat::SharedObjectPath(pszName)).c_str(), &info);
        return info;
    }

    ThrowawayAccounts m_Accounts;
    hwtest::ScratchDirectory m_Scratch;
};

}  // namespace

TEST_F(WebGroupAccessTest, ModuleInTheGroupReportsAndAnyOtherAccountIsRefused) {
    ASSERT_EQ(0, m_Engine.OnStart(0));
    ASSERT_TRUE(WebShmIsAttached());
    const struct group* pGroup = ::getgrnam(m_Accounts.Group().c_str());
    ASSERT_NE(nullptr, pGroup);
    for (const char* pszName : kObjects) {
        SCOPED_TRACE(pszName);
        const struct stat info = Object(pszName);
        EXPECT_EQ(0660u, info.st_mode & 0777);
        EXPECT_EQ(pGroup->gr_gid, info.st_gid);
    }

    std::string strOutput;
    EXPECT_EQ(0, Module(m_Accounts.Member(), {"write", "--name", "Web_Shell", "--id", "1234"}, strOutput))
        << strOutput;
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Engine.Count() == 1; })) << strOutput;
    EXPECT_EQ(1, Module(m_Accounts.Stranger(), {"write", "--name", "Web_Shell", "--id", "1234"}, strOutput));
    EXPECT_NE(std::string::npos, strOutput.find("Error attaching to mutex : 5")) << strOutput;
    EXPECT_EQ(1, Module(m_Accounts.Stranger(), {"config"}, strOutput));

    // Without a group the areas are the sensor's account's alone.  The
    // areas go once the thread that reads them has ended, however long a
    // loaded machine takes.
    hwtest::EndHeldEngine(m_Engine);
    EXPECT_EQ(0, m_Engine.StopAndWait());
    m_Engine.Shutdown();
    ::unsetenv(kWebGroupVariable);
    ASSERT_EQ(0, m_Engine.Initialize());
    EXPECT_EQ(0600u, Object("QGEvShm").st_mode & 0777);
    EXPECT_EQ(1, Module(m_Accounts.Member(), {"write", "--name", "Web_Shell"}, strOutput));
    EXPECT_EQ(1u, m_Engine.Count());
}

// An account that makes the sensor's objects first, to read or forge what
// goes through them or to hold the sensor up on their locks, is neither
// joined nor waited on: the sensor takes each name back at once and
// makes its own object, which the module in the group then uses.
TEST_F(WebGroupAccessTest, ObjectsAnotherAccountMadeFirstAreTakenBackAtOnceWhateverItHolds) {
    struct Squat {
        std::vector<std::string> m_Command;
        hwtest::ChildProcess m_Process;
    };
    Squat squats[] = {{{"semaphore-hold-then-crash", "QGEvMutex"}, {}},
                      {{"squat", "QGEvShm", "write"}, {}},
                      {{"squat", "QGConfShm", "read"}, {}},
                      {{"squat", "QGConfMutex", "write"}, {}}};
    for (Squat& squat : squats) {
        std::vector<std::string> argv{HW_NAMED_OBJECT_PEER};
        argv.insert(argv.end(), squat.m_Command.begin(), squat.m_Command.end());
        const std::string strOutput = m_Scratch.File(squat.m_Command[1] + ".out");
        ASSERT_TRUE(squat.m_Process.Start(ThrowawayAccounts::As(m_Accounts.Stranger(), argv), strOutput,
                                          {"ASAN_OPTIONS=detect_leaks=0"}, true));
        ASSERT_TRUE(hwtest::WaitUntil([&] {
            const std::string strText = hwtest::ReadWholeFile(strOutput);
            return strText == "held\n" || strText == "holding\n";
        })) << hwtest::ReadWholeFile(strOutput);
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, m_Engine.Initialize());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    for (const char* pszName : kObjects) {
        SCOPED_TRACE(pszName);
        EXPECT_EQ(0u, Object(pszName).st_uid);
        EXPECT_EQ(0660u, Object(pszName).st_mode & 0777);
    }
    ASSERT_EQ(0, m_Engine.OnStart(0));
    std::string strOutput;
    EXPECT_EQ(0, Module(m_Accounts.Member(), {"write", "--name", "Web_Shell", "--id", "1234"}, strOutput))
        << strOutput;
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Engine.Count() == 1; })) << strOutput;
    for (Squat& squat : squats) {
        squat.m_Process.CloseStdin();
        int nExit = 0;
        ASSERT_TRUE(squat.m_Process.Wait(60, nExit));
    }
}

// A module in the group that takes the ring's lock and keeps it costs the
// engine skipped polls, not a stop that never ends.
TEST_F(WebGroupAccessTest, ModuleKeepingTheRingsLockDoesNotHoldUpTheStop) {
    hwtest::ConsoleCapture console;
    ASSERT_EQ(0, m_Engine.OnStart(0));
    hwtest::ChildProcess holder;
    ASSERT_TRUE(holder.Start(
        ThrowawayAccounts::As(m_Accounts.Member(), {HW_BINARY_DIR "/bin/hw-webmodule", "hold-lock"}),
        m_Scratch.File("holder.out"), {"ASAN_OPTIONS=detect_leaks=0"}));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(m_Scratch.File("holder.out")) == "holding\n"; }))
        << hwtest::ReadWholeFile(m_Scratch.File("holder.out"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return console.Contains("The web-server lock QGEvMutex was not free"); }));
    const auto start = std::chrono::steady_clock::now();
    m_Engine.StopAndWait();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    // A thread that outlasts the stop's bound on a loaded machine still
    // reads the areas: they go once it has ended.
    hwtest::EndHeldEngine(m_Engine);
    m_Engine.Shutdown();
    ::kill(holder.Pid(), SIGKILL);
    int nExit = 0;
    ASSERT_TRUE(holder.Wait(30, nExit));
    // Attached again, the engine is the areas' last user at the tear-down,
    // which removes them.
    ASSERT_EQ(0, m_Engine.Initialize());
}
