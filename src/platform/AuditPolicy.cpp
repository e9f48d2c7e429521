#include "platform/AuditPolicy.h"

#include <atomic>
#include <string>

#include "platform/Registry.h"

namespace plat {
namespace {

constexpr const char* kPolicyKey = "SECURITY\\Policy\\AuditEvents";
constexpr uint32_t kDefaultCategoryCount = 9;
// More than any system reports; a larger stored count is a damaged state.
constexpr uint32_t kMaxCategoryCount = 64;
std::atomic<LsaHandle> g_nextHandle{1};

uint32_t ReadWord(RegistryKey key, const char* name, uint32_t def) {
    uint32_t word = 0;
    uint32_t size = sizeof word;
    uint32_t type = 0;
    if (RegistryQueryValue(key, name, &type, reinterpret_cast<uint8_t*>(&word), &size) != 0 ||
        type != kRegistryWord || size != sizeof word) {
        return def;
    }
    return word;
}

uint32_t WriteWord(RegistryKey key, const std::string& name, uint32_t word) {
    return RegistrySetValue(key, name.c_str(), kRegistryWord,
                            reinterpret_cast<const uint8_t*>(&word), sizeof word);
}

// The status stored under `name`, 0 when the key or value is absent.
uint32_t StoredStatus(const char* name) {
    RegistryKey key = 0;
    if (RegistryOpenKey(kRegistryLocalMachine, kPolicyKey, &key) != 0) {
        return 0;
    }
    uint32_t status = ReadWord(key, name, 0);
    RegistryCloseKey(key);
    return status;
}

}  // namespace

uint32_t LsaOpenAuditPolicy(uint32_t /*access*/, LsaHandle* handle) {
    if (handle == nullptr) {
        return kLsaStatusInvalidParameter;
    }
    *handle = 0;
    if (uint32_t status = StoredStatus("OpenStatus"); status != 0) {
        return status;
    }
    *handle = g_nextHandle.fetch_add(1);
    return 0;
}

uint32_t LsaQueryAuditEvents(LsaHandle handle, bool* auditingMode, std::vector<uint32_t>* options) {
    if (handle == 0) {
        return kLsaStatusInvalidHandle;
    }
    if (auditingMode == nullptr || options == nullptr) {
        return kLsaStatusInvalidParameter;
    }
    RegistryKey key = 0;
    bool open = RegistryOpenKey(kRegistryLocalMachine, kPolicyKey, &key) == 0;
    uint32_t count =
        open ? ReadWord(key, "CategoryCount", kDefaultCategoryCount) : kDefaultCategoryCount;
    if (count > kMaxCategoryCount) {
        count = kMaxCategoryCount;
    }
    *auditingMode = open && ReadWord(key, "AuditingMode", 0) != 0;
    options->assign(count, 4);
    for (uint32_t i = 0; open && i < count; ++i) {
        (*options)[i] = ReadWord(key, ("Option" + std::to_string(i)).c_str(), 4);
    }
    if (open) {
        RegistryCloseKey(key);
    }
    return 0;
}

uint32_t LsaSetAuditEvents(LsaHandle handle, bool auditingMode, const uint32_t* options,
                           uint32_t count) {
    if (handle == 0) {
        return kLsaStatusInvalidHandle;
    }
    if ((options == nullptr && count != 0) || count > kMaxCategoryCount) {
        return kLsaStatusInvalidParameter;
    }
    if (uint32_t status = StoredStatus("SetStatus"); status != 0) {
        return status;
    }
    RegistryKey key = 0;
    uint32_t result = RegistryCreateKey(kRegistryLocalMachine, kPolicyKey, &key);
    if (result != 0) {
        return kLsaStatusInvalidParameter;
    }
    result = WriteWord(key, "AuditingMode", auditingMode ? 1 : 0);
    for (uint32_t i = 0; result == 0 && i < count; ++i) {
        result = WriteWord(key, "Option" + std::to_string(i), options[i]);
    }
    RegistryCloseKey(key);
    return result == 0 ? 0 : kLsaStatusInvalidParameter;
}

uint32_t LsaCloseAuditPolicy(LsaHandle handle) {
    return handle == 0 ? kLsaStatusInvalidHandle : 0;
}

}  // namespace plat
