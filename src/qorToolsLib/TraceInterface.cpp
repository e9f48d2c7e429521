#include "qorToolsLib/TraceInterface.h"

#include <mutex>

#include "qorToolsLib/SingletonRegistry.h"

namespace {

std::mutex& TraceLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

TraceLogger::TraceLogger() = default;

TraceLogger::~TraceLogger() = default;

uint32_t TraceLogger::SetTraceLevel(uint32_t level) {
    uint32_t previous = m_uTraceLevel;
    m_uTraceLevel = level;
    return previous;
}

TraceInterface* GetTraceInterface() {
    std::lock_guard<std::mutex> guard(TraceLock());
    if (void* existing = LookupSingleton(kTraceInterfaceName)) {
        return static_cast<TraceInterface*>(existing);
    }
    auto* trace = new TraceInterface;
    RegisterSingleton(kTraceInterfaceName, trace);
    return trace;
}

void ReleaseTraceInterface() {
    std::lock_guard<std::mutex> guard(TraceLock());
    void* existing = LookupSingleton(kTraceInterfaceName);
    if (existing != nullptr) {
        RegisterSingleton(kTraceInterfaceName, nullptr);
        delete static_cast<TraceInterface*>(existing);
    }
}
