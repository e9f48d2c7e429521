// The syslog engine end to end: the real hwhost with the real plug-in, in a
// private network namespace so it owns UDP port 514, fed by logger, socat
// and a flood sender, with the alerts read back from the host's XML output.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/HeldUpStop.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"

using hwtest::SyslogPolicy;
using hwtest::SyslogRule;

namespace {

// hwhost's exit status when alerts it took were not written.
constexpr int kExitAlertsNotWritten = 6;

// A parameter of one alert document, "<absent>" when it has none.
std::string Param(const std::string& alert, const std::string& name) {
    return hwtest::AlertParam(alert, name);
}

class SyslogHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_Namespace.IsReady()) << m_Namespace.Error();
    }

    void Start(const std::vector<SyslogRule>& rules,
               const std::vector<std::string>& environment = {},
               const std::vector<std::string>& arguments = {}) {
        m_Host.WritePolicy(SyslogPolicy(rules));
        ASSERT_TRUE(m_Host.Start(arguments, environment)) << m_Host.Errors();
        ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    }
    bool Listening() const { return m_Host.SyslogPortOpen(); }
    // Once the writer can go on: reads the whole alert documents from the
    // non-blocking `reader` until the host has ended (within 120 s) and
    // closes it; answers whether the host ended, with its `exitCode` and
    // the `alerts` read.
    bool ReadAlertsUntilTheHostEnds(int reader, size_t& alerts, int& exitCode) {
        alerts = 0;
        std::thread drain([&] { alerts = ReadAlertsToTheEnd(reader); });
        const bool bEnded = m_Host.Wait(120, exitCode);
        drain.join();
        ::close(reader);
        return bEnded;
    }

    static size_t ReadAlertsToTheEnd(int reader) {
        size_t alerts = 0;
        std::string tail;
        char buffer[65536];
        const std::string end = "</event>";
        pollfd ready{reader, POLLIN, 0};
        for (;;) {
            const ssize_t got = ::read(reader, buffer, sizeof buffer);
            if (got == 0) {
                return alerts;
            }
            if (got < 0) {
                ::poll(&ready, 1, 100);
                continue;
            }
            tail.append(buffer, static_cast<size_t>(got));
            alerts += hwtest::CountOf(tail, end);
            const size_t cut = tail.rfind(end);
            tail.erase(0, cut == std::string::npos ? tail.size() - std::min(tail.size(), end.size())
                                                   : cut + end.size());
        }
    }

    // Starts the host with `rule`, its alerts on standard output: a FIFO
    // whose reader, answered in `reader`, takes nothing until the test
    // reads it, so the engine is held once the host's alert queue is full.
    void StartWithAStuckOutput(const SyslogRule& rule, int& reader) {
        const std::string pipe = m_Host.File("hwhost.out");
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        m_Host.WritePolicy(SyslogPolicy({rule}));
        ASSERT_TRUE(m_Host.Start({"--alerts", ""})) << m_Host.Errors();
        ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    }
    void Send(const std::string& bytes) { ASSERT_TRUE(m_Host.SendDatagram(bytes)); }
    void Push(const std::vector<SyslogRule>& rules) {
        ASSERT_TRUE(m_Host.Reload(SyslogPolicy(rules))) << m_Host.ErrorsTail();
    }

    // The alert documents that mention `text`.
    std::vector<std::string> AlertsMentioning(const std::string& text) {
        std::vector<std::string> found;
        const std::string all = m_Host.Alerts();
        const std::string end = "</event>";
        for (size_t start = 0, at = all.find(end); at != std::string::npos;
             at = all.find(end, start)) {
            const std::string alert = all.substr(start, at + end.size() - start);
            if (alert.find(text) != std::string::npos) {
                found.push_back(alert);
            }
            start = at + end.size();
        }
        return found;
    }
    bool WaitForAlert(const std::string& text) {
        return hwtest::WaitUntil([&] { return !AlertsMentioning(text).empty(); }, 60);
    }

    hwtest::NetworkNamespace m_Namespace;
    hwtest::NamespacedHost m_Host{m_Namespace};
};

}  // namespace

TEST_F(SyslogHostTest, DatagramsBecomeAlertsOfTheMatchingRulesWithTheirFields) {
    // Blanks, tabs, percent signs and line ends separate fields; a NUL is a
    // byte of its field, shown in the alert as every control byte is.
    const char bytes[] = "alpha  beta\tgamma%%delta\r\nkey=v1;\0hidden more";
    const std::pair<std::string, std::string> kTemplates[] = {
        {"@Field1", "beta"},    {"@Field2", "gamma"},
        {"@Field3", "delta"},   {"@Field4", "key=v1;\xEF\xBF\xBDhidden"},
        {"@Field5", "more"},    {"@Field6", ""},
        {"key={!};", "v1"},     {"hidden {!}", "more"}};
    SyslogRule fields{"Fields", "^alpha"};
    for (const auto& [strTemplate, strValue] : kTemplates) {
        fields.m_Info.emplace_back("P" + std::to_string(fields.m_Info.size()), strTemplate);
    }
    const SyslogRule su{"Failed su",
                        "FAILED SU",
                        {{"User", "@Field9"}, {"Server", "@Host"}, {"Sender", "@Remote"}}};
    Start({su, fields, {"Other", "never matches this"}}, {}, {"--echo-input"});
    ASSERT_TRUE(m_Host.RunInside({"logger", "-d", "-n", "127.0.0.1", "-P", "514", "--rfc3164", "-t",
                                  "su", "FAILED SU (to root) alice on pts/0"}));
    // Exactly these bytes as one datagram, from an outside sender.
    ASSERT_TRUE(m_Host.RunInside({"socat", "-u", "STDIN", "UDP-SENDTO:127.0.0.1:514"},
                                 std::string(bytes, sizeof bytes - 1)));
    // A datagram that fills the whole receive buffer is refused as too
    // large, with a warning on a line of its own; one byte less arrives
    // whole.
    Send(std::string(65506, 'x'));
    const std::string largest = "largest" + std::string(65505 - 7, 'y');
    Send(largest);
    ASSERT_TRUE(WaitForAlert("Failed su") && WaitForAlert("'Fields'")) << m_Host.Errors();
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        const std::string errors = m_Host.Errors();
        return errors.find("WARNING: Error recving syslog packet: 10040 (message too long for the "
                           "buffer of 65505 bytes)\n") != std::string::npos &&
               errors.find("Parsing Entry from 127.0.0.1: " + largest + "\n") != std::string::npos;
    })) << m_Host.ErrorsTail();

    const std::string suAlert = AlertsMentioning("Failed su").at(0);
    EXPECT_EQ(Param(suAlert, "Log Type"), "Syslog");
    // "<13>Mmm dd hh:mm:ss host su: FAILED SU (to root) alice": field 9 is
    // the user whatever the host name, as the date has three fields.
    EXPECT_EQ(Param(suAlert, "User"), "alice");
    EXPECT_EQ(Param(suAlert, "Sender"), "127.0.0.1");
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(Param(suAlert, "Server"), host);

    const std::string fieldsAlert = AlertsMentioning("'Fields'").at(0);
    for (size_t n = 0; n < std::size(kTemplates); ++n) {
        EXPECT_EQ(Param(fieldsAlert, "P" + std::to_string(n)), kTemplates[n].second)
            << kTemplates[n].first;
    }
    EXPECT_TRUE(AlertsMentioning("Other").empty());
}

