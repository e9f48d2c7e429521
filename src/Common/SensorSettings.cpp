#include "Common/SensorSettings.h"

#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"

namespace {

const char kConfig[] = "config";
const char kDebugLog[] = "\\Debug\\Log";

int32_t ReadInt(IPolicyContainer* pPolicy, const char* pszPath, const char* pszName,
                int32_t nDefault) {
    return pPolicy->GetInt(pszPath, pszName, &nDefault);
}

bool ReadBool(IPolicyContainer* pPolicy, const char* pszPath, const char* pszName, bool bDefault) {
    return pPolicy->GetBool(pszPath, pszName, &bDefault);
}

}  // namespace

SensorSettings::SensorSettings()
    : m_nTimeout(60),
      m_nGuiDown(2),
      m_nGuiTimeout(60),
      m_nMaxConnections(100),
      m_nMaxCnxnThreads(4),
      m_nBlackoutPeriod(60),
      m_bEnforceAuditPolicy(true),
      m_bOverwriteLogs(true),
      m_bScriptEnabled(true),
      m_bNodekeeper(true),
      m_bIsapiPlugin(false),
      m_bEnableDebugLogging(false),
      m_bLogToStdErr(false),
      m_bPrintCaller(false),
      m_dwBsmReduceSize(5000000),
      m_strBsmReducePolicy("REDUCE"),
      m_nTclRequestQsize(0) {}

SensorSettings& SensorSettings::Instance() {
    static SensorSettings settings;
    return settings;
}

void SensorSettings::Load(IPolicyContainer* pPolicy) {
    if (pPolicy == nullptr) {
        return;
    }
    m_nTimeout = ReadInt(pPolicy, kConfig, "Timeout", 60);
    m_nGuiDown = ReadInt(pPolicy, kConfig, "GUI Down", 2);
    m_nGuiTimeout = ReadInt(pPolicy, kConfig, "GUI Timeout", 60);
    m_nMaxConnections = ReadInt(pPolicy, kConfig, "Max Connections", 100);
    m_nMaxCnxnThreads = ReadInt(pPolicy, kConfig, "MaxCnxnThreads", 4);
    m_nBlackoutPeriod = ReadInt(pPolicy, kConfig, "BlackoutPeriod", 60);
    m_bEnforceAuditPolicy = ReadBool(pPolicy, kConfig, "Enforce Audit Policy", true);
    m_bOverwriteLogs = ReadBool(pPolicy, kConfig, "Overwrite Logs", true);
    m_bScriptEnabled = ReadBool(pPolicy, kConfig, "ScriptEnabled", true);
    m_nTclRequestQsize = ReadInt(pPolicy, kConfig, "TclRequestQsize", 512);
    m_bNodekeeper = ReadBool(pPolicy, kConfig, "Nodekeeper", true);
    m_bIsapiPlugin = ReadBool(pPolicy, kConfig, "IsapiPlugin", false);

    const uint32_t dwDefaultSize = 5000000;
    uint32_t dwSize = pPolicy->GetUInt(kConfig, "BsmReduceSize", &dwDefaultSize);
    // Small values are millions.
    m_dwBsmReduceSize = dwSize < 100 ? dwSize * 1000000u : dwSize;
    std::string policy = pPolicy->GetText(kConfig, "BsmReducePolicy", "UNKNOWN");
    m_strBsmReducePolicy = policy == "UNKNOWN" ? "REMOVE" : policy;

    m_bEnableDebugLogging = ReadBool(pPolicy, kDebugLog, "Enable Debug Logging", false);
    m_bLogToStdErr = ReadBool(pPolicy, kDebugLog, "Log To StdErr", m_bEnableDebugLogging);
    m_bPrintCaller = ReadBool(pPolicy, kDebugLog, "Print Caller", false);
    SetDebugLoggingEnabled(m_bEnableDebugLogging);
}
