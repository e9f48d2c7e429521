// Policy files as an operator handles them, through the real hwhost with the
// real plug-in: damaged files refused at start-up and at reloads while the
// policy in force stays, a push replaced while a reload reads it kept for the
// next reload, and an edited policy applied with `hwhost push`.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "HostStatusFile.h"
#include "platform/Refusal.h"
#include "support/ChildProcess.h"
#include "support/DamagedPolicy.h"
#include "support/OpenGate.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kHwHost = std::string(HW_BINARY_DIR) + "/bin/hwhost";
constexpr char kReloadDone[] = "hwhost: reload completed with status ";
constexpr char kRuleDefinitions[] =
    "Host Warden rule definitions\r\n[\\];\r\n[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n";

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

class PolicyFilesHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_root.File("applogs"));
        hwtest::WriteWholeFile(m_root.File("applogs/app.log"), "");
        hwtest::WriteWholeFile(m_root.File("Default.policy"), Policy("alpha"));
        hwtest::WriteWholeFile(m_root.File("RuleDef_Win_2K3.policy"), kRuleDefinitions);
        hwtest::WriteWholeFile(m_root.File("common.policy"), CommonPolicy(""));
    }

    void TearDown() override {
        if (m_pHost != nullptr) {
            m_pHost->Stop();
        }
    }

    // One text-log rule on DIR/applogs whose alerts are mailed; nothing
    // opens a port or starts the script process, so hosts run side by side.
    std::string Policy(const std::string& token) const {
        return "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\nScriptEnabled\t=B\t0;\r\n"
               "Nodekeeper\t=B\t0;\r\n[\\Advanced\\];\r\n[\\Advanced\\Logs\\];\r\n"
               "[\\Advanced\\Logs\\Test log\\];\r\nPath\t=S\t" +
               m_root.File("applogs/*.log") +
               ";\r\nNewestOnly\t=B\t0;\r\n[\\Advanced\\Rules\\];\r\n"
               "[\\Advanced\\Rules\\SysLog Rules\\];\r\n"
               "[\\Advanced\\Rules\\SysLog Rules\\Marker\\];\r\nEnabled\t=B\t1;\r\n"
               "Priority\t=L\t2;\r\nAlert Type\t=S\tApplicationEvent;\r\nLog Type\t=S\tTextLog;\r\n"
               "Regular Expression\t=S\t" +
               token +
               "-[0-9]+;\r\nLogs\t=S\tTest log;\r\n"
               "[\\Advanced\\Rules\\SysLog Rules\\Marker\\Info\\];\r\nToken\t=S\t@Field1;\r\n"
               "[\\Advanced\\Rules\\SysLog Rules\\Marker\\Response\\];\r\n"
               "[\\Advanced\\Rules\\SysLog Rules\\Marker\\Response\\EMAIL\\];\r\nEnabled\t=B\t1;\r\n"
               "Choice\t=S\tAdmins;\r\n";
    }

    static std::string CommonPolicy(const std::string& extra) {
        return "Host Warden common policy\r\n[\\];\r\n[\\Response\\];\r\n[\\Response\\EMAIL\\];\r\n"
               "[\\Response\\EMAIL\\Admins\\];\r\nTo\t=S\tops@example.org;\r\n" +
               extra;
    }

    void Start() {
        ++m_nRun;
        m_pHost = std::make_unique<hwtest::ChildProcess>();
        m_pHost->SetErrorFile(Out("hwhost.err"));
        ASSERT_TRUE(m_pHost->Start({kHwHost, "run", "--root", m_root.Path(), "--alerts",
                                    Out("alerts.xml"), "--log", Out("hwhost.log")},
                                   Out("hwhost.out")));
    }
    // Waits until the host runs its sensor or has ended; true when it runs.
    bool AwaitStart() {
        hwtest::WaitUntil([&] { return Started() || !m_pHost->IsRunning(); }, 120);
        return Started();
    }
    bool Started() { return Errors().find("hwhost: sensor started") != std::string::npos; }
    int Stop() {
        int exitCode = -1;
        ::kill(m_pHost->Pid(), SIGTERM);
        EXPECT_TRUE(m_pHost->Wait(120, exitCode)) << Log();
        return exitCode;
    }
    // The exit code of a host that ends by itself.
    int AwaitExit() {
        int exitCode = -1;
        EXPECT_TRUE(m_pHost->Wait(120, exitCode)) << Errors();
        return exitCode;
    }

    std::string Out(const std::string& name) const {
        return m_out.File(std::to_string(m_nRun) + "." + name);
    }
    std::string Errors() const { return hwtest::ReadWholeFile(Out("hwhost.err")); }
    // The console once `said` is on it: the host logs a command's end
    // before it writes what it says of it there.
    std::string ErrorsOnceSaid(const std::string& said) const {
        hwtest::WaitUntil([&] { return Errors().find(said) != std::string::npos; }, 30);
        return Errors();
    }
    std::string Log() const { return hwtest::ReadWholeFile(Out("hwhost.log")); }
    std::string Alerts() const { return hwtest::ReadWholeFile(Out("alerts.xml")); }
    std::string Root(const std::string& name) const { return hwtest::ReadWholeFile(m_root.File(name)); }
    // Whether the console and the newest record of hwhost.status say the
    // refusal of `file` at start-up with the policy put in force instead.
    bool SaysInForceInstead(const std::string& file, const std::string& instead) const {
        const std::string head = "WARNING: " + file + " refused (";
        const std::string tail = "; it is kept as " + file + ".refused; " + instead + " is in force instead.";
        const auto says = [&](const std::string& line) {
            return line.rfind(head, 0) == 0 && line.size() > tail.size() &&
                   line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
        };
        std::vector<std::string> console;
        std::string line;
        std::istringstream errors(Errors());
        while (std::getline(errors, line)) {
            console.push_back(line);
        }
        const std::vector<HostStatusRecord> records = HostStatusFile(m_root.Path()).Read();
        return std::count_if(console.begin(), console.end(), says) == 1 && !records.empty() &&
               std::count_if(records.back().m_findings.begin(), records.back().m_findings.end(), says) == 1;
    }
    void Write(const std::string& name, const std::string& bytes) {
        hwtest::WriteWholeFile(m_root.File(name), bytes);
    }

    size_t AskReload() {
        size_t before = CountOf(Log(), kReloadDone);
        EXPECT_EQ(0, ::kill(m_pHost->Pid(), SIGHUP));
        return before;
    }
    // The status and text of the reload after the `before`th.
    std::string AwaitReload(size_t before) {
        if (!hwtest::WaitUntil([&] { return CountOf(Log(), kReloadDone) > before; }, 120)) {
            return "<never completed>";
        }
        std::string log = Log();
        size_t at = 0;
        for (size_t n = 0; n <= before; ++n) {
            at = log.find(kReloadDone, n == 0 ? 0 : at + 1);
        }
        at += sizeof kReloadDone - 1;
        return log.substr(at, log.find('\n', at) - at);
    }
    std::string Reload() { return AwaitReload(AskReload()); }

    // Appends marked lines until one with `token` is reported: lines the
    // engine finds at a scan are history, so it probes.
    bool AlertsFor(const std::string& token) {
        return hwtest::WaitUntil(
            [&] {
                const std::string value = token + "-" + std::to_string(++m_nProbe);
                std::ofstream(m_root.File("applogs/app.log"), std::ios::app)
                    << "marker " << value << "\n";
                return hwtest::WaitUntil(
                    [&] { return Alerts().find("value='" + value + "'") != std::string::npos; }, 3);
            },
            90);
    }

    // Runs `hwhost push` to its end; answers its exit code and output.
    int Push(const std::string& file, std::string& output) {
        hwtest::ChildProcess push;
        const std::string out = m_out.File("push" + std::to_string(++m_nPush) + ".out");
        EXPECT_TRUE(push.Start({kHwHost, "push", "--root", m_root.Path(), "--wait", "120", file}, out));
        int exitCode = -1;
        EXPECT_TRUE(push.Wait(180, exitCode));
        output = hwtest::ReadWholeFile(out);
        return exitCode;
    }

    hwtest::ScratchDirectory m_root;
    hwtest::ScratchDirectory m_out;
    std::unique_ptr<hwtest::ChildProcess> m_pHost;
    int m_nRun = 0;
    int m_nProbe = 0;
    int m_nPush = 0;
};

}  // namespace

