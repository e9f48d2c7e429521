#include "platform/Process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <utility>
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

// Children started, killed, waited for and let go of in any order: each
// one let go of before it was reaped is listed until it has ended and is
// then reaped, without blocking, by the next start, let-go or count; none
// stays a zombie and a child no one killed is never taken for ended.  The
// model knows each child's id: one not yet reaped still has its entry
// under /proc, as a zombie if it has ended, so the list's count must be
// the number of children let go of whose entry is still there.
TEST(ProcessTest, ChildrenLetGoOfInAnyOrderAreEachReapedOnceTheyEnd) {
    ASSERT_TRUE(hwtest::WaitUntil([] { return plat::ChildProcess::LeftChildren() == 0; }, 60));
    const auto Exists = [](pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; };
    // Seeds that ever failed go on this list and stay there.
    for (const uint32_t uSeed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        std::mt19937 random(uSeed);
        struct Held {
            std::unique_ptr<plat::ChildProcess> m_child;
            bool m_bKilled = false;
        };
        std::vector<Held> held;
        std::vector<std::pair<pid_t, bool>> left;  // id, killed
        const auto Pick = [&](size_t count) { return static_cast<size_t>(random() % count); };
        for (int nStep = 0; nStep < 150; ++nStep) {
            switch (random() % 6) {
            case 0:
                if (held.size() + left.size() < 12) {
                    held.push_back({plat::ChildProcess::Start("/bin/sleep", {"sleep", "600"}), false});
                    ASSERT_TRUE(held.back().m_child) << uSeed << " step " << nStep;
                }
                break;
            case 1:
                if (!held.empty()) {
                    Held& one = held[Pick(held.size())];
                    EXPECT_TRUE(one.m_child->Kill());
                    one.m_bKilled = true;
                }
                break;
            case 2:
                if (!held.empty()) {
                    Held& one = held[Pick(held.size())];
                    const bool bEnded = one.m_child->WaitForExit(one.m_bKilled ? 50 : 0);
                    EXPECT_TRUE(!bEnded || one.m_bKilled) << uSeed << " step " << nStep;
                }
                break;
            case 3:
                if (!held.empty()) {
                    const size_t at = Pick(held.size());
                    const pid_t pid = held[at].m_child->Pid();
                    const bool bReaped = held[at].m_child->HasExited();
                    const bool bKilled = held[at].m_bKilled;
                    held.erase(held.begin() + static_cast<std::ptrdiff_t>(at));
                    if (!bReaped && Exists(pid)) {
                        left.emplace_back(pid, bKilled);
                    }
                }
                break;
            case 4:
                if (!left.empty()) {
                    auto& one = left[Pick(left.size())];
                    ::kill(one.first, SIGKILL);
                    one.second = true;
                }
                break;
            default: {
                const size_t count = plat::ChildProcess::LeftChildren();
                std::erase_if(left, [&](const auto& one) { return !Exists(one.first); });
                EXPECT_EQ(left.size(), count) << uSeed << " step " << nStep;
                for (const auto& [pid, bKilled] : left) {
                    EXPECT_TRUE(bKilled || !IsZombie(pid)) << uSeed << " step " << nStep;
                }
                break;
            }
            }
            if (HasFatalFailure()) {
                return;
            }
        }
        // The end: every child killed and let go of; none is left a zombie.
        for (Held& one : held) {
            one.m_child->Kill();
        }
        for (const auto& one : left) {
            ::kill(one.first, SIGKILL);
        }
        std::vector<pid_t> all;
        for (const Held& one : held) {
            all.push_back(one.m_child->Pid());
        }
        for (const auto& one : left) {
            all.push_back(one.first);
        }
        held.clear();
        EXPECT_TRUE(hwtest::WaitUntil([] { return plat::ChildProcess::LeftChildren() == 0; }, 60)) << uSeed;
        for (const pid_t pid : all) {
            EXPECT_FALSE(Exists(pid)) << uSeed << ": child " << pid << " was not reaped";
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
