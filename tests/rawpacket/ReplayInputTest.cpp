// The replay adapter's capture file as outside input and its output files
// as outputs that can fail: a damaged capture is told in words, naming the
// file and the record, and read as far as it soundly can be; a name that
// is not a regular file is refused without being opened; an output that
// cannot be made or written is named with the system's reason; a capture
// replaced on disk starts over without losing what the outputs hold.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ReplayDriverTest.h"
#include "ReplayFixture.h"
#include "rawpacket/MoatDriver.h"
#include "rawpacket/RpErrors.h"
#include "support/ExternalCheck.h"
#include "support/TestUtil.h"
#include "support/Watchdog.h"

namespace {

constexpr uid_t kNobody = 65534;

std::string Records(const std::vector<rptest::TestFrame>& frames) {
    return rptest::PcapBytes(frames).substr(24);
}

std::string Word(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

// A record of `length` bytes of `fill`, longer than any frame when
// `length` is past 262,144.
std::string BigRecord(uint32_t length, char fill = 'B') {
    return Word(1700000500u) + Word(7) + Word(length) + Word(length) + std::string(length, fill);
}

// What a tool that reads captures says of `path` (its output and errors).
std::string Capinfos(const std::string& path) {
    return testing_support::RunCommand("capinfos -c '" + path + "' 2>&1; true");
}

class ReplayInputTest : public rptest::ReplayDriverTest {
protected:
    ReplayInputTest() : ReplayDriverTest(6) {}

    // Why the replay adapter cannot be opened, or "opened".
    std::string Refusal() {
        try {
            OpenReplay();
        } catch (const std::exception& error) {
            return error.what();
        }
        return "opened";
    }

    // What the driver reads until the replay goes quiet: "frame N" (its
    // captured length) for each frame, passed on, and each notice's words.
    static std::vector<std::string> ReadAll(rp::Driver& driver) {
        std::vector<std::string> seen;
        rp::Frame& frame = driver.frame();
        for (;;) {
            if (driver.readFrame(frame)) {
                seen.push_back("frame " + std::to_string(frame.packet().m_dwCapturedLength));
                driver.freeFrame(frame);
            } else if (frame.status() == rp::kDllAdapterNotice) {
                seen.push_back(frame.text());
            } else {
                EXPECT_EQ(frame.status(), rp::kDllNoFrame);
                EXPECT_TRUE(frame.text().empty());
                return seen;
            }
        }
    }
    static std::string Framed(const rptest::TestFrame& frame) {
        return "frame " + std::to_string(frame.m_Bytes.size());
    }
    std::string Damaged() const { return "the capture file " + m_strInput + " is damaged: "; }
};

TEST_F(ReplayInputTest, CaptureCutShortInARecordIsToldAndEveryWholeRecordBeforeItIsRead) {
    const std::vector<rptest::TestFrame> frames(m_Frames.begin(), m_Frames.begin() + 4);
    const std::string whole = rptest::PcapBytes(frames);
    const size_t lastAt = rptest::PcapBytes({frames[0], frames[1], frames[2]}).size();
    const size_t lastLength = frames[3].m_Bytes.size();
    const struct {
        size_t m_nKept;  // bytes of the last record left in the file
        std::string m_strWhat;
    } cases[] = {
        {16 + lastLength - 5, "record 4 (at byte " + std::to_string(lastAt) + ") is cut short: it holds " +
                                  std::to_string(lastLength) + " bytes and the file ends after " +
                                  std::to_string(lastLength - 5) + " of them"},
        {7, "record 4 (at byte " + std::to_string(lastAt) + ") is cut short: the file ends 7 bytes into its "
            "16-byte header"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_strWhat);
        // Each case plays a capture of its own name, from its start.
        m_strInput = m_Scratch.File("cut" + std::to_string(c.m_nKept) + ".pcap");
        hwtest::EnvironmentOverride input("HW_PACKET_REPLAY", m_strInput.c_str());
        hwtest::WriteWholeFile(m_strInput, whole.substr(0, lastAt + c.m_nKept));
        if (!hwtest::FindProgram("capinfos").empty()) {
            EXPECT_NE(Capinfos(m_strInput).find("cut short in the middle of a packet"), std::string::npos);
        }
        std::unique_ptr<rp::Driver> driver = OpenReplay();
        EXPECT_EQ(ReadAll(*driver),
                  (std::vector<std::string>{Framed(frames[0]), Framed(frames[1]), Framed(frames[2]),
                                            Damaged() + c.m_strWhat + "; the replay ends there, after record 3"}));
        // Told once: the adapter goes on as a quiet wire.
        EXPECT_EQ(ReadAll(*driver), std::vector<std::string>{});
    }
}

TEST_F(ReplayInputTest, OversizedRecordIsSkippedOnlyWhenWholeRecordsFollowIt) {
    const size_t bigAt = rptest::PcapBytes({m_Frames[0]}).size();
    const std::string told =
        "record 2 (at byte " + std::to_string(bigAt) + ") holds 300054 bytes, more than any frame (262144 at most)";
    const std::string skipped = told + "; the replay skips it and goes on with record 3";
    const std::string ended = told + ", and what follows it is not a record; the replay ends there, after record 1";
    const std::string start = rptest::PcapBytes({m_Frames[0]});
    const struct {
        const char* m_pszCase;
        std::string m_strBytes;
        std::vector<std::string> m_Seen;
    } cases[] = {
        {"the last record", start + BigRecord(300054), {Framed(m_Frames[0]), skipped}},
        // The file ends inside it: its length is not the record's.
        {"cut", start + BigRecord(300054).substr(0, 5000), {Framed(m_Frames[0]), ended}},
        // Its length leads into bytes that were never written, not onto a
        // record: the frames after them are not guessed at.
        {"zeros after it", start + BigRecord(300054) + std::string(64, '\0') + Records({m_Frames[1]}),
         {Framed(m_Frames[0]), ended}},
        // Its length leads into the middle of the next record's data.
        {"short", start + BigRecord(300054).substr(0, 16 + 300000) + Records({m_Frames[1], m_Frames[2]}),
         {Framed(m_Frames[0]), ended}},
        {"records follow", start + BigRecord(300054) + Records({m_Frames[1], m_Frames[2]}),
         {Framed(m_Frames[0]), skipped, Framed(m_Frames[1]), Framed(m_Frames[2])}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_pszCase);
        m_strInput = m_Scratch.File(std::string(c.m_pszCase) + ".pcap");
        hwtest::EnvironmentOverride input("HW_PACKET_REPLAY", m_strInput.c_str());
        hwtest::WriteWholeFile(m_strInput, c.m_strBytes);
        std::vector<std::string> expected = c.m_Seen;
        expected[1] = Damaged() + expected[1];
        std::unique_ptr<rp::Driver> driver = OpenReplay();
        EXPECT_EQ(ReadAll(*driver), expected);
    }
    // Another reader of captures stops at the oversized record too; the
    // frames passed on make a capture it reads whole.
    if (!hwtest::FindProgram("capinfos").empty()) {
        const std::string input = m_Scratch.File("records follow.pcap");
        EXPECT_NE(Capinfos(input).find("bigger than maximum of 262144"), std::string::npos) << Capinfos(input);
        EXPECT_EQ(testing_support::RunCommand("capinfos -c -M '" + m_Scratch.File("replay0.pass.pcap") +
                                              "' | grep 'Number of packets'"),
                  "Number of packets:   3\n");
    }
}

TEST_F(ReplayInputTest, ManyDamagedRecordsAreToldTenTimesThenCounted) {
    std::string bytes = rptest::PcapBytes({m_Frames[0]});
    for (int i = 0; i < 13; ++i) {
        bytes += BigRecord(262145 + static_cast<uint32_t>(i)) + Records({m_Frames[1]});
    }
    hwtest::WriteWholeFile(m_strInput, bytes);
    std::unique_ptr<rp::Driver> driver = OpenReplay();
    const std::vector<std::string> seen = ReadAll(*driver);
    size_t frames = 0;
    std::vector<std::string> notices;
    for (const std::string& item : seen) {
        if (item.rfind("frame ", 0) == 0) {
            ++frames;
        } else {
            notices.push_back(item);
        }
    }
    EXPECT_EQ(frames, 14u);
    ASSERT_EQ(notices.size(), 11u);
    EXPECT_NE(notices[0].find("record 2 "), std::string::npos) << notices[0];
    EXPECT_NE(notices[9].find("goes on with record 21 (further damaged records are skipped and counted)"),
              std::string::npos)
        << notices[9];
    EXPECT_EQ(notices[10], Damaged() + "13 damaged records were skipped in all; the replay has read every other record");
}

TEST_F(ReplayInputTest, NameThatIsNotARegularFileIsRefusedWithoutBeingOpened) {
    hwtest::Watchdog watchdog("refusing a capture that is not a regular file", std::chrono::seconds(60));
    const std::string fifo = m_Scratch.File("capture.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A writer waits for a reader: a replay that opened the FIFO would let
    // it write and then cut it off.
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        const int fd = ::open(fifo.c_str(), O_WRONLY);  // raw open: the test's own writer of the FIFO
        const char payload[] = "not read by the replay";
        ::_exit(fd >= 0 && ::write(fd, payload, sizeof payload) == static_cast<ssize_t>(sizeof payload) ? 0 : 3);
    }
    const std::string folder = m_Scratch.File("folder.pcap");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    // A link another account made, in a folder others may write into.
    const std::string shared = m_Scratch.File("shared");
    ASSERT_EQ(::mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string link = shared + "/link.pcap";
    ASSERT_EQ(::symlink(m_strInput.c_str(), link.c_str()), 0);
    ASSERT_EQ(::lchown(link.c_str(), kNobody, kNobody), 0);
    const std::string notRegular =
        " root owns (uid 0); it is not read: the replay reads regular files only, so write the capture into one and "
        "name that";
    const struct {
        std::string m_strPath;
        std::string m_strWords;
    } cases[] = {
        {fifo, " is a FIFO" + notRegular},
        {folder, " is a directory" + notRegular},
        {link, " is a symbolic link another account owns (nobody, uid " + std::to_string(kNobody) +
                   "); it is not followed: name the file itself"},
    };
    for (const auto& c : cases) {
        hwtest::EnvironmentOverride input("HW_PACKET_REPLAY", c.m_strPath.c_str());
        m_Table.Fill();
        EXPECT_EQ(Refusal().find("Cannot open \\Device\\replay0: the capture file " + c.m_strPath + c.m_strWords), 0u)
            << Refusal();
    }
    // The writer still waits; read, it wrote everything and ended well.
    int status = 0;
    EXPECT_EQ(::waitpid(writer, &status, WNOHANG), 0);
    const int fd = ::open(fifo.c_str(), O_RDONLY);  // raw open: the test is the FIFO's reader
    ASSERT_GE(fd, 0);
    char buffer[64];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
    ::close(fd);
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(ReplayInputTest, OutputThatCannotBeMadeIsNamedWithTheReason) {
    const std::string missing = m_Scratch.File("none");
    {
        hwtest::EnvironmentOverride output("HW_PACKET_REPLAY_OUT", missing.c_str());
        EXPECT_EQ(Refusal(), "Cannot open \\Device\\replay0: the replay's output folder " + missing +
                                 " (HW_PACKET_REPLAY_OUT) does not exist (No such file or directory): make it, or "
                                 "name another");
    }
    {
        hwtest::EnvironmentOverride output("HW_PACKET_REPLAY_OUT", m_strInput.c_str());
        EXPECT_EQ(Refusal(), "Cannot open \\Device\\replay0: the replay's output folder " + m_strInput +
                                 " (HW_PACKET_REPLAY_OUT) is not a folder: name a folder");
    }
    // An output name that is another account's link, in a folder others
    // may write into, is not written through.
    const std::string shared = m_Scratch.File("shared");
    ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
    const std::string target = m_Scratch.File("precious");
    hwtest::WriteWholeFile(target, "precious");
    const std::string pass = shared + "/replay0.pass.pcap";
    ASSERT_EQ(::symlink(target.c_str(), pass.c_str()), 0);
    ASSERT_EQ(::lchown(pass.c_str(), kNobody, kNobody), 0);
    hwtest::EnvironmentOverride output("HW_PACKET_REPLAY_OUT", shared.c_str());
    EXPECT_EQ(Refusal().find("Cannot open \\Device\\replay0: the replay's output file cannot be made: " + pass +
                             " is a symbolic link another account owns"),
              0u)
        << Refusal();
    EXPECT_EQ(hwtest::ReadWholeFile(target), "precious");
}

// Files this process writes are held to `bytes`; writing past it fails
// with "File too large" instead of ending the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_Old);
        m_OldSignal = ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, m_Old.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_Old);
        ::signal(SIGXFSZ, m_OldSignal);
    }

private:
    rlimit m_Old{};
    sighandler_t m_OldSignal = SIG_DFL;
};

TEST_F(ReplayInputTest, OutputThatCannotBeWrittenIsToldOnceAndKeepsWholeRecords) {
    const std::string pass = m_Scratch.File("replay0.pass.pcap");
    std::vector<std::string> seen;
    {
        std::unique_ptr<rp::Driver> driver = OpenReplay();
        // The pass file takes two records and half of the third.
        const size_t room = rptest::PcapBytes({m_Frames[0], m_Frames[1]}).size() + 40;
        FileSizeLimit limit(room);
        seen = ReadAll(*driver);
    }
    std::vector<std::string> expected;
    for (size_t i = 0; i < m_Frames.size(); ++i) {
        expected.push_back(Framed(m_Frames[i]));
        if (i == 2) {
            // Said after the frame whose free met the failure.
            expected.push_back("the replay's output file cannot be written: " + pass +
                               ": File too large; the frames it would hold from now on are not kept");
        }
    }
    EXPECT_EQ(seen, expected);
    // What the file holds is a capture of whole records.
    EXPECT_EQ(hwtest::ReadWholeFile(pass), rptest::PcapBytes({m_Frames[0], m_Frames[1]}));
}

TEST_F(ReplayInputTest, CaptureReplacedOnDiskStartsOverIntoTheSameOutputs) {
    std::unique_ptr<rp::Driver> driver = OpenReplay();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(driver->readFrame(driver->frame()));
        driver->freeFrame(driver->frame());
    }
    driver->stop();
    const std::vector<rptest::TestFrame> fresh = {m_Frames[4], m_Frames[5], m_Frames[3]};
    const std::string staged = m_Scratch.File("fresh.pcap");
    hwtest::WriteWholeFile(staged, rptest::PcapBytes(fresh));
    ASSERT_EQ(::rename(staged.c_str(), m_strInput.c_str()), 0);
    driver->open(true, false);
    EXPECT_EQ(ReadAll(*driver),
              (std::vector<std::string>{"the capture file " + m_strInput +
                                            " was replaced on disk: the replay starts over with the new file's "
                                            "first record, adding to its output files",
                                        Framed(fresh[0]), Framed(fresh[1]), Framed(fresh[2])}));
    driver.reset();
    EXPECT_EQ(hwtest::ReadWholeFile(m_Scratch.File("replay0.pass.pcap")),
              rptest::PcapBytes({m_Frames[0], m_Frames[1], fresh[0], fresh[1], fresh[2]}));
}

