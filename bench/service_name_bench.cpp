// The service name of an alert's port, as every alert that carries ports
// asks it twice (the victim's and the intruder's): the layer's lookup
// beside the system's own, in the same run.  A sender's ephemeral port is
// listed nowhere, and the system's lookup reads the whole service table to
// say so.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdint>
#include <string>

#include "platform/NetworkNames.h"

namespace {

// Ports of the sort senders come from, none of them listed, and one that is.
uint16_t PortAt(int64_t n) {
    return static_cast<uint16_t>(n % 8 == 0 ? 80 : 40000 + n % 4096);
}

void SystemLookup(benchmark::State& state) {
    int64_t n = 0;
    for (auto _ : state) {
        servent entry{};
        servent* found = nullptr;
        char buffer[1024];
        benchmark::DoNotOptimize(getservbyport_r(htons(PortAt(n++)), "tcp", &entry, buffer, sizeof buffer, &found));
    }
}
BENCHMARK(SystemLookup);

void LayerLookup(benchmark::State& state) {
    int64_t n = 0;
    std::string name;
    for (auto _ : state) {
        benchmark::DoNotOptimize(plat::LookupServiceName(PortAt(n++), "tcp", name));
    }
}
BENCHMARK(LayerLookup);

}  // namespace

BENCHMARK_MAIN();
