#include "TextLogs/qorTextReader.h"

#include <algorithm>
#include <cstring>
#include <utility>

qorTextReader::qorTextReader(std::string strPath) : qorFileReader(std::move(strPath)) {}

qorTextReader::~qorTextReader() = default;

int32_t qorTextReader::Open(int64_t llPosition) {
    m_nStart = 0;
    m_nEnd = 0;
    m_pBuffer.reset();
    m_nCapacity = 0;
    m_bInPieces = false;
    m_bInNuls = false;
    m_bNulsHeldOver = false;
    m_bNulRunSaid = false;
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
    const int32_t nHeld = m_nEnd - m_nStart;
    if (m_nCapacity > kBufferSize && nHeld <= kBufferSize / 2) {
        // The long line is out: the buffer goes back to its usual size.
        std::unique_ptr<char[]> pSmaller(new char[kBufferSize]);
        std::memcpy(pSmaller.get(), m_pBuffer.get() + m_nStart, static_cast<size_t>(nHeld));
        m_pBuffer = std::move(pSmaller);
        m_nCapacity = kBufferSize;
    } else if (m_nStart > 0 && nHeld > 0) {
        std::memmove(m_pBuffer.get(), m_pBuffer.get() + m_nStart, static_cast<size_t>(nHeld));
    }
    m_nStart = 0;
    m_nEnd = nHeld;
}

void qorTextReader::Grow(int32_t nMaxContent) {
    // Room for the longest line taken whole and its CR LF: a pending line
    // that long without its line feed is known to be longer.
    const int32_t nMost = std::max(kBufferSize, nMaxContent + 2);
    if (!m_pBuffer || m_nEnd < m_nCapacity || m_nCapacity >= nMost) {
        return;
    }
    const int32_t nCapacity = std::min(nMost, m_nCapacity * 2);
    std::unique_ptr<char[]> pLarger(new char[static_cast<size_t>(nCapacity)]);
    std::memcpy(pLarger.get(), m_pBuffer.get() + m_nStart, static_cast<size_t>(m_nEnd - m_nStart));
    m_nEnd -= m_nStart;
    m_nStart = 0;
    m_pBuffer = std::move(pLarger);
    m_nCapacity = nCapacity;
}

int32_t qorTextReader::Fill(bool& bMore) {
    bMore = false;
    if (!m_pBuffer) {
        if (HoldsNothingNew()) {
            return 0;
        }
        m_pBuffer.reset(new char[kBufferSize]);
        m_nCapacity = kBufferSize;
    }
    if (m_nEnd == m_nCapacity) {
        return 0;
    }
    const int64_t llLineStart = GetLinePosition();
    const int32_t nRoom = m_nCapacity - m_nEnd;
    const int32_t nRead = qorFileReader::Read(m_pBuffer.get() + m_nEnd, nRoom);
    if (nRead < 0) {
        return nRead;
    }
    // The file may hold more than there was room for.
    bMore = nRead == nRoom;
    if (TakeRewound(m_Cut)) {
        // Fill is called only without a line feed in the buffer, so what it
        // holds is the start of an unfinished line.  What of it the file
        // still holds where reading goes on is kept; the rest belonged to
        // the file as it was before the cut, and gluing it to the new bytes
        // would forge a line.
        const int32_t nHeld = m_nEnd - m_nStart;
        const auto nKeep =
            static_cast<int32_t>(std::clamp<int64_t>(m_Cut.m_llKept - llLineStart, 0, nHeld));
        m_Cut.m_llUnfinished = HeldAndTaken(llLineStart, nHeld, nKeep);
        m_bCut = true;
        m_bInPieces = m_bInPieces && nKeep > 0;
        m_bInNuls = false;
        std::memmove(m_pBuffer.get() + m_nStart + nKeep, m_pBuffer.get() + m_nEnd, static_cast<size_t>(nRead));
        m_nEnd = m_nStart + nKeep + nRead;
    } else {
        m_nEnd += nRead;
    }
    return nRead;
}

int64_t qorTextReader::HeldAndTaken(int64_t llLineStart, int32_t nHeld, int32_t nKept) const {
    // Those the file still holds as they were, where reading goes on from
    // before them, are read again: only the others are lost.
    int32_t nStill = nKept;
    if (nKept < nHeld && m_Cut.m_llKept <= llLineStart) {
        std::string_view held(m_pBuffer.get() + m_nStart, static_cast<size_t>(nHeld));
        char now[512];
        for (int32_t nAt = 0; nStill == nAt && nAt < nHeld;) {
            const int32_t nRead =
                ReadAt(llLineStart + nAt, now, std::min<int32_t>(sizeof now, nHeld - nAt));
            for (int32_t n = 0; n < nRead && now[n] == held[static_cast<size_t>(nAt + n)]; ++n) {
                ++nStill;
            }
            nAt += std::max(nRead, 1);
        }
    }
    return nHeld - std::max(nKept, nStill);
}

