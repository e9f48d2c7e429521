// Load driver for pushes under a stream of frames on a live adapter: runs
// the real hwhost with the network test policy (every issue of the
// signature module) watching one end of a veth pair in a network namespace
// of its own, sends frames out of the other end at a steady rate (benign
// traffic from many hosts, and every Kth frame a numbered attack: a SYN+FIN
// segment whose source address and port carry its number), and pushes the same
// policy with `hwhost push` while they come.  The alerts the host writes
// are read back number by number: every attack must be alerted once,
// whatever the pushes did meanwhile.
//
// For every rate it prints the frames and attacks sent, the attacks alerted
// once, never and more than once, what the host said its adapter dropped
// (frames the capture buffer had no room for, frames a closed capture still
// held, frames a reload's hold had no room for, alerts the engine's queue
// had no room for), and for each push how long `hwhost push` took, its exit
// code, how long the adapter's engine took to end its capture thread when
// told to pause (from the host log) and how long the adapter's frames went
// unread (from its engine's pause to its resume), with the attacks never
// alerted that were sent while it ran or in the second after it, by the
// sender's schedule ("[12 never]": what the push may have cost, to be set
// beside its exit code).  With --plugin NAME=PATH
// given more than once it runs each plug-in (an empty PATH is the one
// beside hwhost) in turn at every rate, --rounds times, the order changing
// from round to round, and prints the attacks lost by each side by side
// (bench/ids_push_compare.sh runs this build against a build of main).
//
// It needs root (a private network namespace and raw sockets).
//
// A rate of 0 sends nothing: the pushes meet an idle adapter.  --buffer
// sets the policy's capture buffer (pcd.buffersize), --policy-mb pads the
// pushed policy with that many megabytes of disabled rules, so that each
// push reads for longer (a release build reads 2 MB in some tenths of a
// second).
//
//   ids_push_load [--rates 2000,10000] [--attack-every 20] [--seconds 6]
//                 [--pushes 3] [--buffer SIZE] [--policy-mb N]
//                 [--plugin NAME=PATH ... [--rounds N]] [--hwhost PATH]
//                 [--keep]

#include <arpa/inet.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
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

#include "BenignFrames.h"
#include "HostLoad.h"
#include "integration/NetworkHostSupport.h"
#include "support/TestUtil.h"
#include "qorZamSensorLib/ZamFrames.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using Variant = hwload::PluginVariant;

// The sensor watches the first end; frames are sent out of the second.
constexpr char kWatched[] = "hwp0";
constexpr char kSending[] = "hwp1";
constexpr char kWatchedAdapter[] = "\\Device\\hwp0";

// How attacks are numbered (NumberedAttack): the low bits in the source
// address, the rest in the source port from kFirstAttackPort on.
constexpr uint64_t kAddressBits = 17;
constexpr uint64_t kFirstAttackPort = 1024;
constexpr uint64_t kMaxAttacks = ((uint64_t{65536} - kFirstAttackPort) << kAddressBits) - 1;

struct Options {
    hwload::HostOptions m_host;
    std::vector<Variant> m_Variants;
    std::vector<uint64_t> m_Rates{2000, 10000};
    uint64_t m_qwAttackEvery = 20;
    double m_dSeconds = 6.0;
    int m_nPushes = 3;
    int m_nRounds = 1;
    std::string m_strBuffer;
    // Megabytes of disabled rules added to the pushed policy, which make
    // each push read for longer.
    double m_dPolicyMB = 0;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {{"--rates", true, [&](const std::string& value) { options.m_Rates = hwload::NumberList(value); }},
         hwload::NumberOption("--attack-every", options.m_qwAttackEvery),
         hwload::NumberOption("--seconds", options.m_dSeconds),
         hwload::NumberOption("--pushes", options.m_nPushes),
         hwload::NumberOption("--rounds", options.m_nRounds),
         {"--buffer", true, [&](const std::string& value) { options.m_strBuffer = value; }},
         hwload::NumberOption("--policy-mb", options.m_dPolicyMB),
         hwload::PluginOption(options.m_Variants)},
        options.m_host);
    hwload::DefaultPluginVariant(options.m_Variants);
    options.m_nRounds = std::max(options.m_nRounds, 1);
    options.m_nPushes = std::max(options.m_nPushes, 0);
    if (options.m_qwAttackEvery == 0) {
        hwload::Fail("--attack-every must be positive");
    }
    // Every attack of a run carries a number of its own, or a repeat could
    // hide a loss: a run longer than the numbering holds is refused.
    for (const uint64_t rate : options.m_Rates) {
        const double dAttacks = static_cast<double>(rate) * options.m_dSeconds / static_cast<double>(options.m_qwAttackEvery);
        if (dAttacks > static_cast<double>(kMaxAttacks)) {
            hwload::Fail("a run at " + std::to_string(rate) + " frames a second would send more attacks than the " +
                         std::to_string(kMaxAttacks) + " that can be numbered apart; shorten --seconds or raise "
                         "--attack-every");
        }
    }
    return options;
}

void Shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        hwload::Fail("failed: " + command);
    }
}

// The veth pair, quiet (no IPv6 of its own), the watched end with the
// hardware address the frames are sent to and no IP address, so the
// system's stack answers none of them.
void MakePair() {
    Shell(std::string("ip link add ") + kWatched + " address 02:00:00:00:00:0a type veth peer name " + kSending);
    for (const char* interface : {kWatched, kSending}) {
        Shell(std::string("sysctl -q -w net.ipv6.conf.") + interface + ".disable_ipv6=1");
        Shell(std::string("ip link set ") + interface + " up");
    }
}

// The n-th attack (from 1): a SYN+FIN from 198.18.0.0/15, the number's low
// 17 bits in the source address's last 17 bits and the rest in the source
// port, from kFirstAttackPort on, so that no two attacks of a run carry
// the same number (17 bits alone alias above 131,072 attacks, and a lost
// attack could then hide behind a repeat of another).

std::vector<uint8_t> NumberedAttack(uint64_t n) {
    zamtest::FrameSpec spec;
    spec.m_dwSource = zamtest::Ip(198, static_cast<uint8_t>(18 + ((n >> 16) & 1)), static_cast<uint8_t>(n >> 8),
                                  static_cast<uint8_t>(n));
    spec.m_wSourcePort = static_cast<uint16_t>(kFirstAttackPort + (n >> kAddressBits));
    spec.m_wDestinationPort = 22;
    spec.m_byTcpFlags = 0x03;
    std::vector<uint8_t> bytes = zamtest::BuildFrame(spec);
    bytes.resize(std::max<size_t>(bytes.size(), 60), 0);
    return bytes;
}

// The number an attack's source address and port carry; 0 for any other.
uint64_t NumberOf(std::string_view address, std::string_view port) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    const std::string text(address);
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a != 198 || b < 18 || b > 19) {
        return 0;
    }
    const uint64_t qwPort = std::strtoull(std::string(port).c_str(), nullptr, 10);
    if (qwPort < kFirstAttackPort || qwPort > 65535) {
        return 0;
    }
    return ((qwPort - kFirstAttackPort) << kAddressBits) | (uint64_t{b - 18} << 16) | (c << 8) | d;
}

// The value of the alert document's information pair `name`; empty when
// it has none.
std::string_view ParamOf(std::string_view document, std::string_view name) {
    static constexpr std::string_view kValue = "value='";
    const std::string key = "name='" + std::string(name) + "'";
    const size_t at = document.find(key);
    const size_t value = at != std::string_view::npos ? document.find(kValue, at) : std::string_view::npos;
    if (value == std::string_view::npos) {
        return {};
    }
    const size_t start = value + kValue.size();
    return document.substr(start, document.find('\'', start) - start);
}

// The number of the attack an alert document names in its source address
// and port; 0 for another alert.
uint64_t AttackNumber(std::string_view document) {
    return NumberOf(ParamOf(document, "SourceAddress"), ParamOf(document, "SourcePort"));
}

