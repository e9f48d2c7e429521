#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <sstream>

#include "qorCSFLib/FakeHost.h"
#include "qorPacketLogLib/qorPacketLog.h"
#include "support/ExternalCheck.h"
#include "support/TestUtil.h"

namespace {

// A frame whose bytes carry its number, so a reader can tell frames apart.
struct TestFrame {
    TestFrame(uint32_t number, uint32_t captured, uint32_t wire, uint32_t seconds, uint32_t micros)
        : bytes(captured, '\0') {
        for (uint32_t i = 0; i < captured; ++i) {
            bytes[i] = static_cast<char>((number * 7 + i) & 0xFF);
        }
        record = rp::PacketRecord{
            wire, captured, seconds, micros, reinterpret_cast<const uint8_t*>(bytes.data()),
            0,    0,        0,       0};
    }
    std::string bytes;
    rp::PacketRecord record;
};

// "epoch<TAB>wire length<TAB>captured length" per frame, as tshark reads
// it; a file the reader finds damaged fails the command.
std::string Summary(const std::string& path) {
    return testing_support::RunCommand(
        "TZ=UTC tshark -r '" + path +
        "' -T fields -e frame.time_epoch -e frame.len -e frame.cap_len 2>/dev/null");
}

// The frame bytes as tcpdump reads them, one hex text per frame.
std::vector<std::string> FrameHex(const std::string& path) {
    std::istringstream lines(
        testing_support::RunCommand("tcpdump -r '" + path + "' -nn -xx 2>/dev/null"));
    std::vector<std::string> frames;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("\t0x", 0) != 0) {
            frames.emplace_back();
            continue;
        }
        for (char c : line.substr(line.find(':') + 1)) {
            if (c != ' ') {
                frames.back() += c;
            }
        }
    }
    return frames;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

class PacketLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::tzset();
        ASSERT_FALSE(hwtest::FindProgram("tshark").empty());
        ASSERT_FALSE(hwtest::FindProgram("tcpdump").empty());
        log.SetLogger(&host);
    }
    void Configure(const std::string& prefix, const char* suffix, const char* kbytes,
                   const char* files) {
        ASSERT_TRUE(log.SetParameter("fileprefix", (scratch.Path() + "/" + prefix).c_str()));
        ASSERT_TRUE(log.SetParameter("filesuffix", suffix));
        ASSERT_TRUE(log.SetParameter("maxKbytes", kbytes));
        ASSERT_TRUE(log.SetParameter("maxfiles", files));
        log.ApplyParameters();
    }
    // Local times in these files are written and read in UTC.
    hwtest::EnvironmentOverride utc{"TZ", "UTC"};
    hwtest::ScratchDirectory scratch;
    RecordingServices host;
    qorPacketLog log;
};

// Hand-worked bytes: 2023-11-14 22:13:20 UTC, two frames, the second on
// the next day (the tick count keeps going past midnight).
TEST_F(PacketLogTest, SnifferFileHasExactHeaderTicksAndTrueSize) {
    Configure("log", ".enc", "1400", "10");
    TestFrame cut(1, 4, 60, 1700000000, 123);
    TestFrame whole(2, 3, 3, 1700086400, 1);
    ASSERT_TRUE(log.Write(cut.record));
    ASSERT_TRUE(log.Write(whole.record));
    log.Close();
    EXPECT_EQ(Hex(hwtest::ReadWholeFile(log.CurrentFileName())),
              "5452534e494646206461746120202020"
              "1a" "0100" "1200" "0000" "0100" "1000" "aab1" "6e57"
              "04" "01" "01" "04" "00" "00" "00000000"
              "0400" "1200" "0000" "3d902f50" "09" "00" "0400" "00" "18" "3c00" "0000" "0708090a"
              "0400" "1100" "0000" "00401b5f" "13" "00" "0300" "00" "18" "0000" "0000" "0e0f10");
    // The format counts in 2-microsecond ticks.
    EXPECT_EQ(Summary(log.CurrentFileName()),
              "1700000000.000122000\t60\t4\n1700086400.000000000\t3\t3\n");

    // Reopening empties the file; a frame beyond the 16-bit record length
    // is cut to fit and keeps its true size.
    TestFrame jumbo(3, 65530, 65530, 1700000000, 124);
    ASSERT_TRUE(log.Write(jumbo.record));
    log.Close();
    EXPECT_EQ(Summary(log.CurrentFileName()), "1700000000.000124000\t65530\t65521\n");
}

