#include "HostServices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/CSFSvcRequest.h"
#include "support/ConsoleCapture.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"

namespace {

// The line of the log call below; every logging thread stores it.
std::atomic<int> g_nLogLine{0};

void LogOneLine(int nThread, int nIndex, const std::string& payload) {
    g_nLogLine.store(__LINE__ + 1, std::memory_order_relaxed);
    CSF_LOG(kCSFLogWarning, "thread %d line %d payload %s end", nThread, nIndex, payload.c_str());
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Services with a log, handed to the plug-in's request as the host hands
// them over, so that what the plug-in's side logs and notices reaches them.
class ServicesWithRequest {
public:
    bool Open() {
        const bool bOpened = m_services.Open(m_dir.File("hwhost.log"));
        m_pRequest->SetServices(&m_services);
        return bOpened;
    }
    // Lets the request go and closes the log; answers what the log holds.
    std::string Close() {
        m_pRequest->Release();
        m_pRequest = nullptr;
        m_services.Close();
        return hwtest::ReadWholeFile(m_dir.File("hwhost.log"));
    }
    ~ServicesWithRequest() {
        if (m_pRequest != nullptr) {
            m_pRequest->Release();
        }
    }
    HostServices& Services() { return m_services; }

private:
    hwtest::ScratchDirectory m_dir;
    HostServices m_services;
    CSFSvcRequest* m_pRequest = new CSFSvcRequest;
};

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
    // "<date> <time>.<ms> <call site>: <text>", the call site being level,
    // tag, category, file and line: the same for every line here.
    const std::string tail = " payload " + payload + " end";
    std::set<std::pair<int, int>> seen;
    std::set<std::string> sites;
    for (const std::string& line : lines) {
        size_t text = line.find(": thread ");
        ASSERT_TRUE(line.size() > 24 && line[19] == '.' && text != std::string::npos) << line;
        sites.insert(line.substr(23, text - 23));
        int nThread = -1;
        int nIndex = -1;
        int consumed = 0;
        ASSERT_EQ(2, std::sscanf(line.c_str() + text + 2, "thread %d line %d%n", &nThread, &nIndex,
                                 &consumed));
        EXPECT_EQ(tail, line.substr(text + 2 + static_cast<size_t>(consumed))) << "a torn line";
        seen.insert({nThread, nIndex});
    }
    ASSERT_EQ(1u, sites.size()) << "one call site, one tag";
    const std::string site = *sites.begin();
    EXPECT_EQ(0u, site.find(" WARNING [tag 0x")) << site;
    EXPECT_NE(std::string::npos, site.find(" 0/0] [cat 0x800] ")) << site;
    EXPECT_NE(std::string::npos, site.find("HostServicesTest.cpp:" + std::to_string(g_nLogLine)))
        << site;
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size()) << "every line exactly once";
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

// The console copy is what the operator reads: the level and the text, on
// one line, without the time, the tag and the source position the log
// keeps.
TEST(HostServices, ConsoleFlagCopiesTheTextToTheConsoleWithoutItsSourcePosition) {
    hwtest::ConsoleCapture console;
    HostServices services;  // no file: the console still gets its copy
    services.Log(nullptr, kCSFLogCategory, kCSFLogInfo | kCSFLogConsoleFlag, 3, "/src/y.cpp",
                 "to both %d", 1);
    services.Log(nullptr, kCSFLogCategory, kCSFLogError | kCSFLogConsoleFlag, 5, "/src/y.cpp",
                 "two\nlines\n");
    services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 4, "y.cpp", "file only");
    EXPECT_EQ("INFO: to both 1\nERROR: two lines\n", console.Text());
    EXPECT_EQ(3u, services.LinesWritten());
}

