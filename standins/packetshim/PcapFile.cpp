#include "PcapFile.h"

#include <cstring>

namespace shim {
namespace {

constexpr uint32_t kMagicMicro = 0xa1b2c3d4u;
constexpr uint32_t kMagicNano = 0xa1b23c4du;

uint32_t Word(const uint8_t* bytes, bool swapped) {
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return swapped ? __builtin_bswap32(value) : value;
}

}  // namespace

bool PcapReader::readHeader(std::FILE* file, PcapHeader& header) {
    uint8_t bytes[24];
    if (std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes) {
        return false;
    }
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

bool PcapReader::open(const std::string& path) {
    close();
    m_pFile = std::fopen(path.c_str(), "rbe");
    if (m_pFile == nullptr) {
        return false;
    }
    if (!readHeader(m_pFile, m_Header)) {
        close();
        return false;
    }
    return true;
}

void PcapReader::close() {
    if (m_pFile != nullptr) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}

void PcapReader::rewind() {
    if (m_pFile != nullptr) {
        std::fseek(m_pFile, 24, SEEK_SET);
    }
}

PcapReader::Result PcapReader::next(uint8_t* data, uint32_t room, uint32_t& captured, uint32_t& original,
                                    uint32_t& seconds, uint32_t& fraction) {
    if (m_pFile == nullptr) {
        return Result::kEnd;
    }
    uint8_t bytes[16];
    size_t got = std::fread(bytes, 1, sizeof bytes, m_pFile);
    if (got == 0) {
        return Result::kEnd;
    }
    if (got != sizeof bytes) {
        return Result::kCorrupt;
    }
    seconds = Word(bytes, m_Header.m_bSwapped);
    fraction = Word(bytes + 4, m_Header.m_bSwapped);
    captured = Word(bytes + 8, m_Header.m_bSwapped);
    original = Word(bytes + 12, m_Header.m_bSwapped);
    if (captured > kMaxRecord || captured > room) {
        return Result::kCorrupt;
    }
    if (std::fread(data, 1, captured, m_pFile) != captured) {
        return Result::kCorrupt;
    }
    if (original < captured) {
        original = captured;
    }
    return Result::kRecord;
}

bool PcapWriter::open(const std::string& path, uint32_t linkType) {
    close();
    m_pFile = std::fopen(path.c_str(), "wbe");
    if (m_pFile == nullptr) {
        return false;
    }
    const uint32_t header[6] = {kMagicMicro, 0x00040002u, 0, 0, PcapReader::kMaxRecord, linkType};
    // Version 2.4 in two 16-bit halves, zone and accuracy 0.
    std::fwrite(header, sizeof header, 1, m_pFile);
    std::fflush(m_pFile);
    return true;
}

void PcapWriter::write(const uint8_t* data, uint32_t captured, uint32_t original, uint32_t seconds,
                       uint32_t microseconds) {
    if (m_pFile == nullptr) {
        return;
    }
    const uint32_t record[4] = {seconds, microseconds, captured, original};
    std::fwrite(record, sizeof record, 1, m_pFile);
    std::fwrite(data, 1, captured, m_pFile);
    // Whole records on disk at once: a reader may follow the file while the
    // replay runs.
    std::fflush(m_pFile);
}

void PcapWriter::close() {
    if (m_pFile != nullptr) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}

}  // namespace shim
