// Exchange of settings with the registry: a registry key tree imported into
// the store, and a store key exported into the registry.

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/LastError.h"
#include "qorToolsLib/ConfigStore.h"

namespace {

// First buffer sizes of a walk; they grow whenever the registry answers
// that an entry needs more.
constexpr uint32_t kValueNameBuffer = 100;
constexpr uint32_t kValueDataBuffer = 1024;
constexpr uint32_t kKeyNameBuffer = 80;
// An entry that keeps outgrowing its buffer (it changes under the walk) is
// skipped after this many tries rather than retried forever.
constexpr int kMaxGrowths = 4;

}  // namespace

int32_t ConfigStore::ImportRegistry(plat::RegistryKey parent, const std::string& subKey,
                                    const std::string& path) {
    plat::RegistryKey key = 0;
    uint32_t error = plat::RegistryOpenKey(parent, subKey.c_str(), &key);
    if (error != plat::kErrSuccess) {
        return static_cast<int32_t>(error);
    }
    ImportValues(key, path);
    ImportSubKeys(key, path);
    plat::RegistryCloseKey(key);
    return 0;
}

// Walks the entries of a registry key by index until the registry has no
// more.  `read` answers the registry's result for one index and grows its
// own buffers when that is "more data" and it is told it may retry.  Every
// entry is read however long it is, so one long value costs neither itself
// nor the entries after it; an entry that keeps outgrowing its buffer (it
// changes under the walk) is skipped.
namespace {

template <typename Read>
void WalkRegistryEntries(Read read) {
    int growths = 0;
    for (uint32_t index = 0;;) {
        uint32_t error = read(index, growths + 1 < kMaxGrowths);
        if (error == plat::kErrMoreData) {
            if (++growths >= kMaxGrowths) {
                growths = 0;
                ++index;
            }
            continue;
        }
        if (error != plat::kErrSuccess) {
            return;
        }
        growths = 0;
        ++index;
    }
}

}  // namespace

void ConfigStore::ImportValues(plat::RegistryKey key, const std::string& path) {
    std::vector<char> name(kValueNameBuffer);
    std::vector<uint8_t> data(kValueDataBuffer);
    WalkRegistryEntries([&](uint32_t index, bool mayGrow) {
        auto nameSize = static_cast<uint32_t>(name.size());
        auto dataSize = static_cast<uint32_t>(data.size());
        uint32_t type = 0;
        uint32_t error = plat::RegistryEnumValue(key, index, name.data(), &nameSize, &type,
                                                 data.data(), &dataSize);
        if (error == plat::kErrMoreData && mayGrow) {
            name.resize(std::max<size_t>(name.size(), nameSize));
            data.resize(std::max<size_t>(data.size(), dataSize));
        }
        if (error != plat::kErrSuccess) {
            return error;
        }
        std::string valueName(name.data(), nameSize);
        if (type == plat::kRegistryString) {
            const char* text = reinterpret_cast<const char*>(data.data());
            SetString(path, valueName, std::string(text, strnlen(text, dataSize)));
        } else if (type == plat::kRegistryWord && dataSize >= 4) {
            int32_t word = 0;
            std::memcpy(&word, data.data(), 4);
            SetLong(path, valueName, word);
        }
        return error;
    });
}

void ConfigStore::ImportSubKeys(plat::RegistryKey key, const std::string& path) {
    std::vector<char> name(kKeyNameBuffer);
    WalkRegistryEntries([&](uint32_t index, bool mayGrow) {
        auto nameSize = static_cast<uint32_t>(name.size());
        uint32_t error = plat::RegistryEnumKey(key, index, name.data(), &nameSize);
        if (error == plat::kErrMoreData && mayGrow) {
            name.resize(std::max<size_t>(name.size(), nameSize));
        }
        if (error == plat::kErrSuccess) {
            std::string subKey(name.data(), nameSize);
            ImportRegistry(key, subKey, path + "\\" + subKey);
        }
        return error;
    });
}

int32_t ConfigStore::ExportToRegistry(plat::RegistryKey parent, const std::string& path,
                                      int usePath) {
    ConfigNode* key = usePath == 0 ? m_pRoot : FindKey(path);
    return ExportKeyToRegistry(parent, key);
}

int32_t ConfigStore::ExportKeyToRegistry(plat::RegistryKey parent, ConfigNode* key) {
    if (key == nullptr) {
        return -1;
    }
    int32_t result = ExportKey(parent, key);
    uint32_t flushed = plat::RegistryFlush();
    return result != 0 ? result : static_cast<int32_t>(flushed);
}

// Answers the first failure but goes on with the rest, so one value the
// registry refuses does not cost the others.
int32_t ConfigStore::ExportKey(plat::RegistryKey parent, ConfigNode* key) {
    plat::RegistryKey target = parent;
    const std::string& name = key->GetName();
    bool opened = !(name.empty() || name == " ");
    if (opened) {
        uint32_t error = plat::RegistryCreateKey(parent, name.c_str(), &target);
        if (error != plat::kErrSuccess) {
            return static_cast<int32_t>(error);
        }
    }
    uint32_t first = plat::kErrSuccess;
    auto note = [&first](uint32_t error) {
        if (first == plat::kErrSuccess) {
            first = error;
        }
    };
    for (const ConfigNode* node : key->GetValues()) {
        if (!node->IsValue()) {
            continue;
        }
        const auto& value = static_cast<const ConfigValue&>(*node);
        const char* valueName = value.GetName().c_str();
        uint32_t word = 0;
        switch (value.GetType()) {
            case ConfigValue::kText:
                note(plat::RegistrySetValue(target, valueName, plat::kRegistryString,
                                            reinterpret_cast<const uint8_t*>(value.Text().c_str()),
                                            static_cast<uint32_t>(value.Text().size() + 1)));
                break;
            case ConfigValue::kLong:
            case ConfigValue::kBool:
                word = value.GetType() == ConfigValue::kLong ? static_cast<uint32_t>(value.Long())
                                                             : (value.Bool() ? 1u : 0u);
                note(plat::RegistrySetValue(target, valueName, plat::kRegistryWord,
                                            reinterpret_cast<const uint8_t*>(&word), 4));
                break;
            default:
                break;
        }
    }
    for (ConfigNode* child : key->GetChildren()) {
        note(static_cast<uint32_t>(ExportKey(target, child)));
    }
    if (opened) {
        plat::RegistryCloseKey(target);
    }
    return static_cast<int32_t>(first);
}
