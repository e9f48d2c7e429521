#pragma once
// Assembles the sensor's policy from its files into a fresh container:
// a pushed policy, else the accepted one, else the factory default; an
// update merged when newer; the result accepted as "current.policy"; the
// rule definitions merged in memory; block responses switched off when the
// policy says so; the advanced parameters re-read.  Every policy file is
// read whole or not at all, and none is deleted unread: a pushed policy is
// moved to "push.policy.loading" before it is read, then to
// "push.policy.applied" or "push.policy.refused".  It also keeps the host's
// common policy and the table of its responses, with which a reload decides
// whether anything changed.

#include <map>
#include <mutex>
#include <string>
#include <vector>

class IPolicyContainer;

// Response kind (a sub-key of "\Response\" in the common policy) to
// response name (a sub-key of that kind), in policy order.
using ResponseTable = std::multimap<std::string, std::string>;

// Fills `table` from the common policy's "\Response\<kind>\<name>" keys;
// leaves it alone when there is no common policy.
void CollectResponseTable(IPolicyContainer* pCommonPolicy, ResponseTable& table);

class PolicyLoader {
public:
    enum class LoadKind {
        // Start-up and reload: a pushed policy is consumed, the result is
        // accepted on disk and the common policy is consumed.
        kAccept,
        // Adapter update: the accepted policy is read as it stands.  Nothing
        // on disk changes, the advanced parameters in force stay, and the
        // common policy stays for the next reload, so a pushed policy still
        // makes that reload happen.
        kReadAccepted,
    };

    // Where the files are: the policy files are the base directory text
    // followed directly by their names; the rule-definition path is whole.
    struct Sources {
        std::string m_strBaseDirectory;
        std::string m_strRuleDefinitionPath;
    };

    PolicyLoader() = default;
    PolicyLoader(const PolicyLoader&) = delete;
    PolicyLoader& operator=(const PolicyLoader&) = delete;

    // False when the container is null, no usable policy file exists, or a
    // file the load needs is refused; GetLastProblem then says why.  Files
    // are read whole or not at all.  Where a policy is already in force
    // (`bReload`) a refused file fails the load and nothing changes;
    // at start-up a refused pushed or accepted policy is set aside and the
    // next one in line is used.  Loads are serialised: an adapter update may
    // load on the capture library's thread while a command loads on the
    // host's.
    bool Load(IPolicyContainer* pContainer, bool bReload, LoadKind kind, const Sources& sources);
    // Why the last load failed, as a text for the host; empty after a load
    // that succeeded.
    std::string GetLastProblem() const;

    // True when a pushed policy waits in the base directory: "push.policy",
    // or one whose load was interrupted.
    static bool IsPushWaiting(const std::string& baseDirectory);

    // The host's common policy as last handed over (the host keeps it).
    void SetCommonPolicy(IPolicyContainer* pCommonPolicy) { m_pCommonPolicy = pCommonPolicy; }
    IPolicyContainer* GetCommonPolicy() const { return m_pCommonPolicy; }
    void ForgetCommonPolicy() { m_pCommonPolicy = nullptr; }

    // True when a common policy is held and its responses differ from the
    // table of the last load that consumed one.
    bool CompareResponseTable() const;

    // True when the table holds the response kind `pszName` with the
    // response `pszChoice` (both compared exactly).
    bool IsValidResponse(const char* pszName, const char* pszChoice) const;

    const ResponseTable& GetResponseTable() const { return m_responseTable; }

private:
    struct Choice {
        bool m_bCommit = false;
        bool m_bFromPush = false;
        bool m_bDefault = false;
    };

    bool LoadLocked(IPolicyContainer* pContainer, bool bReload, LoadKind kind, const Sources& sources);
    bool ChoosePolicy(IPolicyContainer* pContainer, bool bReload, LoadKind kind,
                      const std::string& base, Choice& choice);
    // Loads the pushed policy when one waits; false when there is none or it
    // was refused (and set aside).
    bool LoadPush(IPolicyContainer* pContainer, bool bReload, const std::string& base);
    // Loads the accepted policy; false when there is none or it was
    // refused (then set aside at start-up, with GetLastProblem set else).
    bool LoadCurrent(IPolicyContainer* pContainer, bool bReload, LoadKind kind,
                     const std::string& base);
    bool MergeUpdate(IPolicyContainer* pContainer, const std::string& base, bool bDefault);
    bool Commit(IPolicyContainer* pContainer, const std::string& base, bool bFromPush);
    // `bSay`: what the file holds twice is said (a load that puts the
    // policy in force).
    bool MergeRuleDefinitions(IPolicyContainer* pContainer, const std::string& path,
                              bool bReload, bool bSay);
    bool Fallback(bool bReload);
    // Says each policy a start-up set aside, with the policy put in force
    // in its place (`bLoaded`) or that none is.
    void SaySetAside(bool bLoaded);
    void SetAside(const std::string& base, const char* pszPolicy, const char* pszFrom,
                  const char* pszTo, const std::string& problem);
    static void StripBlockResponses(IPolicyContainer* pContainer);

    mutable std::mutex m_loadLock;
    std::string m_strProblem;
    // The refusals of the policies a start-up passed over, and the policy
    // it chose instead, said together once the load is over.
    std::vector<std::string> m_setAside;
    std::string m_strInForce;
    IPolicyContainer* m_pCommonPolicy = nullptr;
    ResponseTable m_responseTable;
};
