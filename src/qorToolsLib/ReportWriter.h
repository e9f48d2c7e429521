#pragma once
// A cursor over a fixed report buffer: every write is cut to the room
// left, the text always stays terminated, and the caller's room count
// follows what was written.

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

class ReportWriter {
public:
    ReportWriter(char* buffer, size_t& room) : m_pos(buffer), m_room(room) {
        if (m_room != 0)
            *m_pos = '\0';
    }

    // Returns how many characters went in.
    size_t Printf(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (m_room <= 1) {
            return 0;
        }
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(m_pos, m_room, format, args);
        va_end(args);
        size_t written = n < 0 ? 0 : std::min(static_cast<size_t>(n), m_room - 1);
        m_pos += written;
        m_room -= written;
        return written;
    }

    char* Position() const { return m_pos; }

private:
    char* m_pos;
    size_t& m_room;
};
