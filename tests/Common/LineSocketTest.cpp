#include "Common/LineSocket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestUtil.h"

namespace {

constexpr uint32_t kWsaNotOpen = 10093;
constexpr uint32_t kWsaConnectionRefused = 10061;

// Reads with a short time-out until a call gives data (or fails), so the
// test never depends on how fast the peer is.
long GetsSomething(LineSocket& socket, char* buffer, long size) {
    long result = 0;
    hwtest::WaitUntil([&] {
        result = socket.Gets(buffer, size);
        return result != 0;
    });
    return result;
}

std::string GetsLine(LineSocket& socket) {
    char buffer[256];
    long n = GetsSomething(socket, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Connects with a fresh socket each try until the listener answers.
bool ConnectWhenListening(LineSocket& socket, uint16_t port) {
    return hwtest::WaitUntil([&] {
        if (socket.Connect(port, "127.0.0.1") == 1) {
            return true;
        }
        socket.CloseData();
        return false;
    });
}

// Holds the thread the signal is sent to outside its system call, with the
// descriptor it is sending on in hand, until the test lets it go.
std::atomic<bool> g_bHoldSender{false};
std::atomic<bool> g_bSenderHeld{false};

void HoldSender(int /*signal*/) {
    g_bSenderHeld = true;
    const timespec pause{0, 1000000};
    while (g_bHoldSender.load()) {
        ::nanosleep(&pause, nullptr);
    }
}

long BytesWaiting(int socket) {
    int count = 0;
    return ::ioctl(socket, FIONREAD, &count) == 0 ? count : -1;
}

std::string DebugLogName() {
    return "socketlog" + std::to_string(::getpid()) + ".txt";
}

}  // namespace

// socat stands in for the script process: what the test writes to its
// standard input reaches the channel, and what the channel sends lands in
// socat's output file.
class SocatPeer : public ::testing::Test {
protected:
    void SetUp() override {
        if (hwtest::FindProgram("socat").empty()) {
            GTEST_SKIP() << "socat is not installed (scripts/install-deps)";
        }
        m_port = hwtest::FreeLoopbackPort(false);
        m_output = m_scratch.File("received");
        m_peer.SetErrorFile(m_scratch.File("socat.err"));
        ASSERT_TRUE(m_peer.Start(
            {"socat", "TCP-LISTEN:" + std::to_string(m_port) + ",bind=127.0.0.1,reuseaddr",
             "STDIO"},
            m_output, {}, true));
        ASSERT_TRUE(ConnectWhenListening(m_channel, m_port))
            << hwtest::ReadWholeFile(m_scratch.File("socat.err"));
        m_channel.SetReadTimeout(100);
    }

    bool PeerReceived(const std::string& text) {
        return hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(m_output) == text; });
    }

    hwtest::ScratchDirectory m_scratch;
    hwtest::ChildProcess m_peer;
    LineSocket m_channel;
    uint16_t m_port = 0;
    std::string m_output;
};

TEST_F(SocatPeer, LinesTravelBothWays) {
    EXPECT_EQ(7, m_channel.Puts("Status\n"));
    EXPECT_EQ(0, m_channel.Puts("Run 3"));
    EXPECT_EQ(8, m_channel.Puts(" 4\nExit"));
    EXPECT_EQ(4, m_channel.Flush());
    EXPECT_TRUE(PeerReceived("Status\nRun 3 4\nExit")) << hwtest::ReadWholeFile(m_output);

    ASSERT_TRUE(m_peer.WriteStdin("Ready 1\nReady 2\n"));
    EXPECT_EQ("Ready 1\n", GetsLine(m_channel));
    EXPECT_EQ("Ready 2\n", GetsLine(m_channel));
}

TEST_F(SocatPeer, ReadTimeOutGivesEmptyText) {
    char buffer[16];
    for (uint32_t timeout : {100u, 0u}) {
        m_channel.SetReadTimeout(timeout);
        std::strcpy(buffer, "stale");
        EXPECT_EQ(0, m_channel.Gets(buffer, sizeof buffer)) << timeout;
        EXPECT_STREQ("", buffer);
    }
    EXPECT_EQ(0, m_channel.WaitReadable(0));
}

