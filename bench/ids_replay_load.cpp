// Load driver for the network engine: runs the real hwhost with the plug-in,
// the packet library and the signature module on a capture file of N frames
// (2,000,000 unless told), of which every Kth is an attack that gives one
// alert (a SYN+FIN segment from an address of its own), the others benign
// traffic from many hosts.  It counts every alert document the host writes,
// through a pipe, and reports the alerts the capture holds, the alerts
// written and any missing, with the frames per second the replay reached
// and what the host logged about the engine's alert queue.
//
// A replay read from a file waits for room in the engine's queue rather
// than losing an alert, so "missing" must be 0 however slow the alerts are
// taken.  --reader-mbps N reads them no faster than N MB a second (the host's
// writer, then its queue, then the engine's fill up); --reader-stall S has
// the reader take nothing for S seconds once, a tenth into the alerts (a
// reader, or the host's writer, held up on a loaded machine); --busy N keeps N
// threads spinning beside the host, as on a loaded machine; --runs N
// repeats the whole run.
//
// It runs in a network namespace of its own (so it needs root).
//
//   ids_replay_load [--hwhost PATH] [--frames N] [--alert-every K]
//                   [--reader-mbps N] [--reader-stall S] [--busy N] [--runs N]
//                   [--keep]

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenignFrames.h"
#include "HostLoad.h"
#include "integration/NetworkHostSupport.h"
#include "qorZamSensorLib/ZamFrames.h"

namespace {

using Clock = std::chrono::steady_clock;
using zamtest::FrameSpec;
using zamtest::Ip;

struct Options {
    hwload::HostOptions m_host;
    uint64_t m_qwFrames = 2000000;
    uint64_t m_qwAlertEvery = 33;
    double m_dReaderMBps = 0;
    // The reader stops reading this long once, a tenth into the alerts.
    double m_dStallSeconds = 0;
    int m_nBusyThreads = 0;
    int m_nRuns = 1;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {hwload::NumberOption("--frames", options.m_qwFrames),
         hwload::NumberOption("--alert-every", options.m_qwAlertEvery),
         hwload::NumberOption("--reader-mbps", options.m_dReaderMBps),
         hwload::NumberOption("--reader-stall", options.m_dStallSeconds),
         hwload::NumberOption("--busy", options.m_nBusyThreads),
         hwload::NumberOption("--runs", options.m_nRuns)},
        options.m_host);
    if (options.m_qwFrames == 0 || options.m_qwAlertEvery == 0) {
        hwload::Fail("--frames and --alert-every must be positive");
    }
    return options;
}

void PutWord(std::FILE* file, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    std::fwrite(bytes, 1, sizeof bytes, file);
}

void PutRecord(std::FILE* file, const std::vector<uint8_t>& bytes, uint64_t n) {
    // 10,000 frames a second of capture time.
    PutWord(file, static_cast<uint32_t>(1767225600u + n / 10000));
    PutWord(file, static_cast<uint32_t>(n % 10000) * 100);
    PutWord(file, static_cast<uint32_t>(bytes.size()));
    PutWord(file, static_cast<uint32_t>(bytes.size()));
    std::fwrite(bytes.data(), 1, bytes.size(), file);
}

// Writes the capture; answers the alerts it holds.
uint64_t WriteCapture(const std::string& path, const Options& options) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        hwload::Fail("cannot write " + path);
    }
    PutWord(file, 0xA1B2C3D4u);
    PutWord(file, 0x00040002u);  // version 2.4
    PutWord(file, 0);
    PutWord(file, 0);
    PutWord(file, 65535);
    PutWord(file, 1);
    const std::vector<std::vector<uint8_t>> benign = hwbench::BenignFrames();
    uint64_t qwAttacks = 0;
    for (uint64_t n = 0; n < options.m_qwFrames; ++n) {
        if (n % options.m_qwAlertEvery != options.m_qwAlertEvery - 1) {
            PutRecord(file, benign[n % benign.size()], n);
            continue;
        }
        FrameSpec spec;
        spec.m_dwSource = Ip(203, static_cast<uint8_t>(qwAttacks >> 16), static_cast<uint8_t>(qwAttacks >> 8),
                             static_cast<uint8_t>(qwAttacks));
        spec.m_wSourcePort = 5555;
        spec.m_wDestinationPort = 22;
        spec.m_byTcpFlags = 0x03;
        PutRecord(file, zamtest::BuildFrame(spec), n);
        ++qwAttacks;
    }
    if (std::fclose(file) != 0) {
        hwload::Fail("cannot write " + path);
    }
    return qwAttacks;
}

