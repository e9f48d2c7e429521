#pragma once
// Counting semaphores, private to the process or named and shared with
// other processes (see NamedObject.h for the name's life).
//
// The system uses its named semaphores as cross-process locks, so a
// semaphore must not stay taken when the process that took it dies: each
// shared semaphore records how many units every process holds, and a
// waiter that finds none left gives back the units of processes that no
// longer exist.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/NamedObject.h"
#include "platform/Wait.h"

namespace plat {

struct SemaphoreCore;

class Semaphore {
public:
    Semaphore();
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // An empty name makes a semaphore private to this process.  A named one
    // is laid out with `initial` and `maximum` by its first user; later
    // users take it as it stands (last error kErrAlreadyExists).  False,
    // with the last error set, when it cannot be made.  `shareGroup` as
    // NamedObject::Open.
    bool Open(const std::string& name, int32_t initial, int32_t maximum,
              int32_t shareGroup = kNoShareGroup);
    // Joins the named semaphore a live process made; kErrFileNotFound when
    // there is none.
    bool OpenExisting(const std::string& name);
    void Close();
    bool IsOpen() const { return m_core != nullptr; }

    // kWaitSignalled when a unit was taken, kWaitTimeout, or kWaitFailed
    // when the semaphore is not open.
    WaitResult Wait(uint32_t ms);

    // Adds `count` units; false (kErrTooManyPosts) when that would pass
    // the maximum, or kErrInvalidParameter for a count below 1.
    bool Release(int32_t count, int32_t* previous = nullptr);

private:
    // Maps the object just opened; false (and closed) when it is not a
    // semaphore.
    bool MapCore();
    bool LockCore();
    void UnlockCore();

    SemaphoreCore* m_core = nullptr;
    std::unique_ptr<SemaphoreCore> m_private;
    NamedObject m_object;
};

}  // namespace plat
