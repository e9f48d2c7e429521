#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ReplayDriverTest.h"
#include "ReplayFixture.h"
#include "rawpacket/Address.h"
#include "rawpacket/DriverFactory.h"
#include "rawpacket/MoatDriver.h"
#include "rawpacket/PacketDll.h"
#include "rawpacket/RawAdapterInfo.h"
#include "rawpacket/RpErrors.h"
#include "rawpacket/RpTrace.h"
#include "rawpacket/RpUtil.h"
#include "support/ExternalCheck.h"
#include "support/TestUtil.h"

namespace {

class DriverTest : public rptest::ReplayDriverTest {
protected:
    DriverTest() : ReplayDriverTest(25) {}
};

TEST_F(DriverTest, ReplayDeliversEveryFrameByteForByte) {
    {
        std::unique_ptr<rp::Driver> driver = OpenReplay();
        EXPECT_EQ(driver->getTitle(), "capture file replay 0 (v1.0)");
        rp::Frame& frame = driver->frame();
        for (size_t i = 0; i < m_Frames.size(); ++i) {
            ASSERT_TRUE(driver->readFrame(frame)) << i;
            const rp::PacketRecord& packet = frame.packet();
            const std::vector<uint8_t>& sent = m_Frames[i].m_Bytes;
            ASSERT_EQ(packet.m_dwCapturedLength, sent.size());
            EXPECT_EQ(packet.m_dwWireLength, sent.size());
            EXPECT_EQ(std::vector<uint8_t>(packet.m_pData, packet.m_pData + sent.size()), sent);
            EXPECT_EQ(packet.m_dwSeconds, m_Frames[i].m_dwSeconds);
            EXPECT_EQ(packet.m_dwMicroseconds, m_Frames[i].m_dwMicroseconds);
            EXPECT_EQ(packet.m_dwSequence, i + 1);
            EXPECT_EQ(packet.m_dwMedium, 0u);
            EXPECT_EQ(driver->freeFrame(frame), 0u);
        }
        EXPECT_FALSE(driver->readFrame(frame));
        EXPECT_EQ(frame.status(), rp::kDllNoFrame);
        EXPECT_EQ(frame.record(), nullptr);
    }
    // Every frame passed on lands in the pass file exactly as it came in.
    EXPECT_EQ(hwtest::ReadWholeFile(m_Scratch.File("replay0.pass.pcap")), rptest::PcapBytes(m_Frames));
    // An independent reader agrees on every frame's length.
    if (!hwtest::FindProgram("tshark").empty()) {
        std::string lengths;
        for (const rptest::TestFrame& frame : m_Frames) {
            lengths += std::to_string(frame.m_Bytes.size()) + "\n";
        }
        EXPECT_EQ(testing_support::RunCommand("tshark -r " + m_Scratch.File("replay0.pass.pcap") +
                                              " -T fields -e frame.cap_len 2>/dev/null"),
                  lengths);
    }
}

// Records that the reader takes many to a read-ahead window, that run past
// a window's end, and that it reads straight into the frame, in every
// order: each frame arrives whole and in turn.
TEST_F(DriverTest, FramesOfEverySizeFromTinyToMergedArriveWhole) {
    std::vector<rptest::TestFrame> frames;
    const size_t sizes[] = {60, 9000, 20000, 60000, 65535, 100, 16384, 16383, 40000, 1514, 30000, 64, 64, 33000};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        rptest::TestFrame frame;
        frame.m_Bytes.resize(sizes[i]);
        for (size_t b = 0; b < frame.m_Bytes.size(); ++b) {
            frame.m_Bytes[b] = static_cast<uint8_t>(b * 13 + i * 31 + b / 251);
        }
        frame.m_dwSeconds = 1700000000u + static_cast<uint32_t>(i);
        frames.push_back(frame);
    }
    hwtest::WriteWholeFile(m_strInput, rptest::PcapBytes(frames));
    std::unique_ptr<rp::Driver> driver = OpenReplay();
    rp::Frame& frame = driver->frame();
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_TRUE(driver->readFrame(frame)) << i;
        const rp::PacketRecord& packet = frame.packet();
        ASSERT_EQ(packet.m_dwCapturedLength, frames[i].m_Bytes.size()) << i;
        EXPECT_TRUE(std::equal(frames[i].m_Bytes.begin(), frames[i].m_Bytes.end(), packet.m_pData)) << i;
        EXPECT_EQ(packet.m_dwSeconds, frames[i].m_dwSeconds);
        driver->freeFrame(frame);
    }
    EXPECT_FALSE(driver->readFrame(frame));
    driver.reset();
    EXPECT_EQ(hwtest::ReadWholeFile(m_Scratch.File("replay0.pass.pcap")), rptest::PcapBytes(frames));
}

