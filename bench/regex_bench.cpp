// Log-rule matching speed: 100 patterns of the kind text-log, syslog and
// event-log rules carry.  Two cases:
//  - every 1 KB log line against each pattern, with our engine and with
//    std::regex on the same patterns and lines;
//  - 100-byte syslog lines (one in ten from an attack, the rest routine)
//    against the whole rule table, as the syslog engine matches them: the
//    rule set (one scanner pass, then only the named rules), each rule's own
//    matcher in turn, and the backtracking matcher the rules were first
//    matched with, one rule at a time under one process-wide lock as it ran.
//    grep -E reads the same lines with the same 100 patterns, from a file.
// One item is one line checked against all 100 patterns.  Before timing,
// the engines must agree on every (pattern, line) pair.

#include <benchmark/benchmark.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "platform/Console.h"
#include "qorToolsLib/RegularExpression.h"
#include "qorToolsLib/RegularExpressionSet.h"
#include "qorToolsLib/reference/BacktrackingProgram.h"

namespace {

struct RulePattern {
    const char* pattern;
    bool ignoreCase;
};

// Written in the part of the dialect that ECMAScript reads the same way
// (no braces, no class escapes).
const RulePattern kPatterns[] = {
    // failed log-ins
    {"Failed password for (invalid user )?[a-z_][a-z0-9_-]* from [0-9.]+ port [0-9]+", false},
    {"authentication failure;.*rhost=[0-9.]+", false},
    {"pam_unix\\(sshd:auth\\): authentication failure", false},
    {"Invalid user [^ ]+ from [0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+", false},
    {"FAILED LOGIN [0-9]+ FROM [^ ]+ FOR [^ ,]+", false},
    {"Logon failure: unknown user name or bad password", false},
    {"error: maximum authentication attempts exceeded for", false},
    {"Failed (password|publickey|keyboard-interactive/pam) for root", false},
    {"login: FAILED LOGIN SESSION FROM", false},
    {"Disconnecting: Too many authentication failures", false},
    {"An account failed to log on", false},
    {"Account Name:[ \t]+[A-Za-z0-9$]+.*Failure Reason:", false},
    // su and sudo
    {"su: (pam_)?authentication failure", false},
    {"FAILED su for [a-z]+ by [a-z]+", false},
    {"su\\[[0-9]+\\]: FAILED SU \\(to root\\) [a-z]+ on", false},
    {"'su root' failed for [a-z]+ on /dev/pts/[0-9]+", false},
    {"sudo: +[a-z]+ : [0-9]+ incorrect password attempts", false},
    {"sudo:.*user NOT in sudoers", false},
    {"sudo:.*COMMAND=/bin/(ba)?sh", false},
    {"pam_unix\\(su(-l)?:auth\\): authentication failure", false},
    // sshd
    {"sshd\\[[0-9]+\\]: Did not receive identification string from", false},
    {"sshd\\[[0-9]+\\]: Received disconnect from [0-9.]+: 11: Bye Bye", false},
    {"sshd.*Connection closed by [0-9.]+ port [0-9]+ \\[preauth\\]", false},
    {"sshd.*POSSIBLE BREAK-IN ATTEMPT", false},
    {"reverse mapping checking getaddrinfo for .* failed", false},
    {"sshd.*Bad protocol version identification", false},
    {"Accepted (password|publickey) for root from", false},
    {"sshd.*User [a-z]+ from [0-9.]+ not allowed because not listed in AllowUsers", false},
    {"error: kex_exchange_identification: ", false},
    // kernel
    {"kernel: .*segfault at [0-9a-f]+ ip [0-9a-f]+", false},
    {"kernel: Out of memory: Kill(ed)? process [0-9]+", false},
    {"kernel:.*IN=[a-z0-9]+ OUT= .*SRC=[0-9.]+ .*DPT=(22|23|3389) ", false},
    {"kernel: .*Call Trace:", false},
    {"kernel: EXT4-fs error", false},
    {"kernel: .*I/O error, dev sd[a-z]+, sector [0-9]+", false},
    {"kernel: usb [0-9.-]+: new .* USB device", false},
    {"kernel: .*entered promiscuous mode", false},
    {"kernel: .*martian source", false},
    {"kernel: audit: type=1400 .*apparmor=\"DENIED\"", false},
    {"BUG: unable to handle kernel", false},
    {"kernel: possible SYN flooding on port [0-9]+", false},
    // web server errors and attacks
    {"\"(GET|POST|HEAD) [^ ]*\\.\\./\\.\\./", false},
    {"\"GET [^ ]*(cmd|root)\\.exe", false},
    {"\" (500|502|503|504) [0-9]+", false},
    {"\" 404 [0-9]+ .*(wp-login|phpmyadmin|\\.env)", false},
    {"union[ +]+(all[ +]+)?select", true},
    {"<script>", true},
    {"%3[Cc]script%3[Ee]", false},
    {"\\[error\\] \\[client [0-9.]+\\] File does not exist:", false},
    {"(/etc/passwd|/etc/shadow)", false},
    {"mod_security: Access denied", false},
    {"\"[A-Z]+ /cgi-bin/[^ ]*\\.(pl|cgi|sh)", false},
    {"PHP (Fatal|Parse) error:", false},
    {"client denied by server configuration", false},
    {"\"(PROPFIND|TRACE|TRACK|DEBUG) ", false},
    {"User-Agent: .*(sqlmap|nikto|nmap|masscan)", true},
    // addresses
    {"[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+", false},
    {"(^|[^0-9])10\\.[0-9]+\\.[0-9]+\\.[0-9]+", false},
    {"192\\.168\\.[0-9]+\\.[0-9]+", false},
    {"from 172\\.(1[6-9]|2[0-9]|3[01])\\.[0-9]+\\.[0-9]+", false},
    {"SRC=(203\\.0\\.113|198\\.51\\.100)\\.[0-9]+", false},
    {"[0-9a-fA-F]+::?[0-9a-fA-F]+:[0-9a-fA-F:]+", false},
    {"port (0|[1-9][0-9]*)$", false},
    {"[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+:(22|3389|445)[^0-9]", false},
    // words with alternations
    {"(denied|refused|rejected|forbidden)", false},
    {"(virus|trojan|worm|malware) (found|detected)", false},
    {"(shutdown|reboot|halt) (requested|initiated) by", false},
    {"(password|passwd) (changed|expired)", false},
    {"account (locked|disabled|expired)", false},
    {"(new|deleted) (user|group):? name=", false},
    {"(started|stopped|restarted) service", false},
    {"(error|warning|critical|alert|emerg)", false},
    {"(ROOT|root) LOGIN (ON|on) ", false},
    {"(add|remov)ed (user|group) ", false},
    {"(usermod|useradd|userdel|groupadd)\\[[0-9]+\\]", false},
    {"promisc(uous)? mode (enabled|entered)", false},
    {"(crond|CRON)\\[[0-9]+\\]: \\(root\\) CMD", false},
    {"(nc|ncat|netcat) -l", false},
    {"(wget|curl) http", false},
    // anchors
    {"^[A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] ", false},
    {"^<[0-9]+>", false},
    {"^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T", false},
    {"fatal$", false},
    {"^$", false},
    {"\\]$", false},
    {"^.*last message repeated [0-9]+ times$", false},
    {"^[^ ]+ [^ ]+ [^ ]+ [^ ]+ sshd", false},
    // classes
    {"[A-Z][A-Z0-9_]+=[^ ]+", false},
    {"uid=0[^0-9]", false},
    {"[^ -~]", false},
    {"[a-zA-Z0-9+/]+==", false},
    {"[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]"
     "[0-9a-f]",
     false},
    {"[Ee]rror [0-9]+", false},
    {"[;|`] *(rm|wget|curl|chmod) ", false},
    {"tty=[a-z/]*pts/[0-9]+", false},
    {"/tmp/\\.[a-zA-Z0-9]+", false},
    {"[0-9]+ (failed|failures) ", false},
    {"\\.(exe|scr|vbs|bat|pif)[\" ]", false},
    {"permission denied", true},
    {"login incorrect", true},
};
constexpr size_t kPatternCount = sizeof kPatterns / sizeof kPatterns[0];
static_assert(kPatternCount == 100, "the suite has 100 rule patterns");

constexpr size_t kLineLength = 1024;
constexpr size_t kLineCount = 2000;

// Message bodies as the monitored logs write them; most lines match nothing
// or one or two rules, as in real traffic.
const char* const kMessages[] = {
    "sshd[2211]: Failed password for invalid user oracle from 203.0.113.45 port 51422 ssh2",
    "sshd[2211]: Failed password for root from 198.51.100.7 port 40022 ssh2",
    "sshd[2212]: Accepted publickey for deploy from 10.20.30.40 port 50122 ssh2",
    "sshd[2213]: Invalid user admin from 192.0.2.14",
    "sshd[2214]: Received disconnect from 192.0.2.14: 11: Bye Bye",
    "sshd[2215]: Connection closed by 172.16.4.2 port 61000 [preauth]",
    "su[3111]: FAILED SU (to root) alice on pts/2",
    "su: pam_unix(su-l:auth): authentication failure; logname=alice uid=1000 euid=0 tty=pts/2 "
    "ruser=alice rhost=  user=root",
    "sudo:    bob : 3 incorrect password attempts ; TTY=pts/1 ; PWD=/home/bob ; USER=root ; "
    "COMMAND=/bin/bash",
    "kernel: [12345.678] app[4242]: segfault at 0000000000000010 ip 00007f3a2b1c sp 00007ffd "
    "error 4 in libc.so.6",
    "kernel: Out of memory: Killed process 5151 (java) total-vm:8123456kB",
    "kernel: [UFW BLOCK] IN=eth0 OUT= MAC=00:11:22:33:44:55 SRC=203.0.113.9 DST=192.0.2.1 "
    "LEN=60 PROTO=TCP SPT=40000 DPT=22 WINDOW=29200",
    "kernel: device eth0 entered promiscuous mode",
    "CRON[7777]: (root) CMD (run-parts /etc/cron.hourly)",
    "systemd[1]: Started Daily apt download activities.",
    "apache2: 198.51.100.23 - - \"GET /cgi-bin/../../etc/passwd HTTP/1.1\" 404 512 \"-\" "
    "\"Mozilla/5.0\"",
    "apache2: 198.51.100.24 - - \"GET /index.php?id=1%20UNION%20SELECT%20user HTTP/1.1\" 200 "
    "1043",
    "apache2: 192.0.2.77 - - \"POST /wp-login.php HTTP/1.1\" 404 209 \"-\" \"curl/7.88\"",
    "apache2: [error] [client 192.0.2.78] File does not exist: /var/www/favicon.ico",
    "nginx: 10.1.1.1 - - \"GET /health HTTP/1.1\" 200 2 \"-\" \"kube-probe/1.27\"",
    "useradd[8181]: new user: name=backup2, UID=1002, GID=1002, home=/home/backup2",
    "postfix/smtpd[9191]: connect from unknown[192.0.2.200]",
    "dhclient[515]: DHCPACK of 10.0.2.15 from 10.0.2.2",
    "ntpd[600]: Listen normally on 4 eth0 fe80::a00:27ff:fe4e:66a1 UDP 123",
    "Security: An account failed to log on. Account Name:  ADMIN$ Failure Reason: Unknown user "
    "name or bad password.",
    "named[900]: client 192.0.2.9#53000: query (cache) 'example.org/A/IN' denied",
    "smartd[700]: Device: /dev/sda [SAT], SMART Usage Attribute: 194 Temperature_Celsius "
    "changed from 35 to 36",
    "rsyslogd: [origin software=\"rsyslogd\"] rsyslogd was HUPed",
};

const char* const kFillerWords[] = {
    "session", "opened", "closed", "for", "user", "daemon", "request", "completed", "in", "ms",
    "status", "ok", "cache", "hit", "miss", "worker", "queue", "depth", "sync", "job", "id",
    "backend", "latency", "bytes", "sent", "received", "upstream", "pool", "lease", "renewed",
};

std::string MakeLine(std::mt19937& random) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun"};
    char header[64];
    std::snprintf(header, sizeof header, "%s %2u %02u:%02u:%02u web%02u ",
                  months[random() % 6], static_cast<unsigned>(1 + random() % 28),
                  static_cast<unsigned>(random() % 24), static_cast<unsigned>(random() % 60),
                  static_cast<unsigned>(random() % 60), static_cast<unsigned>(random() % 40));
    std::string line = header;
    line += kMessages[random() % (sizeof kMessages / sizeof kMessages[0])];
    // Structured context follows, as modern daemons append it.
    while (line.size() < kLineLength) {
        switch (random() % 4) {
            case 0:
                line += ' ';
                line += kFillerWords[random() % (sizeof kFillerWords / sizeof kFillerWords[0])];
                break;
            case 1:
                line += " req_id=" + std::to_string(random() % 1000000);
                break;
            case 2:
                line += " peer=" + std::to_string(random() % 223 + 1) + "." +
                        std::to_string(random() % 256) + "." + std::to_string(random() % 256) +
                        "." + std::to_string(random() % 256);
                break;
            default:
                line += " elapsed=" + std::to_string(random() % 5000) + "ms";
                break;
        }
    }
    line.resize(kLineLength);
    return line;
}

