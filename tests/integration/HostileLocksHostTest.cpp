// The demo sensor under hwhost (every engine, the network engine on the
// replay adapter) against another account that puts FIFOs where the sensor
// reads and holds locks on the files its platform state keeps, each hostile
// step run as "nobody": the start, an alert, a reload, a push and the stop
// each end within seconds, the console names every file refused with its
// owner or holder, and nothing of that account's is written through.  The
// adapter lock lies where that account cannot put anything; a FIFO at its
// old name in the temporary folder is not looked at (the host is given a
// temporary folder of its own, like /tmp, so no other sensor on the
// machine meets that FIFO).  Root, for the network namespace and the other
// account.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ApacheEngine/WebSharedMemory.h"
#include "platform/NamedObject.h"
#include "support/ChildProcess.h"
#include "support/HeldUpStop.h"
#include "support/NamespacedHost.h"
#include "support/ThrowawayAccounts.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

const fs::path kDemo = fs::path(HW_SOURCE_DIR) / "examples/demo";
constexpr char kStranger[] = "nobody";
constexpr char kLockName[] = "/run/hostwarden/qor__Device_replay0.lck";
constexpr char kReloadDone[] = "hwhost: reload completed";

class HostileLocksHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace and another account";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
    }
    void TearDown() override { m_holders.clear(); }

    // The demo in the host's root, as scripts/run lays it out.
    std::string CopyDemo() {
        const fs::path root = m_host.Root();
        fs::copy(kDemo, root, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        std::string policy = hwtest::ReadWholeFile((root / "Default.policy").string());
        const size_t at = policy.find("@SENSOR_ROOT@");
        EXPECT_NE(std::string::npos, at);
        policy.replace(at, 13, root.string());
        fs::create_directories(root / "replay");
        return policy;
    }

    // The demo started with its web-server areas opened to `group`; the
    // policy.
    std::string StartWithWebGroup(const std::string& group) {
        const std::string policy = CopyDemo();
        m_host.WritePolicy(policy);
        EXPECT_TRUE(m_host.Start({"--web-group", group}, Environment())) << m_host.ErrorsTail();
        return policy;
    }

    std::vector<std::string> Environment() const {
        const std::string root = m_host.Root();
        // The machine's own lock folder, where the adapter lock lives.
        return {"HW_LOCK_DIR=", "TMPDIR=" + m_temporary.Path(), "HW_DECOY_FIRST_WAIT_MS=200",
                "HW_PACKET_REPLAY=" + root + "/captures/network-attacks.pcap",
                "HW_PACKET_MONITOR=\\Device\\replay0", "HW_PACKET_REPLAY_OUT=" + root + "/replay",
                "HW_PACKET_REPLAY_PACE=1"};
    }

    static bool AsStranger(const std::string& command) {
        return hwtest::ThrowawayAccounts::RunAs(kStranger, {"/bin/sh", "-c", command});
    }

    // An empty file as an older version left it (readable by all), locked
    // by a process of the other account until the test ends; the holder's
    // process id.
    pid_t HeldByStranger(const std::string& path) {
        hwtest::WriteWholeFile(path, "");
        EXPECT_EQ(0, ::chmod(path.c_str(), 0644));
        const std::string said = path + ".holder";
        m_holders.push_back(std::make_unique<hwtest::ChildProcess>());
        EXPECT_TRUE(m_holders.back()->Start(
            hwtest::ThrowawayAccounts::As(
                kStranger, {"/usr/bin/python3", "-c",
                            "import fcntl, sys, time\nf = open(sys.argv[1])\n"
                            "fcntl.flock(f, fcntl.LOCK_EX)\nprint('held', flush=True)\ntime.sleep(600)",
                            path}),
            said));
        EXPECT_TRUE(hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(said) == "held\n"; }));
        return m_holders.back()->Pid();
    }

    // The module, run as `member`, writes one event from `source` (an
    // address and port) once the web-server objects let it (each try waits
    // a second at most for the lock, and says whether it wrote), and it
    // becomes an alert; how long that took.
    Clock::duration ModuleEventAlerts(const std::string& member, const std::string& source) {
        const auto began = Clock::now();
        bool bWritten = false;
        while (!bWritten && Clock::now() - began < std::chrono::seconds(30)) {
            hwtest::ChildProcess module;
            int exitCode = -1;
            bWritten = module.Start(hwtest::ThrowawayAccounts::As(
                                        member, {std::string(HW_BINARY_DIR) + "/bin/hw-webmodule", "--root",
                                                 m_host.Root(), "write", "--name", "Payload_Cmd_Exe", "--id", "1006",
                                                 "--src", source + ":40000", "--proto", "6", "--count", "1",
                                                 "--every", "0"}),
                                    m_host.File("module.out"), {"ASAN_OPTIONS=detect_leaks=0"}) &&
                       module.Wait(60, exitCode) && exitCode == 0;
        }
        EXPECT_TRUE(bWritten) << hwtest::ReadWholeFile(m_host.File("module.out")) << m_host.ErrorsTail();
        EXPECT_TRUE(hwtest::WaitUntil([&] { return m_host.Alerts().find(source) != std::string::npos; }, 30))
            << m_host.ErrorsTail();
        return Clock::now() - began;
    }

    static bool IsStrangersFifo(const std::string& path) {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode) && info.st_uid == 65534;
    }

    hwtest::NetworkNamespace m_namespace;
    hwtest::NamespacedHost m_host{m_namespace};
    hwtest::ScratchDirectory m_temporary;
    // Where the adapter lock used to be.
    const std::string m_strOldLockName = m_temporary.File("qor__Device_replay0.lck");
    std::vector<std::unique_ptr<hwtest::ChildProcess>> m_holders;
};

}  // namespace

