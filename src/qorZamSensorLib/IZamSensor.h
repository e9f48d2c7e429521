#pragma once
// One analysis instance of the signature module (IZamSensor) and one event
// coalescer on it (IZamCoalescer), as an IDS slave uses them.  Each belongs
// to one slave and is called on that slave's thread only.

#include <cstdint>

#include "qorZamSensorLib/IZamEventMatchNotify.h"

namespace rp {
struct PacketRecord;
}

class IZamSensor {
public:
    virtual void IssueEnableAll() = 0;
    virtual void IssueDisableAll() = 0;
    virtual void IssueEnable(uint32_t dwIssueId) = 0;
    virtual void IssueDisable(uint32_t dwIssueId) = 0;
    virtual void Housekeeping() = 0;
    // The module's verdict; 3 means drop the frame.
    virtual int32_t Receive(const rp::PacketRecord* pPacket, void* pContext) = 0;
    virtual IZamEventMatchNotify* GetEventMatchNotify() = 0;
    virtual int32_t SetParameter(const char* pszName, const char* pszValue) = 0;
    // A TCP reset answering the packet (`bReverse`: back to its sender), or
    // in its own direction; start and length 0 when the module could not
    // build one.
    virtual void* ResetFrameCreate(const rp::PacketRecord* pPacket, void* pContext,
                                   const uint8_t* pSourceMac, uint32_t dwSourceMacLength,
                                   const uint8_t* pDestinationMac, uint32_t dwDestinationMacLength,
                                   bool bOverrideDestination, const void** ppStart,
                                   uint32_t* pdwLength, bool bReverse) = 0;
    virtual void ResetFrameDestroy(void* pFrame) = 0;
    virtual bool ResetFrameIsValid(void* pFrame) = 0;
    virtual ~IZamSensor() = default;
};

class IZamCoalescer {
public:
    // Non-zero when the coalescer took the record; otherwise the caller
    // still owns it and reports the match itself.
    virtual int32_t Process(uint32_t dwTime, uint32_t dwIssueId, uint32_t dwCount,
                            uint32_t dwFlags, uint32_t dwVictim, uint32_t dwIntruder,
                            uint32_t dwVictimPort, uint32_t dwIntruderPort,
                            uint32_t dwReportType, uint32_t dwPacketFlags, const char* pszParams,
                            void* pRecord) = 0;
    virtual void Age(uint32_t dwSeconds) = 0;
    virtual void Flush() = 0;
    virtual IZamEventMatchNotify* GetEventMatchNotify() = 0;
    virtual int32_t SetParameter(const char* pszName, const char* pszValue) = 0;
    virtual ~IZamCoalescer() = default;
};
