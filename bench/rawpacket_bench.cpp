// Frames read through a packet driver from the capture-file replay adapter
// (the packet shim, looping over its file): the per-frame cost of the read
// and free path without a network.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "rawpacket/Driver.h"
#include "rawpacket/DriverFactory.h"
#include "rawpacket/PacketDll.h"

namespace {

// A capture file of `count` Ethernet frames of mixed sizes, or all of
// `size` bytes when it is not 0 (frames the kernel merged, up to 64 KiB).
std::string WriteCapture(size_t count, uint32_t size) {
    char path[] = "/tmp/rawpacket_bench_XXXXXX";
    int fd = ::mkstemp(path);
    std::FILE* file = ::fdopen(fd, "wb");
    const uint32_t header[6] = {0xa1b2c3d4u, 0x00040002u, 0, 0, 262144, 1};
    std::fwrite(header, sizeof header, 1, file);
    std::vector<uint8_t> bytes(size != 0 ? size : 1514, 0x5a);
    for (size_t i = 0; i < count; ++i) {
        uint32_t length = size != 0 ? size : i % 4 == 0 ? 1514 : 64 + static_cast<uint32_t>(i % 7) * 90;
        const uint32_t record[4] = {1700000000u + static_cast<uint32_t>(i), static_cast<uint32_t>(i % 1000000), length,
                                    length};
        std::fwrite(record, sizeof record, 1, file);
        std::fwrite(bytes.data(), 1, length, file);
    }
    std::fclose(file);
    return path;
}

void ReadReplayFrames(benchmark::State& state) {
    const uint32_t size = static_cast<uint32_t>(state.range(0));
    // About 16 MiB of records whatever their size.
    std::string capture = WriteCapture(size != 0 ? 16777216 / size : 4096, size);
    ::setenv("HW_PACKET_REPLAY", capture.c_str(), 1);
    ::setenv("HW_PACKET_REPLAY_LOOP", "1", 1);
    ::unsetenv("HW_PACKET_REPLAY_OUT");
    static rp::PacketAdapterEntry table[rp::kAdapterTableEntries] = {};
    rp::setAdapterTable(table, rp::kAdapterTableEntries, nullptr, nullptr);
    rp::PacketDll binding;
    binding.m_pfnPacketGetAdapterList(table, rp::kAdapterTableEntries);
    {
        rp::DriverFactory factory;
        std::unique_ptr<rp::Driver> driver = factory.createDriver("\\Device\\replay0", 2);
        driver->open(true, false);
        rp::Frame& frame = driver->frame();
        uint64_t bytes = 0;
        for (auto _ : state) {
            if (driver->readFrame(frame)) {
                bytes += frame.packet().m_dwCapturedLength;
                driver->freeFrame(frame);
            }
        }
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
        state.SetBytesProcessed(static_cast<int64_t>(bytes));
    }
    ::unlink(capture.c_str());
}
// 0: mixed sizes up to 1,514 bytes; then jumbo frames, and frames the
// kernel merged, of 20,000 and 60,000 bytes.
BENCHMARK(ReadReplayFrames)->Arg(0)->Arg(9000)->Arg(20000)->Arg(60000);

}  // namespace

BENCHMARK_MAIN();
