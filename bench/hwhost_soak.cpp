// Soak driver for hwhost: runs the real host with the plug-in on a copy of
// the demo sensor root, offers it a steady stream of syslog datagrams that
// the demo's rules match (failed log-ins, and now and then a failed su,
// which is mailed and feeds the correlation rule), and reports the host's
// resident memory and open descriptors every interval.  Both should stay
// flat once the caches and queues are filled: after the first minute, and
// for memory after the demo correlation rule's five-minute window.
//
// It runs in a network namespace of its own (so it needs root), which
// keeps port 514 to itself.  Alerts go to /dev/null; the engine's
// per-datagram echo too.
//
//   hwhost_soak [--hwhost PATH] [--demo DIR] [--seconds N] [--rate N]
//               [--interval N] [--keep]

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostLoad.h"
#include "support/NetworkNamespace.h"

namespace fs = std::filesystem;

namespace {

using hwload::Fail;

using Clock = std::chrono::steady_clock;

struct Options {
    std::string m_strHwhost;
    std::string m_strDemo = std::string(HW_SOURCE_DIR) + "/examples/demo";
    double m_dSeconds = 600;
    uint64_t m_qwRate = 5000;
    double m_dInterval = 10;
    // One datagram in this many is a failed su, which the demo mails.
    uint64_t m_qwMailEvery = 1000;
    bool m_bKeep = false;
};

struct Sample {
    double m_dSeconds = 0;
    uint64_t m_qwSent = 0;
    uint64_t m_qwRssKb = 0;
    uint64_t m_qwDescriptors = 0;
    uint64_t m_qwThreads = 0;
};

uint64_t StatusValue(const std::string& status, const char* pszName) {
    const size_t at = status.find(std::string("\n") + pszName + ":");
    return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + std::strlen(pszName) + 2, nullptr, 10);
}

uint64_t EntriesIn(const std::string& directory) {
    uint64_t count = 0;
    std::error_code ignored;
    for (auto it = fs::directory_iterator(directory, ignored); it != fs::directory_iterator();
         it.increment(ignored)) {
        ++count;
    }
    return count;
}

Sample Measure(pid_t host, double seconds, uint64_t sent) {
    const std::string proc = "/proc/" + std::to_string(host);
    const std::string status = hwload::ReadText(proc + "/status");
    Sample sample;
    sample.m_dSeconds = seconds;
    sample.m_qwSent = sent;
    sample.m_qwRssKb = StatusValue(status, "VmRSS");
    sample.m_qwThreads = StatusValue(status, "Threads");
    sample.m_qwDescriptors = EntriesIn(proc + "/fd");
    return sample;
}

// The datagram of sequence number n: a failed log-in from one of 250
// addresses for one of 1,000 users, or a failed su.
int FormatDatagram(char* text, size_t size, uint64_t n, uint64_t mailEvery) {
    if (mailEvery != 0 && n % mailEvery == 0) {
        return std::snprintf(text, size, "<86>Jan  1 00:00:00 soakhost su[%" PRIu64
                             "]: FAILED SU (to root) user%" PRIu64 " on pts/%" PRIu64,
                             n % 30000, n % 1000, n % 8);
    }
    return std::snprintf(text, size, "<38>Jan  1 00:00:00 soakhost sshd[%" PRIu64
                         "]: Failed password for invalid user user%" PRIu64
                         " from 203.0.113.%" PRIu64 " port %" PRIu64 " ssh2",
                         n % 30000, n % 1000, n % 250 + 1, 1024 + n % 60000);
}

// Sends at `rate` until `deadline`, sampling the host every `interval`.
std::vector<Sample> Soak(pid_t host, const Options& options) {
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(514);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sock < 0 || ::connect(sock, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        Fail("cannot reach port 514");
    }
    constexpr size_t kBatch = 32;
    char texts[kBatch][200];
    iovec vectors[kBatch];
    mmsghdr messages[kBatch];
    std::vector<Sample> samples;
    const auto start = Clock::now();
    auto nextSample = start;
    uint64_t sent = 0;
    for (;;) {
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - start).count();
        if (now >= nextSample) {
            samples.push_back(Measure(host, elapsed, sent));
            const Sample& s = samples.back();
            std::printf("%7.0f %12" PRIu64 " %10" PRIu64 " %6" PRIu64 " %8" PRIu64 "\n",
                        s.m_dSeconds, s.m_qwSent, s.m_qwRssKb, s.m_qwDescriptors, s.m_qwThreads);
            std::fflush(stdout);
            nextSample += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(options.m_dInterval));
        }
        if (elapsed >= options.m_dSeconds) {
            break;
        }
        const uint64_t due = static_cast<uint64_t>(elapsed * static_cast<double>(options.m_qwRate));
        if (due <= sent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        const size_t batch = static_cast<size_t>(std::min<uint64_t>(kBatch, due - sent));
        for (size_t i = 0; i < batch; ++i) {
            const int length = FormatDatagram(texts[i], sizeof texts[i], sent + i, options.m_qwMailEvery);
            vectors[i] = {texts[i], static_cast<size_t>(length)};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int done = ::sendmmsg(sock, messages, static_cast<unsigned>(batch), 0);
        if (done < 0 && errno != EINTR && errno != ENOBUFS && errno != EAGAIN) {
            Fail(std::string("send failed: ") + std::strerror(errno));
        }
        sent += done > 0 ? static_cast<uint64_t>(done) : 0;
    }
    ::close(sock);
    return samples;
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                Fail("missing value after " + arg);
            }
            return argv[++i];
        };
        if (arg == "--hwhost") {
            options.m_strHwhost = next();
        } else if (arg == "--demo") {
            options.m_strDemo = next();
        } else if (arg == "--seconds") {
            options.m_dSeconds = std::atof(next().c_str());
        } else if (arg == "--rate") {
            options.m_qwRate = std::strtoull(next().c_str(), nullptr, 10);
        } else if (arg == "--interval") {
            options.m_dInterval = std::atof(next().c_str());
        } else if (arg == "--keep") {
            options.m_bKeep = true;
        } else {
            Fail("unknown argument " + arg);
        }
    }
    if (options.m_strHwhost.empty()) {
        options.m_strHwhost = hwload::HwhostBesideThisProgram();
    }
    if (options.m_dInterval <= 0 || options.m_qwRate == 0) {
        Fail("--interval and --rate must be positive");
    }
    return options;
}

