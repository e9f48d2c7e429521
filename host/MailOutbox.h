#pragma once
// The folder hwhost leaves its e-mail in, one file per message, for a mail
// transport of the administrator's choice to pick up.  A file is written
// under a temporary name and renamed, so a reader never sees half of one.
//
// File layout: "To: <recipients>", "Subject: <subject>", the MIME lines
// the body needs (MailText.h: UTF-8, or quoted-printable for lines longer
// than a mail line may be), an empty line, then the body.  Header values and the body are made valid and safe by
// MailText: alert text cannot add header lines or reach a reader's terminal
// as commands.
//
// A mail that cannot be written (a full disk, a folder that cannot be
// made) is kept in memory and tried again every second, in order, until it
// is written: at most kMaxWaiting mails and kMaxWaitingBytes bytes wait;
// a mail beyond that, or still waiting at Stop, is dropped.  Each late
// mail is logged; the mails beyond the bound are said on the console and
// in the log at once and then once a minute (HostBound), and those lost at
// the stop there too; all of them are counted.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "HostBound.h"
#include "qorToolsLib/ReportLimiter.h"

class HostServices;

class MailOutbox {
public:
    static constexpr size_t kMaxWaiting = 1000;
    static constexpr size_t kMaxWaitingBytes = 16u << 20;
    static constexpr std::chrono::milliseconds kRetryInterval{1000};

    enum class Result { kWritten, kWaiting, kDropped };

    // `pServices` (may be null) receives the log lines of late and dropped
    // mails.
    explicit MailOutbox(std::string directory, HostServices* pServices = nullptr);
    // Stops as Stop does.
    ~MailOutbox();
    MailOutbox(const MailOutbox&) = delete;
    MailOutbox& operator=(const MailOutbox&) = delete;

    // Writes one message now, or keeps it for a later try behind the mails
    // already waiting.  `path` names the file written; `error` says why it
    // was not.
    Result Deliver(const std::string& to, const std::string& subject, const std::string& body,
                   std::string& path, std::string& error);

    // One attempt to write one message; false with `error` set.
    bool Write(const std::string& to, const std::string& subject, const std::string& body,
               std::string& path, std::string& error);

    // Tries the waiting mails once more, ends the retries and drops (and
    // reports) what still waits.  Later mails get one attempt each.
    void Stop();

    const std::string& Directory() const { return m_directory; }
    uint64_t Written() const { return m_qwWritten.load(); }
    uint64_t WrittenLate() const { return m_qwLate.load(); }
    uint64_t Dropped() const { return m_qwDropped.load(); }
    size_t Waiting() const;
    // The bound on the mails waiting, and what it left out.
    const HostBound& WaitingBound() const { return m_waitingBound; }

private:
    struct WaitingMail {
        std::string m_strTo;
        std::string m_strSubject;
        std::string m_strBody;
        std::chrono::steady_clock::time_point m_since;
        size_t Bytes() const { return m_strTo.size() + m_strSubject.size() + m_strBody.size(); }
    };

    std::string NextName();
    // Writes waiting mails from the front until one fails; true when none
    // waits any more.
    bool RetryWaiting();
    void RetryThread();
    void Drop(const std::string& subject, const char* pszWhy);

    std::string m_directory;
    HostServices* m_pServices;
    std::atomic<uint32_t> m_dwSequence{0};
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    // The front mail stays in the queue while it is written, so a new mail
    // cannot overtake it.
    std::deque<WaitingMail> m_waiting;
    size_t m_waitingBytes = 0;
    bool m_bStopping = false;
    std::thread m_retry;
    ReportLimiter m_dropReports;
    uint64_t m_qwDropsReported = 0;
    HostBound m_waitingBound;
    std::atomic<uint64_t> m_qwWritten{0};
    std::atomic<uint64_t> m_qwLate{0};
    std::atomic<uint64_t> m_qwDropped{0};
};
