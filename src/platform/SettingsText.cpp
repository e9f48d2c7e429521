#include "platform/SettingsText.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>

namespace plat {

void TrimSettingsLeft(std::string& text) {
    size_t start = 0;
    while (start < text.size() && IsSettingsSpace(text[start])) {
        ++start;
    }
    text.erase(0, start);
}

void TrimSettingsRight(std::string& text) {
    size_t end = text.size();
    while (end > 0 && IsSettingsSpace(text[end - 1])) {
        --end;
    }
    text.resize(end);
}

void TrimSettings(std::string& text) {
    TrimSettingsRight(text);
    TrimSettingsLeft(text);
}

bool ReadSettingsLine(std::istream& in, std::string& line) {
    line.clear();
    std::string piece;
    for (;;) {
        if (!std::getline(in, piece, ';')) {
            return false;
        }
        line += piece;
        if (in.peek() != ';') {
            return true;
        }
        in.get();
        line += ';';
    }
}

bool SplitSettingsValueLine(const std::string& line, std::string& name, char& letter,
                            std::string& text, std::string* pWritten) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
        return false;
    }
    name.assign(line, 0, equals);
    TrimSettings(name);
    if (name.empty()) {
        return false;
    }
    letter = equals + 1 < line.size() ? line[equals + 1] : '\0';
    if (equals + 2 < line.size()) {
        text.assign(line, equals + 2, std::string::npos);
    } else {
        text.clear();
    }
    if (pWritten != nullptr) {
        pWritten->clear();
    }
    // The tab after the type letter belongs to the value only for "key",
    // whose text is kept exactly as written.
    if (name != "key") {
        const size_t before = text.size();
        const bool bSeparated = !text.empty() && IsSettingsSpace(text[0]);
        if (pWritten != nullptr) {
            pWritten->assign(text, bSeparated ? 1 : 0, std::string::npos);
        }
        TrimSettings(text);
        if (pWritten != nullptr && text.size() + (bSeparated ? 1 : 0) == before) {
            pWritten->clear();
        }
    }
    return true;
}

int32_t ParseSettingsLong(const std::string& text) {
    long long value = std::strtoll(text.c_str(), nullptr, 0);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

bool ParseSettingsBool(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10) != 0;
}

void ReadSettingsText(std::string text, SettingsFirstLine mode, std::string* header,
                      SettingsTextHandler& handler) {
    std::istringstream in(std::move(text));
    std::string first;
    std::getline(in, first, '\n');
    // The line the next logical line begins on.
    size_t lineNumber = in.eof() ? 1 : 2;
    in.clear();
    if (header != nullptr) {
        header->clear();
    }
    if (mode == SettingsFirstLine::kHeaderUnlessSection) {
        if (first.find('[') != std::string::npos) {
            in.seekg(0);
            lineNumber = 1;
        } else if (header != nullptr) {
            *header = std::move(first);
        }
    }
    std::string line;
    std::string trimmed;
    while (ReadSettingsLine(in, line)) {
        const size_t lineStart = lineNumber;
        lineNumber += static_cast<size_t>(std::count(line.begin(), line.end(), '\n'));
        const size_t bracket = line.find('[');
        if (bracket != std::string::npos) {
            trimmed = line;
            TrimSettings(trimmed);
            if (trimmed[0] == '[') {
                const size_t sectionLine =
                    lineStart + static_cast<size_t>(std::count(line.begin(), line.begin() + bracket, '\n'));
                if (!handler.OnSectionAt(trimmed, sectionLine)) {
                    return;
                }
                continue;
            }
        }
        handler.OnValueLine(line);
    }
}

namespace {

// The checker's view of one text: it reports faults by line and walks the
// logical lines with their positions, which the line reader does not keep.
//
// What the writer can make decides what passes: an optional title line
// (any text without a line feed or "["), then section lines each followed
// by value lines, every line ended by ";" and a line feed.  A text value
// may hold anything but NUL, with each ";" doubled, so the lines inside a
// multi-line text may read like section or value lines of their own and
// are taken as text.  A cut is still told apart by what the writer never
// leaves: a last line without its ";", a file ending right after a ";" or
// between the carriage return and the line feed that follow it, a title
// with nothing after it, no first line end at all.
class SettingsTextChecker {
public:
    SettingsTextChecker(std::string_view text, SettingsTextProblem& problem)
        : m_text(text), m_problem(problem) {}