// Whoever writes a message chooses its length: the user and the origin
// 1,200 bytes into a datagram are named whole in the alert, and a value
// longer than an alert carries is cut there, which is said and counted,
// naming the rule and the pair, and listed again at the stop.
TEST_F(SyslogHostTest, ValuesAreReadFromTheWholeDatagramAndATooLongValueIsCutAndSaid) {
    Start({{"Web login",
            "authentication failed for user",
            {{"User", "for user {!} from"},
             {"USER_AttackOrigin", "from {!} via"},
             {"Request", "via web {!} end"}}}});
    Send(std::string(1200, '.') +
         " authentication failed for user bob from 198.51.100.7 via web /login end");
    Send("authentication failed for user mallory from 203.0.113.5 via web " +
         std::string(5000, 'q'));
    ASSERT_TRUE(WaitForAlert("value='bob'") && WaitForAlert("value='mallory'"))
        << m_Host.ErrorsTail();
    const std::string bob = AlertsMentioning("value='bob'").at(0);
    EXPECT_EQ(Param(bob, "User"), "bob");
    EXPECT_EQ(Param(bob, "UserName"), "bob");
    EXPECT_EQ(Param(bob, "AttackOrigin"), "198.51.100.7");
    EXPECT_EQ(Param(bob, "Request"), "/login");
    const std::string mallory = AlertsMentioning("value='mallory'").at(0);
    EXPECT_EQ(Param(mallory, "AttackOrigin"), "203.0.113.5");
    EXPECT_EQ(Param(mallory, "Request"), std::string(4095, 'q'));
    const std::string bound =
        "Bound reached: rule Web login, information pair Request: at most 4095 bytes a value, the "
        "rest cut off; 905 bytes left out";
    EXPECT_NE(m_Host.Errors().find(bound), std::string::npos) << m_Host.ErrorsTail();
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_NE(m_Host.Log().find("at the stop: " + bound + "\n"), std::string::npos)
        << m_Host.Log();
}

// The operator learns the port, who holds it and what to do, on a line of
// its own; the start-up summary says the engine runs without its input.
TEST_F(SyslogHostTest, PortHeldByAnotherSocketIsReportedWithItsHolderAndRemedy) {
    m_Host.WritePolicy(SyslogPolicy({{"Any", "x"}}));
    hwtest::ChildProcess holder;
    ASSERT_TRUE(holder.Start(m_Namespace.Enter({"socat", "-u", "UDP-RECV:514", "OPEN:/dev/null"})));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    ASSERT_TRUE(m_Host.Start()) << m_Host.Errors();
    const std::string strHeld =
        "UDP port 514 is held by socat (pid " + std::to_string(holder.Pid()) + ")";
    const std::string strMessage = "Syslog port (514) already in use on system. " + strHeld +
                                   ": stop it, or have it give up port 514. Syslog input stays off "
                                   "until the port is tried again: at the next reload (a push or "
                                   "SIGHUP), resume or restart.";
    EXPECT_NE(m_Host.Log().find(strMessage), std::string::npos) << m_Host.Log();
    EXPECT_NE(m_Host.Errors().find("ERROR: " + strMessage + "\n"), std::string::npos)
        << m_Host.Errors();
    EXPECT_NE(m_Host.Errors().find("  NT Syslog: 1 rule; WITHOUT INPUT: " + strHeld + "\n"),
              std::string::npos)
        << m_Host.Errors();

    // Once the port is free, a pause and a resume take it.
    holder.Stop();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !Listening(); }));
    m_Host.Signal(SIGUSR1);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Log().find("hwhost: pause completed with status 1") != std::string::npos;
    }));
    m_Host.Signal(SIGUSR2);
    EXPECT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));

    // Held again across a pause, and let go: a SIGHUP that reads no policy
    // is the reload the line names, and takes the port too.
    m_Host.Signal(SIGUSR1);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return hwtest::CountOf(m_Host.Log(), "hwhost: pause completed with status") == 2 && !Listening();
    })) << m_Host.ErrorsTail();
    hwtest::ChildProcess again;
    ASSERT_TRUE(again.Start(m_Namespace.Enter({"socat", "-u", "UDP-RECV:514", "OPEN:/dev/null"})));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    m_Host.Signal(SIGUSR2);
    const std::string strHeldAgain = "UDP port 514 is held by socat (pid " + std::to_string(again.Pid()) + ")";
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Errors().find("NT Syslog: 1 rule; WITHOUT INPUT: " + strHeldAgain) != std::string::npos;
    })) << m_Host.ErrorsTail();
    again.Stop();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !Listening(); }));
    m_Host.Signal(SIGHUP);
    EXPECT_TRUE(hwtest::WaitUntil([&] { return Listening(); }, 10)) << m_Host.ErrorsTail();
}

// Reloads change the rules in the running host; the port is open only
// while the rules hold an enabled one.
TEST_F(SyslogHostTest, ReloadsChangeTheRulesAndOpenOrCloseThePortWithoutRestartingTheHost) {
    m_Host.WritePolicy(SyslogPolicy({{"Off", "x", {}, false}}));
    ASSERT_TRUE(m_Host.Start()) << m_Host.Errors();
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Errors().find(
                   "No valid Syslog rules for NT. SyslogListener will not Start\n") !=
               std::string::npos;
    })) << m_Host.Errors();
    EXPECT_FALSE(Listening());
    const pid_t hostPid = m_Host.Pid();
    Push({{"Old rule", "ping", {{"Text", "@Field1"}}}});
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    Send("ping one");
    ASSERT_TRUE(WaitForAlert("Old rule"));
    Push({{"New rule", "pong", {{"Text", "@Field1"}}}});
    // The resumed listener has a new socket, which may take a moment.
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        Send("pong two");
        return !AlertsMentioning("New rule").empty();
    }));
    Send("ping three");
    Send("pong marker");
    ASSERT_TRUE(WaitForAlert("marker"));
    EXPECT_EQ(AlertsMentioning("Old rule").size(), 1u);
    Push({{"Off", "x", {}, false}});
    EXPECT_TRUE(hwtest::WaitUntil([&] { return !Listening(); }));
    EXPECT_TRUE(m_Host.IsRunning());
    EXPECT_EQ(m_Host.Pid(), hostPid);
}

