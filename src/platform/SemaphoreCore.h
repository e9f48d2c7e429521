#pragma once
// The layout of a shared semaphore: the one format every process that opens
// a named semaphore (Semaphore.h) maps and writes.  The object is 0600 or
// 0660, so an account of the share group (the web server's) can write any
// of it at any time: each process reads it as data, never as pointers.
//
// The core is guarded by a lock word of its own, not by the system's
// process-shared mutex: a robust mutex keeps the links of its owner's list
// inside the mutex and follows them when it is unlocked, so in memory
// another account can write it would let that account make this process
// write where it chooses.  The word holds only a process id, which a
// waiter tests for life; a holder that keeps it, or a word that was
// scribbled, costs a waiter its deadline and nothing else.

#include <cstdint>

namespace plat {

constexpr uint32_t kSemaphoreCoreMagic = 0x48575333;  // "HWS3"
constexpr int kSemaphoreMaxHolders = 64;

// The lock word: 0 while free, else the process id of its holder, with
// kCoreLockWaiters set while another process or thread waits for it.
constexpr uint32_t kCoreLockWaiters = 0x80000000u;
constexpr uint32_t kCoreLockHolderMask = 0x3FFFFFFFu;

struct SemaphoreCore {
    // The units one process holds, told apart from a later process that
    // reuses its id by its start time.  An entry that holds no unit is
    // free for another process.
    struct Holder {
        int32_t pid;
        uint32_t units;
        uint64_t startTime;
    };

    uint32_t magic;
    uint32_t size;
    uint32_t lock;      // futex word, see above
    uint32_t sequence;  // futex word: changes at every release
    int32_t count;
    int32_t maximum;
    // The units the semaphore was laid out with: while it is used as a
    // lock, each of them is free or held by a process.
    int32_t total;
    // Waits asleep on `sequence`: a release wakes them only when there
    // are any.
    uint32_t sleepers;
    Holder holders[kSemaphoreMaxHolders];
};

}  // namespace plat
