// Rule scripts end to end: hwhost with the real plug-in starts the script
// process, which validates each syslog alert with the rule's script.  The
// script turns one user's alert away and marks every other one.

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostStatusFile.h"
#include "platform/NamedObject.h"
#include "support/ChildProcess.h"
#include "support/NamespacedHost.h"
#include "support/StopSummary.h"
#include "support/StreamLosses.h"
#include "support/ThrowawayAccounts.h"

namespace {

// A syslog rule whose "Validation" script rejects the user "mallory" and
// leaves a "__qor_" variable on the alerts it accepts.
const std::string kScriptPolicy =
    "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t1;\r\n"
    "TclRequestQsize\t=L\t512;\r\n"
    "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Checked login\\];\r\n"
    "Enabled\t=B\t1;\r\nPriority\t=L\t2;\r\nAlert Type\t=S\tLoginEvent;\r\n"
    "Regular Expression\t=S\tlogin failed;\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Checked login\\Info\\];\r\nUser\t=S\t@Field4;\r\n"
    "[\\Advanced\\Rules\\SysLog Rules\\Checked login\\Script\\];\r\n"
    "Enabled\t=B\t1;\r\nScriptType\t=S\tTCL;\r\n"
    "Procedures\t=S\tproc verdict {user} {\\n  return [expr {$user ne \"mallory\"}]\\n};\r\n"
    "Initial\t=S\tset checked 0;\r\n"
    "Validation\t=S\tincr checked\\nset __qor_verdict \"checked $checked\"\\n"
    "return [verdict $User];\r\n";

// Another account's program that takes the loopback ports a script process
// would listen on (8161 for the first start and the two restarts after it)
// before the sensor starts, and reports every connection and byte it gets.
const char kImpostor[] =
    "import select, socket, sys\n"
    "ports = []\n"
    "for port in (8161, 8162, 8163):\n"
    "    s = socket.socket()\n"
    "    s.bind(('127.0.0.1', port))\n"
    "    s.listen(8)\n"
    "    ports.append(s)\n"
    "print('listening', flush=True)\n"
    "peers = []\n"
    "while True:\n"
    "    ready = select.select(ports + peers, [], [])[0]\n"
    "    for s in ready:\n"
    "        if s in ports:\n"
    "            peer = s.accept()[0]\n"
    "            peers.append(peer)\n"
    "            print('connection on', s.getsockname()[1], flush=True)\n"
    "        else:\n"
    "            data = s.recv(65536)\n"
    "            print('received', len(data), 'bytes', flush=True)\n"
    "            if not data:\n"
    "                peers.remove(s)\n";

// The script process hwhost started (its child named tclProc), or 0.
pid_t ScriptProcessOf(pid_t host) {
    DIR* pProc = ::opendir("/proc");
    pid_t found = 0;
    while (dirent* pEntry = pProc != nullptr ? ::readdir(pProc) : nullptr) {
        const std::string strStat =
            hwtest::ReadWholeFile(std::string("/proc/") + pEntry->d_name + "/stat");
        const size_t nEnd = strStat.rfind(") ");
        if (nEnd == std::string::npos || strStat.find("(tclProc)") == std::string::npos) {
            continue;
        }
        std::istringstream fields(strStat.substr(nEnd + 2));
        std::string strState;
        pid_t parent = 0;
        fields >> strState >> parent;
        if (parent == host && strState != "Z") {
            found = static_cast<pid_t>(std::stoi(pEntry->d_name));
        }
    }
    if (pProc != nullptr) {
        ::closedir(pProc);
    }
    return found;
}

// The log lines at ERROR level that the script handler wrote.
std::string ScriptHandlerErrors(const std::string& strLog) {
    std::istringstream lines(strLog);
    std::string strLine;
    std::string strErrors;
    while (std::getline(lines, strLine)) {
        // The thread's end is given at the error level whatever ended it.
        if (strLine.find(" ERROR ") != std::string::npos &&
            strLine.find("TclHandler/") != std::string::npos &&
            !strLine.ends_with(": TclHandler exiting...")) {
            strErrors += strLine + "\n";
        }
    }
    return strErrors;
}

// Sends a failed login for each user in turn.
bool SendLogins(const hwtest::NamespacedHost& host, const std::vector<std::string>& users) {
    bool bSent = true;
    for (const std::string& strUser : users) {
        bSent = host.SendDatagram("<38>sshd[1]: login failed for " + strUser) && bSent;
    }
    return bSent;
}

// Waits for the alert that names `strUser`.  One script process runs the
// validations in order, so by then the fate of every login sent before it
// is decided.
bool AlertArrives(const hwtest::NamespacedHost& host, const std::string& strUser) {
    return hwtest::WaitUntil([&] { return host.Alerts().find(strUser) != std::string::npos; }, 90);
}

// Stops the host; its alerts, which must be two and none of them mallory's.
std::string StopWithTwoAlertsNoneOfMallory(hwtest::NamespacedHost& host) {
    int exitCode = -1;
    EXPECT_TRUE(host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << host.ErrorsTail();
    const std::string alerts = host.Alerts();
    EXPECT_EQ(2u, hwtest::CountOf(alerts, "</event>")) << alerts;
    EXPECT_EQ(std::string::npos, alerts.find("mallory")) << alerts;
    return alerts;
}

// The policy with one change.
std::string Changed(std::string strPolicy, const std::string& strFrom, const std::string& strTo) {
    const size_t nAt = strPolicy.find(strFrom);
    EXPECT_NE(std::string::npos, nAt) << strFrom;
    if (nAt != std::string::npos) {
        strPolicy.replace(nAt, strFrom.size(), strTo);
    }
    return strPolicy;
}

// The script policy with a validation that waits `nWaitMs` before it
// answers, and at most 100 runs queued for the script process.
std::string SlowScriptPolicy(int nWaitMs) {
    const std::string strPolicy =
        Changed(kScriptPolicy, "Validation\t=S\tincr checked\\nset __qor_verdict \"checked $checked\"",
                "Validation\t=S\tafter " + std::to_string(nWaitMs) + "\\nset __qor_verdict \"checked\"");
    return Changed(strPolicy, "[\\Advanced\\];",
                   "[\\config\\tuning\\];\r\nTclCmdQSize\t=L\t100;\r\n[\\Advanced\\];");
}

// Starts the host on `strPolicy` and waits until its syslog port is open
// and its scripts are with the script process.
::testing::AssertionResult StartWithScripts(hwtest::NamespacedHost& host,
                                            const std::string& strPolicy) {
    host.WritePolicy(strPolicy);
    if (!host.Start()) {
        return ::testing::AssertionFailure() << host.ErrorsTail();
    }
    if (!hwtest::WaitUntil([&] { return host.SyslogPortOpen(); }, 30)) {
        return ::testing::AssertionFailure() << "the syslog port did not open";
    }
    if (!hwtest::WaitUntil(
            [&] {
                return host.Log().find("Completed tcl script initialization!") !=
                       std::string::npos;
            },
            60)) {
        return ::testing::AssertionFailure() << host.Log();
    }
    return ::testing::AssertionSuccess();
}

// `qwCount` datagrams at `qwRate` a second, the n-th made by `text`(n).
bool SendAtRate(const hwtest::NamespacedHost& host, uint64_t qwCount, uint64_t qwRate,
                const std::function<std::string(uint64_t)>& text) {
    uint64_t nSent = 0;
    const auto start = std::chrono::steady_clock::now();
    return host.SendDatagrams([&](std::string& strText) {
        if (nSent == qwCount) {
            return false;
        }
        if (nSent % 10 == 0) {
            std::this_thread::sleep_until(start +
                                          std::chrono::microseconds(nSent * 1000000 / qwRate));
        }
        strText = text(nSent++);
        return true;
    });
}

// When the sensor made an alert, from its alert-date-time (UTC) and
// alert-time-precision (nanoseconds into that second); -1 when the alert
// gives neither.
double AlertMadeAt(const std::string& strAlert) {
    const std::string strDate = "alert-date-time='";
    const std::string strPrecision = "alert-time-precision='";
    const size_t nDate = strAlert.find(strDate);
    const size_t nPrecision = strAlert.find(strPrecision);
    if (nDate == std::string::npos || nPrecision == std::string::npos) {
        return -1;
    }
    std::tm when{};
    if (::strptime(strAlert.c_str() + nDate + strDate.size(), "%Y-%m-%dT%H:%M:%S", &when) == nullptr) {
        return -1;
    }
    return static_cast<double>(::timegm(&when)) +
           std::strtod(strAlert.c_str() + nPrecision + strPrecision.size(), nullptr) / 1e9;
}

// The newest record of the host's status file.
HostStatusRecord NewestStatus(const hwtest::NamespacedHost& host) {
    const std::vector<HostStatusRecord> records = HostStatusFile(host.Root()).Read();
    return records.empty() ? HostStatusRecord() : records.back();
}

// The scripts' line among the engine lines of the newest status record.
std::string ScriptsLine(const hwtest::NamespacedHost& host) {
    for (const std::string& strLine : NewestStatus(host).m_engines) {
        if (strLine.rfind("Rule scripts: ", 0) == 0) {
            return strLine;
        }
    }
    return "<no scripts line>";
}

// Kills each script process the host starts, up to the restart limit.
bool KillScriptProcessThrice(const hwtest::NamespacedHost& host) {
    pid_t previous = 0;
    for (int n = 0; n < 3; ++n) {
        pid_t current = 0;
        if (!hwtest::WaitUntil(
                [&] {
                    current = ScriptProcessOf(host.Pid());
                    return current != 0 && current != previous;
                },
                60)) {
            return false;
        }
        ::kill(current, SIGKILL);
        previous = current;
    }
    return true;
}

// How many times each login came as an alert (index n: u<n>), the alerts
// of logins never sent (u0 and those past `qwCount`), and how many alerts
// lack the verdict its validation leaves.
struct LoginTally {
    std::vector<unsigned> m_times;
    std::string m_strUnsent;
    uint64_t m_qwAlerts = 0;
    uint64_t m_qwUnmarked = 0;
    // The alerts of the stream's last marker (the user "end").
    uint64_t m_qwEnds = 0;
};

// The alert of the user "end", the last marker of a stream of logins.
constexpr char kEndAlert[] = "<param name='User' type='string' value='end'";

// Before a stop: the login of the user "end", sent until its alert is
// written, for as long as alerts keep coming.  One script process
// validates in order, so by then every login sent before it is alerted or
// dropped.
hwtest::MarkerWait AwaitEndAlert(const hwtest::NamespacedHost& host) {
    return hwtest::AwaitLastMarker([&] { return host.SendDatagram("<38>sshd[1]: login failed for end"); },
                                   [&] { return host.Alerts().find(kEndAlert) != std::string::npos; },
                                   [&] { return hwtest::CountOf(host.Alerts(), "</event>"); });
}

LoginTally TallyLogins(const std::string& strAlerts, uint64_t qwCount) {
    LoginTally tally;
    tally.m_times.assign(qwCount + 1, 0);
    for (size_t nAt = 0, nEnd = 0; (nEnd = strAlerts.find("</event>", nAt)) != std::string::npos; nAt = nEnd + 1) {
        const std::string strAlert = strAlerts.substr(nAt, nEnd - nAt);
        ++tally.m_qwAlerts;
        tally.m_qwUnmarked += strAlert.find("__qor_verdict") == std::string::npos ? 1 : 0;
        if (strAlert.find(kEndAlert) != std::string::npos) {
            ++tally.m_qwEnds;
            continue;
        }
        const std::string strUser = "<param name='User' type='string' value='u";
        const size_t nUser = strAlert.find(strUser);
        const uint64_t n = nUser != std::string::npos ? std::strtoull(strAlert.c_str() + nUser + strUser.size(), nullptr, 10) : 0;
        if (n == 0 || n > qwCount) {
            tally.m_strUnsent += tally.m_strUnsent.size() < 200 ? " u" + std::to_string(n) : "";
        } else {
            ++tally.m_times[n];
        }
    }
    return tally;
}

constexpr char kSyslogInput[] = "syslog datagrams to UDP port 514";

// Logins offered steadily, one every `interval`, through `nPushes` pushes
// (the next one once `qwBetween` more logins were offered), to a rule that
// requires its script: no login may be alerted twice, every alert is
// validated once and none is passed on unvalidated.  On a machine that
// keeps up every login is one alert and none is dropped.  One too busy for
// the rate (a script process that takes seconds to start, its runs past
// their bound) may drop logins, but the stop counts each of them, exactly.
// Which reload says a drop is not checked here: a run is dropped when it
// meets a bound or when a process still owes its answer is ended, which
// may be a reload or more after its login arrived, and is said then.
void ExpectLoginsThroughPushesEachValidatedOnce(hwtest::NamespacedHost& host, int nPushes,
                                                std::chrono::microseconds interval,
                                                uint64_t qwBetween = 0) {
    const std::string strPolicy = Changed(
        Changed(kScriptPolicy, "Enabled\t=B\t1;\r\nPriority", "Enabled\t=B\t1;\r\nNeedTcl\t=B\t1;\r\nPriority"),
        "ScriptEnabled\t=B\t1;\r\n", "ScriptEnabled\t=B\t1;\r\nNodekeeper\t=B\t0;\r\n");
    ASSERT_TRUE(StartWithScripts(host, strPolicy));
    hwtest::DatagramStream logins(host, "<38>sshd[1]: login failed for u", interval);
    ASSERT_TRUE(AlertArrives(host, "value='u1'")) << host.Log();
    for (int nPush = 1; nPush <= nPushes; ++nPush) {
        ASSERT_TRUE(host.Reload(strPolicy)) << nPush << "\n" << host.ErrorsTail();
        const uint64_t qwAtPush = logins.Sent();
        hwtest::WaitUntil([&] { return logins.Sent() >= qwAtPush + qwBetween; }, 30);
    }
    const uint64_t qwAtLastPush = logins.Sent();
    EXPECT_TRUE(hwtest::WaitUntil([&] { return logins.Sent() >= qwAtLastPush + 20; }, 30));
    logins.Stop();
    ASSERT_TRUE(logins.AllSent());
    const uint64_t qwCount = logins.Sent();
    const hwtest::MarkerWait ends = AwaitEndAlert(host);
    EXPECT_TRUE(ends.m_bAlerted) << "the last marker was not alerted after " << ends.m_dSeconds
                                 << " s, the alerts no longer coming\n"
                                 << host.ErrorsTail();
    int nExit = -1;
    ASSERT_TRUE(host.Stop(nExit));
    EXPECT_EQ(0, nExit);

    const LoginTally tally = TallyLogins(host.Alerts(), qwCount);
    EXPECT_EQ("", tally.m_strUnsent) << "of " << qwCount;
    EXPECT_EQ(0u, tally.m_qwUnmarked);
    const hwtest::StopSummary summary = hwtest::ReadStopSummary(host.Log());
    EXPECT_EQ(tally.m_qwAlerts, summary.m_qwValidated);
    EXPECT_EQ(0u, summary.m_qwUnvalidated) << summary.m_qwUnvalidated << " passed on unvalidated";
    // Every loss once, from the lines that say it: the scripted alerts the
    // stop counts as dropped, each bound of the syslog port once, and the
    // datagrams its stop dropped; markers lost are among them.
    const uint64_t qwMarkersLost = ends.m_qwSent - std::min<uint64_t>(ends.m_qwSent, tally.m_qwEnds);
    const uint64_t qwSaid = summary.m_qwDropped + hwtest::SyslogSaidLost(host.Errors(), host.Log());
    const uint64_t qwCounted = qwSaid - std::min(qwSaid, qwMarkersLost);
    const hwtest::StreamLossCheck check = hwtest::CheckStreamLosses(logins.SentAt(), tally.m_times, qwCounted, {});
    EXPECT_EQ("", check.m_strWrong) << check.m_strSummary;
    EXPECT_EQ(check.m_qwMissing, qwCounted) << summary.m_qwDropped << " scripted alerts dropped, "
                                            << summary.m_qwSyslogDropped << " datagrams dropped by the syslog engine, "
                                            << qwMarkersLost << " of " << ends.m_qwSent << " markers lost";
    EXPECT_EQ(static_cast<size_t>(nPushes + 1),
              hwtest::CountOf(host.Log(), "Completed tcl script initialization!"));
    std::printf("%" PRIu64 " logins through %d pushes: %s\n", qwCount, nPushes, check.m_strSummary.c_str());
}

// What the sensor says of the store while a process of an earlier build
// holds its lock.
const std::string kStoreHeldOff =
    "Rule scripts: OFF: the shared store tclProc.dat could not be opened: its lock _ShMem_sem_ "
    "could not be made (The handle is invalid); the alerts of rules with a script go on "
    "unvalidated, or are dropped when their rule requires it";

// The scripted rule's policy, network monitoring off.
std::string ScriptPolicyWithoutNetworkMonitoring() {
    return Changed(kScriptPolicy, "ScriptEnabled\t=B\t1;\r\n",
                   "ScriptEnabled\t=B\t1;\r\nNodekeeper\t=B\t0;\r\n");
}

// Starts `holder` keeping the shared store's lock as a script process of an
// earlier build does (that build's layout, held with the shared lock of its
// users), then the host on the scripted rule, which must say at its
// start-up that rule scripts are off for it.
::testing::AssertionResult StartWithTheStoreHeld(hwtest::NamespacedHost& host,
                                                 hwtest::ChildProcess& holder) {
    const std::string strHeld = host.File("holder.out");
    if (!holder.Start({HW_NAMED_OBJECT_PEER, "hold-earlier-layout", "_ShMem_sem_",
                       plat::ObjectScopeOfRoot(host.Root())},
                      strHeld, {"ASAN_OPTIONS=detect_leaks=0"}, true) ||
        !hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(strHeld) == "held\n"; }, 30)) {
        return ::testing::AssertionFailure() << "holder: " << hwtest::ReadWholeFile(strHeld);
    }
    host.WritePolicy(ScriptPolicyWithoutNetworkMonitoring());
    if (!host.Start()) {
        return ::testing::AssertionFailure() << host.ErrorsTail();
    }
    if (!hwtest::WaitUntil([&] { return host.SyslogPortOpen(); }, 30)) {
        return ::testing::AssertionFailure() << "the syslog port did not open";
    }
    if (host.Errors().find("WARNING: after the start-up: " + kStoreHeldOff + "\n") == std::string::npos ||
        ScriptsLine(host) != kStoreHeldOff) {
        return ::testing::AssertionFailure() << ScriptsLine(host) << "\n" << host.ErrorsTail();
    }
    return ::testing::AssertionSuccess();
}

