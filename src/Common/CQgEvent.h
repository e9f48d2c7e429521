#pragma once
// The sensor's alert event of the Qg form (see CADFEvent.h for what the
// sensor adds to the framework forms).

#include <cstdint>

#include "Common/CADFEvent.h"
#include "qorCSFLib/QgGenericEvent.h"

class CQgEvent : public QgGenericEvent, public SensorAlertLink {
public:
    CQgEvent();
    CQgEvent(const char* pszAlertName, uint32_t dwResponseMask, uint32_t dwPriority,
             const CSFAlertParameter* pParameters);
    CQgEvent(const CQgEvent& other);
    ~CQgEvent() override;

    ICSFAlertEvent* CreateEmpty() override;
    ICSFAlertEvent* Clone() override;
    void Destroy() override;
    // The argument is not used.
    virtual CQgEvent* GetSelf(uint32_t dwUnused);
    virtual CQgEvent& operator=(const CQgEvent& other);
    // A new empty event, made without the construction trace; the argument
    // is not used.
    virtual CQgEvent* CreateBlank(uint32_t dwUnused);

private:
    struct Blank {};
    explicit CQgEvent(Blank);
};
