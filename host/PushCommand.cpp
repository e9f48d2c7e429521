#include "PushCommand.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "HostPidFile.h"
#include "HostStatusFile.h"
#include "HwHostOptions.h"
#include "SensorRoot.h"
#include "StrictPolicyFile.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/Console.h"
#include "platform/DurableFile.h"
#include "platform/Files.h"
#include "platform/OwnFiles.h"
#include "platform/Process.h"
#include "platform/Refusal.h"
#include "platform/SystemMessage.h"
#include "qorToolsLib/ConfigStore.h"

namespace {

constexpr int kApplied = 0;
constexpr int kRefused = 1;
constexpr int kNotYet = 3;
constexpr int kAppliedWithWarnings = 4;
constexpr int kAppliedWhilePaused = 5;
constexpr auto kPollInterval = std::chrono::milliseconds(100);

// A private copy of the policy inside the root, on disk, with its identity.
// It is checked there, so what is checked is exactly what the sensor reads.
bool StageCopy(const std::string& root, const std::string& bytes, std::string& staged,
               PolicyFileId& id, std::string& error) {
    std::string name = root + "/.push.policy.XXXXXX";
    std::string why;
    int fd = plat::CreateUniqueOwnFile(name, 0600, &why);
    if (fd < 0) {
        error = "cannot write into " + root + ": " + why;
        return false;
    }
    struct stat info {};
    size_t done = 0;
    bool written = plat::WriteToFile(fd, bytes.data(), bytes.size(), done) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0 &&
                   ::fstat(fd, &info) == 0;
    int writeError = errno;
    ::close(fd);
    if (!written) {
        ::unlink(name.c_str());
        error = "cannot write " + name + ": " + std::strerror(writeError);
        return false;
    }
    staged = name;
    id.m_qwDevice = static_cast<uint64_t>(info.st_dev);
    id.m_qwInode = static_cast<uint64_t>(info.st_ino);
    return true;
}

// The rename is the hand-over: the sensor sees the whole file or none.
bool HandOver(const std::string& root, const std::string& staged, std::string& error) {
    const std::string target = root + "/push.policy";
    if (::rename(staged.c_str(), target.c_str()) != 0) {
        error = "cannot move the policy to " + target + ": " + std::strerror(errno);
        ::unlink(staged.c_str());
        return false;
    }
    plat::SyncFolder(root);
    return true;
}

// The operator's file, read whole up to one byte past the cap, or in
// `problem` what "hwhost: ...; nothing was pushed" tells.  Only a regular
// file is opened: a FIFO or device would have the push wait on it or read
// from it for ever, and a folder or another account's link is named in the
// one form of every refusal, the push saying what it does instead.
bool ReadPushedFile(const std::string& path, std::string& bytes, std::string& problem) {
    plat::FileStep step = plat::FileStep::kNone;
    std::string why;
    // The operator names the file: it may be any account's.
    const uint32_t error = plat::ReadWholeFile(path, bytes, &step, ConfigStore::kStrictFileCap,
                                               &why, plat::Owners::kAnyAccount);
    if (error == 0) {
        return true;
    }
    if (step == plat::FileStep::kOpen && !why.empty()) {
        problem = plat::ReasonWithoutInstead(path, why, "cannot read ");
        return false;
    }
    std::string reason;
    if (plat::LookupSystemMessage(error, nullptr, 0, reason) != 0) {
        reason = "error " + std::to_string(error);
    }
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) {
        reason.pop_back();
    }
    problem = "cannot read " + path + ": " + reason;
    return false;
}

enum class Fate { kUnknown, kApplied, kRefused, kFailed, kSuperseded, kUnreadable };

// What the records since `seenSequence` say of the pushed file: taken and
// applied or refused, or still waiting after a command that began after the
// reload was asked for (so it saw the file) and failed.
Fate ReadFate(const HostStatusFile& status, uint64_t seenSequence, const PolicyFileId& id,
              uint64_t askedNs, HostStatusRecord& outcome) {
    std::string problem;
    std::vector<HostStatusRecord> records = status.Read(&problem);
    if (!problem.empty()) {
        outcome.m_strText = problem;
        return Fate::kUnreadable;
    }
    for (const HostStatusRecord& record : records) {
        if (record.m_qwSequence <= seenSequence) {
            continue;
        }
        outcome = record;
        if (record.m_applied == id) {
            return Fate::kApplied;
        }
        if (record.m_refused == id) {
            return Fate::kRefused;
        }
        if (record.m_dwStatus != 1 && record.m_qwStartedNs >= askedNs &&
            (record.m_waiting == id || record.m_loading == id)) {
            return Fate::kFailed;
        }
    }
    // The file moves forward through these names only, so looking in this
    // order cannot miss it.
    for (const char* name :
         {"push.policy", "push.policy.loading", "push.policy.applied", "push.policy.refused"}) {
        if (status.Identify(name) == id) {
            return Fate::kUnknown;
        }
    }
    return Fate::kSuperseded;
}

