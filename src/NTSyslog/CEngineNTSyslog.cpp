#include "NTSyslog/CEngineNTSyslog.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "Common/AgentEventInfoDefault.h"
#include "Common/InputBounds.h"
#include "Common/RuleContainer.h"
#include "NTSyslog/InitializeNTSyslogRules.h"
#include "TextLogs/LogLineTemplates.h"
#include "TextLogs/TextLogRule.h"
#include "platform/Console.h"
#include "platform/NetworkNames.h"
#include "qorCSFLib/CSFEventRegistry.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/SafeText.h"
#include "qorToolsLib/CountText.h"

namespace {

// The bounds of what a sender makes the engine hold, as they are said.
constexpr const char kQueueBound[] = "at most 64 MiB of datagrams waiting to be parsed";
constexpr const char kSizeBound[] = "at most 65505 bytes a datagram";
constexpr const char kSocketBound[] = "at most 8 MiB waiting in the socket";
static_assert(SyslogEntryQueue::kDefaultMaxBytes == 64u * 1024 * 1024 &&
              NTSyslogListeningThread::kReceiveBufferSize - 1 == 65505 &&
              NTSyslogListeningThread::kSocketReceiveBuffer == 8 * 1024 * 1024);

// What follows the count of the drops report made at a reload's resume.
constexpr const char kDuringReload[] = " while a reload kept the rules from them";

constexpr uint32_t kPopSeconds = 1;
// Datagrams taken from the queue at once.
constexpr size_t kParseBatch = 64;

// With debug logging on, each datagram's trace goes to the host's log, echo
// or not: the log is never read back as input, where the debug output,
// standard error, may be (a journal forwarded to this very port).
void TraceEntry(const SyslogEntry& entry) {
    char szSender[plat::kDottedAddressSize];
    plat::FormatDottedAddress(entry.m_Sender.m_dwAddress, szSender);
    CSF_LOG(kCSFLogTrace, "NTSyslog: Parsing Entry from %s: %s", szSender, PrintableText(entry.m_strText).c_str());
}

}  // namespace

CEngineNTSyslog::CEngineNTSyslog(IPolicyEventInterface* pPrototype)
    : CEngineBase("NT Syslog"),
      m_pPrototype(pPrototype),
      m_pDefaultReader(std::make_unique<CInitializeNTSyslogRules>()),
      m_pUserReader(std::make_unique<CInitializeUserNTSyslogRules>()) {}

CEngineNTSyslog::~CEngineNTSyslog() {
    // The engine thread uses the queue and the rules: it ends before they go.
    if (m_pQueue) {
        m_pQueue->Wake();
    }
    StopAndWait();
    m_pDefaultReader.reset();
    m_pUserReader.reset();
    m_pListener.reset();
    if (m_pQueue) {
        m_pQueue->Clear();
        m_pQueue.reset();
    }
    m_RuleMatcher.Clear();
    m_ActiveRules.clear();
}

int32_t CEngineNTSyslog::Oninit(uint32_t dwArgument) {
    return CEngineBase::Oninit(dwArgument);
}

int32_t CEngineNTSyslog::ConfigureEventSections(CSFEventRegistry* pRegistry) {
    if (pRegistry == nullptr) {
        return 0;
    }
    pRegistry->RegisterSection(m_pDefaultReader->GetRulesSectionPath().c_str(), m_pPrototype, 1);
    pRegistry->RegisterSection(m_pUserReader->GetRulesSectionPath().c_str(), m_pPrototype, 1);
    return 0;
}

int32_t CEngineNTSyslog::PopulateRuleContainer(RuleContainer* pContainer, IPolicyContainer* pPolicy) {
    m_pDefaultReader->ReadRules(pContainer, pPolicy);
    m_pUserReader->ReadRules(pContainer, pPolicy);
    return 0;
}