// Ends the holder, then has `bringBack` (a SIGHUP or a push) bring the
// scripts back: the console's NOTICE, "on" in hwhost.status, the script
// validating the alerts; and the stop does not say them off.
void ExpectScriptsBackOnceTheHolderEnded(hwtest::NamespacedHost& host, hwtest::ChildProcess& holder,
                                         const std::function<void()>& bringBack) {
    holder.CloseStdin();
    int nHolderExit = -1;
    ASSERT_TRUE(holder.Wait(30, nHolderExit));
    EXPECT_EQ(0, nHolderExit);
    bringBack();
    const std::string strBack =
        "NOTICE: Rule scripts: on again: the shared store tclProc.dat was opened and the script "
        "process started\n";
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            return ScriptsLine(host) == "Rule scripts: on" &&
                   host.Errors().find(strBack) != std::string::npos;
        },
        30))
        << ScriptsLine(host) << "\n" << host.ErrorsTail();
    ASSERT_TRUE(SendLogins(host, {"mallory", "alice", "bob"}));
    ASSERT_TRUE(AlertArrives(host, "bob")) << host.Log();
    const std::string strAlerts = StopWithTwoAlertsNoneOfMallory(host);
    EXPECT_EQ(2u, hwtest::CountOf(strAlerts, "__qor_verdict")) << strAlerts;
    EXPECT_EQ(std::string::npos, host.Errors().find("at the stop: Rule scripts: OFF"))
        << host.ErrorsTail();
    EXPECT_EQ(1u, hwtest::CountOf(host.Errors(), strBack)) << host.ErrorsTail();
}

class ScriptHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
    }

    hwtest::NetworkNamespace m_namespace;
};

}  // namespace

TEST_F(ScriptHostTest, ValidationScriptRejectsOneAlertMarksTheOtherAndIsSentAgainAfterAReload) {
    hwtest::NamespacedHost host(m_namespace);
    host.WritePolicy(kScriptPolicy);
    ASSERT_TRUE(host.Start()) << host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return host.SyslogPortOpen(); }, 30));
    // The start-up's summary waited for the process to take the scripts:
    // they are with it already, and a reload at once stops it quietly.
    EXPECT_EQ(1u, hwtest::CountOf(host.Log(), "Completed tcl script initialization!"));
    ASSERT_TRUE(host.Reload(kScriptPolicy)) << host.ErrorsTail();

    ASSERT_TRUE(SendLogins(host, {"mallory", "alice"}));
    ASSERT_TRUE(AlertArrives(host, "alice")) << host.Log();

    // A reload stops the process and starts a new one, which must get the
    // scripts again: its count starts afresh.
    ASSERT_TRUE(host.Reload(kScriptPolicy)) << host.ErrorsTail();
    ASSERT_TRUE(SendLogins(host, {"bob"}));
    ASSERT_TRUE(AlertArrives(host, "bob")) << host.Log();

    const std::string alerts = StopWithTwoAlertsNoneOfMallory(host);
    EXPECT_NE(std::string::npos, alerts.find("__qor_verdict")) << alerts;
    // Both first alerts went through the script, so alice's count is 2;
    // bob's is the first of the new process.
    EXPECT_NE(std::string::npos, alerts.find("checked 2")) << alerts;
    EXPECT_NE(std::string::npos, alerts.find("checked 1")) << alerts;
    // Every process got its scripts, and no stop was taken for a failure.
    const std::string strLog = host.Log();
    EXPECT_EQ(3u, hwtest::CountOf(strLog, "Started TclProc ("));
    EXPECT_EQ(3u, hwtest::CountOf(strLog, "Completed tcl script initialization!"));
    EXPECT_EQ("", ScriptHandlerErrors(strLog));
    const std::string errors = host.Errors();
    EXPECT_EQ(std::string::npos, errors.find("AddressSanitizer")) << host.ErrorsTail();
    EXPECT_EQ(std::string::npos, errors.find("runtime error")) << host.ErrorsTail();
}

