#pragma once
// The decoy-port engine ("Decoy Engine"): it listens on TCP ports that
// nothing on the server is meant to use, one per enabled decoy rule, and
// takes every connection to them as an attack.  A connection is accepted,
// reported once through its rule and held silently for a minute; once
// "Max Connections" are held, every new connection is reset at once, and
// not reported, for "BlackoutPeriod" seconds.
//
// The thread opens the ports afresh each time it starts after the host's
// pause; after a reload it keeps open the ports the new rules still name,
// so a connection made while the policy was read waits on its port and is
// taken by the resumed thread.  It waits on all of them together with a
// wake signal, and a connection ends the wait: every port found ready has
// what waits on it taken at that wake, so a scanner's burst is one alert
// a connection, not one a second.  No wait outlasts a pass of about a
// second or the next hold, and every pass closes the connections whose
// hold is over, so a connection is let go on time whether or not another
// one comes.  A stop or pause signals the wake, so the thread never sits
// out a wait; the held connections and the ports are closed only once it
// has ended.
//
// What became of each rule's port at the last opening is kept for the
// host's summary, which names as watched only the ports that were opened
// (DecoyPortReport.h).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "Common/EngineBase.h"
#include "Decoy/DecoyDestination.h"
#include "Decoy/DecoyPortReport.h"
#include "Decoy/ListeningPort.h"
#include "Decoy/SpareDescriptor.h"
#include "platform/SocketWatchSet.h"
#include "platform/WakeSignal.h"
#include "qorToolsLib/ReportLimiter.h"

class CDecoyRule;
class CInitializeDecoyRules;
class CInitializeUserDecoyRules;
class IPolicyEventInterface;

class CEngineDecoy : public CEngineBase {
public:
    static constexpr size_t kPortTableSize = 256;
    static constexpr uint32_t kFirstRunWaitMs = 20000;
    static constexpr uint32_t kIdleWaitMs = 3000;
    static constexpr uint32_t kPassWaitMs = 1000;
    // Connections taken from one port at a wake, at most: a port flooded
    // leaves the others their turn, and its rest is taken at the next wake,
    // which comes at once.
    static constexpr uint32_t kMaxTakenPerTurn = 64;
    // How long the summary of a reload or resume waits for the ports to be
    // opened; opening them takes far less.
    static constexpr uint32_t kDescribeWaitMs = 10000;
    // Connections reset on one port as it closes, at most: what its
    // backlog holds, since peers that go on connecting must not hold a
    // stop.
    static constexpr uint32_t kMaxResetAtClose = ListeningPort::kBacklog + 1;
    // The share of a stop, and of the host's pause, for the connections
    // still in the ports' backlogs: each is taken and alerted for so long,
    // and what is left is reset and counted.
    static constexpr uint32_t kTakeAtEndMs = 500;

    // `pPrototype` is the sensor's prototype policy event, with which the
    // rule sections are registered; it stays the sensor's.
    explicit CEngineDecoy(IPolicyEventInterface* pPrototype = nullptr);
    ~CEngineDecoy() override;

    int32_t Oninit(uint32_t dwArgument) override;
    int32_t OnStart(uint32_t dwArgument) override;
    int32_t OnStopInit(uint32_t dwArgument) override;
    int32_t OnStop(uint32_t dwArgument) override;
    int32_t OnReloadPolicy(uint32_t dwArgument) override;
    int32_t OnPauseInit(uint32_t dwArgument) override;
    int32_t OnPause(uint32_t dwArgument) override;
    int32_t OnResume(uint32_t dwArgument) override;
    bool InputMayComeBack() override;
    bool DescribeInput(std::string& strInput) override;
    int32_t ConfigureEventSections(CSFEventRegistry* pRegistry) override;
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override;

    // Opens a port for every enabled decoy rule (at most 256) and watches
    // them all.  Runs on the engine thread as it starts.
    virtual int32_t SetupListener();

