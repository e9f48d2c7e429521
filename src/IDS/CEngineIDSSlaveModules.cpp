// The IDS slave's modules: its instance of the signature module with the
// callback object and the optional event coalescer, its packet and evidence
// logs, and their configuration from the policy's tuning settings.

#include <algorithm>
#include <exception>
#include <mutex>
#include <string>

#include "IDS/CEngineIDSSlave.h"
#include "IDS/CaptureKeeper.h"
#include "IDS/HWEventMatchNotify.h"
#include "IDS/PolicyValues.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"
#include "qorPacketLogLib/qorPacketLog.h"
#include "qorSensorUtil/DetectorIssueMap.h"
#include "qorZamSensorLib/IZamSensor.h"
#include "qorZamSensorLib/qorZamSensorMgr.h"
#include "rawpacket/Driver.h"
#include "qorToolsLib/CountText.h"

namespace {

constexpr const char kConsolidationPrefix[] = "advancedeventconsolidation.";
constexpr size_t kConsolidationPrefixLength = sizeof(kConsolidationPrefix) - 1;
constexpr const char kDescriptionSuffix[] = "Description";
constexpr uint32_t kDefaultHousekeeping = 1;
constexpr uint32_t kMaxHousekeeping = 60;
constexpr uint32_t kDefaultAgeTime = 5;
constexpr uint32_t kMaxAgeTime = 3600;
constexpr int32_t kDefaultLogKbytes = 1400;
constexpr int32_t kDefaultLogFiles = 10;

// The manager hands the notify object it was given last to what it makes
// next; giving and making are one step no other slave may come between.
std::mutex& ModuleCreationLock() {
    static std::mutex lock;
    return lock;
}

// The callback keys the slave switches on, in the order it sets them.
constexpr const char* kCallbackKeys[] = {
    "zam.parsedipcallback",  "zam.parsedicmpcallback",   "zam.parsedtcpcallback",
    "zam.parsedudpcallback", "zam.macreportingcallback",
};

bool ReadTuningBool(IPolicyContainer* pPolicy, const char* pszName, bool bDefault) {
    return pPolicy->GetBool(kTuning, pszName, &bDefault);
}

int32_t ReadTuningInt(IPolicyContainer* pPolicy, const char* pszName, int32_t nDefault) {
    return pPolicy->GetInt(kTuning, pszName, &nDefault);
}

std::string ReadTuningText(IPolicyContainer* pPolicy, const char* pszName, const char* pszDefault) {
    const char* pszText = pPolicy->GetText(kTuning, pszName, pszDefault);
    return pszText != nullptr ? pszText : "";
}

// A value within [1, max], else the default.
uint32_t InRange(int32_t nValue, uint32_t dwMax, uint32_t dwDefault) {
    return nValue >= 1 && static_cast<uint32_t>(nValue) <= dwMax ? static_cast<uint32_t>(nValue)
                                                                   : dwDefault;
}

bool NameEndsWith(const std::string& strText, const char* pszEnd) {
    const std::string strEnd = pszEnd;
    return strText.size() >= strEnd.size() &&
           strText.compare(strText.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

// The keys and texts that differ between the packet log and the evidence log.
struct LogKeys {
    const char* pszWhat;        // "packet" or "evidence", for the traces
    const char* pszFunction;    // the leaving trace's name
    const char* pszLogging;
    bool bLoggingDefault;
    const char* pszPrefix;
    const char* pszPrefixDefault;
    const char* pszMaxFiles;
    const char* pszMaxKbytes;
    // Read instead when the size reads exactly the default; null for none.
    const char* pszMaxKbytesFallback;
    const char* pszSuffix;
    const char* pszNoPrefix;
};

constexpr LogKeys kPacketLogKeys = {
    "packet",
    "ConfigurePacketLogger",
    "packetLog.logging",
    false,
    "packetLog.fileprefix",
    "pkt",
    "packetLog.maxfiles",
    "packetLog.maxKbytes",
    "packetlog.maxKbytes",
    "packetLog.filesuffix",
    "PacketLog is Enabled, but packetlog.fileprefix is not set.  PacketLog will not function.",
};

constexpr LogKeys kEvidenceLogKeys = {
    "evidence",
    "ConfigureEvidenceLogger",
    "evidence.logging",
    true,
    "evidence.fileprefix",
    "evd",
    "evidence.maxfiles",
    "evidence.maxKbytes",
    nullptr,
    "evidence.filesuffix",
    "EvidenceLog is Enabled, but evidence.fileprefix is not set.  EvidenceLog will not function.",
};

// Configures and starts one log; false when it is off (and then stopped).
bool ConfigureLog(qorPacketLog* pLog, IPolicyContainer* pPolicy, const LogKeys& keys,
                  const std::string& strAdapter, const std::string& strHardwareAddress) {
    const char* pszAdapter = strAdapter.c_str();
    CSF_TRACE(kCSFLogInfo, "%s: Configuring %s logger", pszAdapter, keys.pszWhat);
    bool bResult = false;
    if (pLog != nullptr && pPolicy != nullptr) {
        if (!ReadTuningBool(pPolicy, keys.pszLogging, keys.bLoggingDefault)) {
            pLog->Close();
        } else {
            const std::string strPrefix =
                ReadTuningText(pPolicy, keys.pszPrefix, keys.pszPrefixDefault);
            if (strPrefix.empty()) {
                CSF_LOG(kCSFLogError, "%s", keys.pszNoPrefix);
                pLog->Close();
            } else {
                const int32_t nFiles = ReadTuningInt(pPolicy, keys.pszMaxFiles, kDefaultLogFiles);
                int32_t nKbytes = ReadTuningInt(pPolicy, keys.pszMaxKbytes, kDefaultLogKbytes);
                if (keys.pszMaxKbytesFallback != nullptr && nKbytes == kDefaultLogKbytes) {
                    nKbytes = ReadTuningInt(pPolicy, keys.pszMaxKbytesFallback, kDefaultLogKbytes);
                }
                const std::string strSuffix = ReadTuningText(pPolicy, keys.pszSuffix, ".enc");
                // The logs live in the "Logs" folder of the working directory.
                std::string strFilePrefix =
                    "Logs\\" + strPrefix + "_" +
                    CEngineIDSSlave::LogFileTag(strAdapter, strHardwareAddress);
                std::replace(strFilePrefix.begin(), strFilePrefix.end(), '\\', '/');
                const std::string strKbytes = std::to_string(nKbytes);
                const std::string strFiles = std::to_string(nFiles);
                pLog->SetParameter("fileprefix", strFilePrefix.c_str());
                pLog->SetParameter("filesuffix", strSuffix.c_str());
                pLog->SetParameter("maxKbytes", strKbytes.c_str());
                pLog->SetParameter("maxfiles", strFiles.c_str());
                pLog->ApplyParameters();
                bResult = true;
                if (&keys == &kEvidenceLogKeys) {
                    CSF_TRACE(kCSFLogInfo,
                              "Interface %s: Configuring evidence logger Parameters Prefix: %s, "
                              "Suffix: %s, maxKB : %s , MaxFiles %s",
                              pszAdapter, strFilePrefix.c_str(), strSuffix.c_str(),
                              strKbytes.c_str(), strFiles.c_str());
                }
            }
        }
    }
    CSF_TRACE(kCSFLogInfo, "%s: %s ...leaving %d", pszAdapter, keys.pszFunction, bResult ? 1 : 0);
    return bResult;
}

}  // namespace

bool CEngineIDSSlave::LoadZam() {
    const char* pszAdapter = m_strAdapterName.c_str();
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::LoadZam called....", pszAdapter);
    bZamLoaded = false;
    if (m_pZamSensorMgr != nullptr) {
        SetEventMatchNotify(std::make_unique<HWEventMatchNotify>());
        std::lock_guard<std::mutex> guard(ModuleCreationLock());
        m_pZamSensorMgr->SetEventMatchNotify(m_pEventNotify.get());
        m_pZamSensor = m_pZamSensorMgr->CreateZamInstance(
            m_LocalAddresses.data(), static_cast<uint32_t>(m_LocalAddresses.size()),
            m_dwCustomerId);
        if (m_pZamSensor != nullptr) {
            bZamLoaded = true;
            CSF_TRACE(kCSFLogInfo, "%s: LoadZam success m_bZamLoaded %d", pszAdapter, 1);
        } else {
            CSF_LOG(kCSFLogError,
                    "Failed to load attack signatures module. Running without attack recognition; "
                    "please check installation.");
        }
    }
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::LoadZam ....leaving", pszAdapter);
    return bZamLoaded;
}

bool CEngineIDSSlave::LoadPacketLogger() {
    CSF_TRACE(kCSFLogInfo, "Loading packet logger");
    return LoadLog(pPacketLog);
}

bool CEngineIDSSlave::LoadEvidenceLogger() {
    CSF_TRACE(kCSFLogInfo, "Loading evidence logger");
    return LoadLog(m_pEvidenceLog);
}

bool CEngineIDSSlave::LoadLog(std::unique_ptr<qorPacketLog>& pLog) {
    if (!pLog) {
        pLog = std::make_unique<qorPacketLog>();
        pLog->SetLogger(CSFLogServices());
    }
    return true;
}

bool CEngineIDSSlave::ConfigureModules(IPolicyContainer* pPolicy, uint8_t byFlag,
                                       uint32_t dwValue) {
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::ConfigureModules called....",
              m_strAdapterName.c_str());
    CSF_TRACE(kCSFLogInfo, "Configuring modules: %d: %d", byFlag, static_cast<int32_t>(dwValue));
    if (pPolicy == nullptr) {
        return false;
    }
    bool bResult = ConfigureZam(pPolicy, dwValue);
    if (bResult) {
        bResult = ConfigureFirewall();
    }
    bPacketLogEnabled = ConfigurePacketLogger(pPolicy);
    if (bPacketLogEnabled) {
        CSF_LOG(kCSFLogInfo, "Packet logger enabled");
    }
    m_bEvidenceLogging = ConfigureEvidenceLogger(pPolicy);
    if (m_bEvidenceLogging) {
        CSF_LOG(kCSFLogInfo, "Evidence logger enabled");
    }
    return bResult;
}

bool CEngineIDSSlave::ConfigureZam(IPolicyContainer* pPolicy, uint32_t) {
    const char* pszAdapter = m_strAdapterName.c_str();
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::ConfigureZam called....", pszAdapter);
    if (!bZamLoaded || m_pZamSensor == nullptr) {
        CSF_TRACE(kCSFLogInfo, "%s: ....leaving ret=false", pszAdapter);
        return false;
    }
    if (!ConfigureCoalescer(pPolicy)) {
        CSF_LOG(kCSFLogError, "Failed to configure advanced event consolidation feature");
    }
    HousekeepingInterval =
        InRange(ReadTuningInt(pPolicy, "advancedeventconsolidation.housekeepinginterval",
                              kDefaultHousekeeping),
                kMaxHousekeeping, kDefaultHousekeeping);
    m_pZamSensor->IssueDisableAll();
    const IDSConfigTable* pTable = m_pIDSConfig != nullptr ? m_pIDSConfig->GetConfigTable() : nullptr;
    const uint32_t nEntries = pTable != nullptr && pTable->entries != nullptr ? pTable->numEntries : 0;
    for (uint32_t i = 0; i < nEntries; ++i) {
        const DetectorIssueMap* pIssues =
            m_pZamSensorMgr != nullptr ? m_pZamSensorMgr->GetIssuesMap() : nullptr;
        if (pIssues == nullptr) {
            CSF_LOG(kCSFLogError, "Unable to get detectorIssuesMap from ZAM manager");
            return false;
        }
        IDSConfigEntry& entry = pTable->entries[i];
        const int32_t nIssue = pIssues->FindIssueId(entry.eventName);
        if (nIssue < 0) {
            CSF_LOG(kCSFLogError, "Failed to find Issue Id for policy file EventName %s",
                    entry.eventName.c_str());
            continue;
        }
        // Every slave finds the same id; only the first one writes it.
        if (entry.issueId != static_cast<uint32_t>(nIssue)) {
            entry.issueId = static_cast<uint32_t>(nIssue);
        }
        m_pZamSensor->IssueEnable(static_cast<uint32_t>(nIssue));
    }
    int32_t nResult = m_pZamSensor->SetParameter("zam.sensor.type.hint", "hostwarden-inline");
    CSF_TRACE(kCSFLogInfo, "SetParameter(zam.sensor.type.hint,HostWarden) returned %d", nResult);
    if (const TuningBlock* pTuning = m_pIDSConfig != nullptr ? m_pIDSConfig->GetTuningBlock() : nullptr) {
        for (uint32_t i = 0; i < pTuning->count && i < TuningBlock::kMaxParams; ++i) {
            m_pZamSensor->SetParameter(pTuning->params[i].name, pTuning->params[i].value);
        }
    }
    ConfigureConsolidationItems(pPolicy);
    if (DiagnosticCallbacksEnabled) {
        for (const char* pszKey : kCallbackKeys) {
            nResult = m_pZamSensor->SetParameter(pszKey, "enabled");
            CSF_TRACE(kCSFLogInfo, "SetParameter(%s,enabled) returned %d", pszKey, nResult);
        }
    }
    nResult = m_pZamSensor->SetParameter("zam.reportinternal", "off");
    CSF_TRACE(kCSFLogInfo, "SetParameter(zam.reportinternal,off) returned %d", nResult);
    CSF_TRACE(kCSFLogInfo, "%s: Finished configuring attack signatures module", pszAdapter);
    CSF_TRACE(kCSFLogInfo, "%s: ....leaving ret=true", pszAdapter);
    return true;
}

void CEngineIDSSlave::ConfigureConsolidationItems(IPolicyContainer* pPolicy) {
    const char* pszAdapter = m_strAdapterName.c_str();
    for (const auto& [strName, strValue] : ListPolicyValues(pPolicy, kTuning)) {
        if (!m_bConsolidation || m_pCoalescer == nullptr ||
            strName.compare(0, kConsolidationPrefixLength, kConsolidationPrefix) != 0 ||
            NameEndsWith(strName, kDescriptionSuffix)) {
            continue;
        }
        // The three the slave reads itself.
        if (strName == "advancedeventconsolidation.enabled" ||
            strName == "advancedeventconsolidation.agetime" ||
            strName == "advancedeventconsolidation.housekeepinginterval") {
            CSF_TRACE(kCSFLogInfo, "%s: advancedeventconsolidation ValueName [%s] Value [%s] NOT applied",
                      pszAdapter, strName.c_str(), strValue.c_str());
            continue;
        }
        const int32_t nResult = m_pCoalescer->SetParameter(
            strName.c_str() + kConsolidationPrefixLength, strValue.c_str());
        CSF_LOG(kCSFLogInfo | kCSFLogConsoleFlag,
                "%s: advancedeventconsolidation ValueName [%s] Value [%s] applied return[%d]",
                pszAdapter, strName.c_str(), strValue.c_str(), nResult);
    }
}

bool CEngineIDSSlave::ConfigureCoalescer(IPolicyContainer* pPolicy) {
    CSF_TRACE(kCSFLogInfo, "Configuring event coalescer called...");
    if (!bZamLoaded || pPolicy == nullptr) {
        CSF_TRACE(kCSFLogInfo, "Configuring event coalescer ...leaving true");
        return true;
    }
    if (!m_bConsolidation) {
        if (m_pEventNotify) {
            m_pEventNotify->EnableCoalescer(false);
        }
        CSF_LOG(kCSFLogInfo, "Advanced Event Consolidation is Disabled");
        return true;
    }
    if (m_pCoalescer == nullptr && m_pZamSensorMgr != nullptr) {
        std::lock_guard<std::mutex> guard(ModuleCreationLock());
        m_pZamSensorMgr->SetEventMatchNotify(m_pEventNotify.get());
        m_pCoalescer = m_pZamSensorMgr->CreateZamCoalescer(m_pZamSensor);
    }
    if (m_pCoalescer == nullptr) {
        CSF_LOG(kCSFLogError, "Failed to create coalescer module.");
        if (m_pEventNotify) {
            m_pEventNotify->EnableCoalescer(false);
        }
        m_bConsolidation = false;
        CSF_LOG(kCSFLogInfo, "Advanced Event Consolidation could not be enabled");
        CSF_TRACE(kCSFLogInfo, "Configuring event coalescer ...leaving false");
        return false;
    }
    if (m_pEventNotify) {
        m_pEventNotify->EnableCoalescer(true);
    }
    CoalescerAgeInterval =
        InRange(ReadTuningInt(pPolicy, "advancedeventconsolidation.agetime", kDefaultAgeTime),
                kMaxAgeTime, kDefaultAgeTime);
    CSF_TRACE(kCSFLogInfo, "Advanced Event Consolidation is Enabled, AgeInterval being %d",
              static_cast<int32_t>(CoalescerAgeInterval));
    return true;
}

std::string CEngineIDSSlave::LogFileTag(const std::string& strAdapter,
                                        const std::string& strHardwareAddress) {
    if (!strHardwareAddress.empty()) {
        return strHardwareAddress;
    }
    static constexpr char kDevicePrefix[] = "\\Device\\";
    std::string strTag = strAdapter.compare(0, sizeof kDevicePrefix - 1, kDevicePrefix) == 0
                             ? strAdapter.substr(sizeof kDevicePrefix - 1)
                             : strAdapter;
    for (char& c : strTag) {
        const bool bKept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        if (!bKept) {
            c = '_';
        }
    }
    // The file index follows: keep it apart from a name that ends in a digit.
    return strTag + "_";
}

bool CEngineIDSSlave::ConfigurePacketLogger(IPolicyContainer* pPolicy) {
    return ConfigureLog(pPacketLog.get(), pPolicy, kPacketLogKeys, m_strAdapterName,
                        m_strHardwareAddress);
}

bool CEngineIDSSlave::ConfigureEvidenceLogger(IPolicyContainer* pPolicy) {
    return ConfigureLog(m_pEvidenceLog.get(), pPolicy, kEvidenceLogKeys, m_strAdapterName,
                        m_strHardwareAddress);
}

void CEngineIDSSlave::StopPacketDriver(const char* pszWhy, bool bKeepHeld) {
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::StopPacketDriver called.... initialsed = %d",
              m_strAdapterName.c_str(), m_bPacketDriverInitialized ? 1 : 0);
    // Frames kept for a reload, in the hold or in the capture it kept
    // open, are lost for the reload's sake when the capture closes before
    // they are analysed (the adapter went while the rules were read): the
    // reload's push must say them, though the capture may close on the
    // packet library's thread, whose lines are the push's only when they
    // are said on the console.
    const bool bKeptForReload =
        !m_Hold.Empty() || m_CatchUp.Pending() || (m_pKeeper && !m_pKeeper->HandedOver());
    // No thread reads a capture that closes; one set up anew first gives
    // the hold what it still holds.
    EndKeepingFrames(bKeepHeld);
    // Frames kept through a reload that no capture thread will analyse now
    // are lost with the capture's own.
    uint64_t qwUnread = 0;
    if (!bKeepHeld) {
        qwUnread = m_Hold.Clear();
    }
    if (m_bPacketDriverInitialized) {
        CSF_TRACE(kCSFLogInfo, "Stopping packet driver");
        m_bPacketDriverInitialized = false;
        try {
            if (m_pPacketDrv) {
                m_pPacketDrv->stop();
                qwUnread += m_pPacketDrv->framesLeftUnreadAtStop();
            }
        } catch (const std::exception& error) {
            CSF_LOG(kCSFLogError, "%s: stopping the packet driver failed: %s",
                    m_strAdapterName.c_str(), error.what());
        }
        CSF_TRACE(kCSFLogInfo, "Packet driver stopped");
    }
    if (qwUnread != 0) {
        const bool bSensorStop = m_bSensorStop && !bKeepHeld;
        CSF_LOG(kCSFLogWarning | (bKeptForReload || bSensorStop ? kCSFLogConsoleFlag : 0u),
                "%s: %s that waited in its capture %s not analysed: %s",
                m_strAdapterName.c_str(), CountText(qwUnread, "frame", "frames").c_str(),
                qwUnread == 1 ? "was" : "were", pszWhy != nullptr ? pszWhy : kClosedAtStop);
        if (bSensorStop) {
            CSFNoticeLostAtStop(qwUnread, "network frames left unanalysed in the captures");
        }
    }
    // The reload waits no more once its loss is said.
    if (!bKeepHeld) {
        m_CatchUp.End();
    }
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::StopPacketDriver ....exited",
              m_strAdapterName.c_str());
}
