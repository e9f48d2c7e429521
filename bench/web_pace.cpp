// Load driver for the web-server engine: runs the real hwhost on a sensor
// root with the network engine's signature rules (the packet library's
// replay adapter playing an empty capture), and has bin/hw-webmodule write
// numbered events into the ring at a series of steady rates, holding the
// ring open as a busy web server's module does.  The module drops each
// event that finds no room in the ring (the ring's overflow); for each rate
// this reports the events offered, those dropped so, the alerts written and
// the events written but never alerted, with the host's processor time.
// It also measures an idle host: the processor time hwhost takes over
// --idle seconds with the ring open and nothing written.  With --baseline,
// every round runs that hwhost (another build's, the last one's of main
// say) too, right after this one, and the medians of the rounds are printed
// side by side (bench/web_pace_compare.sh builds one and does so).
//
// Each rate runs a host of its own, started afresh.  It runs in a network
// namespace of its own (so it needs root).
//
//   web_pace [--hwhost PATH] [--baseline PATH] [--rates 500,2000,...]
//            [--seconds N] [--idle N] [--rounds N] [--keep]

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HostLoad.h"
#include "integration/NetworkHostSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

// A signature rule of the network policy, its "TID", and what a web
// server's module says of a request: each message is 208 bytes and a class
// text of some 40 ("url=/scripts/cmd.exe,method=GET,n=12345"), so the ring
// holds about 260 of them.
constexpr char kRule[] = "Payload_Cmd_Exe";
constexpr char kTid[] = "1006";
constexpr char kIntruder[] = "203.0.113.9:40000";
constexpr char kVictim[] = "192.0.2.10:80";
constexpr char kClass[] = "url=/scripts/cmd.exe,method=GET";

struct Options {
    hwload::HostOptions m_host;
    std::string m_strBaseline;
    std::vector<uint64_t> m_Rates{500, 2000, 5000, 10000, 20000};
    double m_dSeconds = 5;
    double m_dIdleSeconds = 20;
    int m_nRounds = 1;
};

// What one rate gave one host.
struct RateFigures {
    uint64_t m_qwOffered = 0;
    uint64_t m_qwWritten = 0;
    uint64_t m_qwDropped = 0;
    uint64_t m_qwAlerts = 0;
    double m_dSeconds = 0;  // of writing
    double m_dCpuSeconds = 0;
    double AlertsPerSecond() const { return m_dSeconds > 0 ? static_cast<double>(m_qwAlerts) / m_dSeconds : 0; }
    uint64_t NotAlerted() const { return m_qwWritten > m_qwAlerts ? m_qwWritten - m_qwAlerts : 0; }
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(argc, argv,
                         hwload::PaceOptions(options.m_Rates, options.m_dSeconds, options.m_nRounds,
                                             options.m_strBaseline,
                                             {hwload::NumberOption("--idle", options.m_dIdleSeconds)}),
                         options.m_host);
    if (options.m_Rates.empty() || options.m_dSeconds <= 0 || options.m_dIdleSeconds < 0 || options.m_nRounds < 1 ||
        std::find(options.m_Rates.begin(), options.m_Rates.end(), 0u) != options.m_Rates.end()) {
        hwload::Fail("--rates, --seconds and --rounds must be positive, --idle 0 or more");
    }
    return options;
}

// bin/hw-webmodule of this build, whichever host is measured.
std::string ModulePath() {
    return std::filesystem::path(hwload::HwhostBesideThisProgram()).parent_path() / "hw-webmodule";
}

// A host on a fresh root under `scratch`, once its start has completed;
// the alerts it writes are counted by `counter`.
struct RunningHost {
    std::string m_strRoot;
    pid_t m_pid = -1;
};

