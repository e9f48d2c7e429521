#include "NTSyslog/NTSyslogListeningThread.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "NTSyslog/SyslogEntryQueue.h"
#include "platform/Console.h"
#include "platform/Sockets.h"
#include "support/TestUtil.h"

namespace {

// Collects what the code writes to standard error.
class ConsoleCapture {
public:
    ConsoleCapture() {
        m_previous = plat::SetConsoleSink([this](std::string_view text) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_text.append(text);
        });
    }
    ~ConsoleCapture() { plat::SetConsoleSink(m_previous); }
    std::string Text() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_text;
    }
    bool Contains(const std::string& line) {
        return hwtest::WaitUntil([&] { return Text().find(line) != std::string::npos; }, 10);
    }

private:
    std::mutex m_lock;
    std::string m_text;
    plat::ConsoleSink m_previous;
};

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = hwtest::FreeLoopbackPort(true);
        m_sender = plat::OpenUdpSocket();
        ASSERT_NE(m_sender, plat::kInvalidSocket);
        plat::Ipv4Endpoint local;
        ASSERT_TRUE(plat::ParseIpv4Address("127.0.0.1", local.m_dwAddress));
        ASSERT_TRUE(plat::BindSocket(m_sender, local));
        ASSERT_TRUE(plat::GetSocketLocalEndpoint(m_sender, m_senderEndpoint));
        ASSERT_TRUE(plat::ParseIpv4Address("127.0.0.1", m_target.m_dwAddress));
        m_target.m_wPort = plat::PortField(m_port);
    }
    void TearDown() override { plat::CloseSocket(m_sender); }

    void Send(const std::string& bytes) {
        ASSERT_EQ(plat::SendDatagram(m_sender, bytes.data(), bytes.size(), m_target),
                  static_cast<long>(bytes.size()));
    }

    std::unique_ptr<SyslogEntry> Next() {
        std::unique_ptr<SyslogEntry> entry;
        hwtest::WaitUntil([&] { return (entry = m_queue.Pop(0)) != nullptr; }, 10);
        return entry;
    }

    uint16_t m_port = 0;
    plat::SocketHandle m_sender = plat::kInvalidSocket;
    plat::Ipv4Endpoint m_senderEndpoint;
    plat::Ipv4Endpoint m_target;
    SyslogEntryQueue m_queue;
};

}  // namespace

TEST_F(ListenerTest, DatagramIsQueuedWithItsSenderAndCutAtAnEmbeddedNul) {
    NTSyslogListeningThread listener("NTSyslogListener", m_port);
    ASSERT_TRUE(listener.StartListening(&m_queue));
    Send(std::string("<13>su: FAILED\0hidden", 21));
    std::unique_ptr<SyslogEntry> entry = Next();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->m_strText, "<13>su: FAILED");
    EXPECT_EQ(entry->m_Sender.m_dwAddress, m_senderEndpoint.m_dwAddress);
    EXPECT_EQ(entry->m_Sender.m_wPort, m_senderEndpoint.m_wPort);
    EXPECT_TRUE(listener.StopAndWait());
}

TEST_F(ListenerTest, DatagramFillingTheWholeBufferIsReportedNotOverrun) {
    ConsoleCapture console;
    NTSyslogListeningThread listener("NTSyslogListener", m_port);
    ASSERT_TRUE(listener.StartListening(&m_queue));
    Send(std::string(NTSyslogListeningThread::kReceiveBufferSize, 'x'));
    ASSERT_TRUE(console.Contains("WARNING: Error recving syslog packet: 10040"));
    EXPECT_EQ(listener.OversizedCount(), 1u);
    // One byte less fits, with its terminator, and arrives whole.
    Send(std::string(NTSyslogListeningThread::kReceiveBufferSize - 1, 'y'));
    std::unique_ptr<SyslogEntry> entry = Next();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->m_strText.size(), NTSyslogListeningThread::kReceiveBufferSize - 1);
    EXPECT_EQ(m_queue.Size(), 0u);
    listener.StopAndWait();
}

TEST_F(ListenerTest, StopWakesTheWaitingThreadAndClosesTheSocketOnlyAfterItEnded) {
    NTSyslogListeningThread listener("NTSyslogListener", m_port);
    ASSERT_TRUE(listener.StartListening(&m_queue));
    listener.RequestStop();
    // The wake-up ends the thread's wait; the socket it waited on stays
    // open until the thread has been joined.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !listener.IsRunning(); }));
    EXPECT_TRUE(listener.IsSocketOpen());
    EXPECT_TRUE(listener.StopAndWait());
    EXPECT_FALSE(listener.IsSocketOpen());

    // The port is free again, and a new start makes a new socket.
    plat::SocketHandle probe = plat::OpenUdpSocket();
    plat::Ipv4Endpoint any;
    any.m_wPort = plat::PortField(m_port);
    EXPECT_TRUE(plat::BindSocket(probe, any));
    plat::CloseSocket(probe);
    ASSERT_TRUE(listener.StartListening(&m_queue));
    Send("after restart");
    std::unique_ptr<SyslogEntry> entry = Next();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->m_strText, "after restart");
}

