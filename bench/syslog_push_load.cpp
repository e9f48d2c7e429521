// Load driver for pushes under a syslog stream: runs the real hwhost on a
// copy of the demo's sensor root (its syslog rules, its log groups, the
// network engine on the demo's capture), offers numbered failed log-ins to
// UDP port 514 at a steady rate, and pushes the demo's policy with
// `hwhost push` while they come.  Each datagram names its number as the
// user, so the alerts the host writes are read back number by number:
// every datagram must be alerted once, whatever the pushes did meanwhile.
//
// For every rate it prints what was sent, the numbers alerted once, never
// and more than once, the drops the engine and the system reported, the
// time from the last datagram sent to the last alert (the tail: an engine
// that keeps up ends within a moment of the sender, one that does not
// works through a backlog long after), and
// for each push how long `hwhost push` took, how long it kept the rules
// from the datagrams (from the syslog engine's pause to its resume, as the
// host log times them) and the longest time the alert output stood still
// around it; each push comes at a moment of its own (up to half a second
// late), as pushes meet the engines' own waits anywhere.  At the end it
// prints the median and longest time the rules were kept away.  With
// --plugin NAME=PATH
// given more than once it runs each plug-in (an empty PATH is the one
// beside hwhost) in turn at every rate, --rounds times, the order changing
// from round to round, and prints the datagrams lost by each side by side
// (bench/syslog_push_compare.sh runs this build against a build of main).
//
// It runs in a network namespace of its own (so it needs root).
//
//   syslog_push_load [--rates 50000,100000] [--seconds 6] [--pushes 2]
//                    [--senders 2] [--plugin NAME=PATH ... [--rounds N]]
//                    [--hwhost PATH] [--keep]

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "HostLoad.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

using Variant = hwload::PluginVariant;

struct Options {
    hwload::HostOptions m_host;
    std::vector<Variant> m_Variants;
    std::vector<uint64_t> m_Rates{100000};
    double m_dSeconds = 6.0;
    int m_nPushes = 2;
    int m_nSenders = 2;
    int m_nRounds = 1;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {{"--rates", true, [&](const std::string& value) { options.m_Rates = hwload::NumberList(value); }},
         hwload::NumberOption("--seconds", options.m_dSeconds),
         hwload::NumberOption("--pushes", options.m_nPushes),
         hwload::NumberOption("--senders", options.m_nSenders),
         hwload::NumberOption("--rounds", options.m_nRounds),
         hwload::PluginOption(options.m_Variants)},
        options.m_host);
    hwload::DefaultPluginVariant(options.m_Variants);
    options.m_nRounds = std::max(options.m_nRounds, 1);
    options.m_nSenders = std::max(options.m_nSenders, 1);
    options.m_nPushes = std::max(options.m_nPushes, 0);
    return options;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// The demo's root as scripts/run makes it, its log groups kept off the
// machine's own logs; answers the policy to push.
std::string MakeDemoRoot(const std::string& root) {
    fs::remove_all(root);
    fs::create_directories(root);
    fs::copy(std::string(HW_SOURCE_DIR) + "/examples/demo", root, fs::copy_options::recursive);
    std::string policy = hwload::ReadText(root + "/Default.policy");
    ReplaceAll(policy, "@SENSOR_ROOT@", root);
    ReplaceAll(policy, "/var/log/", root + "/varlog/");
    std::ofstream(root + "/Default.policy", std::ios::binary) << policy;
    fs::create_directories(root + "/logs");
    fs::create_directories(root + "/varlog");
    fs::create_directories(root + "/replay");
    std::ofstream(root + "/push-me.policy", std::ios::binary) << policy;
    return root + "/push-me.policy";
}

constexpr char kMarker[] = "<param name='User' type='string' value='m";

// The datagram of number n: a failed log-in of user m<n>, which the demo's
// "Failed log-in" rule alerts with that user.
size_t MarkedDatagram(uint64_t n, char* buffer, size_t size) {
    const int length = std::snprintf(buffer, size,
                                      "<38>Dec  6 18:17:00 vm sshd[42]: Failed password for invalid user m%" PRIu64
                                      " from 203.0.113.5 port 52144 ssh2",
                                      n);
    return static_cast<size_t>(std::clamp(length, 0, static_cast<int>(size) - 1));
}

// The number of the failed log-in an alert document names, as its user
// m<n>; 0 for another alert.
uint64_t MarkedNumber(std::string_view document) {
    const size_t at = document.find(kMarker);
    return at == std::string_view::npos ? 0 : std::strtoull(document.data() + at + sizeof kMarker - 1, nullptr, 10);
}

