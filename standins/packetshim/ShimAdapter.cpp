#include "ShimAdapter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace shim {

ShimAdapter::ShimAdapter(const AdapterFacts& facts)
    : m_Facts(facts), m_nWakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ShimAdapter::~ShimAdapter() {
    if (m_nWakeFd >= 0) {
        ::close(m_nWakeFd);
    }
}

namespace {

// HW_PACKET_LATE_WAKE_MS, read once: 0 (the default) answers at once.
uint32_t LateWakeMs() {
    static const uint32_t dwMs = [] {
        const char* text = std::getenv("HW_PACKET_LATE_WAKE_MS");
        if (text == nullptr || *text == '\0') {
            return 0u;
        }
        char* end = nullptr;
        const unsigned long value = std::strtoul(text, &end, 10);
        return *end == '\0' && value <= 60000 ? static_cast<uint32_t>(value) : 0u;
    }();
    return dwMs;
}

}  // namespace

uint32_t ShimAdapter::readAsReader(uint32_t timeoutMs, void** record) {
    m_nReaders.fetch_add(1);
    if (m_bWakeUnawaited.exchange(false) && LateWakeMs() != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(LateWakeMs()));
    }
    const uint32_t status = read(timeoutMs, record);
    m_nReaders.fetch_sub(1);
    return status;
}

void ShimAdapter::wakeRead() {
    if (m_nReaders.load() == 0) {
        m_bWakeUnawaited.store(true);
    }
    if (m_nWakeFd >= 0) {
        const uint64_t one = 1;
        // A full counter already wakes: nothing is lost when this fails.
        [[maybe_unused]] const ssize_t written = ::write(m_nWakeFd, &one, sizeof one);
    }
}

bool ShimAdapter::takeWake() {
    uint64_t count = 0;
    return m_nWakeFd >= 0 && ::read(m_nWakeFd, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

bool ShimAdapter::waitUnlessWoken(uint64_t ms) {
    if (m_nWakeFd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd wait{m_nWakeFd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready > 0 && takeWake()) {
            return false;
        }
        if (ready == 0 || std::chrono::steady_clock::now() >= deadline) {
            return true;
        }
    }
}

void ShimAdapter::notice(std::string text) {
    std::lock_guard<std::mutex> guard(m_NoticeLock);
    if (m_Notices.size() >= kMaxNotices) {
        ++m_nLeftOut;
        return;
    }
    m_Notices.push_back(std::move(text));
    m_nNotices.store(m_Notices.size(), std::memory_order_release);
}

bool ShimAdapter::takeNotice(std::string& text) {
    std::lock_guard<std::mutex> guard(m_NoticeLock);
    if (m_Notices.empty()) {
        return false;
    }
    text = std::move(m_Notices.front());
    m_Notices.pop_front();
    if (m_Notices.empty() && m_nLeftOut != 0) {
        m_Notices.push_back(std::to_string(m_nLeftOut) + " more notices of this adapter were left out");
        m_nLeftOut = 0;
    }
    m_nNotices.store(m_Notices.size(), std::memory_order_release);
    return true;
}

}  // namespace shim
