// What another account on the machine can do to the files hwhost and the
// sensor write in the sensor root, end to end with the real plug-in and its
// script process in a private network namespace (root).  Each hostile step
// runs as "nobody": symbolic links planted at the names of the pid file,
// the status file, the log, the alert and message files, the script
// process's log and the outbox are refused, said so, and their targets left
// untouched.  Under umask 000 nothing the host makes is writable by others,
// and alert files rotated away or removed are made anew.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/NamespacedHost.h"
#include "support/ThrowawayAccounts.h"

namespace fs = std::filesystem;

namespace {

// A syslog rule whose alerts are mailed, and with `bScripts` go through a
// validation script first (so the script process runs and keeps its log;
// it takes a few seconds to start).
std::string Policy(bool bScripts) {
    std::string text =
        hwtest::SyslogPolicy({{"Checked login", "login failed", {{"User", "@Field4"}}}});
    const std::string key = "[\\Advanced\\Rules\\SysLog Rules\\Checked login\\";
    if (bScripts) {
        const std::string off = "ScriptEnabled\t=B\t0;";
        text.replace(text.find(off), off.size(), "ScriptEnabled\t=B\t1;");
        text += key +
                "Script\\];\r\nEnabled\t=B\t1;\r\nScriptType\t=S\tTCL;\r\nValidation\t=S\treturn "
                "1;\r\n";
    }
    return text + key + "Response\\];\r\n" + key +
           "Response\\EMAIL\\];\r\nEnabled\t=B\t1;\r\nChoice\t=S\tAdmins;\r\n";
}

const std::string kCommonPolicy =
    "Host Warden common policy\r\n[\\];\r\n[\\Response\\];\r\n[\\Response\\EMAIL\\];\r\n"
    "[\\Response\\EMAIL\\Admins\\];\r\nTo\t=S\tsecurity@example.org;\r\n"
    "Subject\t=S\tLog-in failure;\r\n";

constexpr char kStranger[] = "nobody";
constexpr char kPrecious[] = "precious";

class HostileRootHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace and another account";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
        hwtest::WriteWholeFile(m_host.File("common.policy"), kCommonPolicy);
        hwtest::WriteWholeFile(m_strTarget, kPrecious);
    }

    bool Start(const std::vector<std::string>& arguments = {}) {
        return m_host.Start(arguments) &&
               hwtest::WaitUntil([&] { return m_host.SyslogPortOpen(); });
    }

    // A shell command run as the other account in the sensor root.
    static bool AsStranger(const std::string& root, const std::string& command) {
        return hwtest::ThrowawayAccounts::RunAs(
            kStranger, {"/bin/sh", "-c", "cd '" + root + "' && " + command});
    }

    bool Alert(const std::string& user) {
        return m_host.SendDatagram("<38>sshd[1]: login failed for " + user);
    }

    std::string TargetText() const { return hwtest::ReadWholeFile(m_strTarget); }

    // `hwhost push` of the test's policy, waiting up to `nWait` seconds for
    // the outcome; what it said (standard output and error), and its exit
    // code.
    std::string PushPolicy(int nWait, int& exitCode) {
        const std::string edited = m_elsewhere.File("edited.policy");
        hwtest::WriteWholeFile(edited, Policy(false));
        hwtest::ChildProcess push;
        exitCode = -1;
        EXPECT_TRUE(push.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "push", "--root", m_host.Root(),
                                "--wait", std::to_string(nWait), edited},
                               m_elsewhere.File("push.out")));
        EXPECT_TRUE(push.Wait(nWait + 30, exitCode));
        return hwtest::ReadWholeFile(m_elsewhere.File("push.out"));
    }

    hwtest::NetworkNamespace m_namespace;
    hwtest::NamespacedHost m_host{m_namespace};
    hwtest::ScratchDirectory m_elsewhere;
    const std::string m_strTarget = m_elsewhere.File("target");
};

// Every entry under `folder` (links not followed) that a group or others may
// write, by name.
std::vector<std::string> WritableByOthers(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat info {};
        if (::lstat(entry.path().c_str(), &info) == 0 && !S_ISLNK(info.st_mode) &&
            (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            found.push_back(entry.path().string());
        }
    }
    return found;
}

