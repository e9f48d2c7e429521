// Load driver for the text-log engine: runs the real hwhost on a sensor root
// whose one log group watches one file, with N text-log rules, appends a
// million lines to that file at once and measures the time from the first
// append to the last alert written.  Beside it, in the same run, the time
// `grep -cE` takes to count the matching lines of the same text, with the
// same N patterns.
//
// A given share of the lines matches (each one rule); the first and the
// last line always do, so the first alert marks when the engine took the
// lines up (it reads once a second) and the last alert the end.  No rate is
// asked for: the lines go in as fast as the file takes them, and the rates
// written and taken are reported.
//
//   textlog_load [--hwhost PATH] [--lines N] [--rules N] [--matching PERCENT]
//                [--keep]

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "HostLoad.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    hwload::HostOptions m_host;
    uint64_t m_qwLines = 1000000;
    int m_nRules = 100;
    uint64_t m_qwMatching = 1;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {hwload::NumberOption("--lines", options.m_qwLines),
         hwload::NumberOption("--rules", options.m_nRules),
         hwload::NumberOption("--matching", options.m_qwMatching)},
        options.m_host);
    if (options.m_nRules < 1 || options.m_qwLines < 1) {
        hwload::Fail("--rules and --lines must be positive");
    }
    return options;
}

std::string RuleName(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "LOADRULE%03d", index);
    return name;
}

void WriteSensorRoot(const std::string& root, int rules) {
    using hwload::PolicyValue;
    std::string policy = "Host Warden text-log load policy\r\n[\\];\r\n[\\config\\];\r\n";
    policy += PolicyValue("ScriptEnabled", 'B', "0") + PolicyValue("Nodekeeper", 'B', "0");
    policy +=
        "[\\Debug\\];\r\n[\\Debug\\Log\\];\r\n" + PolicyValue("Enable Debug Logging", 'B', "0");
    policy += "[\\Advanced\\];\r\n[\\Advanced\\Logs\\];\r\n[\\Advanced\\Logs\\Load\\];\r\n";
    policy += PolicyValue("Path", 'S', root + "/watched.log") + PolicyValue("NewestOnly", 'B', "0");
    policy += "[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n";
    for (int i = 0; i < rules; ++i) {
        const std::string name = RuleName(i);
        policy += "[\\Advanced\\Rules\\SysLog Rules\\" + name + "\\];\r\n";
        policy += PolicyValue("Enabled", 'B', "1") + PolicyValue("Log Type", 'S', "TextLog") +
                  PolicyValue("Logs", 'S', "Load") + PolicyValue("Alert Type", 'S', "LoginEvent") +
                  PolicyValue("Regular Expression", 'S', name + " failed");
        policy += "[\\Advanced\\Rules\\SysLog Rules\\" + name + "\\Info\\];\r\n";
        policy += PolicyValue("User", 'S', "@Field5") + PolicyValue("Log file", 'S', "@File");
    }
    std::filesystem::create_directories(root + "/logs");
    std::ofstream(root + "/Default.policy", std::ios::binary) << policy;
    std::ofstream(root + "/watched.log", std::ios::binary);
}

// The lines, each naming one rule; those that match say "failed".  The
// last one always matches.
std::string MakeLines(const Options& options, uint64_t& matching) {
    std::string text;
    text.reserve(options.m_qwLines * 90);
    matching = 0;
    char line[160];
    for (uint64_t n = 0; n < options.m_qwLines; ++n) {
        const bool match = n % 100 < options.m_qwMatching || n == 0 || n + 1 == options.m_qwLines;
        matching += match ? 1 : 0;
        const int length = std::snprintf(
            line, sizeof line,
            "2026-12-07 10:%02d:%02d app[%" PRIu64 "]: %s %s for user%" PRIu64 " from 192.0.2.%d\n",
            static_cast<int>(n / 60 % 60), static_cast<int>(n % 60), n % 100000,
            RuleName(static_cast<int>(n % static_cast<uint64_t>(options.m_nRules))).c_str(),
            match ? "failed" : "passed", n % 1000, static_cast<int>(n % 250) + 1);
        text.append(line, static_cast<size_t>(length));
    }
    return text;
}

void Append(const std::string& path, const char* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(data, static_cast<std::streamsize>(size));
}

