#pragma once
// A first-in first-out queue of owned items carried from any number of
// producer threads to one consumer thread, which sleeps on the queue's event
// until something arrives.  An item belongs to the queue from a successful
// Push until the Pop that returns it.

#include <chrono>
#include <cstdint>
#include <deque>
#include <type_traits>

#include "platform/Wait.h"
#include "qorToolsLib/jsEvent.h"
#include "qorToolsLib/jsFastLock.h"
#include "qorToolsLib/jsSync.h"

// What a push onto a full queue does.
enum BoundedQueueMode : int32_t {
    kQueueRefuseWhenFull = 1,  // the push fails; the caller keeps the item
    kQueueDropOldest = 2,      // the oldest item is deleted to make room
};

template <typename Item>
class BoundedQueue {
    static_assert(std::has_virtual_destructor_v<Item>,
                  "queued items are deleted through their base, which needs a virtual destructor");

public:
    // A Pop given this many seconds waits without limit.
    static constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

    // The capacity starts at 0 (unbounded); the owner sets it before use.
    explicit BoundedQueue(int32_t fullMode)
        : m_event(true, false), m_bValid(m_event.IsValid()), m_iFullMode(fullMode) {}

    // Items still queued are deleted, so an owner that did not drain the
    // queue loses nothing but the items themselves.
    ~BoundedQueue() {
        for (Item* item : m_items) {
            delete item;
        }
    }

    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    bool IsValid() const { return m_bValid; }

    void SetCapacity(uint32_t capacity) {
        qorFastLock guard(m_lock, true);
        m_uCapacity = capacity;
    }

    uint32_t GetCapacity() {
        qorFastLock guard(m_lock, true);
        return m_uCapacity;
    }

    size_t Size() {
        qorFastLock guard(m_lock, true);
        return m_items.size();
    }

    // Pushes refused, plus oldest items deleted, since construction.
    uint64_t DropCount() {
        qorFastLock guard(m_lock, true);
        return m_uDropped;
    }

    // True when the queue took the item.  A refused or null item stays with
    // the caller.
    bool Push(Item* item) {
        if (item == nullptr) {
            return false;
        }
        qorFastLock guard(m_lock, true);
        if (m_uCapacity != 0 && m_items.size() >= m_uCapacity) {
            ++m_uDropped;
            if (m_iFullMode != kQueueDropOldest) {
                return false;
            }
            delete m_items.front();
            m_items.pop_front();
        }
        m_items.push_back(item);
        m_event.Set();
        return true;
    }

    // Takes the item whatever the capacity: for a producer that is ending
    // and whose last items the consumer takes after it has ended, so that
    // what exceeds the capacity is bounded by what one producer holds.
    // False only for a null item.
    bool PushPastCapacity(Item* item) {
        if (item == nullptr) {
            return false;
        }
        qorFastLock guard(m_lock, true);
        m_items.push_back(item);
        m_event.Set();
        return true;
    }

    // Has the consumer's Pop that finds the queue empty, now or next,
    // return null at once: a consumer told to stop is not held for the
    // rest of its wait.
    void Interrupt() {
        qorFastLock guard(m_lock, true);
        m_bInterrupted = true;
        m_event.Set();
    }

    // The oldest item, or null when none arrived within `seconds` (0 does
    // not wait; kWaitForever waits without limit), the wait failed, or
    // Interrupt was called.  The wait is a cancellation point of layer
    // threads.
    Item* Pop(uint32_t seconds) {
        const auto deadline = DeadlineAfter(seconds);
        qorFastLock guard(m_lock, true);
        while (m_items.empty()) {
            uint32_t waitMs = 0;
            if (m_bInterrupted) {
                m_bInterrupted = false;
                return nullptr;
            }
            if (seconds == 0 || !RemainingMs(deadline, waitMs)) {
                return nullptr;
            }
            guard.Unlock();
            const uint32_t result = m_event.Wait(waitMs);
            guard.Lock();
            if (result == plat::kWaitFailed) {
                return nullptr;
            }
            // A signal left by a push whose item an earlier pop already
            // took wakes this wait early; the loop waits out the rest.
        }
        Item* item = m_items.front();
        m_items.pop_front();
        return item;
    }

private:
    using SteadyClock = std::chrono::steady_clock;

    static SteadyClock::time_point DeadlineAfter(uint32_t seconds) {
        if (seconds == kWaitForever) {
            return SteadyClock::time_point::max();
        }
        return SteadyClock::now() + std::chrono::seconds(seconds);
    }

    // False once the deadline has passed.
    static bool RemainingMs(SteadyClock::time_point deadline, uint32_t& ms) {
        if (deadline == SteadyClock::time_point::max()) {
            ms = plat::kInfinite;
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        if (left <= 0) {
            return false;
        }
        // Long waits are taken in slices below the no-limit value.
        ms = left >= static_cast<int64_t>(plat::kInfinite) ? plat::kInfinite - 1 : static_cast<uint32_t>(left);
        return true;
    }

    std::deque<Item*> m_items;
    uint32_t m_uCapacity = 0;
    qorFastSync m_lock;
    qorSyncEvent m_event;  // auto-reset, not signalled at first
    bool m_bValid;
    int32_t m_iFullMode;
    uint64_t m_uDropped = 0;
    bool m_bInterrupted = false;
};
