#include "platform/EventLog.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ChangeEvent.h"
#include "platform/LastError.h"
#include "support/ExternalCheck.h"
#include "support/TestUtil.h"

using Lines = std::vector<std::string>;

namespace {

class EventLogTest : public ::testing::Test {
protected:
    EventLogTest() : m_root("QOR_PLATFORM_ROOT", m_dir.Path()) {}

    // Read by an independent reader that checks the whole layout.
    static Lines ReadLog(const char* log) {
        return testing_support::ReadEventLog(plat::EventLogFilePath(log));
    }

    hwtest::ScratchDirectory m_dir;
    testing_support::ScopedEnv m_root;
};

uint32_t ReportText(plat::EventSource* source, uint32_t id, const char* text) {
    return plat::ReportEvent(source, plat::kEventInformation, 0, id, nullptr, 0, 1, &text, 0,
                             nullptr);
}

}  // namespace

TEST_F(EventLogTest, RecordsReadBackThroughAnIndependentReader) {
    plat::EventSource* source = plat::RegisterEventSource("Warden");
    plat::EventSource* security = plat::RegisterEventSource("Audit", "Security");
    ASSERT_NE(nullptr, source);
    const uint8_t sid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    const char* strings[] = {"first", "", "third, with spaces"};
    const uint8_t data[] = {0xde, 0xad, 0xbe};
    ASSERT_EQ(0u, plat::ReportEvent(source, plat::kEventError, 7, 0xC0000001u, sid, sizeof sid, 3,
                                    strings, sizeof data, data));
    ASSERT_EQ(0u, ReportText(security, 5, "elsewhere"));
    ASSERT_EQ(0u, plat::ReportEvent(source, plat::kEventWarning, 0, 0x80000002u, nullptr, 0, 0,
                                    nullptr, 0, nullptr));
    EXPECT_EQ(0u, plat::DeregisterEventSource(source));
    EXPECT_EQ(0u, plat::DeregisterEventSource(security));
    EXPECT_EQ((Lines{"1 1 1 7 0xc0000001 Warden 010100000000000512000000 first||third, with spaces deadbe",
                     "1 2 2 0 0x80000002 Warden - - -"}),
              ReadLog("Application"));
    EXPECT_EQ((Lines{"1 1 4 0 0x5 Audit - elsewhere -"}), ReadLog("Security"));
}

