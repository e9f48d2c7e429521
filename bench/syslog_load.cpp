// Load driver for the syslog engine: runs the real hwhost with the plug-in
// on a sensor root holding N syslog rules, offers datagrams to UDP port 514
// at a series of rates, and reports for each rate what the kernel delivered
// and dropped, what the engine dropped and how many alerts the host wrote.
// A given share of the datagrams matches (each one rule); the others match
// none.  Each rate's line gives the rate the senders reached and the rate
// the system delivered; a rate the senders did not reach (within 5 per
// cent) gets no verdict: it is marked, and left out of the highest rate
// without loss, which is the highest rate reached.  --senders N shares the
// rate among N sending threads, for rates one thread cannot reach.
//
// With --flood it instead offers one all-matching flood at the first rate
// for that many seconds, optionally beside N threads that keep processors
// busy (--busy N), and reports every 10 seconds, and at the end, the host's
// resident memory and its peak, so that memory is seen to stay bounded
// however long the flood lasts.  --alert-reader-mbps N reads the host's
// alerts no faster than N MB a second, so that the host's writer, not its
// engine, is what cannot keep up.
//
// Each rate's line also gives the datagrams the engine handled a second of
// sending (those delivered less those it dropped itself: the rate an
// overloaded sensor keeps up) and the host's processor time per datagram
// delivered (what a sensor below its limit spends on each).
//
// With --plugin NAME=PATH given more than once it compares sensors: each
// named plug-in (an empty PATH is the one beside hwhost) runs every rate in
// turn, --rounds times, the order changing from round to round, and the
// highest rate each took without loss there or below, the datagrams each
// handled a second and its processor time per datagram are printed side by
// side (bench/syslog_receive_compare.sh compares the syslog receives so,
// bench/syslog_rules_compare.sh a large rule table against an earlier
// build).
//
// It runs in a network namespace of its own (so it needs root), which keeps
// port 514 and the kernel's UDP counters to itself.
//
//   syslog_load [--hwhost PATH] [--rates 10000,20000,...] [--seconds N]
//               [--rules N] [--matching 10,100] [--senders N] [--keep]
//               [--plugin NAME=PATH ... [--rounds N]]
//   syslog_load --flood SECONDS [--rates RATE] [--busy N] [--rules N]
//               [--alert-reader-mbps N]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "HostLoad.h"

namespace {

using Variant = hwload::PluginVariant;

struct Options {
    hwload::HostOptions m_host;
    std::vector<Variant> m_Variants;
    int m_nRounds = 1;
    std::vector<uint64_t> m_Rates{10000, 20000, 50000, 75000, 100000, 150000, 200000};
    // Percentages of datagrams that match a rule, one table each.
    std::vector<uint64_t> m_Matching{10, 100};
    double m_dSeconds = 5.0;
    int m_nRules = 100;
    int m_nSenders = 1;
    double m_dFloodSeconds = 0;
    int m_nBusyThreads = 0;
    // The alerts are read no faster than this (MB a second; 0: at once).
    double m_dAlertReaderMBps = 0;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {{"--rates", true,
          [&](const std::string& value) { options.m_Rates = hwload::NumberList(value); }},
         {"--matching", true,
          [&](const std::string& value) { options.m_Matching = hwload::NumberList(value); }},
         hwload::NumberOption("--seconds", options.m_dSeconds),
         hwload::NumberOption("--rules", options.m_nRules),
         {"--senders", true,
          [&](const std::string& value) { options.m_nSenders = std::max(1, std::atoi(value.c_str())); }},
         hwload::NumberOption("--flood", options.m_dFloodSeconds),
         hwload::NumberOption("--busy", options.m_nBusyThreads),
         hwload::NumberOption("--alert-reader-mbps", options.m_dAlertReaderMBps),
         hwload::PluginOption(options.m_Variants),
         hwload::NumberOption("--rounds", options.m_nRounds)},
        options.m_host);
    hwload::DefaultPluginVariant(options.m_Variants);
    options.m_nRounds = std::max(options.m_nRounds, 1);
    return options;
}

