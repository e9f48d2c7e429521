#pragma once
// The event log: one file per log ("Application", "System", "Security")
// under $QOR_PLATFORM_ROOT/eventlog/, named "<log>.evt".  Sources register,
// report events and deregister; a report appends one record.  Readers open
// a log, read whole records forwards (or backwards), and are told when
// another process appends to the log or clears it (see READING below).
//
// FILE LAYOUT (all integers little-endian)
//
//   File header, 32 bytes at offset 0:
//     0  u32  magic, the bytes 'H' 'W' 'E' 'L'
//     4  u32  header length (32); records start here
//     8  u32  format version (1)
//    12  u32  generation: 1 when the file is made, +1 at every clear, so a
//             reader holding a position can tell that the log was cleared
//    16  u32  number of the first record appended to an empty log (1)
//    20  u32  records cleared: how many records the clears of this file
//             removed in all (saturating), so that a reader that finds the
//             log cleared can tell how many of them it never read
//    24  8 bytes reserved, zero
//
//   Records follow back to back; a reader walks them by their Length.  Each
//   record has the classic event-record layout (ANSI texts):
//     0  u32  Length of the whole record, a multiple of 4
//     4  u32  the reserved word, the bytes 'L' 'f' 'L' 'e' (0x654C664C)
//     8  u32  RecordNumber, one more than the previous record's
//    12  u32  TimeGenerated, seconds since 1970 UTC
//    16  u32  TimeWritten, seconds since 1970 UTC
//    20  u32  EventID, all 32 bits as reported (severity bits included)
//    24  u16  EventType (kEventError ... kEventAuditFailure)
//    26  u16  NumStrings
//    28  u16  EventCategory
//    30  u16  ReservedFlags, 0
//    32  u32  ClosingRecordNumber, 0
//    36  u32  StringOffset: the first string, from the record start
//    40  u32  UserSidLength, 0 without a SID
//    44  u32  UserSidOffset (where the SID is, or would be)
//    48  u32  DataLength
//    52  u32  DataOffset
//    56  SourceName, NUL-terminated; then ComputerName, NUL-terminated
//        zero padding to a multiple of 4        <- UserSidOffset
//        SID bytes                              <- StringOffset
//        NumStrings strings, each NUL-terminated <- DataOffset
//        data bytes
//        zero padding to a multiple of 4
//        u32 Length again (the last 4 bytes of the record), so a reader
//        can also step backwards from the end of a record.
//
// CONCURRENCY: a writer holds an exclusive lock on the log file while it
// finds the last record number and appends the record with a single
// write(); a clear holds it while it truncates the file to its header and
// bumps the generation.  Readers take a shared lock around each read, so
// they never see part of a record.  Locks go with the process, so a crashed
// writer never blocks the log; a torn record left by one is cut off by the
// next writer.  No lock is waited on for longer than FileLock.h's deadline:
// a report, clear or read that cannot have it fails with kErrBusy (a read
// with 30), and the console names the file and the holder.  The files are
// 0600, in a folder only root and the sensor's account can write.

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// Event types, the values stored in EventType.
enum : uint16_t {
    kEventSuccess = 0,
    kEventError = 1,
    kEventWarning = 2,
    kEventInformation = 4,
    kEventAuditSuccess = 8,
    kEventAuditFailure = 16,
};

struct EventLogLayout {
    static constexpr uint32_t kFileMagic = 0x4C455748u;  // "HWEL"
    static constexpr uint32_t kFileHeaderSize = 32;
    static constexpr uint32_t kFormatVersion = 1;
    static constexpr uint32_t kGenerationOffset = 12;
    static constexpr uint32_t kFirstNumberOffset = 16;
    static constexpr uint32_t kClearedOffset = 20;

    static constexpr uint32_t kRecordSignature = 0x654C664Cu;  // "LfLe"
    static constexpr uint32_t kRecordHeaderSize = 56;
    static constexpr uint32_t kLength = 0;
    static constexpr uint32_t kReserved = 4;
    static constexpr uint32_t kRecordNumber = 8;
    static constexpr uint32_t kTimeGenerated = 12;
    static constexpr uint32_t kTimeWritten = 16;
    static constexpr uint32_t kEventId = 20;
    static constexpr uint32_t kEventType = 24;
    static constexpr uint32_t kNumStrings = 26;
    static constexpr uint32_t kEventCategory = 28;
    static constexpr uint32_t kReservedFlags = 30;
    static constexpr uint32_t kClosingRecordNumber = 32;
    static constexpr uint32_t kStringOffset = 36;
    static constexpr uint32_t kUserSidLength = 40;
    static constexpr uint32_t kUserSidOffset = 44;
    static constexpr uint32_t kDataLength = 48;
    static constexpr uint32_t kDataOffset = 52;
    static constexpr uint32_t kSourceName = 56;

