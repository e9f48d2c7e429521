#include "qorToolsLib/qorLogToDisk.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "qorToolsLib/QORError.h"
#include "support/ExternalCheck.h"
#include "support/TestUtil.h"

using Lines = std::vector<std::string>;

namespace {

struct SeenEvent {
    std::string m_sText;
    uint32_t m_uLevel;
    uint32_t m_uCategory;
};

// Records what the logger hands its event-log sink.
class RecordingEventSink : public qorLogEventSink {
public:
    explicit RecordingEventSink(std::vector<SeenEvent>& seen) : qorLogEventSink(0, "Test"), m_seen(seen) {}
    uint32_t Write(const char* text, uint32_t level, uint32_t category) override {
        m_seen.push_back({text, level, category});
        return 0;
    }

private:
    std::vector<SeenEvent>& m_seen;
};

// '9' in the pattern stands for any digit, everything else for itself.
bool HasShape(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (pattern[i] == '9' ? !digit : text[i] != pattern[i]) {
            return false;
        }
    }
    return true;
}

// A logger whose debugger output is caught line by line.
class LoggerTest : public ::testing::Test {
protected:
    LoggerTest() : m_root("QOR_PLATFORM_ROOT", m_dir.Path()) {
        m_previous = plat::SetDebugOutputSink([this](std::string_view text) { m_text.append(text); });
        m_logger.SetDebugSink(new qorLogDebugSink);
        m_logger.SetEventLogSink(new RecordingEventSink(m_events));
    }
    ~LoggerTest() override { plat::SetDebugOutputSink(std::move(m_previous)); }

    Lines DebugLines() const {
        Lines lines;
        std::istringstream in(m_text);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    hwtest::ScratchDirectory m_dir;
    testing_support::ScopedEnv m_root;
    std::string m_text;
    plat::DebugOutputSink m_previous;
    std::vector<SeenEvent> m_events;
    qorLogToDisk m_logger;
};

}  // namespace

TEST_F(LoggerTest, FilterPassesEnabledCategoriesUpToTheLevelAsSequencedLines) {
    EXPECT_FALSE(m_logger.Log(0x2000, 9, nullptr, "default filter"));
    m_logger.SetFilter(0x2003, 9);
    EXPECT_TRUE(m_logger.Log(0x2000, 9, "Engine", "hi"));
    EXPECT_FALSE(m_logger.Log(0x2000, 10, nullptr, "ten"));
    EXPECT_FALSE(m_logger.Log(0x1000, 1, nullptr, "other category"));
    EXPECT_TRUE(m_logger.Log(0x2000, 1, nullptr, "%d-%s", 2, "two"));
    m_logger.ResetSequence();
    EXPECT_TRUE(m_logger.Log(0x2000, 1, "E", "%s", ""));
    m_logger.SetFilter(0xFFFFFFFFu, 100);
    EXPECT_FALSE(m_logger.Log(0x7FF, 1, nullptr, "option bits are no category"));
    m_logger.SetFilter(0xFFFFFFFEu, 100);
    EXPECT_FALSE(m_logger.Log(0x2000, 1, nullptr, "logging disabled"));
    EXPECT_EQ((Lines{"1 Engine\thi", "2 2-two", "1 E\t"}), DebugLines());
}

TEST_F(LoggerTest, TimeStampFormsFollowTheOptions) {
    char tail[32];
    std::snprintf(tail, sizeof tail, " T:%4.4x msg", plat::CurrentThreadId());
    const std::pair<uint32_t, std::string> cases[] = {{0x805, "9999/99/99 99:99:99.99"},
                                                      {0x815, "99/99/9999 99:99:99.99"},
                                                      {0x835, "99:99:99.99"}};
    for (const auto& [options, stamp] : cases) {
        m_logger.SetFilter(options, 1);
        ASSERT_TRUE(m_logger.Log(0x800, 1, nullptr, "msg"));
        EXPECT_TRUE(HasShape(DebugLines().back(), stamp + tail)) << DebugLines().back();
    }
}

