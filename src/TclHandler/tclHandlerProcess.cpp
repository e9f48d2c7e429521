// The script handler's dealings with the script process: starting it and
// connecting to it, the shared-memory sections that carry each alert's
// values, and what each reply does to its request.

#include <memory>
#include <string>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/ISensorCore.h"
#include "Common/Rule.h"
#include "Common/ScriptOutcomes.h"
#include "TclHandler/tclHandler.h"
#include "platform/DynamicLoader.h"
#include "platform/Files.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/SafeText.h"
#include "qorToolsLib/SharedMemoryStore.h"
#include "qorToolsLib/jsFastLock.h"

namespace {

// A killed process ends at once; a starved one, or one a tracer holds,
// may take longer, and the stop or reload that ended it does not wait past
// this for it: it does nothing more, and is reaped once it has ended.
constexpr uint32_t kKilledWaitSeconds = 2;
constexpr const char kVariablePrefix[] = "__qor_";
constexpr const char kVariablesNotTakenBack[] = "what the script set could not be taken back from the shared store";
// Where the program lives when the sensor directory has none: beside the
// plug-in, under its own name.
constexpr const char kStandInProgram[] = "tclProc";

std::string WithSeparator(const std::string& strDirectory) {
    if (strDirectory.empty() || strDirectory.back() == '/' || strDirectory.back() == '\\') {
        return strDirectory;
    }
    return strDirectory + "/";
}

bool IsRejection(const std::string& strText) {
    return strText == "0" || strText == "false" || strText == "False" || strText == "FALSE";
}

void TracePair(const char* pszLabel, const char* pszValue) {
    CSF_TRACE(9, "label: %s, value: %s", pszLabel, pszValue);
}

}  // namespace

std::string tclHandler::ProgramPath() {
    qorFastLock guard(m_EngineLock, true);
    std::string strPath = WithSeparator(m_strDirectory) + kProgramName;
    if (plat::PathExists(strPath.c_str())) {
        return strPath;
    }
    return plat::ThisModuleDirectory() + "/" + kStandInProgram;
}

std::string tclHandler::ProcessCommandLine() {
    qorFastLock guard(m_EngineLock, true);
    std::string strLine = std::string(kProgramName) + " -log tclproc.log";
    strLine += " -channel " + std::to_string(plat::ChildProcess::kHandedOverDescriptor);
    strLine += " -ReqQsz " + std::to_string(m_dwRequestQueueSize.load());
    strLine += " -minWorkers " + std::to_string(m_nMinWorkers.load());
    strLine += " -maxWorkers " + std::to_string(m_nMaxWorkers.load());
    strLine += " -CmdQThreshold " + std::to_string(m_nCmdQThreshold.load());
    strLine += " -CmdWaitTout " + std::to_string(m_nCmdWaitTimeout.load());
    strLine += " -dir \"" + m_strDirectory + "\"";
    return strLine;
}

// The process gets its end of a connected socket pair as an inherited
// descriptor.  Nothing listens on a port for it, so no other account can
// stand in for the process: whoever answers on the connection is the
// process this thread started.
bool tclHandler::StartProcess(int32_t /*nAttempt*/) {
    plat::SocketHandle hProcessEnd = plat::kInvalidSocket;
    if (!m_Connection.Pair(hProcessEnd)) {
        const uint32_t dwError = m_Connection.LastError();
        const std::string strWords = SocketErrorWords(dwError);
        CSF_LOG(1, "Failed to setup client socket, error = %d%s", static_cast<int>(dwError),
                strWords.empty() ? "" : (" (" + strWords + ")").c_str());
        return false;
    }
    const std::string strCommandLine = ProcessCommandLine();
    const std::string strProgram = ProgramPath();
    m_pProcess = ::StartProcess(strProgram.c_str(), strCommandLine.c_str(), hProcessEnd);
    // Only the process may hold its end: with ours open, its end would not
    // show as a closed connection.
    plat::CloseSocket(hProcessEnd);
    if (!m_pProcess) {
        CSF_LOG(1, "Failed to createProcess: %s", strProgram.c_str());
        m_Connection.Close();
        return false;
    }
    m_nProcessId = static_cast<int>(m_pProcess->Pid());
    m_strLastEnd.clear();
    CSF_TRACE(9, "Started TclProc %d", m_nProcessId.load());
    CSF_LOG(12, "Started TclProc (%s)", strCommandLine.c_str());

    m_Connection.ResetBuffers();
    m_Outgoing.Clear();
    if (!m_ReplyHandler.Start(&m_Queues, &m_Connection)) {
        CSF_LOG(1, "Failed to start the TclReplyHandler thread");
        StopProcess();
        return false;
    }
    CSF_LOG(12, "Started TclReplyHandler thread");
    return true;
}

