#include "IDS/CEngineIDS.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iterator>
#include <new>
#include <utility>

#include "Common/CPolicyEvent.h"
#include "Common/CThreadList.h"
#include "Common/ISensorCore.h"
#include "Common/SensorSettings.h"
#include "IDS/CCallbackTimer.h"
#include "IDS/CEngineIDSSlave.h"
#include "IDS/IDSClock.h"
#include "IDS/IDSConfig.h"
#include "IDS/PolicyValues.h"
#include "IDS/SlaveReadyList.h"
#include "hostwarden/CSFIdentifiers.h"
#include "hostwarden/ICSFClassFactory.h"
#include "hostwarden/IPolicyContainer.h"
#include "platform/DynamicLoader.h"
#include "platform/OwnFiles.h"
#include "qorCSFLib/CSFEventRegistry.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/jsFastLock.h"
#include "qorToolsLib/jsRwSync.h"
#include "qorZamSensorLib/qorZamCrashLog.h"
#include "qorZamSensorLib/qorZamSensorMgr.h"
#include "rawpacket/PacketDll.h"

namespace {

constexpr const char kBastionSection[] = "\\Advanced\\Rules\\Bastion\\";
constexpr const char kDefaultZamModule[] = "qor-zam1";
constexpr const char kModuleFolder[] = "Duskwall/";
constexpr const char kIssueTable[] = "issues.csv";
constexpr const char kCrashLogName[] = "Logs/ZamLog.txt";
constexpr int32_t kDefaultMemoryPercent = 75;
constexpr int32_t kMinMemoryPercent = 25;
constexpr int32_t kMaxMemoryPercent = 900;
constexpr int64_t kQueueReportSeconds = 60;
// The slave operations take no argument of the sensor's, but for a
// reload's pause, which keeps the adapters' captures open.
constexpr uint32_t kSlaveArgument = 0;

uint32_t SlaveArgument(uint32_t dwArgument) {
    return CEngineBase::IsReload(dwArgument) ? CEngineBase::kReloadArgument : kSlaveArgument;
}

// Process-wide, as the module's exception handler and the watchdog have no
// engine of their own: the slaves, in creation order (owned by the engine's
// thread list), and their lock.
std::vector<CEngineIDSSlave*> gSlaveIDSEngines;
jsFastSync gSlaveListLock;

// The packet library's adapter records, shared with the capture library,
// which reads them under the shared side of this lock.
rp::PacketAdapterEntry g_AdapterTable[rp::kAdapterTableEntries];
jsRwSync g_AdapterListLock(1, "GlobalAdapterListRwSync");

uint32_t g_dwSlaveReadyWaitMs = CEngineIDS::kDefaultSlaveReadyWaitMs;

void LockAdapterTableShared() { g_AdapterListLock.Lock(jsRwSync::kShared); }
void UnlockAdapterTableShared() { g_AdapterListLock.Unlock(jsRwSync::kShared); }

class AdapterTableLock {
public:
    explicit AdapterTableLock(uint32_t dwMode) : m_dwMode(dwMode) { g_AdapterListLock.Lock(dwMode); }
    ~AdapterTableLock() { g_AdapterListLock.Unlock(m_dwMode); }
    AdapterTableLock(const AdapterTableLock&) = delete;
    AdapterTableLock& operator=(const AdapterTableLock&) = delete;

private:
    uint32_t m_dwMode;
};

std::string AdapterName(const rp::PacketAdapterEntry& entry) {
    return std::string(rp::EntryText(&entry, rp::kEntryName),
                       rp::EntryTextLength(&entry, rp::kEntryName));
}

uint32_t AdapterFlags(const rp::PacketAdapterEntry& entry) {
    return rp::EntryWord(&entry, rp::kEntryFlags);
}

bool IsNowOnline(uint32_t dwFlags) {
    return (dwFlags & rp::kEntryFlagOnline) != 0 && (dwFlags & rp::kEntryFlagMonitor) != 0 &&
           (dwFlags & rp::kEntryFlagOffline) == 0;
}

bool IsNowOffline(uint32_t dwFlags) {
    return (dwFlags & rp::kEntryFlagOffline) != 0 &&
           ((dwFlags & rp::kEntryFlagOnline) == 0 || (dwFlags & rp::kEntryFlagMonitor) == 0);
}

IPolicyContainer* CurrentPolicy() {
    ISensorCore* pSensor = GetSensorCore();
    return pSensor != nullptr ? pSensor->GetCurrentPolicy() : nullptr;
}

bool NodekeeperOn() { return SensorSettings::Instance().m_bNodekeeper; }

std::string PolicyText(IPolicyContainer* pPolicy, const char* pszPath, const char* pszName) {
    const char* pszText = pPolicy != nullptr ? pPolicy->GetText(pszPath, pszName, "") : "";
    return pszText != nullptr ? pszText : "";
}

// Every slave writes its crash record; the caller holds the slave-list lock.
void LogEveryCrash() {
    for (CEngineIDSSlave* pSlave : gSlaveIDSEngines) {
        pSlave->LogCrash(nullptr);
    }
}

}  // namespace

CEngineIDS::CEngineIDS(Site site)
    : CEngineBase("IDS Engine"),
      m_pTimer(std::make_unique<CCallbackTimer>(kWatchdogPeriodMs, [this] { CheckSlaveTimeouts(); })),
      m_Site(std::move(site)) {}

CEngineIDS::~CEngineIDS() {
    // The thread drains the queue into the sensor; it ends before the rest.
    StopAndWait();
    DeleteSlaves();
    m_pIThreadList.reset();
    StopTimer();
    m_pTimer.reset();
    ReleaseZam();
    UnloadPacketDriver();
    if (auto* pConfig = dynamic_cast<CIDSConfig*>(m_pIDSConfig)) {
        pConfig->SetMasterEngine(nullptr);
    }
}

std::string CEngineIDS::SensorDirectory() const {
    return m_Site.sensorDirectory ? m_Site.sensorDirectory() : std::string();
}

void CEngineIDS::SetSlaveReadyWait(uint32_t dwMilliseconds) { g_dwSlaveReadyWaitMs = dwMilliseconds; }

// -- The packet library ------------------------------------------------------