    bool Check(SettingsFirstLine mode) {
        size_t nul = m_text.find('\0');
        if (nul != std::string_view::npos) {
            return Fail(nul, "holds a NUL byte: it is not a settings text");
        }
        size_t pos = 0;
        if (!SkipFirstLine(mode, pos)) {
            return false;
        }
        bool blankAfterTitle = true;
        while (pos < m_text.size()) {
            size_t end = 0;
            bool terminated = FindLineEnd(pos, end);
            std::string_view raw = m_text.substr(pos, end - pos);
            size_t first = FirstNonSpace(raw);
            if (first != std::string_view::npos) {
                blankAfterTitle = false;
                size_t at = pos + first;
                if (!terminated) {
                    return Fail(at, "the last line is not ended by \";\": the file is cut short");
                }
                if (!CheckLine(Unescape(raw), at)) {
                    return false;
                }
            }
            pos = terminated ? end + 1 : m_text.size();
        }
        if (!m_bSawSection && !m_bRootFirst) {
            return Fail(std::string_view::npos,
                        m_text.empty()                   ? "is empty"
                        : blankAfterTitle && m_bHasTitle ? "holds nothing but its title line"
                                                         : "holds no section line");
        }
        // The writer ends every line with a line feed (a carriage return and
        // a line feed on disk), so a text that stops right after a ";" or
        // between the two was cut there, whatever it held before.
        std::string_view tail = m_text.substr(m_text.size() - std::min<size_t>(m_text.size(), 2));
        if (tail.ends_with(';') || tail == ";\r") {
            return Fail(m_text.rfind(';'), "the file ends right after a \";\", without the "
                                           "line end that follows it: it is cut short");
        }
        return true;
    }

private:
    bool SkipFirstLine(SettingsFirstLine mode, size_t& pos) {
        size_t lf = m_text.find('\n');
        size_t next = lf == std::string_view::npos ? m_text.size() : lf + 1;
        std::string_view first = m_text.substr(0, next);
        if (mode == SettingsFirstLine::kSkip) {
            // A merge never reads the first line, which the writer always
            // ends: the title, or the section line of the key written.
            // Values that follow the key's own section line belong to it.
            if (lf == std::string_view::npos) {
                return Fail(m_text.empty() ? std::string_view::npos : 0,
                            m_text.empty() ? "is empty"
                                           : "its first line is not ended: the file is cut short");
            }
            std::string line(first);
            TrimSettings(line);
            m_bRootFirst = line == "[\\];";
            m_bHasTitle = line.find('[') == std::string::npos;
            pos = next;
            return true;
        }
        if (first.find('[') != std::string_view::npos) {
            if (m_text.substr(0, 3) == "\xEF\xBB\xBF") {
                return Fail(0, "begins with a byte-order mark, which is not part of the format");
            }
            pos = 0;
            return true;
        }
        // Any first line without "[" is the title, as the reader takes it,
        // whatever it holds ("Format=2;" included): the writer writes the
        // store's title there as it is.
        std::string title(first);
        TrimSettings(title);
        m_bHasTitle = !title.empty() || lf != std::string_view::npos;
        pos = next;
        return true;
    }

    // The end of the logical line that begins at `pos`: the index of its
    // single ";" (true), or the end of the text (false).
    bool FindLineEnd(size_t pos, size_t& end) const {
        for (;;) {
            size_t semi = m_text.find(';', pos);
            if (semi == std::string_view::npos) {
                end = m_text.size();
                return false;
            }
            if (semi + 1 < m_text.size() && m_text[semi + 1] == ';') {
                pos = semi + 2;
                continue;
            }
            end = semi;
            return true;
        }
    }

    static size_t FirstNonSpace(std::string_view raw) {
        for (size_t i = 0; i < raw.size(); ++i) {
            if (!IsSettingsSpace(raw[i])) {
                return i;
            }
        }
        return std::string_view::npos;
    }

    static std::string Unescape(std::string_view raw) {
        std::string line;
        line.reserve(raw.size());
        for (size_t i = 0; i < raw.size(); ++i) {
            line += raw[i];
            if (raw[i] == ';' && i + 1 < raw.size() && raw[i + 1] == ';') {
                ++i;
            }
        }
        return line;
    }

    bool CheckLine(const std::string& line, size_t at) {
        std::string trimmed = line;
        TrimSettings(trimmed);
        if (trimmed[0] == '[') {
            return CheckSection(trimmed, at);
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            return Fail(at, "the line is neither a section nor a value (it has no \"=\")");
        }
        if (!m_bSawSection && !m_bRootFirst) {
            return Fail(at, "a value comes before the first section line");
        }
        std::string name = line.substr(0, equals);
        TrimSettings(name);
        if (name.empty()) {
            return Fail(at, "a value has no name");
        }
        if (name.find('\n') != std::string::npos) {
            return Fail(at, "a line break inside a value's name: a \";\" is missing before it");
        }
        if (name.find_first_of("[;") != std::string::npos) {
            return Fail(at, "the value name \"" + name + "\" holds \"[\" or \";\"");
        }
        char letter = equals + 1 < line.size() ? line[equals + 1] : '\0';
        if (letter != 'S' && letter != 'L' && letter != 'B' && letter != 'P') {
            return Fail(at, "the value \"" + name + "\" has no type letter S, L, B or P");
        }
        if (equals + 2 < line.size() && !IsSettingsSpace(line[equals + 2])) {
            return Fail(at, "the type letter of \"" + name + "\" is not followed by a tab");
        }
        std::string text = equals + 2 < line.size() ? line.substr(equals + 2) : std::string();
        if (name != "key") {
            TrimSettings(text);
        }
        return CheckValueText(name, letter, text, at);
    }

