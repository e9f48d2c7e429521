#include "qorToolsLib/jsSemaphore.h"

namespace {

uint32_t AcquireFrom(const jsBase& owner, plat::Semaphore& semaphore, uint32_t ms) {
    return owner.IsValid() ? semaphore.Wait(ms) : plat::kWaitFailed;
}

int ReleaseTo(const jsBase& owner, plat::Semaphore& semaphore, int32_t count) {
    return owner.IsValid() && semaphore.Release(count) ? 1 : 0;
}

}  // namespace

jsNamedSemaphore::jsNamedSemaphore(const char* name, int32_t initialCount, int32_t maximumCount)
    : jsBase(0) {
    m_uValid = m_primitive.Open(name != nullptr ? name : "", initialCount, maximumCount) ? 1 : 0;
}

uint32_t jsNamedSemaphore::Acquire(uint32_t ms) {
    return AcquireFrom(*this, m_primitive, ms);
}

int jsNamedSemaphore::Release(int32_t count) {
    return ReleaseTo(*this, m_primitive, count);
}

jsSemaphore::jsSemaphore(int32_t initialCount, int32_t maximumCount) : jsBase(0) {
    m_uValid = m_primitive.Open("", initialCount, maximumCount) ? 1 : 0;
}

uint32_t jsSemaphore::Acquire(uint32_t ms) {
    return AcquireFrom(*this, m_primitive, ms);
}

int jsSemaphore::Release(int32_t count) {
    return ReleaseTo(*this, m_primitive, count);
}