bool CEngineIDS::LoadPacketDriver() {
    if (m_bPacketLibraryLoaded) {
        return true;
    }
    if (m_PacketLibrary.Load(m_strPacketLibraryName.c_str()) != QOR_S_OK) {
        m_strCaptureProblem = "the packet library " + m_strPacketLibraryName + " did not load: " +
                              plat::LastLoaderMessage();
        return false;
    }
    m_pfnPacketInit = GetProcAs<rp::PacketInitFn>(m_PacketLibrary, "PacketInit");
    m_pfnPacketTerm = GetProcAs<rp::PacketTermFn>(m_PacketLibrary, "PacketTerm");
    m_pfnPacketSetParameter = GetProcAs<rp::PacketSetParameterFn>(m_PacketLibrary, "PacketSetParameter");
    m_pfnPacketGetAdapterList =
        GetProcAs<rp::PacketGetAdapterListFn>(m_PacketLibrary, "PacketGetAdapterList");
    m_pfnPacketSetNotifyRoutine =
        GetProcAs<rp::PacketSetNotifyRoutineFn>(m_PacketLibrary, "PacketSetNotifyRoutine");
    std::string strMissing;
    const std::pair<const char*, bool> entries[] = {
        {"PacketInit", m_pfnPacketInit != nullptr},
        {"PacketTerm", m_pfnPacketTerm != nullptr},
        {"PacketSetParameter", m_pfnPacketSetParameter != nullptr},
        {"PacketGetAdapterList", m_pfnPacketGetAdapterList != nullptr},
        {"PacketSetNotifyRoutine", m_pfnPacketSetNotifyRoutine != nullptr},
    };
    for (const auto& [pszEntry, bFound] : entries) {
        if (!bFound) {
            strMissing += (strMissing.empty() ? "" : ", ") + std::string(pszEntry);
        }
    }
    if (!strMissing.empty()) {
        m_strCaptureProblem = "the packet library " + m_PacketLibrary.Name() + " lacks " + strMissing;
        FreePacketLibrary();
        return false;
    }
    const uint32_t block[3] = {6, 1, 12};
    const uint32_t dwResult = m_pfnPacketInit(block);
    if (dwResult == 0 || dwResult == kPacketAlreadyInitialised) {
        m_bPacketLibraryLoaded = true;
        CSF_LOG(kCSFLogInfo | kCSFLogConsoleFlag, "Successfully loaded the Duskwall driver");
        return true;
    }
    CSF_LOG(kCSFLogInfo, "The Duskwall Packet Capture Driver could not be loaded");
    CSF_LOG(kCSFLogError, "Error 0x%x initializing the Network Monitoring Component of Host Warden.",
            dwResult);
    char szProblem[96];
    std::snprintf(szProblem, sizeof szProblem, "the packet library refused to initialise (error 0x%x)",
                  dwResult);
    m_strCaptureProblem = szProblem;
    // Not initialised: no terminate call is owed.
    FreePacketLibrary();
    return false;
}

void CEngineIDS::UnloadPacketDriver() {
    if (!m_bPacketLibraryLoaded) {
        return;
    }
    // Nothing may call into an engine that no longer listens.
    m_pfnPacketSetNotifyRoutine(nullptr);
    m_pfnPacketTerm();
    FreePacketLibrary();
    m_bPacketLibraryLoaded = false;
}

void CEngineIDS::FreePacketLibrary() {
    m_PacketLibrary.Free();
    m_pfnPacketInit = nullptr;
    m_pfnPacketTerm = nullptr;
    m_pfnPacketSetParameter = nullptr;
    m_pfnPacketGetAdapterList = nullptr;
    m_pfnPacketSetNotifyRoutine = nullptr;
}

bool CEngineIDS::ReadAdapterTable(bool bZeroFirst, uint32_t& dwError) {
    AdapterTableLock guard(jsRwSync::kExclusive);
    if (bZeroFirst) {
        std::memset(g_AdapterTable, 0, sizeof g_AdapterTable);
    }
    dwError = m_pfnPacketGetAdapterList(g_AdapterTable, rp::kAdapterTableEntries);
    if (dwError != 0) {
        CSF_LOG(kCSFLogError, "PacketGetAdapterList failed with error=%d\n", static_cast<int32_t>(dwError));
        return false;
    }
    return true;
}

// -- The signature module ----------------------------------------------------

int32_t CEngineIDS::InitializeZAM(IPolicyContainer* pPolicy) {
    m_strZamModule = PolicyText(pPolicy, kConfig, "sensor.zamplugin");
    if (m_strZamModule.empty()) {
        m_strZamModule = std::string(kDefaultZamModule) + ".dll";
        CSF_TRACE(kCSFLogInfo, "%s\\sensor.zamplugin section not found. Setting default %s\n", kConfig,
                  m_strZamModule.c_str());
        if (pPolicy != nullptr && pPolicy->SetText(kConfig, "sensor.zamplugin", m_strZamModule.c_str()) != 0) {
            const std::string strKey = std::string(kConfig) + "\\sensor.zamplugin";
            CSF_LOG(kCSFLogInfo,
                    "Attack signatures module \"%s\" is not specified in the policy file. Default module "
                    "\"%s\" will be used.",
                    strKey.c_str(), m_strZamModule.c_str());
        }
    }
    const std::string strDirectory = SensorDirectory() + kModuleFolder;
    const std::string strModule = strDirectory + m_strZamModule;
    const std::string strIssues = strDirectory + kIssueTable;

    const int32_t nZero = 0;
    int32_t nPercent =
        pPolicy != nullptr ? pPolicy->GetInt(kTuning, "sensor.zammaxmemoryusagefactor", &nZero) : 0;
    if (nPercent == 0) {
        nPercent = static_cast<int32_t>(m_fMaxMemoryFactor * 100.0f + 0.5f);
        CSF_TRACE(kCSFLogInfo, "%s\\sensor.zammaxmemoryusagefactor not found. Setting default %d\n",
                  kTuning, nPercent);
        if (pPolicy != nullptr) {
            const int32_t nSet = pPolicy->SetInt(kTuning, "sensor.zammaxmemoryusagefactor", &nPercent);
            CSF_TRACE(kCSFLogInfo, "Set sensor.zammaxmemoryusagefactor returned :%d for value %d\n",
                      nSet, nPercent);
            pPolicy->SetText(kTuning, "sensor.zammaxmemoryusagefactorDescription",
                             "max memory usage factor not specified in the policy file. Default will be "
                             "used.");
        }
    } else if (nPercent >= kMinMemoryPercent && nPercent <= kMaxMemoryPercent) {
        m_fMaxMemoryFactor = static_cast<float>(nPercent) * 0.01f;
    }

    std::string strVersion;
    qorZamSensorMgr* pManager =
        qorZamSensorMgr::GetInstance(strModule.c_str(), m_fMaxMemoryFactor, strVersion, CSFLogServices());
    if (pManager == nullptr) {
        CSF_LOG(kCSFLogError, "Unable to load ZAM manager module.");
        m_strCaptureProblem =
            "the signature module " + strModule + " did not load: " + qorZamSensorMgr::LastLoadProblem();
        return 1;
    }
    CSF_TRACE(kCSFLogInfo, "Loaded ZAM manager module OK.");
    pManager->SetExceptionHandler(&CEngineIDS::OnZamException);
    CSF_TRACE(kCSFLogInfo, "Set ZAM exception handler.");
    pManager->SetLogger(CSFLogServices());
    if (!pManager->InitIssuesMap(strIssues.c_str(), nullptr)) {
        CSF_LOG(kCSFLogError, "Unable to load ZAM issues map.\n");
        m_strCaptureProblem = "the signature module's issue table " + strIssues +
                              " cannot be opened or lists no issue";
        return 1;
    }
    CSF_TRACE(kCSFLogInfo, "Loaded ZAM issues map.");
    m_bZamInitialized = true;
    return 0;
}

