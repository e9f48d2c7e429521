#include "qorToolsLib/qorLogSinks.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/DebugOutput.h"
#include "platform/LastError.h"

qorLogFileSink::qorLogFileSink() = default;

qorLogFileSink::~qorLogFileSink() {
    Close();
}

uint32_t qorLogFileSink::Open(const char* path, bool append) {
    Close();
    if (path == nullptr) {
        return plat::kErrInvalidParameter;
    }
    try {
        m_sPath = path;
    } catch (const std::bad_alloc&) {
        return plat::kErrNotEnoughMemory;
    }
    // Append mode puts every write at the end of the file, even when
    // another process has written to it since.
    m_hFile = std::fopen(path, append ? "a+e" : "w+e");
    if (m_hFile == nullptr) {
        return plat::MapErrno(errno);
    }
    return plat::kErrSuccess;
}

uint32_t qorLogFileSink::Write(const char* text) {
    if (m_hFile == nullptr) {
        return plat::kErrInvalidHandle;
    }
    errno = 0;
    size_t length = text != nullptr ? std::strlen(text) : 0;
    bool written = std::fwrite(text != nullptr ? text : "", 1, length, m_hFile) == length &&
                   std::fwrite("\r\n", 1, 2, m_hFile) == 2 && std::fflush(m_hFile) == 0;
    if (written) {
        return plat::kErrSuccess;
    }
    int error = errno;
    std::clearerr(m_hFile);
    return error != 0 ? plat::MapErrno(error) : plat::kErrDiskFull;
}

uint32_t qorLogFileSink::Close() {
    if (m_hFile != nullptr) {
        std::fclose(m_hFile);
        m_hFile = nullptr;
    }
    m_sPath.clear();
    return plat::kErrSuccess;
}

const char* qorLogFileSink::GetFileName() const {
    return m_sPath.c_str();
}

uint32_t qorLogTraceFileSink::Reopen(const char* path, bool append) {
    return Open(path, append);
}

qorLogDebugSink::qorLogDebugSink() = default;

qorLogDebugSink::~qorLogDebugSink() = default;

uint32_t qorLogDebugSink::Write(const char* text) {
    // One call per line when it fits, so lines of different threads do not
    // run into each other.
    if (text == nullptr) {
        text = "";
    }
    char line[1100];
    size_t length = std::strlen(text);
    if (length + 1 < sizeof line) {
        std::memcpy(line, text, length);
        line[length] = '\n';
        plat::DebugOutput(std::string_view(line, length + 1));
    } else {
        plat::DebugOutput(std::string_view(text, length));
        plat::DebugOutput("\n");
    }
    return 0;
}
