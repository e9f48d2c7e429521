#include "TclScripts.h"

#include <tcl.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "TclHandler/qorTclCommand.h"
#include "qorToolsLib/SharedMemoryStore.h"

namespace {

constexpr const char kVariablePrefix[] = "__qor_";

// A reply text must stay on its line, and the line within what the sensor
// reads of one (4,095 bytes): a longer result is cut, marked so.
constexpr size_t kMaxReplyText = 1024;
constexpr const char kCutMark[] = "...";

std::string OneLine(const char* pszText) {
    std::string strText = pszText != nullptr ? pszText : "";
    if (strText.size() > kMaxReplyText) {
        strText.resize(kMaxReplyText - (sizeof kCutMark - 1));
        strText += kCutMark;
    }
    for (char& c : strText) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return strText;
}

}  // namespace

TclScripts::Script::Script(const std::string& strText)
    : m_pObject(Tcl_NewStringObj(strText.data(), static_cast<int>(strText.size()))) {
    Tcl_IncrRefCount(m_pObject);
}

TclScripts::Script::~Script() {
    Tcl_DecrRefCount(m_pObject);
}

TclScripts::TclScripts(SharedMemoryStore* pStore)
    : m_pInterp(Tcl_CreateInterp()),
      m_pStore(pStore),
      m_pListVariables(std::make_unique<Script>("info globals __qor_*")) {
    // Without the script library the core commands still work.
    Tcl_Init(m_pInterp);
}

TclScripts::~TclScripts() {
    // The compiled scripts belong to the interpreter: they go first.
    m_Scripts.clear();
    m_pListVariables.reset();
    Tcl_DeleteInterp(m_pInterp);
}

std::string TclScripts::ParseProblem(const std::string& strText) {
    const char* const pBegin = strText.c_str();
    const char* const pEnd = pBegin + strText.size();
    const bool bComplete = Tcl_CommandComplete(pBegin) != 0;
    for (const char* pAt = pBegin; pAt < pEnd;) {
        Tcl_Parse parse;
        if (Tcl_ParseCommand(m_pInterp, pAt, static_cast<int>(pEnd - pAt), 0, &parse) != TCL_OK) {
            // The interpreter's own words, and where the command it could
            // not read begins.
            while (pAt < pEnd && std::isspace(static_cast<unsigned char>(*pAt)) != 0) {
                ++pAt;
            }
            const std::string strMessage = OneLine(Tcl_GetStringResult(m_pInterp));
            Tcl_ResetResult(m_pInterp);
            return std::string(bComplete ? "script does not parse: " : "script is not complete: ") +
                   strMessage + " (in the command that begins on line " +
                   std::to_string(1 + std::count(pBegin, pAt, '\n')) + ")";
        }
        const char* pNext = parse.commandStart + parse.commandSize;
        Tcl_FreeParse(&parse);
        if (pNext <= pAt) {
            break;
        }
        pAt = pNext;
    }
    return bComplete ? std::string() : "script is not complete";
}

TclScripts::Outcome TclScripts::Define(int32_t nRuleId, int32_t nScriptType,
                                       const std::string& strText) {
    const std::string strProblem = ParseProblem(strText);
    if (!strProblem.empty()) {
        return {false, strProblem};
    }
    m_Scripts[{nRuleId, nScriptType}] = std::make_unique<Script>(strText);
    return {true, ""};
}

TclScripts::Outcome TclScripts::Evaluate(Tcl_Obj* pScript) {
    // Held for the run: the script may be defined anew while it runs.
    Tcl_IncrRefCount(pScript);
    const int nResult = Tcl_EvalObjEx(m_pInterp, pScript, TCL_EVAL_GLOBAL);
    Tcl_DecrRefCount(pScript);
    Outcome outcome{nResult == TCL_OK || nResult == TCL_RETURN,
                    OneLine(Tcl_GetStringResult(m_pInterp))};
    Tcl_ResetResult(m_pInterp);
    return outcome;
}

void TclScripts::LoadSection(uint32_t dwId) {
    m_Made.clear();
    if (m_pStore == nullptr || !m_pStore->GetSection(dwId, m_Labels, m_Values)) {
        m_Labels.clear();
        m_Values.clear();
        return;
    }
    for (size_t i = 0; i < m_Labels.size() && i < m_Values.size(); ++i) {
        if (Tcl_SetVar2(m_pInterp, m_Labels[i].c_str(), nullptr, m_Values[i].c_str(),
                        TCL_GLOBAL_ONLY) != nullptr) {
            m_Made.push_back(m_Labels[i]);
        }
    }
}

void TclScripts::StoreVariables(uint32_t dwId) {
    Tcl_Obj* pList = nullptr;
    if (Tcl_EvalObjEx(m_pInterp, m_pListVariables->Object(), TCL_EVAL_GLOBAL) == TCL_OK) {
        pList = Tcl_GetObjResult(m_pInterp);
        Tcl_IncrRefCount(pList);
    }
    Tcl_ResetResult(m_pInterp);
    if (pList == nullptr) {
        return;
    }
    int nCount = 0;
    Tcl_Obj** ppNames = nullptr;
    m_Changed.clear();
    if (Tcl_ListObjGetElements(nullptr, pList, &nCount, &ppNames) == TCL_OK) {
        for (int i = 0; i < nCount; ++i) {
            const char* pszName = Tcl_GetString(ppNames[i]);
            if (std::strncmp(pszName, kVariablePrefix, sizeof kVariablePrefix - 1) != 0) {
                continue;
            }
            const char* pszValue = Tcl_GetVar2(m_pInterp, pszName, nullptr, TCL_GLOBAL_ONLY);
            // A value the section already holds need not be written again.
            const auto loaded = std::find(m_Labels.begin(), m_Labels.end(), pszName);
            const bool bKnown = loaded != m_Labels.end();
            if (!bKnown) {
                m_Made.emplace_back(pszName);
            }
            if (pszValue != nullptr &&
                (!bKnown || m_Values[static_cast<size_t>(loaded - m_Labels.begin())] != pszValue)) {
                m_Changed.emplace_back(pszName, pszValue);
            }
        }
    }
    // The names and values stay alive in the interpreter while they are
    // written: the list holds the names, the variables their values.
    if (m_pStore != nullptr && !m_Changed.empty()) {
        m_pStore->SetPairs(dwId, m_Changed);
    }
    Tcl_DecrRefCount(pList);
}

void TclScripts::Forget() {
    for (const std::string& strName : m_Made) {
        Tcl_UnsetVar2(m_pInterp, strName.c_str(), nullptr, TCL_GLOBAL_ONLY);
    }
    m_Made.clear();
}

TclScripts::Outcome TclScripts::Run(int32_t nRuleId, int32_t nScriptType, int32_t nTransactionId) {
    auto found = m_Scripts.find({nRuleId, nScriptType});
    if (found == m_Scripts.end()) {
        return {false, "no such script"};
    }
    const bool bWithSection =
        (nScriptType == qorTclCommand::kValidation || nScriptType == qorTclCommand::kResponse) &&
        nTransactionId > 0;
    if (bWithSection) {
        LoadSection(static_cast<uint32_t>(nTransactionId));
    }
    Outcome outcome = Evaluate(found->second->Object());
    if (bWithSection) {
        StoreVariables(static_cast<uint32_t>(nTransactionId));
        // One alert's values never leak into the next one's run.
        Forget();
    }
    return outcome;
}