int32_t CEngineIDS::ReleaseZam() {
    const bool bReleased = qorZamSensorMgr::ReleaseInstance();
    m_bZamInitialized = false;
    CSF_TRACE(kCSFLogInfo, "....leaving %d with ReleaseInstance reporting %d", 0, bReleased ? 1 : 0);
    return 0;
}

void CEngineIDS::OpenCrashLog(IPolicyContainer* pPolicy) {
    std::string strPath = PolicyText(pPolicy, kConfig, "sensor.zamcrashlogpath");
    if (strPath.empty()) {
        strPath = SensorDirectory() + kCrashLogName;
    }
    CSF_LOG(kCSFLogInfo, "Logging ZAM info to %s\n", strPath.c_str());
    // The folder is the sensor's own: made when a new root lacks it.
    const std::string folder = std::filesystem::path(strPath).parent_path().string();
    std::string problem;
    if (!folder.empty() && !plat::MakeOwnFolders(folder, &problem)) {
        CSF_LOG(kCSFLogError, "The module crash log folder cannot be made: %s", problem.c_str());
    }
    if (qorZamCrashLog* pLog = qorZamCrashLog::GetInstance()) {
        const bool bOpened = pLog->OpenWithBackup(strPath);
        if (!pLog->GetBackupProblem().empty()) {
            CSF_LOG(kCSFLogWarning, "The module crash log of the last run is not kept: %s",
                    pLog->GetBackupProblem().c_str());
        }
        if (!bOpened) {
            CSF_LOG(kCSFLogError, "The module crash log is not written: %s",
                    pLog->GetOpenProblem().c_str());
        }
    }
}

void CEngineIDS::SetPacketParameters(IPolicyContainer* pPolicy) {
    m_bInlineReceive = false;
    m_bInlineTransmit = false;
    if (m_pfnPacketSetParameter("packet.InlineReceive", "on") == 0) {
        m_bInlineReceive = true;
    }
    m_pfnPacketSetParameter("packet.InlineTransmit", "off");
    m_pfnPacketSetParameter("packet.NativeIPsec.IDSonly", "enabled");
    m_pfnPacketSetParameter("packet.PassthruWatchdog", "180");
    // The policy may set any other parameter of the library, and switch
    // inline transmission on.
    for (const auto& [strName, strText] : ListPolicyValues(pPolicy, kTuning)) {
        if (!strName.starts_with("packet.") || strName.ends_with("Description")) {
            continue;
        }
        if (pPolicy->GetValueType(kTuning, strName.c_str()) != kPolicyValueBool) {
            m_pfnPacketSetParameter(strName.c_str(), strText.c_str());
            continue;
        }
        const bool bDefault = true;
        const bool bOn = pPolicy->GetBool(kTuning, strName.c_str(), &bDefault);
        if (m_pfnPacketSetParameter(strName.c_str(), bOn ? "on" : "off") == 0 && bOn) {
            if (strName.starts_with("packet.InlineReceive")) {
                m_bInlineReceive = true;
            } else if (strName == "packet.InlineTransmit") {
                m_bInlineTransmit = true;
            }
        }
    }
}

// -- Slaves ------------------------------------------------------------------

CEngineIDSSlave* CEngineIDS::CreateSlave(const std::string& strAdapter, uint32_t dwFlags) {
    return new (std::nothrow) CEngineIDSSlave(strAdapter.c_str(), kCustomerId, dwFlags, &m_EventQueue);
}

CEngineIDSSlave* CEngineIDS::AddSlave(const std::string& strAdapter, uint32_t dwFlags) {
    CEngineIDSSlave* pSlave = CreateSlave(strAdapter, dwFlags);
    if (pSlave == nullptr) {
        return nullptr;
    }
    pSlave->SetInlineFlags(m_bInlineReceive, m_bInlineTransmit);
    {
        jsFastLock guard(gSlaveListLock, true);
        gSlaveIDSEngines.push_back(pSlave);
    }
    return pSlave;
}

bool CEngineIDS::ForgetSlave(const std::string& strAdapter) {
    jsFastLock guard(gSlaveListLock, true);
    for (auto it = gSlaveIDSEngines.begin(); it != gSlaveIDSEngines.end(); ++it) {
        if (strAdapter == (*it)->GetName()) {
            gSlaveIDSEngines.erase(it);
            return true;
        }
    }
    return false;
}

bool CEngineIDS::HasSlave(const std::string& strAdapter) const {
    jsFastLock guard(gSlaveListLock, true);
    for (CEngineIDSSlave* pSlave : gSlaveIDSEngines) {
        if (strAdapter == pSlave->GetName()) {
            return true;
        }
    }
    return false;
}