// Each of the four files, in every damaged form, makes a reload fail with
// the file and the reason; the engines go on with the rules in force and a
// pushed policy keeps waiting, to be applied once the files are whole.
TEST_F(PolicyFilesHostTest, DamagedFilesOnReloadAreRefusedAndThePolicyInForceStays) {
    Start();
    ASSERT_TRUE(AwaitStart()) << Errors();
    ASSERT_TRUE(AlertsFor("alpha")) << Log();
    const std::string refusal = "2: The sensor policy could not be loaded: ";

    for (const hwtest::DamagedFile& damaged : hwtest::DamagedVariants(Policy("beta"))) {
        SCOPED_TRACE(std::string("push.policy, ") + damaged.m_pszKind);
        Write("push.policy", damaged.m_strBytes);
        std::string outcome = Reload();
        EXPECT_EQ(0u, outcome.find(refusal + "push.policy refused (")) << outcome;
        EXPECT_NE(std::string::npos, outcome.find("it is kept as push.policy.refused")) << outcome;
        EXPECT_EQ(damaged.m_strBytes, Root("push.policy.refused"));
    }

    // New responses make a reload read the accepted policy.
    const std::string accepted = Root("current.policy");
    Write("common.policy", CommonPolicy("[\\Response\\EMAIL\\Auditors\\];\r\nTo\t=S\taudit@example.org;\r\n"));
    for (const hwtest::DamagedFile& damaged : hwtest::DamagedVariants(accepted)) {
        SCOPED_TRACE(std::string("current.policy, ") + damaged.m_pszKind);
        Write("current.policy", damaged.m_strBytes);
        std::string outcome = Reload();
        EXPECT_EQ(0u, outcome.find(refusal + "current.policy refused (")) << outcome;
        EXPECT_EQ(damaged.m_strBytes, Root("current.policy"));
    }
    Write("current.policy", accepted);

    Write("push.policy", Policy("gamma"));
    for (const hwtest::DamagedFile& damaged : hwtest::DamagedVariants(kRuleDefinitions)) {
        SCOPED_TRACE(std::string("RuleDef_Win_2K3.policy, ") + damaged.m_pszKind);
        Write("RuleDef_Win_2K3.policy", damaged.m_strBytes);
        std::string outcome = Reload();
        EXPECT_EQ(0u, outcome.find(refusal + "RuleDef_Win_2K3.policy refused (")) << outcome;
        EXPECT_EQ(Policy("gamma"), Root("push.policy"));
    }
    Write("RuleDef_Win_2K3.policy", kRuleDefinitions);

    const std::string common = Root("common.policy");
    for (const hwtest::DamagedFile& damaged : hwtest::DamagedVariants(common)) {
        SCOPED_TRACE(std::string("common.policy, ") + damaged.m_pszKind);
        Write("common.policy", damaged.m_strBytes);
        std::string outcome = Reload();
        EXPECT_EQ(0u, outcome.find("2: common.policy refused (")) << outcome;
        EXPECT_NE(std::string::npos, outcome.find("; the policy in force stays")) << outcome;
        EXPECT_EQ(Policy("gamma"), Root("push.policy"));
    }
    EXPECT_NE(std::string::npos, Errors().find("hwhost: reload failed (status 2): common.policy refused ("));
    // Refused every time, the policy in force has been running throughout,
    // with the responses read before.
    ASSERT_TRUE(AlertsFor("alpha")) << Log();
    // Only whole mails: one being written is a temporary file of the folder.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return !hwtest::MailFiles(m_root.File("outbox")).empty(); }));
    for (const std::string& mail : hwtest::MailFiles(m_root.File("outbox"))) {
        EXPECT_EQ(0u, hwtest::ReadWholeFile(mail).find("To: ops@example.org\n")) << mail;
    }

    Write("common.policy", common);
    EXPECT_EQ("1", Reload());
    EXPECT_FALSE(fs::exists(m_root.File("push.policy")));
    EXPECT_EQ(Policy("gamma"), Root("push.policy.applied"));
    ASSERT_TRUE(AlertsFor("gamma")) << Log();
    EXPECT_EQ(0, Stop());
}

