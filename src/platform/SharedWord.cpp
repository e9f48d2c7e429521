#include "platform/SharedWord.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace plat {

SharedWordWait WaitSharedWord(const uint32_t* pWord, uint32_t dwSeen, uint32_t dwMs) {
    struct timespec relative;
    relative.tv_sec = static_cast<time_t>(dwMs / 1000);
    relative.tv_nsec = static_cast<long>(dwMs % 1000) * 1000000L;
    // Not the private variant: the word is another process's too.
    if (syscall(SYS_futex, pWord, FUTEX_WAIT, dwSeen, &relative, nullptr, 0) == 0) {
        return SharedWordWait::kWoken;
    }
    switch (errno) {
        case ETIMEDOUT:
            return SharedWordWait::kTimedOut;
        case EAGAIN:
        case EINTR:
            return SharedWordWait::kWoken;
        default:
            return SharedWordWait::kFailed;
    }
}

void WakeSharedWord(const uint32_t* pWord) {
    syscall(SYS_futex, pWord, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace plat
