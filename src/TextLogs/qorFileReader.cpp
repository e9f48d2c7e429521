#include "TextLogs/qorFileReader.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/LastError.h"

namespace {

// Where the bytes a reader reads without handing them out go: one buffer
// per thread, made once.
constexpr size_t kScratchBytes = size_t{256} << 10;

char* Scratch() {
    thread_local std::unique_ptr<char[]> t_pScratch(new char[kScratchBytes]);
    return t_pScratch.get();
}

// How many of the `nCount` bytes at `pBytes` are NULs before the first that
// is not.
size_t NulsAtStart(const char* pBytes, size_t nCount) {
    static const char kZeros[4096] = {};
    size_t nAt = 0;
    while (nCount - nAt >= sizeof kZeros && std::memcmp(pBytes + nAt, kZeros, sizeof kZeros) == 0) {
        nAt += sizeof kZeros;
    }
    while (nAt < nCount && pBytes[nAt] == '\0') {
        ++nAt;
    }
    return nAt;
}

}  // namespace

// A cut being looked into: the file is read again from its first byte (or,
// for a place to resume at, from where its digest begins) into a chain of
// its own, compared with what was read at each mark, at the start of the
// last bytes read and at each of those bytes, until a comparison fails or
// nothing is left to compare with.
struct qorFileReader::Showing {
    bool m_bResume = false;
    Cut m_Cut;
    // What was read, and the file as it is.
    ReadChain m_Old;
    ReadChain m_New;
    // Up to where the file can hold what was read, and the last place
    // where anything can be compared.
    int64_t m_llUpTo = 0;
    int64_t m_llLimit = 0;
    size_t m_nNextMark = 0;
    bool m_bUseTail = false;
    // Everything before the last bytes read is shown: those are compared
    // byte by byte from there.
    bool m_bInTail = false;
    int64_t m_llFirstBad = -1;
    // The mark that did not hold, and whether its line is the one right
    // after the last mark that did.
    int64_t m_llFailedMark = -1;
    bool m_bFailedFollows = false;
    bool m_bDone = false;
    bool m_bHoleCheck = true;
    // The file as it is, up to the last line end shown, and up to the
    // start of the last bytes read.
    ReadChain m_AtKept;
    ReadChain m_AtTail;
    // A place to resume at, and the file as it is up to it.
    Place m_Place;
    ReadChain m_AtPosition;
    bool m_bPassedPosition = false;

    void Init(int64_t llSize) {
        m_llUpTo = std::min(llSize, m_Cut.m_llReached);
        m_bUseTail = m_Old.FromStart() && m_Old.TailStart() <= m_llUpTo;
        m_llLimit = 0;
        if (m_bUseTail) {
            m_llLimit = m_llUpTo;
        } else {
            for (const ReadChain::Mark& mark : m_Old.Marks()) {
                m_llLimit = mark.m_llOffset <= m_llUpTo ? mark.m_llOffset : m_llLimit;
            }
        }
        m_New.Reset(0);
        m_AtKept.Reset(0);
        m_nNextMark = 0;
        m_bInTail = false;
        m_llFirstBad = -1;
        m_llFailedMark = -1;
        m_bDone = false;
        m_bHoleCheck = true;
    }

    // The comparisons due where the file has been read to.
    void CompareDue() {
        const int64_t llAt = m_New.End();
        if (m_bResume) {
            if (!m_bPassedPosition && llAt == m_Place.m_llPosition) {
                m_AtPosition = m_New;
                m_bPassedPosition = true;
            }
            m_bDone = m_bDone || llAt >= m_llLimit;
            return;
        }
        const std::vector<ReadChain::Mark>& marks = m_Old.Marks();
        while (!m_bDone && !m_bInTail && m_nNextMark < marks.size() && marks[m_nNextMark].m_llOffset == llAt &&
               llAt <= m_llLimit && (!m_bUseTail || llAt < m_Old.TailStart())) {
            const ReadChain::Mark& mark = marks[m_nNextMark++];
            if (m_New.Digest() == mark.m_Digest) {
                m_AtKept = m_New;
            } else {
                m_llFailedMark = llAt;
                m_bFailedFollows = mark.m_bFollows;
                m_bDone = true;
            }
        }
        if (!m_bDone && !m_bInTail && m_bUseTail && llAt == m_Old.TailStart()) {
            if (m_New.Digest() == m_Old.DigestAtTailStart()) {
                m_AtTail = m_New;
                m_bInTail = true;
            } else {
                m_llFailedMark = llAt;
                m_bDone = true;
            }
        }
        m_bDone = m_bDone || llAt >= m_llLimit;
    }

