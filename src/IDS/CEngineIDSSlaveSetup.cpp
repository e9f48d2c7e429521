// Set-up and shut-down of the IDS slave: the settings every slave shares,
// the packet driver with the adapter's local addresses, the module
// instance, logs and firewall, the capture filters, and their teardown.

#include <cstring>
#include <exception>
#include <string>

#include "Common/ISensorCore.h"
#include "Common/InputBounds.h"
#include "Common/SensorSettings.h"
#include "IDS/CEngineIDSSlave.h"
#include "IDS/CaptureKeeper.h"
#include "IDS/IDSClock.h"
#include "IDS/HWEventMatchNotify.h"
#include "IDS/PcdPacketFilters.h"
#include "IDS/PolicyValues.h"
#include "IDS/SlaveRuleMaps.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"
#include "qorPacketLogLib/qorPacketLog.h"
#include "qorToolsLib/CountText.h"
#include "qorToolsLib/jsFastLock.h"
#include "qorZamSensorLib/IZamSensor.h"
#include "qorZamSensorLib/qorZamSensorMgr.h"
#include "rawpacket/Address.h"
#include "rawpacket/Driver.h"
#include "rawpacket/DriverFactory.h"
#include "rawpacket/LinuxHostInfo.h"

namespace {

constexpr int32_t kMaxLoopTimeout = 60;
constexpr int32_t kDefaultDynamicBlockPeriod = 30;
constexpr const char kDefaultCaptureBuffer[] = "2m";
// Open mode of a slave's driver.
constexpr uint32_t kSlaveOpenMode = 2;
constexpr const char kSetUpFailed[] = "its set-up failed";

IPolicyContainer* SensorPolicy() {
    ISensorCore* pSensor = GetSensorCore();
    return pSensor != nullptr ? pSensor->GetCurrentPolicy() : nullptr;
}

bool ReadBool(IPolicyContainer* pPolicy, const char* pszPath, const char* pszName, bool bDefault) {
    return pPolicy != nullptr ? pPolicy->GetBool(pszPath, pszName, &bDefault) : bDefault;
}

int32_t ReadInt(IPolicyContainer* pPolicy, const char* pszPath, const char* pszName,
                int32_t nDefault) {
    return pPolicy != nullptr ? pPolicy->GetInt(pszPath, pszName, &nDefault) : nDefault;
}

std::string ReadText(IPolicyContainer* pPolicy, const char* pszPath, const char* pszName) {
    const char* pszText = pPolicy != nullptr ? pPolicy->GetText(pszPath, pszName, "") : "";
    return pszText != nullptr ? pszText : "";
}

const char* TrueFalse(bool bValue) { return bValue ? "true" : "false"; }

}  // namespace

void CEngineIDSSlave::InitializeNetworking() {
    if (m_pIDSConfig == nullptr) {
        m_pIDSConfig = CIDSConfig::GetInstance();
    }
    if (m_pIDSConfig == nullptr) {
        return;
    }
    m_pIDSConfig->SetIDSEnabled(SensorSettings::Instance().m_bNodekeeper);
    if (!m_pIDSConfig->IsIDSEnabled()) {
        CSF_LOG(kCSFLogWarning, "Network Monitoring Component of Host Warden is DISABLED.");
        return;
    }
    if (Initialize(true) == 0) {
        CSF_TRACE(kCSFLogInfo, "%s: Network Monitoring Component of Host Warden starting....",
                  m_strAdapterName.c_str());
    } else {
        CSF_TRACE(kCSFLogError, "Error in initializing Network Monitoring Component of Host Warden.");
    }
}

