// The network engine under hwhost on live interfaces: veth pairs in private
// network namespaces (root).  An attack sent from the peer namespace raises
// its alert, before and after reloads that are refused; attacks sent
// steadily through pushes each raise one alert, a stream of frames through
// pushes that last seconds loses none, a push on an idle adapter does not
// wait for its read, and a push that sets the capture up anew still
// analyses what waited in the old one; a reload asked for
// while the host starts is answered once it has, and sets up the capture
// the start-up left out; an adapter that comes while a push holds the
// engines paused is watched as it comes and loses no attack, and one that
// comes while a push waits for the catch-up is set up then; adapters that
// come and go while the sensor runs gain and lose their engine, once each,
// and leave no thread or descriptor behind, and one that goes while the
// sensor is paused is said off-line then and not opened at the resume.

#include <net/if.h>
#include <signal.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "integration/NetworkHostSupport.h"
#include "support/DamagedPolicy.h"
#include "support/StreamLosses.h"
#include "support/TestUtil.h"

namespace {

// Sends an Ethernet frame `count` times out of `interface` of the
// namespace `holder` is in, as fast as the socket takes them or, given
// `perSecond`, at that rate.
bool SendFrame(pid_t holder, const std::string& interface, const std::vector<uint8_t>& frame, size_t count = 1,
               size_t perSecond = 0) {
    bool bSent = false;
    std::thread sender([&] {
        const int sock = hwtest::JoinNamespaceOf(holder) ? ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0) : -1;
        if (sock < 0) {
            return;
        }
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = static_cast<int>(::if_nametoindex(interface.c_str()));
        to.sll_halen = 6;
        std::memcpy(to.sll_addr, frame.data(), 6);
        bSent = true;
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < count && bSent; ++i) {
            if (perSecond != 0 && i % 100 == 0) {
                std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000 / perSecond));
            }
            bSent = ::sendto(sock, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                    static_cast<ssize_t>(frame.size());
        }
        ::close(sock);
    });
    sender.join();
    return bSent;
}

// The n-th attack of a numbered series: a SYN+FIN from 198.18.0.0/15,
// the number in the source address's last two bytes.
zamtest::FrameSpec NumberedAttack(uint32_t n) {
    return hwtest::SynFin(zamtest::Ip(198, static_cast<uint8_t>(18 + (n >> 16)), static_cast<uint8_t>(n >> 8),
                                      static_cast<uint8_t>(n)));
}

uint32_t NumberOf(const std::string& strSource) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(strSource.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a != 198 || b < 18 || b > 19) {
        return 0;
    }
    return ((b - 18) << 16) | (c << 8) | d;
}

// Sends numbered attacks out of `interface` of the namespace `holder` is
// in, one every `intervalMs`, from 1 on, until Stop.
class AttackStream {
public:
    AttackStream(pid_t holder, const std::string& interface, uint32_t intervalMs)
        : m_thread([this, holder, interface, intervalMs] { Run(holder, interface, intervalMs); }) {}
    ~AttackStream() { Stop(); }
    void Stop() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    uint32_t Sent() const { return m_dwSent; }
    bool Failed() const { return m_bFailed; }

private:
    void Run(pid_t holder, const std::string& interface, uint32_t intervalMs) {
        const int sock = hwtest::JoinNamespaceOf(holder) ? ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0) : -1;
        if (sock < 0) {
            m_bFailed = true;
            return;
        }
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = static_cast<int>(::if_nametoindex(interface.c_str()));
        to.sll_halen = 6;
        auto next = std::chrono::steady_clock::now();
        while (!m_bStop) {
            const std::vector<uint8_t> frame = zamtest::BuildFrame(NumberedAttack(m_dwSent + 1));
            std::memcpy(to.sll_addr, frame.data(), 6);
            if (::sendto(sock, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
                static_cast<ssize_t>(frame.size())) {
                m_bFailed = true;
                break;
            }
            m_dwSent = m_dwSent + 1;
            std::this_thread::sleep_until(next += std::chrono::milliseconds(intervalMs));
        }
        ::close(sock);
    }

    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bFailed{false};
    std::atomic<uint32_t> m_dwSent{0};
    std::thread m_thread;
};

