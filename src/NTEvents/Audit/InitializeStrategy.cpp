#include "NTEvents/Audit/InitializeStrategy.h"

#include "Common/ISensorCore.h"
#include "Common/Rule.h"
#include "Common/RuleContainer.h"
#include "Common/SensorSettings.h"
#include "NTEvents/Audit/AuditRights.h"
#include "NTEvents/Audit/FileAudit.h"
#include "NTEvents/Audit/GlobalAudit.h"
#include "NTEvents/Audit/RegKeyAudit.h"
#include "platform/Registry.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ConfigStore.h"

namespace {

constexpr const char* kRecordName = "audit.policy";
constexpr const char* kRecordHeader = "---Qor Quellguard Files & Registry Audit List---";
constexpr uint32_t kRetentionTrace = 4096;

std::string g_strSensorDirectory;
bool g_bReapplied = false;

struct RetentionLog {
    const char* pszKey;
    const char* pszOpenError;
    const char* pszSetError;
};

constexpr RetentionLog kRetentionLogs[] = {
    {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Security", "Error opening Security Log key!\n",
     "Error setting Security Retention value!\n"},
    {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", "Error opening System Log key!\n",
     "Error setting System Retention value!\n"},
    {"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application",
     "Error opening Application Log key!\n", "Error setting Application Retention value!\n"},
};

// Lets the system overwrite old records as needed.  The first log whose
// key cannot be opened ends the step.
void SetLogRetention() {
    for (const RetentionLog& log : kRetentionLogs) {
        plat::RegistryKey key = 0;
        if (plat::RegistryOpenKey(plat::kRegistryLocalMachine, log.pszKey, &key) != 0) {
            CSF_TRACE(kRetentionTrace, "%s", log.pszOpenError);
            return;
        }
        const uint32_t dwRetention = 0;
        if (plat::RegistrySetValue(key, "Retention", plat::kRegistryWord,
                                   reinterpret_cast<const uint8_t*>(&dwRetention),
                                   sizeof dwRetention) != 0) {
            CSF_TRACE(kRetentionTrace, "%s", log.pszSetError);
        }
        plat::RegistryCloseKey(key);
    }
}

// Fills the lists with what the last record holds and no rule holds now.
void LoadPreviousRecord() {
    ConfigStore& store = InitializeStrategy::RecordStore();
    store.ClearSection("");
    store.ClearValues("");
    if (store.LoadFile(InitializeStrategy::GetRecordPath(), "", "", false) != 0) {
        return;
    }
    CFileAudit::Restore(store);
    CRegKeyAudit::Restore(store);
}

// Event-log rules are the only rules that fill the "Global" list.
void CollectGlobalAudit() {
    ISensorCore* pSensor = GetSensorCore();
    RuleContainer* pRules = pSensor != nullptr ? pSensor->GetRuleContainer() : nullptr;
    if (pRules == nullptr) {
        return;
    }
    for (Rule* pRule : *pRules) {
        if (pRule != nullptr && pRule->IsEnabled() && !pRule->GetList(1).empty()) {
            CGlobalAudit::Instance().ParseRule(pRule, GetEveryoneName().c_str());
        }
    }
}

}  // namespace

namespace InitializeStrategy {

ConfigStore& RecordStore() {
    static ConfigStore store;
    return store;
}

void SetSensorDirectory(const std::string& strDirectory) {
    g_strSensorDirectory = strDirectory;
}

std::string GetRecordPath() {
    return g_strSensorDirectory + kRecordName;
}

uint32_t Run() {
    RefreshEveryoneName();
    LoadPreviousRecord();
    CollectGlobalAudit();
    g_bReapplied = false;
    const SensorSettings& settings = SensorSettings::Instance();
    if (settings.m_bEnforceAuditPolicy) {
        WriteAuditRecord();
        CGlobalAudit::Instance().Apply();
        CFileAudit::ApplyAll();
        CRegKeyAudit::ApplyAll();
    } else {
        CSF_LOG(3, "The Enforce Audit Policy flag is off. Some events may not trigger");
    }
    if (settings.m_bOverwriteLogs) {
        SetLogRetention();
    }
    return 0;
}

void ReapplyGlobalAudit() {
    if (!g_bReapplied) {
        CGlobalAudit::Instance().Apply();
    }
    g_bReapplied = !g_bReapplied;
}

void WriteAuditRecord() {
    if (!SensorSettings::Instance().m_bEnforceAuditPolicy) {
        return;
    }
    ConfigStore& store = RecordStore();
    store.ClearSection("");
    store.ClearValues("");
    CGlobalAudit::Instance().Save(store);
    CFileAudit::Save(store);
    CRegKeyAudit::Save(store);
    store.SetHeader(kRecordHeader);
    if (store.GetFileName().empty()) {
        store.SetFileName(GetRecordPath());
    }
    // Without the record the next start cannot take these audits off.
    if (!store.Save()) {
        CSF_LOG(3, "Unable to write the audit record %s", store.GetFileName().c_str());
    }
}

void BeginPolicyRead() {
    CFileAudit::ClearClaims();
    CRegKeyAudit::ClearClaims();
}

}  // namespace InitializeStrategy
