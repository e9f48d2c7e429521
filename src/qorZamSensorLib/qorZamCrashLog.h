#pragma once
// The signature module's own diagnostic lines, kept in a plain file so that
// what the module said before a failure survives the process.  Opening
// keeps the previous run's file as "<name>.bak".  Lines come from whichever
// slave thread is inside the module; each line is written whole under the
// log's lock.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "qorToolsLib/qorLogSinks.h"

class qorZamCrashLog : public qorLogFileSink {
public:
    static constexpr size_t kLineBuffer = 1024;

    // The process's log, made on the first call.
    static qorZamCrashLog* GetInstance();

    qorZamCrashLog();
    ~qorZamCrashLog() override;

    uint32_t Open(const char* path, bool append) override;
    // Writes one line and "\r\n" as one locked write.
    uint32_t Write(const char* text) override;
    uint32_t Close() override;

    // Closes any open file, copies a non-empty existing file to
    // "<name>.bak" and opens the file afresh; false for an empty name or a
    // failed open.
    bool OpenWithBackup(const std::string& strFileName);
    // Why the last OpenWithBackup made no backup of a non-empty old file,
    // in words; empty when it made one or had none to make.
    const std::string& GetBackupProblem() const { return m_strBackupProblem; }

    // Each writes one formatted line; false when the log is not open or the
    // write fails.  The two leading words of the last two forms are not used.
    bool Print(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
    bool VPrint(const char* pszFormat, va_list args) __attribute__((format(printf, 2, 0)));
    bool Print(uint32_t dwFirst, uint32_t dwSecond, const char* pszFormat, ...)
        __attribute__((format(printf, 4, 5)));
    bool VPrint(uint32_t dwFirst, uint32_t dwSecond, const char* pszFormat, va_list args)
        __attribute__((format(printf, 4, 0)));

    bool IsOpen() const;
    const std::string& GetName() const { return m_strFileName; }

protected:
    // The line into the 1,024-byte buffer: a line of 1,024 characters or
    // more is cut to 1,020 followed by ">>>".
    virtual void FormatLine(char (&szLine)[kLineBuffer], const char* pszFormat, va_list args)
        __attribute__((format(printf, 3, 0)));

private:
    // Recursive: the sink's Open closes through the virtual Close.
    mutable std::recursive_mutex m_Lock;
    bool m_bOpen = false;
    std::string m_strFileName;
    std::string m_strBackupProblem;
};