struct PushResult {
    double m_dSeconds = 0;
    int m_nExit = -1;
    // The longest time the marked alerts stood still from the push's start
    // until a second after its end.
    double m_dStill = 0;
    // From the syslog engine's pause to its resume, as the host log has
    // them: the time the push kept the rules from the datagrams.
    double m_dParserAway = -1;
};

struct RunResult {
    uint64_t m_qwRate = 0;
    double m_dReached = 0;
    uint64_t m_qwSent = 0;
    uint64_t m_qwOnce = 0;
    uint64_t m_qwNever = 0;
    uint64_t m_qwTwice = 0;
    uint64_t m_qwEngineDrops = 0;
    uint64_t m_qwKernelDrops = 0;
    // From the last datagram sent to the last alert: what the engine still
    // had to work through when the sending ended.
    double m_dTail = 0;
    std::vector<PushResult> m_Pushes;

    uint64_t Lost() const { return m_qwNever; }
    bool Reached() const { return hwload::RateReached(m_dReached, static_cast<double>(m_qwRate)); }
};

// For each reload in the host log, in order, the time from the syslog
// engine's first pause step to its resume.
std::vector<double> ParserAway(const std::string& logPath) {
    std::vector<double> away;
    std::ifstream log(logPath);
    std::string line;
    bool inReload = false;
    double paused = -1;
    while (std::getline(log, line)) {
        if (line.find("CHostWarden::OnReloadPolicy() called") != std::string::npos) {
            inReload = true;
            paused = -1;
        } else if (inReload && paused < 0 && line.find("Thread list: OnPauseInit NT Syslog") != std::string::npos) {
            paused = hwtest::LogLineSeconds(line);
        } else if (inReload && paused >= 0 && line.find("Thread list: OnResume NT Syslog") != std::string::npos) {
            away.push_back(hwtest::LogSecondsBetween(paused, hwtest::LogLineSeconds(line)));
            inReload = false;
        }
    }
    return away;
}

// One run of `variant` at `rate` on a fresh copy of the demo's root.
RunResult RunOnce(const Options& options, const Variant& variant, uint64_t rate, const std::string& root) {
    RunResult result;
    result.m_qwRate = rate;
    result.m_qwSent = static_cast<uint64_t>(static_cast<double>(rate) * options.m_dSeconds);
    const std::string pushFile = MakeDemoRoot(root);
    auto reader = std::make_unique<hwload::NumberedAlerts>(root + "/alerts.xml", result.m_qwSent, MarkedNumber);
    std::vector<std::string> argv = {options.m_host.m_strHwhost, "run", "--root", root, "--log",
                                     hwload::LogPath(root)};
    if (!variant.m_strPlugin.empty()) {
        argv.insert(argv.end(), {"--plugin", variant.m_strPlugin});
    }
    const pid_t host = hwload::StartHost(argv, root + "/alerts.xml", root + "/hwhost.err",
                                         {"HW_PACKET_REPLAY=" + root + "/captures/network-attacks.pcap",
                                          "HW_PACKET_MONITOR=\\Device\\replay0",
                                          "HW_PACKET_REPLAY_OUT=" + root + "/replay"});
    if (!hwload::WaitFor([] { return hwload::UdpPortTaken(514); }, 60)) {
        hwload::StopHost(host);
        hwload::Fail("the sensor did not open port 514; see " + root);
    }
    // The start's own work (the capture's replay, the first scans) is over.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto before = hwload::UdpCounters();
    const uint64_t dropsBefore = hwload::EngineDrops(hwload::LogPath(root));
    const auto start = Clock::now();
    std::vector<Clock::time_point> pushStarts;
    std::vector<Clock::time_point> pushEnds;
    std::thread pusher = hwload::PushThroughout(options.m_nPushes, options.m_dSeconds, start, [&](int) {
        pushStarts.push_back(Clock::now());
        const hwload::PushRun push = hwload::RunPush(options.m_host.m_strHwhost, root, pushFile);
        result.m_Pushes.push_back({push.m_dSeconds, push.m_nExit});
        pushEnds.push_back(Clock::now());
    });
    result.m_dReached = hwload::SendAtRate(rate, result.m_qwSent, 1, MarkedDatagram, options.m_nSenders);
    const auto sent = Clock::now();
    pusher.join();
    hwload::WaitUntilSettled([&] { return reader->Numbered(); }, 2.0, 300);
    result.m_dTail = std::max(0.0, std::chrono::duration<double>(reader->LastGrowth() - sent).count());
    for (size_t n = 0; n < result.m_Pushes.size(); ++n) {
        result.m_Pushes[n].m_dStill = reader->LongestStill(pushStarts[n], pushEnds[n] + std::chrono::seconds(1));
    }
    hwload::StopHost(host);
    reader->Join();
    const std::vector<double> away = ParserAway(hwload::LogPath(root));
    for (size_t n = 0; n < result.m_Pushes.size() && n < away.size(); ++n) {
        result.m_Pushes[n].m_dParserAway = away[n];
    }
    const auto after = hwload::UdpCounters();
    result.m_qwKernelDrops = hwload::KernelDrops(before, after);
    result.m_qwEngineDrops = hwload::EngineDrops(hwload::LogPath(root)) - dropsBefore;
    const hwload::NumberedAlerts::Tally tally = reader->Tallied();
    result.m_qwOnce = tally.m_qwOnce;
    result.m_qwNever = tally.m_qwNever;
    result.m_qwTwice = tally.m_qwTwice;
    reader.reset();
    return result;
}

