#include "MailOutbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "HostServices.h"
#include "MailText.h"
#include "platform/OwnFiles.h"
#include "platform/Refusal.h"
#include "qorToolsLib/CountText.h"

#define OUTBOX_LOG(level, ...)                                                                  \
    do {                                                                                        \
        if (m_pServices != nullptr) {                                                           \
            m_pServices->Log(nullptr, kCSFLogCategory, (level), __LINE__, __FILE__, __VA_ARGS__); \
        }                                                                                       \
    } while (false)

namespace {

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string MailFile(const std::string& to, const std::string& subject, const std::string& body) {
    return "To: " + MailHeaderValue(to, 2) + "\nSubject: " + MailHeaderValue(subject, 7) + "\n" +
           MailBodyPart(body);
}

}  // namespace

MailOutbox::MailOutbox(std::string directory, HostServices* pServices)
    : m_directory(std::move(directory)),
      m_pServices(pServices),
      m_waitingBound(pServices, "mail outbox " + m_directory,
                     "at most " + std::to_string(kMaxWaiting) + " mails or " + BoundSizeText(kMaxWaitingBytes) +
                         " waiting while it cannot be written",
                     "mails") {}

MailOutbox::~MailOutbox() { Stop(); }

std::string MailOutbox::NextName() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    char name[96];
    // The process id keeps two hosts, or two runs within a second, apart.
    std::snprintf(name, sizeof name, "%s-%ld-%06u", stamp, static_cast<long>(::getpid()),
                  m_dwSequence.fetch_add(1) + 1);
    return name;
}

bool MailOutbox::Write(const std::string& to, const std::string& subject, const std::string& body,
                       std::string& path, std::string& error) {
    std::string problem;
    // The caller says what becomes of the mail.
    if (!plat::MakeOwnFolders(m_directory, &problem)) {
        error = plat::ReasonWithoutInstead(m_directory, problem, "cannot create ");
        return false;
    }
    const std::string name = NextName();
    const std::string temporary = m_directory + "/." + name + ".tmp";
    path = m_directory + "/" + name + ".mail";
    int fd = plat::OpenOwnFile(temporary, O_WRONLY | O_CREAT | O_EXCL, 0640, &problem);
    if (fd < 0) {
        error = plat::ReasonWithoutInstead(temporary, problem, "cannot create ");
        return false;
    }
    bool bWritten = WriteAll(fd, MailFile(to, subject, body));
    int nWriteError = errno;
    if (::close(fd) != 0 && bWritten) {
        bWritten = false;
        nWriteError = errno;
    }
    if (!bWritten || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(bWritten ? errno : nWriteError);
        ::unlink(temporary.c_str());
        return false;
    }
    m_qwWritten.fetch_add(1);
    return true;
}

MailOutbox::Result MailOutbox::Deliver(const std::string& to, const std::string& subject,
                                       const std::string& body, std::string& path,
                                       std::string& error) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_waiting.empty()) {
            error = "earlier mails wait for the outbox";
        }
    }
    if (!error.empty() || !Write(to, subject, body, path, error)) {
        std::unique_lock<std::mutex> guard(m_lock);
        if (m_bStopping) {
            guard.unlock();
            Drop(subject, "the outbox has stopped");
            return Result::kDropped;
        }
        WaitingMail mail{to, subject, body, std::chrono::steady_clock::now()};
        if (m_waiting.size() >= kMaxWaiting || m_waitingBytes + mail.Bytes() > kMaxWaitingBytes) {
            guard.unlock();
            m_qwDropped.fetch_add(1);
            m_waitingBound.LeftOut();
            return Result::kDropped;
        }
        m_waitingBytes += mail.Bytes();
        m_waiting.push_back(std::move(mail));
        if (!m_retry.joinable() && !m_bStopping) {
            m_retry = std::thread([this] { RetryThread(); });
        }
        return Result::kWaiting;
    }
    return Result::kWritten;
}

bool MailOutbox::RetryWaiting() {
    for (;;) {
        const WaitingMail* pMail = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_waiting.empty()) {
                return true;
            }
            // Only this thread (or Stop, after it) takes mails off the front.
            pMail = &m_waiting.front();
        }
        std::string path;
        std::string error;
        if (!Write(pMail->m_strTo, pMail->m_strSubject, pMail->m_strBody, path, error)) {
            return false;
        }
        const auto late = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - pMail->m_since);
        m_qwLate.fetch_add(1);
        OUTBOX_LOG(kCSFLogWarning, "hwhost: e-mail \"%s\" written %lld s late to %s",
                   pMail->m_strSubject.c_str(), static_cast<long long>(late.count()), path.c_str());
        std::lock_guard<std::mutex> guard(m_lock);
        m_waitingBytes -= m_waiting.front().Bytes();
        m_waiting.pop_front();
    }
}

void MailOutbox::RetryThread() {
    std::unique_lock<std::mutex> guard(m_lock);
    while (!m_bStopping) {
        m_wake.wait_for(guard, kRetryInterval, [this] { return m_bStopping; });
        if (m_bStopping) {
            break;
        }
        if (m_waiting.empty()) {
            continue;
        }
        guard.unlock();
        RetryWaiting();
        guard.lock();
    }
}

void MailOutbox::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bStopping = true;
    }
    m_wake.notify_all();
    if (m_retry.joinable()) {
        m_retry.join();
    }
    if (RetryWaiting()) {
        return;
    }
    std::deque<WaitingMail> lost;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        lost.swap(m_waiting);
        m_waitingBytes = 0;
    }
    m_qwDropped.fetch_add(lost.size());
    OUTBOX_LOG(kCSFLogError | kCSFLogConsoleFlag, "hwhost: %s could not be written to %s before the stop and %s lost",
               CountText(lost.size(), "e-mail", "e-mails").c_str(), m_directory.c_str(),
               lost.size() == 1 ? "is" : "are");
}

void MailOutbox::Drop(const std::string& subject, const char* pszWhy) {
    const uint64_t qwDropped = m_qwDropped.fetch_add(1) + 1;
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_dropReports.Allow(ReportLimiter::Clock::now())) {
        return;
    }
    // A mail lost is a response not carried out: said on the console too,
    // at most once a minute.
    OUTBOX_LOG(kCSFLogError | kCSFLogConsoleFlag,
               "hwhost: e-mail \"%s\" dropped: %s (%llu dropped since the last report)",
               subject.c_str(), pszWhy,
               static_cast<unsigned long long>(qwDropped - m_qwDropsReported));
    m_qwDropsReported = qwDropped;
}

size_t MailOutbox::Waiting() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_waiting.size();
}

#undef OUTBOX_LOG