// With debug logging on, the trace of one datagram says what each rule made
// of it and what became of its record, one message to a line: no message
// runs into the one before or after it, whichever thread wrote that.
TEST_F(SyslogHostTest, DebugTraceOfOneDatagramHasOneMessagePerLine) {
    m_Host.WritePolicy(SyslogPolicy({{"Hit", "trace probe"}, {"Miss", "never in the text"}}) +
                       "[\\Debug\\];\r\n[\\Debug\\Log\\];\r\nEnable Debug Logging\t=B\t1;\r\n");
    ASSERT_TRUE(m_Host.Start({"--echo-input"})) << m_Host.Errors();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    Send("<13>trace probe from alice");
    ASSERT_TRUE(WaitForAlert("'Hit'")) << m_Host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        const std::string errors = m_Host.Errors();
        return errors.find("sending the ADF Event") != std::string::npos &&
               errors.find("rule \"Miss\" does not match") != std::string::npos;
    })) << m_Host.ErrorsTail();
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));

    // Each message of the datagram's road, by a text only it holds, and
    // the whole line it must be.
    const std::pair<std::string, std::regex> kMessages[] = {
        {"Parsing Entry from", std::regex(R"(NTSyslog: Parsing Entry from 127\.0\.0\.1: <13>trace probe from alice)")},
        {"rule \"Hit\"", std::regex(R"(NTSyslog: rule "Hit" matches)")},
        {"rule \"Miss\"", std::regex(R"(NTSyslog: rule "Miss" does not match)")},
        {"Logging to CSF", std::regex(R"(Logging to CSF : Event id=\d+, Name = Hit)")},
        {"called with event id", std::regex(R"(called with event id=\d+, name=Hit)")},
        {"sending the ADF Event", std::regex(R"(sending the ADF Event)")},
    };
    std::vector<std::string> lines;
    std::istringstream errors(m_Host.Errors());
    for (std::string line; std::getline(errors, line);) {
        lines.push_back(line);
    }
    for (const auto& [strMarker, wholeLine] : kMessages) {
        size_t nLines = 0;
        for (const std::string& line : lines) {
            if (line.find(strMarker) != std::string::npos) {
                EXPECT_TRUE(std::regex_match(line, wholeLine)) << line;
                ++nLines;
            }
        }
        EXPECT_EQ(nLines, 1u) << strMarker << "\n" << m_Host.ErrorsTail();
    }
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return std::regex_match(line, std::regex("constructing 0x[0-9a-f]+"));
    })) << m_Host.ErrorsTail();
    // The datagram's trace is in the log too, which the echo's standard
    // error may not be (it is off where standard error is no terminal).
    EXPECT_EQ(1u, hwtest::CountOf(m_Host.Log(), ": NTSyslog: Parsing Entry from 127.0.0.1: <13>trace probe from alice\n"))
        << m_Host.Log();
}

namespace {

// What a queue held at its fullest and the bound it keeps to, as the stop
// logs them: the memory the product bounds, whatever the allocator keeps.
struct MostHeld {
    uint64_t m_qwHeld = 0;
    uint64_t m_qwBound = 0;
};
const std::regex kEngineQueueHeld(R"(NTSyslog: the queue held at most (\d+) bytes \(bound (\d+)\))");
const std::regex kAlertQueueHeld(
    R"(hwhost: the alert queue held at most (\d+) alerts? while it held the engines \(bound (\d+)\))");
const std::regex kAlertQueueHeldInCommands(
    R"(hwhost: the alert queue held at most \d+ alerts? while it held the engines \(bound \d+\), at most (\d+) )"
    R"(while a command or the stop ran \(bound (\d+)\))");

// Each line of `pattern` in `log`: a run with one stop has one.
std::vector<MostHeld> MostHeldAtStops(const std::string& log, const std::regex& pattern) {
    std::vector<MostHeld> found;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), pattern); it != std::sregex_iterator(); ++it) {
        found.push_back({std::stoull((*it)[1].str()), std::stoull((*it)[2].str())});
    }
    return found;
}

// The numbers `pattern` captures as `group`, in every match in `text`, added up.
uint64_t SumOfMatches(const std::string& text, const std::regex& pattern, int group) {
    uint64_t total = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        total += std::stoull((*it)[group].str());
    }
    return total;
}

// The numbers of the stop's tally line, and what follows its four counts.
struct Tally {
    uint64_t m_qwTaken = 0;
    uint64_t m_qwWritten = 0;
    uint64_t m_qwDropped = 0;
    uint64_t m_qwNotWritten = 0;
    std::string m_strLosses;
};

bool ReadTally(const std::string& log, Tally& tally) {
    static const std::regex kTally(
        R"(hwhost: (\d+) alerts? taken, (\d+) written, (\d+) dropped, (\d+) not written([^\n]*)\n)");
    std::smatch found;
    if (!std::regex_search(log, found, kTally)) {
        return false;
    }
    tally.m_qwTaken = std::stoull(found[1].str());
    tally.m_qwWritten = std::stoull(found[2].str());
    tally.m_qwDropped = std::stoull(found[3].str());
    tally.m_qwNotWritten = std::stoull(found[4].str());
    tally.m_strLosses = found[5].str();
    return true;
}

// The alerts the host's queue dropped, past its bound while the stop ran
// (a stuck output holds no engine then): the tally counts them as dropped,
// the stop says the bound with the same count, and the run ends with 6; a
// run whose queue kept every alert ends with 0.
uint64_t ExpectAlertQueueDropsAccountedFor(const std::string& log, const Tally& tally, int exitCode) {
    static const std::regex kQueueBound(
        R"(at the stop: Bound reached: hwhost's alert queue: [^\n]*; (\d+) alerts? left out\n)");
    std::smatch found;
    const uint64_t dropped = std::regex_search(log, found, kQueueBound) ? std::stoull(found[1].str()) : 0;
    EXPECT_EQ(tally.m_qwDropped, dropped) << log;
    EXPECT_EQ(tally.m_qwTaken, tally.m_qwWritten + tally.m_qwDropped);
    EXPECT_EQ(tally.m_qwNotWritten, 0u);
    EXPECT_EQ(exitCode, dropped == 0 ? 0 : kExitAlertsNotWritten);
    // However many came, the queue held no more than its bound meanwhile
    // (its count; its bytes may have held it to fewer).
    const std::vector<MostHeld> inCommands = MostHeldAtStops(log, kAlertQueueHeldInCommands);
    EXPECT_EQ(inCommands.size(), 1u) << log;
    for (const MostHeld& held : inCommands) {
        EXPECT_LE(held.m_qwHeld, held.m_qwBound);
    }
    return dropped;
}

// The most memory the process `pid` has held, in KiB (0 when unknown).
uint64_t PeakKilobytes(pid_t pid) {
    const std::string status = hwtest::ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::stoull(status.substr(at + 6));
}