void WriteSensorRoot(const std::string& root, int rules) {
    using hwload::PolicyValue;
    std::string policy = hwload::SyslogPolicyHead("Host Warden load policy", false);
    for (int i = 0; i < rules; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "LOADRULE%03d", i);
        policy += std::string("[\\Advanced\\Rules\\SysLog Rules\\") + name + "\\];\r\n";
        policy += PolicyValue("Enabled", 'B', "1");
        policy += PolicyValue("Alert Type", 'S', "LoginEvent");
        policy += PolicyValue("Regular Expression", 'S', std::string(name) + " failed");
        policy += std::string("[\\Advanced\\Rules\\SysLog Rules\\") + name + "\\Info\\];\r\n";
        policy += PolicyValue("User", 'S', "@Field6");
        policy += PolicyValue("Sender", 'S', "@Remote");
    }
    std::filesystem::create_directories(root + "/logs");
    std::ofstream(root + "/Default.policy", std::ios::binary) << policy;
}

// Datagram n matches rule n % rules when n % 100 is below the matching
// percentage; the others name a rule but not its failure.
bool Matches(uint64_t n, uint64_t percent) {
    return n % 100 < percent;
}

// The datagram of sequence number n: it names rule n % rules and matches
// it when n % 100 is below `percent`.
std::string Datagram(uint64_t n, uint64_t rules, uint64_t percent) {
    char text[256];
    const int length = std::snprintf(
        text, sizeof text,
        "<38>Jan  1 00:00:00 loadhost sshd[%" PRIu64 "]: LOADRULE%03d %s for user%" PRIu64
        " from 192.0.2.%d",
        n % 100000, static_cast<int>(n % rules), Matches(n, percent) ? "failed" : "passed",
        n % 1000, static_cast<int>(n % 250) + 1);
    return std::string(text, static_cast<size_t>(std::max(length, 0)));
}

// Offers every datagram matching, at the first rate, for --flood seconds,
// and follows the host's resident memory meanwhile.
void RunFlood(const Options& options, pid_t host, const std::string& logPath,
              hwload::AlertCounter& counter) {
    const uint64_t rate = options.m_Rates.empty() ? 50000 : options.m_Rates.front();
    const auto rules = static_cast<uint64_t>(options.m_nRules);
    std::vector<std::string> pool(rules);
    for (uint64_t n = 0; n < pool.size(); ++n) {
        pool[n] = Datagram(n, rules, 100);
    }
    std::atomic<bool> bDone{false};
    auto pBusy = std::make_unique<hwload::BusyThreads>(options.m_nBusyThreads);
    const uint64_t rssStart = hwload::ResidentKiB(host);
    const auto before = hwload::UdpCounters();
    const uint64_t alertsBefore = counter.Count();
    const uint64_t dropsBefore = hwload::EngineDrops(logPath);
    const auto count = static_cast<uint64_t>(static_cast<double>(rate) * options.m_dFloodSeconds);
    double achieved = 0;
    std::thread sender([&] {
        achieved = hwload::SendAtRate(rate, count, 0, [&](uint64_t n, char* buffer, size_t size) {
            const std::string& text = pool[n % pool.size()];
            const size_t length = std::min(size, text.size());
            std::memcpy(buffer, text.data(), length);
            return length;
        }, options.m_nSenders);
        bDone = true;
    });
    std::printf("all-matching flood of %" PRIu64 " datagrams/s for %.0f s, %d busy threads; "
                "host resident memory at the start %" PRIu64 " KiB\n",
                rate, options.m_dFloodSeconds, options.m_nBusyThreads, rssStart);
    std::printf("%8s %12s %12s %12s %12s %12s\n", "seconds", "alerts", "reported", "kern.drop",
                "RSS KiB", "peak KiB");
    const auto start = std::chrono::steady_clock::now();
    uint64_t rssMax = rssStart;
    int tick = 0;
    while (!bDone) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const uint64_t rss = hwload::ResidentKiB(host);
        rssMax = std::max(rssMax, rss);
        if (++tick % 10 == 0 || bDone) {
            std::printf("%8.0f %12" PRIu64 " %12" PRIu64 " %12" PRIu64 " %12" PRIu64 " %12" PRIu64
                        "\n",
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                            .count(),
                        counter.Count() - alertsBefore, hwload::EngineDrops(logPath) - dropsBefore,
                        hwload::KernelDrops(before, hwload::UdpCounters()), rss,
                        hwload::PeakResidentKiB(host));
            std::fflush(stdout);
        }
    }
    sender.join();
    pBusy.reset();
    hwload::WaitUntilSettled([&] { return counter.Count(); }, 2.0, 600);
    hwload::PauseAndResume(host);
    const auto after = hwload::UdpCounters();
    const uint64_t reported =
        hwload::WaitUntilSettled([&] { return hwload::EngineDrops(logPath); }, 1.0, 10) -
        dropsBefore;
    const uint64_t alerts = counter.Count() - alertsBefore;
    const uint64_t arrived = after.at("InDatagrams") - before.at("InDatagrams") +
                             hwload::KernelDrops(before, after);
    std::printf("sent %" PRIu64 " at %.0f/s%s; arrived %" PRIu64 ", alerts %" PRIu64
                ", reported drops %" PRIu64 " (of them the system's %" PRIu64 "), unaccounted %" PRId64
                "\n",
                count, achieved, hwload::UnreachedNote(achieved, static_cast<double>(rate)).c_str(), arrived, alerts,
                reported, hwload::KernelDrops(before, after),
                static_cast<int64_t>(arrived) - static_cast<int64_t>(alerts + reported));
    std::printf("resident memory: start %" PRIu64 " KiB, highest sampled %" PRIu64
                " KiB, peak (VmHWM) %" PRIu64 " KiB\n",
                rssStart, rssMax, hwload::PeakResidentKiB(host));
}

