// Load driver for what a correlation rule keeps: runs the real hwhost with
// one syslog rule, "Failed log-in", whose alerts carry the user of each
// line as "User", and a CUMULATIVE correlation rule watching it over a
// window of an hour (threshold 100, throttled), which keeps that value of
// every hit unless --no-info.  Every datagram names a user of its own, so
// each hit brings a value never seen before; they go out as fast as one
// process can send (or at --rate).
//
// After each chunk it prints what was sent and matched, the drops and the
// host's resident memory; at the end the peak, whether the rule said that
// it folded values, and the verdict: the peak must stay under --limit-mb
// (100) and, with Info, the fold must be said.  --no-info gives the same
// run without the values, for a baseline.
//
// It runs in a network namespace of its own, so it needs root.
//
//   correlation_values_load [--hwhost PATH] [--values N] [--rate N]
//                           [--chunk N] [--window S] [--limit-mb N]
//                           [--no-info] [--keep]

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>

#include "HostLoad.h"

namespace {

struct Options {
    hwload::HostOptions m_host;
    uint64_t m_qwValues = 1000000;
    // 0: as fast as one process sends.
    uint64_t m_qwRate = 0;
    uint64_t m_qwChunk = 100000;
    uint64_t m_qwWindow = 3600;
    uint64_t m_qwLimitMiB = 100;
    bool m_bInfo = true;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {hwload::NumberOption("--values", options.m_qwValues),
         hwload::NumberOption("--rate", options.m_qwRate),
         hwload::NumberOption("--chunk", options.m_qwChunk),
         hwload::NumberOption("--window", options.m_qwWindow),
         hwload::NumberOption("--limit-mb", options.m_qwLimitMiB),
         {"--no-info", false, [&](const std::string&) { options.m_bInfo = false; }}},
        options.m_host);
    if (options.m_qwValues == 0 || options.m_qwChunk == 0 || options.m_qwWindow == 0) {
        hwload::Fail("--values, --chunk and --window must be positive");
    }
    return options;
}

std::string Policy(const Options& options) {
    using hwload::PolicyValue;
    const std::string rule = "[\\Advanced\\Rules\\SysLog Rules\\Failed log-in";
    const std::string correlation = "[\\Advanced\\Rules\\Correlation Rules\\Distinct users";
    std::string policy = hwload::SyslogPolicyHead("Correlation values load", false);
    policy += rule + "\\];\r\n" + PolicyValue("Enabled", 'B', "1") +
              PolicyValue("Priority", 'L', "2") + PolicyValue("Alert Type", 'S', "LoginEvent") +
              PolicyValue("Regular Expression", 'S', "Failed password") + rule + "\\Info\\];\r\n" +
              PolicyValue("User", 'S', "@Field8");
    policy += "[\\Advanced\\Rules\\Correlation Rules\\];\r\n" + correlation + "\\];\r\n" +
              PolicyValue("Enabled", 'B', "1") + PolicyValue("Priority", 'L', "1") +
              PolicyValue("Alert Type", 'S', "UserAbnormalActivity") +
              PolicyValue("Type", 'S', "CUMULATIVE") + PolicyValue("Threshold", 'L', "100") +
              PolicyValue("Time Window", 'L', std::to_string(options.m_qwWindow));
    if (options.m_bInfo) {
        policy += PolicyValue("Info", 'S', "User");
    }
    return policy + correlation + "\\Rules\\];\r\n" + PolicyValue("Failed log-in", 'S', "1");
}

size_t FailedLogin(uint64_t n, char* buffer, size_t size) {
    const int length =
        std::snprintf(buffer, size,
                      "<38>Jan  1 00:00:00 loadhost sshd[7]: Failed password for user%09" PRIu64
                      "-from-a-sender-of-distinct-values from 192.0.2.9 port 22 ssh2",
                      n);
    return static_cast<size_t>(std::max(length, 0));
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string root = hwload::EnterScratchNamespace("correlation_values_load");
    std::ofstream(root + "/Default.policy", std::ios::binary) << Policy(options);

    hwload::AlertCounter counter(root + "/alerts.xml");
    const std::string logPath = hwload::LogPath(root);
    const pid_t host = hwload::StartHostOnRoot(options.m_host.m_strHwhost, root);
    const auto udpAtStart = hwload::UdpCounters();
    const uint64_t rssAtStart = hwload::ResidentKiB(host);
    const uint64_t rate =
        options.m_qwRate != 0 ? options.m_qwRate : std::numeric_limits<uint32_t>::max();

    std::printf("%" PRIu64 " distinct values %s, a window of %" PRIu64 " s, %s, hwhost %s\n",
                options.m_qwValues,
                options.m_qwRate != 0
                    ? ("at " + std::to_string(options.m_qwRate) + " a second").c_str()
                    : "as fast as one process sends",
                options.m_qwWindow, options.m_bInfo ? "values kept (Info)" : "no Info",
                options.m_host.m_strHwhost.c_str());
    std::printf("%10s %12s %10s %10s %10s %10s\n", "sent", "sent/s", "alerts", "kern.drop",
                "eng.drop", "rss KiB");
    uint64_t sent = 0;
    while (sent < options.m_qwValues) {
        const uint64_t chunk = std::min(options.m_qwChunk, options.m_qwValues - sent);
        const double reached = hwload::SendAtRate(rate, chunk, sent, FailedLogin);
        sent += chunk;
        std::printf(
            "%10" PRIu64 " %12.0f %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64 "\n", sent,
            reached, counter.Count(), hwload::KernelDrops(udpAtStart, hwload::UdpCounters()),
            hwload::EngineDrops(logPath), hwload::ResidentKiB(host));
        std::fflush(stdout);
    }
    hwload::WaitUntilSettled([&] { return counter.Count(); }, 2.0, 600);
    const uint64_t rssEnd = hwload::ResidentKiB(host);
    const uint64_t rssPeak = hwload::PeakResidentKiB(host);
    hwload::StopHost(host);
    const std::string log = hwload::ReadText(logPath);
    const bool bFoldSaid =
        log.find("Bound reached: correlation rule Distinct users: ") != std::string::npos;
    const uint64_t kernelDrops = hwload::KernelDrops(udpAtStart, hwload::UdpCounters());
    const uint64_t engineDrops = hwload::EngineDrops(logPath);

    std::printf("sent %" PRIu64 ", alerts %" PRIu64
                " (the correlation rule's own one included), "
                "kernel drops %" PRIu64 ", engine drops %" PRIu64 "\n",
                sent, counter.Count(), kernelDrops, engineDrops);
    const bool bUnderLimit = rssPeak < options.m_qwLimitMiB * 1024;
    std::printf("RSS %" PRIu64 " KiB at the start, %" PRIu64 " KiB at the end, peak %" PRIu64
                " KiB: %s %" PRIu64 " MiB; fold %s\n",
                rssAtStart, rssEnd, rssPeak, bUnderLimit ? "under" : "OVER", options.m_qwLimitMiB,
                bFoldSaid ? "said" : "not said");
    hwload::FinishRoot(options.m_host, root);
    return bUnderLimit && (bFoldSaid || !options.m_bInfo) ? 0 : 1;
}