bool BlockEvenFrames(rp::Driver*, rp::Frame* frame, void* context) {
    frame->setBlocked(frame->packet().m_dwSequence % 2 == 0);
    return ++*static_cast<int*>(context) < 25;
}

TEST_F(DriverTest, BlockedFramesGoToTheDropFile) {
    int seen = 0;
    {
        std::unique_ptr<rp::Driver> driver = OpenReplay();
        driver->setFrameCallback(BlockEvenFrames, &seen);
        driver->captureLoop();
    }
    EXPECT_EQ(seen, 25);
    std::vector<rptest::TestFrame> passed;
    std::vector<rptest::TestFrame> dropped;
    for (size_t i = 0; i < m_Frames.size(); ++i) {
        ((i + 1) % 2 == 0 ? dropped : passed).push_back(m_Frames[i]);
    }
    EXPECT_EQ(hwtest::ReadWholeFile(m_Scratch.File("replay0.drop.pcap")), rptest::PcapBytes(dropped));
    EXPECT_EQ(hwtest::ReadWholeFile(m_Scratch.File("replay0.pass.pcap")), rptest::PcapBytes(passed));
}

TEST_F(DriverTest, DamagedCaptureFileEndsTheReplayWhereTheDamageStarts) {
    std::string bytes = rptest::PcapBytes({m_Frames[0], m_Frames[1]});
    std::string oversized = rptest::PcapBytes({m_Frames[2]}).substr(24);
    uint32_t huge = 0x7FFFFFFFu;
    oversized.replace(8, 4, reinterpret_cast<const char*>(&huge), 4);
    hwtest::WriteWholeFile(m_Scratch.File("in.pcap"), bytes + oversized + rptest::PcapBytes({m_Frames[3]}).substr(24));
    std::unique_ptr<rp::Driver> driver = OpenReplay();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(driver->readFrame(driver->frame()));
        driver->freeFrame(driver->frame());
    }
    EXPECT_FALSE(driver->readFrame(driver->frame()));
    EXPECT_FALSE(driver->readFrame(driver->frame()));
    EXPECT_EQ(driver->frame().status(), rp::kDllNoFrame);
    // A record cut short by the end of the file is no frame either.
    driver.reset();
    hwtest::WriteWholeFile(m_Scratch.File("short.pcap"), bytes.substr(0, bytes.size() - 5));
    hwtest::EnvironmentOverride input("HW_PACKET_REPLAY", m_Scratch.File("short.pcap").c_str());
    driver = OpenReplay();
    ASSERT_TRUE(driver->readFrame(driver->frame()));
    driver->freeFrame(driver->frame());
    EXPECT_FALSE(driver->readFrame(driver->frame()));
}

TEST_F(DriverTest, CaptureTheReplayCannotPlayIsRefusedWithTheReasonInWords) {
    std::string pcapng("\x0a\x0d\x0d\x0a\x1c\x00\x00\x00\x4d\x3c\x2b\x1a", 12);
    std::string cooked = rptest::PcapBytes(m_Frames);
    cooked[20] = 113;
    std::string raw = cooked;
    raw[20] = 101;
    const auto file = [this](const char* pszName, const std::string& bytes) {
        hwtest::WriteWholeFile(m_Scratch.File(pszName), bytes);
        return m_Scratch.File(pszName);
    };
    const struct {
        std::string m_strPath;
        std::string m_strWords;
    } cases[] = {
        {file("text.pcap", "GET / HTTP/1.0\r\n\r\n and more text"), " is not a capture file in the pcap format"},
        {m_Scratch.File("missing.pcap"), " does not exist (no such file)"},
        {file("new.pcapng", pcapng),
         " is in the pcapng format (what tshark and dumpcap write unless told otherwise), which the replay does not "
         "read: convert it to pcap with: editcap -F pcap " + m_Scratch.File("new.pcapng") + " " +
             m_Scratch.File("new.pcap")},
        {file("any.pcap", cooked),
         " holds Linux cooked frames (link type 113, what tcpdump -i any writes), not Ethernet frames: capture on "
         "one interface (tcpdump -i eth0 -w FILE), or convert it with: editcap -C 2 -T ether " +
             m_Scratch.File("any.pcap") + " " + m_Scratch.File("any-ethernet.pcap") +
             " (the frames keep their type and contents; their Ethernet addresses are made up)"},
        {file("raw.pcap", raw), " holds frames of link type 101, not Ethernet"},
        // hwhost works in the sensor root: a relative name is not looked up there.
        {"\"in.pcap\"", " is named by a relative path, which the replay does not take"},
    };
    for (const auto& c : cases) {
        const std::string path = c.m_strPath[0] == '"' ? c.m_strPath.substr(1, c.m_strPath.size() - 2) : c.m_strPath;
        hwtest::EnvironmentOverride input("HW_PACKET_REPLAY", path.c_str());
        std::string what = "opened";
        try {
            m_Factory.createDriver(kReplay, 2);
        } catch (const rp::OpenError& error) {
            what = error.what();
        }
        EXPECT_EQ(0u, what.find("Cannot open \\Device\\replay0: the capture file " + c.m_strPath + c.m_strWords))
            << what;
    }
}

