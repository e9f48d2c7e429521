#pragma once
// Where the build put the module stand-ins, and whether a library is mapped.

#include <dlfcn.h>

#include <string>

namespace zamtest {

inline std::string BinPath(const char* file) {
    return std::string(HW_BINARY_DIR) + "/bin/" + file;
}

inline std::string ModulePath() {
    return BinPath("libqor-zam1.so");
}

inline std::string IssueFile() {
    return std::string(HW_SOURCE_DIR) + "/examples/demo/Duskwall/issues.csv";
}

inline bool IsMapped(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

}  // namespace zamtest
