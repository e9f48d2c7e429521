#pragma once
// The per-adapter half of network intrusion detection.  A slave reads its
// adapter's frames, hands them to its own instance of the signature module,
// answers the module's header callbacks through its firewall, and turns the
// module's matches into alert records for the master engine's queue.
//
// Set-up (start, resume) and shut-down (pause, stop) run on the thread that
// drives the slave while its capture thread is not running; everything
// else runs on the capture thread.  The master's watchdog thread only reads
// the receive start time and the frame-in-progress flag.
//
// A reload's pause ends the capture thread and lets the module instance,
// logs and firewall go, but keeps the adapter's capture open, and a thread
// of its own (CaptureKeeper.h) reads on from it into the engine's hold of
// frames; the resumed capture thread analyses them with the new rules
// while the keeper goes on taking what arrives, and reads the capture
// itself once the hold is empty: a live adapter's frames do not wait in
// its capture buffer, which holds a fraction of a second of them, for as
// long as the policy takes to read, nor while what was kept is analysed.
// The reload waits for that catch-up (Common/CatchUps.h), so what the
// adapter drops until it is over is the reload's.
// The resume sets the capture up anew only when the new policy asks for
// another capture buffer; the operator's pause closes it, as a stop does.
// A pause or stop ends the wait of the thread's read at once.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Common/CatchUps.h"
#include "Common/EngineBase.h"
#include "Common/InputBounds.h"
#include "IDS/ConsolidationClock.h"
#include "IDS/FrameHold.h"
#include "IDS/Firewall/Firewall.h"
#include "IDS/IDSConfig.h"
#include "IDS/ParsedFrameInfo.h"
#include "qorZamSensorLib/ZamModuleApi.h"
#include "rawpacket/Frame.h"

class AgentEventInfo;
class CaptureKeeper;
class CIDSRule;
class HWEventMatchNotify;
class IDSEventQueue;
class IPolicyContainer;
class IZamCoalescer;
class IZamSensor;
class QorSeException;
class jsFastSync;
class qorPacketLog;
class qorZamSensorMgr;
struct IDSResponseIP;

namespace rp {
class AdaptersArray;
class Driver;
class DriverFactory;
}  // namespace rp

class CEngineIDSSlave : public CEngineBase {
public:
    // Frame direction as the capture loop records it.
    enum : uint32_t { kInbound = 1, kOutbound = 2 };
    static constexpr uint32_t kMaxEventParameters = 50;
    static constexpr uint32_t kMaxQueuePushes = 100;
    static constexpr uint32_t kQueueRetryMs = 10;
    // How often a replay looks for room in a full queue.
    static constexpr uint32_t kReplayRetryMs = 2;
    static constexpr int64_t kQueueReportSeconds = 60;
    // Pause after a failed read, so a driver that fails at once is not
    // asked again in a busy loop.
    static constexpr uint32_t kReadErrorPauseMs = 100;

    using FWRuleMap = std::map<int32_t, CIDSRule*>;
    using IDSRuleMap = std::map<std::string, CIDSRule*>;
    using IssueNameMap = std::map<int32_t, std::string>;

    CEngineIDSSlave(const char* pszAdapterName, uint32_t dwCustomerId, uint32_t dwAdapterFlags,
                    IDSEventQueue* pQueue);
    ~CEngineIDSSlave() override;
    CEngineIDSSlave(const CEngineIDSSlave&) = delete;
    CEngineIDSSlave& operator=(const CEngineIDSSlave&) = delete;

    // Lifecycle, as the master's thread list drives it.
    int32_t Oninit(uint32_t dwArgument) override;
    int32_t OnStart(uint32_t dwArgument) override;
    int32_t OnStopInit(uint32_t dwArgument) override;
    int32_t OnStop(uint32_t dwArgument) override;
    int32_t OnReloadPolicy(uint32_t dwArgument) override;
    int32_t OnPauseInit(uint32_t dwArgument) override;
    int32_t OnPause(uint32_t dwArgument) override;
    int32_t OnResume(uint32_t dwArgument) override;
    int32_t ConfigureEventSections(CSFEventRegistry* pRegistry) override;
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override;

