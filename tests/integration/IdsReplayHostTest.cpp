// The network engine under hwhost with the real plug-in, packet library and
// signature module stand-ins, fed by the packet library's replay adapter:
// alerts of known attacks with their types and pairs, silence on benign
// traffic, blocked frames dropped and answered with resets that an outside
// reader takes for valid ones, the packet and evidence logs as outside
// readers see them, the dynamic block's period, pause and resume, the exit
// codes of a module that stalls or faults, and the web-server engine, whose
// rules are the network engine's, taking events from the web group only.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "integration/NetworkHostSupport.h"
#include "support/HeldUpStop.h"
#include "support/ChildProcess.h"
#include "support/TestUtil.h"
#include "support/ThrowawayAccounts.h"

namespace {

using hwtest::Alert;
using hwtest::AlertsOf;
using zamtest::FrameSpec;
using zamtest::Ip;

FrameSpec Echo() {
    FrameSpec spec;
    spec.m_byProtocol = 1;
    spec.m_strPayload.assign(32, 'p');
    return spec;
}

FrameSpec Payload(uint8_t byProtocol, uint32_t dwSource, const std::string& text) {
    FrameSpec spec;
    spec.m_dwSource = dwSource;
    spec.m_byProtocol = byProtocol;
    spec.m_wDestinationPort = byProtocol == 17 ? 53 : 80;
    spec.m_byTcpFlags = 0x18;
    spec.m_strPayload = text;
    return spec;
}

// An ICMP fragment that would end past 65,535 bytes.
FrameSpec Jolt() {
    FrameSpec spec;
    spec.m_dwSource = Ip(203, 0, 113, 7);
    spec.m_byProtocol = 1;
    spec.m_wFragmentWord = 8189;
    spec.m_strPayload.assign(24, 'j');
    return spec;
}

off_t FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

// Size of the capture file of these frames.
off_t CaptureSize(const std::vector<FrameSpec>& frames) {
    return static_cast<off_t>(hwtest::Capture(frames).size());
}

class IdsReplayHostTest : public ::testing::Test {
protected:
    // Starts the host on the capture; false when it did not start.
    bool Start(const std::vector<FrameSpec>& frames, const hwtest::NetworkPolicyOptions& options = {},
               bool bPaced = false) {
        hwtest::PrepareNetworkRoot(m_Host, options);
        return m_Host.Start({}, hwtest::ReplayEnvironment(m_Host, hwtest::Capture(frames), bPaced));
    }
    std::vector<Alert> Alerts() const { return hwtest::ParseAlerts(m_Host.Alerts()); }
    bool AwaitAlerts(size_t count) {
        return hwtest::WaitUntil([&] { return Alerts().size() >= count; }, 60);
    }
    // Waits until the replay's output `kind` ("pass", "drop") holds exactly these frames.
    bool AwaitOutput(const char* pszKind, const std::vector<FrameSpec>& frames) {
        return hwtest::WaitUntil([&] { return FileSize(Output(pszKind)) == CaptureSize(frames); }, 60);
    }
    std::string Output(const char* pszKind) const {
        return m_Host.File(std::string("replay/replay0.") + pszKind + ".pcap");
    }
    // Waits for the host to log that the command succeeded.
    static bool Completed(const hwtest::NamespacedHost& host, const std::string& command) {
        const std::string line = "hwhost: " + command + " completed with status 1";
        return hwtest::WaitUntil([&] { return host.Log().find(line) != std::string::npos; }, 120);
    }
    void StopCleanly() {
        int exitCode = -1;
        ASSERT_TRUE(m_Host.Stop(exitCode));
        EXPECT_EQ(0, exitCode) << m_Host.ErrorsTail();
    }
    // What tcpdump prints of a capture file: times, headers and every byte.
    static std::string Dump(const std::string& file) { return hwtest::Run("tcpdump -r '" + file + "' -tt -nn -xx 2>/dev/null"); }
    void ExpectSameFrames(const std::string& log, const std::vector<rptest::TestFrame>& frames) {
        const std::string expected = m_Host.File("expected.pcap");
        hwtest::WriteWholeFile(expected, rptest::PcapBytes(frames));
        EXPECT_EQ(Dump(expected), Dump(log)) << log;
        const std::string fields = "-e frame.time_epoch -e frame.cap_len -e ip.src -e ip.dst -e frame.protocols";
        EXPECT_EQ(hwtest::TsharkFields(expected, fields), hwtest::TsharkFields(log, fields)) << log;
    }

