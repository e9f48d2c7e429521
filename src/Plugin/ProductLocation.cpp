#include "Plugin/ProductLocation.h"

#include <cstdint>
#include <cstring>

#include "platform/Console.h"
#include "platform/Environment.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/FileFunctions.h"

namespace {

constexpr const char kRootName[] = "HKEY_LOCAL_MACHINE";
constexpr const char kPathKey[] = "SOFTWARE\\QOR\\Path";
constexpr const char kDaemonKey[] = "SOFTWARE\\QOR\\qorDaemon\\config";
constexpr const char kDaemonValue[] = "daemonpath";
constexpr const char kSensorRootName[] = "HostWardenRoot";
constexpr const char kDaemonRootName[] = "DaemonRoot";
constexpr const char kDaemonFolder[] = "qorDaemon";

// Buffer sizes of the registry reads, terminators included.
constexpr uint32_t kValueNameSize = 256;
constexpr uint32_t kValueDataSize = 261;

// Closes a registry key when the scope ends.
class OpenKey {
public:
    explicit OpenKey(const char* pszPath) {
        m_dwResult = plat::RegistryOpenKey(plat::kRegistryLocalMachine, pszPath, &m_key);
    }
    ~OpenKey() {
        if (m_dwResult == 0) {
            plat::RegistryCloseKey(m_key);
        }
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    bool IsOpen() const { return m_dwResult == 0; }
    plat::RegistryKey Get() const { return m_key; }

private:
    plat::RegistryKey m_key = 0;
    uint32_t m_dwResult = 0;
};

// The string data of a registry value: up to its first NUL, within the
// size the registry reported.
std::string DataText(const uint8_t* pData, uint32_t dwSize) {
    const char* text = reinterpret_cast<const char*>(pData);
    return std::string(text, strnlen(text, dwSize));
}

}  // namespace

ProductLocation::ProductLocation(const char* /*pszDirectory*/) {
    ReadRegistryTable();
    if (Lookup(kSensorRootName) == nullptr) {
        Add(kSensorRootName, plat::ExecutableDirectory());
    }
    if (Lookup(kDaemonRootName) == nullptr) {
        Add(kDaemonRootName, DaemonDefault());
    }
    ApplyEnvironment();
    m_pszSensorDirectory = Lookup(kSensorRootName);
}

ProductLocation::~ProductLocation() = default;

const char* ProductLocation::Lookup(const char* pszName) const {
    if (pszName == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < m_names.size(); ++i) {
        if (m_names[i] == pszName) {
            return m_values[i].c_str();
        }
    }
    return nullptr;
}

const char* ProductLocation::GetSensorDirectory() const { return m_pszSensorDirectory; }

void ProductLocation::Add(const std::string& name, std::string value) {
    AppendPathSeparator(value);
    m_names.push_back(name);
    m_values.push_back(std::move(value));
}

void ProductLocation::ReadRegistryTable() {
    OpenKey key(kPathKey);
    if (!key.IsOpen()) {
        CSF_LOG(kCSFLogError,
                "Unable to get product locations from the registry because key \"%s %s\" does "
                "not exist.",
                kRootName, kPathKey);
        plat::ConsolePrintf(
            "ERROR: Unable to get product locations from the registry because could not open "
            "key \"%s %s\"\n",
            kRootName, kPathKey);
        return;
    }
    for (uint32_t index = 0;; ++index) {
        char name[kValueNameSize];
        uint8_t data[kValueDataSize];
        uint32_t nameSize = sizeof name;
        uint32_t dataSize = sizeof data;
        uint32_t type = 0;
        uint32_t result =
            plat::RegistryEnumValue(key.Get(), index, name, &nameSize, &type, data, &dataSize);
        if (result == plat::kErrNoMoreItems) {
            break;
        }
        if (result != 0) {
            plat::ConsolePrintf("ERROR: got an error (%d) while enumerating the values for %s %s (%s)\n",
                                static_cast<int>(result), kRootName, kPathKey, ErrorWords(result).c_str());
            break;
        }
        if (type != plat::kRegistryString) {
            CSF_LOG(kCSFLogWarning, "\"%s\" is an unexpected non-string value under \"%s\\%s\"\n",
                    name, kRootName, kPathKey);
            plat::ConsolePrintf(
                "WARNING: \"%s\" is an unexpected non-string value under \"%s\\%s\"\n", name,
                kRootName, kPathKey);
            continue;
        }
        std::string value = DataText(data, dataSize);
        if (value.empty()) {
            CSF_LOG(kCSFLogWarning,
                    "Ignoring setting product location \"%s\\%s\\%s\" because it has no value\n",
                    kRootName, kPathKey, name);
            plat::ConsolePrintf(
                "WARNING: Ignoring setting product location \"%s\\%s\\%s\" because it has no "
                "value\n",
                kRootName, kPathKey, name);
            continue;
        }
        Add(name, std::move(value));
    }
}

std::string ProductLocation::DaemonDefault() const {
    OpenKey key(kDaemonKey);
    if (key.IsOpen()) {
        uint8_t data[kValueDataSize];
        uint32_t dataSize = sizeof data;
        uint32_t type = 0;
        uint32_t result = plat::RegistryQueryValue(key.Get(), kDaemonValue, &type, data, &dataSize);
        if (result != 0) {
            CSF_LOG(kCSFLogError, "Could not open the Daemon path registry key (%s\\%s\\%s)\n",
                    kRootName, kDaemonKey, kDaemonValue);
            plat::ConsolePrintf("ERROR: Could not open the Daemon path registry key (%s\\%s\\%s)\n",
                                kRootName, kDaemonKey, kDaemonValue);
        } else if (type != plat::kRegistryString) {
            CSF_LOG(kCSFLogError, "%s is an unexpected non-string value under %s %s\n",
                    kDaemonValue, kRootName, kDaemonKey);
            plat::ConsolePrintf("ERROR: %s is an unexpected non-string value under %s %s\n",
                                kDaemonValue, kRootName, kDaemonKey);
        } else {
            std::string value = DataText(data, dataSize);
            AppendPathSeparator(value);
            return value;
        }
    }
    // The daemon is installed beside the sensor: the parent of the sensor's
    // folder.
    const char* sensorRoot = Lookup(kSensorRootName);
    std::string parent = sensorRoot != nullptr ? sensorRoot : "";
    if (!parent.empty()) {
        parent.pop_back();
    }
    size_t cut = parent.find_last_of("/\\");
    parent.resize(cut == std::string::npos ? 0 : cut + 1);
    parent += kDaemonFolder;
    parent += kPathSeparator;
    return parent;
}

void ProductLocation::ApplyEnvironment() {
    size_t i = 0;
    while (i < m_names.size()) {
        const std::string& name = m_names[i];
        std::string& value = m_values[i];
        std::string fromEnvironment;
        if (plat::GetEnvironmentText(name.c_str(), fromEnvironment)) {
            AppendPathSeparator(fromEnvironment);
            value = std::move(fromEnvironment);
        } else {
            // Children see the folder without its final separator, as a
            // variable naming a folder is usually written.
            std::string exported = value.substr(0, value.size() - 1);
            plat::SetEnvironmentText(name.c_str(), exported.c_str());
        }
        if (!FileExists(value.c_str())) {
            CSF_LOG(kCSFLogError,
                    "Ignoring setting product location \"%s\" = \"%s\" because it does not "
                    "exist\n",
                    name.c_str(), value.c_str());
            plat::ConsolePrintf(
                "ERROR: Ignoring setting product location \"%s\" = \"%s\" because it does not "
                "exist\n",
                name.c_str(), value.c_str());
            m_names.erase(m_names.begin() + static_cast<std::ptrdiff_t>(i));
            m_values.erase(m_values.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
}

size_t ProductLocation::ExpandPath(const char* pszSource, char* pszOutput, size_t nSize) {
    return plat::ExpandEnvironmentStrings(pszSource, pszOutput, nSize);
}