// Sends `count` frames out of the sending end at `rate` a second: every
// `attackEvery`th is the next numbered attack, the others benign.  Answers
// the rate reached.
double SendFrames(uint64_t rate, uint64_t count, uint64_t attackEvery) {
    const int sock = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        hwload::Fail(std::string("no raw socket: ") + std::strerror(errno));
    }
    int sendBuffer = 4 << 20;
    ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(::if_nametoindex(kSending));
    to.sll_halen = 6;
    const std::vector<std::vector<uint8_t>> benign = hwbench::BenignFrames();
    std::memcpy(to.sll_addr, benign[0].data(), 6);
    const auto start = Clock::now();
    uint64_t sent = 0;
    uint64_t attacks = 0;
    while (sent < count) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const uint64_t due = std::min<uint64_t>(count, static_cast<uint64_t>(elapsed * static_cast<double>(rate)) + 1);
        if (due <= sent) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        for (; sent < due; ++sent) {
            std::vector<uint8_t> attack;
            const std::vector<uint8_t>* frame = &benign[sent % benign.size()];
            if (sent % attackEvery == attackEvery - 1) {
                attack = NumberedAttack(++attacks);
                frame = &attack;
            }
            while (::sendto(sock, frame->data(), frame->size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
                   static_cast<ssize_t>(frame->size())) {
                if (errno != EINTR && errno != ENOBUFS && errno != EAGAIN) {
                    hwload::Fail(std::string("send failed: ") + std::strerror(errno));
                }
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        }
    }
    ::close(sock);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return seconds > 0 ? static_cast<double>(count) / seconds : 0;
}

