#pragma once
// The shared layouts of the link with the web-server module, which the
// sensor and the module both build from: the event ring "QGEvShm" the
// module writes and the sensor reads, and the configuration area
// "QGConfShm" only the sensor writes.  All words are 32-bit little-endian,
// at offsets from the first byte of their segment.  The functions both
// sides use on them are in WebSharedMemory.h.

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "the shared layouts are little-endian");

// The event ring.
constexpr uint32_t kWebEvShmSize = 65536;
constexpr uint32_t kWebEvDataStart = 32;
constexpr uint32_t kWebEvDataEnd = 65536;
constexpr uint32_t kWebEvCapacity = kWebEvDataEnd - kWebEvDataStart;  // 65,504: empty

// Ring header field offsets.
constexpr uint32_t kWebEvAttachCount = 0;
// The writer's count of the events it dropped since the reader last took
// it (the word the layout keeps after the attach count, 0 in a ring whose
// writer does not count).  The overflow flag says that events were lost;
// this says how many.  Both are cleared by every read.
constexpr uint32_t kWebEvDropped = 4;
constexpr uint32_t kWebEvOverflow = 8;
constexpr uint32_t kWebEvStart = 12;
constexpr uint32_t kWebEvEnd = 16;
constexpr uint32_t kWebEvRead = 20;
// The writer wakes the reader after a message it adds to an empty ring: a
// wake on the write offset's word (a futex: platform/SharedWord.h), which
// the reader sleeps on with the value it saw when it found the ring empty
// (it reads the ring to its end at each wake).  A writer that does not
// wake is read all the same, at the reader's next look.
constexpr uint32_t kWebEvWrite = 24;
constexpr uint32_t kWebEvFree = 28;

constexpr size_t kWebMacTextSize = 20;
constexpr size_t kWebEventNameSize = 128;

// One detection as the module writes it; the class text follows it in the
// ring.  Addresses are host-order numbers.
struct WebEventRecord {
    uint32_t dwUnused0;
    int32_t nEventId;  // the signature's "TID"; below 1 invalid
    uint32_t dwUnused8;
    uint32_t dwIntruderAddress;
    uint16_t wIntruderPort;
    uint16_t wIntruderPortHigh;
    char szIntruderMac[kWebMacTextSize];
    uint32_t dwVictimAddress;
    uint16_t wVictimPort;
    uint16_t wVictimPortHigh;
    char szVictimMac[kWebMacTextSize];
    int32_t nOutcome;
    uint32_t dwProtocol;  // low byte; 0 when not given
    int32_t nClassLength;
    char szEventName[kWebEventNameSize];
};
static_assert(sizeof(WebEventRecord) == 208);
static_assert(offsetof(WebEventRecord, szIntruderMac) == 20);
static_assert(offsetof(WebEventRecord, dwVictimAddress) == 40);
static_assert(offsetof(WebEventRecord, szVictimMac) == 48);
static_assert(offsetof(WebEventRecord, nOutcome) == 68);
static_assert(offsetof(WebEventRecord, nClassLength) == 76);
static_assert(offsetof(WebEventRecord, szEventName) == 80);
constexpr uint32_t kWebRecordSize = sizeof(WebEventRecord);

// The largest class text a message can carry.
constexpr uint32_t kWebMaxClassLength = kWebEvCapacity - kWebRecordSize;

// The configuration area.
constexpr uint32_t kWebConfShmSize = 3145728;
constexpr uint32_t kWebConfFlags = 8;
constexpr uint32_t kWebConfTime = 12;
constexpr uint32_t kWebConfParamCount = 16;
constexpr uint32_t kWebConfParamPointer = 20;
constexpr uint32_t kWebConfParams = 24;
constexpr uint32_t kWebConfParamFieldSize = 128;
constexpr uint32_t kWebConfParamSize = 2 * kWebConfParamFieldSize;
constexpr uint32_t kWebConfBlockEnabled = 65536;
constexpr uint32_t kWebConfBlockPeriod = 65540;
constexpr uint32_t kWebConfEventCount = 65544;
constexpr uint32_t kWebConfEventPointer = 65548;
constexpr uint32_t kWebConfEvents = 65552;
constexpr uint32_t kWebConfEventSize = 408;
constexpr uint32_t kWebConfMaxParams = (kWebConfBlockEnabled - kWebConfParams) / kWebConfParamSize;  // 255
constexpr uint32_t kWebConfMaxEvents = (kWebConfShmSize - kWebConfEvents) / kWebConfEventSize;       // 7,549
constexpr uint32_t kWebConfEventsValid = 1;
constexpr uint32_t kWebConfParamsValid = 2;

// Event entry field offsets.
constexpr uint32_t kWebEntryFirstWord = 0;
constexpr uint32_t kWebEntryTid = 4;
constexpr uint32_t kWebEntryResponse = 16;
constexpr uint32_t kWebEntryAllow = 36;
constexpr uint32_t kWebEntryAddressCount = 38;
constexpr uint32_t kWebEntryAddresses = 40;
constexpr uint32_t kWebEntryAddressSize = 16;
constexpr uint32_t kWebEntryMaxAddresses = 15;
