#pragma once
// One rule read from the policy: what an engine matches (kept by the
// engine's own rule class), how its alerts are classed, its information
// pairs, its optional script and the correlation rules that watch it.
// Rules are shared by several containers and deleted through the sensor's.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Common/InfoPair.h"
#include "hostwarden/ICSFEventHandler.h"

class AgentEventInfo;
class RuleContainer;
class RuleScript;
class qgStringVector;

// Where a rule's name came from.
enum : uint32_t {
    kRuleOriginUnread = 0,
    kRuleOriginSecCheckId = 1,
    kRuleOriginUserDefined = 4,
    kRuleOriginStandard = 5,
};

class Rule {
public:
    static constexpr uint32_t kListCount = 10;

    Rule();
    Rule(const Rule& source);
    // Copies everything but the invalid-response text, which starts empty.
    // The copy has its own information pairs and script (the script then
    // belongs to the copy) and shares the source's correlation rules.
    virtual Rule& operator=(const Rule& source);
    // A new copy of the rule, of its own class.
    virtual Rule* Clone() const = 0;
    virtual ~Rule();
    // The argument is not used.
    virtual void Enable(uint32_t dwUnused = 0);
    // Every rule class answers true.
    virtual bool IsRule() const = 0;
    // Stores the code of the alert-type name (compared exactly; any other
    // text, the empty one included, gives 210) and keeps the text, or
    // "UserDefinedEvent" for an empty one, as the alert-type name.
    virtual void SetAlertType(const char* pszName);

    // 0 is stored as 1, anything above 3 as 3.
    void SetPriority(uint32_t dwPriority);
    uint32_t GetPriority() const { return m_dwPriority; }

    const std::string& GetName() const { return m_strName; }
    void SetName(const std::string& strName) { m_strName = strName; }
    bool IsEnabled() const { return m_bEnabled; }
    // For readers that find a rule unusable after it was read as enabled.
    void Disable() { m_bEnabled = false; }
    uint32_t GetOrigin() const { return m_dwOrigin; }
    void SetOrigin(uint32_t dwOrigin) { m_dwOrigin = dwOrigin; }
    int32_t GetAlertType() const { return m_nAlertType; }
    const std::string& GetAlertTypeName() const { return m_strAlertTypeName; }
    int32_t GetRiskLevel() const { return m_nRiskLevel; }
    void SetRiskLevel(int32_t nRiskLevel) { m_nRiskLevel = nRiskLevel; }
    bool GetNeedTcl() const { return m_bNeedTcl; }
    void SetNeedTcl(bool bNeedTcl) { m_bNeedTcl = bNeedTcl; }
    const std::string& GetLogType() const { return m_strLogType; }
    void SetLogType(const std::string& strLogType) { m_strLogType = strLogType; }
    const std::string& GetInvalidResponses() const { return m_strInvalidResponses; }
    void SetInvalidResponses(const std::string& strText) { m_strInvalidResponses = strText; }

    const InfoPairList& GetInfoPairs() const { return m_InfoPairs; }
    InfoPairList& GetInfoPairs() { return m_InfoPairs; }

    // Lists 1 to 10; their meaning belongs to the engine's rule class.
    std::vector<std::string>& GetList(uint32_t dwNumber) { return m_Lists[dwNumber - 1]; }
    const std::vector<std::string>& GetList(uint32_t dwNumber) const { return m_Lists[dwNumber - 1]; }

    // Each appends the texts of the policy lists to the named rule lists,
    // releases the policy lists when asked to, and answers the item count of
    // the last list it filled.  A null list counts as empty.
    uint32_t SetValueListPair1(qgStringVector* pNames, qgStringVector* pValues, bool bRelease);
    uint32_t SetNameList2(qgStringVector* pNames, bool bRelease);
    uint32_t SetValueListPair2(qgStringVector* pNames, qgStringVector* pValues, bool bRelease);
    uint32_t SetValueListPair3(qgStringVector* pNames, qgStringVector* pValues, bool bRelease);
    uint32_t SetValueListPair4(qgStringVector* pNames, qgStringVector* pValues, bool bRelease);
    uint32_t SetValueListPair5(qgStringVector* pNames, qgStringVector* pValues, bool bRelease);

    RuleScript* GetScript() const { return m_pScript.get(); }
    void SetScript(std::unique_ptr<RuleScript> pScript);

    // Replaces the container of correlation rules (the rules themselves are
    // not the rule's; the container is).
    void SetCorrelationRules(std::unique_ptr<RuleContainer> pContainer);
    RuleContainer* GetCorrelationRules() const { return m_pCorrelationRules.get(); }

    // The correlation gate: true when the record may go on to the host.
    // Every enabled correlation rule counts the event, even after one has
    // fired.  When any fired, the gate has taken the record: it went to the
    // host (ISensorCore::DeliverToHost) once, and then each firing rule
    // raised its own alert.
    bool CorrelationAllows(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                           uint32_t dwFlags);

    // True the first time `dwRemark` (a bit, 0 to 31) is asked for on this
    // rule: remarks that every record of a rule would repeat are made once.
    // Copies start with nothing said.
    bool FirstRemark(uint32_t dwRemark) {
        const uint32_t dwBit = 1u << (dwRemark & 31u);
        return (m_dwRemarksMade.fetch_or(dwBit) & dwBit) == 0;
    }

private:
    uint32_t FillLists(uint32_t dwFirst, qgStringVector* pFirst, qgStringVector* pSecond,
                       bool bRelease);

    std::vector<std::string> m_Lists[kListCount];
    InfoPairList m_InfoPairs;
    uint32_t m_dwOrigin = kRuleOriginUnread;
    int32_t m_nAlertType = 0;
    bool m_bEnabled = false;
    std::string m_strName;
    uint32_t m_dwPriority = 3;
    int32_t m_nRiskLevel = 0;
    bool m_bNeedTcl = false;
    std::string m_strLogType;
    std::string m_strAlertTypeName;
    std::unique_ptr<RuleScript> m_pScript;
    std::unique_ptr<RuleContainer> m_pCorrelationRules;
    std::string m_strInvalidResponses;
    std::atomic<uint32_t> m_dwRemarksMade{0};
};

// Gives the rule's information pair of that exact name the value, or
// appends a new pair.  When the pair cannot be stored, writes "Unable to
// create info pair vector." to the process's standard stream.
void SetRuleInfoPair(Rule* pRule, const char* pszName, const char* pszValue);
