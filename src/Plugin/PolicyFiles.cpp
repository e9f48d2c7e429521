#include "Plugin/PolicyFiles.h"

#include <cstdint>
#include <cstring>

#include "qorCSFLib/PluginPolicyContainer.h"
#include "qorToolsLib/ConfigStore.h"
#include "qorToolsLib/FileFunctions.h"

namespace {

struct VersionFields {
    uint64_t m_qwThird = 0;
    uint64_t m_qwFourth = 0;
};

// A leading decimal number; digits past what 64 bits hold saturate.
uint64_t LeadingNumber(const char* pszText) {
    uint64_t value = 0;
    for (; *pszText >= '0' && *pszText <= '9'; ++pszText) {
        uint64_t digit = static_cast<uint64_t>(*pszText - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    return value;
}

bool ReadVersion(const char* pszText, VersionFields& fields) {
    if (pszText == nullptr) {
        return false;
    }
    const char* first = std::strchr(pszText, '.');
    const char* second = first != nullptr ? std::strchr(first + 1, '.') : nullptr;
    const char* third = second != nullptr ? std::strchr(second + 1, '.') : nullptr;
    if (third == nullptr) {
        return false;
    }
    fields.m_qwThird = LeadingNumber(second + 1);
    fields.m_qwFourth = LeadingNumber(third + 1);
    return true;
}

}  // namespace

bool PolicyFileExists(const char* pszPath) { return FileExists(pszPath); }

bool RemovePolicyFile(const char* pszPath) { return pszPath != nullptr && RemoveFile(pszPath); }

bool MovePolicyFile(const char* pszFrom, const char* pszTo) {
    return pszFrom != nullptr && pszTo != nullptr && ReplaceFile(pszTo, pszFrom);
}

void ReadPoliciesStrictly(IPolicyContainer* pContainer) {
    if (auto* pOwn = dynamic_cast<PluginPolicyContainer*>(pContainer)) {
        pOwn->SetStrictReading(true);
    }
}

std::string PolicyReadProblem(IPolicyContainer* pContainer) {
    auto* pOwn = dynamic_cast<PluginPolicyContainer*>(pContainer);
    std::string problem = pOwn != nullptr ? pOwn->GetReadProblem() : std::string();
    return problem.empty() ? "cannot be read" : problem;
}

std::string PolicyWriteProblem(IPolicyContainer* pContainer) {
    auto* pOwn = dynamic_cast<PluginPolicyContainer*>(pContainer);
    std::string problem = pOwn != nullptr ? pOwn->GetWriteProblem() : std::string();
    return problem.empty() ? "cannot be written" : problem;
}

bool CheckPolicyFile(const char* pszPath, bool bMerged, std::string& problem) {
    ConfigStore store;
    store.SetStrictReading(true);
    bool read = bMerged ? store.UpdateFromFile(pszPath != nullptr ? pszPath : "", "", "")
                        : store.LoadFile(pszPath != nullptr ? pszPath : "", "", "", false) == 0;
    problem = read ? std::string() : store.GetReadProblem();
    return read;
}

bool CompareVersionText(const char* pszNewer, const char* pszOlder) {
    VersionFields newer;
    VersionFields older;
    if (!ReadVersion(pszNewer, newer) || !ReadVersion(pszOlder, older)) {
        return false;
    }
    if (newer.m_qwThird != older.m_qwThird) {
        return newer.m_qwThird > older.m_qwThird;
    }
    return newer.m_qwFourth > older.m_qwFourth;
}

std::vector<std::string> PolicySubKeys(IPolicyContainer* pContainer, const std::string& strPath) {
    std::vector<std::string> names;
    qgStringVector* pList = nullptr;
    if (pContainer->GetSubKeyNames(strPath.c_str(), &pList) && pList != nullptr) {
        names.assign(pList->Begin(), pList->End());
    }
    if (pList != nullptr) {
        pList->Release();
    }
    return names;
}