// Logins offered steadily, a hundred a second, through four pushes, for a
// rule that requires its script: each push pauses the engines, then lets
// the script process answer every alert that waits for it before a new
// process takes the new policy's scripts, so every login is one alert,
// validated once, and none is passed on unvalidated or dropped.
TEST_F(ScriptHostTest, AlertsOfferedThroughPushesAreEachValidatedOnce) {
    hwtest::NamespacedHost host(m_namespace);
    ExpectLoginsThroughPushesEachValidatedOnce(host, 4, std::chrono::milliseconds(10));
}

// The same at 500 logins a second through three pushes a second apart: the
// logins that arrive while a push has the script process started again and
// its scripts taken wait for it, each validated once.  (A push kept the
// process away for a second, and the logins of that second and of the
// reload itself overflowed the 512 runs queued for it.)  About 5 s.
TEST_F(ScriptHostTest, FiveHundredAlertsASecondThroughThreePushesAreEachValidatedOnce) {
    hwtest::NamespacedHost host(m_namespace);
    ExpectLoginsThroughPushesEachValidatedOnce(host, 3, std::chrono::microseconds(2000), 500);
}

// Another account listening first on every port a script process could be
// told to listen on gets no connection and no byte, through a start and a
// restart: the process the sensor starts is reached through a connection it
// inherits, so the scripts still decide.  A killed process is noticed,
// reported and started again.
TEST_F(ScriptHostTest, ImpostorOnTheScriptPortsGetsNothingAndAKilledProcessIsStartedAgain) {
    hwtest::NamespacedHost host(m_namespace);
    host.WritePolicy(kScriptPolicy);
    const std::string strImpostorOut = host.File("impostor.out");
    hwtest::ChildProcess impostor;
    ASSERT_TRUE(impostor.Start(
        m_namespace.Enter(
            hwtest::ThrowawayAccounts::As("nobody", {"/usr/bin/python3", "-c", kImpostor})),
        strImpostorOut));
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            return hwtest::ReadWholeFile(strImpostorOut) == "listening\n" || !impostor.IsRunning();
        },
        30));
    ASSERT_EQ("listening\n", hwtest::ReadWholeFile(strImpostorOut));

    ASSERT_TRUE(host.Start()) << host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return host.SyslogPortOpen(); }, 30));
    ASSERT_TRUE(SendLogins(host, {"mallory", "alice"}));
    ASSERT_TRUE(AlertArrives(host, "alice")) << host.Log();

    const pid_t first = ScriptProcessOf(host.Pid());
    ASSERT_GT(first, 0);
    ASSERT_EQ(0, ::kill(first, SIGKILL));
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            return hwtest::CountOf(host.Log(), "Completed tcl script initialization!") == 2;
        },
        90))
        << host.Log();
    EXPECT_NE(first, ScriptProcessOf(host.Pid()));
    ASSERT_TRUE(SendLogins(host, {"mallory", "carol"}));
    ASSERT_TRUE(AlertArrives(host, "carol")) << host.Log();

    StopWithTwoAlertsNoneOfMallory(host);
    EXPECT_NE(std::string::npos,
              host.Log().find("TclProc " + std::to_string(first) + " ended (signal 9)"))
        << host.Log();
    EXPECT_EQ("listening\n", hwtest::ReadWholeFile(strImpostorOut));
}

// Scripting that the policy switches off is said in the start-up summary
// and by push, and the warning the sensor logs for it is no finding about
// the policy.  The alerts of the scripted rule then go on unvalidated, and
// the stop counts them so; once a push switches scripting on, the script
// decides.
TEST_F(ScriptHostTest, ScriptingThePolicySwitchesOffIsSaidButIsNoFinding) {
    hwtest::NamespacedHost host(m_namespace);
    const std::string strPolicy =
        Changed(kScriptPolicy, "ScriptEnabled\t=B\t1", "ScriptEnabled\t=B\t0");
    host.WritePolicy(strPolicy);
    ASSERT_TRUE(host.Start()) << host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return host.SyslogPortOpen(); }, 30));
    const std::string strLine = "  Rule scripts: off, as the policy has it (ScriptEnabled)\n";
    EXPECT_NE(std::string::npos, host.Errors().find(strLine)) << host.Errors();
    EXPECT_EQ(std::string::npos, host.Errors().find("RULEWEAVE")) << host.Errors();
    // The sensor says it in its log as a warning all the same.
    const std::string strLog = host.Log();
    const size_t nSaid = strLog.find(": RULEWEAVE is disabled globally.\n");
    ASSERT_NE(std::string::npos, nSaid) << strLog;
    const size_t nLineStart = strLog.rfind('\n', nSaid) + 1;
    EXPECT_NE(std::string::npos, strLog.substr(nLineStart, nSaid - nLineStart).find(" WARNING "))
        << strLog.substr(nLineStart, nSaid - nLineStart);

    hwtest::WriteWholeFile(host.File("again.policy"), strPolicy);
    hwtest::ChildProcess push;
    ASSERT_TRUE(push.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "push", "--root",
                            host.Root(), "--wait", "120", host.File("again.policy")},
                           host.File("push.out")));
    int nPushExit = -1;
    ASSERT_TRUE(push.Wait(180, nPushExit));
    const std::string strPushed = hwtest::ReadWholeFile(host.File("push.out"));
    EXPECT_NE(std::string::npos, strPushed.find(strLine)) << strPushed;
    EXPECT_EQ(std::string::npos, strPushed.find("RULEWEAVE")) << strPushed;
    const std::string strStatus = hwtest::ReadWholeFile(host.File("hwhost.status"));
    EXPECT_NE(std::string::npos, strStatus.find("Rule scripts: off, as the policy has it"))
        << strStatus;
    EXPECT_EQ(std::string::npos, strStatus.find("RULEWEAVE")) << strStatus;

    ASSERT_TRUE(SendLogins(host, {"mallory", "alice"}));
    ASSERT_TRUE(AlertArrives(host, "alice")) << host.Log();

    // A push that switches scripting on has the engines that started
    // without it hand their rules to the script process: the script
    // decides from then on.
    std::string strOutput;
    host.Push(kScriptPolicy, strOutput);
    EXPECT_NE(std::string::npos, strOutput.find("  Rule scripts: on\n")) << strOutput;
    ASSERT_TRUE(SendLogins(host, {"mallory", "bob"}));
    ASSERT_TRUE(AlertArrives(host, "bob")) << host.Log();
    int nExit = -1;
    ASSERT_TRUE(host.Stop(nExit));
    EXPECT_EQ(0, nExit);
    const hwtest::StopSummary summary = hwtest::ReadStopSummary(host.Log());
    ASSERT_TRUE(summary.m_bScripted) << host.Log();
    EXPECT_EQ(2u, summary.m_qwUnvalidated);
    EXPECT_EQ(1u, summary.m_qwValidated);
    EXPECT_EQ(1u, summary.m_qwRejected);
    EXPECT_EQ(3u, hwtest::CountOf(host.Alerts(), "</event>")) << "the second mallory was rejected";
    EXPECT_NE(std::string::npos,
              host.Errors().find("Scripted alerts: 1 validated, 1 rejected by their "
                                 "script, 2 passed on unvalidated, 0 dropped unvalidated\n"))
        << host.ErrorsTail();
}

