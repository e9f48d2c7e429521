// Hands arbitrary bytes to the replay adapter's capture-file reader as a
// capture file, and reads it to its end: every record it delivers fits the
// frame buffer, damage that ends the file stays the end, a damaged record
// it skips is followed by reading on, and the records are counted upwards.
// The frame buffer is small, so records too long for it (and the reader's
// search for the records after one) come from small inputs.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "PcapFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint32_t kRoom = 2048;
    static std::vector<uint8_t>* frame = new std::vector<uint8_t>(kRoom);
    const int file = ::memfd_create("capture", MFD_CLOEXEC);
    if (file < 0) {
        return 0;
    }
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(file, data + written, size - written);
        if (n <= 0) {
            ::close(file);
            return 0;
        }
        written += static_cast<size_t>(n);
    }
    shim::PcapReader reader;
    if (!reader.attach(file)) {
        return 0;
    }
    uint64_t lastRecord = 0;
    for (;;) {
        uint32_t captured = 0;
        uint32_t original = 0;
        uint32_t seconds = 0;
        uint32_t fraction = 0;
        const shim::PcapReader::Result result =
            reader.next(frame->data(), static_cast<uint32_t>(frame->size()), captured, original, seconds, fraction);
        if (result == shim::PcapReader::Result::kEnd) {
            break;
        }
        if (reader.record() <= lastRecord) {
            __builtin_trap();
        }
        lastRecord = reader.record();
        if (result == shim::PcapReader::Result::kRecord) {
            if (captured > kRoom || original < captured) {
                __builtin_trap();
            }
            continue;
        }
        const shim::PcapDamage& damage = reader.damage();
        if (damage.m_qwRecord != lastRecord || damage.m_qwOffset >= size || damage.m_strWhat.empty()) {
            __builtin_trap();
        }
        if (!damage.m_bSkipped) {
            if (reader.next(frame->data(), static_cast<uint32_t>(frame->size()), captured, original, seconds,
                            fraction) != shim::PcapReader::Result::kDamaged) {
                __builtin_trap();
            }
            break;
        }
    }
    return 0;
}
