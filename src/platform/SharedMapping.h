#pragma once
// Named memory mappings shared between processes (see NamedObject.h for
// the name's life), or unnamed ones private to the process.
//
// A mapping of an object another account may write is guarded against
// that account cutting the object short (HostileMapping.h): an access past
// the new end reads zeros instead of ending the process, Cut() says so
// from then on, and Remap() maps the object again.

#include <cstdint>
#include <string>

#include "platform/HostileMapping.h"
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
    // kErrAlreadyExists), which keeps its own size: only one of this
    // account's own that was cut short below `size` is made that long again
    // (the bytes past the cut read zero).  An empty name makes a mapping
    // private to this process.  `shareGroup` as NamedObject::Open.
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

    // Another account cut the object short under the view: it reads zeros
    // now, and nothing written to it reaches the object.
    bool Cut() const { return m_guard.Cut(); }
    // As Cut, after reading the view's last byte and the object's length,
    // so that a cut anywhere is found now.
    bool CheckCut() const { return m_guard.Check(m_fd); }
    // Maps the object again, anywhere, in place of the view: an object of
    // this account's own that was cut short is first made as long as the
    // view was (the bytes past the cut read zero).  Null, with the last
    // error set, when it cannot be.
    void* Remap();

private:
    // Makes an object of this account's own that is shorter than `size`
    // that long again.
    bool RestoreCutLength(uint64_t size);

    NamedObject m_object;
    int m_fd = -1;
    int m_privateFd = -1;
    bool m_created = false;
    void* m_view = nullptr;
    uint64_t m_size = 0;
    HostileMapping m_guard;
};

}  // namespace plat
