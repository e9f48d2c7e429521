#include "qorCSFLib/CSFSensor.h"

#include <bit>
#include <cstring>
#include <new>

#include "hostwarden/ICSFCommandRequest.h"
#include "platform/LastError.h"
#include "platform/ProcessorAffinity.h"
#include "platform/Wait.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/jsEvent.h"
#include "qorToolsLib/jsFastLock.h"
#include "qorToolsLib/jsSync.h"

namespace {

std::atomic<CSFSensor*> g_pCurrentSensor{nullptr};

const char* const kProductTable[CSFSensor::kProductCount] = {
    "Undefined",
    "Host Warden Server Sensor",
    "Host Warden Server Sensor Lite",
    "Host Warden Server Sensor Plus",
    "Host Warden Server Sensor Enterprise",
    "Host Warden Server Console",
    "Host Warden Server Agent",
    "Host Warden Workstation Sensor",
    "Host Warden Workstation Sensor Lite",
    "Host Warden Workstation Sensor Plus",
    "Host Warden Workstation Sensor Enterprise",
    "Host Warden Workstation Console",
    "Host Warden Workstation Agent",
    "Host Warden Gateway Sensor",
    "Host Warden Gateway Sensor Lite",
    "Host Warden Gateway Sensor Plus",
    "Host Warden Gateway Sensor Enterprise",
    "Host Warden Gateway Console",
    "Host Warden Gateway Agent",
    "Host Warden Mail Relay Sensor",
    "Host Warden Mail Relay Sensor Lite",
    "Host Warden Mail Relay Sensor Plus",
    "Host Warden Mail Relay Sensor Enterprise",
    "Host Warden Mail Relay Console",
    "Host Warden Mail Relay Agent",
    "Host Warden Web Front Sensor",
    "Host Warden Web Front Sensor Lite",
    "Host Warden Web Front Sensor Plus",
    "Host Warden Web Front Sensor Enterprise",
    "Host Warden Web Front Console",
    "Host Warden Web Front Agent",
    "Host Warden Database Sensor",
    "Host Warden Database Sensor Lite",
    "Host Warden Database Sensor Plus",
    "Host Warden Database Sensor Enterprise",
    "Host Warden Database Console",
    "Host Warden Database Agent",
    "Host Warden Directory Sensor",
    "Host Warden Directory Sensor Lite",
    "Host Warden Directory Sensor Plus",
    "Host Warden Directory Sensor Enterprise",
    "Host Warden Directory Console",
    "Host Warden Directory Agent",
    "Host Warden File Store Sensor",
    "Host Warden File Store Sensor Lite",
    "Host Warden File Store Sensor Plus",
    "Host Warden File Store Sensor Enterprise",
    "Host Warden File Store Console",
    "Host Warden File Store Agent",
    "Host Warden Print Host Sensor",
    "Host Warden Print Host Sensor Lite",
    "Host Warden Print Host Sensor Plus",
    "Host Warden Print Host Sensor Enterprise",
    "Host Warden Print Host Console",
    "Host Warden Print Host Agent",
    "Host Warden Terminal Host Sensor",
    "Host Warden Terminal Host Sensor Lite",
    "Host Warden Terminal Host Sensor Plus",
    "Host Warden Terminal Host Sensor Enterprise",
};

const char* TextOf(const std::string& text) {
    return text.c_str();
}

// The host's texts are copied; a null text is the empty text.
uint32_t CopyText(std::string& target, const char* pszText) {
    target = pszText != nullptr ? pszText : "";
    return 0;
}

void CompleteRequest(ICSFCommandRequest* pRequest, uint32_t dwStatus) {
    if (pRequest != nullptr) {
        pRequest->SetStatus(dwStatus);
        pRequest->Complete();
    }
}

// The commands that answer with a notice once their request is done.
uint32_t CompleteWithNotice(ICSFCommandRequest* pRequest, uint32_t dwStatus,
                            const char* pszNotice) {
    CompleteRequest(pRequest, dwStatus);
    CSFNotice(pszNotice);
    return 0;
}

void PutText(uint8_t* pHeader, uint32_t dwOffset, const char* pszText) {
    BoundedSnprintf(reinterpret_cast<char*>(pHeader + dwOffset), kCmlHeaderTextFieldSize, "%s",
                    pszText);
}

}  // namespace

CSFSensor::CSFSensor()
    : m_pReloadFlagLock(std::make_unique<qorFastSync>(false)),
      m_pCmlFlagLock(std::make_unique<qorFastSync>(false)) {
    g_pCurrentSensor.store(this);
}

