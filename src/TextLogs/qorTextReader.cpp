#include "TextLogs/qorTextReader.h"

#include <cstring>
#include <utility>

qorTextReader::qorTextReader(std::string strPath) : qorFileReader(std::move(strPath)) {}

qorTextReader::~qorTextReader() = default;

int32_t qorTextReader::Open(int64_t llPosition) {
    m_nStart = 0;
    m_nEnd = 0;
    m_pBuffer.reset();
    m_bCut = false;
    return qorFileReader::Open(llPosition);
}

const char* qorTextReader::FindNewline() const {
    if (m_nStart == m_nEnd) {
        return nullptr;
    }
    return static_cast<const char*>(
        std::memchr(m_pBuffer.get() + m_nStart, '\n', static_cast<size_t>(m_nEnd - m_nStart)));
}

void qorTextReader::Compact() {
    if (m_nStart > 0 && m_nEnd > m_nStart) {
        std::memmove(m_pBuffer.get(), m_pBuffer.get() + m_nStart,
                     static_cast<size_t>(m_nEnd - m_nStart));
        m_nEnd -= m_nStart;
        m_nStart = 0;
    } else if (m_nStart == m_nEnd) {
        m_nStart = 0;
        m_nEnd = 0;
    }
}

int32_t qorTextReader::Fill() {
    if (m_nEnd == kBufferSize) {
        return 0;
    }
    if (!m_pBuffer) {
        if (HoldsNothingNew()) {
            return 0;
        }
        m_pBuffer.reset(new char[kBufferSize]);
    }
    const int32_t nRead = qorFileReader::Read(m_pBuffer.get() + m_nEnd, kBufferSize - m_nEnd);
    if (nRead < 0) {
        return nRead;
    }
    if (TakeRewound(m_Cut)) {
        // The unfinished line belonged to the file as it was before it
        // shrank; gluing it to the new first bytes would forge a line.
        // Fill is called only without a line feed in the buffer, so that
        // line is all the buffer held.
        m_Cut.m_llUnfinished = m_nEnd - m_nStart;
        m_bCut = true;
        std::memmove(m_pBuffer.get(), m_pBuffer.get() + m_nEnd, static_cast<size_t>(nRead));
        m_nStart = 0;
        m_nEnd = nRead;
    } else {
        m_nEnd += nRead;
    }
    return nRead;
}

int32_t qorTextReader::ReadLine(char* pOut, int32_t nMaximum) {
    if (pOut == nullptr || nMaximum < 1) {
        return -1;
    }
    const char* pNewline = FindNewline();
    if (pNewline == nullptr) {
        Compact();
        const int32_t nRead = Fill();
        if (nRead < 0) {
            return nRead;
        }
        pNewline = FindNewline();
    }
    if (m_nStart == m_nEnd) {
        // Nothing held: the buffer waits for the file's next bytes.
        m_pBuffer.reset();
        return 0;
    }
    const char* pFirst = m_pBuffer.get() + m_nStart;
    int32_t nLength = m_nEnd - m_nStart;
    if (pNewline != nullptr) {
        nLength = static_cast<int32_t>(pNewline - pFirst) + 1;
    } else if (nLength < nMaximum && nLength < kBufferSize) {
        return 0;
    }
    if (nLength > nMaximum) {
        nLength = nMaximum;
    }
    std::memcpy(pOut, pFirst, static_cast<size_t>(nLength));
    m_nStart += nLength;
    if (nLength < nMaximum) {
        pOut[nLength] = '\0';
    }
    return nLength;
}
