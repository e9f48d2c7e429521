#include "MailOutbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace {

std::string HeaderValue(const std::string& value) {
    std::string text = value;
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return text;
}

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

}  // namespace

MailOutbox::MailOutbox(std::string directory) : m_directory(std::move(directory)) {}

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
    std::error_code failure;
    std::filesystem::create_directories(m_directory, failure);
    if (failure) {
        error = "cannot create " + m_directory + ": " + failure.message();
        return false;
    }
    const std::string name = NextName();
    const std::string temporary = m_directory + "/." + name + ".tmp";
    path = m_directory + "/" + name + ".mail";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const std::string message =
        "To: " + HeaderValue(to) + "\nSubject: " + HeaderValue(subject) + "\n\n" + body;
    bool bWritten = WriteAll(fd, message);
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
    return true;
}