// Sends one attack from outside the series and waits for its alert: the
// adapter's engine is capturing.
bool CaptureIsUp(const hwload::NumberedAlerts& reader) {
    const int sock = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(::if_nametoindex(kSending));
    to.sll_halen = 6;
    const std::vector<uint8_t> probe = zamtest::BuildFrame(hwtest::SynFin(zamtest::Ip(203, 0, 113, 5)));
    std::memcpy(to.sll_addr, probe.data(), 6);
    bool up = false;
    for (int attempt = 0; attempt < 60 && !up; ++attempt) {
        ::sendto(sock, probe.data(), probe.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        up = hwload::WaitFor([&] { return reader.All() > 0; }, 1.0);
    }
    ::close(sock);
    return up;
}

struct PushResult {
    double m_dSeconds = 0;
    int m_nExit = -1;
    // When `hwhost push` began and ended, in seconds from the first frame.
    double m_dBegan = 0;
    double m_dEnded = 0;
    // Attacks never alerted that were sent while it ran or in the second
    // after it.
    uint64_t m_qwNeverNear = 0;
    // From the host log: how long the adapter's engine took to end its
    // capture thread once told to pause, and how long its frames went
    // unread (its pause to its resume).
    double m_dThreadEnd = -1;
    double m_dAway = -1;
};

struct RunResult {
    uint64_t m_qwRate = 0;
    double m_dReached = 0;
    uint64_t m_qwFrames = 0;
    uint64_t m_qwAttacks = 0;
    uint64_t m_qwOnce = 0;
    uint64_t m_qwNever = 0;
    // Of those, the attacks sent during a push or in the second after it
    // (by the sender's schedule): what a push may have cost.
    uint64_t m_qwNeverNearPush = 0;
    uint64_t m_qwTwice = 0;
    // What the host said it left out: frames its capture buffer had no
    // room for, frames a closed capture still held, frames a reload's hold
    // had no room for, alerts its queue had no room for.
    uint64_t m_qwBufferDrops = 0;
    uint64_t m_qwUnread = 0;
    uint64_t m_qwHoldDrops = 0;
    uint64_t m_qwQueueDrops = 0;
    std::vector<PushResult> m_Pushes;

    bool Reached() const { return m_qwRate == 0 || hwload::RateReached(m_dReached, static_cast<double>(m_qwRate)); }
};

// For each reload in the host log, in order: the time from the adapter
// engine's pause (the thread list's "OnPause", said right before its thread
// is awaited) to the next step the log shows, which comes once that thread
// has ended; and the time from its "OnPauseInit" to its "OnResume".
void ReadPushTimes(const std::string& logPath, std::vector<PushResult>& pushes) {
    std::ifstream log(logPath);
    std::string line;
    size_t n = 0;
    bool inReload = false;
    double pauseInit = -1;
    double pause = -1;
    const std::string adapterStep = std::string(" ") + kWatchedAdapter;
    while (std::getline(log, line) && n < pushes.size()) {
        if (line.find("CHostWarden::OnReloadPolicy() called") != std::string::npos) {
            inReload = true;
            pauseInit = pause = -1;
            continue;
        }
        if (!inReload) {
            continue;
        }
        const bool adapterLine = line.size() >= adapterStep.size() &&
                                 line.compare(line.size() - adapterStep.size(), adapterStep.size(), adapterStep) == 0;
        if (pause >= 0 && pushes[n].m_dThreadEnd < 0 && !(adapterLine && line.find("Thread list: OnPause ") != std::string::npos)) {
            pushes[n].m_dThreadEnd = hwtest::LogSecondsBetween(pause, hwtest::LogLineSeconds(line));
        }
        if (!adapterLine) {
            continue;
        }
        if (line.find("Thread list: OnPauseInit ") != std::string::npos && pauseInit < 0) {
            pauseInit = hwtest::LogLineSeconds(line);
        } else if (line.find("Thread list: OnPause ") != std::string::npos && pause < 0) {
            pause = hwtest::LogLineSeconds(line);
        } else if (line.find("Thread list: OnResume ") != std::string::npos && pauseInit >= 0) {
            pushes[n].m_dAway = hwtest::LogSecondsBetween(pauseInit, hwtest::LogLineSeconds(line));
            ++n;
            inReload = false;
        }
    }
}

// The count that ends the last line holding `marker` and `tail` ("...; 2124
// frames left out"), or the sum over every such line when `bSum`.
uint64_t CountSaid(const std::string& text, const std::string& marker, const std::string& tail, bool bSum) {
    uint64_t total = 0;
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, (end == std::string::npos ? text.size() : end) - at);
        const size_t tailAt = line.find(tail);
        if (tailAt == std::string::npos) {
            continue;
        }
        size_t digits = tailAt;
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(line[digits - 1])) != 0) {
            --digits;
        }
        const uint64_t count = std::strtoull(line.c_str() + digits, nullptr, 10);
        total = bSum ? total + count : count;
    }
    return total;
}

