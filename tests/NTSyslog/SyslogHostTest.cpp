// The syslog engine end to end: the real hwhost with the real plug-in, in a
// private network namespace so it owns UDP port 514, fed by logger, socat
// and a flood sender, with the alerts read back from the host's XML output.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"

namespace {

const std::string kHwhost = std::string(HW_BINARY_DIR) + "/bin/hwhost";

// A policy value line as the settings text writes it.
std::string Value(const char* pszName, char type, const std::string& strValue) {
    return std::string(pszName) + "\t=" + type + "\t" + strValue + ";\r\n";
}

struct SyslogRule {
    std::string m_strName;
    std::string m_strPattern;
    std::vector<std::pair<std::string, std::string>> m_Info = {};
    bool m_bEnabled = true;
};

std::string PolicyText(const std::vector<SyslogRule>& rules) {
    std::string text = "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\n";
    text += Value("ScriptEnabled", 'B', "0");
    text += "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n";
    for (const SyslogRule& rule : rules) {
        const std::string strKey = "[\\Advanced\\Rules\\SysLog Rules\\" + rule.m_strName;
        text += strKey + "\\];\r\n";
        text += Value("Enabled", 'B', rule.m_bEnabled ? "1" : "0");
        text += Value("Priority", 'L', "2");
        text += Value("Alert Type", 'S', "LoginEvent");
        text += Value("Regular Expression", 'S', rule.m_strPattern);
        text += strKey + "\\Info\\];\r\n";
        for (const auto& pair : rule.m_Info) {
            text += Value(pair.first.c_str(), 'S', pair.second);
        }
    }
    return text;
}

// One alert document of the host's output, by its parameters.
struct Alert {
    std::string m_strText;
    std::string Param(const std::string& strName) const {
        const std::string strStart = "<param name='" + strName + "' type='string' value='";
        size_t at = m_strText.find(strStart);
        if (at == std::string::npos) {
            return "<absent>";
        }
        at += strStart.size();
        return m_strText.substr(at, m_strText.find('\'', at) - at);
    }
    bool Mentions(const std::string& strText) const {
        return m_strText.find(strText) != std::string::npos;
    }
};

class SyslogHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_Namespace.IsReady()) << m_Namespace.Error();
        ASSERT_FALSE(hwtest::FindProgram("logger").empty());
    }
    void TearDown() override { StopHost(); }

    void WritePolicy(const std::vector<SyslogRule>& rules, const char* pszFile = "Default.policy") {
        hwtest::WriteWholeFile(m_Root.File(pszFile), PolicyText(rules));
    }
    void StartHost(const std::vector<std::string>& environment = {}) {
        m_Host.SetErrorFile(m_Root.File("hwhost.err"));
        ASSERT_TRUE(m_Host.Start(m_Namespace.Enter({kHwhost, "run", "--root", m_Root.Path(), "--alerts",
                                                    m_Root.File("alerts.xml"), "--log",
                                                    m_Root.File("hwhost.log")}),
                                 m_Root.File("hwhost.out"), environment));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return Started() || !m_Host.IsRunning(); }, 60) &&
                    m_Host.IsRunning())
            << Errors();
    }
    void StopHost() {
        if (m_Host.Pid() > 0 && m_Host.IsRunning()) {
            ::kill(m_Host.Pid(), SIGTERM);
            int nExit = 0;
            m_Host.Wait(120, nExit);
        }
    }
    std::string Errors() { return hwtest::ReadWholeFile(m_Root.File("hwhost.err")); }
    bool Started() {
        return Errors().find("hwhost: sensor started") != std::string::npos;
    }
    std::string Log() { return hwtest::ReadWholeFile(m_Root.File("hwhost.log")); }
    bool LogContains(const std::string& strText) { return Log().find(strText) != std::string::npos; }

    // Whether a socket of the namespace is bound to UDP port 514.
    bool Listening() {
        const std::string strTable = hwtest::ReadWholeFile("/proc/" + std::to_string(HolderPid()) + "/net/udp");
        return strTable.find(":0202 ") != std::string::npos;
    }
    pid_t HolderPid() { return m_Namespace.HolderPid(); }

    void Run(const std::vector<std::string>& argv, const std::string& strInput = std::string()) {
        hwtest::ChildProcess program;
        ASSERT_TRUE(program.Start(m_Namespace.Enter(argv), m_Root.File("tool.out"), {}, !strInput.empty()));
        if (!strInput.empty()) {
            program.WriteStdin(strInput);
            program.CloseStdin();
        }
        int nExit = -1;
        ASSERT_TRUE(program.Wait(30, nExit));
        ASSERT_EQ(nExit, 0) << hwtest::ReadWholeFile(m_Root.File("tool.out"));
    }
    void Logger(const std::string& strTag, const std::string& strMessage) {
        Run({"logger", "-d", "-n", "127.0.0.1", "-P", "514", "--rfc3164", "-t", strTag, strMessage});
    }
    // Exactly these bytes as one datagram.
    void SendBytes(const std::string& strBytes) {
        Run({"socat", "-u", "STDIN", "UDP-SENDTO:127.0.0.1:514"}, strBytes);
    }

    std::vector<Alert> Alerts() {
        std::vector<Alert> alerts;
        const std::string strAll = hwtest::ReadWholeFile(m_Root.File("alerts.xml"));
        const std::string strEnd = "</event>";
        size_t nStart = 0;
        for (size_t at = strAll.find(strEnd); at != std::string::npos; at = strAll.find(strEnd, nStart)) {
            alerts.push_back(Alert{strAll.substr(nStart, at + strEnd.size() - nStart)});
            nStart = at + strEnd.size();
        }
        return alerts;
    }
    std::vector<Alert> AlertsMentioning(const std::string& strText) {
        std::vector<Alert> found;
        for (Alert& alert : Alerts()) {
            if (alert.Mentions(strText)) {
                found.push_back(alert);
            }
        }
        return found;
    }
    size_t CountAlerts(const std::string& strMarker) {
        const std::string strAll = hwtest::ReadWholeFile(m_Root.File("alerts.xml"));
        size_t nCount = 0;
        for (size_t at = strAll.find(strMarker); at != std::string::npos; at = strAll.find(strMarker, at + 1)) {
            ++nCount;
        }
        return nCount;
    }
    bool WaitForAlerts(const std::string& strText, size_t nCount = 1) {
        return hwtest::WaitUntil([&] { return AlertsMentioning(strText).size() >= nCount; }, 60);
    }

    hwtest::NetworkNamespace m_Namespace;
    hwtest::ScratchDirectory m_Root;
    hwtest::ChildProcess m_Host;
};

}  // namespace

