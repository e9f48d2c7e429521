#pragma once
// The sensor as its host drives it.  The host's sensor thread loops in
// WaitForCommand; its control thread calls a command operation with a
// request object and then WakeSensorThread.  A command answers through the
// request (status, then completion); a null request is tolerated everywhere.
// Every operation answers 0 unless its comment says otherwise.

#include <cstdint>

class ICSFCommandRequest;
class IPolicyContainer;

class ICSFSensor {
public:
    virtual bool Probe(uint32_t dwFirst, uint32_t dwSecond) = 0;
    virtual uint8_t IsPaused() = 0;
    virtual uint8_t GetSpareFlag() = 0;
    // 1 when alert events take the legacy (Qg) form.
    virtual uint8_t UsesQgEvents() = 0;
    virtual uint8_t IsInitialized() = 0;

    virtual uint32_t Oninit(ICSFCommandRequest* pRequest) = 0;
    // Blocks the calling (sensor) thread until the next wake-up; the first
    // call returns at once.  A wake-up is never lost: one that arrives while
    // no thread waits is kept for the next call.
    virtual uint32_t WaitForCommand(uint32_t dwFirst, uint32_t dwSecond) = 0;
    virtual uint32_t OnInput(uint32_t dwFirst, uint32_t dwSecond) = 0;
    virtual uint32_t OnStop(ICSFCommandRequest* pRequest) = 0;
    virtual uint32_t OnReloadPolicy(ICSFCommandRequest* pRequest) = 0;
    virtual uint32_t OnPause(ICSFCommandRequest* pRequest) = 0;
    virtual uint32_t OnResume(ICSFCommandRequest* pRequest) = 0;
    virtual uint32_t OnStatusRequest(ICSFCommandRequest* pRequest) = 0;
    virtual uint32_t OnUpdateStarted(ICSFCommandRequest* pRequest) = 0;
    virtual uint32_t OnUpdateCompleted(ICSFCommandRequest* pRequest) = 0;
    virtual uint32_t OnUpdateFailed(ICSFCommandRequest* pRequest) = 0;
    virtual uint32_t OnUserOperationDone(ICSFCommandRequest* pRequest) = 0;
    virtual uint32_t OnDoStats() = 0;
    // Hands over the host's common policy (response definitions); the
    // container stays the host's.  The answer is opaque to the host.
    virtual uintptr_t OnChangeCommonPolicy(IPolicyContainer* pCommonPolicy) = 0;
    // Asks the sensor to destroy itself (a static sensor ignores it).
    virtual uint32_t Delete() = 0;

    virtual uint32_t SetHostContext(uint32_t dwContext) = 0;
    virtual uint32_t SetBaseDirectory(const char* pszDirectory) = 0;
    virtual uint32_t SetSensorName(const char* pszName) = 0;
    virtual uint32_t SetProductName(const char* pszName) = 0;
    // Must come before any policy event is made.
    virtual uint32_t SetUsesQgEvents(uint8_t bUses) = 0;
    virtual uint32_t SetSensorAddress(const char* pszAddress) = 0;
    virtual uint32_t SetPluginName(const char* pszName) = 0;
    virtual uint32_t SetPluginVersion(const char* pszVersion) = 0;
    virtual uint32_t SetAuxText1(const char* pszText) = 0;
    virtual uint32_t SetAuxText2(const char* pszText) = 0;
    virtual const char* GetSensorName() = 0;
    virtual const char* GetProductName() = 0;
    virtual const char* GetPluginVersion() = 0;
    virtual const char* GetAuxText1() = 0;
    virtual uint32_t GetProductId() = 0;
    virtual const char* GetSensorAddress() = 0;

    virtual uint32_t SetReloadFlag(uint8_t bFlag) = 0;
    virtual uint8_t GetReloadFlag() = 0;
    virtual uint32_t SetCmlFlag(uint8_t bFlag) = 0;
    virtual uint8_t GetCmlFlag() = 0;
    virtual uint32_t OnCmlInput(ICSFCommandRequest* pRequest) = 0;
    virtual uint32_t ProcessCmlInput() = 0;
    // Sets status 1 without completing: the host copies the response while
    // its SetStatus runs, since the buffer is cleared right after.
    virtual uint32_t SendCmlResponse(ICSFCommandRequest* pRequest) = 0;
    virtual void WakeSensorThread() = 0;

protected:
    ~ICSFSensor() = default;
};
