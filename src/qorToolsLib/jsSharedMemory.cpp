#include "qorToolsLib/jsSharedMemory.h"

#include "platform/Console.h"
#include "platform/LastError.h"
#include "qorToolsLib/ErrorWords.h"

struct jsSharedMemory::MappingState {
    plat::SharedMapping mapping;
    void* view = nullptr;
    uint32_t requestedSize = 0;
    uint64_t mappingSize = 0;
    std::string name;
    uint32_t lastError = 0;
    bool creator = false;
};

jsSharedMemory::jsSharedMemory(const char* name) : m_pState(std::make_unique<MappingState>()) {
    m_pState->name = name != nullptr ? name : "";
}

jsSharedMemory::~jsSharedMemory() {
    Detach();
}

void* jsSharedMemory::Attach(uint32_t size, void* base) {
    MappingState& state = *m_pState;
    if (state.view != nullptr) {
        return state.view;
    }
    if (!state.mapping.IsOpen()) {
        bool opened;
        if (size != 0) {
            state.requestedSize = size;
            state.mappingSize =
                uint64_t{size} + plat::kAllocationGranularity - size % plat::kAllocationGranularity;
            opened = state.mapping.Create(state.name, state.mappingSize);
            state.lastError = plat::GetLastError();
            state.creator = opened && state.lastError != plat::kErrAlreadyExists;
        } else {
            opened = state.mapping.Open(state.name);
            state.lastError = plat::GetLastError();
        }
        if (!opened) {
            plat::ConsolePrintf("Create didn't work. error = %ld. (%s)\n",
                                static_cast<long>(state.lastError),
                                ErrorWords(state.lastError).c_str());
            return nullptr;
        }
    }
    state.view = state.mapping.Map(base);
    state.lastError = plat::GetLastError();
    if (state.view == nullptr) {
        plat::ConsolePrintf("Attach didn't work. error = %ld. (%s)\n",
                            static_cast<long>(state.lastError), ErrorWords(state.lastError).c_str());
    } else {
        state.mappingSize = state.mapping.Size();
    }
    return state.view;
}

void jsSharedMemory::Detach() {
    MappingState& state = *m_pState;
    state.mapping.Close();
    if (state.view != nullptr) {
        if (!state.mapping.Unmap()) {
            const uint32_t dwError = plat::GetLastError();
            plat::ConsolePrintf("Detach didn't work. error = %ld. (%s)\n",
                                static_cast<long>(dwError), ErrorWords(dwError).c_str());
        }
        state.view = nullptr;
    }
}

void* jsSharedMemory::Address() const {
    return m_pState->view;
}

bool jsSharedMemory::IsCreator() const {
    return m_pState->creator;
}

uint32_t jsSharedMemory::LastError() const {
    return m_pState->lastError;
}

uint32_t jsSharedMemory::RequestedSize() const {
    return m_pState->requestedSize;
}

uint64_t jsSharedMemory::MappingSize() const {
    return m_pState->mappingSize;
}
