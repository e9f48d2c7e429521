#include "platform/DynamicLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "platform/LastError.h"

namespace plat {
namespace {

thread_local std::string t_loaderMessage;

void KeepLoaderMessage() {
    const char* text = ::dlerror();
    t_loaderMessage = text != nullptr ? text : "";
}

bool EndsWithDll(const std::string& name) {
    if (name.size() < 4) {
        return false;
    }
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".dll";
}

}  // namespace

std::string ThisModuleDirectory() {
    Dl_info info{};
    std::string path;
    if (::dladdr(reinterpret_cast<void*>(&ThisModuleDirectory), &info) != 0 &&
        info.dli_fname != nullptr) {
        path = info.dli_fname;
    }
    if (path.find('/') == std::string::npos) {
        // The main program reports no usable path of its own.
        char buffer[4096];
        ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        path = length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
    }
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string MapLibraryName(const char* name) {
    std::string text = name != nullptr ? name : "";
    if (!EndsWithDll(text)) {
        return text;
    }
    size_t separator = text.find_last_of("/\\");
    std::string base = text.substr(separator == std::string::npos ? 0 : separator + 1);
    base.resize(base.size() - 4);
    std::transform(base.begin(), base.end(), base.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string file = "lib" + base + ".so";
    if (separator != std::string::npos) {
        std::string folder = text.substr(0, separator);
        std::replace(folder.begin(), folder.end(), '\\', '/');
        // A site may install the library in the folder its name gives.
        std::string placed = folder + "/" + file;
        if (::access(placed.c_str(), F_OK) == 0) {
            return placed;
        }
    }
    return ThisModuleDirectory() + "/" + file;
}

ModuleHandle LoadModule(const char* name) {
    if (name == nullptr || *name == '\0') {
        SetLastError(kErrModNotFound);
        return nullptr;
    }
    std::string file = MapLibraryName(name);
    ModuleHandle module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        KeepLoaderMessage();
        SetLastError(kErrModNotFound);
    }
    return module;
}

bool FreeModule(ModuleHandle module) {
    if (module == nullptr || ::dlclose(module) != 0) {
        KeepLoaderMessage();
        SetLastError(kErrInvalidHandle);
        return false;
    }
    return true;
}

void* FindModuleSymbol(ModuleHandle module, const char* name) {
    if (module == nullptr) {
        SetLastError(kErrInvalidHandle);
        return nullptr;
    }
    if (name == nullptr) {
        SetLastError(kErrProcNotFound);
        return nullptr;
    }
    ::dlerror();
    void* symbol = ::dlsym(module, name);
    if (symbol == nullptr) {
        KeepLoaderMessage();
        SetLastError(kErrProcNotFound);
    }
    return symbol;
}

std::string LastLoaderMessage() {
    return t_loaderMessage;
}

}  // namespace plat
