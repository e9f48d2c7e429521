// A packet log on a file system of the test's own that fills and is freed
// again: the log stays on, goes on in the same file after its last whole
// record once there is room, keeps its place in the ring, and every frame
// handed to it is either in its files, whole and once, or counted in what
// it says as not logged.  The time of its tries is moved by hand.  Root,
// for the file system.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "qorCSFLib/FakeHost.h"
#include "qorPacketLogLib/qorPacketLog.h"
#include "support/ExternalCheck.h"
#include "support/ManualReportTime.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

// A frame numbered in its first four bytes.
struct NumberedFrame {
    NumberedFrame(uint32_t number, uint32_t length, uint32_t seconds) : bytes(length, '\0') {
        std::memcpy(bytes.data(), &number, sizeof number);
        for (uint32_t i = sizeof number; i < length; ++i) {
            bytes[i] = static_cast<char>((number + i) & 0xFF);
        }
        record = rp::PacketRecord{length, length, seconds, number % 1000000,
                                  reinterpret_cast<const uint8_t*>(bytes.data()), 0, 0, 0, 0};
    }
    std::string bytes;
    rp::PacketRecord record;
};

// The numbers of the frames a log file holds, read by this test's own
// reader of both formats; `problem` says where a record is not whole or
// not what was written.
std::vector<uint32_t> FrameNumbers(const std::string& path, std::string& problem) {
    const std::string bytes = hwtest::ReadWholeFile(path);
    const bool bPcap = path.size() > 4 && path.compare(path.size() - 4, 4, ".tcp") == 0;
    auto get = [&](size_t at, size_t width) {
        uint32_t value = 0;
        for (size_t i = 0; i < width; ++i)
            value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
        return value;
    };
    std::vector<uint32_t> numbers;
    size_t at = bPcap ? 24 : 41;
    if (bytes.size() < at) {
        problem = path + ": no header";
        return numbers;
    }
    while (at < bytes.size()) {
        const size_t header = bPcap ? 16 : 20;
        if (at + header > bytes.size()) {
            problem = path + ": a record header cut short at " + std::to_string(at);
            return numbers;
        }
        const uint32_t length = bPcap ? get(at + 8, 4) : get(at + 2, 2) - 14;
        if (at + header + length > bytes.size() || length < 4) {
            problem = path + ": a record cut short at " + std::to_string(at);
            return numbers;
        }
        const uint32_t number = get(at + header, 4);
        if (bytes.compare(at + header, length, NumberedFrame(number, length, 0).bytes) != 0) {
            problem = path + ": frame " + std::to_string(number) + " is not as written";
            return numbers;
        }
        numbers.push_back(number);
        at += header + length;
    }
    return numbers;
}

// What a log said it did not log: the counts of its return lines and of
// the line that closes a log still failing, or with a count unsaid.
uint64_t SaidNotLogged(const std::vector<std::string>& lines) {
    static const std::regex kCounted(
        "^packet log .* (is written again after [0-9]+ s; ([0-9]+) frames? (was|were) not logged|"
        "cannot be written: .*; ([0-9]+) frames? not logged, and it is closed so|"
        "was written again, but ([0-9]+) frames? (was|were) not logged).*");
    uint64_t total = 0;
    for (const std::string& line : lines) {
        std::smatch match;
        if (std::regex_match(line, match, kCounted)) {
            for (size_t i : {2, 4, 5})
                total += match[i].matched ? std::stoull(match[i].str()) : 0;
        }
    }
    return total;
}

class PacketLogOutageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a file system of its own";
        }
        // In a mount namespace of this thread's own, so nothing of it
        // outlives the test.
        ASSERT_EQ(0, ::unshare(CLONE_NEWNS)) << std::strerror(errno);
        ASSERT_EQ(0, ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) << std::strerror(errno);
        ASSERT_EQ(0, ::mount("hwtest", m_disk.Path().c_str(), "tmpfs", 0, "size=1m")) << std::strerror(errno);
        m_bMounted = true;
        m_log.SetLogger(&m_host);
    }
    void TearDown() override {
        if (m_bMounted)
            ::umount2(m_disk.Path().c_str(), MNT_DETACH);
    }

    void Configure(const char* pszSuffix, const char* pszKbytes, const char* pszFiles) {
        ASSERT_TRUE(m_log.SetParameter("fileprefix", m_disk.File("pkt").c_str()));
        ASSERT_TRUE(m_log.SetParameter("filesuffix", pszSuffix));
        ASSERT_TRUE(m_log.SetParameter("maxKbytes", pszKbytes));
        ASSERT_TRUE(m_log.SetParameter("maxfiles", pszFiles));
        m_log.ApplyParameters();
    }

    // Takes every free block of the file system.
    void Fill() {
        const int fd = ::open(m_disk.File("filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ASSERT_GE(fd, 0);
        const std::string chunk(65536, 'f');
        for (size_t size : {size_t{65536}, size_t{4096}, size_t{1}}) {
            while (::write(fd, chunk.data(), size) > 0) {
            }
        }
        ::close(fd);
    }
    void Free() { fs::remove(m_disk.File("filler")); }

    // The numbers of every frame in the ring's files, in the ring's order
    // (nothing in these runs wraps it).
    std::vector<uint32_t> LoggedNumbers(const char* pszSuffix, uint32_t dwFiles, std::string& problem) {
        std::vector<uint32_t> numbers;
        for (uint32_t i = 0; i < dwFiles && problem.empty(); ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "pkt%03u", i);
            const std::string path = m_disk.File(name + std::string(pszSuffix));
            if (fs::exists(path)) {
                const std::vector<uint32_t> more = FrameNumbers(path, problem);
                numbers.insert(numbers.end(), more.begin(), more.end());
            }
        }
        return numbers;
    }

    hwtest::EnvironmentOverride m_utc{"TZ", "UTC"};
    hwtest::ManualReportTime m_time;
    hwtest::ScratchDirectory m_disk;
    bool m_bMounted = false;
    RecordingServices m_host;
    qorPacketLog m_log;
};

}  // namespace

// The disk fills under the log, then is freed: the frames before are kept
// whole, the log says what it cannot write and, once there is room, its
// return, and capinfos and tshark read one file of every frame it took.
TEST_F(PacketLogOutageTest, FullDiskThenFreedGoesOnInTheSameFile) {
    ASSERT_NO_FATAL_FAILURE(Configure(".tcp", "4096", "2"));
    std::vector<NumberedFrame> frames;
    for (uint32_t n = 0; n < 100; ++n)
        frames.emplace_back(n, 4000, 1700000000 + n);
    // 30 frames reach the disk; then the disk is full, which the next
    // batch of frames (the log's buffer holds 64 of them) finds.
    for (uint32_t n = 0; n < 30; ++n)
        ASSERT_TRUE(m_log.Write(frames[n].record));
    m_log.CloseForAppend();
    ASSERT_NO_FATAL_FAILURE(Fill());
    uint32_t n = 30;
    while (n < 100 && m_log.Write(frames[n].record))
        ++n;
    ASSERT_LT(n, 100u) << "the buffer never reached the full disk";
    EXPECT_TRUE(m_log.Failing());
    EXPECT_TRUE(m_log.FailureBegan());
    const std::string file = m_disk.File("pkt000.tcp");
    EXPECT_TRUE(m_host.Logged("Error=112 writing packet to log file " + file +
                              ", Reason:There is not enough space on the disk."));
    EXPECT_EQ(1u, m_host.CountStartingWith("packet log " + file + " cannot be written: No space left on device; "));
    // Within the second, nothing is tried; with no room, a try fails quietly.
    for (++n; n < 70; ++n)
        EXPECT_FALSE(m_log.Write(frames[n].record));
    m_time.Advance(1);
    EXPECT_FALSE(m_log.Write(frames[n++].record));
    EXPECT_FALSE(m_log.FailureBegan());
    EXPECT_EQ(1u, m_host.CountStartingWith("packet log " + file + " cannot be written"));

    Free();
    // Half a record at the end, as a disk that could not cut it back leaves
    // it: cut off before the log goes on.
    const size_t nWhole = hwtest::ReadWholeFile(file).size();
    hwtest::WriteWholeFile(file, hwtest::ReadWholeFile(file) + std::string(16, '\x01') + frames[0].bytes.substr(0, 2000));
    EXPECT_FALSE(m_log.Write(frames[n++].record)) << "tried again only a second after the last try";
    m_time.Advance(1);
    for (; n < 100; ++n)
        ASSERT_TRUE(m_log.Write(frames[n].record)) << n;
    m_log.Close();
    const uint64_t qwNotLogged = SaidNotLogged(m_host.Texts());
    ASSERT_EQ(1u, m_host.CountStartingWith("packet log " + file + " is written again after 2 s; ")) << qwNotLogged;
    // What it said of the failure, a finding of the host's, is taken back.
    for (const std::string& text : m_host.Texts()) {
        if (text.rfind("packet log " + file + " cannot be written: No space left on device; ", 0) == 0) {
            EXPECT_EQ(std::vector<std::string>{"3:" + text}, m_host.Notices());
        }
    }

    std::string problem;
    const std::vector<uint32_t> numbers = FrameNumbers(file, problem);
    EXPECT_EQ("", problem);
    EXPECT_LT(nWhole, hwtest::ReadWholeFile(file).size());
    EXPECT_EQ(100u, numbers.size() + qwNotLogged);
    // Every frame from before the failure, none twice, every one after it.
    for (uint32_t i = 0; i < 30; ++i)
        EXPECT_EQ(i, numbers.at(i));
    EXPECT_EQ(99u, numbers.back());
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(numbers.end(), std::adjacent_find(numbers.begin(), numbers.end()));
    EXPECT_EQ(std::to_string(numbers.size()) + "\n",
              testing_support::RunCommand("capinfos -T -r -c '" + file + "' 2>&1 | cut -f2"));
    const std::string lengths = testing_support::RunCommand("tshark -r '" + file + "' -T fields -e frame.len 2>/dev/null");
    EXPECT_EQ(numbers.size() * 5, lengths.size()) << lengths;
    EXPECT_EQ(std::string::npos, lengths.find_first_not_of("4000\n")) << lengths;
}

