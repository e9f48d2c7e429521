// hwhost with the real plug-in, driven by signals as an operator drives it.

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/NetworkNamespace.h"
#include "support/TestUtil.h"
#include "support/Tracer.h"

namespace fs = std::filesystem;

namespace {

const std::string kHwHost = std::string(HW_BINARY_DIR) + "/bin/hwhost";
const std::string kDemo = std::string(HW_SOURCE_DIR) + "/examples/demo";
const char* const kEngines[] = {"Decoy Engine",      "IDS Engine", "WebPlugin",
                                "NTEventlog Engine", "NT Syslog",  "Text Log Monitor",
                                "Correlation Engine"};

using Lines = std::vector<std::string>;

Lines Each(const std::string& operation) {
    Lines steps;
    for (const char* engine : kEngines) {
        steps.push_back(operation + " " + engine);
    }
    return steps;
}

Lines Then(Lines first, const Lines& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class HwHostRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy(kDemo, m_root.Path(), fs::copy_options::recursive);
        m_log = m_dir.File("hwhost.log");
        std::vector<std::string> argv = {kHwHost, "run", "--root", m_root.Path(), "--log", m_log,
                                         "--alerts", m_dir.File("alerts.xml")};
        // The demo's engines open fixed ports (syslog, decoys, the script
        // process): given the rights, keep them off the machine's own.
        if (m_network.IsReady()) {
            argv = m_network.Enter(argv);
        }
        ASSERT_TRUE(m_host.Start(argv, m_dir.File("console.txt")));
    }

    // The log's lines from `from` on.
    Lines LogLines(size_t from = 0) const {
        Lines lines;
        std::string text = hwtest::ReadWholeFile(m_log);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                break;
            }
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines.size() > from ? Lines(lines.begin() + static_cast<long>(from), lines.end())
                                   : Lines();
    }

    // Waits for the host's line on how `command` was completed, and answers
    // it with the engine steps logged since the previous command.
    std::string AwaitCompletion(const std::string& command, Lines& steps) {
        const std::string marker = "hwhost: " + command + " completed with status ";
        std::string completion;
        bool seen = hwtest::WaitUntil(
            [&] {
                for (const std::string& line : LogLines(m_consumed)) {
                    size_t at = line.find(marker);
                    if (at != std::string::npos) {
                        completion = line.substr(at + marker.size());
                        return true;
                    }
                }
                return false;
            },
            120);
        if (!seen) {
            return "<never completed>";
        }
        steps.clear();
        const std::string prefix = "Thread list: ";
        Lines lines = LogLines(m_consumed);
        for (const std::string& line : lines) {
            size_t at = line.find(prefix);
            if (at != std::string::npos) {
                steps.push_back(line.substr(at + prefix.size()));
            }
            ++m_consumed;
            if (line.find(marker) != std::string::npos) {
                break;
            }
        }
        return completion;
    }

    void Signal(int signal) { ASSERT_EQ(0, ::kill(m_host.Pid(), signal)); }
    void Push() { fs::copy_file(m_root.File("Default.policy"), m_root.File("push.policy")); }

    hwtest::NetworkNamespace m_network;
    hwtest::ScratchDirectory m_dir;
    hwtest::ScratchDirectory m_root;
    std::string m_log;
    hwtest::ChildProcess m_host;
    size_t m_consumed = 0;
};

}  // namespace