// What one policy load said is kept from the thread that loads only: the
// errors and warnings of other threads, and any line of lesser level, stay
// in the log alone; past the bound one line says how many more there were.
// Each knows whether its console copy was written.
TEST(HostServices, CaptureKeepsTheErrorsAndWarningsOfOneThread) {
    HostServices services;
    services.BeginCapture(std::this_thread::get_id());
    services.Log(nullptr, kCSFLogCategory, kCSFLogWarning | kCSFLogConsoleFlag, 1, "a.cpp",
                 "Rule %s: odd", "R");
    services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 2, "a.cpp", "fine");
    std::thread other([&] {
        services.Log(nullptr, kCSFLogCategory, kCSFLogError, 3, "b.cpp", "not the load's");
    });
    other.join();
    services.Log(nullptr, kCSFLogCategory, kCSFLogError, 4, "a.cpp", "bad\nline");
    EXPECT_EQ((std::vector<HostServices::Finding>{{"WARNING: Rule R: odd", true},
                                                  {"ERROR: bad line", false}}),
              services.EndCapture());
    services.Log(nullptr, kCSFLogCategory, kCSFLogError, 5, "a.cpp", "after");
    EXPECT_TRUE(services.EndCapture().empty());

    services.BeginCapture(std::this_thread::get_id());
    for (size_t i = 0; i < HostServices::kMaxCaptured + 3; ++i) {
        services.Log(nullptr, kCSFLogCategory, kCSFLogWarning, 6, "a.cpp", "w%zu", i);
    }
    std::vector<HostServices::Finding> captured = services.EndCapture();
    ASSERT_EQ(HostServices::kMaxCaptured + 1, captured.size());
    EXPECT_EQ((HostServices::Finding{"WARNING: 3 more errors and warnings are in the log only", false}),
              captured.back());
}

// A stop that does not complete says where the sensor's threads stood:
// from BeginWatchingThreads on, the last line of each thread, those of the
// threads that logged last, oldest first; nothing before it, and no more
// threads than its bound.
TEST(HostServices, LastLineOfEachThreadSinceTheWatchBegan) {
    HostServices services;
    services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 1, "a.cpp", "before the watch");
    EXPECT_TRUE(services.LastLinesOfThreads(8).empty());
    services.BeginWatchingThreads();
    // Threads that log in turn, each kept alive to the end (the id of a
    // thread that ended may be another's).
    std::atomic<int> nTurn{0};
    std::atomic<bool> bEnd{false};
    std::vector<std::thread> threads;
    const auto LogInTurn = [&](int nMine, const char* pszFile, int nLine, const char* pszText) {
        while (nTurn.load() != nMine) {
            std::this_thread::yield();
        }
        services.Log(nullptr, kCSFLogCategory, kCSFLogTrace, nLine, pszFile, "%s", pszText);
    };
    services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 2, "host.cpp", "stop asked");
    threads.emplace_back([&] {
        LogInTurn(0, "engine.cpp", 3, "stopping the engine");
        nTurn = 1;
        LogInTurn(1, "engine.cpp", 4, "waiting for its thread");
        nTurn = 2;
        while (!bEnd) {
            std::this_thread::yield();
        }
    });
    threads.emplace_back([&] {
        LogInTurn(2, "other.cpp", 7, "idle");
        nTurn = 3;
        while (!bEnd) {
            std::this_thread::yield();
        }
    });
    while (nTurn.load() != 3) {
        std::this_thread::yield();
    }
    services.Log(nullptr, kCSFLogCategory, kCSFLogError, 5, "host.cpp", "gave up");
    std::vector<std::string> lines = services.LastLinesOfThreads(8);
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("engine.cpp:4: waiting for its thread")) << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find("other.cpp:7: idle")) << lines[1];
    EXPECT_NE(std::string::npos, lines[2].find("host.cpp:5: gave up")) << lines[2];
    EXPECT_EQ(std::string::npos, lines[2].find('\n'));
    lines = services.LastLinesOfThreads(1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("gave up"));

    // Threads past the bound are not followed; those followed still are.
    std::atomic<size_t> nLogged{0};
    for (size_t i = 0; i < HostServices::kMaxWatchedThreads + 5; ++i) {
        threads.emplace_back([&] {
            services.Log(nullptr, kCSFLogCategory, kCSFLogTrace, 8, "many.cpp", "one of many");
            ++nLogged;
            while (!bEnd) {
                std::this_thread::yield();
            }
        });
    }
    while (nLogged.load() != HostServices::kMaxWatchedThreads + 5) {
        std::this_thread::yield();
    }
    services.Log(nullptr, kCSFLogCategory, kCSFLogError, 6, "host.cpp", "last");
    lines = services.LastLinesOfThreads(HostServices::kMaxWatchedThreads * 2);
    EXPECT_EQ(HostServices::kMaxWatchedThreads, lines.size());
    EXPECT_NE(std::string::npos, lines.back().find("host.cpp:6: last"));
    bEnd = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// While a load runs, what another thread shows the operator (a port an