// The drops the engine reported in the host log, and of those the ones the
// system dropped before the listener could take them.
uint64_t ReportedDrops(const std::string& log, bool bSystemOnly = false) {
    static const std::regex kReport(
        R"(NTSyslog dropped (\d+) datagrams?: [^\n]*, (\d+) by the system with the socket's buffer full)");
    return SumOfMatches(log, kReport, bSystemOnly ? 2 : 1);
}

// Of the drops reported, those still in the socket when it closed.
uint64_t ReportedLeftInSocket(const std::string& log) {
    static const std::regex kReport(
        R"(NTSyslog dropped \d+ datagrams: [^\n]*, (\d+) left in the socket at a stop,)");
    return SumOfMatches(log, kReport, 1);
}

// The datagrams echoed on standard error, and those parsed without an echo.
uint64_t EchoedAndLeftOut(const std::string& errors) {
    static const std::regex kLeftOut(R"(\nNTSyslog: (\d+) (?:datagram parsed without its|datagrams parsed without their) echo \()");
    return hwtest::CountOf(errors, "\nNTSyslog: Parsing Entry from ") +
           SumOfMatches(errors, kLeftOut, 1);
}

// The datagrams the system holds for the namespace's port 514, unread.
uint64_t UnreadBytes(pid_t holder) {
    std::istringstream table(hwtest::ReadWholeFile("/proc/" + std::to_string(holder) + "/net/udp"));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        if (fields >> slot >> local >> remote >> state >> queues &&
            local.size() > 5 && local.substr(local.size() - 5) == ":0202") {
            return std::stoull(queues.substr(queues.find(':') + 1), nullptr, 16);
        }
    }
    return 0;
}

// Frames the machine's network stack dropped before any protocol saw them
// (its per-processor input backlog full): datagrams sent that reached no
// socket and no counter of the namespace.  Machine-wide.
uint64_t BacklogDrops() {
    std::istringstream table(hwtest::ReadWholeFile("/proc/net/softnet_stat"));
    uint64_t total = 0;
    std::string processed, dropped, rest;
    while (table >> processed >> dropped && std::getline(table, rest)) {
        total += std::stoull(dropped, nullptr, 16);
    }
    return total;
}

// Datagrams to the namespace's port 514 as fast as they go, from a thread of
// its own, until Stop, which answers how many the system took from the
// sender (a send refused because the port closed is not one).
class Flood {
public:
    Flood(pid_t holder, const std::string& prefix)
        : m_thread([this, holder, prefix] { Run(holder, prefix); }) {}
    ~Flood() { Stop(); }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    uint64_t Stop() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_qwSent;
    }

private:
    void Run(pid_t holder, const std::string& prefix) {
        const int sock = hwtest::ConnectUdpInNamespaceOf(holder, 514);
        std::string text;
        for (uint64_t n = 0; sock >= 0 && !m_bStop; ++n) {
            text = prefix + std::to_string(n) + " ";
            text.resize(200, '.');
            if (::send(sock, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) {
                ++m_qwSent;
            }
        }
        if (sock >= 0) {
            ::close(sock);
        }
    }

    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_qwSent{0};
    std::thread m_thread;
};

// A flood that overflows the socket of a held host (SIGSTOP) is still
// arriving when `signal` (a stop or a pause) reaches it, so the engine
// mostly closes a socket that holds datagrams and is sent more while it
// closes (where the flood's sender gets too little of the processors, the
// engine may have emptied it first).  Every datagram that reached the port
// while it was open is then an alert or a counted drop: none goes with the
// socket unseen.
class SyslogCloseTest : public SyslogHostTest {
protected:
    void FloodUntil(int signal, const std::string& done) {
        Start({{"Flood", "flood failed", {{"User", "@Field4"}}}});
        m_Before = m_Namespace.UdpCounters();
        m_qwBacklogBefore = BacklogDrops();
        m_Host.Signal(SIGSTOP);
        Flood flood(m_Namespace.HolderPid(), "<38>sshd[1]: flood failed for user");
        ASSERT_TRUE(hwtest::WaitUntil([&] {
            return m_Namespace.UdpCounters()["RcvbufErrors"] > m_Before["RcvbufErrors"];
        }));
        m_Host.Signal(signal);
        m_Host.Signal(SIGCONT);
        ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Host.Log().find(done) != std::string::npos; },
                                      120))
            << m_Host.ErrorsTail();
        const uint64_t sent = flood.Stop();
        // What came after the port closed was refused, and is no one's.
        const uint64_t refused = m_Namespace.UdpCounters()["NoPorts"] - m_Before["NoPorts"];
        ASSERT_GE(sent, refused);
        m_qwReached = sent - refused;
    }

    // Alerts and counted drops against what reached the port: equal, but
    // for what the machine's input backlog dropped meanwhile.
    void ExpectEveryDatagramAccountedFor() {
        const std::string log = m_Host.Log();
        const uint64_t alerts = hwtest::CountOf(m_Host.Alerts(), "alert-name='Flood'");
        const uint64_t drops = ReportedDrops(log);
        const uint64_t maybeLost = BacklogDrops() - m_qwBacklogBefore;
        EXPECT_LE(alerts + drops, m_qwReached);
        EXPECT_LE(m_qwReached - std::min(m_qwReached, alerts + drops), maybeLost)
            << "reached " << m_qwReached << ", alerts " << alerts << ", drops " << drops;
        EXPECT_EQ(ReportedDrops(log, true),
                  m_Namespace.UdpCounters()["RcvbufErrors"] - m_Before["RcvbufErrors"]);
        std::printf("%" PRIu64 " reached the port, %" PRIu64 " alerts, %" PRIu64
                    " dropped, %" PRIu64 " of them left in the socket\n",
                    m_qwReached, alerts, drops, ReportedLeftInSocket(log));
    }

    std::map<std::string, uint64_t> m_Before;
    uint64_t m_qwBacklogBefore = 0;
    uint64_t m_qwReached = 0;
};

}  // namespace

TEST_F(SyslogCloseTest, StopMidFloodCountsWhatTheSocketStillHeld) {
    ASSERT_NO_FATAL_FAILURE(FloodUntil(SIGTERM, "hwhost: stop completed with status"));
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Wait(60, exitCode));
    EXPECT_EQ(exitCode, 0) << m_Host.ErrorsTail();
    ExpectEveryDatagramAccountedFor();
}

