#include "platform/DebugOutput.h"

#include <mutex>

#include "platform/Console.h"

namespace plat {
namespace {

std::mutex& SinkLock() {
    static std::mutex lock;
    return lock;
}

DebugOutputSink& CurrentSink() {
    static DebugOutputSink sink;
    return sink;
}

}  // namespace

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink) {
    std::lock_guard<std::mutex> guard(SinkLock());
    DebugOutputSink previous = std::move(CurrentSink());
    CurrentSink() = std::move(sink);
    return previous;
}

void DebugOutput(std::string_view text) {
    // One lock for the whole text, so texts from different threads never
    // interleave.
    std::lock_guard<std::mutex> guard(SinkLock());
    if (CurrentSink()) {
        CurrentSink()(text);
    } else {
        ConsoleWrite(text);
    }
}

bool DebugOutputIsConsole() {
    std::lock_guard<std::mutex> guard(SinkLock());
    return !CurrentSink();
}

}  // namespace plat
