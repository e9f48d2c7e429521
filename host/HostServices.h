#pragma once
// The host's services object: a logger that takes lines from every thread
// of the plug-in and writes each as one whole line with its time, level,
// call-site tag, source file and line; notices go to the same file.  It also
// keeps the detector policy events the plug-in registers.

#include <cstdint>
#include <mutex>
#include <string>

#include "PolicyEventMap.h"
#include "hostwarden/ICSFHostServices.h"

class HostServices final : public ICSFHostServices {
public:
    HostServices();
    ~HostServices();
    HostServices(const HostServices&) = delete;
    HostServices& operator=(const HostServices&) = delete;

    // Opens (creating its folder when needed) the log file lines are
    // appended to.  False when it cannot be opened; lines are then dropped.
    bool Open(const std::string& path);
    void Close();

    uint32_t Notice(uint32_t dwKind, const char* pszFormat, ...) override
        __attribute__((format(printf, 3, 4)));
    void Log(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine, const char* pszFile,
             const char* pszFormat, ...) override __attribute__((format(printf, 7, 8)));
    void LogV(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine, const char* pszFile,
              const char* pszFormat, va_list args) override;
    uint32_t RegisterDetectorPolicyEvent(const char* pszName,
                                         IPolicyEventInterface* pEvent) override;

    // "ERROR", "WARNING", "NOTICE", "INFO", "TRACE", or "LEVEL <n>".
    static std::string LevelName(uint32_t dwLevel);

    uint64_t LinesWritten() const;
    size_t DetectorEventCount() const;

private:
    void WriteLine(const std::string& line);

    mutable std::mutex m_lock;
    int m_nFd = -1;
    uint64_t m_qwLines = 0;
    PolicyEventMap m_detectorEvents;
};