RunResult RunOnce(const Options& options, const Variant& variant, uint64_t rate, const std::string& root) {
    RunResult result;
    result.m_qwRate = rate;
    result.m_qwFrames = static_cast<uint64_t>(static_cast<double>(rate) * options.m_dSeconds);
    result.m_qwAttacks = result.m_qwFrames / options.m_qwAttackEvery;
    fs::remove_all(root);
    fs::create_directories(root + "/logs");
    hwtest::NetworkPolicyOptions policy;
    policy.m_bPacketLog = false;
    if (!options.m_strBuffer.empty()) {
        policy.m_Tuning.push_back({"pcd.buffersize", 'S', options.m_strBuffer});
    }
    hwtest::PrepareNetworkRoot(root, policy);
    const std::string pushFile = root + "/push-me.policy";
    std::string pushed = hwload::ReadText(root + "/Default.policy") + "[\\Advanced\\Rules\\SysLog Rules\\];\r\n";
    for (int n = 0; static_cast<double>(pushed.size()) < options.m_dPolicyMB * 1e6; ++n) {
        pushed += "[\\Advanced\\Rules\\SysLog Rules\\Spare " + std::to_string(n) +
                  "\\];\r\nEnabled\t=B\t0;\r\nRegular Expression\t=S\tnever sent " + std::to_string(n) + ";\r\n";
    }
    std::ofstream(pushFile, std::ios::binary) << pushed;
    auto reader = std::make_unique<hwload::NumberedAlerts>(root + "/alerts.xml", result.m_qwAttacks, AttackNumber);
    std::vector<std::string> argv = {options.m_host.m_strHwhost, "run", "--root", root, "--log",
                                     hwload::LogPath(root)};
    if (!variant.m_strPlugin.empty()) {
        argv.insert(argv.end(), {"--plugin", variant.m_strPlugin});
    }
    const pid_t host = hwload::StartHost(argv, root + "/alerts.xml", root + "/hwhost.err",
                                         {std::string("HW_PACKET_MONITOR=") + kWatched});
    if (!CaptureIsUp(*reader)) {
        hwload::StopHost(host);
        hwload::Fail("the sensor raised no alert for the probe; see " + root);
    }
    const auto start = Clock::now();
    std::thread pusher = hwload::PushThroughout(options.m_nPushes, options.m_dSeconds, start, [&](int) {
        const double dBegan = std::chrono::duration<double>(Clock::now() - start).count();
        const hwload::PushRun push = hwload::RunPush(options.m_host.m_strHwhost, root, pushFile);
        result.m_Pushes.push_back({push.m_dSeconds, push.m_nExit, dBegan, dBegan + push.m_dSeconds});
    });
    result.m_dReached = SendFrames(rate, result.m_qwFrames, options.m_qwAttackEvery);
    pusher.join();
    hwload::WaitUntilSettled([&] { return reader->All(); }, 3.0, 300);
    hwload::StopHost(host);
    reader->Join();
    ReadPushTimes(hwload::LogPath(root), result.m_Pushes);
    const std::string said = hwload::ReadText(root + "/hwhost.err");
    const std::string log = hwload::ReadText(hwload::LogPath(root));
    const std::string bound = std::string("Bound reached: adapter ") + kWatchedAdapter + ": ";
    result.m_qwBufferDrops = CountSaid(said, bound + "capture buffer", " frames left out", false);
    result.m_qwHoldDrops = CountSaid(said, bound, " frames left out while a reload", false);
    result.m_qwQueueDrops = CountSaid(said, bound + "alert queue", " alerts left out", false);
    result.m_qwUnread = CountSaid(log, std::string(kWatchedAdapter) + ": ", " frames that waited in its capture", true);
    const hwload::NumberedAlerts::Tally tally = reader->Tallied();
    result.m_qwOnce = tally.m_qwOnce;
    result.m_qwNever = tally.m_qwNever;
    const std::vector<uint8_t>& counts = reader->Counts();
    for (uint64_t n = 1; n < counts.size() && rate != 0; ++n) {
        const double dSent = static_cast<double>(n * options.m_qwAttackEvery - 1) / static_cast<double>(rate);
        const auto near = std::find_if(result.m_Pushes.begin(), result.m_Pushes.end(), [&](const PushResult& push) {
            return dSent >= push.m_dBegan && dSent <= push.m_dEnded + 1.0;
        });
        if (counts[n] == 0 && near != result.m_Pushes.end()) {
            ++near->m_qwNeverNear;
            ++result.m_qwNeverNearPush;
        }
    }
    result.m_qwTwice = tally.m_qwTwice;
    reader.reset();
    return result;
}

