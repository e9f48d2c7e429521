#include "SoakFloods.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "HostLoad.h"
#include "platform/NamedObject.h"

extern char** environ;

namespace hwsoak {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kStranger = 65534;  // nobody

// A policy section header and its values.
std::string Section(const std::string& path) { return "[" + path + "\\];\r\n"; }

// "sh -c" in a loop that ends at the run's deadline: `body` runs while the
// clock has not reached END.
std::string UntilDeadline(const FloodRun& run, const std::string& body) {
    const int64_t end = static_cast<int64_t>(::time(nullptr)) + run.SecondsLeft();
    return "END=" + std::to_string(end) + "; while [ $(date +%s) -lt $END ]; do " + body + "; done";
}

// Sends datagrams at the soak's rate until the deadline, a second's worth at
// a time; notes the rate reached.
void SendUntilDeadline(FloodRun& run, const hwload::DatagramText& text) {
    uint64_t qwSent = 0;
    const auto start = Clock::now();
    while (run.Going()) {
        hwload::SendAtRate(run.m_options.m_qwRate, run.m_options.m_qwRate, qwSent, text, run.m_options.m_nSenders);
        qwSent += run.m_options.m_qwRate;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double reached = seconds > 0 ? static_cast<double>(qwSent) / seconds : 0;
    char note[160];
    std::snprintf(note, sizeof note, "%" PRIu64 " datagrams sent at %.0f/s%s", qwSent, reached,
                  hwload::UnreachedNote(reached, static_cast<double>(run.m_options.m_qwRate)).c_str());
    run.m_strNote = note;
}

// The length snprintf reported, as much of it as the buffer holds.
size_t Text(size_t size, int length) {
    return static_cast<size_t>(std::clamp(length, 0, static_cast<int>(size) - 1));
}

// A folder of the root that "nobody" owns and fills.
std::string StrangersFolder(const std::string& root, const char* pszName) {
    const std::string folder = root + "/" + pszName;
    fs::create_directories(folder);
    if (::chown(folder.c_str(), kStranger, kStranger) != 0) {
        hwload::Fail("cannot give " + folder + " to nobody");
    }
    return folder;
}

// -- Files in a watched folder ----------------------------------------------

// The demo's group "Demo application" follows applogs/*.log; nobody makes
// 3,000 files there and keeps replacing and appending to them.
void PrepareFiles(const std::string& root, FloodPlan&) { StrangersFolder(root, "applogs"); }

void HoldFiles(FloodRun& run) {
    const std::string folder = run.m_strRoot + "/applogs";
    if (!AsStranger("cd '" + folder + "' && i=0; while [ $i -lt 3000 ]; do echo start > f$i.log; i=$((i+1)); done")) {
        run.m_strNote = "nobody could not make the files";
        return;
    }
    AsStranger("cd '" + folder + "' && n=0; " +
               UntilDeadline(run, "r=$((n % 3000)); echo \"authentication failed for user u$n from 203.0.113.9 via web\" "
                                  ">> f$r.log; rm -f f$(((n * 7) % 3000)).log; echo new > f$(((n * 7) % 3000)).log; "
                                  "n=$((n + 1)); sleep 0.01"));
    run.m_strNote = "3000 files of nobody's, replaced and appended to about 100 times a second";
}

// -- Deep folder chains under a recursive group -------------------------------

void PrepareChains(const std::string& root, FloodPlan& plan) {
    StrangersFolder(root, "deep");
    const std::string rule = "\\Advanced\\Rules\\SysLog Rules\\Deep log line";
    plan.m_strPolicy += Section("\\Advanced\\Logs\\Deep") + hwload::PolicyValue("Path", 'S', root + "/deep/...") +
                        hwload::PolicyValue("NewestOnly", 'B', "0") + Section(rule) +
                        hwload::PolicyValue("Enabled", 'B', "1") + hwload::PolicyValue("Log Type", 'S', "TextLog") +
                        hwload::PolicyValue("Logs", 'S', "Deep") +
                        hwload::PolicyValue("Alert Type", 'S', "ApplicationEvent") +
                        hwload::PolicyValue("Regular Expression", 'S', "deep failure");
}

void HoldChains(FloodRun& run) {
    const std::string folder = run.m_strRoot + "/deep";
    // Three chains of 1,500 folders, a file at the end of each.
    if (!AsStranger("cd '" + folder +
                    "' && for c in 1 2 3; do (mkdir c$c && cd c$c && i=0; while [ $i -lt 1500 ]; do mkdir d && cd d; "
                    "i=$((i+1)); done; echo start > end.log); done")) {
        run.m_strNote = "nobody could not make the chains";
        return;
    }
    // The ends of the chains change now and then, so every scan has
    // something to look at.
    AsStranger("cd '" + folder + "' && DEEP=c1$(printf '/d%.0s' $(seq 1500)) && " +
               UntilDeadline(run, "echo \"deep failure $(date +%s)\" >> $DEEP/end.log; sleep 1"));
    run.m_strNote = "three chains of 1500 folders of nobody's under a recursive group";
}

// -- Squats at shared-object names --------------------------------------------

const char* const kSharedNames[] = {"tclProc.dat", "_ShMem_sem_", "GenAlloc_semaphore", "QGEvShm",
                                    "QGEvMutex",   "QGConfShm",   "QGConfMutex"};

// The seven names as words for sh.
std::string SharedNames(const std::string& root) {
    const std::string prefix = "/dev/shm/hw." + plat::ObjectScopeOfRoot(root) + ".";
    std::string names;
    for (const char* pszName : kSharedNames) {
        names += " '" + prefix + pszName + "'";
    }
    return names;
}

// Before the sensor starts, nobody holds every name with a folder that has
// a file in it.
void PrepareNames(const std::string& root, FloodPlan&) {
    AsStranger("for n in" + SharedNames(root) + "; do mkdir \"$n\" && touch \"$n/held\"; done");
}

void HoldNames(FloodRun& run) {
    const std::string names = SharedNames(run.m_strRoot);
    // Whenever a name is free (a reload lets the script store go), nobody
    // puts a folder with a file in it there.
    const pid_t squatter = StartAsStranger(UntilDeadline(
        run, "for n in" + names + "; do [ -e \"$n\" ] || { mkdir \"$n\" 2>/dev/null && touch \"$n/held\"; }; done; "
                                  "sleep 0.005"));
    uint64_t qwReloads = 0;
    while (run.Going()) {
        std::this_thread::sleep_for(std::chrono::seconds(10));
        if (run.Going()) {
            ::kill(run.m_host, SIGHUP);
            ++qwReloads;
        }
    }
    Reap(squatter);
    const std::string errors = hwload::ReadText(run.m_strRoot + "/hwhost.err");
    size_t nTaken = 0;
    for (size_t at = errors.find("it is taken back"); at != std::string::npos;
         at = errors.find("it is taken back", at + 1)) {
        ++nTaken;
    }
    run.m_strNote = "nobody squats the 7 shared names whenever free; " + std::to_string(qwReloads) +
                    " reloads (one every 10 s), " + std::to_string(nTaken) + " squats taken back";
}

// -- A correlation rule with Info fed distinct values -------------------------

void PrepareCorrelation(const std::string&, FloodPlan& plan) {
    const std::string rule = "\\Advanced\\Rules\\Correlation Rules\\Distinct users";
    plan.m_strPolicy += Section(rule) + hwload::PolicyValue("Enabled", 'B', "1") +
                        hwload::PolicyValue("Priority", 'L', "1") +
                        hwload::PolicyValue("Alert Type", 'S', "UserAbnormalActivity") +
                        hwload::PolicyValue("Type", 'S', "CUMULATIVE") +
                        hwload::PolicyValue("Threshold", 'L', "1000000000") +
                        hwload::PolicyValue("Time Window", 'L', "3600") + hwload::PolicyValue("Info", 'S', "User") +
                        Section(rule + "\\Rules") + hwload::PolicyValue("Failed log-in", 'S', "1");
}

void HoldCorrelation(FloodRun& run) {
    SendUntilDeadline(run, [](uint64_t n, char* buffer, size_t size) {
        return Text(size,
                    std::snprintf(buffer, size,
                                  "<38>Jan  1 00:00:00 soakhost sshd[1]: Failed password for invalid user "
                                  "u%016" PRIx64 " from 203.0.113.%d port 22 ssh2",
                                  static_cast<uint64_t>(n * 0x9E3779B97F4A7C15ull), static_cast<int>(n % 250) + 1));
    });
    run.m_strNote += ", every one a distinct user for a rule with Info and a 3600 s window";
}

// -- Scripted alerts above the script process's rate --------------------------

void PrepareScripts(const std::string&, FloodPlan& plan) {
    const std::string rule = "\\Advanced\\Rules\\SysLog Rules\\Scripted login";
    plan.m_strPolicy += Section(rule) + hwload::PolicyValue("Enabled", 'B', "1") +
                        hwload::PolicyValue("Alert Type", 'S', "LoginEvent") +
                        hwload::PolicyValue("Regular Expression", 'S', "scripted-login failed") +
                        Section(rule + "\\Info") + hwload::PolicyValue("User", 'S', "@Field4") +
                        Section(rule + "\\Script") + hwload::PolicyValue("Enabled", 'B', "1") +
                        hwload::PolicyValue("ScriptType", 'S', "TCL") +
                        hwload::PolicyValue("Procedures", 'S',
                                            "proc verdict {user} {\\n  return [expr {$user ne \"mallory\"}]\\n}") +
                        hwload::PolicyValue("Validation", 'S', "return [verdict $User]");
}

void HoldScripts(FloodRun& run) {
    SendUntilDeadline(run, [](uint64_t n, char* buffer, size_t size) {
        return Text(size,
                    std::snprintf(buffer, size, "<38>app[1]: scripted-login failed for user%" PRIu64, n % 1000));
    });
    run.m_strNote += ", every one an alert of a scripted rule";
}

// -- A FIFO at a rotated alert file --------------------------------------------

void PrepareFifo(const std::string& root, FloodPlan& plan) {
    const std::string folder = root + "/out";
    fs::create_directories(folder);
    ::chmod(folder.c_str(), 01777);
    plan.m_Arguments = {"--alerts", folder + "/alerts.xml"};
}

void HoldFifo(FloodRun& run) {
    const std::string alerts = run.m_strRoot + "/out/alerts.xml";
    // Alerts keep coming from a modest stream of failed log-ins.
    FloodRun stream = run;
    stream.m_options.m_qwRate = 1000;
    stream.m_options.m_nSenders = 1;
    std::thread sender([&stream] {
        SendUntilDeadline(stream, [](uint64_t n, char* buffer, size_t size) {
            return Text(size,
                        std::snprintf(buffer, size,
                                      "<38>Jan  1 00:00:00 soakhost sshd[1]: Failed password for user%" PRIu64
                                      " from 203.0.113.%d port 22 ssh2",
                                      n % 1000, static_cast<int>(n % 250) + 1));
        });
    });
    // Every 5 s the file is rotated away and, before hwhost is told, nobody
    // puts a FIFO at its name.
    uint64_t qwRotations = 0;
    while (run.Going()) {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        std::error_code ignored;
        fs::rename(alerts, alerts + ".1", ignored);
        AsStranger("mkfifo '" + alerts + "' 2>/dev/null");
        ::kill(run.m_host, SIGHUP);
        ++qwRotations;
    }
    sender.join();
    run.m_strNote = std::to_string(qwRotations) + " rotations, each met by nobody's FIFO at the name; " +
                    stream.m_strNote;
}

// -- A syslog flood --------------------------------------------------------------

void PrepareSyslog(const std::string&, FloodPlan&) {}

// A failed log-in from one of 250 addresses for one of 1,000 users, and now
// and then a failed su (mailed, and fed to the demo's correlation rule).
void HoldSyslog(FloodRun& run) {
    SendUntilDeadline(run, [](uint64_t n, char* buffer, size_t size) {
        if (n % 1000 == 0) {
            return Text(size,
                        std::snprintf(buffer, size,
                                      "<86>Jan  1 00:00:00 soakhost su[%" PRIu64 "]: FAILED SU (to root) user%" PRIu64
                                      " on pts/%" PRIu64,
                                      n % 30000, n % 1000, n % 8));
        }
        return Text(size,
                    std::snprintf(buffer, size,
                                  "<38>Jan  1 00:00:00 soakhost sshd[%" PRIu64
                                  "]: Failed password for invalid user user%" PRIu64 " from 203.0.113.%" PRIu64
                                  " port %" PRIu64 " ssh2",
                                  n % 30000, n % 1000, n % 250 + 1, 1024 + n % 60000));
    });
}

// -- Decoy connections -------------------------------------------------------------

void PrepareDecoys(const std::string&, FloodPlan&) {}

// Connections to the demo's decoy ports, 300 at a time, each held for a
// second, then closed and made anew.
void HoldDecoys(FloodRun& run) {
    const uint16_t ports[] = {23, 139, 2323};
    uint64_t qwConnections = 0;
    while (run.Going()) {
        std::vector<int> open;
        for (int i = 0; i < 300; ++i) {
            const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            sockaddr_in target{};
            target.sin_family = AF_INET;
            target.sin_port = htons(ports[i % 3]);
            target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(sock, reinterpret_cast<sockaddr*>(&target), sizeof target);
            open.push_back(sock);
        }
        qwConnections += open.size();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        for (int sock : open) {
            ::close(sock);
        }
    }
    run.m_strNote = std::to_string(qwConnections) + " connections to ports 23, 139 and 2323, 300 held at a time";
}

// -- A replay ------------------------------------------------------------------------

void PrepareReplay(const std::string& root, FloodPlan& plan) {
    plan.m_Environment = {"HW_PACKET_REPLAY=" + root + "/captures/network-attacks.pcap", "HW_PACKET_REPLAY_LOOP=1",
                          "HW_PACKET_REPLAY_PACE=0", "HW_PACKET_MONITOR=\\Device\\replay0"};
}

void HoldReplay(FloodRun& run) {
    while (run.Going()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    run.m_strNote = "the demo capture replayed in a loop as fast as the engine reads it";
}

}  // namespace

int64_t FloodRun::SecondsLeft() const {
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(m_deadline - Clock::now()).count();
    return std::max<int64_t>(left, 1);
}

const std::vector<Flood>& Floods() {
    static const std::vector<Flood> floods = {
        {"files", "files in a watched folder made by another account", &PrepareFiles, &HoldFiles},
        {"chains", "deep folder chains under a recursive group", &PrepareChains, &HoldChains},
        {"names", "squatted shared names", &PrepareNames, &HoldNames},
        {"correlation", "a correlation rule with Info fed distinct values", &PrepareCorrelation, &HoldCorrelation},
        {"scripts", "scripted alerts above the script process's rate", &PrepareScripts, &HoldScripts},
        {"fifo", "a FIFO at a rotated alert file", &PrepareFifo, &HoldFifo},
        {"syslog", "a syslog flood", &PrepareSyslog, &HoldSyslog},
        {"decoys", "decoy connections", &PrepareDecoys, &HoldDecoys},
        {"replay", "a replay", &PrepareReplay, &HoldReplay},
    };
    return floods;
}

pid_t StartAsStranger(const std::string& script) {
    std::vector<std::string> args = {"/usr/sbin/runuser", "-u", "nobody", "--", "/bin/sh", "-c", script};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        hwload::Fail("cannot run runuser");
    }
    return pid;
}

void Reap(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
}

bool AsStranger(const std::string& script) {
    const pid_t pid = StartAsStranger(script);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace hwsoak
