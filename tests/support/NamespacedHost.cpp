#include "support/NamespacedHost.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

namespace hwtest {

namespace {

// A value line of the settings text, where a ";" inside a text is doubled.
std::string Value(const std::string& name, char type, const std::string& value) {
    std::string line = name + "\t=" + type + "\t";
    for (char c : value) {
        line += c == ';' ? std::string(";;") : std::string(1, c);
    }
    return line + ";\r\n";
}

}  // namespace

std::string SyslogPolicy(const std::vector<SyslogRule>& rules) {
    std::string text =
        "Host Warden test policy\r\n[\\];\r\n[\\config\\];\r\n" + Value("ScriptEnabled", 'B', "0") +
        "[\\Advanced\\];\r\n[\\Advanced\\Rules\\];\r\n[\\Advanced\\Rules\\SysLog Rules\\];\r\n";
    for (const SyslogRule& rule : rules) {
        const std::string key = "[\\Advanced\\Rules\\SysLog Rules\\" + rule.m_strName;
        text += key + "\\];\r\n" + Value("Enabled", 'B', rule.m_bEnabled ? "1" : "0") +
                Value("Priority", 'L', "2") + Value("Alert Type", 'S', "LoginEvent") +
                Value("Regular Expression", 'S', rule.m_strPattern) + key + "\\Info\\];\r\n";
        for (const auto& [name, value] : rule.m_Info) {
            text += Value(name, 'S', value);
        }
    }
    return text;
}

size_t CountOf(const std::string& text, const std::string& marker) {
    size_t count = 0;
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        ++count;
    }
    return count;
}

std::string WholeAlertDocuments(std::string xml) {
    // Values are escaped: neither tag occurs inside a document's text.
    static const std::string kStart = "<event ";
    const size_t lastStart = xml.rfind(kStart);
    const size_t lastEnd = xml.rfind("</event>\n");
    if (lastStart != std::string::npos && (lastEnd == std::string::npos || lastEnd < lastStart)) {
        xml.resize(lastStart);
        return xml;
    }
    // A document whose first bytes only are written yet.
    const size_t wholeEnd = lastEnd == std::string::npos ? 0 : lastEnd + 9;
    for (size_t n = std::min(kStart.size() - 1, xml.size() - wholeEnd); n > 0; --n) {
        if (xml.compare(xml.size() - n, n, kStart, 0, n) == 0) {
            xml.resize(xml.size() - n);
            break;
        }
    }
    return xml;
}

GrowingFileCount::GrowingFileCount(std::string path, std::string marker)
    : m_path(std::move(path)), m_marker(std::move(marker)) {}

size_t GrowingFileCount::Count() {
    if (m_bShrunk || m_marker.empty()) {
        return m_count;
    }
    // unchecked: the tests' own reader; it opens without waiting and reads regular files only
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return m_count;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return m_count;
    }
    if (static_cast<uint64_t>(info.st_size) < m_qwOffset) {
        m_bShrunk = true;
        ::close(fd);
        return m_count;
    }
    std::string buffer;
    std::vector<char> chunk(1 << 20);
    for (;;) {
        const ssize_t got = ::pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(m_qwOffset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        m_qwOffset += static_cast<uint64_t>(got);
        buffer.assign(m_tail);
        buffer.append(chunk.data(), static_cast<size_t>(got));
        size_t resume = 0;
        for (size_t at = buffer.find(m_marker); at != std::string::npos; at = buffer.find(m_marker, resume)) {
            ++m_count;
            resume = at + m_marker.size();
        }
        // What may begin a marker the next bytes end, and no part of one
        // already counted.
        const size_t keep = std::min(m_marker.size() - 1, buffer.size() - std::min(buffer.size(), resume));
        m_tail.assign(buffer, buffer.size() - keep, keep);
    }
    ::close(fd);
    return m_count;
}

std::string AlertParam(const std::string& alerts, const std::string& name, size_t from) {
    const std::string start = "<param name='" + name + "' type='string' value='";
    size_t at = from == std::string::npos ? from : alerts.find(start, from);
    if (at == std::string::npos) {
        return "<absent>";
    }
    at += start.size();
    return alerts.substr(at, alerts.find('\'', at) - at);
}

NamespacedHost::~NamespacedHost() {
    int exitCode = 0;
    Stop(exitCode);
}

bool NamespacedHost::Start(const std::vector<std::string>& extraArguments,
                           const std::vector<std::string>& environment) {
    std::vector<std::string> argv = m_prefix;
    argv.insert(argv.end(), {std::string(HW_BINARY_DIR) + "/bin/hwhost", "run", "--root", m_root.Path(),
                             "--alerts", File("alerts.xml"), "--log", File("hwhost.log")});
    argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
    m_process.SetErrorFile(File("hwhost.err"));
    // A host of its own keeps its adapter locks apart, as a machine of its
    // own would: the hosts of tests that run side by side use adapters of
    // the same names, each in its own network.
    std::vector<std::string> withLocks = environment;
    if (std::none_of(environment.begin(), environment.end(),
                     [](const std::string& entry) { return entry.rfind("HW_LOCK_DIR=", 0) == 0; })) {
        withLocks.push_back("HW_LOCK_DIR=" + m_locks.Path());
    }
    // Without a namespace (not root) the host runs in the machine's own
    // network; tests that need fixed ports skip before they get here.
    // The error file is kept across starts of the same host.
    const std::string started = "hwhost: sensor started";
    const size_t before = CountOf(Errors(), started);
    if (!m_process.Start(m_network.IsReady() ? m_network.Enter(argv) : argv, File("hwhost.out"),
                         withLocks)) {
        return false;
    }
    WaitUntil([&] { return CountOf(Errors(), started) > before || !IsRunning(); }, 60);
    return IsRunning();
}

