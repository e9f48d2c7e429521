// Load driver for the text-log engine: runs the real hwhost on a sensor root
// whose one log group watches one file, with N text-log rules, and appends
// lines to that file, either all at once (overloaded: the time from the
// first append to the last alert written) or at a steady rate below what
// the engine takes (the host's processor time per line).  With --baseline,
// every round runs that hwhost (another build's, the last one's say) too,
// right after this one on the same lines, and the figures are printed side
// by side with the medians of the rounds.  Beside the overloaded runs, in
// the same process, the time `grep -cE` takes to count the matching lines
// of the same text, with the same N patterns.
//
// A given share of the lines matches (each one rule); the first and the
// last line always do, so the first alert marks when the engine took the
// lines up (it reads once a second) and the last alert the end.
//
//   textlog_load [--hwhost PATH] [--baseline PATH] [--rounds N] [--lines N]
//                [--rules N] [--matching PERCENT] [--rate LINES_PER_SECOND]
//                [--keep]

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HostLoad.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    hwload::HostOptions m_host;
    std::string m_strBaseline;
    uint64_t m_qwLines = 1000000;
    int m_nRules = 100;
    uint64_t m_qwMatching = 1;
    // Lines a second; 0: all at once.
    uint64_t m_qwRate = 0;
    int m_nRounds = 1;
};

