#include "platform/Descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/LastError.h"
#include "platform/Sockets.h"

namespace plat {
namespace {

constexpr uint64_t kMinFloor = 64;
constexpr uint64_t kMaxFloor = 4096;
// Without /proc, descriptors up to this number are looked at one by one.
constexpr uint64_t kMaxProbed = 65536;

uint64_t CurrentLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;
    }
    return limit.rlim_cur == RLIM_INFINITY ? kMaxProbed : static_cast<uint64_t>(limit.rlim_cur);
}

// What is open, counted by the process's own list of them; the listing
// itself takes one, which is not counted.  Out of descriptors for the
// listing, everything counts as taken.
uint64_t CountOpen(uint64_t qwLimit) {
    DIR* listing = ::opendir("/proc/self/fd");
    if (listing == nullptr) {
        if (errno == EMFILE || errno == ENFILE) {
            return qwLimit;
        }
        uint64_t qwOpen = 0;
        for (uint64_t fd = 0; fd < std::min(qwLimit, kMaxProbed); ++fd) {
            qwOpen += ::fcntl(static_cast<int>(fd), F_GETFD) != -1 ? 1 : 0;
        }
        return qwOpen;
    }
    uint64_t qwEntries = 0;
    while (const dirent* entry = ::readdir(listing)) {
        qwEntries += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(listing);
    return qwEntries > 0 ? qwEntries - 1 : 0;
}

}  // namespace

uint64_t RaiseDescriptorLimit() {
    static std::once_flag s_raised;
    std::call_once(s_raised, [] {
        struct rlimit limit {};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            // A hard limit the kernel will not grant as a soft one (above
            // its own ceiling) leaves the soft limit where it was.
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    });
    return CurrentLimit();
}

uint64_t DescriptorFloorFor(uint64_t qwLimit) {
    return std::clamp<uint64_t>(qwLimit / 4, kMinFloor, kMaxFloor);
}

DescriptorBudget GetDescriptorBudget() {
    DescriptorBudget budget;
    budget.m_qwLimit = RaiseDescriptorLimit();
    budget.m_qwFloor = DescriptorFloorFor(budget.m_qwLimit);
    budget.m_qwOpen = CountOpen(budget.m_qwLimit);
    return budget;
}

bool LastErrorIsOutOfDescriptors(std::string* words) {
    if (GetLastError() != kErrTooManyOpenFiles && GetLastError() != kWsaTooManyOpenSockets) {
        return false;
    }
    if (words != nullptr) {
        *words = GetLastErrno() == ENFILE
                     ? "the system has no descriptor left (" + std::string(std::strerror(ENFILE)) + ")"
                     : "the process has no descriptor left (" + std::string(std::strerror(EMFILE)) + ")";
    }
    return true;
}

void DescriptorReserve::Fill(uint64_t qwCount) {
    while (m_Held.size() < qwCount) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        m_Held.push_back(fd);
    }
}

void DescriptorReserve::Release() {
    for (int fd : m_Held) {
        ::close(fd);
    }
    m_Held.clear();
}

}  // namespace plat