// Ten thousand matching datagrams a second for ten seconds, for a rule
// that requires its script: every datagram is an alert written, or counted
// as dropped by the script road or by the syslog engine.  (How many the
// road validates at that rate is measured by bench/script_load.)
TEST_F(ScriptHostTest, TenThousandScriptedAlertsASecondAreAllWrittenOrCounted) {
    hwtest::NamespacedHost host(m_namespace);
    std::string strPolicy = Changed(kScriptPolicy, "Enabled\t=B\t1;\r\nPriority",
                                    "Enabled\t=B\t1;\r\nNeedTcl\t=B\t1;\r\nPriority");
    ASSERT_TRUE(StartWithScripts(host, strPolicy));

    constexpr uint64_t kRate = 10000;
    constexpr uint64_t kCount = kRate * 10;
    ASSERT_TRUE(SendAtRate(host, kCount, kRate, [](uint64_t n) {
        return "<38>sshd[" + std::to_string(n % 100000) + "]: login failed for user" +
               std::to_string(n % 1000);
    }));
    // Every datagram before the last marker is written or dropped once the
    // marker's alert is written.
    const hwtest::MarkerWait ends = AwaitEndAlert(host);
    EXPECT_TRUE(ends.m_bAlerted) << "the last marker was not alerted after " << ends.m_dSeconds
                                 << " s, the alerts no longer coming\n"
                                 << host.ErrorsTail();
    int nExit = -1;
    ASSERT_TRUE(host.Stop(nExit));
    EXPECT_EQ(0, nExit);

    const hwtest::StopSummary summary = hwtest::ReadStopSummary(host.Log());
    ASSERT_TRUE(summary.m_bScripted) << host.ErrorsTail();
    EXPECT_EQ(kCount + ends.m_qwSent, summary.m_qwWritten + summary.m_qwDropped + summary.m_qwSyslogDropped)
        << "written " << summary.m_qwWritten << ", dropped by the script road "
        << summary.m_qwDropped << ", by the syslog engine " << summary.m_qwSyslogDropped;
    EXPECT_EQ(summary.m_qwTaken, summary.m_qwWritten);
    EXPECT_EQ(summary.m_qwValidated, summary.m_qwWritten);
    EXPECT_EQ(0u, summary.m_qwUnvalidated);
    EXPECT_EQ(0u, summary.m_qwRejected);
    EXPECT_GT(summary.m_qwValidated, 0u);
    std::printf("of %" PRIu64 ": %" PRIu64 " validated and written, %" PRIu64
                " dropped by the script road, %" PRIu64 " by the syslog engine\n",
                kCount, summary.m_qwValidated, summary.m_qwDropped, summary.m_qwSyslogDropped);
}

// Scripted alerts at five times what the script can answer (its script
// waits 10 ms, so at most 100 a second), for eight seconds: the runs the
// handler takes go out within milliseconds whatever its queue holds, so a
// steady share is validated in every part of the flood, and every alert
// taken is counted as validated, passed on unvalidated or dropped.  (With
// 100 runs waiting at most, a run waits about a second for its answer.)
// How many answers come depends on the machine: a script process starved
// of processors wakes late from each wait and may answer a few runs a
// second.  What does not is where the answers go.  An alert validated is
// made as its answer comes, and one passed on unvalidated as it goes on,
// so the alerts' times show when each answer came and how far behind the
// flood the sensor ran.  Of the answers that come while a quarter of the
// flood is sent, at most the 100 runs waiting when it began, and those of
// datagrams sent before it but taken after, can be of earlier quarters:
// every other answer is of that quarter.
TEST_F(ScriptHostTest, FloodFiveTimesWhatTheScriptAnswersIsValidatedInAShareAndAllCounted) {
    hwtest::NamespacedHost host(m_namespace);
    const std::string strPolicy = SlowScriptPolicy(10);
    ASSERT_TRUE(StartWithScripts(host, strPolicy));

    constexpr uint64_t kRate = 500;
    constexpr uint64_t kCount = kRate * 8;
    constexpr uint64_t kParts = 4;
    // When each datagram was sent, on the clock of the alerts' times.
    std::vector<double> sentAt(kCount, 0);
    ASSERT_TRUE(SendAtRate(host, kCount, kRate, [&](uint64_t n) {
        sentAt[n] = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        return "<38>sshd[1]: login failed for u" + std::to_string(n);
    }));
    // The last marker's alert comes once the flood is taken; it may find
    // the table full and go on unvalidated at once.  The runs still waiting
    // then are answered at the stop, within its time for them, or go on
    // unvalidated, counted.
    const hwtest::MarkerWait ends = AwaitEndAlert(host);
    EXPECT_TRUE(ends.m_bAlerted) << "the last marker was not alerted after " << ends.m_dSeconds
                                 << " s, the alerts no longer coming\n"
                                 << host.ErrorsTail();
    int nExit = -1;
    ASSERT_TRUE(host.Stop(nExit));
    EXPECT_EQ(0, nExit);

    // Which part of the flood each validated alert (the one that carries
    // the script's verdict) came from.
    const std::string strAlerts = host.Alerts();
    uint64_t validatedIn[kParts] = {};
    std::vector<double> answeredAt;
    // How long after its datagram the latest alert passed on unvalidated
    // was made: how far behind the flood the sensor took its runs.
    double dLongestLag = 0;
    for (size_t nAt = 0, nEnd = 0; (nEnd = strAlerts.find("</event>", nAt)) != std::string::npos;
         nAt = nEnd + 1) {
        const std::string strAlert = strAlerts.substr(nAt, nEnd - nAt);
        const std::string strUser = "<param name='User' type='string' value='u";
        const size_t nUser = strAlert.find(strUser);
        if (nUser == std::string::npos) {
            continue;
        }
        const uint64_t nSeq = std::strtoull(strAlert.c_str() + nUser + strUser.size(), nullptr, 10);
        if (nSeq >= kCount) {
            continue;
        }
        const double dMade = AlertMadeAt(strAlert);
        ASSERT_GE(dMade, 0) << strAlert;
        if (strAlert.find("__qor_verdict") != std::string::npos) {
            ++validatedIn[nSeq * kParts / kCount];
            answeredAt.push_back(dMade);
        } else {
            dLongestLag = std::max(dLongestLag, dMade - sentAt[nSeq]);
        }
    }
    // The answers that came while each quarter was sent.
    uint64_t answersIn[kParts] = {};
    for (double dAnswered : answeredAt) {
        for (uint64_t q = 0; q < kParts; ++q) {
            const double dEnd = q + 1 == kParts ? sentAt[kCount - 1] : sentAt[(q + 1) * kCount / kParts];
            answersIn[q] += dAnswered >= sentAt[q * kCount / kParts] && dAnswered < dEnd ? 1 : 0;
        }
    }
    const hwtest::StopSummary summary = hwtest::ReadStopSummary(host.Log());
    ASSERT_TRUE(summary.m_bScripted) << host.ErrorsTail();
    const uint64_t qwTaken = kCount + ends.m_qwSent - summary.m_qwSyslogDropped;
    std::printf("%" PRIu64 " sent at %" PRIu64 "/s, %" PRIu64 " taken: %" PRIu64
                " validated, %" PRIu64 " passed on unvalidated, %" PRIu64
                " dropped; validated in each quarter of the flood:",
                kCount, kRate, qwTaken, summary.m_qwValidated, summary.m_qwUnvalidated,
                summary.m_qwDropped);
    for (uint64_t qwPart : validatedIn) {
        std::printf(" %" PRIu64, qwPart);
    }
    std::printf("; answers while each was sent:");
    for (uint64_t qwPart : answersIn) {
        std::printf(" %" PRIu64, qwPart);
    }
    std::printf("; the latest alert passed on unvalidated made %.3f s after its datagram\n", dLongestLag);
    EXPECT_EQ(qwTaken, summary.m_qwValidated + summary.m_qwRejected + summary.m_qwUnvalidated +
                           summary.m_qwDropped);
    EXPECT_EQ(summary.m_qwValidated + summary.m_qwUnvalidated, summary.m_qwWritten);
    const uint64_t qwFromBefore = 100 + static_cast<uint64_t>(std::ceil(dLongestLag * kRate)) + 1;
    for (uint64_t q = 0; q < kParts; ++q) {
        EXPECT_GE(validatedIn[q] + qwFromBefore, answersIn[q]) << "quarter " << q + 1;
    }
    // Far below what came.
    EXPECT_LT(summary.m_qwValidated, qwTaken / 2);
}

