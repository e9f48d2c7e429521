#pragma once
// Services: long-running programs that are started and stopped by name and
// whose state every process sees alike, kept under the platform root in the
// folder "services":
//   "<name>.service"  installs the service: its first line is the command
//                     line of the service's program (split as
//                     SplitCommandLine does; a program named without "/"
//                     is looked for beside this module).  A service with no
//                     such file is still installed when a program named
//                     after it in lower case lies beside this module.
//   "<name>.state"    the process of a started service: its id, its start
//                     time (so a reused process id is not mistaken for it)
//                     and whether a stop was asked of it.
// A service whose recorded process has ended is stopped.  A stop sends the
// process SIGTERM; it is stopping until the process has gone.
//
// Failures leave the last error (LastError.h) and answer false or null:
// 1060 for a service that is not installed, 1056 for a start of a running
// service, 1062 for a stop of a service that is not running, 1061 while a
// stop is under way, and mapped errno values for the files and the process.

#include <cstdint>
#include <memory>
#include <string>

namespace plat {

enum : uint32_t {
    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
};

class Service {
public:
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    const std::string& Name() const { return m_strName; }

    // One of the states above.
    bool QueryState(uint32_t& state);
    // Starts the program; it runs in a session of its own and outlives the
    // process that started it.
    bool Start();
    // Asks the running program to end; does not wait for it.
    bool Stop();

private:
    friend class ServiceManager;
    Service(std::string strName, std::string strFolder, std::string strCommandLine);

    std::string StatePath() const;

    std::string m_strName;
    std::string m_strFolder;
    std::string m_strCommandLine;
};

class ServiceManager {
public:
    // The services folder under the platform root; null when that path is
    // not a folder or cannot be examined.
    static std::unique_ptr<ServiceManager> Open();

    ServiceManager(const ServiceManager&) = delete;
    ServiceManager& operator=(const ServiceManager&) = delete;

    // Null with last error 1060 when the service is not installed.
    std::unique_ptr<Service> OpenService(const std::string& name);
    // Installs (or re-installs) a service with the command line of its program.
    bool Install(const std::string& name, const std::string& commandLine);

private:
    explicit ServiceManager(std::string strFolder) : m_strFolder(std::move(strFolder)) {}

    std::string m_strFolder;
};

}  // namespace plat
