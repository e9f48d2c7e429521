#include "LinkWatcher.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace shim {
namespace {

struct WatchState {
    std::mutex m_Lock;
    std::atomic<rp::PacketNotifyFn> m_pfnRoutine{nullptr};
    std::thread m_Thread;
    int m_nStop = -1;
};

WatchState& State() {
    static WatchState* state = new WatchState();
    return *state;
}

int OpenLinkSocket() {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return -1;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when the pending messages announced a link appearing, changing or going.
bool DrainLinkMessages(int fd) {
    alignas(nlmsghdr) char buffer[8192];
    bool changed = false;
    for (;;) {
        ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) {
            return changed;
        }
        size_t left = static_cast<size_t>(got);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, left);
             message = NLMSG_NEXT(message, left)) {
            changed = changed || message->nlmsg_type == RTM_NEWLINK || message->nlmsg_type == RTM_DELLINK;
        }
    }
}

void Watch(int links, int stop) {
    pollfd waits[2] = {{links, POLLIN, 0}, {stop, POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) < 0) {
            continue;
        }
        if (waits[1].revents != 0) {
            break;
        }
        if (DrainLinkMessages(links)) {
            if (rp::PacketNotifyFn routine = State().m_pfnRoutine.load()) {
                routine();
            }
        }
    }
    ::close(links);
}

void StopWatch(WatchState& state) {
    if (!state.m_Thread.joinable()) {
        return;
    }
    uint64_t one = 1;
    ssize_t written = ::write(state.m_nStop, &one, sizeof one);
    (void)written;
    if (state.m_Thread.get_id() == std::this_thread::get_id()) {
        // Ended from inside the routine: the thread leaves on its own.
        state.m_Thread.detach();
    } else {
        state.m_Thread.join();
        ::close(state.m_nStop);
    }
    state.m_nStop = -1;
}

}  // namespace

void SetLinkRoutine(rp::PacketNotifyFn routine) {
    WatchState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    state.m_pfnRoutine = routine;
    if (routine == nullptr) {
        StopWatch(state);
        return;
    }
    if (state.m_Thread.joinable()) {
        return;
    }
    int links = OpenLinkSocket();
    int stop = ::eventfd(0, EFD_CLOEXEC);
    if (links < 0 || stop < 0) {
        if (links >= 0) {
            ::close(links);
        }
        if (stop >= 0) {
            ::close(stop);
        }
        return;
    }
    state.m_nStop = stop;
    state.m_Thread = std::thread(Watch, links, stop);
}

}  // namespace shim
