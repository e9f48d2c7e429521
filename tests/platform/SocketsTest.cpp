#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

constexpr uint32_t kWouldBlock = 10035;

plat::SocketHandle BoundLoopbackSocket(plat::Ipv4Endpoint& local) {
    const plat::SocketHandle socket = plat::OpenUdpSocket();
    local = plat::Ipv4Endpoint{};
    local.m_dwAddress = htonl(INADDR_LOOPBACK);
    if (socket == plat::kInvalidSocket || !plat::BindSocket(socket, local) ||
        !plat::GetSocketLocalEndpoint(socket, local)) {
        ADD_FAILURE() << "no loopback UDP socket";
    }
    return socket;
}

}  // namespace

// Datagrams that find the receive buffer full are dropped by the system,
// and the socket says how many.
TEST(Sockets, DatagramsTheSystemDroppedAreCountedBySocket) {
    plat::Ipv4Endpoint local;
    const plat::SocketHandle receiver = BoundLoopbackSocket(local);
    const plat::SocketHandle sender = plat::OpenUdpSocket();
    ASSERT_NE(sender, plat::kInvalidSocket);
    // The smallest buffer the system grants holds a few datagrams.
    int size = 1;
    ASSERT_EQ(0, ::setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &size, sizeof size));

    constexpr uint32_t kSent = 100;
    const std::string text(500, 'x');
    for (uint32_t n = 0; n < kSent; ++n) {
        ASSERT_EQ(plat::SendDatagram(sender, text.data(), text.size(), local),
                  static_cast<long>(text.size()));
    }
    // Loopback delivers a moment after the send.
    uint32_t received = 0;
    uint32_t dropped = 0;
    plat::DatagramBatch batch(8, 1024);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        for (long got; (got = batch.Receive(receiver)) > 0;) {
            received += static_cast<uint32_t>(got);
        }
        EXPECT_EQ(plat::GetLastError(), kWouldBlock);
        return plat::ReadDropCount(receiver, dropped) && received + dropped == kSent;
    })) << received << " received, " << dropped << " dropped";
    EXPECT_GT(dropped, 0u);
    EXPECT_GT(received, 0u);
    plat::CloseSocket(sender);
    plat::CloseSocket(receiver);
}

// A batch takes what waits, oldest first, each datagram in its own room
// with its sender; one longer than its room keeps the head that fits and
// tells its whole length; an empty socket answers 10035.
TEST(Sockets, BatchTakesWaitingDatagramsInOrderWithSendersAndWholeLengths) {
    plat::Ipv4Endpoint local;
    const plat::SocketHandle receiver = BoundLoopbackSocket(local);
    plat::Ipv4Endpoint firstEnd;
    plat::Ipv4Endpoint secondEnd;
    const plat::SocketHandle first = BoundLoopbackSocket(firstEnd);
    const plat::SocketHandle second = BoundLoopbackSocket(secondEnd);
    // The second does not fit its room of 16 bytes; the fourth is empty.
    const std::string texts[] = {"one", "head" + std::string(60, 'c'), "three", "", "five"};
    for (size_t n = 0; n < std::size(texts); ++n) {
        const std::string& text = texts[n];
        ASSERT_EQ(plat::SendDatagram(n % 2 == 0 ? first : second, text.data(), text.size(), local),
                  static_cast<long>(text.size()));
    }

    plat::DatagramBatch batch(4, 16);
    long got = 0;
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        got = batch.Receive(receiver);
        return got != -1;
    }));
    // Loopback queues all five before the first send returns.
    ASSERT_EQ(got, 4);
    for (size_t n = 0; n < 4; ++n) {
        SCOPED_TRACE(n);
        const plat::Ipv4Endpoint from = batch.Sender(n);
        const plat::Ipv4Endpoint& expected = n % 2 == 0 ? firstEnd : secondEnd;
        EXPECT_EQ(from.m_dwAddress, expected.m_dwAddress);
        EXPECT_EQ(from.m_wPort, expected.m_wPort);
        const std::string& text = texts[n];
        EXPECT_EQ(batch.Length(n), text.size());
        EXPECT_EQ(std::string(batch.Data(n), std::min(batch.Length(n), batch.Size())),
                  text.substr(0, batch.Size()));
    }
    ASSERT_EQ(batch.Receive(receiver), 1);
    EXPECT_EQ(std::string(batch.Data(0), batch.Length(0)), "five");
    EXPECT_EQ(batch.Sender(0).m_wPort, firstEnd.m_wPort);
    EXPECT_EQ(batch.Receive(receiver), -1);
    EXPECT_EQ(plat::GetLastError(), kWouldBlock);
    for (plat::SocketHandle socket : {receiver, first, second}) {
        plat::CloseSocket(socket);
    }
}
