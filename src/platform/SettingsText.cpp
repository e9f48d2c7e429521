#include "platform/SettingsText.h"

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
                            std::string& text) {
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
    // The tab after the type letter belongs to the value only for "key",
    // whose text is kept exactly as written.
    if (name != "key") {
        TrimSettings(text);
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
    in.clear();
    if (header != nullptr) {
        header->clear();
    }
    if (mode == SettingsFirstLine::kHeaderUnlessSection) {
        if (first.find('[') != std::string::npos) {
            in.seekg(0);
        } else if (header != nullptr) {
            *header = std::move(first);
        }
    }
    std::string line;
    std::string trimmed;
    while (ReadSettingsLine(in, line)) {
        if (line.find('[') != std::string::npos) {
            trimmed = line;
            TrimSettings(trimmed);
            if (trimmed[0] == '[') {
                if (!handler.OnSection(trimmed)) {
                    return;
                }
                continue;
            }
        }
        handler.OnValueLine(line);
    }
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
