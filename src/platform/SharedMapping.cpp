#include "platform/SharedMapping.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/LastError.h"

namespace plat {

bool SharedMapping::Create(const std::string& name, uint64_t size, int32_t shareGroup) {
    Close();
    if (size == 0) {
        SetLastError(kErrInvalidParameter);
        return false;
    }
    auto setSize = [size](int fd) {
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        return true;
    };
    if (name.empty()) {
        int fd = memfd_create("hw.mapping", MFD_CLOEXEC);
        if (fd < 0 || !setSize(fd)) {
            if (fd < 0)
                SetLastErrorFromErrno(errno);
            else
                close(fd);
            return false;
        }
        m_privateFd = m_fd = fd;
        m_created = true;
        SetLastError(kErrSuccess);
        return true;
    }
    if (!m_object.Open(name, true, setSize, shareGroup)) {
        return false;
    }
    m_fd = m_object.Fd();
    m_created = m_object.Fresh();
    if (!m_created && !RestoreCutLength(size)) {
        Close();
        return false;
    }
    SetLastError(m_created ? kErrSuccess : kErrAlreadyExists);
    return true;
}

bool SharedMapping::RestoreCutLength(uint64_t size) {
    struct stat info;
    if (fstat(m_fd, &info) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    // Every maker of a name asks for the same length, so one of this
    // account's own that is shorter was cut short by another account.
    if (static_cast<uint64_t>(info.st_size) >= size || info.st_uid != geteuid()) {
        return true;
    }
    if (ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool SharedMapping::Open(const std::string& name) {
    Close();
    if (!m_object.Open(name, false, [](int) { return false; })) {
        return false;
    }
    m_fd = m_object.Fd();
    return true;
}

void SharedMapping::Close() {
    if (m_privateFd >= 0) {
        close(m_privateFd);
        m_privateFd = -1;
    }
    m_object.Close();
    m_fd = -1;
    m_created = false;
}

void* SharedMapping::Map(void* preferredBase) {
    if (m_fd < 0) {
        SetLastError(kErrInvalidHandle);
        return nullptr;
    }
    struct stat info;
    if (fstat(m_fd, &info) != 0) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    if (info.st_size == 0) {
        SetLastError(kErrInvalidParameter);
        return nullptr;
    }
    int flags = MAP_SHARED | (preferredBase != nullptr ? MAP_FIXED_NOREPLACE : 0);
    size_t size = static_cast<size_t>(info.st_size);
    void* view = mmap(preferredBase, size, PROT_READ | PROT_WRITE, flags, m_fd, 0);
    if (view == MAP_FAILED) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    if (preferredBase != nullptr && view != preferredBase) {
        // Kernels without the no-replace flag treat the address as a hint.
        munmap(view, size);
        SetLastError(kErrInvalidParameter);
        return nullptr;
    }
    // Another account may cut the object short under the view; the view
    // of a private one is this process's alone.
    if (m_privateFd < 0 && WritableByOthers(m_fd) && !m_guard.Guard(view, size, PROT_READ | PROT_WRITE)) {
        munmap(view, size);
        return nullptr;
    }
    m_view = view;
    m_size = size;
    return view;
}

void* SharedMapping::Remap() {
    const uint64_t size = m_size;
    if (!Unmap()) {
        return nullptr;
    }
    if (m_fd >= 0 && m_privateFd < 0 && size != 0 && !RestoreCutLength(size)) {
        return nullptr;
    }
    return Map(nullptr);
}

bool SharedMapping::Unmap() {
    if (m_view == nullptr) {
        return true;
    }
    // Before the range goes: a repair after it could map over whatever
    // the system puts there next.
    m_guard.Release();
    if (munmap(m_view, m_size) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    m_view = nullptr;
    m_size = 0;
    return true;
}

}  // namespace plat
