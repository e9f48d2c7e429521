#include "Common/ProcessHelpers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestUtil.h"

TEST(SplitCommandLine, QuotesGroupBlanksAndBackslashesPairUpOnlyBeforeAQuote) {
    using V = std::vector<std::string>;
    const std::pair<const char*, V> cases[] = {
        {"  tclProc   -peer\t4711 ", {"tclProc", "-peer", "4711"}},
        {"\"a b\" c", {"a b", "c"}},
        {"say x\\\"y", {"say", "x\"y"}},
        {"\"\" z", {"", "z"}},
        {"$(id);|& *", {"$(id);|&", "*"}},
        {"\"open ended", {"open ended"}},
        {"   ", {}},
        // A trailing backslash inside quotes would otherwise escape the
        // closing quote and swallow the following arguments.
        {"\"dir\\\\\" next", {"dir\\", "next"}},
        {"\"a\\\\\\\"b\"", {"a\\\"b"}},
        {"C:\\dir\\file", {"C:\\dir\\file"}},
        {"x\\\\", {"x\\\\"}},
    };
    for (const auto& [pszLine, expected] : cases) {
        EXPECT_EQ(expected, plat::SplitCommandLine(pszLine)) << pszLine;
    }
}

TEST(ProcessHelpers, ShellSyntaxReachesTheProgramLiterally) {
    hwtest::ScratchDirectory dir;
    std::string name = "a b;touch x$(id)";
    std::string commandLine = "touch \"" + dir.File(name) + "\"";
    ProcessHandle process = StartProcess(nullptr, commandLine.c_str());
    ASSERT_NE(nullptr, process);
    ASSERT_TRUE(process->WaitForExit(60000));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(std::vector<std::string>{name}, names);
}

TEST(ProcessHelpers, ChildRunsInItsOwnSessionAndTerminateKillsAndReapsIt) {
    ProcessHandle process = StartProcess("/bin/sleep", "sleep 600");
    ASSERT_NE(nullptr, process);
    EXPECT_EQ(process->Pid(), ::getsid(process->Pid()));
    EXPECT_NE(::getsid(0), ::getsid(process->Pid()));
    EXPECT_EQ(0u, TerminateProcessAndWait(process.get(), 60));
    ASSERT_TRUE(process->HasExited());
    EXPECT_TRUE(WIFSIGNALED(process->ExitStatus()));
    EXPECT_EQ(SIGKILL, WTERMSIG(process->ExitStatus()));
}

TEST(ProcessHelpers, NullHandleAndMissingProgram) {
    EXPECT_EQ(0u, TerminateProcessAndWait(nullptr, 10));
    EXPECT_EQ(nullptr, StartProcess("/nonexistent/program", "program"));
    EXPECT_EQ(nullptr, StartProcess(nullptr, "   "));
    EXPECT_EQ(nullptr, StartProcess(nullptr, nullptr));
}
