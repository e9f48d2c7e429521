// Follows a real log file that arbitrary bytes are written to, in arbitrary
// pieces, with the file now and then truncated to nothing, reads its lines
// after every piece, and holds them to what the bytes written say the lines
// are: no line lost, doubled, glued to another or cut where it should not
// be.  Input layout: a run of records, each a length byte (0 truncates the
// file) and that many bytes to append.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "TextLogs/TextLogListener.h"
#include "platform/Console.h"
#include "platform/Files.h"

namespace {

[[noreturn]] void SetUpFailed(const char* what) {
    std::perror(what);
    std::abort();
}

// One file for the whole run, in a folder of its own: the listener reads it
// by its name as it reads any watched log.
const std::string& LogPath() {
    static const std::string path = [] {
        std::string folder = plat::TempDirectory() + "text_log_lines_fuzz.XXXXXX";
        if (::mkdtemp(folder.data()) == nullptr) {
            SetUpFailed("mkdtemp");
        }
        plat::SetConsoleSink([](std::string_view) {});
        static std::string remove = folder;
        std::atexit([] {
            ::unlink((remove + "/app.log").c_str());
            ::rmdir(remove.c_str());
        });
        return folder + "/app.log";
    }();
    return path;
}

// The lines a reader should hand out for the bytes written since the last
// truncation, as they come: a line up to its line feed without its line
// end (a carriage return right before the line feed goes too), a line of
// more than kLineMax bytes in pieces of kLineMax, an unfinished line held
// back until it reaches kLineMax.
class ExpectedLines {
public:
    void Append(const uint8_t* data, size_t count) { m_pending.append(reinterpret_cast<const char*>(data), count); }
    // The reader drops an unfinished line when the file is truncated.
    void Truncate() { m_pending.clear(); }
    // The next line now due, false when none is.
    bool Next(std::string& line) {
        constexpr size_t kMax = CTextLogListener::kLineMax;
        const size_t newline = m_pending.find('\n');
        size_t length = 0;
        if (newline != std::string::npos && newline + 1 <= kMax) {
            length = newline + 1;
        } else if (m_pending.size() >= kMax) {
            length = kMax;
        } else {
            return false;
        }
        line.assign(m_pending, 0, length);
        m_pending.erase(0, length);
        if (line.back() == '\n') {
            line.pop_back();
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
        }
        // The listener hands out a C text: it ends at a NUL byte.
        line.resize(std::strlen(line.c_str()));
        return true;
    }

private:
    std::string m_pending;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = LogPath();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        SetUpFailed("open");
    }
    CTextLogListener listener(path);
    if (!listener.Open(0)) {
        SetUpFailed("the listener's open");
    }
    ExpectedLines expected;
    std::string line;
    size_t at = 0;
    while (at < size) {
        const size_t length = data[at++];
        if (length == 0) {
            if (::ftruncate(fd, 0) != 0) {
                SetUpFailed("ftruncate");
            }
            expected.Truncate();
        } else {
            const size_t count = std::min(length, size - at);
            if (::write(fd, data + at, count) != static_cast<ssize_t>(count)) {
                SetUpFailed("write");
            }
            expected.Append(data + at, count);
            at += count;
        }
        while (const char* got = listener.ReadNextLine()) {
            if (!expected.Next(line) || line != got) {
                std::fprintf(stderr, "line read: \"%s\"\nline due: \"%s\"\n", got, line.c_str());
                std::abort();
            }
        }
        if (expected.Next(line)) {
            std::fprintf(stderr, "line due but not read: \"%s\"\n", line.c_str());
            std::abort();
        }
    }
    listener.Close();
    ::close(fd);
    return 0;
}