RunningHost StartWebHost(const std::string& scratch, const std::string& hwhost,
                         std::unique_ptr<hwload::AlertCounter>& counter) {
    std::string pattern = scratch + "/root.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        hwload::Fail("cannot make a scratch directory");
    }
    RunningHost host{pattern};
    hwtest::NetworkPolicyOptions policy;
    policy.m_bPacketLog = false;
    hwtest::PrepareNetworkRoot(host.m_strRoot, policy);
    std::filesystem::create_directories(host.m_strRoot + "/logs");
    const std::string capture = host.m_strRoot + "/input.pcap";
    std::ofstream(capture, std::ios::binary) << hwtest::Capture({});
    std::vector<std::string> environment = hwtest::ReplayFileEnvironment(host.m_strRoot, capture);
    // No output files: the replay's writes are not what is measured.
    environment.erase(std::remove_if(environment.begin(), environment.end(),
                                     [](const std::string& setting) {
                                         return setting.rfind("HW_PACKET_REPLAY_OUT=", 0) == 0;
                                     }),
                      environment.end());
    const std::string fifo = host.m_strRoot + "/alerts.fifo";
    counter = std::make_unique<hwload::AlertCounter>(fifo);
    host.m_pid = hwload::StartHost({hwhost, "run", "--root", host.m_strRoot, "--log", hwload::LogPath(host.m_strRoot)},
                                   fifo, host.m_strRoot + "/hwhost.err", environment);
    if (!hwload::WaitFor(
            [&] {
                return hwload::ReadText(hwload::LogPath(host.m_strRoot)).find("hwhost: start-up completed with status 1") !=
                       std::string::npos;
            },
            60)) {
        hwload::StopHost(host.m_pid);
        hwload::Fail("the host did not start; see " + host.m_strRoot);
    }
    return host;
}

// Runs the module to its end, writing `qwCount` numbered events at `qwRate`
// a second into the ring of `root`; answers its tally, and the seconds it
// wrote for.
bool RunModule(const std::string& root, uint64_t qwRate, uint64_t qwCount,
               long& nWritten, long& nNotWritten, double& dSeconds) {
    const std::string output = root + "/module.out";
    std::vector<std::string> args = {ModulePath(), "--root",  root,     "write",   "--name",  kRule,
                                     "--id",       kTid,      "--proto", "6",       "--src",   kIntruder,
                                     "--dst",      kVictim,   "--class", kClass,    "--count", std::to_string(qwCount),
                                     "--rate",     std::to_string(qwRate)};
    // Its standard input stays open (a pipe) until it ends: its end would
    // end the writing.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        hwload::Fail("cannot make a pipe");
    }
    const Clock::time_point start = Clock::now();
    const pid_t pid = hwload::StartHost(args, output, output, {}, pipeFds[0]);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(pipeFds[1]);
    return hwtest::ModuleTally(hwload::ReadText(output), nWritten, nNotWritten);
}

RateFigures RunRate(const Options& options, const std::string& scratch, const std::string& hwhost, uint64_t qwRate) {
    RateFigures figures;
    std::unique_ptr<hwload::AlertCounter> counter;
    const RunningHost host = StartWebHost(scratch, hwhost, counter);
    figures.m_qwOffered = static_cast<uint64_t>(static_cast<double>(qwRate) * options.m_dSeconds);
    const double dCpuBefore = hwload::CpuSeconds(host.m_pid);
    long nWritten = 0;
    long nNotWritten = 0;
    if (!RunModule(host.m_strRoot, qwRate, figures.m_qwOffered, nWritten, nNotWritten, figures.m_dSeconds)) {
        hwload::StopHost(host.m_pid);
        hwload::Fail("the module said no tally; see " + host.m_strRoot + "/module.out");
    }
    figures.m_qwWritten = static_cast<uint64_t>(nWritten);
    figures.m_qwDropped = static_cast<uint64_t>(nNotWritten);
    // What waits in the ring is alerted once it is taken: the count settles.
    hwload::WaitFor([&] { return counter->Count() >= figures.m_qwWritten; }, 30);
    figures.m_qwAlerts = hwload::WaitUntilSettled([&] { return counter->Count(); }, 1.0, 60);
    figures.m_dCpuSeconds = hwload::CpuSeconds(host.m_pid) - dCpuBefore;
    hwload::StopHost(host.m_pid);
    counter.reset();
    hwload::FinishRoot(options.m_host, host.m_strRoot);
    return figures;
}

// The processor time the threads of process `pid` have run, in seconds,
// to the nanosecond (the scheduler's own count): an idle host's share is
// far below the clock ticks of CpuSeconds.
double RunSeconds(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    uint64_t qwNanoseconds = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
        qwNanoseconds += std::strtoull(hwload::ReadText(entry.path().string() + "/schedstat").c_str(), nullptr, 10);
    }
    return static_cast<double>(qwNanoseconds) / 1e9;
}

