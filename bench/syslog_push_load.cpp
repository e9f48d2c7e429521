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

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "HostLoad.h"

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

// Reads the alerts hwhost writes into a named pipe and counts each marked
// number's alerts; keeps, for every read, when it came and how many
// marked alerts had come by then.
class MarkReader {
public:
    MarkReader(const std::string& fifoPath, uint64_t count) : m_strPath(fifoPath), m_Counts(count + 1, 0) {
        if (::mkfifo(fifoPath.c_str(), 0600) != 0) {
            hwload::Fail("cannot make " + fifoPath);
        }
        m_thread = std::thread([this] { Run(); });
    }
    ~MarkReader() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    MarkReader(const MarkReader&) = delete;
    MarkReader& operator=(const MarkReader&) = delete;

    uint64_t Marked() const { return m_qwMarked.load(); }
    // After the host ended (the pipe closed).
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    const std::vector<uint8_t>& Counts() const { return m_Counts; }
    uint64_t Unknown() const { return m_qwUnknown; }
    // When the last marked alert came.
    Clock::time_point LastGrowth() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_Growth.empty() ? Clock::time_point{} : m_Growth.back();
    }
    // The longest time within [from, to] in which no marked alert came.
    double LongestStill(Clock::time_point from, Clock::time_point to) {
        std::lock_guard<std::mutex> guard(m_lock);
        Clock::time_point last = from;
        double longest = 0;
        for (const Clock::time_point& at : m_Growth) {
            if (at < from) {
                continue;
            }
            const Clock::time_point end = std::min(at, to);
            longest = std::max(longest, std::chrono::duration<double>(end - last).count());
            last = at;
            if (at >= to) {
                break;
            }
        }
        return longest;
    }

private:
    void Run() {
        const int fd = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        std::vector<char> buffer(1 << 20);
        std::string pending;
        for (;;) {
            const ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            pending.append(buffer.data(), static_cast<size_t>(got));
            // Up to the last whole document: a marker is never split.
            const size_t end = pending.rfind("</event>");
            if (end == std::string::npos) {
                continue;
            }
            const std::string_view done(pending.data(), end);
            uint64_t found = 0;
            for (size_t at = done.find(kMarker); at != std::string_view::npos; at = done.find(kMarker, at + 1)) {
                const uint64_t n = std::strtoull(done.data() + at + sizeof kMarker - 1, nullptr, 10);
                if (n == 0 || n >= m_Counts.size()) {
                    ++m_qwUnknown;
                } else if (m_Counts[n] < 255) {
                    ++m_Counts[n];
                }
                ++found;
            }
            pending.erase(0, end);
            if (found != 0) {
                m_qwMarked += found;
                std::lock_guard<std::mutex> guard(m_lock);
                m_Growth.push_back(Clock::now());
            }
        }
        ::close(fd);
    }

    std::string m_strPath;
    std::vector<uint8_t> m_Counts;
    std::atomic<uint64_t> m_qwMarked{0};
    uint64_t m_qwUnknown = 0;
    std::mutex m_lock;
    std::vector<Clock::time_point> m_Growth;
    std::thread m_thread;
};

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

// The seconds since midnight of a host log line ("2026-12-08 17:41:40.533 ...").
double LogTime(const std::string& line) {
    int hours = 0;
    int minutes = 0;
    double seconds = 0;
    return std::sscanf(line.c_str(), "%*d-%*d-%*d %d:%d:%lf", &hours, &minutes, &seconds) == 3
               ? hours * 3600.0 + minutes * 60.0 + seconds
               : -1;
}

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
            paused = LogTime(line);
        } else if (inReload && paused >= 0 && line.find("Thread list: OnResume NT Syslog") != std::string::npos) {
            const double resumed = LogTime(line);
            away.push_back(resumed >= paused ? resumed - paused : resumed + 86400 - paused);
            inReload = false;
        }
    }
    return away;
}