// Sends frames out of `interface` of the namespace `holder` is in, at
// `framesPerSecond` on a schedule, every `attackEvery`th a numbered attack
// (from 1 on) and the others benign traffic from many hosts, until Stop.
class FrameStream {
public:
    FrameStream(pid_t holder, const std::string& interface, uint32_t framesPerSecond, uint32_t attackEvery)
        : m_thread([this, holder, interface, framesPerSecond, attackEvery] {
              Run(holder, interface, framesPerSecond, attackEvery);
          }) {}
    ~FrameStream() { Stop(); }
    void Stop() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    uint32_t Attacks() const { return m_dwAttacks; }
    uint64_t Frames() const { return m_qwFrames; }
    bool Failed() const { return m_bFailed; }
    // After Stop: when attack n was sent, on the clock of the host's log
    // (index 0 unused).
    const std::vector<double>& AttackSentAt() const { return m_attackSentAt; }

private:
    void Run(pid_t holder, const std::string& interface, uint32_t framesPerSecond, uint32_t attackEvery) {
        const int sock = hwtest::JoinNamespaceOf(holder) ? ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0) : -1;
        if (sock < 0) {
            m_bFailed = true;
            return;
        }
        std::vector<std::vector<uint8_t>> benign;
        for (uint32_t i = 0; i < 64; ++i) {
            benign.push_back(zamtest::BuildFrame(
                hwtest::Benign(zamtest::Ip(198, 51, 100, static_cast<uint8_t>(1 + i)), static_cast<uint16_t>(80 + i % 2))));
        }
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = static_cast<int>(::if_nametoindex(interface.c_str()));
        to.sll_halen = 6;
        std::memcpy(to.sll_addr, benign[0].data(), 6);
        const auto start = std::chrono::steady_clock::now();
        const hwtest::LogClock clock;
        uint64_t qwSent = 0;
        while (!m_bStop) {
            const double dElapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const uint64_t qwDue = static_cast<uint64_t>(dElapsed * framesPerSecond) + 1;
            for (; qwSent < qwDue && !m_bStop; ++qwSent) {
                std::vector<uint8_t> attack;
                const std::vector<uint8_t>* pFrame = &benign[qwSent % benign.size()];
                if (qwSent % attackEvery == attackEvery - 1) {
                    attack = zamtest::BuildFrame(NumberedAttack(m_dwAttacks + 1));
                    pFrame = &attack;
                }
                if (::sendto(sock, pFrame->data(), pFrame->size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
                    static_cast<ssize_t>(pFrame->size())) {
                    m_bFailed = true;
                    m_bStop = true;
                    break;
                }
                if (pFrame == &attack) {
                    m_attackSentAt.push_back(clock.Now());
                    m_dwAttacks = m_dwAttacks + 1;
                }
                m_qwFrames = qwSent + 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ::close(sock);
    }

    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bFailed{false};
    std::atomic<uint32_t> m_dwAttacks{0};
    std::atomic<uint64_t> m_qwFrames{0};
    std::vector<double> m_attackSentAt{0.0};
    std::thread m_thread;
};

// For each reload in the host log, the seconds from the adapter engine's
// pause (the thread list telling it to end) to the first line written once
// its thread was awaited: how long every engine's pause waited for it.
std::vector<double> AdapterPauses(const std::string& strLog, const std::string& strAdapter) {
    std::vector<double> pauses;
    std::istringstream lines(strLog);
    std::string strLine;
    double dTold = -1;
    bool bAwaiting = false;
    while (std::getline(lines, strLine)) {
        if (strLine.find("CHostWarden::OnReloadPolicy() called") != std::string::npos) {
            dTold = -1;
            bAwaiting = false;
        } else if (strLine.find("Thread list: OnPauseInit " + strAdapter) != std::string::npos) {
            dTold = hwtest::LogLineSeconds(strLine);
        } else if (dTold >= 0 && strLine.find("Thread list: OnPause " + strAdapter) != std::string::npos) {
            bAwaiting = true;
        } else if (bAwaiting) {
            pauses.push_back(hwtest::LogSecondsBetween(dTold, hwtest::LogLineSeconds(strLine)));
            dTold = -1;
            bAwaiting = false;
        }
    }
    return pauses;
}

// The numbers 1 to `count` of the series that are not exactly one alert,
// and the alerts of numbers above it.
std::vector<std::string> NotAlertedOnce(const std::vector<hwtest::Alert>& alerts, uint32_t count) {
    std::map<uint32_t, int> counts;
    for (const hwtest::Alert& alert : hwtest::AlertsOf(alerts, "TCP_SynFin")) {
        ++counts[NumberOf(alert.Param("SourceAddress"))];
    }
    std::vector<std::string> wrong;
    for (const auto& [n, times] : counts) {
        if (n == 0 || n > count) {
            wrong.push_back("unsent " + std::to_string(n) + " x" + std::to_string(times));
        }
    }
    for (uint32_t n = 1; n <= count; ++n) {
        if (counts[n] != 1) {
            wrong.push_back(std::to_string(n) + " x" + std::to_string(counts[n]));
        }
    }
    return wrong;
}

// Said by a reload held by the tests' hold file once every engine has paused.
constexpr char kReloadHeld[] = "Reload held by HW_RELOAD_HOLD_FILE with every engine paused";

// The source of the attack that shows the engine analysed every frame
// sent before it.
constexpr char kLastAttackSource[] = "203.0.113.99";

// How many alerts each number of the series has (index 0 unused).
std::vector<unsigned> AttackTimes(const std::vector<hwtest::Alert>& alerts) {
    std::vector<unsigned> times(1, 0);
    for (const hwtest::Alert& alert : hwtest::AlertsOf(alerts, "TCP_SynFin")) {
        const uint32_t n = NumberOf(alert.Param("SourceAddress"));
        times.resize(std::max<size_t>(times.size(), n + 1), 0);
        ++times[n];
    }
    return times;
}

// The alerts of the series whose number was never sent (the last
// attack's aside).
std::string UnsentAttacks(const std::vector<hwtest::Alert>& alerts, uint32_t count) {
    std::string wrong;
    for (const hwtest::Alert& alert : hwtest::AlertsOf(alerts, "TCP_SynFin")) {
        const std::string source = alert.Param("SourceAddress");
        const uint32_t n = NumberOf(source);
        if ((n == 0 && source != kLastAttackSource) || n > count) {
            wrong += " " + source;
        }
    }
    return wrong;
}

// The log lines at ERROR level that the network engine wrote.
std::string NetworkEngineErrors(const std::string& strLog) {
    std::istringstream lines(strLog);
    std::string strLine;
    std::string strErrors;
    while (std::getline(lines, strLine)) {
        if (strLine.find(" ERROR ") != std::string::npos && strLine.find("/IDS/") != std::string::npos) {
            strErrors += strLine + "\n";
        }
    }
    return strErrors;
}

// The stream through pushes: frames a second, every how many an attack,
// and a capture buffer that holds about a second of them.
constexpr uint32_t kStreamRate = 2000;
constexpr uint32_t kStreamAttackEvery = 20;
constexpr char kStreamBuffer[] = "1m";

class IdsLiveHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "interfaces are made in network namespaces as root";
        }
        ASSERT_TRUE(m_Namespace.IsReady()) << m_Namespace.Error();
        // Without the packet log, whose file the first frame opens: the
        // host's descriptors change only with its adapters.
        hwtest::NetworkPolicyOptions options;
        options.m_bPacketLog = false;
        hwtest::PrepareNetworkRoot(m_Host, options);
    }
    // Runs `ip` with these arguments inside the namespace `holder` is in.
    static void Ip(pid_t holder, const std::string& arguments) {
        hwtest::Run("nsenter --net=/proc/" + std::to_string(holder) + "/ns/net ip " + arguments);
    }
    // A veth pair in the sensor's namespace, both ends up; the first end has
    // the hardware address the test frames are sent to.
    void Pair(const std::string& first, const std::string& second, const char* pszAddress) {
        Ip(m_Namespace.HolderPid(), "link add " + first + " address " + pszAddress + " type veth peer name " + second);
        Ip(m_Namespace.HolderPid(), "link set " + second + " up");
        Ip(m_Namespace.HolderPid(), "link set " + first + " up");
    }
    bool StartWatching(const std::string& interfaces, std::vector<std::string> environment = {}) {
        environment.push_back("HW_PACKET_MONITOR=" + interfaces);
        return m_Host.Start({}, environment);
    }
    // The victim's end "hwv0" (192.0.2.10) in the sensor's namespace, its
    // peer "hwv1" in `peer`'s; with `bQuiet`, neither end sends frames of
    // its own (IPv6 neighbour discovery).
    void Victim(const hwtest::NetworkNamespace& peer, bool bQuiet = false) {
        Ip(m_Namespace.HolderPid(), std::string("link add hwv0 address ") + kVictimMac +
                                        " type veth peer name hwv1 netns " + std::to_string(peer.HolderPid()));
        if (bQuiet) {
            for (const auto& [holder, interface] : {std::pair(m_Namespace.HolderPid(), "hwv0"),
                                                    std::pair(peer.HolderPid(), "hwv1")}) {
                hwtest::Run("nsenter --net=/proc/" + std::to_string(holder) + "/ns/net sysctl -q -w net.ipv6.conf." +
                            interface + ".disable_ipv6=1");
            }
        }
        Ip(m_Namespace.HolderPid(), "addr add 192.0.2.10/24 dev hwv0");
        Ip(m_Namespace.HolderPid(), "link set hwv0 up");
        Ip(peer.HolderPid(), "link set hwv1 up");
    }
    // Sends a SYN+FIN from `dwSource` through the peer and waits for the
    // alerts to number `count`.
    bool AttackRaises(const hwtest::NetworkNamespace& peer, uint32_t dwSource, size_t count) {
        return SendFrame(peer.HolderPid(), "hwv1", zamtest::BuildFrame(hwtest::SynFin(dwSource))) &&
               hwtest::WaitUntil([&] { return hwtest::ParseAlerts(m_Host.Alerts()).size() >= count; }, 60);
    }
    // The host watching the victim's end through `peer`, pushed a policy
    // (`options`, kept for the test's later pushes) whose module holds the
    // first frame after the push for four seconds; `environment` goes to
    // the host.
    void WatchVictimWithAStallingModule(hwtest::NetworkNamespace& peer, hwtest::NetworkPolicyOptions& options,
                                        const std::vector<std::string>& environment = {}) {
        ASSERT_TRUE(peer.IsReady()) << peer.Error();
        Victim(peer, true);
        ASSERT_TRUE(StartWatching("hwv0", environment)) << m_Host.ErrorsTail();
        options.m_bPacketLog = false;
        options.m_Tuning = {{"zam.standin.stall", 'S', "4"}};
        hwtest::PrepareNetworkRoot(m_Host, options);
        ASSERT_TRUE(m_Host.Reload(hwtest::ReadWholeFile(m_Host.File("Default.policy")))) << m_Host.ErrorsTail();
    }
    // A push that sets the capture up anew (a new buffer size) while 20
    // frames wait in the old one behind the frame the module holds: each
    // is analysed once after the reload, before the new capture's own.
    // `environment` goes to the host.
    void PushSettingTheCaptureUpAnewAnalysesWhatWaited(const std::vector<std::string>& environment) {
        hwtest::NetworkNamespace peer;
        hwtest::NetworkPolicyOptions options;
        ASSERT_NO_FATAL_FAILURE(WatchVictimWithAStallingModule(peer, options, environment));
        // The module holds the first frame after the push; those after it wait.
        constexpr uint32_t kWaiting = 20;
        ASSERT_TRUE(SendFrame(peer.HolderPid(), "hwv1", zamtest::BuildFrame(NumberedAttack(1))));
        for (uint32_t n = 2; n <= kWaiting + 1; ++n) {
            ASSERT_TRUE(SendFrame(peer.HolderPid(), "hwv1", zamtest::BuildFrame(NumberedAttack(n))));
        }
        options.m_Tuning = {{"pcd.buffersize", 'S', "4m"}};
        hwtest::PrepareNetworkRoot(m_Host, options);
        ASSERT_TRUE(m_Host.Reload(hwtest::ReadWholeFile(m_Host.File("Default.policy")))) << m_Host.ErrorsTail();
        ASSERT_TRUE(AttackRaises(peer, zamtest::Ip(203, 0, 113, 5), kWaiting + 2)) << m_Host.ErrorsTail();
        int exitCode = -1;
        ASSERT_TRUE(m_Host.Stop(exitCode));
        EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
        const std::string log = m_Host.Log();
        EXPECT_EQ(2u, hwtest::CountOf(log, "Starting Packet Driver \\Device\\hwv0..."))
            << "set up at the start and anew";
        EXPECT_EQ(std::string::npos, log.find("were not analysed")) << log;
        const std::vector<hwtest::Alert> alerts = hwtest::ParseAlerts(m_Host.Alerts());
        ASSERT_EQ(kWaiting + 2, alerts.size()) << m_Host.Alerts();
        // Each of the series once; the attack after it is of no series (0).
        EXPECT_EQ(std::vector<std::string>{"unsent 0 x1"}, NotAlertedOnce(alerts, kWaiting + 1));
        // The frame the module held, those that waited, then the new capture's.
        EXPECT_EQ(1u, NumberOf(alerts[0].Param("SourceAddress")));
        EXPECT_EQ("203.0.113.5", alerts.back().Param("SourceAddress"));
    }
    // Sends `signal`, which asks for `command` ("pause", "resume"), and waits
    // for the host to log that command's completion.
    bool Command(int signal, const std::string& command) {
        const std::string done = "hwhost: " + command + " completed with status 1";
        const size_t before = hwtest::CountOf(m_Host.Log(), done);
        m_Host.Signal(signal);
        return hwtest::WaitUntil([&] { return hwtest::CountOf(m_Host.Log(), done) > before; }, 120);
    }
    // SIGHUP, then waits for the reload to be refused.
    bool ReloadRefused() {
        const std::string refused = "hwhost: reload completed with status 2";
        const size_t before = hwtest::CountOf(m_Host.Log(), refused);
        m_Host.Signal(SIGHUP);
        return hwtest::WaitUntil([&] { return hwtest::CountOf(m_Host.Log(), refused) > before; }, 120);
    }
    // The root's policy and disabled rules up to `bytes` in all, which this
    // build takes a second or more a megabyte to read.
    std::string PaddedPolicy(size_t bytes) const {
        std::string policy = hwtest::ReadWholeFile(m_Host.File("Default.policy")) +
                             "[\\Advanced\\Rules\\SysLog Rules\\];\r\n";
        for (int n = 0; policy.size() < bytes; ++n) {
            policy += "[\\Advanced\\Rules\\SysLog Rules\\Spare " + std::to_string(n) +
                      "\\];\r\nEnabled\t=B\t0;\r\nRegular Expression\t=S\tnever sent " + std::to_string(n) +
                      ";\r\n";
        }
        return policy;
    }
    // A push held with the adapter's engine paused, from the victim's end
    // watched through a peer of its own: the push reads its policy once the
    // hold ends (Release, or at the end of the test).
    struct HeldPush {
        ~HeldPush() { Release(); }
        void Release() {
            if (!m_strHold.empty()) {
                ::unlink(m_strHold.c_str());
            }
            if (m_Pusher.joinable()) {
                m_Pusher.join();
            }
        }
        hwtest::NetworkNamespace m_Peer;
        std::string m_strHold;
        std::thread m_Pusher;
        int m_nExit = -1;
        std::string m_strOutput;
    };
    // Starts the host on the victim's end with reloads held by a file of
    // root's, and `push` of `policy`; answers once the adapter's engine has
    // paused for it.
    bool BeginHeldPush(HeldPush& push, const std::string& policy) {
        if (!push.m_Peer.IsReady()) {
            return false;
        }
        Victim(push.m_Peer, true);
        push.m_strHold = m_Host.File("reload.hold");
        if (!m_Host.Start({}, {"HW_PACKET_MONITOR=hwv0", "HW_RELOAD_HOLD_FILE=" + push.m_strHold})) {
            return false;
        }
        const std::string paused = kReloadHeld;
        const size_t before = hwtest::CountOf(m_Host.Log(), paused);
        hwtest::WriteWholeFile(push.m_strHold, "");
        push.m_Pusher = std::thread([this, policy, &push] { push.m_nExit = m_Host.Push(policy, push.m_strOutput); });
        return hwtest::WaitUntil([&] { return hwtest::CountOf(m_Host.Log(), paused) > before; }, 60);
    }
    // With the host watching hwv0 and `stream` sending to it: three pushes
    // of `policy`, then `attacksAfter` more attacks; the stream stops,
    // every attack is awaited and the host stopped.  Checks that no attack
    // was alerted twice, and that every attack was one alert, no adapter
    // bound was reached and every push exited 0; or, with `bLossesSaid`,
    // that every attack missing is among the frames the adapter's bounds
    // counted, and those sent while a push kept the rules from them among
    // what that push said (and it exited 4).  Answers the seconds each
    // push took.
    std::vector<double> StreamThroughPushes(pid_t peer, FrameStream& stream, const std::string& policy,
                                            uint32_t attacksAfter, bool bLossesSaid = false) {
        std::vector<double> pushSeconds;
        std::vector<int> pushExits;
        EXPECT_TRUE(hwtest::WaitUntil([&] { return !hwtest::ParseAlerts(m_Host.Alerts()).empty(); }, 60))
            << m_Host.ErrorsTail();
        for (int nPush = 1; nPush <= 3; ++nPush) {
            const auto pushed = std::chrono::steady_clock::now();
            std::string output;
            pushExits.push_back(m_Host.Push(policy, output));
            EXPECT_TRUE(pushExits.back() == 0 || (bLossesSaid && pushExits.back() == 4)) << nPush << ": " << output;
            pushSeconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - pushed).count());
        }
        // What arrives just after the last push is analysed too.
        const uint32_t dwAtLastPush = stream.Attacks();
        EXPECT_TRUE(hwtest::WaitUntil([&] { return stream.Attacks() >= dwAtLastPush + attacksAfter; }, 60));
        stream.Stop();
        EXPECT_FALSE(stream.Failed());
        const uint32_t dwAttacks = stream.Attacks();
        EXPECT_TRUE(AnalysedUpTo(peer, dwAttacks, bLossesSaid)) << m_Host.ErrorsTail();
        int exitCode = -1;
        EXPECT_TRUE(m_Host.Stop(exitCode));
        EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
        const std::vector<hwtest::Alert> alerts = hwtest::ParseAlerts(m_Host.Alerts());
        EXPECT_EQ("", UnsentAttacks(alerts, dwAttacks));
        const std::string adapter = "adapter \\Device\\hwv0";
        const uint64_t qwCounted = bLossesSaid ? hwtest::LeftOutAtTheStop(m_Host.Errors(), adapter) : 0;
        const std::vector<hwtest::ReloadWindow> windows = hwtest::ReloadWindows(
            m_Host.Log(), [&](const std::string& line) { return hwtest::BoundLeftOut(line, adapter); });
        const hwtest::StreamLossCheck check =
            hwtest::CheckStreamLosses(stream.AttackSentAt(), AttackTimes(alerts), qwCounted, windows);
        EXPECT_EQ("", check.m_strWrong) << check.m_strSummary;
        EXPECT_EQ(3u, windows.size()) << m_Host.Log();
        for (size_t i = 0; i < windows.size() && i < pushExits.size(); ++i) {
            EXPECT_TRUE(windows[i].m_qwSaidLost == 0 || pushExits[i] == 4) << "push " << i + 1 << " said "
                                                                            << windows[i].m_qwSaidLost
                                                                            << " frames left out but exited "
                                                                            << pushExits[i];
        }
        if (qwCounted == 0) {
            EXPECT_EQ(std::string::npos, m_Host.Errors().find("Bound reached: adapter")) << m_Host.ErrorsTail();
        }
        EXPECT_EQ(std::string::npos, m_Host.Log().find("that waited in its capture")) << m_Host.ErrorsTail();
        EXPECT_EQ("", NetworkEngineErrors(m_Host.Log()));
        std::printf("%s\n", check.m_strSummary.c_str());
        pushSeconds.resize(3);
        return pushSeconds;
    }
    // Waits until the attacks 1 to `dwAttacks` are alerted; with
    // `bLossesSaid`, some may be lost, so until the alert of a last attack
    // sent after them shows that the engine analysed every frame before it
    // (the capture keeps their order).  It is sent again until it comes
    // through, since the capture buffer may still be full when it is sent.
    bool AnalysedUpTo(pid_t peer, uint32_t dwAttacks, bool bLossesSaid) {
        const uint32_t dwLast = zamtest::Ip(203, 0, 113, 99);
        const std::string last = kLastAttackSource;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::vector<hwtest::Alert> synFins =
                hwtest::AlertsOf(hwtest::ParseAlerts(m_Host.Alerts()), "TCP_SynFin");
            if (synFins.size() >= dwAttacks) {
                return true;
            }
            for (const hwtest::Alert& alert : synFins) {
                if (alert.Param("SourceAddress") == last) {
                    return true;
                }
            }
            if (bLossesSaid) {
                SendFrame(peer, "hwv1", zamtest::BuildFrame(hwtest::SynFin(dwLast)));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return false;
    }
    // Stops `stream`, waits for an alert of every attack it sent, stops the
    // host, and checks that it exited 0, that each attack was one alert and
    // that the network engine logged no error.  Answers the attacks sent.
    uint32_t StopAndCheckEveryAttackOnce(AttackStream& stream) {
        stream.Stop();
        EXPECT_FALSE(stream.Failed());
        const uint32_t dwSent = stream.Sent();
        EXPECT_TRUE(hwtest::WaitUntil(
            [&] { return hwtest::AlertsOf(hwtest::ParseAlerts(m_Host.Alerts()), "TCP_SynFin").size() >= dwSent; }, 90))
            << m_Host.ErrorsTail();
        int exitCode = -1;
        EXPECT_TRUE(m_Host.Stop(exitCode));
        EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
        const std::vector<std::string> wrong = NotAlertedOnce(hwtest::ParseAlerts(m_Host.Alerts()), dwSent);
        EXPECT_TRUE(wrong.empty()) << wrong.size() << " attacks of " << dwSent << " not alerted once, the first: "
                                   << (wrong.empty() ? "" : wrong.front());
        EXPECT_EQ("", NetworkEngineErrors(m_Host.Log()));
        return dwSent;
    }
    size_t Threads() const { return hwtest::ThreadCount(m_Host.Pid()); }
    std::vector<std::string> Descriptors() const { return hwtest::Descriptors(m_Host.Pid()); }
    // Sends one attack in at the peer end `pszPeer` of a pair, waits for
    // its alert, stops the host and checks that the attack was one alert:
    // one engine watched the adapter.
    void OneAttackIsOneAlert(const char* pszPeer) {
        ASSERT_TRUE(SendFrame(m_Namespace.HolderPid(), pszPeer, zamtest::BuildFrame(hwtest::SynFin())));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return !hwtest::ParseAlerts(m_Host.Alerts()).empty(); }, 60))
            << m_Host.ErrorsTail();
        int exitCode = -1;
        ASSERT_TRUE(m_Host.Stop(exitCode));
        EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
        EXPECT_EQ(1u, hwtest::ParseAlerts(m_Host.Alerts()).size()) << m_Host.Alerts();
    }

    // Frames of the test capture go from 02:00:00:00:00:07 to this address.
    static constexpr const char* kVictimMac = "02:00:00:00:00:0a";
    hwtest::NetworkNamespace m_Namespace;
    hwtest::NamespacedHost m_Host{m_Namespace};
};

