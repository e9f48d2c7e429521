#pragma once
// The host's event sink.  It takes every alert record the plug-in hands it
// and keeps the policy events the plug-in registers, one per name (a
// reload's fresh event replaces the old one).  Records are queued for the
// alert pipeline that turns them into alert events.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "PolicyEventMap.h"
#include "hostwarden/ICSFEventHandler.h"

class HostEventHandler final : public ICSFEventHandler {
public:
    struct TakenRecord {
        AgentEventInfo* pRecord;
        int32_t nEventId;
        std::string name;
        std::string ruleName;
        uint32_t dwWord;
        uint32_t dwFlags;
    };

    HostEventHandler();
    ~HostEventHandler();
    HostEventHandler(const HostEventHandler&) = delete;
    HostEventHandler& operator=(const HostEventHandler&) = delete;

    // Takes a record that comes with its event information; refuses (0) a
    // null record or missing information, which the caller then deletes.
    uint8_t HandleAlert(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                        uint32_t dwFlags) override;
    uint8_t ForwardEvent(uint32_t dwFirst, uint32_t dwSecond) override;
    void RegisterPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) override;
    void RegisterDetectorPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) override;

    // The records taken since the last call; the caller owns them.
    std::vector<TakenRecord> TakeRecords();

    uint64_t RecordsTaken() const { return m_qwRecordsTaken.load(); }
    uint64_t RecordsRefused() const { return m_qwRecordsRefused.load(); }
    uint64_t EventsForwarded() const { return m_qwForwarded.load(); }

    // The policy event registered under a name (the handler keeps it), or
    // null.
    IPolicyEventInterface* FindPolicyEvent(const std::string& name) const;
    IPolicyEventInterface* FindDetectorPolicyEvent(const std::string& name) const;
    size_t PolicyEventCount() const;

private:
    mutable std::mutex m_lock;
    std::vector<TakenRecord> m_records;
    PolicyEventMap m_policyEvents;
    PolicyEventMap m_detectorEvents;
    std::atomic<uint64_t> m_qwRecordsTaken{0};
    std::atomic<uint64_t> m_qwRecordsRefused{0};
    std::atomic<uint64_t> m_qwForwarded{0};
};