CSFSensor::~CSFSensor() {
    FreeCmlData();
    m_pCommandEvent.store(nullptr);
    m_pCommandEventOwner.reset();
    CSF_LOG(kCSFLogTrace, "Deleted Sensor object");
    m_pCmlFlagLock.reset();
    m_pReloadFlagLock.reset();
    CSFSensor* pSelf = this;
    g_pCurrentSensor.compare_exchange_strong(pSelf, nullptr);
}

CSFSensor* CSFSensor::Current() {
    return g_pCurrentSensor.load();
}

const char* CSFSensor::ProductName(uint32_t dwId) {
    return dwId < kProductCount ? kProductTable[dwId] : nullptr;
}

bool CSFSensor::Probe(uint32_t, uint32_t) {
    return true;
}

uint8_t CSFSensor::IsPaused() {
    return m_bPaused.load();
}

uint8_t CSFSensor::GetSpareFlag() {
    return m_bSpareFlag;
}

uint8_t CSFSensor::UsesQgEvents() {
    return m_bUsesQgEvents.load();
}

uint8_t CSFSensor::IsInitialized() {
    return m_bInitialized;
}

// The base completes the request as well: every command the host issues
// must end in a completion, or the host would wait for it forever.
uint32_t CSFSensor::Oninit(ICSFCommandRequest* pRequest) {
    CompleteRequest(pRequest, kCommandStatusDone);
    CSF_LOG(kCSFLogInfo,
            "The sensor plugin %s version \"%s\" has successfully completed full initialization "
            "procedure.",
            m_strPluginName.c_str(), m_strPluginVersion.c_str());
    return 0;
}

uint32_t CSFSensor::WaitForCommand(uint32_t, uint32_t) {
    jsEvent* pEvent = m_pCommandEvent.load(std::memory_order_acquire);
    if (pEvent == nullptr) {
        // Auto-reset and signalled from the start: each wait consumes exactly
        // one wake-up, and a wake-up that arrives while nobody waits is kept
        // for the next wait instead of being lost to a later reset.
        m_pCommandEventOwner = std::make_unique<jsEvent>(false, false);
        m_pCommandEvent.store(m_pCommandEventOwner.get(), std::memory_order_release);
        return 0;
    }
    CSF_LOG(kCSFLogTrace, "Waiting for Command from Control Thread");
    pEvent->Wait(plat::kInfinite);
    return 0;
}

void CSFSensor::WakeSensorThread() {
    jsEvent* pEvent = m_pCommandEvent.load(std::memory_order_acquire);
    if (pEvent != nullptr) {
        CSF_LOG(kCSFLogTrace, "Waking up Sensor Thread");
        pEvent->Set();
    }
}

uint32_t CSFSensor::OnInput(uint32_t, uint32_t) {
    CSFNotice("Base OnInput() : called");
    return 0;
}

uint32_t CSFSensor::OnStop(ICSFCommandRequest* pRequest) {
    CompleteRequest(pRequest, kCommandStatusDone);
    CSF_LOG(kCSFLogTrace, "The sensor has received a stop request.");
    return 0;
}

uint32_t CSFSensor::OnReloadPolicy(ICSFCommandRequest* pRequest) {
    SetReloadFlag(0);
    CompleteRequest(pRequest, kCommandStatusDone);
    return 0;
}

uint32_t CSFSensor::OnPause(ICSFCommandRequest* pRequest) {
    m_bPaused.store(1);
    return CompleteWithNotice(pRequest, kCommandStatusDone, "The sensor has been paused.");
}

uint32_t CSFSensor::OnResume(ICSFCommandRequest* pRequest) {
    m_bPaused.store(0);
    return CompleteWithNotice(pRequest, kCommandStatusDone,
                              "The sensor's running state has been resumed.");
}

uint32_t CSFSensor::OnStatusRequest(ICSFCommandRequest* pRequest) {
    if (pRequest == nullptr) {
        return 0;
    }
    if (m_dwStatus == kCommandStatusDone) {
        pRequest->SetStatus(kCommandStatusDone);
    } else {
        pRequest->SetStatusText(TextOf(m_strStatusText));
        pRequest->SetStatus(kCommandStatusFailed);
    }
    pRequest->Complete();
    return 0;
}

uint32_t CSFSensor::OnUpdateStarted(ICSFCommandRequest* pRequest) {
    return CompleteWithNotice(pRequest, kCommandStatusDone, "The Swiftpack Update has started.");
}

uint32_t CSFSensor::OnUpdateCompleted(ICSFCommandRequest* pRequest) {
    return CompleteWithNotice(pRequest, kCommandStatusDone, "The Swiftpack Update has completed.");
}

uint32_t CSFSensor::OnUpdateFailed(ICSFCommandRequest* pRequest) {
    return CompleteWithNotice(pRequest, kCommandStatusFailed, "The Swiftpack Update has failed.");
}

uint32_t CSFSensor::OnUserOperationDone(ICSFCommandRequest* pRequest) {
    return CompleteWithNotice(pRequest, kCommandStatusDone,
                              "The sensor has finished processing user requested operation.");
}

