#pragma once
// A loaded shared library.  Copies share one body, and the library is
// unloaded when the last copy goes.  Library names follow the mapping of
// platform/DynamicLoader.h.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/DynamicLoader.h"
#include "qorToolsLib/qorStatus.h"

class DynamicLibrary {
public:
    DynamicLibrary();
    DynamicLibrary(const DynamicLibrary& other) = default;
    DynamicLibrary& operator=(const DynamicLibrary& other) = default;
    virtual ~DynamicLibrary();

    // Unloads what the handle held, then loads `name`: 0, or 0xC721000B
    // with the system error kept for TakeLastError.
    StatusCode Load(const char* name);
    // 0xC7210009 when nothing is loaded; 0xC7210005 when unloading fails.
    StatusCode Free();
    // The entry point, or null with the system error kept.
    void* GetProc(const char* name);

    // Answers the kept system error and clears it.
    uint32_t TakeLastError();
    // The kept error's message text (see StatusText).
    const char* ErrorText();

    bool IsLoaded() const { return m_pBody->m_hModule != nullptr; }
    const std::string& Name() const { return m_pBody->m_sName; }

private:
    struct Body {
        ~Body();
        std::string m_sName;
        plat::ModuleHandle m_hModule = nullptr;
        uint32_t m_dwLastError = 0;
    };

    std::shared_ptr<Body> m_pBody;
};

// The entry point `name` of `library` as a function of type F, or null.
template <typename F>
F GetProcAs(DynamicLibrary& library, const char* name) {
    return reinterpret_cast<F>(library.GetProc(name));
}

// The message text of a status as the library's error object words it.  The
// text stays valid until this thread's next call.
const char* StatusText(uint32_t status);
