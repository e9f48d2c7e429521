#pragma once
// The framework's policy event: one event's policy read from a policy
// container (enabled, priority, noise threshold, ignore interval) and the
// responses chosen for it, kept in two ordered lists with a 32-bit response
// mask.  The sensor's policy event and the detector's derive from it.

#include <cstdint>
#include <string>

#include "hostwarden/IPolicyEventInterface.h"

class CSFPolicyEvent : public IPolicyEventInterface {
public:
    CSFPolicyEvent();

    IPolicyEventInterface* CreatePolicyEvent() override = 0;
    bool Init(IPolicyContainer* pContainer, const char* pszEventName,
              const char* pszKeyPath) override;
    const CSFResponseList* GetResponses() override;
    int32_t IsEnabled() override;
    const char* GetName() override;
    uint16_t GetPriority() override;
    uint32_t GetEventCode() override;
    int32_t GetNoiseThreshold() override;
    uint32_t GetResponseMask() override;
    int32_t GetIgnoreInterval() override;
    ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter* pParameters, AgentEventInfo* pRecord,
                                     uint32_t dwLevel) override = 0;
    uint8_t HasKillResponse() override;
    uint32_t Release() override;
    ~CSFPolicyEvent() override;
    int32_t SetEnabled(int32_t nEnabled) override;
    void SetResponses(const char* pszResponses) override;
    uint16_t SetPriority(uint16_t wPriority) override;
    uint32_t SetEventCode(uint32_t dwCode) override;
    void SetName(const char* pszName) override;
    int32_t SetNoiseThreshold(int32_t nThreshold) override;
    int32_t SetIgnoreInterval(int32_t nInterval) override;
    const char* GetSecondName() override;
    const char* GetResponseCode() override;
    std::string GetResponseListText(uint32_t dwLevel) override;
    bool LogsToDatabase(uint32_t dwLevel) override;
    void ReadResponses(IPolicyContainer* pContainer, const char* pszKeyPath) override;
    void ReadResponsesQg(IPolicyContainer* pContainer, const char* pszKeyPath) override;
    void ReadResponsesAdf(IPolicyContainer* pContainer, const char* pszKeyPath) override;

    void AddResponse(const std::string& name, const std::string& choice);
    void ApplyResponseMask(const std::string& name, const std::string& choice);

    // Every chosen response in policy order (the source of the texts).
    const CSFResponseList& GetChosenResponses() const { return m_chosen; }

    // The mask bit of a response, 0 when it sets none.
    static uint32_t ResponseBit(const std::string& name, const std::string& choice);

protected:
    CSFResponseList& ExecutedResponses() { return m_executed; }
    void SetForcedDatabaseLog(uint32_t dwForced) { m_dwForcedDatabaseLog = dwForced; }

private:
    // Calls `visit`(name, choice) for each response under the key path's
    // "\Response" key that has a choice, in the container's order.
    template <typename Visit>
    static void ForEachChosenResponse(IPolicyContainer* pContainer, const char* pszKeyPath,
                                      Visit visit);
    void AddExecuted(const std::string& name, const std::string& choice, bool bKillFirst);

    CSFResponseList m_executed;
    CSFResponseList m_chosen;
    std::string m_strName;
    std::string m_strSecondName;
    uint32_t m_dwResponseMask = 0;
    int32_t m_nEnabled = 0;
    uint16_t m_wPriority = 3;
    int32_t m_nNoiseThreshold = 0;
    int32_t m_nIgnoreInterval = 0;
    uint8_t m_bHasKillResponse = 0;
    uint32_t m_dwEventCode = 0;
    uint32_t m_dwForcedDatabaseLog = 0;
};
