#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ReplayDriverTest.h"
#include "ReplayFixture.h"
#include "rawpacket/DriverFactory.h"
#include "rawpacket/MoatDriver.h"
#include "rawpacket/RpErrors.h"
#include "rawpacket/RpUtil.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"

namespace {

const std::string kAdapter = "\\Device\\hwcap0";
constexpr uint16_t kTestEtherType = 0x88B5;

bool IsTestFrame(const rp::PacketRecord& packet) {
    return packet.m_dwCapturedLength >= 14 && packet.m_pData[12] == 0x88 && packet.m_pData[13] == 0xB5;
}

// A raw socket bound to `pszInterface` for frames of `wProtocol` (host
// order); -1 when it cannot be made.
int BoundSocket(const char* pszInterface, uint16_t wProtocol) {
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(wProtocol));
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(wProtocol);
    address.sll_ifindex = static_cast<int>(::if_nametoindex(pszInterface));
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Live capture on one end of a veth pair inside a private network namespace.
class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "live capture needs root";
        }
        if (int error = hwtest::EnterNewNetworkNamespace(); error != 0) {
            GTEST_SKIP() << "no private network namespace: " << std::strerror(error);
        }
        ASSERT_EQ(std::system("ip link add hwcap0 type veth peer name hwcap1"), 0);
        // No frames of the system's own (IPv6 neighbour discovery and
        // listener reports, sent as a link comes up and later) beside the
        // test's: a reader that reads nothing would lose them, counted.
        for (const char* pszEnd : {"hwcap0", "hwcap1"}) {
            hwtest::WriteWholeFile(std::string("/proc/sys/net/ipv6/conf/") + pszEnd + "/disable_ipv6", "1");
        }
        for (const char* command : {"ip link set hwcap0 up", "ip link set hwcap1 up"}) {
            ASSERT_EQ(std::system(command), 0) << command;
        }
        m_nPeer = BoundSocket("hwcap1", ETH_P_ALL);
        ASSERT_GE(m_nPeer, 0);
        m_Table.Fill();
        ASSERT_GE(m_Table.Find(kAdapter), 0);
    }
    void TearDown() override {
        if (m_nPeer >= 0) {
            ::close(m_nPeer);
        }
    }

    void SendFromPeer(const rptest::TestFrame& frame) {
        ASSERT_EQ(::send(m_nPeer, frame.m_Bytes.data(), frame.m_Bytes.size(), 0),
                  static_cast<ssize_t>(frame.m_Bytes.size()));
    }

    // A driver open on the adapter, its reads ending after 100 ms (the pair
    // carries no frames of the system's own: see SetUp).
    std::unique_ptr<rp::Driver> QuietDriver() {
        std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kAdapter, 2);
        driver->setParameter("readtimeout", "100");
        driver->open(true, false);
        return driver;
    }

    // The next test frame the driver reads, within a generous deadline.
    bool NextTestFrame(rp::Driver& driver) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (driver.readFrame(driver.frame())) {
                if (IsTestFrame(driver.frame().packet())) {
                    return true;
                }
                driver.freeFrame(driver.frame());
            }
        }
        return false;
    }

    int m_nPeer = -1;
    // Lock files of their own: tests running side by side in other
    // namespaces use the same adapter names.
    hwtest::ScratchDirectory m_Locks;
    hwtest::EnvironmentOverride m_LockDirectory{"HW_LOCK_DIR", m_Locks.Path().c_str()};
    rptest::AdapterTable m_Table;
    rp::DriverFactory m_Factory;
    std::vector<rptest::TestFrame> m_Frames = rptest::MakeFrames(5);
};