TEST_F(LoggerTest, OverlongMessageOrSourceIsCutInsideTheLine) {
    m_logger.SetFilter(0x20807, 1);
    EXPECT_TRUE(m_logger.Log(0x20800, 1, nullptr, "%s", std::string(2000, 'm').c_str()));
    std::string line = DebugLines().back();
    EXPECT_EQ(1023u, line.size());
    EXPECT_EQ(">>>", line.substr(1020));
    EXPECT_EQ(std::string(900, 'm'), m_events.back().m_sText.substr(0, 900));

    std::string source(5000, 's');
    EXPECT_TRUE(m_logger.Log(0x20800, 1, source.c_str(), "message"));
    EXPECT_EQ(1023u, DebugLines().back().size());
    EXPECT_LE(m_events.back().m_sText.size(), 3u);

    EXPECT_EQ(-1, m_logger.SetLineSize(63));
    EXPECT_EQ(-1, m_logger.SetLineSize(UINT32_MAX));  // its buffer size wraps to 0
    EXPECT_EQ(1024, m_logger.SetLineSize(64));
    EXPECT_TRUE(m_logger.Log(0x20800, 1, source.c_str(), "message"));
    line = DebugLines().back();
    EXPECT_EQ(63u, line.size());
    EXPECT_EQ(">>>", line.substr(60));
}

TEST_F(LoggerTest, EventSinkGetsTheMessageAloneAndStatusesLowerItsLevel) {
    m_logger.SetFilter(0x40805, 12);
    EXPECT_TRUE(m_logger.Log(0x40800 | 0x123, 3, "Engine", "disk %s", "low"));
    ASSERT_EQ(1u, m_events.size());
    EXPECT_EQ("disk low", m_events[0].m_sText);
    EXPECT_EQ(0x40800u, m_events[0].m_uCategory);

    const std::pair<StatusCode, uint32_t> statuses[] = {
        {QOR_E_INVALID_DATA, 1}, {0x80000005u, 3}, {0x40000005u, 9}, {0, 0}};
    for (const auto& [status, level] : statuses) {
        EXPECT_TRUE(m_logger.LogStatus(0x800, 12, nullptr, status));
        EXPECT_EQ(level, m_events.back().m_uLevel);
    }
    EXPECT_EQ(QORError(QOR_E_INVALID_DATA).GetMessage(240), m_events[1].m_sText);
    EXPECT_FALSE(m_logger.LogStatus(0x800, 13, nullptr, 0u));
}

TEST_F(LoggerTest, HexRowsOnlyAtLevel15) {
    m_logger.SetFilter(0x801, 15);
    uint8_t data[20];
    for (int i = 0; i < 20; ++i) {
        data[i] = static_cast<uint8_t>(0x1e + i);
    }
    auto at = [&](int offset) {
        char text[24];
        std::snprintf(text, sizeof text, "%8.8lx",
                      static_cast<unsigned long>(reinterpret_cast<uintptr_t>(data + offset)));
        return std::string(text);
    };
    EXPECT_TRUE(m_logger.LogHexDump(0x800, 14, nullptr, nullptr, data, sizeof data));
    EXPECT_EQ(Lines{"buffer@0x" + at(0) + " len=20 (14)"}, DebugLines());
    EXPECT_TRUE(m_logger.LogHexDump(0x800, 15, nullptr, "pkt", data, sizeof data));
    Lines lines = DebugLines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(at(0) + ": 1e 1f 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d - \"...!\"#$%&'()*+,-\"", lines[2]);
    EXPECT_EQ(at(16) + ": 2e 2f 30 31 .. .. .. .. .. .. .. .. .. .. .. .. - \"./01\"", lines[3]);
    EXPECT_FALSE(m_logger.LogHexDump(0x800, 16, nullptr, "pkt", data, sizeof data));
}

