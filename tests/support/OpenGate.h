#pragma once
// Holds a process at the moment it opens one file, for as long as a test
// likes: the first open of the file `name` in `folder` waits until
// Release(), while every other open there goes through at once.  The file
// stays a regular file (a FIFO would hold its reader too, but no reader of
// the sensor's files opens a FIFO).  Needs root (fanotify's permission
// events).

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace hwtest {

class OpenGate {
public:
    OpenGate(const std::string& folder, const std::string& name);
    // Lets every held open go on.
    ~OpenGate();
    OpenGate(const OpenGate&) = delete;
    OpenGate& operator=(const OpenGate&) = delete;

    bool IsReady() const { return m_nGroup >= 0; }
    // Waits until an open of the file is held; false when none came in time.
    bool WaitHeld(double seconds);
    // Lets the held open (and any later one) go on.
    void Release();

private:
    void Run();
    void Answer(int fd, bool allow);

    std::string m_strName;
    int m_nGroup = -1;
    int m_nWake = -1;
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_nHeld = -1;        // the event descriptor of the held open
    bool m_bHeldOnce = false;
    bool m_bReleased = false;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

}  // namespace hwtest
