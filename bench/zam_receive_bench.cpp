// Frames per second through the signature module's receive path: a mix of
// ordinary TCP, UDP and ICMP frames with a few attack frames, handed to a
// module instance through the sensor wrapper with the parsed-header
// callbacks on, as an IDS slave runs it.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <memory>
#include <string>
#include <vector>

#include "../tests/qorZamSensorLib/RecordingNotify.h"
#include "../tests/qorZamSensorLib/ZamFrames.h"
#include "qorZamSensorLib/qorZamSensorMgr.h"

using namespace zamtest;

namespace {

class CountingNotify : public RecordingNotify {
public:
    void OnMatch(uint32_t, const char*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                 uint32_t, const char*, void*, uint32_t) override {
        ++m_nMatches;
    }
    int32_t OnParsedIp(uint32_t, uint32_t, uint32_t, uint32_t) override { return 1; }
    int32_t OnParsedIcmp(uint32_t, uint32_t, uint32_t, uint32_t) override { return 1; }
    int32_t OnParsedTcp(uint32_t, uint32_t, uint32_t, uint32_t) override { return 1; }
    int32_t OnParsedUdp(uint32_t, uint32_t, uint32_t, uint32_t) override { return 1; }
    void OnMacReporting(const uint8_t*, const uint8_t*) override {}
    int64_t m_nMatches = 0;
};

// 64 frames: one in eight UDP, one in eight ICMP echo, one in eight a bare
// ACK, the rest TCP data of 400 to 1,200 bytes; one SYN+FIN and one payload
// match among them.
std::vector<std::unique_ptr<RecordedFrame>> FrameMix() {
    std::vector<std::unique_ptr<RecordedFrame>> frames;
    for (int i = 0; i < 64; ++i) {
        FrameSpec spec;
        spec.m_wSourcePort = static_cast<uint16_t>(40000 + i);
        spec.m_byTcpFlags = 0x18;
        spec.m_strPayload.assign(400 + 200 * (i % 5), 'd');
        if (i % 8 == 0) {
            spec.m_byProtocol = 17;
            spec.m_strPayload.assign(120, 'u');
        } else if (i % 8 == 1) {
            spec.m_byProtocol = 1;
            spec.m_strPayload.assign(56, 'p');
        } else if (i % 8 == 2) {
            spec.m_byTcpFlags = 0x10;
            spec.m_strPayload.clear();
        } else if (i == 7) {
            spec.m_byTcpFlags = 0x03;
        } else if (i == 15) {
            spec.m_strPayload = "GET /scripts/cmd.exe?/c+dir HTTP/1.0\r\n";
        }
        frames.push_back(std::make_unique<RecordedFrame>(BuildFrame(spec), 100 + i / 8));
    }
    return frames;
}

void BM_ZamReceive(benchmark::State& state) {
    std::string version;
    std::string module = std::string(HW_BINARY_DIR) + "/bin/libqor-zam1.so";
    qorZamSensorMgr* manager = qorZamSensorMgr::GetInstance(module.c_str(), 1.0f, version, nullptr);
    if (manager == nullptr) {
        state.SkipWithError("the signature module did not load");
        return;
    }
    CountingNotify notify;
    const uint32_t local[] = {htonl(Ip(192, 0, 2, 10))};  // network byte order
    manager->SetEventMatchNotify(&notify);
    IZamSensor* sensor = manager->CreateZamInstance(local, 1, 123);
    for (const char* key : {"zam.parsedipcallback", "zam.parsedtcpcallback", "zam.parsedudpcallback",
                            "zam.parsedicmpcallback", "zam.macreportingcallback"}) {
        sensor->SetParameter(key, "enabled");
    }
    auto frames = FrameMix();
    uint8_t context[72] = {};
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(sensor->Receive(frames[next]->Record(), context));
        next = (next + 1) % frames.size();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["matches"] = static_cast<double>(notify.m_nMatches);
    manager->DestroyZamInstance(sensor);
    qorZamSensorMgr::ReleaseInstance();
}
BENCHMARK(BM_ZamReceive);

}  // namespace

BENCHMARK_MAIN();