// At start-up nothing is in force: a damaged push or accepted policy is set
// aside and the next one in line is used, said on the console; without
// whole rule definitions or a whole common policy the sensor does not start.
TEST_F(PolicyFilesHostTest, DamagedFilesAtStartUpAreSetAsideOrStopTheStart) {
    for (const hwtest::DamagedFile& damaged : hwtest::DamagedVariants(Policy("beta"))) {
        SCOPED_TRACE(std::string("push.policy, ") + damaged.m_pszKind);
        Write("push.policy", damaged.m_strBytes);
        const bool bAccepted = fs::exists(m_root.File("current.policy"));
        Start();
        ASSERT_TRUE(AwaitStart()) << Errors();
        EXPECT_TRUE(SaysInForceInstead("push.policy", bAccepted ? "current.policy, the policy accepted last,"
                                                                : "the factory policy Default.policy"))
            << Errors();
        EXPECT_EQ(damaged.m_strBytes, Root("push.policy.refused"));
        EXPECT_EQ(0, Stop());
    }

    const std::string accepted = Root("current.policy");
    for (const hwtest::DamagedFile& damaged : hwtest::DamagedVariants(accepted)) {
        SCOPED_TRACE(std::string("current.policy, ") + damaged.m_pszKind);
        Write("current.policy", damaged.m_strBytes);
        Start();
        ASSERT_TRUE(AwaitStart()) << Errors();
        EXPECT_TRUE(SaysInForceInstead("current.policy", "the factory policy Default.policy")) << Errors();
        EXPECT_EQ(damaged.m_strBytes, Root("current.policy.refused"));
        EXPECT_EQ(0, Stop());
    }

    const struct {
        const char* pszFile;
        std::string strWhole;
        std::string strFailure;
    } files[] = {
        {"RuleDef_Win_2K3.policy", kRuleDefinitions,
         "hwhost: start-up failed (status 2): The sensor policy could not be loaded: "
         "RuleDef_Win_2K3.policy refused ("},
        {"common.policy", Root("common.policy"),
         "hwhost: start-up failed (status 2): common.policy refused ("},
    };
    for (const auto& file : files) {
        for (const hwtest::DamagedFile& damaged : hwtest::DamagedVariants(file.strWhole)) {
            SCOPED_TRACE(std::string(file.pszFile) + ", " + damaged.m_pszKind);
            Write(file.pszFile, damaged.m_strBytes);
            Start();
            EXPECT_EQ(1, AwaitExit());
            EXPECT_NE(std::string::npos, Errors().find(file.strFailure)) << Errors();
            if (std::string(file.pszFile) == "common.policy") {
                EXPECT_NE(std::string::npos, Errors().find("; no policy is in force\n")) << Errors();
            }
        }
        Write(file.pszFile, file.strWhole);
    }
}

// The push a reload takes is moved aside before it is read, so one written
// while the reload reads the first (held at its open) is not lost: it waits
// for the next reload.
TEST_F(PolicyFilesHostTest, PushReplacedWhileAReloadReadsItIsKeptForTheNext) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to hold the sensor at an open";
    }
    Start();
    ASSERT_TRUE(AwaitStart()) << Errors();
    hwtest::OpenGate gate(m_root.Path(), "push.policy.loading");
    ASSERT_TRUE(gate.IsReady());
    Write("push.policy", Policy("first"));

    size_t before = AskReload();
    ASSERT_TRUE(gate.WaitHeld(60));
    Write("second.policy", Policy("second"));
    fs::rename(m_root.File("second.policy"), m_root.File("push.policy"));
    gate.Release();
    EXPECT_EQ("1", AwaitReload(before));

    EXPECT_EQ(Policy("second"), Root("push.policy"));
    ASSERT_TRUE(AlertsFor("first")) << Log();
    EXPECT_EQ("1", Reload());
    ASSERT_TRUE(AlertsFor("second")) << Log();
    EXPECT_EQ(0, Stop());
}

