#include "platform/ChangeEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/LastError.h"

namespace plat {

namespace {

constexpr uint32_t kWatchMask = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

void DrainDescriptor(int fd) {
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

int PollMs(uint32_t ms, std::chrono::steady_clock::time_point deadline) {
    if (ms == kInfinite) {
        return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ChangeEvent::ChangeEvent() : m_hSignal(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ChangeEvent::~ChangeEvent() {
    if (m_hWatch >= 0) {
        ::close(m_hWatch);
    }
    if (m_hSignal >= 0) {
        ::close(m_hSignal);
    }
}

void ChangeEvent::Set() {
    if (m_hSignal >= 0) {
        const uint64_t one = 1;
        ssize_t n = ::write(m_hSignal, &one, sizeof one);
        (void)n;  // only fails when the counter is already huge: still signalled
    }
}

uint32_t ChangeEvent::WatchFile(const std::string& path) {
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0) {
        return MapErrno(errno);
    }
    if (::inotify_add_watch(watch, path.c_str(), kWatchMask) < 0) {
        uint32_t error = MapErrno(errno);
        ::close(watch);
        return error;
    }
    if (m_hWatch >= 0) {
        ::close(m_hWatch);
    }
    m_hWatch = watch;
    return kErrSuccess;
}

void ChangeEvent::Drain() {
    if (m_hSignal >= 0) {
        DrainDescriptor(m_hSignal);
    }
    if (m_hWatch >= 0) {
        DrainDescriptor(m_hWatch);
    }
}

WaitResult ChangeEvent::Wait(uint32_t ms) {
    ChangeEvent* self = this;
    return WaitAny(&self, 1, ms) == 0 ? kWaitSignalled : kWaitTimeout;
}

int ChangeEvent::WaitAny(ChangeEvent* const* events, size_t count, uint32_t ms) {
    const auto deadline = DeadlineAfter(ms);
    std::vector<pollfd> fds;
    std::vector<int> owners;
    for (size_t i = 0; i < count; ++i) {
        ChangeEvent* event = events[i];
        if (event == nullptr || !event->IsValid()) {
            continue;
        }
        for (int fd : {event->m_hSignal, event->m_hWatch}) {
            if (fd >= 0) {
                fds.push_back(pollfd{fd, POLLIN, 0});
                owners.push_back(static_cast<int>(i));
            }
        }
    }
    if (fds.empty()) {
        if (ms != kInfinite) {
            std::this_thread::sleep_until(deadline);
        }
        return -1;
    }
    for (;;) {
        int ready = ::poll(fds.data(), fds.size(), PollMs(ms, deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return -1;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents != 0) {
                events[owners[i]]->Drain();
                return owners[i];
            }
        }
    }
}

}  // namespace plat