    // Where the next comparison is due.
    int64_t NextStop() const {
        int64_t llNext = m_llLimit;
        if (m_bResume) {
            return m_bPassedPosition ? llNext : std::min(llNext, m_Place.m_llPosition);
        }
        if (m_bInTail) {
            return llNext;
        }
        const std::vector<ReadChain::Mark>& marks = m_Old.Marks();
        if (m_nNextMark < marks.size()) {
            llNext = std::min(llNext, marks[m_nNextMark].m_llOffset);
        }
        return m_bUseTail ? std::min(llNext, m_Old.TailStart()) : llNext;
    }

    // The next `llCount` bytes of the file (NULs for a null `pBytes`).
    void Consume(const char* pBytes, int64_t llCount) {
        while (llCount > 0 && !m_bDone) {
            const int64_t llAt = m_New.End();
            int64_t llTake = std::min(llCount, NextStop() - llAt);
            if (m_bInTail) {
                // Byte by byte against the last bytes read.
                const char* pOld = m_Old.Tail().data() + (llAt - m_Old.TailStart());
                for (int64_t n = 0; n < llTake; ++n) {
                    if (pOld[n] != (pBytes != nullptr ? pBytes[n] : '\0')) {
                        m_llFirstBad = llAt + n;
                        m_bDone = true;
                        return;
                    }
                }
            }
            if (pBytes != nullptr) {
                m_New.Absorb(pBytes, static_cast<size_t>(llTake));
                pBytes += llTake;
            } else {
                m_New.AbsorbZeros(llTake);
            }
            llCount -= llTake;
            CompareDue();
        }
    }
};

int64_t qorFileReader::Cut::Lost() const {
    // A writer that goes on at its own offset after the cut shows where
    // the file ended before it: what lay between the place and there was
    // never read.
    const int64_t llBeforeWriter = m_llWrittenAgainAt > m_llReached ? m_llWrittenAgainAt - m_llReached : 0;
    return m_llUnfinished + std::max(m_llSeenUnread, llBeforeWriter);
}

qorFileReader::qorFileReader(std::string strPath) : m_strPath(std::move(strPath)) {}

qorFileReader::~qorFileReader() { qorFileReader::Close(); }

int32_t qorFileReader::Open(int64_t llPosition) {
    Close();
    m_strOpenProblem.clear();
    m_hFile = plat::OpenFileToRead(m_strPath, plat::Owners::kAnyAccount, &m_strOpenProblem);
    if (m_hFile == plat::kInvalidFile) {
        return -1;
    }
    m_bRewound = false;
    m_pShowing.reset();
    m_llHistoryEnd = 0;
    m_llPosition = 0;
    m_llSeenSize = 0;
    m_Chain.Reset(0);
    m_llLookedNs = 0;
    m_bLookedInItsTick = false;
    plat::FileStatus status;
    m_qwIdentity = plat::GetOpenFileStatus(m_hFile, status) ? status.m_qwIdentity : 0;
    if (llPosition != 0) {
        Seek(llPosition);
    } else {
        // A file met with a hole at its start (cut under a writer without
        // O_APPEND before it was met) begins with the writer's next line.
        m_bHoleAhead = true;
    }
    return 0;
}

void qorFileReader::Close() {
    if (m_hFile != plat::kInvalidFile) {
        plat::CloseFile(m_hFile);
        m_hFile = plat::kInvalidFile;
    }
}

int64_t qorFileReader::Seek(int64_t llPosition) {
    int64_t llSize = 0;
    int64_t llChangedNs = 0;
    int64_t llClockNs = 0;
    if (!IsOpen() || !Look(llSize, llChangedNs, llClockNs)) {
        return -1;
    }
    m_pShowing.reset();
    m_llHistoryEnd = 0;
    PlaceAt(llPosition == kEndOfFile ? llSize : std::max<int64_t>(0, llPosition));
    m_bHoleAhead = false;
    // What lies before the place is known from here on, so a file
    // truncated and written past the place again before its next read
    // shows, also when nothing was read from it yet (one opened at its end).
    Looked(llChangedNs, llClockNs);
    return m_llPosition;
}