struct PhaseResult {
    uint64_t m_qwRate = 0;
    double m_dAchievedRate = 0;
    // Datagrams the system delivered to the socket, a second of sending.
    double m_dReceivedRate = 0;
    uint64_t m_qwSent = 0;
    uint64_t m_qwDelivered = 0;
    uint64_t m_qwKernelDrops = 0;
    uint64_t m_qwEngineDrops = 0;
    // Of the engine's reported drops, those it made itself (the rest are
    // the system's, which a sensor that does not count them leaves out).
    uint64_t m_qwEngineOwnDrops = 0;
    uint64_t m_qwAlerts = 0;
    uint64_t m_qwExpected = 0;
    // The host's processor seconds from the first datagram sent until the
    // alerts settled.
    double m_dCpuSeconds = 0;

    // Datagrams the engine took, a second of sending.
    double HandledRate() const {
        const uint64_t qwHandled = m_qwDelivered - std::min(m_qwDelivered, m_qwEngineOwnDrops);
        return m_dAchievedRate > 0 && m_qwSent > 0
                   ? static_cast<double>(qwHandled) * m_dAchievedRate / static_cast<double>(m_qwSent)
                   : 0;
    }
    // Processor microseconds per datagram delivered.
    double CpuMicrosPerDatagram() const {
        return m_qwDelivered > 0 ? m_dCpuSeconds * 1e6 / static_cast<double>(m_qwDelivered) : 0;
    }

    // Datagrams sent that were never matched: those that did not reach the
    // socket, and those the engine dropped itself.
    uint64_t Lost() const {
        return m_qwSent - std::min(m_qwSent, m_qwDelivered) + m_qwEngineOwnDrops;
    }
    bool Lossless() const { return Lost() == 0 && m_qwAlerts == m_qwExpected; }
    // Whether the senders reached the rate: only then is there a verdict.
    bool Reached() const { return hwload::RateReached(m_dAchievedRate, static_cast<double>(m_qwRate)); }
};

// The drops the engine reported so far that it made itself, not counting
// those it reports the system made.
uint64_t EngineOwnDrops(const std::string& logPath) {
    const std::string marker = "NTSyslog dropped ";
    const std::string system = " by the system with the socket's buffer full";
    const std::string log = hwload::ReadText(logPath);
    uint64_t total = 0;
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
        const std::string line = log.substr(at, log.find('\n', at) - at);
        total += std::strtoull(line.c_str() + marker.size(), nullptr, 10);
        const size_t byTheSystem = line.find(system);
        if (byTheSystem != std::string::npos && byTheSystem > 0) {
            const size_t number = line.rfind(' ', byTheSystem - 1);
            total -= std::strtoull(line.c_str() + number + 1, nullptr, 10);
        }
    }
    return total;
}

