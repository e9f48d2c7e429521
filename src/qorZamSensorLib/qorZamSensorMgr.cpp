#include "qorZamSensorLib/qorZamSensorMgr.h"

#include <strings.h>

#include <cstdlib>
#include <new>

#include "platform/DynamicLoader.h"
#include "qorSensorUtil/DetectorIssueMap.h"
#include "qorZamSensorLib/ZamEntryTable.h"
#include "qorZamSensorLib/ZamLog.h"
#include "qorZamSensorLib/qorZamCoalescerEx.h"
#include "qorZamSensorLib/qorZamCrashLog.h"
#include "qorZamSensorLib/qorZamSensorEx.h"


namespace {

constexpr const char* kProductName = "Host Warden";
constexpr const char* kRequiredVersionText = "1.10.106.316";
constexpr const char* kContainerName = "tarn.dll";

// Process-wide, as the module's callbacks have no context of their own.
qorZamSensorMgr* g_pInstance = nullptr;
ICSFHostServices* g_pLogger = nullptr;
zam::ZamLogFn g_pfnModuleLog = nullptr;
IZamAllocator* g_pAllocator = nullptr;
bool g_bPrivateHeap = false;
std::string g_strModuleVersion;
std::string g_strLoadProblem;
zam::TarnEntryFn g_pfnContainerEntry = nullptr;

// The private heap is the process allocator here: it serialises callers
// from several slave threads, as the module expects of its heap.
extern "C" void* ModuleAllocate(size_t bytes) {
    if (g_pAllocator != nullptr) {
        return g_pAllocator->Allocate(bytes);
    }
    return std::malloc(bytes);
}

extern "C" void ModuleFree(void* block) {
    if (g_pAllocator != nullptr) {
        g_pAllocator->Free(block);
        return;
    }
    std::free(block);
}

// Each module line goes to the host's trace and to the module crash log,
// which keeps what the module said last if the process goes down with it.
extern "C" void ManagerModuleLog(const char* format, va_list args) {
    if (format == nullptr) {
        return;
    }
    static CSFLogTag moduleLogTag;
    if (g_pLogger != nullptr) {
        va_list copy;
        va_copy(copy, args);
        g_pLogger->LogV(&moduleLogTag, kCSFLogCategory, kCSFLogTrace, __LINE__, __FILE__, format,
                        copy);
        va_end(copy);
    }
    if (qorZamCrashLog* crashLog = qorZamCrashLog::GetInstance()) {
        va_list copy;
        va_copy(copy, args);
        crashLog->VPrint(format, copy);
        va_end(copy);
    }
}

zam::ZamLogFn InstalledModuleLog() {
    return g_pfnModuleLog != nullptr ? g_pfnModuleLog : &ManagerModuleLog;
}

extern "C" void ContainerLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    InstalledModuleLog()(format, args);
    va_end(args);
}

extern "C" void ContainerRegister(zam::TarnEntryFn entry) {
    ZAM_LOG(g_pLogger, kCSFLogInfo, "Registering TARN Plugin container \n");
    g_pfnContainerEntry = entry;
}

}  // namespace

qorZamSensorMgr::qorZamSensorMgr(const char* pszModulePath, float fMemoryFactor)
    : m_strModulePath(pszModulePath != nullptr ? pszModulePath : ""),
      m_fMemoryFactor(fMemoryFactor) {}

qorZamSensorMgr::~qorZamSensorMgr() {
    if (m_bOwnsIssueMap) {
        delete m_pIssueMap;
    }
}

qorZamSensorMgr* qorZamSensorMgr::GetInstance(const char* pszModulePath, float fMemoryFactor,
                                              std::string& strVersion, ICSFHostServices* pLogger) {
    return GetInstance(pszModulePath, fMemoryFactor, strVersion, pLogger, nullptr, nullptr);
}

qorZamSensorMgr* qorZamSensorMgr::GetInstance(const char* pszModulePath, float fMemoryFactor,
                                              std::string& strVersion, ICSFHostServices* pLogger,
                                              zam::ZamLogFn moduleLog, IZamAllocator* pAllocator) {
    if (g_pInstance != nullptr) {
        return g_pInstance;
    }
    g_pLogger = pLogger;
    g_pfnModuleLog = moduleLog;
    g_pAllocator = pAllocator;
    if (pAllocator != nullptr) {
        pAllocator->SetMemoryFactor(fMemoryFactor);
    }
    g_pInstance = new qorZamSensorMgr(pszModulePath, fMemoryFactor);
    g_pInstance->m_pAllocator = pAllocator;
    g_strLoadProblem.clear();
    if (!g_pInstance->Load()) {
        if (g_strLoadProblem.empty()) {
            g_strLoadProblem = "it lacks entry points the sensor needs (named in the log)";
        }
        ReleaseInstance();
        return nullptr;
    }
    strVersion = g_strModuleVersion;
    return g_pInstance;
}