int64_t qorFileReader::SeekAfterHistory(int64_t llEnd, int64_t llLookBack) {
    int64_t llSize = 0;
    if (!IsOpen() || !GetSize(llSize)) {
        return -1;
    }
    // A writer may be halfway through a line when the history is taken:
    // read from the end, the rest of it would be matched as a line of its
    // own, and the line never whole.  The last line feed is looked for
    // from the end back, a few kilobytes a read, no further than the
    // longest line handed out whole; a line longer than that is handed out
    // in pieces anyway, and its history part is left alone.
    const int64_t llHistory = llEnd == kEndOfFile ? llSize : std::max<int64_t>(0, llEnd);
    int64_t llStart = llHistory;
    if (llHistory <= llSize) {
        constexpr int64_t kStep = 4096;
        const int64_t llFloor = std::max<int64_t>(0, llHistory - std::max<int64_t>(0, llLookBack));
        char* pScratch = Scratch();
        int64_t llFrom = llHistory;
        bool bFound = false;
        while (!bFound && llFrom > llFloor) {
            const auto nWanted = static_cast<int32_t>(std::min(kStep, llFrom - llFloor));
            if (ReadAt(llFrom - nWanted, pScratch, nWanted) != nWanted) {
                break;
            }
            llFrom -= nWanted;
            if (const void* pNewline = ::memrchr(pScratch, '\n', static_cast<size_t>(nWanted))) {
                llStart = llFrom + (static_cast<const char*>(pNewline) - pScratch) + 1;
                bFound = true;
            }
        }
        if (!bFound && llFrom == 0) {
            // The file holds nothing but the line begun.
            llStart = 0;
        } else if (!bFound && llFrom == llFloor && pScratch[0] == '\0') {
            // NULs before the line (a hole a writer left, say) are no part
            // of it, and a reader passes them over: from there, the line
            // is read from its first byte.  NULs a writer put within a line
            // would have to lie as far back as a line is long to be taken
            // for those, and that line is handed out in pieces anyway.
            llStart = llFloor;
        }
    }
    const int64_t llAt = Seek(llStart);
    if (llAt >= 0 && llAt < llHistory) {
        m_llHistoryEnd = llHistory;
    }
    return llAt;
}

void qorFileReader::PlaceAt(int64_t llPosition) {
    m_llPosition = llPosition;
    m_llSeenSize = llPosition;
    // The first of the bytes before the place, read to know them; holes
    // cost nothing.
    m_Chain.Reset(0);
    char* pScratch = Scratch();
    int64_t llData = kPlaceProofBytes;
    bool bHoleCheck = true;
    while (m_Chain.End() < llPosition && llData > 0) {
        const int64_t llAt = m_Chain.End();
        int64_t llWritten = 0;
        if (bHoleCheck && plat::FindWrittenData(m_hFile, llAt, llWritten) && llWritten > llAt) {
            m_Chain.AbsorbZeros(std::min(llWritten, llPosition) - llAt);
            continue;
        }
        const auto nWanted = static_cast<size_t>(std::min<int64_t>({llPosition - llAt, llData,
                                                                    static_cast<int64_t>(kScratchBytes)}));
        size_t nRead = 0;
        if (!plat::ReadFileAt(m_hFile, llAt, pScratch, nWanted, nRead) || nRead == 0) {
            break;
        }
        m_Chain.Absorb(pScratch, nRead);
        llData -= static_cast<int64_t>(nRead);
        bHoleCheck = pScratch[nRead - 1] == '\0';
    }
    if (m_Chain.End() == llPosition) {
        return;
    }
    // Past what is read at once: the run read from here on, with the marks
    // of the file's first lines and the bytes before the place, to compare
    // with at the next look.
    ReadChain placed(llPosition);
    placed.TakeMarks(m_Chain);
    const int64_t llBefore = std::min<int64_t>(llPosition, 2 * ReadChain::kTailHalf - 1);
    size_t nRead = 0;
    if (plat::ReadFileAt(m_hFile, llPosition - llBefore, pScratch, static_cast<size_t>(llBefore), nRead)) {
        placed.SetTailBefore(pScratch, nRead == static_cast<size_t>(llBefore) ? nRead : 0);
    }
    m_Chain = std::move(placed);
}

