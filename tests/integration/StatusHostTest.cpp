// hwhost.status as an operator and `hwhost push` read it while the sensor
// runs: the newest record follows what runs after the load (what an engine
// learns later, a pause, a resume, the stop), through the real hwhost with
// the real plug-in in a private network namespace (root), where the decoy
// port is the host's own.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "HostStatusFile.h"
#include "support/ChildProcess.h"
#include "support/NamespacedHost.h"
#include "support/ThrowawayAccounts.h"

namespace {

class StatusHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
    }

    // Two decoy rules on one port: the second is refused when the port is
    // opened, which the first run does only after its first wait.
    static std::string Policy() {
        std::string policy =
            "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t0;\r\n"
            "Nodekeeper\t=B\t0;\r\n[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n"
            "[\\Advanced\\Rules\\Suspicious Port Rules\\];\r\n";
        for (const char* pszName : {"Alpha", "Beta"}) {
            policy += std::string("[\\Advanced\\Rules\\Suspicious Port Rules\\") + pszName +
                      "\\];\r\nEnabled\t=B\t1;\r\nPort\t=L\t2323;\r\n";
        }
        return policy;
    }

    HostStatusRecord Newest() const {
        std::vector<HostStatusRecord> records = HostStatusFile(m_host.Root()).Read();
        return records.empty() ? HostStatusRecord() : records.back();
    }
    static bool Has(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    static std::string Decoy(const HostStatusRecord& record) {
        for (const std::string& line : record.m_engines) {
            if (line.rfind("Decoy Engine: ", 0) == 0) {
                return line;
            }
        }
        return "<no decoy line>";
    }

    hwtest::NetworkNamespace m_namespace;
    hwtest::NamespacedHost m_host{m_namespace};
};

}  // namespace

// The port refused at the first open, 1.5 s after start-up, is on the
// console at once and in the newest record's later findings, whose decoy
// line then says what the console said instead of "not open yet"; the
// record's state follows a pause, a resume and the stop.
TEST_F(StatusHostTest, NewestRecordFollowsWhatRunsAfterTheLoad) {
    m_host.WritePolicy(Policy());
    m_host.WritePolicy("Host Warden rule definitions\r\n[\\];\r\n", "RuleDef_Win_2K3.policy");
    ASSERT_TRUE(m_host.Start({}, {"HW_DECOY_FIRST_WAIT_MS=1500"})) << m_host.ErrorsTail();
    EXPECT_EQ("Decoy Engine: 2 rules; TCP port 2323, not open yet: they open 1500 ms after "
              "start-up",
              Decoy(Newest()));
    EXPECT_TRUE(Newest().m_later.empty());

    const std::string refused =
        "ERROR: Decoy rule Beta: TCP port 2323 is not watched: rule Alpha listens on it, and a "
        "connection to it is that rule's alert. Give one of the two rules another port.";
    const std::string opened =
        "Decoy Engine: 2 rules; TCP port 2323; rule Beta not watched: port 2323 is rule Alpha's";
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return m_host.Errors().find(refused + "\n") != std::string::npos; }, 30))
        << m_host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        const HostStatusRecord newest = Newest();
        return Has(newest.m_later, refused) && Decoy(newest) == opened;
    })) << Decoy(Newest());
    EXPECT_EQ(1u, Newest().m_qwSequence);
    EXPECT_TRUE(Newest().m_findings.empty());
    EXPECT_EQ("running", Newest().m_strState);

    m_host.Signal(SIGUSR1);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Newest().m_strState == "paused"; }))
        << m_host.ErrorsTail();
    EXPECT_EQ(0u, Decoy(Newest()).find("Decoy Engine: 2 rules; paused: ")) << Decoy(Newest());
    m_host.Signal(SIGUSR2);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Newest().m_strState == "running"; }))
        << m_host.ErrorsTail();
    EXPECT_EQ(opened, Decoy(Newest()));

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode);
    const HostStatusRecord last = Newest();
    EXPECT_EQ("stopped", last.m_strState);
    EXPECT_EQ(1u, last.m_qwSequence);
    EXPECT_EQ("accepted", last.m_strText);
    EXPECT_TRUE(Has(last.m_later, refused));
}

