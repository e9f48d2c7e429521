#pragma once
// DIR/hwhost.pid: the process id of the hwhost that runs on a sensor root.
// The running host holds a write lock on the file for as long as it runs,
// so a file left behind by a host that died is known for stale (its lock
// went with the process) and a second host cannot take the same root,
// whose policy files and ports it would share.  Only a write lock held by a
// process of root or the sensor's account counts: another account may lock
// a stale file it can read (one an older hwhost left readable), to keep the
// host from starting or to have `hwhost push` signal a process of its own.
// The file is the host's alone (0600).

#include <sys/types.h>

#include <string>

class HostPidFile {
public:
    static constexpr char kFileName[] = "hwhost.pid";

    HostPidFile() = default;
    // Removes the file when this process holds it.
    ~HostPidFile();
    HostPidFile(const HostPidFile&) = delete;
    HostPidFile& operator=(const HostPidFile&) = delete;

    // Takes the root for this process; false with `error` set when another
    // host holds it or the file cannot be written.  A stale file that
    // another account's process locks is replaced, with a warning on the
    // console naming the file and the holder.
    bool Acquire(const std::string& root, std::string& error);

    // The process id of the host that holds the root, or 0 when none does
    // or the file is refused (HostFileReading.h: another account's link,
    // FIFO or file in its place) or locked by another account's process,
    // which `pProblem`, when given, then says.
    static pid_t FindRunning(const std::string& root, std::string* pProblem = nullptr);

private:
    std::string m_strPath;
    int m_nFd = -1;
};