// engine opened, a script refused) is that load's too; between loads it is
// a late finding of the policy in force.  Lines for the log alone are
// neither.
TEST(HostServices, ConsoleFindingsOfAnyThreadJoinTheLoadOrAreKeptAsLate) {
    hwtest::ConsoleCapture console;
    HostServices services;
    auto logFrom = [&](uint32_t dwLevel, const char* pszText) {
        std::thread other([&] {
            services.Log(nullptr, kCSFLogCategory, dwLevel, 1, "e.cpp", "%s", pszText);
        });
        other.join();
    };
    services.BeginCapture(std::this_thread::get_id());
    logFrom(kCSFLogError | kCSFLogConsoleFlag, "port 23 in use");
    logFrom(kCSFLogWarning, "log only");
    EXPECT_EQ((std::vector<HostServices::Finding>{{"ERROR: port 23 in use", true}}),
              services.EndCapture());
    EXPECT_TRUE(services.LateFindings().empty());

    const uint64_t version = services.LateVersion();
    logFrom(kCSFLogError | kCSFLogConsoleFlag, "port 139 in use");
    logFrom(kCSFLogError, "log only");
    logFrom(kCSFLogInfo | kCSFLogConsoleFlag, "a note");
    services.Log(nullptr, kCSFLogCategory, kCSFLogWarning | kCSFLogConsoleFlag, 2, "h.cpp",
                 "no alert event for %s", "R");
    EXPECT_EQ((std::vector<std::string>{"ERROR: port 139 in use", "WARNING: no alert event for R"}),
              services.LateFindings());
    EXPECT_NE(version, services.LateVersion());
    // Each said on the console at once.
    EXPECT_TRUE(console.Contains("ERROR: port 139 in use\n"));
    EXPECT_TRUE(console.Contains("WARNING: no alert event for R\n"));
}

// A flood keeps the first distinct texts and counts the rest, repeats
// included; a load sets them aside, and one that leaves the policy in
// force takes them back before those learnt since.
TEST(HostServices, LateFindingsAreBoundedAndFollowThePolicyInForce) {
    hwtest::ConsoleCapture console;
    HostServices services;
    auto late = [&](const std::string& text) {
        services.Log(nullptr, kCSFLogCategory, kCSFLogWarning | kCSFLogConsoleFlag, 1, "a.cpp",
                     "%s", text.c_str());
    };
    for (int i = 0; i < 1000; ++i) {
        late("no alert event for R");
    }
    for (size_t i = 0; i < HostServices::kMaxLate + 5; ++i) {
        late("w" + std::to_string(i));
    }
    std::vector<std::string> findings = services.LateFindings();
    ASSERT_EQ(HostServices::kMaxLate + 1, findings.size());
    EXPECT_EQ("WARNING: no alert event for R", findings[0]);
    EXPECT_EQ("WARNING: 1005 more errors and warnings (repeated, or past the first 50) are in the "
              "log only",
              findings.back());

    services.BeginCapture(std::this_thread::get_id());
    services.EndCapture();
    EXPECT_TRUE(services.LateFindings().empty());
    late("later");
    services.KeepEarlierLateFindings();
    findings = services.LateFindings();
    ASSERT_EQ(HostServices::kMaxLate + 1, findings.size());
    EXPECT_EQ("WARNING: 1006 more errors and warnings (repeated, or past the first 50) are in the "
              "log only",
              findings.back());

    // A load that puts a new policy in force starts an empty list.
    services.BeginCapture(std::this_thread::get_id());
    services.EndCapture();
    late("new");
    EXPECT_EQ(std::vector<std::string>{"WARNING: new"}, services.LateFindings());
}

