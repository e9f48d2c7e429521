#pragma once
// What the load drivers that run the real hwhost share: failing loudly,
// reading a file whole, finding and starting the host, watching its syslog
// port, offering it datagrams at a steady rate, and reading back the
// figures (alerts written, drops the engine reported, the kernel's UDP
// counters, the host's processor time).

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
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