PushResult Push(const std::string& hwhost, const std::string& root, const std::string& file) {
    PushResult result;
    const auto start = Clock::now();
    const pid_t pid = hwload::StartHost({hwhost, "push", "--root", root, file}, root + "/push.out",
                                        root + "/push.err");
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.m_dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.m_nExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// One run of `variant` at `rate` on a fresh copy of the demo's root.
RunResult RunOnce(const Options& options, const Variant& variant, uint64_t rate, const std::string& root) {
    RunResult result;
    result.m_qwRate = rate;
    result.m_qwSent = static_cast<uint64_t>(static_cast<double>(rate) * options.m_dSeconds);
    const std::string pushFile = MakeDemoRoot(root);
    auto reader = std::make_unique<MarkReader>(root + "/alerts.xml", result.m_qwSent);
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
    std::thread pusher([&] {
        // A push comes at any point of the engines' own waits (an adapter's
        // read of a second, say): each is put off by up to half a second.
        std::mt19937 random(std::random_device{}());
        std::uniform_real_distribution<double> jitter(0.0, 0.5);
        for (int n = 1; n <= options.m_nPushes; ++n) {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                                      options.m_dSeconds * n / (options.m_nPushes + 1) + jitter(random))));
            pushStarts.push_back(Clock::now());
            result.m_Pushes.push_back(Push(options.m_host.m_strHwhost, root, pushFile));
            pushEnds.push_back(Clock::now());
        }
    });
    result.m_dReached = hwload::SendAtRate(rate, result.m_qwSent, 1, MarkedDatagram, options.m_nSenders);
    const auto sent = Clock::now();
    pusher.join();
    hwload::WaitUntilSettled([&] { return reader->Marked(); }, 2.0, 300);
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
    const std::vector<uint8_t>& counts = reader->Counts();
    for (uint64_t n = 1; n < counts.size(); ++n) {
        result.m_qwOnce += counts[n] == 1 ? 1 : 0;
        result.m_qwNever += counts[n] == 0 ? 1 : 0;
        result.m_qwTwice += counts[n] > 1 ? 1 : 0;
    }
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
    // results[variant][rate][round]
    std::vector<std::vector<std::vector<RunResult>>> results(
        options.m_Variants.size(), std::vector<std::vector<RunResult>>(options.m_Rates.size()));
    for (int round = 0; round < options.m_nRounds; ++round) {
        for (size_t r = 0; r < options.m_Rates.size(); ++r) {
            for (size_t i = 0; i < options.m_Variants.size(); ++i) {
                const size_t v = (i + static_cast<size_t>(round)) % options.m_Variants.size();
                RunResult result = RunOnce(options, options.m_Variants[v], options.m_Rates[r], scratch + "/root");
                PrintRun(options.m_Variants[v], result);
                results[v][r].push_back(std::move(result));
            }
        }
    }
    std::printf("\ndatagrams never alerted (of those sent), round by round (\"-\": the senders did not reach "
                "the rate)\n%10s",
                "offered/s");
    for (const Variant& variant : options.m_Variants) {
        std::printf("  %-28s", variant.m_strName.c_str());
    }
    std::printf("\n");
    for (size_t r = 0; r < options.m_Rates.size(); ++r) {
        std::printf("%10" PRIu64, options.m_Rates[r]);
        for (size_t v = 0; v < options.m_Variants.size(); ++v) {
            std::string cell;
            for (const RunResult& result : results[v][r]) {
                cell += (cell.empty() ? "" : ",") +
                        (result.Reached() ? std::to_string(result.Lost()) : std::string("-")) +
                        (result.m_qwTwice != 0 ? "+" + std::to_string(result.m_qwTwice) + "x2" : "");
            }
            std::printf("  %-28s", cell.c_str());
        }
        std::printf("\n");
    }
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
        std::sort(away.begin(), away.end());
        if (away.empty()) {
            continue;
        }
        const size_t n = away.size();
        std::printf("  %-10s %.3f s, longest %.3f s, of %zu pushes\n", options.m_Variants[v].m_strName.c_str(),
                    n % 2 == 1 ? away[n / 2] : (away[n / 2 - 1] + away[n / 2]) / 2, away.back(), n);
    }
    hwload::FinishRoot(options.m_host, scratch);
    return 0;
}
