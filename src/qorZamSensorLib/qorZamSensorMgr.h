#pragma once
// The one process-wide owner of the attack-signature module and its plug-in
// container library: loads both, checks the module's version, gives the
// module its allocator and log callback, keeps the detector-issue map, and
// makes and destroys the per-adapter sensor instances and coalescers.

#include <cstdint>
#include <memory>
#include <string>

#include "qorToolsLib/DynamicLibrary.h"
#include "qorZamSensorLib/IZamSensor.h"
#include "qorZamSensorLib/ZamModuleApi.h"

class DetectorIssueMap;
class ICSFHostServices;

// An allocator outside the module's own heap (none in this system).
class IZamAllocator {
public:
    virtual void* Allocate(size_t bytes) = 0;
    virtual void Free(void* block) = 0;
    virtual void Reserved2() {}
    virtual void Reserved3() {}
    virtual void SetMemoryFactor(float factor) = 0;
    virtual ~IZamAllocator() = default;
};

class qorZamSensorMgr {
public:
    // The first call loads the module and answers the manager (none when
    // the load fails); later calls answer the same manager unchanged.
    static qorZamSensorMgr* GetInstance(const char* pszModulePath, float fMemoryFactor,
                                        std::string& strVersion, ICSFHostServices* pLogger);
    static qorZamSensorMgr* GetInstance(const char* pszModulePath, float fMemoryFactor,
                                        std::string& strVersion, ICSFHostServices* pLogger,
                                        zam::ZamLogFn moduleLog, IZamAllocator* pAllocator);
    static bool ReleaseInstance();
    // Why the last GetInstance that had to load the module made no
    // manager, in words (the loader's reason, a library that is no
    // signature module or of another version); empty once one is made.
    static const std::string& LastLoadProblem();
    // The manager the last successful GetInstance made, or none; for the
    // slaves, which use the master's manager without knowing its module.
    static qorZamSensorMgr* CurrentInstance();
    // The current manager's issue map, or none.
    static const DetectorIssueMap* CurrentIssuesMap();

    void SetEventMatchNotify(IZamEventMatchNotify* pNotify) { m_pNextNotify = pNotify; }
    void SetExceptionHandler(zam::ZamExceptionFn handler) { m_pfnExceptionHandler = handler; }
    void SetLogger(ICSFHostServices* pLogger);

    bool InitIssuesMap(const char* pszIssueFile, DetectorIssueMap* pMap);
    DetectorIssueMap* GetIssuesMap() { return m_pIssueMap; }

    IZamSensor* CreateZamInstance(const uint32_t* pLocalAddresses, uint32_t dwCount,
                                  uint32_t dwCustomerId);
    bool DestroyZamInstance(IZamSensor* pSensor);
    IZamCoalescer* CreateZamCoalescer(IZamSensor* pSensor);
    bool DestroyZamCoalescer(IZamCoalescer* pCoalescer);

    void EventInterpret(uint32_t dwVictim, uint32_t dwIntruder, uint32_t dwVictimPort,
                        uint32_t dwIntruderPort, uint32_t dwFlags, uint32_t dwPacketFlags,
                        uint32_t dwReportType, uint32_t* pInterpretation);
    void LogCrash(uintptr_t a, uintptr_t b, uintptr_t c);
    void LogCrashEx(const rp::PacketRecord* pPacket, uintptr_t instruction, uintptr_t framePointer,
                    const void* pExceptionPointers);

    const std::string& GetModulePath() const { return m_strModulePath; }
    const std::string& GetContainerPath() const { return m_strContainerPath; }
    float GetMemoryFactor() const { return m_fMemoryFactor; }
    bool IsContainerLoaded() const { return m_ContainerLibrary.IsLoaded(); }
    bool HasPrivateHeap() const;

    // The container path for a module path: the module's folder and the
    // container's library name beside it.
    static std::string ContainerPathFor(const std::string& strModulePath);

private:
    qorZamSensorMgr(const char* pszModulePath, float fMemoryFactor);
    ~qorZamSensorMgr();

    bool Load();
    bool LoadLibraries();
    bool CheckVersion();
    bool TakeEntryPoints();
    void InitializeContainer();
    bool Unload();

    DynamicLibrary m_ModuleLibrary;
    DynamicLibrary m_ContainerLibrary;
    std::string m_strModulePath;
    std::string m_strContainerPath;
    float m_fMemoryFactor = 0;
    IZamEventMatchNotify* m_pNextNotify = nullptr;
    bool m_bOwnsIssueMap = false;
    DetectorIssueMap* m_pIssueMap = nullptr;
    IZamAllocator* m_pAllocator = nullptr;
    zam::ZamSymbolFn m_pfnSymbol = nullptr;
    zam::ZamInitializeFn m_pfnInitialize = nullptr;
    zam::ZamFinalizeFn m_pfnFinalize = nullptr;
    zam::ZamGetVersionFn m_pfnGetVersion = nullptr;
    zam::ZamEventInterpretFn m_pfnEventInterpret = nullptr;
    zam::ZamLogCrashFn m_pfnLogCrash = nullptr;
    zam::ZamLogCrashExFn m_pfnLogCrashEx = nullptr;
    zam::ZamCheckVersionFn m_pfnCheckVersion = nullptr;
    zam::ZamExceptionFn m_pfnExceptionHandler = nullptr;
};