// A reader that knows the format must get back every frame with its time,
// its lengths and its bytes, frames too long for the format included.
TEST_F(PacketLogTest, LibpcapFileReadsBackEveryFrameExactly) {
    Configure("log", ".tcp", "4096", "2");
    std::vector<TestFrame> frames;
    frames.emplace_back(1, 60, 60, 1700000000, 0);
    frames.emplace_back(2, 1514, 1514, 1700000001, 999999);
    frames.emplace_back(3, 96, 1500, 1700000002, 42);
    frames.emplace_back(4, 70000, 70000, 1700000003, 7);
    std::string expected;
    for (const TestFrame& frame : frames) {
        ASSERT_TRUE(log.Write(frame.record));
        uint32_t captured = std::min<uint32_t>(frame.record.m_dwCapturedLength, 65535);
        char line[96];
        std::snprintf(line, sizeof line, "%u.%06u000\t%u\t%u\n", frame.record.m_dwSeconds,
                      frame.record.m_dwMicroseconds, frame.record.m_dwWireLength, captured);
        expected += line;
    }
    log.Close();
    EXPECT_EQ(Summary(log.CurrentFileName()), expected);
    std::vector<std::string> hex = FrameHex(log.CurrentFileName());
    ASSERT_EQ(hex.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(hex[i], Hex(frames[i].bytes.substr(0, 65535))) << "frame " << i;
    }
}

// 2,048-byte files of 100-byte frames hold 17 frames each (120 counted per
// frame); with three files the ring keeps the newest frames, whole.
TEST_F(PacketLogTest, RingRollsAtTheLimitWithoutSplittingOrLosingFrames) {
    Configure("ring", ".tcp", "2", "3");
    for (uint32_t n = 0; n < 60; ++n) {
        TestFrame frame(n, 100, 100, 1700000000 + n, 0);
        ASSERT_TRUE(log.Write(frame.record));
    }
    TestFrame big(99, 3000, 3000, 1700000100, 0);
    ASSERT_TRUE(log.Write(big.record));
    log.Close();
    // Frames 0-16 → 000, 17-33 → 001, 34-50 → 002, 51-59 → 000, big → 001.
    std::string base = scratch.Path() + "/ring";
    EXPECT_EQ(FrameHex(base + "000.tcp").size(), 9u);
    EXPECT_EQ(FrameHex(base + "001.tcp").size(), 1u);
    std::vector<std::string> third = FrameHex(base + "002.tcp");
    ASSERT_EQ(third.size(), 17u);
    EXPECT_EQ(third.front(), Hex(TestFrame(34, 100, 100, 0, 0).bytes));
    EXPECT_EQ(third.back(), Hex(TestFrame(50, 100, 100, 0, 0).bytes));
    EXPECT_FALSE(::access((base + "003.tcp").c_str(), F_OK) == 0);
}

TEST_F(PacketLogTest, FirstWriteReplacesTheLeastRecentlyWrittenFile) {
    for (int i = 0; i < 10; ++i) {
        std::string name = scratch.File("log00" + std::to_string(i) + ".enc");
        hwtest::WriteWholeFile(name, std::string(500, 'x'));
        struct utimbuf times {
            1600000000 + (i == 4 ? 0 : 1000 + i), 1600000000 + (i == 4 ? 0 : 1000 + i)
        };
        ASSERT_EQ(::utime(name.c_str(), &times), 0);
    }
    ASSERT_TRUE(log.SetParameter("fileprefix", scratch.File("log").c_str()));
    log.ApplyParameters();
    EXPECT_EQ(log.CurrentFileName(), scratch.File("log004.enc"));
    TestFrame frame(1, 10, 10, 1700000000, 0);
    ASSERT_TRUE(log.Write(frame.record));
    log.Close();
    EXPECT_EQ(hwtest::ReadWholeFile(log.CurrentFileName()).size(), 41u + 20 + 10);
}

TEST_F(PacketLogTest, BadParameterValuesAreRefusedAndOthersKept) {
    for (const char* bad : {"0", "-1", "abc", "2x", "", "4194304"}) {
        EXPECT_FALSE(log.SetParameter("maxKbytes", bad)) << bad;
    }
    EXPECT_FALSE(log.SetParameter("maxFiles", "3"));
    EXPECT_TRUE(
        host.Logged("Invalid Packet Log Parameter or Parameter Value, Name-maxKbytes, Value-abc"));
    EXPECT_TRUE(log.SetParameter("maxKbytes", "0x1"));
    EXPECT_TRUE(log.SetParameter("maxfiles", "010"));
    ASSERT_TRUE(log.SetParameter("fileprefix", scratch.File("oct").c_str()));
    log.ApplyParameters();
    for (uint32_t n = 0; n < 9 * 10; ++n) {
        TestFrame frame(n, 80, 80, 1700000000, 0);
        ASSERT_TRUE(log.Write(frame.record));
    }
    // 1,024 bytes hold ten 100-byte counts; eight files in the ring.
    EXPECT_EQ(log.FileIndex(), 0u);
    EXPECT_EQ(log.CurrentFileName(), scratch.File("oct000.enc"));
}

