#include "support/OpenGate.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace hwtest {

OpenGate::OpenGate(const std::string& folder, const std::string& name) : m_strName(name) {
    m_nGroup = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    m_nWake = ::eventfd(0, EFD_CLOEXEC);
    if (m_nGroup >= 0 && (m_nWake < 0 || ::fanotify_mark(m_nGroup, FAN_MARK_ADD,
                                                         FAN_OPEN_PERM | FAN_EVENT_ON_CHILD,
                                                         AT_FDCWD, folder.c_str()) != 0)) {
        ::close(m_nGroup);
        m_nGroup = -1;
    }
    if (m_nGroup >= 0) {
        m_thread = std::thread([this] { Run(); });
    }
}

OpenGate::~OpenGate() {
    Release();
    m_bStop = true;
    if (m_nWake >= 0) {
        const uint64_t one = 1;
        (void)!::write(m_nWake, &one, sizeof one);
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    // Closing the group lets anything still waiting on it go on.
    if (m_nGroup >= 0) {
        ::close(m_nGroup);
    }
    if (m_nWake >= 0) {
        ::close(m_nWake);
    }
}

bool OpenGate::WaitHeld(double seconds) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::duration<double>(seconds),
                              [&] { return m_bHeldOnce; });
}

void OpenGate::Release() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bReleased = true;
    if (m_nHeld >= 0) {
        Answer(m_nHeld, true);
        m_nHeld = -1;
    }
}

void OpenGate::Answer(int fd, bool allow) {
    fanotify_response response{};
    response.fd = fd;
    response.response = allow ? FAN_ALLOW : FAN_DENY;
    (void)!::write(m_nGroup, &response, sizeof response);
    ::close(fd);
}

void OpenGate::Run() {
    alignas(fanotify_event_metadata) char buffer[8192];
    while (!m_bStop) {
        pollfd waits[2] = {{m_nGroup, POLLIN, 0}, {m_nWake, POLLIN, 0}};
        if (::poll(waits, 2, -1) <= 0 || (waits[1].revents & POLLIN) != 0) {
            continue;
        }
        const ssize_t got = ::read(m_nGroup, buffer, sizeof buffer);
        auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
        for (ssize_t left = got; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
            if (event->fd < 0) {
                continue;
            }
            char path[PATH_MAX] = {};
            const std::string link = "/proc/self/fd/" + std::to_string(event->fd);
            const ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
            const std::string opened(path, length > 0 ? static_cast<size_t>(length) : 0);
            const bool isIt = opened.size() > m_strName.size() &&
                              opened.compare(opened.size() - m_strName.size() - 1, std::string::npos,
                                             "/" + m_strName) == 0;
            std::lock_guard<std::mutex> guard(m_lock);
            if (isIt && !m_bHeldOnce && !m_bReleased) {
                m_nHeld = event->fd;
                m_bHeldOnce = true;
                m_changed.notify_all();
            } else {
                Answer(event->fd, true);
            }
        }
    }
}

}  // namespace hwtest