void PrintRun(const Variant& variant, const RunResult& result) {
    std::printf("%-10s %9" PRIu64 " %9.0f %9" PRIu64 " %9" PRIu64 " %8" PRIu64 " %7" PRIu64 " %9" PRIu64
                " %9" PRIu64 " %6.2fs ",
                variant.m_strName.c_str(), result.m_qwRate, result.m_dReached, result.m_qwSent, result.m_qwOnce,
                result.m_qwNever, result.m_qwTwice, result.m_qwEngineDrops, result.m_qwKernelDrops, result.m_dTail);
    for (const PushResult& push : result.m_Pushes) {
        std::printf(" %.2fs/%.2fs/%.2fs(%d)", push.m_dSeconds, push.m_dParserAway, push.m_dStill, push.m_nExit);
    }
    std::printf("%s\n", hwload::UnreachedNote(result.m_dReached, static_cast<double>(result.m_qwRate)).c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string scratch = hwload::EnterScratchNamespace("syslog_push_load");
    std::printf("demo rules, %.1f s of numbered failed log-ins a rate through %d pushes, %d sending threads, "
                "hwhost %s\n",
                options.m_dSeconds, options.m_nPushes, options.m_nSenders, options.m_host.m_strHwhost.c_str());
    hwload::PrintPluginVariants(options.m_Variants);
    std::printf("\n%-10s %9s %9s %9s %9s %8s %7s %9s %9s %7s   %s\n", "sensor", "asked/s", "sent/s", "sent", "once",
                "never", "twice+", "reported", "kern.drop", "tail", "each push: its time/rules away/alerts still(exit)");
    const auto results = hwload::RunRounds<RunResult>(
        options.m_nRounds, options.m_Rates, options.m_Variants, [&](const Variant& variant, uint64_t rate) {
            RunResult result = RunOnce(options, variant, rate, scratch + "/root");
            PrintRun(variant, result);
            return result;
        });
    std::printf("\ndatagrams never alerted (of those sent), round by round (\"-\": the senders did not reach "
                "the rate)\n");
    hwload::PrintRoundTable("offered/s", options.m_Rates, options.m_Variants, results, 28, [](const RunResult& result) {
        return (result.Reached() ? std::to_string(result.Lost()) : std::string("-")) +
               (result.m_qwTwice != 0 ? "+" + std::to_string(result.m_qwTwice) + "x2" : "");
    });
    std::printf("\nseconds each push kept the rules from the datagrams (the syslog engine's pause to its resume, "
                "from the host log): median and longest of all pushes at all rates\n");
    for (size_t v = 0; v < options.m_Variants.size(); ++v) {
        std::vector<double> away;
        for (const std::vector<RunResult>& rate : results[v]) {
            for (const RunResult& result : rate) {
                for (const PushResult& push : result.m_Pushes) {
                    if (push.m_dParserAway >= 0) {
                        away.push_back(push.m_dParserAway);
                    }
                }
            }
        }
        if (away.empty()) {
            continue;
        }
        std::printf("  %-10s %.3f s, longest %.3f s, of %zu pushes\n", options.m_Variants[v].m_strName.c_str(),
                    hwload::Median(away), *std::max_element(away.begin(), away.end()), away.size());
    }
    hwload::FinishRoot(options.m_host, scratch);
    return 0;
}
