#include "platform/Console.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/Environment.h"

namespace plat {
namespace {

// Never destroyed: what is said while the process ends (state written back
// by a static's destructor) still finds them.
std::mutex& SinkLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

ConsoleSink& CurrentSink() {
    static auto* sink = new ConsoleSink;
    return *sink;
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

// Gathered lines go out when about this much has come.
constexpr size_t kGatheredMax = 64 * 1024;

std::mutex& SinkLock();

// The lines gathered for standard error, written out at exit at the latest.
struct Gathered {
    std::string m_text;
    ~Gathered() {
        // A thread still writing at exit keeps its lines.
        std::unique_lock<std::mutex> guard(SinkLock(), std::try_to_lock);
        if (guard.owns_lock()) {
            WriteStdErr(m_text);
        }
    }
};

Gathered& GatheredLines() {
    static Gathered gathered;
    return gathered;
}

// With the lock held.
void FlushGatheredLocked() {
    std::string& text = GatheredLines().m_text;
    if (!text.empty()) {
        WriteStdErr(text);
        text.clear();
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
        // Lines gathered before this one go first.
        FlushGatheredLocked();
        WriteStdErr(text);
    }
}

void ConsoleWriteGathered(std::string_view text) {
    std::lock_guard<std::mutex> guard(SinkLock());
    if (CurrentSink()) {
        CurrentSink()(text);
        return;
    }
    std::string& gathered = GatheredLines().m_text;
    if (gathered.size() + text.size() > kGatheredMax) {
        FlushGatheredLocked();
    }
    if (text.size() > kGatheredMax) {
        WriteStdErr(text);
    } else {
        gathered.append(text);
    }
}

void ConsoleFlush() {
    std::lock_guard<std::mutex> guard(SinkLock());
    FlushGatheredLocked();
}

namespace {

bool InputEchoAtLoad() {
    std::string value;
    if (GetEnvironmentText(kInputEchoVariable, value) && (value == "0" || value == "1")) {
        return value == "1";
    }
    return ::isatty(STDERR_FILENO) == 1;
}

std::atomic<bool>& InputEchoSwitch() {
    static std::atomic<bool> on{InputEchoAtLoad()};
    return on;
}

// Read while the layer is loaded, on the loading thread, so no engine
// thread reads the environment while another thread may change it.
[[maybe_unused]] const bool g_inputEchoRead = (InputEchoSwitch(), true);

}  // namespace

bool InputEchoOn() {
    return InputEchoSwitch().load(std::memory_order_relaxed);
}

void SetInputEcho(bool on) {
    InputEchoSwitch().store(on, std::memory_order_relaxed);
    SetEnvironmentText(kInputEchoVariable, on ? "1" : "0");
}

namespace {

// Formats into a local buffer (or a string when it does not fit) and
// hands the text to `write`.
template <typename Write>
void FormatAndWrite(Write write, const char* format, va_list args) {
    char local[1024];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(local, sizeof local, format, copy);
    va_end(copy);
    if (n < 0) {
        return;
    }
    if (static_cast<size_t>(n) < sizeof local) {
        write(std::string_view(local, static_cast<size_t>(n)));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, args);
    big.resize(static_cast<size_t>(n));
    write(big);
}

}  // namespace

void ConsoleVPrintf(const char* format, va_list args) {
    FormatAndWrite([](std::string_view text) { ConsoleWrite(text); }, format, args);
}

void ConsolePrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    ConsoleVPrintf(format, args);
    va_end(args);
}

void ConsolePrintfGathered(const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatAndWrite([](std::string_view text) { ConsoleWriteGathered(text); }, format, args);
    va_end(args);
}

}  // namespace plat