// Whether a sanitizer (the test build's, or ThreadSanitizer's) reported
// anything on the host's standard error.
void ExpectNoSanitizerReport(const std::string& errors) {
    for (const char* pszMark : {"AddressSanitizer", "ThreadSanitizer", "runtime error"}) {
        EXPECT_EQ(std::string::npos, errors.find(pszMark)) << errors;
    }
}

}  // namespace

TEST_F(HostileRootHostTest, AnotherAccountsLinksInTheRootAreRefusedAndTheirTargetsStayUntouched) {
    m_host.WritePolicy(Policy(true));
    const std::string root = m_host.Root();
    // A root others may write into, as one made under umask 000 would be.
    ASSERT_EQ(0, ::chmod(root.c_str(), 0777));
    const std::string link = "ln -s '" + m_strTarget + "' ";

    // The pid file: the host does not start on it.
    ASSERT_TRUE(AsStranger(root, link + "hwhost.pid"));
    {
        hwtest::ChildProcess refused;
        refused.SetErrorFile(m_host.File("refused.err"));
        ASSERT_TRUE(refused.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "run", "--root",
                                   root, "--log", m_host.File("hwhost.log")},
                                  m_host.File("refused.out")));
        int exitCode = -1;
        ASSERT_TRUE(refused.Wait(30, exitCode));
        EXPECT_EQ(1, exitCode);
        EXPECT_NE(std::string::npos,
                  hwtest::ReadWholeFile(m_host.File("refused.err"))
                      .find(root + "/hwhost.pid is a symbolic link another account owns"))
            << hwtest::ReadWholeFile(m_host.File("refused.err"));
        EXPECT_EQ(kPrecious, TargetText());
    }
    fs::remove(m_host.File("hwhost.pid"));

    // Names planted before the start: the status file, the script
    // process's log, and the outbox as a link to a folder of the stranger's
    // choosing.
    ASSERT_TRUE(AsStranger(root, link + "hwhost.status && " + link + "tclproc.log && ln -s '" +
                                     m_elsewhere.Path() + "' outbox"));
    ASSERT_TRUE(Start({"--messages", m_host.File("messages.bin")})) << m_host.ErrorsTail();
    ASSERT_TRUE(Alert("alice"));
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_host.Alerts().find("alice") != std::string::npos &&
               m_host.Log().find("hwhost: e-mail \"Admins\" not written yet: " + root +
                                 "/outbox is a symbolic link another account owns (nobody, uid "
                                 "65534); tried again\n") != std::string::npos;
    })) << m_host.Log();
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_host.Errors().find("/tclproc.log is a symbolic link another account owns") !=
               std::string::npos;
    })) << m_host.ErrorsTail();
    EXPECT_NE(std::string::npos,
              m_host.Log().find("hwhost: cannot write " + root + "/hwhost.status: " + root +
                                "/hwhost.status is a symbolic link another account owns"))
        << m_host.Log();

    // The alert and message files renamed away under the host and links put
    // in their places: what follows waits rather than go through them.
    ASSERT_TRUE(AsStranger(root, "mv alerts.xml alerts.old && " + link +
                                     "alerts.xml && mv messages.bin messages.old && " + link +
                                     "messages.bin"));
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        Alert("bob");
        return m_host.Log().find("cannot open the alert file: " + root +
                                 "/alerts.xml is a symbolic link another account owns") !=
                   std::string::npos &&
               m_host.Log().find("cannot open the message file: " + root +
                                 "/messages.bin is a symbolic link another account owns") !=
                   std::string::npos;
    })) << m_host.Log();
    // In a folder without the sticky bit the name cannot be kept, so it is
    // not taken back: the refusal is said where the operator looks (its
    // console copy follows its log line).
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return m_host.Errors().find("ERROR: hwhost: cannot open the alert file: " + root +
                                    "/alerts.xml is a symbolic link another account owns") != std::string::npos;
    })) << m_host.ErrorsTail();

    // The log, the same way: only the console can say so.
    ASSERT_TRUE(AsStranger(root, "mv hwhost.log hwhost.old && " + link + "hwhost.log"));
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        Alert("carol");
        return m_host.Errors().find("hwhost: the log is not written: " + root +
                                    "/hwhost.log is a symbolic link another account owns") !=
               std::string::npos;
    })) << m_host.ErrorsTail();

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(kPrecious, TargetText());
    EXPECT_EQ(std::vector<std::string>{}, hwtest::MailFiles(m_elsewhere.Path()));
    ExpectNoSanitizerReport(m_host.Errors());
}

