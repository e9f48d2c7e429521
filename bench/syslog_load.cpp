// Load driver for the syslog engine: runs the real hwhost with the plug-in
// on a sensor root holding N syslog rules, offers datagrams to UDP port 514
// at a series of rates, and reports for each rate what the kernel delivered
// and dropped, what the engine dropped and how many alerts the host wrote.
// A given share of the datagrams matches (each one rule); the others match
// none.
//
// It runs in a network namespace of its own (so it needs root), which keeps
// port 514 and the kernel's UDP counters to itself.
//
//   syslog_load [--hwhost PATH] [--rates 10000,20000,...] [--seconds N]
//               [--rules N] [--matching 10,100] [--keep]

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "HostLoad.h"

namespace {

struct Options {
    hwload::HostOptions m_host;
    std::vector<uint64_t> m_Rates{10000, 20000, 50000, 75000, 100000, 150000, 200000};
    // Percentages of datagrams that match a rule, one table each.
    std::vector<uint64_t> m_Matching{10, 100};
    double m_dSeconds = 5.0;
    int m_nRules = 100;
};

std::vector<uint64_t> NumberList(const std::string& text) {
    std::vector<uint64_t> numbers;
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        numbers.push_back(std::strtoull(item.c_str(), nullptr, 10));
    }
    return numbers;
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {{"--rates", true, [&](const std::string& value) { options.m_Rates = NumberList(value); }},
         {"--matching", true,
          [&](const std::string& value) { options.m_Matching = NumberList(value); }},
         {"--seconds", true,
          [&](const std::string& value) { options.m_dSeconds = std::atof(value.c_str()); }},
         {"--rules", true,
          [&](const std::string& value) { options.m_nRules = std::atoi(value.c_str()); }}},
        options.m_host);
    return options;
}

void WriteSensorRoot(const std::string& root, int rules) {
    using hwload::PolicyValue;
    std::string policy = "Host Warden load policy\r\n[\\];\r\n[\\config\\];\r\n";
    policy += PolicyValue("ScriptEnabled", 'B', "0");
    policy +=
        "[\\Debug\\];\r\n[\\Debug\\Log\\];\r\n" + PolicyValue("Enable Debug Logging", 'B', "0");
    policy +=
        "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n";
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

struct PhaseResult {
    uint64_t m_qwRate = 0;
    double m_dAchievedRate = 0;
    uint64_t m_qwSent = 0;
    uint64_t m_qwDelivered = 0;
    uint64_t m_qwKernelDrops = 0;
    uint64_t m_qwEngineDrops = 0;
    uint64_t m_qwAlerts = 0;
    uint64_t m_qwExpected = 0;

    bool Lossless() const {
        return m_qwKernelDrops == 0 && m_qwEngineDrops == 0 && m_qwAlerts == m_qwExpected;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string root = hwload::EnterScratchNamespace("syslog_load");
    WriteSensorRoot(root, options.m_nRules);

    hwload::AlertCounter counter(root + "/alerts.xml");
    const std::string logPath = hwload::LogPath(root);
    const pid_t host = hwload::StartHostOnRoot(options.m_host.m_strHwhost, root);

    std::printf("%d rules, %.1f s per rate, hwhost %s\n", options.m_nRules, options.m_dSeconds,
                options.m_host.m_strHwhost.c_str());
    uint64_t sequence = 0;
    for (uint64_t percent : options.m_Matching) {
        std::printf("\n%" PRIu64 "%% of datagrams matching\n", percent);
        std::printf("%10s %10s %10s %10s %10s %10s %10s %10s %6s\n", "offered/s", "achieved/s",
                    "sent", "delivered", "kern.drop", "eng.drop", "alerts", "expected", "loss");
        // The datagrams are made once: the sender keeps up with the rates
        // it is asked for.  Which rule a datagram names and whether it
        // matches repeat every lcm(100, rules) datagrams.
        const auto rules = static_cast<uint64_t>(options.m_nRules);
        std::vector<std::string> pool(std::lcm(uint64_t{100}, rules));
        for (uint64_t n = 0; n < pool.size(); ++n) {
            char text[256];
            const int length = std::snprintf(
                text, sizeof text,
                "<38>Jan  1 00:00:00 loadhost sshd[%" PRIu64 "]: LOADRULE%03d %s for user%" PRIu64
                " from 192.0.2.%d",
                n % 100000, static_cast<int>(n % rules), Matches(n, percent) ? "failed" : "passed",
                n % 1000, static_cast<int>(n % 250) + 1);
            pool[n].assign(text, static_cast<size_t>(std::max(length, 0)));
        }
        uint64_t best = 0;
        for (uint64_t rate : options.m_Rates) {
            PhaseResult result;
            result.m_qwRate = rate;
            auto before = hwload::UdpCounters();
            const uint64_t alertsBefore = counter.Count();
            const uint64_t dropsBefore = hwload::EngineDrops(logPath);
            result.m_qwSent = static_cast<uint64_t>(static_cast<double>(rate) * options.m_dSeconds);
            result.m_dAchievedRate = hwload::SendAtRate(
                rate, result.m_qwSent, sequence, [&](uint64_t n, char* buffer, size_t size) {
                    const std::string& text = pool[n % pool.size()];
                    const size_t length = std::min(size, text.size());
                    std::memcpy(buffer, text.data(), length);
                    return length;
                });
            for (uint64_t n = sequence; n < sequence + result.m_qwSent; ++n) {
                result.m_qwExpected += Matches(n, percent) ? 1 : 0;
            }
            sequence += result.m_qwSent;
            hwload::WaitUntilSettled([&] { return counter.Count(); }, 2.0, 600);
            hwload::PauseAndResume(host);
            auto after = hwload::UdpCounters();
            result.m_qwDelivered = after["InDatagrams"] - before["InDatagrams"];
            result.m_qwKernelDrops = hwload::KernelDrops(before, after);
            result.m_qwEngineDrops =
                hwload::WaitUntilSettled([&] { return hwload::EngineDrops(logPath); }, 1.0, 10) -
                dropsBefore;
            result.m_qwAlerts = counter.Count() - alertsBefore;
            const uint64_t lost = result.m_qwKernelDrops + result.m_qwEngineDrops;
            std::printf("%10" PRIu64 " %10.0f %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64
                        " %10" PRIu64 " %10" PRIu64 " %6" PRIu64 "\n",
                        result.m_qwRate, result.m_dAchievedRate, result.m_qwSent,
                        result.m_qwDelivered, result.m_qwKernelDrops, result.m_qwEngineDrops,
                        result.m_qwAlerts, result.m_qwExpected, lost);
            std::fflush(stdout);
            if (result.Lossless() && rate > best) {
                best = rate;
            }
        }
        std::printf("highest offered rate with no loss, %" PRIu64 "%% matching: %" PRIu64
                    " datagrams/s\n",
                    percent, best);
    }
    hwload::StopHost(host);
    hwload::FinishRoot(options.m_host, root);
    return 0;
}
