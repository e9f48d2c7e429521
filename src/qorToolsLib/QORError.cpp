#include "qorToolsLib/QORError.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "qorToolsLib/BoundedFormat.h"
#include "platform/LastError.h"
#include "platform/SystemMessage.h"

namespace {

unsigned ClampWidth(int width) {
    return (width < 0 || width > 255) ? 255u : static_cast<unsigned>(width);
}

StatusCode LookupCode(StatusCode status) {
    return IsWinsockError(status) ? (status | QOR_WSA_BASE) : status;
}

size_t LastLineLength(const std::string& text) {
    size_t nl = text.rfind('\n');
    return nl == std::string::npos ? text.size() : text.size() - nl - 1;
}

}  // namespace

std::string WrapMessage(const std::string& text, unsigned width) {
    return plat::WrapText(text, width);
}

uint32_t FormatStatusMessage(StatusCode status, bool ignoreInserts, unsigned width,
                             std::string& out) {
    // No message providers are registered in this system, so the facility
    // umbrella messages below are the only special wording.
    uint32_t facility = QorFacility(status);
    if (facility > 2048) {
        facility = 2048;
    }
    if (!ignoreInserts && facility == 0x72B) {
        char insert[16];
        BoundedSnprintf(insert, sizeof insert, "%u", status & 0xFFFFu);
        std::string text(insert);
        return plat::LookupSystemMessage(QOR_E_MESSAGE_72B, &text, width, out);
    }
    if (!ignoreInserts && facility >= 0x800 && (status & 0xC0000000u) != 0) {
        uint32_t high = (status >> 21) & 0x3Fu;
        if (high > 62) {
            high += 65;
        }
        uint32_t value = (high << 24) | (((status >> 12) & 0x1FFu) << 12) | (status & 0xFFFu);
        char insert[16];
        BoundedSnprintf(insert, sizeof insert, "0x%8.8x", value);
        std::string text(insert);
        return plat::LookupSystemMessage(QOR_E_MESSAGE_800, &text, width, out);
    }
    return plat::LookupSystemMessage(status, nullptr, width, out);
}

QORError::QORError(StatusCode status, bool useModule) : m_status(status), m_useModule(useModule) {
    FormatStatusText();
}

QORError::QORError(const QORError& other)
    : m_status(other.m_status), m_message(other.m_message), m_useModule(other.m_useModule) {
    FormatStatusText();
}

QORError& QORError::operator=(const QORError& other) {
    if (this != &other) {
        m_status = other.m_status;
        m_useModule = other.m_useModule;
        m_message = other.m_message;
        FormatStatusText();
    }
    return *this;
}

QORError::~QORError() = default;

void QORError::SetStatus(StatusCode status) {
    m_status = status;
    m_message.clear();
    FormatStatusText();
}

void QORError::FormatStatusText() {
    if (m_status > 0xFFFFu) {
        BoundedSnprintf(m_statusText, sizeof m_statusText, "0x%8.8x", m_status);
    } else {
        BoundedSnprintf(m_statusText, sizeof m_statusText, "%u", m_status);
    }
}

const char* QORError::GetMessage(int width) {
    m_message.clear();
    unsigned w = ClampWidth(width);
    try {
        std::string text;
        uint32_t failure = FormatStatusMessage(LookupCode(m_status), false, w, text);
        if (failure == 0) {
            if (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            if (!text.empty() && text.back() == '\r') {
                text.pop_back();
            }
            char separator = ' ';
            if (w != 0 && LastLineLength(text) + std::strlen(m_statusText) + 6 > w) {
                separator = '\n';
            }
            m_message = text;
            m_message.push_back(separator);
            m_message += "[ID=";
            m_message += m_statusText;
            m_message += "]";
            if (w == 0) {
                m_message += "\r\n";
            }
        } else {
            char buffer[128];
            BoundedSnprintf(buffer, sizeof buffer, "Status %d retrieving message text. [ID=%s]",
                            static_cast<int>(failure), m_statusText);
            m_message = WrapMessage(buffer, w);
        }
    } catch (const std::bad_alloc&) {
        return m_statusText;
    }
    return m_message.c_str();
}

const char* QORError::GetOsMessage(int width) {
    uint32_t facility = QorFacility(m_status);
    if ((m_status & 0xC0000000u) == 0xC0000000u && facility >= 0x700 && facility <= 0x7FB) {
        return GetMessage(width);
    }
    char buffer[128];
    BoundedSnprintf(buffer, sizeof buffer,
                    "Operating system specific status encountered. [ID=%s]", m_statusText);
    m_message = WrapMessage(buffer, ClampWidth(width));
    return m_message.c_str();
}

StatusCode QORError::NormalizeStatus(uint32_t status) {
    if (QorFacility(status) == 9) {
        return (status & 0xFFFFu) == 0 ? 0 : (QOR_FACILITY9_BASE | (status & 0xFFFFu));
    }
    if (IsWinsockError(status)) {
        return status | QOR_WSA_BASE;
    }
    uint32_t facility = QorFacility(status);
    if ((status & 0xC0000000u) == 0xC0000000u && facility >= 0x700 && facility <= 0x7FB) {
        return status;
    }
    static const std::map<uint32_t, StatusCode> table = {
        {2, QOR_E_FILE_NOT_FOUND},     {3, QOR_E_PATH_NOT_FOUND},
        {5, QOR_E_ACCESS_DENIED},      {8, QOR_E_NO_MEMORY},
        {13, QOR_E_INVALID_DATA},      {14, QOR_E_ALLOC_FAILED},
        {29, 0xC0000004u},             {30, QOR_E_READ_FAULT},
        {32, QOR_E_SHARING_VIOLATION}, {39, QOR_E_HANDLE_DISK_FULL},
        {87, QOR_E_INVALID_ARG},       {112, QOR_E_DISK_FULL},
    };
    auto it = table.find(status);
    return it == table.end() ? status : it->second;
}

qorErrorException::qorErrorException(StatusCode status, const char* callText,
                                     const char* sourceFile, unsigned line)
    : QORError(status),
      m_callText(callText != nullptr ? callText : ""),
      m_sourceFile(sourceFile != nullptr ? sourceFile : ""),
      m_line(line) {}

qorErrorException::qorErrorException(const qorErrorException& other)
    : std::exception(other),
      QORError(other),
      m_callText(other.m_callText),
      m_sourceFile(other.m_sourceFile),
      m_line(other.m_line),
      m_description(other.m_description) {}

qorErrorException::~qorErrorException() = default;

const char* qorErrorException::what() const noexcept {
    if (!m_description.empty()) {
        return m_description.c_str();
    }
    try {
        std::string text;
        if (!m_sourceFile.empty()) {
            text += m_sourceFile;
            text += " ";
        }
        if (m_line != 0) {
            text += "(" + std::to_string(m_line) + ") ";
        }
        if (!m_callText.empty()) {
            text += m_callText;
            text += " = ";
        }
        QORError copy(*this);
        text += copy.GetMessage(80);
        m_description = std::move(text);
    } catch (...) {
        return StatusText();
    }
    return m_description.c_str();
}

void RaiseStatus(StatusCode status, const char* sourceFile, unsigned line) {
    QORError error(status);
    char buffer[512];
    BoundedSnprintf(buffer, sizeof buffer, "Error detected at: %s:%u\n%s",
                    sourceFile != nullptr ? sourceFile : "", line, error.GetMessage(80));
    throw jsThreadException(buffer);
}