// The log's lines holding `marker`.
std::vector<std::string> LinesWith(const std::string& text, const std::string& marker) {
    std::vector<std::string> lines;
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        const size_t begin = text.rfind('\n', at);
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(begin == std::string::npos ? 0 : begin + 1,
                                    (end == std::string::npos ? text.size() : end) -
                                        (begin == std::string::npos ? 0 : begin + 1)));
        at = end == std::string::npos ? text.size() : end;
    }
    return lines;
}

// One run: the host on a fresh root; answers the alerts missing.
int64_t Run(const Options& options, const std::string& root, const std::string& capture, uint64_t qwExpected) {
    hwtest::NetworkPolicyOptions policy;
    policy.m_bPacketLog = false;
    hwtest::PrepareNetworkRoot(root, policy);
    for (const std::string& setting : hwtest::ReplayFileEnvironment(root, capture)) {
        const size_t equals = setting.find('=');
        ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
    // No output files: the replay's own writes would be timed too.
    ::unsetenv("HW_PACKET_REPLAY_OUT");
    const std::string fifo = root + "/alerts.fifo";
    auto pCounter = std::make_unique<hwload::AlertCounter>(fifo, options.m_dReaderMBps * 1e6);
    if (options.m_dStallSeconds > 0) {
        pCounter->StallOnce(qwExpected / 10, options.m_dStallSeconds);
    }
    const auto start = Clock::now();
    const pid_t host = hwload::StartHost(
        {options.m_host.m_strHwhost, "run", "--root", root, "--log", hwload::LogPath(root)}, fifo);
    // Done when every alert arrived, or when none came for a while.
    uint64_t qwLast = 0;
    auto lastChange = Clock::now();
    Clock::time_point lastAlert = start;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint64_t qwNow = pCounter->Count();
        if (qwNow != qwLast) {
            qwLast = qwNow;
            lastChange = lastAlert = Clock::now();
        }
        if (qwNow >= qwExpected ||
            Clock::now() - lastChange > std::chrono::duration<double>(20 + options.m_dStallSeconds)) {
            break;
        }
    }
    const double dSeconds = std::chrono::duration<double>(lastAlert - start).count();
    hwload::StopHost(host);
    pCounter.reset();
    const std::string log = hwload::ReadText(hwload::LogPath(root));
    const uint64_t qwWritten = qwLast;
    const int64_t nMissing = static_cast<int64_t>(qwExpected) - static_cast<int64_t>(qwWritten);
    std::printf("%" PRIu64 " frames, %" PRIu64 " alerts in the capture, %" PRIu64
                " written, %" PRId64 " missing; first to last alert %.1f s (%.0f frames/s)\n",
                options.m_qwFrames, qwExpected, qwWritten, nMissing, dSeconds,
                dSeconds > 0 ? static_cast<double>(options.m_qwFrames) / dSeconds : 0.0);
    for (const char* pszMarker : {"Failure to Q events", "Bound reached: adapter", " alerts taken, "}) {
        for (const std::string& line : LinesWith(log, pszMarker)) {
            std::printf("  log: %s\n", line.c_str());
        }
    }
    return nMissing;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string scratch = hwload::EnterScratchNamespace("ids_replay_load");
    const std::string capture = scratch + "/capture.pcap";
    const uint64_t qwExpected = WriteCapture(capture, options);
    std::printf("hwhost %s: %" PRIu64 " frames replayed, one alert in %" PRIu64
                ", alerts read %s, %d busy threads beside it\n",
                options.m_host.m_strHwhost.c_str(), options.m_qwFrames, options.m_qwAlertEvery,
                options.m_dReaderMBps > 0 ? (std::to_string(options.m_dReaderMBps) + " MB/s").c_str()
                                          : "as fast as they come",
                options.m_nBusyThreads);
    hwload::BusyThreads busy(options.m_nBusyThreads);
    int nLossyRuns = 0;
    for (int run = 1; run <= options.m_nRuns; ++run) {
        const std::string root = scratch + "/run" + std::to_string(run);
        std::filesystem::create_directories(root);
        std::printf("run %d: ", run);
        if (Run(options, root, capture, qwExpected) != 0) {
            ++nLossyRuns;
        }
        std::fflush(stdout);
        hwload::FinishRoot(options.m_host, root);
    }
    std::printf("%d of %d runs lost alerts\n", nLossyRuns, options.m_nRuns);
    std::filesystem::remove(capture);
    if (!options.m_host.m_bKeep) {
        std::filesystem::remove_all(scratch);
    }
    return nLossyRuns == 0 ? 0 : 1;
}
