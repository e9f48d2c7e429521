#pragma once
// Alert events for the formatter tests, built value by value so every
// field's kind is the test's choice.

#include <memory>
#include <stdexcept>

#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorCSFLib/QgGenericEvent.h"
#include "qorCSFLib/ResponseTagMap.h"

namespace responsetest {

struct EventDeleter {
    void operator()(ICSFAlertEvent* pEvent) const { pEvent->Destroy(); }
};

// An event of the first form with its header values filled; attributes are
// added by the test.
inline std::unique_ptr<ADFGenericEvent, EventDeleter> MakeAdfEvent(const char* pszName,
                                                                   uint32_t dwPriority,
                                                                   uint32_t dwAlertType) {
    std::unique_ptr<ADFGenericEvent, EventDeleter> event(new ADFGenericEvent());
    event->SetHeaderValue(kAlertName, AlertValue::String(pszName));
    event->SetHeaderValue(kAlertDateTime, AlertValue::String("Tue, 14 Mar 2006 10:15:20 +0000"));
    event->SetHeaderValue(kAlertPriority, AlertValue::Uint32(dwPriority));
    event->SetHeaderValue(kAlertType, AlertValue::Uint32(dwAlertType));
    return event;
}

// An event of the legacy form with the given pairs.
inline std::unique_ptr<QgGenericEvent, EventDeleter> MakeLegacyEvent(
    const char* pszName, uint32_t dwMask, uint32_t dwPriority,
    std::initializer_list<std::pair<const char*, const char*>> pairs = {}) {
    std::unique_ptr<QgGenericEvent, EventDeleter> event(
        new QgGenericEvent(pszName, dwMask, dwPriority, nullptr));
    for (const auto& [pszPairName, pszValue] : pairs) {
        event->AddPair(pszPairName, pszValue);
    }
    return event;
}

// An event whose priority cannot be read, as one whose "AlertPriority" is
// of the wrong kind is allowed to report.
class UnreadablePriorityEvent : public ADFGenericEvent {
public:
    int32_t GetPriority() override { throw std::runtime_error("AlertPriority is not a number"); }
};

// An alert event of neither form.
class ForeignEvent : public ICSFAlertEvent {
public:
    int32_t GetPriority() override { return 1; }
    ICSFAlertEvent* CreateEmpty() override { return nullptr; }
    ICSFAlertEvent* Clone() override { return nullptr; }
    uint32_t WriteMessage(CSFAlertMessage*) override { return 0; }
    uint32_t WriteBytes(HostByteBuffer*) override { return 0; }
    uint32_t LoadBytes(const uint8_t*, const uint32_t*) override { return 0; }
    void Destroy() override {}
};

template <typename Formatter>
struct ReleaseDeleter {
    void operator()(Formatter* pFormatter) const { pFormatter->Release(); }
};

template <typename Formatter>
using FormatterPtr = std::unique_ptr<Formatter, ReleaseDeleter<Formatter>>;

}  // namespace responsetest
