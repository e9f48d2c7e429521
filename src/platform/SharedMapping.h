#pragma once
// Named memory mappings shared between processes (see NamedObject.h for
// the name's life), or unnamed ones private to the process.

#include <cstdint>
#include <string>

#include "platform/NamedObject.h"

namespace plat {

// Mapping sizes are whole multiples of this, whatever the page size: the
// layouts other processes read are computed with it.
constexpr uint32_t kAllocationGranularity = 65536;

class SharedMapping {
public:
    SharedMapping() = default;
    ~SharedMapping() {
        Unmap();
        Close();
    }
    SharedMapping(const SharedMapping&) = delete;
    SharedMapping& operator=(const SharedMapping&) = delete;

    // Creates a zero-filled mapping of `size` bytes, or opens the one that
    // exists under the name (Created() false, last error
    // kErrAlreadyExists), which keeps its own size.  An empty name makes a
    // mapping private to this process.  `shareGroup` as NamedObject::Open.
    bool Create(const std::string& name, uint64_t size, int32_t shareGroup = kNoShareGroup);
    // Opens an existing mapping only (kErrFileNotFound otherwise).
    bool Open(const std::string& name);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    bool Created() const { return m_created; }

    // Maps all of it, writable, at `preferredBase` when given (failing
    // when that range is taken) or anywhere.  Null with the last error set
    // on failure.
    void* Map(void* preferredBase);
    bool Unmap();
    void* Address() const { return m_view; }
    uint64_t Size() const { return m_size; }

private:
    NamedObject m_object;
    int m_fd = -1;
    int m_privateFd = -1;
    bool m_created = false;
    void* m_view = nullptr;
    uint64_t m_size = 0;
};

}  // namespace plat