// Alerts of a scripted rule coming far faster than the script answers (it
// waits 50 ms, so 20 a second) past a queue of 100 runs: most meet the
// queue's bound or are still waiting at the stop, and go on unvalidated or,
// for a rule that requires its script, are dropped.  The stop's tally
// counts each alert once, so what it says was written and lost adds up to
// the logins sent: an alert passed on at the bound is written, no loss,
// and one dropped there is not lost twice.
TEST_F(ScriptHostTest, StopTallyOfAScriptedFloodPastItsQueueCountsEachAlertOnce) {
    for (const bool bNeedTcl : {false, true}) {
        SCOPED_TRACE(bNeedTcl ? "the rule requires its script" : "the rule's alerts may go on unvalidated");
        hwtest::NamespacedHost host(m_namespace);
        const std::string strPolicy =
            Changed(SlowScriptPolicy(50), "Enabled\t=B\t1;\r\nPriority",
                    std::string("Enabled\t=B\t1;\r\nNeedTcl\t=B\t") + (bNeedTcl ? "1" : "0") + ";\r\nPriority");
        ASSERT_TRUE(StartWithScripts(host, strPolicy));

        constexpr uint64_t kRate = 500;
        constexpr uint64_t kCount = kRate * 4;
        ASSERT_TRUE(SendAtRate(host, kCount, kRate, [](uint64_t n) {
            return "<38>sshd[1]: login failed for u" + std::to_string(n + 1);
        }));
        const hwtest::MarkerWait ends = AwaitEndAlert(host);
        int nExit = -1;
        ASSERT_TRUE(host.Stop(nExit));

        const hwtest::StopSummary summary = hwtest::ReadStopSummary(host.Log());
        ASSERT_TRUE(summary.m_bScripted) << host.ErrorsTail();
        // The flood did reach the queue's bound.
        ASSERT_NE(std::string::npos,
                  host.Errors().find("at the stop: Bound reached: script of rule Checked login"))
            << host.ErrorsTail();
        bool bFound = false;
        const uint64_t qwTallied = hwtest::TallyWrittenAndLost(host.Errors(), bFound);
        ASSERT_TRUE(bFound) << host.ErrorsTail();
        EXPECT_EQ(kCount + ends.m_qwSent, qwTallied)
            << "sent " << kCount << " and " << ends.m_qwSent << " markers; written " << summary.m_qwWritten
            << ", validated " << summary.m_qwValidated << ", passed on unvalidated " << summary.m_qwUnvalidated
            << ", dropped by the script road " << summary.m_qwDropped << "\n"
            << host.ErrorsTail();
    }
}

// A pushed rule whose script the interpreter cannot read fails the push:
// the error names the rule, the part and the interpreter's words, and says
// what becomes of the rule's alerts, which then go on unvalidated.  Pushed
// back whole, the script is taken and the push succeeds; a reload refused
// after it leaves the scripts with the process.
TEST_F(ScriptHostTest, PushOfAScriptThatDoesNotCompileFailsNamingTheRuleAndTheInterpretersWords) {
    hwtest::NamespacedHost host(m_namespace);
    // Without network monitoring, which has no adapter here: a clean load
    // says nothing amiss.
    const std::string strPolicy = Changed(kScriptPolicy, "ScriptEnabled\t=B\t1;\r\n",
                                          "ScriptEnabled\t=B\t1;\r\nNodekeeper\t=B\t0;\r\n");
    ASSERT_TRUE(StartWithScripts(host, strPolicy));
    const std::string strBroken =
        Changed(strPolicy, "\"mallory\"}]\\n};", "\"mallory\"\\n};");
    std::string strOutput;
    EXPECT_EQ(4, host.Push(strBroken, strOutput)) << strOutput;
    const std::string strError =
        "ERROR: Rule \"Checked login\": its Procedure script does not compile: script is not "
        "complete: missing close-brace (in the command that begins on line 1); the procedures it "
        "defines are missing: an alert whose validation calls them is passed on unvalidated\n";
    EXPECT_NE(std::string::npos, strOutput.find(strError)) << strOutput;
    EXPECT_NE(std::string::npos,
              strOutput.find("Rule scripts: on; 1 script refused by the script process: rule "
                             "Checked login (Procedure)"))
        << strOutput;
    // The console had it at once, and the log keeps the handler's own line.
    EXPECT_NE(std::string::npos, host.Errors().find(strError)) << host.ErrorsTail();
    EXPECT_NE(std::string::npos,
              host.Log().find("<Checked login SCRIPT Procedure> failed: script is not complete: "
                              "missing close-brace"))
        << host.Log();

    // The validation that calls the missing procedure fails at the first
    // alert: said on the console at once, and the alert goes on.
    ASSERT_TRUE(SendLogins(host, {"alice", "bob"}));
    ASSERT_TRUE(AlertArrives(host, "bob")) << host.Log();
    EXPECT_EQ(1u, hwtest::CountOf(host.Errors(),
                                  "ERROR: Rule \"Checked login\": its Validation script failed when "
                                  "it was run: invalid command name \"verdict\"; each alert whose "
                                  "validation fails is passed on unvalidated"))
        << host.ErrorsTail();

    EXPECT_EQ(0, host.Push(strPolicy, strOutput)) << strOutput;
    EXPECT_NE(std::string::npos, strOutput.find("Rule scripts: on\n")) << strOutput;

    // A reload the sensor refuses (a damaged push.policy) keeps the rules
    // in force, and the process it starts again gets their scripts: the
    // next alerts are validated.
    const std::string strRefused = "hwhost: reload completed with status 2";
    host.WritePolicy(Changed(strPolicy, "Priority\t=L\t2;", "Priority\t=L\ttwo;"), "push.policy");
    host.Signal(SIGHUP);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return host.Log().find(strRefused) != std::string::npos; }, 60))
        << host.Log();
    ASSERT_TRUE(SendLogins(host, {"mallory", "erin"}));
    ASSERT_TRUE(AlertArrives(host, "erin")) << host.Log();
    int nExit = -1;
    ASSERT_TRUE(host.Stop(nExit));
    EXPECT_EQ(0, nExit);
    EXPECT_EQ(std::string::npos, host.Alerts().find("mallory")) << host.Alerts();
    const hwtest::StopSummary summary = hwtest::ReadStopSummary(host.Log());
    EXPECT_EQ(2u, summary.m_qwUnvalidated);
    EXPECT_EQ(1u, summary.m_qwValidated);
    EXPECT_EQ(1u, summary.m_qwRejected);
}

