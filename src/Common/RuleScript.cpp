#include "Common/RuleScript.h"

#include "Common/AgentEventInfo.h"
#include "Common/ISensorCore.h"
#include "Common/ITclHandler.h"

namespace {

// The sensor's script handler; callers have made sure scripting is on, so
// none here means there is nothing to queue to.
ITclHandler* SensorScriptHandler() {
    ISensorCore* pSensor = GetSensorCore();
    return pSensor != nullptr ? pSensor->GetTclHandler() : nullptr;
}

}  // namespace

RuleScript::RuleScript(const char* pszRuleName, const char* pszProcedure, const char* pszInitial,
                       const char* pszValidation)
    : m_strRuleName(pszRuleName != nullptr ? pszRuleName : "") {
    if (!m_strRuleName.empty()) {
        m_strProcedure = pszProcedure != nullptr ? pszProcedure : "";
        m_strInitial = pszInitial != nullptr ? pszInitial : "";
        m_strValidation = pszValidation != nullptr ? pszValidation : "";
    }
}

RuleScript::~RuleScript() {
    Clear();
}

void RuleScript::Clear() {
    m_strRuleName.clear();
    m_strProcedure.clear();
    m_strInitial.clear();
    m_strValidation.clear();
}

uint32_t RuleScript::Register() {
    ITclHandler* pHandler = SensorScriptHandler();
    if (pHandler == nullptr) {
        return 0;
    }
    const std::pair<const char*, const std::string*> parts[] = {
        {kProcedure, &m_strProcedure}, {kInitial, &m_strInitial}, {kValidation, &m_strValidation}};
    for (const auto& [pszPart, pText] : parts) {
        if (!pText->empty()) {
            pHandler->QueueScript(this, pszPart, *pText);
        }
    }
    return 0;
}

uint32_t RuleScript::Run(const char* pszPart, const std::string& strText) {
    if (strText.empty()) {
        return 0;
    }
    ITclHandler* pHandler = SensorScriptHandler();
    return pHandler != nullptr ? pHandler->QueueRun(this, pszPart, nullptr) : 0;
}

uint32_t RuleScript::RunProcedure() {
    return Run(kProcedure, m_strProcedure);
}

uint32_t RuleScript::RunInitial() {
    return Run(kInitial, m_strInitial);
}

uint32_t RuleScript::QueueValidation(AgentEventInfo* pRecord) {
    if (m_strValidation.empty()) {
        return 0;
    }
    ITclHandler* pHandler = SensorScriptHandler();
    if (pHandler == nullptr) {
        return 0;
    }
    if (pRecord != nullptr) {
        pRecord->SetRule(m_pOwningRule);
    }
    return pHandler->QueueRun(this, kValidation, pRecord);
}

void ReplaceEscapedNewlines(std::string& strText) {
    size_t nOut = 0;
    for (size_t nIn = 0; nIn < strText.size(); ++nIn) {
        if (strText[nIn] == '\\' && nIn + 1 < strText.size() && strText[nIn + 1] == 'n') {
            strText[nOut++] = '\n';
            ++nIn;
        } else {
            strText[nOut++] = strText[nIn];
        }
    }
    strText.resize(nOut);
}
