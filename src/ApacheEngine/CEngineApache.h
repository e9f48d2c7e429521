#pragma once
// The engine on the sensor's side of the web-server module link ("WebPlugin"):
// it makes the shared memory, writes the configuration area from the IDS
// configuration, polls the event ring, and reports each record against the
// enabled signature rule it names (by rule name, or by "TID").  It reads no
// rules tables of its own: the rules belong to the IDS configuration.
//
// The ring is opened at the start and kept to the stop: a reload rebuilds
// the maps and writes the configuration area again, and the events the
// module wrote meanwhile are read after it.  The host's command thread
// only tries the areas' locks (WebShmLockTriesOnly), so another account
// keeping one holds up no other engine.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ApacheEngine/WebSharedMemory.h"
#include "Common/CatchUps.h"
#include "Common/EngineBase.h"
#include "Common/InputBounds.h"
#include "qorToolsLib/ReportLimiter.h"

class CIDSRule;
class IIDSConfig;
class ICSFClassFactory;

class CEngineApache : public CEngineBase {
public:
    // The module writes an event's class text, up to the whole ring: an
    // alert takes the pairs of so many names of it, and no more, and the
    // cost of joining repeated names stays linear in the text.
    static constexpr size_t kMaxClassNames = 64;

    // The engine sleeps on the ring's write offset until the module writes
    // (WebShmWriteEvent wakes it when its write finds the ring empty), so
    // events are read as they come, a burst after any quiet spell too; a
    // wake finds every event written since, and the engine reads them all
    // before it sleeps again.  (Looking every 10 ms in batches instead cost
    // less processor time, but under a load of 18 on 8 processors such a
    // look came late often enough to drop 917 of a 10,000-a-second burst.)
    // The sleep still ends after a look, so a module that does not wake is
    // read all the same, and nothing the module's side does to the word (it
    // may be another account's) keeps the engine from a stop: the look is
    // kBusyRingLookMs after an event; once the ring stayed empty for a
    // second (kBusyEmptyLooks looks in a row), each further empty look
    // waits twice as long as the last, up to kQuietRingLookMs.  The longest
    // look is set by the ring, for a module that does not wake: a burst of
    // kBurstEventsPerSecond events of a record and a class text of some 40
    // bytes (264 of them fill its 65,504 bytes, in 132 ms) that begins just
    // after a look finds room until the next, with a quarter of the fill's
    // time to spare for a wake-up that comes late on a busy machine.  An
    // idle engine so wakes some 10 times a second, not 100.  A wake may
    // come for an event already taken (the module wakes after it let the
    // ring go), but kFruitlessWakesInARow sleeps in a row that ended early
    // without an event after them are followed by a plain one (the look's
    // time): a module that keeps changing the word makes the engine look
    // no more than kFruitlessWakesInARow + 1 times a look.
    static constexpr uint32_t kBusyRingLookMs = 10;
    static constexpr uint32_t kFruitlessWakesInARow = 3;
    static constexpr uint32_t kBusyEmptyLooks = 1000 / kBusyRingLookMs;
    static constexpr uint32_t kBurstEventsPerSecond = 2000;
    static constexpr uint32_t kBurstMessageBytes = kWebRecordSize + 40;
    static constexpr uint32_t kQuietRingLookMs =
        kWebEvCapacity / kBurstMessageBytes * 1000 / kBurstEventsPerSecond * 3 / 4;
    static_assert(kQuietRingLookMs >= kBusyRingLookMs);
    // How long the stop reads the ring at most, within the stop's bound:
    // what is still in it then is counted as left at the stop.
    static constexpr std::chrono::milliseconds kStopReading{1000};

    // The IDS configuration is asked of `pFactory` at Oninit.
    explicit CEngineApache(ICSFClassFactory* pFactory);
    ~CEngineApache() override;

    int32_t Oninit(uint32_t dwArgument) override;
    int32_t OnStart(uint32_t dwArgument) override;
    int32_t OnStopInit(uint32_t dwArgument) override;
    int32_t OnStop(uint32_t dwArgument) override;
    int32_t OnReloadPolicy(uint32_t dwArgument) override;
    int32_t OnPause(uint32_t dwArgument) override;
    int32_t OnResume(uint32_t dwArgument) override;
    bool DescribeInput(std::string& strInput) override;
    // The ring could not be opened, or was cut short and could not be
    // mapped again: another opening may have it.
    bool InputMayComeBack() override;
    int32_t ConfigureEventSections(CSFEventRegistry* pRegistry) override;
    int32_t PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) override;

    // 0 when ready (or already), 1 when the shared memory could not be made.
    int32_t Initialize();
    // Maps the enabled signature rules and writes the configuration area;
    // answers the write's result.
    int32_t InitializeRuleMap(const RuleContainer* pContainer);
    // One record (and its class text, whose last byte is its terminator)
    // into an alert.
    void ProcessEvent(const WebEventRecord& record, char* pClassText, int32_t nClassLength);
    // The information pairs of a class text of `nClassLength` bytes, its
    // terminator included, read by that length: at most kMaxClassNames
    // names, the items of further ones counted in `nLeftOut`.
    static void ClassTextPairs(const char* pClassText, int32_t nClassLength,
                               std::vector<std::pair<std::string, std::string>>& pairs,
                               size_t& nLeftOut);
    void Shutdown();
    CIDSRule* LookupRuleByName(const char* pszName) const;
    const char* LookupNameById(int32_t nId) const;
    // How long the engine waits after its next look finds the ring empty.
    uint32_t RingLookMs() const { return m_dwRingLookMs.load(std::memory_order_relaxed); }
    // How long the stop reads (kStopReading unless a test sets another).
    void SetStopReading(std::chrono::milliseconds reading) { m_StopReading = reading; }
    int32_t OnPauseInit(uint32_t dwArgument) override;