class IdsLiveHostComingTest : public IdsLiveHostTest, public ::testing::WithParamInterface<bool> {};

TEST_F(IdsLiveHostTest, AnAttackFromThePeerNamespaceRaisesItsAlert) {
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    Victim(peer);
    ASSERT_TRUE(StartWatching("hwv0")) << m_Host.ErrorsTail();

    ASSERT_TRUE(SendFrame(peer.HolderPid(), "hwv1", zamtest::BuildFrame(hwtest::SynFin())));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !hwtest::ParseAlerts(m_Host.Alerts()).empty(); }, 60))
        << m_Host.ErrorsTail();
    const std::vector<hwtest::Alert> alerts = hwtest::ParseAlerts(m_Host.Alerts());
    ASSERT_EQ(1u, alerts.size());
    EXPECT_EQ("TCP_SynFin", alerts[0].m_strName);
    EXPECT_EQ("203.0.113.5", alerts[0].Param("SourceAddress"));
    EXPECT_EQ("22", alerts[0].Param("DestinationPort"));
}

// Frames the adapter drops because the engine had not taken those before
// them (here a capture buffer of 1 KiB and a burst of 3,000 frames) are
// said and counted, as the bound of what the adapter holds for it.
TEST_F(IdsLiveHostTest, FramesTheCaptureBufferHadNoRoomForAreSaidAndCounted) {
    hwtest::NetworkPolicyOptions options;
    options.m_bPacketLog = false;
    options.m_Tuning = {{"pcd.buffersize", 'S', "1k"}};
    hwtest::PrepareNetworkRoot(m_Host, options);
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    Victim(peer);
    ASSERT_TRUE(StartWatching("hwv0")) << m_Host.ErrorsTail();
    ASSERT_TRUE(SendFrame(peer.HolderPid(), "hwv1", zamtest::BuildFrame(hwtest::Benign()), 3000));
    const std::string said = "Bound reached: adapter \\Device\\hwv0: capture buffer of 1k; ";
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Host.Errors().find(said) != std::string::npos; }, 30))
        << m_Host.ErrorsTail();
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
    // Counted for the stop's summary, with the frames left out.
    const std::string errors = m_Host.Errors();
    const size_t at = errors.find("at the stop: " + said);
    ASSERT_NE(std::string::npos, at) << errors;
    std::printf("%s\n", errors.substr(at, errors.find('\n', at) - at).c_str());
}