rptest::TestFrame Ipv4Frame(const char* source, uint8_t protocol) {
    rptest::TestFrame frame{std::vector<uint8_t>(60, 0), 1700000000u, 5};
    frame.m_Bytes[12] = 0x08;
    frame.m_Bytes[14] = 0x45;
    frame.m_Bytes[23] = protocol;
    uint32_t address = htonl(rp::IpAddress(source).value());
    std::memcpy(&frame.m_Bytes[26], &address, 4);
    return frame;
}

TEST_F(DriverTest, BypassedTrafficIsPassedOnUnseen) {
    std::vector<rptest::TestFrame> frames = {Ipv4Frame("192.0.2.1", 17), Ipv4Frame("198.51.100.9", 6), m_Frames[0],
                                             Ipv4Frame("192.0.2.200", 6)};
    frames.back().m_Bytes.resize(30);  // too short for its IPv4 header
    hwtest::WriteWholeFile(m_Scratch.File("in.pcap"), rptest::PcapBytes(frames));
    {
        std::unique_ptr<rp::Driver> driver = OpenReplay();
        EXPECT_EQ(driver->purgeBypassFilters(nullptr), 0u);
        EXPECT_EQ(driver->addBypassFilter(htonl(0xC0000200u), 24, 255, 1), 0u);
        EXPECT_EQ(driver->addBypassFilter(0, 33, 255, 1), rp::kDllInvalidParameter);
        EXPECT_EQ(driver->addBypassFilter(0, 8, 255, 4), rp::kDllInvalidParameter);
        EXPECT_EQ(driver->pushAllBypassFilters(nullptr), 0u);
        std::vector<uint32_t> seen;
        while (driver->readFrame(driver->frame())) {
            seen.push_back(driver->frame().packet().m_dwCapturedLength);
            driver->freeFrame(driver->frame());
        }
        EXPECT_EQ(seen, (std::vector<uint32_t>{60, static_cast<uint32_t>(m_Frames[0].m_Bytes.size()), 30}));
    }
    EXPECT_EQ(hwtest::ReadWholeFile(m_Scratch.File("replay0.pass.pcap")), rptest::PcapBytes(frames));
}

TEST_F(DriverTest, RefreshedTableKeepsOpenAdaptersReadable) {
    std::unique_ptr<rp::Driver> driver = OpenReplay();
    m_Table.Fill();
    ASSERT_TRUE(driver->readFrame(driver->frame()));
    EXPECT_EQ(driver->freeFrame(driver->frame()), 0u);
}

