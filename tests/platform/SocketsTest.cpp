#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Once its input is stopped, a socket keeps the datagrams it held, in
// order, and is sent nothing more, whether it is bound to one address or
// to every one; a sender learns that the port is closed.
TEST(Sockets, StoppedInputKeepsWhatTheSocketHeldAndTakesNothingMore) {
    for (const uint32_t bound : {htonl(INADDR_LOOPBACK), 0u}) {
        SCOPED_TRACE(bound == 0 ? "bound to every address" : "bound to the loopback");
        const plat::SocketHandle receiver = plat::OpenUdpSocket();
        plat::Ipv4Endpoint local;
        local.m_dwAddress = bound;
        ASSERT_TRUE(plat::BindSocket(receiver, local) &&
                    plat::GetSocketLocalEndpoint(receiver, local));
        plat::Ipv4Endpoint target = local;
        target.m_dwAddress = htonl(INADDR_LOOPBACK);
        plat::Ipv4Endpoint senderEnd;
        const plat::SocketHandle sender = BoundLoopbackSocket(senderEnd);
        const auto SendAll = [&](const std::string& prefix) {
            for (int n = 0; n < 3; ++n) {
                const std::string text = prefix + std::to_string(n);
                plat::SendDatagram(sender, text.data(), text.size(), target);
            }
        };
        SendAll("before ");
        ASSERT_EQ(plat::WaitSocketReadable(receiver, 10000), plat::SocketReadiness::kReadable);
        ASSERT_TRUE(plat::StopDatagramInput(receiver)) << plat::GetLastError();
        SendAll("after ");

        plat::DatagramBatch batch(8, 64);
        std::vector<std::string> taken;
        ASSERT_TRUE(hwtest::WaitUntil([&] {
            for (long got; (got = batch.Receive(receiver)) > 0;) {
                for (long n = 0; n < got; ++n) {
                    taken.emplace_back(batch.Data(n), batch.Length(n));
                }
            }
            return taken.size() >= 3;
        }));
        // Loopback would have queued the later ones before their sends
        // returned, behind the rest.
        EXPECT_EQ(batch.Receive(receiver), -1);
        EXPECT_EQ(plat::GetLastError(), kWouldBlock);
        EXPECT_EQ(taken, (std::vector<std::string>{"before 0", "before 1", "before 2"}));
        // To a sender that listens for it, the port reads as closed.
        const plat::SocketHandle probe = plat::OpenUdpSocket();
        ASSERT_TRUE(plat::ConnectSocket(probe, target));
        EXPECT_TRUE(hwtest::WaitUntil([&] {
            return plat::SendOnSocket(probe, "probe", 5) < 0 && plat::GetLastError() == 10061;
        }));
        plat::CloseSocket(probe);
        plat::CloseSocket(sender);
        plat::CloseSocket(receiver);
    }
}
