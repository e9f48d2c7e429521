#pragma once
// Numbered sections of text label/value pairs in a named shared-memory
// segment, shared with the script process.  Everything inside the segment
// is addressed by offsets from its first byte, so each process may map it
// anywhere; the layout is described in SharedSegment.h.
//
// Every operation on a mapped store holds the cross-process semaphore
// "_ShMem_sem_" for its whole work and fails when it cannot take it within
// kLockWaitMs: the script process holds it for a copy, so one that keeps it
// (stopped, hung) fails the operations that need it and holds up no thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qorToolsLib/GenAlloc.h"
#include "qorToolsLib/SharedIdList.h"
#include "qorToolsLib/jsSemaphore.h"
#include "qorToolsLib/jsSharedMemory.h"

class SharedMemoryStore {
public:
    // How long an operation waits for either of the store's semaphores.
    static constexpr uint32_t kLockWaitMs = 2000;

    explicit SharedMemoryStore(const char* name);
    ~SharedMemoryStore();
    SharedMemoryStore(const SharedMemoryStore&) = delete;
    SharedMemoryStore& operator=(const SharedMemoryStore&) = delete;

    // Maps the segment, laying it out afresh when `create` is set; the
    // segment holds `size` rounded up past the next allocation granule.
    // A process that opens without `create` uses the contents as they are.
    bool Open(bool create, uint32_t size);
    bool IsMapped() const { return m_pBase != nullptr; }

    bool InsertId(uint32_t id);
    bool RemoveId(uint32_t id);
    bool ClearSection(uint32_t id);
    bool SetSection(uint32_t id, const char* label, const char* value);
    // NextId, InsertId and SetSection for each pair, in one hold of the
    // semaphores: the id (0 when not mapped), with `inserted` false when the
    // section could not be made whole (the area is full); a section missing
    // some of its pairs is removed again.
    uint32_t InsertNextSection(const SharedIdList::Pairs& pairs, bool& inserted);
    // SetSection for each pair in one hold of the semaphores; false when
    // the section is absent or some pair could not be set.
    bool SetPairs(uint32_t id, const SharedIdList::Pairs& pairs);
    // GetSection and RemoveId in one hold; false when the section is
    // absent (nothing removed) or could not be read whole (removed all the
    // same).
    bool TakeSection(uint32_t id, std::vector<std::string>& labels,
                     std::vector<std::string>& values);
    bool GetValue(uint32_t id, const char* label, std::string& value);
    bool RemoveValue(uint32_t id, const char* label);
    bool GetSection(uint32_t id, std::vector<std::string>& labels,
                    std::vector<std::string>& values);
    bool Clear();
    // The next section id (1 to 0x7FFFFFFF), or 0 when not mapped.
    uint32_t NextId();

    const std::string& Name() const { return m_sName; }
    // Why the last Open failed, in a few words with the system's reason;
    // empty after a successful one.
    const std::string& Problem() const { return m_sProblem; }
    bool IsCreator() const { return m_bCreator; }
    // Damaged segment entries that made operations fail.
    uint32_t DamageCount() const;
    // Free blocks this process's releases walked past: what freeing costs.
    uint64_t FreeWalkSteps() const;
    // Blocks on the free list now (0 when not mapped or damaged).
    uint32_t FreeBlockCount();

private:
    template <typename Operation>
    auto Locked(Operation operation) -> decltype(operation());
    bool Acquire();
    void Release();

    uint8_t* m_pBase = nullptr;
    std::unique_ptr<jsSharedMemory> m_pMapping;
    std::unique_ptr<SEMAPHORE> m_pSemaphore;
    // Records the failed step of Open with the thread's last error.
    void NoteProblem(const std::string& step);

    std::string m_sName;
    std::string m_sProblem;
    bool m_bCreator = false;
    std::unique_ptr<GenAlloc> m_pAllocator;
    std::unique_ptr<SharedIdList> m_pList;
};
