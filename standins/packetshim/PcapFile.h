#pragma once
// Capture files in the classic pcap format: a reader that hands out one
// record at a time into the caller's buffer (no allocation per record) and
// says where and how a file is damaged, and a writer for the replay
// adapter's pass, drop and inject files.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Files.h"

namespace shim {

struct PcapHeader {
    uint32_t m_dwLinkType = 0;
    uint32_t m_dwSnapLength = 0;
    bool m_bNanoseconds = false;
    bool m_bSwapped = false;
};

// Where a capture file stops being a sequence of records, and how.
struct PcapDamage {
    uint64_t m_qwRecord = 0;  // the damaged record, counted from 1
    uint64_t m_qwOffset = 0;  // where its header starts in the file
    std::string m_strWhat;    // what is wrong with it, in words, naming the record
    // The record's length could be trusted: the reader went past it and
    // reads on with the record after it.
    bool m_bSkipped = false;
};

class PcapReader {
public:
    // Bytes one record may carry at most (what pcap readers accept for
    // Ethernet); a longer record is damage.
    static constexpr uint32_t kMaxRecord = 262144;
    static constexpr size_t kFileHeaderSize = 24;

    PcapReader() = default;
    PcapReader(const PcapReader&) = delete;
    PcapReader& operator=(const PcapReader&) = delete;
    ~PcapReader() { close(); }

    // Takes over `file`, opened to read, and reads its file header; false
    // (the file closed) when it does not start with a classic pcap header.
    bool attach(plat::FileHandle file);
    void close();
    // Goes back to the first record.
    void rewind();
    const PcapHeader& header() const { return m_Header; }

    enum class Result { kRecord, kEnd, kDamaged };
    // Reads the next record's bytes into `data` (room for `room` bytes):
    // captured and original lengths, seconds and sub-second units
    // (microseconds, or nanoseconds when the file says so).  kDamaged: see
    // damage(); unless it was skipped, every later call answers kDamaged
    // again without reading.
    Result next(uint8_t* data, uint32_t room, uint32_t& captured, uint32_t& original, uint32_t& seconds,
                uint32_t& fraction);
    const PcapDamage& damage() const { return m_Damage; }
    // The number of the record last delivered or found damaged.
    uint64_t record() const { return m_qwRecord; }

    // The file header in these 24 bytes; false when they are not one.
    static bool parseHeader(const uint8_t* bytes, PcapHeader& header);

private:
    struct RecordHeader {
        uint32_t m_dwSeconds;
        uint32_t m_dwFraction;
        uint32_t m_dwCaptured;
        uint32_t m_dwOriginal;
    };
    // Reads `count` bytes at `offset` through the window; `done` is fewer
    // at the end of the file.  False on a read error (errno set).
    bool readAt(uint64_t offset, void* out, size_t count, size_t& done);
    RecordHeader decode(const uint8_t* bytes) const;
    // Whether the header's time and lengths are those of a record.
    bool looksLikeRecord(const RecordHeader& record) const;
    // Answers a record longer than any frame: skipped when its length can
    // be trusted, the end of the readable file when not.
    Result oversized(const RecordHeader& record, uint32_t limit);
    // Whether what starts at `offset` reads as records (or is the end).
    bool recordsFollow(uint64_t offset, uint32_t limit, uint64_t fileSize);
    Result damaged(std::string what, bool skipped);

    plat::FileHandle m_hFile = plat::kInvalidFile;
    PcapHeader m_Header;
    uint64_t m_qwOffset = kFileHeaderSize;  // where the next record starts
    uint64_t m_qwRecord = 0;
    bool m_bStopped = false;  // damage ended the readable part
    PcapDamage m_Damage;
    // Bytes of the file from m_qwWindowStart, read ahead so that a record
    // costs no system call of its own.
    std::vector<uint8_t> m_Window;
    uint64_t m_qwWindowStart = 0;
    size_t m_nWindowLength = 0;
    // The last record was read straight into the caller's buffer.
    bool m_bLargeBefore = false;
};

class PcapWriter {
public:
    PcapWriter() = default;
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    ~PcapWriter() { close(); }

    // Creates `path` afresh (a file of this account's, never through
    // another account's link) and writes the file header.  False with the
    // reason in `problem`, naming the file.
    bool open(const std::string& path, uint32_t linkType, std::string& problem);
    // Writes one whole record.  False when it could not be written: the
    // reason is in `problem`, the file is given up and later writes do
    // nothing.
    bool write(const uint8_t* data, uint32_t captured, uint32_t original, uint32_t seconds, uint32_t microseconds,
               std::string& problem);
    void close();
    bool isOpen() const { return m_hFile >= 0; }

private:
    int m_hFile = -1;
    std::string m_strPath;
    uint64_t m_qwSize = 0;  // bytes of whole records (and the header) written
    // One record at a time, so a reader following the file never sees half
    // a record: sized for the largest once, reused for every record.
    std::vector<uint8_t> m_Staging;
};

}  // namespace shim