// At a pause what the socket held waits in the queue with the rest, and
// the resume parses it.
TEST_F(SyslogCloseTest, PauseMidFloodKeepsWhatTheSocketStillHeldForTheResume) {
    ASSERT_NO_FATAL_FAILURE(FloodUntil(SIGUSR1, "hwhost: pause completed with status"));
    m_Host.Signal(SIGUSR2);
    const uint64_t maybeLost = BacklogDrops() - m_qwBacklogBefore;
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] {
            return hwtest::CountOf(m_Host.Alerts(), "alert-name='Flood'") +
                       ReportedDrops(m_Host.Log()) + maybeLost >=
                   m_qwReached;
        },
        120))
        << m_Host.ErrorsTail();
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(exitCode, 0) << m_Host.ErrorsTail();
    ExpectEveryDatagramAccountedFor();
    EXPECT_GT(hwtest::CountOf(m_Host.Alerts(), "alert-name='Flood'"), 0u);
    EXPECT_EQ(ReportedLeftInSocket(m_Host.Log()), 0u) << m_Host.ErrorsTail();
}

// A flood first meets a host that cannot read (stopped), so the system
// drops what its buffer cannot hold, then a running one that cannot keep
// up, so the engine's queue drops: every datagram is an alert or a
// reported drop, memory stays bounded, and standard error gets a bounded
// echo that counts what it left out.
TEST_F(SyslogHostTest, FloodOfDatagramsIsEitherReportedOrCountedAsDroppedWithBoundedMemoryAndEcho) {
    Start({{"Flood", "flood failed", {{"User", "@Field4"}}}}, {}, {"--echo-input"});
    const auto startTime = std::chrono::steady_clock::now();
    auto before = m_Namespace.UdpCounters();
    // Datagrams of a kilobyte: 200 MB if the sensor kept them all.
    uint64_t n = 0;
    const auto next = [&](uint64_t last) {
        return [&n, last](std::string& text) {
            text = "<38>sshd[1]: flood failed for user" + std::to_string(n) + " ";
            text.resize(1000, '.');
            return n++ < last;
        };
    };
    m_Host.Signal(SIGSTOP);
    ASSERT_TRUE(m_Host.SendDatagrams(next(40000)));
    m_Host.Signal(SIGCONT);
    ASSERT_TRUE(m_Host.SendDatagrams(next(200000)));
    // The engine works through its queue and the host through what it took
    // until the count of alerts settles.
    const std::string marker = "alert-name='Flood'";
    size_t alerts = hwtest::CountOf(m_Host.Alerts(), marker);
    for (int pass = 0; pass < 600; ++pass) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const size_t now = hwtest::CountOf(m_Host.Alerts(), marker);
        if (now == alerts) {
            break;
        }
        alerts = now;
    }
    // Stopping closes the socket and makes the engine account for every
    // drop, the system's too.
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(exitCode, 0) << m_Host.ErrorsTail();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count();
    auto after = m_Namespace.UdpCounters();
    alerts = hwtest::CountOf(m_Host.Alerts(), marker);
    const uint64_t delivered = after["InDatagrams"] - before["InDatagrams"];
    const uint64_t systemDrops = after["RcvbufErrors"] - before["RcvbufErrors"];
    const std::string log = m_Host.Log();
    const uint64_t drops = ReportedDrops(log);
    EXPECT_GT(systemDrops, 0u) << "the stopped host's socket overflowed";
    EXPECT_EQ(ReportedDrops(log, true), systemDrops);
    // Each bound the flood reached is said, and the stop lists what each
    // left out: the queue's and the socket's, as the drop reports count them.
    const auto BoundAtStop = [&](const std::string& limit) {
        std::smatch found;
        const std::regex line("at the stop: Bound reached: syslog datagrams to UDP port 514: " + limit +
                              "; (\\d+) datagrams left out");
        return std::regex_search(log, found, line) ? std::stoull(found[1].str()) : 0;
    };
    static const std::regex kQueueFull(R"(NTSyslog dropped \d+ datagrams: (\d+) with the queue full)");
    EXPECT_EQ(BoundAtStop("at most 64 MiB of datagrams waiting to be parsed"),
              SumOfMatches(log, kQueueFull, 1));
    EXPECT_EQ(BoundAtStop("at most 8 MiB waiting in the socket"), systemDrops);
    EXPECT_EQ(alerts + drops, delivered + systemDrops)
        << "alerts " << alerts << ", drops " << drops << ", delivered " << delivered
        << ", system drops " << systemDrops;
    // The flood filled the engine's queue to its bound of 64 MiB (its drops
    // say it was full) and no further; the host's alert queue kept to its
    // limit too.
    const std::vector<MostHeld> queue = MostHeldAtStops(log, kEngineQueueHeld);
    const std::vector<MostHeld> alertQueue = MostHeldAtStops(log, kAlertQueueHeld);
    ASSERT_EQ(queue.size(), 1u) << m_Host.ErrorsTail();
    ASSERT_EQ(alertQueue.size(), 1u) << m_Host.ErrorsTail();
    EXPECT_EQ(queue[0].m_qwBound, 64u << 20);
    EXPECT_LE(queue[0].m_qwHeld, queue[0].m_qwBound);
    if (SumOfMatches(log, kQueueFull, 1) != 0) {
        EXPECT_EQ(queue[0].m_qwHeld, queue[0].m_qwBound);
    }
    EXPECT_GT(alertQueue[0].m_qwBound, 0u);
    EXPECT_LE(alertQueue[0].m_qwHeld, alertQueue[0].m_qwBound);

    // Every parsed datagram is echoed or counted as left out, and the echo
    // keeps to its rate: a few kilobytes a second, not the 200 MB sent.
    const std::string errors = m_Host.Errors();
    EXPECT_EQ(EchoedAndLeftOut(errors), alerts);
    EXPECT_LT(errors.size(), 128 * 1024 + static_cast<size_t>(seconds * 10 * 1024))
        << seconds << " s";
    std::printf("flood: %" PRIu64 " delivered, %" PRIu64 " dropped by the system, %zu alerts, %" PRIu64
                " dropped in all, queues at most %" PRIu64 " bytes and %" PRIu64 " alerts, %zu bytes of "
                "standard error in %.0f s\n",
                delivered, systemDrops, alerts, drops, queue[0].m_qwHeld, alertQueue[0].m_qwHeld, errors.size(),
                seconds);
}