TEST_F(IdsLiveHostTest, AttacksStillRaiseAlertsAfterARefusedPushAndARefusedCommonPolicy) {
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    Victim(peer);
    ASSERT_TRUE(StartWatching("hwv0")) << m_Host.ErrorsTail();
    ASSERT_TRUE(AttackRaises(peer, zamtest::Ip(203, 0, 113, 5), 1)) << m_Host.ErrorsTail();

    // A pushed policy cut short is refused; the one in force goes on.
    const std::string cut = hwtest::DamagedVariants(hwtest::ReadWholeFile(m_Host.File("Default.policy")))[0].m_strBytes;
    m_Host.WritePolicy(cut, "push.policy");
    ASSERT_TRUE(ReloadRefused()) << m_Host.ErrorsTail();
    ASSERT_TRUE(AttackRaises(peer, zamtest::Ip(203, 0, 113, 6), 2)) << m_Host.ErrorsTail();

    // So does a common policy cut short.
    const std::string common = hwtest::ReadWholeFile(m_Host.File("common.policy"));
    hwtest::WriteWholeFile(m_Host.File("common.policy"), hwtest::DamagedVariants(common)[0].m_strBytes);
    ASSERT_TRUE(ReloadRefused()) << m_Host.ErrorsTail();
    ASSERT_TRUE(AttackRaises(peer, zamtest::Ip(203, 0, 113, 7), 3)) << m_Host.ErrorsTail();

    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
    const std::vector<hwtest::Alert> alerts = hwtest::ParseAlerts(m_Host.Alerts());
    ASSERT_EQ(3u, alerts.size()) << m_Host.Alerts();
    for (size_t i = 0; i < alerts.size(); ++i) {
        EXPECT_EQ("TCP_SynFin", alerts[i].m_strName);
        EXPECT_EQ("203.0.113." + std::to_string(5 + i), alerts[i].Param("SourceAddress"));
    }
    EXPECT_EQ(std::string::npos, m_Host.Log().find("DISABLED")) << m_Host.Log();
    EXPECT_EQ(std::string::npos, m_Host.Log().find("unavailable")) << m_Host.Log();
}

