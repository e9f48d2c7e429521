#include "SignalWaiter.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TestUtil.h"

namespace {

// Sends one signal to the process and waits until the waiter has taken it,
// as signals sent some time apart are taken.
void SendAndWaitTaken(SignalWaiter& waiter, int signal) {
    const uint64_t before = waiter.Received();
    ASSERT_EQ(0, ::kill(::getpid(), signal));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return waiter.Received() > before; }));
}

}  // namespace

TEST(SignalWaiter, StopComesFirstAndReloadsAreCoalesced) {
    SignalWaiter waiter;
    SendAndWaitTaken(waiter, SIGUSR1);
    SendAndWaitTaken(waiter, SIGHUP);
    SendAndWaitTaken(waiter, SIGHUP);
    // The reload, then the state the signals asked for.
    EXPECT_EQ(HostSignal::kReload, waiter.Wait(0));
    EXPECT_EQ(HostSignal::kPause, waiter.Wait(0));
    EXPECT_EQ(HostSignal::kNone, waiter.Wait(0));

    SendAndWaitTaken(waiter, SIGHUP);
    SendAndWaitTaken(waiter, SIGTERM);
    EXPECT_EQ(HostSignal::kStop, waiter.Wait(0));
    EXPECT_EQ(HostSignal::kStop, waiter.Wait(0)) << "a stop stays asked for";
}
