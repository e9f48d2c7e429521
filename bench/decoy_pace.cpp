// Load driver for the decoy engine: runs the real hwhost on a sensor root
// with one decoy port, and has peers knock on it at a series of rates, as a
// scanner or a brute-forcer does.  Each peer (127.0.0.1, 127.0.0.2, ...)
// opens a connection on a schedule, none waited for before the next, and
// closes it once its handshake completes; a handshake not completed within
// --connect-timeout seconds counts as failed.  For each rate it reports the
// connections a second the engine alerted on, the handshakes that failed,
// the connections the system dropped for a full backlog (the namespace's
// ListenDrops), those whose handshake completed without an alert, and the
// longest handshake.  With --pushes N the policy is pushed N times during
// each rate's knocking.  With --baseline, every round runs that hwhost
// (another build's, the last one's of main say) too, right after this one,
// and the medians of the rounds are printed side by side
// (bench/decoy_pace_compare.sh builds one and does so).
//
// Each rate runs a host of its own, started afresh, with the hold a second
// and "Max Connections" out of reach, so the figures are the engine's pace
// and not its cap.  It runs in a network namespace of its own (so it needs
// root).
//
//   decoy_pace [--hwhost PATH] [--baseline PATH] [--rates 2,10,20,...]
//              [--seconds N] [--peers N] [--pushes N] [--connect-timeout N]
//              [--rounds N] [--keep]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HostLoad.h"
#include "support/NetworkNamespace.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 2323;
constexpr char kRule[] = "Pace decoy";

struct Options {
    hwload::HostOptions m_host;
    std::string m_strBaseline;
    std::vector<uint64_t> m_Rates{2, 10, 20, 50, 100, 200, 500, 1000};
    double m_dSeconds = 10;
    int m_nPeers = 3;
    int m_nPushes = 0;
    double m_dConnectTimeout = 10;
    int m_nRounds = 1;
};

// What one rate gave one host.
struct RateFigures {
    uint64_t m_qwMade = 0;
    uint64_t m_qwCompleted = 0;
    uint64_t m_qwFailed = 0;
    uint64_t m_qwListenDrops = 0;
    uint64_t m_qwAlerts = 0;
    double m_dLongestMs = 0;
    double m_dSeconds = 0;  // of knocking
    double AlertsPerSecond() const { return m_dSeconds > 0 ? static_cast<double>(m_qwAlerts) / m_dSeconds : 0; }
    uint64_t NotAlerted() const { return m_qwCompleted > m_qwAlerts ? m_qwCompleted - m_qwAlerts : 0; }
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(argc, argv,
                         hwload::PaceOptions(options.m_Rates, options.m_dSeconds, options.m_nRounds,
                                             options.m_strBaseline,
                                             {hwload::NumberOption("--peers", options.m_nPeers),
                                              hwload::NumberOption("--pushes", options.m_nPushes),
                                              hwload::NumberOption("--connect-timeout", options.m_dConnectTimeout)}),
                         options.m_host);
    if (options.m_Rates.empty() || options.m_dSeconds <= 0 || options.m_nPeers < 1 || options.m_nPeers > 250 ||
        options.m_nPushes < 0 || options.m_dConnectTimeout <= 0 || options.m_nRounds < 1) {
        hwload::Fail("--rates, --seconds, --peers (at most 250), --connect-timeout and --rounds must be positive");
    }
    return options;
}