    // Set-up, from start and resume: the settings, the packet driver, the
    // module instance, the logs, the firewall and the packet filters.
    void InitializeNetworking();
    // 0 on success or when already set up, 1 when IDS is unavailable on
    // this adapter.
    int32_t Initialize(bool bResetRuleMaps);
    int32_t InitializeZAM(IPolicyContainer* pPolicy);
    bool LoadModules();
    bool InitializePacketDriver();
    uint32_t SetPacketFilters(IPolicyContainer* pPolicy);
    // Undoes the set-up: the module instance, the logs and the firewall's
    // state go.  The capture goes too, unless `bKeepCapture` (a reload's
    // pause); frames it still held unread are counted and said, `pszWhy`
    // saying what closed it.
    void Shutdown(bool bKeepCapture, const char* pszWhy);
    void Shutdown() { Shutdown(false, kClosedAtStop); }
    // Closes a capture a reload's pause kept open, when the adapter is
    // not set up again after it (the reload switched network monitoring
    // off); `pszWhy` says so.
    void CloseKeptCapture(const char* pszWhy);
    // For an adapter that came on-line while a reload keeps the frames of
    // the others: opens its capture, and a thread keeps its frames, as a
    // reload's pause keeps those of a live adapter, until the resume sets
    // the engine up and analyses them.
    void KeepFramesUntilSetUp();

    // The process-wide maps from the configuration's rule containers: Bastion
    // event id to rule, IDS event name to rule, issue id to event name.
    static void InitializeRuleMap(const RuleContainer& bastionRules, const RuleContainer& idsRules);
    static void ClearRuleMaps();

    // Module configuration.
    bool LoadZam();
    bool LoadPacketLogger();
    bool LoadEvidenceLogger();
    bool ConfigureModules(IPolicyContainer* pPolicy, uint8_t byFlag, uint32_t dwValue);
    bool ConfigureZam(IPolicyContainer* pPolicy, uint32_t dwUnused);
    bool ConfigureCoalescer(IPolicyContainer* pPolicy);
    bool ConfigurePacketLogger(IPolicyContainer* pPolicy);
    bool ConfigureEvidenceLogger(IPolicyContainer* pPolicy);
    // Stops the capture; the frames it held that the slave never read are
    // said, with `pszWhy`, in the log, with those the engine's hold kept
    // through a reload unless `bKeepHeld` (the capture is set up anew and
    // the frames it held before are still analysed).
    void StopPacketDriver(const char* pszWhy, bool bKeepHeld = false);
    // The sensor stops: the frames the capture still holds when it closes
    // are counted in the stop's tally.
    void StoppedWithTheSensor() { m_bSensorStop = true; }

    // The master's watchdog: true when the module has held the current
    // frame longer than the loop time-out.
    bool isTimedOut(int64_t tNow);
    // Writes a crash record through the module manager, with the current
    // frame when one is being analysed.
    void LogCrash(void* pUnused);

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
    // A live adapter's record that finds the queue full is tried again for
    // about a second, then left out and counted; a replay's waits for room
    // for as long as it takes, since its frames wait for it too.  A slave
    // that is pausing or stopping waits for neither: the master takes its
    // last records once the slaves have ended.
    bool LogEvent(AgentEventInfo* pRecord);

    const char* FindEventName(uint32_t dwIssueId) const;
    const IDSConfigEntry* FindConfig(const std::string& strEventName);
    CIDSRule* FindRule(const std::string& strEventName) const;
    void HandleFloodAttack(const std::string& strEventName, uint32_t dwIntruder,
                           uint32_t dwIntruderPort, uint32_t dwProtocol, uint32_t dwPeriod);

    // The local IPv4 addresses of the adapter whose hardware address is
    // `pMac`, in host order (first octet most significant), from the
    // host's adapter descriptions; `strMacText` takes the matching
    // description's hardware-address text.
    static std::vector<uint32_t> LocalAddressesOf(const uint8_t* pMac, uint32_t dwMacLength,
                                                  const rp::AdaptersArray& adapters,
                                                  std::string& strMacText);

    // What tells this adapter's packet- and evidence-log files from every
    // other adapter's: its hardware-address text, or, for an adapter
    // without one (a replay adapter, a tunnel), its name made fit for a
    // file name ("\Device\replay0" gives "replay0_").
    static std::string LogFileTag(const std::string& strAdapter,
                                  const std::string& strHardwareAddress);

