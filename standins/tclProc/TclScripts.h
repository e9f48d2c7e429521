#pragma once
// The script process's interpreter: keeps every script the sensor defines,
// under its rule id and script type, and runs them on request.  A run of a
// "Validation" or "Response" script sees the alert's values of its section
// as global variables, and every "__qor_" variable the script leaves is
// written back into the section for the sensor to read.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qorToolsLib/SharedIdList.h"

struct Tcl_Interp;
struct Tcl_Obj;
class SharedMemoryStore;

class TclScripts {
public:
    explicit TclScripts(SharedMemoryStore* pStore);
    ~TclScripts();
    TclScripts(const TclScripts&) = delete;
    TclScripts& operator=(const TclScripts&) = delete;

    struct Outcome {
        bool m_bOk = false;
        std::string m_strText;  // one line: the result or the error message
    };

    // Keeps the text; Error, with the interpreter's words, when it is not
    // a complete script or one of its commands cannot be read.
    Outcome Define(int32_t nRuleId, int32_t nScriptType, const std::string& strText);
    // Runs a defined script; a transaction id above 0 carries its section.
    Outcome Run(int32_t nRuleId, int32_t nScriptType, int32_t nTransactionId);
    size_t Count() const { return m_Scripts.size(); }

private:
    // A script as the interpreter keeps it: compiled at its first run and
    // run compiled from then on.
    class Script {
    public:
        explicit Script(const std::string& strText);
        ~Script();
        Script(const Script&) = delete;
        Script& operator=(const Script&) = delete;
        Tcl_Obj* Object() const { return m_pObject; }

    private:
        Tcl_Obj* m_pObject;
    };

    Outcome Evaluate(Tcl_Obj* pScript);
    // Why the interpreter cannot read the script, or "".
    std::string ParseProblem(const std::string& strText);
    // The section's pairs as globals, remembered for StoreVariables and
    // Forget.
    void LoadSection(uint32_t dwId);
    // Writes back every "__qor_" global the run made or changed.
    void StoreVariables(uint32_t dwId);
    // Unsets every global the section or the run made.
    void Forget();

    Tcl_Interp* m_pInterp;
    SharedMemoryStore* m_pStore;
    std::map<std::pair<int32_t, int32_t>, std::unique_ptr<Script>> m_Scripts;
    std::unique_ptr<Script> m_pListVariables;
    // The section of the current run, and the names of the globals to
    // unset after it; kept between runs so a run allocates little.
    std::vector<std::string> m_Labels;
    std::vector<std::string> m_Values;
    std::vector<std::string> m_Made;
    // The "__qor_" pairs a run made or changed, to be written back.
    SharedIdList::Pairs m_Changed;
};