void qorTextReader::SkipHoleNuls() {
    // A run of NULs before a line is what a hole leaves (a cut under a
    // writer without O_APPEND, on a file system that does not say where
    // the hole ends), or NULs a writer put there; no writer begins its
    // lines so.  A NUL within a line is the writer's own.
    while (!m_bInPieces && m_nStart < m_nEnd && m_pBuffer[static_cast<size_t>(m_nStart)] == '\0') {
        const char* pFirst = m_pBuffer.get() + m_nStart;
        const char* pEnd = m_pBuffer.get() + m_nEnd;
        m_nStart = static_cast<int32_t>(std::find_if(pFirst, pEnd, [](char c) { return c != '\0'; }) -
                                        m_pBuffer.get());
        m_bInNuls = m_nStart == m_nEnd;
    }
    if (m_nStart < m_nEnd && !m_bInPieces) {
        if (m_bCut && m_pBuffer[static_cast<size_t>(m_nStart)] != '\0' && m_Cut.m_llWrittenAgainAt == 0 &&
            GetLinePosition() > m_Cut.m_llKept) {
            // Where the writer went on after the cut, as far as it tells.
            m_Cut.m_llWrittenAgainAt = GetLinePosition();
        }
        m_bInNuls = false;
        m_bNulRunSaid = false;
    }
}

int32_t qorTextReader::ReadLine(std::string_view& line, int32_t nMaxContent, bool bToEnd, bool& bCut) {
    bCut = false;
    if (nMaxContent < 1) {
        return -1;
    }
    // A pending line that fills the buffer makes it grow, up to the room
    // the longest line taken whole needs; a run of NULs before a line is
    // passed over, as much as the call's share allows.
    GrantPassOver();
    SkipHoleNuls();
    const char* pNewline = FindNewline();
    while (pNewline == nullptr) {
        if (m_pBuffer) {
            Compact();
            Grow(nMaxContent);
            if (m_nEnd == m_nCapacity) {
                break;
            }
        }
        if (m_bInNuls && m_nStart == m_nEnd && !IsRereading()) {
            // The run goes on past what the buffer held: it is read in
            // large pieces and never copied into the buffer.
            PassOverNuls();
            if (PassOverLeft() <= 0) {
                m_bNulsHeldOver = !m_bNulRunSaid;
                m_bNulRunSaid = true;
                break;
            }
        }
        bool bMore = false;
        const int32_t nRead = Fill(bMore);
        if (nRead < 0) {
            return nRead;
        }
        SkipHoleNuls();
        pNewline = FindNewline();
        if (!bMore || PassOverLeft() <= 0) {
            break;
        }
    }
    if (m_nStart == m_nEnd) {
        // Nothing held: the buffer waits for the file's next bytes.
        m_pBuffer.reset();
        m_nCapacity = 0;
        m_nStart = 0;
        m_nEnd = 0;
        return 0;
    }
    const char* pFirst = m_pBuffer.get() + m_nStart;
    const int32_t nHeld = m_nEnd - m_nStart;
    int32_t nLength = 0;
    bool bPiece = false;
    if (pNewline != nullptr) {
        nLength = static_cast<int32_t>(pNewline - pFirst) + 1;
        const int32_t nContent = nLength - 1 - (nLength >= 2 && pNewline[-1] == '\r' ? 1 : 0);
        bPiece = nContent > nMaxContent;
    } else if (nHeld >= nMaxContent + 2 || (bToEnd && nHeld > nMaxContent)) {
        bPiece = true;
    } else if (bToEnd && GetPosition() <= GetHistoryEnd()) {
        // The unfinished line was all there when the history was taken, and
        // nothing came since: it is no line of the reading's, and it stays
        // held, to be handed out whole should its writer end it.
        return 0;
    } else if (bToEnd) {
        nLength = nHeld;
    } else {
        return 0;
    }
    if (bPiece) {
        nLength = nMaxContent;
    }
    bCut = bPiece && !m_bInPieces;
    m_bInPieces = bPiece;
    line = std::string_view(pFirst, static_cast<size_t>(nLength));
    m_nStart += nLength;
    return 1;
}