    const std::string& GetAdapterName() const { return m_strAdapterName; }
    ParsedFrameInfo& GetParsedFrameInfo() { return *m_pParsedFrameInfo; }
    rp::Frame& GetCurrentFrame() { return *m_pFrame; }
    CFirewall& GetFirewall() { return *m_pFirewall; }
    IZamSensor* GetZamSensor() const { return m_pZamSensor; }
    IZamCoalescer* GetCoalescer() const { return m_pCoalescer; }
    // The consolidation's time: while a frame is analysed, its capture time.
    int64_t GetConsolidationTime() const { return m_ConsolidationClock.Now(); }
    HWEventMatchNotify* GetEventMatchNotify() const { return m_pEventNotify.get(); }
    qorZamSensorMgr* GetZamSensorMgr() const { return m_pZamSensorMgr; }
    bool IsConsolidationEnabled() const { return m_bConsolidation; }
    bool IsInitialized() const { return bIDSSInitialized; }
    // Whether the adapter plays a recording (a capture file), whose frames
    // wait for the slave: then no alert is left out for want of room.
    bool IsRecordedInput() const { return m_bRecordedInput; }
    // Records of this slave the queue had no room for, left out since the
    // slave was made.
    uint64_t GetQueueFailures() const { return m_qwQueueFailures.load(std::memory_order_relaxed); }
    // Whether the last set-up left the adapter capturing; when not,
    // `strProblem` says why, naming the adapter.  Asked between set-ups.
    bool HasInput(std::string& strProblem) const;
    // Whether the last set-up failed (a pause that closed a capture is no
    // failure): the next resume sets the adapter up again.
    bool SetUpFailed() const { return !bIDSSInitialized && !m_strInputProblem.empty(); }
    // Whether the adapter, set up and capturing, will deliver nothing more
    // (a capture file played to its end); `strWords` then says so, naming
    // the adapter.  Asked between set-ups, beside the capture thread.
    bool InputEnded(std::string& strWords) const;
    bool IsZamLoaded() const { return bZamLoaded; }
    bool IsPacketLogEnabled() const { return bPacketLogEnabled; }
    bool IsEvidenceLogEnabled() const { return m_bEvidenceLogging; }
    bool IsFloodProtectionEnabled() const { return m_bFloodProtection; }
    uint32_t GetCoalescerAgeInterval() const { return CoalescerAgeInterval; }
    uint32_t GetHousekeepingInterval() const { return HousekeepingInterval; }
    uint32_t GetSlaveNumber() const { return m_dwSlaveNumber; }
    const std::vector<uint32_t>& GetLocalAddresses() const { return m_LocalAddresses; }
    const std::string& GetHardwareAddress() const { return m_strHardwareAddress; }
    rp::Driver* GetPacketDriver() const { return m_pPacketDrv.get(); }
    // Frames read and given back since the slave was made.
    uint64_t GetFramesRead() const { return m_qwFramesRead.load(std::memory_order_relaxed); }
    // Whether an alert in hand waits for room in the master's queue.
    bool IsWaitingForRoom() const { return m_bWaitingForRoom.load(); }
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

    // Process-wide settings, written by the set-up of the slaves under the
    // set-up lock and read by every capture thread.
    static std::atomic<bool> BlockEnabled;
    static std::atomic<int32_t> ZamLoopTimeout;
    static std::atomic<int32_t> DynamicBlockPeriod;
    // "sensor.diagnostic.p.enable": frames go to the module.
    static std::atomic<bool> DiagnosticPacketsEnabled;
    // "sensor.diagnostic.callbacks.enable": the module's header callbacks.
    static std::atomic<bool> DiagnosticCallbacksEnabled;
    // "pcd.buffersize", taken under the set-up lock.
    static std::string CaptureBufferSize;
    // Serialises the set-up and shut-down of all slaves, and with them the
    // rule maps and the settings above.
    static jsFastSync& SetupLock();

protected:
    uint32_t _doWork() override;

private:
    // The base operation between an entry and an exit trace; with
    // `bSetUp`, after the set-up (start and resume).
    template <typename BaseOperation>
    int32_t Traced(const char* pszOperation, BaseOperation base, bool bSetUp = false);
    // Under the set-up lock: the base operation (which ends the thread),
    // then the shut-down, which keeps the capture open for a reload, whose
    // frames a thread then keeps.  `pszStep` names the step ("pause").
    template <typename BaseOperation>
    int32_t EndCapture(BaseOperation base, bool bKeepCapture, const char* pszStep, const char* pszWhy);
    // A pause or stop tells the thread to end (with the time, for the log),
    // then ends the read it waits in.
    void TellThreadToEnd();
    void InterruptRead();
    static constexpr const char* kClosedAtStop = "the adapter engine was stopped";

