#pragma once
// Small helpers shared by the tests: polling with a deadline instead of
// sleeping, a scratch directory that cleans up after itself, file reading.

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace hwtest {

// Polls `condition` until it holds or `seconds` pass; answers its last value.
bool WaitUntil(const std::function<bool()>& condition, double seconds = 30.0);

// The seconds since midnight of a line of hwhost's log ("2026-12-08
// 17:41:40.533 INFO ..."); -1 for a line without a time.
double LogLineSeconds(const std::string& line);
// The seconds from one log time to a later one, across midnight too; 0
// when `to` is a little earlier (lines written out of their times' order).
double LogSecondsBetween(double from, double to);

class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets (or, with null, removes) an environment variable for one scope.
class EnvironmentOverride {
public:
    EnvironmentOverride(const char* name, const char* value);
    ~EnvironmentOverride();
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

private:
    std::string m_name;
    bool m_hadOld;
    std::string m_old;
};

// The bytes of a regular file; empty when the name holds none (missing, a
// folder, or a FIFO, which is never waited on).
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);

// A whole second after the system clock's now, for a file's time that must
// lie after anything read before: time() may read the kernel's coarse clock,
// a few milliseconds behind the clock a scan reads, so time() + 1 can fall
// before a scan made a moment earlier.
time_t SecondAfterNow();

// The demo policy watches the machine's /var/log/auth.log, which a machine
// that logs to the journal only lacks, so that every load of it warns that
// its group watches no file.  There, points `policy` at an empty file in
// `folder` instead.
void StandInForDemoAuthLog(std::string& policy, const std::string& folder);

// A loopback port that was free a moment ago (TCP or UDP).
unsigned short FreeLoopbackPort(bool udp);

// A program found on PATH, or empty.
std::string FindProgram(const std::string& name);

// A host name that fails to resolve without any resolver being asked, and
// so the same way with or without a network or a name server: its first
// label is longer than the 63 bytes a label may have, which the lookup
// refuses itself as a host not found.  (A name that merely does not exist,
// such as one under ".invalid", is asked of the name server, whose answer
// a machine without one gives as "try again", after its own wait.)
std::string UnresolvableHost();

// The whole mails of the outbox `folder`, in name order (none when it does
// not exist).  The host writes a mail under a temporary name and renames
// it, so a reader that takes another file of the folder may meet one half
// written, or gone before it is read.
std::vector<std::string> MailFiles(const std::string& folder);

}  // namespace hwtest