TEST_F(HostileLocksHostTest, FifosAndLocksOfAnotherAccountHoldUpNoStartAlertReloadPushOrStop) {
    const std::string policy = CopyDemo();
    m_host.WritePolicy(policy);
    const std::string root = m_host.Root();
    ASSERT_EQ(0, ::chmod(root.c_str(), 0777));

    // Where the sensor reads: FIFOs, in a root every account may write.
    ASSERT_TRUE(AsStranger("cd '" + root + "' && mkfifo push.policy.loading audit.policy"));
    // The adapter lock: its old name in the temporary folder takes a FIFO,
    // its folder takes nothing of the other account's.
    ASSERT_EQ(0, ::chmod(m_temporary.Path().c_str(), 01777));
    ASSERT_TRUE(AsStranger("mkfifo " + m_strOldLockName));
    EXPECT_FALSE(AsStranger(std::string("mkdir -p /run/hostwarden 2>/dev/null; mkfifo ") + kLockName +
                            " 2>/dev/null"));
    // The platform state as an older version left it, every lock and state
    // file held by the other account.
    const std::string platform = root + "/platform";
    fs::create_directories(platform + "/eventlog");
    ASSERT_EQ(0, ::chmod(platform.c_str(), 0755));
    ASSERT_EQ(0, ::chmod((platform + "/eventlog").c_str(), 0755));
    std::vector<std::pair<std::string, pid_t>> held;
    for (const char* name : {"registry.lock", "eventlog/Security.evt", "eventlog/System.evt",
                             "security.lock", "eventlog/Application.evt"}) {
        held.emplace_back(platform + "/" + name, HeldByStranger(platform + "/" + name));
    }

    auto began = Clock::now();
    ASSERT_TRUE(m_host.Start({}, Environment())) << m_host.ErrorsTail();
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(20));

    ASSERT_TRUE(m_host.SendDatagram(
        "<38>su[77]: pam_unix(su:auth): authentication failure; logname= uid=1000 ruser=mallory"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.Alerts().find("mallory") != std::string::npos; }, 30))
        << m_host.ErrorsTail();

    began = Clock::now();
    const size_t reloads = hwtest::CountOf(m_host.Log(), kReloadDone);
    m_host.Signal(SIGHUP);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::CountOf(m_host.Log(), kReloadDone) > reloads; }, 60))
        << m_host.ErrorsTail();
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(15));

    began = Clock::now();
    const std::string pushed = m_host.File("pushed.policy");
    hwtest::WriteWholeFile(pushed, policy);
    hwtest::ChildProcess push;
    int exitCode = -1;
    ASSERT_TRUE(push.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "push", "--root", root, "--wait", "60",
                            pushed},
                           m_host.File("push.out")));
    ASSERT_TRUE(push.Wait(90, exitCode));
    EXPECT_TRUE(exitCode == 0 || exitCode == 4) << hwtest::ReadWholeFile(m_host.File("push.out"));
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(15));

    began = Clock::now();
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail() << "\nlog:\n" << m_host.LogTail();
    EXPECT_EQ("", hwtest::HeldUpStopLines(m_host.Errors()));
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(hwtest::kStopBackstopSeconds));

    const std::string console = m_host.Errors();
    // The demo's rules read the Security and System logs and its audit
    // settings go to the registry; the security state and the other log
    // are used only when a rule or a report needs them.
    held.resize(3);
    for (const auto& [path, holder] : held) {
        EXPECT_NE(std::string::npos,
                  console.find("WARNING: " + path + " is locked by process " + std::to_string(holder) +
                               " (python3), a process another account owns (nobody, uid 65534); "))
            << path << "\n"
            << console;
    }
    EXPECT_NE(std::string::npos,
              console.find(root + "/push.policy.loading is a FIFO another account owns (nobody, uid 65534); "
                                  "it is not read"))
        << console;
    // Nothing of the other account's was opened or taken for the sensor's.
    EXPECT_TRUE(IsStrangersFifo(root + "/audit.policy"));
    EXPECT_TRUE(IsStrangersFifo(m_strOldLockName));
    struct stat info {};
    ASSERT_EQ(0, ::stat("/run/hostwarden", &info));
    EXPECT_EQ(0u, info.st_uid);
    EXPECT_EQ(0u, info.st_mode & (S_IWGRP | S_IWOTH));
    for (const auto& [path, holder] : held) {
        ASSERT_EQ(0, ::stat(path.c_str(), &info));
        EXPECT_EQ(0u, info.st_mode & 077) << path;
    }
}

