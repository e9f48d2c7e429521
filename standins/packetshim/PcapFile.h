#pragma once
// Capture files in the classic pcap format: a reader that hands out one
// record at a time into the caller's buffer (no allocation per record) and
// a writer for the replay adapter's pass, drop and inject files.

#include <cstdint>
#include <cstdio>
#include <string>

namespace shim {

struct PcapHeader {
    uint32_t m_dwLinkType = 0;
    uint32_t m_dwSnapLength = 0;
    bool m_bNanoseconds = false;
    bool m_bSwapped = false;
};

class PcapReader {
public:
    // Bytes one record may carry at most; longer records are refused.
    static constexpr uint32_t kMaxRecord = 262144;

    ~PcapReader() { close(); }
    // False for a file that is missing or not a capture file.
    bool open(const std::string& path);
    void close();
    void rewind();
    const PcapHeader& header() const { return m_Header; }

    enum class Result { kRecord, kEnd, kCorrupt };
    // Reads the next record's bytes into `data` (room for `room` bytes):
    // captured and original lengths, seconds and sub-second units
    // (microseconds, or nanoseconds when the file says so).
    Result next(uint8_t* data, uint32_t room, uint32_t& captured, uint32_t& original, uint32_t& seconds,
                uint32_t& fraction);

    static bool readHeader(std::FILE* file, PcapHeader& header);

private:
    std::FILE* m_pFile = nullptr;
    PcapHeader m_Header;
};

class PcapWriter {
public:
    ~PcapWriter() { close(); }
    bool open(const std::string& path, uint32_t linkType);
    void write(const uint8_t* data, uint32_t captured, uint32_t original, uint32_t seconds, uint32_t microseconds);
    void close();
    bool isOpen() const { return m_pFile != nullptr; }

private:
    std::FILE* m_pFile = nullptr;
};

}  // namespace shim