struct Suite {
    std::vector<std::string> lines;
    std::vector<RegularExpression> ours;
    std::vector<std::regex> theirs;
    bool agree = true;
    size_t hits = 0;
};

Suite& TheSuite() {
    static Suite* suite = [] {
        auto* s = new Suite;
        std::mt19937 random(1234);
        s->ours.reserve(kPatternCount);
        for (size_t i = 0; i < kLineCount; ++i) {
            s->lines.push_back(MakeLine(random));
        }
        for (const RulePattern& rule : kPatterns) {
            s->ours.emplace_back(rule.pattern, rule.ignoreCase, false);
            auto flags = std::regex::ECMAScript | std::regex::optimize;
            if (rule.ignoreCase) {
                flags |= std::regex::icase;
            }
            s->theirs.emplace_back(rule.pattern, flags);
            if (!s->ours.back().IsCompiled()) {
                std::fprintf(stderr, "does not compile: %s\n", rule.pattern);
                s->agree = false;
            }
        }
        std::map<const char*, size_t> hitsPerPattern;
        for (const std::string& line : s->lines) {
            for (size_t p = 0; p < kPatternCount; ++p) {
                int ours = s->ours[p].Match(line);
                bool theirs = std::regex_search(line, s->theirs[p]);
                if (ours != (theirs ? 1 : 0)) {
                    std::fprintf(stderr, "engines disagree: %s on \"%s\"\n", kPatterns[p].pattern,
                                 line.c_str());
                    s->agree = false;
                }
                s->hits += ours;
            }
        }
        return s;
    }();
    return *suite;
}

