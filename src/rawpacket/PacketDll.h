#pragma once
// The binding to the packet-capture driver library: the process-wide loader
// that loads and initialises the library once, the shared adapter table the
// IDS engine registers, and the per-driver binding with its entry points
// and the open, capture, stop, free, inject and send wrappers.

#include <cstdint>
#include <memory>
#include <string>

#include "rawpacket/PacketDllApi.h"
#include "rawpacket/Singleton.h"

namespace rp {

class AdapterInfo;
class Frame;

using TableLockFn = void (*)();

// Registers the IDS engine's adapter table; the callbacks take and release
// its adapter-list lock.
void setAdapterTable(PacketAdapterEntry* entries, uint32_t capacity, TableLockFn lock, TableLockFn unlock);

class PacketDllLoader : public Singleton {
public:
    static PacketDllLoader& instance();

    // Loads the library and runs PacketInit once; a no-op afterwards.  A
    // library whose PacketInit refused is let go again (ResourceError), so
    // the next call tries it afresh.
    void initialise(uint8_t flag);
    void release() override { delete this; }
    void* module() const { return m_hModule; }

    // PacketInit with {6, 1, 12}; a refusal is retried once with {6, 1, 0},
    // and a second refusal raises ResourceError.
    static void callPacketInit(PacketInitFn init);

    PacketInitFn m_pfnPacketInit = nullptr;
    PacketTermFn m_pfnPacketTerm = nullptr;
    void* m_hModule = nullptr;
    std::string m_strFileName = "DUSKDLL.DLL";
    bool m_bSkipTerminate = false;
    bool m_bLoading = false;

private:
    PacketDllLoader() : Singleton(1) {}
    ~PacketDllLoader() override;
};

class PacketDll {
public:
    // Binds the library (loading and initialising it on first use); raises
    // ResourceError when a required entry point is missing.
    PacketDll();
    // Shares the opened adapter: same entry, same holder; its own frame
    // sequence from 0.
    PacketDll(const PacketDll& other);
    PacketDll& operator=(const PacketDll& other);
    virtual ~PacketDll() = default;

    // The adapter's record in the shared table, taken under the table lock;
    // null when the adapter was never found there.
    PacketAdapterEntry* lookupEntry() const;

    void open(const std::string& adapterName, uint32_t openMode, AdapterInfo& info);
    void startCapture(bool receive, bool transmit, uint32_t openMode, AdapterInfo& info);
    void stop(AdapterInfo& info);
    uint32_t free(Frame& frame);
    void inject(const void* data, uint32_t length, bool transmit, const AdapterInfo& info);
    void send(const void* data, uint32_t length, const AdapterInfo& info);
    // How many copies share this binding's adapter.
    long shareCount() const { return m_pShared.use_count(); }
    // The library's words after a read answered kDllAdapterNotice; false
    // when it has none.
    bool takeNotice(std::string& text) const;
    // The library's words when the adapter will deliver nothing more, ever
    // (a capture file played to its end); false while input may still
    // come, or when the library cannot tell.  Safe beside the reading thread.
    bool inputEnded(std::string& text) const;
    // Whether the adapter plays a recording, whose frames wait for their
    // reader; false for a live adapter, or when the library cannot tell.
    bool playsRecording() const;
    // Ends the read that waits now (or else the next one) at once, without
    // a frame; false when the library cannot, so that a read ends at its
    // time-out only.  Safe beside the reading thread.
    bool interruptRead() const;

    PacketCloseFn m_pfnPacketClose = nullptr;
    PacketOpenFn m_pfnPacketOpen = nullptr;
    PacketCreateRxFn m_pfnPacketCreateRx = nullptr;
    PacketCloseRxFn m_pfnPacketCloseRx = nullptr;
    PacketReadFn m_pfnPacketRead = nullptr;
    PacketGetStatisticsFn m_pfnPacketGetStatistics = nullptr;
    PacketGetDllVersionFn m_pfnPacketGetDllVersion = nullptr;
    PacketGetAdapterProblemFn m_pfnPacketGetAdapterProblem = nullptr;
    PacketGetAdapterNoticeFn m_pfnPacketGetAdapterNotice = nullptr;
    PacketGetAdapterInputEndFn m_pfnPacketGetAdapterInputEnd = nullptr;
    PacketGetAdapterRecordedFn m_pfnPacketGetAdapterRecorded = nullptr;
    PacketInterruptReadFn m_pfnPacketInterruptRead = nullptr;
    PacketSetShutdownFn m_pfnPacketSetShutdown = nullptr;
    PacketTxCloseFn m_pfnPacketTxClose = nullptr;
    PacketTxOpenFn m_pfnPacketTxOpen = nullptr;
    PacketTxSendArrayFn m_pfnPacketTxSendArray = nullptr;
    PacketFreeFn m_pfnPacketFree = nullptr;
    PacketStartCaptureFn m_pfnPacketStartCapture = nullptr;
    PacketGetAdapterListFn m_pfnPacketGetAdapterList = nullptr;
    PacketInjectFn m_pfnPacketInjectReceive = nullptr;
    PacketInjectFn m_pfnPacketInjectTransmit = nullptr;
    PacketFilterCallFn m_pfnPacketPurgeBypassFilters = nullptr;
    PacketAddBypassFilterFn m_pfnPacketAddBypassFilter = nullptr;
    PacketFilterCallFn m_pfnPacketPushAllBypassFilters = nullptr;
    PacketFilterCallFn m_pfnOpenDeviceInstance = nullptr;
    PacketFilterCallFn m_pfnCloseDeviceInstance = nullptr;

    int32_t m_nEntryIndex = -1;
    std::shared_ptr<void> m_pShared;
    uint8_t m_byInitFlag = 0;
    uint32_t m_dwFrameSequence = 0;
    uint32_t m_dwReceiveBufferSize = 0x200000;

private:
    void copyBinding(const PacketDll& other);
    // A copy of the adapter's record, taken under the table lock, for
    // asking the library about it beside the reading thread; false when
    // the adapter was never found in the table.
    bool copyEntry(PacketAdapterEntry& entry) const;
    uint32_t receiveBufferBytes(const AdapterInfo& info) const;
    // The library's words on why the adapter's last set-up step failed;
    // empty when it has none.
    std::string adapterProblem(const PacketAdapterEntry* entry) const;
    // Raises the failure of a buffer's set-up, with the library's words
    // when it has them.
    [[noreturn]] void throwBufferFailed(const char* what, uint32_t status, const PacketAdapterEntry* entry,
                                        const AdapterInfo& info) const;
};

// Fills `frame` from one PacketRead; true when a frame was delivered.
bool read(PacketDll& binding, Frame& frame, const AdapterInfo& info);

// The hardware-address text of a driver-library record: upper-case
// hexadecimal byte pairs joined by "-", and " + " and the second address
// when the record has two.
std::string EntryAddressText(const PacketAdapterEntry* entry);

}  // namespace rp