// A replay at the pace of its time stamps waits for its next frame; a
// reader told to stop from another thread is not left waiting that out:
// the interrupt ends the read, and the frame comes when it is due.
TEST_F(DriverTest, AnInterruptEndsTheReadThatWaitsForAPacedFrame) {
    std::vector<rptest::TestFrame> frames = rptest::MakeFrames(2);
    frames[1].m_dwSeconds = frames[0].m_dwSeconds + 3600;
    hwtest::WriteWholeFile(m_strInput, rptest::PcapBytes(frames));
    hwtest::EnvironmentOverride paced("HW_PACKET_REPLAY_PACE", "1");
    std::unique_ptr<rp::Driver> driver = OpenReplay();
    ASSERT_TRUE(driver->readFrame(driver->frame()));
    driver->freeFrame(driver->frame());
    std::string strWhat;
    EXPECT_TRUE(rptest::ReadEndsWhenInterrupted(*driver, strWhat)) << strWhat;
    // The second frame stays for its time.
    driver->setParameter("readtimeout", "10");
    EXPECT_FALSE(driver->readFrame(driver->frame()));
    EXPECT_EQ(driver->frame().status(), rp::kDllNoFrame);
}

TEST_F(DriverTest, StoppedDriverReadsNothing) {
    std::unique_ptr<rp::Driver> driver = OpenReplay();
    ASSERT_TRUE(driver->readFrame(driver->frame()));
    driver->freeFrame(driver->frame());
    driver->stop();
    EXPECT_FALSE(driver->adapterInfo().m_bOpened);
    rp::Frame& frame = driver->frame();
    EXPECT_FALSE(driver->readFrame(frame));
    EXPECT_EQ(frame.status(), rp::kStatusDriverStopped);
    EXPECT_EQ(frame.record(), nullptr);
    // Reopened, the driver reads again and its numbering goes on, as does
    // the replay: the next frame of the file, added to the same pass file.
    driver->open(true, false);
    ASSERT_TRUE(driver->readFrame(frame));
    EXPECT_EQ(frame.packet().m_dwSequence, 2u);
    EXPECT_EQ(frame.packet().m_dwCapturedLength, m_Frames[1].m_Bytes.size());
    driver->freeFrame(frame);
    // So does a driver made anew for the adapter.
    driver.reset();
    driver = OpenReplay();
    ASSERT_TRUE(driver->readFrame(driver->frame()));
    EXPECT_EQ(driver->frame().packet().m_dwCapturedLength, m_Frames[2].m_Bytes.size());
    driver->freeFrame(driver->frame());
    EXPECT_EQ(hwtest::ReadWholeFile(m_Scratch.File("replay0.pass.pcap")),
              rptest::PcapBytes({m_Frames[0], m_Frames[1], m_Frames[2]}));
}

TEST_F(DriverTest, SecondRequestSharesTheOpenedAdapter) {
    std::unique_ptr<rp::Driver> first = OpenReplay();
    uint32_t handle = rp::EntryWord(&m_Table.Entry(m_Table.Find(kReplay)), 8);
    std::unique_ptr<rp::Driver> second = m_Factory.createDriver(kReplay, 2);
    EXPECT_TRUE(second->adapterInfo().m_bOpened);
    EXPECT_TRUE(second->adapterInfo().m_bStarted);
    EXPECT_EQ(rp::EntryWord(&m_Table.Entry(m_Table.Find(kReplay)), 8), handle);
    EXPECT_EQ(rp::DriverFactory::registeredCount(), 2u);
    // Stopping one copy leaves the adapter to the other.
    second->stop();
    EXPECT_TRUE(first->readFrame(first->frame()));
    first->freeFrame(first->frame());
    second.reset();
    first.reset();
    EXPECT_EQ(rp::DriverFactory::registeredCount(), 0u);
    std::unique_ptr<rp::Driver> fresh = m_Factory.createDriver(kReplay, 2);
    EXPECT_EQ(dynamic_cast<rp::MoatDriver&>(*fresh).shareCount(), 1);
}