// Feeds the lines round-robin; one iteration checks one line against every
// pattern.
template <typename AnySuite, typename MatchLine>
void RunLines(benchmark::State& state, AnySuite& suite, MatchLine matchLine) {
    if (!suite.agree) {
        state.SkipWithError("engines disagree");
        return;
    }
    size_t index = 0;
    size_t hits = 0;
    for (auto _ : state) {
        hits += matchLine(suite, suite.lines[index]);
        index = (index + 1) % suite.lines.size();
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * suite.lines.front().size()));
}

template <typename MatchLine>
void RunSuite(benchmark::State& state, MatchLine matchLine) {
    RunLines(state, TheSuite(), matchLine);
}

void BM_RegularExpression(benchmark::State& state) {
    RunSuite(state, [](const Suite& suite, const std::string& line) {
        size_t hits = 0;
        for (const RegularExpression& expression : suite.ours) {
            hits += static_cast<size_t>(expression.Match(line));
        }
        return hits;
    });
}
BENCHMARK(BM_RegularExpression)->Unit(benchmark::kMicrosecond);

void BM_StdRegex(benchmark::State& state) {
    RunSuite(state, [](const Suite& suite, const std::string& line) {
        size_t hits = 0;
        for (const std::regex& expression : suite.theirs) {
            hits += std::regex_search(line, expression) ? 1 : 0;
        }
        return hits;
    });
}
BENCHMARK(BM_StdRegex)->Unit(benchmark::kMicrosecond);