// Every error and warning of the load, and those learnt since while the
// push waited, as the sensor's log has them.
std::vector<std::string> AllFindings(const HostStatusRecord& outcome) {
    std::vector<std::string> findings = outcome.m_findings;
    findings.insert(findings.end(), outcome.m_later.begin(), outcome.m_later.end());
    return findings;
}

void TellFindings(const HostStatusRecord& outcome) {
    for (const std::string& finding : AllFindings(outcome)) {
        plat::ConsolePrintf("%s\n", finding.c_str());
    }
}

int TellApplied(const std::string& root, pid_t host, const HostStatusRecord& outcome) {
    if (!outcome.m_engines.empty()) {
        plat::ConsolePrintf("hwhost: the rules each engine took:\n");
        for (const std::string& engine : outcome.m_engines) {
            plat::ConsolePrintf("  %s\n", engine.c_str());
        }
    }
    // A paused sensor takes the policy but no input: the rules are in force
    // only once it resumes, which is what the operator has to do next.
    const bool bPaused = outcome.m_strState == "paused";
    if (bPaused) {
        plat::ConsolePrintf("hwhost: the sensor is paused: its inputs stay closed, and these rules "
                            "see nothing, until it resumes at SIGUSR2 (kill -USR2 %d)\n",
                            static_cast<int>(host));
    }
    const std::vector<std::string> findings = AllFindings(outcome);
    if (findings.empty()) {
        plat::ConsolePrintf("hwhost: the policy is applied and accepted as %s/current.policy%s\n",
                            root.c_str(), bPaused ? "; the sensor is paused" : "");
        return bPaused ? kAppliedWhilePaused : kApplied;
    }
    plat::ConsolePrintf("hwhost: the policy is applied as %s/current.policy with %s (above): "
                        "the rules they name may not do what the file means\n",
                        root.c_str(), HostStatusFile::CountFindings(findings).c_str());
    return kAppliedWithWarnings;
}

// The push stops waiting: the host was asked to reload, so the policy is
// not left waiting for a later one; where the file stands says how far it
// got.
void TellNoOutcome(const HwHostOptions& options, pid_t host, const HostStatusFile& status,
                   const PolicyFileId& id) {
    const std::string& root = options.m_strRoot;
    const int nHost = static_cast<int>(host);
    std::string where;
    if (status.Identify("push.policy") == id) {
        where = "hwhost (pid " + std::to_string(nHost) + ") reads it at the reload asked for, once the command it runs "
                "now, if any, has ended";
    } else if (status.Identify("push.policy.loading") == id) {
        where = "hwhost (pid " + std::to_string(nHost) + ") is loading it now";
    } else {
        where = "hwhost (pid " + std::to_string(nHost) + ") has taken it";
    }
    if (options.m_dwWaitSeconds == 0) {
        plat::ConsolePrintf("hwhost: not waiting for the outcome (--wait 0): %s; %s/%s will tell its outcome\n",
                            where.c_str(), root.c_str(), HostStatusFile::kFileName);
        return;
    }
    plat::ConsolePrintf("hwhost: no outcome within %u s: %s; %s/%s will tell its outcome\n", options.m_dwWaitSeconds,
                        where.c_str(), root.c_str(), HostStatusFile::kFileName);
}

