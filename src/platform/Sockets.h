#pragma once
// IPv4 stream and datagram sockets for the tool library and the sensor
// core.  Addresses and ports travel in network byte order, exactly as they
// stand in a socket address, because callers compare and pass on those raw
// fields.  Every call that fails leaves a Windows Sockets style number
// (10000 and up) as the thread's last error (LastError.h).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

using SocketHandle = int;
constexpr SocketHandle kInvalidSocket = -1;

// Windows Sockets style numbers the layer sets itself.
enum : uint32_t {
    kWsaInterrupted = 10004,
    // No descriptor left, the process's (EMFILE) or the system's (ENFILE).
    kWsaTooManyOpenSockets = 10024,
    kWsaNotSocket = 10038,
    kWsaNoProtocolOption = 10042,
    kWsaNotInitialised = 10093,
    kWsaHostNotFound = 11001,
    kWsaNoData = 11004,
};

// The address family number of IPv4 in host records.
constexpr int kAddressFamilyIpv4 = 2;

struct Ipv4Endpoint {
    uint32_t m_dwAddress = 0;  // network byte order; 0 is any address
    uint16_t m_wPort = 0;      // network byte order; 0 lets the system choose
};

// Converts a port number of the machine into the network-order field.
uint16_t PortField(uint16_t port);
// The port number a network-order field stands for.
uint16_t PortNumber(uint16_t portField);

SocketHandle OpenTcpSocket();
SocketHandle OpenUdpSocket();
// Two stream sockets connected to each other and to nothing else, for a
// parent and the child it hands one of them to: no address exists that
// another process could listen on or connect to.
bool OpenSocketPair(SocketHandle& first, SocketHandle& second);
// Makes a socket handed down by a parent private to this process: programs
// it starts later do not inherit it.
bool KeepSocketFromChildren(SocketHandle socket);
void CloseSocket(SocketHandle socket);
// Ends both directions at once, waking any thread blocked on the socket.
void ShutdownSocket(SocketHandle socket);
// Lets a listener bind its port while old connections on it linger.
bool AllowAddressReuse(SocketHandle socket);
// Lingering on close: off (a close returns at once and the system still
// sends what is queued), or on for `seconds`; on with 0 makes the close
// reset the connection.
bool SetSocketLinger(SocketHandle socket, bool on, int seconds);
// Urgent data arrives in line with the rest of the stream.
bool SetSocketOobInline(SocketHandle socket, bool on);
// Calls that would wait fail at once with 10035 instead.
bool SetSocketNonBlocking(SocketHandle socket);

// Asks for a receive buffer of `bytes`: beyond the system's limit where the
// process may, else up to it.  False when neither was granted.
bool SetSocketReceiveBuffer(SocketHandle socket, int bytes);

bool BindSocket(SocketHandle socket, const Ipv4Endpoint& local);
bool ListenOnSocket(SocketHandle socket, int backlog);
SocketHandle AcceptOnSocket(SocketHandle listener);
// Takes one pending connection and tells who made it; `peerIsIpv4` is false
// when the peer is not an IPv4 endpoint (its endpoint is then left 0).  On a
// listener that does not block, 10035 means none was pending.
SocketHandle AcceptOnSocket(SocketHandle listener, Ipv4Endpoint& peer, bool& peerIsIpv4);
bool ConnectSocket(SocketHandle socket, const Ipv4Endpoint& remote);

// One send or receive; -1 on failure.  Sending never raises SIGPIPE: a
// vanished peer is an ordinary error.  A receive of 0 means the peer closed.
long SendOnSocket(SocketHandle socket, const void* data, size_t count);
long ReceiveOnSocket(SocketHandle socket, void* buffer, size_t size);
long SendDatagram(SocketHandle socket, const void* data, size_t count, const Ipv4Endpoint& to);
// One datagram and its sender.  At most `size` bytes are stored, and the
// answer is the datagram's whole length, which exceeds `size` when the rest
// was cut off.  Without `wait` an empty socket fails at once with 10035.
// -1 on failure.
long ReceiveDatagram(SocketHandle socket, void* buffer, size_t size, Ipv4Endpoint& from, bool wait);
// Keeps the system from queueing any further datagram for a bound datagram
// socket, while those it holds already stay to be received: a receiver
// about to close its socket can then take or count all it was sent, and
// what arrives later is refused as if the port were closed.  The socket
// ends up connected to its own address and port, which no other socket can
// send from.  False when it could not be done (no loopback, for one).
bool StopDatagramInput(SocketHandle socket);
// The number of datagrams the system has dropped on the socket so far (for
// want of room, mostly): a count that wraps at 2^32.  One system call,
// whatever the number of datagrams received since the last reading.
bool ReadDropCount(SocketHandle socket, uint32_t& dropCount);

// Up to a fixed number of datagrams taken from a socket with one system
// call, into room made once: a receiver that falls behind catches up with
// fewer calls, and no datagram costs an allocation.
class DatagramBatch {
public:
    // Room for `capacity` datagrams (at least 1) of `size` bytes each.
    DatagramBatch(size_t capacity, size_t size);
    ~DatagramBatch();
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    size_t Capacity() const { return m_nCapacity; }
    size_t Size() const { return m_nSize; }
    // Takes the datagrams waiting on `socket`, up to Capacity(), without
    // waiting for more; answers how many, or -1 on failure (10035 when none
    // was waiting).  The previous batch's datagrams are gone afterwards.
    long Receive(SocketHandle socket);

    // Datagram `index` of the last Receive: its stored bytes (at most
    // Size()), its whole length (above Size() when the rest was cut off)
    // and its sender.
    char* Data(size_t index) { return m_pRoom.get() + index * m_nSize; }
    size_t Length(size_t index) const;
    Ipv4Endpoint Sender(size_t index) const;

private:
    struct Slots;

    const size_t m_nCapacity;
    const size_t m_nSize;
    std::unique_ptr<char[]> m_pRoom;
    std::unique_ptr<Slots> m_pSlots;
};

enum class SocketReadiness { kReadable, kTimedOut, kExceptional, kFailed };

// Waits until the socket has data (or end of stream, or a pending error) to
// read.  A negative time-out waits without limit.  Urgent data is the
// exceptional condition.
SocketReadiness WaitSocketReadable(SocketHandle socket, int timeoutMs);

bool GetSocketLocalEndpoint(SocketHandle socket, Ipv4Endpoint& local);
// False (with the last error) when not connected; `isIpv4` tells whether the
// peer is an IPv4 endpoint at all.
bool GetSocketPeerEndpoint(SocketHandle socket, Ipv4Endpoint& peer, bool& isIpv4);

// Dotted decimal text to an address; false when the text is not one.
bool ParseIpv4Address(const char* text, uint32_t& address);
// The first IPv4 address the resolver gives for a host name or dotted text.
bool ResolveIpv4Address(const char* host, uint32_t& address);
// The first IPv4 address of this host's own name, or 0 when it has none.
uint32_t LocalHostIpv4Address();

struct HostEntry {
    std::string m_sName;
    std::vector<std::string> m_vAliases;
    int m_nAddressType = 0;
    int m_nAddressLength = 0;
    std::vector<uint32_t> m_vAddresses;  // network byte order
};
// The host record the resolver has for an IPv4 address.
bool LookupHostByAddress(uint32_t address, HostEntry& entry);

}  // namespace plat
