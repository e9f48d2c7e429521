#pragma once
// A named memory mapping shared with other processes; the shared-memory
// store sits on it.  Failures are reported on the console sink and by a
// null view.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/SharedMapping.h"

class jsSharedMemory {
public:
    explicit jsSharedMemory(const char* name);
    ~jsSharedMemory();
    jsSharedMemory(const jsSharedMemory&) = delete;
    jsSharedMemory& operator=(const jsSharedMemory&) = delete;

    // With a size: creates the mapping, rounded up to the next whole
    // allocation granule beyond `size` (a whole multiple gains one more),
    // or opens the one that exists.  With 0: opens an existing mapping
    // only.  Maps all of it at `base` when given.  Returns the view, or
    // null.
    void* Attach(uint32_t size, void* base = nullptr);
    // Closes the mapping and unmaps the view.
    void Detach();

    void* Address() const;
    bool IsCreator() const;
    uint32_t LastError() const;
    uint32_t RequestedSize() const;
    // The size of the view once attached.
    uint64_t MappingSize() const;

private:
    struct MappingState;
    std::unique_ptr<MappingState> m_pState;
};