int32_t CEngineNTSyslog::OnReloadPolicy(uint32_t dwArgument) {
    const int32_t nResult = CEngineBase::OnReloadPolicy(dwArgument);
    m_ActiveRules.clear();
    if (RuleContainer* pRules = GetRuleContainer()) {
        for (Rule* pRule : *pRules) {
            auto* pSyslogRule = dynamic_cast<CNTSyslogRule*>(pRule);
            if (pSyslogRule != nullptr && pSyslogRule->IsEnabled()) {
                m_ActiveRules.push_back(pSyslogRule);
            }
        }
    }
    std::vector<const RegularExpression*> expressions;
    for (const CNTSyslogRule* pRule : m_ActiveRules) {
        expressions.push_back(pRule->GetExpression());
    }
    m_RuleMatcher.Assign(expressions);
    // Without rules nothing will parse what is still queued, nor what the
    // socket a reload kept open still takes: the port closes, and what it
    // held is accounted for now rather than left until the engine goes.
    if (m_ActiveRules.empty() && m_pListener && m_pListener->IsRunning()) {
        StopListener(NTSyslogListeningThread::Leftovers::kCount);
    }
    if (m_ActiveRules.empty() && m_pQueue) {
        m_qwUnparsed += m_pQueue->Clear();
        ReportDrops(true);
    }
    if (m_ActiveRules.empty()) {
        // The port is not opened any more: what it left out at its bounds
        // is no longer so.
        InputBounds::Instance().EndInput(BoundInput());
    }
    return nResult;
}

void CEngineNTSyslog::StartListener() {
    if (!m_pQueue) {
        m_pQueue = std::make_unique<SyslogEntryQueue>();
    }
    if (!m_pListener) {
        m_pListener = std::make_unique<NTSyslogListeningThread>("NTSyslogListener", m_wPort);
    }
    // A listener that cannot bind has said why; the engine thread runs all
    // the same and the next resume tries again.  One a reload kept running
    // has its socket still bound.
    if (!m_pListener->IsRunning()) {
        m_pListener->StartListening(m_pQueue.get());
    }
}

int32_t CEngineNTSyslog::OnStart(uint32_t dwArgument) {
    if (m_ActiveRules.empty()) {
        plat::ConsoleWrite("No valid Syslog rules for NT. SyslogListener will not Start\n");
        return 0;
    }
    StartListener();
    return CEngineBase::OnStart(dwArgument);
}

bool CEngineNTSyslog::DescribeInput(std::string& strInput) {
    const std::string strPort = "UDP port " + std::to_string(m_wPort);
    if (m_ActiveRules.empty()) {
        strInput = "no syslog rule: " + strPort + " is not opened";
        return true;
    }
    if (m_pListener && m_pListener->IsSocketOpen()) {
        strInput = strPort;
        return true;
    }
    strInput = m_pListener && !m_pListener->GetOpenFailure().empty()
                   ? m_pListener->GetOpenFailure()
                   : strPort + " is not open";
    return false;
}

bool CEngineNTSyslog::InputMayComeBack() {
    return !m_ActiveRules.empty() && m_pListener && !m_pListener->IsSocketOpen() &&
           !m_pListener->GetOpenFailure().empty();
}

int32_t CEngineNTSyslog::OnResume(uint32_t dwArgument) {
    if (m_ActiveRules.empty()) {
        return 0;
    }
    // The listener went on receiving while the rules were read: what it
    // could not keep meanwhile is said and counted now, within the
    // reload, so that the reload's report (and a push's) has it apart
    // from what was dropped before it.
    if (IsReload(dwArgument)) {
        ReportDrops(true, kDuringReload);
        m_qwCatchUpLeft = m_pQueue ? m_pQueue->Size() : 0;
        if (m_qwCatchUpLeft > m_nQueuedAtPause) {
            m_CatchUp.Begin(BoundInput());
        }
    }
    StartListener();
    return CEngineBase::OnResume(dwArgument);
}

int32_t CEngineNTSyslog::OnPauseInit(uint32_t dwArgument) {
    if (m_ActiveRules.empty()) {
        return 0;
    }
    // A reload's pause keeps the listener: its socket stays bound, and what
    // arrives while the rules are read is queued for the resumed engine.
    if (m_pListener && !IsReload(dwArgument)) {
        m_pListener->RequestStop();
    }
    const int32_t nResult = CEngineBase::OnPauseInit(dwArgument);
    if (m_pQueue) {
        m_pQueue->Wake();
    }
    return nResult;
}

int32_t CEngineNTSyslog::OnStopInit(uint32_t dwArgument) {
    return OnPauseInit(dwArgument);
}

void CEngineNTSyslog::StopListener(NTSyslogListeningThread::Leftovers leftovers) {
    if (m_pListener) {
        m_pListener->StopAndWait(leftovers);
    }
    if (m_pQueue) {
        m_pQueue->Wake();
    }
}

