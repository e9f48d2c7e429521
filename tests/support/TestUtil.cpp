#include "support/TestUtil.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace hwtest {

bool WaitUntil(const std::function<bool()>& condition, double seconds) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds));
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

double LogLineSeconds(const std::string& line) {
    int hours = 0;
    int minutes = 0;
    double seconds = 0;
    return std::sscanf(line.c_str(), "%*d-%*d-%*d %d:%d:%lf", &hours, &minutes, &seconds) == 3
               ? hours * 3600.0 + minutes * 60.0 + seconds
               : -1;
}

double LogSecondsBetween(double from, double to) {
    if (to >= from) {
        return to - from;
    }
    // Threads take a line's time before the log's lock, so a line may come
    // after one a few milliseconds later than its own: no time between them,
    // not a day less those milliseconds.  Only a time far behind is one past
    // midnight.
    if (from - to < 43200) {
        return 0;
    }
    return to + 86400 - from;
}

ScratchDirectory::ScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hwtest.XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
        m_path = pattern;
    }
}

ScratchDirectory::~ScratchDirectory() {
    if (!m_path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
}

EnvironmentOverride::EnvironmentOverride(const char* name, const char* value) : m_name(name) {
    const char* old = std::getenv(name);
    m_hadOld = old != nullptr;
    m_old = m_hadOld ? old : "";
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
}

EnvironmentOverride::~EnvironmentOverride() {
    if (m_hadOld) {
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

void StandInForDemoAuthLog(std::string& policy, const std::string& folder) {
    const std::string authLog = "/var/log/auth.log";
    const size_t at = policy.find(authLog);
    if (at == std::string::npos || ::access(authLog.c_str(), F_OK) == 0) {
        return;
    }
    WriteWholeFile(folder + "/auth.log", "");
    policy.replace(at, authLog.size(), folder + "/auth.log");
}

time_t SecondAfterNow() {
    return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) + 1;
}

std::string ReadWholeFile(const std::string& path) {
    // A test polls names another account or the host may have made
    // something else of: a FIFO there must not hold it until a writer comes
    // (which may never come), so nothing but a regular file is read.
    // unchecked: the tests' own reader; it opens without waiting and reads regular files only
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::string();
    }
    std::string text;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(got));
        }
    }
    ::close(fd);
    return text;
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

unsigned short FreeLoopbackPort(bool udp) {
    int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    unsigned short port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    dirs += ":/usr/sbin:/sbin";
    std::stringstream list(dirs);
    std::string dir;
    while (std::getline(list, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

std::string UnresolvableHost() { return std::string(64, 'x') + ".invalid"; }

std::vector<std::string> MailFiles(const std::string& folder) {
    std::vector<std::string> mails;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
        if (entry.path().extension() == ".mail") {
            mails.push_back(entry.path().string());
        }
    }
    std::sort(mails.begin(), mails.end());
    return mails;
}

}  // namespace hwtest
