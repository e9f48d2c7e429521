#pragma once
// The framework's event registry.  Engines register policy sections (a key
// path, a prototype policy event and a recursion level); RegisterEvents then
// walks a policy container and hands the host one fresh policy event per
// enabled event key under those sections.  The detector's own events are
// made from a key path or from dotted settings and handed over as well.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hostwarden/IEventRegistry.h"

class CSFPolicyDetectorEvent;
class ICSFEventHandler;

class CSFEventRegistry : public IEventRegistry {
public:
    CSFEventRegistry();
    CSFEventRegistry(const CSFEventRegistry&) = delete;
    CSFEventRegistry& operator=(const CSFEventRegistry&) = delete;

    // The base registers nothing; answers 0.
    uint32_t ConfigureSections() override;
    void RegisterEvents(IPolicyContainer* pContainer) override;
    uint32_t RegisterDetectorEvent(const char* pszKeyPath, const char* pszName,
                                   IPolicyContainer* pContainer) override;
    bool AddDetectorSetting(const char* pszKey, const char* pszValue) override;
    uint32_t Release() override;
    void RegisterDetectorEvents() override;
    // Deletes the section prototypes, and the detector events it never
    // handed to the host.
    ~CSFEventRegistry() override;
    // Hands the event to the host's event handler, which keeps it; without
    // a handler the event is released.
    void ForwardPolicyEvent(const char* pszName, IPolicyEventInterface* pEvent) override;

    // Registers a section: level 1 makes every enabled sub-key an event
    // named by itself, level 2 every enabled sub-key of a sub-key an event
    // named parent_child.  A path registered before keeps its first record.
    uint32_t RegisterSection(const char* pszSectionPath, IPolicyEventInterface* pPrototype,
                             uint32_t dwLevel);

    size_t SectionCount() const { return m_Sections.size(); }
    CSFPolicyDetectorEvent* FindDetectorEvent(const std::string& strName) const;

    // What the last RegisterEvents handed to the host: for each event name,
    // the key paths of the events handed over under it, in the order they
    // went (a host keeps one event per name, the last).
    using RegisteredEvents = std::map<std::string, std::vector<std::string>>;
    const RegisteredEvents& GetRegisteredEvents() const { return m_Registered; }

protected:
    // The name the event at `strKeyPath` is handed over under: the walk's
    // name (the key's, or parent_child) unless the sensor's registry knows
    // the name its alerts come under.  `dwSectionLevel` is the level of the
    // section the walk began at.
    virtual std::string EventNameAt(IPolicyContainer* pContainer, const std::string& strKeyPath,
                                    const std::string& strWalkName, uint32_t dwSectionLevel);

private:
    struct SectionRecord {
        IPolicyEventInterface* m_pPrototype;
        uint32_t m_dwLevel;
    };
    struct DetectorRecord {
        CSFPolicyDetectorEvent* m_pEvent;
        bool m_bHandedOver;
    };

    void RegisterEventsUnder(const std::string& strKeyPath, const std::string& strEventName,
                             int32_t nLevel, IPolicyContainer* pContainer,
                             const SectionRecord& section);
    ICSFEventHandler* EventHandler();

    ICSFEventHandler* m_pEventHandler = nullptr;
    std::map<std::string, SectionRecord> m_Sections;
    std::map<std::string, DetectorRecord> m_DetectorEvents;
    RegisteredEvents m_Registered;
};