// A finding whose cause has ended leaves the late findings, whether the
// plug-in says so with a notice or the host itself; one a running load set
// aside goes too, so a load that keeps the policy in force does not bring
// it back.  Said again, it is kept again.
TEST(HostServices, FindingWhoseCauseEndedLeavesTheLateFindings) {
    hwtest::ConsoleCapture console;
    HostServices services;
    auto late = [&](uint32_t dwLevel, const char* pszText) {
        services.Log(nullptr, kCSFLogCategory, dwLevel | kCSFLogConsoleFlag, 1, "a.cpp", "%s", pszText);
    };
    late(kCSFLogError, "Decoy rule D: TCP port 23 is not watched: it is in use\x1b[2J");
    late(kCSFLogWarning, "output out/alerts.xml cannot be written");
    late(kCSFLogWarning, "kept");
    const uint64_t version = services.LateVersion();
    // The notice's text is the finding's as the plug-in formats it; both
    // pass through the same escaping of the log.
    services.Notice(kCSFNoticeFindingEnded, "%s", "Decoy rule D: TCP port 23 is not watched: it is in use\x1b[2J");
    EXPECT_NE(version, services.LateVersion());
    EXPECT_EQ((std::vector<std::string>{"WARNING: output out/alerts.xml cannot be written", "WARNING: kept"}),
              services.LateFindings());

    services.BeginCapture(std::this_thread::get_id());
    services.EndFinding("output out/alerts.xml cannot be written");
    services.EndCapture();
    services.KeepEarlierLateFindings();
    EXPECT_EQ(std::vector<std::string>{"WARNING: kept"}, services.LateFindings());

    late(kCSFLogWarning, "output out/alerts.xml cannot be written");
    EXPECT_EQ((std::vector<std::string>{"WARNING: kept", "WARNING: output out/alerts.xml cannot be written"}),
              services.LateFindings());
}

// The stop's numbers reach the host whole, in the full 64 bits, each
// notice added; a notice of that kind the host cannot read is said in the
// log rather than counted as nothing.
TEST(HostServices, WhatTheStopLeftUnreadIsSummedFromTheSensorsNotices) {
    ServicesWithRequest withRequest;
    ASSERT_TRUE(withRequest.Open());
    HostServices& services = withRequest.Services();
    EXPECT_EQ(0u, services.UnreadAtStop().m_qwFiles);
    CSFNoticeUnreadAtStop(279, 12555000);
    CSFNoticeUnreadAtStop(1, UINT64_MAX - 12555000);
    services.Notice(kCSFNoticeUnreadAtStop, "Unread at the stop: files 3, bytes 4 and more");
    services.Notice(kCSFNoticeUnreadAtStop, "%s", "279 files with 12555000 bytes not read");
    const std::string log = withRequest.Close();
    EXPECT_EQ(280u, services.UnreadAtStop().m_qwFiles);
    EXPECT_EQ(UINT64_MAX, services.UnreadAtStop().m_qwBytes);
    EXPECT_EQ(
        1u, hwtest::CountOf(log, "NOTICE [kind 4] Unread at the stop: files 279, bytes 12555000\n"))
        << log;
    EXPECT_EQ(2u, hwtest::CountOf(log, "ERROR [tag none] [cat 0x800] ")) << log;
    EXPECT_EQ(2u, hwtest::CountOf(log, "hwhost: the notice above of kind 4 is not in its form"))
        << log;
}

