#include "qorToolsLib/DynamicLibrary.h"

#include "platform/LastError.h"
#include "qorToolsLib/QORError.h"

DynamicLibrary::Body::~Body() {
    if (m_hModule != nullptr) {
        plat::FreeModule(m_hModule);
    }
}

DynamicLibrary::DynamicLibrary() : m_pBody(std::make_shared<Body>()) {}

DynamicLibrary::~DynamicLibrary() = default;

StatusCode DynamicLibrary::Load(const char* name) {
    if (m_pBody->m_hModule != nullptr) {
        plat::FreeModule(m_pBody->m_hModule);
        m_pBody->m_hModule = nullptr;
    }
    plat::ModuleHandle module = plat::LoadModule(name);
    if (module == nullptr) {
        m_pBody->m_dwLastError = plat::GetLastError();
        return QOR_E_PATH_NOT_FOUND;
    }
    m_pBody->m_sName = name;
    m_pBody->m_hModule = module;
    m_pBody->m_dwLastError = 0;
    return QOR_S_OK;
}

StatusCode DynamicLibrary::Free() {
    if (m_pBody->m_hModule == nullptr) {
        return QOR_E_LIBRARY_STATE;
    }
    if (!plat::FreeModule(m_pBody->m_hModule)) {
        m_pBody->m_dwLastError = plat::GetLastError();
        return QOR_E_WRONG_STATE;
    }
    m_pBody->m_hModule = nullptr;
    m_pBody->m_dwLastError = 0;
    return QOR_S_OK;
}

void* DynamicLibrary::GetProc(const char* name) {
    void* entry = plat::FindModuleSymbol(m_pBody->m_hModule, name);
    if (entry == nullptr) {
        m_pBody->m_dwLastError = plat::GetLastError();
    }
    return entry;
}

uint32_t DynamicLibrary::TakeLastError() {
    uint32_t error = m_pBody->m_dwLastError;
    m_pBody->m_dwLastError = 0;
    return error;
}

const char* DynamicLibrary::ErrorText() {
    return StatusText(m_pBody->m_dwLastError);
}

const char* StatusText(uint32_t status) {
    // One text per thread, so two threads wording errors at once do not
    // overwrite each other's.
    thread_local QORError t_error;
    t_error.SetStatus(status);
    return t_error.GetMessage(80);
}