bool CEngineIDS::DescribeInput(std::string& strInput) {
    // Capture is set up, and its reason kept, under the operations lock.
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    if (m_pIDSConfig != nullptr ? !m_pIDSConfig->IsIDSEnabled() : !NodekeeperOn()) {
        strInput = "off: network monitoring (\"Nodekeeper\") is off";
        return true;
    }
    if (!m_strCaptureProblem.empty()) {
        strInput = m_strCaptureProblem;
        return false;
    }
    if (!m_pIThreadList) {
        strInput = "network capture was not set up";
        return false;
    }
    std::string strAdapters;
    std::string strEnded;
    std::string strLacking;
    {
        jsFastLock guard(gSlaveListLock, true);
        for (CEngineIDSSlave* pSlave : gSlaveIDSEngines) {
            std::string strWords;
            if (!pSlave->HasInput(strWords)) {
                strLacking += (strLacking.empty() ? "" : "; ") + strWords;
            } else if (pSlave->InputEnded(strWords)) {
                strEnded += (strEnded.empty() ? "" : "; ") + strWords;
            } else {
                strAdapters += (strAdapters.empty() ? "" : ", ") + pSlave->GetAdapterName();
            }
        }
    }
    // A replay played to its end is no fault while other adapters are
    // watched; with none left, the engine has no input.
    if (strAdapters.empty()) {
        const std::string strNone = strEnded + (strEnded.empty() || strLacking.empty() ? "" : "; ") + strLacking;
        strInput = strNone.empty() ? "no adapter to watch" : strNone;
        return false;
    }
    strInput = "adapters " + strAdapters;
    if (!strEnded.empty()) {
        strInput += "; " + strEnded;
    }
    if (!strLacking.empty()) {
        // Watching some adapters, blind on others.
        strInput += "; WITHOUT INPUT: " + strLacking;
    }
    return true;
}

std::vector<std::string> CEngineIDS::GetSlaveNames() const {
    std::vector<std::string> names;
    jsFastLock guard(gSlaveListLock, true);
    for (CEngineIDSSlave* pSlave : gSlaveIDSEngines) {
        names.emplace_back(pSlave->GetName());
    }
    return names;
}

void CEngineIDS::CreateSlaves() {
    std::vector<std::pair<std::string, uint32_t>> adapters;
    {
        AdapterTableLock guard(jsRwSync::kShared);
        for (const rp::PacketAdapterEntry& entry : g_AdapterTable) {
            if ((AdapterFlags(entry) & rp::kEntryFlagMonitor) != 0) {
                adapters.emplace_back(AdapterName(entry), AdapterFlags(entry));
            }
        }
    }
    for (const auto& [strAdapter, dwFlags] : adapters) {
        if (CEngineIDSSlave* pSlave = AddSlave(strAdapter, dwFlags)) {
            m_pIThreadList->Append(pSlave);
        }
    }
}

void CEngineIDS::DeleteSlaves(bool bSensorStop) {
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    if (!m_pIThreadList) {
        return;
    }
    {
        jsFastLock guard(gSlaveListLock, true);
        for (CEngineIDSSlave* pSlave : gSlaveIDSEngines) {
            if (bSensorStop) {
                pSlave->StoppedWithTheSensor();
            }
        }
        CSF_TRACE(kCSFLogInfo, "Emptying gSlaveIDSEngines of slave engine pointers");
        gSlaveIDSEngines.clear();
        CSF_TRACE(kCSFLogInfo, "Emptied gSlaveIDSEngines of slave engine pointers");
    }
    m_pIThreadList->StopAll(kSlaveArgument);
    CSF_TRACE(kCSFLogInfo, "Back from EngineIDS pIThreadList->OnStop - Stopped all slave threads");
    m_pIThreadList->DeleteAll();
    CSF_TRACE(kCSFLogInfo, "Deleted all slave threads");
}

bool CEngineIDS::AllSlavesReady() const {
    return SlaveReadyList::Instance().AllReady(m_dwStartedSlaves);
}

void CEngineIDS::WaitForSlaves(uint32_t dwSlaves) {
    if (SlaveReadyList::Instance().WaitAllReady(dwSlaves, g_dwSlaveReadyWaitMs)) {
        return;
    }
    CSF_LOG(kCSFLogWarning,
            "IDS: %u of %u adapter engines did not start within %u s; network monitoring goes on "
            "without them",
            dwSlaves - SlaveReadyList::Instance().ReadyCount(), dwSlaves, g_dwSlaveReadyWaitMs / 1000);
}

bool CEngineIDS::ReadAdapterChanges(std::vector<std::pair<std::string, uint32_t>>& online,
                                    std::vector<std::string>& offline, uint32_t& dwError) {
    if (!m_bPacketLibraryLoaded || m_pfnPacketGetAdapterList == nullptr || !m_pIThreadList || m_bStopped) {
        CSF_TRACE(kCSFLogInfo, "IDS Engine is not capturing: adapter update ignored");
        dwError = 1;
        return false;
    }
    // A failed read leaves the library and the slaves as they are: the
    // slaves still read through the library.
    if (!ReadAdapterTable(false, dwError)) {
        return false;
    }
    std::vector<std::string> listed;
    {
        AdapterTableLock guard(jsRwSync::kShared);
        for (const rp::PacketAdapterEntry& entry : g_AdapterTable) {
            if (rp::EntryWord(&entry, rp::kEntryPresent) == 0) {
                continue;
            }
            listed.push_back(AdapterName(entry));
            const uint32_t dwFlags = AdapterFlags(entry);
            if (IsNowOnline(dwFlags)) {
                online.emplace_back(listed.back(), dwFlags);
            } else if (IsNowOffline(dwFlags)) {
                offline.push_back(listed.back());
            }
        }
    }
    // The library flags off-line only an adapter whose capture is open: one
    // that went while its engine had it closed (the sensor paused) leaves
    // the list without a word, and is as gone.
    for (std::string& strAdapter : GetSlaveNames()) {
        if (std::find(listed.begin(), listed.end(), strAdapter) == listed.end()) {
            offline.push_back(std::move(strAdapter));
        }
    }
    // The library reports an adapter on-line at every change, not only
    // when it comes: one slave per adapter.
    std::erase_if(online, [this](const auto& adapter) { return HasSlave(adapter.first); });
    return true;
}