    // Capture loop.
    void CaptureLoop();
    // Analyses what the hold kept through a reload, oldest first, until it
    // is empty or the thread is told to stop; false when told to stop.
    bool AnalyseHeldFrames();
    // `bHeld`: a frame of the hold, which the library passed on already.
    void ProcessFrame(bool bHeld = false);
    // `tNow` on the engine's clock.
    void RunIdleTasks(int64_t tNow);
    // One more frame read and given back (or analysed from the hold).
    void CountFrameRead();
    // Counts the frames the adapter dropped because this slave had not
    // taken those before them, at most once a second of `tNow` unless
    // `bNow`.
    void CountCaptureDrops(int64_t tNow, bool bNow = false);
    // Ages the coalescer when its interval has passed; `tNow` on the
    // consolidation clock.
    void AgeCoalescer(int32_t tNow);
    // False when the frame was dropped (and given back) already.
    bool AnalyseFrame(bool bHeld);
    // Reload's pause and resume: a thread keeps the frames of a live
    // adapter's kept capture in the hold until the capture thread has
    // analysed them (or a pause, a stop or a new capture ends it), and
    // what the hold and the capture buffer left out meanwhile is counted.
    // `bCaptureEnded`: the capture thread has ended (or never ran), so a
    // keeper it handed the capture back from may go; otherwise one goes
    // only once that thread is done with it.
    void BeginKeepingFrames(bool bCaptureEnded);
    // With `bDrain`, the keeper first takes what the capture still holds
    // into the hold (a capture set up anew), for at most kDrainMs.
    void EndKeepingFrames(bool bDrain = false);
    static constexpr uint32_t kDrainMs = 2000;
    void CountKeptFramesLeftOut();
    // On the capture thread: analyses what the hold kept, takes the capture
    // over from the keeper once the hold is empty, analyses what it kept
    // meanwhile, and ends the catch-up with its losses counted.  False when
    // the thread was told to end first.
    bool CatchUpWithHeldFrames();
    // The frame is out of the module: waits for crash records of it.
    void LeaveModule();
    void SendResets();
    void SendReset(bool bReverse, bool bTransmit);
    void RestartDriver();
    [[noreturn]] void OnModuleFault(const QorSeException& fault);

    // Set-up helpers.
    // Makes the log when there is none yet.
    static bool LoadLog(std::unique_ptr<qorPacketLog>& pLog);
    // `bFirstOfRound`: the first set-up after a start or a pause, which
    // reads the dynamic block period again.
    void ReadSettings(IPolicyContainer* pPolicy, bool bFirstOfRound);
    void ConfigureConsolidationItems(IPolicyContainer* pPolicy);

    void FillEventInfo(AgentEventInfo& record, const EventParameter* pParams, uint32_t dwProtocol,
                       uint32_t dwIntruder, uint32_t dwIntruderPort, uint32_t dwVictim,
                       uint32_t dwVictimPort, uint32_t dwEventId, bool bTraceParams);
    // Whether an entry of the list (address == intruder & mask) names the
    // intruder; `pszWho` labels the trace lines.
    static bool IsInResponseList(const IDSResponseIP& list, uint32_t dwIntruder, const char* pszWho);
    int32_t CheckInputFilter(uint32_t dwProtocol);
    bool IsTcpConnectionOpening() const;
    // Pushes a record the queue refused again, as LogEvent says.
    bool PushAfterRefusal(AgentEventInfo* pRecord);
    // Time spent waiting for the queue is not the module's: the receive
    // start moves on by the whole seconds that passed since `tFrom`, which
    // becomes now.
    void DiscountWait(int64_t& tFrom);
    void ReportQueueCounts();
    void WriteEvidence();