TEST_F(HwHostRunTest, CommandsFromSignalsAreCompletedAndReachEveryEngineInOrder) {
    Lines steps;
    Lines paused = Then(Each("OnPauseInit"), Then(Each("OnPauseInit"), Each("OnPause")));

    ASSERT_EQ("1", AwaitCompletion("start-up", steps));
    EXPECT_EQ(Then(Each("ConfigureEventSections"), Then(Each("Oninit"), Each("OnStart"))), steps);

    // Nothing new: the reload is answered without touching the engines.
    Signal(SIGHUP);
    ASSERT_EQ("1", AwaitCompletion("reload", steps));
    EXPECT_EQ(Lines{}, steps);

    Push();
    Signal(SIGHUP);
    ASSERT_EQ("1", AwaitCompletion("reload", steps));
    EXPECT_EQ(Then(paused, Then(Each("OnReloadPolicy"), Each("OnResume"))), steps);
    EXPECT_FALSE(fs::exists(m_root.File("push.policy")));

    Signal(SIGUSR1);
    ASSERT_EQ("1", AwaitCompletion("pause", steps));
    EXPECT_EQ(paused, steps);

    Signal(SIGUSR2);
    ASSERT_EQ("1", AwaitCompletion("resume", steps));
    EXPECT_EQ(Each("OnResume"), steps);

    Signal(SIGUSR1);
    ASSERT_EQ("1", AwaitCompletion("pause", steps));
    Push();
    Signal(SIGHUP);
    ASSERT_EQ("1", AwaitCompletion("reload", steps));
    EXPECT_EQ(Each("OnReloadPolicy"), steps);

    // SIGINT stops as SIGTERM does.
    Signal(SIGINT);
    ASSERT_EQ("1", AwaitCompletion("stop", steps));
    EXPECT_EQ(Then(Each("OnStopInit"), Then(Each("OnStopInit"), Each("OnStop"))), steps);

    // Every thread has ended: the process leaves by itself, cleanly (the
    // sanitizers' own exit codes would show anything left behind).
    int exitCode = -1;
    ASSERT_TRUE(m_host.Wait(60, exitCode));
    const std::string console = hwtest::ReadWholeFile(m_dir.File("console.txt"));
    EXPECT_EQ(0, exitCode) << console;
    EXPECT_NE(std::string::npos, console.find("hwhost: sensor stopped\n")) << console;
    // The stop's tally of the alerts is on the console, as in the log, before
    // its last line; a console that is no terminal is not told of Ctrl-C.
    std::smatch tally;
    ASSERT_TRUE(std::regex_search(
        console, tally,
        std::regex("\nhwhost: [0-9]+ alerts? taken, [0-9]+ written, [0-9]+ dropped, [0-9]+ not written\n")))
        << console;
    EXPECT_LT(static_cast<size_t>(tally.position(0)), console.find("hwhost: sensor stopped\n"));
    EXPECT_EQ(std::string::npos, console.find("Ctrl-C")) << console;
    EXPECT_TRUE(std::regex_search(console, std::regex("(^|\n)hwhost: sensor started on [^\n]* \\(pid [0-9]+\\); "
                                                      "SIGTERM stops it\n")))
        << console;
    const std::string log = hwtest::ReadWholeFile(m_log);
    const size_t called = log.find("***** CHostWarden::Oninit() called *****");
    const size_t completed = log.find("***** CHostWarden::Oninit() completed *****");
    const size_t stopped = log.find("***** CHostWarden::OnStop() completed *****");
    EXPECT_TRUE(called < completed && completed < stopped && stopped != std::string::npos) << log;
    EXPECT_NE(std::string::npos,
              log.find("has successfully completed full initialization procedure"));
}

// A script process that another process traces (a debugger, or a
// sanitizer's leak check while it ends) can't be waited for once it has
// ended, until the tracer lets go: the stop ends it and goes on within the
// host's bound, rather than wait on the tracer, and says so without
// calling it an error.
TEST(HwHostRootTest, AScriptProcessATracerHoldsHoldsUpNoStop) {
    hwtest::ScratchDirectory root;
    hwtest::ScratchDirectory out;
    hwtest::WriteWholeFile(root.File("Default.policy"), "Host Warden\r\n[\\];\r\n");
    hwtest::ChildProcess host;
    ASSERT_TRUE(host.Start({kHwHost, "run", "--root", root.Path()}, out.File("console.txt")));
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return hwtest::ReadWholeFile(out.File("console.txt")).find("hwhost: sensor started on") !=
                     std::string::npos; },
        120));
    // Scripts are on by default: the script process is hwhost's one child.
    pid_t script = 0;
    ASSERT_TRUE(hwtest::WaitUntil([&] { return (script = hwtest::FindChildOf(host.Pid())) != 0; }, 120));
    hwtest::Tracer tracer(script, 300);
    if (!tracer.Attached()) {
        GTEST_SKIP() << "this process may not trace hwhost's script process (needs root)";
    }
    ASSERT_EQ(0, ::kill(host.Pid(), SIGTERM));
    int exitCode = -1;
    ASSERT_TRUE(host.Wait(120, exitCode));
    const std::string console = hwtest::ReadWholeFile(out.File("console.txt"));
    EXPECT_EQ(0, exitCode) << console;
    EXPECT_EQ(std::string::npos, console.find("did not stop")) << console;
    // Said, as a notice: a starved machine takes as long to end a large
    // process, and nothing is wrong with the sensor.
    const std::string log = hwtest::ReadWholeFile(root.File("logs/hwhost.log"));
    const size_t said = log.find("TclProc " + std::to_string(script) + " was killed but had not ended 2 s later");
    ASSERT_NE(std::string::npos, said) << console;
    const std::string line = log.substr(log.rfind('\n', said) + 1, log.find('\n', said) - log.rfind('\n', said));
    EXPECT_NE(std::string::npos, line.find(" NOTICE ")) << line;
}

