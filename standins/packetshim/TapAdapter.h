#pragma once
// An adapter over an AF_PACKET raw socket bound to one interface: it sees
// every frame the interface receives and sends, and sends frames onto the
// wire.  A tap cannot hold frames back: a dropped frame is only counted.

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
    // Answers a read that failed with `error`.
    uint32_t failedRead(int error);

    int m_nRxFd = -1;
    int m_nTxFd = -1;
    bool m_bLoopback = false;
    // The error the last failed read was told with; 0 after a frame.
    int m_nReadError = 0;
};

}  // namespace shim