bool tclHandler::ProcessEnded(uint32_t dwWaitMs) {
    if (!m_pProcess || !m_pProcess->WaitForExit(dwWaitMs)) {
        return false;
    }
    m_strLastEnd = m_pProcess->DescribeEnd();
    CSF_LOG(1, "TclProc %d ended (%s)", static_cast<int>(m_pProcess->Pid()), m_strLastEnd.c_str());
    return true;
}

void tclHandler::StopProcess() {
    m_ReplyHandler.Stop();
    if (m_pProcess) {
        TerminateProcessAndWait(m_pProcess.get(), kKilledWaitSeconds);
        if (!m_pProcess->HasExited()) {
            // No fault of the sensor's: a starved machine may take longer
            // to end a large process, and a debugger may hold it.
            CSF_LOG(kCSFLogNotice,
                    "TclProc %d was killed but had not ended %u s later: it is waited for without holding up "
                    "what ended it",
                    static_cast<int>(m_pProcess->Pid()), kKilledWaitSeconds);
        }
        CSF_TRACE(9, "Stopped TclProc %d", static_cast<int>(m_pProcess->Pid()));
        m_pProcess.reset();
        m_nProcessId = 0;
    }
    m_Connection.Close();
}

bool tclHandler::CreateSection(AgentEventInfo& record, int32_t& nTransactionId) {
    // The pairs go in with one hold of the store, as one section.  The
    // store ends a value at its first NUL: a value that holds one (a byte
    // of a datagram or a log line) goes in with it as U+FFFD, so the script
    // sees the rest of it.
    m_SectionPairs.clear();
    m_SectionValues.clear();
    const AgentEventInfo& source = record;
    // Room for every value, so none moves while the section points at it.
    m_SectionValues.reserve(source.GetInfoPairs().size() + source.GetScriptVariables().size());
    for (const InfoPairList* pList : {&source.GetInfoPairs(), &source.GetScriptVariables()}) {
        for (const InfoPair& pair : *pList) {
            const char* pszValue = pair.m_strValue.c_str();
            if (pair.m_strValue.find('\0') != std::string::npos) {
                m_SectionValues.push_back(pair.m_strValue);
                ReplaceNulBytes(m_SectionValues.back());
                pszValue = m_SectionValues.back().c_str();
            }
            m_SectionPairs.emplace_back(pair.m_strName.c_str(), pszValue);
        }
    }
    bool bInserted = false;
    nTransactionId =
        m_pStore ? static_cast<int32_t>(m_pStore->InsertNextSection(m_SectionPairs, bInserted)) : 0;
    if (!bInserted) {
        CSF_TRACE(9, "Create ShmSection %d failed", nTransactionId);
        return false;
    }
    CSF_TRACE(9, "Create ShmSection %d", nTransactionId);
    if (IsDebugLoggingEnabled()) {
        for (const auto& [pszLabel, pszValue] : m_SectionPairs) {
            TracePair(pszLabel, pszValue);
        }
    }
    return true;
}

bool tclHandler::TakeBackVariables(int32_t nTransactionId, AgentEventInfo& record) {
    if (!m_pStore ||
        !m_pStore->TakeSection(static_cast<uint32_t>(nTransactionId), m_Labels, m_Values)) {
        return false;
    }
    CSF_TRACE(9, "Deleted ShmSection %d", nTransactionId);
    for (size_t i = 0; i < m_Labels.size() && i < m_Values.size(); ++i) {
        TracePair(m_Labels[i].c_str(), m_Values[i].c_str());
        if (m_Labels[i].compare(0, sizeof kVariablePrefix - 1, kVariablePrefix) != 0) {
            continue;
        }
        // The record already carries the variables it handed over: a value
        // read back replaces its own rather than doubling it.
        record.RemoveScriptVariable(m_Labels[i].c_str());
        record.AddScriptVariable(m_Labels[i], m_Values[i]);
        record.AddInfoPair(m_Labels[i], m_Values[i]);
    }
    return true;
}

void tclHandler::DeleteSection(int32_t nTransactionId) {
    if (m_pStore) {
        m_pStore->RemoveId(static_cast<uint32_t>(nTransactionId));
    }
    CSF_TRACE(9, "Deleted ShmSection %d", nTransactionId);
}