TEST_F(PacketLogTest, DatedFileIsNamedByHourAndContinuedAfterCloseForAppend) {
    const auto Hour = [] {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H", std::gmtime(&now));
        return std::string(stamp);
    };
    // Within one hour of the wall clock: an hour that turns while the log
    // writes starts another file, so such a run is made again.
    for (int nRun = 0; nRun < 2; ++nRun) {
        const std::string strBefore = Hour();
        Configure("pkt" + std::to_string(nRun) + "%d", ".tcp", "1400", "10");
        TestFrame frame(1, 60, 60, 1700000000, 0);
        ASSERT_TRUE(log.Write(frame.record));
        log.CloseForAppend();
        ASSERT_TRUE(log.Write(frame.record));
        log.Close();
        if (Hour() != strBefore && nRun == 0) {
            continue;
        }
        EXPECT_EQ(log.CurrentFileName(), scratch.File("pkt" + std::to_string(nRun) + "%d" + strBefore + ".tcp"));
        EXPECT_EQ(FrameHex(log.CurrentFileName()).size(), 2u);
        break;
    }
}

TEST_F(PacketLogTest, UnwritableTargetsGiveAClearStatus) {
    hwtest::WriteWholeFile(scratch.File("plain"), "x");
    Configure("plain/log", ".tcp", "1400", "10");
    TestFrame frame(1, 60, 60, 1700000000, 0);
    EXPECT_FALSE(log.Write(frame.record));
    std::vector<std::string> lines = host.Texts();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].find("Error="), 0u);
    EXPECT_NE(
        lines[1].find("opening packet log file " + scratch.File("plain/log000.tcp") + ", Reason:"),
        std::string::npos);
    EXPECT_EQ(lines[2], "packet log " + scratch.File("plain/log000.tcp") +
                            " cannot be written: it cannot be opened: Not a directory; 1 frame not logged");

    host.Forget();
    Configure("log", ".cap", "1400", "10");
    EXPECT_FALSE(log.Write(frame.record));
    EXPECT_TRUE(host.Logged("Error=0 writing packet to log file " + scratch.File("log000.cap")));
}

TEST_F(PacketLogTest, AnotherAccountsLinkAtTheFileNameIsNotWrittenThrough) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a link to another account";
    }
    hwtest::ScratchDirectory elsewhere;
    const std::string target = elsewhere.File("target");
    hwtest::WriteWholeFile(target, "precious");
    const std::string name = scratch.File("theirs000.tcp");
    ASSERT_EQ(::symlink(target.c_str(), name.c_str()), 0);
    ASSERT_EQ(::lchown(name.c_str(), 65534, static_cast<gid_t>(-1)), 0);
    Configure("theirs", ".tcp", "100000", "1");
    TestFrame frame(1, 100, 100, 1700000000, 0);
    EXPECT_FALSE(log.Write(frame.record));
    EXPECT_TRUE(
        host.Logged("Error 5 opening file " + name + " (" + name +
                    " is a symbolic link another account owns (nobody, uid 65534); it is not "
                    "followed)"))
        << ::testing::PrintToString(host.Texts());
    EXPECT_EQ("precious", hwtest::ReadWholeFile(target));
}

TEST_F(PacketLogTest, FullDiskFailsTheWriteAndKeepsOnlyWholeFrames) {
    ASSERT_EQ(::symlink("/dev/full", scratch.File("full000.enc").c_str()), 0);
    Configure("full", ".enc", "100000", "1");
    TestFrame frame(1, 1000, 1000, 1700000000, 0);
    int written = 0;
    while (log.Write(frame.record) && written < 10000) {
        ++written;
    }
    EXPECT_LT(written, 10000);
    EXPECT_TRUE(host.Logged("Error=112 writing packet to log file " + scratch.File("full000.enc") +
                            ", Reason:There is not enough space on the disk."))
        << ::testing::PrintToString(host.Texts());

    // A file size limit makes the disk take part of a batch.
    host.Forget();
    Configure("limited", ".tcp", "100000", "1");
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 300000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    written = 0;
    while (log.Write(frame.record) && written < 10000) {
        ++written;
    }
    log.Close();
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, SIG_DFL);
    std::string name = scratch.File("limited000.tcp");
    size_t size = hwtest::ReadWholeFile(name).size();
    EXPECT_EQ((size - 24) % 1016, 0u) << size;
    EXPECT_LE(static_cast<int>((size - 24) / 1016), written);
    EXPECT_EQ(FrameHex(name).size(), (size - 24) / 1016);
}

}  // namespace
