// Feeds an arbitrary byte image to the event-log engine's record analysis
// as a record read from the store: parsed within its length, tested against
// a rule that looks at every part (strings, expressions, object names) and
// made into an alert with every placeholder and script variable.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "NTEvents/CNTEventRule.h"
#include "NTEvents/EventLogInfo.h"
#include "NTEvents/EventRecordAnalysis.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the given length, so any read past it is caught.
    std::vector<uint8_t> bytes(data, data + size);
    static CNTEventRule* s_pRule = [] {
        auto* pRule = new CNTEventRule;
        pRule->Enable();
        pRule->m_nEventId = 0;
        pRule->m_pRegExpList = std::make_unique<NewRegularExpressionList>();
        pRule->m_pRegExpList->push_back(std::make_shared<NewRegularExpression>(".", false, true, 31));
        // A rule that cannot be set up would match nothing and test nothing.
        if (!pRule->m_pRegExpList->back()->IsCompiled()) {
            std::abort();
        }
        pRule->AuditedFiles() = {"/etc/..."};
        pRule->KeyAuditValues() = {"HKEY_LOCAL_MACHINE\\Software"};
        for (const char* pszTemplate :
             {"@String0", "@Access1", "@Sid", "@Sid2", "@String31", "a{!}b", "literal"}) {
            SetRuleInfoPair(pRule, pszTemplate, pszTemplate);
        }
        return pRule;
    }();
    EventRecordView view;
    if (!view.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
        return 0;
    }
    size_t total = 0;
    for (uint32_t dwId : {view.m_dwEventId & 0xFFFF, 560u}) {
        total += RuleMatchesRecord(*s_pRule, view, "Security", dwId) ? 1 : 0;
        std::unique_ptr<EventLogInfo> pAlert(MakeEventLogAlert(s_pRule, view, dwId));
        if (pAlert) {
            total += pAlert->GetScriptVariables().size() + pAlert->GetInfoPairs().size();
        }
    }
    return total == SIZE_MAX ? 1 : 0;
}
