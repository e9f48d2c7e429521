#include "platform/ModuleAddress.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cxxabi.h>
#include <climits>
#include <cstdlib>

namespace plat {
namespace {

struct SegmentSearch {
    uintptr_t address;
    bool found;
    std::string path;
    uint32_t segment;
    uintptr_t offset;
};

int SearchModule(dl_phdr_info* info, size_t, void* argument) {
    auto* search = static_cast<SegmentSearch*>(argument);
    uint32_t loadIndex = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) {
            continue;
        }
        ++loadIndex;
        uintptr_t start = info->dlpi_addr + header.p_vaddr;
        if (search->address >= start && search->address < start + header.p_memsz) {
            search->found = true;
            search->path = info->dlpi_name != nullptr ? info->dlpi_name : "";
            search->segment = loadIndex;
            search->offset = search->address - start;
            return 1;
        }
    }
    return 0;
}

std::string ProgramPath() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

}  // namespace

bool FindModuleSegment(uintptr_t address, std::string& path, uint32_t& segment, uintptr_t& offset) {
    SegmentSearch search{address, false, {}, 0, 0};
    dl_iterate_phdr(SearchModule, &search);
    if (!search.found) {
        path.clear();
        segment = 0;
        offset = address;
        return false;
    }
    // The program itself is listed without a name.
    path = search.path.empty() ? ProgramPath() : search.path;
    segment = search.segment;
    offset = search.offset;
    return true;
}

bool FindSymbol(uintptr_t address, std::string& name, uintptr_t& displacement) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_sname == nullptr ||
        info.dli_saddr == nullptr) {
        return false;
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    name = status == 0 && demangled != nullptr ? demangled : info.dli_sname;
    std::free(demangled);
    displacement = address - reinterpret_cast<uintptr_t>(info.dli_saddr);
    return true;
}

}  // namespace plat
