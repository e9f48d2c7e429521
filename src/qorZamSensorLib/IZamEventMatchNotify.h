#pragma once
// What the signature module reports about a frame, delivered synchronously
// on the thread that handed the frame in: the parsed headers (answer 1 to
// pass, 0 to block), every signature match and, with consolidation on, the
// coalescer's combined events.  The IDS slave implements it.

#include <cstdint>

class IZamEventMatchNotify {
public:
    virtual bool IsCoalescerEnabled() = 0;
    virtual void OnMatch(uint32_t dwIssueId, const char* pszEventName, uint32_t dwCount,
                         uint32_t dwFlags, uint32_t dwVictim, uint32_t dwIntruder,
                         uint32_t dwVictimPort, uint32_t dwIntruderPort, uint32_t dwPacketFlags,
                         const char* pszParams, void* pUserData, uint32_t dwReportType) = 0;
    virtual void OnCoalescerCallback(uint32_t dwStart, uint32_t dwEnd, uint32_t dwIssueId,
                                     uint32_t dwCount, uint32_t dwFlags, uint32_t dwVictim,
                                     uint32_t dwVictim2, uint32_t dwIntruder,
                                     uint32_t dwVictimPort, uint32_t dwIntruderPort,
                                     uint32_t dwReportType, uint32_t dwPacketFlags,
                                     const char* pszParams, uint32_t dwRecordCount,
                                     void** ppRecords) = 0;
    virtual int32_t OnParsedIp(uint32_t dwSource, uint32_t dwDestination, uint32_t dwValue3,
                               uint32_t dwValue4) = 0;
    virtual int32_t OnParsedIcmp(uint32_t dwType, uint32_t dwCode, uint32_t dwValue3,
                                 uint32_t dwValue4) = 0;
    virtual int32_t OnParsedTcp(uint32_t dwSourcePort, uint32_t dwDestinationPort,
                                uint32_t dwValue3, uint32_t dwValue4) = 0;
    virtual int32_t OnParsedUdp(uint32_t dwSourcePort, uint32_t dwDestinationPort,
                                uint32_t dwValue3, uint32_t dwValue4) = 0;
    virtual int32_t OnParsedRpc(uint32_t dw1, uint32_t dw2, uint32_t dw3, uint32_t dw4,
                                uint32_t dw5, uint32_t dw6) = 0;
    virtual int32_t OnReassembledIp(uint32_t dw1, uint32_t dw2) = 0;
    virtual int32_t OnUserDefined(uint32_t dw1, uint32_t dw2) = 0;
    virtual void OnMacReporting(const uint8_t* pSource, const uint8_t* pDestination) = 0;
    virtual ~IZamEventMatchNotify() = default;
};
