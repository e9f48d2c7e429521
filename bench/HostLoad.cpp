#include "HostLoad.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "support/NetworkNamespace.h"
#include "support/StopSummary.h"

extern char** environ;

namespace hwload {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

void Fail(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
    std::exit(2);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Option NumberOption(const char* pszName, uint64_t& target) {
    return {pszName, true, [&target](const std::string& value) { target = std::strtoull(value.c_str(), nullptr, 10); }};
}

Option NumberOption(const char* pszName, double& target) {
    return {pszName, true, [&target](const std::string& value) { target = std::atof(value.c_str()); }};
}

Option NumberOption(const char* pszName, int& target) {
    return {pszName, true, [&target](const std::string& value) { target = std::atoi(value.c_str()); }};
}

std::vector<uint64_t> NumberList(const std::string& text) {
    std::vector<uint64_t> numbers;
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        numbers.push_back(std::strtoull(item.c_str(), nullptr, 10));
    }
    return numbers;
}

void ParseOptions(int argc, char** argv, const std::vector<Option>& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto option = std::find_if(options.begin(), options.end(),
                                         [&](const Option& o) { return arg == o.m_pszName; });
        if (option == options.end()) {
            Fail("unknown argument " + arg);
        }
        if (option->m_bTakesValue && i + 1 >= argc) {
            Fail("missing value after " + arg);
        }
        option->m_apply(option->m_bTakesValue ? argv[++i] : "");
    }
}

void ParseOptions(int argc, char** argv, std::vector<Option> options, HostOptions& host) {
    options.push_back(
        {"--hwhost", true, [&](const std::string& value) { host.m_strHwhost = value; }});
    options.push_back({"--keep", false, [&](const std::string&) { host.m_bKeep = true; }});
    ParseOptions(argc, argv, options);
    if (host.m_strHwhost.empty()) {
        host.m_strHwhost = HwhostBesideThisProgram();
    }
}

Option PluginOption(std::vector<PluginVariant>& variants) {
    return {"--plugin", true, [&variants](const std::string& value) {
                const size_t equals = value.find('=');
                if (equals == std::string::npos || equals == 0) {
                    Fail("--plugin needs NAME=PATH, not " + value);
                }
                variants.push_back({value.substr(0, equals), value.substr(equals + 1)});
            }};
}

void DefaultPluginVariant(std::vector<PluginVariant>& variants) {
    if (variants.empty()) {
        variants.push_back({"sensor", ""});
    }
}

void PrintPluginVariants(const std::vector<PluginVariant>& variants) {
    for (const PluginVariant& variant : variants) {
        std::printf("  %s: %s\n", variant.m_strName.c_str(),
                    variant.m_strPlugin.empty() ? "the plug-in beside hwhost" : variant.m_strPlugin.c_str());
    }
}

void FinishRoot(const HostOptions& host, const std::string& root) {
    if (host.m_bKeep) {
        std::printf("sensor root kept: %s\n", root.c_str());
    } else {
        std::filesystem::remove_all(root);
    }
}

std::string HwhostBesideThisProgram() {
    // <build>/bench/ and <build>/bin/.
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / "bin" / "hwhost").string();
}

pid_t StartHost(std::vector<std::string> args, const std::string& outputFile, const std::string& errorFile,
                const std::vector<std::string>& environment, int inputFd) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    // The settings come first: a name found twice is read from its first.
    std::vector<std::string> settings(environment);
    std::vector<char*> env;
    for (std::string& setting : settings) {
        env.push_back(setting.data());
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        env.push_back(*entry);
    }
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, inputFd, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        Fail("cannot start " + args[0]);
    }
    return pid;
}

NumberedAlerts::NumberedAlerts(const std::string& fifoPath, uint64_t count, NumberOf numberOf)
    : m_strPath(fifoPath), m_numberOf(std::move(numberOf)), m_Counts(count + 1, 0) {
    if (::mkfifo(fifoPath.c_str(), 0600) != 0) {
        Fail("cannot make " + fifoPath);
    }
    m_thread = std::thread([this] { Run(); });
}

NumberedAlerts::~NumberedAlerts() { Join(); }

void NumberedAlerts::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

Clock::time_point NumberedAlerts::LastGrowth() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_Growth.empty() ? Clock::time_point{} : m_Growth.back();
}

