// scripts/run, the real script, on run folders of every kind.  It builds
// nothing here: HW_BIN_DIR names a folder whose "hwhost" only notes how it
// was started, so what is proven is what the script does to the folder
// before it hands over.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "HostPidFile.h"
#include "support/ChildProcess.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

class RunScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_scratch.File("bin"));
        hwtest::WriteWholeFile(m_scratch.File("bin/hwhost"),
                               "#!/bin/sh\necho \"$@\" > '" + m_scratch.File("started") + "'\n");
        ::chmod(m_scratch.File("bin/hwhost").c_str(), 0755);
    }

    // Runs scripts/run on `folder`; its exit code, its output in `output`.
    int Run(const std::string& folder, std::string& output) {
        fs::remove(m_scratch.File("started"));
        hwtest::ChildProcess run;
        const std::string out = m_scratch.File("run.out");
        fs::remove(out);
        EXPECT_TRUE(run.Start({"bash", std::string(HW_SOURCE_DIR) + "/scripts/run", "--for", "1"}, out,
                              {"HW_RUN_DIR=" + folder, "HW_BIN_DIR=" + m_scratch.File("bin")}));
        int exitCode = -1;
        EXPECT_TRUE(run.Wait(60, exitCode));
        output = hwtest::ReadWholeFile(out);
        return exitCode;
    }
    std::string Started() const {
        return fs::exists(m_scratch.File("started")) ? hwtest::ReadWholeFile(m_scratch.File("started"))
                                                     : "";
    }

    hwtest::ScratchDirectory m_scratch;
};

}  // namespace

// A folder the script did not make is never deleted, nor one a hwhost runs
// on; a folder it made, with no hwhost on it, is made afresh.
TEST_F(RunScriptTest, DeletesOnlyItsOwnFolderAndNeverARunningSensorsRoot) {
    std::string output;
    const std::string users = m_scratch.File("documents");
    fs::create_directories(users);
    hwtest::WriteWholeFile(users + "/notes.txt", "mine");
    EXPECT_EQ(1, Run(users, output)) << output;
    EXPECT_NE(std::string::npos, output.find("did not make")) << output;
    EXPECT_EQ("mine", hwtest::ReadWholeFile(users + "/notes.txt"));
    EXPECT_EQ("", Started());

    const std::string demo = m_scratch.File("demo");
    ASSERT_EQ(0, Run(demo, output)) << output;
    EXPECT_EQ("run --root " + demo + " --for 1\n", Started());
    EXPECT_NE(std::string::npos, hwtest::ReadWholeFile(demo + "/Default.policy").find(demo + "/"));
    hwtest::WriteWholeFile(demo + "/leftover", "from the last run");

    {
        // The lock the running host holds, taken as hwhost takes it.
        HostPidFile running;
        std::string error;
        ASSERT_TRUE(running.Acquire(demo, error)) << error;
        EXPECT_EQ(1, Run(demo, output)) << output;
        EXPECT_NE(std::string::npos,
                  output.find("hwhost (pid " + std::to_string(::getpid()) + ") is running on"))
            << output;
        EXPECT_NE(std::string::npos, output.find("kill " + std::to_string(::getpid()))) << output;
        EXPECT_TRUE(fs::exists(demo + "/leftover"));
        EXPECT_EQ("", Started());
    }
    // A pid file that a host which died left behind holds no lock.
    hwtest::WriteWholeFile(demo + "/hwhost.pid", std::to_string(::getpid()) + "\n");
    ASSERT_EQ(0, Run(demo, output)) << output;
    EXPECT_FALSE(fs::exists(demo + "/leftover"));
    EXPECT_FALSE(fs::exists(demo + "/hwhost.pid"));
    EXPECT_TRUE(fs::exists(demo + "/Default.policy"));
}

// A policy pushed while no hwhost ran waits in the folder for the next
// start: the folder made afresh keeps it (said on the console), so that
// start applies it; anything else of the last run goes.
TEST_F(RunScriptTest, PushWaitingInItsFolderIsKeptForTheStart) {
    std::string output;
    const std::string demo = m_scratch.File("demo");
    ASSERT_EQ(0, Run(demo, output)) << output;
    hwtest::WriteWholeFile(demo + "/push.policy", "the operator's policy");
    hwtest::WriteWholeFile(demo + "/current.policy", "from the last run");
    ASSERT_EQ(0, Run(demo, output)) << output;
    EXPECT_NE(std::string::npos,
              output.find("run: " + demo + "/push.policy, pushed while no hwhost ran, is kept: the "
                          "sensor applies it at this start"))
        << output;
    EXPECT_EQ("the operator's policy", hwtest::ReadWholeFile(demo + "/push.policy"));
    EXPECT_FALSE(fs::exists(demo + "/current.policy"));
    EXPECT_EQ("run --root " + demo + " --for 1\n", Started());

    // Once applied (or removed) there is nothing to keep.
    fs::remove(demo + "/push.policy");
    ASSERT_EQ(0, Run(demo, output)) << output;
    EXPECT_EQ(std::string::npos, output.find("is kept")) << output;
    EXPECT_FALSE(fs::exists(demo + "/push.policy"));
}
