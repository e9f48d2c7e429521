#pragma once
// A packet driver: the object through which a client reads and sends frames
// on one adapter.  It holds the adapter record, the stopped flag, the frame
// its reads fill, the frame callback of its capture loop, the factory that
// handed it out and the adapter's lock.

#include <cstdint>
#include <memory>
#include <string>

#include "rawpacket/AdapterInfo.h"
#include "rawpacket/AdapterLock.h"
#include "rawpacket/Frame.h"

namespace rp {

class DriverFactory;
class Driver;

// Answers false to end the capture loop.
using FrameCallback = bool (*)(Driver* driver, Frame* frame, void* context);

class Driver {
public:
    Driver(const std::string& adapterName, uint32_t openMode);
    virtual ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    virtual uint32_t freeFrame(Frame& frame) = 0;
    virtual std::string getTitle() const = 0;
    virtual std::string getName() const = 0;
    // Copies the adapter's hardware address, as much as `*size` allows;
    // answers the bytes copied.
    virtual uint32_t getPhysicalAddr(uint8_t* buffer, const uint32_t* size) const = 0;
    virtual void noop(void* argument) = 0;
    virtual bool readFrame(Frame& frame) = 0;
    virtual uint32_t getStatistics() = 0;
    virtual void captureLoop() = 0;
    virtual void open(bool receive, bool transmit) = 0;
    virtual void stop() = 0;
    virtual void inject(const void* data, uint32_t length, bool transmit) = 0;
    virtual uint32_t unsupported(void* argument) = 0;
    virtual void send(const void* data, uint32_t length) = 0;
    virtual uint32_t purgeBypassFilters(void* argument) = 0;
    virtual uint32_t addBypassFilter(uint32_t address, uint32_t prefix, uint32_t protocol, uint32_t direction) = 0;
    virtual uint32_t pushAllBypassFilters(void* argument) = 0;
    virtual uint32_t openDeviceInstance(void* argument) = 0;
    virtual uint32_t closeDeviceInstance(void* argument) = 0;
    // A new driver sharing this one's opened adapter, or null.
    virtual std::unique_ptr<Driver> clone() const { return nullptr; }
    virtual Driver* assign(const Driver& other);
    // "capturebuffersize", "readtimeout"; other names leave `value` as it is.
    virtual void getParameter(const std::string& name, std::string& value) const;
    // "capturebuffersize", "readtimeout", "tracelevel"; always 0.
    virtual uint32_t setParameter(const std::string& name, const std::string& value);
    virtual bool canTransmit() const { return true; }
    virtual bool sameAdapter(const Driver& other) const { return getName() == other.getName(); }
    // The driver library's words when the adapter will deliver nothing
    // more, ever (a capture file played to its end); false while input may
    // still come, or when the library cannot tell.  Callable beside the
    // thread that reads.
    virtual bool inputEnded(std::string& /*words*/) const { return false; }
    // Whether the adapter plays a recording (a capture file) whose frames
    // wait for the reader however long it holds one, so that a reader may
    // wait for room downstream rather than leave anything out; false for a
    // live adapter, whose frames a slow reader loses.
    virtual bool playsRecording() const { return false; }
    // Ends the read that waits now on another thread (or else that
    // thread's next read) at once, without a frame, so that its reader can
    // stop at once; false when the library cannot, and a read then ends at
    // its time-out only.  Callable beside the thread that reads.
    virtual bool interruptRead() const { return false; }
    // Frames the adapter dropped since it was opened because its reader
    // had not taken those before them (its capture buffer was full); 0 when
    // the library cannot tell.  On the thread that reads.
    virtual uint64_t framesDroppedForReader() { return 0; }
    // Frames the adapter had received for its reader and not handed over
    // yet when the driver was last stopped: the stop let them go unread.
    // 0 when the library cannot tell, and for a recording, whose frames
    // wait in it for the next opening.
    uint64_t framesLeftUnreadAtStop() const { return m_AdapterInfo.m_qwLeftUnreadAtStop; }

    void setMode(uint32_t openMode) { m_AdapterInfo.m_dwOpenMode = openMode; }
    // Records the factory that handed the driver out, so destruction
    // removes it from that factory's registry.
    void registerWith(const std::string& key, DriverFactory* factory);
    void setFrameCallback(FrameCallback callback, void* context);

    const AdapterInfo& adapterInfo() const { return m_AdapterInfo; }
    bool stopped() const { return m_bStopped; }
    Frame& frame() { return *m_pFrame; }
    const std::string& registrationKey() const { return m_strKey; }
    const AdapterLock* adapterLock() const { return m_pAdapterLock.get(); }

    // "QOR_CAPTURE_BUFSZ": a number with an optional k or m; at most 62,500,000.
    static bool captureBufferFromEnvironment(uint32_t& size);

protected:
    // For clones: no adapter and no lock yet.
    Driver();

    AdapterInfo m_AdapterInfo;
    DriverFactory* m_pFactory = nullptr;
    bool m_bStopped = false;
    FrameCallback m_pfnCallback = nullptr;
    void* m_pCallbackContext = nullptr;
    std::unique_ptr<Frame> m_pFrame;
    std::string m_strKey;
    std::shared_ptr<AdapterLock> m_pAdapterLock;
};

}  // namespace rp
