#include "HwHostOptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "ResponseRunner.h"
#include "platform/DynamicLoader.h"
#include "platform/NamedObject.h"

namespace {

bool ParseSeconds(const char* text, uint32_t& seconds) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > UINT32_MAX / 1000) {
        return false;
    }
    seconds = static_cast<uint32_t>(value);
    return true;
}

bool TakesValue(const std::string& name) {
    static constexpr const char* kValued[] = {"--root",   "--for",          "--alerts",  "--messages",
                                              "--log",    "--snmp-manager", "--wait",    "--output-wait",
                                              "--plugin", "--web-group"};
    for (const char* pszValued : kValued) {
        if (name == pszValued) {
            return true;
        }
    }
    return false;
}

}  // namespace

const char* HwHostUsage() {
    return "usage: hwhost run --root DIR [--for SECONDS] [--alerts FILE] [--messages FILE]\n"
           "                  [--log FILE] [--snmp-manager HOST:PORT] [--plugin FILE]\n"
           "                  [--web-group NAME] [--output-wait SECONDS] [--echo-input]\n"
           "       hwhost push --root DIR [--wait SECONDS] FILE\n"
           "run: runs the sensor on the sensor root DIR until SIGINT or SIGTERM (or SECONDS).\n"
           "SIGHUP reloads the policy, SIGUSR1 pauses, SIGUSR2 resumes.  Every datagram and\n"
           "log line read is echoed on standard error while it is a terminal, or always with\n"
           "--echo-input.  No log group reads hwhost's own standard error, but where another\n"
           "program copies it into a watched log or sends it to the syslog port (a journal\n"
           "forwarded there), each echo comes back as input, without end.  The web server's\n"
           "account reaches the web-server shared areas through the group NAME; without\n"
           "it only the sensor's own account can.  At a stop, an alert or message output\n"
           "that takes nothing for SECONDS (10), or still takes alerts six times as long\n"
           "after the stop began, is given up: what it did not take is counted and logged.\n"
           "push: applies the edited policy FILE to the sensor running on DIR: checks it,\n"
           "hands it over as DIR/push.policy with a reload and waits (300 s unless\n"
           "--wait) to tell whether it was applied, printing the errors and warnings of\n"
           "the load, what any bound left out while it ran, and the rules each engine\n"
           "took.  Exit status: 0 applied; 4 applied with errors or warnings, or with\n"
           "input left out; 5 applied, but the sensor is paused and sees nothing until\n"
           "SIGUSR2; 1 refused, or the reload failed; 2 a wrong command line; 3 not\n"
           "applied yet (no hwhost runs on DIR, or no outcome in time: the hwhost asked\n"
           "still reads it; --wait 0 does not wait).\n";
}

bool ParseHwHostOptions(int argc, const char* const* argv, HwHostOptions& options,
                        std::string& error) {
    if (argc >= 2 && std::strcmp(argv[1], "push") == 0) {
        options.m_command = HwHostOptions::Command::kPush;
    } else if (argc < 2 || std::strcmp(argv[1], "run") != 0) {
        error = "the commands are \"run\" and \"push\"";
        return false;
    }
    const bool bPush = options.m_command == HwHostOptions::Command::kPush;
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        if (bPush && name.rfind("--", 0) != 0) {
            if (!options.m_strPushFile.empty()) {
                error = "push takes one policy file";
                return false;
            }
            options.m_strPushFile = name;
            continue;
        }
        if (bPush && name != "--root" && name != "--wait") {
            error = "unknown option of push " + name;
            return false;
        }
        if (name == "--echo-input") {
            options.m_bEchoInput = true;
            continue;
        }
        // An unknown name is said as such wherever it stands, and takes no
        // value with it: a misspelt switch last on the line is no option
        // that lacks its value.
        if (!TakesValue(name)) {
            error = "unknown option " + name;
            return false;
        }
        if (i + 1 >= argc) {
            error = name + " needs a value";
            return false;
        }
        const char* value = argv[++i];
        if (name == "--root") {
            options.m_strRoot = value;
        } else if (name == "--for") {
            if (!ParseSeconds(value, options.m_dwForSeconds) || options.m_dwForSeconds == 0) {
                error = std::string("--for needs a positive number of seconds, not \"") + value +
                        "\"";
                return false;
            }
        } else if (name == "--alerts") {
            options.m_strAlerts = value;
        } else if (name == "--messages") {
            options.m_strMessages = value;
        } else if (name == "--log") {
            options.m_strLog = value;
        } else if (name == "--snmp-manager") {
            std::string host;
            uint16_t port = 0;
            if (!ResponseRunner::SplitManager(value, host, port)) {
                error = std::string("--snmp-manager needs HOST:PORT, not \"") + value + "\"";
                return false;
            }
            options.m_strSnmpManager = value;
        } else if (name == "--wait") {
            if (!ParseSeconds(value, options.m_dwWaitSeconds)) {
                error = std::string("--wait needs a number of seconds, not \"") + value + "\"";
                return false;
            }
        } else if (name == "--output-wait") {
            if (!ParseSeconds(value, options.m_dwOutputWaitSeconds)) {
                error = std::string("--output-wait needs a number of seconds, not \"") + value +
                        "\"";
                return false;
            }
        } else if (name == "--plugin") {
            options.m_strPlugin = value;
        } else if (name == "--web-group") {
            int32_t groupId = 0;
            if (!plat::FindGroupId(value, groupId)) {
                error = std::string("the web-server group \"") + value + "\" does not exist";
                return false;
            }
            options.m_strWebGroup = value;
        } else {
            error = "unknown option " + name;
            return false;
        }
    }
    if (options.m_strRoot.empty()) {
        error = "--root DIR is required";
        return false;
    }
    if (bPush && options.m_strPushFile.empty()) {
        error = "push needs the policy FILE to apply";
        return false;
    }
    std::error_code failure;
    std::filesystem::path root = std::filesystem::absolute(options.m_strRoot, failure);
    if (failure || !std::filesystem::is_directory(root, failure)) {
        error = "the sensor root " + options.m_strRoot + " is not a directory";
        return false;
    }
    options.m_strRoot = root.lexically_normal().string();
    while (options.m_strRoot.size() > 1 && options.m_strRoot.back() == '/') {
        options.m_strRoot.pop_back();
    }
    if (options.m_strLog.empty()) {
        options.m_strLog = options.m_strRoot + "/logs/hwhost.log";
    }
    if (options.m_strPlugin.empty()) {
        // The plug-in is installed beside the host.
        options.m_strPlugin = plat::ThisModuleDirectory() + "/libhostwarden.so";
    }
    return true;
}
