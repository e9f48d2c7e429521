#pragma once
// The packet driver over the packet-capture driver library: a driver and a
// binding in one object.  A constructed driver has its adapter opened.

#include "rawpacket/Driver.h"
#include "rawpacket/PacketDll.h"

namespace rp {

class MoatDriver : public Driver, public PacketDll {
public:
    // Raises what the binding raises, and OpenError 0xC7210214 for a
    // send-only driver (mode 5) on an adapter that cannot transmit.
    MoatDriver(const std::string& adapterName, uint32_t openMode);
    ~MoatDriver() override;

    uint32_t freeFrame(Frame& frame) override { return PacketDll::free(frame); }
    std::string getTitle() const override { return m_AdapterInfo.title(); }
    std::string getName() const override { return m_AdapterInfo.m_strName; }
    uint32_t getPhysicalAddr(uint8_t* buffer, const uint32_t* size) const override;
    void noop(void*) override {}
    bool readFrame(Frame& frame) override;
    uint32_t getStatistics() override;
    void captureLoop() override;
    void open(bool receive, bool transmit) override;
    void stop() override;
    void inject(const void* data, uint32_t length, bool transmit) override {
        PacketDll::inject(data, length, transmit, m_AdapterInfo);
    }
    uint32_t unsupported(void*) override { return kUnsupportedStatus; }
    void send(const void* data, uint32_t length) override { PacketDll::send(data, length, m_AdapterInfo); }
    uint32_t purgeBypassFilters(void* argument) override { return m_pfnPacketPurgeBypassFilters(argument); }
    uint32_t addBypassFilter(uint32_t address, uint32_t prefix, uint32_t protocol, uint32_t direction) override {
        return m_pfnPacketAddBypassFilter(address, prefix, protocol, direction);
    }
    uint32_t pushAllBypassFilters(void* argument) override { return m_pfnPacketPushAllBypassFilters(argument); }
    uint32_t openDeviceInstance(void* argument) override { return m_pfnOpenDeviceInstance(argument); }
    uint32_t closeDeviceInstance(void* argument) override { return m_pfnCloseDeviceInstance(argument); }
    std::unique_ptr<Driver> clone() const override;
    Driver* assign(const Driver& other) override;
    bool canTransmit() const override { return m_AdapterInfo.m_nTransmitCapability > 0; }
    bool sameAdapter(const Driver& other) const override { return getTitle() == other.getTitle(); }
    bool inputEnded(std::string& words) const override { return PacketDll::inputEnded(words); }
    bool playsRecording() const override { return PacketDll::playsRecording(); }
    bool interruptRead() const override { return PacketDll::interruptRead(); }
    uint64_t framesDroppedForReader() override {
        return getStatistics() == 0 ? m_Statistics.m_qwKernelDropped : 0;
    }

    // The counts of the last getStatistics.
    const PacketStatistics& statistics() const { return m_Statistics; }

private:
    static constexpr uint32_t kUnsupportedStatus = 0xC7210214u;
    MoatDriver() = default;

    PacketStatistics m_Statistics{};
};

}  // namespace rp
