#include "Decoy/CnxnContainer.h"

#include <new>

#include "Decoy/DecoyClock.h"
#include "Decoy/DecoyedTCPCnxn.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/jsFastLock.h"

CnxnContainer::CnxnContainer() : CnxnContainer(kInitialCapacity) {}

CnxnContainer::CnxnContainer(int32_t nCapacity)
    : m_nCapacity(nCapacity > 0 ? nCapacity : kInitialCapacity),
      m_pItems(new DecoyedTCPCnxn*[m_nCapacity]),
      m_pKeys(new int32_t[m_nCapacity]) {
    for (int32_t n = 0; n < m_nCapacity; ++n) {
        m_pItems[n] = nullptr;
        m_pKeys[n] = kFreeKey;
    }
}

CnxnContainer::~CnxnContainer() {
    for (int32_t n = 0; n < m_nCapacity; ++n) {
        delete m_pItems[n];
    }
}

int32_t CnxnContainer::GetMinTimeout() {
    const uint32_t dwNow = DecoyTimeNow();
    qorFastLock guard(m_Lock, true);
    int32_t nSmallest = -1;
    for (int32_t n = 0; n < m_nCapacity; ++n) {
        if (m_pItems[n] == nullptr) {
            continue;
        }
        const int32_t nLeft = m_pItems[n]->TimeLeft(dwNow);
        if (nLeft == 0) {
            return 0;
        }
        if (nLeft > 0 && (nSmallest < 0 || nLeft < nSmallest)) {
            nSmallest = nLeft;
        }
    }
    if (nSmallest > 0) {
        CSF_TRACE(kCSFLogInfo, "container timeout: %d seconds", nSmallest);
    } else {
        CSF_TRACE(kCSFLogInfo, "NO container timeout");
    }
    return nSmallest;
}

DecoyedTCPCnxn* CnxnContainer::GetExpiredItem() {
    qorFastLock guard(m_Lock, true);
    const uint32_t dwNow = DecoyTimeNow();
    for (int32_t n = 0; n < m_nCapacity; ++n) {
        if (m_pItems[n] != nullptr && m_pItems[n]->TimeLeft(dwNow) == 0) {
            CSF_TRACE(kCSFLogInfo, "Returning immediate timeout item: %lx",
                      reinterpret_cast<unsigned long>(m_pItems[n]));
            return m_pItems[n];
        }
    }
    return nullptr;
}

DecoyedTCPCnxn* CnxnContainer::FindByKey(int32_t nKey) {
    qorFastLock guard(m_Lock, true);
    for (int32_t n = 0; n < m_nCapacity; ++n) {
        if (m_pKeys[n] == nKey) {
            return m_pItems[n];
        }
    }
    return nullptr;
}

int32_t CnxnContainer::IndexOf(int32_t nKey) {
    qorFastLock guard(m_Lock, true);
    for (int32_t n = 0; n < m_nCapacity; ++n) {
        if (m_pKeys[n] == nKey && m_pItems[n] != nullptr) {
            return n;
        }
    }
    return -1;
}

DecoyedTCPCnxn* CnxnContainer::RemoveByKey(int32_t nKey) {
    int32_t nIndex = 0;
    // The free mark is no key: it must not take a free entry for a held one.
    while (nKey != kFreeKey && nIndex < m_nCapacity && m_pKeys[nIndex] != nKey) {
        ++nIndex;
    }
    if (nKey == kFreeKey || nIndex == m_nCapacity) {
        CSF_LOG(kCSFLogWarning, "couldn't find cnxn matching key %ld", static_cast<long>(nKey));
        return nullptr;
    }
    qorFastLock guard(m_Lock, true);
    if (m_pKeys[nIndex] != nKey || m_pItems[nIndex] == nullptr) {
        CSF_LOG(kCSFLogWarning, "cnxn key %ld in index %d disappeared", static_cast<long>(nKey),
                nIndex);
        CSF_TRACE(kCSFLogInfo, "cnxn count = %d", static_cast<int>(GetCount()));
        return nullptr;
    }
    CSF_TRACE(kCSFLogInfo, "rmv key %d from idx %d", nKey, nIndex);
    DecoyedTCPCnxn* pItem = m_pItems[nIndex];
    m_pItems[nIndex] = nullptr;
    m_pKeys[nIndex] = kFreeKey;
    --m_Count;
    CSF_TRACE(kCSFLogInfo, "cnxn count = %d", static_cast<int>(GetCount()));
    return pItem;
}

