#include "TclScripts.h"

#include <tcl.h>

#include <vector>

#include "TclHandler/qorTclCommand.h"
#include "qorToolsLib/SharedMemoryStore.h"

namespace {

constexpr const char kVariablePrefix[] = "__qor_";

// A reply text must stay on its line.
std::string OneLine(const char* pszText) {
    std::string strText = pszText != nullptr ? pszText : "";
    for (char& c : strText) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return strText;
}

}  // namespace

TclScripts::TclScripts(SharedMemoryStore* pStore) : m_pInterp(Tcl_CreateInterp()), m_pStore(pStore) {
    // Without the script library the core commands still work.
    Tcl_Init(m_pInterp);
}

TclScripts::~TclScripts() { Tcl_DeleteInterp(m_pInterp); }

TclScripts::Outcome TclScripts::Define(int32_t nRuleId, int32_t nScriptType,
                                       const std::string& strText) {
    if (Tcl_CommandComplete(strText.c_str()) == 0) {
        return {false, "script is not complete"};
    }
    m_Scripts[{nRuleId, nScriptType}] = strText;
    return {true, ""};
}

TclScripts::Outcome TclScripts::Evaluate(const std::string& strText) {
    int nResult = Tcl_EvalEx(m_pInterp, strText.c_str(), static_cast<int>(strText.size()),
                             TCL_EVAL_GLOBAL);
    Outcome outcome{nResult == TCL_OK || nResult == TCL_RETURN,
                    OneLine(Tcl_GetStringResult(m_pInterp))};
    Tcl_ResetResult(m_pInterp);
    return outcome;
}

void TclScripts::LoadSection(uint32_t dwId, std::map<std::string, bool>& names) {
    std::vector<std::string> labels;
    std::vector<std::string> values;
    if (m_pStore == nullptr || !m_pStore->GetSection(dwId, labels, values)) {
        return;
    }
    for (size_t i = 0; i < labels.size() && i < values.size(); ++i) {
        if (Tcl_SetVar2(m_pInterp, labels[i].c_str(), nullptr, values[i].c_str(),
                        TCL_GLOBAL_ONLY) != nullptr) {
            names[labels[i]] = true;
        }
    }
}

void TclScripts::StoreVariables(uint32_t dwId, std::map<std::string, bool>& names) {
    Tcl_Obj* pList = nullptr;
    if (Tcl_EvalEx(m_pInterp, "info globals __qor_*", -1, TCL_EVAL_GLOBAL) == TCL_OK) {
        pList = Tcl_GetObjResult(m_pInterp);
        Tcl_IncrRefCount(pList);
    }
    Tcl_ResetResult(m_pInterp);
    if (pList == nullptr) {
        return;
    }
    int nCount = 0;
    Tcl_Obj** ppNames = nullptr;
    if (Tcl_ListObjGetElements(nullptr, pList, &nCount, &ppNames) == TCL_OK) {
        for (int i = 0; i < nCount; ++i) {
            const char* pszName = Tcl_GetString(ppNames[i]);
            names[pszName] = true;
            const char* pszValue = Tcl_GetVar2(m_pInterp, pszName, nullptr, TCL_GLOBAL_ONLY);
            if (pszValue != nullptr && m_pStore != nullptr &&
                std::string(pszName).rfind(kVariablePrefix, 0) == 0) {
                m_pStore->SetSection(dwId, pszName, pszValue);
            }
        }
    }
    Tcl_DecrRefCount(pList);
}

void TclScripts::Forget(const std::map<std::string, bool>& names) {
    for (const auto& [name, bSet] : names) {
        Tcl_UnsetVar2(m_pInterp, name.c_str(), nullptr, TCL_GLOBAL_ONLY);
    }
}

TclScripts::Outcome TclScripts::Run(int32_t nRuleId, int32_t nScriptType, int32_t nTransactionId) {
    auto found = m_Scripts.find({nRuleId, nScriptType});
    if (found == m_Scripts.end()) {
        return {false, "no such script"};
    }
    const bool bWithSection =
        (nScriptType == qorTclCommand::kValidation || nScriptType == qorTclCommand::kResponse) &&
        nTransactionId > 0;
    std::map<std::string, bool> names;
    if (bWithSection) {
        LoadSection(static_cast<uint32_t>(nTransactionId), names);
    }
    // The script may replace the text it runs from (by redefining itself).
    const std::string strText = found->second;
    Outcome outcome = Evaluate(strText);
    if (bWithSection) {
        StoreVariables(static_cast<uint32_t>(nTransactionId), names);
        // One alert's values never leak into the next one's run.
        Forget(names);
    }
    return outcome;
}