// Each IDS slave makes and drops its driver on its own thread; the drivers
// of different adapters still share one registry.
TEST_F(DriverTest, DriversMadeOnSeveralThreadsLeaveNoStaleRecord) {
    constexpr int kThreads = 4;
    std::string inputs = m_Scratch.File("in.pcap");
    for (int n = 1; n < kThreads; ++n) {
        inputs += ";" + m_Scratch.File("in.pcap");
    }
    hwtest::EnvironmentOverride replays("HW_PACKET_REPLAY", inputs.c_str());
    m_Table.Fill();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([this, n, &failures] {
            const std::string name = "\\Device\\replay" + std::to_string(n);
            for (int round = 0; round < 300; ++round) {
                try {
                    std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(name, 2);
                    failures += dynamic_cast<rp::MoatDriver&>(*driver).shareCount() == 1 ? 0 : 1;
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(rp::DriverFactory::registeredCount(), 0u);
}

TEST_F(DriverTest, AdapterNamesMatchWithoutRegardToCase) {
    rp::PacketDll binding;
    rp::AdapterInfo info("\\device\\REPLAY0", 2);
    binding.open(info.m_strName, 2, info);
    EXPECT_EQ(binding.m_nEntryIndex, m_Table.Find(kReplay));
    EXPECT_EQ(info.m_strMacAddress, "02-00-5E-00-00-01");
    binding.stop(info);
    // The factory keeps the two spellings apart.
    std::unique_ptr<rp::Driver> lower = m_Factory.createDriver(kReplay, 2);
    std::unique_ptr<rp::Driver> upper = m_Factory.createDriver("\\DEVICE\\replay0", 2);
    EXPECT_EQ(dynamic_cast<rp::MoatDriver&>(*upper).shareCount(), 1);
}

TEST_F(DriverTest, UnknownOrUnusableAdaptersAreRefused) {
    rp::PacketDll binding;
    rp::AdapterInfo info("\\Device\\nothere", 2);
    EXPECT_THROW(binding.open(info.m_strName, 2, info), rp::OpenError);
    EXPECT_EQ(binding.m_nEntryIndex, -1);
    EXPECT_THROW(binding.open("", 2, info), rp::InvalidArgument);
    // An unusable medium is closed again: the shim's handle is gone from the record.
    const int loopback = m_Table.Find("\\Device\\lo");
    ASSERT_GE(loopback, 0);
    rp::AdapterInfo lo("\\Device\\lo", 2);
    EXPECT_THROW(binding.open(lo.m_strName, 2, lo), rp::OpenError);
    EXPECT_FALSE(lo.m_bOpened);
    EXPECT_EQ(rp::EntryWord(&m_Table.Entry(loopback), 0), 0u);
    // A name filling its whole field is read within it.
    rp::PacketAdapterEntry& entry = const_cast<rp::PacketAdapterEntry&>(m_Table.Entry(loopback));
    std::memset(entry.m_Bytes + rp::kEntryName, 'A', rp::kAdapterNameSize);
    rp::PacketDll fresh;
    rp::AdapterInfo longName(std::string(rp::kAdapterNameSize + 8, 'A'), 2);
    EXPECT_THROW(fresh.open(longName.m_strName, 2, longName), rp::OpenError);
    EXPECT_EQ(fresh.m_nEntryIndex, -1);
    rp::setAdapterTable(nullptr, 0, nullptr, nullptr);
    EXPECT_THROW(binding.open(kReplay, 2, info), rp::OpenError);
}

uint32_t SentOneWithError(rp::PacketAdapterEntry*, const void* const*, const uint32_t*, uint32_t, uint32_t,
                          uint32_t* sent) {
    *sent = 1;
    return rp::kDllSystemError;
}
uint32_t SentNone(rp::PacketAdapterEntry*, const void* const*, const uint32_t*, uint32_t, uint32_t, uint32_t* sent) {
    *sent = 0;
    return rp::kDllSystemError;
}

TEST_F(DriverTest, SendCountsAsDoneWhenTheFrameWentOut) {
    std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kReplay, 5);
    driver->open(true, false);
    EXPECT_FALSE(driver->adapterInfo().m_bReceiveCreated);
    EXPECT_TRUE(driver->adapterInfo().m_bTransmitOpen);
    driver->send(m_Frames[0].m_Bytes.data(), static_cast<uint32_t>(m_Frames[0].m_Bytes.size()));
    auto& moat = dynamic_cast<rp::MoatDriver&>(*driver);
    moat.m_pfnPacketTxSendArray = SentOneWithError;
    EXPECT_NO_THROW(driver->send("x", 1));
    moat.m_pfnPacketTxSendArray = SentNone;
    EXPECT_THROW(driver->send("x", 1), rp::RuntimeError);
    EXPECT_EQ(driver->getStatistics(), 0u);
    EXPECT_EQ(moat.statistics().m_qwInjected, 1u);
}

uint32_t g_ReceiveBytes = 0;
uint32_t RecordReceiveBytes(rp::PacketAdapterEntry*, uint32_t bytes, uint32_t, uint32_t) {
    g_ReceiveBytes = bytes;
    return 0;
}
uint32_t RefuseClose(rp::PacketAdapterEntry*) { return rp::kDllSystemError; }

TEST_F(DriverTest, ReceiveBufferSizeFollowsParameterBindingAndLinkSpeed) {
    auto startWith = [this](const char* parameter, uint32_t bindingSize) {
        std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kReplay, 2);
        auto& moat = dynamic_cast<rp::MoatDriver&>(*driver);
        moat.m_pfnPacketCreateRx = RecordReceiveBytes;
        moat.m_dwReceiveBufferSize = bindingSize;
        driver->setParameter("capturebuffersize", parameter);
        driver->open(true, false);
        return g_ReceiveBytes;
    };
    EXPECT_EQ(startWith("512k", 0x200000), 524288u);
    EXPECT_EQ(startWith("0", 0x200000), 0x200000u);
    // 1 Gbit/s gives an eighth of it in bytes, held under the ceiling.
    EXPECT_EQ(startWith("0", 0), 62500000u);
}

TEST_F(DriverTest, MissingOrFailingEntryPointsAreReported) {
    std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kReplay, 2);
    auto& moat = dynamic_cast<rp::MoatDriver&>(*driver);
    auto startCapture = moat.m_pfnPacketStartCapture;
    moat.m_pfnPacketStartCapture = nullptr;
    EXPECT_THROW(driver->open(true, false), rp::RuntimeError);
    moat.m_pfnPacketStartCapture = startCapture;
    driver->open(true, false);
    ASSERT_TRUE(driver->readFrame(driver->frame()));
    auto free = moat.m_pfnPacketFree;
    moat.m_pfnPacketFree = nullptr;
    EXPECT_EQ(driver->freeFrame(driver->frame()), rp::kDllNotSupported);
    moat.m_pfnPacketFree = free;
    EXPECT_EQ(driver->freeFrame(driver->frame()), 0u);
    // A buffer that will not close leaves the adapter open and says so.
    auto closeRx = moat.m_pfnPacketCloseRx;
    moat.m_pfnPacketCloseRx = RefuseClose;
    EXPECT_THROW(driver->stop(), rp::RuntimeError);
    EXPECT_FALSE(driver->adapterInfo().m_bStarted);
    EXPECT_TRUE(driver->adapterInfo().m_bOpened);
    moat.m_pfnPacketCloseRx = closeRx;
}

std::vector<uint32_t> g_InitCalls;
uint32_t g_InitAnswers[2];
uint32_t FakeInit(const uint32_t* block) {
    g_InitCalls.push_back(block[2]);
    return g_InitAnswers[g_InitCalls.size() - 1];
}

TEST(PacketInitTest, RefusedInitIsRetriedOnceWithoutTheLastWord) {
    g_InitAnswers[0] = rp::kDllAlreadyInitialised;
    rp::PacketDllLoader::callPacketInit(FakeInit);
    EXPECT_EQ(g_InitCalls, std::vector<uint32_t>{12});
    g_InitCalls.clear();
    g_InitAnswers[0] = 5;
    g_InitAnswers[1] = 0;
    rp::PacketDllLoader::callPacketInit(FakeInit);
    EXPECT_EQ(g_InitCalls, (std::vector<uint32_t>{12, 0}));
    g_InitCalls.clear();
    g_InitAnswers[1] = 5;
    EXPECT_THROW(rp::PacketDllLoader::callPacketInit(FakeInit), rp::ResourceError);
}

// A library whose initialisation was refused is let go, so the next use
// loads and initialises it again; it was kept as though initialised, and
// only a restart of the process tried it again.
TEST(PacketInitTest, LibraryThatRefusedInitIsInitialisedAtTheNextUse) {
    rp::PacketDllLoader& loader = rp::PacketDllLoader::instance();
    // The library the other tests bound stays as it was.
    void* const pKeptModule = loader.m_hModule;
    const rp::PacketInitFn pfnKeptInit = loader.m_pfnPacketInit;
    const rp::PacketTermFn pfnKeptTerm = loader.m_pfnPacketTerm;
    const std::string strKeptName = loader.m_strFileName;
    loader.m_hModule = nullptr;
    loader.m_strFileName = HW_REFUSING_PACKET_INIT;

    ::setenv("HW_TEST_PACKET_INIT_REFUSES", "1", 1);
    EXPECT_THROW(loader.initialise(0), rp::ResourceError);
    EXPECT_EQ(nullptr, loader.module());
    ::unsetenv("HW_TEST_PACKET_INIT_REFUSES");
    EXPECT_NO_THROW(loader.initialise(0));
    ASSERT_NE(nullptr, loader.module());
    auto accepted = reinterpret_cast<int (*)()>(rp::getProcAddress(loader.module(), "RefusingPacketInitAccepted"));
    ASSERT_NE(nullptr, accepted);
    EXPECT_EQ(1, accepted());

    rp::freeLibrary(loader.m_hModule);
    loader.m_hModule = pKeptModule;
    loader.m_pfnPacketInit = pfnKeptInit;
    loader.m_pfnPacketTerm = pfnKeptTerm;
    loader.m_strFileName = strKeptName;
}

TEST_F(DriverTest, ParametersParseSizesAndLevels) {
    std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kReplay, 2);
    std::string value;
    driver->getParameter("capturebuffersize", value);
    EXPECT_EQ(value, "null");
    driver->setParameter("capturebuffersize", "2m");
    EXPECT_EQ(driver->adapterInfo().m_dwCaptureBufferSize, 2097152u);
    driver->setParameter("capturebuffersize", "512K");
    driver->setParameter("capturebuffersize", "0");
    driver->getParameter("capturebuffersize", value);
    EXPECT_EQ(value, "524288");
    driver->setParameter("tracelevel", "-5");
    EXPECT_EQ(rp::traceLevel(), 200);
    uint32_t size = 7;
    {
        hwtest::EnvironmentOverride big("QOR_CAPTURE_BUFSZ", "100m");
        EXPECT_TRUE(rp::Driver::captureBufferFromEnvironment(size));
        EXPECT_EQ(size, 62500000u);
    }
    hwtest::EnvironmentOverride zero("QOR_CAPTURE_BUFSZ", "0");
    EXPECT_TRUE(rp::Driver::captureBufferFromEnvironment(size));
    EXPECT_EQ(size, 0u);
}