// A writer that cannot go on (standard output, where the alerts go, is a
// pipe nobody reads) holds the engine
// once the host's alert queue is full, so the datagrams back up into the
// engine's queue, which holds them within its bound (and drops and counts
// beyond it); a stop still ends the engines and counts what the queue
// held past its second of parsing, the alerts that second makes wait in
// the host's queue within its bound of that time, which drops and counts
// the rest, and once the writer can go on, every datagram is an alert or
// a counted drop.
TEST_F(SyslogHostTest, BlockedWriterHoldsTheEngineWithBoundedMemoryAndAStopStillEndsIt) {
    int reader = -1;
    ASSERT_NO_FATAL_FAILURE(StartWithAStuckOutput({"Flood", "flood failed", {{"User", "@Field4"}}}, reader));
    auto before = m_Namespace.UdpCounters();
    uint64_t n = 0;
    ASSERT_TRUE(m_Host.SendDatagrams([&](std::string& text) {
        text = "<38>sshd[1]: flood failed for user" + std::to_string(n) + " ";
        text.resize(300, '.');
        return n++ < 100000;
    }));
    // The listener has read everything into the queue.
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return UnreadBytes(m_Namespace.HolderPid()) == 0 &&
               m_Host.Log().find("hwhost: the alert queue is full") != std::string::npos;
    })) << UnreadBytes(m_Namespace.HolderPid()) << " bytes unread\n" << m_Host.ErrorsTail();

    // The stop reaches the held engine while the writer is still stuck.
    m_Host.Signal(SIGTERM);
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Log().find("hwhost: stop completed with status") != std::string::npos;
    })) << m_Host.Log();
    // What the host held at most, the stop's alerts among it.
    const uint64_t peakKilobytes = PeakKilobytes(m_Host.Pid());
    // Now the writer can go on; the host ends once everything is written.
    size_t alerts = 0;
    int exitCode = -1;
    ASSERT_TRUE(ReadAlertsUntilTheHostEnds(reader, alerts, exitCode));
    auto after = m_Namespace.UdpCounters();
    const uint64_t arrived = after["InDatagrams"] - before["InDatagrams"] + after["RcvbufErrors"] -
                             before["RcvbufErrors"];
    const std::string log = m_Host.Log();
    // The stop parses what its second allows of the queue and counts the
    // rest as dropped: an optimized build may parse it all, and make more
    // alerts than the host's queue holds meanwhile.
    const uint64_t drops = ReportedDrops(log);
    Tally tally;
    ASSERT_TRUE(ReadTally(log, tally)) << log;
    const uint64_t hostDrops = ExpectAlertQueueDropsAccountedFor(log, tally, exitCode);
    EXPECT_EQ(alerts, tally.m_qwWritten);
    EXPECT_EQ(alerts + drops + hostDrops, arrived)
        << "alerts " << alerts << ", drops " << drops << ", host drops " << hostDrops;
    // Unbounded, the 100,000 alerts would all wait in memory: the host's
    // alert queue held the engine within its limit (filled to it unless the
    // start's command, when nobody is held, was still running as it
    // filled), and the engine's queue kept what backed up within its bound.
    const std::vector<MostHeld> queue = MostHeldAtStops(log, kEngineQueueHeld);
    const std::vector<MostHeld> alertQueue = MostHeldAtStops(log, kAlertQueueHeld);
    ASSERT_EQ(queue.size(), 1u) << m_Host.ErrorsTail();
    ASSERT_EQ(alertQueue.size(), 1u) << m_Host.ErrorsTail();
    EXPECT_GT(alertQueue[0].m_qwBound, 0u);
    EXPECT_LE(alertQueue[0].m_qwHeld, alertQueue[0].m_qwBound);
    EXPECT_EQ(queue[0].m_qwBound, 64u << 20);
    EXPECT_LE(queue[0].m_qwHeld, queue[0].m_qwBound);
    std::printf("blocked writer: %" PRIu64 " arrived, %zu alerts, %" PRIu64 " dropped, %" PRIu64
                " dropped by the host, queues at most %" PRIu64 " bytes and %" PRIu64
                " alerts, hwhost at most %" PRIu64 " KiB\n",
                arrived, alerts, drops, hostDrops, queue[0].m_qwHeld, alertQueue[0].m_qwHeld, peakKilobytes);
}

// Standard output goes to a reader that has stopped reading: at a stop the
// host gives the output up once it has taken nothing for the output wait
// (2 s here), counts the alerts it could not write, and ends with its
// status of a run that lost alerts.  Every datagram is then a whole alert
// the reader got, an alert counted as not written, or a counted drop.
TEST_F(SyslogHostTest, StopGivesUpAnAlertOutputThatTakesNothingAndCountsWhatItLeft) {
    const std::string pipe = m_Host.File("hwhost.out");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    // One page: it takes a few alerts only.
    const int capacity = ::fcntl(reader, F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    m_Host.WritePolicy(SyslogPolicy({{"Stuck", "stuck output", {{"User", "@Field4"}}}}));
    ASSERT_TRUE(m_Host.Start({"--alerts", "", "--output-wait", "2"})) << m_Host.Errors();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    auto before = m_Namespace.UdpCounters();
    const auto Buffered = [&] {
        int bytes = 0;
        return ::ioctl(reader, FIONREAD, &bytes) == 0 ? bytes : -1;
    };
    // The first alert alone, then the rest at once.  The pipe need not
    // fill: a write of up to a page is all or nothing, and a pipe of one
    // page is never ready for writing again while its page holds anything,
    // so the host may wait with the pipe part full, as it does when the
    // next alerts do not fit beside the first.
    uint64_t n = 0;
    ASSERT_TRUE(m_Host.SendDatagram("<38>sshd[1]: stuck output for user" + std::to_string(n++)));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Buffered() > 0; })) << m_Host.ErrorsTail();
    ASSERT_TRUE(m_Host.SendDatagrams([&](std::string& text) {
        text = "<38>sshd[1]: stuck output for user" + std::to_string(n);
        return n++ < 200;
    }));
    // Every datagram read.
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return Buffered() > 0 && UnreadBytes(m_Namespace.HolderPid()) == 0; }, 300))
        << Buffered() << " bytes in the pipe, " << UnreadBytes(m_Namespace.HolderPid())
        << " bytes of datagrams unread\n"
        << m_Host.ErrorsTail();

    const auto stopped = std::chrono::steady_clock::now();
    m_Host.Signal(SIGTERM);
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Wait(60, exitCode)) << m_Host.Log();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
    // Alerts it took were not written: not the status of a whole run.
    EXPECT_EQ(exitCode, kExitAlertsNotWritten) << m_Host.ErrorsTail();
    const std::string log = m_Host.Log();
    static const std::regex kNotWritten(
        R"(hwhost: (\d+) alerts not written: the alert output took nothing for 2 s)");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(log, found, kNotWritten)) << log;
    const uint64_t notWritten = std::stoull(found[1].str());
    EXPECT_GT(notWritten, 0u);
    EXPECT_NE(log.find(", " + found[1].str() + " not written\n"), std::string::npos) << log;
    EXPECT_NE(m_Host.Errors().find(found[0].str()), std::string::npos) << m_Host.ErrorsTail();

    // What the pipe holds: whole documents, and the start of the one cut.
    std::string taken;
    char buffer[8192];
    for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;) {
        taken.append(buffer, static_cast<size_t>(got));
    }
    ::close(reader);
    auto after = m_Namespace.UdpCounters();
    const uint64_t arrived = after["InDatagrams"] - before["InDatagrams"] + after["RcvbufErrors"] -
                             before["RcvbufErrors"];
    const uint64_t whole = hwtest::CountOf(taken, "</event>\n\n");
    EXPECT_EQ(whole + notWritten + ReportedDrops(log), arrived)
        << "whole " << whole << ", not written " << notWritten << "\n" << log;
    std::printf("output taking nothing: %" PRIu64 " arrived, %" PRIu64 " alerts read, %" PRIu64
                " not written, ended %.1f s after the stop signal\n",
                arrived, whole, notWritten, seconds);
}