// What is learnt after the load follows its cause: a syslog bound's count
// grows in the record as it grows in the sensor, through the sensor's own
// notice, and a decoy port held by another program at the first opening,
// the syslog port another program took while the sensor was paused, and
// the engine left without input by a resume, leave the later findings once
// a resume opens the ports.
TEST_F(StatusHostTest, LaterFindingsLeaveWithTheirCauseAndBoundsKeepTheirCount) {
    m_host.WritePolicy(
        "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t0;\r\n"
        "Nodekeeper\t=B\t0;\r\n[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n"
        "[\\Advanced\\Rules\\Suspicious Port Rules\\];\r\n"
        "[\\Advanced\\Rules\\Suspicious Port Rules\\Trap\\];\r\nEnabled\t=B\t1;\r\nPort\t=L\t2323;\r\n"
        "[\\Advanced\\Rules\\SysLog Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\Login\\];\r\n"
        "Enabled\t=B\t1;\r\nRegular Expression\t=S\tlogin failed;\r\n");
    m_host.WritePolicy("Host Warden rule definitions\r\n[\\];\r\n", "RuleDef_Win_2K3.policy");
    const std::string holderOut = m_host.File("holder.out");
    hwtest::ChildProcess holder;
    ASSERT_TRUE(holder.Start(
        m_namespace.Enter(hwtest::ThrowawayAccounts::As(
            "nobody", {"/usr/bin/python3", "-c",
                       "import socket, time\ns = socket.socket()\ns.bind(('0.0.0.0', 2323))\n"
                       "s.listen(1)\nprint('listening', flush=True)\ntime.sleep(600)\n"})),
        holderOut));
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return hwtest::ReadWholeFile(holderOut) == "listening\n" || !holder.IsRunning(); }, 30));
    ASSERT_TRUE(m_host.Start({}, {"HW_DECOY_FIRST_WAIT_MS=1000"})) << m_host.ErrorsTail();

    auto laterStarting = [&](const std::string& head) {
        for (const std::string& line : Newest().m_later) {
            if (line.rfind(head, 0) == 0) {
                return line;
            }
        }
        return std::string();
    };
    const std::string refused = "ERROR: Decoy rule Trap: TCP port 2323 is not watched: it is in use by ";
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !laterStarting(refused).empty(); }, 30))
        << m_host.ErrorsTail();

    // Datagrams over the size a datagram may have are a bound: said once,
    // with the count of that moment, then counted on.
    const std::string bound =
        "Bound reached: syslog datagrams to UDP port 514: at most 65505 bytes a datagram; ";
    const std::string oversized(65507, 'x');
    ASSERT_TRUE(m_host.SendDatagram(oversized));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !laterStarting("WARNING: " + bound).empty(); }, 30))
        << m_host.ErrorsTail();
    EXPECT_EQ("WARNING: " + bound + "1 datagram left out (said again at most once a minute while it lasts)",
              laterStarting("WARNING: " + bound));
    ASSERT_TRUE(m_host.SendDatagram(oversized));
    ASSERT_TRUE(m_host.SendDatagram(oversized));
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            const HostStatusRecord newest = Newest();
            return Has(newest.m_engines, bound + "3 datagrams left out") &&
                   laterStarting("WARNING: " + bound) ==
                       "WARNING: " + bound +
                           "3 datagrams left out (said again at most once a minute while it lasts)";
        },
        30))
        << ::testing::PrintToString(Newest().m_later);

    // A resume while the port is still held leaves the engine without
    // input, which it says.  So does a resume that finds the syslog port
    // taken while the sensor was paused.
    auto pause = [&] {
        m_host.Signal(SIGUSR1);
        EXPECT_TRUE(hwtest::WaitUntil([&] { return Newest().m_strState == "paused"; }));
    };
    const std::string without = "WARNING: after the resume: Decoy Engine: 1 rule; WITHOUT INPUT: ";
    const std::string syslogHeld = "ERROR: Syslog port (514) already in use on system. UDP port 514 is held by ";
    pause();
    hwtest::ChildProcess syslogHolder;
    ASSERT_TRUE(syslogHolder.Start(m_namespace.Enter({"socat", "-u", "UDP-RECV:514", "OPEN:/dev/null"})));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.SyslogPortOpen(); }));
    m_host.Signal(SIGUSR2);
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            return Newest().m_strState == "running" && !laterStarting(without).empty() &&
                   !laterStarting(syslogHeld).empty();
        },
        30))
        << ::testing::PrintToString(Newest().m_later);

    // A SIGHUP that reads no policy tries the held ports again: the policy
    // in force stays, said so, and so does what was learnt about it.
    m_host.Signal(SIGHUP);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Newest().m_qwSequence == 2; }, 30)) << m_host.ErrorsTail();
    EXPECT_EQ("no policy was read again and no response definition changed", Newest().m_strText);
    EXPECT_FALSE(laterStarting(refused).empty()) << ::testing::PrintToString(Newest().m_later);
    EXPECT_FALSE(laterStarting(syslogHeld).empty()) << ::testing::PrintToString(Newest().m_later);
    EXPECT_FALSE(laterStarting("WARNING: " + bound).empty()) << ::testing::PrintToString(Newest().m_later);
    EXPECT_EQ(std::string::npos, m_host.Errors().find("hwhost: the policy was accepted")) << m_host.ErrorsTail();

    // The ports freed, the next opening (at the resume) takes them and the
    // findings go; the bound's stays, since what it left out stays so.
    holder.Stop();
    syslogHolder.Stop();
    pause();
    m_host.Signal(SIGUSR2);
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            return Newest().m_strState == "running" && laterStarting(refused).empty() &&
                   laterStarting(without).empty() && laterStarting(syslogHeld).empty();
        },
        30))
        << ::testing::PrintToString(Newest().m_later);
    EXPECT_EQ("Decoy Engine: 1 rule; TCP port 2323", Decoy(Newest()));
    EXPECT_FALSE(laterStarting("WARNING: " + bound).empty());

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode);
}

