#pragma once
// A mapping of an object that another account may write (a shared area
// opened to a group, a file someone else can change) can be cut short
// under this process: whoever may write the object can ftruncate it, and
// every access past the new end then raises SIGBUS.  Shared memory cannot
// be sealed against it, so such a mapping is guarded for as long as it is
// mapped: a SIGBUS inside its range is repaired in the fault handler itself
// (FaultTrap.cpp asks here before anything else), which maps private zero
// pages over the whole range and marks it cut.  The access that faulted
// goes on reading zeros, every later one too, and what is written there
// reaches no other process.  The owner looks at the mark at each turn,
// counts that turn as failed, says the cut, and maps the object again; the
// process never ends, and no thread is lost, for it.  A fault anywhere else
// goes on to the fault trap as before.
//
//   HostileMapping guard;
//   if (WritableByOthers(fd) && !guard.Guard(view, size, PROT_READ | PROT_WRITE)) ...
//   ...
//   if (guard.Check()) ... the turn failed: map the object again
//   guard.Release();            // before the range is unmapped
//   munmap(view, size);

#include <signal.h>

#include <cstddef>
#include <cstdint>

namespace plat {

class HostileMapping {
public:
    // Ranges guarded at once in a process; a Guard past them fails.
    static constexpr size_t kMaxGuarded = 64;

    HostileMapping() = default;
    ~HostileMapping() { Release(); }
    HostileMapping(const HostileMapping&) = delete;
    HostileMapping& operator=(const HostileMapping&) = delete;

    // Guards the mapped range [start, start + length) with the protection
    // it was mapped with, installing the fault handler the first time.
    // False (kErrNotEnoughMemory) when kMaxGuarded ranges are guarded.
    bool Guard(void* start, size_t length, int protection);
    // Lets the range go; waits for a repair of it under way on another
    // thread.  Call before the range is unmapped.
    void Release();
    bool Guarded() const { return m_nSlot >= 0; }

    // The range was cut short under this process since it was guarded.
    bool Cut() const;
    // Reads the range's last byte first, so that a cut anywhere in it is
    // found now rather than at the next access that reaches it; then as
    // Cut.
    bool Check() const;
    // As Check, and looks at the length of the object open on `fd` too: a
    // cut inside the range's last page raises no fault (the page reads
    // zeros past the end), yet every other process that opens the object
    // finds it short and refuses it, so it is taken as a cut, and the range
    // repaired as a fault would have it.
    bool Check(int fd) const;

private:
    int m_nSlot = -1;
    const volatile uint8_t* m_pLastByte = nullptr;
    size_t m_length = 0;
};

// Whether an object open on `fd` can be written by another account: its
// owner is not this process's account, or its mode lets its group or
// anyone write it.  False when it cannot be looked at.
bool WritableByOthers(int fd);

// Whether the object open on `fd` belongs to this process's account.
bool OwnedBySelf(int fd);

// For the fault handler: repairs a SIGBUS raised inside a guarded range;
// true when it did, and the access is to be made again.  Safe in a signal
// handler.
bool RepairCutMapping(int signal, const siginfo_t* info);

}  // namespace plat
