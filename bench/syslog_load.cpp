// Load driver for the syslog engine: runs the real hwhost with the plug-in
// on a sensor root holding 100 syslog rules, offers datagrams to UDP port 514
// at a series of rates, and reports for each rate what the kernel delivered
// and dropped, what the engine dropped and how many alerts the host wrote.
//
// It runs in a network namespace of its own (so it needs root), which keeps
// port 514 and the kernel's UDP counters to itself.
//
//   syslog_load [--hwhost PATH] [--rates 10000,20000,...] [--seconds N]
//               [--rules N] [--keep]

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "HostLoad.h"
#include "support/NetworkNamespace.h"

namespace {

using hwload::Fail;
using hwload::HwhostBesideThisProgram;
using hwload::ReadText;
using hwload::StartHost;
using hwload::UdpPortTaken;
using hwload::WaitFor;

using Clock = std::chrono::steady_clock;

struct Options {
    std::string m_strHwhost;
    std::vector<uint64_t> m_Rates{10000, 20000, 50000, 75000, 100000, 150000, 200000};
    double m_dSeconds = 5.0;
    int m_nRules = 100;
    bool m_bKeep = false;
};

struct PhaseResult {
    uint64_t m_qwRate = 0;
    uint64_t m_qwSent = 0;
    uint64_t m_qwDelivered = 0;
    uint64_t m_qwKernelDrops = 0;
    uint64_t m_qwEngineDrops = 0;
    uint64_t m_qwAlerts = 0;
    double m_dAchievedRate = 0;
};

std::map<std::string, uint64_t> UdpCounters() {
    return hwtest::ParseUdpCounters(ReadText("/proc/self/net/snmp"));
}

// Counts the alert documents hwhost writes into a named pipe, so a million
// alerts cost no disk.
class AlertCounter {
public:
    explicit AlertCounter(const std::string& fifoPath) : m_strPath(fifoPath) {
        if (::mkfifo(fifoPath.c_str(), 0600) != 0) {
            Fail("cannot make " + fifoPath);
        }
        m_thread = std::thread([this] { Run(); });
    }
    ~AlertCounter() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    uint64_t Count() const { return m_qwCount.load(); }

private:
    void Run() {
        int fd = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        static const std::string kEnd = "</event>";
        std::vector<char> buffer(1 << 20);
        std::string carry;
        for (;;) {
            ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            // A marker may straddle two reads: the tail of the last read is
            // looked at again with the new bytes.
            std::string_view chunk(buffer.data(), static_cast<size_t>(got));
            std::string joined = carry + std::string(chunk.substr(0, std::min(chunk.size(), kEnd.size())));
            uint64_t found = 0;
            for (size_t at = joined.find(kEnd); at != std::string::npos; at = joined.find(kEnd, at + 1)) {
                if (at < carry.size()) {
                    ++found;
                }
            }
            for (size_t at = chunk.find(kEnd); at != std::string_view::npos; at = chunk.find(kEnd, at + 1)) {
                ++found;
            }
            m_qwCount.fetch_add(found);
            carry = std::string(chunk.substr(chunk.size() - std::min(chunk.size(), kEnd.size() - 1)));
        }
        ::close(fd);
    }

    std::string m_strPath;
    std::atomic<uint64_t> m_qwCount{0};
    std::thread m_thread;
};

// The drops the engine has reported in the host log so far.
uint64_t EngineDrops(const std::string& logPath) {
    const std::string marker = "NTSyslog dropped ";
    const std::string log = ReadText(logPath);
    uint64_t total = 0;
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
        total += std::strtoull(log.c_str() + at + marker.size(), nullptr, 10);
    }
    return total;
}

// A policy line: name, tab, "=" and type letter, tab, value and ";", CR LF.
std::string Value(const char* name, char type, const std::string& value) {
    return std::string(name) + "\t=" + type + "\t" + value + ";\r\n";
}

