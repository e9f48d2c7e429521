#include "TclHandler/qorTclCommand.h"

#include <cctype>
#include <climits>
#include <cstring>

#include "Common/LineSocket.h"
#include "platform/LastError.h"
#include "platform/Sockets.h"
#include "qorToolsLib/BoundedFormat.h"

namespace {

constexpr const char* kScriptTypeNames[] = {"Wrongtype", "Procedure", "Initial", "Validation",
                                            "Response"};
constexpr const char* kReturnTypeNames[] = {"Empty", "Error", "True", "False", "WrongType"};
constexpr const char kBeginText[] = "<BOS>";
constexpr const char kEndText[] = "<EOS>";
constexpr size_t kMarkerLength = 5;

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWith(const std::string& strText, const char* pszPrefix) {
    return strText.compare(0, std::strlen(pszPrefix), pszPrefix) == 0;
}

size_t SkipBlanks(const std::string& strText, size_t nAt) {
    while (nAt < strText.size() && IsBlank(strText[nAt])) {
        ++nAt;
    }
    return nAt;
}

size_t WordEnd(const std::string& strText, size_t nAt) {
    while (nAt < strText.size() && !IsBlank(strText[nAt])) {
        ++nAt;
    }
    return nAt;
}

// Length of the text without its trailing blanks.
size_t TrimmedLength(const std::string& strText, size_t nFrom = 0) {
    size_t nEnd = strText.size();
    while (nEnd > nFrom && IsBlank(strText[nEnd - 1])) {
        --nEnd;
    }
    return nEnd;
}

// The line without its line end, for messages.
std::string WithoutLineEnd(const std::string& strLine) {
    size_t nEnd = strLine.find('\n');
    std::string strOut = strLine.substr(0, nEnd);
    if (!strOut.empty() && strOut.back() == '\r') {
        strOut.pop_back();
    }
    return strOut;
}

// A decimal number with an optional leading "-", saturated to 32 bits;
// the caller has checked that a digit comes first (after the sign).
int32_t ReadDecimal(const std::string& strText, size_t& nAt) {
    bool bNegative = strText[nAt] == '-';
    if (bNegative) {
        ++nAt;
    }
    int64_t value = 0;
    while (nAt < strText.size() && IsDigit(strText[nAt])) {
        if (value <= INT32_MAX) {
            value = value * 10 + (strText[nAt] - '0');
        }
        ++nAt;
    }
    value = bNegative ? -value : value;
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    return value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
}

// Where "<EOS>" closes the text: its position when the text, without
// trailing blanks, ends in it; npos otherwise.
size_t EndMarker(const std::string& strText, size_t nFrom) {
    size_t nEnd = TrimmedLength(strText, nFrom);
    if (nEnd - nFrom < kMarkerLength || strText.compare(nEnd - kMarkerLength, kMarkerLength, kEndText) != 0) {
        return std::string::npos;
    }
    return nEnd - kMarkerLength;
}

// The errno values the layer's socket numbers stand for: the numbers are
// a mapping of them, so the mapping run backwards finds the system's own
// words.  Where two map to one number the later, more particular one is
// the usual cause (ECONNRESET before EPIPE, EMFILE before ENFILE); numbers
// from kUnlistedErrnos on stand for errno values the mapping does not
// list, and are not read back.
constexpr int kLastErrno = 200;
constexpr uint32_t kUnlistedErrnos = 11900;

}  // namespace

std::string SocketErrorWords(uint32_t dwError) {
    if (dwError == plat::kWsaNotInitialised) {
        return "no connection to the script process is open";
    }
    if (dwError == 0 || dwError >= kUnlistedErrnos) {
        return "";
    }
    // The failure this thread saw last, when it is the one the number says.
    const int nLast = plat::GetLastErrno();
    if (nLast != 0 && plat::MapSocketErrno(nLast) == dwError) {
        return std::strerror(nLast);
    }
    for (int nErrno = kLastErrno; nErrno > 0; --nErrno) {
        if (plat::MapSocketErrno(nErrno) == dwError) {
            return std::strerror(nErrno);
        }
    }
    return "";
}

void qorTclCommand::Reset() {
    m_nCommandType = kNone;
    m_nScriptType = kWrongScriptType;
    m_nReturnType = kEmpty;
    m_nRuleId = 0;
    m_nTransactionId = 0;
    m_nIncomplete = 0;
}

const char* qorTclCommand::ScriptTypeName(int32_t nCode) {
    return nCode >= 0 && nCode <= kResponse ? kScriptTypeNames[nCode] : kScriptTypeNames[0];
}

const char* qorTclCommand::ReturnTypeName(int32_t nCode) {
    return nCode >= 0 && nCode <= kWrongReturnType ? kReturnTypeNames[nCode]
                                                   : kReturnTypeNames[kWrongReturnType];
}

