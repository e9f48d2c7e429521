#include "TextLogs/TextLogListener.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>

#include "platform/Console.h"
#include "platform/LastError.h"
#include "qorCSFLib/CSFLog.h"

CTextLogListener::CTextLogListener(std::string strFileName)
    : m_strFileName(std::move(strFileName)), m_Reader(m_strFileName) {}

CTextLogListener::~CTextLogListener() { Close(); }

bool CTextLogListener::Open(int64_t llPosition) {
    if (m_Reader.Open(llPosition) >= 0) {
        m_bClosed = false;
        return true;
    }
    CSF_LOG(kCSFLogWarning, "Cannot open %s to read", m_strFileName.c_str());
    plat::ConsolePrintf("Warning: Cannot open %s to read\n", m_strFileName.c_str());
    m_bClosed = true;
    return false;
}

void CTextLogListener::Close() {
    m_Reader.Close();
    m_bClosed = true;
}

const char* CTextLogListener::ReadNextLine() {
    if (m_bClosed) {
        return nullptr;
    }
    const int32_t nRead = m_Reader.ReadLine(m_Line.data(), kLineMax);
    if (nRead > 0) {
        char* pLine = m_Line.data();
        pLine[nRead] = '\0';
        // A carriage return is a line end only right before the line feed;
        // at the end of a piece it is the line's own last byte.
        if (pLine[nRead - 1] == '\n') {
            pLine[nRead - 1] = '\0';
            if (nRead >= 2 && pLine[nRead - 2] == '\r') {
                pLine[nRead - 2] = '\0';
            }
        }
        CSF_TRACE(kCSFLogInfo, "Get[%d]: %s", nRead, pLine);
        // Formatted into the listener's own room: a long line costs no
        // allocation on its way to standard error either.
        const int nReport = std::snprintf(m_Report.data(), m_Report.size(), "DEBUG: Get[%d]: %s\n",
                                          nRead, pLine);
        if (nReport > 0) {
            plat::ConsoleWrite(std::string_view(
                m_Report.data(), std::min(static_cast<size_t>(nReport), m_Report.size() - 1)));
        }
        return pLine;
    }
    if (nRead < 0) {
        const uint32_t dwError = plat::GetLastError();
        CSF_LOG(kCSFLogError, "Error when reading %s: %d", m_strFileName.c_str(),
                static_cast<int>(dwError));
        plat::ConsolePrintf("ERROR: Error when reading %s: %d\n", m_strFileName.c_str(),
                            static_cast<int>(dwError));
    }
    if (m_dwState == kStopped) {
        Close();
    }
    return nullptr;
}