void PrintRun(const Variant& variant, const RunResult& result) {
    std::printf("%-10s %8" PRIu64 " %8.0f %8" PRIu64 " %7" PRIu64 " %7" PRIu64 " %6" PRIu64 " %6" PRIu64
                " %8" PRIu64 " %7" PRIu64 " %6" PRIu64 " %6" PRIu64 " ",
                variant.m_strName.c_str(), result.m_qwRate, result.m_dReached, result.m_qwFrames, result.m_qwAttacks,
                result.m_qwOnce, result.m_qwNever, result.m_qwTwice, result.m_qwBufferDrops, result.m_qwUnread,
                result.m_qwHoldDrops, result.m_qwQueueDrops);
    for (const PushResult& push : result.m_Pushes) {
        std::printf(" %.2f/%.3f/%.3f(%d)", push.m_dSeconds, push.m_dThreadEnd, push.m_dAway, push.m_nExit);
        if (push.m_qwNeverNear != 0) {
            std::printf("[%" PRIu64 " never]", push.m_qwNeverNear);
        }
    }
    if (result.m_qwNever != 0) {
        std::printf("  never: %" PRIu64 " sent during a push or the second after", result.m_qwNeverNearPush);
    }
    std::printf("%s\n", result.Reached() ? "" : hwload::UnreachedNote(result.m_dReached, static_cast<double>(result.m_qwRate)).c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string scratch = hwload::EnterScratchNamespace("ids_push_load");
    MakePair();
    char padding[64] = "";
    if (options.m_dPolicyMB > 0) {
        std::snprintf(padding, sizeof padding, " and %.1f MB of disabled rules", options.m_dPolicyMB);
    }
    std::printf("network test rules on a veth pair, %.1f s of frames a rate (every %" PRIu64
                "th a numbered attack) through %d pushes of the policy%s, capture buffer %s, hwhost %s\n",
                options.m_dSeconds, options.m_qwAttackEvery, options.m_nPushes, padding,
                options.m_strBuffer.empty() ? "2m (the default)" : options.m_strBuffer.c_str(),
                options.m_host.m_strHwhost.c_str());
    hwload::PrintPluginVariants(options.m_Variants);
    std::printf("\n%-10s %8s %8s %8s %7s %7s %6s %6s %8s %7s %6s %6s   %s\n", "sensor", "asked/s", "sent/s", "frames",
                "attacks", "once", "never", "twice+", "buf.drop", "unread", "held-", "queue-",
                "each push: its time/adapter thread ended/adapter paused to resumed(exit)");
    const auto results = hwload::RunRounds<RunResult>(
        options.m_nRounds, options.m_Rates, options.m_Variants, [&](const Variant& variant, uint64_t rate) {
            RunResult result = RunOnce(options, variant, rate, scratch + "/root");
            PrintRun(variant, result);
            return result;
        });
    std::printf("\nattacks never alerted/frames the adapter dropped (buffer full + left unread + hold full), round "
                "by round (\"-\": the sender did not reach the rate)\n");
    hwload::PrintRoundTable("frames/s", options.m_Rates, options.m_Variants, results, 32, [](const RunResult& result) {
        return (result.Reached() ? std::to_string(result.m_qwNever) + "/" +
                                       std::to_string(result.m_qwBufferDrops + result.m_qwUnread + result.m_qwHoldDrops)
                                 : std::string("-")) +
               (result.m_qwTwice != 0 ? "+" + std::to_string(result.m_qwTwice) + "x2" : "");
    });
    std::printf("\nseconds from the adapter engine's pause to its thread's end, and from its pause to its resume "
                "(host log): medians (and longest) of all pushes\n");
    for (size_t v = 0; v < options.m_Variants.size(); ++v) {
        std::vector<double> ended;
        std::vector<double> away;
        std::vector<double> pushes;
        for (const std::vector<RunResult>& rate : results[v]) {
            for (const RunResult& result : rate) {
                for (const PushResult& push : result.m_Pushes) {
                    if (push.m_dThreadEnd >= 0) {
                        ended.push_back(push.m_dThreadEnd);
                    }
                    if (push.m_dAway >= 0) {
                        away.push_back(push.m_dAway);
                    }
                    pushes.push_back(push.m_dSeconds);
                }
            }
        }
        if (pushes.empty()) {
            continue;
        }
        std::printf("  %-10s thread ended %.3f s (%.3f), paused to resumed %.3f s (%.3f), push %.2f s (%.2f), of %zu pushes\n",
                    options.m_Variants[v].m_strName.c_str(), hwload::Median(ended),
                    ended.empty() ? -1 : *std::max_element(ended.begin(), ended.end()), hwload::Median(away),
                    away.empty() ? -1 : *std::max_element(away.begin(), away.end()), hwload::Median(pushes),
                    *std::max_element(pushes.begin(), pushes.end()), pushes.size());
    }
    hwload::FinishRoot(options.m_host, scratch);
    return 0;
}
