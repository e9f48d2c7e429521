#include "platform/DebugOutput.h"

#include <mutex>

#include "platform/Console.h"

namespace plat {
namespace {

std::mutex& DebugSinkLock() {
    static std::mutex lock;
    return lock;
}

DebugOutputSink& CurrentDebugSink() {
    static DebugOutputSink sink;
    return sink;
}

}  // namespace

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink) {
    std::lock_guard<std::mutex> guard(DebugSinkLock());
    DebugOutputSink previous = std::move(CurrentDebugSink());
    CurrentDebugSink() = std::move(sink);
    return previous;
}

void DebugOutput(std::string_view text) {
    // One lock for the whole text, so texts from different threads never
    // interleave.
    std::lock_guard<std::mutex> guard(DebugSinkLock());
    if (CurrentDebugSink()) {
        CurrentDebugSink()(text);
    } else {
        ConsoleWrite(text);
    }
}

bool DebugOutputIsConsole() {
    std::lock_guard<std::mutex> guard(DebugSinkLock());
    return !CurrentDebugSink();
}

}  // namespace plat
