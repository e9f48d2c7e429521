#include "qorZamSensorLib/qorZamSensorEx.h"

#include <strings.h>

#include <ctime>
#include <stdexcept>
#include <string>

#include "qorSensorUtil/DetectorIssueMap.h"
#include "qorZamSensorLib/ZamEntryTable.h"
#include "qorZamSensorLib/ZamLog.h"
#include "qorZamSensorLib/qorZamSensorMgr.h"


namespace {

// In the order of qorZamSensorEx::Entry.
constexpr zam::EntryName kSensorEntries[qorZamSensorEx::kEntryCount] = {
    {zam::kCreate, "zamoCreate"},
    {zam::kSetParameter, "zamoSetParameter"},
    {zam::kReadSignatures, "zamoReadSignatures"},
    {zam::kReceive, "zamoReceive"},
    {zam::kSetCustomerId, "zamoSetCustomerId"},
    {zam::kDestroy, "zamoDestroy"},
    {zam::kSetHeapLogger, "zamoSetHeapLogger"},
    {zam::kDisplayMem, "zamoDisplayMem"},
    {zam::kSetParsedIpCallback, "zamoSetParsedIpCallback"},
    {zam::kSetParsedTcpCallback, "zamoSetParsedTcpCallback"},
    {zam::kSetParsedUdpCallback, "zamoSetParsedUdpCallback"},
    {zam::kSetParsedIcmpCallback, "zamoSetParsedIcmpCallback"},
    {zam::kSetParsedRpcCallback, "zamoSetParsedRpcCallback"},
    {zam::kSetReassembledIpCallback, "zamoSetReassembledIpCallback"},
    {zam::kSetUserDefinedCallback, "zamoSetUserDefinedCallback"},
    {zam::kSetMacReportingCallback, "zamoSetMacReportingCallback"},
    {zam::kSetExceptionHandler, "zamSetExceptionHandler"},
    {zam::kResetFrameCreate, "zamoResetFrameCreate"},
    {zam::kResetFrameCreateReverse, "zamoResetFrameCreateReverse"},
    {zam::kResetFrameDestroy, "zamoResetFrameDestroy"},
    {zam::kResetFrameIsValid, "zamoResetFrameIsValid"},
    {zam::kResetFrameStart, "zamoResetFrameStart"},
    {zam::kResetFrameLength, "zamoResetFrameLength"},
    {zam::kResetFrameIPv4, "zamoResetFrameIPv4"},
    {zam::kResetFrameOverrideSrcMac, "zamoResetFrameOverrideSrcMac"},
    {zam::kResetFrameOverrideDstMac, "zamoResetFrameOverrideDstMac"},
    {zam::kIssueEnable, "zamIssueEnable"},
    {zam::kIssueEnableAll, "zamIssueEnableAll"},
    {zam::kIssueDisable, "zamIssueDisable"},
    {zam::kIssueDisableAll, "zamIssueDisableAll"},
    {zam::kHousekeeping, "zamHousekeeping"},
};

IZamEventMatchNotify* NotifyOf(void* context) {
    return context != nullptr ? static_cast<qorZamSensorEx*>(context)->GetEventMatchNotify()
                              : nullptr;
}

extern "C" int32_t MatchCallback(void* context, uint32_t, uint32_t issueId, uint32_t count,
                                 uint32_t flags, uint32_t victim, uint32_t intruder,
                                 uint32_t victimPort, uint32_t intruderPort, uint32_t packetFlags,
                                 const char* params, void* userData, uint32_t reportType) {
    IZamEventMatchNotify* notify = NotifyOf(context);
    if (notify == nullptr) {
        return 0;
    }
    // Asked of the manager each time rather than kept: a released manager
    // deletes its map, and a later manager has a new one.
    const DetectorIssueMap* map = qorZamSensorMgr::CurrentIssuesMap();
    std::string name = map != nullptr ? map->FindIssue(static_cast<int32_t>(issueId)) : "";
    notify->OnMatch(issueId, name.c_str(), count, flags, victim, intruder, victimPort,
                    intruderPort, packetFlags, params, userData, reportType);
    return 0;
}

// The four parsed-header callbacks differ only in the notify operation.
template <int32_t (IZamEventMatchNotify::*Operation)(uint32_t, uint32_t, uint32_t, uint32_t)>
int32_t ParsedCallback(void* context, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    IZamEventMatchNotify* notify = NotifyOf(context);
    return notify != nullptr ? (notify->*Operation)(a, b, c, d) : 1;
}

extern "C" int32_t ParsedRpcCallback(void* context, uint32_t a, uint32_t b, uint32_t c,
                                     uint32_t d, uint32_t e, uint32_t f) {
    IZamEventMatchNotify* notify = NotifyOf(context);
    return notify != nullptr ? notify->OnParsedRpc(a, b, c, d, e, f) : 1;
}

extern "C" int32_t ReassembledIpCallback(void* context, uint32_t a, uint32_t b) {
    IZamEventMatchNotify* notify = NotifyOf(context);
    return notify != nullptr ? notify->OnReassembledIp(a, b) : 1;
}

// The module passes three words; the notify interface takes the first two.
extern "C" int32_t UserDefinedCallback(void* context, uint32_t a, uint32_t b, uint32_t) {
    IZamEventMatchNotify* notify = NotifyOf(context);
    return notify != nullptr ? notify->OnUserDefined(a, b) : 0;
}

extern "C" void MacReportingCallback(const uint8_t* source, const uint8_t* destination,
                                     void* context) {
    IZamEventMatchNotify* notify = NotifyOf(context);
    if (notify != nullptr) {
        notify->OnMacReporting(source, destination);
    }
}

struct CallbackKey {
    const char* m_pszKey;
    qorZamSensorEx::Entry m_Setter;
    void* m_pCallback;
};

const CallbackKey kCallbackKeys[] = {
    {"zam.parsedipcallback", qorZamSensorEx::kSetParsedIpCallback,
     reinterpret_cast<void*>(&ParsedCallback<&IZamEventMatchNotify::OnParsedIp>)},
    {"zam.parsedicmpcallback", qorZamSensorEx::kSetParsedIcmpCallback,
     reinterpret_cast<void*>(&ParsedCallback<&IZamEventMatchNotify::OnParsedIcmp>)},
    {"zam.parsedtcpcallback", qorZamSensorEx::kSetParsedTcpCallback,
     reinterpret_cast<void*>(&ParsedCallback<&IZamEventMatchNotify::OnParsedTcp>)},
    {"zam.parsedudpcallback", qorZamSensorEx::kSetParsedUdpCallback,
     reinterpret_cast<void*>(&ParsedCallback<&IZamEventMatchNotify::OnParsedUdp>)},
    {"zam.parsedrpccallback", qorZamSensorEx::kSetParsedRpcCallback,
     reinterpret_cast<void*>(&ParsedRpcCallback)},
    {"zam.parseduserdefinedcallback", qorZamSensorEx::kSetUserDefinedCallback,
     reinterpret_cast<void*>(&UserDefinedCallback)},
    {"zam.reassembledipcallback", qorZamSensorEx::kSetReassembledIpCallback,
     reinterpret_cast<void*>(&ReassembledIpCallback)},
    {"zam.macreportingcallback", qorZamSensorEx::kSetMacReportingCallback,
     reinterpret_cast<void*>(&MacReportingCallback)},
};

}  // namespace

