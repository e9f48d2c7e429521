#include "qorToolsLib/StringTokenizer.h"

StringTokenizer::StringTokenizer(const char* text, const char* delimiters, bool wholeString) {
    SetText(text);
    SetDelimiters(delimiters);
    SetWholeString(wholeString);
}

StringTokenizer::~StringTokenizer() = default;

void StringTokenizer::Invalidate() {
    m_tokens.clear();
    m_uPosition = 0;
    m_bSplitDone = false;
}

void StringTokenizer::SetText(const char* text) {
    m_sText = text != nullptr ? text : "";
    Invalidate();
}

void StringTokenizer::SetDelimiters(const char* delimiters) {
    m_sDelimiters = delimiters != nullptr ? delimiters : "";
    if (m_sDelimiters.size() == 1) {
        m_sWorkingSet.assign(kRepeat, m_sDelimiters[0]);
    } else {
        m_sWorkingSet = m_sDelimiters;
    }
    Invalidate();
}

void StringTokenizer::SetWholeString(bool wholeString) {
    m_bWholeString = wholeString;
    Invalidate();
}

bool StringTokenizer::Next() {
    if (m_sText.empty() || m_sDelimiters.empty()) {
        return false;
    }
    Split();
    if (m_uPosition <= m_tokens.size()) {
        ++m_uPosition;
    }
    return m_uPosition <= m_tokens.size();
}

const char* StringTokenizer::Token() const {
    if (m_uPosition == 0 || m_uPosition > m_tokens.size()) {
        return nullptr;
    }
    return m_tokens[m_uPosition - 1].c_str();
}

size_t StringTokenizer::Count() {
    if (m_sText.empty() || m_sDelimiters.empty()) {
        return 0;
    }
    Split();
    return m_tokens.size();
}

void StringTokenizer::Split() {
    if (m_bSplitDone) {
        return;
    }
    if (m_bWholeString) {
        SplitWhole();
    } else {
        SplitSet();
    }
    m_bSplitDone = true;
}

void StringTokenizer::AddToken(size_t begin, size_t end) {
    if (end > begin) {
        m_tokens.emplace_back(m_sText, begin, end - begin);
    }
}

void StringTokenizer::SplitWhole() {
    // A multi-character separator is skipped whole, so no part of it leaks
    // into the next token.
    size_t position = 0;
    for (;;) {
        size_t found = m_sText.find(m_sDelimiters, position);
        if (found == std::string::npos) {
            AddToken(position, m_sText.size());
            return;
        }
        AddToken(position, found);
        position = found + m_sDelimiters.size();
    }
}

void StringTokenizer::SplitSet() {
    size_t position = 0;
    for (char delimiter : m_sWorkingSet) {
        size_t found = m_sText.find(delimiter, position);
        if (found == std::string::npos) {
            break;
        }
        AddToken(position, found);
        position = found + 1;
    }
    AddToken(position, m_sText.size());
}
