#include "qorCSFLib/CSFSvcRequest.h"

#include <atomic>

#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"

namespace {

// Read from every logging thread without a lock; atomics keep those reads
// well defined while the host swaps its objects.
std::atomic<CSFSvcRequest*> g_pCurrentRequest{nullptr};
std::atomic<ICSFHostServices*> g_pServices{nullptr};
std::atomic<ICSFEventHandler*> g_pEventHandler{nullptr};

template <typename T>
void WithdrawIfSame(std::atomic<T*>& published, T* mine) {
    if (mine != nullptr) {
        published.compare_exchange_strong(mine, nullptr);
    }
}

}  // namespace

CSFSvcRequest::CSFSvcRequest() {
    SetInitialized();
    AllowServices();
    AllowEventHandler();
    g_pCurrentRequest.store(this);
}

CSFSvcRequest::~CSFSvcRequest() {
    WithdrawIfSame(g_pCurrentRequest, this);
    WithdrawIfSame(g_pServices, m_pServices.load());
    WithdrawIfSame(g_pEventHandler, m_pEventHandler);
}

CSFSvcRequest* CSFSvcRequest::Current() {
    return g_pCurrentRequest.load();
}

ICSFHostServices* CSFSvcRequest::CurrentServices() {
    return g_pServices.load();
}

ICSFEventHandler* CSFSvcRequest::CurrentEventHandler() {
    return g_pEventHandler.load();
}

uint8_t CSFSvcRequest::IsInitialized() {
    return m_bInitialized;
}

bool CSFSvcRequest::SetServices(ICSFHostServices* pServices) {
    if (m_bServicesAllowed == 0) {
        return false;
    }
    m_pServices.store(pServices, std::memory_order_release);
    g_pServices.store(pServices);
    return true;
}

bool CSFSvcRequest::SetHostWord1(uint32_t dwWord) {
    if (m_dwHostWord1 == 0) {
        m_dwHostWord1 = dwWord;
    }
    return true;
}

bool CSFSvcRequest::SetHostWord2(uint32_t dwWord) {
    if (m_dwHostWord2 == 0) {
        m_dwHostWord2 = dwWord;
    }
    return true;
}

bool CSFSvcRequest::Accept(uint32_t) {
    return true;
}

const char* CSFSvcRequest::GetPolicyRoot() {
    return nullptr;
}

bool CSFSvcRequest::SetEventHandler(ICSFEventHandler* pHandler) {
    if (m_bHandlerAllowed == 0) {
        return false;
    }
    m_pEventHandler = pHandler;
    g_pEventHandler.store(pHandler);
    return true;
}

uint32_t CSFSvcRequest::Release() {
    delete this;
    return 0;
}

uint32_t CSFSvcRequest::SetHostWord3(uint32_t dwWord) {
    m_dwHostWord3 = dwWord;
    return dwWord;
}

uint32_t CSFSvcRequest::GetHostWord3() {
    return m_dwHostWord3;
}

bool CSFSvcRequest::SetTemplateReceiver(ICSFTemplateReceiver* pReceiver) {
    m_pTemplateReceiver = pReceiver;
    return true;
}

uint32_t CSFSvcRequest::SetHostWord4(uint32_t dwWord) {
    m_dwHostWord4 = dwWord;
    return dwWord;
}

uint32_t CSFSvcRequest::ReadTemplate(IPolicyContainer* pContainer) {
    const char* pszTemplate =
        pContainer != nullptr ? pContainer->GetText("\\template", "key", "") : "";
    m_dwTemplateResult =
        m_pTemplateReceiver != nullptr ? m_pTemplateReceiver->ReceiveTemplate(pszTemplate) : 0;
    return m_dwTemplateResult;
}

uint32_t CSFSvcRequest::GetTemplate(IPolicyContainer* pContainer) {
    ReadTemplate(pContainer);
    return m_dwTemplateResult;
}

ICSFHostServices* CSFLogServices() {
    CSFSvcRequest* pRequest = CSFSvcRequest::Current();
    return pRequest != nullptr ? pRequest->GetServices() : nullptr;
}

uint32_t CSFNotice(const char* pszText) {
    ICSFHostServices* pServices = CSFLogServices();
    return pServices != nullptr ? pServices->Notice(kCSFNoticeState, "%s", pszText) : 0;
}

uint32_t CSFNoticeDescriptionChanged(const char* pszWhat) {
    ICSFHostServices* pServices = CSFLogServices();
    return pServices != nullptr
               ? pServices->Notice(kCSFNoticeDescription, "The sensor's description changed: %s",
                                   pszWhat)
               : 0;
}

uint32_t CSFNoticeFindingEnded(const char* pszText) {
    ICSFHostServices* pServices = CSFLogServices();
    return pServices != nullptr && pszText != nullptr
               ? pServices->Notice(kCSFNoticeFindingEnded, "%s", pszText)
               : 0;
}

uint32_t CSFNoticeUnreadAtStop(uint64_t qwFiles, uint64_t qwBytes) {
    ICSFHostServices* pServices = CSFLogServices();
    return pServices != nullptr
               ? pServices->Notice(kCSFNoticeUnreadAtStop, kCSFUnreadAtStopFormat, qwFiles, qwBytes)
               : 0;
}

uint32_t CSFNoticeLostAtStop(uint64_t qwCount, const char* pszWhat) {
    ICSFHostServices* pServices = CSFLogServices();
    return pServices != nullptr && qwCount != 0 && pszWhat != nullptr && *pszWhat != '\0'
               ? pServices->Notice(kCSFNoticeLostAtStop, kCSFLostAtStopFormat, qwCount, pszWhat)
               : 0;
}