    hwtest::NetworkNamespace m_Namespace;
    hwtest::NamespacedHost m_Host{m_Namespace};
};

TEST_F(IdsReplayHostTest, EachAttackGivesOneConsolidatedAlertAndBlockedFramesAreDroppedAndReset) {
    const std::vector<FrameSpec> input = {
        Echo(),
        hwtest::Benign(),
        hwtest::LandAttack(),
        hwtest::SynFin(),
        hwtest::SynFin(),
        hwtest::SynFin(),
        Payload(6, Ip(203, 0, 113, 9), "GET /scripts/cmd.exe?/c+dir"),
        Payload(17, Ip(203, 0, 113, 11), "run cmd.exe now"),
        Jolt(),
        hwtest::Telnet(),
    };
    hwtest::NetworkPolicyOptions options;
    options.m_bConsolidation = true;
    hwtest::PrepareNetworkRoot(m_Host, options);
    // Traffic going on a while later ages every consolidated event out,
    // as it would live.
    const std::vector<rptest::TestFrame> frames = hwtest::Frames(input);
    std::vector<rptest::TestFrame> played = frames;
    played.push_back(hwtest::Frames({hwtest::Benign()}, frames.back().m_dwSeconds + 10).front());
    ASSERT_TRUE(m_Host.Start({}, hwtest::ReplayEnvironment(m_Host, rptest::PcapBytes(played))))
        << m_Host.ErrorsTail();
    ASSERT_TRUE(AwaitAlerts(6)) << m_Host.Alerts();
    StopCleanly();

    const std::vector<Alert> alerts = Alerts();
    ASSERT_EQ(6u, alerts.size()) << m_Host.Alerts();
    const std::vector<Alert> land = AlertsOf(alerts, "Land_Attack");
    ASSERT_EQ(1u, land.size());
    EXPECT_EQ(101, land[0].m_nType);
    EXPECT_EQ("49", land[0].Param("VulnStatus"));
    EXPECT_EQ("192.0.2.10", land[0].Param("SourceAddress"));
    EXPECT_EQ("139", land[0].Param("DestinationPort"));
    EXPECT_EQ("1001", land[0].Param("algorithm-id"));
    const std::vector<Alert> synFin = AlertsOf(alerts, "TCP_SynFin");
    ASSERT_EQ(1u, synFin.size());
    EXPECT_EQ("3", synFin[0].Param("repeat-count"));
    EXPECT_EQ("203.0.113.5", synFin[0].Param("intruder-ip-addr"));
    EXPECT_EQ("<none>", synFin[0].Param("VulnStatus"));
    const std::vector<Alert> payload = AlertsOf(alerts, "Payload_Cmd_Exe");
    ASSERT_EQ(2u, payload.size());
    EXPECT_EQ(203, payload[0].m_nType + payload[1].m_nType) << "one TCP (101), one UDP (102)";
    EXPECT_EQ("cmd.exe", payload[0].Param("pattern"));
    const std::vector<Alert> jolt = AlertsOf(alerts, "IP_PingOfDeath_Jolt");
    ASSERT_EQ(1u, jolt.size());
    EXPECT_EQ(103, jolt[0].m_nType);
    EXPECT_EQ("65512", jolt[0].Param("fragment-offset"));
    const std::vector<Alert> telnet = AlertsOf(alerts, "TEL");
    ASSERT_EQ(1u, telnet.size()) << m_Host.Alerts();
    EXPECT_EQ(101, telnet[0].m_nType);
    EXPECT_EQ("Bastion TCP Inbound", telnet[0].Param("Detail"));
    EXPECT_EQ("10", telnet[0].Param("VulnStatus"));
    EXPECT_EQ("23", telnet[0].Param("DestinationPort"));

    // The land attack (dynamic block) and the telnet attempt (Bastion) are
    // dropped; the rest passes.
    const auto pick = [&](std::initializer_list<size_t> indices) {
        std::vector<rptest::TestFrame> chosen;
        for (size_t i : indices) {
            chosen.push_back(frames[i]);
        }
        return chosen;
    };
    std::vector<rptest::TestFrame> passed = pick({0, 1, 3, 4, 5, 6, 7, 8});
    passed.push_back(played.back());
    ExpectSameFrames(Output("pass"), passed);
    ExpectSameFrames(Output("drop"), pick({2, 9}));
    // Each blocked TCP frame is answered with a reset towards the local
    // stack, which an outside reader takes for a valid TCP reset.
    EXPECT_EQ((std::vector<std::string>{"1,1,1,192.0.2.10,192.0.2.10,139,139",
                                        "1,1,1,198.51.100.7,192.0.2.10,40001,23"}),
              hwtest::TsharkFields(Output("inject"),
                                   "-e tcp.flags.reset -e ip.checksum.status -e tcp.checksum.status -e ip.src "
                                   "-e ip.dst -e tcp.srcport -e tcp.dstport",
                                   "-o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE"));

    // The packet log holds every frame read, the evidence log every frame
    // that matched a signature, with their bytes and times.
    ExpectSameFrames(m_Host.File("Logs/pkt_replay0_000.tcp"), played);
    ExpectSameFrames(m_Host.File("Logs/evd_replay0_000.tcp"), pick({2, 3, 4, 5, 6, 7, 8}));
}

// Adapters without a hardware address keep their logs apart by name: with
// rings of small files, two replay adapters leave every file whole, and
// each adapter's files hold its own frames, every one of them.
TEST_F(IdsReplayHostTest, TwoReplayAdaptersEachKeepWholeLogsOfTheirOwnFrames) {
    hwtest::NetworkPolicyOptions options;
    for (const char* pszLog : {"packetLog", "evidence"}) {
        options.m_Tuning.push_back({std::string(pszLog) + ".maxKbytes", 'L', "2"});
        options.m_Tuning.push_back({std::string(pszLog) + ".maxfiles", 'L', "10"});
    }
    hwtest::PrepareNetworkRoot(m_Host, options);
    // SYN+FIN segments, each from an intruder of its own, all evidence:
    // each log of each adapter takes several files.
    std::vector<FrameSpec> inputs[2];
    std::vector<std::string> sources[2];
    for (uint8_t i = 1; i <= 60; ++i) {
        for (size_t adapter = 0; adapter < 2; ++adapter) {
            const uint32_t dwSource = adapter == 0 ? Ip(203, 0, 113, i) : Ip(198, 51, 100, i);
            inputs[adapter].push_back(hwtest::SynFin(dwSource));
            // Frames of lengths of their own, so that records written over
            // one another would not line up.
            inputs[adapter].back().m_strPayload.assign(adapter * 37 + i % 3, 'x');
            sources[adapter].push_back((adapter == 0 ? "203.0.113." : "198.51.100.") + std::to_string(i));
        }
    }
    hwtest::WriteWholeFile(m_Host.File("input1.pcap"), hwtest::Capture(inputs[1]));
    std::vector<std::string> environment = hwtest::ReplayEnvironment(m_Host, hwtest::Capture(inputs[0]));
    environment[0] += ";" + m_Host.File("input1.pcap");
    environment[1] += ",\\Device\\replay1";
    ASSERT_TRUE(m_Host.Start({}, environment)) << m_Host.ErrorsTail();
    ASSERT_TRUE(AwaitOutput("pass", inputs[0]));
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return FileSize(m_Host.File("replay/replay1.pass.pcap")) == CaptureSize(inputs[1]); }, 60));
    StopCleanly();

    // Every capture file the logs wrote is whole.
    size_t nLogFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_Host.File("Logs"))) {
        if (entry.path().extension() == ".tcp") {
            ++nLogFiles;
            EXPECT_NO_THROW(hwtest::Run("capinfos -c '" + entry.path().string() + "' >/dev/null 2>&1"))
                << entry.path();
        }
    }
    EXPECT_GE(nLogFiles, 8u);
    for (size_t adapter = 0; adapter < 2; ++adapter) {
        std::sort(sources[adapter].begin(), sources[adapter].end());
        for (const char* pszLog : {"pkt", "evd"}) {
            std::vector<std::string> logged;
            size_t nFiles = 0;
            for (; nFiles < 10; ++nFiles) {
                char szName[64];
                std::snprintf(szName, sizeof szName, "Logs/%s_replay%zu_%03zu.tcp", pszLog, adapter, nFiles);
                const std::string file = m_Host.File(szName);
                if (FileSize(file) < 0) {
                    break;
                }
                for (const std::string& source : hwtest::TsharkFields(file, "-e ip.src")) {
                    logged.push_back(source);
                }
            }
            EXPECT_GE(nFiles, 2u) << pszLog << adapter;
            std::sort(logged.begin(), logged.end());
            EXPECT_EQ(sources[adapter], logged) << pszLog << adapter;
        }
    }
}

TEST_F(IdsReplayHostTest, BenignTrafficRaisesNothingAndPassesWhole) {
    const std::vector<FrameSpec> input = {Echo(), hwtest::Benign(), Payload(6, Ip(198, 51, 100, 8), "GET / HTTP/1.0"),
                                          Payload(17, Ip(198, 51, 100, 9), "query"), hwtest::Benign(Ip(203, 0, 113, 1), 443)};
    ASSERT_TRUE(Start(input)) << m_Host.ErrorsTail();
    ASSERT_TRUE(AwaitOutput("pass", input));
    StopCleanly();
    EXPECT_TRUE(Alerts().empty()) << m_Host.Alerts();
    EXPECT_EQ(CaptureSize({}), FileSize(Output("drop")));
    EXPECT_EQ(CaptureSize({}), FileSize(Output("inject")));
}

