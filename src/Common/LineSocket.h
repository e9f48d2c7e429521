#pragma once
// A stream connection that carries text lines to and from the script
// process: a socket pair the process inherits one end of, or a TCP
// connection over the loopback interface.  Reading and writing are buffered
// separately, each under its own lock, so one thread may write commands
// while another reads replies.  The data socket's descriptor is released
// only once no thread is inside an operation on it: a peer that closes
// makes the channel unopened at once, but a send already under way on
// another thread fails on the old socket rather than writing into whatever
// file or socket might take over the descriptor's number.  With QOR_SOCKET_DEBUG above 0 all traffic is copied to
// "socketlog<pid>.txt" in the working directory.
//
// Operations answer 1/0 or a count/-1 and keep the Windows Sockets error of
// the last failure (LastError).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/Sockets.h"
#include "qorToolsLib/jsSync.h"

class LineSocket {
public:
    static constexpr uint16_t kDefaultPort = 8160;
    static constexpr const char* kDefaultAddress = "127.0.0.1";
    static constexpr long kBufferSize = 4096;

    LineSocket();
    ~LineSocket();
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;

    // Listens on the address (any local address when none); port 0 means
    // the default port.
    int Listen(uint16_t port, const char* address = nullptr);
    int Accept();
    // A new data socket bound to the address (any when none) and the port
    // exactly as given.
    int Bind(uint16_t port, const char* address);
    // Port 0 means the default port, no address the loopback address.  An
    // unopened data socket is first bound to an ephemeral loopback port.
    int Connect(uint16_t port, const char* address);

    // A new data socket connected to `otherEnd` and to nothing else, for a
    // process this one starts and hands `otherEnd` to (the caller closes its
    // copy once the process has it).  No port is involved, so no other
    // program can take the process's place.
    int Pair(plat::SocketHandle& otherEnd);
    // Takes `socket`, handed down by the parent, as the data socket; the
    // programs this process starts do not inherit it.  0 when it is not open.
    int Adopt(plat::SocketHandle socket);

    // 1 when the connected peer is IPv4 with this network-order port field
    // and, when `address` is given and not empty, this address.
    int IsPeer(uint16_t portField, const char* address);
    // The data socket's local port field in network order, or 0.
    uint16_t GetLocalPort();

    void CloseListener();
    void CloseData();
    void Close();

    // 1 when readable, 0 on time-out (negative waits without limit), -1 on
    // failure, on an unopened socket (10093) or on urgent data (10004).
    int WaitReadable(int timeoutMs);
    // All `count` bytes, repeating partial sends; -1 on failure.
    long Send(const char* bytes, long count);
    // One receive; 0 when the peer closed (the data socket is then shut down
    // and the channel unopened; its descriptor goes with the last user).
    long Recv(char* buffer, long size);

    // The next line including its newline, terminated when there is room.
    // A line longer than `size` comes in pieces of `size` unterminated bytes;
    // a peer line longer than the read buffer comes in pieces of the buffer.
    // 0 with an empty text when nothing arrived within the read time-out.
    long Gets(char* buffer, long size);
    // As Gets, but a line shorter than `size` comes only whole: while its
    // newline has not come, 0 with an empty text, and its first bytes stay
    // buffered for the next call.  A reader of commands must never take
    // the first half of a line the peer is still writing for a line.
    long GetsWhole(char* buffer, long size);
    // Sends each complete line; text after the last newline waits for a
    // later newline, a full buffer or Flush.  Answers the bytes sent.
    long Puts(const char* text);
    long Flush();
    // Whether a whole line is already buffered, so that the next Gets takes
    // it without waiting: a writer that answers line by line may then hold
    // its answers back and send them together.
    bool HasUnreadLine();

    void SetReadTimeout(uint32_t milliseconds) { m_dwReadTimeout = milliseconds; }
    void ResetBuffers();

    uint32_t LastError() const { return m_dwLastError; }
    bool IsDebugLogOpen() const { return m_pDebugLog != nullptr; }

private:
    // The data socket, closed when the last holder lets go of it.
    struct OpenSocket {
        explicit OpenSocket(plat::SocketHandle socket) : m_hSocket(socket) {}
        ~OpenSocket();
        OpenSocket(const OpenSocket&) = delete;
        OpenSocket& operator=(const OpenSocket&) = delete;
        const plat::SocketHandle m_hSocket;
    };
    using SocketRef = std::shared_ptr<OpenSocket>;

    // The data socket for one operation, held until the operation ends;
    // null when none is open (UseSocket then stores error 10093).
    SocketRef CurrentSocket();
    SocketRef UseSocket();
    // Makes `socket` the data socket; the one before it is closed as by
    // CloseData.  False, with the socket closed, when no memory was left.
    bool SetSocket(plat::SocketHandle socket);
    // Shuts `socket` down and lets the channel forget it, unless another
    // socket has replaced it meanwhile.
    void Forget(const SocketRef& socket);
    void StoreLastError();
    // Writes head, number, "):[", the data and "]".
    void DebugLog(const char* head, long number, const char* data, long length);
    // Moves the unread bytes to the front and reads more behind them.
    long FillReadBuffer();
    long CopyOut(char* buffer, long size, long length);
    long GetsLine(char* buffer, long size, bool bWhole);
    long PutsBuffered(const char* text, long sent);

    std::mutex m_socketLock;
    SocketRef m_pSocket;  // under the socket lock
    plat::SocketHandle m_hListenSocket = plat::kInvalidSocket;
    std::atomic<uint32_t> m_dwLastError{0};
    plat::Ipv4Endpoint m_address;
    std::FILE* m_pDebugLog = nullptr;
    char m_readBuffer[kBufferSize];
    long m_nReadStart = 0;
    long m_nReadEnd = 0;
    char m_writeBuffer[kBufferSize];
    long m_nWriteFill = 0;
    std::atomic<uint32_t> m_dwReadTimeout{0};
    jsFastSync m_writeLock;
    jsFastSync m_readLock;
};
