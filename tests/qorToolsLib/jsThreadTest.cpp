#include "qorToolsLib/jsThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

#include "FaultingCode.h"
#include "platform/Wait.h"
#include "support/TestUtil.h"

namespace {

// A thread whose body is given by the test; it records what ended it.
class TestThread : public qorThread {
public:
    explicit TestThread(std::function<uint32_t(TestThread&)> body, uint32_t level = 2)
        : qorThread("TestThread", level), m_body(std::move(body)) {}
    ~TestThread() override {
        Stop(0, true);
        WaitForExit(plat::kInfinite);
    }

    uint32_t _doWork() override {
        ++entries;
        return m_body(*this);
    }

    void OnThreadException(const std::exception& error) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_exceptionText = error.what();
        m_exceptionThread = CurrentThreadId();
    }

    std::string ExceptionText() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_exceptionText;
    }
    uint32_t ExceptionThread() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_exceptionThread;
    }

    std::atomic<int> entries{0};
    std::atomic<bool> inBody{false};
    std::atomic<bool> mayLeave{false};
    std::atomic<bool> cleanedUp{false};

private:
    std::function<uint32_t(TestThread&)> m_body;
    std::mutex m_lock;
    std::string m_exceptionText;
    uint32_t m_exceptionThread = 0;
};

struct MarkCleanUp {
    std::atomic<bool>& flag;
    ~MarkCleanUp() { flag = true; }
};

uint32_t SleepUntilStopped(TestThread& self) {
    self.inBody = true;
    while (!self.StopRequested()) {
        self.Sleep(60000);
    }
    return 0;
}

uint32_t SleepIgnoringStop(TestThread& self) {
    MarkCleanUp cleanUp{self.cleanedUp};
    self.inBody = true;
    for (;;) {
        self.Sleep(60000);
    }
}

uint32_t SpinIgnoringStop(TestThread& self) {
    self.inBody = true;
    while (!self.mayLeave) {
    }
    return 7;
}

bool RunToEnd(TestThread& thread) {
    return thread.Start() && thread.WaitForExit(plat::kInfinite);
}

bool StartIntoBody(TestThread& thread) {
    return thread.Start() && hwtest::WaitUntil([&] { return thread.inBody.load(); });
}

}  // namespace

TEST(jsThread, FaultInABodyIsReportedWithItsCodeAndTheProcessGoesOn) {
    const std::pair<uint32_t, int (*)()> faults[] = {
        {0xC0000094u, [] { return hwtest::DivideByZero(); }},
        {0xC0000005u, [] { return hwtest::ReadAddressZero(); }},
        {0xC00000FDu, [] { return hwtest::RecurseWithoutEnd(0); }},
    };
    for (const auto& [code, fault] : faults) {
        TestThread thread([fault = fault](TestThread&) { return static_cast<uint32_t>(fault()); });
        ASSERT_TRUE(RunToEnd(thread));
        std::string report = thread.ExceptionText();
        char expected[96];
        std::snprintf(expected, sizeof expected, "Exception code = %#x, Address = 0x", code);
        EXPECT_EQ(0u, report.rfind(expected, 0)) << report;
        std::snprintf(expected, sizeof expected, ", Thread ID = %#x\n", thread.GetThreadId());
        EXPECT_NE(std::string::npos, report.find(expected)) << report;
        EXPECT_EQ(thread.GetThreadId(), thread.ExceptionThread());
        EXPECT_EQ(code, thread.ExitCode());
    }
    // The abandoned frames leave nothing behind that later threads trip over.
    TestThread next([](TestThread&) { return 3u; });
    ASSERT_TRUE(RunToEnd(next));
    EXPECT_EQ(3u, next.ExitCode());
}

TEST(jsThread, ExceptionEndingABodyReachesTheHookOnItsThread) {
    TestThread thread(
        [](TestThread&) -> uint32_t { throw std::logic_error("rule table missing"); });
    ASSERT_TRUE(RunToEnd(thread));
    EXPECT_EQ("rule table missing", thread.ExceptionText());
    EXPECT_EQ(thread.GetThreadId(), thread.ExceptionThread());
    EXPECT_NE(kThreadStillActive, thread.ExitCode());
}

TEST(jsThread, StopOfANeverStartedThreadLeavesTheRequestForItsBody) {
    TestThread thread([](TestThread& self) { return self.StopRequested() ? 5u : 6u; });
    EXPECT_EQ(kThreadStoppedExitCode, thread.ExitCode());
    EXPECT_EQ(1u, thread.Stop(0, false));
    ASSERT_TRUE(RunToEnd(thread));
    EXPECT_EQ(5u, thread.ExitCode());
}