// A folder that holds no policy (a mistyped --root) is not taken for a
// sensor root, by run or by push: the first line says so, the plug-in is
// not loaded (so no settings lookup fails on the console, and no log line
// shows there) and nothing is written into the folder.
TEST(HwHostRootTest, FolderWithoutAPolicyIsNoSensorRoot) {
    hwtest::ScratchDirectory root;
    hwtest::ScratchDirectory out;
    hwtest::WriteWholeFile(root.File("notes.txt"), "mine");
    hwtest::ChildProcess host;
    ASSERT_TRUE(host.Start({kHwHost, "run", "--root", root.Path(), "--for", "30"},
                           out.File("console.txt")));
    int exitCode = -1;
    ASSERT_TRUE(host.Wait(60, exitCode));
    const std::string console = hwtest::ReadWholeFile(out.File("console.txt"));
    EXPECT_EQ(1, exitCode) << console;
    EXPECT_EQ(0u, console.find("hwhost: " + root.Path() +
                               " is not a sensor root: it holds no Default.policy, "
                               "current.policy or push.policy"))
        << console;
    EXPECT_EQ(std::string::npos, console.find("registry")) << console;
    EXPECT_EQ(std::string::npos, console.find(".cpp:")) << console;

    // A valid policy pushed there would wait for a start that never comes.
    hwtest::WriteWholeFile(out.File("edited.policy"), "Host Warden\r\n[\\];\r\n[\\config\\];\r\n");
    hwtest::ChildProcess push;
    ASSERT_TRUE(push.Start({kHwHost, "push", "--root", root.Path(), out.File("edited.policy")},
                           out.File("push.txt")));
    ASSERT_TRUE(push.Wait(60, exitCode));
    const std::string pushed = hwtest::ReadWholeFile(out.File("push.txt"));
    EXPECT_EQ(1, exitCode) << pushed;
    EXPECT_EQ("hwhost: " + root.Path() +
                  " is not a sensor root: it holds no Default.policy, current.policy or "
                  "push.policy, so the sensor has no policy to start from; nothing was pushed\n",
              pushed);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(root.Path())) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(std::vector<std::string>{"notes.txt"}, left);
}

// On a terminal the operator sees each input as it is read; the summary
// says the echo is on, and why.  (With standard error in a file it is off:
// the syslog host tests hold that.)
TEST(HwHostRootTest, InputEchoIsOnWhereStandardErrorIsATerminal) {
    hwtest::ScratchDirectory root;
    hwtest::ScratchDirectory out;
    hwtest::WriteWholeFile(root.File("Default.policy"), "Host Warden\r\n[\\];\r\n");
    hwtest::ChildProcess host;
    // script(1) gives hwhost a terminal and copies what it shows.
    ASSERT_TRUE(host.Start({"script", "-qec", kHwHost + " run --root " + root.Path() + " --for 2",
                            "/dev/null"},
                           out.File("console.txt")));
    int exitCode = -1;
    ASSERT_TRUE(host.Wait(120, exitCode));
    const std::string console = hwtest::ReadWholeFile(out.File("console.txt"));
    EXPECT_EQ(0, exitCode) << console;
    EXPECT_NE(std::string::npos, console.find("\n  input echo: on, standard error is a terminal"))
        << console;
    EXPECT_NE(std::string::npos, console.find("; Ctrl-C stops it")) << console;
}
