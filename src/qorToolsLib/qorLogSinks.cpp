#include "qorToolsLib/qorLogSinks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/DebugOutput.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"
#include "qorToolsLib/SafeText.h"

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
    // another process has written to it since; a replaced file is empty,
    // so appending to it is writing from its start.
    m_sOpenProblem.clear();
    m_hFile = plat::OpenOwnFile(path, O_RDWR | O_CREAT | O_APPEND | (append ? 0 : O_TRUNC), 0644,
                                &m_sOpenProblem);
    if (m_hFile < 0) {
        return plat::GetLastError();
    }
    return plat::kErrSuccess;
}

uint32_t qorLogFileSink::Write(const char* text) {
    if (m_hFile < 0) {
        return plat::kErrInvalidHandle;
    }
    m_sLine.clear();
    // A line end inside the text stays one: the signature module's lines
    // carry their own.
    AppendPrintable(m_sLine, text != nullptr ? text : "", true);
    m_sLine += "\r\n";
    ssize_t written = -1;
    do {
        written = ::write(m_hFile, m_sLine.data(), m_sLine.size());
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(m_sLine.size())) {
        return plat::kErrSuccess;
    }
    if (written < 0) {
        return plat::MapErrno(errno);
    }
    // The file offset stands at the end of the piece just written: cut the
    // piece off, so the next line does not continue a torn one.
    const off_t end = ::lseek(m_hFile, 0, SEEK_CUR);
    if (end >= written && ::ftruncate(m_hFile, end - written) != 0) {
        // The piece stays; a line end at least keeps the next line apart.
        if (::write(m_hFile, "\r\n", 2) < 0) {
            return plat::kErrDiskFull;
        }
    }
    return plat::kErrDiskFull;
}

uint32_t qorLogFileSink::Close() {
    if (m_hFile >= 0) {
        ::close(m_hFile);
        m_hFile = -1;
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
    // One call per line, so lines of different threads do not run into
    // each other.
    thread_local std::string line;
    line.clear();
    AppendPrintable(line, text != nullptr ? text : "", true);
    line += '\n';
    plat::DebugOutput(line);
    return 0;
}