bool NamespacedHost::Reload(const std::string& policy) {
    const std::string done = "hwhost: reload completed with status 1";
    const size_t before = CountOf(Log(), done);
    WritePolicy(policy, "push.policy");
    Signal(SIGHUP);
    WaitUntil([&] { return CountOf(Log(), done) > before || !IsRunning(); }, 120);
    return IsRunning() && CountOf(Log(), done) > before;
}

int NamespacedHost::Push(const std::string& policy, std::string& output) {
    const std::string file = File("pushed-" + std::to_string(++m_nPushes) + ".policy");
    WriteWholeFile(file, policy);
    ChildProcess push;
    const std::string out = file + ".out";
    int exitCode = -1;
    if (!push.Start({std::string(HW_BINARY_DIR) + "/bin/hwhost", "push", "--root", m_root.Path(),
                     "--wait", "120", file},
                    out) ||
        !push.Wait(180, exitCode)) {
        exitCode = -1;
    }
    output = ReadWholeFile(out);
    return exitCode;
}

bool NamespacedHost::SyslogPortOpen() const {
    const std::string table =
        ReadWholeFile("/proc/" + std::to_string(m_network.HolderPid()) + "/net/udp");
    return table.find(":0202 ") != std::string::npos;
}

bool NamespacedHost::Stop(int& exitCode) {
    if (Pid() <= 0) {
        return false;
    }
    if (m_process.IsRunning()) {
        ::kill(Pid(), SIGTERM);
    }
    return m_process.Wait(120, exitCode);
}

void NamespacedHost::Signal(int signal) const {
    ::kill(Pid(), signal);
}

std::string NamespacedHost::ErrorsTail() const {
    const std::string errors = Errors();
    return errors.substr(errors.size() - std::min<size_t>(errors.size(), 4000));
}

std::string NamespacedHost::LogTail() const {
    const std::string log = Log();
    return log.substr(log.size() - std::min<size_t>(log.size(), 8000));
}

bool NamespacedHost::SendDatagrams(const std::function<bool(std::string&)>& next) const {
    bool bAllSent = false;
    std::thread sender([&] {
        const int sock = ConnectUdpInNamespaceOf(m_network.HolderPid(), 514);
        bAllSent = sock >= 0;
        std::string datagram;
        while (sock >= 0 && next(datagram)) {
            ssize_t sent = -1;
            while ((sent = ::send(sock, datagram.data(), datagram.size(), 0)) < 0 &&
                   (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)) {
            }
            bAllSent = bAllSent && sent == static_cast<ssize_t>(datagram.size());
        }
        if (sock >= 0) {
            ::close(sock);
        }
    });
    sender.join();
    return bAllSent;
}

bool NamespacedHost::SendDatagram(const std::string& bytes) const {
    bool bDone = false;
    return SendDatagrams([&](std::string& datagram) {
        datagram = bytes;
        return !std::exchange(bDone, true);
    });
}

DatagramStream::DatagramStream(const NamespacedHost& host, const std::string& prefix)
    : m_thread([this, &host, prefix] {
          uint64_t n = 0;
          host.SendDatagrams([&](std::string& text) {
              text = prefix + std::to_string(n);
              if (++n % 32 == 0) {
                  std::this_thread::sleep_for(std::chrono::microseconds(500));
              }
              return !m_bStop;
          });
      }) {}

DatagramStream::DatagramStream(const NamespacedHost& host, const std::string& prefix,
                               std::chrono::microseconds interval, const std::string& suffix)
    : m_thread([this, &host, prefix, interval, suffix] {
          auto next = std::chrono::steady_clock::now();
          const LogClock clock;
          m_bAllSent = host.SendDatagrams([&](std::string& text) {
              if (m_bStop) {
                  return false;
              }
              std::this_thread::sleep_until(next += interval);
              text = prefix + std::to_string(m_qwSent + 1) + suffix;
              // Taken just before the datagram goes: it is sent no earlier.
              m_sentAt.push_back(clock.Now());
              ++m_qwSent;
              return true;
          });
      }) {}

void DatagramStream::Stop() {
    m_bStop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool NamespacedHost::RunInside(const std::vector<std::string>& argv, const std::string& input) {
    ChildProcess program;
    if (!program.Start(m_network.Enter(argv), File("tool.out"), {}, !input.empty())) {
        return false;
    }
    if (!input.empty()) {
        program.WriteStdin(input);
        program.CloseStdin();
    }
    int exitCode = -1;
    return program.Wait(30, exitCode) && exitCode == 0;
}

}  // namespace hwtest
