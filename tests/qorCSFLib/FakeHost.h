#pragma once
// Recording stand-ins for the host's objects, for tests that look at what
// the framework hands the host.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostwarden/ICSFAlertEvent.h"
#include "hostwarden/ICSFCommandRequest.h"
#include "hostwarden/ICSFHostServices.h"
#include "hostwarden/ILogTag.h"
#include "hostwarden/IPolicyContainer.h"
#include "hostwarden/IPolicyEventInterface.h"
#include "platform/Console.h"
#include "qorCSFLib/CSFSvcRequest.h"

// Owners for what a host destroys or releases.
struct AlertEventDestroyer {
    void operator()(ICSFAlertEvent* pEvent) const {
        if (pEvent != nullptr) {
            pEvent->Destroy();
        }
    }
};
using AlertEventPtr = std::unique_ptr<ICSFAlertEvent, AlertEventDestroyer>;
struct PolicyReleaser {
    void operator()(IPolicyContainer* pPolicy) const {
        if (pPolicy != nullptr) {
            pPolicy->Release();
        }
    }
};
using PolicyPtr = std::unique_ptr<IPolicyContainer, PolicyReleaser>;

struct LoggedLine {
    ILogTag* pTag;
    uint32_t dwCategory;
    uint32_t dwLevel;
    int nLine;
    std::string file;
    std::string text;
};

class RecordingServices : public ICSFHostServices {
public:
    uint32_t Notice(uint32_t dwKind, const char* pszFormat, ...) override {
        va_list args;
        va_start(args, pszFormat);
        std::string text = Format(pszFormat, args);
        va_end(args);
        std::lock_guard<std::mutex> guard(m_lock);
        m_notices.push_back(std::to_string(dwKind) + ":" + text);
        return 7;
    }
    void Log(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine, const char* pszFile,
             const char* pszFormat, ...) override {
        va_list args;
        va_start(args, pszFormat);
        LogV(pTag, dwCategory, dwLevel, nLine, pszFile, pszFormat, args);
        va_end(args);
    }
    void LogV(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine, const char* pszFile,
              const char* pszFormat, va_list args) override {
        LoggedLine line{pTag, dwCategory, dwLevel, nLine, pszFile, Format(pszFormat, args)};
        if ((dwLevel & kCSFLogConsoleFlag) != 0) {
            WriteConsoleCopy(dwLevel & ~kCSFLogConsoleFlag, line.text);
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(std::move(line));
    }
    // Keeps the detector events it is handed, as a host does, and answers
    // their number.
    uint32_t RegisterDetectorPolicyEvent(const char*, IPolicyEventInterface* pEvent) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_detectorEvents.emplace_back(pEvent);
        return 77;
    }

    std::vector<LoggedLine> Lines() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const LoggedLine& line : Lines()) {
            texts.push_back(line.text);
        }
        return texts;
    }
    // How many lines logged begin with `start`.
    size_t CountStartingWith(const std::string& start) {
        size_t count = 0;
        for (const std::string& text : Texts()) {
            count += text.rfind(start, 0) == 0 ? 1 : 0;
        }
        return count;
    }
    // Whether a line of exactly this text was logged.
    bool Logged(const std::string& text) {
        std::vector<std::string> texts = Texts();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
    std::vector<std::string> Notices() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_notices;
    }
    // The notices of what a stop lost (kCSFNoticeLostAtStop), as a host's
    // tally reads them: "Lost at the stop: 3 decoy connections ...".
    std::vector<std::string> LostAtStop() {
        const std::string strKind = std::to_string(kCSFNoticeLostAtStop) + ":";
        std::vector<std::string> lost;
        for (const std::string& strNotice : Notices()) {
            if (strNotice.rfind(strKind, 0) == 0) {
                lost.push_back(strNotice.substr(strKind.size()));
            }
        }
        return lost;
    }
    void Forget() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.clear();
        m_notices.clear();
    }

    struct EventReleaser {
        void operator()(IPolicyEventInterface* pEvent) const { pEvent->Release(); }
    };
    std::vector<std::unique_ptr<IPolicyEventInterface, EventReleaser>> m_detectorEvents;

private:
    // As hwhost writes it, so that what the operator reads can be checked
    // without it.
    static void WriteConsoleCopy(uint32_t dwLevel, std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        const char* pszLevel = dwLevel == kCSFLogError     ? "ERROR"
                               : dwLevel == kCSFLogWarning ? "WARNING"
                               : dwLevel == kCSFLogNotice  ? "NOTICE"
                               : dwLevel == kCSFLogInfo    ? "INFO"
                                                           : "TRACE";
        plat::ConsolePrintf("%s: %s\n", pszLevel, text.c_str());
    }

    static std::string Format(const char* pszFormat, va_list args) {
        char buffer[4096];
        std::vsnprintf(buffer, sizeof buffer, pszFormat, args);
        return buffer;
    }

    std::mutex m_lock;
    std::vector<LoggedLine> m_lines;
    std::vector<std::string> m_notices;
};

// Records the calls in order; copies the response buffer inside SetStatus,
// where the host has to take it.
class RecordingRequest : public ICSFCommandRequest {
public:
    void SetStatus(uint32_t dwStatus) override {
        m_calls.push_back("status " + std::to_string(dwStatus));
        m_response.assign(m_output.m_pData, m_output.m_pData + m_output.m_dwLength);
    }
    void SetStatusText(const char* pszText) override {
        m_calls.push_back(std::string("text ") + pszText);
    }
    uint8_t HasCmlPipe() override { return m_bPipe; }
    uint8_t** GetCmlInput() override { return &m_pInput; }
    CmlByteBuffer* GetCmlOutput() override { return &m_output; }
    uint32_t GetCmlCode() override { return m_dwCode; }
    void Complete() override { m_calls.push_back("complete"); }

    ~RecordingRequest() { m_output.Clear(); }

    std::vector<std::string> m_calls;
    std::vector<uint8_t> m_response;
    uint8_t m_bPipe = 1;
    uint8_t* m_pInput = nullptr;
    CmlByteBuffer m_output;
    uint32_t m_dwCode = 0;
};

// The host's logger for the scope of a test.
class ScopedHostLog {
public:
    ScopedHostLog() : m_pRequest(new CSFSvcRequest) { m_pRequest->SetServices(&m_Services); }
    ~ScopedHostLog() { m_pRequest->Release(); }
    ScopedHostLog(const ScopedHostLog&) = delete;
    ScopedHostLog& operator=(const ScopedHostLog&) = delete;

    bool Contains(const std::string& strText) { return m_Services.Logged(strText); }
    RecordingServices m_Services;

private:
    CSFSvcRequest* m_pRequest;
};
