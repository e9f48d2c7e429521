#pragma once
// What the load drivers that run the real hwhost share: failing loudly,
// reading a file whole, finding and starting the host, watching its syslog
// port, offering it datagrams at a steady rate, and reading back the
// figures (alerts written, drops the engine reported, the kernel's UDP
// counters, the host's processor time).

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace hwload {

// Prints "<program>: <text>" to standard error and exits with 2.
[[noreturn]] void Fail(const std::string& text);

std::string ReadText(const std::string& path);

// One option of a driver's command line: "--name value", or a flag when
// `m_bTakesValue` is false; `m_apply` gets the value (empty for a flag).
struct Option {
    const char* m_pszName;
    bool m_bTakesValue;
    std::function<void(const std::string&)> m_apply;
};
// "--name N", N read as a number (a decimal count, a figure with a
// fraction, a signed whole number) into `target`.
Option NumberOption(const char* pszName, uint64_t& target);
Option NumberOption(const char* pszName, double& target);
Option NumberOption(const char* pszName, int& target);
// "10,20,30" as numbers, for options that take a list.
std::vector<uint64_t> NumberList(const std::string& text);
// Applies the options of a command line; an unknown option or a missing
// value fails loudly.
void ParseOptions(int argc, char** argv, const std::vector<Option>& options);

// What every driver that runs the host takes: "--hwhost PATH" (default:
// the hwhost of this build) and "--keep" (leave the sensor root behind).
struct HostOptions {
    std::string m_strHwhost;
    bool m_bKeep = false;
};
// Applies `options` and the host options of a command line.
void ParseOptions(int argc, char** argv, std::vector<Option> options, HostOptions& host);

// A sensor to run, for drivers that compare plug-ins: its name in the
// report and its plug-in (empty: the one hwhost loads by default).
struct PluginVariant {
    std::string m_strName;
    std::string m_strPlugin;
};
// "--plugin NAME=PATH", which may be given more than once; each adds a
// variant to `variants`.
Option PluginOption(std::vector<PluginVariant>& variants);
// The one variant of a run without --plugin: the plug-in beside hwhost.
void DefaultPluginVariant(std::vector<PluginVariant>& variants);
// "  NAME: PATH" for each variant, one a line.
void PrintPluginVariants(const std::vector<PluginVariant>& variants);
// Removes the scratch sensor root unless --keep asked to leave it.
void FinishRoot(const HostOptions& host, const std::string& root);

// Calls `run(variant, rate)` for each variant at each rate, `rounds` times,
// the variants' order turning from round to round so that load from
// elsewhere falls on each in turn; answers the results by variant, rate
// and round.
template <typename Result, typename Run>
std::vector<std::vector<std::vector<Result>>> RunRounds(int rounds, const std::vector<uint64_t>& rates,
                                                        const std::vector<PluginVariant>& variants, Run run) {
    std::vector<std::vector<std::vector<Result>>> results(variants.size(),
                                                          std::vector<std::vector<Result>>(rates.size()));
    for (int round = 0; round < rounds; ++round) {
        for (size_t r = 0; r < rates.size(); ++r) {
            for (size_t i = 0; i < variants.size(); ++i) {
                const size_t v = (i + static_cast<size_t>(round)) % variants.size();
                results[v][r].push_back(run(variants[v], rates[r]));
            }
        }
    }
    return results;
}
// Prints one line per rate, headed by `rateHeading`, and a column per
// variant `width` wide, each cell the rounds' `cell(result)` joined by ",".
template <typename Result, typename Cell>
void PrintRoundTable(const char* rateHeading, const std::vector<uint64_t>& rates,
                     const std::vector<PluginVariant>& variants,
                     const std::vector<std::vector<std::vector<Result>>>& results, int width, Cell cell) {
    std::printf("%10s", rateHeading);
    for (const PluginVariant& variant : variants) {
        std::printf("  %-*s", width, variant.m_strName.c_str());
    }
    std::printf("\n");
    for (size_t r = 0; r < rates.size(); ++r) {
        std::printf("%10llu", static_cast<unsigned long long>(rates[r]));
        for (size_t v = 0; v < variants.size(); ++v) {
            std::string text;
            for (const Result& result : results[v][r]) {
                text += (text.empty() ? "" : ",") + cell(result);
            }
            std::printf("  %-*s", width, text.c_str());
        }
        std::printf("\n");
    }
}
// The median of `values`; -1 for none.
double Median(std::vector<double> values);

// One `hwhost push` of `policyFile` to the host on `root`, to its end: how
// long it took and its exit code (-1 when it did not exit).
struct PushRun {
    double m_dSeconds = 0;
    int m_nExit = -1;
};
PushRun RunPush(const std::string& hwhost, const std::string& root, const std::string& policyFile);
// A thread that calls `push(n)` for n from 1 to `pushes`, spread evenly
// over `seconds` from `start`, each put off by up to half a second more:
// a push comes at any point of the engines' own waits.
std::thread PushThroughout(int pushes, double seconds, std::chrono::steady_clock::time_point start,
                           std::function<void(int n)> push);

// bin/hwhost of the build tree this program was built in.
std::string HwhostBesideThisProgram();

// Starts `argv` with no standard input (or `inputFd` as its standard input
// when one is given), standard output into `outputFile` and standard error
// into `errorFile` (discarded unless named: the syslog engine's echo of the
// datagrams goes there), with `environment` ("NAME=value") added to this
// process's.
pid_t StartHost(std::vector<std::string> argv, const std::string& outputFile,
                const std::string& errorFile = "/dev/null", const std::vector<std::string>& environment = {},
                int inputFd = -1);

// Moves this process (one thread only) into a private network namespace
// and makes a scratch directory /tmp/<stem>.XXXXXX for a sensor root.
std::string EnterScratchNamespace(const char* pszStem);
// hwhost run on `root`, alerts on its standard output into root/alerts.xml
// (an AlertCounter's pipe) and its log into root/logs/hwhost.log (see
// LogPath), once its syslog port is open; `extra` follows the host's other
// arguments.
pid_t StartHostOnRoot(const std::string& hwhost, const std::string& root,
                      const std::vector<std::string>& extra = {});
std::string LogPath(const std::string& root);
// SIGTERM and the wait for the end.
void StopHost(pid_t host);

// What the pace drivers that compare builds share (bench/*_pace_compare.sh):
// the hosts compared, "this" (HostOptions' hwhost) and, when a path is
// given, "baseline", each printed with its path as "this: PATH".
struct ComparedHost {
    std::string m_strName;
    std::string m_strPath;
};
std::vector<ComparedHost> ComparedHosts(const HostOptions& host, const std::string& baseline);
// Their options: "--rates 10,20,...", "--seconds N" (a rate), "--rounds N"
// and "--baseline PATH", followed by `more`.
std::vector<Option> PaceOptions(std::vector<uint64_t>& rates, double& seconds, int& rounds, std::string& baseline,
                                std::vector<Option> more);
// Which host runs k-th of `hosts` in `round`: the order changes from round
// to round, so that load from elsewhere falls on every host.
size_t InTurn(size_t k, int round, size_t hosts);
// "medians of N rounds: WHAT", then the rate column's head and a column
// of `width` a host.
void PrintMediansHead(int rounds, const char* pszWhat, const std::vector<ComparedHost>& hosts, int width);
template <typename Value>
Value Median(std::vector<Value> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? Value{} : values[values.size() / 2];
}

// Whether a socket already holds UDP `port` on every address.
bool UdpPortTaken(uint16_t port);

// Polls `condition` every 20 ms for at most `seconds`.
bool WaitFor(const std::function<bool()>& condition, double seconds);
// Waits until `sample` has not changed for `quietSeconds`; its last value.
uint64_t WaitUntilSettled(const std::function<uint64_t()>& sample, double quietSeconds,
                          double limitSeconds);

// A policy line: name, tab, "=" and type letter, tab, value and ";", CR LF.
std::string PolicyValue(const char* pszName, char type, const std::string& value);
// The start of a load policy with one table of syslog rules to follow: its
// first line, "\config" with rule scripts on or off, debug logging off,
// and the section of the syslog rules.
std::string SyslogPolicyHead(const char* pszTitle, bool bScripts);

// The UDP counters of the network namespace this process is in.
std::map<std::string, uint64_t> UdpCounters();
// Datagrams the kernel dropped between two readings of the counters.
uint64_t KernelDrops(std::map<std::string, uint64_t> before, std::map<std::string, uint64_t> after);
// The drops the syslog engine has reported in the host log so far, those
// the system made before the engine could read the datagrams included.
uint64_t EngineDrops(const std::string& logPath);
// The resident memory of process `pid` now and at its peak, in KiB.
uint64_t ResidentKiB(pid_t pid);
uint64_t PeakResidentKiB(pid_t pid);
// Processor seconds (user and system) process `pid` has used so far.
double CpuSeconds(pid_t pid);
// A pause and a resume of the host, each awaited on port 514: the syslog
// engine then reports the drops it has not reported yet.
void PauseAndResume(pid_t host);

// Threads that keep processors busy beside the host, as on a loaded
// machine, until the object goes.
class BusyThreads {
public:
    explicit BusyThreads(int count);
    ~BusyThreads();
    BusyThreads(const BusyThreads&) = delete;
    BusyThreads& operator=(const BusyThreads&) = delete;

private:
    std::atomic<bool> m_bStop{false};
    std::vector<std::thread> m_threads;
};

// Counts the alert documents hwhost writes into a named pipe, so millions
// of alerts cost no disk.
class AlertCounter {
public:
    // A positive `bytesPerSecond` reads no faster than that: a slow reader
    // of the host's output, which the host's writer then waits for.
    explicit AlertCounter(const std::string& fifoPath, double bytesPerSecond = 0);
    ~AlertCounter();
    AlertCounter(const AlertCounter&) = delete;
    AlertCounter& operator=(const AlertCounter&) = delete;
    uint64_t Count() const { return m_qwCount.load(); }
    // Once `afterDocuments` documents were counted, reads nothing for
    // `seconds`: a reader held up for a while (set before alerts come).
    void StallOnce(uint64_t afterDocuments, double seconds) {
        m_qwStallAfter = afterDocuments;
        m_dStallSeconds = seconds;
    }

private:
    void Run();

    std::string m_strPath;
    double m_dBytesPerSecond;
    std::atomic<uint64_t> m_qwStallAfter{0};
    std::atomic<double> m_dStallSeconds{0};
    std::atomic<uint64_t> m_qwCount{0};
    std::thread m_thread;
};

// Reads the alert documents hwhost writes into a named pipe (made here)
// and counts the alerts of each number 1 to `count` of a series, the
// number taken from each whole document by `numberOf` (0: of no number);
// keeps when each read brought numbered alerts.
class NumberedAlerts {
public:
    using NumberOf = std::function<uint64_t(std::string_view document)>;
    NumberedAlerts(const std::string& fifoPath, uint64_t count, NumberOf numberOf);
    ~NumberedAlerts();
    NumberedAlerts(const NumberedAlerts&) = delete;
    NumberedAlerts& operator=(const NumberedAlerts&) = delete;

    // Alerts of a number so far, and all alerts.
    uint64_t Numbered() const { return m_qwNumbered.load(); }
    uint64_t All() const { return m_qwAll.load(); }
    // Waits for the pipe's end: after the host ended.
    void Join();
    // After Join: each number's alerts (at most 255), and the numbered
    // alerts of a number past `count`.
    const std::vector<uint8_t>& Counts() const { return m_Counts; }
    // After Join: how many numbers came once, never, and more than once.
    struct Tally {
        uint64_t m_qwOnce = 0;
        uint64_t m_qwNever = 0;
        uint64_t m_qwTwice = 0;
    };
    Tally Tallied() const;
    uint64_t Unknown() const { return m_qwUnknown; }
    // When the last numbered alert came.
    std::chrono::steady_clock::time_point LastGrowth();
    // The longest time within [from, to] in which no numbered alert came.
    double LongestStill(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to);

private:
    void Run();

    std::string m_strPath;
    NumberOf m_numberOf;
    std::vector<uint8_t> m_Counts;
    std::atomic<uint64_t> m_qwNumbered{0};
    std::atomic<uint64_t> m_qwAll{0};
    uint64_t m_qwUnknown = 0;
    std::mutex m_lock;
    std::vector<std::chrono::steady_clock::time_point> m_Growth;
    std::thread m_thread;
};

// Sends `count` datagrams to 127.0.0.1:514 at `rate` a second, in small
// batches, from `senders` threads that share the rate and the numbers;
// `text` writes datagram number n into the buffer (at most `size` bytes)
// and answers its length (called from every sender at once).  Answers the
// rate reached: a sender that cannot keep up takes longer, not fewer.
using DatagramText = std::function<size_t(uint64_t n, char* buffer, size_t size)>;
double SendAtRate(uint64_t rate, uint64_t count, uint64_t firstNumber, const DatagramText& text,
                  int senders = 1);

// A rate asked for counts as reached within 5 per cent: a verdict about a
// rate is given only when its sender reached it.
bool RateReached(double reached, double asked);
// "" when `reached` is `asked`; otherwise a note that says so, for a line
// of results: " (asked 500000/s, reached 275000/s: no verdict)".
std::string UnreachedNote(double reached, double asked);

}  // namespace hwload
