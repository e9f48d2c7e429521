// Reads every record of an arbitrary byte image as the detector issue table
// reader does, and touches every field.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qorToolsLib/CsvRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    FILE* stream = ::fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (stream == nullptr) {
        // Nothing would be parsed: a harness that cannot set itself up
        // fails rather than pass having tested nothing.
        std::abort();
    }
    size_t total = 0;
    while (CsvRecord* record = CsvRecordParse(stream)) {
        CsvRecord* copy = CsvRecordCopy(record);
        for (uint32_t i = 0; i <= CsvRecordFieldCount(copy); ++i) {
            total += std::strlen(CsvRecordField(copy, i));
        }
        CsvRecordFree(copy);
        CsvRecordFree(record);
    }
    std::fclose(stream);
    return total == SIZE_MAX ? 1 : 0;
}
