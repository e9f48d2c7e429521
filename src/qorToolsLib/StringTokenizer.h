#pragma once
// Splits one line into tokens, once, on the first Next() after a change.
// Empty tokens are never produced and tokens are not trimmed.
//
// Two modes:
//  - whole-string mode: the delimiter text is one separator;
//  - set mode: the k-th split uses the k-th character of the working set.
//    A one-character delimiter is repeated 1,024 times to form the set, so a
//    line yields at most 1,025 tokens and the last one keeps any further
//    delimiters.  A longer delimiter text is used as it is.

#include <cstddef>
#include <string>
#include <vector>

class StringTokenizer {
public:
    StringTokenizer(const char* text, const char* delimiters, bool wholeString);
    virtual ~StringTokenizer();

    // Each setter discards the tokens, so the next Next() splits again.
    void SetText(const char* text);
    void SetDelimiters(const char* delimiters);
    void SetWholeString(bool wholeString);

    // True when a current token exists: the first call after a change makes
    // the first token current, later calls the next one.  False for an
    // empty text or empty delimiters.
    bool Next();

    // The current token, or null before the first Next() and past the end.
    const char* Token() const;

    // Number of tokens the text splits into.
    size_t Count();

private:
    static constexpr size_t kRepeat = 1024;

    void Invalidate();
    void Split();
    void SplitWhole();
    void SplitSet();
    void AddToken(size_t begin, size_t end);

    std::string m_sText;
    std::string m_sDelimiters;
    std::string m_sWorkingSet;
    std::vector<std::string> m_tokens;
    // Index of the current token plus one; 0 means "before the first".
    size_t m_uPosition = 0;
    bool m_bSplitDone = false;
    bool m_bWholeString = false;
};
