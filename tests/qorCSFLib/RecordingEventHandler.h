#pragma once
// An event handler that keeps, in order, the policy events a registry hands
// it and releases them at its end, as a host does.

#include <cstdint>
#include <string>
#include <vector>

#include "hostwarden/ICSFEventHandler.h"
#include "hostwarden/IPolicyEventInterface.h"

class RecordingEventHandler : public ICSFEventHandler {
public:
    struct Registered {
        std::string strName;
        IPolicyEventInterface* pEvent;
        bool bDetector;
    };

    ~RecordingEventHandler() {
        for (Registered& entry : m_Events) {
            entry.pEvent->Release();
        }
    }

    uint8_t HandleAlert(AgentEventInfo*, const CSFEventInfo*, uint32_t, uint32_t) override { return 0; }
    uint8_t ForwardEvent(uint32_t dwFirst, uint32_t dwSecond) override {
        m_Forwarded.push_back(dwFirst);
        m_Forwarded.push_back(dwSecond);
        return m_byForwardAnswer;
    }
    void RegisterPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) override {
        m_Events.push_back({pszName, pEvent, false});
    }
    void RegisterDetectorPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) override {
        m_Events.push_back({pszName, pEvent, true});
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const Registered& entry : m_Events) {
            names.push_back(entry.strName);
        }
        return names;
    }

    std::vector<Registered> m_Events;
    std::vector<uint32_t> m_Forwarded;
    uint8_t m_byForwardAnswer = 1;
};