NumberedAlerts::Tally NumberedAlerts::Tallied() const {
    Tally tally;
    for (uint64_t n = 1; n < m_Counts.size(); ++n) {
        tally.m_qwOnce += m_Counts[n] == 1 ? 1 : 0;
        tally.m_qwNever += m_Counts[n] == 0 ? 1 : 0;
        tally.m_qwTwice += m_Counts[n] > 1 ? 1 : 0;
    }
    return tally;
}

double NumberedAlerts::LongestStill(Clock::time_point from, Clock::time_point to) {
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

void NumberedAlerts::Run() {
    const int fd = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    static constexpr std::string_view kEnd = "</event>";
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
        // Whole documents only: a number is never split.
        size_t begin = 0;
        uint64_t numbered = 0;
        uint64_t all = 0;
        for (size_t end = pending.find(kEnd); end != std::string::npos; end = pending.find(kEnd, begin)) {
            const uint64_t n = m_numberOf(std::string_view(pending.data() + begin, end - begin));
            begin = end + kEnd.size();
            ++all;
            if (n == 0) {
                continue;
            }
            if (n >= m_Counts.size()) {
                ++m_qwUnknown;
            } else if (m_Counts[n] < 255) {
                ++m_Counts[n];
            }
            ++numbered;
        }
        pending.erase(0, begin);
        m_qwAll += all;
        if (numbered != 0) {
            m_qwNumbered += numbered;
            std::lock_guard<std::mutex> guard(m_lock);
            m_Growth.push_back(Clock::now());
        }
    }
    ::close(fd);
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

PushRun RunPush(const std::string& hwhost, const std::string& root, const std::string& policyFile) {
    PushRun push;
    const auto start = Clock::now();
    const pid_t pid = StartHost({hwhost, "push", "--root", root, policyFile}, root + "/push.out", root + "/push.err");
    int status = 0;
    ::waitpid(pid, &status, 0);
    push.m_dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    push.m_nExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return push;
}

std::thread PushThroughout(int pushes, double seconds, Clock::time_point start, std::function<void(int n)> push) {
    return std::thread([=] {
        std::mt19937 random(std::random_device{}());
        std::uniform_real_distribution<double> jitter(0.0, 0.5);
        for (int n = 1; n <= pushes; ++n) {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                                      seconds * n / (pushes + 1) + jitter(random))));
            push(n);
        }
    });
}

std::string EnterScratchNamespace(const char* pszStem) {
    if (hwtest::EnterNewNetworkNamespace() != 0) {
        Fail("cannot make a private network namespace (run as root)");
    }
    std::string pattern = std::string("/tmp/") + pszStem + ".XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        Fail("cannot make a scratch directory");
    }
    return pattern;
}

std::string LogPath(const std::string& root) {
    return root + "/logs/hwhost.log";
}

pid_t StartHostOnRoot(const std::string& hwhost, const std::string& root,
                      const std::vector<std::string>& extra) {
    // The alerts go to standard output, which is the pipe the driver's
    // AlertCounter reads: hwhost opens no alert file that is not a regular
    // one.
    std::vector<std::string> argv = {hwhost, "run", "--root", root, "--log", LogPath(root)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const pid_t host = StartHost(argv, root + "/alerts.xml");
    if (!WaitFor([] { return UdpPortTaken(514); }, 60)) {
        ::kill(host, SIGTERM);
        Fail("the sensor did not open port 514; see " + root);
    }
    return host;
}

std::vector<ComparedHost> ComparedHosts(const HostOptions& host, const std::string& baseline) {
    std::vector<ComparedHost> hosts = {{"this", host.m_strHwhost}};
    if (!baseline.empty()) {
        hosts.push_back({"baseline", baseline});
    }
    for (const ComparedHost& compared : hosts) {
        std::printf("%s: %s\n", compared.m_strName.c_str(), compared.m_strPath.c_str());
    }
    return hosts;
}

std::vector<Option> PaceOptions(std::vector<uint64_t>& rates, double& seconds, int& rounds, std::string& baseline,
                                std::vector<Option> more) {
    std::vector<Option> options = {
        {"--rates", true, [&rates](const std::string& value) { rates = NumberList(value); }},
        NumberOption("--seconds", seconds), NumberOption("--rounds", rounds),
        {"--baseline", true, [&baseline](const std::string& value) { baseline = value; }}};
    options.insert(options.end(), more.begin(), more.end());
    return options;
}

size_t InTurn(size_t k, int round, size_t hosts) { return (k + static_cast<size_t>(round)) % hosts; }

void PrintMediansHead(int rounds, const char* pszWhat, const std::vector<ComparedHost>& hosts, int width) {
    std::printf("medians of %d round%s: %s\n%8s", rounds, rounds == 1 ? "" : "s", pszWhat, "rate/s");
    for (const ComparedHost& host : hosts) {
        std::printf("  %-*s", width, host.m_strName.c_str());
    }
    std::printf("\n");
}

void StopHost(pid_t host) {
    ::kill(host, SIGTERM);
    int status = 0;
    ::waitpid(host, &status, 0);
}

bool UdpPortTaken(uint16_t port) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const bool taken = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                       errno == EADDRINUSE;
    ::close(probe);
    return taken;
}

