#pragma once
// The host's services object: a logger that takes lines from every thread
// of the plug-in and writes each as one whole line with its time, level,
// call-site tag, source file and line; notices go to the same file.  It also
// keeps the detector policy events the plug-in registers.
//
// A line whose level carries kCSFLogConsoleFlag is also written on the
// console, as the operator reads it: "<LEVEL>: <text>", without the time,
// the tag or the source position, which are the log's.
//
// A line is in the file whole or not at all: a write that falls short (a
// full disk) is cut back, and the lines lost are counted and reported once
// writing works again.  Bytes of a text that a terminal or log viewer could
// take for a command are written as "\xHH".  The file is opened again when
// it has been removed or renamed, and on Reopen (SIGHUP).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FollowedFile.h"
#include "PolicyEventMap.h"
#include "hostwarden/ICSFHostServices.h"

class HostServices final : public ICSFHostServices {
public:
    HostServices();
    ~HostServices();
    HostServices(const HostServices&) = delete;
    HostServices& operator=(const HostServices&) = delete;

    // Opens (creating its folder when needed) the log file lines are
    // appended to.  False when it cannot be opened (OpenProblem says why);
    // lines are then dropped.  A symbolic link or another account's file at
    // the path is refused (FollowedFile.h).
    bool Open(const std::string& path);
    // Opens the same path again, making its folder when it is gone: for a
    // log that was rotated or removed.  False when it cannot be opened; the
    // reason goes to the console.
    bool Reopen();
    void Close();
    // Why the log could not be opened the last time, or "".
    std::string OpenProblem() const;

    uint32_t Notice(uint32_t dwKind, const char* pszFormat, ...) override
        __attribute__((format(printf, 3, 4)));
    void Log(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine, const char* pszFile,
             const char* pszFormat, ...) override __attribute__((format(printf, 7, 8)));
    void LogV(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine, const char* pszFile,
              const char* pszFormat, va_list args) override;
    uint32_t RegisterDetectorPolicyEvent(const char* pszName,
                                         IPolicyEventInterface* pEvent) override;

    // An error or warning of a policy load, as "ERROR: <text>" or
    // "WARNING: <text>", and whether its console copy has been written.
    struct Finding {
        std::string m_strText;
        bool m_bOnConsole = false;
        bool operator==(const Finding& other) const = default;
    };

    // From BeginCapture to EndCapture the errors and warnings logged on
    // `thread` (the sensor's command thread) are also kept, so that what
    // one policy load said can be told to whoever asked for it.  At most
    // kMaxCaptured are kept; a last one says how many more there were.
    void BeginCapture(std::thread::id thread);
    std::vector<Finding> EndCapture();
    static constexpr size_t kMaxCaptured = 200;
    // An error or warning as a capture keeps it.
    static std::string FindingText(uint32_t dwLevel, const std::string& text);
    // A line as the console shows it.
    static std::string ConsoleLine(uint32_t dwLevel, const std::string& text);

    // "ERROR", "WARNING", "NOTICE", "INFO", "TRACE", or "LEVEL <n>".
    static std::string LevelName(uint32_t dwLevel);

    uint64_t LinesWritten() const;
    // Lines that could not be written (a full disk, no file).
    uint64_t LinesLost() const;
    size_t DetectorEventCount() const;

    // How often the path is looked at for a file renamed away under it.
    static constexpr std::chrono::milliseconds kPathCheckInterval =
        FollowedFile::kPathCheckInterval;

private:
    void WriteLine(const std::string& line);
    void Capture(uint32_t dwLevel, const std::string& text, bool bOnConsole);
    void NoteProblemLocked(bool bOpened, const std::string& problem);
    // Reopens when the open file was removed, or its path now names
    // another file or none.
    void FollowPathLocked();
    bool WriteWholeLocked(const std::string& line);

    mutable std::mutex m_lock;
    FollowedFile m_file;
    std::string m_strProblem;
    uint64_t m_qwLines = 0;
    uint64_t m_qwLost = 0;
    uint64_t m_qwLostReported = 0;
    PolicyEventMap m_detectorEvents;
    bool m_bCapturing = false;
    std::thread::id m_captureThread;
    std::vector<Finding> m_captured;
    size_t m_nNotCaptured = 0;
};
