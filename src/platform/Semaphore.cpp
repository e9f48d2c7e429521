#include "platform/Semaphore.h"

#include <linux/futex.h>
#include <pthread.h>
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

// Looks at the counts' lock this many times, a pause apart, before a
// waiter looks at its holder and sleeps: a live holder keeps it for a few
// instructions, and giving the processor up costs more than that.
constexpr int kLockSpins = 100;

// Semaphores closed with units still owed are remembered up to this many.
constexpr size_t kMaxOwedObjects = 64;

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// A process, told apart from a later one that reuses its id by its start
// time.
struct ProcessIdentity {
    int32_t pid = 0;
    uint64_t startTime = 0;
};

// This process's identity, read once: every lock and unlock of a core
// names it, and a system call each time would cost more than the lock.
// A child made by fork forgets it and reads its own.
struct SelfCache {
    std::atomic<int32_t> pid{0};
    std::atomic<uint64_t> startTime{0};
};

constinit SelfCache g_self;

void ForgetSelf() {
    g_self.pid.store(0, std::memory_order_relaxed);
}

ProcessIdentity LearnSelf() {
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, ForgetSelf); });
    ProcessIdentity self;
    self.pid = static_cast<int32_t>(getpid());
    char state;
    ReadProcessStart(self.pid, state, self.startTime);
    g_self.startTime.store(self.startTime, std::memory_order_relaxed);
    g_self.pid.store(self.pid, std::memory_order_release);
    return self;
}

ProcessIdentity Self() {
    const int32_t pid = g_self.pid.load(std::memory_order_acquire);
    if (pid == 0) {
        return LearnSelf();
    }
    return {pid, g_self.startTime.load(std::memory_order_relaxed)};
}

