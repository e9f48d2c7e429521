#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/LastError.h"

namespace plat {

static_assert(kAddressFamilyIpv4 == AF_INET);

namespace {

void SetSocketErrorFromErrno() {
    SetLastSocketErrorFromErrno(errno);
}

sockaddr_in ToSockaddr(const Ipv4Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = endpoint.m_dwAddress;
    address.sin_port = endpoint.m_wPort;
    return address;
}

SocketHandle OpenSocket(int type, int protocol) {
    SocketHandle handle = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    if (handle < 0) {
        SetSocketErrorFromErrno();
        return kInvalidSocket;
    }
    return handle;
}

// Adds `flag` to the flags fcntl reads with `get` and writes with `set`.
bool AddFlag(SocketHandle socket, int get, int set, int flag) {
    const int flags = ::fcntl(socket, get);
    if (flags < 0 || ::fcntl(socket, set, flags | flag) != 0) {
        SetSocketErrorFromErrno();
        return false;
    }
    return true;
}

uint32_t MapResolverError(int code) {
    switch (code) {
        case EAI_NONAME:
        case EAI_FAIL:
            return kWsaHostNotFound;
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return kWsaNoData;
        case EAI_SYSTEM:
            return MapSocketErrno(errno);
        default:
            return 11002;  // try again
    }
}

}  // namespace

uint16_t PortField(uint16_t port) {
    return htons(port);
}
uint16_t PortNumber(uint16_t portField) {
    return ntohs(portField);
}

SocketHandle OpenTcpSocket() {
    return OpenSocket(SOCK_STREAM, IPPROTO_TCP);
}
SocketHandle OpenUdpSocket() {
    return OpenSocket(SOCK_DGRAM, IPPROTO_UDP);
}

bool OpenSocketPair(SocketHandle& first, SocketHandle& second) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        SetSocketErrorFromErrno();
        first = second = kInvalidSocket;
        return false;
    }
    first = ends[0];
    second = ends[1];
    return true;
}

bool KeepSocketFromChildren(SocketHandle socket) {
    return AddFlag(socket, F_GETFD, F_SETFD, FD_CLOEXEC);
}

void CloseSocket(SocketHandle socket) {
    if (socket != kInvalidSocket) {
        ::close(socket);
    }
}

void ShutdownSocket(SocketHandle socket) {
    if (socket != kInvalidSocket) {
        ::shutdown(socket, SHUT_RDWR);
    }
}

bool AllowAddressReuse(SocketHandle socket) {
    int on = 1;
    if (::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        SetSocketErrorFromErrno();
        return false;
    }
    return true;
}

bool SetSocketLinger(SocketHandle socket, bool on, int seconds) {
    linger value{};
    value.l_onoff = on ? 1 : 0;
    value.l_linger = seconds;
    if (::setsockopt(socket, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) {
        SetSocketErrorFromErrno();
        return false;
    }
    return true;
}

bool SetSocketOobInline(SocketHandle socket, bool on) {
    int value = on ? 1 : 0;
    if (::setsockopt(socket, SOL_SOCKET, SO_OOBINLINE, &value, sizeof value) != 0) {
        SetSocketErrorFromErrno();
        return false;
    }
    return true;
}

bool SetSocketNonBlocking(SocketHandle socket) {
    return AddFlag(socket, F_GETFL, F_SETFL, O_NONBLOCK);
}

bool SetSocketReceiveBuffer(SocketHandle socket, int bytes) {
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0 ||
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0) {
        return true;
    }
    SetSocketErrorFromErrno();
    return false;
}

bool BindSocket(SocketHandle socket, const Ipv4Endpoint& local) {
    sockaddr_in address = ToSockaddr(local);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        SetSocketErrorFromErrno();
        return false;
    }
    return true;
}

bool ListenOnSocket(SocketHandle socket, int backlog) {
    if (::listen(socket, backlog) != 0) {
        SetSocketErrorFromErrno();
        return false;
    }
    return true;
}

SocketHandle AcceptOnSocket(SocketHandle listener) {
    for (;;) {
        SocketHandle handle = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (handle >= 0) {
            return handle;
        }
        if (errno != EINTR) {
            SetSocketErrorFromErrno();
            return kInvalidSocket;
        }
    }
}

SocketHandle AcceptOnSocket(SocketHandle listener, Ipv4Endpoint& peer, bool& peerIsIpv4) {
    peer = Ipv4Endpoint{};
    peerIsIpv4 = false;
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        SocketHandle handle = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                                        SOCK_CLOEXEC);
        if (handle >= 0) {
            if (address.ss_family == AF_INET) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
                peer.m_dwAddress = in->sin_addr.s_addr;
                peer.m_wPort = in->sin_port;
                peerIsIpv4 = true;
            }
            return handle;
        }
        if (errno != EINTR) {
            SetSocketErrorFromErrno();
            return kInvalidSocket;
        }
    }
}

