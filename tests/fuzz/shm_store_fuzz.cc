// Treats arbitrary bytes as the image of a shared-memory store segment
// written by another process, and runs every store operation over it.
// Nothing may read or write outside the image, loop for ever or crash.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qorToolsLib/GenAlloc.h"
#include "qorToolsLib/SharedIdList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kMaxImage = 1 << 16;
    size = size < kMaxImage ? size : kMaxImage;
    // Word-aligned, as a mapping is.
    std::vector<uint32_t> words((size + 3) / 4 + 1, 0);
    auto* image = reinterpret_cast<uint8_t*>(words.data());
    if (size > 0) {
        std::memcpy(image, data, size);
    }
    GenAlloc allocator(image + 12, image, size);
    if (!allocator.Init(size > 24 ? static_cast<uint32_t>(size - 24) : 0, false)) {
        return 0;
    }
    SharedIdList list(image, size, allocator);
    std::vector<std::string> labels, values;
    std::string value;
    for (uint32_t id : {0u, 1u, 2u, 3u, 7u}) {
        list.GetSection(id, labels, values);
        list.GetValue(id, "label", value);
    }
    list.SetSection(1, "label", "value");
    list.SetSection(2, "a", "");
    list.SetPairs(1, {{"a", "1"}, {"b", "2"}, {"a", "3"}});
    list.Insert(5);
    list.RemoveValue(1, "a");
    list.ClearSection(3);
    list.Remove(2);
    list.NextId();
    allocator.Free(allocator.Alloc(40), 40);
    list.ClearAll();
    list.Insert(0);
    return 0;
}