void CEngineIDS::AddSlaveWhilePaused(const std::string& strAdapter, uint32_t dwFlags) {
    CEngineIDSSlave* pSlave = AddSlave(strAdapter, dwFlags);
    if (pSlave == nullptr) {
        return;
    }
    // The next resume starts it with the others.
    m_pIThreadList->Append(pSlave);
    pSlave->Oninit(kSlaveArgument);
    m_AdaptersCameWhilePaused.push_back(strAdapter);
    if (!m_bPausedForReload) {
        CSF_LOG(kCSFLogInfo, "%s: the adapter came on-line while the engines are paused: its engine starts "
                             "at the resume",
                strAdapter.c_str());
        return;
    }
    // A reload keeps the frames of every live adapter until its rules are
    // read, and this one's too: its capture opens now, and the resume
    // analyses what it kept, as it does for the adapters it paused.
    pSlave->KeepFramesUntilSetUp();
    CSF_LOG(kCSFLogInfo, "%s: the adapter came on-line while a reload keeps the rules from the frames: its "
                         "frames are kept from now on, and its engine starts at the reload's resume",
            strAdapter.c_str());
}

uint32_t CEngineIDS::UpdateAdapterList() {
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    uint32_t dwError = 0;
    std::vector<std::pair<std::string, uint32_t>> online;
    std::vector<std::string> offline;
    if (!ReadAdapterChanges(online, offline, dwError)) {
        return dwError;
    }
    for (const auto& [strAdapter, dwFlags] : online) {
        if (!m_bSlavesRunning) {
            AddSlaveWhilePaused(strAdapter, dwFlags);
        } else if (CEngineIDSSlave* pSlave = AddSlave(strAdapter, dwFlags)) {
            m_pIThreadList->AddThread(pSlave);
            SayAdapterCame(strAdapter, "");
        }
        CSF_TRACE(kCSFLogInfo, "Adapter %s is now on-line; added IDS engine.", strAdapter.c_str());
    }
    for (const std::string& strAdapter : offline) {
        if (ForgetSlave(strAdapter)) {
            CSF_TRACE(kCSFLogInfo, "Adapter %s is now off-line; removed IDS engine.", strAdapter.c_str());
            m_pIThreadList->RemoveThread(strAdapter.c_str());
            std::erase(m_AdaptersCameWhilePaused, strAdapter);
            CSF_LOG(kCSFLogNotice | kCSFLogConsoleFlag,
                    "%s: the adapter went off-line: network monitoring on it ended", strAdapter.c_str());
            CSFNoticeDescriptionChanged("adapter off-line");
        }
    }
    return 0;
}

void CEngineIDS::KeepFramesOfAdaptersCome() {
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    // Running adapter engines are set up with the policy, which the update
    // has as soon as the command that holds it lets go; an operator's
    // pause keeps no frame of any adapter.
    if (m_bSlavesRunning || !m_bPausedForReload) {
        return;
    }
    uint32_t dwError = 0;
    std::vector<std::pair<std::string, uint32_t>> online;
    std::vector<std::string> offline;
    if (!ReadAdapterChanges(online, offline, dwError)) {
        return;
    }
    for (const auto& [strAdapter, dwFlags] : online) {
        AddSlaveWhilePaused(strAdapter, dwFlags);
    }
}

// The start-up's summary named the adapters watched then; one that comes
// later would otherwise be watched unsaid, and hwhost.status would show it
// only at the next reload.
void CEngineIDS::SayAdapterCame(const std::string& strAdapter, const char* pszAt) {
    bool bFound = false;
    bool bHasInput = false;
    std::string strProblem;
    {
        jsFastLock guard(gSlaveListLock, true);
        for (CEngineIDSSlave* pSlave : gSlaveIDSEngines) {
            if (strAdapter == pSlave->GetName()) {
                bFound = true;
                bHasInput = pSlave->HasInput(strProblem);
                break;
            }
        }
    }
    if (!bFound) {
        return;
    }
    if (bHasInput) {
        CSF_LOG(kCSFLogNotice | kCSFLogConsoleFlag,
                "%s: the adapter came on-line and its capture was set up%s: network monitoring runs on "
                "it now",
                strAdapter.c_str(), pszAt);
    } else {
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s: the adapter came on-line%s, WITHOUT INPUT: %s",
                strAdapter.c_str(), pszAt, strProblem.c_str());
    }
    CSFNoticeDescriptionChanged("adapter on-line");
}

// -- Watchdog and module exceptions -------------------------------------------

void CEngineIDS::CheckSlaveTimeouts() {
    CSF_TRACE(0x1009, "Check if any IDS Slave has timed out.");
    // The slaves stamp the frame they hand the module on the same clock.
    const int64_t tNow = IDSNow();
    bool bTimedOut = false;
    {
        jsFastLock guard(gSlaveListLock, true);
        for (CEngineIDSSlave* pSlave : gSlaveIDSEngines) {
            if (pSlave->isTimedOut(tNow)) {
                pSlave->LogCrash(nullptr);
                bTimedOut = true;
            }
        }
    }
    if (bTimedOut) {
        std::_Exit(2);
    }
}

void CEngineIDS::OnZamException(const char* pszMessage) {
    CSF_LOG(kCSFLogError, "ZAM Exception message: %s.", pszMessage != nullptr ? pszMessage : "");
    {
        jsFastLock guard(gSlaveListLock, true);
        CSF_TRACE(kCSFLogInfo,
                  "Iterating over gSlaveIDSEngines calling LogCrash method of each slave engine");
        LogEveryCrash();
        CSF_TRACE(kCSFLogInfo,
                  "Finished iterating over gSlaveIDSEngines calling the LogCrash method of each slave "
                  "engine");
    }
    std::_Exit(2);
}

void CEngineIDS::StopTimer() {
    if (m_pTimer && m_pTimer->IsRunning()) {
        m_pTimer->Stop(1, false);
        m_pTimer->WaitForExit(plat::kInfinite);
        m_pTimer->Reset();
    }
}

// -- Configuration -----------------------------------------------------------