uint32_t CSFSensor::OnDoStats() {
    CSFNotice("Base OnDoStats : called");
    return 0;
}

uintptr_t CSFSensor::OnChangeCommonPolicy(IPolicyContainer*) {
    return CSFNotice("Base OnChangeCommonPolicy : called");
}

uint32_t CSFSensor::Delete() {
    CSF_LOG(kCSFLogTrace, "About to delete Sensor object");
    delete this;
    return 0;
}

uint32_t CSFSensor::SetHostContext(uint32_t dwContext) {
    m_dwHostContext = dwContext;
    return 0;
}

uint32_t CSFSensor::SetBaseDirectory(const char* pszDirectory) {
    return CopyText(m_strBaseDirectory, pszDirectory);
}

uint32_t CSFSensor::SetSensorName(const char* pszName) {
    return CopyText(m_strSensorName, pszName);
}

uint32_t CSFSensor::SetProductName(const char* pszName) {
    m_dwProductId = 0;
    CopyText(m_strProductName, pszName);
    for (uint32_t dwId = 1; dwId < kProductCount; ++dwId) {
        if (m_strProductName == kProductTable[dwId]) {
            m_dwProductId = dwId;
            break;
        }
    }
    return 0;
}

uint32_t CSFSensor::SetUsesQgEvents(uint8_t bUses) {
    m_bUsesQgEvents.store(bUses);
    return 0;
}

uint32_t CSFSensor::SetSensorAddress(const char* pszAddress) {
    return CopyText(m_strSensorAddress, pszAddress);
}

uint32_t CSFSensor::SetPluginName(const char* pszName) {
    return CopyText(m_strPluginName, pszName);
}

uint32_t CSFSensor::SetPluginVersion(const char* pszVersion) {
    return CopyText(m_strPluginVersion, pszVersion);
}

uint32_t CSFSensor::SetAuxText1(const char* pszText) {
    return CopyText(m_strAuxText1, pszText);
}

uint32_t CSFSensor::SetAuxText2(const char* pszText) {
    return CopyText(m_strAuxText2, pszText);
}

const char* CSFSensor::GetSensorName() {
    return TextOf(m_strSensorName);
}

const char* CSFSensor::GetProductName() {
    return TextOf(m_strProductName);
}

const char* CSFSensor::GetPluginVersion() {
    return TextOf(m_strPluginVersion);
}

const char* CSFSensor::GetAuxText1() {
    return TextOf(m_strAuxText1);
}

uint32_t CSFSensor::GetProductId() {
    return m_dwProductId;
}

const char* CSFSensor::GetSensorAddress() {
    return TextOf(m_strSensorAddress);
}

const char* CSFSensor::GetBaseDirectory() {
    return TextOf(m_strBaseDirectory);
}

uint32_t CSFSensor::SetReloadFlag(uint8_t bFlag) {
    jsFastLock guard(*m_pReloadFlagLock, true);
    m_bReloadFlag.store(bFlag);
    return 0;
}

uint8_t CSFSensor::GetReloadFlag() {
    return m_bReloadFlag.load();
}

uint32_t CSFSensor::SetCmlFlag(uint8_t bFlag) {
    jsFastLock guard(*m_pCmlFlagLock, true);
    m_bCmlFlag.store(bFlag);
    return 0;
}

uint8_t CSFSensor::GetCmlFlag() {
    return m_bCmlFlag.load();
}

void CSFSensor::SetErrorCondition(const char* pszText) {
    m_dwStatus = kCommandStatusFailed;
    CopyText(m_strStatusText, pszText);
    CSF_LOG(kCSFLogWarning, "Received Error Condition : %s", m_strStatusText.c_str());
}

void CSFSensor::ClearErrorCondition() {
    m_dwStatus = kCommandStatusDone;
    m_strStatusText.clear();
}

bool CSFSensor::GetProcessAffinity(uint32_t& dwProcessMask, uint32_t& dwSystemMask) {
    if (!plat::GetProcessAffinity(dwProcessMask, dwSystemMask)) {
        const uint32_t dwError = plat::GetLastError();
        CSF_LOG(kCSFLogTrace, "GetProcessAffinityMask() returned error %d (%s)\n",
                static_cast<int>(dwError), ErrorWords(dwError).c_str());
        return false;
    }
    return true;
}

uint32_t CSFSensor::GetProcessorCount() {
    uint32_t dwProcessMask = 0;
    uint32_t dwSystemMask = 0;
    GetProcessAffinity(dwProcessMask, dwSystemMask);
    return static_cast<uint32_t>(std::popcount(dwSystemMask));
}

