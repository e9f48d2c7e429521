#pragma once
// An adapter that replays a capture file.  Frames passed, dropped and
// injected can be written to three capture files of their own, so a test
// can check what a sensor let through without a live network.
//
// A replay adapter plays its file once for as long as the library is
// loaded: closing its receive buffer (a sensor that pauses, reloads or
// sets the adapter up again) keeps its place in the file and its output
// files, and the next receive buffer goes on from there.  A capture file
// replaced on disk is played afresh from its first record into the same
// output files.
//
// What the reader should know and cannot learn from a status (a damaged
// capture, an output that cannot be written, a capture that starts over)
// waits as a notice for the reader to take.  A replay played to its end
// (the end of a file it does not loop over, or damage that ends what can be
// read) says so, in words, to whoever asks, from then on.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
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

// The replay's pass, drop and inject files, made once and kept for the
// library's life: a capture replaced on disk plays on into the same files.
struct ReplayOutputs {
    // Makes the three files for the adapter `adapter` in `folder`; empty
    // when they are ready, otherwise why not, naming the folder or file.
    std::string open(const std::string& folder, const std::string& adapter, uint32_t linkType);

    PcapWriter m_Passed;
    PcapWriter m_Dropped;
    PcapWriter m_Injected;
};

class ReplayAdapter : public ShimAdapter {
public:
    ReplayAdapter(const AdapterFacts& facts, const ReplayOptions& options) : ShimAdapter(facts), m_Options(options) {}

    // Opens the capture file, without ever waiting on it (anything but a
    // regular file is refused), checks that it is one the replay plays
    // (classic pcap of Ethernet frames, named by an absolute path) and
    // makes the output files.  `replaced` is the replay the adapter had
    // before, if any: when it played the same name into the same folder,
    // the capture was replaced on disk, and its output files are taken
    // over.  Empty when the replay can play; otherwise why not in words,
    // with what makes it playable.
    std::string prepare(const ReplayAdapter* replaced);
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
    // A replay that does not loop ends at the end of its file; any replay
    // ends at damage that ends what can be read.  It stays ended for as
    // long as it is kept: opened again, it has nothing more to play.
    bool inputEnded(std::string& words) const override;

    // Damaged records skipped with a notice each; later ones are counted,
    // and the count is told at the end of the file.
    static constexpr uint64_t kDamageNotices = 10;

private:
    // Opens the capture file; empty, or why it cannot be played.
    std::string openCapture();
    uint32_t inject(const void* data, uint32_t length);
    // Reads the next frame the reader sees into the record; false at the
    // end of the file or where damage ends what can be read.
    bool readNext();
    // Tells the reader of damage the file reader met.
    void reportDamage();
    // Keeps, for whoever asks, that the replay has nothing more to play.
    void end(std::string words);
    // The words for a replay that read its file to the end.
    std::string playedOut() const;
    void write(PcapWriter ReplayOutputs::*output, uint32_t captured, uint32_t original, uint32_t seconds,
               uint32_t microseconds, const uint8_t* data);
    // Milliseconds until the held frame is due; 0 when it is due now.
    uint64_t millisecondsUntilDue();

    ReplayOptions m_Options;
    PcapReader m_Reader;
    std::shared_ptr<ReplayOutputs> m_pOutputs;
    // The file as it was when it was opened.
    uint64_t m_qwIdentity = 0;
    // A receive buffer is open.
    bool m_bOpen = false;
    // Played to its end (a file it does not loop over read to the end, or
    // damage that ends what can be read), and told through end().
    bool m_bEnded = false;
    // Damage is told on the first pass through the file only.
    bool m_bFirstPass = true;
    uint64_t m_qwSkipped = 0;
    // Set once, by the reading thread, when the replay ended; read by any.
    mutable std::mutex m_EndLock;
    std::string m_strEnd;
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
