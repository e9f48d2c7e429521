// Treats arbitrary bytes as a tagged stream from outside: walks it with each
// reader of the decoder, loads it as an event (and then checks, renders and
// re-serialises whatever was loaded), and reads it as an event filter's
// binary form.  Nothing may read outside the bytes, loop for ever or crash.
#include <cstdint>
#include <string>
#include <vector>

#include "qorEventLib/CEventFilter.h"
#include "qorEventLib/CQorEvent.h"
#include "qorToolsLib/qorStreamDecode.h"

namespace {

constexpr size_t kMaxInput = 1 << 16;

// Reads every item with the extractor its type calls for.
void Walk(qorStreamDecode& decoder) {
    for (size_t steps = 0; steps < kMaxInput; ++steps) {
        const char* name = nullptr;
        uint32_t userType = 0;
        uint8_t type = 0;
        StatusCode status = decoder.PeekHeader(&name, &userType, &type);
        if (status != QOR_S_OK) {
            return;
        }
        uint8_t small = 0;
        uint32_t value = 0;
        uint64_t wide = 0;
        uint8_t huge[16];
        const uint8_t* data = nullptr;
        std::string text;
        std::u16string wideText;
        uint32_t elements[64];
        uint8_t elementType = 0;
        switch (type) {
            case ET_STRUCT:
                status = decoder.BeginStructure(&name, &userType);
                break;
            case ET_END:
                status = decoder.EndStructure();
                break;
            case ET_UINT8:
            case ET_SINT8:
                status = decoder.ExtractInt8(&name, &userType, &small);
                break;
            case ET_UINT16:
            case ET_SINT16:
                status = decoder.ExtractInteger(&name, &userType, &value);
                break;
            case ET_UINT32:
            case ET_SINT32:
                status = decoder.ExtractInt32(&name, &userType, &value, type);
                break;
            case ET_UINT64:
            case ET_SINT64:
                status = decoder.ExtractInt64(&name, &userType, &wide);
                break;
            case ET_UINT128:
            case ET_SINT128:
                status = decoder.ExtractInt128(&name, &userType, huge);
                break;
            case ET_BLOB:
                status = decoder.ExtractBlob(&name, &userType, &data, &value);
                break;
            case ET_WSTRING:
            case ET_WTEXT:
                status = decoder.ExtractWideString(&name, &userType, wideText);
                break;
            case ET_ARRAY:
                status = decoder.ExtractArray(&name, &userType, elements, sizeof elements,
                                              &elementType, &value);
                break;
            default:
                status = decoder.ExtractString(&name, &userType, text);
                break;
        }
        if (status != QOR_S_OK && decoder.SkipItem() != QOR_S_OK) {
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) {
        size = kMaxInput;
    }
    const uint32_t length = static_cast<uint32_t>(size);

    // Exact-size copies, so that any read past the end is caught.
    qorStreamDecode decoder(true);
    if (decoder.AttachBytes(data, length) == QOR_S_OK) {
        Walk(decoder);
    }

    qorStreamBufferOwner owner(true);
    if (owner.CreateReadBuffer(data, length) == QOR_S_OK) {
        CQorEvent event;
        event.Load(owner);
        event.ValidateIntegrity();
        event.GetAlertIdText();
        qorStreamBufferOwner again(true);
        event.Serialize(nullptr, again);
        std::string xml;
        event.ToXml(xml);
        event.ReleaseBuffers();
        event.Serialize(nullptr, again);

        CEventFilter filter;
        if (filter.FromBytes(data, size) == QOR_S_OK) {
            std::string text;
            filter.ToText(text);
            std::vector<uint8_t> bytes;
            filter.ToBytes(bytes);
            event.Matches(filter);
        }
    }
    return 0;
}