// One sensor under hwhost with its alert counter, for as long as it lives.
class HostRun {
public:
    HostRun(const Options& options, const std::string& root, const Variant& variant)
        : m_strLogPath(hwload::LogPath(root)) {
        std::filesystem::remove(root + "/alerts.xml");
        m_pCounter = std::make_unique<hwload::AlertCounter>(root + "/alerts.xml",
                                                            options.m_dAlertReaderMBps * 1e6);
        std::vector<std::string> extra;
        if (!variant.m_strPlugin.empty()) {
            extra = {"--plugin", variant.m_strPlugin};
        }
        m_host = hwload::StartHostOnRoot(options.m_host.m_strHwhost, root, extra);
    }
    ~HostRun() {
        hwload::StopHost(m_host);
        // The counter ends when the host's output closes.
        m_pCounter.reset();
    }
    HostRun(const HostRun&) = delete;
    HostRun& operator=(const HostRun&) = delete;

    pid_t Host() const { return m_host; }
    const std::string& LogPath() const { return m_strLogPath; }
    hwload::AlertCounter& Counter() { return *m_pCounter; }

private:
    std::string m_strLogPath;
    std::unique_ptr<hwload::AlertCounter> m_pCounter;
    pid_t m_host = -1;
};

// Offers `rate` datagrams a second from `pool` for the configured time and
// reads back what became of them.
PhaseResult RunPhase(const Options& options, HostRun& run, const std::vector<std::string>& pool,
                     uint64_t rate, uint64_t percent, uint64_t& sequence) {
    PhaseResult result;
    result.m_qwRate = rate;
    auto before = hwload::UdpCounters();
    const uint64_t alertsBefore = run.Counter().Count();
    const uint64_t dropsBefore = hwload::EngineDrops(run.LogPath());
    const uint64_t ownDropsBefore = EngineOwnDrops(run.LogPath());
    const double cpuBefore = hwload::CpuSeconds(run.Host());
    result.m_qwSent = static_cast<uint64_t>(static_cast<double>(rate) * options.m_dSeconds);
    result.m_dAchievedRate = hwload::SendAtRate(
        rate, result.m_qwSent, sequence, [&](uint64_t n, char* buffer, size_t size) {
            const std::string& text = pool[n % pool.size()];
            const size_t length = std::min(size, text.size());
            std::memcpy(buffer, text.data(), length);
            return length;
        }, options.m_nSenders);
    for (uint64_t n = sequence; n < sequence + result.m_qwSent; ++n) {
        result.m_qwExpected += Matches(n, percent) ? 1 : 0;
    }
    sequence += result.m_qwSent;
    hwload::WaitUntilSettled([&] { return run.Counter().Count(); }, 2.0, 600);
    result.m_dCpuSeconds = hwload::CpuSeconds(run.Host()) - cpuBefore;
    hwload::PauseAndResume(run.Host());
    auto after = hwload::UdpCounters();
    result.m_qwDelivered = after["InDatagrams"] - before["InDatagrams"];
    result.m_qwKernelDrops = hwload::KernelDrops(before, after);
    result.m_qwEngineDrops =
        hwload::WaitUntilSettled([&] { return hwload::EngineDrops(run.LogPath()); }, 1.0, 10) -
        dropsBefore;
    result.m_qwEngineOwnDrops = EngineOwnDrops(run.LogPath()) - ownDropsBefore;
    result.m_qwAlerts = run.Counter().Count() - alertsBefore;
    // The sending took sent / achieved seconds.
    result.m_dReceivedRate = result.m_qwSent > 0 ? static_cast<double>(result.m_qwDelivered) *
                                                       result.m_dAchievedRate /
                                                       static_cast<double>(result.m_qwSent)
                                                 : 0;
    std::printf("%10" PRIu64 " %10.0f %10.0f %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64
                " %10" PRIu64 " %10" PRIu64 " %8" PRIu64 " %10.0f %8.2f%s\n",
                result.m_qwRate, result.m_dAchievedRate, result.m_dReceivedRate, result.m_qwSent,
                result.m_qwDelivered, result.m_qwKernelDrops, result.m_qwEngineDrops, result.m_qwAlerts,
                result.m_qwExpected, result.Lost(), result.HandledRate(), result.CpuMicrosPerDatagram(),
                hwload::UnreachedNote(result.m_dAchievedRate, static_cast<double>(result.m_qwRate)).c_str());
    std::fflush(stdout);
    return result;
}

