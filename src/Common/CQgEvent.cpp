#include "Common/CQgEvent.h"

#include <new>

#include "qorCSFLib/CSFLog.h"

namespace {

unsigned TracedPointer(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace

CQgEvent::CQgEvent() {
    CSF_TRACE(kCSFLogInfo, "constructing 0x%x", TracedPointer(this));
}

CQgEvent::CQgEvent(Blank) {}

CQgEvent::CQgEvent(const char* pszAlertName, uint32_t dwResponseMask, uint32_t dwPriority,
                   const CSFAlertParameter* pParameters)
    : QgGenericEvent(pszAlertName, dwResponseMask, dwPriority, pParameters) {
    CSF_TRACE(kCSFLogInfo, "constructing 0x%x", TracedPointer(this));
}

CQgEvent::CQgEvent(const CQgEvent& other) : QgGenericEvent(other), SensorAlertLink(other) {
    CSF_TRACE(kCSFLogInfo, "constructing 0x%x", TracedPointer(this));
}

CQgEvent::~CQgEvent() {
    CSF_TRACE(kCSFLogInfo, "destructing 0x%x (pAEI = 0x%x)", TracedPointer(this), TracedPointer(GetAlertRecord()));
}

ICSFAlertEvent* CQgEvent::CreateEmpty() {
    return new (std::nothrow) CQgEvent();
}

ICSFAlertEvent* CQgEvent::Clone() {
    try {
        return new CQgEvent(*this);
    } catch (const std::exception&) {
        return nullptr;
    }
}

void CQgEvent::Destroy() {
    delete this;
}

CQgEvent* CQgEvent::GetSelf(uint32_t /*dwUnused*/) {
    return this;
}

CQgEvent& CQgEvent::operator=(const CQgEvent& other) {
    if (&other != this) {
        QgGenericEvent::operator=(other);
        SensorAlertLink::operator=(other);
    }
    return *this;
}

CQgEvent* CQgEvent::CreateBlank(uint32_t /*dwUnused*/) {
    return new (std::nothrow) CQgEvent(Blank{});
}
