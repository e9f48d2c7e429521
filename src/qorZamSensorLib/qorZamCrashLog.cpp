#include "qorZamSensorLib/qorZamCrashLog.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"

qorZamCrashLog* qorZamCrashLog::GetInstance() {
    // Kept to the end of the process: slave threads may still write while
    // static objects go.
    static qorZamCrashLog* const pInstance = new (std::nothrow) qorZamCrashLog;
    return pInstance;
}

qorZamCrashLog::qorZamCrashLog() = default;

qorZamCrashLog::~qorZamCrashLog() {
    Close();
}

uint32_t qorZamCrashLog::Open(const char* path, bool append) {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    const uint32_t dwResult = qorLogFileSink::Open(path, append);
    m_bOpen = dwResult == 0;
    return dwResult;
}

uint32_t qorZamCrashLog::Write(const char* text) {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    return qorLogFileSink::Write(text);
}

uint32_t qorZamCrashLog::Close() {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    m_bOpen = false;
    return qorLogFileSink::Close();
}

bool qorZamCrashLog::IsOpen() const {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    return m_bOpen;
}

bool qorZamCrashLog::OpenWithBackup(const std::string& strFileName) {
    Close();
    m_strFileName = strFileName;
    if (strFileName.empty()) {
        return false;
    }
    m_strBackupProblem.clear();
    struct stat file {};
    if (::lstat(strFileName.c_str(), &file) == 0 && file.st_size > 0) {
        // A failed copy loses only the old run's lines; the open goes on.
        // The copy reads and writes only this account's own files: the old
        // file or the backup's name could be another account's link.
        const std::string backup = strFileName + ".bak";
        if (!plat::MayReplaceOwnFile(backup, &m_strBackupProblem) ||
            (!plat::DeleteFilePath(backup.c_str()) &&
             plat::GetLastError() != plat::kErrFileNotFound) ||
            !plat::CopyOwnFile(strFileName, backup, &m_strBackupProblem)) {
            if (m_strBackupProblem.empty()) {
                m_strBackupProblem = backup + ": error " + std::to_string(plat::GetLastError());
            }
        }
    }
    return Open(strFileName.c_str(), false) == 0;
}

void qorZamCrashLog::FormatLine(char (&szLine)[kLineBuffer], const char* pszFormat, va_list args) {
    const int nLength = std::vsnprintf(szLine, sizeof szLine, pszFormat != nullptr ? pszFormat : "", args);
    if (nLength < 0) {
        szLine[0] = '\0';
    } else if (static_cast<size_t>(nLength) >= kLineBuffer) {
        std::memcpy(szLine + 1020, ">>>", 4);
    }
}

bool qorZamCrashLog::VPrint(const char* pszFormat, va_list args) {
    if (!IsOpen()) {
        return false;
    }
    char szLine[kLineBuffer];
    FormatLine(szLine, pszFormat, args);
    // The module ends its lines itself; the sink ends each with "\r\n", so
    // the module's own line end goes, or every line would be followed by an
    // empty one.
    size_t nLength = std::strlen(szLine);
    if (nLength > 0 && szLine[nLength - 1] == '\n') {
        szLine[--nLength] = '\0';
        if (nLength > 0 && szLine[nLength - 1] == '\r') {
            szLine[--nLength] = '\0';
        }
    }
    return Write(szLine) == 0;
}

bool qorZamCrashLog::Print(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const bool bWritten = VPrint(pszFormat, args);
    va_end(args);
    return bWritten;
}

bool qorZamCrashLog::VPrint(uint32_t /*dwFirst*/, uint32_t /*dwSecond*/, const char* pszFormat,
                            va_list args) {
    return VPrint(pszFormat, args);
}

bool qorZamCrashLog::Print(uint32_t /*dwFirst*/, uint32_t /*dwSecond*/, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const bool bWritten = VPrint(pszFormat, args);
    va_end(args);
    return bWritten;
}