// The highest rate the senders reached and the sensor took without loss,
// when no lower rate reached lost anything either; 0 when the lowest
// already lost some.  A loss at one rate and none at a higher one is noise
// rather than room to spare.  A rate the senders did not reach says
// nothing about the sensor either way.
uint64_t HighestLossless(const std::vector<PhaseResult>& results) {
    uint64_t best = 0;
    uint64_t firstLoss = std::numeric_limits<uint64_t>::max();
    for (const PhaseResult& result : results) {
        if (result.Reached() && !result.Lossless()) {
            firstLoss = std::min(firstLoss, result.m_qwRate);
        }
    }
    for (const PhaseResult& result : results) {
        if (result.Reached() && result.m_qwRate < firstLoss) {
            best = std::max(best, result.m_qwRate);
        }
    }
    return best;
}

// The rates of `results` the senders did not reach, as "500000 (275000/s)".
std::string Unreached(const std::vector<PhaseResult>& results) {
    std::string text;
    for (const PhaseResult& result : results) {
        if (!result.Reached()) {
            char item[64];
            std::snprintf(item, sizeof item, "%s%" PRIu64 " (%.0f/s)", text.empty() ? "" : ", ", result.m_qwRate,
                          result.m_dAchievedRate);
            text += item;
        }
    }
    return text;
}

// The head of a table with a column of `nWidth` for each variant.
void PrintVariantHeader(const Options& options, int nWidth) {
    std::printf("%10s", "offered/s");
    for (const Variant& variant : options.m_Variants) {
        std::printf("  %-*s", nWidth, variant.m_strName.c_str());
    }
    std::printf("\n");
}

// One figure of every variant at every rate, as the median of the rounds
// with the rounds' own after it, side by side.
template <typename Figure>
void PrintFigureTable(const Options& options,
                      const std::vector<std::vector<std::vector<PhaseResult>>>& results,
                      uint64_t percent, const char* pszWhat, int nDecimals,
                      const Figure& figure) {
    std::printf("\n%" PRIu64 "%% matching: %s, median of the rounds (the rounds)\n", percent,
                pszWhat);
    PrintVariantHeader(options, 34);
    for (size_t r = 0; r < options.m_Rates.size(); ++r) {
        std::printf("%10" PRIu64, options.m_Rates[r]);
        for (size_t v = 0; v < options.m_Variants.size(); ++v) {
            std::vector<double> values;
            std::string rounds;
            for (const std::vector<PhaseResult>& round : results[v]) {
                values.push_back(figure(round[r]));
                char item[32];
                std::snprintf(item, sizeof item, "%.*f", nDecimals, values.back());
                rounds += (rounds.empty() ? "" : ",") + std::string(item);
            }
            std::sort(values.begin(), values.end());
            const size_t n = values.size();
            const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
            char cell[160];
            char number[32];
            std::snprintf(number, sizeof number, "%.*f", nDecimals, median);
            std::snprintf(cell, sizeof cell, "%s (%s)", number, rounds.c_str());
            std::printf("  %-34s", cell);
        }
        std::printf("\n");
    }
}

