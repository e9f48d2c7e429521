#pragma once
// The packet-capture driver library's adapter record and packet record, as
// both sides of that library boundary read them: fixed byte offsets, read
// and written with memcpy so no alignment is assumed.  The driver library
// owns every byte not named here.

#include <cstdint>
#include <cstring>

namespace rp {

constexpr uint32_t kAdapterEntrySize = 368;
constexpr uint32_t kAdapterNameSize = 128;
constexpr uint32_t kAdapterTableEntries = 40;

// Adapter record offsets.
enum : uint32_t {
    kEntryMedium = 0x14,
    kEntryAddressLength = 0x18,
    kEntryFrameLenMax = 0x20,
    kEntryName = 0x28,
    kEntryDescription = 0xa8,
    kEntryFlags = 0x128,
    kEntryPresent = 0x12c,
    kEntryReadMode = 0x130,
    kEntryAddressCount = 0x13c,
    kEntryLinkSpeed = 0x140,
    kEntryAddress1 = 0x144,
    kEntryAddress2 = 0x150,
    kEntryAddressSize = 0x0c,
};

// Adapter record flag bits.
enum : uint32_t {
    kEntryFlagOnline = 0x1,
    kEntryFlagOffline = 0x2,
    kEntryFlagMonitor = 0x4,
};

struct PacketAdapterEntry {
    uint8_t m_Bytes[kAdapterEntrySize];
};
static_assert(sizeof(PacketAdapterEntry) == kAdapterEntrySize);

inline uint32_t EntryWord(const PacketAdapterEntry* entry, uint32_t offset) {
    uint32_t value;
    std::memcpy(&value, entry->m_Bytes + offset, sizeof value);
    return value;
}
inline void SetEntryWord(PacketAdapterEntry* entry, uint32_t offset, uint32_t value) {
    std::memcpy(entry->m_Bytes + offset, &value, sizeof value);
}
// The text at `offset` (name or description), always terminated within its field.
inline const char* EntryText(const PacketAdapterEntry* entry, uint32_t offset) {
    return reinterpret_cast<const char*>(entry->m_Bytes + offset);
}
// The text of a field as written, never reading past the field.
inline size_t EntryTextLength(const PacketAdapterEntry* entry, uint32_t offset) {
    return strnlen(EntryText(entry, offset), kAdapterNameSize);
}
inline bool SetEntryText(PacketAdapterEntry* entry, uint32_t offset, const char* text) {
    size_t length = std::strlen(text);
    if (length >= kAdapterNameSize) {
        return false;
    }
    std::memset(entry->m_Bytes + offset, 0, kAdapterNameSize);
    std::memcpy(entry->m_Bytes + offset, text, length);
    return true;
}

// The driver library's packet record: a header, then the frame area.
constexpr uint32_t kRecordHeaderSize = 0x1c;
enum : uint32_t {
    kRecordFlags = 0x0,
    kRecordCapturedLength = 0x4,
    kRecordWireLength = 0x8,
    kRecordDataOffset = 0x10,
    kRecordTime1 = 0x14,
    kRecordTime2 = 0x18,
};

// Record flag values the library names.
enum : uint32_t {
    kRecordFlagSentByHost = 0x1,
    kRecordFlagBlock = 0x8,
};

inline uint32_t RecordWord(const void* record, uint32_t offset) {
    uint32_t value;
    std::memcpy(&value, static_cast<const uint8_t*>(record) + offset, sizeof value);
    return value;
}
inline void SetRecordWord(void* record, uint32_t offset, uint32_t value) {
    std::memcpy(static_cast<uint8_t*>(record) + offset, &value, sizeof value);
}

}  // namespace rp