constexpr size_t kShortLineLength = 100;
constexpr size_t kShortLineCount = 20000;

// A routine line: header, then daemon chatter that no rule is about.
std::string MakeShortLine(std::mt19937& random) {
    std::string line = MakeLine(random);
    if (random() % 10 != 0) {
        size_t body = line.find(' ', 16);
        line.resize(body == std::string::npos ? 16 : body);
        line += " systemd[1]:";
        while (line.size() < kShortLineLength) {
            line += ' ';
            line += kFillerWords[random() % (sizeof kFillerWords / sizeof kFillerWords[0])];
        }
    }
    line.resize(kShortLineLength);
    return line;
}

inline char Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

struct ShortSuite {
    std::vector<std::string> lines;
    std::vector<RegularExpression> ours;
    RegularExpressionSet set;
    std::vector<std::unique_ptr<BacktrackingProgram>> reference;
    bool agree = true;
    size_t hits = 0;
    size_t linesWithHits = 0;
};

// The backtracking matcher as rules were matched with it: ignore-case
// patterns see a folded copy of the text, and one lock serialises it all.
int ReferenceMatch(const ShortSuite& suite, size_t p, const std::string& line,
                   std::string& folded) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const char* text = line.c_str();
    if (kPatterns[p].ignoreCase) {
        folded.resize(line.size());
        for (size_t i = 0; i < line.size(); ++i) {
            folded[i] = Fold(line[i]);
        }
        text = folded.c_str();
    }
    return suite.reference[p]->Execute(text, line.size()) == RegexResult::Match ? 1 : 0;
}

