#pragma once
// An adapter that replays a capture file.  Frames passed, dropped and
// injected can be written to three capture files of their own, so a test
// can check what a sensor let through without a live network.
//
// A replay adapter plays its file once for as long as the library is
// loaded: closing its receive buffer (a sensor that pauses, reloads or
// sets the adapter up again) keeps its place in the file and its output
// files, and the next receive buffer goes on from there.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>

#include "PcapFile.h"
#include "ShimAdapter.h"

namespace shim {

struct ReplayOptions {
    std::string m_strOutputDirectory;  // empty: no output files
    bool m_bLoop = false;              // start again at the end of the file
    // Deliver each frame no earlier than its time stamp says, counted from
    // the first frame's delivery, so a sensor meets the file's gaps.
    bool m_bPace = false;
};

class ReplayAdapter : public ShimAdapter {
public:
    ReplayAdapter(const AdapterFacts& facts, const ReplayOptions& options) : ShimAdapter(facts), m_Options(options) {}

    // Why the replay cannot play the capture file `path`, in words, with
    // what makes it playable; empty when it can.  The replay plays classic
    // pcap files of Ethernet frames named by an absolute path.
    static std::string refusal(const std::string& path);
    // Whether this adapter plays the file `path` as it is on disk now
    // (the same file, not one put in its place).
    bool plays(const std::string& path) const;

    uint32_t createRx(uint32_t bytes, uint32_t frameLenMax) override;
    uint32_t closeRx() override;
    uint32_t read(uint32_t timeoutMs, void** record) override;
    uint32_t free(void* record, uint32_t direction) override;
    uint32_t txOpen() override { return 0; }
    uint32_t txClose() override { return 0; }
    uint32_t transmit(const void* data, uint32_t length) override { return inject(data, length); }
    uint32_t injectReceive(const void* data, uint32_t length) override { return inject(data, length); }

private:
    // Opens the file and the output files, the first time only.
    bool start();
    uint32_t inject(const void* data, uint32_t length);
    // Reads the next frame the reader sees into the record; false at the
    // end of the file or where it is damaged.
    bool readNext();
    // Milliseconds until the held frame is due; 0 when it is due now.
    uint64_t millisecondsUntilDue();

    ReplayOptions m_Options;
    PcapReader m_Reader;
    PcapWriter m_Passed;
    PcapWriter m_Dropped;
    PcapWriter m_Injected;
    // The file and outputs are open, for the adapter's life.  Set once, by
    // the first receive buffer; another adapter record may open the adapter
    // meanwhile and ask which file it plays.
    std::atomic<bool> m_bStarted{false};
    // The file as it was when the replay started (set before m_bStarted).
    dev_t m_Device = 0;
    ino_t m_Inode = 0;
    // A receive buffer is open.
    bool m_bOpen = false;
    bool m_bCorrupt = false;
    uint32_t m_dwSeconds = 0;
    uint32_t m_dwMicroseconds = 0;
    // A frame read from the file and waiting in the record for its time.
    bool m_bHeld = false;
    uint32_t m_dwCaptured = 0;
    uint32_t m_dwOriginal = 0;
    uint32_t m_dwFraction = 0;
    // Pacing: the first frame's file time (microseconds) and when it went
    // out.  Counted afresh from the first frame after a receive buffer is
    // opened again, so the time the adapter was closed does not count.
    bool m_bPaceStarted = false;
    uint64_t m_qwPaceFileStart = 0;
    std::chrono::steady_clock::time_point m_PaceClockStart;
};

}  // namespace shim
