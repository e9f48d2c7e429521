// Follows a real log file that arbitrary bytes are written to, in arbitrary
// pieces, with the file now and then truncated to nothing, reads its lines
// after every piece, and holds them to what the bytes written say the lines
// are: no line lost, doubled, glued to another or cut where it should not
// be, no byte of one (a NUL among them) left out.  Input layout: a run of records, each a length byte (0 truncates the
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
// end (a carriage return right before the line feed goes too), every byte
// of it but the NULs before it; a line of more than kLineMax bytes before
// its line end in pieces of kLineMax; an unfinished line held back until it
// is known to be longer than kLineMax.
class ExpectedLines {
public:
    void Append(const uint8_t* data, size_t count) { m_pending.append(reinterpret_cast<const char*>(data), count); }
    // The reader drops an unfinished line when the file is truncated.
    void Truncate() {
        m_pending.clear();
        m_inPieces = false;
    }
    // The next line now due, false when none is.
    bool Next(std::string& line) {
        constexpr size_t kMax = CTextLogListener::kLineMax;
        if (!m_inPieces) {
            // No line begins with NULs: they are what a hole leaves.
            m_pending.erase(0, std::min(m_pending.find_first_not_of('\0'), m_pending.size()));
        }
        const size_t newline = m_pending.find('\n');
        size_t length = 0;
        bool piece = false;
        if (newline != std::string::npos) {
            const size_t content = newline - (newline > 0 && m_pending[newline - 1] == '\r' ? 1 : 0);
            piece = content > kMax;
            length = piece ? kMax : newline + 1;
        } else if (m_pending.size() >= kMax + 2) {
            piece = true;
            length = kMax;
        } else {
            return false;
        }
        m_inPieces = piece;
        line.assign(m_pending, 0, length);
        m_pending.erase(0, length);
        if (!piece) {
            line.pop_back();
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
        }
        return true;
    }

private:
    std::string m_pending;
    bool m_inPieces = false;
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
        CTextLogListener::Line got;
        while (listener.ReadNextLine(got)) {
            if (!expected.Next(line) || line != got.m_Text) {
                std::fprintf(stderr, "line read: \"%.*s\" (%zu bytes)\nline due: \"%s\" (%zu bytes)\n",
                             static_cast<int>(got.m_Text.size()), got.m_Text.data(), got.m_Text.size(), line.c_str(),
                             line.size());
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