qorZamSensorEx::qorZamSensorEx(const DynamicLibrary& library) : m_Library(library) {}

qorZamSensorEx::~qorZamSensorEx() {
    DestroyEngine();
}

void qorZamSensorEx::DefaultExceptionHandler(const char* pszMessage) {
    throw std::runtime_error(pszMessage != nullptr ? pszMessage : "");
}

bool qorZamSensorEx::ResolveEntryPoints() {
    m_pfnSymbol = zam::FindSymbolEntry(m_Library, m_pLogger);
    if (m_pfnSymbol == nullptr) {
        return false;
    }
    return zam::TakeEntries(m_pfnSymbol, kSensorEntries, kEntryCount, m_pEntries, m_pLogger);
}

bool qorZamSensorEx::CreateEngine(const uint32_t* pLocalAddresses, uint32_t dwCount,
                                  uint32_t dwCustomerId) {
    auto create = EntryFn<zam::ZamCreateFn>(kCreate);
    if (create == nullptr) {
        return false;
    }
    zam::ZamCallbackBlock block{};
    block.m_pWords[0] = this;
    block.m_pWords[1] = this;
    block.m_pWords[3] = reinterpret_cast<void*>(&MatchCallback);
    block.m_pWords[5] = reinterpret_cast<void*>(&MatchCallback);
    m_hEngine = create(block, pLocalAddresses, dwCount);
    if (m_hEngine == nullptr) {
        return false;
    }
    if (auto setHandler = EntryFn<zam::ZamSetExceptionHandlerFn>(kSetExceptionHandler)) {
        setHandler(m_hEngine, m_pfnExceptionHandler != nullptr ? m_pfnExceptionHandler
                                                               : &DefaultExceptionHandler);
    }
    if (auto setCustomer = EntryFn<zam::ZamSetCustomerIdFn>(kSetCustomerId)) {
        setCustomer(m_hEngine, dwCustomerId);
    }
    return true;
}

void qorZamSensorEx::DestroyEngine() {
    if (m_hEngine != nullptr) {
        if (auto destroy = EntryFn<zam::ZamHandleFn>(kDestroy)) {
            destroy(m_hEngine);
        }
        m_hEngine = nullptr;
    }
}

