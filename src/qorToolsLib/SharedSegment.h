#pragma once
// Checked access to the image of the shared-memory store's segment.  The
// segment is written by other processes too, so every offset, size and
// text read from it is checked against the part of the segment this
// process has mapped before it is followed: a damaged segment makes an
// operation fail, never read or write outside the mapping.
//
// Layout (32-bit little-endian words; offsets from the segment's first
// byte; 0 means none):
//   0 segment size   4 last section id   8 first section node
//   12 first free block   16 start of the block area (24)   20 its end
//   24... blocks of whole 12-byte units.

#include <cstdint>
#include <cstring>
#include <string_view>

class SharedSegment {
public:
    static constexpr uint32_t kSizeOffset = 0;
    static constexpr uint32_t kLastIdOffset = 4;
    static constexpr uint32_t kSectionHeadOffset = 8;
    static constexpr uint32_t kFreeHeadOffset = 12;
    static constexpr uint32_t kAreaStartOffset = 16;
    static constexpr uint32_t kAreaEndOffset = 20;
    static constexpr uint32_t kAreaStart = 24;
    static constexpr uint32_t kUnit = 12;

    SharedSegment() = default;
    // `limit` is how many bytes from `base` this process may touch.
    SharedSegment(uint8_t* base, uint64_t limit)
        : m_pBase(base),
          m_dwLimit(limit > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(limit)) {}

    uint8_t* Base() const { return m_pBase; }
    uint32_t Limit() const { return m_dwLimit; }

    static uint64_t RoundToUnit(uint64_t size) { return (size + kUnit - 1) / kUnit * kUnit; }

    bool ReadWord(uint32_t offset, uint32_t& value) const {
        if (m_pBase == nullptr || offset % 4 != 0 || uint64_t{offset} + 4 > m_dwLimit) {
            return false;
        }
        std::memcpy(&value, m_pBase + offset, 4);
        return true;
    }

    // Writes are made only at offsets already checked; out-of-range ones
    // are dropped all the same.
    void WriteWord(uint32_t offset, uint32_t value) {
        if (m_pBase != nullptr && offset % 4 == 0 && uint64_t{offset} + 4 <= m_dwLimit) {
            std::memcpy(m_pBase + offset, &value, 4);
        }
    }

    // The end of the block area, when the header describes an area that
    // starts at 24 and ends on a unit boundary within the mapping.
    bool AreaEnd(uint32_t& end) const {
        uint32_t start = 0;
        if (!ReadWord(kAreaStartOffset, start) || start != kAreaStart ||
            !ReadWord(kAreaEndOffset, end)) {
            return false;
        }
        return end >= kAreaStart && end <= m_dwLimit && (end - kAreaStart) % kUnit == 0;
    }

    // `size` bytes at `offset` are whole units inside the area.
    static bool IsBlock(uint32_t offset, uint64_t size, uint32_t areaEnd) {
        return offset >= kAreaStart && (offset - kAreaStart) % kUnit == 0 && size >= kUnit &&
               size % kUnit == 0 && offset + size <= areaEnd;
    }

    // The text of a text block (a size word, then the text and its NUL);
    // `textOffset` points past the size word.
    bool ReadText(uint32_t textOffset, uint32_t areaEnd, std::string_view& text) const {
        uint32_t requested = 0;
        if (textOffset < kAreaStart + 4 || !ReadWord(textOffset - 4, requested) || requested < 8 ||
            !IsBlock(textOffset - 4, RoundToUnit(requested), areaEnd)) {
            return false;
        }
        const char* start = reinterpret_cast<const char*>(m_pBase + textOffset);
        const void* nul = std::memchr(start, '\0', requested - 4);
        if (nul == nullptr) {
            return false;
        }
        text = std::string_view(start, static_cast<size_t>(static_cast<const char*>(nul) - start));
        return true;
    }

    uint32_t OffsetOf(const void* address) const {
        return static_cast<uint32_t>(static_cast<const uint8_t*>(address) - m_pBase);
    }

private:
    uint8_t* m_pBase = nullptr;
    uint32_t m_dwLimit = 0;
};
