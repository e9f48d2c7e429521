#pragma once
// The per-adapter half of network intrusion detection.  A slave reads its
// adapter's frames, hands them to its own instance of the signature module,
// answers the module's header callbacks through its firewall, and turns the
// module's matches into alert records for the master engine's queue.
//
// Everything below runs on the slave's own thread while it captures; set-up
// and shut-down run on the control thread while that thread is not running.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Common/EngineBase.h"
#include "IDS/Firewall/Firewall.h"
#include "IDS/IDSConfig.h"
#include "IDS/ParsedFrameInfo.h"
#include "rawpacket/Frame.h"

class AgentEventInfo;
class CIDSRule;
class HWEventMatchNotify;
class IDSEventQueue;
class IZamCoalescer;
class IZamSensor;
class qorZamSensorMgr;
struct IDSResponseIP;

class CEngineIDSSlave : public CEngineBase {
public:
    // Frame direction as the capture loop records it.
    enum : uint32_t { kInbound = 1, kOutbound = 2 };
    static constexpr uint32_t kMaxEventParameters = 50;
    static constexpr uint32_t kMaxQueuePushes = 100;
    static constexpr uint32_t kQueueRetryMs = 10;
    static constexpr int64_t kQueueReportSeconds = 60;

    using FWRuleMap = std::map<int32_t, CIDSRule*>;
    using IDSRuleMap = std::map<std::string, CIDSRule*>;
    using IssueNameMap = std::map<int32_t, std::string>;

    CEngineIDSSlave(const char* pszAdapterName, uint32_t dwCustomerId, uint32_t dwAdapterFlags,
                    IDSEventQueue* pQueue);
    ~CEngineIDSSlave() override;
    CEngineIDSSlave(const CEngineIDSSlave&) = delete;
    CEngineIDSSlave& operator=(const CEngineIDSSlave&) = delete;

    int32_t ConfigureEventSections(CSFEventRegistry* pRegistry) override;
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override;

    // The process-wide maps from the configuration's rule containers: Bastion
    // event id to rule, IDS event name to rule, issue id to event name.
    static void InitializeRuleMap(const RuleContainer& bastionRules, const RuleContainer& idsRules);
    static void ClearRuleMaps();

    // Firewall checks of the frame being analysed: 1 blocks it, 0 passes.
    bool ConfigureFirewall();
    void DumpFirewall();
    int32_t CheckInputFilterIP();
    int32_t CheckInputFilterICMP();
    int32_t CheckInputFilterTcp();
    int32_t CheckInputFilterUdp();

    // Match handling.  Protocol is the IP protocol of the frame; the
    // parameter block (may be null) ends at its first unnamed entry.
    void OnMatch(uint32_t dwIssueId, const char* pszEventName, uint32_t dwVictim,
                 uint32_t dwIntruder, uint32_t dwVictimPort, uint32_t dwIntruderPort,
                 uint32_t dwFlags, uint32_t dwPacketFlags, uint32_t dwProtocol,
                 const EventParameter* pParams);
    void OnCoalescerCallback(uint32_t dwIssueId, const char* pszEventName, uint32_t dwVictim,
                             uint32_t dwIntruder, uint32_t dwVictimPort, uint32_t dwIntruderPort,
                             uint32_t dwFlags, uint32_t dwPacketFlags, uint32_t dwProtocol,
                             const EventParameter* pParams);
    void ProcessBastionEvent(const ParsedFrameInfo& frame, uint32_t dwEventId,
                             const char* pszDetail, uint32_t dwProtocol);
    // Takes the record; false when nobody took it (the caller deletes it).
    bool LogEvent(AgentEventInfo* pRecord);

    const char* FindEventName(uint32_t dwIssueId) const;
    const IDSConfigEntry* FindConfig(const std::string& strEventName);
    CIDSRule* FindRule(const std::string& strEventName) const;
    void HandleFloodAttack(const std::string& strEventName, uint32_t dwIntruder,
                           uint32_t dwIntruderPort, uint32_t dwProtocol, uint32_t dwPeriod);

