#include "qorToolsLib/jsEvent.h"

jsEvent::jsEvent(bool initiallyNonSignalled, bool manualReset)
    : m_primitive(manualReset, !initiallyNonSignalled) {}

uint32_t jsEvent::Wait(uint32_t ms) {
    if (!IsValid()) {
        return plat::kWaitFailed;
    }
    return m_primitive.Wait(ms, true);
}

int jsEvent::Set() {
    return IsValid() && m_primitive.Set() ? 1 : 0;
}

int jsEvent::Reset() {
    return IsValid() && m_primitive.Reset() ? 1 : 0;
}
