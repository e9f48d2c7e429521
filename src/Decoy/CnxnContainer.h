#pragma once
// The held decoy connections of one destination, each under its key (the
// accepted socket).  Entries keep their index until removed; a full
// container doubles.  It owns what it holds: destroying it deletes every
// connection still held, which closes their sockets.
//
// Every operation runs under the container's lock, except the first search
// of a removal, which is checked again under the lock before anything
// changes.

#include <cstdint>
#include <memory>

#include "Common/SharedCounter.h"
#include "qorToolsLib/jsSync.h"

class DecoyedTCPCnxn;

class CnxnContainer {
public:
    static constexpr int32_t kInitialCapacity = 100;
    static constexpr int32_t kFreeKey = -1;

    CnxnContainer();
    explicit CnxnContainer(int32_t nCapacity);
    ~CnxnContainer();
    CnxnContainer(const CnxnContainer&) = delete;
    CnxnContainer& operator=(const CnxnContainer&) = delete;

    // The fewest seconds any held connection has left: 0 when one is due,
    // -1 when none has a hold time.
    int32_t GetMinTimeout();
    // The first held connection whose hold is over, left in the container;
    // null when none is.
    DecoyedTCPCnxn* GetExpiredItem();
    DecoyedTCPCnxn* FindByKey(int32_t nKey);
    // Take the connection out and hand it to the caller; null (logged) when
    // it is not held.
    DecoyedTCPCnxn* RemoveByKey(int32_t nKey);
    DecoyedTCPCnxn* RemoveByPointer(DecoyedTCPCnxn* pItem);
    // Holds the connection under the key, growing when full; the item, or
    // null when it could not be held (it stays the caller's then).
    DecoyedTCPCnxn* Add(int32_t nKey, DecoyedTCPCnxn* pItem);
    uint32_t GetCount() const { return m_Count.Value(); }
    int32_t GetCapacity() const { return m_nCapacity; }
    // The index a key is held at, -1 when it is not.
    int32_t IndexOf(int32_t nKey);

private:
    void Store(int32_t nIndex, int32_t nKey, DecoyedTCPCnxn* pItem);
    // Doubles both arrays; false (logged) when memory runs out.
    bool Grow();

    qorFastSync m_Lock;
    int32_t m_nCapacity;
    std::unique_ptr<DecoyedTCPCnxn*[]> m_pItems;
    std::unique_ptr<int32_t[]> m_pKeys;
    SharedCounter m_Count{0};
};
