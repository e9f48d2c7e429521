#include "qorToolsLib/ErrorWords.h"

#include <cerrno>
#include <cstring>

#include "platform/LastError.h"
#include "platform/Sockets.h"
#include "platform/SystemMessage.h"

namespace {

constexpr uint32_t kSocketStatusBase = 0xC7270000u;
constexpr uint32_t kFirstSocketNumber = 10000;
constexpr uint32_t kLastSocketNumber = 11999;
// Where the layer puts a system error it has no number of its own for.
constexpr uint32_t kUnlistedErrorBase = 0x20000000u;
// The resolver's "try again" and "no recovery", which the layer sets by
// number.
constexpr uint32_t kResolverTryAgain = 11002;
constexpr uint32_t kResolverFailed = 11003;
// Past the highest error number the system has.
constexpr int kErrnoLimit = 256;
// Where several system errors share one number, the one that most often
// stands behind it.
constexpr int kUsualErrors[] = {EACCES, EMFILE, ENOSPC, ECONNRESET};

// The system error behind `dwError` as `map` numbers them: the calling
// thread's last one when it gives that number (several system errors share
// one number), else the first that does; 0 for none.
int SystemErrorBehind(uint32_t dwError, uint32_t (*map)(int)) {
    const int nLast = plat::GetLastErrno();
    if (nLast != 0 && map(nLast) == dwError) {
        return nLast;
    }
    for (const int n : kUsualErrors) {
        if (map(n) == dwError) {
            return n;
        }
    }
    for (int n = 1; n < kErrnoLimit; ++n) {
        if (map(n) == dwError) {
            return n;
        }
    }
    return 0;
}

}  // namespace

std::string ErrorWords(uint32_t dwError) {
    if ((dwError & 0xFFFF0000u) == kSocketStatusBase) {
        dwError &= 0xFFFFu;
    }
    switch (dwError) {
        case 0:
            return "no error";
        case plat::kWsaHostNotFound:
            return "host not found";
        case kResolverTryAgain:
            return "host not found: the name service did not answer, it may later";
        case kResolverFailed:
            return "host not found: the name service failed";
        case plat::kWsaNoData:
            return "host not found: the name has no IPv4 address";
        case plat::kWsaNotInitialised:
            return "no socket is open";
        default:
            break;
    }
    int nSystemError = 0;
    if (dwError >= kUnlistedErrorBase && dwError - kUnlistedErrorBase < kErrnoLimit) {
        nSystemError = static_cast<int>(dwError - kUnlistedErrorBase);
    } else if (dwError >= kFirstSocketNumber && dwError <= kLastSocketNumber) {
        nSystemError = SystemErrorBehind(dwError, &plat::MapSocketErrno);
    } else {
        nSystemError = SystemErrorBehind(dwError, &plat::MapErrno);
    }
    if (nSystemError != 0) {
        return std::strerror(nSystemError);
    }
    // A number the layer sets by itself (data it finds invalid, a log that
    // changed between reads): the layer's own text for it.
    std::string strText;
    const bool bSocket = dwError >= kFirstSocketNumber && dwError <= kLastSocketNumber;
    if (plat::LookupSystemMessage(bSocket ? kSocketStatusBase + dwError : dwError, nullptr, 0,
                                  strText) != 0) {
        return "no text for this error";
    }
    while (!strText.empty() &&
           (strText.back() == '\n' || strText.back() == '\r' || strText.back() == '.')) {
        strText.pop_back();
    }
    return strText;
}
