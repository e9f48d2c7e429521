#pragma once
// Counting semaphores, private to the process or named and shared with
// other processes (see NamedObject.h for the name's life).
//
// The system uses its named semaphores as cross-process locks, so a
// semaphore must not stay taken when the process that took it dies: each
// shared semaphore records how many units every process holds, and a
// waiter that finds none left gives back what no living process accounts
// for.  Its users open it with the units it holds in all (the initial
// count): a waiter that finds the free units and those of living holders
// short of that gives the rest back, whether the process that took them
// ended, or took them without an entry of its own (another account that
// wrote the count); a count written past the maximum is cut back to it.
// An entry that names this process for more units than it took holds
// nothing, and those units come back too.  Units that living processes
// keep can be taken back only where the user says how long a holder may
// keep one (SetHoldBound): an entry's process id and start time are what
// any process of the group may write.  What a wait put right is kept for
// its user to say (TakeFindings).
//
// Taking and giving a unit make no system call while nobody waits: the
// process's id is read once (and again in a child after fork), and a
// release wakes sleepers only when there are some.
//
// Every wait has its deadline, also on the lock that guards the counts
// (SemaphoreCore.h): a process of the share group that keeps that lock, or
// scribbles over the semaphore, makes a wait time out or fail, never hang
// or crash.  A lock left by a process that died is taken over, and so is
// one kept past kCoreLockKeptMs: it guards a few instructions, so a word
// kept that long names no holder (written over, or by a process whose id
// another took since), or its holder was stopped.  The process
// that made the semaphore puts back what another wrote over its layout
// (its magic, size, maximum and units in all), which every later opener
// checks.
//
// The core of a named semaphore is a mapping too, and one its group may
// write can be cut short (HostileMapping.h): the process reads zeros there
// instead of ending, every later wait and release fails at once (last
// error kErrHandleEof) while Cut() says so, and Remap() maps it again.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/HostileMapping.h"
#include "platform/NamedObject.h"
#include "platform/SemaphoreCore.h"
#include "platform/Wait.h"

namespace plat {

class Semaphore {
public:
    // How long Release waits for the lock that guards the counts.  Units
    // not given back by then are kept by this process and given at its next
    // turn on the semaphore (a Wait, a Release, the Close, or the next
    // opening of the same semaphore), so a holder of that lock cannot make
    // this process keep a unit for good.
    static constexpr uint32_t kReleaseWaitMs = 250;
    // How long the word that guards the counts may name one holder, with
    // waiters marked and never let go meanwhile, before a waiter takes it
    // (the hold bound instead where one is set).
    static constexpr uint32_t kCoreLockKeptMs = 3000;

    Semaphore();
    ~Semaphore();
    // For a semaphore used as a lock whose holders keep a unit only for a
    // moment: units that other processes keep while none is free and none
    // is given, for `ms`, are taken back by the next wait that recounts
    // (0, the default: never), and the word that guards the counts is
    // taken over once kept as long.  A holder that keeps a unit that long
    // was stopped or is hostile, or was named by another process.
    void SetHoldBound(uint32_t ms) { m_holdBoundMs.store(ms, std::memory_order_relaxed); }
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // An empty name makes a semaphore private to this process.  A named one
    // is laid out with `initial` and `maximum` by its first user; later
    // users take it as it stands (last error kErrAlreadyExists), but for one
    // of this account's own that another account cut short, which is made
    // whole and laid out afresh.  False, with the last error set, when it
    // cannot be made.  `shareGroup` as NamedObject::Open.
    bool Open(const std::string& name, int32_t initial, int32_t maximum,
              int32_t shareGroup = kNoShareGroup);
    // Joins the named semaphore a live process made; kErrFileNotFound when
    // there is none.
    bool OpenExisting(const std::string& name);
    void Close();
    bool IsOpen() const { return m_core != nullptr; }

    // kWaitSignalled when a unit was taken; kWaitTimeout when none was
    // free, or the lock that guards the counts was held, until the
    // deadline; kWaitFailed when the semaphore is not open.
    WaitResult Wait(uint32_t ms);

    // Adds `count` units; false (kErrTooManyPosts) when that would pass
    // the maximum, kErrInvalidParameter for a count below 1, and
    // kErrWaitTimeout when the counts' lock was not free within
    // kReleaseWaitMs (the units are then given later, see above).
    bool Release(int32_t count, int32_t* previous = nullptr);

    // What waits found wrong with the shared counts and put right, since
    // the last call.
    struct Findings {
        // Units that neither the free count nor a living holder accounted
        // for, given back (those of holders that ended among them).
        int64_t unitsGivenBack = 0;
        // Entries of holders that ended, taken out.
        uint32_t endedHolders = 0;
        // A count outside 0 to the maximum, put back inside.
        bool countOutOfRange = false;
        // Living processes' entries claim more units than the semaphore
        // has: written over, and which of them holds a unit cannot be
        // told, so each wait may time out until those processes end.
        bool overClaimed = false;
        // No entry was free to record a unit this process took.
        bool tableFull = false;
        // Entries that named this process for units it did not take, put
        // right: those units came back with the others.
        uint32_t falseHolders = 0;
        // The word that guards the counts was kept past kCoreLockKeptMs,
        // or units past the hold bound, by a process that lives: taken over
        // or back.
        bool keptTooLong = false;
        // The layout (magic, size, maximum, units in all) was written over,
        // so that no other process could open the semaphore, and put back.
        bool layoutRestored = false;
        bool Any() const {
            return unitsGivenBack != 0 || endedHolders != 0 || countOutOfRange || overClaimed || tableFull ||
                   falseHolders != 0 || keptTooLong || layoutRestored;
        }
        // Adds what `later` found.
        void Add(const Findings& later) {
            unitsGivenBack += later.unitsGivenBack;
            endedHolders += later.endedHolders;
            countOutOfRange = countOutOfRange || later.countOutOfRange;
            overClaimed = overClaimed || later.overClaimed;
            tableFull = tableFull || later.tableFull;
            falseHolders += later.falseHolders;
            keptTooLong = keptTooLong || later.keptTooLong;
            layoutRestored = layoutRestored || later.layoutRestored;
        }
    };
    // True, and `findings` filled, when waits put something right since the
    // last call.
    bool TakeFindings(Findings& findings);