bool IsSelf(const SemaphoreCore::Holder& holder, const ProcessIdentity& self) {
    return holder.pid == self.pid && holder.startTime == self.startTime;
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

void NextSequence(SemaphoreCore& core) {
    std::atomic_ref<uint32_t>(core.sequence).fetch_add(1, std::memory_order_relaxed);
}

void InitialiseCore(SemaphoreCore& core, int32_t initial, int32_t maximum) {
    std::memset(&core, 0, sizeof core);
    core.count = initial;
    core.maximum = maximum;
    core.total = initial;
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
    InitialiseCore(*static_cast<SemaphoreCore*>(view), initial, maximum);
    munmap(view, sizeof(SemaphoreCore));
    return true;
}

void FutexWait(uint32_t* word, uint32_t expected, SteadyClock::time_point deadline, bool shared) {
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
    // Only a word no other process maps may use the private variant.
    syscall(SYS_futex, word, shared ? FUTEX_WAIT : FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

// How many sleepers it woke.
long FutexWake(uint32_t* word, int count, bool shared) {
    return syscall(SYS_futex, word, shared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
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

// Every opening of a shared semaphore in this process, by the identity of
// its object, with the units it holds: a recount tells by them which of
// the entries that name this process are true.  Never destroyed, as Owed.
struct Openings {
    std::mutex lock;
    std::multimap<std::pair<dev_t, ino_t>, const std::atomic<int32_t>*> held;
};

Openings& OpenSemaphores() {
    static Openings* openings = new Openings;
    return *openings;
}

void AddOpening(dev_t device, ino_t inode, const std::atomic<int32_t>* held) {
    Openings& openings = OpenSemaphores();
    std::lock_guard<std::mutex> guard(openings.lock);
    openings.held.emplace(std::make_pair(device, inode), held);
}

void RemoveOpening(dev_t device, ino_t inode, const std::atomic<int32_t>* held) {
    Openings& openings = OpenSemaphores();
    std::lock_guard<std::mutex> guard(openings.lock);
    auto [first, last] = openings.held.equal_range({device, inode});
    for (auto at = first; at != last; ++at) {
        if (at->second == held) {
            openings.held.erase(at);
            return;
        }
    }
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
        InitialiseCore(*m_private, initial, maximum);
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
    // An object grown past the core (the group may set any length) still
    // holds it at its start.
    if (fstat(m_object.Fd(), &info) == 0 && info.st_size >= static_cast<off_t>(sizeof(SemaphoreCore))) {
        view = mmap(nullptr, sizeof(SemaphoreCore), PROT_READ | PROT_WRITE, MAP_SHARED, m_object.Fd(), 0);
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
    // Its maker's own counts, not what another account may have written
    // over them since; one that joins takes the core's.
    if (m_layoutMaximum >= 1) {
        m_maximum = m_layoutMaximum;
        m_total = m_layoutInitial;
    } else {
        m_maximum = core->maximum;
        m_total = core->total >= 1 && core->total <= m_maximum ? core->total : 0;
    }
    m_ownSlot = -1;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    m_owed += TakeOwed(m_device, m_inode);
    AddOpening(m_device, m_inode, &m_held);
    SetLastError(openResult);
    return true;
}

void Semaphore::UnmapCore() {
    if (m_core != nullptr && Shared()) {
        RemoveOpening(m_device, m_inode, &m_held);
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
    // The cut took the counts, and what this process owed and held with
    // them.
    m_owed = 0;
    m_held = 0;
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
            const uint32_t sleepers = UnlockCore();
            if (paid)
                WakeSleepers(sleepers);
        } else if (Shared()) {
            KeepOwed(m_device, m_inode, m_owed.exchange(0));
        }
    }
    UnmapCore();
    m_private.reset();
    m_maximum = 0;
    m_layoutInitial = 0;
    m_layoutMaximum = 0;
    m_total = 0;
    m_ownSlot = -1;
    m_owed = 0;
    m_held = 0;
    m_object.Close();
}

bool Semaphore::CutUnder() const {
    if (!Cut()) {
        return false;
    }
    SetLastError(kErrHandleEof);
    return true;
}

bool Semaphore::TryLockCore() {
    uint32_t free = 0;
    if (!std::atomic_ref<uint32_t>(m_core->lock)
             .compare_exchange_strong(free, static_cast<uint32_t>(Self().pid), std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
        return false;
    }
    ForgetKeptWord();
    return true;
}

bool Semaphore::LockCore(SteadyClock::time_point deadline) {
    std::atomic_ref<uint32_t> word(m_core->lock);
    const uint32_t self = static_cast<uint32_t>(Self().pid);
    // A waiter that slept takes the word marked: others may sleep behind
    // it, and its release must wake the next.
    uint32_t slept = 0;
    // The holder is looked at once the spins are spent, then at every
    // check period.
    auto nextCheck = SteadyClock::time_point::min();
    int spins = 0;
    for (;;) {
        uint32_t seen = word.load(std::memory_order_relaxed);
        const uint32_t holder = seen & kCoreLockHolderMask;
        if (holder == 0) {
            if (word.compare_exchange_weak(seen, self | slept | (seen & kCoreLockWaiters),
                                           std::memory_order_acquire, std::memory_order_relaxed)) {
                ForgetKeptWord();
                return true;
            }
            continue;
        }
        if (spins < kLockSpins) {
            ++spins;
            CpuRelax();
            continue;
        }
        const auto now = SteadyClock::now();
        if (now >= nextCheck) {
            // Left by a process that died in it, or kept far longer than
            // any holder takes: taken over.  The counts it was changing
            // are put right by the recount.
            const bool gone = LockHolderGone(holder);
            if (gone || (Shared() && (seen & kCoreLockWaiters) != 0 && WordKeptTooLong(seen, now))) {
                if (word.compare_exchange_strong(seen, self | slept | (seen & kCoreLockWaiters),
                                                 std::memory_order_acquire, std::memory_order_relaxed)) {
                    ForgetKeptWord();
                    if (!gone) {
                        Findings found;
                        found.keptTooLong = true;
                        NoteFindings(found);
                    }
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
            !word.compare_exchange_strong(seen, seen | kCoreLockWaiters, std::memory_order_relaxed)) {
            continue;
        }
        slept = kCoreLockWaiters;
        FutexWait(&m_core->lock, seen | kCoreLockWaiters, std::min(deadline, nextCheck), Shared());
    }
}

bool Semaphore::WordKeptTooLong(uint32_t seen, SteadyClock::time_point now) {
    // A holder's release clears the mark, and this process having the word
    // forgets it, so a marked word seen again unchanged was not let go in
    // between.  Two threads that look at once agree closely enough.
    const SteadyClock::rep at = now.time_since_epoch().count();
    if (m_keptWord.load(std::memory_order_relaxed) != seen) {
        m_keptSince.store(at, std::memory_order_relaxed);
        m_keptWord.store(seen, std::memory_order_relaxed);
        return false;
    }
    const uint32_t bound = m_holdBoundMs.load(std::memory_order_relaxed);
    const auto kept = SteadyClock::duration(at - m_keptSince.load(std::memory_order_relaxed));
    return kept >= std::chrono::milliseconds(bound != 0 ? bound : kCoreLockKeptMs);
}

uint32_t Semaphore::UnlockCore() {
    // Read while the lock is held, so that a wait going to sleep is seen.
    const uint32_t sleepers = std::atomic_ref<uint32_t>(m_core->sleepers).load(std::memory_order_relaxed);
    std::atomic_ref<uint32_t> word(m_core->lock);
    const uint32_t self = static_cast<uint32_t>(Self().pid);
    uint32_t seen = self;
    if (word.compare_exchange_strong(seen, 0, std::memory_order_release, std::memory_order_relaxed)) {
        return sleepers;
    }
    // A word that names another process was written over, or taken over
    // by a waiter that found this process gone: not this process's to free.
    while ((seen & kCoreLockHolderMask) == self) {
        if (word.compare_exchange_weak(seen, 0, std::memory_order_release, std::memory_order_relaxed)) {
            if ((seen & kCoreLockWaiters) != 0) {
                FutexWake(&m_core->lock, 1, Shared());
            }
            break;
        }
    }
    return sleepers;
}

void Semaphore::WakeSleepers(uint32_t sleepers) {
    if (sleepers == 0) {
        return;
    }
    if (FutexWake(&m_core->sequence, INT_MAX, Shared()) == 0 && Shared()) {
        // Nobody sleeps: the count was left by a wait that ended asleep (its
        // process killed), or written over, and would cost every release a
        // wake.  A wait counted since it was read, still on its way to
        // sleep, changed it and keeps it; one counted before finds the
        // count's sequence changed and does not sleep.  Should a wait
        // counted since have gone to sleep and another have left, it wakes
        // at its next look at the holders, as a shared wait always does.
        std::atomic_ref<uint32_t>(m_core->sleepers).compare_exchange_strong(sleepers, 0, std::memory_order_relaxed);
    }
}

void Semaphore::NoteFindings(const Findings& found) {
    std::lock_guard<std::mutex> guard(m_findingsLock);
    m_findings.Add(found);
    m_bFound.store(true, std::memory_order_release);
}

bool Semaphore::TakeFindings(Findings& findings) {
    findings = {};
    if (!m_bFound.load(std::memory_order_acquire)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_findingsLock);
    findings = m_findings;
    m_findings = {};
    m_bFound.store(false, std::memory_order_relaxed);
    return findings.Any();
}

int32_t Semaphore::FreeUnits() {
    const int32_t count = m_core->count;
    if (count >= 0 && count <= m_maximum) {
        return count;
    }
    const int32_t kept = count < 0 ? 0 : m_maximum;
    m_core->count = kept;
    Findings found;
    found.countOutOfRange = true;
    NoteFindings(found);
    return kept;
}

SemaphoreCore::Holder* Semaphore::OwnEntry(bool add) {
    const ProcessIdentity self = Self();
    SemaphoreCore::Holder* holders = m_core->holders;
    const int last = m_ownSlot.load(std::memory_order_relaxed);
    if (last >= 0 && last < kSemaphoreMaxHolders && IsSelf(holders[last], self)) {
        return &holders[last];
    }
    int free = -1;
    for (int slot = 0; slot < kSemaphoreMaxHolders; ++slot) {
        if (IsSelf(holders[slot], self)) {
            m_ownSlot.store(slot, std::memory_order_relaxed);
            return &holders[slot];
        }
        if (free < 0 && (holders[slot].pid == 0 || holders[slot].units == 0)) {
            free = slot;
        }
    }
    if (!add) {
        return nullptr;
    }
    if (free < 0) {
        // A full table leaves this holder untracked: its units are then
        // not given back should it die.  Only entries written over fill
        // it, since a lock has few holders at a time.
        Findings found;
        found.tableFull = true;
        NoteFindings(found);
        return nullptr;
    }
    holders[free] = {self.pid, 0, self.startTime};
    m_ownSlot.store(free, std::memory_order_relaxed);
    return &holders[free];
}

void Semaphore::ForgetHeld(int32_t count) {
    const int32_t held = m_held.load(std::memory_order_relaxed);
    m_held.store(held - std::min(held, count), std::memory_order_relaxed);
    if (Shared()) {
        SemaphoreCore::Holder* holder = OwnEntry(false);
        if (holder != nullptr) {
            holder->units -= std::min(holder->units, static_cast<uint32_t>(count));
            if (holder->units == 0)
                *holder = {};
        }
    }
}

bool Semaphore::AddUnits(int32_t count, int32_t* previous) {
    // What this process gives is no longer its own, even when the count has
    // no room for it: the unit was given back for it already (taken back
    // from it as a holder that kept it too long, say).
    ForgetHeld(count);
    const int64_t current = FreeUnits();
    if (current + count > m_maximum) {
        SetLastError(kErrTooManyPosts);
        return false;
    }
    if (previous != nullptr) {
        *previous = static_cast<int32_t>(current);
    }
    m_core->count = static_cast<int32_t>(current + count);
    NextSequence(*m_core);
    return true;
}

bool Semaphore::PayOwed() {
    if (m_owed.load(std::memory_order_relaxed) == 0) {
        return false;
    }
    const int32_t owed = m_owed.exchange(0);
    if (owed <= 0) {
        return false;
    }
    // What would pass the maximum was given back by someone already.
    const int32_t given = static_cast<int32_t>(std::clamp<int64_t>(m_maximum - FreeUnits(), 0, owed));
    ForgetHeld(owed - given);
    return given > 0 && AddUnits(given, nullptr);
}

void Semaphore::KeepLayout() {
    SemaphoreCore& core = *m_core;
    if (m_layoutMaximum < 1 ||
        (core.magic == kSemaphoreCoreMagic && core.size == sizeof core && core.maximum == m_layoutMaximum &&
         core.total == m_layoutInitial)) {
        return;
    }
    core.magic = kSemaphoreCoreMagic;
    core.size = sizeof core;
    core.maximum = m_layoutMaximum;
    core.total = m_layoutInitial;
    Findings found;
    found.layoutRestored = true;
    NoteFindings(found);
}

int64_t Semaphore::UnitsHeldHere() const {
    Openings& openings = OpenSemaphores();
    std::lock_guard<std::mutex> guard(openings.lock);
    int64_t held = 0;
    auto [first, last] = openings.held.equal_range({m_device, m_inode});
    for (auto at = first; at != last; ++at) {
        held += std::max(at->second->load(std::memory_order_relaxed), 0);
    }
    return held;
}

bool Semaphore::KeptPastHoldBound(SteadyClock::time_point now) {
    const uint32_t bound = m_holdBoundMs.load(std::memory_order_relaxed);
    if (bound == 0) {
        return false;
    }
    // Every release moves the sequence on: one unchanged since the look
    // that began the count means the units were kept all along.
    const uint32_t sequence = std::atomic_ref<uint32_t>(m_core->sequence).load(std::memory_order_relaxed);
    const SteadyClock::rep at = std::max<SteadyClock::rep>(now.time_since_epoch().count(), 1);
    const SteadyClock::rep since = m_heldSince.load(std::memory_order_relaxed);
    if (since == 0 || m_heldSequence.load(std::memory_order_relaxed) != sequence) {
        m_heldSequence.store(sequence, std::memory_order_relaxed);
        m_heldSince.store(at, std::memory_order_relaxed);
        return false;
    }
    if (SteadyClock::duration(at - since) < std::chrono::milliseconds(bound)) {
        return false;
    }
    m_heldSince.store(0, std::memory_order_relaxed);
    return true;
}

bool Semaphore::Recount(SteadyClock::time_point now) {
    const ProcessIdentity self = Self();
    Findings found;
    int64_t living = 0;
    int64_t own = 0;
    int64_t ended = 0;
    // This process's entries hold what its openings took, and no more.
    int64_t heldHere = UnitsHeldHere();
    for (auto& holder : m_core->holders) {
        if (holder.pid == 0 || holder.units == 0) {
            continue;
        }
        if (IsSelf(holder, self)) {
            const int64_t kept = std::min<int64_t>(holder.units, heldHere);
            heldHere -= kept;
            own += kept;
            if (kept < holder.units) {
                ended += holder.units - kept;
                ++found.falseHolders;
                holder.units = static_cast<uint32_t>(kept);
                if (kept == 0) {
                    holder = {};
                }
            }
            continue;
        }
        if (!ProcessAlive(holder)) {
            ended += holder.units;
            ++found.endedHolders;
            holder = {};
            continue;
        }
        living += holder.units;
    }
    const int64_t free = FreeUnits();
    // Which of the living processes named holds a unit, and which was
    // named by another, cannot be told; past the hold bound none does.
    if (free == 0 && living > 0 && KeptPastHoldBound(now)) {
        for (auto& holder : m_core->holders) {
            if (holder.pid != 0 && holder.units != 0 && !IsSelf(holder, self)) {
                ended += holder.units;
                holder = {};
            }
        }
        living = 0;
        found.keptTooLong = true;
    }
    living += own;
    // Units the free count and the living holders leave out came back to
    // no one: their taker ended, or wrote the count down without an entry.
    // Without a total to trust, only the units of holders that ended do.
    int64_t missing = ended;
    if (m_total > 0) {
        missing = m_total - free - living;
        found.overClaimed = living > m_total;
    }
    const int64_t given = std::clamp<int64_t>(missing, 0, m_maximum - free);
    if (given > 0) {
        m_core->count = static_cast<int32_t>(free + given);
        NextSequence(*m_core);
        found.unitsGivenBack = given;
    }
    if (found.Any()) {
        NoteFindings(found);
    }
    return given > 0;
}

WaitResult Semaphore::Wait(uint32_t ms) {
    if (m_core == nullptr) {
        SetLastError(kErrInvalidHandle);
        return kWaitFailed;
    }
    const bool shared = Shared();
    const auto deadline = DeadlineAfter(ms);
    // Holders are looked for among the dead once a wait has found no unit
    // for a check period, or before it gives up: a holder that is busy
    // gives its unit back long before, and the look reads every holder's
    // process status under the lock that its release needs.
    auto nextHolderCheck = SteadyClock::time_point::min();
    for (;;) {
        // Cut short under this wait: what it reads now is zeros, no count.
        if (CutUnder()) {
            return kWaitFailed;
        }
        if (!TryLockCore() && !LockCore(deadline)) {
            return CutUnder() ? kWaitFailed : kWaitTimeout;
        }
        if (CutUnder()) {
            return kWaitFailed;
        }
        KeepLayout();
        bool wake = PayOwed();
        int32_t free = FreeUnits();
        auto now = SteadyClock::time_point::min();
        if (free == 0) {
            now = SteadyClock::now();
            if (nextHolderCheck == SteadyClock::time_point::min()) {
                nextHolderCheck = now + kHolderCheckPeriod;
            }
            if (shared && (now >= nextHolderCheck || now >= deadline)) {
                wake = Recount(now) || wake;
                nextHolderCheck = now + kHolderCheckPeriod;
                free = FreeUnits();
            }
        }
        if (free > 0) {
            m_core->count = free - 1;
            m_held.fetch_add(1, std::memory_order_relaxed);
            if (m_heldSince.load(std::memory_order_relaxed) != 0) {
                m_heldSince.store(0, std::memory_order_relaxed);
            }
            if (shared) {
                SemaphoreCore::Holder* holder = OwnEntry(true);
                if (holder != nullptr)
                    ++holder->units;
            }
            const uint32_t sleepers = UnlockCore();
            if (wake)
                WakeSleepers(sleepers);
            return kWaitSignalled;
        }
        if (now >= deadline) {
            const uint32_t sleepers = UnlockCore();
            if (wake)
                WakeSleepers(sleepers);
            SetLastError(kErrWaitTimeout);
            return kWaitTimeout;
        }
        // Counted among the sleepers while the lock is held, so that a
        // release after it wakes this wait.
        const uint32_t sequence = std::atomic_ref<uint32_t>(m_core->sequence).load(std::memory_order_relaxed);
        std::atomic_ref<uint32_t> sleepers(m_core->sleepers);
        sleepers.fetch_add(1, std::memory_order_relaxed);
        const uint32_t others = UnlockCore() - 1;
        if (wake)
            WakeSleepers(others);
        auto wakeAt = deadline;
        if (shared && deadline - now > kHolderCheckPeriod) {
            wakeAt = now + kHolderCheckPeriod;
        }
        FutexWait(&m_core->sequence, sequence, wakeAt, shared);
        // Written over meanwhile, it may read 0 already: never below.
        uint32_t seen = sleepers.load(std::memory_order_relaxed);
        while (seen != 0 && !sleepers.compare_exchange_weak(seen, seen - 1, std::memory_order_relaxed)) {
        }
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
    if (!TryLockCore() && !LockCore(DeadlineAfter(kReleaseWaitMs))) {
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
    KeepLayout();
    const bool paid = PayOwed();
    const bool added = AddUnits(count, previous);
    const uint32_t sleepers = UnlockCore();
    if (paid || added)
        WakeSleepers(sleepers);
    return added;
}

}  // namespace plat
