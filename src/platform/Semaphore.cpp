#include "platform/Semaphore.h"

#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/LastError.h"
#include "platform/Process.h"

namespace plat {

namespace {

constexpr uint32_t kCoreMagic = 0x48575331;  // "HWS1"
constexpr int kMaxHolders = 64;

// How often a waiter on a shared semaphore looks for holders that died.
constexpr std::chrono::milliseconds kHolderCheckPeriod{100};

// A process, told apart from a later one that reuses its id by its start
// time.
struct ProcessIdentity {
    int32_t pid = 0;
    uint64_t startTime = 0;
};

}  // namespace

struct SemaphoreCore {
    struct Holder {
        int32_t pid;
        uint32_t units;
        uint64_t startTime;
    };

    uint32_t magic;
    uint32_t size;
    pthread_mutex_t lock;
    uint32_t sequence;  // futex word: changes at every release
    int32_t count;
    int32_t maximum;
    uint32_t shared;
    Holder holders[kMaxHolders];
};

namespace {

ProcessIdentity Self() {
    static thread_local ProcessIdentity cached;
    int32_t pid = static_cast<int32_t>(getpid());
    if (cached.pid != pid) {  // first use, or a forked child
        char state;
        cached.pid = pid;
        cached.startTime = 0;
        ReadProcessStart(pid, state, cached.startTime);
    }
    return cached;
}

bool ProcessAlive(const SemaphoreCore::Holder& holder) {
    if (kill(holder.pid, 0) != 0 && errno == ESRCH) {
        return false;
    }
    char state;
    uint64_t startTime;
    if (!ReadProcessStart(holder.pid, state, startTime)) {
        return kill(holder.pid, 0) == 0 || errno != ESRCH;
    }
    // A crashed child that its parent has not reaped yet is a zombie.
    return state != 'Z' && state != 'X' && startTime == holder.startTime;
}

SemaphoreCore::Holder* FindHolder(SemaphoreCore& core, const ProcessIdentity& self, bool add) {
    SemaphoreCore::Holder* free = nullptr;
    for (auto& holder : core.holders) {
        if (holder.pid == self.pid && holder.startTime == self.startTime) {
            return &holder;
        }
        if (holder.pid == 0 && free == nullptr) {
            free = &holder;
        }
    }
    if (add && free != nullptr) {
        *free = {self.pid, 0, self.startTime};
        return free;
    }
    // A full table leaves this holder untracked: its units are then not
    // given back should it die.
    return nullptr;
}

void ReclaimDeadHolders(SemaphoreCore& core) {
    for (auto& holder : core.holders) {
        if (holder.pid == 0 || ProcessAlive(holder)) {
            continue;
        }
        int64_t count = static_cast<int64_t>(core.count) + holder.units;
        core.count = static_cast<int32_t>(std::min<int64_t>(count, core.maximum));
        holder = {};
        ++core.sequence;
    }
}

bool InitialiseCore(SemaphoreCore& core, int32_t initial, int32_t maximum, bool shared) {
    std::memset(&core, 0, sizeof core);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
    // A process that dies inside the few instructions under this lock must
    // not leave it held.
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(&core.lock, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        SetLastErrorFromErrno(rc);
        return false;
    }
    core.count = initial;
    core.maximum = maximum;
    core.shared = shared ? 1 : 0;
    core.size = sizeof core;
    core.magic = kCoreMagic;
    return true;
}

void FutexWait(uint32_t* word, uint32_t expected, std::chrono::steady_clock::time_point deadline) {
    struct timespec relative;
    const struct timespec* timeout = nullptr;
    if (deadline != std::chrono::steady_clock::time_point::max()) {
        auto left = std::max(deadline - std::chrono::steady_clock::now(),
                             std::chrono::steady_clock::duration::zero());
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        relative.tv_sec = seconds.count();
        relative.tv_nsec =
            std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count();
        timeout = &relative;
    }
    // Not the private variant: the word may lie in memory another process maps.
    syscall(SYS_futex, word, FUTEX_WAIT, expected, timeout, nullptr, 0);
}

void FutexWakeAll(uint32_t* word) {
    syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

Semaphore::Semaphore() = default;

Semaphore::~Semaphore() {
    Close();
}

bool Semaphore::Open(const std::string& name, int32_t initial, int32_t maximum,
                     int32_t shareGroup) {
    Close();
    if (maximum < 1 || initial < 0 || initial > maximum) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    if (name.empty()) {
        m_private = std::make_unique<SemaphoreCore>();
        if (!InitialiseCore(*m_private, initial, maximum, false)) {
            m_private.reset();
            return false;
        }
        m_core = m_private.get();
        SetLastError(kErrSuccess);
        return true;
    }
    auto layOut = [&](int fd) {
        if (ftruncate(fd, sizeof(SemaphoreCore)) != 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        void* view =
            mmap(nullptr, sizeof(SemaphoreCore), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        bool done = InitialiseCore(*static_cast<SemaphoreCore*>(view), initial, maximum, true);
        munmap(view, sizeof(SemaphoreCore));
        return done;
    };
    return m_object.Open(name, true, layOut, shareGroup) && MapCore();
}

bool Semaphore::OpenExisting(const std::string& name) {
    Close();
    if (name.empty()) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    return m_object.Open(name, false, [](int) { return false; }) && MapCore();
}

bool Semaphore::MapCore() {
    uint32_t openResult = GetLastError();
    struct stat info;
    void* view = MAP_FAILED;
    if (fstat(m_object.Fd(), &info) == 0 && info.st_size == sizeof(SemaphoreCore)) {
        view = mmap(nullptr, sizeof(SemaphoreCore), PROT_READ | PROT_WRITE, MAP_SHARED,
                    m_object.Fd(), 0);
    }
    auto* core = static_cast<SemaphoreCore*>(view);
    if (view == MAP_FAILED || core->magic != kCoreMagic || core->size != sizeof(SemaphoreCore)) {
        // The name belongs to an object of another kind.
        if (view != MAP_FAILED)
            munmap(view, sizeof(SemaphoreCore));
        m_object.Close();
        SetLastError(kErrInvalidHandle);
        return false;
    }
    m_core = core;
    SetLastError(openResult);
    return true;
}

void Semaphore::Close() {
    if (m_core != nullptr && m_private == nullptr) {
        munmap(m_core, sizeof(SemaphoreCore));
    }
    if (m_private != nullptr) {
        pthread_mutex_destroy(&m_private->lock);
        m_private.reset();
    }
    m_core = nullptr;
    m_object.Close();
}

bool Semaphore::LockCore() {
    int rc = pthread_mutex_lock(&m_core->lock);
    if (rc == EOWNERDEAD) {
        // The dead process's unit accounting is repaired by the reclaim.
        pthread_mutex_consistent(&m_core->lock);
        rc = 0;
    }
    if (rc != 0) {
        SetLastErrorFromErrno(rc);
        return false;
    }
    return true;
}

void Semaphore::UnlockCore() {
    pthread_mutex_unlock(&m_core->lock);
}

WaitResult Semaphore::Wait(uint32_t ms) {
    if (m_core == nullptr) {
        SetLastError(kErrInvalidHandle);
        return kWaitFailed;
    }
    const bool shared = m_core->shared != 0;
    const auto deadline = DeadlineAfter(ms);
    // Holders are looked for among the dead once a wait has lasted a check
    // period, or before it gives up: a holder that is busy gives its unit
    // back long before, and the look reads every holder's process status
    // under the lock that its release needs.
    auto nextHolderCheck = std::chrono::steady_clock::now() + kHolderCheckPeriod;
    for (;;) {
        if (!LockCore()) {
            return kWaitFailed;
        }
        const auto checked = std::chrono::steady_clock::now();
        if (m_core->count == 0 && shared && (checked >= nextHolderCheck || checked >= deadline)) {
            ReclaimDeadHolders(*m_core);
            nextHolderCheck = checked + kHolderCheckPeriod;
        }
        if (m_core->count > 0) {
            --m_core->count;
            if (shared) {
                SemaphoreCore::Holder* holder = FindHolder(*m_core, Self(), true);
                if (holder != nullptr)
                    ++holder->units;
            }
            UnlockCore();
            return kWaitSignalled;
        }
        uint32_t sequence = m_core->sequence;
        UnlockCore();
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return kWaitTimeout;
        }
        auto wakeAt = deadline;
        if (shared && deadline - now > kHolderCheckPeriod) {
            wakeAt = now + kHolderCheckPeriod;
        }
        FutexWait(&m_core->sequence, sequence, wakeAt);
    }
}

bool Semaphore::Release(int32_t count, int32_t* previous) {
    if (m_core == nullptr) {
        SetLastError(kErrInvalidHandle);
        return false;
    }
    if (count < 1) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    if (!LockCore()) {
        return false;
    }
    if (m_core->count > m_core->maximum - count) {
        UnlockCore();
        SetLastError(kErrTooManyPosts);
        return false;
    }
    if (previous != nullptr) {
        *previous = m_core->count;
    }
    m_core->count += count;
    if (m_core->shared != 0) {
        SemaphoreCore::Holder* holder = FindHolder(*m_core, Self(), false);
        if (holder != nullptr) {
            holder->units -= std::min(holder->units, static_cast<uint32_t>(count));
            if (holder->units == 0)
                *holder = {};
        }
    }
    ++m_core->sequence;
    UnlockCore();
    FutexWakeAll(&m_core->sequence);
    return true;
}

}  // namespace plat