void WriteSensorRoot(const std::string& root, int rules) {
    std::string policy = "Host Warden load policy\r\n[\\];\r\n[\\config\\];\r\n";
    policy += Value("ScriptEnabled", 'B', "0");
    policy += "[\\Debug\\];\r\n[\\Debug\\Log\\];\r\n" + Value("Enable Debug Logging", 'B', "0");
    policy += "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n";
    for (int i = 0; i < rules; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "LOADRULE%03d", i);
        policy += std::string("[\\Advanced\\Rules\\SysLog Rules\\") + name + "\\];\r\n";
        policy += Value("Enabled", 'B', "1");
        policy += Value("Alert Type", 'S', "LoginEvent");
        policy += Value("Regular Expression", 'S', std::string(name) + " failed");
        policy += std::string("[\\Advanced\\Rules\\SysLog Rules\\") + name + "\\Info\\];\r\n";
        policy += Value("User", 'S', "@Field6");
        policy += Value("Sender", 'S', "@Remote");
    }
    std::filesystem::create_directories(root + "/logs");
    std::ofstream(root + "/Default.policy", std::ios::binary) << policy;
}

// Waits until `sample` has not changed for `quietSeconds`.
uint64_t WaitUntilSettled(const std::function<uint64_t()>& sample, double quietSeconds,
                          double limitSeconds) {
    uint64_t last = sample();
    auto lastChange = Clock::now();
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(limitSeconds));
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        uint64_t now = sample();
        if (now != last) {
            last = now;
            lastChange = Clock::now();
        } else if (Clock::now() - lastChange >= std::chrono::duration<double>(quietSeconds)) {
            break;
        }
    }
    return last;
}

