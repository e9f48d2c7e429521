#include "Common/LineSocket.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

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

std::string DebugLogName() {
    return "socketlog" + std::to_string(::getpid()) + ".txt";
}

// Two channels in this process, one listening and one connecting.
class ChannelPair : public ::testing::Test {
protected:
    void SetUp() override {
        uint16_t port = hwtest::FreeLoopbackPort(false);
        ASSERT_EQ(1, m_server.Listen(port)) << m_server.LastError();
        ASSERT_EQ(1, m_client.Connect(port, nullptr)) << m_client.LastError();
        ASSERT_EQ(1, m_server.Accept()) << m_server.LastError();
        m_server.SetReadTimeout(100);
        m_client.SetReadTimeout(100);
    }

    // What arrives raw at the server until it is `text` (or the deadline).
    std::string ServerReceives(const std::string& text) {
        std::string received;
        hwtest::WaitUntil([&] {
            char buffer[256];
            if (m_server.WaitReadable(0) == 1) {
                long n = m_server.Recv(buffer, sizeof buffer);
                received.append(buffer, static_cast<size_t>(std::max(n, 0L)));
            }
            return received.size() >= text.size();
        });
        return received;
    }

    LineSocket m_server;
    LineSocket m_client;
};

}  // namespace

TEST_F(ChannelPair, CompleteLinesAreSentAndTheRestWaitsForANewlineOrFlush) {
    EXPECT_EQ(7, m_client.Puts("Status\n"));
    EXPECT_EQ(0, m_client.Puts("Run 3"));
    EXPECT_EQ(8, m_client.Puts(" 4\nExit"));
    EXPECT_EQ(4, m_client.Flush());
    EXPECT_EQ("Status\nRun 3 4\nExit", ServerReceives("Status\nRun 3 4\nExit"));

    ASSERT_EQ(16, m_server.Send("Ready 1\nReady 2\n", 16));
    EXPECT_EQ("Ready 1\n", GetsLine(m_client));
    EXPECT_EQ("Ready 2\n", GetsLine(m_client));
}

TEST_F(ChannelPair, LineLongerThanTheBufferComesInPiecesAndTheConnectionSurvives) {
    const std::string longLine(10 * 1024, 'x');
    ASSERT_EQ(static_cast<long>(longLine.size()), m_server.Send(longLine.data(), static_cast<long>(longLine.size())));
    std::string collected;
    // Small pieces first, then pieces bounded by the channel's own buffer.
    char buffer[2 * LineSocket::kBufferSize];
    while (collected.size() < longLine.size()) {
        long room = collected.size() < 5000 ? 1000 : static_cast<long>(sizeof buffer);
        long n = GetsSomething(m_client, buffer, room);
        ASSERT_GT(n, 0) << "after " << collected.size() << " bytes, error " << m_client.LastError();
        ASSERT_LE(n, std::min(room, LineSocket::kBufferSize));
        collected.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(longLine, collected);

    ASSERT_EQ(6, m_server.Send("after\n", 6));
    EXPECT_EQ("after\n", GetsLine(m_client));
    EXPECT_EQ(6, m_client.Puts("still\n"));
    EXPECT_EQ("still\n", GetsLine(m_server));
}

TEST_F(ChannelPair, LineLongerThanTheCallersBufferComesUnterminated) {
    ASSERT_EQ(11, m_server.Puts("0123456789\n"));
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(5, GetsSomething(m_client, buffer, 5));
    EXPECT_EQ("01234#", std::string(buffer, 6));
    EXPECT_EQ(6, m_client.Gets(buffer, sizeof buffer));
    EXPECT_STREQ("56789\n", buffer);
}

TEST_F(ChannelPair, TimeOutAndPeerClosingGiveEmptyTextOnceThenNotOpen) {
    char buffer[16];
    std::strcpy(buffer, "stale");
    EXPECT_EQ(0, m_client.Gets(buffer, sizeof buffer));
    EXPECT_STREQ("", buffer);
    ASSERT_EQ(4, m_server.Send("bye\n", 4));
    m_server.CloseData();
    EXPECT_EQ("bye\n", GetsLine(m_client));
    std::strcpy(buffer, "stale");
    std::string last = "none";
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        long n = m_client.Gets(buffer, sizeof buffer);
        if (n >= 0) {
            last = std::to_string(n) + ":" + buffer;
        }
        return n < 0;
    }));
    EXPECT_EQ("0:", last);
    EXPECT_EQ(kWsaNotOpen, m_client.LastError());
    EXPECT_EQ(0, m_client.Puts("lost"));
    EXPECT_EQ(-1, m_client.Flush());
}

TEST_F(ChannelPair, PeerIsRecognisedByItsNetworkOrderPortField) {
    uint16_t clientPort = m_client.GetLocalPort();
    ASSERT_NE(0, clientPort);
    EXPECT_EQ(1, m_server.IsPeer(clientPort, "127.0.0.1"));
    EXPECT_EQ(1, m_server.IsPeer(clientPort, ""));
    EXPECT_EQ(0, m_server.IsPeer(static_cast<uint16_t>(clientPort + 1), nullptr));
    EXPECT_EQ(0, m_server.IsPeer(clientPort, "127.0.0.2"));
}

TEST(LineSocket, UnopenedOrRefusedSocketReportsItsError) {
    LineSocket channel;
    char buffer[8];
    EXPECT_EQ(0, channel.GetLocalPort());
    EXPECT_EQ(kWsaNotOpen, channel.LastError());
    EXPECT_EQ(-1, channel.Send("x", 1));
    EXPECT_EQ(-1, channel.Gets(buffer, sizeof buffer));
    EXPECT_EQ(-1, channel.Gets(nullptr, 8));
    EXPECT_EQ(-1, channel.Gets(buffer, 0));
    EXPECT_EQ(0, channel.Accept());
    EXPECT_EQ(0, channel.Connect(hwtest::FreeLoopbackPort(false), "127.0.0.1"));
    EXPECT_EQ(kWsaConnectionRefused, channel.LastError());
    EXPECT_EQ(0, channel.Bind(0, "not an address"));
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
    EXPECT_NE(std::string::npos, log.find("Puts(@0):[Status]\nPuts(@6):[\n]\nSend(7):[Status\n]\n")) << log;
    EXPECT_NE(std::string::npos, log.find("Puts(@0):[a\nb\n]\nSend(2):[a\n]\nSend(2):[b\n]\n")) << log;
    EXPECT_NE(std::string::npos, log.find(std::string("Recv(4):[A\0B\n]\n", 15))) << log;
    EXPECT_NE(std::string::npos, log.find(std::string("Gets(4):[A\0B\n]\n", 15))) << log;
}

TEST(LineSocketDebugLog, NoLogWithoutAPositiveSetting) {
    std::remove(DebugLogName().c_str());
    for (const char* value : {"0", "-3", "none", static_cast<const char*>(nullptr)}) {
        hwtest::EnvironmentOverride debug("QOR_SOCKET_DEBUG", value);
        EXPECT_FALSE(LineSocket().IsDebugLogOpen());
    }
    EXPECT_NE(0, ::access(DebugLogName().c_str(), F_OK));
}
