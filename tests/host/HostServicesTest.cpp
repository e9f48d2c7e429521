#include "HostServices.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Console.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/CSFSvcRequest.h"
#include "support/TestUtil.h"

namespace {

int g_nLogLine = 0;

void LogOneLine(int nThread, int nIndex, const std::string& payload) {
    g_nLogLine = __LINE__ + 1;
    CSF_LOG(kCSFLogWarning, "thread %d line %d payload %s end", nThread, nIndex, payload.c_str());
}

// The parts of one logger line: "<date> <time> <LEVEL> [tag ...] [cat ...]
// <file>:<line>: <text>".
struct ParsedLine {
    std::string stamp;
    std::string level;
    std::string tag;
    std::string category;
    std::string file;
    int nLine = 0;
    std::string text;
};

bool ParseLine(const std::string& line, ParsedLine& parsed) {
    if (line.size() < 24 || line[4] != '-' || line[10] != ' ' || line[19] != '.') {
        return false;
    }
    parsed.stamp = line.substr(0, 23);
    size_t levelEnd = line.find(' ', 24);
    size_t tagEnd = line.find("] ", levelEnd);
    size_t catEnd = line.find("] ", tagEnd + 2);
    size_t fileEnd = line.find(':', catEnd + 2);
    size_t lineEnd = line.find(": ", fileEnd + 1);
    if (levelEnd == std::string::npos || tagEnd == std::string::npos ||
        catEnd == std::string::npos || fileEnd == std::string::npos ||
        lineEnd == std::string::npos) {
        return false;
    }
    parsed.level = line.substr(24, levelEnd - 24);
    parsed.tag = line.substr(levelEnd + 1, tagEnd + 1 - levelEnd - 1);
    parsed.category = line.substr(tagEnd + 2, catEnd + 1 - tagEnd - 2);
    parsed.file = line.substr(catEnd + 2, fileEnd - catEnd - 2);
    parsed.nLine = std::stoi(line.substr(fileEnd + 1, lineEnd - fileEnd - 1));
    parsed.text = line.substr(lineEnd + 2);
    return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

TEST(HostServices, LinesFromEightThreadsArriveWholeWithTheirSource) {
    hwtest::ScratchDirectory dir;
    std::string path = dir.File("logs/hwhost.log");
    HostServices services;
    ASSERT_TRUE(services.Open(path));
    CSFSvcRequest* pRequest = new CSFSvcRequest;
    pRequest->SetServices(&services);

    constexpr int kThreads = 8;
    constexpr int kLines = 500;
    // Long enough that a torn write would show.
    const std::string payload(700, 'p');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &payload] {
            for (int i = 0; i < kLines; ++i) {
                LogOneLine(t, i, payload);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    pRequest->Release();
    services.Close();

    std::vector<std::string> lines = SplitLines(hwtest::ReadWholeFile(path));
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    const std::string expectedTail = " payload " + payload + " end";
    std::set<std::pair<int, int>> seen;
    std::set<std::string> tags;
    for (const std::string& line : lines) {
        ParsedLine parsed;
        ASSERT_TRUE(ParseLine(line, parsed)) << line.substr(0, 200);
        EXPECT_EQ("WARNING", parsed.level);
        EXPECT_EQ("[cat 0x800]", parsed.category);
        EXPECT_EQ(0u, parsed.tag.rfind("[tag 0x", 0)) << parsed.tag;
        EXPECT_NE(std::string::npos, parsed.tag.find(" 0/0]")) << parsed.tag;
        EXPECT_NE(std::string::npos, parsed.file.find("HostServicesTest.cpp")) << parsed.file;
        EXPECT_EQ(g_nLogLine, parsed.nLine);
        int nThread = -1;
        int nIndex = -1;
        int consumed = 0;
        ASSERT_EQ(2, std::sscanf(parsed.text.c_str(), "thread %d line %d%n", &nThread, &nIndex,
                                 &consumed));
        EXPECT_EQ(expectedTail, parsed.text.substr(static_cast<size_t>(consumed))) << "a torn line";
        seen.insert({nThread, nIndex});
        tags.insert(parsed.tag);
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size()) << "every line exactly once";
    EXPECT_EQ(1u, tags.size()) << "one call site, one tag";
}

TEST(HostServices, LineEndsInsideATextDoNotSplitTheRecord) {
    hwtest::ScratchDirectory dir;
    HostServices services;
    ASSERT_TRUE(services.Open(dir.File("hw.log")));
    services.Log(nullptr, kCSFLogCategory, kCSFLogError, 12, "x.cpp", "first\nsecond\r\n");
    services.Notice(1, "The sensor has been paused.");
    services.Close();
    std::vector<std::string> lines = SplitLines(hwtest::ReadWholeFile(dir.File("hw.log")));
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos,
              lines[0].find(" ERROR [tag none] [cat 0x800] x.cpp:12: first second"));
    EXPECT_EQ(lines[0].size(), lines[0].find("second") + 6);
    EXPECT_NE(std::string::npos, lines[1].find(" NOTICE [kind 1] The sensor has been paused."));
}

TEST(HostServices, ConsoleFlagCopiesTheLineToTheConsole) {
    std::string console;
    auto previous = plat::SetConsoleSink([&](std::string_view text) { console.append(text); });
    HostServices services;  // no file: the console still gets its copy
    services.Log(nullptr, kCSFLogCategory, kCSFLogInfo | kCSFLogConsoleFlag, 3, "y.cpp",
                 "to both %d", 1);
    services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 4, "y.cpp", "file only");
    plat::SetConsoleSink(std::move(previous));
    EXPECT_NE(std::string::npos, console.find(" INFO [tag none] [cat 0x800] y.cpp:3: to both 1\n"));
    EXPECT_EQ(std::string::npos, console.find("file only"));
    EXPECT_EQ(2u, services.LinesWritten());
    EXPECT_EQ("LEVEL 7", HostServices::LevelName(7));
}
