// Lines read from a followed log file: the per-line cost of the text-log
// engine's read path (file size check, buffer refill, line cut, line end
// removal, what the reader keeps to know what it read, and the
// standard-error report), for short lines and for lines long enough to come
// out in pieces; with every line echoed, and with the engine's echo budget,
// which leaves out almost every line of a flood.  And the pace at which a
// run of NULs written before a line is passed over.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "TextLogs/CEngineTextLog.h"
#include "TextLogs/TextLogListener.h"
#include "platform/Console.h"
#include "qorToolsLib/EchoBudget.h"

namespace {

// A log of `count` lines of `length` bytes each, line feed included.
std::string WriteLog(size_t count, size_t length) {
    char path[] = "/tmp/textlog_bench_XXXXXX";
    const int fd = ::mkstemp(path);
    std::FILE* file = ::fdopen(fd, "wb");
    std::string line(length - 1, 'x');
    line.replace(0, 20, "2026-12-06 10:00:00 ");
    line += '\n';
    for (size_t i = 0; i < count; ++i) {
        std::fwrite(line.data(), 1, line.size(), file);
    }
    std::fclose(file);
    return path;
}

void ReadLines(benchmark::State& state) {
    plat::SetConsoleSink([](std::string_view) {});
    const auto length = static_cast<size_t>(state.range(0));
    const std::string path = WriteLog(20000, length);
    EchoBudget budget(CEngineTextLog::kEchoLinesPerSecond, CEngineTextLog::kEchoBytesPerSecond,
                      CEngineTextLog::kEchoBurstBytes);
    CTextLogListener listener(path, state.range(1) != 0 ? &budget : nullptr);
    listener.Open(0);
    size_t bytes = 0;
    for (auto _ : state) {
        CTextLogListener::Line line;
        if (!listener.ReadNextLine(line)) {
            state.PauseTiming();
            listener.Open(0);
            state.ResumeTiming();
            continue;
        }
        bytes += line.m_Text.size() + 1;
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    ::unlink(path.c_str());
    plat::SetConsoleSink(nullptr);
}
BENCHMARK(ReadLines)->ArgsProduct({{100, 1000, 10000}, {0, 1}})->ArgNames({"length", "budget"});

// `MiB` of NULs written before a line, read from the start until the line
// comes, as many calls as that takes.
void PassOverNuls(benchmark::State& state) {
    plat::SetConsoleSink([](std::string_view) {});
    const auto qwBytes = static_cast<size_t>(state.range(0)) << 20;
    char path[] = "/tmp/textlog_bench_XXXXXX";
    const int fd = ::mkstemp(path);
    const std::string block(1 << 20, '\0');
    for (size_t n = 0; n < qwBytes; n += block.size()) {
        if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
            state.SkipWithError("cannot write the NULs");
        }
    }
    const std::string line = "2026-12-06 10:00:00 after the NULs\n";
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        state.SkipWithError("cannot write the line");
    }
    ::close(fd);
    CTextLogListener listener(path);
    for (auto _ : state) {
        listener.Open(0);
        CTextLogListener::Line read;
        while (!listener.ReadNextLine(read)) {
        }
        benchmark::DoNotOptimize(read.m_Text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * qwBytes));
    ::unlink(path);
    plat::SetConsoleSink(nullptr);
}
BENCHMARK(PassOverNuls)->Arg(256)->ArgName("MiB")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
