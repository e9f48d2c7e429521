#include "qorToolsLib/RegularExpression.h"

namespace {

// Folding as the C library's tolower does in the "C" locale.
inline char FoldChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
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
        CompilePattern();
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
        CompilePattern();
    }
    return *this;
}

RegularExpression::~RegularExpression() = default;

bool RegularExpression::Compile(const char* pattern, bool ignoreCase, bool invert) {
    FreeProgram();
    m_bIgnoreCase = ignoreCase;
    m_bInvert = invert;
    if (pattern == nullptr) {
        m_strPattern.clear();
        m_pProgram = RegexProgram::Compile(nullptr, RegexProgram::Options(), m_error);
        return false;
    }
    m_strPattern = pattern;
    return CompilePattern();
}

// With ignore-case the pattern is folded here and the text while it is
// matched, so "[A-Z]" means what "[a-z]" means.
bool RegularExpression::CompilePattern() {
    RegexProgram::Options options;
    options.foldCase = m_bIgnoreCase;
    if (!m_bIgnoreCase) {
        m_pProgram = RegexProgram::Compile(m_strPattern.c_str(), options, m_error);
    } else {
        std::string folded(m_strPattern);
        for (char& c : folded) {
            c = FoldChar(c);
        }
        m_pProgram = RegexProgram::Compile(folded.c_str(), options, m_error);
    }
    return m_pProgram != nullptr;
}

const char* RegularExpression::ErrorText() const {
    return m_pProgram == nullptr ? RegexErrorText(m_error) : nullptr;
}

int RegularExpression::Match(std::string_view text) const {
    if (m_pProgram == nullptr) {
        return 0;
    }
    RegexResult result = m_pProgram->Execute(text);
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
