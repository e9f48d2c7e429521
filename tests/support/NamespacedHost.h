#pragma once
// hwhost with the real plug-in on a sensor root of its own, run inside a
// private network namespace so its syslog engine owns UDP port 514 (or,
// when no namespace could be made, in the machine's own network); and
// policies with syslog rules written in code, for the end-to-end tests.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"
#include "support/NetworkNamespace.h"
#include "support/StreamLosses.h"
#include "support/TestUtil.h"

namespace hwtest {

struct SyslogRule {
    std::string m_strName;
    std::string m_strPattern;
    std::vector<std::pair<std::string, std::string>> m_Info = {};
    bool m_bEnabled = true;
};

// A policy file holding `rules` in the "SysLog Rules" table (priority 2,
// alert type "LoginEvent"), scripts off.
std::string SyslogPolicy(const std::vector<SyslogRule>& rules);

// `xml` (alert documents, each "<event ...>" to "</event>\n") up to the end
// of its last whole document: a document still being written is left out.
std::string WholeAlertDocuments(std::string xml);

// How often `marker` occurs in `text`.
size_t CountOf(const std::string& text, const std::string& marker);

// How often `marker` occurs in a file that only grows (an alert file a
// flood writes gigabytes of), reading at each count only what was added
// since the last: a test that polls it reads each byte once.  A file cut
// shorter than what was read is said by Shrunk and counted no further.
class GrowingFileCount {
public:
    GrowingFileCount(std::string path, std::string marker);
    size_t Count();
    bool Shrunk() const { return m_bShrunk; }

private:
    std::string m_path;
    std::string m_marker;
    // The end of what was read, shorter than the marker: a marker written
    // across two counts is found at the second.
    std::string m_tail;
    uint64_t m_qwOffset = 0;
    size_t m_count = 0;
    bool m_bShrunk = false;
};

// The value of the first string parameter `name` of the alert documents in
// `alerts` at or after `from`; "<absent>" when there is none.
std::string AlertParam(const std::string& alerts, const std::string& name, size_t from = 0);

class NamespacedHost {
public:
    explicit NamespacedHost(const NetworkNamespace& network) : m_network(network) {}
    ~NamespacedHost();
    NamespacedHost(const NamespacedHost&) = delete;
    NamespacedHost& operator=(const NamespacedHost&) = delete;

    const std::string& Root() const { return m_root.Path(); }
    std::string File(const std::string& name) const { return m_root.File(name); }
    void WritePolicy(const std::string& text, const std::string& name = "Default.policy") const {
        WriteWholeFile(File(name), text);
    }

    // Runs hwhost by way of `prefix` (say "prlimit --nofile=1024:1024 --"),
    // from the next Start on.
    void SetCommandPrefix(std::vector<std::string> prefix) { m_prefix = std::move(prefix); }
    // Runs hwhost on the root (alerts.xml, hwhost.log, standard output in
    // hwhost.out, standard error in hwhost.err), with adapter locks in a
    // folder of this host's own (HW_LOCK_DIR; `environment` may name
    // another, or "HW_LOCK_DIR=" for the machine's), and waits for it to
    // report the sensor started; false when it ended first.  Runs again
    // on the same root once the run before has ended.
    bool Start(const std::vector<std::string>& extraArguments = {},
               const std::vector<std::string>& environment = {});
    // Pushes `policy` (SIGHUP) and waits for the reload to complete; false
    // when the host ended instead.
    bool Reload(const std::string& policy);
    // Runs `hwhost push` of `policy` on the root to its end: its exit code
    // (-1 when it did not end in time), and what it printed in `output`.
    int Push(const std::string& policy, std::string& output);
    // Whether a socket of the namespace is bound to UDP port 514.
    bool SyslogPortOpen() const;
    // SIGTERM, then the exit code; false when it did not end in two minutes.
    bool Stop(int& exitCode);
    // Waits for the host to end by itself; false when it did not in time.
    bool Wait(double seconds, int& exitCode) { return m_process.Wait(seconds, exitCode); }
    void Signal(int signal) const;
    pid_t Pid() const { return m_process.Pid(); }
    bool IsRunning() { return m_process.IsRunning(); }

    std::string Errors() const { return ReadWholeFile(File("hwhost.err")); }
    // The end of the errors, for failure messages.
    std::string ErrorsTail() const;
    std::string Log() const { return ReadWholeFile(File("hwhost.log")); }
    // The end of the log, for failure messages: the steps a command that
    // did not complete had reached.
    std::string LogTail() const;
    std::string Output() const { return ReadWholeFile(File("hwhost.out")); }
    // The alert file's whole documents: one the host is still writing (a
    // reader may see any part of a write) is left out until it is whole.
    std::string Alerts() const { return WholeAlertDocuments(ReadWholeFile(File("alerts.xml"))); }

    // Runs a program inside the namespace to its successful end, with
    // `input` on its standard input.
    bool RunInside(const std::vector<std::string>& argv, const std::string& input = std::string());
    // Datagrams to the namespace's port 514 from a thread of its own that
    // joins the namespace, as fast as the socket takes them: `next` fills
    // each one and answers false after the last.  False when one was not
    // sent (a closed port refuses the next); the others are still sent.
    bool SendDatagrams(const std::function<bool(std::string&)>& next) const;
    // Exactly these bytes as one datagram.
    bool SendDatagram(const std::string& bytes) const;

private:
    const NetworkNamespace& m_network;
    ScratchDirectory m_root;
    ScratchDirectory m_locks;
    ChildProcess m_process;
    std::vector<std::string> m_prefix;
    int m_nPushes = 0;
};

// Datagrams `prefix` followed by a running number to the host's syslog
// port, from a thread of its own, until Stop; small pauses keep the host
// busy without starving it.
class DatagramStream {
public:
    DatagramStream(const NamespacedHost& host, const std::string& prefix);
    // One datagram every `interval` on a schedule, numbered from 1, the
    // number followed by `suffix`.
    DatagramStream(const NamespacedHost& host, const std::string& prefix, std::chrono::microseconds interval,
                   const std::string& suffix = std::string());
    ~DatagramStream() { Stop(); }
    DatagramStream(const DatagramStream&) = delete;
    DatagramStream& operator=(const DatagramStream&) = delete;
    void Stop();
    // Datagrams sent so far (of the scheduled stream).
    uint64_t Sent() const { return m_qwSent; }
    // After Stop: whether every datagram went out.
    bool AllSent() const { return m_bAllSent; }
    // After Stop, for the scheduled stream: when datagram n was sent, on
    // the clock of the host's log (index 0 unused).
    const std::vector<double>& SentAt() const { return m_sentAt; }

private:
    std::vector<double> m_sentAt{0.0};
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_qwSent{0};
    std::atomic<bool> m_bAllSent{false};
    std::thread m_thread;
};

}  // namespace hwtest
