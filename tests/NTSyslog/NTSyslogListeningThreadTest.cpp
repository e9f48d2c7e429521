#include "NTSyslog/NTSyslogListeningThread.h"

#include <gtest/gtest.h>

#include "NTSyslog/SyslogEntryQueue.h"
#include "support/TestUtil.h"

// The socket is closed only once the listener's thread has ended, so the
// thread never waits on a closed (or reused) descriptor.
TEST(NTSyslogListeningThread, StopWakesTheWaitingThreadAndClosesTheSocketOnlyAfterItEnded) {
    SyslogEntryQueue queue;
    NTSyslogListeningThread listener("NTSyslogListener", hwtest::FreeLoopbackPort(true));
    ASSERT_TRUE(listener.StartListening(&queue));
    listener.RequestStop();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !listener.IsRunning(); }));
    EXPECT_TRUE(listener.IsSocketOpen());
    EXPECT_TRUE(listener.StopAndWait());
    EXPECT_FALSE(listener.IsSocketOpen());
}