// The processor seconds a second an idle host takes, the ring open and
// nothing written, after it settled from its start.
double RunIdle(const Options& options, const std::string& scratch, const std::string& hwhost) {
    std::unique_ptr<hwload::AlertCounter> counter;
    const RunningHost host = StartWebHost(scratch, hwhost, counter);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double dBefore = RunSeconds(host.m_pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(options.m_dIdleSeconds));
    const double dUsed = RunSeconds(host.m_pid) - dBefore;
    hwload::StopHost(host.m_pid);
    counter.reset();
    hwload::FinishRoot(options.m_host, host.m_strRoot);
    return dUsed / options.m_dIdleSeconds;
}

void PrintRate(const char* pszWhich, uint64_t qwRate, const RateFigures& figures) {
    std::printf("  %-8s %6" PRIu64 "/s: %7" PRIu64 " offered in %5.2f s, %7" PRIu64 " dropped (ring full), %7" PRIu64
                " alerts (%8.1f/s), %6" PRIu64 " written but not alerted, host %5.2f processor s\n",
                pszWhich, qwRate, figures.m_qwOffered, figures.m_dSeconds, figures.m_qwDropped, figures.m_qwAlerts,
                figures.AlertsPerSecond(), figures.NotAlerted(), figures.m_dCpuSeconds);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string scratch = hwload::EnterScratchNamespace("web_pace");
    std::printf("hw-webmodule writing numbered events for %.0f s a rate, idle hosts measured for %.0f s, %d round%s\n",
                options.m_dSeconds, options.m_dIdleSeconds, options.m_nRounds, options.m_nRounds == 1 ? "" : "s");
    const std::vector<hwload::ComparedHost> hosts = hwload::ComparedHosts(options.m_host, options.m_strBaseline);
    // runs[host][rate][round], idle[host][round]
    std::vector<std::vector<std::vector<RateFigures>>> runs(
        hosts.size(), std::vector<std::vector<RateFigures>>(options.m_Rates.size()));
    std::vector<std::vector<double>> idle(hosts.size());
    for (int round = 0; round < options.m_nRounds; ++round) {
        std::printf("round %d\n", round + 1);
        for (size_t k = 0; options.m_dIdleSeconds > 0 && k < hosts.size(); ++k) {
            const size_t n = hwload::InTurn(k, round, hosts.size());
            idle[n].push_back(RunIdle(options, scratch, hosts[n].m_strPath));
            std::printf("  %-8s idle: %.3f%% of a processor\n", hosts[n].m_strName.c_str(), idle[n].back() * 100);
            std::fflush(stdout);
        }
        for (size_t r = 0; r < options.m_Rates.size(); ++r) {
            for (size_t k = 0; k < hosts.size(); ++k) {
                const size_t n = hwload::InTurn(k, round, hosts.size());
                runs[n][r].push_back(RunRate(options, scratch, hosts[n].m_strPath, options.m_Rates[r]));
                PrintRate(hosts[n].m_strName.c_str(), options.m_Rates[r], runs[n][r].back());
            }
        }
    }
    hwload::PrintMediansHead(options.m_nRounds, "alerts a second / dropped (ring full) / not alerted", hosts, 30);
    bool bEveryOne = true;
    for (size_t r = 0; r < options.m_Rates.size(); ++r) {
        std::printf("%8" PRIu64, options.m_Rates[r]);
        for (size_t n = 0; n < hosts.size(); ++n) {
            std::vector<double> perSecond;
            std::vector<uint64_t> dropped;
            std::vector<uint64_t> notAlerted;
            for (const RateFigures& figures : runs[n][r]) {
                perSecond.push_back(figures.AlertsPerSecond());
                dropped.push_back(figures.m_qwDropped);
                notAlerted.push_back(figures.NotAlerted());
                bEveryOne = bEveryOne && (n != 0 || figures.NotAlerted() == 0);
            }
            char cell[64];
            std::snprintf(cell, sizeof cell, "%.1f / %" PRIu64 " / %" PRIu64, hwload::Median(perSecond),
                          hwload::Median(dropped), hwload::Median(notAlerted));
            std::printf("  %-30s", cell);
        }
        std::printf("\n");
    }
    if (options.m_dIdleSeconds > 0) {
        std::printf("%8s", "idle");
        for (size_t n = 0; n < hosts.size(); ++n) {
            char cell[64];
            std::snprintf(cell, sizeof cell, "%.3f%% of a processor", hwload::Median(idle[n]) * 100);
            std::printf("  %-30s", cell);
        }
        std::printf("\n");
    }
    if (!options.m_host.m_bKeep) {
        std::filesystem::remove_all(scratch);
    }
    return bEveryOne ? 0 : 1;
}
