// The network engine under hwhost on live interfaces: veth pairs in private
// network namespaces (root).  An attack sent from the peer namespace raises
// its alert, before and after reloads that are refused; attacks sent
// steadily through pushes each raise one alert, and a push that sets the
// capture up anew says what its old capture still held; a reload asked for
// while the host starts is answered once it has, and sets up the capture
// the start-up left out; adapters that come and go while the sensor runs
// gain and lose their engine, once each, and leave no thread or descriptor
// behind.

#include <net/if.h>
#include <signal.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "integration/NetworkHostSupport.h"
#include "support/DamagedPolicy.h"
#include "support/TestUtil.h"

namespace {

// Sends an Ethernet frame `count` times, as fast as the socket takes them,
// out of `interface` of the namespace `holder` is in.
bool SendFrame(pid_t holder, const std::string& interface, const std::vector<uint8_t>& frame, size_t count = 1) {
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
        for (size_t i = 0; i < count && bSent; ++i) {
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
    bool StartWatching(const std::string& interfaces) {
        return m_Host.Start({}, {"HW_PACKET_MONITOR=" + interfaces});
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
    // SIGHUP, then waits for the reload to be refused.
    bool ReloadRefused() {
        const std::string refused = "hwhost: reload completed with status 2";
        const size_t before = hwtest::CountOf(m_Host.Log(), refused);
        m_Host.Signal(SIGHUP);
        return hwtest::WaitUntil([&] { return hwtest::CountOf(m_Host.Log(), refused) > before; }, 120);
    }
    size_t Threads() const { return hwtest::ThreadCount(m_Host.Pid()); }
    std::vector<std::string> Descriptors() const { return hwtest::Descriptors(m_Host.Pid()); }

    // Frames of the test capture go from 02:00:00:00:00:07 to this address.
    static constexpr const char* kVictimMac = "02:00:00:00:00:0a";
    hwtest::NetworkNamespace m_Namespace;
    hwtest::NamespacedHost m_Host{m_Namespace};
};

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
    stream.Stop();
    ASSERT_FALSE(stream.Failed());
    const uint32_t dwSent = stream.Sent();
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] { return hwtest::AlertsOf(hwtest::ParseAlerts(m_Host.Alerts()), "TCP_SynFin").size() >= dwSent; }, 60))
        << m_Host.ErrorsTail();
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
    const std::vector<std::string> wrong = NotAlertedOnce(hwtest::ParseAlerts(m_Host.Alerts()), dwSent);
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " attacks of " << dwSent << " not alerted once, the first: "
                               << wrong.front();
    EXPECT_EQ("", NetworkEngineErrors(m_Host.Log()));
    std::printf("%u attacks through %d pushes\n", dwSent, kPushes);
}

// A push that changes the capture buffer size sets the adapter's capture
// up anew: the frames its old capture still held (here those that came
// while the module held one frame for four seconds) are not analysed, and
// the log says how many.
TEST_F(IdsLiveHostTest, APushThatSetsTheCaptureUpAnewSaysWhatItsOldCaptureHeld) {
    hwtest::NetworkNamespace peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    Victim(peer, true);
    ASSERT_TRUE(StartWatching("hwv0")) << m_Host.ErrorsTail();
    hwtest::NetworkPolicyOptions options;
    options.m_bPacketLog = false;
    options.m_Tuning = {{"zam.standin.stall", 'S', "4"}};
    hwtest::PrepareNetworkRoot(m_Host, options);
    ASSERT_TRUE(m_Host.Reload(hwtest::ReadWholeFile(m_Host.File("Default.policy")))) << m_Host.ErrorsTail();
    // The module holds the first frame after the push; those after it wait.
    constexpr uint32_t kWaiting = 20;
    ASSERT_TRUE(SendFrame(peer.HolderPid(), "hwv1", zamtest::BuildFrame(NumberedAttack(1))));
    for (uint32_t n = 2; n <= kWaiting + 1; ++n) {
        ASSERT_TRUE(SendFrame(peer.HolderPid(), "hwv1", zamtest::BuildFrame(NumberedAttack(n))));
    }
    options.m_Tuning = {{"pcd.buffersize", 'S', "4m"}};
    hwtest::PrepareNetworkRoot(m_Host, options);
    ASSERT_TRUE(m_Host.Reload(hwtest::ReadWholeFile(m_Host.File("Default.policy")))) << m_Host.ErrorsTail();
    ASSERT_TRUE(AttackRaises(peer, zamtest::Ip(203, 0, 113, 5), 2)) << m_Host.ErrorsTail();
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
    const std::string said = "\\Device\\hwv0: ";
    const std::string log = m_Host.Log();
    const std::string tail = " frames that waited in its capture were not analysed: the reload set the capture up "
                             "anew, for a capture buffer of 4m";
    const size_t at = log.find(tail);
    ASSERT_NE(std::string::npos, at) << log;
    const size_t start = log.rfind(said, at);
    ASSERT_NE(std::string::npos, start) << log;
    EXPECT_GE(std::strtoul(log.c_str() + start + said.size(), nullptr, 10), kWaiting) << log.substr(start, at - start);
    // The frame the module held is the one alert of the series.
    const std::vector<hwtest::Alert> alerts = hwtest::ParseAlerts(m_Host.Alerts());
    ASSERT_EQ(2u, alerts.size()) << m_Host.Alerts();
    EXPECT_EQ(1u, NumberOf(alerts[0].Param("SourceAddress")));
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
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return m_Host.Log().find("hwhost: every signal answered") != std::string::npos; }, 120));
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

TEST_F(IdsLiveHostTest, AdaptersComingAndGoingGainAndLoseOneEngineAndLeaveNothingBehind) {
    Pair("hwa0", "hwa1", "02:00:00:00:01:0a");
    ASSERT_TRUE(StartWatching("hwa0,hwb0")) << m_Host.ErrorsTail();
    const size_t nThreads = Threads();
    const std::vector<std::string> descriptors = Descriptors();

    // The packet library reports every change of the new adapter (added,
    // up, addresses); one engine thread comes for it.
    Pair("hwb0", "hwb1", kVictimMac);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Threads() == nThreads + 1; }, 60)) << Threads();
    Ip(m_Namespace.HolderPid(), "link del hwb0");
    EXPECT_TRUE(hwtest::WaitUntil([&] { return Threads() == nThreads && Descriptors() == descriptors; }, 60))
        << Threads() << " threads, descriptors " << ::testing::PrintToString(Descriptors()) << " were "
        << ::testing::PrintToString(descriptors);

    // It comes back; then the adapter listed before it goes, and the
    // engine of the one that stays still captures.
    Pair("hwb0", "hwb1", kVictimMac);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Threads() == nThreads + 1; }, 60)) << Threads();
    Ip(m_Namespace.HolderPid(), "link del hwa0");
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Threads() == nThreads; }, 60)) << Threads();
    ASSERT_TRUE(SendFrame(m_Namespace.HolderPid(), "hwb1", zamtest::BuildFrame(hwtest::SynFin())));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !hwtest::ParseAlerts(m_Host.Alerts()).empty(); }, 60))
        << m_Host.ErrorsTail();
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
    // One engine on the adapter: one alert for the one attack.
    EXPECT_EQ(1u, hwtest::ParseAlerts(m_Host.Alerts()).size()) << m_Host.Alerts();
}

}  // namespace
