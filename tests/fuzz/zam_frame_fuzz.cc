// Hands arbitrary bytes to the signature module's frame parser, its
// signatures and its reset builder, as a captured frame of exactly that
// length.  The first two bytes are the frame's time stamp, so the scan
// tracker sees frames over time.
#include <cstdint>
#include <cstring>
#include <memory>

#include "FrameParser.h"
#include "ResetFrame.h"
#include "Signatures.h"

namespace {

void Ignore(void*, const sigmod::Match&) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sigmod::SignatureSet* signatures = new sigmod::SignatureSet();
    if (size < 2) {
        return 0;
    }
    uint32_t seconds = (uint32_t(data[0]) << 8) | data[1];
    // A copy of exactly the frame's size, so any read past it is caught.
    size_t length = size - 2;
    std::unique_ptr<uint8_t[]> frame(new uint8_t[length == 0 ? 1 : length]);
    std::memcpy(frame.get(), data + 2, length);
    sigmod::ParsedFrame parsed = sigmod::ParseFrame(frame.get(), static_cast<uint32_t>(length));
    signatures->Inspect(parsed, seconds, &Ignore, nullptr);
    sigmod::ResetFrame reset;
    sigmod::BuildReset(parsed, (seconds & 1) != 0, reset);
    if (reset.m_bValid && sigmod::ParseFrame(reset.m_Bytes, reset.m_dwLength).m_Kind !=
                              sigmod::FrameKind::kTcp) {
        __builtin_trap();
    }
    signatures->Housekeeping(seconds);
    return 0;
}