void CEngineIDSSlave::ReadSettings(IPolicyContainer* pPolicy, bool bFirstOfRound) {
    const char* pszAdapter = m_strAdapterName.c_str();
    BlockEnabled = ReadBool(pPolicy, kTuning, "BlockEnabled", false);
    CSF_TRACE(kCSFLogInfo, "BlockEnabled is %s", TrueFalse(BlockEnabled));

    int32_t nTimeout = ReadInt(pPolicy, kTuning, "ZamLoopTimeout", kMaxLoopTimeout);
    if (nTimeout < 0 || nTimeout > kMaxLoopTimeout) {
        nTimeout = kMaxLoopTimeout;
        CSF_TRACE(kCSFLogInfo,
                  "Zam loop timeout should be in the range 0 - 60 seconds, setting default value.");
    }
    ZamLoopTimeout = nTimeout;
    CSF_TRACE(kCSFLogInfo, "Zam loop timeout period is %d", nTimeout);

    if (!BlockEnabled) {
        DynamicBlockPeriod = 0;
        CSF_TRACE(kCSFLogInfo, "%s: BlockEnabled false so setting DynamicBlockPeriod to %d",
                  pszAdapter, 0);
    } else if (DynamicBlockPeriod == -1 || bFirstOfRound) {
        const int32_t nPeriod = ReadInt(pPolicy, kConfig, "DynamicBlockPeriod", -1);
        if (nPeriod == -1) {
            DynamicBlockPeriod = kDefaultDynamicBlockPeriod;
            CSF_TRACE(kCSFLogInfo, "%s: defaulting DynamicBlockPeriod to %d", pszAdapter,
                      kDefaultDynamicBlockPeriod);
        } else {
            DynamicBlockPeriod = nPeriod;
            CSF_TRACE(kCSFLogInfo, "%s: setting DynamicBlockPeriod to %d", pszAdapter, nPeriod);
        }
    }

    if (!ReadBool(pPolicy, kTuning, "sensor.floodprotection.enable", true)) {
        m_bFloodProtection = false;
    }
    CSF_TRACE(kCSFLogInfo, "%s: floodProtection is set %s", pszAdapter,
              TrueFalse(m_bFloodProtection));
    DiagnosticPacketsEnabled = ReadBool(pPolicy, kTuning, "sensor.diagnostic.p.enable", true);
    DiagnosticCallbacksEnabled =
        ReadBool(pPolicy, kTuning, "sensor.diagnostic.callbacks.enable", true);
    CaptureBufferSize = ReadText(pPolicy, kTuning, "pcd.buffersize");
}