TEST(jsThread, StopWakesASleepingBodyAndCancelsOneThatIgnoresItWithoutKillingIt) {
    TestThread polite(SleepUntilStopped);
    ASSERT_TRUE(StartIntoBody(polite));
    EXPECT_EQ(1u, polite.Stop(60000, false));
    EXPECT_FALSE(polite.IsRunning());
    EXPECT_EQ(0u, polite.ExitCode());

    TestThread stubborn(SleepIgnoringStop);
    ASSERT_TRUE(StartIntoBody(stubborn));
    EXPECT_EQ(1u, stubborn.Stop(0, false));
    ASSERT_TRUE(stubborn.WaitForExit(plat::kInfinite));
    EXPECT_EQ(kThreadStoppedExitCode, stubborn.ExitCode());
    EXPECT_TRUE(stubborn.cleanedUp.load());  // unwound, not killed
    EXPECT_EQ("", stubborn.ExceptionText());
}

// A stop asked for between a body's look at the stop flag and its sleep
// still ends that sleep: the body does not wait out its whole time with
// the stop already asked (a pause or a reload would wait with it).
TEST(jsThread, StopAskedJustBeforeASleepEndsThatSleep) {
    std::atomic<bool> bStopAsked{false};
    std::atomic<bool> bWoken{false};
    TestThread thread([&](TestThread& self) {
        self.inBody = true;
        // The body has looked at the stop flag; the stop comes now.
        hwtest::WaitUntil([&] { return bStopAsked.load(); }, 60);
        bWoken = self.Sleep(600000);
        return 0u;
    });
    ASSERT_TRUE(StartIntoBody(thread));
    // Asked, not forced: the body is left to see it.
    EXPECT_EQ(0u, thread.Stop(1, false));
    bStopAsked = true;
    ASSERT_TRUE(thread.WaitForExit(60000)) << "the sleep waited although the stop was asked for";
    EXPECT_TRUE(bWoken.load());
}

TEST(jsThread, BusyBodyIgnoringStopKeepsRunningUntilItLeaves) {
    TestThread thread(SpinIgnoringStop);
    ASSERT_TRUE(StartIntoBody(thread));
    EXPECT_EQ(0u, thread.Stop(1, false));
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_EQ(1u, thread.StopRequested());
    EXPECT_EQ(1u, thread.Stop(1, true));
    EXPECT_TRUE(thread.IsRunning());  // a forced stop never kills
    thread.mayLeave = true;
    ASSERT_TRUE(thread.WaitForExit(plat::kInfinite));
    EXPECT_EQ(7u, thread.ExitCode());
}

TEST(jsThread, ForcedStopOfABusyBodyTakesEffectAtItsNextYield) {
    TestThread thread([](TestThread& self) -> uint32_t {
        MarkCleanUp cleanUp{self.cleanedUp};
        self.inBody = true;
        for (uint64_t work = 0;; ++work) {
            if (work % 1000 == 0)
                self.Yield();
            std::atomic_signal_fence(std::memory_order_seq_cst);  // keeps the loop
        }
    });
    ASSERT_TRUE(StartIntoBody(thread));
    EXPECT_EQ(1u, thread.Stop(1, true));
    ASSERT_TRUE(thread.WaitForExit(plat::kInfinite));
    EXPECT_EQ(kThreadStoppedExitCode, thread.ExitCode());
    EXPECT_TRUE(thread.cleanedUp.load());
}

TEST(jsThread, StartOnARunningThreadCreatesNoSecondThread) {
    TestThread thread(SleepUntilStopped);
    ASSERT_TRUE(thread.Start());
    uint32_t id = thread.GetThreadId();
    EXPECT_TRUE(thread.IsThread(id));
    EXPECT_TRUE(thread.Start());
    EXPECT_EQ(id, thread.GetThreadId());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return thread.inBody.load(); }));
    EXPECT_EQ(1u, thread.Stop(60000, false));
    EXPECT_EQ(1, thread.entries.load());
}

TEST(jsThread, EndedThreadStartsAgainAtNormalPriority) {
    TestThread thread([](TestThread& self) { return self.StopRequested(); }, 0);
    ASSERT_TRUE(RunToEnd(thread));
    EXPECT_EQ(0u, thread.GetPriority());
    thread.Stop(0, false);  // leaves the flag set; the restart clears it
    ASSERT_TRUE(RunToEnd(thread));
    EXPECT_EQ(2, thread.entries.load());
    EXPECT_EQ(0u, thread.ExitCode());
    EXPECT_EQ(2u, thread.GetPriority());
}

TEST(jsThread, YieldWithoutAWakeUpTimesOut) {
    TestThread thread([](TestThread&) { return 0u; });
    EXPECT_FALSE(thread.Yield());
    thread.Wake();
    EXPECT_FALSE(thread.Yield());  // the wake-up before the call is lost
}

namespace {

// Uses nothing of a derived object, so it may outlive the derived part.
class SleepsForever : public qorThread {
public:
    SleepsForever() : qorThread("SleepsForever", 2) {}
    uint32_t _doWork() override {
        started = true;
        for (;;)
            Sleep(60000);
    }
    std::atomic<bool> started{false};
};

}  // namespace

TEST(jsThread, DeletingARunningThreadStopsItInsteadOfKillingIt) {
    auto* thread = new SleepsForever;
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(hwtest::WaitUntil([&] { return thread->started.load(); }));
    delete thread;  // returns once the body has unwound
}