int32_t CEngineIDS::Initialize() {
    if (m_bConfigured) {
        return 0;
    }
    if (m_pIDSConfig == nullptr || !m_pIDSConfig->IsIDSEnabled()) {
        CSF_LOG(kCSFLogError, "Network Monitoring Component of Host Warden is DISABLED...");
        gIDSEnabled = false;
        return 1;
    }
    gIDSEnabled = true;
    RuleContainer* pRules = GetRuleContainer();
    CSF_TRACE(kCSFLogInfo, "New Rule Container %p\n", static_cast<void*>(pRules));
    if (m_pIDSConfig->Configure(pRules) != 0) {
        CSF_LOG(kCSFLogError, "Error in configuring Network Monitoring Component of Host Warden, DISABLED.");
        return 1;
    }
    CSF_TRACE(kCSFLogInfo, "Done IDSConfig Configure OK.\n");
    m_bConfigured = true;
    return 0;
}

void CEngineIDS::Shutdown() {
    if (m_bConfigured) {
        CSF_TRACE(kCSFLogInfo, "Shutting down IDS engine.");
        m_pIDSConfig->Reset();
    }
    m_bConfigured = false;
}

bool CEngineIDS::RefreshIDSEnabled() {
    if (m_pIDSConfig == nullptr) {
        return false;
    }
    m_pIDSConfig->SetIDSEnabled(NodekeeperOn());
    return m_pIDSConfig->IsIDSEnabled();
}

int32_t CEngineIDS::ConfigureEventSections(CSFEventRegistry* pRegistry) {
    if (pRegistry == nullptr) {
        return 0;
    }
    pRegistry->RegisterSection(m_IDSReader.GetRulesSectionPath().c_str(), m_Site.pPrototype, 1);
    pRegistry->RegisterSection(m_UserIDSReader.GetRulesSectionPath().c_str(), m_Site.pPrototype, 1);
    pRegistry->RegisterSection(kBastionSection, &m_BastionEvent, 2);
    return 0;
}

int32_t CEngineIDS::PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) {
    pContainer->Clear();
    m_IDSReader.ReadRules(pContainer, pPolicy);
    m_UserIDSReader.ReadRules(pContainer, pPolicy);
    m_BastionReader.ResetEventIds();
    for (size_t i = 0; i < std::size(kBastionSections); ++i) {
        m_BastionReader.SetSection(i);
        m_BastionReader.ReadRules(pContainer, pPolicy);
    }
    return 0;
}

// -- Lifecycle -----------------------------------------------------------------

int32_t CEngineIDS::Oninit(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogInfo, "CEngineIDS::Oninit ...called");
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    int32_t nResult = 1;
    const auto failed = [&](const char* pszWhy) {
        m_strCaptureProblem = std::string("setting up capture failed: ") + pszWhy;
        m_bInOninit = false;
        m_bInitialised = true;
        ReleaseZam();
        UnloadPacketDriver();
        DeleteSlaves();
        m_pIThreadList.reset();
        nResult = 1;
    };
    try {
        rp::setAdapterTable(g_AdapterTable, rp::kAdapterTableEntries, &LockAdapterTableShared,
                            &UnlockAdapterTableShared);
        m_bInOninit = true;
        nResult = CEngineBase::Oninit(dwArgument);
        m_bInOninit = false;
        if (nResult == 0) {
            nResult = InitializeCapture(CurrentPolicy(), false);
        } else {
            m_strCaptureProblem = "its rules could not be read, so capture was not set up";
        }
        m_bInitialised = true;
    } catch (const std::exception& error) {
        failed(error.what());
    } catch (...) {
        failed("an unknown exception");
    }
    CSF_TRACE(kCSFLogInfo, "CEngineIDS::Oninit ...Leaving %d", nResult);
    return nResult;
}

// At a reload the sensor holds the policy lock, which an adapter update on
// the packet library's thread waits for, and unloading the library waits for
// that thread: the library is then told of this engine only once nothing
// can fail and unload it any more.
int32_t CEngineIDS::InitializeCapture(IPolicyContainer* pPolicy, bool bAtReload) {
    m_strCaptureProblem.clear();
    if (m_pIDSConfig == nullptr) {
        void* pObject = nullptr;
        if (m_Site.pFactory != nullptr) {
            m_Site.pFactory->CreateInstance(CLSID_IDSConfig, &pObject);
        }
        m_pIDSConfig = static_cast<IIDSConfig*>(pObject);
        if (m_pIDSConfig == nullptr) {
            m_strCaptureProblem = "the network monitoring configuration could not be made";
            return 1;
        }
        if (auto* pConfig = dynamic_cast<CIDSConfig*>(m_pIDSConfig)) {
            pConfig->SetMasterEngine(this);
        }
    }
    if (!NodekeeperOn()) {
        return 0;
    }
    m_EventQueue.SetCapacity(IDSEventQueue::kCapacity);
    if (!LoadPacketDriver()) {
        return 1;
    }
    if (!bAtReload) {
        m_pfnPacketSetNotifyRoutine(m_Site.pfnAdapterNotify);
    }
    uint32_t dwError = 0;
    if (!ReadAdapterTable(true, dwError)) {
        char szProblem[96];
        std::snprintf(szProblem, sizeof szProblem,
                      "the packet library's adapter list could not be read (error 0x%x)", dwError);
        m_strCaptureProblem = szProblem;
        UnloadPacketDriver();
        return 1;
    }
    OpenCrashLog(pPolicy);
    if (InitializeZAM(pPolicy) != 0) {
        // A module that loaded without its issue table is let go too, so the
        // next set-up loads the module the policy then names.
        ReleaseZam();
        UnloadPacketDriver();
        return 1;
    }
    m_bZamInitialized = true;
    CSF_TRACE(kCSFLogInfo, "Done InitializeZAM OK.\n");
    SetPacketParameters(pPolicy);
    m_pIThreadList = std::make_unique<CThreadList>();
    CreateSlaves();
    m_pIThreadList->OninitAll(kSlaveArgument);
    if (bAtReload) {
        m_pfnPacketSetNotifyRoutine(m_Site.pfnAdapterNotify);
    }
    if (!m_pTimer->IsRunning()) {
        m_pTimer->Start();
    }
    return 0;
}