bool qorZamSensorMgr::ReleaseInstance() {
    if (g_pInstance != nullptr) {
        g_pInstance->Unload();
        delete g_pInstance;
        g_pInstance = nullptr;
    }
    return true;
}

const std::string& qorZamSensorMgr::LastLoadProblem() {
    return g_strLoadProblem;
}

qorZamSensorMgr* qorZamSensorMgr::CurrentInstance() {
    return g_pInstance;
}

const DetectorIssueMap* qorZamSensorMgr::CurrentIssuesMap() {
    return g_pInstance != nullptr ? g_pInstance->m_pIssueMap : nullptr;
}

bool qorZamSensorMgr::HasPrivateHeap() const {
    return g_bPrivateHeap;
}

void qorZamSensorMgr::SetLogger(ICSFHostServices* pLogger) {
    g_pLogger = pLogger;
    if (m_pIssueMap != nullptr && m_bOwnsIssueMap) {
        m_pIssueMap->SetLogger(pLogger);
    }
}

std::string qorZamSensorMgr::ContainerPathFor(const std::string& strModulePath) {
    size_t cut = strModulePath.find_last_of("/\\");
    std::string folder = cut == std::string::npos ? "" : strModulePath.substr(0, cut);
    const bool bWindowsName = strModulePath.size() >= 4 &&
                              strcasecmp(strModulePath.c_str() + strModulePath.size() - 4, ".dll") == 0;
    if (cut != std::string::npos && strModulePath[cut] == '/' && !bWindowsName) {
        // A file-system path: the container's own file beside the module.
        std::string mapped = plat::MapLibraryName(kContainerName);
        return folder + "/" + mapped.substr(mapped.find_last_of('/') + 1);
    }
    // A module named the Windows way finds its container the same way.
    const char separator = cut != std::string::npos ? strModulePath[cut] : '\\';
    return folder + separator + kContainerName;
}

bool qorZamSensorMgr::LoadLibraries() {
    StatusCode moduleStatus = m_ModuleLibrary.Load(m_strModulePath.c_str());
    if (moduleStatus != QOR_S_OK) {
        // Taken before the container's load words its own.
        g_strLoadProblem = plat::LastLoaderMessage();
        if (g_strLoadProblem.empty()) {
            g_strLoadProblem = "the system's loader refused it";
        }
    }
    m_strContainerPath = ContainerPathFor(m_strModulePath);
    StatusCode containerStatus = m_ContainerLibrary.Load(m_strContainerPath.c_str());
    if (moduleStatus != QOR_S_OK) {
        ZAM_LOG(g_pLogger, kCSFLogError, "The attack signatures module \"%s\" failed to load: %s",
                m_strModulePath.c_str(), StatusText(moduleStatus));
        return false;
    }
    if (containerStatus != QOR_S_OK) {
        ZAM_LOG(g_pLogger, kCSFLogError, "The  TARN module \"%s\" failed to load: %s",
                m_strContainerPath.c_str(), StatusText(containerStatus));
    }
    return true;
}

// False only for an incompatible module, which fails the load at once.
bool qorZamSensorMgr::CheckVersion() {
    m_pfnCheckVersion = zam::EntryAs<zam::ZamCheckVersionFn>(
        zam::TakeEntry(m_pfnSymbol, {zam::kCheckVersion, "zamCheckVersion"}, g_pLogger));
    m_pfnGetVersion = zam::EntryAs<zam::ZamGetVersionFn>(
        zam::TakeEntry(m_pfnSymbol, {zam::kGetVersion, "zamGetVersion"}, g_pLogger));
    if (m_pfnCheckVersion == nullptr ||
        m_pfnCheckVersion(zam::kRequiredVersion[0], zam::kRequiredVersion[1],
                          zam::kRequiredVersion[2], zam::kRequiredVersion[3]) == 0) {
        std::string text = std::string("Incompatible ZAM library. Required ver: ") +
                           kRequiredVersionText;
        if (m_pfnGetVersion != nullptr) {
            const char* available = m_pfnGetVersion();
            text += "  available ver: ";
            text += available != nullptr ? available : "";
        }
        ZAM_LOG(g_pLogger, kCSFLogError, "%s", text.c_str());
        g_strLoadProblem = text;
        return false;
    }
    if (m_pfnGetVersion != nullptr) {
        const char* version = m_pfnGetVersion();
        g_strModuleVersion = version != nullptr ? version : "";
    }
    return true;
}

