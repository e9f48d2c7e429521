#include "PcapFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/OwnFiles.h"

namespace shim {
namespace {

constexpr uint32_t kMagicMicro = 0xa1b2c3d4u;
constexpr uint32_t kMagicNano = 0xa1b23c4du;
constexpr size_t kRecordHeaderSize = 16;
constexpr size_t kWindowSize = 65536;
// A read of at least this much goes straight into the caller's buffer:
// the kernel copies it once, where through the window it would be copied
// twice.  Smaller records come many to a window, one system call for all.
constexpr size_t kDirectBytes = 16384;

uint32_t Word(const uint8_t* bytes, bool swapped) {
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return swapped ? __builtin_bswap32(value) : value;
}

std::string At(uint64_t record, uint64_t offset) {
    return "record " + std::to_string(record) + " (at byte " + std::to_string(offset) + ")";
}

}  // namespace

bool PcapReader::parseHeader(const uint8_t* bytes, PcapHeader& header) {
    uint32_t magic = Word(bytes, false);
    if (magic == kMagicMicro || magic == kMagicNano) {
        header.m_bSwapped = false;
    } else if (__builtin_bswap32(magic) == kMagicMicro || __builtin_bswap32(magic) == kMagicNano) {
        header.m_bSwapped = true;
        magic = __builtin_bswap32(magic);
    } else {
        return false;
    }
    header.m_bNanoseconds = magic == kMagicNano;
    header.m_dwSnapLength = Word(bytes + 16, header.m_bSwapped);
    header.m_dwLinkType = Word(bytes + 20, header.m_bSwapped) & 0x0FFFFFFFu;
    return true;
}

bool PcapReader::attach(plat::FileHandle file) {
    close();
    m_hFile = file;
    m_Window.resize(kWindowSize);
    rewind();
    uint8_t bytes[kFileHeaderSize];
    size_t done = 0;
    if (!readAt(0, bytes, sizeof bytes, done) || done != sizeof bytes || !parseHeader(bytes, m_Header)) {
        close();
        return false;
    }
    return true;
}

void PcapReader::close() {
    if (m_hFile != plat::kInvalidFile) {
        plat::CloseFile(m_hFile);
        m_hFile = plat::kInvalidFile;
    }
    m_nWindowLength = 0;
}

void PcapReader::rewind() {
    m_bLargeBefore = false;
    m_qwOffset = kFileHeaderSize;
    m_qwRecord = 0;
    m_bStopped = false;
}

bool PcapReader::readAt(uint64_t offset, void* out, size_t count, size_t& done) {
    auto* to = static_cast<uint8_t*>(out);
    done = 0;
    // What the window holds of the range is taken from it, and only the
    // rest is read: a record that runs past the window's end is not read
    // again from its start.
    const uint64_t windowEnd = m_qwWindowStart + m_nWindowLength;
    if (offset >= m_qwWindowStart && offset < windowEnd) {
        done = static_cast<size_t>(std::min<uint64_t>(count, windowEnd - offset));
        std::memcpy(to, m_Window.data() + (offset - m_qwWindowStart), done);
        if (done == count) {
            return true;
        }
    }
    const uint64_t restAt = offset + done;
    const size_t rest = count - done;
    if (rest >= kDirectBytes) {
        size_t got = 0;
        const bool read = plat::ReadFileAt(m_hFile, static_cast<int64_t>(restAt), to + done, rest, got);
        done += got;
        return read;
    }
    m_nWindowLength = 0;
    if (!plat::ReadFileAt(m_hFile, static_cast<int64_t>(restAt), m_Window.data(), m_Window.size(),
                          m_nWindowLength)) {
        m_nWindowLength = 0;
        return false;
    }
    m_qwWindowStart = restAt;
    const size_t more = std::min(rest, m_nWindowLength);
    std::memcpy(to + done, m_Window.data(), more);
    done += more;
    return true;
}

PcapReader::RecordHeader PcapReader::decode(const uint8_t* bytes) const {
    return {Word(bytes, m_Header.m_bSwapped), Word(bytes + 4, m_Header.m_bSwapped),
            Word(bytes + 8, m_Header.m_bSwapped), Word(bytes + 12, m_Header.m_bSwapped)};
}

bool PcapReader::looksLikeRecord(const RecordHeader& record) const {
    const uint32_t fractions = m_Header.m_bNanoseconds ? 1000000000u : 1000000u;
    return record.m_dwFraction < fractions && record.m_dwOriginal >= record.m_dwCaptured;
}

PcapReader::Result PcapReader::damaged(std::string what, bool skipped) {
    m_Damage.m_qwRecord = m_qwRecord;
    m_Damage.m_qwOffset = m_qwOffset;
    m_Damage.m_strWhat = std::move(what);
    m_Damage.m_bSkipped = skipped;
    m_bStopped = !skipped;
    return Result::kDamaged;
}

PcapReader::Result PcapReader::oversized(const RecordHeader& record, uint32_t limit) {
    const std::string what = At(m_qwRecord, m_qwOffset) + " holds " + std::to_string(record.m_dwCaptured) +
                             " bytes, more than any frame (" + std::to_string(limit) + " at most)";
    plat::FileStatus status;
    if (!plat::GetOpenFileStatus(m_hFile, status)) {
        return damaged(what + ", and the file's size cannot be learnt: " + std::strerror(errno), false);
    }
    const uint64_t after = m_qwOffset + kRecordHeaderSize + record.m_dwCaptured;
    if (!looksLikeRecord(record) || !recordsFollow(after, limit, status.m_qwSize)) {
        return damaged(what + ", and what follows it is not a record", false);
    }
    Result result = damaged(what, true);
    m_qwOffset = after;
    return result;
}

bool PcapReader::recordsFollow(uint64_t offset, uint32_t limit, uint64_t fileSize) {
    // A length is trusted when the file ends right there, or a whole
    // record follows it, and the one after that (if the file goes on)
    // starts like one: two records in a row seldom come out of garbage.
    // Zero bytes (a region the writer never filled) would read as empty
    // records, so an empty record counts against it.  The second record
    // may be cut or oversized itself: the reader meets that in its turn.
    constexpr int kRecordsChecked = 2;
    for (int checked = 0; checked < kRecordsChecked; ++checked) {
        if (offset == fileSize) {
            return true;
        }
        uint8_t bytes[kRecordHeaderSize];
        size_t done = 0;
        if (offset > fileSize || !readAt(offset, bytes, sizeof bytes, done)) {
            return false;
        }
        if (done != sizeof bytes) {
            return checked > 0;
        }
        const RecordHeader following = decode(bytes);
        if (!looksLikeRecord(following) || following.m_dwCaptured == 0 ||
            (checked == 0 && following.m_dwCaptured > limit)) {
            return false;
        }
        offset += kRecordHeaderSize + following.m_dwCaptured;
        if (offset > fileSize) {
            return checked > 0;
        }
    }
    return true;
}

PcapReader::Result PcapReader::next(uint8_t* data, uint32_t room, uint32_t& captured, uint32_t& original,
                                    uint32_t& seconds, uint32_t& fraction) {
    if (m_hFile == plat::kInvalidFile) {
        return Result::kEnd;
    }
    if (m_bStopped) {
        return Result::kDamaged;
    }
    uint8_t bytes[kRecordHeaderSize];
    size_t got = 0;
    // After a record read straight into the caller's buffer, the next one
    // is likely as large: its header is read on its own, so that its data
    // is not copied through the window first.
    const bool read = m_bLargeBefore ? plat::ReadFileAt(m_hFile, static_cast<int64_t>(m_qwOffset), bytes, sizeof bytes, got)
                                     : readAt(m_qwOffset, bytes, sizeof bytes, got);
    if (!read) {
        ++m_qwRecord;
        return damaged(At(m_qwRecord, m_qwOffset) + " cannot be read: " + std::strerror(errno), false);
    }
    if (got == 0) {
        return Result::kEnd;
    }
    ++m_qwRecord;
    if (got != sizeof bytes) {
        return damaged(At(m_qwRecord, m_qwOffset) + " is cut short: the file ends " + std::to_string(got) +
                           " bytes into its 16-byte header",
                       false);
    }
    const RecordHeader record = decode(bytes);
    const uint32_t limit = std::min(kMaxRecord, room);
    if (record.m_dwCaptured > limit) {
        return oversized(record, limit);
    }
    if (!readAt(m_qwOffset + kRecordHeaderSize, data, record.m_dwCaptured, got)) {
        return damaged(At(m_qwRecord, m_qwOffset) + " cannot be read: " + std::strerror(errno), false);
    }
    if (got != record.m_dwCaptured) {
        return damaged(At(m_qwRecord, m_qwOffset) + " is cut short: it holds " +
                           std::to_string(record.m_dwCaptured) + " bytes and the file ends after " +
                           std::to_string(got) + " of them",
                       false);
    }
    m_qwOffset += kRecordHeaderSize + record.m_dwCaptured;
    m_bLargeBefore = record.m_dwCaptured >= kDirectBytes;
    seconds = record.m_dwSeconds;
    fraction = record.m_dwFraction;
    captured = record.m_dwCaptured;
    original = std::max(record.m_dwOriginal, record.m_dwCaptured);
    return Result::kRecord;
}

bool PcapWriter::open(const std::string& path, uint32_t linkType, std::string& problem) {
    close();
    std::string why;
    const int file = plat::OpenOwnFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0644, &why);
    if (file < 0) {
        problem = why;
        return false;
    }
    m_hFile = file;
    m_strPath = path;
    // Version 2.4 in two 16-bit halves, zone and accuracy 0.
    const uint32_t header[6] = {kMagicMicro, 0x00040002u, 0, 0, PcapReader::kMaxRecord, linkType};
    size_t done = 0;
    if (!plat::WriteToFile(m_hFile, header, sizeof header, done)) {
        problem = path + ": " + std::strerror(errno);
        close();
        return false;
    }
    m_qwSize = sizeof header;
    return true;
}

bool PcapWriter::write(const uint8_t* data, uint32_t captured, uint32_t original, uint32_t seconds,
                       uint32_t microseconds, std::string& problem) {
    if (m_hFile < 0) {
        return true;
    }
    const uint32_t record[4] = {seconds, microseconds, captured, original};
    const size_t size = sizeof record + captured;
    if (m_Staging.size() < size) {
        m_Staging.resize(size);
    }
    std::memcpy(m_Staging.data(), record, sizeof record);
    std::memcpy(m_Staging.data() + sizeof record, data, captured);
    size_t done = 0;
    if (plat::WriteToFile(m_hFile, m_Staging.data(), size, done)) {
        m_qwSize += size;
        return true;
    }
    problem = m_strPath + ": " + std::strerror(errno);
    // The part of the record that went out is cut off again where that
    // can be done, so the file stays a capture of whole records.
    if (done != 0 && ::ftruncate(m_hFile, static_cast<off_t>(m_qwSize)) != 0) {
        problem += " (and its last record is cut short)";
    }
    close();
    return false;
}

void PcapWriter::close() {
    if (m_hFile >= 0) {
        plat::CloseFile(m_hFile);
        m_hFile = -1;
    }
}

}  // namespace shim
