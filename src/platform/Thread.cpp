#include "platform/Thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cxxabi.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "platform/FaultTrap.h"
#include "platform/LastError.h"

namespace plat {

struct ThreadControl {
    enum Phase { kParked, kRunning, kEnded };

    std::mutex lock;
    std::condition_variable changed;
    Phase phase = kParked;
    bool idKnown = false;
    bool resumed = false;
    bool leaveAtGate = false;
    std::atomic<bool> cancel{false};
    CancelWake* waitingOn = nullptr;
    uint32_t exitCode = kStillActive;
    pid_t id = 0;
    int priority = 0;
    pthread_t handle{};
    Thread::Routine routine = nullptr;
    void* argument = nullptr;
};

namespace {

thread_local ThreadControl* t_control = nullptr;

// The system's niceness for each priority step; lower niceness runs first.
int NiceFor(int priority) {
    if (priority <= -2)
        return 10;
    if (priority == -1)
        return 5;
    if (priority == 0)
        return 0;
    if (priority == 1)
        return -5;
    return -10;
}

bool ApplyPriority(pid_t id, int priority) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(id), NiceFor(priority)) == 0;
}

void Finish(ThreadControl& control, uint32_t exitCode) {
    std::lock_guard<std::mutex> guard(control.lock);
    control.exitCode = exitCode;
    control.phase = ThreadControl::kEnded;
    control.changed.notify_all();
}

// Parks at the gate; false when the thread must leave without running.
bool PassGate(ThreadControl& control) {
    std::unique_lock<std::mutex> guard(control.lock);
    control.id = static_cast<pid_t>(syscall(SYS_gettid));
    control.idKnown = true;
    control.changed.notify_all();
    control.changed.wait(guard, [&] { return control.resumed || control.leaveAtGate; });
    if (control.leaveAtGate) {
        return false;
    }
    control.phase = ThreadControl::kRunning;
    ApplyPriority(control.id, control.priority);
    return true;
}

void* Trampoline(void* raw) {
    std::shared_ptr<ThreadControl> control(
        std::move(*static_cast<std::shared_ptr<ThreadControl>*>(raw)));
    delete static_cast<std::shared_ptr<ThreadControl>*>(raw);
    if (!PassGate(*control)) {
        Finish(*control, kExitCodeStopped);
        return nullptr;
    }
    t_control = control.get();
    uint32_t exitCode = kExitCodeStopped;
    {
        // Lets a stack overflow in the routine be trapped like other faults.
        FaultStack faultStack;
        try {
            exitCode = control->routine(control->argument);
        } catch (const ThreadCancelled&) {
            exitCode = kExitCodeStopped;
        } catch (const abi::__forced_unwind&) {
            // pthread_exit or a system cancel inside the routine: the unwind
            // must go on, but waiters still learn that the thread ended.
            t_control = nullptr;
            Finish(*control, kExitCodeStopped);
            throw;
        }
    }
    t_control = nullptr;
    Finish(*control, exitCode);
    return nullptr;
}

}  // namespace

bool Thread::Create(Routine routine, void* argument) {
    if (m_control) {
        SetLastError(kErrBusy);
        return false;
    }
    auto control = std::make_shared<ThreadControl>();
    control->routine = routine;
    control->argument = argument;
    auto* handOver = new std::shared_ptr<ThreadControl>(control);
    int rc = pthread_create(&control->handle, nullptr, Trampoline, handOver);
    if (rc != 0) {
        delete handOver;
        SetLastErrorFromErrno(rc);
        return false;
    }
    std::unique_lock<std::mutex> guard(control->lock);
    control->changed.wait(guard, [&] { return control->idKnown; });
    guard.unlock();
    m_control = std::move(control);
    return true;
}

bool Thread::Resume() {
    if (!m_control) {
        SetLastError(kErrInvalidHandle);
        return false;
    }
    std::lock_guard<std::mutex> guard(m_control->lock);
    m_control->resumed = true;
    m_control->changed.notify_all();
    return true;
}

bool Thread::Cancel() {
    if (!m_control) {
        SetLastError(kErrInvalidHandle);
        return false;
    }
    std::lock_guard<std::mutex> guard(m_control->lock);
    switch (m_control->phase) {
        case ThreadControl::kParked:
            m_control->leaveAtGate = true;
            m_control->changed.notify_all();
            break;
        case ThreadControl::kRunning:
            m_control->cancel = true;
            if (m_control->waitingOn != nullptr) {
                m_control->waitingOn->WakeForCancel();
            }
            break;
        case ThreadControl::kEnded:
            break;
    }
    return true;
}

WaitResult Thread::Join(uint32_t ms) const {
    if (!m_control) {
        SetLastError(kErrInvalidHandle);
        return kWaitFailed;
    }
    std::unique_lock<std::mutex> guard(m_control->lock);
    auto ended = [&] { return m_control->phase == ThreadControl::kEnded; };
    if (ms == kInfinite) {
        m_control->changed.wait(guard, ended);
        return kWaitSignalled;
    }
    return m_control->changed.wait_until(guard, DeadlineAfter(ms), ended) ? kWaitSignalled
                                                                          : kWaitTimeout;
}

uint32_t Thread::ExitCode() const {
    if (!m_control) {
        return kExitCodeStopped;
    }
    std::lock_guard<std::mutex> guard(m_control->lock);
    return m_control->exitCode;
}

uint32_t Thread::Id() const {
    return m_control ? static_cast<uint32_t>(m_control->id) : 0;
}

bool Thread::IsCurrent() const {
    return m_control && m_control->id == static_cast<pid_t>(syscall(SYS_gettid));
}

bool Thread::SetPriority(int priority) {
    if (!m_control) {
        SetLastError(kErrInvalidHandle);
        return false;
    }
    std::lock_guard<std::mutex> guard(m_control->lock);
    m_control->priority = priority;
    if (m_control->phase != ThreadControl::kRunning) {
        return m_control->phase == ThreadControl::kParked;
    }
    if (!ApplyPriority(m_control->id, priority)) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

int Thread::Priority() const {
    if (!m_control) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(m_control->lock);
    return m_control->priority;
}

void Thread::Close() {
    if (!m_control) {
        return;
    }
    bool reap;
    {
        std::lock_guard<std::mutex> guard(m_control->lock);
        bool parked = m_control->phase == ThreadControl::kParked && !m_control->resumed;
        if (parked) {
            m_control->leaveAtGate = true;
            m_control->changed.notify_all();
        }
        // A parked thread leaves at once, so waiting for it is short; a
        // resumed one runs on, as closing a handle never stops a thread.
        reap = parked || m_control->phase == ThreadControl::kEnded;
    }
    if (reap && !IsCurrent()) {
        pthread_join(m_control->handle, nullptr);
    } else {
        pthread_detach(m_control->handle);
    }
    m_control.reset();
}

uint32_t Thread::CurrentId() {
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

bool CancelRequested() {
    ThreadControl* control = t_control;
    return control != nullptr && control->cancel.load();
}

void EnterCancellableWait(CancelWake* wake) {
    ThreadControl* control = t_control;
    if (control == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(control->lock);
    if (control->cancel) {
        throw ThreadCancelled{};
    }
    control->waitingOn = wake;
}

bool LeaveCancellableWait() {
    ThreadControl* control = t_control;
    if (control == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(control->lock);
    control->waitingOn = nullptr;
    return control->cancel;
}

}  // namespace plat