// The script process killed past the restart limit: scripts are given up,
// which the console says at once and hwhost.status shows among the engine
// lines and in its later findings.  A SIGHUP, which reads no policy, starts
// the process again as the console promised: the status says "on", the
// later finding is gone, and a script validates again.  Given up once more,
// a push starts it too; given up a third time, the stop says so.
TEST_F(ScriptHostTest, ScriptsGivenUpAfterCrashesAreSaidShownAndOnAgainAfterASighupOrAPush) {
    hwtest::NamespacedHost host(m_namespace);
    const std::string strPolicy = Changed(kScriptPolicy, "ScriptEnabled\t=B\t1;\r\n",
                                          "ScriptEnabled\t=B\t1;\r\nNodekeeper\t=B\t0;\r\n");
    ASSERT_TRUE(StartWithScripts(host, strPolicy));
    auto newest = [&] { return NewestStatus(host); };
    auto scriptsLine = [&] { return ScriptsLine(host); };
    auto killThrice = [&] { return KillScriptProcessThrice(host); };
    EXPECT_EQ("Rule scripts: on", scriptsLine());

    ASSERT_TRUE(killThrice()) << host.Log();
    const std::string strOff =
        "Rule scripts: OFF: the script process ended 3 times within 600 s (the last time: signal "
        "9); it is started again at the next reload; the alerts of rules with a script go on "
        "unvalidated, or are dropped when their rule requires it";
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return host.Errors().find("ERROR: " + strOff + "\n") != std::string::npos; }, 60))
        << host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return scriptsLine() == strOff; }, 30)) << scriptsLine();
    auto laterHasOff = [&] {
        const std::vector<std::string> later = newest().m_later;
        return std::find(later.begin(), later.end(), "ERROR: " + strOff) != later.end();
    };
    EXPECT_TRUE(laterHasOff());

    // The reload of SIGHUP reads no policy (none was pushed), yet starts the
    // process again.
    host.Signal(SIGHUP);
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return scriptsLine() == "Rule scripts: on" && !laterHasOff(); }, 60))
        << scriptsLine() << "\n" << host.ErrorsTail();
    EXPECT_EQ("no policy was read again and no response definition changed", newest().m_strText);
    EXPECT_NE(std::string::npos,
              host.Errors().find("NOTICE: Rule scripts: on again: the script process was started "
                                 "again after it was given up\n"))
        << host.ErrorsTail();
    ASSERT_TRUE(SendLogins(host, {"mallory", "alice"}));
    ASSERT_TRUE(AlertArrives(host, "alice")) << host.Log();
    EXPECT_EQ(std::string::npos, host.Alerts().find("mallory")) << "the script did not run again";
    EXPECT_NE(std::string::npos, host.Alerts().find("__qor_verdict")) << host.Alerts();

    ASSERT_TRUE(killThrice()) << host.Log();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return scriptsLine() == strOff; }, 60)) << scriptsLine();
    ASSERT_TRUE(host.Reload(strPolicy)) << host.ErrorsTail();
    EXPECT_TRUE(hwtest::WaitUntil([&] { return scriptsLine() == "Rule scripts: on"; }, 30))
        << scriptsLine();
    ASSERT_TRUE(killThrice()) << host.Log();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return scriptsLine() == strOff; }, 60)) << scriptsLine();
    int nExit = -1;
    ASSERT_TRUE(host.Stop(nExit));
    EXPECT_EQ(0, nExit);
    EXPECT_NE(std::string::npos, host.Errors().find("WARNING: at the stop: " + strOff + "\n"))
        << host.ErrorsTail();
}

// A script process of an earlier build that still holds the shared
// store's lock when hwhost starts keeps rule scripts off, said at the
// start-up with the reason.  Each SIGHUP while it holds the lock tries the
// store again and says the same finding once, nothing piling up among the
// later findings; the SIGHUP after it ended brings the scripts back, where
// before only a restart of hwhost did.  Under a second.
TEST_F(ScriptHostTest, ScriptsOffForAStoreHeldInAnEarlierLayoutAreOnAgainAtTheSighupAfterItsHolderEnded) {
    hwtest::NamespacedHost host(m_namespace);
    hwtest::ChildProcess holder;
    ASSERT_TRUE(StartWithTheStoreHeld(host, holder));
    // The log's line comes before the status file's record of the reload.
    auto reloads = [&] {
        size_t nRecorded = 0;
        for (const HostStatusRecord& record : HostStatusFile(host.Root()).Read()) {
            nRecorded += record.m_strCommand == "reload" ? 1 : 0;
        }
        return std::min(nRecorded, hwtest::CountOf(host.Log(), "hwhost: sensor state after reload:"));
    };
    std::vector<std::string> later;
    for (size_t nSighup = 1; nSighup <= 2; ++nSighup) {
        host.Signal(SIGHUP);
        ASSERT_TRUE(hwtest::WaitUntil([&] { return reloads() == nSighup; }, 60)) << host.ErrorsTail();
        EXPECT_EQ(nSighup, hwtest::CountOf(host.Errors(), "WARNING: after the reload: " + kStoreHeldOff + "\n"))
            << host.ErrorsTail();
        EXPECT_EQ(kStoreHeldOff, ScriptsLine(host));
        if (nSighup == 1) {
            later = NewestStatus(host).m_later;
        }
    }
    EXPECT_EQ(later, NewestStatus(host).m_later);
    EXPECT_EQ(std::string::npos, host.Errors().find("Rule scripts: on again")) << host.ErrorsTail();
    ExpectScriptsBackOnceTheHolderEnded(host, holder, [&] { host.Signal(SIGHUP); });
}

// The same with pushes: the one while the holder runs says the finding in
// its summary, the one after it ended brings the scripts back.
TEST_F(ScriptHostTest, ScriptsOffForAStoreHeldInAnEarlierLayoutAreOnAgainAtThePushAfterItsHolderEnded) {
    hwtest::NamespacedHost host(m_namespace);
    hwtest::ChildProcess holder;
    ASSERT_TRUE(StartWithTheStoreHeld(host, holder));
    const std::string strPolicy = ScriptPolicyWithoutNetworkMonitoring();
    ASSERT_TRUE(host.Reload(strPolicy)) << host.ErrorsTail();
    EXPECT_EQ(1u, hwtest::CountOf(host.Errors(), "WARNING: after the reload: " + kStoreHeldOff + "\n"))
        << host.ErrorsTail();
    EXPECT_EQ(kStoreHeldOff, ScriptsLine(host));
    ExpectScriptsBackOnceTheHolderEnded(host, holder, [&] { ASSERT_TRUE(host.Reload(strPolicy)); });
}