TEST_F(CaptureTest, FramesOnTheWireArriveWithLengthsTimesAndFlags) {
    std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kAdapter, 2);
    driver->setParameter("readtimeout", "200");
    driver->open(true, driver->canTransmit());
    // The frames' times are the kernel's fine clock; time() may read its
    // coarse one, a few milliseconds behind.
    const auto now = [] {
        return static_cast<uint32_t>(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
    };
    const uint32_t before = now();
    for (const rptest::TestFrame& frame : m_Frames) {
        SendFromPeer(frame);
    }
    for (const rptest::TestFrame& sent : m_Frames) {
        ASSERT_TRUE(NextTestFrame(*driver));
        const rp::PacketRecord& packet = driver->frame().packet();
        ASSERT_EQ(packet.m_dwCapturedLength, sent.m_Bytes.size());
        EXPECT_EQ(packet.m_dwWireLength, sent.m_Bytes.size());
        EXPECT_EQ(std::vector<uint8_t>(packet.m_pData, packet.m_pData + sent.m_Bytes.size()), sent.m_Bytes);
        EXPECT_GE(packet.m_dwSeconds, before);
        EXPECT_LE(packet.m_dwSeconds, now());
        EXPECT_LT(packet.m_dwMicroseconds, 1000000u);
        EXPECT_EQ(packet.m_dwFlagWord & rp::kFrameSentByHost, 0u);
        driver->freeFrame(driver->frame());
    }
    // A frame the driver sends leaves through the adapter and is seen
    // there as sent by this host.
    driver->send(m_Frames[1].m_Bytes.data(), static_cast<uint32_t>(m_Frames[1].m_Bytes.size()));
    ASSERT_TRUE(NextTestFrame(*driver));
    EXPECT_NE(driver->frame().packet().m_dwFlagWord & rp::kFrameSentByHost, 0u);
    EXPECT_EQ(driver->frame().packet().m_dwCapturedLength, m_Frames[1].m_Bytes.size());
    driver->freeFrame(driver->frame());
    EXPECT_EQ(driver->getStatistics(), 0u);
    EXPECT_GE(dynamic_cast<rp::MoatDriver&>(*driver).statistics().m_qwReceived, 6u);
}

TEST_F(CaptureTest, SecondProcessCapturesBesideTheFirst) {
    std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kAdapter, 2);
    driver->setParameter("readtimeout", "200");
    driver->open(true, false);
    ASSERT_TRUE(driver->adapterLock()->held());
    pid_t child = ::fork();
    if (child == 0) {
        // Its own table and driver (not the parent's registry, which the
        // fork copied): the adapter opens, though its lock is taken.
        try {
            rptest::AdapterTable table;
            table.Fill();
            rp::MoatDriver second(kAdapter, 2);
            second.setParameter("readtimeout", "200");
            second.open(true, false);
            if (second.adapterLock()->held()) {
                ::_exit(2);
            }
            ::_exit(NextTestFrame(second) ? 0 : 1);
        } catch (...) {
            ::_exit(3);
        }
    }
    int status = -1;
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        SendFromPeer(m_Frames[0]);
        return ::waitpid(child, &status, WNOHANG) == child;
    }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(NextTestFrame(*driver));
    EXPECT_EQ(driver->frame().packet().m_dwCapturedLength, m_Frames[0].m_Bytes.size());
}

// An interface taken down stops capture with an error on the socket: the
// reader gets it in words once, and capture goes on when it is up again.
TEST_F(CaptureTest, InterfaceTakenDownIsToldOnceAndCaptureGoesOnWhenItIsUp) {
    std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kAdapter, 2);
    driver->setParameter("readtimeout", "50");
    driver->open(true, false);
    SendFromPeer(m_Frames[0]);
    ASSERT_TRUE(NextTestFrame(*driver));
    driver->freeFrame(driver->frame());
    ASSERT_EQ(std::system("ip link set hwcap0 down"), 0);
    std::vector<std::string> notices;
    size_t errors = 0;
    hwtest::WaitUntil(
        [&] {
            if (!driver->readFrame(driver->frame())) {
                if (driver->frame().status() == rp::kDllAdapterNotice) {
                    notices.push_back(driver->frame().text());
                } else if (driver->frame().status() != rp::kDllNoFrame) {
                    ++errors;
                }
            } else {
                driver->freeFrame(driver->frame());
            }
            return !notices.empty();
        },
        20);
    EXPECT_EQ(notices, std::vector<std::string>{"interface hwcap0 cannot be read: Network is down"});
    EXPECT_EQ(errors, 0u);
    ASSERT_EQ(std::system("ip link set hwcap0 up"), 0);
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        SendFromPeer(m_Frames[1]);
        if (!driver->readFrame(driver->frame())) {
            return false;
        }
        const bool bTest = IsTestFrame(driver->frame().packet());
        driver->freeFrame(driver->frame());
        return bTest;
    }));
}

