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
// It runs in a network namespace of its own (so it needs root).
//
//   script_load [--hwhost PATH] [--tclsh PATH] [--rates 5000,10000,20000,...]
//               [--seconds N] [--need-tcl] [--keep]

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
#include <string>
#include <vector>

#include "HostLoad.h"
#include "support/StopSummary.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    hwload::HostOptions m_host;
    std::string m_strTclsh = "/usr/bin/tclsh8.6";
    std::vector<uint64_t> m_Rates{5000, 10000, 20000, 30000};
    double m_dSeconds = 5.0;
    bool m_bNeedTcl = false;
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
         {"--need-tcl", false, [&](const std::string&) { options.m_bNeedTcl = true; }}},
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

// One host for one rate: started on its own sensor root, offered `count`
// datagrams, stopped once its output settles; its stop summary read back.
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
    const double achieved =
        hwload::SendAtRate(rate, count, 0, [](uint64_t n, char* buffer, size_t size) {
            const std::string text = Datagram(n);
            const size_t length = std::min(size, text.size());
            std::memcpy(buffer, text.data(), length);
            return length;
        });
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
    std::printf("%10" PRIu64 " %10.0f %10.0f %10" PRIu64 " %10" PRIu64 " %10" PRIu64 " %10" PRIu64
                " %10" PRIu64 " %12" PRIu64 " %10" PRIu64 " %12" PRId64 " %8.1f%s\n",
                rate, achieved, received, count, kernel, engine, counts.m_qwWritten, counts.m_qwValidated,
                counts.m_qwUnvalidated, counts.m_qwDropped, unaccounted, cpu,
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
        "one scripted syslog rule (NeedTcl %s), %.1f s per rate, a new hwhost %s for "
        "each rate\n",
        options.m_bNeedTcl ? "on" : "off", options.m_dSeconds, options.m_host.m_strHwhost.c_str());
    std::printf("%10s %10s %10s %10s %10s %10s %10s %10s %12s %10s %12s %8s\n", "asked/s",
                "sent/s", "received/s", "sent", "kern.drop", "engine", "written", "validated",
                "unvalidated", "dropped", "unaccounted", "host cpu");
    uint64_t best = 0;
    for (uint64_t rate : options.m_Rates) {
        RunRate(options, root + "/" + std::to_string(rate), rate, best);
    }
    std::printf("highest rate reached with every alert validated and written: %" PRIu64
                " alerts/s\n",
                best);

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
