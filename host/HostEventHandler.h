#pragma once
// The host's event sink.  It keeps the policy events the plug-in registers,
// one per name (a reload's fresh event replaces the old one), and hands
// every alert record it takes straight to the host's alert intake.
//
// A record is bound to its rule, and the sensor deletes rules as soon as
// its engines are paused or stopped: a record is only certain to be whole
// while the engine is handing it over.  So the intake turns it into the
// host's own output on the handing thread, inside HandleAlert, and queues
// nothing that still refers to the plug-in.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "PolicyEventMap.h"
#include "hostwarden/ICSFEventHandler.h"

class AlertIntake {
public:
    // Takes the record (it is the intake's from now on) with its event
    // information and the policy event registered under its name (null
    // when none is), on the thread that hands it over and before
    // HandleAlert returns.  Several engines may call at once.
    virtual void Accept(AgentEventInfo* pRecord, const CSFEventInfo& info,
                        const PolicyEventRef& pPolicyEvent) = 0;

protected:
    ~AlertIntake() = default;
};

class HostEventHandler final : public ICSFEventHandler {
public:
    // The intake must outlive every HandleAlert, that is the sensor's run.
    explicit HostEventHandler(AlertIntake& intake);
    ~HostEventHandler();
    HostEventHandler(const HostEventHandler&) = delete;
    HostEventHandler& operator=(const HostEventHandler&) = delete;

    // Takes a record that comes with its event information and hands it to
    // the intake; refuses (0) a null record or missing information, which
    // the caller then deletes.
    uint8_t HandleAlert(AgentEventInfo* pRecord, const CSFEventInfo* pInfo, uint32_t dwWord,
                        uint32_t dwFlags) override;
    uint8_t ForwardEvent(uint32_t dwFirst, uint32_t dwSecond) override;
    void RegisterPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) override;
    void RegisterDetectorPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) override;

    uint64_t RecordsTaken() const { return m_qwRecordsTaken.load(); }
    uint64_t RecordsRefused() const { return m_qwRecordsRefused.load(); }
    uint64_t EventsForwarded() const { return m_qwForwarded.load(); }

    // The policy event registered under a name, kept alive for the caller,
    // or null.
    PolicyEventRef FindPolicyEvent(std::string_view name) const;
    size_t PolicyEventCount() const;
    size_t DetectorPolicyEventCount() const;

private:
    AlertIntake& m_intake;
    mutable std::mutex m_lock;
    PolicyEventMap m_policyEvents;
    PolicyEventMap m_detectorEvents;
    std::atomic<uint64_t> m_qwRecordsTaken{0};
    std::atomic<uint64_t> m_qwRecordsRefused{0};
    std::atomic<uint64_t> m_qwForwarded{0};
};
