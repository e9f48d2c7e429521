#include "platform/Console.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace plat {
namespace {

std::mutex& SinkLock() {
    static std::mutex lock;
    return lock;
}

ConsoleSink& CurrentSink() {
    static ConsoleSink sink;
    return sink;
}

void WriteStdErr(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace

ConsoleSink SetConsoleSink(ConsoleSink sink) {
    std::lock_guard<std::mutex> guard(SinkLock());
    ConsoleSink previous = std::move(CurrentSink());
    CurrentSink() = std::move(sink);
    return previous;
}

void ConsoleWrite(std::string_view text) {
    std::lock_guard<std::mutex> guard(SinkLock());
    if (CurrentSink()) {
        CurrentSink()(text);
    } else {
        WriteStdErr(text);
    }
}

void ConsoleVPrintf(const char* format, va_list args) {
    char local[1024];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(local, sizeof local, format, copy);
    va_end(copy);
    if (n < 0) {
        return;
    }
    if (static_cast<size_t>(n) < sizeof local) {
        ConsoleWrite(std::string_view(local, static_cast<size_t>(n)));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, args);
    big.resize(static_cast<size_t>(n));
    ConsoleWrite(big);
}

void ConsolePrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    ConsoleVPrintf(format, args);
    va_end(args);
}

}  // namespace plat
