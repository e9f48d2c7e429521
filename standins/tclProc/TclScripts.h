#pragma once
// The script process's interpreter: keeps every script the sensor defines,
// under its rule id and script type, and runs them on request.  A run of a
// "Validation" or "Response" script sees the alert's values of its section
// as global variables, and every "__qor_" variable the script leaves is
// written back into the section for the sensor to read.

#include <cstdint>
#include <map>
#include <string>
#include <utility>

struct Tcl_Interp;
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

    // Keeps the text; Error when it is not a complete script.
    Outcome Define(int32_t nRuleId, int32_t nScriptType, const std::string& strText);
    // Runs a defined script; a transaction id above 0 carries its section.
    Outcome Run(int32_t nRuleId, int32_t nScriptType, int32_t nTransactionId);
    size_t Count() const { return m_Scripts.size(); }

private:
    Outcome Evaluate(const std::string& strText);
    // The section's pairs as globals; the names set, for clearing after.
    void LoadSection(uint32_t dwId, std::map<std::string, bool>& names);
    void StoreVariables(uint32_t dwId, std::map<std::string, bool>& names);
    void Forget(const std::map<std::string, bool>& names);

    Tcl_Interp* m_pInterp;
    SharedMemoryStore* m_pStore;
    std::map<std::pair<int32_t, int32_t>, std::string> m_Scripts;
};