// The documented way to apply an edited policy: checked before anything is
// handed over, applied with a reload of the running host, the outcome told.
// A missing common policy is said once, whatever the reloads.
TEST_F(PolicyFilesHostTest, EditedPolicyIsAppliedWithHwhostPush) {
    fs::remove(m_root.File("common.policy"));
    Start();
    ASSERT_TRUE(AwaitStart()) << Errors();
    ASSERT_TRUE(AlertsFor("alpha")) << Log();

    std::string output;
    // Neither a folder nor a FIFO is read: each is named for what it is,
    // with its owner, as every refusal is.
    const std::string mine = plat::OwnerText(::geteuid());
    EXPECT_EQ(1, Push(m_out.Path(), output)) << output;
    EXPECT_EQ("hwhost: " + m_out.Path() + " is a directory " + mine + "; nothing was pushed\n", output);
    ASSERT_EQ(0, ::mkfifo(m_out.File("fifo.policy").c_str(), 0600));
    EXPECT_EQ(1, Push(m_out.File("fifo.policy"), output)) << output;
    EXPECT_EQ("hwhost: " + m_out.File("fifo.policy") + " is a FIFO " + mine + "; nothing was pushed\n",
              output);
    if (::geteuid() == 0) {
        // A link another account made is not followed to a policy of its
        // choosing.
        hwtest::WriteWholeFile(m_out.File("theirs.policy"), Policy("beta"));
        ASSERT_EQ(0, ::symlink(m_out.File("theirs.policy").c_str(), m_out.File("link.policy").c_str()));
        ASSERT_EQ(0, ::lchown(m_out.File("link.policy").c_str(), 65534, 65534));
        EXPECT_EQ(1, Push(m_out.File("link.policy"), output)) << output;
        EXPECT_EQ("hwhost: " + m_out.File("link.policy") +
                      " is a symbolic link another account owns (nobody, uid 65534); nothing was pushed\n",
                  output);
    }
    EXPECT_EQ(1, Push(m_out.File("missing.policy"), output)) << output;
    EXPECT_EQ("hwhost: cannot read " + m_out.File("missing.policy") +
                  ": No such file or directory; nothing was pushed\n",
              output);

    const std::string cut = hwtest::DamagedVariants(Policy("beta"))[1].m_strBytes;
    hwtest::WriteWholeFile(m_out.File("cut.policy"), cut);
    EXPECT_EQ(1, Push(m_out.File("cut.policy"), output)) << output;
    EXPECT_NE(std::string::npos, output.find(" refused (line ")) << output;
    EXPECT_NE(std::string::npos, output.find("nothing was pushed")) << output;
    EXPECT_FALSE(fs::exists(m_root.File("push.policy")));

    // Past the size cap: refused before more than the cap is read.
    hwtest::WriteWholeFile(m_out.File("large.policy"),
                           Policy("beta") + std::string(5 << 20, '\n'));
    EXPECT_EQ(1, Push(m_out.File("large.policy"), output)) << output;
    EXPECT_NE(std::string::npos, output.find("refused (is larger than the 4 MiB")) << output;
    EXPECT_FALSE(fs::exists(m_root.File("push.policy")));

    // A text saved as the writer saves a script with its own CR LF line
    // ends, whose lines begin with "[" or read like value lines, is no
    // damage.
    // It goes into the rule's Info section: a section given a second time
    // would be warned about.
    std::string edited = Policy("beta");
    const std::string token = "Token\t=S\t@Field1;\r\n";
    edited.insert(edited.find(token) + token.size(),
                  "Note\t=S\tproc verdict {user} {\r\r\n[string trim $user]\r\r\nName\t=S\tvalue\r\r\n};\r\n");
    hwtest::WriteWholeFile(m_out.File("edited.policy"), edited);
    EXPECT_EQ(0, Push(m_out.File("edited.policy"), output)) << output << Log();
    EXPECT_NE(std::string::npos, output.find("the policy is applied")) << output;
    ASSERT_TRUE(AlertsFor("beta")) << Log();
    // An unchanged policy pushed again is applied again.
    EXPECT_EQ(0, Push(m_out.File("edited.policy"), output)) << output;

    EXPECT_EQ(1u, CountOf(Errors(), "hwhost: no common policy " + m_root.File("common.policy")))
        << Errors();
    EXPECT_EQ(0, Stop());

    hwtest::WriteWholeFile(m_out.File("next.policy"), Policy("gamma"));
    EXPECT_EQ(3, Push(m_out.File("next.policy"), output)) << output;
    EXPECT_NE(std::string::npos, output.find("no hwhost runs on")) << output;
    EXPECT_EQ(Policy("gamma"), Root("push.policy"));
}

// `hwhost push` tells what the load said: each kind of mistake that leaves
// a valid file gives its error or warning, with the rule and the value, the
// rules each engine took, and exit code 4; a clean policy gives 0.
// hwhost.status keeps the same.
TEST_F(PolicyFilesHostTest, PushPrintsWhatTheLoadSaidAndTellsACleanLoadApart) {
    Start();
    ASSERT_TRUE(AwaitStart()) << Errors();
    const std::string rule = "Rule \\Advanced\\Rules\\SysLog Rules\\Marker";
    const struct {
        const char* pszKind;
        std::string strFrom;
        std::string strTo;
        std::string strSaid;
        const char* pszCount;
        const char* pszTextLog;
    } mistakes[] = {
        {"misspelt key", "Regular Expression\t", "Regular Expresion\t",
         "WARNING: " + rule + ": no reader of the \"SysLog Rules\" rules knows \"Regular Expresion\" (\"beta-[0-9]+\"); it has no effect\n",
         "0 errors and 2 warnings", "1 rule; log groups Test log"},
        {"pattern that does not compile", "beta-[0-9]+", "beta-[0-9+",
         "ERROR: Unable to parse regular expression (beta-[0-9+) for " + rule +
             ": unmatched []; the rule matches nothing\n",
         "1 error and 0 warnings", "1 rule; log groups Test log"},
        {"log type in lower case", "Log Type\t=S\tTextLog", "Log Type\t=S\tsyslog",
         "ERROR: Invalid rule type (syslog) for rule \\Advanced\\Rules\\SysLog Rules\\Marker\n",
         // The text-log engine loses the one rule it took: a warning too.
         "1 error and 1 warning", "0 rules; no rule names a defined log group"},
        {"undefined log group", "Logs\t=S\tTest log", "Logs\t=S\tTest logs",
         "WARNING: " + rule + " uses a Log Group (Test logs) that is not defined\n",
         "0 errors and 2 warnings", "0 rules; no rule names a defined log group"},
        {"choice without a definition", "Choice\t=S\tAdmins", "Choice\t=S\tNobody",
         "ERROR: Found invalid response : EMAIL \\ Nobody for rule : Marker\n",
         "2 errors and 0 warnings", "1 rule; log groups Test log"},
    };
    std::string output;
    for (const auto& mistake : mistakes) {
        SCOPED_TRACE(mistake.pszKind);
        std::string policy = Policy("beta");
        const size_t at = policy.find(mistake.strFrom);
        ASSERT_NE(std::string::npos, at);
        policy.replace(at, mistake.strFrom.size(), mistake.strTo);
        hwtest::WriteWholeFile(m_out.File("mistake.policy"), policy);
        EXPECT_EQ(4, Push(m_out.File("mistake.policy"), output)) << output;
        EXPECT_EQ(1u, CountOf(output, mistake.strSaid)) << output;
        EXPECT_NE(std::string::npos, output.find("hwhost: the rules each engine took:\n")) << output;
        EXPECT_NE(std::string::npos,
                  output.find(std::string("\n  Text Log Monitor: ") + mistake.pszTextLog))
            << output;
        EXPECT_NE(std::string::npos,
                  output.find("hwhost: the policy is applied as " + m_root.File("current.policy") +
                              " with " + mistake.pszCount + " (above)"))
            << output;
        EXPECT_NE(std::string::npos,
                  Root("hwhost.status").find(std::string("\taccepted with ") + mistake.pszCount + "\t"))
            << Root("hwhost.status");
    }
    // The compiler's reason reaches the log too, not the console alone.
    EXPECT_NE(std::string::npos, Log().find("(beta-[0-9+) for " + rule + ": unmatched []")) << Log();

    hwtest::WriteWholeFile(m_out.File("clean.policy"), Policy("gamma"));
    EXPECT_EQ(0, Push(m_out.File("clean.policy"), output)) << output;
    EXPECT_EQ(std::string::npos, output.find("ERROR")) << output;
    EXPECT_EQ(std::string::npos, output.find("WARNING")) << output;
    EXPECT_NE(std::string::npos, output.find("\n  Text Log Monitor: 1 rule; log groups Test log\n"))
        << output;
    EXPECT_NE(std::string::npos, output.find("hwhost: the policy is applied and accepted as "))
        << output;
    const std::string status = Root("hwhost.status");
    EXPECT_NE(std::string::npos, status.find("\taccepted\t\tDecoy Engine: 0 rules")) << status;
    ASSERT_TRUE(AlertsFor("gamma")) << Log();
    EXPECT_EQ(0, Stop());
}

