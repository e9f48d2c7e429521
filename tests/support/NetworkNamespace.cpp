#include "support/NetworkNamespace.h"

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "support/TestUtil.h"

namespace hwtest {

// Runs in a forked holder too: only system calls.
int EnterNewNetworkNamespace() {
    if (::unshare(CLONE_NEWNET) != 0) {
        return errno;
    }
    int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        return errno;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, "lo", 3);
    int result = 0;
    if (::ioctl(socket, SIOCGIFFLAGS, &request) != 0) {
        result = errno;
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        if (::ioctl(socket, SIOCSIFFLAGS, &request) != 0) {
            result = errno;
        }
    }
    ::close(socket);
    return result;
}

NetworkNamespace::NetworkNamespace() {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        m_error = "pipe failed";
        return;
    }
    m_holder = ::fork();
    if (m_holder == 0) {
        ::close(ready[0]);
        // Goes with the test process, however that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int result = EnterNewNetworkNamespace();
        ssize_t written = ::write(ready[1], &result, sizeof result);
        (void)written;
        ::close(ready[1]);
        if (result != 0) {
            ::_exit(1);
        }
        // Killed by the owner; also ends when the test process dies.
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    if (m_holder < 0) {
        ::close(ready[0]);
        m_error = "fork failed";
        return;
    }
    int result = -1;
    ssize_t got;
    do {
        got = ::read(ready[0], &result, sizeof result);
    } while (got < 0 && errno == EINTR);
    ::close(ready[0]);
    if (got != sizeof result || result != 0) {
        m_error = std::string("cannot make a network namespace: ") +
                  (got == sizeof result ? std::strerror(result) : "holder failed");
    } else if (FindProgram("nsenter").empty()) {
        m_error = "nsenter is not installed";
    }
}

NetworkNamespace::~NetworkNamespace() {
    if (m_holder > 0) {
        ::kill(m_holder, SIGKILL);
        int status = 0;
        while (::waitpid(m_holder, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

bool JoinNamespaceOf(pid_t holder) {
    const std::string path = "/proc/" + std::to_string(holder) + "/ns/net";
    int nsFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) {
        return false;
    }
    const bool joined = ::setns(nsFd, CLONE_NEWNET) == 0;
    ::close(nsFd);
    return joined;
}

int ConnectUdpInNamespaceOf(pid_t holder, uint16_t port) {
    int sock = JoinNamespaceOf(holder) ? ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
    if (sock < 0) {
        return -1;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        ::close(sock);
        return -1;
    }
    return sock;
}

std::vector<std::string> NetworkNamespace::Enter(const std::vector<std::string>& argv) const {
    std::vector<std::string> command = {"nsenter", "--net=/proc/" + std::to_string(m_holder) + "/ns/net",
                                        "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

std::map<std::string, uint64_t> NetworkNamespace::UdpCounters() const {
    return ParseUdpCounters(ReadWholeFile("/proc/" + std::to_string(m_holder) + "/net/snmp"));
}

std::map<std::string, uint64_t> NetworkNamespace::TcpExtCounters() const {
    return ParseCounters(ReadWholeFile("/proc/" + std::to_string(m_holder) + "/net/netstat"), "TcpExt:");
}

std::map<std::string, uint64_t> ParseUdpCounters(const std::string& snmpText) {
    return ParseCounters(snmpText, "Udp:");
}

std::map<std::string, uint64_t> ParseCounters(const std::string& text, const std::string& group) {
    std::istringstream lines(text);
    std::string header;
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(group, 0) != 0) {
            continue;
        }
        if (header.empty()) {
            header = line;
            continue;
        }
        std::istringstream names(header.substr(group.size()));
        std::istringstream values(line.substr(group.size()));
        std::map<std::string, uint64_t> counters;
        std::string name;
        uint64_t value = 0;
        while (names >> name && values >> value) {
            counters[name] = value;
        }
        return counters;
    }
    return {};
}

}  // namespace hwtest
