#pragma once
// A private network namespace for tests that need fixed ports (syslog 514,
// decoy ports) without touching the machine's own: a holder child unshares
// the namespace, brings its loopback up and waits; programs are run inside
// through nsenter.  Needs root (CI runs these tests as root); without it
// the namespace is not ready and the test skips.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace hwtest {

class NetworkNamespace {
public:
    NetworkNamespace();
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    bool IsReady() const { return m_holder > 0 && m_error.empty(); }
    // Why the namespace could not be made.
    const std::string& Error() const { return m_error; }

    // A process inside the namespace: its /proc/<pid>/net shows the
    // namespace's tables.
    pid_t HolderPid() const { return m_holder; }
    // The command line that runs `argv` inside the namespace.
    std::vector<std::string> Enter(const std::vector<std::string>& argv) const;
    // The namespace's UDP counters from its "snmp" table (InDatagrams,
    // RcvbufErrors, ...); empty when unreadable.
    std::map<std::string, uint64_t> UdpCounters() const;
    // Its TCP counters from the "netstat" table (ListenOverflows,
    // ListenDrops, ...); empty when unreadable.
    std::map<std::string, uint64_t> TcpExtCounters() const;

private:
    pid_t m_holder = -1;
    std::string m_error;
};

// Moves the calling process (which must have one thread only) into a new
// network namespace and brings its loopback up; 0, or the errno value of the
// step that failed.
int EnterNewNetworkNamespace();

// Moves the calling thread (only it) into the network namespace `holder`
// lives in; false when it could not.  Meant for a thread of its own.
bool JoinNamespaceOf(pid_t holder);

// Joins the namespace `holder` lives in (JoinNamespaceOf) and answers a UDP
// socket there connected to 127.0.0.1:`port`, or -1.
int ConnectUdpInNamespaceOf(pid_t holder, uint16_t port);

// The "Udp:" counters of a /proc/net/snmp style text.
std::map<std::string, uint64_t> ParseUdpCounters(const std::string& snmpText);
// The counters of group `group` ("Udp:", "TcpExt:") of a /proc/net/snmp or
// /proc/net/netstat style text: a line of names, then one of values.
std::map<std::string, uint64_t> ParseCounters(const std::string& text, const std::string& group);

}  // namespace hwtest
