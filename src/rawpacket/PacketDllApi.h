#pragma once
// The entry points of the packet-capture driver library ("DUSKDLL.DLL"),
// looked up by name.  Every status is 32 bits, 0 for success.  `entry` is a
// record of the shared adapter table or a caller's private record, and may
// be null when no record was found.

#include <cstdint>

#include "rawpacket/PacketAdapterEntry.h"

namespace rp {

extern "C" {
using PacketInitFn = uint32_t (*)(const uint32_t* block);
using PacketTermFn = uint32_t (*)();
using PacketOpenFn = uint32_t (*)(PacketAdapterEntry* entry, uint32_t mode);
using PacketCloseFn = uint32_t (*)(PacketAdapterEntry* entry);
using PacketCreateRxFn = uint32_t (*)(PacketAdapterEntry* entry, uint32_t bytes, uint32_t frameLenMax,
                                      uint32_t flags);
using PacketCloseRxFn = uint32_t (*)(PacketAdapterEntry* entry);
using PacketReadFn = uint32_t (*)(PacketAdapterEntry* entry, uint32_t timeoutMs, void** record);
using PacketGetStatisticsFn = uint32_t (*)(PacketAdapterEntry* entry, void* block, uint32_t kind);
using PacketGetDllVersionFn = uint32_t (*)(const char** text);
// Optional: why the last PacketOpen of the adapter failed, in words, into
// `text` (room for `size` bytes, always ended); 0 when the library knows.
using PacketGetAdapterProblemFn = uint32_t (*)(const PacketAdapterEntry* entry, char* text, uint32_t size);
// Optional: after a PacketRead answered kDllAdapterNotice, the library's
// words to the reader (a damaged input, an output it cannot write), oldest
// first, into `text` as above; 0 when there was one.
using PacketGetAdapterNoticeFn = uint32_t (*)(const PacketAdapterEntry* entry, char* text, uint32_t size);
// Optional: whether the adapter will deliver nothing more, ever (a capture
// file played to its end), with the library's words into `text` as above;
// 0 when it will not, another status while input may still come.
using PacketGetAdapterInputEndFn = uint32_t (*)(const PacketAdapterEntry* entry, char* text, uint32_t size);
// Optional: 0 when the adapter plays a recording (a capture file), whose
// frames wait for their reader however long it takes, so a reader that
// holds one loses nothing; another status for an adapter whose frames a
// slow reader loses (a live one), or one the library does not know.
using PacketGetAdapterRecordedFn = uint32_t (*)(const PacketAdapterEntry* entry);
// Optional: ends the PacketRead of the adapter that waits now at once,
// answering kDllNoFrame, or else makes the next one not wait; 0 when done.
// Called from any thread beside the one that reads.
using PacketInterruptReadFn = uint32_t (*)(const PacketAdapterEntry* entry);
using PacketSetShutdownFn = uint32_t (*)(PacketAdapterEntry* entry);
using PacketTxCloseFn = uint32_t (*)(PacketAdapterEntry* entry);
using PacketTxOpenFn = uint32_t (*)(PacketAdapterEntry* entry, uint32_t count, uint8_t option);
using PacketTxSendArrayFn = uint32_t (*)(PacketAdapterEntry* entry, const void* const* data,
                                         const uint32_t* lengths, uint32_t count, uint32_t wait,
                                         uint32_t* sent);
using PacketFreeFn = uint32_t (*)(PacketAdapterEntry* entry, void* record, uint32_t direction);
using PacketStartCaptureFn = uint32_t (*)(PacketAdapterEntry* entry);
using PacketGetAdapterListFn = uint32_t (*)(PacketAdapterEntry* entries, uint32_t count);
using PacketInjectFn = uint32_t (*)(PacketAdapterEntry* entry, const void* data, uint32_t length);
using PacketFilterCallFn = uint32_t (*)(void* argument);
using PacketAddBypassFilterFn = uint32_t (*)(uint32_t address, uint32_t prefix, uint32_t protocol,
                                             uint32_t direction);
using PacketSetParameterFn = uint32_t (*)(const char* name, const char* value);
using PacketNotifyFn = void (*)();
using PacketSetNotifyRoutineFn = uint32_t (*)(PacketNotifyFn routine);
}

// Statistics block of PacketGetStatistics (kind 1).
struct PacketStatistics {
    uint64_t m_qwReceived;
    uint64_t m_qwKernelDropped;
    uint64_t m_qwPassed;
    uint64_t m_qwBlocked;
    uint64_t m_qwInjected;
    uint64_t m_qwSent;
    // Frames the receive buffer still held, unread, when it was closed.
    uint64_t m_qwLeftUnread;
};

// PacketFree directions.
enum : uint32_t {
    kFreePass = 1,
    kFreeDrop = 2,
};

}  // namespace rp