bool CSFSensor::SetProcessAffinity(uint32_t dwMask) {
    uint32_t dwProcessMask = 0;
    uint32_t dwSystemMask = 0;
    GetProcessAffinity(dwProcessMask, dwSystemMask);
    if ((dwMask & dwSystemMask) == 0) {
        CSF_LOG(kCSFLogTrace, "mask = 0x%08x, doesn't match system mask 0x%08x", dwMask,
                dwSystemMask);
        return false;
    }
    if (!plat::SetProcessAffinity(dwMask & dwSystemMask)) {
        const uint32_t dwError = plat::GetLastError();
        CSF_LOG(kCSFLogTrace, "SetProcessAffinityMask() returned error %d (%s)\n",
                static_cast<int>(dwError), ErrorWords(dwError).c_str());
        return false;
    }
    return true;
}

void CSFSensor::FreeCmlData() {
    m_pCmlInput.reset();
    m_pCmlResponse.reset();
    m_dwCmlInputLength = 0;
    m_dwCmlResponseLength = 0;
}

bool CSFSensor::SetCmlResponse(const void* pData, uint32_t dwLength) {
    m_pCmlResponse.reset();
    m_dwCmlResponseLength = 0;
    if (dwLength == 0) {
        return true;
    }
    m_pCmlResponse.reset(new (std::nothrow) uint8_t[dwLength]);
    if (m_pCmlResponse == nullptr) {
        return false;
    }
    std::memcpy(m_pCmlResponse.get(), pData, dwLength);
    m_dwCmlResponseLength = dwLength;
    return true;
}

uint32_t CSFSensor::OnCmlInput(ICSFCommandRequest* pRequest) {
    CSF_LOG(kCSFLogTrace, "Base OnCmlInput called");
    if (pRequest == nullptr) {
        CSF_LOG(kCSFLogError, "Base OnCmlInput called with empty data");
        return 0;
    }
    m_pCmlInput.reset();
    m_dwCmlInputLength = 0;
    if (pRequest->HasCmlPipe() != 1) {
        CSF_LOG(kCSFLogError, "Old pipe not supported");
        return 0;
    }
    uint8_t** ppMessage = pRequest->GetCmlInput();
    uint8_t* pMessage = ppMessage != nullptr ? *ppMessage : nullptr;
    if (pMessage == nullptr) {
        return 0;
    }
    uint32_t dwLength = 0;
    std::memcpy(&dwLength, pMessage + kCmlInputLengthOffset, sizeof dwLength);
    m_dwCmlInputLength = dwLength;
    if (dwLength == 0) {
        return 0;
    }
    uint32_t dwLink = kCmlInputDataOffset;
    std::memcpy(pMessage + kCmlInputLinkOffset, &dwLink, sizeof dwLink);
    m_pCmlInput.reset(new (std::nothrow) uint8_t[dwLength]);
    if (m_pCmlInput == nullptr) {
        m_dwCmlInputLength = 0;
        return 0;
    }
    std::memcpy(m_pCmlInput.get(), pMessage + kCmlInputDataOffset, dwLength);
    return 0;
}

uint32_t CSFSensor::ProcessCmlInput() {
    CSF_LOG(kCSFLogTrace, "Base ProcessCmlInput called");
    SetCmlFlag(0);
    return 0;
}

uint32_t CSFSensor::SendCmlResponse(ICSFCommandRequest* pRequest) {
    CSF_LOG(kCSFLogTrace, "Base SendCmlResponse called");
    if (pRequest == nullptr) {
        CSF_LOG(kCSFLogError, "Error sending CML response");
    } else {
        CmlByteBuffer* pOutput = pRequest->GetCmlOutput();
        if (pRequest->HasCmlPipe() == 1) {
            uint8_t header[kCmlHeaderSize] = {};
            PutText(header, kCmlHeaderFirstTextOffset, "2");
            PutText(header, kCmlHeaderSecondTextOffset, "1");
            BoundedSnprintf(reinterpret_cast<char*>(header + kCmlHeaderCodeOffset),
                            kCmlHeaderCodeSize, "%d", static_cast<int>(pRequest->GetCmlCode()));
            PutText(header, kCmlHeaderThirdTextOffset, "1");
            std::memcpy(header + kCmlHeaderLengthOffset, &m_dwCmlResponseLength,
                        sizeof m_dwCmlResponseLength);
            if (pOutput != nullptr) {
                pOutput->Set(header, sizeof header);
                if (m_dwCmlResponseLength != 0) {
                    pOutput->Append(m_pCmlResponse.get(), m_dwCmlResponseLength);
                }
            }
        } else {
            CSF_LOG(kCSFLogError, "Old pipe not supported");
        }
        pRequest->SetStatus(kCommandStatusDone);
        if (pOutput != nullptr) {
            pOutput->Clear();
        }
    }
    FreeCmlData();
    return 0;
}
