#include "Common/CatchUps.h"

#include <cstdlib>
#include <string>

#include "platform/Environment.h"

namespace {

constexpr uint32_t kMaxDeadlineSeconds = 3600;

}  // namespace

CatchUps::CatchUps()
    : m_deadlineNs(std::chrono::duration_cast<std::chrono::nanoseconds>(kDefaultDeadline).count()) {
    // Tests on a busy machine, and operators of a sensor whose inputs are
    // large, may give the reload longer (or shorter) to see them caught up.
    std::string strSeconds;
    if (plat::GetEnvironmentText("HW_CATCH_UP_SECONDS", strSeconds) && !strSeconds.empty()) {
        char* pszEnd = nullptr;
        const unsigned long ulSeconds = std::strtoul(strSeconds.c_str(), &pszEnd, 10);
        if (*pszEnd == '\0' && ulSeconds <= kMaxDeadlineSeconds) {
            SetDeadline(std::chrono::seconds(ulSeconds));
        }
    }
}

CatchUps& CatchUps::Instance() {
    static CatchUps catchUps;
    return catchUps;
}

uint64_t CatchUps::Begin(const std::string& input) {
    std::lock_guard<std::mutex> guard(m_lock);
    const uint64_t qwId = m_qwNext++;
    m_pending.emplace(qwId, input);
    return qwId;
}

void CatchUps::End(uint64_t id) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_pending.erase(id) == 0) {
            return;
        }
    }
    m_ended.notify_all();
}

std::vector<std::string> CatchUps::WaitForAll(std::chrono::steady_clock::duration deadline,
                                               uint64_t qwCommandsSeen) {
    std::unique_lock<std::mutex> guard(m_lock);
    ++m_nWaiting;
    m_ended.wait_for(guard, deadline, [&] {
        return m_pending.empty() || (qwCommandsSeen != kNoCommandSeen && m_qwCommands != qwCommandsSeen);
    });
    --m_nWaiting;
    std::vector<std::string> behind;
    for (const auto& [id, input] : m_pending) {
        behind.push_back(input);
    }
    return behind;
}

size_t CatchUps::Pending() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pending.size();
}

size_t CatchUps::Waiting() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_nWaiting;
}

void CatchUps::CommandCome() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_qwCommands;
    }
    m_ended.notify_all();
}

uint64_t CatchUps::CommandsCome() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_qwCommands;
}

std::chrono::steady_clock::duration CatchUps::Deadline() const {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::nanoseconds(m_deadlineNs.load(std::memory_order_relaxed)));
}

void CatchUps::SetDeadline(std::chrono::steady_clock::duration deadline) {
    m_deadlineNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(deadline).count(),
                       std::memory_order_relaxed);
}

void CatchUp::Begin(const std::string& input) {
    End();
    m_qwId.store(CatchUps::Instance().Begin(input), std::memory_order_release);
}

void CatchUp::End() {
    if (const uint64_t qwId = m_qwId.exchange(0, std::memory_order_acq_rel); qwId != 0) {
        CatchUps::Instance().End(qwId);
    }
}
