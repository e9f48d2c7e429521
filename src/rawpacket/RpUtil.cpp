#include "rawpacket/RpUtil.h"

#include "platform/DynamicLoader.h"
#include "platform/LastError.h"
#include "platform/OsVersion.h"
#include "rawpacket/RpErrors.h"

namespace rp {

ModuleHandle loadLibrary(const char* name, const char* file, int line) {
    ModuleHandle module = plat::LoadModule(name);
    if (module == nullptr) {
        throwResourceError(name, plat::GetLastError(), file, line);
    }
    return module;
}

void* getProcAddress(ModuleHandle module, const char* name) {
    return module == nullptr ? nullptr : plat::FindModuleSymbol(module, name);
}

void freeLibrary(ModuleHandle& module) {
    if (module != nullptr) {
        plat::FreeModule(module);
    }
    module = nullptr;
}

uint32_t ensureDriverService(const char*, const char*, const char*, const char*, bool) {
    return plat::kErrNotSupported;
}
uint32_t createDriverService(const char*, const char*, const char*) { return plat::kErrNotSupported; }
uint32_t deleteDriverService(const char*) { return plat::kErrNotSupported; }
uint32_t startService(const char*) { return plat::kErrNotSupported; }
uint32_t stopService(const char*, bool, uint32_t) { return plat::kErrNotSupported; }

std::string makeSpecialDeviceName(uint32_t unit, uint64_t linkSpeed, const std::string& description,
                                  uint32_t variant) {
    if (unit < 1) {
        return std::string();
    }
    auto contains = [&description](const char* text) { return description.find(text) != std::string::npos; };
    std::string number = std::to_string(unit);
    if (contains("3C905C")) {
        if ((variant & 1) != 0) {
            return "\\Device\\mvel90x" + number + "_" + std::to_string(unit + 1);
        }
        if ((variant & 2) != 0) {
            return "\\Device\\mvel90xt" + number + "_" + std::to_string(unit + 1);
        }
        return "\\Device\\mvel90x" + number;
    }
    if (contains("Intel") || contains("Intel(R) PRO/1000") || contains("PRO/1000")) {
        return linkSpeed >= 1000000000ull ? "\\Device\\mve1000" + number : std::string();
    }
    if (contains("SK-NET GE") && (contains("Quellguard") || contains("QOR"))) {
        return "\\Device\\mvsk98" + number;
    }
    return std::string();
}

bool isWindowsAtLeast(uint32_t major, uint32_t minor, uint32_t servicePack) {
    plat::OsVersion version;
    if (!plat::GetOsVersion(version)) {
        return false;
    }
    if (version.m_dwMajorVersion != major) {
        return version.m_dwMajorVersion > major;
    }
    if (version.m_dwMinorVersion != minor) {
        return version.m_dwMinorVersion > minor;
    }
    // This platform reports no service pack.
    return version.m_dwPlatformId != plat::kPlatformNT || servicePack == 0;
}

}  // namespace rp
