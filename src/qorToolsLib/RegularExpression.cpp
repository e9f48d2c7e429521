#include "qorToolsLib/RegularExpression.h"

#include <cstring>
#include <vector>

#include "qorToolsLib/jsFastLock.h"
#include "qorToolsLib/jsSync.h"

namespace {

// The one lock that serialises every compile and match in the process.  It
// lives for the whole process, so an expression destroyed during exit never
// finds it gone.
jsFastSync& ExpressionLock() {
    static jsFastSync* lock = new jsFastSync(false);
    return *lock;
}

// Folding as the C library's tolower does in the "C" locale.
inline char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Lower-cased copies of matched texts reuse one buffer per thread.
thread_local std::vector<char> t_foldedText;

// Folds eight bytes at a time: a byte gets 0x20 added when it lies in A-Z.
void FoldText(const char* text, size_t length, char* out) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, text + i, 8);
        uint64_t low = word & ~kHigh;
        uint64_t atLeastA = low + (0x80 - 'A') * kOnes;
        uint64_t aboveZ = low + (0x80 - 'Z' - 1) * kOnes;
        uint64_t upper = atLeastA & ~aboveZ & ~word & kHigh;
        word |= upper >> 2;
        std::memcpy(out + i, &word, 8);
    }
    for (; i < length; ++i) {
        out[i] = FoldCase(text[i]);
    }
}

}  // namespace

RegularExpression::RegularExpression() = default;

RegularExpression::RegularExpression(const char* pattern, bool ignoreCase, bool invert) {
    Compile(pattern, ignoreCase, invert);
}

RegularExpression::RegularExpression(const RegularExpression& other)
    : m_bInvert(other.m_bInvert), m_bIgnoreCase(other.m_bIgnoreCase),
      m_strPattern(other.m_strPattern) {
    if (other.IsCompiled()) {
        jsFastLock guard(ExpressionLock(), true);
        CompileLocked();
    }
}

RegularExpression& RegularExpression::operator=(const RegularExpression& other) {
    if (this == &other) {
        return *this;
    }
    m_bInvert = other.m_bInvert;
    m_bIgnoreCase = other.m_bIgnoreCase;
    m_strPattern = other.m_strPattern;
    FreeProgram();
    if (other.IsCompiled()) {
        jsFastLock guard(ExpressionLock(), true);
        CompileLocked();
    }
    return *this;
}

RegularExpression::~RegularExpression() = default;

bool RegularExpression::Compile(const char* pattern, bool ignoreCase, bool invert) {
    FreeProgram();
    jsFastLock guard(ExpressionLock(), true);
    m_bIgnoreCase = ignoreCase;
    m_bInvert = invert;
    if (pattern == nullptr) {
        m_strPattern.clear();
        m_pProgram = RegexProgram::Compile(nullptr);
        return false;
    }
    m_strPattern = pattern;
    return CompileLocked();
}

bool RegularExpression::CompileLocked() {
    if (!m_bIgnoreCase || m_strPattern.empty()) {
        m_pProgram = RegexProgram::Compile(m_strPattern.c_str());
    } else {
        std::string folded(m_strPattern);
        for (char& c : folded) {
            c = FoldCase(c);
        }
        m_pProgram = RegexProgram::Compile(folded.c_str());
    }
    return m_pProgram != nullptr;
}

int RegularExpression::Match(const char* text) const {
    if (m_pProgram == nullptr) {
        return 0;
    }
    jsFastLock guard(ExpressionLock(), true);
    RegexResult result;
    if (text != nullptr && m_bIgnoreCase) {
        size_t length = std::strlen(text);
        std::vector<char>& folded = t_foldedText;
        if (folded.size() < length + 1) {
            folded.resize(length + 1);
        }
        FoldText(text, length, folded.data());
        folded[length] = '\0';
        result = m_pProgram->Execute(folded.data(), length);
    } else {
        result = m_pProgram->Execute(text, text != nullptr ? std::strlen(text) : 0);
    }
    // A failed match is no match, also for an inverted expression: an error
    // must not turn into a hit.
    if (result == RegexResult::Failed) {
        return 0;
    }
    bool matched = result == RegexResult::Match;
    return (matched != m_bInvert) ? 1 : 0;
}

void RegularExpression::FreeProgram() {
    m_pProgram.reset();
}