// Attacks sent steadily from the peer namespace, through four pushes: a
// push keeps the adapter's capture open, so the frames that arrive while
// the policy is read wait there and are analysed after it, with the new
// rules; each attack is one alert, none is lost and none is analysed twice.
TEST_F(IdsLiveHostTest, AttacksSentSteadilyThroughPushesAreEachOneAlert) {
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    Victim(peer);
    ASSERT_TRUE(StartWatching("hwv0")) << m_Host.ErrorsTail();
    const std::string policy = hwtest::ReadWholeFile(m_Host.File("Default.policy"));
    AttackStream stream(peer.HolderPid(), "hwv1", 5);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !hwtest::ParseAlerts(m_Host.Alerts()).empty(); }, 60))
        << m_Host.ErrorsTail();
    constexpr int kPushes = 4;
    for (int nPush = 1; nPush <= kPushes; ++nPush) {
        ASSERT_TRUE(m_Host.Reload(policy)) << nPush << "\n" << m_Host.ErrorsTail();
    }
    // What arrives just after the last push is analysed too.
    const uint32_t dwAtLastPush = stream.Sent();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return stream.Sent() >= dwAtLastPush + 50; }, 60));
    const uint32_t dwSent = StopAndCheckEveryAttackOnce(stream);
    std::printf("%u attacks through %d pushes\n", dwSent, kPushes);
}

// Frames sent steadily from the peer namespace, numbered attacks among
// benign traffic, through three pushes of a policy that takes a second or
// more to read (the test policy and 2 MB of disabled rules), more than the
// capture buffer holds of them: the adapter's engine keeps what comes
// while the policy is read and analyses it after, so every attack is one
// alert, the adapter drops no frame, and no push says it dropped anything.
TEST_F(IdsLiveHostTest, AStreamOfFramesThroughLongPushesLosesNoFrame) {
    hwtest::NetworkPolicyOptions options;
    options.m_bPacketLog = false;
    options.m_Tuning = {{"pcd.buffersize", 'S', kStreamBuffer}};
    hwtest::PrepareNetworkRoot(m_Host, options);
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    Victim(peer, true);
    ASSERT_TRUE(StartWatching("hwv0")) << m_Host.ErrorsTail();
    const std::string policy = PaddedPolicy(2000000);
    const auto started = std::chrono::steady_clock::now();
    FrameStream stream(peer.HolderPid(), "hwv1", kStreamRate, kStreamAttackEvery);
    const std::vector<double> pushSeconds = StreamThroughPushes(peer.HolderPid(), stream, policy, 20);
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%" PRIu64 " frames, %u attacks in %.1f s through pushes of %.1f, %.1f and %.1f s\n",
                stream.Frames(), stream.Attacks(), dSeconds, pushSeconds[0], pushSeconds[1], pushSeconds[2]);
}

// A busy adapter through pushes with a small capture buffer (256 KiB, a
// few hundredths of a second of these frames): 30,000 frames a second,
// numbered attacks among them, through three pushes of a policy that
// takes a second or more to read.  The adapter's engine keeps what comes
// while the policy is read and goes on keeping what comes while it
// analyses that, so no attack is alerted twice and, on a machine that
// keeps up, every attack is one alert and no push says it dropped
// anything.  A build that cannot analyse 30,000 frames a second at all
// (a sanitizer build beside other work) is given the rate a run without
// pushes keeps up with on this machine now, and the test says so; the
// control runs a quarter faster than the stream, so that the stream has
// room for the machine's other work beside a push.  A machine starved
// even so (a sanitizer build beside three times its processors in work
// kept up with none of five rates down to 4,860 a second) may still fill
// the capture buffer now and then: what it leaves out must be counted,
// and what it leaves out while a push keeps the rules from the frames must
// be that push's, said by it.
TEST_F(IdsLiveHostTest, ABusyAdapterWithASmallCaptureBufferLosesNoAttackThroughPushes) {
    hwtest::NetworkPolicyOptions options;
    options.m_bPacketLog = false;
    options.m_Tuning = {{"pcd.buffersize", 'S', "256k"}};
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    Victim(peer, true);
    // The control: the same stream without pushes, for about as long as
    // the pushes take.
    uint32_t dwRate = 30000;
    for (int nTry = 0;; ++nTry) {
        hwtest::NamespacedHost control{m_Namespace};
        hwtest::PrepareNetworkRoot(control, options);
        ASSERT_TRUE(control.Start({}, {"HW_PACKET_MONITOR=hwv0"})) << control.ErrorsTail();
        FrameStream stream(peer.HolderPid(), "hwv1", dwRate * 5 / 4, kStreamAttackEvery);
        const auto began = std::chrono::steady_clock::now();
        ASSERT_TRUE(hwtest::WaitUntil(
            [&] { return std::chrono::steady_clock::now() - began > std::chrono::seconds(8); }, 60));
        stream.Stop();
        ASSERT_FALSE(stream.Failed());
        const uint32_t dwAttacks = stream.Attacks();
        hwtest::WaitUntil(
            [&] { return hwtest::AlertsOf(hwtest::ParseAlerts(control.Alerts()), "TCP_SynFin").size() >= dwAttacks; },
            30);
        int exitCode = -1;
        ASSERT_TRUE(control.Stop(exitCode));
        const bool bKeptUp = control.Errors().find("Bound reached: adapter") == std::string::npos &&
                             NotAlertedOnce(hwtest::ParseAlerts(control.Alerts()), dwAttacks).empty();
        if (bKeptUp) {
            break;
        }
        if (nTry == 4) {
            // Starved past every rate tried: the stream runs at the last,
            // and what the machine leaves out must still be counted.
            std::printf("no run without pushes kept up, the last at %u frames a second\n", dwRate * 5 / 4);
            break;
        }
        dwRate = dwRate * 6 / 10;
    }
    if (dwRate != 30000) {
        std::printf("this build keeps up with %u frames a second without pushes: the stream runs at that\n", dwRate);
    }
    hwtest::PrepareNetworkRoot(m_Host, options);
    ASSERT_TRUE(StartWatching("hwv0")) << m_Host.ErrorsTail();
    const std::string policy = PaddedPolicy(2000000);
    FrameStream stream(peer.HolderPid(), "hwv1", dwRate, kStreamAttackEvery);
    const std::vector<double> pushSeconds = StreamThroughPushes(peer.HolderPid(), stream, policy, 100, true);
    std::printf("%" PRIu64 " frames at %u a second, %u attacks, through pushes of %.1f, %.1f and %.1f s\n",
                stream.Frames(), dwRate, stream.Attacks(), pushSeconds[0], pushSeconds[1], pushSeconds[2]);
}

// Frames that come while a push reads its policy, more than the 64 MiB an
// adapter's engine keeps of them (60,000 frames of 1,500 bytes): the push
// says what the bound left out as its warning and exits 4.  The test holds
// the push's policy read until every frame is sent, so the push and the
// frames overlap however fast the sensor reads.
TEST_F(IdsLiveHostTest, FramesAPushHadNoRoomForAreThatPushsWarning) {
    HeldPush push;
    // The adapter's engine has paused: the frames come while the policy is read.
    const bool bPaused = BeginHeldPush(push, PaddedPolicy(200000));
    const hwtest::NetworkNamespace& peer = push.m_Peer;
    const int& exitCode = push.m_nExit;
    const std::string& output = push.m_strOutput;
    zamtest::FrameSpec large = hwtest::Benign();
    large.m_byTcpFlags = 0x10;
    large.m_strPayload.assign(1446, 'x');
    const bool bSent = bPaused && SendFrame(peer.HolderPid(), "hwv1", zamtest::BuildFrame(large), 60000, 25000);
    push.Release();
    ASSERT_TRUE(bPaused) << peer.Error() << m_Host.ErrorsTail();
    ASSERT_TRUE(bSent);
    EXPECT_EQ(4, exitCode) << output;
    const std::string said =
        "Bound reached: adapter \\Device\\hwv0: at most 64 MiB of frames kept while a reload keeps the rules "
        "from them; ";
    // On a machine too busy to run the adapter's engine while the frames
    // come, its capture buffer may overflow before 64 MiB are kept: that
    // bound is then the push's warning.
    size_t at = output.find(said);
    if (at == std::string::npos) {
        at = output.find("Bound reached: adapter \\Device\\hwv0: capture buffer of ");
    }
    ASSERT_NE(std::string::npos, at) << output;
    EXPECT_NE(std::string::npos, output.find(" frames left out", at)) << output;
    std::printf("%s\n", output.substr(at, output.find('\n', at) - at).c_str());
    int stopCode = -1;
    ASSERT_TRUE(m_Host.Stop(stopCode));
    EXPECT_EQ(0, stopCode) << m_Host.ErrorsTail();
}

