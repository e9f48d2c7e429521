// Replays a committed corpus through a fuzz entry point.  Built with the
// test build's sanitizers, so every input that once found a fault keeps
// being checked in the normal test run even where libFuzzer is absent.
//
//   <name>_replay [-timeout=SECONDS] FILE|DIR...
//
// As with libFuzzer, an input that runs longer than the time limit fails
// the replay (with the input's name and the stack where it was), so an
// input that makes a parser loop or crawl cannot pass unnoticed.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Present when a sanitizer runtime is linked in.
extern "C" void __sanitizer_print_stack_trace() __attribute__((weak));

namespace {

// The input being replayed, for the time-out report; written before the
// alarm is armed, read only by the handler.
char g_current[4096];

void OnTimeout(int) {
    static const char kHead[] = "replay: time-out on input ";
    static const char kTail[] = "\n";
    (void)!::write(STDERR_FILENO, kHead, sizeof kHead - 1);
    (void)!::write(STDERR_FILENO, g_current, ::strnlen(g_current, sizeof g_current));
    (void)!::write(STDERR_FILENO, kTail, sizeof kTail - 1);
    if (__sanitizer_print_stack_trace != nullptr) {
        __sanitizer_print_stack_trace();
    }
    ::_exit(70);
}

int ReplayFile(const std::filesystem::path& path, unsigned timeout) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::snprintf(g_current, sizeof g_current, "%s", path.c_str());
    ::alarm(timeout);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ::alarm(0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned timeout = 0;
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-timeout=", 9) == 0) {
            timeout = static_cast<unsigned>(std::strtoul(argv[i] + 9, nullptr, 10));
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    struct sigaction action {};
    action.sa_handler = OnTimeout;
    ::sigaction(SIGALRM, &action, nullptr);

    int failures = 0;
    size_t count = 0;
    for (const auto& arg : inputs) {
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    failures += ReplayFile(entry.path(), timeout);
                    ++count;
                }
            }
        } else {
            failures += ReplayFile(arg, timeout);
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return failures == 0 && count > 0 ? 0 : 1;
}