bool qorZamSensorMgr::TakeEntryPoints() {
    void* entries[5];
    static constexpr zam::EntryName kManagerEntries[5] = {
        {zam::kInitialize, "zamoInitialize"},       {zam::kFinalize, "zamoFinalize"},
        {zam::kEventInterpret, "zamEventInterpret"}, {zam::kLogCrash, "zamLogCrash"},
        {zam::kLogCrashEx, "zamLogCrashEx"},
    };
    bool all = zam::TakeEntries(m_pfnSymbol, kManagerEntries, 5, entries, g_pLogger);
    m_pfnInitialize = zam::EntryAs<zam::ZamInitializeFn>(entries[0]);
    m_pfnFinalize = zam::EntryAs<zam::ZamFinalizeFn>(entries[1]);
    m_pfnEventInterpret = zam::EntryAs<zam::ZamEventInterpretFn>(entries[2]);
    m_pfnLogCrash = zam::EntryAs<zam::ZamLogCrashFn>(entries[3]);
    m_pfnLogCrashEx = zam::EntryAs<zam::ZamLogCrashExFn>(entries[4]);
    return all;
}

void qorZamSensorMgr::InitializeContainer() {
    if (!m_ContainerLibrary.IsLoaded()) {
        return;
    }
    auto initialize = GetProcAs<zam::TarnInitializeFn>(m_ContainerLibrary, "TARN_Initialize");
    if (initialize == nullptr) {
        return;
    }
    g_pfnContainerEntry = nullptr;
    initialize(kProductName, m_strContainerPath.c_str(), &ContainerLog, &ContainerRegister);
    if (g_pfnContainerEntry != nullptr) {
        for (uint32_t step = 0; step < 3; ++step) {
            g_pfnContainerEntry(step);
        }
    }
}

bool qorZamSensorMgr::Load() {
    if (!LoadLibraries()) {
        return false;
    }
    m_pfnSymbol = zam::FindSymbolEntry(m_ModuleLibrary, g_pLogger);
    if (m_pfnSymbol == nullptr) {
        g_strLoadProblem = "it exports no zamSymbol, so it is no attack signatures module";
        return false;
    }
    if (!CheckVersion()) {
        return false;
    }
    bool result = m_pfnGetVersion != nullptr;
    result = TakeEntryPoints() && result;
    InitializeContainer();
    if (m_pfnInitialize == nullptr) {
        return false;
    }
    g_bPrivateHeap = true;
    m_pfnInitialize(&ModuleAllocate, &ModuleFree, InstalledModuleLog());
    return result;
}

bool qorZamSensorMgr::Unload() {
    if (!m_ModuleLibrary.IsLoaded()) {
        return true;
    }
    if (m_pfnFinalize != nullptr) {
        m_pfnFinalize();
    }
    g_bPrivateHeap = false;
    // A library the system will not unload stays mapped; the manager is
    // gone either way, and failing here would take down whoever releases.
    if (m_ModuleLibrary.Free() != QOR_S_OK) {
        ZAM_LOG(g_pLogger, kCSFLogError, "The attack signatures module \"%s\" could not be unloaded",
                m_strModulePath.c_str());
    }
    if (m_ContainerLibrary.IsLoaded() && m_ContainerLibrary.Free() != QOR_S_OK) {
        ZAM_LOG(g_pLogger, kCSFLogError, "The  TARN module \"%s\" could not be unloaded",
                m_strContainerPath.c_str());
    }
    g_pfnContainerEntry = nullptr;
    return true;
}

bool qorZamSensorMgr::InitIssuesMap(const char* pszIssueFile, DetectorIssueMap* pMap) {
    const char* path = pszIssueFile != nullptr ? pszIssueFile : "";
    ZAM_TRACE(g_pLogger, "Initializing issues map: %s pIssues %x", path,
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(pMap)));
    if (pMap != nullptr) {
        if (m_bOwnsIssueMap) {
            delete m_pIssueMap;
        }
        m_pIssueMap = pMap;
        m_bOwnsIssueMap = false;
    } else if (m_pIssueMap == nullptr || !m_bOwnsIssueMap) {
        m_pIssueMap = new (std::nothrow) DetectorIssueMap();
        m_bOwnsIssueMap = m_pIssueMap != nullptr;
        if (m_pIssueMap != nullptr) {
            m_pIssueMap->SetLogger(g_pLogger);
        }
    }
    if (m_pIssueMap == nullptr) {
        return false;
    }
    bool loaded = m_pIssueMap->LoadIssueFile(path);
    if (!loaded) {
        ZAM_TRACE(g_pLogger, "Error handling issues map file %s", path);
    }
    return loaded;
}