// The reader of standard output reads a little and closes its end: the
// host goes on running, says once that the output is closed, counts every
// alert after as not written instead of keeping it, and stops normally.
TEST_F(SyslogHostTest, AnAlertOutputWhoseReaderClosedItIsGivenUpAndCounted) {
    const std::string pipe = m_Host.File("hwhost.out");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    m_Host.WritePolicy(SyslogPolicy({{"Closed", "closed output", {{"User", "@Field4"}}}}));
    ASSERT_TRUE(m_Host.Start({"--alerts", ""})) << m_Host.Errors();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    const auto SendSome = [&](const std::string& tag, int count) {
        int n = 0;
        ASSERT_TRUE(m_Host.SendDatagrams([&](std::string& text) {
            text = "<38>sshd[1]: closed output for " + tag + std::to_string(n);
            return n++ < count;
        }));
    };
    SendSome("first", 3);
    // Up to the end of the first alert, then no more.
    std::string taken;
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        char buffer[512];
        const ssize_t got = ::read(reader, buffer, sizeof buffer);
        taken.append(buffer, static_cast<size_t>(std::max<ssize_t>(got, 0)));
        return taken.find("</event>") != std::string::npos;
    })) << m_Host.ErrorsTail();
    ::close(reader);

    const std::string kClosed = "hwhost: the alert output is closed (Broken pipe)";
    SendSome("second", 20);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Host.Log().find(kClosed) != std::string::npos; }))
        << m_Host.Log();
    // Sent after the output is known to be closed: none of these can have
    // been written.
    SendSome("third", 20);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return UnreadBytes(m_Namespace.HolderPid()) == 0; }));
    ASSERT_TRUE(m_Host.IsRunning()) << m_Host.ErrorsTail();

    m_Host.Signal(SIGTERM);
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Wait(30, exitCode)) << m_Host.Log();
    EXPECT_EQ(exitCode, kExitAlertsNotWritten) << m_Host.ErrorsTail();
    const std::string log = m_Host.Log();
    EXPECT_EQ(hwtest::CountOf(log, kClosed), 1u) << log;
    static const std::regex kNotWritten(
        R"(hwhost: (\d+) alerts not written: the alert output is closed\n)");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(log, found, kNotWritten)) << log;
    const uint64_t notWritten = std::stoull(found[1].str());
    EXPECT_GE(notWritten + ReportedDrops(log), 20u) << log;
    EXPECT_LE(notWritten, 42u) << log;
    EXPECT_NE(log.find(", " + found[1].str() + " not written\n"), std::string::npos) << log;
}

// An engine held by a writer that takes nothing (standard output is a pipe
// nobody reads) while a sender fills its queue to its bound: the stop
// parses what it can of the queue within its share of the stop and counts
// the rest, in the engine's stop line on the console and in the log, in
// the stop's tally and in hwhost.status, with what the bounds left out.
// Once the writer goes on, every datagram is an alert or a counted loss,
// and the sensor's stop stays well within hwhost's stop bound.
TEST_F(SyslogHostTest, AStopOfAStarvedEngineWithItsQueueFullCountsWhatItLeftInTheTallyAndTheStatus) {
    int reader = -1;
    ASSERT_NO_FATAL_FAILURE(StartWithAStuckOutput({"Starved", "starved failed", {{"User", "@Field4"}}}, reader));
    auto before = m_Namespace.UdpCounters();
    // Short datagrams, more than a second of parsing on any build.  Sent until more has reached the listener than the queue holds (some
    // 1.27 million of these at 53 bytes each, text and length), whatever
    // the system drops on a busy machine: the engine, held from its first
    // thousand alerts on, leaves the rest queued and drops what does not
    // fit.  (The held engine says its bounds only when it next looks, so
    // no line tells that the queue is full before the stop.)
    constexpr uint64_t kMoreThanTheQueueHolds = 1400000;
    uint64_t n = 0;
    const auto Delivered = [&] {
        auto now = m_Namespace.UdpCounters();
        return now["InDatagrams"] - before["InDatagrams"];
    };
    for (int round = 0; round < 40 && Delivered() < kMoreThanTheQueueHolds; ++round) {
        const uint64_t end = n + 250000;
        ASSERT_TRUE(m_Host.SendDatagrams([&](std::string& text) {
            text = "<38>sshd[1]: starved failed for user" + std::to_string(n);
            return n++ < end;
        }));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return UnreadBytes(m_Namespace.HolderPid()) == 0; }));
    }
    ASSERT_GE(Delivered(), kMoreThanTheQueueHolds);

    const auto signalled = std::chrono::steady_clock::now();
    m_Host.Signal(SIGTERM);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Log().find("hwhost: stop completed with status") != std::string::npos;
    }, hwtest::kStopBackstopSeconds)) << m_Host.ErrorsTail();
    const double stopSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    // Now the writer can go on; the host ends once everything is written.
    size_t alerts = 0;
    int exitCode = -1;
    ASSERT_TRUE(ReadAlertsUntilTheHostEnds(reader, alerts, exitCode));
    // Neither the full queue nor the stuck output held the stop past
    // hwhost's bound or an engine's.
    EXPECT_EQ("", hwtest::HeldUpStopLines(m_Host.Errors()));

    const std::string log = m_Host.Log();
    // The engine's stop line is its last drop report.
    static const std::regex kStopLine(
        R"(NTSyslog dropped \d+ datagrams: \d+ with the queue full, \d+ too large, (\d+) unparsed at a stop, (\d+) )"
        R"(left in the socket at a stop, \d+ by the system with the socket's buffer full)");
    std::string stopLine;
    uint64_t unparsed = 0;
    uint64_t leftInSocket = 0;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), kStopLine); it != std::sregex_iterator(); ++it) {
        stopLine = (*it)[0].str();
        unparsed = std::stoull((*it)[1].str());
        leftInSocket = std::stoull((*it)[2].str());
    }
    ASSERT_FALSE(stopLine.empty()) << log;
    EXPECT_GT(unparsed, 0u) << "a second of parsing does not empty a full queue: " << stopLine;
    EXPECT_NE(m_Host.Errors().find("WARNING: " + stopLine + "\n"), std::string::npos) << m_Host.ErrorsTail();

    // The tally counts it, with what the bounds left out.
    Tally tally;
    ASSERT_TRUE(ReadTally(log, tally)) << log;
    EXPECT_NE(tally.m_strLosses.find("; " + std::to_string(unparsed) + " syslog datagrams left unparsed in the queue"),
              std::string::npos)
        << tally.m_strLosses;
    EXPECT_EQ(leftInSocket != 0,
              tally.m_strLosses.find("; " + std::to_string(leftInSocket) + " syslog datagrams left in the socket") !=
                  std::string::npos)
        << tally.m_strLosses;
    static const std::regex kBoundAtStop(R"(at the stop: Bound reached: [^\n]*; (\d+) datagrams left out\n)");
    const uint64_t boundsLeftOut = SumOfMatches(log, kBoundAtStop, 1);
    EXPECT_GT(boundsLeftOut, 0u);
    EXPECT_NE(tally.m_strLosses.find("; " + std::to_string(boundsLeftOut) + " datagrams left out at the inputs' bounds"),
              std::string::npos)
        << tally.m_strLosses;

    // hwhost.status keeps the stop's line among what it learnt of the
    // policy in force.
    const std::string status = hwtest::ReadWholeFile(m_Host.File("hwhost.status"));
    EXPECT_NE(status.find("WARNING: " + stopLine), std::string::npos) << status;
    EXPECT_NE(status.find(" not written" + tally.m_strLosses), std::string::npos) << "and the tally: " << status;
    EXPECT_NE(status.find("\tstopped\t"), std::string::npos) << status;

    // Every datagram that reached the port is an alert or a counted loss.
    auto after = m_Namespace.UdpCounters();
    const uint64_t arrived = after["InDatagrams"] - before["InDatagrams"] + after["RcvbufErrors"] -
                             before["RcvbufErrors"];
    const uint64_t drops = ReportedDrops(log);
    // The alerts of the stop's second of parsing wait in the host's queue
    // within its bound of that time; what it dropped is counted.
    const uint64_t hostDrops = ExpectAlertQueueDropsAccountedFor(log, tally, exitCode);
    EXPECT_EQ(hostDrops != 0, status.find("Bound reached: hwhost's alert queue: ") != std::string::npos) << status;
    EXPECT_EQ(alerts, tally.m_qwWritten);
    EXPECT_EQ(alerts + drops + hostDrops, arrived)
        << "alerts " << alerts << ", drops " << drops << ", host drops " << hostDrops;
    std::printf("starved stop: %" PRIu64 " arrived, %zu alerts, %" PRIu64 " unparsed at the stop, %" PRIu64
                " dropped in all, %" PRIu64 " dropped by the host, sensor stopped %.1f s after the signal\n",
                arrived, alerts, unparsed, drops, hostDrops, stopSeconds);
}