TEST_F(HostileRootHostTest,
       UnderUmaskZeroNothingIsWritableByOthersAndRotatedAlertFilesAreMadeAnew) {
    m_host.WritePolicy(Policy(false));
    const std::string alerts = m_host.File("alerts.xml");
    const std::string messages = m_host.File("messages.bin");
    const mode_t before = ::umask(0);
    const bool bStarted = Start({"--messages", messages, "--log", m_host.File("logs/hwhost.log")});
    ::umask(before);
    ASSERT_TRUE(bStarted) << m_host.ErrorsTail();
    const auto count = [](const std::string& path) {
        return hwtest::CountOf(hwtest::ReadWholeFile(path), "</event>");
    };
    ASSERT_TRUE(Alert("alice"));
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return count(alerts) == 1 && hwtest::MailFiles(m_host.File("outbox")).size() == 1;
    })) << m_host.ErrorsTail();

    // Rotated: renamed away, then SIGHUP.  The next alert is in a new file.
    const std::string log = m_host.File("logs/hwhost.log");
    const size_t reloads = hwtest::CountOf(hwtest::ReadWholeFile(log), "hwhost: reload completed");
    fs::rename(alerts, alerts + ".1");
    fs::rename(messages, messages + ".1");
    const auto messageBytes = fs::file_size(messages + ".1");
    m_host.Signal(SIGHUP);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return hwtest::CountOf(hwtest::ReadWholeFile(log), "hwhost: reload completed") > reloads;
    })) << m_host.ErrorsTail();
    ASSERT_TRUE(Alert("bob"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return count(alerts) == 1 && fs::exists(messages); }))
        << m_host.ErrorsTail();
    EXPECT_NE(std::string::npos, hwtest::ReadWholeFile(alerts).find("bob"));
    EXPECT_EQ(1u, count(alerts + ".1"));
    EXPECT_EQ(messageBytes, fs::file_size(messages + ".1"));

    // Removed: the next alert makes the file again, without a signal.
    fs::remove(alerts);
    ASSERT_TRUE(Alert("carol"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return count(alerts) == 1; })) << m_host.ErrorsTail();
    EXPECT_NE(std::string::npos, hwtest::ReadWholeFile(alerts).find("carol"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::MailFiles(m_host.File("outbox")).size() == 3; }));

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
    EXPECT_EQ(std::vector<std::string>{}, WritableByOthers(m_host.Root()));
    for (const std::string& mail : hwtest::MailFiles(m_host.File("outbox"))) {
        struct stat info {};
        ASSERT_EQ(0, ::stat(mail.c_str(), &info));
        EXPECT_EQ(0640u, info.st_mode & 0777) << mail;
    }
    ExpectNoSanitizerReport(m_host.Errors());
}

