#pragma once
// The script of one rule, in three parts run by the script process:
// "Procedure" (procedure definitions), "Initial" (run once when the scripts
// are set up) and "Validation" (run for each alert of the rule; its answer
// decides whether the alert goes on).  A part is present when its text is
// not empty.  The rule holds its script and deletes it with itself.

#include <cstdint>
#include <string>

class AgentEventInfo;
class Rule;

class RuleScript {
public:
    static constexpr const char* kProcedure = "Procedure";
    static constexpr const char* kInitial = "Initial";
    static constexpr const char* kValidation = "Validation";

    // An empty rule name leaves all four texts empty.
    RuleScript(const char* pszRuleName, const char* pszProcedure, const char* pszInitial,
               const char* pszValidation);
    RuleScript(const RuleScript& other) = default;
    RuleScript& operator=(const RuleScript&) = delete;
    ~RuleScript();

    void Clear();

    // Queues each present part, in the order Procedure, Initial,
    // Validation, for the script process to define.  Answers 0.
    uint32_t Register();
    // Queues a run of the part without a record; the handler's answer, 0
    // when the part is absent.
    uint32_t RunProcedure();
    uint32_t RunInitial();
    // Without a Validation part answers 0 and leaves the record alone.
    // Otherwise binds the record to the owning rule and queues the run:
    // nonzero means the handler took the record.
    uint32_t QueueValidation(AgentEventInfo* pRecord);

    const std::string& GetRuleName() const { return m_strRuleName; }
    const std::string& GetProcedure() const { return m_strProcedure; }
    const std::string& GetInitial() const { return m_strInitial; }
    const std::string& GetValidation() const { return m_strValidation; }
    Rule* GetOwningRule() const { return m_pOwningRule; }
    void SetOwningRule(Rule* pRule) { m_pOwningRule = pRule; }

private:
    uint32_t Run(const char* pszPart, const std::string& strText);

    std::string m_strRuleName;
    std::string m_strProcedure;
    std::string m_strInitial;
    std::string m_strValidation;
    Rule* m_pOwningRule = nullptr;
};

// Replaces, in place, every backslash followed by the letter n with one
// newline character.
void ReplaceEscapedNewlines(std::string& strText);
