// Load driver for the rule scripts: runs the real hwhost with the plug-in on
// a sensor root holding one syslog rule whose "Validation" script accepts
// every alert, offers matching datagrams to UDP port 514 at a series of
// rates, a new host for each rate, and reports from each host's stop
// summary how many alerts it wrote and how many the script road validated,
// passed on unvalidated or dropped, beside what the kernel and the syslog
// engine dropped.  Every datagram must be one of these.  Each rate's line
// gives the rate the sender reached and the rate the system delivered; a
// rate the sender did not reach (within 5 per cent) gets no verdict.
//
// Beside it, in the same run, one tclsh runs the same script over the same
// lines read from a pipe, as a syslog daemon's program output would feed
// it: the rate it reaches is what one interpreter can do on this machine.
//
// With --pushes N the policy is pushed again N times while each rate is
// offered, evenly spread over it (push.policy and SIGHUP, as hwhost push
// does, each awaited), and the line gives, beside what became of every
// alert, how long the longest reload took from the signal to its end and
// how long it kept the alerts from the script process at most: from the
// engines' pause to whichever came later, their resume or the new
// process's taking its scripts.  --no-tclsh leaves the tclsh run out.
//
// It runs in a network namespace of its own (so it needs root).
//
//   script_load [--hwhost PATH] [--tclsh PATH] [--rates 5000,10000,20000,...]
//               [--seconds N] [--need-tcl] [--pushes N] [--no-tclsh] [--keep]

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostLoad.h"
#include "support/NamespacedHost.h"
#include "support/StopSummary.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    hwload::HostOptions m_host;
    std::string m_strTclsh = "/usr/bin/tclsh8.6";
    std::vector<uint64_t> m_Rates{5000, 10000, 20000, 30000};
    double m_dSeconds = 5.0;
    bool m_bNeedTcl = false;
    uint64_t m_qwPushes = 0;
    bool m_bTclsh = true;
};

// The rule's script: the procedure and the validation the sensor runs for
// each alert, and tclsh for each line.  The validation leaves a "__qor_"
// variable, which the sensor reads back into the alert.
const char kProcedure[] = "proc verdict {user} {\n  return [expr {$user ne \"mallory\"}]\n}";
const char kValidation[] =
    "incr checked\nset __qor_verdict \"checked $checked\"\nreturn [verdict $User]";

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {{"--rates", true,
          [&](const std::string& value) { options.m_Rates = hwload::NumberList(value); }},
         hwload::NumberOption("--seconds", options.m_dSeconds),
         {"--tclsh", true, [&](const std::string& value) { options.m_strTclsh = value; }},
         {"--need-tcl", false, [&](const std::string&) { options.m_bNeedTcl = true; }},
         hwload::NumberOption("--pushes", options.m_qwPushes),
         {"--no-tclsh", false, [&](const std::string&) { options.m_bTclsh = false; }}},
        options.m_host);
    return options;
}

// The policy texts keep their line ends as "\n" escapes.
std::string Escaped(const char* pszText) {
    std::string strOut;
    for (const char* p = pszText; *p != '\0'; ++p) {
        strOut += *p == '\n' ? std::string("\\n") : std::string(1, *p);
    }
    return strOut;
}

void WriteSensorRoot(const std::string& root, bool bNeedTcl) {
    using hwload::PolicyValue;
    std::string policy = hwload::SyslogPolicyHead("Host Warden script load policy", true);
    const std::string rule = "[\\Advanced\\Rules\\SysLog Rules\\Scripted login";
    policy += rule + "\\];\r\n";
    policy += PolicyValue("Enabled", 'B', "1");
    policy += PolicyValue("NeedTcl", 'B', bNeedTcl ? "1" : "0");
    policy += PolicyValue("Alert Type", 'S', "LoginEvent");
    policy += PolicyValue("Regular Expression", 'S', "login failed");
    policy += rule + "\\Info\\];\r\n";
    policy += PolicyValue("User", 'S', "@Field4");
    policy += rule + "\\Script\\];\r\n";
    policy += PolicyValue("Enabled", 'B', "1");
    policy += PolicyValue("ScriptType", 'S', "TCL");
    policy += PolicyValue("Procedures", 'S', Escaped(kProcedure));
    policy += PolicyValue("Initial", 'S', "set checked 0");
    policy += PolicyValue("Validation", 'S', Escaped(kValidation));
    std::filesystem::create_directories(root + "/logs");
    std::ofstream(root + "/Default.policy", std::ios::binary) << policy;
}

std::string Datagram(uint64_t n) {
    char text[128];
    std::snprintf(text, sizeof text, "<38>sshd[%" PRIu64 "]: login failed for user%" PRIu64,
                  n % 100000, n % 1000);
    return text;
}