TEST_F(EventLogTest, AppendsFromManyProcessesNeitherInterleaveNorRepeatNumbers) {
    constexpr int kChildren = 4;
    constexpr int kEach = 40;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            plat::EventSource* source = plat::RegisterEventSource("Child");
            // Records of different sizes, so a torn write would show.
            std::string text(static_cast<size_t>(100 + c * 997), static_cast<char>('a' + c));
            int failures = 0;
            for (int i = 0; i < kEach; ++i) {
                failures += ReportText(source, static_cast<uint32_t>(c), text.c_str()) != 0;
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Lines records = ReadLog("Application");
    ASSERT_EQ(static_cast<size_t>(kChildren * kEach), records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(0u, records[i].rfind("1 " + std::to_string(i + 1) + " ", 0)) << records[i];
    }
}

TEST_F(EventLogTest, TornRecordLeftByACrashedWriterIsCutOff) {
    plat::EventSource* source = plat::RegisterEventSource("W");
    ASSERT_EQ(0u, ReportText(source, 1, "one"));
    ASSERT_EQ(0u, ReportText(source, 2, "two"));
    std::string path = plat::EventLogFilePath("Application");
    std::string bytes = hwtest::ReadWholeFile(path);
    size_t last = bytes.size() - static_cast<uint8_t>(bytes[bytes.size() - 4]);
    hwtest::WriteWholeFile(path, bytes + bytes.substr(last, 30));
    ASSERT_EQ(0u, ReportText(source, 3, "three"));
    plat::DeregisterEventSource(source);
    EXPECT_EQ((Lines{"1 1 4 0 0x1 W - one -", "1 2 4 0 0x2 W - two -", "1 3 4 0 0x3 W - three -"}),
              ReadLog("Application"));
}

TEST_F(EventLogTest, LargeRecordIsStoredAndOversizedOneIsRefusedWhole) {
    plat::EventSource* source = plat::RegisterEventSource("W");
    std::vector<uint8_t> data(20000, 0x5a);
    ASSERT_EQ(0u, plat::ReportEvent(source, plat::kEventInformation, 0, 9, nullptr, 0, 0, nullptr,
                                    static_cast<uint32_t>(data.size()), data.data()));
    std::string before = hwtest::ReadWholeFile(plat::EventLogFilePath("Application"));
    std::string huge(plat::EventLogLayout::kMaxRecordSize, 'x');
    EXPECT_EQ(plat::kErrInvalidParameter, ReportText(source, 10, huge.c_str()));
    EXPECT_EQ(plat::kErrInvalidParameter,
              plat::ReportEvent(source, 1, 0, 1, nullptr, 4, 0, nullptr, 0, nullptr));
    plat::DeregisterEventSource(source);
    EXPECT_EQ(before, hwtest::ReadWholeFile(plat::EventLogFilePath("Application")));
    EXPECT_EQ(1u, ReadLog("Application").size());
}

TEST_F(EventLogTest, UnsafeOrMissingNamesAndForeignFilesAreRefused) {
    plat::SetLastError(0);
    EXPECT_EQ(nullptr, plat::RegisterEventSource(nullptr));
    EXPECT_EQ(plat::kErrInvalidParameter, plat::GetLastError());
    EXPECT_EQ(nullptr, plat::RegisterEventSource(std::string(256, 's').c_str()));
    EXPECT_EQ(nullptr, plat::RegisterEventSource("W", "../escape"));
    EXPECT_EQ(nullptr, plat::RegisterEventSource("W", ".hidden"));
    EXPECT_EQ(plat::kErrInvalidParameter, plat::ClearEventLog("a/b"));
    EXPECT_EQ(plat::kErrInvalidHandle, ReportText(nullptr, 1, "x"));

    std::string path = plat::EventLogFilePath("Application");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::string foreign = "somebody else's file, long enough to hold a header";
    hwtest::WriteWholeFile(path, foreign);
    plat::EventSource* source = plat::RegisterEventSource("W");
    EXPECT_EQ(plat::kErrInvalidData, ReportText(source, 1, "x"));
    plat::DeregisterEventSource(source);
    EXPECT_EQ(foreign, hwtest::ReadWholeFile(path));
}

namespace {

constexpr uint32_t kForwards = plat::kEventLogSequentialRead | plat::kEventLogForwardsRead;
constexpr uint32_t kBackwards = plat::kEventLogSequentialRead | plat::kEventLogBackwardsRead;

// The event ids of the records one read returns, or the read's error as
// "error N" (with the size asked for after 122).
std::string ReadIds(plat::EventLogReader* reader, uint32_t flags, uint32_t size = 4096) {
    std::vector<uint8_t> buffer(size + 1);
    uint32_t read = 0;
    uint32_t needed = 0;
    uint32_t error = plat::ReadEventLog(reader, flags, 0, size > 0 ? buffer.data() : nullptr, size,
                                        &read, &needed);
    if (error != 0) {
        return "error " + std::to_string(error) + (needed > 0 ? " " + std::to_string(needed) : "");
    }
    std::string ids;
    for (uint32_t at = 0; at < read;) {
        uint32_t length = 0;
        uint32_t id = 0;
        std::memcpy(&length, buffer.data() + at, 4);
        std::memcpy(&id, buffer.data() + at + plat::EventLogLayout::kEventId, 4);
        ids += (ids.empty() ? "" : " ") + std::to_string(id);
        at += length;
    }
    return ids;
}

}  // namespace

TEST_F(EventLogTest, ReaderReturnsWholeRecordsAndAsksForTheSizeOfOneThatDoesNotFit) {
    plat::EventSource* source = plat::RegisterEventSource("W", "Security");
    ASSERT_EQ(0u, ReportText(source, 1, "one"));
    ASSERT_EQ(0u, ReportText(source, 2, "two"));
    std::string big(20000, 'b');
    ASSERT_EQ(0u, ReportText(source, 3, big.c_str()));
    plat::EventLogReader* reader = plat::OpenEventLog("Security");
    ASSERT_NE(nullptr, reader);
    EXPECT_EQ("1", ReadIds(reader, kForwards, 80));
    EXPECT_EQ("2", ReadIds(reader, kForwards));
    const std::string needed = ReadIds(reader, kForwards);
    EXPECT_EQ(0u, needed.rfind("error 122 200", 0)) << needed;
    EXPECT_EQ("3", ReadIds(reader, kForwards, 32768));
    EXPECT_EQ("error 38", ReadIds(reader, kForwards));
    EXPECT_EQ(plat::kErrInvalidParameter,
              plat::ReadEventLog(reader, plat::kEventLogSeekRead | plat::kEventLogForwardsRead, 1,
                                 nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(0u, plat::CloseEventLog(reader));
    EXPECT_EQ(plat::kErrInvalidHandle, plat::CloseEventLog(nullptr));
    plat::DeregisterEventSource(source);
}

TEST_F(EventLogTest, PrimingBackwardsReadSkipsWhatWasWrittenBefore) {
    plat::EventLogReader* empty = plat::OpenEventLog("System");
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ("error 38", ReadIds(empty, kBackwards, 0));
    plat::EventSource* source = plat::RegisterEventSource("W", "System");
    ASSERT_EQ(0u, ReportText(source, 1, "old"));
    ASSERT_EQ(0u, ReportText(source, 2, "old"));
    plat::EventLogReader* reader = plat::OpenEventLog("System");
    const std::string primed = ReadIds(reader, kBackwards, 0);
    EXPECT_EQ(0u, primed.rfind("error 122 ", 0)) << primed;
    EXPECT_EQ("error 38", ReadIds(reader, kForwards));
    ASSERT_EQ(0u, ReportText(source, 3, "new"));
    EXPECT_EQ("3", ReadIds(reader, kForwards));
    // A reader whose first read went backwards reads newest first.
    plat::EventLogReader* backwards = plat::OpenEventLog("System");
    EXPECT_EQ("3 2 1", ReadIds(backwards, kBackwards));
    EXPECT_EQ("1 2 3", ReadIds(empty, kForwards));
    for (plat::EventLogReader* r : {empty, reader, backwards}) {
        plat::CloseEventLog(r);
    }
    plat::DeregisterEventSource(source);
}

TEST_F(EventLogTest, ClearOrRemovalIsReportedOnceAndTheNewLogIsReadFromItsStart) {
    EXPECT_EQ(plat::kErrFileNotFound, plat::ClearEventLog("Security"));
    plat::EventSource* source = plat::RegisterEventSource("W", "Security");
    ASSERT_EQ(0u, ReportText(source, 1, "old"));
    plat::EventLogReader* reader = plat::OpenEventLog("Security");
    EXPECT_EQ("1", ReadIds(reader, kForwards));
    ASSERT_EQ(0u, plat::ClearEventLog("Security"));
    ASSERT_EQ(0u, ReportText(source, 7, "new"));
    EXPECT_EQ("error 1503", ReadIds(reader, kForwards));
    EXPECT_EQ("7", ReadIds(reader, kForwards));
    // A clear starts a new generation, numbered from one again.
    EXPECT_EQ((Lines{"2 1 4 0 0x7 W - new -"}), ReadLog("Security"));
    // Removing the file clears the log as well: the reader must not stay
    // on the removed file, where nothing arrives any more.
    ASSERT_TRUE(std::filesystem::remove(plat::EventLogFilePath("Security")));
    ASSERT_EQ(0u, ReportText(source, 9, "after removal"));
    EXPECT_EQ("error 1503", ReadIds(reader, kForwards));
    EXPECT_EQ("9", ReadIds(reader, kForwards));
    plat::CloseEventLog(reader);
    plat::DeregisterEventSource(source);
}

// A clear tells each reader how many of the records it took the reader had
// not read: those past its place, over every clear since its last read; a
// reader placed at the end by its priming read is owed nothing of what
// came before it, and the count is told once.
TEST_F(EventLogTest, ClearTellsEachReaderTheRecordsItTookUnread) {
    plat::EventSource* source = plat::RegisterEventSource("W", "System");
    ASSERT_EQ(0u, ReportText(source, 1, "before the readers"));
    plat::EventLogReader* primed = plat::OpenEventLog("System");
    plat::EventLogReader* partway = plat::OpenEventLog("System");
    plat::EventLogReader* unplaced = plat::OpenEventLog("System");
    EXPECT_EQ(0u, ReadIds(primed, kBackwards, 0).rfind("error 122 ", 0));
    for (uint32_t id = 2; id <= 5; ++id) {
        ASSERT_EQ(0u, ReportText(source, id, "old"));
    }
    EXPECT_EQ("1 2 3 4 5", ReadIds(partway, kForwards));
    ASSERT_EQ(0u, plat::ClearEventLog("System"));
    ASSERT_EQ(0u, ReportText(source, 6, "new"));
    ASSERT_EQ(0u, ReportText(source, 7, "new"));
    ASSERT_EQ(0u, plat::ClearEventLog("System"));
    ASSERT_EQ(0u, ReportText(source, 8, "newest"));
    // It read the 5 records the first clear took, not the 2 of the second.
    EXPECT_EQ("error 1503", ReadIds(partway, kForwards));
    EXPECT_EQ(2u, plat::EventLogRecordsClearedUnread(partway));
    EXPECT_EQ(0u, plat::EventLogRecordsClearedUnread(partway));
    EXPECT_EQ("8", ReadIds(partway, kForwards));
    // Placed after record 1: records 2 to 5, and the 2 of the next clear.
    EXPECT_EQ("error 1503", ReadIds(primed, kForwards));
    EXPECT_EQ(6u, plat::EventLogRecordsClearedUnread(primed));
    // Never placed: all 7 are its.
    EXPECT_EQ("error 1503", ReadIds(unplaced, kForwards));
    EXPECT_EQ(7u, plat::EventLogRecordsClearedUnread(unplaced));
    for (plat::EventLogReader* r : {primed, partway, unplaced}) {
        plat::CloseEventLog(r);
    }
    plat::DeregisterEventSource(source);
}

TEST_F(EventLogTest, DamagedTailReadsAsTheEndOfTheLog) {
    plat::EventSource* source = plat::RegisterEventSource("W");
    ASSERT_EQ(0u, ReportText(source, 1, "one"));
    const std::string path = plat::EventLogFilePath("Application");
    std::string bytes = hwtest::ReadWholeFile(path);
    // A second record whose length runs past the file, then one whose
    // trailing copy disagrees.
    std::string bad = bytes.substr(32);
    bad[0] = static_cast<char>(0x7c);
    hwtest::WriteWholeFile(path, bytes + bad);
    plat::EventLogReader* reader = plat::OpenEventLog("Application");
    EXPECT_EQ("1", ReadIds(reader, kForwards));
    EXPECT_EQ("error 38", ReadIds(reader, kForwards));
    bad = bytes.substr(32);
    bad[bad.size() - 4] ^= 0x10;
    hwtest::WriteWholeFile(path, bytes + bad);
    EXPECT_EQ("error 38", ReadIds(reader, kForwards));
    plat::CloseEventLog(reader);
    plat::DeregisterEventSource(source);
}

TEST_F(EventLogTest, ChangeEventIsSignalledByAnAppendFromAnotherProcess) {
    plat::EventLogReader* reader = plat::OpenEventLog("Application");
    plat::ChangeEvent event;
    plat::ChangeEvent other;
    ASSERT_EQ(0u, plat::NotifyChangeEventLog(reader, &event));
    event.Wait(0);  // whatever the open itself wrote
    EXPECT_EQ(plat::kWaitTimeout, event.Wait(0));
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        plat::EventSource* source = plat::RegisterEventSource("Child");
        ::_exit(ReportText(source, 5, "from a child") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    plat::ChangeEvent* events[] = {&other, &event};
    EXPECT_EQ(1, plat::ChangeEvent::WaitAny(events, 2, 30000));
    EXPECT_EQ(-1, plat::ChangeEvent::WaitAny(events, 2, 0));
    other.Set();
    EXPECT_EQ(0, plat::ChangeEvent::WaitAny(events, 2, 30000));
    EXPECT_EQ("5", ReadIds(reader, kForwards));
    plat::CloseEventLog(reader);
}
