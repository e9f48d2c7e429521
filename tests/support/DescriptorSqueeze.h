#pragma once
// A scope in which the process has few descriptors to spare: its soft
// limit lowered to a given number more than are open, and, asked, every
// descriptor left taken.

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "platform/Descriptors.h"

namespace hwtest {

// Lowers the process's soft descriptor limit to `qwOpenAbove` more than are
// open now, and, asked, takes every descriptor left; all given back with
// the scope.
class DescriptorSqueeze {
public:
    explicit DescriptorSqueeze(uint64_t qwOpenAbove) {
        ::getrlimit(RLIMIT_NOFILE, &m_Saved);
        struct rlimit lowered = m_Saved;
        lowered.rlim_cur = static_cast<rlim_t>(plat::GetDescriptorBudget().m_qwOpen + qwOpenAbove);
        m_bLowered = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~DescriptorSqueeze() {
        GiveBack();
        ::setrlimit(RLIMIT_NOFILE, &m_Saved);
    }
    bool IsLowered() const { return m_bLowered; }
    void TakeAll() {
        for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) {
            m_Taken.push_back(fd);
        }
    }
    void GiveBack() {
        for (int fd : m_Taken) {
            ::close(fd);
        }
        m_Taken.clear();
    }

private:
    struct rlimit m_Saved {};
    bool m_bLowered = false;
    std::vector<int> m_Taken;
};

}  // namespace hwtest