// Whether the push says the adapter's engine left frames out while the
// push's pause and its catch-up lasted ("<n> frames left out", at once or
// "during the reload", n above 0).  A bound's first report in a reload and
// its "during the reload" line may count the same frames, so they are not
// added up: a count the push says is enough here.
bool PushSaidFramesLeftOut(const std::string& output) {
    std::istringstream lines(output);
    std::string strLine;
    while (std::getline(lines, strLine)) {
        const size_t at = strLine.find("Bound reached: adapter \\Device\\hwv0: ");
        const size_t count = strLine.rfind("; ");
        if (at != std::string::npos && count != std::string::npos &&
            strLine.find(" frames left out", count) != std::string::npos &&
            std::strtoull(strLine.c_str() + count + 2, nullptr, 10) > 0) {
            return true;
        }
    }
    return false;
}

// A push whose catch-up loses frames: while the policy read is held,
// frames fill the adapter's 64 MiB hold to its last few (none turned
// away); from just before the read goes on until the push has reported,
// more come as fast as the socket takes them, through the rest of the
// read and the catch-up, in which the engine works through the full hold.
// What the adapter leaves out then is the push's: the push says it with
// its count and exits 4.
TEST_F(IdsLiveHostTest, FramesAPushsCatchUpHadNoRoomForAreThatPushsWarningToo) {
    HeldPush push;
    const bool bPaused = BeginHeldPush(push, PaddedPolicy(200000));
    const hwtest::NetworkNamespace& peer = push.m_Peer;
    const int& exitCode = push.m_nExit;
    const std::string& output = push.m_strOutput;
    zamtest::FrameSpec large = hwtest::Benign();
    large.m_byTcpFlags = 0x10;
    large.m_strPayload.assign(1446, 'x');
    const std::vector<uint8_t> frame = zamtest::BuildFrame(large);
    // 64 blocks of 1 MiB keep 675 of these frames each: the pause fills
    // all but the last few.
    constexpr size_t kHeld = 64 * 675 - 5;
    const bool bSentHeld = bPaused && SendFrame(peer.HolderPid(), "hwv1", frame, kHeld, 25000);
    std::atomic<bool> bPushed{false};
    std::atomic<bool> bFloodFailed{false};
    std::thread flood([&] {
        const int sock = hwtest::JoinNamespaceOf(peer.HolderPid()) ? ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0) : -1;
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = static_cast<int>(::if_nametoindex("hwv1"));
        to.sll_halen = 6;
        std::memcpy(to.sll_addr, frame.data(), 6);
        while (sock >= 0 && !bPushed) {
            if (::sendto(sock, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
                static_cast<ssize_t>(frame.size())) {
                bFloodFailed = true;
                break;
            }
        }
        bFloodFailed = bFloodFailed || sock < 0;
        if (sock >= 0) {
            ::close(sock);
        }
    });
    push.Release();
    bPushed = true;
    flood.join();
    ASSERT_TRUE(bPaused) << peer.Error() << m_Host.ErrorsTail();
    ASSERT_TRUE(bSentHeld);
    ASSERT_FALSE(bFloodFailed);
    EXPECT_EQ(4, exitCode) << output;
    EXPECT_TRUE(PushSaidFramesLeftOut(output)) << output;
    const size_t at = output.find("Bound reached: adapter \\Device\\hwv0: ");
    if (at != std::string::npos) {
        std::printf("%s\n", output.substr(at, output.find('\n', at) - at).c_str());
    }
    int stopCode = -1;
    ASSERT_TRUE(m_Host.Stop(stopCode));
    EXPECT_EQ(0, stopCode) << m_Host.ErrorsTail();
}

// An adapter that goes while a push keeps its frames from the rules takes
// them with it unanalysed: a loss of that push, which says it with its
// count and exits 4, though the adapter's engine ends on the packet
// library's thread rather than the push's.
TEST_F(IdsLiveHostTest, FramesKeptForAPushWhoseAdapterGoesAreThatPushsWarning) {
    HeldPush push;
    const bool bPaused = BeginHeldPush(push, PaddedPolicy(100000));
    constexpr size_t kKept = 1000;
    const bool bSent = bPaused && SendFrame(push.m_Peer.HolderPid(), "hwv1", zamtest::BuildFrame(hwtest::Benign()), kKept, 25000);
    Ip(m_Namespace.HolderPid(), "link del hwv0");
    const bool bGone = hwtest::WaitUntil(
        [&] { return m_Host.Log().find("\\Device\\hwv0: the adapter went off-line") != std::string::npos; }, 60);
    push.Release();
    ASSERT_TRUE(bPaused) << push.m_Peer.Error() << m_Host.ErrorsTail();
    ASSERT_TRUE(bSent);
    ASSERT_TRUE(bGone) << m_Host.ErrorsTail();
    EXPECT_EQ(4, push.m_nExit) << push.m_strOutput;
    const std::string unread = " frames that waited in its capture were not analysed";
    const std::string& output = push.m_strOutput;
    const size_t at = output.find(unread);
    ASSERT_NE(std::string::npos, at) << output;
    const size_t count = output.rfind(": ", at);
    ASSERT_NE(std::string::npos, count) << output;
    // Frames the kernel had not yet handed to the capture when the link
    // went are the kernel's to drop, never the engine's: on a busy machine
    // some of the last sent may be among them.  What the capture held is
    // counted, and nothing is counted that was not sent.
    const uint64_t qwCounted = std::strtoull(output.c_str() + count + 2, nullptr, 10);
    EXPECT_GT(qwCounted, 0u) << output;
    EXPECT_LE(qwCounted, kKept) << output;
    int stopCode = -1;
    ASSERT_TRUE(m_Host.Stop(stopCode));
    EXPECT_EQ(0, stopCode) << m_Host.ErrorsTail();
}

// Pushes on a root whose adapter sees no frame: the adapter's engine, told
// to pause, ends its capture thread at once rather than when its read of
// a second ends, so no push (and no engine's input) waits for it.
TEST_F(IdsLiveHostTest, APushDoesNotWaitForAnIdleAdaptersRead) {
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    Victim(peer, true);
    ASSERT_TRUE(StartWatching("hwv0")) << m_Host.ErrorsTail();
    const std::string policy = hwtest::ReadWholeFile(m_Host.File("Default.policy"));
    // Pushes meet the read anywhere in its second: with six, a pause that
    // waits for the read shows in at least one.
    constexpr int kPushes = 6;
    for (int nPush = 1; nPush <= kPushes; ++nPush) {
        std::string output;
        ASSERT_EQ(0, m_Host.Push(policy, output)) << nPush << ": " << output;
    }
    const std::vector<double> pauses = AdapterPauses(m_Host.Log(), "\\Device\\hwv0");
    ASSERT_EQ(static_cast<size_t>(kPushes), pauses.size()) << m_Host.Log();
    for (double dPause : pauses) {
        std::printf("the adapter's pause waited %.3f s\n", dPause);
        EXPECT_LT(dPause, 0.5) << "half the adapter's read time-out of a second";
    }
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
}

// A push that changes the capture buffer size sets the adapter's capture
// up anew: the frames that waited in the old one (here those that came
// while the module held one frame for four seconds) were kept by the
// adapter's engine through the reload, and are analysed after it, each
// once, before what the new capture brings.
TEST_F(IdsLiveHostTest, APushThatSetsTheCaptureUpAnewStillAnalysesWhatWaitedInTheOldOne) {
    PushSettingTheCaptureUpAnewAnalysesWhatWaited({});
}