TEST_F(IdsReplayHostTest, AnotherAccountsLinksAtTheCrashAndPacketLogsAreNotWrittenThrough) {
    // A log folder others may write into, as one made under umask 000 was,
    // where "nobody" put links to a file of root's.
    hwtest::ScratchDirectory elsewhere;
    const std::string target = elsewhere.File("target");
    hwtest::WriteWholeFile(target, "precious");
    const std::string logs = m_Host.File("Logs");
    ASSERT_EQ(0, ::chmod(m_Host.Root().c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(logs.c_str(), 0777));
    ASSERT_EQ(0, ::chmod(logs.c_str(), 0777));
    ASSERT_TRUE(hwtest::ThrowawayAccounts::RunAs(
        "nobody", {"/bin/sh", "-c",
                   "ln -s '" + target + "' '" + logs + "/ZamLog.txt' && ln -s '" + target + "' '" +
                       logs + "/pkt_000.tcp'"}));
    const std::vector<FrameSpec> input = {Echo(), hwtest::Benign()};
    ASSERT_TRUE(Start(input)) << m_Host.ErrorsTail();
    ASSERT_TRUE(AwaitOutput("pass", input));
    StopCleanly();
    const std::string log = m_Host.Log();
    EXPECT_NE(std::string::npos, log.find("The module crash log is not written: " + logs +
                                          "/ZamLog.txt is a symbolic link another account owns"))
        << log;
    EXPECT_FALSE(std::filesystem::exists(logs + "/ZamLog.txt.bak"));
    // The packet log passes over a name that is taken and writes the next.
    EXPECT_TRUE(std::filesystem::is_symlink(logs + "/pkt_000.tcp"));
    EXPECT_EQ("precious", hwtest::ReadWholeFile(target));
}

TEST_F(IdsReplayHostTest, DynamicBlockDropsTheIntruderForItsPeriodOnly) {
    // Paced: the intruder's next frame comes a second after the attack, the
    // last one eight seconds after it, past the four-second block.
    std::vector<rptest::TestFrame> frames = hwtest::Frames(
        {hwtest::LandAttack(), hwtest::Benign(Ip(192, 0, 2, 10), 80), hwtest::Benign(Ip(192, 0, 2, 10), 81)});
    frames[2].m_dwSeconds += 6;
    hwtest::NetworkPolicyOptions options;
    options.m_nDynamicBlockPeriod = 4;
    hwtest::PrepareNetworkRoot(m_Host, options);
    ASSERT_TRUE(m_Host.Start({}, hwtest::ReplayEnvironment(m_Host, rptest::PcapBytes(frames), true)))
        << m_Host.ErrorsTail();
    ASSERT_TRUE(AwaitOutput("pass", {hwtest::Benign(Ip(192, 0, 2, 10), 81)}));
    StopCleanly();
    ExpectSameFrames(Output("drop"), {frames[0], frames[1]});
    const std::vector<Alert> alerts = Alerts();
    ASSERT_EQ(1u, alerts.size()) << m_Host.Alerts();
    EXPECT_EQ("49", alerts[0].Param("VulnStatus"));
}

TEST_F(IdsReplayHostTest, ThroughPushesAndAPauseTheReplayPlaysOnceAtItsPaceAndEveryAttackStillAlertsAndIsBlocked) {
    // Three bursts in the capture, paced: the second two seconds after the
    // first, the third an hour after the second.  A push keeps the replay
    // open, with its place and its pace: the second burst comes at its time
    // whether or not a push came between, and a push while the replay waits
    // out the hour leaves it waiting.  A pause and resume sets the adapter
    // up again, which counts the pace afresh: the third burst comes at once.
    const std::vector<FrameSpec> first = {hwtest::LandAttack(), hwtest::Telnet(), Payload(6, Ip(203, 0, 113, 9), "GET /evil.sh")};
    const std::vector<FrameSpec> second = {hwtest::SynFin(), hwtest::Telnet(), Payload(6, Ip(203, 0, 113, 10), "GET /evil.sh"),
                                           hwtest::Benign()};
    const std::vector<FrameSpec> third = first;
    std::vector<rptest::TestFrame> frames;
    uint32_t dwSeconds = 1767225600u;
    for (const std::vector<FrameSpec>* burst : {&first, &second, &third}) {
        for (const rptest::TestFrame& frame : hwtest::Frames(*burst, dwSeconds, 200)) {
            frames.push_back(frame);
        }
        dwSeconds += burst == &first ? 2 : 3600;
    }
    // The module's tuning names the payload it looks for.
    hwtest::NetworkPolicyOptions options;
    options.m_nDynamicBlockPeriod = 1;
    options.m_Tuning = {{"zam.payload.pattern", 'S', "evil.sh"}};
    hwtest::PrepareNetworkRoot(m_Host, options);
    ASSERT_TRUE(m_Host.Start({}, hwtest::ReplayEnvironment(m_Host, rptest::PcapBytes(frames), true)))
        << m_Host.ErrorsTail();
    ASSERT_TRUE(AwaitAlerts(3)) << m_Host.Alerts();
    const time_t tFirst = std::time(nullptr);

    const std::string pushed = m_Host.File("pushed.policy");
    hwtest::WriteWholeFile(pushed, hwtest::ReadWholeFile(m_Host.File("Default.policy")));
    const std::string push = std::string(HW_BINARY_DIR) + "/bin/hwhost push --root " + m_Host.Root() + " --wait 60 " + pushed;
    ASSERT_NO_THROW(hwtest::Run(push));
    ASSERT_TRUE(AwaitAlerts(6)) << m_Host.Alerts() << m_Host.Log();
    // The third burst is an hour away, and stays so through a push.
    ASSERT_NO_THROW(hwtest::Run(push));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(6u, Alerts().size()) << m_Host.Alerts();

    m_Host.Signal(SIGUSR1);
    ASSERT_TRUE(Completed(m_Host, "pause"));
    // The first land attack's block runs out while the sensor is paused.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return std::time(nullptr) > tFirst + 2; }, 10));
    m_Host.Signal(SIGUSR2);
    ASSERT_TRUE(Completed(m_Host, "resume"));
    ASSERT_TRUE(AwaitAlerts(9)) << m_Host.Alerts() << m_Host.Log();
    // Every frame has come through once: what was passed and what was
    // dropped add up to the capture (each file has a header of its own).
    const off_t nInput = static_cast<off_t>(rptest::PcapBytes(frames).size());
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] { return FileSize(Output("pass")) + FileSize(Output("drop")) == nInput + CaptureSize({}); }, 60))
        << FileSize(Output("pass")) << " + " << FileSize(Output("drop")) << " bytes for " << nInput;
    StopCleanly();

    const std::vector<Alert> alerts = Alerts();
    EXPECT_EQ(9u, alerts.size()) << m_Host.Alerts();
    const struct {
        const char* m_pszRule;
        size_t m_nCount;
    } expected[] = {{"Land_Attack", 2}, {"TEL", 3}, {"Payload_Cmd_Exe", 3}, {"TCP_SynFin", 1}};
    for (const auto& rule : expected) {
        const std::vector<Alert> chosen = AlertsOf(alerts, rule.m_pszRule);
        ASSERT_EQ(rule.m_nCount, chosen.size()) << rule.m_pszRule;
        for (const Alert& alert : chosen) {
            EXPECT_EQ(chosen[0].Param("VulnStatus"), alert.Param("VulnStatus")) << rule.m_pszRule;
        }
    }
    EXPECT_EQ("49", AlertsOf(alerts, "Land_Attack")[1].Param("VulnStatus"));
    ExpectSameFrames(Output("drop"), {frames[0], frames[1], frames[4], frames[7], frames[8]});
    ExpectSameFrames(Output("pass"), {frames[2], frames[3], frames[5], frames[6], frames[9]});
}

