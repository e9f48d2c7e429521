#pragma once
// A named object shared between processes: a file in the shared-memory
// name space ("/hw." + name) that lives as long as some process has it
// open.  Every process holding it keeps a shared lock on it, which the
// system drops when that process ends however it ends.  A process that can
// take the lock exclusively is therefore the object's only user: the
// object is new, or was left behind by processes that crashed, and this
// process lays it out afresh.  The last user to close it removes the name.

#include <functional>
#include <string>

namespace plat {

// The shared-memory name of `name` ("/hw." + name, with path separators
// turned into '_'); empty when the name cannot be used.
std::string SharedObjectPath(const std::string& name);

class NamedObject {
public:
    // Lays a new (or stale) object out; receives the open descriptor of an
    // empty object and answers false, with the last error set, on failure.
    using Initialiser = std::function<bool(int fd)>;

    NamedObject() = default;
    ~NamedObject() { Close(); }
    NamedObject(const NamedObject&) = delete;
    NamedObject& operator=(const NamedObject&) = delete;

    // Opens the object, creating it when `create` is set.  Without
    // `create`, an object that no live process holds counts as missing
    // (kErrFileNotFound).  False with the last error set on failure.
    bool Open(const std::string& name, bool create, const Initialiser& initialise);
    void Close();

    int Fd() const { return m_fd; }
    // This process laid the object out.
    bool Fresh() const { return m_fresh; }

private:
    int m_fd = -1;
    bool m_fresh = false;
    std::string m_path;
};

}  // namespace plat