int64_t qorFileReader::GetRereadAt() const {
    return m_pShowing != nullptr ? m_pShowing->m_New.End() : m_llPosition;
}

qorFileReader::Place qorFileReader::PlaceOf(int64_t llPosition) const {
    // While a cut is looked into, what was read is the chain set aside.
    const bool bResuming = m_pShowing != nullptr && m_pShowing->m_bResume;
    if (bResuming) {
        return m_pShowing->m_Place;
    }
    const ReadChain& chain = m_pShowing != nullptr ? m_pShowing->m_Old : m_Chain;
    Place place;
    place.m_llPosition = llPosition;
    // While a cut is looked into, the history is gone with it.
    place.m_llHistoryEnd = m_pShowing == nullptr && m_llHistoryEnd > llPosition ? m_llHistoryEnd : 0;
    // At the first byte, a place is worth keeping only for the unfinished
    // line of history that begins there.
    place.m_bShown = llPosition >= chain.From() && llPosition <= chain.End() &&
                     (llPosition > 0 || place.m_llHistoryEnd > 0);
    place.m_llFrom = chain.From();
    place.m_llShownTo = chain.End();
    place.m_Digest = chain.Digest();
    return place;
}

void qorFileReader::Resume(const Place& place) {
    if (!IsOpen() || (place.m_llPosition <= 0 && place.m_llHistoryEnd <= 0)) {
        return;
    }
    if (!place.m_bShown) {
        // Nothing was read before it: the place is taken as it is.
        Seek(place.m_llPosition);
        return;
    }
    if (place.m_llFrom > place.m_llPosition || place.m_llPosition > place.m_llShownTo) {
        return;
    }
    auto pShowing = std::make_unique<Showing>();
    Showing& showing = *pShowing;
    showing.m_bResume = true;
    showing.m_Place = place;
    showing.m_New.Reset(place.m_llFrom);
    showing.m_llUpTo = place.m_llShownTo;
    showing.m_llLimit = place.m_llShownTo;
    showing.CompareDue();
    m_pShowing = std::move(pShowing);
    // Where reading stands for those who ask, until it is shown.
    m_llPosition = place.m_llPosition;
}

void qorFileReader::BeginCut(int64_t llSize, bool bCutAhead) {
    // What was history is no longer what the file holds there.
    m_llHistoryEnd = 0;
    auto pShowing = std::make_unique<Showing>();
    Showing& showing = *pShowing;
    showing.m_Cut.m_llReached = m_llPosition;
    showing.m_Cut.m_llSize = llSize;
    showing.m_Cut.m_llSeenUnread =
        bCutAhead ? m_llSeenSize - llSize : std::max<int64_t>(0, m_llSeenSize - m_llPosition);
    showing.m_Old = std::move(m_Chain);
    m_Chain.Reset(0);
    showing.Init(llSize);
    showing.CompareDue();
    m_pShowing = std::move(pShowing);
}