ShortSuite& TheShortSuite() {
    static ShortSuite* suite = [] {
        auto* s = new ShortSuite;
        std::mt19937 random(4321);
        for (size_t i = 0; i < kShortLineCount; ++i) {
            s->lines.push_back(MakeShortLine(random));
        }
        s->ours.reserve(kPatternCount);
        std::vector<const RegularExpression*> table;
        for (const RulePattern& rule : kPatterns) {
            s->ours.emplace_back(rule.pattern, rule.ignoreCase, false);
            table.push_back(&s->ours.back());
            std::string pattern = rule.pattern;
            if (rule.ignoreCase) {
                for (char& c : pattern) {
                    c = Fold(c);
                }
            }
            s->reference.push_back(BacktrackingProgram::Compile(pattern.c_str()));
        }
        s->set.Assign(table);
        std::vector<uint8_t> hits;
        std::string folded;
        for (const std::string& line : s->lines) {
            s->set.Match(line, hits);
            size_t lineHits = 0;
            for (size_t p = 0; p < kPatternCount; ++p) {
                int each = s->ours[p].Match(line);
                int old = ReferenceMatch(*s, p, line, folded);
                if (each != hits[p] || old != hits[p]) {
                    std::fprintf(stderr, "engines disagree: %s on \"%s\"\n", kPatterns[p].pattern,
                                 line.c_str());
                    s->agree = false;
                }
                lineHits += hits[p];
            }
            s->hits += lineHits;
            s->linesWithHits += lineHits > 0;
        }
        return s;
    }();
    return *suite;
}

template <typename MatchLine>
void RunShortSuite(benchmark::State& state, MatchLine matchLine) {
    RunLines(state, TheShortSuite(), matchLine);
}

void BM_SyslogRuleSet(benchmark::State& state) {
    std::vector<uint8_t> hits;
    RunShortSuite(state, [&hits](const ShortSuite& suite, const std::string& line) {
        suite.set.Match(line, hits);
        return static_cast<size_t>(hits[0]);
    });
}
BENCHMARK(BM_SyslogRuleSet)->Unit(benchmark::kMicrosecond);

void BM_SyslogEachRule(benchmark::State& state) {
    RunShortSuite(state, [](const ShortSuite& suite, const std::string& line) {
        size_t hits = 0;
        for (const RegularExpression& expression : suite.ours) {
            hits += static_cast<size_t>(expression.Match(line));
        }
        return hits;
    });
}
BENCHMARK(BM_SyslogEachRule)->Unit(benchmark::kMicrosecond);