void CEngineIDS::StartMonitoring(uint32_t dwArgument, bool bResume, const char* pszDisabled) {
    if (!RefreshIDSEnabled()) {
        CSF_LOG(kCSFLogInfo, "%s", pszDisabled);
        if (bResume && IsReload(dwArgument)) {
            // The slaves stay paused: what their captures kept through the
            // reload is not read.
            jsFastLock guard(gSlaveListLock, true);
            for (CEngineIDSSlave* pSlave : gSlaveIDSEngines) {
                pSlave->CloseKeptCapture("the reload switched network monitoring off");
            }
        }
        return;
    }
    if (Initialize() != 0) {
        CSF_LOG(kCSFLogError, "Error in initializing Network Monitoring Component of Host Warden.");
    }
    CSF_TRACE(0x1009, "Network Monitoring Component of Host Warden starting....");
    if (!m_pIThreadList) {
        return;
    }
    CSF_TRACE(kCSFLogInfo, "Calling EngineIDS pIThreadList->%s", bResume ? "OnResume" : "OnStart");
    if (bResume) {
        m_pIThreadList->ResumeAll(dwArgument);
        return;
    }
    // Only the threads of this start count.
    SlaveReadyList::Instance().BeginRound();
    m_dwStartedSlaves = static_cast<uint32_t>(m_pIThreadList->GetCount());
    m_pIThreadList->StartAll(dwArgument);
}

int32_t CEngineIDS::OnStart(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogInfo, "CEngineIDS::OnStart ...called");
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    m_bRulesRead = false;
    m_dwStartedSlaves = 0;
    StartMonitoring(dwArgument, false, "Network Monitoring Component of Host Warden is DISABLED.");
    WaitForSlaves(m_dwStartedSlaves);
    m_bSlavesRunning = true;
    const int32_t nResult = CEngineBase::OnStart(dwArgument);
    CSF_TRACE(kCSFLogInfo, "CEngineIDS::OnStart ...Leaving %d", nResult);
    return nResult;
}

int32_t CEngineIDS::OnResume(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogInfo, "\tCEngineIDS OnResume called...");
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    const bool bRulesRead = std::exchange(m_bRulesRead, false);
    std::vector<std::string> lacking;
    if (!bRulesRead) {
        lacking = AdaptersNotSetUp();
        if (LacksCapture() && GetRuleContainer() != nullptr) {
            SetUpCaptureAtResume(dwArgument);
        }
    }
    if (NodekeeperOn() && m_bPacketLibraryLoaded) {
        uint32_t dwError = 0;
        if (!ReadAdapterTable(false, dwError)) {
            return static_cast<int32_t>(dwError);
        }
    }
    StartMonitoring(dwArgument, true, "Network Monitoring Component of Host Warden is DISABLED..");
    // Left paused when the policy switched monitoring off: nothing came.
    const bool bMonitoring = m_pIDSConfig != nullptr && m_pIDSConfig->IsIDSEnabled();
    for (const std::string& strAdapter : std::exchange(m_AdaptersCameWhilePaused, {})) {
        if (bMonitoring) {
            SayAdapterCame(strAdapter, IsReload(dwArgument) ? " at the reload" : " at the resume");
        }
    }
    // Each adapter engine whose set-up failed set its adapter up again as
    // it resumed: those that have it now are said.
    if (!lacking.empty()) {
        const std::vector<std::string> still = AdaptersNotSetUp();
        bool bBack = false;
        for (const std::string& strAdapter : lacking) {
            if (std::find(still.begin(), still.end(), strAdapter) == still.end() &&
                HasSlave(strAdapter)) {
                CSF_LOG(kCSFLogNotice | kCSFLogConsoleFlag,
                        "%s: its capture was set up at the %s: network monitoring runs on it now",
                        strAdapter.c_str(), IsReload(dwArgument) ? "reload" : "resume");
                bBack = true;
            }
        }
        if (bBack) {
            CSFNoticeDescriptionChanged("adapters set up");
        }
    }
    m_bSlavesRunning = true;
    const int32_t nResult = CEngineBase::OnResume(dwArgument);
    CSF_TRACE(kCSFLogInfo, "\tCEngineIDS OnResume ...leaving %d", nResult);
    return nResult;
}

int32_t CEngineIDS::OnPauseInit(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogInfo, "\tCEngineIDS OnPauseInit called...");
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    const int32_t nResult = CEngineBase::OnPauseInit(dwArgument);
    // The thread waits up to a second for an alert: told to pause, it ends
    // at once, or every engine's pause (a reload's among them) would wait
    // for it.
    m_EventQueue.Wake();
    if (m_pIThreadList) {
        m_pIThreadList->PauseInitAll(SlaveArgument(dwArgument));
    }
    return nResult;
}

int32_t CEngineIDS::OnPause(uint32_t dwArgument) {
    CSF_TRACE(kCSFLogInfo, "\tCEngineIDS OnPause called...");
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    const int32_t nResult = CEngineBase::OnPause(dwArgument);
    if (m_pIThreadList) {
        CSF_TRACE(kCSFLogInfo, "Calling EngineIDS pIThreadList->OnPause");
        m_pIThreadList->PauseAll(SlaveArgument(dwArgument));
    }
    m_bSlavesRunning = false;
    m_bPausedForReload = IsReload(dwArgument);
    // An adapter engine left running may still read the configuration.
    if (!LeavesThreadRunning()) {
        Shutdown();
    }
    DrainQueue();
    CSF_TRACE(kCSFLogInfo, "\tCEngineIDS OnPause ...leaving %d", nResult);
    return nResult;
}

bool CEngineIDS::LeavesThreadRunning() {
    return CEngineBase::LeavesThreadRunning() || (m_pIThreadList && !m_pIThreadList->StuckEngines().empty());
}

void CEngineIDS::HandRulesToScripts(ITclHandler& handler) {
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    CEngineBase::HandRulesToScripts(handler);
    for (size_t i = 0; m_pIThreadList && i < m_pIThreadList->GetCount(); ++i) {
        if (CEngineBase* pSlave = m_pIThreadList->GetAt(i)) {
            pSlave->HandRulesToScripts(handler);
        }
    }
}

