#include "Common/ProcessHelpers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

}  // namespace

TEST(SplitCommandLine, QuotesGroupBlanksAndNothingElseIsSpecial) {
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"tclProc", "-peer", "4711"}), plat::SplitCommandLine("  tclProc   -peer\t4711 "));
    EXPECT_EQ((V{"a b", "c"}), plat::SplitCommandLine("\"a b\" c"));
    EXPECT_EQ((V{"say", "x\"y"}), plat::SplitCommandLine("say x\\\"y"));
    EXPECT_EQ((V{"", "z"}), plat::SplitCommandLine("\"\" z"));
    EXPECT_EQ((V{"$(id);|&", "*"}), plat::SplitCommandLine("$(id);|& *"));
    EXPECT_EQ((V{"open ended"}), plat::SplitCommandLine("\"open ended"));
    EXPECT_TRUE(plat::SplitCommandLine("   ").empty());
}

TEST(SplitCommandLine, BackslashesPairUpOnlyBeforeAQuote) {
    using V = std::vector<std::string>;
    // A trailing backslash inside quotes would otherwise escape the closing
    // quote and swallow the following arguments.
    EXPECT_EQ((V{"dir\\", "next"}), plat::SplitCommandLine("\"dir\\\\\" next"));
    EXPECT_EQ((V{"a\\\"b"}), plat::SplitCommandLine("\"a\\\\\\\"b\""));
    EXPECT_EQ((V{"C:\\dir\\file"}), plat::SplitCommandLine("C:\\dir\\file"));
    EXPECT_EQ((V{"x\\\\"}), plat::SplitCommandLine("x\\\\"));
}

TEST(ProcessHelpers, ShellSyntaxReachesTheProgramLiterally) {
    hwtest::ScratchDirectory dir;
    std::string name = "a b;touch x$(id)";
    std::string commandLine = "touch \"" + dir.File(name) + "\"";
    ProcessHandle process = StartProcess(nullptr, commandLine.c_str());
    ASSERT_NE(nullptr, process);
    ASSERT_TRUE(process->WaitForExit(60000));
    EXPECT_TRUE(WIFEXITED(process->ExitStatus()));
    EXPECT_EQ(std::vector<std::string>{name}, Entries(dir.Path()));
}

TEST(ProcessHelpers, TerminateKillsARunningChildAndReapsIt) {
    ProcessHandle process = StartProcess("/bin/sleep", "sleep 600");
    ASSERT_NE(nullptr, process);
    EXPECT_EQ(0u, TerminateProcessAndWait(process.get(), 60));
    ASSERT_TRUE(process->HasExited());
    EXPECT_TRUE(WIFSIGNALED(process->ExitStatus()));
    EXPECT_EQ(SIGKILL, WTERMSIG(process->ExitStatus()));
}

TEST(ProcessHelpers, ChildRunsInASessionOfItsOwn) {
    ProcessHandle process = StartProcess("/bin/sleep", "sleep 600");
    ASSERT_NE(nullptr, process);
    EXPECT_EQ(process->Pid(), ::getsid(process->Pid()));
    EXPECT_NE(::getsid(0), ::getsid(process->Pid()));
    EXPECT_EQ(0u, TerminateProcessAndWait(process.get(), 60));
}

TEST(ProcessHelpers, NullHandleAndMissingProgram) {
    EXPECT_EQ(0u, TerminateProcessAndWait(nullptr, 10));
    EXPECT_EQ(nullptr, StartProcess("/nonexistent/program", "program"));
    EXPECT_EQ(nullptr, StartProcess(nullptr, "   "));
    EXPECT_EQ(nullptr, StartProcess(nullptr, nullptr));
}
