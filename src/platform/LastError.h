#pragma once
// The per-thread "last error" word that many library calls leave behind for
// their caller, in the numbering the rest of the system uses (Win32-style
// error numbers such as 2 "file not found" or 112 "disk full").

#include <cstdint>

namespace plat {

// Error numbers the layer produces when it maps errno values.
enum : uint32_t {
    kErrSuccess = 0,
    kErrInvalidFunction = 1,
    kErrFileNotFound = 2,
    kErrPathNotFound = 3,
    kErrTooManyOpenFiles = 4,
    kErrAccessDenied = 5,
    kErrInvalidHandle = 6,
    kErrNotEnoughMemory = 8,
    kErrInvalidData = 13,
    kErrOutOfMemory = 14,
    kErrWriteFault = 29,
    kErrReadFault = 30,
    kErrSharingViolation = 32,
    kErrHandleEof = 38,
    kErrHandleDiskFull = 39,
    kErrNotSupported = 50,
    kErrFileExists = 80,
    kErrInvalidParameter = 87,
    kErrBrokenPipe = 109,
    kErrDiskFull = 112,
    kErrInsufficientBuffer = 122,
    kErrModNotFound = 126,
    kErrProcNotFound = 127,
    kErrDirNotEmpty = 145,
    kErrBadFileType = 222,
    kErrBusy = 170,
    kErrAlreadyExists = 183,
    kErrMoreData = 234,
    kErrWaitTimeout = 258,
    kErrNoMoreItems = 259,
    kErrNotOwner = 288,
    kErrTooManyPosts = 298,
    kErrMessageNotFound = 317,
    kErrStoppedOnSymlink = 681,
    kErrServiceAlreadyRunning = 1056,
    kErrServiceDoesNotExist = 1060,
    kErrServiceCannotAcceptControl = 1061,
    kErrServiceNotActive = 1062,
    kErrPrivilegeNotHeld = 1314,
    kErrNoneMapped = 1332,
    kErrInvalidSid = 1337,
    kErrTimeout = 1460,
    kErrEventLogFileChanged = 1503,
};

uint32_t GetLastError();
void SetLastError(uint32_t error);

// Whether `error` says that a path names nothing (no such file, or a folder
// on the way missing): any other failure to look at or open it (no
// descriptor left, say) tells nothing of whether it is there.
inline bool IsAbsence(uint32_t error) { return error == kErrFileNotFound || error == kErrPathNotFound; }

// Maps an errno value to the numbering above (unknown values pass through
// offset by 0x20000000 so they never collide with a mapped number).
uint32_t MapErrno(int err);

// Maps a socket errno value to a Windows Sockets style number (10000+).
uint32_t MapSocketErrno(int err);

// Sets the last error from errno and returns the mapped value.
uint32_t SetLastErrorFromErrno(int err);
// The same in the Windows Sockets numbering (MapSocketErrno).
uint32_t SetLastSocketErrorFromErrno(int err);

// The errno value the last SetLast...FromErrno of this thread mapped, for
// the few callers that must tell apart two values mapped to one number.
int GetLastErrno();

}  // namespace plat
