// Load driver for correlation: runs the real hwhost on a copy of the demo
// sensor root, whose "Password attack" rule (CUMULATIVE, threshold 3, a
// five-minute window, throttled) watches the syslog rule "Failed log-in",
// and offers failed log-ins to UDP port 514 at a steady rate.  Every datagram
// is an alert of the watched rule and a hit in the correlation window, so
// the window holds rate x 300 hits once it is full.
//
// Every interval it prints the alerts written, the datagrams lost (kernel
// and engine drops) and the host's processor time per alert in that
// interval, which stays flat while the window fills when correlation costs
// the same whatever the window holds.  At the end: the totals, the rate
// the sender reached and the rate of alerts written, and whether anything
// was lost; when the sender did not reach the rate (within 5 per cent),
// the window held fewer hits than the rate asked for, and that is said.
//
// It runs in a network namespace of its own, so it needs root.
//
//   correlation_load [--hwhost PATH] [--rate N] [--seconds N] [--interval N]
//                    [--keep]

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "HostLoad.h"

namespace {

struct Options {
    hwload::HostOptions m_host;
    uint64_t m_qwRate = 5000;
    double m_dSeconds = 600;
    double m_dInterval = 10;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {hwload::NumberOption("--rate", options.m_qwRate),
         hwload::NumberOption("--seconds", options.m_dSeconds),
         hwload::NumberOption("--interval", options.m_dInterval)},
        options.m_host);
    if (options.m_dInterval <= 0 || options.m_qwRate == 0) {
        hwload::Fail("--interval and --rate must be positive");
    }
    return options;
}

size_t FailedLogin(uint64_t n, char* buffer, size_t size) {
    const int length =
        std::snprintf(buffer, size,
                      "<38>Jan  1 00:00:00 loadhost sshd[%" PRIu64
                      "]: Failed password for user%" PRIu64 " from 192.0.2.%d port 22 ssh2",
                      n % 100000, n % 1000, static_cast<int>(n % 250) + 1);
    return static_cast<size_t>(std::max(length, 0));
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string root = hwload::EnterScratchNamespace("correlation_load");
    std::error_code failure;
    std::filesystem::copy(std::string(HW_SOURCE_DIR) + "/examples/demo", root,
                          std::filesystem::copy_options::recursive, failure);
    if (failure) {
        hwload::Fail("cannot copy the demo root: " + failure.message());
    }

    hwload::AlertCounter counter(root + "/alerts.xml");
    const std::string logPath = hwload::LogPath(root);
    const pid_t host = hwload::StartHostOnRoot(options.m_host.m_strHwhost, root);
    // Alerts of the host's own start (none are expected) are not counted.
    const uint64_t alertsAtStart = counter.Count();
    const auto udpAtStart = hwload::UdpCounters();

    std::printf("demo root, %" PRIu64 " failed log-ins a second for %.0f s, hwhost %s\n",
                options.m_qwRate, options.m_dSeconds, options.m_host.m_strHwhost.c_str());
    std::printf("%8s %10s %10s %10s %10s %10s %12s %10s\n", "time/s", "sent", "sent/s", "alerts",
                "kern.drop", "eng.drop", "cpu us/alert", "rss KiB");
    const auto perInterval =
        static_cast<uint64_t>(static_cast<double>(options.m_qwRate) * options.m_dInterval);
    const auto intervals = static_cast<uint64_t>(options.m_dSeconds / options.m_dInterval);
    uint64_t sent = 0;
    uint64_t alertsBefore = alertsAtStart;
    double cpuBefore = hwload::CpuSeconds(host);
    double slowest = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t interval = 1; interval <= intervals; ++interval) {
        const double reached = hwload::SendAtRate(options.m_qwRate, perInterval, sent, FailedLogin);
        sent += perInterval;
        const uint64_t alerts = counter.Count();
        const double cpu = hwload::CpuSeconds(host);
        const uint64_t newAlerts = alerts - alertsBefore;
        const double perAlert =
            newAlerts > 0 ? (cpu - cpuBefore) * 1e6 / static_cast<double>(newAlerts) : 0;
        slowest = std::max(slowest, perAlert);
        std::printf("%8.0f %10" PRIu64 " %10.0f %10" PRIu64 " %10" PRIu64 " %10" PRIu64
                    " %12.1f %10" PRIu64 "%s\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), sent,
                    reached, alerts - alertsAtStart, hwload::KernelDrops(udpAtStart, hwload::UdpCounters()),
                    hwload::EngineDrops(logPath), perAlert, hwload::ResidentKiB(host),
                    hwload::UnreachedNote(reached, static_cast<double>(options.m_qwRate)).c_str());
        std::fflush(stdout);
        alertsBefore = alerts;
        cpuBefore = cpu;
    }
    const double sendSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    hwload::WaitUntilSettled([&] { return counter.Count(); }, 2.0, 600);
    const double writtenSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    hwload::PauseAndResume(host);
    const uint64_t engineDrops =
        hwload::WaitUntilSettled([&] { return hwload::EngineDrops(logPath); }, 1.0, 10);
    const uint64_t kernelDrops = hwload::KernelDrops(udpAtStart, hwload::UdpCounters());
    const uint64_t alerts = counter.Count() - alertsAtStart;
    const double reached = sendSeconds > 0 ? static_cast<double>(sent) / sendSeconds : 0;
    std::printf("sent %" PRIu64 " at %.0f/s%s, alerts %" PRIu64
                " (the watched rule's, and the correlation rule's "
                "own at most one per window) at %.0f/s, kernel drops %" PRIu64 ", engine drops %" PRIu64 "\n",
                sent, reached, hwload::UnreachedNote(reached, static_cast<double>(options.m_qwRate)).c_str(), alerts,
                writtenSeconds > 0 ? static_cast<double>(alerts) / writtenSeconds : 0.0, kernelDrops, engineDrops);
    const bool lossless = kernelDrops == 0 && engineDrops == 0 && alerts >= sent;
    std::printf("%s; highest interval cost %.1f us of processor per alert\n",
                lossless ? "nothing dropped" : "DATAGRAMS LOST", slowest);
    hwload::StopHost(host);
    hwload::FinishRoot(options.m_host, root);
    return lossless ? 0 : 1;
}