bool qorFileReader::ContinueShowing(int64_t llSize, bool& bFailed) {
    bFailed = false;
    Showing& showing = *m_pShowing;
    if (llSize < showing.m_New.End()) {
        // Cut again while it was looked into: from its first byte again.
        if (showing.m_bResume) {
            showing.m_bDone = true;
        } else {
            showing.m_Cut.m_llSize = llSize;
            showing.Init(llSize);
            showing.CompareDue();
        }
    }
    char* pScratch = Scratch();
    while (!showing.m_bDone) {
        const int64_t llAt = showing.m_New.End();
        int64_t llWritten = 0;
        if (showing.m_bHoleCheck && plat::FindWrittenData(m_hFile, llAt, llWritten) && llWritten > llAt) {
            showing.Consume(nullptr, std::min(llWritten, showing.m_llLimit) - llAt);
            continue;
        }
        if (m_llRereadLeft <= 0) {
            return false;
        }
        const auto nWanted = static_cast<size_t>(std::min<int64_t>(
            {showing.m_llLimit - llAt, m_llRereadLeft, static_cast<int64_t>(kScratchBytes)}));
        size_t nRead = 0;
        if (!plat::ReadFileAt(m_hFile, llAt, pScratch, nWanted, nRead)) {
            bFailed = true;
            return false;
        }
        if (nRead == 0) {
            // Shorter than it was when looked at: nothing more to compare.
            showing.m_bDone = true;
            break;
        }
        m_llRereadLeft -= static_cast<int64_t>(nRead);
        showing.Consume(pScratch, static_cast<int64_t>(nRead));
        showing.m_bHoleCheck = pScratch[nRead - 1] == '\0';
    }
    if (showing.m_bResume) {
        FinishResume();
    } else {
        FinishCut();
    }
    return true;
}

void qorFileReader::FinishCut() {
    Showing& showing = *m_pShowing;
    Cut cut = showing.m_Cut;
    const int64_t llUpTo = showing.m_llUpTo;
    ReadChain chain;
    if (showing.m_bInTail) {
        // All before the last bytes read is shown, and those up to the
        // first that differs: the file goes on at the cut itself when none
        // does, or after the last line end before that byte.
        const int64_t llTailStart = showing.m_Old.TailStart();
        const int64_t llShownTo =
            showing.m_llFirstBad >= 0 ? showing.m_llFirstBad : std::min(llUpTo, showing.m_New.End());
        const std::string_view tail = showing.m_Old.Tail();
        int64_t llKept = llShownTo;
        if (llShownTo < llUpTo) {
            const size_t nNewline = tail.substr(0, static_cast<size_t>(llShownTo - llTailStart)).rfind('\n');
            // At the file's first byte, the line that differs is its first.
            llKept = nNewline != std::string_view::npos ? llTailStart + static_cast<int64_t>(nNewline) + 1
                     : llTailStart == 0                 ? 0
                                                        : -1;
        }
        if (llKept >= llTailStart) {
            chain = showing.m_AtTail;
            chain.Absorb(tail.data(), static_cast<size_t>(llKept - llTailStart));
        } else {
            // The line that differs began before those bytes: what lies
            // between the last mark shown and there is what was read, and
            // is read again.
            chain = showing.m_AtKept;
            cut.m_llUnshown = llShownTo - chain.End();
        }
    } else {
        chain = showing.m_AtKept;
        const bool bNextLineDiffers = showing.m_llFailedMark >= 0 && showing.m_bFailedFollows;
        if (chain.End() < llUpTo && !bNextLineDiffers) {
            cut.m_llUnshown = (showing.m_llFailedMark >= 0 ? showing.m_llFailedMark : llUpTo) - chain.End();
        }
    }
    cut.m_llKept = chain.End();
    m_Chain = std::move(chain);
    m_llPosition = cut.m_llKept;
    m_llSeenSize = cut.m_llKept;
    // A writer without O_APPEND leaves a hole from where the file was cut
    // to where it writes next.
    m_bHoleAhead = true;
    m_llLookedNs = 0;
    m_Cut = cut;
    m_bRewound = true;
    m_pShowing.reset();
}

void qorFileReader::FinishResume() {
    Showing& showing = *m_pShowing;
    const Place& place = showing.m_Place;
    const bool bHolds = showing.m_bPassedPosition && showing.m_New.End() == place.m_llShownTo &&
                        showing.m_New.Digest() == place.m_Digest;
    if (bHolds) {
        m_Chain = std::move(showing.m_AtPosition);
        m_llPosition = place.m_llPosition;
        // The unfinished line that ended the history then still does.
        m_llHistoryEnd = place.m_llHistoryEnd > m_llPosition ? place.m_llHistoryEnd : 0;
    } else {
        // Not the bytes read there: a file written anew, or another file
        // that took the identity of the one read, read from its first line.
        m_Chain.Reset(0);
        m_llPosition = 0;
    }
    m_llSeenSize = m_llPosition;
    m_bHoleAhead = m_llPosition == 0;
    m_llLookedNs = 0;
    m_pShowing.reset();
}

