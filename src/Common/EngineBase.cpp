#include "Common/EngineBase.h"

#include <new>
#include <string>
#include <utility>

#include "Common/AgentEventInfo.h"
#include "Common/AlertTypes.h"
#include "Common/ISensorCore.h"
#include "Common/ITclHandler.h"
#include "Common/Rule.h"
#include "Common/RuleScript.h"
#include "Common/ScriptOutcomes.h"
#include "platform/Clock.h"
#include "platform/TimeZone.h"
#include "platform/Wait.h"
#include "platform/ZoneMemo.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/BoundedFormat.h"

namespace {

ITclHandler* ScriptHandler() {
    ISensorCore* pSensor = GetSensorCore();
    return pSensor != nullptr ? pSensor->GetTclHandler() : nullptr;
}

const char* PriorityText(uint32_t dwPriority) {
    switch (dwPriority) {
        case 1:
            return "High";
        case 2:
            return "Medium";
        default:
            return "Low";
    }
}

// Replaces any variable of that name the record carries already.
void SetScriptVariable(AgentEventInfo& record, const char* pszName, std::string strValue) {
    record.SetScriptVariable(pszName, std::move(strValue));
}

std::string PortText(int32_t nPort) {
    return std::to_string(static_cast<uint16_t>(nPort));
}

// "2024/05/01/ 13:05:09 CEST" in local time; empty when the time has no
// calendar form.
std::string AttackTimeText(int64_t tTime) {
    thread_local plat::ZoneMemo<std::string> memo;
    std::string strText;
    memo.Get(tTime, strText, [](int64_t tAt, std::string& strOut) {
        plat::CalendarTime local;
        if (!plat::LocalCalendarAt(tAt, local)) {
            return false;
        }
        plat::TimeZoneInfo zone = plat::GetTimeZoneInfoAt(tAt);
        char szText[128];
        BoundedSnprintf(szText, sizeof szText, "%4d/%02d/%02d/ %02d:%02d:%02d %s", local.m_iYear,
                        local.m_iMonth, local.m_iDay, local.m_iHour, local.m_iMinute,
                        local.m_iSecond, zone.ActiveName());
        strOut = szText;
        return true;
    });
    return strText;
}

std::string RuleInfoNames(const Rule& rule) {
    std::string strNames;
    for (const InfoPair& pair : rule.GetInfoPairs()) {
        if (pair.m_strName.compare(0, 5, "USER_") != 0) {
            strNames += "{" + pair.m_strName + "} ";
            if (strNames.size() >= CEngineBase::kRuleInfoNamesMax) {
                strNames.resize(CEngineBase::kRuleInfoNamesMax);
                break;
            }
        }
    }
    return strNames;
}

void FillScriptVariables(AgentEventInfo& record, const Rule& rule) {
    SetScriptVariable(record, "__qor_priority", PriorityText(rule.GetPriority()));
    SetScriptVariable(record, "__qor_rulename", rule.GetName());
    SetScriptVariable(record, "__qor_srcip", record.GetSourceAddressText());
    SetScriptVariable(record, "__qor_srcport", PortText(record.m_nSourcePort));
    SetScriptVariable(record, "__qor_dstip", record.GetDestinationAddressText());
    SetScriptVariable(record, "__qor_dstport", PortText(record.m_nDestinationPort));
    SetScriptVariable(record, "__qor_attacktime", AttackTimeText(record.GetTime()));
    SetScriptVariable(record, "__qor_logtype", rule.GetLogType());
    SetScriptVariable(record, "__qor_alerttype", AlertTypeName(record.GetAlertType()));
    SetScriptVariable(record, "__qor_protocolid",
                      std::to_string(static_cast<int32_t>(record.m_dwIANAProtocolId)));
    SetScriptVariable(record, "__qor_ruleinfonames", RuleInfoNames(rule));
}

uint8_t Drop(AgentEventInfo* pRecord) {
    delete pRecord;
    return 0;
}

uint8_t Report(AgentEventInfo* pRecord) {
    ISensorCore* pSensor = GetSensorCore();
    if (pSensor == nullptr) {
        return Drop(pRecord);
    }
    return pSensor->ReportEvent(pRecord);
}

}  // namespace

CEngineBase::CEngineBase(const char* pszThreadName)
    : qorThread(pszThreadName, kEnginePriorityLevel) {}

CEngineBase::~CEngineBase() {
    CSF_LOG(kCSFLogInfo, "*** NOTICE *** %s Engine terminating", GetName());
    m_pRuleContainer.reset();
}

int32_t CEngineBase::StartThread() {
    // A thread told to stop is leaving, not running for this start: the
    // start waits for it within its stop bound and runs the body anew, or
    // says that it could not.
    if (IsRunning() && m_dwStopRequested != 0 &&
        !AwaitThreadEnd("stop", "it is not started again until its thread has ended")) {
        return -1;
    }
    if (IsRunning()) {
        return 0;
    }
    m_dwStopRequested = 0;
    return Start() ? 0 : -1;
}

int32_t CEngineBase::RequestStop() {
    if (m_dwStopRequested != 0) {
        return 0;
    }
    m_StopAsked = std::chrono::steady_clock::now();
    if (IsRunning()) {
        // Told, not forced: the body sees the flag at its next wait; one not
        // yet running leaves at its start gate.
        Stop(1, false);
    }
    m_dwStopRequested = 1;
    return 0;
}

int32_t CEngineBase::StopAndWait() {
    RequestStop();
    if (!AwaitThreadEnd("stop", "it is left running")) {
        return -1;
    }
    Reset();
    return 0;
}