// Random writes, fillings and freeings of the disk and moves of the clock,
// on a ring that rolls by size: whatever happens, every frame is in the
// files once, whole and in order, or counted as not logged, and the log
// comes back once there is room.  Seeds that ever failed stay in the list.
TEST_F(PacketLogOutageTest, EveryFrameIsLoggedOnceOrCountedAsNotLogged) {
    uint64_t qwFailures = 0;
    uint64_t qwReturns = 0;
    const char* pszSeeds = std::getenv("HW_PACKETLOG_SEEDS");
    const uint32_t dwSeeds = pszSeeds != nullptr ? static_cast<uint32_t>(std::atoi(pszSeeds)) : 30;
    for (uint32_t seed = 1; seed <= dwSeeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const char* pszSuffix = seed % 2 == 0 ? ".tcp" : ".enc";
        RecordingServices host;
        uint32_t dwWritten = 0;
        {
            qorPacketLog log;
            log.SetLogger(&host);
            ASSERT_TRUE(log.SetParameter("fileprefix", m_disk.File("pkt").c_str()));
            ASSERT_TRUE(log.SetParameter("filesuffix", pszSuffix));
            ASSERT_TRUE(log.SetParameter("maxKbytes", "48"));
            ASSERT_TRUE(log.SetParameter("maxfiles", "100"));
            log.ApplyParameters();
            bool bFull = false;
            for (int step = 0; step < 600; ++step) {
                const uint32_t dwPick = random() % 100;
                if (dwPick < 3 && !bFull) {
                    ASSERT_NO_FATAL_FAILURE(Fill());
                    bFull = true;
                } else if (dwPick < 6 && bFull) {
                    Free();
                    bFull = false;
                } else if (dwPick < 12) {
                    // Now and then past the minute between two reports.
                    m_time.Advance(dwPick == 11 ? 61 : random() % 3);
                } else {
                    NumberedFrame frame(dwWritten++, 60 + random() % 1455, 1700000000 + step);
                    log.Write(frame.record);
                }
            }
            // Room again, and a second later the log takes frames again.
            Free();
            m_time.Advance(1);
            NumberedFrame last(dwWritten++, 100, 1700001000);
            EXPECT_TRUE(log.Write(last.record));
            EXPECT_FALSE(log.Failing());
        }
        std::string problem;
        const std::vector<uint32_t> numbers = LoggedNumbers(pszSuffix, 100, problem);
        ASSERT_EQ("", problem);
        EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
        EXPECT_EQ(numbers.end(), std::adjacent_find(numbers.begin(), numbers.end()));
        ASSERT_FALSE(numbers.empty());
        EXPECT_EQ(dwWritten - 1, numbers.back());
        EXPECT_EQ(dwWritten, numbers.size() + SaidNotLogged(host.Texts()))
            << ::testing::PrintToString(host.Texts());
        for (const std::string& line : host.Texts()) {
            qwFailures += line.find(" cannot be written: ") != std::string::npos ? 1 : 0;
            qwReturns += line.find(" is written again after ") != std::string::npos ? 1 : 0;
        }
        for (const auto& entry : fs::directory_iterator(m_disk.Path()))
            fs::remove(entry.path());
    }
    // The runs did what they are for.
    EXPECT_GT(qwFailures, 2 * dwSeeds);
    EXPECT_GT(qwReturns, 2 * dwSeeds);
}
