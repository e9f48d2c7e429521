// The attack-signature module: one exported name, `zamSymbol`, that hands
// out every entry point by index.  Instances parse each frame, tell the
// sensor its headers through the parsed callbacks (which may block it), run
// the signatures and report matches through the match callback, all on the
// caller's thread.

#include <arpa/inet.h>
#include <strings.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "EventCoalescer.h"
#include "FrameParser.h"
#include "ResetFrame.h"
#include "Signatures.h"
#include "ZamStandinDiagnostics.h"
#include "qorZamSensorLib/ZamModuleApi.h"
#include "rawpacket/Frame.h"

#ifndef ZAM_STANDIN_VERSION
#define ZAM_STANDIN_VERSION "1.10.106.316"
#endif

using namespace zam;
using namespace sigmod;

namespace {

constexpr uint32_t kMaxLocalAddresses = 64;
constexpr size_t kContextWords = kReceiveContextBytes / sizeof(uint32_t);

ZamAllocFn g_pfnAlloc = nullptr;
ZamFreeFn g_pfnFree = nullptr;
ZamLogFn g_pfnLog = nullptr;
ModuleCounters g_Counters;

void ModuleLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ModuleLog(const char* format, ...) {
    if (g_pfnLog == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    g_pfnLog(format, args);
    va_end(args);
}

// Objects live in the heap the sensor gave the module.
template <typename T, typename... A>
T* Make(A&&... args) {
    void* block = g_pfnAlloc != nullptr ? g_pfnAlloc(sizeof(T)) : std::malloc(sizeof(T));
    return block != nullptr ? new (block) T(static_cast<A&&>(args)...) : nullptr;
}

template <typename T>
void Unmake(T* object) {
    if (object == nullptr) {
        return;
    }
    object->~T();
    if (g_pfnFree != nullptr) {
        g_pfnFree(object);
    } else {
        std::free(object);
    }
}

struct Instance {
    void* m_pContext = nullptr;
    ZamMatchFn m_pfnMatch = nullptr;
    ZamParsedFn m_pfnIp = nullptr;
    ZamParsedFn m_pfnIcmp = nullptr;
    ZamParsedFn m_pfnTcp = nullptr;
    ZamParsedFn m_pfnUdp = nullptr;
    ZamParsedRpcFn m_pfnRpc = nullptr;
    ZamReassembledFn m_pfnReassembled = nullptr;
    ZamUserDefinedFn m_pfnUserDefined = nullptr;
    ZamMacFn m_pfnMac = nullptr;
    ZamExceptionFn m_pfnException = nullptr;
    uint32_t m_dwCustomerId = 0;
    uint32_t m_dwLocalCount = 0;
    uint32_t m_LocalAddresses[kMaxLocalAddresses] = {};
    uint32_t m_dwFrames = 0;
    bool m_bReportInternal = true;
    // Set through "zam.standin.fault": the next frame faults inside Receive.
    bool m_bFaultNextFrame = false;
    // Set through "zam.standin.drop": every frame gets the drop verdict.
    bool m_bDropAll = false;
    // Set through "zam.standin.stall": the next frame is held this long.
    uint32_t m_dwStallSeconds = 0;
    char m_szLastParameter[192] = {};
    SignatureSet m_Signatures;
};

struct CoalescerObject {
    CoalescerObject(ZamCoalescerOutputFn output, void* context) : m_Coalescer(output, context) {}
    EventCoalescer m_Coalescer;
};

bool IsLocal(const Instance& instance, uint32_t address) {
    for (uint32_t i = 0; i < instance.m_dwLocalCount; ++i) {
        if (instance.m_LocalAddresses[i] == address) {
            return true;
        }
    }
    return false;
}

void ReportMatch(void* target, const Match& match) {
    auto* instance = static_cast<Instance*>(target);
    if (instance->m_pfnMatch == nullptr) {
        return;
    }
    // With internal reporting off, traffic between two of the host's own
    // addresses raises nothing.
    if (!instance->m_bReportInternal && IsLocal(*instance, match.m_dwVictim) &&
        IsLocal(*instance, match.m_dwIntruder)) {
        return;
    }
    instance->m_pfnMatch(instance->m_pContext, 0, match.m_dwIssueId, 1, match.m_dwFlags,
                         match.m_dwVictim, match.m_dwIntruder, match.m_dwVictimPort,
                         match.m_dwIntruderPort, match.m_dwPacketFlags, match.m_pszParams, nullptr,
                         0);
}

void FillContext(void* context, uint32_t frames, const ParsedFrame& frame) {
    if (context == nullptr) {
        return;
    }
    uint32_t words[kContextWords];
    std::memcpy(words, context, sizeof(words));
    words[0] = frames;
    words[1] = frame.m_wEtherType;
    words[2] = frame.m_byProtocol;
    words[3] = frame.m_dwL3Offset;
    words[4] = frame.m_dwL4Offset;
    words[5] = frame.m_dwPayloadOffset;
    words[6] = frame.m_dwPayloadLength;
    std::memcpy(context, words, sizeof(words));
}

// The parsed callbacks; false when the sensor blocks the frame.
bool TellParsed(Instance& instance, const ParsedFrame& frame) {
    void* context = instance.m_pContext;
    if (frame.m_Kind != FrameKind::kTruncated && instance.m_pfnMac != nullptr) {
        instance.m_pfnMac(frame.m_pSourceMac, frame.m_pDestinationMac, context);
    }
    if (!frame.IsIpv4()) {
        return true;
    }
    if (instance.m_pfnIp != nullptr &&
        instance.m_pfnIp(context, frame.m_dwSource, frame.m_dwDestination, frame.m_byProtocol,
                         frame.m_wTotalLength) == 0) {
        return false;
    }
    switch (frame.m_Kind) {
    case FrameKind::kTcp:
        return instance.m_pfnTcp == nullptr ||
               instance.m_pfnTcp(context, frame.m_wSourcePort, frame.m_wDestinationPort,
                                 frame.m_byTcpFlags, frame.m_dwPayloadLength) != 0;
    case FrameKind::kUdp:
        return instance.m_pfnUdp == nullptr ||
               instance.m_pfnUdp(context, frame.m_wSourcePort, frame.m_wDestinationPort, 0,
                                 frame.m_dwPayloadLength) != 0;
    case FrameKind::kIcmp:
        return instance.m_pfnIcmp == nullptr ||
               instance.m_pfnIcmp(context, frame.m_byIcmpType, frame.m_byIcmpCode, 0,
                                  frame.m_dwPayloadLength) != 0;
    default:
        return true;
    }
}

const ParsedFrame ParseRecord(const rp::PacketRecord* packet) {
    if (packet == nullptr || packet->m_pData == nullptr) {
        return ParseFrame(nullptr, 0);
    }
    return ParseFrame(packet->m_pData, packet->m_dwCapturedLength);
}

// ---- entry points -------------------------------------------------------

extern "C" int32_t CheckVersion(uint32_t major, uint32_t minor, uint32_t build, uint32_t revision) {
    unsigned own[4] = {};
    std::sscanf(ZAM_STANDIN_VERSION, "%u.%u.%u.%u", &own[0], &own[1], &own[2], &own[3]);
    const unsigned wanted[4] = {major, minor, build, revision};
    if (own[0] != wanted[0]) {
        return 0;
    }
    for (int i = 1; i < 4; ++i) {
        if (own[i] != wanted[i]) {
            return own[i] > wanted[i] ? 1 : 0;
        }
    }
    return 1;
}

extern "C" const char* GetVersion() {
    return ZAM_STANDIN_VERSION;
}

extern "C" int32_t Initialize(ZamAllocFn alloc, ZamFreeFn release, ZamLogFn log) {
    g_pfnAlloc = alloc;
    g_pfnFree = release;
    g_pfnLog = log;
    ++g_Counters.m_dwInitializeCalls;
    ModuleLog("Signature module %s initialized\n", ZAM_STANDIN_VERSION);
    return 1;
}

extern "C" void Finalize() {
    ++g_Counters.m_dwFinalizeCalls;
    ModuleLog("Signature module finalized\n");
    g_pfnLog = nullptr;
    g_pfnAlloc = nullptr;
    g_pfnFree = nullptr;
}

extern "C" void EventInterpret(uint32_t victim, uint32_t intruder, uint32_t victimPort,
                               uint32_t intruderPort, uint32_t, uint32_t packetFlags, uint32_t,
                               uint32_t* out) {
    if (out == nullptr) {
        return;
    }
    uint32_t protocol = (packetFlags >> 16) & 0xFF;
    out[0] = (packetFlags & (1u << 24)) != 0 ? 0x806 : 0x800;
    out[1] = protocol;
    out[2] = intruder;
    out[3] = victim;
    out[4] = intruderPort;
    out[5] = victimPort;
    out[6] = protocol == 1 ? (packetFlags >> 8) & 0xFF : 0;
    out[7] = protocol == 1 ? packetFlags & 0xFF : 0;
}

extern "C" void LogCrash(uintptr_t a, uintptr_t b, uintptr_t c) {
    ModuleLog("Signature module crash: %#lx %#lx %#lx\n", static_cast<unsigned long>(a),
              static_cast<unsigned long>(b), static_cast<unsigned long>(c));
}

// The frame the module was working on, for the crash log: its lengths and
// first bytes in hex.
extern "C" void LogCrashEx(const rp::PacketRecord* packet, uintptr_t instruction,
                           uintptr_t framePointer, const void*) {
    ModuleLog("Signature module crash at instruction %#lx frame %#lx\n",
              static_cast<unsigned long>(instruction), static_cast<unsigned long>(framePointer));
    const rp::PacketRecord* view = packet;
    if (view == nullptr || view->m_pData == nullptr) {
        return;
    }
    char hex[3 * 64 + 1] = {};
    uint32_t shown = view->m_dwCapturedLength < 64 ? view->m_dwCapturedLength : 64;
    for (uint32_t i = 0; i < shown; ++i) {
        std::snprintf(hex + 3 * i, 4, "%02x ", view->m_pData[i]);
    }
    ModuleLog("Frame %u: %u of %u bytes: %s\n", view->m_dwSequence, view->m_dwCapturedLength,
              view->m_dwWireLength, hex);
}

extern "C" ZamHandle Create(ZamCallbackBlock block, const uint32_t* local, uint32_t count) {
    Instance* instance = Make<Instance>();
    if (instance == nullptr) {
        return nullptr;
    }
    instance->m_pContext = block.m_pWords[0];
    instance->m_pfnMatch = reinterpret_cast<ZamMatchFn>(block.m_pWords[3]);
    instance->m_dwLocalCount = local == nullptr ? 0 : count > kMaxLocalAddresses ? kMaxLocalAddresses : count;
    // The sensor hands its addresses in network byte order; matches carry
    // them with the first octet most significant.
    for (uint32_t i = 0; i < instance->m_dwLocalCount; ++i) {
        instance->m_LocalAddresses[i] = ntohl(local[i]);
    }
    ++g_Counters.m_dwLiveInstances;
    return instance;
}

extern "C" void Destroy(ZamHandle handle) {
    if (handle != nullptr) {
        --g_Counters.m_dwLiveInstances;
        Unmake(static_cast<Instance*>(handle));
    }
}

extern "C" int32_t SetParameter(ZamHandle handle, const char* name, const char* value) {
    auto* instance = static_cast<Instance*>(handle);
    if (instance == nullptr || name == nullptr || value == nullptr) {
        return -1;
    }
    std::snprintf(instance->m_szLastParameter, sizeof(instance->m_szLastParameter), "%s=%s", name,
                  value);
    if (strcasecmp(name, "zam.reportinternal") == 0) {
        instance->m_bReportInternal = strcasecmp(value, "off") != 0;
        return 0;
    }
    if (strcasecmp(name, "zam.standin.fault") == 0) {
        // Lets a test prove how the sensor survives, or rather ends on, a
        // processor fault inside the module.
        instance->m_bFaultNextFrame = strcasecmp(value, "on") == 0;
        return 0;
    }
    if (strcasecmp(name, "zam.standin.drop") == 0) {
        instance->m_bDropAll = strcasecmp(value, "on") == 0;
        return 0;
    }
    if (strcasecmp(name, "zam.standin.stall") == 0) {
        // Lets a test prove the sensor's watchdog over a module that stops
        // making progress.
        instance->m_dwStallSeconds = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
        return 0;
    }
    if (strcasecmp(name, "zam.standin.raise") == 0) {
        // Lets a test prove that the sensor's exception handler is the one
        // the module reaches.
        if (instance->m_pfnException != nullptr) {
            instance->m_pfnException(value);
        }
        return 0;
    }
    return instance->m_Signatures.SetParameter(name, value) ? 0 : 1;
}

extern "C" int32_t ReadSignatures(ZamHandle, const char*) {
    return 0;
}

// A store through a null pointer, past the undefined-behaviour checks so
// that it arrives as the processor fault it is.
static __attribute__((no_sanitize("undefined"), noinline)) void FaultOnPurpose() {
    volatile uint32_t* volatile target = nullptr;
    *target = 0xDEAD;
}

extern "C" int32_t Receive(ZamHandle handle, const rp::PacketRecord* packet, void* context) {
    auto* instance = static_cast<Instance*>(handle);
    if (instance == nullptr) {
        return kVerdictPassed;
    }
    if (instance->m_bFaultNextFrame) {
        FaultOnPurpose();
    }
    if (instance->m_dwStallSeconds != 0) {
        const uint32_t dwStall = instance->m_dwStallSeconds;
        instance->m_dwStallSeconds = 0;
        std::this_thread::sleep_for(std::chrono::seconds(dwStall));
    }
    ParsedFrame frame = ParseRecord(packet);
    if (frame.m_Kind == FrameKind::kTruncated || frame.m_Kind == FrameKind::kIpv4Bad) {
        ++g_Counters.m_dwMalformedFrames;
    }
    FillContext(context, ++instance->m_dwFrames, frame);
    if (!TellParsed(*instance, frame)) {
        return kVerdictBlockedByCallback;
    }
    uint32_t seconds = packet != nullptr ? packet->m_dwSeconds : 0;
    uint32_t matches = instance->m_Signatures.Inspect(frame, seconds, &ReportMatch, instance);
    if (instance->m_bDropAll) {
        return kVerdictDrop;
    }
    return matches > 0 ? kVerdictMatched : kVerdictPassed;
}

extern "C" void SetCustomerId(ZamHandle handle, uint32_t customerId) {
    if (handle != nullptr) {
        static_cast<Instance*>(handle)->m_dwCustomerId = customerId;
        g_Counters.m_dwLastCustomerId = customerId;
    }
}

extern "C" void SetHeapLogger(ZamHandle, ZamLogFn) {}

extern "C" void DisplayMem(ZamHandle) {}

template <typename F, F Instance::*Member>
void SetCallback(ZamHandle handle, void* callback) {
    if (handle != nullptr) {
        static_cast<Instance*>(handle)->*Member = reinterpret_cast<F>(callback);
    }
}

extern "C" void SetExceptionHandler(ZamHandle handle, ZamExceptionFn handler) {
    if (handle != nullptr) {
        static_cast<Instance*>(handle)->m_pfnException = handler;
    }
}

ZamResetFrame MakeReset(const rp::PacketRecord* packet, bool reverse) {
    auto* reset = Make<ResetFrame>();
    if (reset != nullptr) {
        BuildReset(ParseRecord(packet), reverse, *reset);
    }
    return reset;
}

extern "C" ZamResetFrame ResetFrameCreate(ZamHandle, const rp::PacketRecord* packet, void*) {
    return MakeReset(packet, false);
}

extern "C" ZamResetFrame ResetFrameCreateReverse(ZamHandle, const rp::PacketRecord* packet, void*) {
    return MakeReset(packet, true);
}

extern "C" void ResetFrameDestroy(ZamHandle, ZamResetFrame frame) {
    Unmake(static_cast<ResetFrame*>(frame));
}

extern "C" int32_t ResetFrameIsValid(ZamResetFrame frame) {
    return frame != nullptr && static_cast<ResetFrame*>(frame)->m_bValid ? 1 : 0;
}

extern "C" const void* ResetFrameStart(ZamResetFrame frame) {
    return frame != nullptr ? static_cast<ResetFrame*>(frame)->m_Bytes : nullptr;
}

extern "C" uint32_t ResetFrameLength(ZamResetFrame frame) {
    return frame != nullptr ? static_cast<ResetFrame*>(frame)->m_dwLength : 0;
}

extern "C" uint32_t ResetFrameIPv4(ZamResetFrame frame) {
    auto* reset = static_cast<ResetFrame*>(frame);
    if (reset == nullptr || !reset->m_bValid) {
        return 0;
    }
    return ReadBe32(reset->m_Bytes + reset->m_dwL3Offset + 16);
}

void OverrideMac(ZamResetFrame frame, const uint8_t* mac, uint32_t offset) {
    auto* reset = static_cast<ResetFrame*>(frame);
    if (reset != nullptr && reset->m_bValid && mac != nullptr) {
        std::memcpy(reset->m_Bytes + offset, mac, 6);
    }
}

extern "C" void ResetFrameOverrideSrcMac(ZamResetFrame frame, const uint8_t* mac) {
    OverrideMac(frame, mac, 6);
}

extern "C" void ResetFrameOverrideDstMac(ZamResetFrame frame, const uint8_t* mac) {
    OverrideMac(frame, mac, 0);
}

extern "C" void IssueEnable(ZamHandle handle, uint32_t id) {
    if (handle != nullptr) {
        static_cast<Instance*>(handle)->m_Signatures.Enable(id, true);
    }
}

extern "C" void IssueDisable(ZamHandle handle, uint32_t id) {
    if (handle != nullptr) {
        static_cast<Instance*>(handle)->m_Signatures.Enable(id, false);
    }
}

extern "C" void IssueEnableAll(ZamHandle handle) {
    if (handle != nullptr) {
        static_cast<Instance*>(handle)->m_Signatures.EnableAll(true);
    }
}

extern "C" void IssueDisableAll(ZamHandle handle) {
    if (handle != nullptr) {
        static_cast<Instance*>(handle)->m_Signatures.EnableAll(false);
    }
}

extern "C" void Housekeeping(ZamHandle handle, uint32_t now) {
    if (handle != nullptr) {
        static_cast<Instance*>(handle)->m_Signatures.Housekeeping(now);
    }
}

extern "C" void CoalescerInitialize() {
    ++g_Counters.m_dwCoalescerInitializeCalls;
}

extern "C" void CoalescerFinalize() {
    ++g_Counters.m_dwCoalescerFinalizeCalls;
}

extern "C" void* CoalescerCreate2(ZamCoalescerOutputFn output, void* context) {
    if (output == nullptr) {
        return nullptr;
    }
    CoalescerObject* coalescer = Make<CoalescerObject>(output, context);
    if (coalescer != nullptr) {
        ++g_Counters.m_dwLiveCoalescers;
    }
    return coalescer;
}

extern "C" void* CoalescerCreate(ZamHandle engine, ZamCoalescerOutputFn output, void* context) {
    return engine != nullptr ? CoalescerCreate2(output, context) : nullptr;
}

extern "C" void CoalescerDestroy(void* coalescer) {
    if (coalescer != nullptr) {
        --g_Counters.m_dwLiveCoalescers;
        Unmake(static_cast<CoalescerObject*>(coalescer));
    }
}

extern "C" int32_t CoalescerSetParameter(void* coalescer, const char* name, const char* value) {
    return coalescer != nullptr
               ? static_cast<CoalescerObject*>(coalescer)->m_Coalescer.SetParameter(name, value)
               : -1;
}

extern "C" int32_t CoalescerProcess(void* coalescer, uint32_t time, uint32_t issueId,
                                    uint32_t count, uint32_t flags, uint32_t victim,
                                    uint32_t intruder, uint32_t victimPort, uint32_t intruderPort,
                                    uint32_t reportType, uint32_t packetFlags, const char* params,
                                    void* record) {
    if (coalescer == nullptr) {
        return 0;
    }
    return static_cast<CoalescerObject*>(coalescer)->m_Coalescer.Process(
        time, issueId, count, flags, victim, intruder, victimPort, intruderPort, reportType,
        packetFlags, params, record);
}

extern "C" void CoalescerAge(void* coalescer, uint32_t seconds) {
    if (coalescer != nullptr) {
        static_cast<CoalescerObject*>(coalescer)->m_Coalescer.Age(seconds);
    }
}

extern "C" void CoalescerFlush(void* coalescer) {
    if (coalescer != nullptr) {
        static_cast<CoalescerObject*>(coalescer)->m_Coalescer.Flush();
    }
}

extern "C" const ModuleCounters* Counters() {
    return &g_Counters;
}

extern "C" uint32_t CallbackMask(ZamHandle handle) {
    const auto* instance = static_cast<const Instance*>(handle);
    if (instance == nullptr) {
        return 0;
    }
    return (instance->m_pfnIp != nullptr ? kCallbackIp : 0) |
           (instance->m_pfnIcmp != nullptr ? kCallbackIcmp : 0) |
           (instance->m_pfnTcp != nullptr ? kCallbackTcp : 0) |
           (instance->m_pfnUdp != nullptr ? kCallbackUdp : 0) |
           (instance->m_pfnRpc != nullptr ? kCallbackRpc : 0) |
           (instance->m_pfnReassembled != nullptr ? kCallbackReassembled : 0) |
           (instance->m_pfnUserDefined != nullptr ? kCallbackUserDefined : 0) |
           (instance->m_pfnMac != nullptr ? kCallbackMac : 0);
}

extern "C" const char* LastParameter(ZamHandle handle) {
    return handle != nullptr ? static_cast<const Instance*>(handle)->m_szLastParameter : "";
}

template <typename F>
void* Entry(F function) {
    return reinterpret_cast<void*>(function);
}

void* EntryAt(uint32_t index) {
    switch (index) {
    case kCheckVersion: return Entry(&CheckVersion);
    case kCoalescerAge: return Entry(&CoalescerAge);
    case kCoalescerCreate: return Entry(&CoalescerCreate);
    case kCoalescerDestroy: return Entry(&CoalescerDestroy);
    case kCoalescerFinalize: return Entry(&CoalescerFinalize);
    case kCoalescerFlush: return Entry(&CoalescerFlush);
    case kCoalescerInitialize: return Entry(&CoalescerInitialize);
    case kCoalescerProcess: return Entry(&CoalescerProcess);
    case kCoalescerSetParameter: return Entry(&CoalescerSetParameter);
    case kEventInterpret: return Entry(&EventInterpret);
    case kGetVersion: return Entry(&GetVersion);
    case kHousekeeping: return Entry(&Housekeeping);
    case kIssueDisable: return Entry(&IssueDisable);
    case kIssueDisableAll: return Entry(&IssueDisableAll);
    case kIssueEnable: return Entry(&IssueEnable);
    case kIssueEnableAll: return Entry(&IssueEnableAll);
    case kSetExceptionHandler: return Entry(&SetExceptionHandler);
    case kCreate: return Entry(&Create);
    case kDestroy: return Entry(&Destroy);
    case kDisplayMem: return Entry(&DisplayMem);
    case kFinalize: return Entry(&Finalize);
    case kInitialize: return Entry(&Initialize);
    case kReadSignatures: return Entry(&ReadSignatures);
    case kReceive: return Entry(&Receive);
    case kResetFrameCreate: return Entry(&ResetFrameCreate);
    case kResetFrameCreateReverse: return Entry(&ResetFrameCreateReverse);
    case kResetFrameDestroy: return Entry(&ResetFrameDestroy);
    case kResetFrameIPv4: return Entry(&ResetFrameIPv4);
    case kResetFrameIsValid: return Entry(&ResetFrameIsValid);
    case kResetFrameLength: return Entry(&ResetFrameLength);
    case kResetFrameOverrideDstMac: return Entry(&ResetFrameOverrideDstMac);
    case kResetFrameOverrideSrcMac: return Entry(&ResetFrameOverrideSrcMac);
    case kResetFrameStart: return Entry(&ResetFrameStart);
    case kSetCustomerId: return Entry(&SetCustomerId);
    case kSetHeapLogger: return Entry(&SetHeapLogger);
    case kSetMacReportingCallback: return Entry(&SetCallback<ZamMacFn, &Instance::m_pfnMac>);
    case kSetParameter: return Entry(&SetParameter);
    case kSetParsedIcmpCallback: return Entry(&SetCallback<ZamParsedFn, &Instance::m_pfnIcmp>);
    case kSetParsedIpCallback: return Entry(&SetCallback<ZamParsedFn, &Instance::m_pfnIp>);
    case kSetParsedRpcCallback: return Entry(&SetCallback<ZamParsedRpcFn, &Instance::m_pfnRpc>);
    case kSetParsedTcpCallback: return Entry(&SetCallback<ZamParsedFn, &Instance::m_pfnTcp>);
    case kSetParsedUdpCallback: return Entry(&SetCallback<ZamParsedFn, &Instance::m_pfnUdp>);
    case kSetReassembledIpCallback:
        return Entry(&SetCallback<ZamReassembledFn, &Instance::m_pfnReassembled>);
    case kSetUserDefinedCallback:
        return Entry(&SetCallback<ZamUserDefinedFn, &Instance::m_pfnUserDefined>);
    case kLogCrash: return Entry(&LogCrash);
    case kCoalescerCreate2: return Entry(&CoalescerCreate2);
    case kLogCrashEx: return Entry(&LogCrashEx);
    case kDiagnosticsIndex: return Entry(&Counters);
    case kCallbackMaskIndex: return Entry(&CallbackMask);
    case kLastParameterIndex: return Entry(&LastParameter);
    default: return nullptr;  // the HTTP parser is not offered
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* zamSymbol(uint32_t index) {
    return EntryAt(index);
}
