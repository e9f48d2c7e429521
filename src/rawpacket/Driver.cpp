#include "rawpacket/Driver.h"

#include <cstdlib>

#include "platform/Environment.h"
#include "platform/Refusal.h"
#include "rawpacket/DriverFactory.h"
#include "rawpacket/RpTrace.h"

namespace rp {
namespace {

constexpr uint64_t kCaptureBufferLimit = 62500000;

// A decimal number and an optional unit letter.
bool ParseSize(const std::string& text, uint64_t& value, char& unit) {
    const char* start = text.c_str();
    char* end = nullptr;
    unsigned long long number = std::strtoull(start, &end, 10);
    if (end == start) {
        return false;
    }
    value = number;
    unit = *end;
    return true;
}

}  // namespace

Driver::Driver(const std::string& adapterName, uint32_t openMode)
    : m_AdapterInfo(adapterName, openMode),
      m_pFrame(std::make_unique<Frame>()),
      m_pAdapterLock(std::make_shared<AdapterLock>(AdapterLock::lockNameFor(adapterName), false)) {
    captureBufferFromEnvironment(m_AdapterInfo.m_dwCaptureBufferSize);
    // Another sensor holding the adapter does not stop this one: the lock
    // only marks which adapters are taken.  But a lock not had is said,
    // with its file and holder, so the operator learns who has it.
    if (!m_pAdapterLock->acquire()) {
        plat::WarnOfRefusal(m_pAdapterLock->refusal(), AdapterLock::lockPathOf(m_pAdapterLock->name()));
    }
}

Driver::Driver() : m_pFrame(std::make_unique<Frame>()) {
    captureBufferFromEnvironment(m_AdapterInfo.m_dwCaptureBufferSize);
}

Driver::~Driver() {
    if (m_pFactory != nullptr) {
        DriverFactory::deregister(this, m_strKey);
    }
}

bool Driver::captureBufferFromEnvironment(uint32_t& size) {
    std::string text;
    if (!plat::GetEnvironmentText("QOR_CAPTURE_BUFSZ", text)) {
        return false;
    }
    uint64_t value = 0;
    char unit = 0;
    if (!ParseSize(text, value, unit)) {
        value = 0;
    }
    if (unit == 'k' || unit == 'K') {
        value *= 1024;
    } else if (unit == 'm' || unit == 'M') {
        value *= 1048576;
    }
    size = static_cast<uint32_t>(value < kCaptureBufferLimit ? value : kCaptureBufferLimit);
    return true;
}

Driver* Driver::assign(const Driver& other) {
    if (this == &other) {
        return this;
    }
    m_AdapterInfo = other.m_AdapterInfo;
    m_pfnCallback = other.m_pfnCallback;
    m_pCallbackContext = other.m_pCallbackContext;
    m_strKey = other.m_strKey;
    m_pFrame->copyFrom(*other.m_pFrame);
    m_pAdapterLock = other.m_pAdapterLock;
    m_pFactory = nullptr;
    m_bStopped = false;
    return this;
}

void Driver::registerWith(const std::string& key, DriverFactory* factory) {
    m_strKey = key;
    m_pFactory = factory;
}

void Driver::setFrameCallback(FrameCallback callback, void* context) {
    m_pfnCallback = callback;
    m_pCallbackContext = context;
}

void Driver::getParameter(const std::string& name, std::string& value) const {
    if (name == "capturebuffersize") {
        value = m_AdapterInfo.m_dwCaptureBufferSize == 0 ? "null"
                                                        : std::to_string(m_AdapterInfo.m_dwCaptureBufferSize);
    } else if (name == "readtimeout") {
        value = std::to_string(m_AdapterInfo.m_dwReadTimeout);
    }
}

uint32_t Driver::setParameter(const std::string& name, const std::string& value) {
    if (name == "capturebuffersize") {
        uint64_t size = 0;
        char unit = 0;
        if (ParseSize(value, size, unit)) {
            if (unit == 'm' || unit == 'M') {
                size *= 1048576;
            } else if (unit == 'k' || unit == 'K') {
                size *= 1024;
            }
            if (size > 0 && size <= UINT32_MAX) {
                m_AdapterInfo.m_dwCaptureBufferSize = static_cast<uint32_t>(size);
            }
        }
    } else if (name == "readtimeout") {
        m_AdapterInfo.m_dwReadTimeout = static_cast<uint32_t>(std::atoi(value.c_str()));
    } else if (name == "tracelevel") {
        int level = std::atoi(value.c_str());
        setTraceLevel(level >= 0 ? level : 200);
    }
    return 0;
}

}  // namespace rp