// Each variant's loss at every rate and its highest rate without loss, per
// round and as the median of the rounds, side by side.
void PrintComparison(const Options& options, uint64_t percent,
                     const std::vector<std::vector<std::vector<PhaseResult>>>& results) {
    std::printf("\n%" PRIu64 "%% matching: datagrams lost (sent and never matched), round by round "
                "(\"-\": the senders did not reach the rate, no verdict)\n",
                percent);
    PrintVariantHeader(options, 22);
    for (size_t r = 0; r < options.m_Rates.size(); ++r) {
        std::printf("%10" PRIu64, options.m_Rates[r]);
        for (size_t v = 0; v < options.m_Variants.size(); ++v) {
            std::string cell;
            for (const std::vector<PhaseResult>& round : results[v]) {
                const PhaseResult& result = round[r];
                // "-" where the senders did not reach the rate.
                cell += (cell.empty() ? "" : ",") +
                        (result.Reached() ? std::to_string(result.Lost()) : std::string("-")) +
                        (result.m_qwAlerts != result.m_qwExpected && result.Lost() == 0 ? "?" : "");
            }
            std::printf("  %-22s", cell.c_str());
        }
        std::printf("\n");
    }
    PrintFigureTable(options, results, percent, "datagrams handled a second of sending", 0,
                     [](const PhaseResult& result) { return result.HandledRate(); });
    PrintFigureTable(options, results, percent,
                     "host processor microseconds per datagram delivered", 2,
                     [](const PhaseResult& result) { return result.CpuMicrosPerDatagram(); });
    std::printf("\n%" PRIu64
                "%% matching: highest rate reached with no loss there or below (datagrams/s)\n",
                percent);
    std::printf("%-14s", "receive");
    for (int round = 1; round <= options.m_nRounds; ++round) {
        std::printf(" %9s%-2d", "round ", round);
    }
    std::printf(" %10s\n", "median");
    for (size_t v = 0; v < options.m_Variants.size(); ++v) {
        std::vector<uint64_t> best;
        std::printf("%-14s", options.m_Variants[v].m_strName.c_str());
        for (const std::vector<PhaseResult>& round : results[v]) {
            best.push_back(HighestLossless(round));
            std::printf(" %11" PRIu64, best.back());
        }
        std::sort(best.begin(), best.end());
        const size_t n = best.size();
        const uint64_t median = n % 2 == 1 ? best[n / 2] : (best[n / 2 - 1] + best[n / 2]) / 2;
        std::printf(" %10" PRIu64 "\n", median);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string root = hwload::EnterScratchNamespace("syslog_load");
    WriteSensorRoot(root, options.m_nRules);

    if (options.m_dFloodSeconds > 0) {
        {
            HostRun run(options, root, options.m_Variants.front());
            std::printf("%d rules, hwhost %s\n", options.m_nRules,
                        options.m_host.m_strHwhost.c_str());
            RunFlood(options, run.Host(), run.LogPath(), run.Counter());
        }
        hwload::FinishRoot(options.m_host, root);
        return 0;
    }
    const bool bCompare = options.m_Variants.size() > 1;
    std::printf("%d rules, %.1f s per rate, %d sending threads, hwhost %s\n", options.m_nRules,
                options.m_dSeconds, options.m_nSenders, options.m_host.m_strHwhost.c_str());
    hwload::PrintPluginVariants(options.m_Variants);
    for (uint64_t percent : options.m_Matching) {
        // The datagrams are made once: the sender keeps up with the rates
        // it is asked for.  Which rule a datagram names and whether it
        // matches repeat every lcm(100, rules) datagrams.
        const auto rules = static_cast<uint64_t>(options.m_nRules);
        std::vector<std::string> pool(std::lcm(uint64_t{100}, rules));
        for (uint64_t n = 0; n < pool.size(); ++n) {
            pool[n] = Datagram(n, rules, percent);
        }
        // results[variant][round][rate]
        std::vector<std::vector<std::vector<PhaseResult>>> results(options.m_Variants.size());
        for (int round = 0; round < options.m_nRounds; ++round) {
            for (size_t i = 0; i < options.m_Variants.size(); ++i) {
                // Each round starts with another sensor, so that none is
                // always first after a quiet spell or last in a busy one.
                const size_t v = (i + static_cast<size_t>(round)) % options.m_Variants.size();
                const Variant& variant = options.m_Variants[v];
                std::printf("\n%" PRIu64 "%% of datagrams matching", percent);
                if (bCompare) {
                    std::printf(", %s, round %d", variant.m_strName.c_str(), round + 1);
                }
                std::printf("\n%10s %10s %10s %10s %10s %10s %10s %10s %10s %8s %10s %8s\n",
                            "asked/s", "sent/s", "received/s", "sent", "delivered", "kern.drop",
                            "reported", "alerts", "expected", "lost", "handled/s", "cpu us");
                HostRun run(options, root, variant);
                uint64_t sequence = 0;
                std::vector<PhaseResult>& phases = results[v].emplace_back();
                for (uint64_t rate : options.m_Rates) {
                    phases.push_back(RunPhase(options, run, pool, rate, percent, sequence));
                }
                std::printf("highest rate reached with no loss there or below, %" PRIu64
                            "%% matching: %" PRIu64 " datagrams/s\n",
                            percent, HighestLossless(phases));
                if (const std::string unreached = Unreached(phases); !unreached.empty()) {
                    std::printf("rates the senders did not reach, without a verdict: %s\n", unreached.c_str());
                }
            }
        }
        if (bCompare) {
            PrintComparison(options, percent, results);
        }
    }
    hwload::FinishRoot(options.m_host, root);
    return 0;
}