// The policy, with `nSpare` disabled rules beside the decoy so that each
// push brings a policy of its own.
std::string Policy(int nSpare) {
    using hwload::PolicyValue;
    std::string policy = "Host Warden decoy pace policy\r\n[\\];\r\n[\\config\\];\r\n";
    policy += PolicyValue("ScriptEnabled", 'B', "0") + PolicyValue("Nodekeeper", 'B', "0") +
              PolicyValue("Max Connections", 'L', "1000000") + PolicyValue("BlackoutPeriod", 'L', "60");
    policy += "[\\Debug\\];\r\n[\\Debug\\Log\\];\r\n" + PolicyValue("Enable Debug Logging", 'B', "0");
    const std::string table = "[\\Advanced\\Rules\\Suspicious Port Rules\\";
    policy += "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n" + table + "];\r\n";
    policy += table + kRule + "\\];\r\n" + PolicyValue("Enabled", 'B', "1") +
              PolicyValue("Port", 'L', std::to_string(kPort));
    for (int n = 0; n < nSpare; ++n) {
        policy += table + "Spare " + std::to_string(n) + "\\];\r\n" + PolicyValue("Enabled", 'B', "0");
    }
    return policy;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Whether something in this namespace listens on TCP `wPort`.
bool Listening(uint16_t wPort) {
    char entry[32];
    std::snprintf(entry, sizeof entry, ":%04X 00000000:0000 0A", wPort);
    return hwload::ReadText("/proc/self/net/tcp").find(entry) != std::string::npos;
}

uint64_t ListenDrops() {
    return hwtest::ParseCounters(hwload::ReadText("/proc/self/net/netstat"), "TcpExt:")["ListenDrops"];
}

// One peer: `nCount` connections from `address`, one every `interval`
// from `start`, each closed once its handshake completes, or given up after
// `timeout`.
class Peer {
public:
    Peer(in_addr_t address, uint64_t qwCount, Clock::duration interval, Clock::time_point start,
         Clock::duration timeout)
        : m_address(address),
          m_timeout(timeout),
          m_thread([=, this] { Run(qwCount, interval, start); }) {}
    ~Peer() { Join(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    uint64_t m_qwMade = 0;
    uint64_t m_qwCompleted = 0;
    uint64_t m_qwFailed = 0;
    double m_dLongestMs = 0;
    Clock::time_point m_LastMade;

private:
    struct Pending {
        int m_hSocket;
        Clock::time_point m_Start;
    };

    void Run(uint64_t qwCount, Clock::duration interval, Clock::time_point start) {
        for (uint64_t n = 0; n < qwCount; ++n) {
            Settle(start + n * interval, false);
            ++m_qwMade;
            m_LastMade = Clock::now();
            const int hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (hSocket < 0) {
                ++m_qwFailed;
                continue;
            }
            sockaddr_in address{AF_INET, 0, {m_address}, {}};
            ::bind(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
            address = {AF_INET, htons(kPort), {htonl(INADDR_LOOPBACK)}, {}};
            m_Pending.push_back({hSocket, m_LastMade});
            if (::connect(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                Done(m_Pending.size() - 1, true);
            }
        }
        Settle(Clock::now() + m_timeout + std::chrono::seconds(1), true);
    }
    // Takes the handshakes that end until `until` (or, `bLast`, until none
    // is pending).
    void Settle(Clock::time_point until, bool bLast) {
        std::vector<pollfd> polls;
        for (;;) {
            const Clock::time_point now = Clock::now();
            for (size_t n = m_Pending.size(); n-- > 0;) {
                if (now - m_Pending[n].m_Start >= m_timeout) {
                    Done(n, false);
                }
            }
            if (now >= until || (bLast && m_Pending.empty())) {
                return;
            }
            polls.clear();
            for (const Pending& pending : m_Pending) {
                polls.push_back({pending.m_hSocket, POLLOUT, 0});
            }
            const auto wait = std::min(until - now, std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(100)));
            const int nWaitMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
            if (::poll(polls.data(), polls.size(), nWaitMs) <= 0) {
                continue;
            }
            for (size_t n = polls.size(); n-- > 0;) {
                if (polls[n].revents == 0) {
                    continue;
                }
                int nError = -1;
                socklen_t length = sizeof nError;
                ::getsockopt(polls[n].fd, SOL_SOCKET, SO_ERROR, &nError, &length);
                // A reset comes only once the handshake is done: past what
                // the engine holds, a connection is reported and reset at
                // once, sometimes before its peer looks.
                Done(n, nError == 0 || nError == ECONNRESET);
            }
        }
    }
    void Done(size_t nIndex, bool bCompleted) {
        const Pending pending = m_Pending[nIndex];
        m_Pending[nIndex] = m_Pending.back();
        m_Pending.pop_back();
        ::close(pending.m_hSocket);
        if (!bCompleted) {
            ++m_qwFailed;
            return;
        }
        ++m_qwCompleted;
        m_dLongestMs = std::max(
            m_dLongestMs, std::chrono::duration<double, std::milli>(Clock::now() - pending.m_Start).count());
    }

    const in_addr_t m_address;
    const Clock::duration m_timeout;
    std::vector<Pending> m_Pending;
    std::thread m_thread;
};

// Pushes the policy with `nSpare` spare rules and waits for the reload.
void Push(pid_t host, const std::string& root, int nSpare) {
    static const std::string kDone = "hwhost: reload completed with status 1";
    const auto Count = [&] {
        const std::string log = hwload::ReadText(hwload::LogPath(root));
        size_t count = 0;
        for (size_t at = log.find(kDone); at != std::string::npos; at = log.find(kDone, at + 1)) {
            ++count;
        }
        return count;
    };
    const size_t before = Count();
    WriteFile(root + "/push.policy", Policy(nSpare));
    ::kill(host, SIGHUP);
    if (!hwload::WaitFor([&] { return Count() > before; }, 120)) {
        hwload::Fail("a push did not complete; see " + root);
    }
}

// One rate on a host of its own.
RateFigures RunRate(const Options& options, const std::string& hwhost, uint64_t qwRate) {
    char pattern[] = "/tmp/decoy_pace.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        hwload::Fail("cannot make a scratch directory");
    }
    const std::string root = pattern;
    std::filesystem::create_directories(root + "/logs");
    WriteFile(root + "/Default.policy", Policy(0));
    RateFigures figures;
    {
        hwload::AlertCounter counter(root + "/alerts.xml");
        const pid_t host = hwload::StartHost({hwhost, "run", "--root", root, "--log", hwload::LogPath(root)},
                                             root + "/alerts.xml", "/dev/null",
                                             {"HW_DECOY_FIRST_WAIT_MS=0", "HW_DECOY_HOLD_SECONDS=1"});
        if (!hwload::WaitFor([] { return Listening(kPort); }, 60)) {
            hwload::StopHost(host);
            hwload::Fail("the decoy port did not open; see " + root);
        }
        const uint64_t qwDropsBefore = ListenDrops();
        const auto qwTotal = static_cast<uint64_t>(static_cast<double>(qwRate) * options.m_dSeconds);
        const auto qwPeers = static_cast<uint64_t>(options.m_nPeers);
        const auto interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(options.m_nPeers) / static_cast<double>(qwRate)));
        const auto timeout =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.m_dConnectTimeout));
        const Clock::time_point start = Clock::now() + std::chrono::milliseconds(100);
        std::vector<std::unique_ptr<Peer>> peers;
        for (uint64_t n = 0; n < qwPeers; ++n) {
            // Peer n starts its schedule n intervals of the whole after the
            // first, so the port sees the rate asked, evenly.
            peers.push_back(std::make_unique<Peer>(htonl(INADDR_LOOPBACK + static_cast<in_addr_t>(n)),
                                                   qwTotal / qwPeers + (n < qwTotal % qwPeers ? 1 : 0), interval,
                                                   start + n * interval / qwPeers, timeout));
        }
        const auto knocking = std::chrono::duration<double>(options.m_dSeconds);
        for (int n = 1; n <= options.m_nPushes; ++n) {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                      knocking * n / (options.m_nPushes + 1)));
            Push(host, root, n);
        }
        for (const auto& pPeer : peers) {
            pPeer->Join();
            figures.m_qwMade += pPeer->m_qwMade;
            figures.m_qwCompleted += pPeer->m_qwCompleted;
            figures.m_qwFailed += pPeer->m_qwFailed;
            figures.m_dLongestMs = std::max(figures.m_dLongestMs, pPeer->m_dLongestMs);
            // A peer that could not keep to its schedule knocked for longer.
            figures.m_dSeconds = std::max(figures.m_dSeconds,
                                          std::chrono::duration<double>(pPeer->m_LastMade - start).count() +
                                              1.0 / static_cast<double>(qwRate));
        }
        // What waits for the engine is alerted once it is taken: the count
        // settles.
        hwload::WaitFor([&] { return counter.Count() >= figures.m_qwCompleted; }, 5);
        figures.m_qwAlerts = hwload::WaitUntilSettled([&] { return counter.Count(); }, 2.0, 60);
        figures.m_qwListenDrops = ListenDrops() - qwDropsBefore;
        hwload::StopHost(host);
    }
    hwload::FinishRoot(options.m_host, root);
    return figures;
}

