#include "qorZamSensorLib/qorZamCrashLog.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

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
    std::error_code error;
    const std::filesystem::path file(strFileName);
    if (std::filesystem::is_regular_file(file, error) && std::filesystem::file_size(file, error) > 0 &&
        !error) {
        // A failed copy loses only the old run's lines; the open goes on.
        const std::filesystem::path backup(strFileName + ".bak");
        std::filesystem::remove(backup, error);
        std::filesystem::copy_file(file, backup, std::filesystem::copy_options::overwrite_existing,
                                   error);
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