bool WaitFor(const std::function<bool()>& condition, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (Clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

uint64_t WaitUntilSettled(const std::function<uint64_t()>& sample, double quietSeconds,
                          double limitSeconds) {
    uint64_t last = sample();
    auto lastChange = Clock::now();
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(limitSeconds));
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint64_t now = sample();
        if (now != last) {
            last = now;
            lastChange = Clock::now();
        } else if (Clock::now() - lastChange >= std::chrono::duration<double>(quietSeconds)) {
            break;
        }
    }
    return last;
}

std::string PolicyValue(const char* pszName, char type, const std::string& value) {
    return std::string(pszName) + "\t=" + type + "\t" + value + ";\r\n";
}

std::string SyslogPolicyHead(const char* pszTitle, bool bScripts) {
    std::string policy = std::string(pszTitle) + "\r\n[\\];\r\n[\\config\\];\r\n";
    policy += PolicyValue("ScriptEnabled", 'B', bScripts ? "1" : "0");
    policy +=
        "[\\Debug\\];\r\n[\\Debug\\Log\\];\r\n" + PolicyValue("Enable Debug Logging", 'B', "0");
    return policy +
           "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n";
}

std::map<std::string, uint64_t> UdpCounters() {
    return hwtest::ParseUdpCounters(ReadText("/proc/self/net/snmp"));
}

uint64_t KernelDrops(std::map<std::string, uint64_t> before,
                     std::map<std::string, uint64_t> after) {
    return (after["RcvbufErrors"] - before["RcvbufErrors"]) +
           (after["MemErrors"] - before["MemErrors"]);
}

uint64_t EngineDrops(const std::string& logPath) {
    return hwtest::SyslogDropped(ReadText(logPath));
}

namespace {

uint64_t StatusKiB(pid_t pid, const char* pszField) {
    const std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
    const std::string name = std::string("\n") + pszField + ":";
    const size_t at = status.find(name);
    return at == std::string::npos ? 0
                                   : std::strtoull(status.c_str() + at + name.size(), nullptr, 10);
}

}  // namespace

uint64_t ResidentKiB(pid_t pid) {
    return StatusKiB(pid, "VmRSS");
}

uint64_t PeakResidentKiB(pid_t pid) {
    return StatusKiB(pid, "VmHWM");
}

