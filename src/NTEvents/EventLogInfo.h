#pragma once
// The alert record of the event-log engine: the base record and the source
// name of the event-log record that raised it, which both alert-event forms
// carry as their event-source text.

#include <string>

#include "Common/AgentEventInfo.h"

class EventLogInfo : public AgentEventInfo {
public:
    // The kind every event-log record reports.
    static constexpr uint32_t kRecordKind = 4;

    EventLogInfo(Rule* pRule, int64_t tTime);
    EventLogInfo(const EventLogInfo& other);
    ~EventLogInfo() override;

    using AgentEventInfo::operator=;
    virtual EventLogInfo& operator=(const EventLogInfo& other);
    AgentEventInfo* Clone() const override;
    void FillADFEvent(CADFEvent& event) override;
    void FillQgEvent(CQgEvent& event) override;
    uint32_t GetRecordKind() const override { return kRecordKind; }

    const std::string& GetSourceName() const { return m_strSourceName; }
    void SetSourceName(std::string strName) { m_strSourceName = std::move(strName); }

private:
    std::string m_strSourceName;
};
