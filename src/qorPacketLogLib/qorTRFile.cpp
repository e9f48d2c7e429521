#include "qorPacketLogLib/qorTRFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "qorPacketLogLib/LogLine.h"
#include "qorToolsLib/ErrorWords.h"

namespace {

// Room for several frames of the largest size, so a full buffer is the only
// reason to go to the disk.
constexpr size_t kBufferSize = 256 * 1024;
constexpr size_t kSnifferRecordHeader = 20;
constexpr size_t kTcpdumpRecordHeader = 16;
constexpr size_t kAppendMinimumSize = 28;
const char kSnifferMagic[17] = "TRSNIFF data    ";

bool EndsWith(const std::string& text, const char* suffix) {
    size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v & 0xFFFF);
    Put16(p + 2, v >> 16);
}

uint32_t Get16(const uint8_t* p) {
    return p[0] | (uint32_t{p[1]} << 8);
}
uint32_t Get32(const uint8_t* p) {
    return Get16(p) | (Get16(p + 2) << 16);
}

}  // namespace

qorTRFile::qorTRFile() : m_pBuffer(new uint8_t[kBufferSize]) {}

qorTRFile::~qorTRFile() {
    Close();
}

uint32_t qorTRFile::TypeForName(const std::string& name) {
    if (EndsWith(name, ".cap") || EndsWith(name, ".cap.gz")) {
        return kTypeUnwritable;
    }
    if (EndsWith(name, ".tcp") || EndsWith(name, ".tcp.gz")) {
        return kTypeTcpdump;
    }
    return kTypeSniffer;
}

uint32_t qorTRFile::StoredLength(uint32_t capturedLength) const {
    uint32_t limit = m_dwType == kTypeTcpdump ? kTcpdumpSnapLength : kSnifferMaxData;
    return capturedLength < limit ? capturedLength : limit;
}

void qorTRFile::SetErrorFromErrno(int err) {
    m_nError = err != 0 ? static_cast<int32_t>(plat::MapErrno(err)) : kErrorUnknown;
}

bool qorTRFile::Open(const std::string& name, uint32_t mode, uint32_t baseTime) {
    Close();
    m_dwType = TypeForName(name);
    if (mode == kModeAppend) {
        struct stat info;
        if (::stat(name.c_str(), &info) != 0 ||
            info.st_size < static_cast<off_t>(kAppendMinimumSize)) {
            mode = kModeWrite;
        }
    }
    int flags = mode == kModeAppend ? O_RDWR : (O_WRONLY | O_CREAT | O_TRUNC);
    std::string problem;
    m_nFile = plat::OpenOwnFile(name, flags, 0644, &problem);
    if (m_nFile < 0) {
        m_nError = static_cast<int32_t>(plat::GetLastError());
        PACKETLOG_ERROR(m_pLogger, "Error %d opening file %s (%s)", m_nError, name.c_str(),
                        problem.c_str());
        return false;
    }
    m_dwMode = mode;
    m_nBuffered = 0;
    m_nHeaderBuffered = 0;
    m_uFlushedEnd = 0;
    m_uAppendedSize = 0;
    if (mode == kModeAppend) {
        if (ReadHeader()) {
            struct stat info;
            if (::fstat(m_nFile, &info) != 0) {
                SetErrorFromErrno(errno);
            } else if (FindAppendPoint(static_cast<uint64_t>(info.st_size))) {
                m_dwMode = kModeWrite;
                return true;
            }
            // What the file holds is kept for a later try.
            ::close(m_nFile);
            m_nFile = -1;
            return false;
        }
        // Not a file of ours to continue: begin it again.
        if (::ftruncate(m_nFile, 0) != 0 || ::lseek(m_nFile, 0, SEEK_SET) != 0) {
            SetErrorFromErrno(errno);
            return true;
        }
        m_dwMode = kModeWrite;
    }
    m_iBaseTime = baseTime;
    WriteHeader();
    return true;
}

bool qorTRFile::SetSnifferOrigin() {
    time_t base = static_cast<time_t>(m_iBaseTime);
    std::tm local{};
    if (::localtime_r(&base, &local) == nullptr) {
        m_nError = kErrorNoLocalTime;
        return false;
    }
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    time_t midnight = ::mktime(&local);
    if (midnight == static_cast<time_t>(-1)) {
        m_nError = kErrorNoLocalTime;
        return false;
    }
    m_iSnifferOrigin = midnight;
    return true;
}

