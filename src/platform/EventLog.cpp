#include "platform/EventLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include "platform/ChangeEvent.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "platform/Refusal.h"
#include "platform/Registry.h"

namespace plat {

class EventSource {
public:
    EventSource(std::string source, std::string log)
        : m_sSourceName(std::move(source)), m_sLogName(std::move(log)) {}

    const std::string& SourceName() const { return m_sSourceName; }
    const std::string& LogName() const { return m_sLogName; }

private:
    std::string m_sSourceName;
    std::string m_sLogName;
};

namespace {

using Layout = EventLogLayout;

void SetWord(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutWord(std::vector<uint8_t>& out, size_t offset, uint32_t value) { SetWord(out.data() + offset, value); }

void PutHalf(std::vector<uint8_t>& out, size_t offset, uint16_t value) {
    out[offset] = static_cast<uint8_t>(value);
    out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

uint32_t GetWord(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void AppendText(std::vector<uint8_t>& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

void PadToWord(std::vector<uint8_t>& out) {
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

bool HasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

bool IsPlainName(const char* name) {
    if (name == nullptr || name[0] == '\0' || name[0] == '.' ||
        std::strlen(name) > Layout::kMaxNameLength) {
        return false;
    }
    for (const char* p = name; *p != '\0'; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == ' ' || c == '-' || c == '_' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    return name;
}

// Reads exactly `length` bytes at `offset`; false on a short file.
bool ReadAt(int fd, uint64_t offset, void* buffer, size_t length) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        ssize_t n = ::pread(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Writes the whole buffer with one write(); anything less is a failure.
uint32_t WriteOnce(int fd, const std::vector<uint8_t>& bytes) {
    ssize_t n;
    do {
        n = ::write(fd, bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return MapErrno(errno);
    }
    return static_cast<size_t>(n) == bytes.size() ? kErrSuccess : kErrDiskFull;
}

std::vector<uint8_t> MakeFileHeader(uint32_t generation) {
    std::vector<uint8_t> header(Layout::kFileHeaderSize, 0);
    PutWord(header, 0, Layout::kFileMagic);
    PutWord(header, 4, Layout::kFileHeaderSize);
    PutWord(header, 8, Layout::kFormatVersion);
    PutWord(header, Layout::kGenerationOffset, generation);
    PutWord(header, Layout::kFirstNumberOffset, 1);
    return header;
}

// What is not done when a log cannot be had.
constexpr const char kNotAppended[] = "the record is not written";
constexpr const char kNotCleared[] = "the log is not cleared";
constexpr const char kNotRead[] = "the log is not read now";

// An open log file held under an exclusive lock until it goes.
class LockedLog {
public:
    ~LockedLog() {
        if (m_fd >= 0) {
            ::close(m_fd);  // also drops the lock
        }
    }

    // Writers open for appending and create the log; a clear opens an
    // existing log for writing in place.  `instead` says what is not done
    // when the log cannot be had.
    uint32_t Open(const std::string& path, bool forAppend, const char* instead) {
        std::string why;
        const std::string folder = std::filesystem::path(path).parent_path().string();
        if (forAppend && !MakeStateFolder(folder, instead, &why)) {
            return WarnAndFail(why, folder);
        }
        m_fd = OpenStateFile(path, O_RDWR | (forAppend ? O_APPEND | O_CREAT : 0), kStateFileMode, &why);
        if (m_fd < 0) {
            return GetLastError() == kErrAccessDenied ? WarnAndFail(WithInstead(why, instead), path)
                                                      : GetLastError();
        }
        if (!TakeFileLock(m_fd, path, LockKind::kExclusive, instead, &why)) {
            return WarnAndFail(why, path);
        }
        return CheckHeader();
    }

    // The number the next record gets.
    uint32_t NextRecordNumber(uint32_t& number) {
        for (;;) {
            uint64_t size = 0;
            if (uint32_t error = Size(size)) {
                return error;
            }
            if (size == Layout::kFileHeaderSize) {
                number = m_uFirstNumber;
                return kErrSuccess;
            }
            if (LastRecordNumber(size, number)) {
                ++number;
                return kErrSuccess;
            }
            if (uint32_t error = CutDamagedTail()) {
                return error;
            }
        }
    }

    uint32_t Append(const std::vector<uint8_t>& record) {
        uint64_t size = 0;
        if (uint32_t error = Size(size)) {
            return error;
        }
        uint32_t error = WriteOnce(m_fd, record);
        if (error != kErrSuccess) {
            // Take back whatever part of the record reached the file; should
            // that fail as well, the next writer cuts the torn record off.
            int cut = ::ftruncate(m_fd, static_cast<off_t>(size));
            (void)cut;
        }
        return error;
    }

    // The generation is bumped before the records go: a clear cut short
    // still tells readers that the log changed under them.
    // The count of what it removes goes with it, for readers that had not
    // read them all.
    uint32_t Clear() {
        uint8_t words[12];
        uint64_t size = 0;
        if (!ReadAt(m_fd, Layout::kGenerationOffset, words, sizeof words) || Size(size) != kErrSuccess) {
            return kErrInvalidData;
        }
        uint32_t last = 0;
        const uint32_t first = GetWord(words + Layout::kFirstNumberOffset - Layout::kGenerationOffset);
        const uint64_t removed =
            size > Layout::kFileHeaderSize && LastRecordNumber(size, last) && last >= first ? last - first + 1 : 0;
        const uint64_t cleared = GetWord(words + Layout::kClearedOffset - Layout::kGenerationOffset) + removed;
        SetWord(words, GetWord(words) + 1);
        SetWord(words + Layout::kClearedOffset - Layout::kGenerationOffset,
                static_cast<uint32_t>(std::min<uint64_t>(cleared, UINT32_MAX)));
        ssize_t n = ::pwrite(m_fd, words, sizeof words, Layout::kGenerationOffset);
        if (n != static_cast<ssize_t>(sizeof words)) {
            return n < 0 ? MapErrno(errno) : kErrWriteFault;
        }
        if (::ftruncate(m_fd, Layout::kFileHeaderSize) != 0) {
            return MapErrno(errno);
        }
        return kErrSuccess;
    }

private:
    uint32_t Size(uint64_t& size) {
        struct stat st;
        if (::fstat(m_fd, &st) != 0) {
            return MapErrno(errno);
        }
        size = static_cast<uint64_t>(st.st_size);
        return kErrSuccess;
    }

    uint32_t CheckHeader() {
        uint64_t size = 0;
        if (uint32_t error = Size(size)) {
            return error;
        }
        if (size < Layout::kFileHeaderSize) {
            // New, or its creator died while writing the header.
            if (::ftruncate(m_fd, 0) != 0) {
                return MapErrno(errno);
            }
            if (uint32_t error = WriteOnce(m_fd, MakeFileHeader(1))) {
                return error;
            }
        }
        uint8_t header[Layout::kFileHeaderSize];
        if (!ReadAt(m_fd, 0, header, sizeof header) || GetWord(header) != Layout::kFileMagic ||
            GetWord(header + 4) != Layout::kFileHeaderSize) {
            return kErrInvalidData;
        }
        m_uFirstNumber = GetWord(header + Layout::kFirstNumberOffset);
        return kErrSuccess;
    }

    // Reads the record that ends at `end` through the trailing Length copy.
    bool RecordEndingAt(uint64_t end, uint64_t& start, uint32_t& number) {
        uint8_t word[4];
        if (end < Layout::kFileHeaderSize + Layout::kRecordHeaderSize + 4 ||
            !ReadAt(m_fd, end - 4, word, sizeof word)) {
            return false;
        }
        uint32_t length = GetWord(word);
        if (length % 4 != 0 || length < Layout::kRecordHeaderSize + 4 ||
            length > end - Layout::kFileHeaderSize) {
            return false;
        }
        start = end - length;
        return RecordAt(start, length, number);
    }

    // True when a record of `length` starts at `start` with that Length.
    bool RecordAt(uint64_t start, uint32_t length, uint32_t& number) {
        uint8_t head[12];
        if (!ReadAt(m_fd, start, head, sizeof head) || GetWord(head) != length ||
            GetWord(head + 4) != Layout::kRecordSignature) {
            return false;
        }
        number = GetWord(head + 8);
        return true;
    }

    bool LastRecordNumber(uint64_t size, uint32_t& number) {
        uint64_t start = 0;
        return RecordEndingAt(size, start, number);
    }

    // Keeps the records that walk cleanly from the header and cuts the file
    // after the last of them.
    uint32_t CutDamagedTail() {
        uint64_t size = 0;
        if (uint32_t error = Size(size)) {
            return error;
        }
        uint64_t good = Layout::kFileHeaderSize;
        for (;;) {
            uint8_t word[4];
            if (good + Layout::kRecordHeaderSize + 4 > size || !ReadAt(m_fd, good, word, 4)) {
                break;
            }
            uint32_t length = GetWord(word);
            uint64_t start = 0;
            uint32_t number = 0;
            if (length % 4 != 0 || length < Layout::kRecordHeaderSize + 4 ||
                length > size - good || !RecordEndingAt(good + length, start, number) ||
                start != good) {
                break;
            }
            good += length;
        }
        if (::ftruncate(m_fd, static_cast<off_t>(good)) != 0) {
            return MapErrno(errno);
        }
        return kErrSuccess;
    }

    int m_fd = -1;
    uint32_t m_uFirstNumber = 1;
};

}  // namespace

uint32_t BuildEventRecord(const EventRecordFields& fields, std::vector<uint8_t>& out) {
    if (fields.m_sSourceName.size() > Layout::kMaxNameLength ||
        fields.m_sComputerName.size() > Layout::kMaxNameLength ||
        fields.m_strings.size() > Layout::kMaxStrings || HasNul(fields.m_sSourceName) ||
        HasNul(fields.m_sComputerName)) {
        return kErrInvalidParameter;
    }
    uint64_t total = Layout::kRecordHeaderSize + fields.m_sSourceName.size() +
                     fields.m_sComputerName.size() + 2 + 3 + fields.m_sid.size() +
                     fields.m_data.size() + 3 + 4;
    for (const std::string& text : fields.m_strings) {
        if (HasNul(text)) {
            return kErrInvalidParameter;
        }
        total += text.size() + 1;
    }
    if (total > Layout::kMaxRecordSize) {
        return kErrInvalidParameter;
    }

    out.assign(Layout::kRecordHeaderSize, 0);
    out.reserve(static_cast<size_t>(total));
    AppendText(out, fields.m_sSourceName);
    AppendText(out, fields.m_sComputerName);
    PadToWord(out);
    uint32_t sidOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), fields.m_sid.begin(), fields.m_sid.end());
    uint32_t stringOffset = static_cast<uint32_t>(out.size());
    for (const std::string& text : fields.m_strings) {
        AppendText(out, text);
    }
    uint32_t dataOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), fields.m_data.begin(), fields.m_data.end());
    PadToWord(out);
    uint32_t length = static_cast<uint32_t>(out.size()) + 4;
    out.resize(length);

    PutWord(out, Layout::kLength, length);
    PutWord(out, Layout::kReserved, Layout::kRecordSignature);
    PutWord(out, Layout::kRecordNumber, fields.m_uRecordNumber);
    PutWord(out, Layout::kTimeGenerated, fields.m_uTimeGenerated);
    PutWord(out, Layout::kTimeWritten, fields.m_uTimeWritten);
    PutWord(out, Layout::kEventId, fields.m_uEventId);
    PutHalf(out, Layout::kEventType, fields.m_uEventType);
    PutHalf(out, Layout::kNumStrings, static_cast<uint16_t>(fields.m_strings.size()));
    PutHalf(out, Layout::kEventCategory, fields.m_uEventCategory);
    PutHalf(out, Layout::kReservedFlags, 0);
    PutWord(out, Layout::kClosingRecordNumber, 0);
    PutWord(out, Layout::kStringOffset, stringOffset);
    PutWord(out, Layout::kUserSidLength, static_cast<uint32_t>(fields.m_sid.size()));
    PutWord(out, Layout::kUserSidOffset, sidOffset);
    PutWord(out, Layout::kDataLength, static_cast<uint32_t>(fields.m_data.size()));
    PutWord(out, Layout::kDataOffset, dataOffset);
    PutWord(out, length - 4, length);
    return kErrSuccess;
}

std::string EventLogFilePath(const char* logName) {
    if (!IsPlainName(logName)) {
        return std::string();
    }
    return PlatformRoot() + "/eventlog/" + logName + ".evt";
}

EventSource* RegisterEventSource(const char* sourceName, const char* logName) {
    const char* log = logName != nullptr ? logName : "Application";
    if (sourceName == nullptr || sourceName[0] == '\0' ||
        std::strlen(sourceName) > Layout::kMaxNameLength || !IsPlainName(log)) {
        SetLastError(kErrInvalidParameter);
        return nullptr;
    }
    return new EventSource(sourceName, log);
}

uint32_t ReportEvent(EventSource* source, uint16_t eventType, uint16_t category, uint32_t eventId,
                     const void* userSid, uint32_t userSidLength, uint16_t numStrings,
                     const char* const* strings, uint32_t dataLength, const void* data) {
    if (source == nullptr) {
        return kErrInvalidHandle;
    }
    if ((numStrings > 0 && strings == nullptr) || (userSidLength > 0 && userSid == nullptr) ||
        (dataLength > 0 && data == nullptr) || userSidLength > Layout::kMaxRecordSize ||
        dataLength > Layout::kMaxRecordSize || numStrings > Layout::kMaxStrings) {
        return kErrInvalidParameter;
    }
    EventRecordFields fields;
    fields.m_uTimeGenerated = static_cast<uint32_t>(std::time(nullptr));
    fields.m_uTimeWritten = fields.m_uTimeGenerated;
    fields.m_uEventId = eventId;
    fields.m_uEventType = eventType;
    fields.m_uEventCategory = category;
    fields.m_sSourceName = source->SourceName();
    fields.m_sComputerName = HostName();
    const auto* sid = static_cast<const uint8_t*>(userSid);
    fields.m_sid.assign(sid, sid + userSidLength);
    for (uint16_t i = 0; i < numStrings; ++i) {
        fields.m_strings.emplace_back(strings[i] != nullptr ? strings[i] : "");
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    fields.m_data.assign(bytes, bytes + dataLength);

    std::vector<uint8_t> record;
    if (uint32_t error = BuildEventRecord(fields, record)) {
        return error;
    }
    LockedLog log;
    if (uint32_t error = log.Open(EventLogFilePath(source->LogName().c_str()), true, kNotAppended)) {
        return error;
    }
    uint32_t number = 0;
    if (uint32_t error = log.NextRecordNumber(number)) {
        return error;
    }
    PutWord(record, Layout::kRecordNumber, number);
    return log.Append(record);
}

uint32_t DeregisterEventSource(EventSource* source) {
    if (source == nullptr) {
        return kErrInvalidHandle;
    }
    delete source;
    return kErrSuccess;
}

uint32_t ClearEventLog(const char* logName) {
    std::string path = EventLogFilePath(logName);
    if (path.empty()) {
        return kErrInvalidParameter;
    }
    LockedLog log;
    if (uint32_t error = log.Open(path, false, kNotCleared)) {
        return error;
    }
    return log.Clear();
}


class EventLogReader {
public:
    static constexpr uint32_t kMagic = 0x44524C45u;  // "ELRD"

    uint32_t m_uMagic = kMagic;
    std::string m_sPath;
    int m_fd = -1;
    uint32_t m_uGeneration = 0;
    // The header's count of records cleared, as it stood in that generation.
    uint32_t m_uCleared = 0;
    bool m_bPlaced = false;
    uint64_t m_uPosition = 0;
    // The number of the record just before the position (0: none, or not
    // placed), so that a clear tells how many records it took unread.
    uint32_t m_uNumberBefore = 0;
    // Counted at the last change found: see EventLogRecordsClearedUnread.
    uint32_t m_uClearedUnread = 0;
};

namespace {

// A shared lock on the log for one read; writers hold theirs exclusively.
class SharedLock {
public:
    SharedLock(int fd, const std::string& path) : m_fd(fd) {
        std::string why;
        m_bHeld = TakeFileLock(m_fd, path, LockKind::kShared, kNotRead, &why);
        if (!m_bHeld) {
            WarnAndFail(why, path);
        }
    }
    ~SharedLock() {
        if (m_bHeld) {
            ReleaseFileLock(m_fd);
        }
    }
    bool Held() const { return m_bHeld; }

private:
    int m_fd;
    bool m_bHeld = false;
};

bool IsReader(const EventLogReader* reader) {
    return reader != nullptr && reader->m_uMagic == EventLogReader::kMagic && reader->m_fd >= 0;
}

// The header's generation and count of records cleared; false when the
// file is no event log.
bool ReadGeneration(int fd, uint32_t& generation, uint32_t* cleared = nullptr) {
    uint8_t header[Layout::kFileHeaderSize];
    if (!ReadAt(fd, 0, header, sizeof header) || GetWord(header) != Layout::kFileMagic ||
        GetWord(header + 4) != Layout::kFileHeaderSize) {
        return false;
    }
    generation = GetWord(header + Layout::kGenerationOffset);
    if (cleared != nullptr) {
        *cleared = GetWord(header + Layout::kClearedOffset);
    }
    return true;
}

// The number of the whole record that ends at `end`, 0 when there is none.
uint32_t NumberOfRecordEndingAt(int fd, uint64_t end) {
    uint8_t word[4];
    if (end < Layout::kFileHeaderSize + Layout::kRecordHeaderSize + 4 || !ReadAt(fd, end - 4, word, 4)) {
        return 0;
    }
    const uint32_t length = GetWord(word);
    if (length > end - Layout::kFileHeaderSize || length < Layout::kRecordHeaderSize + 4 ||
        !ReadAt(fd, end - length + Layout::kRecordNumber, word, 4)) {
        return 0;
    }
    return GetWord(word);
}

// A plausible record length for one that starts at `start` and ends no later
// than `end`.
bool LengthFits(uint32_t length, uint64_t start, uint64_t end) {
    return length % 4 == 0 && length >= Layout::kRecordHeaderSize + 4 &&
           length <= Layout::kMaxRecordSize && start + length <= end;
}

// The record in `bytes` is whole: its signature, and its trailing copy of
// the length.
bool RecordIsWhole(const uint8_t* bytes, uint32_t length) {
    return GetWord(bytes) == length && GetWord(bytes + Layout::kReserved) == Layout::kRecordSignature &&
           GetWord(bytes + length - 4) == length;
}

// A log file removed and made again by a writer, or another file moved
// over it, leaves the reader on the old file, where nothing is appended any
// more: the reader moves to the file the log's path now names, to be placed
// afresh as after a clear.  True when it moved.
bool FollowReplacedFile(EventLogReader* reader) {
    struct stat held;
    struct stat named;
    if (::fstat(reader->m_fd, &held) != 0 || ::stat(reader->m_sPath.c_str(), &named) != 0 ||
        (held.st_ino == named.st_ino && held.st_dev == named.st_dev)) {
        return false;
    }
    const int fd = OpenFileToRead(reader->m_sPath, Owners::kOwn);
    if (fd < 0) {
        return false;
    }
    uint32_t generation = 0;
    bool isLog;
    {
        SharedLock lock(fd, reader->m_sPath);
        isLog = lock.Held() && ReadGeneration(fd, generation);
    }
    if (!isLog) {
        // Not (yet) an event log: a writer's first append makes it one.
        ::close(fd);
        return false;
    }
    ::close(reader->m_fd);
    reader->m_fd = fd;
    reader->m_uGeneration = generation;
    reader->m_bPlaced = false;
    reader->m_uNumberBefore = 0;
    reader->m_uClearedUnread = 0;
    return true;
}

}  // namespace

EventLogReader* OpenEventLog(const char* logName) {
    std::string path = EventLogFilePath(logName);
    if (path.empty()) {
        SetLastError(kErrInvalidParameter);
        return nullptr;
    }
    {
        // Makes the file and its header when the log has none yet.
        LockedLog log;
        if (uint32_t error = log.Open(path, true, kNotRead)) {
            SetLastError(error);
            return nullptr;
        }
    }
    auto* reader = new EventLogReader;
    reader->m_sPath = path;
    std::string why;
    reader->m_fd = OpenFileToRead(path, Owners::kOwn, &why);
    if (reader->m_fd < 0) {
        if (GetLastError() == kErrAccessDenied) {
            WarnAndFail(why, path);
        }
        delete reader;
        return nullptr;
    }
    SharedLock lock(reader->m_fd, path);
    if (!ReadGeneration(reader->m_fd, reader->m_uGeneration, &reader->m_uCleared)) {
        SetLastError(kErrInvalidData);
        ::close(reader->m_fd);
        delete reader;
        return nullptr;
    }
    return reader;
}

uint32_t CloseEventLog(EventLogReader* reader) {
    if (!IsReader(reader)) {
        return kErrInvalidHandle;
    }
    ::close(reader->m_fd);
    reader->m_fd = -1;
    reader->m_uMagic = 0;
    delete reader;
    return kErrSuccess;
}

uint32_t ReadEventLog(EventLogReader* reader, uint32_t flags, uint32_t /*recordOffset*/,
                      void* buffer, uint32_t bufferSize, uint32_t* bytesRead,
                      uint32_t* bytesNeeded) {
    if (!IsReader(reader)) {
        return kErrInvalidHandle;
    }
    const bool forwards = flags == (kEventLogSequentialRead | kEventLogForwardsRead);
    const bool backwards = flags == (kEventLogSequentialRead | kEventLogBackwardsRead);
    if ((!forwards && !backwards) || (buffer == nullptr && bufferSize > 0)) {
        return kErrInvalidParameter;
    }
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (bytesNeeded != nullptr) {
        *bytesNeeded = 0;
    }
    if (FollowReplacedFile(reader)) {
        return kErrEventLogFileChanged;
    }
    const int fd = reader->m_fd;
    SharedLock lock(fd, reader->m_sPath);
    uint32_t generation = 0;
    struct stat st;
    if (!lock.Held() || ::fstat(fd, &st) != 0) {
        return kErrReadFault;
    }
    uint32_t cleared = 0;
    if (!ReadGeneration(fd, generation, &cleared)) {
        return kErrInvalidData;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (generation != reader->m_uGeneration ||
        (reader->m_bPlaced && reader->m_uPosition > size)) {
        // Cleared or replaced under the reader: say so once, then follow the
        // new log from wherever the next read places the reader.  The clears
        // took every record they counted, of which those before the
        // position had been read.
        const uint32_t removed = generation != reader->m_uGeneration && cleared >= reader->m_uCleared
                                     ? cleared - reader->m_uCleared
                                     : 0;
        reader->m_uClearedUnread = removed > reader->m_uNumberBefore ? removed - reader->m_uNumberBefore : 0;
        reader->m_uGeneration = generation;
        reader->m_uCleared = cleared;
        reader->m_bPlaced = false;
        reader->m_uNumberBefore = 0;
        return kErrEventLogFileChanged;
    }
    if (!reader->m_bPlaced) {
        reader->m_uPosition = forwards ? Layout::kFileHeaderSize : size;
        reader->m_uNumberBefore = forwards ? 0 : NumberOfRecordEndingAt(fd, size);
        reader->m_bPlaced = true;
    }

    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t used = 0;
    uint64_t position = reader->m_uPosition;
    for (;;) {
        uint8_t word[4];
        uint32_t length = 0;
        uint64_t start = 0;
        if (forwards) {
            if (position + 4 > size || !ReadAt(fd, position, word, 4)) {
                break;
            }
            length = GetWord(word);
            start = position;
            if (!LengthFits(length, start, size)) {
                break;
            }
        } else {
            if (position < Layout::kFileHeaderSize + 4 ||
                !ReadAt(fd, position - 4, word, 4)) {
                break;
            }
            length = GetWord(word);
            if (length > position - Layout::kFileHeaderSize) {
                break;
            }
            start = position - length;
            if (!LengthFits(length, start, position)) {
                break;
            }
        }
        if (length > bufferSize - used) {
            if (used == 0) {
                if (bytesNeeded != nullptr) {
                    *bytesNeeded = length;
                }
                return kErrInsufficientBuffer;
            }
            break;
        }
        if (!ReadAt(fd, start, out + used, length) || !RecordIsWhole(out + used, length)) {
            break;
        }
        const uint32_t number = GetWord(out + used + Layout::kRecordNumber);
        reader->m_uNumberBefore = forwards ? number : number - 1;
        used += length;
        position = forwards ? start + length : start;
    }
    if (used == 0) {
        return kErrHandleEof;
    }
    reader->m_uPosition = position;
    if (bytesRead != nullptr) {
        *bytesRead = used;
    }
    return kErrSuccess;
}

uint32_t EventLogRecordsClearedUnread(EventLogReader* reader) {
    return IsReader(reader) ? std::exchange(reader->m_uClearedUnread, 0) : 0;
}

uint32_t NotifyChangeEventLog(EventLogReader* reader, ChangeEvent* event) {
    if (!IsReader(reader) || event == nullptr || !event->IsValid()) {
        return kErrInvalidHandle;
    }
    return event->WatchFile(reader->m_sPath);
}

}  // namespace plat
