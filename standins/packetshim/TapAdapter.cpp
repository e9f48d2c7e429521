#include "TapAdapter.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "ShimStatus.h"

namespace shim {

TapAdapter::~TapAdapter() {
    closeRx();
    txClose();
}

int TapAdapter::openSocket(int protocol) {
    // Bound before it listens to anything, so no frame of another
    // interface is queued in between.
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_strProblem = "a raw socket for interface " + m_Facts.m_strInterface +
                       " cannot be made: " + std::strerror(errno) +
                       (errno == EPERM ? " (capturing needs root or the raw-network capability)" : "");
        return -1;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = static_cast<uint16_t>(protocol);
    address.sll_ifindex = m_Facts.m_nIfIndex;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        m_strProblem = "a raw socket cannot be bound to interface " + m_Facts.m_strInterface + ": " +
                       std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

uint32_t TapAdapter::createRx(uint32_t bytes, uint32_t /*frameLenMax*/) {
    if (m_nRxFd >= 0) {
        return kReceiveExists;
    }
    m_bLoopback = m_Facts.m_dwMedium == 11;
    // Offloads may hand the socket frames far above the MTU.
    sizeRecord(65536);
    int fd = openSocket(htons(ETH_P_ALL));
    if (fd < 0) {
        return kSystemError;
    }
    int size = static_cast<int>(bytes);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    m_nRxFd = fd;
    m_nReadError = 0;
    return 0;
}

uint32_t TapAdapter::closeRx() {
    if (m_nRxFd >= 0) {
        collectKernelDrops();
        m_Statistics.m_qwLeftUnread += countUnread();
        ::close(m_nRxFd);
        m_nRxFd = -1;
    }
    m_bRecordOut = false;
    return 0;
}

uint64_t TapAdapter::countUnread() {
    // Bound to no protocol, the socket takes nothing more: what it holds
    // now is what its reader never got.
    sockaddr_ll none{};
    none.sll_family = AF_PACKET;
    none.sll_protocol = 0;
    none.sll_ifindex = m_Facts.m_nIfIndex;
    if (::bind(m_nRxFd, reinterpret_cast<sockaddr*>(&none), sizeof none) != 0) {
        return 0;
    }
    uint64_t unread = 0;
    for (;;) {
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        const ssize_t wire =
            ::recvfrom(m_nRxFd, recordData(), recordRoom(), MSG_TRUNC | MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&from), &length);
        if (wire < 0) {
            if (errno == EINTR) {
                continue;
            }
            return unread;
        }
        if (isForReader(from, static_cast<uint32_t>(wire))) {
            ++unread;
        }
    }
}

bool TapAdapter::isForReader(const sockaddr_ll& from, uint32_t wire) {
    // The loopback interface shows each frame once leaving and once
    // arriving; a bypassed frame is passed on unseen.
    if (from.sll_pkttype == PACKET_OUTGOING && m_bLoopback) {
        return false;
    }
    const uint32_t captured = wire < recordRoom() ? wire : recordRoom();
    if (m_Bypass.matches(recordData(), captured)) {
        ++m_Statistics.m_qwPassed;
        return false;
    }
    return true;
}

void TapAdapter::collectKernelDrops() {
    tpacket_stats counts{};
    socklen_t length = sizeof counts;
    // Reading the counters resets them, so they are added up here.
    if (::getsockopt(m_nRxFd, SOL_PACKET, PACKET_STATISTICS, &counts, &length) == 0) {
        m_Statistics.m_qwKernelDropped += counts.tp_drops;
    }
}

void TapAdapter::statistics(rp::PacketStatistics& out) {
    if (m_nRxFd >= 0) {
        collectKernelDrops();
    }
    out = m_Statistics;
}

uint32_t TapAdapter::read(uint32_t timeoutMs, void** record) {
    if (record == nullptr) {
        return kInvalidParameter;
    }
    *record = nullptr;
    if (m_nRxFd < 0) {
        return kNotOpen;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        // A wake ends the wait at once, frames waiting or not: the reader
        // is to stop, and whatever waits stays for its next read.
        pollfd wait[2] = {{wakeDescriptor(), POLLIN, 0}, {m_nRxFd, POLLIN, 0}};
        int ready = ::poll(wait, 2, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return ready == 0 ? kNoFrame : failedRead(errno);
        }
        if ((wait[0].revents & POLLIN) != 0 && takeWake()) {
            return kNoFrame;
        }
        if (wait[1].revents == 0) {
            continue;
        }
        sockaddr_ll from{};
        iovec part{recordData(), recordRoom()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t wire = ::recvmsg(m_nRxFd, &message, MSG_TRUNC | MSG_DONTWAIT);
        if (wire < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            return failedRead(errno);
        }
        m_nReadError = 0;
        bool outgoing = from.sll_pkttype == PACKET_OUTGOING;
        uint32_t captured = static_cast<uint32_t>(wire) < recordRoom() ? static_cast<uint32_t>(wire) : recordRoom();
        if (!isForReader(from, static_cast<uint32_t>(wire))) {
            // A flood of frames the reader never sees ends the read at its
            // time-out all the same, so the reader still gets its turn (to
            // stop, to do its housekeeping).
            if (std::chrono::steady_clock::now() >= deadline) {
                return kNoFrame;
            }
            continue;
        }
        timeval stamp{};
        for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr; item = CMSG_NXTHDR(&message, item)) {
            if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SO_TIMESTAMP) {
                std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
            }
        }
        if (stamp.tv_sec == 0) {
            ::gettimeofday(&stamp, nullptr);
        }
        fillHeader(outgoing ? static_cast<uint32_t>(rp::kRecordFlagSentByHost) : 0u, captured, static_cast<uint32_t>(wire),
                   static_cast<uint32_t>(stamp.tv_sec), static_cast<uint32_t>(stamp.tv_usec));
        ++m_Statistics.m_qwReceived;
        m_bRecordOut = true;
        *record = m_Record.data();
        return 0;
    }
}