protected:
    uint32_t _doWork() override;

private:
    bool IsEnabled() const;
    // Writes the configuration area from the IDS configuration; what the
    // module is left without is said as a finding, taken back once a later
    // write no longer meets it.  A write that found the area's lock held
    // (or the area cut) is tried again by the engine's thread, at most once
    // a second, until it is in (`bRetry`: such a try, which says again only
    // what changed): else the module would keep the configuration it had
    // until the next reload, and the finding with it.
    int32_t WriteConfiguration(bool bRetry = false);
    // On the engine's thread, after another account cut an area or a lock
    // short: maps them again and writes the configuration again when it
    // was cut, or, when that fails, says so and reads nothing until the
    // next reload opens them afresh.
    void MapAgainAfterCut();
    // Empties the ring, says how many events it held unread (`pszWhen`:
    // "at the stop"), and lets it go.  At the stop (`bStop`) that count is
    // said however many drops were said before it, and goes to the host's
    // tally of the stop.
    void LetRingGo(const char* pszWhen, bool bStop = false);
    // What a stop does once the thread has ended: reads the ring, for up to
    // m_StopReading, as the thread would have.
    void ReadAtStop();
    // One turn's read of the ring: true when an event was taken and
    // reported; the module's overflow it found is counted.
    bool TakeAndReport(bool& bReached);
    // Logs why a record was dropped, at most kDropReportsPerMinute a
    // minute, with the count of those left out.
    void ReportDrop(uint32_t dwLevel, const std::string& strText);
    // The ring is not read under the policy in force: what was said of it,
    // and the bound its events reached, hold no longer.
    void EndRingFindings();

    ICSFClassFactory* m_pClassFactory;
    std::unique_ptr<std::map<std::string, CIDSRule*>> m_pRuleMap;
    IIDSConfig* m_pIDSConfig = nullptr;
    int32_t m_nInitialized = 0;
    // Why the last opening of the shared memory failed; empty when it did
    // not, or none was tried since the rules were read.  Also why the
    // engine's thread could not map it again after a cut, which the
    // summary asks while that thread runs: under m_ProblemLock.
    std::string m_strRingProblem;
    std::string m_strRingLost;
    // What the engine's thread said when it could not map the ring again,
    // taken back once an opening afresh (at a reload) succeeds.
    std::string m_strLostSaid;
    mutable std::mutex m_ProblemLock;
    // What the last write of the configuration area said ("" when nothing),
    // and whether, and when, the engine's thread tries the write again.
    // The command thread writes them only while the engine's thread is not
    // running.
    std::string m_strConfigSaid;
    bool m_bConfigWanted = false;
    std::chrono::steady_clock::time_point m_NextConfigTry{};
    static constexpr std::chrono::seconds kConfigRetry{1};
    // The bound on an event's class text, once an event reached it.
    InputBoundHandle m_ClassNamesBound;
    // Events the module could not write for want of room in the ring, as
    // its overflow flag tells (once a read; their number is not known).
    InputBoundHandle m_RingOverflowBound;
    // A reload's resume: what the ring kept meanwhile is read, and its
    // overflow looked at, before the reload reports.
    CatchUp m_CatchUp;
    // "TID" to the rule's own name.
    std::unique_ptr<std::map<int32_t, const std::string*>> m_pIdMap;
    // The poll's record and class text, reused for every message.
    WebEventRecord m_Record = {};
    std::unique_ptr<char[]> m_pClassText;
    // The module decides how many records arrive: so many drop reports and
    // no more reach the log each minute.
    static constexpr unsigned kDropReportsPerMinute = 20;
    ReportLimiter m_DropReports{std::chrono::minutes(1), kDropReportsPerMinute};
    uint64_t m_qwDropsUnreported = 0;
    // Written by the engine's thread; read by tests.
    std::atomic<uint32_t> m_dwRingLookMs{kBusyRingLookMs};
    uint32_t m_dwEmptyLooks = 0;
    // Sleeps in a row that a wake or a changed word ended and after which
    // no event was taken.
    uint32_t m_dwFruitlessWakes = 0;
    // Paused (by the host, or for a reload) and not resumed since: the stop
    // then reads nothing, and counts what the ring holds.
    bool m_bPaused = false;
    std::chrono::milliseconds m_StopReading = kStopReading;
};