TEST_F(LoggerTest, FailingFileSinkIsDroppedAfterTheOtherSinksHaveTheLine) {
    auto* sink = new qorLogFileSink;
    ASSERT_EQ(0u, sink->Open("/dev/full", true));
    m_logger.SetFileSink(sink);
    m_logger.SetFilter(0x801, 1);
    EXPECT_TRUE(m_logger.Log(0x800, 1, nullptr, "first"));
    EXPECT_EQ((Lines{"first",
                     "Logger\tDisk log closed after output error: 112 (No space left on device)"}),
              DebugLines());
    EXPECT_EQ("first", m_events.at(0).m_sText);
    EXPECT_NE(0u, m_logger.GetOptions() & qorLogToDisk::kOptionFileDropped);
    EXPECT_TRUE(m_logger.Log(0x800, 1, nullptr, "second"));
    EXPECT_EQ(3u, DebugLines().size());
}

TEST_F(LoggerTest, LinesFromManyThreadsStayWholeAndNumbered) {
    auto* sink = new qorLogFileSink;
    std::string path = m_dir.File("log.txt");
    ASSERT_EQ(0u, sink->Open(path.c_str(), false));
    m_logger.SetFileSink(sink);
    m_logger.SetFilter(0x807, 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 200; ++i) {
                m_logger.Log(0x800, 1, "T", "thread %d %s", t, std::string(50, 'x').c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::istringstream in(hwtest::ReadWholeFile(path));
    std::set<unsigned long> sequence;
    for (std::string line; std::getline(in, line);) {
        size_t space = line.find(' ');
        sequence.insert(std::stoul(line.substr(0, space)));
        EXPECT_TRUE(HasShape(line.substr(space + 1, 22), "9999/99/99 99:99:99.99")) << line;
        EXPECT_EQ(" T\tthread ", line.substr(line.size() - 63, 10)) << line;
        EXPECT_EQ(std::string(50, 'x') + "\r", line.substr(line.size() - 51)) << line;
    }
    EXPECT_EQ(800u, sequence.size());
    EXPECT_EQ(800u, *sequence.rbegin());
}

TEST(qorLogFileSink, AppendKeepsAndCreateReplacesWhatWasThere) {
    hwtest::ScratchDirectory dir;
    std::string path = dir.File("sink.log");
    qorLogFileSink sink;
    EXPECT_EQ(6u, sink.Write("nowhere"));
    ASSERT_EQ(0u, sink.Open(path.c_str(), true));
    EXPECT_EQ(path, sink.GetFileName());
    EXPECT_EQ(0u, sink.Write("one"));
    ASSERT_EQ(0u, sink.Open(path.c_str(), true));
    EXPECT_EQ(0u, sink.Write("two"));
    EXPECT_EQ("one\r\ntwo\r\n", hwtest::ReadWholeFile(path));
    ASSERT_EQ(0u, sink.Open(path.c_str(), false));
    EXPECT_EQ(0u, sink.Write("three"));
    EXPECT_EQ("three\r\n", hwtest::ReadWholeFile(path));
    EXPECT_EQ(2u, sink.Open(dir.File("missing/sink.log").c_str(), true));
    EXPECT_EQ(6u, sink.Write("after a failed open"));
}

TEST(qorLogFileSink, LineThatFallsShortIsCutBackAndUnsafeBytesAreEscaped) {
    hwtest::ScratchDirectory dir;
    std::string path = dir.File("short.log");
    qorLogFileSink sink;
    ASSERT_EQ(0u, sink.Open(path.c_str(), false));
    EXPECT_EQ(0u, sink.Write("bell\a esc\x1b[2J c1\xc2\x9b bad\xff ok \xc3\xa9\ttab"));
    const std::string first = "bell\\x07 esc\\x1b[2J c1\\xc2\\x9b bad\\xff ok \xc3\xa9\ttab\r\n";
    ASSERT_EQ(first, hwtest::ReadWholeFile(path));

    // A file size limit makes the next write fall short, as a full disk does.
    rlimit previous{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &previous));
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = previous;
    limit.rlim_cur = first.size() + 10;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
    const uint32_t result = sink.Write(std::string(100, 'x').c_str());
    ::setrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(112u, result);
    EXPECT_EQ(first, hwtest::ReadWholeFile(path)) << "no torn line is left";
    EXPECT_EQ(0u, sink.Write("after"));
    EXPECT_EQ(first + "after\r\n", hwtest::ReadWholeFile(path));
}