// So it is when the thread that keeps the frames through the reload reads
// late, as on a busy machine: the interrupt that told the capture thread
// to end (between two of its reads, the module holding a frame) ends the
// keeper's first read, which finds nothing with the frames waiting, and
// that read answers only after the reload has asked the keeper to empty
// the old capture.
TEST_F(IdsLiveHostTest, APushThatSetsTheCaptureUpAnewAnalysesWhatWaitedWhenItsKeeperReadsLate) {
    PushSettingTheCaptureUpAnewAnalysesWhatWaited({"HW_PACKET_LATE_WAKE_MS=3000"});
}

// What an adapter's capture still holds when the sensor stops is the stop's
// loss: said on the console and counted in the stop's tally, so that the
// alerts and the count cover every attack sent.  The module holds the
// first frame after the push for four seconds; the stop comes while it
// does, with the frames after it waiting in the capture.
TEST_F(IdsLiveHostTest, FramesTheCaptureStillHoldsAtTheStopAreCountedInTheTally) {
    hwtest::NetworkNamespace peer;
    hwtest::NetworkPolicyOptions options;
    ASSERT_NO_FATAL_FAILURE(WatchVictimWithAStallingModule(peer, options));
    constexpr uint32_t kSent = 21;
    for (uint32_t n = 1; n <= kSent; ++n) {
        ASSERT_TRUE(SendFrame(peer.HolderPid(), "hwv1", zamtest::BuildFrame(NumberedAttack(n))));
    }
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
    const std::string errors = m_Host.Errors();
    const std::vector<hwtest::Alert> alerts = hwtest::ParseAlerts(m_Host.Alerts());
    std::smatch counted;
    const std::regex tally("hwhost: [^\\n]* taken, [^\\n]*; ([0-9]+) network frames left unanalysed in the captures");
    ASSERT_TRUE(std::regex_search(errors, counted, tally)) << alerts.size() << " alerted\n" << m_Host.ErrorsTail();
    const uint64_t qwLeft = std::stoull(counted[1].str());
    EXPECT_EQ(kSent, alerts.size() + qwLeft) << m_Host.ErrorsTail();
    EXPECT_NE(std::string::npos, errors.find("WARNING: \\Device\\hwv0: " + std::to_string(qwLeft) +
                                             " frames that waited in its capture were not analysed"))
        << m_Host.ErrorsTail();
    // None twice, none unsent: the missing ones are those counted.
    for (const std::string& wrong : NotAlertedOnce(alerts, kSent)) {
        EXPECT_NE(std::string::npos, wrong.find(" x0")) << wrong;
    }
}

// SIGHUPs while the host starts: one as soon as its pid file names it, as
// `hwhost push` would send, and one with a pushed policy while the engines
// initialise.  The host answers them once started.  The start-up's policy
// has network monitoring off and the pushed one on: the reload sets the
// capture up, so an attack afterwards raises its alert.
TEST_F(IdsLiveHostTest, ReloadAskedForWhileTheHostStartsIsAnsweredAfterAndSetsUpTheCaptureItTurnsOn) {
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    Victim(peer);
    const std::string strWatching = hwtest::ReadWholeFile(m_Host.File("Default.policy"));
    std::string strIdle = strWatching;
    const std::string strOn = "Nodekeeper\t=B\t1;";
    ASSERT_NE(std::string::npos, strIdle.find(strOn));
    strIdle.replace(strIdle.find(strOn), strOn.size(), "Nodekeeper\t=B\t0;");
    m_Host.WritePolicy(strIdle);

    std::thread reloader([&] {
        auto hostPid = [&] { return std::atoi(hwtest::ReadWholeFile(m_Host.File("hwhost.pid")).c_str()); };
        if (!hwtest::WaitUntil([&] { return hostPid() > 0; }, 60)) {
            return;
        }
        ::kill(hostPid(), SIGHUP);
        // The start-up has read its policy once the engines initialise.
        hwtest::WaitUntil([&] { return m_Host.Log().find("Thread list: Oninit") != std::string::npos; }, 60);
        m_Host.WritePolicy(strWatching, "push.policy");
        ::kill(hostPid(), SIGHUP);
    });
    const bool bStarted = StartWatching("hwv0");
    reloader.join();
    ASSERT_TRUE(bStarted) << m_Host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return m_Host.Log().find("set up at the reload with 1 adapter engine") != std::string::npos; }, 120))
        << m_Host.Log();
    // That line is said before the reload's resume opens the capture, and
    // "every signal answered" may be said of the first SIGHUP, answered by a
    // reload that found no pushed policy yet, before the second is sent:
    // the attack waits for the state itself, the status showing the
    // adapter watched, which its engine is only once its capture is open.
    const std::string status = m_Host.File("hwhost.status");
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return hwtest::ReadWholeFile(status).find("adapters \\\\Device\\\\hwv0") != std::string::npos; },
        120))
        << m_Host.ErrorsTail() << "\n" << hwtest::ReadWholeFile(status);
    // What the engines logged since the start tells where a frame went.
    ASSERT_TRUE(AttackRaises(peer, zamtest::Ip(203, 0, 113, 5), 1))
        << m_Host.ErrorsTail() << "\n" << m_Host.Log().substr(m_Host.Log().size() > 12000 ? m_Host.Log().size() - 12000 : 0);

    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
    EXPECT_EQ("", NetworkEngineErrors(m_Host.Log()));
    const std::vector<hwtest::Alert> alerts = hwtest::ParseAlerts(m_Host.Alerts());
    ASSERT_EQ(1u, alerts.size()) << m_Host.Alerts();
    EXPECT_EQ("TCP_SynFin", alerts[0].m_strName);
}

// An adapter that comes on-line during a push of 3 MB of policy, with the
// push's engines paused: while the test holds the push before it reads its
// policy (`bWhileHeld`), or as soon as the hold ends, while the push reads
// the policy with the policy lock held.  Its engine is made as it comes
// and its frames are kept through the reload like those of any live
// adapter, so 3,000 numbered attacks sent at 100 a second from its coming
// on are each one alert, as without the push, the push exits 0, counts the
// adapter among those watched and does not say that there is none.
TEST_P(IdsLiveHostComingTest, AnAdapterThatComesDuringAPushIsWatchedAsItComesAndLosesNoAttack) {
    const bool bWhileHeld = GetParam();
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    const std::string hold = m_Host.File("reload.hold");
    ASSERT_TRUE(m_Host.Start({}, {"HW_PACKET_MONITOR=hwv0", "HW_RELOAD_HOLD_FILE=" + hold})) << m_Host.ErrorsTail();
    const std::string policy = PaddedPolicy(3000000);
    const std::string paused = kReloadHeld;
    const size_t before = hwtest::CountOf(m_Host.Log(), paused);
    hwtest::WriteWholeFile(hold, "");
    int pushExit = -1;
    std::string output;
    std::thread pusher([&] { pushExit = m_Host.Push(policy, output); });
    const bool bPaused = hwtest::WaitUntil([&] { return hwtest::CountOf(m_Host.Log(), paused) > before; }, 60);
    bool bCame = false;
    std::unique_ptr<AttackStream> stream;
    if (bPaused) {
        if (!bWhileHeld) {
            ::unlink(hold.c_str());
        }
        Victim(peer, true);
        // Its engine is made while the engines are paused.
        bCame = hwtest::WaitUntil([&] {
            return m_Host.Log().find("\\Device\\hwv0: the adapter came on-line while") != std::string::npos;
        }, 60);
        stream = std::make_unique<AttackStream>(peer.HolderPid(), "hwv1", 10);
        if (bWhileHeld) {
            hwtest::WaitUntil([&] { return stream->Sent() >= 200 || stream->Failed(); }, 60);
        }
    }
    ::unlink(hold.c_str());
    pusher.join();
    ASSERT_TRUE(bPaused) << m_Host.ErrorsTail();
    ASSERT_TRUE(bCame) << m_Host.ErrorsTail();
    EXPECT_EQ(0, pushExit) << output;
    EXPECT_EQ(std::string::npos, output.find("no adapter to watch")) << output;
    EXPECT_NE(std::string::npos, output.find("adapters \\Device\\hwv0")) << output;
    constexpr uint32_t kAttacks = 3000;
    ASSERT_TRUE(hwtest::WaitUntil([&] { return stream->Sent() >= kAttacks || stream->Failed(); }, 120));
    const uint32_t dwSent = StopAndCheckEveryAttackOnce(*stream);
    std::printf("%u attacks on an adapter that came during a push\n", dwSent);
}