DecoyedTCPCnxn* CnxnContainer::RemoveByPointer(DecoyedTCPCnxn* pItem) {
    int32_t nIndex = 0;
    while (pItem != nullptr && nIndex < m_nCapacity && m_pItems[nIndex] != pItem) {
        ++nIndex;
    }
    if (pItem == nullptr || nIndex == m_nCapacity) {
        CSF_LOG(kCSFLogWarning, "Couldn't find cnxn by pointer");
        return nullptr;
    }
    qorFastLock guard(m_Lock, true);
    if (m_pItems[nIndex] != pItem) {
        CSF_LOG(kCSFLogWarning, "cnxn at idx %d disappeared", nIndex);
        CSF_TRACE(kCSFLogInfo, "cnxn count = %d", static_cast<int>(GetCount()));
        return nullptr;
    }
    CSF_TRACE(kCSFLogInfo, "rmv (byaddr) key %d from idx %d", m_pKeys[nIndex], nIndex);
    m_pItems[nIndex] = nullptr;
    m_pKeys[nIndex] = kFreeKey;
    --m_Count;
    CSF_TRACE(kCSFLogInfo, "cnxn count = %d", static_cast<int>(GetCount()));
    return pItem;
}

void CnxnContainer::Store(int32_t nIndex, int32_t nKey, DecoyedTCPCnxn* pItem) {
    CSF_TRACE(kCSFLogInfo, "adding key %d at index %d", nKey, nIndex);
    m_pItems[nIndex] = pItem;
    m_pKeys[nIndex] = nKey;
    ++m_Count;
    CSF_TRACE(kCSFLogInfo, "cnxn count = %d", static_cast<int>(GetCount()));
}

bool CnxnContainer::Grow() {
    const int32_t nDoubled = m_nCapacity * 2;
    std::unique_ptr<DecoyedTCPCnxn*[]> pItems(new (std::nothrow) DecoyedTCPCnxn*[nDoubled]);
    if (!pItems) {
        CSF_LOG(kCSFLogError, "failed to allocate %d cnxns for tmpCnxn", nDoubled);
        return false;
    }
    std::unique_ptr<int32_t[]> pKeys(new (std::nothrow) int32_t[nDoubled]);
    if (!pKeys) {
        CSF_LOG(kCSFLogError, "failed to allocate %d DWORDs for tmpId", nDoubled);
        return false;
    }
    for (int32_t n = 0; n < nDoubled; ++n) {
        pItems[n] = n < m_nCapacity ? m_pItems[n] : nullptr;
        pKeys[n] = n < m_nCapacity ? m_pKeys[n] : kFreeKey;
    }
    m_pItems = std::move(pItems);
    m_pKeys = std::move(pKeys);
    m_nCapacity = nDoubled;
    return true;
}

DecoyedTCPCnxn* CnxnContainer::Add(int32_t nKey, DecoyedTCPCnxn* pItem) {
    qorFastLock guard(m_Lock, true);
    for (int32_t n = 0; n < m_nCapacity; ++n) {
        if (m_pItems[n] == nullptr) {
            Store(n, nKey, pItem);
            return pItem;
        }
    }
    const int32_t nFirstNew = m_nCapacity;
    if (!Grow()) {
        return nullptr;
    }
    Store(nFirstNew, nKey, pItem);
    return pItem;
}