    bool CheckSection(const std::string& trimmed, size_t at) {
        if (trimmed.size() < 2 || trimmed.back() != ']') {
            return Fail(at, "a section line is not closed by \"]\"");
        }
        std::string_view inner(trimmed);
        inner = inner.substr(1, inner.size() - 2);
        // No key name holds these, so the writer never escapes them.
        if (inner.find_first_of("[;\n") != std::string_view::npos) {
            return Fail(at, "a section line holds a line break, \";\" or a second \"[\"");
        }
        m_bSawSection = true;
        return true;
    }

    bool CheckValueText(const std::string& name, char letter, const std::string& text, size_t at) {
        if (letter == 'L' || letter == 'B') {
            if (!IsWholeNumber(text, letter == 'L' ? 0 : 10)) {
                return Fail(at, "the value of \"" + name + "\" is not a number");
            }
            return true;
        }
        // A text (and a pointer's text) may go on over several lines and
        // hold anything there; its ";" are doubled, so its line end is its
        // own single ";".
        return true;
    }

    // White space around the number is what the reader skips too.
    static bool IsWholeNumber(std::string text, int base) {
        TrimSettings(text);
        if (text.empty()) {
            return false;
        }
        const char* begin = text.c_str();
        char* end = nullptr;
        (void)std::strtoll(begin, &end, base);
        return end != begin && *end == '\0';
    }

    bool Fail(size_t pos, std::string reason) {
        m_problem.m_nLine = 0;
        if (pos != std::string_view::npos) {
            m_problem.m_nLine = 1;
            for (size_t i = 0; i < pos && i < m_text.size(); ++i) {
                m_problem.m_nLine += m_text[i] == '\n' ? 1 : 0;
            }
        }
        m_problem.m_strReason = std::move(reason);
        return false;
    }

    std::string_view m_text;
    SettingsTextProblem& m_problem;
    bool m_bSawSection = false;
    bool m_bHasTitle = false;
    // A merge whose skipped first line is the written key's own section
    // line: the values before the next section line are that key's.
    bool m_bRootFirst = false;
};

}  // namespace

bool CheckSettingsText(std::string_view text, SettingsFirstLine mode,
                       SettingsTextProblem& problem) {
    problem = SettingsTextProblem();
    return SettingsTextChecker(text, problem).Check(mode);
}

std::string DescribeSettingsProblem(const SettingsTextProblem& problem) {
    if (problem.m_nLine == 0) {
        return problem.m_strReason;
    }
    return "line " + std::to_string(problem.m_nLine) + ": " + problem.m_strReason;
}

void AppendSettingsSection(std::string& out, std::string_view path) {
    out += '[';
    out += path;
    out += "];\n";
}

void AppendSettingsEscaped(std::string& out, std::string_view text) {
    for (;;) {
        size_t semi = text.find(';');
        if (semi == std::string_view::npos) {
            out += text;
            return;
        }
        out += text.substr(0, semi + 1);
        out += ';';
        text.remove_prefix(semi + 1);
    }
}

void AppendSettingsValue(std::string& out, std::string_view name, char letter,
                         std::string_view text, bool leadingTab, bool lineFeed) {
    if (leadingTab) {
        out += '\t';
    }
    out += name;
    out += "\t=";
    out += letter;
    out += '\t';
    AppendSettingsEscaped(out, text);
    out += ';';
    if (lineFeed) {
        out += '\n';
    }
}

void AppendDiskText(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size() + text.size() / 16);
    for (;;) {
        size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            out += text;
            return;
        }
        out += text.substr(0, lf);
        out += "\r\n";
        text.remove_prefix(lf + 1);
    }
}

void StripDiskText(std::string& text) {
    size_t write = 0;
    for (size_t read = 0; read < text.size(); ++read) {
        if (text[read] == '\r' && read + 1 < text.size() && text[read + 1] == '\n') {
            continue;
        }
        text[write++] = text[read];
    }
    text.resize(write);
}

}  // namespace plat
