#pragma once
// The library's error object and the exceptions that carry a status.

#include <exception>
#include <stdexcept>
#include <string>

#include "qorToolsLib/qorStatus.h"

class QORError {
public:
    explicit QORError(StatusCode status = QOR_S_OK, bool useModule = false);
    QORError(const QORError& other);
    QORError& operator=(const QORError& other);
    virtual ~QORError();

    StatusCode Status() const { return m_status; }
    void SetStatus(StatusCode status);

    // "0x%8.8x" above 0xFFFF, "%u" otherwise.
    const char* StatusText() const { return m_statusText; }

    // Words the status, re-flowed to `width` columns (out-of-range widths
    // count as 255) and tagged with "[ID=<status text>]".  The text stays
    // valid until the next call or the object's end.
    const char* GetMessage(int width);

    // Maps plain error numbers to library statuses; library statuses pass.
    static StatusCode NormalizeStatus(uint32_t status);

    // Library statuses as GetMessage; others get a generic text.
    const char* GetOsMessage(int width);

private:
    void FormatStatusText();

    StatusCode m_status;
    char m_statusText[12];
    std::string m_message;
    bool m_useModule;
};

class qorErrorException : public std::exception, public QORError {
public:
    qorErrorException(StatusCode status, const char* callText = nullptr,
                      const char* sourceFile = nullptr, unsigned line = 0);
    qorErrorException(const qorErrorException& other);
    ~qorErrorException() override;

    const char* what() const noexcept override;

    const std::string& CallText() const { return m_callText; }
    const std::string& SourceFile() const { return m_sourceFile; }
    unsigned Line() const { return m_line; }

private:
    std::string m_callText;
    std::string m_sourceFile;
    unsigned m_line;
    mutable std::string m_description;
};

class jsThreadException : public std::runtime_error {
public:
    explicit jsThreadException(const std::string& text) : std::runtime_error(text) {}
};

// Words a status the way QORError::GetMessage does before tagging it:
// facility 0x72B and 0x800+ statuses are worded through their umbrella
// messages.  Returns 0 and the text, or the lookup's failure number.
uint32_t FormatStatusMessage(StatusCode status, bool ignoreInserts, unsigned width,
                             std::string& out);

// Re-flows a text to `width` columns (spaces break, tabs expand, control
// characters start a new line).
std::string WrapMessage(const std::string& text, unsigned width);

// Throws jsThreadException("Error detected at: <file>:<line>\n<message>").
[[noreturn]] void RaiseStatus(StatusCode status, const char* sourceFile, unsigned line);

// Throws qorErrorException for a failed status, naming the expression.
#define QOR_THROW_IF_FAILED(expr)                                                  \
    do {                                                                            \
        StatusCode qorStatus_ = (expr);                                             \
        if (qorStatus_ != QOR_S_OK) throw qorErrorException(qorStatus_, #expr, __FILE__, __LINE__); \
    } while (0)
