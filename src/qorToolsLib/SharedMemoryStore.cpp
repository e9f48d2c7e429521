#include "qorToolsLib/SharedMemoryStore.h"

#include "platform/LastError.h"
#include "platform/SharedMapping.h"
#include "platform/SystemMessage.h"

namespace {

// The smallest multiple of the granularity above `size`: a size that is
// already a multiple gains one whole granule, as the mapping itself does.
uint64_t RoundedSegmentSize(uint32_t size) {
    return uint64_t{size} + (plat::kAllocationGranularity - size % plat::kAllocationGranularity);
}

}  // namespace

SharedMemoryStore::SharedMemoryStore(const char* name) : m_sName(name != nullptr ? name : "") {}

SharedMemoryStore::~SharedMemoryStore() {
    if (m_pSemaphore != nullptr && m_bCreator && IsMapped() && Acquire()) {
        m_pList->ClearAll();
        Release();
    }
    m_pList.reset();
    m_pBase = nullptr;
    m_pMapping.reset();
    m_pSemaphore.reset();
    m_pAllocator.reset();
}

bool SharedMemoryStore::Acquire() {
    return m_pSemaphore->Acquire(kLockWaitMs) == 0;
}

void SharedMemoryStore::Release() {
    m_pSemaphore->Release(1);
}

void SharedMemoryStore::NoteProblem(const std::string& step) {
    const uint32_t error = plat::GetLastError();
    std::string reason;
    if (plat::LookupSystemMessage(error, nullptr, 0, reason) != 0) {
        reason = "error " + std::to_string(error);
    }
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                               reason.back() == '.' || reason.back() == ' ')) {
        reason.pop_back();
    }
    m_sProblem = step + " (" + reason + ")";
}

bool SharedMemoryStore::Open(bool create, uint32_t size) {
    m_sProblem.clear();
    if (m_pSemaphore == nullptr) {
        m_pSemaphore = std::make_unique<SEMAPHORE>("_ShMem_sem_");
        if (!m_pSemaphore->IsValid()) {
            NoteProblem("its lock _ShMem_sem_ could not be made");
            m_pSemaphore.reset();
            return false;
        }
    }
    if (!Acquire()) {
        NoteProblem("its lock _ShMem_sem_ could not be taken");
        return false;
    }
    if (IsMapped()) {
        // Opened before: only a creator's request lays the segment out again.
        bool ready = true;
        if (create) {
            m_pList->ClearAll();
            ready = m_pList->Initialise(static_cast<uint32_t>(RoundedSegmentSize(size)));
            m_bCreator = true;
        }
        Release();
        return ready;
    }
    bool opened = false;
    uint64_t rounded = RoundedSegmentSize(size);
    if (rounded <= UINT32_MAX) {
        if (m_pMapping == nullptr) {
            m_pMapping = std::make_unique<jsSharedMemory>(m_sName.c_str());
        }
        auto* view = static_cast<uint8_t*>(m_pMapping->Attach(static_cast<uint32_t>(rounded)));
        if (view == nullptr) {
            plat::SetLastError(m_pMapping->LastError());
            NoteProblem("the memory it is kept in could not be mapped");
        } else {
            uint64_t limit = m_pMapping->MappingSize();
            auto allocator =
                std::make_unique<GenAlloc>(view + SharedSegment::kFreeHeadOffset, view, limit);
            if (allocator->Init(static_cast<uint32_t>(rounded) - SharedSegment::kAreaStart,
                                create)) {
                m_pList = std::make_unique<SharedIdList>(view, limit, *allocator);
                m_pAllocator = std::move(allocator);
                m_pBase = view;
                opened = !create || m_pList->Initialise(static_cast<uint32_t>(rounded));
                m_bCreator = create;
                if (!opened) {
                    m_sProblem = "its first section could not be laid out";
                }
            } else {
                NoteProblem("its lock GenAlloc_semaphore could not be made");
            }
        }
    }
    Release();
    return opened;
}

template <typename Operation>
auto SharedMemoryStore::Locked(Operation operation) -> decltype(operation()) {
    if (!IsMapped() || !Acquire()) {
        return {};
    }
    auto result = operation();
    Release();
    return result;
}

bool SharedMemoryStore::InsertId(uint32_t id) {
    return id != 0 && Locked([&] { return m_pList->Insert(id); });
}

bool SharedMemoryStore::RemoveId(uint32_t id) {
    return id != 0 && Locked([&] { return m_pList->Remove(id); });
}

bool SharedMemoryStore::ClearSection(uint32_t id) {
    return Locked([&] { return m_pList->ClearSection(id); });
}

bool SharedMemoryStore::SetSection(uint32_t id, const char* label, const char* value) {
    return Locked([&] { return m_pList->SetSection(id, label, value); });
}

uint32_t SharedMemoryStore::InsertNextSection(const SharedIdList::Pairs& pairs, bool& inserted) {
    inserted = false;
    return Locked([&] {
        const uint32_t id = m_pList->NextId();
        GenAlloc::Hold hold(*m_pAllocator);
        if (id != 0 && m_pList->Insert(id)) {
            inserted = m_pList->SetPairs(id, pairs);
            if (!inserted) {
                m_pList->Remove(id);
            }
        }
        return id;
    });
}

bool SharedMemoryStore::TakeSection(uint32_t id, std::vector<std::string>& labels,
                                    std::vector<std::string>& values) {
    bool read = false;
    const bool taken = Locked([&] {
        read = m_pList->GetSection(id, labels, values);
        GenAlloc::Hold hold(*m_pAllocator);
        return m_pList->Remove(id) && read;
    });
    // The lists are emptied only when they hold nothing read, so the
    // strings in them can take the next section's texts.
    if (!read) {
        labels.clear();
        values.clear();
    }
    return taken;
}

bool SharedMemoryStore::SetPairs(uint32_t id, const SharedIdList::Pairs& pairs) {
    return Locked([&] {
        GenAlloc::Hold hold(*m_pAllocator);
        return m_pList->SetPairs(id, pairs);
    });
}

bool SharedMemoryStore::GetValue(uint32_t id, const char* label, std::string& value) {
    return Locked([&] { return m_pList->GetValue(id, label, value); });
}

bool SharedMemoryStore::RemoveValue(uint32_t id, const char* label) {
    return Locked([&] { return m_pList->RemoveValue(id, label); });
}

bool SharedMemoryStore::GetSection(uint32_t id, std::vector<std::string>& labels,
                                   std::vector<std::string>& values) {
    const bool read = Locked([&] { return m_pList->GetSection(id, labels, values); });
    if (!read) {
        labels.clear();
        values.clear();
    }
    return read;
}

bool SharedMemoryStore::Clear() {
    return Locked([&] {
        m_pList->ClearAll();
        return m_pList->Insert(0);
    });
}

uint32_t SharedMemoryStore::NextId() {
    return Locked([&] { return m_pList->NextId(); });
}

uint32_t SharedMemoryStore::DamageCount() const {
    if (m_pList == nullptr) {
        return 0;
    }
    return m_pList->DamageCount() + m_pAllocator->DamageCount();
}

uint64_t SharedMemoryStore::FreeWalkSteps() const {
    return m_pAllocator != nullptr ? m_pAllocator->FreeWalkSteps() : 0;
}

uint32_t SharedMemoryStore::FreeBlockCount() {
    return Locked([&] { return m_pAllocator->FreeBlockCount(); });
}
