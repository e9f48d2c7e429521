// Load driver for a cut of a large followed file: runs the real hwhost on a
// sensor root with two log groups, "Big" (one large file) and "Other" (one
// small file), and times how long a line appended to the small file waits
// for its alert, first with nothing else going on (the engine's pass of a
// second), then right after the large file, read through, is cut to half
// its size, which the engine reads again from its first byte to show what
// the file still holds.  With --baseline, every round runs that hwhost
// (another build's, the last one's say) too, right after this one, and the
// figures are printed side by side with the medians of the rounds.
//
//   textlog_cut_wait [--hwhost PATH] [--baseline PATH] [--rounds N]
//                    [--mib N] [--keep]
//
// The large file is --mib MiB (2048 unless given) of lines of 64 KiB that
// no rule takes, written once a run.

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "HostLoad.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    hwload::HostOptions m_host;
    std::string m_strBaseline;
    uint64_t m_qwMiB = 2048;
    int m_nRounds = 1;
};

// What one run of one host gave, in seconds; negative when the alert did
// not come within a minute.
struct RunFigures {
    double m_dQuiet = -1;
    double m_dAfterCut = -1;
    double m_dReadThrough = -1;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(argc, argv,
                         {hwload::NumberOption("--mib", options.m_qwMiB),
                          hwload::NumberOption("--rounds", options.m_nRounds),
                          {"--baseline", true, [&](const std::string& value) { options.m_strBaseline = value; }}},
                         options.m_host);
    if (options.m_qwMiB < 2 || options.m_nRounds < 1) {
        hwload::Fail("--mib must be 2 or more and --rounds positive");
    }
    return options;
}

void WriteSensorRoot(const std::string& root) {
    using hwload::PolicyValue;
    std::string policy = "Host Warden text-log cut policy\r\n[\\];\r\n[\\config\\];\r\n";
    policy += PolicyValue("ScriptEnabled", 'B', "0") + PolicyValue("Nodekeeper", 'B', "0");
    policy += "[\\Debug\\];\r\n[\\Debug\\Log\\];\r\n" + PolicyValue("Enable Debug Logging", 'B', "0");
    policy += "[\\Advanced\\];\r\n[\\Advanced\\Logs\\];\r\n";
    for (const char* pszGroup : {"Big", "Other"}) {
        policy += "[\\Advanced\\Logs\\" + std::string(pszGroup) + "\\];\r\n";
        policy += PolicyValue("Path", 'S', root + "/" + pszGroup + ".log") + PolicyValue("NewestOnly", 'B', "0");
    }
    policy += "[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n";
    policy += "[\\Advanced\\Rules\\SysLog Rules\\Marker\\];\r\n";
    policy += PolicyValue("Enabled", 'B', "1") + PolicyValue("Log Type", 'S', "TextLog") +
              PolicyValue("Logs", 'S', "Big,Other") + PolicyValue("Alert Type", 'S', "LoginEvent") +
              PolicyValue("Regular Expression", 'S', "MARK[0-9]+ failed");
    policy += "[\\Advanced\\Rules\\SysLog Rules\\Marker\\Info\\];\r\n";
    policy += PolicyValue("Log file", 'S', "@File");
    std::ofstream(root + "/Default.policy", std::ios::binary) << policy;
    std::ofstream(root + "/Big.log", std::ios::binary);
    std::ofstream(root + "/Other.log", std::ios::binary);
}

void Append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

