#pragma once
// One analysis instance of the signature module.  The wrapper takes its own
// copy of the module's instance entry points, creates the module instance
// with itself as the callback context, and passes the module's callbacks on
// to the slave's notify object.

#include <cstdint>

#include "qorToolsLib/DynamicLibrary.h"
#include "qorZamSensorLib/IZamSensor.h"
#include "qorZamSensorLib/ZamModuleApi.h"

class ICSFHostServices;

class qorZamSensorEx : public IZamSensor {
public:
    enum Entry : uint32_t {
        kCreate,
        kSetParameter,
        kReadSignatures,
        kReceive,
        kSetCustomerId,
        kDestroy,
        kSetHeapLogger,
        kDisplayMem,
        kSetParsedIpCallback,
        kSetParsedTcpCallback,
        kSetParsedUdpCallback,
        kSetParsedIcmpCallback,
        kSetParsedRpcCallback,
        kSetReassembledIpCallback,
        kSetUserDefinedCallback,
        kSetMacReportingCallback,
        kSetExceptionHandler,
        kResetFrameCreate,
        kResetFrameCreateReverse,
        kResetFrameDestroy,
        kResetFrameIsValid,
        kResetFrameStart,
        kResetFrameLength,
        kResetFrameIPv4,
        kResetFrameOverrideSrcMac,
        kResetFrameOverrideDstMac,
        kIssueEnable,
        kIssueEnableAll,
        kIssueDisable,
        kIssueDisableAll,
        kHousekeeping,
        kEntryCount
    };

    explicit qorZamSensorEx(const DynamicLibrary& library);
    ~qorZamSensorEx() override;

    void IssueEnableAll() override;
    void IssueDisableAll() override;
    void IssueEnable(uint32_t dwIssueId) override;
    void IssueDisable(uint32_t dwIssueId) override;
    void Housekeeping() override;
    int32_t Receive(const rp::PacketRecord* pPacket, void* pContext) override;
    IZamEventMatchNotify* GetEventMatchNotify() override { return m_pNotify; }
    int32_t SetParameter(const char* pszName, const char* pszValue) override;
    void* ResetFrameCreate(const rp::PacketRecord* pPacket, void* pContext,
                           const uint8_t* pSourceMac, uint32_t dwSourceMacLength,
                           const uint8_t* pDestinationMac, uint32_t dwDestinationMacLength,
                           bool bOverrideDestination, const void** ppStart, uint32_t* pdwLength,
                           bool bReverse) override;
    void ResetFrameDestroy(void* pFrame) override;
    bool ResetFrameIsValid(void* pFrame) override;

    void SetEventMatchNotify(IZamEventMatchNotify* pNotify) { m_pNotify = pNotify; }
    void SetLogger(ICSFHostServices* pLogger) { m_pLogger = pLogger; }
    void SetExceptionHandler(zam::ZamExceptionFn handler) { m_pfnExceptionHandler = handler; }

    // Takes every entry point; false when `zamSymbol` or any entry is missing.
    bool ResolveEntryPoints();
    // Creates the module instance; false when the module made none.
    bool CreateEngine(const uint32_t* pLocalAddresses, uint32_t dwCount, uint32_t dwCustomerId);
    void DestroyEngine();
    zam::ZamHandle GetEngineHandle() const { return m_hEngine; }

    // Raises std::runtime_error with the module's message.
    static void DefaultExceptionHandler(const char* pszMessage);

private:
    template <typename F>
    F EntryFn(Entry entry) const {
        return reinterpret_cast<F>(m_pEntries[entry]);
    }
    bool SetCallbackParameter(const char* pszName, const char* pszValue);

    IZamEventMatchNotify* m_pNotify = nullptr;
    ICSFHostServices* m_pLogger = nullptr;
    zam::ZamHandle m_hEngine = nullptr;
    DynamicLibrary m_Library;
    zam::ZamSymbolFn m_pfnSymbol = nullptr;
    void* m_pEntries[kEntryCount] = {};
    zam::ZamExceptionFn m_pfnExceptionHandler = nullptr;
};