void PrintRate(const char* pszWhich, uint64_t qwRate, const RateFigures& figures) {
    std::printf("  %-8s %6" PRIu64 "/s: %7" PRIu64 " made, %7" PRIu64 " alerts (%8.1f/s), %6" PRIu64
                " handshakes failed, %6" PRIu64 " dropped for a full backlog, %6" PRIu64
                " not alerted, longest handshake %7.1f ms\n",
                pszWhich, qwRate, figures.m_qwMade, figures.m_qwAlerts, figures.AlertsPerSecond(),
                figures.m_qwFailed, figures.m_qwListenDrops, figures.NotAlerted(), figures.m_dLongestMs);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string scratch = hwload::EnterScratchNamespace("decoy_pace");
    std::filesystem::remove_all(scratch);
    // Every pending handshake holds a descriptor.
    struct rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::printf("%d peers knocking on one decoy port for %.0f s a rate, %d pushes a rate, handshakes given %.0f s, "
                "%d round%s\n",
                options.m_nPeers, options.m_dSeconds, options.m_nPushes, options.m_dConnectTimeout, options.m_nRounds,
                options.m_nRounds == 1 ? "" : "s");
    const std::vector<hwload::ComparedHost> hosts = hwload::ComparedHosts(options.m_host, options.m_strBaseline);
    // runs[host][rate][round]
    std::vector<std::vector<std::vector<RateFigures>>> runs(
        hosts.size(), std::vector<std::vector<RateFigures>>(options.m_Rates.size()));
    for (int round = 0; round < options.m_nRounds; ++round) {
        std::printf("round %d\n", round + 1);
        for (size_t r = 0; r < options.m_Rates.size(); ++r) {
            for (size_t k = 0; k < hosts.size(); ++k) {
                const size_t n = hwload::InTurn(k, round, hosts.size());
                runs[n][r].push_back(RunRate(options, hosts[n].m_strPath, options.m_Rates[r]));
                PrintRate(hosts[n].m_strName.c_str(), options.m_Rates[r], runs[n][r].back());
            }
        }
    }
    hwload::PrintMediansHead(options.m_nRounds,
                             "alerts a second / handshakes failed / dropped for a full backlog / not alerted", hosts,
                             34);
    bool bEveryOne = true;
    for (size_t r = 0; r < options.m_Rates.size(); ++r) {
        std::printf("%8" PRIu64, options.m_Rates[r]);
        for (size_t n = 0; n < hosts.size(); ++n) {
            std::vector<double> perSecond;
            std::vector<uint64_t> failed;
            std::vector<uint64_t> dropped;
            std::vector<uint64_t> notAlerted;
            for (const RateFigures& figures : runs[n][r]) {
                perSecond.push_back(figures.AlertsPerSecond());
                failed.push_back(figures.m_qwFailed);
                dropped.push_back(figures.m_qwListenDrops);
                notAlerted.push_back(figures.NotAlerted());
                bEveryOne = bEveryOne && (n != 0 || (figures.m_qwFailed == 0 && figures.NotAlerted() == 0));
            }
            char cell[64];
            std::snprintf(cell, sizeof cell, "%.1f / %" PRIu64 " / %" PRIu64 " / %" PRIu64, hwload::Median(perSecond),
                          hwload::Median(failed), hwload::Median(dropped), hwload::Median(notAlerted));
            std::printf("  %-34s", cell);
        }
        std::printf("\n");
    }
    return bEveryOne ? 0 : 1;
}
