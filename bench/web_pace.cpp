// Load driver for the web-server engine: runs the real hwhost on a sensor
// root with the network engine's signature rules (the packet library's
// replay adapter playing an empty capture), and has bin/hw-webmodule write
// numbered events into the ring at a series of steady rates, holding the
// ring open as a busy web server's module does.  The module drops each
// event that finds no room in the ring (the ring's overflow); for each rate
// this reports the events offered, those dropped so, the alerts written and
// the events written but never alerted, with the host's processor time.
// It also measures an idle host: the processor time hwhost takes over
// --idle seconds with the ring open and nothing written, and how often its
// threads wake (their context switches, in all and of the thread that
// wakes most: the web-server engine's, when it looks often), then has that
// host, quiet for --quiet seconds in all by then, take a burst of --burst
// events a second for --seconds: whether a quiet engine is woken in time.
// --quiet and --burst take lists; every quiet spell meets every burst rate,
// each pair on an idle host of its own.  With --baseline,
// every round runs that hwhost (another build's, the last one's of main
// say) too, right after this one, and the medians of the rounds are printed
// side by side (bench/web_pace_compare.sh builds one and does so).
//
// Each rate runs a host of its own, started afresh.  It runs in a network
// namespace of its own (so it needs root).
//
//   web_pace [--hwhost PATH] [--baseline PATH] [--rates 500,2000,...]
//            [--seconds N] [--idle N] [--quiet 10,30] [--burst 5000,10000]
//            [--rounds N] [--keep]

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
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
    double m_dIdleSeconds = 8;
    std::vector<uint64_t> m_QuietSeconds{10, 30};
    std::vector<uint64_t> m_BurstRates{5000, 10000};
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
                                             {hwload::NumberOption("--idle", options.m_dIdleSeconds),
                                              {"--quiet", true,
                                               [&options](const std::string& value) {
                                                   options.m_QuietSeconds = hwload::NumberList(value);
                                               }},
                                              {"--burst", true,
                                               [&options](const std::string& value) {
                                                   options.m_BurstRates = hwload::NumberList(value);
                                               }}}),
                         options.m_host);
    const auto hasZero = [](const std::vector<uint64_t>& list) {
        return std::find(list.begin(), list.end(), 0u) != list.end();
    };
    if (options.m_Rates.empty() || options.m_dSeconds <= 0 || options.m_dIdleSeconds < 0 || options.m_nRounds < 1 ||
        options.m_QuietSeconds.empty() || options.m_BurstRates.empty() || hasZero(options.m_BurstRates) ||
        hasZero(options.m_Rates)) {
        hwload::Fail("--rates, --seconds, --burst and --rounds must be positive, --idle and --quiet 0 or more");
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

// Has the module write `qwRate` events a second for --seconds into the ring
// of the running `host`, and counts what became of them.
RateFigures WriteAndCount(const Options& options, const RunningHost& host, hwload::AlertCounter& counter,
                          uint64_t qwRate) {
    RateFigures figures;
    figures.m_qwOffered = static_cast<uint64_t>(static_cast<double>(qwRate) * options.m_dSeconds);
    const double dCpuBefore = hwload::CpuSeconds(host.m_pid);
    const uint64_t qwAlertsBefore = counter.Count();
    long nWritten = 0;
    long nNotWritten = 0;
    if (!RunModule(host.m_strRoot, qwRate, figures.m_qwOffered, nWritten, nNotWritten, figures.m_dSeconds)) {
        hwload::StopHost(host.m_pid);
        hwload::Fail("the module said no tally; see " + host.m_strRoot + "/module.out");
    }
    figures.m_qwWritten = static_cast<uint64_t>(nWritten);
    figures.m_qwDropped = static_cast<uint64_t>(nNotWritten);
    // What waits in the ring is alerted once it is taken: the count settles.
    hwload::WaitFor([&] { return counter.Count() - qwAlertsBefore >= figures.m_qwWritten; }, 30);
    figures.m_qwAlerts = hwload::WaitUntilSettled([&] { return counter.Count(); }, 1.0, 60) - qwAlertsBefore;
    figures.m_dCpuSeconds = hwload::CpuSeconds(host.m_pid) - dCpuBefore;
    return figures;
}

RateFigures RunRate(const Options& options, const std::string& scratch, const std::string& hwhost, uint64_t qwRate) {
    std::unique_ptr<hwload::AlertCounter> counter;
    const RunningHost host = StartWebHost(scratch, hwhost, counter);
    const RateFigures figures = WriteAndCount(options, host, *counter, qwRate);
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

// The context switches of process `pid`'s threads so far, each a wake-up
// of one of them (a thread that waits and is woken, or is made to give way
// while it runs), in all and by thread.
struct Wakeups {
    uint64_t m_qwAll = 0;
    std::map<std::string, uint64_t> m_ByThread;
    // The most any thread woke between `before` and this.
    uint64_t MostSince(const Wakeups& before) const {
        uint64_t qwMost = 0;
        for (const auto& [task, qwCount] : m_ByThread) {
            const auto it = before.m_ByThread.find(task);
            if (it != before.m_ByThread.end()) {
                qwMost = std::max(qwMost, qwCount - it->second);
            }
        }
        return qwMost;
    }
};
Wakeups CountWakeups(pid_t pid) {
    Wakeups wakeups;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
        const std::string status = hwload::ReadText(entry.path().string() + "/status");
        uint64_t qwTask = 0;
        for (const char* pszField : {"\nvoluntary_ctxt_switches:", "\nnonvoluntary_ctxt_switches:"}) {
            const size_t at = status.find(pszField);
            if (at != std::string::npos) {
                qwTask += std::strtoull(status.c_str() + at + std::strlen(pszField), nullptr, 10);
            }
        }
        wakeups.m_qwAll += qwTask;
        wakeups.m_ByThread[entry.path().filename().string()] = qwTask;
    }
    return wakeups;
}

// What an idle host gave: its processor seconds a second and wake-ups a
// second (in all, and of the thread that woke most) with the ring
// open and nothing written, after it settled from its start; then what a
// burst after the quiet spell gave.
struct IdleFigures {
    double m_dCpuShare = 0;
    double m_dWakeups = 0;
    double m_dMostWakeups = 0;
    double m_dQuietSeconds = 0;
    RateFigures m_Burst;
};

// One quiet spell and the burst rate that ends it.
struct QuietBurst {
    double m_dQuietSeconds;
    uint64_t m_qwBurstRate;
};

std::vector<QuietBurst> QuietBursts(const Options& options) {
    std::vector<QuietBurst> pairs;
    for (uint64_t qwQuiet : options.m_QuietSeconds) {
        for (uint64_t qwBurst : options.m_BurstRates) {
            pairs.push_back({static_cast<double>(qwQuiet), qwBurst});
        }
    }
    return pairs;
}

IdleFigures RunIdle(const Options& options, const std::string& scratch, const std::string& hwhost,
                    const QuietBurst& pair) {
    IdleFigures figures;
    std::unique_ptr<hwload::AlertCounter> counter;
    const RunningHost host = StartWebHost(scratch, hwhost, counter);
    const Clock::time_point started = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double dBefore = RunSeconds(host.m_pid);
    const Wakeups before = CountWakeups(host.m_pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(options.m_dIdleSeconds));
    const Wakeups after = CountWakeups(host.m_pid);
    const double dUsed = RunSeconds(host.m_pid) - dBefore;
    figures.m_dCpuShare = dUsed / options.m_dIdleSeconds;
    figures.m_dWakeups = static_cast<double>(after.m_qwAll - before.m_qwAll) / options.m_dIdleSeconds;
    figures.m_dMostWakeups = static_cast<double>(after.MostSince(before)) / options.m_dIdleSeconds;
    std::this_thread::sleep_until(started + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(pair.m_dQuietSeconds)));
    figures.m_dQuietSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    figures.m_Burst = WriteAndCount(options, host, *counter, pair.m_qwBurstRate);
    hwload::StopHost(host.m_pid);
    counter.reset();
    hwload::FinishRoot(options.m_host, host.m_strRoot);
    return figures;
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
    // idle[pair][host][round]
    const std::vector<QuietBurst> pairs = QuietBursts(options);
    std::vector<std::vector<std::vector<IdleFigures>>> idle(pairs.size(),
                                                            std::vector<std::vector<IdleFigures>>(hosts.size()));
    for (int round = 0; round < options.m_nRounds; ++round) {
        std::printf("round %d\n", round + 1);
        for (size_t p = 0; options.m_dIdleSeconds > 0 && p < pairs.size(); ++p) {
            for (size_t k = 0; k < hosts.size(); ++k) {
                const size_t n = hwload::InTurn(k, round, hosts.size());
                idle[p][n].push_back(RunIdle(options, scratch, hosts[n].m_strPath, pairs[p]));
                const IdleFigures& figures = idle[p][n].back();
                std::printf("  %-8s idle: %.3f%% of a processor, %.1f wake-ups a second (the busiest thread's "
                            "%.1f); after %.1f s quiet:\n",
                            hosts[n].m_strName.c_str(), figures.m_dCpuShare * 100, figures.m_dWakeups,
                            figures.m_dMostWakeups, figures.m_dQuietSeconds);
                PrintRate(hosts[n].m_strName.c_str(), pairs[p].m_qwBurstRate, figures.m_Burst);
            }
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
        // The idle figures of every pair's host together; a row for each
        // pair's burst.
        std::vector<std::string> cells[3];
        std::vector<std::vector<std::string>> burstCells(pairs.size());
        for (size_t n = 0; n < hosts.size(); ++n) {
            std::vector<double> share, wakeups, mostWakeups;
            for (size_t p = 0; p < pairs.size(); ++p) {
                std::vector<double> perSecond;
                std::vector<uint64_t> dropped, notAlerted;
                for (const IdleFigures& figures : idle[p][n]) {
                    share.push_back(figures.m_dCpuShare * 100);
                    wakeups.push_back(figures.m_dWakeups);
                    mostWakeups.push_back(figures.m_dMostWakeups);
                    perSecond.push_back(figures.m_Burst.AlertsPerSecond());
                    dropped.push_back(figures.m_Burst.m_qwDropped);
                    notAlerted.push_back(figures.m_Burst.NotAlerted());
                    bEveryOne = bEveryOne && (n != 0 || (figures.m_Burst.NotAlerted() == 0 &&
                                                         figures.m_Burst.m_qwDropped == 0));
                }
                char cell[64];
                std::snprintf(cell, sizeof cell, "%.1f / %" PRIu64 " / %" PRIu64, hwload::Median(perSecond),
                              hwload::Median(dropped), hwload::Median(notAlerted));
                burstCells[p].push_back(cell);
            }
            char cell[64];
            std::snprintf(cell, sizeof cell, "%.3f%% of a processor", hwload::Median(share));
            cells[0].push_back(cell);
            std::snprintf(cell, sizeof cell, "%.1f wake-ups/s", hwload::Median(wakeups));
            cells[1].push_back(cell);
            std::snprintf(cell, sizeof cell, "%.1f wake-ups/s", hwload::Median(mostWakeups));
            cells[2].push_back(cell);
        }
        const char* const heads[3] = {"idle", "wake", "busiest"};
        for (size_t row = 0; row < 3; ++row) {
            std::printf("%8s", heads[row]);
            for (const std::string& cell : cells[row]) {
                std::printf("  %-30s", cell.c_str());
            }
            std::printf("\n");
        }
        for (size_t p = 0; p < pairs.size(); ++p) {
            const std::string head =
                std::to_string(pairs[p].m_qwBurstRate) + "q" + std::to_string(static_cast<int>(pairs[p].m_dQuietSeconds));
            std::printf("%8s", head.c_str());
            for (const std::string& cell : burstCells[p]) {
                std::printf("  %-30s", cell.c_str());
            }
            std::printf("\n");
        }
        std::printf("(wake: the idle host's threads' wake-ups; busiest: those of its thread that woke most; RqS: a "
                    "burst of R events a second for %.0f s after S s quiet)\n",
                    options.m_dSeconds);
    }
    if (!options.m_host.m_bKeep) {
        std::filesystem::remove_all(scratch);
    }
    return bEveryOne ? 0 : 1;
}