// A reader that falls behind loses frames to the system: they are counted
// while the adapter is open, not only once it is closed.
TEST_F(CaptureTest, FramesDroppedForWantOfRoomAreCountedWhileTheAdapterIsOpen) {
    std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kAdapter, 2);
    driver->setParameter("capturebuffersize", "1k");
    driver->open(true, false);
    EXPECT_EQ(driver->framesDroppedForReader(), 0u);
    // Nothing is read while they come: the buffer holds a few.
    for (int i = 0; i < 2000; ++i) {
        SendFromPeer(m_Frames[static_cast<size_t>(i) % m_Frames.size()]);
    }
    // A send returns before its frame has reached the socket, so on a busy
    // machine frames go on being dropped for a while after the last one:
    // the count is taken once it has stopped growing.
    uint64_t qwDropped = driver->framesDroppedForReader();
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const uint64_t qwNow = driver->framesDroppedForReader();
            const bool bSettled = qwNow == qwDropped;
            qwDropped = qwNow;
            return bSettled;
        },
        20));
    std::printf("%" PRIu64 " of 2000 frames dropped for want of room\n", qwDropped);
    EXPECT_GT(qwDropped, 1000u);
    EXPECT_EQ(driver->framesDroppedForReader(), qwDropped) << "counted once";
}

// Frames the adapter took for its reader and the reader never read are
// counted when the driver stops, as the stop lets them go; a driver that
// read everything leaves none.
TEST_F(CaptureTest, FramesStillWaitingWhenTheDriverStopsAreCounted) {
    std::unique_ptr<rp::Driver> driver = QuietDriver();
    SendFromPeer(m_Frames[0]);
    ASSERT_TRUE(NextTestFrame(*driver));
    driver->freeFrame(driver->frame());
    // A socket of the test's own beside the driver's: once it has the
    // frames, so has the driver's, which the system serves in the same turn.
    const int watcher = BoundSocket("hwcap0", kTestEtherType);
    ASSERT_GE(watcher, 0);
    for (const rptest::TestFrame& frame : m_Frames) {
        SendFromPeer(frame);
    }
    size_t nSeen = 0;
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        char buffer[2048];
        while (::recv(watcher, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
            ++nSeen;
        }
        return nSeen == m_Frames.size();
    }));
    ::close(watcher);
    driver->stop();
    EXPECT_EQ(driver->framesLeftUnreadAtStop(), m_Frames.size());
    // Opened again and read to the end, it leaves nothing.
    driver->open(true, false);
    SendFromPeer(m_Frames[1]);
    ASSERT_TRUE(NextTestFrame(*driver));
    driver->freeFrame(driver->frame());
    driver->stop();
    EXPECT_EQ(driver->framesLeftUnreadAtStop(), 0u);
}

// A reader told to stop from another thread is not left waiting out its
// read on a quiet wire: the interrupt ends the read that waits (or else
// the next one), without a frame, and the reads after it go on as ever.
TEST_F(CaptureTest, AnInterruptEndsTheReadThatWaitsOnAQuietWire) {
    std::unique_ptr<rp::Driver> driver = QuietDriver();
    std::string strWhat;
    EXPECT_TRUE(rptest::ReadEndsWhenInterrupted(*driver, strWhat)) << strWhat;
    // One that comes before the read ends it as soon as it begins.
    ASSERT_TRUE(driver->interruptRead());
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(driver->readFrame(driver->frame()));
    EXPECT_EQ(driver->frame().status(), rp::kDllNoFrame);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20)) << "of a minute";
    driver->setParameter("readtimeout", "100");
    SendFromPeer(m_Frames[2]);
    ASSERT_TRUE(NextTestFrame(*driver));
    EXPECT_EQ(driver->frame().packet().m_dwCapturedLength, m_Frames[2].m_Bytes.size());
    driver->freeFrame(driver->frame());
}