bool ConnectSocket(SocketHandle socket, const Ipv4Endpoint& remote) {
    sockaddr_in address = ToSockaddr(remote);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        SetSocketErrorFromErrno();
        return false;
    }
    return true;
}

long SendOnSocket(SocketHandle socket, const void* data, size_t count) {
    for (;;) {
        ssize_t sent = ::send(socket, data, count, MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<long>(sent);
        }
        if (errno != EINTR) {
            SetSocketErrorFromErrno();
            return -1;
        }
    }
}

long ReceiveOnSocket(SocketHandle socket, void* buffer, size_t size) {
    for (;;) {
        ssize_t received = ::recv(socket, buffer, size, 0);
        if (received >= 0) {
            return static_cast<long>(received);
        }
        if (errno != EINTR) {
            SetSocketErrorFromErrno();
            return -1;
        }
    }
}

long SendDatagram(SocketHandle socket, const void* data, size_t count, const Ipv4Endpoint& to) {
    sockaddr_in address = ToSockaddr(to);
    for (;;) {
        ssize_t sent = ::sendto(socket, data, count, MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (sent >= 0) {
            return static_cast<long>(sent);
        }
        if (errno != EINTR) {
            SetSocketErrorFromErrno();
            return -1;
        }
    }
}

long ReceiveDatagram(SocketHandle socket, void* buffer, size_t size, Ipv4Endpoint& from, bool wait) {
    const int flags = MSG_TRUNC | (wait ? 0 : MSG_DONTWAIT);
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        const ssize_t received = ::recvfrom(socket, buffer, size, flags,
                                            reinterpret_cast<sockaddr*>(&address), &length);
        if (received >= 0) {
            from.m_dwAddress = address.sin_addr.s_addr;
            from.m_wPort = address.sin_port;
            return static_cast<long>(received);
        }
        if (errno != EINTR) {
            SetSocketErrorFromErrno();
            return -1;
        }
    }
}

bool StopDatagramInput(SocketHandle socket) {
    Ipv4Endpoint self;
    if (!GetSocketLocalEndpoint(socket, self)) {
        return false;
    }
    // A connected datagram socket takes only what its peer sends.  Bound to
    // every address, it is reached at the loopback's; the connect leaves
    // the datagrams already queued where they are.
    if (self.m_dwAddress == 0) {
        self.m_dwAddress = htonl(INADDR_LOOPBACK);
    }
    return ConnectSocket(socket, self);
}

