// Frames written into a packet-log ring: the per-frame cost of the record
// header, the copy into the file's buffer and the share of the disk writes
// and file rolls, for short and full-size frames in both file formats.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qorPacketLogLib/qorPacketLog.h"

namespace {

void WriteFrames(benchmark::State& state, const char* suffix) {
    char directory[] = "/tmp/packetlog_bench_XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        state.SkipWithError("no scratch directory");
        return;
    }
    const auto length = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> bytes(length, 0x5A);
    rp::PacketRecord record{length, length, 1700000000, 0, bytes.data(), 0, 0, 0, 0};
    {
        qorPacketLog log;
        log.SetParameter("fileprefix", (std::string(directory) + "/bench").c_str());
        log.SetParameter("filesuffix", suffix);
        log.SetParameter("maxKbytes", "16384");
        log.SetParameter("maxfiles", "2");
        log.ApplyParameters();
        for (auto _ : state) {
            record.m_dwMicroseconds = (record.m_dwMicroseconds + 1) % 1000000;
            if (!log.Write(record)) {
                state.SkipWithError("write failed");
                break;
            }
        }
        state.SetItemsProcessed(state.iterations());
        state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(length));
    }
    for (const char* name : {"/bench000", "/bench001"}) {
        ::unlink((std::string(directory) + name + suffix).c_str());
    }
    ::rmdir(directory);
}

void SnifferFrames(benchmark::State& state) {
    WriteFrames(state, ".enc");
}
void LibpcapFrames(benchmark::State& state) {
    WriteFrames(state, ".tcp");
}

}  // namespace

BENCHMARK(SnifferFrames)->Arg(64)->Arg(1514);
BENCHMARK(LibpcapFrames)->Arg(64)->Arg(1514);

BENCHMARK_MAIN();