// One tclsh over `lines` lines of the same datagrams, fed through a pipe:
// lines a second, and how many it accepted.
double RunTclsh(const std::string& tclsh, const std::string& root, uint64_t lines,
                uint64_t& accepted) {
    const std::string input = root + "/tclsh.in";
    {
        std::ofstream out(input, std::ios::binary);
        for (uint64_t n = 0; n < lines; ++n) {
            out << Datagram(n) << '\n';
        }
    }
    // The engine gives the rule's "User" the fourth blank-separated word
    // after the header; the loop does the same before it runs the
    // validation, as a program behind a syslog daemon would.
    const std::string program = root + "/validate.tcl";
    std::ofstream(program, std::ios::binary)
        << kProcedure << "\nset checked 0\nset validation {" << kValidation << "}\n"
        << "set accepted 0\n"
        << "while {[gets stdin line] >= 0} {\n"
        << "    set User [lindex [split [string range $line [expr {[string first \": \" $line] + "
           "2}] end]] 3]\n"
        << "    if {[catch {uplevel #0 $validation} result] != 1 && $result ne \"0\"} {\n"
        << "        incr accepted\n"
        << "    }\n"
        << "}\n"
        << "puts $accepted\n";
    const std::string output = root + "/tclsh.out";
    const auto start = Clock::now();
    const pid_t shell = hwload::StartHost(
        {"/bin/sh", "-c", "cat \"$2\" | \"$0\" \"$1\"", tclsh, program, input}, output);
    int status = 0;
    ::waitpid(shell, &status, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    accepted = std::strtoull(hwload::ReadText(output).c_str(), nullptr, 10);
    return seconds > 0 ? static_cast<double>(lines) / seconds : 0;
}

// The time of day of a log line ("2026-12-08 17:18:55.431 ..."), in
// milliseconds; -1 for a line without one.
int64_t LineMs(const std::string& line) {
    unsigned hours = 0;
    unsigned minutes = 0;
    unsigned seconds = 0;
    unsigned millis = 0;
    if (line.size() < 23 ||
        std::sscanf(line.c_str() + 11, "%2u:%2u:%2u.%3u", &hours, &minutes, &seconds, &millis) != 4) {
        return -1;
    }
    return ((static_cast<int64_t>(hours) * 60 + minutes) * 60 + seconds) * 1000 + millis;
}

// The longest time a reload of the log kept the alerts from the script
// process, in milliseconds: from the first engine's pause to whichever came
// later, the syslog engine's resume or the new process's taking its
// scripts.
int64_t LongestAway(const std::string& log) {
    int64_t longest = 0;
    int64_t paused = -1;
    int64_t resumed = -1;
    int64_t scripts = -1;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const int64_t at = LineMs(line);
        if (line.find("Thread list: OnPauseInit") != std::string::npos && paused < 0) {
            paused = at;
        } else if (paused >= 0 && line.find("Thread list: OnResume NT Syslog") != std::string::npos) {
            resumed = at;
        } else if (paused >= 0 && line.find("Completed tcl script initialization!") != std::string::npos) {
            scripts = at;
        }
        if (paused >= 0 && resumed >= 0 && scripts >= 0) {
            longest = std::max(longest, std::max(resumed, scripts) - paused);
            paused = resumed = scripts = -1;
        }
    }
    return longest;
}

// Pushes the policy of `root` again `pushes` times over `seconds` from
// now, evenly, each one awaited in the log: the longest reload, from the
// signal to "reload completed", in milliseconds.
int64_t PushDuring(pid_t host, const std::string& root, uint64_t pushes, double seconds) {
    const std::string logPath = hwload::LogPath(root);
    const std::string done = "hwhost: reload completed with status";
    const auto start = Clock::now();
    int64_t longest = 0;
    for (uint64_t push = 1; push <= pushes; ++push) {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                        seconds * static_cast<double>(push) / static_cast<double>(pushes + 1))));
        const size_t before = hwtest::CountOf(hwload::ReadText(logPath), done);
        std::filesystem::copy_file(root + "/Default.policy", root + "/push.policy.new",
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::rename(root + "/push.policy.new", root + "/push.policy");
        const auto signalled = Clock::now();
        ::kill(host, SIGHUP);
        if (!hwload::WaitFor([&] { return hwtest::CountOf(hwload::ReadText(logPath), done) > before; },
                             60)) {
            hwload::Fail("a push did not complete; see " + root);
        }
        longest = std::max<int64_t>(
            longest,
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count());
    }
    return longest;
}