int32_t CEngineIDSSlave::Initialize(bool bResetRuleMaps) {
    if (bIDSSInitialized) {
        return 0;
    }
    const char* pszAdapter = m_strAdapterName.c_str();
    IPolicyContainer* pPolicy = SensorPolicy();
    try {
        {
            jsFastLock guard(SetupLock(), true);
            SlaveRuleMaps& maps = SlaveRuleMaps::Get();
            // Only the first slave through set-up after a start or a pause
            // builds the maps (they point into the configuration, which the
            // master builds anew then); while any slave is set up, others
            // may be capturing and the maps stay.
            const bool bReset = bResetRuleMaps && maps.dwSetUpSlaves == 0;
            const bool bFirstOfRound = !maps.bBuilt || bReset;
            if (bFirstOfRound) {
                if (bReset) {
                    CSF_TRACE(kCSFLogInfo, "Resetting RuleMap ...done by %s", pszAdapter);
                } else {
                    CSF_TRACE(kCSFLogInfo, "Setting of RuleMap ...done by %s", pszAdapter);
                }
                maps.fwRules.clear();
                maps.idsRules.clear();
                maps.issueNames.clear();
                if (m_pIDSConfig != nullptr) {
                    InitializeRuleMap(m_pIDSConfig->GetBastionRules(), m_pIDSConfig->GetIDSRules());
                }
                maps.bBuilt = true;
            }
            ReadSettings(pPolicy, bFirstOfRound);
        }
        const int32_t nZam = InitializeZAM(pPolicy);
        CSF_TRACE(kCSFLogInfo, "InitializeZam returned %d", nZam);
        if (!LoadModules()) {
            // The capture opened (a failure there raised): the signature module
            // is what made no instance for this adapter.
            m_strInputProblem = m_strAdapterName + (m_pZamSensorMgr == nullptr
                                                        ? ": the signature module is not loaded"
                                                        : ": the signature module made no instance for it");
            CSF_TRACE(kCSFLogInfo, "LoadModules() is FALSE");
            CSF_TRACE(kCSFLogError,
                      "Error Loading Networking Component Modules for interface %s. IDS on this "
                      "interface is therefore unavailable.",
                      pszAdapter);
            StopPacketDriver(kSetUpFailed);
            return 1;
        }
        CSF_TRACE(kCSFLogInfo, "Loadmodules() is TRUE");
        const int32_t nFilters = static_cast<int32_t>(SetPacketFilters(pPolicy));
        if (!ConfigureModules(pPolicy, 0, m_dwCustomerId)) {
            m_strInputProblem = m_strAdapterName + ": its networking modules could not be configured";
            CSF_TRACE(kCSFLogInfo, "ConfigureModules() is  FALSE");
            CSF_LOG(kCSFLogError,
                    "Error Configuring Networking Component Modules for interface %s. IDS on this "
                    "interface is therefore unavailable.",
                    pszAdapter);
            StopPacketDriver(kSetUpFailed);
            return 1;
        }
        {
            jsFastLock guard(SetupLock(), true);
            bIDSSInitialized = true;
            ++SlaveRuleMaps::Get().dwSetUpSlaves;
        }
        m_strInputProblem.clear();
        CSF_TRACE(kCSFLogInfo, "ConfigureModules() is also TRUE");
        return nFilters;
    } catch (const std::exception& error) {
        m_strInputProblem = error.what();
        CSF_LOG(kCSFLogError,
                "IDS for %s cannot be fully initialized (Reason=%s). IDS on this interface is "
                "therefore unavailable.",
                pszAdapter, error.what());
        StopPacketDriver(kSetUpFailed);
        return 1;
    }
}

bool CEngineIDSSlave::HasInput(std::string& strProblem) const {
    if (bIDSSInitialized) {
        return true;
    }
    strProblem = m_strInputProblem.empty() ? m_strAdapterName + ": not set up" : m_strInputProblem;
    return false;
}

bool CEngineIDSSlave::InputEnded(std::string& strWords) const {
    std::string strEnd;
    if (!bIDSSInitialized || !m_pPacketDrv || !m_pPacketDrv->inputEnded(strEnd)) {
        return false;
    }
    strWords = m_strAdapterName + ": " + strEnd;
    return true;
}

int32_t CEngineIDSSlave::InitializeZAM(IPolicyContainer* pPolicy) {
    if (m_pZamSensorMgr == nullptr) {
        m_pZamSensorMgr = qorZamSensorMgr::CurrentInstance();
        if (m_pZamSensorMgr != nullptr) {
            m_pZamSensorMgr->SetLogger(CSFLogServices());
        }
    }
    m_bConsolidation = ReadBool(pPolicy, kTuning, "advancedeventconsolidation.enabled", false);
    return 0;
}

bool CEngineIDSSlave::LoadModules() {
    if (!InitializePacketDriver()) {
        CSF_TRACE(kCSFLogInfo, "Packet driver could not be started");
        return false;
    }
    CSF_TRACE(kCSFLogInfo, "Packet driver started");
    if (!LoadZam()) {
        CSF_LOG(kCSFLogInfo, "ZAM component could not be started");
        return false;
    }
    if (!LoadPacketLogger()) {
        CSF_LOG(kCSFLogInfo, "Packet Logging could not be started");
    }
    if (!LoadEvidenceLogger()) {
        CSF_LOG(kCSFLogInfo, "Evidence Logging could not be started");
    }
    // The firewall is built with the slave and needs no loading.
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::LoadModules ....leaving %d",
              m_strAdapterName.c_str(), 1);
    return true;
}

