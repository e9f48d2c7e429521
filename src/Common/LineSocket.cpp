#include "Common/LineSocket.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/Environment.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/jsFastLock.h"

namespace {

bool ResolveOrAny(const char* address, uint32_t& value) {
    if (address == nullptr) {
        value = 0;
        return true;
    }
    return plat::ResolveIpv4Address(address, value);
}

}  // namespace

LineSocket::LineSocket() {
    const char* debug = std::getenv("QOR_SOCKET_DEBUG");
    if (debug != nullptr && std::atoi(debug) > 0) {
        char name[64];
        BoundedSnprintf(name, sizeof name, "socketlog%d.txt", static_cast<int>(plat::CurrentProcessId()));
        const int file = plat::OpenOwnFile(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        m_pDebugLog = file >= 0 ? fdopen(file, "w") : nullptr;
        if (m_pDebugLog == nullptr && file >= 0) {
            ::close(file);
        }
    }
}

LineSocket::~LineSocket() {
    Close();
    if (m_pDebugLog != nullptr) {
        std::fclose(m_pDebugLog);
    }
}

LineSocket::OpenSocket::~OpenSocket() { plat::CloseSocket(m_hSocket); }

LineSocket::SocketRef LineSocket::CurrentSocket() {
    std::lock_guard<std::mutex> guard(m_socketLock);
    return m_pSocket;
}

LineSocket::SocketRef LineSocket::UseSocket() {
    SocketRef socket = CurrentSocket();
    if (!socket) {
        m_dwLastError = plat::kWsaNotInitialised;
    }
    return socket;
}

bool LineSocket::SetSocket(plat::SocketHandle socket) {
    SocketRef previous;
    bool made = true;
    {
        SocketRef next;
        try {
            next = std::make_shared<OpenSocket>(socket);
        } catch (const std::bad_alloc&) {
            plat::CloseSocket(socket);
            made = false;
        }
        std::lock_guard<std::mutex> guard(m_socketLock);
        previous = std::exchange(m_pSocket, std::move(next));
    }
    if (previous) {
        plat::ShutdownSocket(previous->m_hSocket);
    }
    return made;
}

void LineSocket::Forget(const SocketRef& socket) {
    {
        std::lock_guard<std::mutex> guard(m_socketLock);
        if (m_pSocket != socket) {
            return;
        }
        m_pSocket.reset();
    }
    plat::ShutdownSocket(socket->m_hSocket);
}

void LineSocket::StoreLastError() {
    m_dwLastError = plat::GetLastError();
}

// Data goes into the log with its length, never as a terminated string:
// received bytes carry no terminator and may hold NULs.
void LineSocket::DebugLog(const char* head, long number, const char* data, long length) {
    if (m_pDebugLog == nullptr) {
        return;
    }
    size_t shown = data != nullptr ? static_cast<size_t>(std::clamp(length, 0L, kBufferSize)) : 0;
    std::fprintf(m_pDebugLog, "%s%ld):[", head, number);
    std::fwrite(data != nullptr ? data : "", 1, shown, m_pDebugLog);
    std::fputs("]\n", m_pDebugLog);
    std::fflush(m_pDebugLog);
}

int LineSocket::Listen(uint16_t port, const char* address) {
    CloseListener();
    plat::Ipv4Endpoint local;
    local.m_wPort = plat::PortField(port == 0 ? kDefaultPort : port);
    if (!ResolveOrAny(address, local.m_dwAddress)) {
        StoreLastError();
        return 0;
    }
    plat::SocketHandle listener = plat::OpenTcpSocket();
    if (listener == plat::kInvalidSocket) {
        StoreLastError();
        return 0;
    }
    if (!plat::AllowAddressReuse(listener) || !plat::BindSocket(listener, local) ||
        !plat::ListenOnSocket(listener, 2)) {
        StoreLastError();
        plat::CloseSocket(listener);
        return 0;
    }
    m_hListenSocket = listener;
    m_address = local;
    return 1;
}

int LineSocket::Accept() {
    if (m_hListenSocket == plat::kInvalidSocket) {
        m_dwLastError = plat::kWsaNotInitialised;
        return 0;
    }
    plat::SocketHandle accepted = plat::AcceptOnSocket(m_hListenSocket);
    if (accepted == plat::kInvalidSocket) {
        StoreLastError();
        return 0;
    }
    if (!SetSocket(accepted)) {
        m_dwLastError = plat::kWsaNotInitialised;
        return 0;
    }
    return 1;
}

int LineSocket::Bind(uint16_t port, const char* address) {
    plat::Ipv4Endpoint local;
    local.m_wPort = plat::PortField(port);
    if (!ResolveOrAny(address, local.m_dwAddress)) {
        StoreLastError();
        return 0;
    }
    CloseData();
    plat::SocketHandle socket = plat::OpenTcpSocket();
    if (socket == plat::kInvalidSocket) {
        StoreLastError();
        return 0;
    }
    if (!plat::BindSocket(socket, local)) {
        StoreLastError();
        plat::CloseSocket(socket);
        return 0;
    }
    if (!SetSocket(socket)) {
        m_dwLastError = plat::kWsaNotInitialised;
        return 0;
    }
    m_address = local;
    return 1;
}

int LineSocket::Connect(uint16_t port, const char* address) {
    if (address == nullptr || *address == '\0') {
        address = kDefaultAddress;
    }
    SocketRef socket = CurrentSocket();
    if (!socket) {
        if (!Bind(0, kDefaultAddress)) {
            return 0;
        }
        socket = UseSocket();
        if (!socket) {
            return 0;
        }
    }
    plat::Ipv4Endpoint remote;
    remote.m_wPort = plat::PortField(port == 0 ? kDefaultPort : port);
    if (!ResolveOrAny(address, remote.m_dwAddress)) {
        StoreLastError();
        return 0;
    }
    if (!plat::ConnectSocket(socket->m_hSocket, remote)) {
        StoreLastError();
        return 0;
    }
    m_address = remote;
    return 1;
}

int LineSocket::Pair(plat::SocketHandle& otherEnd) {
    CloseData();
    plat::SocketHandle ownEnd = plat::kInvalidSocket;
    if (!plat::OpenSocketPair(ownEnd, otherEnd)) {
        StoreLastError();
        return 0;
    }
    if (!SetSocket(ownEnd)) {
        plat::CloseSocket(otherEnd);
        otherEnd = plat::kInvalidSocket;
        m_dwLastError = plat::kWsaNotInitialised;
        return 0;
    }
    m_address = plat::Ipv4Endpoint();
    return 1;
}

int LineSocket::Adopt(plat::SocketHandle socket) {
    if (socket == plat::kInvalidSocket) {
        m_dwLastError = plat::kWsaNotSocket;
        return 0;
    }
    if (!plat::KeepSocketFromChildren(socket)) {
        StoreLastError();
        return 0;
    }
    if (!SetSocket(socket)) {
        m_dwLastError = plat::kWsaNotInitialised;
        return 0;
    }
    m_address = plat::Ipv4Endpoint();
    return 1;
}

int LineSocket::IsPeer(uint16_t portField, const char* address) {
    plat::Ipv4Endpoint peer;
    bool isIpv4 = false;
    SocketRef socket = UseSocket();
    if (!socket) {
        return 0;
    }
    if (!plat::GetSocketPeerEndpoint(socket->m_hSocket, peer, isIpv4)) {
        StoreLastError();
        return 0;
    }
    m_dwLastError = 0;
    if (!isIpv4 || peer.m_wPort != portField) {
        return 0;
    }
    if (address != nullptr && *address != '\0') {
        uint32_t wanted = 0;
        if (!plat::ParseIpv4Address(address, wanted) || wanted != peer.m_dwAddress) {
            return 0;
        }
    }
    return 1;
}

uint16_t LineSocket::GetLocalPort() {
    SocketRef socket = UseSocket();
    if (!socket) {
        return 0;
    }
    plat::Ipv4Endpoint local;
    if (!plat::GetSocketLocalEndpoint(socket->m_hSocket, local)) {
        StoreLastError();
        return 0;
    }
    m_dwLastError = 0;
    return local.m_wPort;
}

void LineSocket::CloseListener() {
    plat::CloseSocket(m_hListenSocket);
    m_hListenSocket = plat::kInvalidSocket;
}

// The socket is shut down, so a thread blocked on it wakes and a thread
// about to use it fails; its descriptor is released when the last thread
// inside an operation on it has left.
void LineSocket::CloseData() {
    SocketRef socket;
    {
        std::lock_guard<std::mutex> guard(m_socketLock);
        socket = std::move(m_pSocket);
    }
    if (socket) {
        plat::ShutdownSocket(socket->m_hSocket);
    }
}

void LineSocket::Close() {
    CloseListener();
    CloseData();
}

int LineSocket::WaitReadable(int timeoutMs) {
    SocketRef socket = UseSocket();
    if (!socket) {
        return -1;
    }
    switch (plat::WaitSocketReadable(socket->m_hSocket, timeoutMs)) {
        case plat::SocketReadiness::kReadable:
            return 1;
        case plat::SocketReadiness::kTimedOut:
            return 0;
        case plat::SocketReadiness::kExceptional:
            m_dwLastError = plat::kWsaInterrupted;
            return -1;
        case plat::SocketReadiness::kFailed:
            break;
    }
    StoreLastError();
    return -1;
}

long LineSocket::Send(const char* bytes, long count) {
    SocketRef socket = UseSocket();
    if (!socket) {
        return -1;
    }
    DebugLog("Send(", count, bytes, count);
    long sent = 0;
    while (sent < count) {
        long n = plat::SendOnSocket(socket->m_hSocket, bytes + sent, static_cast<size_t>(count - sent));
        if (n < 0) {
            StoreLastError();
            if (m_pDebugLog != nullptr) {
                const uint32_t dwError = m_dwLastError.load();
                std::fprintf(m_pDebugLog, "Send failed: %d (%s)\n", static_cast<int>(dwError),
                             ErrorWords(dwError).c_str());
                std::fflush(m_pDebugLog);
            }
            return -1;
        }
        sent += n;
    }
    return sent;
}

long LineSocket::Recv(char* buffer, long size) {
    SocketRef socket = UseSocket();
    if (!socket) {
        return -1;
    }
    long received =
        plat::ReceiveOnSocket(socket->m_hSocket, buffer, static_cast<size_t>(std::max(size, 0L)));
    if (received < 0) {
        StoreLastError();
        return -1;
    }
    if (received == 0) {
        // Another thread may be sending on this socket right now: it is
        // shut down and forgotten here, and closed when that send is over.
        Forget(socket);
        return 0;
    }
    DebugLog("Recv(", received, buffer, received);
    return received;
}

long LineSocket::FillReadBuffer() {
    if (m_nReadStart > 0) {
        std::memmove(m_readBuffer, m_readBuffer + m_nReadStart,
                     static_cast<size_t>(m_nReadEnd - m_nReadStart));
        m_nReadEnd -= m_nReadStart;
        m_nReadStart = 0;
    }
    if (m_nReadEnd == kBufferSize) {
        // A full buffer without a newline is handed out as a piece; asking
        // the socket for 0 bytes would look like the peer closing.
        return 0;
    }
    int ready = WaitReadable(static_cast<int>(m_dwReadTimeout.load()));
    if (ready <= 0) {
        return ready;
    }
    long received = Recv(m_readBuffer + m_nReadEnd, kBufferSize - m_nReadEnd);
    if (received > 0) {
        m_nReadEnd += received;
    }
    return received;
}

long LineSocket::CopyOut(char* buffer, long size, long length) {
    if (length > size) {
        std::memcpy(buffer, m_readBuffer + m_nReadStart, static_cast<size_t>(size));
        m_nReadStart += size;
        return size;
    }
    std::memcpy(buffer, m_readBuffer + m_nReadStart, static_cast<size_t>(length));
    m_nReadStart += length;
    if (length < size) {
        buffer[length] = '\0';
    }
    return length;
}

long LineSocket::Gets(char* buffer, long size) {
    return GetsLine(buffer, size, false);
}

long LineSocket::GetsWhole(char* buffer, long size) {
    return GetsLine(buffer, size, true);
}

long LineSocket::GetsLine(char* buffer, long size, bool bWhole) {
    if (buffer == nullptr || size <= 0) {
        return -1;
    }
    jsFastLock guard(m_readLock, true);
    auto findNewline = [this]() -> const char* {
        return static_cast<const char*>(std::memchr(
            m_readBuffer + m_nReadStart, '\n', static_cast<size_t>(m_nReadEnd - m_nReadStart)));
    };
    const char* newline = findNewline();
    if (newline == nullptr) {
        long filled = FillReadBuffer();
        if (filled < 0) {
            return filled;
        }
        newline = findNewline();
    }
    long result = 0;
    const long unread = m_nReadEnd - m_nReadStart;
    if (unread == 0 || (bWhole && newline == nullptr && unread < size && unread < kBufferSize)) {
        buffer[0] = '\0';
    } else {
        long length = newline != nullptr
                          ? static_cast<long>(newline - (m_readBuffer + m_nReadStart)) + 1
                          : m_nReadEnd - m_nReadStart;
        result = CopyOut(buffer, size, length);
    }
    DebugLog("Gets(", result, buffer, result);
    return result;
}

bool LineSocket::HasUnreadLine() {
    jsFastLock guard(m_readLock, true);
    return std::memchr(m_readBuffer + m_nReadStart, '\n',
                       static_cast<size_t>(m_nReadEnd - m_nReadStart)) != nullptr;
}

long LineSocket::PutsBuffered(const char* text, long sent) {
    for (; *text != '\0'; ++text) {
        if (m_nWriteFill == kBufferSize) {
            long n = Send(m_writeBuffer, m_nWriteFill);
            m_nWriteFill = 0;
            if (n < 0) {
                return -1;
            }
            sent += n;
        }
        m_writeBuffer[m_nWriteFill++] = *text;
        if (*text == '\n') {
            long n = Send(m_writeBuffer, m_nWriteFill);
            if (n >= 0) {
                sent += n;
                m_nWriteFill = 0;
            }
        }
    }
    return sent;
}

long LineSocket::Puts(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    jsFastLock guard(m_writeLock, true);
    DebugLog("Puts(@", m_nWriteFill, text, static_cast<long>(std::strlen(text)));
    long sent = 0;
    if (m_nWriteFill == 0) {
        while (const char* newline = std::strchr(text, '\n')) {
            long n = Send(text, static_cast<long>(newline - text) + 1);
            if (n < 0) {
                break;
            }
            sent += n;
            text = newline + 1;
        }
    }
    return PutsBuffered(text, sent);
}

long LineSocket::Flush() {
    jsFastLock guard(m_writeLock, true);
    if (m_nWriteFill <= 0) {
        return 0;
    }
    long n = Send(m_writeBuffer, m_nWriteFill);
    m_nWriteFill = 0;
    return n;
}

void LineSocket::ResetBuffers() {
    {
        jsFastLock guard(m_readLock, true);
        m_nReadStart = 0;
        m_nReadEnd = 0;
    }
    jsFastLock guard(m_writeLock, true);
    m_nWriteFill = 0;
}