// Alerts it took that no output wrote make a run end with its own status:
// here the alert file is a device that is always full.  The tally counts
// them, and a line says why the status is not 0.  The stop comes once the
// first write has failed: datagrams the engine had not yet taken by then
// (a loaded machine) are counted as the stop's drops instead.
TEST_F(SyslogHostTest, ARunWhoseAlertsWereNotWrittenEndsWithItsOwnStatus) {
    Start({{"Full", "full disk", {{"User", "@Field4"}}}}, {}, {"--alerts", "/dev/full"});
    for (int i = 0; i < 5; ++i) {
        Send("<38>sshd[1]: full disk for user" + std::to_string(i));
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_Host.Log().find("hwhost: cannot write the alert file /dev/full") != std::string::npos;
    })) << m_Host.ErrorsTail();
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Stop(exitCode));
    EXPECT_EQ(exitCode, kExitAlertsNotWritten) << m_Host.ErrorsTail();
    const std::string log = m_Host.Log();
    Tally tally;
    ASSERT_TRUE(ReadTally(log, tally)) << log;
    EXPECT_GE(tally.m_qwTaken, 1u) << log;
    EXPECT_EQ(tally.m_qwTaken + ReportedDrops(log), 5u) << log;
    EXPECT_EQ(tally.m_qwWritten, 0u);
    EXPECT_EQ(tally.m_qwNotWritten + tally.m_qwDropped, tally.m_qwTaken);
    EXPECT_NE(m_Host.Errors().find("hwhost: " + std::to_string(tally.m_qwTaken) +
                                   " of the alerts taken were not written (exit status 6)\n"),
              std::string::npos)
        << m_Host.ErrorsTail();
}

// A stop that comes while a reload is held (the tests' HW_RELOAD_HOLD_FILE)
// ends as any stop: the hold gives way to it, what was queued meanwhile is
// parsed, the tally is said and hwhost ends with 0, within its stop bound.
TEST_F(SyslogHostTest, AStopDuringAHeldReloadEndsWithTheTallyAndStatusZero) {
    const std::string hold = m_Host.File("reload.hold");
    Start({{"Held", "held failed", {{"User", "@Field4"}}}}, {"HW_RELOAD_HOLD_FILE=" + hold});
    for (int i = 0; i < 3; ++i) {
        Send("<38>sshd[1]: held failed for before" + std::to_string(i));
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertsMentioning("before").size() == 3; }))
        << m_Host.ErrorsTail();
    const std::string paused = "Reload held by HW_RELOAD_HOLD_FILE with every engine paused";
    const size_t pausesBefore = hwtest::CountOf(m_Host.Log(), paused);
    hwtest::WriteWholeFile(hold, "");
    m_Host.WritePolicy(SyslogPolicy({{"Held", "held failed", {{"User", "@Field4"}}},
                                     {"Other", "other failed", {{"User", "@Field4"}}}}),
                       "push.policy");
    m_Host.Signal(SIGHUP);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::CountOf(m_Host.Log(), paused) > pausesBefore; }, 60))
        << m_Host.ErrorsTail();
    // Taken by the listener while the reload is held: they wait in the queue.
    for (int i = 0; i < 20; ++i) {
        Send("<38>sshd[1]: held failed for during" + std::to_string(i));
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] { return UnreadBytes(m_Namespace.HolderPid()) == 0; }));
    m_Host.Signal(SIGTERM);
    int exitCode = -1;
    ASSERT_TRUE(m_Host.Wait(hwtest::kStopBackstopSeconds, exitCode)) << m_Host.ErrorsTail();
    ::unlink(hold.c_str());
    EXPECT_EQ(exitCode, 0) << m_Host.ErrorsTail();
    const std::string errors = m_Host.Errors();
    EXPECT_NE(errors.find("hwhost: sensor stopped\n"), std::string::npos) << m_Host.ErrorsTail();
    const std::string log = m_Host.Log();
    Tally tally;
    ASSERT_TRUE(ReadTally(log, tally)) << log;
    EXPECT_EQ(tally.m_qwTaken, 23u) << log;
    EXPECT_EQ(tally.m_qwWritten, 23u) << log;
    EXPECT_EQ(AlertsMentioning("during").size(), 20u);
    // The held reload did not hold the stop past hwhost's bound.
    EXPECT_EQ("", hwtest::HeldUpStopLines(errors));
}
