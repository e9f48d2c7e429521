#include "Plugin/PolicyLoader.h"

#include <vector>

#include "Common/SensorSettings.h"
#include "Plugin/PolicyFiles.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"

namespace {

constexpr const char kPushPolicy[] = "push.policy";
constexpr const char kCurrentPolicy[] = "current.policy";
constexpr const char kDefaultPolicy[] = "Default.policy";
constexpr const char kUpdatePolicy[] = "update.policy";

constexpr const char kConfigSection[] = "\\config";
constexpr const char kVersionSection[] = "\\template\\VersionInfo";
// The version probe reads one section by exact name, and section lines
// carry the trailing separator.
constexpr const char kVersionSectionLine[] = "\\template\\VersionInfo\\";
constexpr const char kVersionValue[] = "PolicyVersion";

void LoadPolicyFile(IPolicyContainer* pContainer, const std::string& path) {
    pContainer->LoadFile(path.c_str(), "", "\\", true);
}

bool HasConfigSection(IPolicyContainer* pContainer) {
    return pContainer->Exists(kConfigSection, "");
}

// The sub-key names of a key, empty when it has none or cannot be listed.
std::vector<std::string> SubKeys(IPolicyContainer* pContainer, const std::string& path) {
    std::vector<std::string> names;
    qgStringVector* list = nullptr;
    if (pContainer->GetSubKeyNames(path.c_str(), &list) && list != nullptr) {
        names.assign(list->Begin(), list->End());
    }
    if (list != nullptr) {
        list->Release();
    }
    return names;
}

// GetText answers a per-thread buffer; keep a copy before the next read.
std::string TextValue(IPolicyContainer* pContainer, const char* pszPath, const char* pszName) {
    const char* text = pContainer->GetText(pszPath, pszName, "");
    return text != nullptr ? text : "";
}

}  // namespace

void CollectResponseTable(IPolicyContainer* pCommonPolicy, ResponseTable& table) {
    if (pCommonPolicy == nullptr) {
        return;
    }
    table.clear();
    for (const std::string& kind : SubKeys(pCommonPolicy, "\\Response\\")) {
        for (const std::string& name : SubKeys(pCommonPolicy, "\\Response\\" + kind + "\\")) {
            table.emplace(kind, name);
        }
    }
}

bool PolicyLoader::CompareResponseTable() const {
    if (m_pCommonPolicy == nullptr) {
        return false;
    }
    ResponseTable fresh;
    CollectResponseTable(m_pCommonPolicy, fresh);
    // Equal multimaps hold the same pairs in the same order.
    return fresh != m_responseTable;
}

bool PolicyLoader::IsValidResponse(const char* pszName, const char* pszChoice) const {
    if (pszName == nullptr || pszChoice == nullptr) {
        return false;
    }
    auto [first, last] = m_responseTable.equal_range(pszName);
    for (auto it = first; it != last; ++it) {
        if (it->second == pszChoice) {
            return true;
        }
    }
    return false;
}

bool PolicyLoader::Load(IPolicyContainer* pContainer, bool bReload, LoadKind kind,
                        const Sources& sources) {
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy() called, reload=%d", bReload ? 1 : 0);
    if (pContainer == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_loadLock);
    const std::string& base = sources.m_strBaseDirectory;
    bool bCommit = false;
    bool bFromPush = false;
    bool bDefault = false;
    if (!ChoosePolicy(pContainer, kind, base, bCommit, bFromPush, bDefault)) {
        return false;
    }
    if (!bFromPush && kind == LoadKind::kAccept) {
        bCommit = MergeUpdate(pContainer, base, bDefault) || bCommit;
    }
    if (bCommit && kind == LoadKind::kAccept) {
        Commit(pContainer, base, bFromPush);
    }
    if (m_pCommonPolicy != nullptr && kind == LoadKind::kAccept) {
        CollectResponseTable(m_pCommonPolicy, m_responseTable);
        m_pCommonPolicy = nullptr;
    }
    // Merged after the commit, so the rule definitions never reach the
    // accepted file.
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): merging ruledef.policy");
    pContainer->MergeFile(sources.m_strRuleDefinitionPath.c_str(), false);
    CSF_TRACE(kCSFLogTrace, "Finished merging RuleDef.policy");
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): finished merging ruledef.policy");

    const bool bBlockDefault = true;
    if (!pContainer->GetBool("\\config\\tuning\\", "BlockEnabled", &bBlockDefault)) {
        CSF_LOG(kCSFLogError,
                "Advanced parameter \"BlockEnabled\" is set to FALSE, block responses will not be "
                "triggered.");
        StripBlockResponses(pContainer);
    }
    SensorSettings::Instance().Load(pContainer);
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy():completed");
    return true;
}

