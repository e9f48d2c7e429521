#pragma once
// The syslog engine ("NT Syslog"): syslog messages that other machines send
// to UDP port 514 are matched against the enabled syslog rules, and every
// match becomes an alert record of its rule.
//
// Two threads share the work: the listener only receives and queues, so the
// socket is drained as fast as datagrams come; the engine thread takes the
// queued datagrams, matches and reports.  Both run only while at least one
// syslog rule is enabled; nothing listens on the port otherwise.  The
// queue is bounded: datagrams that find it full are dropped, counted, and
// reported at most once a minute, together with those the system dropped
// before the listener could take them.  A stop parses what is still queued
// for its share of the stop's time (kStopParsing).  When the engine pauses
// or stops it reports what is left, including datagrams the stop's time
// left unparsed or that were still in the socket it closed, so every
// datagram that reached the machine is either an alert or a counted drop;
// the stop's losses also go to the host's tally of the stop.  A reload
// pauses the engine thread only: the listener and its socket go on, and
// what arrives while the rules are read waits in the queue, whose bound
// is sized for seconds of a busy sender, and is parsed after it with the
// new ones; what the queue could not keep meanwhile is said at the
// resume, apart from the drops before the reload.  A reload that leaves
// no enabled rule closes the port and counts what it held.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Common/CatchUps.h"
#include "Common/EngineBase.h"
#include "NTSyslog/NTSyslogListeningThread.h"
#include "NTSyslog/SyslogEntryQueue.h"
#include "qorToolsLib/EchoBudget.h"
#include "qorToolsLib/RegularExpressionSet.h"
#include "qorToolsLib/ReportLimiter.h"

class CInitializeNTSyslogRules;
class CInitializeUserNTSyslogRules;
class CNTSyslogRule;
class IPolicyEventInterface;

class CEngineNTSyslog : public CEngineBase {
public:
    // `pPrototype` is the sensor's prototype policy event, with which the
    // rule sections are registered; it stays the sensor's.
    explicit CEngineNTSyslog(IPolicyEventInterface* pPrototype = nullptr);
    ~CEngineNTSyslog() override;

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

    // Matches one datagram's text, every byte of it, against the active
    // rules and reports one record per matching rule, its information pairs
    // read from the whole text.  `dwSender` is in network byte order.
    void ParseEntry(uint32_t dwSender, std::string_view svText);

    // The port the listener binds; tests outside a private network
    // namespace move it off 514.  Takes effect at the next start.
    void SetListenPort(uint16_t wPort) { m_wPort = wPort; }
    uint16_t GetListenPort() const { return m_wPort; }
    const std::vector<CNTSyslogRule*>& GetActiveRules() const { return m_ActiveRules; }
    // Datagrams dropped because the queue was full, since the queue was made.
    uint64_t GetDroppedCount() const;
    // Datagrams waiting in the queue now.
    size_t QueuedCount() const { return m_pQueue ? m_pQueue->Size() : 0; }
    // Datagrams the system dropped with the socket's buffer full, as last
    // read (after a quiet second at the latest).
    uint64_t GetSystemDroppedCount() const;

    // The per-datagram echo on standard error is kept to this many lines
    // and bytes a second on average (bursts: a second's lines, and
    // kEchoBurstBytes); the datagrams parsed without their echo are counted
    // on a line of their own, at most once a second.
    static constexpr double kEchoLinesPerSecond = 20;
    static constexpr double kEchoBytesPerSecond = 8 * 1024;
    static constexpr double kEchoBurstBytes = 64 * 1024;