// A bound lasts as long as its input, and no longer: a push that removes
// the log group takes the group's bounds (another account's FIFO, a line
// too long to be matched whole) out of the engine lines, the later
// findings and the stop, and keeps those of the syslog port and of the rule
// whose value was cut, which it keeps; the next push, which removes those,
// takes theirs out too; the group pushed again counts afresh.
TEST_F(StatusHostTest, BoundsOfInputsAPushRemovedLeaveTheRecordAndTheStop) {
    std::filesystem::create_directories(m_host.File("applogs"));
    const std::string group = "log group Watched (" + m_host.File("applogs/*.log") + ")";
    const std::string head =
        "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t0;\r\n"
        "Nodekeeper\t=B\t0;\r\n[\\Advanced\\];\r\n";
    const std::string login =
        "[\\Advanced\\Rules\\SysLog Rules\\Login\\];\r\nEnabled\t=B\t1;\r\nRegular Expression\t=S\tlogin;\r\n"
        "[\\Advanced\\Rules\\SysLog Rules\\Login\\Info\\];\r\nWhole\t=S\tlogin{!};\r\n";
    const std::string watched =
        head + "[\\Advanced\\Logs\\Watched\\];\r\nPath\t=S\t" + m_host.File("applogs/*.log") +
        ";\r\nNewestOnly\t=B\t0;\r\n[\\Advanced\\Rules\\SysLog Rules\\Errors\\];\r\nEnabled\t=B\t1;\r\n"
        "Log Type\t=S\tTextLog;\r\nRegular Expression\t=S\tERROR;\r\nLogs\t=S\tWatched;\r\n" + login;
    const std::string decoy = head + "[\\Advanced\\Rules\\Suspicious Port Rules\\Trap\\];\r\nEnabled\t=B\t1;\r\n"
                                     "Port\t=L\t2323;\r\n";
    m_host.WritePolicy(watched);
    m_host.WritePolicy("Host Warden rule definitions\r\n[\\];\r\n", "RuleDef_Win_2K3.policy");
    ASSERT_TRUE(m_host.Start()) << m_host.ErrorsTail();

    // Another account's FIFO among the group's files, a datagram too long
    // for a datagram, and one whose value is too long for a pair.
    const std::string fifo = m_host.File("applogs/pipe.log");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
    ASSERT_EQ(0, ::chown(fifo.c_str(), 65534, 65534));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.SyslogPortOpen(); }));
    ASSERT_TRUE(m_host.SendDatagram(std::string(65507, 'x')));
    ASSERT_TRUE(m_host.SendDatagram("login " + std::string(5000, 'y')));
    const std::vector<std::string> bounds = {
        "Bound reached: " + group + ": another account's FIFOs, sockets, devices and links are not read; 1 name "
                                    "left out",
        "Bound reached: syslog datagrams to UDP port 514: at most 65505 bytes a datagram; 1 datagram left out",
        "Bound reached: rule Login, information pair Whole: at most 4095 bytes a value, the rest cut off; 906 "
        "bytes left out"};
    // The bounds the engine lines list, in the order of the list above
    // (they are listed in the order they were first reached).
    const auto Listed = [&](const HostStatusRecord& record) {
        std::vector<std::string> listed;
        for (const std::string& bound : bounds) {
            if (Has(record.m_engines, bound)) {
                listed.push_back(bound);
            }
        }
        return listed;
    };
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listed(Newest()) == bounds; }, 30))
        << ::testing::PrintToString(Newest().m_engines);
    // A file made after the group's first scan, with a line too long to be
    // matched whole.
    std::ofstream(m_host.File("applogs/long.log"), std::ios::binary) << "ERROR " << std::string(70000, 'z') << "\n";
    const std::string longLine = "Bound reached: " + group +
                                 ": lines of at most 65536 bytes matched whole, longer ones in pieces of that many; "
                                 "1 line matched in pieces";
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Has(Newest().m_engines, longLine); }, 30))
        << ::testing::PrintToString(Newest().m_engines);

    // Warned of the rules each drops, the pushes are applied.
    std::string output;
    EXPECT_EQ(4, m_host.Push(head + login, output)) << output;
    EXPECT_EQ((std::vector<std::string>{bounds[1], bounds[2]}), Listed(Newest()));
    EXPECT_FALSE(Has(Newest().m_engines, longLine)) << ::testing::PrintToString(Newest().m_engines);
    EXPECT_EQ(std::string::npos, output.find(group)) << output;
    EXPECT_EQ(4, m_host.Push(decoy, output)) << output;
    for (const std::string& line : Newest().m_engines) {
        EXPECT_NE(0u, line.find("Bound reached: ")) << line;
    }
    EXPECT_TRUE(Newest().m_later.empty()) << ::testing::PrintToString(Newest().m_later);
    EXPECT_EQ(std::string::npos, output.find("Bound reached: ")) << output;

    // Back again, the group meets the FIFO again: a bound reached anew,
    // said in full on the console (and by the push, when the group's first
    // scan came before the push ended).
    const std::string anew = "WARNING: " + bounds[0] + " (said again at most once a minute while it lasts)\n";
    const size_t saidBefore = hwtest::CountOf(m_host.Errors(), anew);
    EXPECT_EQ(4, m_host.Push(watched, output)) << output;
    EXPECT_TRUE(hwtest::WaitUntil([&] { return hwtest::CountOf(m_host.Errors(), anew) > saidBefore; }, 30))
        << m_host.ErrorsTail();
    EXPECT_TRUE(hwtest::WaitUntil([&] { return Listed(Newest()) == std::vector<std::string>{bounds[0]}; }, 30))
        << ::testing::PrintToString(Newest().m_engines);
    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode);
    const std::string errors = m_host.Errors();
    EXPECT_NE(std::string::npos, errors.find("at the stop: " + bounds[0] + "\n")) << m_host.ErrorsTail();
    EXPECT_EQ(std::string::npos, errors.find("at the stop: " + bounds[1])) << m_host.ErrorsTail();
    EXPECT_EQ(std::string::npos, errors.find("at the stop: " + bounds[2])) << m_host.ErrorsTail();
    EXPECT_EQ(std::string::npos, errors.find("at the stop: " + longLine)) << m_host.ErrorsTail();
}