// What the stop lost of each input is summed by its words, in the order the
// words first came; a count of 0 sends nothing, and a notice whose count or
// words are missing is said in the log rather than counted.
TEST(HostServices, WhatTheStopLostIsSummedByWhatWasLost) {
    ServicesWithRequest withRequest;
    ASSERT_TRUE(withRequest.Open());
    HostServices& services = withRequest.Services();
    EXPECT_TRUE(services.LostAtStop().empty());
    CSFNoticeLostAtStop(448489, "syslog datagrams left unparsed in the queue");
    CSFNoticeLostAtStop(7, "web-server events left in the ring");
    CSFNoticeLostAtStop(0, "decoy connections left in the backlog");
    CSFNoticeLostAtStop(UINT64_MAX, "syslog datagrams left unparsed in the queue");
    services.Notice(kCSFNoticeLostAtStop, "Lost at the stop: 12 ");
    services.Notice(kCSFNoticeLostAtStop, "Lost at the stop: many datagrams");
    const std::string log = withRequest.Close();
    using Lost = std::vector<std::pair<std::string, uint64_t>>;
    EXPECT_EQ((Lost{{"syslog datagrams left unparsed in the queue", UINT64_MAX},
                    {"web-server events left in the ring", 7}}),
              services.LostAtStop());
    EXPECT_EQ(1u, hwtest::CountOf(
                      log, "NOTICE [kind 5] Lost at the stop: 7 web-server events left in the ring\n"))
        << log;
    EXPECT_EQ(2u, hwtest::CountOf(log, "hwhost: the notice above of kind 5 is not in its form"))
        << log;
}

TEST(HostServices, RenamedLogIsMadeAgain) {
    hwtest::ScratchDirectory dir;
    const std::string path = dir.File("logs/hwhost.log");
    HostServices services;
    ASSERT_TRUE(services.Open(path));
    services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 1, "x.cpp", "one");

    // Renamed away (a rotation): the next line after the path check, or
    // after Reopen, goes to a new file under the name.
    std::filesystem::rename(path, path + ".1");
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 3, "x.cpp", "three");
        return std::filesystem::exists(path);
    }));
    std::filesystem::rename(path, path + ".2");
    ASSERT_TRUE(services.Reopen());
    services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 4, "x.cpp", "four");
    EXPECT_EQ(1u, SplitLines(hwtest::ReadWholeFile(path)).size());
    EXPECT_EQ(0u, services.LinesLost());
}

// The log's folder replaced by a file: its lines still reach the console
// where they did, the failure is said there once (and kept among the
// findings about the policy in force), and once the folder is made again
// the lines kept are written in order, with no new line and no signal to
// bring them, followed by what the log said of itself.
TEST(HostServices, LogWhoseFolderIsReplacedByAFileComesBackByItselfWithTheLinesKept) {
    hwtest::ScratchDirectory dir;
    const std::string folder = dir.File("logs");
    const std::string path = folder + "/hwhost.log";
    hwtest::ConsoleCapture console;
    HostServices services;
    ASSERT_TRUE(services.Open(path));
    services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 1, "x.cpp", "one");

    std::filesystem::remove_all(folder);
    hwtest::WriteWholeFile(folder, "in the way\n");
    services.Log(nullptr, kCSFLogCategory, kCSFLogWarning | kCSFLogConsoleFlag, 2, "x.cpp", "two");
    for (int i = 0; i < 20; ++i) {
        services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 3, "x.cpp", "three %d", i);
    }
    const std::string failure =
        "ERROR: hwhost: the log is not written: " + folder +
        ": Not a directory; what is not written yet is kept and written when it can be opened\n";
    EXPECT_EQ(failure + "WARNING: two\n", console.Text());
    // With the failure itself, which the log keeps as its own line.
    EXPECT_EQ(22u, services.LinesKept());
    EXPECT_EQ((std::vector<std::string>{failure.substr(0, failure.size() - 1), "WARNING: two"}),
              services.LateFindings());

    std::filesystem::remove(folder);
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return services.LinesKept() == 0; }));
    EXPECT_TRUE(console.Contains("NOTICE: hwhost: the log file " + path + " is written again after "))
        << console.Text();
    EXPECT_TRUE(console.Contains(": the 22 log lines kept meanwhile are written\n")) << console.Text();
    // Its failure no longer holds: it leaves the findings, the others stay.
    EXPECT_EQ(std::vector<std::string>{"WARNING: two"}, services.LateFindings());
    const std::vector<std::string> lines = SplitLines(hwtest::ReadWholeFile(path));
    ASSERT_EQ(23u, lines.size()) << hwtest::ReadWholeFile(path);
    EXPECT_NE(std::string::npos, lines[0].find(": two"));
    EXPECT_NE(std::string::npos, lines[1].find(" ERROR [tag none] [cat 0x800] ")) << lines[1];
    EXPECT_NE(std::string::npos, lines[1].find(": hwhost: the log is not written: ")) << lines[1];
    for (int i = 0; i < 20; ++i) {
        EXPECT_NE(std::string::npos, lines[2 + i].find(": three " + std::to_string(i))) << lines[2 + i];
    }
    EXPECT_NE(std::string::npos, lines[22].find(" NOTICE [tag none] [cat 0x800] ")) << lines[22];
    services.Close();
    EXPECT_EQ(0u, services.LinesLost());
}

