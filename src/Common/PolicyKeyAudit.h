#pragma once
// Watches one policy load, so that a mistyped policy says so instead of
// quietly meaning something else.  While a load is audited the plug-in's
// policy container tells the audit every read it answers; the audit then
// says, once per load each:
// - a value read as another kind than the policy gives it (the reader gets
//   its default);
// - once the readers are done, every value and key of an enabled rule that
//   no reader of its table asked for, and every rule that has values but no
//   "Enabled" one (and so is off).
// Readers report their own findings through Say, which drops a line already
// said during the load: two readers of one table say a thing once.
//
// What a reader "knows" is what the readers of a table asked for during the
// load, over all rules of every table of that name (standard and
// user-defined).  A key is judged by its shape below the rule: sub-keys whose
// names the readers list (the response kinds) count as one.

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "qorCSFLib/PolicyReadObserver.h"

class IPolicyContainer;
class PluginPolicyContainer;
class Rule;

class PolicyKeyAudit final : public IPolicyReadObserver {
public:
    // What became of a rule key at one reader.
    enum RuleOutcome : int { kRuleOff = 0, kRuleRefused = 1, kRuleTaken = 2 };

    // One value a reader asked for.
    struct ValueRead {
        std::string m_strPath;  // the key path, "\" first, no "\" last
        std::string m_strName;
        int m_nWanted = kPolicyKindNone;
        std::string m_strDefault;
    };

    // Becomes the current audit; watches `pContainer` when it is the
    // plug-in's own container.
    explicit PolicyKeyAudit(IPolicyContainer* pContainer);
    ~PolicyKeyAudit();
    PolicyKeyAudit(const PolicyKeyAudit&) = delete;
    PolicyKeyAudit& operator=(const PolicyKeyAudit&) = delete;

    // Stops watching the container and being current; the destructor does
    // it too.  The container must still exist.
    void Stop();

    // The audit of the load in progress, or null.
    static PolicyKeyAudit* Current();

    // One line to the host log at `dwLevel`, errors and warnings with the
    // host's console copy.  During an audited load a text already said is
    // not said again.
    static void Say(uint32_t dwLevel, const std::string& strText);
    // The same for the host log only.
    static void Log(uint32_t dwLevel, const std::string& strText);

    // A rules table the readers walk, and what became of one of its rules
    // (`pRule`: the rule a reader took).
    void NoteTable(const std::string& strSection);
    void NoteRule(const std::string& strRulePath, RuleOutcome outcome, const Rule* pRule = nullptr);

    // A rule a reader took, with its key.
    struct TakenRule {
        std::string m_strPath;  // "\" first, no "\" last
        const Rule* m_pRule = nullptr;
    };
    // The rules taken during the load, each key once (as its first reader
    // took it), in the order they were taken: the order of the sensor's
    // own container.  They live until the next load deletes them.
    std::vector<TakenRule> TakenRules() const;

    // Said once the readers are done: the values and keys of the table's
    // rules that no reader asked for.
    void Finish();

    // What was asked of the policy during the last load audited to its
    // Stop: each value read once per kind and default, and the keys whose
    // values were listed.
    static std::vector<ValueRead> LastLoad();
    static std::vector<std::string> LastLoadListings();

    void OnValueRead(const std::string& strPath, const std::string& strName, int nWanted,
                     const std::string& strDefault, const PolicyStoredValue& stored) override;
    void OnValuesListed(const std::string& strPath) override;
    void OnSubKeysListed(const std::string& strPath) override;

    // "\" first, no "\" last, no empty names.
    static std::string NormalisePath(const std::string& strPath);

private:
    // What the readers of tables of one name asked for, by shape.
    struct Knowledge {
        std::map<std::string, std::set<std::string>> m_names;
        std::set<std::string> m_valueListings;
        std::set<std::string> m_subKeyListings;
        std::set<std::string> m_shapes;
    };

    bool SayOnce(const std::string& strText);
    void RemarkOnKind(const std::string& strPath, const std::string& strName, int nWanted,
                      const std::string& strDefault, const PolicyStoredValue& stored);
    Knowledge Learn(const std::string& strTableName) const;
    void CheckRule(const std::string& strTable, const std::string& strRule,
                   const Knowledge& knowledge);
    void CheckKey(const std::string& strPath, const std::string& strShape,
                  const std::string& strTableName, const Knowledge& knowledge, int nDepth);
    void CheckOffRule(const std::string& strRulePath);

    PluginPolicyContainer* m_pContainer = nullptr;
    PolicyKeyAudit* m_pPrevious = nullptr;
    mutable std::mutex m_lock;
    std::vector<ValueRead> m_reads;
    std::set<std::string> m_readKeys;
    std::set<std::string> m_valueListings;
    std::set<std::string> m_subKeyListings;
    std::vector<std::string> m_tables;
    std::map<std::string, int> m_rules;
    std::vector<TakenRule> m_taken;
    std::set<std::string> m_said;
};