// What a bound leaves out while a push's reload runs is that push's: the
// push prints it with its count and ends with 4, the first time the bound
// is reached and at every push after, however often it was said before;
// a push during which nothing was left out says nothing of it.  An
// event-log rule looks at the files it audits while the reload reads it:
// past the 1,024 it may audit, the files of a pattern the push adds are
// left out at that look.
TEST_F(StatusHostTest, PushDuringWhichABoundLeftInputOutSaysSoEveryTime) {
    auto files = [&](const std::string& folder, size_t nFiles) {
        std::filesystem::create_directories(m_host.File(folder));
        for (size_t n = 0; n < nFiles; ++n) {
            hwtest::WriteWholeFile(m_host.File(folder + "/f" + std::to_string(n) + ".up"), "x");
        }
        return m_host.File(folder) + "/*.up";
    };
    const std::string first = files("uploads", 1030);
    const std::string second = files("more", 7);
    const std::string rule = "[\\Advanced\\Rules\\EventLog Rules\\Uploads\\]";
    auto policy = [&](const std::vector<std::string>& patterns) {
        std::string text =
            "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t0;\r\nNodekeeper\t=B\t0;\r\n"
            "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\EventLog Rules\\];\r\n" +
            rule + ";\r\nEnabled\t=B\t1;\r\nEvent Log ID\t=L\t560;\r\n";
        if (!patterns.empty()) {
            text += "[\\Advanced\\Rules\\EventLog Rules\\Uploads\\Audit\\];\r\n"
                    "[\\Advanced\\Rules\\EventLog Rules\\Uploads\\Audit\\Files\\];\r\n";
            for (size_t n = 0; n < patterns.size(); ++n) {
                text += "pattern" + std::to_string(n) + "\t=S\t" + patterns[n] + ";\r\n";
            }
        }
        return text;
    };
    m_host.WritePolicy(policy({}));
    m_host.WritePolicy("Host Warden rule definitions\r\n[\\];\r\n", "RuleDef_Win_2K3.policy");
    // The log the rule reads.
    hwtest::ChildProcess evlog;
    int exitCode = -1;
    ASSERT_TRUE(evlog.Start({std::string(HW_BINARY_DIR) + "/bin/hw-evlog", "register", "Security"},
                            m_host.File("hw-evlog.txt"), {"QOR_PLATFORM_ROOT=" + m_host.File("platform")}));
    ASSERT_TRUE(evlog.Wait(30, exitCode));
    ASSERT_EQ(0, exitCode) << hwtest::ReadWholeFile(m_host.File("hw-evlog.txt"));
    ASSERT_TRUE(m_host.Start()) << m_host.ErrorsTail();
    const std::string bound = "Bound reached: event-log rule Uploads audited files: at most 1024 files audited; ";

    // First reached during the push: said at once.
    std::string output;
    EXPECT_EQ(4, m_host.Push(policy({first}), output)) << output;
    EXPECT_NE(std::string::npos,
              output.find("WARNING: " + bound + "6 files left out (said again at most once a minute while it lasts)\n"))
        << output;

    // Reached again by the next push, within the minute: said by the push.
    EXPECT_EQ(4, m_host.Push(policy({first, second}), output)) << output;
    EXPECT_NE(std::string::npos, output.find("WARNING: " + bound + "7 files left out during the reload\n")) << output;
    EXPECT_NE(std::string::npos, output.find(" with 0 errors and 1 warning (above)")) << output;
    EXPECT_TRUE(Has(Newest().m_findings, "WARNING: " + bound + "7 files left out during the reload"));

    // Nothing more left out: nothing said.
    EXPECT_EQ(0, m_host.Push(policy({first, second}), output)) << output;
    EXPECT_EQ(std::string::npos, output.find("WARNING: " + bound)) << output;
    EXPECT_NE(std::string::npos, output.find("  " + bound + "13 files left out\n")) << output;

    // A push that does not wait tells that the host was asked to reload
    // with the policy, not that the policy waits for a later one.
    const std::string pushed = m_host.File("nowait.policy");
    hwtest::WriteWholeFile(pushed, policy({first, second}));
    hwtest::ChildProcess push;
    ASSERT_TRUE(push.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "push", "--root", m_host.Root(), "--wait",
                            "0", pushed},
                           pushed + ".out"));
    ASSERT_TRUE(push.Wait(60, exitCode));
    output = hwtest::ReadWholeFile(pushed + ".out");
    EXPECT_EQ(3, exitCode) << output;
    EXPECT_NE(std::string::npos, output.find("hwhost: not waiting for the outcome (--wait 0): hwhost (pid " +
                                             std::to_string(m_host.Pid()) + ") "))
        << output;
    EXPECT_EQ(std::string::npos, output.find("waits in")) << output;
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Newest().m_qwSequence == 5; })) << m_host.ErrorsTail();

    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode);
}