TEST_F(IdsReplayHostTest, CaptureTheReplayCannotReadIsRefusedInWordsAndLeavesTheEngineWithoutInput) {
    // pcapng, what tshark and dumpcap write unless told otherwise, and the
    // Linux cooked frames of a capture on every interface.
    const std::string capture = m_Host.File("attacks.pcap");
    hwtest::WriteWholeFile(capture, hwtest::Capture({hwtest::SynFin()}));
    // Played at its pace, a capture whose frames come hours apart still
    // has input at every summary, however often the sensor is set up again.
    const std::string lasting = m_Host.File("lasting.pcap");
    hwtest::WriteWholeFile(lasting, hwtest::Capture({hwtest::SynFin(), hwtest::Benign(), hwtest::Benign()}, 1767225600u,
                                                    3600 * 1000));
    const std::string pcapng = m_Host.File("attacks.pcapng");
    const std::string cooked = m_Host.File("any.pcap");
    ASSERT_NO_THROW(hwtest::Run("editcap -F pcapng " + capture + " " + pcapng));
    ASSERT_NO_THROW(hwtest::Run("editcap -F pcap -T linux-sll " + capture + " " + cooked));
    // A missing file beside a good one: the engine watches one adapter and
    // is blind on the other.
    const std::string missing = m_Host.File("missing.pcap");
    // An output folder that does not exist is named.
    const std::string noFolder = m_Host.File("no-such-folder");
    const struct {
        std::string m_strReplay;
        std::string m_strRefusal;
        std::string m_strSummary;
        std::string m_strOutput;
    } cases[] = {
        {lasting + ";" + missing, "Cannot open \\Device\\replay1: the capture file " + missing + " does not exist (no such file)",
         "IDS Engine: 7 rules; adapters \\Device\\replay0; WITHOUT INPUT: ", ""},
        {pcapng,
         "Cannot open \\Device\\replay0: the capture file " + pcapng +
             " is in the pcapng format (what tshark and dumpcap write unless told otherwise), which the replay does "
             "not read: convert it to pcap with: editcap -F pcap " + pcapng + " " + capture,
         "IDS Engine: 7 rules; WITHOUT INPUT: ", ""},
        {cooked,
         "Cannot open \\Device\\replay0: the capture file " + cooked +
             " holds Linux cooked frames (link type 113, what tcpdump -i any writes), not Ethernet frames: capture "
             "on one interface (tcpdump -i eth0 -w FILE), or convert it with: editcap -C 2 -T ether " + cooked + " " +
             m_Host.File("any-ethernet.pcap") +
             " (the frames keep their type and contents; their Ethernet addresses are made up)",
         "IDS Engine: 7 rules; WITHOUT INPUT: ", ""},
        {capture,
         "Cannot open \\Device\\replay0: the replay's output folder " + noFolder +
             " (HW_PACKET_REPLAY_OUT) does not exist (No such file or directory): make it, or name another",
         "IDS Engine: 7 rules; WITHOUT INPUT: ", noFolder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_strReplay);
        hwtest::NamespacedHost host(m_Namespace);
        hwtest::PrepareNetworkRoot(host, {});
        std::vector<std::string> environment = {"HW_PACKET_REPLAY=" + c.m_strReplay, "HW_PACKET_MONITOR=",
                                                "HW_PACKET_REPLAY_PACE=1"};
        if (!c.m_strOutput.empty()) {
            environment.push_back("HW_PACKET_REPLAY_OUT=" + c.m_strOutput);
        }
        ASSERT_TRUE(host.Start({}, environment)) << host.ErrorsTail();
        EXPECT_NE(std::string::npos, host.Errors().find("  " + c.m_strSummary + c.m_strRefusal + "\n"))
            << host.Errors();
        EXPECT_NE(std::string::npos, host.Log().find("Reason=" + c.m_strRefusal)) << host.Log();
        // Set up again by a pause and resume, or by a reload, it is still
        // without input, and the console says so.
        const char* pszCommand = &c == &cases[0] ? "resume" : &c == &cases[1] ? "reload" : nullptr;
        if (pszCommand == nullptr) {
            continue;
        }
        if (&c == &cases[0]) {
            host.Signal(SIGUSR1);
            ASSERT_TRUE(Completed(host, "pause"));
            host.Signal(SIGUSR2);
            ASSERT_TRUE(Completed(host, "resume"));
        } else {
            ASSERT_TRUE(host.Reload(hwtest::ReadWholeFile(host.File("Default.policy"))));
        }
        EXPECT_NE(std::string::npos, host.Errors().find(std::string("WARNING: after the ") + pszCommand + ": " +
                                                        c.m_strSummary + c.m_strRefusal + "\n"))
            << host.Errors();
    }
}

// A packet library that is not beside the plug-in when the sensor starts
// (installed after it) leaves the network engine without input.  A SIGHUP
// that reads no policy tries it again, and says again what is missing;
// once it is there, the next such SIGHUP sets capture up with the policy
// in force: the console says so, hwhost.status shows the adapter, and each
// attack of the replay is alerted once.
TEST_F(IdsReplayHostTest, PacketLibraryInstalledAfterTheStartIsLoadedAtASighupThatReadsNoPolicy) {
    // The plug-in in a folder of its own, with every program and library
    // it finds beside itself but the packet library.
    hwtest::ScratchDirectory plugin;
    const std::string bin = std::string(HW_BINARY_DIR) + "/bin";
    for (const auto& entry : std::filesystem::directory_iterator(bin)) {
        const std::string name = entry.path().filename().string();
        if (name != "libduskdll.so" && name != "hwhost") {
            std::filesystem::create_symlink(entry.path(), plugin.File(name));
        }
    }
    hwtest::PrepareNetworkRoot(m_Host, {});
    // Paced, with a last frame an hour on: the adapter has input whenever
    // it is asked.
    std::vector<rptest::TestFrame> frames =
        hwtest::Frames({hwtest::SynFin(Ip(203, 0, 113, 1)), hwtest::SynFin(Ip(203, 0, 113, 2)),
                        hwtest::SynFin(Ip(203, 0, 113, 3)), hwtest::Benign()},
                       1767225600u, 10);
    frames.back().m_dwSeconds += 3600;
    ASSERT_TRUE(m_Host.Start({"--plugin", plugin.File("libhostwarden.so")},
                             hwtest::ReplayEnvironment(m_Host, rptest::PcapBytes(frames), true)))
        << m_Host.ErrorsTail();
    const std::string missing =
        "IDS Engine: 7 rules; WITHOUT INPUT: the packet library DUSKDLL.DLL did not load: " +
        plugin.File("libduskdll.so") +
        ": cannot open shared object file: No such file or directory";
    EXPECT_NE(std::string::npos, m_Host.Errors().find("  " + missing + "\n")) << m_Host.Errors();
    const auto sighup = [&] {
        const std::string done = "hwhost: reload completed with status 1";
        const size_t before = hwtest::CountOf(m_Host.Log(), done);
        m_Host.Signal(SIGHUP);
        return hwtest::WaitUntil([&] { return hwtest::CountOf(m_Host.Log(), done) > before; }, 120);
    };
    ASSERT_TRUE(sighup());
    EXPECT_NE(std::string::npos,
              m_Host.Errors().find("WARNING: after the reload: " + missing + "\n"))
        << m_Host.Errors();
    EXPECT_TRUE(Alerts().empty()) << m_Host.Alerts();

    std::filesystem::create_symlink(bin + "/libduskdll.so", plugin.File("libduskdll.so"));
    ASSERT_TRUE(sighup());
    EXPECT_NE(std::string::npos,
              m_Host.Errors().find(
                  "NOTICE: Network Monitoring Component of Host Warden set up at the reload with 1 "
                  "adapter engine(s): network monitoring runs now\n"))
        << m_Host.Errors();
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return hwtest::ReadWholeFile(m_Host.File("hwhost.status"))
                   .find("IDS Engine: 7 rules; adapters \\\\Device\\\\replay0") !=
               std::string::npos;
    })) << hwtest::ReadWholeFile(m_Host.File("hwhost.status"));
    ASSERT_TRUE(AwaitAlerts(3)) << m_Host.ErrorsTail();
    StopCleanly();
    const std::vector<Alert> synFin = AlertsOf(Alerts(), "TCP_SynFin");
    ASSERT_EQ(3u, synFin.size()) << m_Host.Alerts();
    for (size_t i = 0; i < synFin.size(); ++i) {
        EXPECT_EQ("203.0.113." + std::to_string(i + 1), synFin[i].Param("intruder-ip-addr"));
    }
}