// Whoever asks (the summaries do, beside the capture thread) learns that a
// replay has nothing more to give once its reader has met the end of the
// file or damage that ends it, and not before; set up again, it is still
// played out, until a capture moved into its place starts it over.
TEST_F(ReplayInputTest, ReplayPlayedToItsEndSaysSoUntilANewCaptureStartsItOver) {
    const auto ended = [](const rp::Driver& driver) {
        std::string words;
        return driver.inputEnded(words) ? words : std::string("not ended");
    };
    std::unique_ptr<rp::Driver> driver = OpenReplay();
    EXPECT_EQ(ended(*driver), "not ended");
    ASSERT_TRUE(driver->readFrame(driver->frame()));
    driver->freeFrame(driver->frame());
    EXPECT_EQ(ended(*driver), "not ended");
    EXPECT_EQ(ReadAll(*driver).size(), 5u);
    const std::string played = "the capture file " + m_strInput + " was played to its end (6 records)";
    EXPECT_EQ(ended(*driver), played);
    // Set up again, or with records added to the file in place, it plays
    // nothing more and says the same.
    driver->stop();
    EXPECT_EQ(ended(*driver), played);
    hwtest::WriteWholeFile(m_strInput, hwtest::ReadWholeFile(m_strInput) + Records({m_Frames[0]}));
    driver->open(true, false);
    EXPECT_EQ(ReadAll(*driver), std::vector<std::string>{});
    EXPECT_EQ(ended(*driver), played);
    // A new capture moved into its place is played afresh.
    driver->stop();
    const std::string staged = m_Scratch.File("fresh.pcap");
    hwtest::WriteWholeFile(staged, rptest::PcapBytes({m_Frames[1], m_Frames[2]}));
    ASSERT_EQ(::rename(staged.c_str(), m_strInput.c_str()), 0);
    driver->open(true, false);
    EXPECT_EQ(ended(*driver), "not ended");
    EXPECT_EQ(ReadAll(*driver).size(), 3u) << "the notice that it starts over and two frames";
    EXPECT_EQ(ended(*driver), "the capture file " + m_strInput + " was played to its end (2 records)");
    driver.reset();

    // Ended by damage: the words say where, as the notice did.
    m_strInput = m_Scratch.File("cut.pcap");
    hwtest::EnvironmentOverride cut("HW_PACKET_REPLAY", m_strInput.c_str());
    const std::string head = rptest::PcapBytes({m_Frames[0], m_Frames[1]});
    hwtest::WriteWholeFile(m_strInput, head + Records({m_Frames[2]}).substr(0, 9));
    driver = OpenReplay();
    EXPECT_EQ(ReadAll(*driver).size(), 3u);
    EXPECT_EQ(ended(*driver), "the capture file " + m_strInput + " was played to its end at the damage: record 3 (at byte " +
                                  std::to_string(head.size()) +
                                  ") is cut short: the file ends 9 bytes into its 16-byte header; the replay ended "
                                  "there, after record 2");
    driver.reset();

    // A replay that loops never ends, however often it goes round.
    m_strInput = m_Scratch.File("loop.pcap");
    hwtest::EnvironmentOverride loopInput("HW_PACKET_REPLAY", m_strInput.c_str());
    hwtest::EnvironmentOverride loop("HW_PACKET_REPLAY_LOOP", "1");
    hwtest::WriteWholeFile(m_strInput, rptest::PcapBytes({m_Frames[0], m_Frames[1]}));
    driver = OpenReplay();
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(driver->readFrame(driver->frame()));
        driver->freeFrame(driver->frame());
    }
    EXPECT_EQ(ended(*driver), "not ended");
}