TEST_F(SyslogHostTest, LoggerMessagesBecomeAlertsWithTheRuleAndTheirFields) {
    WritePolicy({{"Failed su", "FAILED SU", {{"User", "@Field9"}, {"Server", "@Host"}, {"Sender", "@Remote"}}},
                 {"Other", "never matches this"}});
    StartHost();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    Logger("su", "FAILED SU (to root) alice on pts/0");
    ASSERT_TRUE(WaitForAlerts("Failed su")) << Errors();
    std::vector<Alert> alerts = AlertsMentioning("Failed su");
    ASSERT_EQ(alerts.size(), 1u);
    const Alert& alert = alerts[0];
    EXPECT_EQ(alert.Param("Log Type"), "Syslog");
    // "<13>Mmm dd hh:mm:ss host su: FAILED SU (to root) alice": field 9 is
    // the user whatever the host name, as the date has three fields.
    EXPECT_EQ(alert.Param("User"), "alice");
    EXPECT_EQ(alert.Param("Sender"), "127.0.0.1");
    char szHost[256] = {};
    ::gethostname(szHost, sizeof szHost - 1);
    EXPECT_EQ(alert.Param("Server"), szHost);
    EXPECT_TRUE(AlertsMentioning("Other").empty());
}

TEST_F(SyslogHostTest, ExactBytesAreSplitIntoFieldsAtBlanksTabsPercentAndLineEnds) {
    WritePolicy({{"Fields", "^alpha",
                  {{"F0", "@Field0"}, {"F1", "@Field1"}, {"F2", "@Field2"}, {"F3", "@Field3"},
                   {"F4", "@Field4"}, {"Missing", "@Field5"}, {"Value", "key={!};"}}}});
    StartHost();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    SendBytes("alpha  beta\tgamma%%delta\r\nkey=v1;");
    ASSERT_TRUE(WaitForAlerts("Fields")) << Errors();
    const Alert alert = AlertsMentioning("Fields")[0];
    EXPECT_EQ(alert.Param("F0"), "alpha");
    EXPECT_EQ(alert.Param("F1"), "beta");
    EXPECT_EQ(alert.Param("F2"), "gamma");
    EXPECT_EQ(alert.Param("F3"), "delta");
    EXPECT_EQ(alert.Param("F4"), "key=v1;");
    EXPECT_EQ(alert.Param("Missing"), "");
    EXPECT_EQ(alert.Param("Value"), "v1");
}