int32_t qorTclCommand::ParseScriptType(const std::string& strText) {
    for (int32_t nCode = kProcedure; nCode <= kResponse; ++nCode) {
        if (strText == kScriptTypeNames[nCode]) {
            return nCode;
        }
    }
    return kWrongScriptType;
}

int32_t qorTclCommand::ParseReturnType(const std::string& strText) {
    for (int32_t nCode = kError; nCode <= kFalse; ++nCode) {
        if (strText == kReturnTypeNames[nCode]) {
            return nCode;
        }
    }
    return kWrongReturnType;
}

std::string qorTclCommand::Head() const {
    char szHead[kLineSize];
    switch (m_nCommandType) {
        case kScript:
            BoundedSnprintf(szHead, sizeof szHead, "Script %d %s", m_nRuleId,
                            ScriptTypeName(m_nScriptType));
            break;
        case kRun:
            BoundedSnprintf(szHead, sizeof szHead, "Run %d %s %d", m_nRuleId,
                            ScriptTypeName(m_nScriptType), m_nTransactionId);
            break;
        case kNone:
            BoundedSnprintf(szHead, sizeof szHead, "None");
            break;
        default:
            BoundedSnprintf(szHead, sizeof szHead, "Unknown command: %d", m_nCommandType);
            break;
    }
    return szHead;
}

void qorTclCommand::AppendLine(std::string& strOut) const {
    switch (m_nCommandType) {
        case kStatus:
            strOut += "Status\n";
            break;
        case kExit:
            strOut += "Exit\n";
            break;
        case kScript:
        case kRun:
        case kNone:
            strOut += Head();
            if (m_nReturnType == kEmpty) {
                // The text goes whole, newlines and all, between the markers.
                if (m_nCommandType == kScript) {
                    strOut += " <BOS> ";
                    strOut += m_strText;
                    strOut += " <EOS>";
                }
                strOut += "\n";
            } else {
                strOut += " ";
                strOut += ReturnTypeName(m_nReturnType);
                strOut += " ";
                strOut += m_strText;
                strOut += "\n";
            }
            break;
        default:
            strOut += Head();
            strOut += "\n";
            break;
    }
}

long qorTclCommand::Send(LineSocket& connection, uint32_t& dwError) const {
    std::string strLine;
    AppendLine(strLine);
    long nSent = connection.Puts(strLine.c_str());
    dwError = nSent < 0 ? connection.LastError() : 0;
    return nSent;
}

void qorTclBatch::Send(LineSocket& connection) {
    if (!m_strLines.empty()) {
        connection.Send(m_strLines.data(), static_cast<long>(m_strLines.size()));
        m_strLines.clear();
    }
}

int qorTclCommand::Fail(const char* pszWhat, const std::string& strLine) {
    m_strText = std::string(pszWhat) + WithoutLineEnd(strLine);
    return -1;
}

int qorTclCommand::Receive(LineSocket& connection, uint32_t& dwError) {
    dwError = 0;
    for (;;) {
        char szLine[kLineSize];
        long nRead = connection.GetsWhole(szLine, static_cast<long>(sizeof szLine) - 1);
        if (nRead < 0) {
            dwError = connection.LastError();
            char szText[128];
            BoundedSnprintf(szText, sizeof szText,
                            "Error when reading command from socket, errno = %d",
                            static_cast<int>(dwError));
            m_strText = szText;
            const std::string strWords = SocketErrorWords(dwError);
            if (!strWords.empty()) {
                m_strText += " (" + strWords + ")";
            }
            return -1;
        }
        if (nRead == 0) {
            return 0;
        }
        int nResult = ParseReceivedLine(std::string(szLine, static_cast<size_t>(nRead)));
        if (nResult != 0) {
            return nResult;
        }
    }
}

int qorTclCommand::ParseReceivedLine(const std::string& strLine) {
    const bool bContinues = m_nIncomplete != 0 && !StartsWith(strLine, "Script ") &&
                            !StartsWith(strLine, "Run ") && !StartsWith(strLine, "Status") &&
                            !StartsWith(strLine, "Exit");
    return bContinues ? ParseContinuation(strLine) : ParseLine(strLine);
}

int qorTclCommand::ParseContinuation(const std::string& strLine) {
    size_t nEnd = EndMarker(strLine, 0);
    if (nEnd != std::string::npos) {
        m_strText.append(strLine, 0, nEnd);
        m_nIncomplete = 0;
        return 1;
    }
    if (m_strText.size() + strLine.size() > kMaxTextSize) {
        m_nIncomplete = 0;
        return Fail("Command text too long: ", m_strText.substr(0, 64));
    }
    m_strText += strLine;
    return 0;
}