void tclHandler::ReportRunFailure(const std::string& strName, const char* pszType,
                                  const std::string& strText) {
    qorFastLock guard(m_FullTableLock, true);
    if (!m_RunFailureReports.Allow(ReportLimiter::Now())) {
        return;
    }
    const std::string strLeftOut = m_RunFailureReports.LeftOutNote("failed runs");
    if (strText == "Error parsing system call") {
        CSF_LOG(3, "<%s RUN %s> failed: %s%s", strName.c_str(), pszType, strText.c_str(),
                strLeftOut.c_str());
    } else {
        CSF_LOG(1, "<%s RUN %s> failed: %s%s", strName.c_str(), pszType, strText.c_str(),
                strLeftOut.c_str());
    }
}

std::unique_ptr<tclRequest> tclHandler::TakePending(const tclRequest& reply) {
    auto [first, last] = m_Pending.equal_range(RuleName(reply.m_nRuleId));
    for (auto it = first; it != last; ++it) {
        const tclRequest& request = *it->second;
        if (request.m_nCommandType == reply.m_nCommandType &&
            request.m_nScriptType == reply.m_nScriptType &&
            request.m_nTransactionId == reply.m_nTransactionId &&
            request.m_nRuleId == reply.m_nRuleId) {
            std::unique_ptr<tclRequest> pRequest = std::move(it->second);
            m_Pending.erase(it);
            return pRequest;
        }
    }
    return nullptr;
}

void tclHandler::HandleReply(tclRequest* pTaken) {
    std::unique_ptr<tclRequest> pReply(pTaken);
    char szText[257];
    CSF_TRACE(9, "Rcvd a tcl reply: %s", pReply->Format(szText, sizeof szText));
    const std::string& strName = RuleName(pReply->m_nRuleId);
    if (strName.empty()) {
        CSF_LOG(1, "Can't find a name for Rid %d", pReply->m_nRuleId);
        return;
    }
    std::unique_ptr<tclRequest> pRequest = TakePending(*pReply);
    const char* pszType = qorTclCommand::ScriptTypeName(pReply->m_nScriptType);
    if (pReply->m_nCommandType == qorTclCommand::kScript) {
        if (pReply->m_nReturnType == qorTclCommand::kError) {
            CSF_LOG(3, "<%s SCRIPT %s> failed: %s", strName.c_str(), pszType,
                    pReply->m_strText.c_str());
            NoteRefused(*pReply, pRequest.get());
        }
        if (!pRequest) {
            CSF_TRACE(3, "Can't find matching request for %s SCRIPT %s", strName.c_str(), pszType);
        }
        return;
    }
    if (pReply->m_nCommandType != qorTclCommand::kRun) {
        return;
    }
    const bool bScriptFailed = pReply->m_nReturnType == qorTclCommand::kError;
    if (bScriptFailed) {
        ReportRunFailure(strName, pszType, pReply->m_strText);
        // The first failed run of each part is said on the console too.
        if (m_FailedRuns.emplace(strName, pReply->m_nScriptType).second) {
            NoteRefused(*pReply, pRequest.get());
        }
        if (pRequest && pRequest->m_pRule != nullptr && !pRequest->m_pRule->GetNeedTcl()) {
            pReply->m_nReturnType = qorTclCommand::kTrue;
        }
    }
    bool bSectionGone = false;
    if (!pRequest) {
        CSF_TRACE(3, "Can't find matching request for %s RUN %s %d", strName.c_str(), pszType,
                  pReply->m_nTransactionId);
    } else if (pRequest->m_pRecord) {
        const bool bAlert = pRequest->m_nScriptType == qorTclCommand::kValidation;
        // A failed run's text is its error, not a verdict.
        const bool bAccepted = pReply->m_nScriptType == qorTclCommand::kValidation &&
                               pReply->m_nReturnType == qorTclCommand::kTrue &&
                               (bScriptFailed || !IsRejection(pReply->m_strText));
        ISensorCore* pSensor = GetSensorCore();
        // A script that failed validated nothing, whatever becomes of the
        // record.
        ScriptOutcome outcome = bScriptFailed ? ScriptOutcome::kDropped : ScriptOutcome::kRejected;
        // What the script set comes back through the alert's section: one
        // that cannot be taken back (its lock not had in time, on a busy
        // machine) leaves the alert without the script's outcome, so it
        // fares as after a failed run rather than pass as validated.
        if (bAccepted && pSensor != nullptr) {
            bSectionGone = TakeBackVariables(pReply->m_nTransactionId, *pRequest->m_pRecord);
            if (!bSectionGone) {
                ReportRunFailure(strName, pszType, kVariablesNotTakenBack);
                if (bAlert) {
                    CountAtBound(strName, pRequest->m_pRule, Bound::kTakeBack);
                }
            }
        }
        const bool bPassedOn =
            bSectionGone || (pRequest->m_pRule != nullptr && !pRequest->m_pRule->GetNeedTcl());
        if (bAccepted && pSensor != nullptr && bPassedOn) {
            AgentEventInfo& record = *pRequest->m_pRecord;
            std::string strPriority;
            if (record.GetScriptVariableValue("__qor_priority", strPriority) == 0) {
                if (strPriority == "High") {
                    record.m_wPriorityOverride = 1;
                } else if (strPriority == "Medium") {
                    record.m_wPriorityOverride = 2;
                } else if (strPriority == "Low") {
                    record.m_wPriorityOverride = 3;
                }
            }
            outcome =
                bScriptFailed || !bSectionGone ? ScriptOutcome::kUnvalidated : ScriptOutcome::kValidated;
            pSensor->ReportEvent(pRequest->m_pRecord.release());
        } else if (bAccepted) {
            outcome = ScriptOutcome::kDropped;
        }
        if (bAlert) {
            ScriptOutcomes::Instance().Count(outcome);
        }
    }
    if (!bSectionGone) {
        DeleteSection(pReply->m_nTransactionId);
    }
}