// While the log cannot be written, what it keeps is bounded: the lines
// past it are left out, said as a bound on the console; at the end what
// was never written is said there too, and counted.
TEST(HostServices, LogThatStaysUnwritableKeepsItsBoundAndTheEndSaysWhatWasNotWritten) {
    hwtest::ScratchDirectory dir;
    const std::string folder = dir.File("logs");
    hwtest::ConsoleCapture console;
    HostServices services;
    services.SetKeptLimit(2000);
    ASSERT_TRUE(services.Open(folder + "/hwhost.log"));
    std::filesystem::remove_all(folder);
    hwtest::WriteWholeFile(folder, "in the way\n");
    for (int i = 0; i < 100; ++i) {
        services.Log(nullptr, kCSFLogCategory, kCSFLogInfo, 1, "x.cpp", "line %03d", i);
    }
    const size_t kept = services.LinesKept();
    EXPECT_GT(kept, 5u);
    EXPECT_LT(kept, 50u);
    // The first line kept is the log's own failure; the bound's own line is
    // left out with the others.
    EXPECT_EQ(100u - (kept - 1) + 1, services.LinesLost());
    EXPECT_EQ(1u, hwtest::CountOf(console.Text(), "WARNING: Bound reached: log file " + folder +
                                                      "/hwhost.log: at most 2000 bytes kept while it "
                                                      "cannot be written; 1 log line left out (said "
                                                      "again at most once a minute while it lasts)\n"))
        << console.Text();
    services.Close();
    EXPECT_TRUE(console.Contains("hwhost: " + std::to_string(kept) +
                                 " log lines not written: the log file cannot be opened: " + folder +
                                 ": Not a directory\n"))
        << console.Text();
    EXPECT_EQ(100u + 2, services.LinesLost());
}

// The stop's tally of what it lost is kept among the later findings even
// when they are full, so the record of the policy in force has it.
TEST(HostServices, TheStopsTallyOfALossIsKeptPastTheBoundOfLaterFindings) {
    hwtest::ConsoleCapture console;
    HostServices services;
    for (size_t i = 0; i < HostServices::kMaxLate + 5; ++i) {
        services.Log(nullptr, kCSFLogCategory, kCSFLogWarning | kCSFLogConsoleFlag, 1, "a.cpp", "w%zu", i);
    }
    const std::string tally =
        "hwhost: 12 alerts taken, 12 written, 0 dropped, 0 not written; 421378 syslog datagrams left unparsed in the "
        "queue";
    services.KeepStopTally(tally);
    const std::vector<std::string> findings = services.LateFindings();
    ASSERT_EQ(HostServices::kMaxLate + 2, findings.size());
    EXPECT_EQ("WARNING: " + tally, findings[HostServices::kMaxLate]);
}