// What cannot work is named by the push that brings it, each with why, and
// the push exits 4: a rule that requires its script under a policy with
// scripting off (left out), a rule choosing a program that does not exist,
// a trap manager whose name does not resolve (a warning: it may later) and
// a correlation rule that watches only a rule of an engine that is off.
TEST_F(PolicyFilesHostTest, PushOfRulesAndResponsesThatCannotWorkNamesEachAndExitsFour) {
    Start();
    ASSERT_TRUE(AwaitStart()) << Errors();
    // A manager whose name fails without asking the machine's resolver.
    const std::string far = hwtest::UnresolvableHost();
    Write("common.policy",
          CommonPolicy("[\\Response\\USER SPECIFIED\\];\r\n[\\Response\\USER SPECIFIED\\Notify\\];\r\n"
                       "Program\t=S\t/nonexistent/hw-notify --now;\r\nParameters\t=S\t<event>;\r\n"
                       "[\\Response\\SNMP\\];\r\n[\\Response\\SNMP\\Far\\];\r\n"
                       "Address\t=S\t" + far + ":162;\r\n"));
    std::string policy = Policy("beta");
    policy.replace(policy.find("Choice\t=S\tAdmins;\r\n"), 21,
                   "Choice\t=S\tAdmins;\r\n"
                   "[\\Advanced\\Rules\\SysLog Rules\\Marker\\Response\\USER SPECIFIED\\];\r\n"
                   "Enabled\t=B\t1;\r\nChoice\t=S\tNotify;\r\n"
                   "[\\Advanced\\Rules\\SysLog Rules\\Marker\\Response\\SNMP\\];\r\n"
                   "Enabled\t=B\t1;\r\nChoice\t=S\tFar;\r\n");
    policy +=
        "[\\Advanced\\Rules\\SysLog Rules\\Checked\\];\r\nEnabled\t=B\t1;\r\nNeedTcl\t=B\t1;\r\n"
        "Log Type\t=S\tTextLog;\r\nLogs\t=S\tTest log;\r\nRegular Expression\t=S\tchecked;\r\n"
        "[\\Advanced\\Rules\\SysLog Rules\\Checked\\Script\\];\r\nEnabled\t=B\t1;\r\n"
        "ScriptType\t=S\tTCL;\r\nValidation\t=S\treturn 1;\r\n"
        "[\\Advanced\\Rules\\Nodekeeper Rules\\];\r\n[\\Advanced\\Rules\\Nodekeeper Rules\\Land_Attack\\];\r\n"
        "Enabled\t=B\t1;\r\nAlert Type\t=S\tSuspiciousTCP;\r\n"
        "[\\Advanced\\Rules\\Correlation Rules\\];\r\n"
        "[\\Advanced\\Rules\\Correlation Rules\\Network storm\\];\r\nEnabled\t=B\t1;\r\n"
        "Type\t=S\tCUMULATIVE;\r\nThreshold\t=L\t3;\r\n"
        "[\\Advanced\\Rules\\Correlation Rules\\Network storm\\Rules\\];\r\nLand_Attack\t=S\t1;\r\n";
    hwtest::WriteWholeFile(m_out.File("cannot.policy"), policy);
    std::string output;
    EXPECT_EQ(4, Push(m_out.File("cannot.policy"), output)) << output;
    const std::string rules = "\\Advanced\\Rules\\";
    for (const std::string& said : {
             "ERROR: Rule " + rules + "SysLog Rules\\Checked has \"NeedTcl\" on but scripting is off in "
             "this policy (\"ScriptEnabled\" 0 in \\config): it is left out\n",
             std::string("ERROR: hwhost: common.policy: the response USER SPECIFIED \\ Notify has the "
                         "\"Program\" \"/nonexistent/hw-notify\", which cannot be run: No such file or "
                         "directory; each alert that chooses it fails to start it\n"),
             "WARNING: hwhost: common.policy: the response SNMP \\ Far sends its traps to " + far +
                 ", but its host name does not resolve (host not found); its traps fail until the name resolves\n",
             "ERROR: Rule " + rules + "Correlation Rules\\Network storm can never fire: no rule it watches "
             "gives an alert (\"Land_Attack\", a rule of the IDS Engine, which is off (network "
             "monitoring (\"Nodekeeper\") is off))\n"}) {
        EXPECT_EQ(1u, CountOf(output, said)) << said << "\n" << output;
    }
    EXPECT_NE(std::string::npos, output.find("; its traps fail until the name resolves\n")) << output;
    // The line the rule's reader is known by, on hwhost's console.
    EXPECT_NE(std::string::npos,
              Errors().find("Rule \"Checked\" requires TCL, but TCL is not enabled; this rule will be "
                            "ignored.\n"))
        << Errors();
    EXPECT_NE(std::string::npos, output.find("\n  Text Log Monitor: 1 rule; log groups Test log\n"))
        << output;
    EXPECT_EQ(0, Stop());
}