int32_t CEngineNTSyslog::OnPause(uint32_t dwArgument) {
    if (m_ActiveRules.empty()) {
        return 0;
    }
    // What the socket still holds is parsed after the resume, like what
    // the queue holds.
    if (!IsReload(dwArgument)) {
        StopListener(NTSyslogListeningThread::Leftovers::kQueue);
    } else if (m_pQueue) {
        m_pQueue->Wake();
    }
    const int32_t nResult = CEngineBase::OnPause(dwArgument);
    m_CatchUp.End();
    m_nQueuedAtPause = m_pQueue ? m_pQueue->Size() : 0;
    ReportDrops(true);
    return nResult;
}

int32_t CEngineNTSyslog::OnStop(uint32_t dwArgument) {
    if (m_ActiveRules.empty()) {
        return 0;
    }
    // What the socket still holds is counted as it closes; what the queue
    // holds is parsed below, once the engine thread has ended.
    StopListener(NTSyslogListeningThread::Leftovers::kCount);
    const int32_t nResult = CEngineBase::OnStop(dwArgument);
    m_CatchUp.End();
    // A thread left running (said by the base) still takes from the queue
    // and reads the listener's counts: both stay its own.
    if (LeavesThreadRunning()) {
        return nResult;
    }
    ParseAtStop();
    if (m_pQueue) {
        m_qwUnparsed += m_pQueue->Clear();
        // What the queue's bound kept the engine's memory to in this run.
        CSF_LOG(kCSFLogInfo, "NTSyslog: the queue held at most %zu bytes (bound %zu)",
                m_pQueue->MostHeldBytes(), m_pQueue->MaxBytes());
    }
    ReportDrops(true, "", true);
    // A listener and a queue made later count from 0 again.
    m_pListener.reset();
    m_pQueue.reset();
    m_qwDropsReported = 0;
    m_qwOversizedReported = 0;
    m_qwKernelReported = 0;
    m_qwLeftInSocketReported = 0;
    m_qwQueueFullNoted = 0;
    m_qwOversizedNoted = 0;
    m_qwKernelNoted = 0;
    return nResult;
}

uint64_t CEngineNTSyslog::GetDroppedCount() const {
    return m_pQueue ? m_pQueue->DroppedCount() : 0;
}

uint64_t CEngineNTSyslog::GetSystemDroppedCount() const {
    return m_pListener ? m_pListener->KernelDroppedCount() : m_qwKernelReported;
}

void CEngineNTSyslog::NoteBound(const char* pszLimit, uint64_t qwTotal, uint64_t& qwNoted) {
    if (qwTotal <= qwNoted) {
        return;
    }
    InputBounds::Instance().Bound(BoundInput(), pszLimit, "datagrams").LeftOut(qwTotal - qwNoted);
    qwNoted = qwTotal;
}

std::string CEngineNTSyslog::BoundInput() const {
    return "syslog datagrams to UDP port " + std::to_string(m_wPort);
}

void CEngineNTSyslog::NoteBounds(uint64_t qwQueueFull, uint64_t qwOversized, uint64_t qwKernel) {
    NoteBound(kQueueBound, qwQueueFull, m_qwQueueFullNoted);
    NoteBound(kSizeBound, qwOversized, m_qwOversizedNoted);
    NoteBound(kSocketBound, qwKernel, m_qwKernelNoted);
}

