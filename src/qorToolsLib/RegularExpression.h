#pragma once
// A pattern with its ignore-case and invert flags and its compiled program.
// Matching reads the text once and keeps no shared state, so any number of
// threads may match at once, the same expression included.

#include <memory>
#include <string>
#include <string_view>

#include "qorToolsLib/RegularExpressionProgram.h"

class RegularExpression {
public:
    // Empty pattern, both flags off, no program: matches nothing.
    RegularExpression();
    // Stores the flags and compiles at once.
    RegularExpression(const char* pattern, bool ignoreCase, bool invert);
    // Compiles again when `other` holds a program.
    RegularExpression(const RegularExpression& other);
    // Copies pattern and flags and, like copying, compiles only when `other`
    // holds a program, so a copy never matches where its source does not.
    virtual RegularExpression& operator=(const RegularExpression& other);
    virtual ~RegularExpression();

    // Frees the old program and compiles `pattern` (folded to lower case
    // with ignore-case).  True when a program was made; errors are printed.
    bool Compile(const char* pattern, bool ignoreCase, bool invert);

    // 1 when the text matches (inverted with the invert flag), else 0;
    // always 0 without a program.  Every byte of the text is matched, a NUL
    // like any other, so a byte a writer chooses cannot hide what follows
    // it.
    int Match(std::string_view text) const;
    int Match(std::nullptr_t) const = delete;

    void FreeProgram();
    // The compiled program, null when there is none.
    const RegexProgram* GetProgram() const { return m_pProgram.get(); }
    bool IsCompiled() const { return m_pProgram != nullptr; }
    // Why the last compile made no program, as the console line said it;
    // null after a compile that made one.
    const char* ErrorText() const;
    const std::string& Pattern() const { return m_strPattern; }
    bool IgnoresCase() const { return m_bIgnoreCase; }
    bool Inverts() const { return m_bInvert; }

private:
    bool CompilePattern();

    bool m_bInvert = false;
    bool m_bIgnoreCase = false;
    std::string m_strPattern;
    std::unique_ptr<RegexProgram> m_pProgram;
    RegexError m_error = RegexError::NullArgument;
};
