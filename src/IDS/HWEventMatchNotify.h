#pragma once
// The slave's side of the signature module's callbacks: records the parsed
// headers of the frame, asks the slave's firewall whether the frame passes,
// and turns the module's matches (directly, or through the coalescer) into
// the slave's match handling.  One per slave, called on its thread only.

#include <cstdint>
#include <memory>

#include "IDS/ParsedFrameInfo.h"
#include "qorZamSensorLib/IZamEventMatchNotify.h"

class CEngineIDSSlave;

class HWEventMatchNotify : public IZamEventMatchNotify {
public:
    HWEventMatchNotify();
    ~HWEventMatchNotify() override = default;
    HWEventMatchNotify(const HWEventMatchNotify&) = delete;
    HWEventMatchNotify& operator=(const HWEventMatchNotify&) = delete;

    void SetSlave(CEngineIDSSlave* pSlave) { m_pSlave = pSlave; }
    // Switches the coalescer's combining; nothing changes without one.
    void EnableCoalescer(bool bEnable);

    bool IsCoalescerEnabled() override;
    void OnMatch(uint32_t dwIssueId, const char* pszEventName, uint32_t dwCount, uint32_t dwFlags,
                 uint32_t dwVictim, uint32_t dwIntruder, uint32_t dwVictimPort,
                 uint32_t dwIntruderPort, uint32_t dwPacketFlags, const char* pszParams,
                 void* pUserData, uint32_t dwReportType) override;
    void OnCoalescerCallback(uint32_t dwStart, uint32_t dwEnd, uint32_t dwIssueId,
                             uint32_t dwCount, uint32_t dwFlags, uint32_t dwVictim,
                             uint32_t dwVictim2, uint32_t dwIntruder, uint32_t dwVictimPort,
                             uint32_t dwIntruderPort, uint32_t dwReportType,
                             uint32_t dwPacketFlags, const char* pszParams,
                             uint32_t dwRecordCount, void** ppRecords) override;
    int32_t OnParsedIp(uint32_t dwSource, uint32_t dwDestination, uint32_t dwValue3,
                       uint32_t dwValue4) override;
    int32_t OnParsedIcmp(uint32_t dwType, uint32_t dwCode, uint32_t dwValue3,
                         uint32_t dwValue4) override;
    int32_t OnParsedTcp(uint32_t dwSourcePort, uint32_t dwDestinationPort, uint32_t dwValue3,
                        uint32_t dwValue4) override;
    int32_t OnParsedUdp(uint32_t dwSourcePort, uint32_t dwDestinationPort, uint32_t dwValue3,
                        uint32_t dwValue4) override;
    int32_t OnParsedRpc(uint32_t dw1, uint32_t dw2, uint32_t dw3, uint32_t dw4, uint32_t dw5,
                        uint32_t dw6) override;
    int32_t OnReassembledIp(uint32_t dw1, uint32_t dw2) override;
    int32_t OnUserDefined(uint32_t dw1, uint32_t dw2) override;
    void OnMacReporting(const uint8_t* pSource, const uint8_t* pDestination) override;

    // The match's parameters "n=v,..." and its fixed entries, ending with
    // an empty entry.
    static std::unique_ptr<EventParameter[]> BuildEventParameters(
        uint32_t dwIssueId, const char* pszParams, uint32_t dwVictim, uint32_t dwIntruder,
        uint32_t dwVictimPort, uint32_t dwIntruderPort, uint32_t dwCount);
    static void CopyInterpretation(ParsedFrameInfo& frame, const MatchInterpretation& interp,
                                   uint32_t dwReportType);

protected:
    // The module's reading of a match; left cleared when no module is
    // loaded.
    virtual void Interpret(uint32_t dwVictim, uint32_t dwIntruder, uint32_t dwVictimPort,
                           uint32_t dwIntruderPort, uint32_t dwFlags, uint32_t dwPacketFlags,
                           uint32_t dwReportType, MatchInterpretation& interp);

private:
    // ICMP (type and code), TCP or UDP (ports) into the frame record, then
    // the firewall's answer: 1 pass, 0 block.
    int32_t OnParsedTransport(uint32_t dwProtocol, uint32_t dwFirst, uint32_t dwSecond,
                              uint32_t dwValue3, uint32_t dwValue4);
    std::unique_ptr<EventParameter[]> InterpretAndBuild(
        ParsedFrameInfo& frame, uint32_t dwIssueId, const char* pszParams, uint32_t dwCount,
        uint32_t dwFlags, uint32_t dwVictim, uint32_t dwIntruder, uint32_t dwVictimPort,
        uint32_t dwIntruderPort, uint32_t dwPacketFlags, uint32_t dwReportType);

    CEngineIDSSlave* m_pSlave = nullptr;
    bool m_bCoalescerEnabled = false;
};
