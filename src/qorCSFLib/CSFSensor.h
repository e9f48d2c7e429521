#pragma once
// The framework's sensor: the base implementation of every operation the
// host drives.  Each command is answered with a log line or notice and, when
// it carries a request, with the request's status and completion.  The
// plug-in's sensor derives from it, does its own work and then calls the
// base operation, which completes the request.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "hostwarden/ICSFSensor.h"

class jsEvent;
class qorFastSync;

class CSFSensor : public ICSFSensor {
public:
    CSFSensor();

    bool Probe(uint32_t dwFirst, uint32_t dwSecond) override;
    uint8_t IsPaused() override;
    uint8_t GetSpareFlag() override;
    uint8_t UsesQgEvents() override;
    uint8_t IsInitialized() override;
    uint32_t Oninit(ICSFCommandRequest* pRequest) override;
    uint32_t WaitForCommand(uint32_t dwFirst, uint32_t dwSecond) override;
    uint32_t OnInput(uint32_t dwFirst, uint32_t dwSecond) override;
    uint32_t OnStop(ICSFCommandRequest* pRequest) override;
    uint32_t OnReloadPolicy(ICSFCommandRequest* pRequest) override;
    uint32_t OnPause(ICSFCommandRequest* pRequest) override;
    uint32_t OnResume(ICSFCommandRequest* pRequest) override;
    uint32_t OnStatusRequest(ICSFCommandRequest* pRequest) override;
    uint32_t OnUpdateStarted(ICSFCommandRequest* pRequest) override;
    uint32_t OnUpdateCompleted(ICSFCommandRequest* pRequest) override;
    uint32_t OnUpdateFailed(ICSFCommandRequest* pRequest) override;
    uint32_t OnUserOperationDone(ICSFCommandRequest* pRequest) override;
    uint32_t OnDoStats() override;
    uintptr_t OnChangeCommonPolicy(IPolicyContainer* pCommonPolicy) override;
    uint32_t Delete() override;
    uint32_t SetHostContext(uint32_t dwContext) override;
    uint32_t SetBaseDirectory(const char* pszDirectory) override;
    uint32_t SetSensorName(const char* pszName) override;
    uint32_t SetProductName(const char* pszName) override;
    uint32_t SetUsesQgEvents(uint8_t bUses) override;
    uint32_t SetSensorAddress(const char* pszAddress) override;
    uint32_t SetPluginName(const char* pszName) override;
    uint32_t SetPluginVersion(const char* pszVersion) override;
    uint32_t SetAuxText1(const char* pszText) override;
    uint32_t SetAuxText2(const char* pszText) override;
    const char* GetSensorName() override;
    const char* GetProductName() override;
    const char* GetPluginVersion() override;
    const char* GetAuxText1() override;
    uint32_t GetProductId() override;
    const char* GetSensorAddress() override;
    uint32_t SetReloadFlag(uint8_t bFlag) override;
    uint8_t GetReloadFlag() override;
    uint32_t SetCmlFlag(uint8_t bFlag) override;
    uint8_t GetCmlFlag() override;
    uint32_t OnCmlInput(ICSFCommandRequest* pRequest) override;
    uint32_t ProcessCmlInput() override;
    uint32_t SendCmlResponse(ICSFCommandRequest* pRequest) override;
    void WakeSensorThread() override;
    // Withdraws the current-sensor pointer when it names this sensor.
    virtual ~CSFSensor();
    virtual const char* GetBaseDirectory();

    // Status 2 with the text until cleared; reported by the status request.
    void SetErrorCondition(const char* pszText);
    void ClearErrorCondition();

    // The processors of the process and of the machine, as masks of the
    // first 32 processors; nothing in the plug-in calls these.  A failure
    // answers false (0 processors) and is logged.
    bool GetProcessAffinity(uint32_t& dwProcessMask, uint32_t& dwSystemMask);
    uint32_t GetProcessorCount();
    // Applies the mask, limited to the machine's processors; false (logged)
    // when nothing is left of it or the system refuses it.
    bool SetProcessAffinity(uint32_t dwMask);

    // The sensor other framework classes reach: the last one constructed,
    // null once it is destroyed.
    static CSFSensor* Current();

    // The product table: entry 0 is "Undefined", 1 to 58 our products.
    static constexpr uint32_t kProductCount = 59;
    static const char* ProductName(uint32_t dwId);

protected:
    const uint8_t* GetCmlInputData() const { return m_pCmlInput.get(); }
    uint32_t GetCmlInputLength() const { return m_dwCmlInputLength; }
    // The response SendCmlResponse sends after its header; false when it
    // cannot be allocated.
    bool SetCmlResponse(const void* pData, uint32_t dwLength);
    const std::string& GetPluginName() const { return m_strPluginName; }
    const std::string& GetAuxText2() const { return m_strAuxText2; }
    uint32_t GetHostContext() const { return m_dwHostContext; }

private:
    void FreeCmlData();

    uint32_t m_dwHostContext = 0;
    std::string m_strSensorName;
    std::string m_strProductName;
    std::string m_strBaseDirectory;
    std::string m_strSensorAddress;
    std::string m_strPluginName;
    std::string m_strPluginVersion;
    std::string m_strAuxText1;
    std::string m_strAuxText2;
    uint32_t m_dwProductId = 0;
    // Read by any thread while the control thread writes them.
    std::atomic<uint8_t> m_bPaused{0};
    uint8_t m_bSpareFlag = 0;
    std::atomic<uint8_t> m_bUsesQgEvents{0};
    uint8_t m_bInitialized = 1;
    uint32_t m_dwStatus = 1;
    std::string m_strStatusText;
    std::atomic<uint8_t> m_bReloadFlag{0};
    std::unique_ptr<uint8_t[]> m_pCmlInput;
    std::unique_ptr<uint8_t[]> m_pCmlResponse;
    uint32_t m_dwCmlInputLength = 0;
    uint32_t m_dwCmlResponseLength = 0;
    std::atomic<uint8_t> m_bCmlFlag{0};
    std::unique_ptr<qorFastSync> m_pReloadFlagLock;
    std::unique_ptr<qorFastSync> m_pCmlFlagLock;
    // Made by the sensor thread's first wait, used by the control thread's
    // wake-up: published atomically so the wake-up sees it whole.
    std::unique_ptr<jsEvent> m_pCommandEventOwner;
    std::atomic<jsEvent*> m_pCommandEvent{nullptr};
};
