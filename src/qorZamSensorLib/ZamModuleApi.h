#pragma once
// The binary contract of the attack-signature module.  The module exports
// one name, `zamSymbol`; every other entry point is reached by its index
// through it.  Addresses and ports cross the contract in host order (first
// octet in the most significant byte).

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace rp {
struct PacketRecord;
}

namespace zam {

// The version the sensor is built for.
constexpr uint32_t kRequiredVersion[4] = {1, 10, 106, 316};

enum ZamIndex : uint32_t {
    kCheckVersion = 0,
    kCoalescerAge = 1,
    kCoalescerCreate = 2,
    kCoalescerDestroy = 3,
    kCoalescerFinalize = 4,
    kCoalescerFlush = 5,
    kCoalescerInitialize = 6,
    kCoalescerProcess = 7,
    kCoalescerSetParameter = 8,
    kEventInterpret = 26,
    kGetVersion = 28,
    kHousekeeping = 29,
    kHttpCreate = 30,
    kHttpCreateConnection = 31,
    kHttpDestroy = 32,
    kHttpDestroyConnection = 33,
    kHttpRequestData = 34,
    kHttpResponseData = 35,
    kHttpSetParameter = 36,
    kIssueDisable = 37,
    kIssueDisableAll = 38,
    kIssueEnable = 39,
    kIssueEnableAll = 40,
    kSetExceptionHandler = 56,
    kCreate = 59,
    kDestroy = 60,
    kDisplayMem = 61,
    kFinalize = 63,
    kInitialize = 65,
    kReadSignatures = 66,
    kReceive = 67,
    kResetFrameCreate = 68,
    kResetFrameCreateReverse = 69,
    kResetFrameDestroy = 70,
    kResetFrameIPv4 = 71,
    kResetFrameIsValid = 72,
    kResetFrameLength = 73,
    kResetFrameOverrideDstMac = 74,
    kResetFrameOverrideSrcMac = 75,
    kResetFrameStart = 76,
    kSetCustomerId = 78,
    kSetHeapLogger = 79,
    kSetMacReportingCallback = 80,
    kSetParameter = 81,
    kSetParsedIcmpCallback = 83,
    kSetParsedIpCallback = 84,
    kSetParsedRpcCallback = 86,
    kSetParsedTcpCallback = 87,
    kSetParsedUdpCallback = 88,
    kSetReassembledIpCallback = 89,
    kSetUserDefinedCallback = 90,
    kLogCrash = 97,
    kCoalescerCreate2 = 98,
    kHttpSetExceptionHandler = 99,
    kLogCrashEx = 146,
};

// Receive verdicts.  Only kVerdictDrop makes the caller drop the frame.
enum ZamVerdict : int32_t {
    kVerdictPassed = 0,
    kVerdictMatched = 1,
    kVerdictBlockedByCallback = 2,
    kVerdictDrop = 3,
};

// Match flags: the frame is not itself the attack (a scan seen over many).
constexpr uint32_t kMatchNonSequitur = 0x1000;

// The size of the receive context a caller hands with every frame.
constexpr size_t kReceiveContextBytes = 72;

using ZamHandle = void*;
using ZamResetFrame = void*;

extern "C" {
using ZamMatchFn = int32_t (*)(void* context, uint32_t ignored, uint32_t issueId, uint32_t count,
                               uint32_t flags, uint32_t victim, uint32_t intruder, uint32_t victimPort,
                               uint32_t intruderPort, uint32_t packetFlags, const char* params,
                               void* userData, uint32_t reportType);
using ZamParsedFn = int32_t (*)(void* context, uint32_t first, uint32_t second, uint32_t third,
                                uint32_t fourth);
using ZamParsedRpcFn = int32_t (*)(void* context, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4,
                                   uint32_t w5, uint32_t w6);
using ZamReassembledFn = int32_t (*)(void* context, uint32_t w1, uint32_t w2);
using ZamUserDefinedFn = int32_t (*)(void* context, uint32_t w1, uint32_t w2, uint32_t w3);
using ZamMacFn = void (*)(const uint8_t* source, const uint8_t* destination, void* context);
using ZamExceptionFn = void (*)(const char* message);
using ZamAllocFn = void* (*)(size_t bytes);
using ZamFreeFn = void (*)(void* block);
using ZamLogFn = void (*)(const char* format, va_list args);
using ZamCoalescerOutputFn = void (*)(uint32_t start, uint32_t end, uint32_t issueId, uint32_t count,
                                      uint32_t flags, uint32_t victim, uint32_t victim2,
                                      uint32_t intruder, uint32_t victimPort, uint32_t intruderPort,
                                      uint32_t reportType, uint32_t packetFlags, const char* params,
                                      void* context, uint32_t recordCount, void** records);
}

// Handed to zamoCreate by value: words 0 and 1 are the context the module
// gives back to every callback, words 3 and 5 the match callback.
struct ZamCallbackBlock {
    void* m_pWords[8];
};

extern "C" {
using ZamSymbolFn = void* (*)(uint32_t index);
using ZamCheckVersionFn = int32_t (*)(uint32_t, uint32_t, uint32_t, uint32_t);
using ZamGetVersionFn = const char* (*)();
using ZamInitializeFn = int32_t (*)(ZamAllocFn alloc, ZamFreeFn release, ZamLogFn log);
using ZamFinalizeFn = void (*)();
using ZamEventInterpretFn = void (*)(uint32_t victim, uint32_t intruder, uint32_t victimPort,
                                     uint32_t intruderPort, uint32_t flags, uint32_t packetFlags,
                                     uint32_t reportType, uint32_t* interpretation);
using ZamLogCrashFn = void (*)(uintptr_t, uintptr_t, uintptr_t);
using ZamLogCrashExFn = void (*)(const rp::PacketRecord* packet, uintptr_t instruction,
                                 uintptr_t framePointer, const void* exceptionPointers);

using ZamCreateFn = ZamHandle (*)(ZamCallbackBlock block, const uint32_t* localAddresses,
                                  uint32_t count);
using ZamHandleFn = void (*)(ZamHandle handle);
using ZamSetParameterFn = int32_t (*)(ZamHandle handle, const char* name, const char* value);
using ZamReadSignaturesFn = int32_t (*)(ZamHandle handle, const char* path);
using ZamReceiveFn = int32_t (*)(ZamHandle handle, const rp::PacketRecord* packet, void* context);
using ZamSetCustomerIdFn = void (*)(ZamHandle handle, uint32_t customerId);
using ZamSetHeapLoggerFn = void (*)(ZamHandle handle, ZamLogFn log);
using ZamSetCallbackFn = void (*)(ZamHandle handle, void* callback);
using ZamSetExceptionHandlerFn = void (*)(ZamHandle handle, ZamExceptionFn handler);
using ZamResetFrameCreateFn = ZamResetFrame (*)(ZamHandle handle, const rp::PacketRecord* packet,
                                                void* context);
using ZamResetFrameDestroyFn = void (*)(ZamHandle handle, ZamResetFrame frame);
using ZamResetFrameIsValidFn = int32_t (*)(ZamResetFrame frame);
using ZamResetFrameStartFn = const void* (*)(ZamResetFrame frame);
using ZamResetFrameLengthFn = uint32_t (*)(ZamResetFrame frame);
using ZamResetFrameIPv4Fn = uint32_t (*)(ZamResetFrame frame);
using ZamResetFrameOverrideMacFn = void (*)(ZamResetFrame frame, const uint8_t* mac);
using ZamIssueFn = void (*)(ZamHandle handle, uint32_t issueId);
using ZamHousekeepingFn = void (*)(ZamHandle handle, uint32_t nowSeconds);

using ZamCoalescerInitializeFn = void (*)();
using ZamCoalescerFinalizeFn = void (*)();
using ZamCoalescerCreateFn = void* (*)(ZamHandle engine, ZamCoalescerOutputFn output, void* context);
using ZamCoalescerCreate2Fn = void* (*)(ZamCoalescerOutputFn output, void* context);
using ZamCoalescerDestroyFn = void (*)(void* coalescer);
using ZamCoalescerSetParameterFn = int32_t (*)(void* coalescer, const char* name, const char* value);
// Non-zero when the coalescer took the record; it hands every record back
// through the output callback.
using ZamCoalescerProcessFn = int32_t (*)(void* coalescer, uint32_t time, uint32_t issueId,
                                          uint32_t count, uint32_t flags, uint32_t victim,
                                          uint32_t intruder, uint32_t victimPort,
                                          uint32_t intruderPort, uint32_t reportType,
                                          uint32_t packetFlags, const char* params, void* record);
using ZamCoalescerAgeFn = void (*)(void* coalescer, uint32_t seconds);
using ZamCoalescerFlushFn = void (*)(void* coalescer);

using TarnEntryFn = uint32_t (*)(uint32_t step);
using TarnLogFn = void (*)(const char* format, ...);
using TarnRegisterFn = void (*)(TarnEntryFn entry);
using TarnInitializeFn = uint32_t (*)(const char* product, const char* containerPath, TarnLogFn log,
                                      TarnRegisterFn registerEntry);
}

}  // namespace zam