    // How long the stop goes on parsing what is still queued: nothing
    // parses it after the stop, so it is matched then, within this share
    // of the stop's time, and what is left is counted as lost.
    static constexpr std::chrono::milliseconds kStopParsing{1000};
    void SetStopParsing(std::chrono::milliseconds parsing) { m_StopParsing = parsing; }
    // The words the stop's tally counts the datagrams it left with.
    static constexpr const char kUnparsedAtStop[] = "syslog datagrams left unparsed in the queue";
    static constexpr const char kLeftInSocketAtStop[] = "syslog datagrams left in the socket";

protected:
    uint32_t _doWork() override;

private:
    // Makes the queue and the listener when absent and starts listening.
    void StartListener();
    // Ends the listener (its socket closes, what it held queued or counted
    // as `leftovers` says) and wakes the engine thread.
    void StopListener(NTSyslogListeningThread::Leftovers leftovers);
    // Reports drops not yet reported: at most once a minute unless `bFinal`;
    // `pszWhen` follows "NTSyslog dropped N datagrams" in the report.  The
    // bounds behind them are said and counted at once (NoteBounds).  With
    // `bStop` the report is the stop's: a warning the host keeps among its
    // findings, whose stop losses go to the stop's tally too.
    void ReportDrops(bool bFinal, const char* pszWhen = "", bool bStop = false);
    // Parses the batch just taken, from its first entry, while `bGoOn`
    // answers true; answers how many were parsed.
    template <typename GoOn>
    size_t ParseBatch(const GoOn& bGoOn);
    // The stop parses what is still queued, for kStopParsing at most, once
    // the engine thread has ended; the rest is counted as unparsed.
    void ParseAtStop();
    void NoteBounds(uint64_t qwQueueFull, uint64_t qwOversized, uint64_t qwKernel);
    // What a bound left out since `qwNoted`, to its handle.
    void NoteBound(const char* pszLimit, uint64_t qwTotal, uint64_t& qwNoted);
    // The port as its bounds name it.
    std::string BoundInput() const;
    // The echo of one datagram, when the echo's budget allows it; only
    // while the input echo is on (plat::InputEchoOn).
    void Echo(const SyslogEntry& entry, EchoBudget::Clock::time_point now);
    // Says how many datagrams went without their echo, once a second or,
    // when `bNow`, at once.
    void ReportEchoLeftOut(EchoBudget::Clock::time_point now, bool bNow);
    // The value of one information pair for the datagram's text.
    bool ResolvePair(const std::string& strTemplate, std::string_view svText,
                     const char* pszRemote, std::string& strValue);

    IPolicyEventInterface* const m_pPrototype;
    std::unique_ptr<CInitializeNTSyslogRules> m_pDefaultReader;
    std::unique_ptr<CInitializeUserNTSyslogRules> m_pUserReader;
    std::vector<CNTSyslogRule*> m_ActiveRules;
    // The active rules' expressions, matched together once per datagram.
    RegularExpressionSet m_RuleMatcher;
    std::unique_ptr<NTSyslogListeningThread> m_pListener;
    std::unique_ptr<SyslogEntryQueue> m_pQueue;
    uint16_t m_wPort = NTSyslogListeningThread::kSyslogPort;

    // Engine thread only: the value of a pair, kept so its buffer is
    // reused from pair to pair.
    std::string m_strValue;
    // The datagrams taken from the queue for parsing, room kept.
    SyslogBatch m_Batch;
    // The datagram's text as the per-datagram echo shows it, bytes a
    // terminal could take for a command written as "\xHH"; reused.
    std::string m_strEcho;
    EchoBudget m_EchoBudget{kEchoLinesPerSecond, kEchoBytesPerSecond, kEchoBurstBytes};
    std::vector<uint8_t> m_RuleHits;
    ReportLimiter m_DropReports;
    uint64_t m_qwDropsReported = 0;
    uint64_t m_qwOversizedReported = 0;
    uint64_t m_qwKernelReported = 0;
    uint64_t m_qwLeftInSocketReported = 0;
    // What each bound's handle has been told of.
    uint64_t m_qwQueueFullNoted = 0;
    uint64_t m_qwOversizedNoted = 0;
    uint64_t m_qwKernelNoted = 0;
    // Received but never parsed because a stop came first: counted by the
    // engine thread, and at stop by the control thread once that thread
    // has ended.
    uint64_t m_qwUnparsed = 0;
    uint64_t m_qwUnparsedReported = 0;
    std::chrono::milliseconds m_StopParsing = kStopParsing;
    // A reload's resume with more datagrams queued than at its pause: the
    // engine thread ends the catch-up once it has parsed as many, or the
    // queue is back to what it held at the pause (a sender that kept it
    // full before the reload keeps it full after), and has counted what
    // the queue and the system dropped meanwhile.
    CatchUp m_CatchUp;
    uint64_t m_qwCatchUpLeft = 0;
    size_t m_nQueuedAtPause = 0;
};
