#include "qorZamSensorLib/qorZamCoalescerEx.h"

#include <mutex>

#include "qorZamSensorLib/ZamEntryTable.h"
#include "qorZamSensorLib/ZamLog.h"
#include "qorZamSensorLib/qorZamSensorEx.h"


namespace {

constexpr zam::EntryName kCoalescerEntries[qorZamCoalescerEx::kEntryCount] = {
    {zam::kCoalescerInitialize, "zamCoalescerInitialize"},
    {zam::kCoalescerFinalize, "zamCoalescerFinalize"},
    {zam::kCoalescerCreate, "zamCoalescerCreate"},
    {zam::kCoalescerCreate2, "zamCoalescerCreate2"},
    {zam::kCoalescerDestroy, "zamCoalescerDestroy"},
    {zam::kCoalescerSetParameter, "zamCoalescerSetParameter"},
    {zam::kCoalescerProcess, "zamCoalescerProcess"},
    {zam::kCoalescerAge, "zamCoalescerAge"},
    {zam::kCoalescerFlush, "zamCoalescerFlush"},
};

// Slaves make and destroy their coalescers on their own threads, so the
// count and the subsystem start and end it guards are taken under a lock.
std::mutex g_countLock;
uint32_t g_dwLiveCoalescers = 0;

extern "C" void CoalescerOutput(uint32_t start, uint32_t end, uint32_t issueId, uint32_t count,
                                uint32_t flags, uint32_t victim, uint32_t victim2,
                                uint32_t intruder, uint32_t victimPort, uint32_t intruderPort,
                                uint32_t reportType, uint32_t packetFlags, const char* params,
                                void* context, uint32_t recordCount, void** records) {
    auto* coalescer = static_cast<qorZamCoalescerEx*>(context);
    IZamEventMatchNotify* notify = coalescer != nullptr ? coalescer->GetEventMatchNotify() : nullptr;
    if (notify != nullptr) {
        notify->OnCoalescerCallback(start, end, issueId, count, flags, victim, victim2, intruder,
                                    victimPort, intruderPort, reportType, packetFlags, params,
                                    recordCount, records);
    }
}

}  // namespace

qorZamCoalescerEx::qorZamCoalescerEx(const DynamicLibrary& library) : m_Library(library) {}

qorZamCoalescerEx::~qorZamCoalescerEx() {
    Destroy();
}

uint32_t qorZamCoalescerEx::LiveCount() {
    std::lock_guard<std::mutex> guard(g_countLock);
    return g_dwLiveCoalescers;
}

bool qorZamCoalescerEx::ResolveEntryPoints() {
    m_pfnSymbol = zam::FindSymbolEntry(m_Library, m_pLogger);
    if (m_pfnSymbol == nullptr) {
        return false;
    }
    return zam::TakeEntries(m_pfnSymbol, kCoalescerEntries, kEntryCount, m_pEntries, m_pLogger);
}

bool qorZamCoalescerEx::Create(const qorZamSensorEx& sensor) {
    m_hEngine = sensor.GetEngineHandle();
    if (m_hEngine == nullptr) {
        return false;
    }
    ZAM_TRACE(m_pLogger, "Creating ZAM coalescer module");
    std::lock_guard<std::mutex> guard(g_countLock);
    if (g_dwLiveCoalescers == 0) {
        EntryFn<zam::ZamCoalescerInitializeFn>(kInitialize)();
        ZAM_TRACE(m_pLogger, "ZAM Coalescer Initialized");
    }
    ++g_dwLiveCoalescers;
    m_hCoalescer = EntryFn<zam::ZamCoalescerCreateFn>(kCreate)(m_hEngine, &CoalescerOutput, this);
    if (m_hCoalescer == nullptr) {
        ReleaseCount();
        return false;
    }
    ZAM_TRACE(m_pLogger, "Finished creating ZAM coalescer module - count is %d",
              static_cast<int>(g_dwLiveCoalescers));
    return true;
}

// Called with the count lock held.
void qorZamCoalescerEx::ReleaseCount() {
    if (--g_dwLiveCoalescers == 0) {
        EntryFn<zam::ZamCoalescerFinalizeFn>(kFinalize)();
        ZAM_TRACE(m_pLogger, "ZAM Coalescer Finalized");
    }
}

void qorZamCoalescerEx::Destroy() {
    if (m_hCoalescer == nullptr) {
        return;
    }
    ZAM_TRACE(m_pLogger, "Destroying ZAM coalescer module");
    EntryFn<zam::ZamCoalescerDestroyFn>(kDestroy)(m_hCoalescer);
    m_hCoalescer = nullptr;
    std::lock_guard<std::mutex> guard(g_countLock);
    ReleaseCount();
    ZAM_TRACE(m_pLogger, "Finished destroying ZAM coalescer module - count is %d",
              static_cast<int>(g_dwLiveCoalescers));
}

int32_t qorZamCoalescerEx::Process(uint32_t dwTime, uint32_t dwIssueId, uint32_t dwCount,
                                   uint32_t dwFlags, uint32_t dwVictim, uint32_t dwIntruder,
                                   uint32_t dwVictimPort, uint32_t dwIntruderPort,
                                   uint32_t dwReportType, uint32_t dwPacketFlags,
                                   const char* pszParams, void* pRecord) {
    if (m_hCoalescer == nullptr) {
        return 0;
    }
    return EntryFn<zam::ZamCoalescerProcessFn>(kProcess)(
        m_hCoalescer, dwTime, dwIssueId, dwCount, dwFlags, dwVictim, dwIntruder, dwVictimPort,
        dwIntruderPort, dwReportType, dwPacketFlags, pszParams, pRecord);
}

void qorZamCoalescerEx::Age(uint32_t dwSeconds) {
    if (m_hCoalescer != nullptr) {
        EntryFn<zam::ZamCoalescerAgeFn>(kAge)(m_hCoalescer, dwSeconds);
    }
}

void qorZamCoalescerEx::Flush() {
    if (m_hCoalescer != nullptr) {
        EntryFn<zam::ZamCoalescerFlushFn>(kFlush)(m_hCoalescer);
    }
}

int32_t qorZamCoalescerEx::SetParameter(const char* pszName, const char* pszValue) {
    if (m_hCoalescer == nullptr) {
        return 0;
    }
    int32_t result =
        EntryFn<zam::ZamCoalescerSetParameterFn>(kSetParameter)(m_hCoalescer, pszName, pszValue);
    ZAM_TRACE(m_pLogger, "Set ACE parameter: %s = %s returns %d", pszName, pszValue,
              static_cast<int>(result));
    return 0;
}