bool CEngineBase::AwaitThreadEnd(const char* pszStep, const char* pszThen) {
    const auto now = std::chrono::steady_clock::now();
    const auto asked = m_dwStopRequested != 0 ? m_StopAsked : now;
    const auto deadline = asked + std::chrono::milliseconds(m_dwStopBoundMs);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    // A thread that never ran, or has ended, is over at once.
    if (!IsRunning() || WaitForExit(left > 0 ? static_cast<uint32_t>(left) : 0) || !IsRunning()) {
        return true;
    }
    if (!m_bStuck) {
        m_bStuck = true;
        const std::string strBound = m_dwStopBoundMs % 1000 == 0
                                         ? std::to_string(m_dwStopBoundMs / 1000) + " s"
                                         : std::to_string(m_dwStopBoundMs) + " ms";
        m_strStuckSaid = std::string("The engine ") + GetName() + " did not end within " + strBound + " of its " +
                         pszStep + ": " + pszThen;
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", m_strStuckSaid.c_str());
    }
    return false;
}

void CEngineBase::ClearStuck() {
    m_bStuck = false;
    if (!m_strStuckSaid.empty()) {
        CSFNoticeFindingEnded(m_strStuckSaid.c_str());
        m_strStuckSaid.clear();
    }
}

bool CEngineBase::LeavesThreadRunning() {
    return m_bStuck && IsRunning();
}

int32_t CEngineBase::Oninit(uint32_t dwArgument) {
    if (ITclHandler* pHandler = ScriptHandler()) {
        pHandler->RegisterEngine(this, 1);
    }
    return OnReloadPolicy(dwArgument);
}

int32_t CEngineBase::OnStart(uint32_t /*dwArgument*/) {
    return StartThread();
}

int32_t CEngineBase::OnStopInit(uint32_t /*dwArgument*/) {
    return RequestStop();
}

int32_t CEngineBase::OnStop(uint32_t /*dwArgument*/) {
    return StopAndWait();
}

int32_t CEngineBase::OnPauseInit(uint32_t /*dwArgument*/) {
    return RequestStop();
}

int32_t CEngineBase::OnPause(uint32_t /*dwArgument*/) {
    return StopAndWait();
}

int32_t CEngineBase::OnResume(uint32_t /*dwArgument*/) {
    return StartThread();
}

int32_t CEngineBase::OnReloadPolicy(uint32_t /*dwArgument*/) {
    std::unique_ptr<RuleContainer> pContainer(new (std::nothrow) RuleContainer());
    if (!pContainer) {
        return -1;
    }
    ISensorCore* pSensor = GetSensorCore();
    IPolicyContainer* pPolicy = pSensor != nullptr ? pSensor->GetCurrentPolicy() : nullptr;
    int32_t nResult = PopulateRuleContainer(pContainer.get(), pPolicy);
    if (nResult != 0) {
        return nResult;
    }
    ITclHandler* pHandler = ScriptHandler();
    if (pHandler != nullptr && pHandler->IsEnabled()) {
        std::unique_ptr<RuleContainer> pCopy(new (std::nothrow) RuleContainer(*pContainer));
        if (!pCopy) {
            return -1;
        }
        pHandler->ReloadRuleContainer(this, std::move(pCopy));
    }
    m_pRuleContainer = std::move(pContainer);
    return 0;
}

void CEngineBase::HandRulesToScripts(ITclHandler& handler) {
    handler.RegisterEngine(this, 1);
    if (m_pRuleContainer) {
        handler.ReloadRuleContainer(this, std::make_unique<RuleContainer>(*m_pRuleContainer));
    }
}

bool CEngineBase::DescribeInput(std::string& strInput) {
    strInput.clear();
    return true;
}

RuleContainer* CEngineBase::GetRuleContainer() {
    return m_pRuleContainer.get();
}

uint8_t CEngineBase::LogToCSF(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                              uint32_t dwFlags) {
    ISensorCore* pSensor = GetSensorCore();
    if (pSensor == nullptr) {
        return Drop(pRecord);
    }
    return pSensor->LogToCSF(pRecord, pInfo, dwWord, dwFlags);
}

uint8_t CEngineBase::ForwardToEventSink(uint32_t dwFirst, uint32_t dwSecond) {
    ISensorCore* pSensor = GetSensorCore();
    return pSensor != nullptr ? pSensor->ForwardToEventSink(dwFirst, dwSecond) : 0;
}

uint8_t CEngineBase::ExecuteResponses(AgentEventInfo* pRecord) {
    if (pRecord == nullptr) {
        return 0;
    }
    Rule* pRule = pRecord->GetRule();
    if (pRule == nullptr) {
        // Nothing downstream can route a record that has no rule.
        return Drop(pRecord);
    }
    if (!pRule->GetInvalidResponses().empty()) {
        CSF_LOG(kCSFLogError,
                "Invalid response : %s for rule : %s will not be executed. Please check applied "
                "policy.",
                pRule->GetInvalidResponses().c_str(), pRule->GetName().c_str());
    }
    pRecord->m_wPriorityOverride = static_cast<uint16_t>(pRule->GetPriority());
    FillScriptVariables(*pRecord, *pRule);

    RuleScript* pScript = pRule->GetScript();
    // Without a script handler, or when the run cannot be queued, the
    // record stays here.
    if (pScript != nullptr && pScript->QueueValidation(pRecord) != 0) {
        return 1;
    }
    // No validation took place: a rule that requires its script drops the
    // record, any other rule's record goes on unvalidated.  Either is
    // counted when the rule has a script the record should have met.
    if (pRule->GetNeedTcl()) {
        ScriptOutcomes::Instance().Count(ScriptOutcome::kDropped);
        return Drop(pRecord);
    }
    if (pScript != nullptr && !pScript->GetValidation().empty()) {
        ScriptOutcomes::Instance().Count(ScriptOutcome::kUnvalidated);
    }
    return Report(pRecord);
}