uint32_t RefuseBuffer(rp::PacketAdapterEntry*, uint32_t, uint32_t, uint32_t) { return rp::kDllSystemError; }
uint32_t RefuseTransmit(rp::PacketAdapterEntry*, uint32_t, uint8_t) { return rp::kDllSystemError; }
uint32_t ExplainNothing(const rp::PacketAdapterEntry*, char*, uint32_t) { return rp::kDllNotOpen; }
uint32_t ExplainInWords(const rp::PacketAdapterEntry*, char* text, uint32_t size) {
    std::snprintf(text, size, "%s", "interface eth9 is gone");
    return 0;
}

TEST_F(ReplayInputTest, BufferTheLibraryCannotSetUpIsExplainedInItsWords) {
    const auto failure = [this](bool transmit, rp::PacketGetAdapterProblemFn explain) {
        std::unique_ptr<rp::Driver> driver = m_Factory.createDriver(kReplay, 2);
        auto& moat = dynamic_cast<rp::MoatDriver&>(*driver);
        moat.m_pfnPacketCreateRx = RefuseBuffer;
        moat.m_pfnPacketTxOpen = RefuseTransmit;
        moat.m_pfnPacketGetAdapterProblem = explain;
        try {
            driver->open(!transmit, transmit);
        } catch (const rp::RuntimeError& error) {
            return std::string(error.what());
        }
        return std::string("set up");
    };
    EXPECT_EQ(failure(false, ExplainInWords),
              "Receive buffer could not be set up on adapter \\Device\\replay0. Reason=interface eth9 is gone");
    EXPECT_EQ(failure(true, ExplainInWords),
              "Transmit buffer could not be set up on adapter \\Device\\replay0. Reason=interface eth9 is gone");
    EXPECT_EQ(failure(false, ExplainNothing),
              "Receive buffer could not be set up on adapter \\Device\\replay0. Reason=A system call of the packet "
              "driver library failed.");
}

}  // namespace
