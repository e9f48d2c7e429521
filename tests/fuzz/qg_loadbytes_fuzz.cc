// Treats arbitrary bytes as the byte image of a Qg alert event handed over
// by a host.  Loading must never read past the image, and an image that
// loads writes an image that loads to the same image again.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "qorCSFLib/QgGenericEvent.h"
#include "qorToolsLib/HostByteBuffer.h"

namespace {

std::vector<uint8_t> Image(QgGenericEvent& event) {
    HostHeapAllocator allocator;
    HostByteBuffer buffer{&allocator, nullptr, 0};
    if (event.WriteBytes(&buffer) != 0) {
        std::abort();
    }
    std::vector<uint8_t> image(buffer.GetData(), buffer.GetData() + buffer.GetLength());
    HostHeapAllocator::Free(buffer.m_pbyBlock);
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The image is copied, so that a read past it lands outside the copy.
    std::vector<uint8_t> copy(data, data + size);
    QgGenericEvent event;
    const auto length = static_cast<uint32_t>(copy.size());
    if (event.LoadBytes(copy.data(), &length) != 0) {
        return 0;
    }
    std::vector<uint8_t> first = Image(event);
    QgGenericEvent again;
    const auto firstLength = static_cast<uint32_t>(first.size());
    if (again.LoadBytes(first.data(), &firstLength) != 0 || Image(again) != first) {
        std::abort();
    }
    return 0;
}