    const std::string& GetAdapterName() const { return m_strAdapterName; }
    ParsedFrameInfo& GetParsedFrameInfo() { return *m_pParsedFrameInfo; }
    rp::Frame& GetCurrentFrame() { return *m_pFrame; }
    CFirewall& GetFirewall() { return *m_pFirewall; }
    IZamCoalescer* GetCoalescer() const { return m_pCoalescer; }
    HWEventMatchNotify* GetEventMatchNotify() const { return m_pEventNotify.get(); }
    qorZamSensorMgr* GetZamSensorMgr() const { return m_pZamSensorMgr; }
    bool IsConsolidationEnabled() const { return m_bConsolidation; }
    void SetConsolidationEnabled(bool bEnabled) { m_bConsolidation = bEnabled; }
    void SetIDSConfig(CIDSConfig* pConfig) { m_pIDSConfig = pConfig; }
    void SetDirection(uint32_t dwDirection) { m_dwDirection = dwDirection; }
    void SetFloodProtection(bool bEnabled) { m_bFloodProtection = bEnabled; }
    void SetEvidenceLogging(bool bEnabled) { m_bEvidenceLogging = bEnabled; }
    void SetInlineFlags(bool bRx, bool bTx) { m_bRxInline = bRx; m_bTxInline = bTx; }
    // Hands the slave its callback object and, optionally, a coalescer
    // (the module configuration does this when it loads the module).
    void SetEventMatchNotify(std::unique_ptr<HWEventMatchNotify> pNotify);
    void SetCoalescer(IZamCoalescer* pCoalescer) { m_pCoalescer = pCoalescer; }

    // Process-wide settings the set-up reads from the policy.
    static bool BlockEnabled;
    static int32_t ZamLoopTimeout;
    static int32_t DynamicBlockPeriod;

protected:
    uint32_t _doWork() override;

private:
    void FillEventInfo(AgentEventInfo& record, const EventParameter* pParams, uint32_t dwProtocol,
                       uint32_t dwIntruder, uint32_t dwIntruderPort, uint32_t dwVictim,
                       uint32_t dwVictimPort, uint32_t dwEventId, bool bTraceParams);
    // Whether an entry of the list (address == intruder & mask) names the
    // intruder; `pszWho` labels the trace lines.
    static bool IsInResponseList(const IDSResponseIP& list, uint32_t dwIntruder, const char* pszWho);
    int32_t CheckInputFilter(uint32_t dwProtocol);
    bool IsTcpConnectionOpening() const;
    void ReportQueueCounts();

    uint32_t m_dwCustomerId;
    IZamSensor* m_pZamSensor = nullptr;
    qorZamSensorMgr* m_pZamSensorMgr = nullptr;
    bool m_bEvidenceLogging = false;
    IZamCoalescer* m_pCoalescer = nullptr;
    std::unique_ptr<HWEventMatchNotify> m_pEventNotify;
    bool bZamLoaded = false;
    bool bIDSSInitialized = false;
    bool m_bConsolidation = true;
    bool m_bFloodProtection = true;
    bool m_bNonSequitur = false;
    uint32_t m_dwDirection = kInbound;
    std::string m_strAdapterName;
    uint32_t m_dwAdapterFlags;
    std::unique_ptr<rp::Frame> m_pFrame;
    std::unique_ptr<CFirewall> m_pFirewall;
    CIDSConfig* m_pIDSConfig = nullptr;
    bool m_bRxInline = true;
    bool m_bTxInline = false;

    // Scratch of match handling, overwritten by every match.
    std::string m_strEventName;
    const IDSConfigEntry* m_pCurrentConfig = nullptr;
    uint32_t m_dwLastDynamicBlock = 0;
    bool m_bFoundConfigEntry = false;
    AgentEventInfo* m_pCurrentRecord = nullptr;
    bool m_bFiltered = false;
    bool m_bNonFiltered = false;

    IDSEventQueue* m_pQueue;
    uint32_t m_dwQueueSuccess = 0;
    uint32_t m_dwQueueDelay = 0;
    uint32_t m_dwQueueFailure = 0;
    int64_t m_tQueueReport = 0;

    std::unique_ptr<ParsedFrameInfo> m_pParsedFrameInfo;
};