namespace {

// What becomes of a rule's alerts when a part of its script is missing
// (or, with `bRun`, fails when it runs).
std::string WithoutPart(int32_t nScriptType, const Rule* pRule, bool bRun) {
    const char* pszFate = pRule == nullptr
                              ? "passed on unvalidated, or dropped when the rule requires its script"
                          : pRule->GetNeedTcl()
                              ? "dropped, since the rule requires its script (NeedTcl)"
                              : "passed on unvalidated";
    switch (nScriptType) {
        case qorTclCommand::kValidation:
            return bRun ? std::string("each alert whose validation fails is ") + pszFate +
                              " (the log has each failure, 20 a minute)"
                        : std::string("its alerts are ") + pszFate;
        case qorTclCommand::kProcedure:
            return std::string("the procedures it defines are missing: an alert whose validation "
                               "calls them is ") +
                   pszFate;
        case qorTclCommand::kInitial:
            return "its validations run without what it sets up";
        default:
            return bRun ? "the log has each failure, 20 a minute" : "it does not run";
    }
}

}  // namespace

void tclHandler::NoteRefused(const tclRequest& reply, const tclRequest* pRequest,
                             bool bAnswered) {
    const std::string& strName = RuleName(reply.m_nRuleId);
    const char* pszPart = qorTclCommand::ScriptTypeName(reply.m_nScriptType);
    const bool bDefinition = reply.m_nCommandType == qorTclCommand::kScript;
    if (bDefinition) {
        m_RefusedParts.emplace(strName, reply.m_nScriptType);
    } else if (m_RefusedParts.count({strName, reply.m_nScriptType}) != 0) {
        // The run of a part the process refused: said with the refusal.
        return;
    }
    const std::string strWhat = reply.m_nScriptType == qorTclCommand::kResponse
                                    ? "Response script \"" + strName + "\""
                                    : "Rule \"" + strName + "\": its " + pszPart + " script";
    const char* pszHow = !bAnswered  ? " got no answer from the script process: "
                         : bDefinition ? " does not compile: "
                                       : " failed when it was run: ";
    const std::string strText =
        strWhat + pszHow + reply.m_strText + "; " +
        WithoutPart(reply.m_nScriptType, pRequest != nullptr ? pRequest->m_pRule : nullptr,
                    !bDefinition);
    m_ScriptReport.NoteRefused(
        reply.m_nScriptType == qorTclCommand::kResponse
            ? "response script " + strName
            : "rule " + strName + " (" + pszPart + (bDefinition ? ")" : ", when run)"),
        strText);
}

void tclHandler::PublishScriptAnswers() {
    for (const auto& [name, pRequest] : m_Pending) {
        if (pRequest->m_nCommandType != qorTclCommand::kScript) {
            continue;
        }
        tclRequest unanswered;
        unanswered.m_nCommandType = qorTclCommand::kScript;
        unanswered.m_nScriptType = pRequest->m_nScriptType;
        unanswered.m_nRuleId = pRequest->m_nRuleId;
        unanswered.m_strText = "none came within " + std::to_string(kHoldSeconds) + " s";
        NoteRefused(unanswered, pRequest.get(), false);
    }
    m_ScriptReport.Publish();
}
