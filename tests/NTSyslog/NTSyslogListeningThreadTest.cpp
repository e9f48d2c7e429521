#include "NTSyslog/NTSyslogListeningThread.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>

#include "NTSyslog/SyslogEntryQueue.h"
#include "platform/Sockets.h"
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

// A burst larger than many batches reaches the queue whole and in order,
// each datagram with its sender and all its bytes, NULs included; one too
// large for the receive buffer is counted and the rest of its batch still
// arrives.
TEST(NTSyslogListeningThread, BurstOverManyBatchesIsQueuedInOrderAndTooLargeOneIsCounted) {
    SyslogEntryQueue queue;
    NTSyslogListeningThread listener("NTSyslogListener", hwtest::FreeLoopbackPort(true));
    ASSERT_TRUE(listener.StartListening(&queue));
    plat::Ipv4Endpoint target;
    target.m_dwAddress = htonl(INADDR_LOOPBACK);
    target.m_wPort = plat::PortField(listener.GetPort());
    const plat::SocketHandle sender = plat::OpenUdpSocket();
    ASSERT_NE(sender, plat::kInvalidSocket);
    plat::Ipv4Endpoint from;
    from.m_dwAddress = htonl(INADDR_LOOPBACK);
    ASSERT_TRUE(plat::BindSocket(sender, from) && plat::GetSocketLocalEndpoint(sender, from));

    const size_t kCount = 10 * NTSyslogListeningThread::kReceiveBatch + 5;
    const size_t kTooLarge = NTSyslogListeningThread::kReceiveBatch + 3;
    const std::string tooLarge(NTSyslogListeningThread::kReceiveBufferSize, 'x');
    const auto Text = [&](size_t n) {
        std::string text = n == kTooLarge ? tooLarge : "datagram " + std::to_string(n);
        if (n == 7) {
            text += std::string(1, '\0') + "after the NUL";
        }
        return text;
    };
    for (size_t n = 0; n < kCount; ++n) {
        const std::string text = Text(n);
        ASSERT_EQ(plat::SendDatagram(sender, text.data(), text.size(), target),
                  static_cast<long>(text.size()));
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] { return queue.Size() == kCount - 1; })) << queue.Size();
    EXPECT_EQ(listener.OversizedCount(), 1u);
    for (size_t n = 0; n < kCount; ++n) {
        if (n == kTooLarge) {
            continue;
        }
        const std::unique_ptr<SyslogEntry> entry = queue.Pop(0);
        ASSERT_NE(entry, nullptr) << n;
        EXPECT_EQ(entry->m_strText, Text(n));
        EXPECT_EQ(entry->m_Sender.m_dwAddress, from.m_dwAddress);
        EXPECT_EQ(entry->m_Sender.m_wPort, from.m_wPort);
    }
    EXPECT_TRUE(listener.StopAndWait());
    EXPECT_EQ(listener.KernelDroppedCount(), 0u);
    plat::CloseSocket(sender);
}

// Datagrams the socket still holds when the listener closes it are not lost
// with it: a pause queues them, to be parsed after the resume, and a stop
// counts them as left in the socket.  Nothing sent after the close began
// reaches the socket.
TEST(NTSyslogListeningThread, DatagramsStillInTheSocketAtACloseAreQueuedAtAPauseAndCountedAtAStop) {
    SyslogEntryQueue queue;
    NTSyslogListeningThread listener("NTSyslogListener", hwtest::FreeLoopbackPort(true));
    const plat::SocketHandle sender = plat::OpenUdpSocket();
    ASSERT_NE(sender, plat::kInvalidSocket);
    plat::Ipv4Endpoint target;
    target.m_dwAddress = htonl(INADDR_LOOPBACK);
    target.m_wPort = plat::PortField(listener.GetPort());
    // The thread has ended, so what comes now stays in the open socket.
    const auto StartAndEnd = [&] {
        ASSERT_TRUE(listener.StartListening(&queue));
        listener.RequestStop();
        ASSERT_TRUE(hwtest::WaitUntil([&] { return !listener.IsRunning(); }));
        ASSERT_TRUE(listener.IsSocketOpen());
    };
    const auto SendSome = [&](const std::string& prefix, size_t count) {
        for (size_t n = 0; n < count; ++n) {
            const std::string text = prefix + std::to_string(n);
            ASSERT_EQ(plat::SendDatagram(sender, text.data(), text.size(), target),
                      static_cast<long>(text.size()));
        }
    };
    const size_t kHeld = 3 * NTSyslogListeningThread::kReceiveBatch + 1;

    StartAndEnd();
    SendSome("paused ", kHeld);
    const std::string tooLarge(NTSyslogListeningThread::kReceiveBufferSize, 'x');
    ASSERT_GT(plat::SendDatagram(sender, tooLarge.data(), tooLarge.size(), target), 0);
    EXPECT_TRUE(listener.StopAndWait(NTSyslogListeningThread::Leftovers::kQueue));
    EXPECT_FALSE(listener.IsSocketOpen());
    ASSERT_EQ(queue.Size(), kHeld);
    for (size_t n = 0; n < kHeld; ++n) {
        const std::unique_ptr<SyslogEntry> entry = queue.Pop(0);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->m_strText, "paused " + std::to_string(n));
    }
    EXPECT_EQ(listener.OversizedCount(), 1u);
    EXPECT_EQ(listener.LeftInSocketCount(), 0u);

    StartAndEnd();
    SendSome("stopped ", kHeld);
    EXPECT_TRUE(listener.StopAndWait(NTSyslogListeningThread::Leftovers::kCount));
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_EQ(listener.LeftInSocketCount(), kHeld);
    EXPECT_EQ(listener.KernelDroppedCount(), 0u);
    plat::CloseSocket(sender);
}