// An adapter whose capture cannot be opened at the start (its capture file
// not written yet) leaves the engine blind on it while it watches the
// other.  A SIGHUP that reads no policy opens it once the file is there,
// and the other adapter keeps its capture and its place through it: each
// attack on either is alerted once, those that came during the SIGHUP too.
TEST_F(IdsReplayHostTest, AdapterWhoseCaptureCouldNotBeOpenedIsOpenedAtASighupThatReadsNoPolicy) {
    hwtest::PrepareNetworkRoot(m_Host, {});
    // Paced: eight attacks 400 ms apart, then a frame an hour on.
    const auto capture = [](uint8_t byFirst) {
        std::vector<FrameSpec> specs;
        for (uint8_t i = 0; i < 8; ++i) {
            specs.push_back(hwtest::SynFin(Ip(203, 0, 113, static_cast<uint8_t>(byFirst + i))));
        }
        specs.push_back(hwtest::Benign());
        std::vector<rptest::TestFrame> frames = hwtest::Frames(specs, 1767225600u, 400);
        frames.back().m_dwSeconds += 3600;
        return rptest::PcapBytes(frames);
    };
    const std::string later = m_Host.File("later.pcap");
    std::vector<std::string> environment = hwtest::ReplayEnvironment(m_Host, capture(1), true);
    environment[0] += ";" + later;
    environment[1] += ",\\Device\\replay1";
    ASSERT_TRUE(m_Host.Start({}, environment)) << m_Host.ErrorsTail();
    EXPECT_NE(std::string::npos,
              m_Host.Errors().find(
                  "  IDS Engine: 7 rules; adapters \\Device\\replay0; WITHOUT INPUT: Cannot open "
                  "\\Device\\replay1: the capture file " +
                  later + " does not exist (no such file)\n"))
        << m_Host.Errors();
    hwtest::WriteWholeFile(later, capture(101));
    const std::string done = "hwhost: reload completed with status 1";
    m_Host.Signal(SIGHUP);
    ASSERT_TRUE(
        hwtest::WaitUntil([&] { return m_Host.Log().find(done) != std::string::npos; }, 120));
    EXPECT_NE(std::string::npos,
              m_Host.Errors().find("NOTICE: \\Device\\replay1: its capture was set up at the "
                                   "reload: network monitoring runs on it now\n"))
        << m_Host.Errors();
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return hwtest::ReadWholeFile(m_Host.File("hwhost.status"))
                   .find(
                       "IDS Engine: 7 rules; adapters \\\\Device\\\\replay0, "
                       "\\\\Device\\\\replay1\\n") != std::string::npos;
    })) << hwtest::ReadWholeFile(m_Host.File("hwhost.status"));
    ASSERT_TRUE(AwaitAlerts(16)) << m_Host.ErrorsTail();
    StopCleanly();
    const std::vector<Alert> synFin = AlertsOf(Alerts(), "TCP_SynFin");
    std::vector<std::string> sources;
    for (const Alert& alert : synFin) {
        sources.push_back(alert.Param("intruder-ip-addr"));
    }
    std::sort(sources.begin(), sources.end());
    std::vector<std::string> expected;
    for (int i : {1, 2, 3, 4, 5, 6, 7, 8, 101, 102, 103, 104, 105, 106, 107, 108}) {
        expected.push_back("203.0.113." + std::to_string(i));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, sources);
}

// Documents in what a reader took of the alert output, counted as they pass.
class AlertDocumentCounter {
public:
    void Take(const char* pData, size_t nBytes) {
        static const std::string kEnd = "</event>";
        m_strCarry.append(pData, nBytes);
        for (size_t at = m_strCarry.find(kEnd); at != std::string::npos; at = m_strCarry.find(kEnd, at + 1)) {
            ++m_nCount;
        }
        const size_t nKeep = std::min(m_strCarry.size(), kEnd.size() - 1);
        m_strCarry.erase(0, m_strCarry.size() - nKeep);
    }
    size_t Count() const { return m_nCount; }

private:
    std::string m_strCarry;
    size_t m_nCount = 0;
};

// A capture file waits for the sensor, so the sensor loses none of its
// alerts however long their way out is held up: here the reader of the
// alerts takes nothing for seconds once the host's queue has filled,
// three times as long as a live adapter waits for room in the network
// engine's queue before it leaves an alert out.
TEST_F(IdsReplayHostTest, EveryAlertOfAReplayIsWrittenThoughTheirReaderStallsForSeconds) {
    constexpr size_t kAttacks = 6000;  // more than the host's queue and the engine's hold
    std::vector<FrameSpec> input;
    for (size_t i = 0; i < kAttacks; ++i) {
        input.push_back(hwtest::SynFin(Ip(203, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i))));
    }
    hwtest::NetworkPolicyOptions options;
    options.m_bPacketLog = false;
    hwtest::PrepareNetworkRoot(m_Host, options);
    // The alerts go to standard output, a pipe the test reads when it likes.
    const std::string pipe = m_Host.File("hwhost.out");
    ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));
    const int fd = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // raw open: the test is the reader
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(m_Host.Start({"--alerts", ""}, hwtest::ReplayEnvironment(m_Host, hwtest::Capture(input, 1767225600u, 1))))
        << m_Host.ErrorsTail();
    // Held until the host's queue is full (the network engine then waits
    // on it), then three seconds more.
    const auto held = std::chrono::steady_clock::now();
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_Host.Log().find("the alert queue is full") != std::string::npos; }, 60));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double dHeld = std::chrono::duration<double>(std::chrono::steady_clock::now() - held).count();
    AlertDocumentCounter counter;
    char buffer[65536];
    hwtest::WaitUntil(
        [&] {
            for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
                counter.Take(buffer, static_cast<size_t>(got));
            }
            return counter.Count() >= kAttacks;
        },
        120);
    StopCleanly();
    for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        counter.Take(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    std::printf("%zu alerts of %zu attacks written, their reader held for %.1f s\n", counter.Count(), kAttacks, dHeld);
    EXPECT_EQ(kAttacks, counter.Count()) << m_Host.ErrorsTail();
    EXPECT_EQ(std::string::npos, m_Host.Log().find("Bound reached: adapter")) << m_Host.Log();
}

// A FIFO named as a capture, that another account writes into: the sensor
// starts, alerts on its other capture and stops at its usual pace, the
// FIFO is refused in words, and its writer is neither read from nor cut
// off.
TEST_F(IdsReplayHostTest, FifoAsTheCaptureIsRefusedAtOnceAndItsWriterIsNeverCutOff) {
    hwtest::PrepareNetworkRoot(m_Host, {});
    ASSERT_EQ(0, ::chmod(m_Host.Root().c_str(), 0755));
    const std::string feed = m_Host.File("feed");
    ASSERT_EQ(0, ::mkdir(feed.c_str(), 0755));
    ASSERT_EQ(0, ::chown(feed.c_str(), 65534, 65534));
    const std::string fifo = feed + "/live.pcap";
    // More than a pipe holds, so a reader that stopped early would cut it off.
    const std::string source = m_Host.File("source.bin");
    hwtest::WriteWholeFile(source, std::string(200000, 'w'));
    ASSERT_EQ(0, ::chmod(source.c_str(), 0644));
    hwtest::ChildProcess writer;
    ASSERT_TRUE(writer.Start({"runuser", "-u", "nobody", "--", "sh", "-c",
                              "mkfifo '" + fifo + "' && exec cat '" + source + "' > '" + fifo + "'"}));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return std::filesystem::exists(fifo); }, 30));

    // Paced, the capture still has input at the start-up summary: its last
    // frame comes an hour after the attacks.
    std::vector<rptest::TestFrame> frames =
        hwtest::Frames({hwtest::SynFin(Ip(203, 0, 113, 1)), hwtest::SynFin(Ip(203, 0, 113, 2)), hwtest::Benign()}, 1767225600u, 10);
    frames.back().m_dwSeconds += 3600;
    std::vector<std::string> environment = hwtest::ReplayEnvironment(m_Host, rptest::PcapBytes(frames), true);
    environment[0] += ";" + fifo;
    environment[1] += ",\\Device\\replay1";
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_Host.Start({}, environment)) << m_Host.ErrorsTail();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_NE(std::string::npos,
              m_Host.Errors().find("  IDS Engine: 7 rules; adapters \\Device\\replay0; WITHOUT INPUT: Cannot open "
                                   "\\Device\\replay1: the capture file " + fifo +
                                   " is a FIFO another account owns (nobody, uid 65534); it is not read: the replay "
                                   "reads regular files only, so write the capture into one and name that\n"))
        << m_Host.Errors();
    ASSERT_TRUE(AwaitAlerts(2)) << m_Host.Alerts();
    // The FIFO's writer, still waiting for a reader, holds up no engine's
    // stop.
    const auto stopping = std::chrono::steady_clock::now();
    StopCleanly();
    EXPECT_EQ("", hwtest::HeldUpStopLines(m_Host.Errors()));
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(hwtest::kStopBackstopSeconds));

    // The writer still waits for its reader; read, it wrote all it had.
    EXPECT_TRUE(writer.IsRunning());
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);  // raw open: the test is the FIFO's reader
    ASSERT_GE(fd, 0);
    size_t nRead = 0;
    char buffer[8192];
    for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        nRead += static_cast<size_t>(got);
    }
    ::close(fd);
    int exitCode = -1;
    ASSERT_TRUE(writer.Wait(30, exitCode));
    EXPECT_EQ(0, exitCode) << "the writer was cut off";
    EXPECT_EQ(200000u, nRead);
}