    // Entries at the head of the port table that are open.
    int32_t GetOpenPortCount() const { return m_nOpenPorts.load(std::memory_order_relaxed); }
    const ListeningPort* GetPort(size_t nIndex) const;
    DecoyDestination* GetDestination() const { return m_pDestination.get(); }
    // Held back for the accepts and resets of the engine's thread.
    SpareDescriptor& GetSpare() { return m_Spare; }
    bool IsPaused() const { return m_bPaused.load() != 0; }

    // For tests: another share for TakeWaitingAtEnd.
    void SetTakeAtEnd(std::chrono::milliseconds share) { m_TakeAtEnd = share; }

    // The wait before the first run of the process opens its ports;
    // kFirstRunWaitMs unless a test changed it.  Process-wide.
    static void SetFirstRunWaitMs(uint32_t dwMs);
    // Makes the next thread run of the process the first one again.
    static void ResetFirstRun();
    // Whether no thread run of the process has begun yet.
    static bool IsFirstRunPending();

protected:
    uint32_t _doWork() override;

private:
    // Waits `dwMs`, or less when the engine is told to stop or pause.
    void Pause(uint32_t dwMs);
    // One wait on every watched port and the connections it found.
    void WatchOnce();
    void CloseExpiredHolds();
    void HandleReady(int nReady);
    // Takes what waits on the port, at most kMaxTakenPerTurn connections;
    // false when one could not be taken (no descriptor, say) and waits on.
    bool TakeWaiting(ListeningPort& entry, uint32_t dwNow);
    // The entry before `nEnd` that already listens on the port, or null.
    const ListeningPort* FindOpenPort(uint16_t wPort, size_t nEnd) const;
    // Opens the port of one enabled rule at entry `nIndex` (when there is
    // room), or takes the socket of `pKept` (the table of before a reload)
    // that listens on it already, and says what became of it.
    DecoyPortOutcome OpenRulePort(CDecoyRule* pRule, size_t& nIndex, ListeningPort* pKept);
    // How the host's pause differs from a reload's.
    void NotePause(uint32_t dwArgument);
    // Takes, with the thread ended, the connections made before the stop
    // or the host's pause that still wait on the ports, for at most the
    // share it is given; how many.
    uint64_t TakeWaitingAtEnd(std::chrono::milliseconds share);
    // Closes every port.  Connections still waiting on one would be reset
    // by the close without a word: they are reset first, and counted in
    // the log, saying `pszWhen` they were found; answers how many.
    uint32_t ClosePorts(const char* pszWhen);
    uint32_t ClosePorts(ListeningPort* pTable, const char* pszWhen);
    // The ports of the enabled rules, each once, in rule order.
    std::vector<uint16_t> EnabledPorts();
    void AnnouncePorts();

    IPolicyEventInterface* const m_pPrototype;
    std::unique_ptr<CInitializeDecoyRules> m_pDefaultReader;
    std::unique_ptr<CInitializeUserDecoyRules> m_pUserReader;
    std::unique_ptr<ListeningPort[]> m_pPorts;
    std::atomic<int32_t> m_nOpenPorts{0};
    std::atomic<uint8_t> m_bPaused{0};
    // The host paused the engine: its next run opens every port afresh.
    std::atomic<bool> m_bReopenPorts{false};
    std::unique_ptr<DecoyDestination> m_pDestination;
    plat::SocketWatchSet m_WatchSet{kPortTableSize};
    // A wait that fails fails again at every pass (a descriptor limit
    // below the ports' count, say): said at most 20 times a minute.
    ReportLimiter m_WaitErrorReports{std::chrono::minutes(1), 20};
    // Empty: the stop-aware pause between passes.
    plat::SocketWatchSet m_NoSockets;
    plat::WakeSignal m_Wake;
    DecoyPortReport m_PortReport;
    SpareDescriptor m_Spare;
    std::chrono::milliseconds m_TakeAtEnd{kTakeAtEndMs};
    // Set for a run that waited before it opened its ports; the thread's own.
    bool m_bFirstOpening = false;
    // A connection could not be taken at the last wake and still waits on
    // its port, which would end every wait at once: the next look comes
    // after a pass.  The thread's own.
    bool m_bLookAfterAPass = false;
};