TEST_F(SocatPeer, LineLongerThanTheBufferComesInPiecesAndTheConnectionSurvives) {
    const std::string longLine(10 * 1024, 'x');
    ASSERT_TRUE(m_peer.WriteStdin(longLine));
    std::string collected;
    // Small pieces first, then pieces bounded by the channel's own buffer.
    char buffer[2 * LineSocket::kBufferSize];
    while (collected.size() < longLine.size()) {
        long room = collected.size() < 5000 ? 1000 : static_cast<long>(sizeof buffer);
        long n = GetsSomething(m_channel, buffer, room);
        ASSERT_GT(n, 0) << "after " << collected.size() << " bytes, error "
                        << m_channel.LastError();
        ASSERT_LE(n, std::min(room, LineSocket::kBufferSize));
        collected.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(longLine, collected);

    ASSERT_TRUE(m_peer.WriteStdin("after\n"));
    EXPECT_EQ("after\n", GetsLine(m_channel));
    EXPECT_EQ(6, m_channel.Puts("still\n"));
    EXPECT_TRUE(PeerReceived("still\n"));
}

TEST_F(SocatPeer, PeerClosingGivesEmptyTextOnceThenNotOpen) {
    ASSERT_TRUE(m_peer.WriteStdin("bye\n"));
    m_peer.CloseStdin();
    EXPECT_EQ("bye\n", GetsLine(m_channel));
    char buffer[16];
    std::strcpy(buffer, "stale");
    long last = 0;
    std::string lastText;
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        long n = m_channel.Gets(buffer, sizeof buffer);
        if (n < 0) {
            return true;
        }
        last = n;
        lastText = buffer;
        return false;
    }));
    EXPECT_EQ(0, last);
    EXPECT_EQ("", lastText);
    EXPECT_EQ(kWsaNotOpen, m_channel.LastError());
    EXPECT_EQ(-1, m_channel.Gets(buffer, sizeof buffer));
    EXPECT_EQ(0, m_channel.Puts("lost"));
    EXPECT_EQ(-1, m_channel.Flush());
    EXPECT_EQ(kWsaNotOpen, m_channel.LastError());
}

// Two channels in this process, one listening and one connecting.
class ChannelPair : public ::testing::Test {
protected:
    void Connect() {
        m_port = hwtest::FreeLoopbackPort(false);
        ASSERT_EQ(1, m_server.Listen(m_port)) << m_server.LastError();
        ASSERT_EQ(1, m_client.Connect(m_port, nullptr)) << m_client.LastError();
        ASSERT_EQ(1, m_server.Accept()) << m_server.LastError();
        m_server.SetReadTimeout(100);
        m_client.SetReadTimeout(100);
    }

    LineSocket m_server;
    LineSocket m_client;
    uint16_t m_port = 0;
};

TEST_F(ChannelPair, PeerIsRecognisedByItsNetworkOrderPortField) {
    Connect();
    uint16_t clientPort = m_client.GetLocalPort();
    ASSERT_NE(0, clientPort);
    EXPECT_EQ(0u, m_client.LastError());
    EXPECT_EQ(1, m_server.IsPeer(clientPort, "127.0.0.1"));
    EXPECT_EQ(1, m_server.IsPeer(clientPort, ""));
    EXPECT_EQ(0, m_server.IsPeer(static_cast<uint16_t>(clientPort + 1), nullptr));
    EXPECT_EQ(0, m_server.IsPeer(clientPort, "127.0.0.2"));
}

TEST_F(ChannelPair, UnopenedSocketReportsNotOpen) {
    LineSocket channel;
    char buffer[8];
    EXPECT_EQ(0, channel.GetLocalPort());
    EXPECT_EQ(kWsaNotOpen, channel.LastError());
    EXPECT_EQ(-1, channel.WaitReadable(0));
    EXPECT_EQ(-1, channel.Send("x", 1));
    EXPECT_EQ(-1, channel.Recv(buffer, sizeof buffer));
    EXPECT_EQ(-1, channel.Gets(buffer, sizeof buffer));
    EXPECT_EQ(-1, channel.Gets(nullptr, 8));
    EXPECT_EQ(-1, channel.Gets(buffer, 0));
    EXPECT_EQ(0, channel.IsPeer(1, nullptr));
    EXPECT_EQ(0, channel.Accept());
}

