#pragma once
// The one way every refusal of a name that another account can reach is
// told (a file, a folder, a lock, a shared object), so an operator reads
// the same four things wherever it happens: the path, what is there, who
// owns it, and what is done instead:
//
//   PATH is WHAT OWNER; INSTEAD
//   PATH lies under LINK, WHAT OWNER; INSTEAD      (a link on the way)
//
// OWNER reads "another account owns (nobody, uid 65534)" for an account
// other than root and this process's own, and "root owns (uid 0)" (the
// account's name, then its id) for those two.  For example:
//
//   /srv/warden/push.policy.loading is a FIFO another account owns
//   (nobody, uid 65534); it is not read
//   /srv/warden/platform/registry.lock is locked by process 812 (flock), a
//   process another account owns (nobody, uid 65534); the registry is not
//   written now

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace plat {

// The name of the account `uid`, or empty when it has none.
std::string AccountName(uint32_t uid);

// The OWNER part above.
std::string OwnerText(uint32_t uid);

// What a file of mode `mode` is, as WHAT above: "a FIFO", "a directory",
// "a symbolic link", "a socket", "a device", "a file".
std::string KindText(mode_t mode);

struct Refusal {
    std::string m_strPath;     // the name refused
    std::string m_strLink;     // the link on its way that was refused, if any
    std::string m_strWhat;     // what is there (KindText, or a lock's holder)
    bool m_bOwnerKnown = false;
    uint32_t m_uOwner = 0;
    std::string m_strInstead;  // what is done instead ("it is not read")
};

std::string RefusalText(const Refusal& refusal);

// The common case: `path` itself holds `what`, owned by `owner`.
std::string RefusalText(const std::string& path, const std::string& what, uint32_t owner,
                        const std::string& instead);

// What the layer's own opens say they do instead of opening a refused name.
inline constexpr char kOpenNotRead[] = "it is not read";
inline constexpr char kOpenNotWritten[] = "it is not written";
inline constexpr char kOpenNotFollowed[] = "it is not followed";

// `text`, a reason given by one of this layer's opens, told with the
// caller's INSTEAD: what the caller does without the file (the registry
// read as empty, a log group's file not watched) says more than the open's
// own "it is not read", which it replaces, so a refusal still has one
// INSTEAD.  A reason that is no refusal ("PATH: No such file or
// directory") gets `instead` after it.  An empty `instead` only takes the
// open's away, for a caller that says what it does itself.
std::string WithInstead(const std::string& text, const std::string& instead);

// `why`, a reason one of this layer's routines gave for `path`, for a
// caller that says itself what it does instead ("...; nothing was
// pushed"): a refusal loses the routine's own INSTEAD, and a failure
// ("PATH: REASON") is told after `failure` ("cannot read PATH: REASON").
std::string ReasonWithoutInstead(const std::string& path, const std::string& why,
                                 const std::string& failure);

// Says a refusal on the console as a warning ("WARNING: " and the text),
// for refusals no caller reports (a named object taken back, a state file
// not written).  With a `topic` (the path, say), what is said of the same
// topic again within 30 seconds is left out, so a refusal met at every
// operation fills no disk.
void WarnOfRefusal(const std::string& text, const std::string& topic = std::string());

// WarnOfRefusal, for an operation that fails with it: the last error is
// kept as it was, and answered.
uint32_t WarnAndFail(const std::string& text, const std::string& topic);

}  // namespace plat