// The demo's root, its network engine watching a replay adapter (an
// adapter engine of its own, as on a real host), with a script on one
// syslog rule: the script process is killed past the restart limit, and
// the SIGHUP that starts it again shows in hwhost.status within the
// quarter of a second the host looks at it in (a second is allowed for a
// loaded machine).  The status said "OFF" for 5 s more: the adapter
// engine's rules were not handed over again, so the handler waited for
// them before it sent the scripts, and the status waited for the scripts.
TEST_F(ScriptHostTest, StatusShowsScriptsBackRightAfterTheSighupThatStartsThemOnTheDemoRoot) {
    hwtest::NamespacedHost host(m_namespace);
    const std::string strRoot = host.Root();
    std::filesystem::copy(std::string(HW_SOURCE_DIR) + "/examples/demo", strRoot,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    std::string strPolicy = Changed(hwtest::ReadWholeFile(host.File("Default.policy")),
                                    "@SENSOR_ROOT@", strRoot);
    hwtest::StandInForDemoAuthLog(strPolicy, strRoot);
    strPolicy = Changed(strPolicy, "[\\Advanced\\Rules\\SysLog Rules\\Failed log-in\\];",
                        "[\\Advanced\\Rules\\SysLog Rules\\Failed su\\Script\\];\r\n"
                        "Enabled\t=B\t1;\r\nScriptType\t=S\tTCL;\r\n"
                        "Validation\t=S\tset __qor_verdict ok\\nreturn 1;\r\n"
                        "[\\Advanced\\Rules\\SysLog Rules\\Failed log-in\\];");
    host.WritePolicy(strPolicy);
    std::filesystem::create_directories(strRoot + "/replay");
    ASSERT_TRUE(host.Start({}, {"HW_DECOY_FIRST_WAIT_MS=200",
                                "HW_PACKET_REPLAY=" + strRoot + "/captures/network-attacks.pcap",
                                "HW_PACKET_MONITOR=\\Device\\replay0",
                                "HW_PACKET_REPLAY_OUT=" + strRoot + "/replay"}))
        << host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return host.Log().find("Completed tcl script initialization!") != std::string::npos; },
        60));
    ASSERT_TRUE(KillScriptProcessThrice(host)) << host.Log();
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return ScriptsLine(host).rfind("Rule scripts: OFF: ", 0) == 0; }, 60))
        << ScriptsLine(host);

    const std::string strBack =
        "NOTICE: Rule scripts: on again: the script process was started again after it was "
        "given up\n";
    host.Signal(SIGHUP);
    std::chrono::steady_clock::time_point said{};
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            if (said == std::chrono::steady_clock::time_point() &&
                host.Errors().find(strBack) != std::string::npos) {
                said = std::chrono::steady_clock::now();
            }
            return said != std::chrono::steady_clock::time_point() &&
                   ScriptsLine(host) == "Rule scripts: on";
        },
        60))
        << ScriptsLine(host) << "\n" << host.ErrorsTail();
    const auto shownAfter = std::chrono::steady_clock::now() - said;
    const auto shownMs = std::chrono::duration_cast<std::chrono::milliseconds>(shownAfter).count();
    EXPECT_LT(shownAfter, std::chrono::seconds(1)) << shownMs << " ms";
    std::printf("hwhost.status showed the scripts on %lld ms after the NOTICE\n",
                static_cast<long long>(shownMs));
    // Every engine's rules went to the new process.
    EXPECT_EQ(std::string::npos, host.Log().find("handed over no rules")) << host.Log();
    int nExit = -1;
    ASSERT_TRUE(host.Stop(nExit));
    EXPECT_EQ(0, nExit);
}

// Two pushes whose new script process takes four seconds to take its
// scripts (its procedure script waits), while far more logins come for a
// rule that requires its script than the runs queued for a starting
// process may hold: what each leaves out is said as a warning of that push,
// with its count, so `hwhost push` reports the policy applied with a
// warning (exit 4) the second time too, within the minute the bound's own
// line waits before it is said again; together the counts are the stop's
// count of alerts dropped.  About 20 s.
TEST_F(ScriptHostTest, EachPushThatLeavesAlertsOutWhileTheProcessStartsSaysHowMany) {
    hwtest::NamespacedHost host(m_namespace);
    const std::string strPolicy = Changed(
        Changed(Changed(kScriptPolicy, "Enabled\t=B\t1;\r\nPriority",
                        "Enabled\t=B\t1;\r\nNeedTcl\t=B\t1;\r\nPriority"),
                "ScriptEnabled\t=B\t1;\r\n", "ScriptEnabled\t=B\t1;\r\nNodekeeper\t=B\t0;\r\n"),
        "\"mallory\"}]\\n};", "\"mallory\"}]\\n}\\nafter 4000;");
    ASSERT_TRUE(StartWithScripts(host, strPolicy));
    constexpr uint64_t kLoginsEach = 24000;
    constexpr int kPushes = 2;
    uint64_t qwSent = 0;
    uint64_t qwLeftOut = 0;
    for (int nPush = 1; nPush <= kPushes; ++nPush) {
        int nExit = -1;
        std::string strOutput;
        std::thread push([&] { nExit = host.Push(strPolicy, strOutput); });
        ASSERT_TRUE(hwtest::WaitUntil(
            [&] { return hwtest::CountOf(host.Log(), "Started TclProc (") == 1u + nPush; }, 60));
        const uint64_t qwLast = qwSent + kLoginsEach;
        EXPECT_TRUE(host.SendDatagrams([&](std::string& strText) {
            strText = "<38>sshd[1]: login failed for u" + std::to_string(++qwSent);
            return qwSent <= qwLast;
        }));
        --qwSent;
        push.join();
        EXPECT_EQ(4, nExit) << strOutput;
        const std::string strSaid = " came while the script process was started and found "
                                    "the 16384 runs queued for it full: 0 go on unvalidated, ";
        const size_t nSaid = strOutput.find(strSaid);
        ASSERT_NE(std::string::npos, nSaid) << nPush << "\n" << strOutput;
        const std::string strHead = "WARNING: Rule scripts: ";
        const size_t nCount = strOutput.rfind(strHead, nSaid);
        ASSERT_NE(std::string::npos, nCount) << strOutput;
        const uint64_t qwThisPush =
            std::strtoull(strOutput.c_str() + nCount + strHead.size(), nullptr, 10);
        EXPECT_GT(qwThisPush, 0u) << nPush;
        qwLeftOut += qwThisPush;
    }
    const hwtest::MarkerWait ends = AwaitEndAlert(host);
    EXPECT_TRUE(ends.m_bAlerted) << "the last marker was not alerted after " << ends.m_dSeconds
                                 << " s, the alerts no longer coming\n"
                                 << host.ErrorsTail();
    int nExit = -1;
    ASSERT_TRUE(host.Stop(nExit));
    EXPECT_EQ(0, nExit);
    const hwtest::StopSummary summary = hwtest::ReadStopSummary(host.Log());
    // On a busy machine the process may still be catching up when its
    // start's time is over: what its other bounds refuse then (the queue of
    // its usual size, the answers awaited, the store) is no push's, and is
    // counted by those bounds, listed at the stop.  And the first push's
    // process may still be working through its runs when the second push
    // ends it: those runs are dropped then, and said with their count.
    const std::regex later(
        "at the stop: Bound reached: script of rule [^:\n]*: ([^;\n]*), the alerts past it are dropped \\(the "
        "rule requires its script\\); (\\d+) alerts? left out\n");
    const std::regex ended(
        "Rule scripts: \\d+ alerts? w(?:as|ere) still waiting for (?:its|their) validation when the script process "
        "(?:was ended, \\d+ s after it was told to end|ended): 0 go on unvalidated, (\\d+) (?:is|are) dropped");
    const std::string errors = host.Errors();
    uint64_t qwLater = 0;
    for (std::sregex_iterator it(errors.begin(), errors.end(), later), end; it != end; ++it) {
        if ((*it)[1].str().find(" while it is started") == std::string::npos) {
            qwLater += std::stoull((*it)[2].str());
        }
    }
    for (std::sregex_iterator it(errors.begin(), errors.end(), ended), end; it != end; ++it) {
        qwLater += std::stoull((*it)[1].str());
    }
    EXPECT_EQ(qwLeftOut + qwLater, summary.m_qwDropped) << host.ErrorsTail();
    EXPECT_EQ(qwSent + ends.m_qwSent, summary.m_qwValidated + summary.m_qwDropped + summary.m_qwSyslogDropped);
    std::printf("%" PRIu64 " of %" PRIu64 " logins left out while the process started, %" PRIu64
                " after, %" PRIu64 " dropped by the syslog engine\n",
                qwLeftOut, qwSent, qwLater, summary.m_qwSyslogDropped);
}