TEST_F(ChannelPair, ConnectToAClosedPortIsRefused) {
    uint16_t port = hwtest::FreeLoopbackPort(false);
    EXPECT_EQ(0, m_client.Connect(port, "127.0.0.1"));
    EXPECT_EQ(kWsaConnectionRefused, m_client.LastError());
    EXPECT_EQ(0, m_client.Bind(0, "not an address"));
}

TEST_F(ChannelPair, LineLongerThanTheCallersBufferComesUnterminated) {
    Connect();
    ASSERT_EQ(11, m_server.Puts("0123456789\n"));
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(5, GetsSomething(m_client, buffer, 5));
    EXPECT_EQ("01234#", std::string(buffer, 6));
    EXPECT_EQ(6, m_client.Gets(buffer, sizeof buffer));
    EXPECT_STREQ("56789\n", buffer);
}

// A reader that answers line by line may hold its answers back while the
// next line is already in: only a whole buffered line counts.
TEST_F(ChannelPair, UnreadLineIsSeenOnlyWhenWholeInTheBuffer) {
    Connect();
    EXPECT_FALSE(m_client.HasUnreadLine());
    ASSERT_EQ(10, m_server.Send("one\ntwo\nth", 10));
    char buffer[16];
    ASSERT_EQ(4, GetsSomething(m_client, buffer, sizeof buffer));
    EXPECT_TRUE(m_client.HasUnreadLine());
    EXPECT_EQ(4, m_client.Gets(buffer, sizeof buffer));
    EXPECT_STREQ("two\n", buffer);
    EXPECT_FALSE(m_client.HasUnreadLine()) << "half a line is no line";
}

// A reader of commands is never handed the first half of a line that the
// peer is still writing; a line too long for its buffer still comes in
// pieces.
TEST_F(ChannelPair, WholeLinesComeOnlyWithTheirNewlineOrAsFullPieces) {
    Connect();
    char buffer[16];
    ASSERT_EQ(10, m_server.Send("Run 3 Vali", 10));
    std::strcpy(buffer, "stale");
    EXPECT_EQ(0, m_client.GetsWhole(buffer, sizeof buffer));
    EXPECT_STREQ("", buffer);
    EXPECT_FALSE(m_client.HasUnreadLine());
    ASSERT_EQ(5, m_server.Send("d 12\n", 5));
    ASSERT_EQ(15, GetsSomething(m_client, buffer, sizeof buffer));
    EXPECT_STREQ("Run 3 Valid 12\n", buffer);

    ASSERT_EQ(21, m_server.Send("0123456789abcdefghij\n", 21));
    ASSERT_EQ(8, m_client.GetsWhole(buffer, 8));
    EXPECT_EQ("01234567", std::string(buffer, 8));
}