void qorZamSensorEx::IssueEnableAll() {
    if (auto fn = EntryFn<zam::ZamHandleFn>(kIssueEnableAll)) {
        fn(m_hEngine);
    }
}

void qorZamSensorEx::IssueDisableAll() {
    if (auto fn = EntryFn<zam::ZamHandleFn>(kIssueDisableAll)) {
        fn(m_hEngine);
    }
}

void qorZamSensorEx::IssueEnable(uint32_t dwIssueId) {
    if (auto fn = EntryFn<zam::ZamIssueFn>(kIssueEnable)) {
        fn(m_hEngine, dwIssueId);
    }
}

void qorZamSensorEx::IssueDisable(uint32_t dwIssueId) {
    if (auto fn = EntryFn<zam::ZamIssueFn>(kIssueDisable)) {
        fn(m_hEngine, dwIssueId);
    }
}

void qorZamSensorEx::Housekeeping() {
    if (auto fn = EntryFn<zam::ZamHousekeepingFn>(kHousekeeping)) {
        fn(m_hEngine, static_cast<uint32_t>(std::time(nullptr)));
    }
}

int32_t qorZamSensorEx::Receive(const rp::PacketRecord* pPacket, void* pContext) {
    auto receive = EntryFn<zam::ZamReceiveFn>(kReceive);
    return receive != nullptr ? receive(m_hEngine, pPacket, pContext) : 0;
}

bool qorZamSensorEx::SetCallbackParameter(const char* pszName, const char* pszValue) {
    for (const CallbackKey& key : kCallbackKeys) {
        if (strcasecmp(pszName, key.m_pszKey) != 0) {
            continue;
        }
        if (auto setter = EntryFn<zam::ZamSetCallbackFn>(key.m_Setter)) {
            bool enable = pszValue != nullptr && strcasecmp(pszValue, "enabled") == 0;
            setter(m_hEngine, enable ? key.m_pCallback : nullptr);
        }
        return true;
    }
    return false;
}

int32_t qorZamSensorEx::SetParameter(const char* pszName, const char* pszValue) {
    if (m_hEngine == nullptr || pszName == nullptr) {
        return 0;
    }
    if (SetCallbackParameter(pszName, pszValue)) {
        return 0;
    }
    if (strncasecmp(pszName, "zam.", 4) == 0) {
        if (auto set = EntryFn<zam::ZamSetParameterFn>(kSetParameter)) {
            set(m_hEngine, pszName, pszValue != nullptr ? pszValue : "");
        }
    } else {
        ZAM_TRACE(m_pLogger,
                  "%s: Invalid ZAM parameter name; all names must be prefixed with 'zam'.",
                  pszName);
    }
    return 0;
}

void* qorZamSensorEx::ResetFrameCreate(const rp::PacketRecord* pPacket, void* pContext,
                                       const uint8_t* pSourceMac, uint32_t dwSourceMacLength,
                                       const uint8_t* pDestinationMac,
                                       uint32_t dwDestinationMacLength, bool bOverrideDestination,
                                       const void** ppStart, uint32_t* pdwLength, bool bReverse) {
    *ppStart = nullptr;
    *pdwLength = 0;
    auto create = EntryFn<zam::ZamResetFrameCreateFn>(bReverse ? kResetFrameCreateReverse
                                                               : kResetFrameCreate);
    auto isValid = EntryFn<zam::ZamResetFrameIsValidFn>(kResetFrameIsValid);
    if (create == nullptr || isValid == nullptr) {
        return nullptr;
    }
    zam::ZamResetFrame frame = create(m_hEngine, pPacket, pContext);
    if (isValid(frame) == 0) {
        return frame;
    }
    if (dwSourceMacLength > 0) {
        EntryFn<zam::ZamResetFrameOverrideMacFn>(kResetFrameOverrideSrcMac)(frame, pSourceMac);
    }
    if (bOverrideDestination && dwDestinationMacLength > 0) {
        EntryFn<zam::ZamResetFrameOverrideMacFn>(kResetFrameOverrideDstMac)(frame, pDestinationMac);
    }
    *ppStart = EntryFn<zam::ZamResetFrameStartFn>(kResetFrameStart)(frame);
    *pdwLength = EntryFn<zam::ZamResetFrameLengthFn>(kResetFrameLength)(frame);
    return frame;
}

void qorZamSensorEx::ResetFrameDestroy(void* pFrame) {
    if (auto destroy = EntryFn<zam::ZamResetFrameDestroyFn>(kResetFrameDestroy)) {
        destroy(m_hEngine, pFrame);
    }
}

bool qorZamSensorEx::ResetFrameIsValid(void* pFrame) {
    auto isValid = EntryFn<zam::ZamResetFrameIsValidFn>(kResetFrameIsValid);
    return isValid != nullptr && isValid(pFrame) > 0;
}