double CpuSeconds(pid_t pid) {
    // Fields 14 and 15 of /proc/<pid>/stat, counted after the name in
    // parentheses (which may hold blanks).
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size()) {
        return 0;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    uint64_t ticks = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index >= 14) {
            ticks += std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void PauseAndResume(pid_t host) {
    ::kill(host, SIGUSR1);
    WaitFor([] { return !UdpPortTaken(514); }, 60);
    ::kill(host, SIGUSR2);
    WaitFor([] { return UdpPortTaken(514); }, 60);
}

BusyThreads::BusyThreads(int count) {
    for (int i = 0; i < count; ++i) {
        m_threads.emplace_back([this] {
            volatile uint64_t spin = 0;
            while (!m_bStop.load(std::memory_order_relaxed)) {
                spin = spin + 1;
            }
        });
    }
}

BusyThreads::~BusyThreads() {
    m_bStop = true;
    for (std::thread& thread : m_threads) {
        thread.join();
    }
}

AlertCounter::AlertCounter(const std::string& fifoPath, double bytesPerSecond)
    : m_strPath(fifoPath), m_dBytesPerSecond(bytesPerSecond) {
    if (::mkfifo(fifoPath.c_str(), 0600) != 0) {
        Fail("cannot make " + fifoPath);
    }
    m_thread = std::thread([this] { Run(); });
}

AlertCounter::~AlertCounter() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void AlertCounter::Run() {
    int fd = ::open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    static const std::string kEnd = "</event>";
    std::vector<char> buffer(1 << 20);
    // The tail of the last read, looked at again with the next one, so a
    // marker split over two reads is still found once.
    std::string carry;
    for (;;) {
        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        std::string_view chunk(buffer.data(), static_cast<size_t>(got));
        const std::string joined =
            carry + std::string(chunk.substr(0, std::min(chunk.size(), kEnd.size())));
        uint64_t found = 0;
        for (size_t at = joined.find(kEnd); at != std::string::npos;
             at = joined.find(kEnd, at + 1)) {
            if (at < carry.size()) {
                ++found;
            }
        }
        for (size_t at = chunk.find(kEnd); at != std::string_view::npos;
             at = chunk.find(kEnd, at + 1)) {
            ++found;
        }
        const uint64_t qwBefore = m_qwCount.fetch_add(found);
        const double dStall = m_dStallSeconds.load();
        if (dStall > 0 && qwBefore + found >= m_qwStallAfter.load()) {
            m_dStallSeconds = 0;
            std::this_thread::sleep_for(std::chrono::duration<double>(dStall));
        }
        carry = std::string(chunk.substr(chunk.size() - std::min(chunk.size(), kEnd.size() - 1)));
        if (m_dBytesPerSecond > 0) {
            std::this_thread::sleep_for(
                std::chrono::duration<double>(static_cast<double>(got) / m_dBytesPerSecond));
        }
    }
    ::close(fd);
}

namespace {

// One sender's share: the numbers first + offset, first + offset + stride,
// ... below first + count, at `rate` a second.
void SendShare(double rate, uint64_t count, uint64_t firstNumber, uint64_t offset, uint64_t stride,
               const DatagramText& text) {
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int sendBuffer = 4 << 20;
    ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(514);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(sock, reinterpret_cast<sockaddr*>(&target), sizeof target);

    constexpr size_t kBatch = 64;
    constexpr size_t kTextSize = 256;
    char texts[kBatch][kTextSize];
    iovec vectors[kBatch];
    mmsghdr messages[kBatch];
    // This share's datagrams: offset, offset + stride, ...
    const uint64_t share = count > offset ? (count - offset + stride - 1) / stride : 0;
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (sent < share) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const uint64_t due = std::min<uint64_t>(share, static_cast<uint64_t>(elapsed * rate) + 1);
        if (due <= sent) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        const size_t batch = static_cast<size_t>(std::min<uint64_t>(kBatch, due - sent));
        for (size_t i = 0; i < batch; ++i) {
            vectors[i] = {texts[i], text(firstNumber + offset + (sent + i) * stride, texts[i], kTextSize)};
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
        // Datagrams a refused send did not take are made and sent again.
        sent += static_cast<uint64_t>(done);
    }
    ::close(sock);
}

}  // namespace

double SendAtRate(uint64_t rate, uint64_t count, uint64_t firstNumber, const DatagramText& text, int senders) {
    const uint64_t stride = static_cast<uint64_t>(std::max(senders, 1));
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (uint64_t offset = 1; offset < stride; ++offset) {
        threads.emplace_back([&, offset] {
            SendShare(static_cast<double>(rate) / static_cast<double>(stride), count, firstNumber, offset, stride,
                      text);
        });
    }
    SendShare(static_cast<double>(rate) / static_cast<double>(stride), count, firstNumber, 0, stride, text);
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return seconds > 0 ? static_cast<double>(count) / seconds : 0;
}

bool RateReached(double reached, double asked) {
    return reached >= 0.95 * asked;
}

std::string UnreachedNote(double reached, double asked) {
    if (RateReached(reached, asked)) {
        return "";
    }
    char note[96];
    std::snprintf(note, sizeof note, " (asked %.0f/s, reached %.0f/s: no verdict)", asked, reached);
    return note;
}

}  // namespace hwload
