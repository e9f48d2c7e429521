#include "Common/ProcessHelpers.h"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/Sockets.h"
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

// The one descriptor handed over arrives as descriptor 3 and is the only
// one beside the standard streams; the caller's copy is not inherited by a
// process started without it.
TEST(ProcessHelpers, HandedOverDescriptorIsTheOnlyOneTheChildGets) {
    // The descriptor table is read once the program sleeps: before its exec
    // (a spawn some runtimes do as fork and exec) the table still changes,
    // and after it the loader and the locale set-up open files of their own
    // for a moment (/etc/ld.so.cache, /usr/share/locale/locale.alias).
    auto waitForProgram = [](pid_t pid) {
        const std::string strExe = "/proc/" + std::to_string(pid) + "/exe";
        const std::string strSyscall = "/proc/" + std::to_string(pid) + "/syscall";
        return hwtest::WaitUntil([&] {
            std::error_code error;
            const auto target = std::filesystem::read_symlink(strExe, error);
            if (error || target.filename() != "sleep") {
                return false;
            }
            // The number of the call the process is blocked in.
            const long call = std::strtol(hwtest::ReadWholeFile(strSyscall).c_str(), nullptr, 10);
            return call == SYS_clock_nanosleep || call == SYS_nanosleep;
        });
    };
    auto descriptors = [](pid_t pid) {
        std::map<std::string, std::string> found;
        std::error_code error;
        const std::string strFolder = "/proc/" + std::to_string(pid) + "/fd";
        for (std::filesystem::directory_iterator it(strFolder, error), end; !error && it != end;
             it.increment(error)) {
            // A descriptor the program closed while it was listed is gone.
            std::error_code linkError;
            const auto target = std::filesystem::read_symlink(it->path(), linkError);
            if (!linkError) {
                found[it->path().filename().string()] = target.string();
            }
        }
        return found;
    };
    plat::SocketHandle own = plat::kInvalidSocket;
    plat::SocketHandle handed = plat::kInvalidSocket;
    ASSERT_TRUE(plat::OpenSocketPair(own, handed));
    ProcessHandle process = StartProcess("/bin/sleep", "sleep 600", handed);
    ProcessHandle other = StartProcess("/bin/sleep", "sleep 600");
    // Whatever fails below, neither child outlives the test (a child left
    // running would hold the test runner's output open).
    struct Reaper {
        ProcessHandle& a;
        ProcessHandle& b;
        ~Reaper() {
            TerminateProcessAndWait(a.get(), 60);
            TerminateProcessAndWait(b.get(), 60);
        }
    } reaper{process, other};
    ASSERT_NE(nullptr, process);
    ASSERT_NE(nullptr, other);
    ASSERT_TRUE(waitForProgram(process->Pid()));
    ASSERT_TRUE(waitForProgram(other->Pid()));
    const auto got = descriptors(process->Pid());
    const auto otherGot = descriptors(other->Pid());
    const std::string strHanded = std::filesystem::read_symlink(
        "/proc/self/fd/" + std::to_string(handed)).string();
    plat::CloseSocket(handed);
    plat::CloseSocket(own);

    // Beyond the standard streams (and the handed-over descriptor) a child
    // may only hold the system files its program opens itself (a locale
    // file, say): never a socket, pipe or file of ours.
    auto inherited = [&](const std::map<std::string, std::string>& table, const char* pszSkip) {
        std::vector<std::string> found;
        for (const auto& [strFd, strTarget] : table) {
            if (strFd == "0" || strFd == "1" || strFd == "2" || strFd == pszSkip) {
                continue;
            }
            if (strTarget.rfind("/usr/lib/", 0) != 0) {
                found.push_back(strFd + " -> " + strTarget);
            }
        }
        return found;
    };
    ASSERT_EQ(1u, got.count("3"));
    EXPECT_EQ(strHanded, got.at("3"));
    EXPECT_EQ(std::vector<std::string>{}, inherited(got, "3"));
    EXPECT_EQ(std::vector<std::string>{}, inherited(otherGot, ""));
}