// A push names each template its rule's engine cannot resolve as written,
// with the rule, the pair and the template, and exits 4; the alerts carry
// what those templates always gave.
TEST_F(PolicyFilesHostTest, PushOfTemplatesTheEngineCannotResolveNamesEachAndExitsFour) {
    Start();
    ASSERT_TRUE(AwaitStart()) << Errors();
    std::string policy = Policy("beta");
    const std::string token = "Token\t=S\t@Field1;\r\n";
    policy.replace(policy.find(token), token.size(),
                   token + "Typo\t=S\t@Fild4;\r\nRemote\t=S\t@Remote;\r\nEvent\t=S\t@String0;\r\n"
                           "Far\t=S\t@Field99999;\r\nOpen\t=S\tuser={!;\r\nTwice\t=S\ta={!} b={!};\r\n");
    hwtest::WriteWholeFile(m_out.File("templates.policy"), policy);
    std::string output;
    EXPECT_EQ(4, Push(m_out.File("templates.policy"), output)) << output;
    const std::string pair = "WARNING: Rule \\Advanced\\Rules\\SysLog Rules\\Marker: information pair ";
    const std::string noMarker = " is no marker of a text-log rule, whose markers are @Field<n>, @File, @Group, "
                                 "@Host and @HostIP: the value is the template as it stands\n";
    for (const std::string& said : {
             pair + "\"Typo\": the template \"@Fild4\"" + noMarker,
             pair + "\"Remote\": the template \"@Remote\"" + noMarker,
             pair + "\"Event\": the template \"@String0\"" + noMarker,
             pair + "\"Far\": the template \"@Field99999\" names field 99999, past the last one a text-log rule "
                    "can see (field 32767: a line is read in pieces of at most 65536 bytes): the value is always "
                    "empty\n",
             pair + "\"Open\": the template \"user={!\" has \"{!\" without its closing \"}\", which is then no "
                    "marker: the value is the template as it stands\n",
             pair + "\"Twice\": the template \"a={!} b={!}\" has a second \"{!}\": only the first is a marker, so "
                    "the value runs on to the end of the text unless the text holds \" b={!}\" as it stands\n"}) {
        EXPECT_EQ(1u, CountOf(output, said)) << said << "\n" << output;
    }
    EXPECT_NE(std::string::npos, output.find(" with 0 errors and 6 warnings (above)")) << output;
    ASSERT_TRUE(AlertsFor("beta")) << Log();
    const std::string alerts = Alerts();
    for (const char* value : {"name='Typo' type='string' value='@Fild4'", "name='Remote' type='string' value='@Remote'",
                              "name='Open' type='string' value='user={!'", "name='Far' type='string' value=''"}) {
        EXPECT_NE(std::string::npos, alerts.find(value)) << value << "\n" << alerts;
    }
    EXPECT_EQ(0, Stop());
}

// A choice the common policy does not define makes no mail: the load says
// which rule chose what, and the stop counts what was not carried out.  A
// changed definition is used after a SIGHUP that reads no rule, and the log
// says so; one taken away that a rule still chooses is an error of that
// reload.
TEST_F(PolicyFilesHostTest, ChoiceWithoutDefinitionMakesNoMailAndReloadsSayWhatChanged) {
    std::string policy = Policy("alpha");
    policy.replace(policy.find("Choice\t=S\tAdmins"), 16, "Choice\t=S\tNobody");
    Write("Default.policy", policy);
    Start();
    ASSERT_TRUE(AwaitStart()) << Errors();
    EXPECT_NE(std::string::npos, Log().find("Found invalid response : EMAIL \\ Nobody for rule : Marker"))
        << Log();
    EXPECT_NE(std::string::npos, Errors().find("hwhost: the policy was accepted with 2 errors and 0 warnings"))
        << Errors();
    ASSERT_TRUE(AlertsFor("alpha")) << Log();

    Write("common.policy", "Host Warden common policy\r\n[\\];\r\n[\\Response\\];\r\n[\\Response\\EMAIL\\];\r\n"
                           "[\\Response\\EMAIL\\Admins\\];\r\nTo\t=S\tsecurity@example.org;\r\n");
    EXPECT_EQ("1", Reload());
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return Log().find("hwhost: reload: no policy was read again; the changed response "
                          "definitions of common.policy are used from now on") != std::string::npos;
    })) << Log();
    EXPECT_EQ(std::string::npos, Log().find("Nothing to reload")) << Log();

    Write("common.policy", CommonPolicy(""));
    hwtest::WriteWholeFile(m_out.File("admins.policy"), Policy("beta"));
    std::string output;
    EXPECT_EQ(0, Push(m_out.File("admins.policy"), output)) << output;
    ASSERT_TRUE(AlertsFor("beta")) << Log();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return fs::exists(m_root.File("outbox")); }));
    // Admins goes; the rule in force still chooses it.
    Write("common.policy", CommonPolicy("").replace(CommonPolicy("").find("Admins"), 6, "Others"));
    EXPECT_EQ("1", Reload());
    EXPECT_NE(std::string::npos, Log().find("Found invalid response : EMAIL \\ Admins for rule : Marker"))
        << Log();
    // The status is written once the reload's completion has been logged.
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return Root("hwhost.status").find("Found invalid response : EMAIL \\\\ Admins") !=
               std::string::npos;
    })) << Root("hwhost.status");
    const int lastMailed = m_nProbe;
    ASSERT_TRUE(AlertsFor("beta")) << Log();
    EXPECT_EQ(0, Stop());
    // The mails name their alert's value: those of the alerts before carry
    // it, none was made for an alert after.
    std::string mails;
    for (const std::string& mail : hwtest::MailFiles(m_root.File("outbox"))) {
        mails += hwtest::ReadWholeFile(mail);
    }
    EXPECT_NE(std::string::npos, mails.find("beta-" + std::to_string(lastMailed) + "\n")) << mails;
    for (int probe = lastMailed + 1; probe <= m_nProbe; ++probe) {
        EXPECT_EQ(std::string::npos, mails.find("beta-" + std::to_string(probe) + "\n")) << mails;
    }
    const std::string summary = Log();
    EXPECT_EQ(std::string::npos, summary.find(" 0 responses without a definition")) << summary;
    EXPECT_NE(std::string::npos, summary.find(" responses without a definition not carried out"))
        << summary;
}