bool CEngineIDSSlave::InitializePacketDriver() {
    const char* pszAdapter = m_strAdapterName.c_str();
    if (!m_bDriverCreated) {
        m_pPacketDrv.reset();
        m_pPacketDrv = m_pDriverFactory->createDriver(m_strAdapterName, kSlaveOpenMode);
        m_bDriverCreated = true;
    }
    std::string strSize = kDefaultCaptureBuffer;
    {
        jsFastLock guard(SetupLock(), true);
        if (!CaptureBufferSize.empty()) {
            strSize = CaptureBufferSize;
        }
    }
    if (strSize != "0") {
        CSF_LOG(kCSFLogInfo, "Setting capture buffer size for %s to %s\n", pszAdapter,
                strSize.c_str());
        m_pPacketDrv->setParameter("capturebuffersize", strSize);
    }
    if (m_bPacketDriverInitialized && strSize != m_strOpenedBuffer) {
        // A capture a reload kept open has the buffer it was made with.
        const std::string strWhy =
            "the reload set the capture up anew, for " +
            (strSize != "0" ? "a capture buffer of " + strSize
                            : std::string("the packet library's own capture buffer"));
        // What the hold kept of the old capture is still analysed.
        StopPacketDriver(strWhy.c_str(), true);
    }
    m_strCaptureBuffer = strSize != "0" ? strSize : "";
    if (m_bPacketDriverInitialized) {
        CSF_LOG(kCSFLogInfo, "Packet Driver %s kept its capture through the reload", pszAdapter);
    } else {
        CSF_LOG(kCSFLogInfo, "Starting Packet Driver %s...", pszAdapter);
    }
    // The driver opens only what it has not opened: a kept capture stays,
    // and is not touched while the keeper still reads it.
    if (!m_bPacketDriverInitialized || !m_pKeeper) {
        m_pPacketDrv->open(true, m_pPacketDrv->canTransmit());
    }
    m_strOpenedBuffer = strSize;
    m_bRecordedInput = m_pPacketDrv->playsRecording();

    uint8_t mac[10] = {};
    const uint32_t dwMacSize = sizeof mac;
    const uint32_t dwMacLength = m_pPacketDrv->getPhysicalAddr(mac, &dwMacSize);
    rp::AdaptersArray adapters;
    rp::LinuxHostInfo().getAdapterList(adapters);
    std::string strMacText;
    const std::vector<uint32_t> hostOrder = LocalAddressesOf(mac, dwMacLength, adapters, strMacText);
    m_LocalAddresses.clear();
    m_LocalAddresses.reserve(hostOrder.size());
    for (uint32_t dwAddress : hostOrder) {
        CSF_TRACE(kCSFLogInfo, "InitializePacketDriver %s: adding %x to ip list\n", pszAdapter,
                  rp::toNetworkOrder(dwAddress, true));
        // The firewall keys its blocks by the module's addresses, which are
        // in host order; the module takes its list in network order.
        CFirewall::AddLocalAddress(dwAddress, pszAdapter);
        m_LocalAddresses.push_back(rp::toNetworkOrder(dwAddress, true));
    }
    if (!hostOrder.empty()) {
        m_strHardwareAddress = strMacText;
    }
    m_bPacketDriverInitialized = true;
    return true;
}

