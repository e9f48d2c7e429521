// Frames per second through one IDS slave on the packet library's replay
// adapter: capture, the firewall checks of the module's header callbacks
// and the signature module, as the slave's own thread runs them.  Beside it,
// the I/O floor: the same adapter reading the same file with nothing else.
// Frames are 60 bytes (64 on the wire), the size at which 1 GbE carries
// 1.49 million frames per second; none matches a signature, so the loop has
// no reason to allocate, and the allocations the process makes while the
// slave captures are counted (malloc, and with it operator new, is
// interposed below).

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenignFrames.h"
#include "../tests/IDS/PolicyFixture.h"
#include "../tests/qorZamSensorLib/ZamFrames.h"
#include "../tests/rawpacket/ReplayFixture.h"
#include "IDS/CEngineIDSSlave.h"
#include "IDS/IDSConfig.h"
#include "IDS/IDSEventQueue.h"
#include "qorZamSensorLib/qorZamSensorMgr.h"
#include "rawpacket/Driver.h"
#include "rawpacket/DriverFactory.h"
#include "rawpacket/PacketDll.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
}

namespace {

std::atomic<uint64_t> g_qwAllocations{0};

}  // namespace

extern "C" void* malloc(size_t size) {
    g_qwAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) {
    g_qwAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, size_t size) {
    g_qwAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}

namespace {


constexpr const char kAdapter[] = "\\Device\\replay0";
constexpr uint64_t kFramesPerRound = 1000000;

// The benign frames, 64 to a second of capture time.
std::string WriteCapture() {
    std::vector<rptest::TestFrame> frames;
    uint32_t i = 0;
    for (std::vector<uint8_t>& bytes : hwbench::BenignFrames()) {
        frames.push_back({std::move(bytes), 1700000000u + i / 64, (i % 64) * 15000});
        ++i;
    }
    char path[] = "/tmp/ids_replay_XXXXXX";
    const int fd = ::mkstemp(path);
    const std::string bytes = rptest::PcapBytes(frames);
    const bool bWritten = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return bWritten ? path : "";
}

// The environment both benchmarks share: the capture file replayed in a
// loop as the only adapter, without output files.
struct ReplaySetting {
    ReplaySetting() : m_strCapture(WriteCapture()) {
        ::setenv("HW_PACKET_REPLAY", m_strCapture.c_str(), 1);
        ::setenv("HW_PACKET_REPLAY_LOOP", "1", 1);
        ::unsetenv("HW_PACKET_REPLAY_OUT");
        ::unsetenv("HW_PACKET_REPLAY_PACE");
    }
    ~ReplaySetting() { ::unlink(m_strCapture.c_str()); }
    std::string m_strCapture;
};

ReplaySetting& Setting() {
    static ReplaySetting setting;
    return setting;
}

void ReplayFloor(benchmark::State& state) {
    Setting();
    rptest::AdapterTable table;
    table.Fill();
    rp::DriverFactory factory;
    std::unique_ptr<rp::Driver> driver = factory.createDriver(kAdapter, 2);
    driver->open(true, false);
    rp::Frame& frame = driver->frame();
    for (auto _ : state) {
        if (driver->readFrame(frame)) {
            driver->freeFrame(frame);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(ReplayFloor);

// The policy of a sensor that watches for every issue the module knows,
// with Bastion rules in all four tables that none of the frames meets.
void WritePolicy(PolicyFixture& fixture) {
    fixture.Set("\\config\\tuning", "BlockEnabled", true);
    fixture.Set("\\config\\tuning", "packetLog.logging", false);
    fixture.Set("\\config\\tuning", "evidence.logging", false);
    for (const char* pszIssue : {"Land_Attack", "TCP_SynFin", "IP_PingOfDeath_Jolt", "IP_PingOfDeath_Jolt2",
                                 "TCP_PortScan", "Payload_Cmd_Exe"}) {
        fixture.AddRule(PolicyFixture::kIDSTable, pszIssue);
    }
    for (const char* pszSection : {"IP Incoming", "TCP Incoming", "UDP Incoming", "ICMP Incoming"}) {
        const std::string strPath =
            fixture.AddRule(std::string("\\Advanced\\Rules\\Bastion\\") + pszSection, "Barred");
        fixture.Set(strPath, "shrt", "BAR");
        fixture.Set(strPath, "Port", 23);
        fixture.Set(strPath, "Addresses", "10.9.0.0/16,172.16.5.5");
    }
}

void SlaveCapture(benchmark::State& state) {
    Setting();
    PolicyFixture fixture;
    WritePolicy(fixture);
    std::string strVersion;
    qorZamSensorMgr* pManager = qorZamSensorMgr::GetInstance(
        (std::string(HW_BINARY_DIR) + "/bin/libqor-zam1.so").c_str(), 1.0f, strVersion, nullptr);
    if (pManager == nullptr ||
        !pManager->InitIssuesMap((std::string(HW_SOURCE_DIR) + "/examples/demo/Duskwall/issues.csv").c_str(),
                                 nullptr)) {
        state.SkipWithError("the signature module or its issue table did not load");
        return;
    }
    gIDSEnabled = true;
    CIDSConfig config;
    std::unique_ptr<RuleContainer> pRules = fixture.ReadAll();
    config.Configure(pRules.get());
    rptest::AdapterTable table;
    table.Fill();
    IDSEventQueue queue;
    queue.SetCapacity(IDSEventQueue::kCapacity);
    {
        CEngineIDSSlave slave(kAdapter, 123, 0x4, &queue);
        slave.SetIDSConfig(&config);
        if (slave.OnStart(0) != 0 || !slave.IsInitialized()) {
            state.SkipWithError("the slave did not start");
            return;
        }
        uint64_t qwFrames = 0;
        uint64_t qwAllocations = 0;
        for (auto _ : state) {
            const uint64_t qwStart = slave.GetFramesRead();
            const uint64_t qwAllocationsBefore = g_qwAllocations.load();
            const auto tStart = std::chrono::steady_clock::now();
            while (slave.GetFramesRead() - qwStart < kFramesPerRound) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const auto tEnd = std::chrono::steady_clock::now();
            qwAllocations += g_qwAllocations.load() - qwAllocationsBefore;
            const uint64_t qwRead = slave.GetFramesRead() - qwStart;
            qwFrames += qwRead;
            // Frames per second from what the slave read in the window.
            state.SetIterationTime(std::chrono::duration<double>(tEnd - tStart).count() *
                                   static_cast<double>(kFramesPerRound) / static_cast<double>(qwRead));
        }
        slave.OnStop(0);
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFramesPerRound));
        state.counters["allocations_per_frame"] =
            static_cast<double>(qwAllocations) / static_cast<double>(qwFrames);
        state.counters["alerts"] = static_cast<double>(queue.Size());
    }
    while (AgentEventInfo* pRecord = queue.Pop(0)) {
        delete pRecord;
    }
    qorZamSensorMgr::ReleaseInstance();
}
BENCHMARK(SlaveCapture)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
