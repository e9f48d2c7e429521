// Follows a log file that arbitrary bytes are written to, in arbitrary
// pieces, with the file now and then cut back to nothing, and reads its
// lines after every piece.  Input layout: a run of records, each a length
// byte (0 cuts the file back to nothing) and that many bytes to append.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "TextLogs/TextLogListener.h"
#include "platform/Console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        plat::SetConsoleSink([](std::string_view) {});
        return true;
    }();
    (void)quiet;
    const int fd = ::memfd_create("text_log_lines_fuzz", 0);
    if (fd < 0) {
        return 0;
    }
    CTextLogListener listener("/proc/self/fd/" + std::to_string(fd));
    if (!listener.Open(0)) {
        ::close(fd);
        return 0;
    }
    size_t at = 0;
    while (at < size) {
        const size_t length = data[at++];
        if (length == 0) {
            if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
                break;
            }
        } else {
            const size_t count = std::min(length, size - at);
            if (::write(fd, data + at, count) != static_cast<ssize_t>(count)) {
                break;
            }
            at += count;
        }
        while (const char* line = listener.ReadNextLine()) {
            // Every line fits the listener's room, NUL included.
            if (std::strlen(line) > static_cast<size_t>(CTextLogListener::kLineMax)) {
                std::abort();
            }
        }
    }
    listener.Close();
    ::close(fd);
    return 0;
}