// Seconds `grep -cE` takes over `path` with one alternative per rule, and
// the count it prints.
double TimeGrep(const std::string& path, int rules, uint64_t& count) {
    std::string pattern;
    for (int i = 0; i < rules; ++i) {
        pattern += (i == 0 ? "" : "|") + RuleName(i) + " failed";
    }
    const std::string output = path + ".count";
    const auto start = Clock::now();
    const pid_t grep = hwload::StartHost({"/usr/bin/grep", "-cE", pattern, path}, output);
    int status = 0;
    ::waitpid(grep, &status, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    count = std::strtoull(hwload::ReadText(output).c_str(), nullptr, 10);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    char pattern[] = "/tmp/textlog_load.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        hwload::Fail("cannot make a scratch directory");
    }
    const std::string root = pattern;
    WriteSensorRoot(root, options.m_nRules);
    uint64_t matching = 0;
    const std::string lines = MakeLines(options, matching);

    hwload::AlertCounter counter(root + "/alerts.xml");
    const pid_t host =
        hwload::StartHost({options.m_host.m_strHwhost, "run", "--root", root, "--log",
                           hwload::LogPath(root)},
                          root + "/alerts.xml");
    // The engine takes the file up at its first scan, from its end: a probe
    // line is appended until one is reported.
    const std::string watched = root + "/watched.log";
    const std::string probe =
        "2026-12-07 09:59:59 app[1]: " + RuleName(0) + " failed for probe from 192.0.2.1\n";
    if (!hwload::WaitFor(
            [&] {
                Append(watched, probe.data(), probe.size());
                return hwload::WaitFor([&] { return counter.Count() > 0; }, 1);
            },
            120)) {
        hwload::StopHost(host);
        hwload::Fail("the engine reported no probe line; see " + root);
    }
    hwload::WaitUntilSettled([&] { return counter.Count(); }, 2.0, 60);
    const uint64_t probes = counter.Count();

    std::printf("%" PRIu64 " lines (%" PRIu64 " matching) to a watched file, %d rules, hwhost %s\n",
                options.m_qwLines, matching, options.m_nRules, options.m_host.m_strHwhost.c_str());
    const auto start = Clock::now();
    constexpr size_t kChunk = 1 << 20;
    for (size_t at = 0; at < lines.size(); at += kChunk) {
        Append(watched, lines.data() + at, std::min(kChunk, lines.size() - at));
    }
    const double appended = std::chrono::duration<double>(Clock::now() - start).count();
    double first = -1;
    double last = 0;
    const auto deadline = start + std::chrono::hours(1);
    bool complete = false;
    while (!complete && Clock::now() < deadline) {
        const uint64_t alerts = counter.Count() - probes;
        const double now = std::chrono::duration<double>(Clock::now() - start).count();
        if (alerts > 0 && first < 0) {
            first = now;
        }
        complete = alerts >= matching;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double cpu = hwload::CpuSeconds(host);
    hwload::StopHost(host);

    const std::string copy = root + "/grep.log";
    Append(copy, lines.data(), lines.size());
    uint64_t grepCount = 0;
    const double grep = TimeGrep(copy, options.m_nRules, grepCount);

    const uint64_t alerts = counter.Count() - probes;
    std::printf("appending took %.3f s (%.0f lines/s written); first alert after %.3f s, last after %.3f s%s (%" PRIu64
                " of %" PRIu64 " alerts): %.3f s from the first to the last, %.0f lines/s taken\n",
                appended, appended > 0 ? static_cast<double>(options.m_qwLines) / appended : 0.0, first, last,
                complete ? "" : " - INCOMPLETE", alerts, matching, last - first,
                last > 0 ? static_cast<double>(options.m_qwLines) / last : 0.0);
    std::printf("grep -cE over the same lines: %.3f s (%" PRIu64 " matching)\n", grep, grepCount);
    std::printf("engine / grep: %.2f, first to last alert / grep: %.2f; hwhost processor time in "
                "all: %.3f s\n",
                grep > 0 ? last / grep : 0.0, grep > 0 ? (last - first) / grep : 0.0, cpu);
    hwload::FinishRoot(options.m_host, root);
    return complete ? 0 : 1;
}