void BM_SyslogBacktracking(benchmark::State& state) {
    std::string folded;
    RunShortSuite(state, [&folded](const ShortSuite& suite, const std::string& line) {
        size_t hits = 0;
        for (size_t p = 0; p < kPatternCount; ++p) {
            hits += static_cast<size_t>(ReferenceMatch(suite, p, line, folded));
        }
        return hits;
    });
}
BENCHMARK(BM_SyslogBacktracking)->Unit(benchmark::kMicrosecond);

// grep -E over the same lines with the same patterns (case-sensitive all:
// the rate is what counts), best of three runs; 0 when grep is missing.
// Bytes, as our matcher reads them, so no multibyte locale; the count goes
// to a file because grep stops at the first match when output is /dev/null.
double GrepLinesPerSecond() {
    const ShortSuite& suite = TheShortSuite();
    std::string directory = std::filesystem::temp_directory_path() / "hw_regex_bench_XXXXXX";
    if (mkdtemp(directory.data()) == nullptr) {
        return 0;
    }
    std::string patterns = directory + "/patterns";
    std::string lines = directory + "/lines";
    {
        std::ofstream out(patterns);
        for (const RulePattern& rule : kPatterns) {
            out << rule.pattern << '\n';
        }
        std::ofstream text(lines);
        for (int round = 0; round < 10; ++round) {
            for (const std::string& line : suite.lines) {
                text << line << '\n';
            }
        }
    }
    std::string command =
        "LC_ALL=C grep -E -c -f " + patterns + " " + lines + " >" + directory + "/count 2>&1";
    double best = 0;
    for (int run = 0; run < 3; ++run) {
        auto start = std::chrono::steady_clock::now();
        int status = std::system(command.c_str());
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) > 1) {
            best = 0;
            break;
        }
        best = std::max(best, 10.0 * static_cast<double>(suite.lines.size()) / elapsed.count());
    }
    std::filesystem::remove_all(directory);
    return best;
}

// Prints the usual table, then the two rates side by side.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end() && !run.error_occurred) {
                m_rates[run.benchmark_name()] = rate->second.value;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        double ours = m_rates["BM_RegularExpression"];
        double theirs = m_rates["BM_StdRegex"];
        if (ours > 0 && theirs > 0) {
            std::printf("\n%zu patterns x %zu-byte lines, %zu hits in the check pass\n",
                        kPatternCount, kLineLength, TheSuite().hits);
            std::printf("RegularExpression: %12.0f lines/s\n", ours);
            std::printf("std::regex:        %12.0f lines/s\n", theirs);
            std::printf("ratio:             %12.1f x\n", ours / theirs);
        }
        double set = m_rates["BM_SyslogRuleSet"];
        double each = m_rates["BM_SyslogEachRule"];
        double old = m_rates["BM_SyslogBacktracking"];
        if (set > 0 && each > 0 && old > 0) {
            const ShortSuite& suite = TheShortSuite();
            std::printf("\n%zu patterns x %zu-byte syslog lines: %.1f%% of lines match a rule, "
                        "%.2f rules per line; %zu of %zu patterns screened by the scanner\n",
                        kPatternCount, kShortLineLength,
                        100.0 * static_cast<double>(suite.linesWithHits) /
                            static_cast<double>(suite.lines.size()),
                        static_cast<double>(suite.hits) / static_cast<double>(suite.lines.size()),
                        suite.set.ScreenedCount(), kPatternCount);
            std::printf("rule set (one pass):      %12.0f lines/s\n", set);
            std::printf("each rule's own matcher:  %12.0f lines/s\n", each);
            std::printf("backtracking, one lock:   %12.0f lines/s\n", old);
            double grep = GrepLinesPerSecond();
            if (grep > 0) {
                std::printf("grep -cE -f (any of 100): %12.0f lines/s\n", grep);
            }
            std::printf("rule set vs backtracking: %12.1f x\n", set / old);
        }
    }

private:
    std::map<std::string, double> m_rates;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return TheSuite().agree && TheShortSuite().agree ? 0 : 1;
}
