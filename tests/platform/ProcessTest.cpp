#include "platform/Process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <memory>

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

}  // namespace

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
