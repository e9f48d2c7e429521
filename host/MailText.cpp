#include "MailText.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "qorToolsLib/SafeText.h"

namespace {

// Lines are folded to stay within this many characters where the words
// allow; an encoded word is at most 75 (RFC 2047).
constexpr size_t kFoldWidth = 76;
// UTF-8 bytes per encoded word: 45 bytes are 60 base64 characters, and
// "=?UTF-8?B?" "?=" make the word 72.
constexpr size_t kEncodedChunk = 45;
// Blanks in a row that a header line keeps as they are.
constexpr size_t kLongBlankRun = 16;
// A mail line holds at most 998 octets (RFC 5322); quoted-printable lines
// are kept to 76 (RFC 2045).
constexpr size_t kLongestLine = 998;
constexpr size_t kQuotedWidth = 76;
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(std::string_view bytes) {
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t{static_cast<uint8_t>(bytes[i])} << 16) |
                           (uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8) |
                           static_cast<uint8_t>(bytes[i + 2]);
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
        if (i + 1 < bytes.size()) {
            v |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
        }
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// Valid UTF-8 with every control character (and the marks that reorder
// text) turned into a blank: a header holds one line of text.
std::string HeaderCharacters(std::string_view value) {
    std::string valid;
    AppendValidUtf8(valid, value);
    std::string out;
    out.reserve(valid.size());
    for (size_t at = 0; at < valid.size();) {
        uint32_t codePoint = 0;
        const size_t length = DecodeUtf8At(valid, at, codePoint);
        if (codePoint == '\t' || IsUnsafeCodePoint(codePoint)) {
            out += ' ';
        } else {
            out.append(valid, at, length);
        }
        at += length;
    }
    return out;
}

bool NeedsEncoding(std::string_view word) {
    // A word that looks like an encoded word would be decoded by the reader.
    return HasNonAscii(word) || word.find("=?") != std::string_view::npos ||
           word.size() > kFoldWidth;
}

// Encoded words for `text`, cut between characters, never inside one.
std::vector<std::string> EncodedWords(std::string_view text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = at;
        while (end < text.size()) {
            uint32_t codePoint = 0;
            const size_t length = DecodeUtf8At(text, end, codePoint);
            const size_t step = length == 0 ? 1 : length;
            if (end + step - at > kEncodedChunk) {
                break;
            }
            end += step;
        }
        words.push_back("=?UTF-8?B?" + Base64(text.substr(at, end - at)) + "?=");
        at = end;
    }
    return words;
}

std::vector<std::string> SplitAtBlanks(std::string_view text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t blank = text.find(' ', at);
        const size_t end = blank == std::string_view::npos ? text.size() : blank;
        words.emplace_back(text.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

}  // namespace

bool HasNonAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return true;
        }
    }
    return false;
}

std::string MailHeaderValue(std::string_view value, size_t nameLength) {
    const std::vector<std::string> words = SplitAtBlanks(HeaderCharacters(value));
    // A line is folded only before a word: a long run of blanks (the empty
    // words between them) is encoded, so that no line grows with it.
    std::vector<bool> needs(words.size());
    for (size_t i = 0; i < words.size();) {
        size_t end = i;
        while (end < words.size() && words[end].empty()) {
            ++end;
        }
        const bool bLongRun = end - i >= kLongBlankRun;
        for (; i < end; ++i) {
            needs[i] = bLongRun;
        }
        if (i < words.size()) {
            needs[i] = NeedsEncoding(words[i]);
            ++i;
        }
    }
    // Runs of words that need encoding are encoded together, blanks
    // included: a reader drops the blanks between two encoded words.
    std::vector<std::string> tokens;
    for (size_t i = 0; i < words.size();) {
        if (!needs[i]) {
            tokens.push_back(words[i]);
            ++i;
            continue;
        }
        std::string run = words[i];
        size_t next = i + 1;
        while (next < words.size() && needs[next]) {
            run += ' ' + words[next];
            ++next;
        }
        // A blank that ends or starts the run belongs to the text beside it.
        for (std::string& word : EncodedWords(run)) {
            tokens.push_back(std::move(word));
        }
        i = next;
    }
    std::string out;
    size_t column = nameLength + 2;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (i > 0) {
            if (column + 1 + tokens[i].size() > kFoldWidth && column > 1 && !tokens[i].empty()) {
                out += "\n ";
                column = 1;
            } else {
                out += ' ';
                ++column;
            }
        }
        out += tokens[i];
        column += tokens[i].size();
    }
    return out;
}

std::string MailBodyPart(std::string_view body) {
    const std::string text = MailBodyText(body);
    const char* const pszCharset = HasNonAscii(text) ? "utf-8" : "us-ascii";
    bool bLongLine = false;
    for (size_t at = 0; at < text.size() && !bLongLine;) {
        const size_t end = std::min(text.find('\n', at), text.size());
        bLongLine = end - at > kLongestLine;
        at = end + 1;
    }
    if (bLongLine) {
        return std::string("MIME-Version: 1.0\nContent-Type: text/plain; charset=") + pszCharset +
               "\nContent-Transfer-Encoding: quoted-printable\n\n" + QuotedPrintable(text);
    }
    if (HasNonAscii(text)) {
        return "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
               "Content-Transfer-Encoding: 8bit\n\n" +
               text;
    }
    return "\n" + text;
}

std::string QuotedPrintable(std::string_view text) {
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    size_t column = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '\n') {
            out += '\n';
            column = 0;
            continue;
        }
        // A blank at a line's end would be taken off by a transport.
        const bool bLineEnd = at + 1 == text.size() || text[at + 1] == '\n';
        const bool bLiteral = (byte >= 33 && byte <= 126 && byte != '=') ||
                              ((byte == ' ' || byte == '\t') && !bLineEnd);
        const size_t width = bLiteral ? 1 : 3;
        // A soft break ("=" at the end of a line) joins the lines again.
        if (column + width > kQuotedWidth - 1) {
            out += "=\n";
            column = 0;
        }
        if (bLiteral) {
            out += static_cast<char>(byte);
        } else {
            out += '=';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
        column += width;
    }
    return out;
}

std::string MailBodyText(std::string_view body) {
    std::string valid;
    AppendValidUtf8(valid, body);
    std::string lines;
    lines.reserve(valid.size());
    for (size_t at = 0; at < valid.size(); ++at) {
        if (valid[at] == '\r' && at + 1 < valid.size() && valid[at + 1] == '\n') {
            continue;
        }
        lines += valid[at];
    }
    std::string out;
    out.reserve(lines.size());
    AppendPrintable(out, lines, true);
    return out;
}
