#include "qorToolsLib/FileObject.h"

#include <string>

#include "platform/LastError.h"
#include "qorToolsLib/QORError.h"
#include "qorToolsLib/TraceInterface.h"
#include "qorToolsLib/qorStatus.h"

namespace {

constexpr uint32_t kErrorCategory = 0x1000;
constexpr uint32_t kErrorLevel = 1;
constexpr const char kSource[] = "FileObject";

std::string ErrorText(uint32_t error) {
    QORError status(error);
    return status.GetMessage(255);
}

// Failures go to the trace logger only, which drops them unless a host
// asked for them; the caller gets the error number either way.
uint32_t Report(uint32_t error, const char* format, const char* detail) {
    GetTraceInterface()->Log(kErrorCategory, kErrorLevel, kSource, format, ErrorText(error).c_str(),
                             detail);
    return error;
}

uint32_t Report(uint32_t error, const char* format, uint32_t count) {
    GetTraceInterface()->Log(kErrorCategory, kErrorLevel, kSource, format, ErrorText(error).c_str(),
                             count);
    return error;
}

}  // namespace

FileObject::~FileObject() {
    Close();
}

uint32_t FileObject::OpenForRead(const char* path) {
    if (path == nullptr) {
        return plat::kErrInvalidParameter;
    }
    Close();
    plat::FileHandle file = plat::OpenFileForReading(path);
    if (file == plat::kInvalidFile) {
        return Report(plat::GetLastError(), "Error %s opening file for read; %s", path);
    }
    uint64_t size = 0;
    if (!plat::GetOpenFileSize(file, size)) {
        uint32_t error = plat::GetLastError();
        plat::CloseFile(file);
        return Report(error, "Error %s opening file for read; %s", path);
    }
    m_hFile = file;
    m_qwSize = size;
    m_bOpen = true;
    return 0;
}

uint32_t FileObject::OpenWriting(const char* path, bool replace) {
    if (path == nullptr) {
        return plat::kErrInvalidParameter;
    }
    Close();
    plat::FileHandle file = plat::OpenFileForWriting(
        path, replace ? plat::FileCreation::kCreateAlways : plat::FileCreation::kCreateNew);
    if (file == plat::kInvalidFile) {
        return Report(plat::GetLastError(), "Error %s opening file for write; %s", path);
    }
    m_hFile = file;
    m_qwSize = 0;
    m_bOpen = true;
    return 0;
}

uint32_t FileObject::OpenForWrite(const char* path, bool replace) {
    return OpenWriting(path, replace);
}

uint32_t FileObject::OpenForSharedWrite(const char* path, bool replace) {
    return OpenWriting(path, replace);
}

uint32_t FileObject::Write(const void* bytes, uint32_t count) {
    if (!m_bOpen) {
        return plat::kErrInvalidHandle;
    }
    size_t done = 0;
    if (!plat::WriteToFile(m_hFile, bytes, count, done)) {
        return Report(plat::GetLastError(), "Error %s writing %u bytes to file", count);
    }
    return 0;
}

uint32_t FileObject::Read(void* bytes, uint32_t count, uint32_t* done) {
    if (done != nullptr) {
        *done = 0;
    }
    if (!m_bOpen) {
        return plat::kErrInvalidHandle;
    }
    size_t got = 0;
    if (!plat::ReadFromFile(m_hFile, bytes, count, got)) {
        return Report(plat::GetLastError(), "Error %s reading %u bytes from file", count);
    }
    if (done != nullptr) {
        *done = static_cast<uint32_t>(got);
    }
    return 0;
}

uint32_t FileObject::OpenAndMap(const char* path) {
    if (m_bOpen) {
        return QOR_E_WRONG_STATE;
    }
    uint32_t error = OpenForRead(path);
    if (error != 0) {
        return Report(error, "Error opening and mapping input file: %s: %s",
                      path != nullptr ? path : "");
    }
    if (m_qwSize == 0) {
        return 0;
    }
    if (m_qwSize > SIZE_MAX) {
        Close();
        return plat::kErrNotEnoughMemory;
    }
    m_pView = plat::MapFileView(m_hFile, static_cast<size_t>(m_qwSize));
    if (m_pView == nullptr) {
        error = plat::GetLastError();
        Close();
        return Report(error, "Error opening and mapping input file: %s: %s",
                      path != nullptr ? path : "");
    }
    m_bMapped = true;
    return 0;
}

uint32_t FileObject::Close() {
    uint32_t error = 0;
    if (m_bMapped) {
        if (!plat::UnmapFileView(m_pView, static_cast<size_t>(m_qwSize))) {
            error = plat::GetLastError();
        }
        m_pView = nullptr;
        m_bMapped = false;
    }
    if (m_bOpen) {
        if (!plat::CloseFile(m_hFile) && error == 0) {
            error = plat::GetLastError();
        }
        m_hFile = plat::kInvalidFile;
        m_bOpen = false;
    }
    if (error != 0) {
        GetTraceInterface()->Log(kErrorCategory, kErrorLevel, kSource, "Error %s closing file",
                                 ErrorText(error).c_str());
    }
    return error;
}
