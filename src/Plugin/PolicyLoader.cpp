#include "Plugin/PolicyLoader.h"

#include <vector>

#include "Common/PolicyKeyAudit.h"
#include "Common/SensorSettings.h"
#include "Plugin/PolicyFiles.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/PluginPolicyContainer.h"
#include "qorToolsLib/ConfigStore.h"

namespace {

constexpr const char kPushPolicy[] = "push.policy";
// A pushed policy is moved here before it is read, then to one of the
// other two names once it was applied or refused.
constexpr const char kPushLoading[] = "push.policy.loading";
constexpr const char kPushApplied[] = "push.policy.applied";
constexpr const char kPushRefused[] = "push.policy.refused";
// An accepted policy refused at start-up, kept for its owner to look at.
constexpr const char kCurrentRefused[] = "current.policy.refused";
constexpr const char kCurrentPolicy[] = "current.policy";
constexpr const char kDefaultPolicy[] = "Default.policy";
constexpr const char kUpdatePolicy[] = "update.policy";

constexpr const char kConfigSection[] = "\\config";
constexpr const char kVersionSection[] = "\\template\\VersionInfo";
// The version probe reads one section by exact name, and section lines
// carry the trailing separator.
constexpr const char kVersionSectionLine[] = "\\template\\VersionInfo\\";
constexpr const char kVersionValue[] = "PolicyVersion";

// Where a policy is in force, a refusal ends with this.
constexpr const char kInForce[] = "; the policy in force stays";
// The reason a policy without its "\config" section is refused.
constexpr const char kNoConfig[] = "no \"\\config\" section exists";

// Says each section the container's last file read found given a second
// time in the file (`pszFile`, as the operator knows it; null: nothing is
// said, for a read that puts no policy in force).  The file is read as it
// stands; what the second section does to the first one's values is said.
void WarnAboutRepeatedSections(IPolicyContainer* pContainer, const char* pszFile, bool bMerged) {
    auto* pOwn = dynamic_cast<PluginPolicyContainer*>(pContainer);
    if (pszFile == nullptr || pOwn == nullptr || pOwn->GetStore() == nullptr) {
        return;
    }
    for (const std::string& strLine : pOwn->GetStore()->DescribeRepeatedSections(pszFile, bMerged)) {
        PolicyKeyAudit::Say(kCSFLogWarning, strLine);
    }
}

// Reads a whole policy file into the container.  A refused file leaves the
// container empty.  `pszFile` names the file in what is said about it.
bool ReadPolicy(IPolicyContainer* pContainer, const std::string& path, bool bNeedsConfig,
                const char* pszFile, std::string& problem) {
    if (pContainer->LoadFile(path.c_str(), "", "\\", true) != 0) {
        problem = PolicyReadProblem(pContainer);
    } else if (bNeedsConfig && !pContainer->Exists(kConfigSection, "")) {
        problem = kNoConfig;
    } else {
        WarnAboutRepeatedSections(pContainer, pszFile, false);
        return true;
    }
    pContainer->ClearSection("");
    return false;
}

std::string FileName(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A damaged update is not merged; the policy it would update stays usable.
void RefuseUpdate(const std::string& path, const std::string& problem) {
    CSF_LOG(kCSFLogError, "%s refused (%s); the update is not merged.", path.c_str(),
            problem.c_str());
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
    for (const std::string& kind : PolicySubKeys(pCommonPolicy, "\\Response\\")) {
        for (const std::string& name : PolicySubKeys(pCommonPolicy, "\\Response\\" + kind + "\\")) {
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

std::string PolicyLoader::GetLastProblem() const {
    std::lock_guard<std::mutex> guard(m_loadLock);
    return m_strProblem;
}

bool PolicyLoader::IsPushWaiting(const std::string& baseDirectory) {
    return PolicyFileExists((baseDirectory + kPushPolicy).c_str()) ||
           PolicyFileExists((baseDirectory + kPushLoading).c_str());
}

bool PolicyLoader::Load(IPolicyContainer* pContainer, bool bReload, LoadKind kind,
                        const Sources& sources) {
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy() called, reload=%d", bReload ? 1 : 0);
    if (pContainer == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_loadLock);
    m_strProblem.clear();
    m_setAside.clear();
    m_strInForce.clear();
    const bool bLoaded = LoadLocked(pContainer, bReload, kind, sources);
    SaySetAside(bLoaded);
    return bLoaded;
}

bool PolicyLoader::LoadLocked(IPolicyContainer* pContainer, bool bReload, LoadKind kind,
                              const Sources& sources) {
    ReadPoliciesStrictly(pContainer);
    const std::string& base = sources.m_strBaseDirectory;
    const std::string& ruleDefinitions = sources.m_strRuleDefinitionPath;
    // Checked before anything is taken or written: a damaged rule-definition
    // file leaves a pushed policy waiting and the accepted one as it is.
    std::string problem;
    if (PolicyFileExists(ruleDefinitions.c_str()) &&
        !CheckPolicyFile(ruleDefinitions.c_str(), true, problem)) {
        m_strProblem = FileName(ruleDefinitions) + " refused (" + problem + ")" +
                       (bReload ? kInForce : "");
        return false;
    }
    Choice choice;
    if (!ChoosePolicy(pContainer, bReload, kind, base, choice)) {
        return false;
    }
    if (!choice.m_bFromPush && kind == LoadKind::kAccept) {
        choice.m_bCommit = MergeUpdate(pContainer, base, choice.m_bDefault) || choice.m_bCommit;
    }
    if (choice.m_bCommit && kind == LoadKind::kAccept) {
        Commit(pContainer, base, choice.m_bFromPush);
    }
    // Merged after the commit, so the rule definitions never reach the
    // accepted file.
    if (!MergeRuleDefinitions(pContainer, ruleDefinitions, bReload, kind == LoadKind::kAccept)) {
        return false;
    }
    // Consumed only by a load that succeeds, so that a failed one leaves the
    // next reload to compare it again.
    if (kind == LoadKind::kAccept && m_pCommonPolicy != nullptr) {
        CollectResponseTable(m_pCommonPolicy, m_responseTable);
        m_pCommonPolicy = nullptr;
    }

    const bool bBlockDefault = true;
    if (!pContainer->GetBool("\\config\\tuning\\", "BlockEnabled", &bBlockDefault)) {
        // A setting of a valid policy, said so that no one wonders why
        // nothing is blocked: no error.
        CSF_LOG(kCSFLogWarning,
                "Advanced parameter \"BlockEnabled\" is set to FALSE, block responses will not be "
                "triggered.");
        StripBlockResponses(pContainer);
    }
    // Only the policy put in force sets the advanced parameters: an adapter
    // update or a resume reads the accepted policy on another thread while
    // the engines read them.
    if (kind == LoadKind::kAccept) {
        SensorSettings::Instance().Load(pContainer);
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy():completed");
    return true;
}

bool PolicyLoader::ChoosePolicy(IPolicyContainer* pContainer, bool bReload, LoadKind kind,
                                const std::string& base, Choice& choice) {
    // An adapter update must not consume a pushed policy: the reload that
    // follows the push would find nothing to do.
    if (kind == LoadKind::kAccept) {
        if (LoadPush(pContainer, bReload, base)) {
            choice.m_bCommit = true;
            choice.m_bFromPush = true;
            return true;
        }
        if (!m_strProblem.empty()) {
            return false;
        }
    }
    if (LoadCurrent(pContainer, bReload, kind, base)) {
        m_strInForce = std::string(kCurrentPolicy) + ", the policy accepted last,";
        return true;
    }
    if (!m_strProblem.empty()) {
        return false;
    }
    choice.m_bDefault = true;
    const std::string defaultPath = base + kDefaultPolicy;
    if (!PolicyFileExists(defaultPath.c_str())) {
        CSF_LOG(kCSFLogError, "Failed to find policy file (%s)", defaultPath.c_str());
        m_strProblem = "no policy to load: " + defaultPath + " does not exist";
        return false;
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): Loading default.policy.");
    std::string problem;
    if (!ReadPolicy(pContainer, defaultPath, false,
                    kind == LoadKind::kAccept ? kDefaultPolicy : nullptr, problem)) {
        m_strProblem = std::string(kDefaultPolicy) + " refused (" + problem + ")" +
                       (bReload ? kInForce : "");
        return false;
    }
    pContainer->SetFileName((base + kCurrentPolicy).c_str());
    choice.m_bCommit = true;
    m_strInForce = std::string("the factory policy ") + kDefaultPolicy;
    return true;
}

bool PolicyLoader::LoadPush(IPolicyContainer* pContainer, bool bReload, const std::string& base) {
    const std::string pushPath = base + kPushPolicy;
    const std::string loadingPath = base + kPushLoading;
    // Moved aside before it is read: a newer push arriving while this one
    // loads keeps its own name and waits for the next load.
    if (PolicyFileExists(pushPath.c_str())) {
        if (PolicyFileExists(loadingPath.c_str())) {
            CSF_LOG(kCSFLogWarning,
                    "%s, left by a policy load that did not finish, is replaced by a newer "
                    "push.policy.",
                    loadingPath.c_str());
        }
        if (!MovePolicyFile(pushPath.c_str(), loadingPath.c_str())) {
            m_strProblem = "push.policy cannot be moved aside to " + loadingPath +
                           " for loading; it stays where it is";
            return Fallback(bReload);
        }
    } else if (PolicyFileExists(loadingPath.c_str())) {
        CSF_LOG(kCSFLogWarning, "Loading %s, left by a policy load that did not finish.",
                loadingPath.c_str());
    } else {
        return false;
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): Loading push.policy");
    std::string problem;
    if (ReadPolicy(pContainer, loadingPath, true, kPushPolicy, problem)) {
        // Set aside only once the new accepted policy is on disk.
        pContainer->SetFileName((base + kCurrentPolicy).c_str());
        return true;
    }
    SetAside(base, kPushPolicy, kPushLoading, kPushRefused, problem);
    return Fallback(bReload);
}

bool PolicyLoader::LoadCurrent(IPolicyContainer* pContainer, bool bReload, LoadKind kind,
                               const std::string& base) {
    const std::string currentPath = base + kCurrentPolicy;
    if (!PolicyFileExists(currentPath.c_str())) {
        return false;
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): Loading current.policy.");
    std::string problem;
    if (ReadPolicy(pContainer, currentPath, true,
                   kind == LoadKind::kAccept ? kCurrentPolicy : nullptr, problem)) {
        return true;
    }
    // In force, or only read: the accepted file stays as it is.
    if (bReload || kind != LoadKind::kAccept) {
        m_strProblem = std::string(kCurrentPolicy) + " refused (" + problem + ")" + kInForce;
        return false;
    }
    SetAside(base, kCurrentPolicy, kCurrentPolicy, kCurrentRefused, problem);
    return Fallback(false);
}

// A refused file is kept under a name that says so, never deleted: it may
// be all its owner has of it.
void PolicyLoader::SetAside(const std::string& base, const char* pszPolicy, const char* pszFrom,
                            const char* pszTo, const std::string& problem) {
    const char* pszKept = MovePolicyFile((base + pszFrom).c_str(), (base + pszTo).c_str())
                              ? pszTo
                              : pszFrom;
    if (problem == kNoConfig) {
        CSF_LOG(kCSFLogError,
                "%s is invalid because no \"%s\" section exists. %s will be ignored and kept as "
                "%s.",
                pszPolicy, kConfigSection, pszPolicy, pszKept);
    }
    m_strProblem = std::string(pszPolicy) + " refused (" + problem + "); it is kept as " + pszKept;
}

// At start-up nothing is in force yet: the refusal is kept to be said with
// what the load puts in force instead, and the next policy in line is
// tried.  Where a policy is in force the load fails.
bool PolicyLoader::Fallback(bool bReload) {
    if (bReload) {
        m_strProblem += kInForce;
        return false;
    }
    m_setAside.push_back(std::move(m_strProblem));
    m_strProblem.clear();
    return false;
}

void PolicyLoader::SaySetAside(bool bLoaded) {
    // A warning: the start went on with the next policy, or failed for a
    // reason of its own.  The host writes its console copy.
    const std::string strInstead = bLoaded && !m_strInForce.empty() ? m_strInForce + " is in force instead"
                                                                    : std::string("no policy is in force");
    for (const std::string& strRefusal : m_setAside) {
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s; %s.", strRefusal.c_str(), strInstead.c_str());
    }
    m_setAside.clear();
}

bool PolicyLoader::MergeUpdate(IPolicyContainer* pContainer, const std::string& base,
                               bool bDefault) {
    const std::string updatePath = base + kUpdatePolicy;
    const bool bUpdateExists = PolicyFileExists(updatePath.c_str());
    const std::string currentVersion = TextValue(pContainer, kVersionSection, kVersionValue);
    std::string updateVersion;
    if (IPolicyContainer* probe = CreatePluginPolicyContainer()) {
        CSF_TRACE(kCSFLogTrace,
                  "DEBUG: CHostWarden::LoadPolicy(): loading update.policy to compare policy "
                  "version.");
        ReadPoliciesStrictly(probe);
        bool read = probe->LoadFile(updatePath.c_str(), kVersionSectionLine, "", false) == 0;
        std::string problem = read ? std::string() : PolicyReadProblem(probe);
        updateVersion = TextValue(probe, kVersionSection, kVersionValue);
        probe->Release();
        if (bUpdateExists && !read) {
            RefuseUpdate(updatePath, problem);
            return false;
        }
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): comparing the policy version");
    if (!currentVersion.empty() &&
        !CompareVersionText(updateVersion.c_str(), currentVersion.c_str())) {
        return false;
    }
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): merging update.policy");
    if (!pContainer->MergeFile(updatePath.c_str(), false) && bUpdateExists) {
        RefuseUpdate(updatePath, PolicyReadProblem(pContainer));
        return false;
    }
    if (bUpdateExists) {
        WarnAboutRepeatedSections(pContainer, kUpdatePolicy, true);
    }
    // The merged policy keeps the version it had.
    pContainer->SetText(kVersionSection, kVersionValue, currentVersion.c_str());
    if (bDefault) {
        CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): commiting default.policy");
        const std::string defaultPath = base + kDefaultPolicy;
        if (pContainer->SaveFile(defaultPath.c_str(), "", 1) != 0) {
            CSF_LOG(kCSFLogError, "Unable to save the updated policy to %s: %s.",
                    defaultPath.c_str(), PolicyWriteProblem(pContainer).c_str());
        }
    }
    return true;
}

bool PolicyLoader::Commit(IPolicyContainer* pContainer, const std::string& base, bool bFromPush) {
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): commiting current.policy");
    const std::string currentPath = base + kCurrentPolicy;
    // Saved by path rather than by the container's file name: a refused
    // policy read first may have left its own name there.
    if (pContainer->SaveFile(currentPath.c_str(), "", 1) != 0) {
        if (bFromPush) {
            CSF_LOG(kCSFLogError,
                    "Unable to save the accepted policy to %s: %s; push.policy is kept and will "
                    "be applied again.",
                    currentPath.c_str(), PolicyWriteProblem(pContainer).c_str());
        } else {
            CSF_LOG(kCSFLogError, "Unable to save the accepted policy to %s: %s.",
                    currentPath.c_str(), PolicyWriteProblem(pContainer).c_str());
        }
        return false;
    }
    if (bFromPush) {
        // Kept as the last push applied (it is never read again), which also
        // tells whoever pushed it that it was taken.
        const std::string loadingPath = base + kPushLoading;
        if (!MovePolicyFile(loadingPath.c_str(), (base + kPushApplied).c_str())) {
            RemovePolicyFile(loadingPath.c_str());
        }
        CSF_TRACE(kCSFLogTrace, "Deleted push.policy");
    }
    return true;
}

bool PolicyLoader::MergeRuleDefinitions(IPolicyContainer* pContainer, const std::string& path,
                                        bool bReload, bool bSay) {
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): merging ruledef.policy");
    // A missing file adds nothing (start-up has said so); one that went bad
    // since it was checked fails the load.
    if (!pContainer->MergeFile(path.c_str(), false) && PolicyFileExists(path.c_str())) {
        m_strProblem = FileName(path) + " refused (" + PolicyReadProblem(pContainer) + ")" +
                       (bReload ? kInForce : "");
        return false;
    }
    if (bSay && PolicyFileExists(path.c_str())) {
        WarnAboutRepeatedSections(pContainer, FileName(path).c_str(), true);
    }
    CSF_TRACE(kCSFLogTrace, "Finished merging RuleDef.policy");
    CSF_TRACE(kCSFLogTrace, "DEBUG: CHostWarden::LoadPolicy(): finished merging ruledef.policy");
    return true;
}

void PolicyLoader::StripBlockResponses(IPolicyContainer* pContainer) {
    const std::string advanced = "\\Advanced";
    for (const std::string& first : PolicySubKeys(pContainer, advanced)) {
        const std::string firstPath = advanced + "\\" + first;
        for (const std::string& second : PolicySubKeys(pContainer, firstPath)) {
            const std::string secondPath = firstPath + "\\" + second;
            for (const std::string& third : PolicySubKeys(pContainer, secondPath)) {
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