void CEngineNTSyslog::ReportDrops(bool bFinal, const char* pszWhen, bool bStop) {
    const uint64_t qwQueueFull = GetDroppedCount();
    const uint64_t qwOversized = m_pListener ? m_pListener->OversizedCount() : m_qwOversizedReported;
    const uint64_t qwKernel = GetSystemDroppedCount();
    const uint64_t qwLeftInSocket =
        m_pListener ? m_pListener->LeftInSocketCount() : m_qwLeftInSocketReported;
    NoteBounds(qwQueueFull, qwOversized, qwKernel);
    if (qwQueueFull == m_qwDropsReported && qwOversized == m_qwOversizedReported &&
        qwKernel == m_qwKernelReported && m_qwUnparsed == m_qwUnparsedReported &&
        qwLeftInSocket == m_qwLeftInSocketReported) {
        return;
    }
    if (!bFinal && !m_DropReports.Allow(ReportLimiter::Clock::now())) {
        return;
    }
    const uint64_t qwFull = qwQueueFull - m_qwDropsReported;
    const uint64_t qwLarge = qwOversized - m_qwOversizedReported;
    const uint64_t qwSystem = qwKernel - m_qwKernelReported;
    const uint64_t qwUnparsed = m_qwUnparsed - m_qwUnparsedReported;
    const uint64_t qwLeft = qwLeftInSocket - m_qwLeftInSocketReported;
    m_qwDropsReported = qwQueueFull;
    m_qwOversizedReported = qwOversized;
    m_qwKernelReported = qwKernel;
    m_qwUnparsedReported = m_qwUnparsed;
    m_qwLeftInSocketReported = qwLeftInSocket;
    const uint64_t qwTotal = qwFull + qwLarge + qwSystem + qwUnparsed + qwLeft;
    const std::string strTotal = CountText(qwTotal, "datagram", "datagrams");
    char szText[512];
    std::snprintf(szText, sizeof szText,
                  "NTSyslog dropped %s%s: %" PRIu64 " with the queue full, %" PRIu64
                  " too large, %" PRIu64 " unparsed at a stop, %" PRIu64
                  " left in the socket at a stop, %" PRIu64
                  " by the system with the socket's buffer full",
                  strTotal.c_str(), pszWhen, qwFull, qwLarge, qwUnparsed, qwLeft, qwSystem);
    if (!bStop) {
        CSF_LOG(kCSFLogWarning, "%s", szText);
        plat::ConsolePrintf("WARNING: %s\n", szText);
        return;
    }
    // The stop's report is said through the host, which keeps it among its
    // findings (hwhost.status) and counts what the stop lost in its tally;
    // what the bounds left out is in the tally with the bounds.
    CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", szText);
    CSFNoticeLostAtStop(qwUnparsed, kUnparsedAtStop);
    CSFNoticeLostAtStop(qwLeft, kLeftInSocketAtStop);
}

void CEngineNTSyslog::Echo(const SyslogEntry& entry, EchoBudget::Clock::time_point now) {
    // "NTSyslog: Parsing Entry from %s: %s\n", put together without a
    // formatting engine: it costs every datagram.
    char szSender[plat::kDottedAddressSize];
    plat::FormatDottedAddress(entry.m_Sender.m_dwAddress, szSender);
    m_strEcho.assign("NTSyslog: Parsing Entry from ");
    m_strEcho.append(szSender);
    m_strEcho.append(": ");
    AppendPrintable(m_strEcho, entry.m_strText);
    m_strEcho.push_back('\n');
    // Anyone who can send a datagram decides how much is echoed: the echo
    // keeps to its budget, so a flood cannot fill the disk that standard
    // error ends up on.
    if (m_EchoBudget.Take(m_strEcho.size(), now)) {
        plat::ConsoleWriteGathered(m_strEcho);
    }
}

void CEngineNTSyslog::ReportEchoLeftOut(EchoBudget::Clock::time_point now, bool bNow) {
    const uint64_t qwLeftOut = m_EchoBudget.LeftOutToReport(now, bNow);
    if (qwLeftOut != 0) {
        plat::ConsolePrintfGathered(
            "NTSyslog: %s\n", m_EchoBudget.LeftOutText(qwLeftOut, "datagram parsed", "datagrams parsed").c_str());
    }
}

template <typename GoOn>
size_t CEngineNTSyslog::ParseBatch(const GoOn& bGoOn) {
    const auto now = EchoBudget::Clock::now();
    size_t nParsed = 0;
    for (; nParsed < m_Batch.m_nCount && bGoOn(); ++nParsed) {
        const SyslogEntry& entry = m_Batch.m_Entries[nParsed];
        if (plat::InputEchoOn()) {
            Echo(entry, now);
        }
        if (IsDebugLoggingEnabled()) {
            TraceEntry(entry);
        }
        ParseEntry(entry.m_Sender.m_dwAddress, entry.m_strText);
    }
    ReportEchoLeftOut(now, false);
    return nParsed;
}

void CEngineNTSyslog::ParseAtStop() {
    if (!m_pQueue) {
        return;
    }
    // The engine thread has ended: nothing parses the queue after this.
    // Whole batches are parsed until the queue is empty or the stop's share
    // of time is over; the clock is read once a batch, which takes far
    // less.  What is left is counted by the caller.
    const auto tDeadline = std::chrono::steady_clock::now() + m_StopParsing;
    while (std::chrono::steady_clock::now() < tDeadline) {
        m_pQueue->PopSome(0, kParseBatch, m_Batch);
        if (m_Batch.m_nCount == 0) {
            break;
        }
        ParseBatch([] { return true; });
        m_Batch.m_nCount = 0;
    }
    ReportEchoLeftOut(EchoBudget::Clock::now(), true);
    plat::ConsoleFlush();
}

