#include "platform/ProcessorAffinity.h"

#include <errno.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/LastError.h"

namespace plat {
namespace {

constexpr int kMaskBits = 32;

uint32_t MaskOf(const cpu_set_t& set) {
    uint32_t mask = 0;
    for (int cpu = 0; cpu < kMaskBits; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            mask |= 1u << cpu;
        }
    }
    return mask;
}

}  // namespace

bool GetProcessAffinity(uint32_t& processMask, uint32_t& systemMask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(::getpid(), sizeof set, &set) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    long processors = ::sysconf(_SC_NPROCESSORS_CONF);
    if (processors < 1) {
        processors = 1;
    }
    processMask = MaskOf(set);
    systemMask = processors >= kMaskBits ? UINT32_MAX : (1u << processors) - 1;
    return true;
}

bool SetProcessAffinity(uint32_t mask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < kMaskBits; ++cpu) {
        if ((mask & (1u << cpu)) != 0) {
            CPU_SET(cpu, &set);
        }
    }
    // The mask belongs to each thread; threads made later inherit it from
    // the thread that makes them.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
        const pid_t thread = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
        if (thread > 0 && ::sched_setaffinity(thread, sizeof set, &set) != 0 && errno != ESRCH) {
            SetLastErrorFromErrno(errno);
            return false;
        }
    }
    if (error) {
        SetLastErrorFromErrno(error.value());
        return false;
    }
    return true;
}

}  // namespace plat