// A member of the web-server group takes the lock word inside both locks of
// the web engine's areas, as a user of them, and keeps it: the engine says
// the turns it skips as rules-web.md words it, and a push (with its
// outcome and exit code), the alert after it and the stop each end as they
// would without it.  Datagrams sent at a hundred a second through the push
// are each one alert: the lock kept holds up no other engine's resume.
TEST_F(HostileLocksHostTest, WebGroupMemberKeepingTheWebLocksHoldsUpNoPushAlertOrStop) {
    hwtest::ThrowawayAccounts accounts;
    ASSERT_TRUE(accounts.IsReady());
    const std::string policy = StartWithWebGroup(accounts.Group());
    ASSERT_FALSE(HasFailure());

    const std::string scope = plat::ObjectScopeOfRoot(m_host.Root());
    for (const char* pszLock : {"QGEvMutex", "QGConfMutex"}) {
        const std::string said = m_host.File(std::string(pszLock) + ".holder");
        m_holders.push_back(std::make_unique<hwtest::ChildProcess>());
        ASSERT_TRUE(m_holders.back()->Start(
            hwtest::ThrowawayAccounts::As(accounts.Member(), {HW_NAMED_OBJECT_PEER, "hold-lock-word", pszLock, scope}),
            said, {"ASAN_OPTIONS=detect_leaks=0"}, true));
        ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(said) == "held\n"; }))
            << hwtest::ReadWholeFile(said);
    }
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return m_host.Errors().find("WARNING: The web-server lock QGEvMutex was not free within 1000 ms: ") !=
                     std::string::npos; },
        30))
        << m_host.ErrorsTail();

    std::atomic<bool> bStop{false};
    int nSent = 0;
    std::thread sender([&] {
        auto next = Clock::now();
        m_host.SendDatagrams([&](std::string& datagram) {
            std::this_thread::sleep_until(next += std::chrono::milliseconds(10));
            if (bStop) {
                return false;
            }
            datagram = "<38>su[78]: pam_unix(su:auth): authentication failure; logname= uid=1000 ruser=lw" +
                       std::to_string(++nSent) + " ";
            return true;
        });
    });
    auto began = Clock::now();
    std::string pushed;
    EXPECT_EQ(4, m_host.Push(policy, pushed)) << pushed;
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(15));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bStop = true;
    sender.join();
    const auto AlertedOnce = [&](const std::string& alerts, int n) {
        return hwtest::CountOf(alerts, "<param name='User' type='string' value='lw" + std::to_string(n) + "' />") == 1;
    };
    EXPECT_TRUE(hwtest::WaitUntil([&] { return AlertedOnce(m_host.Alerts(), nSent); }, 60)) << m_host.ErrorsTail();
    const std::string alerts = m_host.Alerts();
    int nWrong = 0;
    for (int n = 1; n <= nSent; ++n) {
        nWrong += AlertedOnce(alerts, n) ? 0 : 1;
    }
    EXPECT_EQ(0, nWrong) << "of " << nSent << " datagrams sent through the push";
    EXPECT_NE(std::string::npos, pushed.find("WebPlugin: the configuration area could not be written (not open, or "
                                             "its lock not free)"))
        << pushed;
    ASSERT_TRUE(m_host.SendDatagram(
        "<38>su[78]: pam_unix(su:auth): authentication failure; logname= uid=1000 ruser=trudy"));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_host.Alerts().find("trudy") != std::string::npos; }, 30))
        << m_host.ErrorsTail();

    began = Clock::now();
    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(hwtest::kStopBackstopSeconds));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
    EXPECT_EQ("", hwtest::HeldUpStopLines(m_host.Errors()));
    for (auto& holder : m_holders) {
        holder->CloseStdin();
        ASSERT_TRUE(holder->Wait(30, exitCode));
        EXPECT_EQ(0, exitCode);
    }
    m_holders.clear();
}

