// Treats arbitrary bytes as the event ring the web-server module writes: the
// first 32 bytes are the header, the rest is laid into the ring from the
// read offset on.  The reader must stay inside the ring, end, and leave a
// ring the writer can use; the messages counted as waiting beforehand are
// exactly those it takes.  Each class text taken is read into pairs as the
// engine reads it, by its length.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ApacheEngine/CEngineApache.h"
#include "ApacheEngine/WebSharedMemory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> ring(kWebEvShmSize);
    static std::vector<char> classText(kWebMaxClassLength);
    std::memset(ring.data(), 0, ring.size());
    size_t header = size < kWebEvDataStart ? size : kWebEvDataStart;
    std::memcpy(ring.data(), data, header);
    uint32_t read;
    std::memcpy(&read, ring.data() + kWebEvRead, sizeof read);
    uint32_t offset = read >= kWebEvDataStart && read < kWebEvDataEnd ? read : kWebEvDataStart;
    for (size_t i = header; i < size && i - header < kWebEvCapacity; ++i) {
        ring[offset++] = data[i];
        if (offset == kWebEvDataEnd)
            offset = kWebEvDataStart;
    }
    const uint32_t waiting = WebRingCountWaiting(ring.data());
    WebEventRecord record;
    int32_t length = 0;
    // Every message taken frees at least a record's bytes.
    for (uint32_t n = 0; n <= kWebEvCapacity / kWebRecordSize; ++n) {
        if (WebRingTake(ring.data(), record, classText.data(), length) != WebRingResult::kTaken) {
            if (n != waiting)
                __builtin_trap();
            return 0;
        }
        if (length < 0 || static_cast<uint32_t>(length) > kWebMaxClassLength)
            __builtin_trap();
        // Read from an exact copy, so a read past the text is caught.
        std::vector<char> exact(classText.begin(), classText.begin() + length);
        std::vector<std::pair<std::string, std::string>> pairs;
        size_t leftOut = 0;
        CEngineApache::ClassTextPairs(exact.data(), length, pairs, leftOut);
        if (pairs.size() > CEngineApache::kMaxClassNames)
            __builtin_trap();
    }
    // Still taking messages after more than the ring can hold.
    __builtin_trap();
}
