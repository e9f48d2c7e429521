#include "qorToolsLib/SafeText.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kReplacement[] = "\xEF\xBF\xBD";

void AppendEscapedBytes(std::string& out, std::string_view bytes) {
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const char escaped[4] = {'\\', 'x', kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
        out.append(escaped, sizeof escaped);
    }
}

// Whether one of the eight bytes of `word` may need a closer look: a
// control byte, DEL, or a byte of a multi-byte character.  A "no" is
// certain, so runs of plain ASCII go eight bytes a step.
bool MayNeedALook(uint64_t word) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    const uint64_t below = (word - kOnes * 0x20) & ~word & kHigh;
    const uint64_t del = word ^ (kOnes * 0x7F);
    const uint64_t isDel = (del - kOnes) & ~del & kHigh;
    return ((word & kHigh) | below | isDel) != 0;
}

}  // namespace

size_t DecodeUtf8At(std::string_view text, size_t at, uint32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    size_t length = 0;
    uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
        codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
        codePoint = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
        codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    const bool bSurrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (codePoint < minimum || codePoint > 0x10FFFF || bSurrogate) {
        return 0;
    }
    return length;
}

bool IsUnsafeCodePoint(uint32_t codePoint) {
    if (codePoint < 0x20) {
        return codePoint != '\t';
    }
    if (codePoint >= 0x7F && codePoint <= 0x9F) {
        return true;
    }
    // Line and paragraph separators, and the embeddings, overrides and
    // isolates that reorder what follows them on the screen.
    return codePoint == 0x2028 || codePoint == 0x2029 ||
           (codePoint >= 0x202A && codePoint <= 0x202E) ||
           (codePoint >= 0x2066 && codePoint <= 0x2069);
}

void AppendPrintable(std::string& out, std::string_view text, bool keepLineFeeds) {
    size_t at = 0;
    while (at < text.size()) {
        // Runs of plain ASCII are copied at once.
        size_t plain = at;
        while (plain < text.size()) {
            if (text.size() - plain >= sizeof(uint64_t)) {
                uint64_t word = 0;
                std::memcpy(&word, text.data() + plain, sizeof word);
                if (!MayNeedALook(word)) {
                    plain += sizeof word;
                    continue;
                }
            }
            const auto byte = static_cast<unsigned char>(text[plain]);
            if (byte < 0x20 || byte >= 0x7F) {
                if (!(byte == '\t' || (keepLineFeeds && byte == '\n'))) {
                    break;
                }
            }
            ++plain;
        }
        out.append(text.data() + at, plain - at);
        at = plain;
        if (at == text.size()) {
            break;
        }
        uint32_t codePoint = 0;
        const size_t length = DecodeUtf8At(text, at, codePoint);
        if (length == 0) {
            AppendEscapedBytes(out, text.substr(at, 1));
            ++at;
        } else if (IsUnsafeCodePoint(codePoint)) {
            AppendEscapedBytes(out, text.substr(at, length));
            at += length;
        } else {
            out.append(text.data() + at, length);
            at += length;
        }
    }
}

void ReplaceNulBytes(std::string& text) {
    size_t at = text.find('\0');
    if (at == std::string::npos) {
        return;
    }
    std::string out(text, 0, at);
    for (; at < text.size(); ++at) {
        if (text[at] == '\0') {
            out += kReplacement;
        } else {
            out += text[at];
        }
    }
    text = std::move(out);
}

std::string PrintableText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendPrintable(out, text);
    return out;
}

void AppendValidUtf8(std::string& out, std::string_view text) {
    size_t at = 0;
    while (at < text.size()) {
        uint32_t codePoint = 0;
        const size_t length = DecodeUtf8At(text, at, codePoint);
        if (length == 0) {
            out += kReplacement;
            ++at;
        } else {
            out.append(text.data() + at, length);
            at += length;
        }
    }
}

size_t Utf8CutPoint(std::string_view text, size_t nMost) {
    if (text.size() <= nMost) {
        return text.size();
    }
    constexpr size_t kLongestCharacter = 4;
    const auto IsContinuation = [&](size_t at) { return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80; };
    size_t nCut = nMost;
    while (nCut > 0 && nCut + kLongestCharacter > nMost + 1 && IsContinuation(nCut)) {
        --nCut;
    }
    // Not a character's continuation after all (bytes that are no UTF-8):
    // cut at the bound itself.
    return (static_cast<unsigned char>(text[nCut]) & 0xC0) == 0xC0 ? nCut : nMost;
}

uint64_t CutLongestToFit(std::vector<std::string>& texts,
                         const std::function<bool(const std::vector<std::string>&)>& fits) {
    if (fits(texts)) {
        return 0;
    }
    size_t nLongest = 0;
    for (const std::string& text : texts) {
        nLongest = std::max(nLongest, text.size());
    }
    std::vector<std::string> cut;
    const auto CutTo = [&](size_t nMost) {
        cut.clear();
        for (const std::string& text : texts) {
            cut.emplace_back(text, 0, Utf8CutPoint(text, nMost));
        }
    };
    // The greatest length that fits lies in [nFits, nLongest): found by
    // halving, each try cutting afresh from the whole texts.
    size_t nFits = 0;
    size_t nTooLong = nLongest;
    while (nTooLong - nFits > 1) {
        const size_t nTry = nFits + (nTooLong - nFits) / 2;
        CutTo(nTry);
        (fits(cut) ? nFits : nTooLong) = nTry;
    }
    CutTo(nFits);
    uint64_t qwCut = 0;
    for (size_t i = 0; i < texts.size(); ++i) {
        qwCut += texts[i].size() - cut[i].size();
    }
    texts.swap(cut);
    return qwCut;
}
