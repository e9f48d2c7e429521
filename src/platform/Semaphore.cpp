#include "platform/Semaphore.h"

#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/LastError.h"
#include "platform/Process.h"
#include "platform/SemaphoreCore.h"

namespace plat {

namespace {

using SteadyClock = std::chrono::steady_clock;

// How often a waiter looks whether the holder of units, or of the counts'
// lock, has died.
constexpr std::chrono::milliseconds kHolderCheckPeriod{100};

// Tries of the counts' lock before a waiter looks at its holder and
// sleeps: a live holder keeps it for a few instructions.
constexpr int kLockSpins = 64;

// Semaphores closed with units still owed are remembered up to this many.
constexpr size_t kMaxOwedObjects = 64;

// A process, told apart from a later one that reuses its id by its start
// time.
struct ProcessIdentity {
    int32_t pid = 0;
    uint64_t startTime = 0;
};

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
    // An id no process can have was written by someone else.
    if (holder.pid <= 0) {
        return false;
    }
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

// Whether the process that the counts' lock names has ended; a zombie has.
// This process's own id names another of its threads, which lives.
bool LockHolderGone(uint32_t pid) {
    if (static_cast<int32_t>(pid) == Self().pid) {
        return false;
    }
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        return true;
    }
    char state;
    uint64_t startTime;
    return ReadProcessStart(static_cast<pid_t>(pid), state, startTime) && (state == 'Z' || state == 'X');
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

// The units free, whatever another process wrote there.
int64_t FreeUnits(const SemaphoreCore& core) {
    return std::max<int32_t>(core.count, 0);
}

void NextSequence(SemaphoreCore& core) {
    std::atomic_ref<uint32_t>(core.sequence).fetch_add(1);
}

// True when units came back.
bool ReclaimDeadHolders(SemaphoreCore& core, int32_t maximum) {
    bool reclaimed = false;
    for (auto& holder : core.holders) {
        if (holder.pid == 0 || ProcessAlive(holder)) {
            continue;
        }
        const int64_t count = FreeUnits(core) + holder.units;
        core.count = static_cast<int32_t>(std::min<int64_t>(count, maximum));
        holder = {};
        NextSequence(core);
        reclaimed = true;
    }
    return reclaimed;
}

void InitialiseCore(SemaphoreCore& core, int32_t initial, int32_t maximum, bool shared) {
    std::memset(&core, 0, sizeof core);
    core.count = initial;
    core.maximum = maximum;
    core.shared = shared ? 1 : 0;
    core.size = sizeof core;
    core.magic = kSemaphoreCoreMagic;
}

// Makes the object on `fd` one empty core long and lays it out.
bool LayOutCore(int fd, int32_t initial, int32_t maximum) {
    if (ftruncate(fd, sizeof(SemaphoreCore)) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    void* view = mmap(nullptr, sizeof(SemaphoreCore), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    InitialiseCore(*static_cast<SemaphoreCore*>(view), initial, maximum, true);
    munmap(view, sizeof(SemaphoreCore));
    return true;
}

void FutexWait(uint32_t* word, uint32_t expected, SteadyClock::time_point deadline) {
    struct timespec relative;
    const struct timespec* timeout = nullptr;
    if (deadline != SteadyClock::time_point::max()) {
        auto left = std::max(deadline - SteadyClock::now(), SteadyClock::duration::zero());
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

// Units a closed semaphore still owed, by the identity of its object, for
// the next opening of the same one in this process.  Never destroyed: a
// semaphore may be closed while the process exits.
struct OwedUnits {
    std::mutex lock;
    std::map<std::pair<dev_t, ino_t>, int32_t> units;
};

OwedUnits& Owed() {
    static OwedUnits* owed = new OwedUnits;
    return *owed;
}

void KeepOwed(dev_t device, ino_t inode, int32_t units) {
    OwedUnits& owed = Owed();
    std::lock_guard<std::mutex> guard(owed.lock);
    if (owed.units.size() >= kMaxOwedObjects && owed.units.count({device, inode}) == 0) {
        owed.units.erase(owed.units.begin());
    }
    int64_t total = static_cast<int64_t>(owed.units[{device, inode}]) + units;
    owed.units[{device, inode}] = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
}

int32_t TakeOwed(dev_t device, ino_t inode) {
    OwedUnits& owed = Owed();
    std::lock_guard<std::mutex> guard(owed.lock);
    auto found = owed.units.find({device, inode});
    if (found == owed.units.end()) {
        return 0;
    }
    const int32_t units = found->second;
    owed.units.erase(found);
    return units;
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
        InitialiseCore(*m_private, initial, maximum, false);
        m_core = m_private.get();
        m_maximum = maximum;
        SetLastError(kErrSuccess);
        return true;
    }
    m_layoutInitial = initial;
    m_layoutMaximum = maximum;
    auto layOut = [&](int fd) { return LayOutCore(fd, initial, maximum); };
    if (!m_object.Open(name, true, layOut, shareGroup)) {
        return false;
    }
    const uint32_t openResult = GetLastError();
    if (!RestoreCutCore()) {
        m_object.Close();
        return false;
    }
    SetLastError(openResult);
    return MapCore();
}

bool Semaphore::RestoreCutCore(bool bCutUnder) {
    struct stat info;
    if (fstat(m_object.Fd(), &info) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    // Only its maker knows the counts to lay it out with; a core of the
    // right size whatever it holds is data, as ever (see Wait).  One cut
    // under this process lost its counts whatever length it was given
    // back since (a cut to nothing and a new length at once, say).
    if (m_layoutMaximum < 1 || info.st_uid != geteuid() ||
        (!bCutUnder && info.st_size >= static_cast<off_t>(sizeof(SemaphoreCore)))) {
        return true;
    }
    return LayOutCore(m_object.Fd(), m_layoutInitial, m_layoutMaximum);
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
    if (view == MAP_FAILED || core->magic != kSemaphoreCoreMagic ||
        core->size != sizeof(SemaphoreCore) || core->maximum < 1) {
        // The name belongs to an object of another kind.
        if (view != MAP_FAILED)
            munmap(view, sizeof(SemaphoreCore));
        m_object.Close();
        SetLastError(kErrInvalidHandle);
        return false;
    }
    // Its group may cut it short under this process.
    if (WritableByOthers(m_object.Fd()) &&
        !m_guard.Guard(view, sizeof(SemaphoreCore), PROT_READ | PROT_WRITE)) {
        munmap(view, sizeof(SemaphoreCore));
        m_object.Close();
        return false;
    }
    m_core = core;
    m_maximum = core->maximum;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    m_owed += TakeOwed(m_device, m_inode);
    SetLastError(openResult);
    return true;
}

void Semaphore::UnmapCore() {
    if (m_core != nullptr && Shared()) {
        // Before the range goes, so no repair maps over what comes there.
        m_guard.Release();
        munmap(m_core, sizeof(SemaphoreCore));
    }
    m_core = nullptr;
}

bool Semaphore::Remap() {
    if (m_core == nullptr || !Shared()) {
        SetLastError(kErrInvalidHandle);
        return false;
    }
    UnmapCore();
    // The cut took the counts, and what this process owed with them.
    m_owed = 0;
    if (!RestoreCutCore(true) || !MapCore()) {
        const uint32_t error = GetLastError();
        Close();
        SetLastError(error);
        return false;
    }
    return true;
}

void Semaphore::Close() {
    // A cut core holds no counts to give back to.
    if (m_core != nullptr && m_owed > 0 && !Cut()) {
        if (LockCore(DeadlineAfter(kReleaseWaitMs))) {
            const bool paid = PayOwed();
            UnlockCore();
            if (paid)
                FutexWakeAll(&m_core->sequence);
        } else if (Shared()) {
            KeepOwed(m_device, m_inode, m_owed.exchange(0));
        }
    }
    UnmapCore();
    m_private.reset();
    m_maximum = 0;
    m_layoutInitial = 0;
    m_layoutMaximum = 0;
    m_owed = 0;
    m_object.Close();
}

bool Semaphore::CutUnder() const {
    if (!Cut()) {
        return false;
    }
    SetLastError(kErrHandleEof);
    return true;
}

bool Semaphore::LockCore(SteadyClock::time_point deadline) {
    std::atomic_ref<uint32_t> word(m_core->lock);
    const uint32_t self = static_cast<uint32_t>(Self().pid);
    // The holder is looked at once the spins are spent, then at every
    // check period.
    auto nextCheck = SteadyClock::time_point::min();
    int spins = 0;
    for (;;) {
        uint32_t seen = word.load();
        const uint32_t holder = seen & kCoreLockHolderMask;
        if (holder == 0) {
            if (word.compare_exchange_weak(seen, self | (seen & kCoreLockWaiters))) {
                return true;
            }
            continue;
        }
        if (spins < kLockSpins) {
            ++spins;
            sched_yield();
            continue;
        }
        const auto now = SteadyClock::now();
        if (now >= nextCheck) {
            if (LockHolderGone(holder)) {
                // Left by a process that died in it: taken over.  The
                // counts it was changing are put right by the reclaim of
                // its units.
                if (word.compare_exchange_strong(seen, self | (seen & kCoreLockWaiters))) {
                    return true;
                }
                continue;
            }
            nextCheck = now + kHolderCheckPeriod;
        }
        if (now >= deadline) {
            SetLastError(kErrWaitTimeout);
            return false;
        }
        // Marked, so that the holder's release wakes this waiter.
        if ((seen & kCoreLockWaiters) == 0 &&
            !word.compare_exchange_strong(seen, seen | kCoreLockWaiters)) {
            continue;
        }
        FutexWait(&m_core->lock, seen | kCoreLockWaiters, std::min(deadline, nextCheck));
    }
}

void Semaphore::UnlockCore() {
    std::atomic_ref<uint32_t> word(m_core->lock);
    const uint32_t self = static_cast<uint32_t>(Self().pid);
    uint32_t seen = word.load();
    // A word that names another process was written over, or taken over
    // by a waiter that found this process gone: not this process's to free.
    while ((seen & kCoreLockHolderMask) == self) {
        if (word.compare_exchange_weak(seen, 0)) {
            if ((seen & kCoreLockWaiters) != 0) {
                FutexWakeAll(&m_core->lock);
            }
            return;
        }
    }
}

bool Semaphore::AddUnits(int32_t count, int32_t* previous) {
    const int64_t current = FreeUnits(*m_core);
    if (current + count > m_maximum) {
        SetLastError(kErrTooManyPosts);
        return false;
    }
    if (previous != nullptr) {
        *previous = static_cast<int32_t>(current);
    }
    m_core->count = static_cast<int32_t>(current + count);
    if (Shared()) {
        SemaphoreCore::Holder* holder = FindHolder(*m_core, Self(), false);
        if (holder != nullptr) {
            holder->units -= std::min(holder->units, static_cast<uint32_t>(count));
            if (holder->units == 0)
                *holder = {};
        }
    }
    NextSequence(*m_core);
    return true;
}

bool Semaphore::PayOwed() {
    const int32_t owed = m_owed.exchange(0);
    if (owed <= 0) {
        return false;
    }
    // What would pass the maximum was given back by someone already.
    const int64_t room = m_maximum - FreeUnits(*m_core);
    return room > 0 && AddUnits(static_cast<int32_t>(std::min<int64_t>(owed, room)), nullptr);
}

WaitResult Semaphore::Wait(uint32_t ms) {
    if (m_core == nullptr) {
        SetLastError(kErrInvalidHandle);
        return kWaitFailed;
    }
    const bool shared = Shared();
    const auto deadline = DeadlineAfter(ms);
    // Holders are looked for among the dead once a wait has lasted a check
    // period, or before it gives up: a holder that is busy gives its unit
    // back long before, and the look reads every holder's process status
    // under the lock that its release needs.
    auto nextHolderCheck = SteadyClock::now() + kHolderCheckPeriod;
    for (;;) {
        // Cut short under this wait: what it reads now is zeros, no count.
        if (CutUnder()) {
            return kWaitFailed;
        }
        if (!LockCore(deadline)) {
            return CutUnder() ? kWaitFailed : kWaitTimeout;
        }
        if (CutUnder()) {
            return kWaitFailed;
        }
        bool wake = PayOwed();
        const auto checked = SteadyClock::now();
        if (FreeUnits(*m_core) == 0 && shared &&
            (checked >= nextHolderCheck || checked >= deadline)) {
            wake = ReclaimDeadHolders(*m_core, m_maximum) || wake;
            nextHolderCheck = checked + kHolderCheckPeriod;
        }
        if (FreeUnits(*m_core) > 0) {
            m_core->count = static_cast<int32_t>(FreeUnits(*m_core) - 1);
            if (shared) {
                SemaphoreCore::Holder* holder = FindHolder(*m_core, Self(), true);
                if (holder != nullptr)
                    ++holder->units;
            }
            UnlockCore();
            if (wake)
                FutexWakeAll(&m_core->sequence);
            return kWaitSignalled;
        }
        const uint32_t sequence = std::atomic_ref<uint32_t>(m_core->sequence).load();
        UnlockCore();
        if (wake)
            FutexWakeAll(&m_core->sequence);
        auto now = SteadyClock::now();
        if (now >= deadline) {
            SetLastError(kErrWaitTimeout);
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
    if (CutUnder()) {
        return false;
    }
    if (!LockCore(DeadlineAfter(kReleaseWaitMs))) {
        if (CutUnder()) {
            return false;
        }
        int32_t owed = m_owed.load();
        while (!m_owed.compare_exchange_weak(
            owed, static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(owed) + count, m_maximum)))) {
        }
        SetLastError(kErrWaitTimeout);
        return false;
    }
    if (CutUnder()) {
        return false;
    }
    PayOwed();
    const bool added = AddUnits(count, previous);
    UnlockCore();
    FutexWakeAll(&m_core->sequence);
    return added;
}

}  // namespace plat