// One host for one rate: started on its own sensor root, offered `count`
// datagrams (and pushed again while they come), stopped once its output
// settles; its stop summary read back.
void RunRate(const Options& options, const std::string& root, uint64_t rate, uint64_t& best) {
    WriteSensorRoot(root, options.m_bNeedTcl);
    hwload::AlertCounter counter(root + "/alerts.xml");
    const std::string logPath = hwload::LogPath(root);
    const pid_t host = hwload::StartHostOnRoot(options.m_host.m_strHwhost, root);
    // The runs wait until the process has taken the scripts.
    if (!hwload::WaitFor(
            [&] {
                return hwload::ReadText(logPath).find("Completed tcl script initialization!") !=
                       std::string::npos;
            },
            60)) {
        hwload::StopHost(host);
        hwload::Fail("the script process did not take its scripts; see " + root);
    }
    const auto before = hwload::UdpCounters();
    const auto count = static_cast<uint64_t>(static_cast<double>(rate) * options.m_dSeconds);
    int64_t longestReload = 0;
    std::thread pusher([&] {
        longestReload = PushDuring(host, root, options.m_qwPushes, options.m_dSeconds);
    });
    const double achieved =
        hwload::SendAtRate(rate, count, 0, [](uint64_t n, char* buffer, size_t size) {
            const std::string text = Datagram(n);
            const size_t length = std::min(size, text.size());
            std::memcpy(buffer, text.data(), length);
            return length;
        });
    pusher.join();
    hwload::WaitUntilSettled([&] { return counter.Count(); }, 2.0, 600);
    const auto after = hwload::UdpCounters();
    const uint64_t kernel = hwload::KernelDrops(before, after);
    // Delivered to the socket, a second of sending (which took count / achieved).
    const double received = static_cast<double>(after.at("InDatagrams") - before.at("InDatagrams")) *
                            achieved / static_cast<double>(std::max<uint64_t>(count, 1));
    const double cpu = hwload::CpuSeconds(host);
    hwload::StopHost(host);
    const hwtest::StopSummary counts = hwtest::ReadStopSummary(hwload::ReadText(logPath));
    // The engine's drops include the kernel's.
    const uint64_t engine = counts.m_qwSyslogDropped;
    const auto unaccounted =
        static_cast<int64_t>(count) - static_cast<int64_t>(counts.m_qwWritten + counts.m_qwDropped +
                                                           counts.m_qwRejected + engine);
    std::string reloads;
    if (options.m_qwPushes > 0) {
        char text[64];
        std::snprintf(text, sizeof text, " %10" PRId64 " %8" PRId64, longestReload,
                      LongestAway(hwload::ReadText(logPath)));
        reloads = text;
    }
    std::printf("%10" PRIu64 " %10.0f %10.0f %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64
                " %10" PRIu64 " %12" PRIu64 " %10" PRIu64 " %12" PRId64 " %8.1f%s%s\n",
                rate, achieved, received, count, kernel, engine, counts.m_qwWritten, counts.m_qwValidated,
                counts.m_qwUnvalidated, counts.m_qwDropped, unaccounted, cpu, reloads.c_str(),
                hwload::UnreachedNote(achieved, static_cast<double>(rate)).c_str());
    std::fflush(stdout);
    if (!hwload::RateReached(achieved, static_cast<double>(rate))) {
        return;
    }
    if (engine == 0 && counts.m_qwValidated == count && unaccounted == 0 && rate > best) {
        best = rate;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    if (::access(options.m_strTclsh.c_str(), X_OK) != 0) {
        hwload::Fail(options.m_strTclsh + " cannot be run (give --tclsh PATH)");
    }
    const std::string root = hwload::EnterScratchNamespace("script_load");
    std::printf(
        "one scripted syslog rule (NeedTcl %s), %.1f s per rate, %" PRIu64
        " pushes during each, a new hwhost %s for each rate\n",
        options.m_bNeedTcl ? "on" : "off", options.m_dSeconds, options.m_qwPushes,
        options.m_host.m_strHwhost.c_str());
    std::printf("%10s %10s %10s %10s %10s %10s %10s %10s %12s %10s %12s %8s%s\n", "asked/s",
                "sent/s", "received/s", "sent", "kern.drop", "engine", "written", "validated",
                "unvalidated", "dropped", "unaccounted", "host cpu",
                options.m_qwPushes > 0 ? "  reload ms  away ms" : "");
    uint64_t best = 0;
    for (uint64_t rate : options.m_Rates) {
        RunRate(options, root + "/" + std::to_string(rate), rate, best);
    }
    std::printf("highest rate reached with every alert validated and written: %" PRIu64
                " alerts/s\n",
                best);

    if (!options.m_bTclsh) {
        hwload::FinishRoot(options.m_host, root);
        return 0;
    }
    const uint64_t lines =
        std::max<uint64_t>(200000, options.m_Rates.empty() ? 0 : options.m_Rates.back() * 5);
    uint64_t accepted = 0;
    const double tclshRate = RunTclsh(options.m_strTclsh, root, lines, accepted);
    std::printf("one %s over %" PRIu64
                " of the same lines through a pipe: %.0f lines/s "
                "(%" PRIu64 " accepted)\n",
                options.m_strTclsh.c_str(), lines, tclshRate, accepted);
    hwload::FinishRoot(options.m_host, root);
    return 0;
}
