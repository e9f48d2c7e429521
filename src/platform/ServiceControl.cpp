#include "platform/ServiceControl.h"

#include <signal.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/DurableFile.h"
#include "platform/DynamicLoader.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "platform/Process.h"
#include "platform/Refusal.h"
#include "platform/Registry.h"

namespace plat {

namespace {

constexpr const char kServicesFolder[] = "/services";

// The recorded process of a started service.
struct ServiceProcess {
    pid_t pid = 0;
    unsigned long long startTime = 0;
    bool stopping = false;
};

// The start time of a live process in clock ticks since boot; false when the
// process is gone or a zombie.
bool LiveStartTime(pid_t pid, unsigned long long& startTime) {
    char state = 0;
    uint64_t start = 0;
    if (!ReadProcessStart(pid, state, start) || state == 'Z' || state == 'X') {
        return false;
    }
    startTime = start;
    return true;
}

bool IsAlive(const ServiceProcess& process) {
    // A program this process started is its child, let go of while it ran:
    // the list of such children collects it once it has ended, so that it
    // does not linger as a zombie.  Only that list waits for it: a wait of
    // its own here would free its id while the list still names it, for a
    // later child to be given and waited for in its owner's place.
    ChildProcess::LeftChildren();
    unsigned long long startTime = 0;
    return LiveStartTime(process.pid, startTime) && startTime == process.startTime;
}

bool ReadState(const std::string& path, ServiceProcess& process) {
    std::string text;
    if (ReadWholeFile(path, text, nullptr) != 0) {
        return false;
    }
    long long pid = 0;
    int stopping = 0;
    if (std::sscanf(text.c_str(), "%lld %llu %d", &pid, &process.startTime, &stopping) != 3 ||
        pid <= 0) {
        return false;
    }
    process.pid = static_cast<pid_t>(pid);
    process.stopping = stopping != 0;
    return true;
}

bool MakeFolder(const std::string& folder) {
    std::string why;
    if (!MakeStateFolder(folder, "no service is installed or controlled", &why)) {
        WarnOfRefusal(why, folder);
        return false;
    }
    return true;
}

bool WriteState(const std::string& path, const ServiceProcess& process) {
    std::string text = std::to_string(process.pid) + " " + std::to_string(process.startTime) +
                       " " + (process.stopping ? "1" : "0") + "\n";
    return ReplaceFileDurably(path, path + ".tmp", text, nullptr, nullptr, kStateFileMode) == 0;
}

// The recorded process while it lives; a record of an ended process is
// removed.
bool LiveProcess(const std::string& path, ServiceProcess& process) {
    if (!ReadState(path, process)) {
        return false;
    }
    if (IsAlive(process)) {
        return true;
    }
    DeleteFilePath(path.c_str());
    return false;
}

}  // namespace

Service::Service(std::string strName, std::string strFolder, std::string strCommandLine)
    : m_strName(std::move(strName)),
      m_strFolder(std::move(strFolder)),
      m_strCommandLine(std::move(strCommandLine)) {}

std::string Service::StatePath() const { return m_strFolder + "/" + m_strName + ".state"; }

bool Service::QueryState(uint32_t& state) {
    ServiceProcess process;
    if (!LiveProcess(StatePath(), process)) {
        state = kServiceStopped;
    } else {
        state = process.stopping ? kServiceStopPending : kServiceRunning;
    }
    return true;
}

bool Service::Start() {
    ServiceProcess process;
    if (LiveProcess(StatePath(), process)) {
        SetLastError(process.stopping ? kErrServiceCannotAcceptControl : kErrServiceAlreadyRunning);
        return false;
    }
    std::vector<std::string> arguments = SplitCommandLine(m_strCommandLine);
    if (arguments.empty()) {
        SetLastError(kErrFileNotFound);
        return false;
    }
    std::string program = arguments[0];
    if (program.find('/') == std::string::npos) {
        program = ThisModuleDirectory() + "/" + program;
    }
    if (!MakeFolder(m_strFolder)) {
        return false;
    }
    std::unique_ptr<ChildProcess> child = ChildProcess::Start(program, arguments);
    if (!child) {
        return false;
    }
    process.pid = child->Pid();
    process.stopping = false;
    if (!LiveStartTime(process.pid, process.startTime) || !WriteState(StatePath(), process)) {
        // A program that cannot be recorded could never be stopped.
        uint32_t error = GetLastError();
        child->Kill();
        child->WaitForExit(1000);
        SetLastError(error != 0 ? error : kErrFileNotFound);
        return false;
    }
    return true;
}

bool Service::Stop() {
    ServiceProcess process;
    if (!LiveProcess(StatePath(), process)) {
        SetLastError(kErrServiceNotActive);
        return false;
    }
    if (process.stopping) {
        SetLastError(kErrServiceCannotAcceptControl);
        return false;
    }
    if (::kill(process.pid, SIGTERM) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    process.stopping = true;
    return WriteState(StatePath(), process);
}

std::unique_ptr<ServiceManager> ServiceManager::Open() {
    // A missing folder is an empty catalogue: asking about services leaves
    // no trace; installing or starting one makes the folder.
    std::string folder = PlatformRoot() + kServicesFolder;
    std::error_code error;
    std::filesystem::file_status status = std::filesystem::status(folder, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
        SetLastError(kErrPathNotFound);
        return nullptr;
    }
    if (error && error.value() != ENOENT) {
        SetLastErrorFromErrno(error.value());
        return nullptr;
    }
    return std::unique_ptr<ServiceManager>(new ServiceManager(folder));
}

std::unique_ptr<Service> ServiceManager::OpenService(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        SetLastError(kErrServiceDoesNotExist);
        return nullptr;
    }
    std::string text;
    std::string commandLine;
    if (ReadWholeFile(m_strFolder + "/" + name + ".service", text, nullptr) == 0) {
        commandLine = text.substr(0, text.find_first_of("\r\n"));
    } else {
        std::string program;
        for (char c : name) {
            program += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (PathExists((ThisModuleDirectory() + "/" + program).c_str())) {
            commandLine = program;
        }
    }
    if (commandLine.empty()) {
        SetLastError(kErrServiceDoesNotExist);
        return nullptr;
    }
    return std::unique_ptr<Service>(new Service(name, m_strFolder, commandLine));
}

bool ServiceManager::Install(const std::string& name, const std::string& commandLine) {
    std::string path = m_strFolder + "/" + name + ".service";
    return MakeFolder(m_strFolder) && ReplaceFileDurably(path, path + ".tmp", commandLine + "\n", nullptr) == 0;
}

}  // namespace plat