int AwaitFate(const HwHostOptions& options, pid_t host, uint64_t seenSequence,
              const PolicyFileId& id) {
    const std::string& root = options.m_strRoot;
    HostStatusFile status(root);
    const uint64_t askedNs = HostStatusFile::MonotonicNs();
    // Only a process of root or this account is signalled, and only the
    // one the pid file's lock named, even should its id be taken meanwhile.
    std::string why;
    if (!plat::SignalTrustedProcess(host, SIGHUP, "it is not signalled", why)) {
        plat::ConsolePrintf("hwhost: cannot signal hwhost (pid %d): %s; the policy waits in "
                            "%s/push.policy\n",
                            static_cast<int>(host), why.c_str(), root.c_str());
        return kNotYet;
    }
    plat::ConsolePrintf("hwhost: %s/push.policy handed to hwhost (pid %d) for a reload\n",
                        root.c_str(), static_cast<int>(host));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.m_dwWaitSeconds);
    HostStatusRecord outcome;
    const std::string& text = outcome.m_strText;
    for (;;) {
        const Fate fate = ReadFate(status, seenSequence, id, askedNs, outcome);
        if (fate != Fate::kUnknown && fate != Fate::kSuperseded && fate != Fate::kUnreadable) {
            TellFindings(outcome);
        }
        switch (fate) {
            case Fate::kApplied:
                return TellApplied(root, host, outcome);
            case Fate::kRefused:
                plat::ConsolePrintf("hwhost: the sensor refused the policy: %s\n", text.c_str());
                return kRefused;
            case Fate::kFailed:
                plat::ConsolePrintf("hwhost: the reload failed: %s\nhwhost: the policy waits for "
                                    "the next reload\n",
                                    text.c_str());
                return kRefused;
            case Fate::kSuperseded:
                plat::ConsolePrintf("hwhost: another push replaced this policy before it was "
                                    "read\n");
                return kRefused;
            case Fate::kUnreadable:
                plat::ConsolePrintf("hwhost: %s; whether the policy was applied cannot be told "
                                    "(see the log of hwhost)\n",
                                    text.c_str());
                return kNotYet;
            case Fate::kUnknown:
                break;
        }
        // Ended, or its id taken by a process that is not the host's.
        if (!plat::IsTrustedProcess(host)) {
            plat::ConsolePrintf("hwhost: hwhost (pid %d) has ended; the policy waits in "
                                "%s/push.policy for the next start\n",
                                static_cast<int>(host), root.c_str());
            return kNotYet;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            TellNoOutcome(options, host, status, id);
            return kNotYet;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace

int RunPushCommand(const HwHostOptions& options) {
    const std::string& root = options.m_strRoot;
    std::string bytes;
    std::string problem;
    // A policy left in a folder no sensor starts from would wait for ever,
    // or make one start there from a lone pushed file.
    if (!IsSensorRoot(root, problem)) {
        plat::ConsolePrintf("hwhost: %s; nothing was pushed\n", problem.c_str());
        return kRefused;
    }
    if (!ReadPushedFile(options.m_strPushFile, bytes, problem)) {
        plat::ConsolePrintf("hwhost: %s; nothing was pushed\n", problem.c_str());
        return kRefused;
    }
    // No more than the cap and one byte is read of a file past it.
    if (bytes.size() > ConfigStore::kStrictFileCap) {
        plat::ConsolePrintf("hwhost: %s refused (%s); nothing was pushed\n",
                            options.m_strPushFile.c_str(), ConfigStore::OverCapProblem().c_str());
        return kRefused;
    }
    std::string staged;
    PolicyFileId id;
    std::string error;
    if (!StageCopy(root, bytes, staged, id, error)) {
        plat::ConsolePrintf("hwhost: %s\n", error.c_str());
        return kRefused;
    }
    IPolicyContainer* pPolicy = ReadWholePolicyFile(staged, true, problem);
    if (pPolicy == nullptr) {
        ::unlink(staged.c_str());
        plat::ConsolePrintf("hwhost: %s refused (%s); nothing was pushed\n",
                            options.m_strPushFile.c_str(), problem.c_str());
        return kRefused;
    }
    pPolicy->Release();
    // Taken before the hand-over: a record written later may be about it.
    // Where they cannot be read, the outcome could not be told either.
    std::vector<HostStatusRecord> records = HostStatusFile(root).Read(&problem);
    if (!problem.empty()) {
        ::unlink(staged.c_str());
        plat::ConsolePrintf("hwhost: %s; remove it (hwhost writes it anew); nothing was pushed\n",
                            problem.c_str());
        return kRefused;
    }
    const uint64_t seenSequence = records.empty() ? 0 : records.back().m_qwSequence;
    if (!HandOver(root, staged, error)) {
        plat::ConsolePrintf("hwhost: %s\n", error.c_str());
        return kRefused;
    }
    pid_t host = HostPidFile::FindRunning(root, &problem);
    if (host <= 0 && !problem.empty()) {
        plat::ConsolePrintf("hwhost: %s; remove it, and restart hwhost if one runs on %s; the "
                            "policy waits in %s/push.policy\n",
                            problem.c_str(), root.c_str(), root.c_str());
        return kNotYet;
    }
    if (host <= 0) {
        plat::ConsolePrintf("hwhost: no hwhost runs on %s; the policy waits in %s/push.policy and "
                            "is applied at the next start\n",
                            root.c_str(), root.c_str());
        return kNotYet;
    }
    return AwaitFate(options, host, seenSequence, id);
}