    // Limits a report must keep: the record as a whole, a name, the count of
    // strings.
    static constexpr uint32_t kMaxRecordSize = 0x40000;
    static constexpr uint32_t kMaxNameLength = 255;
    static constexpr uint32_t kMaxStrings = 256;
};

// Everything one record holds apart from its lengths and offsets.
struct EventRecordFields {
    uint32_t m_uRecordNumber = 0;
    uint32_t m_uTimeGenerated = 0;
    uint32_t m_uTimeWritten = 0;
    uint32_t m_uEventId = 0;
    uint16_t m_uEventType = 0;
    uint16_t m_uEventCategory = 0;
    std::string m_sSourceName;
    std::string m_sComputerName;
    std::vector<uint8_t> m_sid;
    std::vector<std::string> m_strings;
    std::vector<uint8_t> m_data;
};

// Lays a record out as it is stored.  87 (invalid parameter) when a limit
// of EventLogLayout is exceeded or a text holds a NUL; else 0.
uint32_t BuildEventRecord(const EventRecordFields& fields, std::vector<uint8_t>& out);

// The file of a log: <PlatformRoot()>/eventlog/<log>.evt.  Log names are
// plain names (letters, digits, space, '-', '_', '.'; not starting with a
// dot); an empty string for any other name.
std::string EventLogFilePath(const char* logName);

// A registered event source.  Handles are owned by the caller and released
// with DeregisterEventSource.
class EventSource;

// Registers `sourceName` for writing to the log `logName` ("Application"
// when null).  Null, with the last error set to 87, for a missing or
// overlong source name or an invalid log name.  The log file is made on the
// first report.
EventSource* RegisterEventSource(const char* sourceName, const char* logName = nullptr);

// Appends one record: time now, this host's name, the strings and data
// given.  `userSid` may be null (length 0), `strings` may be null when
// `numStrings` is 0.  Returns 0, or an error number: 6 for a null source,
// 87 for a record over the limits, 13 when the file is not an event log,
// and the mapped errno of a failed open or write (112 when the disk is full
// or the write falls short; nothing is left of a failed record).
uint32_t ReportEvent(EventSource* source, uint16_t eventType, uint16_t category, uint32_t eventId,
                     const void* userSid, uint32_t userSidLength, uint16_t numStrings,
                     const char* const* strings, uint32_t dataLength, const void* data);

// Releases the handle; 6 for a null one, else 0.
uint32_t DeregisterEventSource(EventSource* source);

// Removes every record of the log and bumps its generation; the next record
// is numbered from 1 again.  0, or an error number as for ReportEvent (2
// when the log has no file yet).
uint32_t ClearEventLog(const char* logName);

// READING
//
// A reader has one position between two records of the log.  Its first
// sequential read places it: a forwards read at the oldest record, a
// backwards read after the newest (so a backwards read of 0 bytes at once
// skips every record already written, and forwards reads then return only
// what is appended later).  Reads return whole records only, each in the
// layout above; they are validated as read (signature, length and its
// trailing copy), and a damaged tail counts as the end of the log.

// Read flags; a read is sequential and either forwards or backwards.
enum : uint32_t {
    kEventLogSequentialRead = 0x1,
    kEventLogSeekRead = 0x2,
    kEventLogForwardsRead = 0x4,
    kEventLogBackwardsRead = 0x8,
};

class EventLogReader;
class ChangeEvent;

// Opens the log for reading, making its empty file when it has none yet.
// Null with the last error set: 87 for an invalid name, 13 for a file that
// is no event log, or the mapped errno.
EventLogReader* OpenEventLog(const char* logName);

// 6 for a null or already closed reader, else 0.
uint32_t CloseEventLog(EventLogReader* reader);

// Copies as many whole records as fit from the reader's position into the
// buffer and moves past them.  0 with `*bytesRead`; 122 with `*bytesNeeded`
// set to the next record's length when not even that one fits; 38 at the
// end of the log; 1503 when the log was cleared since the reader's last
// read, or its file removed and made again (the reader then starts afresh
// on the log's present file, placed again by its next read); 6
// for an invalid reader; 87 for flags other than sequential forwards or
// sequential backwards (seeking is not offered) or a null buffer with a
// size; 13 when the file is no longer an event log.
uint32_t ReadEventLog(EventLogReader* reader, uint32_t flags, uint32_t recordOffset, void* buffer,
                      uint32_t bufferSize, uint32_t* bytesRead, uint32_t* bytesNeeded);

// Has `event` signalled whenever a process appends to or clears the log.
// 6 for an invalid reader or event, else 0 or the mapped errno.
// After a read answered kErrEventLogFileChanged for a clear: how many
// records the clears since the reader's last read removed before it read
// them (0 when that cannot be told: a log file replaced, or one whose
// clears did not count what they removed).  Asked once per change.
uint32_t EventLogRecordsClearedUnread(EventLogReader* reader);

uint32_t NotifyChangeEventLog(EventLogReader* reader, ChangeEvent* event);

}  // namespace plat