// Captures damaged as other tools see them: every frame before the damage
// is analysed, the console and the log name the file and the record where
// it starts, and a record longer than any frame, whose length holds, is
// skipped so that the frames after it are analysed too.
TEST_F(IdsReplayHostTest, DamagedCaptureIsToldInWordsAndEveryFrameThatCanBeReadAlerts) {
    std::vector<FrameSpec> before;
    std::vector<FrameSpec> after;
    for (uint8_t i = 1; i <= 5; ++i) {
        before.push_back(hwtest::SynFin(Ip(203, 0, 113, i)));
        after.push_back(hwtest::SynFin(Ip(198, 51, 100, i)));
    }
    const std::string head = hwtest::Capture(before);
    const std::string at = "record 6 (at byte " + std::to_string(head.size()) + ")";
    const std::string cut = hwtest::Capture({hwtest::SynFin(Ip(192, 0, 2, 99))}).substr(24);
    const uint32_t dwBig = 300054;
    std::string big;
    for (uint32_t dwWord : {1767225700u, 0u, dwBig, dwBig}) {
        big.append(reinterpret_cast<const char*>(&dwWord), 4);
    }
    big.append(dwBig, 'x');
    std::vector<FrameSpec> all = before;
    all.insert(all.end(), after.begin(), after.end());
    const struct {
        const char* m_pszCase;
        std::string m_strCapture;
        std::string m_strOtherTool;
        std::string m_strWords;
        std::vector<FrameSpec> m_Analysed;
    } cases[] = {
        {"cut", head + cut.substr(0, 16 + 20), "cut short in the middle of a packet",
         at + " is cut short: it holds " + std::to_string(cut.size() - 16) +
             " bytes and the file ends after 20 of them; the replay ends there, after record 5",
         before},
        {"oversized", head + big + hwtest::Capture(after, 1767225800u).substr(24), "bigger than maximum of 262144",
         at + " holds 300054 bytes, more than any frame (262144 at most); the replay skips it and goes on with record 7",
         all},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_pszCase);
        hwtest::NamespacedHost host(m_Namespace);
        hwtest::PrepareNetworkRoot(host, {});
        const std::vector<std::string> environment = hwtest::ReplayEnvironment(host, c.m_strCapture);
        const std::string input = host.File("input.pcap");
        EXPECT_NE(std::string::npos, hwtest::Run("capinfos -c '" + input + "' 2>&1; true").find(c.m_strOtherTool));
        ASSERT_TRUE(host.Start({}, environment)) << host.ErrorsTail();
        const std::string told = "\\Device\\replay0: the capture file " + input + " is damaged: " + c.m_strWords;
        EXPECT_TRUE(hwtest::WaitUntil([&] { return host.Log().find(told) != std::string::npos; }, 60)) << host.Log();
        // The console copy follows the log line.
        EXPECT_TRUE(hwtest::WaitUntil([&] { return host.Errors().find("WARNING: " + told + "\n") != std::string::npos; }))
            << host.Errors();
        const size_t nExpected = c.m_Analysed.size();
        EXPECT_TRUE(hwtest::WaitUntil([&] { return hwtest::ParseAlerts(host.Alerts()).size() >= nExpected; }, 60))
            << host.Alerts();
        int exitCode = -1;
        ASSERT_TRUE(host.Stop(exitCode));
        EXPECT_EQ(0, exitCode);
        // One alert for each SYN+FIN segment that could be read, and each
        // of them passed on: the damage is not.
        std::vector<std::string> intruders;
        for (const Alert& alert : hwtest::ParseAlerts(host.Alerts())) {
            EXPECT_EQ("TCP_SynFin", alert.m_strName);
            intruders.push_back(alert.Param("intruder-ip-addr"));
        }
        std::vector<std::string> expected;
        for (const FrameSpec& frame : c.m_Analysed) {
            char szAddress[16];
            std::snprintf(szAddress, sizeof szAddress, "%u.%u.%u.%u", frame.m_dwSource >> 24,
                          (frame.m_dwSource >> 16) & 0xFF, (frame.m_dwSource >> 8) & 0xFF, frame.m_dwSource & 0xFF);
            expected.push_back(szAddress);
        }
        std::sort(intruders.begin(), intruders.end());
        std::vector<std::string> passed = hwtest::TsharkFields(host.File("replay/replay0.pass.pcap"), "-e ip.src");
        std::sort(passed.begin(), passed.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, intruders);
        EXPECT_EQ(expected, passed);
    }
}

// A replay played to its end, or to damage that ends it, is watched no
// more: the summaries of later reloads and resumes (and so hwhost push and
// hwhost.status) say that it was played to its end, and where the damage
// ended it, and with no other adapter left with input the engine is
// without input; beside an adapter that still has input it is no fault.
TEST_F(IdsReplayHostTest, ReplayPlayedToItsEndIsNoLongerWatchedInLaterSummaries) {
    std::vector<FrameSpec> attacks;
    for (uint8_t i = 1; i <= 3; ++i) {
        attacks.push_back(hwtest::SynFin(Ip(203, 0, 113, i)));
    }
    const std::string whole = hwtest::Capture(attacks);
    const std::string cutAt = std::to_string(whole.size());
    const std::string cut = whole + hwtest::Capture({hwtest::Benign()}).substr(24, 30);
    // Another replay that goes on for hours, paced, as the second adapter.
    const std::string lasting = hwtest::Capture({hwtest::Benign(), hwtest::Benign(), hwtest::Benign()}, 1767225600u,
                                                3600 * 1000);
    const struct {
        const char* m_pszCase;
        std::string m_strCapture;
        bool m_bSecondAdapter;
        std::string m_strSummary;  // with @ for the capture file
        int m_nPushExit;
    } cases[] = {
        {"to its end", whole, false,
         "IDS Engine: 7 rules; WITHOUT INPUT: \\Device\\replay0: the capture file @ was played to its end (3 records)", 4},
        {"to the damage", cut, false,
         "IDS Engine: 7 rules; WITHOUT INPUT: \\Device\\replay0: the capture file @ was played to its end at the "
         "damage: record 4 (at byte " + cutAt + ") is cut short: it holds 54 bytes and the file ends after 14 of "
         "them; the replay ended there, after record 3",
         4},
        {"beside another adapter", whole, true,
         "IDS Engine: 7 rules; adapters \\Device\\replay1; \\Device\\replay0: the capture file @ was played to "
         "its end (3 records)",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_pszCase);
        hwtest::NamespacedHost host(m_Namespace);
        hwtest::PrepareNetworkRoot(host, {});
        std::vector<std::string> environment = hwtest::ReplayEnvironment(host, c.m_strCapture, c.m_bSecondAdapter);
        if (c.m_bSecondAdapter) {
            // Paced, the first capture still plays at once: its frames are
            // ten milliseconds apart.
            hwtest::WriteWholeFile(host.File("input.pcap"), hwtest::Capture(attacks, 1767225600u, 10));
            hwtest::WriteWholeFile(host.File("lasting.pcap"), lasting);
            environment[0] += ";" + host.File("lasting.pcap");
            environment[1] += ",\\Device\\replay1";
        }
        const std::string input = host.File("input.pcap");
        std::string summary = c.m_strSummary;
        summary.replace(summary.find('@'), 1, input);
        ASSERT_TRUE(host.Start({}, environment)) << host.ErrorsTail();
        // Every frame analysed and passed on, and the replay read to its end.
        ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::ParseAlerts(host.Alerts()).size() == 3; }, 60))
            << host.Alerts();
        ASSERT_TRUE(hwtest::WaitUntil(
            [&] { return FileSize(host.File("replay/replay0.pass.pcap")) == CaptureSize(attacks); }, 60));
        if (c.m_strCapture == cut) {
            ASSERT_TRUE(hwtest::WaitUntil(
                [&] { return host.Log().find("the replay ends there, after record 3") != std::string::npos; }, 60));
        }

        std::string pushed;
        EXPECT_EQ(c.m_nPushExit, host.Push(hwtest::ReadWholeFile(host.File("Default.policy")), pushed)) << pushed;
        EXPECT_NE(std::string::npos, pushed.find(summary + "\n")) << pushed;
        EXPECT_EQ(c.m_nPushExit == 0, pushed.find("WITHOUT INPUT") == std::string::npos) << pushed;
        // The status file doubles every backslash.
        std::string kept;
        for (char ch : summary) {
            kept += ch == '\\' ? std::string(2, ch) : std::string(1, ch);
        }
        EXPECT_NE(std::string::npos, hwtest::ReadWholeFile(host.File("hwhost.status")).find(kept)) << pushed;
        // A pause and resume sets the adapter up again: still played out.
        host.Signal(SIGUSR1);
        ASSERT_TRUE(Completed(host, "pause"));
        host.Signal(SIGUSR2);
        ASSERT_TRUE(Completed(host, "resume"));
        EXPECT_EQ(c.m_nPushExit != 0,
                  host.Errors().find("WARNING: after the resume: " + summary + "\n") != std::string::npos)
            << host.Errors();
        int exitCode = -1;
        ASSERT_TRUE(host.Stop(exitCode));
        EXPECT_EQ(0, exitCode);
    }
}