uint32_t TapAdapter::failedRead(int error) {
    // Each new failure is told once, so the reader hears that capture
    // stopped (an interface taken down) without a word per read.
    if (error == m_nReadError) {
        return kSystemError;
    }
    m_nReadError = error;
    notice("interface " + m_Facts.m_strInterface + " cannot be read: " + std::strerror(error));
    return kAdapterNotice;
}

uint32_t TapAdapter::free(void* record, uint32_t direction) {
    if (!ownsRecord(record)) {
        return kInvalidParameter;
    }
    m_bRecordOut = false;
    if (direction == rp::kFreeDrop) {
        ++m_Statistics.m_qwBlocked;
    } else {
        ++m_Statistics.m_qwPassed;
    }
    return 0;
}

uint32_t TapAdapter::txOpen() {
    if (m_nTxFd >= 0) {
        return kTransmitOpen;
    }
    // Protocol 0: this socket only sends.
    m_nTxFd = openSocket(0);
    return m_nTxFd >= 0 ? 0 : kSystemError;
}

uint32_t TapAdapter::txClose() {
    if (m_nTxFd >= 0) {
        ::close(m_nTxFd);
        m_nTxFd = -1;
    }
    return 0;
}

uint32_t TapAdapter::transmit(const void* data, uint32_t length) {
    if (m_nTxFd < 0) {
        return kNotOpen;
    }
    if (data == nullptr || length < 14) {
        return kInvalidParameter;
    }
    if (::send(m_nTxFd, data, length, 0) != static_cast<ssize_t>(length)) {
        return kSystemError;
    }
    ++m_Statistics.m_qwSent;
    return 0;
}

uint32_t TapAdapter::injectReceive(const void*, uint32_t) {
    // A tap sits beside the stack, not in front of it.
    return kNotSupported;
}

}  // namespace shim