TEST_F(SyslogHostTest, MessageSentWhilePausedIsNotReported) {
    WritePolicy({{"Marker", "marker", {{"Which", "@Field1"}}}});
    StartHost();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    SendBytes("marker before");
    ASSERT_TRUE(WaitForAlerts("before"));
    ::kill(m_Host.Pid(), SIGUSR1);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !Listening(); }));
    SendBytes("marker paused");
    ::kill(m_Host.Pid(), SIGUSR2);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    SendBytes("marker after");
    ASSERT_TRUE(WaitForAlerts("after"));
    EXPECT_TRUE(AlertsMentioning("paused").empty());
    EXPECT_EQ(AlertsMentioning("Marker").size(), 2u);
}

TEST_F(SyslogHostTest, PortHeldByAnotherSocketIsReportedInTheHostLog) {
    WritePolicy({{"Any", "x"}});
    hwtest::ChildProcess holder;
    ASSERT_TRUE(holder.Start(m_Namespace.Enter({"socat", "-u", "UDP-RECV:514", "OPEN:/dev/null"})));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    StartHost();
    EXPECT_TRUE(hwtest::WaitUntil([&] { return LogContains("Syslog port (514) already in use on system."); }))
        << Log();
    EXPECT_NE(Errors().find("ERROR: Syslog port (514) already in use on system\n"), std::string::npos);
}

TEST_F(SyslogHostTest, RuleTableWithoutAnEnabledRuleOpensNoSocket) {
    SyslogRule off{"Off", "x"};
    off.m_bEnabled = false;
    WritePolicy({off});
    StartHost();
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return Errors().find("No valid Syslog rules for NT. SyslogListener will not Start\n") != std::string::npos; }))
        << Errors();
    EXPECT_FALSE(Listening());
}

TEST_F(SyslogHostTest, ReloadChangesTheRulesWithoutRestartingTheHost) {
    WritePolicy({{"Old rule", "ping", {{"Text", "@Field1"}}}});
    StartHost();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    SendBytes("ping one");
    ASSERT_TRUE(WaitForAlerts("Old rule"));

    const pid_t hostPid = m_Host.Pid();
    WritePolicy({{"New rule", "pong", {{"Text", "@Field1"}}}}, "push.policy");
    ::kill(hostPid, SIGHUP);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !std::filesystem::exists(m_Root.File("push.policy")); }));
    // The reload resumes the listener; the port then answers again.
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        SendBytes("pong two");
        return AlertsMentioning("New rule").size() >= 1;
    }));
    SendBytes("ping three");
    SendBytes("pong marker");
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertsMentioning("marker").size() >= 1; }));
    EXPECT_EQ(AlertsMentioning("Old rule").size(), 1u);
    EXPECT_TRUE(m_Host.IsRunning());
    EXPECT_EQ(m_Host.Pid(), hostPid);
}

