#include "ShimAdapter.h"

namespace shim {

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