TEST_F(DriverTest, RawQueryReadsAPrivateRecord) {
    rp::RawAdapterInfo raw;
    std::string address;
    uint32_t speed = 0;
    uint32_t medium = 99;
    raw.query(kReplay, address, speed, medium);
    EXPECT_EQ(address, "02-00-5E-00-00-01");
    EXPECT_EQ(speed, 1000000000u);
    EXPECT_EQ(medium, 0u);
    EXPECT_THROW(raw.query("\\Device\\nothere", address, speed, medium), rp::OpenError);
    EXPECT_THROW(raw.query(std::string(200, 'x'), address, speed, medium), rp::InvalidArgument);
}

TEST(FrameTest, DriverFlagsAndTimeWordsAreTranslated) {
    EXPECT_EQ(rp::Frame::flagBitsFromDll(0x1FF), 0x1FFu);
    EXPECT_EQ(rp::Frame::flagBitsFromDll(0x80), 1u << 5);
    EXPECT_EQ(rp::Frame::flagBitsFromDll(0x40), 1u << 8);
    EXPECT_EQ(rp::Frame::flagBitsFromDll(0x200), 0u);
    uint8_t record[64] = {};
    uint64_t count = 116444736012345670ull;
    rp::SetRecordWord(record, rp::kRecordFlags, 0x8);
    rp::SetRecordWord(record, rp::kRecordTime1, static_cast<uint32_t>(count));
    rp::SetRecordWord(record, rp::kRecordTime2, static_cast<uint32_t>(count >> 32));
    rp::Frame frame;
    frame.packet().m_dwFlagWord = 0xFFFF0000u;
    frame.setFromRecord(record, 1, 0, 3);
    EXPECT_EQ(frame.packet().m_dwSeconds, 1u);
    EXPECT_EQ(frame.packet().m_dwMicroseconds, 234567u);
    EXPECT_TRUE(frame.blocked());
    EXPECT_EQ(frame.packet().m_dwFlagWord, 0xFFFF0008u);
    frame.setFromRecord(record, 2, 0, 0);
    EXPECT_EQ(frame.packet().m_dwSeconds, static_cast<uint32_t>(count));
    frame.setEmpty(rp::kDllNoFrame);
    EXPECT_EQ(frame.packet().m_dwFlagWord, 0xFFFF0000u);
    EXPECT_EQ(frame.packet().m_dwMedium, 0u);
    EXPECT_EQ(frame.lengthMark(), -1);
}

}  // namespace
