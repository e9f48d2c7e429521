#include "Common/ISensorCore.h"

#include <atomic>

namespace {

// Read by engine threads while the control thread may be setting it.
std::atomic<ISensorCore*> g_pSensorCore{nullptr};

}  // namespace

void SetSensorCore(ISensorCore* pSensor) {
    g_pSensorCore.store(pSensor, std::memory_order_release);
}

ISensorCore* GetSensorCore() {
    return g_pSensorCore.load(std::memory_order_acquire);
}