// A member of the web-server group cuts each of the web engine's areas and
// locks short while hwhost runs (POSIX shared memory cannot be sealed):
// hwhost goes on and says each cut, a syslog line still alerts, a push
// still answers, and the module's next event is an alert again once the
// engine has made the objects whole; so it is after cuts that leave each
// object a few bytes short, inside the last page it maps.
TEST_F(HostileLocksHostTest, WebGroupMemberCuttingTheWebAreasShortEndsNothing) {
    hwtest::ThrowawayAccounts accounts;
    ASSERT_TRUE(accounts.IsReady());
    const std::string policy = StartWithWebGroup(accounts.Group());
    ASSERT_FALSE(HasFailure());

    const std::string scope = plat::ObjectScopeOfRoot(m_host.Root());
    const std::pair<const char*, const char*> objects[] = {
        {"QGEvShm", "area"}, {"QGEvMutex", "lock"}, {"QGConfShm", "area"}, {"QGConfMutex", "lock"}};
    for (const auto& [pszObject, pszKind] : objects) {
        ASSERT_TRUE(hwtest::ThrowawayAccounts::RunAs(
            accounts.Member(),
            {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", HW_NAMED_OBJECT_PEER, "truncate", pszObject, scope}))
            << pszObject;
    }
    for (const auto& [pszObject, pszKind] : objects) {
        const std::string said = std::string("WARNING: The web-server ") + pszKind + " " + pszObject +
                                 " was cut short by another account: ";
        EXPECT_TRUE(hwtest::WaitUntil([&] { return m_host.Errors().find(said) != std::string::npos; }, 30))
            << said << "\n"
            << m_host.ErrorsTail();
    }
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] {
            return m_host.Errors().find("NOTICE: The web-server shared memory cut short by another account is "
                                        "mapped again, and the configuration area written again") != std::string::npos;
        },
        30))
        << m_host.ErrorsTail();

    ASSERT_TRUE(m_host.SendDatagram(
        "<38>su[79]: pam_unix(su:auth): authentication failure; logname= uid=1000 ruser=walter"));
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_host.Alerts().find("walter") != std::string::npos; }, 30))
        << m_host.ErrorsTail();
    std::string pushed;
    const int pushExit = m_host.Push(policy, pushed);
    EXPECT_TRUE(pushExit == 0 || pushExit == 4) << pushed;
    EXPECT_NE(std::string::npos, pushed.find("WebPlugin: ")) << pushed;
    ModuleEventAlerts(accounts.Member(), "203.0.113.66");

    // Cut inside their last pages, which reads zeros there without a fault
    // but keeps every module out: found and made whole all the same.
    const std::pair<const char*, long> lastPages[] = {
        {"QGEvShm", kWebEvShmSize - 100}, {"QGEvMutex", 64}, {"QGConfShm", kWebConfShmSize - 100}, {"QGConfMutex", 64}};
    for (const auto& [pszObject, nLength] : lastPages) {
        ASSERT_TRUE(hwtest::ThrowawayAccounts::RunAs(accounts.Member(),
                                                     {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", HW_NAMED_OBJECT_PEER,
                                                      "truncate", pszObject, scope, std::to_string(nLength)}))
            << pszObject;
    }
    ModuleEventAlerts(accounts.Member(), "203.0.113.68");

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
}