// Sends `count` datagrams at `rate` per second, in small batches, and
// answers the rate achieved.
double SendAtRate(uint64_t rate, uint64_t count, int rules, uint64_t& sequence) {
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int sendBuffer = 4 << 20;
    ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(514);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(sock, reinterpret_cast<sockaddr*>(&target), sizeof target);

    constexpr size_t kBatch = 64;
    char texts[kBatch][160];
    iovec vectors[kBatch];
    mmsghdr messages[kBatch];
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (sent < count) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const uint64_t due = std::min<uint64_t>(count, static_cast<uint64_t>(elapsed * rate) + 1);
        if (due <= sent) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        const size_t batch = static_cast<size_t>(std::min<uint64_t>(kBatch, due - sent));
        for (size_t i = 0; i < batch; ++i) {
            const uint64_t n = sequence++;
            const int length = std::snprintf(
                texts[i], sizeof texts[i],
                "<38>Jan  1 00:00:00 loadhost sshd[%" PRIu64 "]: LOADRULE%03d failed for user%" PRIu64
                " from 192.0.2.%d",
                n % 100000, static_cast<int>(n % static_cast<uint64_t>(rules)), n % 1000,
                static_cast<int>(n % 250) + 1);
            vectors[i] = {texts[i], static_cast<size_t>(length)};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int done = ::sendmmsg(sock, messages, static_cast<unsigned>(batch), 0);
        if (done < 0) {
            if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN) {
                continue;
            }
            Fail(std::string("send failed: ") + std::strerror(errno));
        }
        // Datagrams a refused send did not take are sent again.
        sequence -= batch - static_cast<size_t>(done);
        sent += static_cast<uint64_t>(done);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(sock);
    return seconds > 0 ? static_cast<double>(count) / seconds : 0;
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                Fail("missing value after " + arg);
            }
            return argv[++i];
        };
        if (arg == "--hwhost") {
            options.m_strHwhost = next();
        } else if (arg == "--rates") {
            options.m_Rates.clear();
            std::istringstream list(next());
            std::string item;
            while (std::getline(list, item, ',')) {
                options.m_Rates.push_back(std::strtoull(item.c_str(), nullptr, 10));
            }
        } else if (arg == "--seconds") {
            options.m_dSeconds = std::atof(next().c_str());
        } else if (arg == "--rules") {
            options.m_nRules = std::atoi(next().c_str());
        } else if (arg == "--keep") {
            options.m_bKeep = true;
        } else {
            Fail("unknown argument " + arg);
        }
    }
    if (options.m_strHwhost.empty()) {
        options.m_strHwhost = HwhostBesideThisProgram();
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    if (hwtest::EnterNewNetworkNamespace() != 0) {
        Fail("cannot make a private network namespace (run as root)");
    }
    char pattern[] = "/tmp/syslog_load.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        Fail("cannot make a scratch directory");
    }
    const std::string root = pattern;
    WriteSensorRoot(root, options.m_nRules);

    AlertCounter counter(root + "/alerts.xml");
    const pid_t host = StartHost({options.m_strHwhost, "run", "--root", root, "--alerts",
                                  root + "/alerts.xml", "--log", root + "/logs/hwhost.log"},
                                 root + "/hwhost.out");
    if (!WaitFor([] { return UdpPortTaken(514); }, 30)) {
        ::kill(host, SIGTERM);
        Fail("the sensor did not open port 514; see " + root);
    }
    const std::string logPath = root + "/logs/hwhost.log";
    auto alerts = [&] { return counter.Count(); };

    std::printf("%d rules, %.1f s per rate, hwhost %s\n", options.m_nRules, options.m_dSeconds,
                options.m_strHwhost.c_str());
    std::printf("%10s %10s %10s %10s %10s %10s %10s %6s\n", "offered/s", "achieved/s", "sent",
                "delivered", "kern.drop", "eng.drop", "alerts", "loss");
    std::vector<PhaseResult> results;
    uint64_t sequence = 0;
    for (uint64_t rate : options.m_Rates) {
        PhaseResult result;
        result.m_qwRate = rate;
        auto before = UdpCounters();
        const uint64_t alertsBefore = alerts();
        const uint64_t dropsBefore = EngineDrops(logPath);
        result.m_qwSent = static_cast<uint64_t>(rate * options.m_dSeconds);
        result.m_dAchievedRate = SendAtRate(rate, result.m_qwSent, options.m_nRules, sequence);
        WaitUntilSettled(alerts, 2.0, 600);
        // A pause makes the engine report the drops it has not reported yet.
        ::kill(host, SIGUSR1);
        WaitFor([] { return !UdpPortTaken(514); }, 60);
        ::kill(host, SIGUSR2);
        WaitFor([] { return UdpPortTaken(514); }, 60);
        auto after = UdpCounters();
        result.m_qwDelivered = after["InDatagrams"] - before["InDatagrams"];
        result.m_qwKernelDrops = (after["RcvbufErrors"] - before["RcvbufErrors"]) +
                                 (after["MemErrors"] - before["MemErrors"]);
        result.m_qwEngineDrops = WaitUntilSettled([&] { return EngineDrops(logPath); }, 1.0, 10) -
                                 dropsBefore;
        result.m_qwAlerts = alerts() - alertsBefore;
        const uint64_t lost = result.m_qwSent - std::min(result.m_qwSent, result.m_qwAlerts);
        std::printf("%10" PRIu64 " %10.0f %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64
                    " %10" PRIu64 " %6" PRIu64 "\n",
                    result.m_qwRate, result.m_dAchievedRate, result.m_qwSent, result.m_qwDelivered,
                    result.m_qwKernelDrops, result.m_qwEngineDrops, result.m_qwAlerts, lost);
        std::fflush(stdout);
        results.push_back(result);
    }
    ::kill(host, SIGTERM);
    int status = 0;
    ::waitpid(host, &status, 0);

    uint64_t best = 0;
    for (const PhaseResult& result : results) {
        if (result.m_qwAlerts == result.m_qwSent && result.m_qwRate > best) {
            best = result.m_qwRate;
        }
    }
    std::printf("highest offered rate with no loss: %" PRIu64 " datagrams/s\n", best);
    if (!options.m_bKeep) {
        std::filesystem::remove_all(root);
    } else {
        std::printf("sensor root kept: %s\n", root.c_str());
    }
    return 0;
}
