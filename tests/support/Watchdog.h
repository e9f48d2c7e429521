#pragma once
// For tests whose fault would be an endless loop: a scope that must end
// within a limit.  When it has not, the test program is ended with a line
// saying what did not finish, so the fault fails the test within seconds
// instead of holding the run until CTest gives up on it.  The limit is
// generous: it is there to catch a loop, not to time the code.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace hwtest {

class Watchdog {
public:
    Watchdog(std::string what, std::chrono::seconds limit) : m_what(std::move(what)) {
        m_thread = std::thread([this, limit] {
            std::unique_lock<std::mutex> lock(m_lock);
            if (!m_done.wait_for(lock, limit, [this] { return m_finished; })) {
                std::fprintf(stderr, "watchdog: %s did not finish within %lld s\n", m_what.c_str(),
                             static_cast<long long>(limit.count()));
                std::fflush(stderr);
                std::_Exit(1);
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_finished = true;
        }
        m_done.notify_one();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string m_what;
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

}  // namespace hwtest
