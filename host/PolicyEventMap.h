#pragma once
// Policy events the host keeps, one per name; a registration under a name
// already held drops the map's hold on the older event.  An event is shared:
// whoever found it keeps it alive until done with it, so a reload that
// registers the name again never releases an event still in use.

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "hostwarden/IPolicyEventInterface.h"

struct PolicyEventReleaser {
    void operator()(IPolicyEventInterface* pEvent) const {
        if (pEvent != nullptr) {
            pEvent->Release();
        }
    }
};

// The last holder releases the event.
using PolicyEventRef = std::shared_ptr<IPolicyEventInterface>;

class PolicyEventMap {
public:
    void Keep(const char* pszName, IPolicyEventInterface* pEvent) {
        if (pEvent != nullptr) {
            m_events[pszName != nullptr ? pszName : ""] = PolicyEventRef(pEvent, PolicyEventReleaser{});
        }
    }
    PolicyEventRef Find(std::string_view name) const {
        auto found = m_events.find(name);
        return found != m_events.end() ? found->second : nullptr;
    }
    size_t Count() const { return m_events.size(); }

private:
    std::map<std::string, PolicyEventRef, std::less<>> m_events;
};
