// gapfix: the buffer-overflow protection service's program as this system
// runs it.  It protects nothing; it runs until it is asked to stop, so that
// the sensor's service control has a real process to start, watch and stop.
//
//   gapfix [--log FILE] [--linger MS]
//
// --log appends "started <pid>" when it runs and "stopped <pid>" when it
// leaves; --linger keeps it running that many milliseconds after the stop
// request, the way a service that takes its time to shut down does.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/Files.h"
#include "platform/OwnFiles.h"

namespace {

int Usage() {
    std::fputs("usage: gapfix [--log FILE] [--linger MS]\n", stderr);
    return 2;
}

void Note(const std::string& logPath, const char* event) {
    if (logPath.empty()) {
        return;
    }
    // The log is opened as the sensor opens what it writes (no other
    // account's link, FIFO or file is written through).
    const int file = plat::OpenOwnFile(logPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (file >= 0) {
        const std::string line = std::string(event) + " " + std::to_string(::getpid()) + "\n";
        size_t done = 0;
        plat::WriteToFile(file, line.data(), line.size(), done);
        plat::CloseFile(file);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string logPath;
    long lingerMs = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            logPath = argv[++i];
        } else if (std::strcmp(argv[i], "--linger") == 0 && i + 1 < argc) {
            char* end = nullptr;
            lingerMs = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || lingerMs < 0) {
                return Usage();
            }
        } else {
            return Usage();
        }
    }
    // The stop request is taken synchronously, so nothing runs in a signal
    // handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    Note(logPath, "started");
    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    if (lingerMs > 0) {
        timespec pause{lingerMs / 1000, (lingerMs % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    Note(logPath, "stopped");
    return 0;
}
