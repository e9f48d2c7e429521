#include "platform/LastError.h"

#include <cerrno>

namespace plat {
namespace {
thread_local uint32_t t_lastError = 0;
thread_local int t_lastErrno = 0;
}

uint32_t GetLastError() { return t_lastError; }

void SetLastError(uint32_t error) { t_lastError = error; }

uint32_t MapErrno(int err) {
    switch (err) {
        case 0:
            return kErrSuccess;
        case ENOENT:
            return kErrFileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return kErrPathNotFound;
        case EMFILE:
        case ENFILE:
            return kErrTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrAccessDenied;
        case EBADF:
            return kErrInvalidHandle;
        case ENOMEM:
            return kErrNotEnoughMemory;
        case EIO:
            return kErrWriteFault;
        case ETXTBSY:
            return kErrSharingViolation;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return kErrDiskFull;
        case EEXIST:
            return kErrAlreadyExists;
        case EINVAL:
            return kErrInvalidParameter;
        case EPIPE:
            return kErrBrokenPipe;
        case ENOTEMPTY:
            return kErrDirNotEmpty;
        case EBUSY:
            return kErrBusy;
        case ETIMEDOUT:
            return kErrTimeout;
        case ENOSYS:
        case EOPNOTSUPP:
            return kErrNotSupported;
        default:
            return 0x20000000u + static_cast<uint32_t>(err);
    }
}

uint32_t MapSocketErrno(int err) {
    switch (err) {
        case 0:
            return 0;
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
        case ENFILE:
            return 10024;
        case EAGAIN:
            return 10035;
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case EOPNOTSUPP:
            return 10045;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
        case EPIPE:
            return 10054;
        case ENOBUFS:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case ESHUTDOWN:
            return 10058;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        default:
            // Unlisted errno values land in an otherwise unused corner of the range.
            return 11900u + static_cast<uint32_t>(err % 100);
    }
}

uint32_t SetLastErrorFromErrno(int err) {
    t_lastErrno = err;
    uint32_t mapped = MapErrno(err);
    SetLastError(mapped);
    return mapped;
}

uint32_t SetLastSocketErrorFromErrno(int err) {
    t_lastErrno = err;
    uint32_t mapped = MapSocketErrno(err);
    SetLastError(mapped);
    return mapped;
}

int GetLastErrno() { return t_lastErrno; }

}  // namespace plat