// The network engine's summary names what failed: a signature module that
// is not there, that the system cannot load or that is no signature module
// leaves the engine without input for that reason, in the loader's words,
// while the packet library loaded and says so.
TEST_F(IdsReplayHostTest, SignatureModuleThatDoesNotLoadIsNamedAsTheEnginesReasonWithTheLoadersWords) {
    const std::string bin = std::string(HW_BINARY_DIR) + "/bin";
    const struct {
        const char* m_pszModule;
        std::string m_strWhy;  // @ for the root
    } cases[] = {
        {"missing-zam.dll", bin + "/libmissing-zam.so: cannot open shared object file: No such file or directory"},
        {"broken-zam.dll", "@/Duskwall/libbroken-zam.so: invalid ELF header"},
        {"notzam.dll", "it exports no zamSymbol, so it is no attack signatures module"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.m_pszModule);
        hwtest::NamespacedHost host(m_Namespace);
        hwtest::NetworkPolicyOptions options;
        options.m_strZamModule = c.m_pszModule;
        hwtest::PrepareNetworkRoot(host, options);
        hwtest::WriteWholeFile(host.File("Duskwall/libbroken-zam.so"), std::string(200, 'x'));
        std::filesystem::copy_file(bin + "/libduskdll.so", host.File("Duskwall/libnotzam.so"));
        std::string why = c.m_strWhy;
        if (why[0] == '@') {
            why.replace(0, 1, host.Root());
        }
        const std::string summary = "IDS Engine: 7 rules; WITHOUT INPUT: the signature module " + host.Root() +
                                    "/Duskwall/" + c.m_pszModule + " did not load: " + why;
        ASSERT_TRUE(host.Start({}, hwtest::ReplayEnvironment(host, hwtest::Capture({hwtest::SynFin()}))))
            << host.ErrorsTail();
        const std::string console = host.Errors();
        EXPECT_NE(std::string::npos, console.find("INFO: Successfully loaded the Duskwall driver\n")) << console;
        EXPECT_NE(std::string::npos, console.find("WARNING: after the start-up: " + summary + "\n")) << console;
        EXPECT_NE(std::string::npos, console.find("  " + summary + "\n")) << console;
        EXPECT_EQ(std::string::npos, console.find("packet library")) << console;
        // A reload tries again and says the same.
        std::string pushed;
        EXPECT_EQ(4, host.Push(hwtest::ReadWholeFile(host.File("Default.policy")), pushed)) << pushed;
        EXPECT_NE(std::string::npos, pushed.find(summary + "\n")) << pushed;
        int exitCode = -1;
        ASSERT_TRUE(host.Stop(exitCode));
        EXPECT_EQ(0, exitCode);
    }
}

// A capture replaced on disk while the sensor is paused is played from its
// start after the resume, into the same output files, and the log says so.
TEST_F(IdsReplayHostTest, CaptureReplacedWhilePausedStartsOverIntoTheSameOutputs) {
    const std::vector<rptest::TestFrame> first =
        hwtest::Frames({hwtest::SynFin(Ip(203, 0, 113, 1)), hwtest::Benign()});
    const std::vector<rptest::TestFrame> second =
        hwtest::Frames({hwtest::SynFin(Ip(203, 0, 113, 2)), hwtest::Benign(Ip(198, 51, 100, 8))}, 1767229200u);
    hwtest::PrepareNetworkRoot(m_Host, {});
    ASSERT_TRUE(m_Host.Start({}, hwtest::ReplayEnvironment(m_Host, rptest::PcapBytes(first)))) << m_Host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return FileSize(Output("pass")) == static_cast<off_t>(rptest::PcapBytes(first).size()); }, 60));
    m_Host.Signal(SIGUSR1);
    ASSERT_TRUE(Completed(m_Host, "pause"));
    const std::string input = m_Host.File("input.pcap");
    hwtest::WriteWholeFile(input + ".new", rptest::PcapBytes(second));
    ASSERT_EQ(0, ::rename((input + ".new").c_str(), input.c_str()));
    m_Host.Signal(SIGUSR2);
    ASSERT_TRUE(Completed(m_Host, "resume"));
    std::vector<rptest::TestFrame> both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] { return FileSize(Output("pass")) == static_cast<off_t>(rptest::PcapBytes(both).size()); }, 60))
        << FileSize(Output("pass"));
    ASSERT_TRUE(AwaitAlerts(2)) << m_Host.Alerts();
    StopCleanly();
    EXPECT_NE(std::string::npos, m_Host.Log().find("\\Device\\replay0: the capture file " + input +
                                                   " was replaced on disk: the replay starts over with the new "
                                                   "file's first record, adding to its output files"))
        << m_Host.Log();
    ExpectSameFrames(Output("pass"), both);
}

TEST_F(IdsReplayHostTest, ModuleThatStallsOrFaultsEndsTheHostAfterItsCrashRecord) {
    const struct {
        hwtest::NetworkPolicyOptions::Setting m_Switch;
        int m_nExitCode;
        const char* pszLogged;
    } cases[] = {
        {{"zam.standin.stall", 'S', "30"}, 2, "has timed out. Time elapsed:"},
        {{"zam.standin.fault", 'S', "on"}, 1, "Exception detected: possible ZAM_Internal_Error , the sensor is shutting down"},
    };
    for (const auto& c : cases) {
        hwtest::NamespacedHost host(m_Namespace);
        hwtest::NetworkPolicyOptions options;
        options.m_Tuning = {{"ZamLoopTimeout", 'L', "1"}, c.m_Switch};
        hwtest::PrepareNetworkRoot(host, options);
        host.Start({}, hwtest::ReplayEnvironment(host, hwtest::Capture({hwtest::Benign()})));
        int exitCode = -1;
        ASSERT_TRUE(host.Wait(120, exitCode)) << c.m_Switch.m_strName;
        EXPECT_EQ(c.m_nExitCode, exitCode) << host.ErrorsTail();
        EXPECT_NE(std::string::npos, host.Log().find(c.pszLogged)) << c.m_Switch.m_strName;
        // The module's crash record, with the frame it held, is on disk.
        const std::string crashLog = hwtest::ReadWholeFile(host.File("Logs/ZamLog.txt"));
        EXPECT_NE(std::string::npos, crashLog.find("Signature module crash at instruction")) << crashLog;
        EXPECT_NE(std::string::npos, crashLog.find("Frame ")) << crashLog;
    }
}

