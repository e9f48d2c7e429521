#include "NTEvents/Audit/AuditRights.h"

#include "platform/Accounts.h"

const std::array<AuditRight, kFileRightCount> g_FileRights = {{
    {"Read", 0x81000000},
    {"Write", 0x01120116},
    {"Execute", 0x20000000},
    {"Delete", 0x00010040},
    {"Change Permissions", 0x00040000},
    {"Take Ownership", 0x00080000},
}};

const std::array<AuditRight, kRegistryRightCount> g_RegistryRights = {{
    {"Query", 0x00000001},
    {"Set Value", 0x00000002},
    {"Create Subkey", 0x00000004},
    {"Enum Subkeys", 0x00000008},
    {"Notify", 0x00000010},
    {"Create Link", 0x00000020},
    {"Delete", 0x00010000},
    {"Write DAC", 0x00040000},
    {"Read Control", 0x00020000},
}};

AuditSetting ParseAuditSetting(const std::string& strValue) {
    if (strValue == "Success") {
        return {true, false};
    }
    if (strValue == "Failure") {
        return {false, true};
    }
    return {true, true};
}

const char* AuditSettingText(bool bSuccess, bool bFailure) {
    if (bSuccess && bFailure) {
        return "Both";
    }
    if (bSuccess) {
        return "Success";
    }
    return bFailure ? "Failure" : nullptr;
}

namespace {

std::string g_strEveryoneName;

// Names of up to 100 characters fit; a longer one is not the world
// account's name as any system reports it.
constexpr uint32_t kEveryoneNameSize = 256;

}  // namespace

void RefreshEveryoneName() {
    const uint8_t worldAuthority[6] = {0, 0, 0, 0, 0, 1};
    const uint32_t worldSubAuthority = 0;
    plat::Sid world;
    g_strEveryoneName = "EveryOne";
    if (plat::AllocateAndInitializeSid(worldAuthority, 1, &worldSubAuthority, world) != 0) {
        return;
    }
    uint32_t nameSize = 0;
    uint32_t domainSize = 0;
    plat::LookupAccountSid(world.data(), world.size(), nullptr, &nameSize, nullptr, &domainSize,
                           nullptr);
    if (nameSize == 0 || nameSize > kEveryoneNameSize || domainSize > kEveryoneNameSize) {
        return;
    }
    std::string name(nameSize, '\0');
    std::string domain(domainSize, '\0');
    uint32_t use = 0;
    if (plat::LookupAccountSid(world.data(), world.size(), name.data(), &nameSize, domain.data(),
                               &domainSize, &use) == 0) {
        name.resize(nameSize);
        g_strEveryoneName = name;
    }
}

const std::string& GetEveryoneName() {
    if (g_strEveryoneName.empty()) {
        RefreshEveryoneName();
    }
    return g_strEveryoneName;
}
