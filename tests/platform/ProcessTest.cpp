#include "platform/Process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/Environment.h"

#include "support/TestUtil.h"
#include "support/Tracer.h"

namespace {

// Puts a signal's disposition back as it was.
class DispositionOverride {
public:
    DispositionOverride(int signal, sighandler_t handler)
        : m_signal(signal), m_previous(::signal(signal, handler)) {}
    ~DispositionOverride() { ::signal(m_signal, m_previous); }
    DispositionOverride(const DispositionOverride&) = delete;
    DispositionOverride& operator=(const DispositionOverride&) = delete;

private:
    int m_signal;
    sighandler_t m_previous;
};

bool IsZombie(pid_t pid) {
    char state = 0;
    uint64_t start = 0;
    return plat::ReadProcessStart(pid, state, start) && state == 'Z';
}

}  // namespace

// A child that has ended while another process traces it can't be waited
// for until the tracer lets go: the wait for it keeps its bound all the
// same (a stop waits for the script process it killed), and a child let go
// of then is reaped once the tracer is gone, not left a zombie.
TEST(ProcessTest, AnEndedChildATracerHoldsIsWaitedForWithinTheBoundAndReapedOnceLetGo) {
    for (const bool bLetGo : {false, true}) {
        auto child = plat::ChildProcess::Start("/bin/sleep", {"sleep", "600"});
        ASSERT_TRUE(child);
        const pid_t pid = child->Pid();
        hwtest::Tracer tracer(pid);
        if (!tracer.Attached()) {
            child->Kill();
            child->WaitForExit(10000);
            GTEST_SKIP() << "this process may not trace its own children's siblings (needs root)";
        }
        ASSERT_TRUE(child->Kill());
        ASSERT_TRUE(hwtest::WaitUntil([&] { return IsZombie(pid); }, 60)) << bLetGo;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(child->WaitForExit(300)) << bLetGo;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30))
            << "the wait outlasted its bound until the tracer let go";
        if (bLetGo) {
            const size_t left = plat::ChildProcess::LeftChildren();
            child.reset();
            EXPECT_EQ(left + 1, plat::ChildProcess::LeftChildren());
            tracer.Release();
            EXPECT_TRUE(hwtest::WaitUntil([&] { return plat::ChildProcess::LeftChildren() == left; }, 60));
            EXPECT_FALSE(IsZombie(pid));
        } else {
            tracer.Release();
            ASSERT_TRUE(child->WaitForExit(60000));
            EXPECT_TRUE(WIFSIGNALED(child->ExitStatus()) && WTERMSIG(child->ExitStatus()) == SIGKILL)
                << child->DescribeEnd();
        }
    }
}

// The host ignores SIGPIPE; a program it starts gets the default back, so
// one writing into a closed pipe ends as it would anywhere else.
TEST(ProcessTest, AProgramStartedGetsTheDefaultDispositionOfASignalTheCallerIgnores) {
    DispositionOverride ignored(SIGPIPE, SIG_IGN);
    auto child = plat::ChildProcess::Start("/bin/sh", {"sh", "-c", "kill -PIPE $$; exit 0"});
    ASSERT_TRUE(child);
    ASSERT_TRUE(child->WaitForExit(10000));
    EXPECT_TRUE(WIFSIGNALED(child->ExitStatus()) && WTERMSIG(child->ExitStatus()) == SIGPIPE)
        << child->DescribeEnd();
}

// A process id read from a file may name any account's process: only one
// of root's or this account's is signalled, and one that has ended is not
// taken for another that got its id.
TEST(ProcessTest, OnlyAProcessOfRootOrThisAccountIsSignalledById) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a process as another account";
    }
    auto theirs = plat::ChildProcess::Start("/usr/bin/setpriv", {"setpriv", "--reuid=65534", "--regid=65534",
                                                                 "--clear-groups", "--", "/bin/sleep", "600"});
    ASSERT_TRUE(theirs);
    // Until setpriv has become the other account's sleep: it takes the
    // account first, then runs the program, whose name the refusal gives.
    const std::string strName = "/proc/" + std::to_string(theirs->Pid()) + "/comm";
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return !plat::IsTrustedProcess(theirs->Pid()) && hwtest::ReadWholeFile(strName) == "sleep\n";
    }));
    std::string why;
    EXPECT_FALSE(plat::SignalTrustedProcess(theirs->Pid(), SIGTERM, "it is not signalled", why));
    EXPECT_EQ(EPERM, errno);
    EXPECT_EQ("process " + std::to_string(theirs->Pid()) +
                  " (sleep) is a process another account owns (nobody, uid 65534); it is not signalled",
              why);
    EXPECT_FALSE(theirs->WaitForExit(200));
    theirs->Kill();
    ASSERT_TRUE(theirs->WaitForExit(10000));
    EXPECT_FALSE(plat::SignalTrustedProcess(theirs->Pid(), SIGTERM, "", why));
    EXPECT_EQ(ESRCH, errno);

    auto mine = plat::ChildProcess::Start("/bin/sleep", {"sleep", "600"});
    ASSERT_TRUE(mine);
    EXPECT_TRUE(plat::IsTrustedProcess(mine->Pid()));
    EXPECT_TRUE(plat::SignalTrustedProcess(mine->Pid(), SIGTERM, "", why)) << why;
    ASSERT_TRUE(mine->WaitForExit(10000));
    EXPECT_TRUE(WIFSIGNALED(mine->ExitStatus()) && WTERMSIG(mine->ExitStatus()) == SIGTERM);
}

// A list in one environment variable carries texts with any byte the
// environment can hold (a colon, digits, "=") as they were; a value not
// written so gives the texts before what is not.
TEST(EnvironmentListTest, TextsComeBackAsTheyWereWritten) {
    const std::vector<std::string> texts = {"log=/srv/a:b.log", "", "12:34", "status=/srv/x=y/hwhost.status"};
    ASSERT_TRUE(plat::SetEnvironmentList("HW_TEST_LIST", texts));
    std::vector<std::string> read;
    ASSERT_TRUE(plat::GetEnvironmentList("HW_TEST_LIST", read));
    EXPECT_EQ(read, texts);
    ASSERT_TRUE(plat::SetEnvironmentText("HW_TEST_LIST", "3:abc9:short"));
    ASSERT_TRUE(plat::GetEnvironmentList("HW_TEST_LIST", read));
    EXPECT_EQ(read, std::vector<std::string>{"abc"});
    ::unsetenv("HW_TEST_LIST");
    EXPECT_FALSE(plat::GetEnvironmentList("HW_TEST_LIST", read));
    EXPECT_TRUE(read.empty());
}