uint32_t CEngineNTSyslog::_doWork() {
    if (!m_pQueue) {
        return 0;
    }
    bool bIdle = true;
    while (StopRequested() == 0) {
        // The echo of what was parsed goes out before the thread waits.
        if (bIdle) {
            plat::ConsoleFlush();
        }
        // Entries are taken a few at a time: the listener and this thread
        // meet at the queue's lock once per batch, not once per datagram.
        bIdle = m_pQueue->PopSome(kPopSeconds, kParseBatch, m_Batch);
        ReportDrops(false);
        const size_t nParsed = ParseBatch([this] { return StopRequested() == 0; });
        // What a stop kept from being parsed goes back to the queue: a
        // pause leaves it for the resume, a stop counts it with the rest.
        m_qwUnparsed += m_pQueue->Unpop(m_Batch, nParsed);
        if (m_CatchUp.Pending() &&
            (bIdle || nParsed >= m_qwCatchUpLeft || m_pQueue->Size() <= m_nQueuedAtPause + kParseBatch)) {
            // What the reload kept is parsed: what the queue and the system
            // dropped until now is the reload's.
            ReportDrops(false);
            m_CatchUp.End();
        }
        m_qwCatchUpLeft -= nParsed < m_qwCatchUpLeft ? nParsed : m_qwCatchUpLeft;
    }
    m_CatchUp.End();
    ReportEchoLeftOut(EchoBudget::Clock::now(), true);
    plat::ConsoleFlush();
    return 0;
}

bool CEngineNTSyslog::ResolvePair(const std::string& strTemplate, std::string_view svText,
                                  const char* pszRemote, std::string& strValue) {
    if (strTemplate == "@File") {
        strValue = "Syslog Port";
    } else if (strTemplate == "@Group") {
        strValue = kDefaultLogGroupName;
    } else if (strTemplate == "@Host") {
        strValue = LogHostName();
    } else if (strTemplate == "@Remote") {
        strValue = pszRemote;
    } else {
        return ResolveLineTemplate(strTemplate, svText, strValue);
    }
    return true;
}

void CEngineNTSyslog::ParseEntry(uint32_t dwSender, std::string_view svText) {
    m_RuleMatcher.Match(svText, m_RuleHits);
    // With debug logging on, the trace says what each rule made of the
    // message, the first place to look when a rule stays silent, so every
    // rule is visited; otherwise only those the scanner named.  The switch
    // is read once a datagram.
    const bool bEveryRule = IsDebugLoggingEnabled();
    auto next = [&](size_t nFrom) {
        return bEveryRule ? nFrom : RegularExpressionSet::NextHit(m_RuleHits, nFrom);
    };
    // Fields and templates read the whole text where it lies: only what a
    // pair takes of it is copied.
    char szRemote[plat::kDottedAddressSize] = {};
    for (size_t nRule = next(0); nRule < m_ActiveRules.size(); nRule = next(nRule + 1)) {
        CNTSyslogRule* pRule = m_ActiveRules[nRule];
        if (m_RuleHits[nRule] == 0) {
            CSF_TRACE(kCSFLogInfo, "NTSyslog: rule \"%s\" does not match",
                      pRule->GetName().c_str());
            continue;
        }
        CSF_TRACE(kCSFLogInfo, "NTSyslog: rule \"%s\" matches", pRule->GetName().c_str());
        if (szRemote[0] == '\0') {
            plat::FormatDottedAddress(dwSender, szRemote);
        }
        auto* pRecord = new (std::nothrow) AgentEventInfoDefault(pRule, 0);
        if (pRecord == nullptr) {
            continue;
        }
        pRecord->ClearInfoPairs();
        pRecord->m_dwSourceAddress = LogSensorAddress();
        pRecord->m_bSourceAddressSet = true;
        pRecord->m_dwDestinationAddress = dwSender;
        pRecord->m_bDestinationAddressSet = true;
        for (const InfoPair& pair : pRule->GetInfoPairs()) {
            const bool bFound = ResolvePair(pair.m_strValue, svText, szRemote, m_strValue);
            if (!bFound && pair.m_strName == "AttackOrigin") {
                continue;
            }
            pRecord->AddInfoPair(pair.m_strName, m_strValue);
        }
        ExecuteResponses(pRecord);
    }
}