INSTANTIATE_TEST_SUITE_P(WhileHeldOrWhileThePolicyIsRead, IdsLiveHostComingTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "BeforeThePolicyRead" : "WhileThePolicyIsRead";
                         });

// An adapter that comes while a push waits for the inputs to catch up
// with what they kept is set up as it comes, not once the wait is over:
// the pushed policy has the module hold the first frame after it for four
// seconds, and a frame kept while the test held the push is that frame,
// so the push's catch-up lasts that long.
TEST_F(IdsLiveHostTest, AnAdapterThatComesWhileAPushCatchesUpIsSetUpAsItComes) {
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    Victim(peer, true);
    const std::string hold = m_Host.File("reload.hold");
    ASSERT_TRUE(m_Host.Start({}, {"HW_PACKET_MONITOR=hwv0,hwb0", "HW_RELOAD_HOLD_FILE=" + hold}))
        << m_Host.ErrorsTail();
    hwtest::NetworkPolicyOptions options;
    options.m_bPacketLog = false;
    options.m_Tuning = {{"zam.standin.stall", 'S', "4"}};
    hwtest::PrepareNetworkRoot(m_Host, options);
    const std::string paused = kReloadHeld;
    const std::string resumed = "Thread list: OnResume \\Device\\hwv0";
    const size_t before = hwtest::CountOf(m_Host.Log(), paused);
    const size_t resumedBefore = hwtest::CountOf(m_Host.Log(), resumed);
    hwtest::WriteWholeFile(hold, "");
    int pushExit = -1;
    std::string output;
    const std::string policy = hwtest::ReadWholeFile(m_Host.File("Default.policy"));
    std::thread pusher([&] { pushExit = m_Host.Push(policy, output); });
    const bool bPaused = hwtest::WaitUntil([&] { return hwtest::CountOf(m_Host.Log(), paused) > before; }, 60);
    const bool bSent = bPaused && SendFrame(peer.HolderPid(), "hwv1", zamtest::BuildFrame(hwtest::Benign()), 5);
    ::unlink(hold.c_str());
    const bool bResumed =
        hwtest::WaitUntil([&] { return hwtest::CountOf(m_Host.Log(), resumed) > resumedBefore; }, 120);
    if (bResumed) {
        Pair("hwb0", "hwb1", "02:00:00:00:01:0b");
    }
    const std::string came = "\\Device\\hwb0: the adapter came on-line and its capture was set up";
    const bool bCame = hwtest::WaitUntil([&] { return m_Host.Log().find(came) != std::string::npos; }, 60);
    pusher.join();
    ASSERT_TRUE(bPaused) << m_Host.ErrorsTail();
    ASSERT_TRUE(bSent);
    ASSERT_TRUE(bResumed) << m_Host.ErrorsTail();
    ASSERT_TRUE(bCame) << m_Host.ErrorsTail();
    EXPECT_EQ(0, pushExit) << output;
    const std::string log = m_Host.Log();
    const size_t caughtUp = log.find("The inputs caught up with what arrived during the reload", log.rfind(resumed));
    ASSERT_NE(std::string::npos, caughtUp) << output;
    std::printf("%s\n", log.substr(caughtUp, log.find('\n', caughtUp) - caughtUp).c_str());
    EXPECT_LT(log.find(came), caughtUp) << "the adapter was set up only once the push's catch-up was over";
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
}

TEST_F(IdsLiveHostTest, AdaptersComingAndGoingGainAndLoseOneEngineAndLeaveNothingBehind) {
    Pair("hwa0", "hwa1", "02:00:00:00:01:0a");
    ASSERT_TRUE(StartWatching("hwa0,hwb0")) << m_Host.ErrorsTail();
    const size_t nThreads = Threads();
    const std::vector<std::string> descriptors = Descriptors();

    // The packet library reports every change of the new adapter (added,
    // up, addresses); one engine thread comes for it, said on the console
    // and shown in the status.
    const std::string status = m_Host.File("hwhost.status");
    const auto said = [&](const std::string& line) {
        return hwtest::WaitUntil([&] { return hwtest::CountOf(m_Host.Errors(), line + "\n") == 1; }, 60);
    };
    Pair("hwb0", "hwb1", kVictimMac);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Threads() == nThreads + 1; }, 60)) << Threads();
    EXPECT_TRUE(said("NOTICE: \\Device\\hwb0: the adapter came on-line and its capture was set up: network "
                     "monitoring runs on it now"))
        << m_Host.Errors();
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return hwtest::ReadWholeFile(status).find("adapters \\\\Device\\\\hwa0, \\\\Device\\\\hwb0") !=
               std::string::npos;
    })) << hwtest::ReadWholeFile(status);
    Ip(m_Namespace.HolderPid(), "link del hwb0");
    EXPECT_TRUE(hwtest::WaitUntil([&] { return Threads() == nThreads && Descriptors() == descriptors; }, 60))
        << Threads() << " threads, descriptors " << ::testing::PrintToString(Descriptors()) << " were "
        << ::testing::PrintToString(descriptors);
    EXPECT_TRUE(said("NOTICE: \\Device\\hwb0: the adapter went off-line: network monitoring on it ended"))
        << m_Host.Errors();

    // It comes back while the sensor is paused: its engine starts with the
    // others at the resume, which says it.  Then the adapter listed before
    // it goes, and the engine of the one that stays still captures.
    ASSERT_TRUE(Command(SIGUSR1, "pause")) << m_Host.ErrorsTail();
    Pair("hwb0", "hwb1", kVictimMac);
    // The adapter's engine is made while paused, its thread only at the
    // resume.
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Log().find("\\Device\\hwb0: the adapter came on-line while the engines are paused: its "
                                 "engine starts at the resume") != std::string::npos;
    }, 60)) << m_Host.ErrorsTail();
    ASSERT_TRUE(Command(SIGUSR2, "resume")) << m_Host.ErrorsTail();
    EXPECT_TRUE(said("NOTICE: \\Device\\hwb0: the adapter came on-line and its capture was set up at the resume: "
                     "network monitoring runs on it now"))
        << m_Host.Errors();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Threads() == nThreads + 1; }, 60)) << Threads();
    Ip(m_Namespace.HolderPid(), "link del hwa0");
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Threads() == nThreads; }, 60)) << Threads();
    OneAttackIsOneAlert("hwb1");
}

// An adapter that goes while the sensor is paused, its capture closed, is
// said off-line then and loses its engine: the resume does not try to open
// it (before, the packet library, which flags off-line only an adapter
// whose capture is open, let it leave its list unsaid, the resume's
// summary said the adapter WITHOUT INPUT, "Cannot open", and hwhost.status
// kept it so for the rest of the run).  The adapter that stays still
// captures after the resume.
TEST_F(IdsLiveHostTest, AnAdapterThatGoesWhileTheSensorIsPausedIsSaidOffLineAndNotOpenedAtTheResume) {
    Pair("hwa0", "hwa1", kVictimMac);
    Pair("hwb0", "hwb1", "02:00:00:00:01:0a");
    ASSERT_TRUE(StartWatching("hwa0,hwb0")) << m_Host.ErrorsTail();
    const size_t nThreads = Threads();
    ASSERT_TRUE(Command(SIGUSR1, "pause")) << m_Host.ErrorsTail();
    Ip(m_Namespace.HolderPid(), "link del hwb0");
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Errors().find("NOTICE: \\Device\\hwb0: the adapter went off-line: network monitoring on it "
                                    "ended\n") != std::string::npos;
    }, 30)) << m_Host.ErrorsTail();
    ASSERT_TRUE(Command(SIGUSR2, "resume")) << m_Host.ErrorsTail();
    EXPECT_EQ(std::string::npos, m_Host.Errors().find("WITHOUT INPUT")) << m_Host.ErrorsTail();
    EXPECT_EQ(std::string::npos, hwtest::ReadWholeFile(m_Host.File("hwhost.status")).find("Cannot open"))
        << hwtest::ReadWholeFile(m_Host.File("hwhost.status"));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return Threads() == nThreads - 1; }, 60)) << Threads();
    OneAttackIsOneAlert("hwa1");
}

}  // namespace