// What one run of one host gave.
struct RunFigures {
    bool m_bComplete = false;
    double m_dFirst = -1;    // seconds to the first alert
    double m_dLast = 0;      // seconds to the last alert
    double m_dCpu = 0;       // the host's processor seconds for the lines
    uint64_t m_qwAlerts = 0;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {hwload::NumberOption("--lines", options.m_qwLines),
         hwload::NumberOption("--rules", options.m_nRules),
         hwload::NumberOption("--matching", options.m_qwMatching),
         hwload::NumberOption("--rate", options.m_qwRate),
         hwload::NumberOption("--rounds", options.m_nRounds),
         {"--baseline", true, [&](const std::string& value) { options.m_strBaseline = value; }}},
        options.m_host);
    if (options.m_nRules < 1 || options.m_qwLines < 1 || options.m_nRounds < 1) {
        hwload::Fail("--rules, --lines and --rounds must be positive");
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

// One run of `hwhost` on a fresh root: the probe, then the lines.
RunFigures RunHost(const Options& options, const std::string& hwhost, const std::string& lines, uint64_t matching) {
    char pattern[] = "/tmp/textlog_load.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        hwload::Fail("cannot make a scratch directory");
    }
    const std::string root = pattern;
    WriteSensorRoot(root, options.m_nRules);
    hwload::AlertCounter counter(root + "/alerts.xml");
    const pid_t host =
        hwload::StartHost({hwhost, "run", "--root", root, "--log", hwload::LogPath(root)}, root + "/alerts.xml");
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
    const double cpuBefore = hwload::CpuSeconds(host);

    RunFigures figures;
    const auto start = Clock::now();
    constexpr size_t kChunk = 1 << 20;
    if (options.m_qwRate == 0) {
        for (size_t at = 0; at < lines.size(); at += kChunk) {
            Append(watched, lines.data() + at, std::min(kChunk, lines.size() - at));
        }
    } else {
        // Every 10 ms the lines due by then, whole lines only.
        const double lineBytes = static_cast<double>(lines.size()) / static_cast<double>(options.m_qwLines);
        size_t at = 0;
        for (auto due = start; at < lines.size(); due += std::chrono::milliseconds(10)) {
            std::this_thread::sleep_until(due);
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            size_t until = std::min(lines.size(), static_cast<size_t>(seconds * static_cast<double>(options.m_qwRate) * lineBytes));
            until = until >= lines.size() ? until : lines.rfind('\n', until) + 1;
            if (until > at) {
                Append(watched, lines.data() + at, until - at);
                at = until;
            }
            if (figures.m_dFirst < 0 && counter.Count() > probes) {
                figures.m_dFirst = std::chrono::duration<double>(Clock::now() - start).count();
            }
        }
    }
    const auto deadline = start + std::chrono::hours(1);
    while (!figures.m_bComplete && Clock::now() < deadline) {
        const uint64_t alerts = counter.Count() - probes;
        const double now = std::chrono::duration<double>(Clock::now() - start).count();
        if (alerts > 0 && figures.m_dFirst < 0) {
            figures.m_dFirst = now;
        }
        figures.m_bComplete = alerts >= matching;
        figures.m_dLast = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    figures.m_dCpu = hwload::CpuSeconds(host) - cpuBefore;
    hwload::StopHost(host);
    figures.m_qwAlerts = counter.Count() - probes;
    hwload::FinishRoot(options.m_host, root);
    return figures;
}

void PrintRun(const char* pszWhich, const Options& options, const RunFigures& figures, uint64_t matching) {
    const double lines = static_cast<double>(options.m_qwLines);
    std::printf("  %-8s first alert after %.3f s, last after %.3f s%s (%" PRIu64 " of %" PRIu64
                " alerts): %.0f lines/s taken; processor %.3f s, %.2f us a line\n",
                pszWhich, figures.m_dFirst, figures.m_dLast, figures.m_bComplete ? "" : " - INCOMPLETE",
                figures.m_qwAlerts, matching, figures.m_dLast > 0 ? lines / figures.m_dLast : 0.0, figures.m_dCpu,
                figures.m_dCpu * 1e6 / lines);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    uint64_t matching = 0;
    const std::string lines = MakeLines(options, matching);
    std::printf("%" PRIu64 " lines (%" PRIu64 " matching) to a watched file, %d rules, %s, %d round%s\n",
                options.m_qwLines, matching, options.m_nRules,
                options.m_qwRate == 0 ? "all at once"
                                      : (std::to_string(options.m_qwRate) + " lines a second").c_str(),
                options.m_nRounds, options.m_nRounds == 1 ? "" : "s");
    std::vector<std::pair<std::string, std::string>> hosts = {{"this", options.m_host.m_strHwhost}};
    if (!options.m_strBaseline.empty()) {
        hosts.emplace_back("baseline", options.m_strBaseline);
    }
    std::printf("this: %s\n", options.m_host.m_strHwhost.c_str());
    if (!options.m_strBaseline.empty()) {
        std::printf("baseline: %s\n", options.m_strBaseline.c_str());
    }
    std::vector<std::vector<RunFigures>> runs(hosts.size());
    bool complete = true;
    for (int round = 0; round < options.m_nRounds; ++round) {
        std::printf("round %d\n", round + 1);
        for (size_t n = 0; n < hosts.size(); ++n) {
            runs[n].push_back(RunHost(options, hosts[n].second, lines, matching));
            PrintRun(hosts[n].first.c_str(), options, runs[n].back(), matching);
            complete = complete && runs[n].back().m_bComplete;
            std::fflush(stdout);
        }
    }
    std::printf("medians of %d round%s:\n", options.m_nRounds, options.m_nRounds == 1 ? "" : "s");
    for (size_t n = 0; n < hosts.size(); ++n) {
        std::vector<double> last;
        std::vector<double> span;
        std::vector<double> cpu;
        for (const RunFigures& figures : runs[n]) {
            last.push_back(figures.m_dLast);
            span.push_back(figures.m_dLast - figures.m_dFirst);
            cpu.push_back(figures.m_dCpu);
        }
        const double lineCount = static_cast<double>(options.m_qwLines);
        std::printf("  %-8s last alert after %.3f s (%.0f lines/s), first to last %.3f s, processor %.3f s "
                    "(%.2f us a line)\n",
                    hosts[n].first.c_str(), Median(last), lineCount / std::max(Median(last), 1e-9), Median(span),
                    Median(cpu), Median(cpu) * 1e6 / lineCount);
    }
    if (options.m_qwRate == 0) {
        char pattern[] = "/tmp/textlog_grep.XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            hwload::Fail("cannot make a scratch directory");
        }
        const std::string copy = std::string(pattern) + "/grep.log";
        Append(copy, lines.data(), lines.size());
        uint64_t grepCount = 0;
        const double grep = TimeGrep(copy, options.m_nRules, grepCount);
        std::printf("grep -cE over the same lines: %.3f s (%" PRIu64 " matching)\n", grep, grepCount);
        std::filesystem::remove_all(pattern);
    }
    return complete ? 0 : 1;
}
