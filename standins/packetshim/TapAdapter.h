#pragma once
// An adapter over an AF_PACKET raw socket bound to one interface: it sees
// every frame the interface receives and sends, and sends frames onto the
// wire.  A tap cannot hold frames back: a dropped frame is only counted.

#include <linux/if_packet.h>

#include "ShimAdapter.h"

namespace shim {

class TapAdapter : public ShimAdapter {
public:
    explicit TapAdapter(const AdapterFacts& facts) : ShimAdapter(facts) {}
    ~TapAdapter() override;

    uint32_t createRx(uint32_t bytes, uint32_t frameLenMax) override;
    uint32_t closeRx() override;
    uint32_t read(uint32_t timeoutMs, void** record) override;
    uint32_t free(void* record, uint32_t direction) override;
    uint32_t txOpen() override;
    uint32_t txClose() override;
    uint32_t transmit(const void* data, uint32_t length) override;
    uint32_t injectReceive(const void* data, uint32_t length) override;
    // With the frames the system dropped for want of room in the socket's
    // buffer up to now, not only up to the last close.
    void statistics(rp::PacketStatistics& out) override;

private:
    int openSocket(int protocol);
    void collectKernelDrops();
    // Takes what the receive socket holds, counting the frames a read
    // would have handed over.  Only right before the socket is closed.
    uint64_t countUnread();
    // Whether a read hands over the frame `from` sent, of `wire` bytes,
    // whose bytes are in the record: neither the loopback interface's
    // second sight of it nor bypassed (counted as passed).
    bool isForReader(const sockaddr_ll& from, uint32_t wire);
    // Answers a read that failed with `error`.
    uint32_t failedRead(int error);

    int m_nRxFd = -1;
    int m_nTxFd = -1;
    bool m_bLoopback = false;
    // The error the last failed read was told with; 0 after a frame.
    int m_nReadError = 0;
};

}  // namespace shim