// A member of the web-server group takes every unit of the web ring's lock
// without a holder's entry (its id in the lock word, the count written to
// 0) and ends, as a module that scribbles could: the engine gives the unit
// back at its next turn, within seconds and without a push or a SIGHUP,
// says so once as a later finding that hwhost.status lists, and the
// module's next event is an alert.
TEST_F(HostileLocksHostTest, WebGroupMemberLeavingTheWebLockWithoutItsUnitBlindsTheEngineForSecondsOnly) {
    hwtest::ThrowawayAccounts accounts;
    ASSERT_TRUE(accounts.IsReady());
    StartWithWebGroup(accounts.Group());
    ASSERT_FALSE(HasFailure());

    const std::string said =
        "WARNING: The web-server lock QGEvMutex had no unit free and none held by a living process (a process of "
        "the web-server group took it and ended without giving it back, or wrote its count down): it was given "
        "back, and web-server events are read again";
    const auto began = Clock::now();
    ASSERT_TRUE(hwtest::ThrowawayAccounts::RunAs(accounts.Member(),
                                                 {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", HW_NAMED_OBJECT_PEER,
                                                  "take-units-and-leave", "QGEvMutex",
                                                  plat::ObjectScopeOfRoot(m_host.Root())}));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_host.Errors().find(said + "\n") != std::string::npos; }, 30))
        << m_host.ErrorsTail();
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(5));
    const std::string status = m_host.File("hwhost.status");
    EXPECT_TRUE(hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(status).find(said) != std::string::npos; }))
        << hwtest::ReadWholeFile(status);

    ModuleEventAlerts(accounts.Member(), "203.0.113.67");
    EXPECT_EQ(1u, hwtest::CountOf(m_host.Errors(), said));

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
}

// A member of the web-server group writes over the web ring's lock and
// leaves, in three ways that a process of the group can: the word that
// guards its counts given to a process that lives for good (the first
// process), its unit said to be held by that process (with its true start
// time), and its layout written over (its magic, its length) so that no
// module can open it.  Each costs the engine and the module a few seconds
// at most: the engine takes the word over and the unit back once they have
// been kept for kWebLockKeptMs, says so once as a later finding, puts the
// layout back at its next turn, and the module's next event is an alert,
// all without a push or a SIGHUP.
TEST_F(HostileLocksHostTest, WebGroupMemberWritingOverTheWebLockBlindsTheEngineForSecondsOnly) {
    hwtest::ThrowawayAccounts accounts;
    ASSERT_TRUE(accounts.IsReady());
    StartWithWebGroup(accounts.Group());
    ASSERT_FALSE(HasFailure());
    const std::string scope = plat::ObjectScopeOfRoot(m_host.Root());
    const auto Scribble = [&](std::vector<std::string> items) {
        std::vector<std::string> line{"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", HW_NAMED_OBJECT_PEER, "scribble",
                                      "QGEvMutex", scope};
        line.insert(line.end(), items.begin(), items.end());
        return hwtest::ThrowawayAccounts::RunAs(accounts.Member(), line);
    };
    int nEvent = 0;
    const auto EventAlerts = [&] {
        return ModuleEventAlerts(accounts.Member(), "203.0.113." + std::to_string(70 + ++nEvent));
    };
    // What is given back comes within the bound and a few turns.
    const auto kWithin = std::chrono::milliseconds(kWebLockKeptMs) + std::chrono::seconds(10);

    ASSERT_TRUE(Scribble({"lock=1"}));
    EXPECT_LT(EventAlerts(), kWithin);
    const std::string said = "WARNING: The web-server lock QGEvMutex was kept for more than 3 s by a process that "
                             "lives (a process of the web-server group keeps it or wrote over it, or its holder was "
                             "stopped): it was taken back, and web-server events are read again";
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_host.Errors().find(said + "\n") != std::string::npos; }))
        << m_host.ErrorsTail();
    EXPECT_TRUE(hwtest::WaitUntil(
        [&] { return hwtest::ReadWholeFile(m_host.File("hwhost.status")).find(said.substr(9)) != std::string::npos; }));

    ASSERT_TRUE(Scribble({"holder=1", "count=0"}));
    EXPECT_LT(EventAlerts(), kWithin);

    ASSERT_TRUE(Scribble({"magic=0", "length=4096"}));
    EXPECT_LT(EventAlerts(), kWithin);
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return m_host.Errors().find("WARNING: The web-server lock QGEvMutex had its layout written over by another "
                                    "process, so that the web-server module could not open it: it was put back\n") !=
               std::string::npos;
    })) << m_host.ErrorsTail();

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
}
