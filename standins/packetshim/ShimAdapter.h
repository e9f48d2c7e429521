#pragma once
// One opened adapter of the packet shim.  Each delivers at most one record
// at a time from a buffer it owns, so reading allocates nothing per frame;
// the caller hands the record back (free) before the next read.  A read
// that waits (for a frame, or for a replay's next frame to be due) ends at
// once when another thread wakes it, so its reader can stop without
// waiting out the read's time-out.

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "BypassFilters.h"
#include "rawpacket/PacketAdapterEntry.h"
#include "rawpacket/PacketDllApi.h"

namespace shim {

// What the shim knows of an adapter before it is opened.
struct AdapterFacts {
    std::string m_strName;         // "\Device\<interface>" or "\Device\replay<n>"
    std::string m_strInterface;    // the interface name, or the capture file of a replay adapter
    std::string m_strDescription;
    bool m_bReplay = false;
    int m_nIfIndex = 0;
    uint32_t m_dwMedium = 12;
    uint32_t m_dwLinkSpeed = 0;
    uint32_t m_dwFrameLenMax = 65535;
    uint32_t m_dwReadMode = 0;
    uint32_t m_dwFlags = 0;
    uint8_t m_Address[6] = {};
    uint32_t m_dwAddressLength = 6;
};

class ShimAdapter {
public:
    explicit ShimAdapter(const AdapterFacts& facts);
    virtual ~ShimAdapter();
    ShimAdapter(const ShimAdapter&) = delete;
    ShimAdapter& operator=(const ShimAdapter&) = delete;

    virtual uint32_t createRx(uint32_t bytes, uint32_t frameLenMax) = 0;
    virtual uint32_t closeRx() = 0;
    virtual uint32_t read(uint32_t timeoutMs, void** record) = 0;
    virtual uint32_t free(void* record, uint32_t direction) = 0;
    virtual uint32_t txOpen() = 0;
    virtual uint32_t txClose() = 0;
    virtual uint32_t transmit(const void* data, uint32_t length) = 0;
    virtual uint32_t injectReceive(const void* data, uint32_t length) = 0;

    // The adapter's counts so far; on the thread that reads it.
    virtual void statistics(rp::PacketStatistics& out) { out = m_Statistics; }
    const AdapterFacts& facts() const { return m_Facts; }

    // Why the last receive or transmit set-up failed, in words; empty when
    // none did.
    const std::string& problem() const { return m_strProblem; }

    // What the adapter has to tell its reader about its input or output
    // (a damaged capture, an output it cannot write): read answers
    // kAdapterNotice while one waits, and the reader takes it here, the
    // oldest first.  False when none waits.
    bool takeNotice(std::string& text);
    // Whether the adapter will deliver nothing more, ever (a replay played
    // to its end), with the words that say so and why; false while input
    // may still come.  Asked from any thread.
    virtual bool inputEnded(std::string& /*words*/) const { return false; }

    // Ends the read that waits now at once, with no frame, or else the
    // next read, which then does not wait.  Any thread.
    void wakeRead();
    // The reader's read: `read` between the marks that tell wakeRead
    // whether a read waits.  A test may have the read that finds a wake
    // given while none waited answer late (HW_PACKET_LATE_WAKE_MS), as a
    // reader that gets no processor for that long would see it.
    uint32_t readAsReader(uint32_t timeoutMs, void** record);

protected:
    // Header plus the largest frame the adapter delivers.
    void sizeRecord(uint32_t frameBytes) { m_Record.assign(rp::kRecordHeaderSize + frameBytes, 0); }
    uint8_t* recordData() { return m_Record.data() + rp::kRecordHeaderSize; }
    uint32_t recordRoom() const { return static_cast<uint32_t>(m_Record.size()) - rp::kRecordHeaderSize; }
    void fillHeader(uint32_t flags, uint32_t captured, uint32_t wire, uint32_t time1, uint32_t time2) {
        void* record = m_Record.data();
        rp::SetRecordWord(record, rp::kRecordFlags, flags);
        rp::SetRecordWord(record, rp::kRecordCapturedLength, captured);
        rp::SetRecordWord(record, rp::kRecordWireLength, wire);
        rp::SetRecordWord(record, rp::kRecordDataOffset, 0);
        rp::SetRecordWord(record, rp::kRecordTime1, time1);
        rp::SetRecordWord(record, rp::kRecordTime2, time2);
    }
    // The record of the last read, while the reader holds it.
    bool ownsRecord(const void* record) const { return m_bRecordOut && record == m_Record.data(); }
    void notice(std::string text);
    bool noticeWaits() const { return m_nNotices.load(std::memory_order_acquire) != 0; }
    // The descriptor that is readable while a wake waits, for a read's
    // poll beside its own descriptor.
    int wakeDescriptor() const { return m_nWakeFd; }
    // Takes a wake that waits; true when there was one.
    bool takeWake();
    // Waits `ms` milliseconds unless a wake comes first: false when woken
    // (the wake is taken).
    bool waitUnlessWoken(uint64_t ms);

    AdapterFacts m_Facts;
    std::vector<uint8_t> m_Record;
    bool m_bRecordOut = false;
    rp::PacketStatistics m_Statistics{};
    BypassView m_Bypass;
    std::string m_strProblem;

private:
    // A reader that never takes its notices cannot make them pile up.
    static constexpr size_t kMaxNotices = 32;
    std::mutex m_NoticeLock;
    std::deque<std::string> m_Notices;
    size_t m_nLeftOut = 0;
    std::atomic<size_t> m_nNotices{0};
    // An event counter: a wake adds to it, the read that ends takes it.
    int m_nWakeFd = -1;
    // Reads under way, and whether a wake came while there were none.
    std::atomic<int> m_nReaders{0};
    std::atomic<bool> m_bWakeUnawaited{false};
};

}  // namespace shim