namespace {

// Sends `nCount` datagrams to port 514 of the namespace from a thread that
// has joined it, as fast as the socket takes them.
void Flood(pid_t holder, uint64_t nCount, size_t nSize) {
    std::thread sender([&] {
        // Only this thread moves into the namespace.
        int sock = hwtest::ConnectUdpInNamespaceOf(holder, 514);
        if (sock < 0) {
            ADD_FAILURE() << "cannot join the namespace";
            return;
        }
        std::string strText(nSize, '.');
        for (uint64_t n = 0; n < nCount; ++n) {
            const int nLength = std::snprintf(strText.data(), strText.size(),
                                              "<38>sshd[1]: flood failed for user%" PRIu64 " ", n);
            strText[static_cast<size_t>(nLength)] = '.';
            while (::send(sock, strText.data(), strText.size(), 0) < 0 &&
                   (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)) {
            }
        }
        ::close(sock);
    });
    sender.join();
}

uint64_t ResidentKilobytes(pid_t pid) {
    const std::string strStatus = hwtest::ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = strStatus.find("VmRSS:");
    return at == std::string::npos ? 0 : std::strtoull(strStatus.c_str() + at + 6, nullptr, 10);
}

// The drops the engine reported in the host log.
uint64_t ReportedDrops(const std::string& strLog) {
    const std::string strMarker = "NTSyslog dropped ";
    uint64_t total = 0;
    for (size_t at = strLog.find(strMarker); at != std::string::npos; at = strLog.find(strMarker, at + 1)) {
        total += std::strtoull(strLog.c_str() + at + strMarker.size(), nullptr, 10);
    }
    return total;
}

}  // namespace

TEST_F(SyslogHostTest, FloodOfDatagramsIsEitherReportedOrCountedAsDroppedWithBoundedMemory) {
    constexpr uint64_t kDatagrams = 200000;
    WritePolicy({{"Flood", "flood failed", {{"User", "@Field4"}}}});
    // A small quarantine keeps freed memory from counting as growth.
    StartHost({"ASAN_OPTIONS=quarantine_size_mb=8"});
    ASSERT_TRUE(hwtest::WaitUntil([&] { return Listening(); }));
    const uint64_t qwRssBefore = ResidentKilobytes(m_Host.Pid());
    auto before = m_Namespace.UdpCounters();

    std::atomic<bool> bDone{false};
    std::atomic<uint64_t> qwPeak{0};
    std::thread watcher([&] {
        while (!bDone) {
            qwPeak = std::max<uint64_t>(qwPeak, ResidentKilobytes(m_Host.Pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    // Datagrams of a kilobyte: 200 MB if the sensor kept them all.
    Flood(HolderPid(), kDatagrams, 1000);
    // The engine works through its queue and the host through what it took;
    // the count of alerts settles.
    size_t nAlerts = CountAlerts("alert-name='Flood'");
    for (int nPass = 0; nPass < 600; ++nPass) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const size_t nNow = CountAlerts("alert-name='Flood'");
        if (nNow == nAlerts) {
            break;
        }
        nAlerts = nNow;
    }
    bDone = true;
    watcher.join();
    // Stopping closes the socket and makes the engine account for every
    // drop; what the listener never read is the kernel's.
    ::kill(m_Host.Pid(), SIGTERM);
    int nExit = -1;
    ASSERT_TRUE(m_Host.Wait(120, nExit));
    const std::string strErrors = Errors();
    EXPECT_EQ(nExit, 0) << strErrors.substr(strErrors.size() - std::min<size_t>(strErrors.size(), 3000));
    auto after = m_Namespace.UdpCounters();
    nAlerts = CountAlerts("alert-name='Flood'");
    const uint64_t qwDelivered = after["InDatagrams"] - before["InDatagrams"];
    const uint64_t qwDrops = ReportedDrops(Log());
    EXPECT_GT(qwDelivered, 0u);
    EXPECT_EQ(nAlerts + qwDrops, qwDelivered)
        << "alerts " << nAlerts << ", drops " << qwDrops << ", kernel drops "
        << after["RcvbufErrors"] - before["RcvbufErrors"];
    // The queue holds at most 16 MB of text; everything else is the host's.
    EXPECT_LT(qwPeak - qwRssBefore, 150u * 1024);
    std::printf("flood: %" PRIu64 " delivered, %zu alerts, %" PRIu64 " dropped, RSS %" PRIu64
                " -> peak %" PRIu64 " kB\n",
                qwDelivered, nAlerts, qwDrops, qwRssBefore, qwPeak.load());
}
