#pragma once
// A named object shared between processes: a file in the shared-memory
// name space ("/hw." + scope + "." + name) that lives as long as some
// process has it open.  Every process holding it keeps a shared lock on
// it, which the system drops when that process ends however it ends.  A
// process that can take the lock exclusively is therefore the object's
// only user: the object is new, or was left behind by processes that
// crashed, and this process lays it out afresh.  The last user to close it
// removes the name.
//
// The scope keeps the objects of one sensor root apart from those of every
// other sensor on the machine: it is a short hash of the root, set once by
// the process that knows the root and handed to the processes it starts
// through the environment.
//
// An object is its creator's account's alone (mode 0600), or shared with
// the members of one group (0660): never with every local user.  A creator
// does not use an object that another account made, since that account
// could read or write it whatever its mode says now, nor anything else that
// stands at the name (a folder, a FIFO, a link, a socket): it takes the
// name back, swapping what is there for a new object in one step
// (NameTakeBack.h: no name another account could make first is ever used),
// and says so on the console in the one form of Refusal.h ("... is a
// directory another account owns (nobody, uid 65534); it is taken back and
// the object made anew"); where it cannot, the warning names the path and
// the owner and the open fails.  The owner is looked at before any lock,
// and no lock is waited on for longer than a layout takes, so another
// account holding one cannot hold up an open.

#include <cstdint>
#include <functional>
#include <string>

namespace plat {

// The environment variable that carries the scope to child processes.
constexpr const char kObjectScopeVariable[] = "HW_OBJECT_SCOPE";

// The scope of the sensor root `root`: 12 hex digits of a hash of its
// canonical path (symbolic links resolved when the folder can be reached).
std::string ObjectScopeOfRoot(const std::string& root);

// Sets the process's scope and exports it to the environment; false (and
// nothing changed) for a text other than up to 32 letters, digits, '-' and
// '_'.  An empty scope leaves names as "/hw." + name.
bool SetObjectScope(const std::string& scope);

// The process's scope: the one set, else the environment's (when valid),
// else empty.
std::string ObjectScope();

// The shared-memory name of `name` in the process's scope, with path
// separators in the name turned into '_'; empty when the name cannot be
// used.
std::string SharedObjectPath(const std::string& name);

// Only the creating account may open the object.
constexpr int32_t kNoShareGroup = -1;

// The id of the group named `name`; false when there is no such group.
bool FindGroupId(const std::string& name, int32_t& groupId);

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
    // (kErrFileNotFound).  A creator gives the object to its own account
    // and to `shareGroup` (kNoShareGroup: to no group), and takes the name
    // back from whatever another account put there (kErrAccessDenied when
    // it cannot).  An opener refuses a name that is not a plain object
    // (kErrAccessDenied, and a warning naming it and its owner), and one
    // whose exclusive lock is held past a layout's time is busy (kErrBusy).
    // False with the last error set on failure.
    bool Open(const std::string& name, bool create, const Initialiser& initialise,
              int32_t shareGroup = kNoShareGroup);
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