    // Another account cut the shared core short under this process; Wait
    // and Release fail until Remap.
    bool Cut() const { return m_guard.Cut(); }
    // As Cut, after reading the core's end and the object's length, so
    // that a cut is found now.
    bool CheckCut() const { return m_guard.Check(m_object.Fd()); }
    // Maps the core again after a cut: one of this account's own is made
    // whole and laid out afresh with the counts it was opened with (the
    // cut took the counts it had).  False, with the last error set, when it
    // cannot be mapped: the semaphore is then closed.
    bool Remap();

private:
    // Maps the object just opened; false (and closed) when it is not a
    // semaphore.
    bool MapCore();
    void UnmapCore();
    // Under a fresh look at the object: one of this account's own shorter
    // than a core was cut short, and is made whole and laid out afresh;
    // with `bCutUnder` (a cut this process met), whatever its length.
    bool RestoreCutCore(bool bCutUnder = false);
    // Takes the counts' lock when it is free now, without a system call.
    bool TryLockCore();
    // The counts' lock was had: a word kept before is no longer.
    void ForgetKeptWord() {
        if (m_keptWord.load(std::memory_order_relaxed) != 0)
            m_keptWord.store(0, std::memory_order_relaxed);
    }
    // Takes the counts' lock by `deadline`; false (kErrWaitTimeout) when
    // it is held past it by a process that lives.
    bool LockCore(std::chrono::steady_clock::time_point deadline);
    // Frees the counts' lock; answers how many waits sleep on the count.
    uint32_t UnlockCore();
    // Under the counts' lock: the free units, a count written outside 0
    // to the maximum put back inside.
    int32_t FreeUnits();
    // Under the counts' lock: this process's entry among the holders,
    // made when `add` is set and one is free.
    SemaphoreCore::Holder* OwnEntry(bool add);
    // Under the counts' lock: this process no longer holds `count` units.
    void ForgetHeld(int32_t count);
    // Under the counts' lock: adds units this process gives back, within
    // the maximum; true when waiters are to be woken.
    bool AddUnits(int32_t count, int32_t* previous);
    // Under the counts' lock: gives the units a release could not give.
    bool PayOwed();
    // Under the counts' lock, for the process that made the semaphore: puts
    // back the layout when another process wrote over it.
    void KeepLayout();
    // Whether `seen`, a word naming a living holder with waiters marked,
    // has stayed as it is since kCoreLockKeptMs before `now`.
    bool WordKeptTooLong(uint32_t seen, std::chrono::steady_clock::time_point now);
    // The units this process took and has not given back, through every
    // opening of this semaphore it has.
    int64_t UnitsHeldHere() const;
    // Under the counts' lock, when no unit is free: takes out the entries
    // of holders that ended and gives back the units no living process
    // accounts for, and those kept past the hold bound; true when units
    // came back.
    bool Recount(std::chrono::steady_clock::time_point now);
    // Under the counts' lock, with no unit free: whether other processes
    // have kept units past the hold bound, with no release meanwhile.
    bool KeptPastHoldBound(std::chrono::steady_clock::time_point now);
    void NoteFindings(const Findings& found);
    // Wakes the waits asleep on the count when `sleepers` (read under the
    // counts' lock) says there are any.
    void WakeSleepers(uint32_t sleepers);
    bool Shared() const { return m_private == nullptr; }
    // True, with the last error kErrHandleEof, once the core was cut
    // short under this process.
    bool CutUnder() const;

    SemaphoreCore* m_core = nullptr;
    std::unique_ptr<SemaphoreCore> m_private;
    NamedObject m_object;
    // The maximum as it was when the semaphore was opened: the one in the
    // shared core may have been written over since.
    int32_t m_maximum = 0;
    // The counts its maker (Open) lays it out with, also again after a cut;
    // 0 for a semaphore joined with OpenExisting.
    int32_t m_layoutInitial = 0;
    int32_t m_layoutMaximum = 0;
    // The units the semaphore holds in all: its opener's initial count, or
    // for one joined with OpenExisting the core's (0 when not to be
    // trusted: then only the units of holders that ended come back).
    int32_t m_total = 0;
    // Where this process's entry was last found among the holders.
    std::atomic<int> m_ownSlot{-1};
    std::atomic<bool> m_bFound{false};
    std::mutex m_findingsLock;
    Findings m_findings;
    HostileMapping m_guard;
    // Units given back while the counts' lock was held elsewhere.
    std::atomic<int32_t> m_owed{0};
    // Units this opening took and has not given back (changed under the
    // counts' lock).
    std::atomic<int32_t> m_held{0};
    // The marked word last seen kept by a living holder (0: none since
    // this process last had the word), and since when.
    std::atomic<uint32_t> m_keptWord{0};
    std::atomic<std::chrono::steady_clock::rep> m_keptSince{0};
    // See SetHoldBound; and the release sequence a recount last found with
    // no unit free (valid while m_heldSince is not 0), and since when.
    std::atomic<uint32_t> m_holdBoundMs{0};
    std::atomic<uint32_t> m_heldSequence{0};
    std::atomic<std::chrono::steady_clock::rep> m_heldSince{0};
    // The named object's identity, under which units still owed at the
    // Close are kept for the next opening.
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

}  // namespace plat