int qorTclCommand::ParseLine(const std::string& strLine) {
    const bool bScript = StartsWith(strLine, "Script ");
    if (bScript || StartsWith(strLine, "Run ")) {
        if (m_nIncomplete != 0) {
            char szPrevious[1024];
            Format(szPrevious, sizeof szPrevious);
            m_nIncomplete = 0;
            m_strText = std::string(
                            "Received new command when previous command is incomplete: ") +
                        "Previous command <" + szPrevious + ">, new command <" +
                        WithoutLineEnd(strLine) + ">";
            return -1;
        }
        Reset();
        m_nCommandType = bScript ? kScript : kRun;
    } else if (StartsWith(strLine, "Status") || StartsWith(strLine, "Exit")) {
        const bool bStatus = StartsWith(strLine, "Status");
        Reset();
        m_nCommandType = bStatus ? kStatus : kExit;
        m_strText = WithoutLineEnd(strLine.substr(bStatus ? 6 : 4));
        return 1;
    } else {
        m_nReturnType = kError;
        return Fail("Unknown command: ", strLine);
    }

    size_t nAt = SkipBlanks(strLine, bScript ? 7 : 4);
    if (nAt == strLine.size()) {
        return Fail("Incomplete command: ", strLine);
    }
    if (!IsDigit(strLine[nAt])) {
        return Fail("The Rule Id part must be a number: ", strLine);
    }
    m_nRuleId = ReadDecimal(strLine, nAt);
    nAt = SkipBlanks(strLine, nAt);
    if (nAt == strLine.size()) {
        return Fail("Incomplete command: ", strLine);
    }
    size_t nWordEnd = WordEnd(strLine, nAt);
    m_nScriptType = ParseScriptType(strLine.substr(nAt, nWordEnd - nAt));
    if (m_nScriptType == kWrongScriptType) {
        return Fail("The ScriptType part is not valid type: ", strLine);
    }
    nAt = SkipBlanks(strLine, nWordEnd);
    if (nAt == strLine.size()) {
        return Fail("Incomplete command: ", strLine);
    }

    if (!bScript) {
        bool bNumber = IsDigit(strLine[nAt]) ||
                       (strLine[nAt] == '-' && nAt + 1 < strLine.size() && IsDigit(strLine[nAt + 1]));
        if (!bNumber) {
            return Fail("The Transaction Id part must be a number: ", strLine);
        }
        m_nTransactionId = ReadDecimal(strLine, nAt);
    } else if (strLine.compare(nAt, kMarkerLength, kBeginText) == 0) {
        const size_t nTextStart = nAt + kMarkerLength;
        size_t nEnd = EndMarker(strLine, nTextStart);
        if (nEnd != std::string::npos) {
            // The blank the writer puts before "<EOS>" is not part of the text.
            m_strText = strLine.substr(nTextStart, nEnd > nTextStart ? nEnd - nTextStart - 1 : 0);
            return 1;
        }
        m_strText = strLine.substr(nTextStart);
        m_nIncomplete = 1;
        return 0;
    }

    nAt = SkipBlanks(strLine, nAt);
    if (nAt == strLine.size()) {
        m_nReturnType = kEmpty;
        m_strText.clear();
        return 1;
    }
    nWordEnd = WordEnd(strLine, nAt);
    m_nReturnType = ParseReturnType(strLine.substr(nAt, nWordEnd - nAt));
    if (m_nReturnType == kWrongReturnType) {
        return Fail("The return type is wrong: ", strLine);
    }
    nAt = SkipBlanks(strLine, nWordEnd);
    m_strText = strLine.substr(nAt, TrimmedLength(strLine, nAt) - nAt);
    return 1;
}

const char* qorTclCommand::Format(char* pszBuffer, size_t nSize) const {
    if (pszBuffer == nullptr || nSize == 0) {
        return "";
    }
    std::string strHead;
    switch (m_nCommandType) {
        case kScript:
            strHead = Head() + " " + m_strText;
            break;
        case kStatus:
            strHead = "Status";
            break;
        case kExit:
            strHead = "Exit";
            break;
        default:
            strHead = Head();
            break;
    }
    if (m_nReturnType != kEmpty) {
        BoundedSnprintf(pszBuffer, nSize, "%s, Result %s <%s>", strHead.c_str(),
                        ReturnTypeName(m_nReturnType), m_strText.c_str());
    } else {
        BoundedSnprintf(pszBuffer, nSize, "%s", strHead.c_str());
    }
    return pszBuffer;
}

void qorTclCommand::Print(std::FILE* pFile) const {
    if (pFile == nullptr) {
        return;
    }
    char szText[kLineSize];
    qorTclCommand head = *this;
    head.m_nReturnType = kEmpty;
    std::fputs(head.Format(szText, sizeof szText), pFile);
    if (m_nReturnType != kEmpty) {
        std::fprintf(pFile, ", Reply %s <%s>\n", ReturnTypeName(m_nReturnType), m_strText.c_str());
    }
}
