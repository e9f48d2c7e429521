#pragma once
// The settings text format, at the level of lines: logical lines ended by a
// single ";" (";;" stands for one ";"), section lines "[path];", value lines
// "name<TAB>=<letter><TAB>text;", and the text-mode translation between the
// line feeds the format is written with and the CR LF pairs kept on disk.
//
// It lives in the platform layer because the platform's own registry is
// stored in this format; the settings store of the tool library builds its
// load, merge and save rules on the same pieces, so both read and write one
// format through one codec.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>

namespace plat {

// White space as the format trims it: space, tab, line feed, vertical tab,
// form feed, carriage return.
constexpr bool IsSettingsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void TrimSettingsLeft(std::string& text);
void TrimSettingsRight(std::string& text);
void TrimSettings(std::string& text);

// Reads one logical line into `line` (cleared first).  Answers false only
// when nothing at all could be read because the stream was at its end or
// failed; text after the last ";" of the input comes back as a last line.
bool ReadSettingsLine(std::istream& in, std::string& line);

// Splits a value line at its first "=": the trimmed name, the type letter
// that follows "=" (0 when there is none) and the text from the second
// character after "=", trimmed unless the name is "key".  False when the
// line has no "=" or the name is empty.  `pWritten`, when given, receives
// the text as written after the one blank that follows the letter when
// the trimming dropped blanks from it, and is emptied otherwise.
bool SplitSettingsValueLine(const std::string& line, std::string& name, char& letter,
                            std::string& text, std::string* pWritten = nullptr);

// Receives the lines of a settings text in order.
class SettingsTextHandler {
public:
    virtual ~SettingsTextHandler() = default;
    // A section line, trimmed, beginning with "[" (its ";" already taken
    // off).  Answering false ends the reading.
    virtual bool OnSection(const std::string& line) = 0;
    // The same, with the line of the text (1 for the first) where the
    // section line stands, for readers that say where a section is.
    virtual bool OnSectionAt(const std::string& line, size_t /*lineNumber*/) {
        return OnSection(line);
    }
    // Any other logical line, as read (not trimmed).
    virtual void OnValueLine(const std::string& line) = 0;
};

enum class SettingsFirstLine {
    kHeaderUnlessSection,  // the first line is a header unless it holds "["
    kSkip,                 // the first line is never data
};

// Reads a settings text that is already in line-feed form.  The first line
// (up to the first line feed) is handled as `mode` says; a header found is
// stored in `header` when it is not null (cleared when there is none).
void ReadSettingsText(std::string text, SettingsFirstLine mode, std::string* header,
                      SettingsTextHandler& handler);

// Why a settings text does not parse whole, and where.
struct SettingsTextProblem {
    // The line of the text (1 for the first) where the fault begins; 0 when
    // it concerns the text as a whole.
    size_t m_nLine = 0;
    std::string m_strReason;
};

// Checks that a settings text (already in line-feed form) parses whole, as
// a file that must be taken completely or not at all is checked before it
// is read: every logical line is blank, a section line "[...]" or a value
// line "name<TAB>=<S|L|B|P><TAB>text" whose text suits its letter; the
// last one is ended by ";" and the line end after it; no value comes
// before the first section line read (a merge skips the first line: when
// that is the root's own "[\];", the values after it are the root's, and
// nothing more need follow); there is no NUL byte.  The first line is
// handled as `mode` says, as the readers do.  Every text the settings
// writer produces from a store whose names and title keep to the format
// passes, whatever its texts hold (a line inside a text may read like a
// section or value line: the text's ";" are doubled), and
// so does every text it writes from one that passes.  False with the first
// problem found.
bool CheckSettingsText(std::string_view text, SettingsFirstLine mode,
                       SettingsTextProblem& problem);
// "line N: reason", or the reason alone for the text as a whole.
std::string DescribeSettingsProblem(const SettingsTextProblem& problem);

// How "L" and "B" value texts are read: a long as strtol with base 0 (hex
// with "0x", octal with a leading 0), saturating at the 32-bit limits, 0 for
// text without digits; a bool as true when its decimal reading is not 0.
int32_t ParseSettingsLong(const std::string& text);
bool ParseSettingsBool(const std::string& text);

// "[" path "];" and a line feed.
void AppendSettingsSection(std::string& out, std::string_view path);
// The text with every ";" doubled.
void AppendSettingsEscaped(std::string& out, std::string_view text);
// name, TAB, "=", letter, TAB, the escaped text, ";", and a line feed when
// asked.  A leading tab is written first when asked.
void AppendSettingsValue(std::string& out, std::string_view name, char letter,
                         std::string_view text, bool leadingTab = false, bool lineFeed = true);

// Text mode: every line feed becomes CR LF on disk; reading turns every CR LF
// pair back into one line feed.  Lone CRs and LFs are kept as they are.
void AppendDiskText(std::string& out, std::string_view text);
void StripDiskText(std::string& text);

}  // namespace plat