// Appends a marked line to `path` and answers the seconds until the alert
// count passes `before`; -1 after a minute.
double TimeLine(const std::string& path, hwload::AlertCounter& counter, int& mark) {
    const uint64_t before = counter.Count();
    const auto start = Clock::now();
    Append(path, "MARK" + std::to_string(++mark) + " failed\n");
    if (!hwload::WaitFor([&] { return counter.Count() > before; }, 60)) {
        return -1;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

RunFigures RunHost(const Options& options, const std::string& hwhost) {
    char pattern[] = "/tmp/textlog_cut_wait.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        hwload::Fail("cannot make a scratch directory");
    }
    const std::string root = pattern;
    WriteSensorRoot(root);
    hwload::AlertCounter counter(root + "/alerts.xml");
    const pid_t host =
        hwload::StartHost({hwhost, "run", "--root", root, "--log", hwload::LogPath(root)}, root + "/alerts.xml");
    const std::string big = root + "/Big.log";
    const std::string other = root + "/Other.log";
    int mark = 0;
    // Both files are taken up at the first scan, from their ends: a marked
    // line is appended to each until one is alerted.
    for (const std::string& path : {other, big}) {
        if (!hwload::WaitFor(
                [&] {
                    const uint64_t before = counter.Count();
                    Append(path, "MARK" + std::to_string(++mark) + " failed\n");
                    return hwload::WaitFor([&] { return counter.Count() > before; }, 1);
                },
                120)) {
            hwload::StopHost(host);
            hwload::Fail("the engine reported no probe line; see " + root);
        }
    }
    hwload::WaitUntilSettled([&] { return counter.Count(); }, 2.0, 60);
    RunFigures figures;
    figures.m_dQuiet = TimeLine(other, counter, mark);
    {
        const std::string line = std::string(65535, 'x') + "\n";
        std::ofstream out(big, std::ios::binary | std::ios::app);
        for (uint64_t n = 0; n < options.m_qwMiB * 16; ++n) {
            out << line;
        }
    }
    figures.m_dReadThrough = TimeLine(big, counter, mark);
    hwload::WaitUntilSettled([&] { return counter.Count(); }, 1.5, 60);
    if (::truncate(big.c_str(), static_cast<off_t>(options.m_qwMiB / 2) << 20) != 0) {
        hwload::Fail("cannot cut " + big);
    }
    figures.m_dAfterCut = TimeLine(other, counter, mark);
    hwload::StopHost(host);
    std::filesystem::remove(big);
    hwload::FinishRoot(options.m_host, root);
    return figures;
}

void PrintRun(const char* pszWhich, const RunFigures& figures) {
    std::printf("  %-8s a line of the other group: %.3f s with nothing else, %.3f s right after the cut; the large "
                "file read through in %.3f s\n",
                pszWhich, figures.m_dQuiet, figures.m_dAfterCut, figures.m_dReadThrough);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    std::printf("a file of %" PRIu64 " MiB read through and cut to half, a line of another group right after; %d "
                "round%s\n",
                options.m_qwMiB, options.m_nRounds, options.m_nRounds == 1 ? "" : "s");
    const std::vector<hwload::ComparedHost> hosts = hwload::ComparedHosts(options.m_host, options.m_strBaseline);
    std::vector<std::vector<RunFigures>> runs(hosts.size());
    bool complete = true;
    for (int round = 0; round < options.m_nRounds; ++round) {
        std::printf("round %d\n", round + 1);
        for (size_t k = 0; k < hosts.size(); ++k) {
            const size_t n = hwload::InTurn(k, round, hosts.size());
            runs[n].push_back(RunHost(options, hosts[n].m_strPath));
            PrintRun(hosts[n].m_strName.c_str(), runs[n].back());
            complete = complete && runs[n].back().m_dQuiet >= 0 && runs[n].back().m_dAfterCut >= 0;
            std::fflush(stdout);
        }
    }
    std::printf("medians of %d round%s:\n", options.m_nRounds, options.m_nRounds == 1 ? "" : "s");
    for (size_t n = 0; n < hosts.size(); ++n) {
        std::vector<double> quiet;
        std::vector<double> cut;
        for (const RunFigures& figures : runs[n]) {
            quiet.push_back(figures.m_dQuiet);
            cut.push_back(figures.m_dAfterCut);
        }
        std::printf("  %-8s %.3f s with nothing else, %.3f s right after the cut\n", hosts[n].m_strName.c_str(),
                    hwload::Median(quiet), hwload::Median(cut));
    }
    return complete ? 0 : 1;
}