// A definition that exists but lacks what its kind needs (a mail without
// "To", a trap without a manager, a program without "Program") makes
// nothing: each policy load names it once, push prints it, the stop counts
// what was not carried out, and the definition once mended is used.
TEST_F(PolicyFilesHostTest, DefinitionLackingWhatItNeedsMakesNoMailAndEachLoadNamesIt) {
    const std::string mended = CommonPolicy(
        "[\\Response\\SNMP\\];\r\n[\\Response\\SNMP\\Managers\\];\r\nCommunity\t=S\tops;\r\n"
        "Address\t=S\t127.0.0.1:9;\r\n"
        "[\\Response\\USER SPECIFIED\\];\r\n[\\Response\\USER SPECIFIED\\Notify\\];\r\n"
        "Parameters\t=S\t<event>;\r\nProgram\t=S\t/bin/true;\r\n");
    std::string common = mended;
    for (const char* pszLacking :
         {"ops@example.org", "Address\t=S\t127.0.0.1:9;\r\n", "Program\t=S\t/bin/true;\r\n"}) {
        common.erase(common.find(pszLacking), std::strlen(pszLacking));
    }
    Write("common.policy", common);
    const std::vector<std::string> said = {
        "hwhost: common.policy: the response EMAIL \\ Admins has no \"To\", so no mail is made "
        "for it",
        "hwhost: common.policy: the response SNMP \\ Managers has no \"Address\" and hwhost was "
        "given no --snmp-manager, so no trap is sent for it",
        "hwhost: common.policy: the response USER SPECIFIED \\ Notify has no \"Program\", so no "
        "program is started for it",
    };
    Start();
    ASSERT_TRUE(AwaitStart()) << Errors();
    // Each in full on the console, before the verdict that counts them.
    for (const std::string& line : said) {
        EXPECT_EQ(1u, CountOf(Log(), line)) << line << "\n" << Log();
        EXPECT_EQ(1u, CountOf(Errors(), "\nERROR: " + line + "\n")) << Errors();
    }
    EXPECT_NE(std::string::npos,
              Errors().find("hwhost: the policy was accepted with 3 errors and 0 warnings (above"))
        << Errors();
    ASSERT_TRUE(AlertsFor("alpha")) << Log();

    hwtest::WriteWholeFile(m_out.File("beta.policy"), Policy("beta"));
    std::string output;
    EXPECT_EQ(4, Push(m_out.File("beta.policy"), output)) << output;
    for (const std::string& line : said) {
        EXPECT_EQ(1u, CountOf(output, "ERROR: " + line + "\n")) << output;
        EXPECT_EQ(2u, CountOf(Log(), line)) << line << "\n" << Log();
    }
    EXPECT_NE(std::string::npos, output.find(" with 3 errors and 0 warnings (above)")) << output;
    // The status file writes "\" doubled.
    EXPECT_NE(std::string::npos,
              Root("hwhost.status").find("ERROR: hwhost: common.policy: the response EMAIL \\\\ "
                                         "Admins has no \"To\""))
        << Root("hwhost.status");
    ASSERT_TRUE(AlertsFor("beta")) << Log();
    const int lastUnmailed = m_nProbe;

    // Mended, the definition is used from the next reload on, and the
    // reload names nothing.
    Write("common.policy", mended);
    EXPECT_EQ("1", Reload());
    // The status is written once the reload's completion has been logged.
    std::string last;
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        const std::string status = Root("hwhost.status");
        last = status.substr(status.rfind('\n', status.size() - 2) + 1);
        return last.find("\tno policy was read again; the changed response") != std::string::npos;
    })) << Root("hwhost.status");
    EXPECT_EQ(std::string::npos, last.find("ERROR")) << last;
    EXPECT_NE(std::string::npos,
              Errors().find("hwhost: reload: no policy was read again; the changed response "
                            "definitions of common.policy are used from now on\n"))
        << Errors();
    ASSERT_TRUE(AlertsFor("beta")) << Log();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return fs::exists(m_root.File("outbox")); }));

    // The mail loses its "To" again: the SIGHUP that reads common.policy
    // says so on the console, where it was asked for.
    const size_t before = CountOf(Errors(), "\nERROR: " + said[0] + "\n");
    std::string lacking = mended;
    lacking.erase(lacking.find("To\t=S\tops@example.org;\r\n"), 24);
    Write("common.policy", lacking);
    EXPECT_EQ("1", Reload());
    const std::string reloadSaid =
        "hwhost: reload: no policy was read again; the changed response "
        "definitions of common.policy are used from now on; 1 error and 0 warnings (above)\n";
    const std::string errors = ErrorsOnceSaid(reloadSaid);
    EXPECT_EQ(before + 1, CountOf(errors, "\nERROR: " + said[0] + "\n")) << errors;
    EXPECT_NE(std::string::npos, errors.find(reloadSaid)) << errors;
    EXPECT_EQ(0, Stop());
    std::string mails;
    for (const std::string& mail : hwtest::MailFiles(m_root.File("outbox"))) {
        mails += hwtest::ReadWholeFile(mail);
    }
    EXPECT_NE(std::string::npos, mails.find("To: ops@example.org\n")) << mails;
    EXPECT_NE(std::string::npos, mails.find("beta-" + std::to_string(m_nProbe) + "\n")) << mails;
    EXPECT_EQ(std::string::npos, mails.find("alpha-")) << mails;
    for (int probe = 1; probe <= lastUnmailed; ++probe) {
        EXPECT_EQ(std::string::npos, mails.find("beta-" + std::to_string(probe) + "\n")) << mails;
    }
    EXPECT_EQ(3u, CountOf(Log(), said[0])) << Log();
    const std::string summary = Log();
    EXPECT_EQ(std::string::npos, summary.find(" 0 responses with an unusable definition"))
        << summary;
    EXPECT_NE(std::string::npos,
              summary.find(" responses with an unusable definition not carried out"))
        << summary;
}