// Spread of a measure over the samples from `fromSeconds` on.
void Report(const char* pszName, const std::vector<Sample>& samples,
            uint64_t Sample::*pMeasure, double allowedGrowth, double fromSeconds) {
    std::vector<uint64_t> values;
    for (const Sample& sample : samples) {
        if (sample.m_dSeconds >= fromSeconds) {
            values.push_back(sample.*pMeasure);
        }
    }
    if (values.size() < 2) {
        std::printf("%s: too few samples after %.0f s\n", pszName, fromSeconds);
        return;
    }
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    const double growth =
        static_cast<double>(values.back()) - static_cast<double>(values.front());
    const bool bFlat = growth <= allowedGrowth * static_cast<double>(values.front());
    std::printf("%s after %.0f s: first %" PRIu64 ", last %" PRIu64 ", min %" PRIu64 ", max %" PRIu64
                " -> %s\n",
                pszName, fromSeconds, values.front(), values.back(), *low, *high,
                bFlat ? "flat" : "GROWING");
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    if (hwtest::EnterNewNetworkNamespace() != 0) {
        Fail("cannot make a private network namespace (run as root)");
    }
    char pattern[] = "/tmp/hwhost_soak.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        Fail("cannot make a scratch directory");
    }
    const std::string root = pattern;
    std::error_code failure;
    fs::copy(options.m_strDemo, root, fs::copy_options::recursive, failure);
    if (failure) {
        Fail("cannot copy " + options.m_strDemo + ": " + failure.message());
    }
    // Alerts on standard output, which is /dev/null.
    const pid_t host =
        hwload::StartHost({options.m_strHwhost, "run", "--root", root}, "/dev/null");
    if (!hwload::WaitFor([] { return hwload::UdpPortTaken(514); }, 60)) {
        ::kill(host, SIGTERM);
        Fail("the sensor did not open port 514; see " + root);
    }
    std::printf("hwhost %s on a copy of %s: %" PRIu64 " datagrams/s for %.0f s\n",
                options.m_strHwhost.c_str(), options.m_strDemo.c_str(), options.m_qwRate,
                options.m_dSeconds);
    std::printf("%7s %12s %10s %6s %8s\n", "seconds", "sent", "rss_kB", "fds", "threads");
    const std::vector<Sample> samples = Soak(host, options);

    ::kill(host, SIGTERM);
    int status = 0;
    ::waitpid(host, &status, 0);
    const std::string log = hwload::ReadText(root + "/logs/hwhost.log");
    for (const char* pszMarker : {" alerts taken, ", " e-mails written "}) {
        const size_t at = log.rfind(pszMarker);
        if (at != std::string::npos) {
            const size_t begin = log.rfind("hwhost: ", at);
            std::printf("%s\n", log.substr(begin, log.find('\n', at) - begin).c_str());
        }
    }
    std::printf("host exit status %d, log %zu bytes, %" PRIu64 " mails in the outbox\n",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, log.size(),
                EntriesIn(root + "/outbox"));
    // Memory may settle by a few per cent (allocator arenas); descriptors
    // must not move at all.
    // The demo's correlation rule counts every watched alert of the last
    // five minutes, so memory may grow that long; the second half of a
    // long run shows what stays.
    for (double from : {60.0, options.m_dSeconds / 2}) {
        Report("rss_kB", samples, &Sample::m_qwRssKb, 0.05, from);
        Report("fds", samples, &Sample::m_qwDescriptors, 0.0, from);
    }
    if (!options.m_bKeep) {
        fs::remove_all(root, failure);
    } else {
        std::printf("sensor root kept: %s\n", root.c_str());
    }
    return 0;
}
