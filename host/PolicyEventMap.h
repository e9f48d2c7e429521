#pragma once
// Policy events the host keeps, one per name; a registration under a name
// already held releases the older event.

#include <map>
#include <memory>
#include <string>

#include "hostwarden/IPolicyEventInterface.h"

struct PolicyEventReleaser {
    void operator()(IPolicyEventInterface* pEvent) const {
        if (pEvent != nullptr) {
            pEvent->Release();
        }
    }
};

using PolicyEventOwner = std::unique_ptr<IPolicyEventInterface, PolicyEventReleaser>;

class PolicyEventMap {
public:
    void Keep(const char* pszName, IPolicyEventInterface* pEvent) {
        if (pEvent != nullptr) {
            m_events[pszName != nullptr ? pszName : ""].reset(pEvent);
        }
    }
    IPolicyEventInterface* Find(const std::string& name) const {
        auto found = m_events.find(name);
        return found != m_events.end() ? found->second.get() : nullptr;
    }
    size_t Count() const { return m_events.size(); }

private:
    std::map<std::string, PolicyEventOwner> m_events;
};
