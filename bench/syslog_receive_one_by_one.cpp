// The syslog listener's receive as earlier sensors did it, one datagram per
// system call, for the receive comparison of syslog_load (see
// bench/CMakeLists.txt): linked into a plug-in of the bench's own ahead of
// the sensor's libraries, it takes the place of NTSyslogReceive.cpp.
//
// Built as it stands, it takes no drop count from the system at all, as
// the sensor did before it counted the system's drops.  With
// HW_BENCH_DROP_COUNT_PER_DATAGRAM it asks for the drop count on every
// datagram received (a control message, read on each), as the sensor did
// when it first counted them.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "NTSyslog/NTSyslogListeningThread.h"
#include "platform/LastError.h"

namespace {

constexpr uint32_t kWouldBlock = 10035;
constexpr uint32_t kMessageTooLong = 10040;
constexpr int kMaxPerWake = 256;

#ifdef HW_BENCH_DROP_COUNT_PER_DATAGRAM
// One datagram and, once the socket has dropped any, the drop count it
// carries.
long ReceiveWithDropCount(plat::SocketHandle socket, char* buffer, size_t size,
                          plat::Ipv4Endpoint& from, uint32_t& dropCount) {
    // The socket is asked once for the count on every datagram.
    thread_local plat::SocketHandle asked = plat::kInvalidSocket;
    if (asked != socket) {
        int on = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
        asked = socket;
    }
    for (;;) {
        sockaddr_in address{};
        iovec data{buffer, size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
        msghdr message{};
        message.msg_name = &address;
        message.msg_namelen = sizeof address;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t received = ::recvmsg(socket, &message, MSG_TRUNC | MSG_DONTWAIT);
        if (received >= 0) {
            from.m_dwAddress = address.sin_addr.s_addr;
            from.m_wPort = address.sin_port;
            for (cmsghdr* pHeader = CMSG_FIRSTHDR(&message); pHeader != nullptr;
                 pHeader = CMSG_NXTHDR(&message, pHeader)) {
                if (pHeader->cmsg_level == SOL_SOCKET && pHeader->cmsg_type == SO_RXQ_OVFL &&
                    pHeader->cmsg_len >= CMSG_LEN(sizeof dropCount)) {
                    std::memcpy(&dropCount, CMSG_DATA(pHeader), sizeof dropCount);
                }
            }
            return static_cast<long>(received);
        }
        if (errno != EINTR) {
            plat::SetLastError(plat::MapSocketErrno(errno));
            return -1;
        }
    }
}
#endif

}  // namespace

void NTSyslogListeningThread::ReceivePending() {
    char* const pBuffer = m_Batch.Data(0);
    for (int taken = 0; taken < kMaxPerWake && !StopRequested(); ++taken) {
        plat::Ipv4Endpoint sender;
#ifdef HW_BENCH_DROP_COUNT_PER_DATAGRAM
        uint32_t dwDropCount = m_dwDropCount;
        const long length =
            ReceiveWithDropCount(m_hSocket, pBuffer, m_Batch.Size(), sender, dwDropCount);
        // Datagrams carry the count as it stood when each was queued.
        const auto nGrowth = static_cast<int32_t>(dwDropCount - m_dwDropCount);
        if (nGrowth > 0) {
            m_dwDropCount = dwDropCount;
            m_qwKernelDropped.fetch_add(static_cast<uint64_t>(nGrowth), std::memory_order_relaxed);
        }
#else
        const long length =
            plat::ReceiveDatagram(m_hSocket, pBuffer, m_Batch.Size(), sender, false);
#endif
        if (length < 0) {
            const uint32_t error = plat::GetLastError();
            if (error != kWouldBlock && !StopRequested()) {
                ReportReceiveError(error);
            }
            return;
        }
        if (static_cast<size_t>(length) > m_Batch.Size()) {
            m_qwOversized.fetch_add(1, std::memory_order_relaxed);
            ReportReceiveError(kMessageTooLong);
            continue;
        }
        if (!StopRequested()) {
            QueueEntry(sender, pBuffer, static_cast<size_t>(length));
        }
    }
}