// The alert and message files live in a folder every account may write,
// with the sticky bit (as /tmp): after a rotation another account makes a
// FIFO at each name before the SIGHUP.  Each name is taken back, said on
// the console, and the files are made anew: no alert waits on that account
// and none is lost.
TEST_F(HostileRootHostTest, FifoAnotherAccountMadeAtARotatedAlertFileInAStickyFolderIsTakenBack) {
    m_host.WritePolicy(Policy(false));
    const std::string shared = m_elsewhere.File("shared");
    ASSERT_EQ(0, ::chmod(m_elsewhere.Path().c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(shared.c_str(), 0777));
    ASSERT_EQ(0, ::chmod(shared.c_str(), 01777));
    const std::string alerts = shared + "/alerts.xml";
    const std::string messages = shared + "/messages.bin";
    ASSERT_TRUE(Start({"--alerts", alerts, "--messages", messages})) << m_host.ErrorsTail();
    const auto count = [](const std::string& path) {
        return hwtest::CountOf(hwtest::ReadWholeFile(path), "</event>");
    };
    ASSERT_TRUE(Alert("alice"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return count(alerts) == 1; })) << m_host.ErrorsTail();

    fs::rename(alerts, alerts + ".1");
    fs::rename(messages, messages + ".1");
    ASSERT_TRUE(AsStranger(shared, "mkfifo alerts.xml messages.bin"));
    const size_t reloads = hwtest::CountOf(m_host.Log(), "hwhost: reload completed");
    m_host.Signal(SIGHUP);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return hwtest::CountOf(m_host.Log(), "hwhost: reload completed") > reloads;
    })) << m_host.ErrorsTail();
    constexpr int kAfter = 20;
    for (int i = 0; i < kAfter; ++i) {
        ASSERT_TRUE(Alert("bob" + std::to_string(i)));
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] { return count(alerts) == kAfter; })) << m_host.ErrorsTail();
    std::printf("%d alerts written to the alert file made anew after the FIFO\n", kAfter);
    for (const std::string& path : {alerts, messages}) {
        // The message file is taken back by its own writer, which may come
        // to it after the alert file's last alert.
        EXPECT_TRUE(hwtest::WaitUntil([&] {
            struct stat info {};
            return m_host.Errors().find("WARNING: " + path +
                                        " is a FIFO another account owns (nobody, uid 65534); it is taken back "
                                        "and the file made anew") != std::string::npos &&
                   ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == 0;
        })) << path << "\n" << m_host.ErrorsTail();
    }
    EXPECT_EQ(1u, count(alerts + ".1"));

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
    EXPECT_NE(std::string::npos, m_host.Log().find(std::to_string(kAfter + 1) + " written, 0 dropped, 0 not written"))
        << m_host.Log();
    EXPECT_EQ(std::string::npos, m_host.Errors().find("Bound reached")) << m_host.ErrorsTail();
    ExpectNoSanitizerReport(m_host.Errors());
}

// hwhost push reads the status and pid files another account may have put
// in a root it can write into: a link to a file only root may read, a FIFO
// and a file of its own are each refused with the reason, and neither the
// file behind the link is shown nor the push left hanging.
TEST_F(HostileRootHostTest, PushReadsNoStatusOrPidFileThatAnotherAccountPutInTheRoot) {
    const std::string root = m_host.Root();
    ASSERT_EQ(0, ::chmod(root.c_str(), 0777));
    // A sensor root, where no hwhost runs.
    m_host.WritePolicy(Policy(false));
    // Shaped as a status record, so that a push that read it would print it.
    const std::string secret = m_elsewhere.File("secret");
    hwtest::WriteWholeFile(secret, "9\treload\t2\t0\t-\t-\t-\t-\tSECRET TEXT\t\t\n");
    ASSERT_EQ(0, ::chmod(secret.c_str(), 0600));
    const auto Push = [&](int& exitCode) { return PushPolicy(5, exitCode); };
    struct Planted {
        const char* pszName;
        std::string strCommand;
        const char* pszReason;
        int nExitCode;
    };
    const Planted planted[] = {
        {"hwhost.status", "ln -s '" + secret + "' hwhost.status",
         "hwhost.status is a symbolic link another account owns (nobody, uid 65534); it is not followed",
         1},
        {"hwhost.status", "mkfifo hwhost.status",
         "hwhost.status is a FIFO another account owns (nobody, uid 65534); it is not read", 1},
        {"hwhost.status", "echo '1\tstart-up\t1\t0\t-\t-\t-\t-\taccepted\t\t' > hwhost.status",
         "hwhost.status is a file another account owns (nobody, uid 65534); it is not read", 1},
        {"hwhost.pid", "echo 1 > hwhost.pid",
         "hwhost.pid is a file another account owns (nobody, uid 65534); it is not read", 3},
        {"hwhost.pid", "mkfifo hwhost.pid",
         "hwhost.pid is a FIFO another account owns (nobody, uid 65534); it is not read", 3},
    };
    for (const Planted& plant : planted) {
        SCOPED_TRACE(plant.strCommand);
        ASSERT_TRUE(AsStranger(root, plant.strCommand));
        int exitCode = -1;
        const std::string said = Push(exitCode);
        EXPECT_EQ(plant.nExitCode, exitCode) << said;
        EXPECT_NE(std::string::npos, said.find(root + "/" + plant.pszReason)) << said;
        EXPECT_EQ(std::string::npos, said.find("SECRET")) << said;
        // A refused status file leaves nothing pushed; with a refused pid
        // file the policy waits for the next start.
        EXPECT_EQ(plant.nExitCode == 3, fs::exists(m_host.File("push.policy")));
        fs::remove(m_host.File(plant.pszName));
        fs::remove(m_host.File("push.policy"));
    }
    EXPECT_EQ("9\treload\t2\t0\t-\t-\t-\t-\tSECRET TEXT\t\t\n", hwtest::ReadWholeFile(secret));
}

