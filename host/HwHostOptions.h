#pragma once
// The command line of hwhost:
//   hwhost run --root DIR [--for SECONDS] [--alerts FILE] [--messages FILE]
//              [--log FILE] [--snmp-manager HOST:PORT] [--plugin FILE]
//              [--web-group NAME] [--output-wait SECONDS] [--echo-input]
//   hwhost push --root DIR [--wait SECONDS] FILE

#include <cstdint>
#include <string>

struct HwHostOptions {
    enum class Command { kRun, kPush };
    Command m_command = Command::kRun;
    // The sensor root, absolute, without a trailing separator.
    std::string m_strRoot;
    // How long to run before stopping; 0 runs until a stop signal.
    uint32_t m_dwForSeconds = 0;
    // Empty: alerts go to standard output.
    std::string m_strAlerts;
    // Empty: no binary host messages are written.
    std::string m_strMessages;
    std::string m_strLog;
    std::string m_strSnmpManager;
    std::string m_strPlugin;
    // The group whose members (the web server's account) may open the
    // web-server shared areas; empty: the sensor's account only.
    std::string m_strWebGroup;
    // At a stop, how long an alert or message output may take nothing
    // before what it has not taken is given up.
    uint32_t m_dwOutputWaitSeconds = 10;
    // Echo every datagram and log line read on standard error, even when
    // standard error is no terminal.
    bool m_bEchoInput = false;
    // push: the policy file to apply and how long to wait for its outcome.
    std::string m_strPushFile;
    uint32_t m_dwWaitSeconds = 300;
};

// The usage text, for errors and --help.
const char* HwHostUsage();

// Fills `options` (defaults filled in from the root); false with `error`
// set for a command line that cannot be run.
bool ParseHwHostOptions(int argc, const char* const* argv, HwHostOptions& options,
                        std::string& error);