int32_t qorFileReader::Read(char* pBuffer, int32_t nCount) {
    if (!IsOpen() || pBuffer == nullptr || nCount <= 0) {
        plat::SetLastError(IsOpen() ? plat::kErrInvalidParameter : plat::kErrInvalidHandle);
        return -1;
    }
    // An idle file costs this one status query.
    int64_t llSize = 0;
    int64_t llChangedNs = 0;
    int64_t llClockNs = 0;
    if (!Look(llSize, llChangedNs, llClockNs)) {
        return -1;
    }
    if (m_pShowing == nullptr) {
        // Cut below the place; cut past it, below what a look saw; or
        // changed since the last look without the first line or the last
        // bytes read as they were (written past the place again after a
        // truncation, or to the very size read, between two reads of a
        // backlog as well as after the last).
        const bool bShrunk = llSize < m_llPosition;
        const bool bCutAhead = !bShrunk && llSize < m_llSeenSize;
        const bool bRewritten =
            !bShrunk && !bCutAhead && MustLookAtBytes(llChangedNs) && !StillHoldsWhatWasRead();
        if (bShrunk || bCutAhead || bRewritten) {
            BeginCut(llSize, bCutAhead);
        } else if (llSize == m_llPosition) {
            Looked(llChangedNs, llClockNs);
            return 0;
        }
    }
    if (m_pShowing != nullptr) {
        bool bFailed = false;
        if (!ContinueShowing(llSize, bFailed)) {
            return bFailed ? -1 : 0;
        }
    }
    m_llSeenSize = std::max(m_llSeenSize, llSize);
    if (m_bHoleAhead) {
        SkipHole();
    }
    size_t nDone = 0;
    if (!plat::ReadFileAt(m_hFile, m_llPosition, pBuffer, static_cast<size_t>(nCount), nDone)) {
        return -1;
    }
    m_Chain.Absorb(pBuffer, nDone);
    m_llPosition += static_cast<int64_t>(nDone);
    Looked(llChangedNs, llClockNs);
    // Bytes read up to a NUL may have run into a hole: whoever writes the
    // file can leave one of any size (a seek far ahead, a truncate making it
    // longer), which is passed over rather than read as NULs.
    m_bHoleAhead = nDone == 0 ? m_bHoleAhead : pBuffer[nDone - 1] == '\0';
    return static_cast<int32_t>(nDone);
}

void qorFileReader::SkipHole() {
    // A sparse file tells where its writer's bytes begin again (nothing, as
    // long as the writer has not written after the cut, or its end when it
    // is a hole up to there); a file system that cannot say leaves the NULs
    // to be passed over as read.
    int64_t llData = 0;
    if (!plat::FindWrittenData(m_hFile, m_llPosition, llData) || llData <= m_llPosition) {
        return;
    }
    // Never written: NULs, as a read would find them.
    m_Chain.AbsorbZeros(llData - m_llPosition);
    m_llPosition = llData;
    m_Cut.m_llWrittenAgainAt = llData;
}

int64_t qorFileReader::PassOverNuls() {
    int64_t llPassed = 0;
    char* pScratch = Scratch();
    bool bHoleCheck = true;
    m_bHoleAhead = false;
    while (m_llPassOverLeft > 0 && m_pShowing == nullptr) {
        int64_t llData = 0;
        if (bHoleCheck && plat::FindWrittenData(m_hFile, m_llPosition, llData) && llData > m_llPosition) {
            llPassed += llData - m_llPosition;
            m_Chain.AbsorbZeros(llData - m_llPosition);
            m_llPosition = llData;
        }
        const auto nWanted = static_cast<size_t>(std::min<int64_t>(m_llPassOverLeft, kScratchBytes));
        size_t nRead = 0;
        if (!plat::ReadFileAt(m_hFile, m_llPosition, pScratch, nWanted, nRead) || nRead == 0) {
            m_bHoleAhead = true;
            break;
        }
        m_llPassOverLeft -= static_cast<int64_t>(nRead);
        const size_t nNuls = NulsAtStart(pScratch, nRead);
        m_Chain.AbsorbZeros(static_cast<int64_t>(nNuls));
        m_llPosition += static_cast<int64_t>(nNuls);
        llPassed += static_cast<int64_t>(nNuls);
        if (nNuls < nRead) {
            break;
        }
        bHoleCheck = true;
    }
    m_llSeenSize = std::max(m_llSeenSize, m_llPosition);
    return llPassed;
}