// A block definition the network engine reads as blocking no intruder (no
// address in "Addresses", "Allow" off) is an error like any definition
// never carried out; one that lets no intruder through ("Allow" on) and a
// piece of "Addresses" that is no address are warnings.  Each load names
// them on the console before its verdict, push prints them, and the status
// file keeps them; the definitions once mended are named no more.
TEST_F(PolicyFilesHostTest, BlockDefinitionWithoutUsableAddressesIsNamedAtEachLoad) {
    const std::string block =
        "[\\Response\\BLOCK\\];\r\n[\\Response\\BLOCK\\Nowhere\\];\r\nAllow\t=B\t0;\r\n"
        "[\\Response\\BLOCK\\Misspelled\\];\r\nAddresses\t=S\t10.0.0.300, 192.0.2.0/40;\r\n"
        "[\\Response\\BLOCK\\Everyone\\];\r\nAllow\t=B\t1;\r\n"
        "[\\Response\\BLOCK\\Office\\];\r\nAddresses\t=S\t198.51.100.0/24,198.51.100.O;\r\nAllow\t=B\t1;\r\n";
    Write("common.policy", CommonPolicy(block));
    const std::string prefix = "hwhost: common.policy: the response BLOCK \\ ";
    const std::vector<std::string> errors = {
        prefix + "Misspelled has no address in \"Addresses\", so it blocks no intruder",
        prefix + "Nowhere has no \"Addresses\", so it blocks no intruder",
    };
    const std::vector<std::string> warnings = {
        prefix + "Everyone has no \"Addresses\" and \"Allow\" on, so it lets no intruder through: the "
                 "rules that choose it block every intruder",
        prefix + "Misspelled: \"Addresses\" holds \"10.0.0.300\", \"192.0.2.0/40\", not an address "
                 "(a.b.c.d or a.b.c.d/n): it matches no intruder",
        prefix + "Office: \"Addresses\" holds \"198.51.100.O\", not an address (a.b.c.d or a.b.c.d/n): it "
                 "matches no intruder",
    };
    Start();
    ASSERT_TRUE(AwaitStart()) << Errors();
    for (const std::string& line : errors) {
        EXPECT_EQ(1u, CountOf(Errors(), "\nERROR: " + line + "\n")) << Errors();
    }
    for (const std::string& line : warnings) {
        EXPECT_EQ(1u, CountOf(Errors(), "\nWARNING: " + line + "\n")) << Errors();
    }
    EXPECT_NE(std::string::npos,
              Errors().find("hwhost: the policy was accepted with 2 errors and 3 warnings (above"))
        << Errors();

    hwtest::WriteWholeFile(m_out.File("beta.policy"), Policy("beta"));
    std::string output;
    EXPECT_EQ(4, Push(m_out.File("beta.policy"), output)) << output;
    for (const std::string& line : errors) {
        EXPECT_EQ(1u, CountOf(output, "ERROR: " + line + "\n")) << output;
    }
    for (const std::string& line : warnings) {
        EXPECT_EQ(1u, CountOf(output, "WARNING: " + line + "\n")) << output;
    }
    EXPECT_NE(std::string::npos, output.find(" with 2 errors and 3 warnings (above)")) << output;
    EXPECT_NE(std::string::npos, Root("hwhost.status").find("ERROR: hwhost: common.policy: the response BLOCK "
                                                            "\\\\ Nowhere has no \"Addresses\""))
        << Root("hwhost.status");

    // Mended, the next push is clean.
    Write("common.policy",
          CommonPolicy("[\\Response\\BLOCK\\];\r\n[\\Response\\BLOCK\\Office\\];\r\n"
                       "Addresses\t=S\t198.51.100.0/24, 203.0.113.7;\r\nAllow\t=B\t1;\r\n"));
    hwtest::WriteWholeFile(m_out.File("gamma.policy"), Policy("gamma"));
    EXPECT_EQ(0, Push(m_out.File("gamma.policy"), output)) << output;
    EXPECT_EQ(std::string::npos, output.find("BLOCK")) << output;

    // Only a block definition's values change: the reload reads no policy,
    // and says that the changed definition is in force, as the network
    // engine takes it at once.
    Write("common.policy",
          CommonPolicy("[\\Response\\BLOCK\\];\r\n[\\Response\\BLOCK\\Office\\];\r\n"
                       "Addresses\t=S\t203.0.113.9;\r\nAllow\t=B\t0;\r\n"));
    EXPECT_EQ("1", Reload());
    const std::string definitionsSaid =
        "hwhost: reload: no policy was read again; the changed response "
        "definitions of common.policy are used from now on\n";
    EXPECT_EQ(1u, CountOf(ErrorsOnceSaid(definitionsSaid), definitionsSaid)) << Errors();
    EXPECT_EQ("1", Reload());
    // Said after the reload's completion is logged.
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        return Log().find("hwhost: reload: no policy was read again and no response definition changed") !=
               std::string::npos;
    })) << Log();
    EXPECT_EQ(0, Stop());
}