bool ReadDropCount(SocketHandle socket, uint32_t& dropCount) {
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (::getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0) {
        SetSocketErrorFromErrno();
        return false;
    }
    if (length < (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) {
        SetLastError(kWsaNoProtocolOption);
        return false;
    }
    dropCount = memory[SK_MEMINFO_DROPS];
    return true;
}

// The system's description of each datagram of a batch, laid out once.
struct DatagramBatch::Slots {
    explicit Slots(size_t capacity)
        : m_Messages(capacity), m_Vectors(capacity), m_Senders(capacity) {}
    std::vector<mmsghdr> m_Messages;
    std::vector<iovec> m_Vectors;
    std::vector<sockaddr_in> m_Senders;
};

DatagramBatch::DatagramBatch(size_t capacity, size_t size)
    : m_nCapacity(capacity == 0 ? 1 : capacity),
      m_nSize(size),
      // Left uninitialised: the system writes only the bytes a datagram
      // has, so room that small datagrams never reach is never touched.
      m_pRoom(new char[m_nCapacity * size]),
      m_pSlots(std::make_unique<Slots>(m_nCapacity)) {
    for (size_t i = 0; i < m_nCapacity; ++i) {
        m_pSlots->m_Vectors[i] = iovec{Data(i), m_nSize};
        msghdr& header = m_pSlots->m_Messages[i].msg_hdr;
        header.msg_name = &m_pSlots->m_Senders[i];
        header.msg_iov = &m_pSlots->m_Vectors[i];
        header.msg_iovlen = 1;
    }
}

DatagramBatch::~DatagramBatch() = default;

long DatagramBatch::Receive(SocketHandle socket) {
    for (;;) {
        // The system writes back how much of each room for an address it used.
        for (mmsghdr& message : m_pSlots->m_Messages) {
            message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
        // A datagram that did not fit answers its whole length, so the
        // caller can tell it was cut.
        const int received = ::recvmmsg(socket, m_pSlots->m_Messages.data(),
                                        static_cast<unsigned>(m_nCapacity),
                                        MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (received >= 0) {
            return received;
        }
        if (errno != EINTR) {
            SetSocketErrorFromErrno();
            return -1;
        }
    }
}

size_t DatagramBatch::Length(size_t index) const {
    return m_pSlots->m_Messages[index].msg_len;
}

Ipv4Endpoint DatagramBatch::Sender(size_t index) const {
    const sockaddr_in& address = m_pSlots->m_Senders[index];
    Ipv4Endpoint sender;
    sender.m_dwAddress = address.sin_addr.s_addr;
    sender.m_wPort = address.sin_port;
    return sender;
}

SocketReadiness WaitSocketReadable(SocketHandle socket, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = timeoutMs;
        if (timeoutMs > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd entry{socket, POLLIN | POLLPRI, 0};
        int ready = ::poll(&entry, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetSocketErrorFromErrno();
            return SocketReadiness::kFailed;
        }
        if (ready == 0) {
            return SocketReadiness::kTimedOut;
        }
        if (entry.revents & POLLNVAL) {
            SetLastError(kWsaNotSocket);
            return SocketReadiness::kFailed;
        }
        if (entry.revents & POLLPRI) {
            return SocketReadiness::kExceptional;
        }
        // End of stream and pending errors count as readable: the receive
        // that follows reports them.
        return SocketReadiness::kReadable;
    }
}

bool GetSocketLocalEndpoint(SocketHandle socket, Ipv4Endpoint& local) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        SetSocketErrorFromErrno();
        return false;
    }
    if (address.ss_family != AF_INET) {
        SetLastError(10047);  // address family not supported
        return false;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    local.m_dwAddress = in->sin_addr.s_addr;
    local.m_wPort = in->sin_port;
    return true;
}

bool GetSocketPeerEndpoint(SocketHandle socket, Ipv4Endpoint& peer, bool& isIpv4) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    isIpv4 = false;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        SetSocketErrorFromErrno();
        return false;
    }
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        peer.m_dwAddress = in->sin_addr.s_addr;
        peer.m_wPort = in->sin_port;
        isIpv4 = true;
    }
    return true;
}

bool ParseIpv4Address(const char* text, uint32_t& address) {
    in_addr parsed{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &parsed) != 1) {
        return false;
    }
    address = parsed.s_addr;
    return true;
}

bool ResolveIpv4Address(const char* host, uint32_t& address) {
    if (host == nullptr || *host == '\0') {
        SetLastError(kWsaHostNotFound);
        return false;
    }
    if (ParseIpv4Address(host, address)) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* results = nullptr;
    int code = ::getaddrinfo(host, nullptr, &hints, &results);
    if (code != 0) {
        SetLastError(MapResolverError(code));
        return false;
    }
    bool found = false;
    for (addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
            address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
            found = true;
            break;
        }
    }
    ::freeaddrinfo(results);
    if (!found) {
        SetLastError(kWsaNoData);
    }
    return found;
}

bool LookupHostByAddress(uint32_t address, HostEntry& entry) {
    std::vector<char> work(2048);
    hostent result{};
    hostent* found = nullptr;
    int hostError = 0;
    for (;;) {
        int rc = ::gethostbyaddr_r(&address, sizeof address, AF_INET, &result, work.data(),
                                   work.size(), &found, &hostError);
        if (rc == ERANGE && work.size() < 65536) {
            work.resize(work.size() * 2);
            continue;
        }
        break;
    }
    if (found == nullptr) {
        switch (hostError) {
            case HOST_NOT_FOUND:
                SetLastError(kWsaHostNotFound);
                break;
            case NO_DATA:
                SetLastError(kWsaNoData);
                break;
            case NO_RECOVERY:
                SetLastError(11003);
                break;
            default:
                SetLastError(11002);  // try again
                break;
        }
        return false;
    }
    entry = HostEntry{};
    entry.m_sName = found->h_name != nullptr ? found->h_name : "";
    for (char** alias = found->h_aliases; alias != nullptr && *alias != nullptr; ++alias) {
        entry.m_vAliases.emplace_back(*alias);
    }
    entry.m_nAddressType = found->h_addrtype;
    entry.m_nAddressLength = found->h_length;
    for (char** item = found->h_addr_list; item != nullptr && *item != nullptr; ++item) {
        uint32_t value = 0;
        std::memcpy(&value, *item, sizeof value);
        entry.m_vAddresses.push_back(value);
    }
    return true;
}

uint32_t LocalHostIpv4Address() {
    char name[101] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return 0;
    }
    uint32_t address = 0;
    return ResolveIpv4Address(name, address) ? address : 0;
}

}  // namespace plat