IZamSensor* qorZamSensorMgr::CreateZamInstance(const uint32_t* pLocalAddresses, uint32_t dwCount,
                                               uint32_t dwCustomerId) {
    auto* sensor = new qorZamSensorEx(m_ModuleLibrary);
    sensor->SetEventMatchNotify(m_pNextNotify);
    sensor->SetLogger(g_pLogger);
    sensor->SetExceptionHandler(m_pfnExceptionHandler);
    ZAM_TRACE(g_pLogger, "About to create a new ZAM instance");
    if (sensor->ResolveEntryPoints() &&
        sensor->CreateEngine(pLocalAddresses, dwCount, dwCustomerId)) {
        ZAM_TRACE(g_pLogger, "Finished creating a new ZAM instance");
        return sensor;
    }
    ZAM_TRACE(g_pLogger, "Failed to create a new ZAM instance");
    sensor->DestroyEngine();
    delete sensor;
    return nullptr;
}

bool qorZamSensorMgr::DestroyZamInstance(IZamSensor* pSensor) {
    ZAM_TRACE(g_pLogger, "About to delete a ZAM instance");
    if (auto* sensor = dynamic_cast<qorZamSensorEx*>(pSensor)) {
        sensor->DestroyEngine();
        delete sensor;
    }
    ZAM_TRACE(g_pLogger, "Deleted a ZAM instance");
    return true;
}

IZamCoalescer* qorZamSensorMgr::CreateZamCoalescer(IZamSensor* pSensor) {
    auto* coalescer = new qorZamCoalescerEx(m_ModuleLibrary);
    coalescer->SetEventMatchNotify(m_pNextNotify);
    coalescer->SetLogger(g_pLogger);
    auto* sensor = dynamic_cast<qorZamSensorEx*>(pSensor);
    if (sensor == nullptr) {
        delete coalescer;
        return nullptr;
    }
    ZAM_TRACE(g_pLogger, "About to create a new ZAM Coalescer instance %x",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(coalescer)));
    if (coalescer->ResolveEntryPoints() && coalescer->Create(*sensor)) {
        ZAM_TRACE(g_pLogger, "Finished creating a new ZAM Coalescer instance");
        return coalescer;
    }
    delete coalescer;
    ZAM_TRACE(g_pLogger, "Failed to create a new ZAM Coalescer instance");
    return nullptr;
}

bool qorZamSensorMgr::DestroyZamCoalescer(IZamCoalescer* pCoalescer) {
    ZAM_TRACE(g_pLogger, "About to delete a ZAM Coalescer instance %x",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(pCoalescer)));
    if (auto* coalescer = dynamic_cast<qorZamCoalescerEx*>(pCoalescer)) {
        ZAM_TRACE(g_pLogger, "About to Destroy Coalescer pZamCoalescer %x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(coalescer)));
        coalescer->Destroy();
        delete coalescer;
    }
    ZAM_TRACE(g_pLogger, "Deleted a ZAM coalescer instance");
    return true;
}

void qorZamSensorMgr::EventInterpret(uint32_t dwVictim, uint32_t dwIntruder,
                                     uint32_t dwVictimPort, uint32_t dwIntruderPort,
                                     uint32_t dwFlags, uint32_t dwPacketFlags,
                                     uint32_t dwReportType, uint32_t* pInterpretation) {
    if (m_pfnEventInterpret != nullptr) {
        m_pfnEventInterpret(dwVictim, dwIntruder, dwVictimPort, dwIntruderPort, dwFlags,
                            dwPacketFlags, dwReportType, pInterpretation);
    }
}

void qorZamSensorMgr::LogCrash(uintptr_t a, uintptr_t b, uintptr_t c) {
    if (m_pfnLogCrash != nullptr) {
        m_pfnLogCrash(a, b, c);
    }
}

void qorZamSensorMgr::LogCrashEx(const rp::PacketRecord* pPacket, uintptr_t instruction,
                                 uintptr_t framePointer, const void* pExceptionPointers) {
    if (m_pfnLogCrashEx != nullptr) {
        m_pfnLogCrashEx(pPacket, instruction, framePointer, pExceptionPointers);
    }
}