// IPv4 over UDP from 10.1.2.3, which the test's bypass filter covers.
std::vector<uint8_t> BypassedFrame() {
    std::vector<uint8_t> frame(14 + 20 + 8 + 18, 0);
    const uint8_t header[] = {0x02, 0, 0, 0, 0, 0x0a, 0x02, 0, 0, 0, 0, 0x07, 0x08, 0x00,
                              0x45, 0, 0, 46, 0, 0, 0, 0, 64, 17, 0, 0, 10, 1, 2, 3, 192, 0, 2, 10};
    std::memcpy(frame.data(), header, sizeof header);
    return frame;
}

// A flood of frames the reader asked not to see still ends each read at
// its time-out, so the reader gets its turn to stop and to do its work.
TEST_F(CaptureTest, ReadUnderAFloodOfBypassedFramesEndsAtItsTimeOut) {
    std::unique_ptr<rp::Driver> driver = QuietDriver();
    ASSERT_EQ(driver->purgeBypassFilters(nullptr), 0u);
    ASSERT_EQ(driver->addBypassFilter(htonl(0x0A000000u), 8, 255, 1), 0u);
    ASSERT_EQ(driver->pushAllBypassFilters(nullptr), 0u);
    // Senders faster together than one reader, for at most ten seconds.
    std::atomic<bool> bFlooding{true};
    std::vector<std::thread> senders;
    const std::vector<uint8_t> frame = BypassedFrame();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 3; ++i) {
        senders.emplace_back([&] {
            while (bFlooding && std::chrono::steady_clock::now() < until) {
                ::send(m_nPeer, frame.data(), frame.size(), 0);
            }
        });
    }
    // Reads while the flood is on; each must end (no frame) before the flood does.
    int nReads = 0;
    for (; nReads < 5 && std::chrono::steady_clock::now() < until; ++nReads) {
        if (driver->readFrame(driver->frame())) {
            driver->freeFrame(driver->frame());
            ADD_FAILURE() << "a frame was read: " << driver->frame().packet().m_dwCapturedLength << " bytes";
        }
        EXPECT_EQ(driver->frame().status(), rp::kDllNoFrame);
    }
    const bool bEndedInTime = std::chrono::steady_clock::now() < until;
    bFlooding = false;
    for (std::thread& sender : senders) {
        sender.join();
    }
    driver->purgeBypassFilters(nullptr);
    driver->pushAllBypassFilters(nullptr);
    rp::MoatDriver& moat = dynamic_cast<rp::MoatDriver&>(*driver);
    moat.getStatistics();
    std::printf("%d reads under the flood, %" PRIu64 " frames passed unseen\n", nReads, moat.statistics().m_qwPassed);
    EXPECT_TRUE(bEndedInTime) << "the reads ended only with the flood";
    EXPECT_GT(moat.statistics().m_qwPassed, 0u);
}

TEST_F(CaptureTest, SendOnlyRequestFallsBackToAnEthernetAdapter) {
    // A card family that cannot transmit hands the request to an adapter that can.
    std::unique_ptr<rp::Driver> driver = m_Factory.createDriver("\\Device\\mve10001", 5);
    EXPECT_EQ(driver->getName().rfind("\\Device\\hwcap", 0), 0u) << driver->getName();
    EXPECT_TRUE(driver->canTransmit());
    driver->open(true, false);
    EXPECT_FALSE(driver->adapterInfo().m_bReceiveCreated);
    driver->send(m_Frames[2].m_Bytes.data(), static_cast<uint32_t>(m_Frames[2].m_Bytes.size()));
}

std::atomic<int> g_LinkChanges{0};
void CountLinkChange() { ++g_LinkChanges; }

TEST_F(CaptureTest, NewInterfaceIsAnnounced) {
    auto setRoutine = reinterpret_cast<rp::PacketSetNotifyRoutineFn>(
        rp::getProcAddress(rp::PacketDllLoader::instance().module(), "PacketSetNotifyRoutine"));
    ASSERT_NE(setRoutine, nullptr);
    ASSERT_EQ(setRoutine(CountLinkChange), 0u);
    ASSERT_EQ(std::system("ip link add hwcap2 type veth peer name hwcap3"), 0);
    EXPECT_TRUE(hwtest::WaitUntil([] { return g_LinkChanges.load() > 0; }));
    ASSERT_EQ(setRoutine(nullptr), 0u);
    m_Table.Fill();
    EXPECT_GE(m_Table.Find("\\Device\\hwcap3"), 0);
}

}  // namespace