TEST(LineSocketDebugLog, TrafficIsLoggedWithExplicitLengths) {
    std::remove(DebugLogName().c_str());
    {
        // One logging channel per process: the log is per process id.
        LineSocket server;
        hwtest::EnvironmentOverride debug("QOR_SOCKET_DEBUG", "1");
        LineSocket client;
        ASSERT_TRUE(client.IsDebugLogOpen());
        uint16_t port = hwtest::FreeLoopbackPort(false);
        ASSERT_EQ(1, server.Listen(port));
        ASSERT_EQ(1, client.Connect(port, "127.0.0.1"));
        ASSERT_EQ(1, server.Accept());
        client.SetReadTimeout(100);
        EXPECT_EQ(0, client.Puts("Status"));
        EXPECT_EQ(7, client.Puts("\n"));
        EXPECT_EQ(4, client.Puts("a\nb\n"));
        const char binary[] = {'A', '\0', 'B', '\n'};
        ASSERT_EQ(4, server.Send(binary, 4));
        char buffer[16];
        ASSERT_EQ(4, GetsSomething(client, buffer, sizeof buffer));
    }
    std::string log = hwtest::ReadWholeFile(DebugLogName());
    std::remove(DebugLogName().c_str());
    EXPECT_NE(std::string::npos, log.find("Puts(@0):[Status]\nPuts(@6):[\n]\nSend(7):[Status\n]\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("Puts(@0):[a\nb\n]\nSend(2):[a\n]\nSend(2):[b\n]\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find(std::string("Recv(4):[A\0B\n]\n", 15))) << log;
    EXPECT_NE(std::string::npos, log.find(std::string("Gets(4):[A\0B\n]\n", 15))) << log;
}

TEST(LineSocketDebugLog, NoLogWithoutAPositiveSetting) {
    std::remove(DebugLogName().c_str());
    for (const char* value : {"0", "-3", "none"}) {
        hwtest::EnvironmentOverride debug("QOR_SOCKET_DEBUG", value);
        LineSocket channel;
        EXPECT_FALSE(channel.IsDebugLogOpen());
    }
    hwtest::EnvironmentOverride unset("QOR_SOCKET_DEBUG", nullptr);
    LineSocket channel;
    EXPECT_FALSE(channel.IsDebugLogOpen());
    EXPECT_NE(0, ::access(DebugLogName().c_str(), F_OK));
}

// A send under way on one thread when the reply thread sees the peer close:
// the descriptor it sends on must stay this channel's until the send is
// over.  The sender is held between two partial sends with the descriptor
// in hand while the reply thread sees the end and the test opens sockets,
// which would be given that descriptor's number were it released; the rest
// of the send must then fail rather than land in one of them.
TEST(LineSocketSharedSocket, SendUnderWayWhenThePeerClosesNeverWritesIntoAReusedDescriptor) {
    int ends[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
    const int channelEnd = ends[0];
    const int peerEnd = ends[1];
    LineSocket channel;
    ASSERT_EQ(1, channel.Adopt(channelEnd));
    channel.SetReadTimeout(100);

    struct sigaction hold {};
    hold.sa_handler = HoldSender;
    sigemptyset(&hold.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(0, ::sigaction(SIGUSR1, &hold, &previous));
    g_bHoldSender = true;
    g_bSenderHeld = false;

    // More than the socket buffers take: the send blocks once they are full.
    const std::string bulk(8 << 20, 'x');
    std::atomic<long> sent{0};
    std::atomic<bool> bDone{false};
    std::thread sender([&] {
        sent = channel.Send(bulk.data(), static_cast<long>(bulk.size()));
        bDone = true;
    });
    ASSERT_TRUE(hwtest::WaitUntil([&] { return BytesWaiting(peerEnd) > 0; }));
    // Interrupted after part of the bytes went, the send call returns that
    // part; the channel's loop will send the rest on the same descriptor.
    ASSERT_EQ(0, ::pthread_kill(sender.native_handle(), SIGUSR1));
    ASSERT_TRUE(hwtest::WaitUntil([] { return g_bSenderHeld.load(); }));

    ASSERT_EQ(0, ::shutdown(peerEnd, SHUT_WR));
    char buffer[64];
    long got = -1;
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        got = channel.Gets(buffer, sizeof buffer);
        return got <= 0 && channel.WaitReadable(0) < 0;
    }));
    EXPECT_EQ(0, got);

    // Descriptors opened now take the lowest free numbers.
    std::vector<int> others;
    bool reused = false;
    for (int i = 0; i < 8; ++i) {
        int pair[2];
        ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
        reused = reused || pair[0] == channelEnd || pair[1] == channelEnd;
        others.push_back(pair[0]);
        others.push_back(pair[1]);
    }
    EXPECT_FALSE(reused) << "descriptor " << channelEnd << " was released while a send used it";

    g_bHoldSender = false;
    auto strayBytes = [&] {
        long total = 0;
        for (int other : others) {
            total += BytesWaiting(other);
        }
        return total;
    };
    hwtest::WaitUntil([&] { return bDone.load() || strayBytes() > 0; });
    EXPECT_EQ(0, strayBytes()) << "bytes of the channel reached another socket";
    // Closing them ends a send that went astray into one of them.
    for (int other : others) {
        ::close(other);
    }
    sender.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(-1, sent.load());
    EXPECT_EQ(-1, channel.Gets(buffer, sizeof buffer));
    EXPECT_EQ(kWsaNotOpen, channel.LastError());
    // The channel's descriptor is released once the send is over.
    EXPECT_EQ(-1, ::fcntl(channelEnd, F_GETFD));
    ::close(peerEnd);
}
