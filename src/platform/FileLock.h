#pragma once
// Locks on files that processes of the sensor share (the registry, the
// event logs, the security state, the pid file).  Whoever else holds one is
// not trusted to let go: no lock is ever waited on without limit.  A lock is
// tried without blocking, again and again, until a short deadline; one not
// had by then fails the one operation that needed it, with the file and
// the process that holds it named in the one form of Refusal.h, and the
// operation is carried on without it or left for later, as its caller
// says.  After such a refusal the same file is tried only once for a
// while, so a holder that never lets go costs the operations that follow
// no wait at all.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace plat {

enum class LockKind { kShared, kExclusive };

// How long a lock is tried for; far longer than any holder of the sensor's
// own needs it (an append, a rewrite of a small file).
constexpr std::chrono::milliseconds kLockDeadline{2000};

// After a refusal, how long the same file is tried only once.
constexpr std::chrono::seconds kLockQuietPeriod{30};

// Takes a lock on the whole open file `fd`, which is `path`, as described
// above.  False, with kErrBusy as the last error and `why` (when given)
// naming the file, its holder and then `instead`, when it is not had.
bool TakeFileLock(int fd, const std::string& path, LockKind kind, const std::string& instead,
                  std::string* why, std::chrono::milliseconds deadline = kLockDeadline);
void ReleaseFileLock(int fd);

// Makes the state folder `folder` (OwnFiles.h's MakeStateFolder), opens
// the lock file `name` in it (a state file, made when missing) and takes
// an exclusive lock on it as TakeFileLock does.  The descriptor that holds
// the lock, or -1 with `error` set and the refusal or failure said on the
// console (Refusal.h's WarnAndFail), `instead` telling what is done
// without it.
int TakeStateLock(const std::string& folder, const std::string& name, const std::string& instead,
                  uint32_t& error);

// Record locks on a whole file: held by a process for as long as it lives,
// and answered by the system with the holder's id.  TryRecordWriteLock
// never waits.
bool TryRecordWriteLock(int fd);
// The id of a process that holds a lock on `fd`'s file that a write lock
// would conflict with, or 0 when none does; -1 when one is held by an open
// file description, whose process the system does not name.  `bWrite`,
// when given, tells whether that lock is a write lock.
pid_t RecordLockHolder(int fd, bool* bWrite = nullptr);

// What holds the lock on the file `fd` has open, as the system lists it, in
// the words of Refusal.h's WHAT and OWNER: "locked by process 812 (flock),
// a process another account owns (nobody, uid 65534)"; "locked by another
// process" when none can be named.
std::string LockHolderText(int fd);

// The id of the first process that holds a lock of any kind on the file
// `fd` has open, or 0 when none can be found.
pid_t FindLockHolder(int fd);

// The refusal of `path`, open as `fd`, whose lock another process holds:
// the file, LockHolderText's holder and then `instead` (what is done
// without the lock), in the one form of Refusal.h.
std::string LockRefusalText(int fd, const std::string& path, const std::string& instead);

}  // namespace plat