    uint32_t m_dwCustomerId;
    IZamSensor* m_pZamSensor = nullptr;
    qorZamSensorMgr* m_pZamSensorMgr = nullptr;
    // The switches follow the configuration alone: a log that cannot be
    // written stays on, and comes back by itself (qorPacketLog.h).
    std::unique_ptr<qorPacketLog> pPacketLog;
    bool bPacketLogEnabled = false;
    std::unique_ptr<qorPacketLog> m_pEvidenceLog;
    bool m_bEvidenceLogging = false;
    IZamCoalescer* m_pCoalescer = nullptr;
    std::unique_ptr<HWEventMatchNotify> m_pEventNotify;
    bool bZamLoaded = false;
    bool bIDSSInitialized = false;
    bool m_bConsolidation = true;
    bool m_bDriverCreated = false;
    bool m_bFloodProtection = true;
    ConsolidationClock m_ConsolidationClock;
    int32_t m_tLastCoalescerAge = 0;
    uint32_t CoalescerAgeInterval = 5;
    int32_t m_tLastHousekeeping = 0;
    uint32_t HousekeepingInterval = 1;
    // Non-zero only while a frame is inside the module.
    std::atomic<int64_t> m_tReceiveStart{0};
    // Set by the watchdog when the module has held the frame too long.
    std::atomic<bool> m_bTimedOut{false};
    // Crash records being written from other threads: a frame the module
    // held stays as it is until they are done.
    std::atomic<uint32_t> m_dwCrashRecorders{0};
    bool m_bNonSequitur = false;
    uint32_t m_dwDirection = kInbound;
    std::string m_strAdapterName;
    uint32_t m_dwAdapterFlags;
    uint32_t m_dwSlaveNumber = 0;
    // Handed to the module in network byte order.
    std::vector<uint32_t> m_LocalAddresses;
    bool m_bPacketDriverInitialized = false;
    std::unique_ptr<rp::Driver> m_pPacketDrv;
    std::unique_ptr<rp::Frame> m_pFrame;
    std::unique_ptr<rp::DriverFactory> m_pDriverFactory;
    // The module's per-frame scratch; its layout is the module's.
    alignas(8) uint8_t m_ReceiveContext[zam::kReceiveContextBytes] = {};
    std::unique_ptr<CFirewall> m_pFirewall;
    CIDSConfig* m_pIDSConfig = nullptr;
    std::atomic<bool> m_bFrameInProgress{false};
    std::atomic<uint64_t> m_qwFramesRead{0};
    // Frames the adapter dropped for want of room, as last counted, the
    // capture buffer size asked for ("" for the library's own) and when
    // they were last looked at.
    uint64_t m_qwCaptureDrops = 0;
    std::string m_strCaptureBuffer;
    // The "pcd.buffersize" the open capture was set up with.
    std::string m_strOpenedBuffer;
    int64_t m_tCaptureDropsCounted = 0;
    InputBoundHandle m_CaptureBound;
    // What a reload's pause keeps of a live adapter's frames, and the
    // thread that keeps them (from the pause to the resume only).
    FrameHold m_Hold;
    std::unique_ptr<CaptureKeeper> m_pKeeper;
    // The keeper a reload's pause made, for the capture thread to let in
    // as it leaves its loop.
    std::atomic<CaptureKeeper*> m_pGate{nullptr};
    // The keeper the resumed capture thread takes the capture over from,
    // set before it starts and cleared by it once it no longer needs it.
    std::atomic<CaptureKeeper*> m_pCatchUpKeeper{nullptr};
    CatchUp m_CatchUp;
    InputBoundHandle m_HoldBound;
    // When the last pause or stop told the capture thread to end, and when
    // the capture loop last ended.
    std::chrono::steady_clock::time_point m_EndAsked{};
    std::chrono::steady_clock::time_point m_CaptureEnded{};
    // Whether a processor fault now would be the module's.
    volatile bool m_bInsideModule = false;
    bool m_bRxInline = true;
    bool m_bTxInline = false;
    std::string m_strHardwareAddress;
    // Why the last set-up failed; empty after one that succeeded.
    std::string m_strInputProblem;

    // Scratch of match handling, overwritten by every match.
    std::string m_strEventName;
    const IDSConfigEntry* m_pCurrentConfig = nullptr;
    uint32_t m_dwLastDynamicBlock = 0;
    bool m_bFoundConfigEntry = false;
    AgentEventInfo* m_pCurrentRecord = nullptr;
    bool m_bFiltered = false;
    bool m_bNonFiltered = false;

    IDSEventQueue* m_pQueue;
    // Set by a pause or stop before the thread is told, cleared by a start
    // or resume: no wait for the queue then.
    std::atomic<bool> m_bEnding{false};
    // Stopped by the sensor's stop: what its capture still held is the
    // stop's loss, said on the console and in the stop's tally.
    std::atomic<bool> m_bSensorStop{false};
    std::atomic<bool> m_bWaitingForRoom{false};
    bool m_bRecordedInput = false;
    std::atomic<uint64_t> m_qwQueueFailures{0};
    InputBoundHandle m_QueueBound;
    uint32_t m_dwQueueSuccess = 0;
    uint32_t m_dwQueueDelay = 0;
    uint32_t m_dwQueueFailure = 0;
    int64_t m_tQueueReport = 0;

    std::unique_ptr<ParsedFrameInfo> m_pParsedFrameInfo;
};
