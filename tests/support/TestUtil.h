#pragma once
// Small helpers shared by the tests: polling with a deadline instead of
// sleeping, a scratch directory that cleans up after itself, file reading.

#include <chrono>
#include <functional>
#include <string>

namespace hwtest {

// Polls `condition` until it holds or `seconds` pass; answers its last value.
bool WaitUntil(const std::function<bool()>& condition, double seconds = 30.0);

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

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);

// The demo policy watches the machine's /var/log/auth.log, which a machine
// that logs to the journal only lacks, so that every load of it warns that
// its group watches no file.  There, points `policy` at an empty file in
// `folder` instead.
void StandInForDemoAuthLog(std::string& policy, const std::string& folder);

// A loopback port that was free a moment ago (TCP or UDP).
unsigned short FreeLoopbackPort(bool udp);

// A program found on PATH, or empty.
std::string FindProgram(const std::string& name);

}  // namespace hwtest
