#pragma once
// The framework's service request: keeps the host's services object and
// event handler and publishes them process-wide.  The most recently
// constructed request is the route every log line of the plug-in takes to
// the host's logger.

#include <atomic>
#include <cstdint>

#include "hostwarden/ICSFSvcRequest.h"

class CSFSvcRequest : public ICSFSvcRequest {
public:
    CSFSvcRequest();

    uint8_t IsInitialized() override;
    bool SetServices(ICSFHostServices* pServices) override;
    bool SetHostWord1(uint32_t dwWord) override;
    bool SetHostWord2(uint32_t dwWord) override;
    bool Accept(uint32_t dwWord) override;
    const char* GetPolicyRoot() override;
    bool SetEventHandler(ICSFEventHandler* pHandler) override;
    uint32_t Release() override;
    uint32_t SetHostWord3(uint32_t dwWord) override;
    uint32_t GetHostWord3() override;
    bool SetTemplateReceiver(ICSFTemplateReceiver* pReceiver) override;
    uint32_t SetHostWord4(uint32_t dwWord) override;
    // Withdraws whatever this request published process-wide, so that no
    // log call or factory reaches a released request or the objects the
    // host handed over through it.
    ~CSFSvcRequest() override;
    uint32_t ReadTemplate(IPolicyContainer* pContainer) override;

    // Read by logging threads while the host may be setting it.
    ICSFHostServices* GetServices() const { return m_pServices.load(std::memory_order_acquire); }
    ICSFEventHandler* GetEventHandler() const { return m_pEventHandler; }
    uint32_t GetTemplate(IPolicyContainer* pContainer);

    void SetInitialized() { m_bInitialized = 1; }
    void AllowServices() { m_bServicesAllowed = 1; }
    void AllowEventHandler() { m_bHandlerAllowed = 1; }

    uint32_t GetHostWord1() const { return m_dwHostWord1; }
    uint32_t GetHostWord2() const { return m_dwHostWord2; }
    uint32_t GetHostWord4() const { return m_dwHostWord4; }

    // The process-wide service request, services object and event handler;
    // null until set and again once their publisher is gone.
    static CSFSvcRequest* Current();
    static ICSFHostServices* CurrentServices();
    static ICSFEventHandler* CurrentEventHandler();

protected:
    // Lets a test or a derived request refuse the host's objects.
    void DenyServices() { m_bServicesAllowed = 0; }
    void DenyEventHandler() { m_bHandlerAllowed = 0; }

private:
    std::atomic<ICSFHostServices*> m_pServices{nullptr};
    ICSFEventHandler* m_pEventHandler = nullptr;
    uint32_t m_dwHostWord1 = 0;
    uint32_t m_dwHostWord2 = 0;
    uint32_t m_dwHostWord3 = 0;
    ICSFTemplateReceiver* m_pTemplateReceiver = nullptr;
    uint32_t m_dwTemplateResult = 0;
    uint32_t m_dwHostWord4 = 0;
    uint8_t m_bInitialized = 0;
    uint8_t m_bServicesAllowed = 0;
    uint8_t m_bHandlerAllowed = 0;
};
