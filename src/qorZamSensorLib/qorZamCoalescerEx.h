#pragma once
// One event coalescer of the signature module, made on a sensor instance.
// The first coalescer of the process starts the module's coalescer
// subsystem and the last one destroyed ends it.

#include <cstdint>

#include "qorToolsLib/DynamicLibrary.h"
#include "qorZamSensorLib/IZamSensor.h"
#include "qorZamSensorLib/ZamModuleApi.h"

class ICSFHostServices;
class qorZamSensorEx;

class qorZamCoalescerEx : public IZamCoalescer {
public:
    enum Entry : uint32_t {
        kInitialize,
        kFinalize,
        kCreate,
        kCreate2,
        kDestroy,
        kSetParameter,
        kProcess,
        kAge,
        kFlush,
        kEntryCount
    };

    explicit qorZamCoalescerEx(const DynamicLibrary& library);
    ~qorZamCoalescerEx() override;

    int32_t Process(uint32_t dwTime, uint32_t dwIssueId, uint32_t dwCount, uint32_t dwFlags,
                    uint32_t dwVictim, uint32_t dwIntruder, uint32_t dwVictimPort,
                    uint32_t dwIntruderPort, uint32_t dwReportType, uint32_t dwPacketFlags,
                    const char* pszParams, void* pRecord) override;
    void Age(uint32_t dwSeconds) override;
    void Flush() override;
    IZamEventMatchNotify* GetEventMatchNotify() override { return m_pNotify; }
    int32_t SetParameter(const char* pszName, const char* pszValue) override;

    void SetEventMatchNotify(IZamEventMatchNotify* pNotify) { m_pNotify = pNotify; }
    void SetLogger(ICSFHostServices* pLogger) { m_pLogger = pLogger; }

    bool ResolveEntryPoints();
    // Makes the module coalescer on the instance's engine.  An instance
    // without an engine, or a module that makes no coalescer, is a failure:
    // a coalescer without a handle would swallow every event given to it.
    bool Create(const qorZamSensorEx& sensor);
    void Destroy();
    void* GetCoalescerHandle() const { return m_hCoalescer; }

    // Live module coalescers in the process.
    static uint32_t LiveCount();

private:
    template <typename F>
    F EntryFn(Entry entry) const {
        return reinterpret_cast<F>(m_pEntries[entry]);
    }
    void ReleaseCount();

    ICSFHostServices* m_pLogger = nullptr;
    zam::ZamHandle m_hEngine = nullptr;
    DynamicLibrary m_Library;
    void* m_hCoalescer = nullptr;
    IZamEventMatchNotify* m_pNotify = nullptr;
    zam::ZamSymbolFn m_pfnSymbol = nullptr;
    void* m_pEntries[kEntryCount] = {};
};