bool qorFileReader::StillHoldsWhatWasRead() const {
    // The last bytes read.
    char* pScratch = Scratch();
    const std::string_view tail = m_Chain.Tail();
    if (!tail.empty() && (ReadAt(m_Chain.TailStart(), pScratch, static_cast<int32_t>(tail.size())) !=
                              static_cast<int32_t>(tail.size()) ||
                          std::memcmp(pScratch, tail.data(), tail.size()) != 0)) {
        return false;
    }
    // The first line, whole: the part of a line that changes from one to
    // the next (a time, a counter) may lie anywhere in it.
    const std::vector<ReadChain::Mark>& marks = m_Chain.Marks();
    if (marks.empty() || marks.front().m_llOffset > ReadChain::kHeadBytes) {
        return true;
    }
    const auto nFirst = static_cast<int32_t>(marks.front().m_llOffset);
    if (ReadAt(0, pScratch, nFirst) != nFirst) {
        return false;
    }
    PrefixDigest digest;
    digest.Feed(pScratch, static_cast<size_t>(nFirst));
    return digest.Digest() == marks.front().m_Digest;
}

bool qorFileReader::HoldsNothingNew() {
    int64_t llSize = 0;
    int64_t llChangedNs = 0;
    int64_t llClockNs = 0;
    if (m_pShowing != nullptr || !Look(llSize, llChangedNs, llClockNs) || llSize != m_llPosition ||
        llSize < m_llSeenSize) {
        return false;
    }
    // Written since, to the very size read: a read tells whether it was
    // truncated first.
    if (MustLookAtBytes(llChangedNs) && !StillHoldsWhatWasRead()) {
        return false;
    }
    Looked(llChangedNs, llClockNs);
    return true;
}

bool qorFileReader::MustLookAtBytes(int64_t llChangedNs) const {
    return llChangedNs != m_llLookedNs || m_llLookedNs == 0 || m_bLookedInItsTick;
}

void qorFileReader::Looked(int64_t llChangedNs, int64_t llClockNs) {
    m_llLookedNs = llChangedNs;
    // Stamped in the tick the look was made in: a change later in that
    // tick would leave the change time as it was.  A file system that
    // keeps whole seconds only ticks once a second.
    constexpr int64_t kSecondNs = 1000000000;
    m_bLookedInItsTick = llChangedNs >= llClockNs ||
                         (llChangedNs % kSecondNs == 0 && llChangedNs >= llClockNs - llClockNs % kSecondNs);
}

bool qorFileReader::Look(int64_t& llSize, int64_t& llChangedNs, int64_t& llClockNs) const {
    // The clock first: a change time not older than it may be followed by
    // another within its tick.
    llClockNs = plat::FileClockNowNs();
    plat::FileStatus status;
    if (!IsOpen() || !plat::GetOpenFileStatus(m_hFile, status)) {
        return false;
    }
    llSize = static_cast<int64_t>(status.m_qwSize);
    llChangedNs = status.m_llChangedNs;
    return true;
}

bool qorFileReader::GetSize(int64_t& llSize) const {
    uint64_t qwSize = 0;
    if (!IsOpen() || !plat::GetOpenFileSize(m_hFile, qwSize)) {
        return false;
    }
    llSize = static_cast<int64_t>(qwSize);
    return true;
}

int32_t qorFileReader::ReadAt(int64_t llOffset, char* pBuffer, int32_t nCount) const {
    size_t nDone = 0;
    if (!IsOpen() || pBuffer == nullptr || nCount < 0 || llOffset < 0 ||
        !plat::ReadFileAt(m_hFile, llOffset, pBuffer, static_cast<size_t>(nCount), nDone)) {
        return -1;
    }
    return static_cast<int32_t>(nDone);
}

bool qorFileReader::TakeRewound(Cut& cut) {
    if (!std::exchange(m_bRewound, false)) {
        return false;
    }
    cut = m_Cut;
    return true;
}