TEST_F(IdsReplayHostTest, WebServerEventsOfTheWebGroupBecomeAlertsWithTheirFields) {
    // The web-server module runs under an account of its own in the group
    // the host opens the web areas to.
    hwtest::ThrowawayAccounts accounts;
    ASSERT_TRUE(accounts.IsReady());
    hwtest::PrepareNetworkRoot(m_Host, {});
    ASSERT_TRUE(m_Host.Start({"--web-group", accounts.Group()}, hwtest::ReplayEnvironment(m_Host, hwtest::Capture({}))))
        << m_Host.ErrorsTail();
    // The module of this sensor root writes into its ring; its exit code.
    const auto run = [&](const std::string& strUser, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {std::string(HW_BINARY_DIR) + "/bin/hw-webmodule", "--root",
                                             m_Host.Root(), "write"});
        hwtest::ChildProcess module;
        int exitCode = -1;
        // Leak checking needs more of the process than another account gets.
        return module.Start(hwtest::ThrowawayAccounts::As(strUser, arguments), m_Host.File("module.out"),
                            {"ASAN_OPTIONS=detect_leaks=0"}) && module.Wait(60, exitCode)
                   ? exitCode
                   : -1;
    };
    const auto write = [&](const std::vector<std::string>& arguments) { return run(accounts.Member(), arguments) == 0; };
    EXPECT_EQ(1, run(accounts.Stranger(), {"--name", "TCP_PortScan", "--id", "1005"}));
    ASSERT_TRUE(write({"--name", "Payload_Cmd_Exe", "--id", "1006", "--class", "url=/scripts/cmd.exe,method=GET",
                       "--src", "203.0.113.9:40000", "--dst", "192.0.2.10:80", "--proto", "6", "--outcome", "1"}));
    ASSERT_TRUE(write({"--name", "No_Such_Signature", "--id", "77", "--proto", "6"}));
    ASSERT_TRUE(write({"--name", "TCP_PortScan", "--id", "1005", "--src", "198.51.100.20:53", "--dst",
                       "192.0.2.10:53", "--src-mac", "02-00-5E-00-00-14", "--proto", "17", "--outcome", "5"}));
    ASSERT_TRUE(AwaitAlerts(2)) << m_Host.Log();
    StopCleanly();

    const std::vector<Alert> alerts = Alerts();
    ASSERT_EQ(2u, alerts.size()) << m_Host.Alerts();
    const Alert& blocked = alerts[0];
    EXPECT_EQ("Payload_Cmd_Exe", blocked.m_strName);
    EXPECT_EQ(101, blocked.m_nType);
    EXPECT_EQ("/scripts/cmd.exe", blocked.Param("url"));
    EXPECT_EQ("GET", blocked.Param("method"));
    EXPECT_EQ("1006", blocked.Param("algorithm-id"));
    EXPECT_EQ("1", blocked.Param("AttackBlocked"));
    EXPECT_EQ("10", blocked.Param("VulnStatus"));
    EXPECT_EQ("0", blocked.Param("AttackSuccessful"));
    EXPECT_EQ("203.0.113.9", blocked.Param("SourceAddress"));
    EXPECT_EQ("40000", blocked.Param("SourcePort"));
    EXPECT_EQ("192.0.2.10", blocked.Param("DestinationAddress"));
    EXPECT_EQ("80", blocked.Param("DestinationPort"));
    const Alert& succeeded = alerts[1];
    EXPECT_EQ("TCP_PortScan", succeeded.m_strName);
    EXPECT_EQ(102, succeeded.m_nType);
    EXPECT_EQ("1", succeeded.Param("AttackSuccessful"));
    EXPECT_EQ("<none>", succeeded.Param("VulnStatus"));
    EXPECT_EQ("02-00-5E-00-00-14", succeeded.Param("SourceEthernetAddress"));
    EXPECT_EQ("198.51.100.20", succeeded.Param("intruder-ip-addr"));
    EXPECT_NE(std::string::npos,
              m_Host.Log().find("Apache Engine Rule object not found for reported event No_Such_Signature issueId 77"));
}

TEST_F(IdsReplayHostTest, BurstOfWebServerEventsPastTheRingsRoomWithinASecondIsEveryOneAlertedOnce) {
    // The ring holds about 300 of these events; the module writes 1,000 in
    // one second, holding the ring open as a busy web server's module does,
    // and drops (counts as not written) each that finds no room.  The pace
    // is well past what a look a second takes and well within what the
    // test build keeps up with; a machine so loaded that the engine gets no
    // turn for the 300 ms the ring holds may still lose some, and then the
    // sensor says exactly as many as the module counted, and every event
    // written is alerted once.  A few seconds under ASan.
    constexpr long kEvents = 1000;
    hwtest::PrepareNetworkRoot(m_Host, {});
    ASSERT_TRUE(m_Host.Start({}, hwtest::ReplayEnvironment(m_Host, hwtest::Capture({})))) << m_Host.ErrorsTail();
    hwtest::ChildProcess module;
    ASSERT_TRUE(module.Start({std::string(HW_BINARY_DIR) + "/bin/hw-webmodule", "--root", m_Host.Root(), "write",
                              "--name", "Payload_Cmd_Exe", "--id", "1006", "--proto", "6", "--count",
                              std::to_string(kEvents), "--rate", std::to_string(kEvents)},
                             m_Host.File("module.out"), {"ASAN_OPTIONS=detect_leaks=0"}, true));
    int exitCode = -1;
    ASSERT_TRUE(module.Wait(60, exitCode));
    const std::string said = hwtest::ReadWholeFile(m_Host.File("module.out"));
    long nWritten = 0;
    long nNotWritten = -1;
    ASSERT_TRUE(hwtest::ModuleTally(said, nWritten, nNotWritten)) << said;
    ASSERT_EQ(kEvents, nWritten + nNotWritten) << said;
    EXPECT_EQ(nNotWritten == 0 ? 0 : 1, exitCode) << said;
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] { return hwtest::AlertsOf(Alerts(), "Payload_Cmd_Exe").size() >= static_cast<size_t>(nWritten); }, 60));
    StopCleanly();
    // Each event the module could not write is one number it never wrote.
    std::vector<std::string> events = hwtest::NotAlertedOnce(Alerts(), "Payload_Cmd_Exe", "n", kEvents);
    const long nUnwritten = static_cast<long>(std::count_if(
        events.begin(), events.end(), [](const std::string& event) { return event.ends_with(" x0"); }));
    EXPECT_EQ(nNotWritten, nUnwritten) << said;
    std::erase_if(events, [](const std::string& event) { return event.ends_with(" x0"); });
    EXPECT_TRUE(events.empty()) << events.size() << " web-server events of " << kEvents
                                << " alerted more than once or unsent, the first: " << events.front();
    // The sensor's largest count of the ring's losses is the module's.
    const std::string log = m_Host.Log();
    const std::string said_lost = " events the module could not write for want of room";
    long nSaid = 0;
    for (size_t at = log.find(said_lost); at != std::string::npos; at = log.find(said_lost, at + 1)) {
        const size_t begin = log.find_last_of(' ', at - 1) + 1;
        nSaid = std::max(nSaid, std::stol(log.substr(begin, at - begin)));
    }
    EXPECT_EQ(nNotWritten, nSaid) << log;
}

}  // namespace