bool PolicyLoader::ChoosePolicy(IPolicyContainer* pContainer, LoadKind kind,
                                const std::string& base, bool& bCommit, bool& bFromPush,
                                bool& bDefault) {
    const std::string pushPath = base + kPushPolicy;
    const std::string currentPath = base + kCurrentPolicy;
    const std::string defaultPath = base + kDefaultPolicy;
    // An adapter update must not consume a pushed policy: the reload that
    // follows the push would find nothing to do.
    if (kind == LoadKind::kAccept && PolicyFileExists(pushPath.c_str())) {
        CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): Loading push.policy");
        LoadPolicyFile(pContainer, pushPath);
        if (HasConfigSection(pContainer)) {
            // Deleted only once the new accepted policy is on disk.
            pContainer->SetFileName(currentPath.c_str());
            bCommit = true;
            bFromPush = true;
            return true;
        }
        CSF_LOG(kCSFLogError,
                "push.policy is invalid because no \"%s\" section exists. push.policy will be "
                "ignored and deleted.",
                kConfigSection);
        pContainer->ClearSection("");
        RemovePolicyFile(pushPath.c_str());
        CSF_TRACE(kCSFLogTrace, "Deleted push.policy");
    }
    if (PolicyFileExists(currentPath.c_str())) {
        CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): Loading current.policy.");
        LoadPolicyFile(pContainer, currentPath);
        if (HasConfigSection(pContainer)) {
            return true;
        }
        CSF_LOG(kCSFLogError,
                "current.policy is invalid because no \"%s\" section exists. current.policy will "
                "be ignored and deleted.",
                kConfigSection);
        pContainer->ClearSection("");
        if (kind == LoadKind::kAccept) {
            RemovePolicyFile(currentPath.c_str());
        }
    }
    bDefault = true;
    if (!PolicyFileExists(defaultPath.c_str())) {
        CSF_LOG(kCSFLogError, "Failed to find policy file (%s)", defaultPath.c_str());
        return false;
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): Loading default.policy.");
    LoadPolicyFile(pContainer, defaultPath);
    pContainer->SetFileName(currentPath.c_str());
    bCommit = true;
    return true;
}

bool PolicyLoader::MergeUpdate(IPolicyContainer* pContainer, const std::string& base,
                               bool bDefault) {
    const std::string updatePath = base + kUpdatePolicy;
    const std::string currentVersion = TextValue(pContainer, kVersionSection, kVersionValue);
    std::string updateVersion;
    if (IPolicyContainer* probe = CreatePluginPolicyContainer()) {
        CSF_TRACE(kCSFLogTrace,
                  "DEBUG: CHostWarden::LoadPolicy(): loading update.policy to compare policy "
                  "version.");
        probe->LoadFile(updatePath.c_str(), kVersionSectionLine, "", false);
        updateVersion = TextValue(probe, kVersionSection, kVersionValue);
        probe->Release();
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): comparing the policy version");
    if (!currentVersion.empty() &&
        !CompareVersionText(updateVersion.c_str(), currentVersion.c_str())) {
        return false;
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): merging update.policy");
    pContainer->MergeFile(updatePath.c_str(), false);
    // The merged policy keeps the version it had.
    pContainer->SetText(kVersionSection, kVersionValue, currentVersion.c_str());
    if (bDefault) {
        CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): commiting default.policy");
        const std::string defaultPath = base + kDefaultPolicy;
        if (pContainer->SaveFile(defaultPath.c_str(), "", 1) != 0) {
            CSF_LOG(kCSFLogError, "Unable to save the updated policy to %s.", defaultPath.c_str());
        }
    }
    return true;
}

bool PolicyLoader::Commit(IPolicyContainer* pContainer, const std::string& base, bool bFromPush) {
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): commiting current.policy");
    const std::string currentPath = base + kCurrentPolicy;
    // Saved by path rather than by the container's file name: a rejected
    // push.policy loaded first would have left its own name there.
    if (pContainer->SaveFile(currentPath.c_str(), "", 1) != 0) {
        if (bFromPush) {
            CSF_LOG(kCSFLogError,
                    "Unable to save the accepted policy to %s; push.policy is kept and will be "
                    "applied again.",
                    currentPath.c_str());
        } else {
            CSF_LOG(kCSFLogError, "Unable to save the accepted policy to %s.", currentPath.c_str());
        }
        return false;
    }
    if (bFromPush) {
        RemovePolicyFile((base + kPushPolicy).c_str());
        CSF_TRACE(kCSFLogTrace, "Deleted push.policy");
    }
    return true;
}

void PolicyLoader::StripBlockResponses(IPolicyContainer* pContainer) {
    const std::string advanced = "\\Advanced";
    for (const std::string& first : SubKeys(pContainer, advanced)) {
        const std::string firstPath = advanced + "\\" + first;
        for (const std::string& second : SubKeys(pContainer, firstPath)) {
            const std::string secondPath = firstPath + "\\" + second;
            for (const std::string& third : SubKeys(pContainer, secondPath)) {
                const std::string responsePath = secondPath + "\\" + third + "\\Response";
                const std::string blockPath = responsePath + "\\BLOCK";
                const std::string choice = TextValue(pContainer, blockPath.c_str(), "Choice");
                const bool bDisabled = false;
                bool bEnabled = pContainer->GetBool(blockPath.c_str(), "Enabled", &bDisabled);
                if (!bEnabled && choice != "Default") {
                    continue;
                }
                if (!pContainer->DeleteSubKey(responsePath.c_str(), "BLOCK")) {
                    CSF_TRACE(kCSFLogTrace, "Remove Key %s\\%s failed", responsePath.c_str(),
                              "BLOCK");
                    continue;
                }
                CSF_TRACE(kCSFLogTrace,
                          "DEBUG: CHostWarden::Oninit(): Blocking turned off in policy for %s",
                          third.c_str());
                pContainer->SetText(responsePath.c_str(), "BLOCK", "");
                pContainer->SetBool(blockPath.c_str(), "Enabled", &bDisabled);
            }
        }
    }
}