std::vector<uint32_t> CEngineIDSSlave::LocalAddressesOf(const uint8_t* pMac, uint32_t dwMacLength,
                                                        const rp::AdaptersArray& adapters,
                                                        std::string& strMacText) {
    std::vector<uint32_t> addresses;
    for (const rp::AdapterDescription& description : adapters.records()) {
        if (!description.m_bTcpipKnown) {
            continue;
        }
        try {
            const rp::PhysicalAddress address(description.m_strMacAddress, false, 0);
            if (address.length() != dwMacLength || dwMacLength == 0 ||
                std::memcmp(address.bytes(), pMac, dwMacLength) != 0) {
                continue;
            }
            // Several addresses joined by a blank do not parse and give none.
            const rp::IpAddress ip(description.m_strIpAddress);
            const uint32_t dwValue = ip.value();
            if (dwValue == 0 || dwValue == 0xFFFFFFFFu) {
                continue;
            }
            addresses.push_back(dwValue);
            strMacText = description.m_strMacAddress;
        } catch (const std::exception&) {
            // A description that cannot be read is skipped.
        }
    }
    return addresses;
}

uint32_t CEngineIDSSlave::SetPacketFilters(IPolicyContainer* pPolicy) {
    CPcdPacketFilters filters;
    filters.Load(pPolicy);
    uint32_t dwStatus = m_pPacketDrv->openDeviceInstance(nullptr);
    if (dwStatus != 0) {
        CSF_LOG(kCSFLogError, "Error 0x%x opening device.  No packet filters will be set.",
                dwStatus);
        return dwStatus;
    }
    dwStatus = m_pPacketDrv->purgeBypassFilters(nullptr);
    if (dwStatus != 0) {
        CSF_LOG(kCSFLogError,
                "Error 0x%x purging packet filter collection.  No packet filters will be set.",
                dwStatus);
    } else {
        uint32_t dwTaken = 0;
        for (uint32_t i = 0; i < filters.Count(); ++i) {
            uint32_t dwAddress = 0;
            uint8_t byPrefix = 0;
            uint8_t byProtocol = 0;
            uint8_t byDirection = 0;
            filters.GetFilter(i, dwAddress, byPrefix, byProtocol, byDirection);
            dwStatus = m_pPacketDrv->addBypassFilter(dwAddress, byPrefix, byProtocol, byDirection);
            if (dwStatus != 0) {
                break;
            }
            ++dwTaken;
        }
        if (dwTaken > 0) {
            dwStatus = m_pPacketDrv->pushAllBypassFilters(nullptr);
        }
    }
    m_pPacketDrv->closeDeviceInstance(nullptr);
    return dwStatus;
}

void CEngineIDSSlave::Shutdown(bool bKeepCapture, const char* pszWhy) {
    const char* pszAdapter = m_strAdapterName.c_str();
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::Shutdown called....", pszAdapter);
    // The capture thread has ended: no catch-up goes on, once what the
    // capture closed now takes with it is said (StopPacketDriver).  Only a
    // reload's pause keeps the capture, which any later shut-down closes.
    if (bKeepCapture) {
        m_CatchUp.End();
    } else {
        StopPacketDriver(pszWhy);
    }
    // A set-up that failed half-way holds module objects too; they go now,
    // so the next set-up does not make a second set beside them.
    if (bIDSSInitialized || bZamLoaded || m_pEventNotify || pPacketLog || m_pEvidenceLog) {
        CSF_TRACE(kCSFLogInfo, "%s: Shutting down IDSSlave engine.", pszAdapter);
        if (m_bConsolidation && bZamLoaded && m_pCoalescer != nullptr) {
            // The last consolidated events come out through the callbacks
            // before anything they use goes.
            m_pCoalescer->Flush();
        }
        if (pPacketLog) {
            pPacketLog->Close();
            pPacketLog.reset();
        }
        bPacketLogEnabled = false;
        if (m_pEvidenceLog) {
            m_pEvidenceLog->Close();
            m_pEvidenceLog.reset();
        }
        m_bEvidenceLogging = false;
        if (m_pCoalescer != nullptr && m_pZamSensorMgr != nullptr) {
            const bool bDestroyed = m_pZamSensorMgr->DestroyZamCoalescer(m_pCoalescer);
            CSF_TRACE(kCSFLogInfo, "DestroyZamCoalescer returned %d", bDestroyed ? 1 : 0);
        }
        m_pCoalescer = nullptr;
        m_bConsolidation = false;
        if (m_pZamSensor != nullptr && m_pZamSensorMgr != nullptr) {
            const bool bDestroyed = m_pZamSensorMgr->DestroyZamInstance(m_pZamSensor);
            CSF_TRACE(kCSFLogInfo, "DestroyZamInstance returned %d", bDestroyed ? 1 : 0);
        }
        m_pZamSensor = nullptr;
        bZamLoaded = false;
        m_pEventNotify.reset();
        // The block period stays: other slaves may still be capturing (an
        // adapter that went away), and the first set-up after a start or a
        // pause reads it again.
    }
    if (bIDSSInitialized) {
        jsFastLock guard(SetupLock(), true);
        bIDSSInitialized = false;
        --SlaveRuleMaps::Get().dwSetUpSlaves;
    }
    CSF_TRACE(kCSFLogInfo, "%s: CEngineIDSSlave::Shutdown ....leaving", pszAdapter);
}