bool qorTRFile::WriteHeader() {
    uint8_t header[kSnifferHeaderSize] = {};
    if (m_dwType == kTypeTcpdump) {
        Put32(header, 0xA1B2C3D4);
        Put16(header + 4, 2);
        Put16(header + 6, 4);
        Put32(header + 16, kTcpdumpSnapLength);
        Put32(header + 20, 1);
        Append(header, kTcpdumpHeaderSize);
        m_nHeaderBuffered = kTcpdumpHeaderSize;
        return true;
    }
    if (m_dwType != kTypeSniffer) {
        return true;
    }
    if (!SetSnifferOrigin()) {
        return false;
    }
    time_t base = static_cast<time_t>(m_iBaseTime);
    std::tm local{};
    ::localtime_r(&base, &local);
    std::memcpy(header, kSnifferMagic, 16);
    header[16] = 0x1A;
    Put16(header + 17, 1);
    Put16(header + 19, 18);
    Put16(header + 23, 1);
    Put16(header + 25, 16);
    Put16(header + 27, (local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
    Put16(header + 29,
          ((local.tm_year + 1900 - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    header[31] = 4;
    header[32] = 1;
    header[33] = 1;
    header[34] = 4;
    Append(header, kSnifferHeaderSize);
    m_nHeaderBuffered = kSnifferHeaderSize;
    return true;
}

bool qorTRFile::ReadHeader() {
    uint8_t header[kSnifferHeaderSize] = {};
    ssize_t got = ::pread(m_nFile, header, sizeof header, 0);
    if (got < static_cast<ssize_t>(kAppendMinimumSize)) {
        return false;
    }
    if (m_dwType == kTypeTcpdump) {
        m_iBaseTime = 0;
        return Get32(header) == 0xA1B2C3D4;
    }
    if (m_dwType != kTypeSniffer || got < static_cast<ssize_t>(kSnifferHeaderSize) ||
        std::memcmp(header, kSnifferMagic, 16) != 0 || header[16] != 0x1A) {
        return false;
    }
    // The base time is the creation stamp, to the two seconds it keeps.
    uint32_t dosTime = Get16(header + 27);
    uint32_t dosDate = Get16(header + 29);
    std::tm local{};
    local.tm_year = static_cast<int>((dosDate >> 9) + 1980 - 1900);
    local.tm_mon = static_cast<int>(((dosDate >> 5) & 0xF) - 1);
    local.tm_mday = static_cast<int>(dosDate & 0x1F);
    local.tm_hour = static_cast<int>(dosTime >> 11);
    local.tm_min = static_cast<int>((dosTime >> 5) & 0x3F);
    local.tm_sec = static_cast<int>((dosTime & 0x1F) * 2);
    local.tm_isdst = -1;
    time_t base = ::mktime(&local);
    if (base == static_cast<time_t>(-1)) {
        return false;
    }
    m_iBaseTime = base;
    return SetSnifferOrigin();
}

size_t qorTRFile::RecordHeaderSize() const {
    return m_dwType == kTypeTcpdump ? kTcpdumpRecordHeader : kSnifferRecordHeader;
}

bool qorTRFile::FindAppendPoint(uint64_t uFileSize) {
    const size_t nHeader = RecordHeaderSize();
    uint64_t uEnd = m_dwType == kTypeTcpdump ? kTcpdumpHeaderSize : kSnifferHeaderSize;
    uint64_t uCounted = 0;
    // Only the records' headers are read, a buffer's worth at a time.
    const uint8_t* pChunk = m_pBuffer.get();
    uint64_t uChunkStart = 0;
    size_t nChunk = 0;
    while (uEnd + nHeader <= uFileSize) {
        if (uEnd + nHeader > uChunkStart + nChunk) {
            const ssize_t got = ::pread(m_nFile, m_pBuffer.get(), kBufferSize, static_cast<off_t>(uEnd));
            if (got < 0) {
                SetErrorFromErrno(errno);
                return false;
            }
            uChunkStart = uEnd;
            nChunk = static_cast<size_t>(got);
            if (nChunk < nHeader) {
                break;
            }
        }
        const uint8_t* p = pChunk + (uEnd - uChunkStart);
        uint32_t stored = 0;
        if (m_dwType == kTypeTcpdump) {
            stored = Get32(p + 8);
            if (stored > kTcpdumpSnapLength) {
                break;
            }
        } else {
            const uint32_t length = Get16(p + 2);
            // Only frame records as this writer makes them, their lengths
            // agreeing.
            if (Get16(p) != 4 || length < 14 || Get16(p + 12) != length - 14) {
                break;
            }
            stored = length - 14;
        }
        const uint64_t uRecordEnd = uEnd + nHeader + stored;
        if (uRecordEnd > uFileSize) {
            break;
        }
        uEnd = uRecordEnd;
        uCounted += stored + 20;
    }
    if (uEnd < uFileSize && ::ftruncate(m_nFile, static_cast<off_t>(uEnd)) != 0) {
        SetErrorFromErrno(errno);
        return false;
    }
    m_uFlushedEnd = uEnd;
    m_uAppendedSize = uCounted;
    return true;
}

void qorTRFile::Append(const void* pData, size_t nBytes) {
    std::memcpy(m_pBuffer.get() + m_nBuffered, pData, nBytes);
    m_nBuffered += nBytes;
}

bool qorTRFile::WriteRecord(const rp::PacketRecord& record) {
    if (m_nFile < 0 || m_dwType == kTypeUnwritable) {
        return false;
    }
    if (m_nError != kErrorNone) {
        return false;
    }
    uint32_t stored = StoredLength(record.m_dwCapturedLength);
    size_t headerSize = m_dwType == kTypeTcpdump ? kTcpdumpRecordHeader : kSnifferRecordHeader;
    if (m_nBuffered + headerSize + stored > kBufferSize && !Flush()) {
        return false;
    }
    uint8_t* p = m_pBuffer.get() + m_nBuffered;
    if (m_dwType == kTypeTcpdump) {
        Put32(p, record.m_dwSeconds);
        Put32(p + 4, record.m_dwMicroseconds);
        Put32(p + 8, stored);
        Put32(p + 12, record.m_dwWireLength > stored ? record.m_dwWireLength : stored);
    } else {
        int64_t ticks = ((static_cast<int64_t>(record.m_dwSeconds) - m_iSnifferOrigin) * 1000000 +
                         record.m_dwMicroseconds) /
                        2;
        uint32_t trueSize = record.m_dwWireLength > record.m_dwCapturedLength
                                ? record.m_dwWireLength
                                : record.m_dwCapturedLength;
        std::memset(p, 0, kSnifferRecordHeader);
        Put16(p, 4);
        Put16(p + 2, stored + 14);
        Put32(p + 6, static_cast<uint32_t>(ticks));
        p[10] = static_cast<uint8_t>(static_cast<uint64_t>(ticks) >> 32);
        Put16(p + 12, stored);
        p[15] = 0x18;
        if (trueSize > stored) {
            Put16(p + 16, trueSize < 0xFFFF ? trueSize : 0xFFFF);
        }
    }
    m_nBuffered += headerSize;
    if (stored != 0) {
        Append(record.m_pData, stored);
    }
    return true;
}

size_t qorTRFile::WholeRecordsIn(size_t nBytes) const {
    const uint8_t* p = m_pBuffer.get();
    size_t end = m_nHeaderBuffered;
    if (nBytes < end) {
        return 0;
    }
    while (end < m_nBuffered) {
        size_t size = m_dwType == kTypeTcpdump ? kTcpdumpRecordHeader + Get32(p + end + 8)
                                               : 6 + Get16(p + end + 2);
        if (end + size > nBytes) {
            break;
        }
        end += size;
    }
    return end;
}

bool qorTRFile::Flush() {
    size_t done = 0;
    int err = 0;
    while (done < m_nBuffered) {
        ssize_t n = ::pwrite(m_nFile, m_pBuffer.get() + done, m_nBuffered - done,
                             static_cast<off_t>(m_uFlushedEnd + done));
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
    }
    if (err == 0) {
        m_uFlushedEnd += done;
        m_nBuffered = 0;
        m_nHeaderBuffered = 0;
        return true;
    }
    // Keep only whole records on the disk; a device that cannot be cut
    // (a character device) keeps what it took.
    size_t whole = WholeRecordsIn(done);
    int cut = ::ftruncate(m_nFile, static_cast<off_t>(m_uFlushedEnd + whole));
    static_cast<void>(cut);
    m_uRecordsDropped += RecordsFrom(whole);
    m_uFlushedEnd += whole;
    m_nBuffered = 0;
    m_nHeaderBuffered = 0;
    SetErrorFromErrno(err);
    return false;
}

uint64_t qorTRFile::RecordsFrom(size_t nFrom) const {
    const uint8_t* p = m_pBuffer.get();
    size_t at = nFrom < m_nHeaderBuffered ? m_nHeaderBuffered : nFrom;
    uint64_t records = 0;
    while (at < m_nBuffered) {
        at += m_dwType == kTypeTcpdump ? kTcpdumpRecordHeader + Get32(p + at + 8) : 6 + Get16(p + at + 2);
        ++records;
    }
    return records;
}

bool qorTRFile::Close() {
    m_nCloseError = kErrorNone;
    if (m_nFile >= 0) {
        bool flushed = m_nError != kErrorNone || Flush();
        int32_t error = flushed ? 0 : m_nError;
        if (::close(m_nFile) != 0 && flushed) {
            error = static_cast<int32_t>(plat::SetLastErrorFromErrno(errno));
        }
        if (error != 0) {
            PACKETLOG_ERROR(m_pLogger, "fclose returned error %d (%s)", error,
                            ErrorWords(static_cast<uint32_t>(error)).c_str());
        }
        m_nCloseError = error;
        m_nFile = -1;
    }
    m_nBuffered = 0;
    m_nHeaderBuffered = 0;
    m_nError = kErrorNone;
    return m_nCloseError == kErrorNone;
}
