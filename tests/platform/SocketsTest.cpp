#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

constexpr uint32_t kWouldBlock = 10035;

}  // namespace

// Datagrams that find the receive buffer full are dropped by the system:
// the socket says how many, and so does the next datagram that arrives.
TEST(Sockets, DatagramsTheSystemDroppedAreCountedBySocketAndByTheNextDatagram) {
    const plat::SocketHandle receiver = plat::OpenUdpSocket();
    const plat::SocketHandle sender = plat::OpenUdpSocket();
    ASSERT_NE(receiver, plat::kInvalidSocket);
    ASSERT_NE(sender, plat::kInvalidSocket);
    plat::Ipv4Endpoint local;
    local.m_dwAddress = htonl(INADDR_LOOPBACK);
    ASSERT_TRUE(plat::BindSocket(receiver, local));
    ASSERT_TRUE(plat::GetSocketLocalEndpoint(receiver, local));
    // The smallest buffer the system grants holds a few datagrams.
    int size = 1;
    ASSERT_EQ(0, ::setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &size, sizeof size));
    ASSERT_TRUE(plat::EnableDropCount(receiver));

    constexpr uint32_t kSent = 100;
    const std::string text(500, 'x');
    for (uint32_t n = 0; n < kSent; ++n) {
        ASSERT_EQ(plat::SendDatagram(sender, text.data(), text.size(), local),
                  static_cast<long>(text.size()));
    }
    // Loopback delivers a moment after the send.
    uint32_t received = 0;
    uint32_t dropped = 0;
    char buffer[1024];
    plat::Ipv4Endpoint from;
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        uint32_t fromDatagram = 0;
        while (plat::ReceiveDatagram(receiver, buffer, sizeof buffer, from, false, fromDatagram) >=
               0) {
            ++received;
        }
        EXPECT_EQ(plat::GetLastError(), kWouldBlock);
        return plat::ReadDropCount(receiver, dropped) && received + dropped == kSent;
    })) << received << " received, " << dropped << " dropped";
    EXPECT_GT(dropped, 0u);
    EXPECT_GT(received, 0u);

    ASSERT_EQ(plat::SendDatagram(sender, "next", 4, local), 4);
    uint32_t fromDatagram = 0;
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return plat::ReceiveDatagram(receiver, buffer, sizeof buffer, from, false, fromDatagram) == 4;
    }));
    EXPECT_EQ(fromDatagram, dropped);
    plat::CloseSocket(sender);
    plat::CloseSocket(receiver);
}
