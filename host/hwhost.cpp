// hwhost: the project's own host service.  It loads the sensor plug-in,
// starts it on a sensor root and drives it from signals until told to stop.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "HostPidFile.h"
#include "HwHostOptions.h"
#include "PushCommand.h"
#include "SensorRoot.h"
#include "SensorHost.h"
#include "SignalWaiter.h"
#include "platform/Console.h"

namespace {

// What is left of the run, for the next wait.
uint32_t RemainingMs(const HwHostOptions& options,
                     std::chrono::steady_clock::time_point deadline) {
    if (options.m_dwForSeconds == 0) {
        return 0xFFFFFFFFu;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
}

// Runs commands from signals until a stop signal or the end of the run.
void ServeSignals(SensorHost& host, SignalWaiter& signals, const HwHostOptions& options) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.m_dwForSeconds);
    for (;;) {
        uint32_t waitMs = RemainingMs(options, deadline);
        if (waitMs == 0) {
            return;
        }
        // Between signals the status file follows what the sensor learns.
        host.KeepStatus();
        switch (signals.Wait(std::min(waitMs, SensorHost::kStatusCheckMs))) {
            case HostSignal::kReload:
                host.Reload();
                break;
            case HostSignal::kPause:
                host.SetPaused(true);
                break;
            case HostSignal::kResume:
                host.SetPaused(false);
                break;
            case HostSignal::kStop:
                return;
            case HostSignal::kNone:
                continue;
        }
        // Signals that came while the command ran are still to be answered;
        // once none is, the state in force is the one the last asked for.
        if (!signals.Pending()) {
            host.Services().Log(nullptr, kCSFLogCategory, kCSFLogInfo, __LINE__, __FILE__,
                                "hwhost: every signal answered (%llu taken); sensor state: %s",
                                static_cast<unsigned long long>(signals.Received()),
                                host.StateText());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of standard output or of an alert FIFO that closes its end
    // makes the next write fail (EPIPE), which the alert road handles, and
    // must not end hwhost in the middle of its run.  Set before any thread
    // exists; the programs hwhost starts get the default disposition back.
    ::signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(HwHostUsage(), stdout);
        return 0;
    }
    // Nothing hwhost makes (folders, logs, alert files, platform state) may
    // be written by other accounts, whatever umask it was started with; mails
    // are made 0640 by themselves.
    ::umask(::umask(0) | S_IWGRP | S_IWOTH);
    HwHostOptions options;
    std::string error;
    if (!ParseHwHostOptions(argc, argv, options, error)) {
        plat::ConsolePrintf("hwhost: %s\n%s", error.c_str(), HwHostUsage());
        return 2;
    }
    if (options.m_command == HwHostOptions::Command::kPush) {
        return RunPushCommand(options);
    }
    // Decided for the plug-in too, which reads it when it is loaded: the
    // echo of each input goes only where it cannot come back as input,
    // unless asked for.
    plat::SetInputEcho(options.m_bEchoInput || ::isatty(STDERR_FILENO) == 1);
    // Said before anything is written into the folder or the plug-in
    // looks for its settings there.
    if (!IsSensorRoot(options.m_strRoot, error)) {
        plat::ConsolePrintf("hwhost: %s; nothing was started\n", error.c_str());
        return 1;
    }
    // Before any thread exists, so that no plug-in thread takes a signal,
    // and before the pid file names this process: a SIGHUP from `hwhost
    // push` that comes while the sensor still starts is a reload to answer
    // once it has started, not the end of the host.
    SignalWaiter signals;
    // Held while the host runs: it tells `hwhost push` whom to ask.
    HostPidFile pidFile;
    if (!pidFile.Acquire(options.m_strRoot, error)) {
        plat::ConsolePrintf("hwhost: %s\n", error.c_str());
        return 1;
    }
    SensorHost host(options);
    host.SetStopQuery([&signals](std::chrono::steady_clock::time_point* pAskedAt) {
        return signals.StopAsked(pAskedAt);
    });
    if (!host.Open(error)) {
        plat::ConsolePrintf("hwhost: %s\n", error.c_str());
        return 1;
    }
    bool started = host.Start();
    if (started) {
        // Only a terminal has a Ctrl-C to press; a service manager, or
        // whoever started it in the background, stops it with a signal.
        const bool bTerminal = ::isatty(STDERR_FILENO) == 1;
        plat::ConsolePrintf("hwhost: sensor started on %s (pid %d); %s\n%s", options.m_strRoot.c_str(),
                            static_cast<int>(::getpid()), bTerminal ? "Ctrl-C stops it" : "SIGTERM stops it",
                            host.StartSummary().c_str());
        ServeSignals(host, signals, options);
    } else {
        plat::ConsolePrintf("hwhost: the sensor on %s did not start; the log %s says why\n",
                            options.m_strRoot.c_str(), options.m_strLog.c_str());
    }
    // A stop signal ends the host within the stop's bound from when it came,
    // whatever the sensor's threads are doing.
    auto stopAskedAt = std::chrono::steady_clock::now();
    signals.StopAsked(&stopAskedAt);
    bool stopped = host.Stop(stopAskedAt + std::chrono::milliseconds(SensorHost::kStopBoundMs));
    plat::ConsolePrintf("hwhost: sensor %s\n", stopped ? "stopped" : "stopped with errors");
    if (host.LeftThreadsRunning()) {
        // They may still use the plug-in and what the host handed it, so
        // neither is torn down under them.
        std::fflush(nullptr);
        std::_Exit(1);
    }
    if (!started || !stopped) {
        return 1;
    }
    // A run ends with 0 only when every alert it took was written: the
    // tally above says how many were not.
    if (const uint64_t qwLost = host.AlertsLost(); qwLost != 0) {
        plat::ConsolePrintf("hwhost: %llu of the alerts taken were not written (exit status %d)\n",
                            static_cast<unsigned long long>(qwLost), SensorHost::kExitAlertsNotWritten);
        return SensorHost::kExitAlertsNotWritten;
    }
    return 0;
}