// A pid file left by a host that crashed, readable by all as older hosts
// left it, on which another account holds a read lock: neither a push nor
// the next start takes that account's process for a host.  The push names
// the holder and signals nothing; the start replaces the file, says so, and
// the push that follows reaches the new host only.
TEST_F(HostileRootHostTest, StalePidFileAnotherAccountLocksIsReplacedAndItsHolderNeverSignalled) {
    m_host.WritePolicy(Policy(false));
    const std::string root = m_host.Root();
    ASSERT_EQ(0, ::chmod(root.c_str(), 0755));
    const std::string pidFile = m_host.File("hwhost.pid");
    hwtest::WriteWholeFile(pidFile, "1\n");
    ASSERT_EQ(0, ::chmod(pidFile.c_str(), 0644));
    // The holder says "signalled" on any SIGHUP (whose default would end it).
    const std::string said = m_elsewhere.File("holder.out");
    hwtest::ChildProcess holder;
    ASSERT_TRUE(holder.Start(
        hwtest::ThrowawayAccounts::As(
            kStranger, {"/usr/bin/python3", "-c",
                        "import fcntl, signal, sys, time\n"
                        "signal.signal(signal.SIGHUP, lambda *a: print('signalled', flush=True))\n"
                        "f = open(sys.argv[1])\nfcntl.lockf(f, fcntl.LOCK_SH)\n"
                        "print('held', flush=True)\nwhile True: time.sleep(1)",
                        pidFile}),
        said));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(said) == "held\n"; }));
    const std::string holderText = "hwhost.pid is locked by process " + std::to_string(holder.Pid()) +
                                   " (python3), a process another account owns (nobody, uid 65534); ";
    const auto Push = [&](int& exitCode) { return PushPolicy(60, exitCode); };

    int exitCode = -1;
    std::string output = Push(exitCode);
    EXPECT_EQ(3, exitCode) << output;
    EXPECT_NE(std::string::npos, output.find(root + "/" + holderText + "it names no hwhost")) << output;

    ASSERT_TRUE(Start()) << m_host.ErrorsTail();
    EXPECT_NE(std::string::npos,
              m_host.Errors().find("WARNING: " + root + "/" + holderText + "it is replaced\n"))
        << m_host.ErrorsTail();
    EXPECT_EQ(std::to_string(m_host.Pid()) + "\n", hwtest::ReadWholeFile(pidFile));
    struct stat info {};
    ASSERT_EQ(0, ::stat(pidFile.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);

    output = Push(exitCode);
    EXPECT_TRUE(exitCode == 0 || exitCode == 4) << output;
    EXPECT_NE(std::string::npos, output.find("handed to hwhost (pid " + std::to_string(m_host.Pid()) + ")"))
        << output;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
    EXPECT_TRUE(holder.IsRunning());
    EXPECT_EQ("held\n", hwtest::ReadWholeFile(said));
}