int32_t CEngineIDS::OnReloadPolicy(uint32_t dwArgument) {
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    m_bRulesRead = true;
    const int32_t nResult = CEngineBase::OnReloadPolicy(dwArgument);
    CSF_TRACE(kCSFLogInfo, "done with base class OnReloadPolicy %d", nResult);
    if (nResult == 0) {
        if (m_pIThreadList) {
            m_pIThreadList->ReloadPolicyAll(kSlaveArgument);
        } else if (LacksCapture()) {
            SetUpCaptureAtReload();
        }
        // Otherwise no slave exists yet: the start-up reads the rules before
        // it makes them, and network monitoring may be off.
    }
    return nResult;
}

// Capture was not set up when the sensor started: network monitoring was
// off, or the packet library, its adapter list or the signature module
// failed, as the start-up said.  The reloaded policy (or a module or issue
// table put right since) gets its chance now, rather than leaving the
// sensor blind until it is started again.  The sensor reloads with its
// engines paused; their resume starts the new slaves.
void CEngineIDS::SetUpCaptureAtReload() {
    CSF_LOG(kCSFLogInfo, "Network Monitoring Component of Host Warden is not capturing: setting it up "
                         "with the reloaded policy.");
    if (InitializeCapture(CurrentPolicy(), true) != 0) {
        CSF_LOG(kCSFLogWarning, "Network Monitoring Component of Host Warden could not be set up at the "
                                "reload; it stays without input.");
        return;
    }
    CSF_LOG(kCSFLogInfo, "Network Monitoring Component of Host Warden set up at the reload with %u "
                         "adapter engine(s).",
            static_cast<unsigned>(m_pIThreadList->GetCount()));
}

// The same for a resume, the operator's or the one a reload that reads no
// policy gives this engine alone, with the policy in force: a packet
// library installed since, or a module or issue table put right, brings
// network monitoring back without a push or a restart.  Like a reload's,
// the resume holds the policy lock, and starts the new slaves.
void CEngineIDS::SetUpCaptureAtResume(uint32_t dwArgument) {
    const char* const pszAt = IsReload(dwArgument) ? "reload" : "resume";
    CSF_LOG(kCSFLogInfo,
            "Network Monitoring Component of Host Warden is not capturing: setting it up at the %s "
            "with the policy in force.",
            pszAt);
    if (InitializeCapture(CurrentPolicy(), true) != 0) {
        CSF_LOG(kCSFLogWarning,
                "Network Monitoring Component of Host Warden could not be set up at the %s; it "
                "stays without input.",
                pszAt);
        return;
    }
    CSF_LOG(kCSFLogNotice | kCSFLogConsoleFlag,
            "Network Monitoring Component of Host Warden set up at the %s with %u adapter "
            "engine(s): network monitoring runs now",
            pszAt, static_cast<unsigned>(m_pIThreadList->GetCount()));
    CSFNoticeDescriptionChanged("network capture set up");
}

bool CEngineIDS::LacksCapture() const {
    return !m_pIThreadList && m_bInitialised && !m_bInOninit && !m_bStopped && NodekeeperOn();
}

bool CEngineIDS::InputMayComeBack() {
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    if (!m_pIThreadList) {
        return LacksCapture() && GetRuleContainer() != nullptr;
    }
    // An adapter engine sets its capture up again at its resume when it has
    // none; those that have one keep it through a resume of a reload.
    return !m_bStopped && NodekeeperOn() && !AdaptersNotSetUp().empty();
}

std::vector<std::string> CEngineIDS::AdaptersNotSetUp() const {
    std::vector<std::string> adapters;
    jsFastLock guard(gSlaveListLock, true);
    for (CEngineIDSSlave* pSlave : gSlaveIDSEngines) {
        if (pSlave->SetUpFailed()) {
            adapters.emplace_back(pSlave->GetName());
        }
    }
    return adapters;
}

int32_t CEngineIDS::OnStopInit(uint32_t dwArgument) {
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    const int32_t nResult = CEngineBase::OnStopInit(dwArgument);
    m_EventQueue.Wake();
    if (nResult != 0) {
        return nResult;
    }
    if (m_pIThreadList) {
        m_pIThreadList->StopInitAll(kSlaveArgument);
    }
    return 0;
}

int32_t CEngineIDS::OnStop(uint32_t dwArgument) {
    CSF_TRACE(0x1009, "\n*** EngineIDS::OnStop() called... ***\n");
    jsFastLock opsGuard(m_SlaveOpsLock, true);
    const int32_t nResult = CEngineBase::OnStop(dwArgument);
    if (nResult != 0) {
        return nResult;
    }
    m_bStopped = true;
    m_bSlavesRunning = false;
    DeleteSlaves(true);
    StopTimer();
    if (!LeavesThreadRunning()) {
        Shutdown();
    }
    // The slaves' last consolidated events arrive as they stop, after this
    // engine's thread has ended.
    DrainQueue();
    CSF_TRACE(0x1009, "\n*** EngineIDS::OnStop() ...leaving %d ***\n", 0);
    return 0;
}

void CEngineIDS::DrainQueue() {
    while (AgentEventInfo* pRecord = m_EventQueue.Pop(0)) {
        ExecuteResponses(pRecord);
    }
}

uint32_t CEngineIDS::_doWork() {
    if (!m_bConfigured) {
        return 1;
    }
    CSF_TRACE(kCSFLogInfo, "Entering EngineIDS::_doWork loop....");
    uint32_t dwEvents = 0;
    int64_t tLastReport = 0;
    while (StopRequested() == 0) {
        if (AgentEventInfo* pRecord = m_EventQueue.Pop(1)) {
            ExecuteResponses(pRecord);
            ++dwEvents;
        }
        const int64_t tNow = IDSNow();
        if (tNow - tLastReport >= kQueueReportSeconds) {
            CSF_TRACE(kCSFLogInfo, "IDSEngine: Get %d events from Q since last report, qsize=%d",
                      static_cast<int32_t>(dwEvents), static_cast<int32_t>(m_EventQueue.Size()));
            dwEvents = 0;
            tLastReport = tNow;
        }
    }
    DrainQueue();
    CSF_TRACE(kCSFLogInfo, "Leaving EngineIDS::_doWork loop....");
    return 0;
}