void CEngineIDSSlave::BeginKeepingFrames(bool bCaptureEnded) {
    if (bCaptureEnded) {
        m_pCatchUpKeeper.store(nullptr, std::memory_order_release);
    }
    // The keeper of the reload before, which handed the capture over to the
    // capture thread, has left its loop: it goes, once that thread is done
    // with it, and a new one keeps.
    if (m_pKeeper && m_pKeeper->HandedOver() && m_pCatchUpKeeper.load(std::memory_order_acquire) == nullptr) {
        m_pGate.store(nullptr, std::memory_order_release);
        m_pKeeper->End();
        m_pKeeper.reset();
    }
    // A recording waits for its reader by itself; a closed capture has
    // nothing to keep.
    if (m_pKeeper || !m_bPacketDriverInitialized || !m_pPacketDrv || m_bRecordedInput) {
        return;
    }
    m_pKeeper = std::make_unique<CaptureKeeper>(m_strAdapterName, *m_pPacketDrv, m_Hold);
    if (!m_pKeeper->Start()) {
        // The frames wait in the capture buffer, as far as it holds them.
        CSF_LOG(kCSFLogWarning, "%s: no thread keeps its frames through the reload: they wait in its capture",
                m_strAdapterName.c_str());
        m_pKeeper.reset();
    }
}

void CEngineIDSSlave::EndKeepingFrames(bool bDrain) {
    if (!m_pKeeper) {
        return;
    }
    m_pGate.store(nullptr, std::memory_order_release);
    m_pCatchUpKeeper.store(nullptr, std::memory_order_release);
    if (bDrain) {
        m_pKeeper->DrainAndEnd(kDrainMs);
    } else {
        m_pKeeper->End();
    }
    m_pKeeper.reset();
    CSF_LOG(kCSFLogTrace, "%s: %s kept while the reload kept the rules from them, %zu KiB", m_strAdapterName.c_str(),
            CountText(m_Hold.Count(), "frame", "frames").c_str(), m_Hold.BytesInUse() / 1024);
    CountKeptFramesLeftOut();
    if (m_bPacketDriverInitialized && m_pPacketDrv) {
        CountCaptureDrops(IDSNow(), true);
    }
}

void CEngineIDSSlave::CountKeptFramesLeftOut() {
    // What the hold and the capture buffer left out meanwhile is counted
    // before the reload ends: its summary, and so a push, says it.
    if (const uint64_t qwLeftOut = m_Hold.TakeLeftOut(); qwLeftOut != 0) {
        m_HoldBound.LeftOut(
            [&]() -> InputBound& {
                return InputBounds::Instance().Bound(
                    "adapter " + m_strAdapterName,
                    "at most " + std::to_string(m_Hold.MaxBytes() >> 20) +
                        " MiB of frames kept while a reload keeps the rules from them",
                    "frames");
            },
            qwLeftOut);
    }
}
